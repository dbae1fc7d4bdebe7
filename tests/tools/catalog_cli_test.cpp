// drossgate-platform catalog, run as a process on a root made by hand: what an install sets, as
// the setup program sets it, and a password that is never printed.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform_fixture.h"
#include "testsupport.h"

namespace drossgate::tools {
namespace {

using nlohmann::json;
using testing::ProcessResult;

const std::string kSink = DROSSGATE_TESTSINK;
const std::string kPassword = "s3cret-Pa55";
const std::string kConstructor = "Spam\t\rX-Spam-Flag: YES\t\r65535";

class CatalogCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::test::MakeRoot(dir_.path());
    testing::WriteFile(File("password"), "  " + kPassword + " \n");
    testing::WriteFile(File("constructor"), kConstructor);
  }
  ProcessResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), "catalog");
    ProcessResult r = testing::RunPlatformTool(dir_.path(), args);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.out.find(kPassword), std::string::npos) << "password printed";
    EXPECT_EQ(r.err.find(kPassword), std::string::npos) << "password printed";
    return r;
  }
  ProcessResult Install(const std::vector<std::string>& extra) {
    std::vector<std::string> args{"install", "--app", "DrossgateTest", "--dll", kSink};
    args.insert(args.end(), extra.begin(), extra.end());
    return Run(args);
  }
  std::string File(const char* name) const { return (dir_.path() / name).string(); }

  testing::TempDir dir_;
};

TEST_F(CatalogCliTest, InstallSetsWhatTheSetupProgramSets) {
  ProcessResult r = Install({"--identity", " MAIL\\svc ", "--password-file", File("password"),
                             "--constructor-string-file", File("constructor")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const json shown = json::parse(Run({"show", "drossgatetest", "--json"}).out);
  const json& app = shown["application"];
  EXPECT_EQ(app["ApplicationAccessChecksEnabled"], false);
  EXPECT_EQ(app["Identity"], "MAIL\\svc");
  EXPECT_EQ(app["Password"], "********");
  ASSERT_EQ(shown["components"].size(), 2u);
  // Only the class whose ProgID begins with the application's name in its own case.
  EXPECT_EQ(shown["components"][0]["ConstructionEnabled"], false);
  const json& probe = shown["components"][1];
  EXPECT_EQ(probe["Name"], "DrossgateTest.Probe");
  EXPECT_EQ(probe["ConstructionEnabled"], true);
  EXPECT_EQ(probe["ConstructorString"], kConstructor);
  EXPECT_EQ(Run({"uninstall", "--app", "DROSSGATETEST"}).exitCode, 0);
  EXPECT_EQ(Run({"uninstall", "--app", "DrossgateTest"}).exitCode, 0) << "gone is no error";
  EXPECT_NE(Install({"--identity", "a"}).exitCode, 0) << "an identity needs its password file";
}

// Found: a constructor string file saved with CR LF line ends (or a final newline) gave rules
// that never match, and nothing said so.
TEST_F(CatalogCliTest, InstallWarnsOfALineFeedInTheConstructorString) {
  testing::WriteFile(File("crlf"), "Spam\t\r\nX-Spam-Flag: YES\t\r\n1\r\n");
  ProcessResult r = Install({"--constructor-string-file", File("crlf")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err.rfind("warning: the constructor string holds a line feed", 0), 0u) << r.err;
}

}  // namespace
}  // namespace drossgate::tools
