// Shutdown reactions and countdowns, and the reaction operations table.
#include "events/react.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "core/cfg.h"
#include "core/msg.h"
#include "core/svc.h"
#include "events/alarm.h"
#include "events/evtdef.h"
#include "events/evtlog.h"
#include "events/sched.h"
#include "events/wall.h"
#include "ups/com.h"
#include "ups/upsdata.h"

ReactSettings ReactSetting;
ReactCountdownState ReactCountdown;
ReactOpsTable ReactOps;

namespace {

// System events raised here.
enum : int {
  EVT_COUNTDOWN_CANCELLED = 4,
  EVT_COUNTDOWN_RESUMED = 5,
  EVT_COUNTDOWN_ANNOUNCED = 6,
  EVT_COUNTDOWN_ENDED = 7,
  EVT_COUNTDOWN_ZERO = 8,
  EVT_RESTORE_SENT = 18,
};

void Log(int code, const char* arg = nullptr) {
  if (EvtLogOps.Add) EvtLogOps.Add(code, arg, nullptr);
}

// The user commands started and not yet ended, and the last one's text.
int g_userCommands;
char g_userCommand[4 * REACT_COMMAND_CHARS + 1];

void UserCommandEnded() {
  if (g_userCommands > 0) --g_userCommands;
}

// ---- the end of a countdown ------------------------------------------------

// A countdown at zero first waits for a user command still running (a
// cancel freezes that wait as it freezes a countdown), then tells the UPS:
// the restore time when one is due, its pause, the delayed shutdown, each
// awaited until the UPS has answered it. The host script follows; until it
// has ended (for hibernation: until the host has resumed) no countdown
// starts. The loop steps this every 100 ms, so the link keeps running and
// sends the commands.
enum class ZeroPhase : uint8_t { Idle, WaitCommand, RestoreAccept, Pause, ShutdownAccept, HostScript };
struct ZeroState {
  ZeroPhase phase;
  uint8_t owner;     // reaction index + 1 of the countdown that reached zero
  int64_t lastMs;    // the wait: when it was last stepped
  int64_t waitedMs;  // the wait: time waited, cancelled time not counted
  int64_t sinceMs;   // the UPS phases: when the phase began
};
ZeroState g_zero;

// From zero until the UPS has been told: the countdown shows 0 left.
bool ZeroBusy() { return g_zero.phase != ZeroPhase::Idle && g_zero.phase != ZeroPhase::HostScript; }
// Past the wait: the UPS is being told, the host script must follow.
bool ZeroCommitted() { return ZeroBusy() && g_zero.phase != ZeroPhase::WaitCommand; }
// From zero until the host script has ended: no countdown starts.
bool EndUnderWay() { return g_zero.phase != ZeroPhase::Idle; }

bool BatteryLow() { return UpsRecord.shownStatus & (UpsBit(UPS_ST_BATTLOW) | UpsBit(UPS_ST_BATTDEPLETED)); }

// Whether zero waits for the user command now, and why not.
enum class Wait : uint8_t { Waits, NoCommand, BatteryLow, TooLong };
Wait ZeroWait() {
  if (g_userCommands == 0) return Wait::NoCommand;
  if (BatteryLow()) return Wait::BatteryLow;
  if (g_zero.waitedMs >= int64_t{REACT_COMMAND_WAIT_S} * 1000) return Wait::TooLong;
  return Wait::Waits;
}

void LogAboutCommand(const char* what) {
  // A long command line is cut to the event's text.
  char text[EVTLOG_TEXT_SIZE];
  if (snprintf(text, sizeof text, "%s: %s", what, g_userCommand) < 0) return;
  if (EvtLogOps.Add) EvtLogOps.Add(EVT_FREE_TEXT, 2, text);
}

void React_PostShutdown() {
  g_zero.phase = ZeroPhase::HostScript;
  MsgOps.PostDelayed(MSG_OS_SHUTDOWN, 1);
}

void EnterPhase(ZeroPhase phase) {
  g_zero.phase = phase;
  g_zero.sinceMs = Svc_MonoMs();
}

// The UPS has answered every command it was given, cannot answer now (no
// link: the driver keeps them until one stands), or has taken too long.
bool UpsDone(int64_t now) {
  if (ComSlot.link[0] == COM_LINK_NONE) return true;
  if (!ComOps.CommandsPending || ComOps.CommandsPending() <= 0) return true;
  return now - g_zero.sinceMs >= REACT_ACCEPT_WAIT_MS;
}

void SendShutdown() {
  if (COM_SendCommand) COM_SendCommand(UPS_CMD_SDA, static_cast<int>(ReactSetting.upsDelay), 0);
  EnterPhase(ZeroPhase::ShutdownAccept);
}

// The wait for the user command is over (logged with its reason): the UPS is told.
void TellUps(Wait why) {
  char text[128];
  if (why == Wait::BatteryLow) {
    LogAboutCommand("The battery is low: the shutdown goes on while the user command still runs");
  } else if (why == Wait::TooLong) {
    snprintf(text, sizeof text, "The user command has not ended within %d s: the shutdown goes on",
             REACT_COMMAND_WAIT_S);
    LogAboutCommand(text);
  }
  if (ReactCountdown.restoreMinutes > 0) {
    if (COM_SendCommand) COM_SendCommand(UPS_CMD_SDR, static_cast<int>(ReactCountdown.restoreMinutes));
    ReactCountdown.restoreMinutes = -1;
    Log(EVT_RESTORE_SENT);
    EnterPhase(ZeroPhase::RestoreAccept);
  } else {
    SendShutdown();
  }
}

// The commands of a countdown's end go out only while the host is going
// down; those a lost link still keeps are dropped (and named in the log).
void DropEndCommands(const char* why) {
  if (ComOps.DropCommands) ComOps.DropCommands(UPS_CMD_SDR | UPS_CMD_SDA, why);
}

// No countdown runs (any more): the countdown state is idle.
void CountdownIdle() {
  ReactCountdownState& s = ReactCountdown;
  s.cancel = 0;
  s.remaining = -1;
  s.owner = 0;
  s.commandExecuted = 0;
  UpsRecord.liveStatus &= ~UpsBit(UPS_ST_SMARTSHUTDOWN);
}

// System event 7, in the log and on the consoles.
void EndedWithoutShutdown() {
  Log(EVT_COUNTDOWN_ENDED);
  Wall_Broadcast(EvtDef_Level(EVT_COUNTDOWN_ENDED), EvtDef_Text(EVT_COUNTDOWN_ENDED));
}

// A cancelled wait at zero whose condition has cleared ends as a cancelled
// countdown does: nothing goes to the UPS, no script runs, and the log and
// the consoles hear that the shutdown was called off. The zero had ended
// every other countdown: a condition that still holds starts its own
// afresh, as a new one would.
void CallOff() {
  ReactCountdownState& s = ReactCountdown;
  g_zero = ZeroState{};
  CountdownIdle();
  s.announced = -1;
  EndedWithoutShutdown();
  DropEndCommands("The shutdown was called off");
  for (int r = 0; r < REACT_COUNT; ++r)
    if (s.trigger[r]) s.prevTrigger[r] = 0;
}

void React_ZeroStep() {
  ReactCountdownState& s = ReactCountdown;
  for (;;) {
    const int64_t now = Svc_MonoMs();
    switch (g_zero.phase) {
      case ZeroPhase::Idle:
      case ZeroPhase::HostScript:
        return;
      case ZeroPhase::WaitCommand: {
        if (!s.cancel) g_zero.waitedMs += now - g_zero.lastMs;
        g_zero.lastMs = now;
        if (s.cancel) {
          if (!s.trigger[g_zero.owner - 1]) CallOff();
          return;
        }
        const Wait w = ZeroWait();
        if (w == Wait::Waits) return;
        TellUps(w);
        break;
      }
      case ZeroPhase::RestoreAccept:
        if (!UpsDone(now)) return;
        EnterPhase(ZeroPhase::Pause);
        break;
      case ZeroPhase::Pause:
        if (now - g_zero.sinceMs < REACT_RESTORE_PAUSE_MS) return;
        SendShutdown();
        break;
      case ZeroPhase::ShutdownAccept:
        if (!UpsDone(now)) return;
        React_PostShutdown();
        return;
    }
  }
}

void React_Reset() {
  memset(ReactCountdown.trigger, 0, sizeof ReactCountdown.trigger);
  memset(ReactCountdown.prevTrigger, 0, sizeof ReactCountdown.prevTrigger);
  memset(ReactCountdown.countdown, 0, sizeof ReactCountdown.countdown);
  for (int64_t& t : ReactCountdown.startMs) t = -1;
  // A zero still waiting for the user command goes with the countdowns; once
  // the UPS is being told, the host script follows.
  if (g_zero.phase == ZeroPhase::WaitCommand) g_zero.phase = ZeroPhase::Idle;
}

void React_HostScriptEnded(uint8_t resumed) {
  if (g_zero.phase == ZeroPhase::HostScript) g_zero.phase = ZeroPhase::Idle;
  if (!resumed) return;
  // The host runs again: what the earlier end kept for a lost link must not
  // switch it off now, and what the UPS reports is judged as at start.
  React_Reset();
  g_zero = ZeroState{};
  ReactCountdown.cancel = 0;
  DropEndCommands("The host has resumed from hibernation");
  Alarm_JudgeTriggers();
}

// Countdown r reached zero. Every other countdown ends here too, so the UPS
// gets one shutdown command and the script runs once.
void ReachZero(int r) {
  ReactCountdownState& s = ReactCountdown;
  memset(s.countdown, 0, sizeof s.countdown);
  if (EndUnderWay()) return;  // the shutdown under way serves it
  Log(EVT_COUNTDOWN_ZERO);
  s.reachedZero = 1;
  s.remaining = 0;
  s.owner = static_cast<uint8_t>(r + 1);
  g_zero.owner = s.owner;
  g_zero.phase = ZeroPhase::WaitCommand;
  g_zero.waitedMs = 0;
  g_zero.lastMs = Svc_MonoMs();
  if (ZeroWait() == Wait::Waits) {
    char what[128];
    snprintf(what, sizeof what, "Waiting up to %d s for the user command to end before the shutdown",
             REACT_COMMAND_WAIT_S);
    LogAboutCommand(what);
  }
  React_ZeroStep();
}

// "%02d", "%02d:%02d" or "%02d:%02d:%02d" of a number of seconds.
void FormatRemaining(char* out, size_t size, int32_t s) {
  if (s < 60) snprintf(out, size, "%02d", s);
  else if (s < 3600) snprintf(out, size, "%02d:%02d", s / 60, s % 60);
  else snprintf(out, size, "%02d:%02d:%02d", s / 3600, (s / 60) % 60, s % 60);
}

void Announce() {
  char remaining[32];
  FormatRemaining(remaining, sizeof remaining, ReactCountdown.remaining);
  Log(EVT_COUNTDOWN_ANNOUNCED, remaining);
  const char* args[] = {remaining};
  char text[EVTLOG_TEXT_SIZE];
  EvtLog_FillText(text, sizeof text, EvtDef_Text(EVT_COUNTDOWN_ANNOUNCED), args, 1);
  Wall_Broadcast(EvtDef_Level(EVT_COUNTDOWN_ANNOUNCED), text);
}

void RunUserCommand() {
  char command[sizeof g_userCommand];
  Cfg_WideToText(command, sizeof command, ReactSetting.commandFile);
  // It runs beside the loop (it may take minutes); its exit status is not
  // examined; it runs once per countdown, and the end of the countdown
  // waits for it. One that cannot be started is logged with the reason.
  if (command[0] &&
      Svc_StartScript(command, "Can't run the user command", UserCommandEnded, 0, nullptr, SVC_SCRIPT_USER)) {
    ++g_userCommands;
    snprintf(g_userCommand, sizeof g_userCommand, "%s", command);
  }
}

// One second of the countdowns. take[r]: how many of the seconds of this
// step countdown r counts; it takes part in the seconds from `left` = take[r]
// on (left counts the step's seconds down to 1). false when a countdown
// reached zero: the step ends there.
bool CountdownSecond(uint32_t left, const uint32_t take[REACT_COUNT]) {
  ReactCountdownState& s = ReactCountdown;
  const uint8_t prevOwner = s.owner;
  const int32_t prevRemaining = s.remaining;
  // A countdown at zero whose end is still under way runs on at 0.
  bool running = ZeroBusy();
  uint32_t smallest = 0;
  if (running) s.owner = g_zero.owner;
  for (int r = 0; r < REACT_COUNT; ++r) {
    if (s.countdown[r] == 0 || take[r] < left) continue;
    if (!s.cancel) {
      s.countdown[r] -= 1;
      if (s.countdown[r] == 0) {
        ReachZero(r);
        return false;
      }
    }
    // Frozen countdowns take part; ties go to the lower index.
    if (!running || s.countdown[r] < smallest) {
      running = true;
      smallest = s.countdown[r];
      s.owner = static_cast<uint8_t>(r + 1);
    }
  }

  if (!running) {
    CountdownIdle();
    if (s.announced > 0) {
      s.announced = -1;
      if (!s.reachedZero) EndedWithoutShutdown();
    }
    return true;
  }

  if (ZeroBusy()) return true;  // nothing more to count or announce
  s.reachedZero = 0;
  if (s.cancel) return true;  // remaining keeps its last value
  s.remaining = smallest > INT32_MAX ? INT32_MAX : static_cast<int32_t>(smallest);

  // Announced once per countdown, and again when a shorter one takes over.
  if (s.announced <= 0 || (s.owner != prevOwner && s.remaining < prevRemaining)) {
    s.announced = s.remaining;
    Announce();
  }

  // Lead times below 0 never match.
  if (ReactSetting.smartTrapEnable == 1 && s.prevTrigger[REACT_SCHEDULE] && s.remaining < ReactSetting.smartTrapBefore)
    UpsRecord.liveStatus |= UpsBit(UPS_ST_SMARTSHUTDOWN);

  if (!s.commandExecuted && ReactSetting.commandEnable == 1 && s.remaining < ReactSetting.commandBefore) {
    s.commandExecuted = 1;
    RunUserCommand();
  }
  return true;
}

// n seconds elapsed since the last step (more than 1 after a hold of the
// loop): each is counted in order, so the announcement, the user command and
// the end come in their seconds. A countdown started since the last step
// counts only the seconds since its own start (at least one).
void React_CountdownTick(uint32_t n) {
  ReactCountdownState& s = ReactCountdown;
  // Seconds on battery.
  if (UpsRecord.shownStatus & UpsBit(UPS_ST_ONBATTERY))
    UpsRecord.values[VAL_ONBATTTIME] += static_cast<int32_t>(n);
  else
    UpsRecord.values[VAL_ONBATTTIME] = 0;
  if (n == 0) return;

  uint32_t take[REACT_COUNT];
  const int64_t now = Svc_MonoMs();
  for (int r = 0; r < REACT_COUNT; ++r) {
    take[r] = n;
    if (s.startMs[r] >= 0) {
      const int64_t since = now > s.startMs[r] ? (now - s.startMs[r]) / 1000 + 1 : 1;
      if (since < n) take[r] = static_cast<uint32_t>(since);
      s.startMs[r] = -1;
    }
  }
  for (uint32_t left = n; left >= 1; --left)
    if (!CountdownSecond(left, take)) return;
}

// A countdown runs, or waits at zero for the user command.
bool CountdownRuns() {
  for (uint32_t c : ReactCountdown.countdown)
    if (c != 0) return true;
  return g_zero.phase == ZeroPhase::WaitCommand;
}

uint8_t React_CancelState() {
  if (ZeroCommitted()) return REACT_CANCEL_UNDER_WAY;
  if (!CountdownRuns()) return REACT_CANCEL_NOTHING;
  return ReactCountdown.cancel ? REACT_CANCEL_CANCELLED : REACT_CANCEL_RUNNING;
}

// Cancel or resume, logged and told to the consoles like the announcement:
// from the web system events 4 and 5; from the SNMP agent texts that name
// it (those events name the web), at the same levels.
void SetCancel(uint8_t on, uint8_t by) {
  ReactCountdown.cancel = on;
  const int code = on ? EVT_COUNTDOWN_CANCELLED : EVT_COUNTDOWN_RESUMED;
  if (by == REACT_BY_SNMP) {
    const char* text = on ? "Shutdown countdown cancelled through SNMP" : "Shutdown countdown resumed through SNMP";
    if (EvtLogOps.Add) EvtLogOps.Add(EVT_FREE_TEXT, static_cast<int>(EvtDef_Level(code)), text);
    Wall_Broadcast(EvtDef_Level(code), text);
    return;
  }
  Log(code);
  Wall_Broadcast(EvtDef_Level(code), EvtDef_Text(code));
}

int React_Cancel(uint8_t by) {
  if (React_CancelState() != REACT_CANCEL_RUNNING) return 0;
  SetCancel(1, by);
  return 1;
}

int React_Resume(uint8_t by) {
  if (React_CancelState() != REACT_CANCEL_CANCELLED) return 0;
  SetCancel(0, by);
  return 1;
}

void React_ToggleCancel() {
  if (!React_Resume(REACT_BY_WEB)) React_Cancel(REACT_BY_WEB);
}

}  // namespace

void React_TriggerStep() {
  ReactCountdownState& s = ReactCountdown;
  for (int r = 0; r < REACT_COUNT; ++r) {
    bool was = s.prevTrigger[r] != 0, now = s.trigger[r] != 0;
    if (was == now) continue;
    if (was) {
      s.countdown[r] = 0;
    } else if (ReactSetting.enable[r]) {
      const bool afresh = s.cancel != 0;
      if (afresh) {
        // A new condition during a cancelled countdown starts afresh.
        React_Reset();
        s.trigger[r] = 1;
        s.cancel = 0;
      }
      // A delay of 0 (or below) starts no countdown, nor does anything
      // from zero until the host script has ended.
      int32_t delay = ReactSetting.delay[r];
      if (delay > 0 && !EndUnderWay() && (s.countdown[r] == 0 || s.countdown[r] > static_cast<uint32_t>(delay))) {
        s.countdown[r] = static_cast<uint32_t>(delay);
        s.startMs[r] = Svc_MonoMs();
        // The countdown that starts afresh is announced as a new one.
        if (afresh) s.announced = -1;
      }
    }
    // A disabled reaction's rising edge is consumed without a countdown.
    s.prevTrigger[r] = s.trigger[r];
  }
}

void React_Init(const struct tm* now) {
  (void)now;  // the schedule due check reads the planner's time record
  Alarm_ClearRepeatIds();
  ReactCountdown = ReactCountdownState{};
  ReactCountdown.remaining = -1;
  ReactCountdown.restoreMinutes = -1;
  ReactCountdown.announced = -1;
  for (int64_t& t : ReactCountdown.startMs) t = -1;
  g_zero = ZeroState{};
  g_userCommands = 0;
  ReactOps = ReactOpsTable{Sched_CheckDue,     React_Reset,        Alarm_Process,     Alarm_CancelRepeats,
                           React_CountdownTick, React_ToggleCancel, Alarm_StopRepeats, React_ZeroStep,
                           React_Cancel,        React_Resume,       React_CancelState, React_HostScriptEnded};
}

void React_Exit() {}
