#pragma once
// The query dialect's conditions as an LDAP search filter (RFC 4515), and names read from a
// server spelled as the directory's callers expect them. Pure text functions that never throw:
// a value stays a value whatever it holds, since every character with a meaning in a filter is
// escaped; only the dialect's "*" remains a wildcard.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "directory/query.h"

namespace drossgate::platform::directory {

// The category DNs a short objectCategory name (a value without "=") stands for. Called once
// per such term; an empty answer makes the term match nothing.
using CategoryResolver = std::function<std::vector<std::string>(const std::string& shortName)>;

// The filter for f. Without a resolver, short category names go to the server as written
// (a server that resolves them itself).
std::string LdapFilter(const Filter& f, const CategoryResolver& resolve = nullptr);

// An assertion value: "*", "(", ")", "\", NUL, control characters and every byte outside
// printable ASCII as \xx, so that the server reads back exactly the original bytes.
std::string EscapeLdapValue(std::string_view value);

// True for a name the server can take as an attribute description: a name of letters, digits
// and hyphens that starts with a letter, or a dotted number, either followed by ";option"s.
bool IsAttributeDescription(std::string_view name);

// The short objectCategory names f uses, each once (first spelling kept, case ignored).
std::vector<std::string> ShortCategoryNames(const Filter& f);

// dn with each RDN's attribute type in capitals and nothing else changed: servers may answer
// "cn=Ada,dc=example,dc=com" where callers parse "CN=Ada,DC=example,DC=com".
std::string UpperRdnTypes(std::string_view dn);

}  // namespace drossgate::platform::directory
