// SNMP and trap pages: the device variable groups TRAP_ (the trap receiver
// rows) and NCS_NC_ (the network shutdown clients the poller watches), and
// the forms dev_snmpv1 (agent port), dev_iaccess (SNMPv1 access list),
// dev_snmpv3 (context name), dev_iusm (SNMPv3 users) and trap_iconfig
// (trap receivers). The records belong to the agent (snmp/snmpagent.h),
// the trap sender (snmp/snmptrap.h) and the poller (snmp/snmppoll.h); the
// forms edit them in place, keep the lists dense and save config.ini.
#pragma once

#include "web/webdev.h"

void WebSnmp_NcsVar(const WebDevVarCall& call);
void WebSnmp_TrapVar(const WebDevVarCall& call);

void WebSnmp_PortPage(HttpConn* conn);
void WebSnmp_AccessPage(HttpConn* conn);
void WebSnmp_ContextPage(HttpConn* conn);
void WebSnmp_UsmPage(HttpConn* conn);
void WebSnmp_TrapPage(HttpConn* conn);

// The management switch ("Enable=" of [Manageable], on the reaction page):
// off turns SNMPv3 user 1 off and keeps the permission it had in
// "Manager Permission=" (WebSysManagerPermission, saved with the switch);
// on gives it back that permission, never more (the permission of user 1
// is set only in config.ini). False when the user stays off: it was off
// already when management was switched off, so there is none to give back.
bool WebSnmp_SetManagement(bool on);
