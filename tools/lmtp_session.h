#pragma once
// One LMTP conversation (RFC 2033) as a state machine over received bytes: commands in, replies
// out, and at the end of each message's data one delivery request with one reply per accepted
// recipient, in order. No I/O happens here, so the protocol is tested and fuzzed without
// sockets. Bad input gets a reply and never a crash; a message is handed on only whole (its
// terminating "." line received), so a dropped connection delivers nothing.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drossgate::tools::lmtp {

struct Limits {
  size_t maxMessageSize = 50 * 1024 * 1024;
  size_t maxRecipients = 1000;
  size_t maxCommandLine = 2048;  // longer command lines are refused
};

struct Recipient {
  std::string address;  // as the client gave it
  std::string mailbox;  // the mailbox it names
};

struct Message {
  std::string sender;  // empty for the null sender
  std::vector<Recipient> recipients;
  std::string data;  // the message, dot-stuffing undone, byte for byte
};

// What a conversation needs from the service around it.
class Backend {
 public:
  virtual ~Backend() = default;
  // The mailbox of a recipient address; nullopt when there is none. Throws when the store
  // cannot say now (the recipient is then refused for now).
  virtual std::optional<std::string> FindMailbox(const std::string& address) = 0;
  // Delivers message to each recipient and returns one reply line per recipient, in order
  // (without the line end), each a complete reply: "250 2.0.0 ...", "451 4.3.0 ...".
  virtual std::vector<std::string> Deliver(const Message& message) = 0;
};

class Session {
 public:
  Session(Backend& backend, Limits limits, std::string hostname);

  std::string Greeting() const;
  // Takes the bytes received; returns the replies to send (complete lines, CR LF ended).
  std::string Feed(std::string_view bytes);
  // True once the conversation is over (QUIT, or input the service will not go on with).
  bool Closed() const { return closed_; }
  // True while a message's data is being received.
  bool InData() const { return state_ == State::kData; }

 private:
  enum class State { kCommand, kData, kSkipLine };
  void Command(std::string_view line, std::string& out);
  std::string Mail(std::string_view args);  // the reply
  std::string Rcpt(std::string_view args);
  void EndOfData(std::string& out);
  void Reset();

  Backend& backend_;
  Limits limits_;
  std::string hostname_;
  std::string pending_;  // received bytes not yet taken
  State state_ = State::kCommand;
  bool greeted_ = false;  // LHLO seen
  bool inTransaction_ = false;
  bool tooBig_ = false;
  bool closed_ = false;
  int errors_ = 0;  // replies of the 5xx kind so far
  Message message_;
};

}  // namespace drossgate::tools::lmtp
