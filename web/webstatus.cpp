// Status, summary and identity pages: the values of the SUM_, UPS_, PRP_C_
// and IMG_STS_ variables and the power-module rows. Texts that come from
// the UPS line, the host or the event log are written escaped for HTML.
#include "web/webstatus.h"

#include <cstring>

#include "core/cfg.h"
#include "core/svc.h"
#include "events/evtdef.h"
#include "events/evtlog.h"
#include "events/react.h"
#include "events/sched.h"
#include "web/httpd.h"
#include "ups/com.h"
#include "ups/upsdata.h"

namespace {

// ---- shared readers ---------------------------------------------------------

// Readings are unavailable while the link is lost.
int32_t Value(int index) { return UpsData_Reading(index); }
bool Bit(int bit) { return (UpsRecord.shownStatus & UpsBit(bit)) != 0; }
bool Cap(int bit) { return (UpsRecord.capabilities & UpsBit(bit)) != 0; }
int Level(int entry) { return entry >= 0 && entry < EVT_UPS_COUNT ? EvtUpsEvents.level[entry] : 0; }
bool Modular() { return UpsRecord.moduleType >= 3 && UpsRecord.moduleType <= 5; }

void Int(int v) { WebDev_SetText("%d", v); }
void Text(const char* t) { WebDev_SetText("%s", t); }
void Digit(char d) { WebDev_SetText("%c", d); }
void Tenths(int index) { WebFmt_Tenths(index, &WebReply); }

// One character per outlet: '1' on, '0' off (bits exist for outlets 1..8).
void OutletStates() {
  char text[256];
  int n = UpsRecord.outletCount;
  for (int j = 0; j < n; ++j) text[j] = (j < UPS_OUTLETS && (UpsRecord.outletOn & (1u << j))) ? '1' : '0';
  text[n] = 0;
  Text(text);
}

// The value index for a phase suffix: 1, 2, 3 are the phases, 12, 23, 31
// the line-to-line readings (when the side has them); -1 for any other.
int PhaseIndex(int n, const int (&phase)[3], const int* line = nullptr) {
  if (n >= 1 && n <= 3) return phase[n - 1];
  if (line) {
    if (n == 12) return line[0];
    if (n == 23) return line[1];
    if (n == 31) return line[2];
  }
  return -1;
}

void PhaseTenths(int n, const int (&phase)[3], const int* line = nullptr) {
  int index = PhaseIndex(n, phase, line);
  if (index >= 0) Tenths(index);
}

void PhaseInt(int n, const int (&phase)[3]) {
  int index = PhaseIndex(n, phase);
  if (index >= 0) Int(Value(index));
}

// A stored YYYYMMDD date as MM/DD/YYYY, character by character.
void BatteryDate(const char* stored) {
  char digits[9] = {};
  strncpy(digits, stored, 8);
  if (!digits[0]) return;
  const int order[] = {4, 5, -1, 6, 7, -1, 0, 1, 2, 3};
  char text[16];
  int n = 0;
  for (int i : order) {
    char c = i < 0 ? '/' : digits[i];
    if (c) text[n++] = c;
  }
  text[n] = 0;
  WebDev_SetEscaped(text);
}

void PlannedAction(int row) {
  const SchedPlannedAction& a = SchedPlanned[row];
  if (!a.month && !a.day && !a.year && !a.hour && !a.minute) {
    Text("None");
    return;
  }
  WebDev_SetText("%02d/%02d/%04d %02d:%02d", a.month, a.day, a.year + 2000, a.hour, a.minute);
}

// ---- SUM_ -------------------------------------------------------------------

enum SumEntry {
  SUM_HOST_NAME, SUM_OS_DESC, SUM_UPS_PORT, SUM_OS_COUNTDOWN, SUM_SHUT_TYPE, SUM_SLOG_LIST, SUM_SLOG_NUM,
  SUM_OS_CANCEL, SUM_UPS_HEALTH, SUM_SWVER, SUM_OS_BANNER,
};

constexpr int kSummaryRecords = 5;

// The newest event-log records straight into the page.
void SummaryLog(FILE* page) {
  const int count = EvtLogRecordCount;
  if (count <= 0 || !EvtLogOps.ReadRecord || !EvtLogOps.SplitRecord) return;
  for (int k = 0; k < count && k < kSummaryRecords; ++k) {
    char record[EVTLOG_RECORD_SIZE];
    if (!EvtLogOps.ReadRecord(k, record, sizeof record)) continue;
    char *code, *level, *date, *time, *text;
    if (!EvtLogOps.SplitRecord(record, &code, &level, &date, &time, &text)) continue;
    fprintf(page, "<SUM_SLOG_LEVEL>%d</SUM_SLOG_LEVEL>\n<SUM_SLOG_TIME>", WebDev_Atoi(level));
    WebDev_PutEscaped(page, date);
    fputc(' ', page);
    WebDev_PutEscaped(page, time);
    fputs("</SUM_SLOG_TIME>\n<SUM_SLOG_EVENT>", page);
    WebDev_PutEscaped(page, text);
    fputs("</SUM_SLOG_EVENT>\n", page);
  }
}

// The banner every page of a session shows while a shutdown countdown runs:
// what happens at its end, in how long (mm:ss, which the page script counts
// down), why, and where a session that may cancel it does so; a cancelled
// countdown says what resuming it would do. Nothing without a countdown,
// and nothing to a client without a session (the login and message pages).
void CountdownBanner() {
  const ReactCountdownState& c = ReactCountdown;
  if (c.remaining < 0 || WebLoginLevel < 0) return;
  static const char* const kReasons[REACT_COUNT] = {"power failure", "battery low", "overload", "UPS on bypass",
                                                    "scheduled shutdown"};
  static const char* const kEnds[] = {"the host shuts down", "the host powers off", "the host hibernates"};
  const char* reason = c.owner >= 1 && c.owner <= REACT_COUNT ? kReasons[c.owner - 1] : "shutdown condition";
  const char* end = ReactSetting.type < 3 ? kEnds[ReactSetting.type] : "the host shuts down";
  // The control page is for the administrator and the device manager; a
  // user session is told who can cancel or resume it.
  const bool mayCancel = WebLoginLevel != 2;
  char where[160];
  if (mayCancel)
    snprintf(where, sizeof where, "<a href=\"/en/device/mgnt_control.asp#shutdown\">%s the countdown</a>",
             c.cancel ? "Resume" : "Cancel");
  else
    snprintf(where, sizeof where, "The administrator or the device manager can %s it on the Control page.",
             c.cancel ? "resume" : "cancel");
  const int minutes = c.remaining / 60, seconds = c.remaining % 60;
  char what[224];
  if (c.cancel)
    snprintf(what, sizeof what, "Resuming it counts down the remaining %02d:%02d; at the end %s", minutes, seconds,
             end);
  else
    snprintf(what, sizeof what, "At the end %s", end);
  WebDev_SetText(
      "<div class=\"countdown%s\" id=\"countdown-banner\" role=\"alert\" data-remaining=\"%d\" data-cancelled=\"%d\" "
      "data-reason=\"%s\"><strong>%s <span class=\"mmss\">%02d:%02d</span></strong> (%s). %s and the UPS switches "
      "its output off %d s later. %s</div>",
      c.cancel ? " cancelled" : "", c.remaining, c.cancel ? 1 : 0, reason,
      c.cancel ? "Shutdown countdown cancelled at" : "Shutdown in", minutes, seconds, reason, what,
      ReactSetting.upsDelay, where);
}

// ---- UPS_ ---------------------------------------------------------------------

enum UpsEntry {
  UPS_MODEL, UPS_COMMSTS, UPS_INFREQ, UPS_INVOLT, UPS_INAMP, UPS_OUTSRC, UPS_OUTFREQ, UPS_OUTVOLT, UPS_OUTAMP,
  UPS_OUTPOWER, UPS_OUTLOAD, UPS_BYFREQ, UPS_BYVOLT, UPS_BYAMP, UPS_BYPOWER, UPS_BATTSTS, UPS_BATTCHARGE,
  UPS_BATTVOLT, UPS_BATTAMP, UPS_NEGBATTAMP, UPS_BATTLEVEL, UPS_TEMP, UPS_BATTREMAIN, UPS_BATTLAST, UPS_BATTNEXT,
  UPS_ONBATTTIME, UPS_OUTLETSTS, UPS_SCH_NEXTOFF, UPS_SCH_NEXTON, UPS_SCH_NEXTTEST, UPS_SCH_NEXTDEEPTEST,
  UPS_COUNTDOWN, UPS_SSCOUNTDOWN, UPS_TYPE, UPS_UPSVER, UPS_FWVER, UPS_RATVA, UPS_RATPOWER, UPS_RATINVOLT,
  UPS_RATOUTVOLT, UPS_RATBYVOLT, UPS_RATFREQ, UPS_RATBATTVOLT, UPS_RATHITXVOLT, UPS_RATLOTXVOLT, UPS_SHOW_MODULE,
  UPS_STS_MODULE, UPS_PM_TEMP_PFC, UPS_PM_TEMP_INVERTER, UPS_PM_TEMP_INVR, UPS_PM_TEMP_INVS, UPS_PM_TEMP_INVT,
  UPS_PM_VOLT_INVR, UPS_PM_VOLT_INVS, UPS_PM_VOLT_INVT, UPS_PM_IMG, UPS_PM_STS, UPS_PM_BYPASS_BAD,
  UPS_PM_BYPASS_SEQ, UPS_PM_BYPASS_OVERLOAD, UPS_PM_BYPASS_OVERTEMP, UPS_PM_BYPASS_STSFAIL, UPS_BATTCAB_NUM,
  UPS_BATTCAB_BREAKER, UPS_BATTCAB_TEMP, UPS_SERIES, UPS_SERNUM, UPS_CHG_CUR_POS, UPS_CHG_CUR_NEG, UPS_PHASE,
  UPS_NEGBATTVOLT, UPS_TESTRESULT, UPS_NEGBATTLEVEL, UPS_NEGTEMP, UPS_USBVER, UPS_SHOW_GREEN, UPS_BMI_AVL,
  UPS_BATT_STRING,
};

constexpr int kInFreq[3] = {VAL_INFREQ1, VAL_INFREQ2, VAL_INFREQ3};
constexpr int kInVolt[3] = {VAL_INVOLT1, VAL_INVOLT2, VAL_INVOLT3};
constexpr int kInLine[3] = {VAL_INVOLT12, VAL_INVOLT23, VAL_INVOLT31};
constexpr int kInAmp[3] = {VAL_INAMP1, VAL_INAMP2, VAL_INAMP3};
constexpr int kOutVolt[3] = {VAL_OUTVOLT1, VAL_OUTVOLT2, VAL_OUTVOLT3};
constexpr int kOutLine[3] = {VAL_OUTVOLT12, VAL_OUTVOLT23, VAL_OUTVOLT31};
constexpr int kOutAmp[3] = {VAL_OUTAMP1, VAL_OUTAMP2, VAL_OUTAMP3};
constexpr int kOutPower[3] = {VAL_OUTPOWER1, VAL_OUTPOWER2, VAL_OUTPOWER3};
constexpr int kOutLoad[3] = {VAL_OUTLOAD1, VAL_OUTLOAD2, VAL_OUTLOAD3};
constexpr int kByVolt[3] = {VAL_BYVOLT1, VAL_BYVOLT2, VAL_BYVOLT3};
constexpr int kByLine[3] = {VAL_BYVOLT12, VAL_BYVOLT23, VAL_BYVOLT31};
constexpr int kByAmp[3] = {VAL_BYAMP1, VAL_BYAMP2, VAL_BYAMP3};
constexpr int kByPower[3] = {VAL_BYPOWER1, VAL_BYPOWER2, VAL_BYPOWER3};

constexpr int kModuleRows = 10;

void ModuleStrings(bool status) {
  if (!Modular()) return;
  char text[UPS_MODULE_COUNT + 1];
  for (int m = 0; m < UPS_MODULE_COUNT; ++m) {
    const UpsPowerModule& pm = UpsRecord.modules[m];
    if (!status) {
      text[m] = (pm.shownAlarms & 1) ? '0' : '1';
    } else if (pm.shownAlarms & 4) {
      text[m] = '0';
    } else {
      text[m] = pm.level == 0 ? '1' : static_cast<char>('0' + (pm.level > 9 ? 9 : pm.level));
    }
  }
  text[UPS_MODULE_COUNT] = 0;
  Text(text);
}

void BatteryModules(FILE* page) {
  int written = 0;
  for (const UpsBatteryModule& b : UpsRecord.battModules) {
    if (written >= UPS_MODULE_COUNT || b.id == -1) break;
    WebDev_AppendRow(page,
                     "<UPS_BMI_ID>%d</UPS_BMI_ID>\n<UPS_BMI_VOLT>%5.1f</UPS_BMI_VOLT>\n"
                     "<UPS_BMI_CURRENT>%5.1f</UPS_BMI_CURRENT>\n<UPS_BMI_TEMP>%5.1f</UPS_BMI_TEMP>\n"
                     "<UPS_BMI_SOH>%d</UPS_BMI_SOH>\n<UPS_BMI_SOC>%d</UPS_BMI_SOC>\n",
                     b.id, static_cast<double>(static_cast<float>(b.voltage) / 10.0f),
                     static_cast<double>(static_cast<float>(b.current) / 10.0f),
                     static_cast<double>(static_cast<float>(b.temperature) / 10.0f), b.health, b.charge);
    ++written;
  }
}

// ---- PRP_C_ -------------------------------------------------------------------

enum PrpEntry {
  PRP_C_MODEL, PRP_C_COMMSTS, PRP_C_OUTSRC, PRP_C_BATTSTS, PRP_C_BATTCHARGE, PRP_C_INVOLT, PRP_C_OUTVOLT,
  PRP_C_INFREQ, PRP_C_OUTFREQ, PRP_C_OUTLOAD, PRP_C_BLEVEL, PRP_C_ONBATTTIME, PRP_C_BATTVOLT, PRP_C_BATTAMP,
  PRP_C_TEMP, PRP_C_BATTREMAIN, PRP_C_INAMP, PRP_C_BYFREQ, PRP_C_BYVOLT, PRP_C_BYAMP, PRP_C_BYPOWER, PRP_C_OUTAMP,
  PRP_C_OUTPOWER, PRP_C_TESTRESULT,
};

// '3' when a nominal frequency is reported and the reading is more than 1.0 Hz off.
char FrequencyClass(int32_t nominal, int32_t reading) {
  if (nominal <= 0) return '1';
  const int64_t d = static_cast<int64_t>(nominal) - reading;
  return (d > 10 || d < -10) ? '3' : '1';
}

// ---- IMG_STS_ -----------------------------------------------------------------

enum ImgSpecial : int {
  IMG_BUZSTATE = -1,
  IMG_ONBYPASS = -2,
  IMG_ONRESERVE = -3,
  IMG_BUZSTATUS = -4,
  IMG_POWERMODULE = -5,
};

// The status bit of each IMG_STS_ entry in stored order, or its special rule.
constexpr int kImgBits[] = {
    UPS_ST_COMMLOST, IMG_BUZSTATE, UPS_ST_ACFAIL, UPS_ST_BATTLOW, UPS_ST_BATTDEPLETED, UPS_ST_BATTREPLACE,
    UPS_ST_TESTING, UPS_ST_OVERLOAD, UPS_ST_OVERTEMP, UPS_ST_UPSFAIL, IMG_ONBYPASS, UPS_ST_SYSTEMOFF,
    UPS_ST_OUTPUTBAD, UPS_ST_OUTPUTOFF, UPS_ST_FANFAIL,
    UPS_ST_FUSEFAIL, UPS_ST_INVERTER, UPS_ST_CHARGERFAIL, UPS_ST_BYPASSBAD, UPS_ST_EPO, UPS_ST_ECONOMIC,
    IMG_ONRESERVE, IMG_BUZSTATUS, UPS_ST_BATTGROUND, UPS_ST_TESTFAIL, IMG_POWERMODULE, UPS_ST_SHUTDOWN,
    UPS_ST_OUTPUTOVERVOLT, UPS_ST_OUTPUTUNDERVOLT, UPS_ST_OUTBREAKER, UPS_ST_ASYNC, UPS_ST_RECTIFIER,
    UPS_ST_REDUNDANCY, UPS_ST_GREENMODE,
};
static_assert(sizeof kImgBits / sizeof kImgBits[0] == CFG_DEV_NCS - CFG_DEV_IMG);

constexpr int kOnBypassEntry = 2 * UPS_ST_ONBYPASS;  // 68
constexpr int kBuzMutedEntry = 2 * UPS_ST_BUZMUTED;  // 30

int ImgLevel(int rule) {
  const int modelClass = Value(VAL_TYPE), source = Value(VAL_OUTSRC);
  switch (rule) {
    case IMG_BUZSTATE:
      return Bit(UPS_ST_BUZENABLED) ? 0 : 1;
    case IMG_ONBYPASS:
      return ((modelClass == 3 && source == 5) || (modelClass != 3 && source == 2)) ? Level(kOnBypassEntry) : 0;
    case IMG_ONRESERVE:
      return (modelClass == 3 && source == 2) ? Level(kOnBypassEntry) : 0;
    case IMG_BUZSTATUS: {
      const int level = Level(kBuzMutedEntry);
      if (level == 0) return Bit(UPS_ST_BUZMUTED) ? 1 : 0;
      return Bit(UPS_ST_BUZMUTED) ? level : 0;
    }
    case IMG_POWERMODULE:
      return Bit(UPS_ST_POWERMODULE) ? UpsRecord.worstModuleLevel : 0;
    default:
      return Bit(rule) ? Level(2 * rule) : 0;
  }
}

}  // namespace

// ---- group handlers -------------------------------------------------------------

void WebStatus_SumVar(const WebDevVarCall& call) {
  switch (call.entry) {
    case SUM_HOST_NAME:
      WebDev_SetEscaped(SvcSystemInfo.hostName);
      break;
    case SUM_OS_DESC: {
      char text[4 * sizeof SvcSystemInfo.description / sizeof(wchar_t)];
      Cfg_WideToText(text, sizeof text, SvcSystemInfo.description);
      WebDev_SetEscaped(text);
      break;
    }
    case SUM_UPS_PORT:
      if (ComPortSetting == 0)
        Text("Auto");
      else if (ComPortSetting == 1)
        Text("USB");
      else
        WebDev_SetText("COM%d", ComPortSetting - 1);
      break;
    case SUM_OS_COUNTDOWN: Int(ReactCountdown.remaining); break;
    case SUM_SHUT_TYPE: Int(ReactSetting.type); break;
    case SUM_SLOG_LIST: SummaryLog(call.page); break;
    case SUM_SLOG_NUM: Int(EvtLogRecordCount < 0 ? 0 : (EvtLogRecordCount > kSummaryRecords ? kSummaryRecords : EvtLogRecordCount)); break;
    case SUM_OS_CANCEL: Int(ReactCountdown.cancel); break;
    case SUM_UPS_HEALTH: Text("0"); break;
    case SUM_SWVER: Text(SVC_VERSION); break;
    case SUM_OS_BANNER: CountdownBanner(); break;
    default: break;
  }
}

void WebStatus_UpsVar(const WebDevVarCall& call) {
  const int n = call.n;
  switch (call.entry) {
    case UPS_MODEL: WebDev_SetEscaped(UpsRecord.model); break;
    case UPS_COMMSTS: Int(Bit(UPS_ST_COMMLOST) ? 1 : 0); break;
    case UPS_INFREQ: PhaseTenths(n, kInFreq); break;
    case UPS_INVOLT: PhaseTenths(n, kInVolt, kInLine); break;
    case UPS_INAMP: PhaseTenths(n, kInAmp); break;
    case UPS_OUTSRC: Int(Value(VAL_OUTSRC)); break;
    case UPS_OUTFREQ: Tenths(VAL_OUTFREQ); break;
    case UPS_OUTVOLT: PhaseTenths(n, kOutVolt, kOutLine); break;
    case UPS_OUTAMP: PhaseTenths(n, kOutAmp); break;
    case UPS_OUTPOWER: PhaseInt(n, kOutPower); break;
    case UPS_OUTLOAD: PhaseInt(n, kOutLoad); break;
    case UPS_BYFREQ: Tenths(VAL_BYFREQ); break;
    case UPS_BYVOLT: PhaseTenths(n, kByVolt, kByLine); break;
    case UPS_BYAMP: PhaseTenths(n, kByAmp); break;
    case UPS_BYPOWER: PhaseInt(n, kByPower); break;
    // The battery bits outlive a lost link: their last state is not shown as
    // the present one ("-1", not reported, like the readings).
    case UPS_BATTSTS:
      if (Bit(UPS_ST_COMMLOST))
        Int(-1);
      else
        Digit(Bit(UPS_ST_BATTREPLACE)    ? '4'
              : Bit(UPS_ST_BATTDEPLETED) ? '3'
              : Bit(UPS_ST_BATTLOW)      ? '2'
              : Bit(UPS_ST_BATTWEAK)     ? '1'
                                         : '0');
      break;
    case UPS_BATTCHARGE:
      if (Bit(UPS_ST_COMMLOST))
        Int(-1);
      else
        Digit(Bit(UPS_ST_DISCHARGING) ? '2' : Bit(UPS_ST_CHARGING) ? '1' : '0');
      break;
    case UPS_BATTVOLT: Tenths(VAL_BATTVOLT); break;
    case UPS_BATTAMP: Tenths(VAL_BATTAMP); break;
    case UPS_NEGBATTAMP: Tenths(VAL_NEGBATTAMP); break;
    case UPS_BATTLEVEL: Int(Value(VAL_BATTLEVEL)); break;
    case UPS_TEMP: Int(Value(VAL_TEMP)); break;
    case UPS_BATTREMAIN: {
      const int v = Value(VAL_BATTREMAIN);
      if (v > 60)
        WebDev_SetText("%d:%d", v / 60, v % 60);
      else if (v >= 0)
        Int(v);
      break;
    }
    case UPS_BATTLAST: BatteryDate(UpsRecord.battLastDate); break;
    case UPS_BATTNEXT: BatteryDate(UpsRecord.battNextDate); break;
    case UPS_ONBATTTIME: Int(Value(VAL_ONBATTTIME)); break;
    case UPS_OUTLETSTS: OutletStates(); break;
    case UPS_SCH_NEXTOFF: PlannedAction(0); break;
    case UPS_SCH_NEXTON: PlannedAction(1); break;
    case UPS_SCH_NEXTTEST: PlannedAction(2); break;
    case UPS_SCH_NEXTDEEPTEST: PlannedAction(3); break;
    case UPS_COUNTDOWN:
    case UPS_SSCOUNTDOWN:
    case UPS_USBVER:
      break;
    case UPS_TYPE: Int(Value(VAL_TYPE)); break;
    case UPS_UPSVER: WebDev_SetEscaped(UpsRecord.firmware); break;
    case UPS_FWVER: Text(SVC_VERSION); break;
    case UPS_RATVA: Int(Value(VAL_RATVA)); break;
    case UPS_RATPOWER: Int(Value(VAL_RATPOWER)); break;
    case UPS_RATINVOLT: Int(Value(VAL_RATINVOLT)); break;
    case UPS_RATOUTVOLT: Int(Value(VAL_RATOUTVOLT)); break;
    case UPS_RATBYVOLT: Int(Value(VAL_RATBYVOLT)); break;
    case UPS_RATFREQ: Tenths(VAL_RATFREQ); break;
    case UPS_RATBATTVOLT: Int(Value(VAL_RATBATTVOLT)); break;
    case UPS_RATHITXVOLT: Int(Value(VAL_HITXVOLT)); break;
    case UPS_RATLOTXVOLT: Int(Value(VAL_LOTXVOLT)); break;
    case UPS_SHOW_MODULE: ModuleStrings(false); break;
    case UPS_STS_MODULE: ModuleStrings(true); break;
    case UPS_PM_TEMP_PFC:
    case UPS_PM_TEMP_INVERTER:
    case UPS_PM_TEMP_INVR:
    case UPS_PM_TEMP_INVS:
    case UPS_PM_TEMP_INVT:
    case UPS_PM_VOLT_INVR:
    case UPS_PM_VOLT_INVS:
    case UPS_PM_VOLT_INVT:
      if (Modular()) WebDev_WriteModuleRows(call.page, call.entry - UPS_PM_TEMP_PFC, 0);
      break;
    case UPS_PM_IMG:
    case UPS_PM_STS:
      // Rows from n on; no number (or none above 0) writes every row.
      if (Modular()) WebDev_WriteModuleRows(call.page, call.entry == UPS_PM_IMG ? 8 : 9, n > 0 ? n - 1 : -1);
      break;
    case UPS_PM_BYPASS_BAD:
    case UPS_PM_BYPASS_SEQ:
    case UPS_PM_BYPASS_OVERLOAD:
    case UPS_PM_BYPASS_OVERTEMP:
    case UPS_PM_BYPASS_STSFAIL: {
      const int bit = UPS_ST_PM_BYPASS_BAD + (call.entry - UPS_PM_BYPASS_BAD);
      Int(Bit(bit) ? Level(2 * bit) : 0);
      break;
    }
    case UPS_BATTCAB_NUM:
      if (Cap(UPS_CAP_BCT_BIT)) {
        char text[5];
        for (int k = 0; k < 4; ++k) text[k] = Value(VAL_BATTCAB_TEMP + k) > 0 ? '1' : '0';
        text[4] = 0;
        Text(text);
      }
      break;
    case UPS_BATTCAB_BREAKER:
      if (Value(VAL_BATTCAB_BREAKER) >= 0) Text(Bit(UPS_ST_BATTCAB_BREAKER) ? "0" : "1");
      break;
    case UPS_BATTCAB_TEMP:
      if (Cap(UPS_CAP_BCT_BIT))
        for (int k = 0; k < 4; ++k)
          WebDev_AppendRow(call.page, "<UPS_BATTCAB_TEMP>%d</UPS_BATTCAB_TEMP>\n", Value(VAL_BATTCAB_TEMP + k));
      break;
    case UPS_SERIES: Int(UpsRecord.moduleType); break;
    case UPS_SERNUM: WebDev_SetEscaped(UpsRecord.serial); break;
    case UPS_CHG_CUR_POS: Tenths(VAL_CHG_CUR_POS); break;
    case UPS_CHG_CUR_NEG: Tenths(VAL_CHG_CUR_NEG); break;
    case UPS_PHASE: Int(Value(VAL_PHASE)); break;
    case UPS_NEGBATTVOLT: Tenths(VAL_NEGBATTVOLT); break;
    case UPS_TESTRESULT: Int(Value(VAL_TESTRESULT)); break;
    case UPS_NEGBATTLEVEL: Int(Value(VAL_NEGBATTLEVEL)); break;
    case UPS_NEGTEMP: Int(Value(VAL_NEGTEMP)); break;
    case UPS_SHOW_GREEN: Int(Cap(UPS_CMD_GRE_BIT) ? 1 : 0); break;
    case UPS_BMI_AVL: Int(Cap(UPS_CAP_BMI_BIT) ? 1 : 0); break;
    case UPS_BATT_STRING:
      if (Cap(UPS_CAP_BMI_BIT)) BatteryModules(call.page);
      break;
    default: break;
  }
}

void WebStatus_PrpVar(const WebDevVarCall& call) {
  switch (call.entry) {
    case PRP_C_MODEL: Text("bold"); break;
    case PRP_C_COMMSTS: Text(Bit(UPS_ST_COMMLOST) ? "critical" : "normal"); break;
    case PRP_C_OUTSRC:
      switch (Value(VAL_OUTSRC)) {
        case 0: case 3: case 4: case 8: Digit('1'); break;
        case 1: Digit('2'); break;
        case 2: Digit(Bit(UPS_ST_ECONOMIC) ? '1' : '3'); break;
        default: Digit('3'); break;
      }
      break;
    case PRP_C_BATTSTS:
      Digit((Bit(UPS_ST_BATTLOW) || Bit(UPS_ST_BATTDEPLETED) || Bit(UPS_ST_BATTREPLACE)) ? '3'
            : Bit(UPS_ST_BATTWEAK)                                                     ? '2'
                                                                                       : '1');
      break;
    case PRP_C_BATTCHARGE: Digit(Bit(UPS_ST_DISCHARGING) ? '2' : '1'); break;
    case PRP_C_INVOLT: WebFmt_RangeStatus(0, &WebReply); break;
    case PRP_C_OUTVOLT: WebFmt_RangeStatus(1, &WebReply); break;
    case PRP_C_INFREQ: WebFmt_DeviationStatus(&WebReply); break;
    case PRP_C_OUTFREQ: Digit(FrequencyClass(Value(VAL_RATOUTFREQ), Value(VAL_OUTFREQ))); break;
    case PRP_C_OUTLOAD: WebFmt_LoadStatus(&WebReply); break;
    case PRP_C_BLEVEL:
    case PRP_C_BATTVOLT:
    case PRP_C_BATTREMAIN:
      Digit((Bit(UPS_ST_BATTLOW) || Bit(UPS_ST_BATTDEPLETED)) ? '3' : '1');
      break;
    case PRP_C_ONBATTTIME:
    case PRP_C_BATTAMP:
    case PRP_C_BYAMP:
    case PRP_C_BYPOWER:
      Digit('1');
      break;
    case PRP_C_TEMP: Digit(Bit(UPS_ST_OVERTEMP) ? '3' : '1'); break;
    case PRP_C_INAMP:
    case PRP_C_OUTAMP:
    case PRP_C_OUTPOWER:
      Digit(Bit(UPS_ST_OVERLOAD) ? '3' : '1');
      break;
    case PRP_C_BYFREQ: {
      int32_t nominal = Value(VAL_TXF_RATFREQ) > 0   ? Value(VAL_TXF_RATFREQ)
                        : Value(VAL_RATOUTFREQ) > 0  ? Value(VAL_RATOUTFREQ)
                        : Value(VAL_RATFREQ) > 0     ? Value(VAL_RATFREQ)
                                                     : 0;
      Digit(FrequencyClass(nominal, Value(VAL_BYFREQ)));
      break;
    }
    case PRP_C_BYVOLT: WebFmt_RangeStatus(2, &WebReply); break;
    case PRP_C_TESTRESULT: {
      const int r = Value(VAL_TESTRESULT);
      Digit((r >= 3 && r <= 5) ? '3' : r == 2 ? '2' : '1');
      break;
    }
    default: break;
  }
}

void WebStatus_ImgVar(const WebDevVarCall& call) {
  if (call.entry >= 0 && call.entry < static_cast<int>(sizeof kImgBits / sizeof kImgBits[0]))
    Int(ImgLevel(kImgBits[call.entry]));
}

// ---- power-module rows ----------------------------------------------------------

void WebDev_WriteModuleRows(FILE* page, int item, int start) {
  static const char* const kTags[] = {"UPS_PM_TEMP_PFC",  "UPS_PM_TEMP_INVERTER", "UPS_PM_TEMP_INVR",
                                      "UPS_PM_TEMP_INVS", "UPS_PM_TEMP_INVT",     "UPS_PM_VOLT_INVR",
                                      "UPS_PM_VOLT_INVS", "UPS_PM_VOLT_INVT"};
  for (const UpsPowerModule& pm : UpsRecord.modules) {
    if (item >= 0 && item <= 4) {
      WebDev_AppendRow(page, "<%s>%d</%s>\n", kTags[item], pm.readings[item + 1], kTags[item]);
    } else if (item >= 5 && item <= 7) {
      const int32_t v = pm.readings[item + 1];
      if (v < 0)
        WebDev_AppendRow(page, "<%s>-1</%s>\n", kTags[item], kTags[item]);
      else
        WebDev_AppendRow(page, "<%s>%d.%d</%s>\n", kTags[item], v / 10, v % 10, kTags[item]);
    } else if (item == 8 || item == 9) {
      const char* tag = item == 8 ? "UPS_PM_IMG" : "UPS_PM_STS";
      int j = 0;
      bool full = false;
      for (int k = 0; k < EVT_MODULE_ALARM_BITS; ++k) {
        if (!(pm.shownAlarms & UpsBit(k))) continue;
        const int e = EVT_MODULE_ALARM_BASE + 2 * k;
        const int level = Level(e);
        if (level == 0) continue;
        if (++j > kModuleRows) {
          full = true;
          break;
        }
        if (j <= start) continue;
        if (item == 8) {
          WebDev_AppendRow(page, "<%s%d>%d</%s%d>\n", tag, j, level, tag, j);
        } else {
          // The module alarm texts name the module with one "%s"; a text
          // missing from the language file gives an empty status.
          char status[128] = "";
          const char* format = EvtUpsEvents.text[e];
          const char* const args[] = {"PM"};
          if (format) EvtLog_FillText(status, sizeof status, format, args, 1);
          char shown[sizeof status * 6];
          WebDev_Escape(shown, sizeof shown, status);
          WebDev_AppendRow(page, "<%s%d>%s</%s%d>\n", tag, j, shown, tag, j);
        }
      }
      if (!full)
        for (int r = j + 1; r <= kModuleRows; ++r) WebDev_AppendRow(page, "<%s%d>0</%s%d>\n", tag, r, tag, r);
    }
  }
}
