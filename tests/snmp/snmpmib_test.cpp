// The agent's own objects through the agent: registration order, values,
// SETs with their checks and the saved config.ini.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <clocale>
#include <filesystem>
#include <functional>
#include <netinet/in.h>

#include "core/cfg.h"
#include "core/crypt.h"
#include "core/helpers.h"
#include "core/svc.h"
#include "events/react.h"
#include "snmp/snmpagent.h"
#include "snmp/snmpmib.h"
#include "snmp/snmpoid.h"
#include "snmpwire.h"
#include "support/scratch.h"
#include "web/websys.h"

using namespace wire;

namespace {

const char* kPriv = "1.3.6.1.4.1.32473.2.210";

class SnmpMibTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    oldLocale = setlocale(LC_CTYPE, nullptr);
    setlocale(LC_CTYPE, "C.UTF-8");
    Crypt_Init();
    Cfg_SetDefaults();
    SnmpAgentSetting.accessCount = 1;
    snprintf(SnmpAgentSetting.access[0].address, sizeof SnmpAgentSetting.access[0].address, "0.0.0.0");
    snprintf(SnmpAgentSetting.access[0].community, sizeof SnmpAgentSetting.access[0].community, "rw");
    SnmpAgentSetting.access[0].permission = 2;
    SnmpAgentSetting.userCount = 0;
    NetInterfaceCount = 0;
    SnmpOid_ResetForTest();
    SnmpAgent_Init(SnmpMib_HandleObject);
    ASSERT_EQ(SnmpMib_RegisterObjects(), 1);
    ASSERT_EQ(Cfg_Save(), 1);
    swprintf(SvcSystemInfo.description, 128, L"Linux 6.1 x86_64");
    snprintf(SvcSystemInfo.hostName, sizeof SvcSystemInfo.hostName, "ups-host");
    SvcSystemInfo.uptime = 10000;
    swprintf(WebSysInfoText.contactor, 33, L"ops");
    swprintf(WebSysInfoText.name, 33, L"rack");
    swprintf(WebSysInfoText.location, 65, L"room 1");
  }
  void TearDown() override {
    SnmpOid_ResetForTest();
    SnmpMibCountdown = saved;
    ReactOps = savedReact;
    setlocale(LC_CTYPE, oldLocale.c_str());
    ScratchTest::TearDown();
  }

  Parsed Send(uint8_t tag, const std::vector<Bytes>& vbs) { return Exchange(V1("rw", Pdu(tag, 1, vbs))); }
  // A plain SNMPv3 request of the user (one of no security level).
  Parsed SendV3(const std::string& user, uint8_t tag, const std::vector<Bytes>& vbs) {
    V3Request r;
    r.engineId.assign(SnmpEngineState.id, SnmpEngineState.id + SNMP_ENGINE_ID_LENGTH);
    r.contextEngineId = r.engineId;
    r.boots = SnmpEngineState.boots;
    r.time = SnmpEngineState.time;
    r.user = user;
    r.context = SnmpAgentSetting.contextName;
    r.pdu = Pdu(tag, 2, vbs);
    return Exchange(BuildV3(r));
  }
  // One request from the loopback address through the agent; the reply.
  Parsed Exchange(Bytes request) {
    sockaddr_in src{};
    src.sin_family = AF_INET;
    src.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    uint8_t reply[SNMP_REPLY_SIZE];
    uint16_t used, length = 0;
    SnmpAgent_HandleMessage(request.data(), static_cast<uint16_t>(request.size()), &used,
                            reinterpret_cast<sockaddr*>(&src), AF_INET, reply, &length);
    return Parse(Bytes(reply, reply + length));
  }
  Parsed Get(const std::string& oid) { return Send(BER_PDU_GET, {Varbind(oid)}); }
  Parsed Set(const std::string& oid, const Bytes& value) { return Send(BER_PDU_SET, {Varbind(oid, value)}); }
  std::string Config() { return Scratch_ReadFile(Path("config.ini")); }

  std::string oldLocale;
  SnmpMibCountdownView saved = SnmpMibCountdown;
  ReactOpsTable savedReact = ReactOps;

  // The countdown's cancel rule and its cancel and resume, as the reactions
  // answer them: g_state is what CancelState says, g_flag the cancel flag.
  static inline uint8_t g_state;
  static inline uint8_t* g_flag;
  static inline std::vector<std::string> g_reactCalls;
  void FakeReactions(uint8_t* flag) {
    g_flag = flag;
    g_state = REACT_CANCEL_NOTHING;
    g_reactCalls.clear();
    ReactOps.CancelState = [] { return g_state; };
    ReactOps.Cancel = [](uint8_t by) {
      if (g_state != REACT_CANCEL_RUNNING) return 0;
      g_reactCalls.push_back(by == REACT_BY_SNMP ? "cancel by SNMP" : "cancel");
      *g_flag = 1;
      g_state = REACT_CANCEL_CANCELLED;
      return 1;
    };
    ReactOps.Resume = [](uint8_t by) {
      if (g_state != REACT_CANCEL_CANCELLED) return 0;
      g_reactCalls.push_back(by == REACT_BY_SNMP ? "resume by SNMP" : "resume");
      *g_flag = 0;
      g_state = REACT_CANCEL_RUNNING;
      return 1;
    };
  }
};

std::string Obj(int branch, int leaf) { return std::string(kPriv) + "." + std::to_string(branch) + "." + std::to_string(leaf) + ".0"; }

}  // namespace

TEST_F(SnmpMibTest, WalkVisitsEveryObjectInOrderAndEnds) {
  std::vector<std::string> seen;
  std::string at = "1.3.6.1";
  for (int i = 0; i < 40; i++) {
    Parsed p = Send(BER_PDU_GETNEXT, {Varbind(at)});
    ASSERT_TRUE(p.ok);
    if (p.errorStatus) {
      EXPECT_EQ(p.errorStatus, SNMP_ERR_NO_SUCH_NAME);
      break;
    }
    at = OidText(p.varbinds[0].name);
    seen.push_back(at);
  }
  std::vector<std::string> expected;
  for (int leaf = 1; leaf <= 7; leaf++) expected.push_back("1.3.6.1.2.1.1." + std::to_string(leaf) + ".0");
  for (int leaf = 1; leaf <= 6; leaf++) expected.push_back(Obj(1, leaf));
  for (int leaf = 1; leaf <= 11; leaf++) expected.push_back(Obj(2, leaf));  // .2.10 after .2.9
  expected.push_back(Obj(3, 1));
  EXPECT_EQ(seen, expected);
}

TEST_F(SnmpMibTest, ObjectValues) {
  int32_t remaining = -1;
  uint8_t owner = 0, cancel = 0;
  SnmpMibCountdown = SnmpMibCountdownView{&remaining, &owner, &cancel};
  ReactSetting.type = 1;
  ReactSetting.enable[REACT_BATTERY_LOW] = 0;
  ReactSetting.delay[REACT_BYPASS] = 77;
  struct Row {
    std::string oid;
    uint8_t tag;
    std::string text;
    int64_t integer;
  } rows[] = {
      {"1.3.6.1.2.1.1.1.0", BER_OCTET_STRING, "Brisvane", 0},
      {"1.3.6.1.2.1.1.3.0", BER_TIMETICKS, "", 10000},
      {"1.3.6.1.2.1.1.4.0", BER_OCTET_STRING, "ops", 0},
      {"1.3.6.1.2.1.1.5.0", BER_OCTET_STRING, "rack", 0},
      {"1.3.6.1.2.1.1.6.0", BER_OCTET_STRING, "room 1", 0},
      {"1.3.6.1.2.1.1.7.0", BER_INTEGER, "", 0},
      {Obj(1, 1), BER_OCTET_STRING, "Linux 6.1 x86_64", 0},
      {Obj(1, 2), BER_OCTET_STRING, "03.01.22", 0},
      {Obj(1, 3), BER_INTEGER, "", 2},   // no countdown
      {Obj(1, 4), BER_INTEGER, "", -1},
      {Obj(1, 5), BER_INTEGER, "", 1},
      {Obj(1, 6), BER_OCTET_STRING, "ups-host", 0},
      {Obj(2, 1), BER_INTEGER, "", 2},   // power off
      {Obj(2, 4), BER_INTEGER, "", 2},   // battery-low reaction disabled
      {Obj(2, 9), BER_INTEGER, "", 77},
      {Obj(3, 1), BER_INTEGER, "", 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.oid);
    Parsed p = Get(row.oid);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.errorStatus, 0);
    ASSERT_EQ(p.varbinds.size(), 1u);
    EXPECT_EQ(p.varbinds[0].tag, row.tag);
    if (row.tag == BER_OCTET_STRING) {
      EXPECT_EQ(p.varbinds[0].Text(), row.text);
    } else {
      EXPECT_EQ(p.varbinds[0].Integer(), row.integer);
    }
  }
  Parsed id = Get("1.3.6.1.2.1.1.2.0");
  EXPECT_EQ(Hex(Tlv(id.varbinds[0].tag, id.varbinds[0].content)), Hex(OidBytes(ParseOid(kPriv))));
  // A running countdown, as the reactions show it.
  remaining = 42;
  owner = 1;
  EXPECT_EQ(Get(Obj(1, 3)).varbinds[0].Integer(), 1);
  EXPECT_EQ(Get(Obj(1, 4)).varbinds[0].Integer(), 42);
  EXPECT_EQ(Get(Obj(1, 5)).varbinds[0].Integer(), 2);
  // Several texts in one reply each keep their own value.
  Parsed three = Send(BER_PDU_GET, {Varbind("1.3.6.1.2.1.1.4.0"), Varbind("1.3.6.1.2.1.1.5.0"),
                                    Varbind("1.3.6.1.2.1.1.6.0"), Varbind(Obj(1, 1)), Varbind(Obj(1, 6))});
  ASSERT_EQ(three.varbinds.size(), 5u);
  EXPECT_EQ(three.varbinds[0].Text(), "ops");
  EXPECT_EQ(three.varbinds[1].Text(), "rack");
  EXPECT_EQ(three.varbinds[2].Text(), "room 1");
  EXPECT_EQ(three.varbinds[3].Text(), "Linux 6.1 x86_64");
  EXPECT_EQ(three.varbinds[4].Text(), "ups-host");
}

TEST_F(SnmpMibTest, SetsAreCheckedStoredAndSaved) {
  int32_t remaining = 30;
  uint8_t owner = 1, cancel = 0;
  SnmpMibCountdown = SnmpMibCountdownView{&remaining, &owner, &cancel};
  ReactSetting.delay[REACT_POWER_FAIL] = 120;
  ReactSetting.enable[REACT_POWER_FAIL] = 1;
  ReactSetting.type = 0;
  ASSERT_EQ(Cfg_Save(), 1);
  std::string s40(40, 'c'), s32(32, 'c'), s64(64, 'l');
  struct Row {
    const char* what;
    std::string oid;
    Bytes value;
    int64_t status;       // SNMPv1 error status
    std::string config;   // a line config.ini must hold afterwards
  } rows[] = {
      {"delay stored", Obj(2, 3), Int(300), 0, "Power Fail Delay=300"},
      {"delay 100000 refused", Obj(2, 3), Int(100000), SNMP_ERR_BAD_VALUE, "Power Fail Delay=300"},
      {"negative delay refused", Obj(2, 3), Int(-5), SNMP_ERR_BAD_VALUE, "Power Fail Delay=300"},
      {"delay 99999 stored", Obj(2, 11), Int(99999), 0, "Schedule Shutdown Delay=99999"},
      {"reaction 3 refused", Obj(2, 2), Int(3), SNMP_ERR_BAD_VALUE, ""},
      {"reaction disabled", Obj(2, 2), Int(2), 0, ""},
      {"type 4 refused", Obj(2, 1), Int(4), SNMP_ERR_BAD_VALUE, "Type=0"},
      {"type hibernate", Obj(2, 1), Int(3), 0, "Type=2"},
      {"delay as text refused", Obj(2, 3), Oct("300"), SNMP_ERR_BAD_VALUE, "Power Fail Delay=300"},
      {"contact of 32", "1.3.6.1.2.1.1.4.0", Oct(s32), 0, "Contactor=" + s32},
      {"contact of 40 refused", "1.3.6.1.2.1.1.4.0", Oct(s40), SNMP_ERR_BAD_VALUE, "Contactor=" + s32},
      {"location of 64", "1.3.6.1.2.1.1.6.0", Oct(s64), 0, "Location=" + s64},
      {"UTF-8 name", "1.3.6.1.2.1.1.5.0", Oct("Z\xC3\xBCrich"), 0, "Name=Z\xC3\xBCrich"},
      {"name as INTEGER refused", "1.3.6.1.2.1.1.5.0", Int(5), SNMP_ERR_BAD_VALUE, "Name=Z\xC3\xBCrich"},
      {"line break refused", "1.3.6.1.2.1.1.5.0", Oct("a\n[USM]"), SNMP_ERR_BAD_VALUE, "Name=Z\xC3\xBCrich"},
      {"markup refused", "1.3.6.1.2.1.1.5.0", Oct("<b>x</b>"), SNMP_ERR_BAD_VALUE, ""},
      {"bad UTF-8 refused", "1.3.6.1.2.1.1.5.0", Oct("\xC3"), SNMP_ERR_BAD_VALUE, ""},
      {"read-only", "1.3.6.1.2.1.1.1.0", Oct("x"), SNMP_ERR_NO_SUCH_NAME, ""},
      {"not an object", Obj(2, 12), Int(1), SNMP_ERR_NO_SUCH_NAME, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::string before = Config();
    Parsed p = Set(row.oid, row.value);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.errorStatus, row.status);
    if (row.status) {
      EXPECT_EQ(p.errorIndex, 1);
      EXPECT_EQ(Config(), before);  // nothing saved
    } else {
      // The reply shows the stored value.
      EXPECT_EQ(Tlv(p.varbinds[0].tag, p.varbinds[0].content), row.value);
    }
    if (!row.config.empty()) {
      EXPECT_NE(Config().find("\n" + row.config + "\n"), std::string::npos) << row.config;
    }
  }
  EXPECT_EQ(ReactSetting.enable[REACT_POWER_FAIL], 0);
  EXPECT_EQ(ReactSetting.type, 2);
  EXPECT_EQ(std::wstring(WebSysInfoText.name), L"Z\u00fcrich");
  // A SET whose second varbind is refused applies neither.
  Parsed p = Send(BER_PDU_SET, {Varbind(Obj(2, 5), Int(10)), Varbind(Obj(2, 1), Int(9))});
  EXPECT_EQ(p.errorStatus, SNMP_ERR_BAD_VALUE);
  EXPECT_EQ(p.errorIndex, 2);
  EXPECT_NE(ReactSetting.delay[REACT_BATTERY_LOW], 10);
}

// The cancel object asks the countdown's own rule: a cancel that could not
// take effect (no countdown, or the UPS already being told) is refused with
// inconsistentValue (SNMPv1: badValue) and changes nothing; one that can is
// carried out once the whole SET stands, as the reactions' cancel or resume
// by SNMP. A value the flag already has changes nothing and succeeds.
TEST_F(SnmpMibTest, TheCancelObjectFollowsTheCountdownsRule) {
  int32_t remaining = 30;
  uint8_t owner = 1, cancel = 0;
  SnmpMibCountdown = SnmpMibCountdownView{&remaining, &owner, &cancel};
  FakeReactions(&cancel);
  SnmpAgentSetting.userCount = 1;
  SnmpAgentSetting.users[0] = UsmUser{};
  snprintf(SnmpAgentSetting.users[0].name, sizeof SnmpAgentSetting.users[0].name, "ops");
  SnmpAgentSetting.users[0].permission = 2;
  struct Row {
    const char* what;
    uint8_t state;
    int32_t value;
    int64_t v1Status, v3Status;
    uint8_t cancelAfter;
    std::vector<std::string> calls;
  } rows[] = {
      {"cancel a running countdown", REACT_CANCEL_RUNNING, 1, 0, 0, 1, {"cancel by SNMP"}},
      {"cancel again", REACT_CANCEL_CANCELLED, 1, 0, 0, 1, {}},
      {"resume", REACT_CANCEL_CANCELLED, 2, 0, 0, 0, {"resume by SNMP"}},
      {"resume a running countdown", REACT_CANCEL_RUNNING, 2, 0, 0, 0, {}},
      {"cancel with no countdown", REACT_CANCEL_NOTHING, 1, SNMP_ERR_BAD_VALUE, SNMP_ERR_INCONSISTENT_VALUE, 0, {}},
      {"cancel once the UPS is told", REACT_CANCEL_UNDER_WAY, 1, SNMP_ERR_BAD_VALUE, SNMP_ERR_INCONSISTENT_VALUE, 0,
       {}},
      {"clear once the UPS is told", REACT_CANCEL_UNDER_WAY, 2, 0, 0, 0, {}},
      {"value 3", REACT_CANCEL_RUNNING, 3, SNMP_ERR_BAD_VALUE, SNMP_ERR_WRONG_VALUE, 0, {}},
  };
  for (const Row& row : rows) {
    for (int version : {0, 3}) {
      SCOPED_TRACE(std::string(row.what) + (version ? ", SNMPv3" : ", SNMPv1"));
      g_state = row.state;
      cancel = row.state == REACT_CANCEL_CANCELLED ? 1 : 0;
      g_reactCalls.clear();
      const std::vector<Bytes> vbs = {Varbind(Obj(3, 1), Int(row.value))};
      Parsed p = version ? SendV3("ops", BER_PDU_SET, vbs) : Send(BER_PDU_SET, vbs);
      ASSERT_TRUE(p.ok);
      EXPECT_EQ(p.errorStatus, version ? row.v3Status : row.v1Status);
      EXPECT_EQ(cancel, row.cancelAfter);
      EXPECT_EQ(g_reactCalls, row.calls);
      // The reply shows the value asked for (refused: the value sent), and
      // a GET what holds.
      ASSERT_EQ(p.varbinds.size(), 1u);
      EXPECT_EQ(p.varbinds[0].Integer(), row.value);
      EXPECT_EQ(Get(Obj(3, 1)).varbinds[0].Integer(), row.cancelAfter ? 1 : 2);
    }
  }
  // A cancel in a SET that is refused at another varbind is not carried out.
  g_state = REACT_CANCEL_RUNNING;
  cancel = 0;
  g_reactCalls.clear();
  Parsed p = Send(BER_PDU_SET, {Varbind(Obj(3, 1), Int(1)), Varbind(Obj(2, 1), Int(9))});
  EXPECT_EQ(p.errorStatus, SNMP_ERR_BAD_VALUE);
  EXPECT_EQ(p.errorIndex, 2);
  EXPECT_EQ(cancel, 0);
  EXPECT_TRUE(g_reactCalls.empty());
}

TEST_F(SnmpMibTest, ASetThatCannotBeSavedIsUndoneRefusedAndLogged) {
  namespace fs = std::filesystem;
  int32_t remaining = 30;
  uint8_t owner = 1, cancel = 0;
  SnmpMibCountdown = SnmpMibCountdownView{&remaining, &owner, &cancel};
  FakeReactions(&cancel);
  ReactSetting.delay[REACT_POWER_FAIL] = 600;
  ASSERT_EQ(Cfg_Save(), 1);
  // A read-write SNMPv3 user without security, for the SNMPv3 requests.
  SnmpAgentSetting.userCount = 1;
  SnmpAgentSetting.users[0] = UsmUser{};
  snprintf(SnmpAgentSetting.users[0].name, sizeof SnmpAgentSetting.users[0].name, "ops");
  SnmpAgentSetting.users[0].permission = 2;
  std::vector<std::pair<int, std::string>> logged;
  static std::vector<std::pair<int, std::string>>* sink;
  sink = &logged;
  SnmpAgentLogText = [](int level, const char* text) { sink->emplace_back(level, text); };
  const std::string saved = Config();

  struct Way {
    const char* name;
    std::function<void()> make, undo;
  } ways[] = {
      {"no temporary file can be made", [&] { fs::create_directory(Path("config.ini.tmp")); },
       [&] { fs::remove(Path("config.ini.tmp")); }},
      {"config.ini cannot be replaced",
       [&] {
         fs::rename(Path("config.ini"), Path("config.kept"));
         fs::create_directories(Path("config.ini/in"));
       },
       [&] {
         fs::remove_all(Path("config.ini"));
         fs::rename(Path("config.kept"), Path("config.ini"));
       }},
  };
  const std::vector<Bytes> vbs = {Varbind(Obj(2, 3), Int(45)), Varbind("1.3.6.1.2.1.1.4.0", Oct("night shift"))};
  for (const Way& way : ways) {
    for (int version : {0, 3}) {
      SCOPED_TRACE(std::string(way.name) + (version ? ", SNMPv3" : ", SNMPv1"));
      logged.clear();
      way.make();
      Parsed p = version ? SendV3("ops", BER_PDU_SET, vbs) : Send(BER_PDU_SET, vbs);
      ASSERT_TRUE(p.ok);
      EXPECT_EQ(p.errorStatus, version ? 14 /* commitFailed */ : SNMP_ERR_GEN_ERR);
      EXPECT_EQ(p.errorIndex, 1);
      // Nothing of the SET is in force.
      EXPECT_EQ(ReactSetting.delay[REACT_POWER_FAIL], 600);
      EXPECT_EQ(std::wstring(WebSysInfoText.contactor), L"ops");
      EXPECT_EQ(Get(Obj(2, 3)).varbinds[0].Integer(), 600);
      EXPECT_EQ(logged, (std::vector<std::pair<int, std::string>>{
                            {2, "SNMP SET not saved: config.ini could not be written; the change was undone"}}));
      // A cancel in the SET that cannot be saved is not carried out; alone
      // (the flag is no setting of the file) it takes effect.
      g_state = REACT_CANCEL_RUNNING;
      std::vector<Bytes> withCancel = vbs;
      withCancel.push_back(Varbind(Obj(3, 1), Int(1)));
      EXPECT_EQ(Send(BER_PDU_SET, withCancel).errorStatus, SNMP_ERR_GEN_ERR);
      EXPECT_TRUE(g_reactCalls.empty());
      EXPECT_EQ(Set(Obj(3, 1), Int(1)).errorStatus, 0);
      EXPECT_EQ(cancel, 1);
      EXPECT_EQ(g_reactCalls, (std::vector<std::string>{"cancel by SNMP"}));
      g_reactCalls.clear();
      cancel = 0;
      way.undo();
      EXPECT_EQ(Config(), saved);
    }
  }
  // Once the file can be written the same SET stands.
  Parsed p = SendV3("ops", BER_PDU_SET, vbs);
  EXPECT_EQ(p.errorStatus, 0);
  EXPECT_EQ(ReactSetting.delay[REACT_POWER_FAIL], 45);
  EXPECT_NE(Config().find("\nPower Fail Delay=45\n"), std::string::npos);
  EXPECT_NE(Config().find("\nContactor=night shift\n"), std::string::npos);
  SnmpAgentLogText = nullptr;
}
