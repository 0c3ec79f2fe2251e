// SMS through a GSM modem: the PDU, and the stepwise dialogue against a
// modem played on a pseudo-terminal (port slot 1 through the serial driver).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/svc.h"
#include "events/sms.h"
#include "support/pty.h"
#include "support/scratch.h"
#include "ups/com.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

std::string Pdu(const char* number, const wchar_t* text, int* octets = nullptr) {
  char out[512];
  int n = Sms_BuildPdu(number, text, out, sizeof out);
  if (octets) *octets = n;
  return out;
}

TEST(SmsPdu, GoldenCases) {
  const struct {
    const char* number;
    const wchar_t* text;
    std::string pdu;  // without the Ctrl-Z
  } kCases[] = {
      // 13 digits after "+": 0D, international, six swapped pairs, then F and the last digit.
      {"+1234567890123", L"AB", "0031000D91214365870921F30008A70400410042"},
      // No "+": unknown numbering plan; an even count has no F.
      {"0123456789", L"\u00e9", "0031000A8110325476980008A7020" "0E9"},
      // Characters outside the Basic Multilingual Plane go as "?".
      {"+49", L"x\U0001F600y", "003100029194" "0008A706" "0078003F0079"},
      // Blanks and dashes in the setting are not digits.
      {"+49 170-12", L"", "00310007919471" "10F20008A700"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.number);
    int octets = 0;
    std::string pdu = Pdu(c.number, c.text, &octets);
    EXPECT_EQ(pdu, c.pdu + "\x1a");
    EXPECT_EQ(octets, static_cast<int>(c.pdu.size() - 2) / 2);
  }
  // At most 64 characters: user-data length 0x80.
  std::wstring longText(70, L'a');
  std::string pdu = Pdu("+1", longText.c_str());
  EXPECT_EQ(pdu.substr(18, 2), "80");
  EXPECT_EQ(pdu.size(), 20u + 64u * 4u + 1u);
}

TEST(SmsPdu, BaudIndex) {
  const int kRates[][2] = {{0, 2400}, {1, 4800}, {2, 9600}, {3, 19200}, {4, 115200}, {7, 115200}, {255, 115200}};
  for (const auto& r : kRates) EXPECT_EQ(Sms_BaudRate(static_cast<uint8_t>(r[0])), r[1]) << r[0];
}

// A GSM modem on the master side of a pseudo-terminal: answers AT and
// AT+CMGF with OK, AT+CMGS with the "> " prompt, and a message (up to
// Ctrl-Z) with +CMGS and OK, in the way its mode says. It logs each command
// and message body.
class ModemSim {
 public:
  enum Mode { kOk, kSplitOk, kNeverOk, kDead };
  explicit ModemSim(TestPty& pty, Mode mode = kOk) : pty_(pty), mode_(mode) {
    thread_ = std::thread([this] { Run(); });
  }
  ~ModemSim() {
    stop_ = true;
    thread_.join();
  }
  Lines Log() {
    std::lock_guard<std::mutex> g(m_);
    return log_;
  }

 private:
  void Run() {
    std::string buf;
    bool body = false;
    while (!stop_) {
      char c;
      ssize_t n = read(pty_.master(), &c, 1);
      if (n != 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      if (body) {
        if (c != 0x1A) {
          buf += c;
          continue;
        }
        Add("body " + buf);
        buf.clear();
        body = false;
        if (mode_ == kOk) Answer("\r\n+CMGS: 7\r\n\r\nOK\r\n");
        if (mode_ == kSplitOk) {
          Answer("\r\n+CMGS: 7\r\n\r\nO");
          std::this_thread::sleep_for(std::chrono::milliseconds(250));
          Answer("K\r\n");
        }
        continue;
      }
      if (c != '\r') {
        buf += c;
        continue;
      }
      Add(buf);
      if (mode_ == kDead) {
      } else if (buf.rfind("AT+CMGS=", 0) == 0) {
        Answer("\r\n> ");
        body = true;
      } else {
        Answer("\r\nOK\r\n");
      }
      buf.clear();
    }
  }
  void Add(const std::string& s) {
    std::lock_guard<std::mutex> g(m_);
    log_.push_back(s);
  }
  void Answer(const std::string& s) { (void)!write(pty_.master(), s.data(), s.size()); }

  TestPty& pty_;
  Mode mode_;
  std::atomic<bool> stop_{false};
  std::mutex m_;
  Lines log_;
  std::thread thread_;
};

class SmsTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    setlocale(LC_CTYPE, "C.UTF-8");
    snprintf(ComDevicePrefix, sizeof ComDevicePrefix, "%s/ttyS", tmp.c_str());
    fs::create_symlink(pty.path(), TmpPath("ttyS0"));
    COM_Init(dir.c_str(), "", 0, -1);
    SmsSetting = SmsSettings{};
    SmsSetting.port = 1;
    SmsSetting.baud = 2;
    SetPhones({{"+111", 3}, {"222", 1}});
    Sms_Init(dir.c_str());
  }
  void TearDown() override {
    COM_CloseAll();
    snprintf(ComDevicePrefix, sizeof ComDevicePrefix, "/dev/ttyS");
    ScratchTest::TearDown();
  }
  static void SetPhones(const std::vector<std::pair<const char*, int>>& list) {
    SmsSetting.phoneCount = static_cast<uint8_t>(list.size());
    for (size_t i = 0; i < list.size(); ++i) {
      snprintf(SmsSetting.phones[i].number, sizeof SmsSetting.phones[i].number, "%s", list[i].first);
      SmsSetting.phones[i].level = static_cast<uint8_t>(list[i].second);
    }
  }
  static void Offer(const wchar_t* text, int level) {
    wcsncpy(SmsSlot.text, text, SMS_TEXT - 1);
    SmsSlot.level = static_cast<uint8_t>(level);
    SmsSlot.pending = 1;
  }
  // Steps until the slot is empty (or `most` steps); returns the count.
  static int Run(int pdu, int most = 200) {
    int n = 0;
    while (SmsSlot.pending && n < most) {
      SmsOps.Step(pdu);
      ++n;
    }
    return n;
  }
  std::string Trace() const { return Scratch_ReadFile(TmpPath(SMS_TRACE_NAME)); }
  TestPty pty;
};

TEST_F(SmsTest, MessageGoesToThePhonesOfItsLevel) {
  const wchar_t* text = L"14:05:07 Zasilanie \u017ar\u00f3d\u0142a";
  const std::string mb = "14:05:07 Zasilanie \xc5\xbar\xc3\xb3" "d\xc5\x82" "a";
  const struct {
    int pdu, level;
    Lines expected;
  } kCases[] = {
      // The level-3 phone wants only level 3; the level-1 phone everything.
      {0, 2, {"AT", "AT+CMGF=1", "AT+CMGS=\"222\"", "body " + mb}},
      {0, 3, {"AT", "AT+CMGF=1", "AT+CMGS=\"+111\"", "body " + mb, "AT+CMGS=\"222\"", "body " + mb}},
      {1, 3,
       {"AT", "AT+CMGF=0", "AT+CMGS=" + std::to_string((Pdu("+111", text).size() - 3) / 2), "body " + Pdu("+111", text).substr(0, Pdu("+111", text).size() - 1),
        "AT+CMGS=" + std::to_string((Pdu("222", text).size() - 3) / 2), "body " + Pdu("222", text).substr(0, Pdu("222", text).size() - 1)}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << "pdu " << c.pdu << " level " << c.level);
    ModemSim modem(pty);
    Offer(text, c.level);
    Run(c.pdu);
    EXPECT_EQ(modem.Log(), c.expected);
    EXPECT_EQ(ComSlot.fd[1], -1);  // closed when done
    std::string trace = Trace();
    EXPECT_EQ(trace.rfind("Open SMS COM1 OK.\nTx: AT\n", 0), 0u) << trace;
    EXPECT_EQ(trace.substr(trace.size() - 12), "Close port.\n");
  }
}

TEST_F(SmsTest, TextModeSendsAtMost160Characters) {
  SetPhones({{"222", 1}});
  ModemSim modem(pty);
  std::wstring text(200, L'x');
  Offer(text.c_str(), 1);
  Run(0);
  Lines log = modem.Log();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[3], "body " + std::string(160, 'x'));
}

TEST_F(SmsTest, UnconfirmedPhoneIsGivenUpAtStep50) {
  ModemSim modem(pty, ModemSim::kNeverOk);
  Offer(L"12:00:00 test", 3);
  // First phone: steps 1..50; the next starts at AT+CMGS (step 3) and is
  // given up at step 50 too.
  EXPECT_EQ(Run(0), 50 + 48);
  EXPECT_EQ(modem.Log(), (Lines{"AT", "AT+CMGF=1", "AT+CMGS=\"+111\"", "body 12:00:00 test", "AT+CMGS=\"222\"",
                                "body 12:00:00 test"}));
  EXPECT_EQ(ComSlot.fd[1], -1);
}

TEST_F(SmsTest, OkSplitAcrossReadsIsSeen) {
  ModemSim modem(pty, ModemSim::kSplitOk);
  Offer(L"12:00:00 test", 3);
  EXPECT_LT(Run(0), 30);
  EXPECT_EQ(modem.Log().size(), 6u);
}

TEST_F(SmsTest, NoModemOrNoPort) {
  {
    ModemSim modem(pty, ModemSim::kDead);
    Offer(L"12:00:00 test", 1);
    EXPECT_EQ(Run(0), 2);  // the level-3 phone skipped, then the probe
    EXPECT_EQ(Trace(), "Open SMS COM1 OK.\nTx: AT\nRx: \nCannot find a GSM modem for SMS.\n");
    EXPECT_EQ(ComSlot.fd[1], -1);
  }
  SmsOps.SetPort(5, 2);  // no such device
  Offer(L"12:00:00 test", 1);
  EXPECT_EQ(Run(0), 2);
  EXPECT_EQ(Trace(), "Open SMS COM Port5 failed.\n");

  // Port 0: the slot stays pending, nothing is opened.
  SmsOps.SetPort(0, 2);
  Offer(L"12:00:00 test", 1);
  EXPECT_EQ(Run(0, 20), 20);
  EXPECT_TRUE(SmsSlot.pending);
  EXPECT_EQ(ComSlot.fd[1], -1);
}

TEST_F(SmsTest, ListShortenedDuringADialogue) {
  SetPhones({{"111", 1}, {"222", 1}, {"333", 1}});
  {
    ModemSim modem(pty);
    Offer(L"12:00:00 test", 1);
    // Until the second phone's AT+CMGS has gone out.
    for (int i = 0; i < 100 && modem.Log().size() < 5; ++i) {
      SmsOps.Step(0);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the modem reads what was written
    }
    ASSERT_EQ(modem.Log().back(), "AT+CMGS=\"222\"");
    SmsSetting.phoneCount = 1;
    EXPECT_EQ(Run(0), 1);
    EXPECT_FALSE(SmsSlot.pending);
    EXPECT_EQ(ComSlot.fd[1], -1);
    EXPECT_EQ(Trace().substr(Trace().size() - 12), "Close port.\n");
  }
  // The next message starts again at the first phone.
  pty.Drain();
  ModemSim modem(pty);
  SmsSetting.phoneCount = 3;
  Offer(L"12:00:01 next", 1);
  Run(0);
  Lines log = modem.Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "body 12:00:01 next"), 3);
  EXPECT_EQ(log.front(), "AT");
}

TEST_F(SmsTest, BaudIndexOpensTheLineSpeed) {
  const struct {
    uint8_t index;
    speed_t speed;
  } kCases[] = {{0, B2400}, {3, B19200}, {7, B115200}};
  ModemSim modem(pty);
  for (const auto& c : kCases) {
    SmsOps.SetPort(1, c.index);
    Offer(L"12:00:00 test", 1);
    SmsOps.Step(0);  // skips the level-3 phone
    SmsOps.Step(0);  // opens the port and probes the modem
    ASSERT_GE(ComSlot.fd[1], 0);
    struct termios t;
    ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), c.speed) << int(c.index);
    Run(0);
  }
}

}  // namespace
