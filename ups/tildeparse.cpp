// Tilde protocol reply parser: turns one data reply into fields of the UPS
// record, chosen by the mnemonic of the frame that asked for it.
#include <cstdint>
#include <cstring>

#include "core/util.h"
#include "ups/protofields.h"
#include "ups/tilde.h"

namespace {

using Field = ProtoField;
using Fields = ProtoFields;

int32_t* Values() { return UpsRecord.values; }
void ClearValues(int first, int last) {
  for (int i = first; i <= last; ++i) UpsRecord.values[i] = -1;
}
// Fields 0.. go to values first..first + count - 1; skip is a field left out.
void FieldsToValues(const char* data, int length, int first, int count, int skip = -1) {
  Fields fields(data, length);
  Field f;
  for (int i = 0; i < count && fields.Next(&f); ++i) {
    if (i != skip && !f.empty()) UpsRecord.values[first + i] = Proto_Number(f);
  }
}

// ---- capability tables of AL1, AL2, AL3 (-1: none) ----
constexpr int8_t kAl1[25] = {-1, -1, -1, -1, 8,  -1, -1, -1, -1, -1, 48, 6, 5,
                             -1, 4,  3,  50, 49, -1, 48, 47, 16, 14, 13, 18};
constexpr int8_t kAl2[25] = {19, 46, 45, -1, 44, -1, -1, 21, 22, 23, 34, 24, 25,
                             26, 27, 29, 43, 52, 53, 54, 55, 56, 57, 58, 59};
constexpr int8_t kAl3[29] = {61, 62, 60, 12, 10, 9,  7,  2,  1,  0,  17, 15, -1, 42, 63,
                             30, 31, 32, 33, 41, 35, -1, -1, -1, -1, -1, -1, -1, 40};

void ParseFlags(const char* data, int length, const int8_t* table, int positions) {
  for (int i = 0; i < length && i < positions; ++i)
    if (data[i] == '1' && table[i] >= 0) Proto_AddCap(table[i]);
}

constexpr const char* kModelCodes[18] = {
    "KRV516QT6051472", "KRV516QT6051488", "KRV287QT6051472", "KRV287QT6051488", "KRV516QT6057Z31",
    "KRV287QT6057Z31", "KRV287QT6051CC4", "KRV349QT79260D5", "KRV471QT79260D5", "KRV516QT79260D5",
    "KRV471MW6051472", "KRV471MW6051488", "KRV516MW6051472", "KRV516MW6051488", "KRV238MW6051472",
    "KRV238MW6051488", "KRV287MW6051472", "KRV287MW6051488",
};

void ParseMod(const char* data, int length) {
  Fields fields(data, length);
  Field model, type;
  fields.Next(&model);
  Proto_CopyText(UpsRecord.model, sizeof UpsRecord.model, model.text, model.length);
  if (UpsRecord.model[0] == 0) strcpy(UpsRecord.model, "(Empty)");
  if (!fields.Next(&type) || type.empty()) return;
  UpsRecord.moduleType = static_cast<uint8_t>(Proto_Number(type));
  if (UpsRecord.moduleType >= 3 && UpsRecord.moduleType <= 5)
    for (int b = UPS_CAP_PMA_BIT; b <= UPS_CAP_BCT_BIT; ++b) Proto_AddCap(b);
  UpsRecord.modelMatch = 0;
  if (UpsRecord.moduleType == 3) {
    UpsRecord.modelMatch = 1;
    for (const char* code : kModelCodes)
      if (UF_StrNCaseCmp(UpsRecord.model, code, static_cast<int>(strlen(code))) == 0) UpsRecord.modelMatch = 2;
  }
}

void ParseRat(const char* data, int length) {
  ClearValues(0, 25);
  FieldsToValues(data, length, 0, 26);
  int32_t* v = Values();
  if (v[1] < 1) v[1] = v[3];
  bool all = true;
  for (int i = 20; i <= 25; ++i) all = all && v[i] >= 0;
  if (all) Proto_AddCap(UPS_CAP_BT1_BIT);
  else if (v[20] >= 0 && v[22] >= 0 && v[23] >= 0) Proto_AddCap(UPS_CMD_BT2_BIT);
}

void ParseStb(const char* data, int length, int t) {
  ClearValues(26, 28);
  ClearValues(30, 43);
  FieldsToValues(data, length, 26, 18, 3);  // field 3 is the on-battery time, kept by the service
  if (UpsRecord.values[VAL_EBP] >= 0) Proto_AddCap(UPS_CMD_EBP_BIT);
  Proto_BatteryRules(t, true);
}

void ParseSto(const char* data, int length, int t) {
  ClearValues(60, 80);
  FieldsToValues(data, length, 60, 21);
  static constexpr int kSourceBits[] = {UPS_ST_ONBATTERY, UPS_ST_ONBYPASS, UPS_ST_OUTSRC5, UPS_ST_BOOST, UPS_ST_BUCK};
  for (int bit : kSourceBits) Proto_ClearBit(bit);
  switch (UpsRecord.values[VAL_OUTSRC]) {
    case 0:
      for (int bit : kSourceBits) UpsRecord.debounce[bit] = 0;
      UpsRecord.debounce[UPS_ST_OUTPUTOFF] = 0;
      break;
    case 1: Proto_CountUpBit(UPS_ST_ONBATTERY, t); break;
    case 2: Proto_CountUpBit(UPS_ST_ONBYPASS, t); break;
    case 3: Proto_CountUpBit(UPS_ST_BUCK, t); break;
    case 4: Proto_CountUpBit(UPS_ST_BOOST, t); break;
    case 5: Proto_CountUpBit(UPS_ST_OUTSRC5, t); break;
    case 7: Proto_CountUp(UPS_ST_OUTPUTOFF, t); break;
    default: break;
  }
}

void ParseSta(const char* data, int length, int t) {
  Fields fields(data, length);
  Field f;
  for (int i = 0; i < 33 && fields.Next(&f); ++i) {
    if (f.empty()) continue;
    char flag = f.text[0];
    if (i == 19) flag = flag == '0' ? '1' : flag == '1' ? '0' : flag;
    int bit = i <= 26 ? i : i + 22;
    if (flag == '1') Proto_CountUpBit(bit, t);
    else Proto_CountDownBit(bit);
    if (i == 31 && UpsRecord.moduleType != 6) Proto_AddCap(UPS_CMD_GRE_BIT);
  }
}

void ParseTsr(const char* data, int length, int t) {
  if (length > 0) UpsRecord.values[VAL_TESTRESULT] = Proto_Number(data, length);
  Proto_TestResult(t);
}

void Words(const uint8_t* data, int count, int first) {
  for (int i = 0; i < count; ++i) UpsRecord.values[first + i] = data[2 * i] | (data[2 * i + 1] << 8);
}

// ---- power-module group items ----
enum GroupItem { PMA, PMS, PFS, PIS, PCS, PMT, PIV };

void SetAlarm(UpsPowerModule& m, int bit, bool on) {
  if (on) m.liveAlarms |= UpsBit(bit);
  else m.liveAlarms &= ~UpsBit(bit);
}

// One group's fields: values[0..size-1] with presence; values[0] unused.
void ApplyGroup(GroupItem item, UpsPowerModule& m, const int32_t* v, const bool* has, int size) {
  bool any = false;
  for (int i = 1; i < size; ++i) any = any || has[i];
  if (!any) return;
  switch (item) {
    case PMA:
      SetAlarm(m, 0, false);
      m.readings[0] = v[1];
      break;
    case PMS:
      for (int b = 1; b <= 3; ++b) SetAlarm(m, b, false);
      if (!(v[1] & 0x01)) SetAlarm(m, 1, true);
      if (v[1] & 0x40) SetAlarm(m, 2, true);
      if (v[1] & 0x80) SetAlarm(m, 3, true);
      break;
    case PFS: {
      uint32_t x = static_cast<uint32_t>(has[1] ? v[1] : 0) + 256u * static_cast<uint32_t>(has[2] ? v[2] : 0);
      for (int b = 4; b <= 16; ++b) SetAlarm(m, b, false);
      SetAlarm(m, 34, false);
      for (int i = 0; i <= 10; ++i)
        if (x & (1u << i)) SetAlarm(m, 4 + i, true);
      if (x & (1u << 11)) SetAlarm(m, 34, true);
      if (x & (1u << 12)) SetAlarm(m, 15, true);
      if (x & (1u << 15)) SetAlarm(m, 16, true);
      break;
    }
    case PIS: {
      uint32_t x = static_cast<uint32_t>(has[1] ? v[1] : 0) + 256u * static_cast<uint32_t>(has[2] ? v[2] : 0) +
                   65536u * static_cast<uint32_t>(has[3] ? v[3] : 0);
      for (int b = 17; b <= 32; ++b) SetAlarm(m, b, false);
      for (int i = 0; i <= 3; ++i)
        if (x & (1u << i)) SetAlarm(m, 17 + i, true);
      for (int i = 5; i <= 10; ++i)
        if (x & (1u << i)) SetAlarm(m, 21 + (i - 5), true);
      for (int i = 12; i <= 15; ++i)
        if (x & (1u << i)) SetAlarm(m, 27 + (i - 12), true);
      if (x & (1u << 22)) SetAlarm(m, 31, true);
      if (x & (1u << 23)) SetAlarm(m, 32, true);
      break;
    }
    case PCS: SetAlarm(m, 33, (v[1] & 1) != 0); break;
    case PMT: {
      static constexpr int kTarget[7] = {-1, 1, -1, 2, 3, 4, 5};  // f2 is not used
      for (int i = 1; i < 7; ++i)
        if (has[i] && kTarget[i] >= 0) m.readings[kTarget[i]] = v[i];
      break;
    }
    case PIV:
      for (int i = 1; i < 4; ++i)
        if (has[i]) m.readings[5 + i] = v[i];
      break;
  }
}

void ParseGroups(GroupItem item, const char* data, int length) {
  static constexpr int kSize[] = {2, 2, 3, 4, 2, 7, 4};
  const int size = kSize[item];
  const int lastModule = item == PIV ? 8 : UPS_MODULE_COUNT;
  if (item == PMA) {
    for (auto& m : UpsRecord.modules) {
      m.readings[0] = -1;
      m.liveAlarms |= 1;
    }
  } else if (item == PMT) {
    for (auto& m : UpsRecord.modules)
      for (int r = 1; r <= 5; ++r) m.readings[r] = -1;
  } else if (item == PIV) {
    for (auto& m : UpsRecord.modules)
      for (int r = 6; r <= 8; ++r) m.readings[r] = -1;
  }
  int module = 0;  // none before the first group
  int32_t v[7] = {};
  bool has[7] = {};
  Fields fields(data, length);
  Field f;
  int position = 0;
  auto flush = [&]() {
    if (module >= 1 && module <= lastModule) ApplyGroup(item, UpsRecord.modules[module - 1], v, has, size);
    for (int i = 0; i < 7; ++i) has[i] = false;
  };
  while (fields.Next(&f)) {
    int g = position % size;
    if (g == 0) {
      if (!f.empty()) module = Proto_Number(f);
    } else if (!f.empty()) {
      v[g] = Proto_Number(f);
      has[g] = true;
    }
    if (g == size - 1) flush();
    ++position;
  }
  if (position % size != 0) flush();  // a last group cut short
}

void ParseBmi(const char* data, int length) {
  if (length < 1 || data[0] != '1') return;
  for (auto& b : UpsRecord.battModules) b = UpsBatteryModule{-1, -1, -1, -1, -1, -1};
  Fields fields(data, length);
  Field f;
  fields.Next(&f);  // the flag
  int module = 0;
  int position = 0;
  while (fields.Next(&f)) {
    if (position >= 6 && !f.empty()) {
      if (++module >= UPS_MODULE_COUNT) return;
      position = 0;
    }
    if (position < 6 && !f.empty()) {
      int32_t* out = &UpsRecord.battModules[module].id;
      out[position] = Proto_Number(f);
    }
    ++position;
  }
}

void ParseBct(const char* data, int length) {
  ClearValues(111, 114);
  Fields fields(data, length);
  Field f;
  for (int i = 0; i < 5 && fields.Next(&f); ++i) {
    if (!f.empty()) UpsRecord.values[111 + i] = Proto_Number(f);
    if (i == 4) {
      if (UpsRecord.values[VAL_BATTCAB_BREAKER] == 0) Proto_SetBit(UPS_ST_BATTCAB_BREAKER);
      else Proto_ClearBit(UPS_ST_BATTCAB_BREAKER);
    }
  }
}

void ParseBpa(const char* data, int length) {
  Fields fields(data, length);
  Field f;
  for (int i = 0; i < 5 && fields.Next(&f); ++i) {
    if (f.empty()) continue;
    if (f.text[0] == '1') Proto_SetBit(UPS_ST_PM_BYPASS_BAD + i);
    else Proto_ClearBit(UPS_ST_PM_BYPASS_BAD + i);
  }
}

void ParseEvt() {
  UpsRecord.eventPage += 20;
  int32_t entries = UpsRecord.values[VAL_AEL];
  if (UpsRecord.eventPage >= entries) {
    UpsRecord.eventPaging = 0;
  } else {
    int32_t left = entries - UpsRecord.eventPage;
    Tilde_Command(UPS_CMD_EVT, {UpsRecord.eventPage + 1, left < 20 ? left : 20});
  }
}

void ParseEls() {
  UpsRecord.eventPage += 1;
  if (UpsRecord.eventPage > 22) UpsRecord.eventPaging = 0;
  else Tilde_Command(UPS_CMD_ELS, UpsRecord.eventPage + 1);
}

// The poll item the sent frame's mnemonic names: identification items
// first, then the periodic ones, each compared over its own length.
int ItemOf(const uint8_t* sent, int sentLength) {
  for (int i = 0; i < TILDE_POLL_ITEMS; ++i) {
    const char* m = Tilde_ItemMnemonic(i);
    int n = static_cast<int>(strlen(m));
    if (sentLength >= 7 + n && memcmp(sent + 7, m, n) == 0) return i;
  }
  return -1;
}

}  // namespace

void Tilde_ParseFrame(const uint8_t* sent, int sentLength, const uint8_t* reply, int replyLength,
                      uint8_t checksumMode) {
  if (replyLength < 7 || reply[3] != 'D') return;
  for (int i = 4; i < 7; ++i)
    if (reply[i] < '0' || reply[i] > '9') return;
  int length = (reply[4] - '0') * 100 + (reply[5] - '0') * 10 + (reply[6] - '0');
  if (length > 246 || 7 + length > replyLength) return;
  const char* data = reinterpret_cast<const char*>(reply + 7);
  const uint8_t* raw = reply + 7;
  const int t = Tilde_Debounce(checksumMode);
  int item = ItemOf(sent, sentLength);
  if (item < 0) return;
  const char* m = Tilde_ItemMnemonic(item);
  int32_t* v = Values();

  switch (item) {
    case 0: ParseMod(data, length); break;
    case 1: {
      static constexpr int kAlways[] = {UPS_CMD_TST_BIT, UPS_CAP_TME_BIT, UPS_CMD_BTV_BIT, UPS_CMD_BRD_BIT,
                                        UPS_CAP_LET_BIT, UPS_CAP_STP_BIT};
      for (int b : kAlways) Proto_AddCap(b);
      for (int i = 0; i < 22 && i < length; ++i)
        if (data[i] == '1') Proto_AddCap(i);
      break;
    }
    case 2: break;  // CPU: not used
    case 3: ParseFlags(data, length, kAl1, 25); break;
    case 4: ParseFlags(data, length, kAl2, 25); break;
    case 5: ParseFlags(data, length, kAl3, 29); break;
    case 6: ParseRat(data, length); break;
    case 7: Proto_CopyText(UpsRecord.firmware, sizeof UpsRecord.firmware, data, length); break;
    case 8:
      if (length > 0) UpsRecord.outletCount = static_cast<uint8_t>(Proto_Number(data, length));
      break;
    case 9: Proto_CopyText(UpsRecord.serial, sizeof UpsRecord.serial, data, length); break;
    case 10: ParseStb(data, length, t); break;
    case 11:
      ClearValues(44, 59);
      FieldsToValues(data, length, 44, 16);
      break;
    case 12: ParseSto(data, length, t); break;
    case 13:
      ClearValues(81, 95);
      FieldsToValues(data, length, 81, 15);
      break;
    case 14: ParseSta(data, length, t); break;
    case 15: ParseTsr(data, length, t); break;
    case 16: case 17: case 18: case 19: case 21: case 22: {
      static constexpr int kSetting[] = {VAL_VSN, VAL_ATT, VAL_ARB, VAL_UBD, -1, VAL_TXF, VAL_BT2};
      if (length > 0) v[kSetting[item - 16]] = Proto_Number(data, length);
      break;
    }
    case 20: FieldsToValues(data, length, VAL_LOTXVOLT, 2); break;
    case 23: FieldsToValues(data, length, VAL_RATBYVOLT, 2); break;
    case 24:
      if (length >= 12) Words(raw, 6, VAL_SDC);
      break;
    case 25:
      if (length >= 4) Words(raw, 2, VAL_IDC);
      break;
    case 26: case 27: case 28: case 29: case 30: case 31: case 32:
      ParseGroups(static_cast<GroupItem>(item - 26), data, length);
      break;
    case 33: ParseBpa(data, length); break;
    case 34: ParseBct(data, length); break;
    case 35: FieldsToValues(data, length, VAL_BTV_TIME, 2); break;
    case 36: FieldsToValues(data, length, VAL_AEL, 6); break;
    case 37: ParseEvt(); break;
    case 38: ParseEls(); break;
    case 39:
      if (length > 16) {
        Proto_CopyText(UpsRecord.battLastDate, sizeof UpsRecord.battLastDate, data, 8);
        Proto_CopyText(UpsRecord.battNextDate, sizeof UpsRecord.battNextDate, data + 9, 8);
      }
      break;
    case 40: break;  // TME: not used
    case 49: ParseBmi(data, length); break;
    default: {
      // SOL1..SOL8
      Proto_OutletState(m[3] - '1', length > 0 && data[0] == '1');
      break;
    }
  }
}
