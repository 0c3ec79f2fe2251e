// Process life cycle and main loop: "stop", daemonising, the pid file,
// signals, the start-up order, the tick conversion and the dispatcher.
#include "core/svc.h"

#include <cerrno>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/cfg.h"
#include "core/crypt.h"
#include "core/helpers.h"
#include "core/msg.h"
#include "events/alarm.h"
#include "events/dlog.h"
#include "events/evtdef.h"
#include "events/evtlog.h"
#include "events/mail.h"
#include "events/react.h"
#include "events/sched.h"
#include "events/sms.h"
#include "events/wall.h"
#include "events/wol.h"
#include "snmp/snmpagent.h"
#include "snmp/snmpmib.h"
#include "snmp/snmppoll.h"
#include "snmp/snmptrap.h"
#include "ups/caret.h"
#include "ups/com.h"
#include "ups/tilde.h"
#include "ups/upsdata.h"
#include "ups/usbhid.h"
#include "web/httpd.h"
#include "web/webdev.h"
#include "web/websess.h"

char SvcInstallDir[256] = UPSD_INSTALL_DIR;
char SvcTmpDir[256] = UPSD_INSTALL_DIR "/httpd/htdocs/tempage";

SvcSystemInfoRecord SvcSystemInfo;
int32_t SvcSeconds;
struct tm SvcLocalTimeNow;
const struct tm* const SvcLocalTime = &SvcLocalTimeNow;
uint8_t SvcLastMinute = 61;
SvcTickState SvcTick;
SvcSecondsState SvcSecondsClock;

namespace {

// SvcTmpDir is known to be the service's own directory (or the caller's).
bool g_tmpDirOurs = true;

time_t WallClock() { return time(nullptr); }
void MonoClock(struct timespec* now) { clock_gettime(CLOCK_MONOTONIC, now); }

constexpr int64_t kTickNs = 100'000'000;  // one tick: 100 ms
constexpr int64_t kSecondNs = 1'000'000'000;

int64_t NsBetween(const struct timespec& from, const struct timespec& to) {
  return (static_cast<int64_t>(to.tv_sec) - from.tv_sec) * kSecondNs + (static_cast<int64_t>(to.tv_nsec) - from.tv_nsec);
}

// Scripts started beside the loop, until they are reaped.
struct RunningScript {
  pid_t pid;  // also its process group
  const char* failure;
  SvcScriptDone done;
  int64_t endMs;  // monotonic ms of the next step against an overrun; 0 none
  const char* overrun;
  bool terminated;  // SIGTERM sent
  SvcScriptKind kind;
  char command[EVTLOG_TEXT_SIZE];  // a user command's line (cut), for its failure record
};
constexpr int64_t kScriptGraceMs = 2000;  // from SIGTERM to SIGKILL
RunningScript g_scripts[SVC_SCRIPTS];
int g_scriptCount;

// Signals recorded by the handler, carried out by the loop.
volatile sig_atomic_t g_stopSignal;
volatile sig_atomic_t g_intPending;

int g_turn;  // 0..9, for the every-tenth-turn work
bool g_delivered;  // the last turn carried out a message: more may be due
int g_readyFd = -1;  // the daemonising parent's pipe, until the pid file is written

constexpr int kMaxPollSources = 8;
constexpr int kMaxPollFds = 64;
SvcPollFill g_pollSources[kMaxPollSources];
int g_pollSourceCount;

void PidPath(char* out, size_t size) { snprintf(out, size, "%s/service.pid", SvcInstallDir); }

// Level of UPS event e, for the trap sender.
uint8_t UpsEventLevel(uint8_t e) { return EvtDef_Level(EVT_UPS_BASE + e); }

// Logs one event when the event log is up.
template <typename... Args>
void LogEvent(int code, Args... args) {
  if (EvtLogOps.Add) EvtLogOps.Add(code, args...);
}

// The SNMP agent's socket states and the configuration store's notes on
// config.ini, as free-text events.
void LogFreeText(int level, const char* text) { LogEvent(EVT_FREE_TEXT, level, text); }

}  // namespace

time_t (*SvcWallClock)() = WallClock;
void (*SvcMonoClock)(struct timespec* now) = MonoClock;

void Svc_SetDirs(const char* installDir, const char* tmpDir) {
  if (installDir) snprintf(SvcInstallDir, sizeof SvcInstallDir, "%s", installDir);
  if (tmpDir) {
    snprintf(SvcTmpDir, sizeof SvcTmpDir, "%s", tmpDir);
    g_tmpDirOurs = true;  // a directory the caller made
  }
}

namespace {

// Our own directory of mode 0700 at path (not a link).
bool OwnPrivateDir(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 07777) == 0700;
}

void TmpDirDiagnostic(const char* what) {
  fprintf(stderr, "%s: directory '%s' -- %s: %s\n", "Svc_MakeTmpDir", SvcTmpDir, what, strerror(errno));
}

}  // namespace

int Svc_MakeTmpDir() {
  g_tmpDirOurs = false;
  const char* path = SvcTmpDir;
  struct stat st;
  if (lstat(path, &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      // A link (the older installations' link to /tmp) or a planted file.
      if (unlink(path) != 0) {
        TmpDirDiagnostic("cannot remove");
        return 0;
      }
    } else if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH))) {
      // Not ours, or others may have put names in it: none of it is used.
      int moved = -1;
      for (int n = 0; n < 100 && moved != 0; ++n) {
        char aside[sizeof SvcTmpDir + 48];
        snprintf(aside, sizeof aside, "%s.refused.%ld.%d", path, static_cast<long>(time(nullptr)), n);
        moved = rename(path, aside);
        if (moved != 0 && errno != EEXIST && errno != ENOTEMPTY) break;
      }
      if (moved != 0) {
        TmpDirDiagnostic("cannot move aside");
        return 0;
      }
    } else if ((st.st_mode & 07777) != 0700) {
      // Ours: only the others' read and search rights go.
      int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0 || fchmod(fd, 0700) != 0) TmpDirDiagnostic("cannot set mode 0700");
      if (fd >= 0) close(fd);
    }
  }
  if (mkdir(path, 0700) != 0 && errno != EEXIST) {
    TmpDirDiagnostic("cannot create");
    return 0;
  }
  if (!OwnPrivateDir(path)) {
    errno = EPERM;
    TmpDirDiagnostic("not the service's own");
    return 0;
  }
  g_tmpDirOurs = true;
  return 1;
}

const char* Svc_TmpPath(char* out, unsigned size, const char* name) {
  if (size == 0) return out;
  out[0] = 0;  // nothing is made in, or read from, a directory that is not ours
  // Checked at every use: the directory may have been replaced since start.
  struct stat st;
  if (!g_tmpDirOurs || lstat(SvcTmpDir, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & (S_IWGRP | S_IWOTH)))
    return out;
  int n = snprintf(out, size, "%s/%s", SvcTmpDir, name);
  if (n < 0 || static_cast<unsigned>(n) >= size) out[0] = 0;  // a cut path could name another file
  return out;
}

time_t Svc_Now() { return SvcWallClock(); }

void Svc_RefreshLocalTime() {
  time_t now = Svc_Now();
  localtime_r(&now, &SvcLocalTimeNow);
}

// ---- ticks -----------------------------------------------------------------

int64_t Svc_MonoMs() {
  struct timespec now;
  SvcMonoClock(&now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

void Svc_ResetTickRef() {
  SvcMonoClock(&SvcTick.ref);
  SvcSecondsClock = SvcSecondsState{SvcTick.ref, 0, 0};
}

uint32_t Svc_SecondsDue(int64_t* done) {
  struct timespec now;
  SvcMonoClock(&now);
  const int64_t due = NsBetween(SvcSecondsClock.base, now) / kSecondNs;
  if (due <= *done) return 0;
  const int64_t n = due - *done;
  *done = due;
  return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}

uint32_t Svc_ConvertTicks(const struct timespec& now) {
  int64_t elapsedNs = NsBetween(SvcTick.ref, now);
  // 99 ms or less: measured again next turn from the same reference.
  if (elapsedNs / 1'000'000 <= 99) return 0;
  int64_t total = SvcTick.carryNs + elapsedNs;
  SvcTick.carryNs = total % kTickNs;
  SvcTick.ref = now;
  return static_cast<uint32_t>(total / kTickNs);
}

int Svc_MsUntilNextTick(const struct timespec& now) {
  int64_t elapsedNs = NsBetween(SvcTick.ref, now);
  int64_t leftNs = kTickNs - elapsedNs;
  if (leftNs <= 0) return 0;
  return static_cast<int>((leftNs + 999'999) / 1'000'000);
}

void Svc_AddPollSource(SvcPollFill fill) {
  if (g_pollSourceCount < kMaxPollSources) g_pollSources[g_pollSourceCount++] = fill;
}

void Svc_FeedTicks(uint32_t ticks) {
  while (ticks > 0) {
    uint8_t n = ticks > 255 ? 255 : static_cast<uint8_t>(ticks);
    MsgOps.Tick(n);
    ticks -= n;
  }
}

// ---- process ---------------------------------------------------------------

int Svc_Daemonize() {
  // The parent leaves only once the child has written its pid file (a byte
  // on this pipe): a service manager reads the file as soon as the starting
  // process has exited.
  int ready[2];
  const bool piped = pipe2(ready, O_CLOEXEC) == 0;
  pid_t pid = fork();
  if (pid < 0) {
    if (piped) {
      close(ready[0]);
      close(ready[1]);
    }
    return 0;
  }
  if (pid > 0) {
    if (!piped) exit(0);
    close(ready[1]);
    char c;
    ssize_t n;
    while ((n = read(ready[0], &c, 1)) < 0 && errno == EINTR) {
    }
    exit(n == 1 ? 0 : 1);  // no byte: the child ended before it was running
  }
  if (piped) {
    close(ready[0]);
    g_readyFd = ready[1];
  }
  setsid();
  // No world-writable files: the service's files are created 0644 at most.
  umask(022);
  return 1;
}

int Svc_ReadPidFile() {
  char path[300];
  PidPath(path, sizeof path);
  FILE* f = fopen(path, "r");
  if (!f) return -1;
  char line[256];
  int pid = -1;
  if (fgets(line, sizeof line, f) && line[0] != 0) pid = atoi(line);
  fclose(f);
  return pid;
}

void Svc_WritePidFile() {
  char path[300];
  PidPath(path, sizeof path);
  FILE* f = fopen(path, "w");
  if (f) {
    fprintf(f, "%d", static_cast<int>(getpid()));
    fflush(f);
    fclose(f);
  }
  // The waiting parent may leave now.
  if (g_readyFd >= 0) {
    (void)!write(g_readyFd, "1", 1);
    close(g_readyFd);
    g_readyFd = -1;
  }
}

namespace {

// The executable a process runs, as /proc names it ("" when unknown); a
// replaced or removed file keeps its old path.
std::string ExecutableOf(const char* proc) {
  char link[64], target[PATH_MAX];
  snprintf(link, sizeof link, "/proc/%s/exe", proc);
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return std::string();
  std::string path(target, static_cast<size_t>(n));
  const std::string deleted = " (deleted)";
  if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
    path.resize(path.size() - deleted.size());
  return path;
}

}  // namespace

int Svc_IsDaemon(int pid) {
  if (pid <= 0 || pid == static_cast<int>(getpid())) return 0;
  char proc[16];
  snprintf(proc, sizeof proc, "%d", pid);
  const std::string other = ExecutableOf(proc), own = ExecutableOf("self");
  return !other.empty() && other == own ? 1 : 0;
}

int Svc_RunningDaemon() {
  const int pid = Svc_ReadPidFile();
  return Svc_IsDaemon(pid) ? pid : -1;
}

void Svc_ResetSystemInfo() { memset(&SvcSystemInfo, 0, sizeof SvcSystemInfo); }

namespace {

// The shell reports a command it cannot find or execute as 127 or 126.
bool ShellCouldNotRun(int status) {
  return WIFEXITED(status) && (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127);
}

// The service's own scripts are reported with their text as it stands; a
// user command with the reason and its command line.
void LogScriptFailure(const char* failure, SvcScriptKind kind, const char* reason, const char* command) {
  if (!failure) return;
  if (kind != SVC_SCRIPT_USER) return LogEvent(EVT_FREE_TEXT, 3, failure);
  char text[EVTLOG_TEXT_SIZE];
  snprintf(text, sizeof text, "%s (%s): %s", failure, reason, command);
  LogEvent(EVT_FREE_TEXT, 3, static_cast<const char*>(text));
}

const char* ShellFailure(int status) {
  return WEXITSTATUS(status) == 127 ? "exit status 127: not found" : "exit status 126: not executable";
}

}  // namespace

int Svc_StartScript(const char* command, const char* failure, SvcScriptDone done, int boundSeconds,
                    const char* overrun, SvcScriptKind kind) {
  int users = 0;
  for (int i = 0; i < g_scriptCount; ++i) users += g_scripts[i].kind == SVC_SCRIPT_USER;
  char reason[64];
  if (kind == SVC_SCRIPT_USER && users >= SVC_USER_SCRIPTS) {
    snprintf(reason, sizeof reason, "%d user commands still run", users);
    LogScriptFailure(failure, kind, reason, command);
    return 0;
  }
  if (g_scriptCount >= SVC_SCRIPTS) {
    LogScriptFailure(failure, kind, "no free slot", command);
    return 0;
  }
  // The script gets the daemon's standard descriptors only (no sockets, no
  // serial port), default signal actions, an empty signal mask and a process
  // group of its own, so that a bound ends what it started too.
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigfillset(&defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  char sh[] = "sh", dashC[] = "-c";
  char* argv[] = {sh, dashC, const_cast<char*>(command), nullptr};
  pid_t pid = -1;
  int r = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (r != 0) {
    LogScriptFailure(failure, kind, strerror(r), command);
    return 0;
  }
  RunningScript& s = g_scripts[g_scriptCount++];
  s = RunningScript{pid, failure, done, 0, overrun, false, kind, ""};
  if (boundSeconds > 0) s.endMs = Svc_MonoMs() + int64_t{boundSeconds} * 1000;
  if (kind == SVC_SCRIPT_USER) snprintf(s.command, sizeof s.command, "%s", command);
  return 1;
}

namespace {

// A script past its bound: SIGTERM to its group, SIGKILL once the grace
// has passed too.
void EndOverrun(RunningScript& s) {
  if (s.endMs == 0) return;
  const int64_t now = Svc_MonoMs();
  if (now < s.endMs) return;
  if (!s.terminated) {
    kill(-s.pid, SIGTERM);
    s.terminated = true;
    s.endMs = now + kScriptGraceMs;
    if (s.overrun) LogEvent(EVT_FREE_TEXT, 2, s.overrun);
  } else {
    kill(-s.pid, SIGKILL);
    s.endMs = 0;
  }
}

}  // namespace

int Svc_ReapScripts() {
  for (int i = 0; i < g_scriptCount;) {
    int status = 0;
    pid_t r = waitpid(g_scripts[i].pid, &status, WNOHANG);
    if (r == 0 || (r < 0 && errno == EINTR)) {
      EndOverrun(g_scripts[i]);
      ++i;
      continue;
    }
    const RunningScript ended = g_scripts[i];
    g_scripts[i] = g_scripts[--g_scriptCount];
    if (r > 0 && ShellCouldNotRun(status))
      LogScriptFailure(ended.failure, ended.kind, ShellFailure(status), ended.command);
    if (ended.done) ended.done();
  }
  return g_scriptCount;
}

// ---- signals ---------------------------------------------------------------

void Signal_Handler(int sig) {
  switch (sig) {
    case SIGHUP:
    case SIGQUIT:
    case SIGTERM:
      g_stopSignal = sig;
      break;
    case SIGINT:
      g_intPending = 1;
      break;
    case SIGSEGV:
    case SIGBUS:
      // The process ends here. Should the notice below hang on a lock the
      // fault left taken, the default SIGALRM action ends it two seconds later.
      signal(SIGALRM, SIG_DFL);
      alarm(2);
      LogEvent(36, sig == SIGSEGV ? "SIGSEGV" : "SIGBUS", static_cast<const char*>(nullptr));
      abort();
    case SIGPIPE:
    case SIGALRM:
      break;
    default:
      fprintf(stderr, "%s: invalid signal %d\n", "Signal_Handler", sig);
      break;
  }
}

void Signal_Init() {
  static const int kSignals[] = {SIGSEGV, SIGBUS, SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGALRM, SIGPIPE};
  for (int sig : kSignals) {
    struct sigaction sa {};
    sa.sa_handler = Signal_Handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    if (sigaction(sig, &sa, nullptr) != 0)
      fprintf(stderr, "%s: failed to install signal %d\n", "Signal_Init", sig);
  }
  // The scripts' exit status is read with waitpid: a SIGCHLD ignored by the
  // process that started the service would have the kernel reap them first.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  if (sigaction(SIGCHLD, &dfl, nullptr) != 0)
    fprintf(stderr, "%s: failed to install signal %d\n", "Signal_Init", SIGCHLD);
  alarm(1);
}

[[noreturn]] void Svc_Stop() {
  LogEvent(1, static_cast<const char*>(nullptr));
  char path[300];
  PidPath(path, sizeof path);
  remove(path);
  // Close hooks, in this order.
  Msg_Exit();
  Mail_Exit();
  COM_CloseAll();
  WebSess_Shutdown();
  DLog_Exit();
  Tilde_Exit();
  UpsData_Exit();
  Crypt_Exit();
  EvtLog_Exit();
  EvtDef_Exit();
  React_Exit();
  Sched_Exit();
  SnmpPoll_Close();
  Sms_Exit();
  SnmpAgent_Close();
  SnmpTrap_Close();
  Caret_Exit();
  UsbHid_Exit();
  Httpd_Shutdown();
  Wol_Exit();
  exit(0);
}

void Svc_ProcessSignals() {
  if (g_intPending) {
    g_intPending = 0;
    LogEvent(36, "SIGINT", static_cast<const char*>(nullptr));
  }
  if (g_stopSignal) Svc_Stop();
}

// ---- dispatcher ------------------------------------------------------------

namespace {

// Message 20: the host script that "Type=" names, started beside the loop
// (which goes on polling the UPS, answering the web and the agent and
// acting on signals while it runs). Hibernation saves the settings and
// closes the web listeners and the agent's sockets first; they stay closed
// while the script runs (the 5-second message reopens them after the
// resume), and once it has ended (the host has resumed) the ticks start
// from now, the repeating broadcasts are dropped, the reactions cleared and
// the up-time restarted. The reactions hear of every end (they start no
// countdown meanwhile, so no second message comes while a script runs).
bool g_hostScriptRunning;
bool g_hibernating;

void Svc_HostScriptEnded() {
  g_hostScriptRunning = false;
  const bool resumed = g_hibernating;
  if (g_hibernating) {
    g_hibernating = false;
    Svc_ResetTickRef();  // the time asleep gives no ticks
    if (ReactOps.CancelRepeats) ReactOps.CancelRepeats();
    if (ReactOps.Reset) ReactOps.Reset();
    SvcSystemInfo.uptime = 0;
    LogEvent(0, static_cast<const char*>(nullptr));
  }
  if (ReactOps.HostScriptEnded) ReactOps.HostScriptEnded(resumed ? 1 : 0);
}

void Svc_OsShutdown() {
  static const struct {
    const char* script;
    const char* failure;
  } kTypes[] = {
      {"command.shutdown", "Can't run the command.shutdown!"},
      {"command.poweroff", "Can't run the command.poweroff!"},
      {"command.hibernate", "Can't run the command.hibernate!"},
  };
  if (g_hostScriptRunning) return;  // the host is on its way already
  const uint8_t type = ReactSetting.type;
  if (type > REACT_TYPE_HIBERNATE) {
    Svc_HostScriptEnded();  // nothing to run
    return;
  }
  const bool hibernate = type == REACT_TYPE_HIBERNATE;
  if (hibernate) {
    Cfg_Rewrite();
    if (HttpdOps.Stop) HttpdOps.Stop();
    if (SnmpAgentOps.CloseSockets) SnmpAgentOps.CloseSockets();
    g_hibernating = true;
  }
  char command[300];
  snprintf(command, sizeof command, "%s/command/%s", SvcInstallDir, kTypes[type].script);
  g_hostScriptRunning = true;
  if (!Svc_StartScript(command, kTypes[type].failure, Svc_HostScriptEnded)) Svc_HostScriptEnded();
}

}  // namespace

void Svc_Dispatch(uint8_t code, const uint8_t p[4]) {
  switch (code) {
    case MSG_TICK_1S: {
      // Once for every second of the monotonic clock since the last run, in
      // order: a hold of the loop is caught up, not lost.
      uint32_t n = Svc_SecondsDue(&SvcSecondsClock.tickDone);
      if (n > 0) Svc_RefreshLocalTime();
      for (; n > 0; --n) {
        SvcSeconds += 1;
        if (ReactOps.AlarmProcess) ReactOps.AlarmProcess();
        SvcSystemInfo.uptime += 100;
        if (WolOps.Tick) WolOps.Tick();
      }
      break;
    }
    case MSG_TICK_100MS: {
      // A tilde or USB link found by the automatic search becomes the setting.
      uint8_t link = ComOps.Poll();
      if (ComPortSetting == 0 && (link == COM_LINK_TILDE || link == COM_LINK_USB)) {
        ComPortSetting = link == COM_LINK_TILDE ? static_cast<uint8_t>(ComSlot.port[0] + 1) : 1;
        Cfg_Rewrite();
      }
      // The end of a countdown goes on after the link step, which may have
      // brought the UPS's answer to a shutdown command.
      if (ReactOps.ZeroStep) ReactOps.ZeroStep();
      if (SmsOps.Step) SmsOps.Step(CfgLanguage != 0 ? 1 : 0);
      break;
    }
    case MSG_CLOCK_1S: {
      // The countdowns and the engine clock count every second elapsed since
      // the last run; the sample and the minute work are taken once.
      const uint32_t n = Svc_SecondsDue(&SvcSecondsClock.clockDone);
      if (n == 0) break;
      Svc_RefreshLocalTime();
      if (ReactOps.CountdownTick) ReactOps.CountdownTick(n);
      if (DLogOps.Sample) DLogOps.Sample();
      if (SvcLocalTime->tm_min != SvcLastMinute) {
        if (DLogOps.ExportTick) DLogOps.ExportTick();
        UpsRecord.CheckBattReplace();
        if (SchedOps.Plan) SchedOps.Plan();
        if (ReactOps.CheckDue) ReactOps.CheckDue();
        SvcLastMinute = static_cast<uint8_t>(SvcLocalTime->tm_min);
      }
      for (uint32_t i = 0; i < n; ++i) SnmpAgent_ClockTick();  // the SNMP engine clock, last
      break;
    }
    case MSG_TICK_5S:
      Svc_AccountLockTick(5);
      ComOps.ScanPorts();
      ComOps.Detect();
      // What the hibernation closed stays closed until the host has resumed.
      if (SnmpAgentOps.OpenSockets && !g_hibernating) SnmpAgentOps.OpenSockets();
      if (SnmpTrapOps.OpenSockets) SnmpTrapOps.OpenSockets();
      if (HttpdOps.Start && !g_hibernating)
        HttpdOps.Start(HttpdSetting.httpPort, HttpdSetting.httpsPort, (HttpdSetting.listen & HTTPD_LISTEN_HTTP) ? 1 : 0,
                       (HttpdSetting.listen & HTTPD_LISTEN_HTTPS) ? 1 : 0);
      if (WolOps.Open) WolOps.Open();
      if (SnmpPollOps.OpenSockets) SnmpPollOps.OpenSockets();
      if (SnmpPollOps.CountClients) SnmpPollOps.CountClients();
      if (SnmpPollOps.SendDiscovery) SnmpPollOps.SendDiscovery();
      if (MailOps.SendAll) MailOps.SendAll();
      break;
    case MSG_TRAP:
      SnmpTrap_SendEvent(p[1], SnmpTrapEventLevel(p[2]), p[2]);
      break;
    case MSG_WALL_REPEAT:
    case MSG_WALL:
      // p1 names a UPS event; its text goes out as it stands.
      if (p[1] < EVT_UPS_COUNT) Wall_Broadcast(EvtUpsEvents.level[p[1]], EvtDef_Text(EVT_UPS_BASE + p[1]));
      break;
    case MSG_OS_SHUTDOWN:
      Svc_OsShutdown();
      break;
    case MSG_LANGUAGE:
      // The new texts replace the old ones only when their files were read.
      if (EvtDefOps.Load) EvtDefOps.Load(EvtDef_LanguageDir(CfgLanguage));
      break;
    case MSG_TEST_MAIL:
      // The test mail goes to the spool and is not logged.
      if (MailOps.AddEvent)
        MailOps.AddEvent(MAIL_KIND_SYSTEM, 34, UpsRecord.serial, UpsRecord.model, static_cast<const char*>(nullptr));
      break;
    case MSG_OUTLET:
      // A delivered message is no longer pending: its id may be reused.
      Alarm_OutletDelivered(MsgCurrent.id);
      // The alarm processing's outlets (a power failure and its return) ask
      // for the state the UPS's condition calls for; the Control page's are
      // the operator's command of the moment.
      if (p[1] < 1 || p[1] > UPS_OUTLETS || p[0] > 1) break;
      if (p[2] == MSG_OUTLET_FOR_CONDITION && ComOps.SendOutletState)
        ComOps.SendOutletState(p[1], p[0], 1);
      else if (COM_SendCommand)
        COM_SendCommand(p[0] == 1 ? UPS_CMD_RON : UPS_CMD_ROF, static_cast<int>(p[1]), 1);
      break;
    default:
      break;  // unused codes are taken and ignored
  }
}

// ---- loop ------------------------------------------------------------------

namespace {

// The turn's pause: at least until a watched socket is ready or the next
// tick is due, at most that; no pause while messages may still be due.
void Svc_Sleep() {
  struct pollfd fds[kMaxPollFds];
  int n = 0, busy = 0;
  for (int i = 0; i < g_pollSourceCount; ++i) n += g_pollSources[i](fds + n, kMaxPollFds - n, &busy);
  int timeout = 0;
  if (!g_delivered) {
    struct timespec now;
    SvcMonoClock(&now);
    timeout = Svc_MsUntilNextTick(now);
    if (busy && timeout > 1) timeout = 1;
  }
  poll(fds, static_cast<nfds_t>(n), timeout);  // EINTR: a signal ends the pause early
}

}  // namespace

void Svc_Turn() {
  Svc_Sleep();
  Svc_Step();
}

void Svc_Step() {
  if (++g_turn > 9) {
    g_turn = 0;
    if (HttpdOps.Tick) HttpdOps.Tick();
  }
  if (HttpdOps.Poll) HttpdOps.Poll();
  if (SnmpAgentOps.Receive) SnmpAgentOps.Receive();
  if (SnmpPollOps.Receive) SnmpPollOps.Receive();
  if (MailOps.Step) MailOps.Step();
  Svc_ReapScripts();
  struct timespec now;
  SvcMonoClock(&now);
  Svc_FeedTicks(Svc_ConvertTicks(now));
  uint8_t code = MsgOps.Get();
  g_delivered = code != MSG_NONE;
  if (code != MSG_NONE && code <= MSG_OUTLET) Svc_Dispatch(code, MsgCurrent.p);
  Svc_ProcessSignals();
}

void Svc_Start() {
  // The private directory of the temporary files, before any module makes one.
  Svc_MakeTmpDir();

  // The current local time that the reactions, the planner and the UPS
  // record read through SvcLocalTime.
  Svc_RefreshLocalTime();

  // Module inits that fill their operation tables and reset their state.
  Msg_Init();
  Crypt_Init();
  React_Init(SvcLocalTime);
  Sched_Init(SvcLocalTime);
  Tilde_Init();
  Caret_Init();
  UsbHid_Init();
  UpsData_Init(SvcLocalTime);  // its reset reads config.ini a first time
  Wol_Init();                  // clears the hosts that the first read filled

  // System information: cleared, then the host name.
  Svc_ResetSystemInfo();
  gethostname(SvcSystemInfo.hostName, sizeof SvcSystemInfo.hostName - 1);

  // Mail, then config.ini again (refilling what the inits cleared), events
  // and logs, ports, modem, client poller.
  Mail_Init(SvcInstallDir);
  Svc_AddPollSource(Mail_PollFill);
  Cfg_Load(nullptr);
  EvtDef_Init(SvcInstallDir, EvtDef_LanguageDir(CfgLanguage));
  SnmpTrapEventLevel = UpsEventLevel;
  EvtLog_Init(SvcInstallDir);
  Cfg_SetNoteSink(LogFreeText);  // what the first reads found goes to the log now
  DLog_Init(SvcInstallDir);
  SnmpAgentLogText = LogFreeText;
  COM_Init(SvcInstallDir, ComPathSetting, ComPortSetting >= 2 ? ComPortSetting - 1 : 0, -1);
  Sms_Init(SvcInstallDir);
  SnmpPoll_Init();
  Svc_AddPollSource(SnmpPoll_PollFill);

  Svc_GetOsDescription(SvcSystemInfo.description, 128);

  // The start-up event, then config.ini is rewritten at every start (one
  // that could not be read is left as it is).
  LogEvent(0, static_cast<const char*>(nullptr));
  Cfg_Rewrite();

  // SNMP; web; Wake-on-LAN.
  SnmpAgent_Init(SnmpMib_HandleObject);
  SnmpMib_RegisterObjects();
  SnmpMibCountdown = SnmpMibCountdownView{&ReactCountdown.remaining, &ReactCountdown.owner, &ReactCountdown.cancel};
  SnmpTrap_Init();
  Svc_AddPollSource(SnmpAgent_PollFill);
  Httpd_Init(SvcInstallDir, WebDev_WriteVar, WebDev_HandleForm);
  WolOps.Arm(WOL_ARM_STARTUP);

  // The four repeating clock messages, forever, with the parameters as they stand.
  MsgOps.PostRepeating(MSG_TICK_1S, 10, MSG_REPEAT_FOREVER);
  MsgOps.PostRepeating(MSG_TICK_100MS, 1, MSG_REPEAT_FOREVER);
  MsgOps.PostRepeating(MSG_CLOCK_1S, 10, MSG_REPEAT_FOREVER);
  MsgOps.PostRepeating(MSG_TICK_5S, 50, MSG_REPEAT_FOREVER);
  Svc_ResetTickRef();

  // The cold-start trap, 6 seconds after start.
  MsgPostParams.p[0] = 1;
  MsgPostParams.p[1] = TRAP_KIND_COLD_START;
  MsgPostParams.p[2] = 0;
  MsgOps.PostDelayed(MSG_TRAP, 60);
}

int Svc_Main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "stop") == 0) {
    // Only a running service is signalled: a stale pid file (after a power
    // cut or a kill) may name any process.
    int pid = Svc_RunningDaemon();
    printf("Kill pid = %d\n", pid);
    fflush(stdout);
    if (pid > 0) kill(pid, SIGINT);
    exit(0);
  }
  // One service at a time: a second one would fight the first for the UPS
  // port and take its pid file.
  if (int running = Svc_RunningDaemon(); running > 0) {
    fprintf(stderr, "upsd: already running (pid %d); not started\n", running);
    exit(1);
  }
  setlocale(LC_CTYPE, "");
  // Wide settings texts need a multibyte locale: an environment without one
  // (the plain C locale of init systems) gets UTF-8 rather than losing every
  // non-ASCII character of the site texts and account names.
  const char* ctype = setlocale(LC_CTYPE, nullptr);
  if (ctype && (strcmp(ctype, "C") == 0 || strcmp(ctype, "POSIX") == 0)) setlocale(LC_CTYPE, "C.UTF-8");
  Net_GetInterfaces(NetInterfaces, &NetInterfaceCount);
  // What is wrong before detaching is said where the operator sees it; the
  // event log gets it once it is up.
  char problem[512];
  if (!Cfg_Probe(problem, sizeof problem)) fprintf(stderr, "upsd: %s\n", problem);
  fflush(stderr);
  Svc_Daemonize();
  Signal_Init();
  Svc_WritePidFile();
  Svc_Start();
  for (;;) Svc_Turn();
}
