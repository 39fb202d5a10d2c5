// The port probe: does a TCP port on a host accept a connection?
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace varnley {

class StopSource;

struct PortTarget {
  std::string host;  // in its stored form: IPv4, IPv6 without brackets, or a name
  int port = 0;
};

struct PortAnswer {
  bool open = false;
  std::chrono::nanoseconds duration{0};  // 0 for a target that never reached the network
  // Why it is not open: "refused", "timed out", "no such name", "name server failure",
  // "no answer from the name servers"; "" when open, stopped, or never probed.
  std::string reason{};
  // The address that accepted or was tried last, as text; "" when none was.
  std::string address{};
  // The name gave no address: the reason is the lookup's.
  bool unresolved = false;
};

// Probes every target at once and answers in the same order. A host that is no valid host
// (see CanonicalHostOf), or a port outside 1..65535, gives false without touching the
// network. Names are looked up through the servers of dns (a `[config] dns` text; "" for the
// system's configuration). A timeout of zero leaves the system's own connect timeout; a
// connect still pending after a longer one gives false, as does a stop request (when stop is
// given) that cuts the wait short.
std::vector<PortAnswer> CheckPorts(const std::vector<PortTarget>& targets, const StopSource* stop,
                                   std::chrono::milliseconds timeout, const std::string& dns = {});

// True when host:port accepted a TCP connection: CheckPorts for one target.
bool CheckPort(const std::string& host, int port, const StopSource* stop = nullptr,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(0),
               const std::string& dns = {});

}  // namespace varnley
