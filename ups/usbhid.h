// USB HID driver over the kernel's hiddev interface: finds an accepted UPS
// among the hiddev devices, reads the list of all its usages once, sorts it
// into one of five families and then reads five usages per 100 ms tick,
// mapping each value into the UPS record through the family's static table;
// UPS commands are written to the usage the family's command table names,
// one write per poll tick at most and USB_COMMAND_GAP_MS apart, so that no
// write holds the main loop.
// UsbHid_Init fills UsbHidOps; an empty Probe entry means the driver is not
// built. The device's descriptor lives in port slot 0 (ups/com.h), so
// closing that slot ends the USB link too.
#pragma once
#include <cstdint>

#include "ups/upsdata.h"

// The USB protocol table, in this order (no BitIndex entry; Probe opens the
// device itself, always for port slot 0). Command queues the command's
// writes; Withdraw takes back the queued writes of the link manager's
// command with this tag and returns how many.
struct UsbHidOpsTable {
  void (*Poll)(uint8_t slot);
  int (*Probe)();
  UpsDriverCommandFn Command;
  int (*Withdraw)(uint32_t tag);
};
extern UsbHidOpsTable UsbHidOps;

void UsbHid_Init();
void UsbHid_Exit();

int UsbHid_Probe();
void UsbHid_Poll(uint8_t slot);
// code, then the command's integer arguments (ROF/RON: outlet and delay;
// TXV: low and high; every other command: one value).
void UsbHid_Command(uint64_t code, const UpsCommandArgs& args);
int UsbHid_Withdraw(uint32_t tag);

// One usage found on the device, in enumeration order.
struct UsbUsageEntry {
  uint8_t reportType;  // 1 input, 2 output, 3 feature
  uint8_t reportId;
  uint32_t usagePage;  // high 16 bits of the usage code
  uint8_t usageId;     // low 8 bits of the usage code
  uint32_t fieldIndex;
  uint32_t usageIndex;
  int32_t value;       // last value read
};

// One row of a family's static mapping or command table.
enum UsbMapKind : uint8_t { USB_MAP_VALUE = 1, USB_MAP_STATUS = 2 };
struct UsbMapRow {
  uint8_t kind;        // mapping rows: USB_MAP_VALUE or USB_MAP_STATUS; command rows: USB_MAP_VALUE
  uint8_t reportId;
  uint32_t usagePage;
  uint32_t usageId;    // compared in its low 8 bits
  uint64_t target;     // value index 0-123 or special code; status mask; command bit
};

// Special targets of value rows (beyond the 124 value indexes).
enum UsbSpecialTarget : uint64_t {
  USB_TGT_STATUSFIELD = 124,  // a status bit field
  USB_TGT_RUNTIME = 125,      // remaining run time, already in minutes
  USB_TGT_OUTLETCOUNT = 126,  // switchable outlets, one bit each
  USB_TGT_OUTLETSTATE = 127,  // outlet states, bit clear = on
  USB_TGT_MODEL = 128,        // string index of the model name
  USB_TGT_IGNORE = 129,
};

constexpr int USB_FAMILIES = 5;
constexpr int USB_MAX_USAGES = 4096;  // the most usages a device's table takes
constexpr int USB_READS_PER_TICK = 5;
constexpr int USB_LOST_FAILURES = 15;  // failed reads in all-failed ticks that end the link
constexpr int USB_DEBOUNCE = 3;        // the debounce threshold of the battery-low bit
// A report request that takes longer than this brought nothing: hiddev
// answers it without error even when the device did not (the kernel gives
// up waiting after about 10 s and keeps the values it read last). It counts
// as a tick whose reads all failed, and the tick ends there.
constexpr int USB_REPORT_SLOW_MS = 1000;

// Builds the usage table of the device in port slot 0 (the previous table is
// freed first); 1 when it holds at least one entry. May refine the family.
int UsbHid_EnumUsages();
void UsbHid_FreeUsages();
// Maps value into the UPS record through the first mapping row that matches
// entry index's key; an index outside the table does nothing.
void UsbHid_MapUsage(int index, int32_t value);

// Read-only view of the module state (tests, debug page).
struct UsbHidView {
  int family;  // 0 none, 1-5
  const UsbUsageEntry* usages;
  int usageCount;
  int next;       // the entry the next tick reads first
  int failures;   // failed reads of the all-failed ticks in a row
  const UsbMapRow* map;
  int mapCount;
  const UsbMapRow* commands;
  int commandCount;
  int queuedWrites;  // command writes waiting for their tick
};
UsbHidView UsbHid_View();
// The static tables of family 1-5 (empty views for other numbers).
UsbHidView UsbHid_FamilyTables(int family);
// The capability word a family sets.
uint64_t UsbHid_FamilyCapabilities(int family);

// Device access: the hiddev calls, replaceable by tests. They default to the
// C library's open, ioctl and close.
struct UsbHidDeviceCalls {
  int (*Open)(const char* path, int flags);
  int (*Ioctl)(int fd, unsigned long request, void* arg);
  int (*Close)(int fd);
};
extern UsbHidDeviceCalls UsbHidDevice;
// The two device name prefixes, each tried with the numbers 0-15:
// "/dev/usb/hiddev", then "/dev/hiddev". Tests point them at scratch names.
constexpr int USB_DEVICE_NUMBERS = 16;
extern char UsbHidDevicePrefix[2][128];
// The UPS's time after a command write before the next one (the two
// transfer voltages of one command are two writes); the reads go on
// meanwhile.
constexpr int64_t USB_COMMAND_GAP_MS = 2000;
// The writes that may wait: the link manager hands one command at a time.
constexpr int USB_QUEUED_WRITES = 4;
