// The pickup envelope reader on arbitrary bytes: besides not crashing, the message starts at a
// line start, every value is one trimmed line, and the envelope written out again in front of
// the message reads back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "pickup_envelope.h"

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
  Require(env.bodyStart <= content.size());
  Require(env.bodyStart == 0 || env.bodyStart == content.size() ||
          content[env.bodyStart - 1] == '\n');
  RequireOneTrimmedLine(env.sender);
  for (const std::string& r : env.receivers) {
    RequireOneTrimmedLine(r);
    const std::string address = ReceiverAddress(r);
    Require(address.size() <= r.size());
    Require(address.empty() || (address.front() != ' ' && address.back() != ' '));
  }

  // The first line of the message is no envelope line, so a rewritten envelope stops there too.
  std::string rewritten;
  for (const std::string& r : env.receivers) rewritten += "x-receiver: " + r + "\r\n";
  if (!env.sender.empty()) rewritten += "X-Sender: " + env.sender + "\n";
  const size_t envelopeSize = rewritten.size();
  rewritten += content.substr(env.bodyStart);
  const Envelope again = ReadEnvelope(rewritten);
  Require(again.receivers == env.receivers);
  Require(again.sender == env.sender);
  Require(again.bodyStart == envelopeSize);
  return 0;
}
