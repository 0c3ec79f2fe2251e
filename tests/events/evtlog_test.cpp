// Event log: filling the texts, the record format, trimming, reading
// records back, and the HTML and CSV exports against golden files.
#include <gtest/gtest.h>

#include <csignal>
#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "core/svc.h"
#include "events/evtdef.h"
#include "events/evtlog.h"
#include "events/mail.h"
#include "events/sms.h"
#include "ups/upsdata.h"
#include "support/scratch.h"

namespace {

namespace fs = std::filesystem;

const fs::path kData = fs::path(__FILE__).parent_path() / "data";

time_t g_now;
time_t FakeClock() { return g_now; }

class EvtLogTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    setenv("TZ", "UTC", 1);
    tzset();
    savedClock_ = SvcWallClock;
    SvcWallClock = FakeClock;
    g_now = Scratch_UtcTime(2024, 3, 9, 14, 5, 7);
    fs::create_directories(Path("httpd/htdocs/tempage"));
    SetText(0, "Monitoring service started", 1);
    SetText(2, "User %s logged in from %s", 0);
    SetText(6, "System will shut down in %s", 2);
    SetText(36, "Signal %s received", 3);
    SetText(39, "%s %s %s %s %s %s %s", 2);  // more places than arguments can fill
    SetText(100 + 2, "Utility power failure", 2);
    SetText(100 + 189, "Last UPS entry", 1);
    EvtLog_Init(dir.c_str());
  }
  void TearDown() override {
    for (char*& t : EvtCommonEvents.text) free(t), t = nullptr;
    for (char*& t : EvtUpsEvents.text) free(t), t = nullptr;
    EvtCommonEvents = {};
    EvtUpsEvents = {};
    SvcWallClock = savedClock_;
    ScratchTest::TearDown();
  }
  static void SetText(int code, const char* text, uint8_t level) {
    if (code < EVT_UPS_BASE) {
      EvtCommonEvents.text[code] = strdup(text);
      EvtCommonEvents.level[code] = level;
    } else {
      EvtUpsEvents.text[code - EVT_UPS_BASE] = strdup(text);
      EvtUpsEvents.level[code - EVT_UPS_BASE] = level;
    }
  }
  std::string Log() const { return Scratch_ReadFile(Path(EVTLOG_FILE)); }
  std::string Tempage(const char* name) const { return Scratch_ReadFile(TmpPath(name)); }
  // A log of n records "event k", k = 1..n, one a day from 1 January 2024.
  void WriteLog(int n) {
    std::string text;
    char line[128];
    for (int k = 1; k <= n; ++k) {
      time_t t = Scratch_UtcTime(2024, 1, 1, 8, 0, 0) + (k - 1) * 86400L;
      struct tm tm {};
      gmtime_r(&t, &tm);
      snprintf(line, sizeof line, "100 %d %02d/%02d/%04d 08:00:00 event %d\n", k % 4, tm.tm_mon + 1, tm.tm_mday,
               tm.tm_year + 1900, k);
      text += line;
    }
    Scratch_WriteFile(Path(EVTLOG_FILE), text);
    EvtLog_Init(dir.c_str());
  }
  // The event texts of the HTML table rows, top to bottom.
  std::vector<std::string> RowTexts() const {
    std::vector<std::string> out;
    for (const std::string& line : Scratch_Lines(Tempage("iframe_log.htm"))) {
      size_t at = line.find("<td nowrap class=");
      if (line.rfind("<tr", 0) != 0 || at == std::string::npos) continue;
      size_t start = line.find('>', at) + 1;
      out.push_back(line.substr(start, line.find("</td></tr>") - start));
    }
    return out;
  }

 private:
  time_t (*savedClock_)();
};

TEST(EvtLogFill, ArgumentsFillOnlyTheirPlaces) {
  const char* two[] = {"admin", "192.0.2.7"};
  const char* nasty[] = {"%s%n%d", "line\r\nbreak\tand\x7f"};
  struct {
    const char* name;
    const char* format;
    const char* const* args;
    int count;
    std::string want;
  } cases[] = {
      {"two places", "User %s logged in from %s", two, 2, "User admin logged in from 192.0.2.7"},
      {"no arguments: copied", "Copy %s and 100%", nullptr, 0, "Copy %s and 100%"},
      {"places beyond the arguments stay", "%s, %s, %s", two, 2, "admin, 192.0.2.7, %s"},
      {"other conversions stay", "%d%% %s %n %x", two, 1, "%d%% admin %n %x"},
      {"arguments are never formats", "[%s] [%s]", nasty, 2, "[%s%n%d] [line??break?and?]"},
      {"control characters of the format", "a\nb%s", two, 1, "a?badmin"},
      {"a lone % at the end", "50%", two, 2, "50%"},
      {"null format", nullptr, two, 2, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char out[EVTLOG_TEXT_SIZE];
    size_t n = EvtLog_FillText(out, sizeof out, c.format, c.args, c.count);
    EXPECT_EQ(std::string(out), c.want);
    EXPECT_EQ(n, c.want.size());
  }
}

TEST(EvtLogFill, CutsAtTheBufferWithoutSplittingACharacter) {
  // 'ł' is two bytes, '中' three: a cut inside either drops the whole character.
  struct {
    const char* arg;
    size_t size;
    std::string want;
  } cases[] = {
      {"abcdef", 4, "Xabc"},
      {"ał", 4, "Xa"},        // 'ł' would need bytes 2 and 3
      {"ał", 5, "Xał"},       // fits exactly
      {"a中", 5, "Xa"},
      {"a中", 6, "Xa中"},
      {"", 1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arg);
    const char* args[] = {c.arg};
    char out[16];
    memset(out, 'Z', sizeof out);
    EvtLog_FillText(out, c.size, "X%sYYYY", args, 1);
    EXPECT_EQ(std::string(out), c.want.substr(0, c.size ? c.size - 1 : 0));
  }
  // A long argument never overruns the 256-byte text.
  std::string big(1000, 'a');
  const char* args[] = {big.c_str()};
  char out[EVTLOG_TEXT_SIZE];
  EXPECT_EQ(EvtLog_FillText(out, sizeof out, "%s", args, 1), 255u);
}

TEST_F(EvtLogTest, RecordsOfEachKindOfEvent) {
  EvtLogOps.Add(0, nullptr);
  EvtLogOps.Add(2, "admin", "192.0.2.7", nullptr);
  EvtLogOps.Add(EVT_FREE_TEXT, 3, "Can't run %s at 100%");
  EvtLogOps.Add(36, "SIGINT\nforged 0 0 01/01/2000 00:00:00 record", nullptr);
  EvtLogOps.Add(39, "1", "2", "3", "4", "5", "6", "7", nullptr);  // the seventh is not read
  g_now = Scratch_UtcTime(2024, 12, 31, 23, 59, 58);
  EvtLogOps.Add(102, nullptr);
  EvtLogOps.Add(289, nullptr);
  EvtLogOps.Add(1, nullptr);  // no text in the table: an empty text
  EXPECT_EQ(Log(),
            "0 1 03/09/2024 14:05:07 Monitoring service started\n"
            "2 0 03/09/2024 14:05:07 User admin logged in from 192.0.2.7\n"
            "-1 3 03/09/2024 14:05:07 Can't run %s at 100%\n"
            "36 3 03/09/2024 14:05:07 Signal SIGINT?forged 0 0 01/01/2000 00:00:00 record received\n"
            "39 2 03/09/2024 14:05:07 1 2 3 4 5 6 %s\n"
            "102 2 12/31/2024 23:59:58 Utility power failure\n"
            "289 1 12/31/2024 23:59:58 Last UPS entry\n"
            "1 0 12/31/2024 23:59:58 \n");
  EXPECT_EQ(EvtLogRecordCount, 8);
}

// What the event log hands to the mail spool: kind, index, the UPS's
// identity texts and the arguments.
std::vector<std::string> g_mailed;
void RecordMail(int kind, int index, const char* serial, const char* model, ...) {
  std::string e = std::to_string(kind) + "/" + std::to_string(index) + " " + serial + " " + model;
  va_list ap;
  va_start(ap, model);
  for (int i = 0; i < 7; ++i) {
    const char* a = va_arg(ap, const char*);
    if (!a) break;
    e += std::string(" ") + a;
  }
  va_end(ap);
  g_mailed.push_back(e);
}

TEST_F(EvtLogTest, HandsEventsToTheMailSpoolAndTheFreeSmsSlot) {
  g_mailed.clear();
  MailOps.AddEvent = RecordMail;
  SmsSlot = SmsSlotRecord{};
  snprintf(UpsRecord.serial, sizeof UpsRecord.serial, "SIM0012345");
  snprintf(UpsRecord.model, sizeof UpsRecord.model, "SIMUPS 3000");
  EvtLogOps.Add(2, "admin", "192.0.2.7", nullptr);     // level 0: mailed (the spool filters), no SMS
  EXPECT_FALSE(SmsSlot.pending);
  EvtLogOps.Add(EVT_FREE_TEXT, 3, "Can't run it\xff");  // free text: never mailed; the first for SMS
  EXPECT_TRUE(SmsSlot.pending);
  EXPECT_EQ(SmsSlot.level, 3);
  EXPECT_STREQ(SmsSlot.text, L"14:05:07 Can't run it?");
  g_now = Scratch_UtcTime(2024, 3, 9, 14, 5, 8);
  EvtLogOps.Add(102, nullptr);  // mailed; the slot is taken
  EvtLogOps.Add(39, "1", "2", "3", "4", "5", "6", "7", nullptr);
  EXPECT_STREQ(SmsSlot.text, L"14:05:07 Can't run it?");
  SmsSlot.pending = 0;
  EvtLogOps.Add(6, "30", nullptr);
  EXPECT_STREQ(SmsSlot.text, L"14:05:08 System will shut down in 30");
  EXPECT_EQ(SmsSlot.level, 2);
  EXPECT_EQ(g_mailed, (std::vector<std::string>{"0/2 SIM0012345 SIMUPS 3000 admin 192.0.2.7",
                                                "1/2 SIM0012345 SIMUPS 3000", "0/39 SIM0012345 SIMUPS 3000 1 2 3 4 5 6",
                                                "0/6 SIM0012345 SIMUPS 3000 30"}));
  MailOps.AddEvent = nullptr;
  SmsSlot = SmsSlotRecord{};
}

TEST_F(EvtLogTest, CodesOutsideTheTablesAreRefused) {
  for (int code : {-2, 40, 99, 290, 1000, -100}) EvtLogOps.Add(code, "x", nullptr);
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(EvtLogRecordCount, 0);
}

TEST_F(EvtLogTest, CountAtInitLeavesOutATornLastLine) {
  // A record cut short (a crash in the middle of an append) is no record:
  // not counted, and the next append writes over it.
  Scratch_WriteFile(Path(EVTLOG_FILE), "0 1 01/01/2024 00:00:00 a\n0 1 01/01/2024 00:00:01 b\n0 1 01/01/2024 00:0");
  EvtLog_Init(dir.c_str());
  EXPECT_EQ(EvtLogRecordCount, 2);
  char buf[EVTLOG_RECORD_SIZE];
  ASSERT_EQ(EvtLogOps.ReadRecord(0, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "0 1 01/01/2024 00:00:01 b");
  EvtLogOps.Add(0, nullptr);
  EXPECT_EQ(Log(),
            "0 1 01/01/2024 00:00:00 a\n0 1 01/01/2024 00:00:01 b\n"
            "0 1 03/09/2024 14:05:07 Monitoring service started\n");
  EXPECT_EQ(EvtLogRecordCount, 3);
}

// Writes that pass limit bytes fail as on a full disk: the write that
// crosses the limit is cut short, every later one fails (EFBIG; SIGXFSZ is
// ignored meanwhile).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    getrlimit(RLIMIT_FSIZE, &old_);
    struct rlimit r = old_;
    r.rlim_cur = limit;
    oldHandler_ = signal(SIGXFSZ, SIG_IGN);
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &r), 0);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, oldHandler_);
  }

 private:
  struct rlimit old_;
  void (*oldHandler_)(int);
};

TEST_F(EvtLogTest, EventsThatCannotBeWrittenAreStillNotifiedAndCounted) {
  const std::string kept = "0 1 01/01/2024 00:00:00 a\n0 1 01/01/2024 00:00:01 b\n";
  struct Case {
    const char* name;
    std::function<std::unique_ptr<FileSizeLimit>()> fail;  // makes the appends fail, until it is undone
    std::function<void()> undo;
    const char* reason;
  } cases[] = {
      // Room for part of the first record only: no partial record stays.
      {"the disk fills in the middle of a record",
       [&] { return std::make_unique<FileSizeLimit>(kept.size() + 10); }, [] {}, "File too large"},
      {"the log cannot be opened",
       [&] {
         fs::remove(Path(EVTLOG_FILE));
         fs::create_directory(Path(EVTLOG_FILE));
         return nullptr;
       },
       [&] {
         fs::remove(Path(EVTLOG_FILE));
         Scratch_WriteFile(Path(EVTLOG_FILE), kept);
       },
       "Is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch_WriteFile(Path(EVTLOG_FILE), kept);
    EvtLog_Init(dir.c_str());
    g_mailed.clear();
    MailOps.AddEvent = RecordMail;
    SmsSlot = SmsSlotRecord{};
    snprintf(UpsRecord.serial, sizeof UpsRecord.serial, "S1");
    snprintf(UpsRecord.model, sizeof UpsRecord.model, "M1");
    g_now = Scratch_UtcTime(2024, 3, 9, 14, 5, 7);
    {
      auto failing = c.fail();
      EvtLogOps.Add(102, nullptr);
      g_now += 5;
      EvtLogOps.Add(6, "30", nullptr);
      EvtLogOps.Add(EVT_FREE_TEXT, 2, "not mailed");
    }
    c.undo();
    // Nothing of them in the log, each handed to mail, the first to SMS.
    EXPECT_EQ(Log(), kept);
    EXPECT_EQ(EvtLogRecordCount, 2);
    EXPECT_EQ(g_mailed, (std::vector<std::string>{"1/2 S1 M1", "0/6 S1 M1 30"}));
    EXPECT_TRUE(SmsSlot.pending);
    EXPECT_STREQ(SmsSlot.text, L"14:05:07 Utility power failure");

    // The first append that works says how many were lost, and since when.
    g_now = Scratch_UtcTime(2024, 3, 9, 14, 6, 0);
    EvtLogOps.Add(0, nullptr);
    EvtLogOps.Add(36, "SIGINT", nullptr);
    EXPECT_EQ(Log(), kept + "-1 2 03/09/2024 14:06:00 3 events not written to the event log since 03/09/2024 "
                            "14:05:07: " + c.reason + "\n"
                            "0 1 03/09/2024 14:06:00 Monitoring service started\n"
                            "36 3 03/09/2024 14:06:00 Signal SIGINT received\n");
    EXPECT_EQ(EvtLogRecordCount, 5);
    EXPECT_EQ(g_mailed.size(), 4u);
  }
  MailOps.AddEvent = nullptr;
  SmsSlot = SmsSlotRecord{};
}

TEST_F(EvtLogTest, TheCountRecordWaitsForRoomForBoth) {
  // Room for the event but not for the count record with it: neither goes
  // in half, and the count goes on.
  const std::string kept = "0 1 01/01/2024 00:00:00 a\n";
  Scratch_WriteFile(Path(EVTLOG_FILE), kept);
  EvtLog_Init(dir.c_str());
  {
    FileSizeLimit full(kept.size());
    EvtLogOps.Add(0, nullptr);
  }
  g_now += 60;
  {
    FileSizeLimit small(kept.size() + 60);
    EvtLogOps.Add(0, nullptr);
  }
  EXPECT_EQ(Log(), kept);
  g_now += 60;
  EvtLogOps.Add(0, nullptr);
  EXPECT_EQ(Log(), kept + "-1 2 03/09/2024 14:07:07 2 events not written to the event log since 03/09/2024 "
                          "14:05:07: File too large\n"
                          "0 1 03/09/2024 14:07:07 Monitoring service started\n");
  EXPECT_EQ(EvtLogRecordCount, 3);
}

TEST_F(EvtLogTest, The10001stRecordTrimsTheOldest2500) {
  WriteLog(10000);
  ASSERT_EQ(EvtLogRecordCount, 10000);

  // A trim that cannot write its copy leaves the file and the count true.
  fs::create_directory(Path(std::string(EVTLOG_FILE) + ".tmp"));
  EvtLogOps.Add(0, nullptr);
  EXPECT_EQ(EvtLogRecordCount, 10001);
  EXPECT_EQ(Scratch_Lines(Log()).size(), 10001u);
  fs::remove(Path(std::string(EVTLOG_FILE) + ".tmp"));

  EvtLogOps.Add(102, nullptr);  // 10002 records: the oldest 2500 go
  EXPECT_EQ(EvtLogRecordCount, 7502);
  auto lines = Scratch_Lines(Log());
  ASSERT_EQ(lines.size(), 7502u);
  EXPECT_NE(lines.front().find(" event 2501"), std::string::npos) << lines.front();
  EXPECT_EQ(lines.back(), "102 2 03/09/2024 14:05:07 Utility power failure");
  EXPECT_FALSE(fs::exists(Path(std::string(EVTLOG_FILE) + ".tmp")));

  // Counting up to the limit again trims to 7501, as the first trim does.
  for (int i = 0; i < 2499; ++i) EvtLogOps.Add(0, nullptr);
  EXPECT_EQ(EvtLogRecordCount, 7501);
  EXPECT_EQ(Scratch_Lines(Log()).size(), 7501u);
}

TEST_F(EvtLogTest, TheTrimRemovesExactlyTheOldestRecordsWhateverTheirDateOrText) {
  // Records a log may hold besides the service's own of today: year/month/
  // day dates, texts that quote a record head (an SMTP reply, a client's
  // name, a record glued to one cut short by an older version), lines that
  // do not split, an empty line and one longer than a record buffer. The
  // fixture's first five lines fall among the oldest 2500.
  std::vector<std::string> lines = Scratch_Lines(Scratch_ReadFile(kData / "evtlog_trim.txt"));
  lines.push_back("100 1 07/09/2024 10:00:11 long " + std::string(600, 'x'));
  std::vector<std::string> log;
  char line[128];
  for (int k = 1; k <= 2495; ++k) {
    snprintf(line, sizeof line, "100 1 01/01/2024 08:00:00 old %d", k);
    log.push_back(line);
  }
  log.insert(log.end(), lines.begin(), lines.end());
  for (int k = 1; log.size() < 10000; ++k) {
    snprintf(line, sizeof line, "100 1 07/10/2024 08:00:00 later %d", k);
    log.push_back(line);
  }
  std::string text;
  for (const std::string& l : log) text += l + "\n";
  Scratch_WriteFile(Path(EVTLOG_FILE), text);
  EvtLog_Init(dir.c_str());
  ASSERT_EQ(EvtLogRecordCount, 10000);

  EvtLogOps.Add(0, nullptr);
  std::string want;
  for (size_t i = 2500; i < log.size(); ++i) want += log[i] + "\n";
  want += "0 1 03/09/2024 14:05:07 Monitoring service started\n";
  const std::string got = Log();
  const auto at = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
  EXPECT_TRUE(got == want) << "the log differs from byte " << (at.first - got.begin()) << ": \""
                           << got.substr(static_cast<size_t>(at.first - got.begin()), 80) << "\"";
  EXPECT_EQ(EvtLogRecordCount, 7501);

  // Read back one record a line, a quoted head inside its text.
  char buf[EVTLOG_RECORD_SIZE];
  ASSERT_EQ(EvtLogOps.ReadRecord(7500, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, lines[5].c_str());
  ASSERT_EQ(EvtLogOps.ReadRecord(7500 - 2, buf, sizeof buf), 1);
  char *code, *level, *date, *time, *rest;
  ASSERT_EQ(EvtLogOps.SplitRecord(buf, &code, &level, &date, &time, &rest), 1);
  EXPECT_STREQ(date, "2024/07/09");
  EXPECT_STREQ(rest, "Network shutdown client db1 100 1 01/01/2024 08:00:00 x does not answer");
  // The long record is cut to a record buffer for the readers only.
  ASSERT_EQ(EvtLogOps.ReadRecord(7500 - static_cast<int>(lines.size()) + 5 + 1, buf, sizeof buf), 1);
  EXPECT_EQ(strlen(buf), size_t(EVTLOG_RECORD_SIZE - 1));
  EXPECT_EQ(std::string(buf).rfind("100 1 07/09/2024 10:00:11 long xxx", 0), 0u);
}

TEST_F(EvtLogTest, ReadAndSplitRecords) {
  WriteLog(3);
  char buf[EVTLOG_RECORD_SIZE];
  struct {
    int n;
    int found;
    const char* record;
  } cases[] = {
      {0, 1, "100 3 01/03/2024 08:00:00 event 3"},
      {2, 1, "100 1 01/01/2024 08:00:00 event 1"},
      {3, 0, ""},
      {-1, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    EXPECT_EQ(EvtLogOps.ReadRecord(c.n, buf, sizeof buf), c.found);
    EXPECT_STREQ(buf, c.record);
  }

  ASSERT_EQ(EvtLogOps.ReadRecord(0, buf, sizeof buf), 1);
  char *code, *level, *date, *time, *text;
  ASSERT_EQ(EvtLogOps.SplitRecord(buf, &code, &level, &date, &time, &text), 1);
  EXPECT_STREQ(code, "100");
  EXPECT_STREQ(level, "3");
  EXPECT_STREQ(date, "01/03/2024");
  EXPECT_STREQ(time, "08:00:00");
  EXPECT_STREQ(text, "event 3");

  for (const char* bad : {"", "1 2 3", " 1 2 3"}) {
    std::string copy = bad;
    EXPECT_EQ(EvtLogOps.SplitRecord(copy.data(), &code, &level, &date, &time, &text), 0) << bad;
    EXPECT_EQ(copy, bad);
  }
  // A small buffer gets a terminated prefix.
  char small[8];
  EXPECT_EQ(EvtLogOps.ReadRecord(0, small, sizeof small), 1);
  EXPECT_STREQ(small, "100 3 0");
}

TEST_F(EvtLogTest, PagesOf30NewestFirst) {
  WriteLog(45);
  struct {
    int page;
    int newest, oldest;  // event numbers of the first and the last row
  } cases[] = {{0, 45, 16}, {1, 15, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.page);
    EvtLogOps.ExportPage(c.page);
    auto rows = RowTexts();
    ASSERT_EQ(rows.size(), size_t(c.newest - c.oldest + 1));
    EXPECT_EQ(rows.front(), "event " + std::to_string(c.newest));
    EXPECT_EQ(rows.back(), "event " + std::to_string(c.oldest));
    EXPECT_EQ(Scratch_Lines(Tempage("events.txt")).size(), rows.size());
  }
  for (int page : {2, 1000000000, -1}) {
    EvtLogOps.ExportPage(page);
    EXPECT_TRUE(RowTexts().empty()) << page;
  }
  // Without a log: the head and an empty table.
  EvtLogOps.Clear();
  EXPECT_FALSE(fs::exists(Path(EVTLOG_FILE)));
  EXPECT_EQ(EvtLogRecordCount, 0);
  EvtLogOps.ExportPage(0);
  EXPECT_TRUE(RowTexts().empty());
  EXPECT_NE(Tempage("iframe_log.htm").find("</table></body></html>\n"), std::string::npos);
}

TEST_F(EvtLogTest, PageExportGoldenWithEscapedTexts) {
  Scratch_WriteFile(Path(EVTLOG_FILE),
                    "0 1 03/09/2024 14:05:07 Monitoring service started\n"
                    "2 0 03/09/2024 14:06:00 User <script>alert('x')</script> logged in from 192.0.2.7\n"
                    "102 2 03/09/2024 14:07:00 Utility power failure & more\n"
                    "-1 3 03/09/2024 14:08:00 Can't run the command.shutdown!\n"
                    "100 9 2024/03/10 01:00:00 Level \"nine\"\n"
                    "not a record\n");
  EvtLog_Init(dir.c_str());
  EvtLogOps.ExportPage(0);
  EXPECT_EQ(Tempage("iframe_log.htm"), Scratch_ReadFile(kData / "evtlog_page.htm"));
}

TEST_F(EvtLogTest, RangeExport) {
  WriteLog(40);  // 1 January .. 9 February 2024
  struct {
    const char* name;
    TimeDate from, to;
    int newest, oldest;  // 0: no rows
  } cases[] = {
      {"inclusive bounds", {1, 5, 24}, {1, 7, 24}, 7, 5},
      {"across a month", {1, 30, 24}, {2, 2, 24}, 33, 30},
      {"all of it", {1, 1, 20}, {12, 31, 30}, 40, 1},
      {"from after to", {2, 1, 24}, {1, 1, 24}, 0, 0},
      {"before the log", {1, 1, 23}, {12, 31, 23}, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EvtLogOps.ExportRange(c.from, c.to);
    auto rows = RowTexts();
    if (c.newest == 0) {
      EXPECT_TRUE(rows.empty());
      continue;
    }
    ASSERT_EQ(rows.size(), size_t(c.newest - c.oldest + 1));
    EXPECT_EQ(rows.front(), "event " + std::to_string(c.newest));
    EXPECT_EQ(rows.back(), "event " + std::to_string(c.oldest));
  }
}

TEST_F(EvtLogTest, PageButtons) {
  struct {
    int records, page;
    std::vector<int> shown;
  } cases[] = {
      {300, 0, {1, 2, 3, 4, 5}}, {300, 5, {4, 5, 6, 7, 8}}, {300, 9, {6, 7, 8, 9, 10}},
      {40, 0, {1, 2}},           {40, 1, {1, 2}},           {0, 0, {1}},
      {301, 10, {7, 8, 9, 10, 11}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.records) + " records, page " + std::to_string(c.page));
    EvtLogRecordCount = c.records;
    char buf[1024];
    int n = EvtLogOps.PageButtons(buf, sizeof buf, c.page);
    std::string want;
    for (size_t i = 0; i < c.shown.size(); ++i)
      want += "<input type=submit value=\" " + std::to_string(c.shown[i]) + " \" name=LOG_BUT" +
              std::to_string(i + 1) + "> ";
    EXPECT_EQ(std::string(buf), want);
    EXPECT_EQ(n, int(want.size()));
  }
  // A buffer too small for all buttons holds whole buttons only.
  EvtLogRecordCount = 300;
  char small[60];
  int n = EvtLogOps.PageButtons(small, sizeof small, 0);
  EXPECT_EQ(std::string(small), "<input type=submit value=\" 1 \" name=LOG_BUT1> ");
  EXPECT_EQ(n, int(strlen(small)));
}

TEST_F(EvtLogTest, CsvExportGolden) {
  Scratch_WriteFile(Path(EVTLOG_FILE),
                    "0 1 03/09/2024 14:05:07 Monitoring service started\n"
                    "2 0 03/09/2024 14:06:00 User a,b \"c\" logged in from 2001:db8::7\n"
                    "102 2 03/09/2024 14:07:00 Utility power failure\n"
                    "-1 3 03/09/2024 14:08:00 Can't run the command.wall!\n"
                    "100 7 2024/03/10 01:00:00 Odd level\n"
                    "broken\n");
  EvtLog_Init(dir.c_str());
  g_now = Scratch_UtcTime(2024, 3, 10, 9, 30, 0);
  EvtLogOps.ExportCsv();
  EXPECT_EQ(Tempage("event_log.csv"), Scratch_ReadFile(kData / "evtlog.csv"));
}

}  // namespace
