// The private directory: the exports of the history pages are written into
// it, and its files served, only while it is the service's own.
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "events/dlog.h"
#include "events/evtlog.h"
#include "webfixture.h"

using namespace webtest;
namespace fs = std::filesystem;

namespace {

class PrivateDir : public WebTest {
 protected:
  void SetUp() override {
    WebTest::SetUp();
    EvtLog_Init(dir.c_str());
    DLog_Init(dir.c_str());
  }
  void Export() {
    EvtLogOps.ExportPage(0);
    EvtLogOps.ExportCsv();
    DLogOps.ExportHtml(TimeDate{1, 1, 26}, TimeDate{1, 2, 26}, 0);
    DLogOps.ExportHistCsv(TimeDate{1, 1, 26}, TimeDate{1, 2, 26}, 0);
  }
  std::string Get(const std::string& name) {
    return BodyOf(Ask("GET /tempage/" + name + " HTTP/1.1\r\n" + Login(0) + "\r\n").data);
  }
  // Every name under path with its content (directories as "dir").
  static std::map<std::string, std::string> Tree(const std::string& path) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
      out[it->path().string()] = it->is_directory() ? "dir" : Scratch_ReadFile(it->path().string());
    return out;
  }
};

const char* const kExports[] = {EVTLOG_PAGE_NAME, EVTLOG_CSV_NAME, DLOG_HIST_PAGE_NAME, DLOG_HIST_CSV_NAME};

TEST_F(PrivateDir, ExportsAreWrittenAndServedWhileItIsOurs) {
  Export();
  for (const char* name : kExports) {
    SCOPED_TRACE(name);
    const std::string written = Scratch_ReadFile(TmpPath(name));
    EXPECT_FALSE(written.empty());
    EXPECT_EQ(Get(name), written);
  }
}

TEST_F(PrivateDir, NothingIsWrittenIntoOrServedFromOneThatIsNotOurs) {
  const std::string elsewhere = Path("elsewhere");
  struct Case {
    const char* what;
    std::function<void()> make;  // turns tmp, holding the planted files, into a directory not ours
  } cases[] = {
      {"another user's", [&] { ASSERT_EQ(chown(tmp.c_str(), 65534, 65534), 0); }},
      {"one others may write", [&] { chmod(tmp.c_str(), 0777); }},
      {"one its group may write", [&] { chmod(tmp.c_str(), 0770); }},
      {"a link to a directory", [&] {
         fs::rename(tmp, elsewhere);
         fs::create_directory_symlink(elsewhere, tmp);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (std::string(c.what) == "another user's" && geteuid() != 0) continue;  // needs root to hand it over
    fs::remove_all(tmp);
    fs::remove_all(elsewhere);
    mkdir(tmp.c_str(), 0700);
    for (const char* name : kExports) Scratch_WriteFile(TmpPath(name), std::string("PLANTED ") + name);
    c.make();
    const auto before = Tree(dir), beforeTmp = Tree(tmp + "/.");
    Export();
    EXPECT_EQ(Tree(dir), before);
    EXPECT_EQ(Tree(tmp + "/."), beforeTmp);
    for (const char* name : kExports) EXPECT_EQ(Get(name).find("PLANTED"), std::string::npos) << name;
    char path[300] = "unset";
    EXPECT_STREQ(Svc_TmpPath(path, sizeof path, "x"), "");
    if (fs::is_symlink(tmp)) fs::remove(tmp);
  }
  fs::remove_all(tmp);
  mkdir(tmp.c_str(), 0700);
  Export();
  EXPECT_TRUE(fs::exists(TmpPath(EVTLOG_PAGE_NAME)));
}

TEST(PrivatePath, TooLongIsNoPath) {
  // A path cut to fit could name another file.
  char path[16] = "unset";
  EXPECT_STREQ(Svc_TmpPath(path, sizeof path, "a-name-that-does-not-fit"), "");
}

}  // namespace
