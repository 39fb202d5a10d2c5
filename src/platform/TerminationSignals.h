// SIGTERM, SIGINT and SIGHUP turned into readable bytes on a pipe, so the event loop can
// close the program the normal way instead of dying inside a signal handler.
#pragma once

namespace varnley {

// Installs the handlers once; returns the pipe's read end (non-blocking), or -1 on failure.
int InstallTerminationSignalPipe();

// Empties the pipe; true when at least one signal had arrived.
bool DrainTerminationSignalPipe(int fd);

}  // namespace varnley
