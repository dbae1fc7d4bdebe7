#include "pickup_envelope.h"

#include "text.h"

namespace drossgate::tools {

namespace {

// One envelope line: its name and its value without surrounding blanks; false for a line that
// has no ":".
bool SplitLine(std::string_view line, std::string& name, std::string_view& value) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  name = text::Trim(line.substr(0, colon));
  value = line.substr(colon + 1);
  while (!value.empty() && (value.back() == '\r' || value.back() == ' ' || value.back() == '\t'))
    value.remove_suffix(1);
  const size_t first = value.find_first_not_of(" \t");
  value = first == std::string_view::npos ? std::string_view() : value.substr(first);
  return true;
}

}  // namespace

Envelope ReadEnvelope(std::string_view content) {
  Envelope env;
  size_t pos = 0;
  while (pos < content.size()) {
    const size_t nl = content.find('\n', pos);
    const size_t end = nl == std::string_view::npos ? content.size() : nl;
    std::string name;
    std::string_view value;
    const bool isLine = SplitLine(content.substr(pos, end - pos), name, value);
    const size_t next = nl == std::string_view::npos ? content.size() : nl + 1;
    if (isLine && text::EqualsNoCase(name, "x-receiver")) {
      const std::string address = ReceiverAddress(value);
      bool known = false;
      for (const std::string& r : env.receivers)
        known = known || text::EqualsNoCase(ReceiverAddress(r), address);
      if (!known) env.receivers.emplace_back(value);
      pos = next;
      continue;
    }
    if (isLine && text::EqualsNoCase(name, "x-sender") && !env.receivers.empty()) {
      env.sender = value;
      env.bodyStart = next;
      return env;
    }
    break;
  }
  env.error = env.receivers.empty() ? "the file does not begin with an x-receiver line"
                                    : "the x-receiver lines are not followed by an x-sender line";
  env.receivers.clear();
  env.bodyStart = 0;
  return env;
}

std::string ReceiverAddress(std::string_view receiver) {
  size_t open = receiver.find('<');
  size_t close = open == std::string_view::npos ? std::string_view::npos : receiver.find('>', open);
  if (close != std::string_view::npos)
    return text::Trim(receiver.substr(open + 1, close - open - 1));
  return text::Trim(receiver);
}

bool HasDeliveredTo(std::string_view source, const std::vector<std::string>& addresses) {
  constexpr std::string_view kName = "delivered-to:";
  size_t pos = 0;
  while (pos < source.size()) {
    const size_t nl = source.find('\n', pos);
    std::string_view line = source.substr(pos, nl == std::string_view::npos ? nl : nl - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;  // the end of the header section
    if (text::StartsWithNoCase(line, kName)) {
      const std::string value = ReceiverAddress(line.substr(kName.size()));
      for (const std::string& a : addresses)
        if (text::EqualsNoCase(value, text::Trim(a))) return true;
    }
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }
  return false;
}

std::string WithDeliveredTo(std::string_view source, std::string_view address) {
  const size_t nl = source.find('\n');
  const bool bareLf = nl != std::string_view::npos && (nl == 0 || source[nl - 1] != '\r');
  std::string out = "Delivered-To: " + std::string(address) + (bareLf ? "\n" : "\r\n");
  out += source;
  return out;
}

}  // namespace drossgate::tools
