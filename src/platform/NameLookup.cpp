#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/LookupSignal.h"
#include "platform/SocketErrors.h"
#include "platform/StopSource.h"
#include "platform/TcpSocket.h"

namespace varnley {

namespace {

std::mutex lookupMutex;
NameLookup& InstalledLookup() {
  static NameLookup lookup;
  return lookup;
}

// What a lookup worker and its caller share; whichever lets go last frees it.
struct LookupJob {
  LookupSignal done;
  std::mutex mutex;
  int code = kWsaHostNotFound;
  std::uint32_t address = 0;
};

}  // namespace

NameLookup SetNameLookup(NameLookup lookup) {
  std::lock_guard lock(lookupMutex);
  return std::exchange(InstalledLookup(), std::move(lookup));
}

IoResult LookupIPv4(const std::string& host, std::uint32_t& address, const Deadline& deadline,
                    const StopSource* stop) {
  if (ParseDottedIPv4(host, address)) return {};
  if (host.empty() || host.find('\0') != std::string::npos)
    return {IoStatus::failed, kWsaHostNotFound, 0};
  if (stop && stop->stopRequested()) return {IoStatus::stopped, 0, 0};
  NameLookup lookup;
  {
    std::lock_guard lock(lookupMutex);
    lookup = InstalledLookup();
  }
  if (!lookup)
    lookup = [](const std::string& name, std::uint32_t& out) { return ResolveIPv4(name, out); };
  auto job = std::make_shared<LookupJob>();
  if (job->done.error() != 0) return {IoStatus::failed, job->done.error(), 0};
  try {
    std::thread([job, lookup = std::move(lookup), host] {
      std::uint32_t found = 0;
      int code = kWsaHostNotFound;
      try {
        code = lookup(host, found);
      } catch (...) {
        // A lookup that throws found nothing.
      }
      {
        std::lock_guard lock(job->mutex);
        job->code = code;
        job->address = found;
      }
      job->done.raise();
    }).detach();
  } catch (const std::system_error&) {
    return {IoStatus::failed, 10055, 0};  // no thread: "No buffer space available."
  }
  const IoResult waited = job->done.wait(deadline, stop);
  if (waited.status != IoStatus::ok) return waited;
  std::lock_guard lock(job->mutex);
  if (job->code != 0) return {IoStatus::failed, job->code, 0};
  address = job->address;
  return {};
}

}  // namespace varnley
