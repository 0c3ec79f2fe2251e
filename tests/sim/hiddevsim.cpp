// A hiddev device for the end-to-end tests, preloaded into the daemon
// (LD_PRELOAD): it takes over access, open, ioctl and close of one device
// name and answers as a UPS of one of the five families (tests/support/
// hidsim.h); every other name and descriptor goes to the C library.
//
// Environment:
//   HIDDEVSIM_PATH     the device name (default /dev/usb/hiddev0)
//   HIDDEVSIM_FAMILY   1-5 (default 2)
//   HIDDEVSIM_CONTROL  a file holding the UPS's state: online, powerfail,
//                      battlow, silent (every request fails, as when the
//                      UPS is unplugged) or hung (the UPS stopped answering
//                      but stays on the bus: every report request returns
//                      only after HIDDEVSIM_HANG_MS and brings nothing new);
//                      read again whenever it changes
//   HIDDEVSIM_HANG_MS  how long a report request to a hung UPS takes
//                      (default 10000, the kernel's wait)
//   HIDDEVSIM_LOG      where to append what the daemon did, one line each:
//                      "<time> open", "<time> close", "<time> read <report id>",
//                      "<time> write <type> <report id> <page> <usage> <value>"
//                      (hex page and usage, one line per usage of a report
//                      sent), "<time> unsent <type> <report id>" (a report
//                      sent while hung), "<time> state <state>"
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/hiddev.h>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/hidsim.h"

namespace {

using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using Open2Fn = int (*)(const char*, int);
using AccessFn = int (*)(const char*, int);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

struct Sim {
  std::string path = "/dev/usb/hiddev0";
  int family = 2;
  std::string control;
  std::string log;
  HidSimDevice device;
  std::set<int> fds;
  struct timespec controlTime {};
  off_t controlSize = -1;
  ino_t controlInode = 0;
  std::string state = "online";
};

// Built when the device is first opened; processes that never open it (the
// shells of the host scripts) only pass their calls on.
Sim* g_sim;

Sim* TheSim() {
  static Sim* sim = [] {
    Sim* s = new Sim;
    if (const char* p = getenv("HIDDEVSIM_PATH"); p && *p) s->path = p;
    if (const char* f = getenv("HIDDEVSIM_FAMILY"); f && *f) s->family = atoi(f);
    if (s->family < 1 || s->family > 5) s->family = 2;
    if (const char* c = getenv("HIDDEVSIM_CONTROL")) s->control = c;
    if (const char* l = getenv("HIDDEVSIM_LOG")) s->log = l;
    s->device = HidSim_Family(s->family);
    if (const char* h = getenv("HIDDEVSIM_HANG_MS"); h && *h) s->device.hangMs = atoi(h);
    s->device.hangWait = [](int ms) { usleep(static_cast<useconds_t>(ms) * 1000u); };
    return s;
  }();
  g_sim = sim;
  return sim;
}

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
  Sim* s = TheSim();
  if (s->log.empty()) return;
  static OpenFn realOpen = Next<OpenFn>("open");
  int fd = realOpen(s->log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  char line[256];
  int n = snprintf(line, sizeof line, "%ld.%03ld ", static_cast<long>(now.tv_sec), now.tv_nsec / 1000000);
  va_list ap;
  va_start(ap, format);
  n += vsnprintf(line + n, sizeof line - n - 1, format, ap);
  va_end(ap);
  if (n > static_cast<int>(sizeof line) - 2) n = sizeof line - 2;
  line[n++] = '\n';
  ssize_t w = write(fd, line, n);
  (void)w;
  static CloseFn realClose = Next<CloseFn>("close");
  realClose(fd);
}

// Takes the state from the control file when the file has changed.
void FollowControl(Sim* s) {
  if (s->control.empty()) return;
  struct stat st {};
  if (stat(s->control.c_str(), &st) != 0) return;
  if (st.st_mtim.tv_sec == s->controlTime.tv_sec && st.st_mtim.tv_nsec == s->controlTime.tv_nsec &&
      st.st_size == s->controlSize && st.st_ino == s->controlInode)
    return;
  s->controlTime = st.st_mtim;
  s->controlSize = st.st_size;
  s->controlInode = st.st_ino;
  FILE* f = fopen(s->control.c_str(), "re");
  if (!f) return;
  char word[64] = "";
  if (fscanf(f, "%63s", word) != 1) word[0] = 0;
  fclose(f);
  std::string state = word;
  if (state == s->state) return;
  if (state == "silent" || state == "hung") {
    s->device.silent = state == "silent";
    s->device.hung = state == "hung";
  } else if (HidSim_ApplyState(s->device, s->family, state)) {
    s->device.silent = false;
    s->device.hung = false;
  } else {
    return;
  }
  s->state = state;
  Log("state %s", state.c_str());
}

bool IsDevice(const char* path) {
  const char* name = getenv("HIDDEVSIM_PATH");
  if (!name || !*name) name = "/dev/usb/hiddev0";
  return path && strcmp(path, name) == 0;
}

int OpenDevice(int flags) {
  static OpenFn realOpen = Next<OpenFn>("open");
  if ((flags & O_ACCMODE) != O_RDWR) {
    errno = EACCES;
    return -1;
  }
  int fd = realOpen("/dev/null", O_RDWR | (flags & O_CLOEXEC));
  if (fd < 0) return fd;
  Sim* s = TheSim();
  s->fds.insert(fd);
  FollowControl(s);
  Log("open");
  return fd;
}

int ModeOf(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, int) : 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  if (IsDevice(path)) return OpenDevice(flags);
  va_list ap;
  va_start(ap, flags);
  int mode = ModeOf(flags, ap);
  va_end(ap);
  static OpenFn real = Next<OpenFn>("open");
  return real(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  if (IsDevice(path)) return OpenDevice(flags);
  va_list ap;
  va_start(ap, flags);
  int mode = ModeOf(flags, ap);
  va_end(ap);
  static OpenFn real = Next<OpenFn>("open64");
  return real(path, flags, mode);
}

int __open_2(const char* path, int flags) {
  if (IsDevice(path)) return OpenDevice(flags);
  static Open2Fn real = Next<Open2Fn>("__open_2");
  return real(path, flags);
}

int __open64_2(const char* path, int flags) {
  if (IsDevice(path)) return OpenDevice(flags);
  static Open2Fn real = Next<Open2Fn>("__open64_2");
  return real(path, flags);
}

int openat(int dirfd, const char* path, int flags, ...) {
  if (IsDevice(path)) return OpenDevice(flags);
  va_list ap;
  va_start(ap, flags);
  int mode = ModeOf(flags, ap);
  va_end(ap);
  static OpenatFn real = Next<OpenatFn>("openat");
  return real(dirfd, path, flags, mode);
}

int access(const char* path, int mode) {
  if (IsDevice(path)) return 0;
  static AccessFn real = Next<AccessFn>("access");
  return real(path, mode);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  Sim* s = g_sim;
  if (!s || !s->fds.count(fd)) {
    static IoctlFn real = Next<IoctlFn>("ioctl");
    return real(fd, request, arg);
  }
  FollowControl(s);
  const size_t sentBefore = s->device.sent.size();
  int r = s->device.Ioctl(request, arg);
  if (r >= 0 && request == HIDIOCGREPORT) Log("read %u", static_cast<hiddev_report_info*>(arg)->report_id);
  // A report sent to a hung UPS: hiddev answers as for a sent one, the UPS never got it.
  if (r >= 0 && request == HIDIOCSREPORT && s->device.hung) {
    const auto* ri = static_cast<hiddev_report_info*>(arg);
    Log("unsent %u %u", ri->report_type, ri->report_id);
  }
  for (size_t i = sentBefore; i < s->device.sent.size(); ++i) {
    const HidSimWrite& w = s->device.sent[i];
    Log("write %u %u %X %X %d", w.type, w.id, w.code >> 16, w.code & 0xFFFF, w.value);
  }
  s->device.sent.clear();
  return r;
}

int close(int fd) {
  if (g_sim && g_sim->fds.erase(fd)) Log("close");
  static CloseFn real = Next<CloseFn>("close");
  return real(fd);
}

}  // extern "C"
