// Turning an alert text (or the test request) into a mail, and sending one mail over a fresh
// SMTP session: connect, send, QUIT. A failure is said in the user's words and told apart as
// one that may pass or one that will not.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/AlertSettings.h"
#include "smtp/IdSMTP.h"

namespace varnley {

class TIdMessage;
class TIdSMTP;

inline constexpr char kApplicationTitle[] = "Varnley";
inline constexpr std::size_t kSubjectLength = 60;  // UTF-16 code units
// The longest body line the mail format allows, without its CR LF (and after dot-doubling).
inline constexpr std::size_t kMaxBodyLineLength = 998;

// How long the sender's client may wait, in milliseconds.
struct MailLimits {
  int connectMs;  // the name lookup and the connect together
  int replyMs;    // each whole reply, however many lines it has
  int sessionMs;  // from the connect to the close (0: no limit)
};
// The alert sender's: a server that stalls costs one alert at most this long, then the next
// alert goes out on a fresh connection.
inline constexpr MailLimits kSenderLimits{30000, 30000, 120000};

// The outcome of one mail: whether the server took it, and why not.
struct MailResult {
  bool sent = false;
  std::string error;  // the failure's text ("" when sent)
  // The failure may pass (no connection, a timeout, a 4xx reply): worth trying again.
  bool temporary = false;
  bool cancelled = false;  // a stop request ended the send
};

// What a mail needs from the settings (the alert dialog's edits or the stored settings).
struct MailAccount {
  MailAccount() = default;
  // Security and verification are optional, as in the settings file.
  MailAccount(std::string smtpServer, std::string userName, std::string password,
              std::string receiveEmail, bool authentication, std::string security = {},
              bool verifyCertificate = true, std::string dns = {})
      : smtpServer(std::move(smtpServer)),
        userName(std::move(userName)),
        password(std::move(password)),
        receiveEmail(std::move(receiveEmail)),
        authentication(authentication),
        security(std::move(security)),
        verifyCertificate(verifyCertificate),
        dns(std::move(dns)) {}

  std::string smtpServer;  // "host", "host:port", "[IPv6]:port"
  std::string userName;
  std::string password;
  std::string receiveEmail;
  bool authentication = false;
  std::string security;  // "none" (or empty), "starttls" or "tls"
  bool verifyCertificate = true;
  std::string dns;  // the name servers the server's name is looked up through ("": the system's)

  static MailAccount From(const AlertSettings& settings);
};

// "\"Varnley\" <address>": the user name when it holds "@", else user name "@" server host.
std::string FromText(const std::string& userName, const std::string& smtpServer);

// The first 60 characters of the alert text's first line, never splitting a surrogate pair.
std::string AlertSubject(const std::string& alertText);

// The mail security text in any letter case: empty or "none", "starttls", "tls"; nullopt for
// anything else, which no send may take as plain text.
std::optional<TIdUseTLS> MailSecurity(std::string_view text);

// Host, default port, TLS, credentials and authentication type of the client. An unknown
// security text raises EIdTLSError saying so.

// The line cut into pieces of at most `limit` characters (UTF-16 code units, as they go out),
// each ending after a comma where one is near enough, else cut hard between characters. A
// piece that begins with "." keeps room for the dot the data transfer puts before it.
std::vector<std::string> FoldBodyLine(const std::string& line,
                                      std::size_t limit = kMaxBodyLineLength);

void ConfigureClient(TIdSMTP& client, const MailAccount& account);
void ApplyLimits(TIdSMTP& client, const MailLimits& limits);
// Clears the message and fills Subject, Body, From and Recipients. An alert text of several
// lines (alerts merged while the sender was behind) gives a body line each; long lines fold.
void ComposeAlertMessage(TIdMessage& message, const MailAccount& account,
                         const std::string& alertText);
void ComposeTestMessage(TIdMessage& message, const MailAccount& account);

// One alert mail over a fresh session. Whatever the send did, QUIT follows; when anything
// fails the connection is dropped without QUIT and the result says why, and whether it may
// pass (the caller's queue tries such a mail again).
MailResult SendAlertMail(TIdSMTP& client, TIdMessage& message, const MailAccount& account,
                         const std::string& alertText);

// The Test button's mail. busy(true) / busy(false) wrap the send itself (the busy cursor).
// Returns whether the send went through (a failed QUIT afterwards still counts as success).
bool SendTestMail(TIdSMTP& client, TIdMessage& message, const MailAccount& account,
                  const std::function<void(bool busy)>& busy);
// The same, with the reason when it failed.
MailResult SendTestMailResult(TIdSMTP& client, TIdMessage& message, const MailAccount& account,
                              const std::function<void(bool busy)>& busy);

}  // namespace varnley
