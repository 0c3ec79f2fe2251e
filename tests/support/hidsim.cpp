// The simulated hiddev device and the five device families.
#include "support/hidsim.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <linux/hiddev.h>
#include <sys/ioctl.h>

HidSimReport& HidSimDevice::Add(uint8_t type, uint8_t id, const std::vector<std::vector<uint32_t>>& fields) {
  HidSimReport r{type, id, {}};
  for (const auto& codes : fields) {
    HidSimField f;
    for (uint32_t code : codes) f.usages.push_back(HidSimUsage{code, 0, 0});
    r.fields.push_back(f);
  }
  reports.push_back(r);
  return reports.back();
}

void HidSimDevice::AddFeature(uint8_t id, uint32_t page, uint32_t usage, int32_t value) {
  Add(HID_REPORT_TYPE_FEATURE, id, {{HidSimCode(page, usage)}});
  Set(id, page, usage, value, true);
}

bool HidSimDevice::Set(uint8_t id, uint32_t page, uint32_t usage, int32_t value, bool alsoHost) {
  bool found = false;
  for (auto& r : reports) {
    if (r.id != id) continue;
    for (auto& f : r.fields)
      for (auto& u : f.usages)
        if (u.code == HidSimCode(page, usage)) {
          u.device = value;
          if (alsoHost) u.host = value;
          found = true;
        }
  }
  return found;
}

int32_t HidSimDevice::Get(uint8_t id, uint32_t page, uint32_t usage) const {
  for (const auto& r : reports) {
    if (r.id != id) continue;
    for (const auto& f : r.fields)
      for (const auto& u : f.usages)
        if (u.code == HidSimCode(page, usage)) return u.device;
  }
  return INT32_MIN;
}

void HidSimDevice::Refresh() {
  for (auto& r : reports)
    for (auto& f : r.fields)
      for (auto& u : f.usages) u.host = u.device;
}

HidSimReport* HidSimDevice::Find(uint32_t type, uint32_t id) {
  for (auto& r : reports)
    if (r.type == type && r.id == id) return &r;
  return nullptr;
}

namespace {

int Fail(int e) {
  errno = e;
  return -1;
}

}  // namespace

int HidSimDevice::Ioctl(unsigned long request, void* arg) {
  ++calls[request];
  if (silent) return Fail(ENODEV);
  switch (request) {
    case HIDIOCGDEVINFO: {
      auto* info = static_cast<hiddev_devinfo*>(arg);
      memset(info, 0, sizeof *info);
      info->bustype = 3;  // USB
      info->vendor = static_cast<int16_t>(vendor);
      info->product = static_cast<int16_t>(product);
      info->version = 0x0100;
      info->num_applications = 1;
      return 0;
    }
    case HIDIOCGREPORTINFO: {
      auto* ri = static_cast<hiddev_report_info*>(arg);
      const uint32_t flags = ri->report_id & ~HID_REPORT_ID_MASK;
      const uint32_t id = ri->report_id & HID_REPORT_ID_MASK;
      std::vector<HidSimReport*> ofType;
      for (auto& r : reports)
        if (r.type == ri->report_type) ofType.push_back(&r);
      HidSimReport* found = nullptr;
      if (flags == HID_REPORT_ID_FIRST) {
        if (!ofType.empty()) found = ofType.front();
      } else if (flags == HID_REPORT_ID_NEXT) {
        for (size_t i = 0; i < ofType.size(); ++i)
          if (ofType[i]->id == id) {
            if (i + 1 < ofType.size()) found = ofType[i + 1];
            else if (reportInfoNeverEnds) found = ofType[i];
            break;
          }
        if (!found && ri->report_type == HID_REPORT_TYPE_FEATURE && !walked_) {
          // The end of the first walk: a device that changes from now on.
          walked_ = true;
          if (growAfterWalk && !reports.empty() && !reports.back().fields.empty()) {
            auto& usages = reports.back().fields.back().usages;
            for (uint32_t k = 0; k < growAfterWalk; ++k) usages.push_back(HidSimUsage{HidSimCode(0xFF00, k & 0xFF), 0, 0});
          }
        }
      } else if (flags == 0) {
        found = Find(ri->report_type, id);
      }
      if (!found) return Fail(EINVAL);
      ri->report_id = found->id;
      ri->num_fields = static_cast<uint32_t>(found->fields.size());
      return 0;
    }
    case HIDIOCGFIELDINFO: {
      auto* fi = static_cast<hiddev_field_info*>(arg);
      HidSimReport* r = Find(fi->report_type, fi->report_id);
      if (!r || fi->field_index >= r->fields.size()) return Fail(EINVAL);
      const uint32_t index = fi->field_index;
      memset(fi, 0, sizeof *fi);
      fi->report_type = r->type;
      fi->report_id = r->id;
      fi->field_index = index;
      fi->maxusage = static_cast<uint32_t>(r->fields[index].usages.size()) + extraClaimedUsages;
      fi->application = HidSimCode(0x84, 0x04);
      fi->logical_minimum = INT32_MIN;
      fi->logical_maximum = INT32_MAX;
      return 0;
    }
    case HIDIOCGUCODE:
    case HIDIOCGUSAGE:
    case HIDIOCSUSAGE: {
      auto* u = static_cast<hiddev_usage_ref*>(arg);
      HidSimReport* r = Find(u->report_type, u->report_id);
      if (!r || u->field_index >= r->fields.size()) return Fail(EINVAL);
      auto& usages = r->fields[u->field_index].usages;
      if (u->usage_index >= usages.size()) return Fail(EINVAL);
      HidSimUsage& usage = usages[u->usage_index];
      u->usage_code = usage.code;
      if (request == HIDIOCGUSAGE) u->value = usage.host;
      if (request == HIDIOCSUSAGE) {
        if (r->type == HID_REPORT_TYPE_INPUT) return Fail(EINVAL);  // input reports cannot be written
        usage.host = u->value;
      }
      return 0;
    }
    case HIDIOCGREPORT:
    case HIDIOCSREPORT: {
      auto* ri = static_cast<hiddev_report_info*>(arg);
      // Output reports cannot be asked for, input reports cannot be sent.
      if (request == HIDIOCGREPORT && ri->report_type == HID_REPORT_TYPE_OUTPUT) return Fail(EINVAL);
      if (request == HIDIOCSREPORT && ri->report_type == HID_REPORT_TYPE_INPUT) return Fail(EINVAL);
      HidSimReport* r = Find(ri->report_type, ri->report_id & HID_REPORT_ID_MASK);
      if (!r) return Fail(EINVAL);
      if (unanswered.count(r->id)) return Fail(EIO);
      if (hung) {
        // hiddev does not report the failed transfer: the request succeeds.
        if (hangWait) hangWait(hangMs);
        return 0;
      }
      for (auto& f : r->fields)
        for (auto& u : f.usages) {
          if (request == HIDIOCGREPORT) {
            u.host = u.device;
          } else {
            u.device = u.host;
            sent.push_back(HidSimWrite{r->type, r->id, u.code, u.host});
          }
        }
      if (request == HIDIOCGREPORT) ++reportRequests;
      return 0;
    }
    case HIDIOCGSTRING: {
      auto* sd = static_cast<hiddev_string_descriptor*>(arg);
      auto it = strings.find(sd->index);
      if (it == strings.end()) return Fail(EINVAL);
      // Like the kernel's buffer, but a string that fills it is not terminated.
      const size_t n = it->second.size() < sizeof sd->value ? it->second.size() : sizeof sd->value;
      memcpy(sd->value, it->second.data(), n);
      if (n < sizeof sd->value) sd->value[n] = 0;
      return static_cast<int>(n);
    }
    default:
      return Fail(EINVAL);
  }
}

// ---- families ----

namespace {

constexpr uint32_t PD = 0x84;    // power device page
constexpr uint32_t BS = 0x85;    // battery system page
constexpr uint32_t P86 = 0x86;   // the power-device page of family 1
constexpr uint32_t VND = 0xFFFF; // vendor page

struct Ids {
  uint16_t vendor;
  uint16_t product;
  int32_t vendorUsage;  // -1: the device has none
};
constexpr Ids kIds[6] = {{0, 0, -1},
                         {0x1209, 0x041B, -1},
                         {0x09AE, 0x4004, 0x1234},
                         {0x09AE, 0x4004, 0x8001},
                         {0x1209, 0xA0FF, 0xA100},
                         {0x1209, 0xDD50, 0x4001}};

void FamilyOne(HidSimDevice& d) {
  d.AddFeature(1, P86, 0x40, 230);   // rated input voltage
  d.AddFeature(2, P86, 0x42, 50);    // rated frequency
  d.AddFeature(3, P86, 0x43, 1500);  // rated VA
  d.AddFeature(4, P86, 0x44, 24);    // rated battery voltage
  d.AddFeature(6, P86, 0x53, 170);   // low transfer voltage
  d.AddFeature(9, P86, 0x54, 280);   // high transfer voltage
  d.AddFeature(12, P86, 0x74, 1);    // voltage sensitivity
  d.AddFeature(13, P86, 0x75, 1);    // model string index
  d.AddFeature(15, P86, 0x7C, 12 << 4 | 4);  // firmware 12, class 4
  d.AddFeature(16, P86, 0x58, 1);    // test result
  d.AddFeature(17, P86, 0x5A, 1);    // audible alarm enabled
  d.AddFeature(21, P86, 0x57, -1);   // delay before shutdown
  d.AddFeature(22, P86, 0x56, -1);   // delay before start-up
  d.AddFeature(24, P86, 0x30, 2300); // input voltage
  d.AddFeature(25, P86, 0x32, 500);  // input frequency
  d.AddFeature(26, P86, 0x36, 298);  // temperature, K
  d.AddFeature(27, P86, 0x30, 2300); // output voltage
  d.AddFeature(29, P86, 0x34, 350);  // output power
  d.AddFeature(30, P86, 0x35, 23);   // load
  d.AddFeature(32, BS, 0x30, 270);   // battery voltage
  d.AddFeature(33, BS, 0x39, 100);   // charge
  d.AddFeature(34, P86, 0x21, 0);    // status bit field
  d.Add(1, 35, {{HidSimCode(BS, 0x42), HidSimCode(BS, 0x44), HidSimCode(BS, 0x45), HidSimCode(BS, 0x4B)}});
  d.Add(3, 35, {{HidSimCode(BS, 0x42), HidSimCode(BS, 0x44), HidSimCode(BS, 0x45), HidSimCode(BS, 0x4B)}});
  d.AddFeature(63, BS, 0x6C, 30);    // run time, minutes
  d.AddFeature(64, P86, 0x80, 1);    // ARB
  d.AddFeature(65, P86, 0x81, 0);    // UBD
  d.AddFeature(66, P86, 0x82, 1);    // ATT
  d.AddFeature(97, P86, 0x85, 0x03); // two switchable outlets
  d.AddFeature(98, P86, 0x86, 0);    // both on
  d.AddFeature(99, P86, 0x87, 0);    // outlet switch
}

void FamilyTwoToFive(HidSimDevice& d, int family) {
  d.AddFeature(1, PD, 0x40, 230);
  d.AddFeature(2, PD, 0x42, 50);
  d.AddFeature(3, PD, 0x43, 1500);
  d.AddFeature(6, PD, 0x53, 170);
  d.AddFeature(9, PD, 0x54, 280);
  d.AddFeature(13, VND, 0x75, 1);
  d.AddFeature(15, VND, 0x7C, 12 << 4 | 4);
  d.AddFeature(16, PD, 0x58, 1);
  d.AddFeature(17, PD, 0x5A, 1);
  d.AddFeature(21, PD, 0x57, -1);
  d.AddFeature(22, VND, 0x56, -1);
  d.AddFeature(25, PD, 0x32, 500);
  d.AddFeature(26, PD, 0x36, 298);
  d.AddFeature(27, PD, 0x30, 2300);
  d.AddFeature(30, PD, 0x35, 23);
  d.AddFeature(33, BS, 0x66, 100);
  // Present status: AC present (family 3's usage), overload, over
  // temperature, system on, boost, buck, awaiting power.
  d.Add(3, 34, {{HidSimCode(PD, 0x63), HidSimCode(PD, 0x65), HidSimCode(PD, 0x67), HidSimCode(PD, 0x6D),
                 HidSimCode(PD, 0x6E), HidSimCode(PD, 0x6F), HidSimCode(PD, 0x72)}});
  d.Set(34, PD, 0x63, 1, true);
  d.Set(34, PD, 0x6D, 1, true);
  d.AddFeature(49, PD, 0x30, 2300);
  // Battery status as an input report and a feature report: AC present,
  // charging, discharging, below limit, replace, UPS failure, shutdown imminent.
  const std::vector<uint32_t> status = {HidSimCode(BS, 0xD0), HidSimCode(BS, 0x44), HidSimCode(BS, 0x45),
                                        HidSimCode(BS, 0x42), HidSimCode(BS, 0x4B), HidSimCode(PD, 0x62),
                                        HidSimCode(PD, 0x69)};
  d.Add(1, 50, {status});
  d.Add(3, 50, {status});
  d.Set(50, BS, 0xD0, 1, true);
  d.AddFeature(53, BS, 0x68, 1800);  // run time, seconds
  d.AddFeature(65, VND, 0x81, 0);
  d.AddFeature(66, VND, 0x9B, 1);
  d.AddFeature(67, VND, 0x9C, 1);
  d.AddFeature(81, VND, 0x91, 0);    // output source
  d.AddFeature(99, VND, 0x61, 0);    // external battery packs
  if (family == 4) {
    d.AddFeature(138, VND, 0x95, 0);  // green mode
  } else {
    d.AddFeature(103, VND, 0x95, 0x03);
    d.AddFeature(104, VND, 0x96, 0);
    d.AddFeature(105, VND, 0x98, 0);
  }
  if (family == 2 || family == 3) d.AddFeature(137, VND, 0x69, 0);  // economy mode
}

}  // namespace

HidSimDevice HidSim_Family(int family) {
  if (family < 1 || family > 5) family = 1;
  HidSimDevice d(kIds[family].vendor, kIds[family].product);
  if (family == 1) FamilyOne(d);
  else FamilyTwoToFive(d, family);
  if (kIds[family].vendorUsage >= 0) d.AddFeature(108, VND, 0x7D, kIds[family].vendorUsage);
  d.strings[1] = "Sim UPS 1500";
  HidSim_ApplyState(d, family, "online");
  d.Refresh();
  return d;
}

bool HidSim_ApplyState(HidSimDevice& d, int family, const std::string& state) {
  const bool online = state == "online";
  const bool low = state == "battlow";
  if (!online && !low && state != "powerfail") return false;
  if (family == 1) {
    d.Set(34, P86, 0x21, online ? 0 : 1);  // bit 0: input failure
    d.Set(35, BS, 0x44, online ? 1 : 0);
    d.Set(35, BS, 0x45, online ? 0 : 1);
    d.Set(35, BS, 0x42, low ? 1 : 0);
    d.Set(33, BS, 0x39, online ? 100 : low ? 10 : 80);
    d.Set(63, BS, 0x6C, online ? 30 : low ? 2 : 20);
  } else {
    d.Set(50, BS, 0xD0, online ? 1 : 0);
    d.Set(34, PD, 0x63, online ? 1 : 0);
    d.Set(50, BS, 0x44, online ? 1 : 0);
    d.Set(50, BS, 0x45, online ? 0 : 1);
    d.Set(50, BS, 0x42, low ? 1 : 0);
    d.Set(33, BS, 0x66, online ? 100 : low ? 10 : 80);
    d.Set(53, BS, 0x68, online ? 1800 : low ? 120 : 1200);
  }
  return true;
}
