// DrossgateSetup as a process, without a person: the exit status tells a script whether the
// run was refused (1), done (0) or done with entries in its error log (2), in the unattended
// mode and in batch mode.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "error.h"
#include "setup_fixture.h"
#include "store/store.h"
#include "testsupport.h"

namespace drossgate::setup {
namespace {

namespace fs = std::filesystem;
using test::Person;
using test::SetupPlatform;

class SetupProgramUnattended : public ::testing::Test {
 protected:
  SetupProgramUnattended() {
    fs::copy_file(testing::BinaryDir() / "sink" / "Drossgate.so",
                  platform_.workDir() / "Drossgate.so", fs::copy_options::overwrite_existing);
  }

  testing::ProcessResult Setup(const std::vector<std::string>& arguments,
                               const std::string& in = "",
                               std::map<std::string, std::string> env = {}) {
    std::vector<std::string> argv = {(testing::BinaryDir() / "setup" / "DrossgateSetup").string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    env["DROSSGATE_PLATFORM"] = platform_.root().string();
    return testing::RunProcess(argv, env, in);
  }
  testing::ProcessResult Install() {
    return Setup({"--install", "--identity", "EXAMPLE\\svc", "--password-file", "-", "--rule",
                  "X-Spam-Flag: YES", "move", "Spam"},
                 "secret\n");
  }

  std::string InboxItem(const std::string& alias) const {
    return platform::store::admin::FindMailbox(alias)->inboxUrl + "/Drossgate.reg";
  }
  bool Exists(const std::string& url) const {
    return platform::SkipOnError([&] { platform::store::admin::Properties(url); });
  }

  SetupPlatform platform_;
};

TEST_F(SetupProgramUnattended, ExitStatusTellsWhatHappened) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::string in;
    int exitCode;
    const char* err;  // a part of stderr, or "" for none at all
  };
  // The cases run in turn on one platform; the mailbox the store cannot reach comes last, as
  // every later run would log it again when it refills the lists.
  const std::vector<Case> cases = {
      {"blank identity",
       {"--install", "--identity", " ", "--password-file", "-"},
       "pw\n",
       1,
       "Please fill the Identity and Password fields"},
      {"bad action", {"--install", "--rule", "a: b", "copy", "x"}, "", 1, "unknown action"},
      {"installation",
       {"--install", "--identity", "EXAMPLE\\svc", "--password-file", "-"},
       "pw\n",
       0,
       ""},
      {"a reachable mailbox", {"--register", "ada"}, "", 0, ""},
      {"a mailbox the store cannot reach", {"--register", "ghost"}, "", 2, "/mbx/ghost - ERROR: "},
  };
  for (const Case& c : cases) {
    if (c.exitCode == 2)
      platform_.AddPerson(Person("Ghost Writer", "ghost", "ghost@example.com").NotInStore());
    const testing::ProcessResult result = Setup(c.arguments, c.in);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.name << ": " << result.err;
    if (*c.err) {
      EXPECT_NE(result.err.find(c.err), std::string::npos) << c.name << ": " << result.err;
    } else {
      EXPECT_EQ(result.err.find("ERROR"), std::string::npos) << c.name << ": " << result.err;
    }
    EXPECT_EQ(result.out, "") << c.name;
  }
  EXPECT_TRUE(Exists(InboxItem("ada")));
}

TEST_F(SetupProgramUnattended, ListsAsOneJsonObject) {
  platform_.Register("ada");
  const testing::ProcessResult result = Setup({"--list", "--json"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const nlohmann::ordered_json lists = nlohmann::ordered_json::parse(result.out);
  std::vector<std::string> keys;
  for (const auto& [key, value] : lists.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"SysMbxInstList", "MbxInstList", "MbxUninstList",
                                            "SysMbxUninstList"}));
  EXPECT_EQ(lists["MbxUninstList"],
            nlohmann::ordered_json({"Ada Lindqvist / MAIL1 / ada.lindqvist@example.com / ada"}));
  EXPECT_EQ(lists["SysMbxInstList"].size(), 1u);
}

TEST_F(SetupProgramUnattended, BatchModeReportsAFailedRenewal) {
  ASSERT_EQ(Install().exitCode, 0);
  platform_.Register("ada");
  // Every write fails: the old item goes, the new one cannot be written.
  const testing::ProcessResult result =
      Setup({"-b"}, "", {{"DROSSGATE_FAULTS", "store.fields.update"}});
  EXPECT_EQ(result.exitCode, 2) << result.err;
  EXPECT_NE(result.err.find("/mbx/ada - ERROR: "), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("injected fault at store.fields.update"), std::string::npos);
  EXPECT_FALSE(Exists(InboxItem("ada")));
}

TEST_F(SetupProgramUnattended, BatchModeReportsARefusedRun) {
  // Not installed, so the run would install first, and batch mode has no password to give.
  platform_.Register("ada");
  const testing::ProcessResult result = Setup({"-b"});
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_NE(result.err.find("Please fill the Identity and Password fields"), std::string::npos)
      << result.err;
  EXPECT_TRUE(Exists(InboxItem("ada")));
}

}  // namespace
}  // namespace drossgate::setup
