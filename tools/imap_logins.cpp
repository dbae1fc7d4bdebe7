#include "imap_logins.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <optional>
#include <thread>

#include "cli.h"
#include "directory/backend.h"
#include "directory/ldap_backend.h"
#include "error.h"
#include "init_layout.h"
#include "store/store.h"
#include "system/atomic_file.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::tools::imap {

namespace {

namespace dir = platform::directory;
namespace store = platform::store;
namespace errors = platform::errors;

// Guessing passwords costs a connection this long per try.
constexpr auto kFailureDelay = std::chrono::seconds(2);

// A login that cannot be checked now, with the reason for the log.
struct Unavailable {
  std::string why;
};

std::filesystem::path PasswordFile() {
  return platform::PlatformRoot() / kPasswordFile;
}

// The hash line of each mailbox, in file order.
std::vector<std::pair<std::string, std::string>> ParsePasswords(const std::string& content) {
  std::vector<std::pair<std::string, std::string>> out;
  size_t from = 0;
  while (from < content.size()) {
    size_t end = content.find('\n', from);
    if (end == std::string::npos) end = content.size();
    const std::string line = content.substr(from, end - from);
    from = end + 1;
    const size_t colon = line.rfind(':');  // a hash has none; an alias might
    if (colon != std::string::npos && colon > 0)
      out.emplace_back(line.substr(0, colon), line.substr(colon + 1));
  }
  return out;
}

std::string Crypt(const std::string& password, const std::string& setting) {
  auto data = std::make_unique<crypt_data>();
  const char* hash = crypt_r(password.c_str(), setting.c_str(), data.get());
  // A setting crypt cannot use gives null or a string starting with "*", never a match.
  return hash && hash[0] != '*' ? std::string(hash) : std::string();
}

std::optional<store::admin::MailboxInfo> UserMailbox(const std::string& aliasOrAddress) {
  auto mailbox = store::admin::FindMailbox(aliasOrAddress, false);
  if (mailbox && mailbox->isSystem) return std::nullopt;
  return mailbox;
}

// The mailbox whose password file line password matches; nullopt for wrong credentials.
std::optional<std::string> CheckPasswordFile(const std::string& user, const std::string& password) {
  const auto mailbox = UserMailbox(user);
  if (!mailbox) return std::nullopt;
  std::error_code ec;
  if (!std::filesystem::exists(PasswordFile(), ec) && !ec)
    return std::nullopt;  // nobody has a password yet
  if (const auto problem = platform::SecretFileProblem(PasswordFile()))
    throw Unavailable{PasswordFile().string() + " " + *problem};
  std::string content;
  if (!platform::ReadWholeFile(PasswordFile(), content))
    throw Unavailable{PasswordFile().string() + " cannot be read"};
  for (const auto& [alias, hash] : ParsePasswords(content)) {
    if (!text::EqualsNoCase(alias, mailbox->alias)) continue;
    const std::string computed = Crypt(password, hash);
    if (!computed.empty() && computed.size() == hash.size() &&
        CRYPTO_memcmp(computed.data(), hash.data(), hash.size()) == 0)
      return mailbox->alias;
    return std::nullopt;
  }
  return std::nullopt;
}

// The mailbox of the one directory entry the user names (mailbox alias, SMTP address or
// account name), when the server takes the password for that entry.
std::optional<std::string> CheckDirectory(const std::string& user, const std::string& password) {
  if (user.find('*') != std::string::npos) return std::nullopt;  // a wildcard in the query
  const std::string q = dir::QuoteQueryValue(user);
  auto rs =
      init::Query("SELECT distinguishedName, mailNickname, mail FROM '" + init::GlobalCatalog() +
                  "' WHERE mailNickname='" + q + "' OR sAMAccountName='" + q + "' OR mail='" + q +
                  "' OR proxyAddresses='smtp:" + q + "'");
  std::string dn, mailboxName;
  for (; !rs->IsEof(); rs->MoveNext()) {
    const std::string found = rs->Field("distinguishedName").Text();
    if (!dn.empty() && !text::EqualsNoCase(dn, found)) return std::nullopt;  // not one person
    dn = found;
    // The entry's own names, never what the user typed: an account name may be another
    // mailbox's alias.
    mailboxName = rs->Field("mailNickname").Text();
    if (mailboxName.empty()) mailboxName = rs->Field("mail").Text();
  }
  const auto mailbox = mailboxName.empty() ? std::nullopt : UserMailbox(mailboxName);
  if (dn.empty() || !mailbox) return std::nullopt;
  auto backend = dir::LdapBackendFor(platform::Machine().directory, platform::PlatformRoot());
  try {
    if (!backend->CheckPassword(dn, password)) return std::nullopt;
  } catch (const platform::PlatformError& e) {
    if (e.number() == errors::kLogonFailure) return std::nullopt;
    throw;
  }
  return mailbox->alias;
}

}  // namespace

void SetPassword(const std::string& mailbox, const std::string& password) {
  if (password.empty()) throw UsageError("a password must not be empty");
  if (password.find('\0') != std::string::npos || password.find('\n') != std::string::npos)
    throw UsageError("a password is one line of text");
  const auto found = UserMailbox(mailbox);
  if (!found) throw UsageError("there is no mailbox " + mailbox);
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (!crypt_gensalt_rn("$6$", 0, nullptr, 0, setting, sizeof setting))
    throw std::runtime_error(std::string("cannot make a salt: ") + std::strerror(errno));
  const std::string hash = Crypt(password, setting);
  if (hash.empty()) throw std::runtime_error("cannot hash the password");

  // One writer at a time, so that two changes at once both stay.
  platform::FileLock lock(platform::PlatformRoot() / "passwords.lock");
  std::string content, out;
  if (std::filesystem::exists(PasswordFile()) && !platform::ReadWholeFile(PasswordFile(), content))
    throw std::runtime_error(PasswordFile().string() + " cannot be read");
  bool replaced = false;
  for (const auto& [alias, old] : ParsePasswords(content)) {
    const bool same = text::EqualsNoCase(alias, found->alias);
    if (same && replaced) continue;
    out += alias + ":" + (same ? hash : old) + "\n";
    replaced |= same;
  }
  if (!replaced) out += found->alias + ":" + hash + "\n";
  if (const int error = platform::WriteFileAtomically(PasswordFile(), out); error != 0)
    throw std::runtime_error("cannot write " + PasswordFile().string() + ": " +
                             std::strerror(error));
}

LoginResult Logins::Check(const std::string& user, const std::string& password,
                          const std::string& peer) {
  LoginResult result;
  std::string why = "wrong credentials";
  try {
    std::optional<std::string> mailbox;
    // A password with a NUL would be cut short by crypt and the directory's client.
    if (!user.empty() && !password.empty() && password.find('\0') == std::string::npos)
      mailbox = dir::NamesLdapServer(platform::Machine().directory)
                    ? CheckDirectory(user, password)
                    : CheckPasswordFile(user, password);
    if (mailbox) {
      std::lock_guard lock(mutex_);
      int& held = held_[text::ToLower(*mailbox)];
      if (held < maxPerUser_) {
        ++held;
        result.outcome = LoginResult::Outcome::kOk;
        result.mailbox = *mailbox;
        return result;
      }
      result.outcome = LoginResult::Outcome::kTooManyConnections;
      why = "too many connections";
    }
  } catch (const Unavailable& e) {
    result.outcome = LoginResult::Outcome::kUnavailable;
    why = e.why;
  } catch (const std::exception& e) {  // the store or the directory (PlatformError)
    result.outcome = LoginResult::Outcome::kUnavailable;
    why = e.what();
  }
  std::cerr << "imap: login as \"" << Printable(user, true) << "\" from " << peer
            << " refused: " << why << std::endl;
  return result;
}

void Logins::Release(const std::string& mailbox) {
  std::lock_guard lock(mutex_);
  auto it = held_.find(text::ToLower(mailbox));
  if (it != held_.end() && --it->second <= 0) held_.erase(it);
}

LoginResult LoginBackend::Login(const std::string& user, const std::string& password) {
  LoginResult result = logins_.Check(user, password, peer_);
  if (result.outcome == LoginResult::Outcome::kWrongCredentials)
    std::this_thread::sleep_for(kFailureDelay);
  return result;
}

std::unique_ptr<platform::store::mail::MailStore> LoginBackend::Open(const std::string& mailbox) {
  return platform::store::mail::OpenMailStore(mailbox);
}

}  // namespace drossgate::tools::imap
