#include "SinkSettings.h"

#include <utility>

#include "rules.h"

namespace drossgate::sink {

SinkSettings ParseConstructorString(const char* text) {
  return ParseConstructorString(text ? std::string_view(text) : std::string_view());
}

SinkSettings ParseConstructorString(std::string_view text) {
  common::rules::ParsedRules parsed = common::rules::ParseConstructorString(text);
  SinkSettings s;
  s.actions = std::move(parsed.actions);
  s.headerNames = std::move(parsed.headerNames);
  s.patterns = std::move(parsed.patterns);
  s.lastRule = parsed.lastRule;
  s.currentAction = std::move(parsed.currentAction);
  s.currentHeaderName = std::move(parsed.currentHeaderName);
  return s;
}

SinkSettings& ThreadSettings() {
  thread_local SinkSettings settings;
  return settings;
}

}  // namespace drossgate::sink
