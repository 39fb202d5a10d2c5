#include "service/HttpServer.h"

#include <algorithm>
#include <cctype>
#include <list>
#include <optional>
#include <string_view>
#include <thread>

#include "platform/Deadline.h"
#include "platform/ServerSockets.h"
#include "platform/SocketErrors.h"
#include "platform/StopSource.h"
#include "platform/TcpSocket.h"

namespace varnley {

namespace {

using Clock = Deadline::Clock;

constexpr std::chrono::milliseconds kAcceptPause{100};
constexpr std::chrono::milliseconds kDrainTime{1000};

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 431:
      return "Request Header Fields Too Large";
    case 503:
      return "Service Unavailable";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Error";
  }
}

HttpResponse Plain(int status) {
  return {status, "text/plain; charset=utf-8", std::string(ReasonPhrase(status)) + '\n', {}};
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

// Whether a comma-separated header value holds the token.
bool HasToken(std::string_view value, std::string_view token) {
  while (!value.empty()) {
    const auto comma = value.find(',');
    if (EqualsNoCase(Trim(value.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

bool IsTokenChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// A target as sent: origin form, printable ASCII, no blank.
bool IsTarget(std::string_view target) {
  if (target.empty() || target.front() != '/') return false;
  return std::all_of(target.begin(), target.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

// What one request head asks; `error` set when it cannot be served as sent.
struct ParsedHead {
  HttpRequest request;
  int error = 0;
  bool keepAlive = false;
  bool hasBody = false;  // a body this server does not read: answer, then close
};

// The request line alone, checked as soon as it is whole, so that a request in the form of
// HTTP/0.9 (no version, no header block to wait for) is answered at once.
int CheckRequestLine(std::string_view line, HttpRequest& request, int& minor) {
  const auto first = line.find(' ');
  if (first == std::string_view::npos) return 400;
  const auto second = line.find(' ', first + 1);
  if (second == std::string_view::npos) return 400;
  const std::string_view method = line.substr(0, first);
  const std::string_view target = line.substr(first + 1, second - first - 1);
  const std::string_view version = line.substr(second + 1);
  if (method.empty() || !std::all_of(method.begin(), method.end(), IsTokenChar)) return 400;
  if (!IsTarget(target)) return 400;
  if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' ||
      !std::isdigit(static_cast<unsigned char>(version[5])) ||
      !std::isdigit(static_cast<unsigned char>(version[7])))
    return 400;
  if (version[5] != '1') return 505;
  minor = version[7] - '0';
  request.method.assign(method);
  request.path.assign(target.substr(0, target.find('?')));
  return 0;
}

ParsedHead ParseHead(std::string_view head) {
  ParsedHead parsed;
  const auto lineEnd = head.find('\n');
  std::string_view line = head.substr(0, lineEnd);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  int minor = 0;
  if ((parsed.error = CheckRequestLine(line, parsed.request, minor)) != 0) return parsed;
  parsed.keepAlive = minor >= 1;
  int lengths = 0;
  std::string_view rest = lineEnd == std::string_view::npos ? "" : head.substr(lineEnd + 1);
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    std::string_view field = rest.substr(0, end);
    rest = end == std::string_view::npos ? "" : rest.substr(end + 1);
    if (!field.empty() && field.back() == '\r') field.remove_suffix(1);
    if (field.empty()) break;
    const auto colon = field.find(':');
    const std::string_view name = field.substr(0, colon == std::string_view::npos ? 0 : colon);
    // Folded lines and names with blanks are where request smuggling starts: refuse them.
    if (name.empty() || !std::all_of(name.begin(), name.end(), IsTokenChar)) {
      parsed.error = 400;
      return parsed;
    }
    const std::string_view value = Trim(field.substr(colon + 1));
    if (EqualsNoCase(name, "Connection")) {
      if (HasToken(value, "close")) parsed.keepAlive = false;
      if (HasToken(value, "keep-alive")) parsed.keepAlive = true;
    } else if (EqualsNoCase(name, "Content-Length")) {
      ++lengths;
      if (value.empty() || !std::all_of(value.begin(), value.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
          })) {
        parsed.error = 400;
        return parsed;
      }
      if (value.find_first_not_of('0') != std::string_view::npos) parsed.hasBody = true;
    } else if (EqualsNoCase(name, "Transfer-Encoding") || EqualsNoCase(name, "Upgrade")) {
      // A body in chunks, or a switch to another protocol: neither is taken here, so the
      // answer is plain HTTP and the connection ends with it.
      parsed.hasBody = true;
    }
  }
  if (lengths > 1) parsed.error = 400;
  if (parsed.hasBody) parsed.keepAlive = false;
  return parsed;
}

std::string Serialize(const HttpResponse& response, bool head, bool keepAlive) {
  std::string out;
  out.reserve(256 + (head ? 0 : response.body.size()));
  out.append("HTTP/1.1 ").append(std::to_string(response.status)).append(" ");
  out.append(ReasonPhrase(response.status)).append("\r\n");
  if (!response.contentType.empty())
    out.append("Content-Type: ").append(response.contentType).append("\r\n");
  out.append("Content-Length: ").append(std::to_string(response.body.size())).append("\r\n");
  out.append(keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n");
  for (const auto& [name, value] : response.headers)
    out.append(name).append(": ").append(value).append("\r\n");
  out.append("\r\n");
  if (!head) out.append(response.body);
  return out;
}

struct Connection {
  int fd = -1;
  std::string in;
  std::string out;
  std::size_t sent = 0;
  bool closeAfter = false;
  // The answer is out and the sending side shut: what the peer still sends is read and
  // dropped, since closing with unread bytes would reset the connection and could destroy the
  // answer before the peer has read it.
  bool draining = false;
  int served = 0;
  Clock::time_point opened;
  Deadline deadline = Deadline::None();

  bool writing() const { return sent < out.size(); }
};

}  // namespace

struct HttpServer::Loop {
  Loop(const Handler& handler, const Limits& limits, int listener)
      : handler(handler), limits(limits), listener(listener) {}

  ~Loop() {
    stop.requestStop();
    if (thread.joinable()) thread.join();
    for (Connection& c : connections) sockets::CloseSocket(c.fd);
    sockets::CloseSocket(listener);
  }

  void run() {
    std::vector<sockets::PollSlot> slots;
    while (!stop.stopRequested()) {
      slots.clear();
      slots.push_back({stop.wakeDescriptor(), true, false, false});
      // While accepting fails (out of descriptors) the listener stays readable: wait a little
      // instead of spinning on it.
      const bool listening = acceptPause.expired();
      slots.push_back({listener, listening, false, false});
      Deadline next = listening ? Deadline::None() : acceptPause;
      for (const Connection& c : connections) {
        slots.push_back({c.fd, !c.writing(), c.writing(), false});
        next = next.earliest(c.deadline);
      }
      // Without a wake-up descriptor a stop is seen within this slice.
      int timeout = next.pollTimeout();
      if (stop.wakeDescriptor() < 0 && (timeout < 0 || timeout > 50)) timeout = 50;
      int error = 0;
      if (!sockets::WaitAny(slots, timeout, error)) {
        stop.sleepFor(std::chrono::milliseconds(50));
        continue;
      }
      if (slots[0].ready) break;
      std::size_t index = 2;
      for (auto it = connections.begin(); it != connections.end(); ++index) {
        const bool ready = slots[index].ready;
        if ((ready && !serve(*it)) || (!ready && it->deadline.expired() && !expire(*it))) {
          sockets::CloseSocket(it->fd);
          it = connections.erase(it);
        } else {
          ++it;
        }
      }
      if (listening && slots[1].ready) acceptAll();
    }
  }

  void acceptAll() {
    for (;;) {
      int fd = -1;
      const sockets::Step step = sockets::AcceptOne(listener, fd);
      if (step.kind == sockets::Step::failed) acceptPause = Deadline::After(kAcceptPause);
      if (step.kind != sockets::Step::done) return;
      if (connections.size() >= limits.connections) dropOldestQuiet();
      Connection c;
      c.fd = fd;
      c.opened = Clock::now();
      c.deadline = Deadline::After(limits.request);
      connections.push_back(std::move(c));
    }
  }

  // Makes room: the connection longest open that is not being answered goes first.
  void dropOldestQuiet() {
    auto oldest = connections.end();
    for (auto it = connections.begin(); it != connections.end(); ++it)
      if (!it->writing() && (oldest == connections.end() || it->opened < oldest->opened))
        oldest = it;
    if (oldest == connections.end()) oldest = connections.begin();
    sockets::CloseSocket(oldest->fd);
    connections.erase(oldest);
  }

  // The connection's time ran out. False: close it. A request begun gets a status line first.
  bool expire(Connection& c) {
    if (!c.draining && !c.writing() && !c.in.empty()) {
      const std::string out = Serialize(Plain(408), false, false);
      sockets::SendSome(c.fd, out.data(), out.size());
    }
    return false;
  }

  // The socket is ready. False: close it.
  bool serve(Connection& c) {
    if (c.writing()) return flush(c);
    char buffer[16384];
    const sockets::Step step = sockets::ReceiveSome(c.fd, buffer, sizeof buffer);
    if (step.kind == sockets::Step::wouldBlock) return true;
    if (step.kind == sockets::Step::failed || step.bytes == 0) return false;
    if (c.draining) return true;
    c.in.append(buffer, step.bytes);
    return answer(c);
  }

  // Answers the request at the front of the buffer once it is whole.
  bool answer(Connection& c) {
    // Blank lines ahead of a request line are allowed and skipped.
    const auto start = c.in.find_first_not_of("\r\n");
    c.in.erase(0, start == std::string::npos ? c.in.size() : start);
    if (c.in.empty()) return true;
    const auto lineEnd = c.in.find('\n');
    if (lineEnd == std::string::npos) {
      if (c.in.size() > limits.headBytes) return respond(c, Plain(431), false, false);
      return true;
    }
    std::string_view line(c.in.data(), lineEnd);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    HttpRequest ignored;
    int minor = 0;
    if (const int error = CheckRequestLine(line, ignored, minor))
      return respond(c, Plain(error), false, false);
    std::size_t headEnd = std::string::npos, headLength = 0;
    for (std::size_t at = lineEnd; at != std::string::npos; at = c.in.find('\n', at + 1)) {
      const std::size_t next = at + 1;
      if (next < c.in.size() && c.in[next] == '\n') {
        headEnd = next + 1;
      } else if (next + 1 < c.in.size() && c.in[next] == '\r' && c.in[next + 1] == '\n') {
        headEnd = next + 2;
      }
      if (headEnd != std::string::npos) break;
    }
    if (headEnd == std::string::npos) {
      if (c.in.size() > limits.headBytes) return respond(c, Plain(431), false, false);
      return true;
    }
    headLength = headEnd;
    if (headLength > limits.headBytes) return respond(c, Plain(431), false, false);
    const ParsedHead parsed = ParseHead(std::string_view(c.in.data(), headLength));
    c.in.erase(0, headLength);
    if (parsed.error) return respond(c, Plain(parsed.error), false, false);
    HttpResponse response;
    try {
      response = handler(parsed.request);
    } catch (...) {
      response = Plain(503);
    }
    const bool keepAlive = parsed.keepAlive && ++c.served < limits.requestsPerConnection;
    return respond(c, response, parsed.request.method == "HEAD", keepAlive);
  }

  bool respond(Connection& c, const HttpResponse& response, bool head, bool keepAlive) {
    c.out = Serialize(response, head, keepAlive);
    c.sent = 0;
    c.closeAfter = !keepAlive;
    c.deadline = Deadline::After(limits.write);
    return flush(c);
  }

  bool flush(Connection& c) {
    while (c.writing()) {
      const sockets::Step step =
          sockets::SendSome(c.fd, c.out.data() + c.sent, c.out.size() - c.sent);
      if (step.kind == sockets::Step::wouldBlock) return true;
      if (step.kind == sockets::Step::failed) return false;
      c.sent += step.bytes;
    }
    if (c.closeAfter) {
      sockets::ShutdownSend(c.fd);
      c.draining = true;
      c.out.clear();
      c.sent = 0;
      c.deadline = Deadline::After(kDrainTime);
      return true;
    }
    c.out.clear();
    c.sent = 0;
    c.deadline = Deadline::After(limits.request);
    // A pipelined request may already be waiting in the buffer.
    return answer(c);
  }

  const Handler& handler;
  const Limits& limits;
  int listener;
  StopSource stop;
  Deadline acceptPause = Deadline::After(std::chrono::milliseconds(0));
  std::list<Connection> connections;
  std::thread thread;
};

HttpServer::HttpServer(Handler handler) : HttpServer(std::move(handler), Limits{}) {}

HttpServer::HttpServer(Handler handler, Limits limits)
    : handler_(std::move(handler)), limits_(limits) {}

HttpServer::~HttpServer() { Stop(); }

void HttpServer::Stop() {
  loop_.reset();
  port_ = 0;
}

Status HttpServer::Listen(std::uint32_t address, std::uint16_t port) {
  Stop();
  const std::string where = FormatIPv4(address) + ':' + std::to_string(port);
  int fd = -1;
  if (const int code = sockets::ListenAt(address, port, 128, fd)) {
    if (code == sockets::kWsaAddressInUse) return Status::Fail(where + " is already in use");
    return Status::Fail("cannot listen at " + where + ": " + SocketErrorText(code));
  }
  std::uint32_t boundAddress = 0;
  std::uint16_t boundPort = 0;
  sockets::SocketName(fd, false, boundAddress, boundPort);
  loop_ = std::make_unique<Loop>(handler_, limits_, fd);
  loop_->thread = std::thread([loop = loop_.get()] { loop->run(); });
  port_ = boundPort;
  return Status::Ok();
}

}  // namespace varnley
