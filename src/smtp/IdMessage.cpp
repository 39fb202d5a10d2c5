#include "smtp/IdMessage.h"

#include <string_view>

#include "platform/InternetDate.h"
#include "platform/Text.h"
#include "smtp/IdException.h"
#include "smtp/IdIOHandler.h"

namespace varnley {

namespace {

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

void AddHeader(std::vector<std::string>& out, std::string_view name, const std::string& value) {
  if (value.empty()) return;
  if (HasLineBreak(value)) {
    throw EIdLineBreakInText("Line break in the " + std::string(name) + " header.");
  }
  out.push_back(std::string(name) + ": " + value);
}

// Writes each part of a body line split at CR LF, LF or a lone CR as its own data line.
void WriteBodyLine(TIdIOHandler& io, std::string_view s) {
  for (;;) {
    // A plain scan: find_first_of would call memchr on the two-byte set for every byte.
    std::size_t brk = 0;
    while (brk < s.size() && s[brk] != '\r' && s[brk] != '\n') ++brk;
    if (brk == s.size()) {
      io.WriteDataLine(s);
      return;
    }
    io.WriteDataLine(s.substr(0, brk));
    const bool crlf = s[brk] == '\r' && brk + 1 < s.size() && s[brk + 1] == '\n';
    s.remove_prefix(brk + (crlf ? 2 : 1));
  }
}

}  // namespace

void TIdMessage::Clear() { *this = TIdMessage(); }

void TIdMessage::SetExtraHeader(const std::string& name, const std::string& value) {
  std::erase_if(ExtraHeaders, [&](const auto& h) { return EqualsIgnoreCase(h.first, name); });
  if (!value.empty()) ExtraHeaders.emplace_back(name, value);
}

std::vector<std::string> TIdMessage::GenerateHeader() const {
  std::vector<std::string> h;
  AddHeader(h, "From", From.Text());
  AddHeader(h, "Subject", Subject);
  AddHeader(h, "To", Recipients.EmailAddresses());
  AddHeader(h, "Cc", CCList.EmailAddresses());
  AddHeader(h, "Newsgroups", NewsGroups);
  AddHeader(h, "Content-Transfer-Encoding", ContentTransferEncoding);
  std::string contentType = ContentType;
  if (!contentType.empty() && !CharSet.empty()) contentType += "; charset=" + CharSet;
  AddHeader(h, "Content-Type", contentType);
  AddHeader(h, "Content-Disposition", ContentDisposition);
  AddHeader(h, "Sender", Sender.Text());
  AddHeader(h, "Reply-To", ReplyTo.EmailAddresses());
  AddHeader(h, "Organization", Organization);
  AddHeader(h, "Disposition-Notification-To", ReceiptRecipient.Text());
  AddHeader(h, "References", References);
  AddHeader(h, "Message-ID", MsgId);
  AddHeader(h, "Date", InternetDate(Date != 0 ? Date : std::time(nullptr)));
  if (Priority != mpNormal) AddHeader(h, "X-Priority", std::to_string(Priority + 1));
  for (const auto& [name, value] : ExtraHeaders) {
    if (name.empty() || HasLineBreak(name) || name.find(':') != std::string::npos) {
      throw EIdLineBreakInText("Invalid header name.");
    }
    AddHeader(h, name, value);
  }
  AddHeader(h, "In-Reply-To", InReplyTo);
  return h;
}

void WriteMessage(TIdIOHandler& io, const TIdMessage& message) {
  // Headers are checked before anything is queued, so a refused message sends nothing.
  const std::vector<std::string> header = message.GenerateHeader();
  const bool ownBuffer = !io.WriteBufferIsOpen();
  if (ownBuffer) io.WriteBufferOpen();
  try {
    for (const auto& line : header) io.WriteLine(line);
    io.WriteLine();
    for (const auto& line : message.Body) WriteBodyLine(io, line);
    io.WriteLine();
    if (ownBuffer) io.WriteBufferClose();
  } catch (...) {
    if (ownBuffer) io.WriteBufferCancel();
    throw;
  }
}

}  // namespace varnley
