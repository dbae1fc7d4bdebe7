#include "Cluster.h"

#include "Globals.h"
#include "InstallForm.h"
#include "basRegistry.h"
#include "text.h"

namespace drossgate::setup {

bool IsClusterNode() {
  return common::RegKeyExists(platform::registry::Hive::kLocalMachine, "Cluster");
}

void GetClusterName(InstallForm& form) {
  form.state().ClusterName.clear();
  const std::string user = GetCurrentUserName();
  auto records = RunDirectoryQuery(
      form.globals(),
      "SELECT msExchHomeServerName FROM '" + QuoteQueryValue(form.globals().GlobalCatalogPath) +
          "' " + "WHERE objectcategory='person' AND sAMAccountName='" + QuoteQueryValue(user) + "'",
      {{"searchscope", int32_t{2}}, {"cache results", false}, {"Chase Referrals", int32_t{96}}});
  if (!records->IsEof()) {
    std::string server = text::ToUpper(records->Field("msExchHomeServerName").Text());
    const std::string name = ServerNameOf(server);
    if (!name.empty()) server = name;
    form.state().ClusterName = server;
  }
  records->Close();
}

}  // namespace drossgate::setup
