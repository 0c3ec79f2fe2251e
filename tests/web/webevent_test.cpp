// Event level, download-notice and Wake-on-LAN pages: the event list with
// its cut texts, skipped events and running numbers, the host list and the
// first-row calls, every text escaped for its place; the level form writing
// the UPS language file of the configured language (and leaving it alone
// when it refuses), the host form's add, edit and delete with the same-MAC
// test on parsed bytes, the hosts and their countdowns moving down on a
// delete, and every refusal changing nothing.
#include <array>
#include <filesystem>
#include <sys/stat.h>

#include "core/cfg.h"
#include "events/evtdef.h"
#include "events/wol.h"
#include "web/webevent.h"
#include "webdevfixture.h"
#include "webreplies.h"

using namespace devtest;
using namespace webreplies;

namespace {

const char* const kLevelOk = "OK: Redirect=/en/device/dev_event.asp";
// The list again, at the event saved with its new level.
std::string LevelSaved(int event, int level) {
  return std::string(kLevelOk) + "#saved-" + std::to_string(event) + "-" + std::to_string(level);
}
const char* const kWrongIndex =
    "Message: Title=Wrong Index Number\nBody=<font color=#808000>The index number is incorrect.</font>\n";
const char* const kWolOk =
    "Message: Redirect=/en/net_wol.asp\nTitle=Information\nBody=<font color=#008000>Updated successfully.</font>\n";
const char* const kInvalid =
    "Message: Title=Error\nBody=<font color=#F00000>Invalid data, please check the input value!</font>\n";
const char* const kFull = "Message: Title=Error\nBody=<font color=#F00000>Exceed the maximum number of WOL!</font>\n";
const char* const kSameMac = "Message: Title=Error\nBody=<font color=#F00000>Already has the same MAC!</font>\n";
const char* const kEmpty = "Message: Title=Error\nBody=<font color=#F00000>Cannot delete anymore!</font>\n";
const char* const kIncorrectInput = "Message: Title=Error\nBody=<font color=#F00000>Incorrect input!</font>\n";
const char* const kNotSaved =
    "Message: Title=Error\nBody=<font color=#F00000>The settings could not be saved.</font>\n";


std::string EventRow(const char* cls, int shown, int event, const char* script, int level, const char* html,
                     const char* word) {
  char row[2048];
  snprintf(row, sizeof row,
           "<tr><td class=%s>%d</td><td><a href=\"#\" id=\"%d\" onclick=\"Func_Select(%d,'%s',%d);\">%s</a></td>"
           "<td class=%s>%s</td><td></td></tr>\n",
           cls, shown, event, event, script, level, html, cls, word);
  return row;
}

std::string HostRow(int r, const char* mac, int delay, int pr, int ss, int count, const char* script,
                    const char* html) {
  char row[2048];
  snprintf(row, sizeof row,
           "<tr><td>%d</td><td><a href=\"#\" id=\"%d\" onclick=\"Func_Select(%d,'%s',%d,%d,%d,%d,'%s');\">%s</a>"
           "</td><td>%s</td><td>%d</td><td>%s</td><td>%s</td></tr>\n",
           r, r, r, mac, delay, pr, ss, count, script, html, mac, delay, pr ? "Yes" : "No", ss ? "Yes" : "No");
  return row;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

WolHost Host(const char* title, std::array<uint8_t, 6> mac, uint8_t delay, uint8_t pr, uint8_t ss) {
  WolHost h{};
  snprintf(h.title, sizeof h.title, "%s", title);
  memcpy(h.mac, mac.data(), 6);
  h.delay = delay;
  h.powerRestore = pr;
  h.sysStartup = ss;
  return h;
}

bool SameHost(const WolHost& a, const WolHost& b) {
  return strcmp(a.title, b.title) == 0 && memcmp(a.mac, b.mac, 6) == 0 && a.delay == b.delay &&
         a.powerRestore == b.powerRestore && a.sysStartup == b.sysStartup;
}

class EventPages : public DevTest {
 protected:
  void SetUp() override {
    DevTest::SetUp();
    savedEvtDef_ = EvtDefOps;
    EvtDefOps = EvtDefOpsTable{};  // filled by the tests that load a language
    savedDelay_ = WebDevNoticeDelay;
    savedLanguage_ = CfgLanguage;
    memset(&WolSetting, 0, sizeof WolSetting);
    memset(WolCountdown, 0, sizeof WolCountdown);
  }
  void TearDown() override {
    if (EvtDefOps.Free) EvtDefOps.Free();
    EvtDefOps = savedEvtDef_;
    WebDevNoticeDelay = savedDelay_;
    CfgLanguage = savedLanguage_;
    memset(&WolSetting, 0, sizeof WolSetting);
    memset(WolCountdown, 0, sizeof WolCountdown);
    DevTest::TearDown();
  }

  // A language directory whose UPS file names every event "Event n" with
  // level n % 4; the comment line marks the file as not yet rewritten.
  std::string MakeLanguage(const char* name) {
    const std::string d = Path("language/") + name;
    std::filesystem::create_directories(d);
    Scratch_WriteFile(d + "/event-common.ini", "[System-Event]\nname1=Service started\nlevel1=0\n");
    std::string ups = "; as installed\n[Alarm-Event]\n";
    for (int i = 1; i <= EVT_UPS_COUNT; ++i)
      ups += "name" + std::to_string(i) + "=Event " + std::to_string(i) + "\nlevel" + std::to_string(i) + "=" +
             std::to_string(i % 4) + "\n";
    Scratch_WriteFile(d + "/event-ups.ini", ups);
    return d + "/event-ups.ini";
  }
  // The UPS file as EvtDef_SaveUps writes it for the current table.
  static std::string Rewritten() {
    std::string out = "[Alarm-Event]\n";
    for (int i = 0; i < EVT_UPS_COUNT; ++i)
      out += "name" + std::to_string(i + 1) + "=" + EvtUpsEvents.text[i] + "\nlevel" + std::to_string(i + 1) + "=" +
             std::to_string(EvtUpsEvents.level[i]) + "\n";
    return out;
  }

  std::string Config() { return Scratch_ReadFile(Path("config.ini")); }
  bool InConfig(const std::string& line) { return ("\n" + Config()).find("\n" + line + "\n") != std::string::npos; }

  EvtDefOpsTable savedEvtDef_;
  int savedDelay_;
  uint8_t savedLanguage_;
};

// ---- values ---------------------------------------------------------------------

TEST_F(EventPages, EventListCutsTextsSkipsEmptyEventsAndNumbersShownRows) {
  SetEventText(0, "Output overload (%s) detected");
  // 1 has no text, 3 an empty one: no rows.
  SetEventText(2, "Battery test (running");
  SetEventText(3, "");
  SetEventText(4, "Load at 100% <b>'x'\"&");
  SetEventText(5, "a (b) c (d) e");
  SetEventText(6, "closed) early");
  SetEventText(188, "Level out of range");
  // 189, the last event, has no text.
  const uint8_t levels[] = {3, 0, 1, 0, 2, 0, 0};
  memcpy(EvtUpsEvents.level, levels, sizeof levels);
  EvtUpsEvents.level[188] = 9;
  const std::string expected =
      EventRow("critical", 1, 1, "Output overload  detected", 3, "Output overload  detected", "Severity") +
      EventRow("normal", 2, 3, "Battery test ", 1, "Battery test ", "Information") +
      EventRow("warning", 3, 5, "Load at 100% \\x3cb\\x3e\\x27x\\x27\\x22\\x26", 2,
               "Load at 100% &lt;b&gt;&#39;x&#39;&quot;&amp;", "Warning") +
      EventRow("bold", 4, 6, "a  c (d) e", 0, "a  c (d) e", "System") +
      EventRow("bold", 5, 7, "closed) early", 0, "closed) early", "System") +
      EventRow("normal", 6, 189, "Level out of range", 9, "Level out of range", "9");
  EXPECT_EQ(Var("EVT_LIST_ADD"), expected);
  EXPECT_EQ(Var("EVT_FUNC_LOAD"), "Func_Select(1,'Output overload (%s) detected',3)");
  EXPECT_EQ(Var("EVT_NOPE"), "");
}

TEST_F(EventPages, EventListLongerThanTheReplyGivesEveryRowOnceInOrder) {
  const std::string filler(200, 'x');
  for (int i = 0; i < EVT_UPS_COUNT - 1; ++i) SetEventText(i, "Event " + std::to_string(i + 1) + " " + filler);
  const std::string page = Var("EVT_LIST_ADD");
  size_t last = 0;
  for (int e = 1; e < EVT_UPS_COUNT; ++e) {
    const std::string id = "id=\"" + std::to_string(e) + "\"";
    ASSERT_EQ(Count(page, id), 1u) << e;
    const size_t at = page.find(id);
    EXPECT_GT(at, last) << e;
    last = at;
  }
  EXPECT_EQ(Count(page, "<tr>"), static_cast<size_t>(EVT_UPS_COUNT - 1));
  EXPECT_EQ(Count(page, "id=\"190\""), 0u);
}

TEST_F(EventPages, FirstEventCallAndNoticeDelay) {
  EXPECT_EQ(Var("EVT_FUNC_LOAD"), "Func_Select(1,'',0)");  // no text for event 1
  SetEventText(0, "It's 5% (or \"more\")");
  EvtUpsEvents.level[0] = 2;
  EXPECT_EQ(Var("EVT_FUNC_LOAD"), "Func_Select(1,'It\\x27s 5% (or \\x22more\\x22)',2)");
  EXPECT_EQ(Var("NOT_DELAY"), "5");
  WebDevNoticeDelay = 3;
  EXPECT_EQ(Var("NOT_DELAY"), "3");
}

TEST_F(EventPages, HostListAndFirstHostCall) {
  const std::string none = HostRow(1, "00-00-00-00-00-00", 0, 0, 0, 0, "None", "None");
  EXPECT_EQ(Var("WOL_LIST_ADD"), none);
  EXPECT_EQ(Var("WOL_FUNC_LOAD"), "Func_Select(1,'00-00-00-00-00-00',0,0,0,0,'None')");

  WolSetting.hosts[0] = Host("nas 'one'", {0x00, 0x1B, 0x21, 0xAB, 0xCD, 0xEF}, 2, 1, 0);
  WolSetting.hosts[1] = Host("<b>", {1, 2, 3, 4, 5, 6}, 255, 0, 1);
  WolSetting.hostCount = 2;
  EXPECT_EQ(Var("WOL_LIST_ADD"),
            HostRow(1, "00-1B-21-AB-CD-EF", 2, 1, 0, 2, "nas \\x27one\\x27", "nas &#39;one&#39;") +
                HostRow(2, "01-02-03-04-05-06", 255, 0, 1, 2, "\\x3cb\\x3e", "&lt;b&gt;"));
  EXPECT_EQ(Var("WOL_FUNC_LOAD"), "Func_Select(1,'00-1B-21-AB-CD-EF',2,1,0,2,'nas \\x27one\\x27')");

  // A title that fills its 32 places has no terminator of its own.
  memset(WolSetting.hosts[1].title, 'T', sizeof WolSetting.hosts[1].title);
  EXPECT_EQ(Count(Var("WOL_LIST_ADD"), std::string(32, 'T') + "</a>"), 1u);
  EXPECT_EQ(Count(Var("WOL_LIST_ADD"), std::string(33, 'T')), 0u);
}

TEST_F(EventPages, FullHostListGivesEveryRowOnce) {
  for (int i = 0; i < WOL_HOSTS; ++i)
    WolSetting.hosts[i] = Host(("host " + std::to_string(i + 1)).c_str(), {2, 0, 0, 0, 0, uint8_t(i)}, 0, 1, 1);
  WolSetting.hostCount = WOL_HOSTS;
  const std::string page = Var("WOL_LIST_ADD");
  for (int r = 1; r <= WOL_HOSTS; ++r)
    ASSERT_EQ(Count(page, ">host " + std::to_string(r) + "</a>"), 1u) << r;
  EXPECT_EQ(Count(page, "<tr>"), static_cast<size_t>(WOL_HOSTS));
}

// ---- event_iconfig --------------------------------------------------------------

TEST_F(EventPages, LevelFormRewritesTheLanguageFileWithTheNewLevel) {
  const std::string file = MakeLanguage("English");
  EvtDef_Init(dir.c_str(), "English");
  struct Case {
    const char* fields;
    int index;  // the event whose level changes
    int level;
  } cases[] = {
      {"EVENT_EDIT3=Apply&EVENT_TYPE=0", 2, 0},
      {"EVENT_EDIT190=1&EVENT_TYPE=2", 189, 2},
      {"EVENT_EDIT0=1&EVENT_TYPE=1", 0, 1},          // 0 stands for the first event
      {"EVENT_TYPE=3&EVENT_EDIT7=1&EVENT_EDIT9=1", 6, 3},  // the first EVENT_EDIT counts
      {"EVENT_EDIT11=1&EVENT_TYPE=0&EVENT_TYPE=3", 10, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields);
    Scratch_WriteFile(file, Scratch_ReadFile(file) + "; marker\n");
    uint8_t before[EVT_UPS_COUNT];
    memcpy(before, EvtUpsEvents.level, sizeof before);
    EXPECT_EQ(Post("event_iconfig", c.fields), LevelSaved(c.index + 1, c.level));
    before[c.index] = static_cast<uint8_t>(c.level);
    EXPECT_EQ(memcmp(before, EvtUpsEvents.level, sizeof before), 0);
    EXPECT_EQ(EvtDef_Level(EVT_UPS_BASE + c.index), c.level);
    EXPECT_EQ(Scratch_ReadFile(file), Rewritten());
  }
  // Read back, the file gives the levels in force.
  uint8_t now[EVT_UPS_COUNT];
  memcpy(now, EvtUpsEvents.level, sizeof now);
  memset(EvtUpsEvents.level, 0, sizeof EvtUpsEvents.level);
  ASSERT_EQ(EvtDefOps.Load("English"), 1);
  EXPECT_EQ(memcmp(now, EvtUpsEvents.level, sizeof now), 0);
  EXPECT_STREQ(EvtUpsEvents.text[189], "Event 190");

  // Without a level field the file is rewritten and the level stays.
  Scratch_WriteFile(file, Scratch_ReadFile(file) + "; marker\n");
  EXPECT_EQ(Post("event_iconfig", "EVENT_EDIT4=1"), kLevelOk);
  EXPECT_EQ(EvtUpsEvents.level[3], now[3]);
  EXPECT_EQ(Scratch_ReadFile(file), Rewritten());
  // Without an event field too, but the page answers nothing.
  Scratch_WriteFile(file, Scratch_ReadFile(file) + "; marker\n");
  EXPECT_EQ(Post("event_iconfig", "EVENT_TYPE=1"), "");
  EXPECT_EQ(memcmp(now, EvtUpsEvents.level, sizeof now), 0);
  EXPECT_EQ(Scratch_ReadFile(file), Rewritten());
}

TEST_F(EventPages, LevelFormRefusalsLeaveLevelsAndFileAlone) {
  const std::string file = MakeLanguage("English");
  EvtDef_Init(dir.c_str(), "English");
  const std::string original = Scratch_ReadFile(file);
  uint8_t before[EVT_UPS_COUNT];
  memcpy(before, EvtUpsEvents.level, sizeof before);
  struct Case {
    const char* fields;
    std::string reply;
  } cases[] = {
      {"EVENT_EDIT191=1&EVENT_TYPE=3", kWrongIndex},
      {"EVENT_EDIT2147483647=1&EVENT_TYPE=3", kWrongIndex},
      {"EVENT_EDIT99999999999=1&EVENT_TYPE=3", kWrongIndex},
      {"EVENT_EDIT-1=1&EVENT_TYPE=3", kWrongIndex},
      {"EVENT_EDIT2=1&EVENT_TYPE=4", BadNumber("Level", 0, 3)},
      {"EVENT_EDIT2=1&EVENT_TYPE=-1", BadNumber("Level", 0, 3)},
      {"EVENT_EDIT2=1&EVENT_TYPE=259", BadNumber("Level", 0, 3)},  // 3 once cut to a byte
      {"EVENT_EDIT2=1&EVENT_TYPE=", BadNumber("Level", 0, 3)},
      {"EVENT_EDIT2=1&EVENT_TYPE=high", BadNumber("Level", 0, 3)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Post("event_iconfig", c.fields), c.reply) << c.fields;
    EXPECT_EQ(memcmp(before, EvtUpsEvents.level, sizeof before), 0) << c.fields;
    EXPECT_EQ(Scratch_ReadFile(file), original) << c.fields;
  }
  // Without the form token nothing happens at all.
  EXPECT_EQ(PostRaw("event_iconfig", "EVENT_EDIT2=1&EVENT_TYPE=3&SYS_UCTOKEN=forged"), Stale("/en/device/dev_event.asp"));
  EXPECT_EQ(memcmp(before, EvtUpsEvents.level, sizeof before), 0);
  EXPECT_EQ(Scratch_ReadFile(file), original);
}

TEST_F(EventPages, LevelFormWritesTheConfiguredLanguageAndReportsAFailedWrite) {
  const std::string english = MakeLanguage("English");
  const std::string polish = MakeLanguage("Polish");
  EvtDef_Init(dir.c_str(), "Polish");
  CfgLanguage = 3;
  const std::string englishBefore = Scratch_ReadFile(english);
  EXPECT_EQ(Post("event_iconfig", "EVENT_EDIT5=1&EVENT_TYPE=3"), LevelSaved(5, 3));
  EXPECT_NE(Scratch_ReadFile(polish).find("\nlevel5=3\n"), std::string::npos);
  EXPECT_EQ(Scratch_ReadFile(english), englishBefore);

  // A language whose directory is missing: the page says it was not saved,
  // and the level in force stays the one the file holds.
  CfgLanguage = 1;
  const uint8_t level = EvtUpsEvents.level[5];
  ASSERT_NE(level, 3);
  EXPECT_EQ(Post("event_iconfig", "EVENT_EDIT6=1&EVENT_TYPE=3"), kNotSaved);
  EXPECT_EQ(EvtUpsEvents.level[5], level);
  EXPECT_FALSE(std::filesystem::exists(Path("language/Traditional Chinese")));
}

// ---- wol_iconfig ----------------------------------------------------------------

class WolPages : public EventPages {
 protected:
  // Three hosts; countdowns 10, 20, 30 seconds.
  void ThreeHosts() {
    WolSetting.hosts[0] = Host("one", {0, 1, 2, 3, 4, 5}, 1, 1, 0);
    WolSetting.hosts[1] = Host("two", {0xA, 0xB, 0xC, 0xD, 0xE, 0xF}, 2, 0, 1);
    WolSetting.hosts[2] = Host("three", {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}, 3, 1, 1);
    WolSetting.hostCount = 3;
    for (int i = 0; i < 3; ++i) WolCountdown[i] = 10 * (i + 1);
  }
  void Unchanged(const WolSettings& before, const char* what) {
    ASSERT_EQ(WolSetting.hostCount, before.hostCount) << what;
    for (int i = 0; i < WOL_HOSTS; ++i) ASSERT_TRUE(SameHost(WolSetting.hosts[i], before.hosts[i])) << what << " " << i;
  }
};

TEST_F(WolPages, AddStoresTheHostInConfig) {
  EXPECT_EQ(Post("wol_iconfig", "WOL_TIT=nas+1&WOL_MAC=00-1b-21-ab-cd-ef&WOL_DLY=2&WOL_PR=on&WOL_ADD1=Add"), kWolOk);
  ASSERT_EQ(WolSetting.hostCount, 1);
  EXPECT_TRUE(SameHost(WolSetting.hosts[0], Host("nas 1", {0x00, 0x1B, 0x21, 0xAB, 0xCD, 0xEF}, 2, 1, 0)));
  EXPECT_TRUE(InConfig("WOL Num=1"));
  EXPECT_TRUE(InConfig("MAC1=00-1B-21-AB-CD-EF"));
  EXPECT_TRUE(InConfig("Delay1=2"));
  EXPECT_TRUE(InConfig("Title1=nas 1"));
  EXPECT_TRUE(InConfig("Power Restore1=Yes"));
  EXPECT_TRUE(InConfig("Sys Startup1=No"));

  // No check boxes: both flags 0. Single-digit groups; the row of an add
  // does not matter.
  EXPECT_EQ(Post("wol_iconfig", "WOL_ADD=Add&WOL_TIT=pc&WOL_MAC=1-2-3-a-B-c&WOL_DLY=0"), kWolOk);
  ASSERT_EQ(WolSetting.hostCount, 2);
  EXPECT_TRUE(SameHost(WolSetting.hosts[1], Host("pc", {1, 2, 3, 0xA, 0xB, 0xC}, 0, 0, 0)));
  EXPECT_TRUE(InConfig("Power Restore2=No"));
  EXPECT_TRUE(InConfig("Sys Startup2=No"));
  EXPECT_EQ(WolCountdown[1], 0);

  // The last operation posted counts.
  EXPECT_EQ(Post("wol_iconfig", "WOL_DEL1=1&WOL_TIT=ws&WOL_MAC=10-20-30-40-50-60&WOL_DLY=9&WOL_SS=on&WOL_ADD0=1"),
            kWolOk);
  ASSERT_EQ(WolSetting.hostCount, 3);
  EXPECT_TRUE(SameHost(WolSetting.hosts[2], Host("ws", {0x10, 0x20, 0x30, 0x40, 0x50, 0x60}, 9, 0, 1)));
}

TEST_F(WolPages, TitleIsCutTo32BytesOfWholeCharacters) {
  struct Case {
    std::string posted, stored;
  } cases[] = {
      {std::string(40, 'a'), std::string(32, 'a')},
      {std::string(32, 'b'), std::string(32, 'b')},
      // A two-byte character across the cut is left out whole.
      {std::string(31, 'c') + "\xC3\xA9" + "zz", std::string(31, 'c')},
      {std::string(30, 'd') + "\xC3\xA9" + "zz", std::string(30, 'd') + "\xC3\xA9"},
      {"", ""},
  };
  int n = 0;
  for (const Case& c : cases) {
    char mac[32];
    snprintf(mac, sizeof mac, "02-00-00-00-00-%02X", ++n);
    std::string fields = "WOL_ADD1=1&WOL_MAC=" + std::string(mac) + "&WOL_DLY=1&WOL_TIT=";
    for (unsigned char ch : c.posted) {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", ch);
      fields += hex;
    }
    EXPECT_EQ(Post("wol_iconfig", fields), kWolOk) << c.stored;
    EXPECT_EQ(WolSetting.hosts[n - 1].title, c.stored);
  }
}

TEST_F(WolPages, SameMacIsFoundOnParsedBytes) {
  ThreeHosts();
  const WolSettings before = WolSetting;
  for (const char* mac : {"0-1-2-3-4-5", "00-01-02-03-04-05", "0a-0b-0c-0d-0e-0f", "aa-BB-cc-DD-ee-FF", "A-B-C-D-E-F"}) {
    EXPECT_EQ(Post("wol_iconfig", std::string("WOL_ADD1=1&WOL_TIT=x&WOL_DLY=1&WOL_MAC=") + mac), kSameMac) << mac;
    Unchanged(before, mac);
  }
  // An edit may keep its own address, not take another row's.
  EXPECT_EQ(Post("wol_iconfig", "WOL_EDIT2=1&WOL_TIT=x&WOL_DLY=1&WOL_MAC=0-1-2-3-4-5"), kSameMac);
  Unchanged(before, "edit");
  EXPECT_EQ(Post("wol_iconfig", "WOL_EDIT2=1&WOL_TIT=two+b&WOL_DLY=7&WOL_SS=1&WOL_MAC=A-B-C-D-E-F"), kWolOk);
  EXPECT_TRUE(SameHost(WolSetting.hosts[1], Host("two b", {0xA, 0xB, 0xC, 0xD, 0xE, 0xF}, 7, 0, 1)));
  EXPECT_TRUE(SameHost(WolSetting.hosts[0], before.hosts[0]));
  EXPECT_TRUE(SameHost(WolSetting.hosts[2], before.hosts[2]));
  EXPECT_EQ(WolSetting.hostCount, 3);
  EXPECT_EQ(WolCountdown[1], 20);  // a running countdown is not touched
  EXPECT_TRUE(InConfig("Title2=two b"));
  EXPECT_TRUE(InConfig("Delay2=7"));
}

TEST_F(WolPages, DeleteMovesTheLaterHostsAndTheirCountdownsDown) {
  ThreeHosts();
  const WolSettings before = WolSetting;
  EXPECT_EQ(Post("wol_iconfig", "WOL_DEL2=Delete"), kWolOk);
  ASSERT_EQ(WolSetting.hostCount, 2);
  EXPECT_TRUE(SameHost(WolSetting.hosts[0], before.hosts[0]));
  EXPECT_TRUE(SameHost(WolSetting.hosts[1], before.hosts[2]));
  EXPECT_EQ(WolCountdown[0], 10);
  EXPECT_EQ(WolCountdown[1], 30);  // still the countdown of "three"
  EXPECT_EQ(WolCountdown[2], 0);   // nothing left behind the list for a later host
  EXPECT_TRUE(InConfig("WOL Num=2"));
  EXPECT_TRUE(InConfig("Title2=three"));
  EXPECT_TRUE(InConfig("MAC2=AA-BB-CC-DD-EE-FF"));
  EXPECT_EQ(Config().find("Title3="), std::string::npos);

  // The next host added takes the free row with no countdown.
  EXPECT_EQ(Post("wol_iconfig", "WOL_ADD1=1&WOL_TIT=new&WOL_DLY=0&WOL_MAC=02-02-02-02-02-02"), kWolOk);
  EXPECT_EQ(WolCountdown[2], 0);

  EXPECT_EQ(Post("wol_iconfig", "WOL_DEL3=1"), kWolOk);
  EXPECT_EQ(Post("wol_iconfig", "WOL_DEL1=1"), kWolOk);
  EXPECT_EQ(Post("wol_iconfig", "WOL_DEL1=1"), kWolOk);
  EXPECT_EQ(WolSetting.hostCount, 0);
  EXPECT_TRUE(InConfig("WOL Num=0"));
  EXPECT_EQ(Post("wol_iconfig", "WOL_DEL1=1"), kEmpty);
}

TEST_F(WolPages, ADeleteThatCannotBeSavedKeepsEveryHostWithItsCountdown) {
  ThreeHosts();
  const WolSettings before = WolSetting;
  std::filesystem::create_directory(Path("config.ini.tmp"));  // the new file cannot be written
  EXPECT_EQ(Post("wol_iconfig", "WOL_DEL1=Delete"), kNotSaved);
  Unchanged(before, "delete");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WolCountdown[i], 10 * (i + 1));
}

TEST_F(WolPages, RefusalsChangeNothing) {
  ThreeHosts();
  const WolSettings before = WolSetting;
  const std::string ok = "WOL_TIT=x&WOL_DLY=1&WOL_MAC=02-00-00-00-00-01";
  struct Case {
    std::string fields, reply;
  } cases[] = {
      {ok, kInvalid},                                  // no operation
      {"WOL_ADD1=1&WOL_DLY=1&WOL_MAC=02-00-00-00-00-01", kInvalid},
      {"WOL_ADD1=1&WOL_TIT=x&WOL_MAC=02-00-00-00-00-01", kInvalid},
      {"WOL_ADD1=1&WOL_TIT=x&WOL_DLY=1", kInvalid},
      {"WOL_ADD-1=1&" + ok, kInvalid},
      {"WOL_EDIT0=1&" + ok, kInvalid},
      {"WOL_EDIT4=1&" + ok, kInvalid},
      {"WOL_DEL0=1", kInvalid},
      {"WOL_DEL4=1", kInvalid},
      {"WOL_DEL-1=1", kInvalid},
      {"WOL_DEL99999999999=1", kInvalid},
      {"WOL_ADD1=1&WOL_TIT=x&WOL_DLY=256&WOL_MAC=02-00-00-00-00-01", BadNumber("Delay (minutes)", 0, 255)},
      {"WOL_ADD1=1&WOL_TIT=x&WOL_DLY=-1&WOL_MAC=02-00-00-00-00-01", BadNumber("Delay (minutes)", 0, 255)},
      {"WOL_ADD1=1&WOL_TIT=x&WOL_DLY=soon&WOL_MAC=02-00-00-00-00-01", BadNumber("Delay (minutes)", 0, 255)},
      {"WOL_ADD1=1&WOL_TIT=%3Cb%3E&WOL_DLY=1&WOL_MAC=02-00-00-00-00-01", kIncorrectInput},
      {"WOL_ADD1=1&WOL_TIT=a%0AWOL+Num%3D0&WOL_DLY=1&WOL_MAC=02-00-00-00-00-01", kIncorrectInput},
      {"WOL_EDIT1=1&WOL_TIT=it%27s&WOL_DLY=1&WOL_MAC=02-00-00-00-00-01", kIncorrectInput},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Post("wol_iconfig", c.fields), c.reply) << c.fields;
    Unchanged(before, c.fields.c_str());
  }
  // MAC texts that do not name six bytes.
  for (const char* mac : {"", "00-11-22-33-44", "00:11:22:33:44:55", "001122334455", "G0-11-22-33-44-55",
                          "00-11-22-33-44-", "00-11-22-33-44-555", "000-11-22-33-44-55", "00--11-22-33-44-55",
                          "00-11-22-33-44-55-66", " 00-11-22-33-44-55", "00-11-22-33-44-55+", "0x-11-22-33-44-55"}) {
    EXPECT_EQ(Post("wol_iconfig", std::string("WOL_ADD1=1&WOL_TIT=x&WOL_DLY=1&WOL_MAC=") + mac), kInvalid) << mac;
    Unchanged(before, mac);
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WolCountdown[i], 10 * (i + 1));
  EXPECT_FALSE(std::filesystem::exists(Path("config.ini")));
  // Without the form token nothing happens at all.
  EXPECT_EQ(PostRaw("wol_iconfig", "WOL_DEL1=1&SYS_UCTOKEN=forged"), Stale("/en/net_wol.asp"));
  Unchanged(before, "token");
}

TEST_F(WolPages, FullListRefusesAnAdd) {
  for (int i = 0; i < WOL_HOSTS; ++i) WolSetting.hosts[i] = Host("h", {2, 0, 0, 0, 0, uint8_t(i)}, 0, 0, 0);
  WolSetting.hostCount = WOL_HOSTS;
  EXPECT_EQ(Post("wol_iconfig", "WOL_ADD1=1&WOL_TIT=x&WOL_DLY=1&WOL_MAC=04-00-00-00-00-01"), kFull);
  EXPECT_EQ(WolSetting.hostCount, WOL_HOSTS);
  // An edit of the last row still works.
  EXPECT_EQ(Post("wol_iconfig", "WOL_EDIT255=1&WOL_TIT=last&WOL_DLY=1&WOL_MAC=04-00-00-00-00-01"), kWolOk);
  EXPECT_STREQ(WolSetting.hosts[254].title, "last");
}

}  // namespace
