// The socket half of the port probe: TCP connects to IPv4 and IPv6 addresses and to the
// addresses of host names, cut short by a stop or by a timeout.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/IpAddress.h"
#include "platform/Resolver.h"

namespace varnley {

class Resolver;
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
  std::array<std::uint8_t, 4> octets{};
  std::uint16_t port = 0;
  // An IPv6 target's address (octets unused), or a host name whose addresses are probed
  // (octets and ipv6 unused).
  std::optional<std::array<std::uint8_t, 16>> ipv6{};
  std::string name{};
};

// Why a probe gave Closed.
enum class ProbeFailure { none, refused, timedOut, noSuchName, serverFailure, noAnswer };
// "refused", "timed out", "no such name", "name server failure",
// "no answer from the name servers" ("" for none).
const char* ProbeFailureText(ProbeFailure failure);
// A lookup's failure as the probe reports it.
ProbeFailure ProbeFailureOf(LookupFailure failure);

struct ProbeOutcome {
  ProbeResult result = ProbeResult::Stopped;
  std::chrono::nanoseconds duration{0};  // from the first connect's start to the answer
  ProbeFailure failure = ProbeFailure::none;
  // The address that accepted, or the last one tried; nullopt when none was (a name that did
  // not resolve, a stop before the connect).
  std::optional<IpAddress> address{};
};

// The same probe for many targets at once: every connect is started without waiting, and one
// wait beside the stop descriptor collects the answers as they come. out must be as long as
// targets. The timeout counts from each connect's own start. When the process runs out of
// descriptors, the remaining connects start as earlier ones finish, so none is called Closed
// for a lack of descriptors while others are still open. A stop request ends the whole batch
// within about a tenth of a second; every target without an answer by then gives Stopped.
// A batch of one IPv4 target is exactly TcpConnectProbe.
//
// Names are looked up through the resolver (one of the system's configuration when none is
// given), all at once and beside the connects, each within kLookupLimit or the timeout when
// that is shorter. A name's addresses are tried in the resolver's order until one accepts,
// all within the one timeout counted from the first connect's start. A name that gives no
// address is Closed with the lookup's reason.
void TcpConnectProbeBatch(std::span<const ProbeTarget> targets, std::span<ProbeOutcome> out,
                          const StopSource* stop,
                          std::chrono::milliseconds timeout = std::chrono::milliseconds(0),
                          Resolver* resolver = nullptr);

// Raises the soft limit of open descriptors towards the hard one (the first call does it) and
// returns how many probe connects may be open at once beside the descriptors in use now,
// keeping a margin for the rest of the program. At least 1.
std::size_t ProbeDescriptorBudget();

}  // namespace varnley
