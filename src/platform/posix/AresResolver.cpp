// The resolver on c-ares: its sockets live in an epoll set of the resolver's own, whose
// descriptor the caller's poll loop watches beside everything else it waits on.
#include <ares.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <mutex>

#include "platform/Resolver.h"
#include "platform/ResolverCache.h"
#include "platform/StopSource.h"

namespace varnley {

namespace {

// c-ares' own retry timing within a lookup's deadline: a lost datagram is asked again soon,
// and a dead server leaves time for the next one.
constexpr int kQueryTimeoutMs = 1000;
constexpr int kQueryTries = 3;
constexpr int kStopSliceMs = 50;
// Lookups sent at once; the rest wait for room. A burst of thousands of datagrams would
// overflow a server's receive queue, and every lost one costs a retry a second later.
constexpr std::size_t kMaxLookupsInFlight = 32;

bool LibraryReady() {
  static const bool ready = ares_library_init(ARES_LIB_INIT_ALL) == ARES_SUCCESS;
  return ready;
}

LookupFailure FailureOf(int status) {
  switch (status) {
    case ARES_ENOTFOUND:
    case ARES_ENODATA:
    case ARES_ENONAME:
    case ARES_EBADNAME:
      return LookupFailure::noSuchName;
    case ARES_ETIMEOUT:
    case ARES_ECONNREFUSED:
      return LookupFailure::noAnswer;
    default:
      return LookupFailure::serverFailure;
  }
}

class AresEngine final : public Resolver::Engine {
 public:
  explicit AresEngine(const std::string& dns) {
    resolver::ServerChoice choice = resolver::ChooseServers(dns);
    prefix_ = std::move(choice.prefix);
    if (!choice.servers || !LibraryReady()) return;
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) return;
    ares_options options{};
    options.sock_state_cb = &AresEngine::SocketState;
    options.sock_state_cb_data = this;
    options.timeout = kQueryTimeoutMs;
    options.tries = kQueryTries;
    // The hosts file first, then the servers: "localhost" never leaves the machine.
    char lookups[] = "fb";
    options.lookups = lookups;
    // A server's "failure" or "refused" reply is the answer, not a reason to ask it again:
    // otherwise c-ares reports it as a server that never answered.
    options.flags = ARES_FLAG_NOCHECKRESP;
    const int mask = ARES_OPT_SOCK_STATE_CB | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES |
                     ARES_OPT_LOOKUPS | ARES_OPT_FLAGS;
    if (ares_init_options(&channel_, &options, mask) != ARES_SUCCESS) {
      channel_ = nullptr;
      return;
    }
    if (!choice.servers->empty() && !useServers(*choice.servers)) {
      // Never fall back to the system's servers when the user named others.
      ares_destroy(channel_);
      channel_ = nullptr;
    }
  }

  ~AresEngine() override {
    closing_ = true;
    if (channel_) ares_destroy(channel_);
    if (epoll_ >= 0) ::close(epoll_);
  }

  void lookup(const std::string& name, Deadline deadline, Resolver::Callback done) override {
    const std::string key = prefix_ + name;
    if (auto kept = resolver::CachedAnswer(key))
      return done({LookupFailure::none, std::move(*kept)});
    if (!channel_) return done({LookupFailure::serverFailure, {}});
    const std::uint64_t id = waiting_.add(name, deadline, std::move(done));
    if (id == 0) return;
    Query query{this, name, key, id};
    if (inFlight_ >= kMaxLookupsInFlight)
      queued_.push_back(std::move(query));
    else
      start(std::move(query));
  }

  int descriptor() const override { return epoll_; }

  int waitMs() const override {
    int wait = waiting_.waitMs();
    if (channel_) {
      timeval tv{};
      if (ares_timeout(channel_, nullptr, &tv)) {
        const long long ms = static_cast<long long>(tv.tv_sec) * 1000 + (tv.tv_usec + 999) / 1000;
        const int aresWait = static_cast<int>(std::min<long long>(ms, INT_MAX));
        wait = wait < 0 ? aresWait : std::min(wait, aresWait);
      }
    }
    return wait;
  }

  void process() override {
    if (channel_) {
      epoll_event events[64];
      const int n = ::epoll_wait(epoll_, events, static_cast<int>(std::size(events)), 0);
      for (int k = 0; k < n; ++k) {
        const auto fd = static_cast<ares_socket_t>(events[k].data.fd);
        const bool in = events[k].events & (EPOLLIN | EPOLLERR | EPOLLHUP);
        const bool out = events[k].events & (EPOLLOUT | EPOLLERR | EPOLLHUP);
        ares_process_fd(channel_, in ? fd : ARES_SOCKET_BAD, out ? fd : ARES_SOCKET_BAD);
      }
      ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // the timeouts
    }
    // Lookups past their deadline give up; c-ares' own query ends alone and is only kept.
    waiting_.expire();
  }

  bool busy() const override { return !waiting_.empty(); }

  void cancel() override {
    waiting_.clear();
    queued_.clear();
  }

  bool waitReady(const StopSource* stop) override {
    const int wakeFd = stop ? stop->wakeDescriptor() : -1;
    pollfd fds[2] = {{epoll_, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int wait = waitMs();
    // Without a wake-up descriptor the stop is looked at between short slices.
    if (stop && wakeFd < 0 && (wait < 0 || wait > kStopSliceMs)) wait = kStopSliceMs;
    return ::poll(fds, 2, wait) >= 0 || errno == EINTR;
  }

 private:
  struct Query {
    AresEngine* engine;
    std::string name;
    std::string key;
    std::uint64_t id;
  };

  bool useServers(const std::vector<NameServer>& servers) {
    std::vector<ares_addr_port_node> nodes(servers.size());
    for (std::size_t i = 0; i < servers.size(); ++i) {
      ares_addr_port_node& node = nodes[i];
      node.next = i + 1 < servers.size() ? &nodes[i + 1] : nullptr;
      node.udp_port = node.tcp_port = servers[i].port;
      if (servers[i].address.v6) {
        node.family = AF_INET6;
        std::memcpy(&node.addr.addr6, servers[i].address.bytes.data(), 16);
      } else {
        node.family = AF_INET;
        std::memcpy(&node.addr.addr4, servers[i].address.bytes.data(), 4);
      }
    }
    return ares_set_servers_ports(channel_, nodes.data()) == ARES_SUCCESS;
  }

  static void SocketState(void* data, ares_socket_t fd, int readable, int writable) {
    auto* self = static_cast<AresEngine*>(data);
    if (!readable && !writable) {
      ::epoll_ctl(self->epoll_, EPOLL_CTL_DEL, fd, nullptr);
      return;
    }
    epoll_event event{};
    event.events = (readable ? EPOLLIN : 0u) | (writable ? EPOLLOUT : 0u);
    event.data.fd = fd;
    if (::epoll_ctl(self->epoll_, EPOLL_CTL_MOD, fd, &event) != 0 && errno == ENOENT)
      ::epoll_ctl(self->epoll_, EPOLL_CTL_ADD, fd, &event);
  }

  void start(Query query) {
    ++inFlight_;
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = ARES_AI_NOSORT;
    const std::string name = query.name;
    // May answer at once (the hosts file), calling Answered before it returns.
    ares_getaddrinfo(channel_, name.c_str(), nullptr, &hints, &AresEngine::Answered,
                     new Query(std::move(query)));
  }

  // Queued lookups that still have someone waiting, as far as the limit allows.
  void startQueued() {
    while (inFlight_ < kMaxLookupsInFlight && !queued_.empty()) {
      Query next = std::move(queued_.front());
      queued_.pop_front();
      if (waiting_.waits(next.name, next.id)) start(std::move(next));
    }
  }

  static void Answered(void* arg, int status, int /*timeouts*/, ares_addrinfo* result) {
    std::unique_ptr<Query> query(static_cast<Query*>(arg));
    AresEngine* self = query->engine;
    --self->inFlight_;
    LookupAnswer answer;
    int ttl = INT_MAX;
    if (status == ARES_SUCCESS && result) {
      for (const ares_addrinfo_node* node = result->nodes; node; node = node->ai_next) {
        IpAddress address;
        if (node->ai_family == AF_INET && node->ai_addr) {
          const auto* in = reinterpret_cast<const sockaddr_in*>(node->ai_addr);
          std::memcpy(address.bytes.data(), &in->sin_addr, 4);
        } else if (node->ai_family == AF_INET6 && node->ai_addr) {
          const auto* in6 = reinterpret_cast<const sockaddr_in6*>(node->ai_addr);
          address.v6 = true;
          std::memcpy(address.bytes.data(), &in6->sin6_addr, 16);
        } else {
          continue;
        }
        ttl = std::min(ttl, node->ai_ttl);
        if (std::find(answer.addresses.begin(), answer.addresses.end(), address) ==
            answer.addresses.end())
          answer.addresses.push_back(address);
        if (answer.addresses.size() == kMaxAddressesPerName) break;
      }
      if (answer.addresses.empty()) answer.failure = LookupFailure::noSuchName;
    } else {
      answer.failure = FailureOf(status);
    }
    if (result) ares_freeaddrinfo(result);
    if (status == ARES_ECANCELLED || status == ARES_EDESTRUCTION || self->closing_) return;
    if (answer.failure == LookupFailure::none)
      resolver::KeepAnswer(query->key, answer.addresses, std::chrono::seconds(std::max(ttl, 0)));
    // A lookup given up on (or asked again since) has no one waiting for this answer.
    self->waiting_.finish(query->name, answer, query->id);
    self->startQueued();
  }

  ares_channel channel_ = nullptr;
  int epoll_ = -1;
  bool closing_ = false;
  std::string prefix_;
  resolver::Waiting waiting_;
  std::size_t inFlight_ = 0;  // lookups c-ares has, given up on or not
  std::deque<Query> queued_;  // lookups waiting for room
};

}  // namespace

namespace resolver {

std::unique_ptr<Resolver::Engine> MakeEngine(const std::string& dns) {
  return std::make_unique<AresEngine>(dns);
}

}  // namespace resolver

}  // namespace varnley
