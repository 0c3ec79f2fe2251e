// Trap sender.
#include "snmp/snmptrap.h"

TrapReceiver SnmpTrapReceivers[TRAP_RECEIVERS];
uint8_t SnmpTrapReceiverCount;
