// The directory on an LDAP server. Queries arrive parsed; their conditions go to the server as
// an RFC 4515 filter, their options as the search's attributes, scope, size and time limits and
// the simple paged results control (RFC 2696). The callers' conventions that a plain LDAP
// server lacks are supplied here: a root object with the naming contexts, objectCategory short
// names turned into the category's DN, DNs spelt with capital RDN types, and a whole-directory
// search for a search base without a DN. The connections and searches are ldap_server's.
#include "directory/ldap_backend.h"

#include <ldap.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "directory/dn.h"
#include "directory/ldap_filter.h"
#include "directory/ldap_server.h"
#include "directory/query.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::platform::directory {

namespace {

using namespace ldap;

// Runs f, turning an LDAP failure into the platform's error for the server s.
template <typename F>
auto Guarded(const Server& s, const std::string& subject, F&& f) {
  try {
    return f();
  } catch (const LdapFailure& failure) {
    throw LdapError(failure.code, failure.diagnostic, s.Url(),
                    failure.subject.empty() ? subject : failure.subject, errors::kBadQuery,
                    failure.bind);
  }
}

class LdapBackend : public Backend {
 public:
  LdapBackend(std::unique_ptr<Server> domain, std::unique_ptr<Server> catalog)
      : domain_(std::move(domain)), catalog_(std::move(catalog)) {}

  void Check() override {
    Guarded(*domain_, {}, [&] { return domain_->Run([](LDAP*) { return 0; }); });
  }

  std::optional<Entry> Read(const std::string& dn) override { return ReadFrom(dn, false); }

  std::optional<Entry> ReadFrom(const std::string& dn, bool globalCatalog) override {
    Server& s = ServerFor(globalCatalog);
    return Guarded(s, dn, [&] {
      return s.Run([&](LDAP* ld) { return ReadEntry(ld, dn, {}, s.Info(ld).get()); });
    });
  }

  std::vector<Entry> Search(const std::string& base, Scope scope, const Filter* filter) override {
    return SearchWith(base, scope, filter, SearchOptions{});
  }

  std::vector<Entry> SearchWith(const std::string& base, Scope scope, const Filter* filter,
                                const SearchOptions& options) override {
    Server& s = ServerFor(options.globalCatalog);
    return Guarded(s, base, [&] {
      return s.Run([&](LDAP* ld) {
        auto info = s.Info(ld);
        SearchRequest r;
        r.scope = scope == Scope::kBase       ? LDAP_SCOPE_BASE
                  : scope == Scope::kOneLevel ? LDAP_SCOPE_ONELEVEL
                                              : LDAP_SCOPE_SUBTREE;
        if (filter) r.filter = LdapFilter(*filter, Resolver(ld, *info, *filter));
        for (const std::string& a : options.attributes)
          if (!text::EqualsNoCase(a, "ADsPath") && IsAttributeDescription(a))
            r.attributes.push_back(a);
        // Only names that no server has: ask for none rather than for all.
        if (!options.attributes.empty() && r.attributes.empty()) r.attributes.push_back("1.1");
        r.sizeLimit = options.sizeLimit;
        r.pageSize = options.pageSize;
        r.timeLimit = options.timeLimit;
        return SearchBases(ld, *info, base, options.globalCatalog, r);
      });
    });
  }

  std::vector<Entry> All() override {
    SearchOptions options;
    options.pageSize = kReadPageSize;
    return SearchWith("", Scope::kSubtree, nullptr, options);
  }

  void Add(const std::vector<Entry>& entries) override {
    for (const Entry& e : entries) {
      auto key = NormalizeDn(e.dn);
      if (!key || key->empty())
        Fail(errors::kBadPathname, "\"" + e.dn + "\" is not a distinguished name");
      if (e.attributes.empty())
        Fail(errors::kInvalidArg, "The entry " + e.dn + " has no attributes");
    }
    Guarded(*domain_, {}, [&] {
      return domain_->Run([&](LDAP* ld) {
        AddAll(ld, entries);
        return 0;
      });
    });
  }

  std::optional<Entry> RootDse(bool globalCatalog) override {
    Server& s = ServerFor(globalCatalog);
    return Guarded(s, {}, [&] {
      return s.Run([&](LDAP* ld) {
        auto info = s.Info(ld);
        Entry e = ReadEntry(ld, "", {"*", "+"}, info.get()).value_or(Entry{});
        // What callers read of the root object, for a server that does not say it.
        auto fill = [&](const char* name, const std::string& value) {
          if (!e.Find(name) && !value.empty()) e.Add(name, value);
        };
        fill("dnsHostName", s.Host().empty() ? "localhost" : s.Host());
        fill("defaultNamingContext", info->defaultNc);
        fill("rootDomainNamingContext", info->defaultNc);
        fill("configurationNamingContext", "CN=Configuration," + info->defaultNc);
        fill("schemaNamingContext", info->schemaNc);
        return std::optional<Entry>(std::move(e));
      });
    });
  }

  bool CheckPassword(const std::string& dn, const std::string& password) override {
    return Guarded(*domain_, dn, [&] { return domain_->CheckPassword(dn, password); });
  }

  bool ServesHost(const std::string& host) override {
    for (Server* s : {domain_.get(), catalog_.get()})
      if (text::EqualsNoCase(host, s->Host())) return true;
    for (Server* s : {domain_.get(), catalog_.get()}) {
      auto info = Guarded(*s, {}, [&] { return s->Info(); });
      if (!info->dnsHostName.empty() && text::EqualsNoCase(host, info->dnsHostName)) return true;
    }
    return false;
  }

 private:
  Server& ServerFor(bool globalCatalog) { return globalCatalog ? *catalog_ : *domain_; }

  // Short category names as the DNs of their schema entries: CN=<Name>,<schema context>, the
  // name compared as the file-backed directory compares it. A name without an entry falls back
  // to the DN spelt as written.
  static CategoryResolver Resolver(LDAP* ld, const ServerInfo& info, const Filter& filter) {
    if (info.resolvesCategories || ShortCategoryNames(filter).empty()) return nullptr;
    auto byKey = std::make_shared<std::map<std::string, std::vector<std::string>>>();
    SearchRequest r;
    r.base = info.schemaNc;
    r.scope = LDAP_SCOPE_ONELEVEL;
    r.attributes = {"1.1"};
    r.pageSize = kReadPageSize;
    std::vector<Entry> classes;
    try {
      RunSearch(ld, r, &info, classes);
    } catch (const LdapFailure& f) {
      if (f.code != LDAP_NO_SUCH_OBJECT) throw;
    }
    for (const Entry& c : classes) (*byKey)[CategoryKey(FirstRdnValue(c.dn))].push_back(c.dn);
    const std::string schemaNc = info.schemaNc;
    return [byKey, schemaNc](const std::string& shortName) {
      auto it = byKey->find(CategoryKey(shortName));
      if (it != byKey->end()) return it->second;
      return std::vector<std::string>{"CN=" + EscapeRdnValue(shortName) + "," + schemaNc};
    };
  }

  // An empty base means every naming context the server holds (an entry in several is
  // returned once), except on a global catalog that searches everything from the empty base.
  static std::vector<Entry> SearchBases(LDAP* ld, const ServerInfo& info, const std::string& base,
                                        bool globalCatalog, SearchRequest r) {
    std::vector<Entry> out;
    if (!base.empty() || (globalCatalog && info.resolvesCategories)) {
      r.base = base;
      RunSearch(ld, r, &info, out);
      return out;
    }
    std::set<std::string> seen;
    for (const std::string& nc : info.namingContexts) {
      SearchRequest one = r;
      one.base = nc;
      if (r.scope == LDAP_SCOPE_BASE) continue;
      // The contexts themselves are the empty base's children.
      if (r.scope == LDAP_SCOPE_ONELEVEL) one.scope = LDAP_SCOPE_BASE;
      if (r.sizeLimit > 0) {
        one.sizeLimit = r.sizeLimit - static_cast<int>(out.size());
        if (one.sizeLimit <= 0) break;
      }
      std::vector<Entry> found;
      RunSearch(ld, one, &info, found);
      for (Entry& e : found)
        if (seen.insert(NormalizeDn(e.dn).value_or(e.dn)).second) out.push_back(std::move(e));
    }
    return out;
  }

  // All or nothing: entries added before a refusal are deleted again.
  static void AddAll(LDAP* ld, const std::vector<Entry>& entries) {
    std::vector<const std::string*> added;
    try {
      for (const Entry& e : entries) {
        AddOne(ld, e);
        added.push_back(&e.dn);
      }
    } catch (const LdapFailure&) {
      for (auto it = added.rbegin(); it != added.rend(); ++it)
        ldap_delete_ext_s(ld, (*it)->c_str(), nullptr, nullptr);
      throw;
    }
  }

  static void AddOne(LDAP* ld, const Entry& e) {
    std::vector<std::vector<berval>> values(e.attributes.size());
    std::vector<std::vector<berval*>> valuePointers(e.attributes.size());
    std::vector<LDAPMod> mods(e.attributes.size());
    std::vector<LDAPMod*> modPointers;
    for (size_t i = 0; i < e.attributes.size(); ++i) {
      const Attribute& a = e.attributes[i];
      for (const std::string& v : a.values)
        values[i].push_back(berval{static_cast<ber_len_t>(v.size()), const_cast<char*>(v.data())});
      for (berval& b : values[i]) valuePointers[i].push_back(&b);
      valuePointers[i].push_back(nullptr);
      mods[i].mod_op = LDAP_MOD_ADD | LDAP_MOD_BVALUES;
      mods[i].mod_type = const_cast<char*>(a.name.c_str());
      mods[i].mod_bvalues = valuePointers[i].data();
      modPointers.push_back(&mods[i]);
    }
    modPointers.push_back(nullptr);
    int rc = ldap_add_ext_s(ld, e.dn.c_str(), modPointers.data(), nullptr, nullptr);
    if (rc != LDAP_SUCCESS) Throw(rc, Diagnostic(ld), e.dn);
  }

  std::unique_ptr<Server> domain_;
  std::unique_ptr<Server> catalog_;
};

// A setting that cannot be used: every call says why.
std::shared_ptr<Backend> Misconfigured(const std::string& why) {
  return std::make_shared<UnavailableDirectory>("machine.json: " + why);
}

std::shared_ptr<Backend> MakeBackend(const DirectoryConfig& config,
                                     const std::filesystem::path& root) {
  std::optional<std::string> urls[2], bindDn, passwordFile;
  const char* keys[2] = {"ldap", "gc"};
  for (int i = 0; i < 2; ++i) {
    urls[i] = config.Member(keys[i]);
    if (!urls[i])
      return Misconfigured(std::string("\"directory\".\"") + keys[i] + "\" is not a text");
  }
  bindDn = config.Member("bind_dn");
  passwordFile = config.Member("password_file");
  if (!bindDn) return Misconfigured("\"directory\".\"bind_dn\" is not a text");
  if (!passwordFile) return Misconfigured("\"directory\".\"password_file\" is not a text");
  if (urls[0]->empty()) urls[0] = urls[1];
  if (urls[1]->empty()) urls[1] = urls[0];
  if (urls[0]->empty()) return Misconfigured("\"directory\" names no server (\"ldap\" or \"gc\")");
  Credentials credentials{*bindDn, {}};
  if (!passwordFile->empty()) {
    std::filesystem::path p = *passwordFile;
    credentials.passwordFile = p.is_absolute() ? p : root / p;
  }
  std::unique_ptr<Server> servers[2];
  for (int i = 0; i < 2; ++i) {
    LDAPURLDesc* url = nullptr;
    if (ldap_url_parse(urls[i]->c_str(), &url) != LDAP_URL_SUCCESS)
      return Misconfigured(std::string("\"directory\".\"") + keys[i] + "\": " + *urls[i] +
                           " is not an LDAP URL");
    std::string host = url->lud_host ? url->lud_host : "";
    ldap_free_urldesc(url);
    servers[i] = std::make_unique<Server>(*urls[i], host, credentials);
  }
  return std::make_shared<LdapBackend>(std::move(servers[0]), std::move(servers[1]));
}

struct ErrorKind {
  int32_t number;
  const char* text;
};

ErrorKind Classify(int code, int32_t otherwise, bool bind) {
  switch (code) {
    case LDAP_SERVER_DOWN:
    case LDAP_CONNECT_ERROR:
    case LDAP_UNAVAILABLE:
    case LDAP_BUSY:
      return {errors::kServerDown, "The server is not operational."};
    case LDAP_TIMELIMIT_EXCEEDED:
    case LDAP_TIMEOUT:
      return {errors::kTimeLimit, "The time limit for this request was exceeded."};
    case LDAP_INVALID_CREDENTIALS:
      return {errors::kLogonFailure, "The user name or password is incorrect."};
    default:
      break;
  }
  if (bind) return {errors::kLogonFailure, "The user name or password is incorrect."};
  switch (code) {
    case LDAP_NO_SUCH_OBJECT:
      return {errors::kNoSuchObject, "There is no such object on the server."};
    case LDAP_ALREADY_EXISTS:
      return {errors::kAlreadyExists, "The object already exists."};
    case LDAP_INVALID_DN_SYNTAX:
      return {errors::kBadPathname, "An invalid directory pathname was passed."};
    case LDAP_INSUFFICIENT_ACCESS:
    case LDAP_STRONG_AUTH_REQUIRED:
    case LDAP_CONFIDENTIALITY_REQUIRED:
      return {errors::kAccessDenied, "Access is denied."};
    default:
      return {otherwise, "The directory server refused the request."};
  }
}

}  // namespace

std::shared_ptr<Backend> LdapServerBackend(const DirectoryConfig& config,
                                           const std::filesystem::path& root) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<Backend>> byKey;
  std::string key = root.string();
  for (const auto& [name, value] : config.members)
    key += '\n' + name + '=' + (value ? *value : std::string("\x01"));
  std::lock_guard lock(mutex);
  auto& backend = byKey[key];
  if (!backend) backend = MakeBackend(config, root);
  return backend;
}

PlatformError LdapError(int code, std::string_view diagnostic, std::string_view url,
                        std::string_view subject, int32_t otherwise, bool bind) {
  const ErrorKind kind = Classify(code, otherwise, bind);
  std::string text = kind.text;
  // Whether the server answers does not depend on the object asked for.
  const bool aboutServer = kind.number == errors::kServerDown || kind.number == errors::kTimeLimit;
  if (!subject.empty() && !aboutServer) {
    text.pop_back();  // the period, before the subject
    text += ": " + std::string(subject);
  }
  std::string reason = ldap_err2string(code);
  if (!diagnostic.empty()) reason += "; " + std::string(diagnostic);
  return PlatformError(kind.number, text + " (" + std::string(url) + ": " + reason + ")");
}

}  // namespace drossgate::platform::directory

// The entry point the platform looks up after loading this library.
extern "C" void drossgate_ldap_backend(
    const drossgate::platform::DirectoryConfig* config, const std::filesystem::path* root,
    std::shared_ptr<drossgate::platform::directory::Backend>* out) {
  *out = drossgate::platform::directory::LdapServerBackend(*config, *root);
}
