#include "system/system.h"

#include <sys/stat.h>
#include <uuid/uuid.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "error.h"
#include "fault.h"
#include "system/atomic_file.h"
#include "text.h"

namespace drossgate::platform {

namespace {

std::mutex& RootMutex() {
  static std::mutex m;
  return m;
}

std::filesystem::path& ExplicitRoot() {
  static std::filesystem::path root;
  return root;
}

// machine.json as last read for one root. Old versions stay alive, since Machine() hands out
// references that a caller may hold while another thread reloads the file.
struct MachineCache {
  std::mutex mutex;
  struct Entry {
    FileStamp stamp;
    std::string content;
    const MachineInfo* info = nullptr;
  };
  std::map<std::filesystem::path, Entry> byRoot;
  std::deque<std::unique_ptr<MachineInfo>> keep;
};

MachineCache& Cache() {
  static MachineCache c;
  return c;
}

std::string TextField(const nlohmann::json& j, const char* name, bool required,
                      const std::filesystem::path& file) {
  auto it = j.find(name);
  if (it == j.end() || it->is_null()) {
    if (required)
      Fail(errors::kCorrupt, "The machine file " + file.string() + " has no \"" + name + "\"");
    return {};
  }
  if (!it->is_string())
    Fail(errors::kCorrupt, "The machine file " + file.string() + ": \"" + name + "\" is not text");
  return it->get<std::string>();
}

MachineInfo ParseMachine(const std::string& content, const std::filesystem::path& file) {
  nlohmann::json j = nlohmann::json::parse(content, nullptr, false);
  if (j.is_discarded() || !j.is_object())
    Fail(errors::kCorrupt, "The machine file " + file.string() + " is not a JSON object");
  MachineInfo info;
  info.computerName = TextField(j, "computer", true, file);
  info.domainName = TextField(j, "domain", true, file);
  info.userName = TextField(j, "user", true, file);
  info.workgroup = TextField(j, "workgroup", false, file);
  if (auto it = j.find("directory"); it != j.end() && !it->is_null()) {
    info.directory.given = true;
    info.directory.isObject = it->is_object();
    if (it->is_object())
      for (const auto& [name, value] : it->items())
        if (!value.is_null())
          info.directory.members[name] =
              value.is_string() ? std::optional(value.get<std::string>()) : std::nullopt;
  }
  // Each section's scalar settings, flattened to text.
  for (const auto& [section, values] : j.items()) {
    if (!values.is_object()) continue;
    for (const auto& [name, value] : values.items()) {
      const std::string key = section + "." + name;
      if (value.is_string())
        info.settings[key] = value.get<std::string>();
      else if (value.is_boolean())
        info.settings[key] = value.get<bool>() ? "true" : "false";
      else if (value.is_number_integer())
        info.settings[key] = std::to_string(value.get<int64_t>());
      else if (value.is_number())
        info.settings[key] = value.dump();
    }
  }
  if (info.computerName.empty())
    Fail(errors::kCorrupt, "The machine file " + file.string() + " names no computer");
  return info;
}

}  // namespace

std::filesystem::path PlatformRoot() {
  std::filesystem::path root;
  {
    std::lock_guard lock(RootMutex());
    root = ExplicitRoot();
  }
  if (root.empty()) {
    const char* env = std::getenv("DROSSGATE_PLATFORM");
    if (!env || !*env)
      Fail(errors::kNotFound, "No platform root: set DROSSGATE_PLATFORM or pass --root");
    root = env;
  }
  std::error_code ec;
  if (!std::filesystem::is_directory(root, ec))
    Fail(errors::kNotFound, "The platform root " + root.string() + " is not a folder");
  return root;
}

void SetPlatformRoot(const std::filesystem::path& root) {
  std::lock_guard lock(RootMutex());
  ExplicitRoot() = root;
}

const MachineInfo& Machine() {
  const std::filesystem::path file = PlatformRoot() / "machine.json";
  MachineCache& cache = Cache();
  std::lock_guard lock(cache.mutex);
  auto stamp = StampOf(file);
  if (!stamp) Fail(errors::kNotFound, "The machine file " + file.string() + " does not exist");
  auto it = cache.byRoot.find(file);
  if (it != cache.byRoot.end() && it->second.stamp == *stamp && !stamp->Recent())
    return *it->second.info;
  std::string content;
  if (!ReadWholeFile(file, content))
    Fail(errors::kNotFound, "The machine file " + file.string() + " cannot be read");
  // A file just written is re-read on every call for a moment; only new content makes a new
  // version, so the versions kept stay few.
  if (it != cache.byRoot.end() && it->second.content == content) {
    it->second.stamp = *stamp;
    return *it->second.info;
  }
  auto info = std::make_unique<MachineInfo>(ParseMachine(content, file));
  const MachineInfo* p = info.get();
  cache.keep.push_back(std::move(info));
  cache.byRoot[file] = {*stamp, std::move(content), p};
  return *p;
}

int64_t MachineInfo::Number(const std::string& key, int64_t fallback, int64_t minimum,
                            int64_t maximum) const {
  auto it = settings.find(key);
  if (it == settings.end()) return fallback;
  const std::string& t = it->second;
  int64_t value = 0;
  auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
  if (ec != std::errc() || end != t.data() + t.size() || value < minimum || value > maximum)
    Fail(errors::kCorrupt, "machine.json: \"" + key + "\" is \"" + t +
                               "\", not a whole number from " + std::to_string(minimum) + " to " +
                               std::to_string(maximum));
  return value;
}

std::string MachineInfo::Text(const std::string& key, const std::string& fallback) const {
  auto it = settings.find(key);
  return it == settings.end() ? fallback : it->second;
}

bool MachineInfo::Flag(const std::string& key, bool fallback) const {
  auto it = settings.find(key);
  if (it == settings.end()) return fallback;
  if (it->second == "true") return true;
  if (it->second == "false") return false;
  Fail(errors::kCorrupt,
       "machine.json: \"" + key + "\" is \"" + it->second + "\", not true or false");
}

std::optional<std::string> DirectoryConfig::Member(const std::string& name) const {
  auto it = members.find(name);
  return it == members.end() ? std::string() : it->second;
}

DirectoryConfig DirectoryConfig::Of(const std::map<std::string, std::string>& members) {
  DirectoryConfig config{true, true, {}};
  for (const auto& [name, value] : members) config.members[name] = value;
  return config;
}

void WriteMachineInfo(const std::filesystem::path& root, const MachineInfo& info) {
  nlohmann::json directory = nullptr;
  if (info.directory.given) {
    directory = nlohmann::json::object();
    // A member that is not text has no text to write back; it is left out.
    for (const auto& [name, value] : info.directory.members)
      if (value) directory[name] = *value;
  }
  nlohmann::json j = {{"computer", info.computerName},
                      {"domain", info.domainName},
                      {"user", info.userName},
                      {"workgroup", info.workgroup},
                      {"directory", directory}};
  const std::filesystem::path file = root / "machine.json";
  if (int err = WriteFileAtomically(file, j.dump(2) + "\n"))
    Fail(errors::kFileWrite,
         "Cannot write the machine file " + file.string() + ": " + std::strerror(err));
}

std::string ComputerNameEnvironment() {
  return Machine().computerName;
}

std::string CurrentUserName() {
  return Machine().userName;
}

std::string FullComputerName() {
  const MachineInfo& m = Machine();
  if (m.domainName.empty()) return text::ToLower(m.computerName);
  return text::ToLower(m.computerName) + "." + text::ToLower(m.domainName);
}

std::optional<com::Guid> CreateGuid() {
  if (FaultHit(Fault::kGuidCreate)) return std::nullopt;
  uuid_t u;
  uuid_generate(u);
  bool allZero = true;
  for (unsigned char b : u) allZero = allZero && b == 0;
  if (allZero) return std::nullopt;
  com::Guid g;
  g.data1 = (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
  g.data2 = static_cast<uint16_t>((u[4] << 8) | u[5]);
  g.data3 = static_cast<uint16_t>((u[6] << 8) | u[7]);
  for (int i = 0; i < 8; ++i) g.data4[i] = u[8 + i];
  return g;
}

}  // namespace drossgate::platform
