#include "SinkSettings.h"

#include "evaluation.h"

namespace drossgate::sink {

SinkSettings ParseConstructorString(const char* text) {
  return ParseConstructorString(text ? std::string_view(text) : std::string_view());
}

SinkSettings ParseConstructorString(std::string_view text) {
  SinkSettings s;
  static_cast<common::rules::RuleState&>(s) = common::rules::RuleStateOf(text);
  return s;
}

SinkSettings& ThreadSettings() {
  thread_local SinkSettings settings;
  return settings;
}

}  // namespace drossgate::sink
