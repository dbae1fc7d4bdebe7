#include "directory/ldap_filter.h"

#include <cctype>

#include "text.h"

namespace drossgate::platform::directory {

namespace {

// Matches no entry (every entry has an objectClass); stands for a term the server could not
// read, which the file-backed directory would never match either.
constexpr const char* kNothing = "(!(objectClass=*))";

bool IsShortCategory(const Filter& f) {
  return text::EqualsNoCase(f.attribute, "objectCategory") &&
         f.value.find('=') == std::string::npos && f.value.find('*') == std::string::npos;
}

bool IsKeyChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-';
}

// Equality, presence or substrings: the dialect's "*" splits the value into pieces that are
// escaped one by one; runs of "*" count as one, as the dialect matches them.
std::string Assertion(const std::string& attribute, const std::string& value) {
  if (value.find('*') == std::string::npos)
    return "(" + attribute + "=" + EscapeLdapValue(value) + ")";
  std::string out = "(" + attribute + "=";
  bool lastStar = false;
  size_t start = 0;
  while (start <= value.size()) {
    size_t star = value.find('*', start);
    const std::string_view piece = std::string_view(value).substr(
        start, star == std::string::npos ? std::string::npos : star - start);
    if (!piece.empty()) {
      out += EscapeLdapValue(piece);
      lastStar = false;
    }
    if (star == std::string::npos) break;
    if (!lastStar) out += '*';
    lastStar = true;
    start = star + 1;
  }
  return out + ")";
}

std::string Term(const Filter& f, const CategoryResolver& resolve) {
  if (!IsAttributeDescription(f.attribute)) return kNothing;
  if (resolve && IsShortCategory(f)) {
    std::vector<std::string> dns = resolve(f.value);
    if (dns.empty()) return kNothing;
    if (dns.size() == 1) return "(" + f.attribute + "=" + EscapeLdapValue(dns.front()) + ")";
    std::string out = "(|";
    for (const std::string& dn : dns) out += "(" + f.attribute + "=" + EscapeLdapValue(dn) + ")";
    return out + ")";
  }
  return Assertion(f.attribute, f.value);
}

void CollectShortCategories(const Filter& f, std::vector<std::string>& out) {
  if (f.kind == Filter::Kind::kEquals) {
    if (!IsShortCategory(f)) return;
    for (const std::string& seen : out)
      if (text::EqualsNoCase(seen, f.value)) return;
    out.push_back(f.value);
    return;
  }
  for (const Filter& c : f.children) CollectShortCategories(c, out);
}

}  // namespace

std::string EscapeLdapValue(std::string_view value) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(value.size());
  for (char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c >= 0x7f || c == '*' || c == '(' || c == ')' || c == '\\') {
      out += '\\';
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else {
      out += ch;
    }
  }
  return out;
}

bool IsAttributeDescription(std::string_view name) {
  const size_t semicolon = name.find(';');
  const std::string_view type = name.substr(0, semicolon);
  if (type.empty()) return false;
  if (std::isdigit(static_cast<unsigned char>(type.front()))) {
    // A numeric OID: numbers separated by single dots.
    bool digitBefore = false;
    for (char c : type) {
      if (c == '.') {
        if (!digitBefore) return false;
        digitBefore = false;
      } else if (std::isdigit(static_cast<unsigned char>(c))) {
        digitBefore = true;
      } else {
        return false;
      }
    }
    if (!digitBefore) return false;
  } else {
    if (!std::isalpha(static_cast<unsigned char>(type.front()))) return false;
    for (char c : type)
      if (!IsKeyChar(c)) return false;
  }
  if (semicolon == std::string_view::npos) return true;
  for (const std::string& option : text::Split(name.substr(semicolon + 1), ';')) {
    if (option.empty()) return false;
    for (char c : option)
      if (!IsKeyChar(c)) return false;
  }
  return name.back() != ';';
}

std::string LdapFilter(const Filter& f, const CategoryResolver& resolve) {
  switch (f.kind) {
    case Filter::Kind::kEquals:
      return Term(f, resolve);
    case Filter::Kind::kNot:
      return "(!" + LdapFilter(f.children.front(), resolve) + ")";
    case Filter::Kind::kAnd:
    case Filter::Kind::kOr: {
      std::string out = f.kind == Filter::Kind::kAnd ? "(&" : "(|";
      for (const Filter& c : f.children) out += LdapFilter(c, resolve);
      return out + ")";
    }
  }
  return kNothing;
}

std::vector<std::string> ShortCategoryNames(const Filter& f) {
  std::vector<std::string> out;
  CollectShortCategories(f, out);
  return out;
}

std::string UpperRdnTypes(std::string_view dn) {
  std::string out(dn);
  bool inType = true;   // between the start of an RDN (or AVA) and its "="
  bool quoted = false;  // inside a "..." value, where "," and "+" are plain characters
  for (size_t i = 0; i < out.size(); ++i) {
    char& c = out[i];
    if (inType) {
      if (c == '=')
        inType = false;
      else
        c = text::UpperAscii(c);
    } else if (c == '\\') {
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && (c == ',' || c == '+' || c == ';')) {
      inType = true;
    }
  }
  return out;
}

}  // namespace drossgate::platform::directory
