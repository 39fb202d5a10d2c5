// TLS over a connected socket: OpenSSL works on memory buffers and every wait is the socket's
// own poll, so deadlines and stop requests hold during the handshake as they do elsewhere.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Deadline.h"
#include "platform/TcpSocket.h"

namespace varnley {

class StopSource;

struct TlsPeer {
  std::string host;    // the name or dotted address the user gave: checked and sent as SNI
  bool verify = true;  // the chain against the default verify paths, and the host
};

class TlsChannel {
 public:
  // The socket must outlive the channel; so must the stop source, when one is given.
  TlsChannel(TcpSocket& socket, const StopSource* stop);
  ~TlsChannel();
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  // The client handshake, done by the deadline. A TLS failure raises EIdTLSError naming the
  // reason; a stop request EIdOperationCancelled; a lost socket its socket error.
  void Handshake(const TlsPeer& peer, const Deadline& deadline);

  // Like TcpSocket::receive, with the plain text: bytes 0 with ok means the peer ended the
  // session. A broken record raises EIdTLSError.
  IoResult Receive(char* buffer, std::size_t size, const Deadline& deadline);
  // Sends every byte by the deadline.
  IoResult Send(std::string_view bytes, const Deadline& deadline);

  // Queues close-notify and hands it to the socket without waiting; nothing after a failure.
  void Shutdown();

  // "TLSv1.3" and the like, once the handshake is done.
  std::string Protocol() const;

 private:
  struct State;

  IoResult Flush(const Deadline& deadline);
  IoResult Fill(const Deadline& deadline);
  [[noreturn]] void Fail(const std::string& what, int sslError);

  TcpSocket& socket_;
  const StopSource* stop_;
  std::unique_ptr<State> state_;
};

}  // namespace varnley
