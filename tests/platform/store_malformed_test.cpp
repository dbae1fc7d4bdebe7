// Deliveries of broken messages: whatever the source, delivery succeeds, the store keeps it byte
// for byte, and what it read from it (subject, sender, header block, item name) stays usable.
#include <glob.h>

#include <cstdlib>
#include <filesystem>

#include "error.h"
#include "store_fixture.h"

namespace drossgate::platform::test {
namespace {

using namespace std::string_literals;
using store::Value;

const char* const kHeaders = "http://schemas.microsoft.com/mapi/proptag/0x007D001E";

bool ValidUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 9;
    if (n == 9 || i + n >= s.size()) return false;
    for (size_t k = 1; k <= n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n + 1;
  }
  return true;
}

class StoreMalformedTest : public StoreTest {
 protected:
  // Delivers source to alice and checks everything the store made of it.
  void DeliverAndCheck(const std::string& source) {
    store::admin::DeliveryResult r;
    ASSERT_NO_THROW(r = store::admin::Deliver("alice", source));
    EXPECT_EQ(store::admin::Source(r.deliveredUrl), source);

    auto rec = store::OpenRecord(r.deliveredUrl, nullptr, store::Mode::kRead);
    auto& f = rec->GetFields();
    const std::string subject = store::ValueText(f.Get("urn:schemas:httpmail:subject"));
    EXPECT_EQ(subject.find('\0'), std::string::npos);
    EXPECT_TRUE(ValidUtf8(subject));
    if (f.Has("urn:schemas:httpmail:fromemail")) {
      const std::string from = store::ValueText(f.Get("urn:schemas:httpmail:fromemail"));
      EXPECT_FALSE(from.empty());
      EXPECT_EQ(from.find('\0'), std::string::npos);
    }
    const std::string block = store::ValueText(f.Get(kHeaders));
    for (size_t i = 0; i < block.size(); ++i) {
      if (block[i] == '\n') {
        ASSERT_TRUE(i > 0 && block[i - 1] == '\r') << "bare LF at " << i;
      }
    }
    EXPECT_EQ(f.Get("DAV:getcontentlength"), Value(static_cast<int32_t>(source.size())));

    const std::string name = r.deliveredUrl.substr(r.deliveredUrl.rfind('/') + 1);
    EXPECT_TRUE(name.size() > 4 && name.size() <= 200 + 16) << name;
    EXPECT_EQ(name.find('\0'), std::string::npos);
  }
};

TEST_F(StoreMalformedTest, BrokenMessagesAreKeptAsTheyCame) {
  struct Case {
    const char* name;
    std::string source;
  };
  const std::string nested = [] {
    std::string s;
    for (int i = 0; i < 300; ++i)
      s += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) + "\"\r\n\r\n--b" +
           std::to_string(i) + "\r\n";
    return s + "\r\ninnermost\r\n";
  }();
  const std::vector<Case> cases = {
      {"empty message", ""},
      {"only a line end", "\r\n"},
      {"no header body separator",
       "From: a@x.example\r\nSubject: run-on\r\nthis line is no header\r\nnor this\r\n"},
      {"headers without a final line end", "From: a@x.example\r\nSubject: cut"},
      {"body text without headers", "just some text\r\nand more\r\n"},
      {"NUL bytes in headers", "From: a@x.ex\0ample\r\nSub\0ject: nul\0here\r\n\r\nbody\r\n"s},
      {"NUL bytes in body", "Subject: body nul\r\n\r\nab\0cd\0\r\n\0"s},
      {"only NUL bytes", std::string(64, '\0')},
      {"1 MB subject line", "Subject: " + std::string(1 << 20, 's') + "\r\n\r\nbody\r\n"},
      {"1 MB header line without blanks",
       "From: a@x.example\r\nX-Long:" + std::string(1 << 20, 'x') + "\r\nSubject: after\r\n\r\n"},
      {"invalid encoded words",
       "Subject: =?utf-8?B?!!!?= =?utf-8?Q?=ZZ=?= =?utf-8??x?= =?utf-8?B?\r\n\r\n"},
      {"encoded word with an unknown charset", "Subject: =?x-no-such-set?Q?caf=E9?=\r\n\r\n"},
      {"encoded word decoding to invalid UTF-8",
       "Subject: =?utf-8?B?/w==?= =?utf-8?Q?=C3?=\r\n\r\n"},
      {"encoded From display name and bad address",
       "From: =?bogus?B?////?= <@@>, =?utf-8?Q?x?= <>\r\n\r\n"},
      {"invalid charset parameter",
       "Subject: caf\xe9\r\nContent-Type: text/plain; charset=\"\xff\xfe\"\r\n\r\n\xe9\r\n"},
      {"bare CR line ends", "From: a@x.example\rSubject: cr only\r\rbody\r"},
      {"bare LF line ends", "From: a@x.example\nSubject: lf only\n\nbody\n"},
      {"mixed line ends", "From: a@x.example\r\nSubject: mixed\n\r\rX-A: b\r\n\nbody\r"},
      {"truncated multipart boundary",
       "Subject: cut\r\nContent-Type: multipart/mixed; boundary=\"abc\"\r\n\r\n--abc\r\n"
       "Content-Type: text/plain\r\n\r\npart\r\n--ab"},
      {"multipart with an empty boundary",
       "Content-Type: multipart/mixed; boundary=\"\"\r\n\r\n--\r\n\r\nx\r\n----\r\n"},
      {"multiparts nested 300 deep", nested},
      {"8-bit bytes that are not UTF-8",
       "Subject: caf\xe9 \xff\xfe\x80\r\nFrom: J\xf6rg <j\xf6@x.example>\r\n\r\n\xe9t\xe9\r\n"},
      {"sender only a group", "From: undisclosed-recipients:;\r\nSubject: g\r\n\r\n"},
      {"colon-less header lines", "Subject\r\n: value\r\nFrom a@x.example\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeliverAndCheck(c.source);
  }
}

// CPython's email test messages, where an interpreter's test suite is installed
// (DROSSGATE_EMAIL_TESTDATA names another folder of them).
TEST_F(StoreMalformedTest, PythonEmailTestMessages) {
  std::filesystem::path folder;
  if (const char* env = std::getenv("DROSSGATE_EMAIL_TESTDATA")) {
    folder = env;
  } else {
    glob_t g{};
    if (glob("/usr/lib/python3*/test/test_email/data", 0, nullptr, &g) == 0 && g.gl_pathc > 0)
      folder = g.gl_pathv[0];
    globfree(&g);
  }
  std::error_code ec;
  if (folder.empty() || !std::filesystem::is_directory(folder, ec))
    GTEST_SKIP() << "no email test data on this machine";
  int delivered = 0;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    const std::string file = e.path().filename().string();
    if (!file.starts_with("msg_")) continue;
    SCOPED_TRACE(file);
    DeliverAndCheck(testing::ReadFile(e.path()));
    ++delivered;
  }
  EXPECT_GT(delivered, 0);
}

}  // namespace
}  // namespace drossgate::platform::test
