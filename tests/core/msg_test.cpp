// The message queue against a plain reference model, plus its edge cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <random>

#include "core/msg.h"

namespace {

struct ModelEntry {
  uint8_t id, code;
  uint32_t countdown, period;
  uint8_t repeat;
  uint8_t p[4];
};

// Straightforward model of the two queues, in queue order.
struct Model {
  std::deque<ModelEntry> delayed, repeating;
  uint8_t lastId = 0;
  uint8_t current[4] = {};
  uint8_t currentId = 0;

  bool Used(uint8_t id) const {
    auto has = [id](const std::deque<ModelEntry>& q) {
      return std::any_of(q.begin(), q.end(), [id](const ModelEntry& e) { return e.id == id; });
    };
    return has(delayed) || has(repeating);
  }
  uint8_t NewId() {
    for (int i = 0; i < 221; ++i) {
      lastId = static_cast<uint8_t>(lastId + 1);
      if (lastId > 250) lastId = 0;
      if (!Used(lastId)) return lastId;
    }
    return 255;
  }
  uint8_t Post(bool rep, bool front, uint8_t code, uint32_t t, uint8_t repeat, const uint8_t p[4]) {
    auto& q = rep ? repeating : delayed;
    if (q.size() >= (rep ? 40u : 180u)) return 255;
    uint8_t id = NewId();
    if (id == 255) return 255;
    ModelEntry e{id, code, t, t, repeat, {p[0], p[1], p[2], p[3]}};
    if (front) q.push_front(e); else q.push_back(e);
    return id;
  }
  static void TickQ(std::deque<ModelEntry>& q, uint8_t n) {
    bool seq = false;
    for (auto& e : q) {
      if (e.code >= 200) {
        if (seq) continue;
        seq = true;
      }
      e.countdown = e.countdown < n ? 0 : e.countdown - n;
    }
  }
  void Tick(uint8_t n) { TickQ(delayed, n); TickQ(repeating, n); }
  uint8_t Get() {
    for (auto it = delayed.begin(); it != delayed.end(); ++it) {
      if (it->countdown == 0) {
        uint8_t code = it->code;
        currentId = it->id;
        memcpy(current, it->p, 4);
        delayed.erase(it);
        return code;
      }
    }
    for (auto it = repeating.begin(); it != repeating.end(); ++it) {
      if (it->countdown == 0) {
        uint8_t code = it->code;
        currentId = it->id;
        memcpy(current, it->p, 4);
        if (it->repeat != 0 && it->repeat != 255) --it->repeat;
        it->countdown = it->period;
        if (it->repeat == 0) repeating.erase(it);
        return code;
      }
    }
    return 255;
  }
  void Remove(uint8_t id) {
    for (auto* q : {&delayed, &repeating}) {
      auto it = std::find_if(q->begin(), q->end(), [id](const ModelEntry& e) { return e.id == id; });
      if (it != q->end()) {
        q->erase(it);
        return;
      }
    }
  }
  void RemoveCode(uint8_t code) {
    for (auto* q : {&delayed, &repeating})
      q->erase(std::remove_if(q->begin(), q->end(), [code](const ModelEntry& e) { return e.code == code; }),
               q->end());
  }
};

void ExpectSame(const Model& m) {
  MsgQueueView v = Msg_View();
  ASSERT_EQ(v.delayedCount, m.delayed.size());
  ASSERT_EQ(v.repeatingCount, m.repeating.size());
  for (size_t i = 0; i < m.delayed.size(); ++i) {
    const MsgDelayedEntry& e = v.delayed[(v.delayedHead + i) % MSG_DELAYED_SIZE];
    const ModelEntry& x = m.delayed[i];
    ASSERT_EQ(e.id, x.id) << "delayed entry " << i;
    ASSERT_EQ(e.code, x.code);
    ASSERT_EQ(e.countdown, x.countdown);
    ASSERT_EQ(0, memcmp(e.p, x.p, 4));
  }
  for (size_t i = 0; i < m.repeating.size(); ++i) {
    const MsgRepeatingEntry& e = v.repeating[(v.repeatingHead + i) % MSG_REPEATING_SIZE];
    const ModelEntry& x = m.repeating[i];
    ASSERT_EQ(e.id, x.id) << "repeating entry " << i;
    ASSERT_EQ(e.code, x.code);
    ASSERT_EQ(e.countdown, x.countdown);
    ASSERT_EQ(e.period, x.period);
    ASSERT_EQ(e.repeat, x.repeat);
    ASSERT_EQ(0, memcmp(e.p, x.p, 4));
  }
}

class MsgQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    Msg_ResetForTest();
    Msg_Init();
  }
};

TEST_F(MsgQueue, MatchesReferenceModelOverRandomOperations) {
  for (unsigned seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    Msg_ResetForTest();
    Model m;
    std::mt19937 rng(seed);
    auto rnd = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
    // Bias toward full queues on some seeds so the rings wrap and overflow.
    unsigned postWeight = seed % 3 == 0 ? 70 : 45;
    for (int step = 0; step < 3000; ++step) {
      unsigned op = rnd(100);
      uint8_t code = static_cast<uint8_t>(rnd(6) + (rnd(10) == 0 ? 200 : 0));
      uint8_t p[4] = {static_cast<uint8_t>(rnd(256)), static_cast<uint8_t>(rnd(256)),
                      static_cast<uint8_t>(rnd(256)), static_cast<uint8_t>(rnd(256))};
      memcpy(MsgPostParams.p, p, 4);
      if (op < postWeight) {
        bool rep = rnd(3) == 0, front = rnd(4) == 0;
        uint32_t t = rnd(5) == 0 ? 0 : rnd(30);
        uint8_t repeat = static_cast<uint8_t>(rnd(4) == 0 ? 255 : rnd(5));
        uint8_t got = rep ? (front ? MsgOps.PostRepeatingFirst(code, t, repeat) : MsgOps.PostRepeating(code, t, repeat))
                          : (front ? MsgOps.PostDelayedFirst(code, t) : MsgOps.PostDelayed(code, t));
        ASSERT_EQ(got, m.Post(rep, front, code, t, repeat, p));
      } else if (op < postWeight + 10) {
        uint8_t id = static_cast<uint8_t>(rnd(252));
        MsgOps.Remove(id);
        m.Remove(id);
      } else if (op < postWeight + 13) {
        MsgOps.RemoveCode(code);
        m.RemoveCode(code);
      } else if (op < postWeight + 25) {
        uint8_t n = static_cast<uint8_t>(rnd(4));
        MsgOps.Tick(n);
        m.Tick(n);
      } else {
        uint8_t got = MsgOps.Get();
        ASSERT_EQ(got, m.Get());
        if (got != MSG_NONE) {
          ASSERT_EQ(MsgCurrent.id, m.currentId);
          ASSERT_EQ(0, memcmp(MsgCurrent.p, m.current, 4));
        }
      }
      if (step % 7 == 0) ExpectSame(m);
      if (::testing::Test::HasFatalFailure()) return;
    }
    ExpectSame(m);
    // Every queued id can be peeked, and its parameters come back.
    for (auto* q : {&m.delayed, &m.repeating}) {
      for (const ModelEntry& e : *q) {
        ASSERT_EQ(1, MsgOps.PeekId(e.id));
        ASSERT_EQ(0, memcmp(MsgCurrent.p, e.p, 4));
      }
    }
  }
}

TEST_F(MsgQueue, FullQueuesRefusePosts) {
  for (int i = 0; i < MSG_DELAYED_SIZE; ++i) ASSERT_NE(MSG_NONE, MsgOps.PostDelayed(5, 10));
  EXPECT_EQ(MSG_NONE, MsgOps.PostDelayed(5, 10));
  EXPECT_EQ(MSG_NONE, MsgOps.PostDelayedFirst(5, 10));
  for (int i = 0; i < MSG_REPEATING_SIZE; ++i) ASSERT_NE(MSG_NONE, MsgOps.PostRepeating(6, 10, 255));
  EXPECT_EQ(MSG_NONE, MsgOps.PostRepeating(6, 10, 255));
  EXPECT_EQ(Msg_View().delayedCount, 180);
  EXPECT_EQ(Msg_View().repeatingCount, 40);
}

TEST_F(MsgQueue, IdsWrapAfter250AndSkipQueuedIds) {
  uint8_t keep = MsgOps.PostDelayed(1, 1000);  // id 1 stays queued
  ASSERT_EQ(keep, 1);
  for (int i = 2; i <= 250; ++i) {
    uint8_t id = MsgOps.PostDelayed(2, 0);
    ASSERT_EQ(id, i);
    ASSERT_EQ(MsgOps.Get(), 2);
  }
  EXPECT_EQ(MsgOps.PostDelayed(3, 0), 0);  // after 250 comes 0
  EXPECT_EQ(MsgOps.PostDelayed(3, 0), 2);  // 1 is still queued
}

TEST_F(MsgQueue, DeliveryOrderAndRepeatCounts) {
  struct Case {
    const char* name;
    uint8_t repeat;
    int deliveries;  // -1: forever
  } cases[] = {{"0 once", 0, 1}, {"1 once", 1, 1}, {"3 three times", 3, 3}, {"255 forever", 255, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Msg_ResetForTest();
    MsgOps.PostRepeating(7, 2, c.repeat);
    int got = 0;
    for (int t = 0; t < 40; ++t) {
      MsgOps.Tick(1);
      if (MsgOps.Get() == 7) ++got;
    }
    EXPECT_EQ(got, c.deliveries < 0 ? 20 : c.deliveries);
  }
  // One-shot before repeating, repeating in queue order.
  Msg_ResetForTest();
  MsgOps.PostRepeating(10, 1, 255);
  MsgOps.PostRepeating(11, 1, 255);
  MsgOps.PostDelayed(12, 1);
  MsgOps.Tick(1);
  EXPECT_EQ(MsgOps.Get(), 12);
  EXPECT_EQ(MsgOps.Get(), 10);
  EXPECT_EQ(MsgOps.Get(), 11);
  EXPECT_EQ(MsgOps.Get(), MSG_NONE);
}

TEST_F(MsgQueue, TickEdgeCases) {
  MsgOps.PostDelayed(1, 0);
  EXPECT_EQ(MsgOps.Get(), 1);  // due without a tick
  MsgOps.PostDelayed(2, 5);
  MsgOps.Tick(0);
  EXPECT_EQ(Msg_View().delayed[Msg_View().delayedHead].countdown, 5u);
  MsgOps.Tick(200);  // larger than the countdown: 0, never wrapping
  EXPECT_EQ(Msg_View().delayed[Msg_View().delayedHead].countdown, 0u);
  EXPECT_EQ(MsgOps.Get(), 2);
  // A repeating message of period 0 is always due and hides those behind it.
  MsgOps.PostRepeating(3, 0, 255);
  MsgOps.PostRepeating(4, 0, 255);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(MsgOps.Get(), 3);
}

TEST_F(MsgQueue, SequentialCodesCountDownOneAtATime) {
  MsgOps.PostDelayed(200, 2);
  MsgOps.PostDelayed(201, 2);
  MsgOps.PostDelayed(5, 2);
  MsgOps.Tick(2);
  EXPECT_EQ(MsgOps.Get(), 200);
  EXPECT_EQ(MsgOps.Get(), 5);
  EXPECT_EQ(MsgOps.Get(), MSG_NONE);  // 201 waited
  MsgOps.Tick(2);
  EXPECT_EQ(MsgOps.Get(), 201);
}

TEST_F(MsgQueue, WrappedRingKeepsOrderOnRemoval) {
  // Move the head near the end of the ring, then fill past the wrap.
  for (int i = 0; i < 170; ++i) MsgOps.PostDelayed(9, 0);
  for (int i = 0; i < 170; ++i) MsgOps.Get();
  ASSERT_EQ(Msg_View().delayedHead, 170);
  std::vector<uint8_t> ids;
  for (int i = 0; i < 100; ++i) {
    MsgPostParams.p[0] = static_cast<uint8_t>(i);
    ids.push_back(MsgOps.PostDelayed(static_cast<uint8_t>(i < 10 ? 30 : 31), 1000));
  }
  // Remove an entry in the wrapped part and one in the unwrapped part.
  MsgOps.Remove(ids[50]);
  MsgOps.Remove(ids[5]);
  ids.erase(ids.begin() + 50);
  ids.erase(ids.begin() + 5);
  MsgQueueView v = Msg_View();
  ASSERT_EQ(v.delayedCount, ids.size());
  for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(v.delayed[(v.delayedHead + i) % 180].id, ids[i]);
  // Every entry from the head to the ring's end has code 30: removing it
  // moves the head to 0.
  MsgOps.RemoveCode(30);
  v = Msg_View();
  EXPECT_EQ(v.delayedHead, 0);
  EXPECT_EQ(v.delayedCount, 89);
  for (int i = 0; i < 89; ++i) EXPECT_EQ(v.delayed[i].id, ids[9 + i]);
  // Peek of a code queued once returns that entry's parameters.
  MsgPostParams.p[0] = 77;
  MsgOps.PostDelayed(40, 1000);
  ASSERT_EQ(1, MsgOps.PeekCode(40));
  EXPECT_EQ(MsgCurrent.p[0], 77);
  EXPECT_EQ(0, MsgOps.PeekCode(41));
  EXPECT_EQ(MsgCurrent.p[0], 0);  // a failed peek by code clears p0
}

}  // namespace
