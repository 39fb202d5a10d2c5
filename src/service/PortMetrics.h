// The numbers the metrics endpoint serves, kept without any exposition library: each port's
// last probe, counts of probes and mails, whether monitoring runs.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "alert/MailStatus.h"
#include "model/HostTable.h"
#include "monitor/Monitor.h"

namespace varnley {

class PortMetrics {
 public:
  struct PortSample {
    std::string host;
    std::string port;
    bool open = false;
    double seconds = 0;
  };
  struct Snapshot {
    bool monitoring = false;
    std::uint64_t probesOpen = 0;
    std::uint64_t probesClosed = 0;
    std::uint64_t probesUnresolved = 0;  // the name gave no address: neither open nor closed
    std::uint64_t mailsSent = 0;
    std::uint64_t mailsFailed = 0;
    std::array<MailStatus::Totals, kWebhookCount> webhooks{};  // [0] is [webhook1]
    // Ports of the table that have a result, in table order, each once.
    std::vector<PortSample> ports;
  };

  // Follows the monitor's probe results from now on, until destroyed.
  PortMetrics(Monitor& monitor, const HostTable& hosts, const MailStatus& mail);
  ~PortMetrics();
  PortMetrics(const PortMetrics&) = delete;
  PortMetrics& operator=(const PortMetrics&) = delete;

  // What a scrape shows now. A port that left the table is left out, though its last result
  // is kept in case it comes back.
  Snapshot Take() const;
  // Where each scrape reads the webhooks' counts (none: all zero). Their statuses go with the
  // fan-out that a reload builds again, so the run keeps the totals and hands them over.
  using WebhookCounts = std::function<std::array<MailStatus::Totals, kWebhookCount>()>;
  void SetWebhookCounts(WebhookCounts counts);
  // A port's last result.
  struct Reading {
    bool open = false;
    double seconds = 0;
    // When this run first saw the port in its present state.
    std::chrono::system_clock::time_point since;
  };
  // The same without copying the ports: each port of the table is handed to `visit` in table
  // order while the table is held, so visit must only write down what it is given. A port
  // with a result comes once, with its reading; one without comes with nullptr (as often as
  // the table lists it).
  using PortVisitor = std::function<void(const std::string& host, int port, const Reading* last)>;
  Snapshot Take(const PortVisitor& visit) const;

 private:
  struct Last : Reading {
    std::uint64_t shown = 0;  // the Take that showed it last, so that it is shown once
  };

  void record(const std::vector<PortResult>& results);
  // The entry of a port; an IPv4 host goes by number, which a scrape of many ports finds
  // faster than by text.
  Last* find(const std::optional<std::uint32_t>& address, const std::string& host, int port) const;

  Monitor& monitor_;
  const HostTable& hosts_;
  const MailStatus& mail_;
  mutable std::mutex countsMutex_;
  WebhookCounts webhookCounts_;
  std::size_t subscription_;
  std::atomic<std::uint64_t> probesOpen_ = 0;
  std::atomic<std::uint64_t> probesClosed_ = 0;
  std::atomic<std::uint64_t> probesUnresolved_ = 0;
  mutable std::mutex mutex_;
  mutable std::unordered_map<std::uint64_t, Last> byAddress_;  // address << 16 | port
  mutable std::unordered_map<std::string, Last> byName_;       // "host:port" for the others
  mutable std::uint64_t takes_ = 0;
};

}  // namespace varnley
