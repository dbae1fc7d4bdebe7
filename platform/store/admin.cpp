// The administration API for hosts: stores, mailboxes, delivery, inspection.
#include <algorithm>
#include <ctime>
#include <functional>

#include "error.h"
#include "store/access.h"
#include "store/dispatcher.h"
#include "store/history.h"
#include "store/items.h"
#include "store/mime.h"
#include "store/names.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::platform::store::admin {

namespace {

struct FolderSpec {
  const char* name;  // nullptr: the inbox, named per mailbox
  const char* property;
  const char* contentClass;
  const char* folderClass;
};

constexpr FolderSpec kMailboxFolders[] = {
    {nullptr, "urn:schemas:httpmail:inbox", "urn:content-classes:mailfolder", "IPF.Note"},
    {"Outbox", "urn:schemas:httpmail:outbox", "urn:content-classes:mailfolder", "IPF.Note"},
    {"Sent Items", "urn:schemas:httpmail:sentitems", "urn:content-classes:mailfolder", "IPF.Note"},
    {"Deleted Items", "urn:schemas:httpmail:deleteditems", "urn:content-classes:mailfolder",
     "IPF.Note"},
    {"Drafts", "urn:schemas:httpmail:drafts", "urn:content-classes:mailfolder", "IPF.Note"},
    {"Calendar", "urn:schemas:httpmail:calendar", "urn:content-classes:calendarfolder",
     "IPF.Appointment"},
    {"Contacts", "urn:schemas:httpmail:contacts", "urn:content-classes:contactfolder",
     "IPF.Contact"},
    {"Tasks", "urn:schemas:httpmail:tasks", "urn:content-classes:taskfolder", "IPF.Task"},
    {"Notes", "urn:schemas:httpmail:notes", "urn:content-classes:notesfolder", "IPF.StickyNote"},
    {"Journal", "urn:schemas:httpmail:journal", "urn:content-classes:journalfolder", "IPF.Journal"},
};

Session& CurrentSession() {
  return Engine::ForRoot().CurrentSession();
}

void WriteNamed(Session& s, int64_t item, const char* name, const Value& v) {
  WriteProperty(s, item, name, names::PropertyKey(name), v);
}

bool NameTaken(Session& s, const std::string& key) {
  Stmt q(s,
         "SELECT 1 FROM mailboxes WHERE alias_key = ?1 "
         "UNION ALL SELECT 1 FROM addresses WHERE address_key = ?1");
  q.Bind(1, key);
  return q.Step();
}

int64_t InboxOf(Session& s, int64_t mailbox) {
  return SpecialFolder(s, mailbox, names::kInboxName);
}

MailboxInfo LoadMailbox(Session& s, int64_t root, bool withUrls = true) {
  MailboxInfo info;
  {
    Stmt q(
        s,
        "SELECT m.alias, m.is_system, st.name FROM mailboxes m JOIN stores st ON st.id = m.store "
        "WHERE m.root = ?1");
    q.Bind(1, root);
    if (!q.Step()) Fail(errors::kNotFound, "There is no mailbox with root " + std::to_string(root));
    info.alias = q.Text(0);
    info.isSystem = q.Int(1) != 0;
    info.storeName = q.Text(2);
  }
  {
    Stmt q(s, "SELECT address FROM addresses WHERE mailbox = ?1 ORDER BY position");
    q.Bind(1, root);
    while (q.Step()) info.addresses.push_back(q.Text(0));
  }
  if (!withUrls) return info;
  info.url = ItemUrl(s, root);
  if (const int64_t inbox = InboxOf(s, root)) info.inboxUrl = ItemUrl(s, inbox);
  return info;
}

std::optional<int64_t> FindMailboxRoot(Session& s, const std::string& aliasOrAddress) {
  const std::string key = names::NameKey(text::Trim(aliasOrAddress));
  auto find = [&](const std::string& k) -> std::optional<int64_t> {
    Stmt q(s,
           "SELECT root FROM mailboxes WHERE alias_key = ?1 "
           "UNION ALL SELECT mailbox FROM addresses WHERE address_key = ?1");
    q.Bind(1, k);
    if (!q.Step()) return std::nullopt;
    return q.Int(0);
  };
  if (auto root = find(key)) return root;
  // A subaddress, user+detail@domain, belongs to user@domain.
  const size_t at = key.find('@');
  const size_t plus = key.find('+');
  if (plus == std::string::npos || plus == 0 || (at != std::string::npos && plus > at))
    return std::nullopt;
  return find(key.substr(0, plus) + (at == std::string::npos ? "" : key.substr(at)));
}

// The spam confidence level an upstream scanner wrote into the header line name: the leading
// whole number of its first occurrence, held to -1..9; none without one.
std::optional<int32_t> SclFromHeader(std::string_view block, std::string_view name) {
  size_t start = 0;
  while (start < block.size()) {
    size_t end = block.find("\r\n", start);
    if (end == std::string_view::npos) end = block.size();
    std::string_view line = block.substr(start, end - start);
    start = end + 2;
    const size_t colon = line.find(':');
    if (line.empty() || line[0] == ' ' || line[0] == '\t' || colon == std::string_view::npos ||
        !text::EqualsNoCase(text::TrimView(line.substr(0, colon)), name))
      continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    const bool negative = !value.empty() && value.front() == '-';
    if (negative || (!value.empty() && value.front() == '+')) value.remove_prefix(1);
    if (value.empty() || value.front() < '0' || value.front() > '9') return std::nullopt;
    int64_t n = 0;
    for (size_t i = 0; i < value.size() && value[i] >= '0' && value[i] <= '9' && n < 100; ++i)
      n = n * 10 + (value[i] - '0');
    return static_cast<int32_t>(std::clamp<int64_t>(negative ? -n : n, -1, 9));
  }
  return std::nullopt;
}

MailboxInfo CreateMailbox(Session& s, int64_t store, const ItemRow& container,
                          const std::string& alias, const std::vector<std::string>& addresses,
                          const std::string& inboxName, bool isSystem) {
  CheckItemName(alias);
  CheckItemName(inboxName);
  if (NameTaken(s, names::NameKey(alias)))
    Fail(errors::kAlreadyExists, "A mailbox named " + alias + " already exists");
  std::vector<std::string> keys;
  for (const std::string& a : addresses) {
    std::string key = names::NameKey(text::Trim(a));
    if (!names::UsableSegment(key) || key.find('/') != std::string::npos)
      Fail(errors::kInvalidArg, "The address \"" + a + "\" cannot name a mailbox");
    if (NameTaken(s, key) || key == names::NameKey(alias) ||
        std::find(keys.begin(), keys.end(), key) != keys.end())
      Fail(errors::kAlreadyExists, "The address " + a + " already belongs to a mailbox");
    keys.push_back(key);
  }
  int64_t root = InsertItem(s, container.id, alias, kMailboxRoot, 0, nullptr);
  WriteNamed(s, root, names::kContentClassName, std::string("urn:content-classes:folder"));
  Stmt(
      s,
      "INSERT INTO mailboxes(root, alias, alias_key, store, is_system) VALUES (?1, ?2, ?3, ?4, ?5)")
      .Bind(1, root)
      .Bind(2, alias)
      .Bind(3, names::NameKey(alias))
      .Bind(4, store)
      .Bind(5, int64_t{isSystem})
      .Run();
  for (size_t i = 0; i < addresses.size(); ++i)
    Stmt(s,
         "INSERT INTO addresses(address_key, address, mailbox, position) VALUES (?1, ?2, ?3, ?4)")
        .Bind(1, keys[i])
        .Bind(2, text::Trim(addresses[i]))
        .Bind(3, root)
        .Bind(4, static_cast<int64_t>(i))
        .Run();
  auto rootRow = GetItem(s, root);
  for (const FolderSpec& f : kMailboxFolders) {
    std::string name = f.name ? f.name : inboxName;
    if (FindChild(s, root, name))
      Fail(errors::kInvalidArg,
           "The inbox cannot be named " + inboxName + ": another folder has that name");
    int64_t id = AddFolder(s, *rootRow, name, f.contentClass, f.folderClass);
    Stmt(s, "INSERT INTO special_folders(mailbox, property, item) VALUES (?1, ?2, ?3)")
        .Bind(1, root)
        .Bind(2, f.property)
        .Bind(3, id)
        .Run();
  }
  s.ForgetCachedItems();
  // The dispatcher caches which store each mailbox belongs to.
  BumpRegistrationGeneration(s);
  return LoadMailbox(s, root);
}

// "delete" or "forward" for a message the sink parked, else empty.
std::string ParkedKind(const ItemRow& row) {
  if (row.kind != kItem || row.parent != row.mailbox) return {};
  if (text::EqualsNoCase(row.name, names::kDeleteItemName)) return "delete";
  if (text::EndsWithNoCase(row.name, names::kRedirectSuffix)) return "forward";
  return {};
}

std::string TextProperty(Session& s, int64_t item, const char* name) {
  auto v = LoadProperty(s, item, names::PropertyKey(name));
  return v ? ValueText(*v) : std::string();
}

ItemRow RemovableItem(Session& s, const std::string& url) {
  ItemRow row = ResolveExisting(s, url);
  if (!row.InMailbox())
    Fail(errors::kAccessDenied, "The item " + ItemUrl(s, row.id) + " cannot be removed");
  return row;
}

}  // namespace

void WriteMessageProperties(Session& s, int64_t id, const ParsedMessage& m,
                            std::optional<int32_t> scl, const std::string& envelopeSender) {
  WriteNamed(s, id, names::kContentClassName, std::string(names::kMessageClass));
  WriteNamed(s, id, names::kSubjectName, m.subject);
  if (m.fromEmail) WriteNamed(s, id, names::kFromEmailName, *m.fromEmail);
  WriteNamed(s, id, names::kTransportHeadersName, m.headerBlock);
  if (scl) WriteNamed(s, id, names::kSclName, *scl);
  if (!envelopeSender.empty()) WriteNamed(s, id, names::kEnvelopeSenderName, envelopeSender);
}

MailboxInfo CreateStore(const std::filesystem::path& root, const std::string& domain,
                        const std::string& storeName) {
  Engine& engine = Engine::ForFile(root / "store.db", true);
  Session& s = engine.CurrentSession();
  CheckItemName(domain);
  if (text::Trim(storeName).empty()) Fail(errors::kInvalidArg, "A mailbox store needs a name");
  auto guid = CreateGuid();
  if (!guid) Fail(errors::kFail, "Cannot create a GUID for the system mailbox");
  Txn t(s);
  {
    Stmt q(s, "SELECT 1 FROM stores WHERE name_key = ?1");
    q.Bind(1, names::NameKey(storeName));
    if (q.Step())
      Fail(errors::kAlreadyExists, "The mailbox store " + storeName + " already exists");
  }
  auto top = GetItem(s, 1);
  if (!top) Fail(errors::kCorrupt, "The store " + engine.file() + " has no namespace top");
  auto dom = FindChild(s, top->id, domain);
  if (!dom) dom = GetItem(s, InsertItem(s, top->id, domain, kDomain, 0, nullptr));
  auto mbx = FindChild(s, dom->id, "MBX");
  if (!mbx) mbx = GetItem(s, InsertItem(s, dom->id, "MBX", kContainer, 0, nullptr));
  Stmt(s, "INSERT INTO stores(name, name_key, mbx) VALUES (?1, ?2, ?3)")
      .Bind(1, storeName)
      .Bind(2, names::NameKey(storeName))
      .Bind(3, mbx->id)
      .Run();
  int64_t store = s.LastInsertId();
  MailboxInfo info =
      CreateMailbox(s, store, *mbx, "SystemMailbox" + com::FormatGuid(*guid), {}, "Inbox", true);
  auto sysRoot = Resolve(s, info.url);
  int64_t events =
      AddFolder(s, sysRoot->item, "StoreEvents", "urn:content-classes:folder", nullptr);
  auto eventsRow = GetItem(s, events);
  AddFolder(s, *eventsRow, "GlobalEvents", "urn:content-classes:folder", nullptr);
  Stmt(s, "UPDATE stores SET system_mailbox = ?2 WHERE id = ?1")
      .Bind(1, store)
      .Bind(2, sysRoot->item.id)
      .Run();
  t.Commit();
  return info;
}

MailboxInfo AddMailbox(const std::string& alias, const std::vector<std::string>& addresses,
                       const std::string& inboxName, const std::string& storeName) {
  Session& s = CurrentSession();
  Txn t(s);
  int64_t store = 0, mbx = 0;
  {
    Stmt q(s, storeName.empty() ? "SELECT id, mbx FROM stores ORDER BY id LIMIT 1"
                                : "SELECT id, mbx FROM stores WHERE name_key = ?1");
    if (!storeName.empty()) q.Bind(1, names::NameKey(storeName));
    if (!q.Step())
      Fail(errors::kNotFound, storeName.empty() ? std::string("The store has no mailbox store")
                                                : "There is no mailbox store " + storeName);
    store = q.Int(0);
    mbx = q.Int(1);
  }
  auto container = GetItem(s, mbx);
  if (!container) Fail(errors::kCorrupt, "The mailbox store has lost its MBX folder");
  MailboxInfo info = CreateMailbox(s, store, *container, alias, addresses, inboxName, false);
  t.Commit();
  return info;
}

std::vector<MailboxInfo> ListMailboxes() {
  Session& s = CurrentSession();
  std::vector<int64_t> roots;
  {
    Stmt q(s, "SELECT root FROM mailboxes ORDER BY root");
    while (q.Step()) roots.push_back(q.Int(0));
  }
  std::vector<MailboxInfo> out;
  for (int64_t r : roots) out.push_back(LoadMailbox(s, r));
  return out;
}

std::optional<MailboxInfo> FindMailbox(const std::string& aliasOrAddress, bool withUrls) {
  Session& s = CurrentSession();
  auto root = FindMailboxRoot(s, aliasOrAddress);
  if (!root) return std::nullopt;
  return LoadMailbox(s, *root, withUrls);
}

DeliveryResult Deliver(const std::string& mailbox, const std::string& source,
                       std::optional<int32_t> scl) {
  DeliveryOptions options;
  options.scl = scl;
  return Deliver(mailbox, source, options);
}

DeliveryResult Deliver(const std::string& mailbox, const std::string& source,
                       const DeliveryOptions& options) {
  Session& s = CurrentSession();
  auto root = FindMailboxRoot(s, mailbox);
  if (!root) Fail(errors::kNotFound, "There is no mailbox " + mailbox);
  // Parsing happens before the write lock is taken.
  std::optional<ParsedMessage> ownParse;
  if (!options.parsed) ownParse = ParseMessage(source);
  const ParsedMessage& parsed = options.parsed ? *options.parsed : *ownParse;
  const std::string base = ItemNameFromSubject(parsed.subject);
  std::optional<int32_t> scl = options.scl;
  if (!scl && !options.sclHeader.empty())
    scl = SclFromHeader(parsed.headerBlock, options.sclHeader);

  Txn t(s);
  const int64_t inbox = InboxOf(s, *root);
  auto inboxRow = inbox ? GetItem(s, inbox) : std::nullopt;
  if (!inboxRow) Fail(errors::kNotFound, "The mailbox " + mailbox + " has no inbox");
  const std::string name = UniqueName(s, inbox, base, ".EML");
  // The delivered row is numbered first so that the item carries its number from its insert
  // (the triggers that record what becomes of the message find the row by it): an update after
  // would rewrite the whole row, message included.
  const bool logged = s.engine().logRetentionDays() > 0;
  const int64_t logSeq = logged ? history::NewestSeq(s) + 1 : 0;
  const int64_t id = InsertItem(s, inbox, name, kItem, inboxRow->mailbox, &source, logSeq);
  WriteMessageProperties(s, id, parsed, scl, options.envelopeSender);
  if (logged)
    Stmt(s,
         "INSERT INTO delivery_log(seq, time, mailbox, message_id, event, detail, item, sender, "
         "size) VALUES (?7, ?8, ?1, ?2, 'delivered', ?3, ?4, ?5, ?6)")
        .Bind(1, GetItem(s, *root)->name)  // a mailbox root is named by its alias
        .Bind(2, text::Trim(parsed.messageId))
        .Bind(3, std::string_view(options.via ? options.via : ""))
        .Bind(4, id)
        .Bind(5, parsed.fromEmail.value_or(std::string()))
        .Bind(6, static_cast<int64_t>(source.size()))
        .Bind(7, logSeq)
        .Bind(8, static_cast<int64_t>(std::time(nullptr)))
        .Run();
  DeliveryResult result;
  result.deliveredUrl = ItemUrl(s, inbox) + "/" + name;
  result.permanentUrl =
      ValueText(ComputedProperty(s, *GetItem(s, id), names::kPermanentUrl).value_or(Value()));
  const bool sinksCalled = dispatcher::OnSave(s, id, com::EVT_IS_DELIVERED);
  // Where the sinks left it, read while the transaction's cache knows the folders' URLs; after
  // the commit only a sink's committed phase can still move it, which the row then shows.
  std::optional<ItemRow> placed;
  std::string placedUrl;
  if (sinksCalled && (placed = GetItem(s, id))) placedUrl = ItemUrl(s, id);
  t.Commit();
  if (!sinksCalled) {
    result.nowUrl = result.deliveredUrl;
  } else if (auto row = GetItem(s, id)) {
    result.nowUrl = placed && row->parent == placed->parent && row->name == placed->name
                        ? placedUrl
                        : ItemUrl(s, id);
  }
  return result;
}

ParsedMessage ParseForDelivery(const std::string& source) {
  return ParseMessage(source);
}

std::optional<std::string> WhereIs(const std::string& permanentUrl) {
  Session& s = CurrentSession();
  auto loc = Resolve(s, permanentUrl);
  if (!loc || !loc->found) return std::nullopt;
  return ItemUrl(s, loc->item.id);
}

Batch::Batch() {
  CurrentSession().Begin(this);
}

Batch::~Batch() {
  if (!done_) CurrentSession().RollbackOwned(this);
}

void Batch::Commit() {
  done_ = true;
  CurrentSession().Commit(this);
}

std::string SaveItem(const std::string& url, const std::string& source) {
  Session& s = CurrentSession();
  const ParsedMessage parsed = ParseMessage(source);
  Txn t(s);
  auto loc = Resolve(s, url);
  if (!loc) FailNoItem(url);
  int64_t id;
  ItemRow before;
  if (loc->found) {
    if (!loc->item.InMailbox() || loc->item.IsFolder())
      Fail(errors::kAlreadyExists, "The item " + ItemUrl(s, loc->item.id) + " is a folder");
    before = loc->item;
    id = before.id;
    ClearProperties(s, id);
    SetSource(s, id, source);
  } else {
    if (loc->parent->kind != kMailboxRoot && loc->parent->kind != kFolder) FailNoItem(url);
    id = InsertItem(s, loc->parent->id, loc->leaf, kItem, loc->parent->mailbox, &source);
    before = *GetItem(s, id);
  }
  WriteMessageProperties(s, id, parsed, std::nullopt);
  RefreshRegistrationMark(s, before);
  if (!loc->found || !dispatcher::IsRunning(s, id)) dispatcher::OnSave(s, id, 0);
  std::string saved = ItemUrl(s, id);
  t.Commit();
  return saved;
}

std::vector<ItemInfo> List(const std::string& url, bool recursive) {
  Session& s = CurrentSession();
  ItemRow row = ResolveExisting(s, url);
  std::vector<ItemInfo> out;
  std::function<void(const ItemRow&, const std::string&)> walk = [&](const ItemRow& folder,
                                                                     const std::string& folderUrl) {
    for (const ItemRow& c : Children(s, folder.id)) {
      ItemInfo info;
      info.url = folderUrl + "/" + c.name;
      info.name = c.name;
      info.folder = c.IsFolder();
      info.hidden = IsTrue(LoadProperty(s, c.id, names::kIsHidden));
      if (auto cls = LoadProperty(s, c.id, names::kContentClass))
        info.contentClass = ValueText(*cls);
      out.push_back(info);
      if (recursive && c.IsFolder()) walk(c, info.url);
    }
  };
  if (row.IsFolder()) walk(row, ItemUrl(s, row.id));
  return out;
}

std::vector<ParkedItem> ListParked() {
  Session& s = CurrentSession();
  std::vector<std::pair<ItemRow, std::string>> rows;
  {
    Stmt q(s,
           "SELECT i.id, i.parent, i.kind, i.name, i.mailbox, i.is_reg, i.reg_refused, m.alias "
           "FROM items i JOIN mailboxes m ON m.root = i.parent WHERE i.kind = ?1 "
           "ORDER BY m.alias_key, i.created, i.id");
    q.Bind(1, int64_t{kItem});
    while (q.Step()) {
      ItemRow r{q.Int(0),      q.Int(1),     static_cast<int>(q.Int(2)), q.Text(3), q.Int(4),
                q.Int(5) != 0, q.Int(6) != 0};
      if (!ParkedKind(r).empty()) rows.emplace_back(r, q.Text(7));
    }
  }
  std::vector<ParkedItem> out;
  for (const auto& [row, alias] : rows) {
    ParkedItem p;
    p.mailbox = alias;
    p.url = ItemUrl(s, row.id);
    p.kind = ParkedKind(row);
    p.subject = TextProperty(s, row.id, names::kSubjectName);
    p.from = TextProperty(s, row.id, names::kFromEmailName);
    Stmt q(s, "SELECT created FROM items WHERE id = ?1");
    q.Bind(1, row.id);
    if (q.Step()) p.created = q.Int(0);
    if (p.kind == "forward") p.pickupFileName = names::ForwardPickupFileName(p.created, row.id);
    out.push_back(std::move(p));
  }
  return out;
}

std::vector<ParkedForward> ParkedForwards() {
  Session& s = CurrentSession();
  std::vector<std::pair<int64_t, int64_t>> found;  // id, created
  {
    Stmt q(s,
           "SELECT i.id, i.created FROM items i JOIN mailboxes m ON m.root = i.parent "
           "JOIN properties p ON p.item = i.id AND p.name_key = ?2 WHERE i.kind = ?1");
    q.Bind(1, int64_t{kItem}).Bind(2, names::PropertyKey(names::kForwardToName));
    while (q.Step()) found.emplace_back(q.Int(0), q.Int(1));
  }
  std::vector<ParkedForward> out;
  for (const auto& [id, created] : found) {
    auto row = GetItem(s, id);
    if (!row || ParkedKind(*row) != "forward") continue;
    ParkedForward f;
    f.url = ItemUrl(s, id);
    f.pickupFileName = names::ForwardPickupFileName(created, id);
    f.receiver = TextProperty(s, id, names::kForwardToName);
    f.sender = text::Trim(TextProperty(s, id, names::kFromEmailName));
    f.created = created;
    f.item = id;
    out.push_back(std::move(f));
  }
  return out;
}

bool IsParkedForward(const std::string& url) {
  Session& s = CurrentSession();
  auto loc = Resolve(s, url);
  return loc && loc->found && ParkedKind(loc->item) == "forward";
}

void FinishParkedForward(const std::string& url) {
  Session& s = CurrentSession();
  Txn t(s);
  const ItemRow row = ResolveExisting(s, url);
  if (ParkedKind(row) != "forward")
    Fail(errors::kInvalidArg, "The item " + url + " is not a parked forward");
  history::Record(s, row.id, history::kForwarded,
                  text::Trim(TextProperty(s, row.id, names::kForwardToName)));
  history::Context handedOn("forwarded");
  DeleteSubtree(s, row.id);
  t.Commit();
}

std::string RestoreParked(const std::string& url) {
  Session& s = CurrentSession();
  Txn t(s);
  const ItemRow row = ResolveExisting(s, url);
  if (ParkedKind(row).empty())
    Fail(errors::kInvalidArg, "The item " + url + " is not a parked message");
  auto inbox = GetItem(s, InboxOf(s, row.mailbox));
  if (!inbox) Fail(errors::kNotFound, "The mailbox of " + url + " has no inbox");
  const std::string name = UniqueName(
      s, inbox->id, ItemNameFromSubject(TextProperty(s, row.id, names::kSubjectName)), ".EML");
  RemoveProperty(s, row.id, names::PropertyKey(names::kMarkerName));
  RemoveProperty(s, row.id, names::PropertyKey(names::kForwardToName));
  RemoveProperty(s, row.id, names::kIsHidden);
  {
    history::Context restoring("restored");
    MoveItem(s, row, *inbox, name);
  }
  dispatcher::OnSave(s, row.id, 0);  // a move, as a client's: no sink acts on it
  std::string restored = ItemUrl(s, row.id);
  t.Commit();
  return restored;
}

std::vector<std::pair<std::string, Value>> Properties(const std::string& url) {
  Session& s = CurrentSession();
  ItemRow row = ResolveExisting(s, url);
  std::vector<std::pair<std::string, Value>> out;
  std::vector<std::string> keys;
  for (auto& p : LoadProperties(s, row.id)) {
    keys.push_back(p.key);
    out.emplace_back(p.name, p.value);
  }
  for (auto& [name, v] : ComputedProperties(s, row)) {
    std::string key = names::PropertyKey(name);
    if (std::find(keys.begin(), keys.end(), key) != keys.end()) continue;
    out.emplace_back(name, v);
  }
  return out;
}

std::string Source(const std::string& url) {
  Session& s = CurrentSession();
  ItemRow row = ResolveExisting(s, url);
  if (row.IsFolder())
    Fail(errors::kInvalidArg, "The item " + url + " is a folder and has no source");
  return GetSource(s, row.id).value_or(std::string());
}

void Remove(const std::string& url) {
  Session& s = CurrentSession();
  Txn t(s);
  ItemRow row = RemovableItem(s, url);
  bool hadReg = row.isReg || (row.IsFolder() && SubtreeHasRegistration(s, row.id));
  DeleteSubtree(s, row.id);
  if (hadReg) BumpRegistrationGeneration(s);
  t.Commit();
}

}  // namespace drossgate::platform::store::admin
