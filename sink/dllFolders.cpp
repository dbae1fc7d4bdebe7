#include "dllFolders.h"

#include "error.h"
#include "store/store.h"
#include "text.h"

namespace drossgate::sink {

namespace store = platform::store;
using platform::SkipOnError;

std::string ResolveInboxPath(const std::string& mailboxUrl, const std::string& folderPath) {
  // Only a path that begins with the inbox needs the mailbox's inbox name.
  if (!text::EqualsNoCase(std::string_view(folderPath).substr(0, folderPath.find('/')), "inbox"))
    return folderPath;
  std::string inboxUrl;
  // A mailbox root without that field keeps the name as written.
  SkipOnError([&] {
    auto root = store::OpenRecord(mailboxUrl, nullptr, store::Mode::kRead);
    inboxUrl = store::ValueText(root->GetFields().Get("urn:schemas:httpmail:inbox"));
    root->Close();
  });
  return common::rules::ResolveInboxName(folderPath, inboxUrl);
}

std::string CreateFolderPath(const std::string& mailboxUrl, const std::string& folderPath,
                             const std::string& contentClass, bool flag3fe6) {
  auto conn = store::CreateConnection();
  SkipOnError([&] {
    conn->SetProvider(store::kProvider);
    conn->Open(mailboxUrl);
  });
  std::string url = mailboxUrl;
  for (const std::string& segment : text::Split(folderPath, '/')) {
    if (segment.empty()) continue;
    url += "/" + segment;
    // A level that exists already fails to open for creation and is passed over untouched.
    SkipOnError([&] {
      auto folder =
          store::OpenRecord(url, conn.get(), store::Mode::kReadWrite, store::kCreateCollection);
      store::Fields& f = folder->GetFields();
      f.Set("http://schemas.microsoft.com/mapi/proptag/x3fe6000b", flag3fe6);
      f.Set("http://schemas.microsoft.com/exchange/outlook/outlookfolderclass",
            std::string("IPF.Note"));
      f.Set("DAV:contentclass", contentClass);
      f.Update();
      folder->Close();
    });
  }
  SkipOnError([&] { conn->Close(); });
  return url;
}

}  // namespace drossgate::sink
