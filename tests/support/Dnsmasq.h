// Test helper: a real name server (dnsmasq) on a free loopback port with the records a test
// gives it, asked nothing beyond them (no upstream, no hosts file). Every other name is
// answered "no such name". Restart keeps the port, so a resolver's servers stay the same.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/DnsWire.h"

namespace varnley::test {

class Dnsmasq {
 public:
  // records: dnsmasq options such as "--address=/up.test/127.0.0.5" or
  // "--host-record=both.test,127.0.0.6,::1".
  explicit Dnsmasq(std::vector<std::string> records) {
    for (int attempt = 0; attempt < 10; ++attempt) {
      port_ = FreeUdpPort();
      if (start(records)) return;
    }
    throw std::runtime_error("dnsmasq did not start");
  }
  ~Dnsmasq() { stop(); }
  Dnsmasq(const Dnsmasq&) = delete;
  Dnsmasq& operator=(const Dnsmasq&) = delete;

  std::uint16_t port() const { return port_; }
  // The `[config] dns` text that names it.
  std::string dns() const { return "127.0.0.1:" + std::to_string(port_); }

  void restart(std::vector<std::string> records) {
    stop();
    if (!start(records)) throw std::runtime_error("dnsmasq did not start again");
  }

 private:
  static std::uint16_t FreeUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
  }

  bool start(const std::vector<std::string>& records) {
    std::vector<std::string> args = {"/usr/sbin/dnsmasq",
                                     "--keep-in-foreground",
                                     "--no-resolv",
                                     "--no-hosts",
                                     "--conf-file=/dev/null",
                                     "--pid-file",
                                     "--log-facility=/dev/null",
                                     "--port=" + std::to_string(port_),
                                     "--listen-address=127.0.0.1",
                                     "--bind-interfaces",
                                     "--address=/#/"};
    args.insert(args.end(), records.begin(), records.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    // Up once it answers a query; gone when it could not bind the port.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      if (Answers(port_)) return true;
    }
    stop();
    return false;
  }

  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  // Whether a query for "ready.invalid" gets any reply within a tenth of a second.
  static bool Answers(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string query = dns::Query(0x1234, "ready.invalid", 1);
    ::sendto(fd, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    pollfd p{fd, POLLIN, 0};
    const bool replied = ::poll(&p, 1, 100) == 1 && (p.revents & POLLIN);
    ::close(fd);
    return replied;
  }

  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace varnley::test
