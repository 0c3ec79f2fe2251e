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
#include <sys/random.h>
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

// ---- the message's own header lines ---------------------------------------------

// The RFC 5322 date of a local time, with its offset from UTC:
// "Sat, 09 Mar 2024 14:05:07 +0100". Day and month names are English
// whatever the locale.
void MailDate(char* out, size_t size, const struct tm& tm) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const long minutes = tm.tm_gmtoff / 60;
  const long offset = minutes < 0 ? -minutes : minutes;
  snprintf(out, size, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[(tm.tm_wday % 7 + 7) % 7], tm.tm_mday,
           kMonths[(tm.tm_mon % 12 + 12) % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec,
           minutes < 0 ? '-' : '+', offset / 60, offset % 60);
}

// A Message-ID of its own for each message: the time of its first event,
// the level and 64 random bits, on the host name.
void MessageId(char* out, size_t size, const struct tm& tm, int level) {
  uint64_t r = 0;
  if (getrandom(&r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r)) {
    static uint64_t counter;
    r = (static_cast<uint64_t>(getpid()) << 40) ^ (static_cast<uint64_t>(Svc_MonoMs()) << 8) ^ ++counter;
  }
  char host[sizeof SvcSystemInfo.hostName];
  size_t n = 0;
  for (const char* p = SvcSystemInfo.hostName; *p && n + 1 < sizeof host; ++p)
    if (isalnum(static_cast<unsigned char>(*p)) || *p == '-' || *p == '.') host[n++] = *p;
  host[n] = 0;
  snprintf(out, size, "<%04d%02d%02d%02d%02d%02d.%d.%016llx@%s>", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
           tm.tm_hour, tm.tm_min, tm.tm_sec, level, static_cast<unsigned long long>(r), n ? host : "localhost");
}

// ---- spool texts -------------------------------------------------------------------
//
// A spool is its header block (the mail's Subject, Date and Message-ID,
// a blank line, then the host, site and UPS lines), then one block per
// event, oldest first.

constexpr char kBlockStart[] = "Event level: ";

// The mail's own header lines for a spool whose first event is text at tm.
std::string MessageHead(int level, const char* text, const struct tm& tm) {
  char date[48], id[128];
  MailDate(date, sizeof date, tm);
  MessageId(id, sizeof id, tm, level);
  return std::string("Subject: ") + SVC_PRODUCT + " Notification: " + text + "\r\nDate: " + date +
         "\r\nMessage-ID: " + id + "\r\n\r\n";
}

// The whole header block of a new spool.
std::string HeaderBlock(int level, const char* text, const struct tm& tm, const char* serial, const char* model) {
  char host[sizeof SvcSystemInfo.hostName];
  CleanText(host, sizeof host, SvcSystemInfo.hostName);
  char location[kLocationBytes + 1], contactor[kContactorBytes + 1];
  WideToText(location, sizeof location, WebSysInfoText.location, std::size(WebSysInfoText.location));
  WideToText(contactor, sizeof contactor, WebSysInfoText.contactor, std::size(WebSysInfoText.contactor));
  std::string out = MessageHead(level, text, tm);
  out += std::string("Host Name: ") + host + "\r\nLocation: " + location + ", Contactor: " + contactor + "\r\n";
  char id[80];
  CleanText(id, sizeof id, serial);
  if (id[0]) out += std::string("S.N.: ") + id + "\r\n";
  CleanText(id, sizeof id, model);
  if (id[0]) out += std::string("Model: ") + id + "\r\n";
  return out;
}

std::string EventBlock(int level, const char* text, const struct tm& tm) {
  char when[64];
  snprintf(when, sizeof when, "%02d/%02d/%04d %02d:%02d:%02d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900,
           tm.tm_hour, tm.tm_min, tm.tm_sec);
  return std::string(kBlockStart) + EvtLog_LevelWord(level) + "\r\nEvent time: " + when + "\r\nEvent message: " +
         text + "\r\n\r\n";
}

// Where the event block after the one at `at` begins (npos: none).
size_t NextBlock(const std::string& text, size_t at) {
  size_t next = text.find(std::string("\r\n") + kBlockStart, at + 1);
  return next == std::string::npos ? next : next + 2;
}

// Where the first event block begins (after the header block).
size_t FirstBlock(const std::string& spool) {
  if (spool.compare(0, sizeof kBlockStart - 1, kBlockStart) == 0) return 0;
  size_t at = NextBlock(spool, 0);
  return at == std::string::npos ? spool.size() : at;
}

int CountBlocks(const std::string& text) {
  int n = 0;
  for (size_t at = FirstBlock(text); at < text.size(); at = NextBlock(text, at)) ++n;
  return n;
}

// The text of a line of the blocks that begins with key, or empty.
std::string BlockLine(const std::string& blocks, const char* key) {
  size_t at = blocks.find(key);
  if (at == std::string::npos) return {};
  at += strlen(key);
  size_t end = blocks.find("\r\n", at);
  return blocks.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// The header block for blocks whose older events are gone: Subject, Date
// and Message-ID of the first remaining event, the host, site and UPS lines
// as they were.
std::string Rehead(int level, const std::string& header, const std::string& blocks) {
  size_t body = header.find("\r\n\r\n");
  body = body == std::string::npos ? header.size() : body + 4;
  struct tm tm {};
  const std::string when = BlockLine(blocks, "Event time: ");
  if (sscanf(when.c_str(), "%d/%d/%d %d:%d:%d", &tm.tm_mon, &tm.tm_mday, &tm.tm_year, &tm.tm_hour, &tm.tm_min,
             &tm.tm_sec) == 6) {
    tm.tm_mon -= 1;
    tm.tm_year -= 1900;
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    localtime_r(&t, &tm);
  } else {
    time_t now = Svc_Now();
    localtime_r(&now, &tm);
  }
  return MessageHead(level, BlockLine(blocks, "Event message: ").c_str(), tm) + header.substr(body);
}

// ---- events waiting in memory --------------------------------------------------------
//
// Every event goes through its level's memory first and is written to the
// spool from there; what cannot be written (a full disk, a write error)
// waits there, at most MAIL_PENDING_MAX events a level, until a write
// succeeds or a session sends it. Events in memory are always newer than
// those in the spool file.

struct Pending {
  std::string header;  // the header block, should these events start a spool
  std::string blocks;  // whole event blocks, oldest first
  int events = 0;
  int dropped = 0;  // oldest events given up to the bound since the last write
};

struct LevelState {
  Pending pending;
  int64_t retryDelayMs = 0;  // 0 after a delivery or a refusal
  int64_t nextTryMs = 0;     // no session of the level starts before
  bool failing = false;      // a failure that may pass was logged; a delivery ends it
};
LevelState g_levels[kLevels + 1];

// Beyond the bound the oldest events go.
void BoundPending(int level) {
  Pending& p = g_levels[level].pending;
  if (p.events <= MAIL_PENDING_MAX) return;
  const int drop = p.events - MAIL_PENDING_MAX;
  size_t cut = 0;
  for (int i = 0; i < drop; ++i) cut = NextBlock(p.blocks, cut);
  p.blocks.erase(0, cut);
  p.header = Rehead(level, p.header, p.blocks);
  p.events = MAIL_PENDING_MAX;
  p.dropped += drop;
}

// Events older than those waiting (a session's that did not go out) go
// before them.
void PendingPrepend(int level, Pending&& older) {
  Pending& p = g_levels[level].pending;
  if (older.events == 0) return;
  older.blocks += p.blocks;
  older.events += p.events;
  older.dropped += p.dropped;
  p = std::move(older);
  BoundPending(level);
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

bool WriteAll(int fd, const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    ssize_t n = write(fd, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

// Cuts the spool back to `size` bytes; an empty one goes.
void CutSpool(const char* path, off_t size) {
  if (size == 0) {
    unlink(path);
    return;
  }
  int fd = open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (OwnSpool(fd, &st) && ftruncate(fd, size) != 0) {
    // nothing more to try: the next append or send finds what is there
  }
  close(fd);
}

// Appends the waiting events to the level's spool (its header first when
// the spool is new). Every write and the close are checked: a failure cuts
// the spool back to where it was, so it only ever holds whole events, and
// a spool that was empty goes. true when all of them are in the file, with
// its new size in *size.
bool AppendSpool(int level, const Pending& p, off_t* size) {
  char path[320];
  Mail_SpoolPath(path, sizeof path, level);
  if (!path[0]) return false;
  bool fresh = false;
  int fd = OpenSpool(path, &fresh);
  if (fd < 0) return false;
  struct stat st;
  const off_t start = fresh ? 0 : (fstat(fd, &st) == 0 ? st.st_size : -1);
  bool ok = start >= 0 && (!fresh || WriteAll(fd, p.header)) && WriteAll(fd, p.blocks);
  if (!ok) {
    if (start >= 0 && ftruncate(fd, start) != 0) {
      // closed below; CutSpool tries once more by name
    }
    close(fd);
    if (start >= 0) CutSpool(path, start);
    return false;
  }
  if (close(fd) != 0) {
    CutSpool(path, start);
    return false;
  }
  *size = start + static_cast<off_t>((fresh ? p.header.size() : 0) + p.blocks.size());
  return true;
}

// The whole spool of a level; false when there is none of this process's own.
bool ReadSpool(int level, std::string* out) {
  char path[320];
  Mail_SpoolPath(path, sizeof path, level);
  out->clear();
  if (!path[0]) return false;
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = OwnSpool(fd, &st);
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

void RemoveSpool(int level) {
  char path[320];
  Mail_SpoolPath(path, sizeof path, level);
  if (path[0]) remove(path);
}

// A spool past its bound loses its oldest events, down to three quarters of
// it, with a notice in the event log (level 0: it is neither mailed nor
// texted, and takes no event's place in the SMS slot). The shorter spool
// replaces the old one whole, or not at all.
void BoundSpool(int level, off_t size) {
  if (size <= static_cast<off_t>(MAIL_SPOOL_MAX)) return;
  std::string spool;
  if (!ReadSpool(level, &spool)) return;
  const size_t first = FirstBlock(spool);
  size_t keepFrom = first;
  int dropped = 0;
  while (spool.size() - keepFrom + first > MAIL_SPOOL_KEEP) {
    size_t next = NextBlock(spool, keepFrom);
    if (next == std::string::npos) break;  // the newest event always stays
    keepFrom = next;
    ++dropped;
  }
  if (dropped == 0) return;
  const std::string blocks = spool.substr(keepFrom);
  const std::string text = Rehead(level, spool.substr(0, first), blocks) + blocks;
  char path[320];
  Mail_SpoolPath(path, sizeof path, level);
  if (!UF_FileReplace(path, text.data(), text.size(), 0600)) return;
  char notice[160];
  snprintf(notice, sizeof notice, "Mail spool of level %d passed %d KiB: its %d oldest events were dropped", level,
           static_cast<int>(MAIL_SPOOL_MAX / 1024), dropped);
  if (EvtLogOps.Add) EvtLogOps.Add(EVT_FREE_TEXT, 0, notice);
}

bool SessionSending(int level);

// Events of a level that the memory bound dropped, once those that were
// kept have left memory (written to the spool, or mailed or refused
// straight from it): one record with how many (level 0, like the spool's
// own bound).
void ReportDropped(int level, int dropped) {
  if (dropped <= 0 || !EvtLogOps.Add) return;
  char notice[160];
  if (dropped == 1)
    snprintf(notice, sizeof notice, "Mail of level %d (%s): its oldest event was dropped (at most %d wait in memory)",
             level, EvtLog_LevelWord(level), MAIL_PENDING_MAX);
  else
    snprintf(notice, sizeof notice,
             "Mail of level %d (%s): its %d oldest events were dropped (at most %d wait in memory)", level,
             EvtLog_LevelWord(level), dropped, MAIL_PENDING_MAX);
  EvtLogOps.Add(EVT_FREE_TEXT, 0, notice);
}

// Writes the level's waiting events to its spool, unless its session is
// sending (the spool stays as the session found it until it ends).
void FlushPending(int level) {
  Pending& p = g_levels[level].pending;
  off_t size = 0;
  if (p.events == 0 || SessionSending(level) || !AppendSpool(level, p, &size)) return;
  const int dropped = p.dropped;
  p = Pending{};
  ReportDropped(level, dropped);
  BoundSpool(level, size);
}

// A level nobody wants mail of keeps nothing.
void DropLevel(int level) {
  RemoveSpool(level);
  g_levels[level].pending = Pending{};
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

  char text[EVTLOG_TEXT_SIZE];
  EvtLog_FillText(text, sizeof text, format, args, argCount);
  time_t now = Svc_Now();
  struct tm tm {};
  localtime_r(&now, &tm);
  Pending& p = g_levels[level].pending;
  if (p.events == 0) p.header = HeaderBlock(level, text, tm, serial, model);
  p.blocks += EventBlock(level, text, tm);
  ++p.events;
  BoundPending(level);
  FlushPending(level);
}

// ---- the SMTP session ------------------------------------------------------------
//
// One session at a time, stepped by the main loop: each step does only what
// the socket (or the lookup) allows at once, so neither a mail server nor a
// resolver nor the network can hold the loop. A session ends by a reply
// that ends the dialogue, by the per-reply bound, the connect bound or the
// whole-session bound. It sends what its level had when it began (spool and
// memory). A message the server took (250 after the data) or refused for
// good (a 5xx to STARTTLS, AUTH, MAIL FROM, DATA or after the data, or to
// every RCPT) is done with: its events go, a refusal with a notice in the
// event log. Any other end keeps them for the level's next try, after a
// pause that doubles from 5 s to 5 min; the first such end of a streak is
// logged, and so is the delivery that ends it. Each level has its own
// pauses: one that fails holds no other back.

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

// How a session ended for its events.
enum SessionOutcome { OUT_KEPT, OUT_DELIVERED, OUT_REFUSED };

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
  SessionOutcome outcome = OUT_KEPT;
  char reason[112] = {};      // why it ended so: the server's reply, or what failed
  char lastRefusal[80] = {};  // the last RCPT refused for good
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
  std::string message;  // the events the session sends, as the spool text
  int events = 0;       // how many
  bool hadFile = false;  // some of them are the spool file's
  Pending inflight;      // the rest, from memory
};

Session g_session;

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

// The message of state 5: From and To lines, the session's spool text with
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
  w.reserve(w.size() + s.message.size() + s.message.size() / 64 + 8);
  bool lineStart = true;
  for (char c : s.message) {
    if (lineStart && c == '.') w += '.';
    w += c;
    lineStart = c == '\n';
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

bool Is5xx(int c) { return c >= 500 && c <= 599; }

// A server's reply as a notice quotes it: printable ASCII, at most size - 1.
void ReplyText(char* out, size_t size, const char* reply) {
  size_t n = 0;
  for (const char* p = reply; *p && n + 1 < size; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    out[n++] = (c < 0x20 || c > 0x7E) ? '?' : *p;
  }
  out[n] = 0;
}

// Ends the session after `command` (or none); its events are kept for a
// later try, for the reason given or, without one, the last reply.
void EndWith(Session& s, const char* command, const char* reason = nullptr) {
  if (command) Queue(s, command, strlen(command));
  s.ending = true;
  if (reason) snprintf(s.reason, sizeof s.reason, "%s", reason);
  else ReplyText(s.reason, sizeof s.reason, s.reply.FinalLine());
}

// Ends the session after `command` (or none): the server refused the
// message for good.
void Refuse(Session& s, const char* command) {
  EndWith(s, command);
  s.outcome = OUT_REFUSED;
}

// A reply that is not the one awaited: a 5xx refuses for good, anything
// else may pass.
void Unwanted(Session& s, const char* command) {
  if (Is5xx(s.reply.Code())) Refuse(s, command);
  else EndWith(s, command);
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
      if (c != 220) {
        Unwanted(s, nullptr);
      } else if (SmtpTls_Start(s.fd, s.serverIsName ? MailSetting.server : nullptr)) {
        s.phase = PH_TLS;
      } else {
        EndWith(s, nullptr, "TLS could not start");
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
        Unwanted(s, "RSET\r\n");
      }
      break;
    case ST_USER:
      if (c == 334) {
        s.state = ST_PASSWORD;
        QueueBase64(s, MailSetting.password);
      } else {
        Unwanted(s, "RSET\r\n");
      }
      break;
    case ST_PASSWORD:
      if (c == 235 || c == 250) QueueMailFrom(s);
      else Unwanted(s, "RSET\r\n");
      break;
    case ST_RCPT:
    case ST_DATA:
      if (s.nextReceiver > 0) {
        // A receiver the server refuses for good (5xx) is skipped; any
        // other refusal is passing, and the whole message waits for a
        // later try.
        if (c == 250 || c == 251) {
          ++s.accepted;
        } else if (Is5xx(c)) {
          ReplyText(s.lastRefusal, sizeof s.lastRefusal, s.reply.FinalLine());
        } else {
          EndWith(s, nullptr);
          break;
        }
      } else if (c != 250) {  // MAIL FROM refused
        Unwanted(s, nullptr);
        break;
      }
      if (s.state == ST_RCPT && QueueNextRcpt(s)) break;
      if (s.accepted == 0) {
        Refuse(s, nullptr);
        snprintf(s.reason, sizeof s.reason, "every receiver refused: %s", s.lastRefusal);
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
        Unwanted(s, nullptr);
      }
      break;
    case ST_SENT:
      if (c == 250) {
        s.outcome = OUT_DELIVERED;
        s.state = ST_QUIT;
        QueueF(s, "QUIT\r\n");
      } else {
        Unwanted(s, nullptr);
      }
      break;
    case ST_QUIT:
      s.ending = true;
      if (c != 221) Queue(s, "RSET\r\n", 6);
      break;
    default:
      EndWith(s, nullptr);
      break;
  }
}

// ---- session life ----

void StartFrom(int level);

// A bound as a notice gives it: "10 s", "300 ms".
std::string Span(int ms) { return ms % 1000 ? std::to_string(ms) + " ms" : std::to_string(ms / 1000) + " s"; }

// Tells the event log how mail of a level fares (level 2: it goes to the
// SMS slot, never to mail).
__attribute__((format(printf, 1, 2))) void MailNotice(const char* format, ...) {
  if (!EvtLogOps.Add) return;
  char text[EVTLOG_TEXT_SIZE];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  EvtLogOps.Add(EVT_FREE_TEXT, 2, text);
}

// Closes the session's connection and settles its events: those kept go
// back before the level's waiting ones, those taken or refused go (and
// with them the count of those the memory bound dropped before them).
void CloseSession(Session& s) {
  if (s.fd >= 0) close(s.fd);
  SmtpTls_Free();
  if (s.outcome == OUT_KEPT) {
    PendingPrepend(s.level, std::move(s.inflight));
    return;
  }
  if (s.hadFile) RemoveSpool(s.level);
  ReportDropped(s.level, s.inflight.dropped);
}

void Finish(Session& s) {
  CloseSession(s);
  const int level = s.level;
  LevelState& l = g_levels[level];
  char server[MAIL_TEXT];
  CleanText(server, sizeof server, MailSetting.server);
  const char* word = EvtLog_LevelWord(level);
  if (s.outcome == OUT_KEPT) {
    l.retryDelayMs = l.retryDelayMs == 0 ? kRetryFirstMs : std::min(2 * l.retryDelayMs, kRetryMaxMs);
    l.nextTryMs = Svc_MonoMs() + l.retryDelayMs;
    if (!l.failing) {
      if (server[0])
        MailNotice("Mail of level %d (%s) not delivered to %s: %s; it is kept and tried again", level, word, server,
                   s.reason);
      else
        MailNotice("Mail of level %d (%s) not delivered: %s; it is kept and tried again", level, word, s.reason);
    }
    l.failing = true;
  } else {
    l.retryDelayMs = 0;
    l.nextTryMs = 0;
    if (s.outcome == OUT_REFUSED) {
      MailNotice("Mail of level %d (%s) refused by %s: %s; its %d event%s not mailed", level, word, server,
                 s.reason, s.events, s.events == 1 ? " is" : "s are");
    } else if (l.failing) {
      MailNotice("Mail of level %d (%s) delivered to %s again", level, word, server);
      l.failing = false;
    }
  }
  s = Session{};
  FlushPending(level);
  StartFrom(level + 1);
}

// Ends the session for a reason of its own (not a reply). A message the
// server already took or refused stays so (a server that hangs up at the
// QUIT has the message all the same).
__attribute__((format(printf, 2, 3))) void Fail(Session& s, const char* format, ...) {
  if (s.outcome == OUT_KEPT) {
    va_list ap;
    va_start(ap, format);
    vsnprintf(s.reason, sizeof s.reason, format, ap);
    va_end(ap);
  }
  Finish(s);
}

void FailConnect(Session& s, int err) {
  if (err) Fail(s, "no connection (%s)", strerror(err));
  else Fail(s, "no connection within %s", Span(MailTimeout.connectMs).c_str());
}

// Connects to the next address; false when none is left (*err: why the
// last one failed).
bool ConnectNext(Session& s, int* err) {
  while (s.addrNext < s.addrCount) {
    const Address& a = s.addrs[s.addrNext++];
    int fd = socket(a.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      *err = errno;
      continue;
    }
    if (connect(fd, reinterpret_cast<const struct sockaddr*>(&a.addr), a.len) == 0 || errno == EINPROGRESS) {
      s.fd = fd;
      s.phase = PH_CONNECT;
      return true;
    }
    *err = errno;
    close(fd);
  }
  return false;
}

void BeginConnect(Session& s) {
  s.connectEnd = Svc_MonoMs() + MailTimeout.connectMs;
  int err = 0;
  if (s.addrCount == 0) return Fail(s, "its name is not found");
  if (!ConnectNext(s, &err)) FailConnect(s, err);
}

void ExpectReply(Session& s, bool ehlo) {
  s.reply.Begin(ehlo);
  s.deadline = Svc_MonoMs() + MailTimeout.replyMs;
}

// Starts the session of a level with what it has to send (its spool and
// the events in memory); false when it has no event (a spool without one
// goes).
bool StartSession(int level) {
  std::string file;
  bool hasFile = ReadSpool(level, &file);
  const int fileEvents = hasFile ? CountBlocks(file) : 0;
  if (hasFile && fileEvents == 0) {
    RemoveSpool(level);
    hasFile = false;
  }
  Pending& p = g_levels[level].pending;
  if (!hasFile && p.events == 0) return false;

  Session& s = g_session;
  s = Session{};
  s.level = level;
  s.events = fileEvents + p.events;
  s.hadFile = hasFile;
  s.message = hasFile ? std::move(file) + p.blocks : p.header + p.blocks;
  s.inflight = std::move(p);
  p = Pending{};
  s.phase = PH_RESOLVE;
  const int64_t now = Svc_MonoMs();
  s.sessionEnd = now + MailTimeout.sessionMs;
  s.deadline = now + MailTimeout.replyMs;
  SmtpTls_Reset();
  if (!MailSetting.server[0]) {
    Fail(s, "no mail server is set");
    return true;
  }
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
    BeginConnect(s);
  } else if (r != EAI_NONAME) {
    Fail(s, "the address is not valid (%s)", gai_strerror(r));
  } else if (!Lookup_Start(MailSetting.server, port)) {
    Fail(s, "its name could not be looked up");
  } else {
    s.serverIsName = true;
  }
  return true;
}

// Carries the pass on from `level`: each level in turn that has events and
// is not waiting out a pause gets its session; the spools and events of a
// level that no receiver wants go.
void StartFrom(int level) {
  for (; level <= kLevels; ++level) {
    if (!AnyReceiver(level)) {
      DropLevel(level);
      continue;
    }
    FlushPending(level);
    if (Svc_MonoMs() < g_levels[level].nextTryMs) continue;
    if (StartSession(level)) return;
  }
}

void Mail_SendAll() {
  if (g_session.phase == PH_IDLE) StartFrom(1);
}

// The dialogue part of a step: write, read, act, as far as the socket goes.
void Talk(Session& s) {
  for (int round = 0; round < kRoundsPerStep; ++round) {
    if (s.phase == PH_TLS) {
      const int r = SmtpTls_Handshake();
      if (r < 0) return Fail(s, "the TLS handshake failed");
      if (r == 0) break;
      s.phase = PH_TALK;
      s.state = ST_EHLO_TLS;
      QueueEhlo(s, "EHLO", nullptr);
      ExpectReply(s, true);
    }
    if (!Flush(s)) {
      const int err = errno;
      if (err == EPIPE || err == ECONNRESET || SmtpTls_IsActive()) return Fail(s, "the server closed the connection");
      return Fail(s, "the connection failed (%s)", strerror(err));
    }
    if (s.outAt < s.out.size()) break;
    if (s.ending) return Finish(s);
    const int r = ReadReply(s);
    if (r < 0) return Fail(s, "the server closed the connection");
    if (r == 0) break;
    HandleReply(s);
    if (s.phase == PH_TLS) {
      s.deadline = Svc_MonoMs() + MailTimeout.replyMs;  // the handshake's bound
    } else if (!s.ending) {
      ExpectReply(s, s.state == ST_EHLO || s.state == ST_EHLO_TLS);
    }
  }
  if (Svc_MonoMs() >= s.deadline) Fail(s, "no answer within %s", Span(MailTimeout.replyMs).c_str());
}

void Mail_Step() {
  Session& s = g_session;
  if (s.phase == PH_IDLE) return;
  const int64_t now = Svc_MonoMs();
  if (now >= s.sessionEnd) return Fail(s, "the session took over %s", Span(MailTimeout.sessionMs).c_str());
  if (s.phase == PH_RESOLVE) {
    if (!Lookup_Done()) {
      if (now >= s.deadline) Fail(s, "no answer to the name lookup within %s", Span(MailTimeout.replyMs).c_str());
      return;
    }
    TakeAddresses(s, g_lookup.cb.ar_result);
    Lookup_Drop();
    return BeginConnect(s);
  }
  if (s.phase == PH_CONNECT) {
    struct pollfd p = {s.fd, POLLOUT, 0};
    if (poll(&p, 1, 0) == 0) {
      if (now >= s.connectEnd) FailConnect(s, 0);
      return;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
      if (err == 0) err = errno;
      close(s.fd);
      s.fd = -1;
      if (now >= s.connectEnd) FailConnect(s, 0);
      else if (!ConnectNext(s, &err)) FailConnect(s, err);
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

// Ends a session in progress without a word and forgets every level's
// events, pauses and failures.
void Mail_Abandon() {
  if (g_session.fd >= 0) close(g_session.fd);
  SmtpTls_Free();
  g_session = Session{};
  for (LevelState& l : g_levels) l = LevelState{};
}

}  // namespace

void Mail_ResetRetry() {
  for (LevelState& l : g_levels) {
    l.retryDelayMs = 0;
    l.nextTryMs = 0;
    l.failing = false;
  }
}

int64_t Mail_RetryDelayMs(int level) { return level >= 1 && level <= kLevels ? g_levels[level].retryDelayMs : 0; }

int Mail_ReceiversOf(int level) {
  int n = 0;
  for (int i = 0; i < ReceiverCount(); ++i) n += Qualifies(MailSetting.receivers[i], level) ? 1 : 0;
  return n;
}

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

// What still waits in memory (a session's unsent events too) goes to the
// spools, if they take it now.
void Mail_Exit() {
  if (g_session.phase != PH_IDLE) {
    CloseSession(g_session);
    g_session = Session{};
  }
  for (int level = 1; level <= kLevels; ++level) FlushPending(level);
}
