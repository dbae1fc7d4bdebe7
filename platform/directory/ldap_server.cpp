#include "directory/ldap_server.h"

#include <ldap_schema.h>
#include <sys/time.h>

#include <algorithm>

#include "directory/dn.h"
#include "directory/ldap_filter.h"
#include "error.h"
#include "system/atomic_file.h"
#include "system/system.h"

namespace drossgate::platform::directory::ldap {

namespace {

constexpr int kNetworkTimeoutSeconds = 10;  // connecting
// Binds, and searches without a time limit of their own: a guard against a server that hangs.
constexpr int kRequestTimeoutSeconds = 120;
// The client waits this much longer than a search's time limit, so that the server's own
// "time limit exceeded" (with its message) normally arrives first.
constexpr int kTimeLimitGraceSeconds = 2;
constexpr size_t kIdleConnections = 4;
constexpr const char* kDnSyntax = "1.3.6.1.4.1.1466.115.121.1.12";
// A server of the Windows domain kind announces this capability; it resolves objectCategory
// short names itself and its global catalog searches the whole forest from an empty base.
constexpr const char* kResolvesCategoriesCapability = "1.2.840.113556.1.4.800";

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

}  // namespace

std::string Diagnostic(LDAP* ld) {
  char* msg = nullptr;
  std::string out;
  if (ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &msg) == LDAP_OPT_SUCCESS && msg) {
    out = msg;
    ldap_memfree(msg);
  }
  return out;
}

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

std::string Credentials::Password() const {
  std::string password;
  if (passwordFile.empty()) return password;
  if (!ReadPasswordFile(passwordFile, password))
    Fail(errors::kLogonFailure,
         "The user name or password is incorrect. (the directory "
         "password file " +
             passwordFile.string() + " cannot be read)");
  return password;
}

std::pair<LdapHandle, bool> Server::Take() {
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

void Server::Give(LdapHandle h) {
  std::lock_guard lock(poolMutex_);
  if (idle_.size() < kIdleConnections) idle_.push_back(std::move(h));
}

LdapHandle Server::Initialize() {
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
  return ld;
}

LdapHandle Server::Connect() {
  LdapHandle ld = Initialize();
  LDAP* raw = ld.get();
  std::string password = credentials_.Password();
  berval cred{static_cast<ber_len_t>(password.size()), password.data()};
  const char* dn = credentials_.bindDn.empty() ? nullptr : credentials_.bindDn.c_str();
  const int rc = ldap_sasl_bind_s(raw, dn, LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
  if (rc != LDAP_SUCCESS) {
    LdapFailure failure{rc, Diagnostic(raw), credentials_.bindDn, true};
    throw failure;
  }
  return ld;
}

bool Server::CheckPassword(const std::string& dn, const std::string& password) {
  // The server would take an empty password (or DN) for an anonymous bind, which it grants.
  if (dn.empty() || password.empty()) return false;
  LdapHandle ld = Initialize();
  berval cred{static_cast<ber_len_t>(password.size()), const_cast<char*>(password.data())};
  const int rc =
      ldap_sasl_bind_s(ld.get(), dn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
  if (rc == LDAP_SUCCESS) return true;
  if (rc == LDAP_INVALID_CREDENTIALS) return false;
  throw LdapFailure{rc, Diagnostic(ld.get()), dn, true};
}

}  // namespace drossgate::platform::directory::ldap
