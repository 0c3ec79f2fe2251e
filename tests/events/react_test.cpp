// Shutdown reactions and countdowns: triggers, announcements, the end of
// a countdown with its UPS commands, cancel and resume, the user command
// and the smart-shutdown bit.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>

#include "core/msg.h"
#include "core/svc.h"
#include "events/alarm.h"
#include "events/evtdef.h"
#include "events/react.h"
#include "support/events_fakes.h"
#include "support/scratch.h"
#include "ups/upsdata.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> g_sequence;  // UPS commands and pauses in order
void RecordSleep(unsigned s) { g_sequence.push_back("sleep " + std::to_string(s)); }
void RecordCommandInSequence(uint64_t code, ...) {
  va_list ap;
  va_start(ap, code);
  int a = va_arg(ap, int);
  std::string name = code == UPS_CMD_SDR ? "SDR" : code == UPS_CMD_SDA ? "SDA" : "other";
  if (code == UPS_CMD_SDA) {
    int b = va_arg(ap, int);
    name += " " + std::to_string(a) + "," + std::to_string(b);
  } else {
    name += " " + std::to_string(a);
  }
  va_end(ap);
  g_sequence.push_back(name);
}

class ReactTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    Msg_Init();
    Msg_ResetForTest();
    React_Init(nullptr);
    InstallEventFakes();
    g_sequence.clear();
    ReactSleep = RecordSleep;
    UpsRecord = UpsRecordType{};
    for (int32_t& v : UpsRecord.values) v = -1;
    ReactSetting = ReactSettings{};
    ReactSetting.notifyEnable = 1;
    ReactSetting.upsDelay = 120;
    for (char*& t : EvtCommonEvents.text) free(t), t = nullptr;
    EvtCommonEvents = {};
    SetText(6, "System will shut down in %s", 2);
    SetText(7, "Shutdown countdown ended without shutdown", 1);
    // The broadcast script appends each notice to walls.txt.
    fs::create_directories(Path("command"));
    WriteScript("command/command.wall", "cat '" + TmpPath("TMP_BROAD.DAT") + "' >> '" + Path("walls.txt") + "'\n");
  }
  void TearDown() override {
    for (char*& t : EvtCommonEvents.text) free(t), t = nullptr;
    ReactSleep = savedSleep_;
    ScratchTest::TearDown();
  }
  static void SetText(int code, const char* text, uint8_t level) {
    EvtCommonEvents.text[code] = strdup(text);
    EvtCommonEvents.level[code] = level;
  }
  void WriteScript(const std::string& rel, const std::string& body) {
    Scratch_WriteFile(Path(rel), "#!/bin/sh\n" + body);
    chmod(Path(rel).c_str(), 0755);
  }
  // The user command: a script with this body, run `before` seconds ahead.
  void UserCommand(const std::string& body, int32_t before) {
    WriteScript("user.sh", body);
    swprintf(ReactSetting.commandFile, REACT_COMMAND_CHARS, L"%s", Path("user.sh").c_str());
    ReactSetting.commandEnable = 1;
    ReactSetting.commandBefore = before;
  }
  void Enable(int r, int32_t delay) {
    ReactSetting.enable[r] = 1;
    ReactSetting.delay[r] = delay;
  }
  // The alarm processing's edge step, then one countdown second.
  void Second() {
    React_TriggerStep();
    ReactOps.CountdownTick(1);
  }
  std::vector<std::string> Walls() {
    Scratch_WaitScripts();
    std::vector<std::string> out;
    std::string text = Scratch_ReadFile(Path("walls.txt"));
    for (size_t pos = 0; pos < text.size();) {
      size_t end = text.find('\n', pos);
      // Drop the date and the product name: "mm/dd/yyyy hh:mm:ss <Brisvane>: "
      std::string line = text.substr(pos, end - pos);
      out.push_back(line.substr(line.find(">: ") + 3));
      pos = end + 1;
    }
    return out;
  }
  size_t ShutdownMessages() {
    size_t n = 0;
    for (const QueuedMessage& m : DelayedMessages()) n += m.code == MSG_OS_SHUTDOWN && m.countdown == 1;
    return n;
  }

 private:
  void (*savedSleep_)(unsigned) = ReactSleep;
};

TEST_F(ReactTest, CountdownIsAnnouncedOnceAndItsEndIsNoticed) {
  Enable(REACT_POWER_FAIL, 300);
  ReactCountdown.trigger[REACT_POWER_FAIL] = 1;
  Second();
  EXPECT_EQ(ReactCountdown.remaining, 299);
  EXPECT_EQ(ReactCountdown.owner, 1);
  EXPECT_EQ(g_logged, (std::vector<LoggedEvent>{{6, {"04:59"}}}));
  for (int i = 0; i < 10; ++i) Second();
  EXPECT_EQ(ReactCountdown.remaining, 289);
  EXPECT_EQ(g_logged.size(), 1u);

  // Power returns: the announced countdown ends with a notice.
  ReactCountdown.trigger[REACT_POWER_FAIL] = 0;
  Second();
  EXPECT_EQ(ReactCountdown.remaining, -1);
  EXPECT_EQ(ReactCountdown.owner, 0);
  EXPECT_EQ(LoggedCodes(), (std::vector<int>{6, 7}));
  EXPECT_EQ(Walls(), (std::vector<std::string>{"System will shut down in 04:59",
                                                "Shutdown countdown ended without shutdown"}));
  EXPECT_EQ(ShutdownMessages(), 0u);
  Second();
  EXPECT_EQ(g_logged.size(), 2u);
}

TEST_F(ReactTest, AnnouncedRemainingTime) {
  struct {
    int32_t delay;
    const char* text;
  } cases[] = {{2, "01"}, {60, "59"}, {61, "01:00"}, {3600, "59:59"}, {3601, "01:00:00"}, {90062, "25:01:01"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.delay);
    SetUp();
    Enable(REACT_BYPASS, c.delay);
    ReactCountdown.trigger[REACT_BYPASS] = 1;
    Second();
    EXPECT_EQ(g_logged, (std::vector<LoggedEvent>{{6, {c.text}}}));
    TearDown();
  }
  SetUp();
}

TEST_F(ReactTest, TheSmallestCountdownWinsAndOnlyOneShutdownFollows) {
  Enable(REACT_POWER_FAIL, 300);
  Enable(REACT_BATTERY_LOW, 30);
  ReactCountdown.trigger[REACT_POWER_FAIL] = 1;
  for (int i = 0; i < 5; ++i) Second();
  EXPECT_EQ(ReactCountdown.owner, 1);
  ReactCountdown.trigger[REACT_BATTERY_LOW] = 1;
  Second();
  EXPECT_EQ(ReactCountdown.remaining, 29);
  EXPECT_EQ(ReactCountdown.owner, 2);
  ComOps.SendCommand = RecordCommandInSequence;
  for (int i = 0; i < 29; ++i) Second();
  // The shorter countdown that took over is announced as the first one was.
  EXPECT_EQ(g_logged, (std::vector<LoggedEvent>{{6, {"04:59"}}, {6, {"29"}}, {8, {}}}));
  EXPECT_EQ(Walls(), (std::vector<std::string>{"System will shut down in 04:59", "System will shut down in 29"}));
  EXPECT_EQ(g_sequence, (std::vector<std::string>{"SDA 120,0"}));
  EXPECT_EQ(ShutdownMessages(), 1u);
  // The power-fail countdown, which had time left, ends with it: no second
  // UPS command and no second shutdown.
  for (int i = 0; i < 400; ++i) Second();
  EXPECT_EQ(g_sequence.size(), 1u);
  EXPECT_EQ(ShutdownMessages(), 1u);
  EXPECT_EQ(ReactCountdown.remaining, -1);
  EXPECT_EQ(LoggedCodes(), (std::vector<int>{6, 6, 8}));  // no "ended without shutdown"
  // The triggers stay set: the countdowns do not start again.
  EXPECT_EQ(ReactCountdown.trigger[REACT_POWER_FAIL], 1);
}

struct timespec g_mono;
void FakeMono(struct timespec* now) { *now = g_mono; }
void AdvanceMs(long ms) {
  long long ns = g_mono.tv_nsec + ms * 1000000LL;
  g_mono.tv_sec += ns / 1000000000LL;
  g_mono.tv_nsec = ns % 1000000000LL;
}

// After a hold of the loop the step gets every second elapsed at once: each
// is counted in order, and a countdown started since the last step counts
// only the seconds since its own start.
TEST_F(ReactTest, SecondsElapsedInOneStepAreCountedInOrder) {
  void (*saved)(struct timespec*) = SvcMonoClock;
  struct {
    const char* what;
    int32_t delay;
    int runFirst;       // ordinary seconds before the hold
    long startedAgoMs;  // the trigger rises this long before the step (-1: with the first second)
    uint32_t seconds;   // seconds in the step after the hold
    int32_t remaining;  // afterwards; -1: reached zero (the shutdown follows)
    bool commandRan;
    std::vector<int> logged;
  } cases[] = {
      {"a running countdown counts all 10 seconds", 300, 5, -1, 10, 285, false, {6}},
      {"crossing the user command's lead time", 20, 5, -1, 10, 5, true, {6}},
      {"crossing the lead time and zero: command, then the end", 20, 3, -1, 30, -1, true, {6, 8}},
      {"started just before the step: one second", 30, 0, 50, 10, 29, false, {6}},
      {"started 2.1 s before a 3-second step: three", 30, 0, 2100, 3, 27, false, {6}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    SvcMonoClock = FakeMono;
    g_mono = {100, 0};
    const std::string marker = Path("command-ran");
    UserCommand("echo ran >> '" + marker + "'\n", 10);
    Enable(REACT_POWER_FAIL, c.delay);
    ReactCountdown.trigger[REACT_POWER_FAIL] = 1;
    if (c.startedAgoMs < 0) {
      for (int i = 0; i < c.runFirst; ++i) {
        Second();
        AdvanceMs(1000);
      }
      AdvanceMs(static_cast<long>(c.seconds - 1) * 1000);
    } else {
      React_TriggerStep();
      AdvanceMs(c.startedAgoMs);
    }
    ReactOps.CountdownTick(c.seconds);
    if (c.remaining >= 0) {
      EXPECT_EQ(ReactCountdown.remaining, c.remaining);
    }
    EXPECT_EQ(LoggedCodes(), c.logged);
    EXPECT_EQ(ShutdownMessages(), c.remaining < 0 ? 1u : 0u);
    Scratch_WaitScripts();
    EXPECT_EQ(fs::exists(marker), c.commandRan);
    TearDown();
  }
  SetUp();
  SvcMonoClock = saved;
}

TEST_F(ReactTest, CancelFreezesAndANewConditionStartsAfresh) {
  Enable(REACT_POWER_FAIL, 300);
  Enable(REACT_OVERLOAD, 60);
  ReactCountdown.trigger[REACT_POWER_FAIL] = 1;
  for (int i = 0; i < 10; ++i) Second();
  ASSERT_EQ(ReactCountdown.remaining, 290);
  ReactOps.ToggleCancel();
  EXPECT_EQ(ReactCountdown.cancel, 1);
  for (int i = 0; i < 10; ++i) Second();
  EXPECT_EQ(ReactCountdown.remaining, 290);
  EXPECT_EQ(ReactCountdown.countdown[REACT_POWER_FAIL], 290u);
  ReactOps.ToggleCancel();
  Second();
  EXPECT_EQ(ReactCountdown.remaining, 289);
  EXPECT_EQ(LoggedCodes(), (std::vector<int>{6, 4, 5}));

  // An overload during a cancelled countdown discards the power-fail one.
  ReactOps.ToggleCancel();
  ReactCountdown.trigger[REACT_OVERLOAD] = 1;
  Second();
  EXPECT_EQ(ReactCountdown.cancel, 0);
  EXPECT_EQ(ReactCountdown.countdown[REACT_POWER_FAIL], 0u);
  EXPECT_EQ(ReactCountdown.trigger[REACT_POWER_FAIL], 0);
  EXPECT_EQ(ReactCountdown.remaining, 59);
  EXPECT_EQ(ReactCountdown.owner, 3);
  // The countdown that started afresh is announced as a new one.
  EXPECT_EQ(g_logged.back(), (LoggedEvent{6, {"59"}}));

  // Cancel without a running countdown: the next second clears the flag.
  ReactOps.Reset();
  Second();
  ReactOps.ToggleCancel();
  Second();
  EXPECT_EQ(ReactCountdown.cancel, 0);
}

TEST_F(ReactTest, ScheduledShutdownWithARestoreTime) {
  Enable(REACT_SCHEDULE, 2);
  ReactCountdown.restoreMinutes = 90;
  ReactCountdown.trigger[REACT_SCHEDULE] = 1;
  ComOps.SendCommand = RecordCommandInSequence;
  Second();
  EXPECT_TRUE(g_sequence.empty());
  Second();
  EXPECT_EQ(LoggedCodes(), (std::vector<int>{6, 8, 18}));
  EXPECT_EQ(g_sequence, (std::vector<std::string>{"SDR 90", "sleep 2", "SDA 120,0"}));
  EXPECT_EQ(ReactCountdown.restoreMinutes, -1);
  EXPECT_EQ(ShutdownMessages(), 1u);
}

TEST_F(ReactTest, TheUserCommandRunsOnceBeforeItsLeadTime) {
  const std::string marker = Path("command-ran");
  UserCommand("echo ran >> '" + marker + "'\n", 120);
  Enable(REACT_POWER_FAIL, 300);
  ReactCountdown.trigger[REACT_POWER_FAIL] = 1;
  for (int i = 0; i < 180; ++i) Second();
  EXPECT_EQ(ReactCountdown.remaining, 120);
  Scratch_WaitScripts();
  EXPECT_FALSE(fs::exists(marker));
  Second();
  Scratch_WaitScripts();
  EXPECT_EQ(Scratch_ReadFile(marker), "ran\n");
  ReactOps.ToggleCancel();
  Second();
  ReactOps.ToggleCancel();
  for (int i = 0; i < 50; ++i) Second();
  Scratch_WaitScripts();
  EXPECT_EQ(Scratch_ReadFile(marker), "ran\n");
  // A new countdown runs it again.
  ReactCountdown.trigger[REACT_POWER_FAIL] = 0;
  Second();
  ReactCountdown.trigger[REACT_POWER_FAIL] = 1;
  for (int i = 0; i < 200; ++i) Second();
  Scratch_WaitScripts();
  EXPECT_EQ(Scratch_ReadFile(marker), "ran\nran\n");
}

TEST_F(ReactTest, TheUserCommandDoesNotHoldTheCountdown) {
  const std::string marker = Path("command-ended");
  UserCommand("sleep 2; echo ended > '" + marker + "'\n", 120);
  Enable(REACT_POWER_FAIL, 100);
  ReactCountdown.trigger[REACT_POWER_FAIL] = 1;
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 100; ++i) Second();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
  EXPECT_EQ(ShutdownMessages(), 1u);
  EXPECT_FALSE(fs::exists(marker));  // still running beside the countdown
  Scratch_WaitScripts();
  EXPECT_EQ(Scratch_ReadFile(marker), "ended\n");
}

TEST_F(ReactTest, DisabledReactionsAndEmptyDelays) {
  ReactSetting.delay[REACT_OVERLOAD] = 60;  // not enabled
  ReactCountdown.trigger[REACT_OVERLOAD] = 1;
  Second();
  EXPECT_EQ(ReactCountdown.remaining, -1);
  // Enabling it while the overload lasts starts nothing ...
  ReactSetting.enable[REACT_OVERLOAD] = 1;
  Second();
  EXPECT_EQ(ReactCountdown.remaining, -1);
  // ... until the condition ends and begins again.
  ReactCountdown.trigger[REACT_OVERLOAD] = 0;
  Second();
  ReactCountdown.trigger[REACT_OVERLOAD] = 1;
  Second();
  EXPECT_EQ(ReactCountdown.remaining, 59);

  for (int32_t delay : {0, -5}) {
    SCOPED_TRACE(delay);
    ReactOps.Reset();
    Second();
    Enable(REACT_BYPASS, delay);
    ReactCountdown.trigger[REACT_BYPASS] = 1;
    Second();
    EXPECT_EQ(ReactCountdown.countdown[REACT_BYPASS], 0u);
    EXPECT_EQ(ReactCountdown.remaining, -1);
  }
}

TEST_F(ReactTest, SmartShutdownBitNearAScheduledShutdown) {
  ReactSetting.smartTrapEnable = 1;
  ReactSetting.smartTrapBefore = 60;
  Enable(REACT_SCHEDULE, 100);
  Enable(REACT_POWER_FAIL, 50);
  // Not for other reactions.
  ReactCountdown.trigger[REACT_POWER_FAIL] = 1;
  Second();
  EXPECT_FALSE(UpsRecord.liveStatus & UpsBit(UPS_ST_SMARTSHUTDOWN));
  ReactOps.Reset();
  Second();
  ReactCountdown.trigger[REACT_SCHEDULE] = 1;
  for (int i = 0; i < 40; ++i) Second();
  EXPECT_EQ(ReactCountdown.remaining, 60);
  EXPECT_FALSE(UpsRecord.liveStatus & UpsBit(UPS_ST_SMARTSHUTDOWN));
  Second();
  EXPECT_TRUE(UpsRecord.liveStatus & UpsBit(UPS_ST_SMARTSHUTDOWN));
  ReactOps.Reset();
  Second();
  EXPECT_FALSE(UpsRecord.liveStatus & UpsBit(UPS_ST_SMARTSHUTDOWN));
}

TEST_F(ReactTest, SecondsOnBattery) {
  UpsRecord.shownStatus = UpsBit(UPS_ST_ONBATTERY);
  UpsRecord.values[VAL_ONBATTTIME] = 0;
  for (int i = 0; i < 3; ++i) ReactOps.CountdownTick(1);
  EXPECT_EQ(UpsRecord.values[VAL_ONBATTTIME], 3);
  UpsRecord.shownStatus = 0;
  ReactOps.CountdownTick(1);
  EXPECT_EQ(UpsRecord.values[VAL_ONBATTTIME], 0);
}

}  // namespace
