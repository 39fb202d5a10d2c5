#include "alert/AlertMail.h"

#include "platform/Text.h"
#include "smtp/IdException.h"
#include "smtp/IdMessage.h"
#include "smtp/IdSMTP.h"

namespace varnley {

MailAccount MailAccount::From(const AlertSettings& settings) {
  return {settings.smtpServer,       settings.userName,       settings.password,
          settings.receiveEmail,     settings.authentication, settings.security,
          settings.verifyCertificate};
}

std::string FromText(const std::string& userName, const std::string& smtpServer) {
  std::string address = userName;
  if (userName.find('@') == std::string::npos) {
    // A server given as host:port lends only its host to the address.
    const std::string server = Trim(smtpServer);
    address += '@';
    address += server.substr(0, server.rfind(':'));
  }
  return std::string("\"") + kApplicationTitle + "\" <" + address + ">";
}

std::string AlertSubject(const std::string& alertText) {
  std::u16string units = Utf8ToUtf16(alertText);
  if (units.size() <= kSubjectLength) return alertText;
  std::size_t cut = kSubjectLength;
  if (units[cut - 1] >= 0xD800 && units[cut - 1] <= 0xDBFF) --cut;
  units.resize(cut);
  return Utf16ToUtf8(units);
}

std::optional<TIdUseTLS> MailSecurity(std::string_view text) {
  const std::string word = Trim(text);
  if (word.empty() || EqualsIgnoreCase(word, "none")) return utNoTLSSupport;
  if (EqualsIgnoreCase(word, "starttls")) return utUseRequireTLS;
  if (EqualsIgnoreCase(word, "tls")) return utUseImplicitTLS;
  return std::nullopt;
}

void ConfigureClient(TIdSMTP& client, const MailAccount& account) {
  const std::optional<TIdUseTLS> useTLS = MailSecurity(account.security);
  if (!useTLS) {
    throw EIdTLSError("Unknown mail security \"" + account.security +
                      "\" (none, starttls or tls): the mail is not sent.");
  }
  client.UseTLS = *useTLS;
  client.VerifyCertificate = account.verifyCertificate;
  // A server text with its own port overrides this.
  client.Port = DefaultSmtpPort(*useTLS);
  client.Host = account.smtpServer;
  client.Username = account.userName;
  client.Password = account.password;
  client.AuthType = satNone;
  if (account.authentication) client.AuthType = satDefault;
}

namespace {

void Compose(TIdMessage& message, const MailAccount& account, std::string subject,
             std::string bodyLine) {
  // The address parser would quietly drop a line break and read whatever follows it as the
  // address; such settings fail the send instead.
  for (const std::string* field : {&account.userName, &account.smtpServer, &account.receiveEmail}) {
    if (field->find_first_of("\r\n") != std::string::npos)
      throw EIdLineBreakInText("Line break in the mail settings.");
  }
  message.Clear();
  message.Subject = std::move(subject);
  message.Body = {std::move(bodyLine)};
  message.From.SetText(FromText(account.userName, account.smtpServer));
  message.Recipients.SetEmailAddresses(account.receiveEmail);
}

}  // namespace

void ComposeAlertMessage(TIdMessage& message, const MailAccount& account,
                         const std::string& alertText) {
  Compose(message, account, AlertSubject(alertText),
          std::string(kApplicationTitle) + ":" + alertText);
}

void ComposeTestMessage(TIdMessage& message, const MailAccount& account) {
  Compose(message, account, std::string(kApplicationTitle) + " Test Message",
          std::string(kApplicationTitle) + ": Test Message");
}

namespace {

void DropConnection(TIdSMTP& client) {
  try {
    client.Disconnect(false);
  } catch (const std::exception&) {
    // Closing without a farewell has nothing left to report.
  }
}

// Connect, compose, send, QUIT. Any failure drops the connection without QUIT. The result is
// whether the server took the message, so a refused QUIT afterwards still counts as sent.
bool SendOnce(TIdSMTP& client, TIdMessage& message, const MailAccount& account,
              const std::function<void()>& compose, const std::function<void(bool)>& busy) {
  bool sent = false;
  try {
    ConfigureClient(client, account);
    client.Connect();
    compose();
    if (busy) busy(true);
    try {
      client.Send(message);
      sent = true;
    } catch (...) {
      if (busy) busy(false);
      client.Disconnect(true);
      throw;
    }
    if (busy) busy(false);
    client.Disconnect(true);
  } catch (const std::exception&) {
    DropConnection(client);
  }
  return sent;
}

}  // namespace

bool SendAlertMail(TIdSMTP& client, TIdMessage& message, const MailAccount& account,
                   const std::string& alertText) {
  return SendOnce(client, message, account,
                  [&] { ComposeAlertMessage(message, account, alertText); }, {});
}

bool SendTestMail(TIdSMTP& client, TIdMessage& message, const MailAccount& account,
                  const std::function<void(bool busy)>& busy) {
  if (client.Connected()) DropConnection(client);
  return SendOnce(
      client, message, account, [&] { ComposeTestMessage(message, account); }, busy);
}

}  // namespace varnley
