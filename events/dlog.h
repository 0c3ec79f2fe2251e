// Data log of UPS measurements. Once a second the current readings of 58
// channels are folded into a running minimum/maximum record; at each minute,
// ten-minute, hour and twelve-hour boundary the records roll up into the next
// coarser one and are written to binary files, one file per month and
// resolution in a directory per year under the installation directory. The
// running record of each coarser resolution is kept as the last record of
// its file and rewritten as it changes. Besides, the current readings can be
// appended as one CSV line every "Export Period=" minutes, files older than
// "Maximum Storage=" months can be deleted, and a date range can be exported
// as an HTML table or a CSV file for the web history pages (dloghist.cpp).
// Its settings are the [Data Log] section of config.ini.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cwchar>

#include "core/helpers.h"

constexpr int DLOG_PATH_CHARS = 256;

struct DLogSettings {
  uint16_t maxStorage;    // "Maximum Storage=": months kept; 0 turns the data log off
  uint8_t exportPeriod;   // "Export Period=": minutes between CSV lines; 0 none
  wchar_t exportPath[DLOG_PATH_CHARS + 1];  // "Export Path=": directory prefix with its "/"
};
extern DLogSettings DLogSetting;

// Minutes until the next periodic CSV line; set from "Export Period=" at
// init and by the history settings form when the period changes.
extern uint8_t DLogExportCountdown;

// ---- records and files -----------------------------------------------------

constexpr int DLOG_CHANNELS = 58;
constexpr int DLOG_RECORD_SIZE = 472;  // bytes of one record in the files
constexpr int DLOG_MAGIC_SIZE = 4;
constexpr int32_t DLOG_MAGIC = 2012;   // 32-bit little-endian, first in every file
constexpr int32_t DLOG_NO_MIN = 1000000;  // a minimum without a value
constexpr int32_t DLOG_NO_MAX = -1;       // a maximum without a value

// UpsRecord.values index of each channel.
extern const uint8_t DLogChannels[DLOG_CHANNELS];

// Resolutions: the running records and their files.
enum DLogResolution : int { DLOG_1MM = 0, DLOG_10MM = 1, DLOG_1HH = 2, DLOG_12HH = 3, DLOG_RESOLUTIONS = 4 };

// Resolution selector of the history exports.
enum DLogSelector : int { DLOG_SEL_1MM = 0, DLOG_SEL_1HH = 1, DLOG_SEL_12HH = 2, DLOG_SEL_10MM = 3 };

// One record. In the files (little-endian, 472 bytes): month, day,
// year - 2000, hour, minute, second (one byte each), two zero bytes, then
// the 58 minimums and the 58 maximums as signed 32-bit numbers.
struct DLogRecord {
  uint8_t month, day, year, hour, minute, second;
  int32_t min[DLOG_CHANNELS];
  int32_t max[DLOG_CHANNELS];
};
void DLog_EncodeRecord(const DLogRecord& record, uint8_t out[DLOG_RECORD_SIZE]);
// Decodes the 472 bytes at in; the two padding bytes are not checked.
void DLog_DecodeRecord(const uint8_t in[DLOG_RECORD_SIZE], DLogRecord* out);

// "<install>/<year>/<month>_1MM.DAT" (10MM, 1HH, 12HH) for a four-digit
// year and a month 1..12 into out; 0 when the resolution is unknown or the
// path does not fit.
int DLog_FilePath(char* out, size_t size, int resolution, int year, int month);
// The resolution whose files a history selector reads; -1 for an unknown one.
int DLog_SelectorResolution(int selector);

// ---- operations ------------------------------------------------------------

// The history exports' files in the private directory (Svc_TmpPath), which
// the web server serves by these names.
constexpr const char* DLOG_HIST_PAGE_NAME = "iframe_data.htm";
constexpr const char* DLOG_HIST_CSV_NAME = "hist_data.csv";

struct DLogOpsTable {
  // The per-second step: fold the readings, roll up at each boundary.
  void (*Sample)();
  // The per-minute step of the periodic CSV export.
  void (*ExportTick)();
  // The records of the date range from..to (inclusive) at the selected
  // resolution, newest first, as DLOG_HIST_PAGE_NAME in the private
  // directory; 1 when the file was written whole, else 0 (and no file).
  int (*ExportHtml)(TimeDate from, TimeDate to, int selector);
  // The same as DLOG_HIST_CSV_NAME.
  int (*ExportHistCsv)(TimeDate from, TimeDate to, int selector);
  // Deletes the files beyond "Maximum Storage=" months.
  void (*ApplyRetention)();
};
extern DLogOpsTable DLogOps;

// Resets the running records, takes the current minute and hour from
// SvcLocalTime, keeps the directory, arms the export countdown and fills
// DLogOps. Runs after config.ini is read.
void DLog_Init(const char* installDir);
void DLog_Exit();

// The installation directory given at init ("" before).
const char* DLog_Dir();

// One value cell: HTML "<td>...</td>" or CSV "...,"; -1 and 1000000 are
// "no value" (an empty cell or field); tenths are written "%d.%d".
void DLog_WriteValue(FILE* f, int64_t value, const char* unit, int tenths, int html);

// History exports (dloghist.cpp), reached through DLogOps.
int DLog_ExportHtml(TimeDate from, TimeDate to, int selector);
int DLog_ExportHistCsv(TimeDate from, TimeDate to, int selector);
