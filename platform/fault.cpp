#include "fault.h"

#include <cerrno>
#include <string>

#include "error.h"

#ifdef DROSSGATE_FAULT_INJECTION
#include <array>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string_view>
#endif

namespace drossgate::platform {

namespace {

struct Step {
  const char* name;
  // The errno a system-call step fails with; 0 for a step that raises.
  int err;
};

// Indexed by Fault; the names are what DROSSGATE_FAULTS lists.
constexpr Step kSteps[] = {
    {"", 0},
    {"store.commit", 0},
    {"store.fields.update", 0},
    {"store.message.open", 0},
    {"store.record.delete", 0},
    {"store.record.move", 0},
    {"store.record.open", 0},
    {"store.stream.save", 0},
    {"store.stream.create", EROFS},
    {"store.stream.write", ENOSPC},
    {"directory.read", 0},
    {"directory.write", 0},
    {"registry.write", 0},
    {"guid.create", 0},
};
static_assert(std::size(kSteps) == static_cast<size_t>(Fault::kCount));

#ifdef DROSSGATE_FAULT_INJECTION
constexpr long kUnarmed = -1;

struct Armed {
  // Per step: the hit that fails (0: every hit, kUnarmed: none) and the hits so far.
  std::array<std::atomic<long>, std::size(kSteps)> failingHit{};
  std::array<std::atomic<long>, std::size(kSteps)> hits{};
  std::atomic<bool> any{false};

  void Load() {
    for (size_t i = 0; i < std::size(kSteps); ++i) {
      failingHit[i] = kUnarmed;
      hits[i] = 0;
    }
    bool armed = false;
    const char* env = std::getenv("DROSSGATE_FAULTS");
    std::string_view list = env ? env : "";
    while (!list.empty()) {
      const size_t comma = list.find(',');
      std::string_view item = list.substr(0, comma);
      list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
      long nth = 0;
      if (const size_t at = item.find('@'); at != std::string_view::npos) {
        nth = std::strtol(std::string(item.substr(at + 1)).c_str(), nullptr, 10);
        item = item.substr(0, at);
      }
      for (size_t i = 1; i < std::size(kSteps); ++i)
        if (item == kSteps[i].name) {
          failingHit[i] = nth;
          armed = true;
        }
    }
    any = armed;
  }
};

Armed& State() {
  static Armed state;
  static std::once_flag loaded;
  std::call_once(loaded, [] { state.Load(); });
  return state;
}
#endif

}  // namespace

#ifdef DROSSGATE_FAULT_INJECTION
bool FaultHit(Fault step) {
  Armed& armed = State();
  if (!armed.any.load(std::memory_order_relaxed)) return false;
  const auto i = static_cast<size_t>(step);
  const long failing = armed.failingHit[i].load(std::memory_order_relaxed);
  if (failing == kUnarmed) return false;
  const long n = armed.hits[i].fetch_add(1, std::memory_order_relaxed) + 1;
  return failing == 0 || failing == n;
}

void ReloadFaults() {
  State().Load();
}
#endif

void FaultPoint(Fault step) {
  if (FaultHit(step))
    Fail(errors::kFail, std::string("injected fault at ") + kSteps[static_cast<size_t>(step)].name);
}

int SyscallFault(Fault step) {
  return FaultHit(step) ? kSteps[static_cast<size_t>(step)].err : 0;
}

}  // namespace drossgate::platform
