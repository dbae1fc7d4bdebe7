#include "SinkSettings.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "text.h"

namespace drossgate::sink {

using text::Trim;

SinkSettings ParseConstructorString(const char* text) {
  return ParseConstructorString(text ? std::string_view(text) : std::string_view());
}

SinkSettings ParseConstructorString(std::string_view text) {
  SinkSettings s;
  s.currentHeaderName = std::string(text);

  // Only a carriage return after the first character separates line 1 from the rest.
  if (size_t cr = text.find('\r'); cr != std::string_view::npos && cr >= 1) {
    s.currentAction = text::ReplaceAll(Trim(text.substr(0, cr)), "\\", "/");
    s.currentHeaderName = Trim(text.substr(cr + 1));
  }
  if (size_t cr = s.currentHeaderName.find('\r'); cr != std::string::npos && cr >= 1)
    s.currentHeaderName = Trim(std::string_view(s.currentHeaderName).substr(0, cr));

  s.actions = text::Split(s.currentAction, '\t');
  s.headerNames = text::Split(s.currentHeaderName, '\t');
  s.patterns = s.headerNames;
  // The rule index is a 16-bit number; longer lists are cut there.
  const size_t limit = std::numeric_limits<int16_t>::max() + size_t{1};
  s.lastRule = static_cast<int>(std::min({s.actions.size(), s.headerNames.size(), limit})) - 1;

  for (int i = 0; i <= s.lastRule; ++i) {
    std::string& name = s.headerNames[i];
    if (size_t colon = name.find(':'); colon != std::string::npos && colon >= 1) {
      s.patterns[i] = Trim(std::string_view(name).substr(colon + 1));
      name = Trim(std::string_view(name).substr(0, colon));
    } else {
      s.patterns[i].clear();
    }
  }
  return s;
}

SinkSettings& ThreadSettings() {
  thread_local SinkSettings settings;
  return settings;
}

}  // namespace drossgate::sink
