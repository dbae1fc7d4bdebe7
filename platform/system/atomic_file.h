#pragma once
// File helpers of the system services: a change stamp for cheap "did the file change?" checks,
// whole-file reads, atomic writes (temporary name, fsync, rename or link) and an exclusive lock
// file. None of them throws; failures come back as false / nullopt / an errno.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fault.h"

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
// A password kept in a file of its own: the whole file without its line ends at the end.
bool ReadPasswordFile(const std::filesystem::path& file, std::string& password);
// Why a file that holds a secret cannot be used: "cannot be read: <reason>" or "is open to
// other users (chmod 600 it)"; nullopt when it is its owner's alone.
std::optional<std::string> SecretFileProblem(const std::filesystem::path& file);
// Every file and folder of the platform is its owner's alone, whatever the umask: other local
// users must neither read mail nor plant files.
inline constexpr mode_t kPrivateFileMode = 0600;
inline constexpr mode_t kPrivateFolderMode = 0700;

// How WriteFileAtomically puts the file in place.
struct AtomicWrite {
  // Renamed over an existing file; false: linked, so that an existing file stays (EEXIST).
  bool replace = true;
  // The file and its folder synced, so that the new content survives a crash.
  bool durable = true;
  mode_t mode = kPrivateFileMode;
  // Named fault points that stand in for a read-only folder (EROFS at the temporary file's
  // creation) and a full disk (ENOSPC at a write), which file modes cannot simulate for root.
  Fault createFault = Fault::kNone;
  Fault writeFault = Fault::kNone;
};
// Writes content to a hidden temporary name beside file (which no reader of the folder takes
// for a finished file), then links or renames it to file, so that file appears complete or not
// at all. Returns 0, or the errno of the step that failed; no temporary file is left behind.
int WriteFileAtomically(const std::filesystem::path& file, std::string_view content,
                        const AtomicWrite& how = {});
// fsync of a folder, so that a rename or link in it survives a crash; failures are ignored.
void SyncFolder(const std::filesystem::path& folder);

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
