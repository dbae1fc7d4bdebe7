// LDIF reading and writing, distinguished names and directory paths.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "directory/directory.h"
#include "directory/dn.h"
#include "error.h"

namespace drossgate::platform::directory {
namespace {

// "dn | name=value;value | name=value ..." per entry, entries joined by " || ".
std::string Describe(const std::vector<Entry>& entries) {
  std::string out;
  for (const Entry& e : entries) {
    if (!out.empty()) out += " || ";
    out += e.dn;
    for (const Attribute& a : e.attributes) {
      out += " | " + a.name + "=";
      for (size_t i = 0; i < a.values.size(); ++i) out += (i ? ";" : "") + a.values[i];
    }
  }
  return out;
}

// A file's entries as Describe() shows them; a refused one as "refused: " and the error's text,
// which names the file and the line.
TEST(DirectoryLdif, ReadsContentRecordsAndNamesTheLineOfAMalformedOne) {
  // Each text and what it reads as; for a refused file, a part of the error's text.
  const std::tuple<const char*, std::string, std::string> cases[] = {
      {"one entry", "dn: CN=a,DC=x\ncn: a\n", "CN=a,DC=x | cn=a"},
      {"values of one attribute gather, names compare without case",
       "dn: CN=a,DC=x\nobjectClass: top\ncn: a\nobjectclass: user\n",
       "CN=a,DC=x | objectClass=top;user | cn=a"},
      {"two entries", "dn: CN=a,DC=x\ncn: a\n\ndn: CN=b,DC=x\ncn: b",
       "CN=a,DC=x | cn=a || CN=b,DC=x | cn=b"},
      {"comments anywhere, folded ones too",
       "# head\n#  more\ndn: CN=a,DC=x\n# inside\n  still the comment\ncn: a\n# tail\n",
       "CN=a,DC=x | cn=a"},
      {"continuation lines", "dn: CN=a,\n DC=x\ndescription: one\n  two\n three\n",
       "CN=a,DC=x | description=one twothree"},
      {"base64 values", "dn:: Q049YSxEQz14\ncn:: SsO2cmc=\nsn::IGxlYWRpbmcgYmxhbms=\n",
       "CN=a,DC=x | cn=J\xC3\xB6rg | sn= leading blank"},
      {"blanks after the colon are not part of the value, trailing ones are",
       "dn: CN=a,DC=x\ncn:    a b \n", "CN=a,DC=x | cn=a b "},
      {"attribute options and OIDs", "dn: CN=a,DC=x\ncn;lang-de: a\n2.5.4.3: b\n",
       "CN=a,DC=x | cn;lang-de=a | 2.5.4.3=b"},
      {"binary values survive base64", "dn: CN=a,DC=x\nmsExchMailboxGUID:: AAECAw==\n",
       std::string("CN=a,DC=x | msExchMailboxGUID=\0\1\2\3", 34)},
      {"empty", "", ""},
      {"no colon", "dn: CN=a,DC=x\ncn a\n",
       "refused: test.ldif, line 2: expected \"attribute: value\""},
      {"bad base64", "dn: CN=a,DC=x\ncn:: ***\n",
       "refused: line 2: the base64 value of \"cn\" is malformed"},
      {"same name twice", "dn: CN=a,DC=x\ncn: a\n\n\ndn: cn=A, dc=X\ncn: b\n",
       "refused: line 5: the entry \"cn=A, dc=X\" is already defined at line 1"},
      {"changetype modify", "dn: CN=a,DC=x\nchangetype: modify\nreplace: cn\n",
       "refused: line 2: only entries to add are supported"},
      {"bad attribute name", "dn: CN=a,DC=x\ncommon name: a\n",
       "refused: line 2: \"common name\" is not an attribute name"},
      {"version 2", "version: 2\n\ndn: CN=a,DC=x\ncn: a\n",
       "refused: line 1: unsupported LDIF version \"2\""},
      {"NUL in text", std::string("dn: CN=a,DC=x\ncn: a\0b\n", 22),
       "refused: line 2: NUL character"},
      {"entry without attributes", "dn: CN=a,DC=x\n\ndn: CN=b,DC=x\ncn: b\n",
       "refused: line 1: the entry \"CN=a,DC=x\" has no attributes"},
      {"line numbers count folded lines", "dn: CN=a,DC=x\ncn: a\n b\n c\nbad\n",
       "refused: line 5:"},
  };
  for (const auto& [name, ldif, expected] : cases) {
    std::string got;
    try {
      got = Describe(admin::ParseLdif(ldif, "test.ldif"));
    } catch (const PlatformError& e) {
      got = std::string(e.number() == errors::kCorrupt ? "refused: " : "error: ") + e.what();
    }
    const bool refused = expected.starts_with("refused: ");
    EXPECT_EQ(refused ? got.substr(0, 9) : got, refused ? "refused: " : expected) << name;
    EXPECT_NE(got.find(expected.substr(refused ? 9 : 0)), got.npos) << name << ": " << got;
  }
}

TEST(DirectoryLdif, WrittenEntriesReadBackUnchanged) {
  Entry e;
  e.dn = "CN=J\xC3\xB6rg M\xC3\xBCller,CN=Users,DC=example,DC=com";
  for (const char* v : {"plain", " leading blank", "trailing blank ", ":colon first",
                        "<angle first", "two\nlines", "J\xC3\xB6rg", "a: b"})
    e.Add("description", v);
  e.Add("cn", "plain");
  const std::string text = admin::FormatLdif({e, e});
  EXPECT_NE(text.find("cn: plain\n"), std::string::npos);  // safe text stays readable
  EXPECT_EQ(text.find("two\nlines"), std::string::npos);
  e.dn = "CN=other,DC=x";
  auto back = admin::ParseLdif(admin::FormatLdif({e}));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(Describe(back), Describe({e}));
}

// Pairs of names that are or are not the same; refused names compare as "refused".
TEST(DirectoryNames, ComparisonFormIgnoresCaseBlanksAndEscapeSpelling) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"CN=Zoe Adams,CN=Users,DC=example,DC=com", "cn=zoe adams, cn=users, dc=EXAMPLE, dc=com",
       true},
      {"CN=a\\,b,DC=x", "cn=A\\2cB,dc=x", true},
      {"CN=a\\,b,DC=x", "CN=a,CN=b,DC=x", false},
      {"CN=x ,DC=y", "CN=x,DC=y", true},
  };
  for (const auto& [a, b, same] : cases)
    EXPECT_EQ(NormalizeDn(a).value_or("a") == NormalizeDn(b).value_or("b"), same)
        << a << " vs " << b;
  for (const char* bad : {"CN", "=x", "CN=a,", "CN=a,,DC=x", "CN=a\\", "C N=a"})
    EXPECT_FALSE(NormalizeDn(bad)) << bad;
  EXPECT_EQ(FirstRdnValue("CN=Smith\\, John,CN=Users,DC=x"), "Smith, John");
  EXPECT_EQ(ParentDn("CN=Smith\\, John,CN=Users,DC=x"), "CN=Users,DC=x");
  EXPECT_EQ(EscapeRdnValue("#1, a+b "), "\\#1\\, a\\+b\\ ");
  EXPECT_EQ(DomainToDn("corp.example.com"), "DC=corp,DC=example,DC=com");
}

// Each path as "PREFIX[host]DN" or "PREFIX[host]RootDSE"; empty when refused.
TEST(DirectoryNames, PathsSplitIntoProviderHostAndObject) {
  const std::pair<const char*, std::string> cases[] = {
      {"LDAP://RootDSE", "LDAP://[]RootDSE"},
      {"LDAP://mail1.example.com/RootDSE", "LDAP://[mail1.example.com]RootDSE"},
      {"LDAP://mail1:389/CN=Users,DC=example,DC=com", "LDAP://[mail1]CN=Users,DC=example,DC=com"},
      {"LDAP://CN=Users,DC=example,DC=com", "LDAP://[]CN=Users,DC=example,DC=com"},
      {"LDAP://dc1/CN=a\\/b,DC=x", "LDAP://[dc1]CN=a/b,DC=x"},
      {"ldap://RootDSE", ""},
      {"LDAP://h:port/DC=x", ""},
  };
  for (const auto& [path, expected] : cases) {
    auto p = ParseDirectoryPath(path);
    EXPECT_EQ(p ? p->Prefix() + "[" + p->host + "]" + (p->rootDse ? "RootDSE" : p->dn) : "",
              expected)
        << path;
  }
  DirectoryPath gc = *ParseDirectoryPath("GC://mail1");
  EXPECT_EQ(gc.PathOf("CN=a/b,DC=x"), "GC://mail1/CN=a\\/b,DC=x");
}

}  // namespace
}  // namespace drossgate::platform::directory
