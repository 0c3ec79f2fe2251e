// The agent's own objects: the shutdown countdown and reactions under
// 1.3.6.1.4.1.32473.2.210 and the MIB-2 system group, registered in the OID
// registry at start-up and served by one object handler.
#pragma once
#include <cstdint>

#include "snmp/snmpagent.h"

constexpr int SNMP_MIB_OBJECTS = 25;

struct SnmpObjectRow {
  const char* oid;
  uint16_t id;
};
extern const SnmpObjectRow SnmpObjectTable[SNMP_MIB_OBJECTS];

// The shutdown countdown state the objects show (remaining seconds, -1 when
// none runs; owner, reaction index + 1, 0 when none) and whose cancel flag
// they set. It points at the reactions' own state once that module runs;
// until then at an idle countdown.
struct SnmpMibCountdownView {
  int32_t* remaining;
  uint8_t* owner;
  uint8_t* cancelFlag;
};
extern SnmpMibCountdownView SnmpMibCountdown;

// Registers the 25 objects in table order through the agent's register
// operation; 0 at the first that fails, else 1.
int SnmpMib_RegisterObjects();
// The object handler (SnmpObjectHandler).
int32_t SnmpMib_HandleObject(SnmpVarbind* varbind, uint8_t action);
