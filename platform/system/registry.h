#pragma once
// The registry: hives, keys and typed values (string, multi-string, dword), persisted in the
// platform root's registry.json. The calls have the shape of the Win32 registry API: they
// return a status code and never throw; every write is saved before it returns (atomically,
// under a file lock, so several processes may share the file). An unreadable registry.json makes
// every call return kBadRegistry; a missing one is an empty registry.
//
// registry.json: {"HKEY_LOCAL_MACHINE": {"SYSTEM\\CurrentControlSet\\...": {"values": [
//   {"name": "PickUp", "type": "multi_sz", "data": ["Path=/srv/pickup", ...]},
//   {"name": "", "type": "sz", "data": "the default value"},
//   {"name": "Count", "type": "dword", "data": 3}]}, ...}, "HKEY_CLASSES_ROOT": {...},
//   "HKEY_CURRENT_USER": {...}}
// One entry per key by its full path as first written; the ancestors of a key exist without
// entries of their own. Key and value names compare without regard to case.

#include <cstdint>
#include <string>
#include <vector>

namespace drossgate::platform::registry {

using Status = int32_t;
inline constexpr Status kSuccess = 0;
inline constexpr Status kFileNotFound = 2;
inline constexpr Status kAccessDenied = 5;
inline constexpr Status kInvalidHandle = 6;
inline constexpr Status kInvalidParameter = 87;
inline constexpr Status kMoreData = 234;
inline constexpr Status kNoMoreItems = 259;
inline constexpr Status kBadRegistry = 1009;  // registry.json unreadable

enum class Hive { kLocalMachine, kClassesRoot, kCurrentUser };

enum class ValueType : uint32_t { kString = 1, kDword = 4, kMultiString = 7 };

// An open key. Values of a key keep the order in which they were first set.
using Key = intptr_t;

Status OpenKey(Hive hive, const std::string& path, Key& key);  // kFileNotFound when absent
Status CreateKey(Hive hive, const std::string& path, Key& key);
Status CloseKey(Key key);
Status DeleteKey(Hive hive, const std::string& path);  // the key and everything below it
// Subkey name by index, as RegEnumKeyEx: names in order without regard to case, kNoMoreItems
// past the last one.
Status EnumKey(Key key, uint32_t index, std::string& name);

// Value by index, as RegEnumValue: nameCapacity and dataCapacity are the caller's buffer
// sizes in characters/bytes (the name needs room for its terminating NUL). kMoreData when
// either is too small, kNoMoreItems past the last value. Data comes as the raw bytes:
// strings NUL-terminated, multi-strings as NUL-separated entries ending in two NULs, dwords as
// 4 little-endian bytes.
Status EnumValue(Key key, uint32_t index, uint32_t nameCapacity, uint32_t dataCapacity,
                 std::string& name, ValueType& type, std::string& data);

Status QueryString(Key key, const std::string& name, std::string& value);
Status QueryMultiString(Key key, const std::string& name, std::vector<std::string>& value);
Status QueryDword(Key key, const std::string& name, uint32_t& value);
Status SetString(Key key, const std::string& name, const std::string& value);
Status SetMultiString(Key key, const std::string& name, const std::vector<std::string>& value);
Status SetDword(Key key, const std::string& name, uint32_t value);
Status DeleteValue(Key key, const std::string& name);

// Convenience for hosts: path parsing of "HKLM\\...", "HKEY_CLASSES_ROOT\\..." and the like.
bool ParseKeyPath(const std::string& text, Hive& hive, std::string& path);

}  // namespace drossgate::platform::registry
