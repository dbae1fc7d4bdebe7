// The constructor-string parser on arbitrary bytes, then every parsed rule through the
// matcher the way an event would use it. Rule indexes 0..lastRule must be valid everywhere.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "SinkSettings.h"
#include "basParser.h"
#include "text.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

void Exercise(const drossgate::sink::SinkSettings& s) {
  Require(s.lastRule >= -1 && s.lastRule <= 32767);
  const auto count = static_cast<size_t>(s.lastRule + 1);
  Require(s.actions.size() >= count && s.headerNames.size() >= count &&
          s.patterns.size() >= count && s.headerNames.size() == s.patterns.size());
  for (size_t i = 0; i < count; ++i) {
    const std::string& pattern = s.patterns[i];
    Require(drossgate::text::TrimView(pattern) == pattern);
    // Test each rule against the texts at hand, as values of the header it names.
    drossgate::common::ConditionTest(s.headerNames[i], pattern);
    drossgate::common::ConditionTest(s.actions[i], pattern);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Exercise(drossgate::sink::ParseConstructorString(std::string_view(text)));
  // The C-string form stops at the first NUL, like a COM string handed over as text.
  Exercise(drossgate::sink::ParseConstructorString(text.c_str()));
  return 0;
}
