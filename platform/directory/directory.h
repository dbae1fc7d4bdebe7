#pragma once
// The directory: binding to objects by path, the root objects, computer and domain
// information, SQL-dialect queries through a connection, a command and a record set, and the
// mail-server management object. Data comes from the platform root's directory.ldif (or the
// backend machine.json names). Every failure raises PlatformError with the directory's
// message: kServerDown when no directory answers (no or unreadable data, an unknown host),
// kNoSuchObject for a missing object, kBadQuery for a query text that cannot run.
//
// Objects of this header are not shared between threads; the directory behind them is, and
// several threads and processes may read and add entries at once.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace drossgate::platform::directory {

// --- Entries -----------------------------------------------------------------------------

struct Attribute {
  std::string name;  // as first written
  std::vector<std::string> values;
};

// A directory entry: its distinguished name and its attributes in the order written.
struct Entry {
  std::string dn;
  std::vector<Attribute> attributes;

  // The attribute of that name, compared without regard to case; null when absent.
  const Attribute* Find(std::string_view name) const;
  // Adds a value, to the attribute of that name if there is one.
  void Add(std::string_view name, std::string value);
  // Removes the attribute of that name; false when there was none.
  bool Remove(std::string_view name);
};

// An attribute's value as a caller reads it: null for an absent attribute, else one or more
// texts. Multi-valued attributes (objectClass, proxyAddresses) read as arrays in the real
// providers; integer-syntax ones (userAccountControl) as integers.
class Value {
 public:
  Value() = default;
  Value(std::vector<std::string> values, bool multiValued, bool integer)
      : values_(std::move(values)), multiValued_(multiValued), integer_(integer) {}
  static Value Text(std::string text) { return Value({std::move(text)}, false, false); }

  bool IsNull() const { return values_.empty(); }
  // "" when null, the first value otherwise.
  std::string Text() const { return values_.empty() ? std::string() : values_.front(); }
  const std::vector<std::string>& Values() const& { return values_; }
  // On a temporary (rs->Field("x").Values()) a copy, so a range-for over it is safe.
  std::vector<std::string> Values() && { return std::move(values_); }
  bool IsMultiValued() const { return multiValued_ || values_.size() > 1; }
  bool IsInteger() const { return integer_; }
  // The first value as a 32-bit integer (values up to 2^32-1 wrap, as the directory reports
  // flags); nullopt when null or not a number.
  std::optional<int32_t> Int32() const;

 private:
  std::vector<std::string> values_;
  bool multiValued_ = false;
  bool integer_ = false;
};

// --- Binding -----------------------------------------------------------------------------

class DirectoryObject {
 public:
  virtual ~DirectoryObject() = default;
  // The path it was bound with (ADsPath).
  virtual std::string Path() const = 0;
  // The attribute's (first) value as text; raises PlatformError(errors::kPropertyNotFound)
  // when the object has no such attribute.
  virtual std::string Get(const std::string& attribute) const = 0;
  // Every value; raises like Get when absent.
  virtual std::vector<std::string> GetValues(const std::string& attribute) const = 0;
  // Null when absent.
  virtual Value GetValue(const std::string& attribute) const = 0;
  // Re-reads the object, so later reads see the directory's current data; raises
  // kNoSuchObject when it is gone.
  virtual void Refresh() = 0;
};

// Binds "LDAP://RootDSE", "GC://RootDSE", "LDAP://host/DN", "GC://host/DN" (also
// "LDAP://host/RootDSE" and the serverless "LDAP://DN"). The host must be this computer (short
// or fully qualified name) or its domain. The provider prefix is case-sensitive, as the real
// providers' is; a malformed path raises errors::kBadPathname.
std::unique_ptr<DirectoryObject> BindObject(const std::string& path);

// --- Computer and domain information -----------------------------------------------------

class WinNTSystemInfo {
 public:
  std::string ComputerName() const;  // NetBIOS name, as machine.json writes it
};

class ADSystemInfo {
 public:
  std::string DomainDNSName() const;
};

// --- Queries -----------------------------------------------------------------------------

inline constexpr const char* kProvider = "ADsDSOObject";

// A value for a single-quoted literal of the query dialect: every "'" doubled.
std::string QuoteQueryValue(std::string_view value);

class Connection {
 public:
  virtual ~Connection() = default;
  // "adsDSOobject" in any letter case is the only provider that opens.
  virtual void SetProvider(const std::string& provider) = 0;
  virtual std::string Provider() const = 0;
  // connectionString "Active Directory Provider", "ADs Provider" (any case) or empty; user,
  // password and options are accepted and ignored (the directory is local).
  virtual void Open(const std::string& connectionString, const std::string& user = "",
                    const std::string& password = "", int32_t options = -1) = 0;
  virtual bool IsOpen() const = 0;
  virtual void Close() = 0;
};
std::unique_ptr<Connection> CreateConnection();

class RecordSet {
 public:
  virtual ~RecordSet() = default;
  virtual bool IsEof() const = 0;
  virtual bool IsBof() const = 0;
  virtual int32_t RecordCount() const = 0;
  // The selected attribute names, as the query wrote them.
  virtual std::vector<std::string> FieldNames() const = 0;
  // The current row's value of a selected attribute (name compared without regard to case):
  // null when the entry has no such attribute. Raises errors::kFieldMissing for a name the
  // query did not select, errors::kNoCurrentRecord at the end.
  virtual Value Field(const std::string& name) const = 0;
  virtual void MoveNext() = 0;
  virtual void MoveFirst() = 0;
  virtual void MoveLast() = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
};

// A command property value (16- and 32-bit integers both arrive as int32_t).
using PropertyValue = std::variant<bool, int32_t, std::string>;

// Runs query texts of the form
//   SELECT attr, ... FROM 'GC://host[/base]' | 'LDAP://host[/base]' [WHERE filter]
//   [ORDER BY attr [ASC|DESC], ...]
// where a filter joins attr='value' terms ('' is a quote inside a value, * a wildcard, '*'
// alone means present) with AND, OR, NOT and parentheses. Properties, by name without regard
// to case: "Timeout", "searchscope" (0 base, 1 one level, 2 subtree, the default),
// "cache results", "Chase Referrals", "Page Size", "Size Limit" (rows at most; 0 no limit).
// They exist once the command has an active connection, as in the real access layer.
class Command {
 public:
  virtual ~Command() = default;
  // connection must outlive the command's Execute calls.
  virtual void SetActiveConnection(Connection* connection) = 0;
  virtual void SetCommandText(const std::string& text) = 0;
  // Raises errors::kFieldMissing for an unknown name, errors::kInvalidArg for a value the
  // property cannot hold.
  virtual void SetProperty(const std::string& name, const PropertyValue& value) = 0;
  virtual PropertyValue GetProperty(const std::string& name) const = 0;
  // The rows in ORDER BY order (entries missing the sort attribute last, ascending), at most
  // "Size Limit" of them. options (-1) is accepted and ignored.
  virtual std::unique_ptr<RecordSet> Execute(int32_t options = -1) = 0;
};
std::unique_ptr<Command> CreateCommand();

// --- The mail-server management object ----------------------------------------------------

class ExchangeServer {
 public:
  virtual ~ExchangeServer() = default;
  // The server named serverName: its NetBIOS or fully qualified name, without regard to case.
  // Raises errors::kNoSuchObject when the directory has no such server.
  virtual void Open(const std::string& serverName) = 0;
  // "ADsPath" (the server object's LDAP path) or "Name"; raises errors::kNotOpen before Open
  // and errors::kFieldMissing for another name.
  virtual Value Field(const std::string& name) const = 0;
};
std::unique_ptr<ExchangeServer> CreateExchangeServer();

// --- Administration, for hosts (drossgate-platform) and tests -----------------------------
namespace admin {

// Reads LDIF (RFC 2849) content records; raises PlatformError(errors::kCorrupt) whose
// description names sourceName and the line at fault.
std::vector<Entry> ParseLdif(std::string_view text, std::string_view sourceName = "LDIF");
// Entries as LDIF, values that are not safe text base64-encoded.
std::string FormatLdif(const std::vector<Entry>& entries);

// Writes root/directory.ldif with a heading comment and the entries; refuses an existing
// file, duplicate names and entries whose parent is absent.
void CreateDirectoryFile(const std::filesystem::path& root, const std::vector<Entry>& entries,
                         const std::string& heading);
// Adds entries to the current root's directory.ldif (appended, in one atomic replacement under
// a lock); refuses names that exist and entries whose parent is absent (errors::kAlreadyExists,
// errors::kNoSuchObject) and changes nothing then.
void AddEntries(const std::vector<Entry>& entries);
// Every entry of the current root's directory, in file order.
std::vector<Entry> AllEntries();
// A value escaped for use in a distinguished name's RDN ("CN=" + EscapeRdnValue(name) + ",...").
std::string EscapeRdnValue(std::string_view value);

}  // namespace admin

}  // namespace drossgate::platform::directory
