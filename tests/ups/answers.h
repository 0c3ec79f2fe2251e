// Plays a serial UPS that answers the driver's queries one after another
// with the given replies, for the protocol tests of link loss; and the
// frames a serial driver's command queue holds.
#pragma once
#include <string>
#include <vector>

#include "support/pty.h"
#include "ups/com.h"
#include "ups/protofields.h"

// The queued frames as texts, oldest first.
inline std::vector<std::string> QueuedFrames(const ProtoFrameQueue& queue) {
  std::vector<std::string> out;
  for (int i = 0; i < queue.Count(); ++i)
    out.emplace_back(reinterpret_cast<const char*>(queue.At(i).bytes), queue.At(i).length);
  return out;
}

// Each reply answers one query: tick sends it, readSent takes the frame
// off the line, then the reply goes out and one tick reads it; an empty
// reply is silence for ten ticks (one time-out). Stops when the driver has
// closed port slot 0 and returns the index of the reply after which it did,
// -1 when the link stood through all of them.
template <typename Tick, typename ReadSent>
int AnswerUntilLost(TestPty& pty, const std::vector<std::string>& replies, Tick tick, ReadSent readSent) {
  for (size_t i = 0; i < replies.size(); ++i) {
    tick();
    readSent();
    if (replies[i].empty()) {
      for (int t = 0; t < 10; ++t) tick();
    } else {
      pty.Send(replies[i]);
      tick();
    }
    if (ComSlot.fd[0] < 0) return static_cast<int>(i);
  }
  return -1;
}
