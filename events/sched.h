// Weekly and date-specific schedules and the next-action planner. The
// schedule tables are the [Weekly Schedule] and [Specific Schedule]
// sections of config.ini.
#pragma once
#include <cstdint>

constexpr int SCHED_WEEKLY_COUNT = 8;
constexpr int SCHED_SPECIFIC_COUNT = 16;

// Schedule action of an entry.
enum SchedAction : uint8_t {
  SCHED_ACTION_NONE = 0,      // in a specific entry: no schedule on that date
  SCHED_ACTION_SHUTDOWN = 1,
  SCHED_ACTION_RESTORE = 2,   // restore time of the UPS after a shutdown
  SCHED_ACTION_TEST3 = 3,     // UPS self-test with argument 3
  SCHED_ACTION_TEST4 = 4,     // UPS self-test with argument 4
};

struct SchedWeeklyEntry {
  uint8_t weekdays;  // bit 0 Sunday .. bit 6 Saturday
  uint8_t hour;      // 0..23
  uint8_t minute;    // 0..59
  uint8_t action;    // SchedAction
};

struct SchedSpecificEntry {
  uint8_t year;      // year - 2000
  uint8_t month;     // 1..12
  uint8_t day;       // 1..31
  uint8_t hour;
  uint8_t minute;
  uint8_t action;    // SchedAction; 0 blocks the date
};

extern SchedWeeklyEntry SchedWeekly[SCHED_WEEKLY_COUNT];
extern SchedSpecificEntry SchedSpecific[SCHED_SPECIFIC_COUNT];

// ---- planner ---------------------------------------------------------------

// Next planned occurrence of action k + 1 (row k) within 31 days; month 0
// means nothing is planned. Read by the due check and the web pages.
struct SchedPlannedAction {
  uint8_t year;  // year - 2000
  uint8_t month;
  uint8_t day;
  uint8_t hour;
  uint8_t minute;
  uint8_t zero;
};
constexpr int SCHED_PLANNED_ROWS = 4;
constexpr int SCHED_PLAN_DAYS = 31;
extern SchedPlannedAction SchedPlanned[SCHED_PLANNED_ROWS];

struct SchedOpsTable {
  void (*Plan)();
};
extern SchedOpsTable SchedOps;

// Keeps the local-time record (the service's current local time) and fills SchedOps.
void Sched_Init(const struct tm* now);
void Sched_Exit();
// Plans all four actions from the current minute on.
void Sched_Plan();
// 1 when action (1..4) is planned on the date (full year, month, day,
// weekday 0 = Sunday); the planned row is then filled, else left cleared.
int Sched_TestDay(int year, int month, int day, int weekday, int action);
// Carries out what is planned for the current minute (reached through ReactOps).
void Sched_CheckDue();
