// The SMTP client against a real server (aiosmtpd on loopback, started by the test fixture):
// a message arrives with its headers and body; a wrong password fails with the server's 535.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "smtp/IdException.h"
#include "smtp/IdSMTP.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class RealServer : public ::testing::Test {
 protected:
  void SetUp() override {
    // Never skipped: without the fixture's server this test fails.
    const char* dir = std::getenv("VARNLEY_SMTP_SERVER_DIR");
    ASSERT_NE(dir, nullptr) << "VARNLEY_SMTP_SERVER_DIR is not set (run through ctest)";
    dir_ = dir;
    const std::string port = ReadFile(dir_ / "port");
    ASSERT_FALSE(port.empty()) << "the aiosmtpd fixture did not start";
    smtp.Host = "127.0.0.1:" + port;
    smtp.HeloName = "varnley-test-client";
    smtp.ReadTimeout = 10000ms;
    smtp.Username = "varnley";
    smtp.Password = "s3cret";
  }

  std::set<fs::path> Messages() const {
    std::set<fs::path> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir_ / "mail", ec)) {
      if (e.path().extension() == ".eml") out.insert(e.path());
    }
    return out;
  }

  static TIdMessage Alert() {
    TIdMessage m;
    m.From.SetText("\"Varnley\" <varnley@127.0.0.1>");
    m.Recipients.SetEmailAddresses("admin@example.org; \"Second, Op\" <ops@example.org>");
    m.Subject = "127.0.0.1:8080 is DOWN.";
    m.Body = {"Varnley:127.0.0.1:8080 is DOWN.", ".leading dot"};
    return m;
  }

  fs::path dir_;
  TIdSMTP smtp;
};

TEST_F(RealServer, MessageArrivesWithHeadersAndBody) {
  const auto before = Messages();
  smtp.Connect();
  TIdMessage m = Alert();
  smtp.Send(m);
  EXPECT_TRUE(smtp.DidAuthenticate());
  smtp.Disconnect();

  // The server stores the message before it answers the final ".", so it is there now.
  fs::path eml;
  for (const auto& p : Messages()) {
    if (!before.count(p)) eml = p;
  }
  ASSERT_FALSE(eml.empty()) << "no new message in " << dir_;
  const std::string text = ReadFile(eml);
  const std::size_t from = text.find("From: Varnley <varnley@127.0.0.1>\r\n");
  const std::size_t subject = text.find("Subject: 127.0.0.1:8080 is DOWN.\r\n");
  const std::size_t to = text.find("To: admin@example.org, \"Second, Op\" <ops@example.org>\r\n");
  const std::size_t date = text.find("\r\nDate: ");
  ASSERT_NE(from, std::string::npos) << text;
  ASSERT_NE(subject, std::string::npos) << text;
  ASSERT_NE(to, std::string::npos) << text;
  ASSERT_NE(date, std::string::npos) << text;
  EXPECT_EQ(from, 0u);
  EXPECT_LT(from, subject);
  EXPECT_LT(subject, to);
  EXPECT_LT(to, date);
  const std::size_t bodyStart = text.find("\r\n\r\n");
  ASSERT_NE(bodyStart, std::string::npos);
  EXPECT_EQ(text.substr(bodyStart + 4), "Varnley:127.0.0.1:8080 is DOWN.\r\n.leading dot\r\n\r\n");

  fs::path meta = eml;
  meta.replace_extension(".json");
  const std::string envelope = ReadFile(meta);
  EXPECT_NE(envelope.find("\"mail_from\": \"varnley@127.0.0.1\""), std::string::npos) << envelope;
  EXPECT_NE(envelope.find("\"rcpt_tos\": [\"admin@example.org\", \"ops@example.org\"]"),
            std::string::npos)
      << envelope;
  EXPECT_NE(envelope.find("\"login\": \"varnley\""), std::string::npos) << envelope;
}

TEST_F(RealServer, WrongPasswordFailsWithTheServersReply) {
  smtp.Password = "wrong";
  smtp.Connect();
  TIdMessage m = Alert();
  try {
    smtp.Send(m);
    FAIL() << "sent with a wrong password";
  } catch (const EIdSMTPReplyError& e) {
    EXPECT_EQ(e.ErrorCode(), 535);
    EXPECT_TRUE(e.EnhancedCode().Available);
    EXPECT_EQ(e.EnhancedCode().FormatReply(), "5.7.8");
    EXPECT_STREQ(e.what(), "Authentication credentials invalid");
  }
  EXPECT_FALSE(smtp.DidAuthenticate());
  smtp.Disconnect();
  EXPECT_FALSE(smtp.Connected());
}

}  // namespace
}  // namespace varnley
