#pragma once
// The setup tool's command line. Batch mode is asked for by "-b" or "/b" (any case) as the
// first two characters of the command line; options beginning with "--" are this program's
// own long options, all parsed here, and never count towards batch mode. Parsing never
// throws: bad input is reported in the result.

#include <QStringList>

#include <optional>
#include <string>

namespace drossgate::setup {

inline constexpr const char* kTestConditionOption = "--test-condition";

// A condition and a sample value to test against it, both exactly as given.
struct ConditionTestRequest {
  std::string condition;
  std::string value;
};

struct SetupOptions {
  bool batchMode = false;
  std::optional<ConditionTestRequest> testCondition = std::nullopt;
};

struct ParsedCommandLine {
  SetupOptions options;
  std::string commandLine;  // the arguments that are not long options, joined by blanks
  std::string error;        // non-empty when the command line cannot be used
};

// arguments: the program's arguments without the program name (Qt's own already removed).
ParsedCommandLine ParseCommandLine(const QStringList& arguments);

}  // namespace drossgate::setup
