#pragma once
// Where directory entries come from. The public objects ask the backend that the platform
// root's machine.json chooses ("directory": null or {"backend": "ldif"} for directory.ldif,
// {"backend": "none"} for a machine without a directory, {"ldap": URL, ...} for a directory
// server, see ldap_backend.h).

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "directory/directory.h"
#include "directory/query.h"
#include "error.h"

namespace drossgate::platform::directory {

enum class Scope { kBase = 0, kOneLevel = 1, kSubtree = 2 };

// What a query asks beyond base, scope and filter. A server-backed directory hands it to the
// server; the file needs none of it (the command sorts and cuts the rows itself).
struct SearchOptions {
  bool globalCatalog = false;           // a GC:// search base
  std::vector<std::string> attributes;  // the attributes to read; empty for all
  int32_t sizeLimit = 0;                // rows at most; 0 for no limit
  int32_t pageSize = 0;                 // rows per page; 0 for no paging
  int32_t timeLimit = 0;                // seconds; 0 for no limit
};

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

  // Search with a query's options; by default the options are not needed.
  virtual std::vector<Entry> SearchWith(const std::string& base, Scope scope, const Filter* filter,
                                        const SearchOptions&) {
    return Search(base, scope, filter);
  }
  // Read as the global catalog (GC:// paths) or the domain's server shows the entry.
  virtual std::optional<Entry> ReadFrom(const std::string& dn, bool /*globalCatalog*/) {
    return Read(dn);
  }
  // The server's own root object; nullopt where the platform describes this computer instead.
  virtual std::optional<Entry> RootDse(bool /*globalCatalog*/) { return std::nullopt; }
  // True when host names the directory's server, beyond this computer's own names.
  virtual bool ServesHost(const std::string& /*host*/) { return false; }
  // True when the server takes password for the entry dn (a simple bind as it), false when it
  // refuses them; an empty password is refused without asking, since a server takes it for an
  // anonymous bind. Raises kServerDown when the server cannot be asked, and everywhere a
  // directory has no passwords.
  virtual bool CheckPassword(const std::string& /*dn*/, const std::string& /*password*/) {
    Fail(errors::kServerDown, "The server is not operational. (this directory keeps no passwords)");
  }
};

// A directory that cannot be used (none configured, or a setting that cannot work): every call
// fails as an unreachable server does, saying why.
class UnavailableDirectory : public Backend {
 public:
  explicit UnavailableDirectory(std::string why) : why_(std::move(why)) {}
  void Check() override { Down(); }
  std::optional<Entry> Read(const std::string&) override { Down(); }
  std::vector<Entry> Search(const std::string&, Scope, const Filter*) override { Down(); }
  std::vector<Entry> All() override { Down(); }
  void Add(const std::vector<Entry>&) override { Down(); }
  bool CheckPassword(const std::string&, const std::string&) override { Down(); }

 private:
  [[noreturn]] void Down() const {
    Fail(errors::kServerDown, "The server is not operational. (" + why_ + ")");
  }
  std::string why_;
};

std::shared_ptr<Backend> CurrentBackend();

// Checks a batch of new entries against the names that exist (comparison forms): valid and
// new names, no duplicates, parents present (naming-context roots, made of DC= parts only,
// need none). Raises PlatformError naming the first offender.
void CheckNewEntries(const std::vector<Entry>& entries, const std::vector<std::string>& existing);

}  // namespace drossgate::platform::directory
