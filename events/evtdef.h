// Event definitions: the event codes, the two event tables (system events
// and UPS events, each a text and a level per entry) and the per-language
// files under "<install>/language/<language>/" they are read from.
#pragma once
#include <cstdint>

// Event codes: -1 free text, 0..39 system event n, 100..289 UPS event
// e = code - 100. Nothing else is an event.
constexpr int EVT_FREE_TEXT = -1;
constexpr int EVT_SYSTEM_COUNT = 40;
constexpr int EVT_UPS_BASE = 100;
constexpr int EVT_UPS_COUNT = 190;
// UPS event index of a status bit's beginning (2i) and end (2i + 1); power
// module alarm bit j is entry 120 + 2j.
constexpr int EVT_STATUS_BITS = 54;
constexpr int EVT_MODULE_ALARM_BASE = 120;
constexpr int EVT_MODULE_ALARM_BITS = 35;

enum EvtLevel : uint8_t {
  EVT_LEVEL_SYSTEM = 0,
  EVT_LEVEL_INFORMATION = 1,
  EVT_LEVEL_WARNING = 2,
  EVT_LEVEL_SEVERITY = 3,
};

// One event table: a separately allocated text (null when no file gave
// one) and a level byte per entry. Read in place by the log, the mail, the
// dispatcher and the web pages.
template <int N>
struct EvtDefTable {
  char* text[N];
  uint8_t level[N];
};
extern EvtDefTable<EVT_SYSTEM_COUNT> EvtCommonEvents;
extern EvtDefTable<EVT_UPS_COUNT> EvtUpsEvents;

struct EvtDefOpsTable {
  // Reads both files of a language directory into fresh tables; each table
  // is taken over only when its file was read, and the UPS file is read only
  // after the common file. 1 when the common file was read, else 0.
  int (*Load)(const char* dirName);
  // Rewrites the directory's UPS file from the UPS table (temporary file and
  // rename). 1 on success.
  int (*SaveUps)(const char* dirName);
  // Frees every text; levels stay.
  void (*Free)();
};
extern EvtDefOpsTable EvtDefOps;

// Remembers the installation directory (the pointer), fills the operations
// and loads the given language directory.
void EvtDef_Init(const char* installDir, const char* dirName);
void EvtDef_Exit();

// Directory name of a "Language=" value ("English" for values out of range).
const char* EvtDef_LanguageDir(int language);

// Text and level of an event code (0..39, 100..289): the text is never null
// ("" for an entry without text or a code outside the tables), the level of
// a code outside the tables is 0.
const char* EvtDef_Text(int code);
uint8_t EvtDef_Level(int code);
// 1 when code names a table entry (0..39 or 100..289).
int EvtDef_IsTableCode(int code);
