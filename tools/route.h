#pragma once
// Where mail for an address goes, as the directory says: a mail-enabled object homed on this
// computer (its msExchHomeServerName or homeMDB names machine.json's computer) stays here, one
// homed on another server of the organisation goes to that server, anything else to the relay.
// Failures of the directory raise PlatformError: the receiver is tried again later.

#include <string>

namespace drossgate::tools {

struct Destination {
  enum class Kind { kHere, kServer, kRelay } kind = Kind::kRelay;
  std::string server;  // kServer: the home server's name
  // kServer: "lmtp://HOST:PORT" or "smtp://HOST:PORT", from machine.json's "servers" map, else
  // the server object's dNSHostName on port 25; empty when neither knows it.
  std::string url;
};

Destination Route(const std::string& address);

}  // namespace drossgate::tools
