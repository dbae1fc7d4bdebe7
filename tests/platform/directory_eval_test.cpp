// The directory through its public objects, on the fixture directory: the query texts the
// setup tool and the sink send, word for word, binding, the management object, and what
// happens when the data is missing, broken or changes underneath. How a single condition
// matches an entry is the query tests'; here what needs the whole directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "directory/directory.h"
#include "error.h"
#include "platform_fixture.h"
#include "system/system.h"
#include "testsupport.h"

namespace drossgate::platform::directory {
namespace {

const std::string kMail1Home =
    "/o=First Organization/ou=First Administrative Group/cn=Configuration/cn=Servers/cn=MAIL1";
const std::string kJoerg = "J\xC3\xB6rg M\xC3\xBCller";

using Properties = std::vector<std::pair<std::string, PropertyValue>>;

class DirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MachineInfo m;
    m.computerName = "MAIL1";
    m.domainName = "example.com";
    m.userName = "administrator";
    m.workgroup = "EXAMPLE";
    WriteMachineInfo(root_.path(), m);
    std::filesystem::copy_file(testing::SourceDir() / "tests/platform/fixtures/directory.ldif",
                               Ldif());
    SetPlatformRoot(root_.path());
    conn_ = CreateConnection();
    conn_->SetProvider("adsDSOobject");
    conn_->Open("Active Directory Provider", "", "", -1);
  }
  void TearDown() override { SetPlatformRoot(""); }

  std::filesystem::path Ldif() const { return root_.path() / "directory.ldif"; }

  // The global catalog path as the setup tool forms it at start-up.
  static std::string GlobalCatalogPath() {
    return "GC://" + BindObject("GC://RootDSE")->Get("dnshostname");
  }

  std::unique_ptr<RecordSet> Run(const std::string& text, const Properties& properties = {}) {
    auto cmd = CreateCommand();
    cmd->SetActiveConnection(conn_.get());
    cmd->SetCommandText(text);
    for (const auto& [name, value] : properties) cmd->SetProperty(name, value);
    return cmd->Execute(-1);
  }

  static std::vector<std::string> Column(RecordSet& rs, const std::string& field) {
    std::vector<std::string> out;
    for (; !rs.IsEof(); rs.MoveNext()) {
      Value v = rs.Field(field);
      out.push_back(v.IsNull() ? "<null>" : v.Text());
    }
    return out;
  }

  std::vector<std::string> Cns(const std::string& text, const Properties& properties = {}) {
    auto rs = Run(text, properties);
    return Column(*rs, "cn");
  }

  testing::TempDir root_;
  std::unique_ptr<Connection> conn_;
};

const Properties kListProperties = {{"searchscope", 2},      {"cache results", true},
                                    {"Chase Referrals", 96}, {"Page Size", 100},
                                    {"Size Limit", 30000},   {"Timeout", 120}};

TEST_F(DirectoryTest, MailboxListQueryGivesThisServersMailboxesInCnOrder) {
  auto rs =
      Run("SELECT adspath, cn, msExchHomeServerName,mailNickName,mail,homeMDB,userAccountControl,"
          "msExchMailboxGUID "
          "FROM '" +
              GlobalCatalogPath() + "' " +
              "WHERE objectcategory='person' AND MsExchMailboxGuid='*' And msExchHomeServerName='" +
              kMail1Home + "' ORDER BY cn",
          kListProperties);
  ASSERT_EQ(rs->RecordCount(), 6);
  EXPECT_EQ(rs->Field("ADsPath").Text(),
            "GC://mail1.example.com/CN=anna berger,CN=Users,DC=example,DC=com");
  EXPECT_EQ(Column(*rs, "cn"),
            (std::vector<std::string>{"anna berger", "Bruno Keller", "Dora NoMail", kJoerg,
                                      "SystemMailbox{99999999-8888-7777-6666-555555555555}",
                                      "Zoe Adams"}));
  rs->MoveFirst();
  EXPECT_EQ(
      Column(*rs, "mail"),
      (std::vector<std::string>{
          "Anna.Berger@Example.com", "bruno@example.com", "<null>", "joerg@example.com",
          "SystemMailbox{99999999-8888-7777-6666-555555555555}@example.com", "zoe@example.com"}));
}

TEST_F(DirectoryTest, PickupDirectoryIsFoundThroughTheServerObject) {
  EXPECT_EQ(WinNTSystemInfo().ComputerName(), "MAIL1");
  EXPECT_EQ(ADSystemInfo().DomainDNSName(), "example.com");
  auto server = CreateExchangeServer();
  server->Open("mail1.example.com");
  std::string path = server->Field("ADsPath").Text();
  EXPECT_EQ(path,
            "LDAP://mail1.example.com/CN=MAIL1,CN=Servers,CN=First Administrative "
            "Group,CN=Administrative "
            "Groups,CN=First Organization,CN=Microsoft "
            "Exchange,CN=Services,CN=Configuration,DC=example,DC=com");
  // The caller's rewrite: the SMTP virtual server sits below the server object.
  size_t servers = path.find(",CN=Servers,");
  ASSERT_NE(servers, std::string::npos);
  path.insert(path.rfind('/', servers) + 1, "CN=1,CN=SMTP,CN=Protocols,");
  auto vs = BindObject(path);
  vs->Refresh();
  EXPECT_EQ(vs->Get("msExchSmtpPickupDirectory"), "/var/spool/drossgate/pickup");
}

TEST_F(DirectoryTest, ServerObjectOpensByEitherNameInAnyCase) {
  struct Case {
    const char* name;
    bool found;
  };
  for (const Case& c : std::vector<Case>{
           {"MAIL1", true}, {"Mail1.Example.COM", true}, {"mail1.other.com", false}, {"", false}}) {
    SCOPED_TRACE(c.name);
    auto server = CreateExchangeServer();
    try {
      server->Open(c.name);
      EXPECT_TRUE(c.found);
      EXPECT_NE(server->Field("ADsPath").Text().find(",CN=Servers,"), std::string::npos);
    } catch (const PlatformError& e) {
      EXPECT_FALSE(c.found) << e.what();
      EXPECT_EQ(e.number(), errors::kNoSuchObject);
    }
  }
}

void ExpectDown(const std::function<void()>& call, int32_t number, const std::string& message) {
  try {
    call();
    ADD_FAILURE() << "no error";
  } catch (const PlatformError& e) {
    EXPECT_EQ(e.number(), number) << e.what();
    EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
  }
}

struct QueryCase {
  const char* name;
  std::string text;
  Properties properties;
  std::vector<std::string> cns;
};

TEST_F(DirectoryTest, QueriesReturnTheMatchingRowsInOrder) {
  const std::string gc = "SELECT cn FROM 'GC://mail1.example.com'";
  const std::string users = "SELECT cn FROM 'LDAP://MAIL1/CN=Users,DC=example,DC=com'";
  const std::vector<QueryCase> cases = {
      {"class user includes computers",
       gc + " WHERE objectClass='user' AND mail='w*'",
       {},
       {"WS1"}},
      {"NOT",
       gc + " WHERE objectCategory='person' AND NOT mail='*' ORDER BY cn",
       {},
       {"Administrator", "Dora NoMail"}},
      {"entries without the sort attribute last",
       gc + " WHERE objectCategory='person' AND objectClass='user' AND sAMAccountName='*' AND NOT "
            "cn='S*' ORDER BY mail",
       {},
       {"anna berger", "Bruno Keller", "Carl Other", kJoerg, "Zoe Adams", "Dora NoMail",
        "Administrator"}},
      {"directory order without ORDER BY",
       gc + " WHERE objectCategory='group'",
       {},
       {"Support Team", "Domain Admins"}},
      {"size limit caps the rows",
       gc + " WHERE objectCategory='person' ORDER BY cn",
       {{"Size Limit", 2}},
       {"Administrator", "anna berger"}},
      {"LDAP without a base searches the domain only",
       "SELECT cn FROM 'LDAP://mail1.example.com' WHERE objectClass='msExchExchangeServer'",
       {},
       {}},
      {"chasing referrals reaches the configuration",
       "SELECT cn FROM 'LDAP://mail1.example.com' WHERE objectClass='msExchExchangeServer'",
       {{"Chase Referrals", 96}},
       {"MAIL1", "MAIL2"}},
      {"base scope", users, {{"searchscope", 0}}, {"Users"}},
      {"one level, within the domain's naming context",
       "SELECT cn FROM 'LDAP://mail1/DC=example,DC=com' ORDER BY cn",
       {{"searchscope", 1}},
       {"Computers", "Microsoft Exchange System Objects", "Users"}},
      {"DN-valued attribute compared as a name",
       gc + " WHERE member='cn=ZOE ADAMS, cn=Users, dc=example, dc=com'",
       {},
       {"Support Team"}},
  };
  for (const QueryCase& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      EXPECT_EQ(Cns(c.text, c.properties), c.cns);
    } catch (const PlatformError& e) {
      ADD_FAILURE() << e.what();
    }
  }
}

struct ErrorCase {
  const char* name;
  std::string text;
  Properties properties;
  int32_t number;
  std::string message;
};

TEST_F(DirectoryTest, QueriesThatCannotRunRaiseTheDirectorysError) {
  const std::vector<ErrorCase> cases = {
      {"unknown host",
       "SELECT cn FROM 'GC://dc9.example.com' WHERE cn='x'",
       {},
       errors::kServerDown,
       "The server is not operational."},
      {"missing base",
       "SELECT cn FROM 'LDAP://mail1/CN=Nobody,DC=example,DC=com'",
       {},
       errors::kNoSuchObject,
       "There is no such object on the server"},
      {"syntax",
       "SELECT cn FROM 'GC://mail1' WHERE cn=x",
       {},
       errors::kBadQuery,
       "Query syntax error"},
      {"bad scope",
       "SELECT cn FROM 'GC://mail1'",
       {{"searchscope", 3}},
       errors::kInvalidArg,
       "searchscope"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectDown([&] { Run(c.text, c.properties); }, c.number, c.message);
  }
}

TEST_F(DirectoryTest, BindingByPath) {
  struct Case {
    const char* path;
    int32_t error;  // 0: binds
  };
  for (const Case& c : std::vector<Case>{
           {"LDAP://mail1.example.com/CN=Zoe Adams,CN=Users,DC=example,DC=com", 0},
           {"LDAP://CN=Zoe Adams,CN=Users,DC=example,DC=com", 0},
           {"LDAP://mail2.example.com/CN=Zoe Adams,CN=Users,DC=example,DC=com",
            errors::kServerDown},
           {"LDAP://mail1/CN=Nobody,CN=Users,DC=example,DC=com", errors::kNoSuchObject},
           {"ldap://mail1/CN=Zoe Adams,CN=Users,DC=example,DC=com", errors::kBadPathname},
       }) {
    SCOPED_TRACE(c.path);
    try {
      auto obj = BindObject(c.path);
      EXPECT_EQ(c.error, 0);
      EXPECT_EQ(obj->Path(), c.path);
      EXPECT_EQ(obj->Get("mail"), "zoe@example.com");
    } catch (const PlatformError& e) {
      EXPECT_EQ(e.number(), c.error) << e.what();
    }
  }
  auto zoe = BindObject("LDAP://mail1/CN=Zoe Adams,CN=Users,DC=example,DC=com");
  EXPECT_EQ(zoe->GetValues("proxyAddresses").size(), 2u);
  EXPECT_TRUE(zoe->GetValue("sn").IsNull());
  try {
    zoe->Get("sn");
    ADD_FAILURE() << "read an absent attribute";
  } catch (const PlatformError& e) {
    EXPECT_EQ(e.number(), errors::kPropertyNotFound);
  }
  EXPECT_EQ(BindObject("LDAP://mail1")->Get("dc"), "example");  // the domain's own entry
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
      {"unknown backend", [&](const auto&) { setBackend("x500"); }, errors::kServerDown, "x500"},
  };
  const std::string saved = testing::ReadFile(Ldif());
  const MachineInfo machine = Machine();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.damage(Ldif());
    test::ArmedFaults faults(c.faults);
    ExpectDown([] { BindObject("LDAP://RootDSE"); }, c.number, c.message);
    ExpectDown([&] { Run("SELECT cn FROM 'GC://mail1'"); }, c.number, c.message);
    ExpectDown([] { CreateExchangeServer()->Open("MAIL1"); }, c.number, c.message);
    testing::WriteFile(Ldif(), saved);
    WriteMachineInfo(root_.path(), machine);
  }
}

TEST_F(DirectoryTest, ChangesToTheFileAreSeenAtOnce) {
  auto zoe = BindObject("LDAP://mail1/CN=Zoe Adams,CN=Users,DC=example,DC=com");
  EXPECT_EQ(Cns("SELECT cn FROM 'GC://mail1' WHERE mail='new*'"), std::vector<std::string>{});
  std::string text = testing::ReadFile(Ldif());
  const std::string from = "mail: zoe@example.com\n";
  text.replace(text.find(from), from.size(), "mail: new.zoe@example.com\n");
  testing::WriteFile(Ldif(), text);
  EXPECT_EQ(zoe->Get("mail"), "zoe@example.com");  // the object keeps what it read
  zoe->Refresh();
  EXPECT_EQ(zoe->Get("mail"), "new.zoe@example.com");
  EXPECT_EQ(Cns("SELECT cn FROM 'GC://mail1' WHERE mail='new*'"),
            std::vector<std::string>{"Zoe Adams"});
  const std::string dn = "dn: CN=Zoe Adams,CN=Users,DC=example,DC=com\n";
  text.replace(text.find(dn), dn.size(), "dn: CN=Zoe Gone,CN=Users,DC=example,DC=com\n");
  testing::WriteFile(Ldif(), text);
  ExpectDown([&] { zoe->Refresh(); }, errors::kNoSuchObject, "no such object");
}

Entry NewPerson(const std::string& cn) {
  Entry e;
  e.dn = "CN=" + cn + ",CN=Users,DC=example,DC=com";
  e.Add("objectClass", "top");
  e.Add("objectClass", "contact");
  e.Add("cn", cn);
  e.Add("mail", cn + "@example.net");
  e.Add("objectCategory", "CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com");
  return e;
}

TEST_F(DirectoryTest, AddedEntriesAreAppendedAllOrNothing) {
  const std::string before = testing::ReadFile(Ldif());
  admin::AddEntries({NewPerson("new one"), NewPerson("new two")});
  EXPECT_EQ(Cns("SELECT cn FROM 'GC://mail1' WHERE mail='new*@example.net' ORDER BY cn"),
            (std::vector<std::string>{"new one", "new two"}));
  EXPECT_EQ(testing::ReadFile(Ldif()).substr(0, before.size()), before);  // comments and all kept

  const std::string after = testing::ReadFile(Ldif());
  Entry orphan = NewPerson("orphan");
  orphan.dn = "CN=orphan,OU=Nowhere,DC=example,DC=com";
  ExpectDown(
      [&] {
        admin::AddEntries({NewPerson("new three"), NewPerson("NEW ONE")});
      },
      errors::kAlreadyExists, "already exists");
  ExpectDown([&] { admin::AddEntries({orphan}); }, errors::kNoSuchObject, "OU=Nowhere");
  {
    test::ArmedFaults faults("directory.write");
    ExpectDown([&] { admin::AddEntries({NewPerson("y")}); }, errors::kFileWrite, "Cannot write");
  }
  EXPECT_EQ(testing::ReadFile(Ldif()), after);
}

}  // namespace
}  // namespace drossgate::platform::directory
