// Device page framework: the name groups and the page table, the frames of
// the variable writer and the form handler, the reply and field helpers and
// the four value formatters.
#include "web/webdev.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/cfg.h"
#include "events/dlog.h"
#include "events/react.h"
#include "ups/com.h"
#include "ups/upsdata.h"
#include "web/webbatch.h"
#include "web/webevent.h"
#include "web/webhist.h"
#include "web/webreact.h"
#include "web/websess.h"
#include "web/websnmp.h"
#include "web/websys.h"
#include "web/webstatus.h"
#include "web/webups.h"

// Groups in the order they are tried; stored in CfgKeyTable in the same order.
WebDevGroup WebDevGroups[WEBDEV_GROUPS] = {
    {"SUM", 3, CFG_DEV_SUM, CFG_DEV_UPS - CFG_DEV_SUM, 0, WebStatus_SumVar},
    {"UPS", 3, CFG_DEV_UPS, CFG_DEV_PRP - CFG_DEV_UPS, 1, WebStatus_UpsVar},
    {"PRP", 3, CFG_DEV_PRP, CFG_DEV_CFG - CFG_DEV_PRP, 1, WebStatus_PrpVar},  // the number is read, not used
    {"CFG", 3, CFG_DEV_CFG, CFG_DEV_CTL - CFG_DEV_CFG, 1, WebUps_CfgVar},
    {"CTL", 3, CFG_DEV_CTL, CFG_DEV_IMG - CFG_DEV_CTL, 0, WebUps_CtlVar},
    {"IMG", 3, CFG_DEV_IMG, CFG_DEV_NCS - CFG_DEV_IMG, 0, WebStatus_ImgVar},
    {"NCS", 3, CFG_DEV_NCS, CFG_DEV_LOG - CFG_DEV_NCS, 0, WebSnmp_NcsVar},    // network shutdown clients
    {"LOG", 3, CFG_DEV_LOG, CFG_DEV_DATA - CFG_DEV_LOG, 0, WebHist_LogVar},   // event-log viewer
    {"DATA", 4, CFG_DEV_DATA, CFG_DEV_HCG - CFG_DEV_DATA, 0, WebHist_DataVar}, // data-log viewer
    {"HCG", 3, CFG_DEV_HCG, CFG_DEV_ACT - CFG_DEV_HCG, 0, WebHist_ConfigVar},    // history settings
    {"ACT", 3, CFG_DEV_ACT, CFG_DEV_WSH - CFG_DEV_ACT, 0, WebReact_ActVar},    // reactions, COM port
    {"WSH", 3, CFG_DEV_WSH, CFG_DEV_SSH - CFG_DEV_WSH, 1, WebReact_WeeklyVar},    // weekly schedule
    {"SSH", 3, CFG_DEV_SSH, CFG_DEV_EVT - CFG_DEV_SSH, 1, WebReact_SpecificVar},    // specific schedule
    {"EVT", 3, CFG_DEV_EVT, CFG_DEV_TRAP - CFG_DEV_EVT, 0, WebEvent_EvtVar},   // event levels
    {"TRAP", 4, CFG_DEV_TRAP, CFG_DEV_NOT - CFG_DEV_TRAP, 0, WebSnmp_TrapVar}, // trap receivers
    {"NOT", 3, CFG_DEV_NOT, CFG_DEV_WOL - CFG_DEV_NOT, 0, WebEvent_NoticeVar},    // download notice
    {"WOL", 3, CFG_DEV_WOL, CFG_DEV_DBG - CFG_DEV_WOL, 0, WebEvent_WolVar},    // Wake-on-LAN hosts
    {"DBG", 3, CFG_DEV_DBG, CFG_DEV_END - CFG_DEV_DBG, 0, WebBatch_DbgVar},    // link statistics, trace
};

// Pages by index; the first whose name is a prefix of the form name is taken.
// The device account (level 1) may post the UPS and device pages; the user
// account (2) only the viewers, which change nothing but its own view.
WebDevPage WebDevPages[WEBDEV_PAGES] = {
    {"hist_log", 0, WebHist_LogPage, 2, "/en/hist_log.asp"},
    {"hist_config", 1, WebHist_ConfigPage, 1, "/en/hist_config.asp"},
    {"mgnt_reaction", 1, WebReact_ReactionPage, 1, "/en/device/mgnt_reaction.asp"},
    {"dev_snmpv1", 1, WebSnmp_PortPage, 1, "/en/net_snmpaccess.asp"},
    {"dev_iaccess", 1, WebSnmp_AccessPage, 1, "/en/net_snmpaccess.asp"},
    {"dev_snmpv3", 1, WebSnmp_ContextPage, 1, "/en/net_snmpusm.asp"},
    {"dev_iusm", 1, WebSnmp_UsmPage, 1, "/en/net_snmpusm.asp"},
    {"sys_batch", 1, WebBatch_SysBatchPage, 0, "/en/sys_batch.asp"},
    {"trap_iconfig", 1, WebSnmp_TrapPage, 1, "/en/device/net_snmptrap.asp"},
    {"mgnt_wschedule", 1, WebReact_WeeklyPage, 1, "/en/device/mgnt_wschedule.asp"},
    {"mgnt_sschedule", 1, WebReact_SpecificPage, 1, "/en/device/mgnt_sschedule.asp"},
    {"wol_iconfig", 1, WebEvent_WolPage, 1, "/en/net_wol.asp"},
    {"mgnt_comport", 1, WebReact_ComPortPage, 1, "/en/device/mgnt_comport.asp"},
    {"hist_data", 0, WebHist_DataPage, 2, "/en/hist_data.asp"},
    {"event_iconfig", 1, WebEvent_LevelPage, 1, "/en/device/dev_event.asp"},
    {"dev_iconfig", 1, WebUps_ConfigPage, 1, "/en/device/ups_config.asp"},
    {"dev_icontrol", 1, WebUps_ControlPage, 1, "/en/device/mgnt_control.asp"},
    {"mgnt_control", 1, WebUps_MgntControlPage, 1, "/en/device/mgnt_control.asp"},
    {"debug", 0, WebBatch_DebugPage, 1, "/debug.asp"},
};

int WebDevNoticeDelay = 5;

const char* const WEBDEV_NOT_FOUND =
    "Message: Title=Error\nBody=<font color=#F00000>FIFO_GROUP_POST not found!</font>\n";
const char* const WEBDEV_UPDATED =
    "Message: Title=Information\nBody=<font color=#008000>Updated successfully.</font>\n";
const char* const WEBDEV_NOT_SAVED =
    "Message: Title=Error\nBody=<font color=#F00000>The settings could not be saved.</font>\n";

namespace {

constexpr size_t kTextMax = sizeof WebReply.text - 1;

bool StartsWith(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

void SetLength() { WebReply.length = static_cast<uint16_t>(strlen(WebReply.text) + 1); }

// The user command file as posted: the stored one, unchanged.
bool SameCommandFile(const char* posted) {
  char stored[REACT_COMMAND_CHARS * 8 + 1];
  Cfg_WideToText(stored, sizeof stored, ReactSetting.commandFile);
  return strcmp(posted, stored) == 0;
}

// The export directory as posted: the stored one, with or without the
// closing '/' that storing adds.
bool SameExportPath(const char* posted) {
  char stored[DLOG_PATH_CHARS * 8 + 1];
  Cfg_WideToText(stored, sizeof stored, DLogSetting.exportPath);
  const size_t n = strlen(posted);
  return strcmp(posted, stored) == 0 || (strncmp(posted, stored, n) == 0 && stored[n] == '/' && stored[n + 1] == 0);
}

// The UPS device path as posted: the stored one.
bool SameComPath(const char* posted) { return strcmp(posted, ComPathSetting) == 0; }

// Fields that name a program the service runs, a directory it writes into
// or a device it opens as the UPS port (as root): only the administrator
// may change them; the other levels that may post the page send them
// unchanged.
const struct {
  const char* page;
  const char* key;
  bool (*unchanged)(const char* posted);
} kProgramFields[] = {
    {"mgnt_reaction", "ACT_CMD_FILE", SameCommandFile},
    {"hist_config", "HCG_AE_PATH", SameExportPath},
    {"mgnt_comport", "ACT_COM_PATH", SameComPath},
};

bool ProgramFieldsKept(const WebDevPage& page) {
  if (WebLoginLevel == 0) return true;
  for (const auto& p : kProgramFields) {
    if (strcmp(page.name, p.page) != 0) continue;
    for (int i = 0; i < WebDev_FieldCount(); ++i)
      if (WebDev_FieldIs(i, p.key) && !p.unchanged(WebDev_Value(i))) return false;
  }
  return true;
}

}  // namespace

// ---- variable writer --------------------------------------------------------

int WebDev_SelectGroup(const char* name) {
  for (int g = 0; g < WEBDEV_GROUPS; ++g)
    if (strncmp(name, WebDevGroups[g].key, static_cast<size_t>(WebDevGroups[g].keyLength)) == 0) return g;
  return -1;
}

int WebDev_SelectEntry(int group, const char* name) {
  if (group < 0 || group >= WEBDEV_GROUPS) return -1;
  const WebDevGroup& g = WebDevGroups[group];
  for (int i = 0; i < g.count; ++i)
    if (StartsWith(name, CfgKeyTable[g.first + i])) return i;
  return -1;
}

void WebDev_WriteVar(FILE* page, const char* name, int pairCount, HttpQueryPair* pairs) {
  WebDev_ClearReply();
  if (!page || !name) return;
  const int group = WebDev_SelectGroup(name);
  if (group < 0) return;
  const int entry = WebDev_SelectEntry(group, name);
  if (entry < 0) return;
  const WebDevGroup& g = WebDevGroups[group];
  WebDevVarCall call{page, entry, 0, pairCount, pairs};
  if (g.suffix) call.n = WebDev_Atoi(name + strlen(CfgKeyTable[g.first + entry]));
  if (g.handler) g.handler(call);
  WebReply.written = 1;
  if (WebReply.text[0]) fputs(WebReply.text, page);
}

// ---- form handler -----------------------------------------------------------

int WebDev_SelectPage(const char* form) {
  for (int i = 0; i < WEBDEV_PAGES; ++i)
    if (StartsWith(form, WebDevPages[i].name)) return i;
  return -1;
}

void WebDev_HandleForm(HttpConn* conn) {
  const WebSysFormSettings settings;
  WebDev_ClearReply();
  const int index = conn && conn->uri ? WebDev_SelectPage(conn->uri) : -1;
  const WebDevPage* page = index >= 0 ? &WebDevPages[index] : nullptr;
  if (!page || !page->handler) {
    WebDev_SetText("%s", WEBDEV_NOT_FOUND);
    WebReply.written = 1;
    return;
  }
  if (conn->body && conn->bodyCount > 0)
    HttpdOps.ParseForm(conn->body, conn->bodyCount, conn->boundary);
  else
    WebFormFieldCount = 0;
  if (!WebSys_FormAllowed({page->maxLevel, page->token != 0, page->page})) {
    WebReply.written = 1;
    return;
  }
  if (!ProgramFieldsKept(*page)) {
    WebSys_RefuseLevel();
    WebReply.written = 1;
    return;
  }
  page->handler(conn);
  WebReply.written = 1;
}

// ---- reply text -------------------------------------------------------------

void WebDev_ClearReply() {
  WebReply.text[0] = 0;
  WebReply.length = 0;
}

void WebDev_SetText(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  vsnprintf(WebReply.text, sizeof WebReply.text, format, ap);
  va_end(ap);
  SetLength();
}

void WebDev_SetEscaped(const char* text) {
  WebDev_Escape(WebReply.text, sizeof WebReply.text, text ? text : "");
  SetLength();
}

void WebDev_AppendRow(FILE* page, const char* format, ...) {
  char row[WEB_REPLY_SIZE];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(row, sizeof row, format, ap);
  va_end(ap);
  if (n < 0) return;
  std::string longRow;
  if (static_cast<size_t>(n) >= sizeof row) {  // a row longer than the reply text itself
    longRow.resize(static_cast<size_t>(n) + 1);
    va_start(ap, format);
    vsnprintf(longRow.data(), longRow.size(), format, ap);
    va_end(ap);
    longRow.resize(static_cast<size_t>(n));
  }
  size_t used = strlen(WebReply.text);
  if (used + static_cast<size_t>(n) > kTextMax) {
    if (page) fputs(WebReply.text, page);
    WebReply.text[0] = 0;
    used = 0;
    if (static_cast<size_t>(n) > kTextMax) {
      if (page) fputs(longRow.c_str(), page);
      SetLength();
      return;
    }
  }
  memcpy(WebReply.text + used, row, static_cast<size_t>(n) + 1);
  SetLength();
}

size_t WebDev_Escape(char* out, size_t size, const char* text) {
  if (!out || size == 0) return 0;
  size_t n = 0;
  for (const char* p = text ? text : ""; *p; ++p) {
    const char* ref = nullptr;
    switch (*p) {
      case '<': ref = "&lt;"; break;
      case '>': ref = "&gt;"; break;
      case '&': ref = "&amp;"; break;
      case '"': ref = "&quot;"; break;
      case '\'': ref = "&#39;"; break;
      default: break;
    }
    size_t len = ref ? strlen(ref) : 1;
    if (n + len >= size) break;
    if (ref)
      memcpy(out + n, ref, len);
    else
      out[n] = *p;
    n += len;
  }
  out[n] = 0;
  return n;
}

void WebDev_PutEscaped(FILE* page, const char* text) {
  if (!page) return;
  for (const char* p = text ? text : ""; *p; ++p) {
    switch (*p) {
      case '<': fputs("&lt;", page); break;
      case '>': fputs("&gt;", page); break;
      case '&': fputs("&amp;", page); break;
      case '"': fputs("&quot;", page); break;
      case '\'': fputs("&#39;", page); break;
      default: fputc(*p, page); break;
    }
  }
}

// ---- posted fields ----------------------------------------------------------

bool WebDev_FieldIs(int index, const char* key) {
  if (index < 0 || index >= WebFormFieldCount || index >= WEB_FORM_FIELDS) return false;
  const char* name = WebFormFields[index].name;
  return name && StartsWith(name, key);
}

int WebDev_FirstField(const char* key) {
  for (int i = 0; i < WebFormFieldCount && i < WEB_FORM_FIELDS; ++i)
    if (WebDev_FieldIs(i, key)) return i;
  return -1;
}

int WebDev_LastField(const char* key) {
  int found = -1;
  for (int i = 0; i < WebFormFieldCount && i < WEB_FORM_FIELDS; ++i)
    if (WebDev_FieldIs(i, key)) found = i;
  return found;
}

const char* WebDev_Value(int index) {
  if (index < 0 || index >= WebFormFieldCount || index >= WEB_FORM_FIELDS) return "";
  const char* v = WebFormFields[index].valueStart;
  return v ? v : "";
}

int WebDev_Number(int index) { return WebDev_Atoi(WebDev_Value(index)); }

int WebDev_NameNumber(int index, const char* key) {
  if (!WebDev_FieldIs(index, key)) return 0;
  return WebDev_Atoi(WebFormFields[index].name + strlen(key));
}

int WebDev_Button(const char* const* keys, int count) {
  for (int i = 0; i < WebFormFieldCount && i < WEB_FORM_FIELDS; ++i)
    for (int k = 0; k < count; ++k)
      if (WebDev_FieldIs(i, keys[k])) return k;
  return -1;
}

int WebDev_Atoi(const char* text) {
  if (!text) return 0;

  long v = strtol(text, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

// ---- value formatters -------------------------------------------------------

namespace {

// Readings are unavailable while the link is lost.
int32_t Value(int index) { return UpsData_Reading(index); }

void SetDigit(WebReplyRecord* reply, char digit) {
  reply->text[0] = digit;
  reply->text[1] = 0;
  reply->length = 2;
}

char RangeDigit(int kind) {
  int phases;
  int volts[3];
  if (kind == 0) {
    phases = Value(VAL_INPHASE);
    volts[0] = Value(VAL_INVOLT1), volts[1] = Value(VAL_INVOLT2), volts[2] = Value(VAL_INVOLT3);
  } else if (kind == 2) {
    if (Value(VAL_BYPHASE) > 0)
      phases = Value(VAL_BYPHASE);
    else if (Value(VAL_PHASE) > 0)
      phases = Value(VAL_PHASE);
    else if (Value(VAL_INPHASE) > 0)
      phases = Value(VAL_INPHASE);
    else
      return '0';
    volts[0] = Value(VAL_BYVOLT1), volts[1] = Value(VAL_BYVOLT2), volts[2] = Value(VAL_BYVOLT3);
  } else {
    return '0';  // the output side has no limits to test against
  }
  if (phases < 1 || phases > 3) return '0';
  const int lo = Value(VAL_LOTXVOLT), hi = Value(VAL_HITXVOLT);
  for (int i = 0; i < phases; ++i) {
    const bool pass = (lo <= 0 || hi <= 0) ? volts[i] >= 100 : (lo <= volts[i] / 10 && volts[i] / 10 <= hi);
    if (!pass) return '3';
  }
  return '1';
}

}  // namespace

void WebFmt_Tenths(int index, WebReplyRecord* reply) {
  const int32_t v = Value(index);
  if (v == -1) {
    snprintf(reply->text, sizeof reply->text, "-1");
  } else {
    // The sign goes in front once: -25 is -2.5.
    const int64_t m = v < 0 ? -static_cast<int64_t>(v) : v;
    snprintf(reply->text, sizeof reply->text, "%s%lld.%lld", v < 0 ? "-" : "", static_cast<long long>(m / 10),
             static_cast<long long>(m % 10));
  }
  reply->length = static_cast<uint16_t>(strlen(reply->text) + 1);
}

void WebFmt_RangeStatus(int kind, WebReplyRecord* reply) { SetDigit(reply, RangeDigit(kind)); }

void WebFmt_DeviationStatus(WebReplyRecord* reply) {
  const int64_t rated = Value(VAL_RATFREQ);
  char digit = '1';
  for (int index : {VAL_INFREQ1, VAL_INFREQ2, VAL_INFREQ3}) {
    const int32_t f = Value(index);
    if (f == -1) continue;
    const int64_t d = rated - f;
    if (d > 30 || d < -30) digit = '3';
  }
  SetDigit(reply, digit);
}

void WebFmt_LoadStatus(WebReplyRecord* reply) {
  const int phases = Value(VAL_PHASE);
  char digit = '0';
  if (phases >= 1 && phases <= 3) {
    const int loads[3] = {Value(VAL_OUTLOAD1), Value(VAL_OUTLOAD2), Value(VAL_OUTLOAD3)};
    digit = '1';
    for (int i = 0; i < phases; ++i) {
      if (loads[i] >= 100) {
        digit = '3';
        break;
      }
      if (loads[i] >= 90) digit = '2';
    }
  }
  SetDigit(reply, digit);
}

// ---- checked form values --------------------------------------------------------

int WebDev_FieldCount() { return WebFormFieldCount < WEB_FORM_FIELDS ? WebFormFieldCount : WEB_FORM_FIELDS; }

bool WebDev_ParseNumber(const char* text, long long lo, long long hi, long long* out) {
  if (!text) return false;
  errno = 0;
  char* end = nullptr;
  const long long v = strtoll(text, &end, 10);
  if (end == text || errno == ERANGE) return false;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool WebDev_CheckNumber(int field, const char* label, long long lo, long long hi) {
  long long v;
  if (WebDev_ParseNumber(WebDev_Value(field), lo, hi, &v)) return true;
  WebDev_RefuseNumber(label, lo, hi);
  return false;
}

int32_t WebDev_CheckedNumber(int field) { return static_cast<int32_t>(strtoll(WebDev_Value(field), nullptr, 10)); }

void WebDev_RefuseNumber(const char* label, long long lo, long long hi) {
  WebDev_SetText(
      "Message: Title=Incorrect Value\nBody=<font color=#808000>%s: enter a number from %lld to %lld. Nothing was "
      "changed.</font>\n",
      label, lo, hi);
}

void WebDev_RefuseText(const char* label, size_t maxChars) {
  WebDev_SetText(
      "Message: Title=Incorrect Value\nBody=<font color=#808000>%s: enter at most %zu characters. Nothing was "
      "changed.</font>\n",
      label, maxChars);
}

bool WebDev_SaveAndReply(const char* reply) {
  const bool saved = WebSys_SaveSettings();
  WebDev_SetText("%s", saved ? reply : WEBDEV_NOT_SAVED);
  return saved;
}
