// Fuzz target for the USB HID driver: the device's every answer comes from
// the input, so the usage enumeration (report, field and usage counts that
// change between its two walks), the family refinement, the polling with its
// mapping into the UPS record, the strings and the commands all see
// whatever a device might say.
//
// Input: byte 0 picks the vendor and product; then the bytes are drawn in
// order as the driver asks: a report-info request takes one byte (0 ends
// the list, else the report id) and one for the field count; a field-info
// request one byte for its usage count (254 claims 2^32 - 1); a usage-code
// request one byte (0 fails) and two for the page choice and the usage id;
// a value four bytes; a report request one byte (0 fails). After the probe
// each turn takes an operation byte: below 0xF0 one poll tick, 0xF0-0xF7 a
// command (code bit, two 16-bit arguments), above that a mapping of a value
// into an entry. When the input runs out every request fails.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/hiddev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "core/svc.h"
#include "ups/com.h"
#include "ups/usbhid.h"
#include "fuzz_support.h"

namespace {

const uint8_t* in;
size_t left;

bool Take(uint8_t* b) {
  if (left == 0) return false;
  *b = *in++;
  --left;
  return true;
}
uint8_t Byte() {
  uint8_t b = 0;
  Take(&b);
  return b;
}
int32_t Word32() {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = v << 8 | Byte();
  return static_cast<int32_t>(v);
}
int32_t Word16() { return static_cast<int16_t>(Byte() << 8 | Byte()); }

uint16_t vendor, product;

int Fail() {
  errno = EINVAL;
  return -1;
}

int FakeIoctl(int, unsigned long request, void* arg) {
  static constexpr uint32_t kPages[4] = {0x84, 0x85, 0x86, 0xFFFF};
  if (left == 0 && request != HIDIOCGDEVINFO) return Fail();
  switch (request) {
    case HIDIOCGDEVINFO: {
      auto* d = static_cast<hiddev_devinfo*>(arg);
      d->vendor = static_cast<int16_t>(vendor);
      d->product = static_cast<int16_t>(product);
      return 0;
    }
    case HIDIOCGREPORTINFO: {
      auto* r = static_cast<hiddev_report_info*>(arg);
      uint8_t id = Byte();
      if (id == 0) return Fail();
      r->report_id = id;
      r->num_fields = Byte();
      return 0;
    }
    case HIDIOCGFIELDINFO: {
      auto* f = static_cast<hiddev_field_info*>(arg);
      uint8_t n = Byte();
      f->maxusage = n == 254 ? 0xFFFFFFFFu : n;
      return 0;
    }
    case HIDIOCGUCODE: {
      auto* u = static_cast<hiddev_usage_ref*>(arg);
      if (Byte() == 0) return Fail();
      uint32_t page = kPages[Byte() & 3];
      u->usage_code = page << 16 | Byte();
      return 0;
    }
    case HIDIOCGUSAGE:
    case HIDIOCSUSAGE: {
      auto* u = static_cast<hiddev_usage_ref*>(arg);
      if (request == HIDIOCGUSAGE) u->value = Word32();
      return 0;
    }
    case HIDIOCGREPORT:
    case HIDIOCSREPORT:
      return Byte() == 0 ? Fail() : 0;
    case HIDIOCGSTRING: {
      auto* s = static_cast<hiddev_string_descriptor*>(arg);
      // The whole buffer, without a terminator.
      for (auto& c : s->value) c = static_cast<char>(Byte() | 0x20);
      return static_cast<int>(sizeof s->value);
    }
    default:
      return Fail();
  }
}

int FakeOpen(const char*, int) { return open("/dev/null", O_RDWR | O_CLOEXEC); }
int RealClose(int fd) { return close(fd); }
void NoReset(int) {}
// A clock that moves on a second at each reading: every queued write is
// due at its tick, and no report request counts as slow.
void SteppingClock(struct timespec* now) {
  static time_t seconds = 0;
  now->tv_sec = ++seconds;
  now->tv_nsec = 0;
}

void Setup() {
  // The probe looks for the device node by name.
  const std::string dir = Fuzz_ScratchDir("usbhid_fuzz");
  FILE* f = fopen((dir + "/hiddev0").c_str(), "w");
  if (!f) abort();
  fclose(f);
  snprintf(UsbHidDevicePrefix[0], sizeof UsbHidDevicePrefix[0], "%s/hiddev", dir.c_str());
  snprintf(UsbHidDevicePrefix[1], sizeof UsbHidDevicePrefix[1], "%s/none", dir.c_str());
  UsbHidDevice = UsbHidDeviceCalls{FakeOpen, FakeIoctl, RealClose};
  SvcMonoClock = SteppingClock;
  COM_Init("", "", 0, -1);
}

void Check() {
  UsbHidView v = UsbHid_View();
  if (v.usageCount < 0 || v.usageCount > USB_MAX_USAGES) __builtin_trap();
  if (v.usageCount > 0 && (v.next < 0 || v.next >= v.usageCount)) __builtin_trap();
  if (v.family < 0 || v.family > USB_FAMILIES) __builtin_trap();
  if (strnlen(UpsRecord.model, sizeof UpsRecord.model) >= sizeof UpsRecord.model) __builtin_trap();
  if (strnlen(UpsRecord.firmware, sizeof UpsRecord.firmware) >= sizeof UpsRecord.firmware) __builtin_trap();
  if (UpsRecord.outletCount > 8) __builtin_trap();
  if (UpsRecord.liveStatus >> 55) __builtin_trap();  // bits 55-63 are never set
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (Setup(), true);
  (void)ready;
  if (size < 1) return 0;
  static constexpr uint16_t kIds[4][2] = {{0x1209, 0x041B}, {0x1209, 0xA0FF}, {0x09AE, 0x4004}, {0x1209, 0xDD50}};
  vendor = kIds[data[0] & 3][0];
  product = kIds[data[0] & 3][1];
  in = data + 1;
  left = size - 1;

  memset(&UpsRecord, 0, sizeof UpsRecord);
  for (auto& v : UpsRecord.values) v = -1;
  UpsRecord.Reset = NoReset;
  UpsRecord.lowBattCheck = data[0] >> 7;
  UpsRecord.lowBattLevel = 40;
  UsbHid_Init();
  if (UsbHid_Probe()) {
    ComSlot.link[0] = COM_LINK_USB;
    Check();
    for (int turn = 0; turn < 3000 && left > 0 && ComSlot.fd[0] >= 0; ++turn) {
      uint8_t op = Byte();
      if (op < 0xF0) {
        UsbHid_Poll(0);
      } else if (op < 0xF8) {
        uint64_t code = uint64_t{1} << (Byte() & 63);
        int a = Word16(), b = Word16();
        UsbHid_Command(code, {a, b});
      } else {
        int index = Word16();
        UsbHid_MapUsage(index, Word32());
      }
      Check();
    }
  }
  Check();
  ComOps.Close(0);
  UsbHid_FreeUsages();
  return 0;
}
