#include "store/mime.h"

#include <gmime/gmime.h>

#include <memory>
#include <mutex>

#include "text.h"

namespace drossgate::platform::store {

namespace {

void InitOnce() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

template <typename T>
struct GUnref {
  void operator()(T* p) const {
    if (p) g_object_unref(p);
  }
};
template <typename T>
using GPtr = std::unique_ptr<T, GUnref<T>>;

std::optional<std::string> FirstMailbox(InternetAddressList* list, int depth = 0) {
  if (!list || depth > 4) return std::nullopt;
  int n = internet_address_list_length(list);
  for (int i = 0; i < n; ++i) {
    InternetAddress* a = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_MAILBOX(a)) {
      const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a));
      if (addr && *addr) return std::string(addr);
    } else if (INTERNET_ADDRESS_IS_GROUP(a)) {
      if (auto found = FirstMailbox(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(a)),
                                    depth + 1))
        return found;
    }
  }
  return std::nullopt;
}

// Whether the UTF-8 text may be cut at position pos (not inside a multi-byte character).
bool CharStart(std::string_view s, size_t pos) {
  return pos >= s.size() || (static_cast<unsigned char>(s[pos]) & 0xC0) != 0x80;
}

}  // namespace

ParsedMessage ParseMessage(std::string_view source) {
  InitOnce();
  ParsedMessage out;
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(source.data(), source.size()));
  GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  GPtr<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
  if (!message) return out;
  if (const char* subject = g_mime_message_get_subject(message.get())) out.subject = subject;
  out.fromEmail = FirstMailbox(g_mime_message_get_from(message.get()));
  if (const char* id = g_mime_message_get_message_id(message.get())) out.messageId = id;
  gint64 begin = g_mime_parser_get_headers_begin(parser.get());
  gint64 end = g_mime_parser_get_headers_end(parser.get());
  // A source that is all headers has no blank line to end them: they run to its end.
  if (begin >= 0 && end < 0) end = static_cast<gint64>(source.size());
  if (begin >= 0 && end >= begin && static_cast<uint64_t>(end) <= source.size())
    out.headerBlock =
        text::WithCrLf(source.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin)));
  return out;
}

std::string ItemNameFromSubject(std::string_view subject) {
  constexpr size_t kMaxBytes = 200;
  std::string name;
  name.reserve(subject.size());
  for (char c : subject) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) {
      name += ' ';
    } else if (std::string_view("/\\:*?\"<>|").find(c) != std::string_view::npos) {
      name += '_';
    } else {
      name += c;
    }
  }
  if (name.size() > kMaxBytes) {
    size_t cut = kMaxBytes;
    while (cut > 0 && !CharStart(name, cut)) --cut;
    name.resize(cut);
  }
  size_t first = name.find_first_not_of(' ');
  if (first == std::string::npos) return "No Subject";
  size_t last = name.find_last_not_of(". ");
  if (last == std::string::npos || last < first) return "No Subject";
  return name.substr(first, last - first + 1);
}

}  // namespace drossgate::platform::store
