// Data log history exports: the records of a date range at one resolution,
// collected from the monthly files into a selection file, then written
// newest first as an HTML table or a CSV file into the private directory.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <iterator>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/svc.h"
#include "core/util.h"
#include "events/dlog.h"
#include "ups/upsdata.h"

namespace {

constexpr const char* kSelectionName = "data.dat";

// One exported measurement: a Lo/Hi pair of one channel, or (for the
// battery and temperature columns) its maximum alone.
struct Column {
  const char* group;  // HTML group title
  const char* csv;    // CSV header name
  uint8_t channel;
  const char* unit;
  bool tenths;
};

// Battery and temperature: the maximum only (Fahrenheit from the Celsius maximum).
constexpr Column kBattVolt{"Volt", "Batt Volt", 0, "V", true};
constexpr Column kBattAmp{"Current", "Batt Current", 1, "A", true};
constexpr Column kBattLevel{"Level", "Batt Level", 3, "%", false};
constexpr uint8_t kTempChannel = 2;

const Column kPairs[] = {
    {"Out Freq", "Out Freq", 25, "Hz", true},    {"Out Volt-1", "Out Volt1", 26, "V", true},
    {"Out Volt-2", "Out Volt2", 30, "V", true},  {"Out Volt-3", "Out Volt3", 34, "V", true},
    {"Out Amp-1", "Out Amp1", 27, "A", true},    {"Out Amp-2", "Out Amp2", 31, "A", true},
    {"Out Amp-3", "Out Amp3", 35, "A", true},    {"Out Pwr-1", "Out Pwr1", 28, "W", false},
    {"Out Pwr-2", "Out Pwr2", 32, "W", false},   {"Out Pwr-3", "Out Pwr3", 36, "W", false},
    {"Out Load-1", "Out Load1", 29, "%", false}, {"Out Load-2", "Out Load2", 33, "%", false},
    {"Out Load-3", "Out Load3", 37, "%", false}, {"In Freq-1", "In Freq1", 10, "Hz", true},
    {"In Freq-2", "In Freq2", 14, "Hz", true},   {"In Freq-3", "In Freq3", 18, "Hz", true},
    {"In Volt-1", "In Volt1", 11, "V", true},    {"In Volt-2", "In Volt2", 15, "V", true},
    {"In Volt-3", "In Volt3", 19, "V", true},    {"In Volt-12", "In Volt12", 22, "V", true},
    {"In Volt-23", "In Volt23", 23, "V", true},  {"In Volt-31", "In Volt31", 24, "V", true},
    {"In Amp-1", "In Amp1", 12, "A", true},      {"In Amp-2", "In Amp2", 16, "A", true},
    {"In Amp-3", "In Amp3", 20, "A", true},      {"In Pwr-1", "In Pwr1", 13, "W", false},
    {"In Pwr-2", "In Pwr2", 17, "W", false},     {"In Pwr-3", "In Pwr3", 21, "W", false},
    {"By Freq", "By Freq", 44, "Hz", true},      {"By Volt-1", "By Volt1", 45, "V", true},
    {"By Volt-2", "By Volt2", 48, "V", true},    {"By Volt-3", "By Volt3", 51, "V", true},
    {"By Amp-1", "By Amp1", 46, "A", true},      {"By Amp-2", "By Amp2", 49, "A", true},
    {"By Amp-3", "By Amp3", 52, "A", true},      {"By Pwr-1", "By Pwr1", 47, "W", false},
    {"By Pwr-2", "By Pwr2", 50, "W", false},     {"By Pwr-3", "By Pwr3", 53, "W", false},
};
static_assert(std::size(kPairs) == 38);

const char* const kHtmlHead =
    "<html><head><meta http-equiv=\"content-type\" content=\"text/html\"; charset=\"utf-8\">"
    "<meta http-equiv=\"expires\" content=\"-1\"><link rel=\"stylesheet\" href=\"/template.css\" "
    "type=\"text/css\"></head><body>\n"
    "<table width=100% border=1 cellspacing=0 cellpadding=0>\n";

// Orders dates by year, month and day, the same for records and bounds
// (31 days to every month, 12 months to every year: gaps, never overlaps,
// so December's last days come before January's first).
int DayIndex(int month, int day, int year) { return (year * 12 + month - 1) * 31 + day; }

bool After(int year, int month, int day, const TimeDate& to) {
  if (year != to.year) return year > to.year;
  if (month != to.month) return month > to.month;
  return day > to.day;
}

// The selection: "data.dat" in the private temporary directory, created
// fresh (never through a link) and removed when the export ends. Holds the
// collected records, whole.
class Selection {
 public:
  Selection() {
    Svc_TmpPath(path_, sizeof path_, kSelectionName);
    fd_ = UF_OpenNoFollow(path_, O_RDWR | O_CREAT | O_TRUNC, 0600);
  }
  ~Selection() {
    if (fd_ >= 0) {
      close(fd_);
      unlink(path_);
    }
  }
  Selection(const Selection&) = delete;
  Selection& operator=(const Selection&) = delete;

  bool Open() const { return fd_ >= 0; }
  bool Complete() const { return fd_ >= 0 && complete_; }
  long Count() const { return count_; }
  void Add(const uint8_t* record) {
    if (!complete_) return;
    if (UF_WriteAt(fd_, record, DLOG_RECORD_SIZE, static_cast<off_t>(count_) * DLOG_RECORD_SIZE)) ++count_;
    else complete_ = false;  // no space: what is there is shown, and the export says it is incomplete
  }
  // Record i (0 = oldest); false when it cannot be read back whole.
  bool Read(long i, DLogRecord* out) const {
    uint8_t bytes[DLOG_RECORD_SIZE];
    if (!UF_ReadAt(fd_, bytes, sizeof bytes, static_cast<off_t>(i) * DLOG_RECORD_SIZE)) return false;
    DLog_DecodeRecord(bytes, out);
    return true;
  }

 private:
  char path_[PATH_MAX];
  int fd_ = -1;
  long count_ = 0;
  bool complete_ = true;
};

// Copies the records of one monthly file whose day index lies in lo..hi.
// A missing file, one that is not a regular file and one with another
// magic add nothing; a partial record at the end is left out.
void CollectFile(const char* path, int lo, int hi, Selection& sel) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;
  struct stat st;
  uint8_t magic[DLOG_MAGIC_SIZE];
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && UF_ReadAt(fd, magic, sizeof magic, 0) &&
      (magic[0] | magic[1] << 8 | magic[2] << 16 | static_cast<uint32_t>(magic[3]) << 24) ==
          static_cast<uint32_t>(DLOG_MAGIC)) {
    FILE* f = fdopen(fd, "rb");
    if (!f) {
      close(fd);
      return;
    }
    fd = -1;
    if (fseek(f, DLOG_MAGIC_SIZE, SEEK_SET) == 0) {
      uint8_t bytes[DLOG_RECORD_SIZE];
      while (fread(bytes, 1, sizeof bytes, f) == sizeof bytes) {
        const int index = DayIndex(bytes[0], bytes[1], bytes[2]);
        if (index >= lo && index <= hi) sel.Add(bytes);
      }
    }
    fclose(f);
  }
  if (fd >= 0) close(fd);
}

// Walks the months from from's to to's and collects the records of the
// range at the selected resolution into the selection. An unknown selector
// collects nothing. 0 when the selection file cannot be created.
int DLog_CollectRange(TimeDate from, TimeDate to, int selector, Selection& sel) {
  if (!sel.Open()) return 0;
  const int resolution = DLog_SelectorResolution(selector);
  if (resolution < 0) return 1;
  const int lo = DayIndex(from.month, from.day, from.year), hi = DayIndex(to.month, to.day, to.year);
  int year = from.year, month = from.month, day = from.day;
  // Years are 0..255 after 2000, so the walk visits at most 256 x 12 months
  // (one more for a from-month outside 1..12, whose file names no file).
  while (!After(year, month, day, to)) {
    char path[PATH_MAX];
    if (DLog_FilePath(path, sizeof path, resolution, 2000 + year, month)) CollectFile(path, lo, hi, sel);
    day = 1;
    if (++month > 12) {
      month = 1;
      ++year;
    }
  }
  return 1;
}

// Empty when the private directory is not the service's own: nothing is written.
void TempagePath(char* out, size_t size, const char* name) { Svc_TmpPath(out, static_cast<unsigned>(size), name); }

// Creates the output file fresh (never through a link).
FILE* CreateOutput(const char* path) {
  remove(path);
  return UF_FOpenNoFollow(path, "w", 0644);
}

// Closes the output; a file that was not written whole is removed.
int FinishOutput(FILE* f, const char* path, bool complete) {
  bool ok = !ferror(f);
  if (fclose(f) != 0) ok = false;
  if (!ok) {
    remove(path);
    return 0;
  }
  return complete ? 1 : 0;
}

int64_t Fahrenheit(int32_t celsius) {
  if (celsius == DLOG_NO_MAX || celsius == DLOG_NO_MIN) return -1;
  return static_cast<int64_t>(celsius) * 9 / 5 + 32;
}

// The value cells of one record, in column order.
void WriteCells(FILE* f, const DLogRecord& r, int html) {
  for (const Column* c : {&kBattVolt, &kBattAmp, &kBattLevel})
    DLog_WriteValue(f, r.max[c->channel], c->unit, c->tenths, html);
  DLog_WriteValue(f, r.max[kTempChannel], "C", 0, html);
  DLog_WriteValue(f, Fahrenheit(r.max[kTempChannel]), "F", 0, html);
  for (const Column& c : kPairs) {
    DLog_WriteValue(f, r.min[c.channel], c.unit, c.tenths, html);
    DLog_WriteValue(f, r.max[c.channel], c.unit, c.tenths, html);
  }
}

}  // namespace

void DLog_WriteValue(FILE* f, int64_t value, const char* unit, int tenths, int html) {
  if (!unit) unit = "";
  if (value == -1 || value == DLOG_NO_MIN) {
    fputs(html ? "<td>&nbsp</td>" : ",", f);
    return;
  }
  if (!tenths) {
    fprintf(f, html ? "<td>%lld%s</td>" : "%lld%s,", static_cast<long long>(value), unit);
    return;
  }
  const long long whole = value / 10;
  const int digit = static_cast<int>(value < 0 ? -(value % 10) : value % 10);
  // -0.5: the whole part alone would lose the sign.
  const char* sign = value < 0 && whole == 0 ? "-" : "";
  fprintf(f, html ? "<td>%s%lld.%d%s</td>" : "%s%lld.%d%s,", sign, whole, digit, unit);
}

int DLog_ExportHtml(TimeDate from, TimeDate to, int selector) {
  Selection sel;
  const bool collected = DLog_CollectRange(from, to, selector, sel) == 1;
  char path[PATH_MAX];
  TempagePath(path, sizeof path, DLOG_HIST_PAGE_NAME);
  FILE* f = CreateOutput(path);
  if (!f) return 0;

  fputs(kHtmlHead, f);
  fputs("<tr><td rowspan=2 width=80 class=title align=center>Date (MM/DD/YYYY)</td>"
        "<td rowspan=2 width=70 class=title align=\"center\">Time(hh:mm:ss)</td>"
        "<td colspan=3 class=title align=\"center\">Battery</td>"
        "<td colspan=2 class=title align=\"center\">UPS Temp</td>",
        f);
  for (const Column& c : kPairs) fprintf(f, "<td colspan=2 class=title align=\"center\">%s</td>", c.group);
  fputs("</tr>\n<tr>"
        "<td class=title align=\"center\">Volt</td><td class=title align=\"center\">Current</td>"
        "<td class=title align=\"center\">Level</td>"
        "<td class=title align=\"center\">C</td><td class=title align=\"center\">F</td>",
        f);
  for (size_t i = 0; i < std::size(kPairs); ++i)
    fputs("<td class=title align=\"center\">Lo</td><td class=title align=\"center\">Hi</td>", f);
  fputs("</tr>\n", f);

  bool complete = collected && sel.Complete();
  long row = 0;
  for (long i = sel.Count() - 1; i >= 0; --i) {
    DLogRecord r;
    if (!sel.Read(i, &r)) {
      complete = false;
      break;
    }
    fputs(row++ % 2 == 0 ? "<tr>" : "<tr bgcolor=#eeeeee>", f);
    fprintf(f, "<td>%02d/%02d/%04d</td><td>%02d:%02d:%02d</td>", r.month, r.day, r.year + 2000, r.hour, r.minute,
            r.second);
    WriteCells(f, r, 1);
    fputs("</tr>\n", f);
  }
  fputs("</table></body></html>\n", f);
  return FinishOutput(f, path, complete);
}

int DLog_ExportHistCsv(TimeDate from, TimeDate to, int selector) {
  Selection sel;
  const bool collected = DLog_CollectRange(from, to, selector, sel) == 1;
  char path[PATH_MAX];
  TempagePath(path, sizeof path, DLOG_HIST_CSV_NAME);
  FILE* f = CreateOutput(path);
  if (!f) return 0;

  fprintf(f, "Model: %.*s\n", static_cast<int>(strnlen(UpsRecord.model, sizeof UpsRecord.model)), UpsRecord.model);
  const time_t now = Svc_Now();
  struct tm tm {};
  localtime_r(&now, &tm);
  fprintf(f, "Download Time: %02d/%02d/%04d %02d:%02d:%02d\n\n", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900,
          tm.tm_hour, tm.tm_min, tm.tm_sec);
  fputs("Date (MM/DD/YYYY), Time(hh:mm:ss), Batt Volt, Batt Current, Batt Level, UPS Temp C, UPS Temp F, ", f);
  for (const Column& c : kPairs) fprintf(f, "%s-Lo, %s-Hi, ", c.csv, c.csv);
  fputc('\n', f);

  bool complete = collected && sel.Complete();
  for (long i = sel.Count() - 1; i >= 0; --i) {
    DLogRecord r;
    if (!sel.Read(i, &r)) {
      complete = false;
      break;
    }
    fprintf(f, "%02d/%02d/%04d, %02d:%02d:%02d, ", r.month, r.day, r.year + 2000, r.hour, r.minute, r.second);
    WriteCells(f, r, 0);
    fputc('\n', f);
  }
  return FinishOutput(f, path, complete);
}
