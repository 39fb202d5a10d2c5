#include "smtp/IdTCPClient.h"

#include <exception>

#include "smtp/IdException.h"

namespace varnley {

TIdTCPConnection::~TIdTCPConnection() {
  // A destructor cannot report; the socket simply goes without a farewell.
  if (ioHandler_) ioHandler_->Close();
}

void TIdTCPConnection::SetIOHandler(TIdIOHandler* handler) {
  if (managedHandler_ && handler != managedHandler_.get()) {
    managedHandler_->Close();
    managedHandler_.reset();
  }
  ioHandler_ = handler;
}

bool TIdTCPConnection::Connected() const { return ioHandler_ && ioHandler_->Connected(); }

TIdIOHandler& TIdTCPConnection::CheckedIOHandler() const {
  if (!ioHandler_) throw EIdNotConnected();
  return *ioHandler_;
}

void TIdTCPConnection::Disconnect(bool notifyPeer) {
  std::exception_ptr farewellError;
  if (notifyPeer && Connected()) {
    try {
      DisconnectNotifyPeer();
    } catch (...) {
      farewellError = std::current_exception();
    }
  }
  if (ioHandler_) ioHandler_->Close();
  if (farewellError) std::rethrow_exception(farewellError);
}

void TIdTCPConnection::SetStopSource(StopSource* stop) {
  stop_ = stop;
  if (managedHandler_) managedHandler_->SetStopSource(stop);
}

void TIdTCPClient::OpenConnectionTo(const std::string& host, std::uint16_t port) {
  if (Connected()) throw EIdAlreadyConnected();
  if (host.empty()) throw EIdHostRequired();
  if (port == 0) throw EIdPortRequired();
  if (IPVersion != Id_IPv4) RaiseSocketError(10047);
  if (!ioHandler_) {
    managedHandler_ = std::make_unique<TIdIOHandlerStack>();
    ioHandler_ = managedHandler_.get();
  }
  auto* stack = dynamic_cast<TIdIOHandlerStack*>(ioHandler_);
  if (!stack) throw EIdException("The connection's I/O handler cannot open a socket.");
  stack->Host = host;
  stack->Port = port;
  stack->ConnectTimeout = ConnectTimeout;
  stack->ReadTimeout = ReadTimeout;
  stack->BoundIP = BoundIP;
  stack->BoundPort = BoundPort;
  stack->ReuseSocket = ReuseSocket;
  stack->SetStopSource(stop_);
  stack->SetSessionDeadline(Deadline::AfterOrNone(SessionTimeout));
  stack->Open();
}

}  // namespace varnley
