// Fuzzes the event log. An input whose first byte is even fills an event
// text: the rest up to a NUL is the format, then up to six NUL-separated
// arguments, into a buffer of 2..256 bytes chosen by the first byte; the
// result must be terminated, within the buffer, free of control
// characters, and valid UTF-8 whenever the format and the arguments are.
// An odd first byte makes the rest the log file, which is then counted,
// read back record by record, split, exported as pages, as a range and as
// CSV, and paged with buttons.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/svc.h"
#include "events/evtlog.h"
#include "fuzz_support.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

std::string g_dir;

void Setup() {
  g_dir = Fuzz_ScratchDir("evtlog_fuzz");
  std::filesystem::create_directories(g_dir + "/httpd/htdocs/tempage");
  Svc_SetDirs(g_dir.c_str(), g_dir.c_str());
}

bool ValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    unsigned char c = s[i];
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += len;
  }
  return true;
}

void Fill(const uint8_t* data, size_t size, size_t bufferSize) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && parts.size() < 7) parts.emplace_back();
    else parts.back() += static_cast<char>(data[i]);
  }
  const char* args[6];
  int n = 0;
  bool utf8 = ValidUtf8(parts[0]);
  for (size_t i = 1; i < parts.size(); ++i) {
    args[n++] = parts[i].c_str();
    utf8 = utf8 && ValidUtf8(parts[i]);
  }
  std::vector<char> out(bufferSize + 1, 'Z');
  size_t len = EvtLog_FillText(out.data(), bufferSize, parts[0].c_str(), args, n);
  Check(len < bufferSize);
  Check(out[len] == 0 && out[bufferSize] == 'Z');
  std::string text(out.data(), len);
  Check(strlen(out.data()) == len);
  for (unsigned char c : text) Check(c >= 0x20 && c != 0x7F);
  if (utf8) Check(ValidUtf8(text));
}

void Log(const uint8_t* data, size_t size) {
  const std::string path = g_dir + "/" + EVTLOG_FILE;
  FILE* f = fopen(path.c_str(), "wb");
  Check(f != nullptr);
  if (size) Check(fwrite(data, 1, size, f) == size);
  fclose(f);
  EvtLog_Init(g_dir.c_str());
  Check(EvtLogRecordCount >= 0);
  char record[EVTLOG_RECORD_SIZE];
  for (int n = 0; n < EvtLogRecordCount && n < 40; ++n) {
    Check(EvtLogOps.ReadRecord(n, record, sizeof record) == 1);
    Check(strchr(record, '\n') == nullptr);
    char *code, *level, *date, *time, *text;
    EvtLogOps.SplitRecord(record, &code, &level, &date, &time, &text);
  }
  Check(EvtLogOps.ReadRecord(EvtLogRecordCount, record, sizeof record) == 0);
  EvtLogOps.ExportPage(0);
  EvtLogOps.ExportPage(1);
  EvtLogOps.ExportRange(TimeDate{1, 1, 0}, TimeDate{12, 31, 255});
  EvtLogOps.ExportCsv();
  char buttons[512];
  int length = EvtLogOps.PageButtons(buttons, sizeof buttons, size > 0 ? data[0] : 0);
  Check(length >= 0 && static_cast<size_t>(length) < sizeof buttons && strlen(buttons) == static_cast<size_t>(length));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = false;
  if (!ready) {
    Setup();
    ready = true;
  }
  if (size == 0) return 0;
  if (data[0] % 2 == 0) Fill(data + 1, size - 1, data[0] == 0 ? 256 : data[0]);
  else Log(data + 1, size - 1);
  return 0;
}
