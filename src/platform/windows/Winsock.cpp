#include "platform/windows/Winsock.h"

namespace varnley {

int EnsureWinsock() {
  // Never cleaned up: sockets live until the process ends, and the system releases it then.
  static const int result = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data);
  }();
  return result;
}

bool MakeWakePair(SOCKET& readEnd, SOCKET& writeEnd) {
  readEnd = writeEnd = INVALID_SOCKET;
  if (EnsureWinsock() != 0) return false;
  SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener == INVALID_SOCKET) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof address;
  // Exclusive: no other program can take the port between bind and connect.
  const BOOL on = TRUE;
  ::setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
               sizeof on);
  bool ok = ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(listener, 1) == 0 &&
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &len) == 0;
  if (ok) {
    writeEnd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ok = writeEnd != INVALID_SOCKET &&
         ::connect(writeEnd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  if (ok) {
    // The accepted end must be the one our connect made, not a stranger's.
    sockaddr_in peer{}, local{};
    int peerLen = sizeof peer, localLen = sizeof local;
    readEnd = ::accept(listener, reinterpret_cast<sockaddr*>(&peer), &peerLen);
    ok = readEnd != INVALID_SOCKET &&
         ::getsockname(writeEnd, reinterpret_cast<sockaddr*>(&local), &localLen) == 0 &&
         peer.sin_port == local.sin_port && peer.sin_addr.s_addr == local.sin_addr.s_addr;
  }
  ::closesocket(listener);
  u_long nonBlocking = 1;
  ok = ok && ::ioctlsocket(readEnd, FIONBIO, &nonBlocking) == 0 &&
       ::ioctlsocket(writeEnd, FIONBIO, &nonBlocking) == 0;
  if (!ok) {
    if (readEnd != INVALID_SOCKET) ::closesocket(readEnd);
    if (writeEnd != INVALID_SOCKET) ::closesocket(writeEnd);
    readEnd = writeEnd = INVALID_SOCKET;
  }
  return ok;
}

void RaiseWake(SOCKET writeEnd) {
  const char byte = 1;
  ::send(writeEnd, &byte, 1, 0);
}

bool DrainWake(SOCKET readEnd) {
  bool any = false;
  char buffer[64];
  while (::recv(readEnd, buffer, sizeof buffer, 0) > 0) any = true;
  return any;
}

}  // namespace varnley
