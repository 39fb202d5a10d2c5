// SIGTERM, SIGINT and SIGHUP remembered as requests, with a pipe that wakes the event loop, so
// it can close the program the normal way instead of dying inside a signal handler.
#pragma once

#include <chrono>

namespace varnley {

// Installs the handlers once; returns the pipe's read end (non-blocking), or -1 on failure.
int InstallTerminationSignalPipe();

// Empties the pipe; true when at least one signal had arrived.
bool DrainTerminationSignalPipe(int fd);

// What the signals since the last reading ask for: SIGTERM and SIGINT an end, SIGHUP a
// reload. However many of one kind arrive, none of the other is lost.
struct PendingSignals {
  bool stop = false;
  bool reload = false;
};
// Empties the pipe and takes the requests, saying which kinds of signal had arrived.
PendingSignals ReadTerminationSignalPipe(int fd);

// Waits until the pipe has a signal to read or the timeout passed; true when one is there.
bool WaitForTerminationSignal(int fd, std::chrono::milliseconds timeout);

}  // namespace varnley
