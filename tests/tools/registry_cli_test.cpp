// drossgate-platform registry, run as a process on a root made by hand.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform_fixture.h"
#include "testsupport.h"

namespace drossgate::tools {
namespace {

using testing::ProcessResult;
using testing::RunPlatformTool;

const std::string kShares = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares";

class RegistryCliTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::test::MakeRoot(dir_.path()); }
  ProcessResult Run(const std::vector<std::string>& args) {
    return RunPlatformTool(dir_.path(), args);
  }
  const std::filesystem::path& root() const { return dir_.path(); }

 private:
  testing::TempDir dir_;
};

TEST_F(RegistryCliTest, SetThenGetEachType) {
  struct Case {
    const char* name;
    std::vector<std::string> set;
    std::string valueName;
    std::string printed;
  } cases[] = {
      {"share multi-string",
       {"PickUp", "--type", "multi_sz", "CSCFlags=0", "MaxUses=4294967295", "Path=/srv/pick up",
        "Permissions=0"},
       "pickup",
       "CSCFlags=0\nMaxUses=4294967295\nPath=/srv/pick up\nPermissions=0\n"},
      {"text with = and blanks", {"Note", "--type", "sz", " a=b "}, "Note", " a=b \n"},
      {"default value", {"", "--type", "sz", "dflt"}, "", "dflt\n"},
      {"decimal dword", {"Count", "--type", "dword", "4294967295"}, "count", "4294967295\n"},
      {"hex dword", {"Hex", "--type", "dword", "0x1F"}, "Hex", "31\n"},
      {"empty multi-string", {"None", "--type", "multi_sz"}, "None", ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"registry", "set", kShares};
    args.insert(args.end(), c.set.begin(), c.set.end());
    ProcessResult set = Run(args);
    ASSERT_EQ(set.exitCode, 0) << c.name << ": " << set.err;
    ProcessResult get = Run({"registry", "get", kShares, c.valueName});
    EXPECT_EQ(get.exitCode, 0) << c.name << ": " << get.err;
    EXPECT_EQ(get.out, c.printed) << c.name;
  }
  ProcessResult all = Run({"registry", "get",
                           "HKEY_LOCAL_MACHINE\\system\\currentcontrolset\\"
                           "services\\lanmanserver\\shares",
                           "--json"});
  ASSERT_EQ(all.exitCode, 0) << all.err;
  auto j = nlohmann::json::parse(all.out);
  ASSERT_EQ(j["values"].size(), std::size(cases));
  EXPECT_EQ(j["values"][0]["name"], "PickUp");
  EXPECT_EQ(j["values"][0]["data"][2], "Path=/srv/pick up");
  EXPECT_EQ(j["values"][3]["data"], 4294967295u);

  ProcessResult text = Run({"registry", "get", kShares});
  EXPECT_NE(text.out.find("PickUp (multi_sz):\n  CSCFlags=0\n"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("(default) (sz): dflt\n"), std::string::npos) << text.out;
  EXPECT_NE(Run({"registry", "get", "HKLM\\SYSTEM"}).out.find("CurrentControlSet\\"),
            std::string::npos);
}

TEST_F(RegistryCliTest, BadInputIsRefusedWithAMessage) {
  ASSERT_EQ(Run({"registry", "set", "HKLM\\SOFTWARE\\X", "v", "--type", "sz", "x"}).exitCode, 0);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    std::string message;
  } cases[] = {
      {"unknown hive", {"registry", "get", "HKEY_USERS\\x"}, 2, "not a registry key"},
      {"absent key", {"registry", "get", "HKLM\\SOFTWARE\\Nope"}, 1, "does not exist"},
      {"absent value", {"registry", "get", "HKLM\\SOFTWARE\\X", "w"}, 1, "does not exist"},
      {"dword not a number",
       {"registry", "set", "HKLM\\SOFTWARE\\X", "n", "--type", "dword", "ten"},
       2,
       "not a dword"},
      {"dword negative",
       {"registry", "set", "HKLM\\SOFTWARE\\X", "n", "--type", "dword", "-1"},
       2,
       "not a dword"},
      {"dword too large",
       {"registry", "set", "HKLM\\SOFTWARE\\X", "n", "--type", "dword", "4294967296"},
       2,
       "not a dword"},
      {"two texts for sz",
       {"registry", "set", "HKLM\\SOFTWARE\\X", "v", "--type", "sz", "a", "b"},
       2,
       "exactly one"},
      {"deleting a hive", {"registry", "delete", "HKLM"}, 2, "hive"},
      {"deleting an absent value",
       {"registry", "delete", "HKLM\\SOFTWARE\\X", "zz"},
       1,
       "does not exist"},
  };
  for (const Case& c : cases) {
    ProcessResult r = Run(c.args);
    EXPECT_EQ(r.signal, 0) << c.name;
    EXPECT_EQ(r.exitCode, c.exitCode) << c.name << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
  }
  EXPECT_EQ(Run({"registry", "get", "HKLM\\SOFTWARE\\X", "v"}).out, "x\n") << "left unchanged";
}

TEST_F(RegistryCliTest, DeleteValueAndKey) {
  Run({"registry", "set", "HKCR\\CLSID\\{1}\\InprocServer32", "", "--type", "sz", "/lib.so"});
  Run({"registry", "set", "HKCR\\CLSID\\{1}", "keep", "--type", "sz", "x"});
  EXPECT_EQ(Run({"registry", "delete", "HKCR\\CLSID\\{1}", "keep"}).exitCode, 0);
  EXPECT_EQ(Run({"registry", "get", "HKCR\\CLSID\\{1}", "keep"}).exitCode, 1);
  EXPECT_EQ(Run({"registry", "delete", "HKCR\\clsid\\{1}"}).exitCode, 0);
  EXPECT_EQ(Run({"registry", "get", "HKCR\\CLSID\\{1}\\InprocServer32"}).exitCode, 1);
}

}  // namespace
}  // namespace drossgate::tools
