// Plays a serial UPS that answers the driver's queries one after another
// with the given replies, for the protocol tests of link loss.
#pragma once
#include <string>
#include <vector>

#include "support/pty.h"
#include "ups/com.h"

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
