// Turning an alert text (or the test request) into a mail, and sending one mail over a fresh
// SMTP session: connect, send, QUIT.
#pragma once

#include <functional>
#include <string>

#include "model/AlertSettings.h"

namespace varnley {

class TIdMessage;
class TIdSMTP;

inline constexpr char kApplicationTitle[] = "Varnley";
inline constexpr std::size_t kSubjectLength = 60;  // UTF-16 code units

// What a mail needs from the settings (the alert dialog's edits or the stored settings).
struct MailAccount {
  std::string smtpServer;  // "host" or "host:port"
  std::string userName;
  std::string password;
  std::string receiveEmail;
  bool authentication = false;

  static MailAccount From(const AlertSettings& settings);
};

// "\"Varnley\" <address>": the user name when it holds "@", else user name "@" server host.
std::string FromText(const std::string& userName, const std::string& smtpServer);

// The first 60 characters of the alert text, never splitting a surrogate pair.
std::string AlertSubject(const std::string& alertText);

// Host, credentials and authentication type of the client.
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
