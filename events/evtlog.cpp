// Event log: records, trimming, and the web history exports.
#include "events/evtlog.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <ctime>
#include <string>
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

void LogPath(char* out, size_t size) { snprintf(out, size, "%s/%s", g_dir ? g_dir : "", EVTLOG_FILE); }

// Empty when the private directory is not the service's own: nothing is written.
void TempagePath(char* out, size_t size, const char* name) { Svc_TmpPath(out, static_cast<unsigned>(size), name); }

// ---- reading ---------------------------------------------------------------

// Reads the log line by line. A line is a record; one longer than a record
// buffer is cut to it (the service's own records always fit).
class LineReader {
 public:
  explicit LineReader(FILE* f) : f_(f) {}
  ~LineReader() { free(buf_); }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The next line with its line feed (when it had one), cut to
  // EVTLOG_RECORD_SIZE - 1 bytes; null at the end.
  const char* Next() {
    ssize_t n = getline(&buf_, &cap_, f_);
    if (n <= 0) return nullptr;
    if (n > EVTLOG_RECORD_SIZE - 1) {
      // Keep the line feed so the cut line still reads as one whole record.
      bool lf = buf_[n - 1] == '\n';
      n = EVTLOG_RECORD_SIZE - 1;
      buf_[n - 1] = lf ? '\n' : buf_[n - 1];
      buf_[n] = 0;
    }
    len_ = static_cast<size_t>(n);
    return buf_;
  }
  size_t Length() const { return len_; }

 private:
  FILE* f_;
  char* buf_ = nullptr;
  size_t cap_ = 0;
  size_t len_ = 0;
};

// The line without its line feed.
std::string Chomp(const char* line, size_t n) {
  if (n > 0 && line[n - 1] == '\n') --n;
  return std::string(line, n);
}

int32_t EvtLog_CountRecords() {
  char path[512];
  LogPath(path, sizeof path);
  FILE* f = fopen(path, "r");
  if (!f) return 0;
  int32_t count = 0;
  {
    LineReader r(f);
    while (r.Next()) ++count;
  }
  fclose(f);
  return count;
}

// Replaces the log by a copy without its first n records (temporary file and
// rename). The number of records kept, or -1 when the log stays as it was.
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
    LineReader r(in);
    while (const char* line = r.Next()) {
      if (seen++ < n) continue;
      std::string rec = Chomp(line, r.Length());
      if (fprintf(out, "%s\n", rec.c_str()) < 0) {
        ok = false;
        break;
      }
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

void AddRecord(int code, int level, const char* text, const char* const* args, int argCount) {
  if (!g_dir) return;
  time_t now = Svc_Now();
  struct tm tm {};
  localtime_r(&now, &tm);

  char path[512];
  LogPath(path, sizeof path);
  FILE* f = fopen(path, "a");
  if (!f) return;  // the event is lost, and so are its notifications

  char filled[EVTLOG_TEXT_SIZE];
  EvtLog_FillText(filled, sizeof filled, text, args, argCount);
  int written = fprintf(f, "%d %d %02d/%02d/%04d %02d:%02d:%02d %s\n", code, level, tm.tm_mon + 1, tm.tm_mday,
                        tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, filled);
  if (fclose(f) != 0 || written < 0) return;  // not in the file: not counted

  EvtLogRecordCount += 1;
  if (EvtLogRecordCount > EVTLOG_MAX_RECORDS) {
    int32_t kept = EvtLog_DropOldest(EVTLOG_TRIM_RECORDS);
    // A trim that failed leaves the file and so the count as they are.
    if (kept >= 0) EvtLogRecordCount = kept;
  }
  // Table events go to the mail spool of their level (free text never).
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
    LineReader r(f);
    long i = 0;
    while (const char* line = r.Next()) {
      if (++i != wanted) continue;
      snprintf(out, size, "%s", Chomp(line, r.Length()).c_str());
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

struct Fields {
  std::string line;  // the record, cut at its blanks
  char *code, *level, *date, *time, *text;
  TimeDate day;
};

// Splits a record line (without its line feed) and reads its date, stored
// as month/day/year (year/month/day is accepted too). 0 when it does not split.
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
      LineReader r(log);
      long long i = 0;
      while (take > 0 && static_cast<long long>(records.size()) < take) {
        const char* line = r.Next();
        if (!line) break;
        if (i++ < first) continue;
        records.push_back(Chomp(line, r.Length()));
      }
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
      LineReader r(log);
      while (const char* line = r.Next()) {
        std::string rec = Chomp(line, r.Length());
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
  fputs("\xEF\xBB\xBF", f);
  fprintf(f, "Download Time: %02d/%02d/%04d %02d:%02d:%02d\n\n", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900,
          tm.tm_hour, tm.tm_min, tm.tm_sec);
  fputs("Date,Time,Level,Event\n", f);
  LogPath(path, sizeof path);
  if (FILE* log = fopen(path, "r")) {
    {
      LineReader r(log);
      while (const char* line = r.Next()) {
        Fields rec;
        if (!ParseRecord(Chomp(line, r.Length()), &rec)) continue;
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
  EvtLogOps = EvtLogOpsTable{EvtLog_Add,        EvtLog_ReadRecord,  EvtLog_SplitRecord, EvtLog_Clear,
                             EvtLog_ExportPage, EvtLog_ExportRange, EvtLog_PageButtons, EvtLog_ExportCsv};
  EvtLogRecordCount = EvtLog_CountRecords();
}

void EvtLog_Exit() {}
