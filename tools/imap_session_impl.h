#pragma once
// The parts of one IMAP conversation that its three source files share: the session's state
// and commands (imap_session.cpp), its SEARCH (imap_search.cpp) and its FETCH (imap_fetch.cpp).
// Private to the IMAP library.

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"
#include "imap_message.h"
#include "imap_parser.h"
#include "imap_session.h"

namespace drossgate::tools::imap {

namespace mail = platform::store::mail;
namespace errors = platform::errors;
using platform::PlatformError;

// A well-formed command the server declines: a tagged NO with this text.
class Refusal : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr const char* kSystemFlags[] = {mail::kSeen, mail::kAnswered, mail::kFlagged,
                                               mail::kDeleted, mail::kDraft};
inline constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string Line(std::string_view s);
std::string Literal(std::string_view s);
std::string FlagList(const std::vector<std::string>& flags);
bool HasFlag(const mail::MessageInfo& m, std::string_view flag);
std::string FormatDate(int64_t when);
// "d-Mon-yyyy" at the start of s (day one or two digits, a space allowed before it): the Unix
// time of that day's midnight UTC; rest receives what follows.
std::optional<int64_t> ParseDay(std::string_view s, std::string_view& rest);
// APPEND's date-time, "dd-Mon-yyyy hh:mm:ss +zzzz".
std::optional<int64_t> ParseDateTime(std::string_view s);
// "1:3,7": the numbers in their order, runs shortened.
std::string CompactSet(const std::vector<uint32_t>& n);
// LIST's wildcards: '*' matches anything, '%' anything but the hierarchy separator.
bool Matches(std::string_view pattern, std::string_view name);
std::string Reason(const PlatformError& e);

// A search key, parsed.
struct Key {
  enum class Op {
    kAll,
    kSeq,
    kUid,
    kFlag,
    kNoFlag,
    kNone,
    kHeader,
    kBody,
    kText,
    kSince,
    kBefore,
    kOn,
    kSentSince,
    kSentBefore,
    kSentOn,
    kLarger,
    kSmaller,
    kNot,
    kOr,
    kAnd
  };
  Op op = Op::kAll;
  std::string a, b;
  int64_t n = 0;
  SequenceSet set;
  std::vector<Key> kids;
};

struct FetchItem {
  enum class Kind {  // from kEnvelope on, the message source is read
    kFlags,
    kUid,
    kInternalDate,
    kSize,
    kEnvelope,
    kBody,
    kBodyStructure,
    kSection,
    kRfc822,
    kRfc822Header,
    kRfc822Text
  };
  Kind kind = Kind::kFlags;
  Section section;
  bool peek = false;
  std::optional<std::pair<uint32_t, uint32_t>> partial;
  std::string label;  // how the response names a section
};

class Session::Impl {
 public:
  Impl(Backend& backend, Limits limits, ConnectionInfo connection)
      : conn_(connection), backend_(backend), limits_(limits) {}
  ~Impl() { Release(); }

  // Gives the user's connection back, once.
  void Release() {
    if (mailbox_.empty()) return;
    Deselect();
    store_.reset();
    try {
      backend_.Logout(std::exchange(mailbox_, ""));
    } catch (...) {
      // Nothing more can be done for a connection that is ending.
    }
  }

  std::string Greeting() {
    return Line("* OK [CAPABILITY " + Capabilities() + "] IMAP service ready");
  }
  std::string Feed(std::string_view bytes);
  std::string Poll();

  // Hands what has been answered so far (the earlier commands' responses Feed holds, then this
  // command's untagged ones) to the writer once it is large.
  void Spill(std::string& untagged) {
    if (!writer_ || !answered_ || answered_->size() + untagged.size() < kSpillBytes) return;
    if (!writer_(*answered_) || !writer_(untagged)) closed_ = true;
    answered_->clear();
    untagged.clear();
  }
  static constexpr size_t kSpillBytes = 1 << 20;
  Session::Writer writer_;
  std::string* answered_ = nullptr;  // Feed's responses while it runs

  bool idling_ = false;
  bool closed_ = false;
  bool tlsRequested_ = false;
  ConnectionInfo conn_;

 private:
  enum class Mode { kCommand, kIdle, kAuthenticate };
  bool LoginAllowed() const { return conn_.tls || conn_.loopback; }
  std::string Capabilities() const;
  void Bad(std::string& out, const std::string& tag, std::string_view why);
  void Dispatch(const std::string& command, std::string& out);
  void ContinuationLine(std::string_view line, std::string& out);
  std::string Run(const std::string& tag, const std::string& name, Reader& r, std::string& out);
  void Require(bool authenticated, bool selected) const;
  void Sync(bool allowExpunge, std::string& out);
  void Deselect();

  std::string Path(const std::string& wire) const;
  std::string Display(const std::string& path) const;  // UTF-8, the inbox as "INBOX"
  std::vector<std::string> Flags(Reader& r, bool list);
  std::vector<size_t> Targets(const SequenceSet& set, bool uid) const;
  std::vector<uint32_t> Uids(const std::vector<size_t>& targets) const;
  // Changes the flags of the messages at these positions in the store; returns the positions the
  // store changed (a message gone meanwhile is not among them), their flags updated here.
  std::vector<size_t> ChangeFlags(const std::vector<size_t>& targets,
                                  const std::vector<std::string>& flags, mail::FlagChange change);
  void ExpungedUids(const std::vector<uint32_t>& uids, std::string& out);
  void Forget(const std::function<bool(const mail::MessageInfo&)>& gone, std::string& out);

  std::string Login(const std::string& user, const std::string& password);
  std::string Plain(std::string_view base64);
  std::string Select(Reader& r, bool readOnly, std::string& out);
  std::string List(Reader& r, bool lsub, std::string& out);
  std::string Status(Reader& r, std::string& out);
  std::string Append(Reader& r);
  std::string Search(Reader& r, bool uid, std::string& out);
  Key ParseKey(Reader& r, int depth);
  bool Eval(const Key& k, size_t index, std::unique_ptr<Message>& message);
  std::string Fetch(Reader& r, bool uid, std::string& out);
  FetchItem ParseFetchItem(Reader& r);
  std::string Store(Reader& r, bool uid, std::string& out);
  std::string CopyMove(Reader& r, bool uid, bool move, std::string& out);
  std::string Expunge(const std::optional<std::vector<uint32_t>>& uids, std::string& out);

  Backend& backend_;
  Limits limits_;
  std::string pending_;  // received bytes not yet taken
  std::string command_;  // the command being assembled, literals included
  size_t literalLeft_ = 0;
  size_t lineBytes_ = 0;   // of command_, literals not counted
  bool skipping_ = false;  // the rest of an overlong line is dropped
  Mode mode_ = Mode::kCommand;
  std::string pendingTag_;  // of IDLE or AUTHENTICATE waiting for their line
  int bad_ = 0;

  std::string mailbox_;  // logged in when not empty
  std::unique_ptr<mail::MailStore> store_;
  std::string inbox_;
  bool selected_ = false;
  bool readOnly_ = false;
  std::string folder_;
  uint32_t uidValidity_ = 0;
  std::vector<mail::MessageInfo> messages_;  // sequence number - 1 to the message
  uint64_t counter_ = 0;
  bool expungeOwed_ = false;  // gone messages kept until an EXPUNGE response may be sent
};

}  // namespace drossgate::tools::imap
