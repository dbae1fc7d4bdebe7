// Deliveries of broken messages: whatever the source, delivery succeeds, the store keeps it byte
// for byte, and what it read from it (subject, sender, header block, item name) stays usable.
#include <glob.h>

#include <cstdlib>
#include <filesystem>

#include "error.h"
#include "store_fixture.h"

namespace drossgate::platform::test {
namespace {

const std::filesystem::path kFixtures = DROSSGATE_STORE_FIXTURES;
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
