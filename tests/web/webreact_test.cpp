// Reaction, schedule and COM port pages: the ACT_, WSH_ and SSH_ values,
// each form's changes to the settings and to config.ini, the planner run
// after a schedule edit, the UPS port slot closed for a new choice, the
// replies, and forms refused whole for one bad value or a bad token.
#include <climits>
#include <filesystem>
#include <sys/stat.h>

#include "core/cfg.h"
#include "events/react.h"
#include "events/sched.h"
#include "snmp/snmpagent.h"
#include "ups/com.h"
#include "web/webreact.h"
#include "web/websys.h"
#include "webdevfixture.h"
#include "webreplies.h"

using namespace devtest;
using namespace webreplies;

namespace {

const char* const kNotFound = "Message: Title=Error\nBody=<font color=#F00000>FIFO_GROUP_POST not found!</font>\n";
const char* const kIncorrectInput = "Message: Title=Error\nBody=<font color=#F00000>Incorrect input!</font>\n";
const char* const kNotSaved =
    "Message: Title=Error\nBody=<font color=#F00000>The settings could not be saved.</font>\n";
const char* const kTimeFormat =
    "Message: Title=Incorrect Format\nBody=<font color=#808000>The time format is not correct, please check it "
    "again.</font>\n";
const char* const kDateOver =
    "Message: Title=Incorrect Date\nBody=<font color=#808000>The date content is over the limit, please check it "
    "again.</font>\n";
const char* const kDateFormat =
    "Message: Title=Incorrect Format\nBody=<font color=#808000>The date format is not correct, please check it "
    "again.</font>\n";

std::string Updated(const char* page) {
  return std::string("Message: Redirect=/en/device/") + page +
         ".asp\nTitle=Information\nBody=<font color=#008000>Updated successfully.</font>\n";
}

int g_plans;
void CountPlan() { ++g_plans; }
std::vector<int> g_closed;
int RecordClose(uint8_t slot) {
  g_closed.push_back(slot);
  return 1;
}

class React : public DevTest {
 protected:
  void SetUp() override {
    DevTest::SetUp();
    savedCom_ = ComOps;
    savedSched_ = SchedOps;
    ComOps.Close = RecordClose;
    SchedOps.Plan = CountPlan;
    g_plans = 0;
    g_closed.clear();
    ReactSetting = ReactSettings{};
    ReactCountdown = ReactCountdownState{};
    memset(SchedWeekly, 0, sizeof SchedWeekly);
    memset(SchedSpecific, 0, sizeof SchedSpecific);
    memset(&SnmpAgentSetting, 0, sizeof SnmpAgentSetting);
    WebSysManageable = 0;
    WebSysManagerPermission = 0;
    ComPortSetting = 0;
    ComPathSetting[0] = 0;
    ComSlot.port[0] = 0;
    ComSlot.scan[0] = 1;
  }
  void TearDown() override {
    ComOps = savedCom_;
    SchedOps = savedSched_;
    DevTest::TearDown();
  }
  std::string Config() { return Scratch_ReadFile(Path("config.ini")); }
  bool Saved() { return std::filesystem::exists(Path("config.ini")); }
  bool InConfig(const std::string& line) { return ("\n" + Config()).find("\n" + line + "\n") != std::string::npos; }

  ComOpsTable savedCom_;
  SchedOpsTable savedSched_;
};

// ---- values ---------------------------------------------------------------------

TEST_F(React, ActValues) {
  ReactSettings& s = ReactSetting;
  s.type = 2;
  s.upsDelay = 120;
  const uint8_t en[REACT_COUNT] = {1, 0, 1, 0, 1};
  const int32_t delay[REACT_COUNT] = {300, 30, 60, 301, -5};
  for (int r = 0; r < REACT_COUNT; ++r) s.enable[r] = en[r], s.delay[r] = delay[r];
  s.notifyEnable = 1;
  s.notifyPeriod = 65535;
  s.commandEnable = 1;
  s.commandBefore = 2147483647;
  wcscpy(s.commandFile, L"/opt/run me.sh");
  s.smartTrapEnable = 1;
  s.smartTrapBefore = 90;
  WebSysManageable = 1;
  SnmpAgentSetting.listenPort = 1161;
  strcpy(SnmpAgentSetting.contextName, "ctx");
  ComPortSetting = 200;
  strcpy(ComPathSetting, "/dev/ttyUSB0");
  struct Case {
    const char* name;
    const char* value;
  } cases[] = {
      {"ACT_PF_EN", "1"},         {"ACT_BL_EN", "0"},        {"ACT_OL_EN", "1"},          {"ACT_BP_EN", "0"},
      {"ACT_SS_EN", "1"},         {"ACT_OSD_PF", "300"},     {"ACT_OSD_BL", "30"},        {"ACT_OSD_OL", "60"},
      {"ACT_OSD_BP", "301"},      {"ACT_OSD_SS", "-5"},      {"ACT_MSG_EN", "1"},         {"ACT_MSG_PERIOD", "65535"},
      {"ACT_CMD_EN", "1"},        {"ACT_CMD_FILE", "/opt/run me.sh"}, {"ACT_CMD_BEFORE", "2147483647"},
      {"ACT_SHUT_TYPE", "2"},     {"ACT_UPS_DELAY", "120"},  {"ACT_LS_EN", "1"},          {"ACT_LS_DELAY", "90"},
      {"ACT_MAG_EN", "1"},        {"ACT_SNMP_PORT", "1161"}, {"ACT_USM_CONTEXT", "ctx"},  {"ACT_COM_INDEX", "200"},
      {"ACT_COM_PATH", "/dev/ttyUSB0"},
      {"ACT_NOPE", ""},  // a name of the group that is none of its entries
  };
  for (const Case& c : cases) EXPECT_EQ(Var(c.name), c.value) << c.name;
}

TEST_F(React, TextValuesAreEscaped) {
  wcscpy(ReactSetting.commandFile, L"/x/<b>'\"&");
  strcpy(SnmpAgentSetting.contextName, "<i>");
  strcpy(ComPathSetting, "/dev/a'b\"<");
  EXPECT_EQ(Var("ACT_CMD_FILE"), "/x/&lt;b&gt;&#39;&quot;&amp;");
  EXPECT_EQ(Var("ACT_USM_CONTEXT"), "&lt;i&gt;");
  EXPECT_EQ(Var("ACT_COM_PATH"), "/dev/a&#39;b&quot;&lt;");
}

TEST_F(React, ScheduleRowValues) {
  SchedWeekly[0] = {0x22, 8, 5, 1};     // Monday and Friday
  SchedWeekly[7] = {0x7F, 23, 59, 4};   // every day
  SchedSpecific[0] = {30, 12, 31, 6, 7, 3};
  SchedSpecific[15] = {0, 2, 29, 0, 0, 0};
  struct Case {
    const char* name;
    const char* value;
  } cases[] = {
      {"WSH_AC1", "1"},   {"WSH_WD1", "0100010"},     {"WSH_TM1", "08:05"},  {"WSH_WD8", "1111111"},
      {"WSH_TM8", "23:59"}, {"WSH_AC8", "4"},        {"WSH_WD2", "0000000"}, {"WSH_AC9", "Unknown"},
      {"WSH_TM9", "Unknown"}, {"WSH_AC0", ""},      {"WSH_AC", ""},         {"WSH_AC-1", ""},
      {"WSH_XX1", ""},
      {"SSH_AC1", "3"},   {"SSH_SD1", "12/31/2030"},  {"SSH_TM1", "06:07"},  {"SSH_SD16", "02/29/2000"},
      {"SSH_SD2", "00/00/2000"},  // an emptied row
      {"SSH_AC17", "Unknown"}, {"SSH_SD17", "Unknown"}, {"SSH_SD0", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Var(c.name), c.value) << c.name;
}

// ---- mgnt_reaction ---------------------------------------------------------------

TEST_F(React, ShutdownSectionSetsEveryField) {
  ReactSetting.enable[REACT_BYPASS] = 1;
  ReactSetting.smartTrapEnable = 1;
  EXPECT_EQ(Post("mgnt_reaction",
                 "ACT_SHUT_TYPE=1&ACT_UPS_DELAY=90&ACT_PF_EN=on&ACT_OL_EN=&ACT_OSD_PF=45&ACT_OSD_BL=20&ACT_OSD_OL=10"
                 "&ACT_OSD_BP=5&ACT_OSD_SS=600&ACT_LS_DELAY=33&SUB_SHUTDOWN=Apply"),
            Updated("mgnt_reaction"));
  const ReactSettings& s = ReactSetting;
  EXPECT_EQ(s.type, 1);
  EXPECT_EQ(s.upsDelay, 90);
  EXPECT_EQ((std::vector<int>(s.enable, s.enable + REACT_COUNT)), (std::vector<int>{1, 0, 1, 0, 0}));
  EXPECT_EQ((std::vector<int>(s.delay, s.delay + REACT_COUNT)), (std::vector<int>{45, 20, 10, 5, 600}));
  EXPECT_EQ(s.smartTrapEnable, 0);  // its box was not posted
  EXPECT_EQ(s.smartTrapBefore, 33);
  for (const char* line : {"Type=1", "UPS Delay=90", "Power Fail Enable=Yes", "Battery Low Enable=No",
                           "Overload Enable=Yes", "Bypass Enable=No", "Power Fail Delay=45",
                           "Schedule Shutdown Delay=600", "Send Smart Shutdown Trap Before=33",
                           "Send Smart Shutdown Trap Enable=No"})
    EXPECT_TRUE(InConfig(line)) << line;

  // No check box posted: every reaction and the smart-shutdown trap go off;
  // values not posted stay.
  for (uint8_t& e : ReactSetting.enable) e = 1;
  ReactSetting.smartTrapEnable = 1;
  EXPECT_EQ(Post("mgnt_reaction", "SUB_SHUTDOWN=1"), Updated("mgnt_reaction"));
  EXPECT_EQ((std::vector<int>(s.enable, s.enable + REACT_COUNT)), (std::vector<int>{0, 0, 0, 0, 0}));
  EXPECT_EQ(s.smartTrapEnable, 0);
  EXPECT_EQ(s.delay[0], 45);
  EXPECT_EQ(s.type, 1);
  EXPECT_EQ(Post("mgnt_reaction", "ACT_LS_EN=on&ACT_BP_EN=on&SUB_SHUTDOWN=1"), Updated("mgnt_reaction"));
  EXPECT_EQ(s.smartTrapEnable, 1);
  EXPECT_EQ(s.enable[REACT_BYPASS], 1);
}

TEST_F(React, ScheduleShutdownSwitchedOnClearsItsLatchedTrigger) {
  struct Case {
    const char* what;
    uint8_t was;
    const char* fields;
    uint8_t trigger;  // both flags afterwards
  } cases[] = {
      {"off to on", 0, "ACT_SS_EN=on&SUB_SHUTDOWN=1", 0},
      {"on stays on", 1, "ACT_SS_EN=on&SUB_SHUTDOWN=1", 1},
      {"on to off", 1, "SUB_SHUTDOWN=1", 1},
      {"off stays off", 0, "SUB_SHUTDOWN=1", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ReactSetting.enable[REACT_SCHEDULE] = c.was;
    ReactCountdown.trigger[REACT_SCHEDULE] = ReactCountdown.prevTrigger[REACT_SCHEDULE] = 1;
    ReactCountdown.trigger[REACT_POWER_FAIL] = ReactCountdown.prevTrigger[REACT_POWER_FAIL] = 1;
    ReactCountdown.countdown[REACT_SCHEDULE] = 77;
    EXPECT_EQ(Post("mgnt_reaction", c.fields), Updated("mgnt_reaction"));
    EXPECT_EQ(ReactCountdown.trigger[REACT_SCHEDULE], c.trigger);
    EXPECT_EQ(ReactCountdown.prevTrigger[REACT_SCHEDULE], c.trigger);
    EXPECT_EQ(ReactCountdown.trigger[REACT_POWER_FAIL], 1);  // other reactions are not touched
    EXPECT_EQ(ReactCountdown.countdown[REACT_SCHEDULE], 77u);  // nor a running countdown
  }
}

TEST_F(React, ShutdownSectionRefusesABadNumberWhole) {
  ReactSetting.enable[0] = 1;
  ReactSetting.delay[0] = 300;
  ReactSetting.type = 0;
  struct Case {
    const char* fields;
    std::string reply;
  } cases[] = {
      {"ACT_SHUT_TYPE=3", BadNumber("The host at the end", 0, 2)},  // no such shutdown
      {"ACT_SHUT_TYPE=-1", BadNumber("The host at the end", 0, 2)},
      {"ACT_OSD_PF=-1", BadNumber("Power failure delay (s)", 0, INT32_MAX)},  // negative seconds
      {"ACT_OSD_SS=abc", BadNumber("Scheduled shutdown delay (s)", 0, INT32_MAX)},  // no number would read as 0
      {"ACT_OSD_BL=", BadNumber("Battery low delay (s)", 0, INT32_MAX)},
      {"ACT_OSD_OL=12x", BadNumber("Overload delay (s)", 0, INT32_MAX)},
      {"ACT_OSD_BP=2147483648", BadNumber("Bypass delay (s)", 0, INT32_MAX)},  // beyond 32 bits
      {"ACT_UPS_DELAY=99999999999999999999", BadNumber("UPS delay (s)", 0, INT32_MAX)},
      {"ACT_LS_DELAY=-30", BadNumber("Smart-shutdown trap lead time (s)", 0, INT32_MAX)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields);
    // The valid fields around the bad one change nothing either.
    EXPECT_EQ(Post("mgnt_reaction", std::string("ACT_SHUT_TYPE=2&ACT_OSD_PF=10&") + c.fields + "&SUB_SHUTDOWN=1"),
              c.reply);
    EXPECT_EQ(ReactSetting.type, 0);
    EXPECT_EQ(ReactSetting.delay[0], 300);
    EXPECT_EQ(ReactSetting.enable[0], 1);
    EXPECT_FALSE(Saved());
  }
  // Blanks around a number, and the extremes, are taken.
  EXPECT_EQ(Post("mgnt_reaction", "ACT_OSD_PF=+2147483647&ACT_OSD_BL=%2012%20&ACT_OSD_OL=0&SUB_SHUTDOWN=1"),
            Updated("mgnt_reaction"));
  EXPECT_EQ(ReactSetting.delay[0], INT32_MAX);
  EXPECT_EQ(ReactSetting.delay[1], 12);
  EXPECT_EQ(ReactSetting.delay[2], 0);
}

TEST_F(React, ReactionSection) {
  ReactSetting.notifyEnable = 1;
  EXPECT_EQ(Post("mgnt_reaction",
                 "ACT_CMD_EN=on&ACT_MSG_PERIOD=65535&ACT_CMD_BEFORE=180&ACT_CMD_FILE=%2Fusr%2Fbin%2Fnotify+now"
                 "&SUB_REACTION=Apply"),
            Updated("mgnt_reaction"));
  const ReactSettings& s = ReactSetting;
  EXPECT_EQ(s.notifyEnable, 0);
  EXPECT_EQ(s.commandEnable, 1);
  EXPECT_EQ(s.notifyPeriod, 65535);
  EXPECT_EQ(s.commandBefore, 180);
  EXPECT_STREQ(s.commandFile, L"/usr/bin/notify now");
  for (const char* line : {"Notify Message Enable=No", "Notify Message Period=65535", "Execute Command Enable=Yes",
                           "Execute Command Before=180", "Execute Command File=/usr/bin/notify now"})
    EXPECT_TRUE(InConfig(line)) << line;

  // A command file of 256 characters is taken; one more would be cut.
  const std::string longest(256, 'c');
  EXPECT_EQ(Post("mgnt_reaction", "ACT_MSG_EN=on&ACT_CMD_EN=on&ACT_CMD_FILE=" + longest + "&SUB_REACTION=1"),
            Updated("mgnt_reaction"));
  EXPECT_EQ(std::wcslen(s.commandFile), 256u);
  EXPECT_EQ(s.notifyEnable, 1);

  std::filesystem::remove(Path("config.ini"));
  struct Case {
    std::string fields;
    std::string reply;
  } cases[] = {
      {"ACT_CMD_FILE=%2Fbin%2Fx%3Cy", kIncorrectInput},
      {"ACT_CMD_FILE=%2Fbin%2Fx%0Ainjected%3D1", kIncorrectInput},  // a line break would start a config.ini line
      {"ACT_CMD_FILE=" + longest + "c", TooLong("Command file", 256)},
      {"ACT_CMD_FILE=%FF%FE", TooLong("Command file", 256)},  // not text of the locale
      {"ACT_MSG_PERIOD=65536", BadNumber("Console notice repeat period (s)", 0, 65535)},
      {"ACT_MSG_PERIOD=-1", BadNumber("Console notice repeat period (s)", 0, 65535)},
      {"ACT_CMD_BEFORE=soon", BadNumber("User command lead time (s)", 0, INT32_MAX)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields);
    EXPECT_EQ(Post("mgnt_reaction", "ACT_CMD_BEFORE=5&" + c.fields + "&SUB_REACTION=1"), c.reply);
    EXPECT_EQ(s.notifyEnable, 1);
    EXPECT_EQ(s.commandEnable, 1);
    EXPECT_EQ(s.commandBefore, 180);
    EXPECT_EQ(std::wcslen(s.commandFile), 256u);
    EXPECT_FALSE(Saved());
  }
}

TEST_F(React, ManagementSectionAndUserOne) {
  // The switch turns user 1 off and gives it back the permission config.ini
  // gave it, never more, also after a restart; other users keep theirs.
  const std::string staysOff =
      "Message: Redirect=/en/device/mgnt_reaction.asp\nTitle=SNMPv3 User Off\nBody=<font color=#808000>Management "
      "is on, but SNMPv3 user 1 stays off: it was off already when management was switched off, so there is no "
      "permission to give back. Set its permission with \"Permission1=\" in config.ini.</font>\n";
  SnmpAgentSetting.userCount = 2;
  SnmpAgentSetting.users[1].permission = 1;
  for (uint8_t configured : {1, 2}) {
    SCOPED_TRACE(int(configured));
    SnmpAgentSetting.users[0].permission = configured;
    WebSysManagerPermission = 0;
    const std::string kept = "Manager Permission=" + std::to_string(configured);
    struct Step {
      const char* fields;  // null: the daemon restarts, reading config.ini
      uint8_t permission;
      const char* enable;
      bool kept;
    } steps[] = {
        {"ACT_MAG_EN=1&SUB_MAG=1", configured, "Enable=Yes", false},
        {"SUB_MAG=1", 0, "Enable=No", true},
        {"SUB_MAG=1", 0, "Enable=No", true},  // off twice: the permission to give back stays
        {nullptr, 0, "Enable=No", true},
        {"ACT_MAG_EN=1&SUB_MAG=1", configured, "Enable=Yes", false},
        {"ACT_MAG_EN=1&SUB_MAG=1", configured, "Enable=Yes", false},
    };
    for (const Step& step : steps) {
      SCOPED_TRACE(step.fields ? step.fields : "restart");
      if (step.fields) {
        EXPECT_EQ(Post("mgnt_reaction", step.fields), Updated("mgnt_reaction"));
      } else {
        WebSysManageable = 1;
        WebSysManagerPermission = 0;
        SnmpAgentSetting.users[0].permission = 9;
        ASSERT_EQ(Cfg_Load(nullptr), 1);
      }
      EXPECT_EQ(WebSysManageable, step.permission ? 1 : 0);
      EXPECT_EQ(SnmpAgentSetting.users[0].permission, step.permission);
      EXPECT_EQ(WebSysManagerPermission, step.kept ? configured : 0);
      EXPECT_TRUE(InConfig(step.enable));
      EXPECT_TRUE(InConfig(step.kept ? kept : "Manager Permission=0"));
      EXPECT_EQ(SnmpAgentSetting.users[1].permission, 1);
    }
  }
  // Off before the switch turned management off: switched on, it stays
  // off, and the answer says why.
  SnmpAgentSetting.users[0].permission = 0;
  EXPECT_EQ(Post("mgnt_reaction", "ACT_MAG_EN=1&SUB_MAG=1"), staysOff);
  EXPECT_EQ(WebSysManageable, 1);
  EXPECT_EQ(SnmpAgentSetting.users[0].permission, 0);
  EXPECT_TRUE(InConfig("Enable=Yes"));
}

TEST_F(React, ReactionSectionChoice) {
  ReactSetting.enable[0] = 1;
  // No section button: nothing changes.
  EXPECT_EQ(Post("mgnt_reaction", "ACT_MAG_EN=1&ACT_OSD_PF=5"), kNotFound);
  EXPECT_EQ(WebSysManageable, 0);
  EXPECT_EQ(ReactSetting.delay[0], 0);
  EXPECT_FALSE(Saved());
  // The first posted section field decides; the other section's fields are not read.
  EXPECT_EQ(Post("mgnt_reaction", "SUB_MAG=1&ACT_OSD_PF=5&SUB_SHUTDOWN=1"), Updated("mgnt_reaction"));
  EXPECT_EQ(ReactSetting.enable[0], 1);
  EXPECT_EQ(ReactSetting.delay[0], 0);
  EXPECT_EQ(WebSysManageable, 0);
}

TEST_F(React, FailedSaveIsReportedAndUndone) {
  // The switch has turned user 1 off and keeps its permission to give back.
  SnmpAgentSetting.userCount = 1;
  SnmpAgentSetting.users[0].permission = 2;
  EXPECT_EQ(Post("mgnt_reaction", "SUB_MAG=1"), Updated("mgnt_reaction"));
  ASSERT_EQ(SnmpAgentSetting.users[0].permission, 0);
  g_plans = 0;

  std::filesystem::create_directory(Path("config.ini.tmp"));  // the new file cannot be written
  EXPECT_EQ(Post("mgnt_reaction", "ACT_OSD_PF=7&SUB_SHUTDOWN=1"), kNotSaved);
  EXPECT_EQ(Post("mgnt_wschedule", "WSH_ACT1=1&WSH_TM1=10:30"), kNotSaved);
  EXPECT_EQ(Post("mgnt_sschedule", "SSH_SD1=1%2F2%2F2031&SSH_ACT1=1"), kNotSaved);
  EXPECT_EQ(g_plans, 0);  // the plan stays that of the schedules in force
  EXPECT_EQ(Post("mgnt_comport", "ACT_COM_PORT=3&ACT_COM_PATH=/dev/ttyUSB0"), kNotSaved);
  EXPECT_EQ(Post("mgnt_reaction", "ACT_MAG_EN=1&SUB_MAG=1"), kNotSaved);
  EXPECT_EQ(ReactSetting.delay[0], 0);
  EXPECT_EQ(SchedWeekly[0].action, 0);
  EXPECT_EQ(SchedWeekly[0].hour, 0);
  EXPECT_EQ(ComPortSetting, 0);
  EXPECT_STREQ(ComPathSetting, "");
  EXPECT_EQ(ComSlot.scan[0], 1);
  EXPECT_TRUE(g_closed.empty());  // the link in use was left alone
  EXPECT_EQ(WebSysManageable, 0);
  EXPECT_EQ(SnmpAgentSetting.users[0].permission, 0);
  EXPECT_EQ(WebSysManagerPermission, 2);

  // With room again the switch still gives user 1 its permission back.
  std::filesystem::remove(Path("config.ini.tmp"));
  EXPECT_EQ(Post("mgnt_reaction", "ACT_MAG_EN=1&SUB_MAG=1"), Updated("mgnt_reaction"));
  EXPECT_EQ(SnmpAgentSetting.users[0].permission, 2);
  EXPECT_EQ(Post("mgnt_wschedule", "WSH_ACT1=1&WSH_TM1=10:30"), Updated("mgnt_wschedule"));
  EXPECT_EQ(g_plans, 1);
  EXPECT_EQ(Post("mgnt_comport", "ACT_COM_PORT=3"), Updated("mgnt_comport"));
  EXPECT_EQ(g_closed.size(), 1u);
  EXPECT_EQ(ComSlot.port[0], 2);
  EXPECT_EQ(ComSlot.scan[0], 0);
}

// ---- mgnt_wschedule --------------------------------------------------------------

TEST_F(React, WeeklyForm) {
  SchedWeekly[2] = {0x7F, 1, 2, 3};
  EXPECT_EQ(Post("mgnt_wschedule",
                 "WSH_SUN1=on&WSH_ACT1=1&WSH_MON1=on&WSH_FRI1=on&WSH_TM1=8%3A05"
                 "&WSH_ACT2=4&WSH_SUN2=on&WSH_TUE2=on&WSH_WED2=on&WSH_THR2=on&WSH_SAT2=on&WSH_TM2=23%3A59"
                 "&WSH_SAT3=on&WSH_TM3=0%3A00"),
            Updated("mgnt_wschedule"));
  // Row 1: Sunday came before its action field, which clears the mask.
  EXPECT_EQ(Var("WSH_WD1"), "0100010");
  EXPECT_EQ(Var("WSH_AC1"), "1");
  EXPECT_EQ(Var("WSH_TM1"), "08:05");
  EXPECT_EQ(Var("WSH_WD2"), "1011101");
  EXPECT_EQ(Var("WSH_AC2"), "4");
  // Row 3 had no action field: its days are only added to.
  EXPECT_EQ(SchedWeekly[2].weekdays, 0x7F);
  EXPECT_EQ(SchedWeekly[2].action, 3);
  EXPECT_EQ(Var("WSH_TM3"), "00:00");
  EXPECT_EQ(g_plans, 1);
  for (const char* line : {"Weekday1=0100010", "Time1=8:5", "Action1=1", "Weekday2=1011101", "Time2=23:59",
                           "Action2=4", "Weekday3=1111111", "Action8=0"})
    EXPECT_TRUE(InConfig(line)) << line;
  // Rows outside 1..8 address nothing.
  const auto before = std::vector<uint8_t>(reinterpret_cast<uint8_t*>(SchedWeekly),
                                           reinterpret_cast<uint8_t*>(SchedWeekly) + sizeof SchedWeekly);
  EXPECT_EQ(Post("mgnt_wschedule", "WSH_ACT0=1&WSH_ACT9=1&WSH_MON9=on&WSH_TM9=1%3A01&WSH_ACT=2&WSH_TM-1=1%3A01"),
            Updated("mgnt_wschedule"));
  EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<uint8_t*>(SchedWeekly),
                                 reinterpret_cast<uint8_t*>(SchedWeekly) + sizeof SchedWeekly),
            before);
}

TEST_F(React, WeeklyFormRefusedWhole) {
  SchedWeekly[0] = {0x01, 6, 30, 1};
  struct Case {
    const char* bad;
    std::string reply;
  } cases[] = {
      {"WSH_TM2=24%3A00", kTimeFormat}, {"WSH_TM2=12%3A60", kTimeFormat}, {"WSH_TM2=1200", kTimeFormat},
      {"WSH_TM2=", kTimeFormat},        {"WSH_TM9=25%3A00", kTimeFormat},  // even a row that does not exist
      {"WSH_ACT2=5", BadNumber("Action, entry 2", 0, 4)}, {"WSH_ACT2=257", BadNumber("Action, entry 2", 0, 4)},  // 257 would be a shutdown
      {"WSH_ACT2=x", BadNumber("Action, entry 2", 0, 4)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bad);
    EXPECT_EQ(Post("mgnt_wschedule", std::string("WSH_ACT1=3&WSH_MON1=on&WSH_TM1=7%3A00&") + c.bad), c.reply);
    EXPECT_EQ(SchedWeekly[0].action, 1);
    EXPECT_EQ(SchedWeekly[0].weekdays, 0x01);
    EXPECT_EQ(SchedWeekly[0].hour, 6);
    EXPECT_EQ(g_plans, 0);
    EXPECT_FALSE(Saved());
  }
}

// ---- mgnt_sschedule --------------------------------------------------------------

TEST_F(React, SpecificForm) {
  SchedSpecific[4] = {25, 7, 4, 9, 0, 1};
  EXPECT_EQ(Post("mgnt_sschedule",
                 "SSH_SD1=12%2F31%2F2030&SSH_TM1=23%3A30&SSH_ACT1=1&SSH_SD2=1%2F1%2F2031&SSH_TM2=0%3A30&SSH_ACT2=2"
                 "&SSH_SD5=0%2F0%2F2000&SSH_TM5=0%3A00&SSH_ACT5=0&SSH_SD16=02%2F29%2F2028&SSH_ACT16=4"
                 "&SSH_SD17=1%2F1%2F2030&SSH_ACT0=3"),
            Updated("mgnt_sschedule"));
  EXPECT_EQ(Var("SSH_SD1"), "12/31/2030");
  EXPECT_EQ(Var("SSH_TM1"), "23:30");
  EXPECT_EQ(Var("SSH_AC1"), "1");
  EXPECT_EQ(Var("SSH_SD2"), "01/01/2031");
  EXPECT_EQ(Var("SSH_AC2"), "2");
  EXPECT_EQ(Var("SSH_SD5"), "00/00/2000");  // emptied
  EXPECT_EQ(Var("SSH_AC5"), "0");
  EXPECT_EQ(Var("SSH_SD16"), "02/29/2028");
  EXPECT_EQ(Var("SSH_AC16"), "4");
  EXPECT_EQ(Var("SSH_AC3"), "0");
  EXPECT_EQ(g_plans, 1);
  for (const char* line : {"Date1=12/31/2030", "Time1=23:30", "Action1=1", "Date2=1/1/2031", "Action16=4"})
    EXPECT_TRUE(InConfig(line)) << line;
}

TEST_F(React, SpecificFormRefusedWhole) {
  SchedSpecific[0] = {25, 7, 4, 9, 0, 1};
  struct Case {
    const char* bad;
    std::string reply;
  } cases[] = {
      {"SSH_SD2=13%2F01%2F2025", kDateOver}, {"SSH_SD2=00%2F01%2F2025", kDateOver},
      {"SSH_SD2=01%2F32%2F2025", kDateOver}, {"SSH_SD2=02%2F30%2F2025", kDateOver},  // no such day
      {"SSH_SD2=02%2F29%2F2025", kDateOver}, {"SSH_SD2=01%2F01%2F1999", kDateOver},
      {"SSH_SD2=01%2F01%2F2256", kDateOver},  // would be kept as 2000
      {"SSH_SD2=0%2F0%2F2256", kDateOver},   {"SSH_SD2=0%2F0%2F0", kDateOver},
      {"SSH_SD2=12%2F2025", kDateFormat},    {"SSH_SD2=2025", kDateFormat},  {"SSH_SD2=", kDateFormat},
      {"SSH_TM2=24%3A00", kTimeFormat},      {"SSH_ACT2=9", BadNumber("Action, entry 2", 0, 4)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bad);
    EXPECT_EQ(Post("mgnt_sschedule", std::string("SSH_SD1=1%2F2%2F2030&SSH_TM1=1%3A00&SSH_ACT1=3&") + c.bad),
              c.reply);
    EXPECT_EQ(SchedSpecific[0].month, 7);
    EXPECT_EQ(SchedSpecific[0].hour, 9);
    EXPECT_EQ(SchedSpecific[0].action, 1);
    EXPECT_EQ(g_plans, 0);
    EXPECT_FALSE(Saved());
  }
}

// ---- mgnt_comport ----------------------------------------------------------------

TEST_F(React, PortChoiceClosesTheUpsSlot) {
  struct Case {
    int value;
    uint8_t port;
    uint8_t scan;
  } cases[] = {{3, 2, 0}, {1, 0, 0}, {0, 0, 1}, {255, 254, 0}, {2, 1, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    g_closed.clear();
    EXPECT_EQ(Post("mgnt_comport", "ACT_COM_PORT=" + std::to_string(c.value)), Updated("mgnt_comport"));
    EXPECT_EQ(g_closed, std::vector<int>{0});
    EXPECT_EQ(ComPortSetting, c.value);
    EXPECT_EQ(ComSlot.port[0], c.port);
    EXPECT_EQ(ComSlot.scan[0], c.scan);
    EXPECT_TRUE(InConfig("COM Port=" + std::to_string(c.value)));
  }
  // The stored choice again: the link stays.
  g_closed.clear();
  ComSlot.port[0] = 9;
  EXPECT_EQ(Post("mgnt_comport", "ACT_COM_PORT=2&ACT_COM_PATH="), Updated("mgnt_comport"));
  EXPECT_TRUE(g_closed.empty());
  EXPECT_EQ(ComSlot.port[0], 9);
}

TEST_F(React, DevicePath) {
  EXPECT_EQ(Post("mgnt_comport", "ACT_COM_PORT=2&ACT_COM_PATH=%2Fdev%2FttyUSB0"), Updated("mgnt_comport"));
  EXPECT_EQ(g_closed, std::vector<int>{0});
  EXPECT_STREQ(ComPathSetting, "/dev/ttyUSB0");
  EXPECT_TRUE(InConfig("COM Path=/dev/ttyUSB0"));
  g_closed.clear();
  EXPECT_EQ(Post("mgnt_comport", "ACT_COM_PATH=%2Fdev%2FttyUSB0"), Updated("mgnt_comport"));
  EXPECT_TRUE(g_closed.empty());
  const std::string longest = "/dev/" + std::string(59, 'p');
  EXPECT_EQ(Post("mgnt_comport", "ACT_COM_PATH=" + longest), Updated("mgnt_comport"));
  EXPECT_EQ(ComPathSetting, longest);

  std::filesystem::remove(Path("config.ini"));
  g_closed.clear();
  struct Case {
    std::string fields;
    std::string reply;
  } cases[] = {
      {"ACT_COM_PATH=" + longest + "q", TooLong("Device path", 64)},  // cut, it would name another device
      {"ACT_COM_PATH=%2Fdev%2Fx%0A%5BWeb%5D", kIncorrectInput},
      {"ACT_COM_PATH=%2Fdev%2F%22x", kIncorrectInput},
      {"ACT_COM_PORT=256", BadNumber("UPS port", 0, 255)},  // a byte would keep 0: automatic
      {"ACT_COM_PORT=-1", BadNumber("UPS port", 0, 255)},
      {"ACT_COM_PORT=COM1", BadNumber("UPS port", 0, 255)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields);
    EXPECT_EQ(Post("mgnt_comport", "ACT_COM_PORT=4&" + c.fields), c.reply);
    EXPECT_TRUE(g_closed.empty());
    EXPECT_EQ(ComPortSetting, 2);
    EXPECT_EQ(ComPathSetting, longest);
    EXPECT_FALSE(Saved());
  }
}

// The automatic search would try a device path only in place of each
// /dev/ttyS<n> the host has: a path needs a serial port choice, and the
// answer says so instead of "Updated successfully.".
TEST_F(React, AutomaticSearchTakesNoDevicePath) {
  auto refused = [](const char* path) {
    return std::string("Message: Title=Serial Port Needed\nBody=<font color=#808000>Automatic search does not take "
                       "a device path: choose /dev/ttyS0 (or another serial port) as the UPS port to open ") +
           path + " in its place, or empty the device path. Nothing was changed.</font>\n";
  };
  const struct {
    int port;              // stored before
    const char* path;      // stored before
    std::string fields;
    std::string reply;     // empty: updated
    int portAfter;
    const char* pathAfter;
  } cases[] = {
      {2, "/dev/ttyUSB0", "ACT_COM_PORT=0", refused("/dev/ttyUSB0"), 2, "/dev/ttyUSB0"},
      {2, "", "ACT_COM_PORT=0&ACT_COM_PATH=%2Fdev%2Fpts%2F0", refused("/dev/pts/0"), 2, ""},
      {0, "", "ACT_COM_PATH=%2Fdev%2Fpts%2F0", refused("/dev/pts/0"), 0, ""},
      {2, "/dev/ttyUSB0", "ACT_COM_PORT=2&ACT_COM_PORT=0", refused("/dev/ttyUSB0"), 2, "/dev/ttyUSB0"},
      {2, "/dev/ttyUSB0", "ACT_COM_PORT=0&ACT_COM_PATH=", "", 0, ""},             // emptied: the search
      {0, "", "ACT_COM_PORT=2&ACT_COM_PATH=%2Fdev%2Fpts%2F0", "", 2, "/dev/pts/0"},  // as the answer says
      {0, "", "ACT_COM_PORT=0&ACT_COM_PORT=3&ACT_COM_PATH=%2Fdev%2Fpts%2F0", "", 3, "/dev/pts/0"},
      {2, "/dev/ttyUSB0", "ACT_COM_PORT=1", "", 1, "/dev/ttyUSB0"},  // USB does not use it
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fields);
    std::filesystem::remove(Path("config.ini"));
    ComPortSetting = static_cast<uint8_t>(c.port);
    snprintf(ComPathSetting, sizeof ComPathSetting, "%s", c.path);
    g_closed.clear();
    EXPECT_EQ(Post("mgnt_comport", c.fields), c.reply.empty() ? Updated("mgnt_comport") : c.reply);
    EXPECT_EQ(ComPortSetting, c.portAfter);
    EXPECT_STREQ(ComPathSetting, c.pathAfter);
    EXPECT_EQ(Saved(), c.reply.empty());
    EXPECT_EQ(g_closed.empty(), !c.reply.empty());
  }
  // A stored path that holds markup reaches the answer escaped.
  ComPortSetting = 2;
  snprintf(ComPathSetting, sizeof ComPathSetting, "/dev/<b>");
  EXPECT_EQ(Post("mgnt_comport", "ACT_COM_PORT=0"), refused("/dev/&lt;b&gt;"));
}

TEST_F(React, OnlyTheAdministratorMovesTheDevicePath) {
  // The daemon opens the path as root: the device account may post it as
  // it stands (with a new port choice), not change it.
  const struct {
    int level;
    std::string fields;
    bool taken;
    const char* path;  // afterwards
  } cases[] = {
      {1, "ACT_COM_PORT=3&ACT_COM_PATH=%2Fdev%2Fpts%2F3", false, "/dev/ttyUSB0"},
      {1, "ACT_COM_PORT=3&ACT_COM_PATH=%2Fdev%2FttyUSB0&ACT_COM_PATH=%2Fdev%2Fpts%2F3", false, "/dev/ttyUSB0"},
      {1, "ACT_COM_PORT=3&ACT_COM_PATH=", false, "/dev/ttyUSB0"},  // emptied: the numbered port instead
      {1, "ACT_COM_PORT=3&ACT_COM_PATH=%2Fdev%2FttyUSB0", true, "/dev/ttyUSB0"},
      {1, "ACT_COM_PORT=4", true, "/dev/ttyUSB0"},
      {0, "ACT_COM_PORT=5&ACT_COM_PATH=%2Fdev%2FttyUSB1", true, "/dev/ttyUSB1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fields);
    snprintf(ComPathSetting, sizeof ComPathSetting, "/dev/ttyUSB0");
    ComPortSetting = 2;
    g_closed.clear();
    SetLevel(c.level);
    EXPECT_EQ(Post("mgnt_comport", c.fields), c.taken ? Updated("mgnt_comport") : kDenied);
    EXPECT_STREQ(ComPathSetting, c.path);
    EXPECT_EQ(ComPortSetting != 2, c.taken);
    EXPECT_EQ(g_closed.empty(), !c.taken);
    EXPECT_EQ(Saved(), c.taken);
    std::filesystem::remove(Path("config.ini"));
  }
}

// ---- the form token -----------------------------------------------------------

TEST_F(React, EveryFormNeedsItsToken) {
  struct Case {
    const char* form;
    const char* fields;
  } cases[] = {
      {"mgnt_reaction", "ACT_OSD_PF=9&SUB_SHUTDOWN=1"},
      {"mgnt_reaction", "SUB_MAG=1&ACT_MAG_EN=1"},
      {"mgnt_wschedule", "WSH_ACT1=1&WSH_TM1=1%3A01"},
      {"mgnt_sschedule", "SSH_SD1=1%2F1%2F2030&SSH_ACT1=1"},
      {"mgnt_comport", "ACT_COM_PORT=5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.form);
    Token();
    for (const std::string& token : {std::string(), std::string("&SYS_UCTOKEN=") + std::string(24, 'A')}) {
      EXPECT_EQ(PostRaw(c.form, c.fields + token), Stale(std::string("/en/device/") + c.form + ".asp"));
      EXPECT_EQ(ReactSetting.delay[0], 0);
      EXPECT_EQ(WebSysManageable, 0);
      EXPECT_EQ(SchedWeekly[0].action, 0);
      EXPECT_EQ(SchedSpecific[0].action, 0);
      EXPECT_EQ(ComPortSetting, 0);
      EXPECT_TRUE(g_closed.empty());
      EXPECT_EQ(g_plans, 0);
      EXPECT_FALSE(Saved());
    }
  }
}

}  // namespace
