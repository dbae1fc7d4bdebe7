#include "ConditionTester.h"

#include "CommandLine.h"
#include "basParser.h"
#include "rules.h"
#include "text.h"

namespace drossgate::setup {

std::string ConditionPattern(std::string_view condition) {
  const size_t colon = condition.find(':');
  if (colon == std::string_view::npos) return std::string(condition);
  return text::Trim(condition.substr(colon + 1));
}

std::string ConditionHeaderName(std::string_view condition) {
  const size_t colon = condition.find(':');
  if (colon == std::string_view::npos || colon == 0) return {};
  return text::Trim(condition.substr(0, colon));
}

std::vector<std::string> ConditionTestWarnings(std::string_view headerName,
                                               std::string_view pattern) {
  return common::rules::PatternWarnings(headerName, text::TrimView(pattern));
}

bool TestCondition(std::string_view pattern, std::string_view value) {
  // One matcher for sink and tester, so the tester predicts what the sink will do.
  return common::ConditionTest(text::TrimView(value), text::TrimView(pattern));
}

int RunConditionTest(const SetupOptions& options, std::ostream& out, std::ostream& err) {
  const ConditionTestRequest& request = *options.testCondition;
  const std::string pattern = ConditionPattern(request.condition);
  const bool matches = TestCondition(pattern, request.value);
  out << (matches ? kMatchesText : kNoMatchText) << std::endl;
  const std::string header = ConditionHeaderName(request.condition);
  const std::vector<std::string> warnings =
      header.empty() ? ConditionTestWarnings("", pattern)
                     : common::rules::ConditionWarnings(request.condition);
  for (const std::string& w : warnings) err << "warning: " << w << std::endl;
  if (options.strict && !warnings.empty()) return kExitRefused;
  return matches ? kExitDone : kExitRefused;
}

}  // namespace drossgate::setup
