// Wake-on-LAN: magic packets to listed hosts when power returns and when
// the service starts. The host list is the [WOL] section of config.ini.
#pragma once
#include <cstdint>

constexpr int WOL_HOSTS = 255;

struct WolHost {
  char title[33];        // "Title" n
  uint8_t mac[6];        // "MAC" n
  uint8_t delay;         // "Delay" n, minutes
  uint8_t powerRestore;  // "Power Restore" n: wake when power returns
  uint8_t sysStartup;    // "Sys Startup" n: wake when the service starts
};

struct WolSettings {
  uint8_t hostCount;  // "WOL Num=", 0..255
  WolHost hosts[WOL_HOSTS];
};
extern WolSettings WolSetting;
