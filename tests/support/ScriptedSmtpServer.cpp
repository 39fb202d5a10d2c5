#include "support/ScriptedSmtpServer.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace varnley::testing {

namespace {

using namespace std::chrono_literals;
constexpr std::size_t kFloodLimit = 64 * 1024 * 1024;
constexpr auto kSessionDeadline = std::chrono::seconds(10);
}  // namespace

ScriptedReply Reply(std::string line) { return {line + "\r\n"}; }

ScriptedReply Reply(std::initializer_list<std::string> lines) {
  ScriptedReply r;
  for (const auto& l : lines) r.bytes += l + "\r\n";
  return r;
}

ScriptedReply Raw(std::string bytes, bool closeAfter) { return {std::move(bytes), closeAfter}; }
ScriptedReply Flood(std::string line) { return {line + "\r\n", false, true}; }
ScriptedReply Silent() { return {"", false, false, true}; }

ScriptedReply Trickle(std::initializer_list<std::string> lines, int pauseMs, bool forever) {
  ScriptedReply r = Reply(lines);
  r.flood = forever;
  r.trickleMs = pauseMs;
  return r;
}

ScriptedSmtpServer::ScriptedSmtpServer(ScriptedReply greeting, std::vector<ScriptedReply> replies,
                                       ScriptOptions options)
    : greeting_(std::move(greeting)), replies_(std::move(replies)), options_(options) {
  if (listener_.listenLoopback(8) != 0) throw std::runtime_error("cannot listen on loopback");
  thread_ = std::thread([this] { run(); });
}

ScriptedSmtpServer::~ScriptedSmtpServer() {
  stop_.requestStop();
  thread_.join();
}

void ScriptedSmtpServer::run() {
  while (!stop_.stopRequested()) {
    TcpSocket socket;
    if (listener_.accept(socket, Deadline::None(), &stop_).status != IoStatus::ok) return;
    {
      std::lock_guard lock(mutex_);
      inSession_ = true;
      if (options_.replayPerConnection) nextReply_ = 0;
    }
    serve(socket);
    socket.close();
    {
      std::lock_guard lock(mutex_);
      inSession_ = false;
    }
    changed_.notify_all();
  }
}

bool ScriptedSmtpServer::readLine(TcpSocket& socket, std::string& pending, std::string& line) {
  for (;;) {
    const std::size_t lf = pending.find('\n', consumed_);
    if (lf != std::string::npos) {
      line.assign(pending, consumed_, lf - consumed_);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      consumed_ = lf + 1;
      return true;
    }
    // Consumed bytes go only when more must be read, so a long message is not moved per line.
    pending.erase(0, consumed_);
    consumed_ = 0;
    char buf[16384];
    const IoResult r = socket.receive(buf, sizeof buf, Deadline::None(), &stop_);
    if (r.status != IoStatus::ok || r.bytes == 0) return false;
    pending.append(buf, r.bytes);
  }
}

bool ScriptedSmtpServer::send(TcpSocket& socket, const ScriptedReply& reply) {
  if (reply.trickleMs > 0) {
    std::size_t sent = 0;
    do {
      for (std::size_t at = 0; at < reply.bytes.size();) {
        const std::size_t end = std::min(reply.bytes.find('\n', at), reply.bytes.size() - 1) + 1;
        if (!stop_.sleepFor(std::chrono::milliseconds(reply.trickleMs)) ||
            socket.sendAll(std::string_view(reply.bytes).substr(at, end - at), &stop_).status !=
                IoStatus::ok) {
          return false;
        }
        sent += end - at;
        at = end;
      }
    } while (reply.flood && sent < kFloodLimit);
    return !reply.flood;
  }
  if (reply.flood) {
    for (std::size_t sent = 0; sent < kFloodLimit; sent += reply.bytes.size()) {
      if (socket.sendAll(reply.bytes, &stop_).status != IoStatus::ok) return false;
    }
    return false;
  }
  if (socket.sendAll(reply.bytes, &stop_).status != IoStatus::ok) return false;
  return !reply.closeAfter;
}

void ScriptedSmtpServer::serve(TcpSocket& socket) {
  consumed_ = 0;
  if (greeting_.silent) {
    std::string ignored, line;
    while (readLine(socket, ignored, line)) {
    }
    return;
  }
  if (!send(socket, greeting_)) return;
  std::string pending;
  std::string line;
  bool inData = false;
  while (readLine(socket, pending, line)) {
    {
      std::lock_guard lock(mutex_);
      if (inData && line != ".") {
        if (options_.record) data_.push_back(line);
        continue;
      }
      inData = false;
      if (options_.record) commands_.push_back(line);
    }
    ScriptedReply reply;
    {
      std::lock_guard lock(mutex_);
      if (nextReply_ >= replies_.size()) return;
      reply = replies_[nextReply_++];
    }
    if (reply.silent) {
      while (readLine(socket, pending, line)) {
      }
      return;
    }
    if (!send(socket, reply)) return;
    if (reply.bytes.rfind("354", 0) == 0) inData = true;
  }
}

std::vector<std::string> ScriptedSmtpServer::commands() {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, kSessionDeadline, [this] { return !inSession_; });
  return commands_;
}

std::size_t ScriptedSmtpServer::commandCount() {
  std::lock_guard lock(mutex_);
  return commands_.size();
}

std::vector<std::string> ScriptedSmtpServer::data() {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, kSessionDeadline, [this] { return !inSession_; });
  return data_;
}

}  // namespace varnley::testing
