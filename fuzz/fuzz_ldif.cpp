// The LDIF reader on arbitrary text: it either reads entries or raises its PlatformError; what
// it read, written out again, reads back the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "directory/directory.h"
#include "error.h"

using namespace drossgate::platform;
using namespace drossgate::platform::directory;

namespace {

bool Same(const std::vector<Entry>& a, const std::vector<Entry>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].dn != b[i].dn || a[i].attributes.size() != b[i].attributes.size()) return false;
    for (size_t j = 0; j < a[i].attributes.size(); ++j) {
      if (a[i].attributes[j].name != b[i].attributes[j].name ||
          a[i].attributes[j].values != b[i].attributes[j].values)
        return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<Entry> entries;
  try {
    entries = admin::ParseLdif(text, "fuzz.ldif");
  } catch (const PlatformError& e) {
    if (e.number() != errors::kCorrupt) __builtin_trap();
    return 0;
  }
  const std::string written = admin::FormatLdif(entries);
  try {
    if (!Same(admin::ParseLdif(written, "written.ldif"), entries)) __builtin_trap();
  } catch (const PlatformError&) {
    __builtin_trap();  // what the writer wrote must read back
  }
  return 0;
}
