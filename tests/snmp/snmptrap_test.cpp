// Trap sender: trap tables, receiver filters, the three message forms and
// the per-interface sending, received on loopback sockets.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include "core/crypt.h"
#include "core/helpers.h"
#include "core/svc.h"
#include "snmp/snmpagent.h"
#include "snmp/snmptrap.h"
#include "snmpwire.h"
#include "support/scratch.h"

using namespace wire;

namespace {

int32_t NoHandler(SnmpVarbind*, uint8_t) { return SNMP_ERR_NO_SUCH_NAME; }

// A UDP listener on a loopback address; collects what arrives.
struct Listener {
  int fd = -1;
  uint16_t port = 0;
  explicit Listener(int family) {
    fd = socket(family, SOCK_DGRAM, 0);
    sockaddr_storage ss{};
    socklen_t len;
    if (family == AF_INET) {
      auto* a = reinterpret_cast<sockaddr_in*>(&ss);
      a->sin_family = AF_INET;
      a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof *a;
    } else {
      auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
      a->sin6_family = AF_INET6;
      a->sin6_addr = in6addr_loopback;
      len = sizeof *a;
    }
    bind(fd, reinterpret_cast<sockaddr*>(&ss), len);
    getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&ss)->sin_port
                                   : reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  }
  ~Listener() { close(fd); }
  std::vector<Bytes> Drain() {
    std::vector<Bytes> out;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 50) > 0) {
      uint8_t buf[2048];
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.emplace_back(buf, buf + n);
    }
    return out;
  }
};

class SnmpTrapTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    Crypt_Init();
    SnmpAgentSetting = SnmpAgentSettings{};
    snprintf(SnmpAgentSetting.contextName, sizeof SnmpAgentSetting.contextName, "ctx123");
    AddUser("manager", 2, "mq530847", "tv817264");
    AddUser("signer", 1, "signerpass", "");
    NetInterfaceCount = 1;
    NetInterfaces[0] = NetInterface{2, "127.0.0.1", 8, {0x02, 0, 0, 0, 0, 0x07}};
    SnmpAgent_Init(NoHandler);
    SnmpTrap_Init();
    SnmpTrap_OpenSockets();
    SnmpTrapReceiverCount = 0;
    SnmpTrapEventLevel = [](uint8_t) -> uint8_t { return TRAP_EVENT_LEVEL_UNKNOWN; };
    SvcSeconds = 6;
  }
  void TearDown() override {
    SnmpTrap_Close();
    NetInterfaceCount = 0;
    SvcSeconds = 0;
    ScratchTest::TearDown();
  }
  void AddUser(const char* name, uint8_t security, const char* auth, const char* priv) {
    UsmUser& u = SnmpAgentSetting.users[SnmpAgentSetting.userCount++];
    u = UsmUser{};
    snprintf(u.name, sizeof u.name, "%s", name);
    u.security = security;
    snprintf(u.authPassword, sizeof u.authPassword, "%s", auth);
    snprintf(u.privPassword, sizeof u.privPassword, "%s", priv);
    u.permission = 2;
  }
  TrapReceiver& AddReceiver(const char* ip, uint16_t port, uint8_t type, uint8_t mib, uint8_t level,
                            const char* community = "public", const char* user = "") {
    TrapReceiver& r = SnmpTrapReceivers[SnmpTrapReceiverCount++];
    r = TrapReceiver{};
    snprintf(r.ip, sizeof r.ip, "%s", ip);
    r.port = port;
    r.type = type;
    r.mib = mib;
    r.level = level;
    snprintf(r.community, sizeof r.community, "%s", community);
    snprintf(r.user, sizeof r.user, "%s", user);
    return r;
  }
};

}  // namespace

TEST_F(SnmpTrapTest, TrapNumberTables) {
  struct Row {
    int index;
    int32_t v4, v5;
  } rows[] = {
      {0, 33, 26},  {1, 34, 27},  {2, 3, 3},    {3, 4, 4},    {4, 0, 0},    {6, 21, 17},
      {10, 0, 30},  {12, 0, 32},  {13, 0, 33},  {22, 13, 9},  {36, 48, 24}, {56, 5, 5},
      {57, 6, 6},   {58, 5, 46},  {59, 6, 47},  {62, 17, 13}, {63, 47, 0},  {64, 18, 14},
      {65, 19, 23}, {76, 11, 0},  {79, 12, 0},  {92, 1, 1},   {93, 2, 2},   {96, 45, 21},
      {102, 0, 54}, {103, 0, 55}, {106, 0, 0},  {107, 0, 0},  {108, 0, 0},  {-1, 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.index);
    EXPECT_EQ(SnmpTrap_Number(0, row.index), row.v4);
    EXPECT_EQ(SnmpTrap_Number(7, row.index), row.v4);  // any MIB value but 1 is the first table
    EXPECT_EQ(SnmpTrap_Number(1, row.index), row.v5);
  }
  int used4 = 0, used5 = 0;
  for (int e = 0; e < TRAP_EVENTS; e++) {
    used4 += SnmpTrap_Number(0, e) != 0;
    used5 += SnmpTrap_Number(1, e) != 0;
  }
  EXPECT_EQ(used4, 34);
  EXPECT_EQ(used5, 53);
}

TEST_F(SnmpTrapTest, ColdStartAsSnmpV1AndV2c) {
  Listener l(AF_INET);
  AddReceiver("127.0.0.1", l.port, 0, 0, 4, "alpha");
  AddReceiver("127.0.0.1", l.port, 0, 1, 4, "beta");
  AddReceiver("127.0.0.1", l.port, 1, 0, 4, "gamma");
  SnmpTrap_SendEvent(TRAP_KIND_COLD_START, 0, 0);
  auto got = l.Drain();
  ASSERT_EQ(got.size(), 3u);
  Parsed v4 = Parse(got[0]), v5 = Parse(got[1]), v2 = Parse(got[2]);
  ASSERT_TRUE(v4.ok && v5.ok && v2.ok);
  EXPECT_EQ(v4.version, 0);
  EXPECT_EQ(v4.community, "alpha");
  EXPECT_EQ(v4.pduTag, BER_PDU_TRAP_V1);
  EXPECT_EQ(OidText(v4.enterprise), "1.3.6.1.4.1.32473.2.4.20");
  EXPECT_EQ(Hex(v4.agentAddr), "7F 00 00 01");
  EXPECT_EQ(v4.generic, 0);
  EXPECT_EQ(v4.specific, 33);
  EXPECT_EQ(v4.timestamp, 600);
  EXPECT_TRUE(v4.varbinds.empty());
  EXPECT_EQ(v5.community, "beta");
  EXPECT_EQ(OidText(v5.enterprise), "1.3.6.1.4.1.32473.2.5.20");
  EXPECT_EQ(v5.specific, 26);
  EXPECT_EQ(v2.version, 1);
  EXPECT_EQ(v2.community, "gamma");
  EXPECT_EQ(v2.pduTag, BER_PDU_TRAP_V2);
  EXPECT_EQ(v2.requestId, 1005);
  ASSERT_EQ(v2.varbinds.size(), 2u);
  EXPECT_EQ(OidText(v2.varbinds[0].name), "1.3.6.1.2.1.1.3.0");
  EXPECT_EQ(v2.varbinds[0].tag, BER_TIMETICKS);
  EXPECT_EQ(v2.varbinds[0].Integer(), 600);
  EXPECT_EQ(OidText(v2.varbinds[1].name), "1.3.6.1.6.3.1.1.4.1.0");
  ASSERT_EQ(v2.varbinds[1].tag, BER_OID);
  uint32_t buf[BER_OID_MAX];
  BerOid oid{0, buf};
  ASSERT_EQ(Ber_DecodeOid(v2.varbinds[1].content.data(), &oid, static_cast<uint16_t>(v2.varbinds[1].content.size())), 1);
  EXPECT_EQ(OidText(Oid(buf, buf + oid.count)), "1.3.6.1.6.3.1.1.5.1");
}

TEST_F(SnmpTrapTest, EnterpriseTrapOidsAndTables) {
  Listener l(AF_INET);
  AddReceiver("127.0.0.1", l.port, 1, 0, 4);  // UPSv4
  AddReceiver("127.0.0.1", l.port, 1, 1, 4);  // UPSv5
  SnmpTrap_SendEvent(TRAP_KIND_ENTERPRISE, 3, 2);  // AC input failure began
  auto got = l.Drain();
  ASSERT_EQ(got.size(), 2u);
  for (int i = 0; i < 2; i++) {
    Parsed p = Parse(got[i]);
    ASSERT_EQ(p.varbinds.size(), 2u);
    uint32_t buf[BER_OID_MAX];
    BerOid oid{0, buf};
    Ber_DecodeOid(p.varbinds[1].content.data(), &oid, static_cast<uint16_t>(p.varbinds[1].content.size()));
    EXPECT_EQ(OidText(Oid(buf, buf + oid.count)), i ? "1.3.6.1.4.1.32473.2.5.20.3.0" : "1.3.6.1.4.1.32473.2.4.20.3.0");
  }
  // Bit 6 beginning exists only in the second table.
  SnmpTrap_SendEvent(TRAP_KIND_ENTERPRISE, 3, 12);
  got = l.Drain();
  ASSERT_EQ(got.size(), 1u);
  // Out-of-range indexes send nothing.
  SnmpTrap_SendEvent(TRAP_KIND_ENTERPRISE, 3, 108);
  SnmpTrap_SendEvent(TRAP_KIND_ENTERPRISE, 3, 255);
  EXPECT_TRUE(l.Drain().empty());
}

TEST_F(SnmpTrapTest, ReceiverLevelFilter) {
  Listener l(AF_INET);
  // One receiver per level 0..4, each on its own community.
  const char* names[] = {"l0", "l1", "l2", "l3", "l4"};
  for (uint8_t lvl = 0; lvl <= 4; lvl++) AddReceiver("127.0.0.1", l.port, 1, 0, lvl, names[lvl]);
  struct Row {
    uint8_t eventLevel;
    std::vector<std::string> receivers;
  } rows[] = {
      {0, {"l4"}},
      {1, {"l1", "l4"}},
      {2, {"l1", "l2", "l4"}},
      {3, {"l1", "l2", "l3", "l4"}},
      {TRAP_EVENT_LEVEL_UNKNOWN, {"l1", "l2", "l3", "l4"}},  // no event definitions yet: send
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.eventLevel);
    SnmpTrap_SendEvent(TRAP_KIND_ENTERPRISE, row.eventLevel, 2);
    std::vector<std::string> got;
    for (const auto& m : l.Drain()) got.push_back(Parse(m).community);
    EXPECT_EQ(got, row.receivers);
  }
}

TEST_F(SnmpTrapTest, OneTrapPerLocalAddressOfTheFamily) {
  Listener l4(AF_INET), l6(AF_INET6);
  NetInterfaceCount = 3;
  NetInterfaces[1] = NetInterface{2, "127.0.0.2", 8, {}};
  NetInterfaces[2] = NetInterface{10, "::1", 128, {}};
  TrapReceiver& twice = AddReceiver("127.0.0.1", l4.port, 0, 0, 4, "v4");
  twice.twice = 1;
  AddReceiver("::1", l6.port, 0, 0, 4, "v6");
  AddReceiver("not-an-address", l4.port, 0, 0, 4, "bad");
  AddReceiver("127.0.0.1", l4.port, 3, 0, 4, "type3");  // no such version
  SnmpTrap_SendEvent(TRAP_KIND_ENTERPRISE, 3, 2);
  std::vector<std::string> addrs;
  for (const auto& m : l4.Drain()) {
    Parsed p = Parse(m);
    EXPECT_EQ(p.community, "v4");
    addrs.push_back(Hex(p.agentAddr));
  }
  EXPECT_EQ(addrs, (std::vector<std::string>{"7F 00 00 01", "7F 00 00 01", "7F 00 00 02", "7F 00 00 02"}));
  // The IPv6 trap carries a 4-byte agent-addr: the host's first IPv4 address.
  auto v6 = l6.Drain();
  ASSERT_EQ(v6.size(), 1u);
  EXPECT_EQ(Hex(Parse(v6[0]).agentAddr), "7F 00 00 01");
  // Without an IPv6 address the IPv6 receiver gets nothing.
  NetInterfaceCount = 2;
  SnmpTrap_SendEvent(TRAP_KIND_ENTERPRISE, 3, 2);
  EXPECT_TRUE(l6.Drain().empty());
  EXPECT_EQ(l4.Drain().size(), 4u);
}

TEST_F(SnmpTrapTest, SnmpV3TrapsAreSecuredWithTheUsersKeys) {
  Listener l(AF_INET);
  AddReceiver("127.0.0.1", l.port, 2, 0, 4, "", "manager");
  AddReceiver("127.0.0.1", l.port, 2, 0, 4, "", "signer");
  AddReceiver("127.0.0.1", l.port, 2, 0, 4, "", "nobody");  // no such user: no trap
  SnmpTrap_SendEvent(TRAP_KIND_COLD_START, 0, 0);
  auto got = l.Drain();
  ASSERT_EQ(got.size(), 2u);
  Bytes engine(SnmpEngineState.id, SnmpEngineState.id + SNMP_ENGINE_ID_LENGTH);
  Keys manager = Localize("mq530847", "tv817264", engine.data(), engine.size());
  Keys signer = Localize("signerpass", "", engine.data(), engine.size());
  Parsed p = Parse(got[0], &manager);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.msgId, 1);
  EXPECT_EQ(p.maxSize, 1024);
  EXPECT_EQ(p.flags, 0x03);
  EXPECT_TRUE(p.digestOk);
  EXPECT_EQ(Hex(p.privParams), "01 42 00 D7 00 00 00 00");  // first salt, boots 1
  EXPECT_EQ(p.engineId, engine);
  EXPECT_EQ(p.contextEngineId, engine);
  EXPECT_EQ(p.context, "ctx123");
  EXPECT_EQ(p.user, "manager");
  EXPECT_EQ(p.boots, 1);
  EXPECT_EQ(p.pduTag, BER_PDU_TRAP_V2);
  EXPECT_EQ(p.varbinds.size(), 2u);
  Parsed s = Parse(got[1], &signer);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.flags, 0x01);
  EXPECT_TRUE(s.digestOk);
  EXPECT_TRUE(s.privParams.empty());
  // The agent's next encrypted message continues the same salt counter.
  uint8_t salt[8];
  SnmpAgent_NextSalt(salt);
  EXPECT_EQ(Hex(Bytes(salt, salt + 8)), "01 43 00 D7 00 00 00 00");
}
