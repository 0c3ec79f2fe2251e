// Helpers the fuzz targets share: a scratch directory, and a save of
// config.ini into memory.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/cfg.h"

// A scratch directory: on tmpfs where there is one, so the files the code
// under test writes and reads cost no disk work; removed with everything in
// it when the target exits.
inline std::string Fuzz_ScratchDir(const char* tag) {
  static std::vector<std::string> made;
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string dir = std::string(base) + "/" + tag + "-XXXXXX";
  if (!mkdtemp(dir.data())) abort();
  if (made.empty())
    atexit([] {
      std::error_code ec;
      for (const std::string& d : made) std::filesystem::remove_all(d, ec);
    });
  made.push_back(dir);
  return dir;
}

// A stand-in for Cfg_Save (CfgSaveStandIn): the settings written as
// config.ini would hold them, into memory, so the writer runs over every
// value a form or a SET stored without a file per input. The text must
// keep its shape: section lines and key lines, each ended by a line feed,
// "[End]" last; a value that split its line would show as a line without
// a key.
inline int Fuzz_SaveConfigInMemory() {
  static std::vector<char> buffer(1 << 20);
  static FILE* f = fmemopen(buffer.data(), buffer.size(), "w");
  if (!f) abort();
  rewind(f);
  const int ok = Cfg_WriteSections(f);
  const long n = ftell(f);
  if (fflush(f) != 0 || n <= 0 || static_cast<size_t>(n) >= buffer.size() - 1) abort();
  const char* text = buffer.data();
  const char* end = text + n;
  const char* last = text;
  for (const char* line = text; line < end;) {
    const char* lf = static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(end - line)));
    if (!lf) abort();  // every line ends in a line feed
    const size_t length = static_cast<size_t>(lf - line);
    const bool section = length >= 2 && line[0] == '[' && line[length - 1] == ']';
    if (memchr(line, '\r', length) || (!section && !memchr(line, '=', length))) abort();
    last = line;
    line = lf + 1;
  }
  if (static_cast<size_t>(end - last) != 6 || memcmp(last, "[End]\n", 6) != 0) abort();
  return ok;
}
