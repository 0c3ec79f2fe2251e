// Fuzzes the reaction, schedule, COM port, configuration batch, debug,
// event level and Wake-on-LAN forms with arbitrary posted bodies. The first byte picks the form and the
// body kind (urlencoded, or multipart with the boundary on the input's first
// line); the form token is taken as checked. Each run starts from the same
// settings. The reply must stay terminated with a matching length; a form
// that does not answer "Updated successfully." must have changed nothing;
// what a form stores must be a value its setting means: schedule times and
// dates that exist, actions 0 to 4, a device path and a command line
// without markup or control characters, event levels 0 to 3, host titles
// without markup, flags 0 or 1, no two hosts with one MAC address and no
// countdown left behind the host list.
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

#include "core/cfg.h"
#include "core/helpers.h"
#include "core/svc.h"
#include "events/evtdef.h"
#include "events/react.h"
#include "events/sched.h"
#include "events/wol.h"
#include "snmp/snmpagent.h"
#include "ups/com.h"
#include "web/httpd.h"
#include "web/webbatch.h"
#include "web/webevent.h"
#include "web/webreact.h"
#include "web/websys.h"

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
  SnmpAgentSetting.users[0].permission = 2;
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
  return strstr(reply, "Updated successfully.") != nullptr || strcmp(reply, "OK: Redirect=/en/device/dev_event.asp") == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // config.ini and the download copy: on tmpfs where there is one, so the
  // saves' syncs cost nothing.
  static char dir[] = "/dev/shm/webform-fuzz-XXXXXX";
  static char local[] = "webform-fuzz-XXXXXX";
  const char* d = mkdtemp(dir);
  if (!d) d = mkdtemp(local);
  if (!d) abort();
  static std::string made = d;
  atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(made, ec);
  });
  Svc_SetDirs(d, d);
  setlocale(LC_CTYPE, "C.UTF-8");
  Svc_RefreshLocalTime();
  COM_Init(d, ComPathSetting, -1);
  Sched_Init(SvcLocalTime);
  // The event form rewrites this language's UPS file.
  std::filesystem::create_directories(made + "/language/English");
  CfgLanguage = 0;
  EvtDef_Init(made.c_str(), "English");
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
  HttpConn* conn = new HttpConn();
  conn->uri = name.data();
  conn->body = body.data();
  conn->bodyCount = static_cast<int>(rest.size());
  conn->boundary = multipart ? boundary.data() : nullptr;
  WebReply.text[0] = 0;
  WebReply.length = 0;
  form.page(conn);
  delete conn;

  Check(memchr(WebReply.text, 0, sizeof WebReply.text) != nullptr);
  const size_t len = strlen(WebReply.text);
  Check(WebReply.length == 0 ? len == 0 : WebReply.length == len + 1);
  // The configuration import may change anything; the other forms change
  // only when they report success.
  const bool batch = form.page == WebBatch_SysBatchPage;
  Take(&after);
  if (!batch && !Updated(WebReply.text)) Check(Same(before, after));
  if (batch) return 0;

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
