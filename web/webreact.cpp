// Reaction, schedule and COM port pages: the ACT_, WSH_ and SSH_ variables
// and the mgnt_reaction, mgnt_wschedule, mgnt_sschedule and mgnt_comport
// forms. The settings belong to the reactions (events/react.h), the
// schedules (events/sched.h), the serial port driver (ups/com.h), the SNMP
// agent and the system pages; the forms change them in place and save
// config.ini. Every form checks all its values first and changes nothing
// when one is refused.
#include "web/webreact.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "core/cfg.h"
#include "core/helpers.h"
#include "events/react.h"
#include "events/sched.h"
#include "snmp/snmpagent.h"
#include "ups/com.h"
#include "web/websnmp.h"
#include "web/websys.h"

namespace {

// ---- replies ------------------------------------------------------------------

const char* const kReactionUpdated =
    "Message: Redirect=/en/device/mgnt_reaction.asp\nTitle=Information\nBody=<font color=#008000>Updated "
    "successfully.</font>\n";
const char* const kWeeklyUpdated =
    "Message: Redirect=/en/device/mgnt_wschedule.asp\nTitle=Information\nBody=<font color=#008000>Updated "
    "successfully.</font>\n";
const char* const kSpecificUpdated =
    "Message: Redirect=/en/device/mgnt_sschedule.asp\nTitle=Information\nBody=<font color=#008000>Updated "
    "successfully.</font>\n";
const char* const kComPortUpdated =
    "Message: Redirect=/en/device/mgnt_comport.asp\nTitle=Information\nBody=<font color=#008000>Updated "
    "successfully.</font>\n";
const char* const kPathNeedsSerialPort =
    "Message: Title=Serial Port Needed\nBody=<font color=#808000>Automatic search does not take a device path: "
    "choose /dev/ttyS0 (or another serial port) as the UPS port to open %s in its place, or empty the device "
    "path. Nothing was changed.</font>\n";
const char* const kManagerStaysOff =
    "Message: Redirect=/en/device/mgnt_reaction.asp\nTitle=SNMPv3 User Off\nBody=<font color=#808000>Management is "
    "on, but SNMPv3 user 1 stays off: it was off already when management was switched off, so there is no "
    "permission to give back. Set its permission with \"Permission1=\" in config.ini.</font>\n";
const char* const kTimeFormat =
    "Message: Title=Incorrect Format\nBody=<font color=#808000>The time format is not correct, please check it "
    "again.</font>\n";
const char* const kDateOverLimit =
    "Message: Title=Incorrect Date\nBody=<font color=#808000>The date content is over the limit, please check it "
    "again.</font>\n";
const char* const kDateFormat =
    "Message: Title=Incorrect Format\nBody=<font color=#808000>The date format is not correct, please check it "
    "again.</font>\n";
// The row number written after the key in the field's name, as a table
// index; -1 when the row is outside 1..rows.
int RowIndex(int field, const char* key, int rows) {
  const int n = WebDev_NameNumber(field, key);
  return n >= 1 && n <= rows ? n - 1 : -1;
}

// The label of a row's field as the page shows it: the text, then the row
// number written after the key in the field's name.
struct Label {
  char text[48];
};
Label RowLabel(const char* text, int field, const char* key) {
  Label l;
  snprintf(l.text, sizeof l.text, "%s %d", text, WebDev_NameNumber(field, key));
  return l;
}

// The first of the keys (in their order) that the field matches, or -1.
int KeyOf(int field, const char* const* keys, int count) {
  for (int k = 0; k < count; ++k)
    if (WebDev_FieldIs(field, keys[k])) return k;
  return -1;
}

// ---- ACT_ -------------------------------------------------------------------------

enum ActEntry {
  ACT_PF_EN, ACT_BL_EN, ACT_OL_EN, ACT_BP_EN, ACT_SS_EN, ACT_MSG_EN, ACT_CMD_EN, ACT_OSD_PF, ACT_OSD_BL,
  ACT_OSD_OL, ACT_OSD_BP, ACT_OSD_SS, ACT_MSG_PERIOD, ACT_CMD_FILE, ACT_CMD_BEFORE, ACT_SHUT_TYPE, ACT_SNMP_PORT,
  ACT_USM_CONTEXT, ACT_MAG_EN, ACT_COM_INDEX, ACT_UPS_DELAY, ACT_LS_EN, ACT_LS_DELAY, ACT_COM_PATH,
};

void Int(long long v) { WebDev_SetText("%lld", v); }

// ---- mgnt_reaction ----------------------------------------------------------------

constexpr long long kSecondsMax = INT32_MAX;

enum ShutdownKey {
  SK_TYPE, SK_UPS_DELAY, SK_PF_EN, SK_BL_EN, SK_OL_EN, SK_BP_EN, SK_SS_EN, SK_PF_DELAY, SK_BL_DELAY, SK_OL_DELAY,
  SK_BP_DELAY, SK_SS_DELAY, SK_LS_EN, SK_LS_DELAY, SK_COUNT,
};
const char* const kShutdownKeys[SK_COUNT] = {
    "ACT_SHUT_TYPE", "ACT_UPS_DELAY", "ACT_PF_EN",  "ACT_BL_EN",  "ACT_OL_EN",  "ACT_BP_EN", "ACT_SS_EN",
    "ACT_OSD_PF",    "ACT_OSD_BL",    "ACT_OSD_OL", "ACT_OSD_BP", "ACT_OSD_SS", "ACT_LS_EN", "ACT_LS_DELAY",
};
// The labels of the numbers as the page shows them (the check boxes have none).
const char* const kShutdownLabels[SK_COUNT] = {
    "The host at the end",       "UPS delay (s)",          nullptr, nullptr, nullptr, nullptr, nullptr,
    "Power failure delay (s)",   "Battery low delay (s)",  "Overload delay (s)", "Bypass delay (s)",
    "Scheduled shutdown delay (s)", nullptr, "Smart-shutdown trap lead time (s)",
};

// Section 0: shutdown type, UPS delay, the five reactions and the
// smart-shutdown trap. Check boxes not posted are off.
bool SubmitShutdown() {
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    const int k = KeyOf(i, kShutdownKeys, SK_COUNT);
    if (k == SK_TYPE && !WebDev_CheckNumber(i, kShutdownLabels[k], REACT_TYPE_SHUTDOWN, REACT_TYPE_HIBERNATE))
      return false;
    if ((k == SK_UPS_DELAY || (k >= SK_PF_DELAY && k <= SK_SS_DELAY) || k == SK_LS_DELAY) &&
        !WebDev_CheckNumber(i, kShutdownLabels[k], 0, kSecondsMax))
      return false;
  }
  ReactSettings& s = ReactSetting;
  const uint8_t scheduleWas = s.enable[REACT_SCHEDULE];
  for (uint8_t& e : s.enable) e = 0;
  s.smartTrapEnable = 0;
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    const int k = KeyOf(i, kShutdownKeys, SK_COUNT);
    if (k == SK_TYPE) s.type = static_cast<uint8_t>(WebDev_CheckedNumber(i));
    else if (k == SK_UPS_DELAY) s.upsDelay = WebDev_CheckedNumber(i);
    else if (k >= SK_PF_EN && k <= SK_SS_EN) s.enable[k - SK_PF_EN] = 1;
    else if (k >= SK_PF_DELAY && k <= SK_SS_DELAY) s.delay[k - SK_PF_DELAY] = WebDev_CheckedNumber(i);
    else if (k == SK_LS_EN) s.smartTrapEnable = 1;
    else if (k == SK_LS_DELAY) s.smartTrapBefore = WebDev_CheckedNumber(i);
  }
  // Switched on: a scheduled shutdown that is still latched may trigger again.
  if (s.enable[REACT_SCHEDULE] != scheduleWas && s.enable[REACT_SCHEDULE] == 1)
    WebSys_AfterSave([] {
      ReactCountdown.prevTrigger[REACT_SCHEDULE] = 0;
      ReactCountdown.trigger[REACT_SCHEDULE] = 0;
    });
  return true;
}

enum ReactionKey { RK_MSG_EN, RK_CMD_EN, RK_MSG_PERIOD, RK_CMD_BEFORE, RK_CMD_FILE, RK_COUNT };
const char* const kReactionKeys[RK_COUNT] = {"ACT_MSG_EN", "ACT_CMD_EN", "ACT_MSG_PERIOD", "ACT_CMD_BEFORE",
                                             "ACT_CMD_FILE"};
const char* const kReactionLabels[RK_COUNT] = {nullptr, nullptr, "Console notice repeat period (s)",
                                               "User command lead time (s)", "Command file"};

// Section 1: console notices and the user command.
bool SubmitReaction() {
  if (WebSys_CheckInput(1, "ACT_CMD_FILE")) return false;  // its reply stands
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    const int k = KeyOf(i, kReactionKeys, RK_COUNT);
    if (k == RK_MSG_PERIOD && !WebDev_CheckNumber(i, kReactionLabels[k], 0, UINT16_MAX)) return false;
    if (k == RK_CMD_BEFORE && !WebDev_CheckNumber(i, kReactionLabels[k], 0, kSecondsMax)) return false;
    if (k == RK_CMD_FILE) {
      // A command line cut to its 256 characters, or cut before a character
      // the locale cannot read, would run another command.
      const size_t chars = mbstowcs(nullptr, WebDev_Value(i), 0);
      if (chars == static_cast<size_t>(-1) || chars > REACT_COMMAND_CHARS) {
        WebDev_RefuseText(kReactionLabels[k], REACT_COMMAND_CHARS);
        return false;
      }
    }
  }
  ReactSettings& s = ReactSetting;
  s.notifyEnable = 0;
  s.commandEnable = 0;
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    switch (KeyOf(i, kReactionKeys, RK_COUNT)) {
      case RK_MSG_EN: s.notifyEnable = 1; break;
      case RK_CMD_EN: s.commandEnable = 1; break;
      case RK_MSG_PERIOD: s.notifyPeriod = static_cast<uint16_t>(WebDev_CheckedNumber(i)); break;
      case RK_CMD_BEFORE: s.commandBefore = WebDev_CheckedNumber(i); break;
      case RK_CMD_FILE: {
        const char* v = WebDev_Value(i);
        Cfg_TextToWide(s.commandFile, REACT_COMMAND_CHARS + 1, v, strlen(v));
        break;
      }
      default: break;
    }
  }
  return true;
}

// Section 2: the management switch, which also turns SNMPv3 user 1 off and
// on; false when the user stays off.
bool SubmitManagement() { return WebSnmp_SetManagement(WebDev_FirstField("ACT_MAG_EN") >= 0); }

// ---- schedules ----------------------------------------------------------------------

constexpr long long kActionMax = SCHED_ACTION_TEST4;

// A date of the date schedule: 3 valid, 0 the emptied row (0/0/2000),
// -1 over the limit, -2 not a date. The date is stored in d.
int CheckDate(const char* text, TimeDate* d) {
  const int r = Time_ParseDate(text, d, 1);
  if (r != 3 && r != -1) return -2;
  // The year as written: the record keeps year - 2000 in a byte.
  const char* year = strchr(strchr(text, '/') + 1, '/') + 1;
  const long long y = strtoll(year, nullptr, 10);
  if (r == -1) return d->month == 0 && d->day == 0 && y == 2000 ? 0 : -1;
  // A day the month does not have would never come, and a year past the
  // byte would come back as another year.
  if (y > 2255 || d->day > Time_DaysInMonth(static_cast<int>(y), d->month)) return -1;
  return 3;
}

bool CheckTime(int field) {
  uint8_t hour, minute;
  if (Time_ParseHourMinute(WebDev_Value(field), &hour, &minute)) return true;
  WebDev_SetText("%s", kTimeFormat);
  return false;
}

void Plan() {
  if (SchedOps.Plan) SchedOps.Plan();
}

enum WeeklyKey { WK_ACT, WK_SUN, WK_MON, WK_TUE, WK_WED, WK_THR, WK_FRI, WK_SAT, WK_TM, WK_COUNT };
const char* const kWeeklyKeys[WK_COUNT] = {"WSH_ACT", "WSH_SUN", "WSH_MON", "WSH_TUE", "WSH_WED",
                                           "WSH_THR", "WSH_FRI", "WSH_SAT", "WSH_TM"};

enum SpecificKey { PK_SD, PK_TM, PK_ACT, PK_COUNT };
const char* const kSpecificKeys[PK_COUNT] = {"SSH_SD", "SSH_TM", "SSH_ACT"};

}  // namespace

// ---- group handlers -------------------------------------------------------------

void WebReact_ActVar(const WebDevVarCall& call) {
  const ReactSettings& s = ReactSetting;
  const int e = call.entry;
  if (e >= ACT_PF_EN && e <= ACT_SS_EN) return Int(s.enable[e - ACT_PF_EN]);
  if (e >= ACT_OSD_PF && e <= ACT_OSD_SS) return Int(s.delay[e - ACT_OSD_PF]);
  switch (e) {
    case ACT_MSG_EN: Int(s.notifyEnable); break;
    case ACT_CMD_EN: Int(s.commandEnable); break;
    case ACT_MSG_PERIOD: Int(s.notifyPeriod); break;
    case ACT_CMD_FILE: {
      char text[REACT_COMMAND_CHARS * 8 + 1];
      Cfg_WideToText(text, sizeof text, s.commandFile);
      WebDev_SetEscaped(text);
      break;
    }
    case ACT_CMD_BEFORE: Int(s.commandBefore); break;
    case ACT_SHUT_TYPE: Int(s.type); break;
    case ACT_SNMP_PORT: Int(SnmpAgentSetting.listenPort); break;
    case ACT_USM_CONTEXT: WebDev_SetEscaped(SnmpAgentSetting.contextName); break;
    case ACT_MAG_EN: Int(WebSysManageable); break;
    case ACT_COM_INDEX: Int(ComPortSetting); break;
    case ACT_UPS_DELAY: Int(s.upsDelay); break;
    case ACT_LS_EN: Int(s.smartTrapEnable); break;
    case ACT_LS_DELAY: Int(s.smartTrapBefore); break;
    case ACT_COM_PATH: WebDev_SetEscaped(ComPathSetting); break;
    default: break;
  }
}

void WebReact_WeeklyVar(const WebDevVarCall& call) {
  if (call.n < 1) return;  // no such row
  if (call.n > SCHED_WEEKLY_COUNT) {
    WebDev_SetText("Unknown");
    return;
  }
  const SchedWeeklyEntry& w = SchedWeekly[call.n - 1];
  switch (call.entry) {
    case 0: Int(w.action); break;
    case 1: {
      char days[8];
      for (int b = 0; b < 7; ++b) days[b] = (w.weekdays >> b) & 1 ? '1' : '0';
      days[7] = 0;
      WebDev_SetText("%s", days);
      break;
    }
    case 2: WebDev_SetText("%02d:%02d", w.hour, w.minute); break;
    default: break;
  }
}

void WebReact_SpecificVar(const WebDevVarCall& call) {
  if (call.n < 1) return;
  if (call.n > SCHED_SPECIFIC_COUNT) {
    WebDev_SetText("Unknown");
    return;
  }
  const SchedSpecificEntry& d = SchedSpecific[call.n - 1];
  switch (call.entry) {
    case 0: Int(d.action); break;
    case 1: WebDev_SetText("%02d/%02d/%04d", d.month, d.day, 2000 + d.year); break;
    case 2: WebDev_SetText("%02d:%02d", d.hour, d.minute); break;
    default: break;
  }
}

// ---- pages ------------------------------------------------------------------------

void WebReact_ReactionPage(HttpConn*) {
  static const char* const kSections[] = {"SUB_SHUTDOWN", "SUB_REACTION", "SUB_MAG"};
  bool ok = true;
  switch (WebDev_Button(kSections, 3)) {
    case 0: ok = SubmitShutdown(); break;
    case 1: ok = SubmitReaction(); break;
    case 2:
      WebDev_SaveAndReply(SubmitManagement() ? kReactionUpdated : kManagerStaysOff);
      return;
    default:
      WebDev_SetText("%s", WEBDEV_NOT_FOUND);
      return;
  }
  if (ok) WebDev_SaveAndReply(kReactionUpdated);  // a refusal has left its reply
}

void WebReact_WeeklyPage(HttpConn*) {
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    const int k = KeyOf(i, kWeeklyKeys, WK_COUNT);
    if (k == WK_TM && !CheckTime(i)) return;
    if (k == WK_ACT && !WebDev_CheckNumber(i, RowLabel("Action, entry", i, kWeeklyKeys[k]).text, 0, kActionMax))
      return;
  }
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    const int k = KeyOf(i, kWeeklyKeys, WK_COUNT);
    if (k < 0) continue;
    const int row = RowIndex(i, kWeeklyKeys[k], SCHED_WEEKLY_COUNT);
    if (row < 0) continue;
    SchedWeeklyEntry& w = SchedWeekly[row];
    if (k == WK_ACT) {
      w.action = static_cast<uint8_t>(WebDev_CheckedNumber(i));
      w.weekdays = 0;
    } else if (k == WK_TM) {
      Time_ParseHourMinute(WebDev_Value(i), &w.hour, &w.minute);
    } else {
      w.weekdays = static_cast<uint8_t>(w.weekdays | (1u << (k - WK_SUN)));
    }
  }
  // The next planned actions follow the schedules saved.
  WebSys_AfterSave(Plan);
  WebDev_SaveAndReply(kWeeklyUpdated);
}

void WebReact_SpecificPage(HttpConn*) {
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    const int k = KeyOf(i, kSpecificKeys, PK_COUNT);
    if (k == PK_SD) {
      TimeDate d;
      const int r = CheckDate(WebDev_Value(i), &d);
      if (r == -1 || r == -2) {
        WebDev_SetText("%s", r == -1 ? kDateOverLimit : kDateFormat);
        return;
      }
    } else if (k == PK_TM && !CheckTime(i)) {
      return;
    } else if (k == PK_ACT && !WebDev_CheckNumber(i, RowLabel("Action, entry", i, kSpecificKeys[k]).text, 0,
                                                  kActionMax)) {
      return;
    }
  }
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    const int k = KeyOf(i, kSpecificKeys, PK_COUNT);
    if (k < 0) continue;
    const int row = RowIndex(i, kSpecificKeys[k], SCHED_SPECIFIC_COUNT);
    if (row < 0) continue;
    SchedSpecificEntry& e = SchedSpecific[row];
    if (k == PK_SD) {
      TimeDate d;
      CheckDate(WebDev_Value(i), &d);
      e.month = d.month;
      e.day = d.day;
      e.year = d.year;
    } else if (k == PK_TM) {
      Time_ParseHourMinute(WebDev_Value(i), &e.hour, &e.minute);
    } else {
      e.action = static_cast<uint8_t>(WebDev_CheckedNumber(i));
    }
  }
  WebSys_AfterSave(Plan);
  WebDev_SaveAndReply(kSpecificUpdated);
}

void WebReact_ComPortPage(HttpConn*) {
  // Markup or a line break in the path would reach the page and config.ini.
  if (WebSys_CheckInput(1, "ACT_COM_PATH")) return;
  long long choice = ComPortSetting;
  const char* devicePath = ComPathSetting;
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    if (WebDev_FieldIs(i, "ACT_COM_PORT")) {
      if (!WebDev_CheckNumber(i, "UPS port", 0, UINT8_MAX)) return;
      choice = WebDev_CheckedNumber(i);
    }
    // A device path cut to its 64 characters would name another device.
    if (WebDev_FieldIs(i, "ACT_COM_PATH")) {
      if (strlen(WebDev_Value(i)) >= sizeof ComPathSetting) {
        WebDev_RefuseText("Device path", sizeof ComPathSetting - 1);
        return;
      }
      devicePath = WebDev_Value(i);
    }
  }
  // The path is opened in place of a numbered serial port: the automatic
  // search would try it only as each /dev/ttyS<n> the host has, and never
  // on a host without one.
  if (choice == 0 && devicePath[0]) {
    char shown[6 * sizeof ComPathSetting];
    WebDev_Escape(shown, sizeof shown, devicePath);
    WebDev_SetText(kPathNeedsSerialPort, shown);
    return;
  }
  const uint8_t port = ComPortSetting;
  char path[sizeof ComPathSetting];
  memcpy(path, ComPathSetting, sizeof path);
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    if (WebDev_FieldIs(i, "ACT_COM_PORT"))
      ComPortSetting = static_cast<uint8_t>(WebDev_CheckedNumber(i));
    else if (WebDev_FieldIs(i, "ACT_COM_PATH"))
      snprintf(ComPathSetting, sizeof ComPathSetting, "%s", WebDev_Value(i));
  }
  // The link moves once config.ini holds the new choice: the next detection
  // pass probes it.
  const bool portChanged = ComPortSetting != port;
  if (portChanged || strcmp(ComPathSetting, path) != 0)
    WebSys_AfterSave([portChanged] {
      if (ComOps.Close) ComOps.Close(0);
      if (!portChanged) return;
      ComSlot.port[0] = ComPortSetting <= 1 ? 0 : static_cast<uint8_t>(ComPortSetting - 1);
      ComSlot.scan[0] = ComPortSetting == 0 ? 1 : 0;
    });
  WebDev_SaveAndReply(kComPortUpdated);
}
