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
    std::vector<std::string> args;
    int exit;
    std::string message;
  };
  const std::vector<Case> initCases = {
      {"bad domain", {"--domain", "exa mple.com"}, 2, "not a DNS domain name"},
      {"computer with a comma", {"--computer", "MAIL,1"}, 2, "1 to 15"},
      {"directory write fails", {}, 1, "Cannot write the directory data"},
  };
  for (const Case& c : initCases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{"init"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::map<std::string, std::string> env;
    if (c.exit == 1) env["DROSSGATE_FAULTS"] = "directory.write";
    ProcessResult r = Tool(args, env);
    EXPECT_EQ(r.exitCode, c.exit) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(Root()));
  }
  std::filesystem::create_directory(Root());
  testing::WriteFile(Root() / "keep.txt", "mine");
  EXPECT_NE(Tool({"init"}).err.find("is not empty"), std::string::npos);
  EXPECT_EQ(testing::ReadFile(Root() / "keep.txt"), "mine");
  std::filesystem::remove_all(Root());

  Init({});
  ASSERT_EQ(Tool({"mailbox", "add", "erin", "--address", "erin@example.com"}).exitCode, 0);
  const std::string before = testing::ReadFile(Root() / "directory.ldif");
  const std::vector<Case> addCases = {
      {"alias taken, in other case",
       {"ERIN", "--address", "o@example.com"},
       2,
       "in use by CN=erin,"},
      {"address taken", {"frank", "--address", "Erin@Example.com"}, 2, "in use by"},
      {"reserved alias", {"SystemMailbox{x}", "--no-address"}, 2, "belong to the store"},
  };
  for (const Case& c : addCases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{"mailbox", "add"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ProcessResult r = Tool(args);
    EXPECT_EQ(r.exitCode, c.exit) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
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
