#include "smtp/IdTCPClient.h"

#include <exception>

#include "smtp/IdException.h"

namespace varnley {

TIdTCPConnection::~TIdTCPConnection() {
  // A destructor cannot report; the socket simply goes without a farewell.
  ioHandler_.Close();
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
  ioHandler_.Close();
  if (farewellError) std::rethrow_exception(farewellError);
}

void TIdTCPClient::OpenConnectionTo(const std::string& host, std::uint16_t port) {
  if (Connected()) throw EIdAlreadyConnected();
  if (host.empty()) throw EIdHostRequired();
  if (port == 0) throw EIdPortRequired();
  ioHandler_.Host = host;
  ioHandler_.Dns = Dns;
  ioHandler_.Port = port;
  ioHandler_.ConnectTimeout = ConnectTimeout;
  ioHandler_.ReadTimeout = ReadTimeout;
  ioHandler_.SetSessionDeadline(Deadline::AfterOrNone(SessionTimeout));
  ioHandler_.Open();
}

}  // namespace varnley
