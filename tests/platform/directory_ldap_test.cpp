// The directory on an LDAP server: the filter a query becomes, the server's errors as platform
// errors, and, against a private slapd holding the demo directory, the same rows as the LDIF
// file for the same query texts.
#include <gtest/gtest.h>
#include <ldap.h>  // result codes

#include <filesystem>
#include <tuple>
#include <variant>

#include <nlohmann/json.hpp>

#include "directory/directory.h"
#include "directory/ldap_backend.h"
#include "directory/ldap_filter.h"
#include "directory/query.h"
#include "directory_fixture.h"
#include "error.h"
#include "slapd_server.h"
#include "system/system.h"
#include "testsupport.h"

namespace drossgate::platform::directory {
namespace {

namespace fs = std::filesystem;
using test::kGc;
using test::kHome;
using test::kListProperties;
using test::Properties;
using test::Raised;

const std::string kSchemaNc = "CN=Schema,CN=Configuration,DC=example,DC=com";

// --- The filter --------------------------------------------------------------------------

std::vector<std::string> Categories(const std::string& shortName) {
  const std::string key = CategoryKey(shortName);
  if (key == "person") return {"CN=Person," + kSchemaNc};
  if (key == "publicfolder") return {"CN=Public-Folder," + kSchemaNc};
  if (key == "twice") return {"CN=Twice," + kSchemaNc, "CN=T-wice," + kSchemaNc};
  return {};
}

// Each condition and the filter it becomes.
const std::tuple<const char*, std::string, std::string> kFilterCases[] = {
    {"LoneStarIsPresence", "mail='*'", "(mail=*)"},
    {"PrefixWildcard", "mailNickName='SystemMailbox{*'", "(mailNickName=SystemMailbox{*)"},
    {"QuoteCannotEndTheValue", "cn='x'' OR cn=''*'", "(cn=x' OR cn='*)"},
    {"ParenthesesAreEscaped", "cn='x)(objectClass=*'", "(cn=x\\29\\28objectClass=*)"},
    {"BackslashIsEscaped", "displayName='Back\\slash'", "(displayName=Back\\5cslash)"},
    {"ControlAndNonAsciiBytesAreEscaped", "cn='J\xC3\xB6rg\tM'", "(cn=J\\c3\\b6rg\\09M)"},
    {"NulIsEscaped", std::string("cn='a\0b'", 8), "(cn=a\\00b)"},
    {"AndBindsTighterThanOr", "a='1' OR b='2' AND NOT c='3'", "(|(a=1)(&(b=2)(!(c=3))))"},
    {"ParenthesesFirst", "(a='1' or b='2') and not c='3'", "(&(|(a=1)(b=2))(!(c=3)))"},
    {"KeywordsInsideAValue", "cn='x AND y OR z'", "(cn=x AND y OR z)"},
    {"ShortCategoryBecomesItsDn", "objectcategory='person'",
     "(objectcategory=CN=Person," + kSchemaNc + ")"},
    {"ClassNamedByItsCategory", "objectCategory='user'",
     "(objectCategory=CN=Person," + kSchemaNc + ")"},
    {"CategoryWithTwoEntries", "objectCategory='twice'",
     "(|(objectCategory=CN=Twice," + kSchemaNc + ")(objectCategory=CN=T-wice," + kSchemaNc + "))"},
    {"UnknownCategoryMatchesNothing", "objectCategory='nosuch'", "(!(objectClass=*))"},
    {"UnreadableNameMatchesNothing", "bad_name='x'", "(!(objectClass=*))"},
};

TEST(LdapFilter, Translates) {
  for (const auto& [name, where, filter] : kFilterCases) {
    Query q = ParseQuery("SELECT cn FROM 'GC://h' WHERE " + where);
    EXPECT_EQ(LdapFilter(*q.where, Categories), filter) << name;
  }
}

TEST(LdapFilter, ShortCategoriesGoAsWrittenToAServerThatResolvesThem) {
  Query q = ParseQuery("SELECT cn FROM 'GC://h' WHERE objectCategory='person' AND cn='a'");
  EXPECT_EQ(LdapFilter(*q.where), "(&(objectCategory=person)(cn=a))");
  EXPECT_EQ(ShortCategoryNames(*q.where), std::vector<std::string>{"person"});
}

struct ErrorCase {
  const char* name;
  int code;
  bool bind;
  const char* subject;
  int32_t number;
  const char* description;
};

// Results the live tests below cannot provoke from slapd; a stopped server, refused
// credentials and missing objects are met there.
const ErrorCase kErrorCases[] = {
    {"BindRefusedOtherwise", LDAP_UNWILLING_TO_PERFORM, true, "", errors::kLogonFailure,
     "The user name or password is incorrect. (ldap://h:1: Server is unwilling to perform; diag)"},
    {"ServerTimeLimit", LDAP_TIMELIMIT_EXCEEDED, false, "CN=x", errors::kTimeLimit,
     "The time limit for this request was exceeded. (ldap://h:1: Time limit exceeded; diag)"},
    {"OtherRefusal", LDAP_UNWILLING_TO_PERFORM, false, "", errors::kBadQuery,
     "The directory server refused the request. (ldap://h:1: Server is unwilling to perform; "
     "diag)"},
};

TEST(LdapError, Maps) {
  for (const ErrorCase& c : kErrorCases) {
    SCOPED_TRACE(c.name);
    PlatformError e = LdapError(c.code, "diag", "ldap://h:1", c.subject, errors::kBadQuery, c.bind);
    EXPECT_EQ(e.number(), c.number);
    EXPECT_EQ(e.description(), c.description);
  }
}

// --- Against a directory server ------------------------------------------------------------

// A copy of a platform root without its directory file, so that only the server can answer.
void CopyRootWithout(const fs::path& from, const fs::path& to, const nlohmann::json& directory) {
  fs::copy(from, to, fs::copy_options::recursive);
  fs::remove(to / "directory.ldif");
  nlohmann::json m = nlohmann::json::parse(testing::ReadFile(to / "machine.json"));
  m["directory"] = directory;
  testing::WriteFile(to / "machine.json", m.dump(2));
}

// The demo platform twice: once with its directory.ldif, once with the same entries in slapd;
// and a third root that reads the server anonymously, within its size limit.
struct Environment {
  testing::TempDir dir;
  testing::SlapdServer server{testing::SlapdServer::Options{.sizeLimit = 4}};
  fs::path ldifRoot = dir.path() / "ldif";
  fs::path ldapRoot = dir.path() / "ldap";
  fs::path anonymousRoot = dir.path() / "anonymous";
  std::string skip;   // slapd cannot run here: only the file is tested
  std::string error;  // everything else that went wrong

  Environment() {
    error = test::MakeDemoRoot(ldifRoot);
    if (!error.empty()) return;
    SetPlatformRoot(ldifRoot);
    // Values that mean something in a query or a filter: both backends hold them, and queries
    // must match them as text.
    admin::AddEntries({test::Contact("O'Brien (Sales)", "obrien", "O'Brien (Sales)"),
                       test::Contact("Star*Name", "star", "Back\\slash"),
                       test::Contact("J\xC3\xB6rg M\xC3\xBCller", "joerg")});
    SetPlatformRoot("");
    if (!server.Available()) {
      skip = "no directory server for the LDAP tests: " + server.Why();
    } else if (!server.Load(ldifRoot / "directory.ldif")) {
      error = server.Why();
    } else {
      CopyRootWithout(ldifRoot, ldapRoot,
                      {{"ldap", server.Url()},
                       {"gc", server.Url()},
                       {"bind_dn", server.options().rootDn},
                       {"password_file", "directory.password"}});
      testing::WriteFile(ldapRoot / "directory.password", server.options().rootPassword + "\n");
      CopyRootWithout(ldifRoot, anonymousRoot, {{"ldap", server.Url()}});
    }
  }
};

class LdapDirectory : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { env_ = new Environment(); }
  static void TearDownTestSuite() {
    delete env_;
    env_ = nullptr;
  }
  void SetUp() override {
    if (!env_->error.empty()) FAIL() << env_->error;
    if (!env_->skip.empty()) GTEST_SKIP() << env_->skip;
  }
  void TearDown() override { SetPlatformRoot(""); }

  // The rows as text, one line each, every field in SELECT order; a failure as its number.
  static std::vector<std::string> Rows(const fs::path& root, const std::string& text,
                                       const Properties& properties = {}) {
    std::vector<std::string> out;
    SetPlatformRoot(root);
    PlatformError e = Raised([&] {
      auto rs = test::Execute(text, properties);
      for (; !rs->IsEof(); rs->MoveNext()) {
        std::string line;
        for (const std::string& f : rs->FieldNames()) {
          line += f + "=";
          for (const std::string& v : rs->Field(f).Values()) line += v + "|";
          line += "; ";
        }
        out.push_back(line);
      }
    });
    if (e.number()) out.push_back("error " + std::to_string(e.number()));
    return out;
  }

  static Environment* env_;
};

Environment* LdapDirectory::env_ = nullptr;

const Properties kLookupProperties = {
    {"searchscope", 2}, {"cache results", false}, {"Chase Referrals", 96}};

// "SELECT fields FROM 'GC://mail1.example.com'" and the rest of the text.
std::string Gc(const std::string& fields, const std::string& rest) {
  return "SELECT " + fields + " FROM '" + kGc + "'" + rest;
}

struct QueryCase {
  const char* name;
  std::string text;
  Properties properties;
  // What the LDIF file gives: its number of rows, or where order or content is the point, the
  // first field of every row; so that no case compares two empty answers by chance.
  std::variant<int, std::string> file;
};

const QueryCase kQueryCases[] = {
    // The texts the setup tool and the sink send, word for word.
    {"HomeServerLookup",
     Gc("msExchHomeServerName",
        " WHERE objectcategory='person' AND MsExchMailboxGuid='*' And "
        "mailNickName='SystemMailbox{*' ORDER BY cn"),
     {{"Timeout", 120}},
     1},
    {"MailboxList",
     Gc("adspath, cn, msExchHomeServerName,mailNickName,mail,homeMDB,userAccountControl,"
        "msExchMailboxGUID",
        " WHERE objectcategory='person' AND MsExchMailboxGuid='*' And msExchHomeServerName='" +
            kHome + "' ORDER BY cn"),
     kListProperties,
     "GC://mail1.example.com/CN=Ada Lindqvist,CN=Users,DC=example,DC=com|"
     "GC://mail1.example.com/CN=Bruno Keller,CN=Users,DC=example,DC=com|"
     "GC://mail1.example.com/CN=Carla Diaz,CN=Users,DC=example,DC=com|"
     "GC://mail1.example.com/CN=Dmitri Orlov,CN=Users,DC=example,DC=com|"
     "GC://mail1.example.com/CN=Spam Desk,CN=Users,DC=example,DC=com|"
     "GC://mail1.example.com/CN=SystemMailbox{guid},CN=Microsoft Exchange System "
     "Objects,DC=example,DC=com"},
    {"IdentityLookup",
     Gc("sAMAccountName, cn, objectCategory",
        " WHERE objectcategory='person' AND sAMAccountName='administrator'"),
     kLookupProperties, 1},
    {"SinkHomeServerLookup",
     "SELECT msExchHomeServerName FROM 'LDAP://mail1.example.com' WHERE "
     "objectcategory='person' AND sAMAccountName='ada'",
     kLookupProperties, 1},
    {"RecipientPicker",
     Gc("name, adspath, cn, homeMDB, homeMTA, mail,  mailNickName, distinguishedName, "
        "sAMAccountType,mAPIRecipient,userAccountControl",
        " WHERE mail='*' AND ((objectcategory='publicFolder') OR (objectcategory='group') OR "
        "(objectcategory='person' AND (objectclass='user' OR objectclass='contact')))   ORDER BY "
        "cn"),
     kListProperties, 11},
    // Values that mean something in a filter.
    {"QuoteAndParenthesesMatchLiterally", Gc("cn, mail", " WHERE cn='O''Brien (Sales)'"), {}, 1},
    {"QuoteCannotEndTheValue", Gc("cn", " WHERE cn='x'' OR cn=''*'"), {}, 0},
    {"ParenthesisCannotCloseTheFilter", Gc("cn", " WHERE cn='*)(objectClass=*'"), {}, 0},
    {"BackslashMatchesLiterally", Gc("cn", " WHERE displayName='Back\\slash'"), {}, 1},
    {"StarInTheDataMeetsAWildcard", Gc("cn", " WHERE cn='Star*Na*'"), {}, 1},
    {"LettersOutsideAscii",
     Gc("cn, distinguishedName", " WHERE cn='J\xC3\xB6rg M\xC3\xBCller'"),
     {},
     1},
    // The limit the lists set, applied after sorting.
    {"SizeLimitAfterSorting",
     Gc("cn", " WHERE objectCategory='person' ORDER BY cn"),
     {{"Size Limit", 3}},
     "Ada Lindqvist|administrator|Bruno Keller"},
    // A search below an object that is not there.
    {"MissingBaseIsAnError", "SELECT cn FROM '" + kGc + "/CN=Nobody,DC=example,DC=com'", {}, 1},
};

void PrintTo(const QueryCase& c, std::ostream* os) {
  *os << c.name;
}

// The file's rows are checked with or without a server to compare them with.
class LdapSameRows : public LdapDirectory, public ::testing::WithParamInterface<QueryCase> {
  void SetUp() override {
    if (!env_->error.empty()) FAIL() << env_->error;
  }
};

TEST_P(LdapSameRows, AsTheLdifFile) {
  const QueryCase& c = GetParam();
  std::vector<std::string> fromFile = Rows(env_->ldifRoot, c.text, c.properties);
  if (const int* rows = std::get_if<int>(&c.file)) {
    EXPECT_EQ(fromFile.size(), size_t(*rows)) << ::testing::PrintToString(fromFile);
  } else {
    EXPECT_EQ(test::Column(c.text, c.properties), std::get<std::string>(c.file));
  }
  if (!env_->skip.empty()) GTEST_SKIP() << env_->skip;
  EXPECT_EQ(Rows(env_->ldapRoot, c.text, c.properties), fromFile);
}

INSTANTIATE_TEST_SUITE_P(Queries, LdapSameRows, ::testing::ValuesIn(kQueryCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LdapDirectory, ImportAddsToTheServerAllOrNothing) {
  auto contact = [](const std::string& cn) { return test::Contact(cn, "team"); };
  // Both directories get the same, so that the other tests' rows stay equal.
  for (const fs::path& root : {env_->ldifRoot, env_->ldapRoot}) {
    SetPlatformRoot(root);
    admin::AddEntries({contact("Tea (Room) O'Clock")});
  }
  const std::string text = Gc("cn, mail", " WHERE cn='Tea (Room) O''Clock'");
  EXPECT_EQ(Rows(env_->ldapRoot, text).size(), 1u);
  EXPECT_EQ(Rows(env_->ldapRoot, text), Rows(env_->ldifRoot, text));

  SetPlatformRoot(env_->ldapRoot);
  EXPECT_EQ(Raised([&] {
              admin::AddEntries({contact("Fresh"), contact("Tea (Room) O'Clock")});
            }).number(),
            errors::kAlreadyExists);
  EXPECT_TRUE(Rows(env_->ldapRoot, Gc("cn", " WHERE cn='Fresh'")).empty());
  Entry orphan = contact("Orphan");
  orphan.dn = "CN=Orphan,CN=Nowhere,DC=example,DC=com";
  EXPECT_EQ(Raised([&] { admin::AddEntries({orphan}); }).number(), errors::kNoSuchObject);
}

// The setup program's start-up and mailbox lists, as a person would run it on each directory.
TEST_F(LdapDirectory, SetupProgramListsTheSameMailboxes) {
  auto list = [&](const fs::path& root) {
    return testing::RunProcess(
        {(testing::BinaryDir() / "setup" / "DrossgateSetup").string(), "--list", "--json"},
        {{"DROSSGATE_PLATFORM", root.string()},
         {"QT_QPA_PLATFORM", "offscreen"},
         {"XDG_RUNTIME_DIR", env_->dir.path().string()}});
  };
  const testing::ProcessResult file = list(env_->ldifRoot);
  const testing::ProcessResult server = list(env_->ldapRoot);
  ASSERT_NE(file.out.find("MbxInstList"), std::string::npos) << file.err;
  EXPECT_NE(file.out.find("ada.lindqvist@"), std::string::npos) << file.out;
  EXPECT_EQ(server.exitCode, file.exitCode) << server.err;
  EXPECT_EQ(server.out, file.out);
}

TEST_F(LdapDirectory, PagesGetPastTheServersSizeLimit) {
  const std::string text = Gc("cn", " WHERE objectClass='*'");
  const size_t all = Rows(env_->ldifRoot, text).size();
  // The server gives an anonymous search 4 entries; more come only page by page.
  EXPECT_EQ(Rows(env_->anonymousRoot, text).size(), 4u);
  EXPECT_EQ(Rows(env_->anonymousRoot, text, {{"Page Size", 3}}), Rows(env_->ldifRoot, text));
  EXPECT_GT(all, 12u);
  EXPECT_EQ(Rows(env_->anonymousRoot, text, {{"Page Size", 3}, {"Size Limit", 7}}).size(), 7u);
}

TEST_F(LdapDirectory, RefusedCredentialsSayWhy) {
  const fs::path root = env_->dir.path() / "wrong-password";
  CopyRootWithout(env_->ldifRoot, root,
                  {{"ldap", env_->server.Url()},
                   {"bind_dn", env_->server.options().rootDn},
                   {"password_file", (env_->dir.path() / "wrong.password").string()}});
  testing::WriteFile(env_->dir.path() / "wrong.password", "not-the-password");
  SetPlatformRoot(root);
  test::ExpectError([] { BindObject("LDAP://RootDSE"); }, errors::kLogonFailure,
                    "Invalid credentials");
  fs::remove(env_->dir.path() / "wrong.password");
  test::ExpectError([] { BindObject("GC://RootDSE"); }, errors::kLogonFailure,
                    "wrong.password cannot be read");
}

TEST_F(LdapDirectory, PasswordsAreCheckedByABindAsTheEntry) {
  SetPlatformRoot(env_->ldapRoot);
  auto backend = LdapBackendFor(Machine().directory, env_->ldapRoot);
  const std::string manager = env_->server.options().rootDn;
  const std::string ada = "CN=Ada Lindqvist,CN=Users,DC=example,DC=com";
  struct Case {
    const char* name;
    std::string dn, password;
    bool taken;
  } cases[] = {
      {"right password", manager, env_->server.options().rootPassword, true},
      {"wrong password", manager, "guess", false},
      {"empty password, which the server would take as anonymous", ada, "", false},
      {"entry without a password", ada, "guess", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(backend->CheckPassword(c.dn, c.password), c.taken) << c.name;
}

// A server of its own, stopped, then one that hangs: clear errors, never an endless wait.
TEST_F(LdapDirectory, StoppedServerIsAClearErrorAndAnUnansweredSearchRunsOutOfTime) {
  testing::SlapdServer stopped, paused;
  ASSERT_TRUE(stopped.Available() && paused.Available()) << stopped.Why() << paused.Why();
  const fs::path root = env_->dir.path() / "stopped", hung = env_->dir.path() / "paused";
  CopyRootWithout(env_->ldifRoot, root, {{"ldap", stopped.Url()}, {"gc", stopped.Url()}});
  CopyRootWithout(env_->ldifRoot, hung, {{"ldap", paused.Url()}});
  const std::string text = Gc("cn", " WHERE cn='*'");
  for (const fs::path& r : {root, hung}) {
    SetPlatformRoot(r);
    EXPECT_EQ(BindObject("GC://RootDSE")->Get("dnsHostName"), "127.0.0.1");  // connected, bound
  }
  stopped.Stop();
  SetPlatformRoot(root);
  PlatformError e = Raised([] { BindObject("GC://RootDSE"); });
  EXPECT_EQ(e.number(), errors::kServerDown);
  EXPECT_EQ(e.description(),
            "The server is not operational. (" + stopped.Url() + ": Can't contact LDAP server)");
  EXPECT_EQ(Raised([&] { test::Execute(text); }).number(), errors::kServerDown);

  paused.Pause();
  SetPlatformRoot(hung);
  e = Raised([&] { test::Execute(text, {{"Timeout", 1}}); });
  paused.Resume();
  EXPECT_EQ(e.number(), errors::kTimeLimit);
  EXPECT_EQ(e.description(),
            "The time limit for this request was exceeded. (" + paused.Url() + ": Timed out)");
  // The connection that timed out is given up; the next request gets a fresh one.
  SetPlatformRoot(hung);
  EXPECT_EQ(BindObject("GC://RootDSE")->Get("dnsHostName"), "127.0.0.1");
}

TEST(LdapSettings, AnUnusableSettingSaysWhy) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"ldap": 389})", "\"directory\".\"ldap\" is not a text"},
      {R"({"gc": "mail1:3268"})", "mail1:3268 is not an LDAP URL"},
      {R"({"ldap": ""})", "names no server"},
  };
  for (const auto& [directory, why] : cases) {
    testing::TempDir dir;
    testing::WriteFile(dir.path() / "machine.json",
                       std::string(R"({"computer": "MAIL1", "domain": "example.com", )") +
                           R"("user": "u", "directory": )" + directory + "}");
    SetPlatformRoot(dir.path());
    test::ExpectError([] { BindObject("LDAP://RootDSE"); }, errors::kServerDown, why);
  }
  SetPlatformRoot("");
}

}  // namespace
}  // namespace drossgate::platform::directory
