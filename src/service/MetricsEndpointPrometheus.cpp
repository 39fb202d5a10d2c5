// The endpoint over prometheus-cpp: a registry for the fixed metrics, a collectable that reads
// the per-port numbers at scrape time, the library's exposer for HTTP.
#include <prometheus/collectable.h>
#include <prometheus/counter.h>
#include <prometheus/exposer.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <exception>
#include <sstream>

#include "service/MetricsEndpoint.h"

namespace varnley {

namespace {

prometheus::MetricFamily family(const char* name, const char* help, prometheus::MetricType type) {
  prometheus::MetricFamily f;
  f.name = name;
  f.help = help;
  f.type = type;
  return f;
}

prometheus::ClientMetric counter(const char* label, const char* value, std::uint64_t count) {
  prometheus::ClientMetric m;
  m.label.push_back({label, value});
  m.counter.value = static_cast<double>(count);
  return m;
}

// Reads PortMetrics at each scrape, so a scrape costs nothing between scrapes.
class PortCollectable : public prometheus::Collectable {
 public:
  explicit PortCollectable(const PortMetrics& metrics) : metrics_(metrics) {}

  std::vector<prometheus::MetricFamily> Collect() const override {
    using prometheus::MetricType;
    PortMetrics::Snapshot s = metrics_.Take();
    std::vector<prometheus::MetricFamily> families;
    families.push_back(
        family("varnley_monitoring", "1 while monitoring runs, else 0", MetricType::Gauge));
    families.back().metric.emplace_back().gauge.value = s.monitoring ? 1 : 0;

    families.push_back(
        family("varnley_probes_total", "Probes settled, by result", MetricType::Counter));
    families.back().metric.push_back(counter("result", "open", s.probesOpen));
    families.back().metric.push_back(counter("result", "closed", s.probesClosed));

    families.push_back(
        family("varnley_alert_mails_total", "Alert mails, by outcome", MetricType::Counter));
    families.back().metric.push_back(counter("result", "sent", s.mailsSent));
    families.back().metric.push_back(counter("result", "failed", s.mailsFailed));

    prometheus::MetricFamily success = family(
        "varnley_probe_success", "Last probe of the port: 1 open, 0 closed", MetricType::Gauge);
    prometheus::MetricFamily duration = family(
        "varnley_probe_duration_seconds", "Duration of the port's last probe", MetricType::Gauge);
    success.metric.resize(s.ports.size());
    duration.metric.resize(s.ports.size());
    for (std::size_t i = 0; i < s.ports.size(); ++i) {
      PortMetrics::PortSample& port = s.ports[i];
      success.metric[i].label = {{"host", port.host}, {"port", port.port}};
      success.metric[i].gauge.value = port.open ? 1 : 0;
      duration.metric[i].label = {{"host", std::move(port.host)}, {"port", std::move(port.port)}};
      duration.metric[i].gauge.value = port.seconds;
    }
    families.push_back(std::move(success));
    families.push_back(std::move(duration));
    return families;
  }

 private:
  const PortMetrics& metrics_;
};

}  // namespace

struct MetricsEndpoint::Impl {
  explicit Impl(const PortMetrics& metrics)
      : registry(std::make_shared<prometheus::Registry>()),
        ports(std::make_shared<PortCollectable>(metrics)) {
    prometheus::BuildGauge()
        .Name("varnley_up")
        .Help("1 while the program runs")
        .Register(*registry)
        .Add({})
        .Set(1);
  }

  std::shared_ptr<prometheus::Registry> registry;
  std::shared_ptr<PortCollectable> ports;
  std::unique_ptr<prometheus::Exposer> exposer;
};

MetricsEndpoint::MetricsEndpoint(Monitor& monitor, const HostTable& hosts, const MailStatus& mail)
    : metrics_(monitor, hosts, mail), impl_(std::make_unique<Impl>(metrics_)) {}

MetricsEndpoint::~MetricsEndpoint() = default;

bool MetricsEndpoint::Available() { return true; }

bool MetricsEndpoint::Listen(const std::string& address, std::string* reason) {
  impl_->exposer.reset();
  address_ = address;
  if (address.empty()) return true;
  const auto parsed = ParseMetricsAddress(address);
  if (!parsed) {
    if (reason) *reason = "not an IPv4 address and port (such as 127.0.0.1:9101)";
    return false;
  }
  try {
    // Two threads: a scrape in progress never keeps a second one waiting.
    auto exposer =
        std::make_unique<prometheus::Exposer>(parsed->host + ':' + std::to_string(parsed->port), 2);
    exposer->RegisterCollectable(impl_->registry);
    exposer->RegisterCollectable(impl_->ports);
    impl_->exposer = std::move(exposer);
    return true;
  } catch (const std::exception& e) {
    if (reason) *reason = e.what();
  } catch (...) {
    if (reason) *reason = "the listener could not be set up";
  }
  return false;
}

int MetricsEndpoint::port() const {
  if (!impl_->exposer) return 0;
  const std::vector<int> ports = impl_->exposer->GetListeningPorts();
  return ports.empty() ? 0 : ports.front();
}

std::string MetricsEndpoint::Scrape() const {
  std::vector<prometheus::MetricFamily> families = impl_->registry->Collect();
  std::vector<prometheus::MetricFamily> more = impl_->ports->Collect();
  families.insert(families.end(), std::make_move_iterator(more.begin()),
                  std::make_move_iterator(more.end()));
  std::ostringstream body;
  prometheus::TextSerializer().Serialize(body, families);
  return body.str();
}

}  // namespace varnley
