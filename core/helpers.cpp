// System and network helpers.
#include "core/helpers.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "core/cfg.h"
#include "core/svc.h"
#include "web/websess.h"

NetInterface NetInterfaces[NET_MAX_INTERFACES];
int32_t NetInterfaceCount;

int Svc_GetOsDescription(wchar_t* out, size_t n) {
  if (!out || n == 0) return 0;
  struct utsname u;
  char full[320] = "";
  if (uname(&u) == 0)
    snprintf(full, sizeof full, "%s, %s, %s, %s", u.sysname, u.release, u.version, u.machine);
  char text[128];
  snprintf(text, sizeof text, "%.127s", full);
  // A description cut at 127 bytes may end inside a multibyte character:
  // shorten until the rest converts.
  size_t len = strlen(text);
  for (;;) {
    size_t r = mbstowcs(out, text, n);
    if (r != static_cast<size_t>(-1)) {
      out[r < n ? r : n - 1] = 0;
      break;
    }
    if (len == 0) {
      out[0] = 0;
      break;
    }
    text[--len] = 0;
  }
  return 1;
}

int32_t Svc_UptimeMs() {
  // Unsigned arithmetic: the product wraps instead of overflowing.
  return static_cast<int32_t>(static_cast<uint32_t>(SvcSeconds) * 1000u);
}

int Time_ParseDate(const char* text, TimeDate* out, int order) {
  if (!text) return 0;
  const char* s1 = strchr(text, '/');
  if (!s1) return 0;
  const char* s2 = strchr(s1 + 1, '/');
  if (!s2) return 1;
  int f1 = atoi(text), f2 = atoi(s1 + 1), f3 = atoi(s2 + 1);
  int month, day, year;
  if (order) {
    month = f1; day = f2; year = f3;
  } else {
    year = f1; month = f2; day = f3;
  }
  out->month = static_cast<uint8_t>(month);
  out->day = static_cast<uint8_t>(day);
  out->year = static_cast<uint8_t>(year - 2000);
  return (month >= 1 && month <= 12 && day >= 1 && day <= 31 && year >= 2000) ? 3 : -1;
}

int Time_IsLeapYear(int year) {
  return (year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)) ? 1 : 0;
}

int Time_DaysInYear(int year) { return Time_IsLeapYear(year) ? 366 : 365; }

int Time_DaysInMonth(int year, int month) {
  switch (month) {
    case 1: case 3: case 5: case 7: case 8: case 10: case 12: return 31;
    case 4: case 6: case 9: case 11: return 30;
    case 2: return Time_IsLeapYear(year) ? 29 : 28;
    default: return 30;
  }
}

uint16_t Time_DayNumber(int year, int month, int day) {
  unsigned days = 0;
  for (int y = 2000; y < year; ++y) days += static_cast<unsigned>(Time_DaysInYear(y));
  for (int m = 1; m < month && m <= 12; ++m) days += static_cast<unsigned>(Time_DaysInMonth(year, m));
  days += static_cast<unsigned>(day);
  return static_cast<uint16_t>(days);
}

int Time_ParseHourMinute(const char* text, uint8_t* hour, uint8_t* minute) {
  if (!text) return 0;
  const char* colon = strchr(text, ':');
  if (!colon) return 0;
  int h = atoi(text), m = atoi(colon + 1);
  *hour = static_cast<uint8_t>(h);
  *minute = static_cast<uint8_t>(m);
  return (h >= 0 && h <= 23 && m >= 0 && m < 60) ? 1 : 0;
}

int Net_PtonV4(uint8_t out[4], const char* text) {
  return text && inet_pton(AF_INET, text, out) == 1 ? 1 : 0;
}

int Net_NtopV4(char out[16], const uint8_t address[4]) {
  return inet_ntop(AF_INET, address, out, 16) ? 1 : 0;
}

int Net_PtonV6(uint8_t out[16], const char* text) {
  return text && inet_pton(AF_INET6, text, out) == 1 ? 1 : 0;
}

int Net_NtopV6(char* out, const uint8_t address[16], size_t outSize) {
  return inet_ntop(AF_INET6, address, out, static_cast<socklen_t>(outSize)) ? 1 : 0;
}

int Net_Ntop(int family, const void* address, char out[64]) {
  if (family == AF_INET) return inet_ntop(AF_INET, address, out, 64) ? 1 : 0;
  if (family == AF_INET6) return inet_ntop(AF_INET6, address, out, 64) ? 1 : 0;
  return 0;
}

namespace {

int PrefixOf(const uint8_t* mask, int bytes) {
  int bits = 0;
  for (int i = 0; i < bytes; ++i) {
    for (int b = 7; b >= 0; --b) {
      if (!(mask[i] & (1 << b))) return bits;
      ++bits;
    }
  }
  return bits;
}

void ReadMac(int family, const char* name, uint8_t mac[6]) {
  memset(mac, 0, 6);
  int s = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return;
  struct ifreq req {};
  snprintf(req.ifr_name, sizeof req.ifr_name, "%.15s", name);
  if (ioctl(s, SIOCGIFHWADDR, &req) == 0) memcpy(mac, req.ifr_hwaddr.sa_data, 6);
  close(s);
}

}  // namespace

int Net_GetInterfaces(NetInterface* table, int32_t* count) {
  int n = 0;
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (struct ifaddrs* e = list; e && n < NET_MAX_INTERFACES; e = e->ifa_next) {
      // Entries without an address or a netmask carry nothing to list.
      if (!e->ifa_addr || !e->ifa_netmask) continue;
      if ((e->ifa_flags & IFF_LOOPBACK) || !(e->ifa_flags & IFF_UP)) continue;
      int family = e->ifa_addr->sa_family;
      NetInterface& row = table[n];
      memset(&row, 0, sizeof row);
      if (family == AF_INET) {
        auto* a = reinterpret_cast<const sockaddr_in*>(e->ifa_addr);
        auto* m = reinterpret_cast<const sockaddr_in*>(e->ifa_netmask);
        inet_ntop(AF_INET, &a->sin_addr, row.address, 16);
        row.prefix = PrefixOf(reinterpret_cast<const uint8_t*>(&m->sin_addr), 4);
      } else if (family == AF_INET6) {
        auto* a = reinterpret_cast<const sockaddr_in6*>(e->ifa_addr);
        auto* m = reinterpret_cast<const sockaddr_in6*>(e->ifa_netmask);
        inet_ntop(AF_INET6, &a->sin6_addr, row.address, 46);
        row.prefix = PrefixOf(reinterpret_cast<const uint8_t*>(&m->sin6_addr), 16);
      } else {
        continue;
      }
      row.family = family;
      ReadMac(family, e->ifa_name, row.mac);
      ++n;
    }
    freeifaddrs(list);
  }
  if (count) *count = n;
  return n;
}

int Net_PrefixEqual(const uint8_t* a, int bits, const uint8_t* b) {
  if (bits <= 0) return 1;
  int whole = bits / 8;
  if (memcmp(a, b, static_cast<size_t>(whole)) != 0) return 0;
  int rest = bits % 8;
  if (rest == 0) return 1;
  uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
  return (a[whole] & mask) == (b[whole] & mask) ? 1 : 0;
}

uint32_t Net_ParseHex(const char* text, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n && text[i]; ++i) {
    char c = text[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else break;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  return v;
}

void Net_FormatMac(char* out, const uint8_t mac[6]) {
  snprintf(out, 18, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
}

const char* Net_ParseMac(uint8_t mac[6], const char* text) {
  if (!text) return nullptr;
  const char* p = text;
  for (int i = 0; i < 6; ++i) {
    if (i > 0) {
      if (*p != '-') return nullptr;
      ++p;
    }
    int digits = (p[0] && p[1] == '-') ? 1 : 2;
    mac[i] = static_cast<uint8_t>(Net_ParseHex(p, digits));
    for (int k = 0; k < digits && *p; ++k) ++p;
  }
  return p;
}

int Svc_HasHtmlSpecial(const char* text) {
  return text && strpbrk(text, "<>&'\"") ? 1 : 0;
}

void Svc_AccountLockTick(uint32_t seconds) {
  for (WebAccount& a : WebAccounts) {
    if (a.lockLeft == 0) continue;
    if (seconds < a.lockLeft) {
      a.lockLeft -= seconds;
    } else {
      a.lockLeft = 0;
      a.failedLogins = 0;
    }
  }
}

int Svc_DefaultPasswordMask() {
  int mask = 0;
  for (int i = 0; i < WEB_ACCOUNTS; ++i) {
    char text[65];
    Cfg_WideToText(text, sizeof text, WebAccounts[i].password);
    if (strcmp(text, "brindlex") == 0) mask |= 1 << i;
  }
  return mask;
}
