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
