#include "directory/directory.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "directory/backend.h"
#include "directory/dn.h"
#include "directory/query.h"
#include "error.h"
#include "fault.h"
#include "system/atomic_file.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::platform::directory {

namespace {

Value MakeValue(std::string_view attribute, std::vector<std::string> values) {
  return Value(std::move(values), IsMultiValuedAttribute(attribute), IsIntegerAttribute(attribute));
}

// The directory server is this computer (or the server machine.json names); a host that names
// anything else does not answer.
void CheckHost(const DirectoryPath& path) {
  if (path.host.empty()) return;
  const MachineInfo& m = Machine();
  if (text::EqualsNoCase(path.host, FullComputerName()) ||
      text::EqualsNoCase(path.host, m.computerName) ||
      (!m.domainName.empty() && text::EqualsNoCase(path.host, m.domainName)))
    return;
  if (CurrentBackend()->ServesHost(path.host)) return;
  Fail(errors::kServerDown,
       "The server is not operational. (" + path.host + " is not a directory server here)");
}

DirectoryPath ParsePathOrFail(const std::string& path) {
  std::string why;
  auto parsed = ParseDirectoryPath(path, &why);
  if (!parsed)
    Fail(errors::kBadPathname,
         "An invalid directory pathname was passed: " + path + " (" + why + ")");
  return *parsed;
}

std::string DefaultNamingContext() {
  return DomainToDn(Machine().domainName);
}

std::string GeneralizedTimeNow() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d%H%M%S.0Z", &tm);
  return buf;
}

Entry RootDse() {
  const MachineInfo& m = Machine();
  const std::string domain = DefaultNamingContext();
  const std::string config = "CN=Configuration," + domain;
  const std::string schema = "CN=Schema," + config;
  const std::string server = "CN=" + EscapeRdnValue(m.computerName) +
                             ",CN=Servers,CN=Default-First-Site-Name,CN=Sites," + config;
  Entry e;
  e.Add("currentTime", GeneralizedTimeNow());
  e.Add("dnsHostName", FullComputerName());
  e.Add("defaultNamingContext", domain);
  e.Add("configurationNamingContext", config);
  e.Add("schemaNamingContext", schema);
  e.Add("rootDomainNamingContext", domain);
  for (const std::string& nc : {domain, config, schema}) e.Add("namingContexts", nc);
  e.Add("serverName", server);
  e.Add("dsServiceName", "CN=NTDS Settings," + server);
  e.Add("ldapServiceName", text::ToLower(m.domainName) + ":" + text::ToLower(m.computerName) +
                               "$@" + text::ToUpper(m.domainName));
  e.Add("isGlobalCatalogReady", "TRUE");
  e.Add("isSynchronized", "TRUE");
  e.Add("supportedLDAPVersion", "3");
  e.Add("supportedLDAPVersion", "2");
  return e;
}

class BoundObject : public DirectoryObject {
 public:
  BoundObject(std::string path, DirectoryPath parsed)
      : path_(std::move(path)), parsed_(std::move(parsed)) {
    Refresh();
  }

  std::string Path() const override { return path_; }

  std::string Get(const std::string& attribute) const override {
    return GetValues(attribute).front();
  }

  std::vector<std::string> GetValues(const std::string& attribute) const override {
    std::vector<std::string> values = AttributeValues(entry_, attribute);
    if (values.empty())
      Fail(errors::kPropertyNotFound,
           "The directory property cannot be found in the cache: " + attribute);
    return values;
  }

  Value GetValue(const std::string& attribute) const override {
    return MakeValue(attribute, AttributeValues(entry_, attribute));
  }

  void Refresh() override {
    CheckHost(parsed_);
    std::shared_ptr<Backend> backend = CurrentBackend();
    const bool globalCatalog = parsed_.scheme == DirectoryPath::Scheme::kGc;
    if (parsed_.rootDse) {
      // A directory server has a root object of its own; the file's is made up here.
      std::optional<Entry> served = backend->RootDse(globalCatalog);
      if (!served) {
        backend->Check();
        served = RootDse();
      }
      entry_ = std::move(*served);
      return;
    }
    // A path without a DN binds the domain's own entry.
    const std::string dn = parsed_.dn.empty() ? DefaultNamingContext() : parsed_.dn;
    auto entry = backend->ReadFrom(dn, globalCatalog);
    if (!entry) Fail(errors::kNoSuchObject, "There is no such object on the server: " + dn);
    entry_ = std::move(*entry);
  }

 private:
  std::string path_;
  DirectoryPath parsed_;
  Entry entry_;
};

// --- Queries ---------------------------------------------------------------------------------

class ConnectionImpl : public Connection {
 public:
  void SetProvider(const std::string& provider) override {
    if (open_) Fail(errors::kInvalidArg, "Operation is not allowed when the object is open.");
    provider_ = provider;
  }
  std::string Provider() const override { return provider_; }

  void Open(const std::string& connectionString, const std::string&, const std::string&,
            int32_t) override {
    if (open_) Fail(errors::kInvalidArg, "Operation is not allowed when the object is open.");
    if (!text::EqualsNoCase(provider_, kProvider))
      Fail(errors::kClassNotRegistered,
           "Provider cannot be found. It may not be properly installed. (" + provider_ + ")");
    const std::string s = text::Trim(connectionString);
    if (!s.empty() && !text::EqualsNoCase(s, "Active Directory Provider") &&
        !text::EqualsNoCase(s, "ADs Provider"))
      Fail(errors::kInvalidArg, "Unknown directory connection string: " + connectionString);
    open_ = true;
  }

  bool IsOpen() const override { return open_; }
  void Close() override {
    if (!open_) Fail(errors::kNotOpen, "Operation is not allowed when the object is closed.");
    open_ = false;
  }

 private:
  std::string provider_;
  bool open_ = false;
};

struct Row {
  Entry entry;
  std::string adsPath;
};

class RecordSetImpl : public RecordSet {
 public:
  RecordSetImpl(std::vector<std::string> fields, std::vector<Row> rows)
      : fields_(std::move(fields)), rows_(std::move(rows)) {}

  bool IsEof() const override { return Open(), position_ >= rows_.size(); }
  bool IsBof() const override { return Open(), rows_.empty(); }
  int32_t RecordCount() const override { return Open(), static_cast<int32_t>(rows_.size()); }
  std::vector<std::string> FieldNames() const override { return Open(), fields_; }

  Value Field(const std::string& name) const override {
    Open();
    auto it = std::find_if(fields_.begin(), fields_.end(),
                           [&](const std::string& f) { return text::EqualsNoCase(f, name); });
    if (it == fields_.end())
      Fail(errors::kFieldMissing,
           "Item cannot be found in the collection corresponding to the requested name or "
           "ordinal: " +
               name);
    const Row& row = Current();
    if (text::EqualsNoCase(name, "ADsPath")) return Value::Text(row.adsPath);
    return MakeValue(name, AttributeValues(row.entry, name));
  }

  void MoveNext() override {
    Current();
    ++position_;
  }
  void MoveFirst() override { Open(), position_ = 0; }
  void MoveLast() override { Open(), position_ = rows_.empty() ? 0 : rows_.size() - 1; }
  void Close() override {
    Open();
    open_ = false;
  }
  bool IsOpen() const override { return open_; }

 private:
  void Open() const {
    if (!open_) Fail(errors::kNotOpen, "Operation is not allowed when the object is closed.");
  }
  const Row& Current() const {
    Open();
    if (position_ >= rows_.size())
      Fail(errors::kNoCurrentRecord,
           "Either BOF or EOF is True, or the current record has been deleted. Requested "
           "operation requires a current record.");
    return rows_[position_];
  }

  std::vector<std::string> fields_;
  std::vector<Row> rows_;
  size_t position_ = 0;
  bool open_ = true;
};

enum class PropertyKind { kInteger, kBoolean };

struct PropertyDef {
  const char* name;
  PropertyKind kind;
  int32_t defaultValue;
};

constexpr PropertyDef kProperties[] = {
    {"Timeout", PropertyKind::kInteger, 0},       {"searchscope", PropertyKind::kInteger, 2},
    {"cache results", PropertyKind::kBoolean, 1}, {"Chase Referrals", PropertyKind::kInteger, 0x40},
    {"Page Size", PropertyKind::kInteger, 0},     {"Size Limit", PropertyKind::kInteger, 0},
};

bool ValidInteger(const PropertyDef& def, int32_t v) {
  const std::string_view name = def.name;
  if (name == "searchscope") return v >= 0 && v <= 2;
  if (name == "Chase Referrals") return v == 0 || v == 0x20 || v == 0x40 || v == 0x60;
  return v >= 0;
}

// The naming context (domain, configuration or schema) holding an entry, by comparison form.
std::string NamingContextOf(const std::string& key) {
  const std::string domain = *NormalizeDn(DefaultNamingContext());
  for (const std::string& nc :
       {"cn=schema,cn=configuration," + domain, "cn=configuration," + domain}) {
    if (key == nc ||
        (key.size() > nc.size() && key.compare(key.size() - nc.size(), nc.size(), nc) == 0 &&
         key[key.size() - nc.size() - 1] == ','))
      return nc;
  }
  return domain;
}

int CompareNoCase(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    auto x = static_cast<unsigned char>(text::UpperAscii(a[i]));
    auto y = static_cast<unsigned char>(text::UpperAscii(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

class CommandImpl : public Command {
 public:
  CommandImpl() {
    for (const PropertyDef& def : kProperties) values_.push_back(def.defaultValue);
  }

  void SetActiveConnection(Connection* connection) override { connection_ = connection; }
  void SetCommandText(const std::string& text) override { text_ = text; }

  void SetProperty(const std::string& name, const PropertyValue& value) override {
    size_t i = Find(name);
    const PropertyDef& def = kProperties[i];
    const std::string* s = std::get_if<std::string>(&value);
    if (def.kind == PropertyKind::kBoolean) {
      if (const bool* b = std::get_if<bool>(&value)) {
        values_[i] = *b ? 1 : 0;
      } else if (const int32_t* n = std::get_if<int32_t>(&value)) {
        values_[i] = *n != 0 ? 1 : 0;
      } else if (text::EqualsNoCase(*s, "true") || text::EqualsNoCase(*s, "false")) {
        values_[i] = text::EqualsNoCase(*s, "true") ? 1 : 0;
      } else {
        BadValue(def, *s);
      }
      return;
    }
    std::optional<int32_t> n;
    if (const int32_t* p = std::get_if<int32_t>(&value)) n = *p;
    if (s) n = Value::Text(*s).Int32();
    if (!n) BadValue(def, s ? *s : "True/False");
    if (!ValidInteger(def, *n)) BadValue(def, std::to_string(*n));
    values_[i] = *n;
  }

  PropertyValue GetProperty(const std::string& name) const override {
    const size_t i = Find(name);
    if (kProperties[i].kind == PropertyKind::kBoolean) return PropertyValue(values_[i] != 0);
    return PropertyValue(values_[i]);
  }

  std::unique_ptr<RecordSet> Execute(int32_t) override {
    if (!connection_ || !connection_->IsOpen())
      Fail(errors::kNotOpen,
           "The connection cannot be used to perform this operation. It is either closed or "
           "invalid in this context.");
    if (text::Trim(text_).empty()) Fail(errors::kBadQuery, "The command text is empty");
    Query q = ParseQuery(text_);
    DirectoryPath from = *ParseDirectoryPath(q.source);
    CheckHost(from);
    std::string base = from.dn;
    // An LDAP search without a base covers the domain; the global catalog covers everything.
    if (base.empty() && from.scheme == DirectoryPath::Scheme::kLdap) base = DefaultNamingContext();
    const auto scope = static_cast<Scope>(values_[Find("searchscope")]);
    const int32_t chase = values_[Find("Chase Referrals")];
    SearchOptions options;
    options.globalCatalog = from.scheme == DirectoryPath::Scheme::kGc;
    if (!q.allAttributes) {
      options.attributes = q.attributes;
      for (const SortKey& key : q.orderBy) options.attributes.push_back(key.attribute);
    }
    // A server may stop at the size limit only where nothing below reorders or drops rows.
    if (q.orderBy.empty() && (base.empty() || (chase & 0x20) != 0))
      options.sizeLimit = values_[Find("Size Limit")];
    options.pageSize = values_[Find("Page Size")];
    options.timeLimit = values_[Find("Timeout")];
    std::vector<Entry> found =
        CurrentBackend()->SearchWith(base, scope, q.where ? &*q.where : nullptr, options);
    // The configuration and schema are naming contexts of their own below the domain's name;
    // a search reaches into them only when it chases subordinate referrals.
    if (!base.empty() && (chase & 0x20) == 0) {
      const std::string home = NamingContextOf(*NormalizeDn(base));
      found.erase(std::remove_if(found.begin(), found.end(),
                                 [&](const Entry& e) {
                                   return NamingContextOf(NormalizeDn(e.dn).value_or("")) != home;
                                 }),
                  found.end());
    }
    if (!q.orderBy.empty()) Sort(found, q.orderBy);
    const int32_t limit = values_[Find("Size Limit")];
    if (limit > 0 && found.size() > static_cast<size_t>(limit))
      found.resize(static_cast<size_t>(limit));

    std::vector<std::string> fields = q.attributes;
    if (q.allAttributes) {
      fields = {"ADsPath"};
      for (const Entry& e : found)
        for (const Attribute& a : e.attributes)
          if (std::none_of(fields.begin(), fields.end(),
                           [&](const std::string& f) { return text::EqualsNoCase(f, a.name); }))
            fields.push_back(a.name);
    }
    std::vector<Row> rows;
    rows.reserve(found.size());
    for (Entry& e : found) {
      std::string path = from.PathOf(e.dn);
      rows.push_back({std::move(e), std::move(path)});
    }
    return std::make_unique<RecordSetImpl>(std::move(fields), std::move(rows));
  }

 private:
  size_t Find(const std::string& name) const {
    if (!connection_)
      Fail(errors::kFieldMissing,
           "Item cannot be found in the collection corresponding to the requested name or "
           "ordinal: " +
               name + " (the command has no connection yet)");
    for (size_t i = 0; i < std::size(kProperties); ++i)
      if (text::EqualsNoCase(kProperties[i].name, name)) return i;
    Fail(errors::kFieldMissing,
         "Item cannot be found in the collection corresponding to the requested name or "
         "ordinal: " +
             name);
  }

  [[noreturn]] static void BadValue(const PropertyDef& def, const std::string& value) {
    Fail(errors::kInvalidArg,
         std::string("The value ") + value + " is not valid for the property \"" + def.name + "\"");
  }

  // Stable, so entries equal under the keys keep the directory's order; an entry without the
  // attribute sorts after every value, as server-side sorting does.
  static void Sort(std::vector<Entry>& entries, const std::vector<SortKey>& keys) {
    std::vector<std::pair<std::vector<std::optional<std::string>>, size_t>> decorated;
    for (size_t i = 0; i < entries.size(); ++i) {
      std::vector<std::optional<std::string>> k;
      for (const SortKey& key : keys) {
        std::vector<std::string> v = AttributeValues(entries[i], key.attribute);
        k.push_back(v.empty() ? std::nullopt : std::optional<std::string>(v.front()));
      }
      decorated.emplace_back(std::move(k), i);
    }
    std::stable_sort(decorated.begin(), decorated.end(), [&](const auto& a, const auto& b) {
      for (size_t k = 0; k < keys.size(); ++k) {
        const auto& x = a.first[k];
        const auto& y = b.first[k];
        int c = (!x && !y) ? 0 : !x ? 1 : !y ? -1 : CompareNoCase(*x, *y);
        if (keys[k].descending) c = -c;
        if (c != 0) return c < 0;
      }
      return false;
    });
    std::vector<Entry> sorted;
    sorted.reserve(entries.size());
    for (auto& d : decorated) sorted.push_back(std::move(entries[d.second]));
    entries = std::move(sorted);
  }

  Connection* connection_ = nullptr;
  std::string text_;
  std::vector<int32_t> values_;  // Booleans as 0 and 1
};

// --- The management object -------------------------------------------------------------

class ExchangeServerImpl : public ExchangeServer {
 public:
  void Open(const std::string& serverName) override {
    const std::string name = text::Trim(serverName);
    const MachineInfo& m = Machine();
    const size_t dot = name.find('.');
    const std::string shortName = name.substr(0, dot);
    const std::string suffix = dot == std::string::npos ? "" : name.substr(dot + 1);
    Filter f;
    f.attribute = "objectClass";
    f.value = "msExchExchangeServer";
    for (const Entry& e : CurrentBackend()->Search("", Scope::kSubtree, &f)) {
      const std::string cn = FirstRdnValue(e.dn);
      bool match = text::EqualsNoCase(cn, name);
      if (!match && dot != std::string::npos) {
        for (const std::string& a : AttributeValues(e, "networkAddress"))
          match = match || text::EqualsNoCase(a, "ncacn_ip_tcp:" + name);
        match = match ||
                (text::EqualsNoCase(cn, shortName) && text::EqualsNoCase(suffix, m.domainName));
      }
      if (match) {
        name_ = cn;
        path_ = "LDAP://" + FullComputerName() + "/" + text::ReplaceAll(e.dn, "/", "\\/");
        return;
      }
    }
    Fail(errors::kNoSuchObject,
         "There is no such object on the server: the server " + name + " is not in the directory");
  }

  Value Field(const std::string& name) const override {
    if (path_.empty())
      Fail(errors::kNotOpen, "Operation is not allowed when the object is closed.");
    if (text::EqualsNoCase(name, "ADsPath")) return Value::Text(path_);
    if (text::EqualsNoCase(name, "Name")) return Value::Text(name_);
    Fail(errors::kFieldMissing,
         "Item cannot be found in the collection corresponding to the requested name or "
         "ordinal: " +
             name);
  }

 private:
  std::string name_;
  std::string path_;
};

}  // namespace

std::unique_ptr<DirectoryObject> BindObject(const std::string& path) {
  return std::make_unique<BoundObject>(path, ParsePathOrFail(path));
}

std::string WinNTSystemInfo::ComputerName() const {
  return Machine().computerName;
}

std::string ADSystemInfo::DomainDNSName() const {
  return Machine().domainName;
}

std::string QuoteQueryValue(std::string_view value) {
  return text::ReplaceAll(value, "'", "''");
}

std::unique_ptr<Connection> CreateConnection() {
  return std::make_unique<ConnectionImpl>();
}
std::unique_ptr<Command> CreateCommand() {
  return std::make_unique<CommandImpl>();
}
std::unique_ptr<ExchangeServer> CreateExchangeServer() {
  return std::make_unique<ExchangeServerImpl>();
}

namespace admin {

void CreateDirectoryFile(const std::filesystem::path& root, const std::vector<Entry>& entries,
                         const std::string& heading) {
  const std::filesystem::path file = root / "directory.ldif";
  if (StampOf(file))
    Fail(errors::kAlreadyExists, "The directory data " + file.string() + " already exists");
  CheckNewEntries(entries, {});
  std::string content;
  for (const std::string& line : text::Split(heading, '\n')) content += "# " + line + "\n";
  content += "version: 1\n\n" + FormatLdif(entries);
  const int err = FaultHit(Fault::kDirectoryWrite) ? -1 : WriteFileAtomically(file, content);
  if (err != 0)
    Fail(errors::kFileWrite, "Cannot write the directory data " + file.string() + ": " +
                                 (err < 0 ? "injected fault" : std::strerror(err)));
}

void AddEntries(const std::vector<Entry>& entries) {
  CurrentBackend()->Add(entries);
}

std::vector<Entry> AllEntries() {
  return CurrentBackend()->All();
}

std::string EscapeRdnValue(std::string_view value) {
  return directory::EscapeRdnValue(value);
}

}  // namespace admin

}  // namespace drossgate::platform::directory
