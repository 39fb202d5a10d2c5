// The endpoint over prometheus-cpp's registry and serializer, served by our own HttpServer. The
// fixed metrics live in a prometheus-cpp registry and go out through its text serializer; the two
// per-port families, which grow with the table, are written here straight into the body: at
// 100,000 ports the library's ClientMetric objects and its stream formatting made a scrape cost
// about six times the plain writing of the same lines.
#include <prometheus/collectable.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <atomic>
#include <charconv>
#include <sstream>

#include "platform/TcpSocket.h"
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

// The fixed families that change at scrape time, read from the snapshot of that scrape.
std::vector<prometheus::MetricFamily> FixedFamilies(const PortMetrics::Snapshot& s) {
  using prometheus::MetricType;
  std::vector<prometheus::MetricFamily> families;
  families.push_back(
      family("varnley_monitoring", "1 while monitoring runs, else 0", MetricType::Gauge));
  families.back().metric.emplace_back().gauge.value = s.monitoring ? 1 : 0;
  families.push_back(
      family("varnley_probes_total", "Probes settled, by result", MetricType::Counter));
  families.back().metric.push_back(counter("result", "open", s.probesOpen));
  families.back().metric.push_back(counter("result", "closed", s.probesClosed));
  families.back().metric.push_back(counter("result", "unresolved", s.probesUnresolved));
  families.push_back(
      family("varnley_alert_mails_total", "Alert mails, by outcome", MetricType::Counter));
  families.back().metric.push_back(counter("result", "sent", s.mailsSent));
  families.back().metric.push_back(counter("result", "failed", s.mailsFailed));
  families.push_back(family("varnley_alert_webhooks_total", "Webhook alerts, by webhook and outcome",
                            MetricType::Counter));
  for (int i = 0; i < kWebhookCount; ++i) {
    const std::string number = std::to_string(i + 1);
    for (const bool sent : {true, false}) {
      prometheus::ClientMetric& m = families.back().metric.emplace_back();
      m.label.push_back({"webhook", number});
      m.label.push_back({"result", sent ? "sent" : "failed"});
      m.counter.value =
          static_cast<double>(sent ? s.webhooks[i].sent : s.webhooks[i].failed);
    }
  }
  return families;
}

// A label value as the text format wants it: backslash, quote and line feed escaped.
void appendLabelValue(std::string& out, const std::string& value) {
  for (char c : value) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
}

// The two per-port families, written while the snapshot walks the table.
class PortFamilies {
 public:
  // expected: how many ports the last scrape showed, so the text is not grown step by step.
  explicit PortFamilies(std::size_t expected) {
    success_.reserve(expected * 64 + 128);
    duration_.reserve(expected * 80 + 128);
    success_ =
        "# HELP varnley_probe_success Last probe of the port: 1 open, 0 closed\n"
        "# TYPE varnley_probe_success gauge\n";
    duration_ =
        "# HELP varnley_probe_duration_seconds Duration of the port's last probe\n"
        "# TYPE varnley_probe_duration_seconds gauge\n";
  }

  void add(const std::string& host, int port, bool open, double seconds) {
    labels_.assign("{host=\"");
    appendLabelValue(labels_, host);
    labels_ += "\",port=\"";
    char number[32];
    labels_.append(number, std::to_chars(number, number + sizeof number, port).ptr);
    labels_ += "\"} ";
    success_.append("varnley_probe_success").append(labels_).append(open ? "1\n" : "0\n");
    duration_.append("varnley_probe_duration_seconds").append(labels_);
    duration_.append(number, std::to_chars(number, number + sizeof number, seconds).ptr);
    duration_ += '\n';
    ++count_;
  }

  std::size_t count() const { return count_; }

  void appendTo(std::string& out) const {
    out.reserve(out.size() + success_.size() + duration_.size());
    out += success_;
    out += duration_;
  }

 private:
  std::string labels_, success_, duration_;
  std::size_t count_ = 0;
};

HttpResponse Reply(int status, std::string contentType, std::string body) {
  return {status, std::move(contentType), std::move(body), {}};
}

}  // namespace

// The whole routing: the raw path compared as sent, so that no spelling of another path
// (dot segments, doubled slashes, escapes) reaches a page.
HttpResponse MetricsEndpoint::Answer(const HttpRequest& request) const {
  if (auto status = AnswerStatus(request)) return std::move(*status);
  if (request.path != "/metrics") return Reply(404, "text/plain; charset=utf-8", "Not Found\n");
  if (request.method != "GET" && request.method != "HEAD") {
    HttpResponse refused = Reply(405, "text/plain; charset=utf-8", "Method Not Allowed\n");
    refused.headers.emplace_back("Allow", "GET, HEAD");
    return refused;
  }
  return Reply(200, "text/plain; version=0.0.4; charset=utf-8", Scrape());
}

struct MetricsEndpoint::Impl {
  explicit Impl(const MetricsEndpoint& endpoint)
      : server([&endpoint](const HttpRequest& request) { return endpoint.Answer(request); }) {
    prometheus::BuildGauge()
        .Name("varnley_up")
        .Help("1 while the program runs")
        .Register(*registry)
        .Add({})
        .Set(1);
  }

  std::shared_ptr<prometheus::Registry> registry = std::make_shared<prometheus::Registry>();
  HttpServer server;
  std::atomic<std::size_t> lastPorts = 0;
};

MetricsEndpoint::MetricsEndpoint(Monitor& monitor, const HostTable& hosts, const MailStatus& mail)
    : metrics_(monitor, hosts, mail), impl_(std::make_unique<Impl>(*this)) {}

MetricsEndpoint::~MetricsEndpoint() = default;

bool MetricsEndpoint::Available() { return true; }

bool MetricsEndpoint::Listen(const std::string& address, std::string* reason) {
  impl_->server.Stop();
  address_ = address;
  if (address.empty()) return true;
  const auto parsed = ParseMetricsAddress(address);
  std::uint32_t host = 0;
  if (!parsed || !ParseDottedIPv4(parsed->host, host)) {
    if (reason)
      *reason = '"' + address + "\" is not an IPv4 address and port (such as 127.0.0.1:9101)";
    return false;
  }
  const Status status = impl_->server.Listen(host, static_cast<std::uint16_t>(parsed->port));
  if (!status && reason) *reason = status.reason;
  return status.ok;
}

int MetricsEndpoint::port() const { return impl_->server.port(); }

std::string MetricsEndpoint::Scrape() const {
  PortFamilies ports(impl_->lastPorts);
  const PortMetrics::Snapshot snapshot =
      metrics_.Take([&ports](const std::string& host, int port, const PortMetrics::Reading* last) {
        if (last) ports.add(host, port, last->open, last->seconds);
      });
  std::vector<prometheus::MetricFamily> families = impl_->registry->Collect();
  std::vector<prometheus::MetricFamily> fixed = FixedFamilies(snapshot);
  families.insert(families.end(), std::make_move_iterator(fixed.begin()),
                  std::make_move_iterator(fixed.end()));
  std::ostringstream head;
  prometheus::TextSerializer().Serialize(head, families);
  std::string body = head.str();
  ports.appendTo(body);
  impl_->lastPorts = ports.count();
  return body;
}

}  // namespace varnley
