// The condition matcher on arbitrary bytes: value, NUL, pattern (without a NUL the input is
// both). Besides not crashing, the properties every caller relies on must hold.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "basParser.h"
#include "text.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

// A plain dynamic-programming matcher for ASCII text and patterns without lists, to check
// the backtracking matcher and its shortcuts against.
bool ReferenceMatch(std::string_view value, std::string_view pattern) {
  const auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  std::vector<bool> row(value.size() + 1, false), next(value.size() + 1);
  row[0] = true;
  for (char p : pattern) {
    next.assign(value.size() + 1, false);
    for (size_t v = 0; v <= value.size(); ++v) {
      if (p == '*') {
        next[v] = row[v] || (v > 0 && next[v - 1]);
      } else if (v > 0 && row[v - 1]) {
        const char c = value[v - 1];
        next[v] = p == '?' || (p == '#' ? c >= '0' && c <= '9' : up(p) == up(c));
      }
    }
    row.swap(next);
  }
  return row[value.size()];
}

bool Ascii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace drossgate::common;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t nul = input.find('\0');
  const std::string value(input.substr(0, nul));
  const std::string pattern(nul == std::string_view::npos ? input : input.substr(nul + 1));

  const bool viaTest = ConditionTest(value, pattern);
  Require(viaTest == (!value.empty() &&
                      (pattern.empty() || drossgate::text::StartsWithNoCase(value, pattern) ||
                       MatchPattern(std::string_view(value), pattern))));

  // Spaces around either argument make no difference.
  Require(MatchPattern(value, pattern) ==
          MatchPattern(drossgate::text::TrimView(value), drossgate::text::TrimView(pattern)));

  const bool wild = WildcardMatch(value, pattern);
  if (value.size() <= 256 && pattern.size() <= 256 && pattern.find('[') == std::string::npos &&
      Ascii(value) && Ascii(pattern))
    Require(wild == ReferenceMatch(value, pattern));
  NumericValue(value);
  NumericValue(pattern);

  // "{*}" takes anything, and text free of wildcard characters matches itself.
  Require(MatchPattern(std::string_view(value), "{*}"));
  if (value.find_first_of("*?#[") == std::string::npos) Require(WildcardMatch(value, value));
  return 0;
}
