#pragma once
// Distinguished names and directory paths as text: comparison form, parent, escaping, and the
// "LDAP://host/DN" path syntax. Pure functions; malformed input gives nullopt, never a throw.

#include <optional>
#include <string>
#include <string_view>

namespace drossgate::platform::directory {

// The comparison form of a DN: RDNs split at unescaped commas, blanks around "," and "="
// dropped, ASCII letters lower-cased. nullopt when the text is not a DN ("" is the root).
std::optional<std::string> NormalizeDn(std::string_view dn);
// The DN without its first RDN ("" for a single RDN).
std::string ParentDn(std::string_view dn);
// The value of the first RDN, unescaped ("John Smith" for "CN=John Smith,CN=Users,...").
std::string FirstRdnValue(std::string_view dn);
// A value escaped for use in an RDN (",", "+", "\"", "\\", "<", ">", ";", "=", a leading "#"
// or blank and a trailing blank).
std::string EscapeRdnValue(std::string_view value);
// "DC=corp,DC=example,DC=com" for "corp.example.com".
std::string DomainToDn(std::string_view domain);

// True when text matches pattern, where "*" stands for any run of characters; compared
// without regard to ASCII case.
bool WildcardMatch(std::string_view pattern, std::string_view text);

// A directory path: "LDAP://" or "GC://", then an optional host and a DN or "RootDSE".
struct DirectoryPath {
  enum class Scheme { kLdap, kGc };
  Scheme scheme = Scheme::kLdap;
  std::string host;  // without a ":port"; empty for a serverless path
  std::string dn;    // "\/" unescaped
  bool rootDse = false;

  std::string Prefix() const { return scheme == Scheme::kGc ? "GC://" : "LDAP://"; }
  // The path of an entry reached through this one: prefix, host and the DN, "/" escaped.
  std::string PathOf(std::string_view entryDn) const;
};
// nullopt when the text is not such a path; error says why.
std::optional<DirectoryPath> ParseDirectoryPath(std::string_view text,
                                                std::string* error = nullptr);

}  // namespace drossgate::platform::directory
