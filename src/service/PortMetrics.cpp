#include "service/PortMetrics.h"

#include <chrono>
#include <utility>

#include "model/AddressCheck.h"
#include "model/PortList.h"
#include "platform/TcpProbe.h"

namespace varnley {

namespace {

std::optional<std::uint32_t> AddressOf(const std::string& host) {
  const auto octets = ParseIPv4(host);
  if (!octets) return std::nullopt;
  return IPv4FromOctets(*octets);
}

std::uint64_t Key(std::uint32_t address, int port) {
  return (std::uint64_t{address} << 16) | static_cast<std::uint16_t>(port);
}

template <typename Map, typename K>
auto& Entry(Map& map, K&& key, bool& added) {
  auto [it, inserted] = map.try_emplace(std::forward<K>(key));
  added = inserted;
  return it->second;
}

}  // namespace

PortMetrics::PortMetrics(Monitor& monitor, const HostTable& hosts, const MailStatus& mail)
    : monitor_(monitor), hosts_(hosts), mail_(mail) {
  subscription_ = monitor_.probeResults().Subscribe(
      [this](const std::vector<PortResult>& results) { record(results); });
}

PortMetrics::~PortMetrics() { monitor_.probeResults().Unsubscribe(subscription_); }

void PortMetrics::record(const std::vector<PortResult>& results) {
  std::uint64_t open = 0, unresolved = 0;
  const auto now = std::chrono::system_clock::now();
  std::lock_guard lock(mutex_);
  for (const PortResult& result : results) {
    const auto address = AddressOf(result.host);
    bool added = false;
    Last& last = address ? Entry(byAddress_, Key(*address, result.port), added)
                         : Entry(byName_, result.host + ':' + std::to_string(result.port), added);
    if (added || last.open != result.open) last.since = now;
    last.open = result.open;
    last.seconds = std::chrono::duration<double>(result.duration).count();
    open += result.open ? 1 : 0;
    unresolved += !result.open && result.unresolved ? 1 : 0;
  }
  probesOpen_ += open;
  probesUnresolved_ += unresolved;
  probesClosed_ += results.size() - open - unresolved;
}

PortMetrics::Last* PortMetrics::find(const std::optional<std::uint32_t>& address,
                                     const std::string& host, int port) const {
  if (address) {
    const auto it = byAddress_.find(Key(*address, port));
    return it == byAddress_.end() ? nullptr : &it->second;
  }
  const auto it = byName_.find(host + ':' + std::to_string(port));
  return it == byName_.end() ? nullptr : &it->second;
}

void PortMetrics::SetWebhookCounts(WebhookCounts counts) {
  std::lock_guard lock(countsMutex_);
  webhookCounts_ = std::move(counts);
}

PortMetrics::Snapshot PortMetrics::Take() const {
  std::vector<PortSample> ports;
  Snapshot snapshot = Take([&ports](const std::string& host, int port, const Reading* last) {
    if (last) ports.push_back({host, std::to_string(port), last->open, last->seconds});
  });
  snapshot.ports = std::move(ports);
  return snapshot;
}

PortMetrics::Snapshot PortMetrics::Take(const PortVisitor& visit) const {
  Snapshot snapshot;
  snapshot.monitoring = monitor_.Running();
  const MailStatus::Totals mails = mail_.Count();
  snapshot.mailsSent = mails.sent;
  snapshot.mailsFailed = mails.failed;
  {
    std::lock_guard lock(countsMutex_);
    if (webhookCounts_) snapshot.webhooks = webhookCounts_();
  }
  // The table's lock first, then our own: the worker never holds both.
  hosts_.read([&](const std::vector<MonitoredHost>& rows) {
    std::lock_guard lock(mutex_);
    snapshot.probesOpen = probesOpen_;
    snapshot.probesClosed = probesClosed_;
    snapshot.probesUnresolved = probesUnresolved_;
    const std::uint64_t take = ++takes_;
    for (const MonitoredHost& row : rows) {
      const auto address = AddressOf(row.host);
      for (const std::string& entry : SplitPortList(row.ports)) {
        const long long port = PortEntryValue(entry);
        if (port < 1 || port > 65535) continue;
        Last* last = find(address, row.host, static_cast<int>(port));
        if (last && last->shown == take) continue;
        if (last) last->shown = take;
        visit(row.host, static_cast<int>(port), last);
      }
    }
  });
  return snapshot;
}

}  // namespace varnley
