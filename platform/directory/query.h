#pragma once
// The SQL dialect of directory queries: a recursive-descent parser into a small syntax tree,
// its LDAP filter form (RFC 4515) and the evaluation of a filter against an entry. A text the
// parser does not understand raises PlatformError(errors::kBadQuery) saying where and why.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "directory/directory.h"

namespace drossgate::platform::directory {

struct Filter {
  enum class Kind { kEquals, kAnd, kOr, kNot };
  Kind kind = Kind::kEquals;
  std::string attribute;  // kEquals
  std::string value;      // kEquals: unquoted; "*" is a wildcard, "*" alone presence
  std::vector<Filter> children;
};

struct SortKey {
  std::string attribute;
  bool descending = false;
};

struct Query {
  std::vector<std::string> attributes;  // as written
  bool allAttributes = false;           // SELECT *
  std::string source;                   // the FROM text, unquoted
  std::optional<Filter> where;
  std::vector<SortKey> orderBy;
};

Query ParseQuery(std::string_view text);
// "(&(objectcategory=person)(mail=*))"; special characters of values escaped as \xx.
std::string FormatFilter(const Filter& filter);

// The values an entry shows for an attribute: the stored ones, else the computed
// "distinguishedName" (the DN) and "name" (the first RDN's value).
std::vector<std::string> AttributeValues(const Entry& entry, std::string_view attribute);
// Attributes the directory keeps as integers or as several values.
bool IsIntegerAttribute(std::string_view attribute);
bool IsMultiValuedAttribute(std::string_view attribute);

// Names and values compare without regard to case; a multi-valued attribute matches when any
// value does; an objectCategory value without "=" is a class's short name.
bool Matches(const Filter& filter, const Entry& entry);

// The comparison form of a category name, for short names and the first RDN value of a
// category DN alike: hyphens dropped, lower case, a class named by its default category
// ("user" is "person").
std::string CategoryKey(std::string_view name);

}  // namespace drossgate::platform::directory
