#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "directory/directory.h"
#include "text.h"

namespace drossgate::platform::directory {

const Attribute* Entry::Find(std::string_view name) const {
  for (const Attribute& a : attributes)
    if (text::EqualsNoCase(a.name, name)) return &a;
  return nullptr;
}

void Entry::Add(std::string_view name, std::string value) {
  for (Attribute& a : attributes) {
    if (text::EqualsNoCase(a.name, name)) {
      a.values.push_back(std::move(value));
      return;
    }
  }
  attributes.push_back({std::string(name), {std::move(value)}});
}

bool Entry::Remove(std::string_view name) {
  for (auto it = attributes.begin(); it != attributes.end(); ++it) {
    if (text::EqualsNoCase(it->name, name)) {
      attributes.erase(it);
      return true;
    }
  }
  return false;
}

std::optional<int32_t> Value::Int32() const {
  if (values_.empty()) return std::nullopt;
  const std::string t = text::Trim(values_.front());
  if (t.empty() || t.size() > 20) return std::nullopt;
  size_t i = (t[0] == '-' || t[0] == '+') ? 1 : 0;
  if (i == t.size()) return std::nullopt;
  for (size_t j = i; j < t.size(); ++j)
    if (!std::isdigit(static_cast<unsigned char>(t[j]))) return std::nullopt;
  errno = 0;
  long long v = std::strtoll(t.c_str(), nullptr, 10);
  if (errno == ERANGE || v < INT32_MIN || v > int64_t{UINT32_MAX}) return std::nullopt;
  return static_cast<int32_t>(static_cast<uint32_t>(v));
}

}  // namespace drossgate::platform::directory
