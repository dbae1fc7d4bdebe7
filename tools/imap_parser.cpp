#include "imap_parser.h"

#include <glib.h>

#include <algorithm>
#include <memory>

#include "text.h"

namespace drossgate::tools::imap {

namespace {

bool AtomChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u <= 0x1f || u >= 0x7f) return false;
  return std::string_view("(){ %*\"\\]").find(c) == std::string_view::npos;
}

bool Digit(char c) {
  return c >= '0' && c <= '9';
}

struct GFree {
  void operator()(void* p) const { g_free(p); }
};

}  // namespace

bool InSet(const SequenceSet& set, uint32_t n, uint32_t largest) {
  for (const SeqRange& r : set) {
    const uint32_t a = r.first ? r.first : largest;
    const uint32_t b = r.last ? r.last : largest;
    if (n >= std::min(a, b) && n <= std::max(a, b)) return true;
  }
  return false;
}

uint32_t LargestNumber(const SequenceSet& set) {
  uint32_t largest = 0;
  for (const SeqRange& r : set) largest = std::max({largest, r.first, r.last});
  return largest;
}

bool Reader::AtEnd() const {
  const std::string_view rest = text_.substr(pos_);
  return rest.empty() || rest == "\r\n" || rest == "\n";
}

bool Reader::Take(char c) {
  if (!Peek(c)) return false;
  ++pos_;
  return true;
}

void Reader::Expect(char c) {
  if (!Take(c)) {
    if (c == ' ') throw SyntaxError("Missing space");
    throw SyntaxError(std::string("Expected '") + c + "'");
  }
}

void Reader::End() {
  if (!AtEnd()) throw SyntaxError("Unexpected text at the end of the command");
}

std::string Reader::Tag() {
  const size_t start = pos_;
  while (pos_ < text_.size() && text_[pos_] != '+' && (AtomChar(text_[pos_]) || text_[pos_] == ']'))
    ++pos_;
  if (pos_ == start) throw SyntaxError("Missing tag");
  return std::string(text_.substr(start, pos_ - start));
}

std::string Reader::Atom() {
  const size_t start = pos_;
  while (pos_ < text_.size() && AtomChar(text_[pos_])) ++pos_;
  if (pos_ == start) throw SyntaxError("Expected an atom");
  return std::string(text_.substr(start, pos_ - start));
}

std::string Reader::String() {
  if (Take('"')) {
    std::string out;
    while (pos_ < text_.size()) {
      char c = text_[pos_++];
      if (c == '"') return out;
      if (c == '\r' || c == '\n') break;
      if (c == '\\') {
        if (pos_ >= text_.size() || (text_[pos_] != '"' && text_[pos_] != '\\'))
          throw SyntaxError("Bad escape in a quoted string");
        c = text_[pos_++];
      }
      out += c;
    }
    throw SyntaxError("Unterminated quoted string");
  }
  if (Take('{')) {
    const uint64_t size = Number0();
    Take('+');
    Expect('}');
    if (!Take('\r') && !Peek('\n')) throw SyntaxError("Bad literal");
    Expect('\n');
    if (size > text_.size() - pos_) throw SyntaxError("Literal shorter than announced");
    std::string out(text_.substr(pos_, size));
    pos_ += size;
    return out;
  }
  throw SyntaxError("Expected a string");
}

std::string Reader::AString() {
  if (Peek('"') || Peek('{')) return String();
  const size_t start = pos_;
  while (pos_ < text_.size() && (AtomChar(text_[pos_]) || text_[pos_] == ']')) ++pos_;
  if (pos_ == start) throw SyntaxError("Expected a string or an atom");
  return std::string(text_.substr(start, pos_ - start));
}

std::optional<std::string> Reader::NString() {
  if (Peek('"') || Peek('{')) return String();
  const std::string atom = Atom();
  if (!text::EqualsNoCase(atom, "NIL")) throw SyntaxError("Expected a string or NIL");
  return std::nullopt;
}

std::string Reader::ListMailbox() {
  if (Peek('"') || Peek('{')) return String();
  const size_t start = pos_;
  while (pos_ < text_.size() &&
         (AtomChar(text_[pos_]) ||
          std::string_view("%*]").find(text_[pos_]) != std::string_view::npos))
    ++pos_;
  if (pos_ == start) throw SyntaxError("Expected a mailbox pattern");
  return std::string(text_.substr(start, pos_ - start));
}

uint32_t Reader::Number0() {
  const size_t start = pos_;
  uint64_t value = 0;
  while (pos_ < text_.size() && Digit(text_[pos_])) {
    value = value * 10 + static_cast<uint64_t>(text_[pos_++] - '0');
    if (value > UINT32_MAX) throw SyntaxError("Number too large");
  }
  if (pos_ == start) throw SyntaxError("Expected a number");
  return static_cast<uint32_t>(value);
}

uint32_t Reader::Number() {
  const uint32_t n = Number0();
  if (n == 0) throw SyntaxError("Zero is not allowed here");
  return n;
}

SequenceSet Reader::Sequence() {
  SequenceSet set;
  auto one = [this]() -> uint32_t { return Take('*') ? 0 : Number(); };
  do {
    SeqRange r;
    r.first = r.last = one();
    if (Take(':')) r.last = one();
    set.push_back(r);
  } while (Take(','));
  return set;
}

std::string Reader::Until(std::string_view stop) {
  const size_t start = pos_;
  while (pos_ < text_.size() && stop.find(text_[pos_]) == std::string_view::npos &&
         AtomChar(text_[pos_]))
    ++pos_;
  if (pos_ == start) throw SyntaxError("Expected a fetch attribute");
  return std::string(text_.substr(start, pos_ - start));
}

std::optional<LiteralMarker> LiteralAtEnd(std::string_view line) {
  if (line.empty() || line.back() != '}') return std::nullopt;
  const size_t open = line.rfind('{');
  if (open == std::string_view::npos) return std::nullopt;
  std::string_view inside = line.substr(open + 1, line.size() - open - 2);
  LiteralMarker marker;
  if (!inside.empty() && inside.back() == '+') {
    marker.synchronising = false;
    inside.remove_suffix(1);
  }
  if (inside.empty() || inside.size() > 19) return std::nullopt;
  for (char c : inside) {
    if (!Digit(c)) return std::nullopt;
    marker.size = marker.size * 10 + static_cast<uint64_t>(c - '0');
  }
  return marker;
}

std::string Quote(std::string_view s) {
  // Not even a literal may carry a NUL; one in a stored header field is left out.
  if (s.find('\0') != std::string_view::npos) {
    std::string kept(s);
    std::erase(kept, '\0');
    return Quote(kept);
  }
  bool plain = s.size() <= 1000;
  for (size_t i = 0; plain && i < s.size(); ++i) {
    const auto u = static_cast<unsigned char>(s[i]);
    plain = u >= 0x20 && u < 0x7f;
  }
  if (!plain) return "{" + std::to_string(s.size()) + "}\r\n" + std::string(s);
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string NQuote(const std::optional<std::string>& s) {
  return s ? Quote(*s) : "NIL";
}

std::string AtomOrQuote(std::string_view s) {
  if (!s.empty() && std::all_of(s.begin(), s.end(), AtomChar)) return std::string(s);
  return Quote(s);
}

std::optional<std::string> DecodeMailboxName(std::string_view wire) {
  std::string out;
  for (size_t i = 0; i < wire.size();) {
    const char c = wire[i];
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7f) return std::nullopt;
    if (c != '&') {
      out += c;
      ++i;
      continue;
    }
    const size_t dash = wire.find('-', i + 1);
    if (dash == std::string_view::npos) return std::nullopt;
    std::string b64(wire.substr(i + 1, dash - i - 1));
    i = dash + 1;
    if (b64.empty()) {
      out += '&';
      continue;
    }
    // Modified base64: ',' for '/', no padding; the bits make whole UTF-16 units.
    for (char& ch : b64) {
      if (ch == ',')
        ch = '/';
      else if (!g_ascii_isalnum(ch) && ch != '+')
        return std::nullopt;
    }
    const size_t bits = b64.size() * 6;
    if (b64.size() % 4 == 1 || bits % 16 >= 6) return std::nullopt;
    b64.append((4 - b64.size() % 4) % 4, '=');
    gsize len = 0;
    std::unique_ptr<guchar, GFree> raw(g_base64_decode(b64.c_str(), &len));
    if (len % 2 != 0 || len == 0) return std::nullopt;
    std::vector<gunichar2> units(len / 2);
    for (size_t k = 0; k < units.size(); ++k) {
      units[k] = static_cast<gunichar2>((raw.get()[2 * k] << 8) | raw.get()[2 * k + 1]);
      // Printable ASCII must be written as itself, never encoded.
      if (units[k] >= 0x20 && units[k] < 0x7f) return std::nullopt;
    }
    glong written = 0;
    std::unique_ptr<gchar, GFree> utf8(g_utf16_to_utf8(
        units.data(), static_cast<glong>(units.size()), nullptr, &written, nullptr));
    if (!utf8) return std::nullopt;
    out.append(utf8.get(), static_cast<size_t>(written));
  }
  return out;
}

std::optional<std::string> EncodeMailboxName(std::string_view utf8) {
  if (!g_utf8_validate(utf8.data(), static_cast<gssize>(utf8.size()), nullptr)) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto u = static_cast<unsigned char>(utf8[i]);
    if (u >= 0x20 && u < 0x7f) {
      out += utf8[i] == '&' ? "&-" : std::string(1, utf8[i]);
      ++i;
      continue;
    }
    size_t end = i;
    while (end < utf8.size() && (static_cast<unsigned char>(utf8[end]) < 0x20 ||
                                 static_cast<unsigned char>(utf8[end]) >= 0x7f))
      ++end;
    glong count = 0;
    std::unique_ptr<gunichar2, GFree> units(
        g_utf8_to_utf16(utf8.data() + i, static_cast<glong>(end - i), nullptr, &count, nullptr));
    if (!units) return std::nullopt;
    std::string be;
    for (glong k = 0; k < count; ++k) {
      be += static_cast<char>(units.get()[k] >> 8);
      be += static_cast<char>(units.get()[k] & 0xff);
    }
    std::unique_ptr<gchar, GFree> b64(
        g_base64_encode(reinterpret_cast<const guchar*>(be.data()), be.size()));
    std::string text(b64.get());
    text.erase(std::remove(text.begin(), text.end(), '='), text.end());
    std::replace(text.begin(), text.end(), '/', ',');
    out += "&" + text + "-";
    i = end;
  }
  return out;
}

}  // namespace drossgate::tools::imap
