// What the email sender adds to an alert's SMTP session: one sender pass (take the entry,
// compose, connect, send, QUIT) beside the bare session for the same mail.
#include <benchmark/benchmark.h>

#include "alert/AlertMail.h"
#include "alert/TEmailThread.h"
#include "smtp/IdMessage.h"
#include "smtp/IdSMTP.h"
#include "BenchSmtpServer.h"
#include "support/ScriptedSmtpServer.h"

namespace varnley {
namespace {

using testing::ScriptedSmtpServer;

const char kAlert[] = "\"127.0.0.1:8080\" is DOWN.";

ScriptedSmtpServer& Server() { return bench::SessionServer(); }

AlertSettings BenchSettings() {
  AlertSettings s;
  s.sendEmail = true;
  s.interval = 1;
  s.smtpServer = Server().address();
  s.userName = "user";
  s.password = "password";
  s.receiveEmail = "admin@example.org";
  s.authentication = true;
  return s;
}

// The floor: the same session driven directly, the message composed once.
void BM_AlertSessionOnly(benchmark::State& state) {
  const AlertSettings settings = BenchSettings();
  const MailAccount account = MailAccount::From(settings);
  TIdSMTP smtp;
  ConfigureClient(smtp, account);
  TIdMessage message;
  ComposeAlertMessage(message, account, kAlert);
  for (auto _ : state) {
    smtp.Connect();
    smtp.Send(message);
    smtp.Disconnect();
  }
}
BENCHMARK(BM_AlertSessionOnly)->UseRealTime();

// From a DOWN text in the email queue to the message accepted by the server.
void BM_AlertToMail(benchmark::State& state) {
  const AlertSettings settings = BenchSettings();
  AlertQueues queues;
  TEmailThread sender(queues, settings, TEmailThread::NoThread{});
  for (auto _ : state) {
    queues.AddEmailEntry(kAlert);
    if (!sender.runPass()) state.SkipWithError("the alert was not accepted");
  }
}
BENCHMARK(BM_AlertToMail)->UseRealTime();

}  // namespace
}  // namespace varnley
