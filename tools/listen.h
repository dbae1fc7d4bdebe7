#pragma once
// The sockets of the platform's network services: a listening socket from a --listen value
// (HOST:PORT or unix:PATH), those systemd hands over, a socket's address as --listen writes it,
// the signals that stop a service, and whole writes. Bad values raise UsageError, sockets that
// cannot be had std::runtime_error.

#include <sys/socket.h>
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace drossgate::tools {

// A listening socket; a unix: socket gets socketMode, and a stale socket file of an earlier
// run is replaced.
int Listen(const std::string& address, mode_t socketMode = 0600);
// What a listening socket is bound to, as --listen would name it (a port 0 asked for is the
// port the system chose).
std::string Where(int fd);
// The numeric host of an IPv4 or IPv6 address; empty for any other kind.
std::string HostText(const sockaddr_storage& addr);

// The listening sockets systemd passes (socket activation), each with its name from
// LISTEN_FDNAMES (empty when unnamed); none when this process was not given any.
struct Inherited {
  int fd;
  std::string name;
};
std::vector<Inherited> InheritedListeners();

// SIGTERM and SIGINT ask the service to stop: Stopping() turns true and StopFd() becomes
// readable, so that an accept loop polling it wakes.
void CatchStopSignals();
bool Stopping();
int StopFd();

// Writes all of data; false when the peer is gone or does not read within the send timeout.
bool WriteAll(int fd, std::string_view data);

}  // namespace drossgate::tools
