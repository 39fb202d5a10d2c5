// The port probe: does a TCP port on a host accept a connection?
#pragma once

#include <chrono>
#include <string>

namespace varnley {

class StopSource;

// True when host:port accepted a TCP connection. A host that fails IsValidIP, or a port
// outside 1..65535, gives false without touching the network. A timeout of zero leaves the
// system's own connect timeout; a connect still pending after a longer one gives false, as
// does a stop request (when stop is given) that cuts the wait short.
bool CheckPort(const std::string& host, int port, const StopSource* stop = nullptr,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

}  // namespace varnley
