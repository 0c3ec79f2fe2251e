// Login challenge, sessions and form tokens. Time is the service's seconds
// counter; an entry is alive while its expiry is at or after now.
#include "web/websess.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include "core/crypt.h"
#include "core/helpers.h"
#include "core/svc.h"
#include "events/evtlog.h"

WebAccount WebAccounts[WEB_ACCOUNTS];
WebLockSettings WebLock;
uint8_t WebPasswordEncrypt;

WebChallenge WebChallenges[WEB_CHALLENGES];
WebSession WebSessions[WEB_SESSIONS];
int WebCurrentSession = -1;
WebSessOpsTable WebSessOps;

namespace {

// Secret of this start: challenges depend on it, so a challenge seen once
// never comes back for another client or after a restart.
uint8_t g_secret[16];

void RandomBytes(uint8_t* out, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = getrandom(out + got, n - got, 0);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r < 0 && errno != EINTR) {
      break;
    }
  }
  if (got == n) return;
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    while (got < n) {
      ssize_t r = read(fd, out + got, n - got);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    close(fd);
  }
}

// The seconds counter itself: unlike the milliseconds of Svc_UptimeMs it
// does not wrap after 49 days.
uint32_t Now() { return static_cast<uint32_t>(SvcSeconds); }

bool SameClient(const WebChallenge& e, int family, const uint8_t address[16]) {
  return e.family == family && memcmp(e.address, address, 16) == 0;
}

// A 24-character id: the decimal text of value, then random bytes, in one
// block encrypted under the configuration key.
void MakeId(char out[WEB_ID_CHARS + 1], int32_t value) {
  uint8_t block[16];
  RandomBytes(block, sizeof block);
  char text[16];
  int n = snprintf(text, sizeof text, "%d", value);
  memcpy(block, text, static_cast<size_t>(n) + 1);
  CryptOps.Aes_EncryptBlock(block, CryptOps.configKey);
  CryptOps.Radix64_Encode(out, block, 16);
  out[WEB_ID_CHARS] = 0;
}

void SetDate(int32_t* v, int month, int day, int year) {
  v[0] = month;
  v[1] = day;
  v[2] = year;
}

// ---- sessions ended to make room --------------------------------------------------

// The ids of the sessions logins ended, each kept until its session would
// have expired by itself, the oldest given up first: enough for scripts
// that log in every two seconds and never out to push none of them out
// within the half hour.
struct EndedSession {
  char id[WEB_ID_CHARS + 1];  // empty when unused
  uint32_t expiry;
};
EndedSession g_ended[WEB_ENDED_SESSIONS];
int g_nextEnded;

void NoteEnded(const WebSession& s) {
  EndedSession& e = g_ended[g_nextEnded];
  g_nextEnded = (g_nextEnded + 1) % WEB_ENDED_SESSIONS;
  memcpy(e.id, s.id, sizeof e.id);
  e.expiry = s.expiry;
}

// The values of the first two session cookies a Cookie header names
// (null where there is none).
void CookieValues(const char* header, const char* (&values)[2]) {
  static const char kName[] = "QuenchRelayer=";
  values[0] = values[1] = nullptr;
  const char* first = header ? strstr(header, kName) : nullptr;
  if (!first) return;
  values[0] = first + sizeof kName - 1;
  if (const char* second = strstr(values[0], kName)) values[1] = second + sizeof kName - 1;
}

// ---- failed logins --------------------------------------------------------------

struct FailedAddress {
  int family;
  uint8_t address[16];
  uint32_t count;
};

// The window that counts failed logins, and how the one before it ended.
struct FailedWindow {
  bool open;
  uint32_t start;       // service seconds
  time_t startClock;    // the same moment on the wall clock, for the record
  uint32_t length;      // seconds
  int allowance;        // failures it logs one by one
  int logged;
  uint32_t counted;     // failures only counted
  FailedAddress seen[WEB_FAILED_ADDRESSES];
  uint32_t floodEnd;    // end of the last window that counted failures
  uint32_t floodLength; // its length; 0 when the last window counted none
};
FailedWindow g_failed;

// The addresses seen most, kept in a small table: a new address takes the
// place of the least frequent one and goes on from its count (so a count
// can only be too high, and a frequent address is never lost).
void Tally(int family, const uint8_t address[16]) {
  FailedAddress* least = &g_failed.seen[0];
  for (FailedAddress& a : g_failed.seen) {
    if (a.count && a.family == family && memcmp(a.address, address, 16) == 0) {
      ++a.count;
      return;
    }
    if (a.count < least->count) least = &a;
  }
  least->family = family;
  memcpy(least->address, address, 16);
  ++least->count;
}

void ClockText(char (&out)[16], time_t t) {
  struct tm tm;
  localtime_r(&t, &tm);
  snprintf(out, sizeof out, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
}

// Closes the window; one record when it counted failures.
void CloseWindow(uint32_t end) {
  FailedWindow& w = g_failed;
  w.open = false;
  if (w.counted == 0) {
    w.floodLength = 0;
    return;
  }
  w.floodEnd = w.start + w.length;
  w.floodLength = w.length;
  char from[16], to[16];
  ClockText(from, w.startClock);
  ClockText(to, w.startClock + static_cast<time_t>(end - w.start));
  char text[EVTLOG_TEXT_SIZE];
  int n = snprintf(text, sizeof text, "%u failed login%s between %s and %s not logged one by one, most from",
                   w.counted, w.counted == 1 ? "" : "s", from, to);
  // The most frequent addresses first, as many as fit.
  bool shown[WEB_FAILED_ADDRESSES] = {};
  for (int k = 0; k < WEB_FAILED_SHOWN; ++k) {
    int best = -1;
    for (int i = 0; i < WEB_FAILED_ADDRESSES; ++i)
      if (!shown[i] && w.seen[i].count && (best < 0 || w.seen[i].count > w.seen[best].count)) best = i;
    if (best < 0) break;
    shown[best] = true;
    char where[64] = "";
    Net_Ntop(w.seen[best].family, w.seen[best].address, where);
    char item[96];
    int len = snprintf(item, sizeof item, "%s %s (%u)", k ? "," : "", where, w.seen[best].count);
    if (n + len >= static_cast<int>(sizeof text)) break;
    memcpy(text + n, item, static_cast<size_t>(len) + 1);
    n += len;
  }
  if (EvtLogOps.Add) EvtLogOps.Add(-1, 2, text);
}

void OpenWindow(uint32_t now) {
  FailedWindow& w = g_failed;
  // Failures again within the length of the last flooded window: the flood
  // goes on, in a longer window that logs none one by one.
  const bool flood = w.floodLength && now - w.floodEnd < w.floodLength;
  w.open = true;
  w.start = now;
  w.startClock = Svc_Now();
  w.length = flood ? std::min(2 * w.floodLength, WEB_FAILED_WINDOW_MAX_SECONDS) : WEB_FAILED_WINDOW_SECONDS;
  w.allowance = flood ? 0 : WEB_FAILED_LOGGED;
  w.logged = 0;
  w.counted = 0;
  memset(w.seen, 0, sizeof w.seen);
}

}  // namespace

int WebSess_LoginFailed(int family, const uint8_t address[16]) {
  WebSess_FlushFailedLogins(false);
  const uint32_t now = Now();
  FailedWindow& w = g_failed;
  if (!w.open) OpenWindow(now);
  Tally(family, address);
  if (w.logged < w.allowance) {
    ++w.logged;
    return 1;
  }
  ++w.counted;
  return 0;
}

void WebSess_FlushFailedLogins(bool now) {
  const uint32_t t = Now();
  if (g_failed.open && (now || t - g_failed.start >= g_failed.length))
    CloseWindow(now ? t : g_failed.start + g_failed.length);
}

void WebSess_Init() {
  memset(WebChallenges, 0, sizeof WebChallenges);
  memset(WebSessions, 0, sizeof WebSessions);
  memset(g_ended, 0, sizeof g_ended);
  g_nextEnded = 0;
  WebCurrentSession = -1;
  g_failed = FailedWindow{};
  RandomBytes(g_secret, sizeof g_secret);
  WebSessOps.Create = WebSess_Create;
  WebSessOps.GetChallenge = WebSess_GetChallenge;
  WebSessOps.MakeChallenge = WebSess_MakeChallenge;
  WebSessOps.CheckResponse = WebSess_CheckResponse;
  WebSessOps.GetVar = WebSess_GetVar;
  WebSessOps.SetVar = WebSess_SetVar;
  WebSessOps.MakeToken = WebSess_MakeToken;
  WebSessOps.CheckToken = WebSess_CheckToken;
  WebSessOps.CheckCookie = WebSess_CheckCookie;
}

// The count of failed logins not yet logged goes to the log before the stop.
void WebSess_Shutdown() { WebSess_FlushFailedLogins(true); }

void WebSess_ClearCurrent() {
  WebCurrentSession = -1;
  WebSess_FlushFailedLogins(false);
}

int WebSess_FindChallenge(int family, const uint8_t address[16]) {
  for (int i = 0; i < WEB_CHALLENGES; ++i)
    if (WebChallenges[i].inUse && SameClient(WebChallenges[i], family, address)) return i;
  return -1;
}

int WebSess_FindSession(const char* value) {
  if (!value) return -1;
  for (int i = 0; i < WEB_SESSIONS; ++i)
    if (WebSessions[i].inUse && strncmp(WebSessions[i].id, value, WEB_ID_CHARS) == 0) return i;
  return -1;
}

int WebSess_Validate(const char* value) {
  int i = WebSess_FindSession(value);
  if (i < 0) {
    WebCurrentSession = -1;
    return -1;
  }
  WebSession& s = WebSessions[i];
  uint32_t now = Now();
  if (s.expiry >= now) {
    s.expiry = now + WEB_SESSION_SECONDS;
    WebCurrentSession = i;
    return s.level;
  }
  s.inUse = 0;
  WebCurrentSession = -1;
  return -1;
}

int WebSess_Drop(const char* value) {
  int i = WebSess_FindSession(value);
  if (i < 0) return 0;
  WebSessions[i].inUse = 0;
  if (WebCurrentSession == i) WebCurrentSession = -1;
  return 1;
}

const char* WebSess_Create(int level) {
  uint32_t now = Now();
  int pick = -1;
  for (int i = 0; i < WEB_SESSIONS && pick < 0; ++i)
    if (!WebSessions[i].inUse || WebSessions[i].expiry < now) pick = i;
  if (pick < 0) {
    // Every session is alive: the one unused for longest (its expiry the
    // nearest) makes room, never one in use while an older one idles, and
    // its next request is told why it has none.
    pick = 0;
    for (int i = 1; i < WEB_SESSIONS; ++i)
      if (WebSessions[i].expiry - now < WebSessions[pick].expiry - now) pick = i;
    NoteEnded(WebSessions[pick]);
  }
  WebSession& s = WebSessions[pick];
  MakeId(s.id, static_cast<int32_t>(now));
  MakeId(s.linkToken, static_cast<int32_t>(now));
  s.expiry = now + WEB_SESSION_SECONDS;
  s.inUse = 1;
  s.level = static_cast<uint8_t>(level);
  // A reused entry keeps none of its earlier session's tokens.
  memset(s.formTokens, 0, sizeof s.formTokens);
  s.nextToken = 0;

  time_t t = Svc_Now();
  struct tm tm;
  localtime_r(&t, &tm);
  int month = tm.tm_mon + 1, day = tm.tm_mday, year = tm.tm_year + 1900;
  int y = year >= 2000 ? year - 2000 : 0;
  int32_t* v = s.values;
  v[WSV_LOG_PAGE] = 0;
  v[WSV_LOG_BY_DATE] = 1;
  SetDate(v + WSV_LOG_FROM, month, day, y);
  SetDate(v + WSV_LOG_TO, month, day, y);
  v[WSV_DATA_MODE] = 0;
  SetDate(v + WSV_DATA_RANGE0, month, day, y);
  SetDate(v + WSV_DATA_RANGE0 + 3, month, day, y);
  SetDate(v + WSV_DATA_RANGE1, month, 1, y);
  SetDate(v + WSV_DATA_RANGE1 + 3, month, Time_DaysInMonth(year, month), y);
  SetDate(v + WSV_DATA_RANGE2, 1, 1, y);
  SetDate(v + WSV_DATA_RANGE2 + 3, 12, 31, y);
  SetDate(v + WSV_DATA_RANGE3, month, day, y);
  SetDate(v + WSV_DATA_RANGE3 + 3, month, day, y);
  v[WSV_DATA_ITEM1] = 0;
  v[WSV_DATA_ITEM2] = 1;
  WebCurrentSession = pick;
  return s.id;
}

const char* WebSess_GetChallenge(int family, const uint8_t address[16]) {
  int i = WebSess_FindChallenge(family, address);
  if (i < 0) return nullptr;
  WebChallenge& e = WebChallenges[i];
  if (e.expiry >= Now()) return e.challenge;
  e.inUse = 0;
  return nullptr;
}

namespace {

// The challenge of one client for one second of the service: the text stays
// the same for that client within that second, and differs between clients
// and between starts of the service. The login check makes it again, so a
// challenge is taken as long as it is live, even once its entry has gone to
// another client.
void ChallengeText(int family, const uint8_t address[16], uint32_t second, char (&out)[WEB_CHALLENGE_CHARS + 1]) {
  Md5Context md5;
  uint8_t digest[16];
  uint8_t fam = static_cast<uint8_t>(family);
  uint8_t when[4] = {static_cast<uint8_t>(second), static_cast<uint8_t>(second >> 8),
                     static_cast<uint8_t>(second >> 16), static_cast<uint8_t>(second >> 24)};
  CryptOps.Md5_Init(&md5);
  CryptOps.Md5_Update(&md5, g_secret, sizeof g_secret);
  CryptOps.Md5_Update(&md5, &fam, 1);
  CryptOps.Md5_Update(&md5, address, 16);
  CryptOps.Md5_Update(&md5, when, 4);
  CryptOps.Md5_Final(&md5, digest);
  uint32_t value = digest[0] | uint32_t(digest[1]) << 8 | uint32_t(digest[2]) << 16 | uint32_t(digest[3]) << 24;
  CryptOps.Radix64_FromInt(out, value, WEB_CHALLENGE_CHARS);
  out[WEB_CHALLENGE_CHARS] = 0;
}

// The response a client gives for a challenge: MD5 of the user name, the
// password and the challenge, in hexadecimal; the first 32 characters count.
bool ResponseMatches(const char* response, const char* user, const char* password, const char* challenge) {
  Md5Context md5;
  uint8_t digest[16];
  CryptOps.Md5_Init(&md5);
  CryptOps.Md5_Update(&md5, reinterpret_cast<const uint8_t*>(user), strlen(user));
  CryptOps.Md5_Update(&md5, reinterpret_cast<const uint8_t*>(password), strlen(password));
  CryptOps.Md5_Update(&md5, reinterpret_cast<const uint8_t*>(challenge), strlen(challenge));
  CryptOps.Md5_Final(&md5, digest);
  char hex[33];
  for (int i = 0; i < 16; ++i) CryptOps.Hex_ByteToText(digest[i], hex + 2 * i, 0);
  hex[32] = 0;
  return strlen(response) >= 32 && memcmp(response, hex, 32) == 0;
}

}  // namespace

const char* WebSess_MakeChallenge(int family, const uint8_t address[16]) {
  uint32_t now = Now();
  int pick = -1;
  for (int i = 0; i < WEB_CHALLENGES && pick < 0; ++i)
    if (WebChallenges[i].inUse && SameClient(WebChallenges[i], family, address) && WebChallenges[i].expiry >= now)
      pick = i;
  for (int i = 0; i < WEB_CHALLENGES && pick < 0; ++i)
    if (!WebChallenges[i].inUse || WebChallenges[i].expiry < now) pick = i;
  if (pick < 0) pick = 0;
  WebChallenge& e = WebChallenges[pick];
  ChallengeText(family, address, now, e.challenge);
  e.expiry = now + WEB_CHALLENGE_SECONDS;
  memcpy(e.address, address, 16);
  e.family = family;
  e.inUse = 1;
  return e.challenge;
}

int WebSess_CheckResponse(const char* response, const char* user, const char* password, int family,
                          const uint8_t address[16]) {
  if (!response || !user || !password) return 0;
  // The client's entry first; then every challenge this client may have
  // been given within the last 60 seconds, since more clients than the
  // table holds (strangers fetching the login page) take entries away.
  const char* stored = WebSess_GetChallenge(family, address);
  if (stored && ResponseMatches(response, user, password, stored)) return 1;
  const uint32_t now = Now();
  for (uint32_t age = 0; age <= WEB_CHALLENGE_SECONDS && age <= now; ++age) {
    char challenge[WEB_CHALLENGE_CHARS + 1];
    ChallengeText(family, address, now - age, challenge);
    if (ResponseMatches(response, user, password, challenge)) return 1;
  }
  return 0;
}

int32_t WebSess_GetVar(int index) {
  if (WebCurrentSession < 0 || index < 0 || index >= WEB_SESSION_VARS) return 0;
  return WebSessions[WebCurrentSession].values[index];
}

void WebSess_SetVar(int index, int32_t value) {
  if (WebCurrentSession < 0 || index < 0 || index >= WEB_SESSION_VARS) return;
  WebSessions[WebCurrentSession].values[index] = value;
}

// The token belongs to the session that fetched the page, whatever the
// client's address: another session's token, or one of no session, is
// refused.
const char* WebSess_MakeToken() {
  if (WebCurrentSession < 0) return nullptr;
  WebSession& s = WebSessions[WebCurrentSession];
  char* token = s.formTokens[s.nextToken % WEB_SESSION_TOKENS];
  s.nextToken = static_cast<uint8_t>((s.nextToken + 1) % WEB_SESSION_TOKENS);
  MakeId(token, Svc_UptimeMs());
  return token;
}

int WebSess_CheckToken(const char* token) {
  if (WebCurrentSession < 0 || !token || strlen(token) != WEB_ID_CHARS) return 0;
  for (const char* stored : WebSessions[WebCurrentSession].formTokens)
    if (strlen(stored) == WEB_ID_CHARS && memcmp(stored, token, WEB_ID_CHARS) == 0) return 1;
  return 0;
}

int WebSess_CheckCookie(const char* header, int drop) {
  if (!drop) WebCurrentSession = -1;  // only a session named here becomes current
  const char* values[2];
  CookieValues(header, values);
  if (drop) {
    // Logging out ends every session the browser names.
    for (const char* v : values)
      if (v) WebSess_Drop(v);
    return -1;
  }
  for (const char* v : values) {
    if (!v) continue;
    int level = WebSess_Validate(v);
    if (level >= 0) return level;
  }
  return -1;
}

const char* WebSess_LinkToken() { return WebCurrentSession < 0 ? nullptr : WebSessions[WebCurrentSession].linkToken; }

int WebSess_CheckLinkToken(const char* token, size_t length) {
  const char* own = WebSess_LinkToken();
  return own && token && length == WEB_ID_CHARS && strlen(own) == WEB_ID_CHARS &&
                 memcmp(own, token, WEB_ID_CHARS) == 0
             ? 1
             : 0;
}

int WebSess_WasEnded(const char* header) {
  const uint32_t now = Now();
  const char* values[2];
  CookieValues(header, values);
  for (const char* v : values) {
    if (!v) continue;
    for (const EndedSession& e : g_ended)
      if (e.id[0] && e.expiry >= now && strncmp(e.id, v, WEB_ID_CHARS) == 0) return 1;
  }
  return 0;
}
