#pragma once
// The mailbox store and its access layer, shaped like the OLE DB/ADO access the deliverables
// were written against: connections with transactions, records with fields, streams and a
// message object. Items live in the platform root's store.db; a message's source is kept byte
// for byte. Every failing call raises PlatformError (signed number, description); a missing
// item, field or mailbox is such a failure. Calls made on one thread while that thread has a
// transaction open (for example by an event sink inside a delivery) join that transaction.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace drossgate::platform::store {

// A property value: null, Boolean, 32-bit integer or text.
using Value = std::variant<std::monostate, bool, int32_t, std::string>;
// The value as text the way the deliverables read it: "" for null, "True"/"False", decimal.
std::string ValueText(const Value& v);

inline constexpr const char* kProvider = "ExOLEDB.DataSource";

enum class Mode : int32_t { kRead = 1, kReadWrite = 3 };

// Record-open create options.
inline constexpr int32_t kFailIfNotExists = -1;
inline constexpr int32_t kCreateNonCollection = 0;
inline constexpr int32_t kCreateCollection = 0x2000;    // 8192: create a folder, fail if present
inline constexpr int32_t kCreateOverwrite = 0x4000000;  // create, replacing an existing item
inline constexpr int32_t kOpenIfExists = 0x2000000;     // with a create option: open one found
// Record-open options.
inline constexpr int32_t kOpenUnspecified = -1;
inline constexpr int32_t kDelayFetchFields = 0x8000;
// Field type code of a fixed text field, as Fields::Append takes it.
inline constexpr int32_t kFieldTypeText = 129;

class Connection {
 public:
  virtual ~Connection() = default;
  virtual void SetProvider(const std::string& provider) = 0;  // only kProvider opens
  virtual std::string Provider() const = 0;
  virtual void SetConnectionString(const std::string& url) = 0;
  // Opens on url (or the connection string when url is empty); fails when the URL does not
  // name a mailbox (or something below one) of this store.
  virtual void Open(const std::string& url = "") = 0;
  virtual bool IsOpen() const = 0;
  // Closes; a transaction this connection began and did not commit is rolled back.
  virtual void Close() = 0;
  virtual void BeginTrans() = 0;
  virtual void CommitTrans() = 0;  // durable on return
  virtual void RollbackTrans() = 0;
};
std::unique_ptr<Connection> CreateConnection();

class Fields {
 public:
  virtual ~Fields() = default;
  virtual int32_t Count() const = 0;
  virtual std::vector<std::string> Names() const = 0;
  // Raises PlatformError (errors::kFieldMissing) when the item has no such property.
  virtual Value Get(const std::string& name) const = 0;
  virtual bool Has(const std::string& name) const = 0;
  virtual void Set(const std::string& name, const Value& value) = 0;
  // A new field; a plain name (no ":") is the named string property of the public-strings
  // set, also reachable as
  // "http://schemas.microsoft.com/mapi/string/{00020329-0000-0000-C000-000000000046}/<name>".
  virtual void Append(const std::string& name, int32_t type, int32_t size, int32_t attributes,
                      const Value& value) = 0;
  virtual void Delete(const std::string& name) = 0;  // removed at the next Update
  // Writes pending changes. Outside an event on this item this is a client save and raises
  // the store's save events.
  virtual void Update() = 0;
};

class Record {
 public:
  virtual ~Record() = default;
  virtual Fields& GetFields() = 0;
  virtual std::string Url() const = 0;        // file://./backofficestorage/... spelling
  virtual std::string ParentUrl() const = 0;  // the folder that holds the item
  virtual bool IsCollection() const = 0;
  // Moves the item at source (this record's item when empty) to destination, replacing an
  // item there when overwrite is set; returns the new URL. Raises save events at the
  // destination (no delivered flag).
  virtual std::string MoveRecord(const std::string& source, const std::string& destination,
                                 bool overwrite) = 0;
  // Deletes the item at url (this record's item when empty), a folder with its content.
  virtual void DeleteRecord(const std::string& url = "") = 0;
  virtual void Close() = 0;
};

// Opens the item at url. conn may be null (an implicit connection). createOptions: one of the
// constants above; kFailIfNotExists fails when absent, kCreateCollection when present.
std::unique_ptr<Record> OpenRecord(const std::string& url, Connection* conn, Mode mode,
                                   int32_t createOptions = kFailIfNotExists,
                                   int32_t openOptions = kOpenUnspecified);

enum class SaveOption : int32_t { kCreateNotExist = 1, kCreateOverwrite = 2 };

// A stream over a copy of a message's source. Writing changes the stream, not the item.
class Stream {
 public:
  virtual ~Stream() = default;
  virtual std::string ReadText() = 0;  // from the position to the end, byte for byte
  virtual int64_t Position() const = 0;
  virtual void SetPosition(int64_t position) = 0;
  virtual void WriteText(const std::string& text) = 0;  // at the position, no line end added
  // Writes the whole stream to path. kCreateNotExist never replaces an existing file and never
  // leaves a partial file under path: the content is written to a hidden temporary name in
  // the same folder, flushed to disk (unless durable is false, for a file that something
  // durable elsewhere can make again), then linked to path.
  virtual void SaveToFile(const std::filesystem::path& path, SaveOption option,
                          bool durable = true) = 0;
  virtual void Close() = 0;
};

// The message object ("CDO.Message").
class Message {
 public:
  virtual ~Message() = default;
  virtual void OpenDataSource(const std::string& url) = 0;  // raises when no such item
  virtual std::unique_ptr<Stream> GetStream() = 0;
};
std::unique_ptr<Message> CreateMessage();

// The store's file-system view below "\\.\backofficestorage\" (separators "\" or "/").
// Lists the names of the entries of a folder (the domains at the top); empty when absent.
std::vector<std::string> ListFileSystemView(const std::string& path);
// True when path names an existing folder of the store.
bool FileSystemFolderExists(const std::string& path);

// What the store reads of a message's text when it is delivered or saved.
struct ParsedMessage {
  std::string subject;                   // RFC 2047 decoded, UTF-8
  std::optional<std::string> fromEmail;  // address of the first From mailbox
  std::string headerBlock;               // the top-level header lines, CR LF line ends
  std::string messageId;                 // the Message-ID without its angle brackets
};

// --- Administration, for hosts (drossgate-platform) and tests ---------------------------
namespace admin {

struct MailboxInfo {
  std::string alias;
  std::vector<std::string> addresses;  // SMTP addresses, the primary one first
  std::string url;                     // mailbox root URL
  std::string inboxUrl;
  std::string storeName;  // the mailbox store that holds it
  bool isSystem = false;  // a store's SystemMailbox{GUID}
};

// Creates store.db in root with one mailbox store for domain and its system mailbox
// (SystemMailbox{GUID} with the folder StoreEvents/GlobalEvents). Returns the system mailbox.
MailboxInfo CreateStore(const std::filesystem::path& root, const std::string& domain,
                        const std::string& storeName);
// A mailbox with its root, inbox (named inboxName) and the usual top-level folders, in the
// mailbox store named storeName (the first one when empty). The alias and every address must
// be new: none may name another mailbox already.
MailboxInfo AddMailbox(const std::string& alias, const std::vector<std::string>& addresses,
                       const std::string& inboxName = "Inbox", const std::string& storeName = "");
std::vector<MailboxInfo> ListMailboxes();
// By alias or SMTP address, without regard to case; a subaddress user+detail@domain finds the
// mailbox of user@domain. Without withUrls, url and inboxUrl stay empty: a mail server's
// recipient check needs neither, and they are most of the cost.
std::optional<MailboxInfo> FindMailbox(const std::string& aliasOrAddress, bool withUrls = true);

struct DeliveryResult {
  std::string deliveredUrl;           // where the item was saved
  std::optional<std::string> nowUrl;  // where it is after all events; nullopt when gone
  std::string permanentUrl;           // the item wherever it goes (see WhereIs)
};
struct DeliveryOptions {
  std::optional<int32_t> scl;  // the spam confidence level to record
  // Else the level an upstream scanner wrote into this header line: its leading whole number,
  // held to -1..9 (none without one).
  std::string sclHeader;
  std::string envelopeSender;  // recorded as urn:schemas:mailheader:return-path when given
  // The source's, from ParseForDelivery; parsed by Deliver when null. Parsing needs no store,
  // so a host with one delivering thread parses on the threads that received the messages.
  const ParsedMessage* parsed = nullptr;
  // How it came, as the delivery log says: "deliver", "lmtp" or "pickup".
  const char* via = "deliver";
};
ParsedMessage ParseForDelivery(const std::string& source);
// Delivers source into the mailbox's inbox as a delivered item (flag 0x8), raising the save
// events; durable when it returns. Inside a Batch it is durable, and its events' committed
// phases run, only when the batch commits; nowUrl is then where the begin phase left it.
DeliveryResult Deliver(const std::string& mailbox, const std::string& source,
                       const DeliveryOptions& options);
DeliveryResult Deliver(const std::string& mailbox, const std::string& source,
                       std::optional<int32_t> scl = std::nullopt);
// Where the item with this permanent URL is now; nullopt when it is gone.
std::optional<std::string> WhereIs(const std::string& permanentUrl);

// One transaction around the store calls this thread makes while it is open: each call joins
// it, and one that fails undoes only its own part. Nothing is durable, and no event's
// committed phase runs, until Commit; destroyed uncommitted, it rolls everything back.
class Batch {
 public:
  Batch();
  ~Batch();
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;
  void Commit();  // durable on return; raises when the commit fails (then nothing is kept)

 private:
  bool done_ = false;
};
// Saves source at url as a client would (no delivered flag), raising the save events.
std::string SaveItem(const std::string& url, const std::string& source);

struct ItemInfo {
  std::string url;
  std::string name;
  bool folder = false;
  bool hidden = false;
  std::string contentClass;
};
std::vector<ItemInfo> List(const std::string& url, bool recursive);

// A message the sink parked in a mailbox root for its committed phase, which never finished it
// (the delivering process was killed, or the committed phase gave up).
struct ParkedItem {
  std::string mailbox;  // alias
  std::string url;
  std::string kind;  // "delete" or "forward"
  std::string subject;
  std::string from;
  int64_t created = 0;         // Unix time of its delivery; 0 when unknown
  std::string pickupFileName;  // a forward's pickup file, while its forward is under way
};
std::vector<ParkedItem> ListParked();

// A parked forward for the pickup side to hand on: the parked message and what the sink wrote
// into its pickup file.
struct ParkedForward {
  std::string url;
  std::string pickupFileName;  // the name the sink gave (or gives) its pickup file
  std::string receiver;        // as the rule wrote it
  std::string sender;          // the message's from-address
  int64_t created = 0;         // Unix time of its delivery
  int64_t item = 0;            // the parked message's id, as the delivery log names it
};
// Every parked forward whose recipient the sink recorded with it.
std::vector<ParkedForward> ParkedForwards();
// Whether url is still a parked forward; inside a Batch the answer holds until it ends.
bool IsParkedForward(const std::string& url);
// Removes a parked forward that has been handed on, recording it as forwarded in the delivery
// log; inside a Batch it goes with the deliveries that replace it.
void FinishParkedForward(const std::string& url);
// Moves a parked message back into its mailbox's inbox, visible and without the marker, as if
// no rule had matched; returns its new URL. Raises errors::kInvalidArg for a URL that names no
// parked message.
std::string RestoreParked(const std::string& url);
// Properties as they were written (names as written), computed ones included.
std::vector<std::pair<std::string, Value>> Properties(const std::string& url);
std::string Source(const std::string& url);
void Remove(const std::string& url);

}  // namespace admin

}  // namespace drossgate::platform::store
