// SNMP and trap pages: the trap receiver rows and the network shutdown
// client blocks as the page receives them, the agent port and context
// forms, and the three list forms (access list, SNMPv3 users, trap
// receivers): dense lists after adds, edits and deletes, duplicates by
// address or name, the refusals that leave a list as it was, config.ini
// after each change, and the agent and poller operations each change runs.
#include <filesystem>
#include <string>
#include <vector>

#include "core/cfg.h"
#include "core/crypt.h"
#include "snmp/snmpagent.h"
#include "snmp/snmppoll.h"
#include "snmp/snmptrap.h"
#include "web/websnmp.h"
#include "webdevfixture.h"
#include "webreplies.h"

using namespace devtest;
using namespace webreplies;

namespace {

const char* const kInvalid =
    "Message: Title=Error\nBody=<font color=#F00000>Invalid data, please check the input value!</font>\n";
const char* const kSameIp = "Message: Title=Error\nBody=<font color=#F00000>Already has the same IP!</font>\n";
const char* const kCannotDelete = "Message: Title=Error\nBody=<font color=#F00000>Cannot delete anymore!</font>\n";
const char* const kIncorrectInput = "Message: Title=Error\nBody=<font color=#F00000>Incorrect input!</font>\n";
const char* const kShort =
    "Message: Title=Error\nBody=<font color=#F00000>The password must longer than 8 bytes!</font>\n";
const char* const kNotSaved =
    "Message: Title=Error\nBody=<font color=#F00000>The settings could not be saved.</font>\n";

std::string Error(const std::string& text) {
  return "Message: Title=Error\nBody=<font color=#F00000>" + text + "</font>\n";
}
std::string Updated(const std::string& path) {
  return "Message: Redirect=" + path + "\nTitle=Information\nBody=<font color=#008000>Updated successfully.</font>\n";
}
const std::string kAccessUpdated = Updated("/en/net_snmpaccess.asp");
const std::string kUsmUpdated = Updated("/en/net_snmpusm.asp");
const std::string kTrapUpdated = Updated("/en/device/net_snmptrap.asp");

int g_closes, g_localized, g_resets;
void CountClose() { ++g_closes; }
void Localize() {
  ++g_localized;
  SnmpAgent_LocalizeUserKeys();
}
void Reset() {
  ++g_resets;
  SnmpPoll_ResetCountdowns();
}

class SnmpPages : public DevTest {
 protected:
  void SetUp() override {
    DevTest::SetUp();
    savedAgent_ = SnmpAgentOps;
    savedPoll_ = SnmpPollOps;
    SnmpAgentOps.CloseSockets = CountClose;
    SnmpAgentOps.LocalizeUserKeys = Localize;
    SnmpPollOps.ResetCountdowns = Reset;
    g_closes = g_localized = g_resets = 0;
    memset(&SnmpAgentSetting, 0, sizeof SnmpAgentSetting);
    SnmpAgentSetting.listenPort = 161;
    strcpy(SnmpAgentSetting.contextName, "upsctx");
    memset(SnmpTrapReceivers, 0, sizeof SnmpTrapReceivers);
    SnmpTrapReceiverCount = 0;
    memset(SnmpPollClients, 0, sizeof SnmpPollClients);
    for (ShutdownClientStatus& c : SnmpPollClients) c.countdown = -1;
    SnmpPollClientCount = 0;
    for (int i = 0; i < SNMP_ENGINE_ID_LENGTH; ++i) SnmpEngineState.id[i] = static_cast<uint8_t>(0x80 + i);
  }
  void TearDown() override {
    SnmpAgentOps = savedAgent_;
    SnmpPollOps = savedPoll_;
    DevTest::TearDown();
  }

  std::string Config() { return Scratch_ReadFile(Path("config.ini")); }
  bool Saved() { return std::filesystem::exists(Path("config.ini")); }
  bool InConfig(const std::string& line) { return ("\n" + Config()).find("\n" + line + "\n") != std::string::npos; }
  void Unsave() { std::filesystem::remove(Path("config.ini")); }

  static void AddAccess(const char* ip, const char* community, uint8_t permission) {
    SnmpAccessEntry& e = SnmpAgentSetting.access[SnmpAgentSetting.accessCount++];
    strcpy(e.address, ip);
    strcpy(e.community, community);
    e.permission = permission;
  }
  static void AddUser(const char* name, uint8_t security, const char* auth, const char* priv, uint8_t permission) {
    UsmUser& u = SnmpAgentSetting.users[SnmpAgentSetting.userCount++];
    strcpy(u.name, name);
    u.security = security;
    strcpy(u.authPassword, auth);
    strcpy(u.privPassword, priv);
    u.permission = permission;
  }
  static TrapReceiver& AddReceiver(const char* ip, uint8_t level) {
    TrapReceiver& t = SnmpTrapReceivers[SnmpTrapReceiverCount++];
    strcpy(t.ip, ip);
    strcpy(t.community, "public");
    t.port = 162;
    t.ncPort = 161;
    t.level = level;
    return t;
  }

  static std::vector<std::string> AccessIps() {
    std::vector<std::string> out;
    for (int i = 0; i < SnmpAgentSetting.accessCount; ++i) out.push_back(SnmpAgentSetting.access[i].address);
    return out;
  }
  static std::vector<std::string> UserNames() {
    std::vector<std::string> out;
    for (int i = 0; i < SnmpAgentSetting.userCount; ++i) out.push_back(SnmpAgentSetting.users[i].name);
    return out;
  }
  static std::vector<std::string> ReceiverIps() {
    std::vector<std::string> out;
    for (int i = 0; i < SnmpTrapReceiverCount; ++i) out.push_back(SnmpTrapReceivers[i].ip);
    return out;
  }

  SnmpAgentOpsTable savedAgent_;
  SnmpPollOpsTable savedPoll_;
};

// The localised key of a password, as the agent derives it.
std::vector<uint8_t> KeyOf(const char* password) {
  Md5Context md5;
  uint8_t key[16];
  CryptOps.Usm_PasswordToKeyMd5(&md5, key, reinterpret_cast<const uint8_t*>(password),
                                static_cast<uint8_t>(strlen(password)), SnmpEngineState.id, SNMP_ENGINE_ID_LENGTH);
  return {key, key + 16};
}
std::vector<uint8_t> Key(const uint8_t (&key)[16]) { return {key, key + 16}; }

// ---- TRAP_ and NCS_NC_ --------------------------------------------------------------

TEST_F(SnmpPages, TrapRowsAndTheFirstReceiverCall) {
  // No receiver: one placeholder row and call.
  EXPECT_EQ(Var("TRAP_LIST_ADD"),
            "<tr><td>1</td><td><a href=\"#\" id=\"1\" onclick=\"Func_Select(1,'0.0.0.0','tambor',162,0,0,0,'',161,0,0);"
            "\">0.0.0.0</a></td><td>tambor</td><td>162</td><td>UPSv4</td><td>v1</td><td>None</td><td></td></tr>\n");
  EXPECT_EQ(Var("TRAP_FUNC_LOAD"), "Func_Select(1,'0.0.0.0','tambor',162,0,0,0,'',161,0,0)");

  TrapReceiver& a = AddReceiver("192.0.2.7", 2);
  a.port = 16201;
  a.mib = 1;
  a.type = 1;
  a.twice = 1;
  TrapReceiver& b = AddReceiver("2001:db8::9", 4);
  strcpy(b.user, "manager");
  b.community[0] = 0;
  b.type = 2;
  b.ncPort = 3161;
  EXPECT_EQ(Var("TRAP_LIST_ADD"),
            "<tr><td>1</td><td><a href=\"#\" id=\"1\" onclick=\"Func_Select(1,'192.0.2.7','public',16201,1,1,2,'',161,2,"
            "1);\">192.0.2.7</a></td><td>public</td><td>16201</td><td>UPSv5</td><td>v2c</td><td>Warning</td><td></td>"
            "</tr>\n"
            "<tr><td>2</td><td><a href=\"#\" id=\"2\" onclick=\"Func_Select(2,'2001:db8::9','',162,0,2,4,'manager',3161,"
            "2,0);\">2001:db8::9</a></td><td></td><td>162</td><td>UPSv4</td><td>v3</td><td>QuenchRelayer 2012</td>"
            "<td>manager</td></tr>\n");
  EXPECT_EQ(Var("TRAP_FUNC_LOAD"), "Func_Select(1,'192.0.2.7','public',16201,1,1,2,'',161,2,1)");
  EXPECT_EQ(Var("TRAP_NOTHING"), "");
}

TEST_F(SnmpPages, TrapCellWords) {
  struct Case {
    uint8_t mib, type, level;
    const char* cells;  // MIB, type and level cells
  } cases[] = {
      {0, 0, 0, "<td>UPSv4</td><td>v1</td><td>None</td>"},
      {1, 1, 1, "<td>UPSv5</td><td>v2c</td><td>Information</td>"},
      {2, 2, 2, "<td>UPSv4</td><td>v3</td><td>Warning</td>"},  // MIB 2: the trap sender's first table
      {255, 3, 3, "<td>UPSv4</td><td>v1</td><td>Severity</td>"},
      {0, 9, 4, "<td>UPSv4</td><td>v1</td><td>QuenchRelayer 2012</td>"},
      {0, 0, 7, "<td>UPSv4</td><td>v1</td><td>None</td>"},  // stored as posted, shown as none
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cells);
    SnmpTrapReceiverCount = 0;
    TrapReceiver& t = AddReceiver("10.0.0.1", c.level);
    t.mib = c.mib;
    t.type = c.type;
    EXPECT_NE(Var("TRAP_LIST_ADD").find(std::string("<td>162</td>") + c.cells), std::string::npos);
  }
}

TEST_F(SnmpPages, ListTextsCannotLeaveTheirStringOrCell) {
  // Texts from an edited config.ini: neither the script string in the
  // attribute nor a cell may be closed by them.
  TrapReceiver& t = AddReceiver("1.2.3.4');alert(1);('", 1);
  strcpy(t.community, "<b>\"c\"</b>");
  strcpy(t.user, "u&v");
  const std::string row = Var("TRAP_LIST_ADD");
  EXPECT_NE(row.find("Func_Select(1,'1.2.3.4\\x27);alert(1);(\\x27','\\x3cb\\x3e\\x22c\\x22\\x3c/b\\x3e',162"),
            std::string::npos)
      << row;
  EXPECT_NE(row.find(">1.2.3.4&#39;);alert(1);(&#39;</a></td><td>&lt;b&gt;&quot;c&quot;&lt;/b&gt;</td>"),
            std::string::npos)
      << row;
  EXPECT_NE(row.find("<td>u&amp;v</td></tr>"), std::string::npos) << row;
  EXPECT_EQ(row.find('<', row.find("Func_Select")), row.find("</a>"));  // nothing opens inside the call
  EXPECT_NE(Var("TRAP_FUNC_LOAD").find("'u\\x26v'"), std::string::npos);
}

TEST_F(SnmpPages, EveryTrapRowReachesThePageInOrder) {
  // 255 rows are far more than the reply text holds: the rows before the
  // last ones go to the page first, in order, and none is lost or cut.
  std::string expected;
  for (int i = 0; i < TRAP_RECEIVERS; ++i) {
    char ip[32];
    snprintf(ip, sizeof ip, "198.51.100.%d", i);
    AddReceiver(ip, 1);
  }
  const std::string page = Var("TRAP_LIST_ADD");
  size_t at = 0;
  for (int i = 0; i < TRAP_RECEIVERS; ++i) {
    char row[64];
    snprintf(row, sizeof row, "<tr><td>%d</td><td><a href=\"#\" id=\"%d\"", i + 1, i + 1);
    const size_t found = page.find(row, at);
    ASSERT_EQ(found, at) << i;
    at = page.find("</tr>\n", found) + 6;
    EXPECT_NE(page.substr(found, at - found).find(">198.51.100." + std::to_string(i) + "</a>"), std::string::npos);
  }
  EXPECT_EQ(at, page.size());
  EXPECT_LT(strlen(WebReply.text), page.size());
  EXPECT_EQ(page.substr(page.size() - strlen(WebReply.text)), WebReply.text);  // the last rows stayed in the reply
}

TEST_F(SnmpPages, ShutdownClientBlocksOfLevelFourOnly) {
  for (uint8_t level : {0, 4, 3, 4, 1, 2, 4, 5}) {
    char ip[32];
    snprintf(ip, sizeof ip, "10.0.0.%d", SnmpTrapReceiverCount + 1);
    AddReceiver(ip, level);
  }
  SnmpPollClientCount = 3;
  ShutdownClientStatus& answered = SnmpPollClients[3];
  strcpy(answered.hostName, "db<1>");
  strcpy(answered.os, "Linux 6.1");
  answered.countdown = 120;
  answered.reason = 2;
  answered.touch = 4;
  strcpy(SnmpPollClients[6].os, "only the os");  // host still empty
  SnmpPollClients[6].touch = 65535;
  strcpy(SnmpPollClients[0].hostName, "level 0 client");  // not a client: never shown
  EXPECT_EQ(Var("NCS_NC_NUM"), "3");
  EXPECT_EQ(Var("NCS_NC_LIST"),
            "<NCS_NC_IP>10.0.0.2</NCS_NC_IP>\n<NCS_NC_HOST>Invalid</NCS_NC_HOST>\n<NCS_NC_OS>Invalid</NCS_NC_OS>\n"
            "<NCS_NC_COUNTDOWN>-1</NCS_NC_COUNTDOWN>\n<NCS_NC_REASON>0</NCS_NC_REASON>\n<NCS_NC_TOUCH>0</NCS_NC_TOUCH>\n"
            "<NCS_NC_IP>10.0.0.4</NCS_NC_IP>\n<NCS_NC_HOST>db&lt;1&gt;</NCS_NC_HOST>\n<NCS_NC_OS>Linux 6.1</NCS_NC_OS>\n"
            "<NCS_NC_COUNTDOWN>120</NCS_NC_COUNTDOWN>\n<NCS_NC_REASON>2</NCS_NC_REASON>\n<NCS_NC_TOUCH>4</NCS_NC_TOUCH>\n"
            "<NCS_NC_IP>10.0.0.7</NCS_NC_IP>\n<NCS_NC_HOST>Invalid</NCS_NC_HOST>\n<NCS_NC_OS>only the os</NCS_NC_OS>\n"
            "<NCS_NC_COUNTDOWN>-1</NCS_NC_COUNTDOWN>\n<NCS_NC_REASON>0</NCS_NC_REASON>\n"
            "<NCS_NC_TOUCH>65535</NCS_NC_TOUCH>\n");
  SnmpTrapReceiverCount = 0;
  EXPECT_EQ(Var("NCS_NC_LIST"), "");
}

// ---- dev_snmpv1 and dev_snmpv3 -------------------------------------------------------

TEST_F(SnmpPages, AgentPort) {
  EXPECT_EQ(Post("dev_snmpv1", "ACT_SNMP_PORT=1161&SUB_PORT=Apply"), kAccessUpdated);
  EXPECT_EQ(SnmpAgentSetting.listenPort, 1161);
  EXPECT_EQ(g_closes, 1);  // reopened on the new port by the 5-second message
  EXPECT_TRUE(InConfig("Listen Port=1161"));
  // The stored port again: saved, the sockets stay open.
  Unsave();
  EXPECT_EQ(Post("dev_snmpv1", "SUB_PORT=1&ACT_SNMP_PORT=1161"), kAccessUpdated);
  EXPECT_EQ(g_closes, 1);
  EXPECT_TRUE(Saved());
  // The first port field counts.
  EXPECT_EQ(Post("dev_snmpv1", "SUB_PORT=1&ACT_SNMP_PORT=65535&ACT_SNMP_PORT=7"), kAccessUpdated);
  EXPECT_EQ(SnmpAgentSetting.listenPort, 65535);
  EXPECT_EQ(g_closes, 2);

  Unsave();
  struct Case {
    const char* fields;
    const char* reply;
  } cases[] = {
      {"ACT_SNMP_PORT=162", ""},  // without SUB_PORT nothing is done and nothing answered
      {"SUB_PORT=1", ""},
      {"SUB_PORT=1&ACT_SNMP_PORT=0", nullptr},  // no manager could find a port the kernel picks
      {"SUB_PORT=1&ACT_SNMP_PORT=65536", nullptr},  // would wrap to 0
      {"SUB_PORT=1&ACT_SNMP_PORT=-161", nullptr},
      {"SUB_PORT=1&ACT_SNMP_PORT=snmp", nullptr},
      {"SUB_PORT=1&ACT_SNMP_PORT=", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields);
    EXPECT_EQ(Post("dev_snmpv1", c.fields), c.reply ? c.reply : BadNumber("UDP port of SNMPv1 and SNMPv3 requests", 1, 65535));
    EXPECT_EQ(SnmpAgentSetting.listenPort, 65535);
    EXPECT_EQ(g_closes, 2);
    EXPECT_FALSE(Saved());
  }
}

TEST_F(SnmpPages, ContextName) {
  AddUser("manager", 2, "mq530847", "tv817264", 2);
  const std::string longest(16, 'c');
  EXPECT_EQ(Post("dev_snmpv3", "ACT_USM_CONTEXT=" + longest + "&SUB_CONTEXT=Apply"), kUsmUpdated);
  EXPECT_EQ(SnmpAgentSetting.contextName, longest);
  EXPECT_TRUE(InConfig("Context Name=" + longest));
  EXPECT_EQ(Post("dev_snmpv3", "SUB_CONTEXT=1&ACT_USM_CONTEXT="), kUsmUpdated);  // the empty context
  EXPECT_STREQ(SnmpAgentSetting.contextName, "");
  EXPECT_EQ(g_localized, 0);  // the context does not enter the keys

  strcpy(SnmpAgentSetting.contextName, "upsctx");
  Unsave();
  struct Case {
    std::string fields;
    std::string reply;
  } cases[] = {
      {"ACT_USM_CONTEXT=ctx", ""},
      {"SUB_CONTEXT=1", ""},
      {"SUB_CONTEXT=1&ACT_USM_CONTEXT=" + longest + "c", TooLong("Context name", 16)},  // requests carry the whole
      {"SUB_CONTEXT=1&ACT_USM_CONTEXT=a%27b", kIncorrectInput},
      {"ACT_USM_CONTEXT=%3Cx%3E", kIncorrectInput},  // checked before anything else
      {"SUB_CONTEXT=1&ACT_USM_CONTEXT=a%0Ab", kIncorrectInput},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields);
    EXPECT_EQ(Post("dev_snmpv3", c.fields), c.reply);
    EXPECT_STREQ(SnmpAgentSetting.contextName, "upsctx");
    EXPECT_FALSE(Saved());
  }
}

// ---- dev_iaccess -----------------------------------------------------------------------

std::string AccessFields(const std::string& op, const std::string& ip, const std::string& community = "tambor",
                         const std::string& permission = "1") {
  return op + "=1&ACT_DEV_IP=" + ip + "&ACT_DEV_COMM=" + community + "&ACT_DEV_PERMISSION=" + permission;
}

TEST_F(SnmpPages, AccessListAddEditDelete) {
  // The row number of the add key is not used: entries are appended.
  EXPECT_EQ(Post("dev_iaccess", AccessFields("ACT_DEV_ADD7", "0.0.0.0")), kAccessUpdated);
  EXPECT_EQ(Post("dev_iaccess", AccessFields("ACT_DEV_ADD", "%3A%3A", "six", "2")), kAccessUpdated);
  EXPECT_EQ(Post("dev_iaccess", AccessFields("ACT_DEV_ADD1", "192.0.2.10", "ops", "2")), kAccessUpdated);
  EXPECT_EQ(AccessIps(), (std::vector<std::string>{"0.0.0.0", "::", "192.0.2.10"}));
  EXPECT_EQ(SnmpAgentSetting.access[1].permission, 2);
  for (const char* line : {"Number=3", "IP2=::", "Community2=six", "Permission2=2", "IP3=192.0.2.10"})
    EXPECT_TRUE(InConfig(line)) << line;

  // An edit may keep its own address, not take another entry's.
  EXPECT_EQ(Post("dev_iaccess", AccessFields("ACT_DEV_EDIT3", "192.0.2.10", "ops2", "1")), kAccessUpdated);
  EXPECT_STREQ(SnmpAgentSetting.access[2].community, "ops2");
  EXPECT_EQ(SnmpAgentSetting.access[2].permission, 1);
  EXPECT_EQ(Post("dev_iaccess", AccessFields("ACT_DEV_EDIT3", "0.0.0.0")), kSameIp);
  EXPECT_EQ(Post("dev_iaccess", AccessFields("ACT_DEV_ADD", "192.0.2.10")), kSameIp);
  EXPECT_EQ(Post("dev_iaccess", AccessFields("ACT_DEV_EDIT1", "127.0.0.1", "local", "2")), kAccessUpdated);

  // Deleting row 2 moves row 3 down; the fields of a delete are not read.
  EXPECT_EQ(Post("dev_iaccess", AccessFields("ACT_DEV_DEL2", "x", "y", "z")), kAccessUpdated);
  EXPECT_EQ(AccessIps(), (std::vector<std::string>{"127.0.0.1", "192.0.2.10"}));
  EXPECT_STREQ(SnmpAgentSetting.access[1].community, "ops2");
  EXPECT_STREQ(SnmpAgentSetting.access[2].address, "");  // the freed slot holds nothing
  EXPECT_TRUE(InConfig("Number=2"));
  EXPECT_FALSE(InConfig("IP3=192.0.2.10"));
  // Of several operation keys the last one counts.
  EXPECT_EQ(Post("dev_iaccess", "ACT_DEV_ADD=1&" + AccessFields("ACT_DEV_DEL1", "x")), kAccessUpdated);
  EXPECT_EQ(AccessIps(), (std::vector<std::string>{"192.0.2.10"}));
  EXPECT_EQ(Post("dev_iaccess", AccessFields("ACT_DEV_DEL1", "x")), kAccessUpdated);
  EXPECT_EQ(AccessIps(), (std::vector<std::string>{}));
  EXPECT_EQ(Post("dev_iaccess", AccessFields("ACT_DEV_DEL1", "x")), kCannotDelete);
  EXPECT_EQ(g_closes, 0);  // the agent reads the list at every request
}

TEST_F(SnmpPages, AccessListRefusals) {
  AddAccess("0.0.0.0", "tambor", 1);
  AddAccess("192.0.2.1", "ops", 2);
  const std::string ip51(51, '1');
  struct Case {
    std::string fields;
    std::string reply;
  } cases[] = {
      {"ACT_DEV_IP=1.1.1.1&ACT_DEV_COMM=c&ACT_DEV_PERMISSION=1", kInvalid},  // no operation
      {"ACT_DEV_ADD-1=1&ACT_DEV_IP=1.1.1.1&ACT_DEV_COMM=c&ACT_DEV_PERMISSION=1", kInvalid},
      {"ACT_DEV_ADD=1&ACT_DEV_COMM=c&ACT_DEV_PERMISSION=1", kInvalid},
      {"ACT_DEV_ADD=1&ACT_DEV_IP=1.1.1.1&ACT_DEV_PERMISSION=1", kInvalid},
      {"ACT_DEV_ADD=1&ACT_DEV_IP=1.1.1.1&ACT_DEV_COMM=c", kInvalid},
      {"ACT_DEV_DEL1=1&ACT_DEV_IP=1.1.1.1&ACT_DEV_COMM=c", kInvalid},  // a delete needs them too
      {AccessFields("ACT_DEV_EDIT0", "1.1.1.1"), kInvalid},  // rows outside 1..count
      {AccessFields("ACT_DEV_EDIT3", "1.1.1.1"), kInvalid},
      {AccessFields("ACT_DEV_EDIT", "1.1.1.1"), kInvalid},
      {AccessFields("ACT_DEV_DEL3", "1.1.1.1"), kInvalid},
      {AccessFields("ACT_DEV_DEL0", "1.1.1.1"), kInvalid},
      {AccessFields("ACT_DEV_DEL99999999999", "1.1.1.1"), kInvalid},
      {AccessFields("ACT_DEV_ADD", "192.0.2.1"), kSameIp},
      {AccessFields("ACT_DEV_ADD", "1.1.1.1", "a%3Cb"), kIncorrectInput},
      {AccessFields("ACT_DEV_EDIT1", "1.1.1.1%22"), kIncorrectInput},
      {AccessFields("ACT_DEV_ADD", "1.1.1.1", "c%0A%5BWeb%5D"), kIncorrectInput},
      {AccessFields("ACT_DEV_ADD", ip51 + "1"), TooLong("Source address", 51)},  // a cut address is another one
      {AccessFields("ACT_DEV_ADD", "1.1.1.1", std::string(17, 'c')), TooLong("Community", 16)},
      {AccessFields("ACT_DEV_ADD", "1.1.1.1", "c", "256"), BadNumber("Permission", 0, 255)},
      {AccessFields("ACT_DEV_EDIT2", "1.1.1.1", "c", "rw"), BadNumber("Permission", 0, 255)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields);
    EXPECT_EQ(Post("dev_iaccess", c.fields), c.reply);
    EXPECT_EQ(AccessIps(), (std::vector<std::string>{"0.0.0.0", "192.0.2.1"}));
    EXPECT_STREQ(SnmpAgentSetting.access[1].community, "ops");
    EXPECT_EQ(SnmpAgentSetting.access[1].permission, 2);
    EXPECT_FALSE(Saved());
  }
  // The longest texts are taken whole; a full list takes no more.
  EXPECT_EQ(Post("dev_iaccess", AccessFields("ACT_DEV_ADD", ip51, std::string(16, 'c'), "255")), kAccessUpdated);
  EXPECT_EQ(SnmpAgentSetting.access[2].address, ip51);
  while (SnmpAgentSetting.accessCount < SNMP_ACCESS_ENTRIES) AddAccess("", "", 0);
  Unsave();
  EXPECT_EQ(Post("dev_iaccess", AccessFields("ACT_DEV_ADD", "203.0.113.1")),
            Error("Exceed the maximum number of SNMP access!"));
  EXPECT_EQ(SnmpAgentSetting.accessCount, SNMP_ACCESS_ENTRIES);
  EXPECT_FALSE(Saved());
}

// ---- dev_iusm --------------------------------------------------------------------------

std::string UserFields(const std::string& op, const std::string& name, const std::string& security = "2",
                       const std::string& auth = "authpass1", const std::string& priv = "privpass1",
                       const std::string& permission = "1") {
  return op + "=1&ACT_USM_USER=" + name + "&ACT_USM_SECURITY=" + security + "&ACT_USM_AUTH=" + auth +
         "&ACT_USM_PRIV=" + priv + "&ACT_USM_PERMISSION=" + permission;
}

TEST_F(SnmpPages, UsersAddEditDeleteAndTheirKeys) {
  SnmpAgentSetting.passwordEncrypt = 0;  // plain passwords in config.ini
  AddUser("manager", 2, "mq530847", "tv817264", 2);
  EXPECT_EQ(Post("dev_iusm", UserFields("ACT_DEV_ADD", "alpha", "2", "alphaauth", "alphapriv", "2")), kUsmUpdated);
  EXPECT_EQ(Post("dev_iusm", UserFields("ACT_DEV_ADD", "bravo", "2", "bravoauth", "bravopriv", "1")), kUsmUpdated);
  // A user without authentication needs no password.
  EXPECT_EQ(Post("dev_iusm", UserFields("ACT_DEV_ADD", "viewer", "0", "", "", "1")), kUsmUpdated);
  EXPECT_EQ(UserNames(), (std::vector<std::string>{"manager", "alpha", "bravo", "viewer"}));
  EXPECT_EQ(g_localized, 3);
  EXPECT_EQ(SnmpEngineState.currentUser, SNMP_NO_USER);
  EXPECT_EQ(Key(SnmpAgentSetting.users[2].authKey), KeyOf("bravoauth"));
  EXPECT_EQ(Key(SnmpAgentSetting.users[2].privKey), KeyOf("bravopriv"));
  for (const char* line : {"Number=4", "User3=bravo", "Security3=2", "Auth3=bravoauth", "Priv3=bravopriv",
                           "Permission3=1", "User4=viewer", "Security4=0"})
    EXPECT_TRUE(InConfig(line)) << line;

  // Deleting row 2 moves bravo to row 2 with its own keys.
  EXPECT_EQ(Post("dev_iusm", UserFields("ACT_DEV_DEL2", "", "", "", "", "")), kUsmUpdated);
  EXPECT_EQ(UserNames(), (std::vector<std::string>{"manager", "bravo", "viewer"}));
  const UsmUser& moved = SnmpAgentSetting.users[1];
  EXPECT_STREQ(moved.authPassword, "bravoauth");
  EXPECT_EQ(moved.permission, 1);
  EXPECT_EQ(Key(moved.authKey), KeyOf("bravoauth"));
  EXPECT_EQ(Key(moved.privKey), KeyOf("bravopriv"));
  EXPECT_STREQ(SnmpAgentSetting.users[3].name, "");
  EXPECT_STREQ(SnmpAgentSetting.users[3].authPassword, "");  // no later user inherits a password
  EXPECT_EQ(g_localized, 4);
  EXPECT_TRUE(InConfig("User2=bravo"));
  EXPECT_TRUE(InConfig("Number=3"));

  // An edit keeps a password whose field is empty and derives the keys of a new one.
  EXPECT_EQ(Post("dev_iusm", UserFields("ACT_DEV_EDIT2", "bravo", "2", "", "newprivpass", "2")), kUsmUpdated);
  EXPECT_STREQ(moved.authPassword, "bravoauth");
  EXPECT_STREQ(moved.privPassword, "newprivpass");
  EXPECT_EQ(moved.permission, 2);
  EXPECT_EQ(Key(moved.privKey), KeyOf("newprivpass"));
  // Renamed, and 8 characters are enough.
  EXPECT_EQ(Post("dev_iusm", UserFields("ACT_DEV_EDIT2", "charlie", "1", "12345678", "", "2")), kUsmUpdated);
  EXPECT_STREQ(moved.name, "charlie");
  EXPECT_EQ(moved.security, 1);
  EXPECT_EQ(Key(moved.authKey), KeyOf("12345678"));
  EXPECT_EQ(g_localized, 6);
  // The manager keeps its row.
  EXPECT_STREQ(SnmpAgentSetting.users[0].name, "manager");
  EXPECT_EQ(Key(SnmpAgentSetting.users[0].authKey), KeyOf("mq530847"));
}

TEST_F(SnmpPages, UserRefusals) {
  AddUser("manager", 2, "mq530847", "tv817264", 2);
  AddUser("ops", 2, "opsauth1", "opspriv1", 1);
  AddUser("viewer", 0, "", "", 1);
  const std::string p16(16, 'p');
  struct Case {
    std::string fields;
    std::string reply;
  } cases[] = {
      {"ACT_USM_USER=x&ACT_USM_SECURITY=0&ACT_USM_AUTH=&ACT_USM_PRIV=&ACT_USM_PERMISSION=1", kInvalid},
      {"ACT_DEV_ADD=1&ACT_USM_USER=x&ACT_USM_SECURITY=0&ACT_USM_AUTH=&ACT_USM_PRIV=", kInvalid},
      {"ACT_DEV_ADD=1&ACT_USM_USER=x&ACT_USM_AUTH=&ACT_USM_PRIV=&ACT_USM_PERMISSION=1", kInvalid},
      {"ACT_DEV_DEL2=1&ACT_USM_USER=x", kInvalid},  // a delete needs every field too
      {UserFields("ACT_DEV_ADD-2", "x"), kInvalid},
      {UserFields("ACT_DEV_EDIT4", "x"), kInvalid},
      {UserFields("ACT_DEV_DEL4", "x"), kInvalid},
      {UserFields("ACT_DEV_DEL0", "x"), kInvalid},
      {UserFields("ACT_DEV_EDIT1", "boss"), Error("Cannot edit the manager!")},
      {UserFields("ACT_DEV_DEL1", "x"), Error("Cannot delete the manager!")},
      {UserFields("ACT_DEV_ADD", "ops"), Error("Already has the same user name!")},
      {UserFields("ACT_DEV_EDIT3", "ops", "0", "", ""), Error("Already has the same user name!")},
      {UserFields("ACT_DEV_ADD", "x", "2", "1234567"), kShort},  // 7 characters
      {UserFields("ACT_DEV_ADD", "x", "2", "authpass1", "short"), kShort},
      {UserFields("ACT_DEV_EDIT2", "ops", "2", "1234567", ""), kShort},
      // A level that needs a password the user does not have would be keyed
      // with the all-zero key of an empty password.
      {UserFields("ACT_DEV_ADD", "x", "1", "", ""), kShort},
      {UserFields("ACT_DEV_ADD", "x", "2", "authpass1", ""), kShort},
      {UserFields("ACT_DEV_EDIT3", "viewer", "1", "", ""), kShort},
      {UserFields("ACT_DEV_ADD", "x", "2", "pass%27word"), kIncorrectInput},
      {UserFields("ACT_DEV_ADD", "a%3Eb"), kIncorrectInput},
      {UserFields("ACT_DEV_ADD", std::string(17, 'u')), TooLong("User name", 16)},
      {UserFields("ACT_DEV_ADD", "x", "2", p16 + "p"), TooLong("Authentication password", 16)},  // a cut password is another one
      {UserFields("ACT_DEV_ADD", "x", "2", p16, p16 + "p"), TooLong("Privacy password", 16)},
      {UserFields("ACT_DEV_ADD", "x", "authPriv"), BadNumber("Security", 0, 255)},
      {UserFields("ACT_DEV_ADD", "x", "2", "authpass1", "privpass1", "258"), BadNumber("Permission", 0, 255)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields);
    EXPECT_EQ(Post("dev_iusm", c.fields), c.reply);
    EXPECT_EQ(UserNames(), (std::vector<std::string>{"manager", "ops", "viewer"}));
    EXPECT_STREQ(SnmpAgentSetting.users[1].authPassword, "opsauth1");
    EXPECT_EQ(SnmpAgentSetting.users[2].security, 0);
    EXPECT_EQ(g_localized, 0);
    EXPECT_FALSE(Saved());
  }
  // The longest texts are taken whole; a full table takes no more.
  EXPECT_EQ(Post("dev_iusm", UserFields("ACT_DEV_ADD", std::string(16, 'u'), "2", p16, p16)), kUsmUpdated);
  EXPECT_EQ(SnmpAgentSetting.users[3].privPassword, p16);
  while (SnmpAgentSetting.userCount < SNMP_USM_USERS) AddUser("", 0, "", "", 0);
  Unsave();
  EXPECT_EQ(Post("dev_iusm", UserFields("ACT_DEV_ADD", "late")), Error("Exceed the maximum number of USM users!"));
  EXPECT_FALSE(Saved());
}

// ---- trap_iconfig ----------------------------------------------------------------------

std::string TrapFields(const std::string& op, const std::string& ip, const std::string& rest = "") {
  std::string f = op + "=1&TRAP_NMS=" + ip +
                  "&TRAP_COMM=public&TRAP_PORT=162&TRAP_MIB=0&TRAP_TYPE=0&TRAP_LEVEL=1&TRAP_USER=&TRAP_NCP=161"
                  "&TRAP_TWICE=0";
  return rest.empty() ? f : f + "&" + rest;  // later fields of the same key count
}

TEST_F(SnmpPages, TrapReceiversAddEditDelete) {
  EXPECT_EQ(Post("trap_iconfig",
                 "TRAP_ADD5=1&TRAP_NMS=192.0.2.2&TRAP_COMM=ops&TRAP_PORT=16201&TRAP_MIB=1&TRAP_TYPE=2&TRAP_LEVEL=4"
                 "&TRAP_USER=manager&TRAP_NCP=3161&TRAP_TWICE=1"),
            kTrapUpdated);
  const TrapReceiver& t = SnmpTrapReceivers[0];
  EXPECT_EQ(SnmpTrapReceiverCount, 1);
  EXPECT_STREQ(t.ip, "192.0.2.2");
  EXPECT_STREQ(t.community, "ops");
  EXPECT_STREQ(t.user, "manager");
  EXPECT_EQ(std::vector<int>({t.port, t.ncPort, t.mib, t.type, t.level, t.twice}),
            std::vector<int>({16201, 3161, 1, 2, 4, 1}));
  for (const char* line : {"Number=1", "IP1=192.0.2.2", "Port1=16201", "Community1=ops", "Type1=2", "MIB1=1",
                           "Level1=4", "User1=manager", "NCPort1=3161", "Twice1=Yes"})
    EXPECT_TRUE(InConfig(line)) << line;
  EXPECT_EQ(g_resets, 1);

  EXPECT_EQ(Post("trap_iconfig", TrapFields("TRAP_ADD", "2001:db8::2")), kTrapUpdated);
  EXPECT_EQ(Post("trap_iconfig", TrapFields("TRAP_ADD", "10.0.0.3", "TRAP_LEVEL=7")), kTrapUpdated);  // kept as posted
  EXPECT_EQ(SnmpTrapReceivers[2].level, 7);
  // The same address: an edit of its own row succeeds, an add or another row fails.
  EXPECT_EQ(Post("trap_iconfig", TrapFields("TRAP_EDIT2", "2001:db8::2", "TRAP_PORT=1162")), kTrapUpdated);
  EXPECT_EQ(SnmpTrapReceivers[1].port, 1162);
  EXPECT_EQ(Post("trap_iconfig", TrapFields("TRAP_ADD", "2001:db8::2")), kSameIp);
  EXPECT_EQ(Post("trap_iconfig", TrapFields("TRAP_EDIT3", "192.0.2.2")), kSameIp);
  // An edit replaces all nine fields.
  EXPECT_EQ(Post("trap_iconfig", TrapFields("TRAP_EDIT1", "192.0.2.20")), kTrapUpdated);
  EXPECT_EQ(std::vector<int>({t.port, t.ncPort, t.mib, t.type, t.level, t.twice}),
            std::vector<int>({162, 161, 0, 0, 1, 0}));
  EXPECT_STREQ(t.user, "");
  EXPECT_EQ(g_resets, 5);  // every change, no refusal

  // A delete needs no other field; row 3 moves down and the countdowns go.
  SnmpPollClients[1].countdown = 30;
  EXPECT_EQ(Post("trap_iconfig", "TRAP_DEL2=1"), kTrapUpdated);
  EXPECT_EQ(ReceiverIps(), (std::vector<std::string>{"192.0.2.20", "10.0.0.3"}));
  EXPECT_EQ(SnmpTrapReceivers[1].level, 7);
  EXPECT_STREQ(SnmpTrapReceivers[2].ip, "");
  EXPECT_EQ(SnmpPollClients[1].countdown, -1);
  EXPECT_EQ(g_resets, 6);
  EXPECT_TRUE(InConfig("Number=2"));
  EXPECT_EQ(Post("trap_iconfig", "TRAP_DEL1=1"), kTrapUpdated);
  EXPECT_EQ(Post("trap_iconfig", "TRAP_EDIT1=1&TRAP_DEL1=1"), kTrapUpdated);  // the last operation key counts
  EXPECT_EQ(SnmpTrapReceiverCount, 0);
  EXPECT_EQ(Post("trap_iconfig", "TRAP_DEL1=1"), kCannotDelete);
  EXPECT_EQ(g_resets, 8);
  // The rows the page then shows: the placeholder again.
  EXPECT_NE(Var("TRAP_LIST_ADD").find("<td>tambor</td>"), std::string::npos);
}

TEST_F(SnmpPages, TrapReceiverRefusals) {
  AddReceiver("192.0.2.2", 4);
  AddReceiver("192.0.2.3", 1);
  SnmpPollClients[0].countdown = 12;
  struct Case {
    std::string fields;
    std::string reply;
  } cases[] = {
      {"TRAP_NMS=1.1.1.1&TRAP_COMM=c&TRAP_PORT=162&TRAP_TYPE=0&TRAP_LEVEL=1", kInvalid},  // no operation
      {"TRAP_DEL-1=1", kInvalid},
      {"TRAP_DEL=1", kInvalid},  // row 0
      {"TRAP_DEL3=1", kInvalid},
      {TrapFields("TRAP_ADD-1", "1.1.1.1"), kInvalid},
      {TrapFields("TRAP_EDIT0", "1.1.1.1"), kInvalid},
      {TrapFields("TRAP_EDIT3", "1.1.1.1"), kInvalid},
      // Each of the nine fields must be posted for an add or an edit.
      {"TRAP_ADD=1&TRAP_COMM=c&TRAP_PORT=1&TRAP_MIB=0&TRAP_TYPE=0&TRAP_LEVEL=1&TRAP_USER=&TRAP_NCP=1&TRAP_TWICE=0",
       kInvalid},
      {"TRAP_ADD=1&TRAP_NMS=1.1.1.1&TRAP_COMM=c&TRAP_PORT=1&TRAP_TYPE=0&TRAP_LEVEL=1&TRAP_USER=&TRAP_NCP=1"
       "&TRAP_TWICE=0",
       kInvalid},
      {"TRAP_EDIT1=1&TRAP_NMS=1.1.1.1&TRAP_COMM=c&TRAP_PORT=1&TRAP_MIB=0&TRAP_TYPE=0&TRAP_LEVEL=1&TRAP_USER="
       "&TRAP_TWICE=0",
       kInvalid},
      {TrapFields("TRAP_ADD", "192.0.2.3"), kSameIp},
      {TrapFields("TRAP_EDIT2", "192.0.2.2"), kSameIp},
      {TrapFields("TRAP_ADD", "1.1.1.1", "TRAP_COMM=%26"), kIncorrectInput},
      {TrapFields("TRAP_ADD", "1.1.1.1", "TRAP_USER=u%22"), kIncorrectInput},
      {"TRAP_DEL1=1&TRAP_NMS=%3Cscript%3E", kIncorrectInput},  // checked before anything else
      {TrapFields("TRAP_ADD", std::string(52, '1')), TooLong("Address", 51)},
      {TrapFields("TRAP_ADD", "1.1.1.1", "TRAP_COMM=" + std::string(17, 'c')), TooLong("Community", 16)},
      {TrapFields("TRAP_ADD", "1.1.1.1", "TRAP_USER=" + std::string(17, 'u')), TooLong("SNMPv3 user", 16)},
      {TrapFields("TRAP_ADD", "1.1.1.1", "TRAP_PORT=trap"), BadNumber("Trap port", 0, 65535)},  // not read as port 0
      {TrapFields("TRAP_ADD", "1.1.1.1", "TRAP_PORT=65536"), BadNumber("Trap port", 0, 65535)},
      {TrapFields("TRAP_EDIT1", "1.1.1.1", "TRAP_NCP=-1"), BadNumber("Client port", 0, 65535)},
      {TrapFields("TRAP_ADD", "1.1.1.1", "TRAP_MIB=256"), BadNumber("MIB", 0, 255)},
      {TrapFields("TRAP_ADD", "1.1.1.1", "TRAP_TYPE=v2c"), BadNumber("Version", 0, 255)},
      {TrapFields("TRAP_ADD", "1.1.1.1", "TRAP_LEVEL=260"), BadNumber("Lowest level sent", 0, 255)},  // would be level 4
      {TrapFields("TRAP_ADD", "1.1.1.1", "TRAP_TWICE=yes"), BadNumber("Send every trap twice", 0, 255)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields);
    EXPECT_EQ(Post("trap_iconfig", c.fields), c.reply);
    EXPECT_EQ(ReceiverIps(), (std::vector<std::string>{"192.0.2.2", "192.0.2.3"}));
    EXPECT_EQ(SnmpTrapReceivers[0].level, 4);
    EXPECT_EQ(SnmpTrapReceivers[1].port, 162);
    EXPECT_EQ(SnmpPollClients[0].countdown, 12);
    EXPECT_EQ(g_resets, 0);
    EXPECT_FALSE(Saved());
  }
  while (SnmpTrapReceiverCount < TRAP_RECEIVERS) AddReceiver("", 0);
  EXPECT_EQ(Post("trap_iconfig", TrapFields("TRAP_ADD", "203.0.113.9")), Error("Exceed the maximum number of SNMP trap!"));
  EXPECT_EQ(SnmpTrapReceiverCount, TRAP_RECEIVERS);
  EXPECT_FALSE(Saved());
}

// ---- every form ----------------------------------------------------------------------

TEST_F(SnmpPages, EveryFormNeedsItsToken) {
  AddUser("manager", 2, "mq530847", "tv817264", 2);
  struct Case {
    const char* form;
    std::string fields;
    const char* page;  // where the out-of-date answer leads
  } cases[] = {
      {"dev_snmpv1", "SUB_PORT=1&ACT_SNMP_PORT=1161", "/en/net_snmpaccess.asp"},
      {"dev_snmpv3", "SUB_CONTEXT=1&ACT_USM_CONTEXT=other", "/en/net_snmpusm.asp"},
      {"dev_iaccess", AccessFields("ACT_DEV_ADD", "1.1.1.1"), "/en/net_snmpaccess.asp"},
      {"dev_iusm", UserFields("ACT_DEV_ADD", "x"), "/en/net_snmpusm.asp"},
      {"trap_iconfig", TrapFields("TRAP_ADD", "1.1.1.1"), "/en/device/net_snmptrap.asp"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.form);
    Token();
    for (const std::string& token : {std::string(), std::string("&SYS_UCTOKEN=") + std::string(24, 'A')}) {
      EXPECT_EQ(PostRaw(c.form, c.fields + token), Stale(c.page));
      EXPECT_EQ(SnmpAgentSetting.listenPort, 161);
      EXPECT_STREQ(SnmpAgentSetting.contextName, "upsctx");
      EXPECT_EQ(SnmpAgentSetting.accessCount, 0);
      EXPECT_EQ(SnmpAgentSetting.userCount, 1);
      EXPECT_EQ(SnmpTrapReceiverCount, 0);
      EXPECT_EQ(g_closes + g_localized + g_resets, 0);
      EXPECT_FALSE(Saved());
    }
  }
}

TEST_F(SnmpPages, FailedSaveIsReportedAndUndone) {
  AddUser("manager", 2, "mq530847", "tv817264", 2);
  EXPECT_EQ(Post("dev_iusm", UserFields("ACT_DEV_ADD", "second", "2", "secondauth", "secondpriv")), kUsmUpdated);
  EXPECT_EQ(Post("dev_iusm", UserFields("ACT_DEV_ADD", "third", "2", "thirdauth1", "thirdpriv1")), kUsmUpdated);
  const SnmpAgentSettings before = SnmpAgentSetting;
  ASSERT_NE(memcmp(before.users[1].authKey, before.users[2].authKey, sizeof before.users[1].authKey), 0);
  g_closes = g_localized = g_resets = 0;

  std::filesystem::create_directory(Path("config.ini.tmp"));  // the new file cannot be written
  EXPECT_EQ(Post("dev_snmpv1", "SUB_PORT=1&ACT_SNMP_PORT=1161"), kNotSaved);
  EXPECT_EQ(g_closes, 0);  // the agent answers on, on the port in force
  EXPECT_EQ(Post("dev_snmpv3", "SUB_CONTEXT=1&ACT_USM_CONTEXT=ctx"), kNotSaved);
  EXPECT_EQ(Post("dev_iaccess", AccessFields("ACT_DEV_ADD", "1.1.1.1")), kNotSaved);
  EXPECT_EQ(Post("dev_iusm", UserFields("ACT_DEV_ADD", "x")), kNotSaved);
  // A delete moves the later users down: undone, each user has its own keys again.
  EXPECT_EQ(Post("dev_iusm", UserFields("ACT_DEV_DEL2", "second")), kNotSaved);
  EXPECT_EQ(g_localized, 0);
  EXPECT_EQ(Post("trap_iconfig", TrapFields("TRAP_ADD", "1.1.1.1")), kNotSaved);
  EXPECT_EQ(g_resets, 0);  // the shutdown clients keep their countdowns
  EXPECT_EQ(memcmp(SnmpAgentSetting.users, before.users, sizeof before.users), 0);  // with their keys
  EXPECT_EQ(memcmp(SnmpAgentSetting.access, before.access, sizeof before.access), 0);
  EXPECT_STREQ(SnmpAgentSetting.contextName, "upsctx");
  EXPECT_EQ(SnmpAgentSetting.listenPort, 161);
  EXPECT_EQ(SnmpAgentSetting.userCount, 3);
  EXPECT_STREQ(SnmpAgentSetting.users[1].name, "second");
  EXPECT_EQ(SnmpTrapReceiverCount, 0);
}

}  // namespace
