// System pages: page variables and forms of the login page, the accounts,
// the system information, the web, SNMP, mail and SMS settings. The site
// texts are the [System] section of config.ini, the management switch the
// [Manageable] section.
#pragma once
#include <cstdint>
#include <cwchar>

struct WebSysInfo {
  wchar_t installDate[33];   // "Install Date="
  wchar_t location[65];      // "Location="
  wchar_t description[129];  // "Description="
  wchar_t contactor[33];     // "Contactor="
  wchar_t name[33];          // "Name="
};
extern WebSysInfo WebSysInfoText;

// "Enable=" of [Manageable]: management through the network on (1) or off.
extern int32_t WebSysManageable;
