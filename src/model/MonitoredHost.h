// One row of the host table.
#pragma once

#include <string>

namespace varnley {

// What the last probe of one port found, for the tooltip, the log and the history. Kept by
// the host table beside its rows, never in the row or the file, so a table as loaded costs
// no more than its text.
struct PortState {
  std::string entry;    // the port as listed: "80"
  std::string reason;   // why it is down ("refused", "no such name", ...); "" when up
  std::string address;  // the address that answered or was tried last; "" when none was

  bool operator==(const PortState&) const = default;
};

struct MonitoredHost {
  std::string host;         // IPv4 as typed, IPv6 in RFC 5952 form, or a lower-case name
  std::string ports;        // monitored ports, each followed by ",": "21,80,443,"
  std::string deactivated;  // ports found closed, same form; never stored

  bool operator==(const MonitoredHost&) const = default;
};

}  // namespace varnley
