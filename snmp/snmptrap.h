// Trap sender: UPS events as SNMP traps to the configured receivers. The
// receiver list is the [SNMP Trap] section of config.ini.
#pragma once
#include <cstddef>
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

// ---- trap numbers ----------------------------------------------------------

constexpr int TRAP_EVENTS = 108;  // UPS event index e: 2i when status bit i began, 2i + 1 when it ended
// Trap number of event index e in the table of a receiver's MIB setting
// (1: the second table, OID branch 5; else the first, branch 4); 0 = no
// trap, also for an index outside the tables.
int32_t SnmpTrap_Number(uint8_t mib, int eventIndex);

// Generic trap kinds.
enum SnmpTrapKind : uint8_t {
  TRAP_KIND_COLD_START = 0,
  TRAP_KIND_WARM_START = 1,
  TRAP_KIND_ENTERPRISE = 6,
};

// An event level the trap sender does not know: every receiver of level 1
// to 4 gets the trap.
constexpr uint8_t TRAP_EVENT_LEVEL_UNKNOWN = 255;
// Level (0..3) of UPS event index e, for the dispatcher of the trap message;
// set by the event definitions once they are loaded. The default knows no
// levels.
extern uint8_t (*SnmpTrapEventLevel)(uint8_t eventIndex);

// ---- operations ------------------------------------------------------------

struct SnmpTrapOpsTable {
  void (*CloseSockets)();
  void (*OpenSockets)();
  void (*Unused2)();
  void (*SendToReceiver)(int receiver, const uint8_t* localAddress, int addressLength,
                         const uint32_t* enterprise, int enterpriseCount, uint8_t eventLevel);
};
extern SnmpTrapOpsTable SnmpTrapOps;

constexpr int SNMP_TRAP_BUFFER = 1024;

void SnmpTrap_Init();
void SnmpTrap_InitBuffers();
void SnmpTrap_OpenSockets();
void SnmpTrap_CloseSockets();
void SnmpTrap_Close();
// Sends the traps of one event (kind, level, UPS event index) to every receiver.
void SnmpTrap_SendEvent(uint8_t kind, uint8_t eventLevel, uint8_t eventIndex);
void SnmpTrap_SendToReceiver(int receiver, const uint8_t* localAddress, int addressLength,
                             const uint32_t* enterprise, int enterpriseCount, uint8_t eventLevel);
// Builds the current trap for the current receiver into out (*length: in
// the buffer size, out the message length); 1, or 0 when the SNMPv3 user is
// not configured or the trap does not fit.
int SnmpTrap_BuildMessage(const char* community, const uint8_t* localAddress, int addressLength,
                          const uint32_t* enterprise, int enterpriseCount, uint8_t* out, uint16_t* length);
void SnmpTrap_LocalizeUserKeys(int user, const uint8_t* engineId, uint16_t engineIdLength);

// Where the current trap goes and what it says; SnmpTrap_SendEvent sets it
// for each receiver (tests set it to build one trap).
struct SnmpTrapState {
  int32_t version;  // 0 SNMPv1, 1 SNMPv2c, 3 SNMPv3
  uint8_t kind;
  int32_t number;
  uint8_t branch;   // 4 or 5
  char user[17];    // SNMPv3 user name
};
extern SnmpTrapState SnmpTrapCurrent;
