#include "service/PortMetrics.h"

#include <chrono>

#include "model/PortList.h"

namespace varnley {

PortMetrics::PortMetrics(Monitor& monitor, const HostTable& hosts, const MailStatus& mail)
    : monitor_(monitor), hosts_(hosts), mail_(mail) {
  subscription_ = monitor_.probeResults().Subscribe(
      [this](const std::vector<PortResult>& results) { record(results); });
}

PortMetrics::~PortMetrics() { monitor_.probeResults().Unsubscribe(subscription_); }

void PortMetrics::record(const std::vector<PortResult>& results) {
  std::uint64_t open = 0;
  std::lock_guard lock(mutex_);
  for (const PortResult& result : results) {
    Last& last = last_[result.host + ':' + std::to_string(result.port)];
    last.open = result.open;
    last.seconds = std::chrono::duration<double>(result.duration).count();
    open += result.open ? 1 : 0;
  }
  probesOpen_ += open;
  probesClosed_ += results.size() - open;
}

PortMetrics::Snapshot PortMetrics::Take() const {
  Snapshot snapshot;
  snapshot.monitoring = monitor_.Running();
  const MailStatus::Totals mails = mail_.Count();
  snapshot.mailsSent = mails.sent;
  snapshot.mailsFailed = mails.failed;
  std::string key;
  // The table's lock first, then our own: the worker never holds both.
  hosts_.read([&](const std::vector<MonitoredHost>& rows) {
    std::lock_guard lock(mutex_);
    snapshot.probesOpen = probesOpen_;
    snapshot.probesClosed = probesClosed_;
    const std::uint64_t take = ++takes_;
    for (const MonitoredHost& row : rows) {
      for (const std::string& entry : SplitPortList(row.ports)) {
        const long long port = PortEntryValue(entry);
        if (port < 1 || port > 65535) continue;
        std::string number = std::to_string(port);
        key.assign(row.host).append(1, ':').append(number);
        const auto it = last_.find(key);
        if (it == last_.end() || it->second.shown == take) continue;
        it->second.shown = take;
        snapshot.ports.push_back(
            {row.host, std::move(number), it->second.open, it->second.seconds});
      }
    }
  });
  return snapshot;
}

}  // namespace varnley
