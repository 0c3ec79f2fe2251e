// System and network helpers: the operating-system description, up-time,
// date and time parsing and day counting, address conversion, the local
// interface table, MAC texts, the HTML-character check and the web
// accounts' lock countdown and factory-password check. Plain functions.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cwchar>

struct TimeDate {
  uint8_t month;  // 1..12
  uint8_t day;    // 1..31
  uint8_t year;   // year - 2000
};

constexpr int NET_MAX_INTERFACES = 10;
struct NetInterface {
  int32_t family;      // 2 IPv4, 10 IPv6
  char address[52];
  int32_t prefix;
  uint8_t mac[6];
};
extern NetInterface NetInterfaces[NET_MAX_INTERFACES];
extern int32_t NetInterfaceCount;

int Svc_GetOsDescription(wchar_t* out, size_t n);
int32_t Svc_UptimeMs();
// 3 valid, -1 invalid, 0 no "/", 1 only one "/". order != 0: month/day/year.
int Time_ParseDate(const char* text, TimeDate* out, int order);
int Time_DaysInMonth(int year, int month);
int Time_DaysInYear(int year);
int Time_IsLeapYear(int year);
uint16_t Time_DayNumber(int year, int month, int day);
int Time_ParseHourMinute(const char* text, uint8_t* hour, uint8_t* minute);

int Net_PtonV4(uint8_t out[4], const char* text);
int Net_NtopV4(char out[16], const uint8_t address[4]);
int Net_PtonV6(uint8_t out[16], const char* text);
int Net_NtopV6(char* out, const uint8_t address[16], size_t outSize);
int Net_Ntop(int family, const void* address, char out[64]);
int Net_GetInterfaces(NetInterface* table, int32_t* count);
int Net_PrefixEqual(const uint8_t* a, int bits, const uint8_t* b);
uint32_t Net_ParseHex(const char* text, int n);
void Net_FormatMac(char* out, const uint8_t mac[6]);  // out holds at least 18 bytes
// Null when a "-" is missing before the sixth group, else the text after the MAC.
const char* Net_ParseMac(uint8_t mac[6], const char* text);

int Svc_HasHtmlSpecial(const char* text);
void Svc_AccountLockTick(uint32_t seconds);
int Svc_DefaultPasswordMask();
