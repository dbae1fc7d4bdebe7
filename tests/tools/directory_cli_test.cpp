// init and mailbox add, run as processes, read back through query; the lookups the sink and the
// setup program make on such a root are theirs to show end to end.
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

// Bad input is refused with its reason and changes nothing: no root from init, nor one over
// files already there, and the same directory file from mailbox add.
TEST_F(DirectoryCli, RefusesBadInputAndChangesNothing) {
  struct Case {
    const char* name;
    std::vector<std::string> args;  // after the command
    int exit;                       // 1: the directory cannot be written
    std::string message;
  };
  auto refused = [&](std::vector<std::string> command, const Case& c) {
    SCOPED_TRACE(c.name);
    command.insert(command.end(), c.args.begin(), c.args.end());
    ProcessResult r = Tool(
        command, c.exit == 1
                     ? std::map<std::string, std::string>{{"DROSSGATE_FAULTS", "directory.write"}}
                     : std::map<std::string, std::string>{});
    EXPECT_EQ(r.exitCode, c.exit) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  };
  for (const Case& c : std::vector<Case>{
           {"bad domain", {"--domain", "exa mple.com"}, 2, "not a DNS domain name"},
           {"computer with a comma", {"--computer", "MAIL,1"}, 2, "1 to 15"},
           {"directory write fails", {}, 1, "Cannot write the directory data"},
       }) {
    refused({"init"}, c);
    EXPECT_FALSE(std::filesystem::exists(Root()));
  }
  std::filesystem::create_directory(Root());
  testing::WriteFile(Root() / "keep.txt", "mine");
  refused({"init"}, {"over files already there", {}, 2, "is not empty"});
  EXPECT_EQ(testing::ReadFile(Root() / "keep.txt"), "mine");
  std::filesystem::remove_all(Root());

  Init({});
  ASSERT_EQ(Tool({"mailbox", "add", "erin", "--address", "erin@example.com"}).exitCode, 0);
  const std::string before = testing::ReadFile(Root() / "directory.ldif");
  for (const Case& c : std::vector<Case>{
           {"alias taken, in other case",
            {"ERIN", "--address", "o@example.com"},
            2,
            "in use by CN=erin,"},
           {"address taken", {"frank", "--address", "Erin@Example.com"}, 2, "in use by"},
           {"reserved alias", {"SystemMailbox{x}", "--no-address"}, 2, "belong to the store"},
       })
    refused({"mailbox", "add"}, c);
  EXPECT_EQ(testing::ReadFile(Root() / "directory.ldif"), before);
}

// A name with a comma and a quote stays one value of the entry's distinguished name.
TEST_F(DirectoryCli, MailboxAddEscapesTheName) {
  Init({});
  ASSERT_EQ(Tool({"mailbox", "add", "erin", "--no-address", "--name", "Erin O'Neil, Jr."}).exitCode,
            0);
  EXPECT_EQ(Query("SELECT distinguishedName FROM 'GC://mail1' WHERE sAMAccountName='erin'"),
            json::parse(
                R"([{"distinguishedName": "CN=Erin O'Neil\\, Jr.,CN=Users,DC=example,DC=com"}])"));
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
