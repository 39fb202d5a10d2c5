#include "smtp/TlsChannel.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstdint>

#include "platform/SocketErrors.h"
#include "platform/IpAddress.h"
#include "smtp/IdException.h"

namespace varnley {

namespace {

constexpr std::size_t kChunkSize = 16384;

[[noreturn]] void RaiseWaitResult(const IoResult& r) {
  switch (r.status) {
    case IoStatus::stopped:
      throw EIdOperationCancelled();
    case IoStatus::timedOut:
      throw EIdTLSError("TLS handshake timed out.");
    case IoStatus::failed:
    case IoStatus::ok:
      break;
  }
  RaiseSocketError(r.error != 0 ? r.error : kWsaConnAborted);
}

}  // namespace

struct TlsChannel::State {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  BIO* in = nullptr;   // records from the socket; owned by ssl
  BIO* out = nullptr;  // records for the socket; owned by ssl
  bool established = false;
  bool failed = false;
  bool transportEnded = false;
  bool shutdownSent = false;
  std::string chunk;

  ~State() {
    SSL_free(ssl);
    SSL_CTX_free(ctx);
  }
};

TlsChannel::TlsChannel(TcpSocket& socket, const StopSource* stop)
    : socket_(socket), stop_(stop), state_(std::make_unique<State>()) {}

TlsChannel::~TlsChannel() = default;

void TlsChannel::Fail(const std::string& what, int sslError) {
  State& s = *state_;
  s.failed = true;
  std::string reason;
  const unsigned long e = ERR_peek_last_error();
  if (e != 0 && ERR_GET_LIB(e) == ERR_LIB_SSL &&
      ERR_GET_REASON(e) == SSL_R_CERTIFICATE_VERIFY_FAILED && s.ssl) {
    reason = std::string("certificate verify failed: ") +
             X509_verify_cert_error_string(SSL_get_verify_result(s.ssl));
  } else if (s.transportEnded) {
    reason = "the server closed the connection";
  } else if (e != 0 && ERR_reason_error_string(e) != nullptr) {
    reason = ERR_reason_error_string(e);
  } else {
    reason = "TLS error " + std::to_string(sslError);
  }
  ERR_clear_error();
  throw EIdTLSError(what + ": " + reason + ".");
}

IoResult TlsChannel::Flush(const Deadline& deadline) {
  char* data = nullptr;
  const long pending = BIO_get_mem_data(state_->out, &data);
  if (pending <= 0) return {};
  if (deadline.expired()) return {IoStatus::timedOut, 0, 0};
  const IoResult r =
      socket_.sendAll(std::string_view(data, static_cast<std::size_t>(pending)), stop_, deadline);
  (void)BIO_reset(state_->out);
  return r;
}

IoResult TlsChannel::Fill(const Deadline& deadline) {
  State& s = *state_;
  if (deadline.expired()) return {IoStatus::timedOut, 0, 0};
  s.chunk.resize(kChunkSize);
  const IoResult r = socket_.receive(s.chunk.data(), s.chunk.size(), deadline, stop_);
  if (r.status != IoStatus::ok) return r;
  if (r.bytes == 0) {
    // From now on the record layer reads end of stream instead of "try again".
    s.transportEnded = true;
    BIO_set_mem_eof_return(s.in, 0);
  } else {
    BIO_write(s.in, s.chunk.data(), static_cast<int>(r.bytes));
  }
  return r;
}

void TlsChannel::Handshake(const TlsPeer& peer, const Deadline& deadline) {
  State& s = *state_;
  ERR_clear_error();
  s.ctx = SSL_CTX_new(TLS_client_method());
  if (!s.ctx) Fail("TLS set-up failed", 0);
  SSL_CTX_set_min_proto_version(s.ctx, TLS1_2_VERSION);
  // The default paths read SSL_CERT_FILE and SSL_CERT_DIR at this point, so a changed trust
  // store counts from the next connection on.
  if (peer.verify && SSL_CTX_set_default_verify_paths(s.ctx) != 1)
    Fail("TLS set-up failed: cannot load the trusted certificates", 0);
  SSL_CTX_set_verify(s.ctx, peer.verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
  s.ssl = SSL_new(s.ctx);
  s.in = BIO_new(BIO_s_mem());
  s.out = BIO_new(BIO_s_mem());
  if (!s.ssl || !s.in || !s.out) {
    BIO_free(s.in);
    BIO_free(s.out);
    s.in = s.out = nullptr;
    Fail("TLS set-up failed", 0);
  }
  SSL_set_bio(s.ssl, s.in, s.out);
  std::uint32_t address = 0;
  const bool literal = ParseDottedIPv4(peer.host, address) || ParseIPv6(peer.host).has_value();
  // Server names go out for servers that host several; an address is never one.
  if (!literal && !peer.host.empty() && SSL_set_tlsext_host_name(s.ssl, peer.host.c_str()) != 1)
    Fail("TLS set-up failed", 0);
  if (peer.verify) {
    const int set = literal
                        ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s.ssl), peer.host.c_str())
                        : SSL_set1_host(s.ssl, peer.host.c_str());
    if (set != 1) Fail("TLS set-up failed: cannot check the server name", 0);
  }
  SSL_set_connect_state(s.ssl);

  for (;;) {
    ERR_clear_error();
    const int rc = SSL_do_handshake(s.ssl);
    const int err = rc == 1 ? SSL_ERROR_NONE : SSL_get_error(s.ssl, rc);
    // Our records (or the alert that ends a failed handshake) go out before anything else.
    const IoResult sent = Flush(deadline);
    if (err == SSL_ERROR_NONE || err == SSL_ERROR_WANT_READ) {
      if (sent.status != IoStatus::ok) {
        s.failed = true;
        RaiseWaitResult(sent);
      }
    }
    if (err == SSL_ERROR_NONE) {
      s.established = true;
      return;
    }
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
      Fail("TLS handshake failed", err);
    if (err == SSL_ERROR_WANT_READ) {
      const IoResult received = Fill(deadline);
      if (received.status != IoStatus::ok) {
        s.failed = true;
        RaiseWaitResult(received);
      }
    }
  }
}

IoResult TlsChannel::Receive(char* buffer, std::size_t size, const Deadline& deadline) {
  State& s = *state_;
  const int want = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  for (;;) {
    ERR_clear_error();
    const int n = SSL_read(s.ssl, buffer, want);
    if (n > 0) return {IoStatus::ok, 0, static_cast<std::size_t>(n)};
    const int err = SSL_get_error(s.ssl, n);
    // A post-handshake message may need an answer.
    if (const IoResult sent = Flush(deadline); sent.status != IoStatus::ok) return sent;
    if (err == SSL_ERROR_ZERO_RETURN) return {IoStatus::ok, 0, 0};
    if (err == SSL_ERROR_WANT_READ) {
      if (const IoResult r = Fill(deadline); r.status != IoStatus::ok) return r;
      continue;
    }
    // A server that drops the connection without close-notify has simply gone; what it sent
    // before that was authenticated.
    if (s.transportEnded) {
      ERR_clear_error();
      return {IoStatus::ok, 0, 0};
    }
    Fail("TLS read failed", err);
  }
}

IoResult TlsChannel::Send(std::string_view bytes, const Deadline& deadline) {
  State& s = *state_;
  std::size_t done = 0;
  while (done < bytes.size()) {
    ERR_clear_error();
    std::size_t written = 0;
    const int rc = SSL_write_ex(s.ssl, bytes.data() + done, bytes.size() - done, &written);
    const int err = rc == 1 ? SSL_ERROR_NONE : SSL_get_error(s.ssl, rc);
    if (IoResult sent = Flush(deadline); sent.status != IoStatus::ok) {
      sent.bytes = done;
      return sent;
    }
    if (err == SSL_ERROR_NONE) {
      done += written;
    } else if (err == SSL_ERROR_WANT_READ) {
      if (IoResult r = Fill(deadline); r.status != IoStatus::ok) {
        r.bytes = done;
        return r;
      }
    } else if (err != SSL_ERROR_WANT_WRITE) {
      Fail("TLS write failed", err);
    }
  }
  return {IoStatus::ok, 0, done};
}

void TlsChannel::Shutdown() {
  State& s = *state_;
  if (!s.ssl || !s.established || s.failed || s.shutdownSent) return;
  s.shutdownSent = true;
  ERR_clear_error();
  SSL_shutdown(s.ssl);
  char* data = nullptr;
  const long pending = BIO_get_mem_data(s.out, &data);
  // A peer that reads nothing must not hold the close: what does not fit now is dropped.
  if (pending > 0) socket_.sendNow(std::string_view(data, static_cast<std::size_t>(pending)));
  (void)BIO_reset(s.out);
  ERR_clear_error();
}

std::string TlsChannel::Protocol() const {
  const State& s = *state_;
  return s.ssl && s.established ? SSL_get_version(s.ssl) : "";
}

}  // namespace varnley
