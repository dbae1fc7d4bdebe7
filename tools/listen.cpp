#include "listen.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "cli.h"
#include "text.h"

namespace drossgate::tools {

int Listen(const std::string& address, mode_t socketMode) {
  if (text::StartsWithNoCase(address, "unix:")) {
    const std::string path = address.substr(5);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path)
      throw UsageError("--listen " + address + ": not a usable socket path");
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // A socket left by an earlier run that was killed is replaced; nothing else is.
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) unlink(path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        chmod(path.c_str(), socketMode) != 0 || listen(fd, 128) != 0)
      throw std::runtime_error("cannot listen on " + address + ": " + std::strerror(errno));
    return fd;
  }
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos)
    throw UsageError("--listen " + address + ": HOST:PORT or unix:PATH");
  std::string host = address.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int rc = getaddrinfo(host.c_str(), address.c_str() + colon + 1, &hints, &found);
      rc != 0)
    throw UsageError("--listen " + address + ": " + gai_strerror(rc));
  const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const bool ok =
      fd >= 0 && bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, 128) == 0;
  const int error = errno;
  freeaddrinfo(found);
  if (!ok) throw std::runtime_error("cannot listen on " + address + ": " + std::strerror(error));
  return fd;
}

std::string HostText(const sockaddr_storage& addr) {
  char host[INET6_ADDRSTRLEN] = "";
  if (addr.ss_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&addr)->sin_addr, host, sizeof host);
  else if (addr.ss_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_addr, host,
              sizeof host);
  return host;
}

std::string Where(int fd) {
  sockaddr_storage addr{};
  socklen_t size = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) != 0) return "?";
  if (addr.ss_family == AF_UNIX)
    return std::string("unix:") + reinterpret_cast<sockaddr_un*>(&addr)->sun_path;
  const std::string host = HostText(addr);
  if (addr.ss_family == AF_INET)
    return host + ":" + std::to_string(ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port));
  return "[" + host +
         "]:" + std::to_string(ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port));
}

std::vector<Inherited> InheritedListeners() {
  const char* pid = std::getenv("LISTEN_PID");
  const char* fds = std::getenv("LISTEN_FDS");
  if (!pid || !fds || std::atoi(pid) != getpid() || std::atoi(fds) < 1) return {};
  const std::string names = std::getenv("LISTEN_FDNAMES") ? std::getenv("LISTEN_FDNAMES") : "";
  std::vector<Inherited> out;
  size_t from = 0;
  for (int fd = 3; fd < 3 + std::atoi(fds); ++fd) {
    int listening = 0;
    socklen_t size = sizeof listening;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening)
      throw std::runtime_error("LISTEN_FDS is set, but file descriptor " + std::to_string(fd) +
                               " is no listening socket");
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    const size_t to = std::min(names.find(':', from), names.size());
    out.push_back({fd, from < names.size() ? names.substr(from, to - from) : std::string()});
    from = to + 1;
  }
  return out;
}

namespace {

std::atomic<bool> gStop{false};
int gWake[2] = {-1, -1};  // written by the signal handler to wake the accept loop

void OnSignal(int) {
  gStop = true;
  if (gWake[1] >= 0) {
    const char c = 0;
    (void)!write(gWake[1], &c, 1);
  }
}

}  // namespace

void CatchStopSignals() {
  if (pipe2(gWake, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

bool Stopping() {
  return gStop;
}

int StopFd() {
  return gWake[0];
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // gone, or not reading within the send timeout
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace drossgate::tools
