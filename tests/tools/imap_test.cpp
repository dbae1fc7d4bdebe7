// The IMAP conversation without sockets: the wire grammar, mailbox name encoding, what FETCH
// shows of the fixture messages, and scripted sessions over a mailbox held in memory.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "imap_message.h"
#include "imap_parser.h"
#include "imap_session.h"
#include "memory_mailstore.h"

namespace drossgate::tools::imap {
namespace {

struct ParseRow {
  const char* name;
  const char* input;
  bool sequence;         // read a sequence set, else an astring
  const char* expected;  // nullptr: a syntax error
};

std::string SetText(const SequenceSet& set) {
  std::string out;
  auto n = [](uint32_t v) { return v ? std::to_string(v) : std::string("*"); };
  for (const SeqRange& r : set)
    out += (out.empty() ? "" : ",") + n(r.first) + (r.first == r.last ? "" : ":" + n(r.last));
  return out;
}

TEST(ImapParserTest, Rows) {
  const ParseRow rows[] = {
      {"atom", "INBOX\r\n", false, "INBOX"},
      {"quoted with escapes", "\"a\\\"b\\\\c\"", false, "a\"b\\c"},
      {"literal", "{5}\r\nab\r\nc", false, "ab\r\nc"},
      {"non-synchronising literal", "{3+}\r\nabc", false, "abc"},
      {"unterminated quoted", "\"abc", false, nullptr},
      {"bad escape", "\"a\\b\"", false, nullptr},
      {"literal shorter than announced", "{9}\r\nabc", false, nullptr},
      {"sequence with star and reversed range", "1:*,5:2,7", true, "1:*,5:2,7"},
      {"zero is no message number", "0", true, nullptr},
      {"number beyond 32 bits", "4294967296", true, nullptr},
      {"range without end", "1:", true, nullptr},
  };
  for (const ParseRow& row : rows) {
    SCOPED_TRACE(row.name);
    Reader r(row.input);
    if (!row.expected) {
      EXPECT_THROW(row.sequence ? (void)r.Sequence() : (void)r.AString(), SyntaxError);
      continue;
    }
    EXPECT_EQ(row.sequence ? SetText(r.Sequence()) : r.AString(), row.expected);
    EXPECT_TRUE(r.AtEnd());
  }
  EXPECT_EQ(LiteralAtEnd("a LOGIN {12+}")->size, 12u);
  EXPECT_TRUE(LiteralAtEnd("{1}")->synchronising);
  EXPECT_FALSE(LiteralAtEnd("a {x}"));
}

TEST(ImapParserTest, MailboxNamesBothWays) {
  const std::pair<const char*, const char*> rows[] = {
      {"Entw\xC3\xBC"
       "rfe",
       "Entw&APw-rfe"},
      {"a&b", "a&-b"},
      {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "&ZeVnLIqe-"},
      {"INBOX/Spam", "INBOX/Spam"},
  };
  for (const auto& [utf8, wire] : rows) {
    EXPECT_EQ(EncodeMailboxName(utf8), wire);
    EXPECT_EQ(DecodeMailboxName(wire), utf8);
  }
  for (const char* bad : {"&Jjo",
                          "Entw\xC3\xBC"
                          "rfe",
                          "&AGE-", "&A-", "&Jjo!-"})
    EXPECT_FALSE(DecodeMailboxName(bad)) << bad;
  EXPECT_FALSE(EncodeMailboxName("\xFF"));
}

std::string Fixture(const std::string& name) {
  const std::string dir =
      name.find('/') == std::string::npos ? "/tests/platform/fixtures/" : "/tests/";
  std::ifstream in(DROSSGATE_SOURCE_DIR + dir + name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct MessageRow {
  const char* fixture;
  const char* what;  // ENVELOPE, BODYSTRUCTURE, BODY, or a section
  Section section;
  const char* expected;  // nullptr: no such section
};

TEST(ImapMessageTest, Rows) {
  const char* kAlternative = "tools/fixtures/alternative_with_attachment.eml";
  const char* kNested = "multipart_nested_8bit_no_final_newline.eml";
  const MessageRow rows[] = {
      {"latin1_q_folded_subject.eml",
       "ENVELOPE",
       {},
       "(\"Sun, 5 Dec 2004 14:07:00 +0000\" \"=?ISO-8859-1?Q?Caf=E9_cr=E8me?= "
       "=?iso-8859-1?q?_br=FBl=E9e?= special\" ((\"=?UTF-8?b?Q2Fmw6k=?= Owner\" NIL \"owner\" "
       "\"cafe.example\")) ((\"=?UTF-8?b?Q2Fmw6k=?= Owner\" NIL \"owner\" \"cafe.example\")) "
       "((\"=?UTF-8?b?Q2Fmw6k=?= Owner\" NIL \"owner\" \"cafe.example\")) ((NIL NIL \"alice\" "
       "\"example.com\")) NIL NIL NIL \"<1@cafe.example>\")"},
      {"group_sender_mixed_words.eml",
       "ENVELOPE",
       {},
       "(NIL \"=?utf-8?q?hello_world?= again =?UTF-8?B?w6k=?=\" ((NIL NIL \"Undisclosed\" NIL)(NIL "
       "NIL \"first\" \"group.example\")(NIL NIL \"second\" \"group.example\")(NIL NIL NIL NIL)) "
       "((NIL NIL \"Undisclosed\" NIL)(NIL NIL \"first\" \"group.example\")(NIL NIL \"second\" "
       "\"group.example\")(NIL NIL NIL NIL)) ((NIL NIL \"Undisclosed\" NIL)(NIL NIL \"first\" "
       "\"group.example\")(NIL NIL \"second\" \"group.example\")(NIL NIL NIL NIL)) NIL NIL NIL NIL "
       "NIL)"},
      {kAlternative,
       "BODYSTRUCTURE",
       {},
       "(((\"TEXT\" \"PLAIN\" (\"CHARSET\" \"utf-8\") NIL NIL \"QUOTED-PRINTABLE\" 15 1 NIL NIL "
       "NIL "
       "NIL)(\"TEXT\" \"HTML\" (\"CHARSET\" \"utf-8\") NIL NIL \"7BIT\" 9 1 NIL NIL NIL NIL) "
       "\"ALTERNATIVE\" (\"BOUNDARY\" \"alt\") NIL NIL NIL)(\"APPLICATION\" \"PDF\" (\"NAME\" "
       "\"r.pdf\") \"<pdf1@example.org>\" NIL \"BASE64\" 8 NIL (\"ATTACHMENT\" (\"FILENAME\" "
       "\"r.pdf\")) (\"en\" \"de\") NIL) \"MIXED\" (\"BOUNDARY\" \"outer\") NIL NIL NIL)"},
      {kAlternative,
       "BODY",
       {},
       "(((\"TEXT\" \"PLAIN\" (\"CHARSET\" \"utf-8\") NIL NIL \"QUOTED-PRINTABLE\" 15 1)(\"TEXT\" "
       "\"HTML\" (\"CHARSET\" \"utf-8\") NIL NIL \"7BIT\" 9 1) \"ALTERNATIVE\")(\"APPLICATION\" "
       "\"PDF\" (\"NAME\" \"r.pdf\") \"<pdf1@example.org>\" NIL \"BASE64\" 8) \"MIXED\")"},
      {kNested,
       "BODYSTRUCTURE",
       {},
       "((\"TEXT\" \"PLAIN\" (\"CHARSET\" \"unknown-8bit\") NIL NIL \"7BIT\" 19 1 NIL NIL NIL "
       "NIL)(\"MESSAGE\" \"RFC822\" NIL NIL NIL \"7BIT\" 59 (NIL \"inner subject\" ((NIL NIL "
       "\"inner\" \"x.example\")) ((NIL NIL \"inner\" \"x.example\")) ((NIL NIL \"inner\" "
       "\"x.example\")) NIL NIL NIL NIL NIL) (\"TEXT\" \"PLAIN\" (\"CHARSET\" \"us-ascii\") NIL "
       "NIL "
       "\"7BIT\" 10 1 NIL NIL NIL NIL) 4 NIL NIL NIL NIL) \"MIXED\" (\"BOUNDARY\" \"==outer==\") "
       "NIL "
       "NIL NIL)"},
      {"utf8_base64_subject_lf.eml",
       "BODYSTRUCTURE",
       {},
       "(\"TEXT\" \"PLAIN\" (\"CHARSET\" \"UTF-8\") NIL NIL \"8BIT\" 15 2 NIL NIL NIL NIL)"},
      {kAlternative, "", {{1, 1}, "", {}}, "Gr=C3=BC=C3=9Fe"},
      {kAlternative,
       "",
       {{2}, "MIME", {}},
       "Content-Type: application/pdf; name=\"r.pdf\"\r\nContent-Disposition: attachment; "
       "filename=\"r.pdf\"\r\nContent-Language: en, de\r\nContent-Transfer-Encoding: base64\r\n"
       "Content-ID: <pdf1@example.org>\r\n\r\n"},
      {kAlternative,
       "",
       {{}, "HEADER.FIELDS", {"subject", "X-None", "to"}},
       "To: bob@example.com, \"Carl, Jr.\" <carl@example.com>\r\nSubject: Report\r\n\r\n"},
      {kAlternative, "", {{1}, "HEADER", {}}, nullptr},
      {kNested, "", {{2}, "TEXT", {}}, "inner body"},
      {kNested, "", {{2, 1}, "", {}}, "inner body"},
      {kNested, "", {{3}, "", {}}, nullptr},
      {"headers_only.eml", "", {{}, "TEXT", {}}, ""},
      {"headers_only.eml", "", {{1}, "", {}}, ""},
      {"no_subject_no_from.eml",
       "",
       {{}, "HEADER.FIELDS.NOT", {"To"}},
       "X-Mailer: nothing\r\n\r\n"},
  };
  for (const MessageRow& row : rows) {
    SCOPED_TRACE(std::string(row.fixture) + " " + row.what + " " + row.section.text);
    const Message message(Fixture(row.fixture));
    const std::string what = row.what;
    const std::optional<std::string> got = what == "ENVELOPE"        ? message.Envelope()
                                           : what == "BODYSTRUCTURE" ? message.BodyStructure(true)
                                           : what == "BODY"          ? message.BodyStructure(false)
                                                            : message.SectionBytes(row.section);
    if (!row.expected)
      EXPECT_FALSE(got);
    else
      EXPECT_EQ(got, row.expected);
  }
}

class FakeBackend final : public Backend {
 public:
  LoginResult Login(const std::string& user, const std::string& password) override {
    if (user != "u" || password != "p") return {};
    ++logins;
    return {LoginResult::Outcome::kOk, "u"};
  }
  void Logout(const std::string&) override { --logins; }
  std::unique_ptr<platform::store::mail::MailStore> Open(const std::string&) override {
    auto opened = std::make_unique<fuzz::MemoryMailStore>("Posteingang");
    opened->Append("Posteingang", Fixture("latin1_q_folded_subject.eml"), {}, 1102255620);
    opened->Append("Posteingang", Fixture("tools/fixtures/alternative_with_attachment.eml"),
                   {"\\Seen"}, 0);
    store = opened.get();
    return opened;
  }
  fuzz::MemoryMailStore* store = nullptr;
  int logins = 0;
};

struct SessionRow {
  const char* name;
  bool loopback;
  std::string input;
  std::vector<const char*> expected;  // in this order
  const char* absent;
  size_t piece = 0;  // fed in pieces of this size; 0: at once
};

std::string Talk(Session& session, std::string_view input, size_t piece = 0) {
  std::string out;
  if (!piece) piece = input.size();
  for (size_t at = 0; at < input.size(); at += piece) out += session.Feed(input.substr(at, piece));
  return out;
}

TEST(ImapSessionTest, Rows) {
  const std::string kLogin = "a LOGIN u p\r\n";
  const std::string kSelect = kLogin + "b SELECT inbox\r\n";
  const std::string tooLong = "a NOOP " + std::string(70000, 'x') + "\r\nb NOOP\r\n";
  std::string tooMany;
  for (int i = 0; i < 20; ++i) tooMany += "x FROB\r\n";
  const SessionRow rows[] = {
      {"no plain login off loopback without TLS",
       false,
       "a CAPABILITY\r\nb LOGIN u p\r\n",
       {"STARTTLS LOGINDISABLED", "b NO [PRIVACYREQUIRED]"},
       "AUTH=PLAIN"},
      {"STARTTLS drops what came after it", false, "a STARTTLS\r\nb NOOP\r\n", {"a OK"}, "b OK"},
      {"PLAIN with an initial response", true, "a AUTHENTICATE PLAIN AHUAcA==\r\n", {"a OK"}, ""},
      {"PLAIN after a continuation",
       true,
       "a AUTHENTICATE PLAIN\r\nAHUAcA==\r\n",
       {"+ \r\n", "a OK"},
       ""},
      {"wrong password", true, "a LOGIN u x\r\n", {"a NO [AUTHENTICATIONFAILED]"}, ""},
      {"mailbox commands need a login", true, "a SELECT INBOX\r\n", {"a BAD"}, ""},
      {"pipelined, one byte at a time",
       true,
       kSelect + "c NOOP\r\n",
       {"a OK", "* 2 EXISTS", "b OK [READ-WRITE]", "c OK"},
       "BAD",
       1},
      {"literals in pieces", true, "a LOGIN {1}\r\nu {1+}\r\np\r\n", {"+ Ready", "a OK"}, "BAD", 3},
      {"synchronising literal too large",
       true,
       "a LOGIN {99999}\r\n",
       {"a BAD Literal too large"},
       "+ Ready"},
      {"non-synchronising literal too large", true, "a LOGIN {99999+}\r\n", {"* BYE"}, ""},
      {"line too long", true, tooLong, {"a BAD Command line too long", "b OK"}, ""},
      {"NUL and unknown commands",
       true,
       std::string("a NO\0OP\r\nb FROB\r\n", 17),
       {"a BAD NUL", "b BAD Unknown command"},
       ""},
      {"too many bad commands", true, tooMany, {"* BYE Too many bad commands"}, ""},
      {"fetch sets seen",
       true,
       kSelect + "c FETCH 1 (BODY[HEADER.FIELDS (Subject)])\r\n",
       {"* 1 FETCH (BODY[HEADER.FIELDS (Subject)] {", " FLAGS (\\Seen))"},
       ""},
      {"examine sets nothing",
       true,
       kLogin + "b EXAMINE INBOX\r\nc FETCH 1 BODY[1]\r\n",
       {"b OK [READ-ONLY]"},
       " FLAGS (\\Seen))"},
      {"search",
       true,
       kSelect +
           "c SEARCH CHARSET UTF-8 OR SUBJECT {5+}\r\ncaf\xC3\xA9 BODY {7+}\r\nGr\xC3\xBC\xC3\x9F"
           "e\r\n"
           "d UID SEARCH (UNSEEN SINCE 1-Dec-2004) NOT LARGER 100000\r\n",
       {"* SEARCH 1 2", "* SEARCH 1\r\n"},
       ""},
      {"copy to a missing folder",
       true,
       kSelect + "c COPY 1 Nowhere\r\n",
       {"c NO [TRYCREATE]"},
       ""},
      {"names that would escape",
       true,
       kLogin + "b CREATE ../x\r\nc CREATE /x\r\nd CREATE a//b\r\n",
       {"b NO", "c NO", "d NO"},
       ""},
      {"inbox under its stored name",
       true,
       kLogin + "b CREATE INBOX/Junk\r\nc LIST \"\" *\r\nd LIST (SPECIAL-USE) \"\" *\r\n",
       {"* LIST (\\HasChildren) \"/\" \"INBOX\"", "(\\HasNoChildren \\Junk) \"/\" \"INBOX/Junk\"",
        "c OK LIST completed\r\n* LIST (\\HasNoChildren \\Junk) \"/\" \"INBOX/Junk\"\r\nd OK"},
       "Posteingang"},
  };
  for (const SessionRow& row : rows) {
    SCOPED_TRACE(row.name);
    FakeBackend backend;
    ConnectionInfo connection;
    connection.loopback = row.loopback;
    connection.tlsAvailable = true;
    Session session(backend, Limits{}, connection);
    const std::string out = Talk(session, row.input, row.piece);
    size_t at = 0;
    for (const char* expected : row.expected) {
      at = out.find(expected, at);
      ASSERT_NE(at, std::string::npos) << expected << " in\n" << out;
    }
    if (*row.absent) {
      EXPECT_EQ(out.find(row.absent), std::string::npos) << out;
    }
  }
}

// A FETCH of many large messages reaches the writer as it is made, never held whole, and
// stops reading messages once the client is gone.
TEST(ImapSessionTest, ALongFetchGoesToTheWriterAsItIsMade) {
  const std::string kFetch = "a LOGIN u p\r\nb EXAMINE INBOX\r\nc FETCH 1:* BODY.PEEK[]\r\n";
  auto run = [&](int writes, std::string* written) {
    FakeBackend backend;
    Session session(backend, Limits{}, ConnectionInfo{false, false, true});
    Talk(session, "z LOGIN u p\r\n");
    for (int i = 0; i < 4; ++i)
      backend.store->Append("Posteingang", "Subject: big\r\n\r\n" + std::string(700000, 'x'), {},
                            0);
    size_t largest = 0;
    if (written)
      session.SetWriter([&](std::string_view answered) {
        largest = std::max(largest, answered.size());
        written->append(answered);
        return --writes > 0;
      });
    std::string out = Talk(session, kFetch.substr(kFetch.find("b EXAMINE")));
    EXPECT_LT(largest, 2'000'000u);
    out = written ? *written + out : out;
    return std::make_pair(out.substr(std::min(out.size(), out.find("b OK"))), session.Closed());
  };
  const auto whole = run(0, nullptr);
  std::string written;
  const auto spilled = run(99, &written);
  EXPECT_TRUE(spilled.first == whole.first && !spilled.second);
  EXPECT_GT(written.size(), 1'000'000u);
  written.clear();
  const auto gone = run(1, &written);  // the first write fails
  EXPECT_TRUE(gone.second);
  EXPECT_LT(gone.first.size(), 2'200'000u);  // not all six messages were read
}

TEST(ImapSessionTest, ChangesMadeElsewhereKeepSequenceNumbersRight) {
  FakeBackend backend;
  {
    Session session(backend, Limits{}, ConnectionInfo{false, false, true});
    Talk(session, "a LOGIN u p\r\nb SELECT INBOX\r\n");
    backend.store->StoreFlags("Posteingang", {1}, {"\\Deleted"},
                              platform::store::mail::FlagChange::kAdd);
    backend.store->Expunge("Posteingang", std::nullopt);
    backend.store->Append("Posteingang", "Subject: new\r\n\r\nx\r\n", {}, 0);
    // While numbers are in use, the gone message stays; it is reported at the next chance.
    EXPECT_EQ(Talk(session, "c FETCH 2 FLAGS\r\n"),
              "* 2 FETCH (FLAGS (\\Seen))\r\n* 3 EXISTS\r\nc OK FETCH completed\r\n");
    EXPECT_EQ(Talk(session, "d NOOP\r\n"), "* 1 EXPUNGE\r\nd OK NOOP completed\r\n");
    EXPECT_EQ(Talk(session, "e IDLE\r\n"), "+ idling\r\n");
    backend.store->StoreFlags("Posteingang", {3}, {"$Junk"},
                              platform::store::mail::FlagChange::kAdd);
    EXPECT_EQ(session.Poll(), "* 2 FETCH (UID 3 FLAGS ($Junk))\r\n");
    EXPECT_EQ(Talk(session, "DONE\r\n"), "e OK IDLE terminated\r\n");
    EXPECT_EQ(backend.logins, 1);
  }
  EXPECT_EQ(backend.logins, 0);
}

}  // namespace
}  // namespace drossgate::tools::imap
