#pragma once
// The directory as the deliverables use it, on a platform root made by `init --demo`: queries
// run through a connection and a command with the properties the callers set.

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "directory/directory.h"
#include "platform_fixture.h"
#include "text.h"

namespace drossgate::platform::test {

using directory::PropertyValue;
using directory::RecordSet;
using directory::Value;

using Properties = std::vector<std::pair<std::string, PropertyValue>>;

// The mailbox list's command properties, and this server as a mailbox names its home server.
inline const Properties kListProperties = {{"searchscope", 2},      {"cache results", true},
                                           {"Chase Referrals", 96}, {"Page Size", 100},
                                           {"Size Limit", 30000},   {"Timeout", 120}};
inline const std::string kHome =
    "/o=First Organization/ou=First Administrative Group/cn=Configuration/cn=Servers/cn=MAIL1";
inline const std::string kGc = "GC://mail1.example.com";

// A contact of a partner's (mail: nick@partner.example.net), with a display name if given.
inline directory::Entry Contact(const std::string& cn, const std::string& nick,
                                const std::string& display = "") {
  directory::Entry e;
  e.dn = "CN=" + cn + ",CN=Users,DC=example,DC=com";
  for (const char* c : {"top", "person", "organizationalPerson", "contact"})
    e.Add("objectClass", c);
  for (const char* a : {"cn", "name"}) e.Add(a, cn);
  if (!display.empty()) e.Add("displayName", display);
  e.Add("mailNickName", nick);
  e.Add("mail", nick + "@partner.example.net");
  e.Add("objectCategory", "CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com");
  return e;
}

// Makes a demo platform root at root; the error output of init when it fails.
inline std::string MakeDemoRoot(const std::filesystem::path& root) {
  testing::ProcessResult r = testing::RunPlatformTool(root, {"init", "--demo"});
  return r.exitCode == 0 ? "" : "init --demo: " + r.err;
}

inline std::unique_ptr<RecordSet> Execute(const std::string& text,
                                          const Properties& properties = {}) {
  auto conn = directory::CreateConnection();
  conn->SetProvider("adsDSOobject");
  conn->Open("Active Directory Provider", "", "", -1);
  auto cmd = directory::CreateCommand();
  cmd->SetActiveConnection(conn.get());
  cmd->SetCommandText(text);
  for (const auto& [name, value] : properties) cmd->SetProperty(name, value);
  return cmd->Execute(-1);
}

// The values of one field (the first when none is named) in row order, joined by "|", with
// "<null>" for an absent one and every "{GUID}" as "{guid}".
inline std::string Column(const std::string& text, const Properties& properties = {},
                          std::string field = "") {
  auto rs = Execute(text, properties);
  if (field.empty()) field = rs->FieldNames().at(0);
  std::string out;
  for (; !rs->IsEof(); rs->MoveNext()) {
    Value v = rs->Field(field);
    out += (out.empty() ? "" : "|") + (v.IsNull() ? "<null>" : v.Text());
  }
  return std::regex_replace(out, std::regex("\\{[-0-9A-Fa-f]{36}\\}"), "{guid}");
}

// The pickup folder as the sink finds it: through the server object and the SMTP virtual
// server below it.
inline std::string PickupDirectory() {
  auto server = directory::CreateExchangeServer();
  server->Open("mail1.example.com");
  std::string path = server->Field("ADsPath").Text();
  path.insert(path.rfind('/', text::FindNoCase(path, ",cn=servers,")) + 1,
              "CN=1,CN=SMTP,CN=Protocols,");
  auto smtp = directory::BindObject(path);
  smtp->Refresh();
  return smtp->Get("msExchSmtpPickupDirectory");
}

}  // namespace drossgate::platform::test
