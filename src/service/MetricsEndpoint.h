// The metrics endpoint: GET /metrics in the Prometheus text format over HTTP, for the window
// and the windowless run alike. A build without the exposition library keeps the interface:
// it serves nothing and says so when asked to listen.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "service/HttpServer.h"
#include "service/PortMetrics.h"

namespace varnley {

struct MetricsAddress {
  std::string host;  // an IPv4 literal
  int port = 0;      // 0: any free port
};

// "ADDRESS:PORT" with an IPv4 literal and a port of 0..65535; nullopt for anything else.
std::optional<MetricsAddress> ParseMetricsAddress(const std::string& text);

class MetricsEndpoint {
 public:
  MetricsEndpoint(Monitor& monitor, const HostTable& hosts, const MailStatus& mail);
  ~MetricsEndpoint();
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  // Serves at address ("ADDRESS:PORT"), stopping a listener that runs elsewhere first; "" just
  // stops. False, with the reason, when it cannot listen there (nothing listens then).
  bool Listen(const std::string& address, std::string* reason);
  // The port it listens on (0 when it does not).
  int port() const;
  // The address it was last asked to listen at, as given.
  const std::string& address() const { return address_; }

  // The body a scrape gets now ("" without the library).
  std::string Scrape() const;

  // Whether this build can serve metrics at all.
  static bool Available();

  // What the server answers a request with (also for tests, without a socket).
  HttpResponse Answer(const HttpRequest& request) const;

 private:
  struct Impl;
  PortMetrics metrics_;
  std::string address_;
  std::unique_ptr<Impl> impl_;
};

// For the window and the windowless run: listens where the settings say. Returns the line that
// says why it cannot ("Varnley: metrics: 127.0.0.1:9101 is already in use"), "" when all is well.
std::string ListenWhereSettingsSay(MetricsEndpoint& endpoint, const std::string& address);

}  // namespace varnley
