#pragma once
// The envelope at the top of an SMTP pickup file: x-receiver: and x-sender: lines, in any order
// and letter case, before the message source. Reading never fails: a file without envelope
// lines gives no receivers, and the message then starts at its first byte.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace drossgate::tools {

struct Envelope {
  std::vector<std::string> receivers;  // each value without surrounding blanks
  std::string sender;                  // the last x-sender line's value
  size_t bodyStart = 0;                // where the message source begins
};

Envelope ReadEnvelope(std::string_view content);

// The address inside "<" ">" when there is one, else the whole text; without surrounding spaces.
std::string ReceiverAddress(std::string_view receiver);

}  // namespace drossgate::tools
