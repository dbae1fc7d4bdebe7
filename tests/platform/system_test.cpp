#include "system/system.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "error.h"
#include "platform_fixture.h"

namespace drossgate::platform {
namespace {

using test::PlatformRootTest;
using SystemTest = PlatformRootTest;

// A machine file's fields as "computer|domain|user|workgroup|directory", or its error, whose
// text names the file.
TEST_F(SystemTest, MachineFileFieldsAndFaults) {
  struct Case {
    const char* name;
    const char* content;  // nullptr: no file
    int32_t error;
    std::string fields;
  } cases[] = {
      {"full",
       R"({"computer": "MAIL1", "domain": "Example.com", "user": "admin", "workgroup": "EX",
           "directory": {"uri": "ldap://dc1"}})",
       0, R"(MAIL1|Example.com|admin|EX|{"uri":"ldap://dc1"})"},
      {"no workgroup, null directory",
       R"({"computer": "M", "domain": "d", "user": "u", "directory": null})", 0, "M|d|u||null"},
      {"not JSON", R"({"computer": )", errors::kCorrupt, ""},
      {"no user", R"({"computer": "M", "domain": "d"})", errors::kCorrupt, ""},
      {"empty computer", R"({"computer": "", "domain": "d", "user": "u"})", errors::kCorrupt, ""},
      {"missing", nullptr, errors::kNotFound, ""},
  };
  const std::filesystem::path file = root() / "machine.json";
  for (const Case& c : cases) {
    c.content ? testing::WriteFile(file, c.content) : void(std::filesystem::remove(file));
    std::string fields;
    PlatformError e = test::Raised([&] {
      const MachineInfo& m = Machine();
      fields = m.computerName + "|" + m.domainName + "|" + m.userName + "|" + m.workgroup + "|" +
               m.directory.dump();
    });
    EXPECT_EQ(e.number(), c.error) << c.name;
    EXPECT_EQ(fields, c.fields) << c.name;
    if (c.error) {
      EXPECT_THAT(e.what(), ::testing::HasSubstr(file.string())) << c.name;
    }
  }
}

TEST_F(SystemTest, ReferencesStayValidWhileTheFileChanges) {
  const MachineInfo& before = Machine();
  EXPECT_EQ(before.computerName, "MAIL1");
  WriteMachineInfo(root(), {"MAIL2", "example.org", "svc", "", nullptr, {}});
  EXPECT_EQ(ComputerNameEnvironment(), "MAIL2");
  EXPECT_EQ(CurrentUserName(), "svc");
  EXPECT_EQ(before.computerName, "MAIL1") << "an old reference still reads what it read";
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
    ASSERT_TRUE(g && (g->data3 >> 12) == 4 && (g->data4[0] & 0xC0) == 0x80) << "random-based";
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
