#include "system/registry.h"

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include <nlohmann/json.hpp>

#include "error.h"
#include "fault.h"
#include "system/atomic_file.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::platform::registry {

namespace {

struct Value {
  std::string name;
  ValueType type = ValueType::kString;
  std::string text;
  std::vector<std::string> list;
  uint32_t dword = 0;
};

struct KeyEntry {
  std::string path;  // as first written
  std::vector<Value> values;
};

// Keys of one hive by their lower-case path: a key's descendants are contiguous in this order.
using HiveMap = std::map<std::string, KeyEntry>;

struct Tree {
  std::array<HiveMap, 3> hives;
  HiveMap& of(Hive h) { return hives[static_cast<size_t>(h)]; }
  const HiveMap& of(Hive h) const { return hives[static_cast<size_t>(h)]; }
};

constexpr std::array<const char*, 3> kHiveNames = {"HKEY_LOCAL_MACHINE", "HKEY_CLASSES_ROOT",
                                                   "HKEY_CURRENT_USER"};

const char* TypeName(ValueType t) {
  switch (t) {
    case ValueType::kString:
      return "sz";
    case ValueType::kMultiString:
      return "multi_sz";
    case ValueType::kDword:
      return "dword";
  }
  return "sz";
}

// Segments joined by single backslashes: "\\A\\\\B\\" and "A\\B" are one key.
std::string NormalizePath(const std::string& path) {
  std::string out;
  for (const std::string& seg : text::Split(path, '\\')) {
    if (seg.empty()) continue;
    if (!out.empty()) out += '\\';
    out += seg;
  }
  return out;
}

bool HasNul(const std::string& s) {
  return s.find('\0') != std::string::npos;
}

std::optional<Tree> ParseTree(const std::string& content) {
  nlohmann::json j = nlohmann::json::parse(content, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  Tree tree;
  for (auto& [hiveName, keys] : j.items()) {
    size_t h = 0;
    while (h < kHiveNames.size() && hiveName != kHiveNames[h]) ++h;
    if (h == kHiveNames.size() || !keys.is_object()) return std::nullopt;
    for (auto& [keyPath, body] : keys.items()) {
      std::string path = NormalizePath(keyPath);
      if (!body.is_object()) return std::nullopt;
      KeyEntry entry{path, {}};
      if (auto vals = body.find("values"); vals != body.end()) {
        if (!vals->is_array()) return std::nullopt;
        for (const auto& v : *vals) {
          if (!v.is_object() || !v.contains("name") || !v["name"].is_string() ||
              !v.contains("type") || !v["type"].is_string() || !v.contains("data"))
            return std::nullopt;
          Value value;
          value.name = v["name"].get<std::string>();
          const std::string type = v["type"].get<std::string>();
          const auto& data = v["data"];
          if (type == "sz" && data.is_string()) {
            value.type = ValueType::kString;
            value.text = data.get<std::string>();
          } else if (type == "multi_sz" && data.is_array()) {
            value.type = ValueType::kMultiString;
            for (const auto& e : data) {
              if (!e.is_string()) return std::nullopt;
              value.list.push_back(e.get<std::string>());
            }
          } else if (type == "dword" && data.is_number_unsigned() &&
                     data.get<uint64_t>() <= 0xFFFFFFFFu) {
            value.type = ValueType::kDword;
            value.dword = static_cast<uint32_t>(data.get<uint64_t>());
          } else {
            return std::nullopt;
          }
          for (const Value& seen : entry.values)
            if (text::EqualsNoCase(seen.name, value.name)) return std::nullopt;
          entry.values.push_back(std::move(value));
        }
      }
      if (!tree.hives[h].emplace(text::ToLower(path), std::move(entry)).second) return std::nullopt;
    }
  }
  return tree;
}

// Throws nlohmann's type_error for text that is not UTF-8.
std::string SerializeTree(const Tree& tree) {
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  for (size_t h = 0; h < kHiveNames.size(); ++h) {
    nlohmann::ordered_json keys = nlohmann::ordered_json::object();
    for (const auto& [lower, entry] : tree.hives[h]) {
      nlohmann::ordered_json values = nlohmann::ordered_json::array();
      for (const Value& v : entry.values) {
        nlohmann::ordered_json jv = {{"name", v.name}, {"type", TypeName(v.type)}};
        switch (v.type) {
          case ValueType::kString:
            jv["data"] = v.text;
            break;
          case ValueType::kMultiString:
            jv["data"] = v.list;
            break;
          case ValueType::kDword:
            jv["data"] = v.dword;
            break;
        }
        values.push_back(std::move(jv));
      }
      keys[entry.path] = {{"values", std::move(values)}};
    }
    j[kHiveNames[h]] = std::move(keys);
  }
  return j.dump(2) + "\n";
}

bool KeyExists(const HiveMap& hive, const std::string& path) {
  if (path.empty()) return true;
  const std::string lower = text::ToLower(path);
  if (hive.count(lower)) return true;
  auto it = hive.lower_bound(lower + '\\');
  return it != hive.end() && it->first.compare(0, lower.size() + 1, lower + '\\') == 0;
}

// The loaded registry file, shared by every call of the process until the file changes.
struct Snapshot {
  Status status = kSuccess;
  std::shared_ptr<const Tree> tree;
};

struct FileCache {
  std::mutex mutex;       // guards the fields below
  std::mutex writeMutex;  // one writer per process at a time; flock orders the processes
  std::filesystem::path file;
  FileStamp stamp;
  std::shared_ptr<const Tree> tree;
};

FileCache& Cache() {
  static FileCache c;
  return c;
}

std::optional<std::filesystem::path> RegistryFile() {
  try {
    return PlatformRoot() / "registry.json";
  } catch (const PlatformError&) {
    return std::nullopt;
  }
}

// Reads the file as it is now; a missing file is an empty registry.
Snapshot LoadFile(const std::filesystem::path& file, std::optional<FileStamp>& stamp) {
  stamp = StampOf(file);
  std::error_code ec;
  if (!stamp) {
    if (!std::filesystem::exists(file, ec) && !ec) return {kSuccess, std::make_shared<Tree>()};
    return {kBadRegistry, nullptr};
  }
  std::string content;
  if (!ReadWholeFile(file, content)) return {kBadRegistry, nullptr};
  auto tree = ParseTree(content);
  if (!tree) return {kBadRegistry, nullptr};
  return {kSuccess, std::make_shared<const Tree>(std::move(*tree))};
}

Snapshot Current() {
  auto file = RegistryFile();
  if (!file) return {kBadRegistry, nullptr};
  FileCache& c = Cache();
  std::lock_guard lock(c.mutex);
  auto stamp = StampOf(*file);
  if (stamp && c.tree && c.file == *file && c.stamp == *stamp && !stamp->Recent())
    return {kSuccess, c.tree};
  std::optional<FileStamp> loadedStamp;
  Snapshot s = LoadFile(*file, loadedStamp);
  if (s.status == kSuccess && loadedStamp) {
    c.file = *file;
    c.stamp = *loadedStamp;
    c.tree = s.tree;
  }
  return s;
}

// Applies change to the registry as it is in the file right now and saves the result; the
// lock file keeps another process from saving in between.
Status Write(const std::function<Status(Tree&)>& change) {
  auto file = RegistryFile();
  if (!file) return kBadRegistry;
  FileCache& c = Cache();
  std::lock_guard writing(c.writeMutex);
  std::filesystem::path lockFile = *file;
  lockFile += ".lock";
  FileLock lock(lockFile);
  if (!lock.locked()) return kAccessDenied;
  std::optional<FileStamp> stamp;
  Snapshot s = LoadFile(*file, stamp);
  if (s.status != kSuccess) return s.status;
  auto tree = std::make_shared<Tree>(*s.tree);
  if (Status st = change(*tree); st != kSuccess) return st;
  std::string content;
  try {
    content = SerializeTree(*tree);
  } catch (const nlohmann::json::exception&) {
    return kInvalidParameter;  // names or data that are not UTF-8 text
  }
  if (FaultHit(Fault::kRegistryWrite)) return kAccessDenied;
  if (WriteFileAtomically(*file, content) != 0) return kAccessDenied;
  std::lock_guard cacheLock(c.mutex);
  if (auto now = StampOf(*file)) {
    c.file = *file;
    c.stamp = *now;
    c.tree = std::move(tree);
  }
  return kSuccess;
}

struct Handle {
  Hive hive;
  std::string path;
};

struct Handles {
  std::mutex mutex;
  std::map<Key, Handle> open;
  Key next = 1;
};

Handles& HandleTable() {
  static Handles h;
  return h;
}

Key NewHandle(Hive hive, std::string path) {
  Handles& t = HandleTable();
  std::lock_guard lock(t.mutex);
  Key k = t.next++;
  t.open.emplace(k, Handle{hive, std::move(path)});
  return k;
}

std::optional<Handle> Lookup(Key key) {
  Handles& t = HandleTable();
  std::lock_guard lock(t.mutex);
  auto it = t.open.find(key);
  if (it == t.open.end()) return std::nullopt;
  return it->second;
}

bool ValidHive(Hive hive) {
  return static_cast<size_t>(hive) < kHiveNames.size();
}

const Value* FindValue(const KeyEntry& entry, const std::string& name) {
  for (const Value& v : entry.values)
    if (text::EqualsNoCase(v.name, name)) return &v;
  return nullptr;
}

// Finds the value name of the key behind handle; kFileNotFound when key or value is absent.
Status ReadValue(Key key, const std::string& name, ValueType type, Value& out) {
  auto h = Lookup(key);
  if (!h) return kInvalidHandle;
  Snapshot s = Current();
  if (s.status != kSuccess) return s.status;
  const HiveMap& hive = s.tree->of(h->hive);
  auto it = hive.find(text::ToLower(h->path));
  if (it == hive.end()) return kFileNotFound;
  const Value* v = FindValue(it->second, name);
  if (!v) return kFileNotFound;
  if (v->type != type) return kInvalidParameter;
  out = *v;
  return kSuccess;
}

Status WriteValue(Key key, Value value) {
  auto h = Lookup(key);
  if (!h) return kInvalidHandle;
  if (HasNul(value.name) || HasNul(value.text)) return kInvalidParameter;
  for (const std::string& e : value.list)
    if (HasNul(e)) return kInvalidParameter;
  return Write([&](Tree& tree) {
    HiveMap& hive = tree.of(h->hive);
    if (!KeyExists(hive, h->path)) return kFileNotFound;
    KeyEntry& entry = hive.try_emplace(text::ToLower(h->path), KeyEntry{h->path, {}}).first->second;
    for (Value& v : entry.values) {
      if (text::EqualsNoCase(v.name, value.name)) {
        value.name = v.name;  // the first spelling stays
        v = std::move(value);
        return kSuccess;
      }
    }
    entry.values.push_back(std::move(value));
    return kSuccess;
  });
}

std::string Encode(const Value& v) {
  switch (v.type) {
    case ValueType::kString:
      return v.text + '\0';
    case ValueType::kMultiString: {
      std::string out;
      for (const std::string& e : v.list) out += e + '\0';
      return out + '\0';
    }
    case ValueType::kDword: {
      std::string out(4, '\0');
      for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v.dword >> (8 * i)) & 0xFF);
      return out;
    }
  }
  return {};
}

}  // namespace

Status OpenKey(Hive hive, const std::string& path, Key& key) {
  key = 0;
  if (!ValidHive(hive)) return kInvalidParameter;
  Snapshot s = Current();
  if (s.status != kSuccess) return s.status;
  std::string norm = NormalizePath(path);
  if (!KeyExists(s.tree->of(hive), norm)) return kFileNotFound;
  key = NewHandle(hive, std::move(norm));
  return kSuccess;
}

Status CreateKey(Hive hive, const std::string& path, Key& key) {
  key = 0;
  if (!ValidHive(hive)) return kInvalidParameter;
  std::string norm = NormalizePath(path);
  if (HasNul(norm)) return kInvalidParameter;
  Snapshot s = Current();
  if (s.status != kSuccess) return s.status;
  if (!KeyExists(s.tree->of(hive), norm)) {
    Status st = Write([&](Tree& tree) {
      HiveMap& h = tree.of(hive);
      if (!norm.empty() && !KeyExists(h, norm)) h.emplace(text::ToLower(norm), KeyEntry{norm, {}});
      return kSuccess;
    });
    if (st != kSuccess) return st;
  }
  key = NewHandle(hive, std::move(norm));
  return kSuccess;
}

Status CloseKey(Key key) {
  Handles& t = HandleTable();
  std::lock_guard lock(t.mutex);
  return t.open.erase(key) ? kSuccess : kInvalidHandle;
}

Status DeleteKey(Hive hive, const std::string& path) {
  if (!ValidHive(hive)) return kInvalidParameter;
  std::string norm = NormalizePath(path);
  if (norm.empty()) return kAccessDenied;  // a hive itself cannot go
  return Write([&](Tree& tree) {
    HiveMap& h = tree.of(hive);
    if (!KeyExists(h, norm)) return kFileNotFound;
    const std::string lower = text::ToLower(norm);
    h.erase(lower);
    auto first = h.lower_bound(lower + '\\');
    auto last = first;
    while (last != h.end() && last->first.compare(0, lower.size() + 1, lower + '\\') == 0) ++last;
    h.erase(first, last);
    return kSuccess;
  });
}

Status EnumKey(Key key, uint32_t index, std::string& name) {
  name.clear();
  auto h = Lookup(key);
  if (!h) return kInvalidHandle;
  Snapshot s = Current();
  if (s.status != kSuccess) return s.status;
  const HiveMap& hive = s.tree->of(h->hive);
  if (!KeyExists(hive, h->path)) return kFileNotFound;
  const std::string prefix = h->path.empty() ? "" : text::ToLower(h->path) + '\\';
  // Children by lower-case name, spelled as in the first key path that names them.
  std::map<std::string, std::string> children;
  for (auto it = hive.lower_bound(prefix);
       it != hive.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
    std::string rest = it->second.path.substr(prefix.size());
    std::string child = rest.substr(0, rest.find('\\'));
    children.try_emplace(text::ToLower(child), child);
  }
  if (index >= children.size()) return kNoMoreItems;
  auto it = children.begin();
  std::advance(it, index);
  name = it->second;
  return kSuccess;
}

Status EnumValue(Key key, uint32_t index, uint32_t nameCapacity, uint32_t dataCapacity,
                 std::string& name, ValueType& type, std::string& data) {
  name.clear();
  data.clear();
  auto h = Lookup(key);
  if (!h) return kInvalidHandle;
  Snapshot s = Current();
  if (s.status != kSuccess) return s.status;
  const HiveMap& hive = s.tree->of(h->hive);
  if (!KeyExists(hive, h->path)) return kFileNotFound;
  auto it = hive.find(text::ToLower(h->path));
  if (it == hive.end() || index >= it->second.values.size()) return kNoMoreItems;
  const Value& v = it->second.values[index];
  type = v.type;
  std::string bytes = Encode(v);
  if (v.name.size() + 1 > nameCapacity || bytes.size() > dataCapacity) return kMoreData;
  name = v.name;
  data = std::move(bytes);
  return kSuccess;
}

Status QueryString(Key key, const std::string& name, std::string& value) {
  Value v;
  Status st = ReadValue(key, name, ValueType::kString, v);
  if (st == kSuccess) value = v.text;
  return st;
}

Status QueryMultiString(Key key, const std::string& name, std::vector<std::string>& value) {
  Value v;
  Status st = ReadValue(key, name, ValueType::kMultiString, v);
  if (st == kSuccess) value = v.list;
  return st;
}

Status QueryDword(Key key, const std::string& name, uint32_t& value) {
  Value v;
  Status st = ReadValue(key, name, ValueType::kDword, v);
  if (st == kSuccess) value = v.dword;
  return st;
}

Status SetString(Key key, const std::string& name, const std::string& value) {
  Value v;
  v.name = name;
  v.type = ValueType::kString;
  v.text = value;
  return WriteValue(key, std::move(v));
}

Status SetMultiString(Key key, const std::string& name, const std::vector<std::string>& value) {
  Value v;
  v.name = name;
  v.type = ValueType::kMultiString;
  v.list = value;
  return WriteValue(key, std::move(v));
}

Status SetDword(Key key, const std::string& name, uint32_t value) {
  Value v;
  v.name = name;
  v.type = ValueType::kDword;
  v.dword = value;
  return WriteValue(key, std::move(v));
}

Status DeleteValue(Key key, const std::string& name) {
  auto h = Lookup(key);
  if (!h) return kInvalidHandle;
  return Write([&](Tree& tree) {
    HiveMap& hive = tree.of(h->hive);
    auto it = hive.find(text::ToLower(h->path));
    if (it == hive.end()) return kFileNotFound;
    auto& values = it->second.values;
    for (auto v = values.begin(); v != values.end(); ++v) {
      if (text::EqualsNoCase(v->name, name)) {
        values.erase(v);
        return kSuccess;
      }
    }
    return kFileNotFound;
  });
}

bool ParseKeyPath(const std::string& textPath, Hive& hive, std::string& path) {
  static const struct {
    const char* name;
    Hive hive;
  } kNames[] = {{"HKLM", Hive::kLocalMachine}, {"HKEY_LOCAL_MACHINE", Hive::kLocalMachine},
                {"HKCR", Hive::kClassesRoot},  {"HKEY_CLASSES_ROOT", Hive::kClassesRoot},
                {"HKCU", Hive::kCurrentUser},  {"HKEY_CURRENT_USER", Hive::kCurrentUser}};
  size_t sep = textPath.find('\\');
  std::string head = textPath.substr(0, sep);
  for (const auto& n : kNames) {
    if (text::EqualsNoCase(head, n.name)) {
      hive = n.hive;
      path = sep == std::string::npos ? "" : NormalizePath(textPath.substr(sep + 1));
      return true;
    }
  }
  return false;
}

}  // namespace drossgate::platform::registry
