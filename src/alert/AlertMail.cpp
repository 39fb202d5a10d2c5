#include "alert/AlertMail.h"

#include <string_view>

#include "alert/MailStatus.h"
#include "platform/Text.h"
#include "smtp/IdException.h"
#include "smtp/IdMessage.h"
#include "smtp/IdReplySMTP.h"
#include "smtp/IdSMTP.h"

namespace varnley {

MailAccount MailAccount::From(const AlertSettings& settings) {
  return {settings.smtpServer,       settings.userName,       settings.password,
          settings.receiveEmail,     settings.authentication, settings.security,
          settings.verifyCertificate, settings.dns};
}

namespace {

// The server text's host, or "" when its port part is no port.
std::string ServerHost(const std::string& smtpServer) {
  try {
    return SplitServerText(smtpServer, kSmtpDefaultPort).host;
  } catch (const EIdInvalidPort&) {
    return {};
  }
}

}  // namespace

std::string FromText(const std::string& userName, const std::string& smtpServer) {
  std::string address = userName;
  if (userName.find('@') == std::string::npos) {
    // A server given as host:port lends only its host to the address; an IPv6 one is
    // written as the address literal mail takes.
    const std::string host = ServerHost(smtpServer);
    address += '@';
    address += host.find(':') != std::string::npos ? "[IPv6:" + host + "]" : host;
  }
  return std::string("\"") + kApplicationTitle + "\" <" + address + ">";
}

namespace {

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

}  // namespace

std::string AlertSubject(const std::string& alertText) {
  const std::string firstLine = alertText.substr(0, alertText.find_first_of("\r\n"));
  std::u16string units = Utf8ToUtf16(firstLine);
  if (units.size() <= kSubjectLength) return firstLine;
  std::size_t cut = kSubjectLength;
  if (IsHighSurrogate(units[cut - 1])) --cut;
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

std::vector<std::string> FoldBodyLine(const std::string& line, std::size_t limit) {
  // Bytes are never fewer than code units, so a line this short needs no measuring.
  if (line.size() < limit || limit < 3) return {line};
  const std::u16string units = Utf8ToUtf16(line);
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (units.size() - start > limit || (units[start] == u'.' && units.size() - start == limit)) {
    const std::size_t room = units[start] == u'.' ? limit - 1 : limit;
    std::size_t cut = start + room;
    const std::size_t comma = units.rfind(u',', cut - 1);
    if (comma != std::u16string::npos && comma >= start) {
      cut = comma + 1;
    } else if (IsHighSurrogate(units[cut - 1])) {
      --cut;
    }
    pieces.push_back(Utf16ToUtf8(units.substr(start, cut - start)));
    start = cut;
  }
  pieces.push_back(Utf16ToUtf8(units.substr(start)));
  return pieces;
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
  client.Dns = account.dns;
  client.Username = account.userName;
  client.Password = account.password;
  client.AuthType = satNone;
  if (account.authentication) client.AuthType = satDefault;
}

void ApplyLimits(TIdSMTP& client, const MailLimits& limits) {
  client.ConnectTimeout = std::chrono::milliseconds(limits.connectMs);
  client.ReadTimeout = std::chrono::milliseconds(limits.replyMs);
  client.SessionTimeout = std::chrono::milliseconds(limits.sessionMs);
}

namespace {

void Compose(TIdMessage& message, const MailAccount& account, std::string subject,
             std::vector<std::string> body) {
  // The address parser would quietly drop a line break and read whatever follows it as the
  // address; such settings fail the send instead.
  for (const std::string* field : {&account.userName, &account.smtpServer, &account.receiveEmail}) {
    if (field->find_first_of("\r\n") != std::string::npos)
      throw EIdLineBreakInText("Line break in the mail settings.");
  }
  message.Clear();
  message.Subject = std::move(subject);
  message.Body = std::move(body);
  message.From.SetText(FromText(account.userName, account.smtpServer));
  message.Recipients.SetEmailAddresses(account.receiveEmail);
}

}  // namespace

void ComposeAlertMessage(TIdMessage& message, const MailAccount& account,
                         const std::string& alertText) {
  std::vector<std::string> body;
  std::string_view rest = alertText;
  std::string line = std::string(kApplicationTitle) + ":";
  for (;;) {
    const std::size_t brk = rest.find_first_of("\r\n");
    line.append(rest.substr(0, brk));
    for (auto& piece : FoldBodyLine(line)) body.push_back(std::move(piece));
    if (brk == std::string_view::npos) break;
    rest.remove_prefix(brk + (rest.compare(brk, 2, "\r\n") == 0 ? 2 : 1));
    line.clear();
  }
  Compose(message, account, AlertSubject(alertText), std::move(body));
}

void ComposeTestMessage(TIdMessage& message, const MailAccount& account) {
  Compose(message, account, std::string(kApplicationTitle) + " Test Message",
          {std::string(kApplicationTitle) + ": Test Message"});
}

namespace {

void DropConnection(TIdSMTP& client) {
  try {
    client.Disconnect(false);
  } catch (const std::exception&) {
    // Closing without a farewell has nothing left to report.
  }
}

// "host:port" ("[address]:port" for IPv6) as the client will connect to it.
std::string ServerText(const TIdSMTP& client, const MailAccount& account) {
  try {
    const SmtpServerAddress server = SplitServerText(account.smtpServer, client.Port);
    const std::string port = ":" + std::to_string(server.port);
    if (server.host.find(':') != std::string::npos) return "[" + server.host + "]" + port;
    return server.host + port;
  } catch (const EIdInvalidPort&) {
    return Trim(account.smtpServer);
  }
}

// The failure in the user's words, and whether trying again could help.
void Explain(const std::exception& e, bool connecting, const std::string& server,
             MailResult& result) {
  const std::string text = *e.what() ? e.what() : "The mail could not be sent.";
  result.error = text;
  if (dynamic_cast<const EIdOperationCancelled*>(&e)) {
    result.cancelled = true;
  } else if (const auto* reply = dynamic_cast<const EIdSMTPReplyError*>(&e)) {
    const int code = reply->ErrorCode();
    result.temporary = code >= 400 && code < 500;
    // 530, 534 and 535 answer the login, whatever step the client was at.
    if (code == 530 || code == 534 || code == 535)
      result.error = "the server refused the login: " + OneLine(text);
  } else if (dynamic_cast<const EIdSocketError*>(&e) ||
             dynamic_cast<const EIdConnectTimeout*>(&e)) {
    result.temporary = true;
    if (connecting) result.error = "cannot connect to " + server + ": " + OneLine(text);
  } else if (dynamic_cast<const EIdReadTimeout*>(&e) || dynamic_cast<const EIdWriteTimeout*>(&e) ||
             dynamic_cast<const EIdSessionTimeout*>(&e) ||
             dynamic_cast<const EIdConnClosedGracefully*>(&e) ||
             dynamic_cast<const EIdNotConnected*>(&e)) {
    result.temporary = true;
  }
  // Anything else (settings that cannot work, TLS that cannot be set up, a certificate not
  // trusted, a server that speaks no SMTP) fails the same way on every try.
}

// Connect, compose, send, QUIT. Any failure drops the connection without QUIT. The result is
// whether the server took the message, so a refused QUIT afterwards still counts as sent.
MailResult SendOnce(TIdSMTP& client, TIdMessage& message, const MailAccount& account,
                    const std::function<void()>& compose, const std::function<void(bool)>& busy) {
  MailResult result;
  if (Trim(account.smtpServer).empty()) {
    result.error = "no SMTP server is set";
    return result;
  }
  bool& sent = result.sent;
  bool connecting = true;
  try {
    ConfigureClient(client, account);
    client.Connect();
    connecting = false;
    compose();
    if (busy) busy(true);
    try {
      client.Send(message);
      sent = true;
    } catch (...) {
      if (busy) busy(false);
      // The refusal is the reason; a farewell that fails too must not stand in for it.
      try {
        client.Disconnect(true);
      } catch (const std::exception&) {
      }
      throw;
    }
    if (busy) busy(false);
    client.Disconnect(true);
  } catch (const std::exception& e) {
    DropConnection(client);
    if (!sent) Explain(e, connecting, ServerText(client, account), result);
  }
  return result;
}

}  // namespace

MailResult SendAlertMail(TIdSMTP& client, TIdMessage& message, const MailAccount& account,
                         const std::string& alertText) {
  return SendOnce(client, message, account,
                  [&] { ComposeAlertMessage(message, account, alertText); }, {});
}

MailResult SendTestMailResult(TIdSMTP& client, TIdMessage& message, const MailAccount& account,
                              const std::function<void(bool busy)>& busy) {
  if (client.Connected()) DropConnection(client);
  return SendOnce(
      client, message, account, [&] { ComposeTestMessage(message, account); }, busy);
}

bool SendTestMail(TIdSMTP& client, TIdMessage& message, const MailAccount& account,
                  const std::function<void(bool busy)>& busy) {
  return SendTestMailResult(client, message, account, busy).sent;
}

}  // namespace varnley
