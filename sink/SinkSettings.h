#pragma once
// The event sink's configuration: the rules parsed from the COM+ constructor string, plus the
// working values of the evaluation that is running. Each thread that runs sink code has its
// own copy; parsing never fails (text that yields no rule leaves the sink inert).

#include <string>
#include <string_view>
#include <vector>

#include "evaluation.h"

namespace drossgate::sink {

// The rules and the working values of the evaluation (see common::rules::EvaluateRules).
struct SinkSettings : common::rules::RuleState {};

// Parses the constructor string; a null text counts as empty. Lines are separated by a
// carriage return only, elements by TAB; only spaces are trimmed.
SinkSettings ParseConstructorString(const char* text);
SinkSettings ParseConstructorString(std::string_view text);

// The calling thread's copy of the settings.
SinkSettings& ThreadSettings();

}  // namespace drossgate::sink
