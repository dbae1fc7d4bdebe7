// Delivery of real and of broken messages: whatever the source, delivery succeeds and keeps it
// byte for byte; from real ones it reads the decoded subject, the sender address and the
// transport-header block, and names the item after the subject.
#include <glob.h>

#include <cstdlib>
#include <sstream>
#include <tuple>

#include "error.h"
#include "store/mime.h"
#include "store_fixture.h"

namespace drossgate::platform::test {
namespace {

using store::Value;

const std::filesystem::path kFixtures = DROSSGATE_STORE_FIXTURES;
const char* const kHeaders = "http://schemas.microsoft.com/mapi/proptag/0x007D001E";
const char* const kScl = "http://schemas.microsoft.com/mapi/proptag/0x40760003";

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

// The header lines of a source (up to its first empty line), with CR LF line ends.
std::string HeaderBlock(const std::string& source) {
  std::string out;
  std::istringstream in(source);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    out += line + (in.eof() ? "" : "\r\n");
  }
  return out;
}

class StoreDeliveryTest : public StoreTest {
 protected:
  // Delivers source to alice, checks what holds for any source (kept byte for byte, subject
  // and sender without NUL and in UTF-8, header block with CR LF line ends, a usable item
  // name) and gives the delivered item's URL.
  static std::string DeliverAndCheck(const std::string& source) {
    store::admin::DeliveryResult r;
    EXPECT_NO_THROW(r = store::admin::Deliver("alice", source));
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
    for (size_t i = 0; i < block.size(); ++i)
      if (block[i] == '\n') {
        EXPECT_TRUE(i > 0 && block[i - 1] == '\r') << "bare LF at " << i;
      }
    EXPECT_EQ(f.Get("DAV:getcontentlength"), Value(static_cast<int32_t>(source.size())));
    const std::string name = r.deliveredUrl.substr(r.deliveredUrl.rfind('/') + 1);
    EXPECT_TRUE(name.size() > 4 && name.size() <= 200 + 16) << name;
    EXPECT_EQ(name.find('\0'), std::string::npos);
    return r.deliveredUrl;
  }
};
using StoreMalformedTest = StoreDeliveryTest;

TEST_F(StoreDeliveryTest, RealMessagesKeepTheirBytesAndGetTheirProperties) {
  const std::tuple<const char*, std::string, std::optional<std::string>, std::string> cases[] = {
      {"utf8_base64_subject_lf.eml", "Grüße aus München", "Joerg@Example.DE",
       "Grüße aus München.EML"},
      {"latin1_q_folded_subject.eml", "Café crème brûlée special", "owner@cafe.example",
       "Café crème brûlée special.EML"},
      {"multipart_nested_8bit_no_final_newline.eml", "Re: [list] a/b\\c?* <now> | \"quoted\": yes",
       "spam@bad.example", "Re_ [list] a_b_c__ _now_ _ _quoted__ yes.EML"},
      {"no_subject_no_from.eml", "", std::nullopt, "No Subject.EML"},
      {"group_sender_mixed_words.eml", "hello world again é", "first@group.example",
       "hello world again é.EML"},
      {"headers_only.eml", "", "someone@example.org", "No Subject-2.EML"},
  };
  for (const auto& [file, subject, from, name] : cases) {
    SCOPED_TRACE(file);
    const std::string source = testing::ReadFile(kFixtures / file);
    const std::string url = DeliverAndCheck(source);
    EXPECT_EQ(url, Alice() + "/Inbox/" + name);
    auto rec = store::OpenRecord(url, nullptr, store::Mode::kRead);
    auto& f = rec->GetFields();
    EXPECT_EQ(f.Get("DAV:contentclass"), Value(std::string("urn:content-classes:message")));
    EXPECT_EQ(f.Get("urn:schemas:httpmail:subject"), Value(subject));
    EXPECT_EQ(f.Has("urn:schemas:httpmail:fromemail"), from.has_value());
    if (from) {
      EXPECT_EQ(f.Get("urn:schemas:httpmail:fromemail"), Value(*from));
    }
    EXPECT_EQ(store::ValueText(f.Get(kHeaders)), HeaderBlock(source));
    EXPECT_FALSE(f.Has(kScl));
  }
}

TEST_F(StoreDeliveryTest, SameSubjectsGetNumberedNames) {
  std::vector<std::string> urls;
  for (const char* subject : {"dup", "dup", "DUP", "dup", "dup."})
    urls.push_back(
        store::admin::Deliver("alice", std::string("Subject: ") + subject + "\r\n\r\nx\r\n")
            .deliveredUrl);
  const std::string inbox = Alice() + "/Inbox/";
  EXPECT_EQ(urls,
            (std::vector<std::string>{inbox + "dup.EML", inbox + "dup-2.EML", inbox + "DUP-3.EML",
                                      inbox + "dup-4.EML", inbox + "dup-5.EML"}));
}

TEST_F(StoreDeliveryTest, ClientSavesParseTheMessageToo) {
  const std::string source = testing::ReadFile(kFixtures / "latin1_q_folded_subject.eml");
  EXPECT_EQ(store::admin::SaveItem(Alice() + "/Drafts/d.eml", source), Alice() + "/Drafts/d.eml");
  store::admin::SaveItem(Alice() + "/Drafts/d.eml", "Subject: second\r\n\r\n");
  EXPECT_EQ(Prop(Alice() + "/Drafts/d.eml", "urn:schemas:httpmail:subject"),
            Value(std::string("second")));
  EXPECT_FALSE(store::OpenRecord(Alice() + "/Drafts/d.eml", nullptr, store::Mode::kRead)
                   ->GetFields()
                   .Has("urn:schemas:httpmail:fromemail"))
      << "nothing of the first source stays";
  EXPECT_THROW(store::admin::SaveItem(Alice() + "/Drafts", source), PlatformError);
  EXPECT_THROW(store::admin::SaveItem(Alice() + "/Nowhere/d.eml", source), PlatformError);
}

TEST(StoreItemNameTest, SubjectsBecomeUsableNames) {
  const std::tuple<const char*, std::string, std::string> cases[] = {
      {"reserved characters", "a/b\\c:d*e?f\"g<h>i|j", "a_b_c_d_e_f_g_h_i_j"},
      {"control characters", "tab\there\x01", "tab here"},
      {"blanks and dots trimmed", "  spaced out.. ", "spaced out"},
      {"empty", "", "No Subject"},
      {"dot segments cannot arise", "..", "No Subject"},
      {"long text cut at 200 bytes", std::string(250, 'x'), std::string(200, 'x')},
      {"cut never splits a character", std::string(199, 'x') + "é", std::string(199, 'x')},
  };
  for (const auto& [name, subject, expected] : cases) {
    EXPECT_EQ(store::ItemNameFromSubject(subject), expected) << name;
  }
}

// One message a file in fixtures/malformed, and two too large to keep as files.
TEST_F(StoreMalformedTest, BrokenMessagesAreKeptAsTheyCame) {
  std::vector<std::pair<std::string, std::string>> cases;
  for (const auto& e : std::filesystem::directory_iterator(kFixtures / "malformed"))
    cases.emplace_back(e.path().filename().string(), testing::ReadFile(e.path()));
  ASSERT_GT(cases.size(), 20u);
  std::string nested;
  for (int i = 0; i < 300; ++i)
    nested += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) + "\"\r\n\r\n--b" +
              std::to_string(i) + "\r\n";
  cases.emplace_back("multiparts nested 300 deep", nested + "\r\ninnermost\r\n");
  cases.emplace_back("1 MB subject line",
                     "Subject: " + std::string(1 << 20, 's') + "\r\n\r\nbody\r\n");
  cases.emplace_back(
      "1 MB header line without blanks",
      "From: a@x.example\r\nX-Long:" + std::string(1 << 20, 'x') + "\r\nSubject: after\r\n\r\n");
  for (const auto& [name, source] : cases) {
    SCOPED_TRACE(name);
    DeliverAndCheck(source);
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
