// History pages: the LOG_, DATA_ and HCG_ variables and the hist_log,
// hist_data and hist_config forms. The viewers' page, dates, range mode and
// item choices are the session's page values (WebSessVar); the tables are
// written by the event log (events/evtlog.h) and the data log
// (events/dlog.h) through their operation tables, into the document root's
// tempage directory, while the variable that shows the range is written.
// The data-log settings belong to the data log; the settings form changes
// them in place and saves config.ini.
#include "web/webhist.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/cfg.h"
#include "core/helpers.h"
#include "core/svc.h"
#include "events/dlog.h"
#include "events/evtlog.h"
#include "web/websess.h"
#include "web/websys.h"

namespace {

const char* const kLogRedirect = "OK: Redirect=/en/hist_log.asp";
const char* const kDataRedirect = "OK: Redirect=/en/hist_data.asp";
const char* const kConfigUpdated =
    "Message: Redirect=/en/hist_config.asp\nTitle=Information\nBody=<font color=#008000>Updated "
    "successfully.</font>\n";

void RefuseDate(const char* page) {
  WebDev_SetText(
      "Message: Redirect=/en/%s.asp\nTitle=Incorrect Date Format\nBody=<font color=#808000>The date format is not "
      "correct, please check it again.</font>\n",
      page);
}

// Seconds the download notice waits before it fetches each export.
constexpr int kLogCsvDelay = 3;
constexpr int kDataCsvDelay = 5;

// ---- page values --------------------------------------------------------------

int32_t Get(int index) { return WebSessOps.GetVar ? WebSessOps.GetVar(index) : 0; }
void Set(int index, int32_t value) {
  if (WebSessOps.SetVar) WebSessOps.SetVar(index, value);
}

TimeDate GetDate(int index) {
  return TimeDate{static_cast<uint8_t>(Get(index)), static_cast<uint8_t>(Get(index + 1)),
                  static_cast<uint8_t>(Get(index + 2))};
}
void SetDate(int index, const TimeDate& d) {
  Set(index, d.month);
  Set(index + 1, d.day);
  Set(index + 2, d.year);
}

TimeDate Today() {
  const time_t now = Svc_Now();
  struct tm tm {};
  localtime_r(&now, &tm);
  const int year = tm.tm_year + 1900;
  return TimeDate{static_cast<uint8_t>(tm.tm_mon + 1), static_cast<uint8_t>(tm.tm_mday),
                  static_cast<uint8_t>(year >= 2000 ? year - 2000 : 0)};
}

// A date never set (all zeros) stands for today.
TimeDate OrToday(const TimeDate& d) { return d.month == 0 && d.day == 0 && d.year == 0 ? Today() : d; }

void ShowDate(const TimeDate& d) { WebDev_SetText("%02d/%02d/%04d", d.month, d.day, 2000 + d.year); }
void ShowRange(const TimeDate& from, const TimeDate& to) {
  WebDev_SetText("%02d/%02d/%04d ~ %02d/%02d/%04d", from.month, from.day, 2000 + from.year, to.month, to.day,
                 2000 + to.year);
}

// A date written month/day/year that Time_ParseDate takes, with a year the
// stored byte holds (2300 would come back as 2044).
bool ParseDate(const char* text, TimeDate* out) {
  TimeDate d{};
  if (Time_ParseDate(text, &d, 1) != 3) return false;
  const char* year = strchr(strchr(text, '/') + 1, '/') + 1;
  if (WebDev_Atoi(year) > 2255) return false;
  *out = d;
  return true;
}

// ---- event-log viewer ---------------------------------------------------------------

enum LogEntry { LOG_PAGE, LOG_BUTTON, LOG_ISPAGE, LOG_ISDATE, LOG_FROM, LOG_TO, LOG_SELECTID };

constexpr int kSelectBits = 33;  // LOG_SELECTID shows bits 0..32

bool ByPage() { return Get(WSV_LOG_BY_DATE) == 1; }

uint64_t SelectionMask() {
  return static_cast<uint64_t>(static_cast<uint32_t>(Get(WSV_LOG_LEVELS))) |
         static_cast<uint64_t>(static_cast<uint32_t>(Get(WSV_LOG_LEVELS + 1))) << 32;
}

// The last page of the log (0 when it is empty).
int32_t LastPage() {
  const long long pages = (static_cast<long long>(EvtLogRecordCount) + EVTLOG_PAGE_RECORDS - 1) / EVTLOG_PAGE_RECORDS;
  return pages > 0 ? static_cast<int32_t>(pages - 1) : 0;
}

// The page a LOG_BUT value selects; a number below 1 is the first page.
int32_t PageOf(const char* value) {
  if (strcmp(value, "<<") == 0) return 0;
  if (strcmp(value, ">>") == 0) return LastPage();
  const long long page = static_cast<long long>(WebDev_Atoi(value)) - 1;
  return page < 0 ? 0 : static_cast<int32_t>(page);
}

// BUT_APPLY: the dates up to the first LOG_TO. A range without its start
// or with a date that does not parse is refused and changes nothing.
bool ApplyLogDates() {
  TimeDate from{}, to{};
  bool haveFrom = false;
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    if (WebDev_FieldIs(i, "LOG_FROM")) {
      if (!ParseDate(WebDev_Value(i), &from)) return false;
      haveFrom = true;
    } else if (WebDev_FieldIs(i, "LOG_TO")) {
      if (!haveFrom || !ParseDate(WebDev_Value(i), &to)) return false;
      SetDate(WSV_LOG_FROM, from);
      SetDate(WSV_LOG_TO, to);
      Set(WSV_LOG_BY_DATE, 0);
      return true;
    }
  }
  return false;
}

// ---- data-log viewer ------------------------------------------------------------------

enum DataEntry { DATA_SELBY, DATA_PAGE, DATA_FROM, DATA_TO, DATA_ITEM1, DATA_ITEM2 };

constexpr int kModes = 4;

// The range mode; one the session cannot have had is mode 0.
int Mode() {
  const int32_t m = Get(WSV_DATA_MODE);
  return m >= 0 && m < kModes ? m : 0;
}
int RangeIndex(int mode) { return WSV_DATA_RANGE0 + 6 * mode; }

// The page's query pairs in order: DATA_SELBY, DATA_FROM and DATA_TO as the
// form takes them. The first value that does not hold ends the pass.
void ApplyQuery(const WebDevVarCall& call) {
  if (!call.pairs) return;
  TimeDate from{};
  bool haveFrom = false;
  int mode = Mode();
  for (int i = 0; i < call.pairCount && i < HTTPD_QUERY_PAIRS; ++i) {
    const HttpQueryPair& p = call.pairs[i];
    if (!p.name || !p.value) continue;
    // The query is not decoded by the server: a browser's form writes '/' as %2F.
    char value[64];
    const size_t length = strlen(p.value);
    if (length >= sizeof value) return;
    Httpd_UrlDecode(p.value, static_cast<int>(length), value, sizeof value, 1);
    if (strcmp(p.name, "DATA_SELBY") == 0) {
      long long m;
      if (!WebDev_ParseNumber(value, 0, kModes - 1, &m)) return;
      mode = static_cast<int>(m);
      Set(WSV_DATA_MODE, mode);
    } else if (strcmp(p.name, "DATA_FROM") == 0) {
      if (!ParseDate(value, &from)) return;
      haveFrom = true;
    } else if (strcmp(p.name, "DATA_TO") == 0) {
      TimeDate to;
      if (!haveFrom || !ParseDate(value, &to)) return;
      SetDate(RangeIndex(mode), from);
      SetDate(RangeIndex(mode) + 3, to);
    }
  }
}

// ---- history settings -------------------------------------------------------------------

enum ConfigEntry { HCG_MAX_DATANUM, HCG_MAX_EVENTNUM, HCG_AE_INTERVAL, HCG_AE_PATH };

// A first HCG_MAX_DATANUM field the setting cannot hold is refused.
bool CheckStorage(int field) { return field < 0 || WebDev_CheckNumber(field, "Months kept", 0, UINT16_MAX); }

// The export settings, all checked before one changes: a period of a byte,
// a path of at most 255 characters (a cut path would name another
// directory) that the locale can read.
bool CheckExport() {
  if (WebSys_CheckInput(1, "HCG_AE_PATH")) return false;  // its reply stands
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    if (WebDev_FieldIs(i, "HCG_AE_INTERVAL") && !WebDev_CheckNumber(i, "Interval (minutes)", 0, UINT8_MAX))
      return false;
    if (WebDev_FieldIs(i, "HCG_AE_PATH")) {
      const size_t chars = mbstowcs(nullptr, WebDev_Value(i), 0);
      if (chars == static_cast<size_t>(-1) || chars > DLOG_PATH_CHARS - 1) {
        WebDev_RefuseText("Directory", DLOG_PATH_CHARS - 1);
        return false;
      }
    }
  }
  return true;
}

void ApplyExport() {
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    if (WebDev_FieldIs(i, "HCG_AE_INTERVAL")) {
      const uint8_t period = static_cast<uint8_t>(WebDev_CheckedNumber(i));
      DLogSetting.exportPeriod = period;
      // The next export line comes within the new period once it is saved.
      WebSys_AfterSave([period] {
        if (DLogExportCountdown == 0 || DLogExportCountdown > period) DLogExportCountdown = period;
      });
    } else if (WebDev_FieldIs(i, "HCG_AE_PATH")) {
      const char* v = WebDev_Value(i);
      const size_t length = strlen(v);
      const size_t chars = Cfg_TextToWide(DLogSetting.exportPath, DLOG_PATH_CHARS + 1, v, length);
      // The CSV file name is written straight after the directory.
      if (chars == 0 || DLogSetting.exportPath[chars - 1] != L'/') {
        DLogSetting.exportPath[chars] = L'/';
        DLogSetting.exportPath[chars + 1] = 0;
      }
    }
  }
}

void ApplyRetention() {
  if (DLogOps.ApplyRetention) DLogOps.ApplyRetention();
}

// A retention of 0 months deletes the files; the data log then goes on with
// the retention in force.
void ClearDataLog() {
  const uint16_t months = DLogSetting.maxStorage;
  DLogSetting.maxStorage = 0;
  ApplyRetention();
  DLogSetting.maxStorage = months;
}

}  // namespace

// ---- group handlers -----------------------------------------------------------------

void WebHist_LogVar(const WebDevVarCall& call) {
  switch (call.entry) {
    case LOG_PAGE:
      if (ByPage()) {
        const int32_t page = Get(WSV_LOG_PAGE);
        WebDev_SetText("Page%lld", static_cast<long long>(page) + 1);
        if (EvtLogOps.ExportPage) EvtLogOps.ExportPage(page);
      } else {
        const TimeDate from = GetDate(WSV_LOG_FROM), to = GetDate(WSV_LOG_TO);
        ShowRange(from, to);
        if (EvtLogOps.ExportRange) EvtLogOps.ExportRange(from, to);
      }
      break;
    case LOG_BUTTON: {
      char buttons[512] = "";
      if (EvtLogOps.PageButtons) EvtLogOps.PageButtons(buttons, sizeof buttons, Get(WSV_LOG_PAGE));
      WebDev_SetText("%s", buttons);
      break;
    }
    case LOG_ISPAGE: WebDev_SetText("%s", ByPage() ? "Checked" : ""); break;
    case LOG_ISDATE: WebDev_SetText("%s", ByPage() ? "" : "Checked"); break;
    case LOG_FROM: ShowDate(OrToday(GetDate(WSV_LOG_FROM))); break;
    case LOG_TO: ShowDate(OrToday(GetDate(WSV_LOG_TO))); break;
    case LOG_SELECTID: {
      const uint64_t mask = SelectionMask();
      char bits[kSelectBits + 1];
      for (int b = 0; b < kSelectBits; ++b) bits[b] = (mask >> b) & 1 ? '1' : '0';
      bits[kSelectBits] = 0;
      WebDev_SetText("%s", bits);
      break;
    }
    default: break;
  }
}

void WebHist_DataVar(const WebDevVarCall& call) {
  ApplyQuery(call);
  const int mode = Mode();
  switch (call.entry) {
    case DATA_SELBY: WebDev_SetText("%d", mode); break;
    case DATA_PAGE: {
      const TimeDate from = OrToday(GetDate(RangeIndex(mode))), to = OrToday(GetDate(RangeIndex(mode) + 3));
      ShowRange(from, to);
      if (DLogOps.ExportHtml) DLogOps.ExportHtml(from, to, mode);
      break;
    }
    case DATA_FROM: ShowDate(OrToday(GetDate(RangeIndex(mode)))); break;
    case DATA_TO: ShowDate(OrToday(GetDate(RangeIndex(mode) + 3))); break;
    case DATA_ITEM1: WebDev_SetText("%d", Get(WSV_DATA_ITEM1)); break;
    case DATA_ITEM2: WebDev_SetText("%d", Get(WSV_DATA_ITEM2)); break;
    default: break;
  }
}

void WebHist_ConfigVar(const WebDevVarCall& call) {
  switch (call.entry) {
    case HCG_MAX_DATANUM: WebDev_SetText("%d", DLogSetting.maxStorage); break;
    case HCG_MAX_EVENTNUM: WebDev_SetText("%d", static_cast<int>(EVTLOG_MAX_RECORDS)); break;
    case HCG_AE_INTERVAL: WebDev_SetText("%d", DLogSetting.exportPeriod); break;
    case HCG_AE_PATH: {
      char path[DLOG_PATH_CHARS * 8 + 1];
      Cfg_WideToText(path, sizeof path, DLogSetting.exportPath);
      WebDev_SetEscaped(path);
      break;
    }
    default: break;
  }
}

// ---- pages ------------------------------------------------------------------------------

void WebHist_LogPage(HttpConn*) {
  uint64_t mask = 0;
  for (int i = 0; i < WebDev_FieldCount(); ++i)
    if (WebDev_FieldIs(i, "LOG_SELID"))
      mask |= uint64_t{1} << (static_cast<unsigned>(WebDev_NameNumber(i, "LOG_SELID")) % 64);
  Set(WSV_LOG_LEVELS, static_cast<int32_t>(static_cast<uint32_t>(mask)));
  Set(WSV_LOG_LEVELS + 1, static_cast<int32_t>(static_cast<uint32_t>(mask >> 32)));

  static const char* const kButtons[] = {"LOG_BUT", "DLLOG_BUT", "BUT_APPLY"};
  switch (WebDev_Button(kButtons, 3)) {
    case 0:
      // The first field of the key is the one that decided.
      Set(WSV_LOG_PAGE, PageOf(WebDev_Value(WebDev_FirstField("LOG_BUT"))));
      Set(WSV_LOG_BY_DATE, 1);
      break;
    case 1:
      WebDevNoticeDelay = kLogCsvDelay;
      if (EvtLogOps.ExportCsv) EvtLogOps.ExportCsv();
      break;
    case 2:
      if (!ApplyLogDates()) {
        RefuseDate("hist_log");
        return;
      }
      break;
    default: break;
  }
  WebDev_SetText("%s", kLogRedirect);
}

void WebHist_DataPage(HttpConn*) {
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    if (WebDev_FieldIs(i, "DATA_SELBY") && !WebDev_CheckNumber(i, "Records of", 0, kModes - 1)) return;
    for (const char* key : {"DATA_ITEM1", "DATA_ITEM2"})
      if (WebDev_FieldIs(i, key) && !WebDev_CheckNumber(i, "Chart", INT32_MIN, INT32_MAX)) return;
  }
  int mode = Mode();
  TimeDate from{}, to{};
  bool haveFrom = false, haveRange = false;
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    if (WebDev_FieldIs(i, "DATA_SELBY")) {
      mode = WebDev_CheckedNumber(i);
      Set(WSV_DATA_MODE, mode);
    } else if (WebDev_FieldIs(i, "DATA_FROM")) {
      if (!ParseDate(WebDev_Value(i), &from)) return RefuseDate("hist_data");
      haveFrom = true;
    } else if (WebDev_FieldIs(i, "DATA_TO")) {
      // An end without a start names no range.
      if (!haveFrom || !ParseDate(WebDev_Value(i), &to)) return RefuseDate("hist_data");
      SetDate(RangeIndex(mode), from);
      SetDate(RangeIndex(mode) + 3, to);
      haveRange = true;
    } else if (WebDev_FieldIs(i, "DATA_ITEM1")) {
      Set(WSV_DATA_ITEM1, WebDev_CheckedNumber(i));
    } else if (WebDev_FieldIs(i, "DATA_ITEM2")) {
      Set(WSV_DATA_ITEM2, WebDev_CheckedNumber(i));
    }
  }
  if (WebDev_FirstField("DATA_BUT") >= 0) {
    if (!haveRange) return RefuseDate("hist_data");
    WebDevNoticeDelay = kDataCsvDelay;
    if (DLogOps.ExportHistCsv) DLogOps.ExportHistCsv(from, to, mode);
  }
  WebDev_SetText("%s", kDataRedirect);
}

void WebHist_ConfigPage(HttpConn*) {
  static const char* const kButtons[] = {"CLEAR_LOG", "CLEAR_DATA", "HCG_APPLY", "HCG_AE_APPLY"};
  const int storage = WebDev_FirstField("HCG_MAX_DATANUM");
  switch (WebDev_Button(kButtons, 4)) {
    case 0:
      if (EvtLogOps.Clear) EvtLogOps.Clear();
      break;
    case 1: {
      if (!CheckStorage(storage)) return;
      // The months posted with the clear are saved with it; unchanged, the
      // clear needs no save (and frees a full disk).
      const uint16_t months =
          storage >= 0 ? static_cast<uint16_t>(WebDev_CheckedNumber(storage)) : DLogSetting.maxStorage;
      if (months == DLogSetting.maxStorage) {
        ClearDataLog();
        break;
      }
      DLogSetting.maxStorage = months;
      WebSys_AfterSave(ClearDataLog);
      WebDev_SaveAndReply(kConfigUpdated);
      return;
    }
    case 2: {
      if (storage < 0) break;
      if (!CheckStorage(storage)) return;
      DLogSetting.maxStorage = static_cast<uint16_t>(WebDev_CheckedNumber(storage));
      WebSys_AfterSave(ApplyRetention);
      WebDev_SaveAndReply(kConfigUpdated);
      return;
    }
    case 3:
      if (!CheckExport()) return;
      ApplyExport();
      WebDev_SaveAndReply(kConfigUpdated);
      return;
    default:
      WebDev_SetText("%s", WEBDEV_NOT_FOUND);  // nothing was asked, nothing changed
      return;
  }
  WebDev_SetText("%s", kConfigUpdated);
}
