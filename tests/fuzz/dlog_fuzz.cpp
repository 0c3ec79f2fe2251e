// Fuzzes the reading back of data-log files. The first byte picks the
// resolution selector (low two bits; with bit 2 set the byte itself, most
// often an unknown selector), the rest is the content of a monthly file.
// The content is put at December's and January's file of the selected
// resolution and both history exports run over the range: each must finish
// with its closing text, and every CSV row must have its 83 fields. Then
// the same content is the current month's minute and ten-minute file while
// two minutes are sampled: a file that begins with the magic keeps its whole
// records and ends with whole records, an empty one gets the magic and the
// new records, and any other file stays as it was.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "core/svc.h"
#include "events/dlog.h"
#include "ups/upsdata.h"
#include "fuzz_support.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

std::string g_dir, g_tmp;
time_t g_now;
time_t FakeClock() { return g_now; }

time_t At(int year, int month, int day, int hour, int minute, int second) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return timegm(&tm);
}

void Setup() {
  setenv("TZ", "UTC", 1);
  tzset();
  g_dir = Fuzz_ScratchDir("dlog_fuzz");
  g_tmp = g_dir + "/tmp";
  std::filesystem::create_directories(g_dir + "/httpd/htdocs/tempage");
  std::filesystem::create_directories(g_tmp);
  std::filesystem::create_directories(g_dir + "/2025");
  std::filesystem::create_directories(g_dir + "/2026");
  Svc_SetDirs(g_dir.c_str(), g_tmp.c_str());
  SvcWallClock = FakeClock;
  for (int32_t& v : UpsRecord.values) v = -1;
  snprintf(UpsRecord.model, sizeof UpsRecord.model, "%s", "FUZZ");
  DLogSetting.maxStorage = 12;
}

std::string Read(const std::string& path) {
  std::string out;
  if (FILE* f = fopen(path.c_str(), "rb")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
  }
  return out;
}

void Write(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  Check(f != nullptr);
  if (size) Check(fwrite(data, 1, size, f) == size);
  fclose(f);
}

std::string FilePath(int resolution, int year, int month) {
  char path[4096];
  Check(DLog_FilePath(path, sizeof path, resolution, year, month) == 1);
  return path;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

void Exports(int selector, const uint8_t* data, size_t size) {
  const int resolution = DLog_SelectorResolution(selector);
  for (int r = 0; r < DLOG_RESOLUTIONS; ++r) {
    unlink(FilePath(r, 2025, 12).c_str());
    unlink(FilePath(r, 2026, 1).c_str());
  }
  if (resolution >= 0) {
    Write(FilePath(resolution, 2025, 12), data, size);
    Write(FilePath(resolution, 2026, 1), data, size);
  }
  const TimeDate from{12, 1, 25}, to{1, 31, 26};
  Check(DLogOps.ExportHtml(from, to, selector) == 1);
  Check(EndsWith(Read(g_tmp + "/iframe_data.htm"), "</table></body></html>\n"));
  Check(DLogOps.ExportHistCsv(from, to, selector) == 1);
  std::string csv = Read(g_tmp + "/hist_data.csv");
  Check(EndsWith(csv, "\n"));
  size_t line = 0, start = 0;
  for (size_t i = 0; i < csv.size(); ++i) {
    if (csv[i] != '\n') continue;
    if (line >= 4) {
      size_t commas = 0;
      for (size_t k = start; k < i; ++k) commas += csv[k] == ',';
      Check(commas == 2 + 5 + 2 * 38);
    }
    ++line;
    start = i + 1;
  }
  Check(access((g_tmp + "/data.dat").c_str(), F_OK) != 0);
}

void Writes(const uint8_t* data, size_t size) {
  const std::string before(reinterpret_cast<const char*>(data), size);
  const std::string minutePath = FilePath(DLOG_1MM, 2026, 1), tenPath = FilePath(DLOG_10MM, 2026, 1);
  Write(minutePath, data, size);
  Write(tenPath, data, size);
  g_now = At(2026, 1, 15, 10, 0, 30);
  Svc_RefreshLocalTime();
  DLog_Init(g_dir.c_str());
  UpsRecord.values[DLogChannels[0]] = 816;
  for (time_t t : {At(2026, 1, 15, 10, 1, 0), At(2026, 1, 15, 10, 2, 0)}) {
    g_now = t;
    Svc_RefreshLocalTime();
    DLogOps.Sample();
  }
  const bool magic = size >= 4 && memcmp(data, "\xDC\x07\x00\x00", 4) == 0;
  const size_t whole = magic ? (size - 4) / DLOG_RECORD_SIZE : 0;
  const struct {
    const std::string* path;
    size_t added;  // two minutes appended; the ten minutes' running record once
  } files[] = {{&minutePath, 2}, {&tenPath, 1}};
  for (const auto& f : files) {
    const std::string after = Read(*f.path);
    if (size == 0 || magic) {
      Check(after.size() == 4 + (whole + f.added) * DLOG_RECORD_SIZE);
      Check(memcmp(after.data(), "\xDC\x07\x00\x00", 4) == 0);
      Check(after.compare(0, 4 + whole * DLOG_RECORD_SIZE, before, 0, 4 + whole * DLOG_RECORD_SIZE) == 0 || size == 0);
    } else {
      Check(after == before);
    }
  }
  const std::string written = Read(minutePath);
  Exports(DLOG_SEL_1MM, reinterpret_cast<const uint8_t*>(written.data()), written.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = false;
  if (!ready) {
    Setup();
    ready = true;
  }
  if (size == 0) return 0;
  g_now = At(2026, 1, 15, 10, 0, 30);
  Svc_RefreshLocalTime();
  DLog_Init(g_dir.c_str());
  const int selector = (data[0] & 4) ? static_cast<int8_t>(data[0]) : (data[0] & 3);
  Exports(selector, data + 1, size - 1);
  Writes(data + 1, size - 1);
  return 0;
}
