// Caret-framed serial protocol driver (9600 baud 8N1, frames "^P", "^S",
// "^D" + three length digits, the bare answers "^1" and "^0", no checksum):
// the probe, the 100 ms poll cycle of 23 items, the reply parser, the
// command frames with their 10-slot queue and the battery-date helpers.
// Caret_Init fills CaretOps; an empty Probe entry means the driver is not
// built, and the link manager then skips the 9600-baud probe.
#pragma once
#include <cstdint>

#include "ups/protofields.h"
#include "ups/upsdata.h"

extern UpsProtocolOps CaretOps;

void Caret_Init();
void Caret_Exit();

int Caret_Probe(uint8_t slot);
void Caret_Poll(uint8_t slot);
int Caret_BitIndex(uint64_t mask);
void Caret_Command(uint64_t code, const UpsCommandArgs& args);
// Takes back the queued frames of the link manager's command with this tag.
int Caret_Withdraw(uint32_t tag);

// Receiver results.
enum CaretRxResult : int {
  CARET_RX_COMPLETE = 0,  // "^0", "^1" or a whole data frame (NUL-terminated)
  CARET_RX_BAD = 3,       // not a caret frame, or a bad length field
  CARET_RX_PARTIAL = 4,   // incomplete, keep reading
};
// Reads what the frame in buffer (CARET_RX_SIZE bytes) still needs from the
// port and classifies it.
int Caret_Receive(uint8_t slot, uint8_t* buffer, uint8_t* count);
void Caret_Reset();
// 1 queued, 0 when all slots are taken or the frame does not fit a slot.
int Caret_QueueCommand(const uint8_t* frame, uint8_t length);
void Caret_ParseReply();

// The reply parser on its own: reply holds replyLength bytes of a data frame
// ("^D" + three length digits + data), sent the frame the host sent.
void Caret_ParseFrame(const uint8_t* sent, int sentLength, const uint8_t* reply, int replyLength);

// Battery dates (texts YYYYMMDD; every year divisible by 4 is a leap year).
// UpsRecord.battNextDate = UpsRecord.battLastDate + days; an invalid last
// date leaves the next date unchanged.
void Caret_AddDays(uint16_t days);
// Days from the first date to the second, clamped to 0..65535; 0 when the
// first is the later one or either is not a valid date.
uint16_t Caret_DaysBetween(const char* from, const char* to);

constexpr int CARET_QUEUE_SLOTS = 10;
constexpr int CARET_FRAME_MAX = 32;  // a queued or sent frame, without its NUL
constexpr int CARET_RX_SIZE = 256;
constexpr int CARET_POLL_ITEMS = 23;
constexpr int CARET_DATA_MAX = 246;  // the longest data of a "^D" frame

// Read-only view of the module state (tests, debug page).
struct CaretView {
  const uint8_t* tx;
  uint8_t txLength;
  const uint8_t* rx;
  uint8_t rxCount;
  uint8_t waiting;
  const ProtoFrameQueue* queue;
  uint8_t pollIndex;
  uint8_t firstCycle;
  uint8_t waitTicks;
  uint8_t timeouts;
  uint8_t fromQueue;
};
CaretView Caret_View();
const char* Caret_ItemMnemonic(int index);

// How the probe waits for the answer (one second); tests answer here.
extern void (*CaretProbeWait)(uint8_t slot);
