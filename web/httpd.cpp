// HTTP and HTTPS server: the four listeners, the 20 connections with their
// reading and sending states and time limits, TLS, and the certificate
// writer. No socket blocks: the main loop passes over them once per turn,
// and a client that is slow, silent or half-way through a TLS handshake
// only keeps its slot, until its time is up or a new client needs it.
#include "web/httpd.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/netsock.h"
#include "core/svc.h"
#include "core/util.h"
#include "events/evtdef.h"
#include "events/evtlog.h"
#include "web/websess.h"

HttpdSettings HttpdSetting;
HttpdOpsTable HttpdOps;

namespace {

int64_t MonotonicMs() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

constexpr int64_t kSecond = 1000;  // HttpdClock units

// Event log hand-off for the listener states and certificate problems
// (free-text events of level 0).
void LogText(int level, const char* text) {
  if (EvtLogOps.Add) EvtLogOps.Add(EVT_FREE_TEXT, level, text);
}

enum Listener { L_HTTP4 = 0, L_HTTP6 = 1, L_HTTPS4 = 2, L_HTTPS6 = 3, L_COUNT = 4 };

const char* g_installDir = UPSD_INSTALL_DIR;
int g_listeners[L_COUNT] = {-1, -1, -1, -1};
uint8_t g_loggedSet;
NetBindFailure g_failed[L_COUNT];  // the last bind failure logged for each listener
int g_httpPort, g_httpsPort;
uint8_t g_httpOn, g_httpsOn;
SSL_CTX* g_tls;
bool g_pollSourceAdded;
HttpConn g_conns[HTTPD_CONNECTIONS];

bool WouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK || e == EINTR; }

// A body or an answer is under way: the rate applies (on TLS once the
// handshake is done).
bool Transferring(const HttpConn& c) {
  return !c.handshake && (c.body || c.state == HTTP_SENDING);
}

// A phase begins, due now: the wait for a handshake or a header, a body
// or an answer.
void BeginPhase(HttpConn* c) { c->due = HttpdClock(); }

// Bytes of a body or an answer moved: each HTTPD_MIN_RATE of them puts the
// connection a second further ahead, up to HTTPD_AHEAD_SECONDS ahead of now.
void Credit(HttpConn* c, uint64_t bytes, int64_t now) {
  const int64_t earned = static_cast<int64_t>(bytes * kSecond / HTTPD_MIN_RATE);
  c->due = std::min(c->due + earned, now + HTTPD_AHEAD_SECONDS * kSecond);
}

// Bytes the connection's socket has carried either way so far. On TLS the
// library's own count: a record or handshake message that arrives slowly
// moves bytes long before it yields any.
uint64_t SocketBytes(const HttpConn& c) {
  if (!c.ssl) return c.plainBytes;
  BIO* r = SSL_get_rbio(c.ssl);
  BIO* w = SSL_get_wbio(c.ssl);
  return (r ? BIO_number_read(r) : 0) + (w ? BIO_number_written(w) : 0);
}

// When the socket has moved bytes by the end of the scope (and the
// connection is still open): activity, and credit when they belong to a
// body or an answer. A handshake or a header comes at once from a client
// that means it: its bytes keep the connection from the idle limit, not
// from its own time limit.
class ProgressWatch {
 public:
  explicit ProgressWatch(HttpConn* c) : c_(c), before_(SocketBytes(*c)) {}
  ~ProgressWatch() {
    if (c_->state == HTTP_FREE) return;
    const uint64_t after = SocketBytes(*c_);
    if (after == before_) return;
    const int64_t now = HttpdClock();
    c_->lastActivity = now;
    if (Transferring(*c_)) Credit(c_, after - before_, now);
  }
  ProgressWatch(const ProgressWatch&) = delete;
  ProgressWatch& operator=(const ProgressWatch&) = delete;

 private:
  HttpConn* c_;
  uint64_t before_;
};

// A TLS call that returned r <= 0: 1 when it must be retried later (and for
// which readiness), 0 when the connection has failed.
int TlsRetry(HttpConn* c, int r) {
  int e = SSL_get_error(c->ssl, r);
  if (e == SSL_ERROR_WANT_READ) {
    c->tlsWantWrite = 0;
    return 1;
  }
  if (e == SSL_ERROR_WANT_WRITE) {
    c->tlsWantWrite = 1;
    return 1;
  }
  if (e == SSL_ERROR_SYSCALL && r < 0 && WouldBlock(errno)) return 1;
  if (e != SSL_ERROR_ZERO_RETURN) c->tlsFailed = 1;
  ERR_clear_error();
  return 0;
}

// One step of a pending handshake: 1 done, 0 still pending, -1 closed.
int ContinueHandshake(HttpConn* c) {
  ProgressWatch watch(c);
  int r = SSL_accept(c->ssl);
  if (r == 1) {
    c->handshake = 0;
    c->tlsWantWrite = 0;
    BeginPhase(c);  // the header's time begins now
    return 1;
  }
  if (TlsRetry(c, r)) return 0;
  Httpd_CloseConn(c, 1);
  return -1;
}

// Receives into dst: bytes received, 0 to wait, -1 when the connection is
// gone (and closed hard).
int Receive(HttpConn* c, char* dst, int room) {
  if (room <= 0) return 0;
  ProgressWatch watch(c);
  if (c->tls) {
    int r = SSL_read(c->ssl, dst, room);
    if (r > 0) return r;
    if (TlsRetry(c, r)) return 0;
  } else {
    ssize_t r = recv(c->socket, dst, static_cast<size_t>(room), 0);
    if (r > 0) {
      c->plainBytes += static_cast<uint64_t>(r);
      return static_cast<int>(r);
    }
    if (r < 0 && WouldBlock(errno)) return 0;
  }
  // A read of 0 is the peer's close.
  Httpd_CloseConn(c, 1);
  return -1;
}

// A listening socket, -1 with *error set when it cannot bind or listen, or
// -2 when there is no socket of that family at all.
int OpenListener(int family, int port, int* error) {
  int s = socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) return -2;  // no socket: nothing to report
  // Connections this server closed wait in TIME_WAIT on the port; without
  // this a restart (a new certificate or port from the web page) could not
  // bind the port again for a minute. A port that another socket listens
  // on is still refused.
  int reuse = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  int ok;
  if (family == AF_INET6) {
    // The IPv4 listener has the IPv4 side; this one only IPv6.
    int on = 1;
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    struct sockaddr_in6 a {};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    ok = bind(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a) == 0;
  } else {
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<uint16_t>(port));
    ok = bind(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a) == 0;
  }
  // A socket that is bound but not listening would poll as hung up on
  // every turn; it is closed and tried again with the next start.
  if (!ok || !Httpd_Listen(s)) {
    *error = errno;
    close(s);
    return -1;
  }
  return s;
}

// Opens one listener and adds its part to the status text; a failure not
// logged before for this port and reason adds its line to failures.
void OpenOne(int which, int family, int port, const char* part, int bit, char* status, size_t size,
             uint8_t* set, std::vector<std::string>* failures) {
  if (g_listeners[which] != -1) return;
  int error = 0;
  int s = OpenListener(family, port, &error);
  if (s == -2) return;
  size_t used = strlen(status);
  snprintf(status + used, size - used, "%s: %s", part, s >= 0 ? "OK" : "NOK");
  if (s >= 0) {
    g_listeners[which] = s;
    *set |= static_cast<uint8_t>(1 << bit);
  }
  if (!NetSock_NewBindFailure(&g_failed[which], s >= 0, port, error)) return;
  char line[160];
  snprintf(line, sizeof line, "%s: cannot listen on port %d: %s", part + strspn(part, " "), port, strerror(error));
  failures->emplace_back(line);
}

void CreateTlsContext() {
  if (g_tls) return;
  g_tls = SSL_CTX_new(TLS_server_method());
  if (!g_tls) return;
  SSL_CTX_set_min_proto_version(g_tls, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(g_tls, TLS1_2_VERSION);
  // Non-blocking writes: a write may finish part of the pending bytes, and
  // the buffer's pending bytes move to its start between tries.
  SSL_CTX_set_mode(g_tls, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  char path[HTTPD_PATH_SIZE + 32];
  snprintf(path, sizeof path, "%s/httpd/cert_web.pem", g_installDir);
  if (SSL_CTX_use_certificate_file(g_tls, path, SSL_FILETYPE_PEM) != 1) {
    LogText(0, "SSL: Failed to load cert file.");
  } else if (SSL_CTX_use_PrivateKey_file(g_tls, path, SSL_FILETYPE_PEM) != 1) {
    LogText(0, "SSL: Failed to load key file.");
  }
  ERR_clear_error();
}

// Events a connection waits for, or 0 when it waits for nothing.
short WantedEvents(const HttpConn& c) {
  if (c.state == HTTP_READING) return c.tls && c.tlsWantWrite ? POLLOUT : POLLIN;
  if (c.state == HTTP_SENDING && c.pending > 0) return c.ssl && SSL_want_read(c.ssl) ? POLLIN : POLLOUT;
  return 0;
}

// A request handled without an answer is over all the same: the next
// bytes begin a new one (its body would otherwise count as complete again).
void EndRequest(HttpConn* c) {
  if (c->body && c->body != c->buffer) free(c->body);
  c->body = nullptr;
  c->headerCount = 0;
  c->bodyCount = 0;
  c->served = 1;
  BeginPhase(c);
}

// How long the connection may be behind in its present phase.
int64_t Allowed(const HttpConn& c) {
  if (c.handshake) return HTTPD_HANDSHAKE_SECONDS * kSecond;
  if (Transferring(c)) return HTTPD_TRANSFER_SECONDS * kSecond;
  return HTTPD_HEADER_SECONDS * kSecond;
}

// Past its time: nothing moved for too long, its handshake or header not
// complete in time, its body or answer too far behind the minimum rate.
bool Expired(const HttpConn& c, int64_t now) {
  return now - c.lastActivity >= HTTPD_IDLE_SECONDS * kSecond || now - c.due >= Allowed(c);
}

// Waits on keep-alive for its next request, none of which has come.
bool WaitsKeptAlive(const HttpConn& c) {
  return c.state == HTTP_READING && c.served && !c.handshake && !c.body && c.headerCount == 0;
}

bool SameAddress(const HttpConn& a, const HttpConn& b) {
  return a.family == b.family && memcmp(a.peer, b.peer, sizeof a.peer) == 0;
}

// Slots the connection's address holds.
int Held(const HttpConn& c) {
  int n = 0;
  for (const HttpConn& k : g_conns) n += k.state != HTTP_FREE && SameAddress(k, c);
  return n;
}

// The slot a new connection takes: a free one; else, of the connections
// that give way, one waiting on keep-alive for its next request (it loses
// nothing), then one of the address that holds the most slots, the one
// furthest behind first. A connection gives way once it is
// HTTPD_GIVE_WAY_SECONDS behind: a new client has that long to send its
// request, and a body or an answer that keeps its rate is never behind by
// that much. None when no connection gives way.
HttpConn* SlotForNew() {
  for (HttpConn& k : g_conns)
    if (k.state == HTTP_FREE) return &k;
  const int64_t now = HttpdClock();
  HttpConn* best = nullptr;
  std::tuple<bool, int, int64_t> bestKey;
  for (HttpConn& k : g_conns) {
    const bool kept = WaitsKeptAlive(k);
    if (!kept && now - k.due < HTTPD_GIVE_WAY_SECONDS * kSecond) continue;
    const auto key = std::make_tuple(kept, Held(k), -k.due);
    if (!best || key > bestKey) {
      best = &k;
      bestKey = key;
    }
  }
  return best;
}

bool HasControl(const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
    if (*p < 0x20 || *p == 0x7f) return true;
  return false;
}

}  // namespace

int64_t (*HttpdClock)() = MonotonicMs;

// ---- init, start, stop --------------------------------------------------------

void Httpd_Init(const char* installDir, WebWriteVarFn devWriteVar, WebHandleFormFn devHandleForm) {
  g_installDir = installDir ? installDir : UPSD_INSTALL_DIR;
  WebSess_Init();
  HttpdOps.Start = Httpd_Start;
  HttpdOps.Stop = Httpd_Stop;
  HttpdOps.Poll = Httpd_Poll;
  HttpdOps.Tick = Httpd_Tick;
  HttpdOps.ParseForm = Httpd_ParseForm;
  HttpdOps.UrlDecodeCopy = Httpd_UrlDecodeCopy;
  HttpdOps.DevWriteVar = devWriteVar;
  HttpdOps.DevHandleForm = devHandleForm;
  for (int i = 0; i < HTTPD_CONNECTIONS; ++i) {
    HttpConn& c = g_conns[i];
    c.slot = i;
    c.state = HTTP_FREE;
    c.socket = -1;
    c.ssl = nullptr;
    c.body = nullptr;
    c.file = nullptr;
    c.page = nullptr;
  }
  OPENSSL_init_ssl(0, nullptr);
  if (!g_pollSourceAdded) {
    Svc_AddPollSource(Httpd_PollFill);
    g_pollSourceAdded = true;
  }
}

void Httpd_Start(int httpPort, int httpsPort, uint8_t httpOn, uint8_t httpsOn) {
  g_httpPort = httpPort;
  g_httpsPort = httpsPort;
  g_httpOn = httpOn;
  g_httpsOn = httpsOn;
  char status[160] = "";
  uint8_t set = g_loggedSet;
  std::vector<std::string> failures;
  if (httpOn) {
    OpenOne(L_HTTP4, AF_INET, httpPort, "IPv4-HTTP", 0, status, sizeof status, &set, &failures);
    OpenOne(L_HTTP6, AF_INET6, httpPort, " IPv6-HTTP", 1, status, sizeof status, &set, &failures);
  }
  if (httpsOn) {
    OpenOne(L_HTTPS4, AF_INET, httpsPort, " IPv4-HTTPS", 2, status, sizeof status, &set, &failures);
    OpenOne(L_HTTPS6, AF_INET6, httpsPort, " IPv6-HTTPS", 3, status, sizeof status, &set, &failures);
  }
  if (status[0] && set != g_loggedSet) {
    g_loggedSet = set;
    LogText(0, status);
  }
  // Each listener that cannot bind, with its port and the reason, after
  // the status text: a warning, logged once per port and reason.
  for (const std::string& line : failures) LogText(2, line.c_str());
  CreateTlsContext();
}

void Httpd_Stop() {
  for (HttpConn& c : g_conns)
    if (c.state != HTTP_FREE) Httpd_CloseConn(&c, 1);
  for (int& fd : g_listeners) {
    if (fd != -1) close(fd);
    fd = -1;
  }
  if (g_tls) SSL_CTX_free(g_tls);
  g_tls = nullptr;
}

void Httpd_Shutdown() { Httpd_Stop(); }

int Httpd_Listen(int fd) { return listen(fd, HTTPD_BACKLOG) == 0 ? 1 : 0; }

int Httpd_CloseFd(int fd) {
  for (HttpConn& c : g_conns) {
    if (c.state != HTTP_FREE && c.socket == fd) {
      Httpd_CloseConn(&c, 1);
      return 1;
    }
  }
  for (int& l : g_listeners) {
    if (l == fd && fd != -1) {
      close(l);
      l = -1;
      return 1;
    }
  }
  return 0;
}

// ---- polling ------------------------------------------------------------------

int Httpd_PollFill(struct pollfd* fds, int max, int* busy) {
  int n = 0;
  // With no slot to give, a waiting connection must not wake the loop.
  const bool room = SlotForNew() != nullptr;
  for (int fd : g_listeners) {
    if (room && fd >= 0 && n < max) fds[n++] = {fd, POLLIN, 0};
  }
  for (const HttpConn& c : g_conns) {
    if (c.state == HTTP_FREE || c.socket < 0) continue;
    // Bytes TLS has already decrypted show on no descriptor.
    if (c.state == HTTP_READING && c.ssl && !c.handshake && SSL_pending(c.ssl) > 0) *busy = 1;
    if (c.state == HTTP_SENDING && c.pending <= 0 && c.file) *busy = 1;
    short ev = WantedEvents(c);
    if (ev && n < max) fds[n++] = {c.socket, ev, 0};
  }
  return n;
}

void Httpd_Poll() {
  // One zero-timeout poll over the listeners and the connections.
  struct pollfd fds[L_COUNT + HTTPD_CONNECTIONS];
  int connIndex[HTTPD_CONNECTIONS];
  int listenIndex[L_COUNT];
  int n = 0;
  const bool room = SlotForNew() != nullptr;
  for (int i = 0; i < L_COUNT; ++i) {
    listenIndex[i] = -1;
    if (room && g_listeners[i] >= 0) {
      listenIndex[i] = n;
      fds[n++] = {g_listeners[i], POLLIN, 0};
    }
  }
  for (int i = 0; i < HTTPD_CONNECTIONS; ++i) {
    connIndex[i] = -1;
    const HttpConn& c = g_conns[i];
    if (c.state == HTTP_FREE || c.socket < 0) continue;
    connIndex[i] = n;
    fds[n++] = {c.socket, static_cast<short>(POLLIN | POLLOUT), 0};
  }
  if (n == 0) return;
  if (poll(fds, static_cast<nfds_t>(n), 0) < 0) return;

  // At most one new connection per listener and pass.
  static const int kOrder[L_COUNT] = {L_HTTP4, L_HTTPS4, L_HTTP6, L_HTTPS6};
  for (int which : kOrder) {
    int k = listenIndex[which];
    if (k >= 0 && (fds[k].revents & POLLIN)) Httpd_Accept(g_listeners[which], which >= L_HTTPS4);
  }

  for (int i = 0; i < HTTPD_CONNECTIONS; ++i) {
    HttpConn* c = &g_conns[i];
    int k = connIndex[i];
    if (k < 0 || c->state == HTTP_FREE || c->socket != fds[k].fd) continue;
    if (Expired(*c, HttpdClock())) {
      Httpd_CloseConn(c, HTTPD_CLOSE_RESET);
      continue;
    }
    short re = fds[k].revents;
    if (re & POLLNVAL) {
      Httpd_CloseConn(c, 1);
      continue;
    }
    bool readable = re & (POLLIN | POLLHUP | POLLERR);
    bool writable = re & (POLLOUT | POLLHUP | POLLERR);
    if (c->handshake) {
      if (!(c->tlsWantWrite ? writable : readable)) continue;
      if (ContinueHandshake(c) != 1) continue;
      readable = true;  // a request may follow the handshake at once
    }
    if (c->state == HTTP_SENDING) {
      if (Httpd_SendPending(c) == 1) Httpd_CloseConn(c, 0);
      continue;
    }
    bool tlsReady = c->tls && (c->tlsWantWrite ? writable : readable);
    if (!readable && !tlsReady && !(c->ssl && SSL_pending(c->ssl) > 0)) continue;
    if (Httpd_ReadRequest(c) != 1) continue;
    Httpd_HandleRequest(c);
    if (c->state == HTTP_READING) EndRequest(c);
    // Send at once what the socket takes; the rest goes in later passes.
    if (c->state == HTTP_SENDING && Httpd_SendPending(c) == 1) Httpd_CloseConn(c, 0);
  }
}

void Httpd_Tick() {
  const int64_t now = HttpdClock();
  for (HttpConn& c : g_conns) {
    if (c.state == HTTP_FREE) continue;
    if (Expired(c, now)) {
      Httpd_CloseConn(&c, HTTPD_CLOSE_RESET);
    } else if (c.state == HTTP_SENDING && Httpd_SendPending(&c) == 1) {
      Httpd_CloseConn(&c, 0);
    }
  }
}

// ---- connections --------------------------------------------------------------

HttpConn* Httpd_Accept(int listener, int tls) {
  HttpConn* c = SlotForNew();
  if (!c) return nullptr;  // every slot sends a reply: waits in the listen backlog
  struct sockaddr_storage addr;
  socklen_t len = sizeof addr;
  int s = accept4(listener, reinterpret_cast<struct sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (s < 0) return nullptr;
  // No group of slow connections can keep a new one out: one that gives
  // way leaves its slot to it.
  if (c->state != HTTP_FREE) Httpd_CloseConn(c, HTTPD_CLOSE_RESET);
  c->socket = s;
  c->family = addr.ss_family;
  memset(c->peer, 0, sizeof c->peer);
  if (addr.ss_family == AF_INET)
    memcpy(c->peer, &reinterpret_cast<struct sockaddr_in*>(&addr)->sin_addr, 4);
  else if (addr.ss_family == AF_INET6)
    memcpy(c->peer, &reinterpret_cast<struct sockaddr_in6*>(&addr)->sin6_addr, 16);
  c->state = HTTP_READING;
  c->body = nullptr;
  c->headerCount = 0;
  c->bodyCount = 0;
  c->file = nullptr;
  c->page = nullptr;
  c->keepAlive = 0;
  c->pending = 0;
  c->plainBytes = 0;
  c->ssl = nullptr;
  c->tls = 0;
  c->handshake = 0;
  c->tlsWantWrite = 0;
  c->tlsFailed = 0;
  c->host[0] = 0;
  c->badHeader = 0;
  c->served = 0;
  c->lastActivity = HttpdClock();
  BeginPhase(c);  // on TLS the handshake's time; the header's begins after it
  if (tls) {
    c->tls = 1;
    c->ssl = g_tls ? SSL_new(g_tls) : nullptr;
    if (!c->ssl || SSL_set_fd(c->ssl, s) != 1) {
      c->tlsFailed = 1;
      Httpd_CloseConn(c, 1);
      ERR_clear_error();
      return nullptr;
    }
    // The handshake is finished by later passes as the client's bytes come.
    c->handshake = 1;
    if (ContinueHandshake(c) < 0) return nullptr;
  }
  return c;
}

int Httpd_ReadRequest(HttpConn* c) {
  if (c->body) {
    int n = Receive(c, c->body + c->bodyCount, c->contentLength - c->bodyCount);
    if (n < 0) return -1;
    c->bodyCount += n;
    c->body[c->bodyCount] = 0;
    return c->bodyCount >= c->contentLength ? 1 : 0;
  }

  int n = Receive(c, c->header + c->headerCount, HTTPD_HEADER_SIZE - c->headerCount);
  if (n < 0) return -1;
  if (n == 0) return 0;
  int before = c->headerCount;
  c->headerCount += n;
  c->header[c->headerCount] = 0;
  // The blank line may straddle two reads; bytes may be NUL.
  int from = before > 3 ? before - 3 : 0;
  const char* blank = static_cast<const char*>(
      memmem(c->header + from, static_cast<size_t>(c->headerCount - from), "\r\n\r\n", 4));
  if (!blank) {
    if (c->headerCount >= HTTPD_HEADER_SIZE) {
      Httpd_CloseConn(c, 1);
      return -1;
    }
    return 0;
  }
  int blankAt = static_cast<int>(blank - c->header);
  int received = c->headerCount;
  int extraAt = blankAt + 4;
  int extra = received - extraAt;
  c->header[blankAt + 2] = 0;  // the last header line keeps its "\r\n"
  c->headerCount = extraAt;

  char* line = Httpd_CutAt(c->header, "\r\n");
  char* target = Httpd_NextField(c->header);
  char* version = target ? Httpd_NextWord(target) : nullptr;
  if (!line || !target || !version) {
    Httpd_CloseConn(c, 1);
    return -1;
  }
  c->method = c->header;
  c->uri = target;
  c->versionMajor = c->versionMinor = 0;
  if (sscanf(version, "HTTP/%d.%d", &c->versionMajor, &c->versionMinor) != 2)
    c->versionMajor = c->versionMinor = 0;
  c->query = nullptr;
  c->boundary = nullptr;

  static const char* const kNames[HTTP_HEADER_COUNT] = {"Host",    "Accept",     "Cookie",     "Content-Type",
                                                        "Content-Length", "Referer", "User-Agent", "Connection",
                                                        "Origin",  "Sec-Fetch-Site", "X-Forwarded-Proto"};
  for (char*& h : c->headers) h = nullptr;
  while (line) {
    char* next = Httpd_CutAt(line, "\r\n");
    if (!next) break;
    char* value = Httpd_NextField(line);
    if (value) {
      for (int i = 0; i < HTTP_HEADER_COUNT; ++i)
        if (UF_StrCaseCmp(line, kNames[i]) == 0) c->headers[i] = value;
    }
    line = next;
  }

  // Host: the value as sent is kept for redirects; the name alone (an IPv6
  // literal keeps its brackets) without the port.
  // Values that would be copied into a Location header must be clean.
  c->badHeader = HasControl(c->uri) || (c->headers[HTTP_HDR_REFERER] && HasControl(c->headers[HTTP_HDR_REFERER]));
  c->host[0] = 0;
  if (char* host = c->headers[HTTP_HDR_HOST]) {
    if (HasControl(host) || strlen(host) >= sizeof c->host) c->badHeader = 1;
    snprintf(c->host, sizeof c->host, "%s", host);
    char* cut = host[0] == '[' ? strchr(host, ']') : host;
    if (cut) cut = strchr(cut, ':');
    if (cut) *cut = 0;
  }

  long long length = extra;
  if (const char* cl = c->headers[HTTP_HDR_CONTENT_LENGTH]) {
    errno = 0;
    length = strtoll(cl, nullptr, 10);
    if (errno == ERANGE) length = HTTPD_BODY_MAX + 1LL;
  }
  if (length > HTTPD_BODY_MAX) {
    Httpd_CloseConn(c, 1);
    return -1;
  }
  BeginPhase(c);  // the body's time begins with the end of the header
  if (length <= 0) {
    c->contentLength = static_cast<int>(length < 0 ? 0 : length);
    c->body = c->buffer;
    c->bodyCount = 0;
    c->body[0] = 0;
  } else {
    c->contentLength = static_cast<int>(length);
    if (c->contentLength + 1 <= HTTPD_BUFFER_SIZE) {
      c->body = c->buffer;
    } else {
      c->body = static_cast<char*>(malloc(static_cast<size_t>(c->contentLength) + 1));
      if (!c->body) {
        Httpd_CloseConn(c, 1);
        return -1;
      }
    }
    int copy = extra < c->contentLength ? extra : c->contentLength;
    memcpy(c->body, c->header + extraAt, static_cast<size_t>(copy));
    c->bodyCount = copy;
    c->body[copy] = 0;
    Credit(c, static_cast<uint64_t>(copy), HttpdClock());  // body bytes that came with the header
  }
  const char* conn = c->headers[HTTP_HDR_CONNECTION];
  c->keepAlive = conn && UF_StrCaseCmp(conn, "Keep-Alive") == 0 ? 1 : 0;
  return c->bodyCount >= c->contentLength ? 1 : 0;
}

int Httpd_Reply(HttpConn* c, const char* format, ...) {
  // A connection closed while its request was handled (a form that
  // restarts the server) gets no reply.
  if (c->state == HTTP_FREE || c->socket < 0) return 0;
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(c->buffer, HTTPD_BUFFER_SIZE, format, ap);
  va_end(ap);
  if (n < 0) n = 0;
  if (n >= HTTPD_BUFFER_SIZE) n = HTTPD_BUFFER_SIZE - 1;
  c->pending = n;
  if (n >= 1) {
    c->state = HTTP_SENDING;
    c->file = nullptr;
    c->lastActivity = HttpdClock();
    BeginPhase(c);  // the answer's time
  }
  return n;
}

int Httpd_SendPending(HttpConn* c) {
  if (c->file && c->pending < HTTPD_BUFFER_SIZE) {
    size_t got = fread(c->buffer + c->pending, 1, static_cast<size_t>(HTTPD_BUFFER_SIZE - c->pending), c->file);
    c->pending += static_cast<int>(got);
    if (got == 0 || feof(c->file) || ferror(c->file)) {
      fclose(c->file);
      c->file = nullptr;
    }
  }
  if (c->pending <= 0) return 0;
  ProgressWatch watch(c);
  int sent;
  if (c->tls) {
    sent = SSL_write(c->ssl, c->buffer, c->pending);
    if (sent <= 0) {
      if (TlsRetry(c, sent)) return 0;
      Httpd_CloseConn(c, 1);
      return -1;
    }
    c->tlsWantWrite = 0;
  } else {
    ssize_t r = send(c->socket, c->buffer, static_cast<size_t>(c->pending), MSG_NOSIGNAL);
    if (r < 0) {
      if (WouldBlock(errno)) return 0;
      Httpd_CloseConn(c, 1);
      return -1;
    }
    sent = static_cast<int>(r);
    c->plainBytes += static_cast<uint64_t>(sent);
  }
  c->pending -= sent;
  if (c->pending <= 0) {
    c->pending = 0;
    return c->file ? 0 : 1;
  }
  memmove(c->buffer, c->buffer + sent, static_cast<size_t>(c->pending));
  return 0;
}

void Httpd_CloseConn(HttpConn* c, int hard) {
  if (c->state == HTTP_FREE) return;
  if (c->socket != -1) {
    if (c->body && c->body != c->buffer) free(c->body);
    c->body = nullptr;
    if (c->file) fclose(c->file);
    c->file = nullptr;
    free(c->page);
    c->page = nullptr;
  }
  if (!hard && c->state == HTTP_SENDING && c->keepAlive) {
    c->state = HTTP_READING;
    c->headerCount = 0;
    c->bodyCount = 0;
    c->pending = 0;
    c->served = 1;
    BeginPhase(c);  // the next request's header time
    return;
  }
  const bool reset = hard == HTTPD_CLOSE_RESET;
  if (c->ssl) {
    // A connection that ends normally says so; one that failed or is reset
    // does not.
    if (!c->handshake && !c->tlsFailed && !reset) SSL_shutdown(c->ssl);
    SSL_free(c->ssl);
    c->ssl = nullptr;
    ERR_clear_error();
  }
  if (c->socket >= 0) {
    if (reset) {
      // What the peer left unread is dropped with it, not kept in the kernel.
      struct linger now = {1, 0};
      setsockopt(c->socket, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    } else if (hard) {
      shutdown(c->socket, SHUT_RDWR);
    }
    close(c->socket);
  }
  c->socket = -1;
  c->pending = 0;
  c->handshake = 0;
  c->state = HTTP_FREE;
}

// ---- header text helpers --------------------------------------------------------

char* Httpd_CutAt(char* text, const char* pattern) {
  if (!text || !*text) return nullptr;
  char* p = strstr(text, pattern);
  if (!p) return nullptr;
  *p = 0;
  return p + strlen(pattern);
}

namespace {
char* NextToken(char* text, const char* enders) {
  if (!text || !*text) return nullptr;
  char* p = text;
  while (*p && !strchr(enders, *p)) ++p;
  if (!*p) return p;
  *p++ = 0;
  while (*p == ' ') ++p;
  return p;
}
}  // namespace

char* Httpd_NextField(char* text) { return NextToken(text, " :"); }
char* Httpd_NextWord(char* text) { return NextToken(text, " "); }

// ---- certificate ------------------------------------------------------------

int Httpd_SaveCert(const WebFormField* field) {
  if (!field || !field->valueStart || !field->valueEnd) return 0;
  long length = field->valueEnd - field->valueStart + 1;
  if (length <= 0 || length > 20000) return 0;
  // The upload must hold a certificate and its key: both are loaded into a
  // scratch context before the working file is replaced.
  bool ok = false;
  if (SSL_CTX* scratch = SSL_CTX_new(TLS_server_method())) {
    BIO* bio = BIO_new_mem_buf(field->valueStart, static_cast<int>(length));
    X509* cert = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    bio = BIO_new_mem_buf(field->valueStart, static_cast<int>(length));
    EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    ok = cert && key && SSL_CTX_use_certificate(scratch, cert) == 1 &&
         SSL_CTX_use_PrivateKey(scratch, key) == 1 && SSL_CTX_check_private_key(scratch) == 1;
    X509_free(cert);
    EVP_PKEY_free(key);
    SSL_CTX_free(scratch);
  }
  ERR_clear_error();
  if (!ok) return 0;
  char path[HTTPD_PATH_SIZE + 32];
  snprintf(path, sizeof path, "%s/httpd/cert_web.pem", g_installDir);
  return UF_FileReplace(path, field->valueStart, static_cast<size_t>(length), 0600);
}

// ---- module state -------------------------------------------------------------

const char* Httpd_InstallDir() { return g_installDir; }
int Httpd_HttpsPort() { return g_httpsPort; }
int Httpd_HttpsOn() { return g_httpsOn; }
HttpConn* Httpd_Connection(int slot) {
  return slot >= 0 && slot < HTTPD_CONNECTIONS ? &g_conns[slot] : nullptr;
}
int Httpd_ListenerFd(int index) { return index >= 0 && index < L_COUNT ? g_listeners[index] : -1; }
uint8_t Httpd_ListeningSet() { return g_loggedSet; }
ssl_ctx_st* Httpd_TlsContext() { return g_tls; }
