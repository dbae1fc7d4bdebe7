// DrossgateSetup: the administrator's setup program for the Drossgate spam filter.

#include <QApplication>

#include <iostream>
#include <optional>

#include "CommandLine.h"
#include "ConditionTester.h"
#include "Startup.h"

int main(int argc, char** argv) {
  // The condition test needs neither the platform nor a display: answered before either.
  if (const std::optional<int> status =
          drossgate::setup::RunConditionTestCommand(argc, argv, std::cout, std::cerr))
    return *status;
  drossgate::setup::ChooseDisplayForBatchMode(argc, argv);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("DrossgateSetup"));
  const drossgate::setup::ParsedCommandLine parsed =
      drossgate::setup::ParseCommandLine(QApplication::arguments().mid(1));
  if (!parsed.error.empty()) {
    std::cerr << "DrossgateSetup: " << parsed.error << std::endl;
    return 2;
  }
  return drossgate::setup::RunSetup(parsed.options);
}
