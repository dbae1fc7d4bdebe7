#include "store/names.h"

#include <ctime>

#include "error.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::platform::store::names {

namespace {

constexpr std::string_view kProptag = "http://schemas.microsoft.com/mapi/proptag/";
constexpr std::string_view kHiddenTag = "x67aa000b";

std::vector<std::string> SplitSegments(std::string_view rest) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    size_t slash = rest.find('/', start);
    out.emplace_back(
        rest.substr(start, slash == std::string_view::npos ? rest.npos : slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return out;
}

bool IsThisComputer(std::string_view host) {
  try {
    return text::EqualsNoCase(host, Machine().computerName) ||
           text::EqualsNoCase(host, FullComputerName());
  } catch (const PlatformError&) {
    return false;  // no machine file: no http spelling can name this store
  }
}

}  // namespace

std::string NameKey(std::string_view name) {
  return text::ToLower(name);
}

std::string PropertyKey(std::string_view name) {
  if (name.empty()) return {};
  if (name.find(':') == std::string_view::npos)
    return text::ToLower(std::string(kPublicStrings) + std::string(name));
  std::string key = text::ToLower(name);
  if (key.size() > kProptag.size() && key.compare(0, kProptag.size(), kProptag) == 0) {
    std::string_view tag = std::string_view(key).substr(kProptag.size());
    if (tag.size() > 2 && tag[0] == '0' && tag[1] == 'x') tag.remove_prefix(1);
    if (tag == kHiddenTag) return kIsHidden;
    key = std::string(kProptag) + std::string(tag);
  }
  return key;
}

std::optional<std::vector<std::string>> SplitUrl(std::string_view url) {
  constexpr std::string_view kFile = "file://./backofficestorage";
  constexpr std::string_view kHttp = "http://";
  constexpr std::string_view kExadmin = "/exadmin";
  std::string_view rest;
  if (text::StartsWithNoCase(url, kFile)) {
    rest = url.substr(kFile.size());
  } else if (text::StartsWithNoCase(url, kHttp)) {
    std::string_view after = url.substr(kHttp.size());
    size_t slash = after.find('/');
    if (slash == std::string_view::npos || !IsThisComputer(after.substr(0, slash)))
      return std::nullopt;
    rest = after.substr(slash);
    if (!text::StartsWithNoCase(rest, kExadmin)) return std::nullopt;
    rest.remove_prefix(kExadmin.size());
  } else {
    return std::nullopt;
  }
  if (rest.empty()) return std::vector<std::string>{};
  if (rest[0] != '/') return std::nullopt;
  rest.remove_prefix(1);
  // The namespace top itself may be written with its closing "/".
  if (rest.empty()) return std::vector<std::string>{};
  return SplitSegments(rest);
}

std::optional<std::vector<std::string>> SplitFileSystemPath(std::string_view path) {
  std::string p(path);
  for (char& c : p)
    if (c == '/') c = '\\';
  constexpr std::string_view kTop = "\\\\.\\backofficestorage";
  if (!text::StartsWithNoCase(p, kTop)) return std::nullopt;
  std::string rest = p.substr(kTop.size());
  if (rest.empty() || rest == "\\") return std::vector<std::string>{};
  if (rest[0] != '\\') return std::nullopt;
  rest.erase(0, 1);
  if (!rest.empty() && rest.back() == '\\') rest.pop_back();
  for (char& c : rest)
    if (c == '\\') c = '/';
  return SplitSegments(rest);
}

bool UsableSegment(std::string_view segment) {
  return !segment.empty() && segment != "." && segment != ".." &&
         segment.find('\\') == std::string_view::npos;
}

std::string PickupFileName(int day, int month, int year, int hour, int minute, uint64_t number) {
  return std::to_string(day) + std::to_string(month) + std::to_string(year) + std::to_string(hour) +
         std::to_string(minute) + std::to_string(number) + ".eml";
}

std::string ForwardPickupFileName(int64_t createdUnixTime, int64_t itemId) {
  const std::time_t t = static_cast<std::time_t>(createdUnixTime);
  std::tm local{};
  localtime_r(&t, &local);
  return PickupFileName(local.tm_mday, local.tm_mon + 1, local.tm_year + 1900, local.tm_hour,
                        local.tm_min, static_cast<uint64_t>(itemId));
}

}  // namespace drossgate::platform::store::names
