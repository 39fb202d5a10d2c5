// A client connection: the I/O handler it holds, the connection parameters and the open and
// close sequences.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "smtp/IdIOHandler.h"

namespace varnley {

class StopSource;

class TIdTCPConnection {
 public:
  TIdTCPConnection() = default;
  virtual ~TIdTCPConnection();
  TIdTCPConnection(const TIdTCPConnection&) = delete;
  TIdTCPConnection& operator=(const TIdTCPConnection&) = delete;

  // The connection's handler; it lives as long as the connection and is reused by each open.
  TIdIOHandlerStack* IOHandler() { return &ioHandler_; }
  const TIdIOHandlerStack* IOHandler() const { return &ioHandler_; }

  bool Connected() const { return ioHandler_.Connected(); }
  // With notify the peer hears the farewell first (when still connected); the socket is
  // closed in every case, and an error from the farewell is raised after that.
  void CloseConnection(bool notifyPeer) { Disconnect(notifyPeer); }
  virtual void Disconnect(bool notifyPeer = true);

  // Connect, reads and writes end with "Operation cancelled." once this source is stopped.
  // Owned by the caller, who keeps it alive while the connection is used.
  void SetStopSource(StopSource* stop) { ioHandler_.SetStopSource(stop); }

 protected:
  virtual void DisconnectNotifyPeer() {}

  TIdIOHandlerStack ioHandler_;
};

class TIdTCPClient : public TIdTCPConnection {
 public:
  std::string Host;
  std::uint16_t Port = 0;
  // Each limit is off at zero. The connect then waits as long as the system's own does.
  std::chrono::milliseconds ConnectTimeout{0};
  std::chrono::milliseconds ReadTimeout{0};  // each whole reply
  // From the open on, no wait of the connection (connect, reads, writes) may pass this.
  std::chrono::milliseconds SessionTimeout{0};
  // The name servers a host name is looked up through (a `[config] dns` text; "" for the
  // system's own). An address, IPv4 or IPv6, is connected to as it stands.
  std::string Dns;

  // Opens to Host:Port.
  void OpenConnection() { OpenConnectionTo(Host, Port); }

 protected:
  void OpenConnectionTo(const std::string& host, std::uint16_t port);
};

}  // namespace varnley
