// The alert dialog's Test button without the dialog: one test mail at a time on a thread of
// its own, so the window keeps answering, with short limits so a silent server is soon left.
#pragma once

#include <chrono>
#include <functional>

#include "alert/AlertMail.h"
#include "alert/BackgroundTest.h"
#include "platform/Diagnostics.h"

namespace varnley {

class TestMailer {
 public:
  // How long the test waits for the server's connect and for each whole reply.
  static constexpr std::chrono::milliseconds kWait{10000};

  void setWait(std::chrono::milliseconds wait) { wait_ = wait; }

  // Sends the test mail on the mailer's thread and calls finished(sent) there when it is
  // done. Refused while a test is still running or when no thread can be started.
  Status Start(const MailAccount& account, std::function<void(bool sent)> finished);
  // Whether a test was started and not yet collected by Finish().
  bool Running() const { return test_.Running(); }
  // Waits for the thread once its callback came (or at once if none runs).
  void Finish() { test_.Finish(); }
  // Ends a running test at once (the lookup, the connect and every reply wait end on the
  // stop), without its callback; the destructor does the same.
  void Cancel() { test_.Cancel(); }

 private:
  std::chrono::milliseconds wait_ = kWait;
  BackgroundTest test_;
};

}  // namespace varnley
