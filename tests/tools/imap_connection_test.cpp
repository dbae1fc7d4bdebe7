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
  for (const char* peer : {"127.0.0.1", "127.200.1.9", "::1", "::ffff:127.0.0.1", "unix"})
    EXPECT_TRUE(IsLoopback(Peer(peer))) << peer;
  for (const char* peer :
       {"192.0.2.7", "::ffff:192.0.2.7", "2001:db8::1", "128.0.0.1", "::", "0.0.0.0"})
    EXPECT_FALSE(IsLoopback(Peer(peer))) << peer;
}

}  // namespace
}  // namespace drossgate::tools::imap
