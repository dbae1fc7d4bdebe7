#include "ConditionTester.h"

#include <QString>
#include <QStringList>

#include "CommandLine.h"
#include "basParser.h"
#include "text.h"

namespace drossgate::setup {

std::string ConditionPattern(std::string_view condition) {
  const size_t colon = condition.find(':');
  if (colon == std::string_view::npos) return std::string(condition);
  return text::Trim(condition.substr(colon + 1));
}

bool TestCondition(std::string_view pattern, std::string_view value) {
  // One matcher for sink and tester, so the tester predicts what the sink will do.
  return common::ConditionTest(text::TrimView(value), text::TrimView(pattern));
}

std::optional<int> RunConditionTestCommand(int argc, char** argv, std::ostream& out,
                                           std::ostream& err) {
  QStringList arguments;
  bool asked = false;
  for (int i = 1; i < argc; ++i) {
    arguments << QString::fromLocal8Bit(argv[i]);
    asked = asked || arguments.back() == QLatin1String(kTestConditionOption);
  }
  if (!asked) return std::nullopt;
  const ParsedCommandLine parsed = ParseCommandLine(arguments);
  if (!parsed.error.empty() || !parsed.options.testCondition) {
    err << "DrossgateSetup: " << parsed.error << std::endl;
    return 2;
  }
  const ConditionTestRequest& request = *parsed.options.testCondition;
  const bool matches = TestCondition(ConditionPattern(request.condition), request.value);
  out << (matches ? kMatchesText : kNoMatchText) << std::endl;
  return matches ? 0 : 1;
}

}  // namespace drossgate::setup
