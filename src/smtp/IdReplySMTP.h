// SMTP replies: the three-digit code, the text lines and the enhanced status code, read from
// the line layer with a bound on the reply's size.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "smtp/IdException.h"

namespace varnley {

class TIdIOHandler;

struct TIdSMTPEnhancedCode {
  int StatusClass = 2;
  int Subject = 0;
  int Details = 0;
  bool Available = false;

  // class.subject.detail, the last two cut to three digits.
  std::string FormatReply() const;
  // Parses "c.s.d"; a malformed text raises "Invalid Reply String.".
  void SetReplyString(std::string_view text);
  // Whether the word is an enhanced code (class starting 2, 4 or 5, numeric parts).
  static bool IsValidReplyCode(std::string_view word);
};

class TIdReplySMTP {
 public:
  // The largest reply accepted: far above any real server's, far below what hurts.
  static constexpr std::size_t kMaxLines = 500;
  static constexpr std::size_t kMaxBytes = 256 * 1024;

  std::string Code;  // three digits, or "" for none
  std::vector<std::string> Text;
  TIdSMTPEnhancedCode EnhancedCode;

  int NumericCode() const;
  // Takes the raw lines of one reply (codes included). A code that is neither blank nor
  // 100..999 raises "Reply Code is not valid: <code>".
  void SetFormattedReply(const std::vector<std::string>& lines);
  void Clear();
};

class EIdSMTPReplyError : public EIdException {
 public:
  EIdSMTPReplyError(int code, TIdSMTPEnhancedCode enhanced, std::string message)
      : EIdException(std::move(message)), errorCode_(code), enhancedCode_(enhanced) {}
  int ErrorCode() const { return errorCode_; }
  const TIdSMTPEnhancedCode& EnhancedCode() const { return enhancedCode_; }

 private:
  int errorCode_;
  TIdSMTPEnhancedCode enhancedCode_;
};

// Reads one reply: lines up to the end line (shorter than 4 characters, or a blank 4th
// character), empty lines skipped. The handler's ReadTimeout bounds the whole reply, however
// many lines it has; past it "Read timed out." is raised. A reply past kMaxLines or kMaxBytes
// raises EIdReplyTooLarge.
void ReadSmtpReply(TIdIOHandler& io, TIdReplySMTP& reply);

// Raises the reply as EIdSMTPReplyError unless its code is allowed (an empty list allows all).
void CheckReplyAllowed(const TIdReplySMTP& reply, const std::vector<int>& allowed);

}  // namespace varnley
