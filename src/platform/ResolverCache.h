// The answers every resolver of the process shares, and the servers text they are kept under.
// Shared by each system's resolver; not for use outside src/platform.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Resolver.h"

namespace varnley {

// What each system's resolver implements; Resolver forwards to it.
class Resolver::Engine {
 public:
  virtual ~Engine() = default;
  virtual void lookup(const std::string& name, Deadline deadline, Callback done) = 0;
  virtual int descriptor() const = 0;
  virtual int waitMs() const = 0;
  virtual void process() = 0;
  virtual bool busy() const = 0;
  virtual void cancel() = 0;
  // Waits until process() has work or the stop is requested; false when the wait failed.
  virtual bool waitReady(const StopSource* stop) = 0;
};

}  // namespace varnley

namespace varnley::resolver {

// The addresses kept for key while their life lasts; nullopt when none are (or no longer).
std::optional<std::vector<IpAddress>> CachedAnswer(const std::string& key);
// Kept for ttl clamped to kMinAnswerLife..kMaxAnswerLife.
void KeepAnswer(const std::string& key, std::vector<IpAddress> addresses, std::chrono::seconds ttl);
void ClearAnswers();

// What a resolver for a `[config] dns` text asks: the parsed servers (empty for the system's
// own), or nullopt for a text that names none properly. prefix tells their answers apart.
struct ServerChoice {
  std::optional<std::vector<NameServer>> servers;
  std::string prefix;
};
ServerChoice ChooseServers(const std::string& dns);

// The system's engine for a `[config] dns` text.
std::unique_ptr<Resolver::Engine> MakeEngine(const std::string& dns);

// The lookups of one resolver in flight: who waits for each name, and until when.
class Waiting {
 public:
  // Adds a caller; returns the id of a new lookup the caller must start, or 0 when the name is
  // in flight already (the caller joins it).
  std::uint64_t add(const std::string& name, Deadline deadline, Resolver::Callback done);
  // Answers everyone waiting for the lookup of that id (any id when 0); false when nobody
  // waits for it any more (it was given up on, or asked again since).
  bool finish(const std::string& name, const LookupAnswer& answer, std::uint64_t id = 0);
  // Whether someone still waits for the lookup of that id.
  bool waits(const std::string& name, std::uint64_t id) const {
    const auto it = pending_.find(name);
    return it != pending_.end() && it->second.id == id;
  }
  // Lookups past their deadline give up with noAnswer.
  void expire();
  // Until the earliest deadline; -1 with nothing in flight.
  int waitMs() const;
  bool empty() const { return pending_.empty(); }
  void clear() {
    pending_.clear();
    deadlines_.clear();
  }

 private:
  struct Pending {
    std::uint64_t id = 0;
    Deadline deadline = Deadline::None();
    std::vector<Resolver::Callback> waiting;
  };
  void forget(std::unordered_map<std::string, Pending>::iterator it);

  std::uint64_t lastId_ = 0;
  std::unordered_map<std::string, Pending> pending_;
  // How many pending lookups end at each deadline: the loop asks for the earliest after
  // every event, which must not cost a walk over thousands of lookups.
  std::map<Deadline::Clock::time_point, std::size_t> deadlines_;
};

}  // namespace varnley::resolver
