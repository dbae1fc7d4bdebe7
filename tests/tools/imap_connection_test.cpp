// A password goes over plain text only where nobody can overhear it: which peers count as this
// machine (the conversation's tests show what it refuses to the others).
#include <gtest/gtest.h>
#include <netdb.h>

#include <cstring>

#include "imap_logins.h"

namespace drossgate::tools::imap {
namespace {

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
  } cases[] = {{"127.0.0.1", true},
               {"127.200.1.9", true},
               {"::1", true},
               {"::ffff:127.0.0.1", true},
               {"unix", true},
               {"192.0.2.7", false},
               {"::ffff:192.0.2.7", false},
               {"2001:db8::1", false},
               {"128.0.0.1", false},
               {"::", false},
               {"0.0.0.0", false}};
  for (const auto& c : cases) EXPECT_EQ(IsLoopback(Peer(c.peer)), c.loopback) << c.peer;
}

}  // namespace
}  // namespace drossgate::tools::imap
