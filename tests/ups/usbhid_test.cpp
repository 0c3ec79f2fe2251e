// USB HID driver against simulated hiddev devices in-process: device search
// and family selection, the usage enumeration, the five-usage poll step and
// its mapping into the UPS record, the commands, link loss and the trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <linux/hiddev.h>
#include <list>
#include <map>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/svc.h"
#include "support/hidsim.h"
#include "support/monoclock.h"
#include "support/scratch.h"
#include "ups/com.h"
#include "ups/usbhid.h"

namespace {

// ---- the device files: path -> simulated device, descriptor -> device ----

std::map<std::string, HidSimDevice*> plugged;
std::map<int, HidSimDevice*> opened;
std::vector<std::string> openOrder;

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

int BusOpen(const char* path, int flags) {
  openOrder.push_back(path);
  auto it = plugged.find(path);
  if (it == plugged.end() || (flags & O_ACCMODE) != O_RDWR) {
    errno = EACCES;
    return -1;
  }
  int fd = open("/dev/null", O_RDWR | O_CLOEXEC);  // a real descriptor: the serial driver closes it
  opened[fd] = it->second;
  return fd;
}
int BusIoctl(int fd, unsigned long request, void* arg) {
  auto it = opened.find(fd);
  if (it == opened.end() || !IsOpen(fd)) {
    errno = EBADF;
    return -1;
  }
  return it->second->Ioctl(request, arg);
}
int BusClose(int fd) {
  opened.erase(fd);
  return close(fd);
}
// Descriptors handed out that are still open, other than port slot 0's.
int Leaked() {
  int n = 0;
  for (const auto& [fd, device] : opened)
    if (fd != ComSlot.fd[0] && IsOpen(fd)) ++n;
  return n;
}
HidSimDevice* Slot0Device() {
  auto it = opened.find(ComSlot.fd[0]);
  return ComSlot.fd[0] >= 0 && it != opened.end() ? it->second : nullptr;
}

// The tests pass the monotonic clock's time, and a hung device's report
// requests advance it.
void PassMs(int ms) { ManualMonoClock::Pass(ms); }

std::vector<int> resets;
void FakeReset(int keep) { resets.push_back(keep); }

void ResetRecord() {
  memset(&UpsRecord, 0, sizeof UpsRecord);
  for (auto& v : UpsRecord.values) v = -1;
  UpsRecord.Reset = FakeReset;
}

// Vendor, product and vendor usage (-1 none) that select each family.
struct FamilyIds {
  uint16_t vendor, product;
  int32_t vendorUsage;
};
constexpr FamilyIds kIds[6] = {{0, 0, -1},
                               {0x1209, 0x041B, -1},
                               {0x09AE, 0x4004, -1},
                               {0x09AE, 0x4004, 0x8002},
                               {0x1209, 0xA012, 0xA100},
                               {0x1209, 0x041B, 0x4001}};

// A device of the family with only the vendor usage that selects it.
HidSimDevice Minimal(int family) {
  HidSimDevice d(kIds[family].vendor, kIds[family].product);
  if (kIds[family].vendorUsage >= 0) d.AddFeature(108, 0xFFFF, 0x7D, kIds[family].vendorUsage);
  return d;
}

class UsbHidTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    plugged.clear();
    opened.clear();
    openOrder.clear();
    resets.clear();
    mkdir(TmpPath("usb").c_str(), 0755);
    snprintf(UsbHidDevicePrefix[0], sizeof UsbHidDevicePrefix[0], "%s/usb/hiddev", tmp.c_str());
    snprintf(UsbHidDevicePrefix[1], sizeof UsbHidDevicePrefix[1], "%s/hiddev", tmp.c_str());
    savedCalls = UsbHidDevice;
    UsbHidDevice = UsbHidDeviceCalls{BusOpen, BusIoctl, BusClose};
    ComSlot.port[0] = 0;
    ComSlot.scan[0] = 0;
    COM_Init(dir.c_str(), "", 0, -1);
    ResetRecord();
    UsbHid_Init();
  }
  void TearDown() override {
    UsbHid_Exit();
    COM_CloseAll();
    ComOps.SetTrace(0);
    UsbHidDevice = savedCalls;
    snprintf(UsbHidDevicePrefix[0], sizeof UsbHidDevicePrefix[0], "/dev/usb/hiddev");
    snprintf(UsbHidDevicePrefix[1], sizeof UsbHidDevicePrefix[1], "/dev/hiddev");
    SvcWallClock = savedClock;
    ScratchTest::TearDown();
  }
  // Plugs a device in as tmp/<name> ("usb/hiddev0", "hiddev3").
  HidSimDevice& Plug(const std::string& name, HidSimDevice device) {
    store.push_back(std::move(device));
    Scratch_WriteFile(TmpPath(name), "");
    plugged[TmpPath(name)] = &store.back();
    return store.back();
  }
  // Plugs the device in as the only one and links it as the link manager does.
  HidSimDevice& Link(HidSimDevice device) {
    HidSimDevice& d = Plug("usb/hiddev0", std::move(device));
    EXPECT_EQ(UsbHid_Probe(), 1);
    ComSlot.link[0] = COM_LINK_USB;
    return d;
  }
  void Ticks(int n) {
    for (int i = 0; i < n; ++i) UsbHid_Poll(0);
  }
  // Enough ticks to read every entry once from the start of the table.
  void OnePass() { Ticks((UsbHid_View().usageCount + USB_READS_PER_TICK - 1) / USB_READS_PER_TICK); }

  // Ticks with the write gap between them: every queued write goes out.
  void WriteAll() {
    for (int i = 0; i < USB_QUEUED_WRITES; ++i) {
      Ticks(1);
      PassMs(USB_COMMAND_GAP_MS);
    }
  }

  std::list<HidSimDevice> store;
  UsbHidDeviceCalls savedCalls;
  time_t (*savedClock)() = SvcWallClock;
  ManualMonoClock clock;
};

// ---- device search and families ----

TEST_F(UsbHidTest, FamilyFollowsVendorProductAndVendorUsage) {
  static constexpr struct {
    uint16_t vendor, product;
    int32_t vendorUsage;  // -1: the device has none
    int family;           // 0: not accepted
  } kCases[] = {
      {0x1209, 0x041B, -1, 1},     {0x1209, 0xDD50, -1, 1},     {0x1209, 0xA0FF, -1, 1},
      {0x1209, 0xA100, -1, 0},     {0x1209, 0x041C, -1, 0},     {0x1208, 0x041B, -1, 0},
      {0x1209, 0x041B, 0x4001, 5}, {0x1209, 0xDD50, 0xA100, 4}, {0x1209, 0x041B, 0x1234, 2},
      {0x1209, 0xA001, 0x8002, 3}, {0x09AE, 0x4004, -1, 2},     {0x09AE, 0x4004, 0x1234, 2},
      {0x09AE, 0x4004, 0x4001, 2}, {0x09AE, 0x4004, 0x8001, 3}, {0x09AE, 0x4004, 0xA100, 4},
      {0x09AE, 0x4005, -1, 0},     {0x09AF, 0x4004, -1, 0},
  };
  static constexpr int kRows[6][2] = {{0, 0}, {36, 15}, {61, 16}, {50, 12}, {46, 9}, {51, 13}};
  static constexpr uint64_t kCaps[6] = {
      0,
      UpsBit(3) | UpsBit(4) | UpsBit(9) | UpsBit(10) | UpsBit(12) | UpsBit(42),
      UpsBit(3) | UpsBit(4) | UpsBit(9) | UpsBit(10) | UpsBit(12) | UpsBit(42) | UpsBit(63),
      UpsBit(9) | UpsBit(10) | UpsBit(12) | UpsBit(42) | UpsBit(63),
      UpsBit(9) | UpsBit(10) | UpsBit(12) | UpsBit(42),
      UpsBit(4) | UpsBit(9) | UpsBit(10) | UpsBit(12) | UpsBit(42),
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.vendor << ":" << c.product << " usage " << c.vendorUsage);
    plugged.clear();
    ResetRecord();
    UpsRecord.capabilities = UpsBit(60);
    HidSimDevice d(c.vendor, c.product);
    d.AddFeature(49, 0x84, 0x30, 2300);
    if (c.vendorUsage >= 0) d.AddFeature(108, 0xFFFF, 0x7D, c.vendorUsage);
    Plug("usb/hiddev0", d);
    ASSERT_EQ(UsbHid_Probe(), c.family ? 1 : 0);
    EXPECT_EQ(Leaked(), 0);
    if (!c.family) {
      EXPECT_EQ(ComSlot.fd[0], -1);
      EXPECT_EQ(UpsRecord.capabilities, UpsBit(60));
      continue;
    }
    UsbHidView v = UsbHid_View();
    EXPECT_EQ(v.family, c.family);
    EXPECT_EQ(v.mapCount, kRows[c.family][0]);
    EXPECT_EQ(v.commandCount, kRows[c.family][1]);
    EXPECT_EQ(UpsRecord.capabilities, kCaps[c.family]);
    for (int i : {VAL_BATTCOND, VAL_BATTSTS, VAL_BATTCHARGE, VAL_OUTSRC}) EXPECT_EQ(UpsRecord.values[i], 0) << i;
    EXPECT_EQ(UpsRecord.values[VAL_INPHASE], 1);
    EXPECT_EQ(UpsRecord.values[VAL_PHASE], 1);
    COM_CloseAll();
  }
}

TEST_F(UsbHidTest, ProbeWalksBothNameSetsAndSkipsWhatItCannotUse) {
  EXPECT_EQ(UsbHid_Probe(), 0);  // no device at all
  EXPECT_TRUE(openOrder.empty());

  Scratch_WriteFile(TmpPath("usb/hiddev0"), "");          // exists, cannot be opened
  Plug("usb/hiddev3", HidSimDevice(0x0463, 0xFFFF));       // another vendor's device
  Plug("hiddev2", HidSimDevice(0x09AE, 0x4004));           // accepted, but no usages
  HidSimDevice silent = HidSim_Family(2);
  silent.silent = true;                                    // its device information fails
  Plug("hiddev4", silent);
  HidSimDevice& ups = Plug("hiddev7", HidSim_Family(1));
  Plug("hiddev9", HidSim_Family(2));                       // never reached

  ASSERT_EQ(UsbHid_Probe(), 1);
  const std::vector<std::string> expected = {TmpPath("usb/hiddev0"), TmpPath("usb/hiddev3"), TmpPath("hiddev2"),
                                             TmpPath("hiddev4"), TmpPath("hiddev7")};
  EXPECT_EQ(openOrder, expected);
  EXPECT_EQ(Slot0Device(), &ups);
  EXPECT_EQ(Leaked(), 0);  // every device passed over was closed again
  EXPECT_EQ(UsbHid_View().family, 1);

  // Probing again: the slot's device is closed first and the table rebuilt.
  const int count = UsbHid_View().usageCount;
  ASSERT_EQ(UsbHid_Probe(), 1);
  EXPECT_EQ(Leaked(), 0);
  EXPECT_EQ(UsbHid_View().usageCount, count);
  EXPECT_EQ(Slot0Device(), &ups);
}

TEST_F(UsbHidTest, EnumerationListsEveryUsageOfEveryReportInOrder) {
  HidSimDevice d = Minimal(2);
  d.reports.clear();
  d.Add(3, 20, {{HidSimCode(0x84, 0x40)}});
  d.Add(1, 50, {{HidSimCode(0x85, 0x44), HidSimCode(0x85, 0x45)}, {HidSimCode(0x84, 0x0162)}});
  d.Add(2, 60, {{HidSimCode(0xFFFF, 0x98)}});
  d.Add(1, 51, {{HidSimCode(0x85, 0x42)}});
  d.Set(50, 0x85, 0x45, 7, true);
  d.Set(20, 0x84, 0x40, -3, true);
  Link(d);
  static constexpr UsbUsageEntry kExpected[] = {
      {1, 50, 0x85, 0x44, 0, 0, 0}, {1, 50, 0x85, 0x45, 0, 1, 7},  {1, 50, 0x84, 0x62, 1, 0, 0},
      {1, 51, 0x85, 0x42, 0, 0, 0}, {2, 60, 0xFFFF, 0x98, 0, 0, 0}, {3, 20, 0x84, 0x40, 0, 0, -3},
  };
  UsbHidView v = UsbHid_View();
  ASSERT_EQ(v.usageCount, 6);
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    const UsbUsageEntry& e = v.usages[i];
    const UsbUsageEntry& x = kExpected[i];
    EXPECT_EQ(e.reportType, x.reportType);
    EXPECT_EQ(e.reportId, x.reportId);
    EXPECT_EQ(e.usagePage, x.usagePage);
    EXPECT_EQ(e.usageId, x.usageId);
    EXPECT_EQ(e.fieldIndex, x.fieldIndex);
    EXPECT_EQ(e.usageIndex, x.usageIndex);
    EXPECT_EQ(e.value, x.value);
  }
}

TEST_F(UsbHidTest, EnumerationStaysInsideItsTableWhateverTheDeviceClaims) {
  static constexpr struct {
    const char* what;
    uint32_t extraClaimed;
    uint32_t grow;
    bool neverEnds;
    int count;  // entries expected; 0: bounded by the table's size
  } kCases[] = {
      {"fields claim far more usages than they have", 1u << 30, 0, false, 3},
      {"the second walk finds more usages than the first", 0, 50, false, 3},
      {"the report list never ends", 0, 0, true, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    plugged.clear();
    HidSimDevice d = Minimal(1);
    d.Add(3, 24, {{HidSimCode(0x86, 0x30), HidSimCode(0x86, 0x31), HidSimCode(0x86, 0x32)}});
    d.extraClaimedUsages = c.extraClaimed;
    d.growAfterWalk = c.grow;
    d.reportInfoNeverEnds = c.neverEnds;
    Plug("usb/hiddev0", d);
    ASSERT_EQ(UsbHid_Probe(), 1);
    if (c.count) {
      EXPECT_EQ(UsbHid_View().usageCount, c.count);
    }
    EXPECT_GE(UsbHid_View().usageCount, 3);
    EXPECT_LE(UsbHid_View().usageCount, USB_MAX_USAGES);
    EXPECT_EQ(UsbHid_View().next, 0);
    OnePass();
    COM_CloseAll();
  }
  // A device whose only usages cannot be named has no table: closed again.
  plugged.clear();
  HidSimDevice d = Minimal(1);
  d.Add(3, 24, {{}});
  d.extraClaimedUsages = 4;
  Plug("usb/hiddev0", d);
  EXPECT_EQ(UsbHid_Probe(), 0);
  EXPECT_EQ(UsbHid_View().usageCount, 0);
  EXPECT_EQ(ComSlot.fd[0], -1);
  EXPECT_EQ(Leaked(), 0);
}

// ---- polling ----

TEST_F(UsbHidTest, EachTickReadsTheNextFiveUsagesAndWrapsAtTheEnd) {
  HidSimDevice d = Minimal(2);
  for (int i = 0; i < 12; ++i) d.AddFeature(static_cast<uint8_t>(200 + i), 0xFF00, static_cast<uint32_t>(i), i);
  HidSimDevice& ups = Link(d);
  ASSERT_EQ(UsbHid_View().usageCount, 12);
  const int perTick[] = {5, 5, 2, 5, 5, 2};
  const int nextAfter[] = {5, 10, 0, 5, 10, 0};
  for (int t = 0; t < 6; ++t) {
    SCOPED_TRACE(t);
    int before = ups.reportRequests;
    UsbHid_Poll(0);
    EXPECT_EQ(ups.reportRequests - before, perTick[t]);
    EXPECT_EQ(UsbHid_View().next, nextAfter[t]);
  }
  // A read asks the device for the report anew: the entry follows the device.
  ups.Set(203, 0xFF00, 3, 777);
  Ticks(1);
  EXPECT_EQ(UsbHid_View().usages[3].value, 777);
  // A read that fails keeps the entry's last value.
  ups.Set(201, 0xFF00, 1, 555);
  ups.unanswered = {201};
  Ticks(1);
  EXPECT_EQ(UsbHid_View().usages[1].value, 1);
}

struct MapCase {
  const char* what;
  int family;
  uint8_t reportId;
  uint32_t page, usage;
  int32_t raw;
  void (*before)();
  void (*check)();
};

void Nothing() {}
bool Bit(int b) { return (UpsRecord.liveStatus & UpsBit(b)) != 0; }
bool Cap(int b) { return (UpsRecord.capabilities & UpsBit(b)) != 0; }
void AllBits() { UpsRecord.liveStatus = ~uint64_t{0} & ~UpsBit(UPS_ST_COMMLOST); }

const MapCase kMapCases[] = {
    {"a value row stores the value", 2, 49, 0x84, 0x30, 2305, Nothing,
     [] { EXPECT_EQ(UpsRecord.values[VAL_INVOLT1], 2305); }},
    {"0xFFFF is not reported", 2, 49, 0x84, 0x30, 0xFFFF, Nothing,
     [] { EXPECT_EQ(UpsRecord.values[VAL_INVOLT1], -1); }},
    {"usage ids compare in their low 8 bits", 2, 49, 0x84, 0x130, 2290, Nothing,
     [] { EXPECT_EQ(UpsRecord.values[VAL_INVOLT1], 2290); }},
    {"the same key in another family's table only", 1, 49, 0x84, 0x30, 2305, Nothing,
     [] { EXPECT_EQ(UpsRecord.values[VAL_INVOLT1], -1); }},
    {"family 3's own input voltage", 3, 24, 0x84, 0x30, 2280, Nothing,
     [] { EXPECT_EQ(UpsRecord.values[VAL_INVOLT1], 2280); }},
    {"rated frequency in tenths", 2, 2, 0x84, 0x42, 50, Nothing, [] { EXPECT_EQ(UpsRecord.values[VAL_RATFREQ], 500); }},
    {"rated frequency does not overflow", 1, 2, 0x86, 0x42, INT32_MAX, Nothing,
     [] { EXPECT_EQ(UpsRecord.values[VAL_RATFREQ], INT32_MAX); }},
    {"model class 5 and firmware", 2, 15, 0xFFFF, 0x7C, 12 << 4 | 5, Nothing,
     [] {
       EXPECT_EQ(UpsRecord.values[VAL_TYPE], 3);
       EXPECT_STREQ(UpsRecord.firmware, "12");
     }},
    {"model class 6 becomes 4, 7 stays", 1, 15, 0x86, 0x7C, 1 << 4 | 6, Nothing,
     [] {
       EXPECT_EQ(UpsRecord.values[VAL_TYPE], 4);
       EXPECT_STREQ(UpsRecord.firmware, "01");
     }},
    {"output source 6 becomes 7", 2, 81, 0xFFFF, 0x91, 6, Nothing, [] { EXPECT_EQ(UpsRecord.values[VAL_OUTSRC], 7); }},
    {"output source 3 stays", 2, 81, 0xFFFF, 0x91, 3, Nothing, [] { EXPECT_EQ(UpsRecord.values[VAL_OUTSRC], 3); }},
    {"ARB on", 1, 64, 0x86, 0x80, 5, Nothing,
     [] {
       EXPECT_EQ(UpsRecord.values[VAL_ARB], 1);
       EXPECT_TRUE(Cap(UPS_CMD_ARB_BIT));
     }},
    {"ARB off", 2, 67, 0xFFFF, 0x9C, 0, Nothing, [] { EXPECT_EQ(UpsRecord.values[VAL_ARB], 2); }},
    {"UBD", 2, 65, 0xFFFF, 0x81, 7, Nothing,
     [] {
       EXPECT_EQ(UpsRecord.values[VAL_UBD], 7);
       EXPECT_TRUE(Cap(UPS_CMD_UBD_BIT));
     }},
    {"ATT 1 becomes 4", 1, 66, 0x86, 0x82, 1, Nothing,
     [] {
       EXPECT_EQ(UpsRecord.values[VAL_ATT], 4);
       EXPECT_TRUE(Cap(UPS_CMD_ATT_BIT));
     }},
    {"ATT 3 stays", 1, 66, 0x86, 0x82, 3, Nothing, [] { EXPECT_EQ(UpsRecord.values[VAL_ATT], 3); }},
    {"test result 4 becomes 6 and ends both test bits", 2, 16, 0x84, 0x58, 4, AllBits,
     [] {
       EXPECT_EQ(UpsRecord.values[VAL_TESTRESULT], 6);
       EXPECT_FALSE(Bit(UPS_ST_TESTING));
       EXPECT_FALSE(Bit(UPS_ST_TESTFAIL));
       EXPECT_TRUE(Cap(UPS_CMD_TST_BIT));
     }},
    {"test result 5 is a test in progress", 2, 16, 0x84, 0x58, 5, Nothing,
     [] {
       EXPECT_EQ(UpsRecord.values[VAL_TESTRESULT], 2);
       EXPECT_TRUE(Bit(UPS_ST_TESTING));
       EXPECT_FALSE(Bit(UPS_ST_TESTFAIL));
     }},
    {"test result 2 is a failed test", 1, 16, 0x86, 0x58, 2, Nothing,
     [] {
       EXPECT_EQ(UpsRecord.values[VAL_TESTRESULT], 3);
       EXPECT_TRUE(Bit(UPS_ST_TESTFAIL));
       EXPECT_FALSE(Bit(UPS_ST_TESTING));
     }},
    {"test result 1 stays", 2, 16, 0x84, 0x58, 1, AllBits,
     [] {
       EXPECT_EQ(UpsRecord.values[VAL_TESTRESULT], 1);
       EXPECT_FALSE(Bit(UPS_ST_TESTING) || Bit(UPS_ST_TESTFAIL));
     }},
    {"run time in seconds to whole minutes", 2, 53, 0x85, 0x68, 599, Nothing,
     [] { EXPECT_EQ(UpsRecord.values[VAL_BATTREMAIN], 9); }},
    {"run time already in minutes", 1, 63, 0x85, 0x6C, 17, Nothing,
     [] { EXPECT_EQ(UpsRecord.values[VAL_BATTREMAIN], 17); }},
    {"temperature in Kelvin", 2, 26, 0x84, 0x36, 298, Nothing, [] { EXPECT_EQ(UpsRecord.values[VAL_TEMP], 25); }},
    {"temperature in degrees", 1, 26, 0x86, 0x36, 40, Nothing, [] { EXPECT_EQ(UpsRecord.values[VAL_TEMP], 40); }},
    {"temperature 250 is degrees", 2, 26, 0x84, 0x36, 250, Nothing,
     [] { EXPECT_EQ(UpsRecord.values[VAL_TEMP], 250); }},
    {"status bit field sets its bits", 1, 34, 0x86, 0x21, 0x8111, Nothing,
     [] {
       for (int b : {UPS_ST_ACFAIL, UPS_ST_OVERLOAD, UPS_ST_ONBYPASS, UPS_ST_BUZMUTED}) EXPECT_TRUE(Bit(b)) << b;
       for (int b : {UPS_ST_BUCK, UPS_ST_BOOST, UPS_ST_SYSTEMOFF, UPS_ST_OVERTEMP, UPS_ST_CHARGERFAIL,
                     UPS_ST_AWAITPOWER})
         EXPECT_FALSE(Bit(b)) << b;
     }},
    {"status bit field clears its bits", 1, 34, 0x86, 0x21, 0x2000, AllBits,
     [] {
       EXPECT_TRUE(Bit(UPS_ST_AWAITPOWER));
       for (int b : {UPS_ST_ACFAIL, UPS_ST_BUCK, UPS_ST_BOOST, UPS_ST_OVERLOAD, UPS_ST_SYSTEMOFF, UPS_ST_OVERTEMP,
                     UPS_ST_ONBYPASS, UPS_ST_CHARGERFAIL, UPS_ST_BUZMUTED})
         EXPECT_FALSE(Bit(b)) << b;
       EXPECT_TRUE(Bit(UPS_ST_OUTPUTBAD));  // not one of the field's bits
     }},
    {"outlet count from the low eight bits", 2, 103, 0xFFFF, 0x95, 0x1F0B, Nothing,
     [] {
       EXPECT_EQ(UpsRecord.outletCount, 3);
       EXPECT_TRUE(Cap(UPS_CAP_LET_BIT) && Cap(UPS_CMD_RON_BIT) && Cap(UPS_CMD_ROF_BIT));
     }},
    {"outlet states: a clear bit is an outlet on", 1, 98, 0x86, 0x86, 0x05, Nothing,
     [] { EXPECT_EQ(UpsRecord.outletOn, 0xFA); }},
    {"model name with module type", 1, 13, 0x86, 0x75, 4, Nothing,
     [] {
       EXPECT_STREQ(UpsRecord.model, "Sim 3000 RT");
       EXPECT_EQ(UpsRecord.moduleType, 3);
     }},
    {"model name cut to 32 characters", 2, 13, 0xFFFF, 0x75, 5, Nothing,
     [] { EXPECT_EQ(std::string(UpsRecord.model), std::string(32, 'M')); }},
    {"a string the device does not have", 2, 13, 0xFFFF, 0x75, 9, Nothing, [] { EXPECT_STREQ(UpsRecord.model, ""); }},
    {"phase-2 input voltage makes two input phases", 2, 110, 0xFFFF, 0x9D, 2290, Nothing,
     [] {
       EXPECT_EQ(UpsRecord.values[VAL_INVOLT2], 2290);
       EXPECT_EQ(UpsRecord.values[VAL_INPHASE], 2);
     }},
    {"phase-2 output voltage makes two output phases", 2, 115, 0xFFFF, 0x9F, 2270, Nothing,
     [] {
       EXPECT_EQ(UpsRecord.values[VAL_OUTVOLT2], 2270);
       EXPECT_EQ(UpsRecord.values[VAL_PHASE], 2);
     }},
    {"vendor usage stored at 121", 4, 108, 0xFFFF, 0x7D, 0xA100, Nothing,
     [] { EXPECT_EQ(UpsRecord.values[121], 0xA100); }},
    {"system off when the usage reads 0", 2, 34, 0x84, 0x6D, 0, Nothing, [] { EXPECT_TRUE(Bit(UPS_ST_SYSTEMOFF)); }},
    {"system on", 2, 34, 0x84, 0x6D, 1, AllBits, [] { EXPECT_FALSE(Bit(UPS_ST_SYSTEMOFF)); }},
    {"input failure when AC present reads 0", 2, 50, 0x85, 0xD0, 0, Nothing, [] { EXPECT_TRUE(Bit(UPS_ST_ACFAIL)); }},
    {"AC present", 5, 50, 0x85, 0xD0, 1, AllBits, [] { EXPECT_FALSE(Bit(UPS_ST_ACFAIL)); }},
    {"family 3 reads AC present elsewhere", 3, 34, 0x84, 0x63, 0, Nothing, [] { EXPECT_TRUE(Bit(UPS_ST_ACFAIL)); }},
    {"family 3 has no row for the other AC usage", 3, 50, 0x85, 0xD0, 0, Nothing,
     [] { EXPECT_FALSE(Bit(UPS_ST_ACFAIL)); }},
    {"discharging is on battery", 1, 35, 0x85, 0x45, 1, Nothing,
     [] { EXPECT_TRUE(Bit(UPS_ST_DISCHARGING) && Bit(UPS_ST_ONBATTERY)); }},
    {"not discharging", 2, 50, 0x85, 0x45, 0, AllBits,
     [] { EXPECT_FALSE(Bit(UPS_ST_DISCHARGING) || Bit(UPS_ST_ONBATTERY)); }},
    {"alarm 1: enabled, not muted", 2, 17, 0x84, 0x5A, 1, AllBits,
     [] { EXPECT_TRUE(Bit(UPS_ST_BUZENABLED) && !Bit(UPS_ST_BUZMUTED)); }},
    {"alarm 2: disabled, not muted", 1, 17, 0x86, 0x5A, 2, AllBits,
     [] { EXPECT_FALSE(Bit(UPS_ST_BUZENABLED) || Bit(UPS_ST_BUZMUTED)); }},
    {"alarm 4: muted", 2, 17, 0x84, 0x5A, 4, AllBits,
     [] { EXPECT_TRUE(!Bit(UPS_ST_BUZENABLED) && Bit(UPS_ST_BUZMUTED)); }},
    {"battery replacement reported", 2, 50, 0x85, 0x4B, 1, Nothing,
     [] { EXPECT_TRUE(UpsRecord.replaceReported == 1 && Bit(UPS_ST_BATTREPLACE)); }},
    {"replacement due keeps the bit", 1, 35, 0x85, 0x4B, 0, [] { UpsRecord.replaceDue = 1; },
     [] { EXPECT_TRUE(UpsRecord.replaceReported == 0 && Bit(UPS_ST_BATTREPLACE)); }},
    {"no replacement", 2, 50, 0x85, 0x4B, 0, AllBits, [] { EXPECT_FALSE(Bit(UPS_ST_BATTREPLACE)); }},
    {"economy mode", 2, 137, 0xFFFF, 0x69, 1, Nothing,
     [] { EXPECT_TRUE(Bit(UPS_ST_ECONOMIC) && Cap(UPS_CMD_ECO_BIT)); }},
    {"economy mode: other values leave the bit", 3, 137, 0xFFFF, 0x69, 5, AllBits,
     [] { EXPECT_TRUE(Bit(UPS_ST_ECONOMIC)); }},
    {"economy mode off", 2, 137, 0xFFFF, 0x69, 0, AllBits, [] { EXPECT_FALSE(Bit(UPS_ST_ECONOMIC)); }},
    {"green mode", 4, 138, 0xFFFF, 0x95, 1, Nothing,
     [] { EXPECT_TRUE(Bit(UPS_ST_GREENMODE) && Cap(UPS_CMD_GRE_BIT)); }},
    {"a plain status row", 2, 50, 0x84, 0x62, 7, Nothing, [] { EXPECT_TRUE(Bit(UPS_ST_UPSFAIL)); }},
    {"a plain status row cleared", 5, 85, 0xFFFF, 0x97, 0, AllBits, [] { EXPECT_FALSE(Bit(UPS_ST_BIT47)); }},
    {"a status row of family 3 and 4 only", 4, 90, 0xFFFF, 0xA3, 1, Nothing, [] { EXPECT_TRUE(Bit(UPS_ST_FANFAIL)); }},
};

TEST_F(UsbHidTest, ReadValuesGoThroughTheFamilysMappingRows) {
  for (const MapCase& c : kMapCases) {
    SCOPED_TRACE(c.what);
    plugged.clear();
    ResetRecord();
    HidSimDevice d = Minimal(c.family);
    if (d.Get(c.reportId, c.page, c.usage) == INT32_MIN) d.AddFeature(c.reportId, c.page, c.usage, 0);
    d.strings[4] = "Sim 3000 RT;3";
    d.strings[5] = std::string(300, 'M');  // fills the descriptor's buffer without an end
    Link(d);
    ASSERT_EQ(UsbHid_View().family, c.family);
    c.before();
    Slot0Device()->Set(c.reportId, c.page, c.usage, c.raw);
    int32_t untouched[UPS_VALUE_COUNT];
    memcpy(untouched, UpsRecord.values, sizeof untouched);
    OnePass();
    c.check();
    // Nothing else of the measurements changed but what the case names.
    int changed = 0;
    for (int i = 0; i < UPS_VALUE_COUNT; ++i) changed += untouched[i] != UpsRecord.values[i] && i != 121;
    EXPECT_LE(changed, 2);
    COM_CloseAll();
  }
}

TEST_F(UsbHidTest, MapUsageIgnoresIndexesOutsideTheTable) {
  HidSimDevice d = Minimal(2);
  d.AddFeature(49, 0x84, 0x30, 2300);
  Link(d);
  UpsRecordType before = UpsRecord;
  UsbHid_MapUsage(-1, 5);
  UsbHid_MapUsage(UsbHid_View().usageCount, 5);
  UsbHid_MapUsage(INT_MAX, 5);
  EXPECT_EQ(memcmp(UpsRecord.values, before.values, sizeof before.values), 0);
  UsbHid_MapUsage(0, 2310);  // the one entry, the input voltage
  EXPECT_EQ(UpsRecord.values[VAL_INVOLT1], 2310);
}

TEST_F(UsbHidTest, BatteryLowIsDebouncedAndRaisedByTheChargeCheck) {
  HidSimDevice d = Minimal(2);
  d.AddFeature(50, 0x85, 0x42, 0);
  HidSimDevice& ups = Link(d);
  auto low = [] { return (UpsRecord.liveStatus & UpsBit(UPS_ST_BATTLOW)) != 0; };
  ups.Set(50, 0x85, 0x42, 1);
  for (int read = 1; read <= 3; ++read) {
    UsbHid_Poll(0);
    EXPECT_FALSE(low()) << read;
  }
  UsbHid_Poll(0);  // the fourth report in a row
  EXPECT_TRUE(low());
  EXPECT_EQ(UpsRecord.debounce[UPS_ST_BATTLOW], 3);
  ups.Set(50, 0x85, 0x42, 0);
  UsbHid_Poll(0);
  EXPECT_FALSE(low());
  // The count starts again: one report of a low battery does not set the bit.
  ups.Set(50, 0x85, 0x42, 1);
  UsbHid_Poll(0);
  EXPECT_FALSE(low());

  // The service's own check: a charge below the level counts as low, and
  // the entry says so too.
  ups.Set(50, 0x85, 0x42, 0);
  UsbHid_Poll(0);
  UpsRecord.lowBattCheck = 1;
  UpsRecord.lowBattLevel = 30;
  UpsRecord.values[VAL_BATTLEVEL] = 20;
  Ticks(4);
  EXPECT_TRUE(low());
  EXPECT_EQ(UsbHid_View().usages[0].value, 1);
  UpsRecord.values[VAL_BATTLEVEL] = 30;
  UsbHid_Poll(0);
  EXPECT_FALSE(low());
  UpsRecord.values[VAL_BATTLEVEL] = -1;  // unknown charge: no check
  Ticks(4);
  EXPECT_FALSE(low());
}

// ---- commands ----

struct Key {
  uint8_t id;
  uint32_t page, usage;
};
struct CommandCase {
  const char* what;
  int family;
  uint64_t code;
  int a, b;
  std::vector<HidSimWrite> writes;  // what the device receives
  std::vector<Key> also = {};       // usages the device has besides those written
};

HidSimWrite W(uint8_t id, uint32_t page, uint32_t usage, int32_t value) {
  return HidSimWrite{3, id, HidSimCode(page, usage), value};
}

TEST_F(UsbHidTest, CommandsWriteTheUsageOfTheFamilysCommandRow) {
  const CommandCase kCases[] = {
      {"TST 0 writes 3", 2, UPS_CMD_TST, 0, 0, {W(16, 0x84, 0x58, 3)}},
      {"TST 4 writes 2", 1, UPS_CMD_TST, 4, 0, {W(16, 0x86, 0x58, 2)}},
      {"TST 3 writes 1", 3, UPS_CMD_TST, 3, 0, {W(16, 0x84, 0x58, 1)}},
      {"TST 7 unchanged", 4, UPS_CMD_TST, 7, 0, {W(16, 0x84, 0x58, 7)}},
      {"ATT 3 writes -1", 1, UPS_CMD_ATT, 3, 0, {W(66, 0x86, 0x82, -1)}},
      {"ATT 4 writes 2", 1, UPS_CMD_ATT, 4, 0, {W(66, 0x86, 0x82, 2)}},
      {"ATT has no row in family 2", 2, UPS_CMD_ATT, 1, 0, {}, {{66, 0x86, 0x82}}},
      {"ROF outlet 3, family 1", 1, UPS_CMD_ROF, 3, 1, {W(99, 0x86, 0x87, 4)}},
      {"ROF outlet 3, family 2", 2, UPS_CMD_ROF, 3, 1, {W(105, 0xFFFF, 0x98, 4)}},
      {"ROF outlet 3, family 3", 3, UPS_CMD_ROF, 3, 1, {W(105, 0xFFFF, 0x98, 4)}},
      {"ROF outlet 3, family 5", 5, UPS_CMD_ROF, 3, 1, {W(105, 0xFFFF, 0x98, 4)}},
      {"ROF: no row in family 4", 4, UPS_CMD_ROF, 3, 1, {}, {{105, 0xFFFF, 0x98}, {107, 0xFFFF, 0x9A}}},
      {"RON outlet 8 writes the same usage", 2, UPS_CMD_RON, 8, 1, {W(105, 0xFFFF, 0x98, 128)}},
      {"ROF outlet 0 is no outlet", 2, UPS_CMD_ROF, 0, 1, {}, {{105, 0xFFFF, 0x98}}},
      {"RON outlet 40 is no outlet", 1, UPS_CMD_RON, 40, 1, {}, {{99, 0x86, 0x87}}},
      {"SDR 65535 writes -1", 2, UPS_CMD_SDR, 65535, 0, {W(22, 0xFFFF, 0x56, -1)}},
      {"SDR minutes", 1, UPS_CMD_SDR, 10, 0, {W(22, 0x86, 0x56, 10)}},
      {"SDA 0 writes -1", 2, UPS_CMD_SDA, 0, 0, {W(21, 0x84, 0x57, -1)}},
      {"SDA delay", 1, UPS_CMD_SDA, 30, 0, {W(21, 0x86, 0x57, 30)}},
      {"ARB 2 writes 0", 2, UPS_CMD_ARB, 2, 0, {W(67, 0xFFFF, 0x9C, 0)}},
      {"ECO 1", 3, UPS_CMD_ECO, 1, 0, {W(137, 0xFFFF, 0x69, 1)}},
      {"GRE 2 writes 0", 4, UPS_CMD_GRE, 2, 0, {W(138, 0xFFFF, 0x95, 0)}},
      {"EDB 1 writes 2", 2, UPS_CMD_EDB, 1, 0, {W(17, 0x84, 0x5A, 2)}},
      {"EDB 2 writes 1", 1, UPS_CMD_EDB, 2, 0, {W(17, 0x86, 0x5A, 1)}},
      {"EDB 5 unchanged", 5, UPS_CMD_EDB, 5, 0, {W(17, 0x84, 0x5A, 5)}},
      {"BUZ 1 writes 2", 3, UPS_CMD_BUZ, 1, 0, {W(17, 0x84, 0x5A, 2)}},
      {"BUZ 2 writes 3", 1, UPS_CMD_BUZ, 2, 0, {W(17, 0x86, 0x5A, 3)}},
      {"BUZ 3 does nothing", 2, UPS_CMD_BUZ, 3, 0, {}, {{17, 0x84, 0x5A}}},
      {"BUZ: no row in family 5", 5, UPS_CMD_BUZ, 1, 0, {}, {{17, 0x84, 0x5A}}},
      {"VSN", 5, UPS_CMD_VSN, 2, 0, {W(66, 0xFFFF, 0x9B, 2)}},
      {"UBD", 4, UPS_CMD_UBD, 9, 0, {W(65, 0xFFFF, 0x81, 9)}},
      {"EBP", 2, UPS_CMD_EBP, 2, 0, {W(99, 0xFFFF, 0x61, 2)}},
      {"TXV writes both voltages", 2, UPS_CMD_TXV, 170, 280, {W(6, 0x84, 0x53, 170), W(9, 0x84, 0x54, 280)}},
      {"TXV, family 1", 1, UPS_CMD_TXV, 165, 285, {W(6, 0x86, 0x53, 165), W(9, 0x86, 0x54, 285)}},
      {"TXV: no row in family 3", 3, UPS_CMD_TXV, 170, 280, {}, {{6, 0x84, 0x53}, {9, 0x84, 0x54}}},
      {"a command no family has", 2, UPS_CMD_SDT, 5, 0, {}, {{16, 0x84, 0x58}}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    plugged.clear();
    HidSimDevice d = Minimal(c.family);
    for (const auto& w : c.writes) d.AddFeature(w.id, w.code >> 16, w.code & 0xFFFF, 0);
    for (const auto& k : c.also) d.AddFeature(k.id, k.page, k.usage, 0);
    HidSimDevice& ups = Link(d);
    ASSERT_EQ(UsbHid_View().family, c.family);
    UsbHid_Command(c.code, {c.a, c.b});
    EXPECT_TRUE(ups.sent.empty());  // queued: the poll ticks write it
    WriteAll();
    ASSERT_EQ(ups.sent.size(), c.writes.size());
    for (size_t i = 0; i < c.writes.size(); ++i) {
      EXPECT_EQ(ups.sent[i].type, c.writes[i].type) << i;
      EXPECT_EQ(ups.sent[i].id, c.writes[i].id) << i;
      EXPECT_EQ(ups.sent[i].code, c.writes[i].code) << std::hex << ups.sent[i].code;
      EXPECT_EQ(ups.sent[i].value, c.writes[i].value) << i;
    }
    COM_CloseAll();
  }
}

TEST_F(UsbHidTest, ACommandReachesItsUsageWhereverTheReportHoldsIt) {
  HidSimDevice d = Minimal(1);
  // The outlet switch is the second usage of the second field of its report.
  d.Add(3, 99, {{HidSimCode(0x86, 0x20)}, {HidSimCode(0x86, 0x21), HidSimCode(0x86, 0x87)}});
  d.Set(99, 0x86, 0x20, 11, true);
  d.Set(99, 0x86, 0x21, 22, true);
  d.Add(2, 21, {{HidSimCode(0x86, 0x57)}});  // the shutdown delay in an output report
  HidSimDevice& ups = Link(d);
  UsbHid_Command(UPS_CMD_ROF, {2, 1});
  WriteAll();
  EXPECT_EQ(ups.Get(99, 0x86, 0x87), 2);
  EXPECT_EQ(ups.Get(99, 0x86, 0x20), 11);
  EXPECT_EQ(ups.Get(99, 0x86, 0x21), 22);
  ups.sent.clear();
  UsbHid_Command(UPS_CMD_SDA, {45, 0});
  WriteAll();
  ASSERT_EQ(ups.sent.size(), 1u);
  EXPECT_EQ(ups.sent[0].type, HID_REPORT_TYPE_OUTPUT);
  EXPECT_EQ(ups.sent[0].value, 45);

  // A usage the device lacks, and a device that fails, give nothing.
  ups.sent.clear();
  UsbHid_Command(UPS_CMD_SDR, 5);
  EXPECT_EQ(UsbHid_View().queuedWrites, 0);
  ups.silent = true;
  UsbHid_Command(UPS_CMD_ROF, {1, 1});
  WriteAll();
  EXPECT_TRUE(ups.sent.empty());
  // Texts and pointers of commands that no family has are never read.
  UsbHid_Command(UPS_CMD_BRD, {"20240101", "20270101"});
}

// ---- link loss ----

TEST_F(UsbHidTest, ThreeTicksOfFailedReadsEndTheLink) {
  HidSimDevice& ups = Link(HidSim_Family(2));
  ASSERT_GE(UsbHid_View().usageCount, 15);
  UpsRecord.liveStatus = UpsBit(UPS_ST_COMMLOST) | UpsBit(UPS_ST_ACFAIL);
  Ticks(1);
  EXPECT_FALSE(UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST));  // a read cleared it

  ups.silent = true;
  Ticks(2);
  EXPECT_EQ(UsbHid_View().failures, 10);
  ups.silent = false;
  Ticks(1);  // one good tick starts the count again
  EXPECT_EQ(UsbHid_View().failures, 0);
  ups.silent = true;
  Ticks(2);
  EXPECT_GE(ComSlot.fd[0], 0);
  EXPECT_TRUE(resets.empty());
  Ticks(1);
  EXPECT_TRUE(UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST));
  EXPECT_EQ(ComSlot.fd[0], -1);
  EXPECT_EQ(ComSlot.link[0], COM_LINK_NONE);
  EXPECT_EQ(resets, std::vector<int>{1});
  EXPECT_EQ(Leaked(), 0);

  // The device answers again: found anew.
  ups.silent = false;
  ASSERT_EQ(UsbHid_Probe(), 1);
  ComSlot.link[0] = COM_LINK_USB;
  Ticks(1);
  EXPECT_FALSE(UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST));
}

struct HangCase {
  const char* name;
  int hangMs;        // how long each report request of the hung device takes
  int lostAfter;     // ticks until the link is given up, -1 not within ten
  int requestsPerTick;  // report requests of the first hung tick
};

TEST_F(UsbHidTest, ADeviceThatStopsAnsweringOnTheBusIsALostLink) {
  const HangCase cases[] = {
      {"the kernel's wait", 10000, 3, 1},
      {"just over the bound", USB_REPORT_SLOW_MS + 1, 3, 1},
      // hiddev gives nothing else to go by: an answer within the bound is an answer.
      {"within the bound", USB_REPORT_SLOW_MS, -1, 5},
  };
  for (const HangCase& c : cases) {
    SCOPED_TRACE(c.name);
    plugged.clear();
    resets.clear();
    ResetRecord();
    HidSimDevice& ups = Link(HidSim_Family(2));
    OnePass();
    const int32_t volts = UpsRecord.values[VAL_INVOLT1];
    ASSERT_GT(volts, 0);
    UpsRecord.liveStatus = UpsBit(UPS_ST_ACFAIL);
    ups.hung = true;
    ups.hangMs = c.hangMs;
    ups.hangWait = PassMs;
    ups.Set(49, 0x84, 0x30, 1234);  // what the device would say now, never read
    int lostAfter = -1;
    for (int tick = 1; tick <= 10 && lostAfter < 0; ++tick) {
      const int before = ups.calls[HIDIOCGREPORT];
      UsbHid_Poll(0);
      if (tick == 1) {
        EXPECT_EQ(ups.calls[HIDIOCGREPORT] - before, c.requestsPerTick);
      }
      if (ComSlot.fd[0] < 0) lostAfter = tick;
    }
    EXPECT_EQ(lostAfter, c.lostAfter);
    EXPECT_EQ((UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST)) != 0, c.lostAfter > 0);
    EXPECT_EQ(resets, c.lostAfter > 0 ? std::vector<int>{1} : std::vector<int>{});
    if (c.lostAfter < 0) {
      EXPECT_EQ(UpsRecord.values[VAL_INVOLT1], volts);  // the last values, not the device's
    }
    if (ComSlot.fd[0] >= 0) ComOps.Close(0);
  }
}

TEST_F(UsbHidTest, AHungTickCountsAsFiveFailedReads) {
  HidSimDevice& ups = Link(HidSim_Family(2));
  ups.hangWait = PassMs;
  // Two hung ticks, then one that answers: the count starts again each time.
  for (int round = 0; round < 3; ++round) {
    ups.hung = true;
    Ticks(2);
    EXPECT_EQ(UsbHid_View().failures, 2 * USB_READS_PER_TICK);
    ups.hung = false;
    Ticks(1);
    EXPECT_EQ(UsbHid_View().failures, 0);
  }
  EXPECT_GE(ComSlot.fd[0], 0);
  EXPECT_TRUE(resets.empty());
}

TEST_F(UsbHidTest, ASmallTableLosesTheLinkToo) {
  // Tables whose ticks read fewer than five at the end of a pass, or always.
  for (int usages : {12, 7, 3, 1}) {
    SCOPED_TRACE(usages);
    plugged.clear();
    resets.clear();
    ResetRecord();
    HidSimDevice d = Minimal(1);
    for (int i = 0; i < usages; ++i) d.AddFeature(static_cast<uint8_t>(200 + i), 0xFF00, static_cast<uint32_t>(i), i);
    HidSimDevice& ups = Link(d);
    ups.silent = true;
    int ticks = 0;
    while (ComSlot.fd[0] >= 0 && ticks < 50) {
      UsbHid_Poll(0);
      ++ticks;
    }
    // 5+5+2+5, 5+2+5+2+5, 3 x 5, 1 x 15 failed reads.
    const int expected = usages == 12 ? 4 : usages == 7 ? 5 : usages == 3 ? 5 : 15;
    EXPECT_EQ(ticks, expected);
    EXPECT_TRUE(UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST));
    EXPECT_EQ(resets, std::vector<int>{1});
  }
}

// ---- the link manager, the trace, the close hook ----

TEST_F(UsbHidTest, TheLinkManagerFindsPollsAndLosesTheDevice) {
  HidSimDevice& ups = Plug("hiddev1", HidSim_Family(5));
  ComOps.Detect();
  ASSERT_EQ(ComSlot.link[0], COM_LINK_USB);
  EXPECT_EQ(COM_DriverCommand(), &UsbHid_Command);
  EXPECT_EQ(Slot0Device(), &ups);
  const int before = ups.reportRequests;
  EXPECT_EQ(ComOps.Poll(), COM_LINK_USB);
  EXPECT_EQ(ups.reportRequests - before, 5);
  OnePass();
  EXPECT_EQ(UpsRecord.values[VAL_INVOLT1], 2300);
  EXPECT_EQ(UpsRecord.values[VAL_BATTREMAIN], 30);
  EXPECT_STREQ(UpsRecord.model, "Sim UPS 1500");

  ups.silent = true;
  EXPECT_EQ(ComOps.Poll(), COM_LINK_USB);
  EXPECT_EQ(ComOps.Poll(), COM_LINK_USB);
  EXPECT_EQ(ComOps.Poll(), COM_LINK_NONE);
  EXPECT_EQ(resets, std::vector<int>{1});
  ComOps.Detect();  // still silent: opened, passed over, closed
  EXPECT_EQ(ComSlot.link[0], COM_LINK_NONE);
  EXPECT_EQ(Leaked(), 0);
  ups.silent = false;
  ComOps.Detect();
  EXPECT_EQ(ComSlot.link[0], COM_LINK_USB);
}

TEST_F(UsbHidTest, CommandsWaitForTheDeviceAndAFailedWriteGoesToTheNextLink) {
  // Given while no device is linked: written, in order, once it is.
  COM_SendCommand(UPS_CMD_SDR, 10);
  COM_SendCommand(UPS_CMD_SDA, 30, 0);
  EXPECT_EQ(ComOps.CommandsPending(), 2);
  ComOps.Detect();
  EXPECT_EQ(ComSlot.link[0], COM_LINK_NONE);
  HidSimDevice& ups = Plug("hiddev1", HidSim_Family(1));
  ComOps.Detect();
  ASSERT_EQ(ComSlot.link[0], COM_LINK_USB);
  // Handed one at a time, each written by a poll tick, the second the
  // write gap after the first.
  ComOps.Poll();
  ComOps.Poll();
  ASSERT_EQ(ups.sent.size(), 1u);
  PassMs(USB_COMMAND_GAP_MS - 1);
  ComOps.Poll();
  EXPECT_EQ(ups.sent.size(), 1u);
  PassMs(1);
  ComOps.Poll();
  ASSERT_EQ(ups.sent.size(), 2u);
  EXPECT_EQ(ups.sent[0].code, HidSimCode(0x86, 0x56));
  EXPECT_EQ(ups.sent[0].value, 10);
  EXPECT_EQ(ups.sent[1].code, HidSimCode(0x86, 0x57));
  EXPECT_EQ(ups.sent[1].value, 30);
  EXPECT_EQ(ComOps.CommandsPending(), 0);

  // The device is pulled: the write fails and the command waits for the
  // device to be back.
  ups.sent.clear();
  ups.silent = true;
  COM_SendCommand(UPS_CMD_SDA, 45, 0);
  EXPECT_EQ(ComOps.CommandsPending(), 1);
  PassMs(USB_COMMAND_GAP_MS);
  while (ComSlot.link[0] == COM_LINK_USB) ComOps.Poll();
  ups.silent = false;
  ComOps.Detect();
  ComOps.Poll();
  ComOps.Poll();
  ASSERT_EQ(ups.sent.size(), 1u);
  EXPECT_EQ(ups.sent[0].value, 45);
  EXPECT_EQ(ComOps.CommandsPending(), 0);

  // A failed write of a device that goes on answering reads is given up.
  ups.sent.clear();
  ups.unanswered = {21};
  COM_SendCommand(UPS_CMD_SDA, 50, 0);
  EXPECT_EQ(ComOps.CommandsPending(), 1);
  PassMs(USB_COMMAND_GAP_MS);
  ComOps.Poll();
  EXPECT_EQ(ComOps.CommandsPending(), 0);
  EXPECT_TRUE(ups.sent.empty());
}

// Five commands kept while no device is linked go out once the new link has
// read the status (one pass over the usages): one write in a tick at most,
// the write gap apart, and every tick still reads its five usages.
TEST_F(UsbHidTest, KeptCommandsGoOutOneWriteATickWhileTheReadsGoOn) {
  for (int outlet = 1; outlet <= 5; ++outlet) COM_SendCommand(UPS_CMD_ROF, outlet, 1);
  HidSimDevice& ups = Plug("hiddev1", HidSim_Family(2));
  ComOps.Detect();
  ASSERT_EQ(ComSlot.link[0], COM_LINK_USB);
  const int pass = (UsbHid_View().usageCount + USB_READS_PER_TICK - 1) / USB_READS_PER_TICK;
  std::vector<int> writeTicks;
  for (int tick = 0; tick < 200 && ups.sent.size() < 5; ++tick) {
    const int requests = ups.reportRequests;
    const size_t sent = ups.sent.size();
    const UsbHidView v = UsbHid_View();
    const int left = v.next < v.usageCount ? v.usageCount - v.next : v.usageCount;  // the pass ends short
    ComOps.Poll();
    EXPECT_EQ(ups.reportRequests - requests, std::min(USB_READS_PER_TICK, left)) << tick;
    ASSERT_LE(ups.sent.size() - sent, 1u) << tick;
    if (ups.sent.size() > sent) writeTicks.push_back(tick);
    PassMs(100);
  }
  ASSERT_EQ(ups.sent.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ups.sent[i].value, 1 << i);
  // The first after the pass and the alarm processing's ticks, then one
  // every write gap.
  EXPECT_GE(writeTicks[0], pass + COM_STATUS_TICKS - 1);
  EXPECT_LE(writeTicks[0], pass + COM_STATUS_TICKS + 2);
  for (size_t i = 1; i < writeTicks.size(); ++i)
    EXPECT_EQ(writeTicks[i] - writeTicks[i - 1], USB_COMMAND_GAP_MS / 100) << i;
  EXPECT_EQ(ComOps.CommandsPending(), 0);
}

// A device that hangs on the bus takes a report sent to it as hiddev takes
// every request then: it returns after the kernel's wait as if sent. The UPS
// did not get the command, so it goes to the next link; and the tick of that
// write asks for no report after it, so the loop waits for the device once.
TEST_F(UsbHidTest, AWriteToAHungDeviceGoesToTheNextLink) {
  HidSimDevice& ups = Plug("hiddev1", HidSim_Family(1));
  ComOps.Detect();
  ASSERT_EQ(ComSlot.link[0], COM_LINK_USB);
  OnePass();
  ups.hung = true;
  ups.hangWait = PassMs;
  COM_SendCommand(UPS_CMD_SDA, 30, 0);
  ASSERT_EQ(UsbHid_View().queuedWrites, 1);
  const int sends = ups.calls[HIDIOCSREPORT];
  const int requests = ups.calls[HIDIOCGREPORT];
  ComOps.Poll();
  EXPECT_EQ(ups.calls[HIDIOCSREPORT] - sends, 1);
  EXPECT_EQ(ups.calls[HIDIOCGREPORT] - requests, 0);
  for (int tick = 0; tick < 10 && ComSlot.link[0] == COM_LINK_USB; ++tick) ComOps.Poll();
  ASSERT_EQ(ComSlot.link[0], COM_LINK_NONE);
  EXPECT_TRUE(ups.sent.empty());
  EXPECT_EQ(ComOps.CommandsPending(), 1);
  ups.hung = false;
  ComOps.Detect();
  ASSERT_EQ(ComSlot.link[0], COM_LINK_USB);
  ComOps.Poll();
  ComOps.Poll();
  ASSERT_EQ(ups.sent.size(), 1u);
  EXPECT_EQ(ups.sent[0].code, HidSimCode(0x86, 0x57));
  EXPECT_EQ(ups.sent[0].value, 30);
  EXPECT_EQ(ComOps.CommandsPending(), 0);
}

// A write that waits for its gap is taken back by DropCommands.
TEST_F(UsbHidTest, AWriteWaitingForItsGapIsTakenBack) {
  HidSimDevice& ups = Plug("hiddev1", HidSim_Family(1));
  ComOps.Detect();
  COM_SendCommand(UPS_CMD_SDR, 10);
  ComOps.Poll();
  ComOps.Poll();
  ASSERT_EQ(ups.sent.size(), 1u);  // the restore time
  COM_SendCommand(UPS_CMD_SDA, 30, 0);
  ComOps.Poll();
  EXPECT_EQ(UsbHid_View().queuedWrites, 1);
  EXPECT_EQ(ComOps.DropCommands(UPS_CMD_SDR | UPS_CMD_SDA, nullptr), 1);
  EXPECT_EQ(UsbHid_View().queuedWrites, 0);
  PassMs(USB_COMMAND_GAP_MS);
  ComOps.Poll();
  EXPECT_EQ(ups.sent.size(), 1u);
  EXPECT_EQ(ComOps.CommandsPending(), 0);
}

TEST_F(UsbHidTest, TheTraceRecordsEveryRead) {
  SvcWallClock = [] { return time_t{1709647629}; };
  HidSimDevice d = Minimal(2);
  d.AddFeature(49, 0x84, 0x30, 2301);
  d.AddFeature(53, 0x85, 0x68, 1200);
  HidSimDevice& ups = Link(d);
  ComOps.SetTrace(1);
  ups.unanswered = {53};
  Ticks(1);
  ComOps.SetTrace(0);
  time_t t = 1709647629;
  struct tm tmv {};
  localtime_r(&t, &tmv);
  char stamp[32];
  snprintf(stamp, sizeof stamp, "%02d/%02d %02d:%02d:%02d", tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min,
           tmv.tm_sec);
  const std::string s = stamp;
  EXPECT_EQ(Scratch_ReadFile(TmpPath(COM_TRACE_NAME)),
            s + " USB: RID=49, UPage=84, UID=30, Value=2301\n" + s + " USB: RID=53, UPage=85, UID=68\n");
}

TEST_F(UsbHidTest, TheCloseHookFreesTheTableAndClosesOnlyAUsbLink) {
  Link(HidSim_Family(1));
  UsbHid_Exit();
  EXPECT_EQ(UsbHid_View().usageCount, 0);
  EXPECT_EQ(ComSlot.fd[0], -1);
  EXPECT_EQ(Leaked(), 0);

  // A serial link in slot 0 is not the USB driver's to close.
  ComSlot.fd[0] = open("/dev/null", O_RDWR | O_CLOEXEC);
  ComSlot.link[0] = COM_LINK_TILDE;
  UsbHid_Exit();
  EXPECT_GE(ComSlot.fd[0], 0);
  EXPECT_TRUE(IsOpen(ComSlot.fd[0]));
}

}  // namespace
