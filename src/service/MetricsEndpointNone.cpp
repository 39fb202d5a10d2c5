// The endpoint in a build without the exposition library: nothing listens, and asking for a
// listener says why.
#include "service/MetricsEndpoint.h"

namespace varnley {

struct MetricsEndpoint::Impl {};

MetricsEndpoint::MetricsEndpoint(Monitor& monitor, const HostTable& hosts, const MailStatus& mail)
    : metrics_(monitor, hosts, mail) {}

MetricsEndpoint::~MetricsEndpoint() = default;

bool MetricsEndpoint::Available() { return false; }

bool MetricsEndpoint::Listen(const std::string& address, std::string* reason) {
  address_ = address;
  if (address.empty()) return true;
  if (reason)
    *reason = "cannot listen at " + address +
              ": this build has no metrics support (built without prometheus-cpp)";
  return false;
}

int MetricsEndpoint::port() const { return 0; }

std::string MetricsEndpoint::Scrape() const { return ""; }

HttpResponse MetricsEndpoint::Answer(const HttpRequest&) const { return {404, "", "", {}}; }

}  // namespace varnley
