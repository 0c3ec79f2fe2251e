// SNMP agent.
#include "snmp/snmpagent.h"

SnmpAgentSettings SnmpAgentSetting;
