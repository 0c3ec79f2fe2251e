// Utility library: whole-file operations, timers, string helpers, a
// logging allocator and value packers.
#include "core/util.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

// Closes a descriptor when it goes out of scope.
struct Fd {
  int fd;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

constexpr mode_t kCreateMode = 0777;  // before the umask

// Writes all bytes, retrying short writes and EINTR.
long WriteAll(int fd, const void* data, long length) {
  const char* p = static_cast<const char*>(data);
  long done = 0;
  while (done < length) {
    ssize_t n = write(fd, p + done, static_cast<size_t>(length - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? done : -1;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

// Reads up to length bytes, retrying short reads and EINTR.
long ReadAll(int fd, void* buffer, long length) {
  char* p = static_cast<char*>(buffer);
  long done = 0;
  while (done < length) {
    ssize_t n = read(fd, p + done, static_cast<size_t>(length - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? done : -1;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

int SaveFlags(int mode) {
  if (mode > 0) return O_WRONLY | O_CREAT | O_APPEND;
  if (mode == 0) return O_WRONLY | O_CREAT | O_TRUNC;
  return O_WRONLY | O_TRUNC;
}

unsigned long g_rate;
unsigned long g_usPerTick;

}  // namespace

// ---- files -----------------------------------------------------------------

int UF_FileExist(const char* path) { return path && access(path, F_OK) == 0 ? 1 : 0; }

long UF_FileSize(const char* path) {
  struct stat st;
  if (!path || stat(path, &st) != 0) return -1;
  return static_cast<long>(st.st_size);
}

char* UF_FileLoad(const char* path, long* length) {
  Fd f(open(path, O_RDONLY));
  if (f.fd < 0) return nullptr;
  struct stat st;
  if (fstat(f.fd, &st) != 0 || st.st_size < 0) return nullptr;
  long size = static_cast<long>(st.st_size);
  char* buf = static_cast<char*>(malloc(static_cast<size_t>(size) + 1));
  if (!buf) return nullptr;
  if (ReadAll(f.fd, buf, size) != size) {
    free(buf);
    return nullptr;
  }
  buf[size] = 0;
  if (length) *length = size;
  return buf;
}

long UF_FileRead(const char* path, char* buffer, long size) {
  if (!path || !buffer || size <= 0) return -1;
  Fd f(open(path, O_RDONLY));
  if (f.fd < 0) return -1;
  long want = size;
  bool pseudo = strncmp(path, "/proc/", 6) == 0 || strncmp(path, "/sys/", 5) == 0;
  if (!pseudo) {
    struct stat st;
    if (fstat(f.fd, &st) != 0) return -1;
    if (st.st_size < want) want = static_cast<long>(st.st_size);
  }
  long n = ReadAll(f.fd, buffer, want);
  if (n < 0) return -1;
  if (n < size) buffer[n] = 0;
  return n;
}

long UF_FileReadAt(const char* path, long offset, char* buffer, long size) {
  if (!path || !buffer || size <= 0) return -1;
  buffer[0] = 0;
  Fd f(open(path, O_RDONLY));
  if (f.fd < 0) return -1;
  if (lseek(f.fd, offset, SEEK_SET) < 0) return -2;
  long n = ReadAll(f.fd, buffer, size);
  if (n < 0) return -3;
  if (n < size) buffer[n] = 0;
  return n;
}

long UF_FileSave(const char* path, const void* data, long length, int mode) {
  int flags = SaveFlags(mode);
  int fd = open(path, flags, kCreateMode);
  if (fd < 0) {
    printf("%s: file '%s', mode %X - %s\n", "UF_FileSave", path, flags, strerror(errno));
    return fd;
  }
  Fd f(fd);
  if (mode != 0) lseek(fd, 0, SEEK_END);
  return WriteAll(fd, data, length);
}

long UF_FileSaveOffset(const char* path, long offset, const void* data, long length) {
  int flags = (offset != 0 ? O_RDWR : O_WRONLY) | O_CREAT;
  int fd = open(path, flags, kCreateMode);
  if (fd < 0) {
    printf("%s: file '%s' -- %s\n", "UF_FileSaveOffset", path, strerror(errno));
    return fd;
  }
  Fd f(fd);
  if (lseek(fd, offset, SEEK_SET) < 0) return -1;
  return WriteAll(fd, data, length);
}

long UF_FileCopy(const char* destination, ...) {
  int fd = open(destination, O_WRONLY | O_CREAT | O_TRUNC, kCreateMode);
  if (fd < 0) {
    printf("%s: file '%s' -- %s\n", "UF_FileCopy", destination, strerror(errno));
    return fd;
  }
  Fd f(fd);
  long total = 0;
  va_list ap;
  va_start(ap, destination);
  for (const char* src = va_arg(ap, const char*); src; src = va_arg(ap, const char*)) {
    if (!UF_FileExist(src)) continue;
    long len = 0;
    char* buf = UF_FileLoad(src, &len);
    if (!buf) {
      total = -1;  // an unreadable source is a failed copy, not a shorter one
      break;
    }
    if (len == 0) {  // nothing to write; an empty source is not a failure
      free(buf);
      continue;
    }
    long n = WriteAll(fd, buf, len);
    free(buf);
    if (n != len) {
      total = -1;
      break;
    }
    total += n;
  }
  va_end(ap);
  return total;
}

long UF_FileCompare(const char* pathA, const char* pathB) {
  Fd a(open(pathA, O_RDONLY));
  Fd b(open(pathB, O_RDONLY));
  if (a.fd < 0 || b.fd < 0) return -1;
  struct stat sa, sb;
  if (fstat(a.fd, &sa) != 0 || fstat(b.fd, &sb) != 0) return -1;
  long result = 0;
  if (sa.st_size != sb.st_size) {
    result = static_cast<long>(sa.st_size - sb.st_size);
  } else {
    static char ba[32768], bb[32768];
    long left = static_cast<long>(sa.st_size);
    while (left > 0) {
      long chunk = left < 32768 ? left : 32768;
      if (ReadAll(a.fd, ba, chunk) != chunk || ReadAll(b.fd, bb, chunk) != chunk ||
          memcmp(ba, bb, static_cast<size_t>(chunk)) != 0) {
        result = -1;
        break;
      }
      left -= chunk;
    }
  }
  fsync(a.fd);
  fsync(b.fd);
  return result;
}

long UF_FilePrint(const char* path, int mode, const char* format, ...) {
  char buf[2048];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  if (n < 0) return -1;
  if (n > 2047) n = 2047;
  int flags = SaveFlags(mode);
  int fd = open(path, flags, kCreateMode);
  if (fd < 0) {
    printf("%s: can't access '%s' with mode %X\n", "UF_FilePrint", path, flags);
    return -1;
  }
  Fd f(fd);
  if (mode != 0) lseek(fd, 0, SEEK_END);
  return WriteAll(fd, buf, n);
}

int UF_OpenNoFollow(const char* path, int flags, mode_t mode) {
  if ((flags & O_CREAT) && (flags & O_TRUNC)) {
    // Fresh file: whatever stands at the name (a file, a planted link) goes.
    if (unlink(path) != 0 && errno != ENOENT) return -1;
    flags = (flags & ~O_TRUNC) | O_EXCL;
  }
  return open(path, flags | O_NOFOLLOW | O_CLOEXEC, mode);
}

FILE* UF_FOpenNoFollow(const char* path, const char* fopenMode, mode_t mode) {
  int flags;
  switch (fopenMode[0]) {
    case 'r': flags = strchr(fopenMode, '+') ? O_RDWR : O_RDONLY; break;
    case 'w': flags = (strchr(fopenMode, '+') ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC; break;
    case 'a': flags = (strchr(fopenMode, '+') ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND; break;
    default: errno = EINVAL; return nullptr;
  }
  int fd = UF_OpenNoFollow(path, flags, mode);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, fopenMode);
  if (!f) close(fd);
  return f;
}

namespace {
std::string TempNameFor(const char* path) { return std::string(path) + ".tmp"; }
}  // namespace

FILE* UF_ReplaceBegin(const char* path, mode_t mode) {
  std::string tmp = TempNameFor(path);
  int fd = UF_OpenNoFollow(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) return nullptr;
  fchmod(fd, mode);  // exact mode whatever the umask
  FILE* f = fdopen(fd, "w");
  if (!f) {
    close(fd);
    unlink(tmp.c_str());
  }
  return f;
}

int UF_ReplaceCommit(FILE* f, const char* path, int ok) {
  std::string tmp = TempNameFor(path);
  if (!f) return 0;
  if (fflush(f) != 0 || ferror(f)) ok = 0;
  if (ok && fsync(fileno(f)) != 0) ok = 0;
  if (fclose(f) != 0) ok = 0;
  if (ok && rename(tmp.c_str(), path) != 0) ok = 0;
  if (!ok) {
    unlink(tmp.c_str());
    return 0;
  }
  return 1;
}

int UF_FileReplace(const char* path, const void* data, size_t length, mode_t mode) {
  FILE* f = UF_ReplaceBegin(path, mode);
  if (!f) return 0;
  int ok = length == 0 || fwrite(data, 1, length, f) == length;
  return UF_ReplaceCommit(f, path, ok);
}

// ---- timers ----------------------------------------------------------------

unsigned long UF_TimerInit(unsigned long rate) {
  unsigned long clk = static_cast<unsigned long>(sysconf(_SC_CLK_TCK));
  if (rate == 0 || rate > 1000000 || rate % 10 != 0) rate = clk;
  g_rate = rate;
  g_usPerTick = rate ? 1000000 / rate : 1;
  if (g_usPerTick == 0) g_usPerTick = 1;
  return rate;
}

unsigned long UF_TickRate() { return g_rate; }

unsigned long UF_Ticks() {
  if (g_rate == 0) UF_TimerInit(0);
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) return 0;
  return static_cast<unsigned long>(tv.tv_sec) * g_rate +
         static_cast<unsigned long>(tv.tv_usec) / g_usPerTick;
}

unsigned long UF_Seconds() {
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) return 0;
  return static_cast<unsigned long>(tv.tv_sec);
}

long UF_TickDiff(unsigned long earlier, unsigned long later) {
  return static_cast<long>(later - earlier);
}

int UF_TickElapsed(unsigned long start, long n) {
  if (n <= 0) return 1;
  return UF_TickDiff(start, UF_Ticks()) >= n ? 1 : 0;
}

void UF_TickDeadline(struct timespec* out, long n) {
  if (g_rate == 0) UF_TimerInit(0);
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  long long ns = static_cast<long long>(tv.tv_usec) * 1000 +
                 static_cast<long long>(n) * static_cast<long long>(g_usPerTick) * 1000;
  out->tv_sec = tv.tv_sec + static_cast<time_t>(ns / 1000000000LL);
  out->tv_nsec = static_cast<long>(ns % 1000000000LL);
}

long UF_TimeDiffMs(const struct timeval* a, const struct timeval* b) {
  long long ms = (static_cast<long long>(a->tv_sec) - b->tv_sec) * 1000 +
                 (static_cast<long long>(a->tv_usec) - b->tv_usec) / 1000;
  return static_cast<long>(ms < 0 ? -ms : ms);
}

namespace {
int g_uptimeFd = -1;
unsigned long g_lastUptime;
unsigned long g_lastEval;
}  // namespace

unsigned long UF_ReadUptime() {
  if (g_uptimeFd < 0) g_uptimeFd = open("/proc/uptime", O_RDONLY | O_CLOEXEC);
  if (g_uptimeFd < 0) return g_lastUptime;
  char buf[33];
  ssize_t n = pread(g_uptimeFd, buf, 32, 0);
  if (n <= 0) return g_lastUptime;
  buf[n] = 0;
  unsigned long v = 0;
  for (char* p = buf; *p && *p != ' '; ++p) {
    if (*p == '.') continue;
    if (!isdigit(static_cast<unsigned char>(*p))) break;
    v = v * 10 + static_cast<unsigned long>(*p - '0');
  }
  g_lastUptime = v;
  return v;
}

unsigned long UF_EvalUptime(unsigned long rate) {
  if (rate == 0) rate = 100;
  unsigned long cs = UF_ReadUptime();  // centiseconds since boot
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  unsigned long ticks = cs * rate / 100 + (static_cast<unsigned long>(tv.tv_usec % 10000) * rate) / 1000000;
  if (ticks < g_lastEval) {
    if (g_lastEval - ticks >= rate / 100 + 1)
      fprintf(stderr, "%s:%d: timer over-run %lu, old %lu, pre %lu\n", "UF_EvalUptime", 127, ticks,
              g_lastEval, cs);
    return g_lastEval;
  }
  g_lastEval = ticks;
  return ticks;
}

unsigned long UF_Uptime() {
  if (g_rate == 0) UF_TimerInit(0);
  return UF_EvalUptime(g_rate);
}

unsigned long UF_UptimeAt(unsigned long rate) { return UF_EvalUptime(rate); }

int UF_SetClock(int year, int month, int day, int hour, int minute, int second) {
  char text[64];
  snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d:%02d", month, day, year, hour, minute, second);
  struct tm tm {};
  if (!strptime(text, "%m/%d/%Y %H:%M:%S", &tm)) return 0;
  tm.tm_isdst = -1;
  time_t t = mktime(&tm);
  if (t == static_cast<time_t>(-1)) return 0;
  struct timespec ts {t, 0};
  return clock_settime(CLOCK_REALTIME, &ts) == 0 ? 1 : 0;
}

// ---- strings ---------------------------------------------------------------

void UF_StrUpper(char* text) {
  for (; text && *text; ++text)
    if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 'a' + 'A');
}

int UF_StrLower(char* text) {
  for (; text && *text; ++text)
    if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
  return 0;
}

namespace {
int Fold(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; }
}  // namespace

int UF_StrNCaseCmp(const char* a, const char* b, int n) {
  bool whole = n < 1;
  for (int i = 0; whole || i < n; ++i) {
    int ca = Fold(static_cast<unsigned char>(a[i]));
    int cb = Fold(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
  return 0;
}

int UF_StrCaseCmp(const char* a, const char* b) { return UF_StrNCaseCmp(a, b, 0); }

const char* UF_StrCaseStr(const char* text, const char* part) {
  if (!text || !part) return nullptr;
  int n = static_cast<int>(strlen(part));
  if (n == 0) return text;
  for (const char* p = text; *p; ++p)
    if (UF_StrNCaseCmp(p, part, n) == 0) return p;
  return nullptr;
}

int UF_StrTrim(char* text) {
  if (!text || !*text) return 0;
  size_t len = strlen(text);
  while (len > 0 && strchr(" \t\r\n", text[len - 1])) text[--len] = 0;
  size_t start = 0;
  while (text[start] == ' ' || text[start] == '\t') ++start;
  if (start) memmove(text, text + start, len - start + 1);
  return static_cast<int>(len - start);
}

void UF_StrCopy(char* destination, const char* source) {
  if (!destination) return;
  if (!source) {
    destination[0] = 0;
    return;
  }
  strcpy(destination, source);
}

char* UF_StrDup(const char* text) {
  size_t size = strlen(text) + 1;
  char* p = static_cast<char*>(malloc(size));
  if (!p) {
    printf("%s: failed to allocate memory, size %d\n", "UF_StrDup", static_cast<int>(size));
    return nullptr;
  }
  memcpy(p, text, size);
  return p;
}

int UF_StrSplit(char* text, const char* separators, int most, char** tokens) {
  if (!text || !separators || !tokens || most < 1) return 0;
  if (!*separators) {
    tokens[0] = text;
    return 1;
  }
  int count = 0;
  char* p = text;
  while (*p && count < most) {
    while (*p && strchr(separators, *p)) *p++ = 0;
    if (!*p) break;
    tokens[count++] = p;
    while (*p && !strchr(separators, *p)) ++p;
  }
  // Separators after the last token collected are cut as well.
  for (; *p; ++p)
    if (strchr(separators, *p)) *p = 0;
  return count;
}

// ---- debugging allocator ---------------------------------------------------

void* UF_DebugMalloc(const char* logPath, const char* source, int line, size_t size) {
  void* p = malloc(size);
  if (p) UF_FilePrint(logPath, 1, "A:%p:%s:%d:%d\n", p, source, line, static_cast<int>(size));
  return p;
}

void UF_DebugFree(const char* logPath, const char* source, int line, void* pointer) {
  if (!pointer) return;
  UF_FilePrint(logPath, 1, "F:%p:%s:%d\n", pointer, source, line);
  free(pointer);
}

// ---- value packers ---------------------------------------------------------

int UF_PackValues(uint8_t* out, const long* values, int count, int layout) {
  int n = 0;
  for (int i = 0; i < count; ++i) {
    uint32_t v = static_cast<uint32_t>(values[i]);
    switch (layout) {
      case 1: out[n++] = static_cast<uint8_t>(v); break;
      case 2: out[n++] = static_cast<uint8_t>(v >> 8); out[n++] = static_cast<uint8_t>(v); break;
      case 3: {
        uint16_t h = static_cast<uint16_t>(v);
        memcpy(out + n, &h, 2);
        n += 2;
        break;
      }
      case 4:
        out[n++] = static_cast<uint8_t>(v >> 24); out[n++] = static_cast<uint8_t>(v >> 16);
        out[n++] = static_cast<uint8_t>(v >> 8); out[n++] = static_cast<uint8_t>(v);
        break;
      case 5:
        out[n++] = static_cast<uint8_t>(v); out[n++] = static_cast<uint8_t>(v >> 8);
        out[n++] = static_cast<uint8_t>(v >> 16); out[n++] = static_cast<uint8_t>(v >> 24);
        break;
      case 6:
        out[n++] = static_cast<uint8_t>(v >> 8); out[n++] = static_cast<uint8_t>(v);
        out[n++] = static_cast<uint8_t>(v >> 24); out[n++] = static_cast<uint8_t>(v >> 16);
        break;
      case 7:
        out[n++] = static_cast<uint8_t>(v >> 16); out[n++] = static_cast<uint8_t>(v >> 24);
        out[n++] = static_cast<uint8_t>(v); out[n++] = static_cast<uint8_t>(v >> 8);
        break;
      case 8: out[n++] = static_cast<uint8_t>(((v >> 8) & 0xFF) - '0'); out[n++] = static_cast<uint8_t>((v & 0xFF) - '0'); break;
      default: return 0;
    }
  }
  return n;
}

int UF_UnpackValues(long* out, const uint8_t* bytes, int count, int layout) {
  int n = 0;
  for (int i = 0; i < count; ++i) {
    switch (layout) {
      case 1: out[i] = bytes[n++]; break;
      case 2: out[i] = (bytes[n] << 8) | bytes[n + 1]; n += 2; break;
      case 3: {
        uint16_t h;
        memcpy(&h, bytes + n, 2);
        out[i] = h;
        n += 2;
        break;
      }
      case 4:
        out[i] = static_cast<long>((uint32_t{bytes[n]} << 24) | (uint32_t{bytes[n + 1]} << 16) |
                                   (uint32_t{bytes[n + 2]} << 8) | bytes[n + 3]);
        n += 4;
        break;
      case 5: {
        uint32_t h;
        memcpy(&h, bytes + n, 4);
        out[i] = static_cast<long>(h);
        n += 4;
        break;
      }
      case 6:
        out[i] = static_cast<long>((uint32_t{bytes[n + 2]} << 24) | (uint32_t{bytes[n + 3]} << 16) |
                                   (uint32_t{bytes[n]} << 8) | bytes[n + 1]);
        n += 4;
        break;
      case 7: {
        uint16_t hi, lo;
        memcpy(&hi, bytes + n, 2);
        memcpy(&lo, bytes + n + 2, 2);
        out[i] = static_cast<long>((uint32_t{hi} << 16) | lo);
        n += 4;
        break;
      }
      case 8: out[i] = (bytes[n] - '0') * 10 + (bytes[n + 1] - '0'); n += 2; break;
      case 9: out[i] = (bytes[n + 1] - '0') * 10 + (bytes[n] - '0'); n += 2; break;
      default: return 0;
    }
  }
  return n;
}

int UF_ReadAt(int fd, void* data, size_t length, off_t at) {
  auto* p = static_cast<uint8_t*>(data);
  while (length > 0) {
    ssize_t n = pread(fd, p, length, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    p += n;
    length -= static_cast<size_t>(n);
    at += n;
  }
  return 1;
}

int UF_WriteAt(int fd, const void* data, size_t length, off_t at) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (length > 0) {
    ssize_t n = pwrite(fd, p, length, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    p += n;
    length -= static_cast<size_t>(n);
    at += n;
  }
  return 1;
}
