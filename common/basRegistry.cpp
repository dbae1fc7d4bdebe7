#include "basRegistry.h"

namespace drossgate::common {

namespace reg = platform::registry;

bool RegKeyExists(reg::Hive hive, const std::string& key) {
  reg::Key handle;
  if (reg::OpenKey(hive, key, handle) != reg::kSuccess) return false;
  reg::CloseKey(handle);
  return true;
}

std::string RegReadString(reg::Hive hive, const std::string& key, const std::string& value) {
  reg::Key handle;
  if (reg::OpenKey(hive, key, handle) != reg::kSuccess) return {};
  std::string data;
  if (reg::QueryString(handle, value, data) != reg::kSuccess) data.clear();
  reg::CloseKey(handle);
  return data;
}

}  // namespace drossgate::common
