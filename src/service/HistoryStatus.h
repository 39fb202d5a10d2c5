// The status page's history, read from the history file through a connection of its own that
// never writes: the metrics server's thread asks while the writer goes on beside it.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "history/HistoryFile.h"
#include "service/StatusHistory.h"

namespace varnley {

class HistoryReader;

class HistoryStatus : public StatusHistory {
 public:
  // The file need not be readable yet: each request tries to open it until one succeeds.
  // `clock` (empty: the system's) places the window of Outages.
  explicit HistoryStatus(std::string path, HistoryClock clock = {});
  ~HistoryStatus() override;

  std::vector<PortHistory> Ports(const std::vector<StatusPortKey>& ports,
                                 StatusTime now) const override;
  std::vector<StatusOutage> Outages(std::size_t limit) const override;

 private:
  // nullptr while the file cannot be read; call with mutex_ held.
  HistoryReader* reader() const;

  std::string path_;
  HistoryClock clock_;
  mutable std::mutex mutex_;  // one request at a time on the one connection
  mutable std::unique_ptr<HistoryReader> reader_;
};

}  // namespace varnley
