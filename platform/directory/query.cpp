#include "directory/query.h"

#include <array>
#include <cctype>
#include <cstdio>

#include "directory/dn.h"
#include "error.h"
#include "text.h"

namespace drossgate::platform::directory {

namespace {

// Parentheses and NOT nest by recursion; a bound keeps hostile texts from exhausting the stack.
constexpr int kMaxDepth = 100;

enum class Tok { kIdent, kString, kComma, kOpen, kClose, kEquals, kStar, kEnd };

struct Token {
  Tok kind = Tok::kEnd;
  std::string text;  // identifier as written, string unquoted
  size_t pos = 0;    // 1-based character position
};

[[noreturn]] void SyntaxError(size_t pos, const std::string& what) {
  Fail(errors::kBadQuery, "Query syntax error at character " + std::to_string(pos) + ": " + what);
}

std::string Printable(char c) {
  if (std::isprint(static_cast<unsigned char>(c))) return std::string("'") + c + "'";
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(c));
  return buf;
}

bool IsIdentChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == ';' ||
         c == '.';
}

std::vector<Token> Tokenize(std::string_view s) {
  std::vector<Token> out;
  size_t i = 0;
  while (i < s.size()) {
    char c = s[i];
    size_t pos = i + 1;
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++i;
    } else if (c == '\'') {
      std::string value;
      ++i;
      for (;;) {
        if (i >= s.size()) SyntaxError(pos, "a quoted value is not closed");
        if (s[i] == '\'') {
          if (i + 1 < s.size() && s[i + 1] == '\'') {
            value += '\'';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        value += s[i++];
      }
      out.push_back({Tok::kString, std::move(value), pos});
    } else if (IsIdentChar(c)) {
      size_t start = i;
      while (i < s.size() && IsIdentChar(s[i])) ++i;
      out.push_back({Tok::kIdent, std::string(s.substr(start, i - start)), pos});
    } else {
      Tok kind;
      switch (c) {
        case ',':
          kind = Tok::kComma;
          break;
        case '(':
          kind = Tok::kOpen;
          break;
        case ')':
          kind = Tok::kClose;
          break;
        case '=':
          kind = Tok::kEquals;
          break;
        case '*':
          kind = Tok::kStar;
          break;
        case '<':
        case '>':
        case '!':
          SyntaxError(pos,
                      "unexpected character " + Printable(c) + " (conditions compare with = only)");
        case '"':
          SyntaxError(pos, "unexpected character " + Printable(c) +
                               " (values are written in single quotes)");
        default:
          SyntaxError(pos, "unexpected character " + Printable(c));
      }
      out.push_back({kind, std::string(1, c), pos});
      ++i;
    }
  }
  out.push_back({Tok::kEnd, "", s.size() + 1});
  return out;
}

constexpr std::array<const char*, 10> kKeywords = {"SELECT", "FROM",  "WHERE", "AND", "OR",
                                                   "NOT",    "ORDER", "BY",    "ASC", "DESC"};

bool IsKeyword(const Token& t) {
  if (t.kind != Tok::kIdent) return false;
  for (const char* k : kKeywords)
    if (text::EqualsNoCase(t.text, k)) return true;
  return false;
}

class Parser {
 public:
  explicit Parser(std::string_view s) : tokens_(Tokenize(s)) {}

  Query Parse() {
    Query q;
    ExpectKeyword("SELECT");
    if (Peek().kind == Tok::kStar) {
      Next();
      q.allAttributes = true;
    } else {
      q.attributes.push_back(Attribute("an attribute name or *"));
      while (Peek().kind == Tok::kComma) {
        Next();
        q.attributes.push_back(Attribute("an attribute name"));
      }
    }
    ExpectKeyword("FROM");
    const Token& from = Peek();
    if (from.kind != Tok::kString) Expected("the quoted search base ('GC://host')");
    Next();
    std::string why;
    auto path = ParseDirectoryPath(from.text, &why);
    if (!path) SyntaxError(from.pos, "the search base '" + from.text + "' is not usable: " + why);
    if (path->rootDse) SyntaxError(from.pos, "RootDSE cannot be searched");
    q.source = from.text;
    if (AtKeyword("WHERE")) {
      Next();
      q.where = Or(0);
    }
    if (AtKeyword("ORDER")) {
      Next();
      ExpectKeyword("BY");
      q.orderBy.push_back(Sort());
      while (Peek().kind == Tok::kComma) {
        Next();
        q.orderBy.push_back(Sort());
      }
    }
    if (Peek().kind != Tok::kEnd) {
      if (!q.orderBy.empty()) Expected("ASC, DESC, a comma or the end of the query");
      if (q.where) Expected("AND, OR, ORDER BY or the end of the query");
      Expected("WHERE, ORDER BY or the end of the query");
    }
    return q;
  }

 private:
  const Token& Peek() const { return tokens_[index_]; }
  const Token& Next() {
    const Token& t = tokens_[index_];
    if (t.kind != Tok::kEnd) ++index_;
    return t;
  }
  bool AtKeyword(const char* k) const {
    return Peek().kind == Tok::kIdent && text::EqualsNoCase(Peek().text, k);
  }

  [[noreturn]] void Expected(const std::string& what) const {
    const Token& t = Peek();
    std::string found;
    switch (t.kind) {
      case Tok::kEnd:
        found = "the end of the query";
        break;
      case Tok::kString:
        found = "'" + (t.text.size() > 40 ? t.text.substr(0, 40) + "..." : t.text) + "'";
        break;
      default:
        found = "\"" + (t.text.size() > 40 ? t.text.substr(0, 40) + "..." : t.text) + "\"";
    }
    SyntaxError(t.pos, "expected " + what + ", found " + found);
  }

  void ExpectKeyword(const char* k) {
    if (!AtKeyword(k)) Expected(k);
    Next();
  }

  std::string Attribute(const char* what) {
    if (Peek().kind != Tok::kIdent || IsKeyword(Peek())) Expected(what);
    return Next().text;
  }

  SortKey Sort() {
    SortKey key{Attribute("an attribute name to sort by"), false};
    if (AtKeyword("ASC")) {
      Next();
    } else if (AtKeyword("DESC")) {
      Next();
      key.descending = true;
    }
    return key;
  }

  void Enter(int depth) const {
    if (depth > kMaxDepth) SyntaxError(Peek().pos, "conditions are nested too deeply");
  }

  Filter Or(int depth) {
    Enter(depth);
    Filter first = And(depth);
    if (!AtKeyword("OR")) return first;
    Filter f;
    f.kind = Filter::Kind::kOr;
    f.children.push_back(std::move(first));
    while (AtKeyword("OR")) {
      Next();
      f.children.push_back(And(depth));
    }
    return f;
  }

  Filter And(int depth) {
    Filter first = Not(depth);
    if (!AtKeyword("AND")) return first;
    Filter f;
    f.kind = Filter::Kind::kAnd;
    f.children.push_back(std::move(first));
    while (AtKeyword("AND")) {
      Next();
      f.children.push_back(Not(depth));
    }
    return f;
  }

  Filter Not(int depth) {
    if (AtKeyword("NOT")) {
      Enter(depth + 1);
      Next();
      Filter f;
      f.kind = Filter::Kind::kNot;
      f.children.push_back(Not(depth + 1));
      return f;
    }
    return Primary(depth);
  }

  Filter Primary(int depth) {
    if (Peek().kind == Tok::kOpen) {
      Next();
      Filter inner = Or(depth + 1);
      if (Peek().kind != Tok::kClose) Expected("AND, OR or )");
      Next();
      return inner;
    }
    Filter f;
    f.attribute = Attribute("a condition (attribute='value'), NOT or (");
    if (Peek().kind != Tok::kEquals) Expected("=");
    Next();
    if (Peek().kind != Tok::kString) Expected("a value in single quotes");
    f.value = Next().text;
    return f;
  }

  std::vector<Token> tokens_;
  size_t index_ = 0;
};

std::string EscapeFilterValue(std::string_view v) {
  std::string out;
  for (char c : v) {
    switch (c) {
      case '(':
        out += "\\28";
        break;
      case ')':
        out += "\\29";
        break;
      case '\\':
        out += "\\5c";
        break;
      case '\0':
        out += "\\00";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

// Classes whose default category is another class's, as the real schema has them.
constexpr std::array<std::pair<const char*, const char*>, 4> kCategoryAliases = {{
    {"user", "person"},
    {"contact", "person"},
    {"organizationalPerson", "person"},
    {"inetOrgPerson", "person"},
}};

std::string CategoryKey(std::string_view name) {
  std::string key = text::ToLower(text::ReplaceAll(name, "-", ""));
  for (const auto& [cls, category] : kCategoryAliases)
    if (key == text::ToLower(cls)) return category;
  return key;
}

namespace {

bool IsDnAttribute(std::string_view a) {
  for (const char* n : {"objectCategory", "distinguishedName", "homeMDB", "homeMTA", "member",
                        "memberOf", "manager", "defaultObjectCategory"})
    if (text::EqualsNoCase(a, n)) return true;
  return false;
}

bool ValueEquals(std::string_view attribute, std::string_view pattern, std::string_view value) {
  if (IsDnAttribute(attribute) && pattern.find('=') != std::string_view::npos) {
    auto a = NormalizeDn(pattern), b = NormalizeDn(value);
    if (a && b) return *a == *b;
  }
  return text::EqualsNoCase(pattern, value);
}

bool MatchesTerm(const Filter& f, const Entry& e) {
  std::vector<std::string> values = AttributeValues(e, f.attribute);
  if (f.value == "*") return !values.empty();
  const bool wildcard = f.value.find('*') != std::string::npos;
  const bool shortCategory = text::EqualsNoCase(f.attribute, "objectCategory") &&
                             f.value.find('=') == std::string::npos && !wildcard;
  const std::string wanted = shortCategory ? CategoryKey(f.value) : std::string();
  for (const std::string& v : values) {
    if (shortCategory) {
      if (CategoryKey(FirstRdnValue(v)) == wanted) return true;
    } else if (wildcard) {
      if (WildcardMatch(f.value, v)) return true;
    } else if (ValueEquals(f.attribute, f.value, v)) {
      return true;
    }
  }
  return false;
}

}  // namespace

Query ParseQuery(std::string_view text) {
  return Parser(text).Parse();
}

std::string FormatFilter(const Filter& f) {
  switch (f.kind) {
    case Filter::Kind::kEquals:
      return "(" + f.attribute + "=" + EscapeFilterValue(f.value) + ")";
    case Filter::Kind::kNot:
      return "(!" + FormatFilter(f.children.front()) + ")";
    case Filter::Kind::kAnd:
    case Filter::Kind::kOr: {
      std::string out = f.kind == Filter::Kind::kAnd ? "(&" : "(|";
      for (const Filter& c : f.children) out += FormatFilter(c);
      return out + ")";
    }
  }
  return {};
}

std::vector<std::string> AttributeValues(const Entry& entry, std::string_view attribute) {
  if (const directory::Attribute* a = entry.Find(attribute)) return a->values;
  if (text::EqualsNoCase(attribute, "distinguishedName")) return {entry.dn};
  if (text::EqualsNoCase(attribute, "name")) {
    std::string rdn = FirstRdnValue(entry.dn);
    if (!rdn.empty()) return {rdn};
  }
  return {};
}

bool IsIntegerAttribute(std::string_view a) {
  for (const char* n : {"userAccountControl", "sAMAccountType", "groupType", "instanceType",
                        "primaryGroupID", "systemFlags", "supportedLDAPVersion"})
    if (text::EqualsNoCase(a, n)) return true;
  return false;
}

bool IsMultiValuedAttribute(std::string_view a) {
  for (const char* n :
       {"objectClass", "member", "memberOf", "proxyAddresses", "namingContexts", "networkAddress",
        "supportedLDAPVersion", "otherMailbox", "showInAddressBook", "servicePrincipalName"})
    if (text::EqualsNoCase(a, n)) return true;
  return false;
}

bool Matches(const Filter& f, const Entry& e) {
  switch (f.kind) {
    case Filter::Kind::kEquals:
      return MatchesTerm(f, e);
    case Filter::Kind::kNot:
      return !Matches(f.children.front(), e);
    case Filter::Kind::kAnd:
      for (const Filter& c : f.children)
        if (!Matches(c, e)) return false;
      return true;
    case Filter::Kind::kOr:
      for (const Filter& c : f.children)
        if (Matches(c, e)) return true;
      return false;
  }
  return false;
}

}  // namespace drossgate::platform::directory
