// A small HTTP/1.1 server for the metrics address: one thread waits on every connection at
// once, so idle or slow clients cost a descriptor each, never a worker; every request has a
// time limit, the connection count has a cap, and stop takes effect at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Diagnostics.h"

namespace varnley {

struct HttpRequest {
  std::string method;
  std::string path;  // the target before any '?', as sent: never decoded or normalised
};

struct HttpResponse {
  int status = 200;
  std::string contentType;
  std::string body;  // dropped on the wire for HEAD; Content-Length still tells its size
  std::vector<std::pair<std::string, std::string>> headers;
};

class HttpServer {
 public:
  // Called on the server's thread for every well-formed request.
  using Handler = std::function<HttpResponse(const HttpRequest&)>;

  struct Limits {
    // From the connection's start (or the end of its last answer) to the whole request head;
    // also the longest a keep-alive connection may sit idle.
    std::chrono::milliseconds request{5000};
    std::chrono::milliseconds write{10000};  // to send one whole answer
    std::size_t connections = 256;           // beyond it the oldest quiet one is dropped
    std::size_t headBytes = 8192;
    int requestsPerConnection = 100;
  };

  explicit HttpServer(Handler handler);
  HttpServer(Handler handler, Limits limits);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Listens at address:port (host order; 0 for any free port) and serves on a thread of its
  // own, after stopping any earlier listener. The reason names the address when it fails.
  Status Listen(std::uint32_t address, std::uint16_t port);
  // Closes the listener and every connection; returns once the thread has ended.
  void Stop();
  int port() const { return port_; }

 private:
  struct Loop;
  Handler handler_;
  Limits limits_;
  std::unique_ptr<Loop> loop_;
  int port_ = 0;
};

}  // namespace varnley
