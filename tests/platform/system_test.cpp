#include "system/system.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "error.h"
#include "platform_fixture.h"

namespace drossgate::platform {
namespace {

using test::PlatformRootTest;
using SystemTest = PlatformRootTest;

TEST_F(SystemTest, MachineFileFieldsAndFaults) {
  struct Case {
    const char* name;
    std::string content;
    int32_t error;  // 0: parses
    MachineInfo expected;
  } cases[] = {
      {"full",
       R"({"computer": "MAIL1", "domain": "Example.com", "user": "admin", "workgroup": "EX",
           "directory": {"uri": "ldap://dc1"}})",
       0,
       {"MAIL1", "Example.com", "admin", "EX", DirectoryConfig::Of({{"uri", "ldap://dc1"}}), {}}},
      {"no workgroup, null directory",
       R"({"computer": "M", "domain": "d", "user": "u", "directory": null})",
       0,
       {"M", "d", "u", "", {}, {}}},
      {"not JSON", R"({"computer": )", errors::kCorrupt, {}},
      {"no user", R"({"computer": "M", "domain": "d"})", errors::kCorrupt, {}},
      {"empty computer", R"({"computer": "", "domain": "d", "user": "u"})", errors::kCorrupt, {}},
      {"missing", "", errors::kNotFound, {}},
  };
  const std::string file = (root() / "machine.json").string();
  for (const Case& c : cases) {
    if (c.error == errors::kNotFound)
      std::filesystem::remove(root() / "machine.json");
    else
      testing::WriteFile(root() / "machine.json", c.content);
    if (c.error == 0) {
      const MachineInfo& m = Machine();
      EXPECT_EQ(m.computerName, c.expected.computerName) << c.name;
      EXPECT_EQ(m.domainName, c.expected.domainName) << c.name;
      EXPECT_EQ(m.userName, c.expected.userName) << c.name;
      EXPECT_EQ(m.workgroup, c.expected.workgroup) << c.name;
      EXPECT_EQ(m.directory, c.expected.directory) << c.name;
      continue;
    }
    try {
      Machine();
      ADD_FAILURE() << c.name << ": no error";
    } catch (const PlatformError& e) {
      EXPECT_EQ(e.number(), c.error) << c.name;
      EXPECT_NE(e.description().find(file), std::string::npos) << c.name << ": " << e.what();
    }
  }
}

TEST_F(SystemTest, ReferencesStayValidWhileTheFileChanges) {
  const MachineInfo& before = Machine();
  EXPECT_EQ(before.computerName, "MAIL1");
  WriteMachineInfo(root(), {"MAIL2", "example.org", "svc", "", {}, {}});
  EXPECT_EQ(ComputerNameEnvironment(), "MAIL2");
  EXPECT_EQ(CurrentUserName(), "svc");
  EXPECT_EQ(before.computerName, "MAIL1") << "an old reference still reads what it read";
}

TEST_F(SystemTest, FullComputerNameIsLowerCase) {
  struct Case {
    const char* name;
    const char* computer;
    const char* domain;
    std::string expected;
  } cases[] = {
      {"mixed case", "MAIL1", "Example.COM", "mail1.example.com"},
      {"non-ASCII kept", "M\xc3\x84IL", "d.example", "m\xc3\x84il.d.example"},
  };
  for (const Case& c : cases) {
    WriteMachineInfo(root(), {c.computer, c.domain, "u", "", {}, {}});
    EXPECT_EQ(FullComputerName(), c.expected) << c.name;
  }
}

TEST_F(SystemTest, RootFromTheHostOrTheEnvironment) {
  testing::TempDir envRoot;
  setenv("DROSSGATE_PLATFORM", envRoot.path().c_str(), 1);
  EXPECT_EQ(PlatformRoot(), root()) << "an explicit root wins";
  SetPlatformRoot({});
  EXPECT_EQ(PlatformRoot(), envRoot.path());
  setenv("DROSSGATE_PLATFORM", (envRoot.path() / "absent").c_str(), 1);
  EXPECT_THROW(PlatformRoot(), PlatformError);
  unsetenv("DROSSGATE_PLATFORM");
  EXPECT_THROW(PlatformRoot(), PlatformError);
  EXPECT_THROW(Machine(), PlatformError);
}

TEST_F(SystemTest, GuidsAreFreshRandomOnesAndTheGeneratorCanFail) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    auto g = CreateGuid();
    ASSERT_TRUE(g);
    EXPECT_EQ((g->data3 >> 12) & 0xF, 4) << "random-based";
    EXPECT_EQ(g->data4[0] & 0xC0, 0x80) << "standard variant";
    seen.insert(com::FormatGuid(*g));
  }
  EXPECT_EQ(seen.size(), 1000u);

  test::ArmedFaults faults("guid.create@2");
  EXPECT_TRUE(CreateGuid());
  EXPECT_FALSE(CreateGuid());
  EXPECT_TRUE(CreateGuid());
}

TEST_F(SystemTest, MachineIsSafeFromManyThreads) {
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i)
        if (FullComputerName() != "mail1.example.com") ++wrong;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace drossgate::platform
