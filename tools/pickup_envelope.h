#pragma once
// The envelope at the top of an SMTP pickup file and the pickup service's loop marks. The
// envelope is one or more "x-receiver:" lines followed by one "x-sender:" line, which ends it;
// everything after that line is the message, byte for byte, whatever it holds (a message that
// begins with envelope lines of its own cannot add receivers or change the sender). Reading
// never fails: a file that does not begin with such an envelope says why in error.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace drossgate::tools {

struct Envelope {
  std::vector<std::string> receivers;  // each without surrounding blanks, no address twice
  std::string sender;                  // the x-sender line's value
  size_t bodyStart = 0;                // where the message source begins
  std::string error;                   // why the file has no envelope; empty when it has one
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
