#pragma once
// Mail for receivers outside this platform, handed in one transaction per message to the relay
// host over SMTP (RFC 5321, through libcurl) or to the local mail server's sendmail interface,
// as machine.json's "relay" section says, or to another server of the organisation over LMTP
// (RFC 2033) or SMTP. Sending never throws: every receiver gets a reply,
// and one that could not be had (no connection, a dropped one) is a temporary failure.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drossgate::tools {

struct RelaySettings {
  bool enabled = false;  // "relay" names a host or chooses sendmail
  bool viaSendmail = false;
  bool lmtp = false;  // LMTP instead of SMTP: another server of the organisation
  std::string host;
  int64_t port = 25;
  bool starttls = false;         // required, not merely tried
  std::filesystem::path caFile;  // the authorities trusted for it; empty: the system's
  std::string user;              // "auth": the user name; empty sends no AUTH
  std::filesystem::path passwordFile;
  std::string sendmail = "/usr/sbin/sendmail";
  bool forwarderSender = false;     // "sender": "forwarder" instead of the file's x-sender
  int64_t retryFirst = 60;          // seconds before the second attempt, doubled each time
  int64_t retryMax = 3600;          // the longest wait between attempts
  int64_t giveUpAfter = 5 * 86400;  // a receiver still failing after this age is set aside
  int64_t timeout = 300;            // one transaction's limit, in seconds
};

// The "relay" section of the current root's machine.json. Raises PlatformError (kCorrupt)
// naming the setting that is wrong.
RelaySettings ReadRelaySettings();

struct RelayReply {
  int code = 0;  // the SMTP reply code; 0 when no reply was had
  std::string text;

  bool Done() const { return code >= 200 && code < 300; }
  bool Refused() const { return code >= 500 && code < 600; }  // for good
};

// The settings for another server of the organisation at "lmtp://HOST:PORT" or
// "smtp://HOST:PORT" (no login, no TLS: the servers' own network); nullopt for another text.
std::optional<RelaySettings> ForServer(const RelaySettings& relay, const std::string& url);

// Sends source from sender to receivers in one transaction and hands record one reply per
// receiver, in order. record runs while the SMTP connection is still open, before QUIT: what is
// recorded there is recorded before the server has seen the conversation end.
using RelayRecord = std::function<void(const std::vector<RelayReply>&)>;
void Relay(const RelaySettings& settings, const std::string& sender,
           const std::vector<std::string>& receivers, std::string_view source,
           const RelayRecord& record);

// An address that can go into an SMTP command or a sendmail argument as it is: an "@", and no
// blank, control character or angle bracket that could end the command or start another.
bool IsMailAddress(std::string_view address);

// Seconds to wait after a receiver's attempt number `attempts` failed for now: retryFirst,
// doubled each attempt, never more than retryMax.
int64_t RetryWait(const RelaySettings& settings, int64_t attempts);

}  // namespace drossgate::tools
