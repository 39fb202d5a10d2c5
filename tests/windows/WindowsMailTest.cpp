// The mail client in a build without TLS: a session that asks for TLS fails with the reason
// and sends nothing the server could read in plain text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "smtp/IdException.h"
#include "smtp/IdSMTP.h"
#include "support/ScriptedSmtpServer.h"

namespace varnley {
namespace {

using testing::Reply;
using testing::ScriptedSmtpServer;
using Lines = std::vector<std::string>;

// Connects with the given TLS mode and login; returns the error's text.
std::string FailingConnect(ScriptedSmtpServer& server, TIdUseTLS mode) {
  TIdSMTP smtp;
  smtp.Host = server.address();
  smtp.HeloName = "probe";
  smtp.UseTLS = mode;
  smtp.Username = "user";
  smtp.Password = "secret";
  try {
    smtp.Connect();
  } catch (const EIdTLSError& e) {
    EXPECT_FALSE(smtp.Connected());
    return e.what();
  }
  ADD_FAILURE() << "connected without TLS";
  return {};
}

TEST(WindowsMail, TlsThatCannotBeHadIsAFailureNeverPlainText) {
  ScriptedSmtpServer starttls(
      Reply("220 mail ready"),
      {Reply({"250-mail hello", "250-STARTTLS", "250 AUTH LOGIN"}), Reply("220 go ahead")});
  const std::string reason = FailingConnect(starttls, utUseRequireTLS);
  EXPECT_NE(reason.find("TLS is not available"), std::string::npos) << reason;
  // Only the greeting and the request for TLS went out: no login, no mail.
  EXPECT_EQ(starttls.commands(), (Lines{"EHLO probe", "STARTTLS"}));

  ScriptedSmtpServer implicit(Reply("220 mail ready"), {});
  EXPECT_NE(FailingConnect(implicit, utUseImplicitTLS).find("TLS is not available"),
            std::string::npos);
  EXPECT_TRUE(implicit.commands().empty());
}

}  // namespace
}  // namespace varnley
