// Helpers shared by the two serial protocol drivers (tilde and caret): the
// fields of a reply's data, bounded numbers and texts, the status-bit
// debounce counters, the battery and test-result rules both drivers apply,
// the incremental port read and bounded frame formatting.
#pragma once
#include <cstdarg>
#include <cstdint>

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
