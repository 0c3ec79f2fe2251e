// Schedules and next-action planner.
#include "events/sched.h"

SchedWeeklyEntry SchedWeekly[SCHED_WEEKLY_COUNT];
SchedSpecificEntry SchedSpecific[SCHED_SPECIFIC_COUNT];
