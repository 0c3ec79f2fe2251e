// Shutdown reactions and countdowns: power failure, battery low, overload,
// bypass and scheduled shutdown, each with an enable setting and a delay,
// the user command and the smart-shutdown trap lead time. The settings of
// the [Shutdown] and [Reaction] sections of config.ini live here.
#pragma once
#include <cstdint>
#include <cwchar>

constexpr int REACT_COUNT = 5;

// Reaction index r: the order of the enable and delay settings.
enum ReactIndex : int {
  REACT_POWER_FAIL = 0,
  REACT_BATTERY_LOW = 1,
  REACT_OVERLOAD = 2,
  REACT_BYPASS = 3,
  REACT_SCHEDULE = 4,
};

// "Type=": what the end of a countdown does to the host.
enum ReactShutdownType : uint8_t {
  REACT_TYPE_SHUTDOWN = 0,
  REACT_TYPE_POWEROFF = 1,
  REACT_TYPE_HIBERNATE = 2,
};

constexpr int REACT_COMMAND_CHARS = 256;

struct ReactSettings {
  uint8_t type;                    // "Type=", ReactShutdownType
  int32_t upsDelay;                // "UPS Delay=", seconds sent with the delayed shutdown
  uint8_t enable[REACT_COUNT];     // "Power Fail Enable=" ... "Schedule Shutdown Enable="
  int32_t delay[REACT_COUNT];      // "Power Fail Delay=" ... "Schedule Shutdown Delay=", seconds
  uint8_t notifyEnable;            // "Notify Message Enable="
  uint16_t notifyPeriod;           // "Notify Message Period=", seconds; 0 no repeat
  uint8_t commandEnable;           // "Execute Command Enable="
  int32_t commandBefore;           // "Execute Command Before=", seconds
  wchar_t commandFile[REACT_COMMAND_CHARS + 1];  // "Execute Command File="
  uint8_t smartTrapEnable;         // "Send Smart Shutdown Trap Enable="
  int32_t smartTrapBefore;         // "Send Smart Shutdown Trap Before=", seconds
};
extern ReactSettings ReactSetting;

// ---- shutdown countdown ----------------------------------------------------

// The countdown state; the web status page and the SNMP agent's own objects
// read remaining, owner and the cancel flag in place (the agent also sets
// and clears the cancel flag).
struct ReactCountdownState {
  uint8_t cancel;                   // non-zero: the countdowns are frozen by an operator
  int32_t remaining;                // seconds left of the smallest running countdown; -1 none
  uint8_t owner;                    // reaction index + 1 of that countdown; 0 none
  uint8_t prevTrigger[REACT_COUNT]; // trigger values seen by the last edge step
  uint8_t trigger[REACT_COUNT];     // current triggers, set by the alarm processing and the schedules
  uint32_t countdown[REACT_COUNT];  // seconds left per reaction; 0 not running
  uint8_t commandExecuted;          // the user command ran for the present countdown
  int32_t restoreMinutes;           // minutes until the UPS restores its output; -1 none
  int32_t announced;                // remaining time when announced; -1 not announced
  uint8_t reachedZero;              // a countdown reached zero since one last ran
  // Monotonic milliseconds at which a countdown was started since the last
  // countdown step; -1 none. After a hold of the loop a countdown counts
  // only the seconds since its own start.
  int64_t startMs[REACT_COUNT];
};
extern ReactCountdownState ReactCountdown;

// The reaction operations; the main loop reaches the alarm processing and
// the schedule due check through them too.
struct ReactOpsTable {
  void (*CheckDue)();               // Sched_CheckDue, once a minute
  void (*Reset)();                  // React_Reset
  void (*AlarmProcess)();           // Alarm_Process, once a second
  void (*CancelRepeats)();          // Alarm_CancelRepeats, after a hibernation resume
  // React_CountdownTick: once a second, with the seconds elapsed since the
  // last step (more than 1 after a hold of the loop; each is counted in order).
  void (*CountdownTick)(uint32_t seconds);
  void (*ToggleCancel)();           // React_ToggleCancel: resumes a cancelled countdown, else cancels
  void (*StopRepeats)();            // Alarm_StopRepeats
  // The end of a countdown that has reached zero, stepped by the loop every
  // 100 ms (after the link step): the wait for a user command still running,
  // the restore and delayed-shutdown commands, each awaited until the UPS
  // has answered it, then the host script (MSG_OS_SHUTDOWN).
  void (*ZeroStep)();
  // Cancel a running countdown, resume a cancelled one (ReactCancelBy: who
  // asks); each logs and broadcasts what it did. 1 when done, 0 when
  // CancelState did not allow it (nothing changed).
  int (*Cancel)(uint8_t by);
  int (*Resume)(uint8_t by);
  // What a cancel or a resume would do now (ReactCancelState): the one rule
  // that the web, the SNMP agent and ToggleCancel follow.
  uint8_t (*CancelState)();
  // The host script of MSG_OS_SHUTDOWN has ended (or could not be started,
  // or "Type=" names none); resumed: the host has resumed from hibernation.
  // Until then no countdown starts or reaches zero. After a resume nothing
  // of the earlier end is carried out: the restore and delayed-shutdown
  // commands still kept for a lost link are dropped, and the conditions the
  // UPS still reports start their countdowns afresh, as at start.
  void (*HostScriptEnded)(uint8_t resumed);
};

enum ReactCancelState : uint8_t {
  REACT_CANCEL_NOTHING,    // no countdown runs: nothing to cancel or resume
  REACT_CANCEL_RUNNING,    // a countdown runs, or zero waits for the user command: it can be cancelled
  REACT_CANCEL_CANCELLED,  // frozen by an operator: it can be resumed
  REACT_CANCEL_UNDER_WAY,  // zero is past its wait: the UPS is being told, the host script follows
};
enum ReactCancelBy : uint8_t { REACT_BY_WEB, REACT_BY_SNMP };
extern ReactOpsTable ReactOps;

// Keeps the local-time record, clears the repeat ids of the alarm
// processing and the countdown state, and fills ReactOps.
void React_Init(const struct tm* now);
void React_Exit();
// The per-second trigger edge step (run by Alarm_Process).
void React_TriggerStep();

// The bounds of the end of a countdown. A user command still running at
// zero is waited for up to REACT_COMMAND_WAIT_S seconds (cancelled time not
// counted), and not at all once the UPS reports the battery low or
// depleted; a command given to the UPS is awaited while the link stands, up
// to REACT_ACCEPT_WAIT_MS; the restore command is followed by a pause of
// REACT_RESTORE_PAUSE_MS before the delayed shutdown.
constexpr int REACT_COMMAND_WAIT_S = 120;
constexpr int REACT_ACCEPT_WAIT_MS = 5000;
constexpr int REACT_RESTORE_PAUSE_MS = 2000;
