// The port probe: does a TCP port on a host accept a connection?
#pragma once

#include <string>

namespace varnley {

class StopSource;

// True when host:port accepted a TCP connection. A host that fails IsValidIP, or a port
// outside 1..65535, gives false without touching the network. The connect has no timeout
// of its own; a stop request (when given) cuts it short, and the result is then false.
bool CheckPort(const std::string& host, int port, const StopSource* stop = nullptr);

}  // namespace varnley
