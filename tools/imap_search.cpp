// SEARCH: its keys parsed and evaluated against the selected folder's messages.
#include "imap_session_impl.h"

#include <algorithm>
#include <unordered_map>

#include <glib.h>

#include "text.h"

namespace drossgate::tools::imap {

Key Session::Impl::ParseKey(Reader& r, int depth) {
  if (depth > 64) throw SyntaxError("Search nested too deeply");
  Key k;
  if (r.Take('(')) {
    k.op = Key::Op::kAnd;
    do k.kids.push_back(ParseKey(r, depth + 1));
    while (r.Take(' '));
    r.Expect(')');
    return k;
  }
  if (r.PeekDigit() || r.Peek('*')) {
    k.op = Key::Op::kSeq;
    k.set = r.Sequence();
    return k;
  }
  const std::string name = text::ToUpper(r.Atom());
  static const std::unordered_map<std::string, std::pair<Key::Op, const char*>> simple = {
      {"ALL", {Key::Op::kAll, ""}},
      {"OLD", {Key::Op::kAll, ""}},
      {"NEW", {Key::Op::kNone, ""}},
      {"RECENT", {Key::Op::kNone, ""}},
      {"SEEN", {Key::Op::kFlag, mail::kSeen}},
      {"UNSEEN", {Key::Op::kNoFlag, mail::kSeen}},
      {"ANSWERED", {Key::Op::kFlag, mail::kAnswered}},
      {"UNANSWERED", {Key::Op::kNoFlag, mail::kAnswered}},
      {"FLAGGED", {Key::Op::kFlag, mail::kFlagged}},
      {"UNFLAGGED", {Key::Op::kNoFlag, mail::kFlagged}},
      {"DELETED", {Key::Op::kFlag, mail::kDeleted}},
      {"UNDELETED", {Key::Op::kNoFlag, mail::kDeleted}},
      {"DRAFT", {Key::Op::kFlag, mail::kDraft}},
      {"UNDRAFT", {Key::Op::kNoFlag, mail::kDraft}},
  };
  if (const auto found = simple.find(name); found != simple.end()) {
    k.op = found->second.first;
    k.a = found->second.second;
    return k;
  }
  r.Space();
  static const std::unordered_map<std::string, Key::Op> dated = {
      {"SINCE", Key::Op::kSince},
      {"BEFORE", Key::Op::kBefore},
      {"ON", Key::Op::kOn},
      {"SENTSINCE", Key::Op::kSentSince},
      {"SENTBEFORE", Key::Op::kSentBefore},
      {"SENTON", Key::Op::kSentOn}};
  if (const auto found = dated.find(name); found != dated.end()) {
    k.op = found->second;
    std::string_view rest;
    const std::string value = r.AString();
    const std::optional<int64_t> day = ParseDay(value, rest);
    if (!day || !rest.empty()) throw SyntaxError("Invalid date");
    k.n = *day / 86400;
    return k;
  }
  if (name == "KEYWORD" || name == "UNKEYWORD") {
    k.op = name == "KEYWORD" ? Key::Op::kFlag : Key::Op::kNoFlag;
    k.a = r.Atom();
  } else if (name == "FROM" || name == "TO" || name == "CC" || name == "BCC" || name == "SUBJECT") {
    k.op = Key::Op::kHeader;
    k.a = name;
    k.b = r.AString();
  } else if (name == "HEADER") {
    k.op = Key::Op::kHeader;
    k.a = r.AString();
    r.Space();
    k.b = r.AString();
  } else if (name == "BODY" || name == "TEXT") {
    k.op = name == "BODY" ? Key::Op::kBody : Key::Op::kText;
    k.b = r.AString();
  } else if (name == "LARGER" || name == "SMALLER") {
    k.op = name == "LARGER" ? Key::Op::kLarger : Key::Op::kSmaller;
    k.n = r.Number0();
  } else if (name == "UID") {
    k.op = Key::Op::kUid;
    k.set = r.Sequence();
  } else if (name == "NOT") {
    k.op = Key::Op::kNot;
    k.kids.push_back(ParseKey(r, depth + 1));
  } else if (name == "OR") {
    k.op = Key::Op::kOr;
    k.kids.push_back(ParseKey(r, depth + 1));
    r.Space();
    k.kids.push_back(ParseKey(r, depth + 1));
  } else {
    throw SyntaxError("Unknown search key");
  }
  return k;
}

bool Session::Impl::Eval(const Key& k, size_t index, std::unique_ptr<Message>& message) {
  const mail::MessageInfo& m = messages_[index];
  auto load = [&]() -> const Message& {
    if (!message) {
      std::string source;
      try {
        source = store_->Source(folder_, m.uid);
      } catch (const PlatformError& e) {
        if (e.number() != errors::kNotFound) throw;  // gone meanwhile: matches no text
      }
      message = std::make_unique<Message>(std::move(source));
    }
    return *message;
  };
  const int64_t day = m.internalDate / 86400;
  switch (k.op) {
    case Key::Op::kAll:
      return true;
    case Key::Op::kNone:
      return false;
    case Key::Op::kSeq:
      return InSet(k.set, static_cast<uint32_t>(index + 1),
                   static_cast<uint32_t>(messages_.size()));
    case Key::Op::kUid:
      return InSet(k.set, m.uid, messages_.back().uid);
    case Key::Op::kFlag:
      return HasFlag(m, k.a);
    case Key::Op::kNoFlag:
      return !HasFlag(m, k.a);
    case Key::Op::kLarger:
      return m.size > k.n;
    case Key::Op::kSmaller:
      return m.size < k.n;
    case Key::Op::kSince:
      return day >= k.n;
    case Key::Op::kBefore:
      return day < k.n;
    case Key::Op::kOn:
      return day == k.n;
    case Key::Op::kSentSince:
    case Key::Op::kSentBefore:
    case Key::Op::kSentOn: {
      const std::optional<int64_t> sent = load().SentDay();
      if (!sent) return false;
      return k.op == Key::Op::kSentSince    ? *sent >= k.n
             : k.op == Key::Op::kSentBefore ? *sent < k.n
                                            : *sent == k.n;
    }
    case Key::Op::kHeader: {
      const std::optional<std::string> value = load().HeaderText(k.a);
      return value && text::ContainsNoCase(*value, k.b);
    }
    case Key::Op::kBody:
      return text::ContainsNoCase(load().BodyText(), k.b);
    case Key::Op::kText: {
      const Message& msg = load();
      const std::optional<std::string> header = msg.SectionBytes(Section{{}, "HEADER", {}});
      return text::ContainsNoCase(header.value_or(""), k.b) ||
             text::ContainsNoCase(msg.HeaderText("Subject").value_or(""), k.b) ||
             text::ContainsNoCase(msg.HeaderText("From").value_or(""), k.b) ||
             text::ContainsNoCase(msg.BodyText(), k.b);
    }
    case Key::Op::kNot:
      return !Eval(k.kids[0], index, message);
    case Key::Op::kOr:
      return Eval(k.kids[0], index, message) || Eval(k.kids[1], index, message);
    case Key::Op::kAnd:
      return std::all_of(k.kids.begin(), k.kids.end(),
                         [&](const Key& kid) { return Eval(kid, index, message); });
  }
  return false;
}

std::string Session::Impl::Search(Reader& r, bool uid, std::string& out) {
  r.Space();
  Key all;
  all.op = Key::Op::kAnd;
  bool more = true;
  // CHARSET comes first when given; only what needs no conversion is taken.
  bool charset = false;
  try {
    Reader probe = r;
    charset = text::EqualsNoCase(probe.Atom(), "CHARSET");
  } catch (const SyntaxError&) {
    // a list or a string: no CHARSET
  }
  if (charset) {
    r.Atom();
    r.Space();
    const std::string charset = r.AString();
    if (!text::EqualsNoCase(charset, "UTF-8") && !text::EqualsNoCase(charset, "US-ASCII"))
      throw Refusal("[BADCHARSET (UTF-8 US-ASCII)] Unsupported charset");
    r.Space();
  }
  while (more) {
    all.kids.push_back(ParseKey(r, 0));
    more = r.Take(' ');
  }
  r.End();
  std::string result = "* SEARCH";
  for (size_t i = 0; i < messages_.size(); ++i) {
    std::unique_ptr<Message> message;
    if (Eval(all, i, message))
      result += " " + std::to_string(uid ? messages_[i].uid : static_cast<uint32_t>(i + 1));
  }
  out += Line(result);
  return uid ? "OK UID SEARCH completed" : "OK SEARCH completed";
}

}  // namespace drossgate::tools::imap
