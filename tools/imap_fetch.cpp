// FETCH: the items a client asks for, read from the stored source and its flags.
#include "imap_session_impl.h"

#include <algorithm>
#include <unordered_set>

#include <glib.h>

#include "text.h"

namespace drossgate::tools::imap {

FetchItem Session::Impl::ParseFetchItem(Reader& r) {
  FetchItem item;
  const std::string name = text::ToUpper(r.Until("[ ()"));
  using K = FetchItem::Kind;
  static const std::unordered_map<std::string, K> plain = {{"FLAGS", K::kFlags},
                                                           {"UID", K::kUid},
                                                           {"INTERNALDATE", K::kInternalDate},
                                                           {"RFC822.SIZE", K::kSize},
                                                           {"ENVELOPE", K::kEnvelope},
                                                           {"BODYSTRUCTURE", K::kBodyStructure},
                                                           {"RFC822", K::kRfc822},
                                                           {"RFC822.HEADER", K::kRfc822Header},
                                                           {"RFC822.TEXT", K::kRfc822Text}};
  if (const auto found = plain.find(name); found != plain.end()) {
    item.kind = found->second;
    return item;
  }
  if (name != "BODY" && name != "BODY.PEEK") throw SyntaxError("Unknown fetch attribute");
  if (!r.Take('[')) {
    if (name == "BODY.PEEK") throw SyntaxError("BODY.PEEK needs a section");
    item.kind = K::kBody;
    return item;
  }
  item.kind = K::kSection;
  item.peek = name == "BODY.PEEK";
  Section& s = item.section;
  std::string label;
  while (r.PeekDigit()) {
    s.part.push_back(r.Number());
    label += std::to_string(s.part.back());
    if (!r.Take('.')) break;
    label += '.';
  }
  if (!r.Peek(']') && (s.part.empty() || label.back() == '.')) {
    s.text = text::ToUpper(r.Until("] "));
    label += s.text;
    const bool fields = s.text == "HEADER.FIELDS" || s.text == "HEADER.FIELDS.NOT";
    if (s.text == "MIME" ? s.part.empty() : !fields && s.text != "HEADER" && s.text != "TEXT")
      throw SyntaxError("Invalid section");
    if (fields) {
      r.Space();
      r.Expect('(');
      do s.fields.push_back(r.AString());
      while (r.Take(' '));
      r.Expect(')');
      label += " (";
      for (size_t i = 0; i < s.fields.size(); ++i)
        label += (i ? " " : "") + AtomOrQuote(s.fields[i]);
      label += ")";
    }
  } else if (!label.empty() && label.back() == '.') {
    throw SyntaxError("Invalid section");
  }
  r.Expect(']');
  item.label = "BODY[" + label + "]";
  if (r.Take('<')) {
    const uint32_t origin = r.Number0();
    r.Expect('.');
    const uint32_t count = r.Number();
    r.Expect('>');
    item.partial.emplace(origin, count);
    item.label += "<" + std::to_string(origin) + ">";
  }
  return item;
}

std::string Session::Impl::Fetch(Reader& r, bool uid, std::string& out) {
  r.Space();
  const std::vector<size_t> targets = Targets(r.Sequence(), uid);
  r.Space();
  std::vector<FetchItem> items;
  using K = FetchItem::Kind;
  std::string macro;
  if (Reader probe = r; !probe.Peek('(')) macro = text::ToUpper(probe.Until("[ ()"));
  auto add = [&](std::initializer_list<K> kinds) {
    for (K kind : kinds) items.push_back(FetchItem{kind, {}, false, std::nullopt, ""});
  };
  if (macro == "ALL" || macro == "FAST" || macro == "FULL") {
    r.Atom();
    add({K::kFlags, K::kInternalDate, K::kSize});
    if (macro != "FAST") add({K::kEnvelope});
    if (macro == "FULL") add({K::kBody});
  } else if (!r.Take('(')) {
    items.push_back(ParseFetchItem(r));
  } else {
    do items.push_back(ParseFetchItem(r));
    while (r.Take(' '));
    r.Expect(')');
  }
  r.End();
  bool needSource = false, setsSeen = false, hasUid = false, hasFlags = false;
  for (const FetchItem& item : items) {
    needSource |= item.kind >= K::kEnvelope;
    setsSeen |= (item.kind == K::kSection && !item.peek) || item.kind == K::kRfc822 ||
                item.kind == K::kRfc822Text;
    hasUid |= item.kind == K::kUid;
    hasFlags |= item.kind == K::kFlags;
  }
  std::unordered_set<uint32_t> seenNow;
  if (setsSeen && !readOnly_) {
    std::vector<size_t> unseen;
    for (size_t i : targets)
      if (!HasFlag(messages_[i], mail::kSeen)) unseen.push_back(i);
    if (!unseen.empty())
      for (size_t i : ChangeFlags(unseen, {mail::kSeen}, mail::FlagChange::kAdd))
        seenNow.insert(messages_[i].uid);
  }
  for (size_t i : targets) {
    if (closed_) break;  // the client is gone
    const mail::MessageInfo& m = messages_[i];
    std::unique_ptr<Message> message;
    if (needSource) {
      try {
        message = std::make_unique<Message>(store_->Source(folder_, m.uid));
      } catch (const PlatformError& e) {
        if (e.number() == errors::kNotFound) continue;  // expunged elsewhere; reported later
        throw;
      }
    }
    std::vector<std::string> parts;
    if (uid && !hasUid) parts.push_back("UID " + std::to_string(m.uid));
    for (const FetchItem& item : items) {
      switch (item.kind) {
        case K::kFlags:
          parts.push_back("FLAGS " + FlagList(m.flags));
          break;
        case K::kUid:
          parts.push_back("UID " + std::to_string(m.uid));
          break;
        case K::kInternalDate:
          parts.push_back("INTERNALDATE \"" + FormatDate(m.internalDate) + "\"");
          break;
        case K::kSize:
          parts.push_back("RFC822.SIZE " + std::to_string(m.size));
          break;
        case K::kEnvelope:
          parts.push_back("ENVELOPE " + message->Envelope());
          break;
        case K::kBody:
          parts.push_back("BODY " + message->BodyStructure(false));
          break;
        case K::kBodyStructure:
          parts.push_back("BODYSTRUCTURE " + message->BodyStructure(true));
          break;
        case K::kRfc822:
          parts.push_back("RFC822 " + Literal(message->source()));
          break;
        case K::kRfc822Header:
          parts.push_back("RFC822.HEADER " +
                          Literal(*message->SectionBytes(Section{{}, "HEADER", {}})));
          break;
        case K::kRfc822Text:
          parts.push_back("RFC822.TEXT " +
                          Literal(*message->SectionBytes(Section{{}, "TEXT", {}})));
          break;
        case K::kSection: {
          std::optional<std::string> bytes = message->SectionBytes(item.section);
          if (bytes && item.partial) {
            const size_t origin = std::min<size_t>(item.partial->first, bytes->size());
            *bytes = bytes->substr(origin, item.partial->second);
          }
          parts.push_back(item.label + " " + (bytes ? Literal(*bytes) : "NIL"));
          break;
        }
      }
    }
    if (seenNow.count(m.uid) && !hasFlags) parts.push_back("FLAGS " + FlagList(m.flags));
    std::string line = "* " + std::to_string(i + 1) + " FETCH (";
    for (size_t p = 0; p < parts.size(); ++p) line += (p ? " " : "") + parts[p];
    out += Line(line + ")");
    Spill(out);
  }
  return uid ? "OK UID FETCH completed" : "OK FETCH completed";
}

}  // namespace drossgate::tools::imap
