// Parsers and calculators of the system and network helpers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>

#include "core/helpers.h"
#include "core/svc.h"

namespace {

TEST(Helpers, ParseDate) {
  struct Case {
    const char* text;
    int order;
    int result;
    int month, day, year;  // checked when result is 3 or -1
  } cases[] = {
      {"2/30/2024", 1, 3, 2, 30, 24},   // the day is not checked against the month
      {"12/31/2099", 1, 3, 12, 31, 99},
      {"13/1/2024", 1, -1, 13, 1, 24},
      {"0/1/2024", 1, -1, 0, 1, 24},
      {"1/32/2024", 1, -1, 1, 32, 24},
      {"1/1/1999", 1, -1, 1, 1, 0},
      {"2024/2/29", 0, 3, 2, 29, 24},   // year/month/day order
      {"20240229", 1, 0, 0, 0, 0},      // no separator
      {"2/2024", 1, 1, 0, 0, 0},        // one separator
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TimeDate d {77, 77, 77};
    EXPECT_EQ(Time_ParseDate(c.text, &d, c.order), c.result);
    if (c.result == 3) {
      EXPECT_EQ(d.month, c.month);
      EXPECT_EQ(d.day, c.day);
      EXPECT_EQ(d.year, c.year);
    } else if (c.result == 0 || c.result == 1) {
      EXPECT_EQ(d.month, 77);  // untouched
    }
  }
}

TEST(Helpers, CalendarArithmetic) {
  EXPECT_EQ(Time_DaysInMonth(2024, 2), 29);
  EXPECT_EQ(Time_DaysInMonth(2023, 2), 28);
  EXPECT_EQ(Time_DaysInMonth(2100, 2), 28);
  EXPECT_EQ(Time_DaysInMonth(2000, 2), 29);
  EXPECT_EQ(Time_DaysInMonth(2024, 0), 30);
  EXPECT_EQ(Time_DaysInMonth(2024, 13), 30);
  EXPECT_EQ(Time_DaysInMonth(2024, 4), 30);
  EXPECT_EQ(Time_DaysInYear(2024), 366);
  EXPECT_EQ(Time_DayNumber(2000, 1, 1), 1);
  EXPECT_EQ(Time_DayNumber(2025, 1, 1) - Time_DayNumber(2024, 12, 31), 1);
  EXPECT_EQ(Time_DayNumber(2024, 3, 1) - Time_DayNumber(2024, 2, 28), 2);
}

TEST(Helpers, ParseHourMinute) {
  struct Case {
    const char* text;
    int ok;
    int hour, minute;
  } cases[] = {{"0:0", 1, 0, 0}, {"23:59", 1, 23, 59}, {"24:00", 0, 24, 0}, {"12:60", 0, 12, 60}, {"7:5", 1, 7, 5}};
  for (const Case& c : cases) {
    uint8_t h = 99, m = 99;
    EXPECT_EQ(Time_ParseHourMinute(c.text, &h, &m), c.ok) << c.text;
    EXPECT_EQ(h, c.hour) << c.text;
    EXPECT_EQ(m, c.minute) << c.text;
  }
  uint8_t h = 99, m = 99;
  EXPECT_EQ(Time_ParseHourMinute("1200", &h, &m), 0);
  EXPECT_EQ(h, 99);
}

TEST(Helpers, Macs) {
  struct Case {
    const char* text;
    bool ok;
    uint8_t mac[6];
  } cases[] = {
      {"00-1A-2b-3C-4D-5E", true, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},
      {"0-1-2-3-4-5", true, {0, 1, 2, 3, 4, 5}},
      {"FF-FF-FF-FF-FF-F", true, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
      {"00-11-22-33-44", false, {}},
      {"00:11:22:33:44:55", false, {}},
  };
  for (const Case& c : cases) {
    uint8_t mac[6] = {};
    const char* r = Net_ParseMac(mac, c.text);
    EXPECT_EQ(r != nullptr, c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(0, memcmp(mac, c.mac, 6)) << c.text;
    }
  }
  char out[18];
  const uint8_t mac[6] = {0x00, 0x1a, 0x2b, 0xff, 0x01, 0x10};
  Net_FormatMac(out, mac);
  EXPECT_STREQ(out, "00-1A-2B-FF-01-10");
}

TEST(Helpers, PrefixesAndHex) {
  uint8_t a[16], b[16];
  inet_pton(AF_INET6, "2001:db8::1", a);
  inet_pton(AF_INET6, "2001:db8::ffff", b);
  EXPECT_EQ(Net_PrefixEqual(a, 64, b), 1);
  EXPECT_EQ(Net_PrefixEqual(a, 128, b), 0);
  uint8_t c[4] = {192, 168, 1, 0x80}, d[4] = {192, 168, 1, 0xFF};
  EXPECT_EQ(Net_PrefixEqual(c, 25, d), 1);
  EXPECT_EQ(Net_PrefixEqual(c, 26, d), 0);
  EXPECT_EQ(Net_PrefixEqual(c, 0, d), 1);
  EXPECT_EQ(Net_ParseHex("1aZ", 3), 26u);
  EXPECT_EQ(Net_ParseHex("FF", 1), 15u);
  EXPECT_EQ(Net_ParseHex("", 2), 0u);
}

TEST(Helpers, AddressConversion) {
  uint8_t v4[4], v6[16];
  EXPECT_EQ(Net_PtonV4(v4, "10.1.2.3"), 1);
  EXPECT_EQ(Net_PtonV4(v4, "::1"), 0);
  EXPECT_EQ(Net_PtonV6(v6, "::1"), 1);
  char text[64];
  EXPECT_EQ(Net_Ntop(10, v6, text), 1);
  EXPECT_STREQ(text, "::1");
  EXPECT_EQ(Net_Ntop(99, v6, text), 0);
}

TEST(Helpers, InterfaceTableSkipsLoopbackAndCountsPrefixes) {
  NetInterface table[NET_MAX_INTERFACES];
  int32_t count = -1;
  int n = Net_GetInterfaces(table, &count);
  EXPECT_EQ(n, count);
  EXPECT_LE(n, NET_MAX_INTERFACES);
  for (int i = 0; i < n; ++i) {
    EXPECT_TRUE(table[i].family == 2 || table[i].family == 10);
    EXPECT_STRNE(table[i].address, "127.0.0.1");
    EXPECT_STRNE(table[i].address, "::1");
    EXPECT_GE(table[i].prefix, 0);
    EXPECT_LE(table[i].prefix, table[i].family == 2 ? 32 : 128);
  }
}

TEST(Helpers, OsDescriptionAndUptime) {
  wchar_t desc[128];
  EXPECT_EQ(Svc_GetOsDescription(desc, 128), 1);
  EXPECT_EQ(wcsncmp(desc, L"Linux, ", 7), 0);
  SvcSeconds = 3000000;  // past 2^31 ms: wraps, no signed overflow
  EXPECT_EQ(Svc_UptimeMs(), static_cast<int32_t>(3000000u * 1000u));
  SvcSeconds = 0;
  EXPECT_EQ(Svc_HasHtmlSpecial("plain text"), 0);
  for (const char* s : {"<", ">", "a&b", "it's", "\"q\""}) EXPECT_EQ(Svc_HasHtmlSpecial(s), 1) << s;
}

}  // namespace

#include "web/websess.h"

namespace {

TEST(Helpers, AccountLockCountdownAndFactoryPasswords) {
  struct {
    uint32_t lockLeft;
    uint16_t failed;
    uint32_t leftAfter;
    uint16_t failedAfter;
  } cases[] = {{3, 4, 0, 0}, {6, 2, 1, 2}, {0, 3, 0, 3}};
  for (int i = 0; i < WEB_ACCOUNTS; ++i) {
    WebAccounts[i].lockLeft = cases[i].lockLeft;
    WebAccounts[i].failedLogins = cases[i].failed;
  }
  Svc_AccountLockTick(5);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(WebAccounts[i].lockLeft, cases[i].leftAfter) << i;
    EXPECT_EQ(WebAccounts[i].failedLogins, cases[i].failedAfter) << i;
  }
  wcscpy(WebAccounts[0].password, L"brindlex");
  wcscpy(WebAccounts[1].password, L"brindlex2");
  wcscpy(WebAccounts[2].password, L"brindlex");
  EXPECT_EQ(Svc_DefaultPasswordMask(), 0b101);
}

}  // namespace
