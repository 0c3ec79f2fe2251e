// Process life cycle and main loop: the "stop" command, daemonising, the
// pid file, signals, the start-up order, the 100 ms tick conversion and the
// dispatcher of the message queue.
#pragma once
#include <cstdint>
#include <ctime>
#include <cwchar>
#include <poll.h>

#ifndef UPSD_INSTALL_DIR
#define UPSD_INSTALL_DIR "/usr/local/brisvane"
#endif

constexpr const char* SVC_VERSION = "03.01.22";
constexpr const char* SVC_PRODUCT = "Brisvane";

// Installation directory (fixed for the daemon) and the service's private
// directory of temporary files: the document root's tempage directory,
// which the web server serves as "/tempage/". Plain-function modules read
// these; tests point them at scratch directories with Svc_SetDirs.
extern char SvcInstallDir[256];
extern char SvcTmpDir[256];
void Svc_SetDirs(const char* installDir, const char* tmpDir);
// Makes SvcTmpDir the service's own directory, readable and writable by its
// user only (mode 0700): created when missing; a link or any other file at
// its name is removed, a directory of another user or one others may write
// is moved aside to a new name, and a fresh one is made. 1 when the
// directory is ours; 0 (with a diagnostic) when it could not be made so,
// and then Svc_TmpPath gives no paths.
int Svc_MakeTmpDir();
// The one way to every file of the private directory: "<SvcTmpDir>/<name>"
// into out; empty when the directory is not ours now (a link, not a
// directory, another user's, one others may write, or one that could not
// be made so at start) or the path does not fit. Returns out.
const char* Svc_TmpPath(char* out, unsigned size, const char* name);

// System information block: description, up-time in centiseconds, host name.
struct SvcSystemInfoRecord {
  wchar_t description[128];
  uint32_t uptime;
  char hostName[65];
};
extern SvcSystemInfoRecord SvcSystemInfo;

// Whole seconds since start, advanced by MSG_TICK_1S.
extern int32_t SvcSeconds;

// The process-wide current local time. The loop refreshes it before the
// once-a-second work; modules given SvcLocalTime at init read this record.
extern struct tm SvcLocalTimeNow;
extern const struct tm* const SvcLocalTime;
void Svc_RefreshLocalTime();

// Clock seams: wall-clock seconds (local time, dates) and the monotonic
// clock that drives the ticks.
extern time_t (*SvcWallClock)();
extern void (*SvcMonoClock)(struct timespec* now);
time_t Svc_Now();

// Monotonic milliseconds (through SvcMonoClock).
int64_t Svc_MonoMs();

// Tick conversion: whole 100 ms ticks since the reference, remainder carried.
struct SvcTickState {
  struct timespec ref;
  int64_t carryNs;  // time not yet converted, below one tick between conversions
};
extern SvcTickState SvcTick;
// Takes the tick reference and the base of the seconds clock from now.
void Svc_ResetTickRef();

// The seconds clock: whole seconds of the monotonic clock since its base.
// Each kind of per-second work keeps the count of seconds it has carried
// out; after a hold of the loop it catches up on every second missed.
struct SvcSecondsState {
  struct timespec base;
  int64_t tickDone;   // seconds carried out by MSG_TICK_1S
  int64_t clockDone;  // seconds carried out by MSG_CLOCK_1S
};
extern SvcSecondsState SvcSecondsClock;
// Seconds elapsed since *done was last brought up to date (0 when none);
// *done then counts them.
uint32_t Svc_SecondsDue(int64_t* done);
// Converts the time elapsed since the reference into ticks (see svc.cpp).
uint32_t Svc_ConvertTicks(const struct timespec& now);
// Feeds a tick count of any size to the queue in 8-bit steps.
void Svc_FeedTicks(uint32_t ticks);

int Svc_Daemonize();
int Svc_ReadPidFile();
void Svc_WritePidFile();
// 1 when pid is another process running the same executable as this one.
int Svc_IsDaemon(int pid);
// The pid of the running service the pid file names, or -1 (no file, or a
// stale one that names no such process).
int Svc_RunningDaemon();
void Svc_ResetSystemInfo();
void Signal_Init();
void Signal_Handler(int sig);

// Scripts started beside the loop, by kind: the service's own (the host
// scripts and the console broadcast, each run one at a time) and the user
// commands, which may run for minutes and overlap. The user commands take
// at most SVC_USER_SCRIPTS of the SVC_SCRIPTS slots, so that the host
// script and the broadcast always find one.
enum SvcScriptKind : uint8_t { SVC_SCRIPT_SERVICE, SVC_SCRIPT_USER };
constexpr int SVC_SCRIPTS = 16;
constexpr int SVC_USER_SCRIPTS = SVC_SCRIPTS - 2;

// Starts a host command beside the loop (/bin/sh -c in a process group of
// its own, descriptors from 3 on closed) and returns 1; it is reaped later
// by Svc_ReapScripts. When it cannot be started, or the shell reports
// 126/127 (not found, not executable), failure (a static text, or null) is
// logged as a level-3 free-text event: as it stands for the service's own
// scripts, as "<failure> (<reason>): <command>" for a user command. done
// (or null) is called once it has ended, whatever the outcome; 0 when it
// was not started (done is then not called). With boundSeconds above 0 a
// command still running after that long is ended (SIGTERM to its group,
// SIGKILL 2 s later) and overrun (a static text, or null) is logged as a
// level-2 free-text event.
using SvcScriptDone = void (*)();
int Svc_StartScript(const char* command, const char* failure, SvcScriptDone done, int boundSeconds = 0,
                    const char* overrun = nullptr, SvcScriptKind kind = SVC_SCRIPT_SERVICE);
// Reaps the scripts that have ended; returns how many still run.
int Svc_ReapScripts();

// The minute last seen by the per-minute test (61 at start).
extern uint8_t SvcLastMinute;

// Modules with sockets that the loop must answer at once (web, SNMP) add a
// source: it fills pollfd entries for its descriptors and returns their
// count, and sets *busy when it has work pending that no descriptor shows
// (data buffered inside the TLS library, say). Between turns the loop sleeps
// in one poll() over these descriptors until the next tick is due.
using SvcPollFill = int (*)(struct pollfd* fds, int max, int* busy);
void Svc_AddPollSource(SvcPollFill fill);
// Milliseconds until the next 100 ms tick is due (0 when it is due now).
int Svc_MsUntilNextTick(const struct timespec& now);

// Carries out one message with its four parameter bytes.
void Svc_Dispatch(uint8_t code, const uint8_t p[4]);
// One main-loop turn: the pause, then Svc_Step.
void Svc_Turn();
// The work of a turn: sockets, mail, ended scripts, ticks, at most one
// message, signals.
void Svc_Step();
// Start-up after daemonising: module inits, repeating messages, tick reference.
void Svc_Start();
// Signals recorded by the handler are acted on here, at the end of a turn.
void Svc_ProcessSignals();
// The stop sequence: log, remove the pid file, close hooks, exit 0.
[[noreturn]] void Svc_Stop();

int Svc_Main(int argc, char** argv);
