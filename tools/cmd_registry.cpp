// registry get|set|delete: reads and writes the platform's registry.json through the registry
// calls, so what the tool shows is what the deliverables see.
#include <cstdint>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "system/registry.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::tools {

namespace {

using namespace platform::registry;

const char* TypeName(ValueType t) {
  switch (t) {
    case ValueType::kString:
      return "sz";
    case ValueType::kMultiString:
      return "multi_sz";
    case ValueType::kDword:
      return "dword";
  }
  return "?";
}

[[noreturn]] void RaiseStatus(Status st, const std::string& what) {
  switch (st) {
    case kFileNotFound:
      throw std::runtime_error(what + " does not exist");
    case kBadRegistry:
      throw std::runtime_error("the registry file " +
                               (platform::PlatformRoot() / "registry.json").string() +
                               " is unreadable");
    case kAccessDenied:
      throw std::runtime_error("cannot write the registry file for " + what);
    case kInvalidParameter:
      throw std::runtime_error(what +
                               ": invalid request (wrong value type, or text that is not UTF-8 "
                               "or holds a NUL character)");
    default:
      throw std::runtime_error(what + ": registry error " + std::to_string(st));
  }
}

void Check(Status st, const std::string& what) {
  if (st != kSuccess) RaiseStatus(st, what);
}

struct KeyArg {
  Hive hive;
  std::string path;
};

KeyArg ParseKey(const std::string& text) {
  KeyArg k{};
  if (!ParseKeyPath(text, k.hive, k.path))
    throw UsageError("\"" + text +
                     "\" is not a registry key (start it with HKLM\\, HKCR\\ or HKCU\\)");
  return k;
}

// Closes the key on every way out.
struct OpenedKey {
  Key key = 0;
  ~OpenedKey() {
    if (key) CloseKey(key);
  }
};

struct TypedValue {
  std::string name;
  ValueType type = ValueType::kString;
  std::string text;
  std::vector<std::string> list;
  uint32_t dword = 0;
};

TypedValue ReadValue(Key key, const std::string& name, ValueType type, const std::string& what) {
  TypedValue v{name, type, {}, {}, 0};
  switch (type) {
    case ValueType::kString:
      Check(QueryString(key, name, v.text), what);
      break;
    case ValueType::kMultiString:
      Check(QueryMultiString(key, name, v.list), what);
      break;
    case ValueType::kDword:
      Check(QueryDword(key, name, v.dword), what);
      break;
  }
  return v;
}

// The value's type, found by enumerating the key (the typed queries need it up front).
std::optional<ValueType> TypeOf(Key key, const std::string& name) {
  constexpr uint32_t kAll = std::numeric_limits<uint32_t>::max();
  std::string n, data;
  ValueType type{};
  for (uint32_t i = 0;; ++i) {
    Status st = EnumValue(key, i, kAll, kAll, n, type, data);
    if (st == kNoMoreItems) return std::nullopt;
    Check(st, "the value \"" + name + "\"");
    if (text::EqualsNoCase(n, name)) return type;
  }
}

nlohmann::ordered_json ToJson(const TypedValue& v) {
  nlohmann::ordered_json j = {{"name", v.name}, {"type", TypeName(v.type)}};
  switch (v.type) {
    case ValueType::kString:
      j["data"] = v.text;
      break;
    case ValueType::kMultiString:
      j["data"] = v.list;
      break;
    case ValueType::kDword:
      j["data"] = v.dword;
      break;
  }
  return j;
}

void PrintData(const TypedValue& v, const std::string& indent) {
  switch (v.type) {
    case ValueType::kString:
      std::cout << indent << v.text << "\n";
      break;
    case ValueType::kMultiString:
      for (const std::string& e : v.list) std::cout << indent << e << "\n";
      break;
    case ValueType::kDword:
      std::cout << indent << v.dword << "\n";
      break;
  }
}

struct GetArgs {
  std::string key;
  std::string value;
  bool json = false;
};

void Get(const GetArgs& a, bool valueGiven) {
  KeyArg k = ParseKey(a.key);
  OpenedKey key;
  Check(OpenKey(k.hive, k.path, key.key), "the key " + a.key);
  if (valueGiven) {
    const std::string what = "the value \"" + a.value + "\" of " + a.key;
    auto type = TypeOf(key.key, a.value);
    if (!type) RaiseStatus(kFileNotFound, what);
    TypedValue v = ReadValue(key.key, a.value, *type, what);
    if (a.json)
      std::cout << ToJson(v).dump(2) << "\n";
    else
      PrintData(v, "");
    return;
  }
  constexpr uint32_t kAll = std::numeric_limits<uint32_t>::max();
  std::vector<TypedValue> values;
  std::string name, data;
  ValueType type{};
  for (uint32_t i = 0;; ++i) {
    Status st = EnumValue(key.key, i, kAll, kAll, name, type, data);
    if (st == kNoMoreItems) break;
    Check(st, "the key " + a.key);
    values.push_back(ReadValue(key.key, name, type, "the value \"" + name + "\" of " + a.key));
  }
  std::vector<std::string> subkeys;
  for (uint32_t i = 0;; ++i) {
    Status st = EnumKey(key.key, i, name);
    if (st == kNoMoreItems) break;
    Check(st, "the key " + a.key);
    subkeys.push_back(name);
  }
  if (a.json) {
    nlohmann::ordered_json j = {
        {"key", a.key}, {"values", nlohmann::ordered_json::array()}, {"subkeys", subkeys}};
    for (const TypedValue& v : values) j["values"].push_back(ToJson(v));
    std::cout << j.dump(2) << "\n";
    return;
  }
  for (const TypedValue& v : values) {
    std::cout << (v.name.empty() ? "(default)" : v.name) << " (" << TypeName(v.type) << ")";
    if (v.type == ValueType::kMultiString) {
      std::cout << ":\n";
      PrintData(v, "  ");
    } else {
      std::cout << ": ";
      PrintData(v, "");
    }
  }
  for (const std::string& s : subkeys) std::cout << s << "\\\n";
}

struct SetArgs {
  std::string key;
  std::string value;
  std::string type;
  std::vector<std::string> data;
};

uint32_t ParseDword(const std::string& text) {
  size_t used = 0;
  unsigned long long n = 0;
  try {
    if (!text.empty() && text[0] != '-' && text[0] != '+') n = std::stoull(text, &used, 0);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || n > 0xFFFFFFFFull)
    throw UsageError("\"" + text + "\" is not a dword (0 to 4294967295, or 0x hexadecimal)");
  return static_cast<uint32_t>(n);
}

void Set(const SetArgs& a) {
  KeyArg k = ParseKey(a.key);
  if (a.type != "multi_sz" && a.data.size() != 1)
    throw UsageError("a " + a.type + " value takes exactly one DATA argument");
  uint32_t dword = a.type == "dword" ? ParseDword(a.data[0]) : 0;
  OpenedKey key;
  Check(CreateKey(k.hive, k.path, key.key), "the key " + a.key);
  const std::string what = "the value \"" + a.value + "\" of " + a.key;
  if (a.type == "sz")
    Check(SetString(key.key, a.value, a.data[0]), what);
  else if (a.type == "multi_sz")
    Check(SetMultiString(key.key, a.value, a.data), what);
  else
    Check(SetDword(key.key, a.value, dword), what);
}

void Delete(const std::string& keyText, const std::string& value, bool valueGiven) {
  KeyArg k = ParseKey(keyText);
  if (!valueGiven) {
    if (k.path.empty()) throw UsageError("a whole hive cannot be deleted");
    Check(DeleteKey(k.hive, k.path), "the key " + keyText);
    return;
  }
  OpenedKey key;
  Check(OpenKey(k.hive, k.path, key.key), "the key " + keyText);
  Check(DeleteValue(key.key, value), "the value \"" + value + "\" of " + keyText);
}

}  // namespace

void AddRegistryCommands(CLI::App& app) {
  CLI::App* reg = app.add_subcommand("registry", "read and write the platform registry");
  reg->require_subcommand(1);

  auto getArgs = std::make_shared<GetArgs>();
  CLI::App* get = reg->add_subcommand(
      "get", "print a key's values (multi-strings one entry per line) and subkeys, or one value");
  get->add_option("key", getArgs->key, "key, e.g. HKLM\\SYSTEM\\CurrentControlSet")->required();
  CLI::Option* getValue =
      get->add_option("value", getArgs->value, "value name (\"\" for the default value)");
  get->add_flag("--json", getArgs->json, "print JSON");
  get->callback([getArgs, getValue] { Get(*getArgs, getValue->count() > 0); });

  auto setArgs = std::make_shared<SetArgs>();
  CLI::App* set = reg->add_subcommand("set", "create the key if needed and set one value");
  set->add_option("key", setArgs->key, "key, e.g. HKLM\\SOFTWARE\\Example")->required();
  set->add_option("value", setArgs->value, "value name (\"\" for the default value)")->required();
  set->add_option("--type", setArgs->type, "value type")
      ->required()
      ->check(CLI::IsMember({"sz", "multi_sz", "dword"}));
  set->add_option("data", setArgs->data, "the data: one text, one number, or the entries");
  set->callback([setArgs] { Set(*setArgs); });

  auto delKey = std::make_shared<std::string>();
  auto delValue = std::make_shared<std::string>();
  CLI::App* del =
      reg->add_subcommand("delete", "delete a key with everything below it, or one value");
  del->add_option("key", *delKey, "key")->required();
  CLI::Option* delValueOpt = del->add_option("value", *delValue, "value name");
  del->callback(
      [delKey, delValue, delValueOpt] { Delete(*delKey, *delValue, delValueOpt->count() > 0); });
}

}  // namespace drossgate::tools
