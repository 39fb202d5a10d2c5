// TLS for a build without a TLS library (the Windows cross-build: Debian has no OpenSSL for
// MinGW). Every use fails before a byte of the session is sent, so a mail that asks for TLS
// is never sent in plain text; the reason names what is missing.
#include "smtp/IdException.h"
#include "smtp/TlsChannel.h"

namespace varnley {

namespace {
constexpr const char* kNoTls =
    "TLS is not available in this build of the program: the mail was not sent.";
}

struct TlsChannel::State {};

TlsChannel::TlsChannel(TcpSocket& socket, const StopSource* stop) : socket_(socket), stop_(stop) {}

TlsChannel::~TlsChannel() = default;

void TlsChannel::Handshake(const TlsPeer&, const Deadline&) { throw EIdTLSError(kNoTls); }

IoResult TlsChannel::Receive(char*, std::size_t, const Deadline&) { throw EIdTLSError(kNoTls); }

IoResult TlsChannel::Send(std::string_view, const Deadline&) { throw EIdTLSError(kNoTls); }

void TlsChannel::Shutdown() {}

std::string TlsChannel::Protocol() const { return {}; }

}  // namespace varnley
