// The SMTP client's failures: every error of the connection, the line layer and the session is
// an EIdException carrying a fixed English text or the server's reply.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace varnley {

class EIdException : public std::exception {
 public:
  explicit EIdException(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }

 private:
  std::string message_;
};

// Declares a subclass whose message is fixed (or empty).
#define VARNLEY_ID_EXCEPTION(Name, Base, Text)           \
  class Name : public Base {                             \
   public:                                               \
    Name() : Base(Text) {}                               \
    explicit Name(std::string m) : Base(std::move(m)) {} \
  };

VARNLEY_ID_EXCEPTION(EIdConnClosedGracefully, EIdException, "Connection Closed Gracefully.")
VARNLEY_ID_EXCEPTION(EIdNotConnected, EIdException, "Not Connected")
VARNLEY_ID_EXCEPTION(EIdAlreadyConnected, EIdException, "Already connected.")
VARNLEY_ID_EXCEPTION(EIdHostRequired, EIdException, "")
VARNLEY_ID_EXCEPTION(EIdPortRequired, EIdException, "")
VARNLEY_ID_EXCEPTION(EIdConnectTimeout, EIdException, "Connect timed out.")
VARNLEY_ID_EXCEPTION(EIdReadTimeout, EIdException, "Read timed out.")
// A peer that takes no more data within the time a write may wait.
VARNLEY_ID_EXCEPTION(EIdWriteTimeout, EIdException, "Write timed out.")
// The whole connection outlived the time its owner gave it.
VARNLEY_ID_EXCEPTION(EIdSessionTimeout, EIdException, "Session timed out.")
VARNLEY_ID_EXCEPTION(EIdReadLnMaxLineLengthExceeded, EIdException, "Max line length exceeded.")
VARNLEY_ID_EXCEPTION(EIdReplyRFCError, EIdException, "")
VARNLEY_ID_EXCEPTION(EIdSMTPReplyInvalidReplyString, EIdException, "Invalid Reply String.")
// A stop request from the owner ended a connect, read or write.
VARNLEY_ID_EXCEPTION(EIdOperationCancelled, EIdException, "Operation cancelled.")
// A reply with more lines or bytes than any real server sends.
VARNLEY_ID_EXCEPTION(EIdReplyTooLarge, EIdException, "Reply too large.")
// User data that would split a command line or a header.
VARNLEY_ID_EXCEPTION(EIdLineBreakInText, EIdException, "")
// A server text of the form host:port whose port is not 1..65535.
VARNLEY_ID_EXCEPTION(EIdInvalidPort, EIdException, "")
// TLS that was asked for and could not be set up or kept up; the text says why.
VARNLEY_ID_EXCEPTION(EIdTLSError, EIdException, "")

#undef VARNLEY_ID_EXCEPTION

// A failing socket call: "Socket Error # <code>" CR LF and the code's text.
class EIdSocketError : public EIdException {
 public:
  EIdSocketError(int code, std::string message) : EIdException(std::move(message)), code_(code) {}
  int LastError() const { return code_; }

 private:
  int code_;
};

class EIdNotASocket : public EIdSocketError {
 public:
  using EIdSocketError::EIdSocketError;
};

// Throws EIdSocketError (EIdNotASocket for 10038) for a Winsock code.
[[noreturn]] void RaiseSocketError(int code);

}  // namespace varnley
