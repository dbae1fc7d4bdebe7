#include "basParser.h"

#include <charconv>
#include <cmath>
#include <cstdint>

#include "text.h"

namespace drossgate::common {

using text::EqualsNoCase;
using text::StartsWithNoCase;
using text::TrimView;

namespace {

// One character of UTF-8 text starting at s[i]: its code point (ASCII upper-cased) and its
// length in bytes. A byte that does not start a valid sequence is one character by itself.
struct Char {
  uint32_t code;
  size_t len;
};

inline Char NextChar(std::string_view s, size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  // ASCII first and in line: it is nearly all the text the matcher ever sees.
  if (b0 < 0x80) return {b0 - (b0 - uint32_t{'a'} < 26u ? 32u : 0u), 1};
  size_t len = b0 >= 0xF5 ? 0 : b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC2 ? 2 : 0;
  // Bytes that are not a valid lead byte are kept distinct from every code point.
  if (len == 0 || i + len > s.size()) return {0x110000u + b0, 1};
  uint32_t code = b0 & (0x7Fu >> len);
  for (size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return {0x110000u + b0, 1};
    code = (code << 6) | (b & 0x3Fu);
  }
  // Overlong and surrogate forms are not characters either.
  if ((len == 3 && code < 0x800) || (len == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
      (code >= 0xD800 && code <= 0xDFFF))
    return {0x110000u + b0, 1};
  return {code, len};
}

// A bracket list "[...]" starting at pattern[p] == '['. On success sets end to the position
// after "]" and tells whether ch belongs to it; returns false when the list is ill-formed.
bool ParseList(std::string_view pat, size_t p, uint32_t ch, size_t& end, bool& member) {
  size_t i = p + 1;
  bool negate = false;
  // "!" negates only when more follows before "]": "[!]" is the character "!".
  if (i + 1 < pat.size() && pat[i] == '!' && pat[i + 1] != ']') {
    negate = true;
    ++i;
  }
  bool found = false;
  while (i < pat.size() && pat[i] != ']') {
    Char lo = NextChar(pat, i);
    i += lo.len;
    uint32_t hi = lo.code;
    // Any character, a "-" too, starts a range when "-" and a character other than "]" follow:
    // "[--D]" is "-" to "D". A "-" with "]" after it is literal.
    if (i + 1 < pat.size() && pat[i] == '-' && pat[i + 1] != ']') {
      Char h = NextChar(pat, i + 1);
      i += 1 + h.len;
      hi = h.code;
      if (hi < lo.code) return false;
    }
    if (ch >= lo.code && ch <= hi) found = true;
  }
  if (i >= pat.size()) return false;
  end = i + 1;
  member = negate ? !found : found;
  return true;
}

bool ListsWellFormed(std::string_view pat) {
  for (size_t p = pat.find('['); p != std::string_view::npos; p = pat.find('[', p)) {
    bool member;
    if (!ParseList(pat, p, 0, p, member)) return false;
  }
  return true;
}

bool IsDigitChar(char c) {
  return c >= '0' && c <= '9';
}

// Room for a text built while matching: on the stack for the short texts rules hold, on the
// heap only for an unusually long one, so a call normally allocates nothing.
class Scratch {
 public:
  explicit Scratch(size_t size) {
    if (size > sizeof local_) {
      heap_.resize(size);
      data_ = heap_.data();
    }
  }
  char* data() { return data_; }

 private:
  char local_[128];
  std::string heap_;
  char* data_ = local_;
};

// Position of the next "{*}" or "{?}" at or after from; npos when there is none.
size_t FindWildcardToken(std::string_view s, size_t from) {
  for (size_t i = s.find('{', from); i != std::string_view::npos; i = s.find('{', i + 1))
    if (i + 2 < s.size() && s[i + 2] == '}' && (s[i + 1] == '*' || s[i + 1] == '?')) return i;
  return std::string_view::npos;
}

bool IsSpecial(char c) {
  return c == '*' || c == '?' || c == '#' || c == '[';
}

}  // namespace

bool WildcardMatch(std::string_view value, std::string_view pat) {
  if (!ListsWellFormed(pat)) return false;
  size_t v = 0, p = 0;
  // Where to resume after the last "*": the pattern position behind it and the value
  // position it has swallowed up to.
  size_t starP = std::string_view::npos, starV = 0;
  for (;;) {
    if (p < pat.size() && pat[p] == '*') {
      // A final "*" takes whatever is left; no need to walk it.
      if (++p == pat.size()) return true;
      starP = p;
      starV = v;
      continue;
    }
    // "[]" stands for the empty string and matches without taking a character.
    if (p + 1 < pat.size() && pat[p] == '[' && pat[p + 1] == ']') {
      p += 2;
      continue;
    }
    if (v == value.size() && p == pat.size()) return true;
    bool step = false;
    size_t nextP = p, nextV = v;
    if (v < value.size() && p < pat.size()) {
      Char c = NextChar(value, v);
      nextV = v + c.len;
      switch (pat[p]) {
        case '?':
          step = true;
          nextP = p + 1;
          break;
        case '#':
          step = c.code >= '0' && c.code <= '9';
          nextP = p + 1;
          break;
        case '[': {
          bool member = false;
          ParseList(pat, p, c.code, nextP, member);
          step = member;
          break;
        }
        default: {
          Char pc = NextChar(pat, p);
          step = pc.code == c.code && pc.len == c.len;
          nextP = p + pc.len;
        }
      }
    }
    if (step) {
      p = nextP;
      v = nextV;
      continue;
    }
    if (starP == std::string_view::npos || starV >= value.size()) return false;
    starV += NextChar(value, starV).len;
    // When a plain ASCII character follows the "*", only a position holding it can go on.
    // Bytes of multi-byte sequences are never ASCII, so scanning bytes stays on characters.
    if (const uint32_t lit = NextChar(pat, starP).code; lit < 0x80 && !IsSpecial(pat[starP])) {
      while (starV < value.size() && NextChar(value, starV).code != lit) ++starV;
      if (starV == value.size()) return false;
    }
    v = starV;
    p = starP;
  }
}

double NumericValue(std::string_view t) {
  size_t i = 0;
  if (i < t.size() && t[i] == '-') ++i;
  bool dot = false, digit = false, aboveOne = false;
  for (; i < t.size(); ++i) {
    if (IsDigitChar(t[i])) {
      digit = true;
      aboveOne |= !dot && t[i] != '0';
    } else if (t[i] == '.' && !dot) {
      dot = true;
    } else {
      break;
    }
  }
  if (!digit) return 0.0;
  double result = 0.0;
  if (std::from_chars(t.data(), t.data() + i, result).ec == std::errc::result_out_of_range) {
    // Too many digits for a double: saturate like the arithmetic would, instead of 0.
    result = aboveOne ? HUGE_VAL : 0.0;
    if (t[0] == '-') result = -result;
  }
  return result;
}

namespace {

// Steps 4 to 8: the numeric comparison of the brace pair at pattern[open..close].
bool CompareNumber(std::string_view value, std::string_view pattern, size_t open, size_t close) {
  std::string_view prefix = TrimView(pattern.substr(0, open));
  if (!StartsWithNoCase(value, prefix)) return false;

  const std::string_view braced = TrimView(pattern.substr(open + 1, close - open - 1));
  Scratch innerRoom(braced.size());
  size_t innerSize = 0;
  for (char c : braced)
    if (c != ' ') innerRoom.data()[innerSize++] = (c == ',') ? '.' : c;
  const std::string_view inner(innerRoom.data(), innerSize);
  if (inner.empty() || inner == "*") return false;
  const char op = inner[0];
  if (op != '<' && op != '>') return false;
  std::string_view bounds = TrimView(inner.substr(1));
  std::string_view bound = bounds, second;
  char op2 = 0;
  if (size_t pos = bounds.find_first_of("<>"); pos != std::string_view::npos) {
    op2 = bounds[pos];
    bound = TrimView(bounds.substr(0, pos));
    second = TrimView(bounds.substr(pos + 1));
  }

  // The value's number: "-" only in first position; "," continues it as a decimal point.
  std::string_view rest = TrimView(value.substr(prefix.size()));
  size_t n = 0;
  while (n < rest.size() &&
         (IsDigitChar(rest[n]) || rest[n] == '.' || rest[n] == ',' || (n == 0 && rest[n] == '-')))
    ++n;
  Scratch numberRoom(n);
  for (size_t k = 0; k < n; ++k) numberRoom.data()[k] = rest[k] == ',' ? '.' : rest[k];
  const std::string_view number(numberRoom.data(), n);
  // The rest is dropped only when it equals the number text. A rest that is all number stays
  // as written, so "4,5" is still there for a suffix to be compared with.
  if (n < rest.size()) rest = TrimView(rest.substr(n));
  if (rest == number) rest = {};

  const double x = NumericValue(number);
  const double a = NumericValue(bound);
  bool inRange;
  if (op == '<') {
    inRange = x < a && (op2 != '>' || x > NumericValue(second));
  } else {
    inRange = x > a && (op2 != '<' || x < NumericValue(second));
  }
  if (!inRange) return false;

  std::string_view suffix = TrimView(pattern.substr(close + 1));
  return suffix.empty() || EqualsNoCase(suffix, rest);
}

}  // namespace

bool MatchPattern(std::string_view value, std::string_view pattern) {
  value = TrimView(value);
  pattern = TrimView(pattern);

  // "{*}" becomes "*" and "{?}" becomes "?". The two never overlap, so one left-to-right pass
  // does both; a pattern without either is used as it is, without a copy.
  size_t token = FindWildcardToken(pattern, 0);
  const bool wildcards = token != std::string_view::npos;
  Scratch room(wildcards ? pattern.size() : 0);
  if (wildcards) {
    char* const out = room.data();
    size_t n = 0, copied = 0;
    for (; token != std::string_view::npos; token = FindWildcardToken(pattern, copied)) {
      pattern.copy(out + n, token - copied, copied);
      n += token - copied;
      out[n++] = pattern[token + 1];
      copied = token + 3;
    }
    pattern.copy(out + n, pattern.size() - copied, copied);
    pattern = std::string_view(out, n + pattern.size() - copied);
  }

  const size_t open = pattern.find('{');
  const size_t close = open == std::string_view::npos ? open : pattern.find('}', open);
  if (close == std::string_view::npos) return wildcards && WildcardMatch(value, pattern);

  if (!CompareNumber(value, pattern, open, close)) return false;
  return !wildcards || WildcardMatch(value, pattern);
}

bool ConditionTest(std::string_view value, std::string_view pattern) {
  if (value.empty()) return false;
  if (pattern.empty() || StartsWithNoCase(value, pattern)) return true;
  return MatchPattern(value, pattern);
}

}  // namespace drossgate::common
