#include "monitor/Probe.h"

#include <optional>

#include "model/AddressCheck.h"
#include "platform/Resolver.h"
#include "platform/TcpProbe.h"

namespace varnley {

namespace {

// The target as the platform probes it; nullopt for one that must not reach the network.
std::optional<ProbeTarget> Target(const std::string& host, int port) {
  // A port outside 1..65535 would otherwise be probed under another number.
  if (port < 1 || port > 65535) return std::nullopt;
  ProbeTarget target;
  target.port = static_cast<std::uint16_t>(port);
  // The common case first, at today's cost.
  if (const auto octets = ParseIPv4(host)) {
    target.octets = *octets;
    return target;
  }
  const auto canonical = CanonicalHostOf(host);
  if (!canonical) return std::nullopt;
  if (canonical->kind == HostKind::IPv6)
    target.ipv6 = ParseIPv6(canonical->text);
  else
    target.name = canonical->text;
  return target;
}

PortAnswer AnswerOf(const ProbeOutcome& outcome) {
  PortAnswer answer;
  answer.open = outcome.result == ProbeResult::Open;
  answer.duration = outcome.duration;
  if (outcome.result == ProbeResult::Closed) answer.reason = ProbeFailureText(outcome.failure);
  if (outcome.address) answer.address = IpAddressText(*outcome.address);
  answer.unresolved = outcome.failure == ProbeFailure::noSuchName ||
                      outcome.failure == ProbeFailure::serverFailure ||
                      outcome.failure == ProbeFailure::noAnswer;
  return answer;
}

void Probe(std::span<const ProbeTarget> targets, std::span<ProbeOutcome> outcomes,
           const StopSource* stop, std::chrono::milliseconds timeout, const std::string& dns) {
  // A channel only for a batch with names: an IPv4-only table costs what it always did.
  std::optional<Resolver> resolver;
  for (const ProbeTarget& t : targets) {
    if (t.name.empty()) continue;
    resolver.emplace(dns);
    break;
  }
  TcpConnectProbeBatch(targets, outcomes, stop, timeout, resolver ? &*resolver : nullptr);
}

}  // namespace

std::vector<PortAnswer> CheckPorts(const std::vector<PortTarget>& targets, const StopSource* stop,
                                   std::chrono::milliseconds timeout, const std::string& dns) {
  std::vector<PortAnswer> answers(targets.size());
  std::vector<ProbeTarget> valid;
  std::vector<std::size_t> index;  // of each valid target in targets
  valid.reserve(targets.size());
  index.reserve(targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    auto target = Target(targets[i].host, targets[i].port);
    if (!target) continue;
    valid.push_back(std::move(*target));
    index.push_back(i);
  }
  std::vector<ProbeOutcome> outcomes(valid.size());
  Probe(valid, outcomes, stop, timeout, dns);
  for (std::size_t k = 0; k < valid.size(); ++k) answers[index[k]] = AnswerOf(outcomes[k]);
  return answers;
}

bool CheckPort(const std::string& host, int port, const StopSource* stop,
               std::chrono::milliseconds timeout, const std::string& dns) {
  // The batch of one, without the lists a larger batch needs.
  const auto target = Target(host, port);
  if (!target) return false;
  ProbeOutcome outcome;
  Probe({&*target, 1}, {&outcome, 1}, stop, timeout, dns);
  return outcome.result == ProbeResult::Open;
}

}  // namespace varnley
