// UPS settings and control pages: the CFG_ and CTL_ values, and each
// form's UPS commands (through a recording COM_SendCommand), settings,
// saved config.ini, queued messages and replies.
#include <climits>
#include <filesystem>

#include "core/cfg.h"
#include "core/util.h"
#include "events/react.h"
#include "support/events_fakes.h"
#include "web/webups.h"
#include "webdevfixture.h"
#include "webreplies.h"

using namespace devtest;
using namespace webreplies;

namespace {

// The success answer, which leads back to the page of the form.
std::string Done(const std::string& page) {
  return "Message: Redirect=/en/device/" + page +
         ".asp\nTitle=Information\nBody=<font color=#008000>Updated successfully.</font>\n";
}
const std::string kUpdated = Done("ups_config");
const std::string kControlled = Done("mgnt_control");
const std::string kNotFound = WEBDEV_NOT_FOUND;
const std::string kNotSaved = WEBDEV_NOT_SAVED;
std::string NotOffered(const std::string& what) {
  return "Message: Title=Not Offered\nBody=<font color=#808000>This UPS does not offer " + what +
         ". Nothing was changed.</font>\n";
}
std::string LinkDown(const std::string& what) {
  return "Message: Title=Error\nBody=<font color=#F00000>The link to the UPS is down: nothing was sent to it (" +
         what + ").</font>\n";
}

std::vector<unsigned> g_sleeps;
void RecordSleep(unsigned s) {
  g_sleeps.push_back(s);
  // The pause comes between the UBD value and the ARB setting.
  g_sent.push_back(Cmd(0, {"pause " + std::to_string(s)}));
}

class Ups : public DevTest {
 protected:
  void SetUp() override {
    DevTest::SetUp();
    WebUpsSleep = RecordSleep;
    g_sleeps.clear();
  }
  void TearDown() override {
    WebUpsSleep = saved_;
    DevTest::TearDown();
  }
  std::string Config() { return Scratch_ReadFile(Path("config.ini")); }
  void (*saved_)(unsigned) = WebUpsSleep;
};

// ---- variables ------------------------------------------------------------------

TEST_F(Ups, SettingValues) {
  UpsRecord.capabilities = UPS_CMD_ARB | UPS_CMD_UBD | UPS_CMD_VSN | UPS_CMD_TXV | UPS_CMD_EBP | UPS_CMD_TXF |
                           UPS_CMD_BT2 | UPS_CMD_ATT | UPS_CMD_SDC | UPS_CMD_BTV;
  UpsRecord.lowBattCheck = 1;
  UpsRecord.lowBattLevel = 35;
  UpsRecord.replaceNotice = 1;
  UpsRecord.replaceNoticeDays = 400;
  UpsRecord.pfOutletMask = 0x82;
  UpsRecord.blOutletMask = 0x01;
  UpsRecord.pfOutletDelay[1] = 30;
  UpsRecord.blOutletDelay[7] = 65535;
  UpsRecord.modelMatch = 2;
  struct Case {
    const char* name;
    const char* value;
  } cases[] = {
      {"CFG_ARB", "991"},          {"CFG_BDELAY", "1001"},       {"CFG_VSN", "971"},         {"CFG_TXV_LO", "71"},
      {"CFG_TXV_L1", "101"},       {"CFG_TXV_L2", "91"},         {"CFG_TXV_HI", "81"},       {"CFG_TXV_H1", "121"},
      {"CFG_TXV_H2", "111"},       {"CFG_FLAGLBC", "1"},         {"CFG_LBCVAL", "35"},       {"CFG_BRD", "1"},
      {"CFG_EBP", "361"},          {"CFG_TXF_RATFREQ", "171"},   {"CFG_TXF_MAX", "181"},     {"CFG_TXF_SET", "1011"},
      {"CFG_BT2_RATVOLT", "201"},  {"CFG_BT2_MAX", "221"},       {"CFG_BT2_SET", "1021"},    {"CFG_ATT", "981"},
      {"CFG_SDC1", "1031"},        {"CFG_SDC6", "1081"},         {"CFG_SDC0", ""},           {"CFG_SDC7", ""},
      {"CFG_SDC", ""},             {"CFG_BATTNOTE_EN", "1"},     {"CFG_BATTNOTE_DAY", "400"}, {"CFG_BTV_TIME", "1161"},
      {"CFG_BTV_VOLT", "1171"},    {"CFG_PF_LB_EN1", "0"},       {"CFG_PF_LB_EN2", "1"},     {"CFG_PF_LB_EN8", "1"},
      {"CFG_PF_LB_EN9", ""},       {"CFG_PF_LB_EN0", ""},        {"CFG_PF_LB_EN-1", ""},     {"CFG_PF_LB_DELAY2", "30"},
      {"CFG_PF_LB_DELAY9", ""},    {"CFG_BL_LB_EN1", "1"},       {"CFG_BL_LB_EN2", "0"},     {"CFG_BL_LB_DELAY8", "65535"},
      {"CFG_BL_LB_DELAY0", ""},    {"CFG_DRYEVENTFLAG", "2"},
  };
  for (const Case& c : cases) EXPECT_EQ(Var(c.name), c.value) << c.name;
}

// A setting the UPS does not offer shows -1 (and the page leaves it out):
// its capability decides, and over USB, whose driver keeps no capability
// for some settings, a value the UPS reports offers them too.
TEST_F(Ups, SettingsTheUpsDoesNotOfferShowMinusOne) {
  struct Case {
    const char* name;
    uint64_t cap;
    bool offeredOverUsbWithoutCap;
  } cases[] = {
      {"CFG_ARB", UPS_CMD_ARB, true},       {"CFG_BDELAY", UPS_CMD_UBD, true},  {"CFG_VSN", UPS_CMD_VSN, true},
      {"CFG_TXV_LO", UPS_CMD_TXV, true},    {"CFG_TXV_H1", UPS_CMD_TXV, true},  {"CFG_EBP", UPS_CMD_EBP, true},
      {"CFG_BTV_VOLT", UPS_CMD_BTV, true},  {"CFG_TXF_SET", UPS_CMD_TXF, false}, {"CFG_BT2_MAX", UPS_CMD_BT2, false},
      {"CFG_ATT", UPS_CMD_ATT, false},      {"CFG_SDC3", UPS_CMD_SDC, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ComSlot.link[0] = COM_LINK_TILDE;
    UpsRecord.capabilities = 0;
    EXPECT_EQ(Var(c.name), "-1");
    UpsRecord.capabilities = c.cap;
    EXPECT_NE(Var(c.name), "-1");
    UpsRecord.capabilities = 0;
    ComSlot.link[0] = COM_LINK_USB;
    EXPECT_EQ(Var(c.name) != "-1", c.offeredOverUsbWithoutCap);
  }
  ComSlot.link[0] = COM_LINK_TILDE;
  EXPECT_EQ(Var("CFG_SDC7"), "");  // no such contact, offered or not
  // A UPS that lists an item but never answers for it does not offer it.
  UpsRecord.capabilities = UPS_CMD_VSN | UPS_CMD_BTV;
  UpsRecord.values[VAL_VSN] = -1;
  UpsRecord.values[VAL_BTV_TIME] = -1;
  EXPECT_EQ(Var("CFG_VSN"), "-1");
  EXPECT_EQ(Var("CFG_BTV_VOLT"), "-1");
  EXPECT_EQ(Post("dev_iconfig", "CFG_VSN=1&CFG_BVSN=1"), NotOffered("the voltage sensitivity"));
  EXPECT_TRUE(g_sent.empty());
  // While the link is lost no setting is offered: the record holds only
  // what the lost link left.
  UpsRecord.values[VAL_VSN] = 2;
  UpsRecord.shownStatus = UpsBit(UPS_ST_COMMLOST);
  EXPECT_EQ(Var("CFG_VSN"), "-1");
  UpsRecord.shownStatus = 0;
  EXPECT_EQ(Var("CFG_VSN"), "2");
}

TEST_F(Ups, CapabilityGatedSettings) {
  struct Case {
    uint64_t caps;
    std::initializer_list<int> bits;
    const char* buz;
    const char* edb;
    const char* eco;
    const char* gre;
  } cases[] = {
      {0, {UPS_ST_BUZMUTED, UPS_ST_ECONOMIC}, "-1", "-1", "0", "0"},
      {UPS_CMD_BUZ | UPS_CMD_EDB | UPS_CMD_ECO | UPS_CMD_GRE, {}, "0", "1", "2", "2"},
      {UPS_CMD_BUZ | UPS_CMD_EDB | UPS_CMD_ECO | UPS_CMD_GRE,
       {UPS_ST_BUZMUTED, UPS_ST_BUZENABLED, UPS_ST_ECONOMIC, UPS_ST_GREENMODE}, "1", "0", "1", "1"},
  };
  for (const Case& c : cases) {
    UpsRecord.capabilities = c.caps;
    UpsRecord.shownStatus = 0;
    for (int b : c.bits) UpsRecord.shownStatus |= UpsBit(b);
    EXPECT_EQ(Var("CFG_BUZ"), c.buz);
    EXPECT_EQ(Var("CFG_EDB"), c.edb);
    EXPECT_EQ(Var("CFG_ECO"), c.eco);
    EXPECT_EQ(Var("CFG_GRE"), c.gre);
  }
}

TEST_F(Ups, ControlValuesAndTheLostLink) {
  UpsRecord.capabilities = UPS_CMD_TST | UPS_CMD_BUZ;
  UpsRecord.outletCount = 3;
  UpsRecord.outletOn = 0x06;
  EXPECT_EQ(Var("CTL_FTST"), "1");
  EXPECT_EQ(Var("CTL_LETNUM"), "3");
  EXPECT_EQ(Var("CTL_LETSTS"), "011");
  EXPECT_EQ(Var("CTL_BUZ"), "1");
  UpsRecord.capabilities = 0;
  EXPECT_EQ(Var("CTL_FTST"), "0");
  EXPECT_EQ(Var("CTL_BUZ"), "0");
  // While the link is lost only the last outlet states are shown.
  UpsRecord.capabilities = UPS_CMD_TST | UPS_CMD_BUZ;
  UpsRecord.shownStatus = UpsBit(UPS_ST_COMMLOST);
  EXPECT_EQ(Var("CTL_FTST"), "-1");
  EXPECT_EQ(Var("CTL_LETNUM"), "-1");
  EXPECT_EQ(Var("CTL_BUZ"), "-1");
  EXPECT_EQ(Var("CTL_LETSTS"), "011");
  UpsRecord.outletCount = 0;
  EXPECT_EQ(Var("CTL_LETSTS"), "");
}

// ---- dev_iconfig ----------------------------------------------------------------

// Readings of the fixture: the low transfer voltage may be 91..101 (indexes
// 9 and 10), the high one 111..121; the current ones are 71 and 81.
TEST_F(Ups, SettingsButtonsSendTheirCommands) {
  // The settings every case offers, unless it takes one away.
  const uint64_t offered = UPS_CMD_ARB | UPS_CMD_UBD | UPS_CMD_VSN | UPS_CMD_TXV | UPS_CMD_EBP | UPS_CMD_BTV;
  const uint64_t all = UPS_CMD_EDB | UPS_CMD_TXF | UPS_CMD_BT2 | UPS_CMD_ATT | UPS_CMD_ECO | UPS_CMD_GRE;
  struct Case {
    const char* what;
    uint64_t caps;
    std::string fields;
    std::string reply;
    std::vector<Command> sent;
    uint64_t without = 0;  // a setting the UPS does not offer in this case
  } cases[] = {
      {"UBD then ARB 2 after the pause", 0, "CFG_UBD=15&CFG_BUBD=Apply", kUpdated,
       {Cmd(UPS_CMD_UBD, {"15"}), Cmd(0, {"pause 2"}), Cmd(UPS_CMD_ARB, {"2"})}},
      {"ARB check box, any value", 0, "CFG_ARB=&CFG_UBD=3&CFG_BUBD=1", kUpdated,
       {Cmd(UPS_CMD_UBD, {"3"}), Cmd(0, {"pause 2"}), Cmd(UPS_CMD_ARB, {"1"})}},
      {"no UBD field: ARB only", 0, "CFG_BUBD=1", kUpdated, {Cmd(UPS_CMD_ARB, {"2"})}},
      {"UBD out of range", 0, "CFG_UBD=3&CFG_UBD=10000&CFG_BUBD=1", BadNumber("Battery delay (UBD)", 0, 9999), {}},
      {"UBD the UPS does not offer", 0, "CFG_UBD=3&CFG_BUBD=1", NotOffered("the battery delay"), {}, UPS_CMD_UBD},
      {"ARB the UPS does not offer: UBD only", 0, "CFG_UBD=3&CFG_BUBD=1", kUpdated,
       {Cmd(UPS_CMD_UBD, {"3"}), Cmd(0, {"pause 2"})}, UPS_CMD_ARB},
      {"neither", 0, "CFG_BUBD=1", NotOffered("the battery delay"), {}, UPS_CMD_UBD | UPS_CMD_ARB},
      {"audible alarm enabled", all, "CFG_EDB=on&CFG_BBUZ=1", kUpdated, {Cmd(UPS_CMD_EDB, {"1"})}},
      {"audible alarm disabled", all, "CFG_BBUZ=1", kUpdated, {Cmd(UPS_CMD_EDB, {"2"})}},
      {"audible alarm without the capability", 0, "CFG_EDB=on&CFG_BBUZ=1", NotOffered("the audible alarm setting"),
       {}},
      {"sensitivity, the first field", 0, "CFG_VSN=2&CFG_VSN=3&CFG_BVSN=1", kUpdated, {Cmd(UPS_CMD_VSN, {"2"})}},
      {"sensitivity without its field", 0, "CFG_BVSN=1", BadNumber("Voltage sensitivity", 0, 9999), {}},
      {"sensitivity that is no number", 0, "CFG_VSN=high&CFG_BVSN=1", BadNumber("Voltage sensitivity", 0, 9999), {}},
      {"sensitivity the UPS does not offer", 0, "CFG_VSN=2&CFG_BVSN=1", NotOffered("the voltage sensitivity"), {},
       UPS_CMD_VSN},
      {"transfer voltages the UPS does not offer", 0, "CFG_LTXV=95&CFG_BTXV=1", NotOffered("the transfer voltages"),
       {}, UPS_CMD_TXV},
      {"battery packs the UPS does not offer", 0, "CFG_EBP=2&CFG_BEBP=1", NotOffered("external battery packs"), {},
       UPS_CMD_EBP},
      {"battery test settings the UPS does not offer", 0, "CFG_BTV_TIME=30&CFG_BBTV=1",
       NotOffered("the battery test settings"), {}, UPS_CMD_BTV},
      {"transfer voltages, the last of each", 0, "CFG_LTXV=92&CFG_HTXV=115&CFG_LTXV=95&CFG_BTXV=1", kUpdated,
       {Cmd(UPS_CMD_TXV, {"95", "115"})}},
      {"transfer voltage missing: the current one", 0, "CFG_HTXV=121&CFG_BTXV=1", kUpdated,
       {Cmd(UPS_CMD_TXV, {"71", "121"})}},
      {"transfer voltage outside the reported range", 0, "CFG_LTXV=150&CFG_HTXV=115&CFG_BTXV=1",
       BadNumber("Low transfer voltage (V)", 91, 101), {}},
      {"high transfer voltage outside its range", 0, "CFG_LTXV=95&CFG_HTXV=110&CFG_BTXV=1",
       BadNumber("High transfer voltage (V)", 111, 121), {}},
      {"battery packs", 0, "CFG_EBP=2&CFG_BEBP=1", kUpdated, {Cmd(UPS_CMD_EBP, {"2"})}},
      {"battery packs beyond a byte", 0, "CFG_EBP=256&CFG_BEBP=1", BadNumber("External battery packs", 0, 255), {}},
      {"TXF five times the value", all, "CFG_TXF=3&CFG_BTXF=1", kUpdated, {Cmd(UPS_CMD_TXF, {"15"})}},
      {"TXF negative", all, "CFG_TXF=-1&CFG_BTXF=1", BadNumber("Transfer frequency", 0, 9999), {}},
      {"TXF missing", all, "CFG_BTXF=1", BadNumber("Transfer frequency", 0, 9999), {}},
      {"TXF without the capability", 0, "CFG_TXF=3&CFG_BTXF=1", NotOffered("the transfer frequency"), {}},
      {"BT2", all, "CFG_BT2=4&CFG_BBT2=1", kUpdated, {Cmd(UPS_CMD_BT2, {"4"})}},
      {"BT2 without the capability", 0, "CFG_BT2=4&CFG_BBT2=1", NotOffered("the bypass voltage setting"), {}},
      {"ATT", all, "CFG_ATT=0&CFG_BATT=1", kUpdated, {Cmd(UPS_CMD_ATT, {"0"})}},
      {"ATT negative", all, "CFG_ATT=-2&CFG_BATT=1", BadNumber("Automatic test (ATT)", 0, 9999), {}},
      {"BTV with both", 0, "CFG_BTV_TIME=30&CFG_BTV_VOLT=240&CFG_BBTV=1", kUpdated,
       {Cmd(UPS_CMD_BTV, {"30", "240"})}},
      {"BTV without a voltage", 0, "CFG_BTV_TIME=30&CFG_BBTV=1", kUpdated, {Cmd(UPS_CMD_BTV, {"30", "-1"})}},
      {"BTV without a time", 0, "CFG_BTV_VOLT=240&CFG_BBTV=1", BadNumber("Battery test time", 0, 9999), {}},
      {"economy on", all, "CFG_ECO=1&CFG_BECO=1", kUpdated, {Cmd(UPS_CMD_ECO, {"1"})}},
      {"economy off", all, "CFG_BECO=1", kUpdated, {Cmd(UPS_CMD_ECO, {"2"})}},
      {"green mode on", all, "CFG_GRE=1&CFG_BGRE=1", kUpdated, {Cmd(UPS_CMD_GRE, {"1"})}},
      {"green mode without the capability", 0, "CFG_GRE=1&CFG_BGRE=1", NotOffered("a green mode"), {}},
      {"no button", all, "CFG_VSN=2&CFG_TXF=3", kNotFound, {}},
      {"the first button field decides", all, "CFG_BVSN=1&CFG_VSN=2&CFG_BEBP=1&CFG_EBP=5", kUpdated,
       {Cmd(UPS_CMD_VSN, {"2"})}},
      {"buttons are tried per field in table order", all, "CFG_EBP=5&CFG_VSN=2&CFG_BEBP=1&CFG_BVSN=1", kUpdated,
       {Cmd(UPS_CMD_EBP, {"5"})}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_sent.clear();
    UpsRecord.capabilities = (c.caps | offered) & ~c.without;
    EXPECT_EQ(Post("dev_iconfig", c.fields), c.reply);
    EXPECT_EQ(g_sent, c.sent);
  }
}

// Nothing goes to a UPS the service has no link with; the service's own
// settings are still stored.
TEST_F(Ups, SettingsForTheUpsNeedTheLink) {
  UpsRecord.capabilities = UPS_CMD_ECO | UPS_CMD_BRD | UPS_CMD_TST | UPS_CMD_VSN;
  for (const char* what : {"lost", "never found"}) {
    SCOPED_TRACE(what);
    UpsRecord.liveStatus = std::string(what) == "lost" ? UpsBit(UPS_ST_COMMLOST) : 0;
    ComSlot.link[0] = std::string(what) == "lost" ? COM_LINK_TILDE : COM_LINK_NONE;
    EXPECT_EQ(Post("dev_iconfig", "CFG_VSN=2&CFG_BVSN=1"), LinkDown("the voltage sensitivity"));
    EXPECT_EQ(Post("dev_iconfig", "CFG_BECO=1"), LinkDown("an economy mode"));
    EXPECT_EQ(Post("dev_iconfig", "CFG_BRN_DAY=9&CFG_BRD=1"), LinkDown("the battery dates"));
    EXPECT_EQ(Post("dev_icontrol", "CTL_TST=3"), LinkDown("battery tests"));
    EXPECT_TRUE(g_sent.empty());
    EXPECT_NE(UpsRecord.replaceNoticeDays, 9);
    EXPECT_EQ(Post("dev_iconfig", "CFG_BL=35&CFG_BBL=1"), kUpdated);
    EXPECT_EQ(UpsRecord.lowBattLevel, 35);
  }
}

TEST_F(Ups, DryContactWords) {
  UpsRecord.capabilities = UPS_CMD_SDC;
  for (int c = 1; c <= 6; ++c) UpsRecord.values[VAL_BT2 + c] = c + 10;  // current events 11..16
  const std::vector<std::string> current = {"018B", "028C", "038D", "048E", "058F", "0690"};
  struct Case {
    const char* what;
    std::string fields;
    std::vector<std::string> words;  // none: refused with the reply
    std::string reply = kUpdated;
  } cases[] = {
      {"current events, all enabled", "CFG_BSDC=1", current},
      {"contact 3 disabled", "CFG_SDCDISABLE3=on&CFG_BSDC=1", {"018B", "028C", "030D", "048E", "058F", "0690"}},
      {"events and a type", "CFG_SDCDRY1=5&CFG_SDCTYPE1=1&CFG_SDCDRY6=127&CFG_BSDC=1",
       {"8185", "028C", "038D", "048E", "058F", "06FF"}},
      {"contacts outside 1..6 are ignored", "CFG_SDCDRY0=5&CFG_SDCDRY7=500&CFG_SDCDISABLE9=1&CFG_BSDC=1", current},
      // An event number beyond seven bits would overwrite the enable bit and
      // the contact number; the type is one bit.
      {"an event beyond seven bits", "CFG_SDCDRY1=5&CFG_SDCDRY2=200&CFG_BSDC=1", {},
       BadNumber("Event of contact 2", 0, 127)},
      {"a negative event", "CFG_SDCDRY3=-1&CFG_BSDC=1", {}, BadNumber("Event of contact 3", 0, 127)},
      {"a type other than 0 or 1", "CFG_SDCTYPE4=2&CFG_BSDC=1", {}, BadNumber("Type of contact 4", 0, 1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_sent.clear();
    EXPECT_EQ(Post("dev_iconfig", c.fields), c.reply);
    if (c.words.empty())
      EXPECT_TRUE(g_sent.empty());
    else
      EXPECT_EQ(g_sent, (std::vector<Command>{Cmd(UPS_CMD_SDC, c.words)}));
  }
  UpsRecord.capabilities = 0;
  g_sent.clear();
  EXPECT_EQ(Post("dev_iconfig", "CFG_BSDC=1"), NotOffered("dry contacts"));
  EXPECT_TRUE(g_sent.empty());
}

TEST_F(Ups, BatteryLowIsSavedNotSent) {
  UpsRecord.lowBattCheck = 1;
  UpsRecord.lowBattLevel = 20;
  EXPECT_EQ(Post("dev_iconfig", "CFG_BL=35&CFG_BBL=1"), kUpdated);
  EXPECT_EQ(UpsRecord.lowBattCheck, 0);  // check box not posted
  EXPECT_EQ(UpsRecord.lowBattLevel, 35);
  EXPECT_NE(Config().find("Battery Low Level=35"), std::string::npos);
  EXPECT_TRUE(g_sent.empty());
  EXPECT_EQ(Post("dev_iconfig", "CFG_FBL=on&CFG_BBL=1"), kUpdated);
  EXPECT_EQ(UpsRecord.lowBattCheck, 1);
  EXPECT_EQ(UpsRecord.lowBattLevel, 35);  // absent: unchanged
  // A level outside 0..100 percent (a byte would wrap 300 to 44) is refused
  // and changes nothing, not even the check box.
  const std::string saved = Config();
  for (const char* bad : {"300", "-5", "", "ten"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(Post("dev_iconfig", std::string("CFG_BL=") + bad + "&CFG_BBL=1"),
              BadNumber("Battery-low level (%)", 0, 100));
    EXPECT_EQ(UpsRecord.lowBattCheck, 1);
    EXPECT_EQ(UpsRecord.lowBattLevel, 35);
    EXPECT_EQ(Config(), saved);
  }
}

TEST_F(Ups, FailedSaveIsReported) {
  std::filesystem::create_directory(Path("config.ini.tmp"));  // the new file cannot be written
  EXPECT_EQ(Post("dev_iconfig", "CFG_BL=35&CFG_BBL=1"), kNotSaved);
  EXPECT_EQ(Post("dev_iconfig", "CFG_BRN_DAY=9&CFG_BRD=1"), kNotSaved);
  EXPECT_EQ(Post("dev_iconfig", "REA_PF_LB_EN1=on&CFG_OUTLET=1"), kNotSaved);
}

TEST_F(Ups, BatteryDates) {
  snprintf(UpsRecord.battLastDate, sizeof UpsRecord.battLastDate, "20200101");
  snprintf(UpsRecord.battNextDate, sizeof UpsRecord.battNextDate, "20230101");
  UpsRecord.replaceNotice = 1;
  UpsRecord.replaceNoticeDays = 30;
  const std::string error =
      "Message: Title=Illegal Date Format\nBody=<font color=#808000>Please check the date field.</font>\n";
  // An invalid date or day count changes nothing at all.
  struct Bad {
    std::string fields;
    std::string reply;
  };
  std::vector<Bad> bad;
  for (const char* date : {"13/01/2024", "01/32/2024", "01/02/1999", "1/2", "x", "", "01/02/3000"})
    bad.push_back({std::string("CFG_BRN_DAY=90&CFG_LRD=") + date + "&CFG_NRD=01/02/2027&CFG_BRD=1", error});
  bad.push_back({"CFG_BRN_DAY=70000&CFG_LRD=01/02/2024&CFG_BRD=1",  // beyond 16 bits
                 BadNumber("Replacement notice (days before)", 0, 65535)});
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.fields);
    EXPECT_EQ(Post("dev_iconfig", b.fields), b.reply);
    EXPECT_EQ(UpsRecord.replaceNotice, 1);
    EXPECT_EQ(UpsRecord.replaceNoticeDays, 30);
    EXPECT_STREQ(UpsRecord.battLastDate, "20200101");
    EXPECT_FALSE(UF_FileExist(Path("config.ini").c_str()));
  }
  // Without the capability the record takes the dates and config.ini is saved.
  EXPECT_EQ(Post("dev_iconfig", "CFG_BRN_DAY=90&CFG_LRD=01/02/2024&CFG_NRD=01/02/2027&CFG_BRD=1"), kUpdated);
  EXPECT_STREQ(UpsRecord.battLastDate, "20240102");
  EXPECT_STREQ(UpsRecord.battNextDate, "20270102");
  EXPECT_EQ(UpsRecord.replaceNotice, 0);
  EXPECT_EQ(UpsRecord.replaceNoticeDays, 90);
  EXPECT_TRUE(g_sent.empty());
  EXPECT_NE(Config().find("Last Battery Replace=20240102"), std::string::npos);
  EXPECT_NE(Config().find("Next Battery Replace=20270102"), std::string::npos);
  // With it the UPS gets them; a missing date keeps the stored one.
  UpsRecord.capabilities = UPS_CMD_BRD;
  EXPECT_EQ(Post("dev_iconfig", "CFG_BRN_EN=on&CFG_NRD=12/31/2030&CFG_BRD=1"), kUpdated);
  EXPECT_EQ(g_sent, (std::vector<Command>{Cmd(UPS_CMD_BRD, {"20240102", "20301231"})}));
  EXPECT_STREQ(UpsRecord.battNextDate, "20270102");  // the UPS reports it back
  EXPECT_EQ(UpsRecord.replaceNotice, 1);
}

TEST_F(Ups, OutletMasksAndDelays) {
  UpsRecord.pfOutletMask = 0xFF;
  UpsRecord.blOutletMask = 0xFF;
  for (int j = 0; j < UPS_OUTLETS; ++j) UpsRecord.pfOutletDelay[j] = UpsRecord.blOutletDelay[j] = 7;
  EXPECT_EQ(Post("dev_iconfig", "REA_PF_LB_EN2=on&REA_PF_LB2=30&CFG_OUTLET=1"), kUpdated);
  EXPECT_EQ(UpsRecord.pfOutletMask, 0x02);
  EXPECT_EQ(UpsRecord.blOutletMask, 0x00);
  EXPECT_EQ(UpsRecord.pfOutletDelay[1], 30);
  EXPECT_EQ(UpsRecord.pfOutletDelay[0], 7);  // delays not posted keep their values
  EXPECT_NE(Config().find("Load Bank PF Delay2=30"), std::string::npos);
  EXPECT_TRUE(g_sent.empty());
  EXPECT_EQ(Post("dev_iconfig", "REA_BL_LB_EN8=on&REA_BL_LB8=65535&REA_BL_LB_EN1=on&REA_PF_LB_EN9=on&REA_PF_LB0=-5"
                                "&CFG_OUTLET=1"),
            kUpdated);
  EXPECT_EQ(UpsRecord.pfOutletMask, 0x00);  // outlets 9 and 0 do not exist
  EXPECT_EQ(UpsRecord.blOutletMask, 0x81);
  EXPECT_EQ(UpsRecord.blOutletDelay[7], 65535);
  // A delay a 16-bit field cannot hold is refused, and nothing changes.
  const std::string saved = Config();
  for (const char* bad : {"REA_BL_LB1=-1", "REA_PF_LB3=70000", "REA_PF_LB3=soon"}) {
    SCOPED_TRACE(bad);
    const std::string label = std::string(bad).find("PF") != std::string::npos ? "Power failure delay, outlet 3 (s)"
                                                                                 : "Battery low delay, outlet 1 (s)";
    EXPECT_EQ(Post("dev_iconfig", std::string("REA_PF_LB_EN5=on&REA_PF_LB5=9&") + bad + "&CFG_OUTLET=1"),
              BadNumber(label, 0, 65535));
    EXPECT_EQ(UpsRecord.pfOutletMask, 0x00);
    EXPECT_EQ(UpsRecord.blOutletMask, 0x81);
    EXPECT_EQ(UpsRecord.pfOutletDelay[4], 7);
    EXPECT_EQ(Config(), saved);
  }
}

// ---- dev_icontrol ---------------------------------------------------------------

TEST_F(Ups, ControlCommandsAndOutletMessages) {
  UpsRecord.capabilities = UPS_CMD_BUZ | UPS_CMD_TST;
  UpsRecord.outletCount = 4;
  EXPECT_EQ(Post("dev_icontrol", "CTL_TST=3"), kControlled);
  EXPECT_EQ(Post("dev_icontrol", "CTL_MUTE=2&CTL_BUZ=1"), kControlled);
  EXPECT_EQ(Post("dev_icontrol", "CTL_MUTE=0&CTL_BUZ=1"), BadNumber("Silence code", 1, 9999));
  EXPECT_EQ(Post("dev_icontrol", "CTL_BUZ=1"), BadNumber("Silence code", 1, 9999));
  EXPECT_EQ(Post("dev_icontrol", "CTL_TST=10"), BadNumber("Battery test", 0, 9));
  EXPECT_EQ(Post("dev_icontrol", "CTL_MUTE=1"), kNotFound);  // no action
  EXPECT_EQ(g_sent, (std::vector<Command>{Cmd(UPS_CMD_TST, {"3"}), Cmd(UPS_CMD_BUZ, {"2"})}));
  UpsRecord.capabilities = 0;
  g_sent.clear();
  EXPECT_EQ(Post("dev_icontrol", "CTL_MUTE=2&CTL_BUZ=1"), NotOffered("silencing the audible alarm"));
  EXPECT_EQ(Post("dev_icontrol", "CTL_TST=3"), NotOffered("battery tests"));
  EXPECT_TRUE(g_sent.empty());

  // Outlets go through the message queue: 10 ticks per second of delay.
  EXPECT_EQ(Post("dev_icontrol", "CTL_LETDL1=9&CTL_LETDL2=5&CTL_BLETOFF2=Off"), kControlled);
  EXPECT_EQ(Post("dev_icontrol", "CTL_BLETON1=On"), kControlled);
  EXPECT_EQ(DelayedMessages(), (std::vector<QueuedMessage>{{0, MSG_OUTLET, 0, 2, 0, 50}, {0, MSG_OUTLET, 1, 1, 0, 10}}));
  EXPECT_TRUE(g_sent.empty());
  // Delays a tick count cannot carry and outlets the UPS does not have are
  // refused; nothing is queued for them.
  Msg_ResetForTest();
  struct Case {
    const char* fields;
    std::string reply;
  } cases[] = {
      {"CTL_LETDL3=-4&CTL_BLETON3=On", BadNumber("Delay for outlet 3 (s)", 0, 65535)},
      {"CTL_LETDL4=999999999&CTL_BLETON4=On", BadNumber("Delay for outlet 4 (s)", 0, 65535)},
      {"CTL_BLETON5=On", NotOffered("outlet 5")},  // the UPS has four
      {"CTL_BLETON9=On", NotOffered("outlet 9")},
      {"CTL_BLETON0=On", NotOffered("outlet 0")},
      {"CTL_BLETONx=On", NotOffered("outlet ?")},
      {"CTL_BLETON=On", NotOffered("outlet ?")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields);
    EXPECT_EQ(Post("dev_icontrol", c.fields), c.reply);
  }
  EXPECT_TRUE(DelayedMessages().empty());
  EXPECT_EQ(Post("dev_icontrol", "CTL_LETDL4=65535&CTL_BLETON4=On"), kControlled);
  EXPECT_EQ(DelayedMessages(), (std::vector<QueuedMessage>{{0, MSG_OUTLET, 1, 4, 0, 655350}}));
}

TEST_F(Ups, OutletCommandReplacesOnlyThatOutletsMessages) {
  UpsRecord.outletCount = 3;
  // Power failure: outlets 1 and 3 have their off messages pending.
  MsgPostParams = MsgParams{{0, 3, 0, 0}};
  const uint8_t off3 = MsgOps.PostDelayed(MSG_OUTLET, 300);
  MsgPostParams = MsgParams{{0, 1, 0, 0}};
  const uint8_t off1 = MsgOps.PostDelayed(MSG_OUTLET, 200);
  memset(UpsRecord.pfOutletMsg, MSG_NONE, sizeof UpsRecord.pfOutletMsg);
  UpsRecord.pfOutletMsg[0] = off1;
  UpsRecord.pfOutletMsg[2] = off3;
  // The operator switches outlet 1 on: its pending off goes, outlet 3's stays.
  EXPECT_EQ(Post("dev_icontrol", "CTL_BLETON1=On"), kControlled);
  EXPECT_EQ(DelayedMessages(), (std::vector<QueuedMessage>{{0, MSG_OUTLET, 0, 3, 0, 300}, {0, MSG_OUTLET, 1, 1, 0, 10}}));
  EXPECT_EQ(UpsRecord.pfOutletMsg[0], MSG_NONE);  // no stale id left for the alarm processing
  EXPECT_EQ(UpsRecord.pfOutletMsg[2], off3);
}

// ---- mgnt_control ---------------------------------------------------------------

int g_toggles, g_stops;
// The countdown's own toggle: cancels or resumes, counted.
void CountToggle() {
  ++g_toggles;
  ReactCountdown.cancel = ReactCountdown.cancel ? 0 : 1;
}
// The countdown's own rule, cancel and resume; g_underWay: the UPS is being
// told to switch off, too late for either.
bool g_underWay;
uint8_t FakeCancelState() {
  if (g_underWay) return REACT_CANCEL_UNDER_WAY;
  if (ReactCountdown.remaining < 0) return REACT_CANCEL_NOTHING;
  return ReactCountdown.cancel ? REACT_CANCEL_CANCELLED : REACT_CANCEL_RUNNING;
}
uint8_t g_by = 255;  // who the last cancel or resume named
int CountCancel(uint8_t by) {
  if (FakeCancelState() != REACT_CANCEL_RUNNING) return 0;
  g_by = by;
  CountToggle();
  return 1;
}
int CountResume(uint8_t by) {
  if (FakeCancelState() != REACT_CANCEL_CANCELLED) return 0;
  g_by = by;
  CountToggle();
  return 1;
}
void CountStop() { ++g_stops; }

std::string ControlAnswer(const char* title, const char* colour, const char* text) {
  return std::string("Message: Redirect=/en/device/mgnt_control.asp\nTitle=") + title + "\nBody=<font color=" +
         colour + ">" + text + "</font>\n";
}

// The shutdown button asks for one direction and says what it did; a press
// that no longer applies changes nothing, so pressing twice never re-arms.
TEST_F(Ups, CancelAndResumeTheCountdown) {
  const ReactOpsTable saved = ReactOps;
  const ReactCountdownState savedCountdown = ReactCountdown;
  ReactOps.Cancel = CountCancel;
  ReactOps.Resume = CountResume;
  ReactOps.CancelState = FakeCancelState;
  const std::string cancelled = ControlAnswer("Information", "#008000", "The shutdown countdown is cancelled.");
  const std::string resumed = ControlAnswer("Information", "#008000", "The shutdown countdown is resumed.");
  const std::string already =
      ControlAnswer("Nothing Changed", "#808000", "The shutdown countdown was already cancelled; nothing was changed.");
  const std::string running =
      ControlAnswer("Nothing Changed", "#808000", "The shutdown countdown is running already; nothing was changed.");
  const std::string none =
      ControlAnswer("Nothing Changed", "#808000", "No shutdown countdown is running; nothing was changed.");
  const std::string late = ControlAnswer("Nothing Changed", "#808000",
                                         "The shutdown is under way and can no longer be cancelled; nothing was changed.");
  struct Case {
    int32_t remaining;
    uint8_t cancel;
    const char* post;
    const std::string& answer;
    uint8_t cancelAfter;
    bool underWay = false;
  } cases[] = {
      {120, 0, "SHUT_CANCEL=cancel", cancelled, 1},
      {120, 1, "SHUT_CANCEL=cancel", already, 1},  // the second press
      {120, 1, "SHUT_CANCEL=resume", resumed, 0},
      {120, 0, "SHUT_CANCEL=resume", running, 0},
      // A post of an older page or a script: any other value cancels.
      {120, 0, "SHUT_CANCEL=1", cancelled, 1},
      {120, 1, "SHUT_CANCEL=Cancel", already, 1},
      {0, 0, "SHUT_CANCEL=cancel", cancelled, 1},
      {-1, 0, "SHUT_CANCEL=cancel", none, 0},
      {-1, 0, "SHUT_CANCEL=resume", none, 0},
      // At zero with the UPS being told, neither is answered as done.
      {0, 0, "SHUT_CANCEL=cancel", late, 0, true},
      {0, 0, "SHUT_CANCEL=resume", late, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.post) + " remaining " + std::to_string(c.remaining) + " cancel " +
                 std::to_string(c.cancel));
    ReactCountdown.remaining = c.remaining;
    ReactCountdown.cancel = c.cancel;
    g_underWay = c.underWay;
    g_toggles = 0;
    EXPECT_EQ(Post("mgnt_control", c.post), c.answer);
    EXPECT_EQ(ReactCountdown.cancel, c.cancelAfter);
    EXPECT_EQ(g_toggles, c.cancel != c.cancelAfter ? 1 : 0);
    if (g_toggles) {
      EXPECT_EQ(g_by, REACT_BY_WEB);
    }
  }
  ReactCountdown = savedCountdown;
  ReactOps = saved;
}

TEST_F(Ups, ShutdownControls) {
  const ReactOpsTable saved = ReactOps;
  const ReactCountdownState savedCountdown = ReactCountdown;
  ReactOps.Cancel = CountCancel;
  ReactOps.Resume = CountResume;
  ReactOps.CancelState = FakeCancelState;
  ReactOps.StopRepeats = CountStop;
  ReactCountdown.remaining = 60;
  ReactCountdown.cancel = 0;
  g_underWay = false;
  g_toggles = g_stops = 0;
  const std::string ok =
      "Message: Redirect=/en/device/mgnt_control.asp\nTitle=Information\nBody=<font color=#008000>Submit command "
      "OK.</font>\n";
  EXPECT_EQ(Post("mgnt_control", "PAUSE_BROAD=1&SHUT_CANCEL=1"), ok);  // the first posted button
  EXPECT_EQ(g_toggles, 0);
  EXPECT_EQ(g_stops, 1);
  EXPECT_EQ(Post("mgnt_control", "SIM_POWERFAIL=1"), ok);
  EXPECT_EQ(Post("mgnt_control", "SIM_POWERRESTORE=1"), ok);
  EXPECT_EQ(Post("mgnt_control", "CANCEL_SD=1"), ok);
  EXPECT_EQ(DelayedMessages(), (std::vector<QueuedMessage>{{0, MSG_TRAP, 1, 6, 2, 1},
                                                           {0, MSG_TRAP, 1, 6, 3, 1},
                                                           {0, MSG_TRAP, 1, 6, 97, 0}}));
  EXPECT_EQ(Post("mgnt_control", "OTHER=1"),
            "Message: Title=Error\nBody=<font color=#F00000>FIFO_GROUP_POST not found!</font>\n");
  // Without a valid token nothing happens.
  EXPECT_EQ(PostRaw("mgnt_control", "SHUT_CANCEL=1&SYS_UCTOKEN=nope"), Stale("/en/device/mgnt_control.asp"));
  EXPECT_EQ(g_toggles, 0);
  EXPECT_EQ(ReactCountdown.cancel, 0);
  ReactCountdown = savedCountdown;
  ReactOps = saved;
}

}  // namespace
