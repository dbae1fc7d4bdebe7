// Delivery of real messages: decoded subjects, sender addresses, the transport-header block,
// item names and sources kept byte for byte, also with several threads delivering at once.
#include <thread>

#include "error.h"
#include "store/mime.h"
#include "store_fixture.h"

namespace drossgate::platform::test {
namespace {

using store::Value;

const std::filesystem::path kFixtures = DROSSGATE_STORE_FIXTURES;
const char* const kHeaders = "http://schemas.microsoft.com/mapi/proptag/0x007D001E";
const char* const kScl = "http://schemas.microsoft.com/mapi/proptag/0x40760003";

class StoreDeliveryTest : public StoreTest {};

// The header lines of a source (up to its first empty line), with CR LF line ends; the LF
// fixture, with its folded Received line, shows the block of a bare-LF message.
std::string ExpectedHeaderBlock(const std::string& source) {
  std::string out;
  size_t pos = 0;
  while (pos < source.size()) {
    size_t nl = source.find('\n', pos);
    std::string line = source.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    out += line;
    if (nl == std::string::npos) break;
    out += "\r\n";
    pos = nl + 1;
  }
  return out;
}

TEST_F(StoreDeliveryTest, RealMessagesKeepTheirBytesAndGetTheirProperties) {
  struct Case {
    const char* file;
    std::string subject;
    std::optional<std::string> from;
    std::string name;
  };
  const std::vector<Case> cases = {
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
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string source = testing::ReadFile(kFixtures / c.file);
    ASSERT_FALSE(source.empty());
    auto r = store::admin::Deliver("alice", source);
    EXPECT_EQ(r.deliveredUrl, Alice() + "/Inbox/" + c.name);
    EXPECT_EQ(store::admin::Source(r.deliveredUrl), source);

    auto rec = store::OpenRecord(r.deliveredUrl, nullptr, store::Mode::kRead);
    auto& f = rec->GetFields();
    EXPECT_EQ(f.Get("DAV:contentclass"), Value(std::string("urn:content-classes:message")));
    EXPECT_EQ(f.Get("urn:schemas:httpmail:subject"), Value(c.subject));
    EXPECT_EQ(f.Has("urn:schemas:httpmail:fromemail"), c.from.has_value());
    if (c.from) {
      EXPECT_EQ(f.Get("urn:schemas:httpmail:fromemail"), Value(*c.from));
    }
    const std::string block = store::ValueText(f.Get(kHeaders));
    EXPECT_EQ(block, ExpectedHeaderBlock(source));
    EXPECT_FALSE(f.Has(kScl));
    EXPECT_EQ(f.Get("DAV:getcontentlength"), Value(static_cast<int32_t>(source.size())));
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

TEST_F(StoreDeliveryTest, DeliveryFindsTheMailboxAndRecordsTheScl) {
  auto byAddress =
      store::admin::Deliver("BOB@example.com", "Subject: hi\r\n\r\n.\r\n", int32_t{-1});
  EXPECT_EQ(byAddress.deliveredUrl, Bob() + "/Posteingang/hi.EML");
  EXPECT_EQ(Prop(byAddress.deliveredUrl, kScl), Value(int32_t{-1}));
  EXPECT_THROW(store::admin::Deliver("carol", "Subject: x\r\n\r\n"), PlatformError);
}

TEST_F(StoreDeliveryTest, ClientSavesParseTheMessageToo) {
  const std::string source = testing::ReadFile(kFixtures / "latin1_q_folded_subject.eml");
  EXPECT_EQ(store::admin::SaveItem(Alice() + "/Drafts/d.eml", source), Alice() + "/Drafts/d.eml");
  EXPECT_EQ(Prop(Alice() + "/Drafts/d.eml", "urn:schemas:httpmail:subject"),
            Value(std::string("Café crème brûlée special")));
  store::admin::SaveItem(Alice() + "/Drafts/d.eml", "Subject: second\r\n\r\n");
  EXPECT_EQ(store::admin::Source(Alice() + "/Drafts/d.eml"), "Subject: second\r\n\r\n");
  EXPECT_FALSE(store::OpenRecord(Alice() + "/Drafts/d.eml", nullptr, store::Mode::kRead)
                   ->GetFields()
                   .Has("urn:schemas:httpmail:fromemail"));
  EXPECT_THROW(store::admin::SaveItem(Alice() + "/Drafts", source), PlatformError);
  EXPECT_THROW(store::admin::SaveItem(Alice() + "/Nowhere/d.eml", source), PlatformError);
}

TEST(StoreItemNameTest, SubjectsBecomeUsableNames) {
  struct Case {
    const char* name;
    std::string subject;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"reserved characters", "a/b\\c:d*e?f\"g<h>i|j", "a_b_c_d_e_f_g_h_i_j"},
      {"control characters", "tab\there\x01", "tab here"},
      {"blanks and dots trimmed", "  spaced out.. ", "spaced out"},
      {"empty", "", "No Subject"},
      {"dot segments cannot arise", "..", "No Subject"},
      {"long text cut at 200 bytes", std::string(250, 'x'), std::string(200, 'x')},
      {"cut never splits a character", std::string(199, 'x') + "é", std::string(199, 'x')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(store::ItemNameFromSubject(c.subject), c.expected);
  }
}

}  // namespace
}  // namespace drossgate::platform::test
