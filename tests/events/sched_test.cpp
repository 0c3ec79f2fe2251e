// Schedules and the next-action planner with an injected local time, and
// the due check with its UPS commands, events and shutdown trigger.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "core/msg.h"
#include "core/svc.h"
#include "events/react.h"
#include "events/sched.h"
#include "support/events_fakes.h"

// gtest prints planned rows through argument-dependent lookup.
std::ostream& operator<<(std::ostream& os, const SchedPlannedAction& r) {
  return os << 2000 + r.year << "-" << int(r.month) << "-" << int(r.day) << " " << int(r.hour) << ":" << int(r.minute);
}

namespace {

enum : uint8_t { SUN = 1, MON = 2, TUE = 4, WED = 8, THU = 16, FRI = 32, SAT = 64 };

time_t g_now;
time_t FakeClock() { return g_now; }

void SetNow(int year, int month, int day, int hour, int minute) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  g_now = timegm(&tm);
  Svc_RefreshLocalTime();
}

struct Row {
  int year, month, day, hour, minute;  // year 0: nothing planned
};
bool operator==(const Row& a, const SchedPlannedAction& b) {
  if (a.year == 0) return b.month == 0 && b.year == 0 && b.day == 0 && b.hour == 0 && b.minute == 0;
  return b.year + 2000 == a.year && b.month == a.month && b.day == a.day && b.hour == a.hour && b.minute == a.minute &&
         b.zero == 0;
}

class SchedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    savedClock_ = SvcWallClock;
    SvcWallClock = FakeClock;
    Msg_Init();
    Msg_ResetForTest();
    React_Init(nullptr);
    Sched_Init(SvcLocalTime);
    InstallEventFakes();
    ReactSetting = ReactSettings{};
    for (auto& w : SchedWeekly) w = {};
    for (auto& s : SchedSpecific) s = {};
    for (auto& r : SchedPlanned) r = {};
  }
  void TearDown() override { SvcWallClock = savedClock_; }
  static void Specific(int i, int year, int month, int day, int hour, int minute, int action) {
    SchedSpecific[i] = {uint8_t(year - 2000), uint8_t(month), uint8_t(day), uint8_t(hour), uint8_t(minute),
                        uint8_t(action)};
  }

 private:
  time_t (*savedClock_)();
};

TEST_F(SchedTest, PlannerCases) {
  struct Case {
    const char* name;
    Row now;
    std::function<void()> entries;
    int action;
    Row planned;
  } cases[] = {
      {"a weekly entry at the current minute is planned today", {2024, 3, 9, 14, 30},
       [] { SchedWeekly[2] = {SAT, 14, 30, 1}; }, 1, {2024, 3, 9, 14, 30}},
      {"a minute later it moves to the next week", {2024, 3, 9, 14, 31},
       [] { SchedWeekly[2] = {SAT, 14, 30, 1}; }, 1, {2024, 3, 16, 14, 30}},
      {"on a future day the first entry in table order wins", {2024, 3, 9, 12, 0},
       [] {
         SchedWeekly[0] = {MON, 20, 0, 3};
         SchedWeekly[1] = {MON | TUE, 8, 0, 3};
       },
       3, {2024, 3, 11, 20, 0}},
      {"today a passed entry gives way to the next one", {2024, 3, 11, 10, 0},
       [] {
         SchedWeekly[0] = {MON, 8, 0, 3};
         SchedWeekly[1] = {MON, 20, 0, 3};
       },
       3, {2024, 3, 11, 20, 0}},
      {"entries of another action are not used", {2024, 3, 9, 12, 0},
       [] {
         SchedWeekly[0] = {SAT, 13, 0, 4};
         SchedWeekly[1] = {SAT, 13, 0, 9};
         SchedWeekly[2] = {SUN, 13, 0, 3};
       },
       3, {2024, 3, 10, 13, 0}},
      {"a blocked date plans nothing that day", {2024, 3, 9, 12, 0},
       [] {
         SchedWeekly[0] = {MON, 20, 0, 1};
         Specific(0, 2024, 3, 11, 0, 0, 0);
       },
       1, {2024, 3, 18, 20, 0}},
      {"a date is blocked whatever the order of its entries", {2024, 3, 9, 12, 0},
       [] {
         SchedWeekly[0] = {MON, 20, 0, 1};
         Specific(3, 2024, 3, 11, 9, 0, 1);
         Specific(7, 2024, 3, 11, 0, 0, 0);
       },
       1, {2024, 3, 18, 20, 0}},
      {"a passed specific entry today gives way to the weekly one", {2024, 3, 9, 15, 0},
       [] {
         Specific(0, 2024, 3, 9, 14, 30, 3);
         SchedWeekly[5] = {SAT, 16, 0, 3};
       },
       3, {2024, 3, 9, 16, 0}},
      {"a specific entry overrides the weekly one of its day", {2024, 3, 9, 15, 0},
       [] {
         SchedWeekly[0] = {SAT, 16, 0, 3};
         Specific(2, 2024, 3, 9, 18, 0, 3);
       },
       3, {2024, 3, 9, 18, 0}},
      {"across the year end", {2024, 12, 30, 10, 0}, [] { SchedWeekly[0] = {WED, 0, 30, 2}; }, 2,
       {2025, 1, 1, 0, 30}},
      {"the leap day", {2024, 2, 28, 10, 0}, [] { Specific(0, 2024, 2, 29, 7, 0, 4); }, 4, {2024, 2, 29, 7, 0}},
      {"the 31st day is still planned", {2024, 3, 9, 10, 0}, [] { Specific(0, 2024, 4, 8, 7, 0, 1); }, 1,
       {2024, 4, 8, 7, 0}},
      {"nothing within 31 days", {2024, 3, 9, 10, 0}, [] { Specific(0, 2024, 4, 9, 7, 0, 1); }, 1, {0, 0, 0, 0, 0}},
      {"no entries", {2024, 3, 9, 10, 0}, nullptr, 1, {0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    SetNow(c.now.year, c.now.month, c.now.day, c.now.hour, c.now.minute);
    if (c.entries) c.entries();
    SchedOps.Plan();
    EXPECT_TRUE(c.planned == SchedPlanned[c.action - 1]) << SchedPlanned[c.action - 1];
    TearDown();
  }
  SetUp();
}

TEST_F(SchedTest, DueSelfTests) {
  SetNow(2024, 3, 9, 2, 0);
  SchedWeekly[0] = {SAT, 2, 0, 3};
  SchedWeekly[1] = {SAT, 2, 0, 4};
  SchedWeekly[2] = {SAT, 2, 1, 4};
  SchedOps.Plan();
  ReactOps.CheckDue();
  EXPECT_EQ(g_commands, (std::vector<SentCommand>{{UPS_CMD_TST, {3}}, {UPS_CMD_TST, {4}}}));
  EXPECT_EQ(LoggedCodes(), (std::vector<int>{14, 14}));
  // Nothing is due in a minute without an entry.
  g_commands.clear();
  SetNow(2024, 3, 9, 2, 2);
  SchedOps.Plan();
  ReactOps.CheckDue();
  EXPECT_TRUE(g_commands.empty());
}

TEST_F(SchedTest, RestoreMinutesOfADueShutdown) {
  struct {
    const char* name;
    Row shutdown, restore;
    int32_t minutes;
  } cases[] = {
      {"across the year end", {2024, 12, 31, 23, 30}, {2025, 1, 1, 0, 30}, 60},
      {"90 minutes later", {2024, 3, 9, 22, 0}, {2024, 3, 9, 23, 30}, 90},
      {"restore before the shutdown", {2024, 3, 9, 22, 0}, {2024, 3, 9, 21, 0}, 65535},
      {"more than 65535 minutes later", {2024, 3, 9, 22, 0}, {2024, 5, 9, 22, 0}, 65535},
      {"no restore planned", {2024, 3, 9, 22, 0}, {0, 0, 0, 0, 0}, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    SetNow(c.shutdown.year, c.shutdown.month, c.shutdown.day, c.shutdown.hour, c.shutdown.minute);
    auto fill = [](SchedPlannedAction& r, const Row& x) {
      if (x.year) r = {uint8_t(x.year - 2000), uint8_t(x.month), uint8_t(x.day), uint8_t(x.hour), uint8_t(x.minute), 0};
    };
    fill(SchedPlanned[0], c.shutdown);
    fill(SchedPlanned[1], c.restore);
    ReactCountdown.restoreMinutes = 12345;
    ReactOps.CheckDue();
    EXPECT_EQ(ReactCountdown.restoreMinutes, c.minutes);
    EXPECT_EQ(ReactCountdown.trigger[REACT_SCHEDULE], 1);
    EXPECT_EQ(LoggedCodes(), std::vector<int>{12});
    TearDown();
  }
  SetUp();
}

TEST_F(SchedTest, ADueShutdownWaitsForNoRunningCountdown) {
  ReactSetting.enable[REACT_SCHEDULE] = 1;
  ReactSetting.delay[REACT_SCHEDULE] = 600;
  ReactSetting.enable[REACT_POWER_FAIL] = 1;
  ReactSetting.delay[REACT_POWER_FAIL] = 300;
  SchedWeekly[0] = {SAT, 22, 0, 1};
  SetNow(2024, 3, 9, 22, 0);
  SchedOps.Plan();

  // An uncancelled countdown passes the due shutdown over.
  ReactCountdown.trigger[REACT_POWER_FAIL] = 1;
  React_TriggerStep();
  ReactOps.CountdownTick(1);
  ReactOps.CheckDue();
  EXPECT_EQ(ReactCountdown.trigger[REACT_SCHEDULE], 0);

  // A cancelled one does not.
  ReactOps.ToggleCancel();
  g_logged.clear();
  ReactOps.CheckDue();
  EXPECT_EQ(ReactCountdown.trigger[REACT_SCHEDULE], 1);
  EXPECT_EQ(LoggedCodes(), std::vector<int>{12});
  React_TriggerStep();
  EXPECT_EQ(ReactCountdown.cancel, 0);
  EXPECT_EQ(ReactCountdown.countdown[REACT_SCHEDULE], 600u);
  EXPECT_EQ(ReactCountdown.countdown[REACT_POWER_FAIL], 0u);
}

TEST_F(SchedTest, ALatchedScheduleTriggerDoesNotBlockTheNextShutdown) {
  ReactSetting.enable[REACT_SCHEDULE] = 1;
  ReactSetting.delay[REACT_SCHEDULE] = 120;
  SchedWeekly[0] = {SAT, 22, 0, 1};
  auto dueAt = [](int day) {
    SetNow(2024, 3, day, 22, 0);
    SchedOps.Plan();
    ReactOps.CheckDue();
    React_TriggerStep();
    ReactOps.CountdownTick(1);
  };
  // A scheduled countdown that reached zero leaves its trigger set (the
  // host script ran, but the host is still up).
  dueAt(2);
  ASSERT_EQ(ReactCountdown.remaining, 119);
  for (int i = 0; i < 120; ++i) ReactOps.CountdownTick(1);
  ASSERT_EQ(ReactCountdown.remaining, -1);
  ASSERT_EQ(ReactCountdown.trigger[REACT_SCHEDULE], 1);
  ReactOps.HostScriptEnded(0);

  // A week later the schedule is due again and its countdown starts.
  dueAt(9);
  EXPECT_EQ(ReactCountdown.remaining, 119);
  EXPECT_EQ(ReactCountdown.owner, REACT_SCHEDULE + 1);

  // An operator cancels it and never resumes: the next due shutdown starts
  // afresh instead of finding the trigger still set.
  ReactOps.ToggleCancel();
  for (int i = 0; i < 5; ++i) ReactOps.CountdownTick(1);
  dueAt(16);
  EXPECT_EQ(ReactCountdown.cancel, 0);
  EXPECT_EQ(ReactCountdown.remaining, 119);
}

}  // namespace
