// System pages: the page variables of the nine groups from fixtures, with
// their escaping, and the account, system information, web server,
// language, mail and SMS forms with their token check, input check, reply
// texts and saving.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/cfg.h"
#include "core/helpers.h"
#include "core/msg.h"
#include "events/evtdef.h"
#include "events/mail.h"
#include "events/sms.h"
#include "snmp/snmpagent.h"
#include "support/events_fakes.h"
#include "web/websys.h"
#include "webfixture.h"
#include "webreplies.h"

using namespace webtest;
using namespace webreplies;

namespace {

struct Peer {
  int family;
  uint8_t address[16];
};
const Peer kA{AF_INET, {192, 0, 2, 10}};
const Peer kB{AF_INET, {192, 0, 2, 11}};

std::vector<std::pair<int, uint32_t>> g_posted;  // code, delay
uint8_t FakePost(uint8_t code, uint32_t delay) {
  g_posted.emplace_back(code, delay);
  return 1;
}
std::vector<std::pair<int, int>> g_smsPorts;
void FakeSetPort(uint8_t port, uint8_t baud) {
  g_smsPorts.emplace_back(port, baud);
  SmsSetting.port = port;
  SmsSetting.baud = baud;
}
std::vector<std::string> g_server;  // "stop", "start <http> <https> <on> <on>"
// The listeners close the posting connection: config.ini must be written by then.
void FakeStop() {
  const bool saved = std::filesystem::exists(std::string(SvcInstallDir) + "/config.ini");
  g_server.push_back(saved ? "stop" : "stop before the save");
}
void FakeStart(int http, int https, uint8_t httpOn, uint8_t httpsOn) {
  g_server.push_back("start " + std::to_string(http) + " " + std::to_string(https) + " " + std::to_string(httpOn) +
                     " " + std::to_string(httpsOn));
}

std::string Repeat(const std::string& piece, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += piece;
  return out;
}

const std::string kUpdated(const std::string& page) {
  return "Message: Redirect=/en/" + page +
         "\nTitle=Information\nBody=<font color=#008000>Updated successfully.</font>\n";
}
const std::string kIncorrect = "Message: Title=Error\nBody=<font color=#F00000>Incorrect input!</font>\n";
const std::string kWrongIndex =
    "Message: Title=Wrong Index Number\nBody=<font color=#808000>The index number is incorrect.</font>\n";
const std::string kMailOk = "OK: Redirect=/en/net_mail.asp";

// Every setting the system forms change, as one comparable copy.
struct Settings {
  WebAccount accounts[WEB_ACCOUNTS];
  WebLockSettings lock;
  WebSysInfo info;
  HttpdSettings web;
  uint8_t language;
  MailSettings mail;
  SmsSettings sms;
  static Settings Now() {
    Settings s;
    memset(static_cast<void*>(&s), 0, sizeof s);
    memcpy(s.accounts, WebAccounts, sizeof WebAccounts);
    memcpy(&s.lock, &WebLock, sizeof WebLock);
    memcpy(&s.info, &WebSysInfoText, sizeof WebSysInfoText);
    memcpy(&s.web, &HttpdSetting, sizeof HttpdSetting);
    s.language = CfgLanguage;
    memcpy(&s.mail, &MailSetting, sizeof MailSetting);
    memcpy(&s.sms, &SmsSetting, sizeof SmsSetting);
    return s;
  }
  bool operator==(const Settings& o) const { return memcmp(this, &o, sizeof *this) == 0; }
};

std::string MakePem() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 3600);
  X509_set_pubkey(x, key);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("upload"), -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509_sign(x, key, EVP_sha256());
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, x);
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data;
  long n = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<size_t>(n));
  BIO_free(bio);
  X509_free(x);
  EVP_PKEY_free(key);
  return pem;
}

struct Part {
  std::string name;
  std::string value;
  const char* fileName = nullptr;
};
std::string Multipart(const std::vector<Part>& parts) {
  std::string body;
  for (const Part& p : parts) {
    body += "--XyZzy\r\nContent-Disposition: form-data; name=\"" + p.name + "\"";
    if (p.fileName) body += std::string("; filename=\"") + p.fileName + "\"\r\nContent-Type: application/x-pem-file";
    body += "\r\n\r\n" + p.value + "\r\n";
  }
  return body + "--XyZzy--\r\n";
}

class SysPages : public WebTest {
 protected:
  void SetUp() override {
    WebTest::SetUp();
    ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    const wchar_t* names[3] = {L"admin", L"device", L"user"};
    for (int i = 0; i < 3; ++i) {
      memset(&WebAccounts[i], 0, sizeof WebAccounts[i]);
      wcscpy(WebAccounts[i].name, names[i]);
      wcscpy(WebAccounts[i].password, L"brindlex");
    }
    WebLock = {1, 5, 10};
    memset(&WebSysInfoText, 0, sizeof WebSysInfoText);
    memset(&HttpdSetting, 0, sizeof HttpdSetting);
    HttpdSetting = {80, 443, HTTPD_LISTEN_HTTP | HTTPD_LISTEN_HTTPS, 3, 1};
    CfgLanguage = 0;
    memset(&MailSetting, 0, sizeof MailSetting);
    MailSetting.port = 25;
    memset(&SmsSetting, 0, sizeof SmsSetting);
    memset(&SnmpAgentSetting, 0, sizeof SnmpAgentSetting);
    NetInterfaceCount = 0;
    savedMsg = MsgOps;
    savedSms = SmsOps;
    MsgOps.PostDelayed = FakePost;
    SmsOps.SetPort = FakeSetPort;
    HttpdOps.Start = FakeStart;
    HttpdOps.Stop = FakeStop;
    g_posted.clear();
    g_smsPorts.clear();
    g_server.clear();
    g_logged.clear();
    EvtLogOps.Add = RecordEvent;
    From(kA);
    SetLevel(0);  // the forms are posted from an administrator's session
  }
  void TearDown() override {
    MsgOps = savedMsg;
    SmsOps = savedSms;
    HttpdOps.Start = Httpd_Start;
    HttpdOps.Stop = Httpd_Stop;
    EvtLogOps.Add = nullptr;
    setlocale(LC_CTYPE, "C");
    WebTest::TearDown();
  }

  // The request's session: a new one of this level, as the gate leaves it
  // (-1: none).
  void SetLevel(int level) {
    WebSess_ClearCurrent();
    if (level >= 0) WebSess_Create(level);
    WebLoginLevel = level;
  }

  void From(const Peer& p) {
    WebReply.clientFamily = p.family;
    memset(WebReply.clientAddress, 0, 16);
    memcpy(WebReply.clientAddress, p.address, 16);
  }

  // The value a page gets for the tag; the reply record must say it was
  // written, with its length.
  std::string Var(const std::string& name, std::vector<std::pair<std::string, std::string>> query = {}) {
    std::vector<std::string> texts;
    for (auto& q : query) {
      texts.push_back(q.first);
      texts.push_back(q.second);
    }
    std::vector<HttpQueryPair> pairs;
    for (size_t i = 0; i < texts.size(); i += 2) pairs.push_back({texts[i].data(), texts[i + 1].data()});
    char* data = nullptr;
    size_t size = 0;
    FILE* page = open_memstream(&data, &size);
    WebReply.written = 0;
    WebSys_WriteVar(page, name.c_str(), static_cast<int>(pairs.size()), pairs.data());
    fclose(page);
    std::string out(data, size);
    free(data);
    EXPECT_EQ(WebReply.written, 1) << name;
    EXPECT_EQ(WebReply.length, strlen(WebReply.text) + 1) << name;
    return out;
  }

  // A token of the request's session, as a page gives it.
  std::string Token() {
    const char* t = WebSess_MakeToken();
    return t ? t : "";
  }

  // Posts a form; its reply text. The reply record must be marked written.
  std::string Post(const std::string& form, const std::string& body, const char* boundary = nullptr) {
    HttpConn* c = Httpd_Connection(HTTPD_CONNECTIONS - 1);
    memcpy(c->buffer, body.data(), body.size());
    c->buffer[body.size()] = 0;
    c->body = c->buffer;
    c->bodyCount = static_cast<int>(body.size());
    c->boundary = const_cast<char*>(boundary);
    formName = form;
    c->uri = formName.data();
    WebReply.text[0] = 0;
    WebReply.length = 0;
    WebReply.written = 0;
    WebSys_HandleForm(c);
    c->body = nullptr;
    EXPECT_EQ(WebReply.written, 1);
    return WebReply.text;
  }
  // The same with this client's valid token first.
  std::string PostWithToken(const std::string& form, const std::string& body) {
    return Post(form, "SYS_UCTOKEN=" + Token() + (body.empty() ? "" : "&" + body));
  }

  std::string Config() { return Scratch_ReadFile(Path("config.ini")); }
  bool Saved() {
    bool saved = std::filesystem::exists(Path("config.ini"));
    std::filesystem::remove(Path("config.ini"));
    return saved;
  }
  std::string Name(int i) {
    char t[200];
    Cfg_WideToText(t, sizeof t, WebAccounts[i].name);
    return t;
  }
  std::string Password(int i) {
    char t[200];
    Cfg_WideToText(t, sizeof t, WebAccounts[i].password);
    return t;
  }
  void AddReceiver(const std::string& address, int level) {
    MailReceiver& r = MailSetting.receivers[MailSetting.receiverCount++];
    snprintf(r.address, sizeof r.address, "%s", address.c_str());
    r.level = static_cast<uint8_t>(level);
  }
  void AddPhone(const std::string& number, int level) {
    SmsPhone& p = SmsSetting.phones[SmsSetting.phoneCount++];
    snprintf(p.number, sizeof p.number, "%s", number.c_str());
    p.level = static_cast<uint8_t>(level);
  }
  std::vector<std::string> Receivers() {
    std::vector<std::string> out;
    for (int i = 0; i < MailSetting.receiverCount; ++i)
      out.push_back(std::string(MailSetting.receivers[i].address) + ":" + std::to_string(MailSetting.receivers[i].level));
    return out;
  }
  std::vector<std::string> Phones() {
    std::vector<std::string> out;
    for (int i = 0; i < SmsSetting.phoneCount; ++i)
      out.push_back(std::string(SmsSetting.phones[i].number) + ":" + std::to_string(SmsSetting.phones[i].level));
    return out;
  }

  std::string formName;
  MsgOpsTable savedMsg;
  SmsOpsTable savedSms;
};

// ---- page variables ----------------------------------------------------------------

TEST_F(SysPages, GroupSelectionAndNameOrder) {
  CfgLanguage = 2;
  HttpdSetting.httpPort = 8080;
  HttpdSetting.httpsPort = 8443;
  snprintf(MailSetting.server, sizeof MailSetting.server, "mail.example.org");
  SmsSetting.port = 3;
  struct {
    const char* name;
    const char* value;
  } cases[] = {
      {"LIN_PRODUCT_NAME", "Brisvane 2012"},
      {"LIN_SWVER", "03.01.22"},
      {"LIN_SUPPORT_LANG", "1111000000000000"},
      {"LIN_INDEX_ASP", "/en/device/index.asp"},
      {"LIN_LANGUAGE", "2"},        // the first name that is a prefix takes it
      {"LIN_NOTHING", ""},          // a group's name outside its table: empty,
      {"LINK", ""},                 // and not passed on
      {"LI", "[LI]"},               // too short for a group: the device writer
      {"MAI", "[MAI]"},             // "MAIL" takes four characters
      {"MAIL_SERVER_X", "mail.example.org"},
      {"MAILBOX", ""},
      {"WEB_HTTPS_PORT", "8443"},   // not taken by WEB_HTTP_...
      {"WEB_HTTP_PORT", "8080"},
      {"SMS_COMPORT", "3"},
      {"SMSX", ""},
      {"UPS_MODEL", "[UPS_MODEL]"},
      {"ERR_MSG", "[ERR_MSG]"},
  };
  for (const auto& c : cases) EXPECT_EQ(Var(c.name), c.value) << c.name;
  // An empty value has length 1.
  Var("LINK");
  EXPECT_EQ(WebReply.length, 1);
  EXPECT_STREQ(WebReply.text, "");
}

TEST_F(SysPages, LoginPageValues) {
  using Q = std::vector<std::pair<std::string, std::string>>;
  struct {
    const char* name;
    Q query;
    const char* account;
    const char* password;
    const char* submit;
  } cases[] = {
      {"in order", {{"account", "x"}, {"password", "y"}}, "x", "y", "1"},
      {"other order", {{"password", "y"}, {"account", "x"}}, "", "", "0"},
      {"one pair", {{"account", "x"}}, "", "", ""},
      {"none", {}, "", "", ""},
      // From the address bar: escaped.
      {"markup", {{"account", "\"><script>x</script>"}, {"password", "a'b&c"}}, "&quot;&gt;&lt;script&gt;x&lt;/script&gt;",
       "a&#39;b&amp;c", "1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Var("LIN_ACCOUNT", c.query), c.account);
    EXPECT_EQ(Var("LIN_PASSWORD", c.query), c.password);
    EXPECT_EQ(Var("LIN_SUBMIT", c.query), c.submit);
  }
  WebLoginLevel = 2;
  EXPECT_EQ(Var("LIN_LOGIN_LEVEL"), "2");
  WebLoginLevel = -1;
  EXPECT_EQ(Var("LIN_LOGIN_LEVEL"), "-1");
  // The challenge is this client's.
  std::string ch = Var("LIN_CHALLENGE_VALUE");
  EXPECT_EQ(ch.size(), 8u);
  EXPECT_STREQ(WebSess_GetChallenge(kA.family, kA.address), ch.c_str());
}

TEST_F(SysPages, DeviceAddress) {
  struct If {
    int family;
    const char* address;
  };
  struct {
    const char* name;
    std::vector<If> table;
    const char* shown;
  } cases[] = {
      {"IPv4 after IPv6", {{10, "2001:db8::1"}, {2, ""}, {2, "192.0.2.1"}, {2, "192.0.2.9"}}, "192.0.2.1"},
      {"only IPv6", {{10, ""}, {10, "2001:db8::5"}, {10, "2001:db8::6"}}, "2001:db8::5"},
      {"none", {}, ""},
      {"empty addresses", {{2, ""}, {10, ""}}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    memset(NetInterfaces, 0, sizeof NetInterfaces);
    NetInterfaceCount = static_cast<int32_t>(c.table.size());
    for (size_t i = 0; i < c.table.size(); ++i) {
      NetInterfaces[i].family = c.table[i].family;
      snprintf(NetInterfaces[i].address, sizeof NetInterfaces[i].address, "%s", c.table[i].address);
    }
    EXPECT_EQ(Var("LIN_DEVICE_IP"), c.shown);
  }
  NetInterfaceCount = 0;
}

TEST_F(SysPages, ClockTokenAndNotice) {
  auto savedClock = SvcWallClock;
  const char* savedTz = getenv("TZ");
  std::string tz = savedTz ? savedTz : "";
  setenv("TZ", "UTC", 1);
  tzset();
  SvcWallClock = [] { return time_t(1700000000); };
  EXPECT_EQ(Var("SYS_TIME"), "Tue 11/14/2023 PM 10:13:20");
  SvcWallClock = savedClock;
  if (savedTz) setenv("TZ", tz.c_str(), 1); else unsetenv("TZ");
  tzset();

  // No session: no token; a session's page gets one of its own.
  SetLevel(-1);
  EXPECT_EQ(Var("SYS_UCTOKEN"), "");
  SetLevel(2);
  std::string token = Var("SYS_UCTOKEN");
  EXPECT_EQ(token.size(), 24u);
  EXPECT_EQ(WebSess_CheckToken(token.c_str()), 1);

  // The default-password notice names the accounts of the session's login
  // that still have the factory password, on every load, until they change.
  SetLevel(0);
  WebSess_SetVar(WSV_DEFAULT_PASSWORD, 7);
  EXPECT_EQ(Var("SYS_DFTPASSWRD"), "7");
  EXPECT_EQ(Var("SYS_DFTPASSWRD"), "7");
  wcscpy(WebAccounts[1].password, L"device-pass");
  EXPECT_EQ(Var("SYS_DFTPASSWRD"), "5");
  wcscpy(WebAccounts[0].password, L"admin-pass");
  wcscpy(WebAccounts[2].password, L"user-pass1");
  EXPECT_EQ(Var("SYS_DFTPASSWRD"), "0");
  // An account given the factory password again later is not named by a
  // session whose notice has ended; a login without the notice names none.
  wcscpy(WebAccounts[2].password, L"brindlex");
  EXPECT_EQ(Var("SYS_DFTPASSWRD"), "0");
  WebSess_Create(1);
  EXPECT_EQ(Var("SYS_DFTPASSWRD"), "0");
  // It is the administrator's: another account's session, also one whose
  // entry an administrator's session used before, is told nothing.
  SetLevel(0);
  WebSess_SetVar(WSV_DEFAULT_PASSWORD, 4);
  EXPECT_EQ(Var("SYS_DFTPASSWRD"), "4");
  WebLoginLevel = 1;
  EXPECT_EQ(Var("SYS_DFTPASSWRD"), "");
}

// The notice also names the factory SNMP secrets still in force: a user
// that may use the agent with a factory password its security level asks
// for, an access entry that admits the factory community; the
// administrator's only.
TEST_F(SysPages, FactorySnmpSecretsInForce) {
  memset(&SnmpAgentSetting, 0, sizeof SnmpAgentSetting);
  auto user = [](int i, const char* name, uint8_t security, const char* auth, const char* priv, uint8_t permission) {
    UsmUser& u = SnmpAgentSetting.users[i];
    snprintf(u.name, sizeof u.name, "%s", name);
    u.security = security;
    snprintf(u.authPassword, sizeof u.authPassword, "%s", auth);
    snprintf(u.privPassword, sizeof u.privPassword, "%s", priv);
    u.permission = permission;
  };
  user(0, "manager", 2, "mq530847", "tv817264", 2);
  user(1, "ops\"<x>", 1, "mq530847", "tv817264", 1);  // its privacy password is not used
  user(2, "reader", 2, "own-auth-1", "tv817264", 1);
  user(3, "off", 2, "mq530847", "tv817264", 0);       // unknown to the agent
  user(4, "mine", 2, "own-auth-1", "own-priv-1", 2);
  user(5, "nopriv", 2, "mq530847", "", 2);  // lacks a password it needs: unknown to the agent
  SnmpAgentSetting.userCount = 6;
  auto entry = [](int i, const char* address, const char* community, uint8_t permission) {
    SnmpAccessEntry& e = SnmpAgentSetting.access[i];
    snprintf(e.address, sizeof e.address, "%s", address);
    snprintf(e.community, sizeof e.community, "%s", community);
    e.permission = permission;
  };
  entry(0, "0.0.0.0", "tambor", 1);
  entry(1, "192.0.2.7", "tambor", 2);
  entry(2, "::", "tambor", 0);  // admits nothing
  entry(3, "0.0.0.0", "rack-ro", 1);
  SnmpAgentSetting.accessCount = 4;
  SetLevel(0);
  EXPECT_EQ(Var("SYS_DFTSNMP"),
            "<snmp-user row=\"1\" name=\"manager\" permission=\"2\" auth=\"1\" priv=\"1\"></snmp-user>\n"
            "<snmp-user row=\"2\" name=\"ops&quot;&lt;x&gt;\" permission=\"1\" auth=\"1\" priv=\"0\"></snmp-user>\n"
            "<snmp-user row=\"3\" name=\"reader\" permission=\"1\" auth=\"0\" priv=\"1\"></snmp-user>\n"
            "<snmp-community row=\"1\" name=\"tambor\" source=\"0.0.0.0\" permission=\"1\"></snmp-community>\n"
            "<snmp-community row=\"2\" name=\"tambor\" source=\"192.0.2.7\" permission=\"2\"></snmp-community>\n");
  // Changed, they are named no more.
  user(0, "manager", 2, "rack-auth-19", "rack-priv-23", 2);
  user(1, "ops", 1, "own-auth-2", "tv817264", 1);
  user(2, "reader", 2, "own-auth-1", "own-priv-2", 1);
  entry(0, "0.0.0.0", "rack-ro-17", 1);
  entry(1, "192.0.2.7", "rack-rw-17", 2);
  EXPECT_EQ(Var("SYS_DFTSNMP"), "");
  // Another account never sees which are left.
  user(0, "manager", 2, "mq530847", "tv817264", 2);
  for (int level : {1, 2, -1}) {
    SetLevel(level);
    EXPECT_EQ(Var("SYS_DFTSNMP"), "") << level;
  }
}

TEST_F(SysPages, AccountsAndSystemTexts) {
  // 32 characters of two bytes each: shown whole, or the page would post a
  // cut name back.
  std::wstring longName(32, L'\u00e9');
  wcscpy(WebAccounts[1].name, longName.c_str());
  wcscpy(WebAccounts[2].name, L"o'neil <x>");
  WebLock = {1, 4, 15};
  wcscpy(WebSysInfoText.location, L"Rack \"A\" & <B>");
  wcscpy(WebSysInfoText.name, L"ups\u00e9");
  wcscpy(WebSysInfoText.contactor, L"bad \xd800 text");  // cannot be encoded
  std::wstring description(128, L'\u00e9');             // 256 bytes
  wcscpy(WebSysInfoText.description, description.c_str());
  struct {
    const char* name;
    std::string value;
  } cases[] = {
      {"USR_ACCOUNT1", "admin"},
      {"USR_ACCOUNT2", Repeat("\xc3\xa9", 32)},
      {"USR_ACCOUNT3", "o&#39;neil &lt;x&gt;"},
      {"USR_ACCOUNT4", ""},
      {"USR_ACCOUNT0", ""},
      {"USR_ACCOUNT", ""},
      {"USR_PASSWD1", ""},
      {"USR_LOCK", "Checked"},
      {"USR_RETRY", "4"},
      {"USR_LTIME", "15"},
      {"INF_LOCATION", "Rack &quot;A&quot; &amp; &lt;B&gt;"},
      {"INF_NAME", "ups\xc3\xa9"},
      {"INF_CONTACTOR", ""},
      // At most 128 bytes, of whole characters.
      {"INF_DESCRIPTION", Repeat("\xc3\xa9", 64)},
      {"INF_INSTALL_DATE", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Var(c.name), c.value) << c.name;
  WebLock.enable = 0;
  EXPECT_EQ(Var("USR_LOCK"), "");
}

TEST_F(SysPages, WebServerValues) {
  struct {
    uint8_t listen;
    int force;
    std::vector<std::string> shown;  // HTTP_EN, HTTP_DIS, HTTPS_EN, HTTPS_DIS, FORCE_EN, FORCE_DIS
  } cases[] = {
      {3, 1, {"Checked", "", "Checked", "", "Checked", ""}},
      {1, 0, {"Checked", "", "", "Checked", "", "Checked"}},
      {2, 0, {"", "Checked", "Checked", "", "", "Checked"}},
      {0, 1, {"", "Checked", "", "Checked", "Checked", ""}},
  };
  const char* names[] = {"WEB_HTTP_EN", "WEB_HTTP_DIS", "WEB_HTTPS_EN", "WEB_HTTPS_DIS", "WEB_FORCEHTTPS_EN",
                         "WEB_FORCEHTTPS_DIS"};
  for (const auto& c : cases) {
    HttpdSetting.listen = c.listen;
    HttpdSetting.forceHttps = c.force;
    for (int i = 0; i < 6; ++i) EXPECT_EQ(Var(names[i]), c.shown[i]) << names[i] << " listen " << int(c.listen);
  }
  HttpdSetting.refresh = 12;
  EXPECT_EQ(Var("WEB_REFRESH"), "12");
}

TEST_F(SysPages, SnmpLists) {
  // Empty lists: one placeholder row each, which the page shows as an empty list.
  EXPECT_EQ(Var("ACS_SOURCE_LIST"),
            "<tr align=center><td>1</td><td><a href=\"#\" id=\"1\" onclick=\"Func_Select(1,'0.0.0.0','tambor',0,0);\">"
            "0.0.0.0</a></td><td>tambor</td><td>None</td></tr>\n");
  EXPECT_EQ(Var("ACS_FUNC_LOAD"), "Func_Select(1,'0.0.0.0','tambor',0,0);\n");
  EXPECT_EQ(Var("USM_USER_LIST"),
            "<tr align=center><td>1</td><td><a href=\"#\" id=\"1\" "
            "onclick=\"Func_Select(1,'',0,'auth','priv',0,0);\"></a></td><td></td><td></td><td></td>"
            "<td></td></tr>\n");
  EXPECT_EQ(Var("USM_FUNC_LOAD"), "Func_Select(1,'',0,'auth','priv',0,0);\n");

  SnmpAgentSetting.accessCount = 2;
  snprintf(SnmpAgentSetting.access[0].address, 52, "192.0.2.0");
  snprintf(SnmpAgentSetting.access[0].community, 17, "public");
  SnmpAgentSetting.access[0].permission = 1;
  // A community that came in through SNMP or an imported file: escaped for
  // the script call and for the cell.
  snprintf(SnmpAgentSetting.access[1].address, 52, "::");
  snprintf(SnmpAgentSetting.access[1].community, 17, "a'b\\\"<c>&");
  SnmpAgentSetting.access[1].permission = 2;
  EXPECT_EQ(Var("ACS_SOURCE_LIST"),
            "<tr align=center><td>1</td><td><a href=\"#\" id=\"1\" onclick=\"Func_Select(1,'192.0.2.0','public',1,1);\">"
            "192.0.2.0</a></td><td>public</td><td>Read only</td></tr>\n"
            "<tr align=center><td>2</td><td><a href=\"#\" id=\"2\" "
            "onclick=\"Func_Select(2,'::','a\\x27b\\x5c\\x22\\x3cc\\x3e\\x26',2,1);\">"
            "::</a></td><td>a&#39;b\\&quot;&lt;c&gt;&amp;</td><td>Read and write</td></tr>\n");
  EXPECT_EQ(Var("ACS_FUNC_LOAD"), "Func_Select(1,'192.0.2.0','public',1,1);\n");

  SnmpAgentSetting.userCount = 1;
  snprintf(SnmpAgentSetting.users[0].name, 17, "manager");
  snprintf(SnmpAgentSetting.users[0].authPassword, 17, "secret-auth");
  SnmpAgentSetting.users[0].security = 2;
  SnmpAgentSetting.users[0].permission = 2;
  std::string users = Var("USM_USER_LIST");
  EXPECT_EQ(users,
            "<tr align=center><td>1</td><td><a href=\"#\" id=\"1\" "
            "onclick=\"Func_Select(1,'manager',2,'','',2,1);\">manager</a></td><td>Authentication and privacy</td>"
            "<td>MD5</td><td>DES</td><td>Read and write</td></tr>\n");
  EXPECT_EQ(Var("USM_FUNC_LOAD"), "Func_Select(1,'manager',2,'','',2,1);\n");

  // Every code as a word, a code without one as "other (N)"; the row's call
  // keeps the numbers for the page's choices.
  struct Words {
    uint8_t code;
    const char* access;      // permission of an access entry
    const char* permission;  // permission of a user
    std::string security;    // the user's security, digest and cipher cells
  } words[] = {
      {0, "None", "Disabled", "No authentication, no privacy</td><td>none</td><td>none"},
      {1, "Read only", "Read only", "Authentication, no privacy</td><td>MD5</td><td>none"},
      {2, "Read and write", "Read and write", "Authentication and privacy</td><td>MD5</td><td>DES"},
      {7, "other (7)", "other (7)", "other (7)</td><td>other</td><td>other"},
  };
  for (const Words& w : words) {
    SCOPED_TRACE(w.code);
    SnmpAgentSetting.access[0].permission = w.code;
    SnmpAgentSetting.users[0].permission = w.code;
    SnmpAgentSetting.users[0].security = w.code;
    const std::string access = Var("ACS_SOURCE_LIST");
    EXPECT_NE(access.find("'public'," + std::to_string(w.code) + ",1);"), std::string::npos) << access;
    EXPECT_NE(access.find("<td>public</td><td>" + std::string(w.access) + "</td></tr>"), std::string::npos) << access;
    const std::string user = Var("USM_USER_LIST");
    EXPECT_NE(user.find("'manager'," + std::to_string(w.code) + ",'',''," + std::to_string(w.code) + ",1);"),
              std::string::npos)
        << user;
    EXPECT_NE(user.find("manager</a></td><td>" + w.security + "</td><td>" + w.permission + "</td></tr>"),
              std::string::npos)
        << user;
  }
}

TEST_F(SysPages, MailValuesAndReceivers) {
  snprintf(MailSetting.server, 65, "smtp.example.org");
  MailSetting.port = 587;
  snprintf(MailSetting.account, 65, "ups<1>");
  snprintf(MailSetting.password, 65, "secret");
  snprintf(MailSetting.from, 65, "ups@example.org");
  snprintf(MailSetting.domain, 65, "example.org");
  EXPECT_EQ(Var("MAIL_SERVER"), "smtp.example.org");
  EXPECT_EQ(Var("MAIL_PORT"), "587");
  EXPECT_EQ(Var("MAIL_SENDER"), "ups&lt;1&gt;");
  EXPECT_EQ(Var("MAIL_PASSWORD"), "");
  EXPECT_EQ(Var("MAIL_MAILSENDER"), "ups@example.org");
  EXPECT_EQ(Var("MAIL_DOMAIN"), "example.org");
  EXPECT_EQ(Var("MAIL_LIST_ADD"),
            "<tr><td>1</td><td><a href=\"#\" id=\"1\" onclick=\"Func_Select(1,'user@example.com',0,0);\">"
            "user@example.com</a></td><td>None</td></tr>\n");
  EXPECT_EQ(Var("MAIL_FUNC_LOAD"), "Func_Select(1,'user@example.com',0,0)");

  AddReceiver("ops@example.org", 2);
  AddReceiver("o'hara@example.org", 5);
  EXPECT_EQ(Var("MAIL_LIST_ADD"),
            "<tr><td>1</td><td><a href=\"#\" id=\"1\" onclick=\"Func_Select(1,'ops@example.org',2,2);\">"
            "ops@example.org</a></td><td>Warning</td></tr>\n"
            "<tr><td>2</td><td><a href=\"#\" id=\"2\" onclick=\"Func_Select(2,'o\\x27hara@example.org',5,2);\">"
            "o&#39;hara@example.org</a></td><td>other (5)</td></tr>\n");
  EXPECT_EQ(Var("MAIL_FUNC_LOAD"), "Func_Select(1,'ops@example.org',2,2)");

  // A full list of the longest addresses: every row reaches the page; the
  // reply record holds one row at a time.
  MailSetting.receiverCount = 0;
  for (int i = 0; i < MAIL_RECEIVERS; ++i) {
    std::string a = std::to_string(i) + "&";
    AddReceiver(a + std::string(64 - a.size(), 'x'), i % 4);
  }
  std::string rows = Var("MAIL_LIST_ADD");
  size_t n = 0;
  for (size_t at = rows.find("<tr>"); at != std::string::npos; at = rows.find("<tr>", at + 1)) ++n;
  EXPECT_EQ(n, size_t(MAIL_RECEIVERS));
  EXPECT_NE(rows.find("<td>255</td><td><a href=\"#\" id=\"255\" onclick=\"Func_Select(255,'254\\x26xxx"),
            std::string::npos);
  EXPECT_NE(rows.find(">254&amp;xxx"), std::string::npos);
  EXPECT_LT(WebReply.length, 600);
}

TEST_F(SysPages, SmsValuesAndPhones) {
  SmsSetting.port = 2;
  SmsSetting.baud = 3;
  EXPECT_EQ(Var("SMS_COM"), "2");
  EXPECT_EQ(Var("SMS_BAUD"), "3");
  EXPECT_EQ(Var("SMS_LIST"),
            "<tr align=center><td>1</td><td><a href=\"#\" id=\"1\" onclick=\"Func_Select(1,'',0,0);\"></a></td>"
            "<td>None</td></tr>\n");
  EXPECT_EQ(Var("SMS_FUNC_LOAD"), "Func_Select(1,'',0,0)");
  AddPhone("+15550100", 3);
  AddPhone("5550<b>", 1);
  EXPECT_EQ(Var("SMS_LIST"),
            "<tr align=center><td>1</td><td><a href=\"#\" id=\"1\" onclick=\"Func_Select(1,'+15550100',3,2);\">"
            "+15550100</a></td><td>Severity</td></tr>\n"
            "<tr align=center><td>2</td><td><a href=\"#\" id=\"2\" onclick=\"Func_Select(2,'5550\\x3cb\\x3e',1,2);\">"
            "5550&lt;b&gt;</a></td><td>Information</td></tr>\n");
  EXPECT_EQ(Var("SMS_FUNC_LOAD"), "Func_Select(1,'+15550100',3, 2)");
  // A count above the list's size shows the list.
  SmsSetting.phoneCount = 200;
  std::string rows = Var("SMS_LIST");
  EXPECT_NE(rows.find("id=\"16\""), std::string::npos);
  EXPECT_EQ(rows.find("id=\"17\""), std::string::npos);
}

TEST(Escape, Contexts) {
  struct {
    const char* text;
    const char* html;
    const char* script;
  } cases[] = {
      {"plain text 1.2", "plain text 1.2", "plain text 1.2"},
      {"<>&\"'", "&lt;&gt;&amp;&quot;&#39;", "\\x3c\\x3e\\x26\\x22\\x27"},
      {"a\\b\nc\x7f", "a\\b\nc\x7f", "a\\x5cb\\x0ac\\x7f"},
      {"</script>", "&lt;/script&gt;", "\\x3c/script\\x3e"},
      {"\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"},
  };
  for (const auto& c : cases) {
    char out[64];
    EXPECT_EQ(WebSys_HtmlEscape(out, sizeof out, c.text), strlen(c.html));
    EXPECT_STREQ(out, c.html);
    EXPECT_EQ(WebSys_ScriptEscape(out, sizeof out, c.text), strlen(c.script));
    EXPECT_STREQ(out, c.script);
  }
  // A bound never cuts an escape.
  char small[8];
  EXPECT_EQ(WebSys_HtmlEscape(small, 7, "ab&cd"), 2u);
  EXPECT_STREQ(small, "ab");
  EXPECT_EQ(WebSys_ScriptEscape(small, sizeof small, "abcd'"), 4u);
  EXPECT_STREQ(small, "abcd");
}

// ---- form lookups and the input check -------------------------------------------

TEST_F(SysPages, FieldLookupAndInputCheck) {
  std::string body = "A=1&SYS_UCTX=t&MAIL_SERVER=a&MAIL_SENDER=b%3Cc&SMS=x&SMS_PHONE1=1";
  std::vector<char> buf(body.begin(), body.end());
  buf.push_back(0);
  Httpd_ParseForm(buf.data(), static_cast<int>(body.size()), nullptr);
  EXPECT_EQ(WebSys_FindFormVar("SYS_UCTOKEN"), 1);  // 7 characters count
  EXPECT_EQ(WebSys_FindFormVar("MAIL_SEND"), 2);    // the first of "MAIL_SE..."
  EXPECT_EQ(WebSys_FindFormVar("SMS"), 4);
  EXPECT_EQ(WebSys_FindFormVar("SYS_UXX"), -1);

  // "MAIL_SERVER" checks every "MAIL_SE..." field, MAIL_SENDER included.
  WebReply.text[0] = 0;
  EXPECT_EQ(WebSys_CheckInput(1, "MAIL_SERVER"), 1);
  EXPECT_EQ(WebReply.text, kIncorrect);
  WebReply.text[0] = 0;
  EXPECT_EQ(WebSys_CheckInput(2, "SMS_PHONE", "A"), 0);
  EXPECT_STREQ(WebReply.text, "");
  EXPECT_EQ(WebSys_CheckInput(16, "A"), 1);
  EXPECT_STREQ(WebReply.text, "");

  // Each HTML character, and control characters, in a checked field.
  for (const char* value : {"a%3Cb", "a%3Eb", "a%26b", "a'b", "a%22b", "a%0Ab", "a%0Db", "a%09b", "a%7Fb"}) {
    SCOPED_TRACE(value);
    std::string b = std::string("INF_NAME=") + value;
    std::vector<char> v(b.begin(), b.end());
    v.push_back(0);
    Httpd_ParseForm(v.data(), static_cast<int>(b.size()), nullptr);
    EXPECT_TRUE(Svc_HasHtmlSpecial(WebFormFields[0].valueStart) || strpbrk(WebFormFields[0].valueStart, "\n\r\t\x7f"));
    EXPECT_EQ(WebSys_CheckInput(1, "INF_NAME"), 1);
  }
}

// ---- the token -----------------------------------------------------------------------

// Each system form with a post that would change something, and its page.
const struct {
  const char* form;
  const char* body;
  const char* page;
} kSystemForms[] = {
    {"sys_user", "USR_ACCOUNT1=root&USR_PASSWD1=long-password", "/en/sys_user.asp"},  // no USR_LOCK: lock off
    {"sys_info", "INF_LOCATION=Hall", "/en/sys_info.asp"},
    {"sys_web", "WEB_HTTP_PORT=81&WEB_FORCEHTTPS=0", "/en/sys_web.asp"},
    {"net_mail", "MAIL_SERVER=evil.example", "/en/net_mail.asp"},
    {"smtp_iconfig", "SMTP_ADD=1&MAIL_RCV=spy@example.org&MAIL_PER=1", "/en/net_mail.asp"},
    {"smtp_iconfig", "SMTP_TEST=1", "/en/net_mail.asp"},
    {"net_sms", "SMS_COM=1&SMS_BAUD=0", "/en/net_sms.asp"},
    {"net_isms", "DEV_ADD1=1&SMS_PHONE=5550100&SMS_PER=3", "/en/net_sms.asp"},
};

TEST_F(SysPages, FormsWithoutTheirSessionsTokenChangeNothing) {
  WebLock.enable = 1;
  const Settings before = Settings::Now();
  std::string good = Token();
  const int mine = WebCurrentSession;
  SetLevel(0);
  std::string other = Token();  // another administrator session's token
  WebCurrentSession = mine;
  struct {
    const char* name;
    std::string prefix;
  } tokens[] = {
      {"no token", ""},
      {"wrong token", "SYS_UCTOKEN=" + std::string(24, 'A') + "&"},
      {"short token", "SYS_UCTOKEN=" + good.substr(0, 23) + "&"},
      {"another session's token", "SYS_UCTOKEN=" + other + "&"},
  };
  for (const auto& t : tokens) {
    for (const auto& f : kSystemForms) {
      SCOPED_TRACE(std::string(t.name) + " " + f.form);
      EXPECT_EQ(Post(f.form, t.prefix + f.body), Stale(f.page));
      EXPECT_TRUE(Settings::Now() == before);
      EXPECT_FALSE(Saved());
    }
  }
  EXPECT_TRUE(g_posted.empty());
  EXPECT_TRUE(g_smsPorts.empty());
  EXPECT_TRUE(g_server.empty());
  // With the token the same post takes effect, from any address.
  From(kB);
  EXPECT_EQ(Post("sys_info", "SYS_UCTOKEN=" + good + "&INF_LOCATION=Hall"), kUpdated("sys_info.asp"));
  EXPECT_STREQ(WebSysInfoText.location, L"Hall");
  // The token works for every form of the page while the session's later
  // pages leave it among its recent ones.
  for (int i = 0; i < WEB_SESSION_TOKENS - 1; ++i) Token();
  EXPECT_EQ(Post("sys_info", "INF_NAME=x&SYS_UCTOKEN=" + good), kUpdated("sys_info.asp"));
  Token();
  EXPECT_EQ(Post("sys_info", "SYS_UCTOKEN=" + good + "&INF_NAME=y"), Stale("/en/sys_info.asp"));
}

TEST_F(SysPages, SystemFormsAreTheAdministrators) {
  WebLock.enable = 1;
  const Settings before = Settings::Now();
  // The language form takes no token; the rest their session's own.
  for (int level : {1, 2, -1}) {
    for (const auto& f : kSystemForms) {
      SCOPED_TRACE(std::to_string(level) + " " + f.form);
      SetLevel(level);
      EXPECT_EQ(PostWithToken(f.form, f.body), level < 0 ? kLoginRequired : kDenied);
      EXPECT_TRUE(Settings::Now() == before);
      EXPECT_FALSE(Saved());
    }
    SCOPED_TRACE(level);
    EXPECT_EQ(Post("language", "LANG=3"), level < 0 ? kLoginRequired : kDenied);
    EXPECT_EQ(CfgLanguage, 0);
  }
  EXPECT_TRUE(g_posted.empty());
  EXPECT_TRUE(g_server.empty());
  // The login form needs no session at all.
  SetLevel(-1);
  EXPECT_NE(Post("login", "Username=admin&Response=x"), kLoginRequired);
}

TEST_F(SysPages, SecretsAreShownOnlyToTheLevelsThatSetThem) {
  wcscpy(WebAccounts[0].name, L"admin");
  snprintf(MailSetting.account, sizeof MailSetting.account, "mailer");
  SnmpAgentSetting.accessCount = 1;
  snprintf(SnmpAgentSetting.access[0].address, sizeof SnmpAgentSetting.access[0].address, "192.0.2.7");
  snprintf(SnmpAgentSetting.access[0].community, sizeof SnmpAgentSetting.access[0].community, "hush");
  SnmpAgentSetting.userCount = 1;
  snprintf(SnmpAgentSetting.users[0].name, sizeof SnmpAgentSetting.users[0].name, "nopass");
  const struct {
    const char* name;
    const char* secret;
    int maxLevel;
  } kCases[] = {
      {"USR_ACCOUNT1", "admin", 0},     {"MAIL_SENDER", "mailer", 0},   {"ACS_SOURCE_LIST", "hush", 1},
      {"ACS_FUNC_LOAD", "hush", 1},     {"USM_USER_LIST", "nopass", 1}, {"USM_FUNC_LOAD", "nopass", 1},
  };
  for (const auto& c : kCases) {
    for (int level : {0, 1, 2, -1}) {
      SCOPED_TRACE(std::string(c.name) + " " + std::to_string(level));
      SetLevel(level);
      const bool shown = level >= 0 && level <= c.maxLevel;
      EXPECT_EQ(Var(c.name).find(c.secret) != std::string::npos, shown);
    }
  }
  // The trap receivers' communities go the same way (to the device writer).
  SetLevel(2);
  EXPECT_EQ(Var("TRAP_LIST_ADD"), "");
  EXPECT_EQ(Var("TRAP_FUNC_LOAD"), "");
  SetLevel(1);
  EXPECT_EQ(Var("TRAP_LIST_ADD"), "[TRAP_LIST_ADD]");
}

// ---- accounts --------------------------------------------------------------------------

TEST_F(SysPages, AccountForm) {
  const std::string empty =
      "Message: Title=Error\nBody=<font color=#F00000>The account or password can't be empty!</font>\n";
  const std::string userIndex = "Message: Title=Error\nBody=<font color=#F00000>Incorrect user index!</font>\n";
  const std::string passwordIndex = "Message: Title=Error\nBody=<font color=#F00000>Incorrect password index!</font>\n";
  const std::string length = "Message: Title=Error\nBody=<font color=#F00000>Incorrect password length!</font>\n";
  // Each refusal comes with changes beside it that must not take effect.
  const std::string beside = "USR_ACCOUNT1=root&USR_PASSWD1=rootroot&USR_RETRY=9&";
  struct {
    const char* name;
    std::string body;
    std::string reply;
  } refused[] = {
      {"empty account", beside + "USR_ACCOUNT2=", empty},
      {"account 4", beside + "USR_ACCOUNT4=x", userIndex},
      {"account without digit", beside + "USR_ACCOUNT=x", userIndex},
      {"password 0", beside + "USR_PASSWD0=long-enough", passwordIndex},
      {"7 characters", beside + "USR_PASSWD2=1234567", length},
      {"7 two-byte characters", beside + "USR_PASSWD2=%C3%A9%C3%A9%C3%A9%C3%A9%C3%A9%C3%A9%C3%A9", length},
      {"33 characters", beside + "USR_PASSWD2=" + std::string(33, 'p'), length},
      {"33-character name", beside + "USR_ACCOUNT2=" + std::string(33, 'n'), kIncorrect},
      {"not text of the locale", beside + "USR_ACCOUNT2=a%FFb", kIncorrect},
      {"markup", beside + "USR_ACCOUNT2=%3Cb%3E", kIncorrect},
      {"markup in a password", beside + "USR_PASSWD3=pass%22word", kIncorrect},
      {"negative retry", beside + "USR_RETRY=-1", kIncorrect},
      {"lock time too large", beside + "USR_LTIME=65536", kIncorrect},
      // A later error replaces the earlier reply.
      {"two errors", beside + "USR_ACCOUNT2=&USR_ACCOUNT5=x", userIndex},
  };
  const Settings before = Settings::Now();
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PostWithToken("sys_user", c.body), c.reply);
    EXPECT_TRUE(Settings::Now() == before);
    EXPECT_FALSE(Saved());
  }
  // Accepted: names and 8-character passwords, an empty password kept, and
  // the lock settings; a box left unticked turns the lock off.
  EXPECT_EQ(PostWithToken("sys_user",
                          "USR_ACCOUNT1=root&USR_PASSWD1=&USR_ACCOUNT2=op%C3%A9rateur&USR_PASSWD2=12345678&"
                          "USR_ACCOUNT3=guest&USR_PASSWD3=" + std::string(32, 'q') + "&USR_RETRY=3&USR_LTIME=7"),
            kUpdated("sys_user.asp"));
  EXPECT_EQ(Name(0), "root");
  EXPECT_EQ(Password(0), "brindlex");
  EXPECT_EQ(Name(1), "op\xc3\xa9rateur");
  EXPECT_EQ(Password(1), "12345678");
  EXPECT_EQ(Name(2), "guest");
  EXPECT_EQ(Password(2), std::string(32, 'q'));
  EXPECT_EQ(WebLock.enable, 0);
  EXPECT_EQ(WebLock.retryLimit, 3);
  EXPECT_EQ(WebLock.lockMinutes, 7);
  std::string ini = Config();
  EXPECT_NE(ini.find("User0=root\n"), std::string::npos);
  EXPECT_NE(ini.find("User1=op\xc3\xa9rateur\n"), std::string::npos);
  EXPECT_NE(ini.find("Enable Login Lock=Disable\n"), std::string::npos);
  EXPECT_NE(ini.find("Login Retry=3\n"), std::string::npos);
  EXPECT_EQ(PostWithToken("sys_user", "USR_LOCK=on&USR_RETRY=3&USR_LTIME=7"), kUpdated("sys_user.asp"));
  EXPECT_EQ(WebLock.enable, 1);
}

TEST_F(SysPages, LockSettingsFromTheFormLockTheLogin) {
  // The lock set on the account page: two wrong answers lock "device" for
  // 3 minutes; the right answer is then refused until the lock runs out.
  ASSERT_EQ(PostWithToken("sys_user", "USR_LOCK=1&USR_RETRY=2&USR_LTIME=3"), kUpdated("sys_user.asp"));
  auto answer = [&](const std::string& password) {
    const char* ch = WebSess_MakeChallenge(kA.family, kA.address);
    unsigned char d[16];
    unsigned int n = 0;
    std::string text = "device" + password + (ch ? ch : "");
    EVP_Digest(text.data(), text.size(), d, &n, EVP_md5(), nullptr);
    std::string hex;
    char b[3];
    for (unsigned i = 0; i < n; ++i) {
      snprintf(b, sizeof b, "%02x", d[i]);
      hex += b;
    }
    return Post("login", "Username=device&Response=" + hex);
  };
  const std::string lock =
      "Message: Redirect=/login.asp\nTitle=Login Lock\nBody=<font color=#FF0000>The account has been locked.</font>\n";
  EXPECT_NE(answer("x").find("Title=Login Error"), std::string::npos);
  EXPECT_EQ(answer("x"), lock);
  EXPECT_EQ(WebAccounts[1].lockLeft, 180u);
  EXPECT_EQ(answer("brindlex"), lock);
  Svc_AccountLockTick(180);
  EXPECT_EQ(answer("brindlex").rfind("Set Cookie: QuenchRelayer=", 0), 0u);
  EXPECT_EQ(LoggedCodes(), (std::vector<int>{37, 37, 38, 2}));
}

// ---- system information ----------------------------------------------------------------

TEST_F(SysPages, SystemInformationForm) {
  std::string body = "INF_INSTALL_DATE=01%2F02%2F2024&INF_LOCATION=Server+room+2&INF_CONTACTOR=Ops&INF_NAME=ups-1&"
                     "INF_DESCRIPTION=" + std::string(130, 'd');
  EXPECT_EQ(PostWithToken("sys_info", body), kUpdated("sys_info.asp"));
  EXPECT_STREQ(WebSysInfoText.installDate, L"01/02/2024");
  EXPECT_STREQ(WebSysInfoText.location, L"Server room 2");
  EXPECT_STREQ(WebSysInfoText.contactor, L"Ops");
  EXPECT_STREQ(WebSysInfoText.name, L"ups-1");
  EXPECT_EQ(std::wstring(WebSysInfoText.description), std::wstring(128, L'd'));
  EXPECT_NE(Config().find("Location=Server room 2\n"), std::string::npos);
  // Cut at the 32 bytes config.ini keeps, never inside a character.
  std::string name;
  for (int i = 0; i < 20; ++i) name += "%C3%A9";
  EXPECT_EQ(PostWithToken("sys_info", "INF_NAME=" + name), kUpdated("sys_info.asp"));
  EXPECT_EQ(std::wstring(WebSysInfoText.name), std::wstring(16, L'\u00e9'));
  // Fields not posted stay; markup is refused, and nothing of the form changes.
  const Settings before = Settings::Now();
  EXPECT_EQ(PostWithToken("sys_info", "INF_LOCATION=Hall&INF_CONTACTOR=%3Cscript%3E"), kIncorrect);
  EXPECT_TRUE(Settings::Now() == before);
}

// ---- web server ------------------------------------------------------------------------

TEST_F(SysPages, WebServerForm) {
  const std::string refresh =
      "Message: Title=Illegal refresh period\nBody=<font color=#808000>The refresh period should greater than "
      "0.</font>\n";
  const std::string port = "Message: Title=Illegal port\nBody=<font color=#808000>The port should be from 1 to 65535.</font>\n";
  struct {
    const char* name;
    std::string body;
    std::string reply;
    std::vector<std::string> server;  // Stop and Start around the save
  } refusals[] = {
      {"refresh 0", "WEB_HTTP_PORT=81&WEB_REFRESH=0", refresh, {}},
      {"refresh -5", "WEB_FORCEHTTPS=0&WEB_REFRESH=-5", refresh, {}},
      {"refresh not a number", "WEB_REFRESH=x", refresh, {}},
      {"port 0", "WEB_FORCEHTTPS=0&WEB_HTTP_PORT=0", port, {}},
      {"port 70000", "HTTP_WEB=0&WEB_HTTPS_PORT=70000", port, {}},
  };
  const Settings before = Settings::Now();
  for (const auto& c : refusals) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PostWithToken("sys_web", c.body), c.reply);
    EXPECT_TRUE(Settings::Now() == before);
    EXPECT_TRUE(g_server.empty());
    EXPECT_FALSE(Saved());
  }

  struct {
    const char* name;
    std::string body;
    std::vector<std::string> server;
  } accepted[] = {
      // Only the redirect and the refresh: answered, no restart.
      {"force and refresh", "WEB_FORCEHTTPS=0&WEB_REFRESH=9", {}},
      {"same ports", "WEB_HTTP_PORT=80&WEB_HTTPS_PORT=443&HTTP_WEB=1&HTTPS_WEB=1", {}},
      {"HTTP port", "WEB_HTTP_PORT=8080", {"stop", "start 8080 443 1 1"}},
      {"HTTPS off", "HTTPS_WEB=0", {"stop", "start 8080 443 1 0"}},
      {"HTTPS on, HTTPS port", "HTTPS_WEB=1&WEB_HTTPS_PORT=8443", {"stop", "start 8080 8443 1 1"}},
  };
  for (const auto& c : accepted) {
    SCOPED_TRACE(c.name);
    g_server.clear();
    EXPECT_EQ(PostWithToken("sys_web", c.body), kUpdated("sys_web.asp"));
    EXPECT_EQ(g_server, c.server);
    EXPECT_TRUE(Saved());
  }
  EXPECT_EQ(HttpdSetting.forceHttps, 0);
  EXPECT_EQ(HttpdSetting.refresh, 9);
  EXPECT_EQ(HttpdSetting.httpPort, 8080);
  EXPECT_EQ(HttpdSetting.httpsPort, 8443);
  EXPECT_EQ(HttpdSetting.listen, HTTPD_LISTEN_HTTP | HTTPD_LISTEN_HTTPS);
}

TEST_F(SysPages, CertificateUpload) {
  const char* boundary = " boundary=XyZzy";
  std::string path = Path("httpd/cert_web.pem");
  Scratch_WriteFile(path, "OLD");
  std::string pem = MakePem();
  auto post = [&](std::vector<Part> parts) {
    parts.insert(parts.begin(), Part{"SYS_UCTOKEN", Token()});
    return Post("sys_web", Multipart(parts), boundary);
  };
  // A file that is no certificate with its key: refused, and the port
  // posted beside it does not change either.
  EXPECT_EQ(post({{"WEB_HTTP_PORT", "81"}, {"WEB_SSLCERT", "not a certificate", "x.pem"}}),
            "Message: Redirect=/en/sys_web.asp\nTitle=Error\nBody=<font color=#800000>File format mismatched or "
            "error.</font>\n");
  EXPECT_EQ(Scratch_ReadFile(path), "OLD");
  EXPECT_EQ(HttpdSetting.httpPort, 80);
  EXPECT_TRUE(g_server.empty());
  // No file chosen: the field has no file name or no bytes; nothing restarts.
  EXPECT_EQ(post({{"WEB_REFRESH", "4"}, {"WEB_SSLCERT", "", ""}}), kUpdated("sys_web.asp"));
  EXPECT_EQ(post({{"WEB_SSLCERT", pem, nullptr}}), kUpdated("sys_web.asp"));
  EXPECT_TRUE(g_server.empty());
  EXPECT_EQ(Scratch_ReadFile(path), "OLD");
  // Settings that cannot be saved: the certificate in force stays, or
  // there stays none, and nothing restarts.
  std::filesystem::create_directory(Path("config.ini.tmp"));
  for (bool had : {true, false}) {
    SCOPED_TRACE(had);
    if (!had) std::filesystem::remove(path);
    EXPECT_EQ(post({{"WEB_HTTP_PORT", "81"}, {"WEB_SSLCERT", pem, "web.pem"}}),
              "Message: Title=Error\nBody=<font color=#F00000>The settings could not be saved.</font>\n");
    EXPECT_EQ(std::filesystem::exists(path), had);
    if (had) {
      EXPECT_EQ(Scratch_ReadFile(path), "OLD");
    }
    EXPECT_FALSE(std::filesystem::exists(path + ".kept"));
    EXPECT_EQ(HttpdSetting.httpPort, 80);
    EXPECT_TRUE(g_server.empty());
  }
  std::filesystem::remove(Path("config.ini.tmp"));
  // A certificate with its key: stored, and the listeners restarted.
  EXPECT_EQ(post({{"HTTP_WEB", "1"}, {"WEB_SSLCERT", pem, "web.pem"}}), kUpdated("sys_web.asp"));
  EXPECT_EQ(Scratch_ReadFile(path), pem);
  EXPECT_FALSE(std::filesystem::exists(path + ".kept"));
  EXPECT_EQ(g_server, (std::vector<std::string>{"stop", "start 80 443 1 1"}));
}

TEST_F(SysPages, RestartClosesThePostingConnectionWithoutAReply) {
  // The real server over TLS: the restart closes the form's own connection
  // and frees its TLS object; a reply to it would be written through that.
  HttpdOps.Start = Httpd_Start;
  HttpdOps.Stop = Httpd_Stop;
  Scratch_WriteFile(Path("httpd/cert_web.pem"), MakePem());
  Httpd_Start(0, 0, 0, 0);  // the TLS context, no listener
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  int k = ConnectTo(listener);
  clients.push_back(k);
  HttpConn* conn = Httpd_Accept(listener, 1);
  ASSERT_NE(conn, nullptr);
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, k);
  int r = 0;
  for (int i = 0; i < 2000 && (r = SSL_connect(ssl)) != 1; ++i) {
    Httpd_Poll();
    struct pollfd p = {k, POLLIN, 0};
    poll(&p, 1, 1);
  }
  ASSERT_EQ(r, 1);
  const Peer local{AF_INET, {127, 0, 0, 1}};  // the client's address
  From(local);
  // The administrator's session, by its cookie.
  const std::string cookie = std::string("Cookie: QuenchRelayer=") + WebSessions[WebCurrentSession].id + "\r\n";
  std::string body = "SYS_UCTOKEN=" + Token() + "&HTTP_WEB=0&HTTPS_WEB=0";
  std::string req = "POST /en/sys_web HTTP/1.1\r\nHost: h\r\n" + cookie +
                    "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  ASSERT_EQ(SSL_write(ssl, req.data(), static_cast<int>(req.size())), static_cast<int>(req.size()));
  for (int i = 0; i < 500 && conn->state == HTTP_READING; ++i) {
    Httpd_Poll();
    struct pollfd p = {k, POLLIN, 0};
    poll(&p, 1, 1);
  }
  EXPECT_EQ(conn->state, HTTP_FREE);
  EXPECT_EQ(conn->socket, -1);
  EXPECT_EQ(HttpdSetting.listen, 0);
  EXPECT_NE(Httpd_TlsContext(), nullptr);  // rebuilt by the start
  char buf[256];
  EXPECT_LE(SSL_read(ssl, buf, sizeof buf), 0);  // closed, nothing sent
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  ERR_clear_error();
}

// ---- language ---------------------------------------------------------------------------

TEST_F(SysPages, LanguageForm) {
  // Without the session's form token: nothing changes.
  for (const char* body : {"LANG=3", "LANG=3&SYS_UCTOKEN=AAAAAAAAAAAAAAAAAAAAAAAA"}) {
    EXPECT_EQ(Post("language", body).rfind("Message: Redirect=/en/sys_lang.asp\nTitle=Page Out of Date\n", 0), 0u);
    EXPECT_EQ(CfgLanguage, 0);
  }
  EXPECT_TRUE(g_posted.empty());
  EXPECT_EQ(PostWithToken("language", "LANG=3"), "OK: Redirect=/en/device/index.asp");
  EXPECT_EQ(CfgLanguage, 3);
  EXPECT_EQ(g_posted, (std::vector<std::pair<int, uint32_t>>{{MSG_LANGUAGE, 1}}));
  EXPECT_NE(Config().find("Language=3\n"), std::string::npos);
  g_posted.clear();
  // Only the four languages there are; no field, no reply.
  for (const char* body : {"LANG=4", "LANG=-1", "LANG=12"}) {
    EXPECT_EQ(PostWithToken("language", body), kIncorrect) << body;
    EXPECT_EQ(CfgLanguage, 3);
  }
  EXPECT_EQ(PostWithToken("language", "LANGUAGE=1"), "OK: Redirect=/en/device/index.asp");
  EXPECT_EQ(CfgLanguage, 1);
  EXPECT_EQ(PostWithToken("language", "X=1"), "");
  EXPECT_EQ(g_posted.size(), 1u);
}

// ---- mail ---------------------------------------------------------------------------------

TEST_F(SysPages, MailSettingsForm) {
  snprintf(MailSetting.password, 65, "old-secret");
  EXPECT_EQ(PostWithToken("net_mail", "MAIL_SERVER=smtp.example.org&MAIL_PORT=587&MAIL_SENDER=ups&MAIL_PASSWORD=&"
                                      "MAIL_MAILSENDER=ups%40example.org&MAIL_DOMAIN=" + std::string(70, 'd')),
            kUpdated("net_mail.asp"));
  EXPECT_STREQ(MailSetting.server, "smtp.example.org");
  EXPECT_EQ(MailSetting.port, 587);
  EXPECT_STREQ(MailSetting.account, "ups");
  EXPECT_STREQ(MailSetting.password, "old-secret");  // an empty password keeps it
  EXPECT_STREQ(MailSetting.from, "ups@example.org");
  EXPECT_EQ(std::string(MailSetting.domain), std::string(64, 'd'));
  EXPECT_NE(Config().find("Server=smtp.example.org\n"), std::string::npos);
  EXPECT_EQ(PostWithToken("net_mail", "MAIL_PASSWORD=new-secret"), kUpdated("net_mail.asp"));
  EXPECT_STREQ(MailSetting.password, "new-secret");

  const Settings before = Settings::Now();
  for (const char* body : {"MAIL_SERVER=a&MAIL_DOMAIN=x%3Ey", "MAIL_SERVER=a&MAIL_MAILSENDER=a%0D%0ARCPT+TO%3A+x",
                           "MAIL_PORT=2&MAIL_PASSWORD=a'b"}) {
    EXPECT_EQ(PostWithToken("net_mail", body), kIncorrect) << body;
    EXPECT_TRUE(Settings::Now() == before);
  }
  EXPECT_EQ(PostWithToken("net_mail", "MAIL_SERVER=a&MAIL_PORT=0"),
            "Message: Title=Illegal port\nBody=<font color=#808000>The port should be from 1 to 65535.</font>\n");
  EXPECT_TRUE(Settings::Now() == before);
}

TEST_F(SysPages, MailReceiverForm) {
  const std::string duplicate = "Message: Title=Error\nBody=<font color=#800000>Duplicated mail receiver!</font>\n";
  struct Step {
    const char* name;
    std::string body;
    std::string reply;
    std::vector<std::string> list;
    bool saved;
  } steps[] = {
      {"add", "SMTP_ADD=Add&MAIL_RCV=a%40x.org&MAIL_PER=1", kMailOk, {"a@x.org:1"}, true},
      {"add 2", "SMTP_ADD=&MAIL_RCV=b%40x.org&MAIL_PER=2", kMailOk, {"a@x.org:1", "b@x.org:2"}, true},
      {"add 3", "MAIL_RCV=c%40x.org&MAIL_PER=5&SMTP_ADD9=1", kMailOk, {"a@x.org:1", "b@x.org:2", "c@x.org:5"}, true},
      {"add a duplicate", "SMTP_ADD=1&MAIL_RCV=b%40x.org&MAIL_PER=3", duplicate,
       {"a@x.org:1", "b@x.org:2", "c@x.org:5"}, false},
      {"add with markup", "SMTP_ADD=1&MAIL_RCV=%3Cd%3E%40x.org", kIncorrect, {"a@x.org:1", "b@x.org:2", "c@x.org:5"},
       true},
      {"add without address", "SMTP_ADD=1&MAIL_PER=1", kIncorrect, {"a@x.org:1", "b@x.org:2", "c@x.org:5"}, true},
      {"edit 5 of 3", "SMTP_EDIT5=1&MAIL_RCV=e%40x.org&MAIL_PER=1", kWrongIndex,
       {"a@x.org:1", "b@x.org:2", "c@x.org:5"}, false},
      {"edit -1", "SMTP_EDIT-1=1&MAIL_RCV=e%40x.org&MAIL_PER=1", kWrongIndex,
       {"a@x.org:1", "b@x.org:2", "c@x.org:5"}, false},
      {"edit 2 to the address of 1", "SMTP_EDIT2=1&MAIL_RCV=a%40x.org&MAIL_PER=1", duplicate,
       {"a@x.org:1", "b@x.org:2", "c@x.org:5"}, false},
      {"edit 2, its own address", "SMTP_EDIT2=1&MAIL_RCV=b%40x.org&MAIL_PER=3", kMailOk,
       {"a@x.org:1", "b@x.org:3", "c@x.org:5"}, true},
      {"edit without number: the first", "SMTP_EDIT=1&MAIL_RCV=z%40x.org&MAIL_PER=2", kMailOk,
       {"z@x.org:2", "b@x.org:3", "c@x.org:5"}, true},
      {"delete 9: the last", "SMTP_DEL9=1", kMailOk, {"z@x.org:2", "b@x.org:3"}, true},
      {"delete -2", "SMTP_DEL-2=1", kWrongIndex, {"z@x.org:2", "b@x.org:3"}, false},
      {"delete 1", "SMTP_DEL1=1", kMailOk, {"b@x.org:3"}, true},
      {"delete 1 again", "SMTP_DEL1=1", kMailOk, {}, true},
      {"delete from none",
       "SMTP_DEL1=1",
       "Message: Title=Illegal Operation\nBody=<font color=#808000>Cannot delete anymore.</font>\n",
       {},
       false},
      {"no action", "MAIL_RCV=q%40x.org", "", {}, true},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    EXPECT_EQ(PostWithToken("smtp_iconfig", s.body), s.reply);
    EXPECT_EQ(Receivers(), s.list);
    EXPECT_EQ(Saved(), s.saved);
  }

  // The test mail (an Information event here) is queued only with a server
  // and a receiver who takes it; the answer names what is missing. The
  // first action field decides.
  EvtCommonEvents.level[34] = 1;
  const std::string refused = "Message: Title=Error\nBody=<font color=#808000>No test e-mail: ";
  const struct {
    const char* server;
    std::vector<std::pair<const char*, int>> receivers;
    std::string reply;
    bool queued;
  } kTests[] = {
      {"", {}, refused + "no mail server is set and no receiver is set.</font>\n", false},
      {"", {{"t@x.org", 1}}, refused + "no mail server is set.</font>\n", false},
      {"smtp.example.org", {}, refused + "no receiver is set.</font>\n", false},
      {"smtp.example.org", {{"", 1}}, refused + "no receiver is set.</font>\n", false},
      {"smtp.example.org", {{"boss@x.org", 3}, {"off@x.org", 0}, {"", 1}},
       refused + "no receiver takes mail of level 1 (Information).</font>\n", false},
      {"smtp.example.org", {{"off@x.org", 0}, {"t@x.org", 1}},
       "Message: Title=Information\nBody=<font color=#008000>The test e-mail is queued; the event log will tell if "
       "it cannot be delivered.</font>\n",
       true},
  };
  for (const auto& t : kTests) {
    SCOPED_TRACE(t.reply);
    snprintf(MailSetting.server, sizeof MailSetting.server, "%s", t.server);
    MailSetting.receiverCount = 0;
    for (const auto& [address, level] : t.receivers) AddReceiver(address, level);
    const std::vector<std::string> list = Receivers();
    g_posted.clear();
    EXPECT_EQ(PostWithToken("smtp_iconfig", "SMTP_TEST=1&SMTP_ADD=1&MAIL_RCV=new%40x.org"), t.reply);
    EXPECT_EQ(g_posted, t.queued ? (std::vector<std::pair<int, uint32_t>>{{MSG_TEST_MAIL, 10}})
                                 : (std::vector<std::pair<int, uint32_t>>{}));
    EXPECT_EQ(Receivers(), list);
    EXPECT_FALSE(Saved());
  }
  EvtCommonEvents.level[34] = 0;
  MailSetting.receiverCount = 0;

  // A full list; an address is compared as the list keeps it (64 bytes).
  for (int i = 0; i < MAIL_RECEIVERS - 1; ++i) AddReceiver(std::to_string(i) + "@x.org", 1);
  std::string longAddress = std::string(64, 'l');
  EXPECT_EQ(PostWithToken("smtp_iconfig", "SMTP_ADD=1&MAIL_RCV=" + longAddress + "&MAIL_PER=1"), kMailOk);
  EXPECT_EQ(MailSetting.receiverCount, MAIL_RECEIVERS);
  EXPECT_EQ(PostWithToken("smtp_iconfig", "SMTP_EDIT1=1&MAIL_RCV=" + longAddress + "tail&MAIL_PER=1"), duplicate);
  EXPECT_EQ(PostWithToken("smtp_iconfig", "SMTP_ADD=1&MAIL_RCV=new%40x.org&MAIL_PER=1"),
            "Message: Title=Illegal Operation\nBody=<font color=#808000>You cannot add the item. It is over the "
            "maximum number.</font>\n");
  EXPECT_EQ(MailSetting.receiverCount, MAIL_RECEIVERS);
}

// ---- SMS ---------------------------------------------------------------------------------

TEST_F(SysPages, SmsModemForm) {
  const std::string check =
      "Message: Title=Illegal Operation\nBody=<font color=#808000>Please check the value again.</font>\n";
  for (const char* body : {"SMS_COM=1", "SMS_BAUD=1", "SMS_COM=-1&SMS_BAUD=1", "SMS_COM=1&SMS_BAUD=-2",
                           "SMS_COM=256&SMS_BAUD=1"}) {
    EXPECT_EQ(PostWithToken("net_sms", body), check) << body;
  }
  EXPECT_TRUE(g_smsPorts.empty());
  EXPECT_FALSE(Saved());
  EXPECT_EQ(PostWithToken("net_sms", "SMS_COM=2&SMS_BAUD=3"), kUpdated("net_sms.asp"));
  EXPECT_EQ(g_smsPorts, (std::vector<std::pair<int, int>>{{2, 3}}));
  EXPECT_NE(Config().find("SMS COM Port=2\nSMS Baud Rate=3\n"), std::string::npos);
}

TEST_F(SysPages, SmsPhoneForm) {
  const std::string ok = kUpdated("net_sms.asp");
  struct Step {
    const char* name;
    std::string body;
    std::string reply;
    std::vector<std::string> list;
    bool saved;
  } steps[] = {
      {"no action", "SMS_PHONE=1",
       "Message: Title=Error\nBody=<font color=#F00000>FIFO_GROUP_POST not found!</font>\n", {}, false},
      {"delete from none", "DEV_DEL1=1", "", {}, true},
      {"add", "DEV_ADD1=1&SMS_PHONE=%2B15550100&SMS_PER=3", ok, {"+15550100:3"}, true},
      {"add 2", "DEV_ADD=1&SMS_PHONE=5550101&SMS_PER=1", ok, {"+15550100:3", "5550101:1"}, true},
      {"add markup", "DEV_ADD=1&SMS_PHONE=5%3C1", kIncorrect, {"+15550100:3", "5550101:1"}, false},
      {"add 33 characters", "DEV_ADD=1&SMS_PHONE=" + std::string(33, '5'), kIncorrect,
       {"+15550100:3", "5550101:1"}, false},
      {"add without number", "DEV_ADD=1&SMS_PER=1", kIncorrect, {"+15550100:3", "5550101:1"}, false},
      {"edit 2", "DEV_EDIT2=1&SMS_PHONE=5550102&SMS_PER=2", ok, {"+15550100:3", "5550102:2"}, true},
      {"edit 3 of 2", "DEV_EDIT3=1&SMS_PHONE=5550103&SMS_PER=2", kWrongIndex, {"+15550100:3", "5550102:2"}, false},
      {"edit 0", "DEV_EDIT0=1&SMS_PHONE=5550103&SMS_PER=2", kWrongIndex, {"+15550100:3", "5550102:2"}, false},
      {"edit without number", "DEV_EDIT=1&SMS_PHONE=5550103", kWrongIndex, {"+15550100:3", "5550102:2"}, false},
      // The last action field wins.
      {"edit then delete", "DEV_EDIT1=1&SMS_PHONE=1&DEV_DEL1=1", ok, {"5550102:2"}, true},
      {"delete 0", "DEV_DEL0=1", kWrongIndex, {"5550102:2"}, false},
      {"delete 7: the last", "DEV_DEL7=1", ok, {}, true},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    EXPECT_EQ(PostWithToken("net_isms", s.body), s.reply);
    EXPECT_EQ(Phones(), s.list);
    EXPECT_EQ(Saved(), s.saved);
  }
  // Phones 10 to 16 are reached by their whole number.
  for (int i = 1; i <= SMS_PHONES; ++i) AddPhone(std::to_string(5550000 + i), 1);
  EXPECT_EQ(PostWithToken("net_isms", "DEV_EDIT12=1&SMS_PHONE=12&SMS_PER=2"), ok);
  EXPECT_STREQ(SmsSetting.phones[11].number, "12");
  EXPECT_STREQ(SmsSetting.phones[0].number, "5550001");
  EXPECT_EQ(PostWithToken("net_isms", "DEV_DEL10=1"), ok);
  EXPECT_STREQ(SmsSetting.phones[9].number, "5550011");
  EXPECT_EQ(PostWithToken("net_isms", "DEV_ADD=1&SMS_PHONE=1"), ok);
  EXPECT_EQ(PostWithToken("net_isms", "DEV_ADD=1&SMS_PHONE=2"),
            "Message: Title=Error\nBody=<font color=#FF0000>Over the maximum number of mobile phones!</font>\n");
  EXPECT_EQ(SmsSetting.phoneCount, SMS_PHONES);
}

// ---- saving -------------------------------------------------------------------------------

TEST_F(SysPages, WhatFollowsFromAChangeWaitsForItsSave) {
  std::vector<std::string> done;
  auto queue = [&](const char* what) { WebSys_AfterSave([&done, what] { done.push_back(what); }); };
  {
    // Saved: carried out when the form ends, in the order queued.
    const WebSysFormSettings form;
    queue("first");
    EXPECT_TRUE(WebSys_SettingsSaved(true));
    queue("second");
    EXPECT_TRUE(done.empty());
  }
  EXPECT_EQ(done, (std::vector<std::string>{"first", "second"}));
  done.clear();
  {
    // A save that fails drops what was queued before it, and a later save
    // that stores the change carries out only what came after.
    const WebSysFormSettings form;
    queue("dropped");
    EXPECT_FALSE(WebSys_SettingsSaved(false));
    queue("after");
    EXPECT_TRUE(WebSys_SettingsSaved(true));
  }
  EXPECT_EQ(done, std::vector<std::string>{"after"});
  done.clear();
  {
    // No save, or a last save that failed: nothing is carried out.
    const WebSysFormSettings form;
    queue("unsaved");
  }
  {
    const WebSysFormSettings form;
    EXPECT_TRUE(WebSys_SettingsSaved(true));
    queue("then failed");
    EXPECT_FALSE(WebSys_SettingsSaved(false));
  }
  EXPECT_TRUE(done.empty());
}

TEST_F(SysPages, ASaveThatFailsIsNotReportedAsSuccessAndIsUndone) {
  // config.ini is a directory that cannot be replaced.
  std::filesystem::create_directories(Path("config.ini/keep"));
  const std::string notSaved =
      "Message: Title=Error\nBody=<font color=#F00000>The settings could not be saved.</font>\n";
  const Settings before = Settings::Now();
  EXPECT_EQ(PostWithToken("sys_info", "INF_NAME=x"), notSaved);
  EXPECT_EQ(PostWithToken("smtp_iconfig", "SMTP_ADD=1&MAIL_RCV=a%40x.org"), notSaved);
  EXPECT_EQ(PostWithToken("language", "LANG=1"), notSaved);
  EXPECT_EQ(PostWithToken("sys_web", "WEB_HTTP_PORT=8080&HTTPS_WEB=0"), notSaved);
  EXPECT_EQ(PostWithToken("net_sms", "SMS_COM=3&SMS_BAUD=1"), notSaved);
  EXPECT_TRUE(Settings::Now() == before);
  // The listeners and the modem stay as they run, and the event texts are
  // not read again.
  EXPECT_TRUE(g_server.empty());
  EXPECT_TRUE(g_smsPorts.empty());
  EXPECT_TRUE(g_posted.empty());
  std::filesystem::remove_all(Path("config.ini"));
}

TEST_F(SysPages, OtherFormsGoToTheDeviceHandler) {
  g_formReply = "OK: Redirect=/en/device/ups_config.asp";
  for (const char* form : {"ups_config", "net_sm", "logi", ""}) {
    g_formSeen = "-";
    EXPECT_EQ(Post(form, "SYS_UCTOKEN=" + Token()), g_formReply) << form;
    EXPECT_EQ(g_formSeen, form);
  }
  // A system form's name followed by more is still that form.
  g_formSeen = "-";
  EXPECT_EQ(PostWithToken("sys_info.asp", "INF_NAME=z"), kUpdated("sys_info.asp"));
  EXPECT_EQ(g_formSeen, "-");
}

}  // namespace
