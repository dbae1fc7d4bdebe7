#include "store/items.h"

#include <cstdio>
#include <ctime>

#include "error.h"
#include "store/history.h"
#include "store/names.h"
#include "text.h"

namespace drossgate::platform::store {

namespace {

constexpr int64_t kTopId = 1;

ItemRow RowOf(const Stmt& q) {
  ItemRow r;
  r.id = q.Int(0);
  r.parent = q.IsNull(1) ? 0 : q.Int(1);
  r.kind = static_cast<int>(q.Int(2));
  r.name = q.Text(3);
  r.mailbox = q.IsNull(4) ? 0 : q.Int(4);
  r.isReg = q.Int(5) != 0;
  r.regRefused = q.Int(6) != 0;
  return r;
}

std::optional<ItemRow> MailboxByAddress(Session& s, int64_t container, std::string_view seg) {
  Stmt q(
      s,
      "SELECT i.id, i.parent, i.kind, i.name, i.mailbox, i.is_reg, i.reg_refused FROM addresses a "
      "JOIN items i ON i.id = a.mailbox WHERE a.address_key = ?1 AND i.parent = ?2");
  q.Bind(1, names::NameKey(seg)).Bind(2, container);
  if (!q.Step()) return std::nullopt;
  return RowOf(q);
}

std::optional<int64_t> ParseHexId(std::string_view text) {
  if (text.empty() || text.size() > 15) return std::nullopt;
  int64_t v = 0;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return std::nullopt;
    v = v * 16 + d;
  }
  return v;
}

std::string HexId(int64_t id) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(id));
  return buf;
}

// A mailbox is found below its MBX container by alias or by any of its addresses.
std::optional<ItemRow> ChildOf(Session& s, const ItemRow& cur, const std::string& seg) {
  if (cur.kind == kItem) return std::nullopt;
  auto child = FindChild(s, cur.id, seg);
  if (cur.kind != kContainer) return child;
  if (child && child->kind == kMailboxRoot) return child;
  return MailboxByAddress(s, cur.id, seg);
}

// Folder lookups by path, answered from the session's cache inside a write transaction (see
// Session for how long an answer stays valid).
std::optional<ItemRow> CachedChildOf(Session& s, const ItemRow& cur, const std::string& seg,
                                     std::string& pathKey) {
  ItemCache* cache = s.cache();
  pathKey += '/';
  pathKey += names::NameKey(seg);
  if (cache) {
    if (const ItemRow* known = cache->Folder(pathKey)) return *known;
  }
  auto child = ChildOf(s, cur, seg);
  if (cache && child && child->IsFolder()) cache->RememberFolder(pathKey, *child);
  return child;
}

std::optional<Location> ResolveSegments(Session& s, const std::vector<std::string>& segments) {
  std::optional<ItemRow> top;
  ItemCache* cache = s.cache();
  if (const ItemRow* known = cache ? cache->Folder(std::string()) : nullptr) top = *known;
  if (!top) {
    top = GetItem(s, kTopId);
    if (!top) Fail(errors::kCorrupt, "The store " + s.engine().file() + " has no namespace top");
    if (cache) cache->RememberFolder(std::string(), *top);
  }
  ItemRow cur = *top;
  std::string pathKey;
  for (size_t i = 0; i < segments.size(); ++i) {
    const std::string& seg = segments[i];
    if (!names::UsableSegment(seg)) return std::nullopt;
    if (cur.kind == kMailboxRoot && text::EqualsNoCase(seg, names::kFlatUrlSpace)) {
      // The permanent URL: the id of an item of this mailbox, nothing below it.
      if (i + 2 != segments.size()) return std::nullopt;
      auto id = ParseHexId(segments[i + 1]);
      if (!id) return std::nullopt;
      auto item = GetItem(s, *id);
      if (!item || item->mailbox != cur.id) return std::nullopt;
      return Location{true, *item, std::nullopt, {}};
    }
    auto child = CachedChildOf(s, cur, seg, pathKey);
    if (!child) {
      if (i + 1 != segments.size() || cur.kind == kItem) return std::nullopt;
      return Location{false, {}, cur, seg};
    }
    cur = *child;
  }
  return Location{true, cur, std::nullopt, {}};
}

bool IsSpecialFolderKey(std::string_view key) {
  static const char* const kKeys[] = {
      "urn:schemas:httpmail:inbox",        "urn:schemas:httpmail:outbox",
      "urn:schemas:httpmail:sentitems",    "urn:schemas:httpmail:deleteditems",
      "urn:schemas:httpmail:drafts",       "urn:schemas:httpmail:calendar",
      "urn:schemas:httpmail:contacts",     "urn:schemas:httpmail:tasks",
      "urn:schemas:httpmail:notes",        "urn:schemas:httpmail:journal",
      "urn:schemas:httpmail:msgfolderroot"};
  for (const char* k : kKeys)
    if (key == k) return true;
  return false;
}

}  // namespace

std::vector<std::pair<std::string, int64_t>> SpecialFolders(Session& s, int64_t mailbox) {
  ItemCache* cache = s.cache();
  if (cache) {
    if (const auto* known = cache->Special(mailbox)) return *known;
  }
  ItemCache::SpecialFolders special;
  Stmt q(s, "SELECT property, item FROM special_folders WHERE mailbox = ?1 ORDER BY rowid");
  q.Bind(1, mailbox);
  while (q.Step()) special.emplace_back(q.Text(0), q.Int(1));
  if (cache) cache->RememberSpecial(mailbox, special);
  return special;
}

int64_t SpecialFolder(Session& s, int64_t mailbox, std::string_view property) {
  for (const auto& [name, id] : SpecialFolders(s, mailbox))
    if (name == property) return id;
  return 0;
}

std::optional<ItemRow> GetItem(Session& s, int64_t id) {
  ItemCache* cache = s.cache();
  if (cache) {
    if (const ItemRow* known = cache->Row(id)) return *known;
  }
  Stmt q(s, "SELECT id, parent, kind, name, mailbox, is_reg, reg_refused FROM items WHERE id = ?1");
  q.Bind(1, id);
  if (!q.Step()) return std::nullopt;
  ItemRow row = RowOf(q);
  if (cache) cache->RememberRow(row);
  return row;
}

std::optional<ItemRow> FindChild(Session& s, int64_t parent, std::string_view name) {
  Stmt q(s,
         "SELECT id, parent, kind, name, mailbox, is_reg, reg_refused FROM items "
         "WHERE parent = ?1 AND name_key = ?2");
  q.Bind(1, parent).Bind(2, names::NameKey(name));
  if (!q.Step()) return std::nullopt;
  return RowOf(q);
}

std::optional<Location> Resolve(Session& s, std::string_view url) {
  auto segments = names::SplitUrl(url);
  if (!segments) return std::nullopt;
  return ResolveSegments(s, *segments);
}

void FailNoItem(std::string_view url) {
  Fail(errors::kNotFound, "The item " + std::string(url) + " does not exist");
}

ItemRow ResolveExisting(Session& s, std::string_view url) {
  auto loc = Resolve(s, url);
  if (!loc || !loc->found) FailNoItem(url);
  return loc->item;
}

std::optional<ItemRow> ResolveFileSystemPath(Session& s, std::string_view path) {
  auto segments = names::SplitFileSystemPath(path);
  if (!segments) return std::nullopt;
  auto loc = ResolveSegments(s, *segments);
  if (!loc || !loc->found) return std::nullopt;
  return loc->item;
}

std::string ItemUrl(Session& s, int64_t id) {
  if (ItemCache* cache = s.cache()) {
    if (const std::string* known = cache->Url(id)) return *known;
    // Built on the parent's URL, which is usually known already.
    auto row = GetItem(s, id);
    if (!row) Fail(errors::kNotFound, "The item with id " + std::to_string(id) + " does not exist");
    std::string url =
        (row->parent ? ItemUrl(s, row->parent) : std::string("file://.")) + "/" + row->name;
    cache->RememberUrl(id, url);
    return url;
  }
  Stmt q(s,
         "WITH RECURSIVE up(id, parent, name, depth) AS ("
         " SELECT id, parent, name, 0 FROM items WHERE id = ?1"
         " UNION ALL SELECT i.id, i.parent, i.name, up.depth + 1 FROM items i JOIN up ON i.id = "
         "up.parent)"
         " SELECT name FROM up ORDER BY depth DESC");
  q.Bind(1, id);
  std::string url = "file://.";
  bool any = false;
  while (q.Step()) {
    url += '/';
    url += q.Text(0);
    any = true;
  }
  if (!any) Fail(errors::kNotFound, "The item with id " + std::to_string(id) + " does not exist");
  return url;
}

std::vector<ItemRow> Children(Session& s, int64_t parent) {
  Stmt q(s,
         "SELECT id, parent, kind, name, mailbox, is_reg, reg_refused FROM items "
         "WHERE parent = ?1 ORDER BY kind = 5, name_key");
  q.Bind(1, parent);
  std::vector<ItemRow> out;
  while (q.Step()) out.push_back(RowOf(q));
  return out;
}

std::vector<int64_t> Ancestors(Session& s, int64_t id) {
  Stmt q(s,
         "WITH RECURSIVE up(id, parent, depth) AS ("
         " SELECT id, parent, 0 FROM items WHERE id = ?1"
         " UNION ALL SELECT i.id, i.parent, up.depth + 1 FROM items i JOIN up ON i.id = up.parent)"
         " SELECT id FROM up WHERE depth > 0 ORDER BY depth");
  q.Bind(1, id);
  std::vector<int64_t> out;
  while (q.Step()) out.push_back(q.Int(0));
  return out;
}

bool SubtreeHasRegistration(Session& s, int64_t id) {
  std::vector<int64_t> regs;
  {
    Stmt q(s, "SELECT id FROM items WHERE is_reg = 1");
    while (q.Step()) regs.push_back(q.Int(0));
  }
  for (int64_t r : regs) {
    if (r == id) return true;
    for (int64_t a : Ancestors(s, r))
      if (a == id) return true;
  }
  return false;
}

void CheckItemName(std::string_view name) {
  if (!names::UsableSegment(name) || name.find('/') != std::string_view::npos ||
      text::EqualsNoCase(name, names::kFlatUrlSpace) || name.size() > 255)
    Fail(errors::kInvalidArg, "The name \"" + std::string(name) + "\" cannot be given to an item");
}

int64_t InsertItem(Session& s, int64_t parent, std::string_view name, int kind, int64_t mailbox,
                   const std::string* source, int64_t logSeq) {
  CheckItemName(name);
  if (FindChild(s, parent, name))
    Fail(errors::kAlreadyExists, "An item named " + std::string(name) + " already exists there");
  Stmt q(s,
         "INSERT INTO items(parent, kind, name, name_key, mailbox, source, log_seq) "
         "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
  q.Bind(1, parent).Bind(2, int64_t{kind}).Bind(3, name).Bind(4, names::NameKey(name));
  if (mailbox) q.Bind(5, mailbox);
  if (source) q.BindBlob(6, *source);
  if (logSeq) q.Bind(7, logSeq);
  q.Run();
  int64_t id = s.LastInsertId();
  if (kind == kMailboxRoot) {
    Stmt u(s, "UPDATE items SET mailbox = ?1 WHERE id = ?1");
    u.Bind(1, id).Run();
    s.ForgetCachedItems();
  }
  return id;
}

int64_t AddFolder(Session& s, const ItemRow& parent, const std::string& name,
                  const char* contentClass, const char* folderClass) {
  const int64_t id = InsertItem(s, parent.id, name, kFolder, parent.mailbox, nullptr);
  WriteProperty(s, id, names::kContentClassName, names::PropertyKey(names::kContentClassName),
                std::string(contentClass));
  if (folderClass)
    WriteProperty(s, id, names::kFolderClassName, names::PropertyKey(names::kFolderClassName),
                  std::string(folderClass));
  return id;
}

void SetSource(Session& s, int64_t id, std::string_view source) {
  Stmt q(s, "UPDATE items SET source = ?2 WHERE id = ?1");
  q.Bind(1, id).BindBlob(2, source).Run();
}

std::optional<std::string> GetSource(Session& s, int64_t id) {
  Stmt q(s, "SELECT source FROM items WHERE id = ?1");
  q.Bind(1, id);
  if (!q.Step() || q.IsNull(0)) return std::nullopt;
  return q.Text(0);
}

std::string UniqueName(Session& s, int64_t parent, std::string_view base, std::string_view ext) {
  std::string first = std::string(base) + std::string(ext);
  if (!FindChild(s, parent, first)) return first;
  const std::string baseKey = names::NameKey(first);
  int64_t n = 2;
  {
    Stmt q(s, "SELECT next FROM name_seq WHERE parent = ?1 AND base_key = ?2");
    q.Bind(1, parent).Bind(2, baseKey);
    if (q.Step()) n = std::max<int64_t>(2, q.Int(0));
  }
  std::string name;
  for (;; ++n) {
    name = std::string(base) + "-" + std::to_string(n) + std::string(ext);
    if (!FindChild(s, parent, name)) break;
  }
  Stmt u(s,
         "INSERT INTO name_seq(parent, base_key, next) VALUES (?1, ?2, ?3) "
         "ON CONFLICT(parent, base_key) DO UPDATE SET next = excluded.next");
  u.Bind(1, parent).Bind(2, baseKey).Bind(3, n + 1).Run();
  return name;
}

void DeleteSubtree(Session& s, int64_t id) {
  auto row = GetItem(s, id);
  if (row && !row->IsFolder()) {
    // A message has nothing below it and is nobody's special folder or name sequence.
    s.ForgetCachedItem(*row);
    ClearProperties(s, id);
    Stmt(s, "DELETE FROM items WHERE id = ?1").Bind(1, id).Run();
    return;
  }
  s.ForgetCachedItems();
  static const char* const kSteps[] = {
      "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT i.id FROM items i JOIN sub ON "
      "i.parent = sub.id)"
      " DELETE FROM properties WHERE item IN sub",
      "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT i.id FROM items i JOIN sub ON "
      "i.parent = sub.id)"
      " DELETE FROM name_seq WHERE parent IN sub",
      "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT i.id FROM items i JOIN sub ON "
      "i.parent = sub.id)"
      " DELETE FROM special_folders WHERE item IN sub",
      "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT i.id FROM items i JOIN sub ON "
      "i.parent = sub.id)"
      " DELETE FROM items WHERE id IN sub"};
  for (const char* sql : kSteps) Stmt(s, sql).Bind(1, id).Run();
}

void MoveItem(Session& s, const ItemRow& item, const ItemRow& newParent, std::string_view newName) {
  CheckItemName(newName);
  s.ForgetCachedItem(item);
  {
    Stmt q(s, "UPDATE items SET parent = ?2, name = ?3, name_key = ?4 WHERE id = ?1");
    q.Bind(1, item.id)
        .Bind(2, newParent.id)
        .Bind(3, newName)
        .Bind(4, names::NameKey(newName))
        .Run();
  }
  if (newParent.mailbox != item.mailbox) {
    Stmt q(s,
           "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT i.id FROM items i JOIN sub ON "
           "i.parent = sub.id)"
           " UPDATE items SET mailbox = ?2 WHERE id IN sub");
    q.Bind(1, item.id).Bind(2, newParent.mailbox).Run();
  }
}

int64_t CopyItem(Session& s, int64_t id, const ItemRow& newParent, std::string_view newName) {
  CheckItemName(newName);
  Stmt(s,
       "INSERT INTO items(parent, kind, name, name_key, mailbox, source, created) "
       "SELECT ?2, kind, ?3, ?4, ?5, source, created FROM items WHERE id = ?1 AND kind = 5")
      .Bind(1, id)
      .Bind(2, newParent.id)
      .Bind(3, newName)
      .Bind(4, names::NameKey(newName))
      .Bind(5, newParent.mailbox)
      .Run();
  if (s.Changes() != 1) Fail(errors::kNotFound, "The message to copy no longer exists");
  const int64_t copy = s.LastInsertId();
  Stmt(s,
       "INSERT INTO properties(item, name_key, position, name, type, value) "
       "SELECT ?2, name_key, position, name, type, value FROM properties WHERE item = ?1")
      .Bind(1, id)
      .Bind(2, copy)
      .Run();
  return copy;
}

std::vector<StoredProperty> LoadProperties(Session& s, int64_t item) {
  Stmt q(s, "SELECT name, name_key, type, value FROM properties WHERE item = ?1 ORDER BY position");
  q.Bind(1, item);
  std::vector<StoredProperty> out;
  while (q.Step()) out.push_back({q.Text(0), q.Text(1), q.ValueAt(2, 3)});
  return out;
}

std::optional<Value> LoadProperty(Session& s, int64_t item, std::string_view key) {
  Stmt q(s, "SELECT type, value FROM properties WHERE item = ?1 AND name_key = ?2");
  q.Bind(1, item).Bind(2, key);
  if (!q.Step()) return std::nullopt;
  return q.ValueAt(0, 1);
}

void WriteProperty(Session& s, int64_t item, std::string_view name, std::string_view key,
                   const Value& value) {
  // A delivered message's SCL change is an event of the delivery log.
  static const std::string sclKey = names::PropertyKey(names::kSclName);
  const bool scl = key == sclKey;
  const std::optional<Value> before = scl ? LoadProperty(s, item, key) : std::nullopt;
  Stmt q(s,
         "INSERT INTO properties(item, name_key, position, name, type, value) VALUES (?1, ?2, "
         "(SELECT COALESCE(MAX(position), 0) + 1 FROM properties WHERE item = ?1), ?3, ?4, ?5) "
         "ON CONFLICT(item, name_key) DO UPDATE SET name = excluded.name, type = excluded.type, "
         "value = excluded.value");
  q.Bind(1, item).Bind(2, key).Bind(3, name).BindValue(4, 5, value).Run();
  if (scl && before != value) history::Record(s, item, history::kScl, ValueText(value));
}

void RemoveProperty(Session& s, int64_t item, std::string_view key) {
  Stmt(s, "DELETE FROM properties WHERE item = ?1 AND name_key = ?2")
      .Bind(1, item)
      .Bind(2, key)
      .Run();
}

void ClearProperties(Session& s, int64_t item) {
  Stmt(s, "DELETE FROM properties WHERE item = ?1").Bind(1, item).Run();
}

bool IsTrue(const std::optional<Value>& v) {
  if (!v) return false;
  if (auto b = std::get_if<bool>(&*v)) return *b;
  if (auto i = std::get_if<int32_t>(&*v)) return *i != 0;
  if (auto t = std::get_if<std::string>(&*v))
    return text::EqualsNoCase(text::Trim(*t), "true") || text::Trim(*t) == "1";
  return false;
}

bool RefreshRegistrationMark(Session& s, const ItemRow& before) {
  auto cls = LoadProperty(s, before.id, names::kContentClass);
  const auto* text = cls ? std::get_if<std::string>(&*cls) : nullptr;
  bool isReg = text && text::EqualsNoCase(text::Trim(*text), names::kRegistrationClass);
  if (isReg != before.isReg) {
    Stmt(s, "UPDATE items SET is_reg = ?2 WHERE id = ?1")
        .Bind(1, before.id)
        .Bind(2, int64_t{isReg})
        .Run();
    s.ForgetCachedItems();
  }
  if (isReg || before.isReg) BumpRegistrationGeneration(s);
  return isReg;
}

void SetRegistrationRefused(Session& s, int64_t item, bool refused) {
  s.ForgetCachedItems();
  Stmt(s, "UPDATE items SET reg_refused = ?2 WHERE id = ?1")
      .Bind(1, item)
      .Bind(2, int64_t{refused})
      .Run();
}

void BumpRegistrationGeneration(Session& s) {
  Stmt(s, "UPDATE meta SET value = value + 1 WHERE key = 'reg_generation'").Run();
}

int64_t RegistrationGeneration(Session& s) {
  Stmt q(s, "SELECT value FROM meta WHERE key = 'reg_generation'");
  return q.Step() ? q.Int(0) : 0;
}

// DAV:creationdate, as ISO 8601 UTC; nullopt when the time is unknown.
std::optional<Value> CreationDate(Session& s, int64_t id) {
  Stmt q(s, "SELECT created FROM items WHERE id = ?1 AND created > 0");
  q.Bind(1, id);
  if (!q.Step()) return std::nullopt;
  const std::time_t t = static_cast<std::time_t>(q.Int(0));
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return Value(std::string(text));
}

bool IsComputedKey(std::string_view key) {
  return key == names::kHref || key == names::kParentName || key == names::kDisplayName ||
         key == names::kCreationDate || key == names::kIsCollection || key == names::kIsFolder ||
         key == names::kPermanentUrl || key == names::kContentLength || IsSpecialFolderKey(key);
}

std::vector<std::pair<std::string, Value>> ComputedProperties(Session& s, const ItemRow& item,
                                                              bool values) {
  auto url = [&](int64_t id) { return values ? Value(ItemUrl(s, id)) : Value(); };
  std::vector<std::pair<std::string, Value>> out;
  out.emplace_back("DAV:href", url(item.id));
  if (item.parent) out.emplace_back("DAV:parentname", url(item.parent));
  out.emplace_back("DAV:displayname", item.name);
  out.emplace_back("DAV:iscollection", item.IsFolder());
  out.emplace_back("DAV:isfolder", item.IsFolder());
  out.emplace_back("DAV:ishidden", false);  // the stored flag, when there is one, wins
  if (item.mailbox) {
    Value permanent;
    if (values) {
      std::string root = item.mailbox == item.id ? std::get<std::string>(out.front().second)
                                                 : ItemUrl(s, item.mailbox);
      permanent = root + "/" + names::kFlatUrlSpace + "/" + HexId(item.id);
    }
    out.emplace_back("http://schemas.microsoft.com/exchange/permanenturl", permanent);
  }
  out.emplace_back("DAV:creationdate",
                   values ? CreationDate(s, item.id).value_or(Value()) : Value());
  if (item.kind == kItem) {
    Stmt q(s, "SELECT length(source) FROM items WHERE id = ?1 AND source IS NOT NULL");
    q.Bind(1, item.id);
    if (q.Step()) out.emplace_back("DAV:getcontentlength", static_cast<int32_t>(q.Int(0)));
  }
  if (item.kind == kMailboxRoot) {
    for (const auto& [name, id] : SpecialFolders(s, item.id)) out.emplace_back(name, url(id));
    out.emplace_back("urn:schemas:httpmail:msgfolderroot", out.front().second);
  }
  return out;
}

std::optional<Value> ComputedProperty(Session& s, const ItemRow& item, std::string_view key) {
  static const std::string kHref = names::PropertyKey("DAV:href");
  static const std::string kParent = names::PropertyKey("DAV:parentname");
  static const std::string kDisplay = names::PropertyKey("DAV:displayname");
  static const std::string kIsCollection = names::PropertyKey("DAV:iscollection");
  static const std::string kIsFolder = names::PropertyKey("DAV:isfolder");
  static const std::string kHidden = names::PropertyKey("DAV:ishidden");
  static const std::string kPermanent =
      names::PropertyKey("http://schemas.microsoft.com/exchange/permanenturl");
  static const std::string kLength = names::PropertyKey("DAV:getcontentlength");
  static const std::string kRoot = names::PropertyKey("urn:schemas:httpmail:msgfolderroot");
  if (key == kHref) return ItemUrl(s, item.id);
  if (key == kParent)
    return item.parent ? std::optional<Value>(ItemUrl(s, item.parent)) : std::nullopt;
  if (key == kDisplay) return item.name;
  if (key == names::kCreationDate) return CreationDate(s, item.id);
  if (key == kIsCollection || key == kIsFolder) return item.IsFolder();
  if (key == kHidden) return false;
  if (key == kPermanent) {
    if (!item.mailbox) return std::nullopt;
    return ItemUrl(s, item.mailbox) + "/" + names::kFlatUrlSpace + "/" + HexId(item.id);
  }
  // The rest are rarer: take them from the full list, so both stay one definition.
  if (key != kLength && !(item.kind == kMailboxRoot)) return std::nullopt;
  if (key == kRoot && item.kind == kMailboxRoot) return ItemUrl(s, item.id);
  if (item.kind == kMailboxRoot) {
    for (const auto& [name, id] : SpecialFolders(s, item.id))
      if (names::PropertyKey(name) == key) return ItemUrl(s, id);
  }
  for (auto& [name, value] : ComputedProperties(s, item))
    if (names::PropertyKey(name) == key) return value;
  return std::nullopt;
}

}  // namespace drossgate::platform::store
