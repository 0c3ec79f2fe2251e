// config.ini: factory defaults, the reader and writer, every value kind of
// the key catalogue, the password encodings, the migrations, the import and
// the failure paths.
#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <openssl/evp.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "core/cfg.h"
#include "core/crypt.h"
#include "core/helpers.h"
#include "core/svc.h"
#include "events/dlog.h"
#include "events/mail.h"
#include "events/react.h"
#include "events/sched.h"
#include "events/sms.h"
#include "events/wol.h"
#include "snmp/snmpagent.h"
#include "snmp/snmptrap.h"
#include "support/scratch.h"
#include "ups/com.h"
#include "ups/upsdata.h"
#include "web/httpd.h"
#include "web/websess.h"
#include "web/websys.h"

namespace {

// 29 February 2024, 12:00 UTC.
time_t LeapDayNoon() { return 1709208000; }

// Notes the store hands to the event log.
std::vector<std::pair<int, std::string>> g_notes;
void KeepNote(int level, const char* text) { g_notes.emplace_back(level, text); }

void ClearSettings() {
  CfgFile = CFG_FILE_UNKNOWN;
  CfgVersion = 0;
  CfgRestart = 0;
  CfgStopService = 0;
  CfgLanguage = 0;
  memset(&ReactSetting, 0, sizeof ReactSetting);
  memset(SchedWeekly, 0, sizeof SchedWeekly);
  memset(SchedSpecific, 0, sizeof SchedSpecific);
  memset(&MailSetting, 0, sizeof MailSetting);
  memset(&SmsSetting, 0, sizeof SmsSetting);
  memset(&WolSetting, 0, sizeof WolSetting);
  memset(&DLogSetting, 0, sizeof DLogSetting);
  memset(&HttpdSetting, 0, sizeof HttpdSetting);
  memset(WebAccounts, 0, sizeof WebAccounts);
  memset(&WebLock, 0, sizeof WebLock);
  WebPasswordEncrypt = 0;
  memset(&WebSysInfoText, 0, sizeof WebSysInfoText);
  WebSysManageable = 0;
  WebSysManagerPermission = 0;
  memset(&SnmpAgentSetting, 0, sizeof SnmpAgentSetting);
  memset(SnmpTrapReceivers, 0, sizeof SnmpTrapReceivers);
  SnmpTrapReceiverCount = 0;
  ComPortSetting = 0;
  memset(ComPathSetting, 0, sizeof ComPathSetting);
  memset(&ComSlot, 0, sizeof ComSlot);
  memset(&UpsRecord, 0, sizeof UpsRecord);
}

std::string Utf8(const wchar_t* w) {
  char buf[4096];
  Cfg_WideToText(buf, sizeof buf, w);
  return buf;
}

std::string Num(long v) { return std::to_string(v); }

// Radix-64 with the crypt alphabet, written here from its definition so
// that the store's stored texts are checked independently.
std::string Radix64(const std::vector<uint8_t>& in) {
  static const char kAlphabet[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t v = in[i];
    if (i + 1 < in.size()) v |= uint32_t{in[i + 1]} << 8;
    if (i + 2 < in.size()) v |= uint32_t{in[i + 2]} << 16;
    for (int d = 0; d < 4; ++d, v >>= 6) out += kAlphabet[v & 63];
  }
  return out;
}

// AES-256 of whole blocks under the configuration key, with libcrypto.
std::vector<uint8_t> AesBlocks(const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> enc(bytes.size() + 16);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n = 0, m = 0;
  EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, CryptOps.configKey, nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  if (!bytes.empty()) EVP_EncryptUpdate(ctx, enc.data(), &n, bytes.data(), static_cast<int>(bytes.size()));
  EVP_EncryptFinal_ex(ctx, enc.data() + n, &m);
  EVP_CIPHER_CTX_free(ctx);
  enc.resize(static_cast<size_t>(n + m));
  return enc;
}

// The stored text of a password, with libcrypto's AES-256 for "Advanced".
std::string ExpectedStored(uint8_t encoding, const std::string& text) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  if (encoding == CFG_PW_NO) return text;
  if (encoding == CFG_PW_ADVANCED) {
    bytes.resize((bytes.size() + 15) / 16 * 16, 0);
    bytes = AesBlocks(bytes);
  }
  return Radix64(bytes);
}

// The value of the first line of text that begins with key, or "<none>".
std::string LineValue(const std::string& text, const std::string& key, size_t from = 0) {
  size_t at = from;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (text.compare(at, key.size(), key) == 0) return text.substr(at + key.size(), end - at - key.size());
    at = end + 1;
  }
  return "<none>";
}

std::string SourceDir() { return std::filesystem::path(__FILE__).parent_path().string(); }

class CfgTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    setenv("TZ", "UTC", 1);
    tzset();
    ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    Crypt_Init();
    SvcWallClock = LeapDayNoon;
    ClearSettings();
    g_notes.clear();
    Cfg_SetNoteSink(KeepNote);
  }
  void TearDown() override {
    SvcWallClock = savedClock;
    Cfg_SetNoteSink(nullptr);
    ClearSettings();
    ScratchTest::TearDown();
  }
  std::string Config() const { return Scratch_ReadFile(Path("config.ini")); }
  void WriteConfig(const std::string& text) const { Scratch_WriteFile(Path("config.ini"), text); }

  time_t (*savedClock)() = SvcWallClock;
};

// ---- factory defaults and round trips ---------------------------------------

TEST_F(CfgTest, MissingFileIsCreatedWithTheFactoryDefaults) {
  mode_t old = umask(0);
  EXPECT_EQ(Cfg_Load(nullptr), 0);
  umask(old);
  std::string got = Config();
  // The command file default names the installation directory.
  std::string dirCommand = dir + "/command/";
  size_t at = got.find(dirCommand);
  ASSERT_NE(at, std::string::npos);
  got.replace(at, dir.size(), "/usr/local/brisvane");
  EXPECT_EQ(got, Scratch_ReadFile(SourceDir() + "/data/config_default.ini"));

  struct stat st;
  ASSERT_EQ(stat(Path("config.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_FALSE(std::filesystem::exists(Path("config.ini.tmp")));
  // The factory passwords under the configuration key, checked with libcrypto.
  EXPECT_EQ(LineValue(got, "Password0="), ExpectedStored(CFG_PW_ADVANCED, "brindlex"));
  EXPECT_EQ(LineValue(got, "Auth1="), ExpectedStored(CFG_PW_ADVANCED, "mq530847"));
  EXPECT_EQ(LineValue(got, "Priv1="), ExpectedStored(CFG_PW_ADVANCED, "tv817264"));
}

TEST_F(CfgTest, DefaultsSurviveSaveLoadSaveByteForByte) {
  Cfg_SetDefaults();
  ASSERT_EQ(Cfg_Save(), 1);
  std::string first = Config();
  ClearSettings();
  ASSERT_EQ(Cfg_Load(nullptr), 1);
  ASSERT_EQ(Cfg_Save(), 1);
  EXPECT_EQ(Config(), first);
  EXPECT_EQ(std::string(SnmpAgentSetting.users[0].authPassword), "mq530847");
  EXPECT_EQ(Utf8(WebAccounts[2].password), "brindlex");
}

// Records are filled field by field so that their padding stays zero and
// whole records can be compared byte for byte.
void SetTrap(TrapReceiver& t, uint16_t port, uint16_t ncPort, uint8_t mib, uint8_t type, uint8_t level,
             const char* ip, const char* user, const char* community, uint8_t twice) {
  t.port = port;
  t.ncPort = ncPort;
  t.mib = mib;
  t.type = type;
  t.level = level;
  snprintf(t.ip, sizeof t.ip, "%s", ip);
  snprintf(t.user, sizeof t.user, "%s", user);
  snprintf(t.community, sizeof t.community, "%s", community);
  t.twice = twice;
}

void SetAccess(SnmpAccessEntry& a, const char* address, const char* community, uint8_t permission) {
  snprintf(a.address, sizeof a.address, "%s", address);
  snprintf(a.community, sizeof a.community, "%s", community);
  a.permission = permission;
}

void SetWol(WolHost& h, const char* title, std::vector<uint8_t> mac, uint8_t delay, uint8_t powerRestore,
            uint8_t sysStartup) {
  snprintf(h.title, sizeof h.title, "%s", title);
  memcpy(h.mac, mac.data(), 6);
  h.delay = delay;
  h.powerRestore = powerRestore;
  h.sysStartup = sysStartup;
}

// Every value kind with values that are not the defaults, lists filled,
// multibyte texts: the settings read back are exactly those written.
void FillEverySetting() {
  CfgStopService = 1;
  CfgLanguage = 2;
  swprintf(WebSysInfoText.installDate, 33, L"01/02/2023");
  swprintf(WebSysInfoText.location, 65, L"Zürich Rechenzentrum");
  swprintf(WebSysInfoText.description, 129, L"Raum 3 – Kälte");
  swprintf(WebSysInfoText.contactor, 33, L"Åsa");
  swprintf(WebSysInfoText.name, 33, L"ups-1");
  HttpdSetting.httpPort = 8080;
  HttpdSetting.httpsPort = 8443;
  HttpdSetting.listen = HTTPD_LISTEN_HTTPS;
  HttpdSetting.refresh = 9;
  HttpdSetting.forceHttps = 0;
  WebPasswordEncrypt = CFG_PW_YES;
  swprintf(WebAccounts[0].name, 33, L"chef");
  swprintf(WebAccounts[0].password, 33, L"pässwörd€");
  swprintf(WebAccounts[1].name, 33, L"dev");
  swprintf(WebAccounts[1].password, 33, L"%ls", L"0123456789abcdef0123456789abcdef");
  WebLock.enable = 0;
  WebLock.retryLimit = 3;
  WebLock.lockMinutes = 7;
  ReactSetting.type = 2;
  ReactSetting.upsDelay = -1;
  for (int r = 0; r < REACT_COUNT; ++r) {
    ReactSetting.enable[r] = static_cast<uint8_t>(r % 2);
    ReactSetting.delay[r] = 1000 + r;
  }
  ReactSetting.notifyEnable = 0;
  ReactSetting.notifyPeriod = 65535;
  ReactSetting.commandEnable = 1;
  ReactSetting.commandBefore = 2147483647;
  swprintf(ReactSetting.commandFile, 257, L"/opt/ärger/run.sh --now");
  ReactSetting.smartTrapEnable = 0;
  ReactSetting.smartTrapBefore = 42;
  ComPortSetting = 5;
  ComSlot.port[0] = 4;
  snprintf(ComPathSetting, sizeof ComPathSetting, "/dev/ttyUSB0");
  SnmpTrapReceiverCount = 2;
  SetTrap(SnmpTrapReceivers[0], 162, 161, 1, 2, 4, "192.0.2.7", "manager", "public", 1);
  SetTrap(SnmpTrapReceivers[1], 1162, 0, 0, 0, 1, "2001:db8::1", "", "trapcomm", 0);
  SnmpAgentSetting.listenPort = 1161;
  SnmpAgentSetting.accessCount = 2;
  SetAccess(SnmpAgentSetting.access[0], "0.0.0.0", "tambor", 1);
  SetAccess(SnmpAgentSetting.access[1], "::", "rw-comm", 2);
  snprintf(SnmpAgentSetting.contextName, 17, "ctx16charsxxxxxx");
  SnmpAgentSetting.passwordEncrypt = CFG_PW_ADVANCED;
  SnmpAgentSetting.userCount = 2;
  snprintf(SnmpAgentSetting.users[0].name, 17, "manager");
  SnmpAgentSetting.users[0].security = 2;
  snprintf(SnmpAgentSetting.users[0].authPassword, 17, "sixteen-chars-ab");
  snprintf(SnmpAgentSetting.users[0].privPassword, 17, "p");
  SnmpAgentSetting.users[0].permission = 2;
  snprintf(SnmpAgentSetting.users[1].name, 17, "reader");
  SnmpAgentSetting.users[1].permission = 1;
  WebSysManageable = 0;
  WebSysManagerPermission = 2;
  DLogSetting.maxStorage = 24;
  DLogSetting.exportPeriod = 15;
  swprintf(DLogSetting.exportPath, 257, L"/var/lib/ups/ü/");
  SchedWeekly[0] = {0x41, 23, 59, 1};  // byte records without padding
  SchedWeekly[7] = {0x7F, 0, 5, 4};
  SchedSpecific[0] = {25, 12, 31, 23, 30, 1};
  SchedSpecific[15] = {99, 1, 1, 0, 30, 2};
  snprintf(MailSetting.server, 65, "mail.example.org");
  MailSetting.port = 587;
  MailSetting.passwordEncrypt = CFG_PW_NO;
  snprintf(MailSetting.account, 65, "ups@example.org");
  snprintf(MailSetting.password, 65, "plain pass; with = sign");
  snprintf(MailSetting.from, 65, "UPS <ups@example.org>");
  snprintf(MailSetting.domain, 65, "example.org");
  MailSetting.receiverCount = 2;
  snprintf(MailSetting.receivers[0].address, 65, "ops@example.org");
  MailSetting.receivers[0].level = 1;
  snprintf(MailSetting.receivers[1].address, 65, "boss@example.org");
  MailSetting.receivers[1].level = 3;
  WolSetting.hostCount = 2;
  SetWol(WolSetting.hosts[0], "file server", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0xFF}, 2, 1, 0);
  SetWol(WolSetting.hosts[1], "nas", {1, 2, 3, 4, 5, 6}, 255, 0, 1);
  SmsSetting.port = 2;
  SmsSetting.baud = 3;
  SmsSetting.phoneCount = 2;
  snprintf(SmsSetting.phones[0].number, 33, "+4915112345678");
  SmsSetting.phones[0].level = 2;
  snprintf(SmsSetting.phones[1].number, 33, "0123");
  UpsRecord.lowBattCheck = 1;
  UpsRecord.lowBattLevel = 45;
  UpsRecord.replaceNotice = 0;
  UpsRecord.replaceNoticeDays = 400;
  snprintf(UpsRecord.battLastDate, 9, "20200101");
  snprintf(UpsRecord.battNextDate, 9, "20230101");
  UpsRecord.pfOutletMask = 0x81;
  UpsRecord.blOutletMask = 0x02;
  for (int i = 0; i < UPS_OUTLETS; ++i) {
    UpsRecord.pfOutletDelay[i] = static_cast<uint16_t>(10 * i);
    UpsRecord.blOutletDelay[i] = static_cast<uint16_t>(65535 - i);
  }
}

// The bytes of a record, padding included.
struct Bytes {
  template <class T>
  explicit Bytes(const T& v) : data(sizeof v), where(&v) { memcpy(data.data(), &v, sizeof v); }
  bool Same() const { return memcmp(data.data(), where, data.size()) == 0; }
  std::vector<unsigned char> data;
  const void* where;
};

TEST_F(CfgTest, EverySettingSurvivesSaveAndLoad) {
  FillEverySetting();
  CfgVersion = 5;
  ASSERT_EQ(Cfg_Save(), 1);
  std::string first = Config();

  // Snapshot, then read back into cleared settings.
  const std::pair<const char*, Bytes> records[] = {
      {"ReactSetting", Bytes(ReactSetting)},     {"MailSetting", Bytes(MailSetting)},
      {"SmsSetting", Bytes(SmsSetting)},         {"WolSetting", Bytes(WolSetting)},
      {"DLogSetting", Bytes(DLogSetting)},       {"HttpdSetting", Bytes(HttpdSetting)},
      {"WebSysInfoText", Bytes(WebSysInfoText)}, {"SnmpAgentSetting", Bytes(SnmpAgentSetting)},
      {"SnmpTrapReceivers", Bytes(SnmpTrapReceivers)}, {"WebAccounts", Bytes(WebAccounts)},
      {"SchedWeekly", Bytes(SchedWeekly)},       {"SchedSpecific", Bytes(SchedSpecific)},
  };
  UpsRecordType ups;
  memcpy(&ups, &UpsRecord, sizeof ups);
  ClearSettings();
  ASSERT_EQ(Cfg_Load(nullptr), 1);

  for (const auto& [name, bytes] : records) EXPECT_TRUE(bytes.Same()) << name << " differs after the round trip";
  EXPECT_EQ(WebPasswordEncrypt, CFG_PW_YES);
  EXPECT_EQ(WebLock.enable, 0);
  EXPECT_EQ(WebLock.retryLimit, 3);
  EXPECT_EQ(WebLock.lockMinutes, 7);
  EXPECT_EQ(WebSysManageable, 0);
  EXPECT_EQ(WebSysManagerPermission, 2);
  EXPECT_EQ(CfgStopService, 1);
  EXPECT_EQ(CfgLanguage, 2);
  EXPECT_EQ(ComPortSetting, 5);
  EXPECT_EQ(ComSlot.port[0], 4);
  EXPECT_EQ(ComSlot.scan[0], 0);
  EXPECT_STREQ(ComPathSetting, "/dev/ttyUSB0");
  EXPECT_EQ(UpsRecord.lowBattCheck, ups.lowBattCheck);
  EXPECT_EQ(UpsRecord.lowBattLevel, ups.lowBattLevel);
  EXPECT_EQ(UpsRecord.replaceNotice, ups.replaceNotice);
  EXPECT_EQ(UpsRecord.replaceNoticeDays, ups.replaceNoticeDays);
  EXPECT_STREQ(UpsRecord.battLastDate, ups.battLastDate);
  EXPECT_STREQ(UpsRecord.battNextDate, ups.battNextDate);
  EXPECT_EQ(UpsRecord.pfOutletMask, ups.pfOutletMask);
  EXPECT_EQ(UpsRecord.blOutletMask, ups.blOutletMask);
  EXPECT_EQ(memcmp(UpsRecord.pfOutletDelay, ups.pfOutletDelay, sizeof ups.pfOutletDelay), 0);
  EXPECT_EQ(memcmp(UpsRecord.blOutletDelay, ups.blOutletDelay, sizeof ups.blOutletDelay), 0);

  ASSERT_EQ(Cfg_Save(), 1);
  EXPECT_EQ(Config(), first);
  // A mail password under "No" is written as text, whatever the web uses.
  EXPECT_EQ(LineValue(first, "Password="), "plain pass; with = sign");
}

TEST_F(CfgTest, ASnapshotPutsBackEverySettingAsItWas) {
  FillEverySetting();
  CfgVersion = 5;
  // Besides, what the text of config.ini would not give back: a list entry
  // past the list's count, a port that is no port, the users' keys.
  snprintf(MailSetting.receivers[4].address, 65, "past-the-count@example.org");
  MailSetting.port = 0;
  for (size_t i = 0; i < sizeof SnmpAgentSetting.users[1].authKey; ++i)
    SnmpAgentSetting.users[1].authKey[i] = static_cast<uint8_t>(i + 1);
  CfgSnapshot snapshot;
  Cfg_TakeSnapshot(&snapshot);
  const std::pair<const char*, Bytes> records[] = {
      {"ReactSetting", Bytes(ReactSetting)},     {"MailSetting", Bytes(MailSetting)},
      {"SmsSetting", Bytes(SmsSetting)},         {"WolSetting", Bytes(WolSetting)},
      {"DLogSetting", Bytes(DLogSetting)},       {"HttpdSetting", Bytes(HttpdSetting)},
      {"WebSysInfoText", Bytes(WebSysInfoText)}, {"SnmpAgentSetting", Bytes(SnmpAgentSetting)},
      {"SnmpTrapReceivers", Bytes(SnmpTrapReceivers)}, {"SchedWeekly", Bytes(SchedWeekly)},
      {"SchedSpecific", Bytes(SchedSpecific)},
  };
  UpsRecordType ups;
  memcpy(&ups, &UpsRecord, sizeof ups);
  WebAccount accounts[WEB_ACCOUNTS];
  memcpy(accounts, WebAccounts, sizeof accounts);
  const std::string text = Scratch_SettingsText();

  // Everything else in force: cleared, with a date row where there was
  // none (the reader keeps a row it finds empty as it was), the port slot
  // searching, and state that is no setting.
  ClearSettings();
  SchedSpecific[3] = {27, 5, 5, 10, 30, 1};
  ComSlot.scan[0] = 1;
  WebAccounts[0].failedLogins = 3;
  UpsRecord.values[0] = 123;
  Cfg_RestoreSnapshot(CfgSnapshot{});  // none taken: nothing changes
  EXPECT_EQ(SchedSpecific[3].year, 27);
  Cfg_RestoreSnapshot(snapshot);

  for (const auto& [name, bytes] : records) EXPECT_TRUE(bytes.Same()) << name << " differs after the restore";
  for (int i = 0; i < WEB_ACCOUNTS; ++i) {
    EXPECT_EQ(wcscmp(WebAccounts[i].name, accounts[i].name), 0) << i;
    EXPECT_EQ(wcscmp(WebAccounts[i].password, accounts[i].password), 0) << i;
  }
  EXPECT_EQ(WebPasswordEncrypt, CFG_PW_YES);
  EXPECT_EQ(WebLock.retryLimit, 3);
  EXPECT_EQ(WebSysManageable, 0);
  EXPECT_EQ(WebSysManagerPermission, 2);
  EXPECT_EQ(CfgStopService, 1);
  EXPECT_EQ(CfgLanguage, 2);
  EXPECT_EQ(CfgVersion, 5);
  EXPECT_EQ(ComPortSetting, 5);
  EXPECT_STREQ(ComPathSetting, "/dev/ttyUSB0");
  EXPECT_EQ(ComSlot.port[0], 4);
  EXPECT_EQ(ComSlot.scan[0], 0);
  EXPECT_EQ(SnmpTrapReceiverCount, 2);
  EXPECT_EQ(UpsRecord.replaceNoticeDays, ups.replaceNoticeDays);
  EXPECT_STREQ(UpsRecord.battLastDate, ups.battLastDate);
  EXPECT_EQ(UpsRecord.pfOutletMask, ups.pfOutletMask);
  EXPECT_EQ(memcmp(UpsRecord.blOutletDelay, ups.blOutletDelay, sizeof ups.blOutletDelay), 0);
  // What is no setting stays as it is.
  EXPECT_EQ(WebAccounts[0].failedLogins, 3);
  EXPECT_EQ(UpsRecord.values[0], 123);
  // And the settings in force write the same file.
  EXPECT_EQ(Scratch_SettingsText(), text);
}

// ---- one line, one stored value ---------------------------------------------------

struct LineCase {
  const char* name;
  int section;
  std::vector<std::string> lines;
  std::function<std::string()> got;
  std::string want;
};

TEST_F(CfgTest, EachLineStoresItsValueByKind) {
  const std::string longText(300, 'x');
  const LineCase cases[] = {
      // integers: low bits of the width, strtol's saturation, atoi's prefix
      {"16-bit keeps its low bits", CFG_SEC_WEB, {"Web Refresh=65617"}, [] { return Num(HttpdSetting.refresh); }, "81"},
      {"8-bit keeps its low bits", CFG_SEC_SHUTDOWN, {"Type=258"}, [] { return Num(ReactSetting.type); }, "2"},
      {"32-bit signed", CFG_SEC_SHUTDOWN, {"UPS Delay=-5"}, [] { return Num(ReactSetting.upsDelay); }, "-5"},
      {"overlong number saturates, then is cut", CFG_SEC_SHUTDOWN, {"UPS Delay=99999999999999999999"},
       [] { return Num(ReactSetting.upsDelay); }, "-1"},
      {"digits then text", CFG_SEC_WEB, {"Web Refresh=12abc"}, [] { return Num(HttpdSetting.refresh); }, "12"},
      {"no digits reads 0", CFG_SEC_WEB, {"Web Refresh=7", "Web Refresh=abc"},
       [] { return Num(HttpdSetting.refresh); }, "0"},
      {"16-bit load-bank delay", CFG_SEC_UPS, {"Load Bank BL Delay8=70000"},
       [] { return Num(UpsRecord.blOutletDelay[7]); }, "4464"},
      // flags
      {"Yes is on", CFG_SEC_SHUTDOWN, {"Bypass Enable=Yes"}, [] { return Num(ReactSetting.enable[REACT_BYPASS]); }, "1"},
      {"lower-case yes is off", CFG_SEC_WEB, {"Enable HTTPS=Yes", "Enable HTTP=yes"},
       [] { return Num(HttpdSetting.listen); }, "2"},
      {"listener bits are kept apart", CFG_SEC_WEB, {"Enable HTTP=Yes", "Enable HTTPS=Yes", "Enable HTTP=No"},
       [] { return Num(HttpdSetting.listen); }, "2"},
      {"32-bit flag", CFG_SEC_MANAGEABLE, {"Enable=Yes"}, [] { return Num(WebSysManageable); }, "1"},
      {"the permission the switch gives back", CFG_SEC_MANAGEABLE, {"Enable=No", "Manager Permission=2"},
       [] { return Num(WebSysManageable) + "|" + Num(WebSysManagerPermission); }, "0|2"},
      {"lock flag is Enable", CFG_SEC_WEB, {"Enable Login Lock=Enable"}, [] { return Num(WebLock.enable); }, "1"},
      {"lock flag Yes is off", CFG_SEC_WEB, {"Enable Login Lock=Yes"}, [] { return Num(WebLock.enable); }, "0"},
      {"load-bank flag is bit n-1", CFG_SEC_UPS, {"Load Bank PF Enable3=Yes", "Load Bank PF Enable8=Yes"},
       [] { return Num(UpsRecord.pfOutletMask); }, "132"},
      {"Sys Startup", CFG_SEC_WOL, {"WOL Num=1", "Sys Startup1=Yes"},
       [] { return Num(WolSetting.hosts[0].sysStartup); }, "1"},
      // encodings
      {"Advanced", CFG_SEC_USM, {"Password Encrypt=Advanced"}, [] { return Num(SnmpAgentSetting.passwordEncrypt); }, "2"},
      {"Yes", CFG_SEC_MAIL, {"Password Encrypt=Yes"}, [] { return Num(MailSetting.passwordEncrypt); }, "1"},
      {"unknown name is No", CFG_SEC_MAIL, {"Password Encrypt=Yes", "Password Encrypt=advanced"},
       [] { return Num(MailSetting.passwordEncrypt); }, "0"},
      {"Password Encrypt= is no password entry", CFG_SEC_WEB, {"Password Encrypt=Yes"},
       [] { return Num(WebPasswordEncrypt) + "|" + Utf8(WebAccounts[0].password); }, "1|"},
      // narrow texts are cut to their fields
      {"trap address cut to 51 bytes", CFG_SEC_SNMP_TRAP, {"Number=1", "IP1=" + longText},
       [] { return Num(strlen(SnmpTrapReceivers[0].ip)); }, "51"},
      {"context name cut to 16 bytes", CFG_SEC_USM, {"Context Name=" + longText},
       [] { return Num(strlen(SnmpAgentSetting.contextName)); }, "16"},
      {"COM path cut to 64 bytes", CFG_SEC_COM, {"COM Path=" + longText}, [] { return Num(strlen(ComPathSetting)); }, "64"},
      {"value after the first =", CFG_SEC_MAIL, {"Domain=a=b"}, [] { return std::string(MailSetting.domain); }, "a=b"},
      // wide texts
      {"byte limit never splits a character", CFG_SEC_SYSTEM, {"Install Date=" + std::string(31, 'a') + "\xC3\xA9"},
       [] { return Num(wcslen(WebSysInfoText.installDate)); }, "31"},
      {"a character ending at the byte limit is kept", CFG_SEC_SYSTEM,
       {"Location=" + std::string(62, 'a') + "\xC3\xA9\xC3\xA9"},
       [] { return Utf8(WebSysInfoText.location); }, std::string(62, 'a') + "\xC3\xA9"},
      {"invalid sequence keeps the prefix", CFG_SEC_SYSTEM, {"Name=ab\xFF" "cd"}, [] { return Utf8(WebSysInfoText.name); }, "ab"},
      {"Contactor", CFG_SEC_SYSTEM, {"Contactor=J\xC3\xB6rg"}, [] { return Utf8(WebSysInfoText.contactor); }, "J\xC3\xB6rg"},
      {"account name at most 32 characters", CFG_SEC_WEB, {"User1=" + longText},
       [] { return Num(wcslen(WebAccounts[1].name)); }, "32"},
      {"command file at most 256 characters, enable untouched", CFG_SEC_REACTION, {"Execute Command File=" + longText},
       [] { return Num(wcslen(ReactSetting.commandFile)) + "|" + Num(ReactSetting.commandEnable); }, "256|0"},
      // numbered entries
      {"web accounts count from 0", CFG_SEC_WEB, {"User0=root"}, [] { return Utf8(WebAccounts[0].name); }, "root"},
      {"web account 3 does not exist", CFG_SEC_WEB, {"User3=x", "Password3=x"},
       [] { return Utf8(WebAccounts[0].name) + Utf8(WebAccounts[1].name) + Utf8(WebAccounts[2].name); }, ""},
      {"entry within the count", CFG_SEC_SNMP_TRAP, {"Number=3", "IP3=192.0.2.1"},
       [] { return std::string(SnmpTrapReceivers[2].ip); }, "192.0.2.1"},
      {"entry above the count", CFG_SEC_SNMP_TRAP, {"Number=3", "IP5=192.0.2.1"},
       [] { return std::string(SnmpTrapReceivers[4].ip); }, ""},
      {"entry 0 of a list from 1", CFG_SEC_SNMP_SERVER, {"Number=3", "Community0=x"},
       [] { return std::string(SnmpAgentSetting.access[0].community); }, ""},
      {"huge entry number does not wrap", CFG_SEC_SNMP_TRAP, {"Number=3", "IP4294967297=192.0.2.9"},
       [] { return std::string(SnmpTrapReceivers[0].ip); }, ""},
      {"weekly entry 8 exists", CFG_SEC_WEEKLY, {"Action8=4"}, [] { return Num(SchedWeekly[7].action); }, "4"},
      {"weekly entry 9 does not", CFG_SEC_WEEKLY, {"Action9=4"}, [] { return Num(SchedWeekly[7].action); }, "0"},
      // counts are bounded by their tables
      {"USM Number above 32 keeps the count", CFG_SEC_USM, {"Number=2", "Number=40"},
       [] { return Num(SnmpAgentSetting.userCount); }, "2"},
      {"USM Number of -1 keeps the count", CFG_SEC_USM, {"Number=2", "Number=-1"},
       [] { return Num(SnmpAgentSetting.userCount); }, "2"},
      {"USM user 33 does not exist", CFG_SEC_USM, {"Number=32", "User33=x", "User32=last"},
       [] { return std::string(SnmpAgentSetting.users[31].name); }, "last"},
      {"USM Context Name may be a number above 32", CFG_SEC_USM, {"Context Name=40"},
       [] { return std::string(SnmpAgentSetting.contextName); }, "40"},
      {"SMS Num above 16 keeps the count", CFG_SEC_SMS, {"SMS Num=16", "SMS Num=17"},
       [] { return Num(SmsSetting.phoneCount); }, "16"},
      {"trap Number 256 does not wrap to 0", CFG_SEC_SNMP_TRAP, {"Number=255", "Number=256"},
       [] { return Num(SnmpTrapReceiverCount); }, "255"},
      {"Language above 3 keeps the language", CFG_SEC_CONFIGURATION, {"Language=3", "Language=4"},
       [] { return Num(CfgLanguage); }, "3"},
      // values with their own form
      {"COM Port 0 searches", CFG_SEC_COM, {"COM Port=0"},
       [] { return Num(ComPortSetting) + "|" + Num(ComSlot.port[0]) + "|" + Num(ComSlot.scan[0]); }, "0|0|1"},
      {"COM Port 1 is USB", CFG_SEC_COM, {"COM Port=1"},
       [] { return Num(ComPortSetting) + "|" + Num(ComSlot.port[0]) + "|" + Num(ComSlot.scan[0]); }, "1|0|0"},
      {"COM Port 3 is serial port 2", CFG_SEC_COM, {"COM Port=0", "COM Port=3"},
       [] { return Num(ComPortSetting) + "|" + Num(ComSlot.port[0]) + "|" + Num(ComSlot.scan[0]); }, "3|2|0"},
      {"Version 1 sets the mail port", CFG_SEC_FORMAT, {"Version=1"},
       [] { return Num(CfgVersion) + "|" + Num(MailSetting.port); }, "1|25"},
      {"weekday mask, Sunday and Saturday", CFG_SEC_WEEKLY, {"Weekday2=1000001"},
       [] { return Num(SchedWeekly[1].weekdays); }, "65"},
      {"short weekday text", CFG_SEC_WEEKLY, {"Weekday1=011"}, [] { return Num(SchedWeekly[0].weekdays); }, "6"},
      {"time", CFG_SEC_WEEKLY, {"Time1=7:30"}, [] { return Num(SchedWeekly[0].hour) + ":" + Num(SchedWeekly[0].minute); }, "7:30"},
      {"invalid time keeps the time", CFG_SEC_SPECIFIC, {"Time2=7:30", "Time2=24:00", "Time2=12"},
       [] { return Num(SchedSpecific[1].hour) + ":" + Num(SchedSpecific[1].minute); }, "7:30"},
      {"date", CFG_SEC_SPECIFIC, {"Date16=12/25/2025"},
       [] { return Num(SchedSpecific[15].month) + "/" + Num(SchedSpecific[15].day) + "/" + Num(SchedSpecific[15].year); },
       "12/25/25"},
      {"month 13 keeps the date", CFG_SEC_SPECIFIC, {"Date1=12/25/2025", "Date1=13/1/2026"},
       [] { return Num(SchedSpecific[0].month) + "/" + Num(SchedSpecific[0].day) + "/" + Num(SchedSpecific[0].year); },
       "12/25/25"},
      {"MAC with one-digit groups", CFG_SEC_WOL, {"WOL Num=1", "MAC1=0-1-2-3-a-BC"},
       [] { char t[18]; const uint8_t* m = WolSetting.hosts[0].mac;
            snprintf(t, sizeof t, "%02X-%02X-%02X-%02X-%02X-%02X", m[0], m[1], m[2], m[3], m[4], m[5]); return std::string(t); },
       "00-01-02-03-0A-BC"},
      {"incomplete MAC keeps the address whole", CFG_SEC_WOL, {"WOL Num=1", "MAC1=11-22-33-44-55-66", "MAC1=AA-BB-CC"},
       [] { char t[18]; const uint8_t* m = WolSetting.hosts[0].mac;
            snprintf(t, sizeof t, "%02X-%02X-%02X-%02X-%02X-%02X", m[0], m[1], m[2], m[3], m[4], m[5]); return std::string(t); },
       "11-22-33-44-55-66"},
      // key texts as the file has them, and lines that match nothing
      {"Locak Time", CFG_SEC_WEB, {"Locak Time=15", "Lock Time=20"}, [] { return Num(WebLock.lockMinutes); }, "15"},
      {"line without =", CFG_SEC_WEB, {"HTTP Port 80"}, [] { return Num(HttpdSetting.httpPort); }, "0"},
      // ports: a value that is no port gives the factory port
      {"port", CFG_SEC_WEB, {"HTTP Port=8080"}, [] { return Num(HttpdSetting.httpPort); }, "8080"},
      {"port with blanks and a leading zero", CFG_SEC_WEB, {"HTTPS Port= 08443 "},
       [] { return Num(HttpdSetting.httpsPort); }, "8443"},
      {"port in words", CFG_SEC_WEB, {"HTTP Port=8080", "HTTP Port=eighty"}, [] { return Num(HttpdSetting.httpPort); },
       "80"},
      {"port with text after it", CFG_SEC_WEB, {"HTTPS Port=443x"}, [] { return Num(HttpdSetting.httpsPort); }, "443"},
      {"port above 65535", CFG_SEC_WEB, {"HTTPS Port=65979"}, [] { return Num(HttpdSetting.httpsPort); }, "443"},
      {"listener port 0", CFG_SEC_SNMP_SERVER, {"Listen Port=0"}, [] { return Num(SnmpAgentSetting.listenPort); },
       "161"},
      {"negative mail port", CFG_SEC_MAIL, {"Port=-25"}, [] { return Num(MailSetting.port); }, "25"},
      {"empty trap port", CFG_SEC_SNMP_TRAP, {"Number=1", "Port1="}, [] { return Num(SnmpTrapReceivers[0].port); },
       "162"},
      {"trap port 0 as its page takes it", CFG_SEC_SNMP_TRAP, {"Number=1", "Port1=0", "NCPort1=0"},
       [] { return Num(SnmpTrapReceivers[0].port) + "|" + Num(SnmpTrapReceivers[0].ncPort); }, "0|0"},
      {"client poll port", CFG_SEC_SNMP_TRAP, {"Number=1", "NCPort1=snmp"},
       [] { return Num(SnmpTrapReceivers[0].ncPort); }, "161"},
      {"key of another section", CFG_SEC_WEB, {"Listen Port=99"}, [] { return Num(SnmpAgentSetting.listenPort); }, "0"},
      {"Source IP reads no keys", CFG_SEC_SOURCE_IP, {"Number=3", "IP1=1.2.3.4"},
       [] { return Num(SnmpTrapReceiverCount) + Num(SnmpAgentSetting.accessCount); }, "00"},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.name);
    ClearSettings();
    for (const std::string& line : c.lines) Cfg_ParseLine(c.section, line.c_str());
    EXPECT_EQ(c.got(), c.want);
  }
}

TEST_F(CfgTest, PortsThatAreNoPortAreNotedOnce) {
  WriteConfig("[Format]\nVersion=5\n[Web]\nHTTP Port=eighty\nHTTPS Port=4443\n[SNMP Server]\nListen Port=0\n"
              "[End]\n");
  ASSERT_EQ(Cfg_Load(nullptr), 1);
  ASSERT_EQ(Cfg_Load(nullptr), 1);  // read twice at start: noted once
  EXPECT_EQ(HttpdSetting.httpPort, 80);
  EXPECT_EQ(HttpdSetting.httpsPort, 4443);
  EXPECT_EQ(SnmpAgentSetting.listenPort, 161);
  using Note = std::pair<int, std::string>;
  EXPECT_EQ(g_notes, (std::vector<Note>{{2, "config.ini: \"HTTP Port=eighty\" is no port number; port 80 is used"},
                                        {2, "config.ini: \"Listen Port=0\" is no port number; port 161 is used"}}));
  // Noted before the event log is up, handed over once it is.
  Cfg_SetNoteSink(nullptr);
  g_notes.clear();
  HttpdSetting.httpPort = 0;
  ASSERT_EQ(Cfg_Load(nullptr), 1);
  EXPECT_TRUE(g_notes.empty());
  Cfg_SetNoteSink(KeepNote);
  EXPECT_EQ(g_notes.size(), 2u);
  // The factory port is what the next save writes.
  ASSERT_EQ(Cfg_Save(), 1);
  EXPECT_EQ(LineValue(Config(), "HTTP Port="), "80");
}

// ---- the reader ----------------------------------------------------------------

struct FileCase {
  const char* name;
  std::string file;
  std::function<std::string()> got;
  std::string want;
  std::function<void()> before = nullptr;
};

TEST_F(CfgTest, ReaderFollowsTheFileStructure) {
  const FileCase cases[] = {
      {"CR LF line ends", "[Format]\r\nVersion=5\r\n[Web]\r\nHTTP Port=81\r\nUser0=a\r\n[End]\r\n",
       [] { return Num(HttpdSetting.httpPort) + Utf8(WebAccounts[0].name); }, "81a"},
      // A reader working in 255-character pieces would take the tail of
      // this line as a line of its own and set the port.
      {"a long line is one line", "[Web]\nUser0=" + std::string(249, 'u') + "HTTP Port=1234\n",
       [] { return Num(HttpdSetting.httpPort) + "|" + Num(wcslen(WebAccounts[0].name)); }, "0|32"},
      {"unknown section keeps the current one", "[Web]\n[Bogus]\nHTTP Port=81\n",
       [] { return Num(HttpdSetting.httpPort); }, "81"},
      {"section line without ] is skipped", "[Web]\n[Mail\nHTTP Port=81\n", [] { return Num(HttpdSetting.httpPort); }, "81"},
      {"comment", "[Web]\n;HTTP Port=81\n", [] { return Num(HttpdSetting.httpPort); }, "0"},
      {"nothing after [End]", "[Format]\nVersion=5\n[Web]\nHTTP Port=81\n[End]\nHTTPS Port=9\n",
       [] { return Num(HttpdSetting.httpsPort); }, "0"},
      {"keys start in Format", "Version=5\n", [] { return Num(CfgVersion); }, "5"},
      {"a later mail port wins over Version 1", "[Format]\nVersion=1\n[Mail]\nPort=2525\n",
       [] { return Num(MailSetting.port); }, "2525"},
      {"absent keys keep their values", "[Format]\nVersion=5\n[Web]\nHTTP Port=81\n",
       [] { return Num(HttpdSetting.httpsPort) + "|" + std::string(MailSetting.server); }, "444|keep",
       [] {
         HttpdSetting.httpsPort = 444;
         snprintf(MailSetting.server, sizeof MailSetting.server, "keep");
       }},
  };
  for (const FileCase& c : cases) {
    SCOPED_TRACE(c.name);
    ClearSettings();
    CfgVersion = 5;
    if (c.before) c.before();
    WriteConfig(c.file);
    EXPECT_EQ(Cfg_Load(nullptr), 1);
    EXPECT_EQ(c.got(), c.want);
  }
}

TEST_F(CfgTest, WrittenValuesNeverBreakTheirLine) {
  struct Case {
    const char* name;
    std::function<void()> set;
    std::string key;
    std::string want;
  } cases[] = {
      {"narrow text", [] { snprintf(MailSetting.server, 65, "smtp\n[Web]\nHTTP Port=1"); }, "Server=", "smtp"},
      {"wide text", [] { swprintf(WebSysInfoText.location, 65, L"hall\r\nHTTP Port=1"); }, "Location=", "hall"},
      {"password as text", [] { snprintf(MailSetting.password, 65, "pw\nHTTP Port=1"); }, "Password=", "pw"},
      {"unencodable wide character keeps the prefix", [] { WebSysInfoText.name[0] = L'a';
         WebSysInfoText.name[1] = static_cast<wchar_t>(0xD800); WebSysInfoText.name[2] = L'b'; }, "Name=", "a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearSettings();
    CfgVersion = 5;
    HttpdSetting.httpPort = 8080;
    c.set();
    ASSERT_EQ(Cfg_Save(), 1);
    std::string text = Config();
    EXPECT_EQ(LineValue(text, c.key), c.want);
    EXPECT_EQ(LineValue(text, "HTTP Port="), "8080");
    ClearSettings();
    CfgVersion = 5;
    Cfg_Load(nullptr);
    EXPECT_EQ(HttpdSetting.httpPort, 8080);
  }
}

// ---- passwords -------------------------------------------------------------------

TEST_F(CfgTest, PasswordsInEveryEncodingAndLength) {
  ASSERT_EQ(Radix64({'a', 'b', 'c'}), "V7qM");  // the test's own encoder
  const std::string source = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  const char* names[] = {"No", "Yes", "Advanced"};
  for (uint8_t enc : {CFG_PW_NO, CFG_PW_YES, CFG_PW_ADVANCED}) {
    for (size_t len : {0, 1, 15, 16, 17, 32, 48}) {
      SCOPED_TRACE(std::string(names[enc]) + " length " + std::to_string(len));
      const std::string pw = source.substr(0, len);
      const std::string stored = ExpectedStored(enc, pw);

      // Writer: each section's passwords under its own encoding.
      ClearSettings();
      CfgVersion = 5;
      MailSetting.passwordEncrypt = enc;
      snprintf(MailSetting.password, 65, "%s", pw.c_str());
      WebPasswordEncrypt = enc;
      Cfg_TextToWide(WebAccounts[1].password, 33, pw.c_str(), SIZE_MAX);
      SnmpAgentSetting.passwordEncrypt = enc;
      SnmpAgentSetting.userCount = 1;
      snprintf(SnmpAgentSetting.users[0].privPassword, 17, "%s", pw.c_str());
      ASSERT_EQ(Cfg_Save(), 1);
      std::string text = Config();
      EXPECT_EQ(LineValue(text, "Password Encrypt=", text.find("[Mail]")), names[enc]);
      EXPECT_EQ(LineValue(text, "Password=", text.find("[Mail]")), stored);
      EXPECT_EQ(LineValue(text, "Password1="), ExpectedStored(enc, pw.substr(0, 32)));
      EXPECT_EQ(LineValue(text, "Priv1="), ExpectedStored(enc, pw.substr(0, 16)));

      // Reader: the same stored text gives each field its cut password.
      ClearSettings();
      std::string e = names[enc];
      WriteConfig("[Format]\nVersion=5\n[Web]\nPassword Encrypt=" + e + "\nPassword2=" + stored +
                  "\n[USM]\nPassword Encrypt=" + e + "\nNumber=1\nAuth1=" + stored + "\n[Mail]\nPassword Encrypt=" +
                  e + "\nPassword=" + stored + "\n[End]\n");
      ASSERT_EQ(Cfg_Load(nullptr), 1);
      EXPECT_EQ(std::string(MailSetting.password), pw);
      EXPECT_EQ(Utf8(WebAccounts[2].password), pw.substr(0, 32));
      EXPECT_EQ(std::string(SnmpAgentSetting.users[0].authPassword), pw.substr(0, 16));
    }
  }
}

TEST_F(CfgTest, MultibyteWebPasswordInEveryEncoding) {
  const std::string pw = "p\xC3\xA4sswort\xE2\x82\xAC";  // UTF-8, 12 bytes, 9 characters
  for (uint8_t enc : {CFG_PW_NO, CFG_PW_YES, CFG_PW_ADVANCED}) {
    SCOPED_TRACE(static_cast<int>(enc));
    ClearSettings();
    CfgVersion = 5;
    WebPasswordEncrypt = enc;
    Cfg_TextToWide(WebAccounts[0].password, 33, pw.c_str(), SIZE_MAX);
    ASSERT_EQ(wcslen(WebAccounts[0].password), 9u);
    ASSERT_EQ(Cfg_Save(), 1);
    EXPECT_EQ(LineValue(Config(), "Password0="), ExpectedStored(enc, pw));
    ClearSettings();
    ASSERT_EQ(Cfg_Load(nullptr), 1);
    EXPECT_EQ(Utf8(WebAccounts[0].password), pw);
  }
}

TEST_F(CfgTest, StoredPasswordTextsThatAreOdd) {
  std::vector<uint8_t> twoBlocks(32, 0);
  twoBlocks[0] = 'a';
  twoBlocks[1] = 'b';
  std::string padBits = ExpectedStored(CFG_PW_ADVANCED, "abc");
  padBits.back() = '/';  // the zero bytes that complete the last group are no longer zero
  struct Case {
    const char* name;
    uint8_t enc;
    std::string stored;
    std::string want;
  } cases[] = {
      {"Yes drops one trailing line end", CFG_PW_YES, ExpectedStored(CFG_PW_YES, "secret\n"), "secret"},
      {"Yes drops only one", CFG_PW_YES, ExpectedStored(CFG_PW_YES, "secret\r\r"), "secret\r"},
      {"long text is decoded whole and cut", CFG_PW_YES, ExpectedStored(CFG_PW_YES, std::string(3000, 'k')),
       std::string(64, 'k')},
      {"the empty password stays empty", CFG_PW_ADVANCED, "", ""},
      // Texts the store does not write are passwords written in clear: never empty.
      {"length not a multiple of 4", CFG_PW_YES, "abcde", "abcde"},
      {"character outside the alphabet", CFG_PW_ADVANCED, "ab=d", "ab=d"},
      {"clear text under Advanced", CFG_PW_ADVANCED, "secret12", "secret12"},
      {"clear text under Yes that decodes to no text", CFG_PW_YES, "secret12", "secret12"},
      {"clear text of 64 characters", CFG_PW_ADVANCED, std::string(64, 'k'), std::string(64, 'k')},
      {"a zero byte inside the text", CFG_PW_ADVANCED, ExpectedStored(CFG_PW_ADVANCED, std::string("ab\0cd", 5)),
       ExpectedStored(CFG_PW_ADVANCED, std::string("ab\0cd", 5))},
      {"one block more than the text needs", CFG_PW_ADVANCED, Radix64(AesBlocks(twoBlocks)),
       Radix64(AesBlocks(twoBlocks))},
      {"group completed with other bits than zero", CFG_PW_ADVANCED, padBits, padBits},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearSettings();
    MailSetting.passwordEncrypt = c.enc;
    Cfg_ParseLine(CFG_SEC_MAIL, ("Password=" + c.stored).c_str());
    EXPECT_EQ(std::string(MailSetting.password), c.want.substr(0, 64));
  }
}

TEST_F(CfgTest, PasswordsWrittenInClearAreTakenAndSavedEncoded) {
  // What an operator writes into config.ini to reset forgotten passwords.
  WriteConfig("[Format]\nVersion=5\n[Web]\nPassword Encrypt=Advanced\nPassword0=opensesame\n"
              "Password1=p\xC3\xA4sswort\n[USM]\nPassword Encrypt=Advanced\nNumber=1\nUser1=manager\n"
              "Security1=2\nAuth1=newauthpass\nPriv1=newprivpass\nPermission1=2\n"
              "[Mail]\nPassword Encrypt=Yes\nPassword=mail pass\n[End]\n");
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "written in clear" : "as saved");
    ClearSettings();
    ASSERT_EQ(Cfg_Load(nullptr), 1);
    EXPECT_EQ(Utf8(WebAccounts[0].password), "opensesame");
    EXPECT_EQ(Utf8(WebAccounts[1].password), "p\xC3\xA4sswort");
    EXPECT_STREQ(SnmpAgentSetting.users[0].authPassword, "newauthpass");
    EXPECT_STREQ(SnmpAgentSetting.users[0].privPassword, "newprivpass");
    EXPECT_STREQ(MailSetting.password, "mail pass");
    ASSERT_EQ(Cfg_Save(), 1);
    const std::string text = Config();
    EXPECT_EQ(LineValue(text, "Password0="), ExpectedStored(CFG_PW_ADVANCED, "opensesame"));
    EXPECT_EQ(LineValue(text, "Password1="), ExpectedStored(CFG_PW_ADVANCED, "p\xC3\xA4sswort"));
    EXPECT_EQ(LineValue(text, "Auth1="), ExpectedStored(CFG_PW_ADVANCED, "newauthpass"));
    EXPECT_EQ(LineValue(text, "Priv1="), ExpectedStored(CFG_PW_ADVANCED, "newprivpass"));
    EXPECT_EQ(LineValue(text, "Password=", text.find("[Mail]")), ExpectedStored(CFG_PW_YES, "mail pass"));
  }
}

// ---- migrations --------------------------------------------------------------------

TEST_F(CfgTest, OlderFilesAreMigratedAndRewritten) {
  const std::string webPw = ExpectedStored(CFG_PW_YES, "webpass");
  struct Case {
    const char* version;  // the Version line, or none
    const char* webEnc;
    const char* mailEnc;
    int wantWeb, wantMail, wantUsm;
    bool wantLock;  // lock settings set to Enable, 5, 10
    bool rewritten;
  } cases[] = {
      {"", "No", "No", 2, 2, 2, true, true},
      {"Version=1\n", "Yes", "Yes", 2, 2, 2, true, true},
      {"Version=2\n", "Yes", "No", 2, 2, 2, true, true},
      {"Version=3\n", "Yes", "No", 1, 2, 2, true, true},
      {"Version=4\n", "No", "No", 0, 0, 2, false, true},
      {"Version=5\n", "Yes", "No", 1, 0, 0, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(*c.version ? c.version : "no Version line");
    ClearSettings();
    std::string web = c.webEnc;
    std::string webStored = web == "Yes" ? webPw : "webpass";
    std::string mailStored = std::string(c.mailEnc) == "Yes" ? ExpectedStored(CFG_PW_YES, "mailpass") : "mailpass";
    std::string file = ";old file\n[Format]\n" + std::string(c.version) +
                       "[Web]\nPassword Encrypt=" + web + "\nPassword0=" + webStored +
                       "\nEnable Login Lock=Disable\nLogin Retry=2\nLocak Time=3\n"
                       "[USM]\nPassword Encrypt=No\nNumber=1\nAuth1=usmpass\n"
                       "[Mail]\nPassword Encrypt=" + c.mailEnc + "\nPassword=" + mailStored + "\n[End]\n";
    WriteConfig(file);
    ASSERT_EQ(Cfg_Load(nullptr), 1);
    EXPECT_EQ(WebPasswordEncrypt, c.wantWeb);
    EXPECT_EQ(MailSetting.passwordEncrypt, c.wantMail);
    EXPECT_EQ(SnmpAgentSetting.passwordEncrypt, c.wantUsm);
    EXPECT_EQ(WebLock.enable == 1 && WebLock.retryLimit == 5 && WebLock.lockMinutes == 10, c.wantLock);
    if (!c.wantLock) {
      EXPECT_EQ(WebLock.retryLimit, 2);
    }
    std::string after = Config();
    if (!c.rewritten) {
      EXPECT_EQ(after, file);
      continue;
    }
    // Rewritten as version 5 with the passwords in their new encodings,
    // which read back as the same passwords.
    EXPECT_EQ(LineValue(after, "Version="), "5");
    EXPECT_EQ(LineValue(after, "Password0="), ExpectedStored(static_cast<uint8_t>(c.wantWeb), "webpass"));
    EXPECT_EQ(LineValue(after, "Auth1="), ExpectedStored(CFG_PW_ADVANCED, "usmpass"));
    ClearSettings();
    ASSERT_EQ(Cfg_Load(nullptr), 1);
    EXPECT_EQ(Config(), after);  // no second migration
    EXPECT_EQ(Utf8(WebAccounts[0].password), "webpass");
    EXPECT_STREQ(SnmpAgentSetting.users[0].authPassword, "usmpass");
    EXPECT_STREQ(MailSetting.password, "mailpass");
  }
}

TEST_F(CfgTest, EndInTheMiddleStillMigrates) {
  WriteConfig("[Format]\nVersion=3\n[End]\n[Web]\nHTTP Port=81\n");
  ASSERT_EQ(Cfg_Load(nullptr), 1);
  EXPECT_EQ(HttpdSetting.httpPort, 0);
  EXPECT_EQ(MailSetting.passwordEncrypt, CFG_PW_ADVANCED);
  EXPECT_EQ(LineValue(Config(), "Version="), "5");
}

// ---- failures --------------------------------------------------------------------

// config.ini that exists and cannot be read, three ways.
struct UnreadableCase {
  const char* name;
  std::function<void(const std::string& path)> make;
  std::function<bool(const std::string& path)> unchanged;
  bool exhaustDescriptors;
  const char* reason;
};

std::vector<UnreadableCase> UnreadableCases() {
  namespace fs = std::filesystem;
  return {
      {"link loop", [](const std::string& p) { ASSERT_EQ(symlink(p.c_str(), p.c_str()), 0); },
       [](const std::string& p) { return fs::is_symlink(p) && fs::read_symlink(p) == p; }, false,
       "Too many levels of symbolic links"},
      {"a directory, unreadable as a file", [](const std::string& p) { ASSERT_EQ(mkdir(p.c_str(), 0700), 0); },
       [](const std::string& p) { return fs::is_directory(p) && fs::is_empty(p); }, false, "Is a directory"},
      {"no descriptors left", [](const std::string& p) { Scratch_WriteFile(p, "[Web]\nHTTP Port=1\n"); },
       [](const std::string& p) { return Scratch_ReadFile(p) == "[Web]\nHTTP Port=1\n"; }, true,
       "Too many open files"},
  };
}

// Cfg_Load (or the reload at a lost link) with every descriptor taken when
// the case asks for it.
int LoadUnreadable(const UnreadableCase& c, int (*load)() = [] { return Cfg_Load(nullptr); }) {
  if (!c.exhaustDescriptors) return load();
  struct rlimit old;
  EXPECT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  struct rlimit low = old;
  low.rlim_cur = 64;
  EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> fds;
  for (int fd; (fd = dup(0)) >= 0;) fds.push_back(fd);
  int openErrno = errno;
  int loaded = load();
  for (int fd : fds) close(fd);
  setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ(openErrno, EMFILE);
  return loaded;
}

TEST_F(CfgTest, AReloadThatCannotReadKeepsTheSettingsAndWritesNothing) {
  namespace fs = std::filesystem;
  // Read at start, or kept at start because it could not be read then (the
  // service runs on the factory defaults and what an operator changed since).
  for (CfgFileState atStart : {CFG_FILE_READ, CFG_FILE_KEPT}) {
    for (const UnreadableCase& c : UnreadableCases()) {
      SCOPED_TRACE(std::string(c.name) + (atStart == CFG_FILE_READ ? ", read at start" : ", kept at start"));
      ClearSettings();
      CfgFile = atStart;
      fs::remove_all(Path("config.ini"));
      c.make(Path("config.ini"));
      HttpdSetting.httpPort = 8080;
      ReactSetting.delay[REACT_POWER_FAIL] = 45;
      swprintf(WebAccounts[0].password, 33, L"mine");
      SnmpAgentSetting.userCount = 1;
      snprintf(SnmpAgentSetting.users[0].name, sizeof SnmpAgentSetting.users[0].name, "ops");
      memset(SnmpAgentSetting.users[0].authKey, 0x5A, 16);
      EXPECT_EQ(LoadUnreadable(c, Cfg_Reload), 0);
      EXPECT_EQ(HttpdSetting.httpPort, 8080);
      EXPECT_EQ(ReactSetting.delay[REACT_POWER_FAIL], 45);
      EXPECT_EQ(Utf8(WebAccounts[0].password), "mine");
      EXPECT_STREQ(SnmpAgentSetting.users[0].name, "ops");
      EXPECT_EQ(SnmpAgentSetting.users[0].authKey[15], 0x5A);
      EXPECT_EQ(CfgFile, atStart);
      EXPECT_FALSE(fs::exists(fs::symlink_status(Path("config.ini.tmp"))));
      EXPECT_TRUE(c.unchanged(Path("config.ini")));
    }
  }
  EXPECT_TRUE(g_notes.empty());
}

TEST_F(CfgTest, AFileMissingAtAReloadIsWrittenFromTheSettingsInUse) {
  for (CfgFileState atStart : {CFG_FILE_READ, CFG_FILE_KEPT}) {
    SCOPED_TRACE(atStart == CFG_FILE_READ ? "read at start" : "kept at start");
    ClearSettings();
    Cfg_SetDefaults();
    CfgFile = atStart;
    std::filesystem::remove_all(Path("config.ini"));
    HttpdSetting.httpPort = 8080;
    ReactSetting.delay[REACT_POWER_FAIL] = 45;
    swprintf(WebAccounts[0].password, 33, L"mine");
    snprintf(SnmpAgentSetting.users[0].authPassword, 17, "ownauth1");
    snprintf(UpsRecord.battLastDate, sizeof UpsRecord.battLastDate, "20240115");
    EXPECT_EQ(Cfg_Reload(), 0);
    const std::string text = Config();
    EXPECT_EQ(LineValue(text, "HTTP Port="), "8080");
    EXPECT_EQ(LineValue(text, "Power Fail Delay="), "45");
    EXPECT_EQ(LineValue(text, "Password0="), ExpectedStored(CFG_PW_ADVANCED, "mine"));
    EXPECT_EQ(LineValue(text, "Auth1="), ExpectedStored(CFG_PW_ADVANCED, "ownauth1"));
    EXPECT_EQ(LineValue(text, "Last Battery Replace="), "20240115");
    // The settings in memory stay as they were.
    EXPECT_EQ(ReactSetting.delay[REACT_POWER_FAIL], 45);
    EXPECT_STREQ(SnmpAgentSetting.users[0].authPassword, "ownauth1");
    EXPECT_EQ(CfgFile, CFG_FILE_READ);
  }
}

// The [UPS] settings through the reset after a lost link: the record is
// cleared and config.ini read again; what it holds replaces the settings
// in use, which stay when it cannot be read.
TEST_F(CfgTest, TheResetAtALostLinkKeepsTheUpsSettingsWhenTheFileIsNotRead) {
  namespace fs = std::filesystem;
  struct Case {
    const char* name;
    std::function<void()> make;
    const char* lastDate;  // after the reset, in memory
    const char* fileDate;  // in config.ini afterwards ("" when there is none)
    int level;             // "Battery Low Level=" after the reset
  } cases[] = {
      {"read: the file's dates and level",
       [&] { WriteConfig("[Format]\nVersion=5\n[UPS]\nLast Battery Replace=20230301\nBattery Low Level=70\n"); },
       "20230301", "20230301", 70},
      {"unreadable: the settings in use", [&] { ASSERT_EQ(mkdir(Path("config.ini").c_str(), 0700), 0); }, "20240115",
       "", 40},
      {"missing: the settings in use, written back", [] {}, "20240115", "20240115", 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearSettings();
    Cfg_SetDefaults();
    CfgFile = CFG_FILE_READ;
    fs::remove_all(Path("config.ini"));
    c.make();
    snprintf(UpsRecord.battLastDate, sizeof UpsRecord.battLastDate, "20240115");
    snprintf(UpsRecord.battNextDate, sizeof UpsRecord.battNextDate, "20270115");
    UpsRecord.lowBattLevel = 40;
    UpsRecord.pfOutletDelay[0] = 9;
    snprintf(UpsRecord.model, sizeof UpsRecord.model, "SIMUPS");
    UpsData_Reset(1);
    EXPECT_STREQ(UpsRecord.battLastDate, c.lastDate);
    EXPECT_STREQ(UpsRecord.battNextDate, "20270115");
    // A key the file lacks keeps its value; what the UPS said is gone.
    EXPECT_EQ(UpsRecord.lowBattLevel, c.level);
    EXPECT_EQ(UpsRecord.pfOutletDelay[0], 9);
    EXPECT_STREQ(UpsRecord.model, "");
    if (c.fileDate[0]) {
      EXPECT_EQ(LineValue(Config(), "Last Battery Replace="), c.fileDate);
    }
    if (std::string(c.name).rfind("missing", 0) == 0) {
      EXPECT_EQ(LineValue(Config(), "Battery Low Level="), "40");
      EXPECT_EQ(LineValue(Config(), "Next Battery Replace="), "20270115");
    }
  }
}

// The agent's users: keys localised at the agent's init, and again by any
// load that changes a user's passwords or level.
TEST_F(CfgTest, ALoadThatChangesTheUsersLocalisesTheirKeysAgain) {
  NetInterfaceCount = 0;
  const std::string head = "[Format]\nVersion=5\n[USM]\nPassword Encrypt=No\nNumber=1\nUser1=ops\n";
  WriteConfig(head + "Security1=2\nAuth1=firstauth1\nPriv1=firstpriv1\nPermission1=2\n[End]\n");
  ASSERT_EQ(Cfg_Load(nullptr), 1);
  SnmpAgent_Init([](SnmpVarbind*, uint8_t) -> int32_t { return SNMP_ERR_NO_SUCH_NAME; });
  auto key = [](const char* password) {
    std::vector<uint8_t> k(16);
    Md5Context md5;
    CryptOps.Usm_PasswordToKeyMd5(&md5, k.data(), reinterpret_cast<const uint8_t*>(password),
                                  static_cast<uint8_t>(strlen(password)), SnmpEngineState.id,
                                  SNMP_ENGINE_ID_LENGTH);
    return k;
  };
  auto keys = [](int user) {
    const UsmUser& u = SnmpAgentSetting.users[user];
    return std::make_pair(std::vector<uint8_t>(u.authKey, u.authKey + 16),
                          std::vector<uint8_t>(u.privKey, u.privKey + 16));
  };
  ASSERT_EQ(keys(0), std::make_pair(key("firstauth1"), key("firstpriv1")));
  struct Step {
    const char* name;
    std::string text;  // the user's lines
    bool import;       // an uploaded file, else the reload of config.ini
    const char* auth;
    const char* priv;
  } steps[] = {
      {"new passwords, reloaded", "Security1=2\nAuth1=secondauth1\nPriv1=secondpriv1\nPermission1=2\n", false,
       "secondauth1", "secondpriv1"},
      {"new privacy password, imported", "Security1=2\nAuth1=secondauth1\nPriv1=thirdpriv1\nPermission1=2\n",
       true, "secondauth1", "thirdpriv1"},
      {"a second user, reloaded",
       "Security1=2\nAuth1=secondauth1\nPriv1=thirdpriv1\nPermission1=2\nUser2=two\nSecurity2=2\n"
       "Auth2=twoauth12\nPriv2=twopriv12\nPermission2=2\n",
       false, "secondauth1", "thirdpriv1"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    std::string text = head + step.text + "[End]\n";
    if (std::string(step.name).find("second user") != std::string::npos)
      text.replace(text.find("Number=1"), 8, "Number=2");
    if (step.import) {
      EXPECT_EQ(Cfg_ImportUpload(text.data(), text.size()), 1);
    } else {
      WriteConfig(text);
      EXPECT_EQ(Cfg_Reload(), 1);
    }
    EXPECT_EQ(keys(0), std::make_pair(key(step.auth), key(step.priv)));
  }
  EXPECT_EQ(keys(1), std::make_pair(key("twoauth12"), key("twopriv12")));
  SnmpAgentOps = SnmpAgentOpsTable{};
}

TEST_F(CfgTest, UnreadableAtStartRunsOnTheDefaultsAndKeepsTheFile) {
  namespace fs = std::filesystem;
  for (const UnreadableCase& c : UnreadableCases()) {
    SCOPED_TRACE(c.name);
    ClearSettings();
    g_notes.clear();
    Cfg_SetNoteSink(KeepNote);
    fs::remove_all(Path("config.ini"));
    c.make(Path("config.ini"));
    char reason[512] = "";
    if (!c.exhaustDescriptors) {
      EXPECT_EQ(Cfg_Probe(reason, sizeof reason), 0);
    }
    // Both reads at start fail; the service runs on the factory defaults.
    EXPECT_EQ(LoadUnreadable(c), 0);
    MailSetting = MailSettings{};  // what the inits between the two reads clear
    EXPECT_EQ(LoadUnreadable(c), 0);
    EXPECT_EQ(CfgFile, CFG_FILE_KEPT);
    EXPECT_EQ(ReactSetting.enable[REACT_POWER_FAIL], 1);
    EXPECT_EQ(ReactSetting.delay[REACT_POWER_FAIL], 300);
    EXPECT_EQ(HttpdSetting.httpPort, 80);
    EXPECT_EQ(Utf8(WebAccounts[0].name), "admin");
    EXPECT_EQ(MailSetting.passwordEncrypt, CFG_PW_ADVANCED);
    const std::string want = "Cannot read " + Path("config.ini") + ": " + c.reason +
                             "; running on the factory defaults, the file is left as it is until a setting is "
                             "changed";
    EXPECT_EQ(g_notes, (std::vector<std::pair<int, std::string>>{{3, want}}));
    if (!c.exhaustDescriptors) {
      EXPECT_EQ(std::string(reason), want);
    }
    // The service's own rewrites leave the file as it is.
    EXPECT_EQ(Cfg_Rewrite(), 0);
    EXPECT_TRUE(c.unchanged(Path("config.ini")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(Path("config.ini.tmp"))));
    // A setting an operator changes is saved where the file can be replaced.
    HttpdSetting.httpPort = 8080;
    const bool replaced = Cfg_Save() == 1;
    EXPECT_EQ(replaced, !fs::is_directory(Path("config.ini")));
    if (replaced) {
      EXPECT_EQ(CfgFile, CFG_FILE_READ);
      EXPECT_EQ(LineValue(Config(), "HTTP Port="), "8080");
      EXPECT_EQ(LineValue(Config(), "Power Fail Enable="), "Yes");
      EXPECT_EQ(Cfg_Rewrite(), 1);
    } else {
      EXPECT_TRUE(c.unchanged(Path("config.ini")));
    }
  }
  // A file that reads, and one that does not exist, pass the probe.
  char reason[512];
  fs::remove_all(Path("config.ini"));
  EXPECT_EQ(Cfg_Probe(reason, sizeof reason), 1);
  Scratch_WriteFile(Path("config.ini"), "[End]\n");
  EXPECT_EQ(Cfg_Probe(reason, sizeof reason), 1);
}

TEST_F(CfgTest, SaveKilledMidwayLeavesThePreviousFile) {
  Cfg_SetDefaults();
  ASSERT_EQ(Cfg_Save(), 1);
  const std::string before = Config();
  HttpdSetting.httpPort = 8080;

  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child stops inside the writer, at the first web password.
    static int signalFd;
    signalFd = pipefd[1];
    CryptOps.Aes_EncryptBlock = [](uint8_t*, const uint8_t*) {
      char c = 1;
      (void)!write(signalFd, &c, 1);
      for (;;) pause();
    };
    Cfg_Save();
    _exit(3);
  }
  close(pipefd[1]);
  char c = 0;
  ASSERT_EQ(read(pipefd[0], &c, 1), 1);
  close(pipefd[0]);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));

  EXPECT_EQ(Config(), before);
  // The next save replaces the file whole.
  ASSERT_EQ(Cfg_Save(), 1);
  EXPECT_EQ(LineValue(Config(), "HTTP Port="), "8080");
  EXPECT_FALSE(std::filesystem::exists(Path("config.ini.tmp")));
}

// ---- import ------------------------------------------------------------------------

TEST_F(CfgTest, ImportNeedsAnEndLine) {
  struct Case {
    const char* name;
    std::string upload;
    int imported;
  } cases[] = {
      {"[End] without a line end", "[Web]\nHTTP Port=8080\n[End]", 1},
      {"[End] with CR LF and more after it", "[Web]\r\nHTTP Port=8080\r\n[End]\r\nHTTPS Port=1\r\n", 1},
      {"no [End]", "[Web]\nHTTP Port=8080\n", 0},
      {"[End] inside a line only", "[Web]\nHTTP Port=8080\nUser0=x[End]\n", 0},
      // Read in short pieces, the tail of this long line would begin with
      // [End]; read whole, the line does not.
      {"[End] deep inside a long line", "[Web]\nHTTP Port=8080\nUser0=" + std::string(121, 'x') + "[End]\n", 0},
      {"empty upload", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearSettings();
    Cfg_SetDefaults();
    ASSERT_EQ(Cfg_Save(), 1);
    CfgVersion = 5;
    const std::string before = Config();
    HttpdSetting.httpsPort = 4443;  // in memory only: kept by an import
    EXPECT_EQ(Cfg_ImportUpload(c.upload.data(), c.upload.size()), c.imported);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(TmpPath("config_tmp.ini"))));
    EXPECT_EQ(HttpdSetting.httpsPort, 4443);
    if (c.imported) {
      EXPECT_EQ(HttpdSetting.httpPort, 8080);
      EXPECT_EQ(LineValue(Config(), "HTTP Port="), "8080");
      EXPECT_EQ(LineValue(Config(), "HTTPS Port="), "4443");
      EXPECT_EQ(Utf8(WebAccounts[0].name), "admin");
    } else {
      EXPECT_EQ(HttpdSetting.httpPort, 80);
      EXPECT_EQ(Config(), before);
    }
  }
}

TEST_F(CfgTest, ImportThatCannotBeSavedSaysSo) {
  Cfg_SetDefaults();
  ASSERT_EQ(Cfg_Save(), 1);
  CfgVersion = 5;
  const std::string before = Config();
  // The temporary file of the save cannot be made.
  ASSERT_EQ(mkdir(Path("config.ini.tmp").c_str(), 0700), 0);
  const std::string upload = "[Format]\nVersion=5\n[Web]\nHTTP Port=8080\n[End]\n";
  EXPECT_EQ(Cfg_ImportUpload(upload.data(), upload.size()), -1);
  EXPECT_EQ(HttpdSetting.httpPort, 8080);  // taken in memory
  EXPECT_EQ(Config(), before);
  rmdir(Path("config.ini.tmp").c_str());
  EXPECT_EQ(Cfg_ImportUpload(upload.data(), upload.size()), 1);
  EXPECT_EQ(LineValue(Config(), "HTTP Port="), "8080");
}

TEST_F(CfgTest, ImportDoesNotFollowALinkAtTheTemporaryName) {
  const std::string victim = TmpPath("victim");
  Scratch_WriteFile(victim, "precious\n");
  ASSERT_EQ(symlink(victim.c_str(), TmpPath("config_tmp.ini").c_str()), 0);
  CfgVersion = 5;
  const std::string upload = "[Web]\nHTTP Port=8080\n[End]\n";
  EXPECT_EQ(Cfg_ImportUpload(upload.data(), upload.size()), 1);
  EXPECT_EQ(HttpdSetting.httpPort, 8080);
  EXPECT_EQ(Scratch_ReadFile(victim), "precious\n");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(TmpPath("config_tmp.ini"))));
}

TEST_F(CfgTest, ImportedOldFileIsMigrated) {
  CfgVersion = 5;
  MailSetting.passwordEncrypt = CFG_PW_NO;
  const std::string upload = "[Format]\nVersion=3\n[Mail]\nPassword Encrypt=No\nPassword=m\n[End]\n";
  EXPECT_EQ(Cfg_ImportUpload(upload.data(), upload.size()), 1);
  EXPECT_EQ(MailSetting.passwordEncrypt, CFG_PW_ADVANCED);
  EXPECT_EQ(LineValue(Config(), "Password=", Config().find("[Mail]")), ExpectedStored(CFG_PW_ADVANCED, "m"));
}

}  // namespace
