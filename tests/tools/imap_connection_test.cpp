// A password goes over plain text only where nobody can overhear it: the peer's address
// decides, and the conversation refuses a plain-text login from anywhere else.
#include <gtest/gtest.h>

#include <netdb.h>

#include <cstring>

#include "imap_logins.h"

namespace drossgate::tools::imap {
namespace {

class CountingBackend : public Backend {
 public:
  int logins = 0;
  LoginResult Login(const std::string&, const std::string&) override {
    ++logins;
    return {};
  }
  void Logout(const std::string&) override {}
  std::unique_ptr<platform::store::mail::MailStore> Open(const std::string&) override {
    return nullptr;
  }
};

// A peer address as accept gives it; anything that is no IP address stands for a Unix socket.
sockaddr_storage Peer(const char* address) {
  sockaddr_storage peer{};
  peer.ss_family = AF_UNIX;
  addrinfo hints{}, *found = nullptr;
  hints.ai_flags = AI_NUMERICHOST;
  if (getaddrinfo(address, nullptr, &hints, &found) == 0) {
    std::memcpy(&peer, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
  }
  return peer;
}

TEST(ImapConnection, PlainTextLoginOnlyFromThisMachine) {
  const struct {
    const char* peer;
    bool loopback;
  } cases[] = {{"127.0.0.1", true},         {"127.200.1.9", true},  {"::1", true},
               {"::ffff:127.0.0.1", true},  {"unix", true},         {"192.0.2.7", false},
               {"::ffff:192.0.2.7", false}, {"2001:db8::1", false}, {"128.0.0.1", false}};
  for (const auto& c : cases) {
    ConnectionInfo info;
    info.loopback = IsLoopback(Peer(c.peer));
    EXPECT_EQ(info.loopback, c.loopback) << c.peer;
    CountingBackend backend;
    Session session(backend, Limits{}, info);
    session.Greeting();
    const std::string capability = session.Feed("a CAPABILITY\r\n");
    EXPECT_EQ(capability.find("LOGINDISABLED") == std::string::npos, c.loopback) << c.peer;
    const std::string login = session.Feed("b LOGIN ada secret\r\n");
    EXPECT_EQ(backend.logins, c.loopback ? 1 : 0) << c.peer << ": " << login;
  }
}

}  // namespace
}  // namespace drossgate::tools::imap
