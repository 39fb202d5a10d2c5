// The socket half of the port probe: one TCP connect to an IPv4 address, cut short by a stop.
#pragma once

#include <array>
#include <cstdint>

namespace varnley {

class StopSource;

enum class ProbeResult { Open, Closed, Stopped };

// Connects to the address given as its four octets (in order) and closes again at once.
// There is no timeout of its own: the system's connect timeout applies unless a stop request
// (when stop is given) ends the wait, which gives Stopped, within about a tenth of a second.
// Any failure gives Closed.
ProbeResult TcpConnectProbe(const std::array<std::uint8_t, 4>& octets, std::uint16_t port,
                            const StopSource* stop);

}  // namespace varnley
