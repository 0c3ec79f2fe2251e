// Notification mail: spool files per event level and the SMTP client.
#include "events/mail.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <iterator>
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
MailTimeouts MailTimeout = {5000, 10000};

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

// Opens the spool for appending; *fresh when it is new (or empty) and needs
// its header. Only a regular file of this process's user with a single
// name is appended to; anything else at the name (a planted link or file)
// is replaced by a fresh file, mode 0600.
int OpenSpool(const char* path, bool* fresh) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = open(path, O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      struct stat st;
      if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1) {
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

// Opens a spool for reading; -1 when it is missing or not a regular file.
int OpenSpoolForReading(const char* path) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
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
  fclose(f);
}

// ---- the SMTP session ------------------------------------------------------------

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

struct Session {
  int fd[2] = {-1, -1};  // IPv4, IPv6: only the connected one is open
  int state = ST_GREETING;
  uint16_t caps = 0;
  int heloRetries = 0;
  int nextReceiver = 0;
  bool delivered = false;
  bool serverIsName = false;  // "Server=" is a host name (sent as SNI)
  char left[1024];            // bytes that came after the last reply
  size_t leftLen = 0;
  int Fd() const { return fd[0] >= 0 ? fd[0] : fd[1]; }
};

void Smtp_CloseSockets(Session& s) {
  for (int& fd : s.fd) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

// Resolves "Server=" and connects to its addresses in turn, non-blocking,
// within the connect bound. 1 when connected.
int Smtp_Connect(Session& s) {
  if (!MailSetting.server[0]) return 0;
  char port[8];
  snprintf(port, sizeof port, "%u", static_cast<unsigned>(MailSetting.port));
  struct addrinfo hints {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  struct addrinfo* list = nullptr;
  if (getaddrinfo(MailSetting.server, port, &hints, &list) != 0 || !list) return 0;
  unsigned char probe[sizeof(struct in6_addr)];
  s.serverIsName = inet_pton(AF_INET, MailSetting.server, probe) != 1 && inet_pton(AF_INET6, MailSetting.server, probe) != 1;
  const int64_t deadline = Smtp_NowMs() + MailTimeout.connectMs;
  int connected = 0;
  for (struct addrinfo* a = list; a && !connected && Smtp_NowMs() < deadline; a = a->ai_next) {
    if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
    int fd = socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    int r = connect(fd, a->ai_addr, a->ai_addrlen);
    if (r != 0 && errno == EINPROGRESS && Smtp_Wait(fd, POLLOUT, deadline) == 1) {
      int err = 0;
      socklen_t len = sizeof err;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) r = 0;
    }
    if (r == 0) {
      s.fd[a->ai_family == AF_INET6 ? 1 : 0] = fd;
      connected = 1;
    } else {
      close(fd);
    }
  }
  freeaddrinfo(list);
  return connected;
}

// Reads one whole reply into r within the reply bound. 1 when it is
// complete, 0 on silence, -1 when the connection ended or failed.
int Smtp_ReadReply(Session& s, SmtpReply& r, bool ehlo) {
  r.Begin(ehlo);
  auto take = [&](const char* data, size_t n) {
    size_t used = r.Feed(data, n);
    if (r.Done()) {
      // A server that answers ahead: the rest waits for the next reply.
      memmove(s.left, data + used, n - used);
      s.leftLen = n - used;
    }
  };
  if (s.leftLen) {
    char held[sizeof s.left];
    size_t n = s.leftLen;
    memcpy(held, s.left, n);
    s.leftLen = 0;
    take(held, n);
    if (r.Done()) return 1;
  }
  const int fd = s.Fd();
  const int64_t deadline = Smtp_NowMs() + MailTimeout.replyMs;
  for (;;) {
    char buf[sizeof s.left];
    ssize_t n;
    if (SmtpTls_IsActive()) {
      n = SmtpTls_Read(fd, buf, sizeof buf, deadline);
      if (n == 0) return 0;
      if (n < 0) return -1;
    } else {
      int w = Smtp_Wait(fd, POLLIN, deadline);
      if (w == 0) return 0;
      if (w < 0) return -1;
      n = recv(fd, buf, sizeof buf, 0);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
      if (n <= 0) return -1;  // closed by the server, or failed
    }
    take(buf, static_cast<size_t>(n));
    if (r.Done()) return 1;
  }
}

// Writes bytes on the session's connection (through TLS once it is up).
bool Smtp_Send(Session& s, const char* data, size_t n) {
  const int fd = s.Fd();
  const int64_t deadline = Smtp_NowMs() + MailTimeout.replyMs;
  if (SmtpTls_IsActive()) return SmtpTls_WriteAll(fd, data, n, deadline) == 1;
  size_t done = 0;
  while (done < n) {
    ssize_t k = send(fd, data + done, n - done, MSG_NOSIGNAL);
    if (k > 0) {
      done += static_cast<size_t>(k);
      continue;
    }
    if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (Smtp_Wait(fd, POLLOUT, deadline) != 1) return false;
      continue;
    }
    return false;
  }
  return true;
}

__attribute__((format(printf, 2, 3))) bool Smtp_SendF(Session& s, const char* format, ...) {
  char line[600];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  if (n < 0 || static_cast<size_t>(n) >= sizeof line) return false;
  return Smtp_Send(s, line, static_cast<size_t>(n));
}

// "AUTH LOGIN" answer: the Base64 of a text, then CR LF.
bool Smtp_SendBase64(Session& s, const char* text) {
  if (!CryptOps.B64_Encode) return false;
  char out[4 * ((MAIL_TEXT + 2) / 3) + 3];
  int n = CryptOps.B64_Encode(out, reinterpret_cast<const uint8_t*>(text), static_cast<int>(strnlen(text, MAIL_TEXT - 1)));
  out[n] = '\r';
  out[n + 1] = '\n';
  return Smtp_Send(s, out, static_cast<size_t>(n) + 2);
}

// Output of the DATA block in pieces, with dot-stuffing: a line that begins
// with "." gets a second one, so no line of the spool can end the data.
class DataWriter {
 public:
  explicit DataWriter(Session& s) : s_(s) {}
  void Raw(const char* data, size_t n) {
    for (size_t i = 0; i < n && ok_; ++i) Put(data[i]);
  }
  void Raw(const char* text) { Raw(text, strlen(text)); }
  void Stuffed(const char* data, size_t n) {
    for (size_t i = 0; i < n && ok_; ++i) {
      if (lineStart_ && data[i] == '.') Put('.');
      Put(data[i]);
    }
  }
  bool Flush() {
    if (ok_ && used_ > 0) ok_ = Smtp_Send(s_, buf_, used_);
    used_ = 0;
    return ok_;
  }

 private:
  void Put(char c) {
    if (used_ == sizeof buf_ && !Flush()) return;
    buf_[used_++] = c;
    lineStart_ = c == '\n';
  }
  Session& s_;
  char buf_[4096];
  size_t used_ = 0;
  bool lineStart_ = true;
  bool ok_ = true;
};

// The message of state 5: From and To lines, the spool of the level, and
// the end of the data.
bool Smtp_SendMessage(Session& s, int level) {
  DataWriter w(s);
  char from[MAIL_TEXT + 1];
  FromAddress(from, sizeof from);
  w.Raw("From: ");
  w.Raw(from);
  w.Raw("\r\n");
  // Every receiver of the level, each with a ";"; a line that would grow
  // past the header limit is folded.
  w.Raw("To: ");
  size_t lineLength = 4;
  bool first = true;
  for (int i = 0; i < ReceiverCount(); ++i) {
    const MailReceiver& r = MailSetting.receivers[i];
    if (!Qualifies(r, level)) continue;
    char address[MAIL_TEXT];
    CleanText(address, sizeof address, r.address);
    size_t n = strlen(address);
    if (!first) {
      w.Raw(";");
      ++lineLength;
      if (lineLength + n + 1 > kHeaderLine) {
        w.Raw("\r\n ");
        lineLength = 1;
      }
    }
    w.Raw(address, n);
    lineLength += n;
    first = false;
  }
  w.Raw("\r\n");
  char path[320];
  Mail_SpoolPath(path, sizeof path, level);
  int fd = OpenSpoolForReading(path);
  if (fd >= 0) {
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) w.Stuffed(buf, static_cast<size_t>(n));
    close(fd);
  }
  w.Raw("\r\n.\r\n");
  return w.Flush();
}

// Sends the next receiver's RCPT TO; false when none is left.
bool Smtp_SendNextRcpt(Session& s, int level) {
  for (int i = s.nextReceiver; i < ReceiverCount(); ++i) {
    if (!Qualifies(MailSetting.receivers[i], level)) continue;
    s.nextReceiver = i + 1;
    char address[MAIL_TEXT];
    CleanText(address, sizeof address, MailSetting.receivers[i].address);
    bool more = false;
    for (int j = i + 1; j < ReceiverCount() && !more; ++j) more = Qualifies(MailSetting.receivers[j], level);
    s.state = more ? ST_RCPT : ST_DATA;
    return Smtp_SendF(s, "RCPT TO: <%s>\r\n", address);
  }
  return false;
}

bool Smtp_SendMailFrom(Session& s) {
  char from[MAIL_TEXT + 1];
  FromAddress(from, sizeof from);
  s.state = ST_RCPT;
  return Smtp_SendF(s, "MAIL FROM: <%s>\r\n", from);
}

bool Smtp_SendEhlo(Session& s, const char* verb, const char* name) {
  char text[MAIL_TEXT];
  if (name) CleanText(text, sizeof text, name);
  else EhloName(text, sizeof text);
  return Smtp_SendF(s, "%s %s\r\n", verb, text);
}

// The reply-driven dialogue for the spool of one level; true when the
// server took the message.
bool Smtp_Dialogue(Session& s, int level) {
  s.state = ST_GREETING;
  s.caps = 0;
  s.heloRetries = 0;
  s.nextReceiver = 0;
  s.delivered = false;
  SmtpTls_SetActive(0);
  const bool secret = MailSetting.password[0] != 0;
  SmtpReply r;
  bool go = true;
  auto endWith = [&](const char* command) {
    if (command) Smtp_Send(s, command, strlen(command));
    go = false;
  };
  while (go) {
    const bool ehlo = s.state == ST_EHLO || s.state == ST_EHLO_TLS;
    if (Smtp_ReadReply(s, r, ehlo) != 1) break;  // silence, or the connection ended
    if (ehlo) s.caps |= r.Capabilities();
    const int c = r.Code();
    bool sent = true;
    switch (s.state) {
      case ST_GREETING:
        if (c != 220) {
          endWith("RSET\r\n");
          break;
        }
        s.heloRetries = 0;
        s.caps = 0;
        s.state = ST_EHLO;
        sent = Smtp_SendEhlo(s, "EHLO", nullptr);
        break;
      case ST_EHLO:
        if (c == 250) {
          if ((s.caps & SMTP_CAP_STARTTLS) && secret) {
            s.state = ST_STARTTLS;
            sent = Smtp_SendF(s, "STARTTLS\r\n");
          } else if ((s.caps & SMTP_CAP_LOGIN) && secret) {
            s.state = ST_AUTH;
            sent = Smtp_SendF(s, "AUTH LOGIN\r\n");
          } else {
            sent = Smtp_SendMailFrom(s);
          }
        } else if (c == 500) {
          sent = Smtp_SendEhlo(s, "HELO", nullptr);
        } else if (c == 501) {
          if (++s.heloRetries <= 2) sent = Smtp_SendEhlo(s, "HELO", SVC_PRODUCT);
          else endWith("RSET\r\n");
        } else {
          endWith("RSET\r\n");
        }
        break;
      case ST_STARTTLS:
        // Bytes that came in clear behind the 220 are not taken into TLS.
        s.leftLen = 0;
        if (c == 220 &&
            SmtpTls_Start(s.Fd(), s.serverIsName ? MailSetting.server : nullptr, Smtp_NowMs() + MailTimeout.replyMs)) {
          s.state = ST_EHLO_TLS;
          sent = Smtp_SendEhlo(s, "EHLO", nullptr);
        } else {
          endWith(nullptr);
        }
        break;
      case ST_EHLO_TLS:
        if (c == 250) {
          if (s.caps & SMTP_CAP_LOGIN) {
            s.state = ST_AUTH;
            sent = Smtp_SendF(s, "AUTH LOGIN\r\n");
          } else {
            sent = Smtp_SendMailFrom(s);
          }
        } else if (c == 500) {
          endWith("RSET\r\n");
        }
        break;  // any other reply: wait for the next one
      case ST_AUTH:
        // The first challenge asks for the user name, whatever its text.
        if (c == 334) {
          s.state = ST_USER;
          sent = Smtp_SendBase64(s, MailSetting.account);
        } else {
          endWith("RSET\r\n");
        }
        break;
      case ST_USER:
        if (c == 334) {
          s.state = ST_PASSWORD;
          sent = Smtp_SendBase64(s, MailSetting.password);
        } else {
          endWith("RSET\r\n");
        }
        break;
      case ST_PASSWORD:
        if (c == 235 || c == 250) sent = Smtp_SendMailFrom(s);
        else endWith("RSET\r\n");
        break;
      case ST_RCPT:
        if (c != 250 || !Smtp_SendNextRcpt(s, level)) endWith(nullptr);
        break;
      case ST_DATA:
        if (c == 250) {
          s.state = ST_MESSAGE;
          sent = Smtp_SendF(s, "DATA\r\n");
        } else {
          endWith(nullptr);
        }
        break;
      case ST_MESSAGE:
        if (c == 354) {
          s.state = ST_SENT;
          sent = Smtp_SendMessage(s, level);
        } else {
          endWith(nullptr);
        }
        break;
      case ST_SENT:
        if (c == 250) {
          s.delivered = true;
          s.state = ST_QUIT;
          sent = Smtp_SendF(s, "QUIT\r\n");
        } else {
          endWith(nullptr);
        }
        break;
      case ST_QUIT:
        endWith(c == 221 ? nullptr : "RSET\r\n");
        break;
      default:
        endWith(nullptr);
        break;
    }
    if (!sent) break;  // the connection failed
  }
  Smtp_CloseSockets(s);
  return s.delivered;
}

// One session for the spool of a level; true when the message went out.
bool Mail_SendLevel(int level) {
  Session s;
  SmtpTls_Reset();
  if (!Smtp_Connect(s)) return false;
  bool delivered = false;
  if (SmtpTls_Create()) {
    delivered = Smtp_Dialogue(s, level);
    SmtpTls_Free();
  }
  Smtp_CloseSockets(s);
  return delivered;
}

void Mail_SendAll() {
  for (int level = 1; level <= kLevels; ++level) {
    char path[320];
    Mail_SpoolPath(path, sizeof path, level);
    if (!UF_FileExist(path)) continue;
    // Without a receiver for it the spool is dropped, not kept growing.
    if (!AnyReceiver(level)) {
      remove(path);
      continue;
    }
    bool delivered = Mail_SendLevel(level);
    remove(path);  // whatever the outcome: no retry
    // A server that failed once would hold the loop again for each level:
    // the other spools wait for the next pass.
    if (!delivered) break;
  }
}

}  // namespace

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
  memset(&MailSetting, 0, sizeof MailSetting);
  MailSetting.port = 25;
  MailOps.AddEvent = Mail_AddEvent;
  MailOps.SendAll = Mail_SendAll;
}

void Mail_Exit() {}
