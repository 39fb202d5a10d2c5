// The one way the program looks a host name up: asynchronous, many lookups in flight in the
// caller's own poll loop, each with its deadline, answers kept for their TTL.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Deadline.h"
#include "platform/IpAddress.h"

namespace varnley {

class StopSource;

// Why a lookup found no address; each has the text the user reads.
enum class LookupFailure { none, noSuchName, serverFailure, noAnswer };
// "no such name", "name server failure", "no answer from the name servers" ("" for none).
const char* LookupFailureText(LookupFailure failure);

struct NameServer {
  IpAddress address;
  std::uint16_t port = 53;
  bool operator==(const NameServer&) const = default;
};

// The `[config] dns` text: "" (the system's own configuration) or a comma list of
// "ADDRESS[:PORT]", an IPv6 address in brackets when a port follows ("[::1]:5353"); blanks
// around an entry are allowed. nullopt (and the reason, when asked) for anything else.
std::optional<std::vector<NameServer>> ParseNameServers(std::string_view text,
                                                        std::string* reason = nullptr);

struct LookupAnswer {
  LookupFailure failure = LookupFailure::none;
  std::vector<IpAddress> addresses;  // in the resolver's order; empty on failure
};

// A lookup gives up after this long when its caller sets no earlier deadline.
inline constexpr std::chrono::seconds kLookupLimit{5};
// Answers are kept for their record's TTL within these bounds; failures are never kept.
inline constexpr std::chrono::seconds kMinAnswerLife{1};
inline constexpr std::chrono::seconds kMaxAnswerLife{300};
// At most this many addresses of one name are kept (and tried): a hostile answer with
// thousands of records costs no more than a short one.
inline constexpr std::size_t kMaxAddressesPerName = 16;

// One thread's resolver. Lookups of a name already in flight join it; answers still within
// their TTL come from a cache shared by every resolver of the process with the same servers.
// Not for use from two threads at once.
class Resolver {
 public:
  using Callback = std::function<void(const LookupAnswer& answer)>;

  // The servers of a `[config] dns` text; a text ParseNameServers refuses makes every lookup
  // fail with serverFailure.
  explicit Resolver(const std::string& dns = {});
  ~Resolver();
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  // Looks name up (a host name in its stored form, not an address). The callback runs inside
  // lookup() for a cached answer, else inside a later process() (at the latest once the
  // deadline, capped to kLookupLimit, has passed, with noAnswer); never after cancel().
  void lookup(const std::string& name, Deadline deadline, Callback done);

  // Readable while process() has work; -1 when the system offers no such descriptor (then
  // waitMs() is short while lookups are in flight).
  int descriptor() const;
  // How long the caller's poll may wait before process() must run for a timeout (-1: only
  // for the descriptor).
  int waitMs() const;
  void process();
  bool busy() const;  // lookups in flight
  // Drops every lookup in flight; their callbacks never run.
  void cancel();

  // Forgets every kept answer of every resolver (tests).
  static void ClearCache();

  class Engine;

 private:
  friend std::optional<LookupAnswer> ResolveName(Resolver&, const std::string&, Deadline,
                                                 const StopSource*);
  std::unique_ptr<Engine> engine_;
};

// One lookup, waited for beside the stop (for the SMTP connection and the benchmarks):
// the answer, or nullopt when the stop came first.
std::optional<LookupAnswer> ResolveName(Resolver& resolver, const std::string& name,
                                        Deadline deadline, const StopSource* stop);

// A host as a client connects to it: an address literal ("10.0.0.5", "::1", "[::1]") as it
// stands, without a lookup; a name through a resolver of the `dns` servers, waited for beside
// the stop. nullopt when the stop came first; a failure (noAnswer once the deadline passed)
// when no address was found.
std::optional<LookupAnswer> LookupHost(const std::string& host, const std::string& dns,
                                       Deadline deadline, const StopSource* stop);

}  // namespace varnley
