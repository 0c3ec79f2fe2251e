// Fuzzes the system form handler with arbitrary fields. The first byte
// picks the form (the nine system forms, then a device form), the second
// sets whether the client's valid form token goes first and whether the
// rest is a multipart body (boundary "b") or urlencoded. Whatever is
// posted: the reply follows the reply-text protocol, the lists keep their
// bounds and terminated texts, a form without its token changes nothing,
// and the pages then written from the settings stay well-formed.
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <string>

#include "core/cfg.h"
#include "core/crypt.h"
#include "core/msg.h"
#include "core/svc.h"
#include "events/mail.h"
#include "events/sms.h"
#include "web/httpd.h"
#include "web/websess.h"
#include "web/websys.h"
#include "fuzz_support.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

std::string g_dir;
const uint8_t kClient[16] = {192, 0, 2, 10};
WebChallenge g_challenges[WEB_CHALLENGES];
WebSession g_sessions[WEB_SESSIONS];
int g_session[WEB_ACCOUNTS];
char g_token[WEB_ACCOUNTS][WEB_ID_CHARS + 1];

uint8_t FakePost(uint8_t, uint32_t) { return 1; }
void FakeSetPort(uint8_t port, uint8_t baud) {
  SmsSetting.port = port;
  SmsSetting.baud = baud;
}
void FakeStart(int, int, uint8_t, uint8_t) {}
void FakeStop() {}
void FakeDevForm(HttpConn*) {}

void Setup() {
  g_dir = Fuzz_ScratchDir("upsd-fuzz-websys");
  std::filesystem::create_directories(g_dir + "/httpd/htdocs");
  Svc_SetDirs(g_dir.c_str(), g_dir.c_str());
  // The forms' saves of config.ini go to memory.
  CfgSaveStandIn = Fuzz_SaveConfigInMemory;
  setlocale(LC_CTYPE, "C.UTF-8");
  Crypt_Init();
  Httpd_Init(g_dir.c_str(), nullptr, FakeDevForm);
  HttpdOps.Start = FakeStart;
  HttpdOps.Stop = FakeStop;
  MsgOps.PostDelayed = FakePost;
  SmsOps.SetPort = FakeSetPort;
  // The client's challenge and a session with a form token of each level,
  // made once (each costs digests and ciphers); every input starts from
  // these tables.
  WebSess_MakeChallenge(2, kClient);
  for (int level = 0; level < WEB_ACCOUNTS; ++level) {
    WebSess_ClearCurrent();
    WebSess_Create(level);
    g_session[level] = WebCurrentSession;
    const char* token = WebSess_MakeToken();
    Check(WebCurrentSession >= 0 && token != nullptr);
    snprintf(g_token[level], sizeof g_token[level], "%s", token);
  }
  WebSess_ClearCurrent();
  Check(WebSess_MakeToken() == nullptr);
  memcpy(g_challenges, WebChallenges, sizeof g_challenges);
  memcpy(g_sessions, WebSessions, sizeof g_sessions);
}

// The same settings before every input.
void Reset() {
  const wchar_t* names[3] = {L"admin", L"device", L"user"};
  for (int i = 0; i < WEB_ACCOUNTS; ++i) {
    memset(&WebAccounts[i], 0, sizeof WebAccounts[i]);
    wcscpy(WebAccounts[i].name, names[i]);
    wcscpy(WebAccounts[i].password, L"brindlex");
  }
  WebLock = {1, 3, 1};
  memset(&WebSysInfoText, 0, sizeof WebSysInfoText);
  wcscpy(WebSysInfoText.location, L"Hall");
  memset(&HttpdSetting, 0, sizeof HttpdSetting);
  HttpdSetting = {80, 443, HTTPD_LISTEN_HTTP | HTTPD_LISTEN_HTTPS, 3, 0};
  CfgLanguage = 0;
  memset(&MailSetting, 0, sizeof MailSetting);
  MailSetting.port = 25;
  MailSetting.receiverCount = 2;
  snprintf(MailSetting.receivers[0].address, MAIL_TEXT, "a@x.org");
  snprintf(MailSetting.receivers[1].address, MAIL_TEXT, "b@x.org");
  memset(&SmsSetting, 0, sizeof SmsSetting);
  SmsSetting.phoneCount = 1;
  snprintf(SmsSetting.phones[0].number, sizeof SmsSetting.phones[0].number, "5550100");
}

struct Snapshot {
  WebAccount accounts[WEB_ACCOUNTS];
  WebLockSettings lock;
  WebSysInfo info;
  HttpdSettings web;
  uint8_t language;
  MailSettings mail;
  SmsSettings sms;
};
void Take(Snapshot* s) {
  memset(static_cast<void*>(s), 0, sizeof *s);
  memcpy(s->accounts, WebAccounts, sizeof WebAccounts);
  memcpy(&s->lock, &WebLock, sizeof WebLock);
  memcpy(&s->info, &WebSysInfoText, sizeof WebSysInfoText);
  memcpy(&s->web, &HttpdSetting, sizeof HttpdSetting);
  s->language = CfgLanguage;
  memcpy(&s->mail, &MailSetting, sizeof MailSetting);
  memcpy(&s->sms, &SmsSetting, sizeof SmsSetting);
}

bool StartsWith(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

// What the page writer puts on a page for the variable, through one memory
// stream for every call.
std::string Page(const char* name) {
  static char buffer[1 << 16];
  static FILE* page = fmemopen(buffer, sizeof buffer, "w");
  Check(page != nullptr);
  rewind(page);
  WebSys_WriteVar(page, name, 0, nullptr);
  Check(fflush(page) == 0);
  const long n = ftell(page);
  Check(n >= 0 && static_cast<size_t>(n) < sizeof buffer - 1);  // nothing cut off
  std::string out(buffer, static_cast<size_t>(n));
  Check(WebReply.length >= 1 && WebReply.length <= WEB_REPLY_SIZE);
  return out;
}

size_t CountOf(const std::string& text, char c) {
  size_t n = 0;
  for (const char *p = text.data(), *end = p + text.size(); p < end; ++p) n += *p == c;
  return n;
}

// Each row of a list: the fixed markup and exactly the quotes of its script
// call; a value that escaped its context would add some.
void CheckRows(const char* name, int entries, size_t apostrophes) {
  std::string rows = Page(name);
  size_t count = 0, from = 0;
  while (from < rows.size()) {
    size_t end = rows.find('\n', from);
    Check(end != std::string::npos);
    std::string row = rows.substr(from, end - from);
    Check(CountOf(row, '<') == 10 && CountOf(row, '>') == 10 && CountOf(row, '"') == 6);
    Check(CountOf(row, '\'') == apostrophes);
    ++count;
    from = end + 1;
  }
  Check(count == static_cast<size_t>(entries > 0 ? entries : 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_dir.empty()) Setup();
  if (size < 2) return 0;
  static const char* const kForms[] = {"login",   "sys_user",     "sys_info", "sys_web",  "language",
                                       "net_mail", "smtp_iconfig", "net_sms",  "net_isms", "ups_config"};
  const int form = data[0] % 10;
  const bool withToken = data[1] & 1;
  const bool multipart = data[1] & 2;
  Reset();
  WebReply.clientFamily = 2;
  memcpy(WebReply.clientAddress, kClient, 16);
  // The request's session: none, or one of the three levels.
  const int level = (data[1] >> 2) % 4 - 1;
  memcpy(WebChallenges, g_challenges, sizeof g_challenges);
  memcpy(WebSessions, g_sessions, sizeof g_sessions);
  WebCurrentSession = level >= 0 ? g_session[level] : -1;
  WebLoginLevel = level;
  const char* token = level >= 0 ? g_token[level] : "";

  std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
  std::string body;
  if (multipart) {
    if (withToken) body = std::string("--b\r\nContent-Disposition: form-data; name=\"SYS_UCTOKEN\"\r\n\r\n") + token + "\r\n";
    body += rest;
  } else {
    if (withToken) body = std::string("SYS_UCTOKEN=") + token + "&";
    body += rest;
  }
  if (body.size() >= HTTPD_BUFFER_SIZE) return 0;

  Snapshot before, after;
  Take(&before);
  HttpConn* c = Httpd_Connection(HTTPD_CONNECTIONS - 1);
  memcpy(c->buffer, body.data(), body.size());
  c->buffer[body.size()] = 0;
  c->body = c->buffer;
  c->bodyCount = static_cast<int>(body.size());
  char boundary[] = " boundary=b";
  c->boundary = multipart ? boundary : nullptr;
  char name[32];
  snprintf(name, sizeof name, "%s", kForms[form]);
  c->uri = name;
  WebReply.text[0] = 0;
  WebReply.length = 0;
  WebReply.written = 0;
  WebSys_HandleForm(c);
  c->body = nullptr;

  // The reply.
  Check(WebReply.written == 1);
  Check(memchr(WebReply.text, 0, sizeof WebReply.text) != nullptr);
  const char* reply = WebReply.text;
  if (reply[0]) {
    Check(WebReply.length == strlen(reply) + 1);
    Check(StartsWith(reply, "OK: Redirect=/") || StartsWith(reply, "Set Cookie: QuenchRelayer=") ||
          StartsWith(reply, "Message: "));
  }

  // The settings.
  Check(MailSetting.receiverCount <= MAIL_RECEIVERS);
  Check(SmsSetting.phoneCount <= SMS_PHONES);
  for (const MailReceiver& r : MailSetting.receivers) Check(strnlen(r.address, MAIL_TEXT) < MAIL_TEXT);
  for (const SmsPhone& p : SmsSetting.phones) Check(strnlen(p.number, sizeof p.number) < sizeof p.number);
  for (const char* t : {MailSetting.server, MailSetting.account, MailSetting.password, MailSetting.from,
                        MailSetting.domain})
    Check(strnlen(t, MAIL_TEXT) < MAIL_TEXT);
  for (const WebAccount& a : WebAccounts) {
    Check(wcsnlen(a.name, WEB_ACCOUNT_CHARS + 1) <= WEB_ACCOUNT_CHARS);
    Check(wcsnlen(a.password, WEB_ACCOUNT_CHARS + 1) <= WEB_ACCOUNT_CHARS);
  }
  Check(CfgLanguage <= 3);
  Check(HttpdSetting.httpPort != 0 && HttpdSetting.httpsPort != 0 && HttpdSetting.refresh != 0);

  // A token-checked form without its token, or any form but the login
  // from a session that is not the administrator's: nothing changed, and
  // the refusal said so.
  Take(&after);
  const bool checked = form >= 1 && form <= 8 && form != 4;
  const bool admin = form == 0 || form == 9 || level == 0;
  if ((checked && !withToken) || !admin) {
    Check(memcmp(&before, &after, sizeof before) == 0);
    Check(StartsWith(reply, "Message: "));
  }

  // The pages written from what the forms stored: whenever a form changed
  // a setting, and once per level for the settings every input starts from
  // (the writers hide some values by level).
  static bool startPagesChecked[WEB_ACCOUNTS + 1];
  if (memcmp(&before, &after, sizeof before) == 0) {
    if (startPagesChecked[level + 1]) return 0;
    startPagesChecked[level + 1] = true;
  }
  for (const char* var : {"USR_ACCOUNT1", "USR_ACCOUNT2", "USR_ACCOUNT3", "INF_LOCATION", "INF_NAME",
                          "INF_DESCRIPTION", "INF_CONTACTOR", "INF_INSTALL_DATE", "MAIL_SERVER", "MAIL_SENDER",
                          "MAIL_MAILSENDER", "MAIL_DOMAIN"}) {
    std::string value = Page(var);
    Check(value.find_first_of("<>\"'") == std::string::npos);
  }
  CheckRows("MAIL_LIST_ADD", MailSetting.receiverCount, 2);
  CheckRows("SMS_LIST", SmsSetting.phoneCount, 2);
  return 0;
}
