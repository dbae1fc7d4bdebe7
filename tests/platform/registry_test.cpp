#include "system/registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform_fixture.h"

namespace drossgate::platform::registry {
namespace {

using test::PlatformRootTest;
const std::string kShares = "SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares";

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

std::vector<std::string> ValueNames(Key key) {
  std::vector<std::string> names;
  std::string name, data;
  ValueType type{};
  for (uint32_t i = 0; EnumValue(key, i, 1024, 65536, name, type, data) == kSuccess; ++i)
    names.push_back(name);
  return names;
}

TEST(ParseKeyPath, HiveNamesAndPaths) {
  struct Case {
    const char* name;
    std::string text;
    bool ok;
    Hive hive;
    std::string path;
  } cases[] = {
      {"short machine", "HKLM\\SYSTEM\\Cluster", true, Hive::kLocalMachine, "SYSTEM\\Cluster"},
      {"classes short", "HKCR\\CLSID", true, Hive::kClassesRoot, "CLSID"},
      {"user long, lower case", "hkey_current_user\\Software", true, Hive::kCurrentUser,
       "Software"},
      {"doubled and trailing separators", "HKLM\\\\A\\B\\", true, Hive::kLocalMachine, "A\\B"},
      {"unknown hive", "HKEY_USERS\\x", false, Hive::kLocalMachine, ""},
  };
  for (const Case& c : cases) {
    Hive hive = Hive::kLocalMachine;
    std::string path;
    EXPECT_EQ(ParseKeyPath(c.text, hive, path), c.ok) << c.name;
    if (!c.ok) continue;
    EXPECT_EQ(hive, c.hive) << c.name;
    EXPECT_EQ(path, c.path) << c.name;
  }
}

using RegistryTest = PlatformRootTest;

// The bytes a value gives are the next test's; here only the size at which they stop fitting.
TEST_F(RegistryTest, EnumValueReportsMoreDataWhenTheBufferIsTooSmall) {
  TestKey k(Hive::kLocalMachine, kShares);
  ASSERT_EQ(SetString(k.key, "Name5", std::string(9, 'x')), kSuccess);  // 10 bytes with NUL
  std::string name, data;
  ValueType type{};
  EXPECT_EQ(EnumValue(k.key, 0, 6, 10, name, type, data), kSuccess);
  EXPECT_EQ(EnumValue(k.key, 0, 6, 9, name, type, data), kMoreData);
  EXPECT_EQ(EnumValue(k.key, 1, 1024, 500, name, type, data), kNoMoreItems);
}

TEST_F(RegistryTest, EnumValueGivesRawBytesPerType) {
  TestKey k(Hive::kLocalMachine, "SOFTWARE\\Types");
  ASSERT_EQ(SetString(k.key, "text", "abc"), kSuccess);
  ASSERT_EQ(SetMultiString(k.key, "list", {"a", "bc"}), kSuccess);
  ASSERT_EQ(SetMultiString(k.key, "empty list", {}), kSuccess);
  ASSERT_EQ(SetDword(k.key, "number", 0x01020304), kSuccess);
  struct Case {
    const char* name;
    ValueType type;
    std::string bytes;
  } cases[] = {
      {"text", ValueType::kString, std::string("abc\0", 4)},
      {"list", ValueType::kMultiString, std::string("a\0bc\0\0", 6)},
      {"empty list", ValueType::kMultiString, std::string("\0", 1)},
      {"number", ValueType::kDword, std::string("\x04\x03\x02\x01", 4)},
  };
  for (uint32_t i = 0; i < std::size(cases); ++i) {
    std::string name, data;
    ValueType type{};
    ASSERT_EQ(EnumValue(k.key, i, 1024, 500, name, type, data), kSuccess) << cases[i].name;
    EXPECT_EQ(name, cases[i].name);
    EXPECT_EQ(type, cases[i].type) << cases[i].name;
    EXPECT_EQ(data, cases[i].bytes) << cases[i].name;
  }
}

TEST_F(RegistryTest, KeysCompareWithoutCaseAndDeleteWithTheirSubtree) {
  { TestKey k(Hive::kClassesRoot, "CLSID\\{AB}\\InprocServer32"); }
  { TestKey k(Hive::kClassesRoot, "CLSID\\{Cd}\\ProgID"); }
  { TestKey k(Hive::kClassesRoot, "clsid\\{aa}"); }
  Key key = 0;
  EXPECT_EQ(OpenKey(Hive::kClassesRoot, "clsid\\{ab}\\inprocserver32", key), kSuccess);
  CloseKey(key);
  EXPECT_EQ(OpenKey(Hive::kClassesRoot, "CLSID\\{CD}", key), kSuccess) << "implied by a subkey";
  CloseKey(key);
  EXPECT_EQ(OpenKey(Hive::kLocalMachine, "CLSID", key), kFileNotFound) << "other hive";
  EXPECT_EQ(key, 0);

  TestKey clsid(Hive::kClassesRoot, "CLSID", false);
  std::vector<std::string> children;
  std::string name;
  for (uint32_t i = 0; EnumKey(clsid.key, i, name) == kSuccess; ++i) children.push_back(name);
  EXPECT_EQ(children, (std::vector<std::string>{"{aa}", "{AB}", "{Cd}"}));

  EXPECT_EQ(DeleteKey(Hive::kClassesRoot, "Clsid\\{ab}"), kSuccess);
  EXPECT_EQ(OpenKey(Hive::kClassesRoot, "CLSID\\{AB}\\InprocServer32", key), kFileNotFound);
  EXPECT_EQ(OpenKey(Hive::kClassesRoot, "CLSID\\{Cd}\\ProgID", key), kSuccess) << "sibling stays";
  CloseKey(key);
}

TEST_F(RegistryTest, RefusesTextTheFileCannotHold) {
  TestKey k(Hive::kLocalMachine, "SOFTWARE\\Bad");
  EXPECT_EQ(SetString(k.key, "nul", std::string("a\0b", 3)), kInvalidParameter);
  EXPECT_EQ(SetString(k.key, "latin1", "caf\xe9"), kInvalidParameter);
  EXPECT_EQ(ValueNames(k.key), std::vector<std::string>{});
}

TEST_F(RegistryTest, SeesAFileChangedByAnotherWriter) {
  TestKey k(Hive::kLocalMachine, "SOFTWARE\\X");
  ASSERT_EQ(SetString(k.key, "v", "mine"), kSuccess);
  testing::WriteFile(root() / "registry.json",
                     R"({"HKEY_LOCAL_MACHINE": {"software\\x": {"values": [)"
                     R"({"name": "v", "type": "sz", "data": "theirs"}]}}})");
  std::string s;
  EXPECT_EQ(QueryString(k.key, "V", s), kSuccess);
  EXPECT_EQ(s, "theirs");
}

// Writers in other processes and on other threads of this one: each holds the file's lock.
TEST_F(RegistryTest, WritersAtOnceLoseNothing) {
  constexpr int kChildren = 3, kThreads = 2, kEach = 10;
  auto write = [](const std::string& prefix) {
    Key key = 0;
    int failures = CreateKey(Hive::kLocalMachine, "SOFTWARE\\Shared", key) != kSuccess;
    for (int i = 0; i < kEach; ++i)
      failures += SetString(key, prefix + std::to_string(i), "x") != kSuccess;
    CloseKey(key);
    return failures;
  };
  auto writeFromThreads = [&](const std::string& who) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] { failures += write(who + "t" + std::to_string(t) + "-"); });
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
  EXPECT_EQ(ValueNames(k.key).size(), size_t{(kChildren + 1) * kThreads * kEach});
}

// Nothing written may replace what could not be read: that would lose every registration.
TEST_F(RegistryTest, UnreadableFileGivesBadRegistryAndIsLeftAlone) {
  struct Case {
    const char* name;
    std::string content;
  } cases[] = {
      {"unknown hive", R"({"HKEY_USERS": {}})"},
      {"dword as text", R"({"HKEY_LOCAL_MACHINE": {"A": {"values": [)"
                        R"({"name": "n", "type": "dword", "data": "3"}]}}})"},
      {"one value twice", R"({"HKEY_LOCAL_MACHINE": {"A": {"values": [)"
                          R"({"name": "n", "type": "sz", "data": ""},)"
                          R"({"name": "N", "type": "sz", "data": ""}]}}})"},
      {"binary garbage", std::string("\x00\xff\x01", 3)},
  };
  TestKey open(Hive::kLocalMachine, "SOFTWARE\\Open");  // opened before the damage
  for (const Case& c : cases) {
    testing::WriteFile(root() / "registry.json", c.content);
    EXPECT_EQ(SetString(open.key, "v", "y"), kBadRegistry) << c.name;
    Key key = 0;
    EXPECT_EQ(OpenKey(Hive::kLocalMachine, "A", key), kBadRegistry) << c.name;
    EXPECT_EQ(CreateKey(Hive::kLocalMachine, "B", key), kBadRegistry) << c.name;
    EXPECT_EQ(DeleteKey(Hive::kLocalMachine, "A"), kBadRegistry) << c.name;
    EXPECT_EQ(testing::ReadFile(root() / "registry.json"), c.content) << c.name;
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

TEST_F(RegistryTest, MissingFileIsAnEmptyRegistry) {
  std::filesystem::remove(root() / "registry.json");
  Key key = 0;
  EXPECT_EQ(OpenKey(Hive::kLocalMachine, "SYSTEM", key), kFileNotFound);
  TestKey k(Hive::kLocalMachine, "SYSTEM\\New");
  EXPECT_EQ(SetString(k.key, "v", "x"), kSuccess);
  EXPECT_TRUE(std::filesystem::exists(root() / "registry.json"));
}

}  // namespace
}  // namespace drossgate::platform::registry
