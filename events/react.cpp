// Shutdown reactions and countdowns, and the reaction operations table.
#include "events/react.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <unistd.h>

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

void SleepSeconds(unsigned seconds) { sleep(seconds); }

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

void React_Reset() {
  memset(ReactCountdown.trigger, 0, sizeof ReactCountdown.trigger);
  memset(ReactCountdown.prevTrigger, 0, sizeof ReactCountdown.prevTrigger);
  memset(ReactCountdown.countdown, 0, sizeof ReactCountdown.countdown);
  for (int64_t& t : ReactCountdown.startMs) t = -1;
}

void React_PostShutdown() { MsgOps.PostDelayed(MSG_OS_SHUTDOWN, 1); }

// A countdown reached zero: the UPS is told when to restore its output (a
// scheduled restore) and to switch off after "UPS Delay=", and the host
// shutdown follows. Every other countdown ends here too, so the UPS gets one
// shutdown command and the script runs once.
void ReachZero() {
  Log(EVT_COUNTDOWN_ZERO);
  ReactCountdown.reachedZero = 1;
  memset(ReactCountdown.countdown, 0, sizeof ReactCountdown.countdown);
  if (ReactCountdown.restoreMinutes > 0) {
    if (COM_SendCommand) COM_SendCommand(UPS_CMD_SDR, static_cast<int>(ReactCountdown.restoreMinutes));
    ReactCountdown.restoreMinutes = -1;
    Log(EVT_RESTORE_SENT);
    ReactSleep(2);
  }
  if (COM_SendCommand) COM_SendCommand(UPS_CMD_SDA, static_cast<int>(ReactSetting.upsDelay), 0);
  React_PostShutdown();
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
  char command[4 * REACT_COMMAND_CHARS + 1];
  Cfg_WideToText(command, sizeof command, ReactSetting.commandFile);
  // It runs beside the loop (it may take minutes); its exit status is not
  // examined; it runs once per countdown.
  if (command[0]) Svc_StartScript(command, nullptr, nullptr);
}

// One second of the countdowns. take[r]: how many of the seconds of this
// step countdown r counts; it takes part in the seconds from `left` = take[r]
// on (left counts the step's seconds down to 1). false when a countdown
// reached zero: the step ends there.
bool CountdownSecond(uint32_t left, const uint32_t take[REACT_COUNT]) {
  ReactCountdownState& s = ReactCountdown;
  const uint8_t prevOwner = s.owner;
  const int32_t prevRemaining = s.remaining;
  bool running = false;
  uint32_t smallest = 0;
  for (int r = 0; r < REACT_COUNT; ++r) {
    if (s.countdown[r] == 0 || take[r] < left) continue;
    if (!s.cancel) {
      s.countdown[r] -= 1;
      if (s.countdown[r] == 0) {
        ReachZero();
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
    s.cancel = 0;
    s.remaining = -1;
    s.owner = 0;
    s.commandExecuted = 0;
    UpsRecord.liveStatus &= ~UpsBit(UPS_ST_SMARTSHUTDOWN);
    if (s.announced > 0) {
      s.announced = -1;
      if (!s.reachedZero) {
        Log(EVT_COUNTDOWN_ENDED);
        Wall_Broadcast(EvtDef_Level(EVT_COUNTDOWN_ENDED), EvtDef_Text(EVT_COUNTDOWN_ENDED));
      }
    }
    return true;
  }

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

void React_ToggleCancel() {
  if (ReactCountdown.cancel) {
    ReactCountdown.cancel = 0;
    Log(EVT_COUNTDOWN_RESUMED);
  } else {
    ReactCountdown.cancel = 1;
    Log(EVT_COUNTDOWN_CANCELLED);
  }
}

}  // namespace

void (*ReactSleep)(unsigned seconds) = SleepSeconds;

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
      // A delay of 0 (or below) starts no countdown.
      int32_t delay = ReactSetting.delay[r];
      if (delay > 0 && (s.countdown[r] == 0 || s.countdown[r] > static_cast<uint32_t>(delay))) {
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
  ReactOps = ReactOpsTable{Sched_CheckDue,     React_Reset,        Alarm_Process,   Alarm_CancelRepeats,
                           React_CountdownTick, React_ToggleCancel, Alarm_StopRepeats};
}

void React_Exit() {}
