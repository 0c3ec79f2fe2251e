// Key catalogue of config.ini: every section and key, how its value is read
// and written, its width and limits, and the factory defaults.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <iterator>
#include <vector>

#include "core/cfg.h"
#include "core/helpers.h"
#include "core/svc.h"
#include "events/dlog.h"
#include "events/mail.h"
#include "events/react.h"
#include "events/sched.h"
#include "events/sms.h"
#include "events/wol.h"
#include "snmp/snmpagent.h"
#include "snmp/snmptrap.h"
#include "ups/com.h"
#include "ups/upsdata.h"
#include "web/httpd.h"
#include "web/websess.h"
#include "web/websys.h"

constexpr const char* CfgKeyTable[CFG_KEY_TABLE_SIZE] = {
    "English", "Traditional Chinese", "Simplified Chinese", "Polish",
    "Format", "Configuration", "System", "Web", "Shutdown", "Reaction", "COM", "Source IP",
    "SNMP Trap", "SNMP Server", "USM", "Manageable", "Data Log", "Weekly Schedule",
    "Specific Schedule", "Mail", "WOL", "SMS", "UPS", "End",
    "",
    // [Format]
    "Version=", "Restart=", "",
    // [Configuration]
    "Stop Service=", "Language=", "",
    // [System]
    "Install Date=", "Location=", "Description=", "Contactor=", "Name=", "",
    // [Web]: "Password Encrypt=" must stand before the numbered "Password".
    "HTTP Port=", "HTTPS Port=", "Enable HTTP=", "Enable HTTPS=", "Web Refresh=",
    "Password Encrypt=", "User", "Password", "Force HTTPS=", "Enable Login Lock=",
    "Login Retry=", "Locak Time=", "",
    // [Shutdown]
    "Type=", "UPS Delay=", "Power Fail Enable=", "Power Fail Delay=", "Battery Low Enable=",
    "Battery Low Delay=", "Overload Enable=", "Overload Delay=", "Bypass Enable=",
    "Bypass Delay=", "Schedule Shutdown Enable=", "Schedule Shutdown Delay=", "",
    // [Reaction]
    "Notify Message Enable=", "Notify Message Period=", "Execute Command Enable=",
    "Execute Command Before=", "Execute Command File=", "Send Smart Shutdown Trap Enable=",
    "Send Smart Shutdown Trap Before=", "",
    // [COM]
    "COM Port=", "COM Path=", "",
    // [Source IP]
    "",
    // [SNMP Trap]
    "Number=", "IP", "Port", "Community", "Type", "MIB", "Level", "User", "NCPort", "Twice", "",
    // [SNMP Server]
    "Listen Port=", "Number=", "IP", "Community", "Permission", "",
    // [USM]
    "Context Name=", "Password Encrypt=", "Number=", "User", "Security", "Auth", "Priv",
    "Permission", "",
    // [Manageable]
    "Enable=", "Manager Permission=", "",
    // [Data Log]
    "Maximum Storage=", "Export Period=", "Export Path=", "",
    // [Weekly Schedule]
    "Weekday", "Time", "Action", "",
    // [Specific Schedule]
    "Date", "Time", "Action", "",
    // [Mail]
    "Server=", "Port=", "Password Encrypt=", "Sender=", "Password=", "Receive Num=", "Receiver",
    "Level", "Mail Sender=", "Domain=", "",
    // [WOL]
    "WOL Num=", "MAC", "Delay", "Power Restore", "Sys Startup", "Title", "",
    // [SMS]
    "SMS COM Port=", "SMS Baud Rate=", "SMS Num=", "SMS Phone", "Level", "",
    // [UPS]
    "Enable Battery Low=", "Battery Low Level=", "Enable Replace Notify=", "Replace Notify Day=",
    "Last Battery Replace=", "Next Battery Replace=", "Load Bank PF Enable", "Load Bank PF Delay",
    "Load Bank BL Enable", "Load Bank BL Delay", "",
    // Device page variables. Within a group the first name that is a prefix
    // of a requested name takes it, so the order of each group is fixed.
    // SUM_
    "SUM_HOST_NAME", "SUM_OS_DESC", "SUM_UPS_PORT", "SUM_OS_COUNTDOWN", "SUM_SHUT_TYPE", "SUM_SLOG_LIST",
    "SUM_SLOG_NUM", "SUM_OS_CANCEL", "SUM_UPS_HEALTH", "SUM_SWVER", "SUM_OS_BANNER",
    // UPS_
    "UPS_MODEL", "UPS_COMMSTS", "UPS_INFREQ", "UPS_INVOLT", "UPS_INAMP", "UPS_OUTSRC", "UPS_OUTFREQ",
    "UPS_OUTVOLT", "UPS_OUTAMP", "UPS_OUTPOWER", "UPS_OUTLOAD", "UPS_BYFREQ", "UPS_BYVOLT", "UPS_BYAMP",
    "UPS_BYPOWER", "UPS_BATTSTS", "UPS_BATTCHARGE", "UPS_BATTVOLT", "UPS_BATTAMP", "UPS_NEGBATTAMP",
    "UPS_BATTLEVEL", "UPS_TEMP", "UPS_BATTREMAIN", "UPS_BATTLAST", "UPS_BATTNEXT", "UPS_ONBATTTIME",
    "UPS_OUTLETSTS", "UPS_SCH_NEXTOFF", "UPS_SCH_NEXTON", "UPS_SCH_NEXTTEST", "UPS_SCH_NEXTDEEPTEST",
    "UPS_COUNTDOWN", "UPS_SSCOUNTDOWN", "UPS_TYPE", "UPS_UPSVER", "UPS_FWVER", "UPS_RATVA", "UPS_RATPOWER",
    "UPS_RATINVOLT", "UPS_RATOUTVOLT", "UPS_RATBYVOLT", "UPS_RATFREQ", "UPS_RATBATTVOLT", "UPS_RATHITXVOLT",
    "UPS_RATLOTXVOLT", "UPS_SHOW_MODULE", "UPS_STS_MODULE", "UPS_PM_TEMP_PFC", "UPS_PM_TEMP_INVERTER",
    "UPS_PM_TEMP_INVR", "UPS_PM_TEMP_INVS", "UPS_PM_TEMP_INVT", "UPS_PM_VOLT_INVR", "UPS_PM_VOLT_INVS",
    "UPS_PM_VOLT_INVT", "UPS_PM_IMG", "UPS_PM_STS", "UPS_PM_BYPASS_BAD", "UPS_PM_BYPASS_SEQ",
    "UPS_PM_BYPASS_OVERLOAD", "UPS_PM_BYPASS_OVERTEMP", "UPS_PM_BYPASS_STSFAIL", "UPS_BATTCAB_NUM",
    "UPS_BATTCAB_BREAKER", "UPS_BATTCAB_TEMP", "UPS_SERIES", "UPS_SERNUM", "UPS_CHG_CUR_POS",
    "UPS_CHG_CUR_NEG", "UPS_PHASE", "UPS_NEGBATTVOLT", "UPS_TESTRESULT", "UPS_NEGBATTLEVEL", "UPS_NEGTEMP",
    "UPS_USBVER", "UPS_SHOW_GREEN", "UPS_BMI_AVL", "UPS_BATT_STRING",
    // PRP_C_
    "PRP_C_MODEL", "PRP_C_COMMSTS", "PRP_C_OUTSRC", "PRP_C_BATTSTS", "PRP_C_BATTCHARGE", "PRP_C_INVOLT",
    "PRP_C_OUTVOLT", "PRP_C_INFREQ", "PRP_C_OUTFREQ", "PRP_C_OUTLOAD", "PRP_C_BLEVEL", "PRP_C_ONBATTTIME",
    "PRP_C_BATTVOLT", "PRP_C_BATTAMP", "PRP_C_TEMP", "PRP_C_BATTREMAIN", "PRP_C_INAMP", "PRP_C_BYFREQ",
    "PRP_C_BYVOLT", "PRP_C_BYAMP", "PRP_C_BYPOWER", "PRP_C_OUTAMP", "PRP_C_OUTPOWER", "PRP_C_TESTRESULT",
    // CFG_
    "CFG_ARB", "CFG_BDELAY", "CFG_BUZ", "CFG_EDB", "CFG_VSN", "CFG_TXV_LO", "CFG_TXV_L1", "CFG_TXV_L2",
    "CFG_TXV_HI", "CFG_TXV_H1", "CFG_TXV_H2", "CFG_FLAGLBC", "CFG_LBCVAL", "CFG_BRD", "CFG_EBP",
    "CFG_TXF_RATFREQ", "CFG_TXF_MAX", "CFG_TXF_SET", "CFG_BT2_RATVOLT", "CFG_BT2_MAX", "CFG_BT2_SET",
    "CFG_ATT", "CFG_SDC", "CFG_BATTNOTE_EN", "CFG_BATTNOTE_DAY", "CFG_BTV_TIME", "CFG_BTV_VOLT",
    "CFG_PF_LB_EN", "CFG_PF_LB_DELAY", "CFG_BL_LB_EN", "CFG_BL_LB_DELAY", "CFG_DRYEVENTFLAG", "CFG_ECO",
    "CFG_GRE",
    // CTL_
    "CTL_FTST", "CTL_LETNUM", "CTL_LETSTS", "CTL_BUZ",
    // IMG_STS_
    "IMG_STS_COMMERR", "IMG_STS_BUZSTATE", "IMG_STS_ACFAIL", "IMG_STS_BATTLOW", "IMG_STS_BATTDEPLETED",
    "IMG_STS_BATTREPLACE", "IMG_STS_TESTING", "IMG_STS_OVERLOAD", "IMG_STS_OVERTEMP", "IMG_STS_UPSFAIL",
    "IMG_STS_ONBYPASS", "IMG_STS_SYSTEMOFF", "IMG_STS_OUTPUTBAD", "IMG_STS_OUTPUTOFF", "IMG_STS_FANFAIL",
    "IMG_STS_FUSEFAIL", "IMG_STS_INVERTER", "IMG_STS_CHARGER", "IMG_STS_BYPASS", "IMG_STS_EPO",
    "IMG_STS_ECONOMIC", "IMG_STS_ONRESERVE", "IMG_STS_BUZSTATUS", "IMG_STS_BATTGROUND", "IMG_STS_TESTFAIL",
    "IMG_STS_POWERODULE", "IMG_STS_SHUTDOWN", "IMG_STS_OUTPUTOVERVOLT", "IMG_STS_OUTPUTUNDERVOLT",
    "IMG_STS_OUTBREAKER", "IMG_STS_ASYNC", "IMG_STS_RECTIFIER", "IMG_STS_REDUNDANCY", "IMG_STS_GREENMODE",
    // NCS_NC_
    "NCS_NC_NUM", "NCS_NC_LIST",
    // LOG_
    "LOG_PAGE", "LOG_BUTTON", "LOG_ISPAGE", "LOG_ISDATE", "LOG_FROM", "LOG_TO", "LOG_SELECTID",
    // DATA_
    "DATA_SELBY", "DATA_PAGE", "DATA_FROM", "DATA_TO", "DATA_ITEM1", "DATA_ITEM2",
    // HCG_
    "HCG_MAX_DATANUM", "HCG_MAX_EVENTNUM", "HCG_AE_INTERVAL", "HCG_AE_PATH",
    // ACT_
    "ACT_PF_EN", "ACT_BL_EN", "ACT_OL_EN", "ACT_BP_EN", "ACT_SS_EN", "ACT_MSG_EN", "ACT_CMD_EN", "ACT_OSD_PF",
    "ACT_OSD_BL", "ACT_OSD_OL", "ACT_OSD_BP", "ACT_OSD_SS", "ACT_MSG_PERIOD", "ACT_CMD_FILE", "ACT_CMD_BEFORE",
    "ACT_SHUT_TYPE", "ACT_SNMP_PORT", "ACT_USM_CONTEXT", "ACT_MAG_EN", "ACT_COM_INDEX", "ACT_UPS_DELAY",
    "ACT_LS_EN", "ACT_LS_DELAY", "ACT_COM_PATH",
    // WSH_, SSH_
    "WSH_AC", "WSH_WD", "WSH_TM",
    "SSH_AC", "SSH_SD", "SSH_TM",
    // EVT_, TRAP_, NOT_, WOL_
    "EVT_LIST_ADD", "EVT_FUNC_LOAD",
    "TRAP_LIST_ADD", "TRAP_FUNC_LOAD",
    "NOT_DELAY",
    "WOL_LIST_ADD", "WOL_FUNC_LOAD",
    // DBG_
    "DBG_TX_OK", "DBG_TX_ERR", "DBG_RX_OK", "DBG_RX_TIMEOUT", "DBG_RX_CSERR", "DBG_RX_OVERFLOW",
    "DBG_RX_PARSEERR", "DBG_COM_LOG", "DBG_COM_FILE",
};

namespace {

constexpr bool Same(const char* a, const char* b) {
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}

// The enumeration and the table must stay aligned: every range ends in its
// empty slot and starts with the key its name says.
static_assert(Same(CfgKeyTable[CFG_SECTION_NAMES + int{CFG_SEC_END}], "End"));
static_assert(Same(CfgKeyTable[CFG_KEYS_FIRST - 1], ""));
static_assert(Same(CfgKeyTable[CFG_K_FORMAT_END], "") && Same(CfgKeyTable[CFG_K_RESTART], "Restart="));
static_assert(Same(CfgKeyTable[CFG_K_CONFIGURATION_END], "") && Same(CfgKeyTable[CFG_K_LANGUAGE], "Language="));
static_assert(Same(CfgKeyTable[CFG_K_SYSTEM_END], "") && Same(CfgKeyTable[CFG_K_NAME], "Name="));
static_assert(Same(CfgKeyTable[CFG_K_WEB_END], "") && Same(CfgKeyTable[CFG_K_LOCK_TIME], "Locak Time="));
static_assert(Same(CfgKeyTable[CFG_K_SHUTDOWN_END], "") &&
              Same(CfgKeyTable[CFG_K_SCHEDULE_SHUTDOWN_DELAY], "Schedule Shutdown Delay="));
static_assert(Same(CfgKeyTable[CFG_K_REACTION_END], "") &&
              Same(CfgKeyTable[CFG_K_SMART_TRAP_BEFORE], "Send Smart Shutdown Trap Before="));
static_assert(Same(CfgKeyTable[CFG_K_COM_END], "") && Same(CfgKeyTable[CFG_K_COM_PATH], "COM Path="));
static_assert(Same(CfgKeyTable[CFG_K_SOURCE_IP_END], ""));
static_assert(Same(CfgKeyTable[CFG_K_SNMP_TRAP_END], "") && Same(CfgKeyTable[CFG_K_TRAP_TWICE], "Twice"));
static_assert(Same(CfgKeyTable[CFG_K_SNMP_SERVER_END], "") &&
              Same(CfgKeyTable[CFG_K_ACCESS_PERMISSION], "Permission"));
static_assert(Same(CfgKeyTable[CFG_K_USM_END], "") && Same(CfgKeyTable[CFG_K_USM_PERMISSION], "Permission"));
static_assert(Same(CfgKeyTable[CFG_K_MANAGEABLE_END], "") && Same(CfgKeyTable[CFG_K_MANAGEABLE_ENABLE], "Enable="));
static_assert(Same(CfgKeyTable[CFG_K_DATA_LOG_END], "") && Same(CfgKeyTable[CFG_K_EXPORT_PATH], "Export Path="));
static_assert(Same(CfgKeyTable[CFG_K_WEEKLY_END], "") && Same(CfgKeyTable[CFG_K_WEEKLY_ACTION], "Action"));
static_assert(Same(CfgKeyTable[CFG_K_SPECIFIC_END], "") && Same(CfgKeyTable[CFG_K_SPECIFIC_DATE], "Date"));
static_assert(Same(CfgKeyTable[CFG_K_MAIL_END], "") && Same(CfgKeyTable[CFG_K_MAIL_DOMAIN], "Domain="));
static_assert(Same(CfgKeyTable[CFG_K_WOL_END], "") && Same(CfgKeyTable[CFG_K_WOL_TITLE], "Title"));
static_assert(Same(CfgKeyTable[CFG_K_SMS_END], "") && Same(CfgKeyTable[CFG_K_SMS_LEVEL], "Level"));
static_assert(Same(CfgKeyTable[CFG_K_UPS_END], "") &&
              Same(CfgKeyTable[CFG_K_LOAD_BANK_BL_DELAY], "Load Bank BL Delay"));
// Each device variable group starts with its first name and ends where the
// next begins; the last name closes the table.
static_assert(Same(CfgKeyTable[CFG_DEV_SUM], "SUM_HOST_NAME") && Same(CfgKeyTable[CFG_DEV_UPS - 1], "SUM_OS_BANNER"));
static_assert(Same(CfgKeyTable[CFG_DEV_UPS], "UPS_MODEL") && Same(CfgKeyTable[CFG_DEV_PRP - 1], "UPS_BATT_STRING"));
static_assert(Same(CfgKeyTable[CFG_DEV_PRP], "PRP_C_MODEL") && Same(CfgKeyTable[CFG_DEV_CFG - 1], "PRP_C_TESTRESULT"));
static_assert(Same(CfgKeyTable[CFG_DEV_CFG], "CFG_ARB") && Same(CfgKeyTable[CFG_DEV_CTL - 1], "CFG_GRE"));
static_assert(Same(CfgKeyTable[CFG_DEV_CTL], "CTL_FTST") && Same(CfgKeyTable[CFG_DEV_IMG - 1], "CTL_BUZ"));
static_assert(Same(CfgKeyTable[CFG_DEV_IMG], "IMG_STS_COMMERR") &&
              Same(CfgKeyTable[CFG_DEV_NCS - 1], "IMG_STS_GREENMODE"));
static_assert(Same(CfgKeyTable[CFG_DEV_NCS], "NCS_NC_NUM") && Same(CfgKeyTable[CFG_DEV_LOG - 1], "NCS_NC_LIST"));
static_assert(Same(CfgKeyTable[CFG_DEV_LOG], "LOG_PAGE") && Same(CfgKeyTable[CFG_DEV_DATA - 1], "LOG_SELECTID"));
static_assert(Same(CfgKeyTable[CFG_DEV_DATA], "DATA_SELBY") && Same(CfgKeyTable[CFG_DEV_HCG - 1], "DATA_ITEM2"));
static_assert(Same(CfgKeyTable[CFG_DEV_HCG], "HCG_MAX_DATANUM") && Same(CfgKeyTable[CFG_DEV_ACT - 1], "HCG_AE_PATH"));
static_assert(Same(CfgKeyTable[CFG_DEV_ACT], "ACT_PF_EN") && Same(CfgKeyTable[CFG_DEV_WSH - 1], "ACT_COM_PATH"));
static_assert(Same(CfgKeyTable[CFG_DEV_WSH], "WSH_AC") && Same(CfgKeyTable[CFG_DEV_SSH - 1], "WSH_TM"));
static_assert(Same(CfgKeyTable[CFG_DEV_SSH], "SSH_AC") && Same(CfgKeyTable[CFG_DEV_EVT - 1], "SSH_TM"));
static_assert(Same(CfgKeyTable[CFG_DEV_EVT], "EVT_LIST_ADD") && Same(CfgKeyTable[CFG_DEV_TRAP - 1], "EVT_FUNC_LOAD"));
static_assert(Same(CfgKeyTable[CFG_DEV_TRAP], "TRAP_LIST_ADD") && Same(CfgKeyTable[CFG_DEV_NOT - 1], "TRAP_FUNC_LOAD"));
static_assert(Same(CfgKeyTable[CFG_DEV_NOT], "NOT_DELAY"));
static_assert(Same(CfgKeyTable[CFG_DEV_WOL], "WOL_LIST_ADD") && Same(CfgKeyTable[CFG_DEV_DBG - 1], "WOL_FUNC_LOAD"));
static_assert(Same(CfgKeyTable[CFG_DEV_DBG], "DBG_TX_OK") && Same(CfgKeyTable[CFG_DEV_END - 1], "DBG_COM_FILE"));

// Key range [first, end) of each section; end is the range's empty slot.
struct SectionRange {
  int first;
  int end;
};
constexpr SectionRange kSections[CFG_SECTION_COUNT] = {
    {CFG_K_VERSION, CFG_K_FORMAT_END},
    {CFG_K_STOP_SERVICE, CFG_K_CONFIGURATION_END},
    {CFG_K_INSTALL_DATE, CFG_K_SYSTEM_END},
    {CFG_K_HTTP_PORT, CFG_K_WEB_END},
    {CFG_K_SHUTDOWN_TYPE, CFG_K_SHUTDOWN_END},
    {CFG_K_NOTIFY_ENABLE, CFG_K_REACTION_END},
    {CFG_K_COM_PORT, CFG_K_COM_END},
    {CFG_K_SOURCE_IP_END, CFG_K_SOURCE_IP_END},
    {CFG_K_TRAP_NUMBER, CFG_K_SNMP_TRAP_END},
    {CFG_K_LISTEN_PORT, CFG_K_SNMP_SERVER_END},
    {CFG_K_CONTEXT_NAME, CFG_K_USM_END},
    {CFG_K_MANAGEABLE_ENABLE, CFG_K_MANAGEABLE_END},
    {CFG_K_MAXIMUM_STORAGE, CFG_K_DATA_LOG_END},
    {CFG_K_WEEKLY_WEEKDAY, CFG_K_WEEKLY_END},
    {CFG_K_SPECIFIC_DATE, CFG_K_SPECIFIC_END},
    {CFG_K_MAIL_SERVER, CFG_K_MAIL_END},
    {CFG_K_WOL_NUM, CFG_K_WOL_END},
    {CFG_K_SMS_PORT, CFG_K_SMS_END},
    {CFG_K_ENABLE_BATTERY_LOW, CFG_K_UPS_END},
    {CFG_K_UPS_END, CFG_K_UPS_END},  // End: no keys
};

// A list of numbered entries: entry numbers first .. first + size - 1, and
// only up to the list's current count when it has one.
struct ListDef {
  int first;
  int size;
  const uint8_t* count;  // null: every entry is in use (written always)
};
constexpr ListDef kWebAccounts{0, WEB_ACCOUNTS, nullptr};
constexpr ListDef kTrapList{1, TRAP_RECEIVERS, &SnmpTrapReceiverCount};
constexpr ListDef kAccessList{1, SNMP_ACCESS_ENTRIES, &SnmpAgentSetting.accessCount};
constexpr ListDef kUsmList{1, SNMP_USM_USERS, &SnmpAgentSetting.userCount};
constexpr ListDef kWeeklyList{1, SCHED_WEEKLY_COUNT, nullptr};
constexpr ListDef kSpecificList{1, SCHED_SPECIFIC_COUNT, nullptr};
constexpr ListDef kMailList{1, MAIL_RECEIVERS, &MailSetting.receiverCount};
constexpr ListDef kWolList{1, WOL_HOSTS, &WolSetting.hostCount};
constexpr ListDef kSmsList{1, SMS_PHONES, &SmsSetting.phoneCount};
constexpr ListDef kLoadBankList{1, UPS_OUTLETS, nullptr};

enum class Kind : uint8_t {
  Int,           // integer of the field's width, "%d"; too large keeps its low bits
  Bounded,       // integer taken only within 0..limit (counts, the language)
  Port,          // port number 1..65535 (0 too in a list); any other value gives the factory port
                 // `limit`, noted
  Flag,          // "Yes" 1, anything else 0; written "Yes"/"No"
  LockFlag,      // "Enable" 1, anything else 0; written "Enable"/"Disable"
  Bit,           // flag kept in one bit of a byte mask
  Encoding,      // "No" 0, "Yes" 1, "Advanced" 2
  Text,          // narrow text cut to the field
  WideBytes,     // wide text from at most `limit` bytes of the value
  WideChars,     // wide text of at most the field's characters
  Password,      // narrow text stored in the section's password encoding
  WidePassword,  // wide text stored in the section's password encoding
  Custom,        // own reader and writer
};

using FieldFn = void* (*)(int index);
using ParseFn = void (*)(int index, const char* value);
using FormatFn = void (*)(int index, char* out, size_t cap);

struct KeyDef {
  int key;
  Kind kind;
  FieldFn field;             // storage of entry `index` (0 for plain keys); for Custom, what
                             // its reader sets (a snapshot of the settings copies it)
  size_t size;               // bytes of the field
  int limit = 0;             // Bounded: largest value; Port: factory port; WideBytes: bytes read;
                             // Bit: bit (-1 entry index)
  const ListDef* list = nullptr;
  const uint8_t* encoding = nullptr;  // Password kinds: the section's "Password Encrypt="
  ParseFn parse = nullptr;
  FormatFn format = nullptr;
};

#define VAR(v) [](int) -> void* { return &(v); }, sizeof(v)
#define ELEM(array, member) [](int i) -> void* { return &(array)[i] member; }, sizeof((array)[0] member)

// ---- values with their own text form ----------------------------------------

long ToLong(const char* text) { return strtol(text, nullptr, 10); }

void ParseVersion(int, const char* v) {
  CfgVersion = static_cast<int32_t>(ToLong(v));
  // Files of the first version did not hold the mail port.
  if (CfgVersion == 1) MailSetting.port = 25;
}
void FormatVersion(int, char* out, size_t cap) { snprintf(out, cap, "%d", CFG_FORMAT_VERSION); }

void ParseRestart(int, const char* v) { CfgRestart = strcmp(v, "Yes") == 0 ? 1 : 0; }
void FormatRestart(int, char* out, size_t cap) { snprintf(out, cap, "No"); }

// "COM Port=" also sets the UPS port slot: 0 automatic search, 1 USB,
// n >= 2 the serial port n - 1, without search.
void ParseComPort(int, const char* v) {
  uint8_t port = static_cast<uint8_t>(ToLong(v));
  ComPortSetting = port;
  if (port <= 1) {
    ComSlot.port[0] = 0;
    ComSlot.scan[0] = port == 0 ? 1 : 0;
  } else {
    ComSlot.port[0] = static_cast<uint8_t>(port - 1);
    ComSlot.scan[0] = 0;
  }
}
void FormatComPort(int, char* out, size_t cap) { snprintf(out, cap, "%d", ComPortSetting); }

uint8_t ParseWeekdays(const char* v) {
  uint8_t mask = 0;
  for (int i = 0; i < 7 && v[i]; ++i)
    if (v[i] == '1') mask = static_cast<uint8_t>(mask | (1u << i));
  return mask;
}
void FormatWeekdays(uint8_t mask, char* out, size_t cap) {
  char text[8];
  for (int i = 0; i < 7; ++i) text[i] = (mask >> i) & 1 ? '1' : '0';
  text[7] = 0;
  snprintf(out, cap, "%s", text);
}
void ParseWeeklyWeekday(int i, const char* v) { SchedWeekly[i].weekdays = ParseWeekdays(v); }
void FormatWeeklyWeekday(int i, char* out, size_t cap) { FormatWeekdays(SchedWeekly[i].weekdays, out, cap); }

// Hour and minute are kept only when both are valid.
void ParseTime(const char* v, uint8_t* hour, uint8_t* minute) {
  uint8_t h = 0, m = 0;
  if (Time_ParseHourMinute(v, &h, &m) == 1) {
    *hour = h;
    *minute = m;
  }
}
void ParseWeeklyTime(int i, const char* v) { ParseTime(v, &SchedWeekly[i].hour, &SchedWeekly[i].minute); }
void FormatWeeklyTime(int i, char* out, size_t cap) {
  snprintf(out, cap, "%d:%d", SchedWeekly[i].hour, SchedWeekly[i].minute);
}
void ParseSpecificTime(int i, const char* v) { ParseTime(v, &SchedSpecific[i].hour, &SchedSpecific[i].minute); }
void FormatSpecificTime(int i, char* out, size_t cap) {
  snprintf(out, cap, "%d:%d", SchedSpecific[i].hour, SchedSpecific[i].minute);
}

// Month/day/year, kept only when valid; the year is stored as year - 2000.
void ParseSpecificDate(int i, const char* v) {
  TimeDate d{};
  if (Time_ParseDate(v, &d, 1) != 3) return;
  SchedSpecific[i].month = d.month;
  SchedSpecific[i].day = d.day;
  SchedSpecific[i].year = d.year;
}
void FormatSpecificDate(int i, char* out, size_t cap) {
  const SchedSpecificEntry& e = SchedSpecific[i];
  snprintf(out, cap, "%d/%d/%d", e.month, e.day, e.year + 2000);
}

// A MAC address is taken only whole.
void ParseWolMac(int i, const char* v) {
  uint8_t mac[6];
  if (Net_ParseMac(mac, v)) memcpy(WolSetting.hosts[i].mac, mac, sizeof mac);
}
void FormatWolMac(int i, char* out, size_t cap) {
  const uint8_t* m = WolSetting.hosts[i].mac;
  snprintf(out, cap, "%02X-%02X-%02X-%02X-%02X-%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
}

// ---- the catalogue ------------------------------------------------------------

// In table order; Cfg_ParseLine matches in this order within a section.
const KeyDef kKeys[] = {
    // [Format]
    {CFG_K_VERSION, Kind::Custom, VAR(CfgVersion), 0, nullptr, nullptr, ParseVersion, FormatVersion},
    {CFG_K_RESTART, Kind::Custom, VAR(CfgRestart), 0, nullptr, nullptr, ParseRestart, FormatRestart},
    // [Configuration]
    {CFG_K_STOP_SERVICE, Kind::Flag, VAR(CfgStopService)},
    {CFG_K_LANGUAGE, Kind::Bounded, VAR(CfgLanguage), 3},
    // [System]
    {CFG_K_INSTALL_DATE, Kind::WideBytes, VAR(WebSysInfoText.installDate), 32},
    {CFG_K_LOCATION, Kind::WideBytes, VAR(WebSysInfoText.location), 64},
    {CFG_K_DESCRIPTION, Kind::WideBytes, VAR(WebSysInfoText.description), 128},
    {CFG_K_CONTACTOR, Kind::WideBytes, VAR(WebSysInfoText.contactor), 32},
    {CFG_K_NAME, Kind::WideBytes, VAR(WebSysInfoText.name), 32},
    // [Web]
    {CFG_K_HTTP_PORT, Kind::Port, VAR(HttpdSetting.httpPort), 80},
    {CFG_K_HTTPS_PORT, Kind::Port, VAR(HttpdSetting.httpsPort), 443},
    {CFG_K_ENABLE_HTTP, Kind::Bit, VAR(HttpdSetting.listen), 0},
    {CFG_K_ENABLE_HTTPS, Kind::Bit, VAR(HttpdSetting.listen), 1},
    {CFG_K_WEB_REFRESH, Kind::Int, VAR(HttpdSetting.refresh)},
    {CFG_K_WEB_PASSWORD_ENCRYPT, Kind::Encoding, VAR(WebPasswordEncrypt)},
    {CFG_K_WEB_USER, Kind::WideChars, ELEM(WebAccounts, .name), 0, &kWebAccounts},
    {CFG_K_WEB_PASSWORD, Kind::WidePassword, ELEM(WebAccounts, .password), 0, &kWebAccounts,
     &WebPasswordEncrypt},
    {CFG_K_FORCE_HTTPS, Kind::Flag, VAR(HttpdSetting.forceHttps)},
    {CFG_K_ENABLE_LOGIN_LOCK, Kind::LockFlag, VAR(WebLock.enable)},
    {CFG_K_LOGIN_RETRY, Kind::Int, VAR(WebLock.retryLimit)},
    {CFG_K_LOCK_TIME, Kind::Int, VAR(WebLock.lockMinutes)},
    // [Shutdown]
    {CFG_K_SHUTDOWN_TYPE, Kind::Int, VAR(ReactSetting.type)},
    {CFG_K_UPS_DELAY, Kind::Int, VAR(ReactSetting.upsDelay)},
    {CFG_K_POWER_FAIL_ENABLE, Kind::Flag, VAR(ReactSetting.enable[REACT_POWER_FAIL])},
    {CFG_K_POWER_FAIL_DELAY, Kind::Int, VAR(ReactSetting.delay[REACT_POWER_FAIL])},
    {CFG_K_BATTERY_LOW_ENABLE, Kind::Flag, VAR(ReactSetting.enable[REACT_BATTERY_LOW])},
    {CFG_K_BATTERY_LOW_DELAY, Kind::Int, VAR(ReactSetting.delay[REACT_BATTERY_LOW])},
    {CFG_K_OVERLOAD_ENABLE, Kind::Flag, VAR(ReactSetting.enable[REACT_OVERLOAD])},
    {CFG_K_OVERLOAD_DELAY, Kind::Int, VAR(ReactSetting.delay[REACT_OVERLOAD])},
    {CFG_K_BYPASS_ENABLE, Kind::Flag, VAR(ReactSetting.enable[REACT_BYPASS])},
    {CFG_K_BYPASS_DELAY, Kind::Int, VAR(ReactSetting.delay[REACT_BYPASS])},
    {CFG_K_SCHEDULE_SHUTDOWN_ENABLE, Kind::Flag, VAR(ReactSetting.enable[REACT_SCHEDULE])},
    {CFG_K_SCHEDULE_SHUTDOWN_DELAY, Kind::Int, VAR(ReactSetting.delay[REACT_SCHEDULE])},
    // [Reaction]
    {CFG_K_NOTIFY_ENABLE, Kind::Flag, VAR(ReactSetting.notifyEnable)},
    {CFG_K_NOTIFY_PERIOD, Kind::Int, VAR(ReactSetting.notifyPeriod)},
    {CFG_K_COMMAND_ENABLE, Kind::Flag, VAR(ReactSetting.commandEnable)},
    {CFG_K_COMMAND_BEFORE, Kind::Int, VAR(ReactSetting.commandBefore)},
    {CFG_K_COMMAND_FILE, Kind::WideChars, VAR(ReactSetting.commandFile)},
    {CFG_K_SMART_TRAP_ENABLE, Kind::Flag, VAR(ReactSetting.smartTrapEnable)},
    {CFG_K_SMART_TRAP_BEFORE, Kind::Int, VAR(ReactSetting.smartTrapBefore)},
    // [COM]
    {CFG_K_COM_PORT, Kind::Custom, VAR(ComPortSetting), 0, nullptr, nullptr, ParseComPort, FormatComPort},
    {CFG_K_COM_PATH, Kind::Text, VAR(ComPathSetting)},
    // [SNMP Trap]
    {CFG_K_TRAP_NUMBER, Kind::Bounded, VAR(SnmpTrapReceiverCount), TRAP_RECEIVERS},
    {CFG_K_TRAP_IP, Kind::Text, ELEM(SnmpTrapReceivers, .ip), 0, &kTrapList},
    {CFG_K_TRAP_PORT, Kind::Port, ELEM(SnmpTrapReceivers, .port), 162, &kTrapList},
    {CFG_K_TRAP_COMMUNITY, Kind::Text, ELEM(SnmpTrapReceivers, .community), 0, &kTrapList},
    {CFG_K_TRAP_TYPE, Kind::Int, ELEM(SnmpTrapReceivers, .type), 0, &kTrapList},
    {CFG_K_TRAP_MIB, Kind::Int, ELEM(SnmpTrapReceivers, .mib), 0, &kTrapList},
    {CFG_K_TRAP_LEVEL, Kind::Int, ELEM(SnmpTrapReceivers, .level), 0, &kTrapList},
    {CFG_K_TRAP_USER, Kind::Text, ELEM(SnmpTrapReceivers, .user), 0, &kTrapList},
    {CFG_K_TRAP_NCPORT, Kind::Port, ELEM(SnmpTrapReceivers, .ncPort), 161, &kTrapList},
    {CFG_K_TRAP_TWICE, Kind::Flag, ELEM(SnmpTrapReceivers, .twice), 0, &kTrapList},
    // [SNMP Server]
    {CFG_K_LISTEN_PORT, Kind::Port, VAR(SnmpAgentSetting.listenPort), 161},
    {CFG_K_ACCESS_NUMBER, Kind::Bounded, VAR(SnmpAgentSetting.accessCount), SNMP_ACCESS_ENTRIES},
    {CFG_K_ACCESS_IP, Kind::Text, ELEM(SnmpAgentSetting.access, .address), 0, &kAccessList},
    {CFG_K_ACCESS_COMMUNITY, Kind::Text, ELEM(SnmpAgentSetting.access, .community), 0, &kAccessList},
    {CFG_K_ACCESS_PERMISSION, Kind::Int, ELEM(SnmpAgentSetting.access, .permission), 0, &kAccessList},
    // [USM]: counts and entry numbers above 32 are outside the user table.
    {CFG_K_CONTEXT_NAME, Kind::Text, VAR(SnmpAgentSetting.contextName)},
    {CFG_K_USM_PASSWORD_ENCRYPT, Kind::Encoding, VAR(SnmpAgentSetting.passwordEncrypt)},
    {CFG_K_USM_NUMBER, Kind::Bounded, VAR(SnmpAgentSetting.userCount), SNMP_USM_USERS},
    {CFG_K_USM_USER, Kind::Text, ELEM(SnmpAgentSetting.users, .name), 0, &kUsmList},
    {CFG_K_USM_SECURITY, Kind::Int, ELEM(SnmpAgentSetting.users, .security), 0, &kUsmList},
    {CFG_K_USM_AUTH, Kind::Password, ELEM(SnmpAgentSetting.users, .authPassword), 0, &kUsmList,
     &SnmpAgentSetting.passwordEncrypt},
    {CFG_K_USM_PRIV, Kind::Password, ELEM(SnmpAgentSetting.users, .privPassword), 0, &kUsmList,
     &SnmpAgentSetting.passwordEncrypt},
    {CFG_K_USM_PERMISSION, Kind::Int, ELEM(SnmpAgentSetting.users, .permission), 0, &kUsmList},
    // [Manageable]
    {CFG_K_MANAGEABLE_ENABLE, Kind::Flag, VAR(WebSysManageable)},
    // What the switch gives SNMPv3 user 1 back when it turns management on.
    {CFG_K_MANAGER_PERMISSION, Kind::Int, VAR(WebSysManagerPermission)},
    // [Data Log]
    {CFG_K_MAXIMUM_STORAGE, Kind::Int, VAR(DLogSetting.maxStorage)},
    {CFG_K_EXPORT_PERIOD, Kind::Int, VAR(DLogSetting.exportPeriod)},
    {CFG_K_EXPORT_PATH, Kind::WideChars, VAR(DLogSetting.exportPath)},
    // [Weekly Schedule]
    {CFG_K_WEEKLY_WEEKDAY, Kind::Custom, ELEM(SchedWeekly, .weekdays), 0, &kWeeklyList, nullptr,
     ParseWeeklyWeekday, FormatWeeklyWeekday},
    {CFG_K_WEEKLY_TIME, Kind::Custom, ELEM(SchedWeekly, ), 0, &kWeeklyList, nullptr, ParseWeeklyTime,
     FormatWeeklyTime},
    {CFG_K_WEEKLY_ACTION, Kind::Int, ELEM(SchedWeekly, .action), 0, &kWeeklyList},
    // [Specific Schedule]
    {CFG_K_SPECIFIC_DATE, Kind::Custom, ELEM(SchedSpecific, ), 0, &kSpecificList, nullptr, ParseSpecificDate,
     FormatSpecificDate},
    {CFG_K_SPECIFIC_TIME, Kind::Custom, ELEM(SchedSpecific, ), 0, &kSpecificList, nullptr, ParseSpecificTime,
     FormatSpecificTime},
    {CFG_K_SPECIFIC_ACTION, Kind::Int, ELEM(SchedSpecific, .action), 0, &kSpecificList},
    // [Mail]
    {CFG_K_MAIL_SERVER, Kind::Text, VAR(MailSetting.server)},
    {CFG_K_MAIL_PORT, Kind::Port, VAR(MailSetting.port), 25},
    {CFG_K_MAIL_PASSWORD_ENCRYPT, Kind::Encoding, VAR(MailSetting.passwordEncrypt)},
    {CFG_K_MAIL_SENDER, Kind::Text, VAR(MailSetting.account)},
    {CFG_K_MAIL_PASSWORD, Kind::Password, VAR(MailSetting.password), 0, nullptr, &MailSetting.passwordEncrypt},
    {CFG_K_MAIL_RECEIVE_NUM, Kind::Bounded, VAR(MailSetting.receiverCount), MAIL_RECEIVERS},
    {CFG_K_MAIL_RECEIVER, Kind::Text, ELEM(MailSetting.receivers, .address), 0, &kMailList},
    {CFG_K_MAIL_LEVEL, Kind::Int, ELEM(MailSetting.receivers, .level), 0, &kMailList},
    {CFG_K_MAIL_FROM, Kind::Text, VAR(MailSetting.from)},
    {CFG_K_MAIL_DOMAIN, Kind::Text, VAR(MailSetting.domain)},
    // [WOL]
    {CFG_K_WOL_NUM, Kind::Bounded, VAR(WolSetting.hostCount), WOL_HOSTS},
    {CFG_K_WOL_MAC, Kind::Custom, ELEM(WolSetting.hosts, .mac), 0, &kWolList, nullptr, ParseWolMac,
     FormatWolMac},
    {CFG_K_WOL_DELAY, Kind::Int, ELEM(WolSetting.hosts, .delay), 0, &kWolList},
    {CFG_K_WOL_POWER_RESTORE, Kind::Flag, ELEM(WolSetting.hosts, .powerRestore), 0, &kWolList},
    {CFG_K_WOL_SYS_STARTUP, Kind::Flag, ELEM(WolSetting.hosts, .sysStartup), 0, &kWolList},
    {CFG_K_WOL_TITLE, Kind::Text, ELEM(WolSetting.hosts, .title), 0, &kWolList},
    // [SMS]
    {CFG_K_SMS_PORT, Kind::Int, VAR(SmsSetting.port)},
    {CFG_K_SMS_BAUD, Kind::Int, VAR(SmsSetting.baud)},
    {CFG_K_SMS_NUM, Kind::Bounded, VAR(SmsSetting.phoneCount), SMS_PHONES},
    {CFG_K_SMS_PHONE, Kind::Text, ELEM(SmsSetting.phones, .number), 0, &kSmsList},
    {CFG_K_SMS_LEVEL, Kind::Int, ELEM(SmsSetting.phones, .level), 0, &kSmsList},
    // [UPS]
    {CFG_K_ENABLE_BATTERY_LOW, Kind::Int, VAR(UpsRecord.lowBattCheck)},
    {CFG_K_BATTERY_LOW_LEVEL, Kind::Int, VAR(UpsRecord.lowBattLevel)},
    {CFG_K_ENABLE_REPLACE_NOTIFY, Kind::Int, VAR(UpsRecord.replaceNotice)},
    {CFG_K_REPLACE_NOTIFY_DAY, Kind::Int, VAR(UpsRecord.replaceNoticeDays)},
    {CFG_K_LAST_BATTERY_REPLACE, Kind::Text, VAR(UpsRecord.battLastDate)},
    {CFG_K_NEXT_BATTERY_REPLACE, Kind::Text, VAR(UpsRecord.battNextDate)},
    {CFG_K_LOAD_BANK_PF_ENABLE, Kind::Bit, VAR(UpsRecord.pfOutletMask), -1, &kLoadBankList},
    {CFG_K_LOAD_BANK_PF_DELAY, Kind::Int, ELEM(UpsRecord.pfOutletDelay, ), 0, &kLoadBankList},
    {CFG_K_LOAD_BANK_BL_ENABLE, Kind::Bit, VAR(UpsRecord.blOutletMask), -1, &kLoadBankList},
    {CFG_K_LOAD_BANK_BL_DELAY, Kind::Int, ELEM(UpsRecord.blOutletDelay, ), 0, &kLoadBankList},
};

#undef VAR
#undef ELEM

const KeyDef* DefOf(int key) {
  static const KeyDef* const* byKey = [] {
    static const KeyDef* table[CFG_KEY_TABLE_SIZE] = {};
    for (const KeyDef& d : kKeys) table[d.key] = &d;
    return table;
  }();
  return key >= 0 && key < CFG_KEY_TABLE_SIZE ? byKey[key] : nullptr;
}

// ---- storing values ---------------------------------------------------------

// Integers keep the low bits that fit their field.
void StoreInt(void* field, size_t size, long value) {
  switch (size) {
    case 1: { uint8_t v = static_cast<uint8_t>(value); memcpy(field, &v, 1); break; }
    case 2: { uint16_t v = static_cast<uint16_t>(value); memcpy(field, &v, 2); break; }
    case 4: { uint32_t v = static_cast<uint32_t>(value); memcpy(field, &v, 4); break; }
    default: break;
  }
}

int32_t LoadInt(const void* field, size_t size) {
  switch (size) {
    case 1: { uint8_t v; memcpy(&v, field, 1); return v; }
    case 2: { uint16_t v; memcpy(&v, field, 2); return v; }
    case 4: { int32_t v; memcpy(&v, field, 4); return v; }
    default: return 0;
  }
}

void StoreText(char* field, size_t size, const char* value) {
  size_t n = strnlen(value, size - 1);
  memcpy(field, value, n);
  field[n] = 0;
}

uint8_t EncodingOf(const char* value) {
  if (strcmp(value, "Yes") == 0) return CFG_PW_YES;
  if (strcmp(value, "Advanced") == 0) return CFG_PW_ADVANCED;
  return CFG_PW_NO;
}

// A port number: decimal digits only (blanks around them allowed), 1 to
// 65535, or 0 where zero is allowed.
bool ParsePort(const char* value, long* port, bool zero) {
  const char* p = value + strspn(value, " \t");
  size_t digits = strspn(p, "0123456789");
  if (digits == 0 || digits > 5 || p[digits + strspn(p + digits, " \t")] != 0) return false;
  long v = strtol(p, nullptr, 10);
  if (v < (zero ? 0 : 1) || v > 65535) return false;
  *port = v;
  return true;
}

void Apply(const KeyDef& d, const char* line, size_t keyLength) {
  int index = 0;
  if (d.list) {
    // The entry number follows the stem; strtol saturates, so a huge
    // number cannot wrap into the list.
    long n = ToLong(line + keyLength);
    if (n < d.list->first || n >= d.list->first + d.list->size) return;
    if (d.list->count && n - d.list->first >= *d.list->count) return;
    index = static_cast<int>(n - d.list->first);
  }
  const char* value = strchr(line, '=') + 1;
  void* field = d.field ? d.field(index) : nullptr;
  switch (d.kind) {
    case Kind::Int:
      StoreInt(field, d.size, ToLong(value));
      break;
    case Kind::Bounded: {
      long v = ToLong(value);
      if (v >= 0 && v <= d.limit) StoreInt(field, d.size, v);
      break;
    }
    case Kind::Port: {
      // A value that is no port would leave a listener on a random port
      // (0) or on the low bits of a larger number: the factory port serves.
      // The trap receivers' ports may be 0, as their page takes it.
      long port;
      if (!ParsePort(value, &port, d.list != nullptr)) {
        port = d.limit;
        char note[160];
        snprintf(note, sizeof note, "config.ini: \"%.64s\" is no port number; port %d is used", line, d.limit);
        Cfg_Note(2, note);
      }
      StoreInt(field, d.size, port);
      break;
    }
    case Kind::Flag:
      StoreInt(field, d.size, strcmp(value, "Yes") == 0 ? 1 : 0);
      break;
    case Kind::LockFlag:
      StoreInt(field, d.size, strcmp(value, "Enable") == 0 ? 1 : 0);
      break;
    case Kind::Bit: {
      int bit = d.limit >= 0 ? d.limit : index;
      uint8_t* mask = static_cast<uint8_t*>(field);
      if (strcmp(value, "Yes") == 0)
        *mask = static_cast<uint8_t>(*mask | (1u << bit));
      else
        *mask = static_cast<uint8_t>(*mask & ~(1u << bit));
      break;
    }
    case Kind::Encoding:
      *static_cast<uint8_t*>(field) = EncodingOf(value);
      break;
    case Kind::Text:
      StoreText(static_cast<char*>(field), d.size, value);
      break;
    case Kind::WideBytes:
      Cfg_TextToWide(static_cast<wchar_t*>(field), d.size / sizeof(wchar_t), value,
                     static_cast<size_t>(d.limit));
      break;
    case Kind::WideChars:
      Cfg_TextToWide(static_cast<wchar_t*>(field), d.size / sizeof(wchar_t), value, SIZE_MAX);
      break;
    case Kind::Password: {
      std::string text = Cfg_DecodePassword(*d.encoding, value);
      StoreText(static_cast<char*>(field), d.size, text.c_str());
      break;
    }
    case Kind::WidePassword: {
      std::string text = Cfg_DecodePassword(*d.encoding, value);
      Cfg_TextToWide(static_cast<wchar_t*>(field), d.size / sizeof(wchar_t), text.c_str(), SIZE_MAX);
      break;
    }
    case Kind::Custom:
      d.parse(index, value);
      break;
  }
}

// ---- writing values -----------------------------------------------------------

const char* EncodingName(uint8_t encoding) {
  switch (encoding) {
    case CFG_PW_YES: return "Yes";
    case CFG_PW_ADVANCED: return "Advanced";
    default: return "No";
  }
}

// Multibyte form of a wide field, whose terminator need not be in place.
std::string WideFieldText(const void* field, size_t size) {
  size_t chars = size / sizeof(wchar_t);
  std::wstring copy(static_cast<const wchar_t*>(field), wcsnlen(static_cast<const wchar_t*>(field), chars));
  std::string out(copy.size() * MB_LEN_MAX + 1, '\0');
  out.resize(Cfg_WideToText(out.data(), out.size(), copy.c_str()));
  return out;
}

std::string NarrowFieldText(const void* field, size_t size) {
  return std::string(static_cast<const char*>(field), strnlen(static_cast<const char*>(field), size));
}

bool FormatValue(const KeyDef& d, int index, std::string* out) {
  const void* field = d.field ? d.field(index) : nullptr;
  char buf[64];
  switch (d.kind) {
    case Kind::Int:
    case Kind::Bounded:
    case Kind::Port:
      snprintf(buf, sizeof buf, "%d", LoadInt(field, d.size));
      *out = buf;
      return true;
    case Kind::Flag:
      *out = LoadInt(field, d.size) ? "Yes" : "No";
      return true;
    case Kind::LockFlag:
      *out = LoadInt(field, d.size) ? "Enable" : "Disable";
      return true;
    case Kind::Bit: {
      int bit = d.limit >= 0 ? d.limit : index;
      *out = (*static_cast<const uint8_t*>(field) >> bit) & 1 ? "Yes" : "No";
      return true;
    }
    case Kind::Encoding:
      *out = EncodingName(*static_cast<const uint8_t*>(field));
      return true;
    case Kind::Text:
      *out = NarrowFieldText(field, d.size);
      return true;
    case Kind::WideBytes:
    case Kind::WideChars:
      *out = WideFieldText(field, d.size);
      return true;
    case Kind::Password:
      return Cfg_EncodePassword(*d.encoding, NarrowFieldText(field, d.size).c_str(), out);
    case Kind::WidePassword:
      return Cfg_EncodePassword(*d.encoding, WideFieldText(field, d.size).c_str(), out);
    case Kind::Custom:
      d.format(index, buf, sizeof buf);
      *out = buf;
      return true;
  }
  return false;
}

struct Writer {
  FILE* f;
  bool ok = true;

  void Section(int section) { fprintf(f, "[%s]\n", CfgKeyTable[CFG_SECTION_NAMES + section]); }

  // One key line. A value never carries a line end into the file: the rest
  // of the value would be read as a line of its own.
  void Key(int key, int index = 0) {
    const KeyDef* d = DefOf(key);
    std::string value;
    if (!FormatValue(*d, index, &value)) {
      ok = false;
      return;
    }
    value.resize(strcspn(value.c_str(), "\r\n"));
    if (d->list)
      fprintf(f, "%s%d=%s\n", CfgKeyTable[key], d->list->first + index, value.c_str());
    else
      fprintf(f, "%s%s\n", CfgKeyTable[key], value.c_str());
  }

  void Range(int first, int end) {
    for (int k = first; k < end; ++k) Key(k);
  }

  // The entries in use of a list, each entry's keys together.
  void Entries(const ListDef& list, std::initializer_list<int> keys) {
    int count = list.size;
    if (list.count && *list.count < count) count = *list.count;
    for (int i = 0; i < count; ++i)
      for (int k : keys) Key(k, i);
  }
};

}  // namespace

void Cfg_ParseLine(int section, const char* line) {
  if (section < 0 || section >= CFG_SEC_END || !line) return;
  const char* equals = strchr(line, '=');
  if (!equals) return;
  const SectionRange& range = kSections[section];
  for (int k = range.first; k < range.end; ++k) {
    const char* key = CfgKeyTable[k];
    size_t n = strlen(key);
    if (strncmp(line, key, n) != 0) continue;
    if (const KeyDef* d = DefOf(k)) Apply(*d, line, n);
    return;
  }
}

namespace {

// One piece of what a snapshot copies: count fields of size bytes, stride
// bytes apart (the same member of each entry of a list).
struct StoragePiece {
  uint8_t* first;
  size_t size;
  size_t stride;
  int count;
};

// The storage of every key (each entry of every list, in use or not), then
// what a read sets beside the settings: the UPS port slot's choice ("COM
// Port="), and the SNMPv3 users' keys, localised from their passwords.
const std::vector<StoragePiece>& StoragePieces() {
  static const std::vector<StoragePiece> pieces = [] {
    std::vector<StoragePiece> out;
    auto at = [](void* p) { return static_cast<uint8_t*>(p); };
    for (const KeyDef& d : kKeys) {
      if (!d.field) continue;
      const int count = d.list ? d.list->size : 1;
      const size_t stride = count > 1 ? static_cast<size_t>(at(d.field(1)) - at(d.field(0))) : 0;
      out.push_back({at(d.field(0)), d.size, stride, count});
    }
    out.push_back({&ComSlot.port[0], sizeof ComSlot.port[0], 0, 1});
    out.push_back({&ComSlot.scan[0], sizeof ComSlot.scan[0], 0, 1});
    UsmUser* users = SnmpAgentSetting.users;
    out.push_back({users[0].authKey, sizeof users[0].authKey, sizeof(UsmUser), SNMP_USM_USERS});
    out.push_back({users[0].privKey, sizeof users[0].privKey, sizeof(UsmUser), SNMP_USM_USERS});
    return out;
  }();
  return pieces;
}

size_t StorageSize() {
  size_t total = 0;
  for (const StoragePiece& p : StoragePieces()) total += p.size * static_cast<size_t>(p.count);
  return total;
}

}  // namespace

void Cfg_TakeSnapshot(CfgSnapshot* snapshot) {
  snapshot->bytes.resize(StorageSize());
  uint8_t* to = snapshot->bytes.data();
  for (const StoragePiece& p : StoragePieces())
    for (int i = 0; i < p.count; ++i, to += p.size) memcpy(to, p.first + p.stride * static_cast<size_t>(i), p.size);
}

void Cfg_RestoreSnapshot(const CfgSnapshot& snapshot) {
  if (snapshot.bytes.size() != StorageSize()) return;  // none taken
  const uint8_t* from = snapshot.bytes.data();
  for (const StoragePiece& p : StoragePieces())
    for (int i = 0; i < p.count; ++i, from += p.size) memcpy(p.first + p.stride * static_cast<size_t>(i), from, p.size);
}

int Cfg_WriteSections(FILE* f) {
  Writer w{f};
  w.Section(CFG_SEC_FORMAT);
  w.Range(CFG_K_VERSION, CFG_K_FORMAT_END);
  w.Section(CFG_SEC_CONFIGURATION);
  w.Range(CFG_K_STOP_SERVICE, CFG_K_CONFIGURATION_END);
  w.Section(CFG_SEC_SYSTEM);
  w.Range(CFG_K_INSTALL_DATE, CFG_K_SYSTEM_END);

  w.Section(CFG_SEC_WEB);
  for (int k : {CFG_K_HTTP_PORT, CFG_K_HTTPS_PORT, CFG_K_ENABLE_HTTP, CFG_K_ENABLE_HTTPS, CFG_K_FORCE_HTTPS,
                CFG_K_WEB_REFRESH, CFG_K_WEB_PASSWORD_ENCRYPT})
    w.Key(k);
  w.Entries(kWebAccounts, {CFG_K_WEB_USER, CFG_K_WEB_PASSWORD});
  w.Range(CFG_K_ENABLE_LOGIN_LOCK, CFG_K_WEB_END);

  w.Section(CFG_SEC_SHUTDOWN);
  w.Range(CFG_K_SHUTDOWN_TYPE, CFG_K_SHUTDOWN_END);
  w.Section(CFG_SEC_REACTION);
  w.Range(CFG_K_NOTIFY_ENABLE, CFG_K_REACTION_END);
  w.Section(CFG_SEC_COM);
  w.Range(CFG_K_COM_PORT, CFG_K_COM_END);

  w.Section(CFG_SEC_SNMP_TRAP);
  w.Key(CFG_K_TRAP_NUMBER);
  w.Entries(kTrapList, {CFG_K_TRAP_IP, CFG_K_TRAP_PORT, CFG_K_TRAP_COMMUNITY, CFG_K_TRAP_TYPE, CFG_K_TRAP_MIB,
                        CFG_K_TRAP_LEVEL, CFG_K_TRAP_USER, CFG_K_TRAP_NCPORT, CFG_K_TRAP_TWICE});

  w.Section(CFG_SEC_SNMP_SERVER);
  w.Key(CFG_K_LISTEN_PORT);
  w.Key(CFG_K_ACCESS_NUMBER);
  w.Entries(kAccessList, {CFG_K_ACCESS_IP, CFG_K_ACCESS_COMMUNITY, CFG_K_ACCESS_PERMISSION});

  w.Section(CFG_SEC_USM);
  w.Range(CFG_K_CONTEXT_NAME, CFG_K_USM_USER);
  w.Entries(kUsmList, {CFG_K_USM_USER, CFG_K_USM_SECURITY, CFG_K_USM_AUTH, CFG_K_USM_PRIV, CFG_K_USM_PERMISSION});

  w.Section(CFG_SEC_MANAGEABLE);
  w.Range(CFG_K_MANAGEABLE_ENABLE, CFG_K_MANAGEABLE_END);
  w.Section(CFG_SEC_DATA_LOG);
  w.Range(CFG_K_MAXIMUM_STORAGE, CFG_K_DATA_LOG_END);
  w.Section(CFG_SEC_WEEKLY);
  w.Entries(kWeeklyList, {CFG_K_WEEKLY_WEEKDAY, CFG_K_WEEKLY_TIME, CFG_K_WEEKLY_ACTION});
  w.Section(CFG_SEC_SPECIFIC);
  w.Entries(kSpecificList, {CFG_K_SPECIFIC_DATE, CFG_K_SPECIFIC_TIME, CFG_K_SPECIFIC_ACTION});

  w.Section(CFG_SEC_MAIL);
  w.Range(CFG_K_MAIL_SERVER, CFG_K_MAIL_RECEIVER);
  w.Key(CFG_K_MAIL_FROM);
  w.Key(CFG_K_MAIL_DOMAIN);
  w.Entries(kMailList, {CFG_K_MAIL_RECEIVER, CFG_K_MAIL_LEVEL});

  w.Section(CFG_SEC_WOL);
  w.Key(CFG_K_WOL_NUM);
  w.Entries(kWolList, {CFG_K_WOL_MAC, CFG_K_WOL_DELAY, CFG_K_WOL_POWER_RESTORE, CFG_K_WOL_SYS_STARTUP,
                       CFG_K_WOL_TITLE});

  w.Section(CFG_SEC_SMS);
  w.Range(CFG_K_SMS_PORT, CFG_K_SMS_PHONE);
  w.Entries(kSmsList, {CFG_K_SMS_PHONE, CFG_K_SMS_LEVEL});

  w.Section(CFG_SEC_UPS);
  w.Range(CFG_K_ENABLE_BATTERY_LOW, CFG_K_LOAD_BANK_PF_ENABLE);
  w.Entries(kLoadBankList, {CFG_K_LOAD_BANK_PF_ENABLE, CFG_K_LOAD_BANK_PF_DELAY, CFG_K_LOAD_BANK_BL_ENABLE,
                            CFG_K_LOAD_BANK_BL_DELAY});

  w.Section(CFG_SEC_END);
  return w.ok ? 1 : 0;
}

void Cfg_SetDefaults() {
  time_t now = Svc_Now();
  struct tm today {};
  localtime_r(&now, &today);
  int year = today.tm_year + 1900, month = today.tm_mon + 1, day = today.tm_mday;

  // [Configuration]
  CfgStopService = 0;
  CfgLanguage = 0;

  // [System]: the site texts start empty; the install date is today.
  memset(&WebSysInfoText, 0, sizeof WebSysInfoText);
  swprintf(WebSysInfoText.installDate, std::size(WebSysInfoText.installDate), L"%02d/%02d/%04d", month, day, year);

  // [Web]
  HttpdSetting.httpPort = 80;
  HttpdSetting.httpsPort = 443;
  HttpdSetting.listen = HTTPD_LISTEN_HTTP | HTTPD_LISTEN_HTTPS;
  HttpdSetting.refresh = 3;
  HttpdSetting.forceHttps = 1;
  WebPasswordEncrypt = CFG_PW_ADVANCED;
  static const wchar_t* const kUsers[WEB_ACCOUNTS] = {L"admin", L"device", L"user"};
  for (int i = 0; i < WEB_ACCOUNTS; ++i) {
    swprintf(WebAccounts[i].name, std::size(WebAccounts[i].name), L"%ls", kUsers[i]);
    swprintf(WebAccounts[i].password, std::size(WebAccounts[i].password), L"%ls", L"brindlex");
  }
  WebLock.enable = 1;
  WebLock.retryLimit = 5;
  WebLock.lockMinutes = 10;

  // [Shutdown]
  ReactSetting.type = REACT_TYPE_SHUTDOWN;
  ReactSetting.upsDelay = 120;
  static const uint8_t kEnable[REACT_COUNT] = {1, 1, 1, 0, 1};
  static const int32_t kDelay[REACT_COUNT] = {300, 30, 60, 300, 300};
  for (int r = 0; r < REACT_COUNT; ++r) {
    ReactSetting.enable[r] = kEnable[r];
    ReactSetting.delay[r] = kDelay[r];
  }

  // [Reaction]: "Execute Command Enable=" keeps its value.
  ReactSetting.notifyEnable = 1;
  ReactSetting.notifyPeriod = 0;
  ReactSetting.commandBefore = 120;
  char command[400];
  snprintf(command, sizeof command, "%s/command/command.ESX5", SvcInstallDir);
  Cfg_TextToWide(ReactSetting.commandFile, std::size(ReactSetting.commandFile), command, SIZE_MAX);
  ReactSetting.smartTrapEnable = 1;
  ReactSetting.smartTrapBefore = 120;

  // [COM]: automatic search.
  ComPortSetting = 0;
  memset(ComPathSetting, 0, sizeof ComPathSetting);
  ComSlot.port[0] = 0;
  ComSlot.scan[0] = 1;

  // [SNMP Trap]: no receivers.
  memset(SnmpTrapReceivers, 0, sizeof SnmpTrapReceivers);
  SnmpTrapReceiverCount = 0;

  // [SNMP Server]: one entry admitting every IPv4 source read-only.
  SnmpAgentSetting.listenPort = 161;
  memset(SnmpAgentSetting.access, 0, sizeof SnmpAgentSetting.access);
  SnmpAgentSetting.accessCount = 1;
  snprintf(SnmpAgentSetting.access[0].address, sizeof SnmpAgentSetting.access[0].address, "0.0.0.0");
  snprintf(SnmpAgentSetting.access[0].community, sizeof SnmpAgentSetting.access[0].community, "%s",
           SNMP_FACTORY_COMMUNITY);
  SnmpAgentSetting.access[0].permission = 1;

  // [USM]: one authPriv read-write user.
  snprintf(SnmpAgentSetting.contextName, sizeof SnmpAgentSetting.contextName, "upsctx");
  SnmpAgentSetting.passwordEncrypt = CFG_PW_ADVANCED;
  memset(SnmpAgentSetting.users, 0, sizeof SnmpAgentSetting.users);
  SnmpAgentSetting.userCount = 1;
  UsmUser& user = SnmpAgentSetting.users[0];
  snprintf(user.name, sizeof user.name, "manager");
  user.security = 2;
  snprintf(user.authPassword, sizeof user.authPassword, "%s", SNMP_FACTORY_AUTH);
  snprintf(user.privPassword, sizeof user.privPassword, "%s", SNMP_FACTORY_PRIV);
  user.permission = 2;

  // [Manageable]
  WebSysManageable = 1;
  WebSysManagerPermission = 0;

  // [Data Log]
  DLogSetting.maxStorage = 12;
  DLogSetting.exportPeriod = 0;
  swprintf(DLogSetting.exportPath, std::size(DLogSetting.exportPath), L"/tmp/");

  // [Mail]: the other mail settings keep their values.
  MailSetting.port = 25;
  MailSetting.passwordEncrypt = CFG_PW_ADVANCED;

  // [UPS]: battery replaced today, next replacement three years on (a
  // 29 February becomes 28 February of a common year).
  UpsRecord.lowBattCheck = 0;
  UpsRecord.lowBattLevel = 30;
  UpsRecord.replaceNotice = 1;
  UpsRecord.replaceNoticeDays = 60;
  int nextYear = year + 3, nextDay = day;
  if (month == 2 && day > Time_DaysInMonth(nextYear, 2)) nextDay = Time_DaysInMonth(nextYear, 2);
  char date[32];
  snprintf(date, sizeof date, "%04d%02d%02d", year, month, day);
  StoreText(UpsRecord.battLastDate, sizeof UpsRecord.battLastDate, date);
  snprintf(date, sizeof date, "%04d%02d%02d", nextYear, month, nextDay);
  StoreText(UpsRecord.battNextDate, sizeof UpsRecord.battNextDate, date);
}
