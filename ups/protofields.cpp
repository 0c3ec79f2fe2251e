// Helpers shared by the protocol drivers.
#include "ups/protofields.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ups/com.h"

int32_t Proto_Number(const char* text, int length) {
  int i = 0;
  while (i < length && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < length && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int64_t v = 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 + (text[i] - '0');
    if (v > INT32_MAX) v = INT32_MAX;
  }
  return static_cast<int32_t>(negative ? -v : v);
}

void Proto_CopyText(char* out, int size, const char* text, int length) {
  int n = 0;
  while (n < length && n < size - 1 && text[n] != 0) {
    out[n] = text[n];
    ++n;
  }
  out[n] = 0;
}

int Proto_BitIndex(uint64_t mask) {
  for (int i = 0; i < 64; ++i)
    if (mask & UpsBit(i)) return i;
  return 0;
}

bool Proto_CountUp(int bit, int t) {
  int old = UpsRecord.debounce[bit];
  UpsRecord.debounce[bit] = static_cast<int8_t>(old + 1);
  if (old >= t) {
    UpsRecord.debounce[bit] = static_cast<int8_t>(t);
    return true;
  }
  return false;
}

void Proto_CountUpBit(int bit, int t) {
  if (Proto_CountUp(bit, t)) Proto_SetBit(bit);
}

void Proto_CountDownBit(int bit) {
  int old = UpsRecord.debounce[bit];
  UpsRecord.debounce[bit] = static_cast<int8_t>(old - 1);
  if (old <= 0) {
    Proto_ClearBit(bit);
    UpsRecord.debounce[bit] = 0;
  }
}

void Proto_ClearCounted(int bit) {
  Proto_ClearBit(bit);
  UpsRecord.debounce[bit] = 0;
}

void Proto_HoldReportedBits(int t) {
  for (int bit = 0; bit < 64; ++bit) UpsRecord.debounce[bit] = static_cast<int8_t>(Proto_BitSet(bit) ? t : 0);
}

void Proto_BatteryRules(int t, bool chargerReading) {
  int32_t* v = UpsRecord.values;
  // Battery condition: weak, or needs replacement as the UPS says.
  if (v[VAL_BATTCOND] == 1) {
    Proto_CountUpBit(UPS_ST_BATTWEAK, t);
  } else if (v[VAL_BATTCOND] == 2) {
    Proto_ClearBit(UPS_ST_BATTWEAK);
    if (Proto_CountUp(UPS_ST_BATTREPLACE, t)) UpsRecord.replaceReported = 1;
  } else {
    UpsRecord.replaceReported = 0;
    Proto_ClearCounted(UPS_ST_BATTWEAK);
    UpsRecord.debounce[UPS_ST_BATTREPLACE] = 0;
  }
  if (UpsRecord.replaceDue || UpsRecord.replaceReported) Proto_SetBit(UPS_ST_BATTREPLACE);
  else Proto_ClearBit(UPS_ST_BATTREPLACE);

  // Battery status, with the service's own low-charge check.
  if (v[VAL_BATTSTS] == 0 && v[VAL_BATTLEVEL] != -1 && UpsRecord.lowBattCheck &&
      v[VAL_BATTLEVEL] < UpsRecord.lowBattLevel)
    v[VAL_BATTSTS] = 1;
  if (v[VAL_BATTSTS] == 1) {
    Proto_CountUpBit(UPS_ST_BATTLOW, t + 2);
  } else if (v[VAL_BATTSTS] == 2) {
    Proto_CountUpBit(UPS_ST_BATTDEPLETED, t + 2);
  } else {
    Proto_ClearCounted(UPS_ST_BATTLOW);
    Proto_ClearCounted(UPS_ST_BATTDEPLETED);
  }

  // Charge state; for the tilde UPS a positive charger reading means charging.
  if (chargerReading && ((v[VAL_CHARGER] == -1 && v[VAL_BATTCHARGE] == 0) || v[VAL_CHARGER] > 0))
    v[VAL_BATTCHARGE] = 1;
  if (v[VAL_BATTCHARGE] == 1) {
    Proto_CountUpBit(UPS_ST_CHARGING, t);
    if (Proto_BitSet(UPS_ST_CHARGING)) Proto_ClearBit(UPS_ST_DISCHARGING);
  } else if (v[VAL_BATTCHARGE] == 3) {
    Proto_CountUpBit(UPS_ST_DISCHARGING, t - 1);
    if (Proto_BitSet(UPS_ST_DISCHARGING)) Proto_ClearBit(UPS_ST_CHARGING);
  } else {
    Proto_ClearCounted(UPS_ST_CHARGING);
    Proto_ClearCounted(UPS_ST_DISCHARGING);
  }
}

void Proto_TestResult(int t) {
  Proto_ClearBit(UPS_ST_TESTING);
  Proto_ClearBit(UPS_ST_TESTFAIL);
  switch (UpsRecord.values[VAL_TESTRESULT]) {
    case 1:
    case 6:
      UpsRecord.debounce[UPS_ST_TESTING] = 0;
      UpsRecord.debounce[UPS_ST_TESTFAIL] = 0;
      break;
    case 2: Proto_CountUpBit(UPS_ST_TESTING, t); break;
    case 3:
    case 4:
    case 5: Proto_CountUpBit(UPS_ST_TESTFAIL, t); break;
    default: break;
  }
}

bool Proto_CountFailure(uint8_t slot, uint8_t* failures) {
  if (++*failures < PROTO_LINK_FAILURES) return false;
  *failures = 0;
  Proto_SetBit(UPS_ST_COMMLOST);
  ComOps.Close(slot);
  if (UpsRecord.Reset) UpsRecord.Reset(1);
  return true;
}

int Proto_ReadMore(uint8_t slot, uint8_t* buffer, uint8_t* count, int want) {
  int length = want - *count;
  if (length <= 0) return 0;
  if (ComOps.Read(slot, &length, buffer + *count) && length > 0) *count = static_cast<uint8_t>(*count + length);
  return length;
}

int Proto_VFormatFrame(uint8_t* out, int size, int minLength, int maxLength, const char* format, va_list ap) {
  char text[64];
  int n = vsnprintf(text, sizeof text, format, ap);
  if (n < minLength || n > maxLength || n >= size) return 0;
  memcpy(out, text, n + 1);
  return n;
}

bool Proto_QueueFrame(ProtoFrameQueue& queue, const uint8_t* bytes, int length, int maxLength) {
  if (length <= 0 || length > maxLength || length > PROTO_FRAME_SIZE) return false;
  ProtoFrame frame{};
  memcpy(frame.bytes, bytes, static_cast<size_t>(length));
  frame.length = static_cast<uint8_t>(length);
  return queue.Push(frame);
}

bool Proto_TakeFrame(ProtoFrameQueue& queue, uint8_t* tx, int size, uint8_t* txLength) {
  ProtoFrame frame;
  if (size <= 0 || !queue.Take(&frame)) return false;
  // Each driver queues only frames its transmit buffer holds with their NUL.
  const int n = frame.length < size ? frame.length : size - 1;
  memcpy(tx, frame.bytes, static_cast<size_t>(n));
  tx[n] = 0;
  *txLength = static_cast<uint8_t>(n);
  return true;
}
