#pragma once
// One IMAP4rev1 conversation (RFC 3501 with IDLE, UIDPLUS, MOVE, SPECIAL-USE, LITERAL+, ENABLE,
// NAMESPACE, ID) as a state machine over received bytes: commands in, responses out. No I/O and
// no TLS happen here, so the protocol is tested and fuzzed without sockets; the service around
// it owns the socket, the TLS layer and the clocks. Bad input gets a BAD response or ends the
// conversation, never a crash; a user reaches only the mailbox their login gives.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "store/mailstore.h"

namespace drossgate::tools::imap {

struct Limits {
  size_t maxCommandLine = 64 * 1024;     // a command's text without its literals
  size_t maxLiteral = 50 * 1024 * 1024;  // one literal (APPEND's message included)
  int maxBadCommands = 20;               // then the conversation ends
};

// What the service knows of the connection.
struct ConnectionInfo {
  bool tls = false;           // encrypted now
  bool tlsAvailable = false;  // STARTTLS can be offered (a certificate is configured)
  bool loopback = false;      // the peer is on this machine: plain-text login allowed
};

struct LoginResult {
  enum class Outcome { kOk, kWrongCredentials, kTooManyConnections, kUnavailable };
  Outcome outcome = Outcome::kWrongCredentials;
  std::string mailbox;  // the alias of the user's mailbox, when kOk
};

// What a conversation needs from the service around it.
class Backend {
 public:
  virtual ~Backend() = default;
  // Checks the credentials (and delays a failure); on kOk the user holds one of their
  // connections until Logout.
  virtual LoginResult Login(const std::string& user, const std::string& password) = 0;
  virtual void Logout(const std::string& mailbox) = 0;
  virtual std::unique_ptr<platform::store::mail::MailStore> Open(const std::string& mailbox) = 0;
};

class Session {
 public:
  Session(Backend& backend, Limits limits, ConnectionInfo connection);
  ~Session();  // a logged-in user's connection is released
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  std::string Greeting();
  // Takes received bytes; returns the responses to send (complete lines, CR LF ended, with
  // their literals).
  std::string Feed(std::string_view bytes);
  // Where the responses go while a long answer (a FETCH of many messages) is made, so that it
  // is never held whole: each time they pass about a megabyte, the writer gets them (in order,
  // complete lines) and returns false once the connection is gone. Without a writer, Feed
  // returns everything.
  using Writer = std::function<bool(std::string_view)>;
  void SetWriter(Writer writer);
  // The untagged responses (EXISTS, EXPUNGE, FETCH FLAGS) for changes made elsewhere to the
  // selected folder, while the client idles; empty otherwise. The service calls it every second
  // or so.
  std::string Poll();
  bool Idling() const;
  // True once the conversation is over (LOGOUT, too many bad commands, a literal too large).
  bool Closed() const;
  // True after the OK to STARTTLS: the service starts TLS before anything more is read or
  // sent, then calls TlsStarted. Bytes that arrived after the STARTTLS line were discarded.
  bool TlsRequested() const;
  void TlsStarted();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace drossgate::tools::imap
