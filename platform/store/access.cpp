// The access layer: connections, records and fields (message.cpp: streams and messages).
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "com/com.h"
#include "error.h"
#include "fault.h"
#include "store/access.h"
#include "store/dispatcher.h"
#include "store/items.h"
#include "store/names.h"
#include "text.h"

namespace drossgate::platform::store {

std::string ValueText(const Value& v) {
  if (auto b = std::get_if<bool>(&v)) return *b ? "True" : "False";
  if (auto i = std::get_if<int32_t>(&v)) return std::to_string(*i);
  if (auto s = std::get_if<std::string>(&v)) return *s;
  return {};
}

void FailClosed() {
  Fail(errors::kNotOpen, "Operation is not allowed when the object is closed.");
}

namespace {

bool CanHoldItems(const ItemRow& r) {
  return r.kind == kMailboxRoot || r.kind == kFolder;
}

// --- Connection --------------------------------------------------------------------------

class ConnectionImpl final : public Connection {
 public:
  ~ConnectionImpl() override { Close(); }

  void SetProvider(const std::string& provider) override { provider_ = provider; }
  std::string Provider() const override { return provider_; }
  void SetConnectionString(const std::string& url) override { connectionString_ = url; }

  void Open(const std::string& url) override {
    const std::string target = url.empty() ? connectionString_ : url;
    if (!text::EqualsNoCase(text::Trim(provider_), kProvider))
      Fail(errors::kNotFound, "Provider cannot be found: \"" + provider_ + "\"");
    Close();
    Engine& engine = Engine::ForRoot();
    Session& s = engine.CurrentSession();
    ItemRow row = ResolveExisting(s, target);
    if (row.kind < kMailboxRoot)
      Fail(errors::kNotFound, "The URL " + target + " names no mailbox of this store");
    engine_ = &engine;
  }

  bool IsOpen() const override { return engine_ != nullptr; }

  void Close() override {
    if (!engine_) return;
    try {
      engine_->CurrentSession().RollbackOwned(this);
    } catch (const PlatformError&) {
      // The thread is ending: its session rolls back what is left.
    }
    engine_ = nullptr;
  }

  void BeginTrans() override { Current().Begin(this); }

  void CommitTrans() override {
    Session& s = Current();
    if (!s.Owns(this)) Fail(errors::kFail, "No transaction is active on this connection");
    s.Commit(this);
  }

  void RollbackTrans() override {
    Session& s = Current();
    if (!s.Owns(this)) Fail(errors::kFail, "No transaction is active on this connection");
    s.Rollback(this);
  }

  Engine* engine() const { return engine_; }

 private:
  Session& Current() {
    if (!engine_) FailClosed();
    return engine_->CurrentSession();
  }

  std::string provider_;
  std::string connectionString_;
  Engine* engine_ = nullptr;
};

// --- Record and Fields -------------------------------------------------------------------

class RecordImpl;

class FieldsImpl final : public Fields {
 public:
  explicit FieldsImpl(RecordImpl& record) : record_(record) {}

  int32_t Count() const override { return static_cast<int32_t>(Names().size()); }
  std::vector<std::string> Names() const override;
  Value Get(const std::string& name) const override;
  bool Has(const std::string& name) const override;
  void Set(const std::string& name, const Value& value) override;
  void Append(const std::string& name, int32_t type, int32_t size, int32_t attributes,
              const Value& value) override;
  void Delete(const std::string& name) override;
  void Update() override;

  void Invalidate() {
    loaded_ = false;
    probed_.clear();
    absent_.clear();
  }
  // A record created over an existing item sees none of the old properties.
  void StartEmpty() {
    stored_.clear();
    computed_.clear();
    loaded_ = true;
    allComputed_ = true;
  }

  struct Change {
    std::string name;
    std::string key;
    std::optional<Value> value;  // nullopt: delete
  };

 private:
  struct Field {
    std::string name;
    std::string key;
    Value value;
  };
  void Load() const;
  // Computed properties cost queries (URLs walk the tree): a read computes only the one
  // asked for, and listing the fields needs their names only.
  const Change* Pending(const std::string& key) const {
    for (const Change& c : pending_)
      if (c.key == key) return &c;
    return nullptr;
  }
  std::optional<Value> Find(const std::string& key) const;
  static std::string KeyOf(const std::string& name) {
    std::string key = names::PropertyKey(name);
    if (key.empty()) Fail(errors::kInvalidArg, "A field needs a name");
    return key;
  }

  RecordImpl& record_;
  mutable bool loaded_ = false;
  mutable std::vector<Field> stored_;
  mutable std::vector<Field> computed_;
  mutable std::vector<Field> probed_;        // stored values read one by one before a full load
  mutable std::vector<std::string> absent_;  // and keys so found missing
  mutable bool allComputed_ = false;
  std::vector<Change> pending_;
};

class RecordImpl final : public Record {
 public:
  // An existing item.
  RecordImpl(Engine& engine, Mode mode, const ItemRow& row)
      : engine_(engine), mode_(mode), id_(row.id), folder_(row.IsFolder()), fields_(*this) {}
  // An item to create at the first Update, below parent; overwrite replaces one found there.
  RecordImpl(Engine& engine, Mode mode, const ItemRow& parent, std::string leaf, bool overwrite)
      : engine_(engine),
        mode_(mode),
        parent_(parent.id),
        leaf_(std::move(leaf)),
        overwrite_(overwrite),
        fields_(*this) {
    if (overwrite_) fields_.StartEmpty();
  }

  Fields& GetFields() override {
    RequireOpen();
    return fields_;
  }

  std::string Url() const override {
    if (id_) {
      try {
        url_ = ItemUrl(Current(), id_);
      } catch (const PlatformError&) {
        // Gone: the last URL it had.
      }
      return url_;
    }
    return ItemUrl(Current(), parent_) + "/" + leaf_;
  }

  std::string ParentUrl() const override {
    RequireOpen();
    Session& s = Current();
    if (!id_) return ItemUrl(s, parent_);
    auto row = GetItem(s, id_);
    if (!row) FailNoItem(url_);
    if (!row->parent) return {};
    return ItemUrl(s, row->parent);
  }

  bool IsCollection() const override { return folder_; }

  std::string MoveRecord(const std::string& source, const std::string& destination,
                         bool overwrite) override;
  void DeleteRecord(const std::string& url) override;
  void Close() override { open_ = false; }

  // Fields support.
  Session& Current() const { return engine_.CurrentSession(); }
  void RequireOpen() const {
    if (!open_) FailClosed();
  }
  int64_t id() const { return id_; }
  std::optional<ItemRow> Row() const {
    if (!id_) return std::nullopt;
    return GetItem(Current(), id_);
  }
  // A not yet created item: what the computed properties say about it.
  std::vector<std::pair<std::string, Value>> ProspectiveProperties() const {
    std::string url = Url();
    return {{"DAV:href", url},          {"DAV:parentname", ItemUrl(Current(), parent_)},
            {"DAV:displayname", leaf_}, {"DAV:iscollection", false},
            {"DAV:isfolder", false},    {"DAV:ishidden", false}};
  }
  void Save(const std::vector<FieldsImpl::Change>& changes);

 private:
  void RequireWritable() const {
    if (mode_ == Mode::kRead)
      Fail(errors::kAccessDenied, "The record " + Url() + " was opened read-only");
  }

  Engine& engine_;
  Mode mode_;
  int64_t id_ = 0;
  int64_t parent_ = 0;
  std::string leaf_;
  bool overwrite_ = false;
  bool folder_ = false;
  bool open_ = true;
  mutable std::string url_;
  FieldsImpl fields_;
};

void FieldsImpl::Load() const {
  if (loaded_) return;
  record_.RequireOpen();
  stored_.clear();
  computed_.clear();
  Session& s = record_.Current();
  allComputed_ = false;
  if (record_.id()) {
    auto props = LoadProperties(s, record_.id());
    // Only an item without properties needs a second look to tell that it still exists.
    if (props.empty() && !record_.Row()) FailNoItem(record_.Url());
    for (auto& p : props) stored_.push_back({p.name, p.key, p.value});
  } else {
    for (auto& [name, v] : record_.ProspectiveProperties())
      computed_.push_back({name, names::PropertyKey(name), v});
    allComputed_ = true;
  }
  loaded_ = true;
}

std::optional<Value> FieldsImpl::Find(const std::string& key) const {
  if (const Change* c = Pending(key)) return c->value;
  if (!loaded_ && record_.id()) {
    // Most reads want a field or two of an item with a large header block: fetch just those.
    record_.RequireOpen();
    for (const Field& f : probed_)
      if (f.key == key) return f.value;
    // Asked for twice as a rule is tested (whether it is there, then its value).
    for (const std::string& k : absent_)
      if (k == key) return std::nullopt;
    // The store never stores what it computes (Set and Delete refuse those names).
    const bool computed = IsComputedKey(key);
    if (auto v = computed ? std::nullopt : LoadProperty(record_.Current(), record_.id(), key)) {
      probed_.push_back({key, key, *v});
      return v;
    }
    auto row = record_.Row();
    if (!row) FailNoItem(record_.Url());
    if (!computed && key != names::kIsHidden) {
      absent_.push_back(key);
      return std::nullopt;
    }
    // Not stored: the store's own value, computed for this one name.
    std::optional<Value> v = ComputedProperty(record_.Current(), *row, key);
    if (v) probed_.push_back({key, key, *v});
    return v;
  }
  Load();
  for (const Field& f : stored_)
    if (f.key == key) return f.value;
  for (const Field& f : computed_)
    if (f.key == key) return f.value;
  if (allComputed_ || !(IsComputedKey(key) || key == names::kIsHidden)) return std::nullopt;
  auto row = record_.Row();
  if (!row) return std::nullopt;
  std::optional<Value> v = ComputedProperty(record_.Current(), *row, key);
  if (v) computed_.push_back({key, key, *v});
  return v;
}

std::vector<std::string> FieldsImpl::Names() const {
  record_.RequireOpen();
  Load();
  // Names only: the computed values (URLs) are not needed to list them.
  std::vector<std::string> computedNames;
  if (allComputed_) {
    for (const Field& f : computed_) computedNames.push_back(f.name);
  } else if (auto row = record_.Row()) {
    for (auto& [name, v] : ComputedProperties(record_.Current(), *row, false))
      computedNames.push_back(name);
  }
  std::vector<std::string> out;
  std::vector<std::string> keys;
  auto add = [&](const std::string& name, const std::string& key) {
    for (const std::string& k : keys)
      if (k == key) return;
    keys.push_back(key);
    out.push_back(name);
  };
  for (const Field& f : stored_) {
    const Change* c = Pending(f.key);
    if (c && !c->value) {
      keys.push_back(f.key);  // deleted: also hides a computed default of that name
      continue;
    }
    add(c ? c->name : f.name, f.key);
  }
  for (const Change& c : pending_) {
    if (!c.value) {
      keys.push_back(c.key);
      continue;
    }
    add(c.name, c.key);
  }
  for (const std::string& name : computedNames) add(name, names::PropertyKey(name));
  return out;
}

Value FieldsImpl::Get(const std::string& name) const {
  record_.RequireOpen();
  auto v = Find(KeyOf(name));
  if (!v)
    Fail(errors::kFieldMissing,
         "Item cannot be found in the collection corresponding to the requested name or "
         "ordinal: " +
             name);
  return *v;
}

bool FieldsImpl::Has(const std::string& name) const {
  record_.RequireOpen();
  return Find(KeyOf(name)).has_value();
}

void FieldsImpl::Set(const std::string& name, const Value& value) {
  record_.RequireOpen();
  std::string key = KeyOf(name);
  if (IsComputedKey(key))
    Fail(errors::kAccessDenied,
         "The property " + name + " is computed by the store and cannot be set");
  for (Change& c : pending_) {
    if (c.key == key) {
      c.name = name;
      c.value = value;
      return;
    }
  }
  pending_.push_back({name, key, value});
}

void FieldsImpl::Append(const std::string& name, int32_t type, int32_t size, int32_t attributes,
                        const Value& value) {
  (void)size;
  (void)attributes;
  // A text field given a non-text value holds its text form.
  bool textType = type == kFieldTypeText || type == 130 || (type >= 200 && type <= 203);
  if (textType && !std::holds_alternative<std::string>(value) &&
      !std::holds_alternative<std::monostate>(value))
    return Set(name, ValueText(value));
  Set(name, value);
}

void FieldsImpl::Delete(const std::string& name) {
  record_.RequireOpen();
  std::string key = KeyOf(name);
  if (IsComputedKey(key))
    Fail(errors::kAccessDenied,
         "The property " + name + " is computed by the store and cannot be deleted");
  for (Change& c : pending_) {
    if (c.key == key) {
      c.name = name;
      c.value.reset();
      return;
    }
  }
  pending_.push_back({name, key, std::nullopt});
}

void FieldsImpl::Update() {
  FaultPoint(Fault::kStoreFieldsUpdate);
  record_.RequireOpen();
  record_.Save(pending_);
  pending_.clear();
  Invalidate();
}

void RecordImpl::Save(const std::vector<FieldsImpl::Change>& changes) {
  RequireWritable();
  Session& s = Current();
  Txn t(s);
  bool created = false;
  if (!id_) {
    auto parent = GetItem(s, parent_);
    if (!parent || !CanHoldItems(*parent))
      Fail(errors::kNotFound, "The folder " +
                                  (parent ? ItemUrl(s, parent_) : std::string("of the item")) +
                                  " does not exist");
    if (auto existing = FindChild(s, parent_, leaf_)) {
      if (!overwrite_ || existing->IsFolder())
        Fail(errors::kAlreadyExists, "The item " + ItemUrl(s, existing->id) + " already exists");
      ClearProperties(s, existing->id);
      Stmt(s, "UPDATE items SET source = NULL WHERE id = ?1").Bind(1, existing->id).Run();
      id_ = existing->id;
    } else {
      id_ = InsertItem(s, parent_, leaf_, kItem, parent->mailbox, nullptr);
      created = true;
    }
  }
  auto row = GetItem(s, id_);
  if (!row) FailNoItem(url_);
  for (const FieldsImpl::Change& c : changes) {
    if (IsComputedKey(c.key)) continue;
    if (c.value)
      WriteProperty(s, id_, c.name, c.key, *c.value);
    else
      RemoveProperty(s, id_, c.key);
  }
  if (RefreshRegistrationMark(s, *row)) {
    dispatcher::RegisterItem(s, id_);
  } else if (created || !dispatcher::IsRunning(s, id_)) {
    dispatcher::OnSave(s, id_, 0);
  }
  t.Commit();
  try {
    url_ = ItemUrl(s, id_);
  } catch (const PlatformError&) {
    // A sink removed the item in its committed phase.
  }
}

std::string RecordImpl::MoveRecord(const std::string& source, const std::string& destination,
                                   bool overwrite) {
  FaultPoint(Fault::kStoreRecordMove);
  RequireOpen();
  RequireWritable();
  Session& s = Current();
  // URLs are resolved under the write lock: resolved before it, they could name what another
  // process has put there since.
  Txn t(s);
  ItemRow src;
  if (source.empty()) {
    auto row = Row();
    if (!row) FailNoItem(Url());
    src = *row;
  } else {
    src = ResolveExisting(s, source);
  }
  if (!src.InMailbox())
    Fail(errors::kAccessDenied, "The item " + ItemUrl(s, src.id) + " cannot be moved");
  auto dst = Resolve(s, destination);
  if (!dst)
    Fail(errors::kNotFound, "The destination " + destination + " is not in an existing folder");
  ItemRow parent;
  std::string leaf;
  if (dst->found) {
    const ItemRow& existing = dst->item;
    if (existing.id == src.id) {
      t.Commit();
      return ItemUrl(s, src.id);
    }
    if (!overwrite)
      Fail(errors::kAlreadyExists, "The item " + ItemUrl(s, existing.id) + " already exists");
    // Overwriting replaces a message, never a folder with everything filed in it.
    if (!existing.InMailbox() || existing.IsFolder())
      Fail(errors::kAccessDenied, "The item " + ItemUrl(s, existing.id) + " cannot be replaced");
    auto p = GetItem(s, existing.parent);
    if (!p) FailNoItem(destination);
    parent = *p;
    auto segments = names::SplitUrl(destination);
    leaf = segments && !segments->empty() ? segments->back() : existing.name;
    bool hadReg = existing.isReg;
    DeleteSubtree(s, existing.id);
    if (hadReg) BumpRegistrationGeneration(s);
  } else {
    parent = *dst->parent;
    leaf = dst->leaf;
  }
  if (!CanHoldItems(parent))
    Fail(errors::kNotFound, "The destination " + destination + " is not in an existing folder");
  if (src.IsFolder()) {
    auto chain = Ancestors(s, parent.id);
    if (parent.id == src.id || std::find(chain.begin(), chain.end(), src.id) != chain.end())
      Fail(errors::kInvalidArg,
           "The folder " + ItemUrl(s, src.id) + " cannot be moved into itself");
  }
  bool reg = src.isReg || (src.IsFolder() && SubtreeHasRegistration(s, src.id));
  MoveItem(s, src, parent, leaf);
  if (reg) BumpRegistrationGeneration(s);
  dispatcher::OnSave(s, src.id, 0);
  t.Commit();
  std::string url = ItemUrl(s, src.id);
  if (src.id == id_) {
    url_ = url;
    fields_.Invalidate();
  }
  return url;
}

void RecordImpl::DeleteRecord(const std::string& url) {
  FaultPoint(Fault::kStoreRecordDelete);
  RequireOpen();
  RequireWritable();
  Session& s = Current();
  Txn t(s);  // the URL names what is there now, under the write lock
  ItemRow row;
  if (url.empty()) {
    auto r = Row();
    if (!r) FailNoItem(Url());
    row = *r;
  } else {
    row = ResolveExisting(s, url);
  }
  if (!row.InMailbox())
    Fail(errors::kAccessDenied, "The item " + ItemUrl(s, row.id) + " cannot be deleted");
  bool hadReg = row.isReg || (row.IsFolder() && SubtreeHasRegistration(s, row.id));
  if (row.id == id_) url_ = ItemUrl(s, row.id);
  DeleteSubtree(s, row.id);
  if (hadReg) BumpRegistrationGeneration(s);
  t.Commit();
  if (row.id == id_) fields_.Invalidate();
}

}  // namespace

// --- Entry points ------------------------------------------------------------------------

std::unique_ptr<Connection> CreateConnection() {
  return std::make_unique<ConnectionImpl>();
}

std::shared_ptr<Record> OpenRecordById(Engine& engine, int64_t id) {
  auto row = GetItem(engine.CurrentSession(), id);
  if (!row) Fail(errors::kNotFound, "The item of the event no longer exists");
  return std::make_shared<RecordImpl>(engine, Mode::kReadWrite, *row);
}

std::unique_ptr<Record> OpenRecord(const std::string& url, Connection* conn, Mode mode,
                                   int32_t createOptions, int32_t openOptions) {
  (void)openOptions;  // fields are always read on first use
  FaultPoint(Fault::kStoreRecordOpen);
  Engine* engine = nullptr;
  if (conn) {
    auto* impl = dynamic_cast<ConnectionImpl*>(conn);
    if (!conn->IsOpen() || !impl) FailClosed();
    engine = impl->engine();
  } else {
    engine = &Engine::ForRoot();
  }
  Session& s = engine->CurrentSession();
  auto loc = Resolve(s, url);
  if (!loc) FailNoItem(url);
  if (createOptions == kFailIfNotExists) {
    if (!loc->found) FailNoItem(url);
    return std::make_unique<RecordImpl>(*engine, mode, loc->item);
  }
  const bool collection = (createOptions & kCreateCollection) != 0;
  const bool overwrite = (createOptions & kCreateOverwrite) != 0;
  if (loc->found && (createOptions & kOpenIfExists) != 0)
    return std::make_unique<RecordImpl>(*engine, mode, loc->item);
  if (collection) {
    if (loc->found) {
      if (overwrite && loc->item.IsFolder())
        return std::make_unique<RecordImpl>(*engine, mode, loc->item);
      Fail(errors::kAlreadyExists, "The item " + ItemUrl(s, loc->item.id) + " already exists");
    }
    if (!CanHoldItems(*loc->parent)) FailNoItem(url);
    Txn t(s);
    int64_t id = InsertItem(s, loc->parent->id, loc->leaf, kFolder, loc->parent->mailbox, nullptr);
    dispatcher::OnSave(s, id, com::EVT_IS_COLLECTION);
    t.Commit();
    auto row = GetItem(s, id);
    if (!row) FailNoItem(url);  // a sink removed it at once
    return std::make_unique<RecordImpl>(*engine, mode, *row);
  }
  if (loc->found) {
    if (loc->item.IsFolder() || !overwrite)
      Fail(errors::kAlreadyExists, "The item " + ItemUrl(s, loc->item.id) + " already exists");
    auto parent = GetItem(s, loc->item.parent);
    if (!parent) FailNoItem(url);
    return std::make_unique<RecordImpl>(*engine, mode, *parent, loc->item.name, true);
  }
  if (!CanHoldItems(*loc->parent)) FailNoItem(url);
  CheckItemName(loc->leaf);
  return std::make_unique<RecordImpl>(*engine, mode, *loc->parent, loc->leaf, overwrite);
}

}  // namespace drossgate::platform::store
