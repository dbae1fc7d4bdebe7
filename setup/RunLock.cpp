#include "RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "error.h"
#include "system/system.h"

namespace drossgate::setup {

namespace {

// The process's one hold on the lock; nested takes (a run inside a batch start-up) count.
int g_fd = -1;
int g_holders = 0;

[[noreturn]] void FailOn(const std::string& what, const std::string& file) {
  platform::Fail(platform::errors::kFileWrite,
                 "Cannot " + what + " the setup lock file " + file + ": " + std::strerror(errno));
}

}  // namespace

std::optional<RunLock> RunLock::Take(Mode mode, const std::function<bool()>& wait) {
  if (g_holders > 0) {
    ++g_holders;
    return RunLock();
  }
  const std::string file = (platform::PlatformRoot() / "setup.lock").string();
  const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) FailOn("open", file);
  struct stat st {};
  if (fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 077) != 0) fchmod(fd, 0600);
  const int operation = (mode == Mode::kExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  while (flock(fd, operation) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      const int error = errno;
      close(fd);
      errno = error;
      FailOn("lock", file);
    }
    if (!wait()) {
      close(fd);
      return std::nullopt;
    }
  }
  g_fd = fd;
  g_holders = 1;
  return RunLock();
}

RunLock::RunLock(RunLock&& other) noexcept : held_(other.held_) {
  other.held_ = false;
}

RunLock& RunLock::operator=(RunLock&& other) noexcept {
  if (this != &other) {
    Release();
    held_ = other.held_;
    other.held_ = false;
  }
  return *this;
}

RunLock::~RunLock() {
  Release();
}

void RunLock::Release() {
  if (!held_) return;
  held_ = false;
  if (--g_holders > 0) return;
  // Closing the only descriptor releases the lock.
  close(g_fd);
  g_fd = -1;
}

}  // namespace drossgate::setup
