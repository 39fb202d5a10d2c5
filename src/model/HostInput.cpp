#include "model/HostInput.h"

#include <charconv>

#include "model/IniDocument.h"
#include "model/PortList.h"
#include "platform/Text.h"

namespace varnley {

std::optional<int> ParseDecimal(std::string_view text) {
  const std::string trimmed = Trim(text);
  std::string_view s = trimmed;
  if (!s.empty() && s.front() == '+') {
    s.remove_prefix(1);
    // from_chars takes a "-" of its own; "+-1" is no number.
    if (!s.empty() && s.front() == '-') return std::nullopt;
  }
  if (s.empty() || s.front() == '+') return std::nullopt;
  int value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

std::optional<std::string> PortRefusal(const std::string& trimmed,
                                       const std::vector<std::string>& listed) {
  if (trimmed.empty()) return "Type a port number first.";
  const auto port = ParseDecimal(trimmed);
  if (!port || *port < kMinPort || *port > kMaxPort) return "A port is a number from 1 to 65535.";
  std::size_t stored = std::to_string(*port).size() + 1;
  for (const auto& line : listed) {
    if (ParseDecimal(line) == port) return "Port " + std::to_string(*port) + " is listed already.";
    stored += line.size() + 1;
  }
  if (stored > kMaxIniValueLength) return "The list is full: delete a port to make room.";
  return std::nullopt;
}

std::string PortText(const std::string& trimmed) {
  const auto port = ParseDecimal(trimmed);
  return port ? std::to_string(*port) : trimmed;
}

std::vector<std::string> SplitPorts(const std::string& ports) {
  std::vector<std::string> lines = SplitPortList(ports);
  std::erase_if(lines, [](const std::string& line) { return line.empty(); });
  return lines;
}

std::array<std::string, 4> SplitHost(std::string_view host) {
  std::array<std::string, 4> octets;
  for (std::size_t i = 0; i < octets.size(); ++i) {
    const auto dot = host.find('.');
    // The last field takes the rest, so nothing of a malformed host is silently lost.
    const auto part = i + 1 == octets.size() ? host : host.substr(0, dot);
    const auto value = ParseDecimal(part);
    octets[i] = value && *value >= 0 ? std::to_string(*value) : std::string(part);
    if (dot == std::string_view::npos || i + 1 == octets.size()) break;
    host.remove_prefix(dot + 1);
  }
  return octets;
}

std::string JoinHost(const std::array<std::string, 4>& octets) {
  return octets[0] + "." + octets[1] + "." + octets[2] + "." + octets[3];
}

std::string InvalidHostText(const std::string& host) { return "\"" + host + "\" is invalid."; }

std::string ConfirmRemoveText(const std::string& host) {
  return "Do you sure to delete Host \"" + host + "\"?";
}

}  // namespace varnley
