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

}  // namespace drossgate::tools
