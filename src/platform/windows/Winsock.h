// Winsock for the rest of the platform layer: started once per process, and a socket handle
// carried in the int the shared headers use for descriptors.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

namespace varnley {

// Starts Winsock 2.2 on the first call; later calls return the first one's result (0 or the
// error WSAStartup gave). Every function that makes a socket or looks up a name calls it.
int EnsureWinsock();

// A socket handle is a kernel handle, and those stay within 32 bits (the system keeps them so
// for 32-bit processes), so it fits the int that portable headers carry.
inline int SocketToInt(SOCKET s) { return s == INVALID_SOCKET ? -1 : static_cast<int>(s); }
inline SOCKET IntToSocket(int fd) {
  return fd < 0 ? INVALID_SOCKET : static_cast<SOCKET>(static_cast<unsigned>(fd));
}

// A connected pair of loopback sockets; the wake-up that WSAPoll and select can wait on beside
// other sockets (they take no events or pipes). Both ends non-blocking. False when the system
// refuses one of the steps.
bool MakeWakePair(SOCKET& readEnd, SOCKET& writeEnd);

// Sends one byte to the write end (a full buffer already holds a pending wake-up).
void RaiseWake(SOCKET writeEnd);
// Reads everything waiting on the read end; true when anything was there.
bool DrainWake(SOCKET readEnd);

}  // namespace varnley
