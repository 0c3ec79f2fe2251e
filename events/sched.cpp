// Schedules and next-action planner.
#include "events/sched.h"

#include <ctime>
#include <initializer_list>

#include "core/helpers.h"
#include "core/msg.h"
#include "events/evtlog.h"
#include "events/react.h"
#include "ups/com.h"
#include "ups/upsdata.h"

SchedWeeklyEntry SchedWeekly[SCHED_WEEKLY_COUNT];
SchedSpecificEntry SchedSpecific[SCHED_SPECIFIC_COUNT];
SchedPlannedAction SchedPlanned[SCHED_PLANNED_ROWS];
SchedOpsTable SchedOps;

namespace {

const struct tm* g_now;  // the service's current local time

constexpr int EVT_SCHEDULED_SHUTDOWN = 12;
constexpr int EVT_SCHEDULED_TEST = 14;
constexpr int32_t kRestoreMinutesMax = 65535;

struct Today {
  int year, month, day, hour, minute;
};

Today Now() {
  if (!g_now) return {0, 0, 0, 0, 0};
  return {g_now->tm_year + 1900, g_now->tm_mon + 1, g_now->tm_mday, g_now->tm_hour, g_now->tm_min};
}

// An entry at hour:minute counts on the date unless the date is today and
// that minute has passed.
bool Counts(bool today, const Today& now, int hour, int minute) {
  return !today || hour > now.hour || (hour == now.hour && minute >= now.minute);
}

void Fill(SchedPlannedAction& row, int year, int month, int day, int hour, int minute) {
  row = SchedPlannedAction{static_cast<uint8_t>(year - 2000), static_cast<uint8_t>(month), static_cast<uint8_t>(day),
                           static_cast<uint8_t>(hour), static_cast<uint8_t>(minute), 0};
}

long MinuteNumber(const SchedPlannedAction& r) {
  return static_cast<long>(Time_DayNumber(r.year + 2000, r.month, r.day)) * 1440 + r.hour * 60 + r.minute;
}

}  // namespace

int Sched_TestDay(int year, int month, int day, int weekday, int action) {
  if (action < 1 || action > SCHED_PLANNED_ROWS || weekday < 0 || weekday > 6) return 0;
  SchedPlannedAction& row = SchedPlanned[action - 1];
  row = SchedPlannedAction{};
  const Today now = Now();
  const bool today = year == now.year && month == now.month && day == now.day;
  int result = 0;

  for (const SchedWeeklyEntry& w : SchedWeekly) {
    if (!(w.weekdays & (1u << weekday)) || w.action != action) continue;
    if (!Counts(today, now, w.hour, w.minute)) continue;
    Fill(row, year, month, day, w.hour, w.minute);
    result = 1;
    break;
  }

  auto onDate = [&](const SchedSpecificEntry& s) {
    return s.year + 2000 == year && s.month == month && s.day == day;
  };
  // A blocking entry blocks the date for every action, wherever it stands.
  for (const SchedSpecificEntry& s : SchedSpecific) {
    if (onDate(s) && s.action == SCHED_ACTION_NONE) {
      row = SchedPlannedAction{};
      return 0;
    }
  }
  for (const SchedSpecificEntry& s : SchedSpecific) {
    if (!onDate(s) || s.action != action) continue;
    if (!Counts(today, now, s.hour, s.minute)) continue;
    Fill(row, year, month, day, s.hour, s.minute);
    result = 1;
    break;
  }
  return result;
}

void Sched_Plan() {
  if (!g_now) return;
  for (int action = 1; action <= SCHED_PLANNED_ROWS; ++action) {
    int year = g_now->tm_year + 1900, month = g_now->tm_mon + 1, day = g_now->tm_mday, weekday = g_now->tm_wday;
    for (int n = 0; n < SCHED_PLAN_DAYS; ++n) {
      if (Sched_TestDay(year, month, day, weekday, action)) break;
      if (++day > Time_DaysInMonth(year, month)) {
        day = 1;
        if (++month > 12) {
          month = 1;
          ++year;
        }
      }
      weekday = (weekday + 1) % 7;
    }
  }
}

void Sched_CheckDue() {
  const Today now = Now();
  auto due = [&](const SchedPlannedAction& r) {
    return r.month != 0 && r.year + 2000 == now.year && r.month == now.month && r.day == now.day &&
           r.hour == now.hour && r.minute == now.minute;
  };
  for (int action : {SCHED_ACTION_SHUTDOWN, SCHED_ACTION_TEST3, SCHED_ACTION_TEST4}) {
    const SchedPlannedAction& row = SchedPlanned[action - 1];
    if (!due(row)) continue;
    if (action != SCHED_ACTION_SHUTDOWN) {
      if (COM_SendCommand) COM_SendCommand(UPS_CMD_TST, action);
      if (EvtLogOps.Add) EvtLogOps.Add(EVT_SCHEDULED_TEST, nullptr);
      continue;
    }
    // A countdown that runs uncancelled passes the due shutdown over.
    if (ReactCountdown.remaining >= 0 && !ReactCountdown.cancel) continue;
    const SchedPlannedAction& restore = SchedPlanned[SCHED_ACTION_RESTORE - 1];
    if (restore.month != 0) {
      long minutes = MinuteNumber(restore) - MinuteNumber(row);
      ReactCountdown.restoreMinutes =
          minutes < 0 || minutes > kRestoreMinutesMax ? kRestoreMinutesMax : static_cast<int32_t>(minutes);
    } else {
      ReactCountdown.restoreMinutes = -1;
    }
    // The trigger rises afresh even when an earlier scheduled countdown was
    // cancelled and left it set.
    ReactCountdown.trigger[REACT_SCHEDULE] = 0;
    ReactCountdown.prevTrigger[REACT_SCHEDULE] = 0;
    ReactCountdown.trigger[REACT_SCHEDULE] = 1;
    if (EvtLogOps.Add) EvtLogOps.Add(EVT_SCHEDULED_SHUTDOWN, nullptr);
  }
}

void Sched_Init(const struct tm* now) {
  g_now = now;
  SchedOps = SchedOpsTable{Sched_Plan};
}

void Sched_Exit() {}
