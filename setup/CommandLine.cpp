#include "CommandLine.h"

#include "text.h"

namespace drossgate::setup {

namespace {

// Long options the program knows. A new option gets a row here and its effect on
// SetupOptions. An option's own arguments follow it and are taken verbatim, also when they
// begin with "-" (a value such as -1 is a value, not a switch).
struct LongOption {
  const char* name;
  int argumentCount;
  const char* argumentNames;  // for the message when arguments are missing
  void (*apply)(SetupOptions&, const QStringList& arguments);
};
constexpr LongOption kLongOptions[] = {
    {kTestConditionOption, 2, "CONDITION VALUE",
     [](SetupOptions& options, const QStringList& arguments) {
       options.testCondition =
           ConditionTestRequest{arguments[0].toStdString(), arguments[1].toStdString()};
     }},
};

const LongOption* FindLongOption(const std::string& argument) {
  for (const LongOption& option : kLongOptions)
    if (argument == option.name) return &option;
  return nullptr;
}

}  // namespace

ParsedCommandLine ParseCommandLine(const QStringList& arguments) {
  ParsedCommandLine parsed;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const std::string text = arguments[i].toStdString();
    if (text.rfind("--", 0) == 0) {
      const LongOption* option = FindLongOption(text);
      if (!option) {
        if (parsed.error.empty()) parsed.error = "unknown option '" + text + "'";
        continue;
      }
      if (arguments.size() - i - 1 < option->argumentCount) {
        if (parsed.error.empty())
          parsed.error = "option '" + text + "' needs " + option->argumentNames;
        break;
      }
      option->apply(parsed.options, arguments.mid(i + 1, option->argumentCount));
      i += option->argumentCount;
      continue;
    }
    if (!parsed.commandLine.empty()) parsed.commandLine += ' ';
    parsed.commandLine += text;
  }
  const std::string_view head = std::string_view(parsed.commandLine).substr(0, 2);
  parsed.options.batchMode = text::EqualsNoCase(head, "-b") || text::EqualsNoCase(head, "/b");
  return parsed;
}

}  // namespace drossgate::setup
