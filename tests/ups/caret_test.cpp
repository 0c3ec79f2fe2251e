// Caret protocol: command frames and queue, the receiver, the probe,
// detection after the tilde probe, the poll cycle against a pseudo-terminal
// played by the test, the reply parser with its debounce, and the dates.
#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "core/crypt.h"
#include "support/pty.h"
#include "support/scratch.h"
#include "ups/caret.h"
#include "ups/com.h"
#include "ups/tilde.h"
#include "answers.h"

namespace {

std::string Data(const std::string& data) {
  char head[8];
  snprintf(head, sizeof head, "^D%03zu", data.size());
  return head + data;
}

std::vector<int> resets;
void RecordingReset(int keep) { resets.push_back(keep); }

void ClearRecord() {
  memset(&UpsRecord, 0, sizeof UpsRecord);
  for (auto& v : UpsRecord.values) v = -1;
  for (auto& m : UpsRecord.modules)
    for (auto& r : m.readings) r = -1;
  UpsRecord.Reset = RecordingReset;
}

uint64_t Bits(std::initializer_list<int> bits) {
  uint64_t m = 0;
  for (int b : bits) m |= UpsBit(b);
  return m;
}

std::vector<std::string> Queued() { return QueuedFrames(*Caret_View().queue); }

speed_t LineSpeed(int fd) {
  struct termios t {};
  tcgetattr(fd, &t);
  return cfgetospeed(&t);
}

// The pseudo-terminal the probe waits on, the answer it gives and what it saw.
TestPty* probePty;
std::string probeAnswer;
std::string probeFrame;
speed_t probeSpeed;
void AnswerProbe(uint8_t slot) {
  probeSpeed = LineSpeed(ComSlot.fd[slot]);
  probeFrame = probePty->Receive(8, 500);
  if (!probeAnswer.empty()) probePty->Send(probeAnswer);
}

class CaretTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    ClearRecord();
    resets.clear();
    Caret_Init();
    savedWait = CaretProbeWait;
    CaretProbeWait = AnswerProbe;
    probePty = &pty;
    probeAnswer.clear();
    ComSlot.port[0] = 0;
    COM_Init(dir.c_str(), "", 0, -1);
    ComOps.ResetStats();
    ASSERT_EQ(ComOps.Open(0, 9600, 0, 8, 1, pty.path().c_str()), 1);
  }
  void TearDown() override {
    COM_CloseAll();
    CaretProbeWait = savedWait;
    probePty = nullptr;
    ScratchTest::TearDown();
  }
  void Link() {
    probeAnswer = "^1";
    ASSERT_EQ(Caret_Probe(0), 1);
    ComSlot.link[0] = COM_LINK_CARET;
  }
  void Tick() { Caret_Poll(0); }
  // The frame the driver wrote last, by its length digits.
  std::string Sent() {
    std::string f = pty.Receive(5, 500);
    if (f.size() < 5) return f;
    size_t total = 5 + std::stoi(f.substr(2, 3));
    if (f.size() < total) f += pty.Receive(total - f.size(), 500);
    return f;
  }
  // The mnemonic of a sent query or set frame.
  static std::string Mnemonic(const std::string& frame) {
    if (frame.size() < 8) return frame;
    return frame.compare(5, 3, "SOL") == 0 ? frame.substr(5, 4) : frame.substr(5, 3);
  }
  // One exchange: a send tick, then the answer (if any) and the read tick.
  std::string Exchange(const std::string& answer) {
    Tick();
    std::string f = Sent();
    if (!answer.empty()) pty.Send(answer);
    Tick();
    return f;
  }
  // The identification replies of a UPS that offers the outlet count, the
  // bypass readings, the test, the ARB setting and the audible alarm.
  static std::string IdentReply(const std::string& mnemonic) {
    if (mnemonic == "MOD") return Data("qd 3000");
    if (mnemonic == "VER") return Data("V1.2");
    if (mnemonic == "AP1") return Data("16,17,25");
    if (mnemonic == "AP2") return Data("88,90,93");
    if (mnemonic == "LET") return Data("2");
    if (mnemonic == "UID") return Data("SN42");
    return Data("");
  }
  // Runs identification with those replies; returns the mnemonics asked.
  std::vector<std::string> Identify() {
    std::vector<std::string> asked;
    while (Caret_View().pollIndex < 7) {
      Tick();
      std::string m = Mnemonic(Sent());
      asked.push_back(m);
      pty.Send(IdentReply(m));
      Tick();
    }
    return asked;
  }
  TestPty pty;
  void (*savedWait)(uint8_t) = nullptr;
};

// ---- commands ----

struct CommandCase {
  const char* name;
  std::function<void()> send;
  std::vector<std::string> frames;
};

TEST_F(CaretTest, CommandsBecomeFramesWithTheRealLength) {
  const CommandCase cases[] = {
      {"outlet off", [] { Caret_Command(UPS_CMD_ROF, {1, 1}); }, {"^S006ROF1,1"}},
      {"outlet on", [] { Caret_Command(UPS_CMD_RON, {8, 10}); }, {"^S007RON8,10"}},
      {"outlet extremes", [] { Caret_Command(UPS_CMD_ROF, {INT_MIN, INT_MIN}); }, {"^S026ROF-2147483648,-2147483648"}},
      {"test 0", [] { Caret_Command(UPS_CMD_TST, 0); }, {"^S005TST-1"}},
      {"test 3", [] { Caret_Command(UPS_CMD_TST, 3); }, {"^S004TST2"}},
      {"test 4", [] { Caret_Command(UPS_CMD_TST, 4); }, {"^S004TST3"}},
      {"test other", [] { Caret_Command(UPS_CMD_TST, 9); }, {"^S004TST1"}},
      {"shutdown", [] { Caret_Command(UPS_CMD_SDT, 5); }, {"^S004SDA5"}},
      {"restore in minutes", [] { Caret_Command(UPS_CMD_SDR, 30); }, {"^S007STD1800"}},
      {"restore never", [] { Caret_Command(UPS_CMD_SDR, 65535); }, {}},
      {"restore huge", [] { Caret_Command(UPS_CMD_SDR, INT_MAX); }, {"^S015STD128849018820"}},
      {"delayed off 0", [] { Caret_Command(UPS_CMD_SDA, 0); }, {"^S005PSD-1"}},
      {"delayed off", [] { Caret_Command(UPS_CMD_SDA, 120); }, {"^S006PSD120"}},
      {"mute 1", [] { Caret_Command(UPS_CMD_BUZ, 1); }, {"^S015NOM,,,,,,,2,,,,"}},
      {"mute 2", [] { Caret_Command(UPS_CMD_BUZ, 2); }, {"^S015NOM,,,,,,,3,,,,"}},
      {"mute other", [] { Caret_Command(UPS_CMD_BUZ, 3); }, {}},
      {"mute 0", [] { Caret_Command(UPS_CMD_BUZ, 0); }, {}},
      {"alarm 1", [] { Caret_Command(UPS_CMD_EDB, 1); }, {"^S015NOM,,,,,,,2,,,,"}},
      {"alarm 2", [] { Caret_Command(UPS_CMD_EDB, 2); }, {"^S015NOM,,,,,,,1,,,,"}},
      {"alarm other", [] { Caret_Command(UPS_CMD_EDB, -1); }, {}},
      {"ARB", [] { Caret_Command(UPS_CMD_ARB, 1); }, {"^S004ATR1"}},
      {"economy", [] { Caret_Command(UPS_CMD_ECO, 0); }, {"^S004ECO0"}},
      {"dates", [] { Caret_Command(UPS_CMD_BRD, {"20200101", "20230101"}); }, {"^S026NOM,,,,,,,,,,01012020,1096"}},
      {"dates reversed", [] { Caret_Command(UPS_CMD_BRD, {"20230101", "20200101"}); }, {"^S023NOM,,,,,,,,,,01012023,0"}},
      {"dates far apart", [] { Caret_Command(UPS_CMD_BRD, {"20000101", "29991231"}); },
       {"^S027NOM,,,,,,,,,,01012000,65535"}},
      {"date of 7 digits", [] { Caret_Command(UPS_CMD_BRD, {"2020011", "20230101"}); }, {}},
      {"date of 9 digits", [] { Caret_Command(UPS_CMD_BRD, {"20200101", "202301011"}); }, {}},
      {"month 13", [] { Caret_Command(UPS_CMD_BRD, {"20201301", "20230101"}); }, {}},
      {"30 February", [] { Caret_Command(UPS_CMD_BRD, {"20200101", "20230230"}); }, {}},
      {"letters", [] { Caret_Command(UPS_CMD_BRD, {"2020O101", "20230101"}); }, {}},
      {"no texts", [] { Caret_Command(UPS_CMD_BRD, {nullptr, nullptr}); }, {}},
      {"packs then battery query", [] { Caret_Command(UPS_CMD_EBP, 2); }, {"^S004EBP2", "^P003ST1"}},
      {"tilde only", [] { Caret_Command(UPS_CMD_VSN, 1); }, {}},
      {"transfer voltages", [] { Caret_Command(UPS_CMD_TXV, {160, 280}); }, {}},
      {"capability only", [] { Caret_Command(UPS_CAP_SOL, 1); }, {}},
      {"two bits", [] { Caret_Command(UPS_CMD_ROF | UPS_CMD_RON, {1, 1}); }, {}},
      {"no code", [] { Caret_Command(0, 1); }, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Caret_Reset();
    c.send();
    EXPECT_EQ(Queued(), c.frames);
  }
}

TEST_F(CaretTest, AFullQueueDropsNewFrames) {
  for (int i = 0; i < 9; ++i) Caret_Command(UPS_CMD_ARB, i);
  Caret_Command(UPS_CMD_EBP, 1);  // the set frame fits, its battery query does not
  std::vector<std::string> before = Queued();
  ASSERT_EQ(before.size(), 10u);
  EXPECT_EQ(before.back(), "^S004EBP1");
  Caret_Command(UPS_CMD_TST, 1);
  EXPECT_EQ(Queued(), before);
  const uint8_t big[33] = {'^'};
  EXPECT_EQ(Caret_QueueCommand(big, 1), 0);
  Caret_Reset();
  EXPECT_TRUE(Queued().empty());
  EXPECT_EQ(Caret_QueueCommand(big, 33), 0);
  EXPECT_EQ(Caret_QueueCommand(big, 0), 0);
  EXPECT_EQ(Caret_QueueCommand(big, 32), 1);
}

// ---- receiver ----

struct RxCase {
  const char* name;
  std::vector<std::string> pieces;  // sent before each call
  std::vector<int> results;
  std::string frame;  // the buffer after the last call, up to its NUL
  size_t left;        // bytes still in the port afterwards
};

TEST_F(CaretTest, ReceiverClassifiesReplies) {
  const std::string longest = Data(std::string(246, 'x'));
  const RxCase cases[] = {
      {"accept", {"^1"}, {0}, "^1", 0},
      {"reject", {"^0"}, {0}, "^0", 0},
      {"data", {"^D005AB,12"}, {0}, "^D005AB,12", 0},
      {"empty data", {"^D000"}, {0}, "^D000", 0},
      {"pieces", {"^", "D0", "05AB", "", ",12"}, {4, 4, 4, 4, 0}, "^D005AB,12", 0},
      {"nothing", {""}, {4}, "", 0},
      {"accept leaves what follows", {"^1^D003ABC"}, {0}, "^1", 8},
      {"line end behind a frame is dropped", {"^D003ABC\r\n"}, {0}, "^D003ABC", 0},
      {"one read behind, as long as the frame", {"^D003ABC" + std::string(20, 'z')}, {0}, "^D003ABC", 12},
      {"longest reply, read behind bounded by the buffer", {longest + "0123456789"}, {0}, longest, 5},
      {"bad start", {"~00D003ABC"}, {3}, "", 8},
      {"unknown type", {"^X"}, {3}, "", 0},
      {"length 247", {"^D247"}, {3}, "", 0},
      {"length 999", {"^D999" + std::string(40, 'y')}, {3}, "", 40},
      {"negative length", {"^D-01ABC"}, {3}, "", 3},
      {"length with a space", {"^D 05AB,12"}, {3}, "", 5},
      {"length not digits", {"^D0:5AB,12"}, {3}, "", 5},
      {"cut in the length", {"^D0", "", "05AB,12"}, {4, 4, 0}, "^D005AB,12", 0},
  };
  Link();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t buf[CARET_RX_SIZE];
    memset(buf, 0xEE, sizeof buf);
    uint8_t count = 0;
    for (size_t i = 0; i < c.pieces.size(); ++i) {
      if (!c.pieces[i].empty()) pty.Send(c.pieces[i]);
      int r = Caret_Receive(0, buf, &count);
      EXPECT_EQ(r, c.results[i]) << "call " << i;
      if (r != 4) break;
    }
    if (!c.frame.empty()) {
      buf[count] = 0;
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buf)), c.frame);
      EXPECT_EQ(count, c.frame.size());
    }
    EXPECT_EQ(pty.Pending(), static_cast<int>(c.left));
    ComOps.ClearRx(0);
  }
}

// ---- probe and detection ----

struct ProbeCase {
  const char* name;
  std::string answer;
  int result;
};

TEST_F(CaretTest, ProbeTakesAnyCompleteReply) {
  const ProbeCase cases[] = {
      {"accept", "^1", 1},
      {"reject", "^0", 1},
      {"data", Data("ABC"), 1},
      {"silence", "", 0},
      {"a tilde reply", "~00D003ABC", 0},
      {"half a frame", "^D010abc", 0},
      {"unknown type", "^Q", 0},
      {"bad length", "^D2x0", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClearRecord();
    Caret_Command(UPS_CMD_TST, 1);
    pty.Send("stale bytes");  // discarded before the probe
    probeAnswer = c.answer;
    EXPECT_EQ(Caret_Probe(0), c.result);
    EXPECT_EQ(probeFrame, "^P003MOD");
    CaretView v = Caret_View();
    EXPECT_EQ(v.waiting, 0);
    EXPECT_EQ(pty.Pending(), 0);
    EXPECT_STREQ(UpsRecord.model, "");  // the reply is not parsed
    if (c.result) {
      EXPECT_TRUE(Queued().empty());  // a new link starts with an empty queue
      EXPECT_EQ(v.pollIndex, 0);
      EXPECT_EQ(v.firstCycle, 1);
    } else {
      EXPECT_EQ(Queued().size(), 1u);
    }
    Caret_Reset();
  }
}

// The tilde probe at 2400 baud goes unanswered; the caret UPS answers the
// 9600-baud probe on the reopened port, and commands then reach it.
std::string tildeSeen;
speed_t tildeSpeed;
void SilentTildeUps(uint8_t slot) {
  tildeSpeed = LineSpeed(ComSlot.fd[slot]);
  tildeSeen = probePty->Receive(12, 500);
}

TEST_F(CaretTest, DetectionReopensAt9600AndTheCaretDriverTakesTheLink) {
  COM_CloseAll();
  Crypt_Init();  // the tilde probe's checksum
  Tilde_Init();
  void (*savedTilde)(uint8_t) = TildeProbeWait;
  TildeProbeWait = SilentTildeUps;
  ComSlot.port[0] = 1;
  ComSlot.scan[0] = 0;
  COM_Init(dir.c_str(), pty.path().c_str(), 1, -1);
  probeAnswer = Data("IGNORED");
  UpsRecord.liveStatus = UpsBit(UPS_ST_COMMLOST);
  ComOps.Detect();
  TildeProbeWait = savedTilde;

  EXPECT_EQ(tildeSpeed, static_cast<speed_t>(B2400));
  EXPECT_EQ(tildeSeen.substr(0, 10), "~00P003MOD");
  EXPECT_EQ(probeSpeed, static_cast<speed_t>(B9600));
  EXPECT_EQ(probeFrame, "^P003MOD");
  ASSERT_EQ(ComSlot.link[0], COM_LINK_CARET);
  EXPECT_GE(ComSlot.fd[0], 0);
  EXPECT_EQ(ComSlot.scan[0], 0);
  EXPECT_EQ(COM_DriverCommand(), &Caret_Command);
  EXPECT_STREQ(UpsRecord.model, "");
  EXPECT_TRUE(UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST));  // until the first data reply

  // The poll step runs through the link manager; the delayed shutdown of a
  // countdown's end, queued through the command entry, goes out before the
  // first periodic item.
  COM_SendCommand(UPS_CMD_SDA, 120, 0);
  std::vector<std::string> sent;
  for (int i = 0; i < 9; ++i) {
    ComOps.Poll();
    std::string f = Sent();
    sent.push_back(f);
    std::string m = Mnemonic(f);
    pty.Send(f[1] == 'S' ? "^1" : IdentReply(m));
    ComOps.Poll();
  }
  EXPECT_EQ(sent, (std::vector<std::string>{"^P003MOD", "^P003VER", "^P003AP1", "^P003AP2", "^P003NOM", "^P003LET",
                                            "^P003UID", "^S006PSD120", "^P003ST1"}));
  EXPECT_FALSE(UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST));
  EXPECT_STREQ(UpsRecord.model, "qd 3000");
  EXPECT_STREQ(UpsRecord.firmware, "V1.2");
  EXPECT_STREQ(UpsRecord.serial, "SN42");
  EXPECT_EQ(UpsRecord.outletCount, 2);
  EXPECT_EQ(UpsRecord.values[VAL_TYPE], 1);
  EXPECT_EQ(UpsRecord.capabilities, Bits({12, 42, 13, 51, 7, 50, 1}));
}

// The driver against the UPS simulator: detection on its pseudo-terminal,
// identification, and an outlet command that the simulated UPS carries out
// and logs.
class SimulatedUps {
 public:
  explicit SimulatedUps(const std::string& dir) : log_(dir + "/sim.log"), pathFile_(dir + "/sim.path") {
    std::string src = __FILE__;
    std::string sim = src.substr(0, src.rfind("/ups/")) + "/sim/upssim.py";
    pid_ = fork();
    if (pid_ == 0) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      execl("/usr/bin/python3", "python3", sim.c_str(), "--protocol", "caret", "--log", log_.c_str(), "--path-file",
            pathFile_.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 200 && path_.empty(); ++i) {
      usleep(25000);
      std::string text = Scratch_ReadFile(pathFile_);
      if (!text.empty() && text.back() == '\n') path_ = text.substr(0, text.size() - 1);
    }
  }
  ~SimulatedUps() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& path() const { return path_; }
  // The lines of the frame log that hold every one of the given texts.
  std::vector<std::string> Lines(std::initializer_list<std::string> texts) const {
    std::vector<std::string> out;
    std::string all = Scratch_ReadFile(log_);
    size_t at = 0;
    while (at < all.size()) {
      size_t end = all.find('\n', at);
      if (end == std::string::npos) end = all.size();
      std::string line = all.substr(at, end - at);
      bool every = true;
      for (const auto& t : texts) every = every && line.find(t) != std::string::npos;
      if (every) out.push_back(line);
      at = end + 1;
    }
    return out;
  }

 private:
  std::string log_, pathFile_, path_;
  pid_t pid_ = -1;
};

void WaitForTheSimulator(uint8_t) { usleep(200000); }

TEST_F(CaretTest, AnOutletCommandReachesTheSimulatedUps) {
  SimulatedUps ups(tmp);
  ASSERT_FALSE(ups.path().empty()) << "the simulator did not start";
  COM_CloseAll();
  Crypt_Init();
  Tilde_Init();
  void (*savedTilde)(uint8_t) = TildeProbeWait;
  TildeProbeWait = WaitForTheSimulator;
  CaretProbeWait = WaitForTheSimulator;
  ComSlot.scan[0] = 0;
  COM_Init(dir.c_str(), ups.path().c_str(), 1, -1);
  ComOps.Detect();
  TildeProbeWait = savedTilde;
  ASSERT_EQ(ComSlot.link[0], COM_LINK_CARET);

  // Ticks of 100 ms, as in the daemon, until the condition holds (at most 30 s).
  auto tickUntil = [](const std::function<bool()>& done) {
    for (int i = 0; i < 300 && !done(); ++i) {
      ComOps.Poll();
      usleep(100000);
    }
    return done();
  };
  ASSERT_TRUE(tickUntil([] { return Caret_View().pollIndex == 7; }));  // identification
  EXPECT_EQ(UpsRecord.outletCount, 2);
  COM_SendCommand(UPS_CMD_ROF, 2, 1);
  // Once the UPS's status is known the command goes out; the next cycle
  // reports the outlet off.
  ASSERT_TRUE(tickUntil([] { return ComOps.CommandsPending() == 0 && UpsRecord.outletOn == 1; }));
  EXPECT_EQ(ups.Lines({"\"type\": \"noise\"", "~00P003MOD", "\"baud\": 2400"}).size(), 1u);
  EXPECT_EQ(ups.Lines({"\"raw\": \"^P003MOD\"", "\"baud\": 9600"}).size(), 2u);  // probe and first item
  EXPECT_EQ(ups.Lines({"\"mnemonic\": \"ROF\"", "\"data\": \"2,1\"", "\"raw\": \"^S006ROF2,1\"", "\"baud\": 9600"}).size(),
            1u);
  EXPECT_EQ(ComStat.rxTimeout, 0u);
  EXPECT_EQ(ComStat.rxParseErr, 0u);
  EXPECT_EQ(UpsRecord.outletOn, 1);  // outlet 2 reported off after the command
  EXPECT_STREQ(UpsRecord.serial, "SIM0012345");
  EXPECT_FALSE(UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST));
}

// ---- poll cycle ----

TEST_F(CaretTest, IdentificationOnceThenThePeriodicCycle) {
  Link();
  EXPECT_EQ(Identify(), (std::vector<std::string>{"MOD", "VER", "AP1", "AP2", "NOM", "LET", "UID"}));
  std::vector<std::string> frames;
  for (int i = 0; i < 11; ++i) frames.push_back(Exchange(Data("1")));
  EXPECT_EQ(frames, (std::vector<std::string>{"^P003ST1", "^P003ST2", "^P003ST3", "^P003ST4", "^P003ST5",
                                              "^P003STR", "^P003ATR", "^P003NOM", "^P004SOL1", "^P004SOL2",
                                              "^P003ST1"}));
  EXPECT_EQ(Caret_View().firstCycle, 0);
  EXPECT_EQ(UpsRecord.outletOn, 3);
  EXPECT_EQ(ComStat.txOk, 18u);
  EXPECT_EQ(ComStat.rxOk, 18u);

  // A UPS that offers none of the optional items: LET skipped, then only the
  // items that are always asked.
  Link();
  UpsRecord.capabilities = 0;
  UpsRecord.outletCount = 0;
  std::vector<std::string> names;
  for (int i = 0; i < 12; ++i) names.push_back(Mnemonic(Exchange(Data(""))));
  EXPECT_EQ(names, (std::vector<std::string>{"MOD", "VER", "AP1", "AP2", "NOM", "UID", "ST1", "ST2", "ST3", "ST5",
                                             "NOM", "ST1"}));
}

TEST_F(CaretTest, QueuedCommandsWaitForIdentificationThenGoBeforeThePeriodicItem) {
  Link();
  Caret_Command(UPS_CMD_TST, 3);
  Caret_Command(UPS_CMD_SDA, 120);
  for (const auto& m : Identify()) EXPECT_NE(m, "TST");
  EXPECT_EQ(Exchange("^1"), "^S004TST2");
  EXPECT_EQ(Caret_View().pollIndex, 7);  // an accept keeps the index
  EXPECT_EQ(Exchange("^1"), "^S006PSD120");
  EXPECT_EQ(Exchange(Data("")), "^P003ST1");
  // A queued query's reply is parsed by its own mnemonic and moves the index on.
  Caret_Command(UPS_CMD_EBP, 2);
  EXPECT_EQ(Exchange("^1"), "^S004EBP2");
  EXPECT_EQ(Exchange(Data("0,0,1,,,,,,,2")), "^P003ST1");
  EXPECT_EQ(UpsRecord.values[VAL_EBP], 2);
  EXPECT_EQ(Mnemonic(Exchange(Data(""))), "ST3");
}

struct RejectCase {
  const char* item;
  uint64_t removed;  // 0: nothing
  bool askedAgain;
};

TEST_F(CaretTest, ARejectRemovesThePolledItemsMask) {
  // The outlet states keep their own condition, the outlet count.
  const RejectCase cases[] = {
      {"ST4", UPS_CAP_STP, false}, {"STR", UPS_CMD_TST, false}, {"ATR", UPS_CMD_ARB, false},
      {"SOL2", UPS_CAP_SOL, true}, {"LET", UPS_CAP_LET, false}, {"ST1", 0, true},
      {"ST2", 0, true},            {"ST3", 0, true},            {"ST5", 0, true},
      {"NOM", 0, true},            {"MOD", 0, false},
  };
  const uint64_t all = Bits({12, 42, 13, 51, 7, 50, 1}) | UPS_CAP_SOL;  // what identification gives
  for (const auto& c : cases) {
    SCOPED_TRACE(c.item);
    Link();
    UpsRecord.capabilities = UPS_CAP_SOL;
    bool rejected = false;
    std::vector<std::string> after;
    for (int i = 0; i < 60 && after.size() < 24; ++i) {
      Tick();
      std::string m = Mnemonic(Sent());
      if (rejected) after.push_back(m);
      bool reject = !rejected && m == c.item;
      pty.Send(reject ? "^0" : IdentReply(m));
      rejected = rejected || reject;
      Tick();
    }
    ASSERT_TRUE(rejected);
    EXPECT_EQ(UpsRecord.capabilities, all & ~c.removed);
    bool askedAgain = false;
    for (const auto& m : after) askedAgain = askedAgain || m == c.item;
    EXPECT_EQ(askedAgain, c.askedAgain) << ::testing::PrintToString(after);
  }
}

TEST_F(CaretTest, ARejectOrTimeOutOfAQueuedFrameRemovesNoCapability) {
  Link();
  Identify();
  uint64_t caps = UpsRecord.capabilities;
  for (int i = 0; i < 3; ++i) Exchange(Data(""));  // ST1 ST2 ST3; the index points at ST4
  Caret_Command(UPS_CMD_ROF, {1, 1});
  EXPECT_EQ(Exchange("^0"), "^S006ROF1,1");
  EXPECT_EQ(UpsRecord.capabilities, caps);
  EXPECT_EQ(Mnemonic(Exchange(Data(""))), "ST5");
  // A queued frame that is never answered, in the first cycle, at STR.
  Caret_Command(UPS_CMD_TST, 1);
  Tick();
  EXPECT_EQ(Sent(), "^S004TST1");
  for (int i = 0; i < 10; ++i) Tick();
  EXPECT_EQ(ComStat.rxTimeout, 1u);
  EXPECT_EQ(Caret_View().firstCycle, 1);
  EXPECT_EQ(UpsRecord.capabilities, caps);
}

TEST_F(CaretTest, RepliesInPiecesTimeOutsAndTheLostLink) {
  Link();
  Identify();
  const uint64_t caps = UpsRecord.capabilities;
  UpsRecord.liveStatus = UpsBit(UPS_ST_COMMLOST) | UpsBit(UPS_ST_ACFAIL);
  // ST1 in pieces over several ticks completes with its last byte.
  Tick();
  EXPECT_EQ(Sent(), "^P003ST1");
  const std::string st1 = Data("0,0,1,,45,80,816,12,27,0");
  for (size_t at = 0; at < st1.size(); at += 6) {
    pty.Send(st1.substr(at, 6));
    Tick();
  }
  EXPECT_EQ(UpsRecord.values[VAL_BATTREMAIN], 45);
  EXPECT_EQ(ComStat.rxTimeout, 0u);
  EXPECT_FALSE(UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST));  // a data reply clears it
  EXPECT_EQ(pty.Drain(), "");                                    // nothing sent meanwhile

  // Ten ticks without a complete reply are one time-out, even with part of
  // a reply read. First-cycle time-outs of ST2 and ST3 remove nothing, of
  // ST4 and STR their masks.
  const char* expect[] = {"ST2", "ST3", "ST4", "ST5"};
  for (int t = 0; t < 4; ++t) {
    Tick();
    EXPECT_EQ(Mnemonic(Sent()), expect[t]);
    if (t == 0) pty.Send("^D010AB");
    for (int i = 0; i < 9; ++i) Tick();
    EXPECT_EQ(ComStat.rxTimeout, static_cast<uint32_t>(t));
    Tick();
  }
  EXPECT_EQ(ComStat.rxTimeout, 4u);
  EXPECT_EQ(UpsRecord.capabilities, caps & ~UPS_CAP_STP);
  EXPECT_TRUE(resets.empty());
  // A bad frame counts like a time-out: the fifth failure in a row ends the link.
  EXPECT_EQ(Mnemonic(Exchange("^Q")), "STR");
  EXPECT_EQ(ComStat.rxParseErr, 1u);
  EXPECT_EQ(ComStat.rxTimeout, 4u);
  EXPECT_EQ(resets, std::vector<int>{1});
  EXPECT_TRUE(UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST));
  EXPECT_TRUE(UpsRecord.liveStatus & UpsBit(UPS_ST_ACFAIL));
  EXPECT_EQ(ComSlot.fd[0], -1);
  EXPECT_EQ(ComSlot.link[0], COM_LINK_NONE);
  EXPECT_EQ(UpsRecord.capabilities, caps & ~UPS_CAP_STP);
}

// Failed replies in a row, one answer per query: "" is silence (ten ticks,
// one time-out); anything else is sent as the reply.
struct FailureCase {
  const char* name;
  std::vector<std::string> answers;
  int lostAt;  // the answer after which the link is given up, -1 never
};

TEST_F(CaretTest, BadFramesCountLikeTimeOuts) {
  const std::string garbage = "\xff\x13#?garbage\r\n";
  const FailureCase cases[] = {
      {"five bad frames", {"^Q", "^Q", "^Q", "^Q", "^Q"}, 4},
      {"five lots of garbage", {garbage, garbage, garbage, garbage, garbage}, 4},
      {"bad length fields and time-outs", {"^D0x5", "", "^D300", "", "^D9x9"}, 4},
      {"a data reply restarts the count", {"^Q", "^Q", "", "^Q", Data(""), "^Q", "^Q", "", "^Q"}, -1},
      {"an accept restarts the count", {"^Q", "", "^Q", "^Q", "^1", "^Q", "^Q", "^Q", ""}, -1},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(ComOps.Open(0, 9600, 0, 8, 1, pty.path().c_str()), 1);
    Link();
    Identify();
    resets.clear();
    UpsRecord.liveStatus = 0;
    EXPECT_EQ(AnswerUntilLost(pty, c.answers, [&] { Tick(); }, [&] { Sent(); }), c.lostAt);
    EXPECT_EQ(resets, c.lostAt < 0 ? std::vector<int>{} : std::vector<int>{1});
    EXPECT_EQ((UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST)) != 0, c.lostAt >= 0);
    pty.Drain();
  }
}

TEST_F(CaretTest, AnAcceptOfAPollQueryMovesTheCycleOnAndANewProbeCountsAfresh) {
  Link();
  Identify();
  // "^1" to ST1 and ST2: the cycle goes on to ST5 and the others.
  std::vector<std::string> asked;
  for (int i = 0; i < 5; ++i) asked.push_back(Mnemonic(Exchange("^1")));
  EXPECT_EQ(asked, (std::vector<std::string>{"ST1", "ST2", "ST3", "ST4", "ST5"}));
  // "^1" to a queued set frame keeps the index.
  Caret_Command(UPS_CMD_TST, 1);
  EXPECT_EQ(Exchange("^1"), "^S004TST1");
  EXPECT_EQ(Mnemonic(Exchange(Data(""))), "STR");

  // Four failures, then the port is reopened and probed: the new link
  // needs five failures of its own.
  for (int i = 0; i < 2; ++i) Exchange("^Q");
  for (int i = 0; i < 2; ++i) {
    Tick();
    Sent();
    for (int t = 0; t < 10; ++t) Tick();
  }
  ASSERT_TRUE(resets.empty());
  ComOps.Close(0);
  ASSERT_EQ(ComOps.Open(0, 9600, 0, 8, 1, pty.path().c_str()), 1);
  Link();
  EXPECT_EQ(Caret_View().timeouts, 0);
  for (int i = 0; i < 4; ++i) Exchange("^Q");
  EXPECT_TRUE(resets.empty());
  Exchange("^Q");
  EXPECT_EQ(resets, std::vector<int>{1});
}

TEST_F(CaretTest, AReplyBetweenTimeOutsRestartsTheCountAndLaterTimeOutsRemoveNothing) {
  Link();
  Identify();
  const uint64_t caps = UpsRecord.capabilities;
  for (int i = 0; i < 10; ++i) Exchange(Data(""));  // ST1 .. SOL2
  EXPECT_EQ(Exchange(Data("")), "^P003ST1");        // wrapped: first cycle over
  ASSERT_EQ(Caret_View().firstCycle, 0);
  for (int round = 0; round < 3; ++round) {
    for (int t = 0; t < 4; ++t) {
      Tick();
      Sent();
      for (int i = 0; i < 10; ++i) Tick();
    }
    Exchange(Data(""));
  }
  EXPECT_EQ(ComStat.rxTimeout, 12u);
  EXPECT_TRUE(resets.empty());
  EXPECT_EQ(UpsRecord.capabilities, caps);
  EXPECT_EQ(ComSlot.link[0], COM_LINK_CARET);
}

TEST_F(CaretTest, AFailedWriteIsCountedAndTimesOut) {
  Link();
  Tick();
  EXPECT_EQ(ComStat.txOk, 1u);
  Sent();
  for (int i = 0; i < 10; ++i) Tick();
  EXPECT_EQ(ComStat.rxTimeout, 1u);
  // A closed port: the write fails, the module waits and times out.
  int fd = ComSlot.fd[0];
  ComSlot.fd[0] = -1;
  Tick();
  EXPECT_EQ(ComStat.txErr, 1u);
  EXPECT_EQ(Caret_View().waiting, 1);
  ComSlot.fd[0] = fd;
}

// ---- reply parser ----

void Parse(const std::string& mnemonic, const std::string& data) {
  std::string sent = (mnemonic.size() == 4 ? "^P004" : "^P003") + mnemonic;
  std::string reply = Data(data);
  Caret_ParseFrame(reinterpret_cast<const uint8_t*>(sent.data()), static_cast<int>(sent.size()),
                   reinterpret_cast<const uint8_t*>(reply.data()), static_cast<int>(reply.size()));
}
std::vector<int32_t> Values(int first, int last) {
  return std::vector<int32_t>(UpsRecord.values + first, UpsRecord.values + last + 1);
}
std::vector<int32_t> Seq(int first, int count) {
  std::vector<int32_t> v;
  for (int i = 0; i < count; ++i) v.push_back(first + i);
  return v;
}
std::string Numbers(int first, int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += (i ? "," : "") + std::to_string(first + i);
  return s;
}

class CaretParseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearRecord();
    Caret_Init();
  }
};

struct ClassCase {
  std::string model;
  int32_t modelClass;  // -7: left as it was
};

TEST_F(CaretParseTest, ModelNameAndModelClass) {
  const ClassCase cases[] = {
      {"QVA1000", 2}, {"qva", 2}, {"Orvelline 3K", 2}, {"ZUL", 2}, {"WEJ-1", 0}, {"YH100", 0}, {"yk", 0},
      {"qd2000", 1},  {"QD", 1},  {"Yx", 2},           {"Y", 2},   {"ABC", -7},  {"1YH", -7},  {"[QD", -7},
      {"QV", -7},     {"", -7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.model);
    ClearRecord();
    UpsRecord.values[VAL_TYPE] = -7;
    Parse("MOD", c.model);
    EXPECT_EQ(UpsRecord.values[VAL_TYPE], c.modelClass);
    EXPECT_STREQ(UpsRecord.model, c.model.empty() ? "(Empty)" : c.model.c_str());  // case kept
  }
  Parse("MOD", "yh," + std::string(40, 'm'));
  EXPECT_EQ(strlen(UpsRecord.model), 32u);
  EXPECT_EQ(std::string(UpsRecord.model, 3), "yh,");
  EXPECT_EQ(UpsRecord.values[VAL_TYPE], 0);
}

struct ParseCase {
  const char* name;
  std::function<void()> prepare;
  const char* mnemonic;
  std::string data;
  std::function<void()> check;
};

TEST_F(CaretParseTest, EachReplyFillsItsFields) {
  const ParseCase cases[] = {
      {"VER cut to 16", [] {}, "VER", "FW-0123456789ABCDEF", [] { EXPECT_STREQ(UpsRecord.firmware, "FW-0123456789ABC"); }},
      {"UID keeps commas, cut to 64", [] {}, "UID", "SN,42" + std::string(70, '9'), [] {
         EXPECT_EQ(strlen(UpsRecord.serial), 64u);
         EXPECT_EQ(std::string(UpsRecord.serial, 5), "SN,42");
       }},
      {"AP1", [] { UpsRecord.capabilities = UPS_CAP_STP | UPS_CMD_TST; }, "AP1", "16,17,35", [] {
         EXPECT_EQ(UpsRecord.capabilities, Bits({7, 12, 42, 13, 51}));
       }},
      {"AP1 clears the bypass readings first", [] { UpsRecord.capabilities = UPS_CAP_STP; }, "AP1", "24,36,,x", [] {
         EXPECT_EQ(UpsRecord.capabilities, 0u);
       }},
      {"AP1 range start", [] {}, "AP1", "25", [] { EXPECT_EQ(UpsRecord.capabilities, UPS_CAP_STP); }},
      {"AP2", [] { UpsRecord.capabilities = UPS_CAP_STP; }, "AP2", "57,82,83,84,88,90,92,93,94,96,1,95,,x", [] {
         EXPECT_EQ(UpsRecord.capabilities, Bits({51, 48, 8, 10, 9, 7, 50, 2, 1, 63, 17}));
       }},
      {"NOM", [] {}, "NOM", "230,500,0,600,3000,2700,9,1,160,280,03152023,10,77", [] {
         EXPECT_EQ(Values(0, 8), (std::vector<int32_t>{230, 500, 230, 600, 3000, 2700, 9, 160, 280}));
         EXPECT_EQ(UpsRecord.capabilities, Bits({12, 42}));
         EXPECT_EQ(UpsRecord.liveStatus, Bits({UPS_ST_BUZENABLED}));
         EXPECT_STREQ(UpsRecord.battLastDate, "20230315");
         EXPECT_STREQ(UpsRecord.battNextDate, "20230325");
         EXPECT_EQ(UpsRecord.values[9], -1);
       }},
      {"NOM output voltage of its own", [] {}, "NOM", "230,500,220", [] {
         EXPECT_EQ(Values(0, 3), (std::vector<int32_t>{230, 500, 220, -1}));
         EXPECT_EQ(UpsRecord.capabilities, 0u);
       }},
      {"NOM muted", [] { UpsRecord.liveStatus = Bits({UPS_ST_BUZENABLED}); }, "NOM", ",,,,,,,2", [] {
         EXPECT_EQ(UpsRecord.liveStatus, Bits({UPS_ST_BUZMUTED}));
       }},
      {"NOM alarm off", [] { UpsRecord.liveStatus = Bits({15, 19}); }, "NOM", ",,,,,,,3", [] {
         EXPECT_EQ(UpsRecord.liveStatus, 0u);
       }},
      {"NOM alarm state unknown", [] { UpsRecord.liveStatus = Bits({15}); }, "NOM", ",,,,,,,4", [] {
         EXPECT_EQ(UpsRecord.liveStatus, Bits({15}));
         EXPECT_EQ(UpsRecord.capabilities, Bits({12, 42}));
       }},
      {"NOM date with a tail, its first eight characters", [] {}, "NOM", ",,,,,,,,,,12312023xx,1", [] {
         EXPECT_STREQ(UpsRecord.battLastDate, "20231231");
         EXPECT_STREQ(UpsRecord.battNextDate, "20240101");
       }},
      {"NOM date of seven digits", [] { strcpy(UpsRecord.battLastDate, "20200101"); strcpy(UpsRecord.battNextDate, "20230101"); },
       "NOM", ",,,,,,,,,,3152023,10", [] {
         EXPECT_STREQ(UpsRecord.battLastDate, "20200101");
         EXPECT_STREQ(UpsRecord.battNextDate, "20230101");
       }},
      {"NOM month 13", [] { strcpy(UpsRecord.battNextDate, "20230101"); }, "NOM", ",,,,,,,,,,13012023,10", [] {
         EXPECT_STREQ(UpsRecord.battLastDate, "20231301");
         EXPECT_STREQ(UpsRecord.battNextDate, "20230101");
       }},
      {"NOM without days", [] { strcpy(UpsRecord.battNextDate, "20230101"); }, "NOM", ",,,,,,,,,,03152023,", [] {
         EXPECT_STREQ(UpsRecord.battLastDate, "20230315");
         EXPECT_STREQ(UpsRecord.battNextDate, "20230101");
       }},
      {"NOM days clamped", [] {}, "NOM", ",,,,,,,,,,01012000,99999", [] {
         EXPECT_STREQ(UpsRecord.battNextDate, "21790605");
       }},
      {"LET", [] {}, "LET", "3", [] { EXPECT_EQ(UpsRecord.outletCount, 3); }},
      {"LET clamped", [] {}, "LET", "300", [] { EXPECT_EQ(UpsRecord.outletCount, 255); }},
      {"ST1", [] { UpsRecord.values[VAL_ONBATTTIME] = 77; UpsRecord.values[VAL_CHARGER] = 5; }, "ST1",
       "0,0,1,99,45,80,816,12,27,2,55", [] {
         EXPECT_EQ(Values(26, 36), (std::vector<int32_t>{0, 0, 1, 77, 45, -1, 816, 12, 27, 80, 2}));
         EXPECT_EQ(Values(37, 40), (std::vector<int32_t>{-1, -1, -1, -1}));
         EXPECT_EQ(UpsRecord.values[VAL_CHARGER], 5);
       }},
      {"ST1 empty fields stay unreported", [] { UpsRecord.values[VAL_BATTVOLT] = 5; }, "ST1", ",,,,,", [] {
         EXPECT_EQ(Values(26, 28), (std::vector<int32_t>{-1, -1, -1}));
         EXPECT_EQ(UpsRecord.values[VAL_BATTVOLT], -1);
       }},
      {"ST2 skips its first field", [] {}, "ST2", "9," + Numbers(1, 20), [] {
         EXPECT_EQ(Values(44, 56), Seq(1, 13));
         EXPECT_EQ(Values(57, 59), (std::vector<int32_t>{-1, -1, -1}));
       }},
      {"ST2 without a comma", [] { UpsRecord.values[44] = 3; }, "ST2", "5", [] {
         EXPECT_EQ(UpsRecord.values[44], -1);
         EXPECT_EQ(UpsRecord.values[45], -1);
       }},
      {"ST2 short", [] {}, "ST2", "9,1,500,2301", [] {
         EXPECT_EQ(Values(44, 47), (std::vector<int32_t>{1, 500, 2301, -1}));
       }},
      {"ST3", [] {}, "ST3", "0," + Numbers(1, 20), [] {
         std::vector<int32_t> expect = {0};
         for (int i = 1; i <= 14; ++i) expect.push_back(i);
         EXPECT_EQ(Values(60, 74), expect);
         EXPECT_EQ(Values(75, 81), (std::vector<int32_t>(7, -1)));
       }},
      {"ST4", [] {}, "ST4", Numbers(1, 15), [] {
         EXPECT_EQ(Values(81, 91), Seq(1, 11));
         EXPECT_EQ(Values(92, 95), (std::vector<int32_t>(4, -1)));
       }},
      {"STR", [] {}, "STR", "4", [] { EXPECT_EQ(UpsRecord.values[VAL_TESTRESULT], 4); }},
      {"STR empty keeps the result", [] { UpsRecord.values[VAL_TESTRESULT] = 6; }, "STR", "", [] {
         EXPECT_EQ(UpsRecord.values[VAL_TESTRESULT], 6);
       }},
      {"ATR", [] {}, "ATR", "5", [] { EXPECT_EQ(UpsRecord.values[VAL_ARB], 5); }},
      {"ATR empty", [] { UpsRecord.values[VAL_ARB] = 2; }, "ATR", "", [] { EXPECT_EQ(UpsRecord.values[VAL_ARB], 2); }},
      {"SOL3 on", [] { UpsRecord.outletOn = 1; }, "SOL3", "1", [] { EXPECT_EQ(UpsRecord.outletOn, 5); }},
      {"SOL8 on", [] {}, "SOL8", "1,0", [] { EXPECT_EQ(UpsRecord.outletOn, 0x80); }},
      {"SOL1 off", [] { UpsRecord.outletOn = 5; }, "SOL1", "0", [] { EXPECT_EQ(UpsRecord.outletOn, 4); }},
      {"SOL1 empty is off", [] { UpsRecord.outletOn = 1; }, "SOL1", "", [] { EXPECT_EQ(UpsRecord.outletOn, 0); }},
      {"ST5 flags", [] { UpsRecord.liveStatus = Bits({0, 2, 16}); }, "ST5", "1,0,,1,0,0,0,0,0,0,0,0,0,0,0", [] {
         // bit 0 counts up (not yet set), bit 2 empty: cleared at once, bit 16 not reported
         EXPECT_EQ(UpsRecord.liveStatus, Bits({0, 16}));
         EXPECT_EQ(UpsRecord.debounce[0], 1);
         EXPECT_EQ(UpsRecord.debounce[3], 1);
       }},
      {"ST5 field 15 is bit 16", [] { UpsRecord.debounce[16] = 3; UpsRecord.debounce[15] = 3; }, "ST5",
       ",,,,,,,,,,,,,,,1,1", [] {
         EXPECT_EQ(UpsRecord.liveStatus, Bits({16}));
         EXPECT_EQ(UpsRecord.debounce[15], 3);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClearRecord();
    c.prepare();
    Parse(c.mnemonic, c.data);
    c.check();
  }
}

TEST_F(CaretParseTest, RepliesToOtherFramesOrCutShortChangeNothing) {
  UpsRecordType before = UpsRecord;
  auto same = [&] { return memcmp(&before, &UpsRecord, sizeof UpsRecord) == 0; };
  std::string sent = "^S006ROF1,1";
  std::string reply = Data("1,2,3");
  Caret_ParseFrame(reinterpret_cast<const uint8_t*>(sent.data()), static_cast<int>(sent.size()),
                   reinterpret_cast<const uint8_t*>(reply.data()), static_cast<int>(reply.size()));
  EXPECT_TRUE(same());
  sent = "^P003ST4";
  for (const std::string& r : {std::string("^D010ABC"), std::string("^1"), std::string("^D9"), std::string("^D-05ABCDE"),
                              std::string("^D247") + std::string(247, '1'), std::string("~D003ABC")}) {
    Caret_ParseFrame(reinterpret_cast<const uint8_t*>(sent.data()), static_cast<int>(sent.size()),
                     reinterpret_cast<const uint8_t*>(r.data()), static_cast<int>(r.size()));
    EXPECT_TRUE(same()) << r;
  }
  sent = "^P00";  // shorter than any mnemonic
  Caret_ParseFrame(reinterpret_cast<const uint8_t*>(sent.data()), 4, reinterpret_cast<const uint8_t*>(reply.data()),
                   static_cast<int>(reply.size()));
  EXPECT_TRUE(same());
}

struct DebounceCase {
  const char* name;
  std::function<void()> prepare;
  const char* mnemonic;
  std::string data;
  int bit;
  int setsAt;  // the reply (1..) at which the bit is first set; 0 never
};

TEST_F(CaretParseTest, StatusBitsHoldForTheirDebounceCount) {
  const DebounceCase cases[] = {
      {"input failure", [] {}, "ST5", "0,1", UPS_ST_ACFAIL, 4},
      {"economy mode (field 15)", [] {}, "ST5", ",,,,,,,,,,,,,,,x", UPS_ST_ECONOMIC, 4},
      {"battery weak", [] {}, "ST1", "1", UPS_ST_BATTWEAK, 4},
      {"battery low", [] {}, "ST1", "0,1", UPS_ST_BATTLOW, 6},
      {"battery depleted", [] {}, "ST1", "0,2", UPS_ST_BATTDEPLETED, 6},
      {"charge below the low level", [] { UpsRecord.lowBattCheck = 1; UpsRecord.lowBattLevel = 30; }, "ST1",
       "0,0,1,,10,29", UPS_ST_BATTLOW, 6},
      {"charge at the low level", [] { UpsRecord.lowBattCheck = 1; UpsRecord.lowBattLevel = 30; }, "ST1",
       "0,0,1,,10,30", UPS_ST_BATTLOW, 0},
      {"low-level check off", [] { UpsRecord.lowBattLevel = 30; }, "ST1", "0,0,1,,10,10", UPS_ST_BATTLOW, 0},
      {"charging", [] {}, "ST1", "0,0,1", UPS_ST_CHARGING, 4},
      {"discharging", [] {}, "ST1", "0,0,3", UPS_ST_DISCHARGING, 3},
      {"charge state 0 is not charging", [] {}, "ST1", "0,0,0", UPS_ST_CHARGING, 0},
      {"replacement reported", [] {}, "ST1", "2", UPS_ST_BATTREPLACE, 4},
      {"replacement due", [] { UpsRecord.replaceDue = 1; }, "ST1", "0", UPS_ST_BATTREPLACE, 1},
      {"on battery", [] {}, "ST3", "1", UPS_ST_ONBATTERY, 4},
      {"on bypass", [] {}, "ST3", "2", UPS_ST_ONBYPASS, 4},
      {"buck", [] {}, "ST3", "3", UPS_ST_BUCK, 4},
      {"boost", [] {}, "ST3", "4", UPS_ST_BOOST, 4},
      {"source 5 sets nothing", [] {}, "ST3", "5", UPS_ST_OUTSRC5, 0},
      {"testing", [] {}, "STR", "2", UPS_ST_TESTING, 4},
      {"test failed", [] {}, "STR", "5", UPS_ST_TESTFAIL, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClearRecord();
    c.prepare();
    int setsAt = 0;
    for (int n = 1; n <= 8; ++n) {
      Parse(c.mnemonic, c.data);
      bool set = UpsRecord.liveStatus & UpsBit(c.bit);
      if (set && !setsAt) setsAt = n;
      if (setsAt) {
        EXPECT_TRUE(set) << "reply " << n;  // and it stays set
      }
    }
    EXPECT_EQ(setsAt, c.setsAt);
  }
}

TEST_F(CaretParseTest, BitsClearAsTheirRulesSay) {
  auto times = [](const char* m, const std::string& d, int n) {
    for (int i = 0; i < n; ++i) Parse(m, d);
  };
  auto on = [](int bit) { return (UpsRecord.liveStatus & UpsBit(bit)) != 0; };

  // ST5: a set bit clears on the fourth '0' in a row; an empty field at once.
  times("ST5", "0,1", 4);
  ASSERT_TRUE(on(UPS_ST_ACFAIL));
  times("ST5", "0,0", 3);
  EXPECT_TRUE(on(UPS_ST_ACFAIL));
  times("ST5", "0,0", 1);
  EXPECT_FALSE(on(UPS_ST_ACFAIL));
  times("ST5", "0,1", 4);
  times("ST5", "0,", 1);
  EXPECT_FALSE(on(UPS_ST_ACFAIL));
  times("ST5", "0,1", 1);
  EXPECT_TRUE(on(UPS_ST_ACFAIL));  // the counter stayed at its threshold

  // Charging and discharging exclude each other once set.
  ClearRecord();
  times("ST1", "0,0,1", 4);
  ASSERT_TRUE(on(UPS_ST_CHARGING));
  times("ST1", "0,0,3", 2);
  EXPECT_TRUE(on(UPS_ST_CHARGING));
  times("ST1", "0,0,3", 1);
  EXPECT_TRUE(on(UPS_ST_DISCHARGING));
  EXPECT_FALSE(on(UPS_ST_CHARGING));
  times("ST1", "0,0,2", 1);
  EXPECT_FALSE(on(UPS_ST_DISCHARGING));
  EXPECT_EQ(UpsRecord.debounce[UPS_ST_DISCHARGING], 0);

  // Battery low stays through "depleted" and clears on a normal status.
  ClearRecord();
  times("ST1", "0,1", 6);
  times("ST1", "0,2", 6);
  EXPECT_TRUE(on(UPS_ST_BATTLOW));
  EXPECT_TRUE(on(UPS_ST_BATTDEPLETED));
  times("ST1", "0,0", 1);
  EXPECT_FALSE(on(UPS_ST_BATTLOW) || on(UPS_ST_BATTDEPLETED));

  // Replacement: the reported flag goes with a good condition, the due flag stays.
  ClearRecord();
  times("ST1", "2", 4);
  EXPECT_EQ(UpsRecord.replaceReported, 1);
  UpsRecord.replaceDue = 1;
  times("ST1", "0", 1);
  EXPECT_EQ(UpsRecord.replaceReported, 0);
  EXPECT_TRUE(on(UPS_ST_BATTREPLACE));
  UpsRecord.replaceDue = 0;
  times("ST1", "1", 1);
  EXPECT_FALSE(on(UPS_ST_BATTREPLACE));

  // Output source: 0 clears and zeroes the counters; 2 clears bit 33 and
  // keeps its counter, so the next 1 sets it again at once; 5 becomes 6.
  ClearRecord();
  times("ST3", "1", 4);
  times("ST3", "2", 1);
  EXPECT_FALSE(on(UPS_ST_ONBATTERY));
  times("ST3", "1", 1);
  EXPECT_TRUE(on(UPS_ST_ONBATTERY));
  times("ST3", "0", 1);
  EXPECT_FALSE(on(UPS_ST_ONBATTERY));
  times("ST3", "1", 3);
  EXPECT_FALSE(on(UPS_ST_ONBATTERY));
  UpsRecord.liveStatus = UpsBit(UPS_ST_OUTSRC5);
  UpsRecord.debounce[UPS_ST_OUTSRC5] = 2;
  UpsRecord.debounce[UPS_ST_OUTPUTOFF] = 2;
  times("ST3", "5", 1);
  EXPECT_EQ(UpsRecord.values[VAL_OUTSRC], 6);
  EXPECT_TRUE(on(UPS_ST_OUTSRC5));  // not one of the bits this rule clears
  times("ST3", "0", 1);
  EXPECT_EQ(UpsRecord.debounce[UPS_ST_OUTSRC5], 0);
  EXPECT_EQ(UpsRecord.debounce[UPS_ST_OUTPUTOFF], 0);

  // Test result: 1 or 6 end the test bits and their counts.
  ClearRecord();
  times("STR", "2", 4);
  times("STR", "6", 1);
  EXPECT_FALSE(on(UPS_ST_TESTING));
  EXPECT_EQ(UpsRecord.debounce[UPS_ST_TESTING], 0);
}

// ---- battery dates ----

struct AddCase {
  const char* last;
  uint16_t days;
  const char* next;  // nullptr: unchanged
};

TEST(CaretDates, AddDaysWalksTheCalendar) {
  const AddCase cases[] = {
      {"20240228", 1, "20240229"},   {"20230228", 1, "20230301"},   {"20230305", 10, "20230315"},
      {"20231231", 1, "20240101"},   {"20240101", 366, "20250101"}, {"20230101", 365, "20240101"},
      {"21000228", 1, "21000229"},   {"20240115", 0, "20240115"},   {"20240131", 29, "20240229"},
      {"20000101", 65535, "21790605"}, {"99991231", 1, nullptr},    {"99991231", 0, "99991231"},
      {"20241301", 1, nullptr},      {"20240001", 1, nullptr},      {"20240230", 1, nullptr},
      {"20230229", 1, nullptr},      {"20240100", 1, nullptr},      {"2024011", 1, nullptr},
      {"", 1, nullptr},              {"2024O101", 1, nullptr},      {"-2024011", 1, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.last) + " + " + std::to_string(c.days));
    memset(&UpsRecord, 0, sizeof UpsRecord);
    snprintf(UpsRecord.battLastDate, sizeof UpsRecord.battLastDate, "%s", c.last);
    strcpy(UpsRecord.battNextDate, "KEPT");
    Caret_AddDays(c.days);
    EXPECT_STREQ(UpsRecord.battNextDate, c.next ? c.next : "KEPT");
  }
}

struct BetweenCase {
  const char* from;
  const char* to;
  uint16_t days;
};

TEST(CaretDates, DaysBetweenCountsLeapYearsAndClamps) {
  const BetweenCase cases[] = {
      {"20200101", "20230101", 1096}, {"20230305", "20230315", 10}, {"20230315", "20230305", 0},
      {"20230315", "20230315", 0},    {"20240228", "20240301", 2},  {"20230228", "20230301", 1},
      {"21000101", "21010101", 366},  {"20000101", "21790605", 65535}, {"20000101", "21790604", 65534},
      {"00000101", "99991231", 65535}, {"20231301", "20240101", 0}, {"20230101", "20230230", 0},
      {"2023010", "20240101", 0},     {"20230101", "202401011", 0}, {"20230101", nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.from) + " to " + (c.to ? c.to : "(none)"));
    EXPECT_EQ(Caret_DaysBetween(c.from, c.to), c.days);
  }
  // The two helpers agree wherever the count fits.
  memset(&UpsRecord, 0, sizeof UpsRecord);
  for (const char* last : {"20240229", "20231130", "19990101"}) {
    for (uint16_t n : {0, 1, 28, 59, 365, 1461, 40000}) {
      strcpy(UpsRecord.battLastDate, last);
      Caret_AddDays(n);
      EXPECT_EQ(Caret_DaysBetween(last, UpsRecord.battNextDate), n) << last << " + " << n;
    }
  }
}

TEST(CaretBitIndex, LowestSetBit) {
  EXPECT_EQ(Caret_BitIndex(0), 0);
  EXPECT_EQ(Caret_BitIndex(1), 0);
  EXPECT_EQ(Caret_BitIndex(0x6000), 13);
  EXPECT_EQ(Caret_BitIndex(uint64_t{1} << 63), 63);
}

}  // namespace
