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
      {"values of one attribute gather, names compare without case",
       "dn: CN=a,DC=x\nobjectClass: top\ncn: a\nobjectclass: user\n",
       "CN=a,DC=x | objectClass=top;user | cn=a"},
      {"continuation lines", "dn: CN=a,\n DC=x\ndescription: one\n  two\n three\n",
       "CN=a,DC=x | description=one twothree"},
      {"base64 values", "dn:: Q049YSxEQz14\ncn:: SsO2cmc=\nsn::IGxlYWRpbmcgYmxhbms=\n",
       "CN=a,DC=x | cn=J\xC3\xB6rg | sn= leading blank"},
      {"binary values survive base64", "dn: CN=a,DC=x\nmsExchMailboxGUID:: AAECAw==\n",
       std::string("CN=a,DC=x | msExchMailboxGUID=\0\1\2\3", 34)},
      {"no colon", "dn: CN=a,DC=x\ncn a\n",
       "refused: test.ldif, line 2: expected \"attribute: value\""},
      {"bad base64", "dn: CN=a,DC=x\ncn:: ***\n",
       "refused: line 2: the base64 value of \"cn\" is malformed"},
      {"same name twice", "dn: CN=a,DC=x\ncn: a\n\n\ndn: cn=A, dc=X\ncn: b\n",
       "refused: line 5: the entry \"cn=A, dc=X\" is already defined at line 1"},
      {"NUL in text", std::string("dn: CN=a,DC=x\ncn: a\0b\n", 22),
       "refused: line 2: NUL character"},
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

// Names as values compare (member, objectCategory) and as paths and new entries spell them.
TEST(DirectoryNames, CompareWithoutCaseOrBlanksAndEscapeWhatTheyMust) {
  auto same = [](const char* a, const char* b) {
    return NormalizeDn(a).value_or("a") == NormalizeDn(b).value_or("b");
  };
  EXPECT_TRUE(same("CN=Zoe Adams,CN=Users,DC=example,DC=com",
                   "cn=zoe adams, cn=users, dc=EXAMPLE, dc=com"));
  EXPECT_TRUE(same("CN=a\\,b,DC=x", "cn=A\\2cB,dc=x"));
  EXPECT_FALSE(same("CN=a\\,b,DC=x", "CN=a,CN=b,DC=x"));
  for (const char* bad : {"CN", "CN=a,,DC=x", "CN=a\\"}) EXPECT_FALSE(NormalizeDn(bad)) << bad;
  EXPECT_EQ(EscapeRdnValue("#1, a+b "), "\\#1\\, a\\+b\\ ");
  EXPECT_EQ(ParseDirectoryPath("GC://mail1").value().PathOf("CN=a/b,DC=x"),
            "GC://mail1/CN=a\\/b,DC=x");
  EXPECT_EQ(ParseDirectoryPath("LDAP://dc1/CN=a\\/b,DC=x").value().dn, "CN=a/b,DC=x");
}

}  // namespace
}  // namespace drossgate::platform::directory
