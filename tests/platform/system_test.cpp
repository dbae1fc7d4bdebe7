// The system services: the machine file, the platform root, GUIDs and the registry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>

#include "error.h"
#include "platform_fixture.h"
#include "system/registry.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::platform {
namespace {

using test::PlatformRootTest;
using SystemTest = PlatformRootTest;

// A machine file's fields as "computer|domain|user|workgroup|directory", or its error, whose
// text names the file. A reference read before stays valid while the file changes.
TEST_F(SystemTest, MachineFileFieldsAndFaults) {
  const MachineInfo& before = Machine();
  struct Case {
    const char* name;
    const char* content;  // nullptr: no file
    int32_t error;
    std::string fields;
  } cases[] = {
      {"full",
       R"({"computer": "MAIL1", "domain": "Example.com", "user": "admin", "workgroup": "EX",
           "directory": {"uri": "ldap://dc1"}})",
       0, "MAIL1|Example.com|admin|EX|uri=ldap://dc1;"},
      {"no workgroup, null directory",
       R"({"computer": "M", "domain": "d", "user": "u", "directory": null})", 0, "M|d|u||"},
      {"not JSON", R"({"computer": )", errors::kCorrupt, ""},
      {"no user", R"({"computer": "M", "domain": "d"})", errors::kCorrupt, ""},
      {"missing", nullptr, errors::kNotFound, ""},
  };
  const std::filesystem::path file = root() / "machine.json";
  for (const Case& c : cases) {
    c.content ? testing::WriteFile(file, c.content) : void(std::filesystem::remove(file));
    std::string fields;
    PlatformError e = test::Raised([&] {
      const MachineInfo& m = Machine();
      fields = m.computerName + "|" + m.domainName + "|" + m.userName + "|" + m.workgroup + "|";
      for (const auto& [name, value] : m.directory.members) fields += name + "=" + *value + ";";
    });
    EXPECT_EQ(e.number(), c.error) << c.name;
    EXPECT_EQ(fields, c.fields) << c.name;
    if (c.error) {
      EXPECT_THAT(e.what(), ::testing::HasSubstr(file.string())) << c.name;
    }
  }
  EXPECT_EQ(before.domainName, "example.com") << "an old reference still reads what it read";
}

// An explicit root wins over DROSSGATE_PLATFORM; a root that is not there is never made anew.
TEST_F(SystemTest, RootFromTheHostOrTheEnvironment) {
  testing::TempDir envRoot;
  setenv("DROSSGATE_PLATFORM", (envRoot.path() / "absent").c_str(), 1);
  EXPECT_EQ(PlatformRoot(), root());
  SetPlatformRoot({});
  EXPECT_THROW(Machine(), PlatformError);
  unsetenv("DROSSGATE_PLATFORM");
  EXPECT_THROW(PlatformRoot(), PlatformError);
}

// Fresh random GUIDs that read back from their text form, the form registry keys are named by.
TEST_F(SystemTest, GuidsAreFreshRandomOnesAndTheGeneratorCanFail) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    auto g = CreateGuid();
    ASSERT_TRUE(g && (g->data3 >> 12) == 4 && (g->data4[0] & 0xC0) == 0x80) << "random-based";
    ASSERT_EQ(com::ParseGuid(text::ToLower(com::FormatGuid(*g))), g);
    seen.insert(com::FormatGuid(*g));
  }
  EXPECT_EQ(seen.size(), 1000u);
  for (const char* bad :
       {"{41C4F8B27-439-11D2-98CB-00C04F8EE1C4}", "{41C4F8B2-7439-11D2-98CB-00C04F8EE1CG}",
        "41C4F8B2743911D298CB00C04F8EE1C4"})
    EXPECT_FALSE(com::ParseGuid(bad)) << bad;
  test::ArmedFaults faults("guid.create@2");
  EXPECT_TRUE(CreateGuid());
  EXPECT_FALSE(CreateGuid());
  EXPECT_TRUE(CreateGuid());
}

// --- The registry ---------------------------------------------------------------------------

using namespace registry;

// Opens (creating) a key and closes it at the end of the scope.
struct TestKey {
  Key key = 0;
  TestKey(Hive hive, const std::string& path, bool create = true) {
    Status st = create ? CreateKey(hive, path, key) : OpenKey(hive, path, key);
    EXPECT_EQ(st, kSuccess) << path;
  }
  ~TestKey() {
    if (key) CloseKey(key);
  }
};

bool Opens(Hive hive, const std::string& path) {
  Key key = 0;
  if (OpenKey(hive, path, key) != kSuccess) return false;
  CloseKey(key);
  return true;
}

using RegistryTest = PlatformRootTest;

// Keys as a library's registration writes them: named in any case, deleted with their subtree.
TEST_F(RegistryTest, KeysIgnoreCaseAndDeleteWithTheirSubtree) {
  for (const char* path : {"CLSID\\{AB}\\InprocServer32", "CLSID\\{Cd}"})
    TestKey k(Hive::kClassesRoot, path);
  EXPECT_TRUE(Opens(Hive::kClassesRoot, "clsid\\{ab}\\inprocserver32"));
  EXPECT_FALSE(Opens(Hive::kLocalMachine, "CLSID")) << "other hive";
  EXPECT_EQ(DeleteKey(Hive::kClassesRoot, "Clsid\\{ab}"), kSuccess);
  EXPECT_FALSE(Opens(Hive::kClassesRoot, "CLSID\\{AB}\\InprocServer32"));
  EXPECT_TRUE(Opens(Hive::kClassesRoot, "CLSID\\{Cd}")) << "sibling stays";
}

// Writers in other processes and on other threads of this one: each holds the file's lock.
TEST_F(RegistryTest, WritersAtOnceLoseNothing) {
  constexpr int kChildren = 3, kThreads = 2, kEach = 10;
  auto writeFromThreads = [](const std::string& who) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        Key key = 0;
        failures += CreateKey(Hive::kLocalMachine, "SOFTWARE\\Shared", key) != kSuccess;
        for (int i = 0; i < kEach; ++i)
          failures +=
              SetString(key, who + std::to_string(t) + "-" + std::to_string(i), "x") != kSuccess;
        CloseKey(key);
      });
    for (auto& t : threads) t.join();
    return failures.load();
  };
  std::vector<pid_t> pids;
  for (int c = 0; c < kChildren; ++c) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(writeFromThreads("p" + std::to_string(c)) == 0 ? 0 : 1);
    pids.push_back(pid);
  }
  EXPECT_EQ(writeFromThreads("parent"), 0);
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  TestKey k(Hive::kLocalMachine, "SOFTWARE\\Shared", false);
  std::string name, data;
  ValueType type{};
  uint32_t values = 0;
  while (EnumValue(k.key, values, 1024, 65536, name, type, data) == kSuccess) ++values;
  EXPECT_EQ(values, uint32_t{(kChildren + 1) * kThreads * kEach});
}

// Nothing written may replace what could not be read: that would lose every registration.
TEST_F(RegistryTest, UnreadableFileGivesBadRegistryAndIsLeftAlone) {
  const std::pair<const char*, std::string> cases[] = {
      {"unknown hive", R"({"HKEY_USERS": {}})"},
      {"dword as text", R"({"HKEY_LOCAL_MACHINE": {"A": {"values": [)"
                        R"({"name": "n", "type": "dword", "data": "3"}]}}})"},
      {"one value twice", R"({"HKEY_LOCAL_MACHINE": {"A": {"values": [)"
                          R"({"name": "n", "type": "sz", "data": ""},)"
                          R"({"name": "N", "type": "sz", "data": ""}]}}})"},
      {"binary garbage", std::string("\x00\xff\x01", 3)},
  };
  TestKey open(Hive::kLocalMachine, "SOFTWARE\\Open");  // opened before the damage
  for (const auto& [name, content] : cases) {
    testing::WriteFile(root() / "registry.json", content);
    EXPECT_EQ(SetString(open.key, "v", "y"), kBadRegistry) << name;
    Key key = 0;
    EXPECT_EQ(OpenKey(Hive::kLocalMachine, "A", key), kBadRegistry) << name;
    EXPECT_EQ(CreateKey(Hive::kLocalMachine, "B", key), kBadRegistry) << name;
    EXPECT_EQ(DeleteKey(Hive::kLocalMachine, "A"), kBadRegistry) << name;
    EXPECT_EQ(testing::ReadFile(root() / "registry.json"), content) << name;
  }
}

TEST_F(RegistryTest, AFailedWriteChangesNothing) {
  TestKey k(Hive::kLocalMachine, "SOFTWARE\\Fault");
  ASSERT_EQ(SetString(k.key, "v", "before"), kSuccess);
  const std::string saved = testing::ReadFile(root() / "registry.json");
  {
    test::ArmedFaults faults("registry.write");
    EXPECT_EQ(SetString(k.key, "v", "after"), kAccessDenied);
  }
  EXPECT_EQ(testing::ReadFile(root() / "registry.json"), saved);
  std::string s;
  EXPECT_EQ(QueryString(k.key, "v", s), kSuccess);
  EXPECT_EQ(s, "before");
}

}  // namespace
}  // namespace drossgate::platform
