// System page variables and forms: the nine variable groups of the login
// page and the system pages, and the login, account, system information,
// web server, language, mail and SMS forms.
#include "web/websys.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "core/cfg.h"
#include "core/helpers.h"
#include "core/msg.h"
#include "core/svc.h"
#include "events/evtdef.h"
#include "events/evtlog.h"
#include "events/mail.h"
#include "events/sms.h"
#include "snmp/snmpagent.h"
#include "web/websess.h"

WebSysInfo WebSysInfoText;
int32_t WebSysManageable;
uint8_t WebSysManagerPermission;

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

// ---- page values --------------------------------------------------------------

// One value or one row: formed in the reply record, then written to the page.
void WriteFormat(FILE* page, const char* format, ...) __attribute__((format(printf, 2, 3)));
void WriteFormat(FILE* page, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  vsnprintf(WebReply.text, sizeof WebReply.text, format, ap);
  va_end(ap);
  WebReply.length = static_cast<uint16_t>(strlen(WebReply.text) + 1);
  WebReply.written = 1;
  fputs(WebReply.text, page);
}

void WriteText(FILE* page, const char* text) { WriteFormat(page, "%s", text); }

// A text that may hold user or network input, escaped for HTML.
void WriteHtml(FILE* page, const char* text) {
  char escaped[WEB_REPLY_SIZE];
  WebSys_HtmlEscape(escaped, sizeof escaped, text);
  WriteText(page, escaped);
}

// A wide setting as page text: at most maxBytes bytes of whole characters;
// a text the locale cannot encode gives an empty value.
void WideValue(char* out, size_t size, const wchar_t* text, size_t maxBytes) {
  out[0] = 0;
  if (wcstombs(nullptr, text, 0) == static_cast<size_t>(-1)) return;
  Cfg_WideToText(out, maxBytes + 1 < size ? maxBytes + 1 : size, text);
}

// The five texts escaped for each context they appear in: the arguments of
// a script call inside an onclick attribute, and the cells of a row.
struct Escaped {
  char script[4 * 64 + 1];
  char html[6 * 64 + 1];
  void Of(const char* text) {
    WebSys_ScriptEscape(script, sizeof script, text);
    WebSys_HtmlEscape(html, sizeof html, text);
  }
};

// A code of the pages' lists as its word; a code without one as
// "other (N)".
const char* CodeWord(int code, const char* const* words, int count, char* buffer, size_t size) {
  if (code >= 0 && code < count) return words[code];
  snprintf(buffer, size, "other (%d)", code);
  return buffer;
}

// The level word of a mail receiver or an SMS phone.
const char* LevelWord(int level, char* buffer, size_t size) {
  static const char* const kWords[] = {"None", "Information", "Warning", "Severity"};
  return CodeWord(level, kWords, 4, buffer, size);
}

// The permission of an SNMPv1 access entry or an SNMPv3 user; none is
// "None" for an access entry and "Disabled" for a user, as the pages'
// choices name them.
const char* PermissionWord(int permission, const char* none, char* buffer, size_t size) {
  const char* const words[] = {none, "Read only", "Read and write"};
  return CodeWord(permission, words, 3, buffer, size);
}

// An SNMPv3 user's security level, and the digest and cipher it uses.
struct SecurityWords {
  char level[32], auth[32], priv[32];
  explicit SecurityWords(int security) {
    static const char* const kLevels[] = {"No authentication, no privacy", "Authentication, no privacy",
                                          "Authentication and privacy"};
    char other[32];
    snprintf(level, sizeof level, "%s", CodeWord(security, kLevels, 3, other, sizeof other));
    const bool known = security >= 0 && security <= 2;
    snprintf(auth, sizeof auth, "%s", !known ? "other" : security >= 1 ? "MD5" : "none");
    snprintf(priv, sizeof priv, "%s", !known ? "other" : security == 2 ? "DES" : "none");
  }
};

constexpr const char* kMailPlaceholder = "user@example.com";

// The nine groups and their names; within a group the first name that is a
// prefix of the requested name takes it.
enum LinName { LIN_PRODUCT_NAME, LIN_DEVICE_IP, LIN_CHALLENGE_VALUE, LIN_DISABLE_RADIUS, LIN_LOGIN_LEVEL,
               LIN_SENSOR_MENU, LIN_REFRESH, LIN_INDEX_ASP, LIN_MENU_ASP, LIN_LOGO_IDX, LIN_ACCOUNT,
               LIN_PASSWORD, LIN_SUBMIT, LIN_LANG, LIN_SWVER, LIN_SUPPORT_LANG, LIN_ODM };
const char* const kLin[] = {"LIN_PRODUCT_NAME", "LIN_DEVICE_IP", "LIN_CHALLENGE_VALUE", "LIN_DISABLE_RADIUS",
                            "LIN_LOGIN_LEVEL", "LIN_SENSOR_MENU", "LIN_REFRESH", "LIN_INDEX_ASP", "LIN_MENU_ASP",
                            "LIN_LOGO_IDX", "LIN_ACCOUNT", "LIN_PASSWORD", "LIN_SUBMIT", "LIN_LANG", "LIN_SWVER",
                            "LIN_SUPPORT_LANG", "LIN_ODM"};
enum SysName { SYS_TIME, SYS_UCTOKEN, SYS_DFTPASSWRD, SYS_LINKTOKEN, SYS_DFTSNMP };
const char* const kSys[] = {"SYS_TIME", "SYS_UCTOKEN", "SYS_DFTPASSWRD", "SYS_LINKTOKEN", "SYS_DFTSNMP"};
enum UsrName { USR_ACCOUNT, USR_PASSWD, USR_LOCK, USR_RETRY, USR_LTIME };
const char* const kUsr[] = {"USR_ACCOUNT", "USR_PASSWD", "USR_LOCK", "USR_RETRY", "USR_LTIME"};
const char* const kInf[] = {"INF_INSTALL_DATE", "INF_LOCATION", "INF_DESCRIPTION", "INF_CONTACTOR", "INF_NAME"};
enum WebName { WEB_HTTP_EN, WEB_HTTP_DIS, WEB_HTTPS_EN, WEB_HTTPS_DIS, WEB_HTTP_PORT, WEB_HTTPS_PORT, WEB_REFRESH,
               WEB_FORCEHTTPS_EN, WEB_FORCEHTTPS_DIS };
const char* const kWeb[] = {"WEB_HTTP_EN",    "WEB_HTTP_DIS",   "WEB_HTTPS_EN", "WEB_HTTPS_DIS",     "WEB_HTTP_PORT",
                            "WEB_HTTPS_PORT", "WEB_REFRESH",    "WEB_FORCEHTTPS_EN", "WEB_FORCEHTTPS_DIS"};
const char* const kAcs[] = {"ACS_SOURCE_LIST", "ACS_FUNC_LOAD"};
const char* const kUsm[] = {"USM_USER_LIST", "USM_FUNC_LOAD"};
enum MailName { MAIL_SERVER, MAIL_PORT, MAIL_SENDER, MAIL_PASSWORD, MAIL_LIST_ADD, MAIL_FUNC_LOAD,
                MAIL_MAILSENDER, MAIL_DOMAIN };
const char* const kMail[] = {"MAIL_SERVER",    "MAIL_PORT",      "MAIL_SENDER",     "MAIL_PASSWORD",
                             "MAIL_LIST_ADD",  "MAIL_FUNC_LOAD", "MAIL_MAILSENDER", "MAIL_DOMAIN"};
enum SmsName { SMS_FUNC_LOAD, SMS_LIST, SMS_COM, SMS_BAUD };
const char* const kSms[] = {"SMS_FUNC_LOAD", "SMS_LIST", "SMS_COM", "SMS_BAUD"};

// entry: index of the matched name in its group's table; rest: the
// requested name after the matched one.
using GroupWriter = void (*)(FILE* page, int entry, const char* rest, int pairCount, HttpQueryPair* pairs);

void WriteLin(FILE* page, int entry, const char*, int pairCount, HttpQueryPair* pairs) {
  switch (entry) {
    case LIN_PRODUCT_NAME: WriteText(page, "Brisvane 2012"); break;
    case LIN_DEVICE_IP: {
      const char* address = "";
      for (int family : {2, 10}) {
        for (int i = 0; i < NetInterfaceCount && i < NET_MAX_INTERFACES && !address[0]; ++i)
          if (NetInterfaces[i].family == family && NetInterfaces[i].address[0]) address = NetInterfaces[i].address;
        if (address[0]) break;
      }
      char text[sizeof NetInterfaces[0].address];
      snprintf(text, sizeof text, "%s", address);
      WriteHtml(page, text);
      break;
    }
    case LIN_CHALLENGE_VALUE: {
      const char* challenge =
          WebSessOps.MakeChallenge ? WebSessOps.MakeChallenge(WebReply.clientFamily, WebReply.clientAddress) : nullptr;
      WriteText(page, challenge ? challenge : "");
      break;
    }
    case LIN_DISABLE_RADIUS: WriteText(page, "1"); break;
    case LIN_LOGIN_LEVEL: WriteFormat(page, "%d", WebLoginLevel); break;
    case LIN_SENSOR_MENU: WriteText(page, "0"); break;
    case LIN_REFRESH: WriteText(page, "30"); break;
    case LIN_INDEX_ASP: WriteText(page, "/en/device/index.asp"); break;
    case LIN_MENU_ASP: WriteText(page, "/en/device/menu.asp"); break;
    case LIN_LOGO_IDX: WriteText(page, "1"); break;
    // The login page requested with account=...&password=... shows them
    // back (escaped: they come from the address bar).
    case LIN_ACCOUNT:
      if (pairCount >= 2 && pairs[0].name && pairs[0].value && strcmp(pairs[0].name, "account") == 0)
        WriteHtml(page, pairs[0].value);
      break;
    case LIN_PASSWORD:
      if (pairCount >= 2 && pairs[1].name && pairs[1].value && strcmp(pairs[1].name, "password") == 0)
        WriteHtml(page, pairs[1].value);
      break;
    case LIN_SUBMIT:
      if (pairCount >= 2) WriteText(page, pairs[0].name && strcmp(pairs[0].name, "account") == 0 ? "1" : "0");
      break;
    case LIN_LANG: WriteFormat(page, "%d", CfgLanguage); break;
    case LIN_SWVER: WriteText(page, SVC_VERSION); break;
    case LIN_SUPPORT_LANG: WriteText(page, "1111000000000000"); break;
    case LIN_ODM: WriteText(page, "0"); break;
  }
}

void FactorySnmp(FILE* page);

void WriteSys(FILE* page, int entry, const char*, int, HttpQueryPair*) {
  switch (entry) {
    case SYS_TIME: {
      time_t now = Svc_Now();
      struct tm tm;
      char text[32] = "";
      if (localtime_r(&now, &tm)) strftime(text, sizeof text, "%a %m/%d/%Y %p %I:%M:%S", &tm);
      WriteText(page, text);
      break;
    }
    case SYS_UCTOKEN: {
      // The token of the forms on this page; none without a challenge entry.
      const char* token = WebSessOps.MakeToken ? WebSessOps.MakeToken() : nullptr;
      WriteText(page, token ? token : "");
      break;
    }
    case SYS_LINKTOKEN: {
      // The session's token for its links that change something (logging
      // out); the same on every page, so it takes none of the forms'.
      const char* token = WebSess_LinkToken();
      WriteText(page, token ? token : "");
      break;
    }
    case SYS_DFTPASSWRD: {
      // The accounts named at the administrator's login that still have the
      // factory password: shown on every load of the page until they are
      // changed (the page lets the operator put the notice away).
      const int32_t named = WebSessOps.GetVar ? WebSessOps.GetVar(WSV_DEFAULT_PASSWORD) : 0;
      const int32_t mask = named & Svc_DefaultPasswordMask();
      if (mask != named && WebSessOps.SetVar) WebSessOps.SetVar(WSV_DEFAULT_PASSWORD, mask);
      WriteFormat(page, "%d", mask);
      break;
    }
    case SYS_DFTSNMP: FactorySnmp(page); break;
  }
}

void WriteUsr(FILE* page, int entry, const char* rest, int, HttpQueryPair*) {
  switch (entry) {
    case USR_ACCOUNT: {
      // The whole name: the page posts it back, so a cut name would rename
      // the account.
      int digit = rest[0] - '0';
      if (digit < 1 || digit > WEB_ACCOUNTS) break;
      char name[4 * WEB_ACCOUNT_CHARS + 1];
      WideValue(name, sizeof name, WebAccounts[digit - 1].name, sizeof name - 1);
      WriteHtml(page, name);
      break;
    }
    case USR_PASSWD: break;  // passwords are never shown
    case USR_LOCK: WriteText(page, WebLock.enable ? "Checked" : ""); break;
    case USR_RETRY: WriteFormat(page, "%d", WebLock.retryLimit); break;
    case USR_LTIME: WriteFormat(page, "%d", WebLock.lockMinutes); break;
  }
}

void WriteInf(FILE* page, int entry, const char*, int, HttpQueryPair*) {
  static const struct {
    const wchar_t* text;
    size_t maxBytes;
  } kTexts[] = {
      {WebSysInfoText.installDate, 32}, {WebSysInfoText.location, 64}, {WebSysInfoText.description, 128},
      {WebSysInfoText.contactor, 32},   {WebSysInfoText.name, 32},
  };
  char text[129];
  WideValue(text, sizeof text, kTexts[entry].text, kTexts[entry].maxBytes);
  WriteHtml(page, text);
}

void WriteWeb(FILE* page, int entry, const char*, int, HttpQueryPair*) {
  const bool http = HttpdSetting.listen & HTTPD_LISTEN_HTTP;
  const bool https = HttpdSetting.listen & HTTPD_LISTEN_HTTPS;
  const bool force = HttpdSetting.forceHttps != 0;
  switch (entry) {
    case WEB_HTTP_EN: WriteText(page, http ? "Checked" : ""); break;
    case WEB_HTTP_DIS: WriteText(page, http ? "" : "Checked"); break;
    case WEB_HTTPS_EN: WriteText(page, https ? "Checked" : ""); break;
    case WEB_HTTPS_DIS: WriteText(page, https ? "" : "Checked"); break;
    case WEB_HTTP_PORT: WriteFormat(page, "%d", HttpdSetting.httpPort); break;
    case WEB_HTTPS_PORT: WriteFormat(page, "%d", HttpdSetting.httpsPort); break;
    case WEB_REFRESH: WriteFormat(page, "%d", HttpdSetting.refresh); break;
    case WEB_FORCEHTTPS_EN: WriteText(page, force ? "Checked" : ""); break;
    case WEB_FORCEHTTPS_DIS: WriteText(page, force ? "" : "Checked"); break;
  }
}

int AccessCount() {
  return SnmpAgentSetting.accessCount > SNMP_ACCESS_ENTRIES ? SNMP_ACCESS_ENTRIES : SnmpAgentSetting.accessCount;
}
int UserCount() { return SnmpAgentSetting.userCount > SNMP_USM_USERS ? SNMP_USM_USERS : SnmpAgentSetting.userCount; }
int ReceiverCount() { return MailSetting.receiverCount > MAIL_RECEIVERS ? MAIL_RECEIVERS : MailSetting.receiverCount; }
int PhoneCount() { return SmsSetting.phoneCount > SMS_PHONES ? SMS_PHONES : SmsSetting.phoneCount; }

// A text field of a settings record, terminated within its array whatever
// the record holds.
struct FieldText {
  char text[128];
};
template <size_t N>
FieldText Text(const char (&field)[N]) {
  static_assert(N < sizeof(FieldText::text));
  FieldText out;
  size_t n = strnlen(field, N);
  memcpy(out.text, field, n);
  out.text[n] = 0;
  return out;
}

// The factory SNMP secrets still in force, one element each: the users
// the agent serves that have a factory password their security level asks
// for, and the access entries that admit the factory community.
void FactorySnmp(FILE* page) {
  Escaped name, source;
  for (int i = 0; i < UserCount(); ++i) {
    const UsmUser& u = SnmpAgentSetting.users[i];
    if (u.permission < 1 || u.permission > 2 || !u.name[0] || !SnmpAgent_UserHasPasswords(u)) continue;
    const bool auth = u.security >= 1 && strncmp(u.authPassword, SNMP_FACTORY_AUTH, sizeof u.authPassword) == 0;
    const bool priv = u.security >= 2 && strncmp(u.privPassword, SNMP_FACTORY_PRIV, sizeof u.privPassword) == 0;
    if (!auth && !priv) continue;
    name.Of(Text(u.name).text);
    WriteFormat(page, "<snmp-user row=\"%d\" name=\"%s\" permission=\"%d\" auth=\"%d\" priv=\"%d\"></snmp-user>\n",
                i + 1, name.html, u.permission, auth ? 1 : 0, priv ? 1 : 0);
  }
  for (int i = 0; i < AccessCount(); ++i) {
    const SnmpAccessEntry& e = SnmpAgentSetting.access[i];
    if (e.permission < 1 || e.permission > 2 ||
        strncmp(e.community, SNMP_FACTORY_COMMUNITY, sizeof e.community) != 0)
      continue;
    source.Of(Text(e.address).text);
    WriteFormat(page, "<snmp-community row=\"%d\" name=\"%s\" source=\"%s\" permission=\"%d\"></snmp-community>\n",
                i + 1, SNMP_FACTORY_COMMUNITY, source.html, e.permission);
  }
}

// The cells show the permission as a word; the call keeps its number for
// the page's choice.
const char* const kAcsRow =
    "<tr align=center><td>%d</td><td><a href=\"#\" id=\"%d\" onclick=\"Func_Select(%d,'%s','%s',%d,%d);\">%s</a>"
    "</td><td>%s</td><td>%s</td></tr>\n";

void WriteAcs(FILE* page, int entry, const char*, int, HttpQueryPair*) {
  const int count = AccessCount();
  Escaped address, community;
  char word[32];
  if (entry == 0) {
    if (count == 0)
      WriteFormat(page, kAcsRow, 1, 1, 1, "0.0.0.0", "tambor", 0, 0, "0.0.0.0", "tambor",
                  PermissionWord(0, "None", word, sizeof word));
    for (int i = 0; i < count; ++i) {
      const SnmpAccessEntry& e = SnmpAgentSetting.access[i];
      address.Of(Text(e.address).text);
      community.Of(Text(e.community).text);
      WriteFormat(page, kAcsRow, i + 1, i + 1, i + 1, address.script, community.script, e.permission, 1,
                  address.html, community.html, PermissionWord(e.permission, "None", word, sizeof word));
    }
    return;
  }
  if (count == 0) {
    WriteFormat(page, "Func_Select(%d,'%s','%s',%d,%d);\n", 1, "0.0.0.0", "tambor", 0, 0);
    return;
  }
  const SnmpAccessEntry& e = SnmpAgentSetting.access[0];
  address.Of(Text(e.address).text);
  community.Of(Text(e.community).text);
  WriteFormat(page, "Func_Select(%d,'%s','%s',%d,%d);\n", 1, address.script, community.script, e.permission, 1);
}

// The cells show the security level, the digest and the cipher it uses and
// the permission as words; the call keeps the numbers for the page's
// choices, and its two password places stay empty: passwords are never shown.
const char* const kUsmRow =
    "<tr align=center><td>%d</td><td><a href=\"#\" id=\"%d\" onclick=\"Func_Select(%d,'%s',%d,'%s','%s',%d,%d);\">"
    "%s</a></td><td>%s</td><td>%s</td><td>%s</td><td>%s</td></tr>\n";

void WriteUsm(FILE* page, int entry, const char*, int, HttpQueryPair*) {
  const int count = UserCount();
  Escaped name;
  char word[32];
  if (entry == 0) {
    if (count == 0)
      WriteFormat(page, kUsmRow, 1, 1, 1, "", 0, "auth", "priv", 0, 0, "", "", "", "", "");
    for (int i = 0; i < count; ++i) {
      const UsmUser& u = SnmpAgentSetting.users[i];
      name.Of(Text(u.name).text);
      const SecurityWords security(u.security);
      WriteFormat(page, kUsmRow, i + 1, i + 1, i + 1, name.script, u.security, "", "", u.permission, 1, name.html,
                  security.level, security.auth, security.priv,
                  PermissionWord(u.permission, "Disabled", word, sizeof word));
    }
    return;
  }
  if (count == 0) {
    WriteFormat(page, "Func_Select(%d,'%s',%d,'%s','%s',%d,%d);\n", 1, "", 0, "auth", "priv", 0, 0);
    return;
  }
  const UsmUser& u = SnmpAgentSetting.users[0];
  name.Of(Text(u.name).text);
  WriteFormat(page, "Func_Select(%d,'%s',%d,'%s','%s',%d,%d);\n", 1, name.script, u.security, "", "", u.permission, 1);
}

// The rows of the mail receivers and the SMS phones.
const char* const kMailRow =
    "<tr><td>%d</td><td><a href=\"#\" id=\"%d\" onclick=\"Func_Select(%d,'%s',%d,%d);\">%s</a></td><td>%s</td></tr>\n";
const char* const kSmsRow =
    "<tr align=center><td>%d</td><td><a href=\"#\" id=\"%d\" onclick=\"Func_Select(%d,'%s',%d,%d);\">%s</a></td>"
    "<td>%s</td></tr>\n";

void WriteMail(FILE* page, int entry, const char*, int, HttpQueryPair*) {
  const int count = ReceiverCount();
  Escaped address;
  char word[32];
  switch (entry) {
    case MAIL_SERVER: WriteHtml(page, Text(MailSetting.server).text); break;
    case MAIL_PORT: WriteFormat(page, "%d", MailSetting.port); break;
    case MAIL_SENDER: WriteHtml(page, Text(MailSetting.account).text); break;
    case MAIL_PASSWORD: break;  // never shown
    case MAIL_MAILSENDER: WriteHtml(page, Text(MailSetting.from).text); break;
    case MAIL_DOMAIN: WriteHtml(page, Text(MailSetting.domain).text); break;
    case MAIL_LIST_ADD:
      // Every row goes to the page as it is formed.
      if (count == 0) WriteFormat(page, kMailRow, 1, 1, 1, kMailPlaceholder, 0, 0, kMailPlaceholder, "None");
      for (int i = 0; i < count; ++i) {
        const MailReceiver& r = MailSetting.receivers[i];
        address.Of(Text(r.address).text);
        WriteFormat(page, kMailRow, i + 1, i + 1, i + 1, address.script, r.level, count, address.html,
                    LevelWord(r.level, word, sizeof word));
      }
      break;
    case MAIL_FUNC_LOAD:
      if (count == 0) {
        WriteFormat(page, "Func_Select(%d,'%s',%d,%d)", 1, kMailPlaceholder, 0, 0);
      } else {
        address.Of(Text(MailSetting.receivers[0].address).text);
        WriteFormat(page, "Func_Select(%d,'%s',%d,%d)", 1, address.script, MailSetting.receivers[0].level, count);
      }
      break;
  }
}

void WriteSms(FILE* page, int entry, const char*, int, HttpQueryPair*) {
  const int count = PhoneCount();
  Escaped number;
  char word[32];
  switch (entry) {
    case SMS_COM: WriteFormat(page, "%d", SmsSetting.port); break;
    case SMS_BAUD: WriteFormat(page, "%d", SmsSetting.baud); break;
    case SMS_LIST:
      if (count == 0) WriteFormat(page, kSmsRow, 1, 1, 1, "", 0, 0, "", "None");
      for (int i = 0; i < count; ++i) {
        const SmsPhone& p = SmsSetting.phones[i];
        number.Of(Text(p.number).text);
        WriteFormat(page, kSmsRow, i + 1, i + 1, i + 1, number.script, p.level, count, number.html,
                    LevelWord(p.level, word, sizeof word));
      }
      break;
    case SMS_FUNC_LOAD:
      if (count == 0) {
        WriteFormat(page, "Func_Select(%d,'%s',%d,%d)", 1, "", 0, 0);
      } else {
        number.Of(Text(SmsSetting.phones[0].number).text);
        WriteFormat(page, "Func_Select(%d,'%s',%d, %d)", 1, number.script, SmsSetting.phones[0].level, count);
      }
      break;
  }
}

struct Group {
  const char* prefix;
  const char* const* names;
  int count;
  GroupWriter write;
};
template <size_t N>
constexpr Group MakeGroup(const char* prefix, const char* const (&names)[N], GroupWriter write) {
  return {prefix, names, static_cast<int>(N), write};
}
// Tried in this order: "MAIL" by its four characters, the others by three.
const Group kGroups[] = {
    MakeGroup("LIN", kLin, WriteLin), MakeGroup("SYS", kSys, WriteSys),   MakeGroup("USR", kUsr, WriteUsr),
    MakeGroup("INF", kInf, WriteInf), MakeGroup("WEB", kWeb, WriteWeb),   MakeGroup("ACS", kAcs, WriteAcs),
    MakeGroup("USM", kUsm, WriteUsm), MakeGroup("MAIL", kMail, WriteMail), MakeGroup("SMS", kSms, WriteSms),
};

// ---- forms ----------------------------------------------------------------------

const char* const kIncorrectInput = "Message: Title=Error\nBody=<font color=#F00000>Incorrect input!</font>\n";
// config.ini could not be rewritten: the change was undone.
const char* const kNotSaved =
    "Message: Title=Error\nBody=<font color=#F00000>The settings could not be saved.</font>\n";
const char* const kWrongIndex =
    "Message: Title=Wrong Index Number\nBody=<font color=#808000>The index number is incorrect.</font>\n";

// The first posted field whose name begins with key.
const WebFormField* Field(const char* key) {
  for (int i = 0; i < WebFormFieldCount && i < WEB_FORM_FIELDS; ++i)
    if (WebFormFields[i].name && StartsWith(WebFormFields[i].name, key)) return &WebFormFields[i];
  return nullptr;
}

const WebFormField* FieldExact(const char* name) {
  for (int i = 0; i < WebFormFieldCount && i < WEB_FORM_FIELDS; ++i)
    if (WebFormFields[i].name && strcmp(WebFormFields[i].name, name) == 0) return &WebFormFields[i];
  return nullptr;
}

const char* Value(const WebFormField* f) { return f && f->valueStart ? f->valueStart : ""; }

// The form token posted with the form, checked against those the session
// was given with its pages.
bool TokenValid() {
  int i = WebSys_FindFormVar("SYS_UCTOKEN");
  if (i < 0 || !WebFormFields[i].valueStart || !WebSessOps.CheckToken) return false;
  return WebSessOps.CheckToken(WebFormFields[i].valueStart) == 1;
}

// Saves config.ini; the given reply on success, else the one that says so
// (and the change is undone). Whether it was saved.
bool SaveAndReply(const char* reply) {
  const bool saved = WebSys_SaveSettings();
  SetReply("%s", saved ? reply : kNotSaved);
  return saved;
}

bool SaveAndReplyUpdated(const char* page) {
  char reply[160];
  snprintf(reply, sizeof reply,
           "Message: Redirect=/en/%s\nTitle=Information\nBody=<font color=#008000>Updated successfully.</font>\n",
           page);
  return SaveAndReply(reply);
}

// A whole decimal number within [low, high]; atoi's reading otherwise
// (leading blanks, a sign, digits up to the first other character).
bool NumberIn(const char* text, long low, long high, long* out) {
  char* end;
  long v = strtol(text, &end, 10);
  if (end == text) v = 0;
  *out = v;
  return v >= low && v <= high;
}

// Copies text into out (size bytes with the NUL), cut before an incomplete
// UTF-8 character.
void CopyCut(char* out, size_t size, const char* text) {
  size_t n = strlen(text);
  if (n >= size) {
    n = size - 1;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  memcpy(out, text, n);
  out[n] = 0;
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

const char* const kChallengeNotFound =
    "Message: Redirect=/login.asp\nTitle=Challenge Not Found\nBody=<font color=#808000>Please refresh the "
    "login page again.</font>\n";

void LoginForm() {
  const int family = WebReply.clientFamily;
  const uint8_t* address = WebReply.clientAddress;
  // Without its entry in the challenge table (expired, or taken by other
  // clients) a login still stands when its response fits a challenge this
  // client was given within the last 60 seconds; one that does not is
  // answered "Challenge Not Found", and counted as a failed login all the
  // same: a client must not be able to guess passwords past the lock-out by
  // having its own entry taken away.
  const bool challengeKept = WebSessOps.GetChallenge && WebSessOps.GetChallenge(family, address);
  const WebFormField* userField = FieldExact("Username");
  const WebFormField* response = FieldExact("Response");
  if (!userField || !response) {
    if (!challengeKept) SetReply("%s", kChallengeNotFound);
    return;
  }
  char user[65];
  snprintf(user, sizeof user, "%s", Value(userField));
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
    } else if (WebSessOps.CheckResponse(Value(response), name, password, family, address)) {
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
  if (challengeKept)
    SetReply(
        "Message: Redirect=/login.asp\nTitle=Login Error\nBody=<font color=#FF0000>Please check the account and "
        "password.</font>\n");
  else
    SetReply("%s", kChallengeNotFound);
  // Failed logins are logged at a bounded rate; the lock-out counts them all.
  const bool logIt = WebSess_LoginFailed(family, address) == 1;
  if (result == UNKNOWN) {
    if (logIt) LogEvent(EVT_WEB_UNKNOWN_ACCOUNT, where, nullptr);
    return;
  }
  if (logIt) LogEvent(EVT_WEB_WRONG_PASSWORD, shown, where, nullptr);
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

// An account name or password as posted: converted whole, at most 32
// characters; 0 when it does not convert or does not fit.
bool AccountText(wchar_t (&out)[WEB_ACCOUNT_CHARS + 1], const char* text, size_t* chars) {
  size_t n = mbstowcs(nullptr, text, 0);
  *chars = n;
  if (n == static_cast<size_t>(-1) || n > WEB_ACCOUNT_CHARS) return false;
  mbstowcs(out, text, WEB_ACCOUNT_CHARS + 1);
  out[WEB_ACCOUNT_CHARS] = 0;
  return true;
}

// The accounts and the login lock. Every field is checked before anything
// changes: a post with one refused field changes nothing.
void UserForm() {
  if (WebSys_CheckInput(2, "USR_ACCOUNT", "USR_PASSWD")) return;
  struct {
    bool setName, setPassword;
    wchar_t name[WEB_ACCOUNT_CHARS + 1];
    wchar_t password[WEB_ACCOUNT_CHARS + 1];
  } change[WEB_ACCOUNTS] = {};
  WebLockSettings lock = WebLock;
  lock.enable = 0;  // an unticked box sends no field
  const char* error = nullptr;  // a later error replaces an earlier one
  for (int i = 0; i < WebFormFieldCount && i < WEB_FORM_FIELDS; ++i) {
    const WebFormField& f = WebFormFields[i];
    if (!f.name) continue;
    const char* value = Value(&f);
    long number;
    size_t chars;
    if (StartsWith(f.name, "USR_ACCOUNT")) {
      int digit = f.name[11] - '0';
      if (!value[0]) {
        error = "Message: Title=Error\nBody=<font color=#F00000>The account or password can't be empty!</font>\n";
      } else if (digit < 1 || digit > WEB_ACCOUNTS) {
        error = "Message: Title=Error\nBody=<font color=#F00000>Incorrect user index!</font>\n";
      } else if (!AccountText(change[digit - 1].name, value, &chars)) {
        error = kIncorrectInput;
      } else {
        change[digit - 1].setName = true;
      }
    } else if (StartsWith(f.name, "USR_PASSWD")) {
      int digit = f.name[10] - '0';
      if (!value[0]) continue;  // the password stays
      if (digit < 1 || digit > WEB_ACCOUNTS) {
        error = "Message: Title=Error\nBody=<font color=#F00000>Incorrect password index!</font>\n";
      } else if (!AccountText(change[digit - 1].password, value, &chars) || chars <= 7) {
        error = chars == static_cast<size_t>(-1)
                    ? kIncorrectInput
                    : "Message: Title=Error\nBody=<font color=#F00000>Incorrect password length!</font>\n";
      } else {
        change[digit - 1].setPassword = true;
      }
    } else if (StartsWith(f.name, "USR_LOCK")) {
      lock.enable = 1;
    } else if (StartsWith(f.name, "USR_RETRY")) {
      if (NumberIn(value, 0, 65535, &number))
        lock.retryLimit = static_cast<uint16_t>(number);
      else
        error = kIncorrectInput;
    } else if (StartsWith(f.name, "USR_LTIME")) {
      if (NumberIn(value, 0, 65535, &number))
        lock.lockMinutes = static_cast<uint16_t>(number);
      else
        error = kIncorrectInput;
    }
  }
  if (error) {
    SetReply("%s", error);
    return;
  }
  for (int i = 0; i < WEB_ACCOUNTS; ++i) {
    if (change[i].setName) wcscpy(WebAccounts[i].name, change[i].name);
    if (change[i].setPassword) wcscpy(WebAccounts[i].password, change[i].password);
  }
  memset(change, 0, sizeof change);
  WebLock = lock;
  SaveAndReplyUpdated("sys_user.asp");
}

void InfoForm() {
  if (WebSys_CheckInput(5, "INF_INSTALL_DATE", "INF_LOCATION", "INF_DESCRIPTION", "INF_CONTACTOR", "INF_NAME"))
    return;
  // Cut at the bytes that config.ini keeps, so the saved text reads back
  // as it was set.
  const struct {
    const char* key;
    wchar_t* text;
    size_t chars;
  } kTexts[] = {
      {"INF_INSTALL_DATE", WebSysInfoText.installDate, 32}, {"INF_LOCATION", WebSysInfoText.location, 64},
      {"INF_DESCRIPTION", WebSysInfoText.description, 128}, {"INF_CONTACTOR", WebSysInfoText.contactor, 32},
      {"INF_NAME", WebSysInfoText.name, 32},
  };
  for (int i = 0; i < WebFormFieldCount && i < WEB_FORM_FIELDS; ++i) {
    const WebFormField& f = WebFormFields[i];
    if (!f.name) continue;
    for (const auto& t : kTexts) {
      if (!StartsWith(f.name, t.key)) continue;
      Cfg_TextToWide(t.text, t.chars + 1, Value(&f), t.chars);
      break;
    }
  }
  SaveAndReplyUpdated("sys_info.asp");
}

// A file as it stands, kept under a second name (a hard link, which takes
// no space) while a form replaces it, so that the form can put it back
// when its settings cannot be saved; the second name goes with the form.
class KeptFile {
 public:
  KeptFile(std::string path, bool keep) : path_(std::move(path)), kept_(path_ + ".kept"), keep_(keep) {
    if (!keep_) return;
    unlink(kept_.c_str());
    existed_ = access(path_.c_str(), F_OK) == 0;
    linked_ = existed_ && link(path_.c_str(), kept_.c_str()) == 0;
  }
  ~KeptFile() {
    if (linked_) unlink(kept_.c_str());
  }
  KeptFile(const KeptFile&) = delete;
  KeptFile& operator=(const KeptFile&) = delete;
  // The file as it was: the kept one back in its place, or none where there
  // was none. A file that could not be kept stays as it is now.
  void PutBack() {
    if (!keep_) return;
    if (linked_)
      linked_ = rename(kept_.c_str(), path_.c_str()) != 0;
    else if (!existed_)
      unlink(path_.c_str());
  }

 private:
  std::string path_, kept_;
  bool keep_, existed_ = false, linked_ = false;
};

void RestartListeners() {
  if (HttpdOps.Stop) HttpdOps.Stop();
  if (HttpdOps.Start)
    HttpdOps.Start(HttpdSetting.httpPort, HttpdSetting.httpsPort, (HttpdSetting.listen & HTTPD_LISTEN_HTTP) ? 1 : 0,
                   (HttpdSetting.listen & HTTPD_LISTEN_HTTPS) ? 1 : 0);
}

// The web server: listeners, ports, refresh period, HTTPS redirect and the
// certificate. Every field is checked (and an uploaded certificate stored)
// before any setting changes; settings that cannot be saved put the
// certificate back as it was.
void WebForm() {
  long number;
  uint8_t listen = HttpdSetting.listen;
  int httpPort = HttpdSetting.httpPort, httpsPort = HttpdSetting.httpsPort;
  int refresh = HttpdSetting.refresh, force = HttpdSetting.forceHttps;
  const WebFormField* cert = nullptr;
  if (const WebFormField* r = Field("WEB_REFRESH"); r && !NumberIn(Value(r), 1, 65535, &number)) {
    SetReply(
        "Message: Title=Illegal refresh period\nBody=<font color=#808000>The refresh period should greater than "
        "0.</font>\n");
    return;
  }
  for (int i = 0; i < WebFormFieldCount && i < WEB_FORM_FIELDS; ++i) {
    const WebFormField& f = WebFormFields[i];
    if (!f.name) continue;
    const char* value = Value(&f);
    if (StartsWith(f.name, "HTTP_WEB")) {
      listen = atoi(value) ? (listen | HTTPD_LISTEN_HTTP) : (listen & ~HTTPD_LISTEN_HTTP);
    } else if (StartsWith(f.name, "HTTPS_WEB")) {
      listen = atoi(value) ? (listen | HTTPD_LISTEN_HTTPS) : (listen & ~HTTPD_LISTEN_HTTPS);
    } else if (StartsWith(f.name, "WEB_FORCEHTTPS")) {
      force = atoi(value) ? 1 : 0;
    } else if (StartsWith(f.name, "WEB_HTTP_PORT") || StartsWith(f.name, "WEB_HTTPS_PORT")) {
      if (!NumberIn(value, 1, 65535, &number)) {
        SetReply("Message: Title=Illegal port\nBody=<font color=#808000>The port should be from 1 to 65535.</font>\n");
        return;
      }
      (f.name[8] == 'S' ? httpsPort : httpPort) = static_cast<int>(number);
    } else if (StartsWith(f.name, "WEB_REFRESH")) {
      NumberIn(value, 1, 65535, &number);
      refresh = static_cast<int>(number);
    } else if (StartsWith(f.name, "WEB_SSLCERT")) {
      if (f.fileName && f.fileName[0] && f.valueEnd && f.valueEnd >= f.valueStart) cert = &f;
    }
  }
  if (refresh < 1 || refresh > 65535) refresh = HttpdSetting.refresh;
  // The certificate in force stays at hand until the settings are saved.
  KeptFile oldCert(std::string(Httpd_InstallDir()) + "/httpd/cert_web.pem", cert != nullptr);
  if (cert && !Httpd_SaveCert(cert)) {
    SetReply(
        "Message: Redirect=/en/sys_web.asp\nTitle=Error\nBody=<font color=#800000>File format mismatched or "
        "error.</font>\n");
    return;
  }
  // The listeners and the TLS context are rebuilt once the new settings are
  // on disk, after the form: every connection closes then, the one that
  // posted this form too.
  if (cert || listen != HttpdSetting.listen || httpPort != HttpdSetting.httpPort ||
      httpsPort != HttpdSetting.httpsPort)
    WebSys_AfterSave(RestartListeners);
  HttpdSetting.listen = listen;
  HttpdSetting.httpPort = static_cast<uint16_t>(httpPort);
  HttpdSetting.httpsPort = static_cast<uint16_t>(httpsPort);
  HttpdSetting.refresh = static_cast<uint16_t>(refresh);
  HttpdSetting.forceHttps = force;
  if (!SaveAndReplyUpdated("sys_web.asp")) oldCert.PutBack();
}

void PostMessage(uint8_t code, uint32_t delay) {
  MsgPostParams = MsgParams{};
  if (MsgOps.PostDelayed) MsgOps.PostDelayed(code, delay);
}

void LanguageForm() {
  const WebFormField* f = Field("LANG");
  if (!f) return;
  long language;
  // The event texts come from one of the four language directories.
  if (!NumberIn(Value(f), 0, 3, &language)) {
    SetReply("%s", kIncorrectInput);
    return;
  }
  CfgLanguage = static_cast<uint8_t>(language);
  // The event texts of the language in force are read again.
  WebSys_AfterSave([] { PostMessage(MSG_LANGUAGE, 1); });
  SaveAndReply("OK: Redirect=/en/device/index.asp");
}

void MailForm() {
  if (WebSys_CheckInput(5, "MAIL_SERVER", "MAIL_SENDER", "MAIL_PASSWORD", "MAIL_MAILSENDER", "MAIL_DOMAIN")) return;
  long port = MailSetting.port;
  if (const WebFormField* f = Field("MAIL_PORT"); f && !NumberIn(Value(f), 1, 65535, &port)) {
    SetReply("Message: Title=Illegal port\nBody=<font color=#808000>The port should be from 1 to 65535.</font>\n");
    return;
  }
  const struct {
    const char* key;
    char* text;
    bool keepWhenEmpty;
  } kTexts[] = {
      {"MAIL_SERVER", MailSetting.server, false},  {"MAIL_SENDER", MailSetting.account, false},
      {"MAIL_PASSWORD", MailSetting.password, true}, {"MAIL_MAILSENDER", MailSetting.from, false},
      {"MAIL_DOMAIN", MailSetting.domain, false},
  };
  for (int i = 0; i < WebFormFieldCount && i < WEB_FORM_FIELDS; ++i) {
    const WebFormField& f = WebFormFields[i];
    if (!f.name) continue;
    if (StartsWith(f.name, "MAIL_PORT")) {
      MailSetting.port = static_cast<uint16_t>(port);
      continue;
    }
    for (const auto& t : kTexts) {
      if (!StartsWith(f.name, t.key)) continue;
      if (!(t.keepWhenEmpty && !Value(&f)[0])) CopyCut(t.text, MAIL_TEXT, Value(&f));
      break;
    }
  }
  SaveAndReplyUpdated("net_mail.asp");
}

// The receiver address posted with an add or an edit, cut as the list
// keeps it; null (with the reply left) when it is refused.
const char* ReceiverAddress(char (&out)[MAIL_TEXT]) {
  if (WebSys_CheckInput(1, "MAIL_RCV")) return nullptr;
  const WebFormField* f = Field("MAIL_RCV");
  if (!f || !Value(f)[0]) {
    SetReply("%s", kIncorrectInput);
    return nullptr;
  }
  CopyCut(out, sizeof out, Value(f));
  return out;
}

// Index of another receiver with this address, or -1.
int ReceiverWith(const char* address, int except) {
  for (int i = 0; i < ReceiverCount(); ++i)
    if (i != except && strncmp(MailSetting.receivers[i].address, address, MAIL_TEXT) == 0) return i;
  return -1;
}

const char* const kDuplicateReceiver = "Message: Title=Error\nBody=<font color=#800000>Duplicated mail receiver!</font>\n";

// Queues the test mail when a server and a receiver of its level are set;
// otherwise says what is missing. Whether it is delivered, the event log
// tells (the mail module logs a refusal or a failed try).
void TestMail() {
  const int level = EvtDef_Level(MAIL_TEST_EVENT);
  std::string missing;
  if (!MailSetting.server[0]) missing = "no mail server is set";
  if (Mail_ReceiversOf(level) == 0) {
    bool any = false;
    for (int i = 0; i < ReceiverCount(); ++i) any = any || MailSetting.receivers[i].address[0];
    if (!missing.empty()) missing += " and ";
    if (any)
      missing += "no receiver takes mail of level " + std::to_string(level) + " (" + EvtLog_LevelWord(level) + ")";
    else
      missing += "no receiver is set";
  }
  if (!missing.empty()) {
    SetReply("Message: Title=Error\nBody=<font color=#808000>No test e-mail: %s.</font>\n", missing.c_str());
    return;
  }
  PostMessage(MSG_TEST_MAIL, 10);
  SetReply(
      "Message: Title=Information\nBody=<font color=#008000>The test e-mail is queued; the event log will tell if it "
      "cannot be delivered.</font>\n");
}

void ReceiverForm() {
  static const char* const kActions[] = {"SMTP_ADD", "SMTP_EDIT", "SMTP_DEL", "SMTP_TEST"};
  int action = -1;
  long index = 0;
  for (int i = 0; i < WebFormFieldCount && i < WEB_FORM_FIELDS && action < 0; ++i) {
    const WebFormField& f = WebFormFields[i];
    if (!f.name) continue;
    for (int a = 0; a < 4 && action < 0; ++a) {
      if (!StartsWith(f.name, kActions[a])) continue;
      action = a;
      // The receiver number follows the key; 0 or none is the first.
      long number = strtol(f.name + strlen(kActions[a]), nullptr, 10);
      index = number == 0 ? 0 : number - 1;
    }
  }
  const int count = ReceiverCount();
  const uint8_t level = static_cast<uint8_t>(atoi(Value(Field("MAIL_PER"))));
  char address[MAIL_TEXT];
  switch (action) {
    case 0:  // add
      if (count >= MAIL_RECEIVERS) {
        SetReply(
            "Message: Title=Illegal Operation\nBody=<font color=#808000>You cannot add the item. It is over the "
            "maximum number.</font>\n");
        return;
      }
      if (!ReceiverAddress(address)) break;
      if (ReceiverWith(address, -1) >= 0) {
        SetReply("%s", kDuplicateReceiver);
        return;
      }
      snprintf(MailSetting.receivers[count].address, MAIL_TEXT, "%s", address);
      MailSetting.receivers[count].level = level;
      MailSetting.receiverCount = static_cast<uint8_t>(count + 1);
      SaveAndReply("OK: Redirect=/en/net_mail.asp");
      return;
    case 1:  // edit
      if (index < 0 || index >= count) {
        SetReply("%s", kWrongIndex);
        return;
      }
      if (!ReceiverAddress(address)) break;
      if (ReceiverWith(address, static_cast<int>(index)) >= 0) {
        SetReply("%s", kDuplicateReceiver);
        return;
      }
      snprintf(MailSetting.receivers[index].address, MAIL_TEXT, "%s", address);
      MailSetting.receivers[index].level = level;
      SaveAndReply("OK: Redirect=/en/net_mail.asp");
      return;
    case 2:  // delete
      if (count == 0) {
        SetReply("Message: Title=Illegal Operation\nBody=<font color=#808000>Cannot delete anymore.</font>\n");
        return;
      }
      if (index < 0) {
        SetReply("%s", kWrongIndex);
        return;
      }
      // An index at or past the end removes the last receiver.
      if (index > count - 1) index = count - 1;
      memmove(&MailSetting.receivers[index], &MailSetting.receivers[index + 1],
              sizeof(MailReceiver) * static_cast<size_t>(count - 1 - index));
      memset(&MailSetting.receivers[count - 1], 0, sizeof(MailReceiver));
      MailSetting.receiverCount = static_cast<uint8_t>(count - 1);
      SaveAndReply("OK: Redirect=/en/net_mail.asp");
      return;
    case 3:  // test mail, with the next 5-second pass
      TestMail();
      return;
  }
  // No action, or a refused address: the settings are saved as they stand.
  WebSys_SaveSettings();
}

void SmsForm() {
  const WebFormField* portField = Field("SMS_COM");
  const WebFormField* baudField = Field("SMS_BAUD");
  long port = -1, baud = -1;
  bool ok = (!portField || NumberIn(Value(portField), 0, 255, &port)) &&
            (!baudField || NumberIn(Value(baudField), 0, 255, &baud));
  if (!ok || port < 0 || baud < 0) {
    SetReply("Message: Title=Illegal Operation\nBody=<font color=#808000>Please check the value again.</font>\n");
    return;
  }
  SmsSetting.port = static_cast<uint8_t>(port);
  SmsSetting.baud = static_cast<uint8_t>(baud);
  WebSys_AfterSave([] {
    if (SmsOps.SetPort) SmsOps.SetPort(SmsSetting.port, SmsSetting.baud);
  });
  SaveAndReplyUpdated("net_sms.asp");
}

void PhoneForm() {
  static const char* const kActions[] = {"DEV_ADD", "DEV_EDIT", "DEV_DEL"};
  int action = -1;
  long n = 0;
  // The last action field wins; the phone number follows its key.
  for (int i = 0; i < WebFormFieldCount && i < WEB_FORM_FIELDS; ++i) {
    const WebFormField& f = WebFormFields[i];
    if (!f.name) continue;
    for (int a = 0; a < 3; ++a) {
      if (!StartsWith(f.name, kActions[a])) continue;
      action = a;
      const char* digits = f.name + strlen(kActions[a]);
      char* end;
      n = strtol(digits, &end, 10);
      if (end == digits || *end) n = -1;
      break;
    }
  }
  if (action < 0) {
    SetReply("Message: Title=Error\nBody=<font color=#F00000>FIFO_GROUP_POST not found!</font>\n");
    return;
  }
  const int count = PhoneCount();
  const WebFormField* phone = Field("SMS_PHONE");
  const uint8_t level = static_cast<uint8_t>(atoi(Value(Field("SMS_PER"))));
  auto number = [&]() -> bool {
    if (WebSys_CheckInput(1, "SMS_PHONE")) return false;
    // A number fits its 32 characters whole.
    if (!Value(phone)[0] || strlen(Value(phone)) >= sizeof SmsSetting.phones[0].number) {
      SetReply("%s", kIncorrectInput);
      return false;
    }
    return true;
  };
  if (action == 0) {
    if (count >= SMS_PHONES) {
      SetReply("Message: Title=Error\nBody=<font color=#FF0000>Over the maximum number of mobile phones!</font>\n");
      return;
    }
    if (!number()) return;
    snprintf(SmsSetting.phones[count].number, sizeof SmsSetting.phones[count].number, "%s", Value(phone));
    SmsSetting.phones[count].level = level;
    SmsSetting.phoneCount = static_cast<uint8_t>(count + 1);
    SaveAndReplyUpdated("net_sms.asp");
    return;
  }
  if (action == 1) {
    if (!number()) return;
    if (n < 1 || n > count) {
      SetReply("%s", kWrongIndex);
      return;
    }
    snprintf(SmsSetting.phones[n - 1].number, sizeof SmsSetting.phones[n - 1].number, "%s", Value(phone));
    SmsSetting.phones[n - 1].level = level;
    SaveAndReplyUpdated("net_sms.asp");
    return;
  }
  if (count == 0) {
    WebSys_SaveSettings();
    return;
  }
  if (n < 1) {
    SetReply("%s", kWrongIndex);
    return;
  }
  // A number at or past the count removes the last phone.
  long index = n > count ? count - 1 : n - 1;
  memmove(&SmsSetting.phones[index], &SmsSetting.phones[index + 1],
          sizeof(SmsPhone) * static_cast<size_t>(count - 1 - index));
  memset(&SmsSetting.phones[count - 1], 0, sizeof(SmsPhone));
  SmsSetting.phoneCount = static_cast<uint8_t>(count - 1);
  SaveAndReplyUpdated("net_sms.asp");
}

// The system forms in matching order: a form whose name is a prefix of
// the posted form name takes it. Every form but the login is the
// administrator's.
const struct {
  const char* name;
  WebFormAccess access;
  void (*handle)();
} kForms[] = {
    {"login", {WEB_LEVEL_ANYONE, false, "/login.asp"}, LoginForm},
    {"sys_user", {0, true, "/en/sys_user.asp"}, UserForm},
    {"sys_info", {0, true, "/en/sys_info.asp"}, InfoForm},
    {"sys_web", {0, true, "/en/sys_web.asp"}, WebForm},
    {"language", {0, true, "/en/sys_lang.asp"}, LanguageForm},
    {"net_mail", {0, true, "/en/net_mail.asp"}, MailForm},
    {"smtp_iconfig", {0, true, "/en/net_mail.asp"}, ReceiverForm},
    {"net_sms", {0, true, "/en/net_sms.asp"}, SmsForm},
    {"net_isms", {0, true, "/en/net_sms.asp"}, PhoneForm},
};

// Page values that reveal a secret, and the highest level that sees them:
// the account names, the mail server account, the SNMP communities and
// user names (a user name alone admits an SNMPv3 user without passwords),
// and the administrator's notice of the factory secrets still in force (a
// session entry that another account's login takes keeps its values).
// Every other level, and a page without a session, gets an empty value.
const struct {
  const char* prefix;
  int maxLevel;
} kSecrets[] = {
    {"USR_ACCOUNT", 0}, {"MAIL_SENDER", 0},   {"ACS_SOURCE_LIST", 1}, {"ACS_FUNC_LOAD", 1},
    {"USM_USER_LIST", 1}, {"USM_FUNC_LOAD", 1}, {"TRAP_LIST_ADD", 1},  {"TRAP_FUNC_LOAD", 1},
    {"SYS_DFTPASSWRD", 0}, {"SYS_DFTSNMP", 0},
};

bool SecretHidden(const char* name) {
  for (const auto& s : kSecrets)
    if (StartsWith(name, s.prefix)) return WebLoginLevel < 0 || WebLoginLevel > s.maxLevel;
  return false;
}

bool LevelAllows(int maxLevel) {
  return maxLevel >= WEB_LEVEL_ANYONE || (WebLoginLevel >= 0 && WebLoginLevel <= maxLevel);
}

}  // namespace

void WebSys_WriteVar(FILE* page, const char* name, int pairCount, HttpQueryPair* pairs) {
  WebReply.length = 0;
  WebReply.text[0] = 0;
  if (!page || !name) return;
  if (pairCount < 0 || !pairs) pairCount = 0;
  if (SecretHidden(name)) {
    WebReply.length = 1;
    WebReply.written = 1;
    return;
  }
  const Group* group = nullptr;
  for (const Group& g : kGroups) {
    if (StartsWith(name, g.prefix)) {
      group = &g;
      break;
    }
  }
  if (!group) {
    if (HttpdOps.DevWriteVar) HttpdOps.DevWriteVar(page, name, pairCount, pairs);
  } else {
    for (int i = 0; i < group->count; ++i) {
      if (StartsWith(name, group->names[i])) {
        group->write(page, i, name + strlen(group->names[i]), pairCount, pairs);
        break;
      }
    }
  }
  if (WebReply.length == 0) {
    WebReply.length = 1;
    WebReply.written = 1;
  }
}

int WebSys_FindFormVar(const char* name) {
  if (!name) return -1;
  for (int i = 0; i < WebFormFieldCount && i < WEB_FORM_FIELDS; ++i)
    if (WebFormFields[i].name && strncmp(WebFormFields[i].name, name, 7) == 0) return i;
  return -1;
}

int WebSys_CheckInput(int count, ...) {
  if (count >= 16) return 1;
  const char* names[16];
  va_list ap;
  va_start(ap, count);
  for (int i = 0; i < count; ++i) names[i] = va_arg(ap, const char*);
  va_end(ap);
  for (int f = 0; f < WebFormFieldCount && f < WEB_FORM_FIELDS; ++f) {
    const WebFormField& field = WebFormFields[f];
    if (!field.name || !field.valueStart) continue;
    for (int i = 0; i < count; ++i) {
      if (!names[i] || strncmp(field.name, names[i], 7) != 0) continue;
      // Control characters too: a line break would end a config.ini line.
      bool control = false;
      for (const unsigned char* p = reinterpret_cast<const unsigned char*>(field.valueStart); *p && !control; ++p)
        control = *p < 0x20 || *p == 0x7f;
      if (control || Svc_HasHtmlSpecial(field.valueStart)) {
        SetReply("%s", kIncorrectInput);
        return 1;
      }
    }
  }
  return 0;
}

void WebSys_RefuseLevel() {
  SetReply("%s", "Message: Title=Access Denied\nBody=<font color=#F00000>This account may not make this change.</font>\n");
}

bool WebSys_FormAllowed(const WebFormAccess& access) {
  if (access.maxLevel < WEB_LEVEL_ANYONE && WebLoginLevel < 0) {
    SetReply("%s", "Message: Redirect=/login.asp\nTitle=Login Required\nBody=<font color=#F00000>Please log in "
                   "again.</font>\n");
    return false;
  }
  if (!LevelAllows(access.maxLevel)) {
    WebSys_RefuseLevel();
    return false;
  }
  if (access.token && !TokenValid()) {
    // A page of another session, or one this session loaded too long ago.
    SetReply("Message: Redirect=%s\nTitle=Page Out of Date\nBody=<font color=#F00000>This page was out of date, "
             "so nothing was changed. Please make the change again on the page as it is now.</font>\n",
             access.page ? access.page : "/home.asp");
    return false;
  }
  return true;
}

size_t WebSys_HtmlEscape(char* out, size_t size, const char* text) {
  if (!out || size == 0) return 0;
  size_t n = 0;
  for (const char* p = text ? text : ""; *p; ++p) {
    const char* piece;
    char one[2] = {*p, 0};
    switch (*p) {
      case '&': piece = "&amp;"; break;
      case '<': piece = "&lt;"; break;
      case '>': piece = "&gt;"; break;
      case '"': piece = "&quot;"; break;
      case '\'': piece = "&#39;"; break;
      default: piece = one; break;
    }
    size_t len = strlen(piece);
    if (n + len >= size) break;
    memcpy(out + n, piece, len);
    n += len;
  }
  out[n] = 0;
  return n;
}

size_t WebSys_ScriptEscape(char* out, size_t size, const char* text) {
  if (!out || size == 0) return 0;
  size_t n = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text ? text : ""); *p; ++p) {
    char piece[5];
    if (*p < 0x20 || *p == 0x7f || strchr("\\'\"<>&", *p))
      snprintf(piece, sizeof piece, "\\x%02x", *p);
    else
      piece[0] = static_cast<char>(*p), piece[1] = 0;
    size_t len = strlen(piece);
    if (n + len >= size) break;
    memcpy(out + n, piece, len);
    n += len;
  }
  out[n] = 0;
  return n;
}

namespace {

// The settings as they stood when the form being handled was dispatched,
// or as its last save wrote them; kept between forms for its storage.
CfgSnapshot g_formSettings;
bool g_inForm;
// The effects the form has queued, and whether its last save stored the
// change: they are carried out when the form ends.
std::vector<std::function<void()>> g_afterSave;
bool g_saved;

void RunAfterSave() {
  std::vector<std::function<void()>> effects;
  effects.swap(g_afterSave);
  for (const auto& effect : effects) effect();
}

}  // namespace

WebSysFormSettings::WebSysFormSettings() : outer_(!g_inForm) {
  if (!outer_) return;
  g_inForm = true;
  g_saved = false;
  g_afterSave.clear();
  Cfg_TakeSnapshot(&g_formSettings);
}

WebSysFormSettings::~WebSysFormSettings() {
  if (!outer_) return;
  g_inForm = false;
  if (g_saved) RunAfterSave();
  g_afterSave.clear();
}

void WebSys_AfterSave(std::function<void()> effect) { g_afterSave.push_back(std::move(effect)); }

bool WebSys_SettingsSaved(bool saved) {
  if (!saved) g_afterSave.clear();
  if (!g_inForm) {
    if (saved) RunAfterSave();
    return saved;
  }
  g_saved = saved;
  if (saved)
    Cfg_TakeSnapshot(&g_formSettings);  // what config.ini now holds
  else
    Cfg_RestoreSnapshot(g_formSettings);
  return saved;
}

bool WebSys_SaveSettings() { return WebSys_SettingsSaved(Cfg_Save() != 0); }

void WebSys_HandleForm(HttpConn* conn) {
  const WebSysFormSettings settings;
  const char* form = conn && conn->uri ? conn->uri : "";
  for (const auto& f : kForms) {
    if (!StartsWith(form, f.name)) continue;
    // A form posted with an empty body has no fields.
    if (HttpdOps.ParseForm && conn->body)
      HttpdOps.ParseForm(conn->body, conn->bodyCount, conn->boundary);
    else
      WebFormFieldCount = 0;
    if (WebSys_FormAllowed(f.access)) f.handle();
    WebReply.written = 1;
    return;
  }
  if (HttpdOps.DevHandleForm) HttpdOps.DevHandleForm(conn);
  WebReply.written = 1;
}
