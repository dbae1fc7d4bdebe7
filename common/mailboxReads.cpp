#include "mailboxReads.h"

#include "error.h"
#include "evaluation.h"
#include "store/names.h"
#include "store/store.h"

namespace drossgate::common {

namespace {

namespace store = platform::store;

// The permanent URL of the item at url, or fallback when it cannot be read.
std::string PermanentUrlOr(const std::string& url, const std::string& fallback) {
  return platform::ValueOr(fallback, [&] {
    auto root = store::OpenRecord(url, nullptr, store::Mode::kRead);
    std::string permanent = store::ValueText(root->GetFields().Get(store::names::kPermanentUrl));
    root->Close();
    return permanent;
  });
}

}  // namespace

bool ForwardsToOwnMailbox(const std::string& containerUrl, const std::string& address,
                          const std::string& mailboxUrl) {
  const std::string recipientRoot = containerUrl + address;
  // Read in this order, one after the other: the recipient's first.
  const std::string recipient = PermanentUrlOr(recipientRoot, recipientRoot);
  const std::string own = PermanentUrlOr(mailboxUrl, std::string());
  return rules::IsOwnMailbox(recipient, own);
}

}  // namespace drossgate::common
