// Tilde protocol: command frames and queue, the receiver, the probe and the
// poll cycle, against a pseudo-terminal played by the test.
#include "tilde_fixture.h"
#include "answers.h"

#include <climits>
#include <functional>

using namespace tildetest;

namespace {

std::vector<std::string> Queued() { return QueuedFrames(*Tilde_View().queue); }

struct CommandCase {
  const char* name;
  std::function<void()> send;
  std::vector<std::string> frames;
};

TEST_F(TildeTest, CommandsBecomeFramesWithTheRealLength) {
  static const uint16_t sdc[6] = {1, 258, 0, 0, 0, 0xFFFF};
  const std::string sdcFrame = std::string("~00S015SDC") + std::string("\x01\x00\x02\x01\x00\x00\x00\x00\x00\x00\xFF\xFF", 12);
  const CommandCase cases[] = {
      {"test", [] { Tilde_Command(UPS_CMD_TST, 3); }, {"~00S004TST3"}},
      {"outlet off", [] { Tilde_Command(UPS_CMD_ROF, {2, 1}); }, {"~00S006ROF2;1"}},
      {"outlet on", [] { Tilde_Command(UPS_CMD_RON, {8, 1}); }, {"~00S006RON8;1"}},
      {"restore", [] { Tilde_Command(UPS_CMD_SDR, 120); }, {"~00S006SDR120"}},
      {"negative", [] { Tilde_Command(UPS_CMD_SDA, INT_MIN); }, {"~00S014SDA-2147483648"}},
      {"transfer", [] { Tilde_Command(UPS_CMD_TXV, {160, 280}); }, {"~00S010TXV160;280"}},
      {"btv time only", [] { Tilde_Command(UPS_CMD_BTV, {30, -1}); }, {"~00S005BTV30"}},
      {"btv both", [] { Tilde_Command(UPS_CMD_BTV, {30, 0}); }, {"~00S007BTV30;0"}},
      {"dates", [] { Tilde_Command(UPS_CMD_BRD, {"20240101", "20270101"}); }, {"~00S020BRD20240101;20270101"}},
      {"dates at the limit", [] { Tilde_Command(UPS_CMD_BRD, {"123456789", "123456789"}); },
       {"~00S022BRD123456789;123456789"}},
      {"dates too long", [] { Tilde_Command(UPS_CMD_BRD, {"1234567890", "1234567890"}); }, {}},
      {"dry contacts", [] { Tilde_Command(UPS_CMD_SDC, sdc); }, {sdcFrame}},
      {"packs then battery query", [] { Tilde_Command(UPS_CMD_EBP, 2); }, {"~00S004EBP2", "~00P003STB"}},
      {"event page", [] { Tilde_Command(UPS_CMD_EVT, {1, 20}); }, {"~00P007EVT1;20"}},
      {"event list", [] { Tilde_Command(UPS_CMD_ELS, 3); }, {"~00P004ELS3"}},
      {"green", [] { Tilde_Command(UPS_CMD_GRE, 1); }, {"~00S004GRE1"}},
      {"BT2", [] { Tilde_Command(UPS_CMD_BT2, 15); }, {"~00S005BT215"}},
      {"USB only", [] { Tilde_Command(UPS_CMD_LOTXV, 150); }, {}},
      {"capability only", [] { Tilde_Command(UPS_CAP_AEL, 1); }, {}},
      {"two bits", [] { Tilde_Command(UPS_CMD_TST | UPS_CMD_SDA, 1); }, {}},
      {"no code", [] { Tilde_Command(0, 1); }, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Tilde_Reset();
    c.send();
    EXPECT_EQ(Queued(), c.frames);
  }
}

TEST_F(TildeTest, AFullQueueDropsNewFramesSilently) {
  for (int i = 0; i < 9; ++i) Tilde_Command(UPS_CMD_TST, i);
  Tilde_Command(UPS_CMD_EBP, 1);  // the set frame fits, its battery query does not
  std::vector<std::string> before = Queued();
  ASSERT_EQ(before.size(), 10u);
  EXPECT_EQ(before.back(), "~00S004EBP1");
  Tilde_Command(UPS_CMD_TST, 7);
  EXPECT_EQ(Queued(), before);
  const uint8_t big[30] = {'~'};
  Tilde_Reset();
  EXPECT_EQ(Tilde_QueueCommand(big, 30), 0);  // no room for the checksum
  EXPECT_EQ(Tilde_QueueCommand(big, 29), 1);
}

TEST_F(TildeTest, BitIndexAndChecksumDigits) {
  EXPECT_EQ(Tilde_BitIndex(0), 0);
  EXPECT_EQ(Tilde_BitIndex(1), 0);
  EXPECT_EQ(Tilde_BitIndex(0x800), 11);
  EXPECT_EQ(Tilde_BitIndex(0x6000), 13);
  EXPECT_EQ(Tilde_BitIndex(uint64_t{1} << 63), 63);
  uint8_t frame[16] = "~00P003MOD";
  EXPECT_EQ(Tilde_AppendChecksum(frame, 10), 12);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(frame)), Summed("~00P003MOD"));
  EXPECT_EQ(Summed("~00P003MOD"), "~00P003MODA1");  // the bytes sum to 0x2A1
  EXPECT_EQ(Summed("~00D005AB;12"), "~00D005AB;12D8");
}

struct RxCase {
  const char* name;
  bool checksum;
  std::vector<std::string> pieces;  // sent before each call
  std::vector<int> results;
  std::string frame;  // the buffer after the last call, up to its NUL
  std::string left;   // bytes still in the port afterwards
};

TEST_F(TildeTest, ReceiverClassifiesReplies) {
  const std::string good = Data("AB;12");
  const std::string max = Data(std::string(246, 'x'));
  const RxCase cases[] = {
      {"summed", true, {Summed(good)}, {0}, good, ""},
      {"wrong digits", true, {good + "00"}, {2}, "", ""},
      {"lower-case digits are wrong", true, {good + "d8"}, {2}, "", ""},
      {"digits still missing", true, {good, "", Summed(good).substr(good.size())}, {4, 4, 0}, good, ""},
      {"one digit so far", true, {Summed(good).substr(0, good.size() + 1), Summed(good).substr(good.size() + 1)},
       {4, 0}, good, ""},
      {"no checksum mode", false, {good}, {1}, good, ""},
      {"no checksum mode leaves digits", false, {Summed(good)}, {1}, good, Summed(good).substr(good.size())},
      {"pieces", false, {"~0", "0D0", "05AB;12"}, {4, 4, 1}, good, ""},
      {"nothing", false, {""}, {4}, "", ""},
      {"accept", true, {"~00A"}, {1}, "~00A", ""},
      {"reject", false, {"~00R"}, {1}, "~00R", ""},
      {"only the frame is read", false, {"~00A~00D003ABC"}, {1}, "~00A", "~00D003ABC"},
      {"unknown type", false, {"~00X"}, {3}, "", ""},
      {"bad start", false, {"#00D003ABC"}, {3}, "", "003ABC"},
      {"length over the buffer", false, {"~00D300" + std::string(40, 'y')}, {3}, "", std::string(40, 'y')},
      {"length 247", false, {"~00D247"}, {3}, "", ""},
      {"length not digits", false, {"~00D0:5AB;12"}, {3}, "", "AB;12"},
      {"length with a space", false, {"~00D 05AB;12"}, {3}, "", "AB;12"},
      {"longest reply", true, {Summed(max)}, {0}, max, ""},
      {"empty data", false, {"~00D000"}, {1}, "~00D000", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Link(c.checksum);
    uint8_t buf[TILDE_RX_SIZE] = {};
    uint8_t count = 0;
    for (size_t i = 0; i < c.pieces.size(); ++i) {
      if (!c.pieces[i].empty()) pty.Send(c.pieces[i]);
      int r = Tilde_Receive(0, buf, &count);
      EXPECT_EQ(r, c.results[i]) << "call " << i;
      if (r != 4) break;
    }
    if (!c.frame.empty()) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buf)), c.frame);
    }
    EXPECT_EQ(pty.Pending(), static_cast<int>(c.left.size()));
    uint8_t rest[64];
    int n = sizeof rest;
    if (ComOps.Read(0, &n, rest) && n > 0) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(rest), n), c.left);
    }
    ComOps.ClearRx(0);
  }
}

struct ProbeCase {
  const char* name;
  std::string answer;
  int result;
  int checksumMode;
};

TEST_F(TildeTest, ProbeAnswerDecidesTheLinkAndTheChecksumMode) {
  const ProbeCase cases[] = {
      {"summed data", Summed(Data("UPS;2")), 1, 1},
      {"plain data", Data("UPS;2"), 1, 0},
      {"wrong sum", Data("UPS;2") + "99", 1, 0},
      {"accept", "~00A", 1, 0},
      {"reject", "~00R", 1, 0},
      {"garbage", "hello", 0, 1},
      {"half a frame", "~00D010ab", 0, 1},
      {"silence", "", 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Tilde_Init();  // a UPS not heard before
    Tilde_Command(UPS_CMD_TST, 1);
    pty.Send("stale bytes");  // discarded before the probe
    ProbeAnswer() = c.answer;
    EXPECT_EQ(Tilde_Probe(0), c.result);
    EXPECT_EQ(ProbeFrame(), Summed("~00P003MOD"));
    TildeView v = Tilde_View();
    EXPECT_EQ(v.checksumMode, c.checksumMode);
    EXPECT_EQ(v.waiting, 0);
    EXPECT_EQ(pty.Pending(), 0);
    if (c.result) {
      EXPECT_TRUE(Queued().empty());  // a new link starts with an empty queue
      EXPECT_EQ(v.pollIndex, 0);
      EXPECT_EQ(v.firstCycle, 1u);
    }
    Tilde_Reset();
  }
}

// Once a UPS has answered with a valid checksum on a device, only a reply
// with a valid checksum links it again there; a probe on another device
// forgets it.
TEST_F(TildeTest, AUpsThatSummedIsLinkedAgainOnlyWithChecksums) {
  const ProbeCase cases[] = {
      {"plain data", Data("UPS;2"), 0, 1},
      {"wrong sum", Data("UPS;2") + "99", 0, 1},
      {"accept", "~00A", 0, 1},
      {"summed data", Summed(Data("UPS;2")), 1, 1},
  };
  Link(true);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProbeAnswer() = c.answer;
    EXPECT_EQ(Tilde_Probe(0), c.result);
    EXPECT_EQ(Tilde_View().checksumMode, c.checksumMode);
  }

  // Another device: its UPS links without checksums, and the first one's
  // answer counts afresh when the port is set back to it.
  TestPty other;
  ProbePty() = &other;
  ComOps.Close(0);
  ASSERT_EQ(ComOps.Open(0, 2400, 0, 8, 1, other.path().c_str()), 1);
  ProbeAnswer() = Data("UPS;2");
  EXPECT_EQ(Tilde_Probe(0), 1);
  EXPECT_EQ(Tilde_View().checksumMode, 0);
  ProbePty() = &pty;
  ComOps.Close(0);
  ASSERT_EQ(ComOps.Open(0, 2400, 0, 8, 1, pty.path().c_str()), 1);
  EXPECT_EQ(Tilde_Probe(0), 1);
  EXPECT_EQ(Tilde_View().checksumMode, 0);
}

TEST_F(TildeTest, IdentificationOnceThenThePeriodicCycle) {
  Link(false);
  // AVL rejected: no capabilities, so LET is skipped.
  std::vector<std::string> sent;
  for (int i = 0; i < 9; ++i) {
    std::string f = Exchange(i == 1 ? "~00R" : Data(""), true);
    sent.push_back(f);
  }
  ASSERT_EQ(sent.size(), 9u);
  const char* ident[] = {"MOD", "AVL", "CPU", "AL1", "AL2", "AL3", "RAT", "VER", "SER"};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(sent[i], Summed(std::string("~00P003") + ident[i])) << i;

  // Periodic items without checksum: the always-polled ones, then the wrap.
  UpsRecord.capabilities = UPS_CMD_TST | UPS_CAP_STP | UPS_CAP_SOL | UPS_CAP_BMI;
  UpsRecord.outletCount = 2;
  std::vector<std::string> cycle;
  for (int i = 0; i < 11; ++i) cycle.push_back(Mnemonic(Exchange(Data(""), false)));
  EXPECT_EQ(cycle, (std::vector<std::string>{"STB", "STI", "STO", "STP", "STA", "TSR", "SOL1", "SOL2", "BMI", "STB",
                                             "STI"}));
  EXPECT_EQ(Tilde_View().firstCycle, 0u);
  EXPECT_EQ(ComStat.txOk, 20u);
  EXPECT_EQ(ComStat.rxOk, 20u);

  // With the outlet-count capability LET is asked after VER.
  Link(false);
  UpsRecord.capabilities = 0;
  Identify(false);
  EXPECT_EQ(Mnemonic(Exchange(Data(""), false)), "STB");
}

TEST_F(TildeTest, SOLQueryFormatAndChecksumModeFrames) {
  Link(true);
  Identify(true);
  UpsRecord.capabilities = UPS_CAP_SOL;
  UpsRecord.outletCount = 1;
  std::vector<std::string> frames;
  for (int i = 0; i < 5; ++i) frames.push_back(Exchange(Summed(Data("1")), true));
  EXPECT_EQ(frames, (std::vector<std::string>{Summed("~00P003STB"), Summed("~00P003STI"), Summed("~00P003STO"),
                                              Summed("~00P003STA"), Summed("~00P004SOL1")}));
  EXPECT_EQ(UpsRecord.outletOn, 1);
}

TEST_F(TildeTest, QueuedCommandsWaitForIdentificationThenGoBeforeThePeriodicItem) {
  Link(false);
  Tilde_Command(UPS_CMD_TST, 3);
  Tilde_Command(UPS_CMD_SDA, 120);
  UpsRecord.capabilities = 0;
  for (int i = 0; i < 9; ++i) EXPECT_NE(Mnemonic(Exchange(i == 1 ? "~00R" : Data(""), true)), "TST");
  EXPECT_EQ(Exchange("~00A", false), "~00S004TST3");
  EXPECT_EQ(Tilde_View().pollIndex, 10);  // an accept keeps the index
  EXPECT_EQ(Exchange("~00A", false), "~00S006SDA120");
  EXPECT_EQ(Mnemonic(Exchange(Data(""), false)), "STB");
  Tilde_Command(UPS_CMD_BUZ, 1);
  EXPECT_EQ(Exchange("~00A", false), "~00S004BUZ1");
  EXPECT_EQ(Mnemonic(Exchange(Data(""), false)), "STI");
}

struct RejectCase {
  const char* item;
  uint64_t capability;
  bool removed;
};

TEST_F(TildeTest, ARejectRemovesThePolledItemsCapability) {
  const RejectCase cases[] = {
      {"STP", UPS_CAP_STP, true}, {"TSR", UPS_CMD_TST, true}, {"SOL2", UPS_CAP_SOL, true},
      {"BMI", UPS_CAP_BMI, false}, {"LET", UPS_CAP_LET, true}, {"BTV", UPS_CMD_BTV, true},
  };
  const uint64_t all = UPS_CAP_STP | UPS_CMD_TST | UPS_CAP_SOL | UPS_CAP_BMI | UPS_CAP_LET | UPS_CMD_BTV;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.item);
    Link(false);
    UpsRecord.capabilities = all;
    UpsRecord.outletCount = 3;
    bool rejected = false;
    std::vector<std::string> after;
    for (int i = 0; i < 80 && after.size() < 30; ++i) {
      Tick();
      std::string m = Mnemonic(Sent(Tilde_View().pollIndex < 10));
      if (rejected) after.push_back(m);
      // AVL refused too, so that the capabilities stay as set.
      bool reject = m == "AVL" || (!rejected && m == c.item);
      pty.Send(reject ? "~00R" : (m == "LET" ? Data("3") : Data("")));
      rejected = rejected || (reject && m == c.item);
      Tick();
    }
    ASSERT_TRUE(rejected);
    EXPECT_EQ((UpsRecord.capabilities & c.capability) == 0, c.removed);
    EXPECT_EQ((UpsRecord.capabilities | c.capability), all);  // nothing else removed
    bool askedAgain = false;
    for (const auto& m : after) askedAgain = askedAgain || m == c.item || (c.capability == UPS_CAP_SOL && m.rfind("SOL", 0) == 0);
    EXPECT_EQ(askedAgain, !c.removed);
  }
}

TEST_F(TildeTest, ARejectOrTimeOutOfAQueuedFrameRemovesNoCapability) {
  Link(false);
  Identify(false);
  UpsRecord.capabilities = UPS_CAP_STP | UPS_CMD_TST;
  // STB, STI, STO answered; the index then points at STP.
  for (int i = 0; i < 3; ++i) Exchange(Data(""), false);
  Tilde_Command(UPS_CMD_TST, 1);
  EXPECT_EQ(Exchange("~00R", false), "~00S004TST1");
  EXPECT_TRUE(UpsRecord.capabilities & UPS_CAP_STP);
  EXPECT_EQ(Mnemonic(Exchange(Data(""), false)), "STA");
  // A queued frame that is never answered, in the first cycle, at TSR.
  Tilde_Command(UPS_CMD_TST, 2);
  uint8_t index = Tilde_View().pollIndex;
  Tick();
  EXPECT_EQ(Sent(false), "~00S004TST2");
  for (int i = 0; i < 10; ++i) Tick();
  EXPECT_EQ(ComStat.rxTimeout, 1u);
  EXPECT_EQ(Tilde_View().firstCycle, 1u);
  EXPECT_EQ(index, 15);
  EXPECT_EQ(UpsRecord.capabilities, UPS_CAP_STP | UPS_CMD_TST);
}

TEST_F(TildeTest, FiveTimeOutsInARowDropTheLink) {
  Link(false);
  Identify(false);
  UpsRecord.capabilities = UPS_CAP_STP | UPS_CMD_TST;
  UpsRecord.liveStatus = UpsBit(UPS_ST_ACFAIL);
  // Four time-outs, then a reply: the count starts again.
  for (int t = 0; t < 4; ++t) {
    Tick();
    Sent(false);
    for (int i = 0; i < 9; ++i) Tick();
    EXPECT_EQ(ComStat.rxTimeout, static_cast<uint32_t>(t));  // the tenth tick is the time-out
    Tick();
  }
  EXPECT_EQ(ComStat.rxTimeout, 4u);
  // The time-outs of the first cycle dropped STP (index 13), not STB (index 10).
  EXPECT_EQ(UpsRecord.capabilities, UPS_CMD_TST);
  Exchange(Data(""), false);
  EXPECT_TRUE(Resets().empty());
  for (int t = 0; t < 5; ++t) {
    Tick();
    Sent(false);
    for (int i = 0; i < 10; ++i) Tick();
  }
  EXPECT_EQ(ComStat.rxTimeout, 9u);
  EXPECT_EQ(Resets(), std::vector<int>{1});
  EXPECT_TRUE(UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST));
  EXPECT_TRUE(UpsRecord.liveStatus & UpsBit(UPS_ST_ACFAIL));
  EXPECT_EQ(ComSlot.fd[0], -1);
  EXPECT_EQ(ComSlot.link[0], COM_LINK_NONE);
}

// Failed replies in a row, one answer per query: "" is silence (ten ticks,
// one time-out); anything else is sent as the reply.
struct FailureCase {
  const char* name;
  bool checksum;
  std::vector<std::string> answers;
  int lostAt;  // the answer after which the link is given up, -1 never
};

TEST_F(TildeTest, RejectedRepliesCountLikeTimeOuts) {
  const std::string badSum = Data("0;0;1") + "00";
  const std::string garbage = "\xff\x13#?garbage\r\n";
  const std::string good = Summed(Data(""));
  const FailureCase cases[] = {
      {"five wrong checksums", true, {badSum, badSum, badSum, badSum, badSum}, 4},
      {"five malformed frames", false, {"~00Q", "~00Q", "~00Q", "~00Q", "~00Q"}, 4},
      {"five bad length fields", false, {"~00D9x9", "~00D300", "~00D9x9", "~00D300", "~00D9x9"}, 4},
      {"five lots of garbage", true, {garbage, garbage, garbage, garbage, garbage}, 4},
      {"time-outs and rejected replies", true, {"", badSum, "", garbage, badSum}, 4},
      {"a data reply restarts the count", true, {badSum, badSum, badSum, badSum, good, badSum, badSum, badSum, badSum},
       -1},
      {"an accept restarts the count", false, {"~00Q", "~00Q", "", "~00Q", "~00A", "~00Q", "", "~00Q", "~00Q"}, -1},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(ComOps.Open(0, 2400, 0, 8, 1, pty.path().c_str()), 1);
    Link(c.checksum);
    Identify(c.checksum);
    Resets().clear();
    UpsRecord.liveStatus = 0;
    EXPECT_EQ(AnswerUntilLost(pty, c.answers, [&] { Tick(); }, [&] { Sent(c.checksum); }), c.lostAt);
    EXPECT_EQ(Resets(), c.lostAt < 0 ? std::vector<int>{} : std::vector<int>{1});
    EXPECT_EQ((UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST)) != 0, c.lostAt >= 0);
    pty.Drain();
  }
  // The debug page still tells the kinds apart.
  EXPECT_GT(ComStat.rxCsErr, 0u);
  EXPECT_GT(ComStat.rxParseErr, 0u);
}

struct AnswerCase {
  const char* name;
  std::string answer;   // to the first periodic query (STB), or to the queued frame
  bool queued;          // a queued set frame goes out first
  std::string next;     // the frame sent after it
};

TEST_F(TildeTest, AnAcceptOrRejectOfAPollQueryMovesTheCycleOn) {
  const AnswerCase cases[] = {
      {"accept of STB", "~00A", false, "~00P003STI"},
      {"reject of STB", "~00R", false, "~00P003STI"},
      {"data of STB", Data(""), false, "~00P003STI"},
      {"accept of a queued frame", "~00A", true, "~00P003STB"},
      {"reject of a queued frame", "~00R", true, "~00P003STI"},
  };
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(c.name);
    Link(false);
    UpsRecord.capabilities = 0;
    Identify(false);
    if (c.queued) Tilde_Command(UPS_CMD_TST, 1);
    Exchange(c.answer, false);
    Tick();
    EXPECT_EQ(Sent(false), c.next);
    pty.Send(Data(""));
    Tick();
  }
  // A UPS that accepts every query is still asked for every item in turn.
  Link(false);
  Identify(false);
  UpsRecord.capabilities = 0;
  std::vector<std::string> asked;
  for (int i = 0; i < 5; ++i) asked.push_back(Mnemonic(Exchange("~00A", false)));
  EXPECT_EQ(asked, (std::vector<std::string>{"STB", "STI", "STO", "STA", "STB"}));
}

// What an earlier link left: its failures in a row, or a reply half waited for.
struct LeftOverCase {
  const char* name;
  int timeouts;       // unanswered queries
  int rejected;       // replies with a wrong checksum
  int waitingTicks;   // ticks of a wait still running
};

TEST_F(TildeTest, ANewProbeStartsTheFailureCountAfresh) {
  const LeftOverCase cases[] = {
      {"four time-outs", 4, 0, 0},
      {"four rejected replies", 0, 4, 0},
      {"two of each", 2, 2, 0},
      {"three time-outs and a wait of nine ticks", 3, 0, 9},
  };
  for (const LeftOverCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(ComOps.Open(0, 2400, 0, 8, 1, pty.path().c_str()), 1);
    Link(true);
    Identify(true);
    for (int i = 0; i < c.timeouts; ++i) {
      Tick();
      Sent(true);
      for (int t = 0; t < 10; ++t) Tick();
    }
    for (int i = 0; i < c.rejected; ++i) Exchange(Data("0") + "00", true);
    if (c.waitingTicks) {
      Tick();
      Sent(true);
      for (int t = 0; t < c.waitingTicks; ++t) Tick();
    }
    // The port page closes the link; the next detection pass opens the port
    // and probes anew.
    ComOps.Close(0);
    ASSERT_EQ(ComOps.Open(0, 2400, 0, 8, 1, pty.path().c_str()), 1);
    Resets().clear();
    Link(true);
    EXPECT_EQ(Tilde_View().timeouts, 0);
    EXPECT_EQ(Tilde_View().waiting, 0);
    // Four failures on the new link keep it; the fifth ends it.
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(ComSlot.fd[0] >= 0, true) << i;
      Tick();
      Sent(true);
      for (int t = 0; t < 10; ++t) Tick();
    }
    EXPECT_EQ(Resets(), std::vector<int>{1});
    EXPECT_EQ(ComSlot.fd[0], -1);
  }
}

TEST_F(TildeTest, TimeOutsAfterTheFirstCycleRemoveNothing) {
  Link(false);
  Identify(false);
  UpsRecord.capabilities = UPS_CAP_STP;
  for (int i = 0; i < 5; ++i) Exchange(Data(""), false);  // STB STI STO STP STA
  Exchange(Data(""), false);                              // STB again: first cycle over
  ASSERT_EQ(Tilde_View().firstCycle, 0u);
  for (int t = 0; t < 3; ++t) {
    Tick();
    Sent(false);
    for (int i = 0; i < 10; ++i) Tick();
  }
  EXPECT_EQ(ComStat.rxTimeout, 3u);
  EXPECT_EQ(UpsRecord.capabilities, UPS_CAP_STP);
}

TEST_F(TildeTest, ALongReplyTricklingInIsNotCutOff) {
  Link(false);
  Identify(false);
  Tick();
  EXPECT_EQ(Mnemonic(Sent(false)), "STB");
  // 253 bytes at 2400 baud take about a second: 20 bytes per tick here.
  std::string reply = Data("1;0;1;;50" + std::string(246 - 9, ';'));
  for (size_t at = 0; at < reply.size(); at += 20) {
    pty.Send(reply.substr(at, 20));
    Tick();
  }
  EXPECT_EQ(ComStat.rxTimeout, 0u);
  EXPECT_EQ(ComStat.rxOk, 11u);
  EXPECT_EQ(UpsRecord.values[VAL_BATTCOND], 1);
  EXPECT_EQ(UpsRecord.values[VAL_BATTREMAIN], 50);
}

TEST_F(TildeTest, ChecksumModeWaitsForTheDigitsAndCountsBadReplies) {
  Link(true);
  Identify(true);
  UpsRecord.capabilities = 0;
  UpsRecord.liveStatus = UpsBit(UPS_ST_COMMLOST);
  // STB data without its digits is not taken until they come.
  Tick();
  EXPECT_EQ(Sent(true), Summed("~00P003STB"));
  std::string stb = Data("0;1;3;;40");
  pty.Send(stb);
  for (int i = 0; i < 5; ++i) Tick();
  EXPECT_EQ(UpsRecord.values[VAL_BATTSTS], -1);
  pty.Send(Summed(stb).substr(stb.size()));
  Tick();
  EXPECT_EQ(UpsRecord.values[VAL_BATTSTS], 1);
  EXPECT_FALSE(UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST));  // a data reply clears it

  // Wrong digits and malformed replies are counted and skipped.
  EXPECT_EQ(Mnemonic(Exchange(Data("1;2") + "00", true)), "STI");
  EXPECT_EQ(UpsRecord.values[VAL_INPHASE], -1);
  EXPECT_EQ(Mnemonic(Exchange("~00Q", true)), "STO");
  EXPECT_EQ(Mnemonic(Exchange(Summed(Data("")), true)), "STA");
  EXPECT_EQ(ComStat.rxCsErr, 1u);
  EXPECT_EQ(ComStat.rxParseErr, 1u);
  EXPECT_EQ(ComStat.rxTimeout, 0u);
}

}  // namespace
