#include "platform/Resolver.h"

#include <charconv>
#include <mutex>
#include <unordered_map>

#include "platform/ResolverCache.h"
#include "platform/StopSource.h"
#include "platform/TcpSocket.h"
#include "platform/Text.h"

namespace varnley {

const char* LookupFailureText(LookupFailure failure) {
  switch (failure) {
    case LookupFailure::none:
      return "";
    case LookupFailure::noSuchName:
      return "no such name";
    case LookupFailure::serverFailure:
      return "name server failure";
    case LookupFailure::noAnswer:
      return "no answer from the name servers";
  }
  return "";
}

namespace {

std::optional<std::uint16_t> ParsePort(std::string_view text) {
  unsigned value = 0;
  if (text.empty() || text.size() > 5) return std::nullopt;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 1 || value > 65535)
    return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

std::optional<NameServer> ParseServer(std::string_view entry) {
  NameServer server;
  std::string_view address = entry;
  std::optional<std::string_view> port;
  if (!entry.empty() && entry.front() == '[') {
    const auto close = entry.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    address = entry.substr(1, close - 1);
    const std::string_view rest = entry.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      port = rest.substr(1);
    }
    const auto bytes = ParseIPv6(address);
    if (!bytes) return std::nullopt;
    server.address = IpAddress::V6(*bytes);
  } else if (const auto bytes = ParseIPv6(entry)) {
    server.address = IpAddress::V6(*bytes);  // a bare IPv6 address takes no port
  } else {
    const auto colon = entry.find(':');
    if (colon != std::string_view::npos) {
      address = entry.substr(0, colon);
      port = entry.substr(colon + 1);
    }
    std::uint32_t v4 = 0;
    if (!ParseDottedIPv4(address, v4)) return std::nullopt;
    server.address = IpAddress::V4(v4);
  }
  if (port) {
    const auto number = ParsePort(*port);
    if (!number) return std::nullopt;
    server.port = *number;
  }
  return server;
}

}  // namespace

std::optional<std::vector<NameServer>> ParseNameServers(std::string_view text,
                                                        std::string* reason) {
  std::vector<NameServer> servers;
  if (Trim(text).empty()) return servers;
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string entry = Trim(text.substr(start, comma - start));
    const auto server = ParseServer(entry);
    if (!server) {
      if (reason)
        *reason = "\"" + entry +
                  "\" is no name server: type ADDRESS or ADDRESS:PORT, an IPv6 address in "
                  "brackets (\"[::1]:53\"), several separated by commas.";
      return std::nullopt;
    }
    servers.push_back(*server);
    if (comma == text.size()) break;
    start = comma + 1;
  }
  return servers;
}

namespace resolver {

namespace {

// Beyond this many names the cache starts again rather than grow without end.
constexpr std::size_t kMaxKeptNames = 100000;

struct Kept {
  std::vector<IpAddress> addresses;
  std::chrono::steady_clock::time_point until;
};

std::mutex cacheMutex;
std::unordered_map<std::string, Kept>& Cache() {
  static std::unordered_map<std::string, Kept> cache;
  return cache;
}

}  // namespace

std::optional<std::vector<IpAddress>> CachedAnswer(const std::string& key) {
  std::lock_guard lock(cacheMutex);
  auto& cache = Cache();
  const auto it = cache.find(key);
  if (it == cache.end()) return std::nullopt;
  if (std::chrono::steady_clock::now() >= it->second.until) {
    cache.erase(it);
    return std::nullopt;
  }
  return it->second.addresses;
}

void KeepAnswer(const std::string& key, std::vector<IpAddress> addresses,
                std::chrono::seconds ttl) {
  const auto now = std::chrono::steady_clock::now();
  const auto life = std::clamp<std::chrono::seconds>(ttl, kMinAnswerLife, kMaxAnswerLife);
  std::lock_guard lock(cacheMutex);
  auto& cache = Cache();
  if (cache.size() >= kMaxKeptNames) {
    std::erase_if(cache, [now](const auto& entry) { return now >= entry.second.until; });
    if (cache.size() >= kMaxKeptNames) cache.clear();
  }
  cache[key] = {std::move(addresses), now + life};
}

void ClearAnswers() {
  std::lock_guard lock(cacheMutex);
  Cache().clear();
}

ServerChoice ChooseServers(const std::string& dns) {
  ServerChoice choice;
  choice.servers = ParseNameServers(dns);
  if (choice.servers) {
    for (const NameServer& server : *choice.servers)
      choice.prefix += IpAddressText(server.address) + "#" + std::to_string(server.port) + ",";
  }
  choice.prefix += '\n';
  return choice;
}

std::uint64_t Waiting::add(const std::string& name, Deadline deadline, Resolver::Callback done) {
  const Deadline limit = deadline.earliest(Deadline::After(kLookupLimit));
  const auto it = pending_.find(name);
  if (it != pending_.end()) {
    it->second.waiting.push_back(std::move(done));
    if (*limit.when() < *it->second.deadline.when()) {
      if (--deadlines_[*it->second.deadline.when()] == 0)
        deadlines_.erase(*it->second.deadline.when());
      it->second.deadline = limit;
      ++deadlines_[*limit.when()];
    }
    return 0;
  }
  Pending& entry = pending_[name];
  entry.id = ++lastId_;
  entry.deadline = limit;
  entry.waiting.push_back(std::move(done));
  ++deadlines_[*limit.when()];
  return entry.id;
}

void Waiting::forget(std::unordered_map<std::string, Pending>::iterator it) {
  const auto when = *it->second.deadline.when();
  if (--deadlines_[when] == 0) deadlines_.erase(when);
  pending_.erase(it);
}

bool Waiting::finish(const std::string& name, const LookupAnswer& answer, std::uint64_t id) {
  const auto it = pending_.find(name);
  if (it == pending_.end() || (id != 0 && it->second.id != id)) return false;
  // Out of the table first: a callback may ask for the name again.
  std::vector<Resolver::Callback> waiting = std::move(it->second.waiting);
  forget(it);
  for (Resolver::Callback& done : waiting) done(answer);
  return true;
}

void Waiting::expire() {
  if (deadlines_.empty() || Deadline::Clock::now() < deadlines_.begin()->first) return;
  std::vector<std::string> late;
  for (const auto& [name, entry] : pending_)
    if (entry.deadline.expired()) late.push_back(name);
  for (const std::string& name : late) finish(name, {LookupFailure::noAnswer, {}});
}

int Waiting::waitMs() const {
  return deadlines_.empty() ? -1 : Deadline::At(deadlines_.begin()->first).pollTimeout();
}

}  // namespace resolver

Resolver::Resolver(const std::string& dns) : engine_(resolver::MakeEngine(dns)) {}
Resolver::~Resolver() = default;

void Resolver::lookup(const std::string& name, Deadline deadline, Callback done) {
  engine_->lookup(name, deadline, std::move(done));
}
int Resolver::descriptor() const { return engine_->descriptor(); }
int Resolver::waitMs() const { return engine_->waitMs(); }
void Resolver::process() { engine_->process(); }
bool Resolver::busy() const { return engine_->busy(); }
void Resolver::cancel() { engine_->cancel(); }
void Resolver::ClearCache() { resolver::ClearAnswers(); }

std::optional<LookupAnswer> ResolveName(Resolver& resolver, const std::string& name,
                                        Deadline deadline, const StopSource* stop) {
  std::optional<LookupAnswer> answer;
  resolver.lookup(name, deadline, [&answer](const LookupAnswer& a) { answer = a; });
  while (!answer) {
    if (stop && stop->stopRequested()) {
      resolver.cancel();
      return std::nullopt;
    }
    if (!resolver.engine_->waitReady(stop)) {
      resolver.cancel();
      return LookupAnswer{LookupFailure::serverFailure, {}};
    }
    resolver.process();
  }
  return answer;
}

}  // namespace varnley
