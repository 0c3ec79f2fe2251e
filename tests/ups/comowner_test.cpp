// The UPS port is opened only on a character device of the expected owner
// (root in the daemon): another user's terminal is neither switched to raw
// mode nor read, and each refused path is logged once.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "support/events_fakes.h"
#include "support/pty.h"
#include "support/scratch.h"
#include "ups/com.h"

namespace {

class ComOwner : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    COM_Init(dir.c_str(), "", 0, -1);
    saved_ = ComDeviceOwner;
    ComDeviceOwner = getuid();
    g_logged.clear();
    EvtLogOps.Add = RecordEvent;
    // A terminal as a logged-in user has it: echo and line editing on.
    for (TestPty* p : {&mine, &theirs}) {
      struct termios t {};
      tcgetattr(p->slave(), &t);
      t.c_lflag |= ECHO | ICANON;
      tcsetattr(p->slave(), TCSANOW, &t);
    }
  }
  void TearDown() override {
    COM_CloseAll();
    EvtLogOps.Add = nullptr;
    ComDeviceOwner = saved_;
    ScratchTest::TearDown();
  }
  int Open(uint8_t slot, const std::string& path) { return ComOps.Open(slot, 2400, 0, 8, 1, path.c_str()); }
  // The terminal's modes are as its user set them.
  static bool Untouched(TestPty& p) {
    struct termios t {};
    tcgetattr(p.master(), &t);
    return (t.c_lflag & (ECHO | ICANON)) == (ECHO | ICANON);
  }
  static LoggedEvent Refusal(const std::string& path) {
    return {-1, {"2", "UPS port " + path + " not opened: not a character device owned by root"}};
  }

  TestPty mine, theirs;
  uid_t saved_ = 0;
};

TEST_F(ComOwner, TheUpsPortIsOpenedOnlyOnADeviceOfItsOwner) {
  // Another owner's terminal: refused before it is opened, logged once per
  // path however often the link manager tries.
  ComDeviceOwner = getuid() + 1;
  for (int attempt = 0; attempt < 3; ++attempt) {
    EXPECT_EQ(Open(0, theirs.path()), 0);
    EXPECT_EQ(ComSlot.fd[0], -1);
  }
  EXPECT_TRUE(Untouched(theirs));
  EXPECT_EQ(theirs.Drain(), "");
  EXPECT_EQ(g_logged, std::vector<LoggedEvent>{Refusal(theirs.path())});

  // A file that is no character device, even of the right owner; a path
  // that does not exist is no refusal (the UPS is simply not there).
  ComDeviceOwner = getuid();
  const std::string plain = TmpPath("plain");
  Scratch_WriteFile(plain, "x");
  EXPECT_EQ(Open(0, plain), 0);
  EXPECT_EQ(Open(0, TmpPath("missing")), 0);
  EXPECT_EQ(g_logged, (std::vector<LoggedEvent>{Refusal(theirs.path()), Refusal(plain)}));

  // The owner's own terminal opens, also through a link; after an open the
  // next refusal of a path is logged again.
  const std::string link = TmpPath("ttyUPS");
  ASSERT_EQ(symlink(mine.path().c_str(), link.c_str()), 0);
  EXPECT_EQ(Open(0, link), 1);
  EXPECT_FALSE(Untouched(mine));  // raw mode: it is the UPS port now
  EXPECT_EQ(Open(0, plain), 0);
  EXPECT_EQ(g_logged.size(), 3u);
  EXPECT_EQ(g_logged.back(), Refusal(plain));
}

TEST_F(ComOwner, TheModemSlotIsNotTheUpsPort) {
  ComDeviceOwner = getuid() + 1;
  EXPECT_EQ(Open(1, theirs.path()), 1);
  EXPECT_TRUE(g_logged.empty());
}

}  // namespace
