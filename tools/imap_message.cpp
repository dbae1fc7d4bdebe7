#include "imap_message.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <mutex>

#include "imap_parser.h"
#include "text.h"

namespace drossgate::tools::imap {

namespace {

constexpr int kMaxDepth = 32;  // deeper nesting is shown as an opaque part

void InitOnce() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

struct GObjectUnref {
  void operator()(void* p) const {
    if (p) g_object_unref(p);
  }
};
template <typename T>
using GPtr = std::unique_ptr<T, GObjectUnref>;
struct GFree {
  void operator()(void* p) const { g_free(p); }
};
using GString = std::unique_ptr<char, GFree>;

struct Field {
  std::string name;
  std::string value;  // unfolded, trimmed, not decoded
  size_t begin = 0;
  size_t end = 0;  // after the field's last line end
};

std::string Unfold(std::string_view raw) {
  std::string out;
  for (char c : raw)
    if (c != '\r' && c != '\n') out += c;
  const size_t first = out.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return out.substr(first, out.find_last_not_of(" \t") - first + 1);
}

size_t LineEnd(std::string_view s, size_t pos, size_t end) {
  const size_t nl = s.substr(0, end).find('\n', pos);
  return nl == std::string_view::npos ? end : nl + 1;
}

bool BlankLine(std::string_view s, size_t pos, size_t end) {
  return pos < end && (s[pos] == '\n' || (s[pos] == '\r' && pos + 1 < end && s[pos + 1] == '\n'));
}

std::string Upper(std::string_view s) {
  return text::ToUpper(s);
}

}  // namespace

struct Message::Entity {
  enum class Kind { kLeaf, kMultipart, kMessage };
  size_t begin = 0, bodyBegin = 0, end = 0;
  std::vector<Field> fields;
  std::string type = "text", subtype = "plain";  // lower case
  std::vector<std::pair<std::string, std::string>> params;
  bool hasContentType = false;
  Kind kind = Kind::kLeaf;
  std::vector<Entity> children;

  const Field* Find(std::string_view name) const {
    for (const Field& f : fields)
      if (text::EqualsNoCase(f.name, name)) return &f;
    return nullptr;
  }
  std::optional<std::string> Value(std::string_view name) const {
    const Field* f = Find(name);
    return f ? std::optional<std::string>(f->value) : std::nullopt;
  }
  std::string_view Body(std::string_view source) const {
    return source.substr(bodyBegin, end - bodyBegin);
  }
};

namespace {

using Entity = Message::Entity;

void ReadHeader(std::string_view s, Entity& e) {
  size_t pos = e.begin;
  while (pos < e.end && !BlankLine(s, pos, e.end)) {
    const size_t next = LineEnd(s, pos, e.end);
    if ((s[pos] == ' ' || s[pos] == '\t') && !e.fields.empty()) {
      e.fields.back().end = next;
    } else {
      Field f;
      const std::string_view line = s.substr(pos, next - pos);
      const size_t colon = line.find(':');
      if (colon != std::string_view::npos) f.name = text::Trim(line.substr(0, colon));
      f.begin = pos;
      f.end = next;
      e.fields.push_back(std::move(f));
    }
    pos = next;
  }
  e.bodyBegin = pos < e.end ? LineEnd(s, pos, e.end) : e.end;
  for (Field& f : e.fields) {
    const std::string_view raw = s.substr(f.begin, f.end - f.begin);
    const size_t colon = raw.find(':');
    if (colon != std::string_view::npos) f.value = Unfold(raw.substr(colon + 1));
  }
}

std::vector<std::pair<std::string, std::string>> Params(GMimeParamList* list) {
  std::vector<std::pair<std::string, std::string>> out;
  const int n = list ? g_mime_param_list_length(list) : 0;
  for (int i = 0; i < n; ++i) {
    GMimeParam* p = g_mime_param_list_get_parameter_at(list, i);
    const char* name = g_mime_param_get_name(p);
    const char* value = g_mime_param_get_value(p);
    if (name && value) out.emplace_back(Upper(name), value);
  }
  return out;
}

// The children of a multipart body: the stretches between its boundary lines. The line end
// before a boundary line belongs to the boundary.
void SplitMultipart(std::string_view s, Entity& e, const std::string& boundary, int depth);

void Build(std::string_view s, Entity& e, bool digest, int depth) {
  ReadHeader(s, e);
  if (digest) e.type = "message", e.subtype = "rfc822";
  if (const std::optional<std::string> ct = e.Value("Content-Type")) {
    GPtr<GMimeContentType> type(g_mime_content_type_parse(nullptr, ct->c_str()));
    const char* media = type ? g_mime_content_type_get_media_type(type.get()) : nullptr;
    const char* sub = type ? g_mime_content_type_get_media_subtype(type.get()) : nullptr;
    if (media && sub && *media && *sub) {
      e.type = text::ToLower(media);
      e.subtype = text::ToLower(sub);
      e.params = Params(g_mime_content_type_get_parameters(type.get()));
      e.hasContentType = true;
    }
  }
  if (!e.hasContentType && e.type == "text") e.params = {{"CHARSET", "us-ascii"}};
  if (depth >= kMaxDepth) return;
  if (e.type == "multipart") {
    for (const auto& [name, value] : e.params)
      if (name == "BOUNDARY" && !value.empty()) SplitMultipart(s, e, value, depth);
  } else if (e.type == "message" && (e.subtype == "rfc822" || e.subtype == "global")) {
    e.kind = Entity::Kind::kMessage;
    Entity& inner = e.children.emplace_back();
    inner.begin = e.bodyBegin;
    inner.end = e.end;
    Build(s, inner, false, depth + 1);
  }
}

void SplitMultipart(std::string_view s, Entity& e, const std::string& boundary, int depth) {
  const std::string dashes = "--" + boundary;
  std::vector<std::pair<size_t, size_t>> parts;  // child begin, child end
  size_t childBegin = std::string::npos;
  for (size_t pos = e.bodyBegin; pos < e.end;) {
    const size_t next = LineEnd(s, pos, e.end);
    if (s.substr(pos, std::min(next, e.end) - pos).substr(0, dashes.size()) == dashes) {
      if (childBegin != std::string::npos) {
        size_t childEnd = pos;
        if (childEnd > childBegin && s[childEnd - 1] == '\n') --childEnd;
        if (childEnd > childBegin && s[childEnd - 1] == '\r') --childEnd;
        parts.emplace_back(childBegin, childEnd);
      }
      childBegin = next;
      if (s.substr(pos + dashes.size(), 2) == "--") {
        childBegin = std::string::npos;
        break;
      }
    }
    pos = next;
  }
  if (childBegin != std::string::npos) parts.emplace_back(childBegin, e.end);
  if (parts.empty()) return;  // no parts: shown as a single opaque body
  e.kind = Entity::Kind::kMultipart;
  const bool digest = e.subtype == "digest";
  for (const auto& [begin, end] : parts) {
    Entity& child = e.children.emplace_back();
    child.begin = begin;
    child.end = end;
    Build(s, child, digest, depth + 1);
  }
}

std::string Params(const std::vector<std::pair<std::string, std::string>>& params) {
  if (params.empty()) return "NIL";
  std::string out = "(";
  for (const auto& [name, value] : params) {
    if (out.size() > 1) out += ' ';
    out += Quote(name) + " " + Quote(value);
  }
  return out + ")";
}

std::string Address(InternetAddress* a) {
  if (INTERNET_ADDRESS_IS_GROUP(a)) {
    std::string out = "(NIL NIL " +
                      Quote(internet_address_get_name(a) ? internet_address_get_name(a) : "") +
                      " NIL)";
    InternetAddressList* members = internet_address_group_get_members(INTERNET_ADDRESS_GROUP(a));
    const int n = members ? internet_address_list_length(members) : 0;
    for (int i = 0; i < n; ++i) {
      InternetAddress* m = internet_address_list_get_address(members, i);
      if (INTERNET_ADDRESS_IS_MAILBOX(m)) out += Address(m);
    }
    return out + "(NIL NIL NIL NIL)";
  }
  std::optional<std::string> name;
  if (const char* n = internet_address_get_name(a); n && *n) {
    name = n;
    // Names are shown as the message writes them: non-ASCII ones as encoded words.
    if (std::any_of(name->begin(), name->end(), [](char c) { return c & 0x80; })) {
      GString encoded(g_mime_utils_header_encode_phrase(nullptr, n, "utf-8"));
      if (encoded) name = encoded.get();
    }
  }
  const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a));
  const std::string address = addr ? addr : "";
  const size_t at = address.rfind('@');
  const std::string local = at == std::string::npos ? address : address.substr(0, at);
  const std::string domain = at == std::string::npos ? "" : address.substr(at + 1);
  return "(" + NQuote(name) + " NIL " + Quote(local) + " " + Quote(domain) + ")";
}

std::string Addresses(const std::optional<std::string>& value) {
  if (!value) return "NIL";
  GPtr<InternetAddressList> list(internet_address_list_parse(nullptr, value->c_str()));
  const int n = list ? internet_address_list_length(list.get()) : 0;
  std::string out;
  for (int i = 0; i < n; ++i) out += Address(internet_address_list_get_address(list.get(), i));
  return out.empty() ? "NIL" : "(" + out + ")";
}

std::string Envelope(const Entity& e) {
  auto from = e.Value("From");
  auto orFrom = [&](const char* name) {
    const std::string list = Addresses(e.Value(name));
    return list == "NIL" ? Addresses(from) : list;
  };
  return "(" + NQuote(e.Value("Date")) + " " + NQuote(e.Value("Subject")) + " " + Addresses(from) +
         " " + orFrom("Sender") + " " + orFrom("Reply-To") + " " + Addresses(e.Value("To")) + " " +
         Addresses(e.Value("Cc")) + " " + Addresses(e.Value("Bcc")) + " " +
         NQuote(e.Value("In-Reply-To")) + " " + NQuote(e.Value("Message-ID")) + ")";
}

size_t Lines(std::string_view body) {
  size_t n = static_cast<size_t>(std::count(body.begin(), body.end(), '\n'));
  if (!body.empty() && body.back() != '\n') ++n;
  return n;
}

// Disposition, language and location: the extension data every body shares.
std::string Extension(const Entity& e) {
  std::string dsp = "NIL";
  if (const auto value = e.Value("Content-Disposition")) {
    GPtr<GMimeContentDisposition> d(g_mime_content_disposition_parse(nullptr, value->c_str()));
    const char* kind = d ? g_mime_content_disposition_get_disposition(d.get()) : nullptr;
    if (kind && *kind)
      dsp = "(" + Quote(Upper(kind)) + " " +
            Params(Params(g_mime_content_disposition_get_parameters(d.get()))) + ")";
  }
  std::string lang = "NIL";
  if (const auto value = e.Value("Content-Language")) {
    std::string list;
    for (const std::string& tag : text::Split(*value, ','))
      if (const std::string t = text::Trim(tag); !t.empty())
        list += (list.empty() ? "" : " ") + Quote(t);
    if (!list.empty()) lang = "(" + list + ")";
  }
  return " " + dsp + " " + lang + " " + NQuote(e.Value("Content-Location"));
}

std::string Structure(std::string_view s, const Entity& e, bool extended) {
  if (e.kind == Entity::Kind::kMultipart) {
    std::string out = "(";
    for (const Entity& child : e.children) out += Structure(s, child, extended);
    out += " " + Quote(Upper(e.subtype));
    if (extended) out += " " + Params(e.params) + Extension(e);
    return out + ")";
  }
  const std::string_view body = e.Body(s);
  std::string out = "(" + Quote(Upper(e.type)) + " " + Quote(Upper(e.subtype)) + " " +
                    Params(e.params) + " " + NQuote(e.Value("Content-ID")) + " " +
                    NQuote(e.Value("Content-Description")) + " " +
                    Quote(Upper(e.Value("Content-Transfer-Encoding").value_or("7BIT"))) + " " +
                    std::to_string(body.size());
  if (e.kind == Entity::Kind::kMessage)
    out += " " + Envelope(e.children[0]) + " " + Structure(s, e.children[0], extended) + " " +
           std::to_string(Lines(body));
  else if (e.type == "text")
    out += " " + std::to_string(Lines(body));
  if (extended) out += " " + NQuote(e.Value("Content-MD5")) + Extension(e);
  return out + ")";
}

std::string Decoded(std::string_view s, const Entity& e) {
  std::string body(e.Body(s));
  const std::string encoding = e.Value("Content-Transfer-Encoding").value_or("");
  const GMimeContentEncoding kind = g_mime_content_encoding_from_string(encoding.c_str());
  if (kind == GMIME_CONTENT_ENCODING_BASE64 || kind == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE) {
    GMimeEncoding state;
    g_mime_encoding_init_decode(&state, kind);
    std::string out(g_mime_encoding_outlen(&state, body.size()) + 16, '\0');
    out.resize(g_mime_encoding_flush(&state, body.data(), body.size(), out.data()));
    body = std::move(out);
  }
  std::string charset = "utf-8";
  for (const auto& [name, value] : e.params)
    if (name == "CHARSET") charset = text::ToLower(value);
  if (charset != "utf-8" && charset != "us-ascii") {
    GString utf8(g_convert(body.data(), static_cast<gssize>(body.size()), "UTF-8", charset.c_str(),
                           nullptr, nullptr, nullptr));
    if (utf8) body = utf8.get();
  }
  return body;
}

void CollectText(std::string_view s, const Entity& e, std::string& out) {
  for (const Entity& child : e.children) CollectText(s, child, out);
  if (e.kind == Entity::Kind::kLeaf && e.type == "text") out += Decoded(s, e) + "\n";
}

}  // namespace

Message::Message(std::string source) : source_(std::move(source)), root_(new Entity) {
  InitOnce();
  root_->end = source_.size();
  Build(source_, *root_, false, 0);
}

Message::~Message() = default;

std::string Message::Envelope() const {
  return imap::Envelope(*root_);
}

std::string Message::BodyStructure(bool extended) const {
  return Structure(source_, *root_, extended);
}

std::optional<std::string> Message::SectionBytes(const Section& section) const {
  const Entity* cur = root_.get();
  bool isMessage = true;  // cur stands for a whole message, whose body parts are numbered
  for (size_t i = 0; i < section.part.size();) {
    const uint32_t n = section.part[i];
    if (cur->kind == Entity::Kind::kMultipart) {
      if (n > cur->children.size()) return std::nullopt;
      cur = &cur->children[n - 1];
    } else if (isMessage) {
      if (n != 1) return std::nullopt;  // a single-part message's body is its part 1
    } else if (cur->kind == Entity::Kind::kMessage) {
      cur = &cur->children[0];
      isMessage = true;
      continue;
    } else {
      return std::nullopt;
    }
    isMessage = false;
    ++i;
  }
  const std::string_view s = source_;
  const std::string& what = section.text;
  if (what.empty()) return std::string(section.part.empty() ? s : cur->Body(s));
  if (what == "MIME") {
    if (section.part.empty()) return std::nullopt;
    return std::string(s.substr(cur->begin, cur->bodyBegin - cur->begin));
  }
  if (!isMessage) {
    if (cur->kind != Entity::Kind::kMessage) return std::nullopt;
    cur = &cur->children[0];
  }
  if (what == "HEADER") return std::string(s.substr(cur->begin, cur->bodyBegin - cur->begin));
  if (what == "TEXT") return std::string(cur->Body(s));
  const bool wanted = what == "HEADER.FIELDS";
  std::string out;
  for (const Field& f : cur->fields) {
    const bool listed =
        std::any_of(section.fields.begin(), section.fields.end(),
                    [&](const std::string& n) { return text::EqualsNoCase(n, f.name); });
    if (listed == wanted) {
      out += s.substr(f.begin, f.end - f.begin);
      if (out.back() != '\n') out += "\r\n";
    }
  }
  return out + "\r\n";
}

std::optional<std::string> Message::HeaderText(std::string_view name) const {
  std::optional<std::string> out;
  for (const Field& f : root_->fields) {
    if (!text::EqualsNoCase(f.name, name)) continue;
    GString decoded(g_mime_utils_header_decode_text(nullptr, f.value.c_str()));
    out = out.value_or("") + (decoded ? decoded.get() : f.value) + "\n";
  }
  return out;
}

std::string Message::BodyText() const {
  std::string out;
  CollectText(source_, *root_, out);
  return out;
}

std::optional<int64_t> Message::SentDay() const {
  const auto date = root_->Value("Date");
  if (!date) return std::nullopt;
  GDateTime* when = g_mime_utils_header_decode_date(date->c_str());
  if (!when) return std::nullopt;
  GDate* day = g_date_new_dmy(static_cast<GDateDay>(g_date_time_get_day_of_month(when)),
                              static_cast<GDateMonth>(g_date_time_get_month(when)),
                              static_cast<GDateYear>(g_date_time_get_year(when)));
  GDate* epoch = g_date_new_dmy(1, G_DATE_JANUARY, 1970);
  const int64_t days = g_date_days_between(epoch, day);
  g_date_free(day);
  g_date_free(epoch);
  g_date_time_unref(when);
  return days;
}

}  // namespace drossgate::tools::imap
