// Tilde protocol driver: frames, checksum, command queue, receiver, probe
// and the 100 ms poll cycle. The reply parser is in tildeparse.cpp.
#include "ups/tilde.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "core/crypt.h"
#include "core/svc.h"
#include "events/evtdef.h"
#include "events/evtlog.h"
#include "ups/com.h"
#include "ups/protofields.h"

UpsProtocolOps TildeOps;

namespace {

void WaitOneSecond(uint8_t) { usleep(1000000); }

struct TildeState {
  uint8_t tx[TILDE_FRAME_SIZE];
  uint8_t txLength;
  uint8_t rx[TILDE_RX_SIZE];
  uint8_t rxCount;
  uint8_t waiting;
  // The command queue; a frame in flight from it: its reject or time-out
  // says nothing about the poll item of the moment.
  ProtoFrameQueue queue;
  uint8_t pollIndex;
  uint8_t checksumMode;
  uint8_t waitTicks;
  uint8_t timeouts;
  uint32_t firstCycle = 1;
  ProtoCycles cycles;
  int64_t summedMs;  // the last reply with a valid checksum, on the monotonic clock
};
TildeState st;
static_assert(TILDE_FRAME_SIZE <= PROTO_FRAME_SIZE && TILDE_QUEUE_SLOTS == PROTO_QUEUE_SLOTS);

// The device whose UPS answered a probe with a valid checksum. A reply
// without one, or with a wrong one, from that UPS is then no link: a UPS
// that sums is linked with checksums only, so garbage on its line is never
// taken for the replies of a UPS that does not sum. Forgotten when a probe
// runs on another device (the port setting changed), at restart, and once
// no reply with a valid checksum has come for TILDE_SUMS_FORGOTTEN_MS (the
// UPS on the port is then taken to be another one).
struct DeviceId {
  bool known = false;
  dev_t device = 0;  // a character device's number, else the file's
  ino_t inode = 0;
  bool operator==(const DeviceId&) const = default;
};
DeviceId summedDevice;

DeviceId DeviceIn(uint8_t slot) {
  struct stat sb {};
  if (slot >= COM_SLOTS || ComSlot.fd[slot] < 0 || fstat(ComSlot.fd[slot], &sb) != 0) return {};
  if (S_ISCHR(sb.st_mode)) return {true, sb.st_rdev, 0};
  return {true, sb.st_dev, sb.st_ino};
}

// Condition of a poll item: always, a capability bit, never, or an outlet.
constexpr int8_t ALWAYS = -1;
constexpr int8_t NEVER = -2;
constexpr int8_t OUTLET = -3;
constexpr int8_t NONE = -1;

struct PollItem {
  const char* mnemonic;
  int8_t condition;  // capability bit, or ALWAYS / NEVER / OUTLET
  int8_t mask;       // capability bit removed on reject, or NONE
};

constexpr PollItem kItems[TILDE_POLL_ITEMS] = {
    {"MOD", ALWAYS, NONE}, {"AVL", ALWAYS, NONE}, {"CPU", ALWAYS, NONE}, {"AL1", ALWAYS, NONE},
    {"AL2", ALWAYS, NONE}, {"AL3", ALWAYS, NONE}, {"RAT", ALWAYS, NONE}, {"VER", ALWAYS, NONE},
    {"LET", UPS_CAP_LET_BIT, UPS_CAP_LET_BIT}, {"SER", ALWAYS, NONE},
    {"STB", ALWAYS, NONE}, {"STI", ALWAYS, NONE}, {"STO", ALWAYS, NONE},
    {"STP", UPS_CAP_STP_BIT, UPS_CAP_STP_BIT}, {"STA", ALWAYS, NONE},
    {"TSR", UPS_CMD_TST_BIT, UPS_CMD_TST_BIT}, {"VSN", UPS_CMD_VSN_BIT, UPS_CMD_VSN_BIT},
    {"ATT", UPS_CMD_ATT_BIT, UPS_CMD_ATT_BIT}, {"ARB", UPS_CMD_ARB_BIT, UPS_CMD_ARB_BIT},
    {"UBD", UPS_CMD_UBD_BIT, UPS_CMD_UBD_BIT}, {"TXV", UPS_CMD_TXV_BIT, UPS_CMD_TXV_BIT},
    {"TXF", UPS_CMD_TXF_BIT, UPS_CMD_TXF_BIT}, {"BT2", UPS_CMD_BT2_BIT, UPS_CMD_BT2_BIT},
    {"BT1", UPS_CAP_BT1_BIT, UPS_CAP_BT1_BIT}, {"SDC", UPS_CMD_SDC_BIT, UPS_CMD_SDC_BIT},
    {"IDC", UPS_CAP_IDC_BIT, UPS_CAP_IDC_BIT}, {"PMA", UPS_CAP_PMA_BIT, UPS_CAP_PMA_BIT},
    {"PMS", UPS_CAP_PMS_BIT, UPS_CAP_PMS_BIT}, {"PFS", UPS_CAP_PFS_BIT, UPS_CAP_PFS_BIT},
    {"PIS", UPS_CAP_PIS_BIT, UPS_CAP_PIS_BIT}, {"PCS", UPS_CAP_PCS_BIT, UPS_CAP_PCS_BIT},
    {"PMT", UPS_CAP_PMT_BIT, UPS_CAP_PMT_BIT}, {"PIV", UPS_CAP_PIV_BIT, UPS_CAP_PIV_BIT},
    {"BPA", UPS_CAP_BPA_BIT, UPS_CAP_BPA_BIT}, {"BCT", UPS_CAP_BCT_BIT, UPS_CAP_BCT_BIT},
    {"BTV", UPS_CMD_BTV_BIT, UPS_CMD_BTV_BIT}, {"AEL", UPS_CAP_AEL_BIT, UPS_CAP_AEL_BIT},
    {"EVT", NEVER, UPS_CMD_EVT_BIT}, {"ELS", NEVER, UPS_CMD_ELS_BIT},
    {"BRD", UPS_CMD_BRD_BIT, UPS_CMD_BRD_BIT}, {"TME", UPS_CAP_TME_BIT, UPS_CAP_TME_BIT},
    {"SOL1", OUTLET, UPS_CAP_SOL_BIT}, {"SOL2", OUTLET, UPS_CAP_SOL_BIT}, {"SOL3", OUTLET, UPS_CAP_SOL_BIT},
    {"SOL4", OUTLET, UPS_CAP_SOL_BIT}, {"SOL5", OUTLET, UPS_CAP_SOL_BIT}, {"SOL6", OUTLET, UPS_CAP_SOL_BIT},
    {"SOL7", OUTLET, UPS_CAP_SOL_BIT}, {"SOL8", OUTLET, UPS_CAP_SOL_BIT},
    {"BMI", UPS_CAP_BMI_BIT, NONE},
};
constexpr int IDENT_ITEMS = 10;
constexpr int LET_INDEX = 8;

bool HasCap(int bit) { return Proto_HasCap(bit); }
void DropCap(int bit) { Proto_DropCap(bit); }

bool ItemDue(int index) {
  const PollItem& item = kItems[index];
  switch (item.condition) {
    case ALWAYS: return true;
    case NEVER: return false;
    case OUTLET:
      // SOLn: the outlet exists and the UPS has not refused the outlet states.
      return HasCap(UPS_CAP_SOL_BIT) && index - 40 <= UpsRecord.outletCount;
    default: return HasCap(item.condition);
  }
}

// Bounded frame formatting: 0 when the text does not fit a queue slot.
int FormatFrame(uint8_t* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
int FormatFrame(uint8_t* out, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = Proto_VFormatFrame(out, TILDE_FRAME_SIZE, 8, TILDE_FRAME_MAX, format, ap);
  va_end(ap);
  return n;
}

// The three length digits count the characters after the 7-character header.
void PatchLength(uint8_t* frame, int length) {
  int n = length - 7;
  frame[4] = static_cast<uint8_t>('0' + n / 100 % 10);
  frame[5] = static_cast<uint8_t>('0' + n / 10 % 10);
  frame[6] = static_cast<uint8_t>('0' + n % 10);
}

void QueueFrame(uint8_t* frame, int length) {
  if (length <= 0) return;
  PatchLength(frame, length);
  Tilde_QueueCommand(frame, static_cast<uint8_t>(length));
}

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

int ReadMore(uint8_t slot, uint8_t* buffer, uint8_t* count, int want) {
  return Proto_ReadMore(slot, buffer, count, want);
}

// The receiver; awaitChecksum: in checksum mode a data reply is complete only
// with its two digits (the probe, reading once after its wait, takes a reply
// without them as a UPS that does not sum).
int Receive(uint8_t slot, uint8_t* buffer, uint8_t* count, bool awaitChecksum) {
  if (*count < 4) ReadMore(slot, buffer, count, 4);
  if (*count < 4) return TILDE_RX_PARTIAL;
  if (buffer[0] != '~' || buffer[1] != '0' || buffer[2] != '0') return TILDE_RX_BAD;
  if (buffer[3] == 'R' || buffer[3] == 'A') return TILDE_RX_OK;
  if (buffer[3] != 'D') return TILDE_RX_BAD;
  if (*count < 7) ReadMore(slot, buffer, count, 7);
  if (*count < 7) return TILDE_RX_PARTIAL;
  if (!IsDigit(buffer[4]) || !IsDigit(buffer[5]) || !IsDigit(buffer[6])) return TILDE_RX_BAD;
  int length = (buffer[4] - '0') * 100 + (buffer[5] - '0') * 10 + (buffer[6] - '0');
  if (length > 246) return TILDE_RX_BAD;
  if (*count < length + 7) ReadMore(slot, buffer, count, length + 7);
  if (*count < length + 7) return TILDE_RX_PARTIAL;
  if (st.checksumMode && *count < length + 9) ReadMore(slot, buffer, count, length + 9);
  if (*count >= length + 9) {
    char digits[3];
    CryptOps.Hex_ByteToText2(CryptOps.Crypt_Sum8(buffer, length + 7), digits, 1);
    if (buffer[length + 7] != static_cast<uint8_t>(digits[0]) ||
        buffer[length + 8] != static_cast<uint8_t>(digits[1]))
      return TILDE_RX_BADSUM;
    buffer[length + 7] = 0;
    return TILDE_RX_SUMMED;
  }
  if (st.checksumMode && awaitChecksum) return TILDE_RX_PARTIAL;
  buffer[length + 7] = 0;
  return TILDE_RX_OK;
}

void AdvanceIndex() {
  if (st.pollIndex < TILDE_POLL_ITEMS) ++st.pollIndex;
}

// A reply the receiver rejects (wrong checksum, bad framing or length) ends
// the wait and counts towards the lost link like a time-out.
void Rejected(uint8_t slot) {
  st.queue.Unanswered();
  st.waiting = 0;
  Proto_CountFailure(slot, &st.timeouts);
  AdvanceIndex();
}

// A reply (or its absence) ends the wait for the frame in flight.
void HandleReply(uint8_t slot) {
  uint8_t before = st.rxCount;
  int r = Tilde_Receive(slot, st.rx, &st.rxCount);
  st.rx[st.rxCount] = 0;
  switch (r) {
    case TILDE_RX_SUMMED:
    case TILDE_RX_OK:
      if (r == TILDE_RX_SUMMED) st.summedMs = Svc_MonoMs();
      if (st.rx[3] == 'R') {
        if (!st.queue.FromQueue()) {
          if (st.pollIndex == LET_INDEX) DropCap(UPS_CAP_LET_BIT);
          else if (st.pollIndex >= IDENT_ITEMS && st.pollIndex < TILDE_POLL_ITEMS) DropCap(kItems[st.pollIndex].mask);
        }
        AdvanceIndex();
      } else if (st.rx[3] == 'D') {
        Tilde_ParseReply();
        AdvanceIndex();
        UpsRecord.liveStatus &= ~UpsBit(UPS_ST_COMMLOST);
      } else if (!st.queue.FromQueue()) {
        // An accept of a poll query brings nothing: the cycle moves on
        // (the accept of a queued frame takes no poll index).
        AdvanceIndex();
      }
      st.queue.Answered();
      COM_UpsAnswered();
      ++ComStat.rxOk;
      st.waiting = 0;
      st.waitTicks = 0;
      st.timeouts = 0;
      break;
    case TILDE_RX_BADSUM:
      ++ComStat.rxCsErr;
      Rejected(slot);
      break;
    case TILDE_RX_BAD:
      ++ComStat.rxParseErr;
      Rejected(slot);
      break;
    default:
      // Bytes that arrive restart the wait, so long replies at 2400 baud fit.
      if (st.rxCount > before) st.waitTicks = 0;
      else ++st.waitTicks;
      if (st.waitTicks <= 9) break;
      st.waitTicks = 0;
      ++ComStat.rxTimeout;
      st.queue.Unanswered();
      Proto_CountFailure(slot, &st.timeouts);
      if (!st.queue.FromQueue() && st.pollIndex > IDENT_ITEMS && st.pollIndex < TILDE_POLL_ITEMS && st.firstCycle)
        DropCap(kItems[st.pollIndex].mask);
      st.waiting = 0;
      AdvanceIndex();
      break;
  }
}

void SendNext(uint8_t slot) {
  st.queue.PollItem();
  if (st.pollIndex < IDENT_ITEMS) {
    if (st.pollIndex == LET_INDEX && !HasCap(UPS_CAP_LET_BIT)) st.pollIndex = LET_INDEX + 1;
    int n = snprintf(reinterpret_cast<char*>(st.tx), sizeof st.tx, "~00P003%s", kItems[st.pollIndex].mnemonic);
    st.txLength = Tilde_AppendChecksum(st.tx, static_cast<uint8_t>(n));
  } else {
    if (!Proto_TakeFrame(st.queue, st.tx, sizeof st.tx, &st.txLength)) {
      for (;;) {
        if (st.pollIndex >= TILDE_POLL_ITEMS) {
          st.pollIndex = IDENT_ITEMS;
          st.firstCycle = 0;
          st.cycles.Ended();
        }
        if (ItemDue(st.pollIndex)) break;
        ++st.pollIndex;
      }
      const char* mnemonic = kItems[st.pollIndex].mnemonic;
      int n = snprintf(reinterpret_cast<char*>(st.tx), sizeof st.tx, strlen(mnemonic) == 4 ? "~00P004%s" : "~00P003%s",
                       mnemonic);
      st.txLength = static_cast<uint8_t>(n);
    }
    if (st.checksumMode) st.txLength = Tilde_AppendChecksum(st.tx, st.txLength);
  }
  ComOps.ClearRx(slot);
  if (ComOps.Write(slot, st.txLength, st.tx)) ++ComStat.txOk;
  else ++ComStat.txErr;
  st.waitTicks = 0;
  st.rxCount = 0;
  st.waiting = 1;
}

}  // namespace

void (*TildeProbeWait)(uint8_t slot) = WaitOneSecond;

void Tilde_Init() {
  st = TildeState{};
  summedDevice = {};
  TildeOps.Probe = Tilde_Probe;
  TildeOps.Poll = Tilde_Poll;
  TildeOps.BitIndex = Tilde_BitIndex;
  TildeOps.Command = Tilde_Command;
  TildeOps.Withdraw = Tilde_Withdraw;
}

void Tilde_Exit() {}

void Tilde_Reset() {
  st.firstCycle = 1;
  st.pollIndex = 0;
  st.checksumMode = 0;
  // Nothing of an earlier link counts towards this one.
  st.waiting = 0;
  st.waitTicks = 0;
  st.timeouts = 0;
  st.queue.Clear();
}

int Tilde_BitIndex(uint64_t mask) { return Proto_BitIndex(mask); }

uint8_t Tilde_AppendChecksum(uint8_t* frame, uint8_t length) {
  char digits[3];
  CryptOps.Hex_ByteToText2(CryptOps.Crypt_Sum8(frame, length), digits, 1);
  frame[length] = static_cast<uint8_t>(digits[0]);
  frame[length + 1] = static_cast<uint8_t>(digits[1]);
  frame[length + 2] = 0;
  return static_cast<uint8_t>(length + 2);
}

int Tilde_QueueCommand(const uint8_t* frame, uint8_t length) {
  return Proto_QueueFrame(st.queue, frame, length, TILDE_FRAME_MAX) ? 1 : 0;
}

int Tilde_Withdraw(uint32_t tag) { return st.queue.Withdraw(tag); }

void Tilde_Command(uint64_t code, const UpsCommandArgs& args) {
  uint8_t frame[TILDE_FRAME_SIZE] = {};
  const int a = args.number[0];
  const int b = args.number[1];
  int n = 0;
  if (code == UPS_CMD_ROF || code == UPS_CMD_RON) {
    n = FormatFrame(frame, code == UPS_CMD_ROF ? "~00S008ROF%d;%d" : "~00S008RON%d;%d", a, b);
  } else if (code == UPS_CMD_TXV) {
    n = FormatFrame(frame, "~00S004TXV%d;%d", a, b);
  } else if (code == UPS_CMD_BTV) {
    n = b >= 0 ? FormatFrame(frame, "~00S004BTV%d;%d", a, b) : FormatFrame(frame, "~00S004BTV%d", a);
  } else if (code == UPS_CMD_BRD) {
    if (args.text[0] && args.text[1]) n = FormatFrame(frame, "~00S008BRD%s;%s", args.text[0], args.text[1]);
  } else if (code == UPS_CMD_SDC) {
    // Raw words, low byte first: handled by length, never as text.
    if (args.words) {
      memcpy(frame, "~00S015SDC", 10);
      for (int i = 0; i < 6; ++i) {
        frame[10 + 2 * i] = static_cast<uint8_t>(args.words[i] & 0xFF);
        frame[11 + 2 * i] = static_cast<uint8_t>(args.words[i] >> 8);
      }
      n = 22;
    }
  } else if (code == UPS_CMD_EVT) {
    n = FormatFrame(frame, "~00P004EVT%d;%d", a, b);
  } else if (code == UPS_CMD_ELS) {
    n = FormatFrame(frame, "~00P004ELS%d", a);
  } else {
    static constexpr struct {
      uint64_t code;
      const char* mnemonic;
    } kSingle[] = {
        {UPS_CMD_VSN, "VSN"}, {UPS_CMD_TST, "TST"}, {UPS_CMD_SDT, "SDT"}, {UPS_CMD_SDR, "SDR"},
        {UPS_CMD_SDA, "SDA"}, {UPS_CMD_BUZ, "BUZ"}, {UPS_CMD_ARB, "ARB"}, {UPS_CMD_ATT, "ATT"},
        {UPS_CMD_ECO, "ECO"}, {UPS_CMD_TXF, "TXF"}, {UPS_CMD_UBD, "UBD"}, {UPS_CMD_GRE, "GRE"},
        {UPS_CMD_EDB, "EDB"}, {UPS_CMD_BT2, "BT2"}, {UPS_CMD_EBP, "EBP"},
    };
    for (const auto& c : kSingle) {
      if (c.code != code) continue;
      n = FormatFrame(frame, "~00S004%s%d", c.mnemonic, a);
      break;
    }
  }
  QueueFrame(frame, n);
  if (code == UPS_CMD_EBP && n > 0) {
    // The new pack count shows in the battery status: query it right after.
    uint8_t query[TILDE_FRAME_SIZE] = {};
    QueueFrame(query, FormatFrame(query, "~00P003%s", "STB"));
  }
}

int Tilde_Receive(uint8_t slot, uint8_t* buffer, uint8_t* count) { return Receive(slot, buffer, count, true); }

int Tilde_Probe(uint8_t slot) {
  const DeviceId here = DeviceIn(slot);
  if (summedDevice.known && !(summedDevice == here)) summedDevice = {};
  const bool onlySummed = summedDevice.known;
  ComOps.ClearRx(slot);
  memcpy(st.tx, "~00P003MOD", 10);
  st.txLength = Tilde_AppendChecksum(st.tx, 10);
  ComOps.Write(slot, st.txLength, st.tx);
  TildeProbeWait(slot);
  st.rxCount = 0;
  st.checksumMode = 1;
  int r = Receive(slot, st.rx, &st.rxCount, false);
  st.rx[st.rxCount] = 0;
  ComOps.ClearRx(slot);
  st.rxCount = 0;
  st.waiting = 0;
  switch (r) {
    case TILDE_RX_SUMMED:
      Tilde_Reset();
      st.checksumMode = 1;
      summedDevice = here;
      st.summedMs = Svc_MonoMs();
      break;
    case TILDE_RX_OK:
    case TILDE_RX_BADSUM:
      if (onlySummed) {
        // The UPS that summed is taken to be gone once it has given no
        // sound reply for the bound: what answers now is another one.
        if (Svc_MonoMs() - st.summedMs < TILDE_SUMS_FORGOTTEN_MS) return 0;
        summedDevice = {};
        char text[EVTLOG_TEXT_SIZE];
        snprintf(text, sizeof text, "No reply with a valid checksum for %d s: the UPS is linked without checksums",
                 static_cast<int>(TILDE_SUMS_FORGOTTEN_MS / 1000));
        if (EvtLogOps.Add) EvtLogOps.Add(EVT_FREE_TEXT, 2, text);
      }
      Tilde_Reset();
      break;
    default:
      return 0;
  }
  const int threshold = Tilde_Debounce(st.checksumMode);
  Proto_HoldReportedBits(threshold);
  st.cycles.Start(threshold);
  return 1;
}

void Tilde_Poll(uint8_t slot) {
  if (st.waiting) HandleReply(slot);
  else SendNext(slot);
}

void Tilde_ParseReply() { Tilde_ParseFrame(st.tx, st.txLength, st.rx, st.rxCount, st.checksumMode); }

TildeView Tilde_View() {
  return TildeView{st.tx,        st.txLength,   st.rx,         st.rxCount,    st.waiting,
                   &st.queue,    st.pollIndex,  st.checksumMode, st.waitTicks, st.timeouts,
                   st.firstCycle, st.queue.FromQueue() ? uint8_t{1} : uint8_t{0}};
}

const char* Tilde_ItemMnemonic(int index) {
  return index >= 0 && index < TILDE_POLL_ITEMS ? kItems[index].mnemonic : nullptr;
}
