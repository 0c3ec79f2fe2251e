// File, string and packer helpers of the utility library.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "core/util.h"
#include "support/scratch.h"

namespace {

class UtilFiles : public ScratchTest {};

TEST_F(UtilFiles, SaveModes) {
  std::string p = Path("a.txt");
  EXPECT_EQ(UF_FileSave(p.c_str(), "abc", 3, 1), 3);   // append creates
  EXPECT_EQ(UF_FileSave(p.c_str(), "de", 2, 1), 2);    // append
  EXPECT_EQ(Scratch_ReadFile(p), "abcde");
  EXPECT_EQ(UF_FileSave(p.c_str(), "xy", 2, 0), 2);    // truncate
  EXPECT_EQ(Scratch_ReadFile(p), "xy");
  testing::internal::CaptureStdout();
  EXPECT_LT(UF_FileSave(Path("missing").c_str(), "z", 1, -1), 0);  // no create
  EXPECT_NE(testing::internal::GetCapturedStdout().find("UF_FileSave: file '"), std::string::npos);
}

TEST_F(UtilFiles, LoadAndCopy) {
  std::string empty = Path("empty"), one = Path("one"), two = Path("two"), dst = Path("dst");
  Scratch_WriteFile(empty, "");
  Scratch_WriteFile(one, "first\n");
  Scratch_WriteFile(two, "second\n");
  long len = -1;
  char* buf = UF_FileLoad(empty.c_str(), &len);
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(len, 0);
  EXPECT_STREQ(buf, "");
  free(buf);
  EXPECT_EQ(UF_FileLoad(Path("nope").c_str(), &len), nullptr);
  // A missing source is skipped, an empty one adds nothing.
  EXPECT_EQ(UF_FileCopy(dst.c_str(), Path("nope").c_str(), one.c_str(), empty.c_str(), two.c_str(), nullptr), 13);
  EXPECT_EQ(Scratch_ReadFile(dst), "first\nsecond\n");
  // An unreadable source is a failure, not a shorter copy.
  std::string dir = Path("subdir");
  mkdir(dir.c_str(), 0755);
  EXPECT_LT(UF_FileCopy(dst.c_str(), one.c_str(), dir.c_str(), nullptr), 0);
  EXPECT_EQ(UF_FileCompare(one.c_str(), one.c_str()), 0);
  EXPECT_EQ(UF_FileCompare(one.c_str(), two.c_str()), -1);
  EXPECT_EQ(UF_FileCompare(one.c_str(), Path("nope").c_str()), -1);
}

TEST_F(UtilFiles, NoFollowRefusesPlantedLinks) {
  std::string target = Path("target"), link = TmpPath("fixed.txt");
  Scratch_WriteFile(target, "keep");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  // Opening an existing name for reading does not follow the link.
  EXPECT_LT(UF_OpenNoFollow(link.c_str(), O_RDONLY, 0), 0);
  // Creating afresh replaces the link with a new file, and the target stays.
  int fd = UF_OpenNoFollow(link.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "new", 3), 3);
  close(fd);
  EXPECT_EQ(Scratch_ReadFile(target), "keep");
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(UtilFiles, ReadAndWriteAtAnOffset) {
  std::string path = Path("records");
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(UF_WriteAt(fd, "abcd", 4, 0), 1);
  ASSERT_EQ(UF_WriteAt(fd, "XY", 2, 6), 1);  // past the end: the gap reads as zeros
  char got[8] = {};
  ASSERT_EQ(UF_ReadAt(fd, got, 8, 0), 1);
  EXPECT_EQ(std::string(got, 8), std::string("abcd\0\0XY", 8));
  // A read that the file cannot fill fails.
  EXPECT_EQ(UF_ReadAt(fd, got, 4, 6), 0);
  close(fd);
  EXPECT_EQ(UF_ReadAt(fd, got, 1, 0), 0);
  EXPECT_EQ(UF_WriteAt(fd, "a", 1, 0), 0);
}

TEST_F(UtilFiles, ReplaceIsAllOrNothing) {
  std::string p = Path("config.ini");
  Scratch_WriteFile(p, "old");
  EXPECT_EQ(UF_FileReplace(p.c_str(), "new content", 11, 0600), 1);
  EXPECT_EQ(Scratch_ReadFile(p), "new content");
  struct stat st;
  stat(p.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // A writer that gives up leaves the old file and no temporary behind.
  FILE* f = UF_ReplaceBegin(p.c_str(), 0600);
  ASSERT_NE(f, nullptr);
  fputs("half", f);
  EXPECT_EQ(UF_ReplaceCommit(f, p.c_str(), 0), 0);
  EXPECT_EQ(Scratch_ReadFile(p), "new content");
  EXPECT_FALSE(UF_FileExist((p + ".tmp").c_str()));
}

TEST(UtilStrings, CaseAndTrim) {
  EXPECT_EQ(UF_StrNCaseCmp("Content-Length", "content-length: 5", 14), 0);
  EXPECT_EQ(UF_StrNCaseCmp("abc", "ABD", 0), UF_StrCaseCmp("abc", "ABD"));
  EXPECT_LT(UF_StrCaseCmp("abc", "ABD"), 0);
  EXPECT_EQ(UF_StrCaseCmp("", ""), 0);
  const char* text = "GET / HTTP/1.1\r\nHost: x";
  EXPECT_EQ(UF_StrCaseStr(text, "host:"), text + 16);
  EXPECT_EQ(UF_StrCaseStr(text, "cookie"), nullptr);
  struct {
    const char* in;
    const char* out;
    int len;
  } trims[] = {{"  a b \t\r\n", "a b", 3}, {"   ", "", 0}, {"x", "x", 1}, {"\tx", "x", 1}};
  for (auto& t : trims) {
    char buf[32];
    strcpy(buf, t.in);
    EXPECT_EQ(UF_StrTrim(buf), t.len);
    EXPECT_STREQ(buf, t.out);
  }
  char up[] = "aZ9-b";
  UF_StrUpper(up);
  EXPECT_STREQ(up, "AZ9-B");
}

TEST(UtilStrings, Split) {
  char text[] = ";;a;bb;;c;";
  char* tok[8];
  ASSERT_EQ(UF_StrSplit(text, ";", 8, tok), 3);
  EXPECT_STREQ(tok[0], "a");
  EXPECT_STREQ(tok[1], "bb");
  EXPECT_STREQ(tok[2], "c");
  char text2[] = "a b c d";
  ASSERT_EQ(UF_StrSplit(text2, " ", 2, tok), 2);
  EXPECT_STREQ(tok[1], "b");
  char text3[] = "whole";
  EXPECT_EQ(UF_StrSplit(text3, "", 4, tok), 1);
  EXPECT_EQ(UF_StrSplit(text3, ";", 0, tok), 0);
}

TEST(UtilTimers, DiffAndElapsed) {
  struct timeval a {10, 500000}, b {12, 250000};
  EXPECT_EQ(UF_TimeDiffMs(&a, &b), 1750);
  EXPECT_EQ(UF_TimeDiffMs(&b, &a), 1750);
  UF_TimerInit(1000);
  EXPECT_EQ(UF_TickRate(), 1000u);
  EXPECT_EQ(UF_TickElapsed(UF_Ticks(), 0), 1);
  EXPECT_EQ(UF_TickElapsed(UF_Ticks(), 100000), 0);
  EXPECT_EQ(UF_TimerInit(15), static_cast<unsigned long>(sysconf(_SC_CLK_TCK)));
  unsigned long u1 = UF_Uptime(), u2 = UF_Uptime();
  EXPECT_GE(u2, u1);
}

TEST(UtilPackers, RoundTrips) {
  const long values[2] = {0x11223344, 0x55667788};
  struct {
    int layout;
    uint8_t bytes[8];
  } cases[] = {
      {4, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}},
      {5, {0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55}},
      {6, {0x33, 0x44, 0x11, 0x22, 0x77, 0x88, 0x55, 0x66}},
  };
  for (auto& c : cases) {
    uint8_t out[8];
    ASSERT_EQ(UF_PackValues(out, values, 2, c.layout), 8);
    EXPECT_EQ(0, memcmp(out, c.bytes, 8)) << c.layout;
    long back[2];
    ASSERT_EQ(UF_UnpackValues(back, out, 2, c.layout), 8);
    EXPECT_EQ(back[0], values[0]) << c.layout;
    EXPECT_EQ(back[1], values[1]) << c.layout;
  }
  const long digits[1] = {('4' << 8) | '2'};
  uint8_t two[2];
  ASSERT_EQ(UF_PackValues(two, digits, 1, 8), 2);
  EXPECT_EQ(two[0], 4);
  EXPECT_EQ(two[1], 2);
  const uint8_t ascii[2] = {'4', '2'};
  long v;
  UF_UnpackValues(&v, ascii, 1, 8);
  EXPECT_EQ(v, 42);
  UF_UnpackValues(&v, ascii, 1, 9);
  EXPECT_EQ(v, 24);
  EXPECT_EQ(UF_PackValues(two, digits, 1, 42), 0);
}

}  // namespace
