// Data log history exports: the range walk over the monthly files, the
// resolution selector, the HTML and CSV outputs against golden files,
// damaged files, and the temporary and output files.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
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

const fs::path kData = fs::path(__FILE__).parent_path() / "data";

time_t g_now;
time_t FakeClock() { return g_now; }

// A record of day/month/year at hour:00:00 whose every channel reads
// base + channel (minimum) and base + channel + 7 (maximum).
DLogRecord Rec(int month, int day, int year, int hour, int32_t base) {
  DLogRecord r{};
  r.month = static_cast<uint8_t>(month);
  r.day = static_cast<uint8_t>(day);
  r.year = static_cast<uint8_t>(year - 2000);
  r.hour = static_cast<uint8_t>(hour);
  r.minute = 0;
  r.second = 0;
  for (int c = 0; c < DLOG_CHANNELS; ++c) {
    r.min[c] = base + c;
    r.max[c] = base + c + 7;
  }
  return r;
}

class DLogHistTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    setenv("TZ", "UTC", 1);
    tzset();
    savedClock_ = SvcWallClock;
    SvcWallClock = FakeClock;
    g_now = Scratch_UtcTime(2026, 1, 5, 8, 30, 15);
    Svc_RefreshLocalTime();
    UpsRecord = UpsRecordType{};
    snprintf(UpsRecord.model, sizeof UpsRecord.model, "%s", "SIMUPS 3000");
    DLogSetting = DLogSettings{};
    DLogSetting.maxStorage = 12;
    fs::create_directories(Path("httpd/htdocs/tempage"));
    DLog_Init(dir.c_str());
  }
  void TearDown() override {
    SvcWallClock = savedClock_;
    ScratchTest::TearDown();
  }

  std::string FilePath(int resolution, int year, int month) const {
    char path[PATH_MAX];
    EXPECT_EQ(DLog_FilePath(path, sizeof path, resolution, year, month), 1);
    return path;
  }
  void WriteBytes(int resolution, int year, int month, const std::string& bytes) const {
    fs::create_directories(Path(std::to_string(year)));
    Scratch_WriteFile(FilePath(resolution, year, month), bytes);
  }
  static std::string Bytes(const std::vector<DLogRecord>& records) {
    std::string bytes("\xDC\x07\x00\x00", 4);
    for (const DLogRecord& r : records) {
      uint8_t b[DLOG_RECORD_SIZE];
      DLog_EncodeRecord(r, b);
      bytes.append(reinterpret_cast<const char*>(b), sizeof b);
    }
    return bytes;
  }
  void WriteRecords(int resolution, int year, int month, const std::vector<DLogRecord>& records) const {
    WriteBytes(resolution, year, month, Bytes(records));
  }
  std::string Tempage(const char* name) const { return Scratch_ReadFile(TmpPath(name)); }
  // The data rows of the CSV export (after the model, time, blank and header lines).
  std::vector<std::string> CsvRows() const {
    std::vector<std::string> lines = Scratch_Lines(Tempage("hist_data.csv"));
    EXPECT_GE(lines.size(), 4u);
    return lines.size() < 4 ? lines : std::vector<std::string>(lines.begin() + 4, lines.end());
  }
  std::vector<std::string> HtmlRows() const {
    std::vector<std::string> out;
    for (const std::string& line : Scratch_Lines(Tempage("iframe_data.htm")))
      if (line.rfind("<tr><td>", 0) == 0 || line.rfind("<tr bgcolor=#eeeeee><td>", 0) == 0) out.push_back(line);
    return out;
  }

 private:
  time_t (*savedClock_)();
};

TEST(DLogWriteValue, Cells) {
  const struct {
    int64_t value;
    const char* unit;
    int tenths, html;
    const char* want;
  } cases[] = {
      {2305, "V", 1, 1, "<td>230.5V</td>"},
      {2305, "V", 1, 0, "230.5V,"},
      {-15, "", 1, 0, "-1.5,"},
      {-5, "", 1, 0, "-0.5,"},
      {-10, "A", 1, 1, "<td>-1.0A</td>"},
      {5, "Hz", 1, 0, "0.5Hz,"},
      {0, "", 1, 0, "0.0,"},
      {-1, "V", 1, 1, "<td>&nbsp</td>"},
      {-1, "V", 0, 0, ","},
      {1000000, "W", 0, 1, "<td>&nbsp</td>"},
      {1000000, "W", 1, 0, ","},
      {999999, "W", 0, 0, "999999W,"},
      {100, "%", 0, 1, "<td>100%</td>"},
      {-2, "", 0, 0, "-2,"},
      {INT32_MIN, "", 1, 0, "-214748364.8,"},
      {INT32_MAX, "", 1, 1, "<td>214748364.7</td>"},
      {7, nullptr, 0, 0, "7,"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    char* text = nullptr;
    size_t length = 0;
    FILE* f = open_memstream(&text, &length);
    ASSERT_NE(f, nullptr);
    DLog_WriteValue(f, c.value, c.unit, c.tenths, c.html);
    fclose(f);
    EXPECT_EQ(std::string(text, length), c.want);
    free(text);
  }
}

// A range across the year end visits December's and January's files and
// keeps the records of its four days, newest first.
TEST_F(DLogHistTest, RangeAcrossTheYearEndAgainstGoldenFiles) {
  DLogRecord gaps = Rec(1, 1, 2026, 0, 2000);
  for (int c : {1, 2, 26, 44, 53}) gaps.min[c] = DLOG_NO_MIN, gaps.max[c] = DLOG_NO_MAX;  // no data on these
  gaps.max[3] = 0;      // battery level 0 %
  gaps.min[25] = 5;     // 0.5 Hz
  gaps.minute = 59, gaps.second = 1;
  WriteRecords(DLOG_1HH, 2025, 11, {Rec(11, 30, 2025, 23, 100)});
  WriteRecords(DLOG_1HH, 2025, 12,
               {Rec(12, 29, 2025, 23, 200), Rec(12, 30, 2025, 0, 300), Rec(12, 31, 2025, 12, 400),
                Rec(1, 1, 2026, 0, 500)});  // a bucket ending at midnight, in December's file
  WriteRecords(DLOG_1HH, 2026, 1, {gaps, Rec(1, 2, 2026, 23, 2300), Rec(1, 3, 2026, 0, 2400)});
  WriteRecords(DLOG_1MM, 2025, 12, {Rec(12, 31, 2025, 1, 9000)});  // another resolution

  const TimeDate from{12, 30, 25}, to{1, 2, 26};
  EXPECT_EQ(DLogOps.ExportHtml(from, to, DLOG_SEL_1HH), 1);
  EXPECT_EQ(DLogOps.ExportHistCsv(from, to, DLOG_SEL_1HH), 1);
  EXPECT_EQ(Tempage("iframe_data.htm"), Scratch_ReadFile(kData / "dlog_range.htm"));
  EXPECT_EQ(Tempage("hist_data.csv"), Scratch_ReadFile(kData / "dlog_range.csv"));
  EXPECT_FALSE(fs::exists(TmpPath("data.dat")));
}

TEST_F(DLogHistTest, SelectorPicksTheResolution) {
  for (int r = 0; r < DLOG_RESOLUTIONS; ++r) WriteRecords(r, 2026, 1, {Rec(1, 4, 2026, 10, 1000 * (r + 1))});
  const struct {
    int selector;
    const char* battVolt;  // the maximum of channel 0 of the one row, or no row
  } cases[] = {
      {DLOG_SEL_1MM, "100.7V"}, {DLOG_SEL_1HH, "300.7V"}, {DLOG_SEL_12HH, "400.7V"}, {DLOG_SEL_10MM, "200.7V"},
      {4, nullptr},             {-1, nullptr},            {255, nullptr},           {INT_MIN, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.selector);
    EXPECT_EQ(DLogOps.ExportHistCsv(TimeDate{1, 1, 26}, TimeDate{1, 31, 26}, c.selector), 1);
    EXPECT_EQ(DLogOps.ExportHtml(TimeDate{1, 1, 26}, TimeDate{1, 31, 26}, c.selector), 1);
    std::vector<std::string> rows = CsvRows();
    if (!c.battVolt) {
      EXPECT_TRUE(rows.empty());
      EXPECT_TRUE(HtmlRows().empty());
      continue;
    }
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].rfind(std::string("01/04/2026, 10:00:00, ") + c.battVolt + ",", 0), 0u) << rows[0];
    ASSERT_EQ(HtmlRows().size(), 1u);
  }
}

// Ranges without records give the heads alone.
TEST_F(DLogHistTest, EmptyRanges) {
  WriteRecords(DLOG_1HH, 2026, 1, {Rec(1, 4, 2026, 10, 1000)});
  const std::vector<std::string> golden = Scratch_Lines(Scratch_ReadFile(kData / "dlog_range.htm"));
  ASSERT_GE(golden.size(), 4u);
  const std::string heads = golden[0] + "\n" + golden[1] + "\n" + golden[2] + "\n" + golden[3] + "\n";
  const struct {
    const char* name;
    TimeDate from, to;
  } cases[] = {
      {"days without records", {1, 5, 26}, {1, 31, 26}},
      {"from after to", {1, 5, 26}, {1, 3, 26}},
      {"no file for the months", {3, 1, 26}, {4, 30, 26}},
      {"all zeros", {0, 0, 0}, {0, 0, 0}},
      {"months outside the year", {13, 1, 26}, {14, 1, 26}},
      {"the widest range", {1, 1, 0}, {12, 31, 255}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DLogOps.ExportHtml(c.from, c.to, DLOG_SEL_1HH), 1);
    if (std::string(c.name) == "the widest range") {
      EXPECT_EQ(HtmlRows().size(), 1u);
      continue;
    }
    EXPECT_EQ(Tempage("iframe_data.htm"), heads + "</table></body></html>\n");
    EXPECT_EQ(DLogOps.ExportHistCsv(c.from, c.to, DLOG_SEL_1HH), 1);
    EXPECT_TRUE(CsvRows().empty());
  }
}

TEST_F(DLogHistTest, DamagedFilesAreReadSafely) {
  const std::string one = Bytes({Rec(1, 4, 2026, 10, 1000)});
  const std::string two = Bytes({Rec(1, 4, 2026, 10, 1000), Rec(1, 4, 2026, 11, 1100)});
  std::string garbage = two;
  for (size_t i = 4; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 37 + 11);
  garbage[4] = 1, garbage[5] = 4, garbage[6] = 26;  // in range, with values of any kind
  const struct {
    const char* name;
    std::string bytes;
    size_t rows;
  } cases[] = {
      {"another magic", std::string("\xDD", 1) + one.substr(1), 0},
      {"shorter than the magic", one.substr(0, 3), 0},
      {"magic alone", one.substr(0, 4), 0},
      {"a partial record at the end", two.substr(0, two.size() - 1), 1},
      {"whole records", two, 2},
      {"random values", garbage, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(DLOG_1HH, 2026, 1, c.bytes);
    EXPECT_EQ(DLogOps.ExportHtml(TimeDate{1, 1, 26}, TimeDate{1, 31, 26}, DLOG_SEL_1HH), 1);
    EXPECT_EQ(HtmlRows().size(), c.rows);
    EXPECT_EQ(DLogOps.ExportHistCsv(TimeDate{1, 1, 26}, TimeDate{1, 31, 26}, DLOG_SEL_1HH), 1);
    EXPECT_EQ(CsvRows().size(), c.rows);
  }
  // A directory where a file should be.
  fs::remove(FilePath(DLOG_1HH, 2026, 1));
  fs::create_directories(FilePath(DLOG_1HH, 2026, 1));
  EXPECT_EQ(DLogOps.ExportHtml(TimeDate{1, 1, 26}, TimeDate{1, 31, 26}, DLOG_SEL_1HH), 1);
  EXPECT_TRUE(HtmlRows().empty());
}

TEST_F(DLogHistTest, TemporaryAndOutputFiles) {
  WriteRecords(DLOG_1HH, 2026, 1, {Rec(1, 4, 2026, 10, 1000)});
  const TimeDate from{1, 1, 26}, to{1, 31, 26};

  // Links planted at the fixed names are replaced, not followed.
  Scratch_WriteFile(TmpPath("precious"), "keep");
  for (const std::string& name : {TmpPath("data.dat"), TmpPath("iframe_data.htm"), TmpPath("hist_data.csv")})
    ASSERT_EQ(symlink(TmpPath("precious").c_str(), name.c_str()), 0);
  EXPECT_EQ(DLogOps.ExportHtml(from, to, DLOG_SEL_1HH), 1);
  EXPECT_EQ(DLogOps.ExportHistCsv(from, to, DLOG_SEL_1HH), 1);
  EXPECT_EQ(Scratch_ReadFile(TmpPath("precious")), "keep");
  EXPECT_FALSE(fs::is_symlink(TmpPath("iframe_data.htm")));
  EXPECT_EQ(HtmlRows().size(), 1u);
  EXPECT_EQ(CsvRows().size(), 1u);
  EXPECT_FALSE(fs::exists(TmpPath("data.dat")));
  EXPECT_FALSE(fs::is_symlink(TmpPath("data.dat")));

  // Without a selection file (a directory stands at its name): the heads,
  // no rows, and the export says so.
  fs::create_directories(TmpPath("data.dat"));
  EXPECT_EQ(DLogOps.ExportHtml(from, to, DLOG_SEL_1HH), 0);
  EXPECT_TRUE(fs::exists(TmpPath("iframe_data.htm")));
  EXPECT_TRUE(HtmlRows().empty());
  EXPECT_EQ(DLogOps.ExportHistCsv(from, to, DLOG_SEL_1HH), 0);
  EXPECT_EQ(Scratch_Lines(Tempage("hist_data.csv")).size(), 4u);
  fs::remove(TmpPath("data.dat"));

  // Without the private directory: nothing, and no selection file is left.
  fs::remove_all(tmp);
  EXPECT_EQ(DLogOps.ExportHtml(from, to, DLOG_SEL_1HH), 0);
  EXPECT_EQ(DLogOps.ExportHistCsv(from, to, DLOG_SEL_1HH), 0);
  EXPECT_FALSE(fs::exists(TmpPath("data.dat")));
}

}  // namespace
