#include "platform/TerminationSignals.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <initializer_list>

namespace varnley {

namespace {

// What was asked for lives in these flags; the pipe only wakes the loop. A byte per signal
// would let a flood of reloads fill the pipe and drop the end request that came after them.
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
std::atomic<bool> stopAsked{false};
std::atomic<bool> reloadAsked{false};

int writeEnd = -1;

void onSignal(int signo) {
  const int savedErrno = errno;
  (signo == SIGHUP ? reloadAsked : stopAsked).store(true);
  const char byte = 1;
  // A full pipe already holds a pending wake-up; losing this byte loses nothing.
  [[maybe_unused]] auto n = ::write(writeEnd, &byte, 1);
  errno = savedErrno;
}

}  // namespace

int InstallTerminationSignalPipe() {
  static int readEnd = -1;
  if (readEnd >= 0) return readEnd;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  writeEnd = fds[1];
  struct sigaction action = {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signo : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signo, &action, nullptr);
  readEnd = fds[0];
  return readEnd;
}

bool DrainTerminationSignalPipe(int fd) {
  const PendingSignals pending = ReadTerminationSignalPipe(fd);
  return pending.stop || pending.reload;
}

PendingSignals ReadTerminationSignalPipe(int fd) {
  // The pipe is emptied before the flags are taken: a signal in between leaves its byte for
  // the next wait, never a flag that nothing wakes the loop for.
  char buffer[256];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    break;
  }
  PendingSignals pending;
  pending.stop = stopAsked.exchange(false);
  pending.reload = reloadAsked.exchange(false);
  return pending;
}

bool WaitForTerminationSignal(int fd, std::chrono::milliseconds timeout) {
  pollfd entry = {fd, POLLIN, 0};
  const int ms = static_cast<int>(std::max<long long>(0, timeout.count()));
  return ::poll(&entry, 1, ms) > 0 && (entry.revents & POLLIN);
}

}  // namespace varnley
