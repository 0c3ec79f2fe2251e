// SNMP agent: decoding with the USM checks, the SNMPv1 access list, the
// time window, Reports, the reply encoder and the receive step, with a
// small object handler standing in for the service's objects.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include "core/crypt.h"
#include "core/helpers.h"
#include "snmp/snmpagent.h"
#include "snmp/snmpoid.h"
#include "snmpwire.h"
#include "support/scratch.h"

using namespace wire;

namespace {

// ---- a small set of objects ------------------------------------------------

const char* kDesc = "1.3.6.1.2.1.1.1.0";   // read-only text
const char* kA = "1.3.6.1.4.9.1.0";        // read-write INTEGER 0..10
const char* kB = "1.3.6.1.4.9.2.0";        // read-write INTEGER 0..10
const char* kText = "1.3.6.1.4.9.3.0";     // read-write text, up to 118 bytes

struct FakeObjects {
  std::string desc = "desc";
  int32_t a = 1, b = 2;
  std::string text = "t";
  int applies = 0;
  int checks = 0;
  // The SET's end: commits (and the applies before the first one), undos.
  int commits = 0, appliesAtCommit = -1, undos = 0;
  bool failCommit = false;
  std::string failApply;  // the object whose apply fails
  // What an undo restores: the values before the SET's first apply.
  bool pending = false;
  int32_t savedA = 0, savedB = 0;
  std::string savedText;
} g_obj;

int32_t FakeHandler(SnmpVarbind* v, uint8_t action) {
  if (!v) {
    if (action == SNMP_OBJECT_COMMIT) {
      if (g_obj.commits++ == 0) g_obj.appliesAtCommit = g_obj.applies;
      if (g_obj.failCommit) return SNMP_ERR_COMMIT_FAILED;
    } else if (action == SNMP_OBJECT_UNDO) {
      g_obj.undos++;
      g_obj.a = g_obj.savedA;
      g_obj.b = g_obj.savedB;
      g_obj.text = g_obj.savedText;
    }
    g_obj.pending = false;
    return SNMP_ERR_NONE;
  }
  std::string name = OidText(Oid(v->name.subids, v->name.subids + v->name.count));
  static const std::vector<std::string> order = {kDesc, kA, kB, kText};
  if (action == SNMP_OBJECT_READ && SnmpMsg.pduTag == BER_PDU_GETNEXT) {
    std::string next;
    for (const auto& o : order) {
      Oid a = ParseOid(o), b(v->name.subids, v->name.subids + v->name.count);
      if (std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end())) {
        next = o;
        break;
      }
    }
    if (next.empty()) return SNMP_ERR_NO_SUCH_NAME;
    Oid n = ParseOid(next);
    std::copy(n.begin(), n.end(), v->nameBuf);
    v->name.count = static_cast<uint16_t>(n.size());
    name = next;
  }
  if (std::find(order.begin(), order.end(), name) == order.end()) return SNMP_ERR_NO_SUCH_NAME;
  if (action == SNMP_OBJECT_CHECK) {
    g_obj.checks++;
    if (name == kDesc) return SNMP_ERR_NOT_WRITABLE;
    if (name == kText) return v->value.tag == BER_OCTET_STRING ? SNMP_ERR_NONE : SNMP_ERR_WRONG_TYPE;
    if (v->value.tag != BER_INTEGER) return SNMP_ERR_WRONG_TYPE;
    return v->value.integer >= 0 && v->value.integer <= 10 ? SNMP_ERR_NONE : SNMP_ERR_WRONG_VALUE;
  }
  if (action == SNMP_OBJECT_APPLY) {
    if (!g_obj.pending) {
      g_obj.pending = true;
      g_obj.savedA = g_obj.a;
      g_obj.savedB = g_obj.b;
      g_obj.savedText = g_obj.text;
    }
    g_obj.applies++;
    if (name == g_obj.failApply) return SNMP_ERR_COMMIT_FAILED;
    if (name == kA) g_obj.a = v->value.integer;
    if (name == kB) g_obj.b = v->value.integer;
    if (name == kText) g_obj.text.assign(reinterpret_cast<char*>(v->value.octets.data), v->value.octets.length);
  }
  v->value = BerValue{};
  if (name == kDesc || name == kText) {
    const std::string& s = name == kDesc ? g_obj.desc : g_obj.text;
    memcpy(v->text, s.data(), s.size());
    v->value.tag = BER_OCTET_STRING;
    v->value.octets = BerOctets{reinterpret_cast<uint8_t*>(v->text), static_cast<uint16_t>(s.size()), 0};
  } else {
    v->value.tag = BER_INTEGER;
    v->value.integer = name == kA ? g_obj.a : g_obj.b;
  }
  return SNMP_ERR_NONE;
}

// ---- fixture ---------------------------------------------------------------

void AddUser(const char* name, uint8_t security, const char* auth, const char* priv, uint8_t permission) {
  UsmUser& u = SnmpAgentSetting.users[SnmpAgentSetting.userCount++];
  u = UsmUser{};
  snprintf(u.name, sizeof u.name, "%s", name);
  u.security = security;
  snprintf(u.authPassword, sizeof u.authPassword, "%s", auth);
  snprintf(u.privPassword, sizeof u.privPassword, "%s", priv);
  u.permission = permission;
}

void AddAccess(const char* ip, const char* community, uint8_t permission) {
  SnmpAccessEntry& e = SnmpAgentSetting.access[SnmpAgentSetting.accessCount++];
  snprintf(e.address, sizeof e.address, "%s", ip);
  snprintf(e.community, sizeof e.community, "%s", community);
  e.permission = permission;
}

const uint8_t kMac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};

class SnmpAgentTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    Crypt_Init();
    g_obj = FakeObjects{};
    SnmpAgentSetting = SnmpAgentSettings{};
    SnmpReportCount = SnmpReportCounters{};
    SnmpAgentSetting.listenPort = 161;
    snprintf(SnmpAgentSetting.contextName, sizeof SnmpAgentSetting.contextName, "ctx123");
    AddAccess("0.0.0.0", "tambor", 1);
    AddAccess("::", "six", 2);
    AddAccess("127.0.0.2", "rw", 2);
    AddAccess("127.0.0.1", "zero", 0);
    AddAccess("0.0.0.0", "zero", 2);
    AddUser("manager", 2, "mq530847", "tv817264", 2);
    AddUser("authonly", 1, "authpass1", "", 2);
    AddUser("plain", 0, "", "", 1);
    AddUser("off", 2, "offpass12", "offpass12", 0);
    AddUser("second", 2, "secondauth", "secondpriv", 2);
    NetInterfaceCount = 2;
    NetInterfaces[0] = NetInterface{2, "192.0.2.1", 24, {0, 0, 0, 0, 0, 0}};
    NetInterfaces[1] = NetInterface{2, "192.0.2.9", 24, {}};
    memcpy(NetInterfaces[1].mac, kMac, 6);
    SnmpAgent_Init(FakeHandler);
    engine.assign(SnmpEngineState.id, SnmpEngineState.id + SNMP_ENGINE_ID_LENGTH);
    manager = Localize("mq530847", "tv817264", engine.data(), engine.size());
    authonly = Localize("authpass1", "", engine.data(), engine.size());
    second = Localize("secondauth", "secondpriv", engine.data(), engine.size());
  }
  void TearDown() override {
    SnmpAgent_CloseSockets();
    SnmpAgentLogText = nullptr;
    NetInterfaceCount = 0;
    ScratchTest::TearDown();
  }

  // One message through the agent from an exact-size copy; the reply bytes.
  Bytes Exchange(const Bytes& request, const char* source = "127.0.0.1", int* step = nullptr) {
    std::vector<uint8_t> in(request);
    sockaddr_storage ss{};
    int family = strchr(source, ':') ? AF_INET6 : AF_INET;
    if (family == AF_INET) {
      auto* a = reinterpret_cast<sockaddr_in*>(&ss);
      a->sin_family = AF_INET;
      inet_pton(AF_INET, source, &a->sin_addr);
    } else {
      auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
      a->sin6_family = AF_INET6;
      inet_pton(AF_INET6, source, &a->sin6_addr);
    }
    uint8_t reply[SNMP_REPLY_SIZE];
    uint16_t used = 0, length = 0;
    int s = SnmpAgent_HandleMessage(in.data(), static_cast<uint16_t>(in.size()), &used,
                                    reinterpret_cast<sockaddr*>(&ss), family, reply, &length);
    if (step) *step = s;
    return Bytes(reply, reply + length);
  }

  int Decode(const Bytes& request) {
    std::vector<uint8_t> in(request);
    uint16_t used;
    return SnmpAgent_DecodeMessage(in.data(), static_cast<uint16_t>(in.size()), &used);
  }

  V3Request Req(const std::string& user, uint8_t flags, const Keys* keys, const Bytes& pdu) {
    V3Request r;
    r.engineId = engine;
    r.contextEngineId = engine;
    r.boots = SnmpEngineState.boots;
    r.time = SnmpEngineState.time;
    r.user = user;
    r.flags = flags;
    r.keys = keys;
    r.context = "ctx123";
    r.pdu = pdu;
    return r;
  }

  Bytes engine;
  Keys manager, authonly, second;
};

Bytes GetPdu(int32_t id, std::vector<std::string> oids, uint8_t tag = BER_PDU_GET) {
  std::vector<Bytes> vbs;
  for (const auto& o : oids) vbs.push_back(Varbind(o));
  return Pdu(tag, id, vbs);
}

}  // namespace

TEST_F(SnmpAgentTest, EngineIdAndBootsSurviveRestarts) {
  EXPECT_EQ(Hex(engine), "80 00 7E D9 03 02 11 22 33 44 55");  // first non-zero MAC
  EXPECT_EQ(SnmpEngineState.boots, 1);  // fresh install
  EXPECT_EQ(Scratch_ReadFile(Path(SNMP_BOOTS_FILE)), "1\n");
  SnmpAgent_Init(FakeHandler);
  EXPECT_EQ(SnmpEngineState.boots, 2);
  // The engine clock wraps into the next boot, which is kept at once.
  SnmpEngineState.time = 32766;
  SnmpAgent_ClockTick();
  EXPECT_EQ(SnmpEngineState.time, 32767);
  SnmpAgent_ClockTick();
  EXPECT_EQ(SnmpEngineState.time, 0);
  EXPECT_EQ(SnmpEngineState.boots, 3);
  EXPECT_EQ(Scratch_ReadFile(Path(SNMP_BOOTS_FILE)), "3\n");
  SnmpAgent_Init(FakeHandler);
  EXPECT_EQ(SnmpEngineState.boots, 4);
  EXPECT_EQ(SnmpEngineState.time, 0);
  // A damaged file starts over rather than failing.
  Scratch_WriteFile(Path(SNMP_BOOTS_FILE), "junk");
  EXPECT_EQ(SnmpAgent_NextBoots(), 1);
}

TEST_F(SnmpAgentTest, V1AccessByCommunityFamilyAndPermission) {
  struct Row {
    const char* what;
    const char* community;
    const char* source;
    uint8_t tag;
    bool reply;
    int64_t status;
  } rows[] = {
      {"any IPv4 source reads", "tambor", "127.0.0.1", BER_PDU_GET, true, 0},
      {"read-only entry refuses SET", "tambor", "10.1.2.3", BER_PDU_SET, true, SNMP_ERR_GEN_ERR},
      {"0.0.0.0 admits no IPv6 source", "tambor", "::1", BER_PDU_GET, false, 0},
      {":: admits every IPv6 source", "six", "::1", BER_PDU_SET, true, 0},
      {":: admits no IPv4 source", "six", "127.0.0.1", BER_PDU_GET, false, 0},
      {"listed source writes", "rw", "127.0.0.2", BER_PDU_SET, true, 0},
      {"other source of a listed entry", "rw", "127.0.0.1", BER_PDU_GET, false, 0},
      {"first match without permission decides", "zero", "127.0.0.1", BER_PDU_GET, false, 0},
      {"a later entry still matches others", "zero", "127.0.0.9", BER_PDU_GET, true, 0},
      {"17 characters never match", "tamborxxxxxxxxxxx", "127.0.0.1", BER_PDU_GET, false, 0},
      {"community is case-sensitive", "Tambor", "127.0.0.1", BER_PDU_GET, false, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    g_obj = FakeObjects{};
    Bytes vb = Varbind(kA, row.tag == BER_PDU_SET ? Int(7) : Null());
    Bytes request = V1(row.community, Pdu(row.tag, 4242, {vb}));
    int step = -1;
    Bytes reply = Exchange(request, row.source, &step);
    ASSERT_EQ(!reply.empty(), row.reply);
    if (!row.reply) {
      EXPECT_EQ(step, SNMP_STEP_END_TURN);  // the rest of the datagram waits
      EXPECT_EQ(g_obj.applies, 0);
      continue;
    }
    Parsed p = Parse(reply);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.version, 0);
    EXPECT_EQ(p.community, row.community);
    EXPECT_EQ(p.pduTag, BER_PDU_RESPONSE);
    EXPECT_EQ(p.requestId, 4242);
    EXPECT_EQ(p.errorStatus, row.status);
    ASSERT_EQ(p.varbinds.size(), 1u);
    bool wrote = row.tag == BER_PDU_SET && row.status == 0;
    EXPECT_EQ(g_obj.a, wrote ? 7 : 1);
    if (row.status) {
      EXPECT_EQ(Seq(OidBytes(p.varbinds[0].name), Tlv(p.varbinds[0].tag, p.varbinds[0].content)), vb);
    }
  }
  // Empty community, SNMPv2c and a Trap PDU get nothing.
  EXPECT_TRUE(Exchange(V1("", GetPdu(1, {kA}))).empty());
  EXPECT_TRUE(Exchange(V1("tambor", GetPdu(1, {kA}), 1)).empty());
  EXPECT_EQ(Decode(V1("tambor", GetPdu(1, {kA}), 1)), SNMP_DECODE_MALFORMED);
  EXPECT_TRUE(Exchange(V1("tambor", Tlv(BER_PDU_TRAP_V1, Bytes{}))).empty());
}

TEST_F(SnmpAgentTest, V3DecodeResultsAndReports) {
  Keys wrong = Localize("wrongpass", "wrongpass", engine.data(), engine.size());
  Keys wrongPriv = manager;
  memset(wrongPriv.priv, 0x5A, 16);
  Bytes pdu = GetPdu(31337, {kDesc});
  struct Row {
    const char* what;
    V3Request req;
    int decode;               // SnmpAgent_DecodeMessage
    const char* reportOid;    // null: no Report
    bool reply;
  };
  std::vector<Row> rows;
  auto add = [&](const char* what, V3Request r, int decode, const char* report, bool reply) {
    rows.push_back(Row{what, r, decode, report, reply});
  };
  V3Request disc = Req("", 0x04, nullptr, GetPdu(555, {}));
  disc.engineId = {};
  disc.contextEngineId = {};
  disc.context = "";
  add("discovery", disc, SNMP_DECODE_UNKNOWN_ENGINE, "1.3.6.1.6.3.15.1.1.4.0", true);
  add("unknown user", Req("nobody", 0x04, nullptr, pdu), SNMP_DECODE_UNKNOWN_USER, "1.3.6.1.6.3.15.1.1.3.0", true);
  add("disabled user", Req("off", 0x07, &manager, pdu), SNMP_DECODE_UNKNOWN_USER, "1.3.6.1.6.3.15.1.1.3.0", true);
  add("wrong digest", Req("manager", 0x07, &wrong, pdu), SNMP_DECODE_WRONG_DIGEST, "1.3.6.1.6.3.15.1.1.5.0", true);
  add("below the user's level", Req("manager", 0x05, &manager, pdu), SNMP_DECODE_UNSUPPORTED_LEVEL,
      "1.3.6.1.6.3.15.1.1.1.0", true);
  add("above the user's level", Req("authonly", 0x07, &authonly, pdu), SNMP_DECODE_UNSUPPORTED_LEVEL,
      "1.3.6.1.6.3.15.1.1.1.0", true);
  add("noAuthNoPriv with an authPriv name", Req("manager", 0x04, nullptr, pdu), SNMP_DECODE_UNSUPPORTED_LEVEL,
      "1.3.6.1.6.3.15.1.1.1.0", true);
  add("wrong privacy key", Req("manager", 0x07, &wrongPriv, pdu), SNMP_DECODE_DECRYPTION_ERROR,
      "1.3.6.1.6.3.15.1.1.6.0", true);
  V3Request sixty = Req("manager", 0x07, &manager, Bytes(60, 0x11));
  sixty.rawEncrypted = true;
  add("encrypted PDU of 60 bytes", sixty, SNMP_DECODE_DECRYPTION_ERROR, "1.3.6.1.6.3.15.1.1.6.0", true);
  V3Request blank = Req("manager", 0x07, &manager, pdu);
  blank.context = "ctx123 ";
  add("contextName with a trailing blank", blank, SNMP_DECODE_OK, "1.3.6.1.6.3.12.1.5.0", true);
  V3Request fixedCtx = Req("manager", 0x07, &manager, pdu);
  fixedCtx.context = "hb_3926";
  add("the fixed context", fixedCtx, SNMP_DECODE_OK, nullptr, true);
  V3Request a11 = Req("manager", 0x07, &manager, pdu);
  a11.authParams = Bytes(11, 0);
  add("11-byte authentication parameters", a11, SNMP_DECODE_MALFORMED, nullptr, false);
  V3Request p7 = Req("manager", 0x07, &manager, pdu);
  p7.privParams = Bytes(7, 0);
  add("7-byte privacy parameters", p7, SNMP_DECODE_MALFORMED, nullptr, false);
  V3Request f2 = Req("manager", 0x07, &manager, pdu);
  f2.flagBytes = Bytes{0x07, 0x00};
  add("2-byte msgFlags", f2, SNMP_DECODE_MALFORMED, nullptr, false);
  V3Request emptyAuth = Req("authonly", 0x05, &authonly, pdu);
  emptyAuth.authParams = Bytes{};
  add("authentication flag without a digest", emptyAuth, SNMP_DECODE_MALFORMED, nullptr, false);
  add("privacy without authentication", Req("manager", 0x06, &manager, pdu), SNMP_DECODE_MALFORMED, nullptr,
      false);
  V3Request small = Req("manager", 0x07, &manager, pdu);
  small.maxSize = 400;
  add("msgMaxSize below 484", small, SNMP_DECODE_MALFORMED, nullptr, false);
  V3Request model = Req("manager", 0x07, &manager, pdu);
  model.securityModel = 1;
  add("another security model", model, SNMP_DECODE_MALFORMED, nullptr, false);
  add("authPriv request", Req("manager", 0x07, &manager, pdu), SNMP_DECODE_OK, nullptr, true);
  add("authNoPriv request", Req("authonly", 0x05, &authonly, pdu), SNMP_DECODE_OK, nullptr, true);
  add("noAuthNoPriv request (no time check)", [&] {
    V3Request r = Req("plain", 0x04, nullptr, pdu);
    r.boots = 0;
    r.time = 0;
    return r;
  }(), SNMP_DECODE_OK, nullptr, true);

  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Bytes request = BuildV3(row.req);
    EXPECT_EQ(Decode(request), row.decode);
    Bytes reply = Exchange(request);
    ASSERT_EQ(!reply.empty(), row.reply);
    if (!row.reply) continue;
    const Keys* keys = row.req.user == "authonly" ? &authonly : &manager;
    Parsed p = Parse(reply, keys);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.version, 3);
    EXPECT_EQ(p.msgId, 77);
    EXPECT_EQ(p.maxSize, SNMP_REPLY_SIZE);
    EXPECT_EQ(p.engineId, engine);
    EXPECT_EQ(p.contextEngineId, engine);
    EXPECT_EQ(p.boots, SnmpEngineState.boots);
    EXPECT_EQ(p.user, row.req.user);
    EXPECT_FALSE(p.flags & SNMP_FLAG_REPORTABLE);
    if (row.reportOid) {
      EXPECT_EQ(p.pduTag, BER_PDU_REPORT);
      ASSERT_EQ(p.varbinds.size(), 1u);
      EXPECT_EQ(OidText(p.varbinds[0].name), row.reportOid);
      EXPECT_EQ(p.varbinds[0].tag, BER_COUNTER32);
      EXPECT_GE(p.varbinds[0].Integer(), 1);
      bool context = std::string(row.reportOid) == "1.3.6.1.6.3.12.1.5.0";
      // Security Reports are unauthenticated; the context Report passed the checks.
      EXPECT_EQ(p.flags, context ? 0x03 : 0x00);
      if (context) {
        EXPECT_TRUE(p.digestOk);
      }
      int64_t expectId = row.decode == SNMP_DECODE_UNKNOWN_USER ? 1005
                         : row.decode == SNMP_DECODE_UNKNOWN_ENGINE ? 555
                         : context ? 31337 : 0;
      EXPECT_EQ(p.requestId, expectId);
    } else {
      EXPECT_EQ(p.pduTag, BER_PDU_RESPONSE);
      EXPECT_EQ(p.requestId, 31337);
      EXPECT_EQ(p.flags, row.req.flags & 0x03);
      if (p.flags & SNMP_FLAG_AUTH) {
        EXPECT_TRUE(p.digestOk);
      }
      ASSERT_EQ(p.varbinds.size(), 1u);
      EXPECT_EQ(p.varbinds[0].Text(), "desc");
      EXPECT_EQ(p.context, row.req.context);
    }
  }
  EXPECT_EQ(SnmpReportCount.unknownUserNames, 2u);
  EXPECT_EQ(SnmpReportCount.decryptionErrors, 2u);
}

TEST_F(SnmpAgentTest, OnlyWholeReportableRequestsGetAnAnswer) {
  AddUser("nokeys", 2, "", "secondpriv", 2);  // its level needs an authentication password
  Keys none{};
  Bytes pdu = GetPdu(31337, {kDesc});
  auto plain = [&](uint8_t flags, uint8_t tag, bool ownEngine = true) {
    V3Request r = Req("", flags, nullptr, Pdu(tag, 5, {Varbind(kDesc)}));
    if (!ownEngine) r.engineId = r.contextEngineId = {};
    return BuildV3(r);
  };
  // A message that ends after its security parameters, or carries more.
  Bytes header = Seq(Int(77), Int(65507), Oct(Bytes{0x04}), Int(3));
  Bytes sp = Oct(Seq(Oct(Bytes{}), Int(0), Int(0), Oct(""), Oct(Bytes{}), Oct(Bytes{})));
  Bytes scoped = Seq(Oct(Bytes{}), Oct(""), GetPdu(6, {}));
  V3Request sealedAsPlain = Req("manager", 0x07, &manager, pdu);
  sealedAsPlain.flags = 0x03;  // encrypted, but the PDU is left in the clear
  sealedAsPlain.keys = nullptr;
  sealedAsPlain.authParams = Bytes(12, 0);
  sealedAsPlain.privParams = Bytes(8, 0);
  struct Row {
    const char* what;
    Bytes message;
    int decode;
    bool reply;
  } rows[] = {
      {"Report", plain(0x00, BER_PDU_REPORT), SNMP_DECODE_OTHER_PDU, false},
      {"Report with the reportable flag", plain(0x04, BER_PDU_REPORT), SNMP_DECODE_OTHER_PDU, false},
      {"Report to an unknown engine", plain(0x04, BER_PDU_REPORT, false), SNMP_DECODE_OTHER_PDU, false},
      {"Response", plain(0x04, BER_PDU_RESPONSE, false), SNMP_DECODE_RESPONSE, false},
      {"SNMPv2-Trap", plain(0x04, BER_PDU_TRAP_V2, false), SNMP_DECODE_OTHER_PDU, false},
      {"SNMPv1 Trap-PDU", plain(0x04, BER_PDU_TRAP_V1, false), SNMP_DECODE_TRAP, false},
      {"no scoped PDU", Seq(Int(3), header, sp), SNMP_DECODE_MALFORMED, false},
      {"an item after the scoped PDU", Seq(Int(3), header, sp, scoped, Int(0)), SNMP_DECODE_MALFORMED, false},
      {"scoped PDU without its PDU", Seq(Int(3), header, sp, Seq(Oct(Bytes{}), Oct(""))), SNMP_DECODE_MALFORMED,
       false},
      {"privacy flag with a plain scoped PDU", BuildV3(sealedAsPlain), SNMP_DECODE_MALFORMED, false},
      {"discovery without the reportable flag", plain(0x00, BER_PDU_GET, false), SNMP_DECODE_UNKNOWN_ENGINE, false},
      {"discovery", Seq(Int(3), header, sp, scoped), SNMP_DECODE_UNKNOWN_ENGINE, true},
      {"unknown user without the reportable flag", BuildV3(Req("nobody", 0x00, nullptr, pdu)),
       SNMP_DECODE_UNKNOWN_USER, false},
      {"user without the passwords of its level", BuildV3(Req("nokeys", 0x07, &none, pdu)),
       SNMP_DECODE_UNKNOWN_USER, true},
      {"wrong digest without the reportable flag", BuildV3(Req("manager", 0x03, &second, pdu)),
       SNMP_DECODE_WRONG_DIGEST, false},
      {"unknown context without the reportable flag", [&] {
         V3Request r = Req("manager", 0x03, &manager, pdu);
         r.context = "nothere";
         return BuildV3(r);
       }(), SNMP_DECODE_OK, false},
      {"GetRequest without the reportable flag", BuildV3(Req("manager", 0x03, &manager, pdu)), SNMP_DECODE_OK,
       true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(Decode(row.message), row.decode);
    EXPECT_EQ(Exchange(row.message).empty(), !row.reply);
  }
  // Outside the time window without the reportable flag: nothing.
  V3Request late = Req("manager", 0x03, &manager, pdu);
  late.time = SnmpEngineState.time + 1000;
  EXPECT_TRUE(Exchange(BuildV3(late)).empty());
}

TEST_F(SnmpAgentTest, WhatTheAgentSendsNeverGetsAnAnswer) {
  // A spoofed source can hand the agent its own Reports and Responses, or
  // another agent's: none of them may start an exchange.
  V3Request disc = Req("", 0x04, nullptr, GetPdu(555, {}));
  disc.engineId = disc.contextEngineId = {};
  V3Request late = Req("manager", 0x07, &manager, GetPdu(7, {kDesc}));
  late.time = SnmpEngineState.time + 1000;
  V3Request context = Req("manager", 0x07, &manager, GetPdu(8, {kDesc}));
  context.context = "nothere";
  const Bytes requests[] = {
      BuildV3(disc),
      BuildV3(Req("nobody", 0x04, nullptr, GetPdu(1, {kDesc}))),
      BuildV3(Req("manager", 0x07, &second, GetPdu(2, {kDesc}))),
      BuildV3(Req("manager", 0x05, &manager, GetPdu(3, {kDesc}))),
      BuildV3(late),
      BuildV3(context),
      BuildV3(Req("manager", 0x07, &manager, GetPdu(4, {kDesc}))),
      BuildV3(Req("plain", 0x04, nullptr, GetPdu(5, {kDesc}))),
      V1("tambor", GetPdu(6, {kDesc})),
  };
  for (const Bytes& request : requests) {
    SCOPED_TRACE(Hex(request));
    Bytes reply = Exchange(request);
    ASSERT_FALSE(reply.empty());
    EXPECT_TRUE(Exchange(reply).empty());
  }
}

TEST_F(SnmpAgentTest, TimeWindowIsDecidedBeforeAnythingIsProcessed) {
  SnmpEngineState.time = 1000;
  struct Row {
    int64_t boots, time;
    bool inside;
  } rows[] = {
      {SnmpEngineState.boots, 1150, true},  {SnmpEngineState.boots, 850, true},
      {SnmpEngineState.boots, 1151, false}, {SnmpEngineState.boots, 849, false},
      {SnmpEngineState.boots + 1, 1000, false}, {0, 0, false},
  };
  uint32_t reports = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.time);
    g_obj = FakeObjects{};
    V3Request r = Req("manager", 0x07, &manager, Pdu(BER_PDU_SET, 9, {Varbind(kA, Int(9))}));
    r.boots = row.boots;
    r.time = row.time;
    Parsed p = Parse(Exchange(BuildV3(r)), &manager);
    ASSERT_TRUE(p.ok);
    if (row.inside) {
      EXPECT_EQ(p.pduTag, BER_PDU_RESPONSE);
      EXPECT_EQ(g_obj.a, 9);
      continue;
    }
    // Authenticated with the message's user (no privacy), nothing applied.
    EXPECT_EQ(p.pduTag, BER_PDU_REPORT);
    EXPECT_EQ(p.flags, SNMP_FLAG_AUTH);
    EXPECT_TRUE(p.digestOk);
    EXPECT_EQ(p.time, 1000);
    ASSERT_EQ(p.varbinds.size(), 1u);
    EXPECT_EQ(OidText(p.varbinds[0].name), "1.3.6.1.6.3.15.1.1.2.0");
    EXPECT_EQ(p.varbinds[0].Integer(), ++reports);
    EXPECT_EQ(g_obj.applies + g_obj.checks, 0);
    EXPECT_EQ(g_obj.a, 1);
  }
}

TEST_F(SnmpAgentTest, SaltsCountFromTheFirstAndEncryptedRepliesDecrypt) {
  V3Request r = Req("manager", 0x07, &manager, GetPdu(1, {kDesc}));
  Parsed first = Parse(Exchange(BuildV3(r)), &manager);
  Parsed next = Parse(Exchange(BuildV3(r)), &manager);
  ASSERT_TRUE(first.ok);
  ASSERT_TRUE(next.ok);
  EXPECT_EQ(Hex(first.privParams), "01 42 00 D7 00 00 00 00");  // boots 1, counter 55106
  EXPECT_EQ(Hex(next.privParams), "01 43 00 D7 00 00 00 00");
  EXPECT_EQ(first.varbinds[0].Text(), "desc");
}

TEST_F(SnmpAgentTest, EachMessageUsesOnlyTheUserItFound) {
  // A valid message of one user first.
  ASSERT_EQ(Decode(BuildV3(Req("manager", 0x07, &manager, GetPdu(1, {kDesc})))), SNMP_DECODE_OK);
  // An encrypted message naming nobody is not decrypted with that user's key.
  V3Request ghost = Req("ghost", 0x07, &manager, GetPdu(2, {kDesc}));
  Bytes msg = BuildV3(ghost);
  std::vector<uint8_t> in(msg);
  uint16_t used;
  EXPECT_EQ(SnmpAgent_DecodeMessage(in.data(), static_cast<uint16_t>(in.size()), &used), SNMP_DECODE_UNKNOWN_USER);
  EXPECT_EQ(SnmpEngineState.currentUser, SNMP_NO_USER);
  EXPECT_TRUE(std::equal(in.end() - 40, in.end(), msg.end() - 40));  // ciphertext untouched
  Parsed report = Parse(Exchange(msg), nullptr);
  ASSERT_TRUE(report.ok);
  EXPECT_EQ(report.flags, 0);
  EXPECT_TRUE(report.authParams.empty());
  EXPECT_TRUE(report.privParams.empty());
  // Another user's message is decrypted and answered under that user's keys.
  Parsed p = Parse(Exchange(BuildV3(Req("second", 0x07, &second, GetPdu(3, {kDesc})))), &second);
  ASSERT_TRUE(p.ok);
  EXPECT_TRUE(p.digestOk);
  EXPECT_EQ(p.requestId, 3);
  EXPECT_EQ(p.varbinds[0].Text(), "desc");
}

TEST_F(SnmpAgentTest, GetErrorsAndExceptions) {
  Bytes vbs[] = {Varbind(kDesc), Varbind("1.3.6.1.4.9.1.5"), Varbind(kA)};
  Bytes pdu = Pdu(BER_PDU_GET, 8, {vbs[0], vbs[1], vbs[2]});
  // SNMPv1: noSuchName at 2, the varbinds exactly as sent.
  Parsed v1 = Parse(Exchange(V1("tambor", pdu)));
  ASSERT_TRUE(v1.ok);
  EXPECT_EQ(v1.errorStatus, SNMP_ERR_NO_SUCH_NAME);
  EXPECT_EQ(v1.errorIndex, 2);
  ASSERT_EQ(v1.varbinds.size(), 3u);
  for (int i = 0; i < 3; i++)
    EXPECT_EQ(Seq(OidBytes(v1.varbinds[i].name), Tlv(v1.varbinds[i].tag, v1.varbinds[i].content)), vbs[i]);
  // SNMPv3: noSuchObject in place, the others served.
  Parsed v3 = Parse(Exchange(BuildV3(Req("manager", 0x07, &manager, pdu))), &manager);
  ASSERT_TRUE(v3.ok);
  EXPECT_EQ(v3.errorStatus, 0);
  EXPECT_EQ(v3.errorIndex, 0);
  ASSERT_EQ(v3.varbinds.size(), 3u);
  EXPECT_EQ(v3.varbinds[0].Text(), "desc");
  EXPECT_EQ(v3.varbinds[1].tag, BER_NO_SUCH_OBJECT);
  EXPECT_TRUE(v3.varbinds[1].content.empty());
  EXPECT_EQ(v3.varbinds[2].Integer(), 1);
  // GetNext past the end: endOfMibView (v3), noSuchName (v1).
  Bytes next = GetPdu(9, {kText}, BER_PDU_GETNEXT);
  Parsed end3 = Parse(Exchange(BuildV3(Req("manager", 0x07, &manager, next))), &manager);
  ASSERT_EQ(end3.varbinds.size(), 1u);
  EXPECT_EQ(end3.varbinds[0].tag, BER_END_OF_MIB_VIEW);
  EXPECT_EQ(OidText(end3.varbinds[0].name), kText);
  Parsed end1 = Parse(Exchange(V1("tambor", next)));
  EXPECT_EQ(end1.errorStatus, SNMP_ERR_NO_SUCH_NAME);
  EXPECT_EQ(end1.errorIndex, 1);
  // A walk step renames the varbind.
  Parsed step = Parse(Exchange(V1("tambor", GetPdu(10, {"1.3.6.1"}, BER_PDU_GETNEXT))));
  EXPECT_EQ(OidText(step.varbinds[0].name), kDesc);
  // Request ids at the extremes come back as they were.
  for (int64_t id : {2147483647LL, -2147483648LL, -1LL}) {
    Parsed e = Parse(Exchange(V1("tambor", GetPdu(static_cast<int32_t>(id), {kA}))));
    EXPECT_EQ(e.requestId, id);
  }
}

TEST_F(SnmpAgentTest, SetsAreCheckedWholeBeforeAnyIsApplied) {
  struct Row {
    const char* what;
    std::vector<Bytes> vbs;
    int64_t v3Status, v1Status, index;
  } rows[] = {
      {"out of range second", {Varbind(kA, Int(5)), Varbind(kB, Int(11))}, SNMP_ERR_WRONG_VALUE, SNMP_ERR_BAD_VALUE, 2},
      {"negative", {Varbind(kA, Int(-5))}, SNMP_ERR_WRONG_VALUE, SNMP_ERR_BAD_VALUE, 1},
      {"wrong type", {Varbind(kA, Int(3)), Varbind(kB, Oct("x"))}, SNMP_ERR_WRONG_TYPE, SNMP_ERR_BAD_VALUE, 2},
      {"read-only", {Varbind(kA, Int(3)), Varbind(kDesc, Oct("x"))}, SNMP_ERR_NOT_WRITABLE, SNMP_ERR_NO_SUCH_NAME, 2},
      {"unknown object", {Varbind("1.3.6.1.4.9.7.0", Int(1))}, SNMP_ERR_NO_CREATION, SNMP_ERR_NO_SUCH_NAME, 1},
      {"OID value", {Varbind(kA, OidBytes({1, 3, 6}))}, SNMP_ERR_WRONG_TYPE, SNMP_ERR_BAD_VALUE, 1},
      {"values over the store", {Varbind(kText, Oct(std::string(100, 'x'))), Varbind(kText, Oct(std::string(19, 'y'))),
        Varbind(kA, Int(4))}, SNMP_ERR_RESOURCE_UNAVAILABLE, SNMP_ERR_GEN_ERR, 2},
      {"all good", {Varbind(kA, Int(5)), Varbind(kB, Int(6)), Varbind(kText, Oct(std::string(118, 'z')))}, 0, 0, 0},
  };
  for (const auto& row : rows) {
    for (int version : {0, 3}) {
      SCOPED_TRACE(std::string(row.what) + (version ? " v3" : " v1"));
      g_obj = FakeObjects{};
      Bytes pdu = Pdu(BER_PDU_SET, 77, row.vbs);
      Bytes request = version ? BuildV3(Req("manager", 0x07, &manager, pdu)) : V1("six", pdu);
      Parsed p = Parse(Exchange(request, version ? "127.0.0.1" : "::1"), &manager);
      ASSERT_TRUE(p.ok);
      EXPECT_EQ(p.errorStatus, version ? row.v3Status : row.v1Status);
      EXPECT_EQ(p.errorIndex, row.index);
      ASSERT_EQ(p.varbinds.size(), row.vbs.size());
      if (row.index) {
        EXPECT_EQ(g_obj.applies, 0);
        EXPECT_EQ(g_obj.a, 1);
        EXPECT_EQ(g_obj.b, 2);
        for (size_t i = 0; i < row.vbs.size(); i++)
          EXPECT_EQ(Seq(OidBytes(p.varbinds[i].name), Tlv(p.varbinds[i].tag, p.varbinds[i].content)), row.vbs[i]);
      } else {
        EXPECT_EQ(g_obj.a, 5);
        EXPECT_EQ(g_obj.b, 6);
        EXPECT_EQ(g_obj.text, std::string(118, 'z'));
        EXPECT_EQ(p.varbinds[2].Text(), g_obj.text);
      }
    }
  }
}


TEST_F(SnmpAgentTest, ASetThatCannotBeCompletedIsUndoneWhole) {
  const std::vector<Bytes> vbs = {Varbind(kA, Int(5)), Varbind(kB, Int(6)), Varbind(kText, Oct("new"))};
  struct Row {
    const char* what;
    bool failCommit;
    const char* failApply;
    int64_t index;  // 0: the SET stands
  } rows[] = {
      {"committed", false, "", 0},
      {"the commit fails", true, "", 1},
      {"the second apply fails", false, kB, 2},
  };
  for (const auto& row : rows) {
    for (int version : {0, 3}) {
      SCOPED_TRACE(std::string(row.what) + (version ? " v3" : " v1"));
      g_obj = FakeObjects{};
      g_obj.failCommit = row.failCommit;
      g_obj.failApply = row.failApply;
      Bytes pdu = Pdu(BER_PDU_SET, 78, vbs);
      Bytes request = version ? BuildV3(Req("manager", 0x07, &manager, pdu)) : V1("six", pdu);
      Parsed p = Parse(Exchange(request, version ? "127.0.0.1" : "::1"), &manager);
      ASSERT_TRUE(p.ok);
      ASSERT_EQ(p.varbinds.size(), vbs.size());
      if (!row.index) {
        EXPECT_EQ(p.errorStatus, 0);
        EXPECT_EQ(g_obj.commits, 1);
        EXPECT_EQ(g_obj.appliesAtCommit, 3);  // once, after every varbind was applied
        EXPECT_EQ(g_obj.undos, 0);
        EXPECT_EQ(g_obj.a, 5);
        EXPECT_EQ(p.varbinds[2].Text(), "new");
        continue;
      }
      // commitFailed, which SNMPv1 states as genErr; nothing stays.
      EXPECT_EQ(p.errorStatus, version ? SNMP_ERR_COMMIT_FAILED : SNMP_ERR_GEN_ERR);
      EXPECT_EQ(p.errorIndex, row.index);
      EXPECT_EQ(g_obj.undos, 1);
      EXPECT_EQ(g_obj.a, 1);
      EXPECT_EQ(g_obj.b, 2);
      EXPECT_EQ(g_obj.text, "t");
      for (size_t i = 0; i < vbs.size(); i++)
        EXPECT_EQ(Seq(OidBytes(p.varbinds[i].name), Tlv(p.varbinds[i].tag, p.varbinds[i].content)), vbs[i]);
    }
  }
}
TEST_F(SnmpAgentTest, RepliesRespectTheSizeLimits) {
  g_obj.desc = std::string(300, 'd');
  // A requester accepting 484 bytes gets tooBig without varbinds.
  V3Request r = Req("manager", 0x07, &manager, GetPdu(5, {kDesc, kDesc}));
  r.maxSize = 484;
  Bytes reply = Exchange(BuildV3(r));
  ASSERT_FALSE(reply.empty());
  EXPECT_LE(reply.size(), 484u);
  Parsed p = Parse(reply, &manager);
  EXPECT_EQ(p.errorStatus, SNMP_ERR_TOO_BIG);
  EXPECT_TRUE(p.varbinds.empty());
  // One varbind fits.
  r.pdu = GetPdu(6, {kDesc});
  p = Parse(Exchange(BuildV3(r)), &manager);
  EXPECT_EQ(p.errorStatus, 0);
  EXPECT_EQ(p.varbinds.size(), 1u);
  // SNMPv1: the 4096-byte buffer, never its first byte.
  g_obj.desc = std::string(400, 'd');
  reply = Exchange(V1("tambor", GetPdu(7, std::vector<std::string>(9, kDesc))));
  p = Parse(reply);
  EXPECT_EQ(p.errorStatus, 0);
  EXPECT_EQ(p.varbinds.size(), 9u);
  reply = Exchange(V1("tambor", GetPdu(8, std::vector<std::string>(10, kDesc))));
  p = Parse(reply);
  EXPECT_EQ(p.errorStatus, SNMP_ERR_TOO_BIG);
  EXPECT_TRUE(p.varbinds.empty());
  // More than 80 varbinds.
  p = Parse(Exchange(V1("tambor", GetPdu(9, std::vector<std::string>(81, kA)))));
  EXPECT_EQ(p.errorStatus, SNMP_ERR_TOO_BIG);
  EXPECT_TRUE(p.varbinds.empty());
  EXPECT_EQ(Decode(V1("tambor", GetPdu(9, std::vector<std::string>(80, kA)))), SNMP_DECODE_OK);
}

TEST_F(SnmpAgentTest, BrokenLengthsNeverReadOutsideTheMessage) {
  std::vector<Bytes> samples = {
      V1("tambor", Pdu(BER_PDU_SET, 1, {Varbind(kA, Int(3)), Varbind(kText, Oct("abc"))})),
      BuildV3(Req("manager", 0x07, &manager, GetPdu(2, {kDesc, kA}))),
      BuildV3(Req("plain", 0x04, nullptr, GetPdu(3, {kDesc}))),
  };
  for (const auto& sample : samples) {
    // Every truncation is malformed.
    for (size_t n = 0; n < sample.size(); n++) {
      Bytes cut(sample.begin(), sample.begin() + static_cast<long>(n));
      EXPECT_EQ(Decode(cut), SNMP_DECODE_MALFORMED) << n;
    }
    // Every byte replaced by length-like values: whatever the result, no
    // read leaves the exact-size copy (ASan).
    for (size_t i = 0; i < sample.size(); i++) {
      for (uint8_t b : {0x00, 0x01, 0x7F, 0x80, 0x81, 0x82, 0x83, 0xFF}) {
        Bytes bad = sample;
        bad[i] = b;
        Exchange(bad);
      }
    }
  }
  // A varbind list with trailing bytes inside it is malformed.
  Bytes list = Cat(Varbind(kA), Bytes{0x00, 0x00});
  Bytes pdu = Tlv(BER_PDU_GET, Cat(Int(1), Int(0), Int(0), Tlv(0x30, list)));
  EXPECT_EQ(Decode(V1("tambor", pdu)), SNMP_DECODE_MALFORMED);
}

TEST_F(SnmpAgentTest, ReceiveStepOverLoopbackSockets) {
  std::vector<std::string> logged;
  static std::vector<std::string>* sink;
  sink = &logged;
  SnmpAgentLogText = [](int, const char* t) { sink->push_back(t); };
  // A free port for both families.
  int probe = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t al = sizeof a;
  getsockname(probe, reinterpret_cast<sockaddr*>(&a), &al);
  close(probe);
  SnmpAgentSetting.listenPort = ntohs(a.sin_port);

  SnmpAgent_OpenSockets();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0], " IPv4-SNMP: OK IPv6-SNMP: OK");
  SnmpAgent_CloseSockets();
  SnmpAgent_OpenSockets();  // reopening logs nothing more
  EXPECT_EQ(logged.size(), 1u);

  // A port another socket holds: the reason follows the status text, once
  // per port and reason; the port is taken once it is free.
  SnmpAgent_CloseSockets();
  logged.clear();
  int holder = socket(AF_INET, SOCK_DGRAM, 0);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  SnmpAgent_OpenSockets();
  SnmpAgent_OpenSockets();
  const std::string reason = "IPv4-SNMP: cannot bind port " + std::to_string(SnmpAgentSetting.listenPort) +
                             ": Address already in use";
  EXPECT_EQ(logged, (std::vector<std::string>{reason}));  // both families had their first success before
  close(holder);
  SnmpAgent_OpenSockets();
  EXPECT_EQ(logged.size(), 1u);
  SnmpAgent_CloseSockets();
  SnmpAgent_OpenSockets();

  auto roundTrip = [&](int family, const Bytes& datagram) {
    int c = socket(family, SOCK_DGRAM, 0);
    sockaddr_storage to{};
    socklen_t len;
    if (family == AF_INET) {
      auto* t = reinterpret_cast<sockaddr_in*>(&to);
      t->sin_family = AF_INET;
      t->sin_port = htons(SnmpAgentSetting.listenPort);
      t->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof *t;
    } else {
      auto* t = reinterpret_cast<sockaddr_in6*>(&to);
      t->sin6_family = AF_INET6;
      t->sin6_port = htons(SnmpAgentSetting.listenPort);
      t->sin6_addr = in6addr_loopback;
      len = sizeof *t;
    }
    sendto(c, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), len);
    std::vector<Parsed> replies;
    for (int turn = 0; turn < 50; turn++) {
      SnmpAgent_Receive();
      pollfd pfd{c, POLLIN, 0};
      while (poll(&pfd, 1, 20) > 0) {
        uint8_t buf[SNMP_REPLY_SIZE];
        ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        replies.push_back(Parse(Bytes(buf, buf + n)));
      }
      if (!replies.empty()) break;
    }
    close(c);
    return replies;
  };
  // Eleven messages in one datagram: the first ten are answered.
  Bytes many;
  for (int i = 0; i < 11; i++) {
    Bytes m = V1("tambor", GetPdu(100 + i, {kA}));
    many.insert(many.end(), m.begin(), m.end());
  }
  auto replies = roundTrip(AF_INET, many);
  ASSERT_EQ(replies.size(), 10u);
  for (int i = 0; i < 10; i++) EXPECT_EQ(replies[i].requestId, 100 + i);
  // IPv6 listens on the same port.
  replies = roundTrip(AF_INET6, V1("six", GetPdu(200, {kDesc})));
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].varbinds[0].Text(), "desc");
}
