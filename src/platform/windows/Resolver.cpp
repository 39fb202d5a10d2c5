// The resolver on Windows: each lookup runs getaddrinfo on a worker of its own (the system's
// resolver, so a `[config] dns` list is not asked here), and the caller's loop collects the
// answers in short slices. A lookup given up on is left to finish alone; its answer is kept.
#include "platform/Resolver.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/ResolverCache.h"
#include "platform/StopSource.h"
#include "platform/windows/Winsock.h"

namespace varnley {

namespace {

// How often the caller's loop looks for finished workers.
constexpr int kSliceMs = 20;
// getaddrinfo gives no TTL; its answers are kept for a fixed time.
constexpr std::chrono::seconds kAnswerLife{30};

// What a worker and its resolver share; whichever lets go last frees it.
struct Shared {
  std::mutex mutex;
  std::vector<std::pair<std::string, LookupAnswer>> done;
};

LookupAnswer SystemLookup(const std::string& name) {
  LookupAnswer answer;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
  if (rc != 0) {
    answer.failure = rc == WSAHOST_NOT_FOUND || rc == WSANO_DATA ? LookupFailure::noSuchName
                     : rc == WSATRY_AGAIN                        ? LookupFailure::noAnswer
                                                                 : LookupFailure::serverFailure;
    return answer;
  }
  for (const addrinfo* node = result; node; node = node->ai_next) {
    IpAddress address;
    if (node->ai_family == AF_INET) {
      std::memcpy(address.bytes.data(),
                  &reinterpret_cast<const sockaddr_in*>(node->ai_addr)->sin_addr, 4);
    } else if (node->ai_family == AF_INET6) {
      address.v6 = true;
      std::memcpy(address.bytes.data(),
                  &reinterpret_cast<const sockaddr_in6*>(node->ai_addr)->sin6_addr, 16);
    } else {
      continue;
    }
    if (std::find(answer.addresses.begin(), answer.addresses.end(), address) ==
        answer.addresses.end())
      answer.addresses.push_back(address);
    if (answer.addresses.size() == kMaxAddressesPerName) break;
  }
  ::freeaddrinfo(result);
  if (answer.addresses.empty()) answer.failure = LookupFailure::noSuchName;
  return answer;
}

class WorkerEngine final : public Resolver::Engine {
 public:
  explicit WorkerEngine(const std::string& dns) {
    resolver::ServerChoice choice = resolver::ChooseServers(dns);
    prefix_ = std::move(choice.prefix);
    usable_ = choice.servers.has_value() && EnsureWinsock() == 0;
  }

  void lookup(const std::string& name, Deadline deadline, Resolver::Callback done) override {
    const std::string key = prefix_ + name;
    if (auto kept = resolver::CachedAnswer(key))
      return done({LookupFailure::none, std::move(*kept)});
    if (!usable_) return done({LookupFailure::serverFailure, {}});
    if (waiting_.add(name, deadline, std::move(done)) == 0) return;
    try {
      std::thread([shared = shared_, name, key] {
        LookupAnswer answer = SystemLookup(name);
        if (answer.failure == LookupFailure::none)
          resolver::KeepAnswer(key, answer.addresses, kAnswerLife);
        std::lock_guard lock(shared->mutex);
        shared->done.emplace_back(name, std::move(answer));
      }).detach();
    } catch (const std::system_error&) {
      waiting_.finish(name, {LookupFailure::serverFailure, {}});
    }
  }

  int waitMs() const override { return waiting_.empty() ? -1 : kSliceMs; }

  void process() override {
    std::vector<std::pair<std::string, LookupAnswer>> done;
    {
      std::lock_guard lock(shared_->mutex);
      done.swap(shared_->done);
    }
    for (auto& [name, answer] : done) waiting_.finish(name, answer);
    waiting_.expire();
  }

  bool busy() const override { return !waiting_.empty(); }
  void cancel() override { waiting_.clear(); }
  int descriptor() const override { return -1; }

  bool waitReady(const StopSource*) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::max(waitMs(), 1)));
    return true;
  }

 private:
  std::string prefix_;
  bool usable_ = false;
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  resolver::Waiting waiting_;
};

}  // namespace

namespace resolver {

std::unique_ptr<Resolver::Engine> MakeEngine(const std::string& dns) {
  return std::make_unique<WorkerEngine>(dns);
}

}  // namespace resolver

}  // namespace varnley
