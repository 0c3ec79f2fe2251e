// Console broadcast: the notice file, the broadcast script and its failures.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "core/svc.h"
#include "events/react.h"
#include "events/wall.h"
#include "support/events_fakes.h"
#include "support/scratch.h"

namespace {

namespace fs = std::filesystem;

time_t g_now;
time_t FakeClock() { return g_now; }

class WallTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    setenv("TZ", "UTC", 1);
    tzset();
    savedClock_ = SvcWallClock;
    SvcWallClock = FakeClock;
    g_now = 1709993107;  // 03/09/2024 14:05:07 UTC
    InstallEventFakes();
    ReactSetting = ReactSettings{};
    ReactSetting.notifyEnable = 1;
    fs::create_directories(Path("command"));
    // The script keeps a copy of each notice it was started for.
    Script("cat '" + Notice() + "' >> '" + Path("shown.txt") + "'\n", 0755);
  }
  void TearDown() override {
    SvcWallClock = savedClock_;
    ScratchTest::TearDown();
  }
  std::string Notice() const { return TmpPath(WALL_FILE); }
  void Script(const std::string& body, mode_t mode) {
    Scratch_WriteFile(Path("command/command.wall"), "#!/bin/sh\n" + body);
    chmod(Path("command/command.wall").c_str(), mode);
  }

 private:
  time_t (*savedClock_)();
};

TEST_F(WallTest, EachNoticeReplacesTheLastAndRunsTheScript) {
  Wall_Broadcast(2, "Utility power failure");
  EXPECT_EQ(Scratch_ReadFile(Notice()), "03/09/2024 14:05:07 <Brisvane>: Utility power failure\n");
  Scratch_WaitScripts();
  g_now += 61;
  Wall_Broadcast(1, "100% %s %n done");
  EXPECT_EQ(Scratch_ReadFile(Notice()), "03/09/2024 14:06:08 <Brisvane>: 100% %s %n done\n");
  Scratch_WaitScripts();
  EXPECT_EQ(Scratch_ReadFile(Path("shown.txt")),
            "03/09/2024 14:05:07 <Brisvane>: Utility power failure\n"
            "03/09/2024 14:06:08 <Brisvane>: 100% %s %n done\n");
  EXPECT_TRUE(g_logged.empty());
  // A long text is cut to the 512-byte line.
  Wall_Broadcast(1, std::string(2000, 'x').c_str());
  Scratch_WaitScripts();
  EXPECT_EQ(Scratch_ReadFile(Notice()).size(), 511u + 1);
}

// The script runs beside the loop: a notice that comes while it still
// shows the last one waits for it, so that each run shows its own line.
TEST_F(WallTest, NoticesWaitForTheScriptInTheirOrder) {
  Script("sleep 0.3; cat '" + Notice() + "' >> '" + Path("shown.txt") + "'\n", 0755);
  auto t0 = std::chrono::steady_clock::now();
  for (const char* text : {"one", "two", "three"}) Wall_Broadcast(2, text);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(250));
  Scratch_WaitScripts();
  EXPECT_EQ(Scratch_ReadFile(Path("shown.txt")),
            "03/09/2024 14:05:07 <Brisvane>: one\n"
            "03/09/2024 14:05:07 <Brisvane>: two\n"
            "03/09/2024 14:05:07 <Brisvane>: three\n");
}

struct timespec g_mono;
void FakeMono(struct timespec* now) { *now = g_mono; }

// Reaps the ended scripts for ms of real time, or until done() holds.
void ReapFor(int ms, const std::function<bool()>& done = [] { return false; }) {
  for (int i = 0; i < ms && !done(); ++i) {
    Svc_ReapScripts();
    usleep(1000);
  }
}

// A run that does not end would hold every later notice: after 30 s it is
// ended, with a level-2 event, and the next waiting notice goes out.
TEST_F(WallTest, AScriptThatDoesNotEndIsStoppedAndTheNextNoticeGoesOut) {
  void (*savedMono)(struct timespec*) = SvcMonoClock;
  SvcMonoClock = FakeMono;
  g_mono = {100, 0};
  const std::string shown = Path("shown.txt"), hung = Path("hung");
  Script("cat '" + Notice() + "' >> '" + shown + "'\n[ -e '" + hung + "' ] || { touch '" + hung + "'; sleep 60; }\n",
         0755);
  Wall_Broadcast(2, "one");
  Wall_Broadcast(2, "two");
  ReapFor(2000, [&] { return fs::exists(hung); });
  g_mono.tv_sec += 29;
  ReapFor(200);
  EXPECT_EQ(Scratch_ReadFile(shown), "03/09/2024 14:05:07 <Brisvane>: one\n");
  EXPECT_TRUE(g_logged.empty());
  g_mono.tv_sec += 1;
  ReapFor(2000, [&] { return Scratch_Lines(Scratch_ReadFile(shown)).size() == 2; });
  Scratch_WaitScripts();
  EXPECT_EQ(Scratch_ReadFile(shown), "03/09/2024 14:05:07 <Brisvane>: one\n03/09/2024 14:05:07 <Brisvane>: two\n");
  EXPECT_EQ(g_logged, (std::vector<LoggedEvent>{{-1, {"2", "The command.wall did not end within 30 s and was stopped"}}}));
  SvcMonoClock = savedMono;
}

TEST_F(WallTest, AtMostSixteenNoticesWaitAndTheOldestGoFirst) {
  // The first notice's script runs; twenty more come before it is reaped.
  for (int i = 0; i <= 20; ++i) Wall_Broadcast(2, std::to_string(i).c_str());
  Scratch_WaitScripts();
  std::string expected = "03/09/2024 14:05:07 <Brisvane>: 0\n";
  for (int i = 5; i <= 20; ++i) expected += "03/09/2024 14:05:07 <Brisvane>: " + std::to_string(i) + "\n";
  EXPECT_EQ(Scratch_ReadFile(Path("shown.txt")), expected);
}

TEST_F(WallTest, OffWritesNothingAndRunsNothing) {
  ReactSetting.notifyEnable = 0;
  Wall_Broadcast(3, "text");
  EXPECT_FALSE(fs::exists(Notice()));
  EXPECT_FALSE(fs::exists(Path("shown.txt")));
}

TEST_F(WallTest, APlantedLinkIsNotFollowed) {
  const std::string victim = Path("victim");
  Scratch_WriteFile(victim, "keep\n");
  fs::create_symlink(victim, Notice());
  Wall_Broadcast(2, "notice");
  EXPECT_EQ(Scratch_ReadFile(victim), "keep\n");
  EXPECT_FALSE(fs::is_symlink(Notice()));
  EXPECT_EQ(Scratch_ReadFile(Notice()), "03/09/2024 14:05:07 <Brisvane>: notice\n");
}

TEST_F(WallTest, AScriptThatCannotRunIsLogged) {
  struct {
    const char* name;
    std::function<void()> setup;
    bool logged;
  } cases[] = {
      {"missing", [&] { fs::remove(Path("command/command.wall")); }, true},
      {"not executable", [&] { Script("exit 0\n", 0644); }, true},
      {"runs and fails", [&] { Script("exit 1\n", 0755); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_logged.clear();
    c.setup();
    Wall_Broadcast(2, "notice");
    Scratch_WaitScripts();
    if (c.logged) {
      EXPECT_EQ(g_logged, (std::vector<LoggedEvent>{{-1, {"3", "Can't run the command.wall!"}}}));
    } else {
      EXPECT_TRUE(g_logged.empty());
    }
  }
}

}  // namespace
