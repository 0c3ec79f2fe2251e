// Data log: sampling, roll-ups, the monthly record files, retention and the
// periodic CSV line. The history exports are in dloghist.cpp.
#include "events/dlog.h"

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <iterator>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/svc.h"
#include "core/util.h"
#include "ups/upsdata.h"

DLogSettings DLogSetting;
uint8_t DLogExportCountdown;
DLogOpsTable DLogOps;

const uint8_t DLogChannels[DLOG_CHANNELS] = {
    32, 33, 34, 35, 37, 38, 39, 40, 41, 42, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54,
    55, 56, 57, 58, 59, 61, 63, 64, 65, 66, 67, 68, 69, 70, 71, 72, 73, 74, 75, 76,
    77, 78, 79, 80, 81, 83, 84, 85, 86, 87, 88, 89, 90, 91, 92, 93, 94, 95,
};

namespace {

const char* g_dir = nullptr;  // installation directory, given at init

DLogRecord g_run[DLOG_RESOLUTIONS];  // the running records, 1MM .. 12HH

// The bucket of the last sample: every boundary is a change of one of its
// parts, so a clock that jumps by whole hours or days still closes the
// buckets it leaves.
struct Stamp {
  int year, month, day, hour, minute;
};
Stamp g_last;

// Where the running record of a coarser resolution stands in its file: open
// when the last record of that month's file is the record of the bucket in
// progress, written by this process. Only then is it overwritten; otherwise
// the next write appends (after a start, after a finished bucket, after a
// write that did not happen, and in another month's file).
struct Slot {
  bool open;
  int year, month;
};
Slot g_slot[DLOG_RESOLUTIONS];

const char* const kSuffix[DLOG_RESOLUTIONS] = {"1MM", "10MM", "1HH", "12HH"};

// ---- little-endian fields --------------------------------------------------

void PutLe32(uint8_t* p, int32_t v) {
  uint32_t u = static_cast<uint32_t>(v);
  p[0] = static_cast<uint8_t>(u);
  p[1] = static_cast<uint8_t>(u >> 8);
  p[2] = static_cast<uint8_t>(u >> 16);
  p[3] = static_cast<uint8_t>(u >> 24);
}

int32_t GetLe32(const uint8_t* p) {
  uint32_t u = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
               static_cast<uint32_t>(p[3]) << 24;
  return static_cast<int32_t>(u);
}

// ---- records -----------------------------------------------------------------

void DLog_ResetRecord(int r) {
  DLogRecord& rec = g_run[r];
  rec = DLogRecord{};
  for (int c = 0; c < DLOG_CHANNELS; ++c) {
    rec.min[c] = DLOG_NO_MIN;
    rec.max[c] = DLOG_NO_MAX;
  }
}

void SetHeader(DLogRecord& rec, const struct tm& now) {
  rec.month = static_cast<uint8_t>(now.tm_mon + 1);
  rec.day = static_cast<uint8_t>(now.tm_mday);
  rec.year = static_cast<uint8_t>(now.tm_year + 1900 - 2000);
  rec.hour = static_cast<uint8_t>(now.tm_hour);
  rec.minute = static_cast<uint8_t>(now.tm_min);
  rec.second = static_cast<uint8_t>(now.tm_sec);
}

// Folds the minimums and maximums of from into into.
void Fold(DLogRecord& into, const DLogRecord& from) {
  for (int c = 0; c < DLOG_CHANNELS; ++c) {
    if (from.min[c] < into.min[c]) into.min[c] = from.min[c];
    if (from.max[c] > into.max[c]) into.max[c] = from.max[c];
  }
}

Stamp StampOf(const struct tm& t) { return Stamp{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min}; }

bool SameDay(const Stamp& a, const Stamp& b) { return a.year == b.year && a.month == b.month && a.day == b.day; }
bool SameHour(const Stamp& a, const Stamp& b) { return SameDay(a, b) && a.hour == b.hour; }
bool SameHalfDay(const Stamp& a, const Stamp& b) { return SameDay(a, b) && a.hour / 12 == b.hour / 12; }
bool SameMinute(const Stamp& a, const Stamp& b) { return SameHour(a, b) && a.minute == b.minute; }
bool SameTenMinutes(const Stamp& a, const Stamp& b) { return SameHour(a, b) && a.minute / 10 == b.minute / 10; }

// ---- files -----------------------------------------------------------------

// At least one of the logged readings is known (before the first answers
// of the UPS, and after a lost link, all read -1).
bool AnyReadingKnown() {
  for (uint8_t index : DLogChannels)
    if (UpsRecord.values[index] != -1) return true;
  return false;
}

// Records are written only while the data log is on, the UPS link is up and
// at least one reading is known.
bool CanWrite() {
  if (DLogSetting.maxStorage == 0) return false;
  if (UpsRecord.shownStatus & UpsBit(UPS_ST_COMMLOST)) return false;
  return AnyReadingKnown();
}

// The year directory exists (created 0755 when nothing stands at its path).
bool EnsureYearDir(int year) {
  char path[PATH_MAX];
  if (snprintf(path, sizeof path, "%s/%d", DLog_Dir(), year) >= static_cast<int>(sizeof path)) return false;
  struct stat st;
  if (stat(path, &st) == 0) return S_ISDIR(st.st_mode);
  if (errno != ENOENT) return false;
  if (mkdir(path, 0755) == 0) return true;
  return errno == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Writes running record r into the current month's file of its resolution:
// over the file's last record when overwrite is set and the file holds
// records, else after its last whole record (a partial record left at the
// end by an outside hand is replaced). A new or empty file gets the magic
// first; a file with another magic is never written. 1 when the record is
// in the file.
int DLog_WriteRecord(int r, bool overwrite) {
  if (!CanWrite()) return 0;
  const int year = SvcLocalTime->tm_year + 1900, month = SvcLocalTime->tm_mon + 1;
  char path[PATH_MAX];
  if (!DLog_FilePath(path, sizeof path, r, year, month)) return 0;

  int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT || !EnsureYearDir(year)) return 0;
    fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return 0;
  }
  off_t size = st.st_size;
  bool fresh = false;
  uint8_t magic[DLOG_MAGIC_SIZE];
  if (size == 0) {
    PutLe32(magic, DLOG_MAGIC);
    if (!UF_WriteAt(fd, magic, sizeof magic, 0)) {
      if (ftruncate(fd, 0) != 0) { /* the next write starts over anyway */ }
      close(fd);
      return 0;
    }
    fresh = true;
    size = DLOG_MAGIC_SIZE;
  } else if (size < DLOG_MAGIC_SIZE || !UF_ReadAt(fd, magic, sizeof magic, 0) || GetLe32(magic) != DLOG_MAGIC) {
    close(fd);
    return 0;
  }

  const off_t whole = (size - DLOG_MAGIC_SIZE) / DLOG_RECORD_SIZE;
  const off_t slot = overwrite && !fresh && whole > 0 ? whole - 1 : whole;
  const off_t at = DLOG_MAGIC_SIZE + slot * DLOG_RECORD_SIZE;
  uint8_t bytes[DLOG_RECORD_SIZE];
  DLog_EncodeRecord(g_run[r], bytes);
  bool ok = UF_WriteAt(fd, bytes, sizeof bytes, at);
  if (!ok) {
    // A record cut short at the end is taken back: the file keeps whole records.
    if (at + DLOG_RECORD_SIZE > size && ftruncate(fd, size) != 0) { /* nothing more to do */ }
  } else if (size > at + DLOG_RECORD_SIZE) {
    ok = ftruncate(fd, at + DLOG_RECORD_SIZE) == 0;  // a partial record after the last one
  }
  if (close(fd) != 0) ok = false;
  return ok ? 1 : 0;
}

// The running record r of the bucket in progress: over its own slot, or
// appended as the slot when there is none in this month's file yet.
void WriteRunning(int r) {
  const int year = SvcLocalTime->tm_year + 1900, month = SvcLocalTime->tm_mon + 1;
  Slot& s = g_slot[r];
  const bool own = s.open && s.year == year && s.month == month;
  if (DLog_WriteRecord(r, own)) s = Slot{true, year, month};
}

// The finished record r: replaces its slot (or is appended); the next
// bucket's record is appended at its own first write.
void WriteFinished(int r) {
  WriteRunning(r);
  g_slot[r].open = false;
}

// ---- the periodic CSV line ---------------------------------------------------

// "Export Path=" in the locale's multibyte encoding followed by "UPS.csv";
// 0 when it cannot be converted or does not fit.
int CsvLinePath(char* out, size_t size) {
  wchar_t wide[DLOG_PATH_CHARS + 1];
  wcsncpy(wide, DLogSetting.exportPath, DLOG_PATH_CHARS);
  wide[DLOG_PATH_CHARS] = 0;
  char prefix[DLOG_PATH_CHARS * MB_LEN_MAX + 1];
  size_t n = wcstombs(prefix, wide, sizeof prefix);
  if (n == static_cast<size_t>(-1) || n >= sizeof prefix) return 0;
  int length = snprintf(out, size, "%sUPS.csv", prefix);
  return length > 0 && static_cast<size_t>(length) < size;
}

struct CsvValue {
  uint8_t index;  // UpsRecord.values index
  bool tenths;
  bool fahrenheit;  // the Celsius reading of index shown in Fahrenheit
};
const CsvValue kCsvValues[] = {
    {VAL_BATTVOLT, true, false}, {VAL_BATTAMP, true, false},  {VAL_BATTLEVEL, false, false},
    {VAL_TEMP, false, false},    {VAL_TEMP, false, true},     {VAL_OUTFREQ, true, false},
    {VAL_OUTVOLT1, true, false}, {VAL_OUTVOLT2, true, false}, {VAL_OUTVOLT3, true, false},
    {VAL_OUTAMP1, true, false},  {VAL_OUTAMP2, true, false},  {VAL_OUTAMP3, true, false},
    {VAL_OUTPOWER1, false, false}, {VAL_OUTPOWER2, false, false}, {VAL_OUTPOWER3, false, false},
    {VAL_OUTLOAD1, false, false}, {VAL_OUTLOAD2, false, false}, {VAL_OUTLOAD3, false, false},
    {VAL_INFREQ1, true, false},  {VAL_INFREQ2, true, false},  {VAL_INFREQ3, true, false},
    {VAL_INVOLT1, true, false},  {VAL_INVOLT2, true, false},  {VAL_INVOLT3, true, false},
    {VAL_INVOLT12, true, false}, {VAL_INVOLT23, true, false}, {VAL_INVOLT31, true, false},
    {VAL_INAMP1, true, false},   {VAL_INAMP2, true, false},   {VAL_INAMP3, true, false},
    {VAL_INPOWER1, false, false}, {VAL_INPOWER2, false, false}, {VAL_INPOWER3, false, false},
    {VAL_BYFREQ, true, false},   {VAL_BYVOLT1, true, false},  {VAL_BYVOLT2, true, false},
    {VAL_BYVOLT3, true, false},  {VAL_BYAMP1, true, false},   {VAL_BYAMP2, true, false},
    {VAL_BYAMP3, true, false},   {VAL_BYPOWER1, false, false}, {VAL_BYPOWER2, false, false},
    {VAL_BYPOWER3, false, false},
};
static_assert(std::size(kCsvValues) == 43);

const char* const kCsvHeader =
    "Date (MM/DD/YYYY), Time(hh:mm:ss), Batt Volt(V), Batt Current(A), Batt Level(%), UPS Temp(C), UPS Temp(F), "
    "Out Freq(Hz), Out Volt1(V), Out Volt2(V), Out Volt3(V), Out Amp1(A), Out Amp2(A), Out Amp3(A), "
    "Out Pwr1(W), Out Pwr2(W), Out Pwr3(W), Out Load1(%), Out Load2(%), Out Load3(%), "
    "In Freq1(Hz), In Freq2(Hz), In Freq3(Hz), In Volt1(V), In Volt2(V), In Volt3(V), "
    "In Volt12(V), In Volt23(V), In Volt31(V), In Amp1(A), In Amp2(A), In Amp3(A), "
    "In Pwr1(W), In Pwr2(W), In Pwr3(W), By Freq(Hz), By Volt1(V), By Volt2(V), By Volt3(V), "
    "By Amp1(A), By Amp2(A), By Amp3(A), By Pwr1(W), By Pwr2(W), By Pwr3(W)\n";

// Appends one line of the current readings to "<Export Path>UPS.csv", with
// the model and the header first when the file is empty. The name is opened
// without following a link (the default path is /tmp) and only a regular
// file is written; the line goes out in one write and a line cut short is
// taken back.
void DLog_ExportCsvLine() {
  char path[PATH_MAX];
  if (!CsvLinePath(path, sizeof path)) return;
  int fd = UF_OpenNoFollow(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK, 0644);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return;
  }

  char* text = nullptr;
  size_t length = 0;
  FILE* f = open_memstream(&text, &length);
  if (!f) {
    close(fd);
    return;
  }
  if (st.st_size == 0) {
    fprintf(f, "Model: %.*s\n", static_cast<int>(strnlen(UpsRecord.model, sizeof UpsRecord.model)),
            UpsRecord.model);
    fputs(kCsvHeader, f);
  }
  const struct tm& now = *SvcLocalTime;
  fprintf(f, "%02d/%02d/%04d, %02d:%02d:%02d, ", now.tm_mon + 1, now.tm_mday, now.tm_year + 1900, now.tm_hour,
          now.tm_min, now.tm_sec);
  for (const CsvValue& v : kCsvValues) {
    int64_t value = UpsRecord.values[v.index];
    if (v.fahrenheit && value != -1) value = value * 9 / 5 + 32;
    DLog_WriteValue(f, value, "", v.tenths, 0);
  }
  fputc('\n', f);
  bool ok = fclose(f) == 0;
  if (ok) {
    size_t done = 0;
    while (done < length) {
      ssize_t n = write(fd, text + done, length - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    if (done < length && done > 0 && ftruncate(fd, st.st_size) != 0) { /* the line stays cut */ }
  }
  free(text);
  close(fd);
}

// ---- operations ------------------------------------------------------------

void DLog_Sample() {
  if (DLogSetting.maxStorage == 0) return;
  const struct tm& now = *SvcLocalTime;
  DLogRecord& minute = g_run[DLOG_1MM];
  SetHeader(minute, now);
  for (int c = 0; c < DLOG_CHANNELS; ++c) {
    // -1: not reported, or the link is lost (the record keeps its "no value" marks)
    const int32_t v = UpsData_Reading(DLogChannels[c]);
    if (v < 0) continue;
    if (v < minute.min[c]) minute.min[c] = v;
    if (v > minute.max[c]) minute.max[c] = v;
  }

  const Stamp at = StampOf(now);
  if (SameMinute(at, g_last)) return;

  // A new minute: the minute's record goes to its file and into ten minutes.
  Fold(g_run[DLOG_10MM], minute);
  DLog_WriteRecord(DLOG_1MM, false);
  DLog_ResetRecord(DLOG_1MM);
  SetHeader(g_run[DLOG_10MM], now);
  if (SameTenMinutes(at, g_last)) {
    WriteRunning(DLOG_10MM);
  } else {
    Fold(g_run[DLOG_1HH], g_run[DLOG_10MM]);
    WriteFinished(DLOG_10MM);
    DLog_ResetRecord(DLOG_10MM);
    SetHeader(g_run[DLOG_1HH], now);
    if (SameHour(at, g_last)) {
      WriteRunning(DLOG_1HH);
    } else {
      Fold(g_run[DLOG_12HH], g_run[DLOG_1HH]);
      WriteFinished(DLOG_1HH);
      DLog_ResetRecord(DLOG_1HH);
      SetHeader(g_run[DLOG_12HH], now);
      if (SameHalfDay(at, g_last)) {
        WriteRunning(DLOG_12HH);
      } else {
        WriteFinished(DLOG_12HH);
        DLog_ResetRecord(DLOG_12HH);
      }
    }
  }
  g_last = at;
}

void DLog_ExportTick() {
  // Tested as a signed byte: a period of 128 or more never counts down.
  const int8_t left = static_cast<int8_t>(DLogExportCountdown);
  if (left <= 0) return;
  DLogExportCountdown = static_cast<uint8_t>(left - 1);
  if (DLogExportCountdown != 0) return;
  DLogExportCountdown = DLogSetting.exportPeriod;
  // No line without readings: at start (the first minute's work runs one
  // second after start) that would also leave the file without its model.
  if (!(UpsRecord.shownStatus & UpsBit(UPS_ST_COMMLOST)) && AnyReadingKnown()) DLog_ExportCsvLine();
}

void RemoveMonth(int year, int month) {
  if (year < 0) return;
  char path[PATH_MAX];
  for (int r = 0; r < DLOG_RESOLUTIONS; ++r)
    if (DLog_FilePath(path, sizeof path, r, year, month)) remove(path);
}

// Keeps the current month and the N - 1 before it (N = "Maximum Storage="):
// deletes the older months of this year and last year, or, for N of a year
// or more, the older months of the year in which the kept span begins.
void DLog_ApplyRetention() {
  const int n = DLogSetting.maxStorage;
  const int month = SvcLocalTime->tm_mon + 1, year = SvcLocalTime->tm_year + 1900;
  if (n < month) {
    for (int m = 1; m <= month - n; ++m) RemoveMonth(year, m);
    for (int m = 1; m <= 12; ++m) RemoveMonth(year - 1, m);
  } else {
    const int k = n - month;
    for (int m = 1; m <= 12 - k % 12; ++m) RemoveMonth(year - 1 - k / 12, m);
  }
}

}  // namespace

// ---- shared with the history exports ---------------------------------------

void DLog_EncodeRecord(const DLogRecord& record, uint8_t out[DLOG_RECORD_SIZE]) {
  out[0] = record.month;
  out[1] = record.day;
  out[2] = record.year;
  out[3] = record.hour;
  out[4] = record.minute;
  out[5] = record.second;
  out[6] = 0;
  out[7] = 0;
  for (int c = 0; c < DLOG_CHANNELS; ++c) {
    PutLe32(out + 8 + 4 * c, record.min[c]);
    PutLe32(out + 8 + 4 * DLOG_CHANNELS + 4 * c, record.max[c]);
  }
}

void DLog_DecodeRecord(const uint8_t in[DLOG_RECORD_SIZE], DLogRecord* out) {
  out->month = in[0];
  out->day = in[1];
  out->year = in[2];
  out->hour = in[3];
  out->minute = in[4];
  out->second = in[5];
  for (int c = 0; c < DLOG_CHANNELS; ++c) {
    out->min[c] = GetLe32(in + 8 + 4 * c);
    out->max[c] = GetLe32(in + 8 + 4 * DLOG_CHANNELS + 4 * c);
  }
}

int DLog_FilePath(char* out, size_t size, int resolution, int year, int month) {
  if (!out || size == 0) return 0;
  out[0] = 0;
  if (resolution < 0 || resolution >= DLOG_RESOLUTIONS || month < 1 || month > 12) return 0;
  int n = snprintf(out, size, "%s/%d/%d_%s.DAT", DLog_Dir(), year, month, kSuffix[resolution]);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    out[0] = 0;
    return 0;
  }
  return 1;
}

int DLog_SelectorResolution(int selector) {
  switch (selector) {
    case DLOG_SEL_1MM: return DLOG_1MM;
    case DLOG_SEL_1HH: return DLOG_1HH;
    case DLOG_SEL_12HH: return DLOG_12HH;
    case DLOG_SEL_10MM: return DLOG_10MM;
    default: return -1;
  }
}

const char* DLog_Dir() { return g_dir ? g_dir : ""; }

void DLog_Init(const char* installDir) {
  for (int r = 0; r < DLOG_RESOLUTIONS; ++r) {
    DLog_ResetRecord(r);
    g_slot[r] = Slot{};
  }
  g_last = StampOf(*SvcLocalTime);
  g_dir = installDir;
  DLogExportCountdown = DLogSetting.exportPeriod;
  DLogOps = DLogOpsTable{DLog_Sample, DLog_ExportTick, DLog_ExportHtml, DLog_ExportHistCsv, DLog_ApplyRetention};
}

void DLog_Exit() {}
