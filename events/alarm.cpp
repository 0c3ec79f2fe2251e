// Alarm processing: status bits to events, outlets and reaction triggers.
#include "events/alarm.h"

#include <cstring>

#include "core/cfg.h"
#include "core/msg.h"
#include "events/evtdef.h"
#include "events/evtlog.h"
#include "events/mail.h"
#include "events/react.h"
#include "events/wol.h"
#include "snmp/snmppoll.h"
#include "snmp/snmptrap.h"
#include "ups/upsdata.h"

uint8_t AlarmRepeatIds[ALARM_REPEAT_IDS];
uint8_t AlarmPfOutletsOff;
uint8_t AlarmBlOutletsOff;

namespace {

constexpr uint8_t kTrapKindUpsEvent = 6;
constexpr int EVT_REPEATS_STOPPED = 9;

uint8_t Post(uint8_t code, uint8_t p0, uint8_t p1, uint8_t p2, uint32_t delay) {
  MsgPostParams = MsgParams{{p0, p1, p2, 0}};
  return MsgOps.PostDelayed(code, delay);
}

bool Live(int bit) { return (UpsRecord.liveStatus & UpsBit(bit)) != 0; }
bool OnBatteryLive() { return Live(UPS_ST_ACFAIL) && Live(UPS_ST_DISCHARGING); }

// The trap, the log record and the console broadcast of UPS event e.
void RaiseEvent(int e) {
  Post(MSG_TRAP, 1, kTrapKindUpsEvent, static_cast<uint8_t>(e), 0);
  if (EvtLogOps.Add) EvtLogOps.Add(EVT_UPS_BASE + e, nullptr);
  if (ReactSetting.notifyEnable) Post(MSG_WALL, 1, static_cast<uint8_t>(e), 0, 0);
}

// Outlets of a mask go off after their delays; an off message still pending
// for an outlet is replaced, so its delay starts again.
void OutletsOff(uint8_t mask, const uint16_t* delays, uint8_t* ids, uint8_t* off) {
  for (int j = 0; j < UPS_OUTLETS; ++j) {
    if (!(mask & (1u << j))) continue;
    if (ids[j] != MSG_NONE) MsgOps.Remove(ids[j]);
    ids[j] = Post(MSG_OUTLET, 0, static_cast<uint8_t>(j + 1), MSG_OUTLET_FOR_CONDITION, 10u * delays[j]);
    if (ids[j] != MSG_NONE) *off |= static_cast<uint8_t>(1u << j);
  }
}

// Every outlet that was sent off, or still has its off message pending,
// comes back on.
void OutletsOn(uint8_t* ids, uint8_t* off) {
  for (int j = 0; j < UPS_OUTLETS; ++j) {
    if (!(*off & (1u << j))) continue;
    if (ids[j] != MSG_NONE) MsgOps.Remove(ids[j]);
    ids[j] = MSG_NONE;
    Post(MSG_OUTLET, 1, static_cast<uint8_t>(j + 1), MSG_OUTLET_FOR_CONDITION, 1);
  }
  *off = 0;
}

void BitReaction(int bit, bool begin) {
  uint8_t* trigger = ReactCountdown.trigger;
  switch (bit) {
    case UPS_ST_ACFAIL:
    case UPS_ST_DISCHARGING:
      if (begin) {
        UpsRecord.values[VAL_ONBATTTIME] = 0;
        if (OnBatteryLive()) {
          trigger[REACT_POWER_FAIL] = 1;
          // A battery already low when the power fails counts at once.
          if (Live(UPS_ST_BATTLOW)) trigger[REACT_BATTERY_LOW] = 1;
          OutletsOff(UpsRecord.pfOutletMask, UpsRecord.pfOutletDelay, UpsRecord.pfOutletMsg, &AlarmPfOutletsOff);
        }
      } else {
        UpsRecord.values[VAL_ONBATTTIME] = -1;
        trigger[REACT_POWER_FAIL] = 0;
        trigger[REACT_BATTERY_LOW] = 0;
        if (WolOps.Arm) WolOps.Arm(WOL_ARM_POWER_RESTORE);
        OutletsOn(UpsRecord.pfOutletMsg, &AlarmPfOutletsOff);
      }
      break;
    case UPS_ST_OVERLOAD:
      trigger[REACT_OVERLOAD] = begin ? 1 : 0;
      break;
    case UPS_ST_BATTLOW:
      if (begin) {
        if (OnBatteryLive()) trigger[REACT_BATTERY_LOW] = 1;
        OutletsOff(UpsRecord.blOutletMask, UpsRecord.blOutletDelay, UpsRecord.blOutletMsg, &AlarmBlOutletsOff);
      } else {
        trigger[REACT_BATTERY_LOW] = 0;
        OutletsOn(UpsRecord.blOutletMsg, &AlarmBlOutletsOff);
      }
      break;
    case UPS_ST_BATTREPLACE:
      // The replacement notice itself goes to the mail spool only.
      if (begin && MailOps.AddEvent)
        MailOps.AddEvent(MAIL_KIND_SYSTEM, 35, UpsRecord.serial, UpsRecord.model, static_cast<const char*>(nullptr));
      Cfg_Rewrite();
      break;
    case UPS_ST_ONBYPASS:
      trigger[REACT_BYPASS] = begin ? 1 : 0;
      break;
    default:
      break;
  }
}

// In economy mode the UPS reports its bypass output as on bypass: no
// condition of its own.
bool EconomyBypass(uint64_t shown) {
  return (shown & UpsBit(UPS_ST_ECONOMIC)) && UpsRecord.values[VAL_OUTSRC] == 2;
}

void StatusEdges() {
  const uint64_t shown = UpsRecord.shownStatus;
  if (shown == UpsRecord.liveStatus) return;
  for (int i = 0; i < EVT_STATUS_BITS; ++i) {
    const uint64_t bit = UpsBit(i);
    if (((shown ^ UpsRecord.liveStatus) & bit) == 0) continue;
    if (i == UPS_ST_ONBYPASS && EconomyBypass(shown)) continue;
    const bool begin = (shown & bit) == 0;
    const int e = begin ? 2 * i : 2 * i + 1;
    const bool loud = EvtUpsEvents.level[e] != 0;
    if (loud) RaiseEvent(e);
    if (!begin) {
      if (AlarmRepeatIds[i] != MSG_NONE) {
        MsgOps.Remove(AlarmRepeatIds[i]);
        AlarmRepeatIds[i] = MSG_NONE;
      }
    } else if (loud) {
      if (ReactSetting.notifyPeriod == 0) {
        AlarmRepeatIds[i] = MSG_NONE;
      } else if (AlarmRepeatIds[i] == MSG_NONE) {
        MsgPostParams = MsgParams{{1, static_cast<uint8_t>(e), 0, 0}};
        AlarmRepeatIds[i] =
            MsgOps.PostRepeating(MSG_WALL_REPEAT, 10u * ReactSetting.notifyPeriod, MSG_REPEAT_FOREVER);
      }
    }
    BitReaction(i, begin);
  }
}

void PowerModules() {
  uint8_t worst = 0;
  for (UpsPowerModule& m : UpsRecord.modules) {
    if (m.shownAlarms != m.liveAlarms) m.shownAlarms = m.liveAlarms;
    uint8_t level = 0;
    for (int j = 0; j < EVT_MODULE_ALARM_BITS; ++j)
      if ((m.shownAlarms & UpsBit(j)) && EvtUpsEvents.level[EVT_MODULE_ALARM_BASE + 2 * j] > level)
        level = EvtUpsEvents.level[EVT_MODULE_ALARM_BASE + 2 * j];
    m.level = level;
    // Alarm bit 0 marks an absent module.
    if (!(m.shownAlarms & 1) && m.level > worst) worst = m.level;
  }
  UpsRecord.worstModuleLevel = worst;
  if (worst >= 2) UpsRecord.liveStatus |= UpsBit(UPS_ST_POWERMODULE);
  else UpsRecord.liveStatus &= ~UpsBit(UPS_ST_POWERMODULE);
}

// The network shutdown clients: each record ages by a second, and each
// change of a client's state (not answering for more than 30 seconds,
// counting down, the seventh flag) is logged with the client's address and
// host name.
void ShutdownClients() {
  static const struct {
    uint8_t bit;
    int code;  // when the bit became set; + 1 when it became clear
  } kEvents[] = {{0x01, 28}, {0x02, 30}, {0x04, 32}};
  for (int j = 0; j < SnmpTrapReceiverCount && j < POLL_CLIENTS; ++j) {
    const TrapReceiver& r = SnmpTrapReceivers[j];
    if (r.level != TRAP_LEVEL_SHUTDOWN_CLIENT) continue;
    ShutdownClientStatus& c = SnmpPollClients[j];
    if (c.touch != POLL_TOUCH_FROZEN) ++c.touch;
    uint8_t status = 0;
    if (c.countingDown == 1) {
      if (c.countdown > 0) --c.countdown;
      status |= 0x02;
    }
    if (c.seventhFlag == 1) status |= 0x04;
    if (c.touch > 30) status |= 0x01;
    c.status = status;
    for (const auto& e : kEvents) {
      if (((status ^ c.reported) & e.bit) == 0) continue;
      int code = (status & e.bit) ? e.code : e.code + 1;
      if (EvtLogOps.Add) EvtLogOps.Add(code, r.ip, c.hostName, static_cast<const char*>(nullptr));
    }
    c.reported = status;
  }
}

}  // namespace

void Alarm_Process() {
  StatusEdges();
  UpsRecord.shownStatus = UpsRecord.liveStatus;
  PowerModules();
  React_TriggerStep();
  ShutdownClients();
}

void Alarm_JudgeTriggers() {
  const uint64_t shown = UpsRecord.shownStatus;
  auto has = [shown](int bit) { return (shown & UpsBit(bit)) != 0; };
  const bool onBattery = has(UPS_ST_ACFAIL) && has(UPS_ST_DISCHARGING);
  uint8_t* trigger = ReactCountdown.trigger;
  trigger[REACT_POWER_FAIL] = onBattery ? 1 : 0;
  trigger[REACT_BATTERY_LOW] = onBattery && has(UPS_ST_BATTLOW) ? 1 : 0;
  trigger[REACT_OVERLOAD] = has(UPS_ST_OVERLOAD) ? 1 : 0;
  trigger[REACT_BYPASS] = has(UPS_ST_ONBYPASS) && !EconomyBypass(shown) ? 1 : 0;
}

void Alarm_CancelRepeats() {
  for (uint8_t& id : AlarmRepeatIds) {
    if (id != MSG_NONE && MsgOps.PeekId(id)) MsgOps.Remove(id);
    id = MSG_NONE;
  }
}

void Alarm_StopRepeats() {
  MsgOps.RemoveCode(MSG_WALL_REPEAT);
  memset(AlarmRepeatIds, MSG_NONE, sizeof AlarmRepeatIds);
  if (EvtLogOps.Add) EvtLogOps.Add(EVT_REPEATS_STOPPED, nullptr);
}

void Alarm_ClearRepeatIds() { memset(AlarmRepeatIds, MSG_NONE, sizeof AlarmRepeatIds); }

void Alarm_OutletDelivered(uint8_t id) {
  if (id == MSG_NONE) return;
  for (int j = 0; j < UPS_OUTLETS; ++j) {
    if (UpsRecord.pfOutletMsg[j] == id) UpsRecord.pfOutletMsg[j] = MSG_NONE;
    if (UpsRecord.blOutletMsg[j] == id) UpsRecord.blOutletMsg[j] = MSG_NONE;
  }
}
