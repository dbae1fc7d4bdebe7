// The directory file through its public objects, on the demo directory: binding, the management
// object, and what happens when the data is missing, broken or changes underneath.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <regex>

#include "directory/directory.h"
#include "directory_fixture.h"
#include "error.h"

namespace drossgate::platform::directory {
namespace {

using test::Column;
using test::Contact;
using test::ExpectError;
using test::Raised;

class DirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string error = test::MakeDemoRoot(root_.path());
    ASSERT_EQ(error, "");
    SetPlatformRoot(root_.path());
  }
  void TearDown() override { SetPlatformRoot(""); }

  std::filesystem::path Ldif() const { return root_.path() / "directory.ldif"; }

  testing::TempDir root_;
};

// The server object opens by either name of this server, in any case, and by no other.
TEST_F(DirectoryTest, PickupDirectoryIsFoundThroughTheServerObject) {
  EXPECT_EQ(WinNTSystemInfo().ComputerName(), "MAIL1");
  EXPECT_EQ(ADSystemInfo().DomainDNSName(), "example.com");
  EXPECT_EQ(BindObject("GC://RootDSE")->Get("dnshostname"), "mail1.example.com");
  EXPECT_EQ(test::PickupDirectory(), (root_.path() / "pickup").string());
  for (const auto& [name, found] :
       {std::pair{"Mail1", true}, {"mail1.other.com", false}, {"", false}})
    EXPECT_EQ(test::ErrorOf([&] { CreateExchangeServer()->Open(name); }),
              found ? 0 : errors::kNoSuchObject)
        << name;
}

TEST_F(DirectoryTest, QueriesThatCannotRunRaiseTheDirectorysError) {
  struct Case {
    std::string text;
    test::Properties properties;
    int32_t number;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"SELECT cn FROM 'GC://dc9.example.com' WHERE cn='x'",
       {},
       errors::kServerDown,
       "The server is not operational."},
      {"SELECT cn FROM 'LDAP://mail1/CN=Nobody,DC=example,DC=com'",
       {},
       errors::kNoSuchObject,
       "There is no such object on the server"},
      {"SELECT cn FROM 'GC://mail1' WHERE cn=x", {}, errors::kBadQuery, "Query syntax error"},
      {"SELECT cn FROM 'GC://mail1' WHERE " + std::string(5000, '('),
       {},
       errors::kBadQuery,
       "nested too deeply"},
      {"SELECT cn FROM 'GC://mail1'", {{"searchscope", 3}}, errors::kInvalidArg, "searchscope"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ExpectError([&] { test::Execute(c.text, c.properties); }, c.number, c.message);
  }
}

TEST_F(DirectoryTest, BindingByPath) {
  const std::string ada = "CN=Ada Lindqvist,CN=Users,DC=example,DC=com";
  const std::pair<std::string, int32_t> cases[] = {
      {"LDAP://" + ada, 0},
      {"LDAP://mail2.example.com/" + ada, errors::kServerDown},
      {"LDAP://mail1/CN=Nobody,CN=Users,DC=example,DC=com", errors::kNoSuchObject},
      {"ldap://mail1/" + ada, errors::kBadPathname},
  };
  for (const auto& [path, error] : cases) {
    std::string mail;
    EXPECT_EQ(Raised([&] { mail = BindObject(path)->Get("mail"); }).number(), error) << path;
    EXPECT_EQ(mail, error ? "" : "ada.lindqvist@example.com") << path;
  }
  auto obj = BindObject("LDAP://mail1/" + ada);
  EXPECT_TRUE(obj->GetValue("telephoneNumber").IsNull());
  EXPECT_EQ(Raised([&] { obj->Get("telephoneNumber"); }).number(), errors::kPropertyNotFound);
}

// Data that cannot be had is an error, never an empty directory: an empty answer would pass
// as "no such mailbox" and "no pickup folder".
TEST_F(DirectoryTest, MissingOrBrokenDataIsAnErrorNotAnEmptyDirectory) {
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path& ldif)> damage;
    int32_t number;
    std::string message;
    const char* faults = "";
  };
  auto setBackend = [](const char* backend) {
    MachineInfo m = Machine();
    m.directory = DirectoryConfig::Of({{"backend", backend}});
    WriteMachineInfo(PlatformRoot(), m);
  };
  const std::vector<Case> cases = {
      {"file missing", [](const auto& f) { std::filesystem::remove(f); }, errors::kServerDown,
       "does not exist"},
      {"file unreadable", [](const auto&) {}, errors::kServerDown, "cannot be read",
       "directory.read"},
      {"malformed line",
       [](const auto& f) {
         testing::WriteFile(f, "version: 1\n\ndn: CN=a,DC=example,DC=com\ncn a\n");
       },
       errors::kCorrupt, "directory.ldif, line 4:"},
      {"no directory", [&](const auto&) { setBackend("none"); }, errors::kServerDown,
       "no directory"},
  };
  const std::string saved = testing::ReadFile(Ldif());
  const MachineInfo machine = Machine();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.damage(Ldif());
    test::ArmedFaults faults(c.faults);
    ExpectError([] { BindObject("LDAP://RootDSE"); }, c.number, c.message);
    ExpectError([&] { test::Execute("SELECT cn FROM 'GC://mail1'"); }, c.number, c.message);
    ExpectError([] { CreateExchangeServer()->Open("MAIL1"); }, c.number, c.message);
    testing::WriteFile(Ldif(), saved);
    WriteMachineInfo(root_.path(), machine);
  }
}

// An object keeps what it read until refreshed; queries see a changed file at once.
TEST_F(DirectoryTest, ChangesToTheFileAreSeenAtOnce) {
  auto ada = BindObject("LDAP://mail1/CN=Ada Lindqvist,CN=Users,DC=example,DC=com");
  std::string text = testing::ReadFile(Ldif());
  const std::string from = "mail: ada.lindqvist@example.com\n";
  text.replace(text.find(from), from.size(), "mail: new.ada@example.com\n");
  testing::WriteFile(Ldif(), text);
  EXPECT_EQ(ada->Get("mail"), "ada.lindqvist@example.com");
  EXPECT_EQ(Column("SELECT cn FROM 'GC://mail1' WHERE mail='new*'"), "Ada Lindqvist");
  ada->Refresh();
  EXPECT_EQ(ada->Get("mail"), "new.ada@example.com");
  testing::WriteFile(Ldif(),
                     std::regex_replace(text, std::regex("CN=Ada Lindqvist"), "CN=Ada Gone"));
  ExpectError([&] { ada->Refresh(); }, errors::kNoSuchObject, "no such object");
}

TEST_F(DirectoryTest, AddedEntriesAreAppendedAllOrNothing) {
  const std::string before = testing::ReadFile(Ldif());
  admin::AddEntries({Contact("new one", "new1"), Contact("new two", "new2")});
  EXPECT_EQ(Column("SELECT cn FROM 'GC://mail1' WHERE mailNickName='new*' ORDER BY cn"),
            "new one|new two");
  EXPECT_EQ(testing::ReadFile(Ldif()).substr(0, before.size()), before);  // what was there stays

  const std::string after = testing::ReadFile(Ldif());
  Entry orphan = Contact("orphan", "orphan");
  orphan.dn = "CN=orphan,OU=Nowhere,DC=example,DC=com";
  ExpectError(
      [&] {
        admin::AddEntries({Contact("new three", "new3"), Contact("NEW ONE", "new4")});
      },
      errors::kAlreadyExists, "already exists");
  ExpectError([&] { admin::AddEntries({orphan}); }, errors::kNoSuchObject, "OU=Nowhere");
  {
    test::ArmedFaults faults("directory.write");
    ExpectError([&] { admin::AddEntries({Contact("y", "y")}); }, errors::kFileWrite,
                "Cannot write");
  }
  EXPECT_EQ(testing::ReadFile(Ldif()), after);
}

}  // namespace
}  // namespace drossgate::platform::directory
