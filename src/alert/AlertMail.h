// Turning an alert text (or the test request) into a mail, and sending one mail over a fresh
// SMTP session: connect, send, QUIT.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "model/AlertSettings.h"
#include "smtp/IdSMTP.h"

namespace varnley {

class TIdMessage;
class TIdSMTP;

inline constexpr char kApplicationTitle[] = "Varnley";
inline constexpr std::size_t kSubjectLength = 60;  // UTF-16 code units

// What a mail needs from the settings (the alert dialog's edits or the stored settings).
struct MailAccount {
  MailAccount() = default;
  // Security and verification are optional, as in the settings file.
  MailAccount(std::string smtpServer, std::string userName, std::string password,
              std::string receiveEmail, bool authentication, std::string security = {},
              bool verifyCertificate = true)
      : smtpServer(std::move(smtpServer)),
        userName(std::move(userName)),
        password(std::move(password)),
        receiveEmail(std::move(receiveEmail)),
        authentication(authentication),
        security(std::move(security)),
        verifyCertificate(verifyCertificate) {}

  std::string smtpServer;  // "host" or "host:port"
  std::string userName;
  std::string password;
  std::string receiveEmail;
  bool authentication = false;
  std::string security;  // "none" (or empty), "starttls" or "tls"
  bool verifyCertificate = true;

  static MailAccount From(const AlertSettings& settings);
};

// "\"Varnley\" <address>": the user name when it holds "@", else user name "@" server host.
std::string FromText(const std::string& userName, const std::string& smtpServer);

// The first 60 characters of the alert text, never splitting a surrogate pair.
std::string AlertSubject(const std::string& alertText);

// The mail security text in any letter case: empty or "none", "starttls", "tls"; nullopt for
// anything else, which no send may take as plain text.
std::optional<TIdUseTLS> MailSecurity(std::string_view text);

// Host, default port, TLS, credentials and authentication type of the client. An unknown
// security text raises EIdTLSError saying so.
void ConfigureClient(TIdSMTP& client, const MailAccount& account);
// Clears the message and fills Subject, Body, From and Recipients.
void ComposeAlertMessage(TIdMessage& message, const MailAccount& account,
                         const std::string& alertText);
void ComposeTestMessage(TIdMessage& message, const MailAccount& account);

// One alert mail over a fresh session. Whatever the send did, QUIT follows; when anything
// fails the connection is dropped without QUIT and false is returned (the alert is lost).
bool SendAlertMail(TIdSMTP& client, TIdMessage& message, const MailAccount& account,
                   const std::string& alertText);

// The Test button's mail. busy(true) / busy(false) wrap the send itself (the busy cursor).
// Returns whether the send went through (a failed QUIT afterwards still counts as success).
bool SendTestMail(TIdSMTP& client, TIdMessage& message, const MailAccount& account,
                  const std::function<void(bool busy)>& busy);

}  // namespace varnley
