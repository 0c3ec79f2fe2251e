// Caret protocol driver: command frames and queue, receiver, probe, the
// 100 ms poll cycle, the reply parser and the battery-date helpers.
#include "ups/caret.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "core/util.h"
#include "ups/com.h"
#include "ups/protofields.h"

UpsProtocolOps CaretOps;

namespace {

void WaitOneSecond(uint8_t) { usleep(1000000); }

struct CaretState {
  uint8_t waiting;
  uint8_t rx[CARET_RX_SIZE];
  uint8_t rxCount;
  uint8_t tx[CARET_FRAME_MAX + 1];
  uint8_t txLength;
  // The command queue; a frame in flight from it: its reject or time-out
  // says nothing about the poll item of the moment.
  ProtoFrameQueue queue;
  uint8_t pollIndex;
  uint8_t firstCycle = 1;
  uint8_t waitTicks;
  uint8_t timeouts;
  ProtoCycles cycles;
};
CaretState st;
static_assert(CARET_FRAME_MAX <= PROTO_FRAME_SIZE && CARET_QUEUE_SLOTS == PROTO_QUEUE_SLOTS);

constexpr int HEADER = 5;  // "^P", "^S" or "^D" and three length digits
constexpr int8_t ALWAYS = -1;
constexpr int8_t OUTLET = -2;
constexpr int8_t NONE = -1;
constexpr int IDENT_ITEMS = 7;
constexpr int LET_INDEX = 5;
constexpr int FIRST_OUTLET_INDEX = 15;
constexpr int T = 3;  // debounce threshold of this protocol

struct PollItem {
  const char* mnemonic;
  int8_t condition;  // capability bit, or ALWAYS / OUTLET
  int8_t mask;       // capability bit removed on reject, or NONE
};

constexpr PollItem kItems[CARET_POLL_ITEMS] = {
    {"MOD", ALWAYS, NONE}, {"VER", ALWAYS, NONE}, {"AP1", ALWAYS, NONE}, {"AP2", ALWAYS, NONE},
    {"NOM", ALWAYS, NONE}, {"LET", UPS_CAP_LET_BIT, UPS_CAP_LET_BIT}, {"UID", ALWAYS, NONE},
    {"ST1", ALWAYS, NONE}, {"ST2", ALWAYS, NONE}, {"ST3", ALWAYS, NONE},
    {"ST4", UPS_CAP_STP_BIT, UPS_CAP_STP_BIT}, {"ST5", ALWAYS, NONE},
    {"STR", UPS_CMD_TST_BIT, UPS_CMD_TST_BIT}, {"ATR", UPS_CMD_ARB_BIT, UPS_CMD_ARB_BIT},
    {"NOM", ALWAYS, NONE},
    {"SOL1", OUTLET, UPS_CAP_SOL_BIT}, {"SOL2", OUTLET, UPS_CAP_SOL_BIT}, {"SOL3", OUTLET, UPS_CAP_SOL_BIT},
    {"SOL4", OUTLET, UPS_CAP_SOL_BIT}, {"SOL5", OUTLET, UPS_CAP_SOL_BIT}, {"SOL6", OUTLET, UPS_CAP_SOL_BIT},
    {"SOL7", OUTLET, UPS_CAP_SOL_BIT}, {"SOL8", OUTLET, UPS_CAP_SOL_BIT},
};

bool ItemDue(int index) {
  const PollItem& item = kItems[index];
  if (item.condition == ALWAYS) return true;
  if (item.condition == OUTLET) return index - (FIRST_OUTLET_INDEX - 1) <= UpsRecord.outletCount;
  return Proto_HasCap(item.condition);
}

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// ---- frames ----

// Bounded frame formatting: 0 when the text does not fit a queue slot.
int FormatFrame(uint8_t* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
int FormatFrame(uint8_t* out, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = Proto_VFormatFrame(out, CARET_FRAME_MAX + 1, HEADER + 3, CARET_FRAME_MAX, format, ap);
  va_end(ap);
  return n;
}

// The three length digits count the characters after the 5-character header.
void QueueFrame(uint8_t* frame, int length) {
  if (length <= 0) return;
  int n = length - HEADER;
  frame[2] = static_cast<uint8_t>('0' + n / 100 % 10);
  frame[3] = static_cast<uint8_t>('0' + n / 10 % 10);
  frame[4] = static_cast<uint8_t>('0' + n % 10);
  Caret_QueueCommand(frame, static_cast<uint8_t>(length));
}

// ---- battery dates ----

int MonthDays(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && year % 4 == 0 ? 29 : kDays[month - 1];
}

// Exactly eight digits YYYYMMDD naming a day of the calendar.
bool ParseDate(const char* text, int* year, int* month, int* day) {
  if (!text) return false;
  for (int i = 0; i < 8; ++i)
    if (!IsDigit(static_cast<uint8_t>(text[i]))) return false;
  if (text[8] != 0) return false;
  auto num = [&](int at, int n) {
    int v = 0;
    for (int i = 0; i < n; ++i) v = v * 10 + (text[at + i] - '0');
    return v;
  };
  *year = num(0, 4);
  *month = num(4, 2);
  *day = num(6, 2);
  return *month >= 1 && *month <= 12 && *day >= 1 && *day <= MonthDays(*year, *month);
}

// Day number of a date, counting leap years as the calendar above does.
long DayNumber(int year, int month, int day) {
  static constexpr int kBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  long n = static_cast<long>(year) * 365 + (year + 3) / 4 + kBefore[month - 1] + day;
  if (month > 2 && year % 4 == 0) ++n;
  return n;
}

// ---- receiver ----

int ReadMore(uint8_t slot, uint8_t* buffer, uint8_t* count, int want) {
  return Proto_ReadMore(slot, buffer, count, want);
}

// ---- reply parser ----

int32_t* Values() { return UpsRecord.values; }
void ClearValues(int first, int last) {
  for (int i = first; i <= last; ++i) UpsRecord.values[i] = -1;
}
// Fields 0.. go to values first..first + count - 1; empty fields read 0.
void FieldsToValues(const char* data, int length, int first, int count) {
  ProtoFields fields(data, length, ',');
  ProtoField f;
  for (int i = 0; i < count && fields.Next(&f); ++i) UpsRecord.values[first + i] = Proto_Number(f);
}

void ParseMod(const char* data, int length) {
  Proto_CopyText(UpsRecord.model, sizeof UpsRecord.model, data, length);
  if (UpsRecord.model[0] == 0) strcpy(UpsRecord.model, "(Empty)");
  if (length < 1 || static_cast<uint8_t>(data[0]) < 'A') return;
  // The model class, from the upper-cased name's prefix.
  char upper[CARET_RX_SIZE];
  Proto_CopyText(upper, sizeof upper, data, length);
  UF_StrUpper(upper);
  static constexpr struct {
    const char* prefix;
    int32_t modelClass;
  } kClasses[] = {{"QVA", 2}, {"ORVELLINE", 2}, {"ZUL", 2}, {"WEJ", 0}, {"YH", 0}, {"YK", 0}, {"QD", 1}, {"Y", 2}};
  for (const auto& c : kClasses) {
    if (strncmp(upper, c.prefix, strlen(c.prefix)) == 0) {
      UpsRecord.values[VAL_TYPE] = c.modelClass;
      return;
    }
  }
}

void ParseAp1(const char* data, int length) {
  Proto_DropCap(UPS_CAP_STP_BIT);
  ProtoFields fields(data, length, ',');
  ProtoField f;
  while (fields.Next(&f)) {
    int32_t n = Proto_Number(f);
    if (n == 16) {
      Proto_AddCap(UPS_CMD_BUZ_BIT);
      Proto_AddCap(UPS_CMD_EDB_BIT);
    } else if (n == 17) {
      Proto_AddCap(UPS_CMD_ARB_BIT);
    } else if (n >= 25 && n <= 35) {
      Proto_AddCap(UPS_CAP_STP_BIT);
    }
  }
}

void ParseAp2(const char* data, int length) {
  static constexpr struct {
    int32_t number;
    int bit;
  } kAvailable[] = {
      {57, UPS_CMD_BRD_BIT}, {82, UPS_CMD_SDT_BIT}, {83, UPS_CMD_SDA_BIT}, {84, UPS_CMD_SDR_BIT},
      {88, UPS_CMD_TST_BIT}, {90, UPS_CAP_LET_BIT}, {92, UPS_CMD_RON_BIT}, {93, UPS_CMD_ROF_BIT},
      {94, UPS_CMD_EBP_BIT}, {96, UPS_CMD_ECO_BIT},
  };
  ProtoFields fields(data, length, ',');
  ProtoField f;
  while (fields.Next(&f)) {
    int32_t n = Proto_Number(f);
    for (const auto& a : kAvailable)
      if (a.number == n) Proto_AddCap(a.bit);
  }
}

void ParseNom(const char* data, int length) {
  int32_t* v = Values();
  ProtoFields fields(data, length, ',');
  ProtoField f;
  bool lastDate = false;
  for (int i = 0; i < 12 && fields.Next(&f); ++i) {
    int32_t n = Proto_Number(f);
    if (i <= 6) {
      v[i] = n;
      if (i == 2 && n < 1) v[VAL_RATOUTVOLT] = v[VAL_RATINVOLT];
    } else if (i == 7) {
      Proto_AddCap(UPS_CMD_BUZ_BIT);
      Proto_AddCap(UPS_CMD_EDB_BIT);
      if (n == 1) {
        Proto_SetBit(UPS_ST_BUZENABLED);
        Proto_ClearBit(UPS_ST_BUZMUTED);
      } else if (n == 2) {
        Proto_ClearBit(UPS_ST_BUZENABLED);
        Proto_SetBit(UPS_ST_BUZMUTED);
      } else if (n == 3) {
        Proto_ClearBit(UPS_ST_BUZENABLED);
        Proto_ClearBit(UPS_ST_BUZMUTED);
      }
    } else if (i == 8) {
      v[VAL_LOTXVOLT] = n;
    } else if (i == 9) {
      v[VAL_HITXVOLT] = n;
    } else if (i == 10) {
      // MMDDYYYY, its first eight characters, stored as YYYYMMDD.
      const char* t = f.text;
      bool digits = f.length >= 8;
      for (int k = 0; digits && k < 8; ++k) digits = IsDigit(static_cast<uint8_t>(t[k]));
      if (digits) {
        char date[9] = {t[4], t[5], t[6], t[7], t[0], t[1], t[2], t[3], 0};
        memcpy(UpsRecord.battLastDate, date, sizeof date);
        lastDate = true;
      }
    } else if (lastDate && !f.empty()) {
      // Days from that last replacement to the next one.
      Caret_AddDays(static_cast<uint16_t>(n < 0 ? 0 : n > 65535 ? 65535 : n));
    }
  }
}

void ParseSt1(const char* data, int length) {
  ClearValues(26, 28);
  ClearValues(30, 40);
  static constexpr int kTarget[10] = {26, 27, 28, -1, 30, 35, 32, 33, 34, 36};  // field 3: not used
  ProtoFields fields(data, length, ',');
  ProtoField f;
  for (int i = 0; i < 10 && fields.Next(&f); ++i)
    if (kTarget[i] >= 0 && !f.empty()) UpsRecord.values[kTarget[i]] = Proto_Number(f);
  Proto_BatteryRules(T, false);
}

void ParseSt2(const char* data, int length) {
  ClearValues(44, 59);
  const char* comma = static_cast<const char*>(memchr(data, ',', length));
  if (!comma) return;
  int skip = static_cast<int>(comma - data) + 1;
  FieldsToValues(comma + 1, length - skip, 44, 13);
}

void ParseSt3(const char* data, int length) {
  ClearValues(60, 80);
  FieldsToValues(data, length, 60, 15);
  static constexpr int kSourceBits[] = {UPS_ST_ONBATTERY, UPS_ST_ONBYPASS, UPS_ST_BOOST, UPS_ST_BUCK};
  for (int bit : kSourceBits) Proto_ClearBit(bit);
  switch (UpsRecord.values[VAL_OUTSRC]) {
    case 0:
      for (int bit : kSourceBits) UpsRecord.debounce[bit] = 0;
      UpsRecord.debounce[UPS_ST_OUTSRC5] = 0;
      UpsRecord.debounce[UPS_ST_OUTPUTOFF] = 0;
      break;
    case 1: Proto_CountUpBit(UPS_ST_ONBATTERY, T); break;
    case 2: Proto_CountUpBit(UPS_ST_ONBYPASS, T); break;
    case 3: Proto_CountUpBit(UPS_ST_BUCK, T); break;
    case 4: Proto_CountUpBit(UPS_ST_BOOST, T); break;
    case 5: UpsRecord.values[VAL_OUTSRC] = 6; break;
    default: break;
  }
}

void ParseSt5(const char* data, int length) {
  ProtoFields fields(data, length, ',');
  ProtoField f;
  for (int i = 0; i < 16 && fields.Next(&f); ++i) {
    int bit = i < 15 ? i : UPS_ST_ECONOMIC;
    if (f.empty()) Proto_ClearBit(bit);
    else if (f.text[0] == '0') Proto_CountDownBit(bit);
    else Proto_CountUpBit(bit, T);
  }
}

// The first field, when it is not empty, goes to value index.
void FirstFieldTo(const char* data, int length, int index) {
  ProtoFields fields(data, length, ',');
  ProtoField f;
  if (fields.Next(&f) && !f.empty()) UpsRecord.values[index] = Proto_Number(f);
}

// The poll item the sent frame's mnemonic names: identification items
// first, then the periodic ones, each compared over its own length.
int ItemOf(const uint8_t* sent, int sentLength) {
  for (int i = 0; i < CARET_POLL_ITEMS; ++i) {
    const char* m = kItems[i].mnemonic;
    int n = static_cast<int>(strlen(m));
    if (sentLength >= HEADER + n && memcmp(sent + HEADER, m, n) == 0) return i;
  }
  return -1;
}

// ---- poll cycle ----

void AdvanceIndex() {
  if (st.pollIndex < CARET_POLL_ITEMS) ++st.pollIndex;
}

// The mask of the item at the poll index (NONE past the table).
int CurrentMask() { return st.pollIndex < CARET_POLL_ITEMS ? kItems[st.pollIndex].mask : NONE; }

void HandleReply(uint8_t slot) {
  int r = Caret_Receive(slot, st.rx, &st.rxCount);
  st.rx[st.rxCount] = 0;
  switch (r) {
    case CARET_RX_COMPLETE:
      if (st.rx[1] == '0') {
        // Only LET among the identification items has a mask.
        if (!st.queue.FromQueue()) Proto_DropCap(CurrentMask());
        AdvanceIndex();
      } else if (st.rx[1] == 'D') {
        Caret_ParseReply();
        AdvanceIndex();
        Proto_ClearBit(UPS_ST_COMMLOST);
      } else if (!st.queue.FromQueue()) {
        // "^1" to a poll query brings nothing: the cycle moves on (the
        // answer to a queued set frame takes no poll index).
        AdvanceIndex();
      }
      st.queue.Answered();
      COM_UpsAnswered();
      ++ComStat.rxOk;
      st.waitTicks = 0;
      st.timeouts = 0;
      st.waiting = 0;
      break;
    case CARET_RX_BAD:
      // A reply that is no caret frame counts towards the lost link like a time-out.
      ++ComStat.rxParseErr;
      st.queue.Unanswered();
      st.waiting = 0;
      Proto_CountFailure(slot, &st.timeouts);
      AdvanceIndex();
      break;
    default:
      if (++st.waitTicks <= 9) break;
      st.waitTicks = 0;
      ++ComStat.rxTimeout;
      st.queue.Unanswered();
      Proto_CountFailure(slot, &st.timeouts);
      if (st.firstCycle && st.pollIndex >= IDENT_ITEMS && !st.queue.FromQueue()) Proto_DropCap(CurrentMask());
      st.waiting = 0;
      AdvanceIndex();
      break;
  }
}

void SendNext(uint8_t slot) {
  st.queue.PollItem();
  if (st.pollIndex < IDENT_ITEMS) {
    if (st.pollIndex == LET_INDEX && !Proto_HasCap(UPS_CAP_LET_BIT)) st.pollIndex = LET_INDEX + 1;
    st.txLength = static_cast<uint8_t>(
        snprintf(reinterpret_cast<char*>(st.tx), sizeof st.tx, "^P003%s", kItems[st.pollIndex].mnemonic));
  } else if (!Proto_TakeFrame(st.queue, st.tx, sizeof st.tx, &st.txLength)) {
    for (;;) {
      if (st.pollIndex >= CARET_POLL_ITEMS) {
        st.pollIndex = IDENT_ITEMS;
        st.firstCycle = 0;
        st.cycles.Ended();
      }
      if (ItemDue(st.pollIndex)) break;
      ++st.pollIndex;
    }
    st.txLength = static_cast<uint8_t>(snprintf(reinterpret_cast<char*>(st.tx), sizeof st.tx,
                                                st.pollIndex >= FIRST_OUTLET_INDEX ? "^P004%s" : "^P003%s",
                                                kItems[st.pollIndex].mnemonic));
  }
  ComOps.ClearRx(slot);
  if (ComOps.Write(slot, st.txLength, st.tx)) ++ComStat.txOk;
  else ++ComStat.txErr;
  st.waitTicks = 0;
  st.rxCount = 0;
  st.waiting = 1;
}

}  // namespace

void (*CaretProbeWait)(uint8_t slot) = WaitOneSecond;

void Caret_Init() {
  st = CaretState{};
  CaretOps.Probe = Caret_Probe;
  CaretOps.Poll = Caret_Poll;
  CaretOps.BitIndex = Caret_BitIndex;
  CaretOps.Command = Caret_Command;
  CaretOps.Withdraw = Caret_Withdraw;
}

void Caret_Exit() {}

void Caret_Reset() {
  st.firstCycle = 1;
  st.pollIndex = 0;
  // Nothing of an earlier link counts towards this one.
  st.waiting = 0;
  st.waitTicks = 0;
  st.timeouts = 0;
  st.queue.Clear();
}

int Caret_BitIndex(uint64_t mask) { return Proto_BitIndex(mask); }

int Caret_QueueCommand(const uint8_t* frame, uint8_t length) {
  return Proto_QueueFrame(st.queue, frame, length, CARET_FRAME_MAX) ? 1 : 0;
}

int Caret_Withdraw(uint32_t tag) { return st.queue.Withdraw(tag); }

void Caret_Command(uint64_t code, const UpsCommandArgs& args) {
  // The NOM set frames leave every field empty but the ones they change.
  static constexpr const char* kAlarm[4] = {nullptr, "^S015NOM,,,,,,,1,,,,", "^S015NOM,,,,,,,2,,,,",
                                            "^S015NOM,,,,,,,3,,,,"};
  uint8_t frame[CARET_FRAME_MAX + 1] = {};
  const int a = args.number[0];
  int n = 0;
  if (code == UPS_CMD_ROF || code == UPS_CMD_RON) {
    n = FormatFrame(frame, code == UPS_CMD_ROF ? "^S008ROF%d,%d" : "^S008RON%d,%d", a, args.number[1]);
  } else if (code == UPS_CMD_TST) {
    const int test = a;
    n = test == 0   ? FormatFrame(frame, "^S005TST-1")
        : test == 3 ? FormatFrame(frame, "^S004TST2")
        : test == 4 ? FormatFrame(frame, "^S004TST3")
                    : FormatFrame(frame, "^S004TST1");
  } else if (code == UPS_CMD_SDT) {
    n = FormatFrame(frame, "^S004SDA%d", a);
  } else if (code == UPS_CMD_SDR) {
    if (a != 65535) n = FormatFrame(frame, "^S004STD%lld", static_cast<long long>(a) * 60);
  } else if (code == UPS_CMD_SDA) {
    n = a == 0 ? FormatFrame(frame, "^S005PSD-1") : FormatFrame(frame, "^S004PSD%d", a);
  } else if (code == UPS_CMD_BUZ || code == UPS_CMD_EDB) {
    const int value = a;
    // The alarm field's new state: 1 gives 2 for both; 2 gives 3 (BUZ) or 1 (EDB).
    int state = 0;
    if (value == 1) state = 2;
    else if (value == 2) state = code == UPS_CMD_BUZ ? 3 : 1;
    if (state) n = FormatFrame(frame, "%s", kAlarm[state]);
  } else if (code == UPS_CMD_ARB) {
    n = FormatFrame(frame, "^S004ATR%d", a);
  } else if (code == UPS_CMD_ECO) {
    n = FormatFrame(frame, "^S004ECO%d", a);
  } else if (code == UPS_CMD_BRD) {
    const char* last = args.text[0];
    const char* next = args.text[1];
    int y, m, d;
    if (ParseDate(last, &y, &m, &d) && ParseDate(next, &y, &m, &d))
      n = FormatFrame(frame, "^S015NOM,,,,,,,,,,%.4s%.4s,%u", last + 4, last,
                      static_cast<unsigned>(Caret_DaysBetween(last, next)));
  } else if (code == UPS_CMD_EBP) {
    n = FormatFrame(frame, "^S004EBP%d", a);
  }
  QueueFrame(frame, n);
  if (code == UPS_CMD_EBP && n > 0) {
    // The new pack count shows in the battery status: query it right after.
    uint8_t query[CARET_FRAME_MAX + 1] = {};
    QueueFrame(query, FormatFrame(query, "^P003%s", "ST1"));
  }
}

int Caret_Receive(uint8_t slot, uint8_t* buffer, uint8_t* count) {
  if (*count < 2) ReadMore(slot, buffer, count, 2);
  if (*count < 2) return CARET_RX_PARTIAL;
  if (buffer[0] != '^') return CARET_RX_BAD;
  if (buffer[1] == '0' || buffer[1] == '1') return CARET_RX_COMPLETE;
  if (buffer[1] != 'D') return CARET_RX_BAD;
  if (*count < HEADER) ReadMore(slot, buffer, count, HEADER);
  if (*count < HEADER) return CARET_RX_PARTIAL;
  if (!IsDigit(buffer[2]) || !IsDigit(buffer[3]) || !IsDigit(buffer[4])) return CARET_RX_BAD;
  int length = (buffer[2] - '0') * 100 + (buffer[3] - '0') * 10 + (buffer[4] - '0');
  if (length > CARET_DATA_MAX) return CARET_RX_BAD;
  int total = HEADER + length;
  if (*count < total) ReadMore(slot, buffer, count, total);
  if (*count < total) return CARET_RX_PARTIAL;
  // Whatever follows the frame is read once and dropped, within the buffer.
  int behind = CARET_RX_SIZE - total;
  if (behind > total) behind = total;
  if (behind > 0) ComOps.Read(slot, &behind, buffer + total);
  buffer[total] = 0;
  return CARET_RX_COMPLETE;
}

int Caret_Probe(uint8_t slot) {
  ComOps.ClearRx(slot);
  memcpy(st.tx, "^P003MOD", 9);
  st.txLength = 8;
  ComOps.Write(slot, st.txLength, st.tx);
  CaretProbeWait(slot);
  st.rxCount = 0;
  int r = Caret_Receive(slot, st.rx, &st.rxCount);
  st.rx[st.rxCount] = 0;
  ComOps.ClearRx(slot);
  st.rxCount = 0;
  st.waiting = 0;
  if (r != CARET_RX_COMPLETE) return 0;
  Caret_Reset();
  Proto_HoldReportedBits(T);
  st.cycles.Start(T);
  return 1;
}

void Caret_Poll(uint8_t slot) {
  if (st.waiting) HandleReply(slot);
  else SendNext(slot);
}

void Caret_ParseReply() { Caret_ParseFrame(st.tx, st.txLength, st.rx, st.rxCount); }

void Caret_ParseFrame(const uint8_t* sent, int sentLength, const uint8_t* reply, int replyLength) {
  if (replyLength < HEADER || reply[0] != '^' || reply[1] != 'D') return;
  if (!IsDigit(reply[2]) || !IsDigit(reply[3]) || !IsDigit(reply[4])) return;
  int length = (reply[2] - '0') * 100 + (reply[3] - '0') * 10 + (reply[4] - '0');
  if (length > CARET_DATA_MAX || HEADER + length > replyLength) return;
  const char* data = reinterpret_cast<const char*>(reply + HEADER);
  int item = ItemOf(sent, sentLength);
  switch (item) {
    case 0: ParseMod(data, length); break;
    case 1: Proto_CopyText(UpsRecord.firmware, sizeof UpsRecord.firmware, data, length); break;
    case 2: ParseAp1(data, length); break;
    case 3: ParseAp2(data, length); break;
    case 4:
    case 14: ParseNom(data, length); break;
    case 5: {
      int32_t n = Proto_Number(data, length);
      UpsRecord.outletCount = static_cast<uint8_t>(n < 0 ? 0 : n > 255 ? 255 : n);
      break;
    }
    case 6: Proto_CopyText(UpsRecord.serial, sizeof UpsRecord.serial, data, length); break;
    case 7: ParseSt1(data, length); break;
    case 8: ParseSt2(data, length); break;
    case 9: ParseSt3(data, length); break;
    case 10:
      ClearValues(81, 95);
      FieldsToValues(data, length, 81, 11);
      break;
    case 11: ParseSt5(data, length); break;
    case 12:
      FirstFieldTo(data, length, VAL_TESTRESULT);
      Proto_TestResult(T);
      break;
    case 13: FirstFieldTo(data, length, VAL_ARB); break;
    default:
      if (item >= FIRST_OUTLET_INDEX) {
        Proto_OutletState(item - FIRST_OUTLET_INDEX, length > 0 && data[0] == '1');
      }
      break;
  }
}

void Caret_AddDays(uint16_t days) {
  int year, month, day;
  char last[9];
  memcpy(last, UpsRecord.battLastDate, sizeof last);
  last[8] = 0;
  if (!ParseDate(last, &year, &month, &day)) return;
  day += days;
  while (day > MonthDays(year, month)) {
    day -= MonthDays(year, month);
    if (++month > 12) {
      month = 1;
      ++year;
    }
  }
  if (day < 1) day = 1;
  char next[32];
  if (year > 9999 || snprintf(next, sizeof next, "%04d%02d%02d", year, month, day) != 8) return;
  memcpy(UpsRecord.battNextDate, next, 9);
}

uint16_t Caret_DaysBetween(const char* from, const char* to) {
  int y1, m1, d1, y2, m2, d2;
  if (!ParseDate(from, &y1, &m1, &d1) || !ParseDate(to, &y2, &m2, &d2)) return 0;
  long diff = DayNumber(y2, m2, d2) - DayNumber(y1, m1, d1);
  if (diff <= 0) return 0;
  return static_cast<uint16_t>(diff > 65535 ? 65535 : diff);
}

CaretView Caret_View() {
  return CaretView{st.tx,        st.txLength,   st.rx,        st.rxCount,  st.waiting, &st.queue,
                   st.pollIndex, st.firstCycle, st.waitTicks, st.timeouts,
                   st.queue.FromQueue() ? uint8_t{1} : uint8_t{0}};
}

const char* Caret_ItemMnemonic(int index) {
  return index >= 0 && index < CARET_POLL_ITEMS ? kItems[index].mnemonic : nullptr;
}
