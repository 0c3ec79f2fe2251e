// Timer and message queue: two static rings (one-shot and repeating).
#include "core/msg.h"

#include <cstring>

MsgParams MsgPostParams;
MsgCurrentRecord MsgCurrent;
MsgOpsTable MsgOps;

namespace {

MsgDelayedEntry g_delayed[MSG_DELAYED_SIZE];
uint8_t g_delayedCount, g_delayedHead;
MsgRepeatingEntry g_repeating[MSG_REPEATING_SIZE];
uint8_t g_repeatingCount, g_repeatingHead;
uint8_t g_lastId;

// Ring bookkeeping shared by both queues.
template <typename Entry, int Size>
struct Ring {
  Entry* e;
  uint8_t& count;
  uint8_t& head;

  int Pos(int i) const { return (head + i) % Size; }
  Entry& At(int i) const { return e[Pos(i)]; }
  bool Wrapped() const { return head + count > Size; }

  // Ring position of the entry with this id, or 255.
  uint8_t Find(uint8_t id) const {
    for (int i = 0; i < count; ++i)
      if (At(i).id == id) return static_cast<uint8_t>(Pos(i));
    return 255;
  }

  Entry* PushBack() {
    if (count >= Size) return nullptr;
    Entry* slot = &e[Pos(count)];
    ++count;
    return slot;
  }

  Entry* PushFront() {
    if (count >= Size) return nullptr;
    head = static_cast<uint8_t>(head == 0 ? Size - 1 : head - 1);
    ++count;
    return &e[head];
  }

  // Takes the entry at ring position pos out, keeping the others' order.
  void RemoveAt(int pos) {
    int tail = Pos(count - 1);
    if (pos == head) {
      head = static_cast<uint8_t>(head + 1);
    } else if (pos == tail) {
      // nothing moves
    } else if (pos < head) {
      // wrapped part: the entries after it move one position back
      for (int p = pos; p < tail; ++p) e[p] = e[p + 1];
    } else {
      // unwrapped part: the entries before it move one position forward
      for (int p = pos; p > head; --p) e[p] = e[p - 1];
      head = static_cast<uint8_t>(head + 1);
    }
    --count;
    if (head >= Size) head = 0;
  }

  void RemoveCode(uint8_t code) {
    if (count == 0) return;
    int removed = 0;
    if (Wrapped()) {
      // Part at the start of the ring, compacted toward the start.
      int endLow = Pos(count - 1);  // last position of the wrapped part
      int w = 0;
      for (int p = 0; p <= endLow; ++p) {
        if (e[p].code == code) { ++removed; continue; }
        e[w++] = e[p];
      }
      // Part from the head to the ring's end, compacted toward the end.
      int r = Size - 1, wr = Size - 1, removedHigh = 0;
      for (; r >= head; --r) {
        if (e[r].code == code) { ++removedHigh; continue; }
        e[wr--] = e[r];
      }
      removed += removedHigh;
      int newHead = head + removedHigh;
      head = static_cast<uint8_t>(newHead >= Size ? 0 : newHead);
    } else {
      int w = head;
      for (int i = 0; i < count; ++i) {
        Entry& x = e[head + i];
        if (x.code == code) { ++removed; continue; }
        e[w++] = x;
      }
    }
    count = static_cast<uint8_t>(count - removed);
  }

  // First match in the search order of the peek operations: in a wrapped
  // queue the part at the ring's start from the start, then the ring's end
  // down to the head; otherwise from the head in order.
  template <typename Pred>
  Entry* Search(Pred match) const {
    if (count == 0) return nullptr;
    if (Wrapped()) {
      int endLow = Pos(count - 1);
      for (int p = 0; p <= endLow; ++p)
        if (match(e[p])) return &e[p];
      for (int p = Size - 1; p >= head; --p)
        if (match(e[p])) return &e[p];
      return nullptr;
    }
    for (int i = 0; i < count; ++i)
      if (match(e[head + i])) return &e[head + i];
    return nullptr;
  }

  void Tick(uint8_t n) {
    bool sequentialSeen = false;
    for (int i = 0; i < count; ++i) {
      Entry& x = At(i);
      if (x.code >= MSG_SEQUENTIAL_CODE) {
        if (sequentialSeen) continue;
        sequentialSeen = true;
      }
      x.countdown = x.countdown < n ? 0 : x.countdown - n;
    }
  }
};

Ring<MsgDelayedEntry, MSG_DELAYED_SIZE> Delayed() { return {g_delayed, g_delayedCount, g_delayedHead}; }
Ring<MsgRepeatingEntry, MSG_REPEATING_SIZE> Repeating() {
  return {g_repeating, g_repeatingCount, g_repeatingHead};
}

int Msg_NewId() {
  for (int tries = 0; tries < 221; ++tries) {
    g_lastId = static_cast<uint8_t>(g_lastId + 1);
    if (g_lastId > MSG_MAX_ID) g_lastId = 0;
    if (Delayed().Find(g_lastId) == 255 && Repeating().Find(g_lastId) == 255) return 1;
  }
  return 0;
}

void Msg_Tick(uint8_t ticks) {
  Delayed().Tick(ticks);
  Repeating().Tick(ticks);
}

void Msg_Remove(uint8_t id) {
  auto d = Delayed();
  uint8_t pos = d.Find(id);
  if (pos != 255) {
    d.RemoveAt(pos);
    return;
  }
  auto r = Repeating();
  pos = r.Find(id);
  if (pos != 255) r.RemoveAt(pos);
}

uint8_t Msg_Get() {
  auto d = Delayed();
  for (int i = 0; i < d.count; ++i) {
    MsgDelayedEntry& x = d.At(i);
    if (x.countdown == 0) {
      uint8_t code = x.code;
      MsgCurrent.id = x.id;
      memcpy(MsgCurrent.p, x.p, 4);
      Msg_Remove(x.id);
      return code;
    }
  }
  auto r = Repeating();
  for (int i = 0; i < r.count; ++i) {
    MsgRepeatingEntry& x = r.At(i);
    if (x.countdown == 0) {
      uint8_t code = x.code;
      MsgCurrent.id = x.id;
      memcpy(MsgCurrent.p, x.p, 4);
      if (x.repeat != 0 && x.repeat != MSG_REPEAT_FOREVER) --x.repeat;
      x.countdown = x.period;
      if (x.repeat == 0) r.RemoveAt(r.Pos(i));
      return code;
    }
  }
  return MSG_NONE;
}

void Msg_RemoveCode(uint8_t code) {
  Delayed().RemoveCode(code);
  Repeating().RemoveCode(code);
}

uint8_t PostDelayed(uint8_t code, uint32_t delay, bool front) {
  auto d = Delayed();
  if (d.count >= MSG_DELAYED_SIZE) return MSG_NONE;
  if (!Msg_NewId()) return MSG_NONE;
  MsgDelayedEntry* x = front ? d.PushFront() : d.PushBack();
  x->id = g_lastId;
  x->code = code;
  x->countdown = delay;
  memcpy(x->p, MsgPostParams.p, 4);
  return g_lastId;
}

uint8_t PostRepeating(uint8_t code, uint32_t period, uint8_t repeat, bool front) {
  auto r = Repeating();
  if (r.count >= MSG_REPEATING_SIZE) return MSG_NONE;
  if (!Msg_NewId()) return MSG_NONE;
  MsgRepeatingEntry* x = front ? r.PushFront() : r.PushBack();
  x->id = g_lastId;
  x->code = code;
  memcpy(x->p, MsgPostParams.p, 4);
  x->period = period;
  x->countdown = period;
  x->repeat = repeat;
  return g_lastId;
}

uint8_t Msg_PostDelayed(uint8_t code, uint32_t delay) { return PostDelayed(code, delay, false); }
uint8_t Msg_PostDelayedFirst(uint8_t code, uint32_t delay) { return PostDelayed(code, delay, true); }
uint8_t Msg_PostRepeating(uint8_t code, uint32_t period, uint8_t repeat) {
  return PostRepeating(code, period, repeat, false);
}
uint8_t Msg_PostRepeatingFirst(uint8_t code, uint32_t period, uint8_t repeat) {
  return PostRepeating(code, period, repeat, true);
}

void Msg_ClearDelayed() { g_delayedCount = g_delayedHead = 0; }
void Msg_ClearRepeating() { g_repeatingCount = g_repeatingHead = 0; }

template <typename Pred>
int Peek(Pred match) {
  if (auto* x = Delayed().Search(match)) {
    memcpy(MsgCurrent.p, x->p, 4);
    return 1;
  }
  if (auto* x = Repeating().Search(match)) {
    memcpy(MsgCurrent.p, x->p, 4);
    return 1;
  }
  return 0;
}

int Msg_PeekCode(uint8_t code) {
  if (Peek([code](const auto& x) { return x.code == code; })) return 1;
  MsgCurrent.p[0] = 0;
  return 0;
}

int Msg_PeekId(uint8_t id) {
  return Peek([id](const auto& x) { return x.id == id; });
}

}  // namespace

void Msg_Init() {
  MsgOps = MsgOpsTable{Msg_Tick,        Msg_Get,          Msg_Remove,           Msg_RemoveCode,
                       Msg_PostDelayed, Msg_PostDelayedFirst, Msg_ClearDelayed, Msg_PostRepeating,
                       Msg_PostRepeatingFirst, Msg_ClearRepeating, Msg_PeekCode, Msg_PeekId};
}

void Msg_Exit() {}

MsgQueueView Msg_View() {
  return {g_delayed, g_delayedCount, g_delayedHead, g_repeating, g_repeatingCount, g_repeatingHead};
}

void Msg_ResetForTest() {
  memset(g_delayed, 0, sizeof g_delayed);
  memset(g_repeating, 0, sizeof g_repeating);
  g_delayedCount = g_delayedHead = g_repeatingCount = g_repeatingHead = 0;
  g_lastId = 0;
  memset(&MsgPostParams, 0, sizeof MsgPostParams);
  memset(&MsgCurrent, 0, sizeof MsgCurrent);
}
