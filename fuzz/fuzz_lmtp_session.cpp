// The LMTP conversation on arbitrary bytes, fed in arbitrary pieces: besides not crashing,
// every reply is a complete line with a three-digit code, a message is handed on only with at
// least one recipient, and it gets exactly one reply per recipient.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "lmtp_session.h"

namespace {

using drossgate::tools::lmtp::Backend;
using drossgate::tools::lmtp::Message;

void Require(bool ok) {
  if (!ok) std::abort();
}

class FakeBackend final : public Backend {
 public:
  std::optional<std::string> FindMailbox(const std::string& address) override {
    if (address == "down") throw std::runtime_error("store unavailable");
    if (address.empty() || address[0] == 'x') return std::nullopt;
    return address;
  }
  std::vector<std::string> Deliver(const Message& m) override {
    Require(!m.recipients.empty());
    expected += m.recipients.size();
    return std::vector<std::string>(m.recipients.size(), "250 2.0.0 ok");
  }
  size_t expected = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  FakeBackend backend;
  drossgate::tools::lmtp::Limits limits;
  limits.maxMessageSize = 512;
  limits.maxRecipients = 4;
  limits.maxCommandLine = 128;
  drossgate::tools::lmtp::Session session(backend, limits, "fuzz");
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t piece = 1 + data[0] % 16;  // the first byte chooses how the input is cut
  std::string replies;
  for (size_t at = 0; at < input.size() && !session.Closed(); at += piece)
    replies += session.Feed(input.substr(at, piece));
  size_t delivered = 0;
  for (size_t pos = 0; pos < replies.size();) {
    const size_t end = replies.find("\r\n", pos);
    Require(end != std::string::npos);
    const std::string_view line(replies.data() + pos, end - pos);
    Require(line.size() >= 4 && line[0] >= '2' && line[0] <= '5');
    Require(line[3] == ' ' || line[3] == '-');
    if (line.rfind("250 2.0.0 ok", 0) == 0) ++delivered;
    pos = end + 2;
  }
  Require(delivered == backend.expected);
  return 0;
}
