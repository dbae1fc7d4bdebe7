#include "relay.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

#include <curl/curl.h>

#include "error.h"
#include "system/atomic_file.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::tools {

namespace {

namespace errors = platform::errors;

[[noreturn]] void Wrong(const std::string& key, const std::string& why) {
  platform::Fail(errors::kCorrupt, "machine.json: \"relay\".\"" + key + "\" " + why);
}

// The same reply for every receiver.
std::vector<RelayReply> Everyone(size_t n, int code, const std::string& text) {
  return std::vector<RelayReply>(n, RelayReply{code, text});
}

// Line ends as SMTP wants them, the last line ended too (libcurl adds the dots itself).
std::string WithCrlf(std::string_view source) {
  std::string out = text::WithCrLf(source);
  if (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0) out += "\r\n";
  return out;
}

// The password, from a file no one but its owner may read; nullopt with why when it cannot be
// used (which is for now: the administrator can mend it).
std::optional<std::string> Password(const std::filesystem::path& file, std::string& why) {
  if (const auto problem = platform::SecretFileProblem(file)) {
    why = "the relay password file " + file.string() + " " + *problem;
    return std::nullopt;
  }
  std::string password;
  if (!platform::ReadPasswordFile(file, password)) {
    why = "the relay password file " + file.string() + " cannot be read";
    return std::nullopt;
  }
  return password;
}

// What the SMTP conversation said, read from libcurl's trace: the reply to MAIL, to each RCPT
// in the order sent, and the final one to the message's data.
struct Conversation {
  enum class Step { kOther, kMail, kRcpt, kData, kBody };
  Step step = Step::kOther;
  std::optional<RelayReply> mail, data;
  std::vector<RelayReply> rcpt;
  RelayReply last;  // the last reply to anything, for failures before the transaction
  std::string pendingText;

  void Sent(std::string_view command) {
    if (text::StartsWithNoCase(command, "MAIL FROM:"))
      step = Step::kMail;
    else if (text::StartsWithNoCase(command, "RCPT TO:"))
      step = Step::kRcpt;
    else if (text::StartsWithNoCase(command, "DATA"))
      step = Step::kData;
    else
      step = Step::kOther;
  }
  void Received(std::string_view chunk) {
    size_t pos = 0;
    while (pos < chunk.size()) {
      size_t nl = chunk.find('\n', pos);
      std::string_view line = chunk.substr(pos, nl == std::string_view::npos ? nl : nl - pos);
      pos = nl == std::string_view::npos ? chunk.size() : nl + 1;
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (line.size() < 3 || !std::all_of(line.begin(), line.begin() + 3, ::isdigit)) continue;
      pendingText += (pendingText.empty() ? "" : " ") + std::string(text::Trim(line.substr(3)));
      if (line.size() > 3 && line[3] == '-') continue;  // more lines of the same reply follow
      RelayReply r{std::stoi(std::string(line.substr(0, 3))),
                   std::string(line.substr(0, 3)) + " " + pendingText};
      pendingText.clear();
      last = r;
      if (step == Step::kMail) mail = r;
      if (step == Step::kRcpt) rcpt.push_back(r);
      if (step == Step::kBody) data = r;
      // The 354 go-ahead: the next reply is the one to the message itself.
      step = step == Step::kData && r.code == 354 ? Step::kBody : Step::kOther;
    }
  }
};

int Trace(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  auto* c = static_cast<Conversation*>(user);
  if (type == CURLINFO_HEADER_OUT) c->Sent(std::string_view(data, size));
  if (type == CURLINFO_HEADER_IN) c->Received(std::string_view(data, size));
  return 0;
}

struct Upload {
  std::string data;
  size_t pos = 0;
};

size_t ReadUpload(char* buffer, size_t size, size_t count, void* user) {
  auto* u = static_cast<Upload*>(user);
  const size_t n = std::min(size * count, u->data.size() - u->pos);
  std::memcpy(buffer, u->data.data() + u->pos, n);
  u->pos += n;
  return n;
}

void OverSmtp(const RelaySettings& s, const std::string& sender,
              const std::vector<std::string>& receivers, std::string_view source,
              const RelayRecord& record) {
  static std::once_flag init;
  std::call_once(init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  std::string password, why;
  if (!s.user.empty()) {
    auto p = Password(s.passwordFile, why);
    if (!p) return record(Everyone(receivers.size(), 0, why));
    password = std::move(*p);
  }
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return record(Everyone(receivers.size(), 0, "libcurl cannot start a transfer"));
  const std::string url = "smtp://" + s.host + ":" + std::to_string(s.port);
  const std::string from = "<" + sender + ">";
  curl_slist* rcpt = nullptr;
  for (const std::string& r : receivers) rcpt = curl_slist_append(rcpt, ("<" + r + ">").c_str());
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> rcptList(rcpt, curl_slist_free_all);
  Upload upload{WithCrlf(source)};
  Conversation talk;
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_MAIL_FROM, from.c_str());
  curl_easy_setopt(c, CURLOPT_MAIL_RCPT, rcpt);
  curl_easy_setopt(c, CURLOPT_MAIL_RCPT_ALLLOWFAILS, 1L);  // so spelt in libcurl 7.88
  curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(c, CURLOPT_READFUNCTION, ReadUpload);
  curl_easy_setopt(c, CURLOPT_READDATA, &upload);
  curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(upload.data.size()));
  curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, Trace);
  curl_easy_setopt(c, CURLOPT_DEBUGDATA, &talk);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 30L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, static_cast<long>(s.timeout));
  if (s.starttls) curl_easy_setopt(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
  if (!s.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, s.caFile.c_str());
  if (!s.user.empty()) {
    curl_easy_setopt(c, CURLOPT_USERNAME, s.user.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, password.c_str());
  }
  const CURLcode rc = curl_easy_perform(c);
  std::fill(password.begin(), password.end(), '\0');

  const std::string failure = std::string(curl_easy_strerror(rc)) + " (" + url + ")";
  std::vector<RelayReply> out;
  for (size_t i = 0; i < receivers.size(); ++i) {
    if (talk.mail && !talk.mail->Done()) {
      out.push_back(*talk.mail);  // the sender refused: for every receiver alike
    } else if (i < talk.rcpt.size() && !talk.rcpt[i].Done()) {
      out.push_back(talk.rcpt[i]);
    } else if (i < talk.rcpt.size() && talk.data) {
      out.push_back(*talk.data);
    } else if (i < talk.rcpt.size()) {
      out.push_back({0, "the connection ended before the server took the message: " + failure});
    } else {
      // Never asked: the connection, the greeting, TLS or the login failed, all for now.
      out.push_back({0, talk.last.code >= 400 ? talk.last.text + " (" + url + ")" : failure});
    }
  }
  record(out);
}

// A plain-socket conversation for LMTP (RFC 2033), which libcurl does not speak: one reply per
// accepted receiver after the data.
class Wire {
 public:
  Wire(const std::string& host, int64_t port, int64_t timeout) {
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
      error_ = host + ": " + gai_strerror(rc);
      return;
    }
    for (addrinfo* a = found; a && fd_ < 0; a = a->ai_next) {
      fd_ = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
      if (fd_ < 0) continue;
      timeval tv{static_cast<time_t>(timeout), 0};
      setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
      if (connect(fd_, a->ai_addr, a->ai_addrlen) != 0) {
        error_ = std::strerror(errno);
        close(fd_);
        fd_ = -1;
      }
    }
    freeaddrinfo(found);
    if (fd_ < 0) error_ = "cannot connect to " + host + ":" + service + ": " + error_;
  }
  ~Wire() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  const std::string& error() const { return error_; }

  bool Send(std::string_view data) {
    for (size_t pos = 0; fd_ >= 0 && pos < data.size();) {
      const ssize_t n = send(fd_, data.data() + pos, data.size() - pos, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Lost(std::strerror(errno));
      pos += static_cast<size_t>(n);
    }
    return fd_ >= 0;
  }
  // The next complete reply; code 0 when the connection ended first.
  RelayReply Reply() {
    Conversation c;
    c.step = Conversation::Step::kMail;  // only to have the reply kept
    while (fd_ >= 0) {
      const size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        c.Received(std::string_view(buffer_).substr(0, nl + 1));
        buffer_.erase(0, nl + 1);
        if (c.mail) return *c.mail;
        continue;
      }
      char chunk[4096];
      const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0)
        Lost(n == 0 ? "closed by the server" : std::strerror(errno));
      else
        buffer_.append(chunk, static_cast<size_t>(n));
    }
    return {0, "the connection ended: " + error_};
  }
  RelayReply Ask(const std::string& command) {
    return Send(command + "\r\n") ? Reply() : RelayReply{0, "the connection ended: " + error_};
  }

 private:
  bool Lost(const std::string& why) {
    error_ = why;
    close(fd_);
    fd_ = -1;
    return false;
  }
  int fd_ = -1;
  std::string buffer_, error_;
};

// The message with its lines that begin with "." doubled, and the final dot.
std::string DotStuffed(const std::string& crlf) {
  std::string out = crlf[0] == '.' ? "." : "";
  out.reserve(crlf.size() + 16);
  for (size_t i = 0; i < crlf.size(); ++i) {
    out += crlf[i];
    if (crlf[i] == '\n' && i + 1 < crlf.size() && crlf[i + 1] == '.') out += '.';
  }
  return out + ".\r\n";
}

void OverLmtp(const RelaySettings& s, const std::string& sender,
              const std::vector<std::string>& receivers, std::string_view source,
              const RelayRecord& record) {
  const std::string where = " (lmtp://" + s.host + ":" + std::to_string(s.port) + ")";
  Wire wire(s.host, s.port, s.timeout);
  if (!wire.ok()) return record(Everyone(receivers.size(), 0, wire.error() + where));
  // Anything but a go-ahead before the transaction is a failure for now, whatever its code.
  for (const std::string& command : {std::string(), "LHLO " + platform::FullComputerName()}) {
    const RelayReply r = command.empty() ? wire.Reply() : wire.Ask(command);
    if (!r.Done()) return record(Everyone(receivers.size(), 0, r.text + where));
  }
  const RelayReply mail = wire.Ask("MAIL FROM:<" + sender + ">");
  if (!mail.Done()) return record(Everyone(receivers.size(), mail.code, mail.text));
  std::vector<RelayReply> out;
  std::vector<size_t> accepted;
  for (const std::string& r : receivers) {
    out.push_back(wire.Ask("RCPT TO:<" + r + ">"));
    if (out.back().Done()) accepted.push_back(out.size() - 1);
  }
  if (!accepted.empty()) {
    const RelayReply data = wire.Ask("DATA");
    if (data.code != 354) {
      for (size_t i : accepted) out[i] = data.code >= 400 ? data : RelayReply{0, data.text + where};
    } else {
      wire.Send(DotStuffed(WithCrlf(source)));
      for (size_t i : accepted) out[i] = wire.Reply();
    }
  }
  record(out);
  wire.Send("QUIT\r\n");
}

// sendmail's statuses of sysexits.h that trying again may mend; "cannot run it" is one too.
constexpr int kCannotRun = 127;
bool Temporary(int status) {
  return status == EX_TEMPFAIL || status == EX_OSERR || status == EX_OSFILE || status == EX_IOERR ||
         status == EX_CANTCREAT || status == EX_UNAVAILABLE || status == kCannotRun;
}

// sendmail -i -f SENDER -- RECEIVER...: one exit status for all receivers.
std::vector<RelayReply> OverSendmail(const RelaySettings& s, const std::string& sender,
                                     const std::vector<std::string>& receivers,
                                     std::string_view source) {
  std::vector<std::string> args{s.sendmail, "-i", "-f", sender.empty() ? "<>" : sender, "--"};
  args.insert(args.end(), receivers.begin(), receivers.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int in[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) return Everyone(receivers.size(), 0, std::strerror(errno));
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return Everyone(receivers.size(), 0, std::strerror(errno));
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(err[1], 1);
    dup2(err[1], 2);
    execv(argv[0], argv.data());
    _exit(kCannotRun);
  }
  close(in[0]);
  close(err[1]);
  if (pid < 0) {
    close(in[1]);
    close(err[0]);
    return Everyone(receivers.size(), 0, std::string("cannot start sendmail: ") + strerror(errno));
  }
  // A sendmail that ends early must not end this process with SIGPIPE.
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  for (size_t pos = 0; pos < source.size();) {
    const ssize_t n = write(in[1], source.data() + pos, source.size() - pos);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pos += static_cast<size_t>(n);
  }
  close(in[1]);
  sigaction(SIGPIPE, &old, nullptr);
  std::string said;
  char buf[4096];
  for (ssize_t n; (n = read(err[0], buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (said.size() < 4096) said.append(buf, static_cast<size_t>(n));
  }
  close(err[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const std::string what = s.sendmail + " " + text::Trim(said);
  if (!WIFEXITED(status))
    return Everyone(receivers.size(), 0, s.sendmail + " was ended by a signal");
  const int code = WEXITSTATUS(status);
  if (code == 0) return Everyone(receivers.size(), 250, "250 taken by " + s.sendmail);
  const bool temporary = Temporary(code);
  return Everyone(receivers.size(), temporary ? 0 : 550,
                  (temporary ? "" : "550 ") + what + " (exit " + std::to_string(code) + ")");
}

}  // namespace

RelaySettings ReadRelaySettings() {
  const platform::MachineInfo& m = platform::Machine();
  RelaySettings s;
  const std::string via = m.Text("relay.via", "smtp");
  if (via != "smtp" && via != "sendmail") Wrong("via", "is \"" + via + "\", not smtp or sendmail");
  s.viaSendmail = via == "sendmail";
  s.host = m.Text("relay.host");
  s.enabled = s.viaSendmail || !s.host.empty();
  if (s.host.find_first_of("/@ \t\r\n") != std::string::npos)
    Wrong("host", "is \"" + s.host + "\", not a host name");
  s.port = m.Number("relay.port", 25, 1, 65535);
  s.starttls = m.Flag("relay.starttls", false);
  s.user = m.Text("relay.auth");
  const std::filesystem::path file = m.Text("relay.password_file");
  if (!s.user.empty() && file.empty()) Wrong("password_file", "is needed with \"auth\"");
  s.passwordFile = file.is_absolute() || file.empty() ? file : platform::PlatformRoot() / file;
  const std::filesystem::path ca = m.Text("relay.ca_file");
  s.caFile = ca.is_absolute() || ca.empty() ? ca : platform::PlatformRoot() / ca;
  s.sendmail = m.Text("relay.sendmail", s.sendmail);
  const std::string sender = m.Text("relay.sender", "original");
  if (sender != "original" && sender != "forwarder")
    Wrong("sender", "is \"" + sender + "\", not original or forwarder");
  s.forwarderSender = sender == "forwarder";
  s.retryFirst = m.Number("relay.retry_first", 60, 0, 86400);
  s.retryMax = m.Number("relay.retry_max", 3600, 0, 7 * 86400);
  s.giveUpAfter = m.Number("relay.give_up_after", 5 * 86400, 0, 365 * 86400);
  s.timeout = m.Number("relay.timeout", 300, 1, 86400);
  return s;
}

void Relay(const RelaySettings& settings, const std::string& sender,
           const std::vector<std::string>& receivers, std::string_view source,
           const RelayRecord& record) {
  if (settings.viaSendmail)
    record(OverSendmail(settings, sender, receivers, source));
  else if (settings.lmtp)
    OverLmtp(settings, sender, receivers, source, record);
  else
    OverSmtp(settings, sender, receivers, source, record);
}

std::optional<RelaySettings> ForServer(const RelaySettings& relay, const std::string& url) {
  RelaySettings s;
  s.enabled = true;
  s.timeout = relay.timeout;
  const size_t scheme = url.find("://");
  const size_t colon = url.rfind(':');
  if (scheme == std::string::npos || colon <= scheme + 3) return std::nullopt;
  const std::string protocol = text::ToLower(url.substr(0, scheme));
  if (protocol != "lmtp" && protocol != "smtp") return std::nullopt;
  s.lmtp = protocol == "lmtp";
  s.host = url.substr(scheme + 3, colon - scheme - 3);
  const std::string port = url.substr(colon + 1);
  if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), ::isdigit) ||
      s.host.find_first_of("/@ \t\r\n") != std::string::npos)
    return std::nullopt;
  s.port = std::stoi(port);
  return s;
}

bool IsMailAddress(std::string_view address) {
  if (address.empty() || address.size() > 254 || address.find('@') == std::string_view::npos)
    return false;
  return std::none_of(address.begin(), address.end(), [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c <= 0x20 || c == 0x7f || c == '<' || c == '>';
  });
}

int64_t RetryWait(const RelaySettings& s, int64_t attempts) {
  int64_t wait = s.retryFirst;
  for (int64_t i = 1; i < attempts && wait < s.retryMax; ++i) wait *= 2;
  return std::min(wait, s.retryMax);
}

}  // namespace drossgate::tools
