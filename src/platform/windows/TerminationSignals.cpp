#include "platform/TerminationSignals.h"

#include "platform/windows/Winsock.h"

namespace varnley {

namespace {

SOCKET writeEnd = INVALID_SOCKET;

// Runs on a thread the system starts for the event. Closing the console, logging off and
// shutting down end the process as soon as the handler returns, so for those it waits (the
// system allows a few seconds) while the main thread ends the program the normal way; the
// process ending takes this thread with it.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      RaiseWake(writeEnd);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      RaiseWake(writeEnd);
      ::Sleep(5000);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

// The console's control events stand in for the signals: Ctrl+C, Ctrl+Break, closing the
// console window, log-off and shutdown each make the returned socket readable.
int InstallTerminationSignalPipe() {
  static int readEnd = -1;
  if (readEnd >= 0) return readEnd;
  SOCKET read, write;
  if (!MakeWakePair(read, write)) return -1;
  writeEnd = write;
  if (!::SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) {
    ::closesocket(read);
    ::closesocket(write);
    writeEnd = INVALID_SOCKET;
    return -1;
  }
  readEnd = SocketToInt(read);
  return readEnd;
}

bool DrainTerminationSignalPipe(int fd) { return DrainWake(IntToSocket(fd)); }

// Every console event asks for an end; Windows has no reload request.
PendingSignals ReadTerminationSignalPipe(int fd) {
  PendingSignals pending;
  pending.stop = DrainWake(IntToSocket(fd));
  return pending;
}

bool WaitForTerminationSignal(int fd, std::chrono::milliseconds timeout) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(IntToSocket(fd), &readable);
  const long long ms = timeout.count() < 0 ? 0 : timeout.count();
  timeval wait{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
  return ::select(0, &readable, nullptr, nullptr, &wait) > 0;
}

}  // namespace varnley
