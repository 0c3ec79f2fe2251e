// Data log: sampling into minimum/maximum records, the roll-ups at each
// boundary, the running records kept as the last record of their files,
// restarts, a lost link, clock jumps, damaged files, retention and the
// periodic CSV line.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/svc.h"
#include "events/dlog.h"
#include "support/scratch.h"
#include "ups/upsdata.h"

namespace {

namespace fs = std::filesystem;

time_t g_now;
time_t FakeClock() { return g_now; }

std::string StampText(const DLogRecord& r) {
  char out[64];
  snprintf(out, sizeof out, "%02d/%02d/%04d %02d:%02d:%02d", r.month, r.day, r.year + 2000, r.hour, r.minute,
           r.second);
  return out;
}

std::string StampText(time_t t) {
  struct tm tm {};
  gmtime_r(&t, &tm);
  char out[64];
  snprintf(out, sizeof out, "%02d/%02d/%04d %02d:%02d:%02d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900,
           tm.tm_hour, tm.tm_min, tm.tm_sec);
  return out;
}

std::vector<std::string> Stamps(const std::vector<DLogRecord>& records) {
  std::vector<std::string> out;
  for (const DLogRecord& r : records) out.push_back(StampText(r));
  return out;
}

// Channels of the fixture's readings.
constexpr int kClockChannel = 0;     // value 32: the sample's time (see Reading)
constexpr int kNegativeChannel = 1;  // value 33: a negative reading, never folded in
constexpr int kSteadyChannel = 25;   // value 61: 50.0 Hz throughout
constexpr int kUnknownChannel = 57;  // value 95: -1, not reported

class DLogTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    setenv("TZ", "UTC", 1);
    tzset();
    savedClock_ = SvcWallClock;
    SvcWallClock = FakeClock;
    UpsRecord = UpsRecordType{};
    for (int32_t& v : UpsRecord.values) v = -1;
    snprintf(UpsRecord.model, sizeof UpsRecord.model, "%s", "SIMUPS 3000");
    DLogSetting = DLogSettings{};
    DLogSetting.maxStorage = 12;
    swprintf(DLogSetting.exportPath, DLOG_PATH_CHARS + 1, L"%s/", tmp.c_str());
    DLogOps = DLogOpsTable{};
    Init(Scratch_UtcTime(2025, 6, 3, 10, 0, 0));  // the file paths are under this test's directory
  }
  void TearDown() override {
    SvcWallClock = savedClock_;
    ScratchTest::TearDown();
  }

  // Starts the data log at t.
  void Init(time_t t) {
    t0_ = t;
    g_now = t;
    Svc_RefreshLocalTime();
    DLog_Init(dir.c_str());
  }
  // The reading of the clock channel at t: seconds since the start, offset
  // so that backward jumps stay positive. A record's minimum and maximum of
  // this channel name its first and last sample.
  int32_t Reading(time_t t) const { return static_cast<int32_t>(t - t0_ + 100000); }
  // One sample at t, with the readings of t, as the loop takes it.
  void SetReadings(time_t t) {
    UpsRecord.values[DLogChannels[kClockChannel]] = Reading(t);
    UpsRecord.values[DLogChannels[kNegativeChannel]] = -5;
    UpsRecord.values[DLogChannels[kSteadyChannel]] = 500;
  }
  void SampleAt(time_t t) {
    SetReadings(t);
    g_now = t;
    Svc_RefreshLocalTime();
    DLogOps.Sample();
  }
  // Samples from..to (inclusive) every step seconds.
  void Run(time_t from, time_t to, int step = 1) {
    for (time_t t = from; t <= to; t += step) SampleAt(t);
  }

  std::string FilePath(int resolution, int year, int month) const {
    char path[1024];
    EXPECT_EQ(DLog_FilePath(path, sizeof path, resolution, year, month), 1);
    return path;
  }
  // The records of a file, which must begin with the magic and hold whole records.
  std::vector<DLogRecord> Records(int resolution, int year, int month) const {
    std::string bytes = Scratch_ReadFile(FilePath(resolution, year, month));
    std::vector<DLogRecord> out;
    if (bytes.empty()) return out;
    EXPECT_GE(bytes.size(), 4u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\xDC\x07\x00\x00", 4));  // 2012, little-endian
    EXPECT_EQ((bytes.size() - 4) % DLOG_RECORD_SIZE, 0u) << "a partial record";
    for (size_t at = 4; at + DLOG_RECORD_SIZE <= bytes.size(); at += DLOG_RECORD_SIZE) {
      DLogRecord r;
      DLog_DecodeRecord(reinterpret_cast<const uint8_t*>(bytes.data() + at), &r);
      out.push_back(r);
    }
    return out;
  }
  // Writes a file of the given records (after the magic).
  void WriteFile(int resolution, int year, int month, const std::vector<DLogRecord>& records) const {
    fs::create_directories(Path(std::to_string(year)));
    std::string bytes("\xDC\x07\x00\x00", 4);
    for (const DLogRecord& r : records) {
      uint8_t b[DLOG_RECORD_SIZE];
      DLog_EncodeRecord(r, b);
      bytes.append(reinterpret_cast<const char*>(b), sizeof b);
    }
    Scratch_WriteFile(FilePath(resolution, year, month), bytes);
  }
  // A record stamped t whose clock channel reads lo..hi.
  static DLogRecord MakeRecord(time_t t, int32_t lo, int32_t hi) {
    struct tm tm {};
    gmtime_r(&t, &tm);
    DLogRecord r{};
    r.month = static_cast<uint8_t>(tm.tm_mon + 1);
    r.day = static_cast<uint8_t>(tm.tm_mday);
    r.year = static_cast<uint8_t>(tm.tm_year + 1900 - 2000);
    r.hour = static_cast<uint8_t>(tm.tm_hour);
    r.minute = static_cast<uint8_t>(tm.tm_min);
    r.second = static_cast<uint8_t>(tm.tm_sec);
    for (int c = 0; c < DLOG_CHANNELS; ++c) r.min[c] = DLOG_NO_MIN, r.max[c] = DLOG_NO_MAX;
    r.min[kClockChannel] = lo;
    r.max[kClockChannel] = hi;
    return r;
  }
  // The record's stamp and the first and last sample folded into it.
  struct Span {
    std::string stamp;
    time_t first, last;
  };
  void ExpectSpans(const std::vector<DLogRecord>& got, const std::vector<Span>& want) const {
    ASSERT_EQ(Stamps(got).size(), want.size()) << ::testing::PrintToString(Stamps(got));
    for (size_t i = 0; i < want.size(); ++i) {
      SCOPED_TRACE(want[i].stamp);
      EXPECT_EQ(StampText(got[i]), want[i].stamp);
      EXPECT_EQ(got[i].min[kClockChannel], Reading(want[i].first)) << StampText(got[i].min[kClockChannel] - 100000 + t0_);
      EXPECT_EQ(got[i].max[kClockChannel], Reading(want[i].last)) << StampText(got[i].max[kClockChannel] - 100000 + t0_);
    }
  }

  time_t t0_ = 0;

 private:
  time_t (*savedClock_)();
};

TEST(DLogRecordLayout, FieldsAtTheirOffsetsLittleEndian) {
  DLogRecord r{};
  r.month = 12, r.day = 31, r.year = 25, r.hour = 23, r.minute = 59, r.second = 58;
  for (int c = 0; c < DLOG_CHANNELS; ++c) r.min[c] = 0x01020300 + c, r.max[c] = -2 - c;
  uint8_t b[DLOG_RECORD_SIZE];
  memset(b, 0xEE, sizeof b);
  DLog_EncodeRecord(r, b);
  const uint8_t head[8] = {12, 31, 25, 23, 59, 58, 0, 0};
  EXPECT_EQ(memcmp(b, head, 8), 0);
  const uint8_t min0[4] = {0x00, 0x03, 0x02, 0x01};
  EXPECT_EQ(memcmp(b + 8, min0, 4), 0);
  const uint8_t min57[4] = {0x39, 0x03, 0x02, 0x01};
  EXPECT_EQ(memcmp(b + 8 + 57 * 4, min57, 4), 0);
  const uint8_t max0[4] = {0xFE, 0xFF, 0xFF, 0xFF};  // -2
  EXPECT_EQ(memcmp(b + 240, max0, 4), 0);
  const uint8_t max57[4] = {0xC5, 0xFF, 0xFF, 0xFF};  // -59
  EXPECT_EQ(memcmp(b + 240 + 57 * 4, max57, 4), 0);
  DLogRecord back;
  DLog_DecodeRecord(b, &back);
  EXPECT_EQ(memcmp(&back, &r, sizeof r), 0);
}

TEST(DLogRecordLayout, ChannelTableAndPaths) {
  const std::vector<int> want = {32, 33, 34, 35, 37, 38, 39, 40, 41, 42, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54,
                                 55, 56, 57, 58, 59, 61, 63, 64, 65, 66, 67, 68, 69, 70, 71, 72, 73, 74, 75, 76,
                                 77, 78, 79, 80, 81, 83, 84, 85, 86, 87, 88, 89, 90, 91, 92, 93, 94, 95};
  EXPECT_EQ(std::vector<int>(DLogChannels, DLogChannels + DLOG_CHANNELS), want);

  DLog_Init("/inst");
  char path[64];
  const struct {
    int resolution, year, month;
    const char* want;
  } cases[] = {
      {DLOG_1MM, 2025, 1, "/inst/2025/1_1MM.DAT"},    {DLOG_10MM, 2025, 12, "/inst/2025/12_10MM.DAT"},
      {DLOG_1HH, 2026, 7, "/inst/2026/7_1HH.DAT"},    {DLOG_12HH, 2031, 10, "/inst/2031/10_12HH.DAT"},
      {4, 2025, 1, ""},  {-1, 2025, 1, ""},  {DLOG_1MM, 2025, 0, ""},  {DLOG_1MM, 2025, 13, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(DLog_FilePath(path, sizeof path, c.resolution, c.year, c.month), c.want[0] ? 1 : 0);
    EXPECT_STREQ(path, c.want);
  }
  EXPECT_EQ(DLog_FilePath(path, 12, DLOG_1MM, 2025, 1), 0);  // does not fit
  EXPECT_STREQ(path, "");
  const int sel[][2] = {{0, DLOG_1MM}, {1, DLOG_1HH}, {2, DLOG_12HH}, {3, DLOG_10MM}, {4, -1}, {-1, -1}, {255, -1}};
  for (const auto& s : sel) EXPECT_EQ(DLog_SelectorResolution(s[0]), s[1]) << s[0];
}

TEST_F(DLogTest, MinuteAndTenMinuteRecords) {
  const time_t start = Scratch_UtcTime(2025, 6, 3, 10, 5, 30);
  Init(start);
  auto t = [](int minute, int second) { return Scratch_UtcTime(2025, 6, 3, 10, minute, second); };

  // Within the ten minutes 10:10-10:19 the running record is rewritten in
  // place as the file's last record.
  Run(start + 1, t(19, 0));
  ExpectSpans(Records(DLOG_10MM, 2025, 6), {{"06/03/2025 10:10:00", t(5, 31), t(10, 0)},
                                            {"06/03/2025 10:19:00", t(10, 1), t(19, 0)}});
  // 10:19:59 -> 10:20:00: the record of minute 19 (stamped at its last
  // sample) is appended; the ten minutes 10:10-10:19 replace their running copy.
  Run(t(19, 1), t(20, 0));
  std::vector<DLogRecord> minutes = Records(DLOG_1MM, 2025, 6);
  ASSERT_EQ(minutes.size(), 15u);
  EXPECT_EQ(StampText(minutes.back()), "06/03/2025 10:20:00");
  ExpectSpans({minutes.front(), minutes.back()},
              {{"06/03/2025 10:06:00", t(5, 31), t(6, 0)}, {"06/03/2025 10:20:00", t(19, 1), t(20, 0)}});
  ExpectSpans(Records(DLOG_10MM, 2025, 6), {{"06/03/2025 10:10:00", t(5, 31), t(10, 0)},
                                            {"06/03/2025 10:20:00", t(10, 1), t(20, 0)}});
  // The next ten minutes get their own record from their first minute on.
  Run(t(20, 1), t(21, 0));
  ExpectSpans(Records(DLOG_10MM, 2025, 6), {{"06/03/2025 10:10:00", t(5, 31), t(10, 0)},
                                            {"06/03/2025 10:20:00", t(10, 1), t(20, 0)},
                                            {"06/03/2025 10:21:00", t(20, 1), t(21, 0)}});
  // The hour so far, rewritten at each ten-minute boundary.
  ExpectSpans(Records(DLOG_1HH, 2025, 6), {{"06/03/2025 10:20:00", t(5, 31), t(20, 0)}});
  EXPECT_TRUE(Records(DLOG_12HH, 2025, 6).empty());

  // Negative and unknown readings are not folded in; a steady one is.
  for (const DLogRecord& r : minutes) {
    EXPECT_EQ(r.min[kNegativeChannel], DLOG_NO_MIN);
    EXPECT_EQ(r.max[kNegativeChannel], DLOG_NO_MAX);
    EXPECT_EQ(r.min[kUnknownChannel], DLOG_NO_MIN);
    EXPECT_EQ(r.max[kUnknownChannel], DLOG_NO_MAX);
    EXPECT_EQ(r.min[kSteadyChannel], 500);
    EXPECT_EQ(r.max[kSteadyChannel], 500);
  }
  struct stat st;
  ASSERT_EQ(stat(Path("2025").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(DLogTest, HourAndHalfDayRecords) {
  auto t = [](int day, int hour, int minute, int second) { return Scratch_UtcTime(2025, 6, day, hour, minute, second); };
  Init(t(3, 10, 5, 0));
  Run(t(3, 10, 5, 30), t(3, 14, 0, 0), 30);
  // The half day so far is rewritten every hour.
  ExpectSpans(Records(DLOG_12HH, 2025, 6), {{"06/03/2025 12:00:00", t(3, 10, 5, 30), t(3, 12, 0, 0)},
                                            {"06/03/2025 14:00:00", t(3, 12, 0, 30), t(3, 14, 0, 0)}});
  Run(t(3, 14, 0, 30), t(4, 0, 30, 0), 30);

  std::vector<DLogRecord> hours = Records(DLOG_1HH, 2025, 6);
  ASSERT_EQ(hours.size(), 15u);  // 10:00 .. 23:00 finished, 00:00 running
  std::vector<Span> want = {{"06/03/2025 11:00:00", t(3, 10, 5, 30), t(3, 11, 0, 0)}};
  for (int h = 11; h <= 23; ++h)
    want.push_back({StampText(t(3, h, 0, 0) + 3600), t(3, h, 0, 30), t(3, h, 0, 0) + 3600});
  want.push_back({"06/04/2025 00:30:00", t(4, 0, 0, 30), t(4, 0, 30, 0)});
  ExpectSpans(hours, want);
  ExpectSpans(Records(DLOG_12HH, 2025, 6), {{"06/03/2025 12:00:00", t(3, 10, 5, 30), t(3, 12, 0, 0)},
                                            {"06/04/2025 00:00:00", t(3, 12, 0, 30), t(4, 0, 0, 0)}});
  EXPECT_EQ(Records(DLOG_1MM, 2025, 6).size(), 14u * 60 - 5 + 30);
  EXPECT_EQ(Records(DLOG_10MM, 2025, 6).size(), 14u * 6 + 3);  // 10:00 .. 00:20 finished
}

TEST_F(DLogTest, MonthAndYearBoundary) {
  Init(Scratch_UtcTime(2024, 12, 31, 23, 45, 0));
  fs::remove_all(Path("2025"));
  Run(Scratch_UtcTime(2024, 12, 31, 23, 45, 30), Scratch_UtcTime(2025, 1, 1, 0, 15, 0), 30);

  // The year directory and the January files are created, with the magic.
  EXPECT_TRUE(fs::is_directory(Path("2025")));
  std::vector<DLogRecord> dec = Records(DLOG_1MM, 2024, 12), jan = Records(DLOG_1MM, 2025, 1);
  ASSERT_EQ(dec.size(), 14u);
  ASSERT_EQ(jan.size(), 16u);
  EXPECT_EQ(StampText(dec.back()), "12/31/2024 23:59:00");
  ExpectSpans({jan.front()}, {{"01/01/2025 00:00:00", Scratch_UtcTime(2024, 12, 31, 23, 59, 30), Scratch_UtcTime(2025, 1, 1, 0, 0, 0)}});
  // A bucket that ends at midnight carries the new month's stamp and opens
  // the new month's file; December keeps its running copy as last written.
  ExpectSpans(Records(DLOG_10MM, 2024, 12),
              {{"12/31/2024 23:50:00", Scratch_UtcTime(2024, 12, 31, 23, 45, 30), Scratch_UtcTime(2024, 12, 31, 23, 50, 0)},
               {"12/31/2024 23:59:00", Scratch_UtcTime(2024, 12, 31, 23, 50, 30), Scratch_UtcTime(2024, 12, 31, 23, 59, 0)}});
  ExpectSpans(Records(DLOG_10MM, 2025, 1),
              {{"01/01/2025 00:00:00", Scratch_UtcTime(2024, 12, 31, 23, 50, 30), Scratch_UtcTime(2025, 1, 1, 0, 0, 0)},
               {"01/01/2025 00:10:00", Scratch_UtcTime(2025, 1, 1, 0, 0, 30), Scratch_UtcTime(2025, 1, 1, 0, 10, 0)},
               {"01/01/2025 00:15:00", Scratch_UtcTime(2025, 1, 1, 0, 10, 30), Scratch_UtcTime(2025, 1, 1, 0, 15, 0)}});
  ExpectSpans(Records(DLOG_1HH, 2025, 1),
              {{"01/01/2025 00:00:00", Scratch_UtcTime(2024, 12, 31, 23, 45, 30), Scratch_UtcTime(2025, 1, 1, 0, 0, 0)},
               {"01/01/2025 00:10:00", Scratch_UtcTime(2025, 1, 1, 0, 0, 30), Scratch_UtcTime(2025, 1, 1, 0, 10, 0)}});
  ExpectSpans(Records(DLOG_12HH, 2025, 1),
              {{"01/01/2025 00:00:00", Scratch_UtcTime(2024, 12, 31, 23, 45, 30), Scratch_UtcTime(2025, 1, 1, 0, 0, 0)}});
}

// After a restart the first record of each coarser resolution is appended:
// the last record of the file belongs to the previous run, and stays, also
// when the first writes of the new run do not happen (link not up yet,
// nothing reported yet).
TEST_F(DLogTest, RestartKeepsThePreviousRunsLastRecord) {
  const struct {
    const char* name;
    void (*firstMinute)();
  } cases[] = {
      {"link up", [] {}},
      {"link lost", [] { UpsRecord.shownStatus |= UpsBit(UPS_ST_COMMLOST); }},
      {"nothing reported", [] { for (int32_t& v : UpsRecord.values) v = -1; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Path("2025"));
    UpsRecord.shownStatus = 0;
    const DLogRecord old1 = MakeRecord(Scratch_UtcTime(2025, 6, 3, 9, 50, 0), 7, 8), old2 = MakeRecord(Scratch_UtcTime(2025, 6, 3, 9, 54, 0), 9, 10);
    for (int r : {DLOG_10MM, DLOG_1HH, DLOG_12HH}) WriteFile(r, 2025, 6, {old1, old2});

    Init(Scratch_UtcTime(2025, 6, 3, 10, 12, 30));
    // The first minute change, then the readings come back.
    g_now = Scratch_UtcTime(2025, 6, 3, 10, 13, 0);
    Svc_RefreshLocalTime();
    SetReadings(g_now);
    c.firstMinute();
    DLogOps.Sample();
    UpsRecord.shownStatus = 0;
    Run(Scratch_UtcTime(2025, 6, 3, 10, 13, 1), Scratch_UtcTime(2025, 6, 3, 12, 15, 0));

    std::vector<DLogRecord> tens = Records(DLOG_10MM, 2025, 6);
    ASSERT_GE(tens.size(), 3u);
    EXPECT_EQ(StampText(tens[0]), "06/03/2025 09:50:00");
    EXPECT_EQ(StampText(tens[1]), "06/03/2025 09:54:00");
    EXPECT_EQ(StampText(tens[2]), "06/03/2025 10:20:00");
    EXPECT_EQ(StampText(tens.back()), "06/03/2025 12:15:00");
    EXPECT_EQ(tens.size(), 2u + 12 + 1);  // 10:10 .. 12:00 finished, 12:10 running
    for (int r : {DLOG_1HH, DLOG_12HH}) {
      std::vector<DLogRecord> recs = Records(r, 2025, 6);
      ASSERT_GE(recs.size(), 3u);
      EXPECT_EQ(StampText(recs[1]), "06/03/2025 09:54:00");
      EXPECT_EQ(StampText(recs[2]), r == DLOG_1HH ? "06/03/2025 11:00:00" : "06/03/2025 12:00:00");
    }
  }
}

// A lost link records no values: nothing is written while it lasts, the
// record of the ten minutes it began in keeps what was written, and the
// readings the record still holds (the link given up without a reset) are
// not folded in, so the ten minutes in which it ends hold only the samples
// taken once the link was back.
TEST_F(DLogTest, LostLinkRecordsNoValues) {
  auto t = [](int minute, int second) { return Scratch_UtcTime(2025, 6, 3, 10, minute, second); };
  Init(t(10, 0));
  Run(t(10, 1), t(13, 0));
  const size_t minutesBefore = Records(DLOG_1MM, 2025, 6).size();
  UpsRecord.shownStatus |= UpsBit(UPS_ST_COMMLOST);
  Run(t(13, 1), t(31, 30));
  EXPECT_EQ(Records(DLOG_1MM, 2025, 6).size(), minutesBefore);
  UpsRecord.shownStatus = 0;
  Run(t(31, 31), t(32, 0));
  ExpectSpans(Records(DLOG_10MM, 2025, 6),
              {{"06/03/2025 10:13:00", t(10, 1), t(13, 0)}, {"06/03/2025 10:32:00", t(31, 31), t(32, 0)}});
  const std::vector<DLogRecord> minutes = Records(DLOG_1MM, 2025, 6);
  ASSERT_EQ(minutes.size(), minutesBefore + 1);
  ExpectSpans({minutes.back()}, {{"06/03/2025 10:32:00", t(31, 31), t(32, 0)}});
  EXPECT_EQ(minutes.back().max[kSteadyChannel], 500);
  // The hour's running record was due at 10:20 and 10:30, while the link
  // was down: its first write comes at 10:40.
  ExpectSpans(Records(DLOG_1HH, 2025, 6), {});
  Run(t(32, 1), t(40, 0));
  ExpectSpans(Records(DLOG_1HH, 2025, 6), {{"06/03/2025 10:40:00", t(10, 1), t(40, 0)}});

  // A minute of which the link was lost in part: only the live seconds count.
  UpsRecord.shownStatus |= UpsBit(UPS_ST_COMMLOST);
  Run(t(40, 1), t(40, 40));
  UpsRecord.shownStatus = 0;
  Run(t(40, 41), t(41, 0));
  ExpectSpans({Records(DLOG_1MM, 2025, 6).back()}, {{"06/03/2025 10:41:00", t(40, 41), t(41, 0)}});
}

TEST_F(DLogTest, StorageZeroTurnsTheLogOff) {
  DLogSetting.maxStorage = 0;
  Init(Scratch_UtcTime(2025, 6, 3, 10, 0, 0));
  Run(Scratch_UtcTime(2025, 6, 3, 10, 0, 1), Scratch_UtcTime(2025, 6, 3, 10, 20, 0), 10);
  EXPECT_FALSE(fs::exists(Path("2025")));
}

TEST_F(DLogTest, ClockJumps) {
  auto t = [](int day, int hour, int minute, int second) { return Scratch_UtcTime(2025, 6, day, hour, minute, second); };
  struct Case {
    const char* name;
    time_t start, jumpFrom, jumpTo, end;
    int resolution;
    std::vector<std::string> stamps;
    size_t minutes;  // records in the minute file
  } cases[] = {
      // The hour is left although the minute reads the same.
      {"forward one hour", t(3, 10, 5, 0), t(3, 10, 25, 30), t(3, 11, 25, 30), t(3, 11, 31, 0), DLOG_1HH,
       {"06/03/2025 11:25:30", "06/03/2025 11:30:00"}, 27},
      {"forward one day", t(3, 10, 0, 0), t(3, 10, 5, 30), t(4, 10, 5, 30), t(4, 10, 11, 0), DLOG_12HH,
       {"06/04/2025 10:05:30"}, 12},
      // Nothing is overwritten: the finished hour replaces its own running
      // copy and the earlier hour begins a record of its own.
      {"back one hour", t(3, 10, 5, 0), t(3, 10, 25, 30), t(3, 9, 25, 30), t(3, 9, 31, 0), DLOG_1HH,
       {"06/03/2025 09:25:30", "06/03/2025 09:30:00"}, 27},
      {"back within the minute", t(3, 10, 5, 0), t(3, 10, 6, 40), t(3, 10, 6, 10), t(3, 10, 7, 30), DLOG_1MM,
       {"06/03/2025 10:06:00", "06/03/2025 10:07:00"}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Path("2025"));
    Init(c.start);
    Run(c.start + 10, c.jumpFrom, 10);
    Run(c.jumpTo, c.end, 10);
    auto got = Stamps(Records(c.resolution, 2025, 6));
    if (c.resolution == DLOG_1HH) {
      // The hour left by the jump is finished at the jump's sample, over
      // its own running copy, and holds every sample up to it.
      std::vector<DLogRecord> hours = Records(DLOG_1HH, 2025, 6);
      ASSERT_EQ(hours.size(), 2u);
      EXPECT_EQ(hours[0].min[kClockChannel], Reading(std::min(c.start + 10, c.jumpTo)));
      EXPECT_EQ(hours[0].max[kClockChannel], Reading(std::max(c.jumpFrom, c.jumpTo)));
    }
    EXPECT_EQ(got, c.stamps);
    EXPECT_EQ(Records(DLOG_1MM, 2025, 6).size(), c.minutes);
  }
}

// Back into the previous month: that month's file gets new records after its
// own, and the current month's running records stay as they were.
TEST_F(DLogTest, ClockBackIntoThePreviousMonth) {
  const DLogRecord old1 = MakeRecord(Scratch_UtcTime(2025, 5, 31, 23, 50, 0), 1, 2), old2 = MakeRecord(Scratch_UtcTime(2025, 5, 31, 23, 59, 0), 3, 4);
  WriteFile(DLOG_10MM, 2025, 5, {old1, old2});
  Init(Scratch_UtcTime(2025, 6, 1, 0, 5, 0));
  Run(Scratch_UtcTime(2025, 6, 1, 0, 5, 1), Scratch_UtcTime(2025, 6, 1, 0, 12, 0));
  const std::string june = Scratch_ReadFile(FilePath(DLOG_10MM, 2025, 6));
  Run(Scratch_UtcTime(2025, 5, 31, 23, 55, 0), Scratch_UtcTime(2025, 5, 31, 23, 57, 0));
  EXPECT_EQ(Scratch_ReadFile(FilePath(DLOG_10MM, 2025, 6)), june);
  std::vector<DLogRecord> may = Records(DLOG_10MM, 2025, 5);
  EXPECT_EQ(Stamps(may), (std::vector<std::string>{"05/31/2025 23:50:00", "05/31/2025 23:59:00",
                                                   "05/31/2025 23:55:00", "05/31/2025 23:57:00"}));
  EXPECT_EQ(may[1].max[kClockChannel], 4);
}

TEST_F(DLogTest, FilesThatAreNotDataLogs) {
  const std::string magic("\xDC\x07\x00\x00", 4);
  std::string oneRecord(DLOG_RECORD_SIZE, '\x11');
  oneRecord[0] = 6, oneRecord[1] = 3, oneRecord[2] = 25;
  const struct {
    const char* name;
    std::string before;
    size_t recordsAfter;  // -1: the file is left as it was
  } cases[] = {
      {"another magic", std::string("\xDD\x07\x00\x00", 4) + oneRecord, size_t(-1)},
      {"shorter than the magic", std::string("\xDC\x07", 2), size_t(-1)},
      {"empty", "", 1},
      {"magic alone", magic, 1},
      {"a partial record at the end", magic + oneRecord + std::string(100, '\x22'), 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Path("2025"));
    fs::create_directories(Path("2025"));
    const std::string path = FilePath(DLOG_1MM, 2025, 6);
    Scratch_WriteFile(path, c.before);
    Init(Scratch_UtcTime(2025, 6, 3, 10, 0, 30));
    SampleAt(Scratch_UtcTime(2025, 6, 3, 10, 1, 0));
    if (c.recordsAfter == size_t(-1)) {
      EXPECT_EQ(Scratch_ReadFile(path), c.before);
    } else {
      std::vector<DLogRecord> got = Records(DLOG_1MM, 2025, 6);
      ASSERT_EQ(got.size(), c.recordsAfter);
      EXPECT_EQ(StampText(got.back()), "06/03/2025 10:01:00");
      if (got.size() == 2) {
        EXPECT_EQ(Scratch_ReadFile(path).substr(4, DLOG_RECORD_SIZE), oneRecord);
      }
    }
  }

  // A year path that is not a directory, and a month path that is one.
  fs::remove_all(Path("2025"));
  Scratch_WriteFile(Path("2025"), "not a directory");
  Init(Scratch_UtcTime(2025, 6, 3, 10, 0, 30));
  SampleAt(Scratch_UtcTime(2025, 6, 3, 10, 1, 0));
  EXPECT_EQ(Scratch_ReadFile(Path("2025")), "not a directory");
  fs::remove(Path("2025"));
  fs::create_directories(FilePath(DLOG_1MM, 2025, 6));
  SampleAt(Scratch_UtcTime(2025, 6, 3, 10, 2, 0));
  EXPECT_TRUE(fs::is_directory(FilePath(DLOG_1MM, 2025, 6)));
  EXPECT_EQ(Records(DLOG_10MM, 2025, 6).size(), 1u);  // the other files go on
}

TEST_F(DLogTest, RetentionKeepsTheSetNumberOfMonths) {
  struct Case {
    int storage, year, month;
    std::set<std::pair<int, int>> deleted;  // (year, month)
  };
  auto months = [](int year, int from, int to) {
    std::set<std::pair<int, int>> out;
    for (int m = from; m <= to; ++m) out.insert({year, m});
    return out;
  };
  auto join = [](std::set<std::pair<int, int>> a, const std::set<std::pair<int, int>>& b) {
    a.insert(b.begin(), b.end());
    return a;
  };
  const Case cases[] = {
      {12, 2025, 3, months(2024, 1, 3)},                             // April .. December of last year stay
      {2, 2025, 3, join(months(2025, 1, 1), months(2024, 1, 12))},   // January and all of last year go
      {0, 2025, 3, join(months(2025, 1, 3), months(2024, 1, 12))},   // this year and last year
      {3, 2025, 3, months(2024, 1, 12)},
      {14, 2025, 3, months(2024, 1, 1)},
      {15, 2025, 3, months(2023, 1, 12)},                            // a whole year two years back
      {12, 2025, 12, months(2024, 1, 12)},
      {24, 2025, 12, months(2023, 1, 12)},
      {1, 2025, 1, months(2024, 1, 12)},
      {65535, 2025, 3, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.storage) + " months in " + std::to_string(c.month) + "/" + std::to_string(c.year));
    fs::remove_all(Path("2023"));
    fs::remove_all(Path("2024"));
    fs::remove_all(Path("2025"));
    for (int y = 2023; y <= 2025; ++y)
      for (int m = 1; m <= 12; ++m)
        for (int r = 0; r < DLOG_RESOLUTIONS; ++r) WriteFile(r, y, m, {});
    Scratch_WriteFile(Path("2024/notes.txt"), "kept");
    DLogSetting.maxStorage = static_cast<uint16_t>(c.storage);
    Init(Scratch_UtcTime(c.year, c.month, 15, 12, 0, 0));
    DLogOps.ApplyRetention();
    for (int y = 2023; y <= 2025; ++y)
      for (int m = 1; m <= 12; ++m)
        for (int r = 0; r < DLOG_RESOLUTIONS; ++r)
          EXPECT_EQ(fs::exists(FilePath(r, y, m)), !c.deleted.count({y, m})) << m << "/" << y << " resolution " << r;
    EXPECT_TRUE(fs::exists(Path("2024/notes.txt")));
  }
}

TEST_F(DLogTest, ExportCountdown) {
  const struct {
    const char* name;
    uint8_t period;
    bool linkLost, nothingReported;
    int ticks;
    int lines;
  } cases[] = {
      {"every minute", 1, false, false, 3, 3},
      {"every third minute", 3, false, false, 7, 2},
      {"off", 0, false, false, 10, 0},
      {"127 minutes", 127, false, false, 127, 1},
      {"128 minutes and more never count", 128, false, false, 300, 0},
      {"200 minutes", 200, false, false, 300, 0},
      {"link lost", 1, true, false, 5, 0},
      {"nothing reported yet", 1, false, true, 5, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(TmpPath("UPS.csv").c_str());
    DLogSetting.exportPeriod = c.period;
    UpsRecord.shownStatus = c.linkLost ? UpsBit(UPS_ST_COMMLOST) : 0;
    UpsRecord.values[VAL_OUTFREQ] = c.nothingReported ? -1 : 500;
    Init(Scratch_UtcTime(2025, 6, 3, 10, 0, 0));
    EXPECT_EQ(DLogExportCountdown, c.period);
    for (int i = 0; i < c.ticks; ++i) DLogOps.ExportTick();
    std::string text = Scratch_ReadFile(TmpPath("UPS.csv"));
    int lines = 0;
    for (char ch : text) lines += ch == '\n';
    EXPECT_EQ(c.lines == 0 ? 0 : lines - 2, c.lines);
    if (c.lines == 0) {
      EXPECT_FALSE(fs::exists(TmpPath("UPS.csv")));
    }
    if (c.linkLost || c.nothingReported) {
      // The countdown went on: the line after the link returns comes on time.
      UpsRecord.shownStatus = 0;
      UpsRecord.values[VAL_OUTFREQ] = 500;
      DLogOps.ExportTick();
      EXPECT_TRUE(fs::exists(TmpPath("UPS.csv")));
    }
  }
  UpsRecord.shownStatus = 0;
  DLogSetting.exportPeriod = 5;
  Init(Scratch_UtcTime(2025, 6, 3, 10, 0, 0));
  DLogExportCountdown = 0;  // set so by the history form: stopped
  DLogOps.ExportTick();
  EXPECT_EQ(DLogExportCountdown, 0);
}

TEST_F(DLogTest, CsvLine) {
  const struct {
    int index;
    int32_t value;
  } readings[] = {
      {VAL_BATTVOLT, 816},  {VAL_BATTAMP, -15},   {VAL_BATTLEVEL, 100}, {VAL_TEMP, 27},     {VAL_OUTFREQ, 500},
      {VAL_OUTVOLT1, 2300}, {VAL_OUTVOLT3, -5},   {VAL_OUTAMP1, 30},    {VAL_OUTPOWER1, 675}, {VAL_OUTLOAD1, 25},
      {VAL_INFREQ1, 501},   {VAL_INVOLT1, 2301},  {VAL_INVOLT12, 3985}, {VAL_INAMP1, 31},   {VAL_INPOWER1, 690},
      {VAL_BYFREQ, 499},    {VAL_BYVOLT1, 2302},  {VAL_BYAMP3, 0},      {VAL_BYPOWER3, 7},
  };
  for (const auto& r : readings) UpsRecord.values[r.index] = r.value;
  DLogSetting.exportPeriod = 1;
  Init(Scratch_UtcTime(2025, 6, 3, 10, 0, 0));
  g_now = Scratch_UtcTime(2025, 6, 3, 10, 1, 0);
  Svc_RefreshLocalTime();
  DLogOps.ExportTick();
  UpsRecord.values[VAL_TEMP] = -1;  // unknown in both scales
  UpsRecord.values[VAL_BATTAMP] = 9;
  g_now = Scratch_UtcTime(2025, 12, 24, 9, 2, 3);
  Svc_RefreshLocalTime();
  DLogOps.ExportTick();
  EXPECT_EQ(Scratch_ReadFile(TmpPath("UPS.csv")),
            "Model: SIMUPS 3000\n"
            "Date (MM/DD/YYYY), Time(hh:mm:ss), Batt Volt(V), Batt Current(A), Batt Level(%), UPS Temp(C), "
            "UPS Temp(F), Out Freq(Hz), Out Volt1(V), Out Volt2(V), Out Volt3(V), Out Amp1(A), Out Amp2(A), "
            "Out Amp3(A), Out Pwr1(W), Out Pwr2(W), Out Pwr3(W), Out Load1(%), Out Load2(%), Out Load3(%), "
            "In Freq1(Hz), In Freq2(Hz), In Freq3(Hz), In Volt1(V), In Volt2(V), In Volt3(V), In Volt12(V), "
            "In Volt23(V), In Volt31(V), In Amp1(A), In Amp2(A), In Amp3(A), In Pwr1(W), In Pwr2(W), In Pwr3(W), "
            "By Freq(Hz), By Volt1(V), By Volt2(V), By Volt3(V), By Amp1(A), By Amp2(A), By Amp3(A), By Pwr1(W), "
            "By Pwr2(W), By Pwr3(W)\n"
            "06/03/2025, 10:01:00, 81.6,-1.5,100,27,80,50.0,230.0,,-0.5,3.0,,,675,,,25,,,50.1,,,230.1,,,398.5,,,"
            "3.1,,,690,,,49.9,230.2,,,,,0.0,,,7,\n"
            "12/24/2025, 09:02:03, 81.6,0.9,100,,,50.0,230.0,,-0.5,3.0,,,675,,,25,,,50.1,,,230.1,,,398.5,,,"
            "3.1,,,690,,,49.9,230.2,,,,,0.0,,,7,\n");
}

TEST_F(DLogTest, CsvLineFileIsOpenedSafely) {
  setlocale(LC_CTYPE, "C.UTF-8");
  DLogSetting.exportPeriod = 1;
  UpsRecord.values[VAL_BATTVOLT] = 816;

  // A link planted at the name is not followed.
  Scratch_WriteFile(TmpPath("target"), "precious");
  ASSERT_EQ(symlink(TmpPath("target").c_str(), TmpPath("UPS.csv").c_str()), 0);
  Init(Scratch_UtcTime(2025, 6, 3, 10, 0, 0));
  DLogOps.ExportTick();
  EXPECT_EQ(Scratch_ReadFile(TmpPath("target")), "precious");
  EXPECT_TRUE(fs::is_symlink(TmpPath("UPS.csv")));
  unlink(TmpPath("UPS.csv").c_str());

  // A FIFO at the name does not hold the loop.
  ASSERT_EQ(mkfifo(TmpPath("UPS.csv").c_str(), 0600), 0);
  DLogOps.ExportTick();
  unlink(TmpPath("UPS.csv").c_str());

  // A directory that does not exist: nothing, and no directory is made.
  swprintf(DLogSetting.exportPath, DLOG_PATH_CHARS + 1, L"%s/missing/", tmp.c_str());
  DLogOps.ExportTick();
  EXPECT_FALSE(fs::exists(TmpPath("missing")));

  // A path with characters beyond ASCII, in the locale's encoding.
  fs::create_directories(TmpPath("dane-ł中"));
  swprintf(DLogSetting.exportPath, DLOG_PATH_CHARS + 1, L"%s/dane-\u0142\u4e2d/", tmp.c_str());
  DLogOps.ExportTick();
  EXPECT_NE(Scratch_ReadFile(TmpPath("dane-ł中/UPS.csv")).find("81.6,"), std::string::npos);

  // The longest path of 256 wide characters, each three bytes long.
  for (int i = 0; i < DLOG_PATH_CHARS; ++i) DLogSetting.exportPath[i] = L'\u4e2d';
  DLogSetting.exportPath[DLOG_PATH_CHARS] = 0;
  DLogOps.ExportTick();
  // A character the locale cannot write.
  setlocale(LC_CTYPE, "C");
  swprintf(DLogSetting.exportPath, DLOG_PATH_CHARS + 1, L"%s/\u4e2d/", tmp.c_str());
  DLogOps.ExportTick();
  EXPECT_EQ(DLogExportCountdown, 1);
}

}  // namespace
