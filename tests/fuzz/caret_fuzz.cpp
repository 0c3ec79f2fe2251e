// Fuzz target for the caret receiver, poll cycle, reply parser and dates.
// First byte even: one reply straight to the parser (next byte: the poll
// item; then the reply's data), and the same bytes as a whole frame; the
// battery dates are also fed from the data. Odd: the bytes are the line from
// the UPS, handed out in pieces while the poll cycle runs tick by tick; the
// byte 0xFF followed by one more queues a command.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ups/caret.h"
#include "ups/com.h"

namespace {

const uint8_t* line;
size_t lineLeft;
size_t pieceMax;

int FakeRead(uint8_t, int* length, uint8_t* buffer) {
  if (*length == 0) return 1;
  if (*length < 0) __builtin_trap();
  if (lineLeft == 0) return 0;
  size_t n = static_cast<size_t>(*length);
  if (n > pieceMax) n = pieceMax;
  if (n > lineLeft) n = lineLeft;
  memcpy(buffer, line, n);
  line += n;
  lineLeft -= n;
  *length = static_cast<int>(n);
  return 1;
}
int FakeWrite(uint8_t, int length, const uint8_t*) {
  if (length <= 0 || length > CARET_FRAME_MAX) __builtin_trap();
  return 1;
}
void FakeClearRx(uint8_t) {}
int FakeClose(uint8_t) { return 1; }
void FakeReset(int) {}
void NoWait(uint8_t) {}

void ClearRecord() {
  memset(&UpsRecord, 0, sizeof UpsRecord);
  for (auto& v : UpsRecord.values) v = -1;
  UpsRecord.Reset = FakeReset;
}

void Setup() {
  ComOps.Read = FakeRead;
  ComOps.Write = FakeWrite;
  ComOps.ClearRx = FakeClearRx;
  ComOps.Close = FakeClose;
  CaretProbeWait = NoWait;
  Caret_Init();
}

void QueueCommand(uint8_t b) {
  static const char* const kDates[] = {"20240229", "20230101", "2024022", "20241301", "99991231", "00000101"};
  uint64_t code = uint64_t{1} << (b % 64);
  if (code == UPS_CMD_BRD) Caret_Command(code, {kDates[b % 6], kDates[(b / 6) % 6]});
  else Caret_Command(code, {static_cast<int>(b) * 1000 - 64000, -static_cast<int>(b)});
}

// Eight bytes of data as a date text, for the date helpers.
void Dates(const uint8_t* data, size_t size) {
  if (size < 16) return;
  char a[9], b[9];
  memcpy(a, data, 8);
  memcpy(b, data + 8, 8);
  a[8] = b[8] = 0;
  Caret_DaysBetween(a, b);
  memcpy(UpsRecord.battLastDate, a, 9);
  Caret_AddDays(static_cast<uint16_t>(data[0] | data[1] << 8));
  if (strlen(UpsRecord.battNextDate) > 8) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (Setup(), true);
  (void)ready;
  if (size < 2) return 0;
  ClearRecord();
  Caret_Reset();

  if ((data[0] & 1) == 0) {
    const char* mnemonic = Caret_ItemMnemonic(data[1] % CARET_POLL_ITEMS);
    char sent[16];
    int n = snprintf(sent, sizeof sent, "^P00%d%s", static_cast<int>(strlen(mnemonic)), mnemonic);
    uint8_t reply[CARET_RX_SIZE];
    size_t length = size - 2 > CARET_DATA_MAX ? CARET_DATA_MAX : size - 2;
    snprintf(reinterpret_cast<char*>(reply), 6, "^D%03zu", length);
    memcpy(reply + 5, data + 2, length);
    reply[5 + length] = 0;
    Caret_ParseFrame(reinterpret_cast<const uint8_t*>(sent), n, reply, static_cast<int>(5 + length));
    // The same bytes as a whole reply with whatever length digits they carry.
    Caret_ParseFrame(reinterpret_cast<const uint8_t*>(sent), n, data + 2, static_cast<int>(size - 2));
    Dates(data + 2, size - 2);
    return 0;
  }

  // A linked UPS: probe answered with an accept, then ticks.
  static const uint8_t accept[] = {'^', '1'};
  line = accept;
  lineLeft = sizeof accept;
  pieceMax = 64;
  Caret_Probe(0);
  UpsRecord.capabilities = ~uint64_t{0} >> (data[1] >> 2);
  UpsRecord.outletCount = data[1] % 10;
  line = data + 2;
  lineLeft = size - 2;
  for (int tick = 0; tick < 4000 && lineLeft > 0; ++tick) {
    pieceMax = 1 + (tick * 7 + data[1]) % 40;
    if (line[0] == 0xFF && lineLeft > 1) {
      QueueCommand(line[1]);
      line += 2;
      lineLeft -= 2;
    }
    Caret_Poll(0);
  }
  return 0;
}
