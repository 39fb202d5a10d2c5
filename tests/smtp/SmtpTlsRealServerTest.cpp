// The SMTP client's TLS against a real server: aiosmtpd's TLS listeners with certificates from
// a throw-away CA that the fixture made with the openssl command.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "smtp/IdException.h"
#include "smtp/IdSMTP.h"
#include "support/RealSmtpServer.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;

using test::RealSmtpServer;

class TlsRealServer : public ::testing::Test {
 protected:
  void SetUp() override {
    // The fixture's CA is the only one trusted.
    ::setenv("SSL_CERT_FILE", server.caFile().c_str(), 1);
    smtp.HeloName = "varnley-test-client";
    smtp.ReadTimeout = 10000ms;
    smtp.Username = RealSmtpServer::kUser;
    smtp.Password = RealSmtpServer::kPassword;
  }

  void Aim(const std::string& host, const std::string& listener, TIdUseTLS useTLS) {
    smtp.Host = host + ":" + server.listenerPort(listener);
    smtp.UseTLS = useTLS;
  }

  static TIdMessage Alert(const std::string& subject) {
    TIdMessage m;
    m.From.SetText("\"Varnley\" <varnley@127.0.0.1>");
    m.Recipients.SetEmailAddresses("admin@example.org");
    m.Subject = subject;
    m.Body = {"Varnley:" + subject};
    return m;
  }

  // The stored envelope of the message with this subject ("" when none arrived).
  std::string EnvelopeOf(const std::string& subject) const {
    for (const auto& eml : server.messages()) {
      if (RealSmtpServer::Header(RealSmtpServer::Read(eml), "Subject") != subject) continue;
      std::filesystem::path meta = eml;
      return RealSmtpServer::Read(meta.replace_extension(".json"));
    }
    return {};
  }

  RealSmtpServer server;
  TIdSMTP smtp;
};

TEST_F(TlsRealServer, MailArrivesAuthenticatedInsideTls) {
  struct Case {
    const char* host;
    const char* listener;
    TIdUseTLS useTLS;
    bool verify;
  };
  const std::vector<Case> cases = {
      {"127.0.0.1", "starttls", utUseRequireTLS, true},  // an address against the IP name
      {"localhost", "starttls", utUseRequireTLS, true},  // a name, sent as SNI
      {"127.0.0.1", "implicit", utUseImplicitTLS, true},
      // Unverified is still encrypted: the certificate for another name is taken.
      {"127.0.0.1", "wrongname", utUseRequireTLS, false},
  };
  for (const auto& c : cases) {
    const std::string subject = std::string(c.listener) + " via " + c.host;
    SCOPED_TRACE(subject);
    Aim(c.host, c.listener, c.useTLS);
    smtp.VerifyCertificate = c.verify;
    smtp.Connect();
    TIdMessage m = Alert(subject);
    smtp.Send(m);
    smtp.Disconnect();
    const std::string envelope = EnvelopeOf(subject);
    EXPECT_NE(envelope.find("\"login\": \"varnley\""), std::string::npos) << envelope;
    EXPECT_NE(envelope.find(std::string("\"listener\": \"") + c.listener + "\""), std::string::npos)
        << envelope;
    EXPECT_NE(envelope.find("\"tls\": \"TLSv1."), std::string::npos) << envelope;
  }
}

// TLS that cannot be had fails before the server sees any AUTH.
TEST_F(TlsRealServer, NoTlsNoLogin) {
  struct Case {
    const char* host;
    const char* listener;
    TIdUseTLS useTLS;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"localhost", "wrongname", utUseRequireTLS, "certificate verify failed: hostname mismatch"},
      {"127.0.0.1", "wrongname", utUseRequireTLS, "certificate verify failed: IP address mismatch"},
      {"localhost", "expired", utUseRequireTLS,
       "certificate verify failed: certificate has expired"},
      {"localhost", "unknownca", utUseRequireTLS,
       "certificate verify failed: unable to get local issuer certificate"},
      {"127.0.0.1", "plain", utUseImplicitTLS, "TLS handshake failed: "},
      {"127.0.0.1", "plain", utUseRequireTLS, "The SMTP server does not offer STARTTLS."},
  };
  const std::string authBefore = server.authLog();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.listener) + " via " + c.host);
    Aim(c.host, c.listener, c.useTLS);
    try {
      smtp.Connect();
      ADD_FAILURE() << "connected";
      TIdMessage m = Alert("should not be sent");
      smtp.Send(m);
    } catch (const EIdTLSError& e) {
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    }
    EXPECT_FALSE(smtp.Connected());
  }
  EXPECT_EQ(server.authLog(), authBefore);
}

}  // namespace
}  // namespace varnley
