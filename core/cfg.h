// Configuration store: config.ini in the installation directory, its reader
// and writer, the version migrations, the password encodings and the import
// of an uploaded file; and the key catalogue (core/cfgkeys.cpp) with the
// factory defaults. The settings themselves are the records of the modules
// that own them; the store reads and writes them in place.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

// Section index: the order of the section names in CfgKeyTable.
enum CfgSection : int {
  CFG_SEC_FORMAT = 0,
  CFG_SEC_CONFIGURATION = 1,
  CFG_SEC_SYSTEM = 2,
  CFG_SEC_WEB = 3,
  CFG_SEC_SHUTDOWN = 4,
  CFG_SEC_REACTION = 5,
  CFG_SEC_COM = 6,
  CFG_SEC_SOURCE_IP = 7,  // read over, never written
  CFG_SEC_SNMP_TRAP = 8,
  CFG_SEC_SNMP_SERVER = 9,
  CFG_SEC_USM = 10,
  CFG_SEC_MANAGEABLE = 11,
  CFG_SEC_DATA_LOG = 12,
  CFG_SEC_WEEKLY = 13,
  CFG_SEC_SPECIFIC = 14,
  CFG_SEC_MAIL = 15,
  CFG_SEC_WOL = 16,
  CFG_SEC_SMS = 17,
  CFG_SEC_UPS = 18,
  CFG_SEC_END = 19,
  CFG_SECTION_COUNT = 20,
};

// Index into CfgKeyTable: the four language directory names, the twenty
// section names, then each section's keys in matching order, each range
// followed by an empty slot (the *_END index). Numbered keys are stems
// without "=" (entry number and "=" follow in the file).
enum CfgKeyIndex : int {
  CFG_LANGUAGE_NAMES = 0,  // "English", "Traditional Chinese", "Simplified Chinese", "Polish"
  CFG_SECTION_NAMES = 4,   // "Format" ... "End"
  CFG_KEYS_FIRST = CFG_SECTION_NAMES + CFG_SECTION_COUNT + 1,

  CFG_K_VERSION = CFG_KEYS_FIRST,
  CFG_K_RESTART,
  CFG_K_FORMAT_END,

  CFG_K_STOP_SERVICE,
  CFG_K_LANGUAGE,
  CFG_K_CONFIGURATION_END,

  CFG_K_INSTALL_DATE,
  CFG_K_LOCATION,
  CFG_K_DESCRIPTION,
  CFG_K_CONTACTOR,
  CFG_K_NAME,
  CFG_K_SYSTEM_END,

  CFG_K_HTTP_PORT,
  CFG_K_HTTPS_PORT,
  CFG_K_ENABLE_HTTP,
  CFG_K_ENABLE_HTTPS,
  CFG_K_WEB_REFRESH,
  CFG_K_WEB_PASSWORD_ENCRYPT,
  CFG_K_WEB_USER,
  CFG_K_WEB_PASSWORD,
  CFG_K_FORCE_HTTPS,
  CFG_K_ENABLE_LOGIN_LOCK,
  CFG_K_LOGIN_RETRY,
  CFG_K_LOCK_TIME,
  CFG_K_WEB_END,

  CFG_K_SHUTDOWN_TYPE,
  CFG_K_UPS_DELAY,
  CFG_K_POWER_FAIL_ENABLE,
  CFG_K_POWER_FAIL_DELAY,
  CFG_K_BATTERY_LOW_ENABLE,
  CFG_K_BATTERY_LOW_DELAY,
  CFG_K_OVERLOAD_ENABLE,
  CFG_K_OVERLOAD_DELAY,
  CFG_K_BYPASS_ENABLE,
  CFG_K_BYPASS_DELAY,
  CFG_K_SCHEDULE_SHUTDOWN_ENABLE,
  CFG_K_SCHEDULE_SHUTDOWN_DELAY,
  CFG_K_SHUTDOWN_END,

  CFG_K_NOTIFY_ENABLE,
  CFG_K_NOTIFY_PERIOD,
  CFG_K_COMMAND_ENABLE,
  CFG_K_COMMAND_BEFORE,
  CFG_K_COMMAND_FILE,
  CFG_K_SMART_TRAP_ENABLE,
  CFG_K_SMART_TRAP_BEFORE,
  CFG_K_REACTION_END,

  CFG_K_COM_PORT,
  CFG_K_COM_PATH,
  CFG_K_COM_END,

  CFG_K_SOURCE_IP_END,  // [Source IP] has no keys

  CFG_K_TRAP_NUMBER,
  CFG_K_TRAP_IP,
  CFG_K_TRAP_PORT,
  CFG_K_TRAP_COMMUNITY,
  CFG_K_TRAP_TYPE,
  CFG_K_TRAP_MIB,
  CFG_K_TRAP_LEVEL,
  CFG_K_TRAP_USER,
  CFG_K_TRAP_NCPORT,
  CFG_K_TRAP_TWICE,
  CFG_K_SNMP_TRAP_END,

  CFG_K_LISTEN_PORT,
  CFG_K_ACCESS_NUMBER,
  CFG_K_ACCESS_IP,
  CFG_K_ACCESS_COMMUNITY,
  CFG_K_ACCESS_PERMISSION,
  CFG_K_SNMP_SERVER_END,

  CFG_K_CONTEXT_NAME,
  CFG_K_USM_PASSWORD_ENCRYPT,
  CFG_K_USM_NUMBER,
  CFG_K_USM_USER,
  CFG_K_USM_SECURITY,
  CFG_K_USM_AUTH,
  CFG_K_USM_PRIV,
  CFG_K_USM_PERMISSION,
  CFG_K_USM_END,

  CFG_K_MANAGEABLE_ENABLE,
  CFG_K_MANAGER_PERMISSION,
  CFG_K_MANAGEABLE_END,

  CFG_K_MAXIMUM_STORAGE,
  CFG_K_EXPORT_PERIOD,
  CFG_K_EXPORT_PATH,
  CFG_K_DATA_LOG_END,

  CFG_K_WEEKLY_WEEKDAY,
  CFG_K_WEEKLY_TIME,
  CFG_K_WEEKLY_ACTION,
  CFG_K_WEEKLY_END,

  CFG_K_SPECIFIC_DATE,
  CFG_K_SPECIFIC_TIME,
  CFG_K_SPECIFIC_ACTION,
  CFG_K_SPECIFIC_END,

  CFG_K_MAIL_SERVER,
  CFG_K_MAIL_PORT,
  CFG_K_MAIL_PASSWORD_ENCRYPT,
  CFG_K_MAIL_SENDER,
  CFG_K_MAIL_PASSWORD,
  CFG_K_MAIL_RECEIVE_NUM,
  CFG_K_MAIL_RECEIVER,
  CFG_K_MAIL_LEVEL,
  CFG_K_MAIL_FROM,
  CFG_K_MAIL_DOMAIN,
  CFG_K_MAIL_END,

  CFG_K_WOL_NUM,
  CFG_K_WOL_MAC,
  CFG_K_WOL_DELAY,
  CFG_K_WOL_POWER_RESTORE,
  CFG_K_WOL_SYS_STARTUP,
  CFG_K_WOL_TITLE,
  CFG_K_WOL_END,

  CFG_K_SMS_PORT,
  CFG_K_SMS_BAUD,
  CFG_K_SMS_NUM,
  CFG_K_SMS_PHONE,
  CFG_K_SMS_LEVEL,
  CFG_K_SMS_END,

  CFG_K_ENABLE_BATTERY_LOW,
  CFG_K_BATTERY_LOW_LEVEL,
  CFG_K_ENABLE_REPLACE_NOTIFY,
  CFG_K_REPLACE_NOTIFY_DAY,
  CFG_K_LAST_BATTERY_REPLACE,
  CFG_K_NEXT_BATTERY_REPLACE,
  CFG_K_LOAD_BANK_PF_ENABLE,
  CFG_K_LOAD_BANK_PF_DELAY,
  CFG_K_LOAD_BANK_BL_ENABLE,
  CFG_K_LOAD_BANK_BL_DELAY,
  CFG_K_UPS_END,

  // The device page variable names follow the key texts, group after group
  // in the order the device writer tries the groups (web/webdev.cpp); each
  // group runs up to the next one's first name.
  CFG_DEV_SUM,                      // "SUM_HOST_NAME" ...
  CFG_DEV_UPS = CFG_DEV_SUM + 11,   // "UPS_MODEL" ...
  CFG_DEV_PRP = CFG_DEV_UPS + 78,   // "PRP_C_MODEL" ...
  CFG_DEV_CFG = CFG_DEV_PRP + 24,   // "CFG_ARB" ...
  CFG_DEV_CTL = CFG_DEV_CFG + 34,   // "CTL_FTST" ...
  CFG_DEV_IMG = CFG_DEV_CTL + 4,    // "IMG_STS_COMMERR" ...
  CFG_DEV_NCS = CFG_DEV_IMG + 34,   // "NCS_NC_NUM" ...
  CFG_DEV_LOG = CFG_DEV_NCS + 2,    // "LOG_PAGE" ...
  CFG_DEV_DATA = CFG_DEV_LOG + 7,   // "DATA_SELBY" ...
  CFG_DEV_HCG = CFG_DEV_DATA + 6,   // "HCG_MAX_DATANUM" ...
  CFG_DEV_ACT = CFG_DEV_HCG + 4,    // "ACT_PF_EN" ...
  CFG_DEV_WSH = CFG_DEV_ACT + 24,   // "WSH_AC" ...
  CFG_DEV_SSH = CFG_DEV_WSH + 3,    // "SSH_AC" ...
  CFG_DEV_EVT = CFG_DEV_SSH + 3,    // "EVT_LIST_ADD" ...
  CFG_DEV_TRAP = CFG_DEV_EVT + 2,   // "TRAP_LIST_ADD" ...
  CFG_DEV_NOT = CFG_DEV_TRAP + 2,   // "NOT_DELAY"
  CFG_DEV_WOL = CFG_DEV_NOT + 1,    // "WOL_LIST_ADD" ...
  CFG_DEV_DBG = CFG_DEV_WOL + 2,    // "DBG_TX_OK" ...
  CFG_DEV_END = CFG_DEV_DBG + 9,

  CFG_KEY_TABLE_SIZE = CFG_DEV_END,
};

// Section names, language directory names, key texts and device page
// variable names, by CfgKeyIndex.
extern const char* const CfgKeyTable[CFG_KEY_TABLE_SIZE];

// "Password Encrypt=" values of [Web], [USM] and [Mail].
enum CfgPasswordEncrypt : uint8_t {
  CFG_PW_NO = 0,        // as text
  CFG_PW_YES = 1,       // radix-64 of the text
  CFG_PW_ADVANCED = 2,  // AES-256 under the configuration key, then radix-64
};

constexpr int32_t CFG_FORMAT_VERSION = 5;  // "Version=" that the writer puts

// [Format] and [Configuration] values of the store.
extern int32_t CfgVersion;     // "Version=" as last read; drives the migrations
extern int32_t CfgRestart;     // "Restart=", read and not used
extern uint8_t CfgStopService; // "Stop Service=", read, written back, not used
extern uint8_t CfgLanguage;    // "Language=": 0 English, 1 Traditional Chinese,
                               // 2 Simplified Chinese, 3 Polish

// What this run knows of config.ini.
enum CfgFileState : uint8_t {
  CFG_FILE_UNKNOWN = 0,  // not read yet
  CFG_FILE_READ = 1,     // read, created or saved in this run
  // It exists and could not be read before any read succeeded: the service
  // runs on the factory defaults and leaves the file as it is until an
  // operator changes a setting (Cfg_Save); Cfg_Rewrite writes nothing.
  CFG_FILE_KEPT = 2,
};
extern CfgFileState CfgFile;

// Reads config.ini (path null) or the given file and applies it over the
// current settings, then the migrations. The file is read whole before
// anything is applied; a file that changes the SNMPv3 users has their keys
// localised again. config.ini that does not exist is created from the
// factory defaults. One that exists and cannot be read keeps the settings
// in memory, unless no read has succeeded in this run: then the factory
// defaults are set (the file is not written) and the store keeps the file
// (CFG_FILE_KEPT), noting why at level 3. 1 when a file was read, else 0.
int Cfg_Load(const char* path);
// The reload of config.ini at every lost UPS link: read and applied as by
// Cfg_Load. A file that cannot be read leaves the settings in use as they
// are (never the factory defaults), and a config.ini that does not exist
// is written from them. 1 when the file was read, else 0.
int Cfg_Reload();
// Reads an open file whole from its start and applies it as Cfg_Load does.
// 1 when it was read to its end, 0 on a read error (nothing applied).
int Cfg_LoadStream(FILE* f);
// Rewrites config.ini whole from the current settings: a temporary file in
// the same directory, flushed, synced and renamed over it (mode 0600).
// 1 on success; on failure the old file stays and 0 is returned. For the
// changes an operator makes (web forms, SNMP SETs, an upload): it also
// writes over a file that the store kept.
int Cfg_Save();
// Test seam: when set, Cfg_Save calls it in place of rewriting config.ini
// and returns its result (the fuzz targets run the forms without a save to
// disk per input).
extern int (*CfgSaveStandIn)();
// The service's own rewrites (at start, after a found COM port, before
// hibernating, after a migration, for the battery notice): Cfg_Save, except
// that a kept file is left alone (0).
int Cfg_Rewrite();
// Whether config.ini can be read (or is missing): 1; else 0 and the
// reason, as Cfg_Load would note it, into reason. Reads nothing into the
// settings.
int Cfg_Probe(char* reason, size_t size);
// 1 when a line of the file begins with "[End]" (the position is then past
// that line); else 0, with the file rewound.
int Cfg_HasEndSection(FILE* f);
// Imports an uploaded configuration: the value bytes (the form field's value
// from its start, length bytes) go to "<tmp>/config_tmp.ini"; when the file
// holds an "[End]" line it is loaded over the current settings and
// config.ini is rewritten. The temporary file is always removed. 1 when
// imported and saved, -1 when imported but config.ini could not be
// written (the settings in memory are the imported ones), 0 when nothing
// was imported.
int Cfg_ImportUpload(const char* value, size_t length);

// Every setting config.ini holds, byte for byte as it stood in memory when
// taken (list entries beyond a list's count too), so that a change which
// cannot be saved is undone whole. A snapshot does not pass through the
// file's text, which does not give every value back: its reader keeps a
// schedule row as it was when the file's row is empty, and takes the
// factory port for a port 0. With the settings goes what a read of the
// file sets beside them: the UPS port slot's choice and the SNMPv3 users'
// localised keys (core/cfgkeys.cpp, from the key catalogue).
struct CfgSnapshot {
  std::vector<uint8_t> bytes;
};
void Cfg_TakeSnapshot(CfgSnapshot* snapshot);
// Puts every setting back as the snapshot holds it (nothing when it holds
// none).
void Cfg_RestoreSnapshot(const CfgSnapshot& snapshot);

// Problems the reader finds (a file it cannot read, a value that is no
// port): each text once per sink, handed to the sink, or kept until a sink
// is set (at start the event log comes up after the first reads). A new
// sink gets the kept notes and starts a new run of once-only texts.
void Cfg_SetNoteSink(void (*sink)(int level, const char* text));
void Cfg_Note(int level, const char* text);

// Key catalogue (core/cfgkeys.cpp).
// Matches one line against the keys of the section and stores its value.
void Cfg_ParseLine(int section, const char* line);
// Sets the factory defaults; today's date comes from Svc_Now().
void Cfg_SetDefaults();
// Writes every section in order, "[End]" last. 0 when a password could not
// be encoded (the caller then discards the file).
int Cfg_WriteSections(FILE* f);

// Password encodings: the stored text of a password, and the password of a
// stored text. A stored text that is no text the writer makes under that
// encoding (a password written in clear by hand, say) is the password
// itself: it never becomes an empty password, and the next save writes it
// encoded.
bool Cfg_EncodePassword(uint8_t encoding, const char* password, std::string* stored);
std::string Cfg_DecodePassword(uint8_t encoding, const char* stored);

// Locale conversions that never split a character and always terminate.
// Text to wide: at most maxBytes bytes of text and cap - 1 wide characters;
// stops before an invalid or incomplete sequence. Returns the characters.
size_t Cfg_TextToWide(wchar_t* out, size_t cap, const char* text, size_t maxBytes);
// Wide to text: at most cap - 1 bytes of whole characters; stops before a
// character the locale cannot encode. Returns the bytes.
size_t Cfg_WideToText(char* out, size_t cap, const wchar_t* text);
