// imap: the store's IMAP service, so that people read their mail with the clients they have.
// Each connection has a thread of its own that runs the conversation (imap_session) over the
// socket, or over TLS once it has started (implicit on the TLS listener, or after STARTTLS);
// while the client idles its thread asks the conversation every second for changes made
// elsewhere, and a connection quiet for longer than the idle timeout is logged out.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "cli.h"
#include "imap_logins.h"
#include "imap_session.h"
#include "listen.h"
#include "log_journal.h"
#include "system/atomic_file.h"
#include "system/system.h"

namespace drossgate::tools {

namespace {

// A client that neither reads nor sends within this long is given up on mid-exchange.
constexpr timeval kStallTimeout{60, 0};

struct Settings {
  imap::Limits limits;
  size_t maxConnections = 100;
  int maxPerUser = 10;
  int idleTimeoutSeconds = 1800;
  std::string listen = "127.0.0.1:143";
  std::string tlsListen;
  std::filesystem::path cert, key;
};

Settings ReadSettings() {
  const platform::MachineInfo& m = platform::Machine();
  Settings s;
  s.maxConnections = static_cast<size_t>(m.Number("imap.max_connections", 100, 1, 10000));
  s.maxPerUser = static_cast<int>(m.Number("imap.max_connections_per_user", 10, 1, 10000));
  // Clients that idle re-issue IDLE every 29 minutes: a shorter timeout would cut them off.
  s.idleTimeoutSeconds = static_cast<int>(m.Number("imap.idle_timeout", 1800, 1800, 86400));
  s.limits.maxLiteral =
      static_cast<size_t>(m.Number("imap.max_literal", 50 * 1024 * 1024, 1024, int64_t{1} << 34));
  s.limits.maxCommandLine =
      static_cast<size_t>(m.Number("imap.max_command_line", 64 * 1024, 1024, 16 * 1024 * 1024));
  s.listen = m.Text("imap.listen", s.listen);
  s.tlsListen = m.Text("imap.tls_listen");
  for (auto [name, path] : {std::pair{"imap.cert", &s.cert}, std::pair{"imap.key", &s.key}}) {
    const std::filesystem::path p = m.Text(name);
    *path = p.empty() || p.is_absolute() ? p : platform::PlatformRoot() / p;
  }
  return s;
}

struct TlsContextFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using TlsContext = std::unique_ptr<SSL_CTX, TlsContextFree>;

std::string TlsErrors() {
  std::string out;
  while (const unsigned long e = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    out += std::string(out.empty() ? "" : "; ") + buf;
  }
  return out.empty() ? "unknown error" : out;
}

// The server's TLS setup from the certificate chain and key files; null without a certificate.
TlsContext MakeTlsContext(const Settings& s) {
  if (s.cert.empty() && s.key.empty()) return nullptr;
  if (s.cert.empty() || s.key.empty())
    throw std::runtime_error("machine.json: \"imap\" needs both \"cert\" and \"key\" for TLS");
  // A key that cannot be read at all is the TLS library's to report, below.
  std::error_code ec;
  if (std::filesystem::exists(s.key, ec))
    if (const auto problem = platform::SecretFileProblem(s.key))
      throw std::runtime_error("the key file " + s.key.string() + " " + *problem);
  TlsContext ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) throw std::runtime_error("cannot set up TLS: " + TlsErrors());
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION);
  // A record without data (a TLS 1.3 key update, say) must not leave a read blocked.
  SSL_CTX_clear_mode(ctx.get(), SSL_MODE_AUTO_RETRY);
  if (SSL_CTX_use_certificate_chain_file(ctx.get(), s.cert.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx.get(), s.key.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx.get()) != 1)
    throw std::runtime_error("cannot use the certificate " + s.cert.string() + " and key " +
                             s.key.string() + ": " + TlsErrors());
  return ctx;
}

// One connection's bytes: the socket as it is, or TLS over it once started.
class Stream {
 public:
  Stream(int in, int out) : in_(in), out_(out) {}
  ~Stream() {
    if (ssl_ && healthy_) SSL_shutdown(ssl_);
    SSL_free(ssl_);
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  int In() const { return in_; }
  bool StartTls(SSL_CTX* ctx) {
    ssl_ = SSL_new(ctx);
    healthy_ = ssl_ && SSL_set_fd(ssl_, in_) == 1 && SSL_accept(ssl_) == 1;
    ERR_clear_error();
    return healthy_;
  }
  // Data TLS has decrypted already, which polling the socket does not show.
  bool Buffered() const { return ssl_ && SSL_pending(ssl_) > 0; }
  // Bytes read; 0 when none came after all (a record without data), -1 when the client went.
  ssize_t Read(char* buf, size_t size) {
    if (!ssl_) {
      const ssize_t n = read(in_, buf, size);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
      return n > 0 ? n : -1;
    }
    const int n = SSL_read(ssl_, buf, static_cast<int>(size));
    if (n > 0) return n;
    const int e = SSL_get_error(ssl_, n);
    ERR_clear_error();
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return 0;
    healthy_ = false;
    return -1;
  }
  bool Write(std::string_view data) {
    if (!ssl_) return WriteAll(out_, data);
    while (!data.empty()) {
      const int n =
          SSL_write(ssl_, data.data(), static_cast<int>(std::min<size_t>(data.size(), 1 << 20)));
      if (n <= 0) {
        ERR_clear_error();
        healthy_ = false;
        return false;
      }
      data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

 private:
  int in_, out_;
  SSL* ssl_ = nullptr;
  bool healthy_ = false;
};

// One conversation until it ends, the client goes, it idles too long or the service stops.
void Converse(Stream& stream, const Settings& settings, SSL_CTX* tls, imap::Logins& logins,
              imap::ConnectionInfo info, const std::string& peer) {
  using Clock = std::chrono::steady_clock;
  imap::LoginBackend backend(logins, peer);
  imap::Session session(backend, settings.limits, info);
  session.SetWriter([&stream](std::string_view answered) { return stream.Write(answered); });
  if (!stream.Write(session.Greeting())) return;
  auto lastInput = Clock::now(), lastPoll = lastInput;
  const auto idleTimeout = std::chrono::seconds(settings.idleTimeoutSeconds);
  std::vector<char> buf(64 * 1024);
  while (!session.Closed()) {
    if (Stopping()) {
      stream.Write("* BYE The service is shutting down\r\n");
      return;
    }
    bool ready = stream.Buffered();
    if (!ready) {
      pollfd p{stream.In(), POLLIN, 0};
      const int n = poll(&p, 1, 1000);
      if (n < 0 && errno != EINTR) return;
      ready = n > 0;
    }
    const auto now = Clock::now();
    if (session.Idling() && now - lastPoll >= std::chrono::seconds(1)) {
      lastPoll = now;
      if (!stream.Write(session.Poll())) return;
    }
    if (!ready) {
      if (now - lastInput < idleTimeout) continue;
      stream.Write("* BYE Autologout; idle too long\r\n");
      return;
    }
    const ssize_t n = stream.Read(buf.data(), buf.size());
    if (n < 0) return;
    if (n == 0) continue;
    lastInput = Clock::now();
    if (!stream.Write(session.Feed(std::string_view(buf.data(), static_cast<size_t>(n))))) return;
    if (session.TlsRequested()) {
      if (!tls || !stream.StartTls(tls)) return;
      session.TlsStarted();
    }
  }
}

struct Listener {
  int fd;
  bool tls;  // implicit TLS
};

std::string PeerOf(int fd, bool& loopback) {
  sockaddr_storage addr{};
  socklen_t size = sizeof addr;
  loopback = false;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &size) != 0) return "?";
  loopback = imap::IsLoopback(addr);
  const std::string host = HostText(addr);
  return host.empty() ? "a local socket" : host;
}

void Serve(const std::vector<Listener>& listeners, const Settings& settings, SSL_CTX* tls) {
  imap::Logins logins(settings.maxPerUser);
  size_t connections = 0;
  std::mutex mutex;
  std::condition_variable allDone;
  std::vector<pollfd> polled;
  for (const Listener& l : listeners) polled.push_back({l.fd, POLLIN, 0});
  polled.push_back({StopFd(), POLLIN, 0});
  while (!Stopping()) {
    if (poll(polled.data(), polled.size(), -1) < 0 && errno != EINTR) break;
    for (size_t i = 0; i < listeners.size() && !Stopping(); ++i) {
      if (!(polled[i].revents & POLLIN)) continue;
      const int fd = accept4(listeners[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &kStallTimeout, sizeof kStallTimeout);
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &kStallTimeout, sizeof kStallTimeout);
      {
        std::lock_guard lock(mutex);
        if (connections >= settings.maxConnections) {
          // A TLS client could not read the refusal before a handshake it is not worth.
          if (!listeners[i].tls) WriteAll(fd, "* BYE Too many connections\r\n");
          close(fd);
          continue;
        }
        ++connections;
      }
      const bool implicitTls = listeners[i].tls;
      std::thread([&, fd, implicitTls] {
        imap::ConnectionInfo info;
        const std::string peer = PeerOf(fd, info.loopback);
        try {
          Stream stream(fd, fd);
          if (!implicitTls || stream.StartTls(tls)) {
            info.tls = implicitTls;
            info.tlsAvailable = tls != nullptr && !implicitTls;
            Converse(stream, settings, tls, logins, info, peer);
          }
        } catch (const std::exception& e) {
          // One connection's trouble ends that connection, not the service.
          std::cerr << "imap: the connection from " << peer << " failed: " << e.what() << std::endl;
        }
        close(fd);
        std::lock_guard lock(mutex);
        --connections;
        allDone.notify_all();
      }).detach();
    }
  }
  // Each conversation sees the stop within a second, says goodbye and ends.
  std::unique_lock lock(mutex);
  allDone.wait(lock, [&] { return connections == 0; });
}

}  // namespace

void AddImapCommand(CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "imap",
      "The IMAP service mail clients read the mailboxes with (exit 0 when stopped by SIGTERM or "
      "SIGINT, 1 when it cannot start (a port taken, settings or a certificate it cannot use), 2 "
      "for bad usage)");
  auto listen = std::make_shared<std::string>();
  auto tlsListen = std::make_shared<std::string>();
  auto stdio = std::make_shared<bool>(false);
  cmd->add_option("--listen", *listen,
                  "HOST:PORT or unix:PATH, STARTTLS offered when a certificate is set (default: "
                  "machine.json imap.listen, else 127.0.0.1:143; sockets systemd passes are "
                  "taken first, one named \"imaps\" for implicit TLS)");
  cmd->add_option("--tls-listen", *tlsListen,
                  "HOST:PORT for implicit TLS, e.g. port 993 (default: machine.json "
                  "imap.tls_listen; needs imap.cert and imap.key)");
  cmd->add_flag("--stdio", *stdio,
                "one conversation on standard input and output, as from this machine");
  cmd->callback([listen, tlsListen, stdio] {
    Root();
    Settings settings = ReadSettings();
    signal(SIGPIPE, SIG_IGN);
    if (*stdio) {
      imap::Logins logins(settings.maxPerUser);
      imap::ConnectionInfo info;
      info.loopback = true;
      Stream stream(0, 1);
      Converse(stream, settings, nullptr, logins, info, "standard input");
      return;
    }
    const TlsContext tls = MakeTlsContext(settings);
    std::vector<Listener> listeners;
    if (listen->empty() && tlsListen->empty())
      for (const Inherited& l : InheritedListeners())
        listeners.push_back({l.fd, l.name == "imaps"});
    if (listeners.empty()) {
      if (!tlsListen->empty()) settings.tlsListen = *tlsListen;
      listeners.push_back({Listen(listen->empty() ? settings.listen : *listen), false});
      if (!settings.tlsListen.empty()) listeners.push_back({Listen(settings.tlsListen), true});
    }
    for (const Listener& l : listeners)
      if (l.tls && !tls)
        throw UsageError("implicit TLS needs a certificate: set imap.cert and imap.key");
    CatchStopSignals();
    for (const Listener& l : listeners)
      std::cerr << "imap: listening" << (l.tls ? " with TLS" : "") << " on " << Where(l.fd)
                << std::endl;
    ServiceLog journal("imap");
    Serve(listeners, settings, tls.get());
    for (const Listener& l : listeners) close(l.fd);
    std::cerr << "imap: stopped" << std::endl;
  });
}

}  // namespace drossgate::tools
