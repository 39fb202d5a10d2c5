// The numbers the metrics endpoint serves, kept without any exposition library: each port's
// last probe, counts of probes and mails, whether monitoring runs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
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
    std::uint64_t mailsSent = 0;
    std::uint64_t mailsFailed = 0;
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

 private:
  struct Last {
    bool open = false;
    double seconds = 0;
    std::uint64_t shown = 0;  // the Take that showed it last, so that it is shown once
  };

  void record(const std::vector<PortResult>& results);

  Monitor& monitor_;
  const HostTable& hosts_;
  const MailStatus& mail_;
  std::size_t subscription_;
  std::atomic<std::uint64_t> probesOpen_ = 0;
  std::atomic<std::uint64_t> probesClosed_ = 0;
  mutable std::mutex mutex_;
  mutable std::unordered_map<std::string, Last> last_;  // by "host:port"
  mutable std::uint64_t takes_ = 0;
};

}  // namespace varnley
