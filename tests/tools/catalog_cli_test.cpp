// drossgate-platform catalog, run as a process on a root made by hand.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform_fixture.h"
#include "testsupport.h"

namespace drossgate::tools {
namespace {

using testing::ProcessResult;
using testing::RunPlatformTool;

const std::string kSink = DROSSGATE_TESTSINK;
const std::string kPassword = "s3cret-Pa55";
const std::string kConstructor = "Spam\t\rX-Spam-Flag: YES\t\r65535";

class CatalogCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::test::MakeRoot(dir_.path());
    testing::WriteFile(dir_.path() / "password", "  " + kPassword + " \n");
    testing::WriteFile(dir_.path() / "constructor", kConstructor);
  }
  ProcessResult Run(const std::vector<std::string>& args) {
    ProcessResult r = RunPlatformTool(dir_.path(), args);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.out.find(kPassword), std::string::npos) << "password printed";
    EXPECT_EQ(r.err.find(kPassword), std::string::npos) << "password printed";
    return r;
  }
  ProcessResult InstallTestSink(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"catalog", "install", "--app", "DrossgateTest", "--dll", kSink};
    args.insert(args.end(), extra.begin(), extra.end());
    return Run(args);
  }
  nlohmann::json Show(const std::string& app) {
    ProcessResult r = Run({"catalog", "show", app, "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return nlohmann::json::parse(r.out);
  }
  std::filesystem::path File(const char* name) const { return dir_.path() / name; }

  testing::TempDir dir_;
};

TEST_F(CatalogCliTest, InstallSetsWhatTheSetupProgramSets) {
  struct Case {
    const char* name;
    std::vector<std::string> extra;
    nlohmann::json identity, password;
    bool constructed;
  } cases[] = {
      {"identity, password and constructor string",
       {"--identity", " MAIL\\svc ", "--password-file", File("password").string(),
        "--constructor-string-file", File("constructor").string()},
       "MAIL\\svc",
       "********",
       true},
      {"blank identity leaves both defaults",
       {"--identity", "   ", "--password-file", File("password").string()},
       "Interactive User",
       "",
       false},
  };
  for (const Case& c : cases) {
    ProcessResult r = InstallTestSink(c.extra);
    ASSERT_EQ(r.exitCode, 0) << c.name << ": " << r.err;
    nlohmann::json shown = Show("drossgatetest");
    const auto& app = shown["application"];
    EXPECT_EQ(app["Name"], "DrossgateTest") << c.name;
    EXPECT_EQ(app["ApplicationAccessChecksEnabled"], false) << c.name;
    EXPECT_EQ(app["Identity"], c.identity) << c.name;
    EXPECT_EQ(app["Password"], c.password) << c.name;
    ASSERT_EQ(shown["components"].size(), 2u) << c.name;
    const auto& decoy = shown["components"][0];
    const auto& probe = shown["components"][1];
    EXPECT_EQ(decoy["Name"], "drossgatetest.Decoy");
    EXPECT_EQ(decoy["ConstructionEnabled"], false) << c.name << ": prefix differs in case";
    EXPECT_EQ(probe["Name"], "DrossgateTest.Probe");
    EXPECT_EQ(probe["ConstructionEnabled"], c.constructed) << c.name;
    EXPECT_EQ(probe["ConstructorString"],
              c.constructed ? nlohmann::json(kConstructor) : nlohmann::json(nullptr))
        << c.name;
    EXPECT_EQ(Run({"catalog", "uninstall", "--app", "DROSSGATETEST"}).exitCode, 0) << c.name;
  }
}

// Found: a constructor string file saved with CR LF line ends (or a final newline) gave rules
// that never match, and nothing said so.
TEST_F(CatalogCliTest, InstallWarnsOfALineFeedInTheConstructorString) {
  testing::WriteFile(File("crlf"), "Spam\t\r\nX-Spam-Flag: YES\t\r\n1\r\n");
  ProcessResult r = InstallTestSink({"--constructor-string-file", File("crlf").string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err.rfind("warning: the constructor string holds a line feed", 0), 0u) << r.err;
}

TEST_F(CatalogCliTest, ListShowAndUninstall) {
  ASSERT_EQ(
      InstallTestSink({"--identity", "svc", "--password-file", File("password").string()}).exitCode,
      0);
  ProcessResult ls = Run({"catalog", "ls", "--json"});
  ASSERT_EQ(ls.exitCode, 0) << ls.err;
  auto apps = nlohmann::json::parse(ls.out);
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0]["name"], "DrossgateTest");
  EXPECT_EQ(apps[0]["components"], (nlohmann::json{"drossgatetest.Decoy", "DrossgateTest.Probe"}));
  const std::string id = apps[0]["id"];
  EXPECT_EQ(Show(id)["application"]["Name"], "DrossgateTest") << "found by ID too";
  ProcessResult text = Run({"catalog", "show", "DrossgateTest"});
  EXPECT_NE(text.out.find("Password: ********\n"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("Component DrossgateTest.Probe\n"), std::string::npos) << text.out;

  ProcessResult gone = Run({"catalog", "uninstall", "--app", "drossgatetest"});
  EXPECT_EQ(gone.exitCode, 0) << gone.err;
  EXPECT_EQ(nlohmann::json::parse(Run({"catalog", "ls", "--json"}).out).size(), 0u);
  ProcessResult again = Run({"catalog", "uninstall", "--app", "DrossgateTest"});
  EXPECT_EQ(again.exitCode, 0) << "uninstalling what is not there is no error";
  EXPECT_EQ(Run({"catalog", "show", "DrossgateTest"}).exitCode, 1);
}

TEST_F(CatalogCliTest, FailedInstallKeepsTheSavedApplication) {
  ProcessResult r = Run({"catalog", "install", "--app", "Broken", "--dll", kSink + ".absent"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Cannot find the component library"), std::string::npos) << r.err;
  auto shown = Show("Broken");
  EXPECT_EQ(shown["components"].size(), 0u);

  ProcessResult twice = Run({"catalog", "install", "--app", "broken", "--dll", kSink});
  EXPECT_EQ(twice.exitCode, 1);
  EXPECT_NE(twice.err.find("already installed"), std::string::npos) << twice.err;
  EXPECT_EQ(nlohmann::json::parse(Run({"catalog", "ls", "--json"}).out).size(), 1u);

  ProcessResult half = Run({"catalog", "install", "--app", "X", "--dll", kSink, "--identity", "a"});
  EXPECT_NE(half.exitCode, 0) << "an identity needs its password file";
}

TEST_F(CatalogCliTest, BrokenCatalogIsAnErrorNotACrash) {
  std::filesystem::remove(File("catalog.db"));
  testing::WriteFile(File("catalog.db"), std::string(2048, 'Q'));
  // Reading it with ls is the damaged-files test's; here the commands that write it.
  for (const std::vector<std::string>& args : {
           std::vector<std::string>{"catalog", "install", "--app", "X", "--dll", kSink},
           std::vector<std::string>{"catalog", "uninstall", "--app", "X"},
       }) {
    ProcessResult r = Run(args);
    EXPECT_EQ(r.exitCode, 1) << args[1];
    EXPECT_NE(r.err.find("catalog.db"), std::string::npos) << args[1] << ": " << r.err;
  }
  std::filesystem::remove(File("catalog.db"));
  ProcessResult missing = Run({"catalog", "ls"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("does not exist"), std::string::npos) << missing.err;
}

}  // namespace
}  // namespace drossgate::tools
