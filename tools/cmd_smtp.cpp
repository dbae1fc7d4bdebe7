// smtp [--once]: the SMTP service's pickup directory. Each finished *.eml file there starts
// with its envelope (x-receiver: lines, then the x-sender: line that ends it); the message
// after it is delivered to the local mailbox owning each receiver address (a real delivery, so
// its events run), and, when machine.json names a relay, sent on to every other receiver in
// one SMTP transaction. Each (file, receiver) is delivered exactly once, across failures of
// other receivers and kills of the service: the store records each local receiver's outcome in
// the transaction of its delivery, and each relayed one right after the relay's reply (the one
// moment a kill can repeat it); a retry skips what was done. A receiver the relay puts off
// waits in the folder for its next try (retry_first doubled each time, up to retry_max) until
// give_up_after. A receiver that cannot be delivered for good is set aside with its reason
// while the others are delivered; a file with receivers set aside (or without a valid
// envelope, or not a plain file of the platform's owner) is moved to undeliverable/ with a
// .reason file beside it and never deleted, once none of its receivers waits.
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
#include <ctime>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "error.h"
#include "log_journal.h"
#include "pickup_envelope.h"
#include "relay.h"
#include "route.h"
#include "store/history.h"
#include "store/queue.h"
#include "store/store.h"
#include "system/atomic_file.h"
#include "system/registry.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::tools {

namespace {

namespace fs = std::filesystem;
namespace store = platform::store;
namespace queue = platform::store::queue;
using Json = nlohmann::ordered_json;

std::atomic<bool> gStop{false};

void OnSignal(int) {
  gStop = true;
}

// smtp --once's exit status when it set something aside (1 is for files it could not handle).
constexpr int kSetAsideStatus = 3;

// A receiver count mail servers would refuse too; a file over it is set aside whole.
constexpr size_t kMaxReceivers = 1000;

// Moves the file into undeliverable/ under a free name, the reason written beside it first.
Json SetAside(const fs::path& file, const std::string& reason, Json line = Json::object()) {
  line["file"] = file.string();
  line["status"] = "undeliverable";
  line["reason"] = reason;
  const fs::path dir = file.parent_path() / "undeliverable";
  std::error_code ec;
  std::string error;
  if (!platform::CreatePrivateFolder(dir, error)) {
    line["status"] = "error";
    line["error"] = "cannot make " + dir.string() + ": " + error;
    return line;
  }
  std::string stem = file.stem().string(), ext = file.extension().string();
  fs::path target = dir / file.filename();
  for (int n = 2;
       fs::exists(fs::symlink_status(target, ec)) || fs::exists(target.string() + ".reason", ec);
       ++n)
    target = dir / (stem + "-" + std::to_string(n) + ext);
  int err = platform::WriteFileAtomically(target.string() + ".reason", reason + "\n");
  if (err == 0 && rename(file.c_str(), target.c_str()) != 0) err = errno;
  if (err != 0) {
    line["status"] = "error";
    line["error"] = "cannot move the file to " + target.string() + ": " + std::strerror(err);
    return line;
  }
  platform::SyncFolder(dir);
  platform::SyncFolder(file.parent_path());
  line["moved"] = target.string();
  return line;
}

struct FileDescriptor {
  int fd = -1;
  ~FileDescriptor() {
    if (fd >= 0) close(fd);
  }
};

// The owner of the platform root: only that user's files are taken from the pickup folder.
uid_t RootOwner() {
  struct stat st {};
  return stat(Root().c_str(), &st) == 0 ? st.st_uid : geteuid();
}

// A store failure that trying again cannot mend: the receiver is set aside for it.
bool Permanent(const platform::PlatformError& e) {
  namespace errors = platform::errors;
  return e.number() == errors::kNotFound || e.number() == errors::kInvalidArg ||
         e.number() == errors::kAccessDenied;
}

// What becomes of one receiver now: set aside for good, delivered, or waiting to be sent to
// its home server or (with a relay) to the relay, which is not recorded until it is tried.
// Raises a temporary store or directory failure, which leaves the receiver for a later attempt.
queue::Entry Dispose(const std::string& key, const fs::path& file, const std::string& address,
                     const std::string& source, bool relay, Json& deliveries) {
  queue::Entry e{key, text::ToLower(address), file.string(), queue::kSetAside, "", 1, 0, 0};
  auto mailbox = address.empty() ? std::nullopt : store::admin::FindMailbox(address);
  if (mailbox && mailbox->isSystem) mailbox.reset();
  std::optional<Destination> route;
  try {
    if (IsMailAddress(address)) route = Route(address);
  } catch (const platform::PlatformError&) {
    if (!mailbox && relay) throw;  // where it lives is not known now: not to the relay
  }
  const auto kind = route ? route->kind : Destination::Kind::kHere;
  if (kind == Destination::Kind::kServer ||
      (!mailbox && relay && kind == Destination::Kind::kRelay)) {
    e.state = queue::kWaiting;
    e.attempts = 0;
    return e;
  }
  if (!mailbox) {
    e.detail = "no local mailbox has the address \"" + address + "\"";
    return e;
  }
  std::vector<std::string> names = mailbox->addresses;
  names.push_back(mailbox->alias);
  if (HasDeliveredTo(source, names)) {
    e.detail = "mail forwarding loop for " + address;
    return e;
  }
  try {
    store::admin::DeliveryOptions options;
    options.via = "pickup";
    auto r = store::admin::Deliver(mailbox->alias, WithDeliveredTo(source, address), options);
    e.state = queue::kDelivered;
    e.detail = r.permanentUrl;
    deliveries.push_back({{"receiver", address},
                          {"mailbox", mailbox->alias},
                          {"delivered", r.deliveredUrl},
                          {"permanent", r.permanentUrl}});
  } catch (const platform::PlatformError& err) {
    if (!Permanent(err)) throw;
    e.detail = "the store refused the delivery to " + address + ": " + err.description();
  }
  return e;
}

// Handles one pickup file; nullopt when it is not ours to handle (gone, or taken by another
// process). failed is set when the file stays for a later attempt.
using Forwards = std::map<std::string, store::admin::ParkedForward>;

// The parked forwards by the name of their pickup file.
Forwards ParkedForwardsByFile() {
  Forwards out;
  for (auto& f : store::admin::ParkedForwards()) out.emplace(f.pickupFileName, std::move(f));
  return out;
}

// The pickup file content of a parked forward, made from the parked message.
std::string ForwardContent(const store::admin::ParkedForward& f) {
  return "x-receiver: " + f.receiver + "\r\nx-sender: " + f.sender + "\r\n" +
         store::admin::Source(f.url);
}

// A forward whose file is missing a while after its delivery (a minute; machine.json
// "pickup": {"remake_after": SECONDS}) has lost it: the delivering process ended before writing
// it, or a crash took the file the sink did not sync. It is made again from the parked message,
// under the same name, which the sink's own writing cannot then replace; under the store's
// write lock, so that a forward restored meanwhile is not made.
std::vector<fs::path> RemakeLostForwardFiles(const fs::path& dir, const Forwards& forwards) {
  std::vector<fs::path> remade;
  const int64_t now = std::time(nullptr);
  const int64_t after = platform::Machine().Number("pickup.remake_after", 60, 0, 86400);
  for (const auto& [name, f] : forwards) {
    std::error_code ec;
    if (now - f.created < after || fs::exists(dir / name, ec) ||
        fs::exists(dir / "undeliverable" / name, ec))
      continue;
    try {
      store::admin::Batch batch;
      if (!store::admin::IsParkedForward(f.url)) continue;
      platform::AtomicWrite how;
      how.replace = false;
      const int err = platform::WriteFileAtomically(dir / name, ForwardContent(f), how);
      if (err != 0 && err != EEXIST) throw std::runtime_error(std::strerror(err));
      batch.Commit();
      remade.push_back(dir / name);
      std::cout << DumpJson(Json{{"file", (dir / name).string()}, {"status", "remade"}})
                << std::endl;
    } catch (const std::exception& e) {
      std::cout << DumpJson(Json{{"file", (dir / name).string()},
                                 {"status", "error"},
                                 {"error", std::string("cannot make it again: ") + e.what()}})
                << std::endl;
    }
  }
  return remade;
}

// A receiver's outcome as the service's lines and queue ls show it.
Json ReceiverJson(const queue::Entry& e) {
  Json j{{"receiver", e.receiver}, {"state", e.state}, {"attempts", e.attempts}};
  if (e.state == queue::kWaiting) j["next_try"] = e.nextTry;
  if (e.state != queue::kDelivered) j["reply"] = e.detail;
  return j;
}

// The envelope sender for the relay: the file's own, or the forwarding mailbox's address.
std::string RelaySender(const RelaySettings& relay, const store::admin::ParkedForward* forward,
                        const std::string& sender) {
  if (!relay.forwarderSender || !forward) return ReceiverAddress(sender);
  const std::string marker = "/MBX/";
  const size_t at = forward->url.find(marker);
  if (at == std::string::npos) return ReceiverAddress(sender);
  const size_t from = at + marker.size();
  auto mailbox = store::admin::FindMailbox(
      forward->url.substr(from, forward->url.find('/', from) - from), false);
  return mailbox && !mailbox->addresses.empty() ? mailbox->addresses.front()
                                                : ReceiverAddress(sender);
}

// Sends the message to the receivers outcomes[i] for each i in due, in one transaction to
// target (named who in reasons), and records each one's outcome as soon as the replies are in:
// the only moment a kill can make a receiver get the message twice is between the server's
// reply and that commit. unusable, when set, is the reply for all instead of sending.
void SendDue(const RelaySettings& relay, const RelaySettings& target, const std::string& who,
             const std::optional<RelayReply>& unusable, const std::string& sender,
             const std::vector<std::string>& addresses, const std::string& source,
             const std::vector<size_t>& due, int64_t queued, const queue::Origin& origin,
             std::vector<queue::Entry>& outcomes) {
  const int64_t now = std::time(nullptr);
  std::vector<std::string> to;
  for (size_t i : due) to.push_back(addresses[i]);
  const auto record = [&](const std::vector<RelayReply>& replies) {
    store::admin::Batch batch;
    for (size_t k = 0; k < due.size(); ++k) {
      queue::Entry& e = outcomes[due[k]];
      const RelayReply& r = replies[k];
      ++e.attempts;
      e.nextTry = 0;
      e.detail = r.text;
      if (r.Done()) {
        e.state = queue::kRelayed;
      } else if (r.Refused()) {
        e.state = queue::kSetAside;
        e.detail = who + " refused " + to[k] + ": " + r.text;
      } else if (now - queued >= relay.giveUpAfter) {
        e.state = queue::kSetAside;
        e.detail = "given up on " + to[k] + " after " + std::to_string(e.attempts) +
                   " attempts in " + std::to_string((now - queued) / 60) + " minutes: " + r.text;
      } else {
        e.state = queue::kWaiting;
        e.nextTry = now + RetryWait(relay, e.attempts);
      }
      queue::Origin logged = origin;
      logged.refused = r.Refused();
      queue::Put(e, logged);
    }
    batch.Commit();
  };
  if (!sender.empty() && !IsMailAddress(sender))
    record(std::vector<RelayReply>(
        due.size(), {550, "550 the sender \"" + sender + "\" is not a mail address"}));
  else if (unusable)
    record(std::vector<RelayReply>(due.size(), *unusable));
  else
    Relay(target, sender, to, source, record);
}

// Sends the due receivers where the directory says they live: each home server in a
// transaction of its own, the rest to the relay.
void RelayDue(const RelaySettings& relay, const std::string& sender,
              const std::vector<std::string>& addresses, const std::string& source,
              const std::vector<size_t>& due, int64_t queued, const queue::Origin& origin,
              std::vector<queue::Entry>& outcomes) {
  struct Group {
    RelaySettings target;
    std::string who;
    std::optional<RelayReply> unusable;
    std::vector<size_t> due;
  };
  std::map<std::string, Group> groups;  // by home server; "" is the relay
  for (size_t i : due) {
    Group g{relay, "the relay", std::nullopt, {}};
    std::string key;
    try {
      const Destination d = Route(addresses[i]);
      if (d.kind == Destination::Kind::kHere) {
        key = "\n" + addresses[i];
        g.who = "this server";
        g.unusable = RelayReply{550, "550 no local mailbox has the address " + addresses[i]};
      } else if (d.kind == Destination::Kind::kServer) {
        key = d.server;
        g.who = "the server " + d.server;
        if (auto target = ForServer(relay, d.url))
          g.target = *target;
        else
          g.unusable = RelayReply{0, "no LMTP or SMTP address is known for the server " + d.server +
                                         " (machine.json \"servers\")"};
      } else if (!relay.enabled) {
        key = "\n";
        g.unusable = RelayReply{0, "no relay host is set in machine.json"};
      }
    } catch (const platform::PlatformError& e) {
      key = "\n" + addresses[i];
      g.unusable =
          RelayReply{0, "where " + addresses[i] + " lives is not known now: " + e.description()};
    }
    groups.try_emplace(key, std::move(g)).first->second.due.push_back(i);
  }
  for (auto& [key, g] : groups)
    SendDue(relay, g.target, g.who, g.unusable, sender, addresses, source, g.due, queued, origin,
            outcomes);
}

std::optional<Json> HandleFile(const fs::path& file, const Forwards& forwards,
                               const RelaySettings& relay, bool& failed) {
  FileDescriptor f;
  // Never through a link, and never waiting on a FIFO someone put there.
  f.fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (f.fd < 0) {
    if (errno == ELOOP) return SetAside(file, "a symbolic link is never taken as a message");
    return std::nullopt;
  }
  struct stat st {};
  if (fstat(f.fd, &st) != 0 || st.st_nlink == 0) return std::nullopt;
  if (!S_ISREG(st.st_mode)) return SetAside(file, "not a plain file");
  if (st.st_uid != RootOwner())
    return SetAside(file, "owned by user " + std::to_string(st.st_uid) +
                              ", not by the platform's owner " + std::to_string(RootOwner()));
  // Another pickup service working on the same folder holds the lock of a file it has taken.
  if (flock(f.fd, LOCK_EX | LOCK_NB) != 0) return std::nullopt;
  // A read lease is refused while any process has the file open for writing: a writer that
  // drops the file in place has not finished it yet. File systems without leases pass.
  if (fcntl(f.fd, F_SETLEASE, F_RDLCK) == 0) {
    fcntl(f.fd, F_SETLEASE, F_UNLCK);
  } else if (errno == EAGAIN) {
    return std::nullopt;
  }
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
  // A forward's parked message is its record: the file, which the sink did not sync, may have
  // been cut short by a crash.
  const store::admin::ParkedForward* forward = nullptr;
  if (auto it = forwards.find(file.filename().string()); it != forwards.end()) {
    forward = &it->second;
    try {
      if (!store::admin::IsParkedForward(forward->url)) {
        // Restored by the administrator meanwhile: its forward is withdrawn.
        unlink(file.c_str());
        return Json{{"file", file.string()}, {"status", "withdrawn"}};
      }
      content = ForwardContent(*forward);
    } catch (const platform::PlatformError& e) {
      failed = true;
      return Json{{"file", file.string()}, {"status", "deferred"}, {"error", e.description()}};
    }
  }
  const Envelope env = ReadEnvelope(content);
  if (!env.error.empty()) return SetAside(file, env.error);
  if (env.receivers.size() > kMaxReceivers)
    return SetAside(file, std::to_string(env.receivers.size()) + " receivers; at most " +
                              std::to_string(kMaxReceivers) + " are taken from one file");

  const std::string key = queue::FileKey(file.filename().string(), content);
  const std::string source = content.substr(env.bodyStart);
  const int64_t now = std::time(nullptr);
  // What the delivery log names the message by (parsed only when there is a log to write).
  queue::Origin origin;
  if (forward) origin.item = forward->item;
  try {
    if (store::history::RetentionDays() > 0)
      origin.messageId = store::admin::ParseForDelivery(source).messageId;
  } catch (const platform::PlatformError&) {
    // No store now: the batch below fails and the file waits.
  }
  Json line{{"file", file.string()}, {"sender", env.sender}};
  Json deliveries = Json::array();
  std::vector<queue::Entry> outcomes;
  std::vector<std::string> addresses;
  std::vector<size_t> due;  // receivers to relay now
  const auto anyIn = [&outcomes](const char* state) {
    return std::any_of(outcomes.begin(), outcomes.end(),
                       [state](const queue::Entry& e) { return e.state == state; });
  };
  try {
    // One transaction for the file: each delivery with the entry that records it.
    store::admin::Batch batch;
    bool fresh = false;
    for (const std::string& r : env.receivers) {
      addresses.push_back(ReceiverAddress(r));
      const std::string& address = addresses.back();
      // A receiver put back by queue retry (no attempts) is decided afresh.
      auto done = queue::Get(key, text::ToLower(address));
      if (done && (done->state != queue::kWaiting || done->attempts > 0)) {
        if (done->state == queue::kWaiting && done->nextTry <= now) due.push_back(outcomes.size());
        outcomes.push_back(*done);
        continue;
      }
      fresh = true;
      queue::Entry e = Dispose(key, file, address, source, relay.enabled, deliveries);
      if (e.state == queue::kWaiting)
        due.push_back(outcomes.size());
      else
        queue::Put(e, origin);
      outcomes.push_back(e);
    }
    // Nothing to do before a waiting receiver's next try.
    if (!fresh && due.empty() && anyIn(queue::kWaiting)) return std::nullopt;
    // Handed on in full: the parked message goes with the deliveries that replace it.
    if (forward && !anyIn(queue::kSetAside) && !anyIn(queue::kWaiting))
      store::admin::FinishParkedForward(forward->url);
    batch.Commit();
    if (!due.empty()) {
      RelayDue(relay, RelaySender(relay, forward, env.sender), addresses, source, due,
               forward ? forward->created : static_cast<int64_t>(st.st_mtime), origin, outcomes);
      if (forward && !anyIn(queue::kSetAside) && !anyIn(queue::kWaiting)) {
        store::admin::Batch finish;
        store::admin::FinishParkedForward(forward->url);
        finish.Commit();
      }
    }
  } catch (const platform::PlatformError& e) {
    // The store or the directory failed for now: nothing of this attempt was kept (but a
    // relay's replies that could not be recorded: those receivers may be sent again).
    failed = true;
    line["status"] = "deferred";
    line["error"] = e.description();
    return line;
  }
  for (Json& d : deliveries) {
    auto now = store::admin::WhereIs(d["permanent"]);
    d["now"] = now ? Json(*now) : Json(nullptr);
    d.erase("permanent");
  }
  line["deliveries"] = deliveries;
  line["receivers"] = Json::array();
  for (const queue::Entry& e : outcomes) line["receivers"].push_back(ReceiverJson(e));
  if (anyIn(queue::kWaiting)) {
    line["status"] = "waiting";  // the file stays for the next try
    return line;
  }

  std::string reasons;
  Json setAside = Json::array();
  for (const queue::Entry& e : outcomes) {
    if (e.state != queue::kSetAside) continue;
    setAside.push_back({{"receiver", e.receiver}, {"reason", e.detail}});
    reasons += (reasons.empty() ? "" : "\n") + e.detail;
  }
  if (!setAside.empty()) {
    line["set_aside"] = setAside;
    // What is set aside is the whole forward, as its parked message holds it.
    int err = forward ? platform::WriteFileAtomically(file, content) : 0;
    if (err != 0) {
      failed = true;
      line["status"] = "error";
      line["error"] =
          std::string("cannot write the file again before setting it aside: ") + std::strerror(err);
      return line;
    }
    // The entries stay: should the file come back, its delivered receivers are not repeated.
    Json moved = SetAside(file, reasons, line);
    if (moved.contains("moved")) {
      for (queue::Entry e : outcomes) {
        e.file = moved["moved"];
        queue::Put(e);
      }
      if (forward) platform::SkipOnError([&] { store::admin::FinishParkedForward(forward->url); });
    }
    return moved;
  }
  line["status"] = "delivered";
  if (unlink(file.c_str()) != 0) {
    failed = true;
    line["status"] = "error";
    line["error"] =
        std::string("delivered, but the file cannot be removed: ") + std::strerror(errno);
    return line;
  }
  platform::SyncFolder(file.parent_path());
  queue::Forget(key);
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
    if (e.is_directory(ec2) && !e.is_symlink(ec2)) continue;
    found.emplace_back(fs::symlink_status(e.path(), ec2).type() == fs::file_type::symlink
                           ? fs::file_time_type::min()
                           : e.last_write_time(ec2),
                       e.path());
  }
  std::sort(found.begin(), found.end());
  std::vector<fs::path> out;
  for (auto& [t, p] : found) out.push_back(p);
  return out;
}

// What waits in the pickup folder or lies in undeliverable/, by id: the path below the folder.
struct QueuedFile {
  std::string id;
  fs::path path;
  bool setAside = false;
  std::vector<queue::Entry> entries;  // the receivers' bookkeeping, if the file was handled
};

std::vector<QueuedFile> QueuedFiles(const fs::path& dir) {
  std::map<std::string, std::vector<queue::Entry>> byFile;
  for (queue::Entry& e : queue::List()) byFile[e.file].push_back(std::move(e));
  std::vector<QueuedFile> out;
  for (const bool setAside : {false, true}) {
    for (const fs::path& p : PendingFiles(setAside ? dir / "undeliverable" : dir)) {
      QueuedFile f{(setAside ? "undeliverable/" : "") + p.filename().string(), p, setAside, {}};
      if (auto it = byFile.find(p.string()); it != byFile.end()) f.entries = it->second;
      out.push_back(std::move(f));
    }
  }
  return out;
}

// The file an id names; raises UsageError for an id that is not one of them.
QueuedFile FindQueued(const fs::path& dir, const std::string& id) {
  for (QueuedFile& f : QueuedFiles(dir))
    if (f.id == id) return f;
  throw UsageError("nothing waits or is set aside as \"" + id + "\" (see queue ls)");
}

Json QueuedJson(const QueuedFile& f) {
  Json j{{"id", f.id}, {"file", f.path.string()}};
  j["state"] = f.setAside ? "set-aside" : f.entries.empty() ? "new" : "waiting";
  j["receivers"] = Json::array();
  for (const queue::Entry& e : f.entries) j["receivers"].push_back(ReceiverJson(e));
  std::error_code ec;
  if (f.setAside && fs::exists(f.path.string() + ".reason", ec))
    j["reason"] = text::Trim(ReadInputFile(f.path.string() + ".reason"));
  return j;
}

std::string Clock(int64_t t) {
  char out[32] = "-";
  const time_t tt = static_cast<time_t>(t);
  struct tm tmv {};
  if (t > 0 && localtime_r(&tt, &tmv)) std::strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S", &tmv);
  return out;
}

// Drops the file and what is known of it; a forward's parked message goes too (deleted, not
// handed on), or the file would be made again from it.
void DropQueued(const QueuedFile& f) {
  store::admin::Batch batch;
  for (const auto& [name, forward] : ParkedForwardsByFile())
    if (!f.setAside && name == f.path.filename().string()) store::admin::Remove(forward.url);
  std::set<std::string> keys;
  for (const queue::Entry& e : f.entries) keys.insert(e.fileKey);
  for (const std::string& key : keys) queue::Forget(key);
  std::error_code ec;
  fs::remove(f.path.string() + ".reason", ec);
  if (!fs::remove(f.path, ec) && ec)
    throw std::runtime_error(f.path.string() + ": " + ec.message());
  batch.Commit();
}

// Makes a file due now: its waiting receivers at once, a set-aside file back into the pickup
// folder under the name its bookkeeping knows, without the receivers that were set aside, so
// that those are tried again and the ones done are not.
void RetryQueued(const fs::path& dir, const QueuedFile& f) {
  store::admin::Batch batch;
  std::string name = f.path.filename().string();
  for (queue::Entry e : f.entries) {
    name = e.fileKey.substr(0, e.fileKey.find('/'));
    if (e.state == queue::kSetAside) {
      e.state = queue::kWaiting;
      e.attempts = 0;
    }
    if (e.state == queue::kWaiting) e.nextTry = 0;
    e.file = (dir / name).string();
    queue::Put(e);
  }
  if (f.setAside) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(dir / name, ec)))
      throw UsageError("a file named " + name + " waits already; retry it first");
    if (rename(f.path.c_str(), (dir / name).c_str()) != 0)
      throw std::runtime_error(f.path.string() + ": " + std::strerror(errno));
    fs::remove(f.path.string() + ".reason", ec);
    platform::SyncFolder(dir);
  }
  batch.Commit();
}

}  // namespace

void AddQueueCommands(CLI::App& app) {
  auto* queueCmd = app.add_subcommand("queue", "What waits in the pickup folder or was set aside");
  queueCmd->require_subcommand(1);
  auto* ls = queueCmd->add_subcommand("ls", "List each file, its receivers and their state");
  auto json = std::make_shared<bool>(false);
  ls->add_flag("--json", *json, "one JSON object per file");
  ls->callback([json] {
    for (const QueuedFile& f : QueuedFiles(PickupDirectory())) {
      Json j = QueuedJson(f);
      if (*json) {
        std::cout << DumpJson(j) << std::endl;
        continue;
      }
      std::cout << j["id"].get<std::string>() << "  " << j["state"].get<std::string>();
      if (j.contains("reason")) std::cout << "  " << Printable(j["reason"].get<std::string>());
      std::cout << "\n";
      for (const queue::Entry& e : f.entries)
        std::cout << "  " << e.receiver << "  " << e.state << "  attempts " << e.attempts
                  << "  next " << (e.state == queue::kWaiting ? Clock(e.nextTry) : "-") << "  "
                  << Printable(e.state == queue::kDelivered ? "" : e.detail) << "\n";
    }
  });
  auto* retry =
      queueCmd->add_subcommand("retry", "Try a file's waiting or set-aside receivers now");
  auto id = std::make_shared<std::string>();
  auto all = std::make_shared<bool>(false);
  retry->add_option("id", *id, "the file's id as queue ls shows it");
  retry->add_flag("--all", *all, "every file");
  retry->callback([id, all] {
    if (id->empty() == !*all) throw UsageError("queue retry takes an ID or --all");
    const fs::path dir = PickupDirectory();
    if (!*all) return RetryQueued(dir, FindQueued(dir, *id));
    for (const QueuedFile& f : QueuedFiles(dir)) RetryQueued(dir, f);
  });
  auto* drop = queueCmd->add_subcommand("drop", "Remove a file for good, with what is known of it");
  auto dropId = std::make_shared<std::string>();
  drop->add_option("id", *dropId, "the file's id as queue ls shows it")->required();
  drop->callback([dropId] { DropQueued(FindQueued(PickupDirectory(), *dropId)); });
}

void AddSmtpCommand(CLI::App& app) {
  auto* cmd = app.add_subcommand("smtp", "Deliver the messages dropped into the pickup directory");
  auto once = std::make_shared<bool>(false);
  cmd->add_flag("--once", *once,
                "handle the files there now, then stop (default: poll until stopped)");
  cmd->footer(
      "Exit status of --once: 0 when every file was handled or waits for a retry, 1 when some "
      "file could not be handled now (it stays for a later run), 3 when something was set "
      "aside in undeliverable/.");
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
    // Entries of files handled long ago whose removal a kill cut short.
    queue::Prune(static_cast<int64_t>(std::time(nullptr)) - 7 * 86400);
    bool failed = false, setAside = false;
    std::optional<ServiceLog> journal;
    if (!*once) journal.emplace("smtp");
    do {
      // The files first: a forward's file is written after its parked message is committed,
      // so every forward among the files is among the parked forwards read after them.
      std::vector<fs::path> files = PendingFiles(dir);
      Forwards forwards;
      RelaySettings relay;
      try {
        relay = ReadRelaySettings();
        forwards = ParkedForwardsByFile();
        for (fs::path& f : RemakeLostForwardFiles(dir, forwards)) files.push_back(std::move(f));
      } catch (const platform::PlatformError& e) {
        failed = true;  // the store is unavailable now: the files wait
        std::cout << DumpJson(Json{{"status", "deferred"}, {"error", e.description()}})
                  << std::endl;
        continue;
      }
      for (const fs::path& file : files) {
        if (gStop) break;
        bool fileFailed = false;
        if (auto line = HandleFile(file, forwards, relay, fileFailed)) {
          std::cout << DumpJson(*line) << std::endl;
          setAside = setAside || (*line)["status"] == "undeliverable";
        }
        failed = failed || fileFailed;
      }
      for (int i = 0; !*once && !gStop && i < 10; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (!*once && !gStop);
    if (*once && failed) throw std::runtime_error("some pickup files could not be handled");
    if (*once && setAside) throw ExitStatus{kSetAsideStatus};
  });
}

}  // namespace drossgate::tools
