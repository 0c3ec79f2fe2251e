// Status, summary and identity pages: every group's values from a UPS
// record whose reading i is 10 i + 1 (so a wrong index shows at once), the
// status words, the event levels and the logs.
#include <cwchar>
#include <map>

#include "core/svc.h"
#include "events/evtlog.h"
#include "events/react.h"
#include "events/sched.h"
#include "web/webstatus.h"
#include "web/httpd.h"
#include "webdevfixture.h"

using namespace devtest;

namespace {

class Status : public DevTest {
 protected:
  void SetUp() override {
    DevTest::SetUp();
    snprintf(UpsRecord.model, sizeof UpsRecord.model, "SIMUPS 3000");
    snprintf(UpsRecord.firmware, sizeof UpsRecord.firmware, "FW 02.13");
    snprintf(UpsRecord.serial, sizeof UpsRecord.serial, "SIM0012345");
    memset(SchedPlanned, 0, sizeof SchedPlanned);
  }
  static void SetBits(std::initializer_list<int> bits) {
    UpsRecord.shownStatus = 0;
    for (int b : bits) UpsRecord.shownStatus |= UpsBit(b);
  }
  struct Case {
    const char* name;
    const char* value;
  };
  void Expect(std::initializer_list<Case> cases) {
    for (const Case& c : cases) EXPECT_EQ(Var(c.name), c.value) << c.name;
  }
};

TEST_F(Status, ReadingsByIndexAndPhase) {
  Expect({
      {"UPS_INFREQ1", "45.1"},   {"UPS_INFREQ2", "49.1"},   {"UPS_INFREQ3", "53.1"},   {"UPS_INFREQ12", ""},
      {"UPS_INFREQ", ""},        {"UPS_INVOLT1", "46.1"},   {"UPS_INVOLT2", "50.1"},   {"UPS_INVOLT3", "54.1"},
      {"UPS_INVOLT12", "57.1"},  {"UPS_INVOLT23", "58.1"},  {"UPS_INVOLT31", "59.1"},  {"UPS_INVOLT4", ""},
      {"UPS_INVOLT", ""},        {"UPS_INVOLT13", ""},      {"UPS_INAMP1", "47.1"},    {"UPS_INAMP2", "51.1"},
      {"UPS_INAMP3", "55.1"},    {"UPS_INAMP12", ""},       {"UPS_OUTSRC", "601"},     {"UPS_OUTFREQ", "61.1"},
      {"UPS_OUTVOLT1", "63.1"},  {"UPS_OUTVOLT2", "67.1"},  {"UPS_OUTVOLT3", "71.1"},  {"UPS_OUTVOLT12", "75.1"},
      {"UPS_OUTVOLT23", "76.1"}, {"UPS_OUTVOLT31", "77.1"}, {"UPS_OUTAMP1", "64.1"},   {"UPS_OUTAMP2", "68.1"},
      {"UPS_OUTAMP3", "72.1"},   {"UPS_OUTPOWER1", "651"},  {"UPS_OUTPOWER2", "691"},  {"UPS_OUTPOWER3", "731"},
      {"UPS_OUTLOAD1", "661"},   {"UPS_OUTLOAD2", "701"},   {"UPS_OUTLOAD3", "741"},   {"UPS_OUTLOAD12", ""},
      {"UPS_BYFREQ", "81.1"},    {"UPS_BYVOLT1", "83.1"},   {"UPS_BYVOLT2", "86.1"},   {"UPS_BYVOLT3", "89.1"},
      {"UPS_BYVOLT12", "92.1"},  {"UPS_BYVOLT23", "93.1"},  {"UPS_BYVOLT31", "94.1"},  {"UPS_BYAMP1", "84.1"},
      {"UPS_BYAMP2", "87.1"},    {"UPS_BYAMP3", "90.1"},    {"UPS_BYPOWER1", "851"},   {"UPS_BYPOWER2", "881"},
      {"UPS_BYPOWER3", "911"},   {"UPS_BATTVOLT", "32.1"},  {"UPS_BATTAMP", "33.1"},   {"UPS_NEGBATTAMP", "38.1"},
      {"UPS_BATTLEVEL", "351"},  {"UPS_TEMP", "341"},       {"UPS_ONBATTTIME", "291"}, {"UPS_TYPE", "131"},
      {"UPS_RATVA", "41"},       {"UPS_RATPOWER", "51"},    {"UPS_RATINVOLT", "1"},    {"UPS_RATOUTVOLT", "21"},
      {"UPS_RATBYVOLT", "201"},  {"UPS_RATFREQ", "1.1"},    {"UPS_RATBATTVOLT", "141"}, {"UPS_RATHITXVOLT", "81"},
      {"UPS_RATLOTXVOLT", "71"}, {"UPS_CHG_CUR_POS", "41.1"}, {"UPS_CHG_CUR_NEG", "42.1"}, {"UPS_PHASE", "621"},
      {"UPS_NEGBATTVOLT", "37.1"}, {"UPS_TESTRESULT", "961"}, {"UPS_NEGBATTLEVEL", "401"}, {"UPS_NEGTEMP", "391"},
      {"UPS_COUNTDOWN", ""},     {"UPS_SSCOUNTDOWN", ""},   {"UPS_USBVER", ""},        {"UPS_FWVER", "03.01.22"},
  });
  // Readings the UPS does not report.
  for (int32_t& v : UpsRecord.values) v = -1;
  Expect({{"UPS_INVOLT1", "-1"}, {"UPS_OUTPOWER2", "-1"}, {"UPS_TEMP", "-1"}, {"UPS_BATTREMAIN", ""}});
}

TEST_F(Status, ALostLinkShowsNoReadings) {
  // What the lost link left in the record is not shown as current: every
  // reading is unavailable, as for a UPS that never answered.
  // Nor are the battery and charge states the bits kept from before the loss.
  SetBits({UPS_ST_COMMLOST, UPS_ST_ACFAIL, UPS_ST_BATTLOW, UPS_ST_DISCHARGING});
  Expect({
      {"UPS_COMMSTS", "1"},     {"PRP_C_COMMSTS", "critical"}, {"UPS_INVOLT1", "-1"}, {"UPS_INFREQ1", "-1"},
      {"UPS_OUTVOLT1", "-1"},   {"UPS_OUTLOAD1", "-1"},        {"UPS_BATTLEVEL", "-1"}, {"UPS_BATTVOLT", "-1"},
      {"UPS_TEMP", "-1"},       {"UPS_BATTREMAIN", ""},        {"UPS_OUTSRC", "-1"},  {"UPS_RATPOWER", "-1"},
      {"UPS_BATTSTS", "-1"},    {"UPS_BATTCHARGE", "-1"},      {"UPS_MODEL", "SIMUPS 3000"},
  });
  SetBits({UPS_ST_ACFAIL, UPS_ST_BATTLOW, UPS_ST_DISCHARGING});
  Expect({{"UPS_COMMSTS", "0"}, {"UPS_INVOLT1", "46.1"}, {"UPS_BATTLEVEL", "351"}, {"UPS_BATTSTS", "2"},
          {"UPS_BATTCHARGE", "2"}});
}

TEST_F(Status, IdentityTextsAreEscaped) {
  UpsRecord.moduleType = 2;
  Expect({{"UPS_MODEL", "SIMUPS 3000"}, {"UPS_UPSVER", "FW 02.13"}, {"UPS_SERNUM", "SIM0012345"}, {"UPS_SERIES", "2"}});
  // The texts come from the UPS line: markup in them stays text.
  snprintf(UpsRecord.model, sizeof UpsRecord.model, "<script>x</script>");
  snprintf(UpsRecord.serial, sizeof UpsRecord.serial, "A&B\"'");
  snprintf(UpsRecord.firmware, sizeof UpsRecord.firmware, "<img>");
  Expect({{"UPS_MODEL", "&lt;script&gt;x&lt;/script&gt;"},
          {"UPS_SERNUM", "A&amp;B&quot;&#39;"},
          {"UPS_UPSVER", "&lt;img&gt;"}});
}

TEST_F(Status, StatusDigitsAndDerivedTexts) {
  struct Case {
    std::initializer_list<int> bits;
    const char* battSts;
    const char* battCharge;
    const char* commSts;
  } cases[] = {
      {{}, "0", "0", "0"},
      {{UPS_ST_BATTWEAK}, "1", "0", "0"},
      {{UPS_ST_BATTWEAK, UPS_ST_BATTLOW}, "2", "0", "0"},
      {{UPS_ST_BATTLOW, UPS_ST_BATTDEPLETED}, "3", "0", "0"},
      {{UPS_ST_BATTREPLACE, UPS_ST_BATTDEPLETED, UPS_ST_CHARGING}, "4", "1", "0"},
      {{UPS_ST_CHARGING, UPS_ST_DISCHARGING}, "0", "2", "0"},
  };
  for (const Case& c : cases) {
    SetBits(c.bits);
    Expect({{"UPS_BATTSTS", c.battSts}, {"UPS_BATTCHARGE", c.battCharge}, {"UPS_COMMSTS", c.commSts}});
  }
  SetBits({});
  struct Remain {
    int minutes;
    const char* text;
  } remain[] = {{60, "60"}, {61, "1:1"}, {125, "2:5"}, {0, "0"}, {-1, ""}, {-7, ""}};
  for (const Remain& r : remain) {
    UpsRecord.values[VAL_BATTREMAIN] = r.minutes;
    EXPECT_EQ(Var("UPS_BATTREMAIN"), r.text) << r.minutes;
  }
  struct Date {
    const char* stored;
    const char* shown;
  } dates[] = {{"20230415", "04/15/2023"}, {"", ""}, {"2023", "//2023"}, {"2024<>01", "&lt;&gt;/01/2024"}};
  for (const Date& d : dates) {
    snprintf(UpsRecord.battLastDate, sizeof UpsRecord.battLastDate, "%s", d.stored);
    snprintf(UpsRecord.battNextDate, sizeof UpsRecord.battNextDate, "%s", d.stored);
    EXPECT_EQ(Var("UPS_BATTLAST"), d.shown) << d.stored;
    EXPECT_EQ(Var("UPS_BATTNEXT"), d.shown) << d.stored;
  }
  struct Outlets {
    uint8_t count, on;
    const char* text;
  } outlets[] = {{4, 0x05, "1010"}, {0, 0xFF, ""}, {2, 0x02, "01"}, {10, 0xFF, "1111111100"}};
  for (const Outlets& o : outlets) {
    UpsRecord.outletCount = o.count;
    UpsRecord.outletOn = o.on;
    EXPECT_EQ(Var("UPS_OUTLETSTS"), o.text);
  }
}

TEST_F(Status, PlannedActions) {
  SchedPlanned[2] = {24, 3, 9, 2, 0, 0};
  SchedPlanned[0] = {0, 0, 0, 0, 5, 0};  // only a minute: something is planned
  Expect({{"UPS_SCH_NEXTTEST", "03/09/2024 02:00"},
          {"UPS_SCH_NEXTDEEPTEST", "None"},
          {"UPS_SCH_NEXTON", "None"},
          {"UPS_SCH_NEXTOFF", "00/00/2000 00:05"}});
}

TEST_F(Status, CapabilityAndCabinetValues) {
  UpsRecord.values[VAL_BATTCAB_TEMP] = 25;
  UpsRecord.values[VAL_BATTCAB_TEMP + 1] = 0;
  UpsRecord.values[VAL_BATTCAB_TEMP + 2] = -1;
  UpsRecord.values[VAL_BATTCAB_TEMP + 3] = 31;
  Expect({{"UPS_BATTCAB_NUM", ""}, {"UPS_BATTCAB_TEMP", ""}, {"UPS_SHOW_GREEN", "0"}, {"UPS_BMI_AVL", "0"},
          {"UPS_BATT_STRING", ""}});
  UpsRecord.capabilities = UPS_CAP_BCT | UPS_CMD_GRE | UPS_CAP_BMI;
  Expect({{"UPS_BATTCAB_NUM", "1001"},
          {"UPS_BATTCAB_TEMP",
           "<UPS_BATTCAB_TEMP>25</UPS_BATTCAB_TEMP>\n<UPS_BATTCAB_TEMP>0</UPS_BATTCAB_TEMP>\n"
           "<UPS_BATTCAB_TEMP>-1</UPS_BATTCAB_TEMP>\n<UPS_BATTCAB_TEMP>31</UPS_BATTCAB_TEMP>\n"},
          {"UPS_SHOW_GREEN", "1"},
          {"UPS_BMI_AVL", "1"}});
  // Breaker: the field must be reported; bit 45 set means open.
  UpsRecord.values[VAL_BATTCAB_BREAKER] = -1;
  EXPECT_EQ(Var("UPS_BATTCAB_BREAKER"), "");
  UpsRecord.values[VAL_BATTCAB_BREAKER] = 0;
  EXPECT_EQ(Var("UPS_BATTCAB_BREAKER"), "1");
  SetBits({UPS_ST_BATTCAB_BREAKER});
  EXPECT_EQ(Var("UPS_BATTCAB_BREAKER"), "0");
  // Battery modules: up to the first id -1, at most ten.
  for (UpsBatteryModule& b : UpsRecord.battModules) b = {-1, 0, 0, 0, 0, 0};
  UpsRecord.battModules[0] = {1, 235, -12, 251, 98, 87};
  UpsRecord.battModules[1] = {2, 1000, 5, 0, 100, 100};
  EXPECT_EQ(Var("UPS_BATT_STRING"),
            "<UPS_BMI_ID>1</UPS_BMI_ID>\n<UPS_BMI_VOLT> 23.5</UPS_BMI_VOLT>\n<UPS_BMI_CURRENT> -1.2</UPS_BMI_CURRENT>\n"
            "<UPS_BMI_TEMP> 25.1</UPS_BMI_TEMP>\n<UPS_BMI_SOH>98</UPS_BMI_SOH>\n<UPS_BMI_SOC>87</UPS_BMI_SOC>\n"
            "<UPS_BMI_ID>2</UPS_BMI_ID>\n<UPS_BMI_VOLT>100.0</UPS_BMI_VOLT>\n<UPS_BMI_CURRENT>  0.5</UPS_BMI_CURRENT>\n"
            "<UPS_BMI_TEMP>  0.0</UPS_BMI_TEMP>\n<UPS_BMI_SOH>100</UPS_BMI_SOH>\n<UPS_BMI_SOC>100</UPS_BMI_SOC>\n");
  for (int i = 0; i < UPS_MODULE_COUNT; ++i) UpsRecord.battModules[i] = {i, 0, 0, 0, 0, 0};
  const std::string all = Var("UPS_BATT_STRING");
  size_t ids = 0;
  for (size_t at = all.find("<UPS_BMI_ID>"); at != std::string::npos; at = all.find("<UPS_BMI_ID>", at + 1)) ++ids;
  EXPECT_EQ(ids, 10u);
}

TEST_F(Status, SummaryValues) {
  snprintf(SvcSystemInfo.hostName, sizeof SvcSystemInfo.hostName, "host<1>");
  swprintf(SvcSystemInfo.description, 128, L"Linux 6.1 & more");
  ReactCountdown.remaining = 42;
  ReactCountdown.cancel = 1;
  ReactSetting.type = 2;
  Expect({{"SUM_HOST_NAME", "host&lt;1&gt;"}, {"SUM_OS_DESC", "Linux 6.1 &amp; more"}, {"SUM_OS_COUNTDOWN", "42"},
          {"SUM_SHUT_TYPE", "2"}, {"SUM_OS_CANCEL", "1"}, {"SUM_UPS_HEALTH", "0"}, {"SUM_SWVER", "03.01.22"}});
  ReactCountdown.remaining = -1;
  EXPECT_EQ(Var("SUM_OS_COUNTDOWN"), "-1");
  struct Port {
    uint8_t setting;
    const char* text;
  } ports[] = {{0, "Auto"}, {1, "USB"}, {2, "COM1"}, {3, "COM2"}, {255, "COM254"}};
  for (const Port& p : ports) {
    ComPortSetting = p.setting;
    EXPECT_EQ(Var("SUM_UPS_PORT"), p.text);
  }
  ComPortSetting = 0;
  struct Count {
    int32_t records;
    const char* shown;
  } counts[] = {{2, "2"}, {12000, "5"}, {0, "0"}, {5, "5"}};
  for (const Count& c : counts) {
    EvtLogRecordCount = c.records;
    EXPECT_EQ(Var("SUM_SLOG_NUM"), c.shown);
  }
  EvtLogRecordCount = 0;
}

// The countdown banner of every page: the end, mm:ss, the reason and, for the
// administrator and the device manager, the way to the control page.
TEST_F(Status, CountdownBanner) {
  const int savedLevel = WebLoginLevel;
  ReactSetting = ReactSettings{};
  ReactCountdown = ReactCountdownState{};
  ReactCountdown.remaining = -1;
  EXPECT_EQ(Var("SUM_OS_BANNER"), "");
  ReactSetting.upsDelay = 150;
  struct Case {
    int32_t remaining;
    uint8_t owner, cancel, type;
    int level;
    std::vector<std::string> parts;
  } cases[] = {
      {271, 1, 0, 0, 0,
       {"data-remaining=\"271\" data-cancelled=\"0\" data-reason=\"power failure\"",
        "<strong>Shutdown in <span class=\"mmss\">04:31</span></strong>",
        "(power failure)", "At the end the host shuts down and the UPS switches its output off 150 s later.",
        "<a href=\"/en/device/mgnt_control.asp#shutdown\">Cancel the countdown</a>"}},
      {59, 2, 0, 1, 1, {">00:59<", "(battery low)", "the host powers off", ">Cancel the countdown</a>"}},
      {7200, 5, 0, 2, 0, {">120:00<", "(scheduled shutdown)", "the host hibernates"}},
      {0, 4, 0, 0, 0, {">00:00<", "(UPS on bypass)"}},
      // A cancelled countdown says what resuming it would do.
      {90, 3, 1, 0, 0,
       {"class=\"countdown cancelled\"", "data-cancelled=\"1\"",
        "Shutdown countdown cancelled at <span class=\"mmss\">01:30</span></strong> (overload). Resuming it counts "
        "down the remaining 01:30; at the end the host shuts down and the UPS switches its output off 150 s later. "
        "<a href=\"/en/device/mgnt_control.asp#shutdown\">Resume the countdown</a></div>"}},
      // A user session sees where, not a link it may not use.
      {30, 1, 0, 0, 2, {"The administrator or the device manager can cancel it on the Control page."}},
      {30, 1, 1, 0, 2, {"The administrator or the device manager can resume it on the Control page."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.remaining);
    ReactCountdown.remaining = c.remaining;
    ReactCountdown.owner = c.owner;
    ReactCountdown.cancel = c.cancel;
    ReactSetting.type = c.type;
    WebLoginLevel = c.level;
    const std::string banner = Var("SUM_OS_BANNER");
    EXPECT_EQ(banner.rfind("<div class=\"countdown", 0), 0u) << banner;
    for (const std::string& part : c.parts) EXPECT_NE(banner.find(part), std::string::npos) << part << "\n" << banner;
    if (c.level == 2) {
      EXPECT_EQ(banner.find("<a "), std::string::npos);
    }
  }
  // A client without a session (the login and message pages) learns
  // nothing of a countdown.
  for (uint8_t cancel : {0, 1}) {
    ReactCountdown.cancel = cancel;
    WebLoginLevel = -1;
    EXPECT_EQ(Var("SUM_OS_BANNER"), "");
  }
  WebLoginLevel = savedLevel;
  ReactCountdown = ReactCountdownState{};
  ReactCountdown.remaining = -1;
}

// A fake event log: record k is g_records[k] ("" cannot be read).
std::vector<std::string> g_records;
int ReadFake(int n, char* out, size_t size) {
  if (n < 0 || n >= static_cast<int>(g_records.size()) || g_records[n].empty()) return 0;
  snprintf(out, size, "%s", g_records[n].c_str());
  return 1;
}
// "code level date time text"; a record with fewer fields is not split.
int SplitFake(char* r, char** code, char** level, char** date, char** time, char** text) {
  char* parts[5];
  char* p = r;
  for (int i = 0; i < 4; ++i) {
    parts[i] = p;
    p = strchr(p, ' ');
    if (!p) return 0;
    *p++ = 0;
  }
  parts[4] = p;
  *code = parts[0], *level = parts[1], *date = parts[2], *time = parts[3], *text = parts[4];
  return 1;
}

TEST_F(Status, SummaryLogRows) {
  const EvtLogOpsTable saved = EvtLogOps;
  EvtLogOps.ReadRecord = ReadFake;
  EvtLogOps.SplitRecord = SplitFake;
  g_records = {"102 3 2024/03/09 02:00:01 Utility power failure",
               "",  // unreadable: skipped
               "37 2 2024/03/09 01:59:00 Login failed: <script>alert(1)</script>&",
               "broken",
               "0 0 2024/03/09 01:00:00 Service started",
               "1 0 2024/03/09 00:00:00 sixth: never shown"};
  EvtLogRecordCount = 6;
  EXPECT_EQ(Var("SUM_SLOG_LIST"),
            "<SUM_SLOG_LEVEL>3</SUM_SLOG_LEVEL>\n<SUM_SLOG_TIME>2024/03/09 02:00:01</SUM_SLOG_TIME>\n"
            "<SUM_SLOG_EVENT>Utility power failure</SUM_SLOG_EVENT>\n"
            "<SUM_SLOG_LEVEL>2</SUM_SLOG_LEVEL>\n<SUM_SLOG_TIME>2024/03/09 01:59:00</SUM_SLOG_TIME>\n"
            "<SUM_SLOG_EVENT>Login failed: &lt;script&gt;alert(1)&lt;/script&gt;&amp;</SUM_SLOG_EVENT>\n"
            "<SUM_SLOG_LEVEL>0</SUM_SLOG_LEVEL>\n<SUM_SLOG_TIME>2024/03/09 01:00:00</SUM_SLOG_TIME>\n"
            "<SUM_SLOG_EVENT>Service started</SUM_SLOG_EVENT>\n");
  EXPECT_STREQ(WebReply.text, "");  // printed straight into the page
  EvtLogRecordCount = 0;
  EXPECT_EQ(Var("SUM_SLOG_LIST"), "");
  EvtLogOps = saved;
}

TEST_F(Status, StyleClasses) {
  struct Case {
    const char* what;
    std::map<int, int> values;
    std::initializer_list<int> bits;
    std::map<std::string, std::string> want;
  } cases[] = {
      {"normal", {}, {},
       {{"PRP_C_MODEL", "bold"}, {"PRP_C_COMMSTS", "normal"}, {"PRP_C_BATTSTS", "1"}, {"PRP_C_BATTCHARGE", "1"},
        {"PRP_C_TEMP", "1"}, {"PRP_C_INAMP", "1"}, {"PRP_C_BLEVEL", "1"}, {"PRP_C_ONBATTTIME", "1"},
        {"PRP_C_BYAMP7", "1"}, {"PRP_C_OUTVOLT", "0"}}},
      {"alarms", {}, {UPS_ST_COMMLOST, UPS_ST_BATTWEAK, UPS_ST_DISCHARGING, UPS_ST_OVERTEMP, UPS_ST_OVERLOAD},
       {{"PRP_C_COMMSTS", "critical"}, {"PRP_C_BATTSTS", "2"}, {"PRP_C_BATTCHARGE", "2"}, {"PRP_C_TEMP", "3"},
        {"PRP_C_INAMP", "3"}, {"PRP_C_OUTAMP", "3"}, {"PRP_C_OUTPOWER", "3"}, {"PRP_C_BATTAMP", "1"},
        {"PRP_C_BLEVEL", "1"}}},
      {"battery low", {}, {UPS_ST_BATTLOW, UPS_ST_BATTWEAK},
       {{"PRP_C_BATTSTS", "3"}, {"PRP_C_BLEVEL", "3"}, {"PRP_C_BATTVOLT", "3"}, {"PRP_C_BATTREMAIN", "3"}}},
      {"replace only", {}, {UPS_ST_BATTREPLACE}, {{"PRP_C_BATTSTS", "3"}, {"PRP_C_BLEVEL", "1"}}},
      {"economy bypass", {{VAL_OUTSRC, 2}}, {UPS_ST_ECONOMIC}, {{"PRP_C_OUTSRC", "1"}}},
      {"bypass", {{VAL_OUTSRC, 2}}, {}, {{"PRP_C_OUTSRC", "3"}}},
      {"battery", {{VAL_OUTSRC, 1}}, {}, {{"PRP_C_OUTSRC", "2"}}},
      {"buck", {{VAL_OUTSRC, 3}}, {}, {{"PRP_C_OUTSRC", "1"}}},
      {"source 8", {{VAL_OUTSRC, 8}}, {}, {{"PRP_C_OUTSRC", "1"}}},
      {"source 6", {{VAL_OUTSRC, 6}}, {}, {{"PRP_C_OUTSRC", "3"}}},
      {"source 9", {{VAL_OUTSRC, 9}}, {}, {{"PRP_C_OUTSRC", "3"}}},
      {"source unknown", {{VAL_OUTSRC, -1}}, {}, {{"PRP_C_OUTSRC", "3"}}},
      {"output frequency off", {{VAL_RATOUTFREQ, 500}, {VAL_OUTFREQ, 511}}, {}, {{"PRP_C_OUTFREQ", "3"}}},
      {"output frequency near", {{VAL_RATOUTFREQ, 500}, {VAL_OUTFREQ, 490}}, {}, {{"PRP_C_OUTFREQ", "1"}}},
      {"no rated output frequency", {{VAL_RATOUTFREQ, -1}, {VAL_OUTFREQ, 0}}, {}, {{"PRP_C_OUTFREQ", "1"}}},
      {"bypass nominal from TXF rating first",
       {{VAL_TXF_RATFREQ, 500}, {VAL_RATOUTFREQ, 600}, {VAL_RATFREQ, 600}, {VAL_BYFREQ, 600}}, {},
       {{"PRP_C_BYFREQ", "3"}}},
      {"bypass nominal from the rated output",
       {{VAL_TXF_RATFREQ, 0}, {VAL_RATOUTFREQ, 600}, {VAL_RATFREQ, 500}, {VAL_BYFREQ, 600}}, {},
       {{"PRP_C_BYFREQ", "1"}}},
      {"bypass nominal from the rated frequency",
       {{VAL_TXF_RATFREQ, -1}, {VAL_RATOUTFREQ, 0}, {VAL_RATFREQ, 500}, {VAL_BYFREQ, 600}}, {},
       {{"PRP_C_BYFREQ", "3"}}},
      {"bypass without nominal",
       {{VAL_TXF_RATFREQ, -1}, {VAL_RATOUTFREQ, -1}, {VAL_RATFREQ, -1}, {VAL_BYFREQ, 600}}, {},
       {{"PRP_C_BYFREQ", "1"}}},
      {"test running", {{VAL_TESTRESULT, 2}}, {}, {{"PRP_C_TESTRESULT", "2"}}},
      {"test failed", {{VAL_TESTRESULT, 5}}, {}, {{"PRP_C_TESTRESULT", "3"}}},
      {"test passed", {{VAL_TESTRESULT, 1}}, {}, {{"PRP_C_TESTRESULT", "1"}}},
      {"input and load through the formatters",
       {{VAL_INPHASE, 1}, {VAL_LOTXVOLT, 160}, {VAL_HITXVOLT, 280}, {VAL_INVOLT1, 2900}, {VAL_PHASE, 1},
        {VAL_OUTLOAD1, 95}, {VAL_RATFREQ, 500}, {VAL_INFREQ1, 500}, {VAL_INFREQ2, -1}, {VAL_INFREQ3, -1},
        {VAL_BYPHASE, 1}, {VAL_BYVOLT1, 2300}},
       {},
       {{"PRP_C_INVOLT", "3"}, {"PRP_C_OUTLOAD", "2"}, {"PRP_C_INFREQ", "1"}, {"PRP_C_BYVOLT", "1"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (int i = 0; i < UPS_VALUE_COUNT; ++i) UpsRecord.values[i] = 10 * i + 1;
    for (const auto& [index, value] : c.values) UpsRecord.values[index] = value;
    SetBits(c.bits);
    for (const auto& [name, value] : c.want) {
      EXPECT_EQ(Var(name), value) << name;
      EXPECT_EQ(WebReply.length, value.size() + 1);
    }
  }
}

TEST_F(Status, AlarmIcons) {
  for (int e = 0; e < EVT_UPS_COUNT; ++e) EvtUpsEvents.level[e] = static_cast<uint8_t>(e % 3 + 1);
  EvtUpsEvents.level[2 * UPS_ST_ACFAIL] = 3;
  EvtUpsEvents.level[68] = 2;
  // Each plain entry shows its own bit's beginning level.
  struct Plain {
    const char* name;
    int bit;
  } plain[] = {
      {"IMG_STS_COMMERR", 46},     {"IMG_STS_ACFAIL", 1},        {"IMG_STS_BATTLOW", 28},
      {"IMG_STS_BATTDEPLETED", 29}, {"IMG_STS_BATTREPLACE", 30},  {"IMG_STS_TESTING", 31},
      {"IMG_STS_OVERLOAD", 3},     {"IMG_STS_OVERTEMP", 0},      {"IMG_STS_UPSFAIL", 11},
      {"IMG_STS_SYSTEMOFF", 8},    {"IMG_STS_OUTPUTBAD", 2},     {"IMG_STS_OUTPUTOFF", 5},
      {"IMG_STS_FANFAIL", 9},      {"IMG_STS_FUSEFAIL", 10},     {"IMG_STS_INVERTER", 17},
      {"IMG_STS_CHARGER", 7},      {"IMG_STS_BYPASS", 4},        {"IMG_STS_EPO", 18},
      {"IMG_STS_ECONOMIC", 16},    {"IMG_STS_BATTGROUND", 20},   {"IMG_STS_TESTFAIL", 32},
      {"IMG_STS_SHUTDOWN", 6},     {"IMG_STS_OUTPUTOVERVOLT", 21}, {"IMG_STS_OUTPUTUNDERVOLT", 22},
      {"IMG_STS_OUTBREAKER", 24},  {"IMG_STS_ASYNC", 25},        {"IMG_STS_RECTIFIER", 26},
      {"IMG_STS_REDUNDANCY", 51},  {"IMG_STS_GREENMODE", 53},
  };
  for (const Plain& p : plain) {
    SetBits({});
    EXPECT_EQ(Var(p.name), "0") << p.name;
    // A neighbouring bit does not count.
    SetBits({p.bit == 0 ? 1 : p.bit - 1, p.bit + 1});
    EXPECT_EQ(Var(p.name), "0") << p.name;
    SetBits({p.bit});
    EXPECT_EQ(Var(p.name), std::to_string(EvtUpsEvents.level[2 * p.bit])) << p.name;
  }
  SetBits({UPS_ST_ACFAIL});
  EXPECT_EQ(Var("IMG_STS_ACFAIL"), "3");

  // The special entries.
  SetBits({});
  EXPECT_EQ(Var("IMG_STS_BUZSTATE"), "1");
  SetBits({UPS_ST_BUZENABLED});
  EXPECT_EQ(Var("IMG_STS_BUZSTATE"), "0");
  struct Bypass {
    int modelClass, source;
    const char* onBypass;
    const char* onReserve;
  } bypass[] = {{3, 2, "0", "2"}, {3, 5, "2", "0"}, {1, 2, "2", "0"}, {1, 5, "0", "0"}, {3, 0, "0", "0"}};
  SetBits({});  // bit 34 itself is not tested
  for (const Bypass& b : bypass) {
    UpsRecord.values[VAL_TYPE] = b.modelClass;
    UpsRecord.values[VAL_OUTSRC] = b.source;
    EXPECT_EQ(Var("IMG_STS_ONBYPASS"), b.onBypass) << b.modelClass << "/" << b.source;
    EXPECT_EQ(Var("IMG_STS_ONRESERVE"), b.onReserve) << b.modelClass << "/" << b.source;
  }
  EvtUpsEvents.level[30] = 0;
  SetBits({UPS_ST_BUZMUTED});
  EXPECT_EQ(Var("IMG_STS_BUZSTATUS"), "1");
  EvtUpsEvents.level[30] = 2;
  EXPECT_EQ(Var("IMG_STS_BUZSTATUS"), "2");
  SetBits({});
  EXPECT_EQ(Var("IMG_STS_BUZSTATUS"), "0");
  UpsRecord.worstModuleLevel = 3;
  EXPECT_EQ(Var("IMG_STS_POWERODULE"), "0");
  SetBits({UPS_ST_POWERMODULE});
  EXPECT_EQ(Var("IMG_STS_POWERODULE"), "3");
  EXPECT_EQ(Var("IMG_STS_NOTHING"), "");
}

TEST_F(Status, ModuleBypassAlarms) {
  EvtUpsEvents.level[80] = 1, EvtUpsEvents.level[82] = 2, EvtUpsEvents.level[84] = 3;
  EvtUpsEvents.level[86] = 2, EvtUpsEvents.level[88] = 1;
  const char* names[] = {"UPS_PM_BYPASS_BAD", "UPS_PM_BYPASS_SEQ", "UPS_PM_BYPASS_OVERLOAD", "UPS_PM_BYPASS_OVERTEMP",
                         "UPS_PM_BYPASS_STSFAIL"};
  const char* levels[] = {"1", "2", "3", "2", "1"};
  for (int i = 0; i < 5; ++i) {
    SetBits({});
    EXPECT_EQ(Var(names[i]), "0");
    SetBits({UPS_ST_PM_BYPASS_BAD + i});
    EXPECT_EQ(Var(names[i]), levels[i]);
  }
}

class Modules : public Status {
 protected:
  void SetUp() override {
    Status::SetUp();
    UpsRecord.moduleType = 4;
    for (int m = 0; m < UPS_MODULE_COUNT; ++m)
      for (int r = 0; r < UPS_MODULE_READINGS; ++r) UpsRecord.modules[m].readings[r] = 100 * m + r;
  }
  // The rows of one module item as the page receives them.
  static std::vector<std::string> Rows(const std::string& name) {
    std::vector<std::string> out;
    std::string page = Var(name);
    for (size_t at = 0; at < page.size();) {
      size_t nl = page.find('\n', at);
      out.push_back(page.substr(at, nl - at));
      at = nl + 1;
    }
    return out;
  }
};

TEST_F(Modules, OnlyModularModels) {
  for (uint8_t type : {0, 1, 2, 6}) {
    UpsRecord.moduleType = type;
    for (const char* name : {"UPS_SHOW_MODULE", "UPS_STS_MODULE", "UPS_PM_TEMP_PFC", "UPS_PM_VOLT_INVT", "UPS_PM_IMG",
                             "UPS_PM_STS"})
      EXPECT_EQ(Var(name), "") << name << " type " << int(type);
  }
  UpsRecord.moduleType = 3;
  EXPECT_EQ(Var("UPS_SHOW_MODULE").size(), 10u);
  UpsRecord.moduleType = 5;
  EXPECT_EQ(Var("UPS_STS_MODULE").size(), 10u);
}

TEST_F(Modules, PresenceAndStatusStrings) {
  UpsRecord.modules[1].shownAlarms = 1;  // absent
  UpsRecord.modules[2].shownAlarms = 4;  // bit 2: shown as 0 whatever its level
  UpsRecord.modules[2].level = 3;
  UpsRecord.modules[3].level = 2;
  UpsRecord.modules[4].level = 3;
  EXPECT_EQ(Var("UPS_SHOW_MODULE"), "1011111111");
  EXPECT_EQ(Var("UPS_STS_MODULE"), "1102311111");
}

TEST_F(Modules, ReadingRows) {
  std::vector<std::string> rows = Rows("UPS_PM_TEMP_PFC");
  ASSERT_EQ(rows.size(), 10u);
  EXPECT_EQ(rows[0], "<UPS_PM_TEMP_PFC>1</UPS_PM_TEMP_PFC>");
  EXPECT_EQ(rows[9], "<UPS_PM_TEMP_PFC>901</UPS_PM_TEMP_PFC>");
  EXPECT_EQ(Rows("UPS_PM_TEMP_INVERTER")[3], "<UPS_PM_TEMP_INVERTER>302</UPS_PM_TEMP_INVERTER>");
  EXPECT_EQ(Rows("UPS_PM_TEMP_INVR")[1], "<UPS_PM_TEMP_INVR>103</UPS_PM_TEMP_INVR>");
  EXPECT_EQ(Rows("UPS_PM_TEMP_INVS")[1], "<UPS_PM_TEMP_INVS>104</UPS_PM_TEMP_INVS>");
  EXPECT_EQ(Rows("UPS_PM_TEMP_INVT")[1], "<UPS_PM_TEMP_INVT>105</UPS_PM_TEMP_INVT>");
  UpsRecord.modules[0].readings[6] = 2305;
  UpsRecord.modules[1].readings[6] = -5;
  UpsRecord.modules[2].readings[6] = 0;
  rows = Rows("UPS_PM_VOLT_INVR");
  EXPECT_EQ(rows[0], "<UPS_PM_VOLT_INVR>230.5</UPS_PM_VOLT_INVR>");
  EXPECT_EQ(rows[1], "<UPS_PM_VOLT_INVR>-1</UPS_PM_VOLT_INVR>");
  EXPECT_EQ(rows[2], "<UPS_PM_VOLT_INVR>0.0</UPS_PM_VOLT_INVR>");
  EXPECT_EQ(Rows("UPS_PM_VOLT_INVS")[3], "<UPS_PM_VOLT_INVS>30.7</UPS_PM_VOLT_INVS>");
  EXPECT_EQ(Rows("UPS_PM_VOLT_INVT")[3], "<UPS_PM_VOLT_INVT>30.8</UPS_PM_VOLT_INVT>");
}

TEST_F(Modules, AlarmRowsAndFillRows) {
  for (int k = 0; k < EVT_MODULE_ALARM_BITS; ++k) EvtUpsEvents.level[120 + 2 * k] = static_cast<uint8_t>(k % 3 + 1);
  EvtUpsEvents.level[120 + 2 * 5] = 0;  // an alarm of level 0 is not shown
  SetEventText(120 + 2 * 3, "%s fan failure");
  SetEventText(120 + 2 * 4, "Inverter <fault> of %s & %d%%");
  // Module 0: alarms 3, 4, 5 (level 0) and 34; module 1: twelve shown alarms.
  UpsRecord.modules[0].shownAlarms = UpsBit(3) | UpsBit(4) | UpsBit(5) | UpsBit(34);
  for (int k = 10; k < 22; ++k) UpsRecord.modules[1].shownAlarms |= UpsBit(k);
  std::vector<std::string> img = Rows("UPS_PM_IMG");
  ASSERT_EQ(img.size(), 100u);
  EXPECT_EQ(img[0], "<UPS_PM_IMG1>1</UPS_PM_IMG1>");  // bit 3: level 3 % 3 + 1
  EXPECT_EQ(img[1], "<UPS_PM_IMG2>2</UPS_PM_IMG2>");
  EXPECT_EQ(img[2], "<UPS_PM_IMG3>2</UPS_PM_IMG3>");  // bit 34
  EXPECT_EQ(img[3], "<UPS_PM_IMG4>0</UPS_PM_IMG4>");  // fill rows to 10
  EXPECT_EQ(img[9], "<UPS_PM_IMG10>0</UPS_PM_IMG10>");
  EXPECT_EQ(img[10], "<UPS_PM_IMG1>2</UPS_PM_IMG1>");  // module 1, bit 10
  EXPECT_EQ(img[19], "<UPS_PM_IMG10>2</UPS_PM_IMG10>"); // the 10th of 12: no more, no fill
  EXPECT_EQ(img[20], "<UPS_PM_IMG1>0</UPS_PM_IMG1>");   // module 2: fill rows only
  std::vector<std::string> sts = Rows("UPS_PM_STS");
  ASSERT_EQ(sts.size(), 100u);
  EXPECT_EQ(sts[0], "<UPS_PM_STS1>PM fan failure</UPS_PM_STS1>");
  EXPECT_EQ(sts[1], "<UPS_PM_STS2>Inverter &lt;fault&gt; of PM &amp; %d%%</UPS_PM_STS2>");
  EXPECT_EQ(sts[2], "<UPS_PM_STS3></UPS_PM_STS3>");  // no text in the language file
  EXPECT_EQ(sts[3], "<UPS_PM_STS4>0</UPS_PM_STS4>");
  // A start leaves out the first rows of set alarms; the fill rows stay.
  img = Rows("UPS_PM_IMG3");
  ASSERT_EQ(img.size(), 100u - 2 - 2);
  EXPECT_EQ(img[0], "<UPS_PM_IMG3>2</UPS_PM_IMG3>");
  EXPECT_EQ(img[1], "<UPS_PM_IMG4>0</UPS_PM_IMG4>");
  EXPECT_EQ(img[8], "<UPS_PM_IMG3>1</UPS_PM_IMG3>");  // module 1 from row 3
  // Numbers of no row: every row, or only the fill rows past the last.
  EXPECT_EQ(Var("UPS_PM_IMG-99999999999"), Var("UPS_PM_IMG"));
  EXPECT_EQ(Var("UPS_PM_IMG0"), Var("UPS_PM_IMG"));
  EXPECT_EQ(Rows("UPS_PM_STS99999999999").size(), 100u - 3 - 10);
}

TEST_F(Modules, LongAlarmTextsReachThePageWhole) {
  // 100 rows of long escaped texts are far beyond the 4095 characters of
  // the reply text: every row must still reach the page, in order.
  const std::string text = std::string(60, '&') + " %s " + std::string(80, 'x');
  for (int k = 0; k < EVT_MODULE_ALARM_BITS; ++k) {
    EvtUpsEvents.level[120 + 2 * k] = 2;
    SetEventText(120 + 2 * k, text);
  }
  for (UpsPowerModule& pm : UpsRecord.modules) pm.shownAlarms = (UpsBit(10) - 1) << 1;  // ten alarms
  std::vector<std::string> sts = Rows("UPS_PM_STS");
  ASSERT_EQ(sts.size(), 100u);
  // The status text is formatted into 128 characters: 60 ampersands, " PM ", 63 of the x.
  const std::string shown = [] {
    std::string s;
    for (int i = 0; i < 60; ++i) s += "&amp;";
    return s + " PM " + std::string(63, 'x');
  }();
  for (int i = 0; i < 100; ++i) {
    const std::string n = std::to_string(i % 10 + 1);
    EXPECT_EQ(sts[i], "<UPS_PM_STS" + n + ">" + shown + "</UPS_PM_STS" + n + ">") << i;
  }
}

}  // namespace
