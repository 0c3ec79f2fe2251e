// Event log: every event of the service passes through EvtLog_Add, which
// fills the event's text, appends one record line to "_FILE_LOG.TXT" in the
// installation directory, keeps the file below 10000 records (past them the
// oldest 2500 go) and hands the event to mail and SMS. A record is one whole
// line of the file, whatever its date form or text. An append that fails (a full disk) is cut back so
// the file holds whole records only, the event is still handed on, and the
// first append that works again is preceded by a record that counts the
// events not written and says since when. The other
// operations read the log for the web history pages: one record, the split
// of a record, HTML pages of 30 records, an HTML range export, page buttons
// and a CSV export (in the private directory), and clearing.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/helpers.h"

constexpr const char* EVTLOG_FILE = "_FILE_LOG.TXT";
// The exports' files in the private directory (Svc_TmpPath), which the web
// server serves by these names.
constexpr const char* EVTLOG_PAGE_NAME = "iframe_log.htm";
constexpr const char* EVTLOG_CSV_NAME = "event_log.csv";
constexpr int EVTLOG_MAX_ARGS = 6;
constexpr int EVTLOG_TEXT_SIZE = 256;    // a filled text is at most 255 bytes
constexpr int EVTLOG_RECORD_SIZE = 512;  // a record line, without its line feed, fits
constexpr int EVTLOG_PAGE_RECORDS = 30;
constexpr int32_t EVTLOG_MAX_RECORDS = 10000;
constexpr int32_t EVTLOG_TRIM_RECORDS = 2500;

// Records in the log file: counted at init, kept up to date by adding,
// trimming and clearing; the history pages page through the log with it.
extern int32_t EvtLogRecordCount;

struct EvtLogOpsTable {
  // code -1: int level, then the text (never a format). Codes 0..39 and
  // 100..289: up to six const char* arguments ended by a null pointer, which
  // fill the "%s" places of the event's text in order. Other codes are refused.
  void (*Add)(int code, ...);
  // The n-th newest record (0 = newest) without its line feed into out
  // (size bytes, at most EVTLOG_RECORD_SIZE are used); 1 when found, else 0.
  int (*ReadRecord)(int n, char* out, size_t size);
  // Cuts a record in place into code, level, date, time and text; 1 when all
  // five fields were found, else 0 and the record is unchanged.
  int (*SplitRecord)(char* record, char** code, char** level, char** date, char** time, char** text);
  void (*Clear)();
  // Page p (0 = newest) of 30 records as EVTLOG_PAGE_NAME.
  void (*ExportPage)(int page);
  // Every record dated from..to (inclusive) as EVTLOG_PAGE_NAME.
  void (*ExportRange)(TimeDate from, TimeDate to);
  // Up to five page buttons into out; returns the characters written.
  int (*PageButtons)(char* out, size_t size, int page);
  // The whole log as EVTLOG_CSV_NAME.
  void (*ExportCsv)();
};
extern EvtLogOpsTable EvtLogOps;

void EvtLog_Init(const char* installDir);
void EvtLog_Exit();

// Fills the "%s" places of format with args, in order, into out (size
// bytes, always terminated): a "%s" beyond the arguments and a "%" anywhere
// else stay as they stand; control characters (of the arguments and of the
// format) become '?', so a filled text is always one line; a cut never
// splits a UTF-8 character. Returns the length written.
size_t EvtLog_FillText(char* out, size_t size, const char* format, const char* const* args, int argCount);

// "System", "Information", "Warning", "Severity"; "System" for any other level.
const char* EvtLog_LevelWord(int level);
