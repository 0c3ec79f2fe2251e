// USB HID driver over hiddev: the family tables, device search and
// enumeration, the five-usage poll step with its mapping, and the commands.
#include "ups/usbhid.h"

#include <array>
#include <initializer_list>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/hiddev.h>
#include <memory>
#include <new>
#include <sys/ioctl.h>
#include <unistd.h>

#include "core/svc.h"
#include "core/util.h"
#include "ups/com.h"
#include "ups/protofields.h"
#include "ups/tilde.h"

UsbHidOpsTable UsbHidOps;

namespace {

int SysOpen(const char* path, int flags) { return open(path, flags); }
int SysIoctl(int fd, unsigned long request, void* arg) { return ioctl(fd, request, arg); }
int SysClose(int fd) { return close(fd); }

// ---- the family tables ----

struct Target {
  uint8_t kind;
  uint64_t target;
};
constexpr Target V(int index) { return {USB_MAP_VALUE, static_cast<uint64_t>(index)}; }
constexpr Target S(UsbSpecialTarget code) { return {USB_MAP_VALUE, code}; }
constexpr Target B(int bit) { return {USB_MAP_STATUS, UpsBit(bit)}; }
constexpr Target C(UpsCommandBit code) { return {USB_MAP_VALUE, code}; }

// One row of the combined tables, with the families ("1" to "5") it belongs to.
struct SourceRow {
  uint32_t page;
  uint32_t usage;
  uint8_t reportId;
  Target t;
  const char* families;
};

constexpr SourceRow kMapSource[] = {
    {0x84, 0x30, 24, V(46), "3"},
    {0x84, 0x30, 27, V(63), "2345"},
    {0x84, 0x30, 32, V(32), "2345"},
    {0x84, 0x30, 49, V(46), "2345"},
    {0x84, 0x31, 12, V(33), "25"},
    {0x84, 0x31, 68, V(47), "25"},
    {0x84, 0x31, 70, V(64), "2345"},
    {0x84, 0x32, 25, V(45), "2345"},
    {0x84, 0x32, 28, V(61), "2345"},
    {0x84, 0x34, 69, V(48), "25"},
    {0x84, 0x34, 71, V(65), "2345"},
    {0x84, 0x35, 30, V(66), "2345"},
    {0x84, 0x36, 26, V(34), "2345"},
    {0x84, 0x40, 1, V(0), "2345"},
    {0x84, 0x40, 4, V(14), "2345"},
    {0x84, 0x42, 2, V(1), "2345"},
    {0x84, 0x43, 3, V(4), "2345"},
    {0x84, 0x53, 6, V(7), "2345"},
    {0x84, 0x54, 9, V(8), "2345"},
    {0x84, 0x58, 16, V(96), "2345"},
    {0x84, 0x5A, 17, B(UPS_ST_BUZENABLED), "2345"},
    {0x84, 0x62, 50, B(UPS_ST_UPSFAIL), "2345"},
    {0x84, 0x63, 34, B(UPS_ST_ACFAIL), "3"},
    {0x84, 0x65, 34, B(UPS_ST_OVERLOAD), "2345"},
    {0x84, 0x67, 34, B(UPS_ST_OVERTEMP), "2345"},
    {0x84, 0x69, 50, B(UPS_ST_SHUTDOWNIMMINENT), "2345"},
    {0x84, 0x6D, 34, B(UPS_ST_SYSTEMOFF), "2345"},
    {0x84, 0x6E, 34, B(UPS_ST_BOOST), "2345"},
    {0x84, 0x6F, 34, B(UPS_ST_BUCK), "2345"},
    {0x84, 0x72, 34, B(UPS_ST_AWAITPOWER), "2345"},
    {0x85, 0x30, 32, V(32), "1"},
    {0x85, 0x39, 33, V(35), "1"},
    {0x85, 0x42, 35, B(UPS_ST_BATTLOW), "1"},
    {0x85, 0x42, 50, B(UPS_ST_BATTLOW), "2345"},
    {0x85, 0x44, 35, B(UPS_ST_CHARGING), "1"},
    {0x85, 0x44, 50, B(UPS_ST_CHARGING), "2345"},
    {0x85, 0x45, 35, B(UPS_ST_DISCHARGING), "1"},
    {0x85, 0x45, 50, B(UPS_ST_DISCHARGING), "2345"},
    {0x85, 0x47, 50, B(UPS_ST_BATTDEPLETED), "2345"},
    {0x85, 0x4B, 35, B(UPS_ST_BATTREPLACE), "1"},
    {0x85, 0x4B, 50, B(UPS_ST_BATTREPLACE), "2345"},
    {0x85, 0x66, 33, V(35), "2345"},
    {0x85, 0x68, 53, V(30), "235"},
    {0x85, 0x6C, 63, S(USB_TGT_RUNTIME), "1"},
    {0x85, 0xD0, 50, B(UPS_ST_ACFAIL), "245"},
    {0x86, 0x21, 34, S(USB_TGT_STATUSFIELD), "1"},
    {0x86, 0x30, 24, V(46), "1"},
    {0x86, 0x30, 27, V(63), "1"},
    {0x86, 0x32, 25, V(45), "1"},
    {0x86, 0x32, 28, V(61), "1"},
    {0x86, 0x34, 29, V(65), "1"},
    {0x86, 0x35, 30, V(66), "1"},
    {0x86, 0x36, 26, V(34), "1"},
    {0x86, 0x40, 1, V(0), "1"},
    {0x86, 0x42, 2, V(1), "1"},
    {0x86, 0x43, 3, V(4), "1"},
    {0x86, 0x44, 4, V(14), "1"},
    {0x86, 0x53, 6, V(7), "1"},
    {0x86, 0x54, 9, V(8), "1"},
    {0x86, 0x58, 16, V(96), "1"},
    {0x86, 0x5A, 17, B(UPS_ST_BUZENABLED), "1"},
    {0x86, 0x5B, 7, V(9), "1"},
    {0x86, 0x5C, 8, V(10), "1"},
    {0x86, 0x5D, 10, V(11), "1"},
    {0x86, 0x5E, 11, V(12), "1"},
    {0x86, 0x74, 12, V(97), "1"},
    {0x86, 0x75, 13, S(USB_TGT_MODEL), "1"},
    {0x86, 0x76, 14, S(USB_TGT_IGNORE), "1"},
    {0x86, 0x7C, 15, V(13), "1"},
    {0x86, 0x80, 64, V(99), "1"},
    {0x86, 0x81, 65, V(100), "1"},
    {0x86, 0x82, 66, V(98), "1"},
    {0x86, 0x85, 97, S(USB_TGT_OUTLETCOUNT), "1"},
    {0x86, 0x86, 98, S(USB_TGT_OUTLETSTATE), "1"},
    {0xFFFF, 0x57, 7, V(9), "25"},
    {0xFFFF, 0x58, 8, V(10), "25"},
    {0xFFFF, 0x59, 10, V(11), "25"},
    {0xFFFF, 0x5A, 11, V(12), "25"},
    {0xFFFF, 0x61, 99, V(36), "234"},
    {0xFFFF, 0x69, 137, B(UPS_ST_ECONOMIC), "23"},
    {0xFFFF, 0x75, 13, S(USB_TGT_MODEL), "2345"},
    {0xFFFF, 0x76, 14, S(USB_TGT_IGNORE), "2345"},
    {0xFFFF, 0x7C, 15, V(13), "2345"},
    {0xFFFF, 0x7D, 108, V(121), "2345"},
    {0xFFFF, 0x81, 65, V(100), "2345"},
    {0xFFFF, 0x91, 81, V(60), "2345"},
    {0xFFFF, 0x95, 103, S(USB_TGT_OUTLETCOUNT), "235"},
    {0xFFFF, 0x95, 138, B(UPS_ST_GREENMODE), "4"},
    {0xFFFF, 0x96, 104, S(USB_TGT_OUTLETSTATE), "235"},
    {0xFFFF, 0x97, 85, B(UPS_ST_BIT47), "2345"},
    {0xFFFF, 0x9B, 66, V(97), "25"},
    {0xFFFF, 0x9C, 67, V(99), "2345"},
    {0xFFFF, 0x9D, 110, V(50), "2"},
    {0xFFFF, 0x9E, 111, V(57), "2"},
    {0xFFFF, 0x9F, 115, V(67), "2"},
    {0xFFFF, 0xA0, 87, B(UPS_ST_OUTPUTBAD), "34"},
    {0xFFFF, 0xA0, 116, V(75), "2"},
    {0xFFFF, 0xA1, 88, B(UPS_ST_OUTPUTOFF), "34"},
    {0xFFFF, 0xA1, 114, V(49), "2"},
    {0xFFFF, 0xA2, 89, B(UPS_ST_CHARGERFAIL), "34"},
    {0xFFFF, 0xA2, 117, V(68), "2"},
    {0xFFFF, 0xA3, 90, B(UPS_ST_FANFAIL), "34"},
    {0xFFFF, 0xA3, 118, V(69), "2"},
    {0xFFFF, 0xA4, 119, V(70), "2"},
};

// The transfer-voltage row carries no usage: it only opens the way to its
// two sub-commands.
constexpr SourceRow kCommandSource[] = {
    {0x86, 0x51, 19, C(UPS_CMD_ROF), "1"},
    {0xFFFF, 0x9A, 107, C(UPS_CMD_ROF), "235"},
    {0x86, 0x50, 18, C(UPS_CMD_RON), "1"},
    {0xFFFF, 0x99, 106, C(UPS_CMD_RON), "235"},
    {0x86, 0x74, 12, C(UPS_CMD_VSN), "1"},
    {0xFFFF, 0x9B, 66, C(UPS_CMD_VSN), "25"},
    {0, 0, 0, C(UPS_CMD_TXV), "125"},
    {0x84, 0x58, 16, C(UPS_CMD_TST), "2345"},
    {0x86, 0x58, 16, C(UPS_CMD_TST), "1"},
    {0x86, 0x56, 22, C(UPS_CMD_SDR), "1"},
    {0xFFFF, 0x56, 22, C(UPS_CMD_SDR), "2345"},
    {0x84, 0x57, 21, C(UPS_CMD_SDA), "2345"},
    {0x86, 0x57, 21, C(UPS_CMD_SDA), "1"},
    {0x84, 0x5A, 17, C(UPS_CMD_BUZ), "234"},
    {0x86, 0x5A, 17, C(UPS_CMD_BUZ), "1"},
    {0x86, 0x80, 64, C(UPS_CMD_ARB), "1"},
    {0xFFFF, 0x9C, 67, C(UPS_CMD_ARB), "2345"},
    {0x86, 0x82, 66, C(UPS_CMD_ATT), "1"},
    {0xFFFF, 0x69, 137, C(UPS_CMD_ECO), "23"},
    {0x86, 0x81, 65, C(UPS_CMD_UBD), "1"},
    {0xFFFF, 0x81, 65, C(UPS_CMD_UBD), "2345"},
    {0x84, 0x53, 6, C(UPS_CMD_LOTXV), "25"},
    {0x86, 0x53, 6, C(UPS_CMD_LOTXV), "1"},
    {0x84, 0x54, 9, C(UPS_CMD_HITXV), "25"},
    {0x86, 0x54, 9, C(UPS_CMD_HITXV), "1"},
    {0x86, 0x87, 99, C(UPS_CMD_BIT38), "1"},
    {0xFFFF, 0x98, 105, C(UPS_CMD_BIT38), "235"},
    {0xFFFF, 0x95, 138, C(UPS_CMD_GRE), "4"},
    {0x84, 0x5A, 17, C(UPS_CMD_EDB), "2345"},
    {0x86, 0x5A, 17, C(UPS_CMD_EDB), "1"},
    {0xFFFF, 0x61, 99, C(UPS_CMD_EBP), "234"},
};

constexpr bool InFamily(const char* families, int family) {
  for (const char* p = families; *p; ++p)
    if (*p == '0' + family) return true;
  return false;
}

template <size_t N>
constexpr size_t CountRows(const SourceRow (&rows)[N], int family) {
  size_t n = 0;
  for (const auto& r : rows) n += InFamily(r.families, family) ? 1 : 0;
  return n;
}

template <size_t Count, size_t N>
constexpr std::array<UsbMapRow, Count> Select(const SourceRow (&rows)[N], int family) {
  std::array<UsbMapRow, Count> out{};
  size_t i = 0;
  for (const auto& r : rows)
    if (InFamily(r.families, family)) out[i++] = UsbMapRow{r.t.kind, r.reportId, r.page, r.usage, r.t.target};
  return out;
}

#define USB_FAMILY_TABLES(f)                                                       \
  constexpr auto kMap##f = Select<CountRows(kMapSource, f)>(kMapSource, f);         \
  constexpr auto kCommands##f = Select<CountRows(kCommandSource, f)>(kCommandSource, f)
USB_FAMILY_TABLES(1);
USB_FAMILY_TABLES(2);
USB_FAMILY_TABLES(3);
USB_FAMILY_TABLES(4);
USB_FAMILY_TABLES(5);
#undef USB_FAMILY_TABLES

static_assert(kMap1.size() == 36 && kMap2.size() == 61 && kMap3.size() == 50 && kMap4.size() == 46 &&
              kMap5.size() == 51);
static_assert(kCommands1.size() == 15 && kCommands2.size() == 16 && kCommands3.size() == 12 &&
              kCommands4.size() == 9 && kCommands5.size() == 13);

// Every value row names an index of UpsRecord.values or a special code,
// every status row one status bit, and no key of a family is listed twice
// (the first matching row decides, so a second one would never be used).
template <size_t N>
constexpr bool MappingRowsSound(const std::array<UsbMapRow, N>& rows) {
  for (size_t i = 0; i < N; ++i) {
    const UsbMapRow& r = rows[i];
    if (r.kind == USB_MAP_VALUE && r.target > USB_TGT_IGNORE) return false;
    if (r.kind == USB_MAP_STATUS && (r.target == 0 || (r.target & (r.target - 1)) != 0)) return false;
    if (r.kind != USB_MAP_VALUE && r.kind != USB_MAP_STATUS) return false;
    for (size_t j = 0; j < i; ++j)
      if (rows[j].reportId == r.reportId && rows[j].usagePage == r.usagePage &&
          (rows[j].usageId & 0xFF) == (r.usageId & 0xFF))
        return false;
  }
  return true;
}
template <size_t N>
constexpr bool CommandRowsSound(const std::array<UsbMapRow, N>& rows) {
  for (size_t i = 0; i < N; ++i) {
    if (rows[i].target == 0 || (rows[i].target & (rows[i].target - 1)) != 0) return false;
    for (size_t j = 0; j < i; ++j)
      if (rows[j].target == rows[i].target) return false;
  }
  return true;
}
static_assert(MappingRowsSound(kMap1) && MappingRowsSound(kMap2) && MappingRowsSound(kMap3) &&
              MappingRowsSound(kMap4) && MappingRowsSound(kMap5));
static_assert(CommandRowsSound(kCommands1) && CommandRowsSound(kCommands2) && CommandRowsSound(kCommands3) &&
              CommandRowsSound(kCommands4) && CommandRowsSound(kCommands5));

struct FamilyTables {
  const UsbMapRow* map;
  int mapCount;
  const UsbMapRow* commands;
  int commandCount;
  uint64_t capabilities;
};

constexpr uint64_t Caps(std::initializer_list<int> bits) {
  uint64_t w = 0;
  for (int b : bits) w |= UpsBit(b);
  return w;
}

#define USB_FAMILY_ENTRY(f, ...) \
  {kMap##f.data(), static_cast<int>(kMap##f.size()), kCommands##f.data(), static_cast<int>(kCommands##f.size()), \
   Caps({__VA_ARGS__})}
const FamilyTables kFamilies[USB_FAMILIES + 1] = {
    {nullptr, 0, nullptr, 0, 0},
    USB_FAMILY_ENTRY(1, 3, 4, 9, 10, 12, 42),
    USB_FAMILY_ENTRY(2, 3, 4, 9, 10, 12, 42, 63),
    USB_FAMILY_ENTRY(3, 9, 10, 12, 42, 63),
    USB_FAMILY_ENTRY(4, 9, 10, 12, 42),
    USB_FAMILY_ENTRY(5, 4, 9, 10, 12, 42),
};
#undef USB_FAMILY_ENTRY

// The vendor usage that refines the family.
constexpr uint8_t kVendorReport = 108;
constexpr uint32_t kVendorPage = 0xFFFF;
constexpr uint8_t kVendorUsage = 0x7D;

// Family of an accepted vendor and product id; 0 for any other device.
int FamilyOf(uint16_t vendor, uint16_t product) {
  if (vendor == 0x1209 && (product == 0x041B || product == 0xDD50 || (product >> 8) == 0xA0)) return 1;
  if (vendor == 0x09AE && product == 0x4004) return 2;
  return 0;
}

int Refine(int family, int32_t vendorValue) {
  if (vendorValue == 0x8001 || vendorValue == 0x8002) return 3;
  if (vendorValue == 0xA100) return 4;
  if (family == 1) return vendorValue == 0x4001 ? 5 : 2;
  return family;
}

// ---- module state ----

// One usage write of a command: the command bit whose row names the usage,
// and the value.
struct UsbWrite {
  uint64_t code;
  int32_t value;
};

struct UsbState {
  std::unique_ptr<UsbUsageEntry[]> usages;
  int count = 0;
  int family = 0;
  const FamilyTables* tables = &kFamilies[0];
  int next = 0;
  int failures = 0;
  // The writes of the commands handed to the driver, one per poll tick at
  // most and USB_COMMAND_GAP_MS apart; the time of the last one.
  ProtoQueue<UsbWrite, USB_QUEUED_WRITES> writes;
  bool wrote = false;
  int64_t lastWriteMs = 0;
  ProtoCycles cycles;
};
UsbState st;

// The walk's bounds: report ids are bytes, and a field has at most as many
// usages as the kernel allows. A device that claims more ends the walk at
// the table's size rather than holding the main loop.
constexpr int kMaxReportsPerType = 256;
constexpr uint32_t kMaxFields = 256;
constexpr uint32_t kMaxFieldUsages = 12288;

int Ioctl(int fd, unsigned long request, void* arg) { return UsbHidDevice.Ioctl(fd, request, arg); }

// Closes port slot 0, which holds the device.
void CloseSlot0() {
  if (ComOps.Close) {
    ComOps.Close(0);
  } else if (ComSlot.fd[0] >= 0) {
    close(ComSlot.fd[0]);
    ComSlot.fd[0] = -1;
    ComSlot.link[0] = COM_LINK_NONE;
  }
}

// One walk over every usage of every field of every report: counts them
// (out null) or fills out, at most capacity entries.
int Walk(int fd, UsbUsageEntry* out, int capacity) {
  int n = 0;
  int attempts = 0;
  for (uint32_t type = HID_REPORT_TYPE_INPUT; type <= HID_REPORT_TYPE_FEATURE; ++type) {
    hiddev_report_info rinfo{};
    rinfo.report_type = type;
    rinfo.report_id = HID_REPORT_ID_FIRST;
    for (int reports = 0; reports < kMaxReportsPerType && Ioctl(fd, HIDIOCGREPORTINFO, &rinfo) >= 0; ++reports) {
      const uint32_t reportId = rinfo.report_id & HID_REPORT_ID_MASK;
      const uint32_t fields = rinfo.num_fields < kMaxFields ? rinfo.num_fields : kMaxFields;
      for (uint32_t f = 0; f < fields; ++f) {
        hiddev_field_info finfo{};
        finfo.report_type = type;
        finfo.report_id = reportId;
        finfo.field_index = f;
        if (Ioctl(fd, HIDIOCGFIELDINFO, &finfo) < 0) continue;
        const uint32_t usages = finfo.maxusage < kMaxFieldUsages ? finfo.maxusage : kMaxFieldUsages;
        for (uint32_t u = 0; u < usages; ++u) {
          if (n >= capacity || attempts >= USB_MAX_USAGES) return n;
          ++attempts;
          hiddev_usage_ref uref{};
          uref.report_type = type;
          uref.report_id = reportId;
          uref.field_index = f;
          uref.usage_index = u;
          if (Ioctl(fd, HIDIOCGUCODE, &uref) < 0) continue;
          if (out) {
            UsbUsageEntry& e = out[n];
            e.reportType = static_cast<uint8_t>(type);
            e.reportId = static_cast<uint8_t>(reportId);
            e.usagePage = uref.usage_code >> 16;
            e.usageId = static_cast<uint8_t>(uref.usage_code & 0xFF);
            e.fieldIndex = f;
            e.usageIndex = u;
            hiddev_usage_ref value = uref;
            value.report_type = type;
            value.report_id = reportId;
            value.field_index = f;
            value.usage_index = u;
            e.value = Ioctl(fd, HIDIOCGUSAGE, &value) >= 0 ? value.value : 0;
            if (e.reportId == kVendorReport && e.usagePage == kVendorPage && e.usageId == kVendorUsage)
              st.family = Refine(st.family, e.value);
          }
          ++n;
        }
      }
      rinfo.report_id = reportId | HID_REPORT_ID_NEXT;
    }
  }
  return n;
}

// "MM/DD hh:mm:ss" of the current local time.
void StampNow(char* out, size_t size) {
  time_t now = Svc_Now();
  struct tm tmv {};
  localtime_r(&now, &tmv);
  snprintf(out, size, "%02d/%02d %02d:%02d:%02d", tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min,
           tmv.tm_sec);
}

void TraceRead(const UsbUsageEntry& e, bool read, int32_t value) {
  if (!ComOps.TraceWrite) return;
  char stamp[32];
  StampNow(stamp, sizeof stamp);
  char line[160];
  int n = snprintf(line, sizeof line, "%s USB: RID=%d, UPage=%X, UID=%X", stamp, e.reportId,
                   static_cast<unsigned>(e.usagePage), static_cast<unsigned>(e.usageId));
  if (read) n += snprintf(line + n, sizeof line - n, ", Value=%d", static_cast<int>(value));
  snprintf(line + n, sizeof line - n, "\n");
  ComOps.TraceWrite(line);
}

// Outcome of reading or writing one usage: stalled, the device took longer
// than USB_REPORT_SLOW_MS over its report (hiddev then answers as if it had
// answered, with nothing new).
enum ReadOutcome { READ_OK, READ_FAILED, READ_STALLED };

// One usage read from the device: the report asked for anew, then its value.
ReadOutcome ReadEntry(int fd, const UsbUsageEntry& e, int32_t* value) {
  hiddev_report_info rinfo{};
  rinfo.report_type = e.reportType;
  rinfo.report_id = e.reportId;
  if (Ioctl(fd, HIDIOCGREPORTINFO, &rinfo) < 0) return READ_FAILED;
  hiddev_field_info finfo{};
  finfo.report_type = e.reportType;
  finfo.report_id = e.reportId;
  finfo.field_index = 0;
  if (Ioctl(fd, HIDIOCGFIELDINFO, &finfo) < 0) return READ_FAILED;
  rinfo.report_type = e.reportType;
  rinfo.report_id = e.reportId;
  const int64_t asked = Svc_MonoMs();
  if (Ioctl(fd, HIDIOCGREPORT, &rinfo) < 0) return READ_FAILED;
  if (Svc_MonoMs() - asked > USB_REPORT_SLOW_MS) return READ_STALLED;
  hiddev_usage_ref uref{};
  uref.report_type = e.reportType;
  uref.report_id = e.reportId;
  uref.field_index = e.fieldIndex;
  uref.usage_index = e.usageIndex;
  if (Ioctl(fd, HIDIOCGUSAGE, &uref) < 0) return READ_FAILED;
  *value = uref.value;
  return READ_OK;
}

// ---- mapping ----

void SetBitTo(int bit, bool on) {
  if (on) Proto_SetBit(bit);
  else Proto_ClearBit(bit);
}

int32_t Saturate(int64_t v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// The string with the value's index: the model name, and after a ';' the
// module type.
void ReadModel(int32_t index) {
  if (ComSlot.fd[0] < 0) return;
  hiddev_string_descriptor sd{};
  sd.index = index;
  if (Ioctl(ComSlot.fd[0], HIDIOCGSTRING, &sd) < 0) return;
  sd.value[sizeof sd.value - 1] = 0;
  Proto_CopyText(UpsRecord.model, sizeof UpsRecord.model, sd.value, sizeof UpsRecord.model - 1);
  char* semi = strchr(UpsRecord.model, ';');
  if (!semi) return;
  *semi = 0;
  int32_t type = Proto_Number(semi + 1, static_cast<int>(strlen(semi + 1)));
  UpsRecord.moduleType = static_cast<uint8_t>(type < 0 ? 0 : type > 255 ? 255 : type);
}

void MapStatusField(int32_t value) {
  static constexpr struct {
    int from;
    int bit;
  } kBits[] = {{0, UPS_ST_ACFAIL},      {1, UPS_ST_BUCK},     {2, UPS_ST_BOOST},      {4, UPS_ST_OVERLOAD},
               {5, UPS_ST_SYSTEMOFF},   {6, UPS_ST_OVERTEMP}, {8, UPS_ST_ONBYPASS},   {9, UPS_ST_CHARGERFAIL},
               {13, UPS_ST_AWAITPOWER}, {15, UPS_ST_BUZMUTED}};
  for (const auto& b : kBits) SetBitTo(b.bit, (static_cast<uint32_t>(value) >> b.from) & 1);
}

void MapValue(uint64_t target, int32_t value) {
  int32_t* v = UpsRecord.values;
  if (target == VAL_INVOLT2) v[VAL_INPHASE] = 2;
  if (target == VAL_OUTVOLT2) v[VAL_PHASE] = 2;
  switch (target) {
    case USB_TGT_MODEL: ReadModel(value); break;
    case USB_TGT_IGNORE: break;
    case VAL_RATFREQ: v[VAL_RATFREQ] = Saturate(int64_t{value} * 10); break;
    case VAL_TYPE: {
      int32_t c = value & 15;
      if (c >= 3 && c <= 5) c -= 2;
      else if (c == 6) c = 4;
      v[VAL_TYPE] = c;
      snprintf(UpsRecord.firmware, sizeof UpsRecord.firmware, "%02d", static_cast<int>(value >> 4));
      break;
    }
    case VAL_OUTSRC: v[VAL_OUTSRC] = value == 6 ? 7 : value; break;
    case VAL_ARB:
      v[VAL_ARB] = value != 0 ? 1 : 2;
      Proto_AddCap(UPS_CMD_ARB_BIT);
      break;
    case VAL_UBD:
      v[VAL_UBD] = value;
      Proto_AddCap(UPS_CMD_UBD_BIT);
      break;
    case VAL_ATT:
      v[VAL_ATT] = value == 1 ? 4 : value;
      Proto_AddCap(UPS_CMD_ATT_BIT);
      break;
    case VAL_TESTRESULT:
      v[VAL_TESTRESULT] = value;
      Proto_ClearBit(UPS_ST_TESTING);
      Proto_ClearBit(UPS_ST_TESTFAIL);
      if (value == 4) {
        v[VAL_TESTRESULT] = 6;
      } else if (value == 5) {
        v[VAL_TESTRESULT] = 2;
        Proto_SetBit(UPS_ST_TESTING);
      } else if (value == 2 || value == 3) {
        v[VAL_TESTRESULT] = 3;
        Proto_SetBit(UPS_ST_TESTFAIL);
      }
      Proto_AddCap(UPS_CMD_TST_BIT);
      break;
    case VAL_BATTREMAIN: v[VAL_BATTREMAIN] = value / 60; break;
    case USB_TGT_RUNTIME: v[VAL_BATTREMAIN] = value; break;
    case VAL_TEMP: v[VAL_TEMP] = value <= 250 ? value : value - 273; break;
    case USB_TGT_STATUSFIELD: MapStatusField(value); break;
    case USB_TGT_OUTLETCOUNT:
      UpsRecord.outletCount = static_cast<uint8_t>(__builtin_popcount(static_cast<uint32_t>(value) & 0xFF));
      Proto_AddCap(UPS_CAP_LET_BIT);
      Proto_AddCap(UPS_CMD_RON_BIT);
      Proto_AddCap(UPS_CMD_ROF_BIT);
      break;
    case USB_TGT_OUTLETSTATE:
      UpsRecord.outletOn = static_cast<uint8_t>(~static_cast<uint32_t>(value) & 0xFF);
      COM_OutletsReported(0xFF);
      break;
    default:
      if (target < UPS_VALUE_COUNT) v[target] = value == 0xFFFF ? -1 : value;
      break;
  }
}

void MapStatus(UsbUsageEntry& e, uint64_t mask, int32_t value) {
  const int bit = Tilde_BitIndex(mask);
  switch (bit) {
    case UPS_ST_SYSTEMOFF:
    case UPS_ST_ACFAIL: SetBitTo(bit, value == 0); break;
    case UPS_ST_DISCHARGING:
      SetBitTo(UPS_ST_DISCHARGING, value != 0);
      SetBitTo(UPS_ST_ONBATTERY, value != 0);
      break;
    case UPS_ST_BUZENABLED:
      if (value == 1) Proto_SetBit(UPS_ST_BUZENABLED);
      else if (value == 2) Proto_ClearBit(UPS_ST_BUZENABLED);
      Proto_ClearBit(UPS_ST_BUZMUTED);
      if (value == 4) {
        Proto_ClearBit(UPS_ST_BUZENABLED);
        Proto_SetBit(UPS_ST_BUZMUTED);
      }
      break;
    case UPS_ST_BATTLOW: {
      const int32_t charge = UpsRecord.values[VAL_BATTLEVEL];
      if (value == 0 && charge != -1 && UpsRecord.lowBattCheck && charge < UpsRecord.lowBattLevel) {
        value = 1;
        e.value = 1;
      }
      // A cleared bit starts its count again, as in the serial drivers.
      if (value == 1) Proto_CountUpBit(UPS_ST_BATTLOW, USB_DEBOUNCE);
      else Proto_ClearCounted(UPS_ST_BATTLOW);
      break;
    }
    case UPS_ST_BATTREPLACE:
      UpsRecord.replaceReported = value != 0 ? 1 : 0;
      SetBitTo(UPS_ST_BATTREPLACE, UpsRecord.replaceDue || UpsRecord.replaceReported);
      break;
    case UPS_ST_ECONOMIC:
    case UPS_ST_GREENMODE:
      Proto_AddCap(bit == UPS_ST_ECONOMIC ? UPS_CMD_ECO_BIT : UPS_CMD_GRE_BIT);
      if (value == 0) Proto_ClearBit(bit);
      else if (value == 1) Proto_SetBit(bit);
      break;
    default:
      if (value != 0) UpsRecord.liveStatus |= mask;
      else UpsRecord.liveStatus &= ~mask;
      break;
  }
}

// ---- commands ----

const UsbMapRow* CommandRow(uint64_t code) {
  for (int i = 0; i < st.tables->commandCount; ++i)
    if (st.tables->commands[i].target == code) return &st.tables->commands[i];
  return nullptr;
}

const UsbUsageEntry* FindEntry(uint8_t reportId, uint32_t page, uint32_t usage) {
  for (int i = 0; i < st.count; ++i) {
    const UsbUsageEntry& e = st.usages[i];
    if (e.reportId == reportId && e.usagePage == page && e.usageId == (usage & 0xFF)) return &e;
  }
  return nullptr;
}

// The usage entry a command's row names; null when the family has no row
// for the command or the device lacks that usage.
const UsbUsageEntry* CommandEntry(uint64_t code, const UsbMapRow** rowOut) {
  const UsbMapRow* row = CommandRow(code);
  if (!row) return nullptr;
  *rowOut = row;
  return FindEntry(row->reportId, row->usagePage, row->usageId);
}

// Queues the write of value to the usage of the command's row; nothing
// when the family has no row for it or the device lacks the usage (such a
// device refuses the command).
void QueueWrite(uint64_t code, int32_t value) {
  const UsbMapRow* row = nullptr;
  if (CommandEntry(code, &row)) st.writes.Push(UsbWrite{code, value});
}

// One write: the usage set in its own report (its field and usage index),
// the report sent, the value read back. Any failing request ends it. A
// report the device took too long over did not reach the UPS: a hung
// device's hiddev answers every request after its wait as if it had gone.
ReadOutcome WriteUsage(const UsbWrite& w) {
  const UsbMapRow* row = nullptr;
  const UsbUsageEntry* e = CommandEntry(w.code, &row);
  const int fd = ComSlot.fd[0];
  if (!e || fd < 0) return READ_FAILED;
  hiddev_usage_ref uref{};
  uref.report_type = e->reportType;
  uref.report_id = row->reportId;
  uref.field_index = e->fieldIndex;
  uref.usage_index = e->usageIndex;
  if (Ioctl(fd, HIDIOCGUSAGE, &uref) < 0) return READ_FAILED;
  uref.value = w.value;
  if (Ioctl(fd, HIDIOCSUSAGE, &uref) < 0) return READ_FAILED;
  hiddev_report_info rinfo{};
  rinfo.report_type = e->reportType;
  rinfo.report_id = row->reportId;
  rinfo.num_fields = 1;
  const int64_t sent = Svc_MonoMs();
  if (Ioctl(fd, HIDIOCSREPORT, &rinfo) < 0) return READ_FAILED;
  if (Svc_MonoMs() - sent > USB_REPORT_SLOW_MS) return READ_STALLED;
  return Ioctl(fd, HIDIOCGUSAGE, &uref) >= 0 ? READ_OK : READ_FAILED;
}

// The next queued write, once the UPS has had its time since the last one.
// The write is the UPS's answer; one that failed or stalled goes to the
// next link should the device be gone. READ_OK when nothing was due.
ReadOutcome WriteDue() {
  const int64_t now = Svc_MonoMs();
  if (st.writes.Count() == 0 || (st.wrote && now - st.lastWriteMs < USB_COMMAND_GAP_MS)) return READ_OK;
  UsbWrite w;
  st.writes.Take(&w);
  const ReadOutcome outcome = WriteUsage(w);
  st.wrote = true;
  st.lastWriteMs = now;
  if (outcome == READ_OK) st.writes.Answered();
  else st.writes.Unanswered();
  return outcome;
}

// A tick whose requests all failed, failed of them: the link is given up
// once USB_LOST_FAILURES have come in such ticks.
void FailedTick(uint8_t slot, int failed) {
  st.failures += failed;
  if (st.failures < USB_LOST_FAILURES) return;
  st.failures = 0;
  Proto_SetBit(UPS_ST_COMMLOST);
  if (ComOps.Close) ComOps.Close(slot);
  if (UpsRecord.Reset) UpsRecord.Reset(1);
}

}  // namespace

UsbHidDeviceCalls UsbHidDevice = {SysOpen, SysIoctl, SysClose};
char UsbHidDevicePrefix[2][128] = {"/dev/usb/hiddev", "/dev/hiddev"};

void UsbHid_Init() {
  UsbHid_FreeUsages();
  st.family = 0;
  st.tables = &kFamilies[0];
  st.next = 0;
  st.failures = 0;
  st.writes.Clear();
  st.wrote = false;
  UsbHidOps.Poll = UsbHid_Poll;
  UsbHidOps.Probe = UsbHid_Probe;
  UsbHidOps.Command = UsbHid_Command;
  UsbHidOps.Withdraw = UsbHid_Withdraw;
}

void UsbHid_Exit() {
  UsbHid_FreeUsages();
  if (ComSlot.link[0] == COM_LINK_USB && ComSlot.fd[0] >= 0) CloseSlot0();
}

void UsbHid_FreeUsages() {
  st.usages.reset();
  st.count = 0;
  st.next = 0;
}

int UsbHid_EnumUsages() {
  UsbHid_FreeUsages();
  const int fd = ComSlot.fd[0];
  if (fd < 0) return 0;
  const int counted = Walk(fd, nullptr, USB_MAX_USAGES);
  if (counted <= 0) return 0;
  st.usages.reset(new (std::nothrow) UsbUsageEntry[counted]());
  if (!st.usages) return 0;
  // A device that answers the second walk with more usages than the first
  // fills only the table it was counted for.
  st.count = Walk(fd, st.usages.get(), counted);
  return st.count > 0 ? 1 : 0;
}

int UsbHid_Probe() {
  if (ComSlot.fd[0] >= 0) {
    CloseSlot0();
    if (ComSlot.fd[0] >= 0) return 0;  // the slot could not be freed
  }
  char path[sizeof UsbHidDevicePrefix[0] + 8];
  for (const auto& prefix : UsbHidDevicePrefix) {
    for (int number = 0; number < USB_DEVICE_NUMBERS; ++number) {
      snprintf(path, sizeof path, "%.*s%d", static_cast<int>(sizeof prefix - 1), prefix, number);
      if (!UF_FileExist(path)) continue;
      const int fd = UsbHidDevice.Open(path, O_RDWR | O_CLOEXEC);
      if (fd < 0) continue;
      hiddev_devinfo info{};
      const int family = Ioctl(fd, HIDIOCGDEVINFO, &info) >= 0
                             ? FamilyOf(static_cast<uint16_t>(info.vendor), static_cast<uint16_t>(info.product))
                             : 0;
      if (family == 0) {
        UsbHidDevice.Close(fd);
        continue;
      }
      ComSlot.fd[0] = fd;
      st.family = family;
      st.failures = 0;
      if (!UsbHid_EnumUsages()) {
        UsbHid_FreeUsages();
        CloseSlot0();
        st.family = 0;
        continue;
      }
      st.tables = &kFamilies[st.family];
      UpsRecord.capabilities = st.tables->capabilities;
      UpsRecord.values[VAL_BATTCOND] = 0;
      UpsRecord.values[VAL_BATTSTS] = 0;
      UpsRecord.values[VAL_BATTCHARGE] = 0;
      UpsRecord.values[VAL_OUTSRC] = 0;
      UpsRecord.values[VAL_INPHASE] = 1;
      UpsRecord.values[VAL_PHASE] = 1;
      Proto_HoldReportedBits(USB_DEBOUNCE);
      // What an earlier link left queued is the link manager's to hand again.
      st.writes.Clear();
      st.wrote = false;
      // The bits are set from each read, not counted (the battery-low count
      // only sets): one pass over the usages gives the status.
      st.cycles.Start(0);
      return 1;
    }
  }
  return 0;
}

void UsbHid_Poll(uint8_t slot) {
  if (slot >= COM_SLOTS || st.count <= 0) return;
  if (WriteDue() == READ_STALLED) {
    // The device hung on the write: each read of this tick would hold the
    // loop as long again.
    FailedTick(slot, USB_READS_PER_TICK);
    return;
  }
  const int fd = ComSlot.fd[slot];
  if (st.next >= st.count) st.next = 0;
  int failed = 0;
  bool anyRead = false;
  for (int i = 0; i < USB_READS_PER_TICK && st.next < st.count; ++i) {
    const int index = st.next++;
    UsbUsageEntry& e = st.usages[index];
    int32_t value = 0;
    const ReadOutcome outcome = ReadEntry(fd, e, &value);
    TraceRead(e, outcome == READ_OK, value);
    if (outcome == READ_STALLED) {
      // The device does not answer: every further request of this tick
      // would hold the loop as long again.
      failed = USB_READS_PER_TICK;
      break;
    }
    if (outcome == READ_FAILED) {
      ++failed;
      continue;
    }
    anyRead = true;
    e.value = value;
    UsbHid_MapUsage(index, value);
  }
  if (st.next >= st.count) {
    st.next = 0;
    st.cycles.Ended();
  }
  if (anyRead) {
    Proto_ClearBit(UPS_ST_COMMLOST);
    st.failures = 0;
    COM_UpsAnswered();
    return;
  }
  // Every read of this tick failed, however many the tick had (the last
  // tick of a pass over the table reads fewer than five).
  FailedTick(slot, failed);
}

void UsbHid_MapUsage(int index, int32_t value) {
  if (index < 0 || index >= st.count) return;
  UsbUsageEntry& e = st.usages[index];
  for (int i = 0; i < st.tables->mapCount; ++i) {
    const UsbMapRow& row = st.tables->map[i];
    if (row.reportId != e.reportId || row.usagePage != e.usagePage || (row.usageId & 0xFF) != e.usageId) continue;
    if (row.kind == USB_MAP_VALUE) MapValue(row.target, value);
    else if (row.kind == USB_MAP_STATUS) MapStatus(e, row.target, value);
    return;
  }
}

void UsbHid_Command(uint64_t code, const UpsCommandArgs& args) {
  if (!CommandRow(code)) return;
  const int32_t a = args.number[0];
  if (code == UPS_CMD_ARB || code == UPS_CMD_ECO || code == UPS_CMD_GRE) {
    QueueWrite(code, a == 2 ? 0 : a);
  } else if (code == UPS_CMD_EDB) {
    QueueWrite(code, a <= 2 ? Saturate(3 - int64_t{a}) : a);
  } else if (code == UPS_CMD_BUZ) {
    // Through the alarm's enable usage: 1 as EDB 1 (writes 2), 2 as EDB 3.
    if (a == 1) QueueWrite(UPS_CMD_EDB, 2);
    else if (a == 2) QueueWrite(UPS_CMD_EDB, 3);
  } else if (code == UPS_CMD_ATT) {
    QueueWrite(code, a == 1 ? 1 : a == 4 ? 2 : -1);
  } else if (code == UPS_CMD_TST) {
    QueueWrite(code, a == 0 ? 3 : (a == 2 || a == 3) ? 1 : a == 4 ? 2 : a);
  } else if (code == UPS_CMD_SDR) {
    QueueWrite(code, a == 65535 ? -1 : a);
  } else if (code == UPS_CMD_SDA) {
    QueueWrite(code, a == 0 ? -1 : a);
  } else if (code == UPS_CMD_TXV) {
    // The two transfer voltages, a write gap apart.
    QueueWrite(UPS_CMD_LOTXV, a);
    QueueWrite(UPS_CMD_HITXV, args.number[1]);
  } else if (code == UPS_CMD_ROF || code == UPS_CMD_RON) {
    // One bit per outlet; the service handles outlets 1-8.
    if (a >= 1 && a <= UPS_OUTLETS) QueueWrite(UPS_CMD_BIT38, 1 << (a - 1));
  } else {
    QueueWrite(code, a);
  }
}

int UsbHid_Withdraw(uint32_t tag) { return st.writes.Withdraw(tag); }

UsbHidView UsbHid_View() {
  return UsbHidView{st.family,          st.usages.get(),         st.count,
                    st.next,            st.failures,             st.tables->map,
                    st.tables->mapCount, st.tables->commands,    st.tables->commandCount,
                    st.writes.Count()};
}

UsbHidView UsbHid_FamilyTables(int family) {
  if (family < 1 || family > USB_FAMILIES) return UsbHidView{};
  const FamilyTables& t = kFamilies[family];
  return UsbHidView{family, nullptr, 0, 0, 0, t.map, t.mapCount, t.commands, t.commandCount, 0};
}

uint64_t UsbHid_FamilyCapabilities(int family) {
  return family >= 1 && family <= USB_FAMILIES ? kFamilies[family].capabilities : 0;
}
