#include "Folders.h"

#include "Session.h"
#include "text.h"

namespace drossgate::setup {

namespace store = platform::store;

int CheckRegistrationItem(std::string& mailboxUrl, const std::string& folderName,
                          const std::string& itemName, ErrorLog* log,
                          store::Connection& connection) {
  const std::string subject = mailboxUrl;
  int result = -1;
  const bool reached = RunLogged(log, subject, [&] {
    connection.SetConnectionString(mailboxUrl);
    connection.Open(mailboxUrl);
    if (!text::EqualsNoCase(folderName, "inbox")) {
      mailboxUrl += "/" + folderName;
      return;
    }
    auto root = store::OpenRecord(mailboxUrl, &connection, store::Mode::kRead);
    store::Fields& fields = root->GetFields();
    // The inbox's own name differs between mailboxes; its URL is a property of the root.
    if (fields.Count() > 0) mailboxUrl = store::ValueText(fields.Get("urn:schemas:httpmail:inbox"));
    root->Close();
  });
  if (reached) {
    result = 0;
    mailboxUrl += "/" + itemName;
    if (platform::SkipOnError(
            [&] { store::OpenRecord(mailboxUrl, &connection, store::Mode::kRead)->Close(); }))
      result = 1;
  }
  platform::SkipOnError([&] {
    if (connection.IsOpen()) connection.Close();
  });
  return result;
}

}  // namespace drossgate::setup
