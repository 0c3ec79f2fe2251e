// Event definitions: the system and UPS event tables and their language files.
#include "events/evtdef.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/cfg.h"
#include "core/util.h"

EvtDefTable<EVT_SYSTEM_COUNT> EvtCommonEvents;
EvtDefTable<EVT_UPS_COUNT> EvtUpsEvents;
EvtDefOpsTable EvtDefOps;

namespace {

const char* g_installDir = "";

constexpr int kLineBuffer = 256;  // a line holds at most 255 bytes

void FilePath(char* out, size_t size, const char* dirName, const char* file) {
  snprintf(out, size, "%s/language/%s/%s", g_installDir, dirName ? dirName : "", file);
}

// Reads one line of at most kLineBuffer - 1 bytes into line; the rest of a
// longer line is read over, so it is never taken for a line of its own.
// 0 at the end of the file.
int ReadLine(FILE* f, char* line) {
  if (!fgets(line, kLineBuffer, f)) return 0;
  size_t n = strlen(line);
  if (n == kLineBuffer - 1 && line[n - 1] != '\n') {
    int c;
    while ((c = getc(f)) != EOF && c != '\n') {
    }
  }
  // Every trailing line-end character, CR or LF in any order: a text that
  // kept one would lose it at the next write and read, so a saved file
  // would not read back as itself.
  while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = 0;
  return 1;
}

// The entry number after a key word (as atoi reads it, without overflow), minus 1.
long EntryIndex(const char* digits) {
  long n = strtol(digits, nullptr, 10);
  if (n < 0 || n > 100000) return -1;
  return n - 1;
}

template <int N>
void ReadTable(FILE* f, EvtDefTable<N>& table) {
  char line[kLineBuffer];
  while (ReadLine(f, line)) {
    if (line[0] == ';' || line[0] == '[') continue;
    const char* eq = strchr(line, '=');
    if (!eq) continue;
    if (strncmp(line, "name", 4) == 0) {
      long i = EntryIndex(line + 4);
      if (i < 0 || i >= N) continue;
      char* copy = strdup(eq + 1);
      if (!copy) continue;
      free(table.text[i]);  // a repeated name line replaces the earlier text
      table.text[i] = copy;
    } else if (strncmp(line, "level", 5) == 0) {
      long i = EntryIndex(line + 5);
      if (i < 0 || i >= N) continue;
      table.level[i] = static_cast<uint8_t>(strtol(eq + 1, nullptr, 10));
    }
  }
}

template <int N>
void FreeTexts(EvtDefTable<N>& table) {
  for (char*& t : table.text) {
    free(t);
    t = nullptr;
  }
}

// Reads a file into a fresh table that starts with the current levels and
// no texts; the fresh table replaces the current one only when the whole
// file was read. 1 when taken over.
template <int N>
int LoadTable(const char* path, EvtDefTable<N>& current) {
  FILE* f = fopen(path, "r");
  if (!f) return 0;
  EvtDefTable<N> fresh{};
  memcpy(fresh.level, current.level, sizeof fresh.level);
  ReadTable(f, fresh);
  bool ok = !ferror(f);
  fclose(f);
  if (!ok) {
    FreeTexts(fresh);
    return 0;
  }
  FreeTexts(current);
  current = fresh;
  return 1;
}

int EvtDef_Load(const char* dirName) {
  char path[512];
  FilePath(path, sizeof path, dirName, "event-common.ini");
  if (!LoadTable(path, EvtCommonEvents)) return 0;
  FilePath(path, sizeof path, dirName, "event-ups.ini");
  LoadTable(path, EvtUpsEvents);
  return 1;
}

int EvtDef_SaveUps(const char* dirName) {
  char path[512];
  FilePath(path, sizeof path, dirName, "event-ups.ini");
  FILE* f = UF_ReplaceBegin(path, 0644);
  if (!f) return 0;
  int ok = fputs("[Alarm-Event]\n", f) >= 0;
  for (int i = 0; i < EVT_UPS_COUNT && ok; ++i) {
    const char* text = EvtUpsEvents.text[i] ? EvtUpsEvents.text[i] : "";
    ok = fprintf(f, "name%d=%s\nlevel%d=%d\n", i + 1, text, i + 1, EvtUpsEvents.level[i]) > 0;
  }
  return UF_ReplaceCommit(f, path, ok);
}

void EvtDef_Free() {
  FreeTexts(EvtCommonEvents);
  FreeTexts(EvtUpsEvents);
}

}  // namespace

void EvtDef_Init(const char* installDir, const char* dirName) {
  g_installDir = installDir ? installDir : "";
  EvtDefOps = EvtDefOpsTable{EvtDef_Load, EvtDef_SaveUps, EvtDef_Free};
  EvtDefOps.Load(dirName);
}

void EvtDef_Exit() {
  if (EvtDefOps.Free) EvtDefOps.Free();
}

const char* EvtDef_LanguageDir(int language) {
  if (language < 0 || language > 3) language = 0;
  return CfgKeyTable[CFG_LANGUAGE_NAMES + language];
}

int EvtDef_IsTableCode(int code) {
  return (code >= 0 && code < EVT_SYSTEM_COUNT) || (code >= EVT_UPS_BASE && code < EVT_UPS_BASE + EVT_UPS_COUNT);
}

const char* EvtDef_Text(int code) {
  const char* t = nullptr;
  if (code >= 0 && code < EVT_SYSTEM_COUNT) t = EvtCommonEvents.text[code];
  else if (code >= EVT_UPS_BASE && code < EVT_UPS_BASE + EVT_UPS_COUNT) t = EvtUpsEvents.text[code - EVT_UPS_BASE];
  return t ? t : "";
}

uint8_t EvtDef_Level(int code) {
  if (code >= 0 && code < EVT_SYSTEM_COUNT) return EvtCommonEvents.level[code];
  if (code >= EVT_UPS_BASE && code < EVT_UPS_BASE + EVT_UPS_COUNT) return EvtUpsEvents.level[code - EVT_UPS_BASE];
  return 0;
}
