// Fuzz target for the tilde receiver, poll cycle and reply parser.
// First byte even: one reply straight to the parser (next byte: the poll item,
// then the checksum mode, then the reply's data). Odd: the bytes are the line
// from the UPS, handed out in pieces while the poll cycle runs tick by tick;
// some control bytes also queue commands.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/crypt.h"
#include "ups/com.h"
#include "ups/tilde.h"

namespace {

const uint8_t* line;
size_t lineLeft;
size_t pieceMax;

uint8_t Sum8(const uint8_t* data, int length) {
  unsigned s = 0;
  for (int i = 0; i < length; ++i) s += data[i];
  return static_cast<uint8_t>(s);
}
void ByteToText2(uint8_t value, char* out, uint8_t upper) { snprintf(out, 3, upper ? "%02X" : "%02x", value); }

int FakeRead(uint8_t, int* length, uint8_t* buffer) {
  if (*length == 0) return 1;
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
int FakeWrite(uint8_t, int, const uint8_t*) { return 1; }
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
  Crypt_Init();
  ComOps.Read = FakeRead;
  ComOps.Write = FakeWrite;
  ComOps.ClearRx = FakeClearRx;
  ComOps.Close = FakeClose;
  TildeProbeWait = NoWait;
  Tilde_Init();
}

void QueueCommand(uint8_t b) {
  static const uint16_t words[6] = {1, 2, 3, 4, 5, 6};
  uint64_t code = uint64_t{1} << (b % 64);
  if (code == UPS_CMD_SDC) Tilde_Command(code, words);
  else if (code == UPS_CMD_BRD) Tilde_Command(code, {"20240101", b & 1 ? "2027010112345" : "20270101"});
  else Tilde_Command(code, {static_cast<int>(b) * 1000 - 64000, -static_cast<int>(b)});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (Setup(), true);
  (void)ready;
  if (size < 3) return 0;
  ClearRecord();
  Tilde_Reset();

  if ((data[0] & 1) == 0) {
    char sent[16];
    const char* mnemonic = Tilde_ItemMnemonic(data[1] % TILDE_POLL_ITEMS);
    int n = snprintf(sent, sizeof sent, "~00P00%d%s", static_cast<int>(strlen(mnemonic)), mnemonic);
    uint8_t reply[TILDE_RX_SIZE];
    size_t length = size - 3 > 246 ? 246 : size - 3;
    snprintf(reinterpret_cast<char*>(reply), 8, "~00D%03zu", length);
    memcpy(reply + 7, data + 3, length);
    reply[7 + length] = 0;
    Tilde_ParseFrame(reinterpret_cast<const uint8_t*>(sent), n, reply, static_cast<int>(7 + length), data[2] & 1);
    // The same bytes as a whole reply with whatever length digits they carry.
    Tilde_ParseFrame(reinterpret_cast<const uint8_t*>(sent), n, data + 3, static_cast<int>(size - 3), data[2] & 1);
    return 0;
  }

  // A linked UPS: probe (answered with or without checksum), then ticks.
  static uint8_t summed[13] = "~00D003ABC";
  ByteToText2(Sum8(summed, 10), reinterpret_cast<char*>(summed + 10), 1);
  line = summed;
  lineLeft = data[1] & 1 ? 12 : 10;
  pieceMax = 64;
  Tilde_Probe(0);
  UpsRecord.capabilities = ~uint64_t{0} >> (data[1] >> 2);
  UpsRecord.outletCount = data[2] % 10;
  line = data + 3;
  lineLeft = size - 3;
  for (int tick = 0; tick < 4000 && lineLeft > 0; ++tick) {
    pieceMax = 1 + (tick * 7 + data[2]) % 40;
    if (lineLeft > 0 && line[0] == 0xFF && lineLeft > 1) {
      QueueCommand(line[1]);
      line += 2;
      lineLeft -= 2;
    }
    Tilde_Poll(0);
  }
  return 0;
}
