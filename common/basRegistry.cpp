#include "basRegistry.h"

#include "text.h"

namespace drossgate::common {

namespace reg = platform::registry;

bool RegKeyExists(reg::Hive hive, const std::string& key) {
  reg::Key handle;
  if (reg::OpenKey(hive, key, handle) != reg::kSuccess) return false;
  reg::CloseKey(handle);
  return true;
}

std::string ParseSharePath(std::string_view data) {
  const size_t at = text::FindNoCase(data, "Path");
  if (at == std::string_view::npos) return {};
  std::string_view entry = data.substr(at);
  entry = entry.substr(0, entry.find('\0'));
  const size_t eq = entry.find('=');
  return eq == std::string_view::npos ? std::string() : std::string(entry.substr(eq + 1));
}

}  // namespace drossgate::common
