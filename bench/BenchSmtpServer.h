// The in-process loopback SMTP server the benchmarks share: one full session with AUTH LOGIN,
// replayed on every connection, nothing recorded.
#pragma once

#include "support/ScriptedSmtpServer.h"

namespace varnley::bench {

inline testing::ScriptedSmtpServer& SessionServer() {
  using testing::Reply;
  static testing::ScriptedSmtpServer server(
      Reply("220 bench ready"),
      {Reply({"250-bench", "250 AUTH LOGIN"}), Reply("334 VXNlcm5hbWU6"), Reply("334 UGFzc3dvcmQ6"),
       Reply("235 2.7.0 ok"), Reply("250 ok"), Reply("250 ok"), Reply("250 ok"), Reply("354 go"),
       Reply("250 queued"), Reply("221 bye")},
      {.replayPerConnection = true, .record = false});
  return server;
}

}  // namespace varnley::bench
