// CheckPort beside the floor it stands on: a raw blocking socket()+connect()+close().
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "monitor/Probe.h"
#include "platform/StopSource.h"
#include "support/LoopbackPeers.h"

namespace varnley {
namespace {

bool RawConnect(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

void BM_RawConnectOpen(benchmark::State& state) {
  test::AcceptingListener listener;
  for (auto _ : state)
    if (!RawConnect(listener.port())) state.SkipWithError("connect failed");
}

void BM_CheckPortOpen(benchmark::State& state) {
  test::AcceptingListener listener;
  StopSource stop;  // as the worker calls it
  for (auto _ : state)
    if (!CheckPort("127.0.0.1", listener.port(), &stop)) state.SkipWithError("probe failed");
}

void BM_RawConnectRefused(benchmark::State& state) {
  test::RefusingPort refusing;
  for (auto _ : state)
    if (RawConnect(refusing.port())) state.SkipWithError("connect succeeded");
}

void BM_CheckPortRefused(benchmark::State& state) {
  test::RefusingPort refusing;
  StopSource stop;
  for (auto _ : state)
    if (CheckPort("127.0.0.1", refusing.port(), &stop)) state.SkipWithError("probe succeeded");
}

BENCHMARK(BM_RawConnectOpen);
BENCHMARK(BM_CheckPortOpen);
BENCHMARK(BM_RawConnectRefused);
BENCHMARK(BM_CheckPortRefused);

}  // namespace
}  // namespace varnley
