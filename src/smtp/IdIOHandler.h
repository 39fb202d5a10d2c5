// Line and string I/O of a connection: the input buffer and line reader over a byte source,
// 7-bit writing through an optional write buffer, and the socket-backed handler.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Deadline.h"
#include "platform/TcpSocket.h"
#include "smtp/IdBuffer.h"
#include "smtp/TlsChannel.h"

namespace varnley {

class StopSource;

class TIdIOHandler {
 public:
  static constexpr int kDefaultMaxLineLength = 16384;

  TIdIOHandler() = default;
  virtual ~TIdIOHandler() = default;
  TIdIOHandler(const TIdIOHandler&) = delete;
  TIdIOHandler& operator=(const TIdIOHandler&) = delete;

  int RecvBufferSize = 32768;
  int MaxLineLength = kDefaultMaxLineLength;  // longer lines raise "Max line length exceeded."
  // How long a whole reply may take (and a write, and the TLS handshake); zero: no limit.
  std::chrono::milliseconds ReadTimeout{0};

  virtual bool Connected() const = 0;
  virtual void Close() = 0;

  // The line without its terminator (and without one CR before an LF terminator), read as
  // 7-bit text, by the deadline (without one: ReadTimeout from now). A timed-out read returns
  // "" with ReadLnTimedOut() set.
  std::string ReadLine(std::string_view terminator = "\n");
  std::string ReadLine(const Deadline& deadline, std::string_view terminator = "\n");

  void Write(std::string_view text);
  void WriteLine(std::string_view text = {});
  void WriteDataLine(std::string_view text);
  void WriteDataLines(const std::vector<std::string>& lines, bool writeEnd);

  // Collects writes until closed (sent together) or cancelled (dropped).
  void WriteBufferOpen();
  void WriteBufferClose();
  void WriteBufferCancel();
  bool WriteBufferIsOpen() const { return writeBufferOpen_; }

  // With the peer gone, closes and (when asked, and the buffer is used up or ignored) raises
  // "Connection Closed Gracefully.".
  void CheckForDisconnect(bool raiseIfDisconnected = true, bool ignoreBuffer = false);

  // No wait of this handler (connect, read or write) runs past this moment; a wait that would
  // raises "Session timed out.". Open keeps it, so it covers the whole connection.
  void SetSessionDeadline(const Deadline& deadline) { sessionDeadline_ = deadline; }

  bool ClosedGracefully() const { return closedGracefully_; }
  bool ReadLnTimedOut() const { return readLnTimedOut_; }
  TIdBuffer& InputBuffer() { return input_; }

 protected:
  // Waits until the deadline and appends what arrives to the input buffer. Returns the bytes
  // appended, 0 when the peer closed (ClosedGracefully set), -1 on timeout.
  virtual int ReadFromSource(const Deadline& deadline) = 0;
  virtual void WriteDirect(std::string_view bytes) = 0;
  void AppendInput(std::string_view bytes) { input_.Write(bytes); }
  void MarkClosedGracefully() { closedGracefully_ = true; }
  void ResetState();
  // A wait cut to what the session has left, with bySession set when the session's end is the
  // nearer limit; when nothing is left, closes and raises "Session timed out.".
  Deadline WithinSession(const Deadline& wait, bool* bySession = nullptr);
  [[noreturn]] void RaiseSessionOver();

 private:
  void WriteBytes(std::string_view bytes);
  void WriteEncoded(std::string_view prefix, std::string_view text, std::string_view suffix);

  TIdBuffer input_;
  std::string writeBuffer_;
  bool writeBufferOpen_ = false;
  bool closedGracefully_ = false;
  bool readLnTimedOut_ = false;
  Deadline sessionDeadline_ = Deadline::None();
};

// One socket and its own address; the lock keeps a close from racing the bookkeeping.
class TIdSocketHandle {
 public:
  bool HandleAllocated() const;
  TcpSocket& Socket() { return socket_; }
  void Reset();
  // Reads the local address back from the connected socket.
  void UpdateBindingLocal();
  void CloseSocket();

  std::string IP;
  std::uint16_t Port = 0;

 private:
  mutable std::mutex mutex_;
  TcpSocket socket_;
};

// The handler of every client connection: resolve, connect, wait, receive and send over one
// socket of the platform, plain or under TLS.
class TIdIOHandlerStack : public TIdIOHandler {
 public:
  std::string Host;  // a name or an address (IPv6 with or without brackets)
  std::uint16_t Port = 0;
  std::string Dns;  // the name servers for a name ("" for the system's own)
  std::chrono::milliseconds ConnectTimeout{0};  // the lookup and the connect; zero: no limit

  TIdSocketHandle& Binding() { return binding_; }
  bool Connected() const override { return binding_.HandleAllocated(); }
  // Connect, reads and writes end with "Operation cancelled." once this source is stopped.
  void SetStopSource(StopSource* stop) { stop_ = stop; }

  void Open();
  // Puts TLS on the open connection (at once for implicit TLS, or once the server agreed to
  // STARTTLS); from then on every read and write is encrypted. The handshake may take
  // ReadTimeout in all. On failure the connection is closed and the reason raised.
  void StartTLS(const TlsPeer& peer);
  bool TLSActive() const { return tls_ != nullptr; }
  std::string TLSProtocol() const { return tls_ ? tls_->Protocol() : std::string(); }
  // A TLS connection says close-notify first.
  void Close() override;

 protected:
  int ReadFromSource(const Deadline& deadline) override;
  void WriteDirect(std::string_view bytes) override;

 private:
  [[noreturn]] void RaiseCancelled();
  TIdSocketHandle binding_;
  StopSource* stop_ = nullptr;
  std::string recvChunk_;
  std::unique_ptr<TlsChannel> tls_;
};

}  // namespace varnley
