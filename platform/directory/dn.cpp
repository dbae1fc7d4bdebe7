#include "directory/dn.h"

#include <cctype>

#include "text.h"

namespace drossgate::platform::directory {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsTypeChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == ';';
}

// The RDNs as raw text between unescaped commas; nullopt for a dangling escape.
std::optional<std::vector<std::string_view>> RawRdns(std::string_view dn) {
  std::vector<std::string_view> out;
  if (text::TrimView(dn).empty()) return out;
  size_t start = 0;
  for (size_t i = 0; i < dn.size(); ++i) {
    if (dn[i] == '\\') {
      if (i + 1 >= dn.size()) return std::nullopt;
      ++i;
    } else if (dn[i] == ',') {
      out.push_back(dn.substr(start, i - start));
      start = i + 1;
    }
  }
  out.push_back(dn.substr(start));
  return out;
}

struct Rdn {
  std::string type;   // trimmed, as written
  std::string value;  // unescaped
};

std::optional<Rdn> ParseRdn(std::string_view raw) {
  size_t eq = std::string_view::npos;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\\') {
      ++i;
    } else if (raw[i] == '=') {
      eq = i;
      break;
    }
  }
  if (eq == std::string_view::npos) return std::nullopt;
  Rdn rdn;
  rdn.type = text::Trim(raw.substr(0, eq));
  if (rdn.type.empty()) return std::nullopt;
  for (char c : rdn.type)
    if (!IsTypeChar(c)) return std::nullopt;
  std::string_view v = raw.substr(eq + 1);
  size_t lead = 0;
  while (lead < v.size() && v[lead] == ' ') ++lead;
  // Unescaped trailing blanks are not part of the value; escaped ones are.
  size_t keep = 0;  // length of the value up to its last significant character
  std::string value;
  for (size_t i = lead; i < v.size(); ++i) {
    if (v[i] == '\\') {
      if (i + 1 >= v.size()) return std::nullopt;
      int hi = HexDigit(v[i + 1]);
      int lo = i + 2 < v.size() ? HexDigit(v[i + 2]) : -1;
      if (hi >= 0 && lo >= 0) {
        value.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
      } else {
        value.push_back(v[i + 1]);
        ++i;
      }
      keep = value.size();
    } else {
      value.push_back(v[i]);
      if (v[i] != ' ') keep = value.size();
    }
  }
  value.resize(keep);
  rdn.value = std::move(value);
  return rdn;
}

}  // namespace

std::optional<std::string> NormalizeDn(std::string_view dn) {
  auto raws = RawRdns(dn);
  if (!raws) return std::nullopt;
  std::string out;
  for (std::string_view raw : *raws) {
    auto rdn = ParseRdn(raw);
    if (!rdn) return std::nullopt;
    if (!out.empty()) out += ',';
    out += text::ToLower(rdn->type);
    out += '=';
    out += text::ToLower(EscapeRdnValue(rdn->value));
  }
  return out;
}

std::string ParentDn(std::string_view dn) {
  for (size_t i = 0; i < dn.size(); ++i) {
    if (dn[i] == '\\') {
      ++i;
    } else if (dn[i] == ',') {
      return text::Trim(dn.substr(i + 1));
    }
  }
  return {};
}

std::string FirstRdnValue(std::string_view dn) {
  auto raws = RawRdns(dn);
  if (!raws || raws->empty()) return {};
  auto rdn = ParseRdn(raws->front());
  return rdn ? rdn->value : std::string();
}

std::string EscapeRdnValue(std::string_view value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    bool special = c == ',' || c == '+' || c == '"' || c == '\\' || c == '<' || c == '>' ||
                   c == ';' || c == '=' || (i == 0 && (c == '#' || c == ' ')) ||
                   (i + 1 == value.size() && c == ' ');
    if (c == '\0' || c == '\n' || c == '\r') {
      static const char kHex[] = "0123456789ABCDEF";
      out += '\\';
      out += kHex[(static_cast<unsigned char>(c) >> 4) & 15];
      out += kHex[static_cast<unsigned char>(c) & 15];
      continue;
    }
    if (special) out += '\\';
    out += c;
  }
  return out;
}

std::string DomainToDn(std::string_view domain) {
  std::string out;
  for (const std::string& label : text::Split(domain, '.')) {
    if (!out.empty()) out += ',';
    out += "DC=" + EscapeRdnValue(label);
  }
  return out;
}

bool WildcardMatch(std::string_view pattern, std::string_view s) {
  size_t p = 0, t = 0, star = std::string_view::npos, mark = 0;
  while (t < s.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = t;
    } else if (p < pattern.size() && text::UpperAscii(pattern[p]) == text::UpperAscii(s[t])) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::string DirectoryPath::PathOf(std::string_view entryDn) const {
  std::string out = Prefix();
  if (!host.empty()) out += host + "/";
  out += text::ReplaceAll(entryDn, "/", "\\/");
  return out;
}

std::optional<DirectoryPath> ParseDirectoryPath(std::string_view path, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<DirectoryPath> {
    if (error) *error = why;
    return std::nullopt;
  };
  DirectoryPath out;
  std::string_view rest;
  if (path.substr(0, 7) == "LDAP://") {
    rest = path.substr(7);
  } else if (path.substr(0, 5) == "GC://") {
    out.scheme = DirectoryPath::Scheme::kGc;
    rest = path.substr(5);
  } else {
    return fail("a directory path begins with LDAP:// or GC://");
  }
  std::string_view dnText;
  size_t slash = rest.find('/');
  std::string_view first = rest.substr(0, slash);
  if (first.find('=') != std::string_view::npos) {
    dnText = rest;  // serverless: the whole rest is the DN
  } else if (slash == std::string_view::npos && text::EqualsNoCase(first, "RootDSE")) {
    out.rootDse = true;
  } else {
    std::string_view host = first;
    if (size_t colon = host.find(':'); colon != std::string_view::npos) {
      std::string_view port = host.substr(colon + 1);
      if (port.empty() || port.size() > 5) return fail("bad port in directory path");
      for (char c : port)
        if (!std::isdigit(static_cast<unsigned char>(c))) return fail("bad port in directory path");
      host = host.substr(0, colon);
    }
    for (char c : host) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_')
        return fail("bad host name in directory path");
    }
    if (host.empty() && slash != std::string_view::npos)
      return fail("empty host name in directory path");
    out.host = std::string(host);
    if (slash != std::string_view::npos) {
      dnText = rest.substr(slash + 1);
      if (text::EqualsNoCase(dnText, "RootDSE")) {
        out.rootDse = true;
        dnText = {};
      }
    }
  }
  out.dn = text::ReplaceAll(dnText, "\\/", "/");
  if (!NormalizeDn(out.dn)) return fail("not a distinguished name: " + out.dn);
  return out;
}

}  // namespace drossgate::platform::directory
