#pragma once
// File helpers of the system services: a change stamp for cheap "did the file change?" checks,
// whole-file reads, atomic replacement (temp file, fsync, rename) and an exclusive lock file.
// None of them throws; failures come back as false / nullopt with the reason.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace drossgate::platform {

struct FileStamp {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  int64_t mtimeNs = 0;
  int64_t ctimeNs = 0;
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
  // A file changed within the clock's coarse granularity may change again with an equal
  // stamp, so a cache must not trust it yet.
  bool Recent() const;
};

std::optional<FileStamp> StampOf(const std::filesystem::path& file);
bool ReadWholeFile(const std::filesystem::path& file, std::string& content);
// Writes content to a temporary file beside file, syncs it and renames it over file, then
// syncs the folder. With replace false it is linked instead, and an existing file stays (false,
// with error "exists").
bool WriteFileAtomically(const std::filesystem::path& file, const std::string& content, mode_t mode,
                         std::string& error, bool replace = true);

// Every file and folder of the platform is its owner's alone, whatever the umask: other local
// users must neither read mail nor plant files.
inline constexpr mode_t kPrivateFileMode = 0600;
inline constexpr mode_t kPrivateFolderMode = 0700;
// Creates folder (mode kPrivateFolderMode) unless it exists; false with the reason otherwise.
bool CreatePrivateFolder(const std::filesystem::path& folder, std::string& error);
// Brings root, its entries and the pickup folders to the private modes; entries of other
// owners and symbolic links are left as they are. Returns the paths it could not change.
std::vector<std::string> TightenRootModes(const std::filesystem::path& root);

// Holds flock(LOCK_EX) on a lock file for its lifetime.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& lockFile);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool locked() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace drossgate::platform
