// A mail client's view of one mailbox, on the store's engine. UIDs and UIDVALIDITY come from the
// tables the schema's triggers keep (engine.h), so this file only reads them.
#include "store/mailstore.h"

#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <tuple>

#include "error.h"
#include "store/access.h"
#include "store/dispatcher.h"
#include "store/items.h"
#include "store/mime.h"
#include "store/names.h"
#include "text.h"

namespace drossgate::platform::store::mail {

namespace {

// The system flags in the order clients get them, with the property each is kept in.
struct SystemFlag {
  const char* flag;
  const char* property;
};
constexpr SystemFlag kSystemFlags[] = {{kSeen, names::kReadName},
                                       {kAnswered, names::kAnsweredName},
                                       {kFlagged, names::kFlaggedName},
                                       {kDeleted, names::kDeletedName},
                                       {kDraft, names::kDraftName}};
constexpr size_t kFlagCount = std::size(kSystemFlags);
constexpr size_t kSeenFlag = 0, kDeletedFlag = 3;
static_assert(kSystemFlags[kSeenFlag].flag == kSeen && kSystemFlags[kDeletedFlag].flag == kDeleted);

const std::string& FlagKey(size_t i) {
  static const std::vector<std::string> keys = [] {
    std::vector<std::string> k;
    for (const SystemFlag& f : kSystemFlags) k.push_back(names::PropertyKey(f.property));
    return k;
  }();
  return keys[i];
}
const std::string& KeywordsKey() {
  static const std::string key = names::PropertyKey(names::kKeywordsName);
  return key;
}

struct Flags {
  bool system[kFlagCount] = {};
  std::vector<std::string> keywords;  // as given, no two equal without regard to case

  bool HasKeyword(const std::string& k) const {
    return std::any_of(keywords.begin(), keywords.end(),
                       [&](const std::string& mine) { return text::EqualsNoCase(mine, k); });
  }
  void AddKeyword(const std::string& k) {
    if (!HasKeyword(k)) keywords.push_back(k);
  }
  void RemoveKeyword(const std::string& k) {
    std::erase_if(keywords, [&](const std::string& mine) { return text::EqualsNoCase(mine, k); });
  }
  std::vector<std::string> List() const {
    std::vector<std::string> out;
    for (size_t i = 0; i < kFlagCount; ++i)
      if (system[i]) out.push_back(kSystemFlags[i].flag);
    out.insert(out.end(), keywords.begin(), keywords.end());
    return out;
  }
  std::string KeywordText() const {
    std::string joined;
    for (const std::string& k : keywords) joined += (joined.empty() ? "" : " ") + k;
    return joined;
  }
  // Takes one stored property of the message, when it is one of the flags'.
  void Read(const std::string& key, const Value& v) {
    for (size_t i = 0; i < kFlagCount; ++i)
      if (key == FlagKey(i)) system[i] = IsTrue(v);
    if (key == KeywordsKey())
      for (const std::string& k : text::Split(ValueText(v), ' '))
        if (!k.empty()) AddKeyword(k);
  }
};

// A keyword is an atom: printable ASCII without the characters the protocol gives a meaning.
bool IsAtom(std::string_view word) {
  if (word.empty()) return false;
  for (unsigned char c : word)
    if (c <= 0x20 || c >= 0x7f ||
        std::string_view("(){%*\"\\]").find(static_cast<char>(c)) != std::string_view::npos)
      return false;
  return true;
}

// The flags a client gave; kInvalidArg for one that is neither a system flag nor an atom.
// "\Recent" is the server's to give and is passed over.
Flags ParseFlags(const std::vector<std::string>& given) {
  Flags f;
  for (const std::string& flag : given) {
    size_t i = 0;
    while (i < kFlagCount && !text::EqualsNoCase(flag, kSystemFlags[i].flag)) ++i;
    if (i < kFlagCount) {
      f.system[i] = true;
    } else if (text::EqualsNoCase(flag, "\\Recent")) {
      continue;
    } else if (IsAtom(flag)) {
      f.AddKeyword(flag);
    } else {
      Fail(errors::kInvalidArg, "\"" + flag + "\" cannot be a message flag");
    }
  }
  return f;
}

// The flag properties' keys into the parameters from first on (six of them).
void BindFlagKeys(Stmt& q, int first) {
  for (size_t i = 0; i < kFlagCount; ++i) q.Bind(first + static_cast<int>(i), FlagKey(i));
  q.Bind(first + static_cast<int>(kFlagCount), KeywordsKey());
}

Flags LoadFlags(Session& s, int64_t item) {
  Stmt q(s,
         "SELECT name_key, type, value FROM properties "
         "WHERE item = ?1 AND name_key IN (?2, ?3, ?4, ?5, ?6, ?7)");
  q.Bind(1, item);
  BindFlagKeys(q, 2);
  Flags f;
  while (q.Step()) f.Read(q.Text(0), q.ValueAt(1, 2));
  return f;
}

// Writes what differs between before and after; whether anything did.
bool WriteFlags(Session& s, int64_t item, const Flags& before, const Flags& after) {
  bool changed = false;
  for (size_t i = 0; i < kFlagCount; ++i) {
    if (before.system[i] == after.system[i]) continue;
    changed = true;
    // The read flag is a Boolean either way, for readers of urn:schemas:httpmail:read.
    if (after.system[i] || i == kSeenFlag)
      WriteProperty(s, item, kSystemFlags[i].property, FlagKey(i), after.system[i]);
    else
      RemoveProperty(s, item, FlagKey(i));
  }
  const std::string text = after.KeywordText();
  if (text != before.KeywordText()) {
    changed = true;
    if (text.empty())
      RemoveProperty(s, item, KeywordsKey());
    else
      WriteProperty(s, item, names::kKeywordsName, KeywordsKey(), text);
  }
  return changed;
}

// A folder name this view can show and store: an item name without control characters.
bool UsableFolderName(std::string_view name) {
  if (!names::UsableSegment(name) || name.find('/') != std::string_view::npos ||
      text::EqualsNoCase(name, names::kFlatUrlSpace) || name.size() > 255)
    return false;
  return std::none_of(name.begin(), name.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> levels = text::Split(path, '/');
  if (levels.empty()) Fail(errors::kInvalidArg, "A mail folder needs a name");
  for (const std::string& level : levels)
    if (!UsableFolderName(level))
      Fail(errors::kInvalidArg, "\"" + path + "\" cannot name a mail folder");
  return levels;
}

// Reads that take several statements see one state of the store: a read transaction of their
// own, unless the thread is in a transaction already.
class Snapshot {
 public:
  explicit Snapshot(Session& s)
      : s_(s), own_(s.Depth() == 0 && sqlite3_get_autocommit(s.connection().handle())) {
    if (own_) s_.Exec("BEGIN");
  }
  ~Snapshot() {
    if (own_) sqlite3_exec(s_.connection().handle(), "COMMIT", nullptr, nullptr, nullptr);
  }
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

 private:
  Session& s_;
  bool own_;
};

struct Message {
  int64_t id = 0;
  uint32_t uid = 0;
  int64_t size = 0;
  int64_t created = 0;
};

class MailStoreImpl final : public MailStore {
 public:
  MailStoreImpl(Engine& engine, int64_t root) : engine_(engine), root_(root) {}

  std::vector<FolderInfo> Folders() override;
  std::string InboxPath() override;
  std::optional<FolderState> Folder(const std::string& path) override;
  uint64_t ChangeCounter() override;
  void CreateFolder(const std::string& path) override;
  void DeleteFolder(const std::string& path) override;
  void RenameFolder(const std::string& from, const std::string& to) override;
  std::vector<std::string> Subscriptions() override;
  void SetSubscribed(const std::string& path, bool subscribed) override;
  std::string Source(const std::string& folder, uint32_t uid) override;
  std::pair<uint32_t, uint32_t> Append(const std::string& folder, const std::string& source,
                                       const std::vector<std::string>& flags,
                                       int64_t internalDate) override;
  CopyResult Copy(const std::string& from, const std::vector<uint32_t>& uids,
                  const std::string& to) override {
    return Transfer(from, uids, to, false);
  }
  CopyResult Move(const std::string& from, const std::vector<uint32_t>& uids,
                  const std::string& to) override {
    return Transfer(from, uids, to, true);
  }
  std::vector<MessageInfo> StoreFlags(const std::string& folder, const std::vector<uint32_t>& uids,
                                      const std::vector<std::string>& flags,
                                      FlagChange change) override;
  std::vector<uint32_t> Expunge(const std::string& folder,
                                const std::optional<std::vector<uint32_t>>& uids) override;

 private:
  Session& S() { return engine_.CurrentSession(); }
  std::optional<ItemRow> FindFolder(Session& s, const std::vector<std::string>& levels);
  ItemRow RequireFolder(Session& s, const std::string& path);
  // Each missing level of levels made a mail folder; the last one's row.
  ItemRow MakeFolders(Session& s, const std::vector<std::string>& levels);
  bool IsSpecial(Session& s, int64_t folder);
  std::optional<Message> Visible(Session& s, int64_t folder, uint32_t uid);
  std::vector<Message> Messages(Session& s, int64_t folder);
  uint32_t UidOf(Session& s, int64_t item);
  std::pair<uint32_t, uint32_t> UidState(Session& s, int64_t folder);
  CopyResult Transfer(const std::string& from, const std::vector<uint32_t>& uids,
                      const std::string& to, bool move);
  // Moves (or copies) the message into folder under a name free there; the item's id.
  int64_t Place(Session& s, const ItemRow& message, const ItemRow& folder, bool move);

  Engine& engine_;
  int64_t root_;
};

std::optional<ItemRow> MailStoreImpl::FindFolder(Session& s,
                                                 const std::vector<std::string>& levels) {
  int64_t parent = root_;
  std::optional<ItemRow> row;
  for (const std::string& level : levels) {
    row = FindChild(s, parent, level);
    if (!row || row->kind != kFolder) return std::nullopt;
    parent = row->id;
  }
  return row;
}

ItemRow MailStoreImpl::RequireFolder(Session& s, const std::string& path) {
  auto row = FindFolder(s, SplitPath(path));
  if (!row) Fail(errors::kNotFound, "There is no mail folder " + path);
  return *row;
}

ItemRow MailStoreImpl::MakeFolders(Session& s, const std::vector<std::string>& levels) {
  auto parent = GetItem(s, root_);
  if (!parent) Fail(errors::kNotFound, "The mailbox no longer exists");
  for (const std::string& level : levels) {
    auto child = FindChild(s, parent->id, level);
    if (!child) {
      const int64_t id = AddFolder(s, *parent, level, names::kMailFolderClass, "IPF.Note");
      dispatcher::OnSave(s, id, 0);
      child = GetItem(s, id);
      if (!child) Fail(errors::kNotFound, "The folder " + level + " was removed at once");
    } else if (child->kind != kFolder) {
      Fail(errors::kAlreadyExists, "An item named " + level + " is there already");
    }
    parent = child;
  }
  return *parent;
}

bool MailStoreImpl::IsSpecial(Session& s, int64_t folder) {
  for (const auto& [property, id] : SpecialFolders(s, root_))
    if (id == folder) return true;
  return false;
}

// The hidden flag is read with the rest of the row and judged as every reader of it does.
const std::string kVisibleColumns =
    "SELECT u.uid, i.id, length(i.source), i.created, h.type, h.value FROM uids u "
    "JOIN items i ON i.id = u.item "
    "LEFT JOIN properties h ON h.item = i.id AND h.name_key = '" +
    std::string(names::kIsHidden) + "' ";

std::optional<Message> RowIfVisible(const Stmt& q) {
  if (IsTrue(q.ValueAt(4, 5))) return std::nullopt;
  return Message{q.Int(1), static_cast<uint32_t>(q.Int(0)), q.Int(2), q.Int(3)};
}

std::optional<Message> MailStoreImpl::Visible(Session& s, int64_t folder, uint32_t uid) {
  static const std::string sql =
      kVisibleColumns + "WHERE u.folder = ?1 AND u.uid = ?2 AND i.is_reg = 0";
  Stmt q(s, sql.c_str());
  q.Bind(1, folder).Bind(2, int64_t{uid});
  return q.Step() ? RowIfVisible(q) : std::nullopt;
}

std::vector<Message> MailStoreImpl::Messages(Session& s, int64_t folder) {
  static const std::string sql =
      kVisibleColumns + "WHERE u.folder = ?1 AND i.is_reg = 0 ORDER BY u.uid";
  Stmt q(s, sql.c_str());
  q.Bind(1, folder);
  std::vector<Message> out;
  while (q.Step())
    if (auto m = RowIfVisible(q)) out.push_back(*m);
  return out;
}

uint32_t MailStoreImpl::UidOf(Session& s, int64_t item) {
  Stmt q(s, "SELECT uid FROM uids WHERE item = ?1");
  q.Bind(1, item);
  return q.Step() ? static_cast<uint32_t>(q.Int(0)) : 0;
}

std::pair<uint32_t, uint32_t> MailStoreImpl::UidState(Session& s, int64_t folder) {
  Stmt q(s, "SELECT uid_validity, uid_next FROM mail_folders WHERE folder = ?1");
  q.Bind(1, folder);
  if (!q.Step())
    Fail(errors::kCorrupt, "The store " + s.engine().file() + " has a folder without UIDs");
  return {static_cast<uint32_t>(q.Int(0)), static_cast<uint32_t>(q.Int(1))};
}

std::vector<FolderInfo> MailStoreImpl::Folders() {
  Session& s = S();
  Snapshot snap(s);
  struct Node {
    std::string name;
    int64_t id;
  };
  std::map<int64_t, std::vector<Node>> below;  // by parent, in name order
  {
    Stmt q(s,
           "SELECT i.id, i.parent, i.name FROM mail_folders f JOIN items i ON i.id = f.folder "
           "WHERE i.mailbox = ?1 ORDER BY i.name_key");
    q.Bind(1, root_);
    while (q.Step())
      if (UsableFolderName(q.Text(2))) below[q.Int(1)].push_back({q.Text(2), q.Int(0)});
  }
  std::map<int64_t, std::string> special;
  for (const auto& [property, id] : SpecialFolders(s, root_)) special[id] = property;
  std::vector<FolderInfo> out;
  auto walk = [&](auto& self, int64_t parent, const std::string& prefix) -> void {
    for (const Node& n : below[parent]) {
      FolderInfo info;
      info.path = prefix + n.name;
      info.hasChildren = !below[n.id].empty();
      const std::string& property = special[n.id];
      info.isInbox = property == names::kInboxName;
      if (property == "urn:schemas:httpmail:deleteditems")
        info.specialUse = "\\Trash";
      else if (property == "urn:schemas:httpmail:sentitems")
        info.specialUse = "\\Sent";
      else if (property == "urn:schemas:httpmail:drafts")
        info.specialUse = "\\Drafts";
      else if (text::EqualsNoCase(n.name, "Junk") || text::EqualsNoCase(n.name, "Spam"))
        info.specialUse = "\\Junk";
      out.push_back(std::move(info));
      self(self, n.id, out.back().path + "/");
    }
  };
  walk(walk, root_, "");
  return out;
}

std::string MailStoreImpl::InboxPath() {
  Session& s = S();
  Snapshot snap(s);
  std::string path;
  for (int64_t id = SpecialFolder(s, root_, names::kInboxName); id && id != root_;) {
    auto row = GetItem(s, id);
    if (!row || row->kind != kFolder || !UsableFolderName(row->name)) break;
    path = path.empty() ? row->name : row->name + "/" + path;
    if (row->parent == root_) return path;
    id = row->parent;
  }
  Fail(errors::kNotFound, "The mailbox has no inbox a mail client can reach");
}

std::optional<FolderState> MailStoreImpl::Folder(const std::string& path) {
  const std::vector<std::string> levels = SplitPath(path);
  Session& s = S();
  Snapshot snap(s);
  auto folder = FindFolder(s, levels);
  if (!folder) return std::nullopt;
  FolderState state;
  std::tie(state.uidValidity, state.uidNext) = UidState(s, folder->id);
  const std::vector<Message> messages = Messages(s, folder->id);
  std::vector<Flags> flags(messages.size());
  {
    // One pass over the flag properties of the whole folder.
    Stmt q(s,
           "SELECT u.uid, p.name_key, p.type, p.value FROM uids u JOIN properties p "
           "ON p.item = u.item AND p.name_key IN (?2, ?3, ?4, ?5, ?6, ?7) WHERE u.folder = ?1");
    q.Bind(1, folder->id);
    BindFlagKeys(q, 2);
    while (q.Step()) {
      const auto uid = static_cast<uint32_t>(q.Int(0));
      auto it = std::lower_bound(messages.begin(), messages.end(), uid,
                                 [](const Message& m, uint32_t u) { return m.uid < u; });
      if (it != messages.end() && it->uid == uid)
        flags[it - messages.begin()].Read(q.Text(1), q.ValueAt(2, 3));
    }
  }
  for (size_t i = 0; i < messages.size(); ++i)
    state.messages.push_back(
        {messages[i].uid, messages[i].size, messages[i].created, flags[i].List()});
  return state;
}

uint64_t MailStoreImpl::ChangeCounter() {
  // data_version moves when another connection commits; this connection's own writes count in
  // its total of changed rows.
  Session& s = S();
  Stmt q(s, "PRAGMA data_version");
  const int64_t version = q.Step() ? q.Int(0) : 0;
  return static_cast<uint64_t>(version) +
         static_cast<uint64_t>(sqlite3_total_changes64(s.connection().handle()));
}

void MailStoreImpl::CreateFolder(const std::string& path) {
  // A trailing separator only says that the folder is meant to hold others.
  const std::vector<std::string> levels =
      SplitPath(path.ends_with('/') ? path.substr(0, path.size() - 1) : path);
  Session& s = S();
  Txn t(s);
  if (FindFolder(s, levels)) Fail(errors::kAlreadyExists, "The folder " + path + " exists");
  MakeFolders(s, levels);
  t.Commit();
}

void MailStoreImpl::DeleteFolder(const std::string& path) {
  Session& s = S();
  Txn t(s);
  const ItemRow folder = RequireFolder(s, path);
  if (IsSpecial(s, folder.id))
    Fail(errors::kInvalidArg, "The folder " + path + " belongs to the mailbox and stays");
  {
    Stmt q(s, "SELECT 1 FROM items WHERE parent = ?1 AND kind <> 5");
    q.Bind(1, folder.id);
    if (q.Step()) Fail(errors::kInvalidArg, "The folder " + path + " has subfolders");
  }
  // Items a client cannot see (event registrations, hidden ones) are never removed unseen.
  {
    Stmt q(s, "SELECT COUNT(*) FROM items WHERE parent = ?1");
    q.Bind(1, folder.id);
    if (q.Step() && static_cast<size_t>(q.Int(0)) != Messages(s, folder.id).size())
      Fail(errors::kInvalidArg, "The folder " + path + " holds items a mail client cannot see");
  }
  DeleteSubtree(s, folder.id);
  t.Commit();
}

void MailStoreImpl::RenameFolder(const std::string& from, const std::string& to) {
  const std::vector<std::string> source = SplitPath(from), target = SplitPath(to);
  Session& s = S();
  Txn t(s);
  const ItemRow folder = RequireFolder(s, from);
  auto existing = FindFolder(s, target);
  if (existing && existing->id != folder.id)
    Fail(errors::kAlreadyExists, "The folder " + to + " exists");
  if (folder.id == SpecialFolder(s, root_, names::kInboxName)) {
    // The inbox stays where deliveries go; what it holds moves to a folder of the new name.
    if (existing) Fail(errors::kAlreadyExists, "The folder " + to + " exists");
    const ItemRow made = MakeFolders(s, target);
    for (const Message& m : Messages(s, folder.id))
      if (auto row = GetItem(s, m.id)) Place(s, *row, made, true);
    t.Commit();
    return;
  }
  if (target.size() > source.size() && std::equal(source.begin(), source.end(), target.begin(),
                                                  [](const std::string& a, const std::string& b) {
                                                    return text::EqualsNoCase(a, b);
                                                  }))
    Fail(errors::kInvalidArg, "The folder " + from + " cannot go into itself");
  const ItemRow parent = MakeFolders(s, std::vector<std::string>(target.begin(), target.end() - 1));
  const bool reg = SubtreeHasRegistration(s, folder.id);
  MoveItem(s, folder, parent, target.back());
  if (reg) BumpRegistrationGeneration(s);
  dispatcher::OnSave(s, folder.id, 0);
  t.Commit();
}

std::vector<std::string> MailStoreImpl::Subscriptions() {
  Session& s = S();
  auto v = LoadProperty(s, root_, names::PropertyKey(names::kSubscriptionsName));
  std::vector<std::string> out;
  if (v)
    for (const std::string& line : text::Split(ValueText(*v), '\n'))
      if (!line.empty()) out.push_back(line);
  return out;
}

void MailStoreImpl::SetSubscribed(const std::string& path, bool subscribed) {
  SplitPath(path);
  Session& s = S();
  Txn t(s);
  std::vector<std::string> paths = Subscriptions();
  std::erase_if(paths, [&](const std::string& p) { return text::EqualsNoCase(p, path); });
  if (subscribed) paths.push_back(path);
  std::string joined;
  for (const std::string& p : paths) joined += p + "\n";
  const std::string key = names::PropertyKey(names::kSubscriptionsName);
  if (joined.empty())
    RemoveProperty(s, root_, key);
  else
    WriteProperty(s, root_, names::kSubscriptionsName, key, joined);
  t.Commit();
}

std::string MailStoreImpl::Source(const std::string& folder, uint32_t uid) {
  Session& s = S();
  Snapshot snap(s);
  const ItemRow row = RequireFolder(s, folder);
  auto m = Visible(s, row.id, uid);
  if (!m) Fail(errors::kNotFound, "There is no message " + std::to_string(uid) + " in " + folder);
  return GetSource(s, m->id).value_or(std::string());
}

std::pair<uint32_t, uint32_t> MailStoreImpl::Append(const std::string& folder,
                                                    const std::string& source,
                                                    const std::vector<std::string>& flags,
                                                    int64_t internalDate) {
  const Flags wanted = ParseFlags(flags);
  const ParsedMessage parsed = ParseMessage(source);  // before the write lock
  const std::string base = ItemNameFromSubject(parsed.subject);
  Session& s = S();
  Txn t(s);
  const ItemRow row = RequireFolder(s, folder);
  const std::string name = UniqueName(s, row.id, base, ".EML");
  const int64_t id = InsertItem(s, row.id, name, kItem, row.mailbox, &source, internalDate);
  admin::WriteMessageProperties(s, id, parsed, std::nullopt);
  WriteFlags(s, id, Flags(), wanted);
  const std::pair<uint32_t, uint32_t> result{UidState(s, row.id).first, UidOf(s, id)};
  dispatcher::OnSave(s, id, 0);
  t.Commit();
  return result;
}

int64_t MailStoreImpl::Place(Session& s, const ItemRow& message, const ItemRow& folder, bool move) {
  std::string name = message.name;
  if (!move || FindChild(s, folder.id, name)) {
    const size_t dot = name.rfind('.');
    const std::string ext = dot == std::string::npos || dot == 0 ? "" : name.substr(dot);
    name = UniqueName(s, folder.id, name.substr(0, name.size() - ext.size()), ext);
  }
  int64_t id = message.id;
  if (move)
    MoveItem(s, message, folder, name);
  else
    id = CopyItem(s, message.id, folder, name);
  dispatcher::OnSave(s, id, 0);
  return id;
}

CopyResult MailStoreImpl::Transfer(const std::string& from, const std::vector<uint32_t>& uids,
                                   const std::string& to, bool move) {
  Session& s = S();
  Txn t(s);
  const ItemRow source = RequireFolder(s, from);
  const ItemRow target = RequireFolder(s, to);
  CopyResult result;
  result.uidValidity = UidState(s, target.id).first;
  for (uint32_t uid : uids) {
    auto m = Visible(s, source.id, uid);
    auto row = m ? GetItem(s, m->id) : std::nullopt;
    if (!row) continue;
    if (move && source.id == target.id) {
      result.uids.emplace_back(uid, uid);
      continue;
    }
    const int64_t placed = Place(s, *row, target, move);
    result.uids.emplace_back(uid, UidOf(s, placed));
  }
  t.Commit();
  return result;
}

std::vector<MessageInfo> MailStoreImpl::StoreFlags(const std::string& folder,
                                                   const std::vector<uint32_t>& uids,
                                                   const std::vector<std::string>& flags,
                                                   FlagChange change) {
  const Flags given = ParseFlags(flags);
  Session& s = S();
  Txn t(s);
  const ItemRow row = RequireFolder(s, folder);
  std::vector<MessageInfo> out;
  for (uint32_t uid : uids) {
    auto m = Visible(s, row.id, uid);
    if (!m) continue;
    const Flags before = LoadFlags(s, m->id);
    Flags after = change == FlagChange::kReplace ? given : before;
    if (change != FlagChange::kReplace) {
      const bool set = change == FlagChange::kAdd;
      for (size_t i = 0; i < kFlagCount; ++i)
        if (given.system[i]) after.system[i] = set;
      for (const std::string& k : given.keywords)
        set ? after.AddKeyword(k) : after.RemoveKeyword(k);
    }
    if (WriteFlags(s, m->id, before, after)) dispatcher::OnSave(s, m->id, 0);
    out.push_back({m->uid, m->size, m->created, after.List()});
  }
  t.Commit();
  return out;
}

std::vector<uint32_t> MailStoreImpl::Expunge(const std::string& folder,
                                             const std::optional<std::vector<uint32_t>>& uids) {
  Session& s = S();
  Txn t(s);
  const ItemRow row = RequireFolder(s, folder);
  std::vector<uint32_t> flagged;
  {
    Stmt q(s,
           "SELECT u.uid, p.type, p.value FROM uids u JOIN properties p ON p.item = u.item "
           "AND p.name_key = ?2 WHERE u.folder = ?1 ORDER BY u.uid");
    q.Bind(1, row.id).Bind(2, FlagKey(kDeletedFlag));
    while (q.Step())
      if (IsTrue(q.ValueAt(1, 2))) flagged.push_back(static_cast<uint32_t>(q.Int(0)));
  }
  std::vector<uint32_t> chosen;
  if (uids) {
    chosen = *uids;
    std::sort(chosen.begin(), chosen.end());
  }
  std::vector<uint32_t> removed;
  for (uint32_t uid : flagged) {
    if (uids && !std::binary_search(chosen.begin(), chosen.end(), uid)) continue;
    auto m = Visible(s, row.id, uid);
    if (!m) continue;
    DeleteSubtree(s, m->id);
    removed.push_back(uid);
  }
  t.Commit();
  return removed;
}

}  // namespace

std::unique_ptr<MailStore> OpenMailStore(const std::string& mailbox) {
  auto info = admin::FindMailbox(mailbox);
  if (!info || info->isSystem) Fail(errors::kNotFound, "There is no mailbox " + mailbox);
  Engine& engine = Engine::ForRoot();
  return std::make_unique<MailStoreImpl>(engine,
                                         ResolveExisting(engine.CurrentSession(), info->url).id);
}

}  // namespace drossgate::platform::store::mail
