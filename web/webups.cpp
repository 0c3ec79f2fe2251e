// UPS settings and control pages: the CFG_ and CTL_ variables and the
// dev_iconfig, dev_icontrol and mgnt_control forms. UPS settings go to the
// UPS with COM_SendCommand and come back through the polls; the service's
// own UPS settings (battery-low check, replacement notice and dates, outlet
// masks and delays) are saved in config.ini.
#include "web/webups.h"

#include <array>
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
#include "web/websys.h"

namespace {

void Pause(unsigned seconds) { sleep(seconds); }

}  // namespace

void (*WebUpsSleep)(unsigned seconds) = Pause;

namespace {

// Readings are unavailable while the link is lost: so are the settings.
int32_t Value(int index) { return UpsData_Reading(index); }
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

// The UPS settings a page offers and a form sends. A setting is offered
// when the UPS has its capability and reports its value (a UPS may list an
// item it then refuses to answer); the USB driver keeps no capability of its
// own for some, so over USB a reported value offers the setting alone. The
// settings whose command the capability alone decides (transfer frequency,
// bypass voltage, automatic test, dry contacts) are offered with it only.
enum Setting { SET_ARB, SET_UBD, SET_VSN, SET_TXV, SET_EBP, SET_TXF, SET_BT2, SET_ATT, SET_SDC, SET_BTV, SET_NONE };
struct SettingRule {
  int capability;
  int reading;     // the value that shows the setting; -1: the capability alone decides
};
constexpr SettingRule kSettings[SET_NONE] = {
    {UPS_CMD_ARB_BIT, VAL_ARB}, {UPS_CMD_UBD_BIT, VAL_UBD},  {UPS_CMD_VSN_BIT, VAL_VSN},
    {UPS_CMD_TXV_BIT, VAL_LOTXVOLT}, {UPS_CMD_EBP_BIT, VAL_EBP}, {UPS_CMD_TXF_BIT, -1},
    {UPS_CMD_BT2_BIT, -1}, {UPS_CMD_ATT_BIT, -1}, {UPS_CMD_SDC_BIT, -1}, {UPS_CMD_BTV_BIT, VAL_BTV_TIME},
};
bool Offered(Setting s) {
  const SettingRule& r = kSettings[s];
  if (r.reading < 0) return Cap(r.capability);
  return Value(r.reading) != -1 && (Cap(r.capability) || ComSlot.link[0] == COM_LINK_USB);
}

// The setting a CFG_ entry shows: its value is -1 while the UPS does not offer it.
Setting SettingOf(int entry) {
  switch (entry) {
    case CFG_ARB: return SET_ARB;
    case CFG_BDELAY: return SET_UBD;
    case CFG_VSN: return SET_VSN;
    case CFG_TXV_LO: case CFG_TXV_L1: case CFG_TXV_L2: case CFG_TXV_HI: case CFG_TXV_H1: case CFG_TXV_H2:
      return SET_TXV;
    case CFG_EBP: return SET_EBP;
    case CFG_TXF_RATFREQ: case CFG_TXF_MAX: case CFG_TXF_SET: return SET_TXF;
    case CFG_BT2_RATVOLT: case CFG_BT2_MAX: case CFG_BT2_SET: return SET_BT2;
    case CFG_ATT: return SET_ATT;
    case CFG_SDC: return SET_SDC;
    case CFG_BTV_TIME: case CFG_BTV_VOLT: return SET_BTV;
    default: return SET_NONE;
  }
}

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

const char* const kConfigUpdated =
    "Message: Redirect=/en/device/ups_config.asp\nTitle=Information\nBody=<font color=#008000>Updated "
    "successfully.</font>\n";
const char* const kControlUpdated =
    "Message: Redirect=/en/device/mgnt_control.asp\nTitle=Information\nBody=<font color=#008000>Updated "
    "successfully.</font>\n";
const char* const kDateError =
    "Message: Title=Illegal Date Format\nBody=<font color=#808000>Please check the date field.</font>\n";
const char* const kNotQueued =
    "Message: Title=Error\nBody=<font color=#F00000>The command could not be queued, please try again.</font>\n";

// Settings of the UPS that it reports no limits for: small non-negative numbers.
constexpr long long kSettingMax = 9999;

// Refusals of a UPS setting: the UPS lacks it, or the link to it is down.
void RefuseNotOffered(const char* what) {
  WebDev_SetText(
      "Message: Title=Not Offered\nBody=<font color=#808000>This UPS does not offer %s. Nothing was "
      "changed.</font>\n",
      what);
}
void RefuseLinkDown(const char* what) {
  WebDev_SetText(
      "Message: Title=Error\nBody=<font color=#F00000>The link to the UPS is down: nothing was sent to it "
      "(%s).</font>\n",
      what);
}

// A command reaches the UPS only through a standing link.
bool LinkUp() {
  return COM_SendCommand && ComSlot.link[0] != COM_LINK_NONE && !(UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST));
}

// A UPS setting may be sent: the UPS offers it and the link stands; else
// the refusal is left.
bool CanSend(bool offered, const char* what) {
  if (!LinkUp()) {
    RefuseLinkDown(what);
    return false;
  }
  if (!offered) {
    RefuseNotOffered(what);
    return false;
  }
  return true;
}

// A field that may be left out: absent, or a number within lo..hi.
bool CheckOptional(int field, const char* label, long long lo, long long hi) {
  return field < 0 || WebDev_CheckNumber(field, label, lo, hi);
}

// The allowed range of a transfer voltage: the one the UPS reports (its two
// ends in either order), else any voltage of three digits.
struct Range {
  long long lo, hi;
};
Range ReportedRange(int a, int b) {
  const int32_t x = Value(a), y = Value(b);
  if (x < 0 || y < 0) return {0, 999};
  return x <= y ? Range{x, y} : Range{y, x};
}

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

bool Posted(const char* key) { return WebDev_FirstField(key) >= 0; }

// Saves config.ini; false after leaving the reply of a failed save (the
// settings then are as before the form; the commands sent stay sent).
bool Save() {
  if (WebSys_SaveSettings()) return true;
  WebDev_SetText("%s", WEBDEV_NOT_SAVED);
  return false;
}

// ---- dev_iconfig buttons: each checks every posted value before it sends or
// stores one, and returns true once all of them went where they belong ----

// The battery delay (each CFG_UBD sent, with its pause) and the ARB switch.
bool SetBatteryDelay() {
  bool ubd = false;
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    if (!WebDev_FieldIs(i, "CFG_UBD")) continue;
    if (!WebDev_CheckNumber(i, "Battery delay (UBD)", 0, kSettingMax)) return false;
    ubd = true;
  }
  if (ubd && !Offered(SET_UBD)) {
    RefuseNotOffered("the battery delay");
    return false;
  }
  const bool arbOffered = Offered(SET_ARB);
  if (!CanSend(ubd || arbOffered, "the battery delay")) return false;
  int arb = 2;
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    if (WebDev_FieldIs(i, "CFG_ARB")) {
      arb = 1;
    } else if (WebDev_FieldIs(i, "CFG_UBD")) {
      Send(UPS_CMD_UBD, WebDev_CheckedNumber(i));
      WebUpsSleep(2);
    }
  }
  if (arbOffered) Send(UPS_CMD_ARB, arb);
  return true;
}

// One number sent as it is posted (the first field of the key).
bool SendNumber(UpsCommandBit code, const char* key, const char* label, bool offered, const char* what,
                long long hi, int factor = 1) {
  const int f = WebDev_FirstField(key);
  if (!CanSend(offered, what) || !WebDev_CheckNumber(f, label, 0, hi)) return false;
  Send(code, factor * WebDev_CheckedNumber(f));
  return true;
}

bool SetTransferVoltages() {
  const int low = WebDev_LastField("CFG_LTXV"), high = WebDev_LastField("CFG_HTXV");
  const Range lo = ReportedRange(VAL_TXV_L2, VAL_TXV_L1), hi = ReportedRange(VAL_TXV_H2, VAL_TXV_H1);
  if (!CanSend(Offered(SET_TXV), "the transfer voltages") ||
      !CheckOptional(low, "Low transfer voltage (V)", lo.lo, lo.hi) ||
      !CheckOptional(high, "High transfer voltage (V)", hi.lo, hi.hi))
    return false;
  // A field the post lacks keeps the current setting.
  Send(UPS_CMD_TXV, low >= 0 ? WebDev_CheckedNumber(low) : Value(VAL_LOTXVOLT),
       high >= 0 ? WebDev_CheckedNumber(high) : Value(VAL_HITXVOLT));
  return true;
}

bool SetBatteryLow() {
  const int level = WebDev_FirstField("CFG_BL");
  if (!CheckOptional(level, "Battery-low level (%)", 0, 100)) return false;
  UpsRecord.lowBattCheck = Posted("CFG_FBL") ? 1 : 0;
  if (level >= 0) UpsRecord.lowBattLevel = static_cast<uint8_t>(WebDev_CheckedNumber(level));
  return Save();
}

// The replacement notice and the battery dates.
bool SetBatteryDates() {
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    if (!WebDev_FieldIs(i, "CFG_LRD") && !WebDev_FieldIs(i, "CFG_NRD")) continue;
    TimeDate d;
    if (!ParseBatteryDate(WebDev_Value(i), &d)) {
      WebDev_SetText("%s", kDateError);
      return false;
    }
  }
  const int days = WebDev_FirstField("CFG_BRN_DAY");
  if (!CheckOptional(days, "Replacement notice (days before)", 0, UINT16_MAX)) return false;
  // With the capability the UPS keeps the dates and reports them back.
  const bool toUps = Cap(UPS_CMD_BRD_BIT);
  if (toUps && !LinkUp()) {
    RefuseLinkDown("the battery dates");
    return false;
  }
  UpsRecord.replaceNotice = Posted("CFG_BRN_EN") ? 1 : 0;
  if (days >= 0) UpsRecord.replaceNoticeDays = static_cast<uint16_t>(WebDev_CheckedNumber(days));
  std::array<char, 9> last, next;
  DateDigits("CFG_LRD", UpsRecord.battLastDate, last.data());
  DateDigits("CFG_NRD", UpsRecord.battNextDate, next.data());
  if (toUps) {
    // Sent once the notice settings are saved.
    WebSys_AfterSave([last, next] { Send(UPS_CMD_BRD, last.data(), next.data()); });
  } else {
    memcpy(UpsRecord.battLastDate, last.data(), last.size());
    memcpy(UpsRecord.battNextDate, next.data(), next.size());
  }
  return Save();
}

bool SetDryContacts() {
  enum { DRY, TYPE, DISABLE };
  static const char* const kKeys[] = {"CFG_SDCDRY", "CFG_SDCTYPE", "CFG_SDCDISABLE"};
  static const char* const kLabels[] = {"Event of contact", "Type of contact", nullptr};
  static const long long kMax[] = {0x7F, 1, 0};  // seven bits of event number, one of type
  if (!CanSend(Offered(SET_SDC), "dry contacts")) return false;
  uint16_t words[kDryContacts];
  for (int c = 1; c <= kDryContacts; ++c)
    words[c - 1] = static_cast<uint16_t>((c << 8) | 0x80 | (Value(VAL_BT2 + c) & 0x7F));
  for (int pass = 0; pass < 2; ++pass) {  // check every field, then build the words
    for (int i = 0; i < WebDev_FieldCount(); ++i) {
      int kind = -1;
      for (int k = DRY; k <= DISABLE && kind < 0; ++k)
        if (WebDev_FieldIs(i, kKeys[k])) kind = k;
      if (kind < 0) continue;
      const int c = WebDev_NameNumber(i, kKeys[kind]);
      if (c < 1 || c > kDryContacts) continue;
      if (pass == 0) {
        char label[32];
        snprintf(label, sizeof label, "%s %d", kLabels[kind] ? kLabels[kind] : "", c);
        if (kind != DISABLE && !WebDev_CheckNumber(i, label, 0, kMax[kind])) return false;
        continue;
      }
      uint16_t& w = words[c - 1];
      if (kind == DRY) w = static_cast<uint16_t>((w & 0xFF80) | WebDev_CheckedNumber(i));
      else if (kind == TYPE) w = static_cast<uint16_t>(w | (WebDev_CheckedNumber(i) << 15));
      else w = static_cast<uint16_t>(w & ~0x80);
    }
  }
  Send(UPS_CMD_SDC, static_cast<const uint16_t*>(words));
  return true;
}

bool SetBatteryTest() {
  const int t = WebDev_LastField("CFG_BTV_TIME"), u = WebDev_LastField("CFG_BTV_VOLT");
  if (!CanSend(Offered(SET_BTV), "the battery test settings") ||
      !WebDev_CheckNumber(t, "Battery test time", 0, kSettingMax) ||
      !CheckOptional(u, "Battery test voltage", 0, kSettingMax))
    return false;
  Send(UPS_CMD_BTV, WebDev_CheckedNumber(t), u >= 0 ? WebDev_CheckedNumber(u) : -1);
  return true;
}

// A switch of the UPS: on when its check box is posted, else off.
bool SetSwitch(UpsCommandBit code, int bit, const char* key, const char* what) {
  if (!CanSend(Cap(bit), what)) return false;
  Send(code, Posted(key) ? 1 : 2);
  return true;
}

bool SetOutlets() {
  struct Key {
    const char* key;
    bool powerFail;
    bool mask;
  };
  static const Key kKeys[] = {
      {"REA_PF_LB_EN", true, true}, {"REA_PF_LB", true, false}, {"REA_BL_LB_EN", false, true}, {"REA_BL_LB", false, false}};
  // The key of a field and its outlet number; the first key it matches in this order.
  auto keyOf = [](int i, int* n) -> const Key* {
    for (const Key& k : kKeys)
      if (WebDev_FieldIs(i, k.key)) {
        *n = WebDev_NameNumber(i, k.key);
        return &k;
      }
    return nullptr;
  };
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    int n;
    const Key* k = keyOf(i, &n);
    if (!k || k->mask || n < 1 || n > UPS_OUTLETS) continue;
    char label[48];
    snprintf(label, sizeof label, "%s delay, outlet %d (s)", k->powerFail ? "Power failure" : "Battery low", n);
    if (!WebDev_CheckNumber(i, label, 0, UINT16_MAX)) return false;
  }
  UpsRecord.pfOutletMask = 0;
  UpsRecord.blOutletMask = 0;
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    int n;
    const Key* k = keyOf(i, &n);
    if (!k || n < 1 || n > UPS_OUTLETS) continue;  // outlets outside 1..8 are ignored
    if (k->mask)
      (k->powerFail ? UpsRecord.pfOutletMask : UpsRecord.blOutletMask) |= static_cast<uint8_t>(1u << (n - 1));
    else  // delays not posted keep their values
      (k->powerFail ? UpsRecord.pfOutletDelay : UpsRecord.blOutletDelay)[n - 1] =
          static_cast<uint16_t>(WebDev_CheckedNumber(i));
  }
  return Save();
}

// ---- dev_icontrol -------------------------------------------------------------------

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

// Switches outlet d (the digit after the key) after the delay posted for it
// (1 s when none is).
bool SwitchOutlet(int field, const char* key, bool on) {
  const char digit = WebFormFields[field].name[strlen(key)];
  const int outlet = digit - '0';
  char what[32];
  snprintf(what, sizeof what, "outlet %c", digit >= '0' && digit <= '9' ? digit : '?');
  if (!CanSend(outlet >= 1 && outlet <= UPS_OUTLETS && outlet <= UpsRecord.outletCount, what)) return false;
  int delayField = -1;
  for (int i = 0; i < WebDev_FieldCount() && delayField < 0; ++i)
    if (WebDev_FieldIs(i, "CTL_LETDL") && WebFormFields[i].name[9] == digit) delayField = i;
  char label[32];
  snprintf(label, sizeof label, "Delay for outlet %d (s)", outlet);
  if (!CheckOptional(delayField, label, 0, UINT16_MAX)) return false;
  const uint32_t delay = delayField >= 0 ? static_cast<uint32_t>(WebDev_CheckedNumber(delayField)) : 1;
  DropOutletMessages(outlet);
  MsgPostParams = MsgParams{{static_cast<uint8_t>(on ? 1 : 0), static_cast<uint8_t>(outlet), 0, 0}};
  if (MsgOps.PostDelayed(MSG_OUTLET, 10u * delay) != MSG_NONE) return true;
  WebDev_SetText("%s", kNotQueued);
  return false;
}

bool PostTrap(uint8_t eventIndex, uint32_t delay) {
  constexpr uint8_t kTrapKindUpsEvent = 6;
  MsgPostParams = MsgParams{{1, kTrapKindUpsEvent, eventIndex, 0}};
  if (MsgOps.PostDelayed(MSG_TRAP, delay) != MSG_NONE) return true;
  WebDev_SetText("%s", kNotQueued);
  return false;
}

// The shutdown button asks for one direction: its value "resume" resumes a
// cancelled countdown, any other value cancels a running one. A press that
// finds the countdown already so (a second press, a page loaded before
// someone else's change), no countdown at all, or the shutdown under way
// changes nothing and says so, so pressing again never turns the countdown
// back on. Whether it applies is the reactions' rule.
void CancelOrResume(int field) {
  const bool resume = strcmp(WebDev_Value(field), "resume") == 0;
  const uint8_t state = ReactOps.CancelState ? ReactOps.CancelState() : uint8_t{REACT_CANCEL_NOTHING};
  int (*const op)(uint8_t) = resume ? ReactOps.Resume : ReactOps.Cancel;
  const char* unchanged = nullptr;
  if (state == REACT_CANCEL_NOTHING)
    unchanged = "No shutdown countdown is running; nothing was changed.";
  else if (state == REACT_CANCEL_UNDER_WAY)
    unchanged = "The shutdown is under way and can no longer be cancelled; nothing was changed.";
  else if (resume && state == REACT_CANCEL_RUNNING)
    unchanged = "The shutdown countdown is running already; nothing was changed.";
  else if (!resume && state == REACT_CANCEL_CANCELLED)
    unchanged = "The shutdown countdown was already cancelled; nothing was changed.";
  else if (!op || !op(REACT_BY_WEB))
    unchanged = "Nothing was changed.";
  if (unchanged) {
    WebDev_SetText("Message: Redirect=/en/device/mgnt_control.asp\nTitle=Nothing Changed\nBody=<font "
                   "color=#808000>%s</font>\n", unchanged);
    return;
  }
  WebDev_SetText("Message: Redirect=/en/device/mgnt_control.asp\nTitle=Information\nBody=<font color=#008000>The "
                 "shutdown countdown is %s.</font>\n", resume ? "resumed" : "cancelled");
}

}  // namespace

// ---- group handlers -------------------------------------------------------------

void WebUps_CfgVar(const WebDevVarCall& call) {
  const int n = call.n;
  const Setting setting = SettingOf(call.entry);
  const int reading = ReadingOf(call.entry);
  if (setting != SET_NONE && !Offered(setting)) {
    // CFG_SDC writes nothing for a contact that does not exist.
    if (call.entry != CFG_SDC || (n >= 1 && n <= kDryContacts)) Int(-1);
    return;
  }
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
  bool done = false;
  switch (WebDev_Button(kConfigButtons, BTN_COUNT)) {
    case BTN_BUBD: done = SetBatteryDelay(); break;
    case BTN_BBUZ: done = SetSwitch(UPS_CMD_EDB, UPS_CMD_EDB_BIT, "CFG_EDB", "the audible alarm setting"); break;
    case BTN_BVSN:
      done = SendNumber(UPS_CMD_VSN, "CFG_VSN", "Voltage sensitivity", Offered(SET_VSN), "the voltage sensitivity",
                        kSettingMax);
      break;
    case BTN_BTXV: done = SetTransferVoltages(); break;
    case BTN_BBL: done = SetBatteryLow(); break;
    case BTN_BRD: done = SetBatteryDates(); break;
    case BTN_BEBP:
      done = SendNumber(UPS_CMD_EBP, "CFG_EBP", "External battery packs", Offered(SET_EBP),
                        "external battery packs", UINT8_MAX);
      break;
    case BTN_BTXF:
      // The UPS takes five times the posted value.
      done = SendNumber(UPS_CMD_TXF, "CFG_TXF", "Transfer frequency", Offered(SET_TXF), "the transfer frequency",
                        kSettingMax, 5);
      break;
    case BTN_BBT2:
      done = SendNumber(UPS_CMD_BT2, "CFG_BT2", "Bypass voltage setting", Offered(SET_BT2),
                        "the bypass voltage setting", kSettingMax);
      break;
    case BTN_BATT:
      done = SendNumber(UPS_CMD_ATT, "CFG_ATT", "Automatic test (ATT)", Offered(SET_ATT), "automatic tests",
                        kSettingMax);
      break;
    case BTN_BSDC: done = SetDryContacts(); break;
    case BTN_BBTV: done = SetBatteryTest(); break;
    case BTN_OUTLET: done = SetOutlets(); break;
    case BTN_BECO: done = SetSwitch(UPS_CMD_ECO, UPS_CMD_ECO_BIT, "CFG_ECO", "an economy mode"); break;
    case BTN_BGRE: done = SetSwitch(UPS_CMD_GRE, UPS_CMD_GRE_BIT, "CFG_GRE", "a green mode"); break;
    default: WebDev_SetText("%s", WEBDEV_NOT_FOUND); break;
  }
  if (done) WebDev_SetText("%s", kConfigUpdated);  // else the refusal stands
}

void WebUps_ControlPage(HttpConn*) {
  static const char* const kKeys[] = {"CTL_TST", "CTL_BLETON", "CTL_BLETOFF", "CTL_BUZ"};
  int field = -1, action = -1;
  for (int i = 0; i < WebDev_FieldCount() && action < 0; ++i)
    for (int k = 0; k < 4; ++k)
      if (WebDev_FieldIs(i, kKeys[k])) {
        field = i;
        action = k;
        break;
      }
  bool done = false;
  switch (action) {
    case 0:
      done = SendNumber(UPS_CMD_TST, "CTL_TST", "Battery test", Cap(UPS_CMD_TST_BIT), "battery tests", 9);
      break;
    case 1: done = SwitchOutlet(field, kKeys[1], true); break;
    case 2: done = SwitchOutlet(field, kKeys[2], false); break;
    case 3: {
      const int mute = WebDev_FirstField("CTL_MUTE");
      done = CanSend(Cap(UPS_CMD_BUZ_BIT), "silencing the audible alarm") &&
             WebDev_CheckNumber(mute, "Silence code", 1, kSettingMax);
      if (done) Send(UPS_CMD_BUZ, WebDev_CheckedNumber(mute));
      break;
    }
    default: WebDev_SetText("%s", WEBDEV_NOT_FOUND); break;
  }
  if (done) WebDev_SetText("%s", kControlUpdated);
}

void WebUps_MgntControlPage(HttpConn*) {
  static const char* const kKeys[] = {"SHUT_CANCEL", "PAUSE_BROAD", "SIM_POWERFAIL", "SIM_POWERRESTORE", "CANCEL_SD"};
  bool done = true;
  switch (WebDev_Button(kKeys, 5)) {
    case 0:
      CancelOrResume(WebDev_FirstField(kKeys[0]));
      return;
    case 1:
      if (ReactOps.StopRepeats) ReactOps.StopRepeats();
      break;
    case 2: done = PostTrap(2 * UPS_ST_ACFAIL, 1); break;            // AC input failure began
    case 3: done = PostTrap(2 * UPS_ST_ACFAIL + 1, 1); break;        // and ended
    case 4: done = PostTrap(2 * UPS_ST_SMARTSHUTDOWN + 1, 0); break;  // smart shutdown ended
    default:
      WebDev_SetText("%s", WEBDEV_NOT_FOUND);
      return;
  }
  if (done)
    WebDev_SetText(
        "Message: Redirect=/en/device/mgnt_control.asp\nTitle=Information\nBody=<font color=#008000>Submit command "
        "OK.</font>\n");
}
