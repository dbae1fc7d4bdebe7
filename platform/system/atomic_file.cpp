#include "system/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "fault.h"

namespace drossgate::platform {

namespace {

int64_t Nanos(const timespec& t) {
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

}  // namespace

bool FileStamp::Recent() const {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return Nanos(now) - mtimeNs < 2'000'000'000;
}

std::optional<FileStamp> StampOf(const std::filesystem::path& file) {
  struct stat st {};
  if (stat(file.c_str(), &st) != 0) return std::nullopt;
  return FileStamp{st.st_dev, st.st_ino, st.st_size, Nanos(st.st_mtim), Nanos(st.st_ctim)};
}

bool ReadWholeFile(const std::filesystem::path& file, std::string& content) {
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  content.clear();
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return false;
    }
    if (n == 0) break;
    content.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

bool ReadPasswordFile(const std::filesystem::path& file, std::string& password) {
  if (!ReadWholeFile(file, password)) return false;
  while (!password.empty() && (password.back() == '\n' || password.back() == '\r'))
    password.pop_back();
  return true;
}

std::optional<std::string> SecretFileProblem(const std::filesystem::path& file) {
  struct stat st {};
  if (stat(file.c_str(), &st) != 0) return std::string("cannot be read: ") + std::strerror(errno);
  if ((st.st_mode & 077) != 0) return "is open to other users (chmod 600 it)";
  return std::nullopt;
}

int WriteFileAtomically(const std::filesystem::path& file, std::string_view content,
                        const AtomicWrite& how) {
  const std::filesystem::path folder = file.parent_path();
  std::string temp = (folder / ("." + file.filename().string() + ".tmp-XXXXXX")).string();
  // Close-on-exec: a child started meanwhile must not hold the file open for writing, which
  // would keep the pickup service from taking it.
  const int createFault = SyscallFault(how.createFault);
  int fd = createFault ? (errno = createFault, -1) : mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  int err = fchmod(fd, how.mode) == 0 ? 0 : errno;
  for (size_t done = 0; err == 0 && done < content.size();) {
    const int writeFault = SyscallFault(how.writeFault);
    ssize_t n = writeFault ? (errno = writeFault, -1)
                           : write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      err = n < 0 ? errno : EIO;
    else
      done += static_cast<size_t>(n);
  }
  if (err == 0 && how.durable && fsync(fd) != 0) err = errno;
  if (close(fd) != 0 && err == 0) err = errno;
  if (err == 0 &&
      (how.replace ? rename(temp.c_str(), file.c_str()) : link(temp.c_str(), file.c_str())) != 0)
    err = errno;
  // A rename leaves nothing to remove; a link leaves the temporary name beside the file.
  if (err != 0 || !how.replace) unlink(temp.c_str());
  if (err == 0 && how.durable) SyncFolder(folder);
  return err;
}

void SyncFolder(const std::filesystem::path& folder) {
  int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

bool CreatePrivateFolder(const std::filesystem::path& folder, std::string& error) {
  if (mkdir(folder.c_str(), kPrivateFolderMode) != 0 && errno != EEXIST) {
    error = std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = "not a folder";
    return false;
  }
  // mkdir's mode went through the umask; a folder made just now is ours to set.
  if ((st.st_mode & 07777) != kPrivateFolderMode && st.st_uid == geteuid() &&
      chmod(folder.c_str(), kPrivateFolderMode) != 0) {
    error = std::strerror(errno);
    return false;
  }
  return true;
}

std::vector<std::string> TightenRootModes(const std::filesystem::path& root) {
  std::vector<std::string> failed;
  auto tighten = [&](const std::filesystem::path& p) {
    struct stat st {};
    if (lstat(p.c_str(), &st) != 0 || st.st_uid != geteuid()) return;
    mode_t want;
    if (S_ISDIR(st.st_mode))
      want = kPrivateFolderMode;
    else if (S_ISREG(st.st_mode))
      want = kPrivateFileMode;
    else
      return;
    if ((st.st_mode & 07777) != want && chmod(p.c_str(), want) != 0) failed.push_back(p.string());
  };
  tighten(root);
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(root, ec)) tighten(entry.path());
  tighten(root / "pickup" / "undeliverable");
  return failed;
}

FileLock::FileLock(const std::filesystem::path& lockFile) {
  fd_ = open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kPrivateFileMode);
  if (fd_ < 0) return;
  while (flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(fd_);
      fd_ = -1;
      return;
    }
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) {
    flock(fd_, LOCK_UN);
    close(fd_);
  }
}

}  // namespace drossgate::platform
