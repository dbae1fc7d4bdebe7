// The default backend: the platform root's directory.ldif, parsed once and parsed again
// whenever the file changes. Writers replace the whole file atomically under a lock file, so
// readers in any process see either the old or the new directory, never a partial one.
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

#include "directory/backend.h"
#include "directory/dn.h"
#include "directory/ldap_backend.h"
#include "error.h"
#include "fault.h"
#include "system/atomic_file.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::platform::directory {

namespace {

constexpr const char* kNotOperational = "The server is not operational.";

struct Snapshot {
  std::vector<Entry> entries;
  std::vector<std::string> keys;  // comparison form of each entry's DN
  std::unordered_map<std::string, size_t> index;
};

bool OnlyDomainComponents(const std::string& key) {
  if (key.empty()) return true;
  for (const std::string& rdn : text::Split(key, ','))
    if (rdn.rfind("dc=", 0) != 0) return false;
  return true;
}

bool InScope(const std::string& key, const std::string& base, Scope scope) {
  switch (scope) {
    case Scope::kBase:
      return key == base;
    case Scope::kOneLevel:
      return !key.empty() && ParentDn(key) == base;
    case Scope::kSubtree:
      return base.empty() || key == base ||
             (key.size() > base.size() &&
              key.compare(key.size() - base.size(), base.size(), base) == 0 &&
              key[key.size() - base.size() - 1] == ',');
  }
  return false;
}

class LdifBackend : public Backend {
 public:
  explicit LdifBackend(std::filesystem::path root)
      : file_(root / "directory.ldif"), lock_(root / "directory.ldif.lock") {}

  void Check() override { Current(); }

  std::optional<Entry> Read(const std::string& dn) override {
    auto snap = Current();
    auto key = NormalizeDn(dn);
    if (!key) Fail(errors::kBadPathname, "An invalid directory pathname was passed: " + dn);
    auto it = snap->index.find(*key);
    if (it == snap->index.end()) return std::nullopt;
    return snap->entries[it->second];
  }

  std::vector<Entry> Search(const std::string& base, Scope scope, const Filter* filter) override {
    auto snap = Current();
    auto baseKey = NormalizeDn(base);
    if (!baseKey) Fail(errors::kBadPathname, "An invalid directory pathname was passed: " + base);
    if (!baseKey->empty() && !snap->index.count(*baseKey))
      Fail(errors::kNoSuchObject, "There is no such object on the server: " + base);
    std::vector<Entry> out;
    for (size_t i = 0; i < snap->entries.size(); ++i) {
      if (!InScope(snap->keys[i], *baseKey, scope)) continue;
      if (filter && !Matches(*filter, snap->entries[i])) continue;
      out.push_back(snap->entries[i]);
    }
    return out;
  }

  std::vector<Entry> All() override { return Current()->entries; }

  void Add(const std::vector<Entry>& entries) override {
    FileLock lock(lock_);
    if (!lock.locked())
      Fail(errors::kFileWrite, "Cannot lock the directory data " + lock_.string());
    std::string content = ReadFile();
    std::vector<Entry> existing = admin::ParseLdif(content, file_.string());
    std::vector<std::string> keys;
    for (const Entry& e : existing) keys.push_back(*NormalizeDn(e.dn));
    CheckNewEntries(entries, keys);
    if (!content.empty() && content.back() != '\n') content += '\n';
    if (!content.empty()) content += '\n';
    content += admin::FormatLdif(entries);
    const int err = FaultHit(Fault::kDirectoryWrite) ? -1 : WriteFileAtomically(file_, content);
    if (err != 0)
      Fail(errors::kFileWrite, "Cannot write the directory data " + file_.string() + ": " +
                                   (err < 0 ? "injected fault" : std::strerror(err)));
    std::lock_guard guard(mutex_);
    stamp_.reset();
  }

 private:
  std::string ReadFile() {
    std::string content;
    if (!StampOf(file_))
      Fail(errors::kServerDown, std::string(kNotOperational) + " (the directory data " +
                                    file_.string() + " does not exist)");
    if (FaultHit(Fault::kDirectoryRead) || !ReadWholeFile(file_, content))
      Fail(errors::kServerDown, std::string(kNotOperational) + " (the directory data " +
                                    file_.string() + " cannot be read)");
    return content;
  }

  std::shared_ptr<const Snapshot> Current() {
    std::lock_guard guard(mutex_);
    auto stamp = StampOf(file_);
    if (snapshot_ && stamp && stamp_ && *stamp == *stamp_ && !stamp->Recent()) return snapshot_;
    std::string content = ReadFile();
    auto snap = std::make_shared<Snapshot>();
    snap->entries = admin::ParseLdif(content, file_.string());
    for (size_t i = 0; i < snap->entries.size(); ++i) {
      snap->keys.push_back(*NormalizeDn(snap->entries[i].dn));
      snap->index.emplace(snap->keys.back(), i);
    }
    snapshot_ = snap;
    stamp_ = stamp;
    return snapshot_;
  }

  std::filesystem::path file_;
  std::filesystem::path lock_;
  std::mutex mutex_;
  std::optional<FileStamp> stamp_;
  std::shared_ptr<const Snapshot> snapshot_;
};

}  // namespace

void CheckNewEntries(const std::vector<Entry>& entries, const std::vector<std::string>& existing) {
  std::set<std::string> names(existing.begin(), existing.end());
  for (const Entry& e : entries) {
    auto key = NormalizeDn(e.dn);
    if (!key || key->empty())
      Fail(errors::kBadPathname, "\"" + e.dn + "\" is not a distinguished name");
    if (e.attributes.empty()) Fail(errors::kInvalidArg, "The entry " + e.dn + " has no attributes");
    if (names.count(*key)) Fail(errors::kAlreadyExists, "The object " + e.dn + " already exists");
    std::string parent = ParentDn(*key);
    if (!OnlyDomainComponents(parent) && !names.count(parent))
      Fail(errors::kNoSuchObject, "There is no such object on the server: " + ParentDn(e.dn) +
                                      " (the parent of " + e.dn + ")");
    names.insert(*key);
  }
}

std::shared_ptr<Backend> CurrentBackend() {
  const std::filesystem::path root = PlatformRoot();
  const DirectoryConfig& config = Machine().directory;
  if (NamesLdapServer(config)) return LdapBackendFor(config, root);
  std::string kind = "ldif";
  if (const auto backend = config.Member("backend");
      config.isObject && backend && !backend->empty())
    kind = *backend;
  else if (config.given)
    return std::make_shared<UnavailableDirectory>("machine.json: \"directory\" names no backend");
  if (kind == "none")
    return std::make_shared<UnavailableDirectory>("this machine has no directory");
  if (kind != "ldif")
    return std::make_shared<UnavailableDirectory>(
        "machine.json names the unknown directory backend \"" + kind + "\"");
  static std::mutex mutex;
  static std::map<std::filesystem::path, std::shared_ptr<Backend>> byRoot;
  std::lock_guard lock(mutex);
  auto& backend = byRoot[root];
  if (!backend) backend = std::make_shared<LdifBackend>(root);
  return backend;
}

}  // namespace drossgate::platform::directory
