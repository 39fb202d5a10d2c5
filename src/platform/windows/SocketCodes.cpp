#include "platform/SocketErrors.h"
#include "platform/windows/Winsock.h"

namespace varnley {

// Winsock reports its own codes (WSAGetLastError), so there is nothing to map: the C runtime's
// errno values never describe a socket here.
int WinsockCodeFromErrno(int err) { return err; }

int WinsockCodeFromLookup(int gaiResult, int /*savedErrno*/) {
  switch (gaiResult) {
    case 0:
      return 0;
    case WSA_NOT_ENOUGH_MEMORY:
      return WSAENOBUFS;
    // No such name, no address for it, a server that fails or does not answer: the user's
    // server name cannot be used, which the table calls "Host not found.".
    case WSAHOST_NOT_FOUND:
    case WSATRY_AGAIN:
    case WSANO_RECOVERY:
    case WSANO_DATA:
      return kWsaHostNotFound;
    default:
      return gaiResult;
  }
}

}  // namespace varnley
