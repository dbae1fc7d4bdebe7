// The IMAP conversation on arbitrary bytes, fed in arbitrary pieces, logged in to a mailbox held
// in memory: besides not crashing, every response is a complete line (its literals whole) that
// starts with a tag, "*" or "+", and after the end nothing more is said.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "imap_session.h"
#include "memory_mailstore.h"

namespace {

using namespace drossgate::tools::imap;

void Require(bool ok) {
  if (!ok) std::abort();
}

class FakeBackend final : public Backend {
 public:
  LoginResult Login(const std::string& user, const std::string& password) override {
    LoginResult result;
    if (user == "u" && password == "p") result = {LoginResult::Outcome::kOk, "u"};
    return result;
  }
  void Logout(const std::string&) override {}
  std::unique_ptr<drossgate::platform::store::mail::MailStore> Open(const std::string&) override {
    auto store = std::make_unique<drossgate::fuzz::MemoryMailStore>();
    store->CreateFolder("Inbox/Spam");
    store->Append(
        "Inbox",
        "Subject: hi\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nx\r\n--b--\r\n",
        {}, 0);
    store->Append("Inbox", "From: a@b\r\n\r\nbody\r\n", {"\\Seen"}, 86400);
    return store;
  }
};

// Walks the responses line by line, stepping over literals.
void CheckResponses(std::string_view out) {
  size_t pos = 0;
  while (pos < out.size()) {
    Require(out[pos] != ' ' && out[pos] != '\r');
    size_t end;
    for (;;) {
      end = out.find("\r\n", pos);
      Require(end != std::string_view::npos);
      const std::string_view line = out.substr(pos, end - pos);
      const size_t open = line.rfind('{');
      if (line.empty() || line.back() != '}' || open == std::string_view::npos) break;
      const size_t size = std::strtoul(std::string(line.substr(open + 1)).c_str(), nullptr, 10);
      Require(end + 2 + size <= out.size());
      pos = end + 2 + size;
    }
    pos = end + 2;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  FakeBackend backend;
  Limits limits;
  limits.maxCommandLine = 256;
  limits.maxLiteral = 1024;
  ConnectionInfo connection;
  connection.loopback = (data[0] & 0x80) != 0;
  connection.tlsAvailable = true;
  Session session(backend, limits, connection);
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t piece = 1 + data[0] % 16;  // the first byte chooses how the input is cut
  std::string out = session.Greeting();
  for (size_t at = 0; at < input.size() && !session.Closed(); at += piece) {
    if (session.TlsRequested()) session.TlsStarted();
    out += session.Feed(input.substr(at, piece));
    out += session.Poll();
  }
  CheckResponses(out);
  Require(!session.Closed() || session.Feed("a NOOP\r\n").empty());
  return 0;
}
