#pragma once
// A mailbox held in memory with the MailStore interface's promises (UIDs only grow, names
// checked, kNotFound and kInvalidArg where the store raises them), for fuzzing the IMAP session
// without a database. Not for production: nothing is persisted.

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "error.h"
#include "store/mailstore.h"
#include "text.h"

namespace drossgate::fuzz {

namespace mail = platform::store::mail;

class MemoryMailStore final : public mail::MailStore {
 public:
  explicit MemoryMailStore(std::string inbox = "Inbox") : inbox_(std::move(inbox)) { Make(inbox_); }

  std::vector<mail::FolderInfo> Folders() override {
    std::vector<mail::FolderInfo> out;
    for (const auto& [key, f] : folders_) {
      mail::FolderInfo info{f.path, key == text::ToLower(inbox_), false, ""};
      for (const auto& [other, unused] : folders_)
        info.hasChildren |= other.rfind(key + "/", 0) == 0;
      if (text::EndsWithNoCase(f.path, "Junk")) info.specialUse = "\\Junk";
      out.push_back(info);
    }
    return out;
  }
  std::string InboxPath() override { return inbox_; }
  std::optional<mail::FolderState> Folder(const std::string& path) override {
    const auto found = folders_.find(text::ToLower(path));
    if (found == folders_.end()) return std::nullopt;
    mail::FolderState state{found->second.uidValidity, found->second.uidNext, {}};
    for (const auto& [uid, m] : found->second.messages) state.messages.push_back(m.info);
    return state;
  }
  uint64_t ChangeCounter() override { return counter_; }
  void CreateFolder(const std::string& path) override {
    Check(path);
    if (folders_.count(text::ToLower(path)))
      platform::Fail(platform::errors::kAlreadyExists, "exists");
    for (size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1))
      if (!folders_.count(text::ToLower(path.substr(0, slash)))) Make(path.substr(0, slash));
    Make(path);
  }
  void DeleteFolder(const std::string& path) override {
    const std::string key = Get(path).path;
    if (text::EqualsNoCase(key, inbox_)) platform::Fail(platform::errors::kInvalidArg, "inbox");
    for (const auto& [other, unused] : folders_)
      if (other.rfind(text::ToLower(key) + "/", 0) == 0)
        platform::Fail(platform::errors::kInvalidArg, "has children");
    folders_.erase(text::ToLower(key));
    ++counter_;
  }
  void RenameFolder(const std::string& from, const std::string& to) override {
    Get(from);
    CreateFolder(to);
    std::swap(folders_[text::ToLower(to)].messages, Get(from).messages);
    if (!text::EqualsNoCase(from, inbox_)) folders_.erase(text::ToLower(from));
    ++counter_;
  }
  std::vector<std::string> Subscriptions() override {
    return std::vector<std::string>(subscribed_.begin(), subscribed_.end());
  }
  void SetSubscribed(const std::string& path, bool subscribed) override {
    Check(path);
    if (subscribed)
      subscribed_.insert(path);
    else
      subscribed_.erase(path);
  }
  std::string Source(const std::string& folder, uint32_t uid) override {
    Stored& f = Get(folder);
    const auto found = f.messages.find(uid);
    if (found == f.messages.end()) platform::Fail(platform::errors::kNotFound, "no message");
    return found->second.source;
  }
  std::pair<uint32_t, uint32_t> Append(const std::string& folder, const std::string& source,
                                       const std::vector<std::string>& flags,
                                       int64_t internalDate) override {
    Stored& f = Get(folder);
    const uint32_t uid = f.uidNext++;
    f.messages[uid] = {{uid, static_cast<int64_t>(source.size()), internalDate, flags}, source};
    ++counter_;
    return {f.uidValidity, uid};
  }
  mail::CopyResult Copy(const std::string& from, const std::vector<uint32_t>& uids,
                        const std::string& to) override {
    Stored& source = Get(from);
    mail::CopyResult result{Get(to).uidValidity, {}};
    for (uint32_t uid : uids) {
      const auto found = source.messages.find(uid);
      if (found == source.messages.end()) continue;
      const Message copy = found->second;
      result.uids.emplace_back(
          uid, Append(to, copy.source, copy.info.flags, copy.info.internalDate).second);
    }
    return result;
  }
  mail::CopyResult Move(const std::string& from, const std::vector<uint32_t>& uids,
                        const std::string& to) override {
    mail::CopyResult result = Copy(from, uids, to);
    for (const auto& [uid, unused] : result.uids) Get(from).messages.erase(uid);
    return result;
  }
  std::vector<mail::MessageInfo> StoreFlags(const std::string& folder,
                                            const std::vector<uint32_t>& uids,
                                            const std::vector<std::string>& flags,
                                            mail::FlagChange change) override {
    std::vector<mail::MessageInfo> out;
    for (uint32_t uid : uids) {
      const auto found = Get(folder).messages.find(uid);
      if (found == Get(folder).messages.end()) continue;
      std::vector<std::string>& now = found->second.info.flags;
      if (change == mail::FlagChange::kReplace) now.clear();
      for (const std::string& flag : flags) {
        now.erase(std::remove(now.begin(), now.end(), flag), now.end());
        if (change != mail::FlagChange::kRemove) now.push_back(flag);
      }
      out.push_back(found->second.info);
    }
    ++counter_;
    return out;
  }
  std::vector<uint32_t> Expunge(const std::string& folder,
                                const std::optional<std::vector<uint32_t>>& uids) override {
    std::vector<uint32_t> removed;
    auto& messages = Get(folder).messages;
    for (auto it = messages.begin(); it != messages.end();) {
      const std::vector<std::string>& flags = it->second.info.flags;
      const bool listed = !uids || std::count(uids->begin(), uids->end(), it->first);
      if (listed && std::count(flags.begin(), flags.end(), mail::kDeleted)) {
        removed.push_back(it->first);
        it = messages.erase(it);
      } else {
        ++it;
      }
    }
    ++counter_;
    return removed;
  }

 private:
  struct Message {
    mail::MessageInfo info;
    std::string source;
  };
  struct Stored {
    std::string path;
    uint32_t uidValidity = 0;
    uint32_t uidNext = 1;
    std::map<uint32_t, Message> messages;
  };

  static void Check(const std::string& path) {
    for (const std::string& level : text::Split(path, '/'))
      if (level.empty() || level == "." || level == ".." ||
          std::any_of(level.begin(), level.end(), [](char c) { return c > 0 && c < 0x20; }))
        platform::Fail(platform::errors::kInvalidArg, "bad name");
    if (path.empty() || path.back() == '/')
      platform::Fail(platform::errors::kInvalidArg, "bad name");
  }
  Stored& Get(const std::string& path) {
    const auto found = folders_.find(text::ToLower(path));
    if (found == folders_.end()) platform::Fail(platform::errors::kNotFound, "no folder");
    return found->second;
  }
  void Make(const std::string& path) {
    folders_[text::ToLower(path)] = Stored{path, ++validity_, 1, {}};
    ++counter_;
  }

  std::string inbox_;
  std::map<std::string, Stored> folders_;  // by lower-case path
  std::set<std::string> subscribed_;
  uint64_t counter_ = 1;
  uint32_t validity_ = 0;
};

}  // namespace drossgate::fuzz
