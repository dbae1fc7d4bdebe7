// The pickup envelope reader on arbitrary bytes: besides not crashing, an envelope is receivers
// then one sender, each value one trimmed line, no address twice, the message starting at a
// line start; and the envelope written out again in front of the message reads back the same,
// whatever the message itself begins with (it cannot add receivers or change the sender).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "pickup_envelope.h"
#include "text.h"

using drossgate::tools::Envelope;
using drossgate::tools::ReadEnvelope;
using drossgate::tools::ReceiverAddress;

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

void RequireOneTrimmedLine(std::string_view v) {
  Require(v.find('\n') == std::string_view::npos);
  if (v.empty()) return;
  Require(!IsBlank(v.front()));
  Require(!IsBlank(v.back()) && v.back() != '\r');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  const Envelope env = ReadEnvelope(content);
  if (!env.error.empty()) {
    Require(env.receivers.empty() && env.bodyStart == 0);
    return 0;
  }
  Require(!env.receivers.empty());
  Require(env.bodyStart <= content.size());
  Require(env.bodyStart == content.size() || content[env.bodyStart - 1] == '\n');
  RequireOneTrimmedLine(env.sender);
  for (size_t i = 0; i < env.receivers.size(); ++i) {
    const std::string& r = env.receivers[i];
    RequireOneTrimmedLine(r);
    const std::string address = ReceiverAddress(r);
    Require(address.size() <= r.size());
    Require(address.empty() || (address.front() != ' ' && address.back() != ' '));
    for (size_t j = 0; j < i; ++j)
      Require(!drossgate::text::EqualsNoCase(ReceiverAddress(env.receivers[j]), address));
  }

  std::string rewritten;
  for (const std::string& r : env.receivers) rewritten += "x-receiver: " + r + "\r\n";
  rewritten += "X-Sender: " + env.sender + "\n";
  const size_t envelopeSize = rewritten.size();
  rewritten += content.substr(env.bodyStart);
  const Envelope again = ReadEnvelope(rewritten);
  Require(again.error.empty());
  Require(again.receivers == env.receivers);
  Require(again.sender == env.sender);
  Require(again.bodyStart == envelopeSize);
  return 0;
}
