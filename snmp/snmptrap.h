// Trap sender: UPS events as SNMP traps to the configured receivers. The
// receiver list is the [SNMP Trap] section of config.ini.
#pragma once
#include <cstdint>

constexpr int TRAP_RECEIVERS = 255;

// Minimum event level of a receiver.
enum TrapReceiverLevel : uint8_t {
  TRAP_LEVEL_NONE = 0,
  TRAP_LEVEL_INFORMATION = 1,
  TRAP_LEVEL_WARNING = 2,
  TRAP_LEVEL_ALARM = 3,
  TRAP_LEVEL_SHUTDOWN_CLIENT = 4,  // gets every trap and is polled
};

struct TrapReceiver {
  uint16_t port;       // "Port" n: UDP port of the trap listener
  uint16_t ncPort;     // "NCPort" n: poll port of a network shutdown client
  uint8_t mib;         // "MIB" n: 1 second trap table, else the first
  uint8_t type;        // "Type" n: 0 SNMPv1, 1 SNMPv2c, 2 SNMPv3
  uint8_t level;       // "Level" n: TrapReceiverLevel
  char ip[52];         // "IP" n
  char user[17];       // "User" n: the SNMPv3 user
  char community[17];  // "Community" n
  uint8_t twice;       // "Twice" n: send every trap twice
};

extern TrapReceiver SnmpTrapReceivers[TRAP_RECEIVERS];
extern uint8_t SnmpTrapReceiverCount;  // "Number=", 0..255
