// Event log: records, trimming, and the web history exports.
#include "events/evtlog.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <ctime>
#include <string>
#include <string_view>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/svc.h"
#include "core/util.h"
#include "events/evtdef.h"
#include "events/mail.h"
#include "events/sms.h"
#include "ups/upsdata.h"

int32_t EvtLogRecordCount;
EvtLogOpsTable EvtLogOps;

namespace {

const char* g_dir = nullptr;  // installation directory, given at init

// Events that could not be appended since the last append that worked: how
// many, the time of the first, and why it failed.
struct Unwritten {
  long count;
  time_t since;
  int error;
};
Unwritten g_unwritten;

void LogPath(char* out, size_t size) { snprintf(out, size, "%s/%s", g_dir ? g_dir : "", EVTLOG_FILE); }

// Empty when the private directory is not the service's own: nothing is written.
void TempagePath(char* out, size_t size, const char* name) { Svc_TmpPath(out, static_cast<unsigned>(size), name); }

// ---- the record ------------------------------------------------------------
//
// A record is one line of the log, "code level mm/dd/yyyy hh:mm:ss text"
// and its line feed (FormatRecord). It starts at the start of the log or
// right after the line feed that ends the record before it, and nowhere
// else: its text is always one line (EvtLog_FillText), so whatever the
// text quotes is no record boundary. A last line without its line feed is
// an append cut short and no record (the next append cuts it). Readers
// split a record into its fields with ParseRecord, which takes the date as
// the log writes it and in year/month/day order too.

// "mm/dd/yyyy hh:mm:ss" of a local time (room for any int fields).
constexpr size_t kStampSize = 72;
void Stamp(char* out, size_t size, const struct tm& tm) {
  snprintf(out, size, "%02d/%02d/%04d %02d:%02d:%02d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900, tm.tm_hour,
           tm.tm_min, tm.tm_sec);
}

// One record, line feed included, as the log holds it.
std::string FormatRecord(int code, int level, const struct tm& tm, const char* text) {
  char stamp[kStampSize];
  Stamp(stamp, sizeof stamp, tm);
  return std::to_string(code) + ' ' + std::to_string(level) + ' ' + stamp + ' ' + text + '\n';
}

// Reads the log's records, oldest first.
class RecordReader {
 public:
  explicit RecordReader(FILE* f) : f_(f) {}
  ~RecordReader() { free(buf_); }
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;

  // The next record, whole and without its line feed; false at the end.
  bool Next(std::string_view* record) {
    ssize_t n = getline(&buf_, &cap_, f_);
    if (n <= 0 || buf_[n - 1] != '\n') return false;
    *record = std::string_view(buf_, static_cast<size_t>(n - 1));
    return true;
  }
  // The next record as the history readers take it: cut to a record
  // buffer (the service's own records always fit).
  bool NextCut(std::string* record) {
    std::string_view whole;
    if (!Next(&whole)) return false;
    record->assign(whole.substr(0, EVTLOG_RECORD_SIZE - 1));
    return true;
  }

 private:
  FILE* f_;
  char* buf_ = nullptr;
  size_t cap_ = 0;
};

// A record's fields, split on a copy of its text.
struct Fields {
  std::string line;  // the record, cut at its blanks
  char *code, *level, *date, *time, *text;
  TimeDate day;  // all zero when the date is no date
};

int EvtLog_SplitRecord(char* record, char** code, char** level, char** date, char** time, char** text);

// Splits a record and reads its date. 0 when it does not split.
int ParseRecord(const std::string& record, Fields* out) {
  out->line = record;
  if (!EvtLog_SplitRecord(out->line.data(), &out->code, &out->level, &out->date, &out->time, &out->text)) return 0;
  out->day = TimeDate{};
  if (Time_ParseDate(out->date, &out->day, 0) != 3) {
    out->day = TimeDate{};
    if (Time_ParseDate(out->date, &out->day, 1) != 3) out->day = TimeDate{};
  }
  return 1;
}

int32_t EvtLog_CountRecords() {
  char path[512];
  LogPath(path, sizeof path);
  FILE* f = fopen(path, "r");
  if (!f) return 0;
  int32_t count = 0;
  {
    RecordReader r(f);
    std::string_view record;
    while (r.Next(&record)) ++count;
  }
  fclose(f);
  return count;
}

// Replaces the log by a copy without its oldest n records (temporary file
// and rename); every later record is copied as it stands. The number of
// records kept, or -1 when the log stays as it was.
int32_t EvtLog_DropOldest(int32_t n) {
  char path[512];
  LogPath(path, sizeof path);
  FILE* in = fopen(path, "r");
  if (!in) return -1;
  FILE* out = UF_ReplaceBegin(path, 0644);
  if (!out) {
    fclose(in);
    return -1;
  }
  int32_t seen = 0, kept = 0;
  bool ok = true;
  {
    RecordReader r(in);
    std::string_view record;
    while (ok && r.Next(&record)) {
      if (seen++ < n) continue;
      ok = fwrite(record.data(), 1, record.size(), out) == record.size() && fputc('\n', out) != EOF;
      ++kept;
    }
  }
  if (ferror(in)) ok = false;
  fclose(in);
  if (!UF_ReplaceCommit(out, path, ok)) return -1;
  return kept;
}

// ---- adding ----------------------------------------------------------------

// A text in the locale's multibyte encoding as wide characters (at most
// size - 1); bytes that do not decode become '?'.
void TextToWide(wchar_t* out, size_t size, const char* text) {
  size_t n = 0;
  mbstate_t st{};
  const char* p = text;
  size_t left = strlen(text);
  while (left > 0 && n + 1 < size) {
    wchar_t w;
    size_t k = mbrtowc(&w, p, left, &st);
    if (k == static_cast<size_t>(-1) || k == static_cast<size_t>(-2)) {
      st = mbstate_t{};
      w = L'?';
      k = 1;
    } else if (k == 0) {
      break;
    }
    out[n++] = w;
    p += k;
    left -= k;
  }
  out[n] = 0;
}

// The record that says how many events the log lost, and since when.
std::string UnwrittenRecord(const struct tm& now) {
  struct tm since {};
  localtime_r(&g_unwritten.since, &since);
  char stamp[kStampSize];
  Stamp(stamp, sizeof stamp, since);
  char text[EVTLOG_TEXT_SIZE];
  snprintf(text, sizeof text, "%ld event%s not written to the event log since %s: %s", g_unwritten.count,
           g_unwritten.count == 1 ? "" : "s", stamp, strerror(g_unwritten.error));
  return FormatRecord(EVT_FREE_TEXT, 2, now, text);
}

// Where the log's last whole record ends. A last line without its line
// feed (an append cut short by a crash, or a cut-back that failed) is cut
// off, so that the next record starts a line of its own. -1 on an error.
off_t WholeEnd(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  char buf[512];
  for (off_t end = st.st_size; end > 0;) {
    const size_t n = end < static_cast<off_t>(sizeof buf) ? static_cast<size_t>(end) : sizeof buf;
    const off_t from = end - static_cast<off_t>(n);
    if (pread(fd, buf, n, from) != static_cast<ssize_t>(n)) return -1;
    for (size_t i = n; i > 0; --i) {
      if (buf[i - 1] != '\n') continue;
      const off_t whole = from + static_cast<off_t>(i);
      if (whole != st.st_size && ftruncate(fd, whole) != 0) return -1;
      return whole;
    }
    end = from;
  }
  if (st.st_size > 0 && ftruncate(fd, 0) != 0) return -1;
  return 0;
}

// Appends whole lines to the log in one write. An append that fails part
// way (a full disk) is cut back to where the log ended, so the log holds
// whole records only. 0, or the errno of the failure.
int AppendLines(const char* path, const std::string& lines) {
  int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  const off_t start = WholeEnd(fd);
  int error = start < 0 ? errno : 0;
  for (size_t done = 0; error == 0 && done < lines.size();) {
    ssize_t n = write(fd, lines.data() + done, lines.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) error = n < 0 ? errno : ENOSPC;
    else done += static_cast<size_t>(n);
  }
  // A cut-back that fails leaves a torn line, which the next append cuts.
  if (error != 0 && start >= 0) (void)!ftruncate(fd, start);
  close(fd);
  return error;
}

// Appends the event's record, after the record of the events lost before
// it when there are such; keeps count of what could not be written.
void AppendRecord(const struct tm& tm, time_t now, const std::string& record) {
  char path[512];
  LogPath(path, sizeof path);
  const bool lost = g_unwritten.count > 0;
  const int error = AppendLines(path, lost ? UnwrittenRecord(tm) + record : record);
  if (error != 0) {
    if (!lost) g_unwritten = Unwritten{0, now, error};
    ++g_unwritten.count;
    return;
  }
  g_unwritten = Unwritten{};
  EvtLogRecordCount += lost ? 2 : 1;
  if (EvtLogRecordCount > EVTLOG_MAX_RECORDS) {
    int32_t kept = EvtLog_DropOldest(EVTLOG_TRIM_RECORDS);
    // A trim that failed leaves the file and so the count as they are.
    if (kept >= 0) EvtLogRecordCount = kept;
  }
}

void AddRecord(int code, int level, const char* text, const char* const* args, int argCount) {
  if (!g_dir) return;
  time_t now = Svc_Now();
  struct tm tm {};
  localtime_r(&now, &tm);

  char filled[EVTLOG_TEXT_SIZE];
  EvtLog_FillText(filled, sizeof filled, text, args, argCount);
  AppendRecord(tm, now, FormatRecord(code, level, tm, filled));

  // Logged or not, the event goes on to its notifications. Table events go
  // to the mail spool of their level (free text never).
  if (code >= 0 && MailOps.AddEvent) {
    const char* a[EVTLOG_MAX_ARGS] = {};
    for (int i = 0; i < argCount; ++i) a[i] = args[i];
    const bool ups = code >= EVT_UPS_BASE;
    MailOps.AddEvent(ups ? MAIL_KIND_UPS : MAIL_KIND_SYSTEM, ups ? code - EVT_UPS_BASE : code, UpsRecord.serial,
                     UpsRecord.model, a[0], a[1], a[2], a[3], a[4], a[5], static_cast<const char*>(nullptr));
  }
  // The SMS slot takes the event when it is free.
  if (level >= 1 && !SmsSlot.pending) {
    char stamped[EVTLOG_TEXT_SIZE + 16];
    snprintf(stamped, sizeof stamped, "%02d:%02d:%02d %s", tm.tm_hour, tm.tm_min, tm.tm_sec, filled);
    TextToWide(SmsSlot.text, SMS_TEXT, stamped);
    SmsSlot.level = static_cast<uint8_t>(level);
    SmsSlot.pending = 1;
  }
}

void EvtLog_Add(int code, ...) {
  va_list ap;
  va_start(ap, code);
  int level;
  const char* text;
  const char* args[EVTLOG_MAX_ARGS];
  int argCount = 0;
  if (code == EVT_FREE_TEXT) {
    level = va_arg(ap, int);
    text = va_arg(ap, const char*);
    if (!text) text = "";
  } else if (EvtDef_IsTableCode(code)) {
    level = EvtDef_Level(code);
    text = EvtDef_Text(code);
    while (argCount < EVTLOG_MAX_ARGS) {
      const char* a = va_arg(ap, const char*);
      if (!a) break;
      args[argCount++] = a;
    }
  } else {
    va_end(ap);
    return;  // not an event code
  }
  va_end(ap);
  AddRecord(code, level, text, args, argCount);
}

// ---- reading records -------------------------------------------------------

int EvtLog_ReadRecord(int n, char* out, size_t size) {
  if (!out || size == 0) return 0;
  out[0] = 0;
  long wanted = static_cast<long>(EvtLogRecordCount) - n;  // 1 = the oldest line
  if (n < 0 || wanted < 1) return 0;
  char path[512];
  LogPath(path, sizeof path);
  FILE* f = fopen(path, "r");
  if (!f) return 0;
  int found = 0;
  {
    RecordReader r(f);
    std::string record;
    for (long i = 1; r.NextCut(&record); ++i) {
      if (i != wanted) continue;
      snprintf(out, size, "%s", record.c_str());
      found = 1;
      break;
    }
  }
  fclose(f);
  return found;
}

int EvtLog_SplitRecord(char* record, char** code, char** level, char** date, char** time, char** text) {
  if (!record || !record[0]) return 0;
  char* b[4];
  char* from = record + 1;
  for (char*& blank : b) {
    blank = strchr(from, ' ');
    if (!blank) return 0;
    from = blank + 1;
  }
  for (char* blank : b) *blank = 0;
  *code = record;
  *level = b[0] + 1;
  *date = b[1] + 1;
  *time = b[2] + 1;
  *text = b[3] + 1;
  return 1;
}

void EvtLog_Clear() {
  char path[512];
  LogPath(path, sizeof path);
  remove(path);
  EvtLogRecordCount = 0;
}

// ---- exports ---------------------------------------------------------------

std::string Html(const char* text) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    switch (*p) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += *p; break;
    }
  }
  return out;
}

// A CSV field in double quotes, quotes inside doubled.
std::string CsvQuoted(const char* text) {
  std::string out = "\"";
  for (const char* p = text; *p; ++p) {
    if (*p == '"') out += '"';
    out += *p;
  }
  out += '"';
  return out;
}

// A CSV field as it stands unless it needs quotes.
std::string Csv(const char* text) { return strpbrk(text, ",\"\r\n") ? CsvQuoted(text) : std::string(text); }

const char* kPageHead =
    "<html><head><meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">"
    "<meta http-equiv=\"expires\" content=\"-1\"><link rel=\"stylesheet\" href=\"/template.css\" "
    "type=\"text/css\"></head><body>\n";
const char* kTableHead = "<table width=100% border=1 cellspacing=0 cellpadding=0>\n";
const char* kTitleRow =
    "<tr><td width=80 class=title align=center>Date</td><td width=70 class=title align=\"center\">Time</td>"
    "<td width=80 class=title align=\"center\">Level</td><td class=title align=\"center\">Event Log</td></tr>\n";

// The HTML table of the given records, newest (last) first.
void WriteTable(const std::vector<std::string>& records) {
  char path[512];
  TempagePath(path, sizeof path, EVTLOG_PAGE_NAME);
  FILE* f = UF_FOpenNoFollow(path, "w", 0644);
  if (!f) return;
  fputs(kPageHead, f);
  fputs(kTableHead, f);
  fputs(kTitleRow, f);
  int row = 0;
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    Fields r;
    if (!ParseRecord(*it, &r)) continue;
    fputs(row++ % 2 == 0 ? "<tr>" : "<tr bgcolor=#eeeeee>", f);
    fprintf(f, "<td>%02d/%02d/%04d</td><td>%s</td>", r.day.month, r.day.day, r.day.year + 2000,
            Html(r.time).c_str());
    const char* cls;
    switch (atoi(r.level)) {
      case 1: cls = "normal"; break;
      case 2: cls = "warning"; break;
      case 3: cls = "critical"; break;
      default: cls = "bold"; break;
    }
    fprintf(f, "<td class=%s>%s</td><td nowrap class=%s>%s</td></tr>\n", cls, EvtLog_LevelWord(atoi(r.level)), cls,
            Html(r.text).c_str());
  }
  fputs("</table></body></html>\n", f);
  fclose(f);
}

// Deletes the page files of the last export and opens the log; null when
// there is no log.
FILE* BeginExport() {
  char path[512];
  TempagePath(path, sizeof path, EVTLOG_PAGE_NAME);
  remove(path);
  TempagePath(path, sizeof path, "events.txt");
  remove(path);
  LogPath(path, sizeof path);
  return fopen(path, "r");
}

// The selected records also go to "tempage/events.txt", one line each. 0 when
// that file cannot be created.
int WriteSelection(const std::vector<std::string>& records) {
  char path[512];
  TempagePath(path, sizeof path, "events.txt");
  FILE* f = UF_FOpenNoFollow(path, "w", 0644);
  if (!f) return 0;
  for (const std::string& r : records) fprintf(f, "%s\n", r.c_str());
  fclose(f);
  return 1;
}

void EvtLog_ExportPage(int page) {
  std::vector<std::string> records;
  if (FILE* log = BeginExport()) {
    long long count = EvtLogRecordCount;
    long long first = count - 30LL * page - 30;  // lines before the page
    long long take = 30;
    if (first < 0) {
      take = count - 30LL * page;
      first = 0;
    }
    {
      RecordReader r(log);
      std::string record;
      for (long long i = 0; static_cast<long long>(records.size()) < take && r.NextCut(&record); ++i)
        if (i >= first) records.push_back(record);
    }
    fclose(log);
    if (!WriteSelection(records)) return;
  }
  WriteTable(records);
}

int CompareDay(const TimeDate& a, const TimeDate& b) {
  if (a.year != b.year) return a.year < b.year ? -1 : 1;
  if (a.month != b.month) return a.month < b.month ? -1 : 1;
  if (a.day != b.day) return a.day < b.day ? -1 : 1;
  return 0;
}

void EvtLog_ExportRange(TimeDate from, TimeDate to) {
  std::vector<std::string> records;
  if (FILE* log = BeginExport()) {
    {
      RecordReader r(log);
      std::string rec;
      while (r.NextCut(&rec)) {
        Fields fields;
        if (!ParseRecord(rec, &fields)) continue;
        if (CompareDay(fields.day, from) < 0) continue;
        if (CompareDay(fields.day, to) > 0) break;  // the log is in time order
        records.push_back(rec);
      }
    }
    fclose(log);
    if (!WriteSelection(records)) return;
  }
  WriteTable(records);
}

int EvtLog_PageButtons(char* out, size_t size, int page) {
  if (!out || size == 0) return 0;
  out[0] = 0;
  long long count = EvtLogRecordCount;
  long long pages = (count + 29) / 30;
  long long first = 0;
  if (page > 2) {
    first = page - 2;
    if (30 * first + 150 > count) first = pages - 5 < 0 ? 0 : pages - 5;
  }
  long long last = first + 4;
  if (30 * last + 30 > count) last = pages - 1 < 0 ? 0 : pages - 1;
  size_t length = 0;
  for (long long i = first; i <= last; ++i) {
    int n = snprintf(out + length, size - length, "<input type=submit value=\" %lld \" name=LOG_BUT%lld> ", i + 1,
                     i - first + 1);
    if (n < 0 || static_cast<size_t>(n) >= size - length) {
      out[length] = 0;  // no half button
      break;
    }
    length += static_cast<size_t>(n);
  }
  return static_cast<int>(length);
}

void EvtLog_ExportCsv() {
  char path[512];
  TempagePath(path, sizeof path, EVTLOG_CSV_NAME);
  remove(path);
  FILE* f = UF_FOpenNoFollow(path, "w", 0644);
  if (!f) return;
  time_t now = Svc_Now();
  struct tm tm {};
  localtime_r(&now, &tm);
  char stamp[kStampSize];
  Stamp(stamp, sizeof stamp, tm);
  fputs("\xEF\xBB\xBF", f);
  fprintf(f, "Download Time: %s\n\n", stamp);
  fputs("Date,Time,Level,Event\n", f);
  LogPath(path, sizeof path);
  if (FILE* log = fopen(path, "r")) {
    {
      RecordReader r(log);
      std::string line;
      while (r.NextCut(&line)) {
        Fields rec;
        if (!ParseRecord(line, &rec)) continue;
        fprintf(f, "%02d/%02d/%04d,%s,%s,%s\n", rec.day.month, rec.day.day, rec.day.year + 2000,
                Csv(rec.time).c_str(), EvtLog_LevelWord(atoi(rec.level)), CsvQuoted(rec.text).c_str());
      }
    }
    fclose(log);
  }
  fclose(f);
}

}  // namespace

// ---- text filling ----------------------------------------------------------

size_t EvtLog_FillText(char* out, size_t size, const char* format, const char* const* args, int argCount) {
  if (!out || size == 0) return 0;
  size_t n = 0;
  bool cut = false;
  auto put = [&](char c) {
    if (n + 1 >= size) {
      cut = true;
      return;
    }
    unsigned char u = static_cast<unsigned char>(c);
    out[n++] = (u < 0x20 || u == 0x7F) ? '?' : c;
  };
  int next = 0;
  for (const char* p = format ? format : ""; *p && !cut; ++p) {
    if (p[0] == '%' && p[1] == 's' && next < argCount) {
      for (const char* a = args[next] ? args[next] : ""; *a && !cut; ++a) put(*a);
      ++next;
      ++p;
      continue;
    }
    put(*p);
  }
  if (cut) {
    // Drop a UTF-8 sequence that the cut left incomplete.
    size_t start = n;
    while (start > 0 && (static_cast<unsigned char>(out[start - 1]) & 0xC0) == 0x80) --start;
    if (start > 0) {
      unsigned char lead = static_cast<unsigned char>(out[start - 1]);
      size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      if (lead >= 0xC0 && n - (start - 1) < need) n = start - 1;
    }
  }
  out[n] = 0;
  return n;
}

const char* EvtLog_LevelWord(int level) {
  switch (level) {
    case 1: return "Information";
    case 2: return "Warning";
    case 3: return "Severity";
    default: return "System";
  }
}

void EvtLog_Init(const char* installDir) {
  g_dir = installDir;
  g_unwritten = Unwritten{};
  EvtLogOps = EvtLogOpsTable{EvtLog_Add,        EvtLog_ReadRecord,  EvtLog_SplitRecord, EvtLog_Clear,
                             EvtLog_ExportPage, EvtLog_ExportRange, EvtLog_PageButtons, EvtLog_ExportCsv};
  EvtLogRecordCount = EvtLog_CountRecords();
}

void EvtLog_Exit() {}
