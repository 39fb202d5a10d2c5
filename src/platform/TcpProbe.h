// The socket half of the port probe: one TCP connect to an IPv4 address, cut short by a stop
// or by a timeout.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

namespace varnley {

class StopSource;

enum class ProbeResult { Open, Closed, Stopped };

// Connects to the address given as its four octets (in order) and closes again at once, with
// a reset rather than the usual close: a probe must leave no TIME_WAIT behind, or thousands of
// probes a minute use up the local ports and later connects fail for no fault of the target.
// A timeout of zero leaves the system's own connect timeout; otherwise a connect still pending
// after it gives Closed. A stop request (when stop is given) ends any wait within about a tenth
// of a second and gives Stopped. Any other failure gives Closed.
ProbeResult TcpConnectProbe(const std::array<std::uint8_t, 4>& octets, std::uint16_t port,
                            const StopSource* stop,
                            std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

}  // namespace varnley
