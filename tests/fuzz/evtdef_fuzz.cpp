// Fuzzes the language-file reader. The input up to its first NUL byte is
// event-common.ini, the rest event-ups.ini. After the files are read, the
// UPS table is written back and read again twice: the second and the third
// file must be the same (the writer's output reads back as itself), every
// text stays within one 255-byte line, and nothing leaks.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "core/svc.h"
#include "events/evtdef.h"
#include "fuzz_support.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

std::string g_dir;

void Setup() {
  g_dir = Fuzz_ScratchDir("evtdef_fuzz");
  std::filesystem::create_directories(g_dir + "/language/L");
}

void Write(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  Check(f != nullptr);
  if (size) Check(fwrite(data, 1, size, f) == size);
  fclose(f);
}

std::string Read(const std::string& path) {
  std::string out;
  FILE* f = fopen(path.c_str(), "rb");
  Check(f != nullptr);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

template <int N>
void CheckTexts(const EvtDefTable<N>& t) {
  for (const char* text : t.text) {
    if (!text) continue;
    Check(strlen(text) <= 255);
    Check(strchr(text, '\n') == nullptr);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = false;
  if (!ready) {
    Setup();
    ready = true;
  }
  const std::string common = g_dir + "/language/L/event-common.ini";
  const std::string ups = g_dir + "/language/L/event-ups.ini";
  const uint8_t* split = static_cast<const uint8_t*>(memchr(data, 0, size));
  size_t first = split ? static_cast<size_t>(split - data) : size;
  Write(common, data, first);
  Write(ups, split ? split + 1 : data + size, split ? size - first - 1 : 0);

  if (EvtDefOps.Free) EvtDefOps.Free();
  EvtCommonEvents = {};
  EvtUpsEvents = {};
  EvtDef_Init(g_dir.c_str(), "L");
  CheckTexts(EvtCommonEvents);
  CheckTexts(EvtUpsEvents);

  Check(EvtDefOps.SaveUps("L") == 1);
  Check(EvtDefOps.Load("L") == 1);
  Check(EvtDefOps.SaveUps("L") == 1);
  const std::string second = Read(ups);
  Check(EvtDefOps.Load("L") == 1);
  Check(EvtDefOps.SaveUps("L") == 1);
  Check(Read(ups) == second);
  EvtDefOps.Free();
  return 0;
}
