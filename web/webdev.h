// Device pages: the variable writer and the form handler that take every
// template name and every posted form the system pages do not know. The
// writer picks a name group by the name's first characters and an entry of
// the group by prefix; the handler picks a page by the form name, parses the
// form and tests the form token. The groups and pages are tables of handler
// pointers; a null pointer marks one that is not built (a group then writes
// nothing, a page answers the "not found" error). Also the reply helpers,
// the form-field helpers and the value formatters the group and page
// modules share.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "web/httpd.h"

// ---- variable writer --------------------------------------------------------

// One variable to write: the entry that took the name and its number suffix.
struct WebDevVarCall {
  FILE* page;
  int entry;  // index of the matched name within its group, in stored order
  int n;      // decimal number after the matched name; 0 when the group reads none
  int pairCount;
  HttpQueryPair* pairs;
};
using WebDevVarFn = void (*)(const WebDevVarCall& call);

// A name group: the names CfgKeyTable[first .. first + count - 1].
struct WebDevGroup {
  const char* key;  // the group's names begin with these characters
  int keyLength;
  int first;        // CfgKeyIndex of the group's first name
  int count;
  uint8_t suffix;   // the rest of the name is read as a number
  WebDevVarFn handler;
};
constexpr int WEBDEV_GROUPS = 18;
// In the order the groups are tried (the first whose key matches takes the name).
extern WebDevGroup WebDevGroups[WEBDEV_GROUPS];

// Writes the value of one template variable into the page (nothing without
// a page); the reply record keeps the value text.
void WebDev_WriteVar(FILE* page, const char* name, int pairCount, HttpQueryPair* pairs);

// Index of the group that takes the name, or -1.
int WebDev_SelectGroup(const char* name);
// Index within the group of the first name that is a prefix of name, or -1.
int WebDev_SelectEntry(int group, const char* name);

// ---- form handler -----------------------------------------------------------

using WebDevPageFn = void (*)(HttpConn* conn);
struct WebDevPage {
  const char* name;  // a posted form name that begins with it selects the page
  uint8_t token;     // the form token is tested before the page runs
  WebDevPageFn handler;
  int8_t maxLevel;   // the highest access level that may post it (websys.h)
  const char* page;  // the page that carries the form
};
constexpr int WEBDEV_PAGES = 19;
extern WebDevPage WebDevPages[WEBDEV_PAGES];

// Handles a posted form: the reply text it leaves in WebReply (the refusal
// when the session's level or form token does not allow it); sets the
// written flag.
void WebDev_HandleForm(HttpConn* conn);
// Index of the page for a form name, or -1.
int WebDev_SelectPage(const char* form);

// Seconds the download-notice page waits before it fetches an export: 5 at
// start, 3 after an event-log CSV export, 5 after a data-history one.
extern int WebDevNoticeDelay;

// Reply texts every page shares.
extern const char* const WEBDEV_NOT_FOUND;  // "FIFO_GROUP_POST not found!" error
extern const char* const WEBDEV_UPDATED;    // "Updated successfully." information

// ---- reply text ---------------------------------------------------------------

// Empties the reply text (length 0).
void WebDev_ClearReply();
// Replaces the reply text (cut to its 4095 characters); length = characters + 1.
void WebDev_SetText(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Replaces the reply text with the text escaped for HTML (see WebDev_Escape).
void WebDev_SetEscaped(const char* text);
// Adds one list row at the end of the reply text. A row that would pass the
// reply text's 4095 characters sends the rows collected so far to the page
// first, so the page receives every row in order.
void WebDev_AppendRow(FILE* page, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The text with < > & " ' written as character references, into out (size
// bytes, always terminated, never cutting a reference). Returns the length.
size_t WebDev_Escape(char* out, size_t size, const char* text);
// Writes the text escaped for HTML straight into the page.
void WebDev_PutEscaped(FILE* page, const char* text);

// ---- posted fields --------------------------------------------------------------

// A field matches a key when its name begins with the key.
bool WebDev_FieldIs(int index, const char* key);
// The first and the last posted field matching the key; -1 when none.
int WebDev_FirstField(const char* key);
int WebDev_LastField(const char* key);
// The field's value as text ("" for none).
const char* WebDev_Value(int index);
// The value read as a number (atoi semantics, clamped to the int range).
int WebDev_Number(int index);
// The decimal number written after the key in the field's name.
int WebDev_NameNumber(int index, const char* key);
// The page's button: fields in posted order, for each field the keys in
// their order; the index of the first key a field matches, or -1.
int WebDev_Button(const char* const* keys, int count);
// atoi semantics (leading blanks, sign, digits; none gives 0), clamped to
// the int range instead of overflowing.
int WebDev_Atoi(const char* text);

// Fields posted (at most WEB_FORM_FIELDS).
int WebDev_FieldCount();
// A posted number: blanks, an optional sign, decimal digits, blanks; and
// within lo..hi. Text that is no number is refused rather than read as 0.
bool WebDev_ParseNumber(const char* text, long long lo, long long hi, long long* out);
// The field's number checked by WebDev_ParseNumber; false after leaving the
// refusal of WebDev_RefuseNumber. label is the field's label as the page
// shows it.
bool WebDev_CheckNumber(int field, const char* label, long long lo, long long hi);
// The number of a field that WebDev_CheckNumber accepted.
int32_t WebDev_CheckedNumber(int field);
// Leave the reply for a value its setting cannot hold: a number outside
// lo..hi or no number, a text longer than maxChars characters. Both name
// the field by its label on the page (never posted text) and say that
// nothing was changed.
void WebDev_RefuseNumber(const char* label, long long lo, long long hi);
void WebDev_RefuseText(const char* label, size_t maxChars);
// Saves config.ini (WebSys_SaveSettings); the given reply on success, else
// WEBDEV_NOT_SAVED, the change undone. Whether it was saved.
bool WebDev_SaveAndReply(const char* reply);
// config.ini could not be rewritten: the change was undone.
extern const char* const WEBDEV_NOT_SAVED;

// ---- value formatters -----------------------------------------------------------

// The tenths reading values[index] as "%d.%d" ("-1" when not reported).
void WebFmt_Tenths(int index, WebReplyRecord* reply);
// One severity digit ('0' not available, '1' normal, '2' warning, '3' out of
// range) for the phase voltages of a side: 0 input, 1 output, 2 bypass.
void WebFmt_RangeStatus(int kind, WebReplyRecord* reply);
// Severity digit of the input phase frequencies against the rated one.
void WebFmt_DeviationStatus(WebReplyRecord* reply);
// Severity digit of the output phase loads.
void WebFmt_LoadStatus(WebReplyRecord* reply);
