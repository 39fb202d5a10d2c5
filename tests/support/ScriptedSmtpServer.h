// A loopback SMTP peer for tests and benchmarks: sends a greeting, answers each command line
// with the next scripted reply, takes message data after a 354, and records every line.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/StopSource.h"
#include "platform/TcpSocket.h"

namespace varnley::testing {

struct ScriptedReply {
  std::string bytes;        // sent as they stand
  bool closeAfter = false;  // close the connection after sending
  bool flood = false;       // send `bytes` again and again until the client goes (bounded)
  bool silent = false;      // send nothing and keep the connection open
  int trickleMs = 0;        // > 0: send `bytes` a line at a time, pausing this long before each
};

// "250 OK" -> the line with CR LF.
ScriptedReply Reply(std::string line);
// Several lines, each with CR LF, as one reply.
ScriptedReply Reply(std::initializer_list<std::string> lines);
ScriptedReply Raw(std::string bytes, bool closeAfter);
ScriptedReply Flood(std::string line);
ScriptedReply Silent();
// The lines one at a time, `pauseMs` apart; with `forever`, again and again until the client
// goes (a reply that never ends).
ScriptedReply Trickle(std::initializer_list<std::string> lines, int pauseMs, bool forever = false);

struct ScriptOptions {
  bool replayPerConnection = false;  // every connection starts the replies from the first
  bool record = true;                // keep the lines received (off for long benchmark runs)
};

class ScriptedSmtpServer {
 public:
  // The greeting goes out on every connection; the replies are used in order across them
  // (or anew on each, see ScriptOptions). Once they are used up, the server closes the
  // connection.
  ScriptedSmtpServer(ScriptedReply greeting, std::vector<ScriptedReply> replies,
                     ScriptOptions options = {});
  ~ScriptedSmtpServer();
  ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
  ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

  std::uint16_t port() const { return listener_.port(); }
  std::string address() const { return "127.0.0.1:" + std::to_string(port()); }

  // Waits (up to a deadline) until the current connection has ended, then returns every
  // command line received so far (the data's final "." included).
  std::vector<std::string> commands();
  // Command lines received so far, without waiting.
  std::size_t commandCount();
  // Message data lines as received (still dot-stuffed), without the final ".".
  std::vector<std::string> data();

 private:
  void run();
  void serve(TcpSocket& socket);
  // Sends one reply as scripted; false when the session is over.
  bool send(TcpSocket& socket, const ScriptedReply& reply);
  bool readLine(TcpSocket& socket, std::string& pending, std::string& line);

  ScriptedReply greeting_;
  std::vector<ScriptedReply> replies_;
  ScriptOptions options_;
  std::size_t nextReply_ = 0;
  std::size_t consumed_ = 0;  // bytes of the pending input already returned as lines
  TcpListener listener_;
  StopSource stop_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool inSession_ = false;
  std::vector<std::string> commands_;
  std::vector<std::string> data_;
  std::thread thread_;
};

}  // namespace varnley::testing
