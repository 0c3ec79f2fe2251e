// Notification mail: spool files per event level and the SMTP client.
#include "events/mail.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <iterator>
#include <string>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <arpa/inet.h>

#include "core/crypt.h"
#include "core/svc.h"
#include "core/util.h"
#include "events/evtdef.h"
#include "events/evtlog.h"
#include "web/websys.h"

MailSettings MailSetting;
MailOpsTable MailOps;
MailTimeouts MailTimeout = {5000, 10000, 60000};

namespace {

constexpr int kLevels = 3;
constexpr size_t kLocationBytes = 260;
constexpr size_t kContactorBytes = 132;
constexpr size_t kFromFallbackBytes = 32;
constexpr size_t kHeaderLine = 998;  // longest header line before it is folded

// ---- texts -------------------------------------------------------------------

// A setting or UPS text as it goes into a mail or a command: control
// characters become '?', so no text can end a line or a command early.
void CleanText(char* out, size_t size, const char* in) {
  size_t n = 0;
  for (const char* p = in ? in : ""; *p && n + 1 < size; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    out[n++] = (c < 0x20 || c == 0x7F) ? '?' : *p;
  }
  out[n] = 0;
}

// A wide text (at most inMax characters) in the locale's multibyte encoding,
// in at most size - 1 bytes and whole characters; characters the locale
// cannot write and control characters become '?'.
void WideToText(char* out, size_t size, const wchar_t* in, size_t inMax) {
  size_t n = 0;
  mbstate_t st{};
  for (size_t i = 0; i < inMax && in[i]; ++i) {
    char mb[MB_LEN_MAX];
    wchar_t w = in[i];
    size_t k = (w < 0x20 || w == 0x7F) ? static_cast<size_t>(-1) : wcrtomb(mb, w, &st);
    if (k == static_cast<size_t>(-1)) {
      st = mbstate_t{};
      mb[0] = '?';
      k = 1;
    }
    if (n + k + 1 > size) break;
    memcpy(out + n, mb, k);
    n += k;
  }
  out[n] = 0;
}

// "Mail Sender=", or the first 32 bytes of "Contactor=" when it is empty:
// the same in the MAIL FROM command and the From line.
void FromAddress(char* out, size_t size) {
  if (MailSetting.from[0]) {
    CleanText(out, size, MailSetting.from);
    return;
  }
  char contact[kFromFallbackBytes + 1];
  WideToText(contact, sizeof contact, WebSysInfoText.contactor, std::size(WebSysInfoText.contactor));
  CleanText(out, size, contact);
}

// "Domain=", or the host name when it is empty.
void EhloName(char* out, size_t size) {
  CleanText(out, size, MailSetting.domain[0] ? MailSetting.domain : SvcSystemInfo.hostName);
}

bool Qualifies(const MailReceiver& r, int level) { return r.level >= 1 && r.level <= level && r.address[0]; }

int ReceiverCount() { return MailSetting.receiverCount > MAIL_RECEIVERS ? MAIL_RECEIVERS : MailSetting.receiverCount; }

bool AnyReceiver(int level) {
  for (int i = 0; i < ReceiverCount(); ++i)
    if (Qualifies(MailSetting.receivers[i], level)) return true;
  return false;
}

// ---- spool files ---------------------------------------------------------------

// A regular file of this process's user with a single name: the only kind
// of spool the service appends to, rewrites or sends.
bool OwnSpool(int fd, struct stat* st) {
  return fstat(fd, st) == 0 && S_ISREG(st->st_mode) && st->st_uid == geteuid() && st->st_nlink == 1;
}

// Opens the spool for appending; *fresh when it is new (or empty) and needs
// its header. Anything else at the name (a planted link or file) is
// replaced by a fresh file, mode 0600.
int OpenSpool(const char* path, bool* fresh) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = open(path, O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      struct stat st;
      if (OwnSpool(fd, &st)) {
        *fresh = st.st_size == 0;
        return fd;
      }
      close(fd);
      if (unlink(path) != 0 && errno != ENOENT) return -1;
    } else if (errno == ELOOP || errno == ENXIO || errno == EWOULDBLOCK) {
      if (unlink(path) != 0 && errno != ENOENT) return -1;
    } else if (errno != ENOENT) {
      return -1;
    }
    fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      fchmod(fd, 0600);
      *fresh = true;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

// The whole spool of a level; false when there is none of this process's own.
bool ReadSpool(int level, std::string* out) {
  char path[320];
  Mail_SpoolPath(path, sizeof path, level);
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = OwnSpool(fd, &st);
  out->clear();
  if (ok) {
    out->reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
    ok = n == 0;
  }
  close(fd);
  return ok;
}

// Replaces the spool's content in place (the same checked file).
void RewriteSpool(int level, const std::string& text) {
  char path[320];
  Mail_SpoolPath(path, sizeof path, level);
  int fd = open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (OwnSpool(fd, &st) && UF_WriteAt(fd, text.data(), text.size(), 0)) {
    if (ftruncate(fd, static_cast<off_t>(text.size())) != 0) {
      // a longer old tail stays; the next rewrite or removal takes it
    }
  }
  close(fd);
}

// Where the event blocks of a spool begin (after the header block).
size_t FirstBlock(const std::string& spool) {
  static const char kBlock[] = "Event level: ";
  if (spool.compare(0, sizeof kBlock - 1, kBlock) == 0) return 0;
  size_t at = spool.find(std::string("\r\n") + kBlock);
  return at == std::string::npos ? spool.size() : at + 2;
}

// The text of a line of the block that begins with key, or empty.
std::string BlockLine(const std::string& blocks, const char* key) {
  size_t at = blocks.find(key);
  if (at == std::string::npos) return {};
  at += strlen(key);
  size_t end = blocks.find("\r\n", at);
  return blocks.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// A spool whose oldest events are gone: the header block is the one the
// first remaining event would have written (its text in the subject, its
// date), the host, site and UPS lines as they were.
std::string Rehead(const std::string& header, const std::string& blocks) {
  size_t body = header.find("\r\n\r\n");
  body = body == std::string::npos ? header.size() : body + 4;
  const std::string when = BlockLine(blocks, "Event time: ");
  std::string out = std::string("Subject: ") + SVC_PRODUCT + " Notification: " + BlockLine(blocks, "Event message: ") +
                    "\r\nDate: " + when.substr(0, 10) + "\r\n\r\n";
  return out + header.substr(body) + blocks;
}

bool SessionSending(int level);

// A spool past its bound loses its oldest events, down to three quarters of
// it, with a notice in the event log (level 0: it is neither mailed nor
// texted, and takes no event's place in the SMS slot).
void BoundSpool(int level, off_t size) {
  if (size <= static_cast<off_t>(MAIL_SPOOL_MAX) || SessionSending(level)) return;
  std::string spool;
  if (!ReadSpool(level, &spool)) return;
  const size_t first = FirstBlock(spool);
  size_t keepFrom = first;
  int dropped = 0;
  while (spool.size() - keepFrom + first > MAIL_SPOOL_KEEP) {
    size_t next = spool.find("\r\nEvent level: ", keepFrom);
    if (next == std::string::npos) break;  // the newest event always stays
    keepFrom = next + 2;
    ++dropped;
  }
  if (dropped == 0) return;
  RewriteSpool(level, Rehead(spool.substr(0, first), spool.substr(keepFrom)));
  char notice[160];
  snprintf(notice, sizeof notice, "Mail spool of level %d passed %d KiB: its %d oldest events were dropped", level,
           static_cast<int>(MAIL_SPOOL_MAX / 1024), dropped);
  if (EvtLogOps.Add) EvtLogOps.Add(EVT_FREE_TEXT, 0, notice);
}

// After the server took the first sent bytes of the spool: the spool goes,
// or, when events came in meanwhile, keeps only those.
void SettleSpool(int level, size_t sent) {
  std::string spool;
  if (!ReadSpool(level, &spool)) return;
  char path[320];
  Mail_SpoolPath(path, sizeof path, level);
  if (spool.size() <= sent) {
    remove(path);
    return;
  }
  RewriteSpool(level, Rehead(spool.substr(0, FirstBlock(spool)), spool.substr(sent)));
}

void Mail_AddEvent(int kind, int index, const char* serial, const char* model, ...) {
  const char* args[EVTLOG_MAX_ARGS];
  int argCount = 0;
  va_list ap;
  va_start(ap, model);
  while (argCount < EVTLOG_MAX_ARGS) {
    const char* a = va_arg(ap, const char*);
    if (!a) break;
    args[argCount++] = a;
  }
  va_end(ap);

  int code;
  if (kind == MAIL_KIND_SYSTEM && index >= 0 && index < EVT_SYSTEM_COUNT) code = index;
  else if (kind == MAIL_KIND_UPS && index >= 0 && index < EVT_UPS_COUNT) code = EVT_UPS_BASE + index;
  else return;
  const int level = EvtDef_Level(code);
  const char* format = EvtDef_Text(code);
  if (level < 1 || level > kLevels || !format[0]) return;

  char path[320];
  Mail_SpoolPath(path, sizeof path, level);
  bool fresh = false;
  int fd = OpenSpool(path, &fresh);
  if (fd < 0) return;
  FILE* f = fdopen(fd, "a");
  if (!f) {
    close(fd);
    return;
  }

  char text[EVTLOG_TEXT_SIZE];
  EvtLog_FillText(text, sizeof text, format, args, argCount);
  time_t now = Svc_Now();
  struct tm tm {};
  localtime_r(&now, &tm);
  if (fresh) {
    char host[sizeof SvcSystemInfo.hostName];
    CleanText(host, sizeof host, SvcSystemInfo.hostName);
    char location[kLocationBytes + 1], contactor[kContactorBytes + 1];
    WideToText(location, sizeof location, WebSysInfoText.location, std::size(WebSysInfoText.location));
    WideToText(contactor, sizeof contactor, WebSysInfoText.contactor, std::size(WebSysInfoText.contactor));
    fprintf(f, "Subject: %s Notification: %s\r\n", SVC_PRODUCT, text);
    fprintf(f, "Date: %02d/%02d/%04d\r\n\r\n", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900);
    fprintf(f, "Host Name: %s\r\n", host);
    fprintf(f, "Location: %s, Contactor: %s\r\n", location, contactor);
    char id[80];
    CleanText(id, sizeof id, serial);
    if (id[0]) fprintf(f, "S.N.: %s\r\n", id);
    CleanText(id, sizeof id, model);
    if (id[0]) fprintf(f, "Model: %s\r\n", id);
  }
  fprintf(f, "Event level: %s\r\n", EvtLog_LevelWord(level));
  fprintf(f, "Event time: %02d/%02d/%04d %02d:%02d:%02d\r\n", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900,
          tm.tm_hour, tm.tm_min, tm.tm_sec);
  fprintf(f, "Event message: %s\r\n\r\n", text);
  fflush(f);
  struct stat st;
  const off_t size = fstat(fd, &st) == 0 ? st.st_size : 0;
  fclose(f);
  BoundSpool(level, size);
}

// ---- the SMTP session ------------------------------------------------------------
//
// One session at a time, stepped by the main loop: each step does only what
// the socket (or the lookup) allows at once, so neither a mail server nor a
// resolver nor the network can hold the loop. A session ends by a reply
// that ends the dialogue, by the per-reply bound, the connect bound or the
// whole-session bound. Only a message the server took (250 after the data)
// removes its spool; every other end keeps it for a later pass, after a
// pause that doubles from 5 s to 5 min.

enum SmtpState : int {
  ST_GREETING = 1,
  ST_EHLO = 2,
  ST_RCPT = 3,
  ST_DATA = 4,
  ST_MESSAGE = 5,
  ST_SENT = 9,
  ST_QUIT = 10,
  ST_AUTH = 16,
  ST_USER = 17,
  ST_PASSWORD = 18,
  ST_STARTTLS = 32,
  ST_EHLO_TLS = 33,
};

enum SessionPhase { PH_IDLE, PH_RESOLVE, PH_CONNECT, PH_TLS, PH_TALK };

constexpr int kMaxAddresses = 8;
constexpr int64_t kRetryFirstMs = 5000;
constexpr int64_t kRetryMaxMs = 300000;
constexpr int kRoundsPerStep = 8;

struct Address {
  struct sockaddr_storage addr;
  socklen_t len;
};

struct Session {
  SessionPhase phase = PH_IDLE;
  int level = 0;
  int fd = -1;
  int state = ST_GREETING;
  uint16_t caps = 0;
  int heloRetries = 0;
  int nextReceiver = 0;  // the receiver after the last RCPT TO sent
  int accepted = 0;      // receivers the server took
  bool delivered = false;
  bool ending = false;        // the session ends once `out` is written
  bool serverIsName = false;  // "Server=" is a host name (sent as SNI)
  SmtpReply reply;
  char left[1024];  // bytes that came after the last reply
  size_t leftLen = 0;
  std::string out;  // to be written; outAt bytes of it are
  size_t outAt = 0;
  Address addrs[kMaxAddresses];
  int addrCount = 0, addrNext = 0;
  int64_t deadline = 0;    // of the lookup, or of the reply (handshake) awaited
  int64_t connectEnd = 0;  // of the connect, over all addresses
  int64_t sessionEnd = 0;
  size_t sentBytes = 0;  // spool bytes in the message
};

Session g_session;
int64_t g_retryDelayMs;  // 0 after a message went out
int64_t g_nextTryMs;     // no session starts before

bool SessionSending(int level) { return g_session.phase != PH_IDLE && g_session.level == level; }

// ---- name lookup ----
// The one host-name lookup, asynchronous (getaddrinfo_a, no notification,
// its state polled). A session that gives up on it leaves it running, and
// the next session for the same name waits on it rather than asking again.

enum LookupState { LK_NONE, LK_RUNNING, LK_DONE };

struct Lookup {
  struct gaicb cb;
  struct addrinfo hints;
  char name[MAIL_TEXT];
  char port[8];
  LookupState state = LK_NONE;
};
Lookup g_lookup;

void Lookup_Drop() {
  if (g_lookup.state == LK_DONE && g_lookup.cb.ar_result) freeaddrinfo(g_lookup.cb.ar_result);
  g_lookup.cb.ar_result = nullptr;
  g_lookup.state = LK_NONE;
}

bool Lookup_Is(const char* name, const char* port) {
  return strcmp(g_lookup.name, name) == 0 && strcmp(g_lookup.port, port) == 0;
}

// false when it cannot be started (another name is still being looked up).
bool Lookup_Start(const char* name, const char* port) {
  if (g_lookup.state == LK_RUNNING) return Lookup_Is(name, port);
  Lookup_Drop();
  snprintf(g_lookup.name, sizeof g_lookup.name, "%s", name);
  snprintf(g_lookup.port, sizeof g_lookup.port, "%s", port);
  g_lookup.hints = addrinfo{};
  g_lookup.hints.ai_family = AF_UNSPEC;
  g_lookup.hints.ai_socktype = SOCK_STREAM;
  g_lookup.hints.ai_flags = AI_NUMERICSERV;
  g_lookup.cb = gaicb{};
  g_lookup.cb.ar_name = g_lookup.name;
  g_lookup.cb.ar_service = g_lookup.port;
  g_lookup.cb.ar_request = &g_lookup.hints;
  struct gaicb* list[] = {&g_lookup.cb};
  if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) return false;
  g_lookup.state = LK_RUNNING;
  return true;
}

// true once the lookup has ended (its answer, or none, in cb.ar_result).
bool Lookup_Done() {
  if (g_lookup.state == LK_RUNNING) {
    const int e = gai_error(&g_lookup.cb);
    if (e == EAI_INPROGRESS) return false;
    if (e != 0) g_lookup.cb.ar_result = nullptr;
    g_lookup.state = LK_DONE;
  }
  return true;
}

void TakeAddresses(Session& s, const struct addrinfo* list) {
  for (const struct addrinfo* a = list; a && s.addrCount < kMaxAddresses; a = a->ai_next) {
    if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof(struct sockaddr_storage))
      continue;
    Address& to = s.addrs[s.addrCount++];
    memcpy(&to.addr, a->ai_addr, a->ai_addrlen);
    to.len = a->ai_addrlen;
  }
}

// ---- output ----

void Queue(Session& s, const char* data, size_t n) { s.out.append(data, n); }

__attribute__((format(printf, 2, 3))) void QueueF(Session& s, const char* format, ...) {
  char line[600];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  if (n > 0) Queue(s, line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
}

// "AUTH LOGIN" answer: the Base64 of a text, then CR LF.
void QueueBase64(Session& s, const char* text) {
  char out[4 * ((MAIL_TEXT + 2) / 3) + 3];
  int n = CryptOps.B64_Encode ? CryptOps.B64_Encode(out, reinterpret_cast<const uint8_t*>(text),
                                                      static_cast<int>(strnlen(text, MAIL_TEXT - 1)))
                              : 0;
  out[n] = '\r';
  out[n + 1] = '\n';
  Queue(s, out, static_cast<size_t>(n) + 2);
}

// The message of state 5: From and To lines, the spool of the level with
// dot-stuffing (a line that begins with "." gets a second one, so no line
// of the spool can end the data), and the end of the data.
void QueueMessage(Session& s) {
  char from[MAIL_TEXT + 1];
  FromAddress(from, sizeof from);
  std::string& w = s.out;
  w += "From: ";
  w += from;
  w += "\r\n";
  // Every receiver of the level, each with a ";"; a line that would grow
  // past the header limit is folded.
  w += "To: ";
  size_t lineLength = 4;
  bool first = true;
  for (int i = 0; i < ReceiverCount(); ++i) {
    const MailReceiver& r = MailSetting.receivers[i];
    if (!Qualifies(r, s.level)) continue;
    char address[MAIL_TEXT];
    CleanText(address, sizeof address, r.address);
    size_t n = strlen(address);
    if (!first) {
      w += ';';
      ++lineLength;
      if (lineLength + n + 1 > kHeaderLine) {
        w += "\r\n ";
        lineLength = 1;
      }
    }
    w.append(address, n);
    lineLength += n;
    first = false;
  }
  w += "\r\n";
  std::string spool;
  if (ReadSpool(s.level, &spool)) {
    s.sentBytes = spool.size();
    w.reserve(w.size() + spool.size() + spool.size() / 64 + 8);
    bool lineStart = true;
    for (char c : spool) {
      if (lineStart && c == '.') w += '.';
      w += c;
      lineStart = c == '\n';
    }
  }
  w += "\r\n.\r\n";
}

// Queues the next receiver's RCPT TO; false when none is left.
bool QueueNextRcpt(Session& s) {
  for (int i = s.nextReceiver; i < ReceiverCount(); ++i) {
    if (!Qualifies(MailSetting.receivers[i], s.level)) continue;
    s.nextReceiver = i + 1;
    char address[MAIL_TEXT];
    CleanText(address, sizeof address, MailSetting.receivers[i].address);
    bool more = false;
    for (int j = i + 1; j < ReceiverCount() && !more; ++j) more = Qualifies(MailSetting.receivers[j], s.level);
    s.state = more ? ST_RCPT : ST_DATA;
    QueueF(s, "RCPT TO: <%s>\r\n", address);
    return true;
  }
  return false;
}

void QueueMailFrom(Session& s) {
  char from[MAIL_TEXT + 1];
  FromAddress(from, sizeof from);
  s.state = ST_RCPT;
  QueueF(s, "MAIL FROM: <%s>\r\n", from);
}

void QueueEhlo(Session& s, const char* verb, const char* name) {
  char text[MAIL_TEXT];
  if (name) CleanText(text, sizeof text, name);
  else EhloName(text, sizeof text);
  QueueF(s, "%s %s\r\n", verb, text);
}

// Writes what the socket takes; false when the connection failed.
bool Flush(Session& s) {
  while (s.outAt < s.out.size()) {
    const char* p = s.out.data() + s.outAt;
    const size_t n = s.out.size() - s.outAt;
    ssize_t k;
    if (SmtpTls_IsActive()) {
      k = SmtpTls_Write(p, n);
    } else {
      k = send(s.fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) k = 0;
    }
    if (k < 0) return false;
    if (k == 0) return true;  // the rest when the socket takes it
    s.outAt += static_cast<size_t>(k);
  }
  s.out.clear();
  s.out.shrink_to_fit();
  s.outAt = 0;
  return true;
}

// ---- input ----

// Feeds the bytes left from the last read, then what the socket has, to
// the reply in progress: 1 when it is complete, 0 not yet, -1 when the
// connection ended or failed.
int ReadReply(Session& s) {
  if (s.leftLen > 0) {
    size_t used = s.reply.Feed(s.left, s.leftLen);
    memmove(s.left, s.left + used, s.leftLen - used);
    s.leftLen -= used;
    if (s.reply.Done()) return 1;
  }
  char buf[sizeof s.left];
  for (int i = 0; i < 4; ++i) {
    ssize_t n;
    if (SmtpTls_IsActive()) {
      n = SmtpTls_Read(buf, sizeof buf);
      if (n < 0) return -1;
    } else {
      n = recv(s.fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n == 0) return -1;
      if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
    }
    if (n == 0) return 0;
    size_t used = s.reply.Feed(buf, static_cast<size_t>(n));
    if (s.reply.Done()) {
      // A server that answers ahead: the rest waits for the next reply.
      s.leftLen = static_cast<size_t>(n) - used;
      memcpy(s.left, buf + used, s.leftLen);
      return 1;
    }
  }
  return 0;
}

// ---- the dialogue ----

void EndWith(Session& s, const char* command) {
  if (command) Queue(s, command, strlen(command));
  s.ending = true;
}

// The reply-driven dialogue: one complete reply, by state.
void HandleReply(Session& s) {
  const bool secret = MailSetting.password[0] != 0;
  const bool ehlo = s.state == ST_EHLO || s.state == ST_EHLO_TLS;
  if (ehlo) s.caps |= s.reply.Capabilities();
  const int c = s.reply.Code();
  switch (s.state) {
    case ST_GREETING:
      if (c != 220) {
        EndWith(s, "RSET\r\n");
        break;
      }
      s.heloRetries = 0;
      s.caps = 0;
      s.state = ST_EHLO;
      QueueEhlo(s, "EHLO", nullptr);
      break;
    case ST_EHLO:
      if (c == 250) {
        if ((s.caps & SMTP_CAP_STARTTLS) && secret) {
          s.state = ST_STARTTLS;
          QueueF(s, "STARTTLS\r\n");
        } else if ((s.caps & SMTP_CAP_LOGIN) && secret) {
          s.state = ST_AUTH;
          QueueF(s, "AUTH LOGIN\r\n");
        } else {
          QueueMailFrom(s);
        }
      } else if (c == 500) {
        QueueEhlo(s, "HELO", nullptr);
      } else if (c == 501) {
        if (++s.heloRetries <= 2) QueueEhlo(s, "HELO", SVC_PRODUCT);
        else EndWith(s, "RSET\r\n");
      } else {
        EndWith(s, "RSET\r\n");
      }
      break;
    case ST_STARTTLS:
      // Bytes that came in clear behind the 220 are not taken into TLS.
      s.leftLen = 0;
      if (c == 220 && SmtpTls_Start(s.fd, s.serverIsName ? MailSetting.server : nullptr)) {
        s.phase = PH_TLS;
      } else {
        EndWith(s, nullptr);
      }
      break;
    case ST_EHLO_TLS:
      if (c == 250) {
        if (s.caps & SMTP_CAP_LOGIN) {
          s.state = ST_AUTH;
          QueueF(s, "AUTH LOGIN\r\n");
        } else {
          QueueMailFrom(s);
        }
      } else if (c == 500) {
        EndWith(s, "RSET\r\n");
      }
      break;  // any other reply: wait for the next one
    case ST_AUTH:
      // The first challenge asks for the user name, whatever its text.
      if (c == 334) {
        s.state = ST_USER;
        QueueBase64(s, MailSetting.account);
      } else {
        EndWith(s, "RSET\r\n");
      }
      break;
    case ST_USER:
      if (c == 334) {
        s.state = ST_PASSWORD;
        QueueBase64(s, MailSetting.password);
      } else {
        EndWith(s, "RSET\r\n");
      }
      break;
    case ST_PASSWORD:
      if (c == 235 || c == 250) QueueMailFrom(s);
      else EndWith(s, "RSET\r\n");
      break;
    case ST_RCPT:
    case ST_DATA:
      if (s.nextReceiver > 0) {
        // A receiver the server refuses for good (5xx) is skipped; any
        // other refusal is passing, and the whole message waits for a
        // later pass.
        if (c == 250 || c == 251) {
          ++s.accepted;
        } else if (c < 500 || c > 599) {
          EndWith(s, nullptr);
          break;
        }
      } else if (c != 250) {  // MAIL FROM refused
        EndWith(s, nullptr);
        break;
      }
      if (s.state == ST_RCPT && QueueNextRcpt(s)) break;
      if (s.accepted == 0) {
        EndWith(s, nullptr);
        break;
      }
      s.state = ST_MESSAGE;
      QueueF(s, "DATA\r\n");
      break;
    case ST_MESSAGE:
      if (c == 354) {
        s.state = ST_SENT;
        QueueMessage(s);
      } else {
        EndWith(s, nullptr);
      }
      break;
    case ST_SENT:
      if (c == 250) {
        s.delivered = true;
        s.state = ST_QUIT;
        QueueF(s, "QUIT\r\n");
      } else {
        EndWith(s, nullptr);
      }
      break;
    case ST_QUIT:
      EndWith(s, c == 221 ? nullptr : "RSET\r\n");
      break;
    default:
      EndWith(s, nullptr);
      break;
  }
}

// ---- session life ----

void StartFrom(int level);

void Finish(Session& s) {
  if (s.fd >= 0) close(s.fd);
  SmtpTls_Free();
  const bool delivered = s.delivered;
  const int level = s.level;
  const size_t sent = s.sentBytes;
  s = Session{};
  if (!delivered) {
    g_retryDelayMs = g_retryDelayMs == 0 ? kRetryFirstMs : std::min(2 * g_retryDelayMs, kRetryMaxMs);
    g_nextTryMs = Svc_MonoMs() + g_retryDelayMs;
    return;
  }
  SettleSpool(level, sent);
  g_retryDelayMs = 0;
  g_nextTryMs = 0;
  StartFrom(level + 1);
}

// Connects to the next address; false when none is left.
bool ConnectNext(Session& s) {
  while (s.addrNext < s.addrCount) {
    const Address& a = s.addrs[s.addrNext++];
    int fd = socket(a.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    if (connect(fd, reinterpret_cast<const struct sockaddr*>(&a.addr), a.len) == 0 || errno == EINPROGRESS) {
      s.fd = fd;
      s.phase = PH_CONNECT;
      return true;
    }
    close(fd);
  }
  return false;
}

void BeginConnect(Session& s) {
  s.connectEnd = Svc_MonoMs() + MailTimeout.connectMs;
  if (!ConnectNext(s)) Finish(s);
}

void ExpectReply(Session& s, bool ehlo) {
  s.reply.Begin(ehlo);
  s.deadline = Svc_MonoMs() + MailTimeout.replyMs;
}

void StartSession(int level) {
  Session& s = g_session;
  s = Session{};
  s.level = level;
  s.phase = PH_RESOLVE;
  const int64_t now = Svc_MonoMs();
  s.sessionEnd = now + MailTimeout.sessionMs;
  s.deadline = now + MailTimeout.replyMs;
  SmtpTls_Reset();
  if (!MailSetting.server[0]) return Finish(s);
  char port[8];
  snprintf(port, sizeof port, "%u", static_cast<unsigned>(MailSetting.port));
  // An address needs no lookup; a host name is looked up beside the loop.
  struct addrinfo hints {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  struct addrinfo* list = nullptr;
  int r = getaddrinfo(MailSetting.server, port, &hints, &list);
  if (r == 0) {
    TakeAddresses(s, list);
    freeaddrinfo(list);
    return BeginConnect(s);
  }
  if (r != EAI_NONAME || !Lookup_Start(MailSetting.server, port)) return Finish(s);
  s.serverIsName = true;
}

// Starts the session of the first level from `level` on with a spool;
// spools that no receiver wants are dropped.
void StartFrom(int level) {
  for (; level <= kLevels; ++level) {
    char path[320];
    Mail_SpoolPath(path, sizeof path, level);
    if (!UF_FileExist(path)) continue;
    if (!AnyReceiver(level)) {
      remove(path);
      continue;
    }
    return StartSession(level);
  }
}

void Mail_SendAll() {
  if (g_session.phase != PH_IDLE) return;
  if (Svc_MonoMs() < g_nextTryMs) {
    // While the server waits out its pause, spools nobody wants still go.
    for (int level = 1; level <= kLevels; ++level) {
      char path[320];
      Mail_SpoolPath(path, sizeof path, level);
      if (!AnyReceiver(level)) remove(path);
    }
    return;
  }
  StartFrom(1);
}

// The dialogue part of a step: write, read, act, as far as the socket goes.
void Talk(Session& s) {
  for (int round = 0; round < kRoundsPerStep; ++round) {
    if (s.phase == PH_TLS) {
      const int r = SmtpTls_Handshake();
      if (r < 0) return Finish(s);
      if (r == 0) break;
      s.phase = PH_TALK;
      s.state = ST_EHLO_TLS;
      QueueEhlo(s, "EHLO", nullptr);
      ExpectReply(s, true);
    }
    if (!Flush(s)) return Finish(s);
    if (s.outAt < s.out.size()) break;
    if (s.ending) return Finish(s);
    const int r = ReadReply(s);
    if (r < 0) return Finish(s);
    if (r == 0) break;
    HandleReply(s);
    if (s.phase == PH_TLS) {
      s.deadline = Svc_MonoMs() + MailTimeout.replyMs;  // the handshake's bound
    } else if (!s.ending) {
      ExpectReply(s, s.state == ST_EHLO || s.state == ST_EHLO_TLS);
    }
  }
  if (Svc_MonoMs() >= s.deadline) Finish(s);
}

void Mail_Step() {
  Session& s = g_session;
  if (s.phase == PH_IDLE) return;
  const int64_t now = Svc_MonoMs();
  if (now >= s.sessionEnd) return Finish(s);
  if (s.phase == PH_RESOLVE) {
    if (!Lookup_Done()) {
      if (now >= s.deadline) Finish(s);
      return;
    }
    TakeAddresses(s, g_lookup.cb.ar_result);
    Lookup_Drop();
    return BeginConnect(s);
  }
  if (s.phase == PH_CONNECT) {
    struct pollfd p = {s.fd, POLLOUT, 0};
    if (poll(&p, 1, 0) == 0) {
      if (now >= s.connectEnd) Finish(s);
      return;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
      close(s.fd);
      s.fd = -1;
      if (now >= s.connectEnd || !ConnectNext(s)) Finish(s);
      return;
    }
    s.phase = PH_TALK;
    s.state = ST_GREETING;
    ExpectReply(s, false);
  }
  Talk(s);
}

}  // namespace

int Mail_PollFill(struct pollfd* fds, int max, int* busy) {
  const Session& s = g_session;
  if (max < 1 || s.fd < 0 || s.phase == PH_IDLE) return 0;
  short events = 0;
  if (s.phase == PH_CONNECT) {
    events = POLLOUT;
  } else if (s.phase == PH_TLS) {
    events = SmtpTls_Want();
  } else {
    events = s.outAt < s.out.size() ? POLLOUT : POLLIN;
    if (SmtpTls_IsActive()) {
      events |= SmtpTls_Want();
      if (SmtpTls_Pending() > 0) *busy = 1;  // bytes inside the TLS library
    }
    if (s.leftLen > 0) *busy = 1;
  }
  fds[0] = pollfd{s.fd, events ? events : static_cast<short>(POLLIN), 0};
  return 1;
}

int Mail_SessionActive() { return g_session.phase != PH_IDLE; }

namespace {

// Ends a session in progress without a word and forgets the pause.
void Mail_Abandon() {
  if (g_session.fd >= 0) close(g_session.fd);
  SmtpTls_Free();
  g_session = Session{};
  Mail_ResetRetry();
}

}  // namespace

void Mail_ResetRetry() {
  g_retryDelayMs = 0;
  g_nextTryMs = 0;
}

int64_t Mail_RetryDelayMs() { return g_retryDelayMs; }

// ---- reply reassembly ------------------------------------------------------------

uint16_t Smtp_LineCapabilities(const char* line) {
  if (strlen(line) < 5) return 0;
  const char* p = line + 4;
  auto word = [](const char*& q, size_t* n) {
    while (*q == ' ' || *q == '=') ++q;
    const char* start = q;
    while (*q && *q != ' ' && *q != '=') ++q;
    *n = static_cast<size_t>(q - start);
    return start;
  };
  auto is = [](const char* w, size_t n, const char* k) { return strlen(k) == n && strncasecmp(w, k, n) == 0; };
  size_t n;
  const char* w = word(p, &n);
  if (w != line + 4) return 0;  // the keyword starts at the fifth character
  if (is(w, n, "STARTTLS") || is(w, n, "TLS")) return SMTP_CAP_STARTTLS;
  if (is(w, n, "DSN")) return SMTP_CAP_DSN;
  if (is(w, n, "PIPELINING")) return SMTP_CAP_PIPELINING;
  if (is(w, n, "ETRN")) return SMTP_CAP_ETRN;
  if (!is(w, n, "AUTH") || (*p != ' ' && *p != '=')) return 0;
  static const struct {
    const char* name;
    uint16_t bit;
  } kMechanisms[] = {{"PLAIN", SMTP_CAP_PLAIN},       {"CRAM-MD5", SMTP_CAP_CRAM_MD5}, {"DIGEST-MD5", SMTP_CAP_DIGEST_MD5},
                     {"SCRAM-SHA-1", SMTP_CAP_SCRAM_SHA1}, {"GSSAPI", SMTP_CAP_GSSAPI}, {"EXTERNAL", SMTP_CAP_EXTERNAL},
                     {"LOGIN", SMTP_CAP_LOGIN},       {"NTLM", SMTP_CAP_NTLM}};
  uint16_t caps = SMTP_CAP_AUTH;
  for (;;) {
    w = word(p, &n);
    if (n == 0) break;
    for (const auto& m : kMechanisms)
      if (is(w, n, m.name)) caps |= m.bit;
  }
  return caps;
}

void SmtpReply::Begin(bool ehlo) {
  len_ = 0;
  final_[0] = 0;
  done_ = false;
  ehlo_ = ehlo;
  code_ = 0;
  caps_ = 0;
}

void SmtpReply::EndLine() {
  while (len_ > 0 && line_[len_ - 1] == '\r') --len_;
  line_[len_] = 0;
  if (ehlo_) caps_ |= Smtp_LineCapabilities(line_);
  const bool digits = len_ >= 3 && isdigit(static_cast<unsigned char>(line_[0])) &&
                      isdigit(static_cast<unsigned char>(line_[1])) && isdigit(static_cast<unsigned char>(line_[2]));
  if (!(digits && len_ >= 4 && line_[3] == '-')) {
    done_ = true;
    code_ = digits ? (line_[0] - '0') * 100 + (line_[1] - '0') * 10 + (line_[2] - '0') : 0;
    memcpy(final_, line_, len_ + 1);
  }
  len_ = 0;
}

size_t SmtpReply::Feed(const char* data, size_t n) {
  size_t i = 0;
  while (i < n && !done_) {
    char c = data[i++];
    if (c == '\n') {
      EndLine();
    } else if (len_ < sizeof line_ - 1) {
      line_[len_++] = c;
    }
  }
  return i;
}

// ---- module ----------------------------------------------------------------------

void Mail_SpoolPath(char* out, size_t size, int level) {
  char name[32];
  snprintf(name, sizeof name, "mail_level%d.txt", level);
  Svc_TmpPath(out, static_cast<unsigned>(size), name);
}

void Mail_Init(const char* /*installDir*/) {
  Mail_Abandon();
  memset(&MailSetting, 0, sizeof MailSetting);
  MailSetting.port = 25;
  MailOps.AddEvent = Mail_AddEvent;
  MailOps.SendAll = Mail_SendAll;
  MailOps.Step = Mail_Step;
}

void Mail_Exit() {}
