// Two IMAP conversations on one mailbox of the real store (inbox "Posteingang"): what one
// client, a delivery or the other client changes reaches each at the right moment, and names
// that would leave the mailbox are refused.
#include "imap_session.h"
#include "store/mailstore.h"
#include "store_fixture.h"

namespace drossgate::platform::test {
namespace {

using tools::imap::LoginResult;

class StoreBackend final : public tools::imap::Backend {
 public:
  LoginResult Login(const std::string& user, const std::string& password) override {
    if (password != "secret") return {};
    return {LoginResult::Outcome::kOk, user};
  }
  void Logout(const std::string&) override {}
  std::unique_ptr<store::mail::MailStore> Open(const std::string& mailbox) override {
    return store::mail::OpenMailStore(mailbox);
  }
};

using ImapStoreTest = StoreTest;

TEST_F(ImapStoreTest, TwoClientsAndADelivery) {
  const std::string message = "Subject: hello\r\n\r\nbody\r\n";
  StoreBackend backend;
  tools::imap::Session a(backend, {}, {false, false, true}), b(backend, {}, {false, false, true});
  tools::imap::Session* sessions[] = {&a, &b};
  struct Step {
    int who;  // 0: a, 1: b, 2: a delivery to bob, 3: b's poll while idling
    std::string input;
    std::vector<std::string> expected;  // in this order
  };
  const Step steps[] = {
      {0,
       "1 LOGIN bob secret\r\n2 CREATE INBOX/Spam\r\n3 LIST \"\" *\r\n",
       {"(\\HasChildren) \"/\" \"INBOX\"", "(\\HasNoChildren \\Junk) \"/\" \"INBOX/Spam\""}},
      {0,
       "4 CREATE ../alice\r\n5 CREATE INBOX/../x\r\n6 CREATE a//b\r\n7 SELECT Posteingang\r\n",
       {"4 NO", "5 NO", "6 NO", "* 0 EXISTS", "7 OK [READ-WRITE]"}},
      {1, "1 LOGIN bob secret\r\n2 SELECT INBOX\r\n3 IDLE\r\n", {"* 0 EXISTS", "+ idling"}},
      {2, message, {}},
      {3, "", {"* 1 EXISTS"}},
      {0,
       "8 APPEND INBOX {" + std::to_string(message.size()) + "+}\r\n" + message + "\r\n",
       {"* 2 EXISTS", "8 OK [APPENDUID "}},
      {0,
       "9 FETCH 1 (RFC822.SIZE BODY[])\r\n",
       {"RFC822.SIZE " + std::to_string(message.size()) + " BODY[] {" +
            std::to_string(message.size()) + "}\r\n" + message + " FLAGS (\\Seen))",
        "9 OK"}},
      {3, "", {"* 1 FETCH (UID 1 FLAGS (\\Seen))", "* 2 EXISTS"}},
      {0, "10 UID MOVE 1 INBOX/Spam\r\n", {"* OK [COPYUID ", " 1 1] Moved", "* 1 EXPUNGE"}},
      {3, "", {"* 1 EXPUNGE"}},
      {1,
       "DONE\r\n4 UID COPY 2 Nowhere\r\n5 STATUS INBOX/Spam (MESSAGES)\r\n",
       {"3 OK", "4 NO [TRYCREATE]", "(MESSAGES 1)"}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.input);
    std::string out;
    if (step.who == 2)
      store::admin::Deliver("bob", step.input);
    else if (step.who == 3)
      out = b.Poll();
    else
      out = sessions[step.who]->Feed(step.input);
    size_t at = 0;
    for (const std::string& expected : step.expected) {
      at = out.find(expected, at);
      ASSERT_NE(at, std::string::npos) << expected << " in\n" << out;
    }
  }
}

}  // namespace
}  // namespace drossgate::platform::test
