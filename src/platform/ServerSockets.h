// The socket calls a small server needs beyond the client's: a non-blocking listener on any
// IPv4 address, a receive that never waits, and one wait over many sockets at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/SocketPrimitives.h"

namespace varnley::sockets {

inline constexpr int kWsaAddressInUse = 10048;

// Binds and listens at address:port (host order; port 0 for any free one), non-blocking and
// not inherited by child processes. 0 and the descriptor in `fd`, or a Winsock code.
int ListenAt(std::uint32_t address, std::uint16_t port, int backlog, int& fd);

// Receives what is there now: `done` with the bytes (0: the peer closed), `wouldBlock` or
// `failed`.
Step ReceiveSome(int fd, char* data, std::size_t size);

// Ends the sending side (the peer reads the end of the stream); the socket stays open to read.
void ShutdownSend(int fd);

// Closes a descriptor from ListenAt or AcceptOne.
void CloseSocket(int fd);

struct PollSlot {
  int fd = -1;
  bool read = false;
  bool write = false;
  bool ready = false;  // set by WaitAny: asked-for readiness, an error or a hang-up
};

// Waits until one slot is ready or timeoutMs passes (< 0: without limit). False, with a
// Winsock code in `error`, when the wait itself failed.
bool WaitAny(std::vector<PollSlot>& slots, int timeoutMs, int& error);

}  // namespace varnley::sockets
