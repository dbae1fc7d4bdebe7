#pragma once
// Store reads that the sink and the setup program's dry run make alike, so that a dry run
// resolves a forward exactly as a delivery does. They never fail: an item that cannot be read
// counts as absent.

#include <string>

namespace drossgate::common {

// Whether a forward to address, a mailbox in the container at containerUrl, would go back into
// the mailbox at mailboxUrl: both permanent URLs read from the store, the recipient's first.
bool ForwardsToOwnMailbox(const std::string& containerUrl, const std::string& address,
                          const std::string& mailboxUrl);

}  // namespace drossgate::common
