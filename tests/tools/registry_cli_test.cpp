// drossgate-platform registry, run as a process on a root made by hand: bad input is refused
// with a message, never a crash, and changes nothing. (The pickup share it sets is the pickup
// test's.)
#include <gtest/gtest.h>

#include "platform_fixture.h"
#include "testsupport.h"

namespace drossgate::tools {
namespace {

using testing::ProcessResult;

class RegistryCliTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::test::MakeRoot(dir_.path()); }
  ProcessResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), "registry");
    return testing::RunPlatformTool(dir_.path(), args);
  }

 private:
  testing::TempDir dir_;
};

TEST_F(RegistryCliTest, BadInputIsRefusedWithAMessage) {
  const std::string x = "HKLM\\SOFTWARE\\X";
  ASSERT_EQ(Run({"set", x, "v", "--type", "sz", "x"}).exitCode, 0);
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string message;
  } cases[] = {
      {{"get", "HKEY_USERS\\x"}, 2, "not a registry key"},
      {{"get", "HKLM\\SOFTWARE\\Nope"}, 1, "does not exist"},
      {{"get", x, "w"}, 1, "does not exist"},
      {{"set", x, "n", "--type", "dword", "ten"}, 2, "not a dword"},
      {{"set", x, "n", "--type", "dword", "-1"}, 2, "not a dword"},
      {{"set", x, "n", "--type", "dword", "4294967296"}, 2, "not a dword"},
      {{"set", x, "v", "--type", "sz", "a", "b"}, 2, "exactly one"},
      {{"delete", "HKLM"}, 2, "hive"},
      {{"delete", x, "zz"}, 1, "does not exist"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    ProcessResult r = Run(c.args);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(Run({"get", x, "v"}).out, "x\n") << "left unchanged";
}

}  // namespace
}  // namespace drossgate::tools
