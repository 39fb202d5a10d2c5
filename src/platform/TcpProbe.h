// The socket half of the port probe: one TCP connect to an IPv4 address, cut short by a stop
// or by a timeout.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

namespace varnley {

class StopSource;

enum class ProbeResult { Open, Closed, Stopped };

// The address of four octets (in order) as one number in host order. Built from the octets the
// user sees, never from text: a text parser could read "010" as octal.
constexpr std::uint32_t IPv4FromOctets(const std::array<std::uint8_t, 4>& octets) {
  return std::uint32_t{octets[0]} << 24 | std::uint32_t{octets[1]} << 16 |
         std::uint32_t{octets[2]} << 8 | octets[3];
}

// Connects to the address given as its four octets (in order) and closes again at once, with
// a reset rather than the usual close: a probe must leave no TIME_WAIT behind, or thousands of
// probes a minute use up the local ports and later connects fail for no fault of the target.
// A timeout of zero leaves the system's own connect timeout; otherwise a connect still pending
// after it gives Closed. A stop request (when stop is given) ends any wait within about a tenth
// of a second and gives Stopped. Any other failure gives Closed.
ProbeResult TcpConnectProbe(const std::array<std::uint8_t, 4>& octets, std::uint16_t port,
                            const StopSource* stop,
                            std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

struct ProbeTarget {
  std::array<std::uint8_t, 4> octets;
  std::uint16_t port;
};

struct ProbeOutcome {
  ProbeResult result = ProbeResult::Stopped;
  std::chrono::nanoseconds duration{0};  // from the connect's start to its answer
};

// The same probe for many targets at once: every connect is started without waiting, and one
// wait beside the stop descriptor collects the answers as they come. out must be as long as
// targets. The timeout counts from each connect's own start. When the process runs out of
// descriptors, the remaining connects start as earlier ones finish, so none is called Closed
// for a lack of descriptors while others are still open. A stop request ends the whole batch
// within about a tenth of a second; every target without an answer by then gives Stopped.
// A batch of one is exactly TcpConnectProbe.
void TcpConnectProbeBatch(std::span<const ProbeTarget> targets, std::span<ProbeOutcome> out,
                          const StopSource* stop,
                          std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

// Raises the soft limit of open descriptors towards the hard one (the first call does it) and
// returns how many probe connects may be open at once beside the descriptors in use now,
// keeping a margin for the rest of the program. At least 1.
std::size_t ProbeDescriptorBudget();

}  // namespace varnley
