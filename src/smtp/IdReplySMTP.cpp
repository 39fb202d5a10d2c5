#include "smtp/IdReplySMTP.h"

#include <algorithm>

#include "platform/Text.h"
#include "smtp/IdIOHandler.h"

namespace varnley {

namespace {

bool AllDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The value of at most the first `digits` digits, so a long run cannot overflow.
int LeadingValue(std::string_view s, std::size_t digits) {
  int v = 0;
  for (std::size_t i = 0; i < s.size() && i < digits; ++i) v = v * 10 + (s[i] - '0');
  return v;
}

struct CodeParts {
  std::string_view cls, subject, detail;
};

bool SplitCode(std::string_view word, CodeParts& parts) {
  const std::size_t a = word.find('.');
  if (a == std::string_view::npos) return false;
  const std::size_t b = word.find('.', a + 1);
  if (b == std::string_view::npos) return false;
  parts = {word.substr(0, a), word.substr(a + 1, b - a - 1), word.substr(b + 1)};
  return AllDigits(parts.cls) && AllDigits(parts.subject) && AllDigits(parts.detail);
}

}  // namespace

std::string TIdSMTPEnhancedCode::FormatReply() const {
  return std::to_string(StatusClass) + "." + std::to_string(Subject % 1000) + "." +
         std::to_string(Details % 1000);
}

bool TIdSMTPEnhancedCode::IsValidReplyCode(std::string_view word) {
  CodeParts parts;
  return SplitCode(word, parts) &&
         (parts.cls[0] == '2' || parts.cls[0] == '4' || parts.cls[0] == '5');
}

void TIdSMTPEnhancedCode::SetReplyString(std::string_view text) {
  const std::string word = Trim(text);
  CodeParts parts;
  if (!IsValidReplyCode(word) || !SplitCode(word, parts)) throw EIdSMTPReplyInvalidReplyString();
  StatusClass = parts.cls[0] - '0';
  Subject = LeadingValue(parts.subject, 3);
  Details = LeadingValue(parts.detail, 3);
  Available = true;
}

int TIdReplySMTP::NumericCode() const { return AllDigits(Code) ? LeadingValue(Code, 3) : 0; }

void TIdReplySMTP::Clear() {
  Code.clear();
  Text.clear();
  EnhancedCode = TIdSMTPEnhancedCode();
}

void TIdReplySMTP::SetFormattedReply(const std::vector<std::string>& lines) {
  Clear();
  if (lines.empty()) return;
  std::string code = Trim(std::string_view(lines.front()).substr(0, 4));
  if (code.size() == 4 && code.back() == '-') code.pop_back();
  if (!code.empty() && !(code.size() == 3 && AllDigits(code) && code[0] != '0')) {
    throw EIdReplyRFCError("Reply Code is not valid: " + code);
  }
  Code = code;
  for (const auto& line : lines) {
    std::string text = line.size() > 4 ? line.substr(4) : std::string();
    const std::size_t blank = text.find(' ');
    const std::string_view word = std::string_view(text).substr(0, blank);
    if (blank != std::string::npos && TIdSMTPEnhancedCode::IsValidReplyCode(word)) {
      EnhancedCode.SetReplyString(word);
      text.erase(0, blank + 1);
    }
    Text.push_back(std::move(text));
  }
}

void ReadSmtpReply(TIdIOHandler& io, TIdReplySMTP& reply) {
  // One deadline for the whole reply: a server that trickles continuation lines (or lines
  // that only look like them) cannot stretch it line by line.
  const Deadline deadline = Deadline::AfterOrNone(io.ReadTimeout);
  std::vector<std::string> lines;
  std::size_t bytes = 0;
  for (;;) {
    if (deadline.expired()) throw EIdReadTimeout();
    std::string line = io.ReadLine(deadline);
    if (io.ReadLnTimedOut()) throw EIdReadTimeout();
    // Skipped empty lines count too, or a flood of them would hold the reader forever.
    bytes += line.size() + 2;
    if (bytes > TIdReplySMTP::kMaxBytes) throw EIdReplyTooLarge();
    if (line.empty()) continue;
    if (lines.size() >= TIdReplySMTP::kMaxLines) throw EIdReplyTooLarge();
    const bool last = line.size() < 4 || line[3] == ' ';
    lines.push_back(std::move(line));
    if (last) break;
  }
  reply.SetFormattedReply(lines);
}

void CheckReplyAllowed(const TIdReplySMTP& reply, const std::vector<int>& allowed) {
  if (allowed.empty()) return;
  const int code = reply.NumericCode();
  if (std::find(allowed.begin(), allowed.end(), code) != allowed.end()) return;
  std::string message;
  for (std::size_t i = 0; i < reply.Text.size(); ++i) {
    if (i > 0) message += '\n';
    message += reply.Text[i];
  }
  throw EIdSMTPReplyError(code, reply.EnhancedCode, message);
}

}  // namespace varnley
