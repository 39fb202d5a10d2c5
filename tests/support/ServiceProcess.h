// Test helpers for the windowless program: the executable started as a service manager
// would, with an environment of the test's choosing; a loopback port that refuses
// connections and can start listening; a plain HTTP GET; a datagram socket for state messages.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "model/TempDir.h"
#include "support/WaitFor.h"

extern char** environ;

namespace varnley::test {

// The program with stderr into a file; env entries replace or add to the test's own
// environment, and names in `unset` are left out. Killed at the end if still running.
class ServiceProcess {
 public:
  ServiceProcess(const std::string& exe, const std::vector<std::string>& args,
                 const std::string& errPath, const std::vector<std::string>& env,
                 const std::vector<std::string>& unset = {})
      : errPath_(errPath) {
    std::vector<std::string> environment;
    auto listed = [](const std::string& entry, const std::vector<std::string>& names) {
      for (const std::string& name : names)
        if (entry.rfind(name.substr(0, name.find('=')) + "=", 0) == 0) return true;
      return false;
    };
    for (char** e = environ; *e; ++e)
      if (!listed(*e, env) && !listed(*e, unset)) environment.push_back(*e);
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<std::string> argv = {exe};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cArgs, cEnv;
    for (auto& a : argv) cArgs.push_back(a.data());
    cArgs.push_back(nullptr);
    for (auto& e : environment) cEnv.push_back(e.data());
    cEnv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      ::dup2(err, 2);
      ::execve(cArgs[0], cArgs.data(), cEnv.data());
      ::_exit(127);
    }
  }
  ~ServiceProcess() {
    if (!exited_ && pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  void signal(int signo) const { ::kill(pid_, signo); }
  pid_t pid() const { return pid_; }
  std::string err() const { return ReadText(errPath_); }
  bool errHas(const std::string& text,
              std::chrono::milliseconds deadline = std::chrono::seconds(20)) const {
    return WaitFor([&] { return err().find(text) != std::string::npos; }, deadline);
  }
  // The raw wait status, once the process ended within the deadline.
  std::optional<int> waitExit(std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    WaitFor(
        [&] {
          int status = 0;
          if (!exited_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            status_ = status;
          }
          return exited_;
        },
        deadline);
    if (!exited_) return std::nullopt;
    return status_;
  }

 private:
  std::string errPath_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

// A loopback port that refuses connections (bound, not listening) until listen() is called.
class LoopbackPort {
 public:
  LoopbackPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~LoopbackPort() { ::close(fd_); }
  LoopbackPort(const LoopbackPort&) = delete;
  LoopbackPort& operator=(const LoopbackPort&) = delete;
  int port() const { return port_; }
  void listen() { ::listen(fd_, 64); }

 private:
  int fd_ = -1;
  int port_ = 0;
};

struct HttpReply {
  int status = 0;  // 0: no answer
  std::string head;
  std::string body;
};

// One request to 127.0.0.1:port over HTTP/1.0, read until the server closes.
inline HttpReply HttpRequest(int port, const std::string& method, const std::string& target) {
  HttpReply reply;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return reply;
  }
  const std::string request =
      method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n";
  [[maybe_unused]] auto sent = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string all;
  char buffer[65536];
  for (;;) {
    pollfd entry = {fd, POLLIN, 0};
    if (::poll(&entry, 1, 10000) <= 0) break;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    all.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  const auto split = all.find("\r\n\r\n");
  if (all.rfind("HTTP/1.", 0) != 0 || split == std::string::npos) return reply;
  reply.status = std::atoi(all.c_str() + 9);
  reply.head = all.substr(0, split);
  reply.body = all.substr(split + 4);
  return reply;
}

// A datagram socket bound at a path, or at an abstract name given with a leading '@'.
class NotifyListener {
 public:
  explicit NotifyListener(const std::string& name) : name_(name) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@') address.sun_path[0] = '\0';
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() +
                                                    (name[0] == '@' ? 0 : 1));
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
  }
  ~NotifyListener() { ::close(fd_); }
  NotifyListener(const NotifyListener&) = delete;
  NotifyListener& operator=(const NotifyListener&) = delete;

  // The next message, "" when none came within the deadline.
  std::string next(std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    pollfd entry = {fd_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(deadline.count())) <= 0) return "";
    char buffer[512];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
  }

 private:
  std::string name_;
  int fd_ = -1;
};

// JOURNAL_STREAM as the service manager would set it for a stderr that is this file.
inline std::string JournalStreamOf(const std::string& path) {
  struct stat info = {};
  ::stat(path.c_str(), &info);
  return "JOURNAL_STREAM=" + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

}  // namespace varnley::test
