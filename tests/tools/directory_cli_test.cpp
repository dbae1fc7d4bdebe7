// init, init --demo and mailbox add, run as processes, read back through query.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include <nlohmann/json.hpp>

#include "testsupport.h"

namespace drossgate::tools {
namespace {

using nlohmann::json;
using testing::ProcessResult;
using testing::RunPlatformTool;

const char* kHome =
    "/o=First Organization/ou=First Administrative Group/cn=Configuration/cn=Servers/cn=";

class DirectoryCli : public ::testing::Test {
 protected:
  std::filesystem::path Root() const { return dir_.path() / "root"; }

  ProcessResult Tool(const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& env = {}) {
    return RunPlatformTool(Root(), args, env);
  }

  void Init(std::vector<std::string> args) {
    args.insert(args.begin(), "init");
    ProcessResult r = Tool(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }

  json Query(const std::string& text) {
    ProcessResult r = Tool({"query", text, "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.exitCode == 0 ? json::parse(r.out) : json::array();
  }

  testing::TempDir dir_;
};

TEST_F(DirectoryCli, InitMakesARootWhoseDirectoryAnswersTheLookups) {
  Init({"--domain", "corp.example.org", "--computer", "EX2", "--user", "jdoe"});
  EXPECT_EQ(json::parse(testing::ReadFile(Root() / "machine.json"))["workgroup"], "CORP");

  ProcessResult share =
      Tool({"registry", "get", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares",
            "PickUp"});
  EXPECT_NE(share.out.find("Path=" + (Root() / "pickup").string() + "\n"), std::string::npos)
      << share.out;

  // The setup tool's home-server query finds the store's system mailbox on this server.
  json rows = Query(
      "SELECT msExchHomeServerName FROM 'GC://ex2.corp.example.org' WHERE objectcategory='person' "
      "AND MsExchMailboxGuid='*' And mailNickName='SystemMailbox{*' ORDER BY cn");
  EXPECT_EQ(rows, json::array({{{"msExchHomeServerName", std::string(kHome) + "EX2"}}}));

  // The server object, and below it the SMTP virtual server with the pickup folder.
  rows = Query("SELECT distinguishedName FROM 'GC://ex2' WHERE objectClass='msExchExchangeServer'");
  ASSERT_EQ(rows.size(), 1u);
  std::string server = rows[0]["distinguishedName"];
  EXPECT_NE(server.find("CN=EX2,CN=Servers,"), std::string::npos);
  rows = Query("SELECT msExchSmtpPickupDirectory FROM 'LDAP://ex2/CN=1,CN=SMTP,CN=Protocols," +
               server + "'");
  EXPECT_EQ(rows, json::array({{{"msExchSmtpPickupDirectory", (Root() / "pickup").string()}}}));
  // Only the system mailbox is a person until mailboxes are added.
  EXPECT_EQ(Query("SELECT cn FROM 'GC://ex2' WHERE objectCategory='person'").size(), 1u);
}

TEST_F(DirectoryCli, InitRefusesBadInputAndLeavesNothingBehind) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int exit;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"bad domain", {"init", "--domain", "exa mple.com"}, 2, "not a DNS domain name"},
      {"computer with a comma", {"init", "--computer", "MAIL,1"}, 2, "1 to 15"},
      {"user with a comma", {"init", "--user", "a,b"}, 2, "a user name has"},
      {"directory write fails", {"init"}, 1, "Cannot write the directory data"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::map<std::string, std::string> env;
    if (c.exit == 1) env["DROSSGATE_FAULTS"] = "directory.write";
    ProcessResult r = Tool(c.args, env);
    EXPECT_EQ(r.exitCode, c.exit) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(Root()));
  }
  std::filesystem::create_directory(Root());
  testing::WriteFile(Root() / "keep.txt", "mine");
  ProcessResult r = Tool({"init"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("is not empty"), std::string::npos) << r.err;
  EXPECT_EQ(testing::ReadFile(Root() / "keep.txt"), "mine");
}

TEST_F(DirectoryCli, MailboxAddWritesThePersonEntry) {
  Init({});
  ProcessResult r =
      Tool({"mailbox", "add", "erin", "--address", "erin@example.com", "--address",
            "e.oneil@example.com", "--name", "Erin O'Neil, Jr.", "--inbox-name", "Eingang"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(json::parse(r.out)["inbox"], "file://./backofficestorage/example.com/MBX/erin/Eingang");
  r = Tool({"mailbox", "add", "gina", "--no-address", "--disabled"});
  ASSERT_EQ(r.exitCode, 0) << r.err;

  json rows = Query(
      "SELECT cn, sAMAccountName, mail, msExchHomeServerName, msExchMailboxGUID, "
      "userAccountControl, homeMDB, distinguishedName FROM 'GC://mail1.example.com' WHERE "
      "objectCategory='person' AND objectClass='user' AND sAMAccountName='*' ORDER BY cn");
  ASSERT_EQ(rows.size(), 2u);
  json erin = rows[0];
  EXPECT_EQ(erin["msExchMailboxGUID"].get<std::string>().size(), 38u);
  EXPECT_NE(erin["homeMDB"].get<std::string>().find("CN=Mailbox Store (MAIL1),"),
            std::string::npos);
  EXPECT_EQ(erin["msExchHomeServerName"], std::string(kHome) + "MAIL1");
  for (const char* name : {"msExchMailboxGUID", "homeMDB", "msExchHomeServerName"})
    erin.erase(name);
  EXPECT_EQ(erin, json::parse(R"({"cn": "Erin O'Neil, Jr.", "sAMAccountName": "erin",
      "mail": "erin@example.com", "userAccountControl": 512,
      "distinguishedName": "CN=Erin O'Neil\\, Jr.,CN=Users,DC=example,DC=com"})"));
  EXPECT_EQ(rows[1]["userAccountControl"], 514);
  EXPECT_TRUE(rows[1]["mail"].is_null());
  // The second address reaches the same person.
  EXPECT_EQ(
      Query("SELECT cn FROM 'GC://mail1' WHERE proxyAddresses='smtp:e.oneil@example.com'").size(),
      1u);
}

TEST_F(DirectoryCli, MailboxAddRefusesWhatIsTaken) {
  Init({});
  ASSERT_EQ(Tool({"mailbox", "add", "erin", "--address", "erin@example.com"}).exitCode, 0);
  const std::string before = testing::ReadFile(Root() / "directory.ldif");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"alias taken, in other case",
       {"ERIN", "--address", "other@example.com"},
       "in use by CN=erin,"},
      {"address taken", {"frank", "--address", "Erin@Example.com"}, "in use by"},
      {"name taken", {"frank", "--address", "frank@example.com", "--name", "erin"}, "has an entry"},
      {"bad alias", {"fr ank", "--address", "f@example.com"}, "an alias has"},
      {"reserved alias", {"SystemMailbox{x}", "--no-address"}, "belong to the store"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{"mailbox", "add"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ProcessResult r = Tool(args);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(testing::ReadFile(Root() / "directory.ldif"), before);
}

TEST_F(DirectoryCli, MailboxesAddedFromManyProcessesAreAllKept) {
  Init({});
  std::vector<std::thread> threads;
  std::vector<int> codes(6, -1);
  for (int i = 0; i < 6; ++i) {
    threads.emplace_back([&, i] {
      const std::string alias = "user" + std::to_string(i);
      codes[i] = Tool({"mailbox", "add", alias, "--address", alias + "@example.com"}).exitCode;
    });
  }
  for (auto& t : threads) t.join();
  for (int c : codes) EXPECT_EQ(c, 0);
  EXPECT_EQ(Query("SELECT cn FROM 'GC://mail1' WHERE sAMAccountName='user*'").size(), 6u);
}

}  // namespace
}  // namespace drossgate::tools
