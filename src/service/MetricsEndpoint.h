// The metrics endpoint: GET /metrics in the Prometheus text format over HTTP, with the status
// page (GET /) and its JSON (GET /status.json) beside it, for the window and the windowless run
// alike. A build without the exposition library keeps the interface:
// it serves nothing and says so when asked to listen.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "service/HttpServer.h"
#include "service/PortMetrics.h"
#include "service/StatusHistory.h"

namespace varnley {

struct StatusFacts;

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

  // Whether / and /status.json are served ([config] statuspage); on until told otherwise.
  void SetStatusPage(bool on);
  // Where the page's uptime, reasons, strips and outages come from. Without one (nullptr) the
  // page shows the state alone and says why with `missing` ("history is off").
  void SetHistory(std::shared_ptr<const StatusHistory> history, std::string missing);
  // The page and its JSON as a request gets them now.
  std::string StatusPage() const;
  std::string StatusJson() const;

  void SetWebhookCounts(PortMetrics::WebhookCounts counts) {
    metrics_.SetWebhookCounts(std::move(counts));
  }

 private:
  struct Impl;
  // The answer for / and /status.json; nullopt for every other path.
  std::optional<HttpResponse> AnswerStatus(const HttpRequest& request) const;
  StatusFacts CollectStatusNow() const;

  PortMetrics metrics_;
  std::string address_;
  mutable std::mutex pageMutex_;  // the page's settings are changed while the server reads them
  bool statusPage_ = true;
  std::shared_ptr<const StatusHistory> history_;
  std::string missingHistory_;
  mutable std::atomic<std::size_t> lastStatusPorts_ = 0;
  std::unique_ptr<Impl> impl_;
};

// For the window and the windowless run: listens where the settings say. Returns the line that
// says why it cannot ("Varnley: metrics: 127.0.0.1:9101 is already in use"), "" when all is well.
std::string ListenWhereSettingsSay(MetricsEndpoint& endpoint, const std::string& address);

}  // namespace varnley
