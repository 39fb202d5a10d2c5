// The endpoint's status page routes, shared by every build that serves anything.
#include "platform/Paths.h"
#include "service/MetricsEndpoint.h"
#include "service/StatusPage.h"

namespace varnley {

namespace {

// A status page is read-only and built only from our own bytes: no script, no outside
// resource, no guessing of types.
void AddPageHeaders(HttpResponse& response) {
  response.headers.emplace_back("Content-Security-Policy",
                                "default-src 'none'; style-src 'unsafe-inline'");
  response.headers.emplace_back("X-Content-Type-Options", "nosniff");
  response.headers.emplace_back("Cache-Control", "no-store");
}

}  // namespace

void MetricsEndpoint::SetStatusPage(bool on) {
  std::lock_guard lock(pageMutex_);
  statusPage_ = on;
}

void MetricsEndpoint::SetHistory(std::shared_ptr<const StatusHistory> history,
                                 std::string missing) {
  std::lock_guard lock(pageMutex_);
  history_ = std::move(history);
  missingHistory_ = std::move(missing);
}

StatusFacts MetricsEndpoint::CollectStatusNow() const {
  std::unique_lock lock(pageMutex_);
  const auto history = history_;
  const std::string missing = missingHistory_;
  lock.unlock();
  StatusFacts facts = CollectStatus(metrics_, history.get(), missing, ComputerName(),
                                    std::chrono::system_clock::now(), lastStatusPorts_);
  lastStatusPorts_ = facts.ports.size();
  return facts;
}

std::string MetricsEndpoint::StatusPage() const { return RenderStatusPage(CollectStatusNow()); }

std::string MetricsEndpoint::StatusJson() const { return RenderStatusJson(CollectStatusNow()); }

std::optional<HttpResponse> MetricsEndpoint::AnswerStatus(const HttpRequest& request) const {
  const bool page = request.path == "/";
  if (!page && request.path != "/status.json") return std::nullopt;
  {
    std::lock_guard lock(pageMutex_);
    if (!statusPage_) return std::nullopt;
  }
  HttpResponse response;
  if (request.method != "GET" && request.method != "HEAD") {
    response = {405, "text/plain; charset=utf-8", "Method Not Allowed\n", {}};
    response.headers.emplace_back("Allow", "GET, HEAD");
  } else if (page) {
    response = {200, "text/html; charset=utf-8", StatusPage(), {}};
  } else {
    response = {200, "application/json", StatusJson(), {}};
  }
  AddPageHeaders(response);
  return response;
}

}  // namespace varnley
