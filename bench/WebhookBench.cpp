// What the alert path adds to a webhook POST: a dispatch through the fan-out and the
// channel's worker to a 200 from a loopback receiver, beside a bare libcurl POST to the same
// receiver; and the cost of 10,000 alerts queued behind an endpoint that refuses them.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "alert/AlertFanout.h"
#include "alert/ChannelWorker.h"
#include "alert/WebhookChannel.h"
#include "support/HttpReceiver.h"
#include "support/WaitFor.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;
using testing::Answer;
using testing::HttpReceiver;
using testing::Script;

const char kAlert[] = "\"127.0.0.1:8080\" is DOWN.";

std::size_t Discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

// The floor: one POST of the same body, a fresh handle and connection each time.
void BM_CurlPostOnly(benchmark::State& state) {
  HttpReceiver receiver(Script{Answer(200)}, false, false);
  const std::string url = receiver.url("/hook");
  const std::string body = "{\"text\":\"\\\"127.0.0.1:8080\\\" is DOWN.\"}";
  curl_global_init(CURL_GLOBAL_DEFAULT);
  for (auto _ : state) {
    CURL* easy = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Discard);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    long status = 0;
    if (curl_easy_perform(easy) == CURLE_OK)
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
    if (status != 200) state.SkipWithError("the receiver did not answer 200");
  }
}
BENCHMARK(BM_CurlPostOnly)->UseRealTime()->Unit(benchmark::kMillisecond);

// From a dispatch's DOWN text to the 200 reported by the channel's status.
void BM_AlertToWebhook(benchmark::State& state) {
  HttpReceiver receiver(Script{Answer(200)}, false, false);
  AlertSettings settings;
  settings.webhooks[0].url = receiver.url("/hook");
  settings.webhooks[0].format = "slack";
  AlertFanout fanout(settings, {});
  MailStatus& status = fanout.webhookStatus(1);
  std::uint64_t sent = 0;
  for (auto _ : state) {
    fanout.Dispatch(kAlert, "");
    ++sent;
    while (status.Count().sent < sent) {
      if (status.Count().failed > 0) {
        state.SkipWithError("a webhook post failed");
        return;
      }
    }
  }
}
BENCHMARK(BM_AlertToWebhook)->UseRealTime()->Unit(benchmark::kMillisecond);

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

// 10,000 alerts behind an endpoint that answers 503 until it comes back: the memory they hold
// while they wait, and whether every text arrives in the one merged message that follows.
void BM_TenThousandBehindADeadEndpoint(benchmark::State& state) {
  for (auto _ : state) {
    HttpReceiver receiver(Script{Answer(503), Answer(200)});
    WebhookSettings hook;
    hook.url = receiver.url("/hook");
    hook.format = "slack";
    MailStatus status(std::cerr, "webhook1");
    ChannelOptions options;
    options.schedule = {{2s}, 2s, 1h};
    const long before = ResidentKiB();
    ChannelWorker worker(MakeWebhookChannel(1, hook, "bench"), &status, options);
    worker.Send({AlertEvent::down,
                 "\"127.0.0.1:1\" is DOWN.",
                 {{"127.0.0.1", 1, ""}},
                 WallClock::now(),
                 "",
                 std::nullopt});
    test::WaitFor([&] { return status.Count().failed == 1; });
    for (int i = 2; i <= 10000; ++i) {
      const std::string text =
          "\"127.0.0." + std::to_string(i % 250) + ":" + std::to_string(i) + "\" is DOWN.";
      worker.Send(
          {AlertEvent::down, text, {{"127.0.0.1", i, ""}}, WallClock::now(), "", std::nullopt});
    }
    const long queued = ResidentKiB();
    test::WaitFor([&] { return status.Count().sent == 1; }, 20s);
    const auto requests = receiver.requests();
    std::size_t lines = 0;
    if (requests.size() == 2) {
      const std::string& body = requests[1].body;
      for (std::size_t at = body.find("is DOWN."); at != std::string::npos;
           at = body.find("is DOWN.", at + 1))
        ++lines;
    }
    state.counters["queued_MiB"] = static_cast<double>(queued - before) / 1024.0;
    state.counters["texts_arrived"] = static_cast<double>(lines);
    state.counters["pending_entries_max"] = static_cast<double>(DeliveryQueue::kLimit);
  }
}
BENCHMARK(BM_TenThousandBehindADeadEndpoint)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace varnley
