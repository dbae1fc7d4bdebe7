#include "Installer.h"

#include "ComPlus.h"

namespace drossgate::setup {

void Installer::Run(const RunPlan& plan, const std::function<void()>& installed) {
  if (plan.install) {
    // The damaged installation goes first, so that the new one is the only one.
    RemoveDamagedInstallation(log_, kApplicationName);
    InstallComPlusApplication(log_, kApplicationName, plan.identity, plan.password,
                              plan.constructorString);
    if (installed) installed();
  }
  // The identity, its password and the registrations stay; sinks created from now on have the
  // new rules.
  if (plan.newRules) ReconfigureComPlusApplication(log_, kApplicationName, *plan.newRules);

  const std::pair<const RunPlan::Registrations&, const RegistrationKind&> passes[] = {
      {plan.storeWide, kStoreWide}, {plan.perMailbox, kPerMailbox}};
  for (const auto& [registrations, kind] : passes) {
    for (const std::string& entry : registrations.remove)
      UnregisterEntry(entry, roots_, kind, log_);
    for (const std::string& entry : registrations.add)
      RegisterEntry(entry, roots_, kind, plan.priority, log_);
  }

  if (plan.uninstall && !RemoveDamagedInstallation(log_, kApplicationName))
    UninstallComPlusApplication(log_, kApplicationName);
}

}  // namespace drossgate::setup
