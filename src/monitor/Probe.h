// The port probe: does a TCP port on a host accept a connection?
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace varnley {

class StopSource;

struct PortTarget {
  std::string host;
  int port = 0;
};

struct PortAnswer {
  bool open = false;
  std::chrono::nanoseconds duration{0};  // 0 for a target that never reached the network
};

// Probes every target at once and answers in the same order. A host that fails IsValidIP, or a
// port outside 1..65535, gives false without touching the network. A timeout of zero leaves
// the system's own connect timeout; a connect still pending after a longer one gives false, as
// does a stop request (when stop is given) that cuts the wait short.
std::vector<PortAnswer> CheckPorts(const std::vector<PortTarget>& targets, const StopSource* stop,
                                   std::chrono::milliseconds timeout);

// True when host:port accepted a TCP connection: CheckPorts for one target.
bool CheckPort(const std::string& host, int port, const StopSource* stop = nullptr,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

}  // namespace varnley
