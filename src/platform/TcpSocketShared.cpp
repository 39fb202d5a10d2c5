// The parts of TcpSocket and TcpListener that hold for every system, on the calls of
// SocketPrimitives.h.
#include <utility>

#include "platform/SocketErrors.h"
#include "platform/SocketPrimitives.h"
#include "platform/TcpSocket.h"

namespace varnley {

namespace {

IoResult Failed(int winsockCode) { return {IoStatus::failed, winsockCode, 0}; }

}  // namespace

TcpSocket::~TcpSocket() { close(); }

TcpSocket::TcpSocket(TcpSocket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

IoResult TcpSocket::sendAll(std::string_view bytes, const StopSource* stop,
                            const Deadline& deadline) {
  if (fd_ < 0) return Failed(kWsaNotASocket);
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const sockets::Step step = sockets::SendSome(fd_, bytes.data() + sent, bytes.size() - sent);
    if (step.kind == sockets::Step::failed) return {IoStatus::failed, step.error, sent};
    if (step.bytes > 0) {
      sent += step.bytes;
      continue;
    }
    // No room now (or the system took nothing): wait for some, within what is left of the time.
    IoResult waited = sockets::WaitWritable(fd_, deadline, stop);
    if (waited.status != IoStatus::ok) {
      waited.bytes = sent;
      return waited;
    }
  }
  return {IoStatus::ok, 0, sent};
}

IoResult TcpSocket::connect(std::uint32_t address, std::uint16_t port, const Deadline& deadline,
                            const StopSource* stop) {
  return connect(IpAddress::V4(address), port, deadline, stop);
}

bool TcpSocket::localEndpoint(std::string& address, std::uint16_t& port) const {
  std::uint32_t ip = 0;
  std::uint16_t number = 0;
  if (fd_ < 0 || !sockets::SocketName(fd_, false, ip, number)) return false;
  address = FormatIPv4(ip);
  port = number;
  return true;
}

TcpListener::~TcpListener() { close(); }

IoResult TcpListener::accept(TcpSocket& out, const Deadline& deadline, const StopSource* stop) {
  if (fd_ < 0) return Failed(kWsaNotASocket);
  for (;;) {
    int fd = -1;
    const sockets::Step step = sockets::AcceptOne(fd_, fd);
    if (step.kind == sockets::Step::done) {
      out = TcpSocket(fd);
      return {};
    }
    if (step.kind == sockets::Step::failed) return Failed(step.error);
    IoResult waited = sockets::WaitReadable(fd_, deadline, stop);
    if (waited.status != IoStatus::ok) return waited;
  }
}

}  // namespace varnley
