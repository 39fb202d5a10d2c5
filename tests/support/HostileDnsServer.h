// Test helper: a scripted name server on a free loopback port that misbehaves in one chosen
// way, for the resolver's error paths. It answers over UDP and, for the modes that need it,
// over TCP on the same port number.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/DnsWire.h"

namespace varnley::test {

class HostileDnsServer {
 public:
  enum class Mode {
    silent,     // reads every query, answers none
    servfail,   // "server failure" to every query
    truncated,  // a truncated UDP reply, and no TCP listener to ask again
    malformed,  // the query's id with bytes that are no DNS message
    thousands,  // truncated over UDP; over TCP an answer with kRecords A records
  };
  static constexpr unsigned kRecords = 4000;

  explicit HostileDnsServer(Mode mode) : mode_(mode) {
    udp_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(udp_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(udp_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("bind udp");
    port_ = ntohs(a.sin_port);
    if (mode_ == Mode::thousands) {
      tcp_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const int on = 1;
      ::setsockopt(tcp_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
      if (::bind(tcp_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(tcp_, 16) != 0)
        throw std::runtime_error("bind tcp");
    }
    if (::pipe(stopPipe_) != 0) throw std::runtime_error("pipe");
    thread_ = std::thread([this] { run(); });
  }

  ~HostileDnsServer() {
    const char byte = 0;
    [[maybe_unused]] auto n = ::write(stopPipe_[1], &byte, 1);
    thread_.join();
    for (int fd : {udp_, tcp_, stopPipe_[0], stopPipe_[1]})
      if (fd >= 0) ::close(fd);
  }
  HostileDnsServer(const HostileDnsServer&) = delete;
  HostileDnsServer& operator=(const HostileDnsServer&) = delete;

  std::string dns() const { return "127.0.0.1:" + std::to_string(port_); }
  int queries() const { return queries_.load(); }

 private:
  void run() {
    std::vector<int> clients;
    for (;;) {
      std::vector<pollfd> fds = {{stopPipe_[0], POLLIN, 0}, {udp_, POLLIN, 0}, {tcp_, POLLIN, 0}};
      for (int c : clients) fds.push_back({c, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
      if (fds[0].revents) break;
      if (fds[1].revents & POLLIN) onDatagram();
      if (tcp_ >= 0 && (fds[2].revents & POLLIN)) {
        const int c = ::accept4(tcp_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) clients.push_back(c);
      }
      for (std::size_t k = 3; k < fds.size(); ++k) {
        if (!fds[k].revents) continue;
        if (!onStream(fds[k].fd)) {
          ::close(fds[k].fd);
          std::erase(clients, fds[k].fd);
        }
      }
    }
    for (int c : clients) ::close(c);
  }

  void onDatagram() {
    char buffer[4096];
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const auto n =
        ::recvfrom(udp_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer), &len);
    if (n <= 0) return;
    ++queries_;
    const auto question = dns::ParseQuery({buffer, static_cast<std::size_t>(n)});
    if (!question) return;
    std::string reply;
    switch (mode_) {
      case Mode::silent:
        return;
      case Mode::servfail:
        reply = dns::Reply(*question, 0x8182, 0);
        break;
      case Mode::truncated:
      case Mode::thousands:
        reply = dns::Reply(*question, 0x8380, 0);
        break;
      case Mode::malformed:
        reply = dns::Reply(*question, 0x8180, 3).substr(0, 12) + "\xC0\xFF\xFF\x01garbage";
        break;
    }
    ::sendto(udp_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&peer), len);
  }

  // One length-prefixed query of a TCP client; false when the client is done.
  bool onStream(int fd) {
    unsigned char head[2];
    if (::recv(fd, head, 2, MSG_WAITALL) != 2) return false;
    std::string query(static_cast<std::size_t>(head[0] << 8 | head[1]), '\0');
    if (::recv(fd, query.data(), query.size(), MSG_WAITALL) != static_cast<ssize_t>(query.size()))
      return false;
    ++queries_;
    const auto question = dns::ParseQuery(query);
    if (!question) return false;
    // A records for A, none for AAAA: the records must still fit one TCP message.
    const std::string reply = dns::Reply(*question, 0x8180, question->type == 1 ? kRecords : 0);
    std::string framed;
    dns::Put16(framed, static_cast<unsigned>(reply.size()));
    framed += reply;
    return ::send(fd, framed.data(), framed.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(framed.size());
  }

  Mode mode_;
  int udp_ = -1;
  int tcp_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::atomic<int> queries_{0};
  std::thread thread_;
};

}  // namespace varnley::test
