// The dispatcher's event messages (broadcasts, host shutdown, language,
// outlets), the once-a-second and once-a-minute event work, and the events
// of signals and of the stop sequence.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

#include "core/msg.h"
#include "core/svc.h"
#include "core/cfg.h"
#include "events/alarm.h"
#include "events/dlog.h"
#include "events/evtdef.h"
#include "events/evtlog.h"
#include "events/mail.h"
#include "events/react.h"
#include "events/sched.h"
#include "events/sms.h"
#include "snmp/snmpagent.h"
#include "web/httpd.h"
#include "support/events_fakes.h"
#include "support/scratch.h"
#include "ups/upsdata.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> g_calls;
void CallAlarm() { g_calls.push_back("alarm"); }
void CallWolTick() { g_calls.push_back("wol tick"); }
void CallWolOpen() { g_calls.push_back("wol open"); }
void CallCountdown(uint32_t n) { g_calls.push_back("countdown " + std::to_string(n)); }
void CallPlan() { g_calls.push_back("plan"); }
void CallDue() { g_calls.push_back("due"); }
void CallBattery() { g_calls.push_back("battery"); }
void CallReset() { g_calls.push_back("react reset"); }
void CallCancelRepeats() { g_calls.push_back("cancel repeats"); }
void CallHostScriptEnded(uint8_t resumed) { g_calls.push_back(resumed ? "resumed" : "host script ended"); }
int CallLoad(const char* dir) {
  g_calls.push_back(std::string("load ") + dir);
  return 1;
}

struct timespec g_mono;
void FakeMono(struct timespec* now) { *now = g_mono; }
void Advance(long ms) {
  g_mono.tv_sec += ms / 1000;
  g_mono.tv_nsec += (ms % 1000) * 1000000;
  if (g_mono.tv_nsec >= 1000000000) g_mono.tv_sec += 1, g_mono.tv_nsec -= 1000000000;
}
double MonoSeconds() { return g_mono.tv_sec + g_mono.tv_nsec / 1e9; }

class SvcEventsTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    savedMono_ = SvcMonoClock;
    SvcMonoClock = FakeMono;
    g_mono = {7000, 0};
    Svc_ResetTickRef();
    Msg_Init();
    Msg_ResetForTest();
    React_Init(nullptr);
    InstallEventFakes();
    g_calls.clear();
    ReactSetting = ReactSettings{};
    ReactSetting.notifyEnable = 1;
    memset(UpsRecord.pfOutletMsg, MSG_NONE, sizeof UpsRecord.pfOutletMsg);
    memset(UpsRecord.blOutletMsg, MSG_NONE, sizeof UpsRecord.blOutletMsg);
    fs::create_directories(Path("command"));
  }
  void TearDown() override {
    for (char*& t : EvtUpsEvents.text) free(t), t = nullptr;
    SvcMonoClock = savedMono_;
    ScratchTest::TearDown();
  }
  void (*savedMono_)(struct timespec*) = nullptr;
  void Script(const char* name, const std::string& body) {
    Scratch_WriteFile(Path(std::string("command/") + name), "#!/bin/sh\n" + body);
    chmod(Path(std::string("command/") + name).c_str(), 0755);
  }
  // A script that leaves a marker line in ran.txt.
  void MarkerScript(const char* name) { Script(name, std::string("echo ") + name + " >> '" + Path("ran.txt") + "'\n"); }
  static void Dispatch(uint8_t code, uint8_t p0 = 0, uint8_t p1 = 0, uint8_t p2 = 0) {
    const uint8_t p[4] = {p0, p1, p2, 0};
    Svc_Dispatch(code, p);
  }
};

TEST_F(SvcEventsTest, OsShutdownRunsTheScriptOfItsType) {
  struct {
    uint8_t type;
    const char* script;    // installed; null: none
    const char* ran;       // ran.txt afterwards
    std::vector<LoggedEvent> logged;
  } cases[] = {
      {0, "command.shutdown", "command.shutdown\n", {}},
      {1, "command.poweroff", "command.poweroff\n", {}},
      {0, nullptr, "", {{-1, {"3", "Can't run the command.shutdown!"}}}},
      {1, nullptr, "", {{-1, {"3", "Can't run the command.poweroff!"}}}},
      {2, nullptr, "", {{-1, {"3", "Can't run the command.hibernate!"}}, {0, {}}}},
      {3, "command.shutdown", "", {}},
      {255, "command.shutdown", "", {}},
  };
  ReactOps.HostScriptEnded = CallHostScriptEnded;
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.type));
    fs::remove_all(Path("command"));
    fs::create_directories(Path("command"));
    fs::remove(Path("ran.txt"));
    g_logged.clear();
    g_calls.clear();
    if (c.script) MarkerScript(c.script);
    ReactSetting.type = c.type;
    Dispatch(MSG_OS_SHUTDOWN);
    Scratch_WaitScripts();
    EXPECT_EQ(Scratch_ReadFile(Path("ran.txt")), c.ran);
    EXPECT_EQ(g_logged, c.logged);
    // The reactions hear of every end: a script's, one that could not run, none to run.
    EXPECT_EQ(g_calls, (std::vector<std::string>{c.type == 2 ? "resumed" : "host script ended"}));
  }
}

// The hibernation script runs beside the loop: what was closed before it
// stays closed while it runs (the 5-s message does not reopen it), the
// resume work waits for its end, and a shutdown message meanwhile is not
// carried out after the resume (the host is on its way already).
TEST_F(SvcEventsTest, HibernationKeepsItsOrderWhileTheLoopRuns) {
  Script("command.hibernate", "echo hibernate >> '" + Path("ran.txt") + "'\nwhile [ ! -e '" + Path("resumed") +
                                  "' ]; do sleep 0.01; done\n");
  ReactSetting.type = REACT_TYPE_HIBERNATE;
  ReactOps.Reset = CallReset;
  ReactOps.CancelRepeats = CallCancelRepeats;
  ReactOps.HostScriptEnded = CallHostScriptEnded;
  SnmpAgentOpsTable savedAgent = SnmpAgentOps;
  SnmpAgentOps.CloseSockets = [] { g_calls.push_back("snmp close"); };
  SnmpAgentOps.OpenSockets = [] { g_calls.push_back("snmp open"); };
  HttpdOpsTable savedHttpd = HttpdOps;
  HttpdOps.Stop = [] { g_calls.push_back("web stop"); };
  HttpdOps.Start = [](int, int, uint8_t, uint8_t) { g_calls.push_back("web start"); };
  WolOps.Open = CallWolOpen;
  ComOps.ScanPorts = [] {};
  ComOps.Detect = [] {};
  SvcSystemInfo.uptime = 12345;
  Dispatch(MSG_OS_SHUTDOWN);
  EXPECT_TRUE(fs::exists(Path("config.ini")));  // saved before the host sleeps
  for (int i = 0; i < 1000 && !fs::exists(Path("ran.txt")); ++i) usleep(1000);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Svc_ReapScripts(), 1);
    Dispatch(MSG_TICK_5S);
  }
  Dispatch(MSG_OS_SHUTDOWN);  // comes while the host sleeps
  EXPECT_EQ(g_calls, (std::vector<std::string>{"web stop", "snmp close", "wol open", "wol open", "wol open",
                                               "wol open", "wol open"}));
  EXPECT_EQ(SvcSystemInfo.uptime, 12345u);
  EXPECT_TRUE(g_logged.empty());

  // The host resumes: the resume work, and no second hibernation.
  g_calls.clear();
  Scratch_WriteFile(Path("resumed"), "");
  for (int i = 0; i < 2000 && Svc_ReapScripts() > 0; ++i) usleep(1000);
  Scratch_WaitScripts();
  Dispatch(MSG_TICK_5S);
  SnmpAgentOps = savedAgent;
  HttpdOps = savedHttpd;
  EXPECT_EQ(Scratch_ReadFile(Path("ran.txt")), "hibernate\n");
  EXPECT_EQ(g_calls, (std::vector<std::string>{"cancel repeats", "react reset", "resumed", "snmp open", "web start",
                                               "wol open"}));
  EXPECT_EQ(SvcSystemInfo.uptime, 0u);
  EXPECT_EQ(g_logged, (std::vector<LoggedEvent>{{0, {}}}));
}

TEST_F(SvcEventsTest, BroadcastMessagesNameAUpsEvent) {
  Script("command.wall", "cat '" + TmpPath("TMP_BROAD.DAT") + "' >> '" + Path("shown.txt") + "'\n");
  EvtUpsEvents.text[2] = strdup("Utility power failure");
  EvtUpsEvents.text[189] = strdup("Last entry %s");
  Dispatch(MSG_WALL, 1, 2);
  Dispatch(MSG_WALL_REPEAT, 1, 189);
  Dispatch(MSG_WALL, 1, 190);  // outside the table: nothing
  Dispatch(MSG_WALL, 1, 255);
  Scratch_WaitScripts();
  std::string shown = Scratch_ReadFile(Path("shown.txt"));
  EXPECT_NE(shown.find("<Brisvane>: Utility power failure\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("<Brisvane>: Last entry %s\n"), std::string::npos) << shown;
  EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 2);
}

TEST_F(SvcEventsTest, OutletMessages) {
  struct {
    uint8_t p0, p1;
    std::vector<SentCommand> sent;
  } cases[] = {
      {1, 3, {{UPS_CMD_RON, {3, 1}}}}, {0, 8, {{UPS_CMD_ROF, {8, 1}}}}, {0, 1, {{UPS_CMD_ROF, {1, 1}}}},
      {0, 0, {}},                      {1, 9, {}},                      {2, 1, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.p0) + "/" + std::to_string(c.p1));
    g_commands.clear();
    Dispatch(MSG_OUTLET, c.p0, c.p1);
    EXPECT_EQ(g_commands, c.sent);
  }
  // The delivered message's id is no longer kept as pending.
  UpsRecord.pfOutletMsg[4] = 17;
  UpsRecord.blOutletMsg[4] = 18;
  MsgCurrent.id = 17;
  Dispatch(MSG_OUTLET, 0, 5);
  EXPECT_EQ(UpsRecord.pfOutletMsg[4], MSG_NONE);
  EXPECT_EQ(UpsRecord.blOutletMsg[4], 18);
}

TEST_F(SvcEventsTest, LanguageMessageLoadsTheNewLanguage) {
  EvtDefOpsTable saved = EvtDefOps;
  EvtDefOps.Load = CallLoad;
  EvtDefOps.Free = nullptr;  // the old texts stay until the new ones are read
  for (uint8_t lang : {3, 1, 0}) {
    CfgLanguage = lang;
    Dispatch(MSG_LANGUAGE);
  }
  EvtDefOps = saved;
  CfgLanguage = 0;
  EXPECT_EQ(g_calls, (std::vector<std::string>{"load Polish", "load Traditional Chinese", "load English"}));
}

TEST_F(SvcEventsTest, SecondAndMinuteWork) {
  ReactOps.AlarmProcess = CallAlarm;
  ReactOps.CountdownTick = CallCountdown;
  ReactOps.CheckDue = CallDue;
  WolOps.Tick = CallWolTick;
  WolOps.Open = CallWolOpen;
  SchedOpsTable savedSched = SchedOps;
  SchedOps.Plan = CallPlan;
  UpsRecord.CheckBattReplace = CallBattery;
  DLogOpsTable savedDLog = DLogOps;
  DLogOps.Sample = [] { g_calls.push_back("dlog sample"); };
  DLogOps.ExportTick = [] { g_calls.push_back("dlog export"); };
  ComOps.ScanPorts = [] {};
  ComOps.Detect = [] {};
  SvcLastMinute = 61;
  Advance(1000);
  Dispatch(MSG_TICK_1S);
  Dispatch(MSG_CLOCK_1S);
  Advance(1000);
  Dispatch(MSG_CLOCK_1S);  // the same minute: no minute work
  Dispatch(MSG_TICK_5S);
  SchedOps = savedSched;
  DLogOps = savedDLog;
  EXPECT_EQ(g_calls, (std::vector<std::string>{"alarm", "wol tick", "countdown 1", "dlog sample", "dlog export",
                                               "battery", "plan", "due", "countdown 1", "dlog sample", "wol open"}));
}

void CallMail(int kind, int index, const char* serial, const char* model, ...) {
  va_list ap;
  va_start(ap, model);
  const char* extra = va_arg(ap, const char*);
  va_end(ap);
  g_calls.push_back("mail " + std::to_string(kind) + "/" + std::to_string(index) + " " + serial + " " + model +
                    (extra ? " +args" : ""));
}
void CallSendAll() { g_calls.push_back("send mail"); }
void CallSmsStep(int pdu) { g_calls.push_back("sms step " + std::to_string(pdu)); }

TEST_F(SvcEventsTest, NotificationMessages) {
  MailOps.AddEvent = CallMail;
  MailOps.SendAll = CallSendAll;
  SmsOps.Step = CallSmsStep;
  WolOps.Open = CallWolOpen;
  ComOps.Poll = [] { return uint8_t{COM_LINK_NONE}; };
  ComOps.ScanPorts = [] {};
  ComOps.Detect = [] {};
  snprintf(UpsRecord.serial, sizeof UpsRecord.serial, "SN7");
  snprintf(UpsRecord.model, sizeof UpsRecord.model, "M7");
  for (uint8_t lang : {0, 3}) {
    CfgLanguage = lang;  // a language other than English sends PDUs
    Dispatch(MSG_TICK_100MS);
  }
  CfgLanguage = 0;
  Dispatch(MSG_TICK_5S);
  Dispatch(MSG_TEST_MAIL);
  MailOps = MailOpsTable{};
  SmsOps = SmsOpsTable{};
  EXPECT_EQ(g_calls, (std::vector<std::string>{"sms step 0", "sms step 1", "wol open", "send mail", "mail 0/34 SN7 M7"}));
  EXPECT_TRUE(g_logged.empty());  // the test mail is not logged
}

// The loop as the daemon runs it (the clock messages in the queue, the tick
// conversion, the dispatcher, the real alarm processing and countdown),
// turned every 10 ms of a fake monotonic clock, with one hold of the loop.
// A 30-s power-fail countdown with the user command 10 s before its end.
TEST_F(SvcEventsTest, AHeldLoopNeitherLengthensNorSkipsTheCountdown) {
  struct {
    const char* what;
    double failAt;          // the power fails (the live status word), seconds after start
    double holdAt, holdFor;  // the loop is held
    double shutdownAt;       // when the shutdown script runs, within 0.2 s
    bool waits;              // the end waits for the user command
  } cases[] = {
      // The alarm second that sees the failure starts the countdown and its
      // first second; zero 29 s later; the script one tick after that.
      {"no hold", 2, 0, 0, 2 + 29.1, false},
      {"10-s hold during the countdown", 2, 10, 10, 2 + 29.1, false},
      // The user command starts in the step that reaches zero: the end waits
      // for it, until the next turn.
      {"100-s hold past the end of the countdown", 2, 10, 100, 110.2, true},
      // Seen only after the hold: the countdown starts then, whole.
      {"the failure comes during a 100-s hold", 9.95, 10, 100, 110 + 29.1, false},
  };
  MarkerScript("command.shutdown");
  MarkerScript("command.ESX5");
  static int polls;
  polls = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Msg_ResetForTest();
    React_Init(nullptr);
    g_logged.clear();
    fs::remove(Path("ran.txt"));
    ReactSetting = ReactSettings{};
    ReactSetting.enable[REACT_POWER_FAIL] = 1;
    ReactSetting.delay[REACT_POWER_FAIL] = 30;
    ReactSetting.commandEnable = 1;
    ReactSetting.commandBefore = 10;
    swprintf(ReactSetting.commandFile, REACT_COMMAND_CHARS, L"%s", Path("command/command.ESX5").c_str());
    UpsRecord = UpsRecordType{};
    UpsRecord.CheckBattReplace = [] {};
    ComOps.Poll = [] {
      ++polls;
      return uint8_t{COM_LINK_NONE};
    };
    ComOps.ScanPorts = [] {};
    ComOps.Detect = [] {};
    g_mono = {7000, 0};
    SvcSeconds = 0;
    MsgOps.PostRepeating(MSG_TICK_1S, 10, MSG_REPEAT_FOREVER);
    MsgOps.PostRepeating(MSG_TICK_100MS, 1, MSG_REPEAT_FOREVER);
    MsgOps.PostRepeating(MSG_CLOCK_1S, 10, MSG_REPEAT_FOREVER);
    MsgOps.PostRepeating(MSG_TICK_5S, 50, MSG_REPEAT_FOREVER);
    Svc_ResetTickRef();
    const double start = MonoSeconds();
    double shutdown = -1, held = -1;
    int pollsBeforeHold = 0;
    bool failed = false, hold = c.holdFor > 0;
    while (shutdown < 0 && MonoSeconds() - start < 300) {
      const double t = MonoSeconds() - start;
      if (!failed && t >= c.failAt) {
        UpsRecord.liveStatus |= UpsBit(UPS_ST_ACFAIL) | UpsBit(UPS_ST_DISCHARGING);
        failed = true;
      }
      if (hold && t >= c.holdAt) {
        hold = false;
        pollsBeforeHold = polls;
        Advance(static_cast<long>(c.holdFor * 1000));
        held = MonoSeconds() - start;
      }
      Svc_Step();
      Scratch_WaitScripts();  // each script ends within its turn of the fake clock
      if (held >= 0 && MonoSeconds() - start < held + 0.05) {
        EXPECT_LE(polls - pollsBeforeHold, 1) << "link steps replayed after the hold";
      }
      if (fs::exists(Path("ran.txt")) && Scratch_ReadFile(Path("ran.txt")).find("shutdown") != std::string::npos)
        shutdown = MonoSeconds() - start;
      Advance(10);
    }
    Scratch_WaitScripts();
    EXPECT_NEAR(shutdown, c.shutdownAt, 0.2);
    // The user command ran once, before the shutdown script; the countdown
    // was announced before it reached zero; the seconds counter is real time.
    std::vector<std::string> ran = Scratch_Lines(Scratch_ReadFile(Path("ran.txt")));
    std::sort(ran.begin(), ran.end());
    EXPECT_EQ(ran, (std::vector<std::string>{"command.ESX5", "command.shutdown"}));
    EXPECT_EQ(LoggedCodes(), c.waits ? std::vector<int>({6, 8, -1}) : std::vector<int>({6, 8}));
    EXPECT_EQ(SvcSeconds, static_cast<int32_t>(MonoSeconds() - start));
  }
}

TEST_F(SvcEventsTest, SigintIsLoggedAtTheEndOfTheTurn) {
  Signal_Handler(SIGINT);
  EXPECT_TRUE(g_logged.empty());
  Svc_ProcessSignals();
  EXPECT_EQ(g_logged, (std::vector<LoggedEvent>{{36, {"SIGINT"}}}));
  Svc_ProcessSignals();
  EXPECT_EQ(g_logged.size(), 1u);
}

// The stop sequence and the fault signals end the process: they run in a
// child, which logs into the scratch event log that the test then reads.
class SvcEventsDeathTest : public SvcEventsTest {
 protected:
  void SetUp() override {
    SvcEventsTest::SetUp();
    EvtCommonEvents.text[1] = strdup("Stopped");
    EvtCommonEvents.text[36] = strdup("Signal %s");
    EvtLog_Init(dir.c_str());
    Scratch_WriteFile(Path("service.pid"), "1");
  }
  void TearDown() override {
    for (char*& t : EvtCommonEvents.text) free(t), t = nullptr;
    SvcEventsTest::TearDown();
  }
  std::string Log() { return Scratch_ReadFile(Path(EVTLOG_FILE)); }
};

TEST_F(SvcEventsDeathTest, StopLogsEvent1AndRemovesThePidFile) {
  EXPECT_EXIT(Svc_Stop(), ::testing::ExitedWithCode(0), "");
  EXPECT_NE(Log().find("1 0 "), std::string::npos) << Log();
  EXPECT_NE(Log().find(" Stopped\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(Path("service.pid")));
}

// The host script runs beside the loop, so a stop signal that comes while
// it runs ends the service at the end of the turn.
TEST_F(SvcEventsDeathTest, AStopSignalIsActedOnWhileTheShutdownScriptRuns) {
  for (int sig : {SIGTERM, SIGQUIT, SIGHUP}) {
    SCOPED_TRACE(sig);
    EXPECT_EXIT(
        {
          Script("command.shutdown", "sleep 20\n");
          ReactSetting.type = REACT_TYPE_SHUTDOWN;
          Dispatch(MSG_OS_SHUTDOWN);
          usleep(200000);
          const auto t0 = std::chrono::steady_clock::now();
          Signal_Handler(sig);
          Svc_Step();
          if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(1)) _exit(3);
          _exit(4);  // not stopped
        },
        ::testing::ExitedWithCode(0), "");
  }
}

TEST_F(SvcEventsDeathTest, FaultSignalsAreLoggedBeforeTheAbort) {
  for (int sig : {SIGSEGV, SIGBUS}) {
    EXPECT_EXIT(Signal_Handler(sig), ::testing::KilledBySignal(SIGABRT), "");
  }
  EXPECT_NE(Log().find(" Signal SIGSEGV\n"), std::string::npos) << Log();
  EXPECT_NE(Log().find(" Signal SIGBUS\n"), std::string::npos) << Log();
}

}  // namespace
