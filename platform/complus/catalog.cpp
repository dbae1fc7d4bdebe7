#include "complus/catalog.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "com/com.h"
#include "error.h"
#include "sqlite_db.h"
#include "system/registry.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::platform::complus {

namespace {

using Stmt = sqlite::Statement;
using Transaction = sqlite::Transaction;

// A catalog file's connection, shared by the threads of a process.
class Db : public sqlite::Connection {
 public:
  explicit Db(const std::string& file)
      : Connection(file, {"catalog file", errors::kCorrupt, 15000, true}) {}
};

// catalog.db: objects of every collection in one table (an application's components name it
// as their parent), their properties in another, in the order they were first set. The
// generation counter in meta goes up in every transaction that changes the catalog; the
// instance number, random per file, tells a catalog made anew from the one it replaced.
constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value INTEGER NOT NULL);
INSERT OR IGNORE INTO meta(name, value) VALUES ('schema', 1), ('generation', 1);
CREATE TABLE IF NOT EXISTS objects(
  id INTEGER PRIMARY KEY,
  collection TEXT NOT NULL,
  parent TEXT NOT NULL COLLATE NOCASE,
  key TEXT NOT NULL COLLATE NOCASE,
  UNIQUE(collection, parent, key));
CREATE TABLE IF NOT EXISTS properties(
  object INTEGER NOT NULL,
  position INTEGER NOT NULL,
  name TEXT NOT NULL COLLATE NOCASE,
  type INTEGER NOT NULL,
  value,
  PRIMARY KEY(object, name));
)";

constexpr const char* kApplications = "Applications";
constexpr const char* kComponents = "Components";

enum ValueKind : int64_t { kNull = 0, kBool = 1, kInt = 2, kText = 3 };

std::string NewGuidText() {
  auto g = CreateGuid();
  if (!g) Fail(errors::kFail, "Cannot create a GUID for the new catalog object");
  return com::FormatGuid(*g);
}

struct Property {
  std::string name;
  PropertyValue value;
};

// What distinguishes the two collections: their key property and their defaults.
struct Kind {
  const char* collection;
  const char* keyProperty;
  const char* singular;
  std::vector<Property> (*defaults)();
};

std::vector<Property> ApplicationDefaults() {
  return {{"Name", std::string()},
          {"ID", NewGuidText()},
          {"ApplicationAccessChecksEnabled", true},
          {"Identity", std::string("Interactive User")},
          {"Password", std::string()},
          {"Description", std::string()}};
}

std::vector<Property> ComponentDefaults() {
  return {{"Name", std::string()},
          {"CLSID", NewGuidText()},
          {"DLL", std::string()},
          {"ConstructionEnabled", false},
          {"ConstructorString", std::monostate{}},
          {"Description", std::string()}};
}

const Kind kApplicationKind{kApplications, "ID", "application", ApplicationDefaults};
const Kind kComponentKind{kComponents, "CLSID", "component", ComponentDefaults};

// Defaults an object read from an older catalog may lack; the generated keys are never
// defaulted this way.
std::optional<PropertyValue> StaticDefault(const Kind& kind, const std::string& name) {
  static const std::vector<Property> app = {{"Name", std::string()},
                                            {"ApplicationAccessChecksEnabled", true},
                                            {"Identity", std::string("Interactive User")},
                                            {"Password", std::string()},
                                            {"Description", std::string()}};
  static const std::vector<Property> comp = {{"Name", std::string()},
                                             {"DLL", std::string()},
                                             {"ConstructionEnabled", false},
                                             {"ConstructorString", std::monostate{}},
                                             {"Description", std::string()}};
  for (const Property& p : &kind == &kApplicationKind ? app : comp)
    if (text::EqualsNoCase(p.name, name)) return p.value;
  return std::nullopt;
}

void BindValue(Stmt& s, int typeIndex, int valueIndex, const PropertyValue& v) {
  if (std::holds_alternative<bool>(v)) {
    s.Bind(typeIndex, int64_t{kBool}).Bind(valueIndex, int64_t{std::get<bool>(v) ? 1 : 0});
  } else if (std::holds_alternative<int32_t>(v)) {
    s.Bind(typeIndex, int64_t{kInt}).Bind(valueIndex, int64_t{std::get<int32_t>(v)});
  } else if (std::holds_alternative<std::string>(v)) {
    s.Bind(typeIndex, int64_t{kText}).Bind(valueIndex, std::get<std::string>(v));
  } else {
    s.Bind(typeIndex, int64_t{kNull}).BindNull(valueIndex);
  }
}

PropertyValue ColumnValue(const Stmt& s, int typeCol, int valueCol) {
  switch (s.Int(typeCol)) {
    case kBool:
      return s.Int(valueCol) != 0;
    case kInt:
      return static_cast<int32_t>(s.Int(valueCol));
    case kText:
      return s.Text(valueCol);
    default:
      return std::monostate{};
  }
}

std::string AsText(const PropertyValue& v) {
  if (auto s = std::get_if<std::string>(&v)) return *s;
  return {};
}

bool AsBool(const PropertyValue& v) {
  if (auto b = std::get_if<bool>(&v)) return *b;
  if (auto i = std::get_if<int32_t>(&v)) return *i != 0;
  return false;
}

class Object final : public CatalogObject {
 public:
  Object(const Kind& kind, int64_t id, std::vector<Property> props)
      : kind_(kind), id_(id), props_(std::move(props)), savedKey_(Key()) {}
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  // A stored password is the catalog's secret: its copy here is overwritten, not just freed.
  ~Object() override {
    for (Property& p : props_)
      if (auto* s = std::get_if<std::string>(&p.value); s && text::EqualsNoCase(p.name, "Password"))
        explicit_bzero(s->data(), s->size());
  }

  std::string Name() const override { return AsText(Find("Name")); }
  std::string Key() const override { return AsText(Find(kind_.keyProperty)); }

  PropertyValue Value(const std::string& property) const override {
    for (const Property& p : props_)
      if (text::EqualsNoCase(p.name, property)) return p.value;
    if (auto d = StaticDefault(kind_, property)) return *d;
    Fail(errors::kInvalidArg,
         "The property \"" + property + "\" is not a property of this " + kind_.singular);
  }

  void SetValue(const std::string& property, const PropertyValue& value) override {
    dirty_ = true;
    for (Property& p : props_) {
      if (text::EqualsNoCase(p.name, property)) {
        p.value = value;
        return;
      }
    }
    props_.push_back({property, value});
  }

  std::vector<std::string> PropertyNames() const override {
    std::vector<std::string> names;
    for (const Property& p : props_) names.push_back(p.name);
    return names;
  }

  int64_t id() const { return id_; }
  bool dirty() const { return dirty_ || id_ == 0; }
  const std::vector<Property>& props() const { return props_; }
  const std::string& savedKey() const { return savedKey_; }
  void Saved(int64_t id) {
    id_ = id;
    dirty_ = false;
    savedKey_ = Key();
  }

 private:
  PropertyValue Find(const char* name) const {
    for (const Property& p : props_)
      if (text::EqualsNoCase(p.name, name)) return p.value;
    return std::monostate{};
  }

  const Kind& kind_;
  int64_t id_;  // 0 until saved
  std::vector<Property> props_;
  std::string savedKey_;  // the key as the file has it
  bool dirty_ = false;
};

std::vector<Property> LoadProperties(Db& db, int64_t id) {
  Stmt s(db, "SELECT name, type, value FROM properties WHERE object = ?1 ORDER BY position");
  s.Bind(1, id);
  std::vector<Property> props;
  while (s.Step()) props.push_back({s.Text(0), ColumnValue(s, 1, 2)});
  return props;
}

void BumpGeneration(Db& db) {
  Stmt(db, "UPDATE meta SET value = value + 1 WHERE name = 'generation'").Run();
}

void DeleteObject(Db& db, int64_t id) {
  Stmt(db, "DELETE FROM properties WHERE object = ?1").Bind(1, id).Run();
  Stmt(db, "DELETE FROM objects WHERE id = ?1").Bind(1, id).Run();
}

struct RegisteredClass {
  std::string clsid;
  std::string progId;
};

class Collection final : public CatalogCollection {
 public:
  Collection(std::shared_ptr<Db> db, const Kind& kind, std::string parent)
      : db_(std::move(db)), kind_(kind), parent_(std::move(parent)) {}

  void Populate() override {
    std::lock_guard lock(db_->mutex());
    items_.clear();
    removed_.clear();
    std::vector<std::unique_ptr<Object>> items;
    Transaction tx(*db_, "BEGIN");
    {
      Stmt s(*db_, "SELECT id FROM objects WHERE collection = ?1 AND parent = ?2 ORDER BY id");
      s.Bind(1, std::string(kind_.collection)).Bind(2, parent_);
      while (s.Step()) {
        int64_t id = s.Int(0);
        items.push_back(std::make_unique<Object>(kind_, id, LoadProperties(*db_, id)));
      }
    }
    tx.Commit();
    items_ = std::move(items);
  }

  int32_t Count() const override { return static_cast<int32_t>(items_.size()); }

  CatalogObject& Item(int32_t index) override { return *items_.at(Checked(index)); }

  CatalogObject& Add() override {
    items_.push_back(std::make_unique<Object>(kind_, 0, kind_.defaults()));
    return *items_.back();
  }

  void Remove(int32_t index) override {
    size_t i = Checked(index);
    if (items_[i]->id() != 0) removed_.push_back({items_[i]->id(), items_[i]->savedKey()});
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
  }

  int32_t SaveChanges() override {
    std::lock_guard lock(db_->mutex());
    int32_t changed = static_cast<int32_t>(removed_.size());
    for (const auto& o : items_) changed += o->dirty() ? 1 : 0;
    if (changed == 0) return 0;
    Transaction tx(*db_, "BEGIN IMMEDIATE");
    std::string parent = ResolveParent();
    std::vector<RegisteredClass> unregistered;
    for (const auto& [id, key] : removed_) {
      DeleteObject(*db_, id);
      if (&kind_ == &kApplicationKind) DeleteComponentsOf(key, unregistered);
    }
    std::vector<int64_t> ids;
    for (const auto& o : items_) ids.push_back(o->dirty() ? Write(*o, parent) : o->id());
    if (&kind_ == &kApplicationKind) RefuseNamesTaken(ids);
    BumpGeneration(*db_);
    tx.Commit();
    // As the real catalog does: a removed application's classes can no longer be created, so
    // an object made from a stale registration cannot go on filtering without its settings.
    for (const RegisteredClass& c : unregistered) {
      registry::DeleteKey(registry::Hive::kClassesRoot, "CLSID\\" + c.clsid);
      if (!c.progId.empty()) registry::DeleteKey(registry::Hive::kClassesRoot, c.progId);
    }
    for (size_t i = 0; i < items_.size(); ++i)
      if (items_[i]->dirty()) items_[i]->Saved(ids[i]);
    removed_.clear();
    return changed;
  }

  std::unique_ptr<CatalogCollection> GetCollection(const std::string& name,
                                                   const std::string& key) override {
    if (&kind_ != &kApplicationKind || !text::EqualsNoCase(name, kComponents))
      Fail(errors::kInvalidArg, "The collection " + std::string(kind_.collection) +
                                    " has no collection \"" + name + "\"");
    return std::make_unique<Collection>(db_, kComponentKind, key);
  }

 private:
  size_t Checked(int32_t index) const {
    if (index < 0 || static_cast<size_t>(index) >= items_.size())
      Fail(errors::kInvalidArg, "There is no object at index " + std::to_string(index) +
                                    " of the collection " + kind_.collection);
    return static_cast<size_t>(index);
  }

  // Applications are found by name without regard to case, so a second one of a name would
  // never be found. Checked inside the writing transaction, which serialises the writers.
  void RefuseNamesTaken(const std::vector<int64_t>& ids) {
    Stmt s(
        *db_,
        "SELECT count(*) FROM objects o JOIN properties p ON p.object = o.id AND p.name = 'Name' "
        "WHERE o.collection = ?1 AND o.parent = '' AND o.id <> ?2 AND p.type = ?3 "
        "AND p.value = ?4 COLLATE NOCASE");
    for (size_t i = 0; i < items_.size(); ++i) {
      const std::string name = items_[i]->Name();
      if (!items_[i]->dirty() || name.empty()) continue;
      s.Reset();
      s.Bind(1, std::string(kApplications)).Bind(2, ids[i]).Bind(3, int64_t{kText}).Bind(4, name);
      if (s.Step() && s.Int(0) > 0)
        Fail(errors::kAlreadyExists,
             "The catalog has an application named " + name + " already; remove it first");
    }
  }

  // Components hang below their application's ID as the catalog spells it.
  std::string ResolveParent() {
    if (&kind_ == &kApplicationKind) return {};
    Stmt s(*db_, "SELECT key FROM objects WHERE collection = ?1 AND parent = '' AND key = ?2");
    s.Bind(1, std::string(kApplications)).Bind(2, parent_);
    if (!s.Step())
      Fail(errors::kNotFound, "The application " + parent_ + " does not exist in the catalog");
    return s.Text(0);
  }

  void DeleteComponentsOf(const std::string& appId, std::vector<RegisteredClass>& classes) {
    Stmt s(*db_, "SELECT id, key FROM objects WHERE collection = ?1 AND parent = ?2");
    s.Bind(1, std::string(kComponents)).Bind(2, appId);
    std::vector<int64_t> ids;
    while (s.Step()) {
      ids.push_back(s.Int(0));
      classes.push_back({s.Text(1), {}});
    }
    for (size_t i = 0; i < ids.size(); ++i) {
      for (const Property& p : LoadProperties(*db_, ids[i]))
        if (text::EqualsNoCase(p.name, "Name")) classes[i].progId = AsText(p.value);
      DeleteObject(*db_, ids[i]);
    }
  }

  int64_t Write(const Object& o, const std::string& parent) {
    const std::string key = o.Key();
    if (key.empty())
      Fail(errors::kInvalidArg,
           "A " + std::string(kind_.singular) + " needs a " + kind_.keyProperty + " to be saved");
    int64_t id = o.id();
    if (id != 0) {
      Stmt(*db_, "UPDATE objects SET key = ?1 WHERE id = ?2").Bind(1, key).Bind(2, id).Run();
      if (db_->Changes() == 0) id = 0;  // removed meanwhile by someone else: save it anew
    }
    if (id == 0) {
      Stmt s(*db_, "INSERT INTO objects(collection, parent, key) VALUES (?1, ?2, ?3)");
      s.Bind(1, std::string(kind_.collection)).Bind(2, parent).Bind(3, key).Run();
      id = db_->LastInsertId();
    } else if (&kind_ == &kApplicationKind && !text::EqualsNoCase(o.savedKey(), key)) {
      Stmt(*db_, "UPDATE objects SET parent = ?1 WHERE collection = ?2 AND parent = ?3")
          .Bind(1, key)
          .Bind(2, std::string(kComponents))
          .Bind(3, o.savedKey())
          .Run();
    }
    Stmt(*db_, "DELETE FROM properties WHERE object = ?1").Bind(1, id).Run();
    Stmt ins(*db_,
             "INSERT INTO properties(object, position, name, type, value) "
             "VALUES (?1, ?2, ?3, ?4, ?5)");
    int64_t position = 0;
    for (const Property& p : o.props()) {
      ins.Reset();
      ins.Bind(1, id).Bind(2, position++).Bind(3, p.name);
      BindValue(ins, 4, 5, p.value);
      ins.Run();
    }
    return id;
  }

  std::shared_ptr<Db> db_;
  const Kind& kind_;
  std::string parent_;
  std::vector<std::unique_ptr<Object>> items_;
  std::vector<std::pair<int64_t, std::string>> removed_;  // id and key as saved
};

std::string CatalogFile() {
  return (PlatformRoot() / "catalog.db").string();
}

// Opens catalog.db and checks that it is a catalog.
std::shared_ptr<Db> OpenDb(const std::string& file) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec))
    Fail(errors::kNotFound, "The catalog file " + file + " does not exist");
  auto db = std::make_shared<Db>(file);
  const std::string notACatalog = "The catalog file " + file + " is not a catalog of this platform";
  // An empty or foreign database has no meta table: that is the same answer, not a query error.
  Stmt tables(*db, "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name = 'meta'");
  if (!tables.Step() || tables.Int(0) != 1) Fail(errors::kCorrupt, notACatalog);
  Stmt s(*db, "SELECT value FROM meta WHERE name = 'schema'");
  if (!s.Step() || s.Int(0) != 1) Fail(errors::kCorrupt, notACatalog);
  return db;
}

std::string RegistryText(registry::Hive hive, const std::string& path) {
  using namespace registry;
  Key key;
  Status st = OpenKey(hive, path, key);
  if (st == kBadRegistry) Fail(errors::kCorrupt, "The registry file is unreadable");
  if (st != kSuccess) return {};
  std::string value;
  st = QueryString(key, "", value);
  CloseKey(key);
  if (st == kBadRegistry) Fail(errors::kCorrupt, "The registry file is unreadable");
  return st == kSuccess ? value : std::string();
}

bool SamePath(const std::string& a, const std::string& b) {
  if (a == b) return true;
  std::error_code ec1, ec2;
  auto ca = std::filesystem::weakly_canonical(a, ec1);
  auto cb = std::filesystem::weakly_canonical(b, ec2);
  return !ec1 && !ec2 && ca == cb;
}

// The classes whose in-process server is the library at dll, in the registry's key order.
std::vector<RegisteredClass> ClassesOf(const std::string& dll) {
  using namespace registry;
  std::vector<RegisteredClass> found;
  Key clsidKey;
  Status st = OpenKey(Hive::kClassesRoot, "CLSID", clsidKey);
  if (st == kBadRegistry) Fail(errors::kCorrupt, "The registry file is unreadable");
  if (st != kSuccess) return found;
  std::string name;
  for (uint32_t i = 0; EnumKey(clsidKey, i, name) == kSuccess; ++i) {
    std::string server = RegistryText(Hive::kClassesRoot, "CLSID\\" + name + "\\InprocServer32");
    if (server.empty() || !SamePath(server, dll)) continue;
    std::string progId = RegistryText(Hive::kClassesRoot, "CLSID\\" + name + "\\ProgID");
    found.push_back({name, progId.empty() ? name : progId});
  }
  CloseKey(clsidKey);
  return found;
}

class CatalogImpl final : public Catalog {
 public:
  explicit CatalogImpl(std::shared_ptr<Db> db) : db_(std::move(db)) {}

  std::unique_ptr<CatalogCollection> GetCollection(const std::string& name) override {
    if (!text::EqualsNoCase(name, kApplications))
      Fail(errors::kInvalidArg, "The catalog has no collection \"" + name + "\"");
    return std::make_unique<Collection>(db_, kApplicationKind, std::string());
  }

  void InstallComponent(const std::string& appName, const std::string& dllPath, const std::string&,
                        const std::string&) override {
    auto apps = GetCollection(kApplications);
    apps->Populate();
    std::string appId;
    for (int32_t i = 0; i < apps->Count() && appId.empty(); ++i)
      if (text::EqualsNoCase(apps->Item(i).Name(), appName)) appId = apps->Item(i).Key();
    for (int32_t i = 0; i < apps->Count() && appId.empty(); ++i)
      if (text::EqualsNoCase(apps->Item(i).Key(), appName)) appId = apps->Item(i).Key();
    if (appId.empty())
      Fail(errors::kNotFound, "The application " + appName + " does not exist in the catalog");

    std::error_code ec;
    const std::string dll = std::filesystem::canonical(dllPath, ec).string();
    if (ec) Fail(errors::kNotFound, "Cannot find the component library " + dllPath);
    com::Library& lib = com::Library::Load(dll);
    if (com::HRESULT hr = lib.RegisterServer(); com::Failed(hr)) {
      std::ostringstream msg;
      msg << "DllRegisterServer of " << dll << " failed with 0x" << std::hex
          << static_cast<uint32_t>(hr);
      Fail(hr, msg.str());
    }
    std::vector<RegisteredClass> classes = ClassesOf(dll);
    if (classes.empty())
      Fail(errors::kClassNotRegistered, "The library " + dll + " registered no classes");

    auto comps = apps->GetCollection(kComponents, appId);
    comps->Populate();
    for (const RegisteredClass& c : classes) {
      CatalogObject* target = nullptr;
      for (int32_t i = 0; i < comps->Count() && !target; ++i)
        if (text::EqualsNoCase(comps->Item(i).Key(), c.clsid)) target = &comps->Item(i);
      if (!target) {
        target = &comps->Add();
        target->SetValue("CLSID", c.clsid);
      }
      target->SetValue("Name", c.progId);
      target->SetValue("DLL", dll);
    }
    comps->SaveChanges();
  }

  void RefreshComponents() override {
    auto apps = GetCollection(kApplications);
    apps->Populate();
    for (int32_t a = 0; a < apps->Count(); ++a) {
      auto comps = apps->GetCollection(kComponents, apps->Item(a).Key());
      comps->Populate();
      for (int32_t i = 0; i < comps->Count(); ++i) {
        CatalogObject& c = comps->Item(i);
        const std::string base = "CLSID\\" + c.Key();
        std::string progId = RegistryText(registry::Hive::kClassesRoot, base + "\\ProgID");
        std::string dll = RegistryText(registry::Hive::kClassesRoot, base + "\\InprocServer32");
        if (!progId.empty() && progId != c.Name()) c.SetValue("Name", progId);
        if (!dll.empty() && dll != AsText(c.Value("DLL"))) c.SetValue("DLL", dll);
      }
      comps->SaveChanges();
    }
  }

 private:
  std::shared_ptr<Db> db_;
};

// A connection per thread for the lookups object creation makes on every delivery; reopened
// when the root changes or the file was replaced or removed.
struct Reader {
  std::string file;
  std::unique_ptr<Db> db;
  std::unique_ptr<Stmt> generation;
  // SQLite's count of other connections' commits when the generation was last read: while it
  // stays, so does the generation (asked for on every delivery).
  std::unique_ptr<Stmt> dataVersion;
  int64_t seenVersion = -1;
  uint64_t seenGeneration = 0;

  Db* Get() {
    std::string now;
    try {
      now = CatalogFile();
    } catch (const PlatformError&) {
      Close();
      return nullptr;
    }
    if (db && (now != file || Moved())) Close();
    if (!db) {
      struct stat st {};
      if (stat(now.c_str(), &st) != 0) return nullptr;
      db = std::make_unique<Db>(now);
      file = now;
    }
    return db.get();
  }
  bool Moved() const {
    int moved = 0;
    return sqlite3_file_control(db->handle(), "main", SQLITE_FCNTL_HAS_MOVED, &moved) !=
               SQLITE_OK ||
           moved != 0;
  }
  void Close() {
    generation.reset();
    dataVersion.reset();
    seenVersion = -1;
    db.reset();
  }
};

Reader& ThreadReader() {
  thread_local Reader reader;
  return reader;
}

}  // namespace

std::unique_ptr<Catalog> OpenCatalog() {
  return std::make_unique<CatalogImpl>(OpenDb(CatalogFile()));
}

void CreateCatalogFile(const std::string& root) {
  const std::string file = (std::filesystem::path(root) / "catalog.db").string();
  // The file exists with its final mode before SQLite writes anything into it, so the stored
  // password is never readable by others, not even for a moment.
  int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0)
    Fail(errors::kFileWrite,
         "Cannot create the catalog file " + file + ": " + std::strerror(errno));
  bool ok = fchmod(fd, 0600) == 0;
  close(fd);
  if (!ok) Fail(errors::kFileWrite, "Cannot restrict the catalog file " + file);
  auto guid = CreateGuid();
  if (!guid) Fail(errors::kFail, "Cannot create a GUID for the catalog file " + file);
  Db db(file);
  db.Exec("PRAGMA journal_mode=WAL");
  Transaction tx(db, "BEGIN IMMEDIATE");
  db.Exec(kSchema);
  Stmt(db, "INSERT OR IGNORE INTO meta(name, value) VALUES ('instance', ?1)")
      .Bind(1, int64_t{guid->data1})
      .Run();
  tx.Commit();
}

std::optional<ComponentRegistration> FindComponent(const std::string& progId) {
  Reader& r = ThreadReader();
  Db* db = r.Get();
  if (!db) return std::nullopt;
  Transaction tx(*db, "BEGIN");
  ComponentRegistration reg;
  {
    Stmt s(*db,
           "SELECT c.id, a.id FROM objects c "
           "JOIN objects a ON a.collection = 'Applications' AND a.parent = '' AND a.key = c.parent "
           "JOIN properties p ON p.object = c.id AND p.name = 'Name' "
           "WHERE c.collection = 'Components' AND p.type = ?2 AND p.value = ?1 COLLATE NOCASE "
           "ORDER BY a.id, c.id LIMIT 1");
    s.Bind(1, progId).Bind(2, int64_t{kText});
    if (!s.Step()) return std::nullopt;
    const int64_t componentId = s.Int(0), appId = s.Int(1);
    for (const Property& p : LoadProperties(*db, componentId)) {
      if (text::EqualsNoCase(p.name, "Name"))
        reg.progId = AsText(p.value);
      else if (text::EqualsNoCase(p.name, "CLSID"))
        reg.clsid = AsText(p.value);
      else if (text::EqualsNoCase(p.name, "DLL"))
        reg.dll = AsText(p.value);
      else if (text::EqualsNoCase(p.name, "ConstructionEnabled"))
        reg.constructionEnabled = AsBool(p.value);
      else if (text::EqualsNoCase(p.name, "ConstructorString") &&
               std::holds_alternative<std::string>(p.value))
        reg.constructorString = std::get<std::string>(p.value);
    }
    for (const Property& p : LoadProperties(*db, appId))
      if (text::EqualsNoCase(p.name, "Name")) reg.appName = AsText(p.value);
  }
  tx.Commit();
  return reg;
}

uint64_t CatalogGeneration() {
  Reader& r = ThreadReader();
  Db* db = r.Get();
  if (!db) Fail(errors::kNotFound, "The component catalog of the platform root does not exist");
  try {
    if (!r.dataVersion) r.dataVersion = std::make_unique<Stmt>(*db, "PRAGMA data_version");
    const int64_t version = r.dataVersion->Step() ? r.dataVersion->Int(0) : -1;
    r.dataVersion->Reset();
    if (version >= 0 && version == r.seenVersion) return r.seenGeneration;
    if (!r.generation)
      r.generation =
          std::make_unique<Stmt>(*db,
                                 "SELECT (SELECT value FROM meta WHERE name = 'instance'), "
                                 "(SELECT value FROM meta WHERE name = 'generation')");
    r.generation->Reset();
    if (!r.generation->Step() || r.generation->IsNull(1))
      Fail(errors::kCorrupt, "it is not a catalog of this platform");
    // A catalog made anew counts from the start again; its random instance number keeps its
    // generations apart from the old file's.
    const uint64_t value = (static_cast<uint64_t>(r.generation->Int(0)) << 32) ^
                           static_cast<uint64_t>(r.generation->Int(1));
    r.generation->Reset();
    r.seenVersion = version;
    r.seenGeneration = value;
    return value;
  } catch (const PlatformError& e) {
    const std::string file = r.file;
    r.Close();
    Fail(errors::kCorrupt, "The component catalog " + file + " cannot be read: " + e.description());
  }
}

}  // namespace drossgate::platform::complus
