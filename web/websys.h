// System pages: page variables and forms of the login page, the accounts,
// the system information, the web, SNMP, mail and SMS settings. The site
// texts are the [System] section of config.ini, the management switch the
// [Manageable] section.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <functional>

#include "web/httpd.h"

struct WebSysInfo {
  wchar_t installDate[33];   // "Install Date="
  wchar_t location[65];      // "Location="
  wchar_t description[129];  // "Description="
  wchar_t contactor[33];     // "Contactor="
  wchar_t name[33];          // "Name="
};
extern WebSysInfo WebSysInfoText;

// "Enable=" of [Manageable]: management through the network on (1) or off.
extern int32_t WebSysManageable;
// "Manager Permission=" of [Manageable]: the permission SNMPv3 user 1 had
// when the switch turned management off, given back when it turns it on
// again (0: none kept). Kept in config.ini so that it outlives a restart.
extern uint8_t WebSysManagerPermission;

// The system page variable writer: names of its groups are answered here,
// every other name goes to the device writer.
void WebSys_WriteVar(FILE* page, const char* name, int pairCount, HttpQueryPair* pairs);
// The system form handler: its forms are handled here, every other form
// goes to the device handler. Sets the reply's written flag.
void WebSys_HandleForm(HttpConn* conn);
// The settings of the form being handled: the form dispatch (the system
// handler, and the device handler) holds one while its form runs; it
// keeps every setting as it stood before the form changed any, and when
// the form ends it carries out what the form queued for a save that
// stored its change (WebSys_AfterSave).
class WebSysFormSettings {
 public:
  WebSysFormSettings();
  ~WebSysFormSettings();
  WebSysFormSettings(const WebSysFormSettings&) = delete;
  WebSysFormSettings& operator=(const WebSysFormSettings&) = delete;

 private:
  bool outer_;  // the device handler runs inside the system handler's
};
// Saves config.ini for the form being handled; true when saved. When it
// cannot be written, every setting is put back as it stood before the form
// (or as its last save wrote it), so nothing is in force that config.ini
// does not hold, and the form's queued effects are dropped.
bool WebSys_SaveSettings();
// The same for a save made otherwise (an imported file): saved as given.
bool WebSys_SettingsSaved(bool saved);
// What follows from a form's change beyond the settings themselves:
// sockets or listeners opened anew, the modem moved, keys localised,
// countdowns and latches reset, messages posted, commands sent, files
// removed. The form queues it; when the form ends and its last save
// stored the change, the effects are carried out in the order queued. A
// failed save drops them with the change, and a form that made no save
// carries out none.
void WebSys_AfterSave(std::function<void()> effect);
// Index of the first posted field whose name's first 7 characters equal
// those of the given name ("SYS_UCT..." finds the form token); -1 if none.
int WebSys_FindFormVar(const char* name);

// Who may post a form: the highest access level that may (0 administrator,
// 1 device, 2 user; WEB_LEVEL_ANYONE needs no session), whether its form
// token is tested, and the page that carries the form.
constexpr int WEB_LEVEL_ANYONE = 3;
struct WebFormAccess {
  int maxLevel;
  bool token;
  const char* page;
};
// The one check of every form before it runs, against the request's session
// (WebLoginLevel and the current session). A refused post changes nothing:
// the reply is left (no session: log in again; a level too low: refused;
// a token not of this session's recent pages: the page is out of date, with
// the way back to it) and false returned.
bool WebSys_FormAllowed(const WebFormAccess& access);
// Leaves the reply of a post the session's level may not make.
void WebSys_RefuseLevel();
// The input check of the forms: count (below 16), then that many field
// names (const char*). When a posted field whose name's first 7 characters
// equal one of theirs holds one of < > & ' " or a control character, the
// "Incorrect input!" reply is left and 1 returned; else 0. A count of 16 or
// more returns 1 without a reply.
int WebSys_CheckInput(int count, ...);

// Text escaping of the page values: for HTML text and quoted attributes
// (& < > " ' as character references), and for a quoted script string
// inside an HTML attribute (\ ' " < > & and control characters as \xNN).
// Both write at most size - 1 bytes and never cut an escape; they return
// the length written.
size_t WebSys_HtmlEscape(char* out, size_t size, const char* text);
size_t WebSys_ScriptEscape(char* out, size_t size, const char* text);
