// Link manager: port search, protocol detection order, status bit 46, the
// poll dispatch and the command entry, with recording protocol drivers on
// pseudo-terminals that stand in for the numbered serial ports.
#include <gtest/gtest.h>

#include <cstdarg>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "core/svc.h"
#include "events/evtlog.h"
#include "support/events_fakes.h"
#include "support/monoclock.h"
#include "support/pty.h"
#include "support/scratch.h"
#include "ups/caret.h"
#include "ups/com.h"
#include "ups/tilde.h"
#include "ups/usbhid.h"

namespace {

struct Probe {
  char protocol;  // 't' tilde, 'c' caret, 'u' USB
  uint8_t slot;
  uint8_t port;
  speed_t speed;
  dev_t device;  // the device opened in the slot
};
std::vector<Probe> probes;
std::vector<std::pair<char, uint8_t>> polls;
char answering = 0;  // the protocol whose probe succeeds
bool dropOnPoll = false;

Probe Record(char protocol, uint8_t slot) {
  Probe p{protocol, slot, ComSlot.port[slot], 0, 0};
  if (ComSlot.fd[slot] >= 0) {
    struct termios t {};
    tcgetattr(ComSlot.fd[slot], &t);
    p.speed = cfgetospeed(&t);
    struct stat st {};
    fstat(ComSlot.fd[slot], &st);
    p.device = st.st_rdev;
  }
  probes.push_back(p);
  return p;
}
int TildeProbe(uint8_t slot) { return Record('t', slot), answering == 't'; }
int CaretProbe(uint8_t slot) { return Record('c', slot), answering == 'c'; }
int UsbProbe() {
  Record('u', 0);
  if (answering != 'u') return 0;
  ComSlot.fd[0] = open("/dev/null", O_RDWR | O_CLOEXEC);  // the HID device lives in slot 0
  return 1;
}
void PollStep(char protocol, uint8_t slot) {
  polls.emplace_back(protocol, slot);
  if (dropOnPoll) ComOps.Close(slot);  // the driver gives the link up
}
void TildePoll(uint8_t slot) { PollStep('t', slot); }
void CaretPoll(uint8_t slot) { PollStep('c', slot); }
void UsbPoll(uint8_t slot) { PollStep('u', slot); }
// The commands each driver was handed: protocol, command bit number and
// the arguments as the driver takes them.
std::vector<std::string> handed;
void HandTo(char protocol, uint64_t code, const UpsCommandArgs& a) {
  std::string s = std::string(1, protocol) + " " + std::to_string(__builtin_ctzll(code)) + ":";
  if (a.words) {
    for (int i = 0; i < 6; ++i) s += " " + std::to_string(a.words[i]);
  } else if (a.text[0] || a.text[1]) {
    s += std::string(" ") + (a.text[0] ? a.text[0] : "-") + " " + (a.text[1] ? a.text[1] : "-");
  } else {
    s += " " + std::to_string(a.number[0]) + " " + std::to_string(a.number[1]);
  }
  handed.push_back(s);
}
void TildeCommand(uint64_t code, const UpsCommandArgs& a) { HandTo('t', code, a); }
void CaretCommand(uint64_t code, const UpsCommandArgs& a) { HandTo('c', code, a); }
void UsbCommand(uint64_t code, const UpsCommandArgs& a) { HandTo('u', code, a); }
int NoFrames(uint32_t) { return 0; }  // the fake drivers queue nothing to take back

dev_t DeviceOf(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_rdev;
}

class ComLinkTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    saved[0] = TildeOps;
    saved[1] = CaretOps;
    savedUsb = UsbHidOps;
    TildeOps = UpsProtocolOps{TildeProbe, TildePoll, nullptr, TildeCommand, NoFrames};
    CaretOps = UpsProtocolOps{CaretProbe, CaretPoll, nullptr, CaretCommand, NoFrames};
    UsbHidOps = UsbHidOpsTable{UsbPoll, UsbProbe, UsbCommand, NoFrames};
    probes.clear();
    polls.clear();
    handed.clear();
    answering = 0;
    dropOnPoll = false;
    UpsRecord.liveStatus = 0;
    snprintf(ComDevicePrefix, sizeof ComDevicePrefix, "%s/ttyS", tmp.c_str());
    memset(ComPortPresent, 0, sizeof ComPortPresent);
    path[0] = 0;
  }
  void TearDown() override {
    COM_CloseAll();
    TildeOps = saved[0];
    CaretOps = saved[1];
    UsbHidOps = savedUsb;
    snprintf(ComDevicePrefix, sizeof ComDevicePrefix, "/dev/ttyS");
    ScratchTest::TearDown();
  }
  // Serial ports ttyS0..ttyS(n-1), each a pseudo-terminal.
  void MakePorts(int n) {
    for (int i = 0; i < n; ++i) {
      ports.push_back(std::make_unique<TestPty>());
      ASSERT_EQ(symlink(ports.back()->path().c_str(), TmpPath("ttyS" + std::to_string(i)).c_str()), 0);
    }
  }
  void RemovePorts() {
    for (size_t i = 0; i < ports.size(); ++i) unlink(TmpPath("ttyS" + std::to_string(i)).c_str());
    ports.clear();
  }
  // As main does: the "COM Port=" choice sets the slot, then the init.
  void Start(int comPort) {
    ComSlot.port[0] = comPort >= 2 ? comPort - 1 : 0;
    ComSlot.scan[0] = comPort == 0;
    ComSlot.port[1] = 0;
    COM_Init(dir.c_str(), path, comPort >= 2 ? comPort - 1 : 0, -1);
  }
  // The driver reads the UPS's status through its debounce, and the alarm
  // processing has its ticks to act on it.
  void Settle() {
    COM_StatusKnown();
    for (int i = 0; i < COM_STATUS_TICKS; ++i) ComOps.Poll();
  }
  std::string Trail() {
    std::string s;
    for (const auto& p : probes) s += std::string(1, p.protocol) + std::to_string(p.port) + " ";
    probes.clear();
    return s;
  }
  UpsProtocolOps saved[2];
  UsbHidOpsTable savedUsb;
  std::vector<std::unique_ptr<TestPty>> ports;
  char path[65];
};

TEST_F(ComLinkTest, AutomaticSearchProbesOneSerialPortPerPassAndMarksTheLostLinkOncePerRound) {
  MakePorts(2);
  Start(0);
  std::vector<std::string> trails;
  std::vector<bool> lost;
  for (int pass = 0; pass < 5; ++pass) {
    ComOps.ScanPorts();
    ComOps.Detect();
    trails.push_back(Trail());
    lost.push_back((UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST)) != 0);
    UpsRecord.liveStatus = 0;
  }
  // A missing USB device costs no wait: the pass goes on to the next port.
  // The pass that passed the last port goes on from USB and marks the loss.
  EXPECT_EQ(trails, (std::vector<std::string>{"u0 t1 c1 ", "t2 c2 ", "u0 t1 c1 ", "t2 c2 ", "u0 t1 c1 "}));
  EXPECT_EQ(lost, (std::vector<bool>{false, false, true, false, true}));
  EXPECT_EQ(ComSlot.fd[0], -1);
  EXPECT_EQ(ComSlot.link[0], COM_LINK_NONE);
}

// Status bit 46 after one detection pass, by the configured choice and what
// the pass found: set only when the whole pass found nothing.
struct LostCase {
  const char* name;
  int comPort;
  int ports;            // pseudo-terminals ttyS0..
  bool missingPath;     // "COM Path=" names a device that does not exist
  char answering;       // the protocol whose probe succeeds, 0 none
  const char* trail;
  bool lost;
};

TEST_F(ComLinkTest, OnePassMarksTheLinkLostOnlyWhenItFoundNothing) {
  const LostCase cases[] = {
      {"fixed port, no answer", 2, 1, false, 0, "t1 c1 ", true},
      {"fixed port found by tilde", 2, 1, false, 't', "t1 ", false},
      {"fixed port found by caret after tilde", 2, 1, false, 'c', "t1 c1 ", false},
      {"fixed port that does not exist", 3, 1, false, 0, "", true},
      {"device path that does not exist", 2, 1, true, 0, "", true},
      {"USB without a device", 1, 0, false, 0, "u0 ", true},
      {"USB found", 1, 0, false, 'u', "u0 ", false},
      {"search with no port that opens", 0, 0, false, 0, "u0 ", true},
      {"search whose device path does not exist", 0, 2, true, 0, "u0 ", true},
      {"search finding USB", 0, 1, false, 'u', "u0 ", false},
      {"search past USB to the first port", 0, 1, false, 't', "u0 t1 ", false},
  };
  for (const LostCase& c : cases) {
    SCOPED_TRACE(c.name);
    COM_CloseAll();
    RemovePorts();
    memset(ComPortPresent, 0, sizeof ComPortPresent);
    MakePorts(c.ports);
    snprintf(path, sizeof path, "%s", c.missingPath ? TmpPath("gone").c_str() : "");
    Start(c.comPort);
    UpsRecord.liveStatus = 0;
    probes.clear();
    answering = c.answering;
    ComOps.Detect();
    EXPECT_EQ(Trail(), c.trail);
    EXPECT_EQ((UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST)) != 0, c.lost);
  }
}

TEST_F(ComLinkTest, ASearchOverEveryPortNumberVisitsEachOnce) {
  Start(0);
  memset(ComPortPresent, 1, sizeof ComPortPresent);  // none of them opens
  for (int pass = 0; pass < 2; ++pass) {
    UpsRecord.liveStatus = 0;
    ComOps.Detect();
    EXPECT_EQ(Trail(), "u0 ");
    EXPECT_TRUE(UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST));
  }
}

TEST_F(ComLinkTest, ANewLinkLeavesTheStatusWordsAndTheirCountsToItsDriver) {
  MakePorts(1);
  Start(2);
  memset(UpsRecord.debounce, 3, sizeof UpsRecord.debounce);
  ComOps.Detect();  // no UPS: nothing of the record changes
  EXPECT_EQ(UpsRecord.debounce[UPS_ST_ACFAIL], 3);
  answering = 't';
  UpsRecord.liveStatus = UpsBit(UPS_ST_ACFAIL) | UpsBit(UPS_ST_COMMLOST);
  ComOps.Detect();
  ASSERT_EQ(ComSlot.link[0], COM_LINK_TILDE);
  // The driver's probe sets the counts for its own threshold; the status
  // words stay until the new link's replies change them.
  for (int8_t d : UpsRecord.debounce) EXPECT_EQ(d, 3);
  EXPECT_EQ(UpsRecord.liveStatus, UpsBit(UPS_ST_ACFAIL) | UpsBit(UPS_ST_COMMLOST));
}

TEST_F(ComLinkTest, SerialProbesRunTildeAt2400ThenCaretAt9600OnTheSamePort) {
  MakePorts(2);
  Start(3);  // fixed: ttyS1
  for (int pass = 0; pass < 2; ++pass) {
    UpsRecord.liveStatus = 0;
    ComOps.Detect();
    ASSERT_EQ(probes.size(), 2u);
    EXPECT_EQ(probes[0].protocol, 't');
    EXPECT_EQ(probes[0].speed, static_cast<speed_t>(B2400));
    EXPECT_EQ(probes[1].protocol, 'c');
    EXPECT_EQ(probes[1].speed, static_cast<speed_t>(B9600));
    for (const auto& p : probes) EXPECT_EQ(p.device, DeviceOf(ports[1]->path()));
    probes.clear();
    EXPECT_TRUE(UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST));  // every failed pass with a fixed port
    EXPECT_EQ(ComSlot.port[0], 2);
    EXPECT_EQ(ComSlot.fd[0], -1);
  }
}

struct FoundCase {
  char protocol;
  int comPort;
  uint8_t link;
  UpsDriverCommandFn command;
};

TEST_F(ComLinkTest, AFoundDriverTakesThePollStepAndTheCommandEntry) {
  const FoundCase cases[] = {
      {'t', 2, COM_LINK_TILDE, TildeCommand},
      {'c', 2, COM_LINK_CARET, CaretCommand},
      {'u', 1, COM_LINK_USB, UsbCommand},
  };
  MakePorts(1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.protocol);
    ComSlot.link[0] = 0;
    Start(c.comPort);
    ComSlot.scan[0] = 1;  // found in automatic mode from this port on
    EXPECT_EQ(COM_DriverCommand(), TildeCommand);  // the tilde driver's until detection
    answering = c.protocol;
    ComOps.Detect();
    EXPECT_EQ(ComSlot.link[0], c.link);
    EXPECT_EQ(ComSlot.scan[0], 0);
    EXPECT_EQ(COM_DriverCommand(), c.command);
    handed.clear();
    Settle();
    COM_SendCommand(UPS_CMD_TST, 3);
    EXPECT_EQ(handed, std::vector<std::string>{std::string(1, c.protocol) + " 7: 3 0"});
    EXPECT_EQ(ComOps.CommandsPending(), 0);  // the fake driver queues no frame: done

    // A linked slot is polled every tick and not probed again.
    probes.clear();
    polls.clear();
    EXPECT_EQ(ComOps.Poll(), c.link);
    ComOps.Detect();
    EXPECT_TRUE(probes.empty());
    ASSERT_EQ(polls.size(), 1u);
    EXPECT_EQ(polls[0], std::make_pair(c.protocol, uint8_t{0}));

    // The driver gives the link up: the tick reports no link, detection probes anew.
    dropOnPoll = true;
    EXPECT_EQ(ComOps.Poll(), COM_LINK_NONE);
    dropOnPoll = false;
    answering = 0;
    ComOps.Detect();
    EXPECT_FALSE(probes.empty());
    EXPECT_EQ(COM_DriverCommand(), c.command);  // kept after the link is gone
    COM_CloseAll();
  }
}

TEST_F(ComLinkTest, CommandsGivenWithoutALinkWaitInOrderWithCopiesOfTheirArguments) {
  MakePorts(1);
  Start(2);
  uint16_t words[6] = {1, 2, 3, 4, 5, 65535};
  char last[] = "20240101";
  char next[] = "20270101";
  COM_SendCommand(UPS_CMD_SDC, words);
  COM_SendCommand(UPS_CMD_BRD, last, next);
  COM_SendCommand(UPS_CMD_ROF, 2, 1);
  COM_SendCommand(UpsBit(5));  // a command no driver knows is not kept
  words[0] = 9;
  last[0] = 'x';
  EXPECT_EQ(ComOps.CommandsPending(), 3);
  ComOps.Detect();  // no UPS answers
  ComOps.Poll();
  EXPECT_TRUE(handed.empty());
  EXPECT_EQ(ComOps.CommandsPending(), 3);

  // A caret UPS is found: once its status is known the three go to its
  // driver as they were given.
  answering = 'c';
  ComOps.Detect();
  ASSERT_EQ(ComSlot.link[0], COM_LINK_CARET);
  ComOps.Poll();
  EXPECT_TRUE(handed.empty());
  Settle();
  EXPECT_EQ(handed, (std::vector<std::string>{"c 23: 1 2 3 4 5 65535", "c 48: 20240101 20270101", "c 1: 2 1"}));
  EXPECT_EQ(ComOps.CommandsPending(), 0);

  // Without a link at most 16 wait: the oldest make room for the newest.
  ComOps.Close(0);
  handed.clear();
  for (int i = 0; i < COM_KEPT_COMMANDS + 4; ++i) COM_SendCommand(UPS_CMD_TST, i);
  EXPECT_EQ(ComOps.CommandsPending(), COM_KEPT_COMMANDS);
  answering = 't';
  ComOps.Detect();
  Settle();
  ASSERT_EQ(handed.size(), static_cast<size_t>(COM_KEPT_COMMANDS));
  EXPECT_EQ(handed.front(), "t 7: 4 0");
  EXPECT_EQ(handed.back(), "t 7: 19 0");

  // The restore and delayed-shutdown commands of a countdown's end are never
  // the ones that make room, however many others follow them.
  ComOps.Close(0);
  handed.clear();
  COM_SendCommand(UPS_CMD_SDR, 90);
  COM_SendCommand(UPS_CMD_SDA, 120, 0);
  for (int i = 0; i < COM_KEPT_COMMANDS + 4; ++i) COM_SendCommand(UPS_CMD_TST, i);
  EXPECT_EQ(ComOps.CommandsPending(), COM_KEPT_COMMANDS);
  ComOps.Detect();
  Settle();
  ASSERT_EQ(handed.size(), static_cast<size_t>(COM_KEPT_COMMANDS));
  EXPECT_EQ(handed[0], "t 9: 90 0");
  EXPECT_EQ(handed[1], "t 10: 120 0");
  EXPECT_EQ(handed[2], "t 7: 6 0");
  EXPECT_EQ(handed.back(), "t 7: 19 0");
}

TEST_F(ComLinkTest, DriversThatAreNotBuiltAreSkipped) {
  MakePorts(1);
  CaretOps = UpsProtocolOps{};
  UsbHidOps = UsbHidOpsTable{};
  Start(2);
  ComOps.Detect();
  EXPECT_EQ(Trail(), "t1 ");
  EXPECT_TRUE(UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST));
  EXPECT_EQ(ComSlot.fd[0], -1);

  UpsRecord.liveStatus = 0;
  Start(1);  // USB chosen but not built: the link is lost on every pass
  ComOps.Detect();
  EXPECT_EQ(Trail(), "");
  EXPECT_TRUE(UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST));
  EXPECT_EQ(ComOps.Poll(), COM_LINK_NONE);
  EXPECT_TRUE(polls.empty());
}

TEST_F(ComLinkTest, DevicePathReplacesTheNumberedDeviceButNotUsb) {
  MakePorts(2);
  TestPty named;
  snprintf(path, sizeof path, "%s", named.path().c_str());
  Start(0);
  for (int pass = 0; pass < 2; ++pass) ComOps.Detect();
  ASSERT_EQ(Trail(), "u0 t1 c1 t2 c2 ");
  Start(3);
  ComOps.Detect();
  ASSERT_EQ(probes.size(), 2u);
  for (const auto& p : probes) EXPECT_EQ(p.device, DeviceOf(named.path()));

  // The text is read at each detection: a changed "COM Path=" needs no new init.
  probes.clear();
  snprintf(path, sizeof path, "%s", ports[0]->path().c_str());
  ComOps.Detect();
  ASSERT_EQ(probes.size(), 2u);
  EXPECT_EQ(probes[0].device, DeviceOf(ports[0]->path()));
}

TEST_F(ComLinkTest, AutomaticSearchLeavesTheModemPortAlone) {
  MakePorts(3);
  Start(0);
  ComSlot.port[1] = 2;  // the GSM modem on ttyS1
  for (int pass = 0; pass < 4; ++pass) {
    ComOps.ScanPorts();
    ComOps.Detect();
  }
  EXPECT_EQ(Trail(), "u0 t1 c1 t3 c3 u0 t1 c1 t3 c3 ");
  EXPECT_EQ(ComSlot.fd[1], -1);
}

TEST_F(ComLinkTest, APortThatCannotBeOpenedIsPassedOver) {
  MakePorts(1);
  ASSERT_EQ(symlink(TmpPath("gone").c_str(), TmpPath("ttyS1").c_str()), 0);
  Scratch_WriteFile(TmpPath("ttyS2"), "");  // exists, not a terminal
  Start(0);
  for (int pass = 0; pass < 4; ++pass) {
    ComOps.ScanPorts();
    ComOps.Detect();
  }
  // ttyS1 dangles (not present); ttyS2 is present but fails to open, so
  // the passes after the first pass it over and go on at once from USB.
  EXPECT_EQ(Trail(), "u0 t1 c1 u0 t1 c1 u0 t1 c1 u0 t1 c1 ");
  EXPECT_TRUE(UpsRecord.liveStatus & UpsBit(UPS_ST_COMMLOST));
  EXPECT_EQ(ComSlot.fd[0], -1);
}

TEST_F(ComLinkTest, InitTakesUpToTwoPortNumbersAndClosesNothingItDidNotOpen) {
  ComSlot.port[0] = ComSlot.port[1] = 9;
  COM_Init(dir.c_str(), "", 4, -1);
  EXPECT_EQ(ComSlot.port[0], 4);
  EXPECT_EQ(ComSlot.port[1], 9);
  COM_Init(dir.c_str(), "", 5, 6, 7, -1);
  EXPECT_EQ(ComSlot.port[0], 5);
  EXPECT_EQ(ComSlot.port[1], 6);
  EXPECT_EQ(ComSlot.detect[0], 1);
  EXPECT_EQ(ComSlot.detect[1], 0);
  EXPECT_EQ(ComSlot.fd[0], -1);
  EXPECT_EQ(ComSlot.fd[1], -1);
  EXPECT_EQ(ComPortPresent[0], 1);

  MakePorts(1);
  ASSERT_EQ(ComOps.Open(0, 2400, 0, 8, 1, ports[0]->path().c_str()), 1);
  ASSERT_EQ(ComOps.Open(1, 2400, 0, 8, 1, ports[0]->path().c_str()), 1);
  COM_CloseAll();
  EXPECT_EQ(ComSlot.fd[0], -1);
  EXPECT_EQ(ComSlot.fd[1], -1);
}

}  // namespace

TEST_F(ComLinkTest, DroppedCommandsNeverReachTheNextLinkAndAreNamedInOneRecord) {
  MakePorts(1);
  Start(2);
  g_logged.clear();
  const auto savedAdd = EvtLogOps.Add;
  EvtLogOps.Add = RecordEvent;
  COM_SendCommand(UPS_CMD_SDR, 90);
  COM_SendCommand(UPS_CMD_ROF, 2, 1);
  COM_SendCommand(UPS_CMD_SDA, 60, 0);
  EXPECT_EQ(ComOps.DropCommands(UPS_CMD_SDR | UPS_CMD_SDA, "The host has resumed"), 2);
  EXPECT_EQ(ComOps.DropCommands(UPS_CMD_SDR | UPS_CMD_SDA, "Again"), 0);  // nothing left: nothing logged
  EvtLogOps.Add = savedAdd;
  EXPECT_EQ(g_logged, (std::vector<LoggedEvent>{
                          {-1, {"2", "The host has resumed: the restore (90 min), the delayed shutdown (60 s) not sent to the UPS"}}}));
  answering = 't';
  ComOps.Detect();
  Settle();
  EXPECT_EQ(handed, (std::vector<std::string>{"t 1: 2 1"}));
  EXPECT_EQ(ComOps.CommandsPending(), 0);
}

namespace {

void PassMs(int64_t ms) { ManualMonoClock::Pass(ms); }

class KeptCommandTest : public ComLinkTest {
 protected:
  void SetUp() override {
    ComLinkTest::SetUp();
    savedAdd_ = EvtLogOps.Add;
    EvtLogOps.Add = RecordEvent;
    g_logged.clear();
    UpsRecord.outletOn = 0;
    MakePorts(1);
    Start(2);
  }
  void TearDown() override {
    EvtLogOps.Add = savedAdd_;
    ComLinkTest::TearDown();
  }
  void LinkTilde() {
    answering = 't';
    ComOps.Detect();
    ASSERT_EQ(ComSlot.link[0], COM_LINK_TILDE);
  }
  void Polls(int n) {
    for (int i = 0; i < n; ++i) ComOps.Poll();
  }

 private:
  ManualMonoClock clock_;
  void (*savedAdd_)(int, ...) = nullptr;
};

TEST_F(KeptCommandTest, OnANewLinkOnlyTheEndOfACountdownGoesOutBeforeTheUpsStatusIsKnown) {
  for (int link = 0; link < 2; ++link) {
    SCOPED_TRACE(link == 0 ? "the first link" : "a link after a lost one");
    handed.clear();
    COM_SendCommand(UPS_CMD_ROF, 1, 1);
    COM_SendCommand(UPS_CMD_SDR, 90);
    COM_SendCommand(UPS_CMD_TST, 3);
    COM_SendCommand(UPS_CMD_SDA, 120, 0);
    LinkTilde();
    Polls(50);
    EXPECT_EQ(handed, (std::vector<std::string>{"t 9: 90 0", "t 10: 120 0"}));
    // The driver has read the status; the alarm processing gets its ticks.
    COM_StatusKnown();
    Polls(COM_STATUS_TICKS - 1);
    EXPECT_EQ(handed.size(), 2u);
    ComOps.Poll();
    EXPECT_EQ(handed, (std::vector<std::string>{"t 9: 90 0", "t 10: 120 0", "t 1: 1 1", "t 7: 3 0"}));
    // Now every command goes out as it is given.
    COM_SendCommand(UPS_CMD_BUZ, 1);
    EXPECT_EQ(handed.back(), "t 12: 1 0");
    ComOps.Close(0);  // the link is lost: the next one starts knowing nothing
  }
}

struct OutletCase {
  const char* name;
  std::vector<std::pair<uint64_t, int>> given;  // code and outlet, in order, before the status is known
  uint8_t reported;                             // outlets whose state the driver read
  uint8_t on;                                   // ... and which of them are on
  std::vector<std::string> handed;
  std::vector<LoggedEvent> logged;
};

TEST_F(KeptCommandTest, ALaterCommandForAnOutletReplacesOneThatHasNotGoneOut) {
  const OutletCase cases[] = {
      {"off, then on for an outlet the UPS reports on",
       {{UPS_CMD_ROF, 1}, {UPS_CMD_RON, 1}},
       0x01,
       0x01,
       {},
       {{-1, {"1", "Outlet 1 is on at the UPS already: outlet 1 off, outlet 1 on not sent to the UPS"}}}},
      {"off, then on for an outlet the UPS reports off", {{UPS_CMD_ROF, 1}, {UPS_CMD_RON, 1}}, 0x01, 0x00,
       {"t 2: 1 1"}, {}},
      {"off, then on for an outlet whose state is not known", {{UPS_CMD_ROF, 1}, {UPS_CMD_RON, 1}}, 0x00, 0x01,
       {"t 2: 1 1"}, {}},
      {"off, on, off: the last wins", {{UPS_CMD_ROF, 2}, {UPS_CMD_RON, 2}, {UPS_CMD_ROF, 2}}, 0x02, 0x02,
       {"t 1: 2 1"}, {}},
      {"off, on, off for an outlet the UPS reports off",
       {{UPS_CMD_ROF, 2}, {UPS_CMD_RON, 2}, {UPS_CMD_ROF, 2}},
       0x02,
       0x00,
       {},
       {{-1, {"1", "Outlet 2 is off at the UPS already: outlet 2 on, outlet 2 off not sent to the UPS"}}}},
      {"other outlets are left alone", {{UPS_CMD_ROF, 1}, {UPS_CMD_RON, 2}}, 0x03, 0x03,
       {"t 1: 1 1", "t 2: 2 1"}, {}},
      // A single command goes as given, whatever the UPS reports.
      {"one command for an outlet the UPS reports in that state", {{UPS_CMD_RON, 1}}, 0x01, 0x01,
       {"t 2: 1 1"}, {}},
  };
  for (const OutletCase& c : cases) {
    SCOPED_TRACE(c.name);
    COM_CloseAll();
    handed.clear();
    g_logged.clear();
    LinkTilde();
    for (const auto& [code, outlet] : c.given) COM_SendCommand(code, outlet, 1);
    UpsRecord.outletOn = c.on;
    COM_OutletsReported(c.reported);
    COM_StatusKnown();
    Polls(COM_STATUS_TICKS);
    EXPECT_EQ(handed, c.handed);
    EXPECT_EQ(g_logged, c.logged);
    EXPECT_EQ(ComOps.CommandsPending(), 0);
  }
}

// The command a full queue gives up for a newer one is named in a record,
// as every other command dropped before it went out.
TEST_F(KeptCommandTest, ACommandAFullQueueGivesUpIsNamedInARecord) {
  COM_SendCommand(UPS_CMD_SDA, 120, 0);
  COM_SendCommand(UPS_CMD_ROF, 1, 1);
  for (int i = 2; i < COM_KEPT_COMMANDS; ++i) COM_SendCommand(UPS_CMD_BUZ, 1);
  EXPECT_TRUE(g_logged.empty());
  COM_SendCommand(UPS_CMD_TST, 3);
  EXPECT_EQ(ComOps.CommandsPending(), COM_KEPT_COMMANDS);
  ASSERT_EQ(g_logged.size(), 1u);
  EXPECT_EQ(g_logged[0].code, -1);
  ASSERT_EQ(g_logged[0].args.size(), 2u);
  EXPECT_EQ(g_logged[0].args[0], "2");
  EXPECT_NE(g_logged[0].args[1].find("outlet 1 off not sent to the UPS"), std::string::npos) << g_logged[0].args[1];
}

TEST_F(KeptCommandTest, ACommandKeptAMinuteIsDroppedWithItsRecordButNotTheEndOfACountdown) {
  COM_SendCommand(UPS_CMD_TST, 3);
  COM_SendCommand(UPS_CMD_SDA, 120, 0);
  // The state outlet 2 must take for the UPS's condition (its load shed on
  // battery) stands as long as the condition, not a minute.
  ComOps.SendOutletState(2, 0, 1);
  PassMs(30000);
  COM_SendCommand(UPS_CMD_ROF, 1, 1);
  PassMs(COM_KEPT_MS - 30000 - 1);
  Polls(1);
  EXPECT_EQ(ComOps.CommandsPending(), 4);
  EXPECT_TRUE(g_logged.empty());
  PassMs(1);
  Polls(1);
  EXPECT_EQ(g_logged, (std::vector<LoggedEvent>{{-1, {"2", "Kept for 60 s: the self-test not sent to the UPS"}}}));
  PassMs(30000);
  Polls(5);
  EXPECT_EQ(g_logged.back(), (LoggedEvent{-1, {"2", "Kept for 60 s: outlet 1 off not sent to the UPS"}}));
  EXPECT_EQ(g_logged.size(), 2u);
  // The end of a countdown waits however long the link stays away, and so
  // does an outlet's state for the condition, once the status is known.
  PassMs(3600000);
  Polls(5);
  EXPECT_EQ(ComOps.CommandsPending(), 2);
  LinkTilde();
  ComOps.Poll();
  EXPECT_EQ(handed, std::vector<std::string>{"t 10: 120 0"});
  EXPECT_EQ(g_logged.size(), 2u);
}

}  // namespace
