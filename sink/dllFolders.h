#pragma once
// Folder operations of the move action: resolving a path that starts with the inbox to the
// mailbox's own inbox name, and creating every missing level of a folder path. Store errors
// are swallowed: the path comes back unchanged, the URL is returned in every case.

#include <string>

#include "evaluation.h"

namespace drossgate::sink {

// "inbox/Spam" in a mailbox whose inbox is ".../Posteingang" gives "Posteingang/Spam".
std::string ResolveInboxPath(const std::string& mailboxUrl, const std::string& folderPath);

// Creates the missing levels below mailboxUrl (each with the folder properties) and returns
// the URL of the deepest one; existing levels are left untouched.
std::string CreateFolderPath(const std::string& mailboxUrl, const std::string& folderPath,
                             const std::string& contentClass, bool flag3fe6);

using common::rules::TargetFolderUrl;

}  // namespace drossgate::sink
