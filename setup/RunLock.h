#pragma once
// One setup run at a time per platform root. Two runs that both find the sink not installed
// would both install it, so a run holds an advisory lock on the root's setup.lock (mode 0600)
// from reading the installed state until its window is refreshed. The kernel releases the lock
// when the process ends, however it ends, so a killed run never blocks the next one. Reading
// alone (a listing, a window's first look) shares the lock with other readers.

#include <functional>
#include <optional>

namespace drossgate::setup {

class RunLock {
 public:
  enum class Mode { kShared, kExclusive };

  // Takes the lock. Each time another process is found holding it, calls wait(), which says
  // that the caller waits and lets some time pass (a tenth of a second, say; a window keeps
  // handling its events meanwhile); when wait() returns false the caller gives up and the
  // result is empty. A process that holds the lock already gets it
  // again at once, in the mode it holds. Raises PlatformError when the lock file cannot be
  // opened or locked.
  static std::optional<RunLock> Take(Mode mode, const std::function<bool()>& wait);

  RunLock(RunLock&& other) noexcept;
  RunLock& operator=(RunLock&& other) noexcept;
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  ~RunLock();

 private:
  RunLock() = default;
  void Release();
  bool held_ = true;
};

}  // namespace drossgate::setup
