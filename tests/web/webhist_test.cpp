// History pages: the event-log viewer's page and date views, page buttons
// and selection boxes over a real log, the data-log viewer's range by form
// and by page query, dates never set shown as today, the CSV downloads
// with their notice delays, and the settings form: clearing, retention,
// the export interval and path with their checks, and the form token.
#include <climits>
#include <ctime>
#include <filesystem>
#include <vector>

#include "core/cfg.h"
#include "core/svc.h"
#include "events/dlog.h"
#include "events/evtlog.h"
#include "web/webhist.h"
#include "webdevfixture.h"
#include "webreplies.h"

using namespace devtest;
using namespace webreplies;

// Dates compared and printed by the expectations.
bool operator==(const TimeDate& a, const TimeDate& b) {
  return a.month == b.month && a.day == b.day && a.year == b.year;
}
std::ostream& operator<<(std::ostream& os, const TimeDate& d) {
  return os << int(d.month) << "/" << int(d.day) << "/" << 2000 + d.year;
}

namespace {

const char* const kLogRedirect = "OK: Redirect=/en/hist_log.asp";
const char* const kDataRedirect = "OK: Redirect=/en/hist_data.asp";
const char* const kConfigUpdated =
    "Message: Redirect=/en/hist_config.asp\nTitle=Information\nBody=<font color=#008000>Updated "
    "successfully.</font>\n";
const char* const kIncorrectInput = "Message: Title=Error\nBody=<font color=#F00000>Incorrect input!</font>\n";
const char* const kNotSaved =
    "Message: Title=Error\nBody=<font color=#F00000>The settings could not be saved.</font>\n";

std::string DateFormat(const char* page) {
  return std::string("Message: Redirect=/en/") + page +
         ".asp\nTitle=Incorrect Date Format\nBody=<font color=#808000>The date format is not correct, please check "
         "it again.</font>\n";
}

// The wall clock stands at 15 March 2026, 12:00 local time.
time_t g_now;
time_t FixedClock() { return g_now; }

struct Range {
  TimeDate from, to;
  int selector;
};
bool operator==(const Range& a, const Range& b) { return a.from == b.from && a.to == b.to && a.selector == b.selector; }
std::ostream& operator<<(std::ostream& os, const Range& r) {
  return os << "{" << r.from << " - " << r.to << ", " << r.selector << "}";
}

// Calls through the operation tables, recorded before the real operation runs.
std::vector<int> g_pages;
std::vector<std::pair<TimeDate, TimeDate>> g_logRanges;
int g_csvExports;
std::vector<Range> g_html, g_csv;
std::vector<uint16_t> g_retentions;  // "Maximum Storage=" as each retention pass saw it

EvtLogOpsTable g_realLog;
void RecordPage(int page) {
  g_pages.push_back(page);
  g_realLog.ExportPage(page);
}
void RecordRange(TimeDate from, TimeDate to) {
  g_logRanges.push_back({from, to});
  g_realLog.ExportRange(from, to);
}
void RecordCsv() {
  ++g_csvExports;
  g_realLog.ExportCsv();
}
int RecordHtml(TimeDate from, TimeDate to, int selector) {
  g_html.push_back({from, to, selector});
  return 1;
}
int RecordHistCsv(TimeDate from, TimeDate to, int selector) {
  g_csv.push_back({from, to, selector});
  return 1;
}
void RecordRetention() { g_retentions.push_back(DLogSetting.maxStorage); }

TimeDate D(int month, int day, int year) {
  return TimeDate{static_cast<uint8_t>(month), static_cast<uint8_t>(day), static_cast<uint8_t>(year - 2000)};
}

class Hist : public DevTest {
 protected:
  void SetUp() override {
    DevTest::SetUp();
    struct tm t {};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 15;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    g_now = mktime(&t);
    savedClock_ = SvcWallClock;
    SvcWallClock = FixedClock;
    std::filesystem::create_directories(Path("httpd/htdocs/tempage"));
    savedLog_ = EvtLogOps;
    savedDLog_ = DLogOps;
    savedDLogSetting_ = DLogSetting;
    savedCountdown_ = DLogExportCountdown;
    savedDelay_ = WebDevNoticeDelay;
    EvtLog_Init(dir.c_str());
    g_realLog = EvtLogOps;
    EvtLogOps.ExportPage = RecordPage;
    EvtLogOps.ExportRange = RecordRange;
    EvtLogOps.ExportCsv = RecordCsv;
    DLogOps = DLogOpsTable{};
    DLogOps.ExportHtml = RecordHtml;
    DLogOps.ExportHistCsv = RecordHistCsv;
    DLogOps.ApplyRetention = RecordRetention;
    g_pages.clear();
    g_logRanges.clear();
    g_csvExports = 0;
    g_html.clear();
    g_csv.clear();
    g_retentions.clear();
    DLogSetting.maxStorage = 12;
    DLogSetting.exportPeriod = 0;
    wcscpy(DLogSetting.exportPath, L"/tmp/");
    DLogExportCountdown = 0;
    WebDevNoticeDelay = 5;
    WebSess_Create(0);  // the current session, with its page values for today
  }
  void TearDown() override {
    EvtLogOps = savedLog_;
    DLogOps = savedDLog_;
    DLogSetting = savedDLogSetting_;
    DLogExportCountdown = savedCountdown_;
    WebDevNoticeDelay = savedDelay_;
    SvcWallClock = savedClock_;
    DevTest::TearDown();
  }

  // A log of n records, the k-th (from 1, oldest first) dated 1 January
  // 2026 plus k - 1 days and reading "event k".
  void WriteLog(int n) {
    std::string text;
    for (int k = 1; k <= n; ++k) {
      struct tm t {};
      t.tm_year = 2026 - 1900;
      t.tm_mday = k;
      t.tm_hour = 12;
      t.tm_isdst = -1;
      mktime(&t);
      char line[128];
      snprintf(line, sizeof line, "%d %d %02d/%02d/%04d 10:00:00 event %d\n", 100 + k % 3, k % 4, t.tm_mon + 1,
               t.tm_mday, t.tm_year + 1900, k);
      text += line;
    }
    Scratch_WriteFile(Path("_FILE_LOG.TXT"), text);
    EvtLogRecordCount = n;
  }
  std::string Frame() { return Scratch_ReadFile(TmpPath("iframe_log.htm")); }
  // The "event k" numbers of the frame's rows, in their order.
  std::vector<int> FrameEvents() {
    std::vector<int> out;
    const std::string f = Frame();
    for (size_t at = f.find(">event "); at != std::string::npos; at = f.find(">event ", at + 1))
      out.push_back(atoi(f.c_str() + at + 7));
    return out;
  }

  // The page text one variable writes with the page's query pairs.
  static std::string VarQ(const std::string& name, std::vector<std::pair<std::string, std::string>> query) {
    std::vector<std::string> texts;
    for (auto& [n, v] : query) texts.push_back(n), texts.push_back(v);
    std::vector<HttpQueryPair> pairs;
    for (size_t i = 0; i < texts.size(); i += 2) pairs.push_back({texts[i].data(), texts[i + 1].data()});
    char* data = nullptr;
    size_t size = 0;
    FILE* page = open_memstream(&data, &size);
    WebDev_WriteVar(page, name.c_str(), static_cast<int>(pairs.size()), pairs.data());
    fclose(page);
    std::string out(data, size);
    free(data);
    return out;
  }

  static std::vector<int32_t> Values(int from, int count) {
    std::vector<int32_t> v;
    for (int i = from; i < from + count; ++i) v.push_back(WebSess_GetVar(i));
    return v;
  }
  static std::vector<int32_t> AllValues() { return Values(0, WEB_SESSION_VARS); }
  static void SetValues(int from, std::vector<int32_t> values) {
    for (int32_t v : values) WebSess_SetVar(from++, v);
  }

  std::string Config() { return Scratch_ReadFile(Path("config.ini")); }
  bool Saved() { return std::filesystem::exists(Path("config.ini")); }
  bool InConfig(const std::string& line) { return ("\n" + Config()).find("\n" + line + "\n") != std::string::npos; }

  time_t (*savedClock_)();
  EvtLogOpsTable savedLog_;
  DLogOpsTable savedDLog_;
  DLogSettings savedDLogSetting_;
  uint8_t savedCountdown_;
  int savedDelay_;
};

// ---- event-log viewer -------------------------------------------------------------

TEST_F(Hist, LogViewByPageThenByDate) {
  WriteLog(45);
  // A new session views by page, from the newest page.
  EXPECT_EQ(Var("LOG_ISPAGE"), "Checked");
  EXPECT_EQ(Var("LOG_ISDATE"), "");
  EXPECT_EQ(Var("LOG_PAGE"), "Page1");
  EXPECT_EQ(g_pages, std::vector<int>{0});
  std::vector<int> newest;
  for (int k = 45; k >= 16; --k) newest.push_back(k);
  EXPECT_EQ(FrameEvents(), newest);
  EXPECT_EQ(Var("LOG_FROM"), "03/15/2026");
  EXPECT_EQ(Var("LOG_TO"), "03/15/2026");

  EXPECT_EQ(PostRaw("hist_log", "LOG_FROM=01/10/2026&LOG_TO=1/12/2026&BUT_APPLY=Apply"), kLogRedirect);
  EXPECT_EQ(Values(WSV_LOG_FROM, 6), (std::vector<int32_t>{1, 10, 26, 1, 12, 26}));
  EXPECT_EQ(Var("LOG_ISPAGE"), "");
  EXPECT_EQ(Var("LOG_ISDATE"), "Checked");
  EXPECT_EQ(Var("LOG_FROM"), "01/10/2026");
  EXPECT_EQ(Var("LOG_TO"), "01/12/2026");
  EXPECT_EQ(Var("LOG_PAGE"), "01/10/2026 ~ 01/12/2026");
  ASSERT_EQ(g_logRanges.size(), 1u);
  EXPECT_EQ(g_logRanges[0].first, D(1, 10, 2026));
  EXPECT_EQ(g_logRanges[0].second, D(1, 12, 2026));
  EXPECT_EQ(FrameEvents(), (std::vector<int>{12, 11, 10}));

  // A page button goes back to the page view.
  EXPECT_EQ(PostRaw("hist_log", "LOG_BUT2=+2+"), kLogRedirect);
  EXPECT_EQ(Var("LOG_PAGE"), "Page2");
  EXPECT_EQ(FrameEvents(), (std::vector<int>{15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(Var("LOG_ISPAGE"), "Checked");
}

TEST_F(Hist, PageButtonsSelectPages) {
  struct Case {
    int records;
    const char* value;
    int32_t page;
  } cases[] = {
      {61, ">>", 2},  {60, ">>", 1}, {1, ">>", 0}, {0, ">>", 0},   {300, "<<", 0},
      {300, " 3 ", 2}, {300, "10", 9}, {300, "1", 0}, {300, "0", 0}, {300, "-4", 0},  // no page before the first
      {300, "x", 0},
  };
  for (const Case& c : cases) {
    WriteLog(c.records);
    WebSess_SetVar(WSV_LOG_PAGE, 7);
    WebSess_SetVar(WSV_LOG_BY_DATE, 0);
    EXPECT_EQ(PostRaw("hist_log", std::string("LOG_BUT3=") + c.value), kLogRedirect) << c.value;
    EXPECT_EQ(WebSess_GetVar(WSV_LOG_PAGE), c.page) << c.records << " " << c.value;
    EXPECT_EQ(WebSess_GetVar(WSV_LOG_BY_DATE), 1) << c.value;
  }
  // The buttons around the chosen page come from the event log.
  WriteLog(300);
  PostRaw("hist_log", "LOG_BUT5=+6+");
  char expected[512];
  g_realLog.PageButtons(expected, sizeof expected, 5);
  EXPECT_EQ(Var("LOG_BUTTON"), expected);
  EXPECT_NE(Var("LOG_BUTTON").find("value=\" 4 \" name=LOG_BUT1>"), std::string::npos);
  EXPECT_EQ(Var("LOG_PAGE"), "Page6");
  EXPECT_EQ(g_pages.back(), 5);
}

TEST_F(Hist, FirstButtonDecidesAndCsvDownload) {
  WriteLog(3);
  WebSess_SetVar(WSV_LOG_PAGE, 4);
  EXPECT_EQ(PostRaw("hist_log", "DLLOG_BUT=Download&LOG_BUT1=+1+&BUT_APPLY=1"), kLogRedirect);
  EXPECT_EQ(g_csvExports, 1);
  EXPECT_EQ(WebDevNoticeDelay, 3);
  EXPECT_EQ(WebSess_GetVar(WSV_LOG_PAGE), 4);  // the later button is not read
  const std::string csv = Scratch_ReadFile(TmpPath("event_log.csv"));
  for (const char* row : {"01/01/2026,10:00:00,Information,", "01/03/2026,10:00:00,Severity,"})
    EXPECT_NE(csv.find(row), std::string::npos) << row;

  // A page button before the download: no export.
  EXPECT_EQ(PostRaw("hist_log", "LOG_BUT1=+1+&DLLOG_BUT=Download"), kLogRedirect);
  EXPECT_EQ(g_csvExports, 1);
  EXPECT_EQ(WebSess_GetVar(WSV_LOG_PAGE), 0);
  // No button at all: only the boxes are taken.
  EXPECT_EQ(PostRaw("hist_log", "LOG_SELID1=on"), kLogRedirect);
  EXPECT_EQ(PostRaw("hist_log", ""), kLogRedirect);
}

TEST_F(Hist, SelectionBoxesMakeTheMask) {
  EXPECT_EQ(PostRaw("hist_log", "LOG_SELID5=on&LOG_SELID37=on&LOG_BUT1=+1+"), kLogRedirect);
  EXPECT_EQ(WebSess_GetVar(WSV_LOG_LEVELS), 1 << 5);
  EXPECT_EQ(WebSess_GetVar(WSV_LOG_LEVELS + 1), 1 << 5);
  // LOG_SELECTID covers bits 0..32 only: bit 37 does not show.
  EXPECT_EQ(Var("LOG_SELECTID"), "000001000000000000000000000000000");

  // Bit 32 is the last character; box numbers count modulo 64; the mask is
  // rebuilt by every post, a refused date included.
  EXPECT_EQ(PostRaw("hist_log", "LOG_SELID32=1&LOG_SELID64=1&LOG_SELID-1=1&BUT_APPLY=1&LOG_FROM=bad&LOG_TO=1/1/2026"),
            DateFormat("hist_log"));
  EXPECT_EQ(Var("LOG_SELECTID"), "100000000000000000000000000000001");
  EXPECT_EQ(static_cast<uint32_t>(WebSess_GetVar(WSV_LOG_LEVELS + 1)), 0x80000001u);  // bits 32 and 63
  EXPECT_EQ(PostRaw("hist_log", "LOG_BUT1=1"), kLogRedirect);
  EXPECT_EQ(Var("LOG_SELECTID"), std::string(33, '0'));
  EXPECT_EQ(WebSess_GetVar(WSV_LOG_LEVELS + 1), 0);
}

TEST_F(Hist, LogDateErrorsChangeNothing) {
  SetValues(WSV_LOG_PAGE, {3, 1, 2, 1, 26, 2, 5, 26});
  const char* cases[] = {
      "LOG_FROM=13/01/2026&LOG_TO=01/02/2026&BUT_APPLY=1",  // no month 13
      "LOG_FROM=01/01/2026&LOG_TO=01/32/2026&BUT_APPLY=1",
      "LOG_FROM=01/01/1999&LOG_TO=01/02/2026&BUT_APPLY=1",  // before 2000
      "LOG_FROM=01/01/2026&LOG_TO=01/02/2300&BUT_APPLY=1",  // past what the stored year holds
      "LOG_FROM=01/01&LOG_TO=01/02/2026&BUT_APPLY=1",
      "LOG_FROM=2026-01-01&LOG_TO=01/02/2026&BUT_APPLY=1",
      "LOG_FROM=01/01/2026&BUT_APPLY=1",                     // no end
      "LOG_TO=01/02/2026&BUT_APPLY=1",                       // no start
      "BUT_APPLY=1&LOG_TO=01/02/2026&LOG_FROM=01/01/2026",  // the search ends at LOG_TO
      "BUT_APPLY=1",
  };
  const std::vector<int32_t> before = AllValues();
  for (const char* body : cases) {
    EXPECT_EQ(PostRaw("hist_log", body), DateFormat("hist_log")) << body;
    EXPECT_EQ(AllValues(), before) << body;
  }
  // Fields after LOG_TO are not read; 2/30 passes as the date parser has it.
  EXPECT_EQ(PostRaw("hist_log", "BUT_APPLY=1&LOG_FROM=2/30/2024&LOG_TO=12/31/2255&LOG_TO=bad"), kLogRedirect);
  EXPECT_EQ(Values(WSV_LOG_BY_DATE, 7), (std::vector<int32_t>{0, 2, 30, 24, 12, 31, 255}));
}

// ---- dates never set, no session --------------------------------------------------------

TEST_F(Hist, UnsetDatesShowToday) {
  for (int i = WSV_LOG_FROM; i < WSV_LOG_LEVELS; ++i) WebSess_SetVar(i, 0);
  for (int i = WSV_DATA_RANGE0; i < WSV_DATA_ITEM1; ++i) WebSess_SetVar(i, 0);
  EXPECT_EQ(Var("LOG_FROM"), "03/15/2026");
  EXPECT_EQ(Var("LOG_TO"), "03/15/2026");
  for (const char* mode : {"0", "1", "2", "3"}) {
    EXPECT_EQ(VarQ("DATA_FROM", {{"DATA_SELBY", mode}}), "03/15/2026") << mode;
    EXPECT_EQ(VarQ("DATA_TO", {{"DATA_SELBY", mode}}), "03/15/2026") << mode;
  }
  EXPECT_EQ(VarQ("DATA_PAGE", {{"DATA_SELBY", "1"}}), "03/15/2026 ~ 03/15/2026");
  ASSERT_EQ(g_html.size(), 1u);
  EXPECT_EQ(g_html[0], (Range{D(3, 15, 2026), D(3, 15, 2026), 1}));
  // Only a date of all zeros is unset.
  SetValues(WSV_DATA_RANGE1, {0, 0, 1});
  EXPECT_EQ(Var("DATA_FROM"), "00/00/2001");
}

TEST_F(Hist, NoSessionViewsByDateAndTodaysDataRange) {
  WebSess_ClearCurrent();
  WriteLog(5);
  EXPECT_EQ(Var("LOG_ISDATE"), "Checked");
  EXPECT_EQ(Var("LOG_ISPAGE"), "");
  EXPECT_EQ(Var("LOG_PAGE"), "00/00/2000 ~ 00/00/2000");
  EXPECT_EQ(FrameEvents(), std::vector<int>{});
  EXPECT_EQ(Var("LOG_SELECTID"), std::string(33, '0'));
  EXPECT_EQ(Var("DATA_SELBY"), "0");
  EXPECT_EQ(Var("DATA_PAGE"), "03/15/2026 ~ 03/15/2026");
  EXPECT_EQ(g_html.back(), (Range{D(3, 15, 2026), D(3, 15, 2026), 0}));
  // The forms still answer; the download uses the posted range and mode.
  EXPECT_EQ(PostRaw("hist_log", "LOG_BUT1=3"), kLogRedirect);
  EXPECT_EQ(PostRaw("hist_data", "DATA_SELBY=2&DATA_FROM=1/1/2026&DATA_TO=12/31/2026&DATA_BUT=1"), kDataRedirect);
  EXPECT_EQ(g_csv.back(), (Range{D(1, 1, 2026), D(12, 31, 2026), 2}));
}

// ---- data-log viewer -----------------------------------------------------------------------

TEST_F(Hist, DataRangeByFormAndByQuery) {
  // Mode 3 posted: the mode-3 range is stored, the other ranges stay.
  const std::vector<int32_t> ranges = Values(WSV_DATA_RANGE0, 18);
  EXPECT_EQ(PostRaw("hist_data", "DATA_SELBY=3&DATA_FROM=01/02/2026&DATA_TO=01/05/2026&DATA_ITEM1=7&DATA_ITEM2=-2"),
            kDataRedirect);
  EXPECT_EQ(Values(WSV_DATA_RANGE0, 18), ranges);
  EXPECT_EQ(Values(WSV_DATA_RANGE3, 6), (std::vector<int32_t>{1, 2, 26, 1, 5, 26}));
  EXPECT_EQ(Var("DATA_SELBY"), "3");
  EXPECT_EQ(Var("DATA_FROM"), "01/02/2026");
  EXPECT_EQ(Var("DATA_TO"), "01/05/2026");
  EXPECT_EQ(Var("DATA_ITEM1"), "7");
  EXPECT_EQ(Var("DATA_ITEM2"), "-2");
  EXPECT_EQ(Var("DATA_PAGE"), "01/02/2026 ~ 01/05/2026");
  EXPECT_EQ(g_html.back(), (Range{D(1, 2, 2026), D(1, 5, 2026), 3}));
  EXPECT_TRUE(g_csv.empty());
  EXPECT_EQ(WebDevNoticeDelay, 5);

  // The same by the page's query, a browser's encoded slashes included.
  WebSess_Create(0);
  EXPECT_EQ(VarQ("DATA_PAGE", {{"DATA_SELBY", "3"}, {"DATA_FROM", "01%2F02%2F2026"}, {"DATA_TO", "01/05/2026"}}),
            "01/02/2026 ~ 01/05/2026");
  EXPECT_EQ(g_html.back(), (Range{D(1, 2, 2026), D(1, 5, 2026), 3}));
  EXPECT_EQ(Values(WSV_DATA_RANGE3, 6), (std::vector<int32_t>{1, 2, 26, 1, 5, 26}));
  EXPECT_EQ(Values(WSV_DATA_RANGE0, 18), ranges);
  EXPECT_EQ(Var("DATA_SELBY"), "3");  // kept for the next page
  // Another mode chosen by the query shows that mode's stored range.
  EXPECT_EQ(VarQ("DATA_FROM", {{"DATA_SELBY", "2"}}), "01/01/2026");
  EXPECT_EQ(Var("DATA_TO"), "12/31/2026");
}

TEST_F(Hist, DataQueryEndsAtTheFirstBadValue) {
  const std::vector<int32_t> before = AllValues();
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> query;
  } cases[] = {
      {"bad start", {{"DATA_FROM", "1/40/2026"}, {"DATA_TO", "1/2/2026"}}},
      {"bad end", {{"DATA_FROM", "1/1/2026"}, {"DATA_TO", "x"}}},
      {"end without start", {{"DATA_TO", "1/2/2026"}, {"DATA_FROM", "1/1/2026"}}},
      {"mode out of range", {{"DATA_SELBY", "4"}, {"DATA_FROM", "1/1/2026"}, {"DATA_TO", "1/2/2026"}}},
      {"mode not a number", {{"DATA_SELBY", "one"}}},
      {"other names", {{"DATA_FROMX", "1/1/2026"}, {"data_to", "1/2/2026"}}},
  };
  for (const Case& c : cases) {
    VarQ("DATA_SELBY", c.query);
    EXPECT_EQ(AllValues(), before) << c.what;
  }
  // What came before the bad value stays.
  VarQ("DATA_SELBY", {{"DATA_SELBY", "1"}, {"DATA_FROM", "1/1/2026"}, {"DATA_TO", "1/9/2026"}, {"DATA_SELBY", "9"},
                      {"DATA_SELBY", "2"}});
  EXPECT_EQ(Var("DATA_SELBY"), "1");
  EXPECT_EQ(Values(WSV_DATA_RANGE1, 6), (std::vector<int32_t>{1, 1, 26, 1, 9, 26}));
}

TEST_F(Hist, DataFormErrors) {
  struct Case {
    const char* body;
    std::string reply;
  } cases[] = {
      {"DATA_FROM=1/1/2026&DATA_TO=1/2/2026&DATA_BUT=1&DATA_SELBY=4", BadNumber("Records of", 0, 3)},
      {"DATA_SELBY=-1", BadNumber("Records of", 0, 3)},
      {"DATA_ITEM1=two", BadNumber("Chart", INT32_MIN, INT32_MAX)},
      {"DATA_ITEM2=99999999999", BadNumber("Chart", INT32_MIN, INT32_MAX)},
      {"DATA_TO=1/2/2026&DATA_FROM=1/1/2026", DateFormat("hist_data")},  // an end without a start
      {"DATA_FROM=1/1/2026&DATA_TO=2026/1/2", DateFormat("hist_data")},
      {"DATA_BUT=1", DateFormat("hist_data")},                            // a download without a range
      {"DATA_FROM=1/1/2026&DATA_BUT=1", DateFormat("hist_data")},
  };
  const std::vector<int32_t> before = AllValues();
  for (const Case& c : cases) {
    EXPECT_EQ(PostRaw("hist_data", c.body), c.reply) << c.body;
    EXPECT_EQ(AllValues(), before) << c.body;
  }
  EXPECT_TRUE(g_csv.empty());
  EXPECT_EQ(WebDevNoticeDelay, 5);

  // A date error stops the pass: what came before it stays stored.
  EXPECT_EQ(PostRaw("hist_data", "DATA_SELBY=2&DATA_FROM=1/1/2025&DATA_TO=6/30/2025&DATA_ITEM1=4&DATA_FROM=bad"
                                 "&DATA_ITEM2=9&DATA_BUT=1"),
            DateFormat("hist_data"));
  EXPECT_EQ(WebSess_GetVar(WSV_DATA_MODE), 2);
  EXPECT_EQ(Values(WSV_DATA_RANGE2, 6), (std::vector<int32_t>{1, 1, 25, 6, 30, 25}));
  EXPECT_EQ(WebSess_GetVar(WSV_DATA_ITEM1), 4);
  EXPECT_EQ(WebSess_GetVar(WSV_DATA_ITEM2), 1);
  EXPECT_TRUE(g_csv.empty());
}

TEST_F(Hist, DataCsvDownload) {
  WebDevNoticeDelay = 3;
  EXPECT_EQ(PostRaw("hist_data", "DATA_BUT=Download&DATA_SELBY=1&DATA_FROM=03/01/2026&DATA_TO=03/31/2026"),
            kDataRedirect);
  ASSERT_EQ(g_csv.size(), 1u);
  EXPECT_EQ(g_csv[0], (Range{D(3, 1, 2026), D(3, 31, 2026), 1}));
  EXPECT_EQ(WebDevNoticeDelay, 5);
  EXPECT_EQ(Values(WSV_DATA_RANGE1, 6), (std::vector<int32_t>{3, 1, 26, 3, 31, 26}));
}

// ---- history settings ---------------------------------------------------------------------

TEST_F(Hist, ConfigValues) {
  DLogSetting.maxStorage = 65535;
  DLogSetting.exportPeriod = 255;
  wcscpy(DLogSetting.exportPath, L"/srv/<b>'a\"&/");
  struct Case {
    const char* name;
    const char* value;
  } cases[] = {
      {"HCG_MAX_DATANUM", "65535"}, {"HCG_MAX_EVENTNUM", "10000"}, {"HCG_AE_INTERVAL", "255"},
      {"HCG_AE_PATH", "/srv/&lt;b&gt;&#39;a&quot;&amp;/"},         {"HCG_NOPE", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Var(c.name), c.value) << c.name;
}

TEST_F(Hist, ClearLogAndClearData) {
  WriteLog(40);
  EXPECT_EQ(Post("hist_config", "CLEAR_LOG=Clear&HCG_MAX_DATANUM=3"), kConfigUpdated);
  EXPECT_FALSE(std::filesystem::exists(Path("_FILE_LOG.TXT")));
  EXPECT_EQ(EvtLogRecordCount, 0);
  EXPECT_EQ(DLogSetting.maxStorage, 12);
  EXPECT_TRUE(g_retentions.empty());
  EXPECT_EQ(Var("LOG_BUTTON"), "<input type=submit value=\" 1 \" name=LOG_BUT1> ");

  // The files go as a retention of 0 months has it; then the posted
  // retention holds, saved with the clear.
  EXPECT_EQ(Post("hist_config", "HCG_MAX_DATANUM=6&CLEAR_DATA=Clear"), kConfigUpdated);
  EXPECT_EQ(g_retentions, std::vector<uint16_t>{0});
  EXPECT_EQ(DLogSetting.maxStorage, 6);
  EXPECT_TRUE(InConfig("Maximum Storage=6"));
  // The retention in force posted again, or none: the clear needs no save.
  std::filesystem::remove(Path("config.ini"));
  for (const char* body : {"HCG_MAX_DATANUM=6&CLEAR_DATA=Clear", "CLEAR_DATA=Clear"})
    EXPECT_EQ(Post("hist_config", body), kConfigUpdated) << body;
  EXPECT_EQ(g_retentions, (std::vector<uint16_t>{0, 0, 0}));
  EXPECT_EQ(DLogSetting.maxStorage, 6);
  EXPECT_FALSE(Saved());
  // A retention the setting cannot hold: nothing is deleted.
  EXPECT_EQ(Post("hist_config", "CLEAR_DATA=Clear&HCG_MAX_DATANUM=70000"), BadNumber("Months kept", 0, 65535));
  EXPECT_EQ(g_retentions.size(), 3u);
  EXPECT_EQ(DLogSetting.maxStorage, 6);
  EXPECT_FALSE(Saved());
}

TEST_F(Hist, RetentionApply) {
  EXPECT_EQ(Post("hist_config", "HCG_MAX_DATANUM=24&HCG_MAX_DATANUM=2&HCG_APPLY=Apply"), kConfigUpdated);
  EXPECT_EQ(DLogSetting.maxStorage, 24);  // the first field
  EXPECT_TRUE(InConfig("Maximum Storage=24"));
  EXPECT_EQ(g_retentions, std::vector<uint16_t>{24});
  EXPECT_EQ(Var("HCG_MAX_DATANUM"), "24");

  std::filesystem::remove(Path("config.ini"));
  struct Case {
    const char* body;
    std::string reply;
  } cases[] = {
      {"HCG_APPLY=1", kConfigUpdated},  // no retention posted: nothing to change
      {"HCG_MAX_DATANUM=70000&HCG_APPLY=1", BadNumber("Months kept", 0, 65535)},
      {"HCG_MAX_DATANUM=&HCG_APPLY=1", BadNumber("Months kept", 0, 65535)},
      {"HCG_MAX_DATANUM=-1&HCG_APPLY=1", BadNumber("Months kept", 0, 65535)},
      {"HCG_MAX_DATANUM=5x&HCG_APPLY=1", BadNumber("Months kept", 0, 65535)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Post("hist_config", c.body), c.reply) << c.body;
    EXPECT_EQ(DLogSetting.maxStorage, 24) << c.body;
    EXPECT_FALSE(Saved()) << c.body;
  }
  EXPECT_EQ(g_retentions.size(), 1u);
  // No button: nothing changes, and the answer does not say it did.
  EXPECT_EQ(Post("hist_config", "HCG_MAX_DATANUM=1"),
            "Message: Title=Error\nBody=<font color=#F00000>FIFO_GROUP_POST not found!</font>\n");
  EXPECT_EQ(DLogSetting.maxStorage, 24);
}

// The export directory is where the service, as root, writes UPS.csv: only
// the administrator moves it; the device account may post the page with it
// unchanged, with or without its closing '/'.
TEST_F(Hist, OnlyTheAdministratorMovesTheExportDirectory) {
  wcscpy(DLogSetting.exportPath, L"/var/log/");
  const struct {
    int level;
    const char* fields;
    bool stored;
    const wchar_t* path;
  } kCases[] = {
      {1, "HCG_AE_PATH=%2Fetc%2Fcron.d&HCG_AE_APPLY=1", false, L"/var/log/"},
      {1, "HCG_AE_PATH=%2Fvar%2Flog&HCG_AE_PATH=%2Fetc&HCG_AE_APPLY=1", false, L"/var/log/"},
      {1, "HCG_AE_PATH=%2Fvar%2Flog&HCG_AE_INTERVAL=15&HCG_AE_APPLY=1", true, L"/var/log/"},
      {1, "HCG_AE_PATH=%2Fvar%2Flog%2F&HCG_AE_APPLY=1", true, L"/var/log/"},
      {1, "HCG_AE_PATH=%2Fvar%2Flo&HCG_AE_APPLY=1", false, L"/var/log/"},
      {0, "HCG_AE_PATH=%2Fsrv%2Fups&HCG_AE_APPLY=1", true, L"/srv/ups/"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.fields);
    SetLevel(c.level);
    EXPECT_EQ(Post("hist_config", c.fields), c.stored ? kConfigUpdated : kDenied);
    EXPECT_STREQ(DLogSetting.exportPath, c.path);
  }
}

TEST_F(Hist, ExportIntervalAndPath) {
  struct Case {
    const char* path;
    const wchar_t* stored;
  } cases[] = {
      {"/var/log", L"/var/log/"}, {"/var/log/", L"/var/log/"}, {"", L"/"}, {"rel dir", L"rel dir/"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Post("hist_config", std::string("HCG_AE_PATH=") + c.path + "&HCG_AE_APPLY=1"), kConfigUpdated)
        << c.path;
    EXPECT_STREQ(DLogSetting.exportPath, c.stored) << c.path;
  }
  EXPECT_TRUE(InConfig("Export Path=rel dir/"));

  // 255 characters take the slash; 256 would have to be cut and are refused.
  const std::string longest(255, 'a');
  EXPECT_EQ(Post("hist_config", "HCG_AE_PATH=" + longest + "&HCG_AE_APPLY=1"), kConfigUpdated);
  EXPECT_EQ(wcslen(DLogSetting.exportPath), 256u);
  EXPECT_EQ(DLogSetting.exportPath[255], L'/');
  EXPECT_EQ(Post("hist_config", "HCG_AE_PATH=/" + longest + "&HCG_AE_APPLY=1"), TooLong("Directory", 255));
  EXPECT_EQ(wcslen(DLogSetting.exportPath), 256u);

  // The countdown is set when it is off or longer than the new period.
  struct Period {
    uint8_t countdown;
    const char* period;
    uint8_t stored, countdownAfter;
  } periods[] = {
      {0, "5", 5, 5}, {10, "5", 5, 5}, {3, "5", 5, 3}, {5, "5", 5, 5}, {7, "0", 0, 0}, {0, "255", 255, 255},
  };
  for (const Period& p : periods) {
    DLogExportCountdown = p.countdown;
    EXPECT_EQ(Post("hist_config", std::string("HCG_AE_INTERVAL=") + p.period + "&HCG_AE_APPLY=1"), kConfigUpdated);
    EXPECT_EQ(DLogSetting.exportPeriod, p.stored) << p.period;
    EXPECT_EQ(DLogExportCountdown, p.countdownAfter) << int(p.countdown) << " " << p.period;
  }
  EXPECT_EQ(Post("hist_config", "HCG_AE_INTERVAL=15&HCG_AE_PATH=/var/log&HCG_AE_APPLY=1"), kConfigUpdated);
  EXPECT_TRUE(InConfig("Export Period=15"));
  EXPECT_TRUE(InConfig("Export Path=/var/log/"));
}

TEST_F(Hist, ExportRefusalsChangeNothing) {
  DLogSetting.exportPeriod = 15;
  DLogExportCountdown = 9;
  wcscpy(DLogSetting.exportPath, L"/var/log/");
  struct Case {
    const char* body;
    std::string reply;
  } cases[] = {
      {"HCG_AE_INTERVAL=1&HCG_AE_PATH=/tmp/<x>&HCG_AE_APPLY=1", kIncorrectInput},
      {"HCG_AE_INTERVAL=1&HCG_AE_PATH=/tmp/a%27b&HCG_AE_APPLY=1", kIncorrectInput},
      {"HCG_AE_INTERVAL=1&HCG_AE_PATH=/tmp/a%0Ab&HCG_AE_APPLY=1", kIncorrectInput},
      {"HCG_AE_PATH=/tmp/&HCG_AE_INTERVAL=256&HCG_AE_APPLY=1", BadNumber("Interval (minutes)", 0, 255)},
      {"HCG_AE_PATH=/tmp/&HCG_AE_INTERVAL=ten&HCG_AE_APPLY=1", BadNumber("Interval (minutes)", 0, 255)},
      {"HCG_AE_PATH=/tmp/%FF&HCG_AE_APPLY=1", TooLong("Directory", 255)},  // not text of the locale
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Post("hist_config", c.body), c.reply) << c.body;
    EXPECT_EQ(DLogSetting.exportPeriod, 15) << c.body;
    EXPECT_EQ(DLogExportCountdown, 9) << c.body;
    EXPECT_STREQ(DLogSetting.exportPath, L"/var/log/") << c.body;
  }
  EXPECT_FALSE(Saved());
}

TEST_F(Hist, ConfigNeedsItsTokenAndReportsAFailedSave) {
  WriteLog(2);
  for (const char* body : {"CLEAR_LOG=1", "CLEAR_LOG=1&SYS_UCTOKEN=wrong", "HCG_MAX_DATANUM=1&HCG_APPLY=1"}) {
    Token();
    EXPECT_EQ(PostRaw("hist_config", body), Stale("/en/hist_config.asp")) << body;
  }
  EXPECT_EQ(EvtLogRecordCount, 2);
  EXPECT_EQ(DLogSetting.maxStorage, 12);
  // The viewers' forms take no token.
  EXPECT_EQ(PostRaw("hist_log", "LOG_BUT1=1"), kLogRedirect);
  EXPECT_EQ(PostRaw("hist_data", "DATA_ITEM1=3"), kDataRedirect);

  std::filesystem::create_directory(Path("config.ini.tmp"));  // the new file cannot be written
  DLogSetting.exportPeriod = 60;
  DLogExportCountdown = 40;
  EXPECT_EQ(Post("hist_config", "HCG_MAX_DATANUM=3&HCG_APPLY=1"), kNotSaved);
  EXPECT_EQ(Post("hist_config", "HCG_MAX_DATANUM=3&CLEAR_DATA=1"), kNotSaved);
  EXPECT_EQ(Post("hist_config", "HCG_AE_PATH=/x&HCG_AE_INTERVAL=5&HCG_AE_APPLY=1"), kNotSaved);
  // Undone: the retention, the export period and path and the export's
  // countdown are those in force before, and no data-log file went.
  EXPECT_EQ(DLogSetting.maxStorage, 12);
  EXPECT_EQ(DLogSetting.exportPeriod, 60);
  EXPECT_EQ(DLogExportCountdown, 40);
  EXPECT_STRNE(DLogSetting.exportPath, L"/x/");
  EXPECT_TRUE(g_retentions.empty());
  // A clear that keeps the retention in force needs no save.
  EXPECT_EQ(Post("hist_config", "HCG_MAX_DATANUM=12&CLEAR_DATA=1"), kConfigUpdated);
  EXPECT_EQ(g_retentions, std::vector<uint16_t>{0});
  EXPECT_EQ(DLogSetting.maxStorage, 12);
}

}  // namespace
