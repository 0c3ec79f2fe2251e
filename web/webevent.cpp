// Event level, download-notice and Wake-on-LAN pages: the EVT_, NOT_ and
// WOL_ variables and the event_iconfig and wol_iconfig forms. The event
// table and its language files belong to events/evtdef.h, the host list and
// its countdowns to events/wol.h; the forms change them in place, the event
// form rewrites the UPS language file and the host form saves config.ini.
// Both forms check every value before they change anything.
#include "web/webevent.h"

#include <cstring>
#include <string>

#include "core/cfg.h"
#include "core/helpers.h"
#include "events/evtdef.h"
#include "events/wol.h"
#include "web/websys.h"

namespace {

// ---- replies ------------------------------------------------------------------

// Back to the list, which shows the event saved (its number and new
// level after "#saved-") in its row.
const char* const kLevelUpdated = "OK: Redirect=/en/device/dev_event.asp";
const char* const kLevelSaved = "OK: Redirect=/en/device/dev_event.asp#saved-%d-%d";
const char* const kWrongIndex =
    "Message: Title=Wrong Index Number\nBody=<font color=#808000>The index number is incorrect.</font>\n";
const char* const kWolUpdated =
    "Message: Redirect=/en/net_wol.asp\nTitle=Information\nBody=<font color=#008000>Updated successfully.</font>\n";
const char* const kWolInvalid =
    "Message: Title=Error\nBody=<font color=#F00000>Invalid data, please check the input value!</font>\n";
const char* const kWolFull =
    "Message: Title=Error\nBody=<font color=#F00000>Exceed the maximum number of WOL!</font>\n";
const char* const kWolSameMac = "Message: Title=Error\nBody=<font color=#F00000>Already has the same MAC!</font>\n";
const char* const kWolEmpty = "Message: Title=Error\nBody=<font color=#F00000>Cannot delete anymore!</font>\n";

// ---- escaping -----------------------------------------------------------------

// A text as the argument of a page-script call inside an onclick attribute.
std::string ScriptText(const char* text) {
  std::string out(4 * strlen(text) + 1, '\0');
  out.resize(WebSys_ScriptEscape(out.data(), out.size(), text));
  return out;
}

// A text as page text.
std::string HtmlText(const char* text) {
  std::string out(6 * strlen(text) + 1, '\0');
  out.resize(WebDev_Escape(out.data(), out.size(), text));
  return out;
}

// ---- EVT_ ---------------------------------------------------------------------

enum EvtEntry { EVT_LIST_ADD, EVT_FUNC_LOAD };

// The event list shows a text without its first parenthesised part (the
// place of an argument or a remark): "(" through the first ")" is removed,
// and without a ")" the text ends before the "(".
std::string ListText(const char* text) {
  const char* open = strchr(text, '(');
  if (!open) return text;
  std::string out(text, open);
  if (const char* close = strchr(open, ')')) out += close + 1;
  return out;
}

// Class word and level word of a level. The levels the files are meant to
// hold are 0..3; another number shows as itself.
struct LevelWords {
  const char* cls;
  const char* word;
  char number[4];
};
LevelWords WordsOf(uint8_t level) {
  static const char* const kClass[] = {"bold", "normal", "warning", "critical"};
  static const char* const kWord[] = {"System", "Information", "Warning", "Severity"};
  LevelWords w{};
  if (level <= EVT_LEVEL_SEVERITY) {
    w.cls = kClass[level];
    w.word = kWord[level];
  } else {
    snprintf(w.number, sizeof w.number, "%u", level);
    w.cls = "normal";
    w.word = w.number;
  }
  return w;
}

const char* const kEvtRow =
    "<tr><td class=%s>%d</td><td><a href=\"#\" id=\"%d\" onclick=\"Func_Select(%d,'%s',%d);\">%s</a></td>"
    "<td class=%s>%s</td><td></td></tr>\n";

void EventList(FILE* page) {
  int shown = 0;
  for (int i = 0; i < EVT_UPS_COUNT; ++i) {
    const char* text = EvtUpsEvents.text[i];
    if (!text || !*text) continue;
    const uint8_t level = EvtUpsEvents.level[i];
    const LevelWords w = WordsOf(level);
    const std::string cut = ListText(text);
    WebDev_AppendRow(page, kEvtRow, w.cls, ++shown, i + 1, i + 1, ScriptText(cut.c_str()).c_str(), level,
                     HtmlText(cut.c_str()).c_str(), w.cls, w.word);
  }
}

// ---- WOL_ ---------------------------------------------------------------------

enum WolEntry { WOL_LIST_ADD, WOL_FUNC_LOAD };

int HostCount() { return WolSetting.hostCount < WOL_HOSTS ? WolSetting.hostCount : WOL_HOSTS; }

// At most the 32 characters of the field, terminated or not.
std::string Title(const WolHost& h) { return std::string(h.title, strnlen(h.title, sizeof h.title - 1)); }

const char* const kWolRow =
    "<tr><td>%d</td><td><a href=\"#\" id=\"%d\" onclick=\"Func_Select(%d,'%s',%d,%d,%d,%d,'%s');\">%s</a></td>"
    "<td>%s</td><td>%d</td><td>%s</td><td>%s</td></tr>\n";
const char* const kWolCall = "Func_Select(%d,'%s',%d,%d,%d,%d,'%s')";
const char* const kNoMac = "00-00-00-00-00-00";

const char* YesNo(uint8_t flag) { return flag ? "Yes" : "No"; }

void HostList(FILE* page) {
  const int count = HostCount();
  if (count == 0) WebDev_AppendRow(page, kWolRow, 1, 1, 1, kNoMac, 0, 0, 0, 0, "None", "None", kNoMac, 0, "No", "No");
  for (int i = 0; i < count; ++i) {
    const WolHost& h = WolSetting.hosts[i];
    char mac[18];
    Net_FormatMac(mac, h.mac);
    const std::string title = Title(h);
    WebDev_AppendRow(page, kWolRow, i + 1, i + 1, i + 1, mac, h.delay, h.powerRestore, h.sysStartup, count,
                     ScriptText(title.c_str()).c_str(), HtmlText(title.c_str()).c_str(), mac, h.delay,
                     YesNo(h.powerRestore), YesNo(h.sysStartup));
  }
}

// ---- wol_iconfig ----------------------------------------------------------------

// A MAC address as the page takes it: six groups of one or two hex digits
// joined by "-", nothing before or after. Net_ParseMac alone would read a
// group such as "G1" or an empty last group as 0, storing another address.
bool ParseMac(const char* text, uint8_t mac[6]) {
  const char* p = text;
  for (int group = 0; group < 6; ++group) {
    if (group > 0 && *p++ != '-') return false;
    const size_t digits = strspn(p, "0123456789ABCDEFabcdef");
    if (digits < 1 || digits > 2) return false;
    p += digits;
  }
  const char* rest = Net_ParseMac(mac, text);
  return rest && !*rest;
}

// The title as stored: its first 32 bytes, never ending inside a UTF-8
// character.
void CopyTitle(char (&out)[33], const char* text) {
  size_t n = strnlen(text, sizeof out - 1);
  if (text[n])
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  memcpy(out, text, n);
  out[n] = 0;
}

enum WolOp { OP_NONE, OP_ADD, OP_EDIT, OP_DEL };

}  // namespace

// ---- group handlers -------------------------------------------------------------

void WebEvent_EvtVar(const WebDevVarCall& call) {
  switch (call.entry) {
    case EVT_LIST_ADD: EventList(call.page); break;
    case EVT_FUNC_LOAD: {
      const char* text = EvtUpsEvents.text[0] ? EvtUpsEvents.text[0] : "";
      WebDev_SetText("Func_Select(%d,'%s',%d)", 1, ScriptText(text).c_str(), EvtUpsEvents.level[0]);
      break;
    }
    default: break;
  }
}

void WebEvent_NoticeVar(const WebDevVarCall&) { WebDev_SetText("%d", WebDevNoticeDelay); }

void WebEvent_WolVar(const WebDevVarCall& call) {
  switch (call.entry) {
    case WOL_LIST_ADD: HostList(call.page); break;
    case WOL_FUNC_LOAD: {
      if (HostCount() == 0) {
        WebDev_SetText(kWolCall, 1, kNoMac, 0, 0, 0, 0, "None");
        break;
      }
      const WolHost& h = WolSetting.hosts[0];
      char mac[18];
      Net_FormatMac(mac, h.mac);
      WebDev_SetText(kWolCall, 1, mac, h.delay, h.powerRestore, h.sysStartup, HostCount(),
                     ScriptText(Title(h).c_str()).c_str());
      break;
    }
    default: break;
  }
}

// ---- pages ------------------------------------------------------------------------

void WebEvent_LevelPage(HttpConn*) {
  const int edit = WebDev_FirstField("EVENT_EDIT");
  int edited = -1;
  uint8_t was = 0;
  if (edit >= 0) {
    // The event number; 0 (or none) stands for the first event.
    const int n = WebDev_NameNumber(edit, "EVENT_EDIT");
    const int index = n == 0 ? 0 : n - 1;
    if (n < 0 || index >= EVT_UPS_COUNT) {
      WebDev_SetText("%s", kWrongIndex);
      return;
    }
    const int type = WebDev_FirstField("EVENT_TYPE");
    if (type >= 0) {
      // A level outside 0..3 has no meaning for the log, the mail and the traps.
      if (!WebDev_CheckNumber(type, "Level", EVT_LEVEL_SYSTEM, EVT_LEVEL_SEVERITY)) return;
      // The alarm processing reads the level at each event: it takes effect at once.
      edited = index;
      was = EvtUpsEvents.level[index];
      EvtUpsEvents.level[index] = static_cast<uint8_t>(WebDev_CheckedNumber(type));
    }
  }
  const bool saved = EvtDefOps.SaveUps && EvtDefOps.SaveUps(EvtDef_LanguageDir(CfgLanguage));
  // A level the language file could not take is undone: the one in force is
  // the one the file holds.
  if (!saved && edited >= 0) EvtUpsEvents.level[edited] = was;
  if (edit < 0) return;
  if (!saved)
    WebDev_SetText("%s", WEBDEV_NOT_SAVED);
  else if (edited >= 0)
    WebDev_SetText(kLevelSaved, edited + 1, EvtUpsEvents.level[edited]);
  else
    WebDev_SetText("%s", kLevelUpdated);  // no level posted: nothing to show
}

void WebEvent_WolPage(HttpConn*) {
  if (WebSys_CheckInput(1, "WOL_TIT")) return;  // its reply stands
  WolOp op = OP_NONE;
  int row = 0, title = -1, macField = -1, delay = -1;
  bool powerRestore = false, sysStartup = false;
  static const char* const kOps[] = {"WOL_ADD", "WOL_EDIT", "WOL_DEL"};
  for (int i = 0; i < WebDev_FieldCount(); ++i) {
    bool isOp = false;
    for (int k = 0; k < 3 && !isOp; ++k) {
      if (!WebDev_FieldIs(i, kOps[k])) continue;
      isOp = true;
      op = static_cast<WolOp>(OP_ADD + k);  // the last one posted counts
      row = WebDev_NameNumber(i, kOps[k]);
    }
    if (isOp) continue;
    if (WebDev_FieldIs(i, "WOL_TIT")) title = i;
    else if (WebDev_FieldIs(i, "WOL_MAC")) macField = i;
    else if (WebDev_FieldIs(i, "WOL_DLY")) delay = i;
    else if (WebDev_FieldIs(i, "WOL_PR")) powerRestore = true;
    else if (WebDev_FieldIs(i, "WOL_SS")) sysStartup = true;
  }

  const int count = HostCount();
  if (op == OP_DEL) {
    if (count == 0) return WebDev_SetText("%s", kWolEmpty);
    if (row < 1 || row > count) return WebDev_SetText("%s", kWolInvalid);
    // The later hosts move down with their running countdowns, so that a
    // countdown still wakes its own host and none is left behind the list.
    const int at = row - 1;
    memmove(&WolSetting.hosts[at], &WolSetting.hosts[at + 1], sizeof(WolHost) * (count - row));
    WolSetting.hosts[count - 1] = WolHost{};
    WolSetting.hostCount = static_cast<uint8_t>(count - 1);
    // A failed save puts the hosts back where their countdowns are.
    WebSys_AfterSave([at, count, row] {
      memmove(&WolCountdown[at], &WolCountdown[at + 1], sizeof(int32_t) * (count - row));
      WolCountdown[count - 1] = 0;
    });
    WebDev_SaveAndReply(kWolUpdated);
    return;
  }

  uint8_t mac[6];
  if (op == OP_NONE || row < 0 || title < 0 || macField < 0 || delay < 0 ||
      !ParseMac(WebDev_Value(macField), mac) || (op == OP_EDIT && (row < 1 || row > count)))
    return WebDev_SetText("%s", kWolInvalid);
  if (!WebDev_CheckNumber(delay, "Delay (minutes)", 0, UINT8_MAX)) return;
  if (op == OP_ADD && count >= WOL_HOSTS) return WebDev_SetText("%s", kWolFull);
  for (int i = 0; i < count; ++i) {
    if (op == OP_EDIT && i == row - 1) continue;
    if (memcmp(WolSetting.hosts[i].mac, mac, sizeof mac) == 0) return WebDev_SetText("%s", kWolSameMac);
  }

  WolHost h{};
  CopyTitle(h.title, WebDev_Value(title));
  memcpy(h.mac, mac, sizeof mac);
  h.delay = static_cast<uint8_t>(WebDev_CheckedNumber(delay));
  h.powerRestore = powerRestore ? 1 : 0;
  h.sysStartup = sysStartup ? 1 : 0;
  if (op == OP_ADD) {
    WolSetting.hosts[count] = h;
    WebSys_AfterSave([count] { WolCountdown[count] = 0; });  // a new host waits for its first arming
    WolSetting.hostCount = static_cast<uint8_t>(count + 1);
  } else {
    // Its countdown keeps running; the flags count at the next arming.
    WolSetting.hosts[row - 1] = h;
  }
  WebDev_SaveAndReply(kWolUpdated);
}
