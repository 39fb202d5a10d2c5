// A raw client for loopback servers in tests: sends what the test says, byte for byte, and
// reads what comes back, so malformed requests and held connections can be made at will.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace varnley::test {

// A client socket on 127.0.0.1:port that sends what the test says and reads what comes back.
class RawClient {
 public:
  explicit RawClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }
  bool send(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  // Everything until the server closes or `limit` passes; closed() tells which.
  std::string readAll(std::chrono::milliseconds limit = std::chrono::seconds(3)) {
    std::string all;
    const auto end = std::chrono::steady_clock::now() + limit;
    char buffer[65536];
    closed_ = false;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd entry = {fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) break;
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      all.append(buffer, static_cast<std::size_t>(n));
    }
    return all;
  }
  // Reads until `count` whole answers with bodies have arrived (Content-Length framed).
  std::string readAnswers(int count, std::chrono::milliseconds limit = std::chrono::seconds(3)) {
    std::string all;
    const auto end = std::chrono::steady_clock::now() + limit;
    char buffer[65536];
    while (answers(all) < count && std::chrono::steady_clock::now() < end) {
      pollfd entry = {fd_, POLLIN, 0};
      if (::poll(&entry, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      all.append(buffer, static_cast<std::size_t>(n));
    }
    return all;
  }
  bool closed() const { return closed_; }

 private:
  static int answers(const std::string& all) {
    int count = 0;
    std::size_t at = 0;
    for (;;) {
      const auto head = all.find("\r\n\r\n", at);
      if (head == std::string::npos) return count;
      const auto length = all.find("Content-Length: ", at);
      const std::size_t size = length < head ? std::stoul(all.substr(length + 16)) : 0;
      if (all.size() < head + 4 + size) return count;
      at = head + 4 + size;
      ++count;
    }
  }

  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
};

}  // namespace varnley::test
