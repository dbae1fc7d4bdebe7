#pragma once
// The event sink's configuration: the rules parsed from the COM+ constructor string, plus the
// working values of the evaluation that is running. Each thread that runs sink code has its
// own copy; parsing never fails (text that yields no rule leaves the sink inert).

#include <string>
#include <string_view>
#include <vector>

namespace drossgate::sink {

struct SinkSettings {
  std::vector<std::string> actions;      // element i: the action of rule i
  std::vector<std::string> headerNames;  // element i: the header name of rule i
  std::vector<std::string> patterns;     // element i: the pattern of rule i
  int lastRule = -1;                     // rules 0..lastRule are evaluated; -1: none

  // Working values: the rule being evaluated, left on the matching rule afterwards.
  std::string currentAction = "Spam";
  std::string currentHeaderName;
  std::string currentPattern;
  std::string targetFolderUrl;
};

// Parses the constructor string; a null text counts as empty. Lines are separated by a
// carriage return only, elements by TAB; only spaces are trimmed.
SinkSettings ParseConstructorString(const char* text);
SinkSettings ParseConstructorString(std::string_view text);

// The calling thread's copy of the settings.
SinkSettings& ThreadSettings();

}  // namespace drossgate::sink
