#include <charconv>

#include "model/AddressCheck.h"
#include "service/MetricsEndpoint.h"

namespace varnley {

std::optional<MetricsAddress> ParseMetricsAddress(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  MetricsAddress address{text.substr(0, colon), 0};
  const char* first = text.data() + colon + 1;
  const char* last = text.data() + text.size();
  const auto [end, error] = std::from_chars(first, last, address.port);
  if (first == last || error != std::errc() || end != last || address.port < 0 ||
      address.port > 65535 || !IsValidIP(address.host))
    return std::nullopt;
  // The library reads the address as decimal octets too, but "010" would reach it as is.
  const auto octets = ParseIPv4(address.host);
  address.host = std::to_string((*octets)[0]) + '.' + std::to_string((*octets)[1]) + '.' +
                 std::to_string((*octets)[2]) + '.' + std::to_string((*octets)[3]);
  return address;
}

std::string ListenWhereSettingsSay(MetricsEndpoint& endpoint, const std::string& address) {
  std::string reason;
  if (endpoint.Listen(address, &reason)) return "";
  return "Varnley: metrics: " + reason;
}

}  // namespace varnley
