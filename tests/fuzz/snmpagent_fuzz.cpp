// Fuzzes the agent's receive path: one datagram (at most the receive
// buffer's 2048 bytes, up to 10 messages) decoded, checked against the
// access list and the users, processed by the service's own objects and
// answered, as the receive step does it. The agent's engine id, users and
// access list match those the seed corpus was captured against
// (snmpagent_corpus.py), so the seeds reach past the security checks.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>

#include "core/cfg.h"
#include "core/crypt.h"
#include "core/helpers.h"
#include "core/svc.h"
#include "snmp/snmpagent.h"
#include "snmp/snmpmib.h"
#include "fuzz_support.h"

namespace {

void User(int i, const char* name, uint8_t security, const char* auth, const char* priv, uint8_t permission) {
  UsmUser& u = SnmpAgentSetting.users[i];
  u = UsmUser{};
  snprintf(u.name, sizeof u.name, "%s", name);
  u.security = security;
  snprintf(u.authPassword, sizeof u.authPassword, "%s", auth);
  snprintf(u.privPassword, sizeof u.privPassword, "%s", priv);
  u.permission = permission;
}

void Access(int i, const char* ip, const char* community, uint8_t permission) {
  SnmpAccessEntry& e = SnmpAgentSetting.access[i];
  snprintf(e.address, sizeof e.address, "%s", ip);
  snprintf(e.community, sizeof e.community, "%s", community);
  e.permission = permission;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The boots file goes to a directory in the fuzzer's working directory;
  // the SETs' saves of config.ini go to memory.
  static char dir[] = "snmpagent-fuzz-XXXXXX";
  if (!mkdtemp(dir)) abort();
  Svc_SetDirs(dir, dir);
  CfgSaveStandIn = Fuzz_SaveConfigInMemory;
  setlocale(LC_CTYPE, "C.UTF-8");
  Crypt_Init();
  Cfg_SetDefaults();
  SnmpAgentSetting.userCount = 3;
  User(0, "manager", 2, "mq530847", "tv817264", 2);
  User(1, "signer", 1, "signerpass", "", 2);
  User(2, "viewer", 0, "", "", 1);
  SnmpAgentSetting.accessCount = 2;
  Access(0, "0.0.0.0", "tambor", 1);
  Access(1, "::", "six", 2);
  NetInterfaceCount = 1;
  NetInterfaces[0] = NetInterface{2, "192.0.2.1", 24, {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01}};
  SnmpAgent_Init(SnmpMib_HandleObject);
  SnmpMib_RegisterObjects();
  SnmpEngineState.boots = 2;  // the capture ran at the daemon's second start
  return 0;
}

// The datagram from one loopback source of the family.
static void Receive(const uint8_t* data, size_t size, int family) {
  // An exact-size copy (the decoder writes into it): any read past the
  // datagram is caught.
  uint8_t* buf = static_cast<uint8_t*>(malloc(size ? size : 1));
  memcpy(buf, data, size);
  sockaddr_storage src{};
  if (family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(&src);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else {
    auto* a = reinterpret_cast<sockaddr_in6*>(&src);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
  }
  static uint8_t reply[SNMP_REPLY_SIZE];
  size_t off = 0;
  for (int k = 0; k < 10 && off < size; k++) {
    uint16_t used = 0, length = 0;
    int step = SnmpAgent_HandleMessage(buf + off, static_cast<uint16_t>(size - off), &used,
                                       reinterpret_cast<sockaddr*>(&src), family, reply, &length);
    if (length > SNMP_REPLY_SIZE - 1) abort();
    if (step != SNMP_STEP_NEXT || used == 0) break;
    off += used;
  }
  free(buf);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > SNMP_RECEIVE_SIZE) size = SNMP_RECEIVE_SIZE;
  Receive(data, size, AF_INET);
  Receive(data, size, AF_INET6);
  SnmpEngineState.time = 0;  // keep the captured requests inside the time window
  return 0;
}
