// One row of the host table.
#pragma once

#include <string>

namespace varnley {

struct MonitoredHost {
  std::string host;         // dotted-quad IPv4 address, as shown
  std::string ports;        // monitored ports, each followed by ",": "21,80,443,"
  std::string deactivated;  // ports found closed, same form; never stored

  bool operator==(const MonitoredHost&) const = default;
};

}  // namespace varnley
