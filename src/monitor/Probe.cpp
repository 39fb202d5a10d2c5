#include "monitor/Probe.h"

#include <optional>

#include "model/AddressCheck.h"
#include "platform/TcpProbe.h"

namespace varnley {

namespace {

// The target as the platform probes it; nullopt for one that must not reach the network.
std::optional<ProbeTarget> Resolve(const std::string& host, int port) {
  // A port outside 1..65535 would otherwise be probed under another number.
  if (port < 1 || port > 65535) return std::nullopt;
  const auto octets = ParseIPv4(host);
  if (!octets) return std::nullopt;
  return ProbeTarget{*octets, static_cast<std::uint16_t>(port)};
}

}  // namespace

std::vector<PortAnswer> CheckPorts(const std::vector<PortTarget>& targets, const StopSource* stop,
                                   std::chrono::milliseconds timeout) {
  std::vector<PortAnswer> answers(targets.size());
  std::vector<ProbeTarget> valid;
  std::vector<std::size_t> index;  // of each valid target in targets
  valid.reserve(targets.size());
  index.reserve(targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const auto target = Resolve(targets[i].host, targets[i].port);
    if (!target) continue;
    valid.push_back(*target);
    index.push_back(i);
  }
  std::vector<ProbeOutcome> outcomes(valid.size());
  TcpConnectProbeBatch(valid, outcomes, stop, timeout);
  for (std::size_t k = 0; k < valid.size(); ++k)
    answers[index[k]] = {outcomes[k].result == ProbeResult::Open, outcomes[k].duration};
  return answers;
}

bool CheckPort(const std::string& host, int port, const StopSource* stop,
               std::chrono::milliseconds timeout) {
  // The batch of one, without the lists a larger batch needs.
  const auto target = Resolve(host, port);
  if (!target) return false;
  ProbeOutcome outcome;
  TcpConnectProbeBatch({&*target, 1}, {&outcome, 1}, stop, timeout);
  return outcome.result == ProbeResult::Open;
}

}  // namespace varnley
