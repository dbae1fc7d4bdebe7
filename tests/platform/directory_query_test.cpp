// The query dialect: which texts are refused and why, and how filters match entries. What a
// text parses to is shown once, by the LDAP filter table and the queries run on both backends.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "directory/dn.h"
#include "directory/query.h"
#include "error.h"

namespace drossgate::platform::directory {
namespace {

TEST(DirectoryQueryParse, RefusedTextsSayWhereAndWhy) {
  const std::string base = "SELECT cn FROM 'GC://h'";
  // Each text with a part of the error's description.
  const std::tuple<const char*, std::string, std::string> cases[] = {
      {"empty", "", "character 1: expected SELECT, found the end of the query"},
      {"no FROM", "SELECT cn", "expected FROM, found the end"},
      {"unquoted base", "SELECT cn FROM GC", "expected the quoted search base"},
      {"other provider", "SELECT cn FROM 'WinNT://h'", "is not usable"},
      {"RootDSE", "SELECT cn FROM 'GC://RootDSE'", "RootDSE cannot be searched"},
      {"unclosed value", base + " WHERE cn='x", "character 34: a quoted value is not closed"},
      {"unquoted value", base + " WHERE cn=x", "expected a value in single quotes, found \"x\""},
      {"less than", base + " WHERE cn<'x'", "conditions compare with = only"},
      {"unclosed parenthesis", base + " WHERE (cn='x'", "expected AND, OR or ), found the end"},
      {"control character", base + " WHERE cn='x' \x01", "unexpected character \\x01"},
      {"deep parentheses", base + " WHERE " + std::string(5000, '('), "nested too deeply"},
  };
  for (const auto& [name, text, message] : cases) {
    try {
      ParseQuery(text);
      ADD_FAILURE() << name << ": parsed";
    } catch (const PlatformError& e) {
      EXPECT_EQ(e.number(), errors::kBadQuery) << name;
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << name << ": " << e.what();
    }
  }
}

Entry Person() {
  Entry e;
  e.dn = "CN=Zoe Adams,CN=Users,DC=example,DC=com";
  for (const char* c : {"top", "person", "organizationalPerson", "user"}) e.Add("objectClass", c);
  e.Add("cn", "Zoe Adams");
  e.Add("mail", "zoe@example.com");
  e.Add("mailNickName", "zoe");
  e.Add("userAccountControl", "514");
  e.Add("objectCategory", "CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com");
  return e;
}

Entry Folder() {
  Entry e;
  e.dn = "CN=Shared Reports,CN=Microsoft Exchange System Objects,DC=example,DC=com";
  e.Add("objectClass", "publicFolder");
  e.Add("mail", "reports@example.com");
  e.Add("objectCategory", "CN=Public-Folder,CN=Schema,CN=Configuration,DC=example,DC=com");
  return e;
}

TEST(DirectoryFilter, MatchesAsTheDirectoryDoes) {
  // Each condition, and whether the person and the folder match it.
  const std::tuple<const char*, bool, bool> cases[] = {
      {"cn='zoe adams'", true, false},
      {"mail='*'", true, true},
      {"sn='*'", false, false},
      {"objectClass='USER'", true, false},       // any value of a multi-valued attribute
      {"objectCategory='person'", true, false},  // short name of the category
      {"objectCategory='user'", true, false},    // a class whose default category is person
      {"objectCategory='publicFolder'", false, true},
      {"objectCategory='CN=Person*'", true, false},
      {"mail='*@EXAMPLE.COM'", true, true},   // stars match any run, without regard to case
      {"mail='*@example.co'", false, false},  // and the rest matches to the end
      {"mailNickName='z*e*'", true, false},
      {"objectCategory='cn=person, cn=schema, cn=configuration, dc=example, dc=com'", true, false},
      {"distinguishedName='cn=zoe adams,cn=users,dc=example,dc=com'", true, false},
      {"name='Shared Reports'", false, true},  // the RDN's value when not stored
      {"userAccountControl='514'", true, false},
      {"objectCategory='group' OR mail='reports@*'", false, true},
      {"mail='*' AND (objectCategory='publicFolder' OR cn='Zoe*')", true, true},
  };
  const Entry person = Person(), folder = Folder();
  for (const auto& [where, matchesPerson, matchesFolder] : cases) {
    Query q = ParseQuery(std::string("SELECT cn FROM 'GC://h' WHERE ") + where);
    EXPECT_EQ(Matches(*q.where, person), matchesPerson) << where;
    EXPECT_EQ(Matches(*q.where, folder), matchesFolder) << where;
  }
}

}  // namespace
}  // namespace drossgate::platform::directory
