#pragma once
// A mail client's view of one mailbox: its folders by path ("/" between levels, the inbox under
// its own name), the visible messages of a folder by UID, their flags and their sources byte for
// byte. Hidden items (registrations, parked messages) never appear. Within a folder UIDs only
// grow and are never given twice; a folder made anew gets a new UIDVALIDITY. Everything a client
// changes is a client save (the store's save events without the delivered flag), one store
// transaction per call. Failures raise PlatformError: errors::kNotFound for a folder or message
// that is not there, errors::kInvalidArg for a name no folder may have, kAlreadyExists for a
// folder that exists.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace drossgate::platform::store::mail {

// System flags as clients spell them; any other flag is a keyword (an atom, kept as given).
inline constexpr const char* kSeen = "\\Seen";  // the store's urn:schemas:httpmail:read
inline constexpr const char* kAnswered = "\\Answered";
inline constexpr const char* kFlagged = "\\Flagged";
inline constexpr const char* kDeleted = "\\Deleted";
inline constexpr const char* kDraft = "\\Draft";

struct FolderInfo {
  std::string path;  // below the mailbox root, "/" between levels, as stored
  bool isInbox = false;
  bool hasChildren = false;
  // "\\Trash" (Deleted Items), "\\Sent" (Sent Items), "\\Drafts" (Drafts), "\\Junk" (a folder
  // named "Junk" or "Spam" at any level), else empty.
  std::string specialUse;
};

struct MessageInfo {
  uint32_t uid = 0;
  int64_t size = 0;                // of the source, in bytes
  int64_t internalDate = 0;        // Unix time the item was delivered or appended
  std::vector<std::string> flags;  // system flags first, in the order above, then keywords
};

struct FolderState {
  uint32_t uidValidity = 0;
  uint32_t uidNext = 0;               // exact: the UID the next message put here gets
  std::vector<MessageInfo> messages;  // visible messages, UID ascending
};

enum class FlagChange { kReplace, kAdd, kRemove };

// Where messages went: each source UID with its new UID at the destination.
struct CopyResult {
  uint32_t uidValidity = 0;  // the destination's
  std::vector<std::pair<uint32_t, uint32_t>> uids;
};

class MailStore {
 public:
  virtual ~MailStore() = default;

  // Every folder of the mailbox (not the root itself), parents before children.
  virtual std::vector<FolderInfo> Folders() = 0;
  // The path of the inbox (its own name, "Posteingang" included).
  virtual std::string InboxPath() = 0;
  // The folder's state now; nullopt when there is no such folder. path is matched without
  // regard to ASCII case per level, as the store resolves names.
  virtual std::optional<FolderState> Folder(const std::string& path) = 0;
  // Changes (to any value) whenever anything in the store may have changed since the last
  // call, in this process or another; cheap enough to ask every second.
  virtual uint64_t ChangeCounter() = 0;

  // Each missing level is created as a mail folder; kAlreadyExists when the last one exists.
  // A trailing "/" (a folder meant to hold others) is allowed here.
  virtual void CreateFolder(const std::string& path) = 0;
  // Deletes the folder with its messages; the inbox, the mailbox's other special folders
  // (Sent Items, Drafts...), folders with subfolders and folders holding items a client cannot
  // see (event registrations, hidden items) are refused (errors::kInvalidArg).
  virtual void DeleteFolder(const std::string& path) = 0;
  // Renames (and moves) a folder with what it holds. Renaming the inbox moves its messages
  // into a new folder and leaves the inbox empty.
  virtual void RenameFolder(const std::string& from, const std::string& to) = 0;
  virtual std::vector<std::string> Subscriptions() = 0;
  virtual void SetSubscribed(const std::string& path, bool subscribed) = 0;

  // The stored source; kNotFound when the message is no longer in the folder.
  virtual std::string Source(const std::string& folder, uint32_t uid) = 0;
  // Saves source into folder with flags and internalDate (now when 0); returns the folder's
  // UIDVALIDITY and the new UID.
  virtual std::pair<uint32_t, uint32_t> Append(const std::string& folder, const std::string& source,
                                               const std::vector<std::string>& flags,
                                               int64_t internalDate) = 0;
  // UIDs no longer in the folder are skipped.
  virtual CopyResult Copy(const std::string& from, const std::vector<uint32_t>& uids,
                          const std::string& to) = 0;
  virtual CopyResult Move(const std::string& from, const std::vector<uint32_t>& uids,
                          const std::string& to) = 0;
  // Changes the flags of the messages; returns each one's flags afterwards.
  virtual std::vector<MessageInfo> StoreFlags(const std::string& folder,
                                              const std::vector<uint32_t>& uids,
                                              const std::vector<std::string>& flags,
                                              FlagChange change) = 0;
  // Removes the messages flagged \Deleted (only those among uids when given); returns the
  // UIDs removed, ascending.
  virtual std::vector<uint32_t> Expunge(const std::string& folder,
                                        const std::optional<std::vector<uint32_t>>& uids) = 0;
};

// The view of the mailbox with this alias (or SMTP address); kNotFound when there is none.
std::unique_ptr<MailStore> OpenMailStore(const std::string& mailbox);

}  // namespace drossgate::platform::store::mail
