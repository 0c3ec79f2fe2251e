// Device page framework: name groups and entries, the page table and its
// form-token test, the shared reply texts, the reply helpers and the four
// value formatters.
#include <algorithm>
#include <climits>
#include <filesystem>
#include <functional>

#include "core/cfg.h"
#include "core/msg.h"
#include "events/dlog.h"
#include "events/mail.h"
#include "events/react.h"
#include "events/sched.h"
#include "events/sms.h"
#include "events/wol.h"
#include "snmp/snmpagent.h"
#include "snmp/snmppoll.h"
#include "snmp/snmptrap.h"
#include "web/websess.h"
#include "web/websys.h"
#include "webdevfixture.h"
#include "webreplies.h"

using namespace devtest;
using namespace webreplies;

namespace {

// ---- name groups --------------------------------------------------------------

TEST(WebDevTables, GroupsCoverTheStoredNamesInOrder) {
  struct Expected {
    const char* key;
    int count;
    const char* first;
    bool suffix;
  } want[WEBDEV_GROUPS] = {
      {"SUM", 11, "SUM_HOST_NAME", false},   {"UPS", 78, "UPS_MODEL", true},     {"PRP", 24, "PRP_C_MODEL", true},
      {"CFG", 34, "CFG_ARB", true},          {"CTL", 4, "CTL_FTST", false},      {"IMG", 34, "IMG_STS_COMMERR", false},
      {"NCS", 2, "NCS_NC_NUM", false},       {"LOG", 7, "LOG_PAGE", false},      {"DATA", 6, "DATA_SELBY", false},
      {"HCG", 4, "HCG_MAX_DATANUM", false},  {"ACT", 24, "ACT_PF_EN", false},    {"WSH", 3, "WSH_AC", true},
      {"SSH", 3, "SSH_AC", true},            {"EVT", 2, "EVT_LIST_ADD", false},  {"TRAP", 2, "TRAP_LIST_ADD", false},
      {"NOT", 1, "NOT_DELAY", false},        {"WOL", 2, "WOL_LIST_ADD", false},  {"DBG", 9, "DBG_TX_OK", false},
  };
  int next = CFG_DEV_SUM;
  for (int g = 0; g < WEBDEV_GROUPS; ++g) {
    const WebDevGroup& group = WebDevGroups[g];
    SCOPED_TRACE(group.key);
    EXPECT_STREQ(group.key, want[g].key);
    EXPECT_EQ(group.keyLength, static_cast<int>(strlen(want[g].key)));
    EXPECT_EQ(group.count, want[g].count);
    EXPECT_EQ(group.suffix != 0, want[g].suffix);
    EXPECT_EQ(group.first, next);  // stored one after another
    EXPECT_STREQ(CfgKeyTable[group.first], want[g].first);
    next = group.first + group.count;
    for (int i = 0; i < group.count; ++i) {
      const char* name = CfgKeyTable[group.first + i];
      ASSERT_NE(name, nullptr);
      EXPECT_EQ(strncmp(name, group.key, static_cast<size_t>(group.keyLength)), 0) << name;
      // A name that began with an earlier one of its group could never be selected.
      for (int j = 0; j < i; ++j) {
        const char* earlier = CfgKeyTable[group.first + j];
        EXPECT_NE(strncmp(name, earlier, strlen(earlier)), 0) << earlier << " hides " << name;
      }
    }
  }
  EXPECT_EQ(next, CFG_DEV_END);
  EXPECT_EQ(CFG_KEY_TABLE_SIZE, CFG_DEV_END);
}

// What the recording handler saw.
struct Seen {
  int group = -1;
  int entry = -1;
  int n = 0;
};
Seen g_seen;

class Dispatch : public DevTest {
 protected:
  void SetUp() override {
    DevTest::SetUp();
    memcpy(saved_, WebDevGroups, sizeof saved_);
    // Every group's handler records the call and writes "<entry>:<n>".
    for (int g = 0; g < WEBDEV_GROUPS; ++g) WebDevGroups[g].handler = kRecorders[g];
    g_seen = {};
  }
  void TearDown() override {
    memcpy(WebDevGroups, saved_, sizeof saved_);
    DevTest::TearDown();
  }
  template <int G>
  static void Recorder(const WebDevVarCall& call) {
    g_seen = {G, call.entry, call.n};
    WebDev_SetText("%d:%d", call.entry, call.n);
  }
  static constexpr WebDevVarFn kRecorders[WEBDEV_GROUPS] = {
      Recorder<0>,  Recorder<1>,  Recorder<2>,  Recorder<3>,  Recorder<4>,  Recorder<5>,
      Recorder<6>,  Recorder<7>,  Recorder<8>,  Recorder<9>,  Recorder<10>, Recorder<11>,
      Recorder<12>, Recorder<13>, Recorder<14>, Recorder<15>, Recorder<16>, Recorder<17>};
  WebDevGroup saved_[WEBDEV_GROUPS];
};

int GroupOf(const char* key) {
  for (int g = 0; g < WEBDEV_GROUPS; ++g)
    if (strcmp(WebDevGroups[g].key, key) == 0) return g;
  return -1;
}

int EntryOf(int group, const char* name) {
  for (int i = 0; i < WebDevGroups[group].count; ++i)
    if (strcmp(CfgKeyTable[WebDevGroups[group].first + i], name) == 0) return i;
  return -1;
}

TEST_F(Dispatch, NameToGroupEntryAndSuffix) {
  struct Case {
    const char* name;
    const char* group;  // null: no group takes the name
    const char* entry;  // null: the group has no entry for it
    int n;
  } cases[] = {
      {"UPS_INVOLT12", "UPS", "UPS_INVOLT", 12},
      {"UPS_INVOLT", "UPS", "UPS_INVOLT", 0},
      {"UPS_INVOLT31x", "UPS", "UPS_INVOLT", 31},
      {"UPS_XYZ", "UPS", nullptr, 0},               // the key matches: no other group is tried
      {"SUMMARY", "SUM", nullptr, 0},
      {"SUM_HOST_NAME7", "SUM", "SUM_HOST_NAME", 0}, // SUM_ reads no number
      {"PRP_C_INVOLT3", "PRP", "PRP_C_INVOLT", 3},   // read, not used
      {"CFG_SDC4", "CFG", "CFG_SDC", 4},
      {"CFG_SDC-3", "CFG", "CFG_SDC", -3},
      {"CFG_SDC99999999999999", "CFG", "CFG_SDC", INT_MAX},  // clamped, not overflowed
      {"CFG_SDC-99999999999999", "CFG", "CFG_SDC", INT_MIN},
      {"WSH_ACT3", "WSH", "WSH_AC", 0},              // the first prefix wins: the rest "T3" is no number
      {"WSH_TM3", "WSH", "WSH_TM", 3},
      {"UPS_PM_TEMP_INVERTER", "UPS", "UPS_PM_TEMP_INVERTER", 0},
      {"UPS_PM_TEMP_INVR", "UPS", "UPS_PM_TEMP_INVR", 0},
      {"UPS_PM_IMG5", "UPS", "UPS_PM_IMG", 5},
      {"UPS_BATTSTSX", "UPS", "UPS_BATTSTS", 0},
      {"IMG_STS_BUZSTATUS", "IMG", "IMG_STS_BUZSTATUS", 0},
      {"IMG_STS_BUZSTATE", "IMG", "IMG_STS_BUZSTATE", 0},
      {"DATA_SELBY", "DATA", "DATA_SELBY", 0},
      {"DATX_SELBY", nullptr, nullptr, 0},           // DATA_ is selected by four characters
      {"TRAP_LIST_ADD", "TRAP", "TRAP_LIST_ADD", 0},
      {"TRA", nullptr, nullptr, 0},
      {"NCS_NC_LIST", "NCS", "NCS_NC_LIST", 0},
      {"ups_model", nullptr, nullptr, 0},            // case matters
      {"UP", nullptr, nullptr, 0},
      {"", nullptr, nullptr, 0},
      {"LIN_CHALLENGE_VALUE", nullptr, nullptr, 0},  // a system name never reaches a device group
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_seen = {};
    WebReply.written = 0;
    const std::string page = Var(c.name);
    const int group = c.group ? GroupOf(c.group) : -1;
    EXPECT_EQ(WebDev_SelectGroup(c.name), group);
    if (!c.entry) {
      EXPECT_EQ(page, "");
      EXPECT_EQ(g_seen.group, -1);
      EXPECT_EQ(WebReply.length, 0);
      if (group >= 0) {
        EXPECT_EQ(WebDev_SelectEntry(group, c.name), -1);
      }
      continue;
    }
    const int entry = EntryOf(group, c.entry);
    ASSERT_GE(entry, 0);
    EXPECT_EQ(WebDev_SelectEntry(group, c.name), entry);
    EXPECT_EQ(g_seen.group, group);
    EXPECT_EQ(g_seen.entry, entry);
    EXPECT_EQ(g_seen.n, c.n);
    EXPECT_EQ(page, std::to_string(entry) + ":" + std::to_string(c.n));
    EXPECT_EQ(WebReply.written, 1);
    EXPECT_EQ(WebReply.length, page.size() + 1);
  }
}

TEST_F(Dispatch, NullHandlerWritesNothingAndAStaleReplyIsCleared) {
  const int dbg = GroupOf("DBG");
  WebDevGroups[dbg].handler = nullptr;
  snprintf(WebReply.text, sizeof WebReply.text, "stale");
  WebReply.length = 6;
  EXPECT_EQ(Var("DBG_TX_OK"), "");
  EXPECT_STREQ(WebReply.text, "");
  EXPECT_EQ(WebReply.written, 1);
  // Without a page nothing is run.
  WebDev_WriteVar(nullptr, "UPS_MODEL", 0, nullptr);
  EXPECT_EQ(g_seen.group, -1);
}

TEST_F(Dispatch, SystemWriterHandsOtherNamesOn) {
  HttpdOps.DevWriteVar = WebDev_WriteVar;
  char* data = nullptr;
  size_t size = 0;
  FILE* page = open_memstream(&data, &size);
  WebSys_WriteVar(page, "UPS_INVOLT2", 0, nullptr);
  WebSys_WriteVar(page, "INF_NOTHING", 0, nullptr);  // a system group's name stays there
  fclose(page);
  EXPECT_EQ(std::string(data, size), std::to_string(EntryOf(GroupOf("UPS"), "UPS_INVOLT")) + ":2");
  free(data);
  HttpdOps.DevWriteVar = nullptr;
}

// ---- pages ----------------------------------------------------------------------

TEST(WebDevTables, PageSelectionAndTokenFlags) {
  const char* names[WEBDEV_PAGES] = {"hist_log",      "hist_config",    "mgnt_reaction", "dev_snmpv1",
                                     "dev_iaccess",   "dev_snmpv3",     "dev_iusm",      "sys_batch",
                                     "trap_iconfig",  "mgnt_wschedule", "mgnt_sschedule", "wol_iconfig",
                                     "mgnt_comport",  "hist_data",      "event_iconfig", "dev_iconfig",
                                     "dev_icontrol",  "mgnt_control",   "debug"};
  for (int i = 0; i < WEBDEV_PAGES; ++i) {
    EXPECT_STREQ(WebDevPages[i].name, names[i]);
    EXPECT_EQ(WebDevPages[i].token, (i == 0 || i == 13 || i == 18) ? 0 : 1) << names[i];
    EXPECT_EQ(WebDev_SelectPage(names[i]), i);
  }
  struct Case {
    const char* form;
    int page;
  } cases[] = {
      {"debug2", 18}, {"dev_icontrolx", 16}, {"mgnt_controls", 17}, {"hist_configure", 1},
      {"Debug", -1},  {"dev_icon", -1},      {"", -1},              {"login", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(WebDev_SelectPage(c.form), c.page) << c.form;
}

int g_pageRuns;
int g_fieldsSeen;
void RecordingPage(HttpConn*) {
  ++g_pageRuns;
  g_fieldsSeen = WebFormFieldCount;
  WebDev_SetText("OK: Redirect=/ran");
}

class Forms : public DevTest {
 protected:
  void SetUp() override {
    DevTest::SetUp();
    memcpy(saved_, WebDevPages, sizeof saved_);
    for (WebDevPage& p : WebDevPages) p.handler = RecordingPage;
    WebDevPages[1].handler = nullptr;  // hist_config: not built
    g_pageRuns = 0;
    g_fieldsSeen = -1;
  }
  void TearDown() override {
    memcpy(WebDevPages, saved_, sizeof saved_);
    DevTest::TearDown();
  }
  WebDevPage saved_[WEBDEV_PAGES];
};

TEST_F(Forms, UnknownFormAndPageNotBuiltAnswerTheError) {
  EXPECT_EQ(Post("no_such_form", "X=1"),
            "Message: Title=Error\nBody=<font color=#F00000>FIFO_GROUP_POST not found!</font>\n");
  EXPECT_EQ(Post("hist_config", "CLEAR_LOG=1"), WEBDEV_NOT_FOUND);
  EXPECT_EQ(g_pageRuns, 0);
  EXPECT_STREQ(WEBDEV_UPDATED, "Message: Title=Information\nBody=<font color=#008000>Updated successfully.</font>\n");
}

TEST_F(Forms, TokenTest) {
  const std::string token = Token();
  // A token of another session (of the same level).
  const int mine = WebCurrentSession;
  SetLevel(0);
  const std::string other = Token();
  WebCurrentSession = mine;
  struct Case {
    const char* what;
    std::string form;
    std::string body;
    bool runs;
  } cases[] = {
      {"valid token", "dev_icontrol", "CTL_TST=3&SYS_UCTOKEN=" + token, true},
      {"7 characters of the name count", "dev_icontrol", "SYS_UCTxyz=" + token, true},
      {"empty body", "dev_icontrol", "", false},
      {"no token field", "dev_icontrol", "CTL_TST=3", false},
      {"wrong token", "mgnt_control", "SYS_UCTOKEN=AAAAAAAAAAAAAAAAAAAAAAAA", false},
      {"empty token", "mgnt_control", "SYS_UCTOKEN=", false},
      {"another session's token", "dev_iconfig", "SYS_UCTOKEN=" + other, false},
      {"untested page", "debug", "DBG_X=1", true},
      {"untested page, empty body", "hist_data", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_pageRuns = 0;
    snprintf(WebReply.text, sizeof WebReply.text, "stale");
    const std::string reply = PostRaw(c.form, c.body);
    EXPECT_EQ(g_pageRuns, c.runs ? 1 : 0);
    // Refused: the out-of-date answer leading back to the form's page.
    const std::string page = WebDevPages[WebDev_SelectPage(c.form.c_str())].page;
    EXPECT_EQ(reply, c.runs ? "OK: Redirect=/ran" : Stale(page));
  }
}

TEST_F(Forms, EveryPageTakesOnlyItsLevels) {
  // The device account posts the UPS and device pages, the user account
  // only the two viewers; the configuration file is the administrator's.
  // Without a session nothing runs.
  const struct {
    const char* form;
    int highest;
  } kPages[] = {
      {"hist_log", 2},       {"mgnt_reaction", 1},  {"dev_snmpv1", 1},     {"dev_iaccess", 1},
      {"dev_snmpv3", 1},     {"dev_iusm", 1},       {"sys_batch", 0},      {"trap_iconfig", 1},
      {"mgnt_wschedule", 1}, {"mgnt_sschedule", 1}, {"wol_iconfig", 1},    {"mgnt_comport", 1},
      {"hist_data", 2},      {"event_iconfig", 1},  {"dev_iconfig", 1},    {"dev_icontrol", 1},
      {"mgnt_control", 1},   {"debug", 1},
  };
  EXPECT_EQ(std::size(kPages), size_t(WEBDEV_PAGES - 1));  // every page but hist_config (not built here)
  for (const auto& p : kPages) {
    for (int level : {-1, 0, 1, 2}) {
      SCOPED_TRACE(std::string(p.form) + " " + std::to_string(level));
      SetLevel(level);
      g_pageRuns = 0;
      const std::string reply = Post(p.form, "X=1");
      const bool allowed = level >= 0 && level <= p.highest;
      EXPECT_EQ(g_pageRuns, allowed ? 1 : 0);
      EXPECT_EQ(reply, allowed ? "OK: Redirect=/ran" : level < 0 ? kLoginRequired : kDenied);
    }
  }
}

TEST_F(Forms, OnlyTheAdministratorChangesTheUserCommand) {
  wcscpy(ReactSetting.commandFile, L"/usr/local/brisvane/command/command.ESX5");
  const struct {
    int level;
    std::string fields;
    bool runs;
  } kCases[] = {
      {1, "SUB_REACTION=1&ACT_CMD_FILE=%2Ftmp%2Fevil.sh", false},
      {1, "SUB_REACTION=1&ACT_CMD_FILE=%2Fusr%2Flocal%2Fbrisvane%2Fcommand%2Fcommand.ESX5&ACT_CMD_FILE=x", false},
      {1, "SUB_REACTION=1&ACT_CMD_FILE=%2Fusr%2Flocal%2Fbrisvane%2Fcommand%2Fcommand.ESX5", true},  // unchanged
      {1, "SUB_REACTION=1&ACT_CMD_EN=1", true},  // the other fields are the device account's
      {0, "SUB_REACTION=1&ACT_CMD_FILE=%2Ftmp%2Fother.sh", true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.fields);
    SetLevel(c.level);
    g_pageRuns = 0;
    EXPECT_EQ(Post("mgnt_reaction", c.fields), c.runs ? "OK: Redirect=/ran" : kDenied);
    EXPECT_EQ(g_pageRuns, c.runs ? 1 : 0);
  }
}

TEST_F(Forms, FieldsAreParsedForThePage) {
  EXPECT_EQ(Post("dev_icontrol", "A=1&B=2"), "OK: Redirect=/ran");
  EXPECT_EQ(g_fieldsSeen, 3);
  PostRaw("debug", "");
  EXPECT_EQ(g_fieldsSeen, 0);  // an empty body leaves no field of the last post
}

// ---- reply helpers -------------------------------------------------------------

TEST(WebDevReply, RowsBeyondTheReplyTextReachThePageInOrder) {
  char* data = nullptr;
  size_t size = 0;
  FILE* page = open_memstream(&data, &size);
  WebDev_ClearReply();
  std::string expected;
  for (int i = 0; i < 300; ++i) {  // about 9 KiB of rows
    char row[64];
    snprintf(row, sizeof row, "<ROW%d>%s</ROW%d>\n", i, std::string(i % 7 + 10, 'x').c_str(), i);
    expected += row;
    WebDev_AppendRow(page, "%s", row);
    ASSERT_LE(strlen(WebReply.text), sizeof WebReply.text - 1);
    ASSERT_EQ(WebReply.length, strlen(WebReply.text) + 1);
  }
  // A single row longer than the reply text itself.
  const std::string huge(5000, 'h');
  WebDev_AppendRow(page, "%s", huge.c_str());
  expected += huge;
  WebDev_AppendRow(page, "%s", "tail");
  expected += "tail";
  fputs(WebReply.text, page);  // what the frame writes last
  fclose(page);
  EXPECT_EQ(std::string(data, size), expected);
  free(data);
}

TEST(WebDevReply, EscapeTable) {
  struct Case {
    const char* text;
    size_t size;
    const char* out;
  } cases[] = {
      {"SIM 3000", 64, "SIM 3000"},
      {"<b>&'\"", 64, "&lt;b&gt;&amp;&#39;&quot;"},
      {"a<b", 5, "a"},       // a reference is never cut
      {"a<b", 6, "a&lt;"},
      {"abcdef", 4, "abc"},
      {"", 1, ""},
  };
  for (const Case& c : cases) {
    char out[64];
    size_t n = WebDev_Escape(out, c.size, c.text);
    EXPECT_STREQ(out, c.out) << c.text;
    EXPECT_EQ(n, strlen(c.out));
  }
  // SetText cuts at the reply text's size.
  WebDev_SetText("%s", std::string(5000, 'y').c_str());
  EXPECT_EQ(strlen(WebReply.text), sizeof WebReply.text - 1);
  EXPECT_EQ(WebReply.length, sizeof WebReply.text);
}

TEST(WebDevReply, Atoi) {
  struct Case {
    const char* text;
    int value;
  } cases[] = {{"12", 12},   {"  -7x", -7}, {"+5", 5},           {"abc", 0},
               {"", 0},      {"3.9", 3},    {"99999999999", INT_MAX}, {"-99999999999", INT_MIN}};
  for (const Case& c : cases) EXPECT_EQ(WebDev_Atoi(c.text), c.value) << c.text;
  EXPECT_EQ(WebDev_Atoi(nullptr), 0);
}

// ---- a save that fails ----------------------------------------------------------

// The lines only before has (-) and those only after has (+).
std::string ChangedLines(const std::string& before, const std::string& after) {
  std::vector<std::string> a = Scratch_Lines(before), b = Scratch_Lines(after), gone, added;
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(gone));
  std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(added));
  std::string out;
  for (const std::string& l : gone) out += "-" + l + "\n";
  for (const std::string& l : added) out += "+" + l + "\n";
  return out;
}

int g_closes, g_smsPorts, g_localized, g_socketCloses, g_countdownResets, g_listenerRestarts;
uint8_t g_plannedMonth;
std::vector<int> g_retentions;  // "Maximum Storage=" as each retention run found it

// Messages of this code waiting in the queue.
int Queued(uint8_t code) {
  const MsgQueueView q = Msg_View();
  int n = 0;
  for (int i = 0; i < q.delayedCount; ++i) n += q.delayed[(q.delayedHead + i) % MSG_DELAYED_SIZE].code == code;
  return n;
}

// Forms posted through the server's dispatch (system forms, then the
// device forms) while config.ini cannot be rewritten, then again with room.
class FailedSave : public DevTest {
 protected:
  void SetUp() override {
    DevTest::SetUp();
    savedHttpd_ = HttpdOps;
    savedCom_ = ComOps;
    savedSms_ = SmsOps;
    savedAgent_ = SnmpAgentOps;
    savedPoll_ = SnmpPollOps;
    savedSched_ = SchedOps;
    savedDLog_ = DLogOps;
    HttpdOps.DevHandleForm = WebDev_HandleForm;
    HttpdOps.Stop = [] {};
    HttpdOps.Start = [](int, int, uint8_t, uint8_t) { ++g_listenerRestarts; };
    ComOps.Close = [](uint8_t) { return ++g_closes, 1; };
    SmsOps.SetPort = [](uint8_t, uint8_t) { ++g_smsPorts; };
    SnmpAgentOps.LocalizeUserKeys = [] { ++g_localized; };
    SnmpAgentOps.CloseSockets = [] { ++g_socketCloses; };
    SnmpPollOps.ResetCountdowns = [] { ++g_countdownResets; };
    SchedOps.Plan = [] { g_plannedMonth = SchedSpecific[2].month; };
    DLogOps.ApplyRetention = [] { g_retentions.push_back(DLogSetting.maxStorage); };
    g_closes = g_smsPorts = g_localized = g_socketCloses = g_countdownResets = g_listenerRestarts = 0;
    g_plannedMonth = 99;
    g_retentions.clear();

    ReactSetting = ReactSettings{};
    ReactSetting.delay[REACT_POWER_FAIL] = 600;
    // A scheduled shutdown came due while its reaction was off.
    ReactCountdown = ReactCountdownState{};
    ReactCountdown.trigger[REACT_SCHEDULE] = ReactCountdown.prevTrigger[REACT_SCHEDULE] = 1;
    MailSetting = MailSettings{};
    strcpy(MailSetting.server, "mail.example.org");
    MailSetting.port = 25;
    MailSetting.receiverCount = 1;
    strcpy(MailSetting.receivers[0].address, "ops@example.org");
    MailSetting.receivers[0].level = 1;
    memset(&SnmpAgentSetting, 0, sizeof SnmpAgentSetting);
    SnmpAgentSetting.listenPort = 161;
    SnmpAgentSetting.accessCount = 1;
    strcpy(SnmpAgentSetting.access[0].address, "0.0.0.0");
    strcpy(SnmpAgentSetting.access[0].community, "tambor");
    SnmpAgentSetting.access[0].permission = 1;
    SnmpAgentSetting.userCount = 1;
    strcpy(SnmpAgentSetting.users[0].name, "manager");
    SnmpAgentSetting.users[0].security = 2;
    strcpy(SnmpAgentSetting.users[0].authPassword, "mq530847");
    strcpy(SnmpAgentSetting.users[0].privPassword, "tv817264");
    SnmpAgentSetting.users[0].permission = 2;
    WebSysManageable = 1;
    WebSysManagerPermission = 0;
    SnmpTrapReceiverCount = 0;
    WebPasswordEncrypt = CFG_PW_ADVANCED;
    wcscpy(WebAccounts[0].name, L"admin");
    wcscpy(WebAccounts[0].password, L"brindlex");
    WebLock = WebLockSettings{1, 5, 10};
    HttpdSetting.httpPort = 80;
    HttpdSetting.refresh = 5;
    CfgLanguage = 0;
    memset(SchedSpecific, 0, sizeof SchedSpecific);  // every row empty (0/0/2000)
    ComPortSetting = 0;
    ComSlot.port[0] = 0;
    ComSlot.scan[0] = 1;
    SmsSetting = SmsSettings{};
    DLogSetting.maxStorage = 12;
    DLogSetting.exportPeriod = 60;
    DLogExportCountdown = 50;
    WolSetting = WolSettings{};
    WolSetting.hostCount = 2;
    WolSetting.hosts[0].mac[5] = 1;
    WolSetting.hosts[1].mac[5] = 2;
    WolCountdown[0] = 5;  // both hosts are being woken
    WolCountdown[1] = 7;
    UpsRecord.replaceNotice = 1;
    UpsRecord.replaceNoticeDays = 30;
    strcpy(UpsRecord.battLastDate, "20240102");
    strcpy(UpsRecord.battNextDate, "20270102");
    UpsRecord.capabilities = UPS_CMD_BRD;  // the UPS keeps the battery dates
    ASSERT_EQ(Cfg_Save(), 1);
    std::filesystem::create_directory(Path("config.ini.tmp"));  // the new file cannot be written
  }
  void TearDown() override {
    HttpdOps = savedHttpd_;
    ComOps = savedCom_;
    SmsOps = savedSms_;
    SnmpAgentOps = savedAgent_;
    SnmpPollOps = savedPoll_;
    SchedOps = savedSched_;
    DLogOps = savedDLog_;
    memset(WolCountdown, 0, sizeof WolCountdown);
    DevTest::TearDown();
  }
  HttpdOpsTable savedHttpd_;
  ComOpsTable savedCom_;
  SmsOpsTable savedSms_;
  SnmpAgentOpsTable savedAgent_;
  SnmpPollOpsTable savedPoll_;
  SchedOpsTable savedSched_;
  DLogOpsTable savedDLog_;
};

TEST_F(FailedSave, NothingOfTheChangeTakesEffectAndTheErrorIsAnswered) {
  const std::string notSaved =
      "Message: Title=Error\nBody=<font color=#F00000>The settings could not be saved.</font>\n";
  struct Case {
    const char* what;
    const char* form;
    std::string fields;
    std::function<void()> undone;  // the form's settings and what would follow from them, as before
    std::function<void()> done;    // with room: saved, and what follows from it happened
  } cases[] = {
      {"a reaction delay", "mgnt_reaction", "SUB_SHUTDOWN=1&ACT_OSD_PF=45",
       [] { EXPECT_EQ(ReactSetting.delay[REACT_POWER_FAIL], 600); },
       [] { EXPECT_EQ(ReactSetting.delay[REACT_POWER_FAIL], 45); }},
      {"the scheduled shutdown switched on", "mgnt_reaction", "SUB_SHUTDOWN=1&ACT_OSD_PF=45&ACT_SS_EN=1",
       [] {
         EXPECT_EQ(ReactSetting.enable[REACT_SCHEDULE], 0);
         EXPECT_EQ(ReactCountdown.trigger[REACT_SCHEDULE], 1);  // still latched
         EXPECT_EQ(ReactCountdown.prevTrigger[REACT_SCHEDULE], 1);
       },
       [] {
         EXPECT_EQ(ReactSetting.enable[REACT_SCHEDULE], 1);
         EXPECT_EQ(ReactCountdown.trigger[REACT_SCHEDULE], 0);
         EXPECT_EQ(ReactCountdown.prevTrigger[REACT_SCHEDULE], 0);
       }},
      {"the management switch off", "mgnt_reaction", "SUB_MAG=1",
       [] {
         EXPECT_EQ(SnmpAgentSetting.users[0].permission, 2);
         EXPECT_EQ(WebSysManagerPermission, 0);
       },
       [] {
         EXPECT_EQ(SnmpAgentSetting.users[0].permission, 0);
         EXPECT_EQ(WebSysManagerPermission, 2);
       }},
      {"mail server settings", "net_mail", "MAIL_SERVER=other.example.org&MAIL_PORT=2525",
       [] { EXPECT_STREQ(MailSetting.server, "mail.example.org"); },
       [] { EXPECT_STREQ(MailSetting.server, "other.example.org"); }},
      {"a mail receiver added", "smtp_iconfig", "SMTP_ADD=1&MAIL_RCV=new%40example.org&MAIL_PER=2",
       [] { EXPECT_EQ(MailSetting.receiverCount, 1); }, [] { EXPECT_EQ(MailSetting.receiverCount, 2); }},
      {"an SNMP community", "dev_iaccess",
       "ACT_DEV_EDIT1=1&ACT_DEV_IP=0.0.0.0&ACT_DEV_COMM=secret&ACT_DEV_PERMISSION=2",
       [] { EXPECT_STREQ(SnmpAgentSetting.access[0].community, "tambor"); },
       [] { EXPECT_STREQ(SnmpAgentSetting.access[0].community, "secret"); }},
      {"an account's password and the lock", "sys_user", "USR_PASSWD1=another-pass",
       [] {
         EXPECT_STREQ(WebAccounts[0].password, L"brindlex");
         EXPECT_EQ(WebLock.enable, 1);
       },
       [] { EXPECT_STREQ(WebAccounts[0].password, L"another-pass"); }},
      {"the web server's port", "sys_web", "WEB_HTTP_PORT=8080",
       [] {
         EXPECT_EQ(HttpdSetting.httpPort, 80);
         EXPECT_EQ(g_listenerRestarts, 0);  // the listeners run on as they are
       },
       [] {
         EXPECT_EQ(HttpdSetting.httpPort, 8080);
         EXPECT_EQ(g_listenerRestarts, 1);
       }},
      {"the language", "language", "LANG=1",
       [] {
         EXPECT_EQ(CfgLanguage, 0);
         EXPECT_EQ(Queued(MSG_LANGUAGE), 0);  // the texts in force are not read again
       },
       [] {
         EXPECT_EQ(CfgLanguage, 1);
         EXPECT_EQ(Queued(MSG_LANGUAGE), 1);
       }},
      // An empty row is no date config.ini could give back.
      {"a date schedule row", "mgnt_sschedule", "SSH_SD3=05/05/2027&SSH_TM3=10:30&SSH_ACT3=1",
       [] {
         EXPECT_EQ(SchedSpecific[2].month, 0);
         EXPECT_EQ(g_plannedMonth, 99);  // nothing planned anew
       },
       [] { EXPECT_EQ(g_plannedMonth, 5); }},
      {"the UPS port", "mgnt_comport", "ACT_COM_PORT=3",
       [] {
         EXPECT_EQ(ComPortSetting, 0);
         EXPECT_EQ(ComSlot.port[0], 0);
         EXPECT_EQ(ComSlot.scan[0], 1);  // still searching
         EXPECT_EQ(g_closes, 0);         // the link in use stays
       },
       [] {
         EXPECT_EQ(ComSlot.port[0], 2);
         EXPECT_EQ(ComSlot.scan[0], 0);
         EXPECT_EQ(g_closes, 1);
       }},
      {"the SMS modem port", "net_sms", "SMS_COM=3&SMS_BAUD=1",
       [] {
         EXPECT_EQ(SmsSetting.port, 0);
         EXPECT_EQ(g_smsPorts, 0);  // the modem was not moved
       },
       [] { EXPECT_EQ(g_smsPorts, 1); }},
      {"the SNMP agent's port", "dev_snmpv1", "SUB_PORT=1&ACT_SNMP_PORT=1161",
       [] {
         EXPECT_EQ(SnmpAgentSetting.listenPort, 161);
         EXPECT_EQ(g_socketCloses, 0);  // the agent answers on
       },
       [] {
         EXPECT_EQ(SnmpAgentSetting.listenPort, 1161);
         EXPECT_EQ(g_socketCloses, 1);
       }},
      {"an SNMPv3 user added", "dev_iusm",
       "ACT_DEV_ADD=1&ACT_USM_USER=x&ACT_USM_SECURITY=2&ACT_USM_AUTH=authpass1&ACT_USM_PRIV=privpass1"
       "&ACT_USM_PERMISSION=1",
       [] {
         EXPECT_EQ(SnmpAgentSetting.userCount, 1);
         EXPECT_EQ(g_localized, 0);  // the keys in use are those of the users in force
       },
       [] { EXPECT_EQ(g_localized, 1); }},
      {"a trap receiver added", "trap_iconfig",
       "TRAP_ADD1=1&TRAP_NMS=192.0.2.9&TRAP_COMM=c&TRAP_PORT=162&TRAP_MIB=0&TRAP_TYPE=0&TRAP_LEVEL=4&TRAP_USER="
       "&TRAP_NCP=161&TRAP_TWICE=0",
       [] {
         EXPECT_EQ(SnmpTrapReceiverCount, 0);
         EXPECT_EQ(g_countdownResets, 0);  // the shutdown clients keep their countdowns
       },
       [] { EXPECT_EQ(g_countdownResets, 1); }},
      {"a Wake-on-LAN host deleted", "wol_iconfig", "WOL_DEL1=1",
       [] {
         EXPECT_EQ(WolSetting.hostCount, 2);
         EXPECT_EQ(WolCountdown[0], 5);  // each countdown stays with its host
         EXPECT_EQ(WolCountdown[1], 7);
       },
       [] {
         EXPECT_EQ(WolSetting.hostCount, 1);
         EXPECT_EQ(WolCountdown[0], 7);
         EXPECT_EQ(WolCountdown[1], 0);
       }},
      // The UPS keeps the dates; the notice days are the service's own.
      {"the battery notice", "dev_iconfig", "CFG_BRN_DAY=90&CFG_NRD=12/31/2030&CFG_BRD=1",
       [] {
         EXPECT_EQ(UpsRecord.replaceNoticeDays, 30);
         EXPECT_EQ(g_sent, std::vector<Command>{});  // nothing went to the UPS
       },
       [] { EXPECT_EQ(g_sent, (std::vector<Command>{Cmd(UPS_CMD_BRD, {"20240102", "20301231"})})); }},
      {"the data log retention", "hist_config", "HCG_MAX_DATANUM=3&HCG_APPLY=1",
       [] {
         EXPECT_EQ(DLogSetting.maxStorage, 12);
         EXPECT_EQ(g_retentions, std::vector<int>{});  // no file removed
       },
       [] { EXPECT_EQ(g_retentions, std::vector<int>{3}); }},
      {"the data log cleared with a new retention", "hist_config", "HCG_MAX_DATANUM=6&CLEAR_DATA=1",
       [] {
         EXPECT_EQ(DLogSetting.maxStorage, 12);
         EXPECT_EQ(g_retentions, std::vector<int>{});  // not cleared
       },
       [] {
         EXPECT_EQ(DLogSetting.maxStorage, 6);
         EXPECT_EQ(g_retentions, (std::vector<int>{3, 0}));  // cleared, after the one above
       }},
      {"the export period", "hist_config", "HCG_AE_INTERVAL=10&HCG_AE_APPLY=1",
       [] {
         EXPECT_EQ(DLogSetting.exportPeriod, 60);
         EXPECT_EQ(DLogExportCountdown, 50);  // the next line comes when it would have
       },
       [] { EXPECT_EQ(DLogExportCountdown, 10); }},
  };
  const std::string file = Scratch_ReadFile(Path("config.ini"));
  const std::string settings = Scratch_SettingsText();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_sent.clear();
    EXPECT_EQ(Post(c.form, c.fields, WebSys_HandleForm), notSaved);
    EXPECT_EQ(ChangedLines(settings, Scratch_SettingsText()), "");
    c.undone();
    EXPECT_EQ(Scratch_ReadFile(Path("config.ini")), file);
  }
  // With room again the same changes are saved and in force, and each does
  // what follows from it.
  std::filesystem::remove(Path("config.ini.tmp"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_sent.clear();
    EXPECT_NE(Post(c.form, c.fields, WebSys_HandleForm), notSaved);
    c.done();
    EXPECT_EQ(ChangedLines(Scratch_ReadFile(Path("config.ini")), Scratch_SettingsText()), "");
  }
  EXPECT_NE(Scratch_ReadFile(Path("config.ini")).find("Power Fail Delay=45\n"), std::string::npos);
}

// ---- formatters -----------------------------------------------------------------

class Formatters : public DevTest {
 protected:
  void Reset() {
    for (int32_t& v : UpsRecord.values) v = -1;
  }
  std::string Tenths(int index) {
    WebFmt_Tenths(index, &WebReply);
    EXPECT_EQ(WebReply.length, strlen(WebReply.text) + 1);
    return WebReply.text;
  }
  char Digit(void (*fmt)(WebReplyRecord*)) {
    fmt(&WebReply);
    EXPECT_EQ(WebReply.length, 2);
    return WebReply.text[0];
  }
  char Range(int kind) {
    WebFmt_RangeStatus(kind, &WebReply);
    EXPECT_EQ(WebReply.length, 2);
    return WebReply.text[0];
  }
};

TEST_F(Formatters, Tenths) {
  struct Case {
    int32_t value;
    const char* text;
  } cases[] = {
      {-1, "-1"}, {0, "0.0"}, {2300, "230.0"}, {235, "23.5"}, {7, "0.7"},
      {-25, "-2.5"}, {-5, "-0.5"}, {-150, "-15.0"}, {INT_MIN, "-214748364.8"}, {INT_MAX, "214748364.7"},
  };
  for (const Case& c : cases) {
    UpsRecord.values[VAL_BATTAMP] = c.value;
    EXPECT_EQ(Tenths(VAL_BATTAMP), c.text) << c.value;
  }
  EXPECT_EQ(Tenths(UPS_VALUE_COUNT), "-1");  // outside the record: not reported
  EXPECT_EQ(Tenths(-3), "-1");
}

TEST_F(Formatters, RangeStatus) {
  struct Case {
    const char* what;
    int kind;
    int inPhases, byPhases, outPhases;
    int lo, hi;
    int v1, v2, v3;
    char digit;
  } cases[] = {
      {"no limits, 9.9 V", 0, 1, -1, -1, 0, 0, 99, -1, -1, '3'},
      {"no limits, 10.0 V", 0, 1, -1, -1, 0, 0, 100, -1, -1, '1'},
      {"280.5 V is 280", 0, 1, -1, -1, 160, 280, 2805, -1, -1, '1'},
      {"281.0 V", 0, 1, -1, -1, 160, 280, 2810, -1, -1, '3'},
      {"159.9 V", 0, 1, -1, -1, 160, 280, 1599, -1, -1, '3'},
      {"one limit missing", 0, 1, -1, -1, 160, -1, 50, -1, -1, '3'},
      {"phase 3 out of three", 0, 3, -1, -1, 160, 280, 2300, 2300, 1000, '3'},
      {"only the first two of three", 0, 2, -1, -1, 160, 280, 2300, 2300, 1000, '1'},
      {"no input phases", 0, 0, -1, -1, 160, 280, 2300, -1, -1, '0'},
      {"four phases", 0, 4, -1, -1, 160, 280, 2300, 2300, 2300, '0'},
      {"output is never tested", 1, 1, 1, 1, 160, 280, 10, 10, 10, '0'},
      {"unknown kind", 5, 1, 1, 1, 160, 280, 2300, 2300, 2300, '0'},
      {"bypass phases", 2, 1, 2, 1, 160, 280, 2300, 1000, -1, '3'},
      {"bypass falls back to output phases", 2, 3, -1, 1, 160, 280, 2300, 1000, -1, '1'},
      {"bypass falls back to input phases", 2, 2, -1, -1, 160, 280, 2300, 1000, -1, '3'},
      {"bypass without any phase count", 2, -1, -1, -1, 160, 280, 2300, -1, -1, '0'},
  };
  for (const Case& c : cases) {
    Reset();
    UpsRecord.values[VAL_INPHASE] = c.inPhases;
    UpsRecord.values[VAL_BYPHASE] = c.byPhases;
    UpsRecord.values[VAL_PHASE] = c.outPhases;
    UpsRecord.values[VAL_LOTXVOLT] = c.lo;
    UpsRecord.values[VAL_HITXVOLT] = c.hi;
    const int in[3] = {VAL_INVOLT1, VAL_INVOLT2, VAL_INVOLT3}, by[3] = {VAL_BYVOLT1, VAL_BYVOLT2, VAL_BYVOLT3};
    const int* side = c.kind == 2 ? by : in;
    UpsRecord.values[side[0]] = c.v1;
    UpsRecord.values[side[1]] = c.v2;
    UpsRecord.values[side[2]] = c.v3;
    EXPECT_EQ(Range(c.kind), c.digit) << c.what;
  }
}

TEST_F(Formatters, DeviationAndLoad) {
  struct Freq {
    int rated, f1, f2, f3;
    char digit;
  } freqs[] = {
      {500, 531, -1, -1, '3'}, {500, 530, -1, -1, '1'}, {500, 470, -1, -1, '1'}, {500, 469, -1, -1, '3'},
      {500, -1, -1, 600, '3'}, {500, -1, -1, -1, '1'},  {600, 600, 599, 601, '1'},
  };
  for (const Freq& c : freqs) {
    Reset();
    UpsRecord.values[VAL_RATFREQ] = c.rated;
    UpsRecord.values[VAL_INFREQ1] = c.f1;
    UpsRecord.values[VAL_INFREQ2] = c.f2;
    UpsRecord.values[VAL_INFREQ3] = c.f3;
    EXPECT_EQ(Digit(WebFmt_DeviationStatus), c.digit) << c.rated << " " << c.f1 << " " << c.f3;
  }
  struct Load {
    int phases, l1, l2, l3;
    char digit;
  } loads[] = {
      {2, 89, 90, -1, '2'}, {1, 100, -1, -1, '3'}, {0, 50, 50, 50, '0'}, {-1, 50, -1, -1, '0'},
      {3, 10, 20, 95, '2'}, {3, 95, 100, 10, '3'}, {1, 89, 100, 100, '1'}, {2, -1, 30, -1, '1'},
      {4, 10, 10, 10, '0'},
  };
  for (const Load& c : loads) {
    Reset();
    UpsRecord.values[VAL_PHASE] = c.phases;
    UpsRecord.values[VAL_OUTLOAD1] = c.l1;
    UpsRecord.values[VAL_OUTLOAD2] = c.l2;
    UpsRecord.values[VAL_OUTLOAD3] = c.l3;
    EXPECT_EQ(Digit(WebFmt_LoadStatus), c.digit) << c.phases << " " << c.l1 << " " << c.l2 << " " << c.l3;
  }
}

}  // namespace
