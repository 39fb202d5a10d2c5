#include "smtp/IdIOHandler.h"

#include <exception>

#include "platform/Resolver.h"
#include "platform/SocketErrors.h"
#include "platform/StopSource.h"
#include "platform/Text.h"
#include "smtp/IdException.h"

namespace varnley {

namespace {

// Incoming text is 7-bit: a byte outside US-ASCII cannot be told apart, so it reads as "?".
std::string Decode7Bit(std::string bytes) {
  for (char& c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80) c = '?';
  }
  return bytes;
}

// The 7-bit encoding, with plain ASCII (nearly every line) copied as it stands.
void AppendAscii7(std::string& out, std::string_view utf8) {
  unsigned char seen = 0;  // an OR over all bytes: the compiler vectorises it
  for (char c : utf8) seen |= static_cast<unsigned char>(c);
  if (seen & 0x80) {
    out += ToAscii7(utf8);
  } else {
    out.append(utf8);
  }
}

}  // namespace

Deadline TIdIOHandler::WithinSession(const Deadline& wait, bool* bySession) {
  if (bySession) *bySession = false;
  if (!sessionDeadline_.limited()) return wait;
  if (sessionDeadline_.expired()) RaiseSessionOver();
  if (wait.limited() && *wait.when() < *sessionDeadline_.when()) return wait;
  if (bySession) *bySession = true;
  return sessionDeadline_;
}

void TIdIOHandler::RaiseSessionOver() {
  Close();
  throw EIdSessionTimeout();
}

void TIdIOHandler::ResetState() {
  input_.Clear();
  writeBuffer_.clear();
  writeBufferOpen_ = false;
  closedGracefully_ = false;
  readLnTimedOut_ = false;
}

std::string TIdIOHandler::ReadLine(std::string_view terminator) {
  return ReadLine(Deadline::AfterOrNone(ReadTimeout), terminator);
}

// The whole line shares one deadline, so a peer that trickles bytes cannot stretch it.
std::string TIdIOHandler::ReadLine(const Deadline& deadline, std::string_view terminator) {
  if (terminator.empty()) terminator = "\n";
  const bool lfTerminator = terminator == "\n";
  readLnTimedOut_ = false;
  const std::size_t limit = MaxLineLength > 0 ? static_cast<std::size_t>(MaxLineLength) : 0;
  std::size_t searchStart = 0;
  for (;;) {
    std::size_t found = std::string_view::npos;
    if (!input_.Empty()) {
      found = input_.IndexOf(terminator, searchStart);
      const std::size_t size = input_.Size();
      searchStart = size >= terminator.size() ? size - terminator.size() + 1 : 0;
    }
    if (limit > 0) {
      bool tooLong = false;
      if (found != std::string_view::npos) {
        // A CR before the LF belongs to the terminator, so a line of exactly the maximum
        // length still reads whole.
        std::size_t length = found;
        if (lfTerminator && length > 0 && input_.Peek()[length - 1] == '\r') --length;
        tooLong = length > limit;
      } else {
        tooLong = input_.Size() > limit + (lfTerminator ? 1 : 0) + terminator.size() - 1;
      }
      if (tooLong) throw EIdReadLnMaxLineLengthExceeded();
    }
    if (found != std::string_view::npos) {
      std::string line = input_.Extract(found + terminator.size());
      line.resize(found);
      if (lfTerminator && !line.empty() && line.back() == '\r') line.pop_back();
      return Decode7Bit(std::move(line));
    }
    CheckForDisconnect(true, true);
    bool bySession = false;
    if (deadline.expired() || ReadFromSource(WithinSession(deadline, &bySession)) < 0) {
      if (bySession) RaiseSessionOver();
      readLnTimedOut_ = true;
      return {};
    }
  }
}

void TIdIOHandler::CheckForDisconnect(bool raiseIfDisconnected, bool ignoreBuffer) {
  if (!closedGracefully_) return;
  if (Connected()) Close();
  if (raiseIfDisconnected && (ignoreBuffer || input_.Empty())) throw EIdConnClosedGracefully();
}

void TIdIOHandler::WriteBytes(std::string_view bytes) {
  if (writeBufferOpen_) {
    writeBuffer_.append(bytes);
    return;
  }
  CheckForDisconnect(true, true);
  if (!Connected()) throw EIdNotConnected();
  WriteDirect(bytes);
}

void TIdIOHandler::WriteEncoded(std::string_view prefix, std::string_view text,
                                std::string_view suffix) {
  // With a write buffer open the bytes go straight into it: a message body is many lines.
  std::string direct;
  std::string& out = writeBufferOpen_ ? writeBuffer_ : direct;
  out.append(prefix);
  AppendAscii7(out, text);
  out.append(suffix);
  if (!writeBufferOpen_) WriteBytes(direct);
}

void TIdIOHandler::Write(std::string_view text) { WriteEncoded({}, text, {}); }

void TIdIOHandler::WriteLine(std::string_view text) { WriteEncoded({}, text, "\r\n"); }

void TIdIOHandler::WriteDataLine(std::string_view text) {
  WriteEncoded(!text.empty() && text.front() == '.' ? "." : "", text, "\r\n");
}

void TIdIOHandler::WriteDataLines(const std::vector<std::string>& lines, bool writeEnd) {
  for (const auto& line : lines) WriteDataLine(line);
  if (writeEnd) WriteLine(".");
}

void TIdIOHandler::WriteBufferOpen() {
  writeBufferOpen_ = true;
  writeBuffer_.clear();
}

void TIdIOHandler::WriteBufferClose() {
  if (!writeBufferOpen_) return;
  writeBufferOpen_ = false;
  // Sent from the buffer itself, which keeps its capacity for the next message.
  try {
    if (!writeBuffer_.empty()) WriteBytes(writeBuffer_);
  } catch (...) {
    writeBuffer_.clear();
    throw;
  }
  writeBuffer_.clear();
}

void TIdIOHandler::WriteBufferCancel() {
  writeBufferOpen_ = false;
  writeBuffer_.clear();
}

bool TIdSocketHandle::HandleAllocated() const {
  std::lock_guard lock(mutex_);
  return socket_.isOpen();
}

void TIdSocketHandle::Reset() {
  CloseSocket();
  IP.clear();
  Port = 0;
}

void TIdSocketHandle::UpdateBindingLocal() {
  std::lock_guard lock(mutex_);
  socket_.localEndpoint(IP, Port);
}

void TIdSocketHandle::CloseSocket() {
  std::lock_guard lock(mutex_);
  socket_.close();
}

void TIdIOHandlerStack::RaiseCancelled() {
  // Whatever was half read or half written leaves the dialogue out of step: close it.
  Close();
  throw EIdOperationCancelled();
}

void TIdIOHandlerStack::Close() {
  if (tls_) {
    if (Connected() && !ClosedGracefully()) tls_->Shutdown();
    tls_.reset();
  }
  binding_.CloseSocket();
}

void TIdIOHandlerStack::StartTLS(const TlsPeer& peer) {
  if (!Connected()) throw EIdNotConnected();
  if (tls_) throw EIdTLSError("TLS is already active on this connection.");
  try {
    tls_ = std::make_unique<TlsChannel>(binding_.Socket(), stop_);
    // The handshake answers like a reply: within the read limit and the session's.
    tls_->Handshake(peer, WithinSession(Deadline::AfterOrNone(ReadTimeout)));
  } catch (...) {
    Close();
    throw;
  }
}

void TIdIOHandlerStack::Open() {
  tls_.reset();
  binding_.Reset();
  ResetState();
  // A loopback connect can finish without waiting, so an earlier stop is checked here too.
  if (stop_ && stop_->stopRequested()) throw EIdOperationCancelled();
  try {
    // The connect time covers the name lookup and the connects together.
    const Deadline connectBy = Deadline::AfterOrNone(ConnectTimeout);
    auto connectWait = [&] {
      if (connectBy.expired()) throw EIdConnectTimeout();
      return WithinSession(connectBy);
    };
    const std::optional<LookupAnswer> found = LookupHost(Host, Dns, connectWait(), stop_);
    if (!found) throw EIdOperationCancelled();
    if (found->addresses.empty()) {
      connectWait();  // a lookup cut short by the connect limit is a connect timeout
      const LookupFailure failure =
          found->failure == LookupFailure::none ? LookupFailure::noSuchName : found->failure;
      throw EIdSocketError(failure == LookupFailure::noSuchName ? kWsaHostNotFound : kWsaTryAgain,
                           LookupFailureText(failure));
    }
    // Each address in the resolver's order, within the one connect limit, until one accepts;
    // the last one's failure is the one reported.
    IoResult r{IoStatus::failed, kWsaHostNotFound, 0};
    for (const IpAddress& address : found->addresses) {
      if (const int code = binding_.Socket().create(address.v6); code != 0) {
        r = {IoStatus::failed, code, 0};
        continue;
      }
      r = binding_.Socket().connect(address, Port, connectWait(), stop_);
      if (r.status != IoStatus::failed) break;
      binding_.CloseSocket();
    }
    switch (r.status) {
      case IoStatus::ok:
        break;
      case IoStatus::timedOut:
        throw EIdConnectTimeout();
      case IoStatus::stopped:
        throw EIdOperationCancelled();
      case IoStatus::failed:
        RaiseSocketError(r.error);
    }
    binding_.UpdateBindingLocal();
  } catch (...) {
    Close();
    throw;
  }
}

int TIdIOHandlerStack::ReadFromSource(const Deadline& deadline) {
  if (!Connected()) throw EIdNotConnected();
  const std::size_t size = RecvBufferSize > 0 ? static_cast<std::size_t>(RecvBufferSize) : 32768;
  if (recvChunk_.size() != size) recvChunk_.resize(size);
  IoResult r;
  try {
    r = tls_ ? tls_->Receive(recvChunk_.data(), size, deadline)
             : binding_.Socket().receive(recvChunk_.data(), size, deadline, stop_);
  } catch (const EIdTLSError&) {
    Close();
    throw;
  }
  switch (r.status) {
    case IoStatus::timedOut:
      return -1;
    case IoStatus::stopped:
      RaiseCancelled();
    case IoStatus::failed:
      if (r.error == kWsaShutdown || r.error == kWsaConnAborted) {
        MarkClosedGracefully();
        Close();
        if (!InputBuffer().Empty()) return 0;
      }
      RaiseSocketError(r.error);
    case IoStatus::ok:
      break;
  }
  if (r.bytes == 0) {
    MarkClosedGracefully();
    return 0;
  }
  AppendInput(std::string_view(recvChunk_.data(), r.bytes));
  return static_cast<int>(r.bytes);
}

void TIdIOHandlerStack::WriteDirect(std::string_view bytes) {
  // A peer that stops reading holds a write no longer than it may take to answer.
  bool bySession = false;
  const Deadline by = WithinSession(Deadline::AfterOrNone(ReadTimeout), &bySession);
  IoResult r;
  try {
    r = tls_ ? tls_->Send(bytes, by) : binding_.Socket().sendAll(bytes, stop_, by);
  } catch (const EIdTLSError&) {
    Close();
    throw;
  }
  switch (r.status) {
    case IoStatus::ok:
      return;
    case IoStatus::stopped:
      RaiseCancelled();
    case IoStatus::timedOut:
      // Half a command went out: the dialogue cannot go on.
      if (bySession) RaiseSessionOver();
      Close();
      throw EIdWriteTimeout();
    case IoStatus::failed:
      MarkClosedGracefully();
      Close();
      RaiseSocketError(r.error != 0 ? r.error : kWsaShutdown);
  }
}

}  // namespace varnley
