#pragma once
// What the store reads from a message source when it is delivered or saved: the decoded
// subject, the sender's bare address and the raw header block. Parsing never fails: a source
// that is not a message gives an empty subject, no sender and whatever header block GMime
// finds.

#include <optional>
#include <string>
#include <string_view>

#include "store.h"  // ParsedMessage

namespace drossgate::platform::store {

ParsedMessage ParseMessage(std::string_view source);

// The item name a message with this subject gets, before its ".EML": characters a name
// cannot hold replaced, trimmed, shortened; "No Subject" when nothing is left.
std::string ItemNameFromSubject(std::string_view subject);

}  // namespace drossgate::platform::store
