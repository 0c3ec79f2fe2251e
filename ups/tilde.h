// Tilde-framed serial protocol driver (2400 baud 8N1, frames "~00..." with an
// optional two-digit checksum): frames, the command queue, the incremental
// receiver, the detection probe, the 100 ms poll cycle and the reply parser.
// Tilde_Init fills TildeOps; the link manager calls it and hands its Command
// the commands given to COM_SendCommand.
#pragma once
#include <cstdint>

#include "ups/protofields.h"
#include "ups/upsdata.h"

extern UpsProtocolOps TildeOps;

void Tilde_Init();
void Tilde_Exit();

// A UPS that answered with a valid checksum on the device in the slot is
// linked again only by a reply with a valid checksum (the link then keeps
// checksums on); until then its probes fail, for TILDE_SUMS_FORGOTTEN_MS
// after its last such reply. Then a reply without one links without
// checksums, with a level-2 record saying so.
int Tilde_Probe(uint8_t slot);
void Tilde_Poll(uint8_t slot);
int Tilde_BitIndex(uint64_t mask);
void Tilde_Command(uint64_t code, const UpsCommandArgs& args);
// Takes back the queued frames of the link manager's command with this tag.
int Tilde_Withdraw(uint32_t tag);

// How long a UPS that summed keeps its port for replies with checksums.
// Two minutes: a line disturbed for a few tens of seconds (the garbage of a
// restarting or mistuned UPS, a loose plug) never gives an unchecked link,
// while a UPS put in its place links well within the minutes it takes to
// swap one.
constexpr int64_t TILDE_SUMS_FORGOTTEN_MS = 120000;

// Receiver results.
enum TildeRxResult : int {
  TILDE_RX_SUMMED = 0,    // data reply with a correct checksum
  TILDE_RX_OK = 1,        // accept, reject, or data reply without checksum
  TILDE_RX_BADSUM = 2,    // data reply with a wrong checksum
  TILDE_RX_BAD = 3,       // malformed frame
  TILDE_RX_PARTIAL = 4,   // incomplete, keep reading
};
// Reads what the frame in buffer still needs from the port and classifies it.
// In checksum mode a data reply is complete only with both checksum digits.
int Tilde_Receive(uint8_t slot, uint8_t* buffer, uint8_t* count);
void Tilde_Reset();
// Writes the two checksum digits at frame[length] and a NUL after them;
// the buffer must hold length + 3 bytes. Returns length + 2.
uint8_t Tilde_AppendChecksum(uint8_t* frame, uint8_t length);
// 1 queued, 0 when the queue is full or the frame does not fit a slot.
int Tilde_QueueCommand(const uint8_t* frame, uint8_t length);
void Tilde_ParseReply();

// The debounce threshold of a link: 1 with checksums, 3 without.
inline int Tilde_Debounce(uint8_t checksumMode) { return checksumMode ? 1 : 3; }

// The reply parser on its own: reply holds replyLength bytes of a data frame
// ("~00D" + three length digits + data), sent the frame the host sent. The
// checksum mode picks the debounce thresholds. Writes the UPS record.
void Tilde_ParseFrame(const uint8_t* sent, int sentLength, const uint8_t* reply, int replyLength,
                      uint8_t checksumMode);

constexpr int TILDE_QUEUE_SLOTS = 10;
constexpr int TILDE_FRAME_SIZE = 32;       // a frame, its two checksum digits and a NUL
constexpr int TILDE_FRAME_MAX = TILDE_FRAME_SIZE - 3;
constexpr int TILDE_RX_SIZE = 256;
constexpr int TILDE_POLL_ITEMS = 50;

// Read-only view of the module state (tests, debug page).
struct TildeView {
  const uint8_t* tx;
  uint8_t txLength;
  const uint8_t* rx;
  uint8_t rxCount;
  uint8_t waiting;
  const ProtoFrameQueue* queue;
  uint8_t pollIndex;
  uint8_t checksumMode;
  uint8_t waitTicks;
  uint8_t timeouts;
  uint32_t firstCycle;
  uint8_t fromQueue;
};
TildeView Tilde_View();
const char* Tilde_ItemMnemonic(int index);

// How the probe waits for the answer (one second); tests answer here.
extern void (*TildeProbeWait)(uint8_t slot);
