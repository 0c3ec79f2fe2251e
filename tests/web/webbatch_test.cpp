// Configuration batch and debug pages: the DBG_ values, the download copy
// of config.ini, the upload of a configuration as a multipart file part
// (taken only with its "[End]" line, the temporary file never left), and
// the debug form's statistics reset and serial trace.
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "core/cfg.h"
#include "core/util.h"
#include "events/react.h"
#include "snmp/snmpagent.h"
#include "ups/com.h"
#include "web/webbatch.h"
#include "webdevfixture.h"
#include "webreplies.h"

using namespace devtest;
using namespace webreplies;

namespace {

const char* const kUploaded =
    "Message: Redirect=/en/sys_batch.asp\nTitle=Information\nBody=<font color=#008000>Upload successfully.</font>\n";
const char* const kUploadFailed =
    "Message: Redirect=/en/sys_batch.asp\nTitle=Error\nBody=<font color=#800000>File format mismatched or "
    "error.</font>\n";
const char* const kBoundary = "----b0undary";

class Batch : public DevTest {
 protected:
  void SetUp() override {
    DevTest::SetUp();
    COM_Init(dir.c_str(), ComPathSetting, -1);  // the real statistics and trace
    ComOps.SendCommand = RecordCommand;
    ComStat = ComStats{};
    ReactSetting = ReactSettings{};
    WebLoginLevel = 0;  // an administrator's session
  }
  void TearDown() override {
    ComOps.SetTrace(0);
    DevTest::TearDown();
  }

  // One part of a multipart body: a plain field, or a file part.
  static std::string Part(const std::string& name, const std::string& value, const char* file = nullptr) {
    std::string p = std::string("--") + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"";
    if (file) p += std::string("; filename=\"") + file + "\"\r\nContent-Type: application/octet-stream";
    return p + "\r\n\r\n" + value + "\r\n";
  }
  // Posts the parts (and a valid token unless told otherwise) as the browser
  // sends a file upload.
  std::string PostParts(const std::string& parts, bool token = true) {
    std::string body = parts + (token ? Part("SYS_UCTOKEN", Token()) : "") + "--" + kBoundary + "--\r\n";
    conn_ = std::make_unique<HttpConn>();
    formName_ = "sys_batch";
    body_.assign(body.begin(), body.end());
    body_.push_back(0);
    boundary_ = std::string("multipart/form-data; boundary=") + kBoundary;
    conn_->uri = formName_.data();
    conn_->body = body_.data();
    conn_->bodyCount = static_cast<int>(body.size());
    conn_->boundary = boundary_.data();
    WebReply.text[0] = 0;
    WebReply.length = 0;
    WebDev_HandleForm(conn_.get());
    return WebReply.text;
  }
  std::string Config() { return Scratch_ReadFile(Path("config.ini")); }
  bool TmpLeft() { return std::filesystem::exists(TmpPath("config_tmp.ini")); }

  std::string boundary_;
};

// ---- DBG_ -----------------------------------------------------------------------

TEST_F(Batch, StatisticsValues) {
  ComStat = ComStats{0x80000000u, 65535, 4294967295u, 7, 8, 0, 10};
  struct Case {
    const char* name;
    const char* value;
  } cases[] = {
      {"DBG_TX_OK", "-2147483648"},  // 32-bit counters print as signed int
      {"DBG_TX_ERR", "65535"},       {"DBG_RX_OK", "-1"},        {"DBG_RX_TIMEOUT", "7"},
      {"DBG_RX_CSERR", "8"},         {"DBG_RX_OVERFLOW", "0"},    {"DBG_RX_PARSEERR", "10"},
      {"DBG_COM_LOG", "Stop"},
      {"DBG_COM_FILE", "<a href='/tempage/comm_data.txt' class='uline'>comm_data.txt</a>"},
      {"DBG_X", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Var(c.name), c.value) << c.name;
}

// ---- debug ----------------------------------------------------------------------

TEST_F(Batch, DebugButtons) {
  const ComStats some{5, 1, 4, 2, 3, 0, 6};
  const std::string outOfDate = "Message: Redirect=/debug.asp\nTitle=Page Out of Date\n";
  struct Case {
    const char* fields;
    const char* reply;
    bool cleared;
    bool switches;  // changes something: needs the session's form token
  } cases[] = {
      {"DBG_REFRESH=1", "OK: Redirect=/debug.asp", false, false},
      {"DBG_CLEAR=1", "OK: Redirect=/debug.asp", true, true},
      {"DBG_HOME=1&DBG_CLEAR=1", "OK: Redirect=/home.asp", false, false},  // the first posted button
      {"DBG_CLEAR=1&DBG_HOME=1", "OK: Redirect=/debug.asp", true, true},
      {"DBG_CLEARx=1", "OK: Redirect=/debug.asp", true, true},           // keys match by their length
      {"DBG_OTHER=1", "", false, false},
      {"", "", false, false},
  };
  auto cleared = [] {
    const ComStats& s = ComStat;
    return s.txOk == 0 && s.txErr == 0 && s.rxOk == 0 && s.rxTimeout == 0 && s.rxCsErr == 0 && s.rxParseErr == 0;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields);
    for (const char* token : {"", "SYS_UCTOKEN=AAAAAAAAAAAAAAAAAAAAAAAA&"}) {
      ComStat = some;
      const std::string reply = PostRaw("debug", token + std::string(c.fields));
      if (c.switches) {
        EXPECT_EQ(reply.rfind(outOfDate, 0), 0u) << reply;
        EXPECT_FALSE(cleared());
      } else {
        EXPECT_EQ(reply, c.reply);
      }
    }
    ComStat = some;
    EXPECT_EQ(Post("debug", c.fields), c.reply);
    EXPECT_EQ(cleared(), c.cleared);
  }
}

TEST_F(Batch, SerialTraceOnAndOff) {
  const std::string trace = TmpPath(COM_TRACE_NAME);
  Scratch_WriteFile(trace, "an old trace\n");
  EXPECT_EQ(Var("DBG_COM_LOG"), "Stop");
  // Without the session's token the trace stays off.
  PostRaw("debug", "DBG_STARTLOG=Start");
  EXPECT_EQ(Var("DBG_COM_LOG"), "Stop");
  EXPECT_EQ(Scratch_ReadFile(trace), "an old trace\n");
  EXPECT_EQ(Post("debug", "DBG_STARTLOG=Start"), "OK: Redirect=/debug.asp");
  EXPECT_EQ(Var("DBG_COM_LOG"), "Recording");
  EXPECT_EQ(Scratch_ReadFile(trace), "");  // truncated when switched on
  ComOps.TraceWrite("Tx: ~00P003MOD");
  // On again: the open trace goes on, it is not truncated.
  EXPECT_EQ(Post("debug", "DBG_STARTLOG=Start"), "OK: Redirect=/debug.asp");
  ComOps.TraceWrite("!");
  PostRaw("debug", "DBG_STOPLOG=Stop");
  EXPECT_EQ(Var("DBG_COM_LOG"), "Recording");
  EXPECT_EQ(Post("debug", "DBG_STOPLOG=Stop"), "OK: Redirect=/debug.asp");
  EXPECT_EQ(Var("DBG_COM_LOG"), "Stop");
  ComOps.TraceWrite("after");
  EXPECT_EQ(Scratch_ReadFile(trace), "Tx: ~00P003MOD!");

  // A trace file that cannot be made does not show as recording.
  std::filesystem::remove(trace);
  std::filesystem::create_directory(trace);
  EXPECT_EQ(Post("debug", "DBG_STARTLOG=Start"), "OK: Redirect=/debug.asp");
  EXPECT_EQ(Var("DBG_COM_LOG"), "Stop");
}

// ---- sys_batch: download -----------------------------------------------------------

TEST_F(Batch, DownloadCopiesConfig) {
  ReactSetting.delay[REACT_POWER_FAIL] = 321;
  ASSERT_EQ(Cfg_Save(), 1);
  const std::string live = Config();
  // A link planted at the download name is replaced, never written through.
  const std::string victim = TmpPath("victim");
  Scratch_WriteFile(victim, "keep");
  ASSERT_EQ(symlink(victim.c_str(), TmpPath("config.ini").c_str()), 0);
  // The link carries the session's link token: only it is served the copy.
  const std::string link = std::string("OK: Redirect=/tempage/config.ini?token=") + WebSess_LinkToken();
  EXPECT_EQ(Post("sys_batch", "DL_SYSTEM=Download"), link);
  EXPECT_EQ(Scratch_ReadFile(TmpPath("config.ini")), live);
  EXPECT_EQ(Scratch_ReadFile(victim), "keep");
  struct stat st;
  ASSERT_EQ(lstat(TmpPath("config.ini").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // it holds the passwords
  EXPECT_FALSE(std::filesystem::exists(TmpPath("config.ini.tmp")));

  // Written anew at every post.
  ReactSetting.delay[REACT_POWER_FAIL] = 654;
  ASSERT_EQ(Cfg_Save(), 1);
  EXPECT_EQ(Post("sys_batch", "DL_SYSTEM=1"), link);
  EXPECT_NE(Scratch_ReadFile(TmpPath("config.ini")).find("Power Fail Delay=654\n"), std::string::npos);
}

// Without a configuration to copy the answer says so and sends the browser
// to no file.
TEST_F(Batch, FailedCopyIsReported) {
  EXPECT_EQ(Post("sys_batch", "DL_SYSTEM=1"),
            "Message: Redirect=/en/sys_batch.asp\nTitle=Error\nBody=<font color=#F00000>The configuration could not "
            "be copied for download.</font>\n");
  EXPECT_FALSE(std::filesystem::exists(TmpPath("config.ini")));
  EXPECT_FALSE(std::filesystem::exists(TmpPath("config.ini.tmp")));
}

TEST_F(Batch, ButtonsAndToken) {
  ASSERT_EQ(Cfg_Save(), 1);
  EXPECT_EQ(Post("sys_batch", "OTHER=1"), "");  // no button: no reply
  EXPECT_FALSE(std::filesystem::exists(TmpPath("config.ini")));
  Token();
  EXPECT_EQ(PostRaw("sys_batch", "DL_SYSTEM=1"), Stale("/en/sys_batch.asp"));
  EXPECT_EQ(PostRaw("sys_batch", "DL_SYSTEM=1&SYS_UCTOKEN=" + std::string(24, 'x')), Stale("/en/sys_batch.asp"));
  EXPECT_FALSE(std::filesystem::exists(TmpPath("config.ini")));
  // The first posted button decides.
  EXPECT_EQ(Post("sys_batch", "UL_SYSTEM=1&DL_SYSTEM=1"), kUploadFailed);
  EXPECT_FALSE(std::filesystem::exists(TmpPath("config.ini")));
}

TEST_F(Batch, OnlyTheAdministrator) {
  ReactSetting.delay[REACT_POWER_FAIL] = 300;
  ASSERT_EQ(Cfg_Save(), 1);
  const std::string live = Config();
  std::string changed = live;
  changed.replace(changed.find("Power Fail Delay=300"), 20, "Power Fail Delay=45");
  for (int level : {1, 2, -1}) {
    SCOPED_TRACE(level);
    SetLevel(level);
    const std::string refused = level < 0 ? kLoginRequired : kDenied;
    EXPECT_EQ(Post("sys_batch", "DL_SYSTEM=1"), refused);
    EXPECT_FALSE(std::filesystem::exists(TmpPath("config.ini")));
    EXPECT_EQ(PostParts(Part("UL_F_SYSTEM", changed, "config.ini") + Part("UL_SYSTEM", "1")), refused);
    EXPECT_EQ(ReactSetting.delay[REACT_POWER_FAIL], 300);
    EXPECT_EQ(Config(), live);
    EXPECT_FALSE(TmpLeft());
  }
  SetLevel(0);
  EXPECT_EQ(PostParts(Part("UL_F_SYSTEM", changed, "config.ini") + Part("UL_SYSTEM", "1")), kUploaded);
  EXPECT_EQ(ReactSetting.delay[REACT_POWER_FAIL], 45);
}

// ---- sys_batch: upload -------------------------------------------------------------

TEST_F(Batch, UploadReplacesTheSettings) {
  ReactSetting.delay[REACT_POWER_FAIL] = 300;
  ReactSetting.delay[REACT_OVERLOAD] = 60;
  ASSERT_EQ(Cfg_Save(), 1);
  std::string text = Config();
  const size_t at = text.find("Power Fail Delay=300\n");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 20, "Power Fail Delay=45");
  // Keys the file lacks keep their values; the last line needs no line end.
  const size_t ol = text.find("Overload Delay=60\n");
  ASSERT_NE(ol, std::string::npos);
  text.erase(ol, 18);
  ASSERT_EQ(text.substr(text.size() - 6), "[End]\n");
  text.pop_back();
  ReactSetting.delay[REACT_OVERLOAD] = 61;

  EXPECT_EQ(PostParts(Part("UL_F_SYSTEM", text, "config.ini") + Part("UL_SYSTEM", "Upload")), kUploaded);
  EXPECT_EQ(ReactSetting.delay[REACT_POWER_FAIL], 45);
  EXPECT_EQ(ReactSetting.delay[REACT_OVERLOAD], 61);
  EXPECT_NE(Config().find("Power Fail Delay=45\n"), std::string::npos);
  EXPECT_NE(Config().find("Overload Delay=61\n"), std::string::npos);
  EXPECT_FALSE(TmpLeft());
}

TEST_F(Batch, AnUploadThatCannotBeSavedIsUndone) {
  const SnmpAgentOpsTable agent = SnmpAgentOps;
  SnmpAgentOps.LocalizeUserKeys = SnmpAgent_LocalizeUserKeys;
  for (int i = 0; i < SNMP_ENGINE_ID_LENGTH; ++i) SnmpEngineState.id[i] = static_cast<uint8_t>(0x80 + i);
  memset(&SnmpAgentSetting, 0, sizeof SnmpAgentSetting);
  SnmpAgentSetting.userCount = 1;
  UsmUser& user = SnmpAgentSetting.users[0];
  strcpy(user.name, "manager");
  user.security = 2;
  strcpy(user.authPassword, "mq530847");
  strcpy(user.privPassword, "tv817264");
  SnmpAgent_LocalizeUserKeys();
  const UsmUser keyed = user;
  ReactSetting.delay[REACT_POWER_FAIL] = 300;
  ComPortSetting = 0;
  ComSlot.port[0] = 0;
  ComSlot.scan[0] = 1;
  ASSERT_EQ(Cfg_Save(), 1);
  const std::string live = Config();
  std::string text = live;
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"Power Fail Delay=300\n", "Power Fail Delay=45\n"},
                                 {"COM Port=0\n", "COM Port=3\n"},
                                 {"Auth1=mq530847\n", "Auth1=another-pass\n"}}) {
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
  }

  std::filesystem::create_directory(Path("config.ini.tmp"));  // the new file cannot be written
  EXPECT_EQ(PostParts(Part("UL_F_SYSTEM", text, "config.ini") + Part("UL_SYSTEM", "1")), WEBDEV_NOT_SAVED);
  EXPECT_EQ(ReactSetting.delay[REACT_POWER_FAIL], 300);
  EXPECT_EQ(ComPortSetting, 0);
  EXPECT_EQ(ComSlot.port[0], 0);
  EXPECT_EQ(ComSlot.scan[0], 1);  // the UPS port is searched for as before
  EXPECT_STREQ(user.authPassword, "mq530847");
  EXPECT_EQ(memcmp(user.authKey, keyed.authKey, sizeof user.authKey), 0);  // a manager's key still works
  EXPECT_EQ(Config(), live);
  EXPECT_FALSE(TmpLeft());
  SnmpAgentOps = agent;
}

TEST_F(Batch, RejectedUploadsChangeNothing) {
  ReactSetting.delay[REACT_POWER_FAIL] = 300;
  ASSERT_EQ(Cfg_Save(), 1);
  const std::string live = Config();
  std::string noEnd = live;
  noEnd.replace(noEnd.find("Power Fail Delay=300"), 20, "Power Fail Delay=45");
  noEnd.erase(noEnd.find("[End]"));
  std::string laterEnd = noEnd + "[Ending]\n";
  struct Case {
    const char* what;
    std::string parts;
    bool token;
  } cases[] = {
      {"no [End] line", Part("UL_F_SYSTEM", noEnd, "config.ini") + Part("UL_SYSTEM", "1"), true},
      {"[End] only inside a longer name", Part("UL_F_SYSTEM", laterEnd, "config.ini") + Part("UL_SYSTEM", "1"),
       true},
      {"no file part", Part("UL_SYSTEM", "1"), true},
      {"an empty file", Part("UL_F_SYSTEM", "", "config.ini") + Part("UL_SYSTEM", "1"), true},
      {"one byte", Part("UL_F_SYSTEM", "[", "config.ini") + Part("UL_SYSTEM", "1"), true},
      {"no button", Part("UL_F_SYSTEM", live, "config.ini"), true},
      {"no token", Part("UL_F_SYSTEM", live, "config.ini") + Part("UL_SYSTEM", "1"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string reply = PostParts(c.parts, c.token);
    const std::string want = !c.token ? Stale("/en/sys_batch.asp") : std::string(c.what) == "no button" ? "" : kUploadFailed;
    EXPECT_EQ(reply, want);
    EXPECT_EQ(ReactSetting.delay[REACT_POWER_FAIL], 300);
    EXPECT_EQ(Config(), live);
    EXPECT_FALSE(TmpLeft());
  }
  // A urlencoded field is no file part.
  EXPECT_EQ(Post("sys_batch", "UL_F_SYSTEM=%5BEnd%5D%0A&UL_SYSTEM=1"), kUploadFailed);
  EXPECT_EQ(Config(), live);
}

}  // namespace
