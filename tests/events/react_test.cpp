// Shutdown reactions and countdowns: triggers, announcements, the end of
// a countdown with its UPS commands, cancel and resume, the user command
// and the smart-shutdown bit.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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

struct timespec g_mono;
void FakeMono(struct timespec* now) { *now = g_mono; }
void AdvanceMs(long ms) {
  long long ns = g_mono.tv_nsec + ms * 1000000LL;
  g_mono.tv_sec += ns / 1000000000LL;
  g_mono.tv_nsec = ns % 1000000000LL;
}
long g_startMs;  // the fake clock's time when the test's timeline began
long NowMs() { return static_cast<long>(g_mono.tv_sec * 1000 + g_mono.tv_nsec / 1000000) - g_startMs; }

// The UPS's commands not yet answered, as the link manager counts them.
int g_pending;
int FakePending() { return g_pending; }
long g_givenAt;  // when the last one was given

// UPS commands in order. With g_timed each carries the time it was given
// ("SDR 90 @0") and is pending until the test answers it.
std::vector<std::string> g_sequence;
bool g_timed;
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
  if (!g_timed) return;
  g_sequence.back() += " @" + std::to_string(NowMs());
  // Not answered yet, as the link manager counts it.
  ++g_pending;
  g_givenAt = NowMs();
}

// The link manager's drop of kept commands: (mask, why) of each call.
std::vector<std::pair<uint64_t, std::string>> g_drops;
int RecordDrop(uint64_t mask, const char* why) {
  g_drops.emplace_back(mask, why);
  return 0;
}
using Drops = std::vector<std::pair<uint64_t, std::string>>;

class ReactTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    Msg_Init();
    Msg_ResetForTest();
    React_Init(nullptr);
    InstallEventFakes();
    g_sequence.clear();
    g_timed = false;
    if (SvcMonoClock != FakeMono) savedMono_ = SvcMonoClock;
    SvcMonoClock = FakeMono;
    g_mono = {100, 0};
    g_startMs = 0;
    g_startMs = NowMs();
    g_pending = 0;
    shutdownAt = -1;
    userCommands_ = 0;
    ComOps.CommandsPending = FakePending;
    g_drops.clear();
    ComOps.DropCommands = RecordDrop;
    ComSlot.link[0] = COM_LINK_TILDE;
    UpsRecord = UpsRecordType{};
    for (int32_t& v : UpsRecord.values) v = -1;
    ReactSetting = ReactSettings{};
    ReactSetting.notifyEnable = 1;
    ReactSetting.upsDelay = 120;
    for (char*& t : EvtCommonEvents.text) free(t), t = nullptr;
    EvtCommonEvents = {};
    SetText(6, "System will shut down in %s", 2);
    SetText(7, "Shutdown countdown ended without shutdown", 1);
    SetText(4, "Shutdown countdown cancelled from the web", 2);
    SetText(5, "Shutdown countdown resumed from the web", 1);
    // The broadcast script appends each notice to walls.txt.
    fs::create_directories(Path("command"));
    WriteScript("command/command.wall", "cat '" + TmpPath("TMP_BROAD.DAT") + "' >> '" + Path("walls.txt") + "'\n");
  }
  void TearDown() override {
    ScratchTest::TearDown();  // reaps the scripts first
    for (char*& t : EvtCommonEvents.text) free(t), t = nullptr;
    SvcMonoClock = savedMono_;
    ComOps.CommandsPending = nullptr;
    ComOps.DropCommands = nullptr;
    ComSlot.link[0] = COM_LINK_NONE;
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

  // The loop on the fake clock for ms: every 100 ms the ended scripts are
  // reaped and the end of a countdown stepped, every second (on the whole
  // second) the alarm processing's edge step and a countdown second.
  // `each` runs before every step; shutdownAt notes the host script's message.
  void Run(long ms, const std::function<void()>& each = {}) {
    for (long t = 0; t < ms; t += 100) {
      AdvanceMs(100);
      if (each) each();
      // Short scripts (the broadcasts) end within their step of the fake clock.
      for (int i = 0; i < 2000 && Svc_ReapScripts() > userCommands_; ++i) usleep(1000);
      if (NowMs() % 1000 == 0) Second();
      ReactOps.ZeroStep();
      WatchShutdown();
    }
  }
  // When the shutdown message was first posted (fake ms), or -1.
  long shutdownAt = -1;
  void WatchShutdown() {
    if (shutdownAt < 0 && ShutdownMessages() > 0) shutdownAt = NowMs();
  }
  // A user command that runs until the file "stop" exists.
  void UserCommandUntilStopped(int32_t before) {
    UserCommand("while [ ! -e '" + Path("stop") + "' ]; do sleep 0.01; done\n", before);
    userCommands_ = 1;
  }
  void StopUserCommand() {
    Scratch_WriteFile(Path("stop"), "");
    Scratch_WaitScripts();
    userCommands_ = 0;
  }
  std::vector<LoggedEvent> FreeTexts() {
    std::vector<LoggedEvent> out;
    for (const LoggedEvent& e : g_logged)
      if (e.code == -1) out.push_back(e);
    return out;
  }

 private:
  void (*savedMono_)(struct timespec*) = nullptr;
  int userCommands_ = 0;  // user commands a test keeps running
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

// After a hold of the loop the step gets every second elapsed at once: each
// is counted in order, and a countdown started since the last step counts
// only the seconds since its own start.
TEST_F(ReactTest, SecondsElapsedInOneStepAreCountedInOrder) {
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
      // The command started in the step that reached zero: the end waits.
      {"crossing the lead time and zero: command, then the end", 20, 3, -1, 30, -1, true, {6, 8, -1}},
      {"started just before the step: one second", 30, 0, 50, 10, 29, false, {6}},
      {"started 2.1 s before a 3-second step: three", 30, 0, 2100, 3, 27, false, {6}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
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
    EXPECT_EQ(ShutdownMessages(), 0u);
    Scratch_WaitScripts();
    ReactOps.ZeroStep();
    EXPECT_EQ(ShutdownMessages(), c.remaining < 0 ? 1u : 0u);
    EXPECT_EQ(fs::exists(marker), c.commandRan);
    TearDown();
  }
  SetUp();
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
  // The consoles that heard the announcement hear the cancel and the resume;
  // the resumed countdown is not announced again.
  EXPECT_EQ(Walls(), (std::vector<std::string>{"System will shut down in 04:59",
                                                "Shutdown countdown cancelled from the web",
                                                "Shutdown countdown resumed from the web"}));
  // The explicit operations do only what applies.
  EXPECT_EQ(ReactOps.Resume(REACT_BY_WEB), 0);
  EXPECT_EQ(ReactOps.Cancel(REACT_BY_WEB), 1);
  EXPECT_EQ(ReactOps.Cancel(REACT_BY_WEB), 0);
  EXPECT_EQ(ReactOps.Resume(REACT_BY_WEB), 1);
  EXPECT_EQ(LoggedCodes(), (std::vector<int>{6, 4, 5, 4, 5}));
  // The agent's cancel and resume follow the same rule; their records name it.
  EXPECT_EQ(ReactOps.Resume(REACT_BY_SNMP), 0);
  EXPECT_EQ(ReactOps.Cancel(REACT_BY_SNMP), 1);
  EXPECT_EQ(ReactOps.CancelState(), REACT_CANCEL_CANCELLED);
  EXPECT_EQ(ReactOps.Resume(REACT_BY_SNMP), 1);
  EXPECT_EQ(ReactOps.CancelState(), REACT_CANCEL_RUNNING);
  EXPECT_EQ(FreeTexts(), (std::vector<LoggedEvent>{{-1, {"2", "Shutdown countdown cancelled through SNMP"}},
                                                   {-1, {"1", "Shutdown countdown resumed through SNMP"}}}));
  EXPECT_EQ(Walls().size(), 7u);

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

  // Without a running countdown there is nothing to cancel: neither the
  // toggle nor the cancel sets the flag, and nothing is logged.
  ReactOps.Reset();
  Second();
  const size_t logged = g_logged.size();
  EXPECT_EQ(ReactOps.CancelState(), REACT_CANCEL_NOTHING);
  ReactOps.ToggleCancel();
  EXPECT_EQ(ReactCountdown.cancel, 0);
  EXPECT_EQ(ReactOps.Cancel(REACT_BY_WEB), 0);
  EXPECT_EQ(ReactCountdown.cancel, 0);
  EXPECT_EQ(g_logged.size(), logged);
}

// At zero the UPS is told, each command awaited until the UPS has answered
// it (while the link stands, for 5 s at most), the restore command followed
// by its 2-s pause; the host script comes last. The loop runs meanwhile.
TEST_F(ReactTest, TheUpsIsToldInOrderBeforeTheHostScript) {
  struct {
    const char* what;
    bool link;
    long answerMs;  // the UPS answers each command this long after it was given; -1 never
    int32_t restore;
    std::vector<std::string> sequence;  // with the times, ms after zero
    long shutdownAt;                    // the host script's message is posted
  } cases[] = {
      {"restore and shutdown, each answered in 300 ms", true, 300, 90, {"SDR 90 @0", "SDA 120,0 @2300"}, 2600},
      {"shutdown only, answered in 300 ms", true, 300, -1, {"SDA 120,0 @0"}, 300},
      {"the UPS never answers: 5 s for each", true, -1, 90, {"SDR 90 @0", "SDA 120,0 @7000"}, 12000},
      {"no link at zero: the driver keeps them", false, -1, 90, {"SDR 90 @0", "SDA 120,0 @2000"}, 2000},
      {"no link, shutdown only", false, -1, -1, {"SDA 120,0 @0"}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    g_timed = true;
    ComOps.SendCommand = RecordCommandInSequence;
    ComSlot.link[0] = c.link ? COM_LINK_TILDE : COM_LINK_NONE;
    Enable(REACT_SCHEDULE, 3);
    ReactCountdown.restoreMinutes = c.restore;
    ReactCountdown.trigger[REACT_SCHEDULE] = 1;
    auto ups = [&] {
      if (c.answerMs >= 0 && g_pending > 0 && NowMs() >= g_givenAt + c.answerMs) --g_pending;
    };
    Run(2900, ups);
    g_startMs += 3000;  // times from the zero on
    Run(14100, ups);
    EXPECT_EQ(g_sequence, c.sequence);
    EXPECT_EQ(shutdownAt, c.shutdownAt);
    EXPECT_EQ(ShutdownMessages(), 1u);
    EXPECT_EQ(LoggedCodes(), c.restore > 0 ? std::vector<int>({6, 8, 18}) : std::vector<int>({6, 8}));
    EXPECT_EQ(ReactCountdown.restoreMinutes, -1);
    // Once the script is on its way the countdown is over, and ended with a shutdown.
    EXPECT_EQ(ReactCountdown.remaining, -1);
    TearDown();
  }
  SetUp();
}

// A user command still running at zero is waited for (the wait is logged
// with the command), and the UPS is told once it has ended; a power return
// meanwhile changes nothing, the zero has passed.
TEST_F(ReactTest, TheEndWaitsForTheUserCommand) {
  ComOps.SendCommand = RecordCommandInSequence;
  UserCommandUntilStopped(5);
  Enable(REACT_POWER_FAIL, 10);
  ReactCountdown.trigger[REACT_POWER_FAIL] = 1;
  Run(10000);
  ASSERT_EQ(LoggedCodes(), (std::vector<int>{6, 8, -1}));
  EXPECT_EQ(FreeTexts(), (std::vector<LoggedEvent>{
                             {-1, {"2", "Waiting up to 120 s for the user command to end before the shutdown: " +
                                            Path("user.sh")}}}));
  ReactCountdown.trigger[REACT_POWER_FAIL] = 0;
  Run(30000);
  EXPECT_TRUE(g_sequence.empty());
  EXPECT_EQ(ShutdownMessages(), 0u);
  // At 0 the whole time, not "ended without shutdown".
  EXPECT_EQ(ReactCountdown.remaining, 0);
  EXPECT_EQ(ReactCountdown.owner, 1);
  StopUserCommand();
  Run(100);
  EXPECT_EQ(g_sequence, (std::vector<std::string>{"SDA 120,0"}));
  EXPECT_EQ(ShutdownMessages(), 1u);
  Run(2000);
  EXPECT_EQ(LoggedCodes(), (std::vector<int>{6, 8, -1}));
  EXPECT_EQ(ReactCountdown.remaining, -1);
}

// The wait is bounded: 120 s (time cancelled not counted), or at once when
// the UPS reports the battery low; either cut is logged with the command.
TEST_F(ReactTest, TheWaitForAUserCommandIsBounded) {
  const std::string cut = "The user command has not ended within 120 s: the shutdown goes on: ";
  const std::string low = "The battery is low: the shutdown goes on while the user command still runs: ";
  struct {
    const char* what;
    std::function<void()> during;  // after 10 s of waiting
    long waitedMs;                           // the script's message, ms after zero
    std::string why;
  } cases[] = {
      {"a command that never ends", [] {}, 120000, cut},
      {"cancelled for a minute on the way", [this] {
         ReactOps.ToggleCancel();
         Run(60000);
         ReactOps.ToggleCancel();
       }, 180000, cut},
      {"the battery runs low", [] { UpsRecord.shownStatus |= UpsBit(UPS_ST_BATTLOW); }, 10000, low},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    UserCommandUntilStopped(5);
    Enable(REACT_POWER_FAIL, 10);
    ReactCountdown.trigger[REACT_POWER_FAIL] = 1;
    Run(9900);
    g_startMs += 10000;  // times from the zero on
    Run(10000);
    c.during();
    Run(200000);
    EXPECT_NEAR(shutdownAt, c.waitedMs, 100);
    ASSERT_FALSE(FreeTexts().empty());
    EXPECT_EQ(FreeTexts().back(), (LoggedEvent{-1, {"2", c.why + Path("user.sh")}}));
    EXPECT_EQ(g_commands, (std::vector<SentCommand>{{UPS_CMD_SDA, {120, 0}}}));
    StopUserCommand();
    TearDown();
  }
  SetUp();
  // Already low at zero: no wait at all.
  UpsRecord.shownStatus |= UpsBit(UPS_ST_BATTLOW);
  UserCommandUntilStopped(5);
  Enable(REACT_BATTERY_LOW, 10);
  ReactCountdown.trigger[REACT_BATTERY_LOW] = 1;
  Run(10000);
  EXPECT_EQ(shutdownAt, 10000);
  EXPECT_EQ(FreeTexts(), (std::vector<LoggedEvent>{{-1, {"2", low + Path("user.sh")}}}));
  StopUserCommand();
}

// A cancel during the wait freezes it as it freezes a countdown: nothing
// goes to the UPS even once the command has ended, the flag holds across
// seconds, and the resume goes on; a new condition during the cancel starts
// afresh. Once the UPS is being told, the shutdown can no longer be cancelled.
TEST_F(ReactTest, CancelDuringTheWaitForTheUserCommand) {
  UserCommandUntilStopped(5);
  Enable(REACT_POWER_FAIL, 10);
  Enable(REACT_OVERLOAD, 30);
  ReactCountdown.trigger[REACT_POWER_FAIL] = 1;
  Run(12000);
  EXPECT_EQ(ReactOps.Cancel(REACT_BY_WEB), 1);
  StopUserCommand();
  Run(5000);
  EXPECT_EQ(ReactCountdown.cancel, 1);
  EXPECT_EQ(ReactCountdown.remaining, 0);
  EXPECT_TRUE(g_commands.empty());
  EXPECT_EQ(ShutdownMessages(), 0u);
  EXPECT_EQ(ReactOps.Resume(REACT_BY_WEB), 1);
  Run(100);
  EXPECT_EQ(g_commands.size(), 1u);
  EXPECT_EQ(ShutdownMessages(), 1u);
  EXPECT_EQ(LoggedCodes(), (std::vector<int>{6, 8, -1, 4, 5}));

  // Afresh: an overload during a cancelled wait.
  SetUp();
  UserCommandUntilStopped(5);
  Enable(REACT_POWER_FAIL, 10);
  Enable(REACT_OVERLOAD, 30);
  ReactCountdown.trigger[REACT_POWER_FAIL] = 1;
  Run(12000);
  ReactOps.ToggleCancel();
  ReactCountdown.trigger[REACT_OVERLOAD] = 1;
  Run(1000);
  EXPECT_EQ(ReactCountdown.cancel, 0);
  EXPECT_EQ(ReactCountdown.owner, 3);
  EXPECT_EQ(ReactCountdown.remaining, 29);
  StopUserCommand();
  Run(20000);
  EXPECT_TRUE(g_commands.empty());  // the discarded zero sends nothing
  Run(10000);
  EXPECT_EQ(g_commands.size(), 1u);
  EXPECT_EQ(ShutdownMessages(), 1u);

  // Too late: the UPS never answers the shutdown command, so the end stays
  // in its accept wait, where neither cancel takes.
  SetUp();
  g_pending = 1;
  Enable(REACT_POWER_FAIL, 2);
  ReactCountdown.trigger[REACT_POWER_FAIL] = 1;
  Run(3000);
  ASSERT_EQ(g_commands.size(), 1u);
  EXPECT_EQ(ReactOps.CancelState(), REACT_CANCEL_UNDER_WAY);
  EXPECT_EQ(ReactOps.Cancel(REACT_BY_WEB), 0);
  EXPECT_EQ(ReactOps.Cancel(REACT_BY_SNMP), 0);
  ReactOps.ToggleCancel();
  EXPECT_EQ(ReactCountdown.cancel, 0);
  ReactCountdown.trigger[REACT_OVERLOAD] = 1;
  Run(5000);
  EXPECT_EQ(ShutdownMessages(), 1u);
  EXPECT_EQ(LoggedCodes(), (std::vector<int>{6, 8}));
  // The host script is on its way: no countdown is shown, none to cancel.
  EXPECT_EQ(ReactCountdown.remaining, -1);
  EXPECT_EQ(ReactOps.CancelState(), REACT_CANCEL_NOTHING);
}

// A cancel during the wait at zero ends, as a cancelled countdown does,
// once the condition that started it has cleared (whichever came first):
// the countdown is over, the log and the consoles say the shutdown was
// called off, nothing goes to the UPS, and neither a later resume nor the
// command's end brings it back.
TEST_F(ReactTest, ACancelledWaitAtZeroEndsWhenItsConditionClears) {
  for (bool clearFirst : {false, true}) {
    SCOPED_TRACE(clearFirst ? "the power returns, then the cancel" : "the cancel, then the power returns");
    SetUp();
    UserCommandUntilStopped(5);
    Enable(REACT_POWER_FAIL, 10);
    ReactCountdown.trigger[REACT_POWER_FAIL] = 1;
    Run(12000);
    ASSERT_EQ(LoggedCodes(), (std::vector<int>{6, 8, -1}));
    if (clearFirst) {
      ReactCountdown.trigger[REACT_POWER_FAIL] = 0;
      Run(3000);
      EXPECT_EQ(ReactCountdown.remaining, 0);  // the zero has passed: it still waits
      EXPECT_EQ(ReactOps.Cancel(REACT_BY_WEB), 1);
    } else {
      EXPECT_EQ(ReactOps.Cancel(REACT_BY_WEB), 1);
      Run(3000);
      EXPECT_EQ(ReactCountdown.remaining, 0);  // frozen at zero
      EXPECT_TRUE(g_drops.empty());
      ReactCountdown.trigger[REACT_POWER_FAIL] = 0;
    }
    Run(1000);
    EXPECT_EQ(ReactCountdown.remaining, -1);
    EXPECT_EQ(ReactCountdown.owner, 0);
    EXPECT_EQ(ReactCountdown.cancel, 0);
    EXPECT_EQ(ReactOps.CancelState(), REACT_CANCEL_NOTHING);
    EXPECT_EQ(LoggedCodes(), (std::vector<int>{6, 8, -1, 4, 7}));
    EXPECT_EQ(Walls().back(), "Shutdown countdown ended without shutdown");
    EXPECT_EQ(g_drops, (Drops{{UPS_CMD_SDR | UPS_CMD_SDA, "The shutdown was called off"}}));
    EXPECT_EQ(ReactOps.Resume(REACT_BY_WEB), 0);
    StopUserCommand();
    Run(30000);
    EXPECT_TRUE(g_commands.empty());
    EXPECT_EQ(ShutdownMessages(), 0u);
    EXPECT_EQ(LoggedCodes(), (std::vector<int>{6, 8, -1, 4, 7}));
    // The next power failure is a countdown of its own, announced anew.
    ReactCountdown.trigger[REACT_POWER_FAIL] = 1;
    Run(1000);
    EXPECT_EQ(ReactCountdown.remaining, 9);
    EXPECT_EQ(g_logged.back(), (LoggedEvent{6, {"09"}}));
    TearDown();
  }
  // The zero had ended the other countdowns: a condition that still holds
  // when the shutdown is called off starts its own again, in full.
  SetUp();
  UserCommandUntilStopped(5);
  Enable(REACT_POWER_FAIL, 10);
  Enable(REACT_OVERLOAD, 40);
  ReactCountdown.trigger[REACT_POWER_FAIL] = 1;
  ReactCountdown.trigger[REACT_OVERLOAD] = 1;
  Run(12000);
  ASSERT_EQ(ReactCountdown.countdown[REACT_OVERLOAD], 0u);
  EXPECT_EQ(ReactOps.Cancel(REACT_BY_WEB), 1);
  ReactCountdown.trigger[REACT_POWER_FAIL] = 0;
  Run(1000);
  EXPECT_EQ(ReactCountdown.owner, REACT_OVERLOAD + 1);
  EXPECT_EQ(ReactCountdown.remaining, 39);
  EXPECT_EQ(ReactCountdown.cancel, 0);
  EXPECT_EQ(LoggedCodes(), (std::vector<int>{6, 8, -1, 4, 7, 6}));
  StopUserCommand();
}

// From zero until the host script has ended no countdown starts or reaches
// zero, so the UPS gets one shutdown command and one script is asked for.
// After a resume from hibernation the commands a lost link still keeps are
// dropped and what the UPS still reports starts its countdowns afresh, as
// at start; after a shutdown or power-off script nothing is dropped.
TEST_F(ReactTest, NothingOfTheEndOutlivesTheHostScript) {
  for (bool resumed : {true, false}) {
    SCOPED_TRACE(resumed ? "the host resumed from hibernation" : "the shutdown script ended");
    SetUp();
    Enable(REACT_POWER_FAIL, 5);
    Enable(REACT_BATTERY_LOW, 20);
    Enable(REACT_OVERLOAD, 30);
    UpsRecord.shownStatus = UpsBit(UPS_ST_ACFAIL) | UpsBit(UPS_ST_DISCHARGING);
    ReactCountdown.trigger[REACT_POWER_FAIL] = 1;
    Run(6000);
    ASSERT_EQ(ShutdownMessages(), 1u);
    ASSERT_EQ(g_commands.size(), 1u);
    // The battery runs low while the host script runs: no second zero.
    UpsRecord.shownStatus |= UpsBit(UPS_ST_BATTLOW);
    ReactCountdown.trigger[REACT_BATTERY_LOW] = 1;
    Run(30000);
    EXPECT_EQ(ReactCountdown.remaining, -1);
    EXPECT_EQ(g_commands.size(), 1u);
    EXPECT_EQ(ShutdownMessages(), 1u);
    EXPECT_EQ(LoggedCodes(), (std::vector<int>{6, 8}));

    ReactOps.HostScriptEnded(resumed ? 1 : 0);
    Run(1000);
    if (resumed) {
      EXPECT_EQ(g_drops, (Drops{{UPS_CMD_SDR | UPS_CMD_SDA, "The host has resumed from hibernation"}}));
      // Still on battery and low: both countdowns start with their delays.
      EXPECT_EQ(ReactCountdown.countdown[REACT_BATTERY_LOW], 19u);
      EXPECT_EQ(ReactCountdown.remaining, 4);
      EXPECT_EQ(ReactCountdown.owner, 1);
      EXPECT_EQ(LoggedCodes(), (std::vector<int>{6, 8, 6}));
      Run(5000);
      EXPECT_EQ(ShutdownMessages(), 2u);  // a new end, with its own zero
      EXPECT_EQ(LoggedCodes(), (std::vector<int>{6, 8, 6, 8}));
    } else {
      EXPECT_TRUE(g_drops.empty());
      EXPECT_EQ(ReactCountdown.remaining, -1);
      // A condition that begins now starts its countdown.
      ReactCountdown.trigger[REACT_OVERLOAD] = 1;
      Run(1000);
      EXPECT_EQ(ReactCountdown.remaining, 29);
    }
    TearDown();
  }
  SetUp();
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
  UserCommand("sleep 1; echo ended > '" + marker + "'\n", 120);
  Enable(REACT_POWER_FAIL, 100);
  ReactCountdown.trigger[REACT_POWER_FAIL] = 1;
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 100; ++i) Second();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(800));
  EXPECT_FALSE(fs::exists(marker));  // still running beside the countdown
  EXPECT_EQ(ShutdownMessages(), 0u);  // which waits for it at zero
  Scratch_WaitScripts();
  EXPECT_EQ(Scratch_ReadFile(marker), "ended\n");
  ReactOps.ZeroStep();
  EXPECT_EQ(ShutdownMessages(), 1u);
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
