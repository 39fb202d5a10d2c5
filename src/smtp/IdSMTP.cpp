#include "smtp/IdSMTP.h"

#include <algorithm>
#include <exception>

#include "platform/Paths.h"
#include "platform/TcpSocket.h"
#include "platform/Text.h"

namespace varnley {

namespace {

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

void RefuseLineBreak(std::string_view value, const char* what) {
  if (HasLineBreak(value)) throw EIdLineBreakInText(std::string("Line break in the ") + what + ".");
}

}  // namespace

SmtpServerAddress SplitServerText(std::string_view text, std::uint16_t defaultPort) {
  const std::string trimmed = Trim(text);
  SmtpServerAddress out{trimmed, defaultPort};
  std::string_view portText;
  if (!trimmed.empty() && trimmed.front() == '[') {
    // "[2001:db8::25]" or "[2001:db8::25]:2525": the brackets hold the address.
    const std::size_t close = trimmed.find(']');
    if (close == std::string::npos) return out;  // no address: the lookup refuses it
    out.host = trimmed.substr(1, close - 1);
    const std::string_view rest = std::string_view(trimmed).substr(close + 1);
    if (rest.empty()) return out;
    if (rest.front() != ':')
      throw EIdInvalidPort("Invalid port in the SMTP server \"" + trimmed + "\".");
    portText = rest.substr(1);
  } else {
    const std::size_t colon = trimmed.find(':');
    if (colon == std::string::npos) return out;
    // Two colons or more: an IPv6 address without brackets, so without a port.
    if (trimmed.find(':', colon + 1) != std::string::npos) return out;
    out.host = Trim(std::string_view(trimmed).substr(0, colon));
    portText = std::string_view(trimmed).substr(colon + 1);
  }
  unsigned long port = 0;
  bool valid = !portText.empty() && portText.size() <= 5;
  for (char c : portText) {
    if (c < '0' || c > '9') valid = false;
    if (valid) port = port * 10 + static_cast<unsigned long>(c - '0');
  }
  if (!valid || port == 0 || port > 65535) {
    throw EIdInvalidPort("Invalid port in the SMTP server \"" + trimmed + "\".");
  }
  out.port = static_cast<std::uint16_t>(port);
  return out;
}

std::uint16_t DefaultSmtpPort(TIdUseTLS useTLS) {
  switch (useTLS) {
    case utUseImplicitTLS:
      return kSmtpImplicitTLSPort;
    case utUseRequireTLS:
      return kSmtpSubmissionPort;
    case utNoTLSSupport:
      break;
  }
  return kSmtpDefaultPort;
}

std::string EncodeBase64LowBytes(std::string_view utf8) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string bytes = LowBytes(utf8);
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < bytes.size()) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    const bool two = i + 1 < bytes.size();
    if (two) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += two ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

int TIdSMTP::SendCommand(std::string_view command, const std::vector<int>& allowed) {
  if (!Connected()) throw EIdNotConnected();
  RefuseLineBreak(command, "SMTP command");
  ioHandler_.WriteLine(command);
  return ReadReply(allowed);
}

int TIdSMTP::ReadReply(const std::vector<int>& allowed) {
  ReadSmtpReply(ioHandler_, lastCmdResult_);
  CheckReplyAllowed(lastCmdResult_, allowed);
  return lastCmdResult_.NumericCode();
}

void TIdSMTP::Connect() {
  authenticated_ = false;
  const SmtpServerAddress server = SplitServerText(Host, Port);
  RefuseLineBreak(server.host, "SMTP server");
  RefuseLineBreak(HeloName, "HELO name");
  OpenConnectionTo(server.host, server.port);
  try {
    if (UseTLS == utUseImplicitTLS) UpgradeConnection(server.host);
    greeting_.Clear();
    ReadReply({220});
    greeting_ = lastCmdResult_;
    SendGreeting();
    if (UseTLS == utUseRequireTLS) StartTLS(server.host);
  } catch (...) {
    TIdTCPConnection::Disconnect(false);
    throw;
  }
}

void TIdSMTP::SendGreeting() {
  capabilities_.clear();
  std::string name = HeloName;
  if (name.empty()) name = LocalHostName();
  if (name.empty()) name = ComputerName();
  if (SendCommand("EHLO " + name) == 250) {
    capabilities_.assign(lastCmdResult_.Text.begin() + (lastCmdResult_.Text.empty() ? 0 : 1),
                         lastCmdResult_.Text.end());
    return;
  }
  SendCommand("HELO " + name, {250});
}

void TIdSMTP::StartTLS(const std::string& host) {
  const bool offered =
      std::any_of(capabilities_.begin(), capabilities_.end(), [](const auto& line) {
        const std::string word = Trim(line);
        return EqualsIgnoreCase(std::string_view(word).substr(0, word.find(' ')), "STARTTLS");
      });
  if (!offered) throw EIdTLSError("The SMTP server does not offer STARTTLS.");
  SendCommand("STARTTLS", {220});
  // Anything after the 220 came before the handshake, in plain text that anyone on the way
  // could have put there; taking it as the server's would let them speak for it.
  if (!ioHandler_.InputBuffer().Empty())
    throw EIdTLSError("The SMTP server sent data after its STARTTLS reply.");
  UpgradeConnection(host);
  // What the server said before TLS is forgotten: the greeting is made anew.
  SendGreeting();
}

void TIdSMTP::UpgradeConnection(const std::string& host) {
  ioHandler_.StartTLS({host, VerifyCertificate});
}

bool TIdSMTP::TLSActive() const { return ioHandler_.Connected() && ioHandler_.TLSActive(); }

std::string TIdSMTP::TLSProtocol() const {
  return ioHandler_.Connected() ? ioHandler_.TLSProtocol() : std::string();
}

void TIdSMTP::Authenticate() {
  if (authenticated_) return;
  if (AuthType == satNone) {
    authenticated_ = true;
    return;
  }
  if (Username.empty()) return;
  std::vector<std::string> mechanisms;
  for (const auto& line : capabilities_) {
    if (line.size() < 5 || !EqualsIgnoreCase(std::string_view(line).substr(0, 4), "AUTH") ||
        (line[4] != ' ' && line[4] != '=')) {
      continue;
    }
    std::string rest = ToUpperAscii(std::string_view(line).substr(5));
    std::replace(rest.begin(), rest.end(), '=', ' ');
    std::size_t pos = 0;
    while (pos < rest.size()) {
      const std::size_t start = rest.find_first_not_of(' ', pos);
      if (start == std::string::npos) break;
      const std::size_t end = std::min(rest.find(' ', start), rest.size());
      std::string word = rest.substr(start, end - start);
      if (std::find(mechanisms.begin(), mechanisms.end(), word) == mechanisms.end()) {
        mechanisms.push_back(std::move(word));
      }
      pos = end;
    }
  }
  if (std::find(mechanisms.begin(), mechanisms.end(), "LOGIN") == mechanisms.end()) return;
  SendCommand("AUTH LOGIN", {334});
  SendCommand(EncodeBase64LowBytes(Username), {334});
  SendCommand(EncodeBase64LowBytes(Password), {235});
  authenticated_ = true;
}

void TIdSMTP::Send(TIdMessage& message) {
  std::vector<std::string> recipients;
  for (const auto* list : {&message.Recipients, &message.CCList, &message.BccList}) {
    for (const auto& item : *list) {
      RefuseLineBreak(item.Address, "recipient address");
      recipients.push_back(item.Address);
    }
  }
  RefuseLineBreak(message.From.Address, "sender address");
  if (!Connected()) throw EIdNotConnected();
  // A header the message could not carry fails now, before the server sees any command.
  const std::vector<std::string> header = message.GenerateHeader();
  // Neither the login nor the message goes out in clear text when TLS was asked for.
  if (UseTLS != utNoTLSSupport && !TLSActive())
    throw EIdTLSError("TLS is not active on the connection; nothing is sent in clear text.");
  Authenticate();
  RunTransaction(message, header, recipients);
}

void TIdSMTP::RunTransaction(const TIdMessage& message, const std::vector<std::string>& header,
                             const std::vector<std::string>& recipients) {
  SendCommand("RSET");
  SendCommand("MAIL FROM: <" + message.From.Address + ">", {250});
  try {
    for (const auto& address : recipients) {
      // No failed-recipient handler is installed: the first refusal ends the send.
      SendCommand("RCPT TO:<" + address + ">", {250, 251});
    }
    SendCommand("DATA", {354});
    // The message and its closing "." leave in one write: no second small segment waits for
    // the peer's delayed acknowledgement.
    TIdIOHandler& io = ioHandler_;
    io.WriteBufferOpen();
    try {
      WriteMessage(io, message, header);
      io.WriteLine(".");
      io.WriteBufferClose();
    } catch (...) {
      io.WriteBufferCancel();
      throw;
    }
    ReadReply({250});
  } catch (const EIdSMTPReplyError&) {
    std::exception_ptr original = std::current_exception();
    // The refusal is what the caller needs to hear, even when the RSET fails as well.
    try {
      SendCommand("RSET");
    } catch (const EIdException&) {
    }
    std::rethrow_exception(original);
  }
}

void TIdSMTP::DisconnectNotifyPeer() { SendCommand("QUIT", {221}); }

void TIdSMTP::Disconnect(bool notifyPeer) {
  authenticated_ = false;
  TIdTCPConnection::Disconnect(notifyPeer);
}

}  // namespace varnley
