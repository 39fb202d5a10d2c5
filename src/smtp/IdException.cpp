#include "smtp/IdException.h"

#include "platform/SocketErrors.h"

namespace varnley {

void RaiseSocketError(int code) {
  if (code == kWsaNotASocket) throw EIdNotASocket(code, SocketErrorMessage(code));
  throw EIdSocketError(code, SocketErrorMessage(code));
}

}  // namespace varnley
