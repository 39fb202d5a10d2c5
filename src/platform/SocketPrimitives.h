// The few socket calls that differ between systems, under the parts of TcpSocket and
// TcpListener that every system shares (TcpSocketShared.cpp). posix/ and windows/ implement
// them beside the rest of their sockets, in their TcpSocket.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/TcpSocket.h"

namespace varnley::sockets {

// What one non-blocking call did: `done` (with the bytes it moved, which may be 0), `wouldBlock`
// (wait for the socket and call again) or `failed` with a Winsock code. A call the system
// interrupted is made again inside.
struct Step {
  enum Kind { done, wouldBlock, failed };
  Kind kind = done;
  std::size_t bytes = 0;
  int error = 0;
};

// Sends what the socket takes now of `size` bytes; SIGPIPE is never raised.
Step SendSome(int fd, const char* data, std::size_t size);
// Takes one waiting connection off the listener into `accepted` (non-blocking, not inherited by
// child processes). A connection its peer gave up before it was taken is passed over.
Step AcceptOne(int listener, int& accepted);

// Waits until the socket can be read or written, beside the stop's wake-up; errors count as
// ready. A deadline that has passed still looks once, without waiting.
IoResult WaitReadable(int fd, const Deadline& deadline, const StopSource* stop);
IoResult WaitWritable(int fd, const Deadline& deadline, const StopSource* stop);

// The socket's own (peer false) or its peer's IPv4 address and port, in host order; false when
// the system cannot tell or the address is not IPv4.
bool SocketName(int fd, bool peer, std::uint32_t& address, std::uint16_t& port);

}  // namespace varnley::sockets
