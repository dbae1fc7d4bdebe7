// The query dialect: how filters match entries. What a text parses to is shown once, by the
// LDAP filter table and the queries run on both backends; what it refuses, by the directory's.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "directory/dn.h"
#include "directory/query.h"

namespace drossgate::platform::directory {
namespace {

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
      {"objectClass='USER'", true, false},       // any value of a multi-valued attribute
      {"objectCategory='person'", true, false},  // short name of the category
      {"objectCategory='user'", true, false},    // a class whose default category is person
      {"objectCategory='publicFolder'", false, true},
      {"mail='*@EXAMPLE.COM'", true, true},   // stars match any run, without regard to case
      {"mail='*@example.co'", false, false},  // and the rest matches to the end
      {"objectCategory='cn=person, cn=schema, cn=configuration, dc=example, dc=com'", true, false},
      {"distinguishedName='cn=zoe adams,cn=users,dc=example,dc=com'", true, false},
      {"name='Shared Reports'", false, true},  // the RDN's value when not stored
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
