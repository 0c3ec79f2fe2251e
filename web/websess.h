// Login challenge, sessions and form tokens, and the three web accounts
// with the login lock-out settings (keys of the [Web] section of config.ini).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cwchar>

constexpr int WEB_ACCOUNTS = 3;
constexpr int WEB_ACCOUNT_CHARS = 32;

// Account i has access level i: 0 administrator, 1 device, 2 user.
struct WebAccount {
  wchar_t name[WEB_ACCOUNT_CHARS + 1];      // "User" i
  wchar_t password[WEB_ACCOUNT_CHARS + 1];  // "Password" i
  uint16_t failedLogins;
  uint32_t lockLeft;  // seconds of lock-out left
};
extern WebAccount WebAccounts[WEB_ACCOUNTS];

struct WebLockSettings {
  uint16_t enable;       // "Enable Login Lock="
  uint16_t retryLimit;   // "Login Retry="
  uint16_t lockMinutes;  // "Locak Time="
};
extern WebLockSettings WebLock;

// "Password Encrypt=" of [Web]: how config.ini keeps the account passwords.
extern uint8_t WebPasswordEncrypt;

constexpr int WEB_CHALLENGES = 16;
constexpr int WEB_SESSIONS = 16;
constexpr int WEB_SESSION_VARS = 38;
constexpr int WEB_ID_CHARS = 24;         // session ids and form tokens
constexpr int WEB_CHALLENGE_CHARS = 8;
constexpr uint32_t WEB_CHALLENGE_SECONDS = 60;
constexpr uint32_t WEB_SESSION_SECONDS = 1800;

// Index of a session's page value.
enum WebSessVar : int {
  WSV_LOG_PAGE = 0,
  WSV_LOG_BY_DATE = 1,
  WSV_LOG_FROM = 2,   // month, day, year - 2000
  WSV_LOG_TO = 5,
  WSV_LOG_LEVELS = 8, // 8, 9
  WSV_DATA_MODE = 10,
  WSV_DATA_RANGE0 = 11,  // from month, day, year; to month, day, year
  WSV_DATA_RANGE1 = 17,
  WSV_DATA_RANGE2 = 23,
  WSV_DATA_RANGE3 = 29,
  WSV_DATA_ITEM1 = 35,
  WSV_DATA_ITEM2 = 36,
  WSV_DEFAULT_PASSWORD = 37,
};

struct WebChallenge {
  uint8_t inUse;
  uint32_t expiry;  // service seconds
  char challenge[WEB_CHALLENGE_CHARS + 1];
  uint8_t address[16];
  int family;  // challenges and tokens are keyed by family and address
};

// Form tokens a session keeps: those of its last pages, so that a form of
// any of its recent pages (another tab) is still taken.
constexpr int WEB_SESSION_TOKENS = 8;

struct WebSession {
  uint8_t inUse;
  uint32_t expiry;
  char id[WEB_ID_CHARS + 1];
  uint8_t level;
  int32_t values[WEB_SESSION_VARS];
  char formTokens[WEB_SESSION_TOKENS][WEB_ID_CHARS + 1];  // empty when unused
  uint8_t nextToken;  // the slot the next token takes
  // The token of the session's links that change something (logging out,
  // the configuration download): one for the session's life, so pages that
  // reload themselves do not push the forms' tokens out.
  char linkToken[WEB_ID_CHARS + 1];
};
extern WebChallenge WebChallenges[WEB_CHALLENGES];
extern WebSession WebSessions[WEB_SESSIONS];
extern int WebCurrentSession;  // -1 when none

struct WebSessOpsTable {
  const char* (*Create)(int level);
  const char* (*GetChallenge)(int family, const uint8_t address[16]);
  const char* (*MakeChallenge)(int family, const uint8_t address[16]);
  int (*CheckResponse)(const char* response, const char* user, const char* password, int family,
                       const uint8_t address[16]);
  int32_t (*GetVar)(int index);
  void (*SetVar)(int index, int32_t value);
  const char* (*MakeToken)();
  int (*CheckToken)(const char* token);
  int (*CheckCookie)(const char* header, int drop);
};
extern WebSessOpsTable WebSessOps;

void WebSess_Init();
void WebSess_Shutdown();
int WebSess_FindChallenge(int family, const uint8_t address[16]);
int WebSess_FindSession(const char* value);
int WebSess_Validate(const char* value);
int WebSess_Drop(const char* value);
const char* WebSess_Create(int level);
const char* WebSess_GetChallenge(int family, const uint8_t address[16]);
const char* WebSess_MakeChallenge(int family, const uint8_t address[16]);
int WebSess_CheckResponse(const char* response, const char* user, const char* password, int family,
                          const uint8_t address[16]);
int32_t WebSess_GetVar(int index);
void WebSess_SetVar(int index, int32_t value);
// A new form token of the current session (kept among its recent ones);
// none without a current session.
const char* WebSess_MakeToken();
// 1 when the token is one of the current session's recent tokens.
int WebSess_CheckToken(const char* token);
int WebSess_CheckCookie(const char* header, int drop);
// The current session's link token; none without a current session.
const char* WebSess_LinkToken();
// 1 when the first length characters of token are the current session's
// link token.
int WebSess_CheckLinkToken(const char* token, size_t length);
// With every session alive, a new login ends the one unused for longest;
// its id is kept until the session would have expired, so that its next
// request can be told why it has none: 1 when the Cookie header names such
// a session.
int WebSess_WasEnded(const char* header);
constexpr int WEB_ENDED_SESSIONS = 1024;  // ended sessions remembered
// Forgets the current session; the server calls it before every request.
// It also logs the count of failed logins of a window that has passed.
void WebSess_ClearCurrent();

// Failed logins reach the event log at a bounded rate, over all clients
// together: of a window's failures the first WEB_FAILED_LOGGED are logged
// one by one, the others only counted; once the window has passed, one
// Warning record gives their number and the addresses seen most. A window
// lasts a minute; while the failures go on, each next window lasts twice as
// long as the one before, up to ten minutes, and logs none one by one: an
// ongoing flood is in the log at least every ten minutes, with at most 144
// records a day.
constexpr int WEB_FAILED_LOGGED = 5;
constexpr uint32_t WEB_FAILED_WINDOW_SECONDS = 60;
constexpr uint32_t WEB_FAILED_WINDOW_MAX_SECONDS = 600;
// Addresses tallied per window, as many as clients can hold a challenge at
// once: up to that many the counts are exact; beyond, an address that takes
// the place of a rarer one goes on from its count.
constexpr int WEB_FAILED_ADDRESSES = WEB_CHALLENGES;
constexpr int WEB_FAILED_SHOWN = 3;      // of which the record names the most frequent
// Notes a failed login of this client: 1 when its event is to be logged,
// 0 when it is only counted.
int WebSess_LoginFailed(int family, const uint8_t address[16]);
// Logs the count of a window that has passed; with `now` set, of the window
// in progress too (the close hook).
void WebSess_FlushFailedLogins(bool now);
