// UPS settings and control pages: the CFG_ and CTL_ variables and the
// dev_iconfig, dev_icontrol and mgnt_control forms. UPS settings go to the
// UPS with COM_SendCommand and come back through the polls; the service's
// own UPS settings (battery-low check, replacement notice and dates, outlet
// masks and delays) are saved in config.ini.
#include "web/webups.h"

#include <climits>
#include <cstring>
#include <unistd.h>

#include "core/cfg.h"
#include "core/helpers.h"
#include "core/msg.h"
#include "events/alarm.h"
#include "events/react.h"
#include "ups/com.h"
#include "ups/upsdata.h"

namespace {

void Pause(unsigned seconds) { sleep(seconds); }

}  // namespace

void (*WebUpsSleep)(unsigned seconds) = Pause;

namespace {

int32_t Value(int index) { return index >= 0 && index < UPS_VALUE_COUNT ? UpsRecord.values[index] : -1; }
bool Bit(int bit) { return (UpsRecord.shownStatus & UpsBit(bit)) != 0; }
bool Cap(int bit) { return (UpsRecord.capabilities & UpsBit(bit)) != 0; }
void Int(int v) { WebDev_SetText("%d", v); }

template <typename... Args>
void Send(UpsCommandBit code, Args... args) {
  if (COM_SendCommand) COM_SendCommand(code, args...);
}

// ---- CFG_ -------------------------------------------------------------------

enum CfgEntry {
  CFG_ARB, CFG_BDELAY, CFG_BUZ, CFG_EDB, CFG_VSN, CFG_TXV_LO, CFG_TXV_L1, CFG_TXV_L2, CFG_TXV_HI, CFG_TXV_H1,
  CFG_TXV_H2, CFG_FLAGLBC, CFG_LBCVAL, CFG_BRD, CFG_EBP, CFG_TXF_RATFREQ, CFG_TXF_MAX, CFG_TXF_SET,
  CFG_BT2_RATVOLT, CFG_BT2_MAX, CFG_BT2_SET, CFG_ATT, CFG_SDC, CFG_BATTNOTE_EN, CFG_BATTNOTE_DAY, CFG_BTV_TIME,
  CFG_BTV_VOLT, CFG_PF_LB_EN, CFG_PF_LB_DELAY, CFG_BL_LB_EN, CFG_BL_LB_DELAY, CFG_DRYEVENTFLAG, CFG_ECO, CFG_GRE,
};

// Entries that print one reading of the UPS record.
int ReadingOf(int entry) {
  switch (entry) {
    case CFG_ARB: return VAL_ARB;
    case CFG_BDELAY: return VAL_UBD;
    case CFG_VSN: return VAL_VSN;
    case CFG_TXV_LO: return VAL_LOTXVOLT;
    case CFG_TXV_L1: return VAL_TXV_L1;
    case CFG_TXV_L2: return VAL_TXV_L2;
    case CFG_TXV_HI: return VAL_HITXVOLT;
    case CFG_TXV_H1: return VAL_TXV_H1;
    case CFG_TXV_H2: return VAL_TXV_H2;
    case CFG_EBP: return VAL_EBP;
    case CFG_TXF_RATFREQ: return VAL_TXF_RATFREQ;
    case CFG_TXF_MAX: return VAL_TXF_MAX;
    case CFG_TXF_SET: return VAL_TXF;
    case CFG_BT2_RATVOLT: return VAL_RATBYVOLT;
    case CFG_BT2_MAX: return VAL_BT2_MAX;
    case CFG_BT2_SET: return VAL_BT2;
    case CFG_ATT: return VAL_ATT;
    case CFG_BTV_TIME: return VAL_BTV_TIME;
    case CFG_BTV_VOLT: return VAL_BTV_VOLT;
    default: return -1;
  }
}

constexpr int kDryContacts = 6;

// ---- CTL_ -------------------------------------------------------------------

enum CtlEntry { CTL_FTST, CTL_LETNUM, CTL_LETSTS, CTL_BUZ };

// ---- forms --------------------------------------------------------------------

enum ConfigButton {
  BTN_BUBD, BTN_BBUZ, BTN_BVSN, BTN_BTXV, BTN_BBL, BTN_BRD, BTN_BEBP, BTN_BTXF, BTN_BBT2, BTN_BATT, BTN_BSDC,
  BTN_BBTV, BTN_OUTLET, BTN_BECO, BTN_BGRE, BTN_COUNT,
};
const char* const kConfigButtons[BTN_COUNT] = {
    "CFG_BUBD", "CFG_BBUZ", "CFG_BVSN", "CFG_BTXV", "CFG_BBL",  "CFG_BRD",    "CFG_BEBP", "CFG_BTXF",
    "CFG_BBT2", "CFG_BATT", "CFG_BSDC", "CFG_BBTV", "CFG_OUTLET", "CFG_BECO", "CFG_BGRE",
};

const char* const kDateError =
    "Message: Title=Illegal Date Format\nBody=<font color=#808000>Please check the date field.</font>\n";

// A battery date as posted (month/day/year) that the record can hold.
bool ParseBatteryDate(const char* text, TimeDate* date) {
  if (Time_ParseDate(text, date, 1) != 3) return false;
  // The record keeps the year as year - 2000 in a byte: later years would
  // come back as other dates.
  const char* year = strrchr(text, '/');
  return year && WebDev_Atoi(year + 1) <= 2255;
}

// The eight digits of the first posted date of key, or the stored text.
void DateDigits(const char* key, const char* stored, char out[9]) {
  TimeDate d;
  const int f = WebDev_FirstField(key);
  char text[32];
  if (f >= 0 && ParseBatteryDate(WebDev_Value(f), &d))
    snprintf(text, sizeof text, "%04d%02d%02d", d.year + 2000, d.month, d.day);
  else
    snprintf(text, sizeof text, "%.8s", stored);
  snprintf(out, 9, "%.8s", text);
}

// The value of the first field of key, or fallback when none is posted.
int FirstNumber(const char* key, int fallback) {
  const int f = WebDev_FirstField(key);
  return f >= 0 ? WebDev_Number(f) : fallback;
}
int LastNumber(const char* key, int fallback) {
  const int f = WebDev_LastField(key);
  return f >= 0 ? WebDev_Number(f) : fallback;
}
bool Posted(const char* key) { return WebDev_FirstField(key) >= 0; }

void SendUbdAndArb() {
  int arb = 2;
  for (int i = 0; i < WebFormFieldCount && i < WEB_FORM_FIELDS; ++i) {
    if (WebDev_FieldIs(i, "CFG_ARB")) {
      arb = 1;
    } else if (WebDev_FieldIs(i, "CFG_UBD")) {
      Send(UPS_CMD_UBD, WebDev_Number(i));
      WebUpsSleep(2);
    }
  }
  Send(UPS_CMD_ARB, arb);
}

void SendTransferVoltages() {
  // A field the post lacks keeps the current setting.
  const int low = LastNumber("CFG_LTXV", Value(VAL_LOTXVOLT));
  const int high = LastNumber("CFG_HTXV", Value(VAL_HITXVOLT));
  if ((!Posted("CFG_LTXV") && low < 0) || (!Posted("CFG_HTXV") && high < 0)) return;
  Send(UPS_CMD_TXV, low, high);
}

void SaveBatteryLow() {
  UpsRecord.lowBattCheck = Posted("CFG_FBL") ? 1 : 0;
  const int f = WebDev_FirstField("CFG_BL");
  if (f >= 0) {
    const int level = WebDev_Number(f);
    if (level >= 0 && level <= 100) UpsRecord.lowBattLevel = static_cast<uint8_t>(level);
  }
  Cfg_Save();
}

// The replacement notice and the battery dates; false when a date is invalid.
bool SaveBatteryDates() {
  for (int i = 0; i < WebFormFieldCount && i < WEB_FORM_FIELDS; ++i) {
    if (!WebDev_FieldIs(i, "CFG_LRD") && !WebDev_FieldIs(i, "CFG_NRD")) continue;
    TimeDate d;
    if (!ParseBatteryDate(WebDev_Value(i), &d)) return false;
  }
  UpsRecord.replaceNotice = Posted("CFG_BRN_EN") ? 1 : 0;
  const int f = WebDev_FirstField("CFG_BRN_DAY");
  if (f >= 0) {
    const int days = WebDev_Number(f);
    if (days >= 0 && days <= UINT16_MAX) UpsRecord.replaceNoticeDays = static_cast<uint16_t>(days);
  }
  char last[9], next[9];
  DateDigits("CFG_LRD", UpsRecord.battLastDate, last);
  DateDigits("CFG_NRD", UpsRecord.battNextDate, next);
  if (Cap(UPS_CMD_BRD_BIT)) {
    Send(UPS_CMD_BRD, static_cast<const char*>(last), static_cast<const char*>(next));
  } else {
    memcpy(UpsRecord.battLastDate, last, sizeof last);
    memcpy(UpsRecord.battNextDate, next, sizeof next);
  }
  Cfg_Save();
  return true;
}

void SendDryContacts() {
  uint16_t words[kDryContacts];
  for (int c = 1; c <= kDryContacts; ++c)
    words[c - 1] = static_cast<uint16_t>((c << 8) | 0x80 | (Value(VAL_BT2 + c) & 0x7F));
  enum { DRY, TYPE, DISABLE };
  static const char* const kKeys[] = {"CFG_SDCDRY", "CFG_SDCTYPE", "CFG_SDCDISABLE"};
  for (int i = 0; i < WebFormFieldCount && i < WEB_FORM_FIELDS; ++i) {
    int kind = -1;
    for (int k = DRY; k <= DISABLE && kind < 0; ++k)
      if (WebDev_FieldIs(i, kKeys[k])) kind = k;
    if (kind < 0) continue;
    const int c = WebDev_NameNumber(i, kKeys[kind]);
    if (c < 1 || c > kDryContacts) continue;
    uint16_t& w = words[c - 1];
    const int v = WebDev_Number(i);
    if (kind == DRY) {
      // The event number has seven bits; a larger one would overwrite the
      // enable bit and the contact number.
      if (v >= 0 && v <= 0x7F) w = static_cast<uint16_t>((w & 0xFF80) | v);
    } else if (kind == TYPE) {
      if (v == 1) w = static_cast<uint16_t>(w | 0x8000);  // the type is one bit
    } else {
      w = static_cast<uint16_t>(w & ~0x80);
    }
  }
  Send(UPS_CMD_SDC, static_cast<const uint16_t*>(words));
}

void SaveOutlets() {
  struct Key {
    const char* key;
    bool powerFail;
    bool mask;
  };
  static const Key kKeys[] = {
      {"REA_PF_LB_EN", true, true}, {"REA_PF_LB", true, false}, {"REA_BL_LB_EN", false, true}, {"REA_BL_LB", false, false}};
  UpsRecord.pfOutletMask = 0;
  UpsRecord.blOutletMask = 0;
  for (int i = 0; i < WebFormFieldCount && i < WEB_FORM_FIELDS; ++i) {
    for (const Key& k : kKeys) {
      if (!WebDev_FieldIs(i, k.key)) continue;
      const int n = WebDev_NameNumber(i, k.key);
      if (n >= 1 && n <= UPS_OUTLETS) {
        if (k.mask) {
          (k.powerFail ? UpsRecord.pfOutletMask : UpsRecord.blOutletMask) |= static_cast<uint8_t>(1u << (n - 1));
        } else {
          const int delay = WebDev_Number(i);
          if (delay >= 0 && delay <= UINT16_MAX)
            (k.powerFail ? UpsRecord.pfOutletDelay : UpsRecord.blOutletDelay)[n - 1] = static_cast<uint16_t>(delay);
        }
      }
      break;
    }
  }
  Cfg_Save();
}

// Queued outlet messages of outlet d are dropped: the operator's command
// replaces them. Messages for the other outlets stay queued.
void DropOutletMessages(int outlet) {
  const MsgQueueView q = Msg_View();
  uint8_t ids[MSG_DELAYED_SIZE];
  int count = 0;
  for (int i = 0; i < q.delayedCount; ++i) {
    const MsgDelayedEntry& e = q.delayed[(q.delayedHead + i) % MSG_DELAYED_SIZE];
    if (e.code == MSG_OUTLET && e.p[1] == outlet) ids[count++] = e.id;
  }
  for (int i = 0; i < count; ++i) {
    MsgOps.Remove(ids[i]);
    Alarm_OutletDelivered(ids[i]);  // the alarm processing no longer counts it as pending
  }
}

void SwitchOutlet(int field, const char* key, bool on) {
  const char digit = WebFormFields[field].name[strlen(key)];
  const int outlet = digit - '0';
  if (outlet < 1 || outlet > UPS_OUTLETS) return;
  int delay = 1;
  for (int i = 0; i < WebFormFieldCount && i < WEB_FORM_FIELDS; ++i) {
    if (WebDev_FieldIs(i, "CTL_LETDL") && WebFormFields[i].name[9] == digit) {
      delay = WebDev_Number(i);
      break;
    }
  }
  // Ticks of 100 ms in 32 bits: a negative delay would wrap to years.
  if (delay < 0) delay = 1;
  if (delay > static_cast<int>(UINT32_MAX / 10)) delay = static_cast<int>(UINT32_MAX / 10);
  DropOutletMessages(outlet);
  MsgPostParams = MsgParams{{static_cast<uint8_t>(on ? 1 : 0), static_cast<uint8_t>(outlet), 0, 0}};
  MsgOps.PostDelayed(MSG_OUTLET, 10u * static_cast<uint32_t>(delay));
}

void PostTrap(uint8_t eventIndex, uint32_t delay) {
  constexpr uint8_t kTrapKindUpsEvent = 6;
  MsgPostParams = MsgParams{{1, kTrapKindUpsEvent, eventIndex, 0}};
  MsgOps.PostDelayed(MSG_TRAP, delay);
}

}  // namespace

// ---- group handlers -------------------------------------------------------------

void WebUps_CfgVar(const WebDevVarCall& call) {
  const int n = call.n;
  const int reading = ReadingOf(call.entry);
  if (reading >= 0) {
    Int(Value(reading));
    return;
  }
  switch (call.entry) {
    case CFG_BUZ:
      WebDev_SetText("%s", !Cap(UPS_CMD_BUZ_BIT) ? "-1" : Bit(UPS_ST_BUZMUTED) ? "1" : "0");
      break;
    case CFG_EDB:
      WebDev_SetText("%s", !Cap(UPS_CMD_EDB_BIT) ? "-1" : Bit(UPS_ST_BUZENABLED) ? "0" : "1");
      break;
    case CFG_FLAGLBC: Int(UpsRecord.lowBattCheck ? 1 : 0); break;
    case CFG_LBCVAL: Int(UpsRecord.lowBattLevel); break;
    case CFG_BRD: Int(1); break;
    case CFG_SDC:
      if (n >= 1 && n <= kDryContacts) Int(Value(VAL_BT2 + n));
      break;
    case CFG_BATTNOTE_EN: Int(UpsRecord.replaceNotice ? 1 : 0); break;
    case CFG_BATTNOTE_DAY: Int(UpsRecord.replaceNoticeDays); break;
    case CFG_PF_LB_EN:
    case CFG_BL_LB_EN:
      if (n >= 1 && n <= UPS_OUTLETS) {
        const uint8_t mask = call.entry == CFG_PF_LB_EN ? UpsRecord.pfOutletMask : UpsRecord.blOutletMask;
        Int((mask >> (n - 1)) & 1);
      }
      break;
    case CFG_PF_LB_DELAY:
    case CFG_BL_LB_DELAY:
      if (n >= 1 && n <= UPS_OUTLETS)
        Int((call.entry == CFG_PF_LB_DELAY ? UpsRecord.pfOutletDelay : UpsRecord.blOutletDelay)[n - 1]);
      break;
    case CFG_DRYEVENTFLAG: Int(UpsRecord.modelMatch); break;
    case CFG_ECO: Int(!Cap(UPS_CMD_ECO_BIT) ? 0 : Bit(UPS_ST_ECONOMIC) ? 1 : 2); break;
    case CFG_GRE: Int(!Cap(UPS_CMD_GRE_BIT) ? 0 : Bit(UPS_ST_GREENMODE) ? 1 : 2); break;
    default: break;
  }
}

void WebUps_CtlVar(const WebDevVarCall& call) {
  if (call.entry == CTL_LETSTS) {
    char text[256];
    const int count = UpsRecord.outletCount;
    for (int j = 0; j < count; ++j) text[j] = (j < UPS_OUTLETS && (UpsRecord.outletOn & (1u << j))) ? '1' : '0';
    text[count] = 0;
    WebDev_SetText("%s", text);
    return;
  }
  if (Bit(UPS_ST_COMMLOST)) {
    WebDev_SetText("-1");
    return;
  }
  switch (call.entry) {
    case CTL_FTST: Int(Cap(UPS_CMD_TST_BIT) ? 1 : 0); break;
    case CTL_LETNUM: Int(UpsRecord.outletCount); break;
    case CTL_BUZ: Int(Cap(UPS_CMD_BUZ_BIT) ? 1 : 0); break;
    default: break;
  }
}

// ---- pages --------------------------------------------------------------------

void WebUps_ConfigPage(HttpConn*) {
  const int button = WebDev_Button(kConfigButtons, BTN_COUNT);
  switch (button) {
    case BTN_BUBD: SendUbdAndArb(); break;
    case BTN_BBUZ:
      if (Cap(UPS_CMD_EDB_BIT)) Send(UPS_CMD_EDB, Posted("CFG_EDB") ? 1 : 2);
      break;
    case BTN_BVSN:
      if (Posted("CFG_VSN")) Send(UPS_CMD_VSN, FirstNumber("CFG_VSN", 0));
      break;
    case BTN_BTXV: SendTransferVoltages(); break;
    case BTN_BBL: SaveBatteryLow(); break;
    case BTN_BRD:
      if (!SaveBatteryDates()) {
        WebDev_SetText("%s", kDateError);
        return;
      }
      break;
    case BTN_BEBP:
      if (Posted("CFG_EBP")) Send(UPS_CMD_EBP, FirstNumber("CFG_EBP", 0));
      break;
    case BTN_BTXF:
      if (Cap(UPS_CMD_TXF_BIT)) {
        // The UPS takes five times the posted value.
        const int v = FirstNumber("CFG_TXF", -1);
        if (v >= 0 && v <= INT_MAX / 5) Send(UPS_CMD_TXF, 5 * v);
      }
      break;
    case BTN_BBT2:
      if (Cap(UPS_CMD_BT2_BIT)) {
        const int v = FirstNumber("CFG_BT2", -1);
        if (v >= 0) Send(UPS_CMD_BT2, v);
      }
      break;
    case BTN_BATT:
      if (Cap(UPS_CMD_ATT_BIT)) {
        const int v = FirstNumber("CFG_ATT", -1);
        if (v >= 0) Send(UPS_CMD_ATT, v);
      }
      break;
    case BTN_BSDC:
      if (Cap(UPS_CMD_SDC_BIT)) SendDryContacts();
      break;
    case BTN_BBTV: {
      const int t = LastNumber("CFG_BTV_TIME", -1);
      const int u = LastNumber("CFG_BTV_VOLT", -1);
      if (t >= 0) Send(UPS_CMD_BTV, t, u);
      break;
    }
    case BTN_OUTLET: SaveOutlets(); break;
    case BTN_BECO:
      if (Cap(UPS_CMD_ECO_BIT)) Send(UPS_CMD_ECO, Posted("CFG_ECO") ? 1 : 2);
      break;
    case BTN_BGRE:
      if (Cap(UPS_CMD_GRE_BIT)) Send(UPS_CMD_GRE, Posted("CFG_GRE") ? 1 : 2);
      break;
    default: break;
  }
  WebDev_SetText("%s", WEBDEV_UPDATED);
}

void WebUps_ControlPage(HttpConn*) {
  static const char* const kKeys[] = {"CTL_TST", "CTL_BLETON", "CTL_BLETOFF", "CTL_BUZ"};
  int field = -1, action = -1;
  for (int i = 0; i < WebFormFieldCount && i < WEB_FORM_FIELDS && action < 0; ++i)
    for (int k = 0; k < 4; ++k)
      if (WebDev_FieldIs(i, kKeys[k])) {
        field = i;
        action = k;
        break;
      }
  switch (action) {
    case 0: Send(UPS_CMD_TST, FirstNumber("CTL_TST", 0)); break;
    case 1: SwitchOutlet(field, kKeys[1], true); break;
    case 2: SwitchOutlet(field, kKeys[2], false); break;
    case 3:
      if (Cap(UPS_CMD_BUZ_BIT)) {
        const int v = FirstNumber("CTL_MUTE", 0);
        if (v > 0) Send(UPS_CMD_BUZ, v);
      }
      break;
    default: break;
  }
  WebDev_SetText("%s", WEBDEV_UPDATED);
}

void WebUps_MgntControlPage(HttpConn*) {
  static const char* const kKeys[] = {"SHUT_CANCEL", "PAUSE_BROAD", "SIM_POWERFAIL", "SIM_POWERRESTORE", "CANCEL_SD"};
  switch (WebDev_Button(kKeys, 5)) {
    case 0:
      if (ReactOps.ToggleCancel) ReactOps.ToggleCancel();
      break;
    case 1:
      if (ReactOps.StopRepeats) ReactOps.StopRepeats();
      break;
    case 2: PostTrap(2 * UPS_ST_ACFAIL, 1); break;           // AC input failure began
    case 3: PostTrap(2 * UPS_ST_ACFAIL + 1, 1); break;       // and ended
    case 4: PostTrap(2 * UPS_ST_SMARTSHUTDOWN + 1, 0); break; // smart shutdown ended
    default:
      WebDev_SetText("%s", WEBDEV_NOT_FOUND);
      return;
  }
  WebDev_SetText(
      "Message: Redirect=/en/device/mgnt_control.asp\nTitle=Information\nBody=<font color=#008000>Submit command "
      "OK.</font>\n");
}
