// Trap sender.
#include "snmp/snmptrap.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/crypt.h"
#include "core/helpers.h"
#include "snmp/ber.h"
#include "snmp/snmpagent.h"

TrapReceiver SnmpTrapReceivers[TRAP_RECEIVERS];
uint8_t SnmpTrapReceiverCount;

SnmpTrapOpsTable SnmpTrapOps;
SnmpTrapState SnmpTrapCurrent;

namespace {

// Status bit, then the trap numbers at its beginning and end in the first
// and in the second table.
struct TrapRow {
  int bit;
  int32_t v4Begin, v4End, v5Begin, v5End;
};
constexpr TrapRow kTrapRows[] = {
    {0, 33, 34, 26, 27},  {1, 3, 4, 3, 4},      {3, 21, 22, 17, 18},  {5, 0, 0, 30, 31},
    {6, 0, 0, 32, 33},    {7, 0, 0, 34, 35},    {8, 0, 0, 36, 37},    {9, 0, 0, 38, 39},
    {10, 19, 20, 15, 16}, {11, 13, 14, 9, 10},  {16, 0, 0, 40, 41},   {17, 25, 26, 19, 20},
    {18, 48, 49, 24, 25}, {20, 15, 16, 11, 12}, {23, 0, 0, 42, 43},   {24, 0, 0, 44, 45},
    {28, 5, 6, 5, 6},     {29, 5, 6, 46, 47},   {30, 52, 53, 28, 29}, {31, 17, 47, 13, 0},
    {32, 18, 19, 14, 23}, {34, 0, 0, 7, 8},     {35, 0, 0, 48, 49},   {38, 11, 12, 0, 0},
    {39, 11, 12, 0, 0},   {45, 0, 0, 50, 51},   {46, 1, 2, 1, 2},     {48, 45, 46, 21, 22},
    {51, 0, 0, 54, 55},
};

struct TrapTables {
  int32_t t[2][TRAP_EVENTS];
};
constexpr TrapTables MakeTables() {
  TrapTables tables{};
  for (const auto& r : kTrapRows) {
    tables.t[0][2 * r.bit] = r.v4Begin;
    tables.t[0][2 * r.bit + 1] = r.v4End;
    tables.t[1][2 * r.bit] = r.v5Begin;
    tables.t[1][2 * r.bit + 1] = r.v5End;
  }
  return tables;
}
constexpr TrapTables kTables = MakeTables();

const uint32_t kEnterprise[] = {1, 3, 6, 1, 4, 1, 32473, 2};
const uint32_t kSysUpTime0[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
const uint32_t kSnmpTrapOid0[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};

int g_sock4 = -1, g_sock6 = -1;
Md5Context g_md5;
uint8_t g_authKey[16], g_privKey[16];

uint8_t NoLevel(uint8_t) { return TRAP_EVENT_LEVEL_UNKNOWN; }

// The SNMPv1 agent-addr: the local IPv4 address, or for a trap sent over
// IPv6 the first IPv4 address of the host (0.0.0.0 when it has none).
void AgentAddress(const uint8_t* local, int length, uint8_t out[4]) {
  memset(out, 0, 4);
  if (length == 4) {
    memcpy(out, local, 4);
    return;
  }
  for (int i = 0; i < NetInterfaceCount && i < NET_MAX_INTERFACES; i++)
    if (Net_PtonV4(out, NetInterfaces[i].address)) return;
  memset(out, 0, 4);
}

int FindUser(const char* name) {
  int count = SnmpAgentSetting.userCount < SNMP_USM_USERS ? SnmpAgentSetting.userCount : SNMP_USM_USERS;
  for (int i = 0; i < count; i++)
    if (name[0] && strncmp(SnmpAgentSetting.users[i].name, name, sizeof SnmpAgentSetting.users[i].name) == 0)
      return SnmpAgent_UserHasPasswords(SnmpAgentSetting.users[i]) ? i : -1;
  return -1;
}

}  // namespace

int32_t SnmpTrap_Number(uint8_t mib, int eventIndex) {
  if (eventIndex < 0 || eventIndex >= TRAP_EVENTS) return 0;
  return kTables.t[mib == 1 ? 1 : 0][eventIndex];
}

uint8_t (*SnmpTrapEventLevel)(uint8_t eventIndex) = NoLevel;

void SnmpTrap_InitBuffers() {
  SnmpTrapCurrent = SnmpTrapState{};
  SnmpTrapCurrent.branch = 4;
}

void SnmpTrap_Init() {
  SnmpTrap_InitBuffers();
  SnmpTrapOps = SnmpTrapOpsTable{SnmpTrap_CloseSockets, SnmpTrap_OpenSockets, nullptr, SnmpTrap_SendToReceiver};
}

void SnmpTrap_OpenSockets() {
  if (g_sock4 < 0) g_sock4 = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (g_sock6 < 0) g_sock6 = socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

void SnmpTrap_CloseSockets() {
  if (g_sock4 >= 0) close(g_sock4);
  if (g_sock6 >= 0) close(g_sock6);
  g_sock4 = g_sock6 = -1;
}

void SnmpTrap_Close() { SnmpTrap_CloseSockets(); }

void SnmpTrap_LocalizeUserKeys(int user, const uint8_t* engineId, uint16_t engineIdLength) {
  const UsmUser& u = SnmpAgentSetting.users[user];
  CryptOps.Usm_PasswordToKeyMd5(&g_md5, g_privKey, reinterpret_cast<const uint8_t*>(u.privPassword),
                                static_cast<uint8_t>(strnlen(u.privPassword, 16)), engineId, engineIdLength);
  CryptOps.Usm_PasswordToKeyMd5(&g_md5, g_authKey, reinterpret_cast<const uint8_t*>(u.authPassword),
                                static_cast<uint8_t>(strnlen(u.authPassword, 16)), engineId, engineIdLength);
}

int SnmpTrap_BuildMessage(const char* community, const uint8_t* localAddress, int addressLength,
                          const uint32_t* enterprise, int enterpriseCount, uint8_t* out, uint16_t* length) {
  const SnmpTrapState& t = SnmpTrapCurrent;
  int user = -1;
  if (t.version == 3 && (user = FindUser(t.user)) < 0) return 0;
  if (enterpriseCount < 0 || enterpriseCount > 16) return 0;

  uint32_t time = static_cast<uint32_t>(Svc_UptimeMs()) / 10;
  uint32_t ent[20];
  memcpy(ent, enterprise, enterpriseCount * sizeof(uint32_t));
  ent[enterpriseCount] = t.branch;
  ent[enterpriseCount + 1] = 20;
  uint16_t entCount = static_cast<uint16_t>(enterpriseCount + 2);
  uint16_t communityLength = static_cast<uint16_t>(strnlen(community, 16));

  BerBuilder b = Ber_Builder(out, *length);
  uint16_t pduMark = Ber_Mark(b);
  if (t.version == 0) {
    Ber_PutHeader(&b, BER_SEQUENCE, Ber_Mark(b));  // no varbinds
    Ber_PutInteger(&b, time, BER_TIMETICKS);
    Ber_PutInteger(&b, t.number, BER_INTEGER);
    Ber_PutInteger(&b, t.kind, BER_INTEGER);
    uint8_t addr[4];
    AgentAddress(localAddress, addressLength, addr);
    Ber_PutOctets(&b, BER_IPADDRESS, addr, 4);
    Ber_PutOid(&b, ent, entCount);
    Ber_PutHeader(&b, BER_PDU_TRAP_V1, pduMark);
    Ber_PutOctets(&b, BER_OCTET_STRING, reinterpret_cast<const uint8_t*>(community), communityLength);
    Ber_PutInteger(&b, 0, BER_INTEGER);
    Ber_PutHeader(&b, BER_SEQUENCE, 0);
    *length = Ber_Finish(&b);
    return *length != 0;
  }

  // SNMPv2-Trap: sysUpTime.0 and snmpTrapOID.0.
  uint32_t trapOid[24];
  uint16_t trapCount;
  if (t.kind < TRAP_KIND_ENTERPRISE) {
    const uint32_t generic[] = {1, 3, 6, 1, 6, 3, 1, 1, 5};
    memcpy(trapOid, generic, sizeof generic);
    trapOid[9] = t.kind + 1u;  // coldStart 1, warmStart 2 (RFC 3584)
    trapCount = 10;
  } else {
    memcpy(trapOid, ent, entCount * sizeof(uint32_t));
    trapOid[entCount] = static_cast<uint32_t>(t.number);
    trapOid[entCount + 1] = 0;
    trapCount = static_cast<uint16_t>(entCount + 2);
  }
  uint16_t listMark = Ber_Mark(b);
  uint16_t vbMark = Ber_Mark(b);
  Ber_PutOid(&b, trapOid, trapCount);
  Ber_PutOid(&b, kSnmpTrapOid0, 11);
  Ber_PutHeader(&b, BER_SEQUENCE, vbMark);
  vbMark = Ber_Mark(b);
  Ber_PutInteger(&b, time, BER_TIMETICKS);
  Ber_PutOid(&b, kSysUpTime0, 9);
  Ber_PutHeader(&b, BER_SEQUENCE, vbMark);
  Ber_PutHeader(&b, BER_SEQUENCE, listMark);
  Ber_PutInteger(&b, 0, BER_INTEGER);
  Ber_PutInteger(&b, 0, BER_INTEGER);
  Ber_PutInteger(&b, 1005, BER_INTEGER);
  Ber_PutHeader(&b, BER_PDU_TRAP_V2, pduMark);
  if (t.version == 1) {
    Ber_PutOctets(&b, BER_OCTET_STRING, reinterpret_cast<const uint8_t*>(community), communityLength);
    Ber_PutInteger(&b, 1, BER_INTEGER);
    Ber_PutHeader(&b, BER_SEQUENCE, 0);
    *length = Ber_Finish(&b);
    return *length != 0;
  }

  // SNMPv3: scoped PDU, secured with the user's keys against our engine id.
  const UsmUser& u = SnmpAgentSetting.users[user];
  Ber_PutOctets(&b, BER_OCTET_STRING, reinterpret_cast<const uint8_t*>(SnmpAgentSetting.contextName),
                static_cast<uint16_t>(strnlen(SnmpAgentSetting.contextName, 16)));
  Ber_PutOctets(&b, BER_OCTET_STRING, SnmpEngineState.id, SNMP_ENGINE_ID_LENGTH);
  Ber_PutHeader(&b, BER_SEQUENCE, 0);
  SnmpTrap_LocalizeUserKeys(user, SnmpEngineState.id, SNMP_ENGINE_ID_LENGTH);
  SnmpUsmOut usm{};
  usm.msgId = 1;
  usm.msgMaxSize = SNMP_TRAP_BUFFER;
  usm.securityModel = 3;
  usm.flags = u.security == 1 ? SNMP_FLAG_AUTH : u.security == 2 ? SNMP_FLAG_AUTH | SNMP_FLAG_PRIV : 0;
  usm.userName = reinterpret_cast<const uint8_t*>(u.name);
  usm.userNameLength = static_cast<uint16_t>(strnlen(u.name, 16));
  usm.authKey = g_authKey;
  usm.privKey = g_privKey;
  *length = SnmpAgent_FinishV3(&b, &usm);
  return *length != 0;
}

void SnmpTrap_SendToReceiver(int receiver, const uint8_t* localAddress, int addressLength,
                             const uint32_t* enterprise, int enterpriseCount, uint8_t eventLevel) {
  if (SnmpTrapReceiverCount == 0 || receiver < 0 || receiver >= SnmpTrapReceiverCount) return;
  const TrapReceiver& r = SnmpTrapReceivers[receiver];
  bool admitted = r.level == TRAP_LEVEL_SHUTDOWN_CLIENT ||
                  (r.level >= TRAP_LEVEL_INFORMATION && r.level <= TRAP_LEVEL_ALARM &&
                   (eventLevel == TRAP_EVENT_LEVEL_UNKNOWN || r.level <= eventLevel));
  if (!admitted) return;
  uint8_t buffer[SNMP_TRAP_BUFFER];
  uint16_t length = sizeof buffer;
  if (!SnmpTrap_BuildMessage(r.community, localAddress, addressLength, enterprise, enterpriseCount, buffer,
                             &length))
    return;
  if (addressLength == 4) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(r.port);
    if (g_sock4 < 0 || !Net_PtonV4(reinterpret_cast<uint8_t*>(&to.sin_addr), r.ip)) return;
    sendto(g_sock4, buffer, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  } else {
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(r.port);
    if (g_sock6 < 0 || !Net_PtonV6(reinterpret_cast<uint8_t*>(&to.sin6_addr), r.ip)) return;
    sendto(g_sock6, buffer, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
}

void SnmpTrap_SendEvent(uint8_t kind, uint8_t eventLevel, uint8_t eventIndex) {
  // The index is checked before any table is read.
  if (eventIndex >= TRAP_EVENTS) return;
  for (int i = 0; i < SnmpTrapReceiverCount; i++) {
    const TrapReceiver& r = SnmpTrapReceivers[i];
    if (r.type > 2) continue;  // no such SNMP version
    SnmpTrapCurrent.version = r.type == 2 ? 3 : r.type;
    SnmpTrapCurrent.kind = kind;
    snprintf(SnmpTrapCurrent.user, sizeof SnmpTrapCurrent.user, "%s", r.user);
    SnmpTrapCurrent.branch = r.mib == 1 ? 5 : 4;
    SnmpTrapCurrent.number = SnmpTrap_Number(r.mib, eventIndex);
    if (SnmpTrapCurrent.number == 0) continue;
    uint8_t dest[16];
    int length = Net_PtonV4(dest, r.ip) ? 4 : Net_PtonV6(dest, r.ip) ? 16 : 0;
    if (length == 0) continue;
    for (int k = 0; k < NetInterfaceCount && k < NET_MAX_INTERFACES; k++) {
      uint8_t local[16];
      int ok = length == 4 ? Net_PtonV4(local, NetInterfaces[k].address) : Net_PtonV6(local, NetInterfaces[k].address);
      if (!ok) continue;
      SnmpTrap_SendToReceiver(i, local, length, kEnterprise, 8, eventLevel);
      if (r.twice) SnmpTrap_SendToReceiver(i, local, length, kEnterprise, 8, eventLevel);
    }
  }
}
