// Helpers shared by the protocol drivers (tilde, caret and, for the
// command queue, USB): the fields of a reply's data, bounded numbers and
// texts, the status-bit debounce counters, the battery and test-result rules
// both serial drivers apply, the incremental port read, bounded frame
// formatting, and the command queue with its reports to the link manager.
#pragma once
#include <cstdarg>
#include <cstdint>

#include "ups/com.h"
#include "ups/upsdata.h"

// One field of a reply's data: the text between two separators.
struct ProtoField {
  const char* text;
  int length;
  bool empty() const { return length == 0; }
};

// Walks the fields of data (length bytes) cut at separator. Empty data is
// one empty field.
class ProtoFields {
 public:
  ProtoFields(const char* data, int length, char separator = ';')
      : end_(data + length), next_(data), separator_(separator) {}
  // The next field; false after the last one.
  bool Next(ProtoField* out) {
    if (done_) return false;
    const char* start = next_;
    const char* p = start;
    while (p < end_ && *p != separator_) ++p;
    out->text = start;
    out->length = static_cast<int>(p - start);
    if (p < end_) next_ = p + 1;
    else done_ = true;
    return true;
  }

 private:
  const char* end_;
  const char* next_;
  char separator_;
  bool done_ = false;
};

// Decimal text to number (leading blanks and a sign allowed), stopping at
// the first non-digit; clamped to the 32-bit range.
int32_t Proto_Number(const char* text, int length);
inline int32_t Proto_Number(const ProtoField& f) { return Proto_Number(f.text, f.length); }

// Copies at most length bytes (and at most size - 1, stopping at a NUL) and
// terminates the copy.
void Proto_CopyText(char* out, int size, const char* text, int length);

// ---- live status bits, capabilities and their debounce counters ----
inline void Proto_SetBit(int bit) { UpsRecord.liveStatus |= UpsBit(bit); }
inline void Proto_ClearBit(int bit) { UpsRecord.liveStatus &= ~UpsBit(bit); }
inline bool Proto_BitSet(int bit) { return (UpsRecord.liveStatus & UpsBit(bit)) != 0; }
inline void Proto_AddCap(int bit) { UpsRecord.capabilities |= UpsBit(bit); }
inline bool Proto_HasCap(int bit) { return (UpsRecord.capabilities & UpsBit(bit)) != 0; }
inline void Proto_DropCap(int bit) {
  if (bit >= 0) UpsRecord.capabilities &= ~UpsBit(bit);
}

// Index 0-63 of the lowest set bit; 0 when none.
int Proto_BitIndex(uint64_t mask);

// Counts bit's counter up; true (and the counter held at t) when it already
// stood at t or above.
bool Proto_CountUp(int bit, int t);
// Counts up and sets the bit once the count is reached.
void Proto_CountUpBit(int bit, int t);
// Counts down; clears the bit (counter 0) when the counter stood at 0 or below.
void Proto_CountDownBit(int bit);
// Clears the bit and zeroes its counter.
void Proto_ClearCounted(int bit);
// A new link with debounce threshold t: each status bit the UPS reported
// before stands with its count reached, so the first replies of the link
// keep it (or end it) as on a link that never broke; every other counter
// starts from 0.
void Proto_HoldReportedBits(int t);

// The battery condition, battery status and charge-state rules over values
// 26-28 (and 35 for the service's own low-charge check), with threshold t
// (t + 2 for battery low and depleted, t - 1 for discharging). With
// chargerReading, value 43 also decides charging (the tilde rule).
void Proto_BatteryRules(int t, bool chargerReading);
// The test-result rule over value 96 (bits 31 and 32), threshold t.
void Proto_TestResult(int t);

// Failed replies in a row (time-outs and replies the receiver rejects) after
// which a serial driver gives the link up.
constexpr int PROTO_LINK_FAILURES = 5;
// Counts one failed reply in *failures; at the fifth in a row the link is
// lost: status bit 46 set, the slot closed, the UPS record reset (keeping
// the status words) and the count back at 0. True when the link was lost.
bool Proto_CountFailure(uint8_t slot, uint8_t* failures);

// One non-blocking read that brings the buffer's fill count up towards
// want; a read of 0 bytes is no progress. Returns the bytes asked for.
int Proto_ReadMore(uint8_t slot, uint8_t* buffer, uint8_t* count, int want);

// Formats a frame into out (size bytes, terminated); 0 when the text is
// shorter than minLength or longer than maxLength characters, else its length.
int Proto_VFormatFrame(uint8_t* out, int size, int minLength, int maxLength, const char* format, va_list ap)
    __attribute__((format(printf, 5, 0)));

// A new link's poll cycles: once threshold + 1 whole cycles have come, every
// status bit the link primed at that threshold (Proto_HoldReportedBits) has
// had the reports that keep or end it, and the link manager hears that the
// UPS's status is known (COM_StatusKnown).
class ProtoCycles {
 public:
  void Start(int threshold) {
    done_ = 0;
    needed_ = threshold + 1;
  }
  void Ended() {
    if (done_ < needed_ && ++done_ == needed_) COM_StatusKnown();
  }

 private:
  int done_ = 0;
  int needed_ = 1;
};

// The state of outlet index (0-7) as the UPS reported it on this link.
inline void Proto_OutletState(int index, bool on) {
  const auto bit = static_cast<uint8_t>(1u << index);
  if (on) UpsRecord.outletOn |= bit;
  else UpsRecord.outletOn &= static_cast<uint8_t>(~bit);
  COM_OutletsReported(bit);
}

// ---- the command queue ----

// What a driver holds of the link manager's commands (frames for the line,
// or USB writes), oldest first, each with the tag of its command, and which
// one is in flight. The link manager hears through COM_CommandFrame when a
// frame of a command is queued, and when the UPS answered it or gave no
// sound reply to it.
template <typename Frame, int Slots>
class ProtoQueue {
 public:
  // Queues a frame of the command being handed (ComCommandTag; 0 for a
  // frame of the driver's own); false when every slot is taken.
  bool Push(const Frame& frame) {
    if (count_ == Slots) return false;
    frames_[count_] = frame;
    tags_[count_++] = ComCommandTag;
    if (ComCommandTag) COM_CommandFrame(ComCommandTag, COM_FRAME_QUEUED);
    return true;
  }
  // The oldest frame goes on the line: it is in flight until its answer,
  // and its command can no longer be taken back.
  bool Take(Frame* out) {
    if (count_ == 0) return false;
    *out = frames_[0];
    flight_ = tags_[0];
    fromQueue_ = true;
    RemoveAt(0);
    if (flight_) COM_CommandFrame(flight_, COM_FRAME_SENT);
    return true;
  }
  // A poll item goes on the line instead.
  void PollItem() {
    flight_ = 0;
    fromQueue_ = false;
  }
  // The frame on the line came from this queue.
  bool FromQueue() const { return fromQueue_; }
  // The UPS accepted, rejected or answered the frame in flight.
  void Answered() { Report(COM_FRAME_ANSWERED); }
  // No sound reply came for it (a time-out, a garbled reply, a failed write);
  // told before the failure is counted, which may end the link.
  void Unanswered() { Report(COM_FRAME_UNANSWERED); }
  // Takes back the queued frames of the command with this tag; how many.
  int Withdraw(uint32_t tag) {
    int taken = 0;
    for (int i = 0; tag && i < count_;) {
      if (tags_[i] != tag) {
        ++i;
        continue;
      }
      RemoveAt(i);
      ++taken;
    }
    return taken;
  }
  // A new link: what an earlier one left is the link manager's to hand again.
  void Clear() {
    count_ = 0;
    PollItem();
  }
  int Count() const { return count_; }
  const Frame& At(int i) const { return frames_[i]; }

 private:
  void Report(ComFrameReport report) {
    if (fromQueue_ && flight_) COM_CommandFrame(flight_, report);
    flight_ = 0;
  }
  void RemoveAt(int i) {
    for (; i + 1 < count_; ++i) {
      frames_[i] = frames_[i + 1];
      tags_[i] = tags_[i + 1];
    }
    --count_;
  }

  Frame frames_[Slots] = {};
  uint32_t tags_[Slots] = {};
  int count_ = 0;
  uint32_t flight_ = 0;
  bool fromQueue_ = false;
};

// The serial drivers' frames: at most PROTO_FRAME_SIZE bytes each, ten waiting.
constexpr int PROTO_FRAME_SIZE = 32;
constexpr int PROTO_QUEUE_SLOTS = 10;
struct ProtoFrame {
  uint8_t bytes[PROTO_FRAME_SIZE];
  uint8_t length;
};
using ProtoFrameQueue = ProtoQueue<ProtoFrame, PROTO_QUEUE_SLOTS>;

// Queues length bytes as a frame; false (nothing queued) when the queue is
// full, the frame is empty or longer than maxLength.
bool Proto_QueueFrame(ProtoFrameQueue& queue, const uint8_t* bytes, int length, int maxLength);
// The oldest queued frame into tx (size bytes, terminated) and its length;
// false when none waits.
bool Proto_TakeFrame(ProtoFrameQueue& queue, uint8_t* tx, int size, uint8_t* txLength);
