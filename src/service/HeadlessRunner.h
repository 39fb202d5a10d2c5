// The windowless run: the same engine as the window, with its log on stderr, driven by
// signals and the service manager instead of a person.
#pragma once

#include <string>
#include <vector>

#include "model/MonitoredHost.h"
#include "service/CommandLine.h"

namespace varnley {

// The whole windowless program: monitors until SIGTERM or SIGINT, reloads on SIGHUP, and
// returns the exit status (0, or 1 when it could not run or its final save failed).
int RunHeadless(const CommandLine& line);

// The rows read again from the file, with the deactivated ports of the rows they replace: a
// port keeps its state where a row of the same host still lists the same port number.
void CarryPortState(const std::vector<MonitoredHost>& before, std::vector<MonitoredHost>& after);

}  // namespace varnley
