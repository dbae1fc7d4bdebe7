#include "CommandLine.h"

#include <array>

#include "text.h"

namespace drossgate::setup {

namespace {

// Long options the program knows: none yet. A new option gets a row here and its effect on
// SetupOptions.
struct LongOption {
  const char* name;
  void (*apply)(SetupOptions&);
};
constexpr std::array<LongOption, 0> kLongOptions{};

bool ApplyLongOption(const std::string& argument, SetupOptions& options) {
  for (const LongOption& option : kLongOptions) {
    if (argument == option.name) {
      option.apply(options);
      return true;
    }
  }
  return false;
}

}  // namespace

ParsedCommandLine ParseCommandLine(const QStringList& arguments) {
  ParsedCommandLine parsed;
  for (const QString& argument : arguments) {
    const std::string text = argument.toStdString();
    if (text.rfind("--", 0) == 0) {
      if (!ApplyLongOption(text, parsed.options) && parsed.error.empty())
        parsed.error = "unknown option '" + text + "'";
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
