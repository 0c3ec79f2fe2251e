// The link manager with the real serial drivers against a UPS played on a
// pseudo-terminal, across lost links and new probes: the commands it keeps
// until the UPS answers them, the status bits that stand while no reply
// comes, and the checksum mode a UPS that sums keeps.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/cfg.h"
#include "core/crypt.h"
#include "support/events_fakes.h"
#include "support/monoclock.h"
#include "support/pty.h"
#include "support/scratch.h"
#include "ups/caret.h"
#include "ups/com.h"
#include "ups/tilde.h"
#include "ups/upsdata.h"
#include "ups/usbhid.h"

namespace {

std::string Hex2(unsigned value) {
  char d[3];
  snprintf(d, sizeof d, "%02X", value & 0xFF);
  return d;
}
unsigned Sum8(const std::string& frame) {
  unsigned s = 0;
  for (unsigned char c : frame) s += c;
  return s & 0xFF;
}

// A UPS on the pseudo-terminal, served once per tick: it takes the frame
// the driver wrote (without its checksum digits) and answers it in its own
// protocol, or not at all.
class PlayedUps {
 public:
  explicit PlayedUps(TestPty& pty) : pty_(&pty) {}

  char protocol = 't';      // 't' tilde, 'c' caret, 0 silent
  bool sums = true;         // tilde data replies carry their checksum digits
  bool wrongSums = false;   // tilde data replies carry wrong checksum digits
  char sets = 'A';          // set frames: 'A' accepted, 'R' rejected, 0 left unanswered
  std::map<std::string, std::string> data;  // reply data by mnemonic; "" for others
  std::vector<std::string> frames;          // every frame received, in order

  // The frames received from index from on that start with prefix.
  std::vector<std::string> Since(size_t from, const std::string& prefix) const {
    std::vector<std::string> out;
    for (size_t i = from; i < frames.size(); ++i)
      if (frames[i].compare(0, prefix.size(), prefix) == 0) out.push_back(frames[i]);
    return out;
  }

  // Reads what the driver wrote and answers each frame.
  void Serve() {
    std::string in = pty_->Receive(0, 2);
    while (!in.empty()) in.erase(0, Take(in));
  }
  // During a probe only a UPS of the probing protocol answers: it reads
  // frames at the other line speed as noise.
  void ServeProbe(char probing) {
    probing_ = probing;
    Serve();
    probing_ = 0;
  }

 private:
  // One frame from the front of in (anything else is dropped); returns the
  // bytes it took.
  size_t Take(const std::string& in) {
    const bool tilde = in.compare(0, 3, "~00") == 0;
    const bool caret = in.size() >= 5 && in[0] == '^';
    if (!tilde && !caret) return in.size();
    const size_t header = tilde ? 7 : 5;
    if (in.size() < header) return in.size();
    const size_t total = header + std::stoul(in.substr(header - 3, 3));
    std::string frame = in.substr(0, total);
    size_t used = total;
    if (tilde && in.size() >= total + 2) used += 2;  // its checksum digits
    frames.push_back(frame);
    Answer(tilde ? 't' : 'c', frame[header - 4], frame.substr(header));
    return used;
  }
  void Answer(char framing, char type, const std::string& body) {
    if (protocol == 0 || framing != protocol) return;
    if (probing_ && probing_ != protocol) return;
    if (type == 'S') {
      if (sets) pty_->Send(protocol == 't' ? std::string("~00") + sets : std::string("^") + (sets == 'A' ? "1" : "0"));
      return;
    }
    const std::string mnemonic = body.compare(0, 3, "SOL") == 0 ? body.substr(0, 4) : body.substr(0, 3);
    auto it = data.find(mnemonic);
    const std::string text = it == data.end() ? "" : it->second;
    char head[8];
    if (protocol == 'c') {
      snprintf(head, sizeof head, "^D%03zu", text.size());
      pty_->Send(head + text);
      return;
    }
    snprintf(head, sizeof head, "~00D%03zu", text.size());
    std::string reply = head + text;
    if (sums || wrongSums) reply += Hex2(Sum8(reply) + (wrongSums ? 1 : 0));
    pty_->Send(reply);
  }

  TestPty* pty_;
  char probing_ = 0;
};

PlayedUps* theUps;
void ServeTildeProbe(uint8_t) { theUps->ServeProbe('t'); }
void ServeCaretProbe(uint8_t) { theUps->ServeProbe('c'); }

// What a UPS reports in each protocol, on line power or on battery: then
// input failure (bit 1), output from battery (33), battery discharging (37).
std::map<std::string, std::string> Replies(char protocol, bool onBattery) {
  const char* b = onBattery ? "1" : "0";
  if (protocol == 'c')
    return {{"MOD", "SIM"},
            {"ST1", onBattery ? "0,0,3,,30,80,780,-150,27,0" : "0,0,1,,120,100,816,12,27,0"},
            {"ST3", std::string(b) + ",500,1,2300,30,675,25"},
            {"ST5", std::string("0,") + b + ",0,0,0,0,0,0,0,0,0,0,0,0,0,0"}};
  std::string sta = std::string("0;") + b;
  for (int i = 2; i < 33; ++i) sta += ";0";
  return {{"MOD", "SIM;2"},
          {"STB", onBattery ? "0;0;3;;30;0;780;-150;27;80;0;-1;-1;-1;-1;-1;-1;0"
                            : "0;0;1;;120;0;816;12;27;100;0;-1;-1;-1;-1;-1;-1;5"},
          {"STO", std::string(b) + ";500;1;2300;30;675;25"},
          {"STA", sta}};
}
std::map<std::string, std::string> OnBattery(char protocol) { return Replies(protocol, true); }
std::map<std::string, std::string> Online(char protocol) { return Replies(protocol, false); }
// On line power, with two switchable outlets whose states it reports (both on).
std::map<std::string, std::string> OnlineWithOutlets(char protocol) {
  std::map<std::string, std::string> data = Online(protocol);
  std::string al1(25, '0');
  al1[16] = al1[17] = '1';  // outlet count and outlet states
  if (protocol == 'c') data["AP2"] = "90";
  else data["AL1"] = al1;
  data["LET"] = "2";
  data["SOL1"] = data["SOL2"] = "1";
  return data;
}

void PassMs(int64_t ms) { ManualMonoClock::Pass(ms); }

constexpr uint64_t kOnBattery = UpsBit(UPS_ST_ACFAIL) | UpsBit(UPS_ST_ONBATTERY) | UpsBit(UPS_ST_DISCHARGING);

class RelinkTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    Crypt_Init();
    savedUsb = UsbHidOps;
    UsbHidOps = UsbHidOpsTable{};
    savedWait[0] = TildeProbeWait;
    savedWait[1] = CaretProbeWait;
    TildeProbeWait = ServeTildeProbe;
    CaretProbeWait = ServeCaretProbe;
    theUps = &ups;
    savedAdd = EvtLogOps.Add;
    EvtLogOps.Add = RecordEvent;
    g_logged.clear();
    Start();
  }
  // As the daemon starts: the record, the drivers and the link manager, with
  // the UPS on the pseudo-terminal as the configured port (every reset after
  // a lost link reads the file back).
  void Start() {
    COM_CloseAll();
    CfgVersion = 5;
    Scratch_WriteFile(Path("config.ini"),
                      "[Format]\nVersion=5\n[COM]\nCOM Port=2\nCOM Path=" + pty.path() + "\n[End]\n");
    memset(&UpsRecord, 0, sizeof UpsRecord);
    ASSERT_EQ(Cfg_Load(nullptr), 1);
    UpsData_Init(nullptr);
    Tilde_Init();
    Caret_Init();
    COM_Init(dir.c_str(), ComPathSetting, ComSlot.port[0], -1);
    ComOps.ResetStats();
    pty.Drain();
    ups = PlayedUps(pty);
  }
  void TearDown() override {
    COM_CloseAll();
    TildeProbeWait = savedWait[0];
    CaretProbeWait = savedWait[1];
    UsbHidOps = savedUsb;
    EvtLogOps.Add = savedAdd;
    theUps = nullptr;
    memset(&UpsRecord, 0, sizeof UpsRecord);
    ScratchTest::TearDown();
  }
  void Tick() {
    ComOps.Poll();
    ups.Serve();
  }
  // Ticks until done holds (at most max ticks); whether it came to hold.
  bool TickUntil(const std::function<bool()>& done, int max = 600) {
    for (int i = 0; i < max && !done(); ++i) Tick();
    return done();
  }
  bool Linked() const { return ComSlot.link[0] != COM_LINK_NONE; }
  // A fresh start with the UPS speaking this protocol, summing or not.
  void StartSpeaking(char protocol, bool sums, const std::map<std::string, std::string>& data) {
    Start();
    ups.protocol = protocol;
    ups.sums = sums;
    ups.data = data;
  }
  // A detection pass that finds the UPS, then its identification.
  void Link(uint8_t expected) {
    ComOps.Detect();
    ASSERT_EQ(ComSlot.link[0], expected);
    ASSERT_TRUE(TickUntil([] { return !(UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST)); }));
  }
  void LoseTheLink() {
    const char speaking = ups.protocol;
    ups.protocol = 0;
    ASSERT_TRUE(TickUntil([this] { return !Linked(); }));
    ups.protocol = speaking;
  }
  // A fresh start, linked to a tilde UPS on line power that sums, its
  // status known: two poll cycles in (the threshold with checksums is 1)
  // and the ticks the alarm processing has to act on it.
  void StartLinked() {
    Start();
    ups.data = Online('t');
    Link(COM_LINK_TILDE);
    Cycles(2);
    for (int i = 0; i < COM_STATUS_TICKS; ++i) Tick();
  }
  // Ticks through n whole poll cycles of the linked driver.
  void Cycles(int n) {
    auto atStart = [] {
      return ComSlot.link[0] == COM_LINK_CARET ? Caret_View().pollIndex == 7 : Tilde_View().pollIndex == 10;
    };
    for (int i = 0; i < n; ++i) {
      ASSERT_TRUE(TickUntil([&] { return !atStart(); }, 100));
      ASSERT_TRUE(TickUntil(atStart, 200));
    }
  }

  TestPty pty;
  PlayedUps ups{pty};
  UsbHidOpsTable savedUsb;
  void (*savedWait[2])(uint8_t) = {};
  ManualMonoClock clock;
  void (*savedAdd)(int, ...) = nullptr;
};

struct ProtocolCase {
  const char* name;
  char protocol;
  bool sums;
  uint8_t link;
};
const ProtocolCase kProtocols[] = {
    {"tilde with checksums", 't', true, COM_LINK_TILDE},
    {"tilde without checksums", 't', false, COM_LINK_TILDE},
    {"caret", 'c', false, COM_LINK_CARET},
};

TEST_F(RelinkTest, StatusBitsStandAcrossALostLinkUntilAFreshReplyChangesThem) {
  for (const ProtocolCase& c : kProtocols) {
    SCOPED_TRACE(c.name);
    StartSpeaking(c.protocol, c.sums, OnBattery(c.protocol));
    Link(c.link);
    ASSERT_TRUE(TickUntil([] { return (UpsRecord.liveStatus & kOnBattery) == kOnBattery; }));
    LoseTheLink();
    EXPECT_EQ(UpsRecord.liveStatus & (kOnBattery | UpsBit(UPS_ST_COMMLOST)), kOnBattery | UpsBit(UPS_ST_COMMLOST));

    // The UPS answers again, still on battery: no reply of the new link's
    // identification and first cycles takes a bit away.
    Link(c.link);
    int flips = 0;
    for (int i = 0; i < 120; ++i) {
      Tick();
      if ((UpsRecord.liveStatus & kOnBattery) != kOnBattery) ++flips;
    }
    EXPECT_EQ(flips, 0);
    EXPECT_FALSE(UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST));

    // Power returns: the output source of the next reply ends bit 33 at
    // once, the others follow their own rules as on any link.
    ups.data = Online(c.protocol);
    EXPECT_TRUE(TickUntil([] { return !(UpsRecord.liveStatus & UpsBit(UPS_ST_ONBATTERY)); }, 40));
    EXPECT_TRUE(TickUntil([] { return (UpsRecord.liveStatus & kOnBattery) == 0; }));
  }
}

struct ReprobeCase {
  const char* name;
  char next;  // the protocol the UPS speaks after the lost link
  uint8_t link;
  std::vector<std::string> frames;  // the restore and delayed-shutdown frames on the new link
};

TEST_F(RelinkTest, CommandsOfALostLinkGoOutInOrderOnTheNextLink) {
  const ReprobeCase cases[] = {
      {"the same UPS again", 't', COM_LINK_TILDE, {"~00S005SDR90", "~00S006SDA120"}},
      {"another protocol on the port", 'c', COM_LINK_CARET, {"^S007STD5400", "^S006PSD120"}},
  };
  for (const ReprobeCase& c : cases) {
    SCOPED_TRACE(c.name);
    StartLinked();

    // The restore command goes out as the UPS falls silent; the delayed
    // shutdown is given while no link stands.
    ups.protocol = 0;
    size_t mark = ups.frames.size();
    COM_SendCommand(UPS_CMD_SDR, 90);
    EXPECT_EQ(ComOps.CommandsPending(), 1);
    ASSERT_TRUE(TickUntil([this] { return !Linked(); }));
    EXPECT_EQ(ups.Since(mark, "~00S"), std::vector<std::string>{"~00S005SDR90"});
    COM_SendCommand(UPS_CMD_SDA, 120, 0);
    EXPECT_EQ(ComOps.CommandsPending(), 2);
    ComOps.Detect();  // still silent
    EXPECT_FALSE(Linked());
    EXPECT_EQ(ComOps.CommandsPending(), 2);

    ups.protocol = c.next;
    ups.data = Online(c.next);
    mark = ups.frames.size();
    Link(c.link);
    EXPECT_TRUE(TickUntil([] { return ComOps.CommandsPending() == 0; }, 200));
    Cycles(2);  // answered commands are not sent again
    std::vector<std::string> sets = ups.Since(mark, c.next == 't' ? "~00S" : "^S");
    EXPECT_EQ(sets, c.frames);
  }
}

struct AnswerCase {
  const char* name;
  char sets;  // how the UPS answers a set frame
};

// A command goes out once: accepted, rejected or left unanswered by a UPS
// that answers the queries around it, it is done with.
TEST_F(RelinkTest, ACommandOnAStandingLinkIsSentOnceWhateverTheAnswer) {
  const AnswerCase cases[] = {{"accepted", 'A'}, {"rejected", 'R'}, {"left unanswered", 0}};
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(c.name);
    StartLinked();
    ups.sets = c.sets;
    const size_t mark = ups.frames.size();
    COM_SendCommand(UPS_CMD_TST, 3);
    EXPECT_EQ(ComOps.CommandsPending(), 1);
    EXPECT_TRUE(TickUntil([] { return ComOps.CommandsPending() == 0; }, 40));
    Cycles(2);
    EXPECT_EQ(ups.Since(mark, "~00S"), std::vector<std::string>{"~00S004TST3"});
    EXPECT_TRUE(Linked());
  }
}

TEST_F(RelinkTest, AUpsThatSummedIsNotLinkedAgainWithoutChecksums) {
  StartLinked();
  ASSERT_EQ(Tilde_View().checksumMode, 1);
  // Its replies turn to garbage with wrong sums: the link is lost and no
  // probe takes the garbage for a UPS that does not sum.
  ups.wrongSums = true;
  ASSERT_TRUE(TickUntil([this] { return !Linked(); }));
  const size_t mark = ups.frames.size();
  for (int pass = 0; pass < 3; ++pass) {
    ComOps.Detect();
    EXPECT_FALSE(Linked()) << pass;
    EXPECT_TRUE(UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST));
  }
  EXPECT_EQ(ups.Since(mark, "~00P003MOD").size(), 3u);
  // It answers soundly again: linked with checksums.
  ups.wrongSums = false;
  Link(COM_LINK_TILDE);
  EXPECT_EQ(Tilde_View().checksumMode, 1);

  // A UPS that never sent a valid checksum links without them.
  Start();
  ups.data = Online('t');
  ups.wrongSums = true;
  Link(COM_LINK_TILDE);
  EXPECT_EQ(Tilde_View().checksumMode, 0);
}

struct SwapCase {
  const char* name;
  bool sums, wrongSums;  // how the UPS on the port answers after the swap
};

TEST_F(RelinkTest, AUpsThatSummedIsForgottenOnceNoSoundReplyCameForItsBound) {
  const SwapCase cases[] = {{"a UPS without checksums", false, false}, {"wrong checksums", false, true}};
  for (const SwapCase& c : cases) {
    SCOPED_TRACE(c.name);
    StartLinked();
    g_logged.clear();
    // The last reply with a valid checksum, then the other UPS answers.
    ups.sums = c.sums;
    ups.wrongSums = c.wrongSums;
    ASSERT_TRUE(TickUntil([this] { return !Linked(); }));
    PassMs(TILDE_SUMS_FORGOTTEN_MS - 1);
    ComOps.Detect();
    EXPECT_FALSE(Linked());
    EXPECT_TRUE(g_logged.empty());
    PassMs(1);
    Link(COM_LINK_TILDE);
    EXPECT_EQ(Tilde_View().checksumMode, 0);
    EXPECT_EQ(g_logged, (std::vector<LoggedEvent>{
                            {-1, {"2", "No reply with a valid checksum for 120 s: the UPS is linked without checksums"}}}));
    // Forgotten: the next lost link probes as for any UPS, and logs nothing.
    LoseTheLink();
    Link(COM_LINK_TILDE);
    EXPECT_EQ(g_logged.size(), 1u);
  }
}

struct SettleCase {
  const char* name;
  char protocol;
  bool sums;
  uint8_t link;
  int cycles;  // whole poll cycles that read the status through its debounce
};

// A command given while no link stands goes out only once the new link has
// read the UPS's status; an outlet command that the UPS's state has made
// needless by then does not go out at all.
TEST_F(RelinkTest, CommandsWaitUntilTheNewLinkHasReadTheStatus) {
  const SettleCase cases[] = {
      {"tilde with checksums", 't', true, COM_LINK_TILDE, 2},
      {"tilde without checksums", 't', false, COM_LINK_TILDE, 4},
      {"caret", 'c', false, COM_LINK_CARET, 4},
  };
  for (const SettleCase& c : cases) {
    SCOPED_TRACE(c.name);
    StartSpeaking(c.protocol, c.sums, OnlineWithOutlets(c.protocol));
    const std::string status = c.protocol == 'c' ? "^P003ST1" : "~00P003STB";
    const std::string sets = c.protocol == 'c' ? "^S" : "~00S";
    COM_SendCommand(UPS_CMD_TST, 3);
    Link(c.link);
    ASSERT_TRUE(TickUntil([&] { return !ups.Since(0, sets).empty(); }));
    const size_t cycles = ups.Since(0, status).size();
    EXPECT_GE(cycles, static_cast<size_t>(c.cycles));
    EXPECT_LE(cycles, static_cast<size_t>(c.cycles + 2));  // and the alarm processing's ticks
    EXPECT_EQ(UpsRecord.outletOn, 3);

    // Outlet 1 switched off while no link stands; once the new link has
    // read the status the alarm processing switches it on again: the UPS
    // reports it on, so neither goes out.
    LoseTheLink();
    COM_SendCommand(UPS_CMD_ROF, 1, 1);
    g_logged.clear();
    size_t mark = ups.frames.size();
    Link(c.link);
    Cycles(1 + c.cycles);  // the identification, then the cycles
    COM_SendCommand(UPS_CMD_RON, 1, 1);
    EXPECT_TRUE(TickUntil([] { return ComOps.CommandsPending() == 0; }, 100));
    Cycles(1);
    EXPECT_EQ(ups.Since(mark, sets), std::vector<std::string>{});
    EXPECT_EQ(g_logged,
              (std::vector<LoggedEvent>{
                  {-1, {"1", "Outlet 1 is on at the UPS already: outlet 1 off, outlet 1 on not sent to the UPS"}}}));
  }
}

// DropCommands takes back what the driver holds but has not put on the
// line: the delayed shutdown queued during the identification never goes
// out; once on the line it is the UPS's.
TEST_F(RelinkTest, ACommandTheDriverHoldsIsTakenBackUntilItIsOnTheLine) {
  Start();
  ups.data = Online('t');
  ComOps.Detect();
  ASSERT_TRUE(Linked());
  Tick();  // the identification's first query
  COM_SendCommand(UPS_CMD_SDA, 120, 0);
  ASSERT_EQ(Tilde_View().queue->Count(), 1);
  EXPECT_EQ(ComOps.DropCommands(UPS_CMD_SDR | UPS_CMD_SDA, "The host has resumed"), 1);
  EXPECT_EQ(Tilde_View().queue->Count(), 0);
  EXPECT_EQ(ComOps.CommandsPending(), 0);
  EXPECT_EQ(g_logged, (std::vector<LoggedEvent>{
                          {-1, {"2", "The host has resumed: the delayed shutdown (120 s) not sent to the UPS"}}}));
  Cycles(1);
  EXPECT_EQ(ups.Since(0, "~00S"), std::vector<std::string>{});

  ups.sets = 0;  // the frame stays unanswered on the line
  COM_SendCommand(UPS_CMD_SDA, 60, 0);
  ASSERT_TRUE(TickUntil([this] { return !ups.Since(0, "~00S").empty(); }));
  EXPECT_EQ(ComOps.DropCommands(UPS_CMD_SDA, "Again"), 0);
  EXPECT_EQ(g_logged.size(), 1u);
  EXPECT_EQ(ups.Since(0, "~00S"), std::vector<std::string>{"~00S005SDA60"});
}

}  // namespace
