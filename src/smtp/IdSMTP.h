// The SMTP client session: greeting, EHLO/HELO, AUTH LOGIN, one mail transaction per Send and
// QUIT, over the command and reply layer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "smtp/IdMessage.h"
#include "smtp/IdReplySMTP.h"
#include "smtp/IdTCPClient.h"

namespace varnley {

// satDefault: AUTH LOGIN when the server offers it and a user name is set.
enum TIdSMTPAuthenticationType { satNone, satDefault };

// No TLS; TLS from the first byte (implicit); or STARTTLS after EHLO, required.
enum TIdUseTLS { utNoTLSSupport, utUseImplicitTLS, utUseRequireTLS };

inline constexpr std::uint16_t kSmtpDefaultPort = 25;
inline constexpr std::uint16_t kSmtpImplicitTLSPort = 465;
inline constexpr std::uint16_t kSmtpSubmissionPort = 587;

// The port a server text without one means: 465 for implicit TLS, 587 for STARTTLS, else 25.
std::uint16_t DefaultSmtpPort(TIdUseTLS useTLS);

// The server text "host", "host:port", an IPv6 address bare or in brackets, or
// "[address]:port" (port 1..65535; without one, defaultPort). A port part that is not a
// number in range raises EIdInvalidPort.
struct SmtpServerAddress {
  std::string host;
  std::uint16_t port = kSmtpDefaultPort;
};
SmtpServerAddress SplitServerText(std::string_view text, std::uint16_t defaultPort);

// Standard Base64 (with "=" padding, on one line) of each character's low 8 bits.
std::string EncodeBase64LowBytes(std::string_view utf8);

class TIdSMTP : public TIdTCPClient {
 public:
  TIdSMTP() { Port = kSmtpDefaultPort; }
  ~TIdSMTP() override = default;

  std::string Username;
  std::string Password;
  TIdSMTPAuthenticationType AuthType = satDefault;
  std::string HeloName;
  TIdUseTLS UseTLS = utNoTLSSupport;
  // Off: the session is still encrypted, but any certificate for any name is taken.
  bool VerifyCertificate = true;

  // Opens to Host (which may carry ":port", overriding Port) and greets; with UseTLS, sets up
  // TLS first (implicit) or through STARTTLS, and greets again inside it. On any failure the
  // connection is closed without QUIT and the error passed on: TLS that was asked for is never
  // skipped.
  void Connect();
  // Authenticates if needed and runs one transaction for the message's To, Cc and Bcc.
  void Send(TIdMessage& message);
  // With notify (when connected) QUIT, which must be answered 221; the connection is closed
  // and the authenticated flag cleared in every case.
  void Disconnect(bool notifyPeer = true) override;

  // Writes one command line and reads the reply; an empty allowed list accepts any code. A
  // command holding CR or LF is refused before anything is written.
  int SendCommand(std::string_view command, const std::vector<int>& allowed = {});
  int ReadReply(const std::vector<int>& allowed = {});

  const std::vector<std::string>& Capabilities() const { return capabilities_; }
  const TIdReplySMTP& LastCmdResult() const { return lastCmdResult_; }
  const TIdReplySMTP& Greeting() const { return greeting_; }
  bool DidAuthenticate() const { return authenticated_; }
  // Whether the open connection is encrypted, and with which protocol ("" when not).
  bool TLSActive() const;
  std::string TLSProtocol() const;

 protected:
  void DisconnectNotifyPeer() override;

 private:
  void SendGreeting();
  void StartTLS(const std::string& host);
  void UpgradeConnection(const std::string& host);
  void Authenticate();
  void RunTransaction(const TIdMessage& message, const std::vector<std::string>& header,
                      const std::vector<std::string>& recipients);

  std::vector<std::string> capabilities_;
  TIdReplySMTP lastCmdResult_;
  TIdReplySMTP greeting_;
  bool authenticated_ = false;
};

}  // namespace varnley
