#include "support/scratch.h"

#include <fstream>
#include <sstream>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

#include "core/cfg.h"
#include "core/svc.h"

std::string Scratch_MakeDir(const char* tag) {
  const char* base = getenv("UPSD_TEST_SCRATCH");
  std::string tmpl = std::string(base ? base : "/tmp") + "/upsd-" + tag + "-XXXXXX";
  std::string buf = tmpl;
  if (!mkdtemp(buf.data())) {
    ADD_FAILURE() << "mkdtemp failed for " << tmpl;
    return "/nonexistent";
  }
  return buf;
}

std::string Scratch_ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void Scratch_WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

void ScratchTest::SetUp() {
  dir = Scratch_MakeDir("inst");
  tmp = Scratch_MakeDir("tmp");
  Svc_SetDirs(dir.c_str(), tmp.c_str());
}

void Scratch_WaitScripts() {
  for (int i = 0; i < 10000 && Svc_ReapScripts() > 0; ++i) usleep(1000);
}

void ScratchTest::TearDown() {
  Scratch_WaitScripts();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  std::filesystem::remove_all(tmp, ec);
  Svc_SetDirs(UPSD_INSTALL_DIR, "/tmp");
}

time_t Scratch_UtcTime(int year, int month, int day, int hour, int minute, int second) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return timegm(&tm);
}

std::string Scratch_SettingsText() {
  char* data = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&data, &size);
  if (!f) return "";
  Cfg_WriteSections(f);
  fclose(f);
  std::string text(data, size);
  free(data);
  return text;
}

std::vector<std::string> Scratch_Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}
