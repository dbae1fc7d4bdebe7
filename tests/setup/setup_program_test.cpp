// DrossgateSetup as a process: batch mode closes by itself, and start-up failures end the
// program with the platform's message and a non-zero status.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "setup_fixture.h"
#include "testsupport.h"

namespace drossgate::setup {
namespace {

using test::Person;
using test::SetupPlatform;

testing::ProcessResult RunSetup(const std::vector<std::string>& arguments,
                                const std::map<std::string, std::string>& env) {
  std::vector<std::string> argv = {(testing::BinaryDir() / "setup" / "DrossgateSetup").string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::map<std::string, std::string> all = {{"QT_QPA_PLATFORM", "offscreen"}};
  for (const auto& [name, value] : env) all[name] = value;
  return testing::RunProcess(argv, all);
}

TEST(SetupProgram, BatchModeClosesByItself) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    bool registered;
  };
  const std::vector<Case> cases = {
      {"nothing registered", {"-b"}, false},
      {"slash switch, upper case, more text", {"/B", "now"}, false},
      {"a registered mailbox", {"-b"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetupPlatform platform;
    platform.AddPerson(Person("Anna Lee", "annal", "annal@" + platform.domain()));
    if (c.registered) {
      platform.Register("annal");
      // Installed, so that the renewal has no installation to refuse.
      platform.InstallApplication("EXAMPLE\\annal", "");
    }
    const testing::ProcessResult result =
        RunSetup(c.arguments, {{"DROSSGATE_PLATFORM", platform.root().string()}});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.signal, 0);
  }
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
      {"unknown long option", {"--bogus"}, false, false, 2, "unknown option '--bogus'"},
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
