#pragma once
// One run of the setup program's changes, in the order that leaves no registration naming a
// missing component and no mailbox without the sink it asked for: a damaged installation
// removed and the sink installed, its rules replaced, registrations removed and written
// (store-wide before per mailbox; in each, removals first, so that a renewal rewrites every
// item it removed), the sink uninstalled. Every failure is one entry in the error log, and the
// run goes on with the next step.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Items.h"
#include "Session.h"

namespace drossgate::setup {

struct RunPlan {
  // The sink installed as identity with the password, handing its sink constructorString.
  bool install = false;
  std::string identity;
  std::string password;  // the caller wipes it
  std::string constructorString;
  // New rules for the installed sink.
  std::optional<std::string> newRules;
  // Mailbox list entries whose registration is removed, and written with priority.
  struct Registrations {
    std::vector<std::string> remove;
    std::vector<std::string> add;
  };
  Registrations storeWide;
  Registrations perMailbox;
  std::string priority;
  bool uninstall = false;
};

class Installer {
 public:
  Installer(ErrorLog& log, MailboxRoots roots) : log_(log), roots_(std::move(roots)) {}

  // installed is called once the catalog has the password, whatever the installation's outcome.
  void Run(const RunPlan& plan, const std::function<void()>& installed = {});

 private:
  ErrorLog& log_;
  MailboxRoots roots_;
};

}  // namespace drossgate::setup
