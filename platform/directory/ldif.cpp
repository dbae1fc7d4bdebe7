// LDIF content records (RFC 2849): the reader gives each problem with its line number, the
// writer base64-encodes every value that is not safe as plain text.
#include <cctype>
#include <map>

#include "directory/directory.h"
#include "directory/dn.h"
#include "error.h"
#include "text.h"

namespace drossgate::platform::directory::admin {

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string EncodeBase64(std::string_view in) {
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    uint32_t n =
        (uint32_t(uint8_t(in[i])) << 16) | (uint32_t(uint8_t(in[i + 1])) << 8) | uint8_t(in[i + 2]);
    out += kBase64[(n >> 18) & 63];
    out += kBase64[(n >> 12) & 63];
    out += kBase64[(n >> 6) & 63];
    out += kBase64[n & 63];
  }
  if (i + 1 == in.size()) {
    uint32_t n = uint32_t(uint8_t(in[i])) << 16;
    out += kBase64[(n >> 18) & 63];
    out += kBase64[(n >> 12) & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    uint32_t n = (uint32_t(uint8_t(in[i])) << 16) | (uint32_t(uint8_t(in[i + 1])) << 8);
    out += kBase64[(n >> 18) & 63];
    out += kBase64[(n >> 12) & 63];
    out += kBase64[(n >> 6) & 63];
    out += '=';
  }
  return out;
}

int Base64Digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::optional<std::string> DecodeBase64(std::string_view in) {
  if (in.size() % 4 != 0) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < in.size(); i += 4) {
    const bool last = i + 4 == in.size();
    int d[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      char c = in[i + k];
      if (c == '=' && last && k >= 2) {
        d[k] = 0;
        ++pad;
        continue;
      }
      if (pad > 0) return std::nullopt;  // data after padding
      d[k] = Base64Digit(c);
      if (d[k] < 0) return std::nullopt;
    }
    uint32_t n =
        (uint32_t(d[0]) << 18) | (uint32_t(d[1]) << 12) | (uint32_t(d[2]) << 6) | uint32_t(d[3]);
    out += char((n >> 16) & 255);
    if (pad < 2) out += char((n >> 8) & 255);
    if (pad < 1) out += char(n & 255);
  }
  return out;
}

bool ValidAttributeDescription(std::string_view name) {
  if (name.empty()) return false;
  std::string_view type = name.substr(0, name.find(';'));
  if (type.empty()) return false;
  if (std::isdigit(static_cast<unsigned char>(type[0]))) {
    // An OID: digits and dots, no empty arc.
    if (type.back() == '.') return false;
    for (size_t i = 0; i < type.size(); ++i) {
      char c = type[i];
      if (c == '.' ? (i == 0 || type[i - 1] == '.') : !std::isdigit(static_cast<unsigned char>(c)))
        return false;
    }
  } else {
    if (!std::isalpha(static_cast<unsigned char>(type[0]))) return false;
    for (char c : type)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
  }
  if (type.size() == name.size()) return true;
  for (const std::string& option : text::Split(name.substr(type.size() + 1), ';')) {
    if (option.empty()) return false;
    for (char c : option)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
  }
  return name.back() != ';';
}

bool SafeText(std::string_view v) {
  if (v.empty()) return true;
  if (v.front() == ' ' || v.front() == ':' || v.front() == '<' || v.back() == ' ') return false;
  for (char c : v) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u == 0 || u == '\n' || u == '\r' || u > 127) return false;
  }
  return true;
}

struct LogicalLine {
  std::string text;
  size_t number = 0;  // of its first physical line
};

class Reader {
 public:
  Reader(std::string_view text, std::string_view source) : text_(text), source_(source) {}

  std::vector<Entry> Read() {
    std::vector<std::vector<LogicalLine>> records = Records();
    std::vector<Entry> entries;
    std::map<std::string, size_t> seen;  // comparison form of a DN -> its line
    bool first = true;
    for (std::vector<LogicalLine>& record : records) {
      size_t start = 0;
      if (first && !record.empty() && text::StartsWithNoCase(record[0].text, "version:")) {
        Field f = Split(record[0]);
        if (!text::EqualsNoCase(f.name, "version") || f.value != "1")
          Error(record[0].number, "unsupported LDIF version \"" + f.value + "\" (only 1 is known)");
        start = 1;
      }
      first = false;
      if (start == record.size()) continue;
      Entry e = ReadEntry(record, start);
      auto key = NormalizeDn(e.dn);
      auto [it, added] = seen.emplace(*key, record[start].number);
      if (!added)
        Error(record[start].number, "the entry \"" + e.dn + "\" is already defined at line " +
                                        std::to_string(it->second));
      entries.push_back(std::move(e));
    }
    return entries;
  }

 private:
  struct Field {
    std::string name;
    std::string value;
  };

  [[noreturn]] void Error(size_t line, const std::string& what) const {
    Fail(errors::kCorrupt, std::string(source_) + ", line " + std::to_string(line) + ": " + what);
  }

  // Physical lines unfolded into logical ones, comments dropped, grouped at blank lines.
  std::vector<std::vector<LogicalLine>> Records() {
    std::vector<std::vector<LogicalLine>> records(1);
    bool continuable = false;  // the previous physical line can take a continuation
    bool inComment = false;
    size_t number = 0;
    size_t pos = 0;
    while (pos < text_.size()) {
      size_t end = text_.find('\n', pos);
      if (end == std::string_view::npos) end = text_.size();
      std::string_view line = text_.substr(pos, end - pos);
      pos = end + 1;
      ++number;
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (line.find('\0') != std::string_view::npos) Error(number, "NUL character in the text");
      if (line.empty()) {
        if (!records.back().empty()) records.emplace_back();
        continuable = false;
        inComment = false;
        continue;
      }
      if (line.front() == ' ') {
        if (!continuable)
          Error(number, "a continuation line (beginning with a blank) follows no line");
        if (!inComment) records.back().back().text.append(line.substr(1));
        continue;
      }
      continuable = true;
      inComment = line.front() == '#';
      if (!inComment) records.back().push_back({std::string(line), number});
    }
    if (records.back().empty()) records.pop_back();
    return records;
  }

  Field Split(const LogicalLine& line) const {
    size_t colon = line.text.find(':');
    if (colon == std::string::npos) Error(line.number, "expected \"attribute: value\"");
    Field f;
    f.name = line.text.substr(0, colon);
    if (!ValidAttributeDescription(f.name))
      Error(line.number, "\"" + f.name + "\" is not an attribute name");
    std::string_view rest = std::string_view(line.text).substr(colon + 1);
    if (!rest.empty() && rest.front() == ':') {
      std::string b64 = text::Trim(rest.substr(1));
      auto decoded = DecodeBase64(b64);
      if (!decoded) Error(line.number, "the base64 value of \"" + f.name + "\" is malformed");
      f.value = std::move(*decoded);
    } else if (!rest.empty() && rest.front() == '<') {
      Error(line.number, "values read from URLs (\"" + f.name + ":<\") are not supported");
    } else {
      size_t lead = 0;
      while (lead < rest.size() && rest[lead] == ' ') ++lead;
      f.value = std::string(rest.substr(lead));
    }
    return f;
  }

  Entry ReadEntry(const std::vector<LogicalLine>& record, size_t start) const {
    Field dn = Split(record[start]);
    if (!text::EqualsNoCase(dn.name, "dn"))
      Error(record[start].number, "an entry must begin with \"dn:\"");
    if (!NormalizeDn(dn.value) || dn.value.empty())
      Error(record[start].number, "\"" + dn.value + "\" is not a distinguished name");
    Entry e;
    e.dn = dn.value;
    for (size_t i = start + 1; i < record.size(); ++i) {
      Field f = Split(record[i]);
      if (text::EqualsNoCase(f.name, "dn"))
        Error(record[i].number,
              "a second \"dn:\" in one entry (entries are separated by a blank line)");
      if (text::EqualsNoCase(f.name, "changetype")) {
        if (i != start + 1 || !text::EqualsNoCase(text::Trim(f.value), "add"))
          Error(record[i].number,
                "only entries to add are supported (changetype: " + f.value + ")");
        continue;
      }
      if (text::EqualsNoCase(f.name, "control"))
        Error(record[i].number, "controls are not supported");
      // The directory keeps no empty values; "attr:" with nothing means no value.
      if (f.value.empty()) continue;
      e.Add(f.name, std::move(f.value));
    }
    if (e.attributes.empty())
      Error(record[start].number, "the entry \"" + e.dn + "\" has no attributes");
    return e;
  }

  std::string_view text_;
  std::string_view source_;
};

void WriteLine(std::string& out, std::string_view name, std::string_view value) {
  out += name;
  if (SafeText(value)) {
    out += ": ";
    out += value;
  } else {
    out += ":: ";
    out += EncodeBase64(value);
  }
  out += '\n';
}

}  // namespace

std::vector<Entry> ParseLdif(std::string_view text, std::string_view sourceName) {
  return Reader(text, sourceName).Read();
}

std::string FormatLdif(const std::vector<Entry>& entries) {
  std::string out;
  for (const Entry& e : entries) {
    if (!out.empty()) out += '\n';
    WriteLine(out, "dn", e.dn);
    for (const Attribute& a : e.attributes)
      for (const std::string& v : a.values) WriteLine(out, a.name, v);
  }
  return out;
}

}  // namespace drossgate::platform::directory::admin
