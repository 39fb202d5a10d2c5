#include "monitor/Probe.h"

#include "monitor/AddressCheck.h"
#include "platform/TcpProbe.h"

namespace varnley {

bool CheckPort(const std::string& host, int port, const StopSource* stop,
               std::chrono::milliseconds timeout) {
  // A port outside 1..65535 would otherwise be probed under another number.
  if (port < 1 || port > 65535) return false;
  const auto octets = ParseIPv4(host);
  if (!octets) return false;
  return TcpConnectProbe(*octets, static_cast<std::uint16_t>(port), stop, timeout) ==
         ProbeResult::Open;
}

}  // namespace varnley
