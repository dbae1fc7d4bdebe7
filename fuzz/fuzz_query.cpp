// The directory query parser on arbitrary text: a query either parses or raises its
// PlatformError, never anything else; a parsed filter can be shown and evaluated.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "directory/dn.h"
#include "directory/query.h"
#include "error.h"

using namespace drossgate::platform;
using namespace drossgate::platform::directory;

namespace {

Entry Sample(const char* dn, const char* category, const char* cls) {
  Entry e;
  e.dn = dn;
  e.Add("objectClass", "top");
  e.Add("objectClass", cls);
  e.Add("cn", FirstRdnValue(dn));
  e.Add("mail", "someone@example.com");
  e.Add("mailNickName", "SystemMailbox{0000}");
  e.Add("objectCategory", category);
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Entry kEntries[] = {
      Sample("CN=Zoe Adams,CN=Users,DC=example,DC=com",
             "CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com", "user"),
      Sample("CN=Shared,CN=Microsoft Exchange System Objects,DC=example,DC=com",
             "CN=Public-Folder,CN=Schema,CN=Configuration,DC=example,DC=com", "publicFolder"),
  };
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // The same bytes as a path and a name, which FROM clauses and bindings take apart.
  (void)ParseDirectoryPath(text);
  (void)NormalizeDn(text);
  try {
    Query q = ParseQuery(text);
    if (q.where) {
      (void)FormatFilter(*q.where);
      for (const Entry& e : kEntries) (void)Matches(*q.where, e);
    }
    if (!ParseDirectoryPath(q.source)) __builtin_trap();  // the parser accepted a bad base
  } catch (const PlatformError& e) {
    if (e.number() != errors::kBadQuery) __builtin_trap();
  }
  return 0;
}
