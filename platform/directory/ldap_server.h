#pragma once
// The client side of the directory's LDAP backend: a server's bound connections (kept for
// reuse, one that the server dropped replaced once), what is learnt of the server once, and
// searches page by page. LDAP failures raise LdapFailure, which the backend turns into the
// platform's errors. Private to libdrossgate_ldap.so.

#include <ldap.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "directory/directory.h"
#include "text.h"

namespace drossgate::platform::directory::ldap {

inline constexpr int kReadPageSize = 500;  // whole-directory reads and schema lookups

// A failed LDAP exchange, turned into a PlatformError where the server's URL is known.
struct LdapFailure {
  int code;
  std::string diagnostic;
  std::string subject;
  bool bind = false;
};

[[noreturn]] inline void Throw(int code, std::string diagnostic = {}, std::string subject = {}) {
  throw LdapFailure{code, std::move(diagnostic), std::move(subject)};
}

// The server's diagnostic message of the last exchange on ld.
std::string Diagnostic(LDAP* ld);

struct LdapCloser {
  void operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
using LdapHandle = std::unique_ptr<LDAP, LdapCloser>;

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
void RunSearch(LDAP* ld, const SearchRequest& r, const ServerInfo* info, std::vector<Entry>& out);
// The entry dn with those attributes; nullopt when there is none.
std::optional<Entry> ReadEntry(LDAP* ld, const std::string& dn, std::vector<std::string> attributes,
                               const ServerInfo* info);

// --- Connections --------------------------------------------------------------------------

// What the server says of itself: its root entry and its schema's DN-valued attributes.
ServerInfo LoadInfo(LDAP* ld);

struct Credentials {
  std::string bindDn;
  std::filesystem::path passwordFile;

  // The password file's content without its final line break; empty without a file.
  std::string Password() const;
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

  // A bind as dn with password on a connection of its own, closed at once: true when the
  // server takes them, false when it refuses them; other failures raise.
  bool CheckPassword(const std::string& dn, const std::string& password);

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
  std::pair<LdapHandle, bool> Take();
  void Give(LdapHandle h);
  LdapHandle Connect();
  LdapHandle Initialize();

  std::string url_;
  std::string host_;
  Credentials credentials_;
  std::mutex poolMutex_;
  std::vector<LdapHandle> idle_;
  std::mutex infoMutex_;
  std::shared_ptr<const ServerInfo> info_;
};

}  // namespace drossgate::platform::directory::ldap
