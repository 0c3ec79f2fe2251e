// The UPS record: the one in-memory image of the connected UPS, with the
// numbering of its status words, measurements and command bits, the
// operation table every protocol driver fills, and the UpsData_ module that
// owns the record.
#pragma once
#include <cstdint>
#include <ctime>

constexpr int UPS_VALUE_COUNT = 124;
constexpr int UPS_MODULE_COUNT = 10;
constexpr int UPS_MODULE_READINGS = 9;
constexpr int UPS_OUTLETS = 8;

struct UpsPowerModule {
  uint64_t shownAlarms;
  uint64_t liveAlarms;  // bit 0 set = module absent
  uint8_t level;
  int32_t readings[UPS_MODULE_READINGS];
};

struct UpsBatteryModule {
  int32_t id;  // -1 ends the list
  int32_t voltage;
  int32_t current;
  int32_t temperature;
  int32_t health;
  int32_t charge;
};

struct UpsRecordType {
  uint8_t lowBattCheck;
  uint8_t lowBattLevel;
  uint8_t replaceNotice;
  uint16_t replaceNoticeDays;
  uint8_t pfOutletMsg[UPS_OUTLETS];  // pending outlet-off message ids; 255 none
  uint8_t blOutletMsg[UPS_OUTLETS];
  uint64_t capabilities;
  uint64_t shownStatus;
  uint64_t liveStatus;
  int8_t debounce[64];
  char model[33];
  uint8_t moduleType;
  char firmware[17];
  char serial[65];
  int32_t values[UPS_VALUE_COUNT];
  char battLastDate[9];
  char battNextDate[9];
  uint8_t outletOn;
  uint8_t outletCount;
  uint8_t replaceDue;
  uint8_t replaceReported;
  UpsPowerModule modules[UPS_MODULE_COUNT];
  uint8_t worstModuleLevel;
  int32_t eventPaging;
  int32_t eventPage;
  uint8_t pfOutletMask;
  uint8_t blOutletMask;
  uint16_t pfOutletDelay[UPS_OUTLETS];
  uint16_t blOutletDelay[UPS_OUTLETS];
  uint8_t modelMatch;
  UpsBatteryModule battModules[UPS_MODULE_COUNT];
  void (*CheckBattReplace)();
  void (*Reset)(int keep);
};
extern UpsRecordType UpsRecord;

// Bit numbers of UpsRecord.liveStatus and UpsRecord.shownStatus.
enum UpsStatusBit : int {
  UPS_ST_OVERTEMP = 0,
  UPS_ST_ACFAIL = 1,
  UPS_ST_OUTPUTBAD = 2,
  UPS_ST_OVERLOAD = 3,
  UPS_ST_BYPASSBAD = 4,
  UPS_ST_OUTPUTOFF = 5,
  UPS_ST_SHUTDOWN = 6,
  UPS_ST_CHARGERFAIL = 7,
  UPS_ST_SYSTEMOFF = 8,
  UPS_ST_FANFAIL = 9,
  UPS_ST_FUSEFAIL = 10,
  UPS_ST_UPSFAIL = 11,
  UPS_ST_AWAITPOWER = 12,
  UPS_ST_BIT13 = 13,
  UPS_ST_SHUTDOWNIMMINENT = 14,
  UPS_ST_BUZMUTED = 15,
  UPS_ST_ECONOMIC = 16,
  UPS_ST_INVERTER = 17,
  UPS_ST_EPO = 18,
  UPS_ST_BUZENABLED = 19,
  UPS_ST_BATTGROUND = 20,
  UPS_ST_OUTPUTOVERVOLT = 21,
  UPS_ST_OUTPUTUNDERVOLT = 22,
  UPS_ST_POWERMODULE = 23,
  UPS_ST_OUTBREAKER = 24,
  UPS_ST_ASYNC = 25,
  UPS_ST_RECTIFIER = 26,
  UPS_ST_BATTWEAK = 27,
  UPS_ST_BATTLOW = 28,
  UPS_ST_BATTDEPLETED = 29,
  UPS_ST_BATTREPLACE = 30,
  UPS_ST_TESTING = 31,
  UPS_ST_TESTFAIL = 32,
  UPS_ST_ONBATTERY = 33,
  UPS_ST_ONBYPASS = 34,
  UPS_ST_OUTSRC5 = 35,
  UPS_ST_CHARGING = 36,
  UPS_ST_DISCHARGING = 37,
  UPS_ST_BOOST = 38,
  UPS_ST_BUCK = 39,
  UPS_ST_PM_BYPASS_BAD = 40,
  UPS_ST_PM_BYPASS_SEQ = 41,
  UPS_ST_PM_BYPASS_OVERLOAD = 42,
  UPS_ST_PM_BYPASS_OVERTEMP = 43,
  UPS_ST_PM_BYPASS_STSFAIL = 44,
  UPS_ST_BATTCAB_BREAKER = 45,
  UPS_ST_COMMLOST = 46,
  UPS_ST_BIT47 = 47,
  UPS_ST_SMARTSHUTDOWN = 48,
  UPS_ST_BIT49 = 49,
  UPS_ST_BIT50 = 50,
  UPS_ST_REDUNDANCY = 51,
  UPS_ST_BIT52 = 52,
  UPS_ST_GREENMODE = 53,
  UPS_ST_BIT54 = 54,
};
constexpr uint64_t UpsBit(int n) { return uint64_t{1} << n; }

// Index into UpsRecord.values.
enum UpsValueIndex : int {
  VAL_RATINVOLT = 0,
  VAL_RATFREQ = 1,
  VAL_RATOUTVOLT = 2,
  VAL_RATOUTFREQ = 3,
  VAL_RATVA = 4,
  VAL_RATPOWER = 5,
  VAL_LOTXVOLT = 7,
  VAL_HITXVOLT = 8,
  VAL_TXV_L2 = 9,
  VAL_TXV_L1 = 10,
  VAL_TXV_H2 = 11,
  VAL_TXV_H1 = 12,
  VAL_TYPE = 13,
  VAL_RATBATTVOLT = 14,
  VAL_TXF_RATFREQ = 17,
  VAL_TXF_MAX = 18,
  VAL_RATBYVOLT = 20,
  VAL_BT2_MAX = 22,
  VAL_BATTCOND = 26,
  VAL_BATTSTS = 27,
  VAL_BATTCHARGE = 28,
  VAL_ONBATTTIME = 29,
  VAL_BATTREMAIN = 30,
  VAL_BATTVOLT = 32,
  VAL_BATTAMP = 33,
  VAL_TEMP = 34,
  VAL_BATTLEVEL = 35,
  VAL_EBP = 36,
  VAL_NEGBATTVOLT = 37,
  VAL_NEGBATTAMP = 38,
  VAL_NEGTEMP = 39,
  VAL_NEGBATTLEVEL = 40,
  VAL_CHG_CUR_POS = 41,
  VAL_CHG_CUR_NEG = 42,
  VAL_CHARGER = 43,
  VAL_INPHASE = 44,
  VAL_INFREQ1 = 45,
  VAL_INVOLT1 = 46,
  VAL_INAMP1 = 47,
  VAL_INPOWER1 = 48,
  VAL_INFREQ2 = 49,
  VAL_INVOLT2 = 50,
  VAL_INAMP2 = 51,
  VAL_INPOWER2 = 52,
  VAL_INFREQ3 = 53,
  VAL_INVOLT3 = 54,
  VAL_INAMP3 = 55,
  VAL_INPOWER3 = 56,
  VAL_INVOLT12 = 57,
  VAL_INVOLT23 = 58,
  VAL_INVOLT31 = 59,
  VAL_OUTSRC = 60,
  VAL_OUTFREQ = 61,
  VAL_PHASE = 62,
  VAL_OUTVOLT1 = 63,
  VAL_OUTAMP1 = 64,
  VAL_OUTPOWER1 = 65,
  VAL_OUTLOAD1 = 66,
  VAL_OUTVOLT2 = 67,
  VAL_OUTAMP2 = 68,
  VAL_OUTPOWER2 = 69,
  VAL_OUTLOAD2 = 70,
  VAL_OUTVOLT3 = 71,
  VAL_OUTAMP3 = 72,
  VAL_OUTPOWER3 = 73,
  VAL_OUTLOAD3 = 74,
  VAL_OUTVOLT12 = 75,
  VAL_OUTVOLT23 = 76,
  VAL_OUTVOLT31 = 77,
  VAL_BYFREQ = 81,
  VAL_BYPHASE = 82,
  VAL_BYVOLT1 = 83,
  VAL_BYAMP1 = 84,
  VAL_BYPOWER1 = 85,
  VAL_BYVOLT2 = 86,
  VAL_BYAMP2 = 87,
  VAL_BYPOWER2 = 88,
  VAL_BYVOLT3 = 89,
  VAL_BYAMP3 = 90,
  VAL_BYPOWER3 = 91,
  VAL_BYVOLT12 = 92,
  VAL_BYVOLT23 = 93,
  VAL_BYVOLT31 = 94,
  VAL_TESTRESULT = 96,
  VAL_VSN = 97,
  VAL_ATT = 98,
  VAL_ARB = 99,
  VAL_UBD = 100,
  VAL_TXF = 101,
  VAL_BT2 = 102,
  VAL_SDC = 103,  // six words, 103..108
  VAL_IDC = 109,  // two words, 109..110
  VAL_BATTCAB_TEMP = 111,  // four cabinets, 111..114
  VAL_BATTCAB_BREAKER = 115,
  VAL_BTV_TIME = 116,
  VAL_BTV_VOLT = 117,
  VAL_AEL = 118,  // six fields, 118..123
};

// UPS commands and capabilities: bit n of a one-hot 64-bit code.
enum UpsCommandBitNo : int {
  UPS_CMD_ROF_BIT = 1,
  UPS_CMD_RON_BIT = 2,
  UPS_CMD_VSN_BIT = 3,
  UPS_CMD_TXV_BIT = 4,
  UPS_CMD_TST_BIT = 7,
  UPS_CMD_SDT_BIT = 8,
  UPS_CMD_SDR_BIT = 9,
  UPS_CMD_SDA_BIT = 10,
  UPS_CMD_BUZ_BIT = 12,
  UPS_CMD_ARB_BIT = 13,
  UPS_CMD_ATT_BIT = 16,
  UPS_CMD_ECO_BIT = 17,
  UPS_CMD_TXF_BIT = 18,
  UPS_CMD_UBD_BIT = 19,
  UPS_CMD_SDC_BIT = 23,
  UPS_CAP_AEL_BIT = 26,
  UPS_CMD_ELS_BIT = 27,
  UPS_CAP_IDC_BIT = 34,
  UPS_CAP_TME_BIT = 35,
  UPS_CMD_LOTXV_BIT = 36,
  UPS_CMD_HITXV_BIT = 37,
  UPS_CMD_BIT38_BIT = 38,
  UPS_CMD_GRE_BIT = 39,
  UPS_CAP_BMI_BIT = 40,
  UPS_CMD_EDB_BIT = 42,
  UPS_CMD_EVT_BIT = 43,
  UPS_CMD_BTV_BIT = 45,
  UPS_CMD_BRD_BIT = 48,
  UPS_CAP_SOL_BIT = 49,
  UPS_CAP_LET_BIT = 50,
  UPS_CAP_STP_BIT = 51,
  UPS_CAP_PMA_BIT = 52,
  UPS_CAP_PMS_BIT = 53,
  UPS_CAP_PFS_BIT = 54,
  UPS_CAP_PIS_BIT = 55,
  UPS_CAP_PCS_BIT = 56,
  UPS_CAP_PMT_BIT = 57,
  UPS_CAP_PIV_BIT = 58,
  UPS_CAP_BPA_BIT = 59,
  UPS_CAP_BCT_BIT = 60,
  UPS_CAP_BT1_BIT = 61,
  UPS_CMD_BT2_BIT = 62,
  UPS_CMD_EBP_BIT = 63,
};

using UpsCommandBit = uint64_t;
constexpr UpsCommandBit UPS_CMD_ROF = UpsBit(UPS_CMD_ROF_BIT);
constexpr UpsCommandBit UPS_CMD_RON = UpsBit(UPS_CMD_RON_BIT);
constexpr UpsCommandBit UPS_CMD_VSN = UpsBit(UPS_CMD_VSN_BIT);
constexpr UpsCommandBit UPS_CMD_TXV = UpsBit(UPS_CMD_TXV_BIT);
constexpr UpsCommandBit UPS_CMD_TST = UpsBit(UPS_CMD_TST_BIT);
constexpr UpsCommandBit UPS_CMD_SDT = UpsBit(UPS_CMD_SDT_BIT);
constexpr UpsCommandBit UPS_CMD_SDR = UpsBit(UPS_CMD_SDR_BIT);
constexpr UpsCommandBit UPS_CMD_SDA = UpsBit(UPS_CMD_SDA_BIT);
constexpr UpsCommandBit UPS_CMD_BUZ = UpsBit(UPS_CMD_BUZ_BIT);
constexpr UpsCommandBit UPS_CMD_ARB = UpsBit(UPS_CMD_ARB_BIT);
constexpr UpsCommandBit UPS_CMD_ATT = UpsBit(UPS_CMD_ATT_BIT);
constexpr UpsCommandBit UPS_CMD_ECO = UpsBit(UPS_CMD_ECO_BIT);
constexpr UpsCommandBit UPS_CMD_TXF = UpsBit(UPS_CMD_TXF_BIT);
constexpr UpsCommandBit UPS_CMD_UBD = UpsBit(UPS_CMD_UBD_BIT);
constexpr UpsCommandBit UPS_CMD_SDC = UpsBit(UPS_CMD_SDC_BIT);
constexpr UpsCommandBit UPS_CAP_AEL = UpsBit(UPS_CAP_AEL_BIT);
constexpr UpsCommandBit UPS_CMD_ELS = UpsBit(UPS_CMD_ELS_BIT);
constexpr UpsCommandBit UPS_CAP_IDC = UpsBit(UPS_CAP_IDC_BIT);
constexpr UpsCommandBit UPS_CAP_TME = UpsBit(UPS_CAP_TME_BIT);
constexpr UpsCommandBit UPS_CMD_LOTXV = UpsBit(UPS_CMD_LOTXV_BIT);
constexpr UpsCommandBit UPS_CMD_HITXV = UpsBit(UPS_CMD_HITXV_BIT);
constexpr UpsCommandBit UPS_CMD_BIT38 = UpsBit(UPS_CMD_BIT38_BIT);
constexpr UpsCommandBit UPS_CMD_GRE = UpsBit(UPS_CMD_GRE_BIT);
constexpr UpsCommandBit UPS_CAP_BMI = UpsBit(UPS_CAP_BMI_BIT);
constexpr UpsCommandBit UPS_CMD_EDB = UpsBit(UPS_CMD_EDB_BIT);
constexpr UpsCommandBit UPS_CMD_EVT = UpsBit(UPS_CMD_EVT_BIT);
constexpr UpsCommandBit UPS_CMD_BTV = UpsBit(UPS_CMD_BTV_BIT);
constexpr UpsCommandBit UPS_CMD_BRD = UpsBit(UPS_CMD_BRD_BIT);
constexpr UpsCommandBit UPS_CAP_SOL = UpsBit(UPS_CAP_SOL_BIT);
constexpr UpsCommandBit UPS_CAP_LET = UpsBit(UPS_CAP_LET_BIT);
constexpr UpsCommandBit UPS_CAP_STP = UpsBit(UPS_CAP_STP_BIT);
constexpr UpsCommandBit UPS_CAP_PMA = UpsBit(UPS_CAP_PMA_BIT);
constexpr UpsCommandBit UPS_CAP_PMS = UpsBit(UPS_CAP_PMS_BIT);
constexpr UpsCommandBit UPS_CAP_PFS = UpsBit(UPS_CAP_PFS_BIT);
constexpr UpsCommandBit UPS_CAP_PIS = UpsBit(UPS_CAP_PIS_BIT);
constexpr UpsCommandBit UPS_CAP_PCS = UpsBit(UPS_CAP_PCS_BIT);
constexpr UpsCommandBit UPS_CAP_PMT = UpsBit(UPS_CAP_PMT_BIT);
constexpr UpsCommandBit UPS_CAP_PIV = UpsBit(UPS_CAP_PIV_BIT);
constexpr UpsCommandBit UPS_CAP_BPA = UpsBit(UPS_CAP_BPA_BIT);
constexpr UpsCommandBit UPS_CAP_BCT = UpsBit(UPS_CAP_BCT_BIT);
constexpr UpsCommandBit UPS_CAP_BT1 = UpsBit(UPS_CAP_BT1_BIT);
constexpr UpsCommandBit UPS_CMD_BT2 = UpsBit(UPS_CMD_BT2_BIT);
constexpr UpsCommandBit UPS_CMD_EBP = UpsBit(UPS_CMD_EBP_BIT);

// The command entry callers use (COM_SendCommand): the code, then the
// command's arguments (signed 32-bit integers, or the pointers and texts the
// command table names).
using UpsCommandFn = void (*)(uint64_t code, ...);

// A command's arguments in the one form the drivers take them: up to two
// numbers, or two texts, or the six words; a text or the words not given
// are null.
struct UpsCommandArgs {
  int32_t number[2] = {0, 0};
  const char* text[2] = {nullptr, nullptr};
  const uint16_t* words = nullptr;
  constexpr UpsCommandArgs() = default;
  constexpr UpsCommandArgs(int32_t first, int32_t second = 0) : number{first, second} {}
  constexpr UpsCommandArgs(const char* first, const char* second) : text{first, second} {}
  constexpr UpsCommandArgs(const uint16_t* sixWords) : words(sixWords) {}
};
using UpsDriverCommandFn = void (*)(uint64_t code, const UpsCommandArgs& args);

// Operations every protocol driver fills in its init. Command builds the
// command's frames and queues them; Withdraw takes back the queued frames
// of the link manager's command with this tag that are not on the line yet
// and returns how many it took.
struct UpsProtocolOps {
  int (*Probe)(uint8_t slot);
  void (*Poll)(uint8_t slot);
  int (*BitIndex)(uint64_t mask);
  UpsDriverCommandFn Command;
  int (*Withdraw)(uint32_t tag);
};

// The reading at a UpsRecord.values index as the pages and the data log may
// present it: -1 (not reported) for an index outside the table and for
// every reading while the shown status word has bit 46 (link lost), when
// the record holds only what a lost link left.
int32_t UpsData_Reading(int index);

void UpsData_Init(const struct tm* now);
void UpsData_Reset(int keep);
void UpsData_CheckBattReplace();
void UpsData_Exit();
