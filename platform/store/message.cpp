// The access layer's message object and stream, and the store's file-system view.
#include <cerrno>
#include <cstring>

#include "error.h"
#include "fault.h"
#include "store/access.h"
#include "store/items.h"
#include "system/atomic_file.h"

namespace drossgate::platform::store {

namespace {

// --- Stream and Message ------------------------------------------------------------------

class StreamImpl final : public Stream {
 public:
  explicit StreamImpl(std::string data) : data_(std::move(data)) {}

  std::string ReadText() override {
    RequireOpen();
    if (position_ >= data_.size()) return {};
    std::string out = data_.substr(position_);
    position_ = data_.size();
    return out;
  }
  int64_t Position() const override { return static_cast<int64_t>(position_); }
  void SetPosition(int64_t position) override {
    RequireOpen();
    if (position < 0 || static_cast<uint64_t>(position) > data_.size())
      Fail(errors::kInvalidArg,
           "The stream position " + std::to_string(position) + " is out of range");
    position_ = static_cast<size_t>(position);
  }
  void WriteText(const std::string& text) override {
    RequireOpen();
    if (position_ + text.size() > data_.size()) data_.resize(position_ + text.size());
    data_.replace(position_, text.size(), text);
    position_ += text.size();
  }
  void SaveToFile(const std::filesystem::path& path, SaveOption option, bool durable) override;
  void Close() override { open_ = false; }

 private:
  void RequireOpen() const {
    if (!open_) FailClosed();
  }
  std::string data_;
  size_t position_ = 0;
  bool open_ = true;
};

[[noreturn]] void FailWrite(const std::filesystem::path& path, const std::string& why) {
  Fail(errors::kFileWrite, "Write to file " + path.string() + " failed: " + why);
}

void StreamImpl::SaveToFile(const std::filesystem::path& path, SaveOption option, bool durable) {
  FaultPoint(Fault::kStoreStreamSave);
  RequireOpen();
  AtomicWrite how;
  // link() never replaces: an existing file makes it fail, and the file appears complete.
  how.replace = option == SaveOption::kCreateOverwrite;
  how.durable = durable;
  how.createFault = Fault::kStoreStreamCreate;
  how.writeFault = Fault::kStoreStreamWrite;
  const int err = WriteFileAtomically(path, data_, how);
  if (err == EEXIST && !how.replace)
    Fail(errors::kFileExists, "The file " + path.string() + " already exists");
  if (err != 0) FailWrite(path, std::strerror(err));
}

class MessageImpl final : public Message {
 public:
  void OpenDataSource(const std::string& url) override {
    FaultPoint(Fault::kStoreMessageOpen);
    Session& s = Engine::ForRoot().CurrentSession();
    ItemRow row = ResolveExisting(s, url);
    if (row.IsFolder())
      Fail(errors::kInvalidArg, "The item " + url + " is a folder, not a message");
    source_ = GetSource(s, row.id).value_or(std::string());
    open_ = true;
  }
  std::unique_ptr<Stream> GetStream() override {
    if (!open_) FailClosed();
    return std::make_unique<StreamImpl>(source_);
  }

 private:
  std::string source_;
  bool open_ = false;
};

}  // namespace

std::unique_ptr<Message> CreateMessage() {
  return std::make_unique<MessageImpl>();
}

std::vector<std::string> ListFileSystemView(const std::string& path) {
  std::vector<std::string> out;
  try {
    Session& s = Engine::ForRoot().CurrentSession();
    auto row = ResolveFileSystemPath(s, path);
    if (!row || !row->IsFolder()) return out;
    for (const ItemRow& c : Children(s, row->id)) out.push_back(c.name);
  } catch (const PlatformError&) {
    out.clear();
  }
  return out;
}

bool FileSystemFolderExists(const std::string& path) {
  try {
    Session& s = Engine::ForRoot().CurrentSession();
    auto row = ResolveFileSystemPath(s, path);
    return row && row->IsFolder();
  } catch (const PlatformError&) {
    return false;
  }
}

}  // namespace drossgate::platform::store
