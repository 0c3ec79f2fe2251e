// Event definitions: reading the language files, language changes, and
// writing the UPS file back.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <sys/stat.h>

#include "events/evtdef.h"
#include "support/scratch.h"

namespace {

namespace fs = std::filesystem;

class EvtDefTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    EvtDef_Free();
    EvtCommonEvents = {};
    EvtUpsEvents = {};
  }
  void TearDown() override {
    EvtDef_Free();
    ScratchTest::TearDown();
  }
  void EvtDef_Free() {
    if (EvtDefOps.Free) EvtDefOps.Free();
  }
  void WriteLanguage(const std::string& lang, const char* common, const char* ups) {
    fs::create_directories(Path("language/" + lang));
    if (common) Scratch_WriteFile(Path("language/" + lang + "/event-common.ini"), common);
    if (ups) Scratch_WriteFile(Path("language/" + lang + "/event-ups.ini"), ups);
  }
  static std::string Text(int code) { return EvtDef_Text(code); }
};

TEST_F(EvtDefTest, LinesOfTheCommonFile) {
  WriteLanguage("English",
                "[Common-Event]\n"
                "; comment=ignored\n"
                "name1=Started\n"
                "level1=1\n"
                "name0=not an entry\n"
                "name41=not an entry either\n"
                "level3=2\r\n"           // CR LF line end
                "name3=Two %s and %s\r\r\n"  // every trailing line-end character goes
                "name7\n"                  // no "="
                "Name8=case matters\n"
                "name40=last entry\n"
                "level40=300\n"            // stored truncated to a byte
                "name2=first\n"
                "name2=second\n",          // a repeated line replaces the text
                "[Alarm-Event]\nname1=Hot\nlevel1=3\nname190=Last\nname191=Beyond\n");
  EvtDef_Init(dir.c_str(), "English");
  struct {
    int code;
    const char* text;
    int level;
  } cases[] = {
      {0, "Started", 1},    {1, "second", 0}, {2, "Two %s and %s", 2}, {6, "", 0},
      {7, "", 0},           {39, "last entry", 300 & 0xFF},
      {100, "Hot", 3},      {289, "Last", 0},
      {40, "", 0},          {99, "", 0}, {290, "", 0}, {-1, "", 0},  // not table codes
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(Text(c.code), c.text);
    EXPECT_EQ(EvtDef_Level(c.code), c.level);
  }
  EXPECT_EQ(EvtCommonEvents.text[6], nullptr);  // entries no file gives stay without text
}

TEST_F(EvtDefTest, AnOverlongLineIsReadOverWhole) {
  // The tail of a line longer than the line buffer must not be read as a
  // line of its own.
  std::string common = "name1=" + std::string(300, 'x') + "name2=tail\nname3=next\n";
  WriteLanguage("English", common.c_str(), "");
  EvtDef_Init(dir.c_str(), "English");
  EXPECT_EQ(Text(0), std::string(255 - 6, 'x'));  // cut to the 255-byte line
  EXPECT_EQ(Text(1), "");
  EXPECT_EQ(Text(2), "next");
}

TEST_F(EvtDefTest, WithoutTheCommonFileTheUpsFileIsNotRead) {
  WriteLanguage("English", nullptr, "name1=Hot\nlevel1=3\n");
  EvtDef_Init(dir.c_str(), "English");
  EXPECT_EQ(Text(100), "");
  EXPECT_EQ(EvtDef_Level(100), 0);
}

TEST_F(EvtDefTest, LanguageChange) {
  WriteLanguage("English", "name1=Started\nlevel1=1\nname2=Stopped\nlevel2=2\n",
                "name1=Hot\nlevel1=3\nname2=Cool\nlevel2=1\n");
  WriteLanguage("Polish", "name1=Uruchomiono\n", "name1=Gorąco\nlevel2=2\n");
  WriteLanguage("Missing", nullptr, "name1=never read\n");
  WriteLanguage("CommonOnly", "name1=Only common\n", nullptr);
  EvtDef_Init(dir.c_str(), "English");

  // The new texts replace the old; entries the new files do not list keep
  // the old levels and lose their texts.
  EXPECT_EQ(EvtDefOps.Load("Polish"), 1);
  EXPECT_EQ(Text(0), "Uruchomiono");
  EXPECT_EQ(EvtDef_Level(0), 1);
  EXPECT_EQ(Text(1), "");
  EXPECT_EQ(EvtDef_Level(1), 2);
  EXPECT_EQ(Text(100), "Gorąco");
  EXPECT_EQ(EvtDef_Level(100), 3);
  EXPECT_EQ(EvtDef_Level(101), 2);

  // A language whose common file is missing changes nothing.
  EXPECT_EQ(EvtDefOps.Load("Missing"), 0);
  EXPECT_EQ(Text(0), "Uruchomiono");
  EXPECT_EQ(Text(100), "Gorąco");

  // Without a UPS file the UPS table stays as it was.
  EXPECT_EQ(EvtDefOps.Load("CommonOnly"), 1);
  EXPECT_EQ(Text(0), "Only common");
  EXPECT_EQ(Text(100), "Gorąco");

  // Free drops the texts and keeps the levels.
  EvtDefOps.Free();
  EXPECT_EQ(EvtCommonEvents.text[0], nullptr);
  EXPECT_EQ(EvtUpsEvents.text[0], nullptr);
  EXPECT_EQ(EvtDef_Level(100), 3);
}

TEST_F(EvtDefTest, SaveUpsRewritesTheFileWhole) {
  WriteLanguage("English", "name1=Started\n",
                "[Alarm-Event]\n;old comment\nname1=Hot\nlevel1=3\nname3=Fail\nname4=Cut\r\r\r\n");
  EvtDef_Init(dir.c_str(), "English");
  EvtUpsEvents.level[2] = 2;  // as the web event-level form does
  const std::string path = Path("language/English/event-ups.ini");
  ASSERT_EQ(EvtDefOps.SaveUps("English"), 1);
  std::string saved = Scratch_ReadFile(path);
  std::string expected =
      "[Alarm-Event]\nname1=Hot\nlevel1=3\nname2=\nlevel2=0\nname3=Fail\nlevel3=2\nname4=Cut\nlevel4=0\n";
  EXPECT_EQ(saved.substr(0, expected.size()), expected);
  EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 381);
  EXPECT_NE(saved.find("\nname190=\nlevel190=0\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(path + ".tmp"));

  // What was saved reads back the same.
  EvtDefOps.Free();
  EvtUpsEvents = {};
  ASSERT_EQ(EvtDefOps.Load("English"), 1);
  EXPECT_EQ(Text(102), "Fail");
  EXPECT_EQ(EvtDef_Level(102), 2);
  ASSERT_EQ(EvtDefOps.SaveUps("English"), 1);
  EXPECT_EQ(Scratch_ReadFile(path), saved);

  // A directory that does not exist: nothing is written, the call fails.
  EXPECT_EQ(EvtDefOps.SaveUps("Nowhere"), 0);
  EXPECT_FALSE(fs::exists(Path("language/Nowhere")));
}

TEST_F(EvtDefTest, InstalledFilesLoadForEveryLanguage) {
  const fs::path installed = fs::path(__FILE__).parent_path().parent_path().parent_path() / "install";
  for (int lang = 0; lang < 4; ++lang) {
    SCOPED_TRACE(EvtDef_LanguageDir(lang));
    EvtDef_Init(installed.c_str(), EvtDef_LanguageDir(lang));
    for (int code = 0; code < EVT_SYSTEM_COUNT; ++code) EXPECT_NE(EvtCommonEvents.text[code], nullptr) << code;
    for (int e = 0; e < EVT_UPS_COUNT; ++e) EXPECT_NE(EvtUpsEvents.text[e], nullptr) << e;
    EXPECT_NE(Text(6).find("%s"), std::string::npos);
    EvtDefOps.Free();
  }
  EXPECT_STREQ(EvtDef_LanguageDir(7), "English");
}

}  // namespace
