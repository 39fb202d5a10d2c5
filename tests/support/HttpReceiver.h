// A loopback HTTP receiver for the webhook tests and benchmarks: answers each request with the
// next scripted response (the last one again once they are used up) and records the method,
// path, headers and body of every request. Plain or TLS with the throw-away test CA.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace varnley::testing {

struct HttpResponse {
  int status = 200;
  std::vector<std::string> headers;  // extra "Name: value" lines
  std::string body;
  bool silent = false;  // read the request, answer nothing, hold the connection
  int trickleMs = 0;    // > 0: one byte of the answer this often, never finishing
};

inline HttpResponse Answer(int status, std::vector<std::string> headers = {},
                           std::string body = {}) {
  HttpResponse r;
  r.status = status;
  r.headers = std::move(headers);
  r.body = std::move(body);
  return r;
}
inline HttpResponse SilentAnswer() {
  HttpResponse r;
  r.silent = true;
  return r;
}
inline HttpResponse TrickledAnswer(int ms) {
  HttpResponse r;
  r.trickleMs = ms;
  return r;
}
using Script = std::vector<HttpResponse>;

struct HttpRequest {
  std::string method, path;
  std::map<std::string, std::string> headers;  // names lower-cased
  std::string body;
};

class HttpReceiver {
 public:
  explicit HttpReceiver(Script script = {HttpResponse{}}, bool tls = false, bool record = true);
  ~HttpReceiver();
  HttpReceiver(const HttpReceiver&) = delete;
  HttpReceiver& operator=(const HttpReceiver&) = delete;

  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>" + path (https with TLS).
  std::string url(const std::string& path = "/") const;

  std::vector<HttpRequest> requests();
  std::size_t count();
  // Waits (up to 10 s) until at least `n` requests have come in.
  bool waitFor(std::size_t n);

 private:
  void run();
  void serve(int fd);

  std::vector<HttpResponse> script_;
  bool tls_;
  bool record_;
  std::size_t next_ = 0;
  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  void* ctx_ = nullptr;  // SSL_CTX
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<HttpRequest> requests_;
  std::size_t count_ = 0;
  std::thread thread_;
};

}  // namespace varnley::testing
