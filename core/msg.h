// Timer and message queue: the service's only clock for periodic and
// delayed work. Producers post one-shot or repeating messages; the main
// loop feeds 100 ms ticks in and takes at most one due message per turn.
#pragma once
#include <cstdint>

constexpr uint8_t MSG_NONE = 255;

// Message codes carried out by the main loop's dispatcher.
enum MsgCode : uint8_t {
  MSG_TICK_1S = 0,
  MSG_TICK_100MS = 1,
  MSG_CLOCK_1S = 2,
  MSG_TICK_5S = 3,
  MSG_WALL_REPEAT = 4,
  MSG_OS_SHUTDOWN = 20,
  MSG_LANGUAGE = 21,
  MSG_TRAP = 22,
  MSG_WALL = 23,
  MSG_TEST_MAIL = 24,
  MSG_OUTLET = 25,
};

// MSG_OUTLET's parameters: p0 1 on / 0 off, p1 the outlet; p2 this when the
// state follows from the UPS's condition (the alarm processing's outlets on
// a power failure and its return), 0 for an operator's command.
constexpr uint8_t MSG_OUTLET_FOR_CONDITION = 1;

constexpr int MSG_DELAYED_SIZE = 180;
constexpr int MSG_REPEATING_SIZE = 40;
constexpr uint8_t MSG_MAX_ID = 250;
constexpr uint8_t MSG_SEQUENTIAL_CODE = 200;  // codes from here count down one at a time
constexpr uint8_t MSG_REPEAT_FOREVER = 255;

struct MsgParams {
  uint8_t p[4];
};

struct MsgCurrentRecord {
  uint8_t id;
  uint8_t p[4];
};

struct MsgDelayedEntry {
  uint8_t id;
  uint8_t code;
  uint32_t countdown;
  uint8_t p[4];
};

struct MsgRepeatingEntry {
  uint8_t id;
  uint8_t code;
  uint8_t p[4];
  uint32_t period;
  uint32_t countdown;
  uint8_t repeat;
};

// Parameters copied into every new entry; producers set them before a post.
extern MsgParams MsgPostParams;
// Id and parameters of the message delivered last (peeks overwrite p0..p3).
extern MsgCurrentRecord MsgCurrent;

struct MsgOpsTable {
  void (*Tick)(uint8_t ticks);
  uint8_t (*Get)();
  void (*Remove)(uint8_t id);
  void (*RemoveCode)(uint8_t code);
  uint8_t (*PostDelayed)(uint8_t code, uint32_t delay);
  uint8_t (*PostDelayedFirst)(uint8_t code, uint32_t delay);
  void (*ClearDelayed)();
  uint8_t (*PostRepeating)(uint8_t code, uint32_t period, uint8_t repeat);
  uint8_t (*PostRepeatingFirst)(uint8_t code, uint32_t period, uint8_t repeat);
  void (*ClearRepeating)();
  int (*PeekCode)(uint8_t code);
  int (*PeekId)(uint8_t id);
};
extern MsgOpsTable MsgOps;

void Msg_Init();
void Msg_Exit();

// Queue state, exposed read-only for tests and the debug page.
struct MsgQueueView {
  const MsgDelayedEntry* delayed;
  uint8_t delayedCount, delayedHead;
  const MsgRepeatingEntry* repeating;
  uint8_t repeatingCount, repeatingHead;
};
MsgQueueView Msg_View();
// Empties both queues and restarts the id counter (tests only).
void Msg_ResetForTest();
