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

// ---- operations ------------------------------------------------------------

constexpr int WOL_PACKET_SIZE = 102;
constexpr uint16_t WOL_PORT = 23240;

// Why hosts are armed.
enum WolArmReason : int {
  WOL_ARM_POWER_RESTORE = 0,  // "Power Restore": the power came back
  WOL_ARM_STARTUP = 1,        // "Sys Startup": the service started
};

struct WolOpsTable {
  void (*Close)();
  // Opens the broadcast socket when it is closed (every 5 seconds).
  void (*Open)();
  // The per-second countdown; a countdown that ends sends its host's packet.
  void (*Tick)();
  void (*Arm)(int reason);
};
extern WolOpsTable WolOps;

// Seconds left per host; 0 = idle.
extern int32_t WolCountdown[WOL_HOSTS];

// Where the packets go: the IPv4 limited broadcast address, UDP port 23240.
// Tests point it at a receiver on the loopback.
extern uint32_t WolDestAddress;  // network byte order
extern uint16_t WolDestPort;     // host byte order

// Clears the settings and the countdowns, and fills WolOps (before config.ini is read).
void Wol_Init();
void Wol_Exit();
// The magic packet: six 0xFF bytes, then the MAC address 16 times.
void Wol_BuildMagic(uint8_t out[WOL_PACKET_SIZE], const uint8_t mac[6]);
