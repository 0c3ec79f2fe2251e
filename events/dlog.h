// Data log of UPS measurements with its periodic CSV export. Its settings
// are the [Data Log] section of config.ini.
#pragma once
#include <cstdint>
#include <cwchar>

constexpr int DLOG_PATH_CHARS = 256;

struct DLogSettings {
  uint16_t maxStorage;    // "Maximum Storage=": months kept; 0 turns the data log off
  uint8_t exportPeriod;   // "Export Period=": minutes between CSV lines; 0 none
  wchar_t exportPath[DLOG_PATH_CHARS + 1];  // "Export Path=": directory prefix with its "/"
};
extern DLogSettings DLogSetting;
