// DrossgateSetup as a process, without a person: the exit status tells a script whether the
// run was refused (1), done (0) or done with entries in its error log (2), in the unattended
// mode and in batch mode; start-up failures end it with the platform's message.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "complus/catalog.h"
#include "setup_fixture.h"
#include "store/store.h"
#include "testsupport.h"

namespace drossgate::setup {
namespace {

namespace fs = std::filesystem;
using test::InboxItem;
using test::ItemExists;
using test::SetupPlatform;

class SetupProgramUnattended : public ::testing::Test {
 protected:
  SetupProgramUnattended() {
    fs::copy_file(testing::BinaryDir() / "sink" / "Drossgate.so",
                  platform_.workDir() / "Drossgate.so", fs::copy_options::overwrite_existing);
    testing::WriteFile(platform_.workDir() / "password", "secret\n");
  }

  testing::ProcessResult Setup(const std::vector<std::string>& arguments,
                               const std::string& in = "",
                               std::map<std::string, std::string> env = {}) {
    std::vector<std::string> argv = {test::SetupProgram()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    env["DROSSGATE_PLATFORM"] = platform_.root().string();
    return testing::RunProcess(argv, env, in);
  }
  std::vector<std::string> InstallCommand() const {
    return {test::SetupProgram(),
            "--install",
            "--identity",
            "EXAMPLE\\svc",
            "--password-file",
            (platform_.workDir() / "password").string(),
            "--rule",
            "X-Spam-Flag: YES",
            "move",
            "Spam"};
  }
  testing::ProcessResult Install() { return testing::RunProcess(InstallCommand()); }

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
  // The cases run in turn on one platform; from "ghost" on, the directory has a mailbox that the
  // store cannot reach, which only the commands that concern it may report.
  const std::vector<Case> cases = {
      {"blank identity",
       {"--install", "--identity", " ", "--password-file", "-"},
       "pw\n",
       1,
       "Please fill the Identity and Password fields"},
      {"bad action", {"--install", "--rule", "a: b", "copy", "x"}, "", 64, "unknown action"},
      {"installation",
       {"--install", "--identity", "EXAMPLE\\svc", "--password-file", "-"},
       "pw\n",
       0,
       ""},
      {"ghost", {"--register", "ada"}, "", 0, ""},
      {"the mailbox the store cannot reach",
       {"--register", "ghost"},
       "",
       2,
       "/mbx/ghost - ERROR: "},
      {"unregistering it", {"--unregister", "ghost"}, "", 1, "'ghost' cannot be reached"},
      {"unregistering all", {"--unregister-all"}, "", 2, "unreachable: Ghost Writer / "},
      {"listing", {"--list"}, "", 2, "unreachable: Ghost Writer / "},
  };
  for (const Case& c : cases) {
    if (std::string(c.name) == "ghost")
      platform_.AddPerson(
          {.cn = "Ghost Writer", .alias = "ghost", .mail = "ghost@example.com", .inStore = false});
    const testing::ProcessResult result = Setup(c.arguments, c.in);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.name << ": " << result.err;
    EXPECT_EQ(result.err.find(*c.err ? c.err : "ERROR") != std::string::npos, *c.err != 0)
        << c.name << ": " << result.err;
    EXPECT_EQ(result.out.empty(), c.arguments[0] != "--list") << c.name;
  }
  EXPECT_FALSE(ItemExists(InboxItem("ada")));
}

TEST_F(SetupProgramUnattended, RunsStartedTogetherInstallOneApplication) {
  // As when a script is started twice: the first run installs; the others wait for it, then
  // find the sink installed and say so.
  std::vector<std::string> install = InstallCommand();
  install.push_back("--register-all");
  constexpr int kRuns = 4;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<testing::Child> runs;
    for (int i = 0; i < kRuns; ++i) runs.push_back(testing::StartProcess(install));
    std::vector<int> statuses;
    for (const testing::Child& run : runs) {
      int status = 0;
      testing::StopProcess(run, 0, &status);
      statuses.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    }
    std::sort(statuses.begin(), statuses.end());
    EXPECT_EQ(statuses, (std::vector<int>{0, 1, 1, 1}));
    EXPECT_EQ(test::InstalledConstructorStrings(),
              std::vector<std::string>{"Spam\t\rX-Spam-Flag: YES\t\r65535"});
    EXPECT_TRUE(ItemExists(InboxItem("ada")));
    ASSERT_EQ(Setup({"--unregister-all", "--uninstall"}).exitCode, 0);
  }
}

// Damage to the installation as a killed run or a clumsy hand leaves it.
void DamageTheSinkComponent(bool removeIt) {
  namespace complus = platform::complus;
  auto applications = complus::OpenCatalog()->GetCollection("Applications");
  applications->Populate();
  auto components = applications->GetCollection("Components", applications->Item(0).Key());
  components->Populate();
  if (removeIt)
    components->Remove(0);
  else
    components->Item(0).SetValue("ConstructorString", std::monostate{});
  components->SaveChanges();
}

TEST_F(SetupProgramUnattended, TellsTheTruthAboutTheInstallationAndInstallsOverDamage) {
  const std::string inbox = platform::store::admin::FindMailbox("ada")->inboxUrl;
  // "filtered", "unfiltered", or "waits" (without a readable catalog a delivery into a
  // registered inbox waits with its sender).
  auto delivery = [&] {
    const testing::ProcessResult r = testing::RunPlatformTool(
        platform_.root(), {"deliver", "--to", "ada", "-"}, {},
        "From: s@outside.example\r\nSubject: x\r\nX-Spam-Flag: YES\r\n\r\nBody\r\n");
    if (r.exitCode == 75) return std::string("waits");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const nlohmann::json line = nlohmann::json::parse(r.out);
    const std::string now = line["now"].is_null() ? "" : line["now"].get<std::string>();
    return std::string(now.substr(0, now.rfind('/')) != inbox ? "filtered" : "unfiltered");
  };
  auto filtered = [&] { return delivery() == "filtered"; };
  const fs::path catalog = platform_.root() / "catalog.db";
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(Install().exitCode, 0);
  const auto runTime = std::chrono::steady_clock::now() - started;
  // Registered while the sink can be created; the registration outlives the installations.
  ASSERT_EQ(Setup({"--register", "ada"}).exitCode, 0);
  ASSERT_EQ(Setup({"--uninstall"}).exitCode, 0);

  std::mt19937 random(std::random_device{}());
  auto killARun = [&] {
    const testing::Child run = testing::StartProcess(InstallCommand());
    std::this_thread::sleep_for(std::uniform_int_distribution<int64_t>(0, runTime.count())(random) *
                                std::chrono::steady_clock::duration(1));
    int status = 0;
    testing::StopProcess(run, SIGKILL, &status);
  };
  auto installedThen = [&](std::function<void()> damage) {
    return [this, damage] {
      ASSERT_EQ(Install().exitCode, 0);
      damage();
    };
  };
  struct Case {
    std::string name;
    std::function<void()> damage;
    bool damaged;  // certainly; a killed run may have left anything
  };
  std::vector<Case> cases = {
      {"catalog deleted", installedThen([&] { fs::remove(catalog); }), true},
      {"catalog overwritten",
       installedThen([&] { testing::WriteFile(catalog, std::string(8192, 'x')); }), true},
      {"application without its component", installedThen([] { DamageTheSinkComponent(true); }),
       true},
      {"component without its constructor string",
       installedThen([] { DamageTheSinkComponent(false); }), true},
  };
  for (int i = 0; i < 8; ++i)
    cases.push_back({"run killed, " + std::to_string(i), killARun, false});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.damage();
    const testing::ProcessResult list = Setup({"--list", "--json"});
    const nlohmann::json installation = nlohmann::json::parse(list.out)["installation"];
    const std::string state = installation["state"];
    if (c.damaged) {
      EXPECT_EQ(state, "damaged");
    }
    if (state == "damaged") {
      const std::string reason = installation["reason"];
      EXPECT_EQ(list.exitCode, 3);
      EXPECT_NE(list.err.find(reason), std::string::npos) << list.err;
      const testing::ProcessResult batch = Setup({"-b"});
      EXPECT_EQ(batch.exitCode, 3);
      EXPECT_NE(batch.err.find(reason), std::string::npos) << batch.err;
      EXPECT_NE(delivery(), "filtered");
    } else {
      EXPECT_EQ(list.exitCode, 0) << list.err;
      EXPECT_EQ(filtered(), state == "installed") << state;
    }
    EXPECT_EQ(Install().exitCode, state == "installed" ? 1 : 0);
    EXPECT_EQ(test::InstalledConstructorStrings(),
              std::vector<std::string>{"Spam\t\rX-Spam-Flag: YES\t\r65535"});
    EXPECT_TRUE(filtered());
    ASSERT_EQ(Setup({"--uninstall"}).exitCode, 0);
  }
}

TEST_F(SetupProgramUnattended, ListsAsOneJsonObjectWithEachMailboxsState) {
  platform_.Register("ada");
  platform_.AddPerson(
      {.cn = "Ghost Writer", .alias = "ghost", .mail = "ghost@example.com", .inStore = false});
  const testing::ProcessResult result = Setup({"--list", "--json"});
  EXPECT_EQ(result.exitCode, 2) << result.err;
  const nlohmann::ordered_json lists = nlohmann::ordered_json::parse(result.out);
  std::vector<std::string> keys;
  for (const auto& [key, value] : lists.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"installation", "SysMbxInstList", "MbxInstList",
                                            "MbxUninstList", "SysMbxUninstList"}));
  EXPECT_EQ(lists["installation"], nlohmann::ordered_json({{"state", "not installed"}}));
  EXPECT_EQ(lists["MbxUninstList"],
            nlohmann::ordered_json::parse(
                R"([{"entry": "Ada Lindqvist / MAIL1 / ada.lindqvist@example.com / ada",
                     "alias": "ada", "address": "ada.lindqvist@example.com",
                     "state": "registered"}])"));
  EXPECT_EQ(lists["SysMbxInstList"].size(), 1u);
  std::map<std::string, nlohmann::ordered_json> byAlias;
  for (const nlohmann::ordered_json& mailbox : lists["MbxInstList"])
    byAlias[mailbox["alias"]] = mailbox;
  EXPECT_EQ(byAlias["bruno"]["state"], "not registered");
  // Found: an unreachable mailbox was listed as not registered, and --list exited 0.
  EXPECT_EQ(byAlias["ghost"]["state"], "unreachable");
  const std::string reason = byAlias["ghost"]["reason"];
  EXPECT_NE(reason.find("/mbx/ghost - ERROR: "), std::string::npos) << reason;
  EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
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
  EXPECT_FALSE(ItemExists(InboxItem("ada")));
}

TEST_F(SetupProgramUnattended, BatchModeReportsARefusedRun) {
  // Not installed, so the run would install first, and batch mode has no password to give.
  platform_.Register("ada");
  const testing::ProcessResult result = Setup({"-b"});
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_NE(result.err.find("Please fill the Identity and Password fields"), std::string::npos)
      << result.err;
  EXPECT_TRUE(ItemExists(InboxItem("ada")));
}

testing::ProcessResult RunSetup(const std::vector<std::string>& arguments,
                                const std::map<std::string, std::string>& env) {
  std::vector<std::string> argv = {test::SetupProgram()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::map<std::string, std::string> all = {{"QT_QPA_PLATFORM", "offscreen"}};
  for (const auto& [name, value] : env) all[name] = value;
  return testing::RunProcess(argv, all);
}

// Found: run by cron (no display, no runtime folder, no toolkit settings), batch mode wrote the
// toolkit's own warnings to stderr, which cron mails to the administrator every night.
TEST(SetupProgram, BatchModeClosesByItselfAndSaysNothingNotItsOwn) {
  for (const bool registered : {false, true}) {
    SetupPlatform platform;
    platform.AddPerson({.cn = "Anna Lee", .alias = "annal", .mail = "annal@" + platform.domain()});
    if (registered) platform.Register("annal");
    // Installed, so that the renewal has no installation to refuse.
    platform.InstallApplication("EXAMPLE\\annal", "Spam\t\rX-Spam-Flag: YES\t\r1");
    const testing::ProcessResult result = testing::RunProcess(
        {test::SetupProgram(), "-b"}, {{"DROSSGATE_PLATFORM", platform.root().string()},
                                       {"QT_QPA_PLATFORM", ""},
                                       {"DISPLAY", ""},
                                       {"WAYLAND_DISPLAY", ""},
                                       {"XDG_RUNTIME_DIR", ""}});
    EXPECT_EQ(result.exitCode, 0) << registered << ": " << result.err;
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.err, "") << registered;
  }
}

// Found: --help was an unknown option. It documents every option and exit status, needs neither
// a platform nor a display, and the README shows it as it is.
TEST(SetupProgram, HelpIsTheReadmesUsageText) {
  const testing::ProcessResult help =
      RunSetup({"--help"}, {{"DROSSGATE_PLATFORM", ""}, {"QT_QPA_PLATFORM", ""}, {"DISPLAY", ""}});
  EXPECT_EQ(help.exitCode, 0) << help.err;
  EXPECT_EQ(help.err, "");
  const std::string readme = testing::ReadFile(testing::SourceDir() / "README.md");
  const std::string marker = "<!-- DrossgateSetup --help -->\n```text\n";
  const size_t start = readme.find(marker);
  ASSERT_NE(start, std::string::npos) << "the README has no usage block";
  const size_t text = start + marker.size();
  EXPECT_EQ(readme.substr(text, readme.find("```", text) - text), help.out);
}

TEST(SetupProgram, StartUpFailuresEndWithTheMessage) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    bool removeDirectory;
    bool noPlatform;
    int exitCode;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"unreachable directory in batch mode", {"-b"}, true, false, 1, "directory"},
      {"no platform root in batch mode", {"-b"}, false, true, 1, "DROSSGATE_PLATFORM"},
      {"unknown long option", {"--bogus"}, false, false, 64, "unknown option '--bogus'"},
      {"options that do not go together", {"--json"}, false, false, 64, "--help"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetupPlatform platform;
    if (c.removeDirectory) std::filesystem::remove(platform.root() / "directory.ldif");
    std::map<std::string, std::string> env;
    env["DROSSGATE_PLATFORM"] = c.noPlatform ? "" : platform.root().string();
    const testing::ProcessResult result = RunSetup(c.arguments, env);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
  }
}

}  // namespace
}  // namespace drossgate::setup
