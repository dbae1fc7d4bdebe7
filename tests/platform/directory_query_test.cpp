// The query dialect: what each text parses to (shown as select list, search base, LDAP filter
// form and sort keys), which texts are refused and why, and how filters match entries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "directory/dn.h"
#include "directory/query.h"
#include "error.h"

namespace drossgate::platform::directory {
namespace {

std::string Describe(const Query& q) {
  std::string out;
  if (q.allAttributes) out = "*";
  for (const std::string& a : q.attributes) out += (out.empty() ? "" : ",") + a;
  out += " | " + q.source + " | " + (q.where ? FormatFilter(*q.where) : "-") + " |";
  for (const SortKey& k : q.orderBy) out += " " + k.attribute + (k.descending ? " DESC" : " ASC");
  return out;
}

struct ParseCase {
  const char* name;
  std::string text;
  std::string expected;
};

TEST(DirectoryQueryParse, AcceptedTextsGiveTheirTree) {
  const std::vector<ParseCase> cases = {
      {"minimal", "SELECT cn FROM 'GC://mail1'", "cn | GC://mail1 | - |"},
      {"star", "SELECT * FROM 'LDAP://mail1/DC=example,DC=com'",
       "* | LDAP://mail1/DC=example,DC=com | - |"},
      {"list spacing", "SELECT a,b , c  ,d FROM 'GC://h'", "a,b,c,d | GC://h | - |"},
      {"keywords in any case", "select cn from 'GC://h' where CN='x' order by cn desc",
       "cn | GC://h | (CN=x) | cn DESC"},
      {"doubled quote", "SELECT cn FROM 'GC://h' WHERE cn='O''Brien'",
       "cn | GC://h | (cn=O'Brien) |"},
      {"only a quote", "SELECT cn FROM 'GC://h' WHERE cn=''''", "cn | GC://h | (cn=') |"},
      {"empty value", "SELECT cn FROM 'GC://h' WHERE cn=''", "cn | GC://h | (cn=) |"},
      {"specials escaped in filter form", "SELECT cn FROM 'GC://h' WHERE cn='a (b) \\c'",
       "cn | GC://h | (cn=a \\28b\\29 \\5cc) |"},
      {"keyword inside a value", "SELECT cn FROM 'GC://h' WHERE cn='x AND y OR z'",
       "cn | GC://h | (cn=x AND y OR z) |"},
      {"quote in search base", "SELECT cn FROM 'LDAP://h/CN=O''Brien,DC=x'",
       "cn | LDAP://h/CN=O'Brien,DC=x | - |"},
      {"wildcards kept",
       "SELECT cn FROM 'GC://h' WHERE mail='*' AND mailNickName='SystemMailbox{*'",
       "cn | GC://h | (&(mail=*)(mailNickName=SystemMailbox{*)) |"},
      {"AND binds tighter than OR (right)",
       "SELECT cn FROM 'GC://h' WHERE a='1' OR b='2' AND c='3'",
       "cn | GC://h | (|(a=1)(&(b=2)(c=3))) |"},
      {"AND binds tighter than OR (left)", "SELECT cn FROM 'GC://h' WHERE a='1' AND b='2' OR c='3'",
       "cn | GC://h | (|(&(a=1)(b=2))(c=3)) |"},
      {"parentheses first", "SELECT cn FROM 'GC://h' WHERE (a='1' OR b='2') AND c='3'",
       "cn | GC://h | (&(|(a=1)(b=2))(c=3)) |"},
      {"chains flatten",
       "SELECT cn FROM 'GC://h' WHERE a='1' And b='2' AND c='3' or d='4' OR e='5'",
       "cn | GC://h | (|(&(a=1)(b=2)(c=3))(d=4)(e=5)) |"},
      {"NOT binds tightest", "SELECT cn FROM 'GC://h' WHERE NOT a='1' AND b='2'",
       "cn | GC://h | (&(!(a=1))(b=2)) |"},
      {"NOT of a group", "SELECT cn FROM 'GC://h' WHERE NOT (a='1' OR b='2')",
       "cn | GC://h | (!(|(a=1)(b=2))) |"},
      {"double NOT", "SELECT cn FROM 'GC://h' WHERE not not a='1'", "cn | GC://h | (!(!(a=1))) |"},
      {"redundant parentheses", "SELECT cn FROM 'GC://h' WHERE (((a='1')))",
       "cn | GC://h | (a=1) |"},
      {"several sort keys", "SELECT cn FROM 'GC://h' ORDER BY sn ASC, cn DESC, mail",
       "cn | GC://h | - | sn ASC cn DESC mail ASC"},
      {"line breaks and tabs", "SELECT\tcn,\r\nmail\nFROM 'GC://h'\nWHERE\tcn='x'\n",
       "cn,mail | GC://h | (cn=x) |"},
      {"home server query",
       "SELECT msExchHomeServerName FROM 'GC://mail1.example.com' WHERE objectcategory='person' "
       "AND "
       "MsExchMailboxGuid='*' And mailNickName='SystemMailbox{*' ORDER BY cn",
       "msExchHomeServerName | GC://mail1.example.com | "
       "(&(objectcategory=person)(MsExchMailboxGuid=*)(mailNickName=SystemMailbox{*)) | cn ASC"},
      {"recipient picker query",
       "SELECT name, adspath, cn, homeMDB, homeMTA, mail,  mailNickName, distinguishedName, "
       "sAMAccountType,mAPIRecipient,userAccountControl FROM 'GC://mail1.example.com' WHERE "
       "mail='*' "
       "AND ((objectcategory='publicFolder') OR (objectcategory='group') OR "
       "(objectcategory='person' AND "
       "(objectclass='user' OR objectclass='contact')))   ORDER BY cn",
       "name,adspath,cn,homeMDB,homeMTA,mail,mailNickName,distinguishedName,sAMAccountType,"
       "mAPIRecipient,userAccountControl | GC://mail1.example.com | "
       "(&(mail=*)(|(objectcategory=publicFolder)(objectcategory=group)(&(objectcategory=person)"
       "(|(objectclass=user)(objectclass=contact))))) | cn ASC"},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      EXPECT_EQ(Describe(ParseQuery(c.text)), c.expected);
    } catch (const PlatformError& e) {
      ADD_FAILURE() << e.what();
    }
  }
}

struct RefusedCase {
  const char* name;
  std::string text;
  std::string message;  // part of the error's description
};

TEST(DirectoryQueryParse, RefusedTextsSayWhereAndWhy) {
  const std::string base = "SELECT cn FROM 'GC://h'";
  const std::vector<RefusedCase> cases = {
      {"empty", "", "character 1: expected SELECT, found the end of the query"},
      {"no select list", "SELECT", "expected an attribute name or *"},
      {"no FROM", "SELECT cn", "expected FROM, found the end"},
      {"trailing comma", "SELECT cn, FROM 'GC://h'", "expected an attribute name, found \"FROM\""},
      {"keyword as attribute", "SELECT from FROM 'GC://h'",
       "expected an attribute name or *, found \"from\""},
      {"unquoted base", "SELECT cn FROM GC", "expected the quoted search base"},
      {"colon outside quotes", "SELECT cn FROM GC://h", "unexpected character ':'"},
      {"other provider", "SELECT cn FROM 'WinNT://h'", "is not usable"},
      {"provider in lower case", "SELECT cn FROM 'gc://h'", "is not usable"},
      {"RootDSE", "SELECT cn FROM 'GC://RootDSE'", "RootDSE cannot be searched"},
      {"bad base DN", "SELECT cn FROM 'LDAP://h/notadn,'", "is not usable"},
      {"WHERE without condition", base + " WHERE", "expected a condition"},
      {"unclosed value", base + " WHERE cn='x", "character 34: a quoted value is not closed"},
      {"unquoted value", base + " WHERE cn=x", "expected a value in single quotes, found \"x\""},
      {"double quotes", base + " WHERE cn=\"x\"", "values are written in single quotes"},
      {"less than", base + " WHERE cn<'x'", "conditions compare with = only"},
      {"not equal", base + " WHERE cn!='x'", "conditions compare with = only"},
      {"missing =", base + " WHERE cn 'x'", "expected =, found 'x'"},
      {"unclosed parenthesis", base + " WHERE (cn='x'", "expected AND, OR or ), found the end"},
      {"extra parenthesis", base + " WHERE cn='x')", "expected AND, OR, ORDER BY or the end"},
      {"dangling AND", base + " WHERE cn='x' AND", "character 41: expected a condition"},
      {"dangling NOT", base + " WHERE NOT", "expected a condition"},
      {"two conditions without operator", base + " WHERE cn='x' cn='y'",
       "expected AND, OR, ORDER BY or the end of the query, found \"cn\""},
      {"ORDER without BY", base + " ORDER cn", "expected BY"},
      {"ORDER BY nothing", base + " ORDER BY", "expected an attribute name to sort by"},
      {"text after sort key", base + " ORDER BY cn DESC extra",
       "expected ASC, DESC, a comma or the end"},
      {"text after base", base + " cn", "expected WHERE, ORDER BY or the end"},
      {"control character", base + " WHERE cn='x' \x01", "unexpected character \\x01"},
      {"deep parentheses", base + " WHERE " + std::string(5000, '('), "nested too deeply"},
      {"long NOT chain",
       base + " WHERE " +
           [] {
             std::string s;
             for (int i = 0; i < 5000; ++i) s += "NOT ";
             return s + "cn='x'";
           }(),
       "nested too deeply"},
  };
  for (const RefusedCase& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      Query q = ParseQuery(c.text);
      ADD_FAILURE() << "parsed: " << Describe(q);
    } catch (const PlatformError& e) {
      EXPECT_EQ(e.number(), errors::kBadQuery);
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

struct WildcardCase {
  const char* pattern;
  const char* text;
  bool matches;
};

TEST(DirectoryWildcard, StarsMatchAnyRunWithoutRegardToCase) {
  const std::vector<WildcardCase> cases = {
      {"SystemMailbox{*", "SystemMailbox{1234}", true},
      {"SystemMailbox{*", "systemmailbox{", true},
      {"SystemMailbox{*", "SystemMailbox", false},
      {"*@example.com", "ZOE@EXAMPLE.COM", true},
      {"*@example.com", "zoe@example.com.evil", false},
      {"S*Team", "Support Team", true},
      {"S*Team", "Support Teams", false},
      {"a*b*c", "aXbYbZc", true},
      {"a*b*c", "acb", false},
      {"**", "", true},
      {"*", "", true},
      {"", "", true},
      {"", "x", false},
      {"abc", "ABC", true},
  };
  for (const WildcardCase& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " ~ " + c.text);
    EXPECT_EQ(WildcardMatch(c.pattern, c.text), c.matches);
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

struct MatchCase {
  const char* where;
  bool person;
  bool folder;
};

TEST(DirectoryFilter, MatchesAsTheDirectoryDoes) {
  const std::vector<MatchCase> cases = {
      {"cn='zoe adams'", true, false},
      {"CN='Zoe Adams'", true, false},
      {"mail='*'", true, true},
      {"sn='*'", false, false},
      {"mailNickName='z*'", true, false},
      {"objectClass='USER'", true, false},  // any value of a multi-valued attribute
      {"objectClass='person' AND objectClass='top'", true, false},
      {"objectCategory='person'", true, false},  // short name of the category
      {"objectCategory='Person'", true, false},
      {"objectCategory='user'", true, false},  // a class whose default category is person
      {"objectCategory='contact'", true, false},
      {"objectCategory='publicFolder'", false, true},
      {"objectCategory='public-folder'", false, true},
      {"objectCategory='group'", false, false},
      {"objectCategory='pers*'", false, false},  // no short names with wildcards
      {"objectCategory='CN=Person*'", true, false},
      {"objectCategory='cn=person, cn=schema, cn=configuration, dc=example, dc=com'", true, false},
      {"distinguishedName='cn=zoe adams,cn=users,dc=example,dc=com'", true, false},
      {"name='Shared Reports'", false, true},  // the RDN's value when not stored
      {"userAccountControl='514'", true, false},
      {"NOT mailNickName='*'", false, true},
      {"NOT sn='x'", true, true},
      {"objectCategory='group' OR mail='reports@*'", false, true},
      {"mail='*' AND (objectCategory='publicFolder' OR cn='Zoe*')", true, true},
  };
  const Entry person = Person(), folder = Folder();
  for (const MatchCase& c : cases) {
    SCOPED_TRACE(c.where);
    Query q = ParseQuery(std::string("SELECT cn FROM 'GC://h' WHERE ") + c.where);
    EXPECT_EQ(Matches(*q.where, person), c.person);
    EXPECT_EQ(Matches(*q.where, folder), c.folder);
  }
}

}  // namespace
}  // namespace drossgate::platform::directory
