// Tick conversion, the dispatcher's own work, the pid file and host scripts.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/msg.h"
#include "core/svc.h"
#include "snmp/snmpagent.h"
#include "ups/upsdata.h"
#include "support/events_fakes.h"
#include "support/scratch.h"

namespace {

struct timespec At(long ms, long extraNs = 0) {
  struct timespec t;
  t.tv_sec = 1000 + ms / 1000;
  t.tv_nsec = (ms % 1000) * 1000000 + extraNs;
  return t;
}

TEST(TickConversion, TableOfElapsedTimes) {
  struct Step {
    long atMs;      // monotonic time of this turn, since the reference
    uint32_t ticks; // ticks given
    long refMs;     // reference afterwards
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"99 ms gives nothing and keeps the reference", {{99, 0, 0}}},
      {"100 ms gives one tick", {{100, 1, 100}}},
      {"250 ms gives two, 50 carried into the next", {{250, 2, 250}, {300, 0, 250}, {350, 1, 350}}},
      {"one hour is delivered whole", {{3600000, 36000, 3600000}}},
      {"many short turns", {{40, 0, 0}, {80, 0, 0}, {120, 1, 120}, {199, 0, 120}, {220, 1, 220}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SvcTick.ref = At(0);
    SvcTick.carryNs = 0;
    for (const Step& s : c.steps) {
      EXPECT_EQ(Svc_ConvertTicks(At(s.atMs)), s.ticks) << "at " << s.atMs;
      EXPECT_EQ(SvcTick.ref.tv_sec, At(s.refMs).tv_sec);
      EXPECT_EQ(SvcTick.ref.tv_nsec, At(s.refMs).tv_nsec);
    }
  }
}

TEST(TickConversion, SubMillisecondRemaindersAreNotLost) {
  SvcTick.ref = At(0);
  SvcTick.carryNs = 0;
  // 1000 conversions of 100.4 ms each: 100400 ms = 1004 ticks.
  uint32_t total = 0;
  long long ns = 0;
  for (int i = 1; i <= 1000; ++i) {
    ns += 100400000LL;
    struct timespec t;
    t.tv_sec = 1000 + ns / 1000000000LL;
    t.tv_nsec = ns % 1000000000LL;
    total += Svc_ConvertTicks(t);
  }
  EXPECT_EQ(total, 1004u);
}

TEST(TickConversion, PauseEndsWhenTheNextTickIsDue) {
  SvcTick.ref = At(0);
  SvcTick.carryNs = 0;
  struct {
    long atMs, extraNs;
    int left;
  } cases[] = {{0, 0, 100}, {1, 0, 99}, {99, 500000, 1}, {100, 0, 0}, {250, 0, 0}};
  for (auto& c : cases) EXPECT_EQ(Svc_MsUntilNextTick(At(c.atMs, c.extraNs)), c.left) << c.atMs;
}

std::vector<uint8_t> g_ticks;
void RecordTick(uint8_t n) { g_ticks.push_back(n); }

TEST(TickConversion, LongDelaysReachTheQueueInFull) {
  Msg_Init();
  MsgOpsTable saved = MsgOps;
  MsgOps.Tick = RecordTick;
  g_ticks.clear();
  Svc_FeedTicks(36000);
  MsgOps = saved;
  uint32_t sum = 0;
  for (uint8_t n : g_ticks) sum += n;
  EXPECT_EQ(sum, 36000u);
  Svc_FeedTicks(0);
}

time_t g_fakeNow;
time_t FakeClock() { return g_fakeNow; }
struct timespec g_mono;
void FakeMono(struct timespec* now) { *now = g_mono; }
int g_minuteWork;
void CountMinuteWork() { ++g_minuteWork; }

TEST(Dispatcher, ClockMessagesCountTheSecondsOfTheMonotonicClock) {
  time_t (*saved)() = SvcWallClock;
  void (*savedMono)(struct timespec*) = SvcMonoClock;
  SvcWallClock = FakeClock;
  SvcMonoClock = FakeMono;
  struct tm tm {};
  tm.tm_year = 126; tm.tm_mon = 11; tm.tm_mday = 10; tm.tm_hour = 10; tm.tm_min = 30; tm.tm_sec = 5;
  tm.tm_isdst = -1;
  g_fakeNow = mktime(&tm);
  g_mono = {5000, 250000000};
  Svc_ResetTickRef();
  SvcSeconds = 0;
  SvcSystemInfo.uptime = 0;
  SvcLastMinute = 61;
  UpsRecord.CheckBattReplace = CountMinuteWork;
  g_minuteWork = 0;
  const uint8_t p[4] = {0, 0, 0, 0};
  SnmpEngineState.time = 100;

  struct Step {
    uint8_t code;
    long advanceMs;  // both clocks move on this much before the message
    int32_t seconds;
    uint32_t uptime;
    uint8_t lastMinute;
    int minuteWork;
  } steps[] = {
      {MSG_TICK_1S, 999, 0, 0, 61, 0},       // not a whole second yet: nothing
      {MSG_TICK_1S, 1, 1, 100, 61, 0},
      {MSG_CLOCK_1S, 0, 1, 100, 30, 1},      // the first clock message runs the minute work
      {MSG_CLOCK_1S, 0, 1, 100, 30, 1},      // no new second: nothing
      {MSG_CLOCK_1S, 20000, 1, 100, 30, 1},  // 20 s in one go, the same minute
      {MSG_CLOCK_1S, 40000, 1, 100, 31, 2},
      {MSG_TICK_1S, 1000, 62, 6200, 31, 2},  // every second since the last one is counted
      {7, 5000, 62, 6200, 31, 2},            // unused codes change nothing
  };
  for (const Step& s : steps) {
    g_fakeNow += s.advanceMs / 1000;
    g_mono.tv_sec += s.advanceMs / 1000;
    g_mono.tv_nsec += (s.advanceMs % 1000) * 1000000;
    if (g_mono.tv_nsec >= 1000000000) g_mono.tv_sec += 1, g_mono.tv_nsec -= 1000000000;
    Svc_Dispatch(s.code, p);
    EXPECT_EQ(SvcSeconds, s.seconds) << int(s.code);
    EXPECT_EQ(SvcSystemInfo.uptime, s.uptime) << int(s.code);
    EXPECT_EQ(SvcLastMinute, s.lastMinute) << int(s.code);
    EXPECT_EQ(g_minuteWork, s.minuteWork) << int(s.code);
  }
  EXPECT_EQ(SnmpEngineState.time, 100 + 61);  // the engine clock too, second by second
  SvcWallClock = saved;
  SvcMonoClock = savedMono;
}

class SvcFiles : public ScratchTest {};

TEST_F(SvcFiles, PidFile) {
  EXPECT_EQ(Svc_ReadPidFile(), -1);  // missing
  Scratch_WriteFile(Path("service.pid"), "");
  EXPECT_EQ(Svc_ReadPidFile(), -1);  // empty
  Svc_WritePidFile();
  EXPECT_EQ(Scratch_ReadFile(Path("service.pid")), std::to_string(getpid()));
  EXPECT_EQ(Svc_ReadPidFile(), getpid());
}

// A child that waits until killed: this executable, or another one.
pid_t Child(bool exec) {
  pid_t pid = fork();
  if (pid == 0) {
    if (exec) execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
    for (;;) pause();
  }
  return pid;
}

TEST_F(SvcFiles, ThePidFileCountsOnlyWhenItNamesTheService) {
  const pid_t same = Child(false), other = Child(true);
  ASSERT_GT(same, 0);
  ASSERT_GT(other, 0);
  usleep(100000);  // past the exec
  const pid_t gone = Child(true);
  kill(gone, SIGKILL);
  waitpid(gone, nullptr, 0);
  struct Row {
    const char* what;
    std::string file;  // null text: no pid file
    int running;
  } rows[] = {
      {"a process of this executable", std::to_string(same), same},
      {"a process of another executable", std::to_string(other), -1},
      {"a process that has ended", std::to_string(gone), -1},
      {"this process itself", std::to_string(getpid()), -1},
      {"pid 0", "0", -1},
      {"no number", "upsd", -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Scratch_WriteFile(Path("service.pid"), row.file);
    EXPECT_EQ(Svc_RunningDaemon(), row.running);
  }
  unlink(Path("service.pid").c_str());
  EXPECT_EQ(Svc_RunningDaemon(), -1);
  for (pid_t pid : {same, other}) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

int g_done;
void CountDone() { ++g_done; }

TEST_F(SvcFiles, ScriptsThatCannotRunAreReported) {
  InstallEventFakes();
  std::string ok = Path("ok.sh"), bad = Path("noexec.sh");
  Scratch_WriteFile(ok, "#!/bin/sh\nexit 3\n");
  chmod(ok.c_str(), 0755);
  Scratch_WriteFile(bad, "#!/bin/sh\nexit 0\n");
  chmod(bad.c_str(), 0644);
  struct {
    const char* what;
    std::string command;
    SvcScriptKind kind;
    std::string reported;  // empty: nothing
  } cases[] = {
      {"its own exit status is not examined", ok, SVC_SCRIPT_SERVICE, ""},
      {"not executable (126)", bad, SVC_SCRIPT_SERVICE, "Can't run it!"},
      {"missing (127)", Path("missing.sh"), SVC_SCRIPT_SERVICE, "Can't run it!"},
      // A user command's record says why, and which command.
      {"a user command's own exit status", ok, SVC_SCRIPT_USER, ""},
      {"a user command not executable", bad, SVC_SCRIPT_USER, "Can't run it! (exit status 126: not executable): " + bad},
      {"a user command missing", Path("missing.sh"), SVC_SCRIPT_USER,
       "Can't run it! (exit status 127: not found): " + Path("missing.sh")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    g_logged.clear();
    g_done = 0;
    EXPECT_EQ(Svc_StartScript(c.command.c_str(), "Can't run it!", CountDone, 0, nullptr, c.kind), 1);
    Scratch_WaitScripts();
    EXPECT_EQ(g_done, 1);
    std::vector<LoggedEvent> reported;
    if (!c.reported.empty()) reported.push_back({-1, {"3", c.reported}});
    EXPECT_EQ(g_logged, reported);
  }
}

// The user commands take at most SVC_USER_SCRIPTS slots, however many are
// asked for: the host script and the broadcast always start, and a user
// command refused is logged with the reason.
TEST_F(SvcFiles, UserCommandsLeaveRoomForTheServicesScripts) {
  InstallEventFakes();
  const std::string stop = Path("stop");
  const std::string waits = "while [ ! -e '" + stop + "' ]; do sleep 0.01; done";
  int started = 0;
  for (int i = 0; i < SVC_SCRIPTS; ++i)
    started += Svc_StartScript(waits.c_str(), "Can't run the user command", nullptr, 0, nullptr, SVC_SCRIPT_USER);
  EXPECT_EQ(started, SVC_USER_SCRIPTS);
  const LoggedEvent refused{-1, {"3", "Can't run the user command (14 user commands still run): " + waits}};
  EXPECT_EQ(g_logged, (std::vector<LoggedEvent>(SVC_SCRIPTS - SVC_USER_SCRIPTS, refused)));
  g_logged.clear();
  EXPECT_EQ(Svc_StartScript(waits.c_str(), "Can't run the command.shutdown!", nullptr), 1);
  EXPECT_EQ(Svc_StartScript(waits.c_str(), "Can't run the command.wall!", nullptr), 1);
  EXPECT_TRUE(g_logged.empty());
  Scratch_WriteFile(stop, "");
  Scratch_WaitScripts();
  EXPECT_EQ(Svc_ReapScripts(), 0);
}

// A service started with SIGCHLD ignored (inherited from the process that
// started it) sets it to its default, so the scripts' exit status is not
// lost to the kernel and a script that cannot run is still reported. Run
// in a child: the exit code says what it found.
[[noreturn]] void StartWithSigchldIgnored(const std::string& missing) {
  signal(SIGCHLD, SIG_IGN);
  Signal_Init();
  alarm(0);
  struct sigaction now {};
  sigaction(SIGCHLD, nullptr, &now);
  if (now.sa_handler != SIG_DFL) _exit(2);
  InstallEventFakes();
  Svc_StartScript(missing.c_str(), "Can't run it!", nullptr);
  Scratch_WaitScripts();
  const std::vector<LoggedEvent> reported{{-1, {"3", "Can't run it!"}}};
  _exit(g_logged == reported ? 0 : 3);
}

TEST_F(SvcFiles, SigchldIsAtItsDefaultOnceTheSignalsAreInstalled) {
  EXPECT_EXIT(StartWithSigchldIgnored(Path("missing.sh")), ::testing::ExitedWithCode(0), "");
}


// True once pid has ended (gone, or a zombie nobody has reaped yet), within 10 s.
bool Ended(pid_t pid) {
  for (int i = 0; i < 10000; ++i) {
    std::string stat = Scratch_ReadFile("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty() || stat.substr(stat.rfind(')') + 2, 1) == "Z") return true;
    usleep(1000);
  }
  return false;
}

// Reaps until at most `left` scripts run, for at most ms of real time
// (generous by default: a loaded machine may take seconds to start a
// shell; short where the scripts are expected to go on running).
int ReapUntil(int left, int ms = 10000) {
  int running = Svc_ReapScripts();
  for (int i = 0; i < ms && running > left; ++i) {
    usleep(1000);
    running = Svc_ReapScripts();
  }
  return running;
}

// A script still running at its bound gets SIGTERM, and SIGKILL 2 s later
// when that did not end it; what it started goes with it (its process group).
TEST_F(SvcFiles, AScriptPastItsBoundIsEnded) {
  void (*savedMono)(struct timespec*) = SvcMonoClock;
  SvcMonoClock = FakeMono;
  g_mono = {500, 0};
  InstallEventFakes();
  g_done = 0;
  const std::string quits = Path("quits.child"), stays = Path("stays.child");
  ASSERT_EQ(Svc_StartScript(("sleep 30 & echo $! > '" + quits + "'; wait").c_str(), nullptr, CountDone, 30,
                            "quits overran"), 1);
  ASSERT_EQ(Svc_StartScript(("trap '' TERM; sleep 30 & echo $! > '" + stays + "'; wait").c_str(), nullptr,
                            CountDone, 30, "stays overran"), 1);
  ASSERT_EQ(Svc_StartScript("exit 0", nullptr, CountDone, 30, "never"), 1);
  EXPECT_EQ(ReapUntil(2), 2);  // the one that ends by itself
  // Each has written its child's pid (a whole line) and waits for it.
  auto pidIn = [](const std::string& path) {
    for (int i = 0; i < 10000 && Scratch_ReadFile(path).find('\n') == std::string::npos; ++i) usleep(1000);
    return static_cast<pid_t>(std::stoi(Scratch_ReadFile(path)));
  };
  const pid_t quitsChild = pidIn(quits), staysChild = pidIn(stays);

  g_mono.tv_sec += 29;
  EXPECT_EQ(ReapUntil(0, 300), 2);
  EXPECT_TRUE(g_logged.empty());

  g_mono.tv_sec += 1;
  EXPECT_EQ(ReapUntil(1), 1);  // SIGTERM ended the first
  EXPECT_EQ(g_logged, (std::vector<LoggedEvent>{{-1, {"2", "quits overran"}}, {-1, {"2", "stays overran"}}}));
  EXPECT_TRUE(Ended(quitsChild));
  EXPECT_EQ(g_done, 2);

  g_mono.tv_sec += 1;
  EXPECT_EQ(ReapUntil(0, 300), 1);  // within the grace
  g_mono.tv_sec += 1;
  EXPECT_EQ(ReapUntil(0), 0);
  EXPECT_TRUE(Ended(staysChild));
  EXPECT_EQ(g_done, 3);
  EXPECT_EQ(g_logged.size(), 2u);
  SvcMonoClock = savedMono;
}

TEST_F(SvcFiles, PrivateTemporaryDirectory) {
  // Whatever stands at the directory's name, the service ends with its own
  // directory of mode 0700; what it kept there itself survives a restart.
  const std::string at = Path("private"), elsewhere = Path("elsewhere");
  mkdir(elsewhere.c_str(), 0755);
  Scratch_WriteFile(elsewhere + "/precious", "keep");
  struct Case {
    const char* what;
    std::function<void()> plant;
    bool kept;  // the old content is still there
  } cases[] = {
      {"missing", [] {}, false},
      {"a link to another directory", [&] { symlink(elsewhere.c_str(), at.c_str()); }, false},
      {"a dangling link", [&] { symlink(Path("none").c_str(), at.c_str()); }, false},
      {"a file", [&] { Scratch_WriteFile(at, "x"); }, false},
      {"a FIFO", [&] { mkfifo(at.c_str(), 0600); }, false},
      {"its own, readable by others", [&] {
         mkdir(at.c_str(), 0755);
         Scratch_WriteFile(at + "/mail_level1.txt", "spooled");
       }, true},
      {"one that others may write", [&] {
         mkdir(at.c_str(), 0700);
         chmod(at.c_str(), 0777);
         Scratch_WriteFile(at + "/mail_level1.txt", "planted");
       }, false},
      {"another user's", [&] {
         mkdir(at.c_str(), 0700);
         Scratch_WriteFile(at + "/mail_level1.txt", "planted");
         chown(at.c_str(), 65534, 65534);
       }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (std::string(c.what) == "another user's" && geteuid() != 0) continue;  // needs root to plant
    std::filesystem::remove_all(at);
    c.plant();
    Svc_SetDirs(nullptr, at.c_str());
    EXPECT_EQ(Svc_MakeTmpDir(), 1);
    struct stat st;
    ASSERT_EQ(lstat(at.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(std::filesystem::exists(at + "/mail_level1.txt"), c.kept);
    char path[300];
    EXPECT_EQ(std::string(Svc_TmpPath(path, sizeof path, "x")), at + "/x");
    EXPECT_EQ(Scratch_ReadFile(elsewhere + "/precious"), "keep");
  }
  // A directory that cannot be made: no paths at all, so nothing is made
  // in a place that is not the service's own.
  Svc_SetDirs(nullptr, Path("no/such/parent").c_str());
  EXPECT_EQ(Svc_MakeTmpDir(), 0);
  char path[300] = "unset";
  EXPECT_STREQ(Svc_TmpPath(path, sizeof path, "x"), "");
  Svc_SetDirs(nullptr, tmp.c_str());
}

}  // namespace
