#pragma once
// The item tree of store.db, on one session: resolving URLs, building them back, reading and
// writing items, properties and sources. No events are raised here; the access layer decides
// when a write is a save. Failures raise PlatformError.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/engine.h"
#include "store/store.h"

namespace drossgate::platform::store {

// What a URL names: an existing item, or a missing last segment below an existing item.
struct Location {
  bool found = false;
  ItemRow item;                   // when found
  std::optional<ItemRow> parent;  // when not found: the existing item the leaf would go in
  std::string leaf;               // when not found
};

std::optional<ItemRow> GetItem(Session& s, int64_t id);
std::optional<ItemRow> FindChild(Session& s, int64_t parent, std::string_view name);
// nullopt when the URL is not a store URL, holds an unusable segment, or more than its last
// segment is missing.
std::optional<Location> Resolve(Session& s, std::string_view url);
// The existing item at url; raises errors::kNotFound naming the URL.
ItemRow ResolveExisting(Session& s, std::string_view url);
// The same for a file-system path; nullopt when it names nothing.
std::optional<ItemRow> ResolveFileSystemPath(Session& s, std::string_view path);
[[noreturn]] void FailNoItem(std::string_view url);

std::string ItemUrl(Session& s, int64_t id);  // file://./backofficestorage/... as stored
std::vector<ItemRow> Children(Session& s, int64_t parent);
// The parent chain of id, its parent first, up to the top.
std::vector<int64_t> Ancestors(Session& s, int64_t id);
bool SubtreeHasRegistration(Session& s, int64_t id);

// Raises errors::kInvalidArg for a name no item may have.
void CheckItemName(std::string_view name);
// logSeq: the message's delivered row in the delivery log (0: none).
int64_t InsertItem(Session& s, int64_t parent, std::string_view name, int kind, int64_t mailbox,
                   const std::string* source, int64_t logSeq = 0);
// The mailbox's special folders (inbox, outbox, ...) as (property, folder), in the order they
// were made; kept in the transaction's cache.
std::vector<std::pair<std::string, int64_t>> SpecialFolders(Session& s, int64_t mailbox);
// One of them by its property; 0 when the mailbox has none.
int64_t SpecialFolder(Session& s, int64_t mailbox, std::string_view property);
// A folder under parent with its content class and, unless null, its folder class.
int64_t AddFolder(Session& s, const ItemRow& parent, const std::string& name,
                  const char* contentClass, const char* folderClass);
void SetSource(Session& s, int64_t id, std::string_view source);
std::optional<std::string> GetSource(Session& s, int64_t id);
// A name free in parent: base + ext, else base + "-2" + ext, "-3"...
std::string UniqueName(Session& s, int64_t parent, std::string_view base, std::string_view ext);
void DeleteSubtree(Session& s, int64_t id);
void MoveItem(Session& s, const ItemRow& item, const ItemRow& newParent, std::string_view newName);
// A new message below newParent with the source, creation time and properties of message id
// (newName free there); returns its id.
int64_t CopyItem(Session& s, int64_t id, const ItemRow& newParent, std::string_view newName);

struct StoredProperty {
  std::string name;  // as written
  std::string key;
  Value value;
};
std::vector<StoredProperty> LoadProperties(Session& s, int64_t item);
std::optional<Value> LoadProperty(Session& s, int64_t item, std::string_view key);
void WriteProperty(Session& s, int64_t item, std::string_view name, std::string_view key,
                   const Value& value);
void RemoveProperty(Session& s, int64_t item, std::string_view key);
void ClearProperties(Session& s, int64_t item);
// A flag as the deliverables write it: Boolean true, a non-zero number, "true" or "1".
bool IsTrue(const std::optional<Value>& v);
// Re-derives the registration mark from the content class after properties changed; returns
// whether the item is a registration now. Any change to a registration counts as a change of
// the registration list.
bool RefreshRegistrationMark(Session& s, const ItemRow& before);
void SetRegistrationRefused(Session& s, int64_t item, bool refused);
void BumpRegistrationGeneration(Session& s);
int64_t RegistrationGeneration(Session& s);

// The properties the store computes for an item, with their names as the store spells them.
// With values false the URLs are not worked out (they read as null): for listing names.
std::vector<std::pair<std::string, Value>> ComputedProperties(Session& s, const ItemRow& item,
                                                              bool values = true);
// One computed property by its lookup key (names::PropertyKey), without computing the others;
// nullopt when the item has no such computed property.
std::optional<Value> ComputedProperty(Session& s, const ItemRow& item, std::string_view key);
bool IsComputedKey(std::string_view key);

}  // namespace drossgate::platform::store
