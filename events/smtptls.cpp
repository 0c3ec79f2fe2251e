// TLS wrapper of the SMTP client: one client context and connection for the
// STARTTLS upgrade of the current session, over a non-blocking socket with
// deadlines. The server's certificate is not verified.
#include <cerrno>
#include <ctime>
#include <poll.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "events/mail.h"

namespace {

SSL_CTX* g_ctx = nullptr;
SSL* g_ssl = nullptr;
int g_active = 0;

// Waits for what the library asked for; 1 when it may go on.
int WaitFor(int fd, int sslError, int64_t deadlineMs) {
  if (sslError == SSL_ERROR_WANT_READ) return Smtp_Wait(fd, POLLIN, deadlineMs) == 1;
  if (sslError == SSL_ERROR_WANT_WRITE) return Smtp_Wait(fd, POLLOUT, deadlineMs) == 1;
  return 0;
}

}  // namespace

int64_t Smtp_NowMs() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1'000'000;
}

int Smtp_Wait(int fd, short events, int64_t deadlineMs) {
  for (;;) {
    int64_t left = deadlineMs - Smtp_NowMs();
    if (left < 0) left = 0;
    struct pollfd p = {fd, events, 0};
    int r = poll(&p, 1, static_cast<int>(left));
    if (r > 0) return 1;  // ready, or an error or hang-up the next call reports
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

void SmtpTls_Reset() {
  g_active = 0;
  g_ctx = nullptr;
  g_ssl = nullptr;
}

int SmtpTls_Create() {
  g_ctx = SSL_CTX_new(TLS_client_method());
  if (!g_ctx) return 0;
  // No verification: mail servers on the local network often have
  // self-signed certificates.
  SSL_CTX_set_verify(g_ctx, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_mode(g_ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  g_ssl = SSL_new(g_ctx);
  if (!g_ssl) {
    SSL_CTX_free(g_ctx);
    g_ctx = nullptr;
    return 0;
  }
  return 1;
}

void SmtpTls_Free() {
  if (g_ssl) SSL_free(g_ssl);
  if (g_ctx) SSL_CTX_free(g_ctx);
  g_ssl = nullptr;
  g_ctx = nullptr;
  g_active = 0;
}

int SmtpTls_Start(int fd, const char* serverName, int64_t deadlineMs) {
  if (!g_ssl || SSL_set_fd(g_ssl, fd) != 1) {
    SmtpTls_Free();
    return 0;
  }
  if (serverName && serverName[0]) SSL_set_tlsext_host_name(g_ssl, serverName);
  for (;;) {
    ERR_clear_error();
    int r = SSL_connect(g_ssl);
    if (r == 1) break;
    if (!WaitFor(fd, SSL_get_error(g_ssl, r), deadlineMs)) {
      SmtpTls_Free();
      return 0;
    }
  }
  g_active = 1;
  return 1;
}

int SmtpTls_Read(int fd, char* buffer, int size, int64_t deadlineMs) {
  if (!g_active || !g_ssl || size <= 0) return -1;
  for (;;) {
    ERR_clear_error();
    int n = SSL_read(g_ssl, buffer, size);
    if (n > 0) return n;
    int e = SSL_get_error(g_ssl, n);
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return -1;  // closed or failed
    int w = Smtp_Wait(fd, e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadlineMs);
    if (w == 0) return 0;
    if (w < 0) return -1;
  }
}

int SmtpTls_WriteAll(int fd, const char* data, size_t length, int64_t deadlineMs) {
  if (!g_active || !g_ssl) return 0;
  size_t done = 0;
  while (done < length) {
    ERR_clear_error();
    size_t piece = length - done > 16384 ? 16384 : length - done;
    int n = SSL_write(g_ssl, data + done, static_cast<int>(piece));
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (!WaitFor(fd, SSL_get_error(g_ssl, n), deadlineMs)) return 0;
  }
  return 1;
}

int SmtpTls_IsActive() { return g_active; }
void SmtpTls_SetActive(int on) { g_active = on; }
