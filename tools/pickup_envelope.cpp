#include "pickup_envelope.h"

#include "text.h"

namespace drossgate::tools {

Envelope ReadEnvelope(std::string_view content) {
  Envelope env;
  size_t pos = 0;
  while (pos < content.size()) {
    size_t nl = content.find('\n', pos);
    size_t end = nl == std::string_view::npos ? content.size() : nl;
    std::string_view line = content.substr(pos, end - pos);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) break;
    std::string name = text::Trim(line.substr(0, colon));
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.back() == '\r' || value.back() == ' ' || value.back() == '\t'))
      value.remove_suffix(1);
    size_t first = value.find_first_not_of(" \t");
    value = first == std::string_view::npos ? std::string_view() : value.substr(first);
    if (text::EqualsNoCase(name, "x-receiver"))
      env.receivers.emplace_back(value);
    else if (text::EqualsNoCase(name, "x-sender"))
      env.sender = value;
    else
      break;
    pos = nl == std::string_view::npos ? content.size() : nl + 1;
  }
  env.bodyStart = pos;
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
