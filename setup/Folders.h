#pragma once
// The mailbox folder lookup: whether a mailbox's inbox (or another of its folders) holds a
// named item. Store failures never escape: they become the result -1 and, when a log is
// given, one entry in it.

#include <string>

#include "store/store.h"

namespace drossgate::setup {

class ErrorLog;

// 1: the item exists; 0: the mailbox was reached but the item (or the folder) is absent;
// -1: the mailbox cannot be opened or its inbox cannot be read (logged in log when given).
// The folder name "inbox" (any case) is looked up through the mailbox's inbox property; any
// other name is a path below the mailbox. On return mailboxUrl holds the URL reached last.
// connection is opened on the mailbox for the call and closed again.
int CheckRegistrationItem(std::string& mailboxUrl, const std::string& folderName,
                          const std::string& itemName, ErrorLog* log,
                          platform::store::Connection& connection);

}  // namespace drossgate::setup
