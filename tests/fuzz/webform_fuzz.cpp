// Fuzzes the reaction, schedule, COM port, configuration batch, debug,
// SNMP, history, event level and Wake-on-LAN forms with arbitrary posted
// bodies. The first byte picks the form and the
// body kind (urlencoded, or multipart with the boundary on the input's first
// line); the form token is taken as checked. Each run starts from the same
// settings. The reply must stay terminated with a matching length; a form
// that does not answer "Updated successfully." must have changed nothing;
// what a form stores must be a value its setting means: schedule times and
// dates that exist, actions 0 to 4, a device path and a command line
// without markup or control characters. The SNMP list forms keep their
// lists dense and free of duplicates, never change the first SNMPv3 user,
// and leave no user without the passwords its security level needs; the
// history viewers keep range modes 0 to 3 and dates a month and day can
// be, and an export directory ending in '/' without markup.
// Event levels stay 0 to 3, host titles without markup, flags 0 or 1,
// no two hosts with one MAC address and no countdown left behind the
// host list.
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

#include "core/cfg.h"
#include "core/crypt.h"
#include "core/helpers.h"
#include "core/svc.h"
#include "events/dlog.h"
#include "events/evtlog.h"
#include "events/evtdef.h"
#include "events/react.h"
#include "events/sched.h"
#include "events/wol.h"
#include "snmp/snmpagent.h"
#include "snmp/snmptrap.h"
#include "ups/com.h"
#include "web/httpd.h"
#include "web/webbatch.h"
#include "web/webhist.h"
#include "web/webevent.h"
#include "web/webreact.h"
#include "web/websnmp.h"
#include "web/websess.h"
#include "web/websys.h"
#include "fuzz_support.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

struct Form {
  const char* name;
  void (*page)(HttpConn*);
};
const Form kForms[] = {
    {"mgnt_reaction", WebReact_ReactionPage}, {"mgnt_wschedule", WebReact_WeeklyPage},
    {"mgnt_sschedule", WebReact_SpecificPage}, {"mgnt_comport", WebReact_ComPortPage},
    {"sys_batch", WebBatch_SysBatchPage},      {"debug", WebBatch_DebugPage},
    {"dev_snmpv1", WebSnmp_PortPage},          {"dev_iaccess", WebSnmp_AccessPage},
    {"dev_snmpv3", WebSnmp_ContextPage},       {"dev_iusm", WebSnmp_UsmPage},
    {"trap_iconfig", WebSnmp_TrapPage},
    {"hist_log", WebHist_LogPage},             {"hist_data", WebHist_DataPage},
    {"hist_config", WebHist_ConfigPage},
    {"event_iconfig", WebEvent_LevelPage},     {"wol_iconfig", WebEvent_WolPage},
};
constexpr int kFormCount = sizeof kForms / sizeof kForms[0];

// The settings the forms change.
struct Snapshot {
  ReactSettings react;
  uint8_t prevTrigger, trigger;
  SchedWeeklyEntry weekly[SCHED_WEEKLY_COUNT];
  SchedSpecificEntry specific[SCHED_SPECIFIC_COUNT];
  uint8_t comPort;
  char comPath[sizeof ComPathSetting];
  uint8_t slotPort, slotScan;
  int32_t manageable;
  uint8_t userPermission;
  SnmpAgentSettings agent;
  uint8_t trapCount;
  TrapReceiver traps[TRAP_RECEIVERS];
  uint16_t maxStorage;
  uint8_t exportPeriod, exportCountdown;
  wchar_t exportPath[DLOG_PATH_CHARS + 1];
  uint8_t levels[EVT_UPS_COUNT];
  WolSettings wol;
  int32_t countdown[WOL_HOSTS];
};

void Take(Snapshot* s) {
  memcpy(&s->react, &ReactSetting, sizeof s->react);
  s->prevTrigger = ReactCountdown.prevTrigger[REACT_SCHEDULE];
  s->trigger = ReactCountdown.trigger[REACT_SCHEDULE];
  memcpy(s->weekly, SchedWeekly, sizeof s->weekly);
  memcpy(s->specific, SchedSpecific, sizeof s->specific);
  s->comPort = ComPortSetting;
  memcpy(s->comPath, ComPathSetting, sizeof s->comPath);
  s->slotPort = ComSlot.port[0];
  s->slotScan = ComSlot.scan[0];
  s->manageable = WebSysManageable;
  s->userPermission = SnmpAgentSetting.users[0].permission;
  memcpy(&s->agent, &SnmpAgentSetting, sizeof s->agent);
  s->trapCount = SnmpTrapReceiverCount;
  memcpy(s->traps, SnmpTrapReceivers, sizeof s->traps);
  s->maxStorage = DLogSetting.maxStorage;
  s->exportPeriod = DLogSetting.exportPeriod;
  s->exportCountdown = DLogExportCountdown;
  wcscpy(s->exportPath, DLogSetting.exportPath);
  memcpy(s->levels, EvtUpsEvents.level, sizeof s->levels);
  memcpy(&s->wol, &WolSetting, sizeof s->wol);
  memcpy(s->countdown, WolCountdown, sizeof s->countdown);
}

// Member by member: the records' padding takes no part.
bool Same(const Snapshot& a, const Snapshot& b) {
  const ReactSettings &x = a.react, &y = b.react;
  return x.type == y.type && x.upsDelay == y.upsDelay && !memcmp(x.enable, y.enable, sizeof x.enable) &&
         !memcmp(x.delay, y.delay, sizeof x.delay) && x.notifyEnable == y.notifyEnable &&
         x.notifyPeriod == y.notifyPeriod && x.commandEnable == y.commandEnable &&
         x.commandBefore == y.commandBefore && !wcscmp(x.commandFile, y.commandFile) &&
         x.smartTrapEnable == y.smartTrapEnable && x.smartTrapBefore == y.smartTrapBefore &&
         a.prevTrigger == b.prevTrigger && a.trigger == b.trigger &&
         !memcmp(a.weekly, b.weekly, sizeof a.weekly) && !memcmp(a.specific, b.specific, sizeof a.specific) &&
         a.comPort == b.comPort && !strcmp(a.comPath, b.comPath) && a.slotPort == b.slotPort &&
         a.slotScan == b.slotScan && a.manageable == b.manageable && a.userPermission == b.userPermission &&
         !memcmp(&a.agent, &b.agent, sizeof a.agent) && a.trapCount == b.trapCount &&
         !memcmp(a.traps, b.traps, sizeof a.traps) &&
         a.maxStorage == b.maxStorage && a.exportPeriod == b.exportPeriod &&
         a.exportCountdown == b.exportCountdown && !wcscmp(a.exportPath, b.exportPath) &&
         !memcmp(a.levels, b.levels, sizeof a.levels) && !memcmp(&a.wol, &b.wol, sizeof a.wol) &&
         !memcmp(a.countdown, b.countdown, sizeof a.countdown);
}

void Reset() {
  ReactSetting = ReactSettings{};
  for (int r = 0; r < REACT_COUNT; ++r) ReactSetting.enable[r] = 1, ReactSetting.delay[r] = 300;
  wcscpy(ReactSetting.commandFile, L"/usr/local/bin/cmd");
  ReactCountdown.prevTrigger[REACT_SCHEDULE] = ReactCountdown.trigger[REACT_SCHEDULE] = 1;
  for (SchedWeeklyEntry& w : SchedWeekly) w = {0x41, 6, 30, 1};
  for (SchedSpecificEntry& e : SchedSpecific) e = {30, 2, 28, 23, 59, 3};
  ComPortSetting = 2;
  strcpy(ComPathSetting, "/dev/ttyUSB0");
  ComSlot.port[0] = 1;
  ComSlot.scan[0] = 0;
  WebSysManageable = 1;
  // Lists with entries to edit, move and delete; the slots past each
  // count are empty.
  memset(&SnmpAgentSetting, 0, sizeof SnmpAgentSetting);
  SnmpAgentSettings& a = SnmpAgentSetting;
  a.listenPort = 161;
  strcpy(a.contextName, "upsctx");
  a.accessCount = 3;
  const char* const ips[] = {"0.0.0.0", "::", "192.0.2.1"};
  for (int i = 0; i < 3; ++i) {
    strcpy(a.access[i].address, ips[i]);
    strcpy(a.access[i].community, i ? "ops" : "tambor");
    a.access[i].permission = static_cast<uint8_t>(1 + i % 2);
  }
  a.userCount = 3;
  const char* const names[] = {"manager", "ops", "viewer"};
  for (int i = 0; i < 3; ++i) {
    UsmUser& u = a.users[i];
    strcpy(u.name, names[i]);
    u.security = static_cast<uint8_t>(2 - i);
    if (i < 2) strcpy(u.authPassword, "authpass");
    if (i < 1) strcpy(u.privPassword, "privpass");
    u.permission = 2;
  }
  memset(SnmpTrapReceivers, 0, sizeof SnmpTrapReceivers);
  SnmpTrapReceiverCount = 3;
  for (int i = 0; i < 3; ++i) {
    TrapReceiver& t = SnmpTrapReceivers[i];
    snprintf(t.ip, sizeof t.ip, "192.0.2.%d", 10 + i);
    strcpy(t.community, "public");
    t.port = 162;
    t.ncPort = 161;
    t.level = static_cast<uint8_t>(i + 2);
  }
  DLogSetting.maxStorage = 12;
  DLogSetting.exportPeriod = 10;
  DLogExportCountdown = 4;
  wcscpy(DLogSetting.exportPath, L"/var/log/");
  // The viewers' page values as a new session has them.
  const int32_t values[WEB_SESSION_VARS] = {0, 1, 3, 15, 26, 3, 15, 26, 0, 0, 0, 3, 15, 26, 3, 15, 26, 3, 1,
                                            26, 3, 31, 26, 1, 1, 26, 12, 31, 26, 3, 15, 26, 3, 15, 26, 0, 1, 0};
  for (int i = 0; i < WEB_SESSION_VARS; ++i) WebSess_SetVar(i, values[i]);
  for (int i = 0; i < EVT_UPS_COUNT; ++i) EvtUpsEvents.level[i] = static_cast<uint8_t>(i % 4);
  memset(&WolSetting, 0, sizeof WolSetting);
  memset(WolCountdown, 0, sizeof WolCountdown);
  WolSetting.hostCount = 3;
  for (int i = 0; i < 3; ++i) {
    WolHost& h = WolSetting.hosts[i];
    snprintf(h.title, sizeof h.title, "host %d", i + 1);
    const uint8_t mac[6] = {0x02, 0, 0, 0, 0, static_cast<uint8_t>(i + 1)};
    memcpy(h.mac, mac, sizeof mac);
    h.delay = static_cast<uint8_t>(i);
    h.powerRestore = 1;
    h.sysStartup = static_cast<uint8_t>(i % 2);
    WolCountdown[i] = 60 * (i + 1);
  }
}

bool Clean(const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
    if (*p < 0x20 || *p == 0x7f || strchr("<>&'\"", *p)) return false;
  return true;
}

bool Updated(const char* reply) {
  // The event-level form answers with the page, the saved row named after "#saved-".
  return strstr(reply, "Updated successfully.") != nullptr || strcmp(reply, "OK: Redirect=/en/device/dev_event.asp") == 0 ||
         strncmp(reply, "OK: Redirect=/en/device/dev_event.asp#saved-", 44) == 0;
}

// A text field terminated within its array and free of markup and control
// characters.
template <size_t N>
bool CleanField(const char (&field)[N]) {
  return memchr(field, 0, N) != nullptr && Clean(field);
}

// Entries past a count are all zero bytes.
template <typename T>
bool Empty(const T* list, int from, int to) {
  static const T zero{};
  for (int i = from; i < to; ++i)
    if (memcmp(&list[i], &zero, sizeof zero)) return false;
  return true;
}

void CheckSnmpLists(const Snapshot& before) {
  const SnmpAgentSettings& a = SnmpAgentSetting;
  Check(a.listenPort >= 1 && CleanField(a.contextName));
  Check(a.accessCount <= SNMP_ACCESS_ENTRIES && a.userCount >= 1 && a.userCount <= SNMP_USM_USERS);
  Check(Empty(a.access, a.accessCount, SNMP_ACCESS_ENTRIES) && Empty(a.users, a.userCount, SNMP_USM_USERS));
  for (int i = 0; i < a.accessCount; ++i) {
    Check(CleanField(a.access[i].address) && CleanField(a.access[i].community));
    for (int j = 0; j < i; ++j) Check(strcmp(a.access[i].address, a.access[j].address) != 0);
  }
  // The first user is the manager: only the management switch (its
  // permission) changes it.
  const UsmUser &m = a.users[0], &was = before.agent.users[0];
  Check(!strcmp(m.name, was.name) && m.security == was.security && !strcmp(m.authPassword, was.authPassword) &&
        !strcmp(m.privPassword, was.privPassword));
  for (int i = 0; i < a.userCount; ++i) {
    const UsmUser& u = a.users[i];
    Check(CleanField(u.name) && CleanField(u.authPassword) && CleanField(u.privPassword));
    for (const char* p : {u.authPassword, u.privPassword}) Check(!p[0] || strlen(p) >= 8);
    Check((u.security < 1 || u.authPassword[0]) && (u.security < 2 || u.privPassword[0]));
    for (int j = 0; j < i; ++j) Check(strcmp(u.name, a.users[j].name) != 0);
  }
  Check(Empty(SnmpTrapReceivers, SnmpTrapReceiverCount, TRAP_RECEIVERS));
  for (int i = 0; i < SnmpTrapReceiverCount; ++i) {
    const TrapReceiver& t = SnmpTrapReceivers[i];
    Check(CleanField(t.ip) && CleanField(t.community) && CleanField(t.user));
    for (int j = 0; j < i; ++j) Check(strcmp(t.ip, SnmpTrapReceivers[j].ip) != 0);
  }
}

// The one connection record every input is posted on, cleared but for its
// 2 MiB buffer, which the forms do not use: a record zeroed whole per input
// costs more than most forms.
HttpConn* FreshConn() {
  static HttpConn* conn = new HttpConn();
  char* bytes = reinterpret_cast<char*>(conn);
  const size_t head = offsetof(HttpConn, buffer), tail = head + sizeof conn->buffer;
  memset(bytes, 0, head);
  memset(bytes + tail, 0, sizeof *conn - tail);
  return conn;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The download copy, the logs and the language file.
  static const std::string made = Fuzz_ScratchDir("webform-fuzz");
  const char* d = made.c_str();
  Svc_SetDirs(d, d);
  setlocale(LC_CTYPE, "C.UTF-8");
  Svc_RefreshLocalTime();
  COM_Init(d, ComPathSetting, -1);
  Sched_Init(SvcLocalTime);
  // The history forms' log, data log and page values.
  std::filesystem::create_directories(std::string(d) + "/httpd/htdocs/tempage");
  EvtLog_Init(d);
  DLog_Init(d);
  Crypt_Init();  // session ids
  WebSess_Init();
  WebSess_Create(0);
  // The event form rewrites this language's UPS file.
  std::filesystem::create_directories(made + "/language/English");
  CfgLanguage = 0;
  EvtDef_Init(made.c_str(), "English");
  // config.ini written once, for the batch page's download. After it the
  // forms' saves succeed without the file or its writer, which took a third
  // of each input's time: the system-form and agent targets run the writer
  // (into memory) over what their forms and SETs store, the configuration
  // target over any file.
  if (Cfg_Save() != 1) abort();
  CfgSaveStandIn = [] { return 1; };
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const Form& form = kForms[data[0] % kFormCount];
  const bool multipart = (data[0] / kFormCount) % 2 == 1;
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string boundary;
  if (multipart) {
    const size_t nl = rest.find('\n');
    if (nl == std::string::npos) return 0;
    boundary = "multipart/form-data; boundary=" + rest.substr(0, nl);
    rest = rest.substr(nl + 1);
    if (boundary.find('\0') != std::string::npos) return 0;
  }
  Reset();
  static Snapshot before, after;
  Take(&before);

  // The body in a buffer of its length and a NUL, as the server keeps it.
  std::vector<char> body(rest.begin(), rest.end());
  body.push_back(0);
  Httpd_ParseForm(body.data(), static_cast<int>(rest.size()), multipart ? boundary.c_str() : nullptr);
  std::string name = form.name;
  HttpConn* conn = FreshConn();
  conn->uri = name.data();
  conn->body = body.data();
  conn->bodyCount = static_cast<int>(rest.size());
  conn->boundary = multipart ? boundary.data() : nullptr;
  WebReply.text[0] = 0;
  WebReply.length = 0;
  form.page(conn);

  Check(memchr(WebReply.text, 0, sizeof WebReply.text) != nullptr);
  const size_t len = strlen(WebReply.text);
  Check(WebReply.length == 0 ? len == 0 : WebReply.length == len + 1);
  // The configuration import may change anything; the other forms change
  // only when they report success.
  const bool batch = form.page == WebBatch_SysBatchPage;
  Take(&after);
  if (!batch && !Updated(WebReply.text)) Check(Same(before, after));
  if (batch) return 0;
  // The lists every input starts from are sound: checked when a form
  // changed them.
  if (memcmp(&before.agent, &after.agent, sizeof before.agent) != 0 || before.trapCount != after.trapCount ||
      memcmp(before.traps, after.traps, sizeof before.traps) != 0)
    CheckSnmpLists(before);

  for (const SchedWeeklyEntry& w : SchedWeekly)
    Check(w.hour <= 23 && w.minute <= 59 && w.action <= SCHED_ACTION_TEST4 && w.weekdays < 0x80);
  for (const SchedSpecificEntry& e : SchedSpecific) {
    Check(e.hour <= 23 && e.minute <= 59 && e.action <= SCHED_ACTION_TEST4);
    if (e.month == 0)
      Check(e.day == 0 && e.year == 0);
    else
      Check(e.month <= 12 && e.day >= 1 && e.day <= Time_DaysInMonth(2000 + e.year, e.month));
  }
  Check(memchr(ComPathSetting, 0, sizeof ComPathSetting) != nullptr && Clean(ComPathSetting));
  char command[REACT_COMMAND_CHARS * 8 + 1];
  Check(wcsnlen(ReactSetting.commandFile, REACT_COMMAND_CHARS + 1) <= REACT_COMMAND_CHARS);
  Cfg_WideToText(command, sizeof command, ReactSetting.commandFile);
  Check(Clean(command));
  Check(ReactSetting.type <= REACT_TYPE_HIBERNATE);
  for (int r = 0; r < REACT_COUNT; ++r) Check(ReactSetting.delay[r] >= 0);
  Check(ReactSetting.upsDelay >= 0 && ReactSetting.commandBefore >= 0 && ReactSetting.smartTrapBefore >= 0);

  const int32_t mode = WebSess_GetVar(WSV_DATA_MODE);
  Check(mode >= 0 && mode <= 3);
  // Every stored date is one the date parser accepts.
  const int dates[] = {WSV_LOG_FROM,        WSV_LOG_TO,      WSV_DATA_RANGE0,     WSV_DATA_RANGE0 + 3,
                       WSV_DATA_RANGE1,     WSV_DATA_RANGE1 + 3, WSV_DATA_RANGE2, WSV_DATA_RANGE2 + 3,
                       WSV_DATA_RANGE3,     WSV_DATA_RANGE3 + 3};
  for (int at : dates) {
    const int32_t month = WebSess_GetVar(at), day = WebSess_GetVar(at + 1), year = WebSess_GetVar(at + 2);
    Check(month >= 1 && month <= 12 && day >= 1 && day <= 31 && year >= 0 && year <= 255);
  }
  Check(WebSess_GetVar(WSV_LOG_PAGE) >= 0);
  const size_t pathChars = wcsnlen(DLogSetting.exportPath, DLOG_PATH_CHARS + 1);
  Check(pathChars >= 1 && pathChars <= DLOG_PATH_CHARS && DLogSetting.exportPath[pathChars - 1] == L'/');
  char exportPath[DLOG_PATH_CHARS * 8 + 1];
  Cfg_WideToText(exportPath, sizeof exportPath, DLogSetting.exportPath);
  Check(Clean(exportPath));
  Check(DLogExportCountdown <= DLogSetting.exportPeriod || DLogExportCountdown == 4);
  for (uint8_t level : EvtUpsEvents.level) Check(level <= EVT_LEVEL_SEVERITY);
  const int hosts = WolSetting.hostCount;
  for (int i = 0; i < WOL_HOSTS; ++i) {
    const WolHost& h = WolSetting.hosts[i];
    if (i >= hosts) {
      Check(WolCountdown[i] == 0);
      continue;
    }
    Check(memchr(h.title, 0, sizeof h.title) != nullptr && Clean(h.title));
    Check(h.powerRestore <= 1 && h.sysStartup <= 1);
    for (int k = 0; k < i; ++k) Check(memcmp(WolSetting.hosts[k].mac, h.mac, sizeof h.mac) != 0);
  }
  return 0;
}
