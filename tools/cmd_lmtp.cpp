// lmtp: the store's LMTP service (RFC 2033), the way mail servers hand mail to a mailbox store.
// Each connection has a thread of its own that runs the conversation; every message whose data
// is complete goes to one delivery thread, which delivers whatever is waiting in one store
// transaction (each message's delivery a savepoint of its own, the sinks' begin phase inside),
// commits once, lets the committed phases run on that same thread and sink instance, and only
// then answers: a 250 is never given before the message is durable. A message arriving alone is
// committed at once, so a single session waits for no one.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "cli.h"
#include "error.h"
#include "listen.h"
#include "lmtp_session.h"
#include "log_journal.h"
#include "store/store.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::tools {

namespace {

namespace store = platform::store;
namespace errors = platform::errors;

struct Settings {
  lmtp::Limits limits;
  size_t maxSessions = 100;
  int idleTimeoutSeconds = 600;
  std::string sclHeader;
  std::string listen = "127.0.0.1:24";
};

Settings ReadSettings() {
  const platform::MachineInfo& m = platform::Machine();
  Settings s;
  s.limits.maxMessageSize = static_cast<size_t>(
      m.Number("lmtp.max_message_size", 50 * 1024 * 1024, 1024, int64_t{1} << 34));
  s.limits.maxRecipients = static_cast<size_t>(m.Number("lmtp.max_recipients", 1000, 1, 100000));
  s.maxSessions = static_cast<size_t>(m.Number("lmtp.max_sessions", 100, 1, 10000));
  s.idleTimeoutSeconds = static_cast<int>(m.Number("lmtp.idle_timeout", 600, 1, 86400));
  s.sclHeader = m.Text("lmtp.scl_from_header");
  s.listen = m.Text("lmtp.listen", s.listen);
  return s;
}

// Reply text is ASCII on one line: other bytes of a URL are written as %XX.
std::string ReplyText(std::string_view s) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F && c != '%') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// The one delivery thread: group commit.
class Committer {
 public:
  explicit Committer(std::string sclHeader) : sclHeader_(std::move(sclHeader)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~Committer() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  std::vector<std::string> Submit(const lmtp::Message& message) {
    // Parsed on the session's thread, alongside the one delivering thread.
    Job job{&message, store::admin::ParseForDelivery(message.data), {}};
    std::future<std::vector<std::string>> done = job.replies.get_future();
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(&job);
    }
    wake_.notify_one();
    return done.get();
  }

  uint64_t messages() const { return messages_; }
  uint64_t commits() const { return commits_; }

 private:
  struct Job {
    const lmtp::Message* message;
    store::ParsedMessage parsed;
    std::promise<std::vector<std::string>> replies;
  };
  // What one recipient's delivery gave, before the commit decides.
  struct Outcome {
    std::string reply;         // final unless delivered
    std::string permanentUrl;  // delivered, pending the commit
  };

  void Run() {
    for (;;) {
      std::vector<Job*> jobs;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;
        // Whatever waits now goes in one transaction; nothing waits for more to come.
        size_t bytes = 0;
        while (!queue_.empty() && jobs.size() < kMaxJobs && bytes < kMaxBytes) {
          bytes += queue_.front()->message->data.size();
          jobs.push_back(queue_.front());
          queue_.pop_front();
        }
      }
      Deliver(jobs);
    }
  }

  void Deliver(const std::vector<Job*>& jobs) {
    std::vector<std::vector<Outcome>> outcomes(jobs.size());
    bool committed = false;
    std::string failure;
    try {
      store::admin::Batch batch;
      for (size_t j = 0; j < jobs.size(); ++j) {
        const lmtp::Message& m = *jobs[j]->message;
        store::admin::DeliveryOptions options;
        options.envelopeSender = m.sender;
        options.sclHeader = sclHeader_;
        options.parsed = &jobs[j]->parsed;
        options.via = "lmtp";
        std::map<std::string, size_t> byMailbox;  // one delivery per mailbox of a message
        for (const lmtp::Recipient& r : m.recipients) {
          if (auto it = byMailbox.find(text::ToLower(r.mailbox)); it != byMailbox.end()) {
            outcomes[j].push_back(outcomes[j][it->second]);
            continue;
          }
          byMailbox[text::ToLower(r.mailbox)] = outcomes[j].size();
          Outcome o;
          try {
            o.permanentUrl = store::admin::Deliver(r.mailbox, m.data, options).permanentUrl;
          } catch (const platform::PlatformError& e) {
            // Only this delivery's savepoint is undone; the others go on.
            o.reply = e.number() == errors::kNotFound
                          ? "550 5.1.1 <" + ReplyText(r.address) + ">: no such mailbox here"
                          : "451 4.3.0 " + ReplyText(e.description());
          }
          outcomes[j].push_back(std::move(o));
        }
      }
      batch.Commit();
      committed = true;
    } catch (const platform::PlatformError& e) {
      failure = e.description();
    }
    ++commits_;
    // Where each delivered message is now, after the committed phases: read in one transaction,
    // where the store's cache knows the folders' URLs from the delivery just made.
    std::map<std::string, std::optional<std::string>> now;
    if (committed) {
      try {
        store::admin::Batch lookups;
        for (const auto& job : outcomes)
          for (const Outcome& o : job)
            if (o.reply.empty()) now[o.permanentUrl] = store::admin::WhereIs(o.permanentUrl);
        lookups.Commit();
      } catch (const platform::PlatformError&) {
        now.clear();  // delivered all the same; the replies then name no place
      }
    }
    for (size_t j = 0; j < jobs.size(); ++j) {
      std::vector<std::string> replies;
      for (const Outcome& o : outcomes[j]) {
        if (!o.reply.empty()) {
          replies.push_back(o.reply);
        } else if (!committed) {
          replies.push_back("451 4.3.0 The message could not be stored: " + ReplyText(failure));
        } else {
          ++messages_;
          const auto it = now.find(o.permanentUrl);
          replies.push_back("250 2.0.0 Delivered" + (it == now.end() ? std::string()
                                                     : it->second
                                                         ? "; " + ReplyText(*it->second)
                                                         : std::string("; taken away by a rule")));
        }
      }
      // A message whose transaction never began has an outcome for nobody yet.
      replies.resize(jobs[j]->message->recipients.size(),
                     "451 4.3.0 The message could not be stored: " + ReplyText(failure));
      jobs[j]->replies.set_value(std::move(replies));
    }
  }

  static constexpr size_t kMaxJobs = 256;
  static constexpr size_t kMaxBytes = 64 * 1024 * 1024;

  std::string sclHeader_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job*> queue_;
  bool stop_ = false;
  std::atomic<uint64_t> messages_{0};
  std::atomic<uint64_t> commits_{0};
  std::thread thread_;
};

class StoreBackend final : public lmtp::Backend {
 public:
  explicit StoreBackend(Committer& committer) : committer_(committer) {}
  std::optional<std::string> FindMailbox(const std::string& address) override {
    auto mailbox = store::admin::FindMailbox(address, false);
    if (!mailbox || mailbox->isSystem) return std::nullopt;
    return mailbox->alias;
  }
  std::vector<std::string> Deliver(const lmtp::Message& message) override {
    return committer_.Submit(message);
  }

 private:
  Committer& committer_;
};

// One conversation on in/out until it ends, the client goes, or it idles too long.
void Converse(int in, int out, const Settings& settings, Committer& committer) {
  StoreBackend backend(committer);
  std::string host = "localhost";
  try {
    host = platform::FullComputerName();
  } catch (const platform::PlatformError&) {
  }
  lmtp::Session session(backend, settings.limits, host);
  if (!WriteAll(out, session.Greeting())) return;
  char buf[65536];
  while (!session.Closed() && !Stopping()) {
    pollfd p{in, POLLIN, 0};
    const int ready = poll(&p, 1, settings.idleTimeoutSeconds * 1000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      WriteAll(out, "421 4.4.2 Idle for too long, closing the connection\r\n");
      return;
    }
    const ssize_t n = read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the client went: a message not yet ended is not delivered
    if (!WriteAll(out, session.Feed(std::string_view(buf, static_cast<size_t>(n))))) return;
  }
  if (Stopping() && !session.Closed() && !session.InData())
    WriteAll(out, "421 4.3.2 The service is shutting down\r\n");
}

void Serve(int listener, const Settings& settings, Committer& committer) {
  size_t sessions = 0;
  std::set<int> open;  // the sessions' sockets
  std::mutex doneMutex;
  std::condition_variable allDone;
  while (!Stopping()) {
    pollfd p[2] = {{listener, POLLIN, 0}, {StopFd(), POLLIN, 0}};
    if (poll(p, 2, -1) < 0 && errno != EINTR) break;
    if (Stopping()) break;
    if (!(p[0].revents & POLLIN)) continue;
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // A client that stops reading is given up on instead of holding its thread.
    const timeval sendTimeout{60, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    {
      std::lock_guard lock(doneMutex);
      if (sessions >= settings.maxSessions) {
        WriteAll(fd, "421 4.3.2 Too many connections, try again later\r\n");
        close(fd);
        continue;
      }
      ++sessions;
      open.insert(fd);
    }
    std::thread([&, fd] {
      Converse(fd, fd, settings, committer);
      std::lock_guard lock(doneMutex);
      open.erase(fd);
      close(fd);
      --sessions;
      allDone.notify_all();
    }).detach();
  }
  // Stopping: each conversation reads no more, so a message not yet whole is not taken, while
  // the replies of messages already handed on still reach their clients.
  std::unique_lock lock(doneMutex);
  for (int fd : open) shutdown(fd, SHUT_RD);
  allDone.wait(lock, [&] { return sessions == 0; });
}

}  // namespace

void AddLmtpCommand(CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "lmtp",
      "The LMTP service a mail server delivers to: one reply per recipient, each message on "
      "disk before its 250");
  auto listen = std::make_shared<std::string>();
  auto stdio = std::make_shared<bool>(false);
  auto mode = std::make_shared<std::string>("0600");
  cmd->add_option("--listen", *listen,
                  "unix:PATH or HOST:PORT (default: machine.json lmtp.listen, else "
                  "127.0.0.1:24; a socket systemd passes is taken first)");
  cmd->add_flag("--stdio", *stdio, "one conversation on standard input and output");
  cmd->add_option("--socket-mode", *mode,
                  "permissions of a unix: socket (default 0600; 0666 when the mail server runs "
                  "as another user, in a folder only it can reach)");
  cmd->callback([listen, stdio, mode] {
    Root();
    const Settings settings = ReadSettings();
    signal(SIGPIPE, SIG_IGN);
    Committer committer(settings.sclHeader);
    if (*stdio) {
      Converse(0, 1, settings, committer);
      return;
    }
    const mode_t socketMode = static_cast<mode_t>(std::strtoul(mode->c_str(), nullptr, 8));
    const std::vector<Inherited> inherited =
        listen->empty() ? InheritedListeners() : std::vector<Inherited>{};
    int listener = inherited.empty() ? -1 : inherited.front().fd;
    if (listener < 0) listener = Listen(listen->empty() ? settings.listen : *listen, socketMode);
    CatchStopSignals();
    std::cerr << "lmtp: listening on " << Where(listener) << std::endl;
    ServiceLog journal("lmtp");
    Serve(listener, settings, committer);
    close(listener);
    std::cerr << "lmtp: " << committer.messages() << " deliveries in " << committer.commits()
              << " store commits" << std::endl;
  });
}

}  // namespace drossgate::tools
