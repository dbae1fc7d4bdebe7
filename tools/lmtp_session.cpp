#include "lmtp_session.h"

#include <charconv>

#include "text.h"

namespace drossgate::tools::lmtp {

namespace {

constexpr int kMaxErrors = 20;  // then the client is talking nonsense, and is cut off

bool Is(std::string_view verb, const char* name) {
  return text::EqualsNoCase(verb, name);
}

// The address in "<...>" at the start of text (after blanks); rest receives what follows.
// Without angle brackets the first word counts. False when there is nothing.
bool TakeAddress(std::string_view text, std::string& address, std::string_view& rest) {
  text = text::TrimView(text);
  if (!text.empty() && text.front() == '<') {
    const size_t close = text.find('>');
    if (close == std::string_view::npos) return false;
    address = std::string(text.substr(1, close - 1));
    rest = text.substr(close + 1);
    return true;
  }
  const size_t end = text.find(' ');
  address = std::string(text.substr(0, end));
  rest = end == std::string_view::npos ? std::string_view() : text.substr(end);
  return !address.empty();
}

std::string Line(std::string_view reply) {
  return std::string(reply) + "\r\n";
}

}  // namespace

Session::Session(Backend& backend, Limits limits, std::string hostname)
    : backend_(backend), limits_(limits), hostname_(std::move(hostname)) {}

std::string Session::Greeting() const {
  return Line("220 " + hostname_ + " LMTP service ready");
}

void Session::Reset() {
  inTransaction_ = false;
  tooBig_ = false;
  message_ = Message{};
}

std::string Session::Feed(std::string_view bytes) {
  std::string out;
  if (closed_) return out;
  pending_.append(bytes);
  size_t pos = 0;
  while (!closed_) {
    if (state_ == State::kData) {
      // Lines end at CR LF only: a bare LF is message text, so it can never end the data.
      const size_t end = pending_.find("\r\n", pos);
      if (end == std::string::npos) break;
      std::string_view line(pending_.data() + pos, end - pos);
      pos = end + 2;
      if (line == ".") {
        state_ = State::kCommand;
        EndOfData(out);
        continue;
      }
      if (!line.empty() && line.front() == '.') line.remove_prefix(1);
      if (message_.data.size() + line.size() + 2 > limits_.maxMessageSize) {
        tooBig_ = true;  // read on to the end, keep nothing more
        continue;
      }
      message_.data.append(line).append("\r\n");
      continue;
    }
    const size_t end = pending_.find('\n', pos);
    if (end == std::string::npos) {
      // A command line longer than any valid one: refused, and its rest skipped.
      if (state_ == State::kCommand && pending_.size() - pos > limits_.maxCommandLine) {
        out += Line("500 5.5.2 Line too long");
        state_ = State::kSkipLine;
        pos = pending_.size();
      } else if (state_ == State::kSkipLine) {
        pos = pending_.size();
      }
      break;
    }
    std::string_view line(pending_.data() + pos, end - pos);
    pos = end + 1;
    if (state_ == State::kSkipLine) {
      state_ = State::kCommand;
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > limits_.maxCommandLine) {
      out += Line("500 5.5.2 Line too long");
      continue;
    }
    Command(line, out);
  }
  pending_.erase(0, pos);
  return out;
}

void Session::Command(std::string_view line, std::string& out) {
  auto error = [&](std::string_view reply) {
    out += Line(reply);
    if (++errors_ >= kMaxErrors) {
      out += Line("421 4.7.0 Too many errors, closing the connection");
      closed_ = true;
    }
  };
  if (line.find('\0') != std::string_view::npos) return error("500 5.5.2 NUL character in command");
  const size_t space = line.find(' ');
  const std::string_view verb = line.substr(0, space);
  const std::string_view args = space == std::string_view::npos ? "" : line.substr(space + 1);
  if (Is(verb, "LHLO")) {
    if (text::TrimView(args).empty()) return error("501 5.5.4 Syntax: LHLO hostname");
    Reset();
    greeted_ = true;
    out += Line("250-" + hostname_) + Line("250-PIPELINING") + Line("250-ENHANCEDSTATUSCODES") +
           Line("250-8BITMIME") + Line("250 SIZE " + std::to_string(limits_.maxMessageSize));
  } else if (Is(verb, "MAIL") || Is(verb, "RCPT")) {
    const std::string reply = Is(verb, "MAIL") ? Mail(args) : Rcpt(args);
    if (reply.front() == '5') return error(reply);
    out += Line(reply);
  } else if (Is(verb, "DATA")) {
    if (!inTransaction_) return error("503 5.5.1 Need MAIL command");
    if (message_.recipients.empty()) return error("503 5.5.1 No valid recipients");
    state_ = State::kData;
    out += Line("354 Start mail input; end with <CRLF>.<CRLF>");
  } else if (Is(verb, "RSET")) {
    Reset();
    out += Line("250 2.0.0 OK");
  } else if (Is(verb, "NOOP")) {
    out += Line("250 2.0.0 OK");
  } else if (Is(verb, "QUIT")) {
    out += Line("221 2.0.0 Bye");
    closed_ = true;
  } else if (Is(verb, "HELO") || Is(verb, "EHLO")) {
    error("500 5.5.1 This is LMTP: say LHLO");
  } else {
    error("500 5.5.2 Command not recognised");
  }
}

std::string Session::Mail(std::string_view args) {
  if (!greeted_) return "503 5.5.1 Send LHLO first";
  if (inTransaction_) return "503 5.5.1 Nested MAIL command";
  args = text::TrimView(args);
  if (!text::StartsWithNoCase(args, "FROM:")) return "501 5.5.4 Syntax: MAIL FROM:<address>";
  std::string sender;
  std::string_view rest;
  const std::string_view from = text::TrimView(args.substr(5));
  if (from.rfind("<>", 0) == 0)
    rest = from.substr(2);
  else if (!TakeAddress(from, sender, rest))
    return "501 5.5.4 Syntax: MAIL FROM:<address>";
  for (const std::string& param : text::Split(std::string(text::TrimView(rest)), ' ')) {
    if (param.empty()) continue;
    if (text::StartsWithNoCase(param, "SIZE=")) {
      size_t size = 0;
      const char* last = param.data() + param.size();
      const auto [end, ec] = std::from_chars(param.data() + 5, last, size);
      if (ec != std::errc() || end != last) return "501 5.5.4 Bad SIZE parameter";
      if (size > limits_.maxMessageSize)
        return "552 5.3.4 Message too big (at most " + std::to_string(limits_.maxMessageSize) +
               " bytes)";
    } else if (!text::EqualsNoCase(param, "BODY=7BIT") &&
               !text::EqualsNoCase(param, "BODY=8BITMIME")) {
      return "555 5.5.4 Unsupported parameter " + param.substr(0, 64);
    }
  }
  Reset();
  message_.sender = sender;
  inTransaction_ = true;
  return "250 2.1.0 Sender OK";
}

std::string Session::Rcpt(std::string_view args) {
  if (!inTransaction_) return "503 5.5.1 Need MAIL command";
  args = text::TrimView(args);
  if (!text::StartsWithNoCase(args, "TO:")) return "501 5.5.4 Syntax: RCPT TO:<address>";
  std::string address;
  std::string_view rest;
  if (!TakeAddress(args.substr(3), address, rest) || address.empty())
    return "501 5.5.4 Syntax: RCPT TO:<address>";
  if (message_.recipients.size() >= limits_.maxRecipients) return "452 4.5.3 Too many recipients";
  std::optional<std::string> mailbox;
  try {
    mailbox = backend_.FindMailbox(address);
  } catch (const std::exception&) {
    return "451 4.3.0 The mailbox store cannot be reached now; try again later";
  }
  if (!mailbox) return "550 5.1.1 <" + address.substr(0, 256) + ">: no such mailbox here";
  message_.recipients.push_back({address, *mailbox});
  return "250 2.1.5 Recipient OK";
}

void Session::EndOfData(std::string& out) {
  std::vector<std::string> replies;
  if (tooBig_) {
    replies.assign(
        message_.recipients.size(),
        "552 5.3.4 Message too big (at most " + std::to_string(limits_.maxMessageSize) + " bytes)");
  } else {
    try {
      replies = backend_.Deliver(message_);
    } catch (const std::exception&) {
      replies.clear();
    }
    if (replies.size() != message_.recipients.size())
      replies.assign(message_.recipients.size(),
                     "451 4.3.0 The message could not be stored now; try again later");
  }
  for (const std::string& reply : replies) out += Line(reply);
  Reset();
}

}  // namespace drossgate::tools::lmtp
