#include "platform/SocketErrors.h"
#include "platform/windows/Winsock.h"

namespace varnley {

// Winsock reports its own codes (WSAGetLastError), so there is nothing to map: the C runtime's
// errno values never describe a socket here.
int WinsockCodeFromErrno(int err) { return err; }

}  // namespace varnley
