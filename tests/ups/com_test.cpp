// Serial port driver: line settings, reads and writes without blocking, the
// trace file and the port-present table, on pseudo-terminals.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "core/svc.h"
#include "support/pty.h"
#include "support/scratch.h"
#include "ups/com.h"
#include "ups/tilde.h"

namespace {

constexpr time_t kFixedTime = 1767225600 + 86400 * 40 + 3600 * 7 + 60 * 8 + 9;
time_t FixedClock() { return kFixedTime; }

std::string Stamp() {
  struct tm t {};
  time_t now = kFixedTime;
  localtime_r(&now, &t);
  char out[32];
  snprintf(out, sizeof out, "%02d/%02d %02d:%02d:%02d", t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return out;
}

int CountOpenFds() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (d && readdir(d)) ++n;
  if (d) closedir(d);
  return n;
}

class ComTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    savedClock = SvcWallClock;
    SvcWallClock = FixedClock;
    snprintf(ComDevicePrefix, sizeof ComDevicePrefix, "%s/ttyS", tmp.c_str());
    ComSlot.port[0] = ComSlot.port[1] = 0;
    COM_Init(dir.c_str(), "", 0, -1);
    ComOps.ResetStats();
  }
  void TearDown() override {
    COM_CloseAll();
    ComOps.SetTrace(0);
    SvcWallClock = savedClock;
    snprintf(ComDevicePrefix, sizeof ComDevicePrefix, "/dev/ttyS");
    ScratchTest::TearDown();
  }
  int OpenPty(uint8_t slot = 0, int baud = 2400) { return ComOps.Open(slot, baud, 0, 8, 1, pty.path().c_str()); }
  struct termios LineSettings() {
    struct termios t {};
    tcgetattr(pty.master(), &t);  // the master reports the slave's settings
    return t;
  }
  TestPty pty;
  time_t (*savedClock)() = nullptr;
};

struct LineCase {
  int baud, parity, dataBits, stopBits;
  speed_t speed;
  tcflag_t parityFlags;  // PARENB | PARODD as expected
  tcflag_t size;
  bool twoStops;
};

TEST_F(ComTest, OpenSetsARawLineAtTheAskedFraming) {
  const LineCase cases[] = {
      {2400, 0, 8, 1, B2400, 0, CS8, false},
      {9600, 1, 7, 2, B9600, PARENB, CS7, true},
      {115200, 2, 8, 1, B115200, PARENB | PARODD, CS8, false},
      {38400, 3, 6, 1, B9600, 0, CS5, false},  // unknown speed and parity, odd size
      {1200, 0, 8, 1, B1200, 0, CS8, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.baud);
    // The port as another program may have left it: cooked, stripping, echoing.
    struct termios dirty = LineSettings();
    dirty.c_lflag |= ICANON | ECHO | ISIG | ECHOE;
    dirty.c_iflag |= ICRNL | INLCR | IXON | IXOFF | ISTRIP | IGNCR;
    dirty.c_oflag |= OPOST | ONLCR;
    dirty.c_cflag &= ~(CLOCAL | CREAD);
    dirty.c_cflag |= CSTOPB | PARENB;
    cfsetspeed(&dirty, B300);
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &dirty), 0);

    ASSERT_EQ(ComOps.Open(0, c.baud, c.parity, c.dataBits, c.stopBits, pty.path().c_str()), 1);
    struct termios t = LineSettings();
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ(cfgetispeed(&t), c.speed);
    // A pseudo-terminal always reads back 8 data bits without parity, but
    // keeps the odd-parity flag as set.
    if (c.parityFlags & PARENB) {
      EXPECT_EQ(t.c_cflag & PARODD, c.parityFlags & PARODD);
    }
    if (c.size == CS8) {
      EXPECT_EQ(t.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
    }
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStops);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | ECHOE), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IXON | IXOFF | ISTRIP | IGNCR), 0u);
    EXPECT_EQ(t.c_oflag & (OPOST | ONLCR), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_GE(ComSlot.fd[0], 0);
    EXPECT_TRUE(fcntl(ComSlot.fd[0], F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(ComSlot.link[0], COM_LINK_NONE);
    ComOps.Close(0);
  }
}

TEST_F(ComTest, FailedOpensLeaveTheSlotClosedAndLeakNothing) {
  std::string plain = TmpPath("plain-file");
  Scratch_WriteFile(plain, "x");
  int before = CountOpenFds();
  ComSlot.port[0] = 0;
  EXPECT_EQ(ComOps.Open(0, 2400, 0, 8, 1, nullptr), 0);  // port 0 is USB: no serial device
  EXPECT_EQ(ComOps.Open(0, 2400, 0, 8, 1, ""), 0);
  EXPECT_EQ(ComOps.Open(0, 2400, 0, 8, 1, TmpPath("missing").c_str()), 0);
  EXPECT_EQ(ComOps.Open(0, 2400, 0, 8, 1, plain.c_str()), 0);  // not a terminal
  ComSlot.port[0] = 3;  // <prefix>2 does not exist
  EXPECT_EQ(ComOps.Open(0, 2400, 0, 8, 1, nullptr), 0);
  EXPECT_EQ(ComSlot.fd[0], -1);
  EXPECT_EQ(CountOpenFds(), before);
}

TEST_F(ComTest, NumberedPortAndReopenCloseTheOldDescriptor) {
  ASSERT_EQ(symlink(pty.path().c_str(), TmpPath("ttyS1").c_str()), 0);
  ComSlot.port[1] = 2;
  ASSERT_EQ(ComOps.Open(1, 9600, 0, 8, 1, nullptr), 1);
  int before = CountOpenFds();
  ASSERT_EQ(ComOps.Open(1, 9600, 0, 8, 1, nullptr), 1);
  ASSERT_EQ(ComOps.Open(1, 9600, 0, 8, 1, pty.path().c_str()), 1);  // a path too
  EXPECT_EQ(CountOpenFds(), before);
  EXPECT_EQ(ComOps.Close(1), 1);
  EXPECT_EQ(ComSlot.fd[1], -1);
  EXPECT_EQ(ComOps.Close(1), 1);  // already closed
}

// A hang-up on the line must not reach the daemon as SIGHUP: the port never
// becomes the controlling terminal of the session that opens it.
TEST_F(ComTest, PortNeverBecomesTheControllingTerminal) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setsid();  // a session without terminal, like the daemon's
    int ok = ComOps.Open(0, 2400, 0, 8, 1, pty.path().c_str());
    close(pty.master());
    close(pty.slave());
    int noTty = open("/dev/tty", O_RDWR) < 0 ? 1 : 0;
    char c = static_cast<char>(ok && noTty ? 'R' : 'F');
    if (write(ready[1], &c, 1) != 1) _exit(3);
    usleep(300000);  // the parent hangs the line up meanwhile
    _exit(ok && noTty ? 0 : 2);
  }
  close(ready[1]);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  EXPECT_EQ(c, 'R');
  pty.HangUp();
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ComTest, ReadsAndWritesNeverBlock) {
  uint8_t buf[64];
  int len = 10;
  EXPECT_EQ(ComOps.Read(0, &len, buf), 0);  // closed slot
  EXPECT_EQ(ComOps.Write(0, 3, reinterpret_cast<const uint8_t*>("abc")), 0);
  ASSERT_EQ(OpenPty(), 1);

  EXPECT_EQ(ComOps.Read(0, &len, buf), 0);  // nothing pending
  EXPECT_EQ(len, 10);
  len = 0;
  EXPECT_EQ(ComOps.Read(0, &len, buf), 1);

  const uint8_t frame[] = "~00P003MOD";
  EXPECT_EQ(ComOps.Write(0, 10, frame), 1);
  EXPECT_EQ(pty.Receive(10), "~00P003MOD");

  pty.Send(std::string("~00D003AB\r\0", 11));
  len = 4;
  ASSERT_EQ(ComOps.Read(0, &len, buf), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), len), "~00D");
  len = 64;
  ASSERT_EQ(ComOps.Read(0, &len, buf), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), len), std::string("003AB\r\0", 7));

  // Pending input is discarded, however much there is.
  pty.Send(std::string(200, 'z'));
  ComOps.ClearRx(0);
  EXPECT_EQ(pty.Pending(), 0);
  len = 64;
  EXPECT_EQ(ComOps.Read(0, &len, buf), 0);
}

TEST_F(ComTest, WriteToAPortThatTakesNothingGivesUp) {
  ASSERT_EQ(OpenPty(), 1);
  // Nobody reads the master: the line's buffers fill and writes stop taking bytes.
  std::string block(4096, 'x');
  int result = 1;
  int calls = 0;
  while (result == 1 && calls < 10000) {
    result = ComOps.Write(0, static_cast<int>(block.size()), reinterpret_cast<const uint8_t*>(block.data()));
    ++calls;
  }
  EXPECT_EQ(result, 0);
  pty.Drain();
}

TEST_F(ComTest, ReadAfterTheDeviceWentAwayFailsInsteadOfSpinning) {
  ASSERT_EQ(OpenPty(), 1);
  pty.HangUp();
  uint8_t buf[16];
  for (int i = 0; i < 3; ++i) {
    int len = 16;
    int r = ComOps.Read(0, &len, buf);
    // Either an error or "nothing now"; never a claim of bytes read.
    EXPECT_TRUE(r == 0 || len == 0);
  }
}

TEST_F(ComTest, TraceShowsTransfersWithStampsAndDirection) {
  // A link planted at the trace name must not be followed.
  std::string victim = TmpPath("victim");
  Scratch_WriteFile(victim, "keep");
  ASSERT_EQ(symlink(victim.c_str(), TmpPath("comm_data.txt").c_str()), 0);

  ComOps.SetTrace(1);
  ComSlot.port[0] = 3;
  ASSERT_EQ(OpenPty(), 1);
  const uint8_t q[] = "~00P003MOD";
  ASSERT_EQ(ComOps.Write(0, 10, q), 1);
  pty.Receive(10);
  pty.Send("~00D003AB\r");
  uint8_t buf[32];
  int len = 32;
  ASSERT_EQ(ComOps.Read(0, &len, buf), 1);
  ComOps.ClearRx(0);
  ASSERT_EQ(ComOps.Write(0, 2, reinterpret_cast<const uint8_t*>("~\x01")), 1);
  ComOps.TraceWrite("USB line\n");
  ComOps.Close(0);
  ComOps.SetTrace(0);
  ASSERT_EQ(OpenPty(), 1);
  ComOps.Write(0, 3, reinterpret_cast<const uint8_t*>("off"));  // not traced

  const std::string s = Stamp();
  std::string expected = s + " Open COM Port =3, 2400-0-8-1 Successful\n" + "\n" + s + " Tx: ~00P003MOD" + "\n" + s +
                         " Rx: ~00D003AB<0d>" + "\n" + s + " Clear Rx\n" + "\n" + s + " Tx: ~<01>" +
                         "USB line\n" + s + " Close COM Port\n";
  struct stat st {};
  ASSERT_EQ(lstat(TmpPath("comm_data.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(Scratch_ReadFile(TmpPath("comm_data.txt")), expected);
  EXPECT_EQ(Scratch_ReadFile(victim), "keep");
  pty.Drain();

  // Switching it on again starts a fresh file; a long binary read fits.
  ComOps.SetTrace(1);
  pty.Send(std::string(255, '\x01'));
  uint8_t big[256];
  len = 255;
  ASSERT_EQ(ComOps.Read(0, &len, big), 1);
  ComOps.SetTrace(0);
  std::string trace = Scratch_ReadFile(TmpPath("comm_data.txt"));
  std::string ones;
  for (int i = 0; i < len; ++i) ones += "<01>";
  EXPECT_EQ(trace, "\n" + s + " Rx: " + ones);

  // Whichever way the first transfer of a trace goes, and whatever went
  // before, it starts with its direction.
  const bool firstIsRead[] = {true, false, false};
  for (bool read : firstIsRead) {
    SCOPED_TRACE(read ? "a read first" : "a write first");
    ComOps.SetTrace(1);
    if (read) {
      pty.Send("~00A");
      len = 4;
      ASSERT_EQ(ComOps.Read(0, &len, big), 1);
    } else {
      ASSERT_EQ(ComOps.Write(0, 4, reinterpret_cast<const uint8_t*>("~00A")), 1);
      pty.Receive(4);
    }
    ComOps.SetTrace(0);
    EXPECT_EQ(Scratch_ReadFile(TmpPath("comm_data.txt")), "\n" + s + (read ? " Rx: ~00A" : " Tx: ~00A"));
  }
}

TEST_F(ComTest, ScanMarksExistingPortsAndNeverForgetsThem) {
  for (const char* name : {"ttyS0", "ttyS1", "ttyS5"}) Scratch_WriteFile(TmpPath(name), "");
  memset(ComPortPresent, 0, sizeof ComPortPresent);
  ComOps.ScanPorts();
  for (int k = 0; k < 256; ++k) EXPECT_EQ(ComPortPresent[k], (k == 0 || k == 1 || k == 2 || k == 6) ? 1 : 0) << k;
  unlink(TmpPath("ttyS5").c_str());
  ComOps.ScanPorts();
  EXPECT_EQ(ComPortPresent[6], 1);
}

TEST_F(ComTest, ResetStatsZeroesEveryCounter) {
  ComStat = ComStats{1, 2, 3, 4, 5, 6, 7};
  ComOps.ResetStats();
  EXPECT_EQ(ComStat.txOk + ComStat.txErr + ComStat.rxOk + ComStat.rxTimeout + ComStat.rxCsErr +
                ComStat.rxOverflow + ComStat.rxParseErr,
            0u);
}

}  // namespace
