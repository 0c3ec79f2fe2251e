// TLS wrapper of the SMTP client: one client context and connection for the
// STARTTLS upgrade of the current session, over its non-blocking socket;
// every call returns at once. The server's certificate is not verified.
#include <poll.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "events/mail.h"

namespace {

SSL_CTX* g_ctx = nullptr;
SSL* g_ssl = nullptr;
int g_active = 0;
short g_want = 0;

// Notes what the library waits for; true when it only waits.
bool Waits(int result) {
  switch (SSL_get_error(g_ssl, result)) {
    case SSL_ERROR_WANT_READ:
      g_want = POLLIN;
      return true;
    case SSL_ERROR_WANT_WRITE:
      g_want = POLLOUT;
      return true;
    default:
      g_want = 0;
      return false;
  }
}

}  // namespace

void SmtpTls_Reset() {
  g_active = 0;
  g_ctx = nullptr;
  g_ssl = nullptr;
  g_want = 0;
}

namespace {

// The client context and connection objects.
bool Create() {
  g_ctx = SSL_CTX_new(TLS_client_method());
  if (!g_ctx) return false;
  // No verification: mail servers on the local network often have
  // self-signed certificates.
  SSL_CTX_set_verify(g_ctx, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_mode(g_ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  g_ssl = SSL_new(g_ctx);
  if (!g_ssl) {
    SSL_CTX_free(g_ctx);
    g_ctx = nullptr;
    return false;
  }
  return true;
}

}  // namespace

void SmtpTls_Free() {
  if (g_ssl) SSL_free(g_ssl);
  if (g_ctx) SSL_CTX_free(g_ctx);
  SmtpTls_Reset();
}

int SmtpTls_Start(int fd, const char* serverName) {
  SmtpTls_Free();
  if (!Create() || SSL_set_fd(g_ssl, fd) != 1) {
    SmtpTls_Free();
    return 0;
  }
  if (serverName && serverName[0]) SSL_set_tlsext_host_name(g_ssl, serverName);
  SSL_set_connect_state(g_ssl);
  return 1;
}

int SmtpTls_Handshake() {
  if (!g_ssl) return -1;
  ERR_clear_error();
  int r = SSL_do_handshake(g_ssl);
  if (r == 1) {
    g_active = 1;
    g_want = 0;
    return 1;
  }
  if (Waits(r)) return 0;
  SmtpTls_Free();
  return -1;
}

int SmtpTls_Read(char* buffer, int size) {
  if (!g_active || !g_ssl || size <= 0) return -1;
  ERR_clear_error();
  int n = SSL_read(g_ssl, buffer, size);
  if (n > 0) {
    g_want = 0;
    return n;
  }
  return Waits(n) ? 0 : -1;  // closed or failed otherwise
}

int SmtpTls_Write(const char* data, size_t length) {
  if (!g_active || !g_ssl) return -1;
  if (length == 0) return 0;
  ERR_clear_error();
  int n = SSL_write(g_ssl, data, static_cast<int>(length > 16384 ? 16384 : length));
  if (n > 0) {
    g_want = 0;
    return n;
  }
  return Waits(n) ? 0 : -1;
}

short SmtpTls_Want() { return g_want; }
int SmtpTls_Pending() { return g_active && g_ssl ? SSL_pending(g_ssl) : 0; }
int SmtpTls_IsActive() { return g_active; }
