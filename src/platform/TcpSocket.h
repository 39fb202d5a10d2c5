// Stream sockets for the SMTP client (and the loopback peers of its tests): connect over IPv4
// or IPv6, and poll-based send/receive that a StopSource's wake-up descriptor cuts short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/Deadline.h"
#include "platform/IpAddress.h"

namespace varnley {

class StopSource;

// How a wait ended. `failed` comes with a Winsock code (see SocketErrors.h).
enum class IoStatus { ok, timedOut, stopped, failed };

struct IoResult {
  IoStatus status = IoStatus::ok;
  int error = 0;          // Winsock code when status is failed
  std::size_t bytes = 0;  // bytes moved by receive(); 0 with status ok means the peer closed
};

// Four decimal octets 0..255 ("010" is ten, never octal); true and the address in host order.
bool ParseDottedIPv4(std::string_view text, std::uint32_t& address);
std::string FormatIPv4(std::uint32_t address);

// The local host's full name ("" if unknown).
std::string LocalHostName();

class TcpSocket {
 public:
  TcpSocket() = default;
  ~TcpSocket();
  TcpSocket(TcpSocket&& other) noexcept;
  TcpSocket& operator=(TcpSocket&& other) noexcept;
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  bool isOpen() const { return fd_ >= 0; }

  // Allocates an IPv4 (or IPv6) socket, non-blocking underneath: every wait is a poll.
  // Returns 0 or a Winsock code.
  int create(bool v6 = false);

  // To an address of the socket's family. Without a deadline, waits as long as the system's
  // own connect does.
  IoResult connect(const IpAddress& address, std::uint16_t port, const Deadline& deadline,
                   const StopSource* stop);
  IoResult connect(std::uint32_t address, std::uint16_t port, const Deadline& deadline,
                   const StopSource* stop);

  // Waits until data or end of stream is ready, then receives once into the buffer.
  IoResult receive(char* buffer, std::size_t size, const Deadline& deadline,
                   const StopSource* stop);
  // Sends every byte, waiting for room as needed, all of it by the deadline; SIGPIPE is never
  // raised.
  IoResult sendAll(std::string_view bytes, const StopSource* stop,
                   const Deadline& deadline = Deadline::None());
  // Sends what the system takes at once, never waiting; the bytes taken (0 on any error).
  std::size_t sendNow(std::string_view bytes);

  // Shuts the sending side, then closes. Safe to call twice.
  void close();

  // The socket's own address and port; false when the system cannot tell.
  bool localEndpoint(std::string& address, std::uint16_t& port) const;

 private:
  friend class TcpListener;
  explicit TcpSocket(int fd) : fd_(fd) {}
  // Waits for `events` on the socket; ok, timedOut, stopped or failed.
  IoResult waitFor(short events, const Deadline& deadline, const StopSource* stop);

  int fd_ = -1;
};

// A loopback listener for tests and benchmarks (127.0.0.1, free port unless one is given).
class TcpListener {
 public:
  TcpListener() = default;
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // Returns 0 or a Winsock code.
  int listenLoopback(int backlog, std::uint16_t port = 0);
  std::uint16_t port() const { return port_; }
  // Waits for one connection.
  IoResult accept(TcpSocket& out, const Deadline& deadline, const StopSource* stop);
  void close();

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace varnley
