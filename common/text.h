#pragma once
// Text helpers shared by every part of Drossgate. Trimming removes spaces (character 32)
// only; case-insensitive comparisons fold ASCII letters and leave every other byte as it is,
// so UTF-8 text is never altered and always equals itself. Nothing here throws.

#include <string>
#include <string_view>
#include <vector>

namespace drossgate::text {

std::string_view TrimView(std::string_view s);
std::string Trim(std::string_view s);

char UpperAscii(char c);
std::string ToUpper(std::string_view s);
std::string ToLower(std::string_view s);

bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view s, std::string_view prefix);
bool EndsWithNoCase(std::string_view s, std::string_view suffix);
// Position of the first (or last) occurrence of needle, compared without regard to ASCII
// case; std::string_view::npos when absent. An empty needle is found at 0 (at size()).
size_t FindNoCase(std::string_view hay, std::string_view needle, size_t from = 0);
size_t RFindNoCase(std::string_view hay, std::string_view needle);
bool ContainsNoCase(std::string_view hay, std::string_view needle);

// Splits at every occurrence of sep; an empty text gives no element, a text without sep one.
std::vector<std::string> Split(std::string_view s, char sep);

// Every occurrence of from replaced by to (exact comparison).
std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to);
// Every occurrence of from, found without regard to ASCII case, replaced by to.
std::string ReplaceAllNoCase(std::string_view s, std::string_view from, std::string_view to);

// Every bare line feed preceded by a carriage return, as mail on the wire wants it.
std::string WithCrLf(std::string_view s);

}  // namespace drossgate::text
