// The directory on an LDAP server. Queries arrive parsed; their conditions go to the server as
// an RFC 4515 filter, their options as the search's attributes, scope, size and time limits and
// the simple paged results control (RFC 2696). The callers' conventions that a plain LDAP
// server lacks are supplied here: a root object with the naming contexts, objectCategory short
// names turned into the category's DN, DNs spelt with capital RDN types, and a whole-directory
// search for a search base without a DN.
#include "directory/ldap_backend.h"

#include <ldap.h>
#include <ldap_schema.h>
#include <sys/time.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <utility>

#include "directory/dn.h"
#include "directory/ldap_filter.h"
#include "directory/query.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::platform::directory {

namespace {

constexpr int kNetworkTimeoutSeconds = 10;  // connecting
// Binds, and searches without a time limit of their own: a guard against a server that hangs.
constexpr int kRequestTimeoutSeconds = 120;
// The client waits this much longer than a search's time limit, so that the server's own
// "time limit exceeded" (with its message) normally arrives first.
constexpr int kTimeLimitGraceSeconds = 2;
constexpr int kReadPageSize = 500;  // whole-directory reads and schema lookups
constexpr size_t kIdleConnections = 4;
constexpr const char* kDnSyntax = "1.3.6.1.4.1.1466.115.121.1.12";
// A server of the Windows domain kind announces this capability; it resolves objectCategory
// short names itself and its global catalog searches the whole forest from an empty base.
constexpr const char* kResolvesCategoriesCapability = "1.2.840.113556.1.4.800";

// A failed LDAP exchange, turned into a PlatformError where the server's URL is known.
struct LdapFailure {
  int code;
  std::string diagnostic;
  std::string subject;
  bool bind = false;
};

[[noreturn]] void Throw(int code, std::string diagnostic = {}, std::string subject = {}) {
  throw LdapFailure{code, std::move(diagnostic), std::move(subject)};
}

std::string Diagnostic(LDAP* ld) {
  char* msg = nullptr;
  std::string out;
  if (ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &msg) == LDAP_OPT_SUCCESS && msg) {
    out = msg;
    ldap_memfree(msg);
  }
  return out;
}

struct LdapCloser {
  void operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
using LdapHandle = std::unique_ptr<LDAP, LdapCloser>;
struct MessageFree {
  void operator()(LDAPMessage* m) const { ldap_msgfree(m); }
};
using Message = std::unique_ptr<LDAPMessage, MessageFree>;
struct ControlFree {
  void operator()(LDAPControl* c) const { ldap_control_free(c); }
};
struct ControlsFree {
  void operator()(LDAPControl** c) const { ldap_controls_free(c); }
};

// --- What is learnt of a server once ------------------------------------------------------

struct ServerInfo {
  std::vector<std::string> namingContexts;
  std::string defaultNc;
  std::string schemaNc;
  std::string dnsHostName;  // as the server reports it; empty when it does not
  bool resolvesCategories = false;
  std::set<std::string> dnAttributes;  // lower case

  bool IsDn(std::string_view attribute) const {
    return dnAttributes.count(text::ToLower(attribute.substr(0, attribute.find(';')))) > 0;
  }
};

// DN-valued attributes the callers read, for a server whose schema cannot be read.
constexpr const char* kKnownDnAttributes[] = {"distinguishedName",
                                              "objectCategory",
                                              "defaultObjectCategory",
                                              "homeMDB",
                                              "homeMTA",
                                              "member",
                                              "memberOf",
                                              "manager",
                                              "namingContexts",
                                              "defaultNamingContext",
                                              "configurationNamingContext",
                                              "schemaNamingContext",
                                              "rootDomainNamingContext",
                                              "subschemaSubentry",
                                              "serverName",
                                              "dsServiceName"};

// The DN-syntax attributes among a subschema's attributeTypes, syntax inherited through SUP.
std::set<std::string> DnAttributes(const std::vector<std::string>& definitions) {
  struct Type {
    std::string syntax;
    std::string sup;
  };
  std::map<std::string, Type> byName;  // names and OIDs, lower case
  for (const std::string& d : definitions) {
    int code = 0;
    const char* where = nullptr;
    LDAPAttributeType* at = ldap_str2attributetype(d.c_str(), &code, &where, LDAP_SCHEMA_ALLOW_ALL);
    if (!at) continue;
    Type t{at->at_syntax_oid ? at->at_syntax_oid : "",
           at->at_sup_oid ? text::ToLower(at->at_sup_oid) : ""};
    if (at->at_oid) byName[text::ToLower(at->at_oid)] = t;
    for (char** n = at->at_names; n && *n; ++n) byName[text::ToLower(*n)] = t;
    ldap_attributetype_free(at);
  }
  std::set<std::string> out;
  for (const auto& [name, type] : byName) {
    const Type* t = &type;
    for (int depth = 0; t && t->syntax.empty() && !t->sup.empty() && depth < 16; ++depth) {
      auto it = byName.find(t->sup);
      t = it == byName.end() ? nullptr : &it->second;
    }
    if (t && t->syntax == kDnSyntax) out.insert(name);
  }
  return out;
}

// --- Reading entries ----------------------------------------------------------------------

Entry ToEntry(LDAP* ld, LDAPMessage* m, const ServerInfo* info) {
  Entry e;
  if (char* dn = ldap_get_dn(ld, m)) {
    e.dn = UpperRdnTypes(dn);
    ldap_memfree(dn);
  }
  BerElement* ber = nullptr;
  for (char* a = ldap_first_attribute(ld, m, &ber); a; a = ldap_next_attribute(ld, m, ber)) {
    Attribute attr{a, {}};
    const bool dnValued = info && info->IsDn(a);
    if (berval** values = ldap_get_values_len(ld, m, a)) {
      for (berval** v = values; *v; ++v) {
        std::string s((*v)->bv_val, (*v)->bv_len);
        attr.values.push_back(dnValued ? UpperRdnTypes(s) : std::move(s));
      }
      ldap_value_free_len(values);
    }
    ldap_memfree(a);
    if (!attr.values.empty()) e.attributes.push_back(std::move(attr));
  }
  if (ber) ber_free(ber, 0);
  return e;
}

struct SearchRequest {
  std::string base;
  int scope = LDAP_SCOPE_SUBTREE;
  std::string filter = "(objectClass=*)";
  std::vector<std::string> attributes;  // empty: all user attributes
  int sizeLimit = 0;
  int pageSize = 0;
  int timeLimit = 0;
};

// One search, page by page when asked; appends to out. A size limit that cuts the result is no
// error (the rows up to it are the answer); every other refusal is. A paged search keeps to
// the size limit itself: servers may hold a client's limit against their own for paged ones.
void RunSearch(LDAP* ld, const SearchRequest& r, const ServerInfo* info, std::vector<Entry>& out) {
  std::vector<char*> attrs;
  for (const std::string& a : r.attributes) attrs.push_back(const_cast<char*>(a.c_str()));
  attrs.push_back(nullptr);
  const size_t start = out.size();
  std::string cookie;
  for (;;) {
    int remaining = 0;
    if (r.sizeLimit > 0) remaining = r.sizeLimit - static_cast<int>(out.size() - start);
    std::unique_ptr<LDAPControl, ControlFree> page;
    if (r.pageSize > 0) {
      berval c{static_cast<ber_len_t>(cookie.size()), cookie.data()};
      LDAPControl* raw = nullptr;
      const int size = remaining > 0 ? std::min(r.pageSize, remaining) : r.pageSize;
      // Not critical: a server without paging answers in one piece.
      int rc = ldap_create_page_control(ld, size, &c, 0, &raw);
      if (rc != LDAP_SUCCESS) Throw(rc, Diagnostic(ld));
      page.reset(raw);
    }
    LDAPControl* serverControls[] = {page.get(), nullptr};
    // The time limit goes to the server; the client waits a little longer for its answer.
    timeval limit{r.timeLimit, 0};
    int id = 0;
    int rc = ldap_search_ext(ld, r.base.c_str(), r.scope, r.filter.c_str(),
                             r.attributes.empty() ? nullptr : attrs.data(), 0,
                             page ? serverControls : nullptr, nullptr,
                             r.timeLimit > 0 ? &limit : nullptr, page ? 0 : remaining, &id);
    if (rc != LDAP_SUCCESS) Throw(rc, Diagnostic(ld));
    timeval wait{r.timeLimit > 0 ? r.timeLimit + kTimeLimitGraceSeconds : kRequestTimeoutSeconds,
                 0};
    LDAPMessage* raw = nullptr;
    rc = ldap_result(ld, id, LDAP_MSG_ALL, &wait, &raw);
    Message result(raw);
    if (rc == 0) {
      ldap_abandon_ext(ld, id, nullptr, nullptr);
      Throw(LDAP_TIMEOUT);
    }
    if (rc < 0 || !result) {
      int error = LDAP_OTHER;
      ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &error);
      Throw(error, Diagnostic(ld));
    }
    for (LDAPMessage* m = ldap_first_entry(ld, result.get()); m; m = ldap_next_entry(ld, m)) {
      if (r.sizeLimit > 0 && out.size() - start >= static_cast<size_t>(r.sizeLimit)) break;
      out.push_back(ToEntry(ld, m, info));
    }
    int code = LDAP_SUCCESS;
    char* message = nullptr;
    LDAPControl** controls = nullptr;
    rc = ldap_parse_result(ld, result.get(), &code, nullptr, &message, nullptr, &controls, 0);
    if (rc != LDAP_SUCCESS) Throw(rc, Diagnostic(ld));
    std::unique_ptr<LDAPControl*, ControlsFree> controlsGuard(controls);
    std::string diagnostic = message ? message : "";
    ldap_memfree(message);
    if (code == LDAP_SIZELIMIT_EXCEEDED) return;
    if (code != LDAP_SUCCESS) Throw(code, diagnostic);
    if (!page) return;
    LDAPControl* response = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, controls, nullptr);
    if (!response) return;
    ber_int_t estimate = 0;
    berval next{0, nullptr};
    rc = ldap_parse_pageresponse_control(ld, response, &estimate, &next);
    if (rc != LDAP_SUCCESS) Throw(rc, Diagnostic(ld));
    cookie.assign(next.bv_val ? next.bv_val : "", next.bv_len);
    ber_memfree(next.bv_val);
    if (cookie.empty()) return;
    if (r.sizeLimit > 0 && out.size() - start >= static_cast<size_t>(r.sizeLimit)) return;
  }
}

std::optional<Entry> ReadEntry(LDAP* ld, const std::string& dn, std::vector<std::string> attributes,
                               const ServerInfo* info) {
  SearchRequest r;
  r.base = dn;
  r.scope = LDAP_SCOPE_BASE;
  r.attributes = std::move(attributes);
  std::vector<Entry> found;
  try {
    RunSearch(ld, r, info, found);
  } catch (const LdapFailure& f) {
    if (f.code == LDAP_NO_SUCH_OBJECT) return std::nullopt;
    throw;
  }
  if (found.empty()) return std::nullopt;
  return std::move(found.front());
}

const std::vector<std::string>* ValuesOf(const Entry& e, std::string_view name) {
  const Attribute* a = e.Find(name);
  return a ? &a->values : nullptr;
}

std::string FirstValue(const Entry& e, std::string_view name) {
  const auto* v = ValuesOf(e, name);
  return v && !v->empty() ? v->front() : std::string();
}

bool SameDn(std::string_view a, std::string_view b) {
  auto x = NormalizeDn(a), y = NormalizeDn(b);
  return x && y && *x == *y;
}

ServerInfo LoadInfo(LDAP* ld) {
  ServerInfo info;
  std::optional<Entry> dse = ReadEntry(ld, "", {"*", "+"}, nullptr);
  if (!dse) dse.emplace();
  if (const auto* ncs = ValuesOf(*dse, "namingContexts"))
    for (const std::string& nc : *ncs) info.namingContexts.push_back(UpperRdnTypes(nc));
  if (const auto* caps = ValuesOf(*dse, "supportedCapabilities"))
    for (const std::string& c : *caps)
      info.resolvesCategories |= c == kResolvesCategoriesCapability;
  info.dnsHostName = FirstValue(*dse, "dnsHostName");

  info.defaultNc = UpperRdnTypes(FirstValue(*dse, "defaultNamingContext"));
  if (info.defaultNc.empty()) {
    // A server without the attribute: the context of this machine's domain when the server
    // holds it, else the first it names.
    const std::string domain = DomainToDn(Machine().domainName);
    for (const std::string& nc : info.namingContexts)
      if (SameDn(nc, domain)) info.defaultNc = nc;
    if (info.defaultNc.empty())
      info.defaultNc = info.namingContexts.empty() ? domain : info.namingContexts.front();
  }
  info.schemaNc = UpperRdnTypes(FirstValue(*dse, "schemaNamingContext"));
  if (info.schemaNc.empty()) info.schemaNc = "CN=Schema,CN=Configuration," + info.defaultNc;

  std::string subschema = FirstValue(*dse, "subschemaSubentry");
  if (subschema.empty()) subschema = "cn=Subschema";
  std::optional<Entry> schema;
  try {
    schema = ReadEntry(ld, subschema, {"attributeTypes"}, nullptr);
  } catch (const LdapFailure& f) {
    if (f.code < 0) throw;  // the connection is gone; anything else only hides the schema
  }
  if (schema)
    if (const auto* types = ValuesOf(*schema, "attributeTypes"))
      info.dnAttributes = DnAttributes(*types);
  if (info.dnAttributes.empty())
    for (const char* a : kKnownDnAttributes) info.dnAttributes.insert(text::ToLower(a));
  return info;
}

// --- Connections --------------------------------------------------------------------------

struct Credentials {
  std::string bindDn;
  std::filesystem::path passwordFile;

  std::string Password() const {
    if (passwordFile.empty()) return {};
    std::ifstream in(passwordFile, std::ios::binary);
    std::ostringstream content;
    if (in) content << in.rdbuf();
    if (!in || (!content && !in.eof()))
      Fail(errors::kLogonFailure,
           "The user name or password is incorrect. (the directory "
           "password file " +
               passwordFile.string() + " cannot be read)");
    std::string password = content.str();
    while (!password.empty() && (password.back() == '\n' || password.back() == '\r'))
      password.pop_back();
    return password;
  }
};

class Server {
 public:
  Server(std::string url, std::string host, Credentials credentials)
      : url_(std::move(url)), host_(std::move(host)), credentials_(std::move(credentials)) {}

  const std::string& Url() const { return url_; }
  const std::string& Host() const { return host_; }

  // Runs f on a bound connection. A kept connection that the server has dropped since (it was
  // restarted, say) fails once and is replaced; every other failure is the answer.
  template <typename F>
  auto Run(F&& f) {
    for (int attempt = 0;; ++attempt) {
      auto [handle, reused] = Take();
      try {
        auto result = f(handle.get());
        Give(std::move(handle));
        return result;
      } catch (const LdapFailure& failure) {
        if (failure.code == LDAP_SERVER_DOWN && reused && attempt == 0) continue;
        // The server answered: the connection itself is still good.
        if (failure.code >= 0) Give(std::move(handle));
        throw;
      }
    }
  }

  // What the server says of itself, read on first use.
  std::shared_ptr<const ServerInfo> Info(LDAP* ld) {
    std::lock_guard lock(infoMutex_);
    if (!info_) info_ = std::make_shared<const ServerInfo>(LoadInfo(ld));
    return info_;
  }
  std::shared_ptr<const ServerInfo> Info() {
    {
      std::lock_guard lock(infoMutex_);
      if (info_) return info_;
    }
    return Run([&](LDAP* ld) { return Info(ld); });
  }

 private:
  std::pair<LdapHandle, bool> Take() {
    {
      std::lock_guard lock(poolMutex_);
      if (!idle_.empty()) {
        LdapHandle h = std::move(idle_.back());
        idle_.pop_back();
        return {std::move(h), true};
      }
    }
    return {Connect(), false};
  }

  void Give(LdapHandle h) {
    std::lock_guard lock(poolMutex_);
    if (idle_.size() < kIdleConnections) idle_.push_back(std::move(h));
  }

  LdapHandle Connect() {
    LDAP* raw = nullptr;
    int rc = ldap_initialize(&raw, url_.c_str());
    if (rc != LDAP_SUCCESS) Throw(rc);
    LdapHandle ld(raw);
    int version = LDAP_VERSION3;
    ldap_set_option(raw, LDAP_OPT_PROTOCOL_VERSION, &version);
    // Referrals would be followed with other credentials; the callers never ask for them.
    ldap_set_option(raw, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    timeval network{kNetworkTimeoutSeconds, 0};
    ldap_set_option(raw, LDAP_OPT_NETWORK_TIMEOUT, &network);
    timeval request{kRequestTimeoutSeconds, 0};
    ldap_set_option(raw, LDAP_OPT_TIMEOUT, &request);
    std::string password = credentials_.Password();
    berval cred{static_cast<ber_len_t>(password.size()), password.data()};
    const char* dn = credentials_.bindDn.empty() ? nullptr : credentials_.bindDn.c_str();
    rc = ldap_sasl_bind_s(raw, dn, LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
      LdapFailure failure{rc, Diagnostic(raw), credentials_.bindDn, true};
      throw failure;
    }
    return ld;
  }

  std::string url_;
  std::string host_;
  Credentials credentials_;
  std::mutex poolMutex_;
  std::vector<LdapHandle> idle_;
  std::mutex infoMutex_;
  std::shared_ptr<const ServerInfo> info_;
};

// --- The backend --------------------------------------------------------------------------

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

// The text of a setting: empty when absent or null; nullopt when it is something else.
std::optional<std::string> Setting(const nlohmann::json& config, const char* key) {
  if (!config.contains(key) || config[key].is_null()) return std::string();
  if (!config[key].is_string()) return std::nullopt;
  return config[key].get<std::string>();
}

std::shared_ptr<Backend> MakeBackend(const nlohmann::json& config,
                                     const std::filesystem::path& root) {
  std::optional<std::string> urls[2], bindDn, passwordFile;
  const char* keys[2] = {"ldap", "gc"};
  for (int i = 0; i < 2; ++i) {
    urls[i] = Setting(config, keys[i]);
    if (!urls[i])
      return Misconfigured(std::string("\"directory\".\"") + keys[i] + "\" is not a text");
  }
  bindDn = Setting(config, "bind_dn");
  passwordFile = Setting(config, "password_file");
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

std::shared_ptr<Backend> LdapServerBackend(const nlohmann::json& config,
                                           const std::filesystem::path& root) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<Backend>> byKey;
  const std::string key = root.string() + '\n' + config.dump();
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
    const nlohmann::json* config, const std::filesystem::path* root,
    std::shared_ptr<drossgate::platform::directory::Backend>* out) {
  *out = drossgate::platform::directory::LdapServerBackend(*config, *root);
}
