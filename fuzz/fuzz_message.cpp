// What the store reads from a delivered message source, on arbitrary bytes: besides not
// crashing, the subject is UTF-8, the header block has only CR LF line ends and comes from the
// source, and the item name made from the subject (or from any text) is one a store can hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "store/mime.h"

using namespace drossgate::platform::store;

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

bool ValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 9;
    if (n == 9 || i + n >= s.size()) return false;
    for (size_t k = 1; k <= n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n + 1;
  }
  return true;
}

std::string WithoutCr(std::string_view s) {
  std::string out;
  for (char c : s)
    if (c != '\r') out += c;
  return out;
}

void RequireUsableName(std::string_view subject) {
  const std::string name = ItemNameFromSubject(subject);
  Require(!name.empty() && name.size() <= 200);
  Require(name.front() != ' ' && name.back() != ' ' && name.back() != '.');
  for (char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    Require(u >= 0x20 && u != 0x7f);
    Require(std::string_view("/\\:*?\"<>|").find(c) == std::string_view::npos);
  }
  if (ValidUtf8(subject)) Require(ValidUtf8(name));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view source(reinterpret_cast<const char*>(data), size);
  const ParsedMessage m = ParseMessage(source);
  Require(ValidUtf8(m.subject));
  Require(m.subject.find('\0') == std::string::npos);
  if (m.fromEmail) Require(!m.fromEmail->empty() && m.fromEmail->find('\0') == std::string::npos);

  const std::string& block = m.headerBlock;
  for (size_t i = 0; i < block.size(); ++i)
    if (block[i] == '\n') Require(i > 0 && block[i - 1] == '\r');
  Require(WithoutCr(source).find(WithoutCr(block)) != std::string::npos);

  RequireUsableName(m.subject);
  RequireUsableName(source);
  return 0;
}
