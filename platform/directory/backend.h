#pragma once
// Where directory entries come from. The public objects ask the backend that the platform
// root's machine.json chooses ("directory": null or {"backend": "ldif"} for directory.ldif,
// {"backend": "none"} for a machine without a directory); a server-backed one plugs in here.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "directory/directory.h"
#include "directory/query.h"

namespace drossgate::platform::directory {

enum class Scope { kBase = 0, kOneLevel = 1, kSubtree = 2 };

class Backend {
 public:
  virtual ~Backend() = default;
  // Raises PlatformError(errors::kServerDown) when the directory cannot be reached or read.
  virtual void Check() = 0;
  // The entry named dn; nullopt when absent.
  virtual std::optional<Entry> Read(const std::string& dn) = 0;
  // Entries within scope of base that match filter (every one when null), in the directory's
  // own order. An empty base is the whole directory; a base that does not exist raises
  // errors::kNoSuchObject.
  virtual std::vector<Entry> Search(const std::string& base, Scope scope, const Filter* filter) = 0;
  virtual std::vector<Entry> All() = 0;
  // Adds entries all or nothing; see admin::AddEntries.
  virtual void Add(const std::vector<Entry>& entries) = 0;
};

std::shared_ptr<Backend> CurrentBackend();

// Checks a batch of new entries against the names that exist (comparison forms): valid and
// new names, no duplicates, parents present (naming-context roots, made of DC= parts only,
// need none). Raises PlatformError naming the first offender.
void CheckNewEntries(const std::vector<Entry>& entries, const std::vector<std::string>& existing);

}  // namespace drossgate::platform::directory
