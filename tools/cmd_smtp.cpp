// smtp [--once]: the SMTP service's pickup directory. Each finished *.eml file there starts
// with x-receiver: and x-sender: envelope lines; the message after them is delivered to the
// local mailbox owning the receiver address (a real delivery, so its events run), and the file
// is removed only once every delivery has committed. A file that cannot be delivered is moved
// to undeliverable/ with a .reason file beside it and never deleted.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "error.h"
#include "pickup_envelope.h"
#include "store/store.h"
#include "system/registry.h"
#include "text.h"

namespace drossgate::tools {

namespace {

namespace fs = std::filesystem;
namespace store = platform::store;
using Json = nlohmann::ordered_json;

std::atomic<bool> gStop{false};

void OnSignal(int) {
  gStop = true;
}

// The PickUp share's path from the registry, else the root's own pickup folder.
fs::path PickupDirectory() {
  using namespace platform::registry;
  Key key = 0;
  if (OpenKey(Hive::kLocalMachine, "SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares",
              key) == kSuccess) {
    std::vector<std::string> entries;
    Status st = QueryMultiString(key, "PickUp", entries);
    CloseKey(key);
    if (st == kSuccess) {
      for (const std::string& e : entries)
        if (text::StartsWithNoCase(e, "Path=") && e.size() > 5) return e.substr(5);
    }
  }
  return Root() / "pickup";
}

void FsyncFolder(const fs::path& folder) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

bool WriteReason(const fs::path& file, const std::string& reason) {
  fs::path tmp = file.parent_path() / ("." + file.filename().string() + ".tmp");
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::string text = reason + "\n";
  bool ok =
      write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok) ok = rename(tmp.c_str(), file.c_str()) == 0;
  if (!ok) unlink(tmp.c_str());
  return ok;
}

// Moves the file into undeliverable/ under a free name, the reason written beside it first.
Json SetAside(const fs::path& file, const std::string& reason) {
  Json line{{"file", file.string()}, {"status", "undeliverable"}, {"reason", reason}};
  fs::path dir = file.parent_path() / "undeliverable";
  std::error_code ec;
  fs::create_directories(dir, ec);
  std::string stem = file.stem().string(), ext = file.extension().string();
  fs::path target = dir / file.filename();
  for (int n = 2; fs::exists(target, ec) || fs::exists(target.string() + ".reason", ec); ++n)
    target = dir / (stem + "-" + std::to_string(n) + ext);
  if (!WriteReason(target.string() + ".reason", reason) ||
      rename(file.c_str(), target.c_str()) != 0) {
    line["status"] = "error";
    line["error"] = "cannot move the file to " + target.string() + ": " + std::strerror(errno);
    return line;
  }
  FsyncFolder(dir);
  FsyncFolder(file.parent_path());
  line["moved"] = target.string();
  return line;
}

struct FileDescriptor {
  int fd = -1;
  ~FileDescriptor() {
    if (fd >= 0) close(fd);
  }
};

// Handles one pickup file; nullopt when it is not ours to handle (gone, or taken by another
// process). failed is set when the file stays for a later attempt.
std::optional<Json> HandleFile(const fs::path& file, bool& failed) {
  FileDescriptor f;
  f.fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (f.fd < 0) return std::nullopt;
  // Another pickup service working on the same folder holds the lock of a file it has taken.
  if (flock(f.fd, LOCK_EX | LOCK_NB) != 0) return std::nullopt;
  // A read lease is refused while any process has the file open for writing: a writer that
  // drops the file in place has not finished it yet. File systems without leases pass.
  if (fcntl(f.fd, F_SETLEASE, F_RDLCK) == 0) {
    fcntl(f.fd, F_SETLEASE, F_UNLCK);
  } else if (errno == EAGAIN) {
    return std::nullopt;
  }
  struct stat st {};
  if (fstat(f.fd, &st) != 0 || st.st_nlink == 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  std::string content;
  char buf[65536];
  for (;;) {
    ssize_t n = read(f.fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      failed = true;
      return Json{{"file", file.string()}, {"status", "error"}, {"error", std::strerror(errno)}};
    }
    if (n == 0) break;
    content.append(buf, static_cast<size_t>(n));
  }
  Envelope env = ReadEnvelope(content);
  if (env.receivers.empty()) return SetAside(file, "the file has no x-receiver line");
  std::vector<std::pair<std::string, store::admin::MailboxInfo>> targets;
  for (const std::string& r : env.receivers) {
    std::string address = ReceiverAddress(r);
    auto mailbox = address.empty() ? std::nullopt : store::admin::FindMailbox(address);
    if (!mailbox || mailbox->isSystem)
      return SetAside(file, "no local mailbox has the address \"" + address + "\"");
    targets.emplace_back(address, *mailbox);
  }
  const std::string source = content.substr(env.bodyStart);
  for (const auto& [address, mailbox] : targets) {
    std::vector<std::string> names = mailbox.addresses;
    names.push_back(mailbox.alias);
    if (HasDeliveredTo(source, names)) return SetAside(file, "mail forwarding loop for " + address);
  }
  Json line{{"file", file.string()}, {"status", "delivered"}, {"sender", env.sender}};
  Json deliveries = Json::array();
  for (const auto& [address, mailbox] : targets) {
    try {
      auto r = store::admin::Deliver(mailbox.alias, WithDeliveredTo(source, address));
      deliveries.push_back({{"receiver", address},
                            {"mailbox", mailbox.alias},
                            {"delivered", r.deliveredUrl},
                            {"now", r.nowUrl ? Json(*r.nowUrl) : Json(nullptr)}});
    } catch (const platform::PlatformError& e) {
      // The store refused for now (busy, failing): the file stays and is tried again.
      failed = true;
      line["status"] = "deferred";
      line["error"] = e.description();
      line["deliveries"] = deliveries;
      return line;
    }
  }
  line["deliveries"] = deliveries;
  if (unlink(file.c_str()) != 0) {
    failed = true;
    line["status"] = "error";
    line["error"] =
        std::string("delivered, but the file cannot be removed: ") + std::strerror(errno);
  }
  FsyncFolder(file.parent_path());
  return line;
}

// Finished messages only: *.eml (writers use hidden names until a file is complete).
std::vector<fs::path> PendingFiles(const fs::path& dir) {
  std::vector<std::pair<fs::file_time_type, fs::path>> found;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    const std::string name = e.path().filename().string();
    if (name.empty() || name[0] == '.' || !text::EndsWithNoCase(name, ".eml")) continue;
    std::error_code ec2;
    if (!e.is_regular_file(ec2)) continue;
    found.emplace_back(e.last_write_time(ec2), e.path());
  }
  std::sort(found.begin(), found.end());
  std::vector<fs::path> out;
  for (auto& [t, p] : found) out.push_back(p);
  return out;
}

}  // namespace

void AddSmtpCommand(CLI::App& app) {
  auto* cmd = app.add_subcommand("smtp", "Deliver the messages dropped into the pickup directory");
  auto once = std::make_shared<bool>(false);
  cmd->add_flag("--once", *once,
                "handle the files there now, then stop (default: poll until stopped)");
  cmd->callback([once] {
    const fs::path dir = PickupDirectory();
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
      throw std::runtime_error("the pickup directory " + dir.string() + " does not exist");
    if (!*once) {
      struct sigaction sa {};
      sa.sa_handler = OnSignal;
      sigemptyset(&sa.sa_mask);
      sigaction(SIGINT, &sa, nullptr);
      sigaction(SIGTERM, &sa, nullptr);
    }
    bool failed = false;
    do {
      for (const fs::path& file : PendingFiles(dir)) {
        if (gStop) break;
        bool fileFailed = false;
        if (auto line = HandleFile(file, fileFailed)) std::cout << DumpJson(*line) << std::endl;
        failed = failed || fileFailed;
      }
      for (int i = 0; !*once && !gStop && i < 10; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (!*once && !gStop);
    if (*once && failed) throw std::runtime_error("some pickup files could not be handled");
  });
}

}  // namespace drossgate::tools
