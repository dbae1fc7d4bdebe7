#include "imap_session_impl.h"

#include <algorithm>
#include <ctime>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include <glib.h>

#include "text.h"

namespace drossgate::tools::imap {

std::string Line(std::string_view s) {
  return std::string(s) + "\r\n";
}

std::string Literal(std::string_view s) {
  return "{" + std::to_string(s.size()) + "}\r\n" + std::string(s);
}

std::string FlagList(const std::vector<std::string>& flags) {
  std::string out = "(";
  for (const std::string& f : flags) out += (out.size() > 1 ? " " : "") + f;
  return out + ")";
}

bool HasFlag(const mail::MessageInfo& m, std::string_view flag) {
  return std::find(m.flags.begin(), m.flags.end(), flag) != m.flags.end();
}

std::string FormatDate(int64_t when) {
  const time_t t = static_cast<time_t>(when);
  struct tm tm {};
  gmtime_r(&t, &tm);
  char buf[40];
  snprintf(buf, sizeof buf, "%2d-%s-%04d %02d:%02d:%02d +0000", tm.tm_mday, kMonths[tm.tm_mon % 12],
           tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::optional<int64_t> ParseDay(std::string_view s, std::string_view& rest) {
  if (!s.empty() && s[0] == ' ') s.remove_prefix(1);
  int day = 0, i = 0;
  while (i < 2 && i < static_cast<int>(s.size()) && g_ascii_isdigit(s[i]))
    day = day * 10 + (s[i++] - '0');
  if (i == 0 || s.size() < static_cast<size_t>(i) + 9 || s[i] != '-' || s[i + 4] != '-')
    return std::nullopt;
  int month = -1;
  for (int m = 0; m < 12; ++m)
    if (text::EqualsNoCase(s.substr(i + 1, 3), kMonths[m])) month = m;
  int year = 0;
  for (int k = i + 5; k < i + 9; ++k) {
    if (!g_ascii_isdigit(s[k])) return std::nullopt;
    year = year * 10 + (s[k] - '0');
  }
  if (month < 0 || day < 1 || day > 31 || year < 1970) return std::nullopt;
  struct tm tm {};
  tm.tm_mday = day;
  tm.tm_mon = month;
  tm.tm_year = year - 1900;
  rest = s.substr(i + 9);
  return static_cast<int64_t>(timegm(&tm));
}

std::optional<int64_t> ParseDateTime(std::string_view s) {
  std::string_view rest;
  const std::optional<int64_t> day = ParseDay(s, rest);
  if (!day || rest.size() != 15 || rest[0] != ' ' || rest[3] != ':' || rest[6] != ':' ||
      rest[9] != ' ' || (rest[10] != '+' && rest[10] != '-'))
    return std::nullopt;
  int v[7] = {};
  const int at[7] = {1, 4, 7, 11, 13, 0, 0};
  for (int k = 0; k < 5; ++k) {
    if (!g_ascii_isdigit(rest[at[k]]) || !g_ascii_isdigit(rest[at[k] + 1])) return std::nullopt;
    v[k] = (rest[at[k]] - '0') * 10 + (rest[at[k] + 1] - '0');
  }
  if (v[0] > 23 || v[1] > 59 || v[2] > 60 || v[4] > 59) return std::nullopt;
  const int64_t zone = (v[3] * 3600 + v[4] * 60) * (rest[10] == '-' ? -1 : 1);
  return *day + v[0] * 3600 + v[1] * 60 + v[2] - zone;
}

std::string CompactSet(const std::vector<uint32_t>& n) {
  std::string out;
  for (size_t i = 0; i < n.size();) {
    size_t j = i;
    while (j + 1 < n.size() && n[j + 1] == n[j] + 1) ++j;
    out +=
        (out.empty() ? "" : ",") + std::to_string(n[i]) + (j > i ? ":" + std::to_string(n[j]) : "");
    i = j + 1;
  }
  return out;
}

bool Matches(std::string_view pattern, std::string_view name) {
  if (pattern.size() > 1024) return false;
  std::vector<char> row(name.size() + 1, 0), next(name.size() + 1);
  row[0] = 1;
  for (const char p : pattern) {
    std::fill(next.begin(), next.end(), 0);
    for (size_t j = 0; j <= name.size(); ++j) {
      if (p == '*' || p == '%') {
        if (row[j] || (j > 0 && next[j - 1] && (p == '*' || name[j - 1] != '/'))) next[j] = 1;
      } else if (j > 0 && row[j - 1] && name[j - 1] == p) {
        next[j] = 1;
      }
    }
    row.swap(next);
  }
  return row[name.size()];
}

std::string Reason(const PlatformError& e) {
  switch (e.number()) {
    case errors::kNotFound:
      return "[NONEXISTENT] No such mailbox or message";
    case errors::kInvalidArg:
      return "[CANNOT] Not allowed for this mailbox or name";
    case errors::kAlreadyExists:
      return "[ALREADYEXISTS] Mailbox already exists";
    case errors::kAccessDenied:
      return "[NOPERM] Permission denied";
    default:
      return "[UNAVAILABLE] The mailbox store failed; try again later";
  }
}

namespace {

// The tag of a command whose rest cannot be read: its first word if that is a tag.
std::string TagOf(std::string_view command) {
  const std::string_view word =
      command.substr(0, std::min(command.find_first_of(" \r\n"), size_t{64}));
  try {
    Reader r(word);
    std::string tag = r.Tag();
    if (r.AtEnd()) return tag;
  } catch (const SyntaxError&) {
  }
  return "*";
}

}  // namespace

std::string Session::Impl::Capabilities() const {
  std::string caps =
      "IMAP4rev1 LITERAL+ SASL-IR ID ENABLE IDLE NAMESPACE UIDPLUS MOVE SPECIAL-USE UNSELECT";
  if (!mailbox_.empty()) return caps;
  if (conn_.tlsAvailable && !conn_.tls) caps += " STARTTLS";
  return caps + (LoginAllowed() ? " AUTH=PLAIN" : " LOGINDISABLED");
}

void Session::Impl::Bad(std::string& out, const std::string& tag, std::string_view why) {
  out += Line(tag + " BAD " + std::string(why));
  if (++bad_ >= limits_.maxBadCommands) {
    out += Line("* BYE Too many bad commands");
    closed_ = true;
  }
}

std::string Session::Impl::Feed(std::string_view bytes) {
  std::string out;
  if (closed_ || tlsRequested_) return out;
  answered_ = &out;  // for Spill; cleared however this ends, so that it never outlives out
  const std::unique_ptr<std::string*, void (*)(std::string**)> done(
      &answered_, [](std::string** p) { *p = nullptr; });
  pending_.append(bytes);
  size_t pos = 0;
  while (!closed_ && !tlsRequested_ && pos < pending_.size()) {
    if (literalLeft_ > 0) {
      const size_t take = std::min(literalLeft_, pending_.size() - pos);
      command_.append(pending_, pos, take);
      pos += take;
      literalLeft_ -= take;
      continue;
    }
    const size_t nl = pending_.find('\n', pos);
    if (skipping_) {
      pos = nl == std::string::npos ? pending_.size() : nl + 1;
      skipping_ = nl == std::string::npos;
      continue;
    }
    const size_t length = (nl == std::string::npos ? pending_.size() : nl) - pos;
    if (lineBytes_ + length > limits_.maxCommandLine) {
      std::string tag =
          mode_ != Mode::kCommand
              ? std::move(pendingTag_)
              : TagOf(command_.empty() ? std::string_view(pending_).substr(pos) : command_);
      mode_ = Mode::kCommand;
      idling_ = false;
      command_.clear();
      lineBytes_ = 0;
      skipping_ = true;
      Bad(out, tag, "Command line too long");
      continue;
    }
    if (nl == std::string::npos) break;
    std::string_view line(pending_.data() + pos, length);
    pos = nl + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (mode_ != Mode::kCommand) {
      ContinuationLine(line, out);
      continue;
    }
    lineBytes_ += line.size() + 2;
    command_.append(line).append("\r\n");
    if (const std::optional<LiteralMarker> literal = LiteralAtEnd(line)) {
      // Before login a literal can only be a name or a password: small.
      const uint64_t limit = mailbox_.empty() ? limits_.maxCommandLine : limits_.maxLiteral;
      if (literal->size > limit ||
          command_.size() + literal->size > limits_.maxLiteral + limits_.maxCommandLine) {
        const std::string tag = TagOf(command_);
        command_.clear();
        lineBytes_ = 0;
        if (literal->synchronising) {
          Bad(out, tag, "Literal too large");
        } else {
          // Its bytes are on their way and cannot be told from commands: the end.
          out += Line(tag + " BAD Literal too large") + Line("* BYE Literal too large");
          closed_ = true;
        }
        continue;
      }
      literalLeft_ = static_cast<size_t>(literal->size);
      if (literal->synchronising) out += Line("+ Ready for literal data");
      continue;
    }
    const std::string command = std::move(command_);
    command_.clear();
    lineBytes_ = 0;
    Dispatch(command, out);
  }
  // Bytes after STARTTLS were sent in the clear before the handshake: never trusted.
  if (tlsRequested_ || closed_)
    pending_.clear();
  else
    pending_.erase(0, pos);
  return out;
}

void Session::Impl::ContinuationLine(std::string_view line, std::string& out) {
  const std::string tag = std::move(pendingTag_);
  const Mode mode = mode_;
  mode_ = Mode::kCommand;
  idling_ = false;
  std::string reply;
  try {
    if (mode == Mode::kIdle) {
      if (!text::EqualsNoCase(line, "DONE")) return Bad(out, tag, "Expected DONE");
      Sync(true, out);
      reply = "OK IDLE terminated";
    } else {
      reply = line == "*" ? "BAD Authentication cancelled" : Plain(line);
    }
  } catch (const SyntaxError& e) {
    return Bad(out, tag, e.what());
  } catch (const Refusal& e) {
    reply = std::string("NO ") + e.what();
  } catch (const std::exception&) {
    reply = "NO [UNAVAILABLE] Try again later";
  }
  out += Line(tag + " " + reply);
}

void Session::Impl::Dispatch(const std::string& command, std::string& out) {
  if (command.find('\0') != std::string::npos) return Bad(out, TagOf(command), "NUL in command");
  Reader r(command);
  std::string tag, name;
  try {
    tag = r.Tag();
    r.Space();
    name = text::ToUpper(r.Atom());
  } catch (const SyntaxError&) {
    return Bad(out, tag.empty() ? "*" : tag, "Missing command");
  }
  std::string untagged, reply;
  try {
    reply = Run(tag, name, r, untagged);
  } catch (const SyntaxError& e) {
    out += untagged;
    return Bad(out, tag, e.what());
  } catch (const Refusal& e) {
    reply = std::string("NO ") + e.what();
  } catch (const PlatformError& e) {
    reply = "NO " + Reason(e);
  } catch (const std::exception&) {
    reply = "NO [SERVERBUG] The command failed";
  }
  out += untagged;
  if (!reply.empty()) out += Line(tag + " " + reply);
}

void Session::Impl::Require(bool authenticated, bool selected) const {
  if (authenticated && mailbox_.empty()) throw SyntaxError("Log in first");
  if (selected && !selected_) throw SyntaxError("No mailbox selected");
}

std::string Session::Impl::Run(const std::string& tag, const std::string& name, Reader& r,
                               std::string& out) {
  // After a command that addresses messages by number, no EXPUNGE may follow (it would shift
  // the numbers the client is still using); the UID forms may have them.
  bool allowExpunge = true;
  std::string reply;
  if (name == "CAPABILITY") {
    r.End();
    out += Line("* CAPABILITY " + Capabilities());
    reply = "OK CAPABILITY completed";
  } else if (name == "NOOP" || name == "CHECK") {
    r.End();
    Require(name == "CHECK", name == "CHECK");
    reply = "OK " + name + " completed";
  } else if (name == "LOGOUT") {
    r.End();
    out += Line("* BYE Logging out");
    closed_ = true;
    Release();
    return "OK LOGOUT completed";
  } else if (name == "ID") {
    r.Space();
    if (r.Take('(')) {
      while (!r.Take(')')) {
        r.Take(' ');
        r.NString();
      }
    } else {
      r.NString();
    }
    r.End();
    out += Line("* ID (\"name\" \"Drossgate\")");
    reply = "OK ID completed";
  } else if (name == "STARTTLS") {
    r.End();
    if (!mailbox_.empty() || conn_.tls || !conn_.tlsAvailable)
      throw SyntaxError("STARTTLS not available");
    tlsRequested_ = true;
    return "OK Begin TLS negotiation now";
  } else if (name == "LOGIN") {
    r.Space();
    const std::string user = r.AString();
    r.Space();
    const std::string password = r.AString();
    r.End();
    return Login(user, password);
  } else if (name == "AUTHENTICATE") {
    r.Space();
    const std::string mechanism = text::ToUpper(r.Atom());
    std::optional<std::string> initial;
    if (r.Take(' ')) initial = r.Atom();
    r.End();
    if (!mailbox_.empty()) throw SyntaxError("Already logged in");
    if (mechanism != "PLAIN") throw Refusal("Unsupported authentication mechanism");
    if (!LoginAllowed()) throw Refusal("[PRIVACYREQUIRED] Use TLS to log in");
    if (initial) return Plain(*initial == "=" ? "" : *initial);
    mode_ = Mode::kAuthenticate;
    pendingTag_ = tag;
    out += Line("+ ");
    return "";
  } else if (name == "SELECT" || name == "EXAMINE") {
    Require(true, false);
    return Select(r, name == "EXAMINE", out);
  } else if (name == "CREATE" || name == "DELETE" || name == "SUBSCRIBE" || name == "UNSUBSCRIBE") {
    Require(true, false);
    r.Space();
    std::string wire = r.AString();
    r.End();
    // A trailing separator only says that the folder is meant to hold others.
    if (name == "CREATE" && wire.size() > 1 && wire.back() == '/') wire.pop_back();
    const std::string path = Path(wire);
    const bool inbox = text::EqualsNoCase(path, inbox_);
    if (name == "CREATE") {
      if (inbox) throw Refusal("[ALREADYEXISTS] The inbox exists");
      store_->CreateFolder(path);
    } else if (name == "DELETE") {
      if (inbox) throw Refusal("[CANNOT] The inbox cannot be deleted");
      store_->DeleteFolder(path);
    } else {
      store_->SetSubscribed(path, name == "SUBSCRIBE");
    }
    reply = "OK " + name + " completed";
  } else if (name == "RENAME") {
    Require(true, false);
    r.Space();
    const std::string from = Path(r.AString());
    r.Space();
    const std::string to = Path(r.AString());
    r.End();
    store_->RenameFolder(from, to);
    reply = "OK RENAME completed";
  } else if (name == "LIST" || name == "LSUB") {
    Require(true, false);
    reply = List(r, name == "LSUB", out);
  } else if (name == "STATUS") {
    Require(true, false);
    reply = Status(r, out);
  } else if (name == "APPEND") {
    Require(true, false);
    reply = Append(r);
  } else if (name == "NAMESPACE") {
    Require(true, false);
    r.End();
    out += Line("* NAMESPACE ((\"\" \"/\")) NIL NIL");
    reply = "OK NAMESPACE completed";
  } else if (name == "ENABLE") {
    Require(true, false);
    do {
      r.Space();
      r.Atom();
    } while (!r.AtEnd());
    out += Line("* ENABLED");  // nothing this server offers needs enabling
    reply = "OK ENABLE completed";
  } else if (name == "IDLE") {
    Require(true, false);
    r.End();
    Sync(true, out);
    mode_ = Mode::kIdle;
    idling_ = true;
    pendingTag_ = tag;
    out += Line("+ idling");
    return "";
  } else if (name == "CLOSE" || name == "UNSELECT") {
    Require(true, true);
    r.End();
    if (name == "CLOSE" && !readOnly_) store_->Expunge(folder_, std::nullopt);
    Deselect();
    return "OK " + name + " completed";
  } else if (name == "EXPUNGE") {
    Require(true, true);
    r.End();
    reply = Expunge(std::nullopt, out);
  } else if (name == "SEARCH" || name == "FETCH" || name == "STORE") {
    Require(true, true);
    allowExpunge = false;
    reply = name == "SEARCH"  ? Search(r, false, out)
            : name == "FETCH" ? Fetch(r, false, out)
                              : Store(r, false, out);
  } else if (name == "COPY" || name == "MOVE") {
    Require(true, true);
    reply = CopyMove(r, false, name == "MOVE", out);
  } else if (name == "UID") {
    Require(true, true);
    r.Space();
    const std::string sub = text::ToUpper(r.Atom());
    if (sub == "FETCH") {
      reply = Fetch(r, true, out);
    } else if (sub == "SEARCH") {
      reply = Search(r, true, out);
    } else if (sub == "STORE") {
      reply = Store(r, true, out);
    } else if (sub == "COPY" || sub == "MOVE") {
      reply = CopyMove(r, true, sub == "MOVE", out);
    } else if (sub == "EXPUNGE") {
      r.Space();
      const SequenceSet set = r.Sequence();
      r.End();
      reply = Expunge(Uids(Targets(set, true)), out);
    } else {
      throw SyntaxError("Unknown UID command");
    }
  } else {
    throw SyntaxError("Unknown command");
  }
  try {
    Sync(allowExpunge, out);
  } catch (const PlatformError&) {
    // The command itself is done; changes made elsewhere are reported at the next one.
  }
  return reply;
}

std::string Session::Impl::Login(const std::string& user, const std::string& password) {
  if (!mailbox_.empty()) throw SyntaxError("Already logged in");
  if (!LoginAllowed()) throw Refusal("[PRIVACYREQUIRED] Use TLS to log in");
  LoginResult result;
  try {
    result = backend_.Login(user, password);
  } catch (const std::exception&) {
    result.outcome = LoginResult::Outcome::kUnavailable;
  }
  switch (result.outcome) {
    case LoginResult::Outcome::kOk:
      break;
    case LoginResult::Outcome::kWrongCredentials:
      throw Refusal("[AUTHENTICATIONFAILED] Invalid credentials");
    case LoginResult::Outcome::kTooManyConnections:
      throw Refusal("[LIMIT] Too many connections for this user");
    default:
      throw Refusal("[UNAVAILABLE] Try again later");
  }
  try {
    store_ = backend_.Open(result.mailbox);
    if (store_) inbox_ = store_->InboxPath();
  } catch (const std::exception&) {
    store_.reset();
  }
  if (!store_) {
    backend_.Logout(result.mailbox);
    throw Refusal("[UNAVAILABLE] The mailbox cannot be opened now");
  }
  mailbox_ = result.mailbox;
  return "OK [CAPABILITY " + Capabilities() + "] Logged in";
}

std::string Session::Impl::Plain(std::string_view base64) {
  const bool valid =
      base64.size() % 4 == 0 && base64.find_first_not_of(
                                    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                    "0123456789+/=") == std::string_view::npos;
  if (!valid) throw SyntaxError("Invalid base64");
  std::string decoded;
  if (!base64.empty()) {
    gsize length = 0;
    guchar* raw = g_base64_decode(std::string(base64).c_str(), &length);
    decoded.assign(reinterpret_cast<char*>(raw), length);
    g_free(raw);
  }
  const size_t first = decoded.find('\0');
  const size_t second = first == std::string::npos ? first : decoded.find('\0', first + 1);
  if (second == std::string::npos || decoded.find('\0', second + 1) != std::string::npos)
    throw SyntaxError("Malformed PLAIN response");
  const std::string authz = decoded.substr(0, first);
  const std::string user = decoded.substr(first + 1, second - first - 1);
  if (!authz.empty() && authz != user)
    throw Refusal("[AUTHORIZATIONFAILED] Cannot act for another user");
  return Login(user, decoded.substr(second + 1));
}

std::string Session::Impl::Path(const std::string& wire) const {
  const std::optional<std::string> name = DecodeMailboxName(wire);
  if (!name || name->empty()) throw Refusal("[CANNOT] Invalid mailbox name");
  const size_t slash = name->find('/');
  if (text::EqualsNoCase(name->substr(0, slash), "INBOX"))
    return inbox_ + (slash == std::string::npos ? "" : name->substr(slash));
  return *name;
}

std::string Session::Impl::Display(const std::string& path) const {
  const size_t slash = path.find('/');
  if (text::EqualsNoCase(path.substr(0, slash), inbox_))
    return "INBOX" + (slash == std::string::npos ? "" : path.substr(slash));
  return path;
}

void Session::Impl::Deselect() {
  selected_ = false;
  folder_.clear();
  messages_.clear();
  expungeOwed_ = false;
}

void Session::Impl::Sync(bool allowExpunge, std::string& out) {
  if (!selected_) return;
  const uint64_t counter = store_->ChangeCounter();
  if (counter == counter_ && !(expungeOwed_ && allowExpunge)) return;
  std::optional<mail::FolderState> state = store_->Folder(folder_);
  counter_ = counter;
  if (!state) {
    state.emplace();  // deleted or renamed elsewhere: as good as emptied
    state->uidValidity = uidValidity_;
  }
  if (state->uidValidity != uidValidity_) {
    out += Line("* BYE The mailbox was replaced; select it again");
    closed_ = true;
    return;
  }
  std::unordered_map<uint32_t, const mail::MessageInfo*> now;
  for (const mail::MessageInfo& m : state->messages) now[m.uid] = &m;
  auto gone = [&](const mail::MessageInfo& m) { return now.count(m.uid) == 0; };
  expungeOwed_ = !allowExpunge && std::any_of(messages_.begin(), messages_.end(), gone);
  if (allowExpunge) Forget(gone, out);
  for (size_t i = 0; i < messages_.size(); ++i) {
    const auto found = now.find(messages_[i].uid);
    if (found == now.end() || found->second->flags == messages_[i].flags) continue;
    messages_[i].flags = found->second->flags;
    out += Line("* " + std::to_string(i + 1) + " FETCH (UID " + std::to_string(messages_[i].uid) +
                " FLAGS " + FlagList(messages_[i].flags) + ")");
  }
  const uint32_t last = messages_.empty() ? 0 : messages_.back().uid;
  const size_t before = messages_.size();
  for (const mail::MessageInfo& m : state->messages)
    if (m.uid > last) messages_.push_back(m);
  if (messages_.size() != before) out += Line("* " + std::to_string(messages_.size()) + " EXISTS");
}

std::string Session::Impl::Select(Reader& r, bool readOnly, std::string& out) {
  r.Space();
  const std::string wire = r.AString();
  r.End();
  Deselect();  // a failed SELECT leaves nothing selected
  const std::string path = Path(wire);
  const uint64_t counter = store_->ChangeCounter();
  const std::optional<mail::FolderState> state = store_->Folder(path);
  if (!state) throw Refusal("[NONEXISTENT] No such mailbox");
  selected_ = true;
  readOnly_ = readOnly;
  folder_ = path;
  uidValidity_ = state->uidValidity;
  messages_ = state->messages;
  counter_ = counter;
  std::vector<std::string> flags = {mail::kAnswered, mail::kFlagged, mail::kDeleted, mail::kSeen,
                                    mail::kDraft};
  std::string firstUnseen;
  for (size_t i = 0; i < messages_.size(); ++i) {
    for (const std::string& f : messages_[i].flags)
      if (f[0] != '\\' && std::find(flags.begin(), flags.end(), f) == flags.end())
        flags.push_back(f);
    if (firstUnseen.empty() && !HasFlag(messages_[i], mail::kSeen))
      firstUnseen = std::to_string(i + 1);
  }
  out += Line("* FLAGS " + FlagList(flags));
  out += Line("* " + std::to_string(messages_.size()) + " EXISTS");
  out += Line("* 0 RECENT");
  if (!firstUnseen.empty()) out += Line("* OK [UNSEEN " + firstUnseen + "] First unseen");
  out += Line("* OK [UIDVALIDITY " + std::to_string(uidValidity_) + "] UIDs valid");
  out += Line("* OK [UIDNEXT " + std::to_string(state->uidNext) + "] Predicted next UID");
  flags.push_back("\\*");
  out += Line("* OK [PERMANENTFLAGS " + (readOnly ? std::string("()") : FlagList(flags)) +
              "] Limited");
  return readOnly ? "OK [READ-ONLY] EXAMINE completed" : "OK [READ-WRITE] SELECT completed";
}

std::string Session::Impl::List(Reader& r, bool lsub, std::string& out) {
  // Of the extended LIST's options only the special-use selection changes what is listed; the
  // special-use attributes are always returned.
  auto options = [&r]() {
    std::vector<std::string> names;
    r.Expect('(');
    while (!r.Take(')')) {
      r.Take(' ');
      names.push_back(text::ToUpper(r.Atom()));
    }
    return names;
  };
  bool specialOnly = false;
  r.Space();
  if (!lsub && r.Peek('(')) {
    for (const std::string& option : options()) specialOnly |= option == "SPECIAL-USE";
    r.Space();
  }
  const std::string reference = r.ListMailbox();
  r.Space();
  const std::string pattern = r.ListMailbox();
  if (!lsub && r.Take(' ')) {
    if (!text::EqualsNoCase(r.Atom(), "RETURN")) throw SyntaxError("Expected RETURN");
    r.Space();
    options();
  }
  r.End();
  const char* kind = lsub ? "LSUB" : "LIST";
  if (pattern.empty()) {
    if (!lsub) out += Line("* LIST (\\Noselect) \"/\" \"\"");
    return std::string("OK ") + kind + " completed";
  }
  std::optional<std::string> full = DecodeMailboxName(reference + pattern);
  if (!full) return std::string("OK ") + kind + " completed";
  const size_t slash = full->find('/');
  if (text::EqualsNoCase(full->substr(0, slash), "INBOX"))
    full->replace(0, std::min(slash, full->size()), "INBOX");
  auto emit = [&](const std::string& path, const std::string& attributes) {
    const std::string name = Display(path);
    const std::optional<std::string> wire = EncodeMailboxName(name);
    if (wire && Matches(*full, name))
      out += Line(std::string("* ") + kind + " (" + attributes + ") \"/\" " + Quote(*wire));
  };
  if (lsub) {
    for (const std::string& path : store_->Subscriptions()) emit(path, "");
  } else {
    for (const mail::FolderInfo& f : store_->Folders())
      if (!specialOnly || !f.specialUse.empty())
        emit(f.path, std::string(f.hasChildren ? "\\HasChildren" : "\\HasNoChildren") +
                         (f.specialUse.empty() ? "" : " " + f.specialUse));
  }
  return std::string("OK ") + kind + " completed";
}

std::string Session::Impl::Status(Reader& r, std::string& out) {
  r.Space();
  const std::string wire = r.AString();
  r.Space();
  r.Expect('(');
  std::vector<std::string> items;
  do items.push_back(text::ToUpper(r.Atom()));
  while (r.Take(' '));
  r.Expect(')');
  r.End();
  const std::optional<mail::FolderState> state = store_->Folder(Path(wire));
  if (!state) throw Refusal("[NONEXISTENT] No such mailbox");
  std::string values;
  for (const std::string& item : items) {
    uint64_t value = 0;
    if (item == "MESSAGES")
      value = state->messages.size();
    else if (item == "UIDNEXT")
      value = state->uidNext;
    else if (item == "UIDVALIDITY")
      value = state->uidValidity;
    else if (item == "UNSEEN")
      value = static_cast<uint64_t>(
          std::count_if(state->messages.begin(), state->messages.end(),
                        [](const auto& m) { return !HasFlag(m, mail::kSeen); }));
    else if (item != "RECENT")
      throw SyntaxError("Unknown status item");
    values += (values.empty() ? "" : " ") + item + " " + std::to_string(value);
  }
  out += Line("* STATUS " + Quote(wire) + " (" + values + ")");
  return "OK STATUS completed";
}

std::vector<std::string> Session::Impl::Flags(Reader& r, bool list) {
  std::vector<std::string> flags;
  if (list) {
    r.Expect('(');
    if (r.Take(')')) return flags;
  }
  do {
    if (r.Take('\\')) {
      const std::string name = "\\" + r.Atom();
      const auto system = std::find_if(std::begin(kSystemFlags), std::end(kSystemFlags),
                                       [&](const char* f) { return text::EqualsNoCase(f, name); });
      if (system == std::end(kSystemFlags)) throw SyntaxError("Unknown system flag");
      flags.push_back(*system);
    } else {
      flags.push_back(r.Atom());
    }
  } while (r.Take(' '));
  if (list) r.Expect(')');
  return flags;
}

std::string Session::Impl::Append(Reader& r) {
  r.Space();
  const std::string wire = r.AString();
  r.Space();
  std::vector<std::string> flags;
  if (r.Peek('(')) {
    flags = Flags(r, true);
    r.Space();
  }
  int64_t date = 0;
  if (r.Peek('"')) {
    const std::optional<int64_t> parsed = ParseDateTime(r.String());
    if (!parsed) throw SyntaxError("Invalid date-time");
    date = *parsed;
    r.Space();
  }
  if (!r.Peek('{')) throw SyntaxError("The message must be a literal");
  const std::string message = r.String();
  r.End();
  const std::string path = Path(wire);
  if (message.empty()) throw Refusal("Empty message");
  try {
    const auto [validity, uid] = store_->Append(path, message, flags, date);
    return "OK [APPENDUID " + std::to_string(validity) + " " + std::to_string(uid) +
           "] APPEND completed";
  } catch (const PlatformError& e) {
    if (e.number() == errors::kNotFound) throw Refusal("[TRYCREATE] No such mailbox");
    throw;
  }
}

std::vector<size_t> Session::Impl::Targets(const SequenceSet& set, bool uid) const {
  std::vector<size_t> out;
  if (uid) {
    const uint32_t largest = messages_.empty() ? 0 : messages_.back().uid;
    for (size_t i = 0; i < messages_.size(); ++i)
      if (InSet(set, messages_[i].uid, largest)) out.push_back(i);
    return out;
  }
  const auto count = static_cast<uint32_t>(messages_.size());
  // An empty folder has nothing to give, whatever the set says ("1:*" included).
  if (count > 0 && LargestNumber(set) > count) throw SyntaxError("No such message sequence number");
  for (uint32_t n = 1; n <= count; ++n)
    if (InSet(set, n, count)) out.push_back(n - 1);
  return out;
}

std::vector<uint32_t> Session::Impl::Uids(const std::vector<size_t>& targets) const {
  std::vector<uint32_t> out;
  for (size_t i : targets) out.push_back(messages_[i].uid);
  return out;
}

void Session::Impl::ExpungedUids(const std::vector<uint32_t>& uids, std::string& out) {
  const std::unordered_set<uint32_t> gone(uids.begin(), uids.end());
  Forget([&](const mail::MessageInfo& m) { return gone.count(m.uid) > 0; }, out);
}

void Session::Impl::Forget(const std::function<bool(const mail::MessageInfo&)>& gone,
                           std::string& out) {
  // Highest number first, so that each EXPUNGE leaves the numbers still to come unchanged.
  for (size_t i = messages_.size(); i-- > 0;)
    if (gone(messages_[i])) out += Line("* " + std::to_string(i + 1) + " EXPUNGE");
  messages_.erase(std::remove_if(messages_.begin(), messages_.end(), gone), messages_.end());
}

std::string Session::Impl::Expunge(const std::optional<std::vector<uint32_t>>& uids,
                                   std::string& out) {
  if (readOnly_) throw Refusal("[READ-ONLY] The mailbox is read-only");
  if (!uids || !uids->empty()) ExpungedUids(store_->Expunge(folder_, uids), out);
  return "OK EXPUNGE completed";
}

std::string Session::Impl::Store(Reader& r, bool uid, std::string& out) {
  r.Space();
  const std::vector<size_t> targets = Targets(r.Sequence(), uid);
  r.Space();
  std::string item = text::ToUpper(r.Atom());
  const bool silent = text::EndsWithNoCase(item, ".SILENT");
  if (silent) item.resize(item.size() - 7);
  mail::FlagChange change;
  if (item == "FLAGS")
    change = mail::FlagChange::kReplace;
  else if (item == "+FLAGS")
    change = mail::FlagChange::kAdd;
  else if (item == "-FLAGS")
    change = mail::FlagChange::kRemove;
  else
    throw SyntaxError("Expected FLAGS, +FLAGS or -FLAGS");
  r.Space();
  const std::vector<std::string> flags = Flags(r, r.Peek('('));
  r.End();
  if (readOnly_) throw Refusal("[READ-ONLY] The mailbox is read-only");
  if (targets.empty()) return "OK STORE completed";
  for (size_t i : ChangeFlags(targets, flags, change)) {
    const mail::MessageInfo& m = messages_[i];
    if (!silent)
      out += Line("* " + std::to_string(i + 1) + " FETCH (FLAGS " + FlagList(m.flags) +
                  (uid ? " UID " + std::to_string(m.uid) : "") + ")");
  }
  return "OK STORE completed";
}

std::vector<size_t> Session::Impl::ChangeFlags(const std::vector<size_t>& targets,
                                               const std::vector<std::string>& flags,
                                               mail::FlagChange change) {
  std::unordered_map<uint32_t, size_t> index;
  for (size_t i : targets) index[messages_[i].uid] = i;
  std::vector<size_t> changed;
  for (const mail::MessageInfo& m : store_->StoreFlags(folder_, Uids(targets), flags, change)) {
    if (const auto found = index.find(m.uid); found != index.end()) {
      messages_[found->second].flags = m.flags;
      changed.push_back(found->second);
    }
  }
  return changed;
}

std::string Session::Impl::CopyMove(Reader& r, bool uid, bool move, std::string& out) {
  r.Space();
  const std::vector<size_t> targets = Targets(r.Sequence(), uid);
  r.Space();
  const std::string destination = Path(r.AString());
  r.End();
  if (move && readOnly_) throw Refusal("[READ-ONLY] The mailbox is read-only");
  const char* done = move ? "OK MOVE completed" : "OK COPY completed";
  if (targets.empty()) return done;
  mail::CopyResult result;
  try {
    result = move ? store_->Move(folder_, Uids(targets), destination)
                  : store_->Copy(folder_, Uids(targets), destination);
  } catch (const PlatformError& e) {
    if (e.number() == errors::kNotFound) throw Refusal("[TRYCREATE] No such mailbox");
    throw;
  }
  std::string code;
  if (!result.uids.empty()) {
    std::vector<uint32_t> from, to;
    for (const auto& [source, copy] : result.uids) {
      from.push_back(source);
      to.push_back(copy);
    }
    code = "[COPYUID " + std::to_string(result.uidValidity) + " " + CompactSet(from) + " " +
           CompactSet(to) + "] ";
    if (move) {
      out += Line("* OK " + code + "Moved");
      ExpungedUids(from, out);
      return done;
    }
  }
  return move ? done : "OK " + code + "COPY completed";
}

std::string Session::Impl::Poll() {
  std::string out;
  if (mode_ != Mode::kIdle || closed_) return out;
  try {
    Sync(true, out);
  } catch (const std::exception&) {
    // The store is busy or gone for now; the next poll tries again.
  }
  return out;
}

Session::Session(Backend& backend, Limits limits, ConnectionInfo connection)
    : impl_(std::make_unique<Impl>(backend, limits, connection)) {}
Session::~Session() = default;
std::string Session::Greeting() {
  return impl_->Greeting();
}
std::string Session::Feed(std::string_view bytes) {
  try {
    return impl_->Feed(bytes);
  } catch (const std::exception&) {
    impl_->closed_ = true;
    return Line("* BYE Internal error");
  }
}
void Session::SetWriter(Writer writer) {
  impl_->writer_ = std::move(writer);
}
std::string Session::Poll() {
  return impl_->Poll();
}
bool Session::Idling() const {
  return impl_->idling_;
}
bool Session::Closed() const {
  return impl_->closed_;
}
bool Session::TlsRequested() const {
  return impl_->tlsRequested_;
}
void Session::TlsStarted() {
  impl_->tlsRequested_ = false;
  impl_->conn_.tls = true;
}

}  // namespace drossgate::tools::imap
