// DrossgateSetup: the administrator's setup program for the Drossgate spam filter.

#include <QApplication>

#include <iostream>
#include <memory>
#include <optional>

#include "CommandLine.h"
#include "ConditionTester.h"
#include "MessageTest.h"
#include "Startup.h"

namespace {

QStringList Arguments(int argc, char** argv) {
  QStringList arguments;
  for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  return arguments;
}

}  // namespace

int main(int argc, char** argv) {
  namespace setup = drossgate::setup;
  // Help, bad usage and the condition and message tests need neither the platform nor a display:
  // answered before either.
  const setup::ParsedCommandLine early = setup::ParseCommandLine(Arguments(argc, argv));
  if (early.options.help) {
    std::cout << setup::UsageText() << std::flush;
    return setup::kExitDone;
  }
  if (!early.error.empty()) {
    std::cerr << "DrossgateSetup: " << early.error << "\nTry 'DrossgateSetup --help'." << std::endl;
    return setup::kExitUsage;
  }
  if (early.options.testMessage.Asked())
    return setup::RunMessageTest(early.options, std::cout, std::cerr);
  if (early.options.testCondition)
    return setup::RunConditionTest(early.options, std::cout, std::cerr);
  const std::unique_ptr<setup::HeadlessRun> headless = setup::PrepareDisplay(early.options);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("DrossgateSetup"));
  // The toolkit has taken its own options out of the command line now.
  const setup::ParsedCommandLine parsed = setup::ParseCommandLine(QApplication::arguments().mid(1));
  return setup::RunSetup(parsed.options);
}
