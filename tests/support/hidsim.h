// A simulated USB HID UPS as the kernel's hiddev interface presents one:
// reports of three types, each with fields of usages, the values the device
// holds and the values hiddev last read from it, string descriptors, and
// the hiddev requests answered on that model. The unit tests drive the
// driver against it in-process; the preloaded end-to-end shim
// (tests/sim/hiddevsim.cpp) answers the daemon's requests with it.
#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

struct HidSimUsage {
  uint32_t code;       // usage page << 16 | usage id
  int32_t device;      // what the device would report now
  int32_t host;        // what hiddev holds: read by the last report request, or set
};
struct HidSimField {
  std::vector<HidSimUsage> usages;
};
struct HidSimReport {
  uint8_t type;  // 1 input, 2 output, 3 feature
  uint8_t id;
  std::vector<HidSimField> fields;
};
// One usage of a report the device received.
struct HidSimWrite {
  uint8_t type;
  uint8_t id;
  uint32_t code;
  int32_t value;
};

constexpr uint32_t HidSimCode(uint32_t page, uint32_t id) { return page << 16 | (id & 0xFFFF); }

class HidSimDevice {
 public:
  HidSimDevice() = default;
  HidSimDevice(uint16_t vendorId, uint16_t productId) : vendor(vendorId), product(productId) {}

  uint16_t vendor = 0;
  uint16_t product = 0;
  std::vector<HidSimReport> reports;
  std::map<int32_t, std::string> strings;

  // Failures.
  bool silent = false;                 // every request fails, as an unplugged device
  // A device that stopped answering but stays on the bus: hiddev still
  // answers every request, but a report asked for or sent only returns once
  // the kernel gives up waiting for the device (hangWait, hangMs), and brings
  // nothing new: the usages keep what hiddev last read.
  bool hung = false;
  int hangMs = 10000;                  // the kernel's wait for its control queue
  void (*hangWait)(int ms) = nullptr;  // how that time passes (none: at once)
  std::set<uint8_t> unanswered;        // report ids whose report requests fail
  uint32_t extraClaimedUsages = 0;     // each field claims this many usages more than it has
  uint32_t growAfterWalk = 0;          // usages added to the last field once the first walk ends
  bool reportInfoNeverEnds = false;    // the next-report request always answers (the same report)

  // Adds a report with one field per list of usage codes; values start at 0.
  HidSimReport& Add(uint8_t type, uint8_t id, const std::vector<std::vector<uint32_t>>& fields);
  // A feature report of one usage with this value.
  void AddFeature(uint8_t id, uint32_t page, uint32_t usage, int32_t value);

  // Sets what the device reports for the usage in report id (of every type
  // that carries it); with both, hiddev holds it at once too. False when the
  // device has no such usage.
  bool Set(uint8_t id, uint32_t page, uint32_t usage, int32_t value, bool alsoHost = false);
  // What the device holds for the usage (the first one found); INT32_MIN if none.
  int32_t Get(uint8_t id, uint32_t page, uint32_t usage) const;
  // hiddev takes every report from the device, as when it is plugged in.
  void Refresh();

  // Answers one hiddev request: 0 (or the string length) on success, -1
  // with errno set on failure.
  int Ioctl(unsigned long request, void* arg);

  std::vector<HidSimWrite> sent;        // every usage of every report sent to the device
  std::map<unsigned long, int> calls;   // requests seen, by request number
  int reportRequests = 0;               // HIDIOCGREPORT requests answered

 private:
  HidSimReport* Find(uint32_t type, uint32_t id);
  bool walked_ = false;
};

// A device of family 1-5 as their firmware presents it: the usages of the
// family's measurements, status, settings, outlets and vendor usage, in the
// "online" state, with string 1 the model name.
HidSimDevice HidSim_Family(int family);
// The UPS's condition: "online", "powerfail" (input failed, discharging) or
// "battlow" (power failure with the battery low). False for other names.
bool HidSim_ApplyState(HidSimDevice& device, int family, const std::string& state);
