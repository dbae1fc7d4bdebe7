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

// Loop detection as mail servers do it: each local delivery puts a Delivered-To: line for its
// mailbox on top of the message, and a message whose header already names the mailbox it is
// about to enter has been there before.
bool HasDeliveredTo(std::string_view source, const std::vector<std::string>& addresses);
// The source with "Delivered-To: address" on top, in the line ending the source itself uses.
std::string WithDeliveredTo(std::string_view source, std::string_view address);

}  // namespace drossgate::tools
