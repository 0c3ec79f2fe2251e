// System page variables and forms: the writer's groups with the login
// challenge, and the login form with its lock-out.
#include "web/websys.h"

#include <cstdarg>
#include <cstring>

#include "core/cfg.h"
#include "core/helpers.h"
#include "events/evtlog.h"
#include "web/websess.h"

WebSysInfo WebSysInfoText;
int32_t WebSysManageable;

namespace {

// Login events; their arguments are the account name and the client's
// address as listed.
constexpr int EVT_WEB_LOGIN = 2;            // account, address
constexpr int EVT_WEB_WRONG_PASSWORD = 37;  // account as typed, address
constexpr int EVT_WEB_ACCOUNT_LOCKED = 38;  // account as typed
constexpr int EVT_WEB_UNKNOWN_ACCOUNT = 39;  // address

// A system event with its string arguments, ended by a null pointer, to the
// event log.
template <typename... Args>
void LogEvent(int code, Args... args) {
  if (EvtLogOps.Add) EvtLogOps.Add(code, args...);
}

bool StartsWith(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

void SetReply(const char* format, ...) __attribute__((format(printf, 1, 2)));
void SetReply(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  vsnprintf(WebReply.text, sizeof WebReply.text, format, ap);
  va_end(ap);
  WebReply.length = static_cast<uint16_t>(strlen(WebReply.text) + 1);
}

// One variable's value: formed in the reply record, then written to the page.
void WriteValue(FILE* page, const char* text) {
  snprintf(WebReply.text, sizeof WebReply.text, "%s", text);
  WebReply.length = static_cast<uint16_t>(strlen(WebReply.text) + 1);
  WebReply.written = 1;
  fputs(WebReply.text, page);
}

const WebFormField* FieldExact(const char* name) {
  for (int i = 0; i < WebFormFieldCount; ++i)
    if (WebFormFields[i].name && strcmp(WebFormFields[i].name, name) == 0) return &WebFormFields[i];
  return nullptr;
}

// A posted name as the event log may keep it: control characters (a line
// break would start a forged record) become '?'.
void LogText(char* out, size_t size, const char* text) {
  snprintf(out, size, "%s", text);
  for (char* p = out; *p; ++p)
    if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f) *p = '?';
}

const char* const kLockReply =
    "Message: Redirect=/login.asp\nTitle=Login Lock\nBody=<font color=#FF0000>The account has been locked.</font>\n";

void LoginForm() {
  const int family = WebReply.clientFamily;
  const uint8_t* address = WebReply.clientAddress;
  if (!WebSessOps.GetChallenge(family, address)) {
    SetReply(
        "Message: Redirect=/login.asp\nTitle=Challenge Not Found\nBody=<font color=#808000>Please refresh the "
        "login page again.</font>\n");
    return;
  }
  const WebFormField* userField = FieldExact("Username");
  const WebFormField* response = FieldExact("Response");
  if (!userField || !response) return;
  char user[65];
  snprintf(user, sizeof user, "%s", userField->valueStart);
  char where[64] = "";
  Net_Ntop(family, address, where);
  char shown[65];
  LogText(shown, sizeof shown, user);

  enum { UNKNOWN, LOCKED, SUCCESS, WRONG } result = UNKNOWN;
  int account = -1;
  char name[65] = "";
  for (int i = 0; i < WEB_ACCOUNTS; ++i) {
    char password[65];
    Cfg_WideToText(name, sizeof name, WebAccounts[i].name);
    if (strcmp(name, user) != 0) continue;
    Cfg_WideToText(password, sizeof password, WebAccounts[i].password);
    account = i;
    WebAccount& a = WebAccounts[i];
    if (WebLock.enable && a.failedLogins >= WebLock.retryLimit) {
      result = LOCKED;
    } else if (WebSessOps.CheckResponse(response->valueStart, name, password, family, address)) {
      a.failedLogins = 0;
      result = SUCCESS;
    } else {
      result = WRONG;
    }
    memset(password, 0, sizeof password);
    break;
  }

  if (result == SUCCESS) {
    const char* id = WebSessOps.Create(account);
    SetReply("Set Cookie: %s=%s;path=/", WEB_COOKIE_NAME, id);
    LogEvent(EVT_WEB_LOGIN, name, where, nullptr);
    if (account == 0) WebSessOps.SetVar(WSV_DEFAULT_PASSWORD, Svc_DefaultPasswordMask());
    return;
  }
  if (result == LOCKED) {
    SetReply("%s", kLockReply);
    return;
  }
  SetReply(
      "Message: Redirect=/login.asp\nTitle=Login Error\nBody=<font color=#FF0000>Please check the account and "
      "password.</font>\n");
  if (result == UNKNOWN) {
    LogEvent(EVT_WEB_UNKNOWN_ACCOUNT, where, nullptr);
    return;
  }
  LogEvent(EVT_WEB_WRONG_PASSWORD, shown, where, nullptr);
  if (!WebLock.enable) return;
  WebAccount& a = WebAccounts[account];
  a.failedLogins = static_cast<uint16_t>(a.failedLogins + 1);
  if (a.failedLogins == WebLock.retryLimit) {
    a.lockLeft = static_cast<uint32_t>(WebLock.lockMinutes) * 60;
    LogEvent(EVT_WEB_ACCOUNT_LOCKED, shown, nullptr);
    SetReply("%s", kLockReply);
  }
  if (a.failedLogins > WebLock.retryLimit) a.failedLogins = static_cast<uint16_t>(WebLock.retryLimit + 1);
}

}  // namespace

void WebSys_WriteVar(FILE* page, const char* name, int pairCount, HttpQueryPair* pairs) {
  WebReply.length = 0;
  WebReply.text[0] = 0;
  if (!page || !name) return;
  static const char* const kGroups[] = {"LIN", "SYS", "USR", "INF", "WEB", "ACS", "USM", "MAIL", "SMS"};
  int group = -1;
  for (int i = 0; i < 9 && group < 0; ++i)
    if (StartsWith(name, kGroups[i])) group = i;
  if (group < 0) {
    if (HttpdOps.DevWriteVar) HttpdOps.DevWriteVar(page, name, pairCount, pairs);
  } else if (group == 0 && StartsWith(name, "LIN_CHALLENGE_VALUE")) {
    const char* challenge = WebSessOps.MakeChallenge(WebReply.clientFamily, WebReply.clientAddress);
    WriteValue(page, challenge ? challenge : "");
  } else if (group == 1 && StartsWith(name, "SYS_UCTOKEN")) {
    // The token of the forms on this page; none without a challenge entry.
    const char* token = WebSessOps.MakeToken(WebReply.clientFamily, WebReply.clientAddress);
    WriteValue(page, token ? token : "");
  }
  if (WebReply.length == 0) {
    WebReply.length = 1;
    WebReply.written = 1;
  }
}

int WebSys_FindFormVar(const char* name) {
  for (int i = 0; i < WebFormFieldCount && i < WEB_FORM_FIELDS; ++i)
    if (WebFormFields[i].name && strncmp(WebFormFields[i].name, name, 7) == 0) return i;
  return -1;
}

void WebSys_HandleForm(HttpConn* conn) {
  if (StartsWith(conn->uri, "login")) {
    // A form posted with an empty body has no fields.
    HttpdOps.ParseForm(conn->body, conn->bodyCount, conn->boundary);
    LoginForm();
  } else if (HttpdOps.DevHandleForm) {
    HttpdOps.DevHandleForm(conn);
  }
  WebReply.written = 1;
}
