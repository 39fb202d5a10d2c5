// Socket failures as the program reports them: system errors mapped to the Winsock codes and
// texts that users of this tool know ("Socket Error # 10061" CR LF "Connection refused.").
#pragma once

#include <string>

namespace varnley {

inline constexpr int kWsaNotASocket = 10038;
inline constexpr int kWsaConnAborted = 10053;
inline constexpr int kWsaConnReset = 10054;
inline constexpr int kWsaShutdown = 10058;
inline constexpr int kWsaConnRefused = 10061;
inline constexpr int kWsaHostNotFound = 11001;
inline constexpr int kWsaTryAgain = 11002;  // the name servers failed or did not answer

// An errno value as a Winsock code; a value with no Winsock counterpart is returned unchanged.
// (On Windows the sockets report Winsock codes themselves and every value passes unchanged.)
int WinsockCodeFromErrno(int err);

// The table's text for a Winsock code; for a code outside the table "" (a raw errno value that
// had no Winsock counterpart gets the system's own text so the failure still reads clearly).
std::string SocketErrorText(int code);
// "Socket Error # <code>" CR LF <text>.
std::string SocketErrorMessage(int code);

}  // namespace varnley
