#include "alert/TestMailer.h"

#include "platform/StopSource.h"
#include "smtp/IdMessage.h"
#include "smtp/IdSMTP.h"

namespace varnley {

Status TestMailer::Start(const MailAccount& account, std::function<void(bool sent)> finished) {
  const int waitMs = static_cast<int>(wait_.count());
  return test_.Start(
      [account, waitMs, finished = std::move(finished)](StopSource& stop) {
        // The test's own client and message, apart from the alert sender's.
        TIdSMTP client;
        TIdMessage message;
        client.SetStopSource(&stop);
        ApplyLimits(client, {waitMs, waitMs, 0});
        const bool sent = SendTestMail(client, message, account, {});
        if (!stop.stopRequested() && finished) finished(sent);
      },
      "a test mail is already on its way");
}

}  // namespace varnley
