// Shared set-up of the tilde protocol tests: the test holds a
// pseudo-terminal master as the UPS, the driver runs on slot 0 through the
// real serial port driver, and the test steps Tilde_Poll tick by tick.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/crypt.h"
#include "support/pty.h"
#include "support/scratch.h"
#include "ups/com.h"
#include "ups/tilde.h"

namespace tildetest {

// The test's own sum and digits, to check the driver's frames against.
inline uint8_t Sum8(const uint8_t* data, int length) {
  unsigned s = 0;
  for (int i = 0; i < length; ++i) s += data[i];
  return static_cast<uint8_t>(s);
}
inline void ByteToText2(uint8_t value, char* out, uint8_t upper) {
  snprintf(out, 3, upper ? "%02X" : "%02x", value);
}
// frame + its two checksum digits
inline std::string Summed(const std::string& frame) {
  char d[3];
  ByteToText2(Sum8(reinterpret_cast<const uint8_t*>(frame.data()), static_cast<int>(frame.size())), d, 1);
  return frame + d;
}
inline std::string Data(const std::string& data) {
  char head[8];
  snprintf(head, sizeof head, "~00D%03zu", data.size());
  return head + data;
}

inline std::vector<int>& Resets() {
  static std::vector<int> calls;
  return calls;
}
inline void RecordingReset(int keep) { Resets().push_back(keep); }

inline std::string& ProbeAnswer() {
  static std::string answer;
  return answer;
}
inline std::string& ProbeFrame() {
  static std::string frame;
  return frame;
}
inline TestPty*& ProbePty() {
  static TestPty* pty;
  return pty;
}
// The UPS answers the probe while the driver waits.
inline void AnswerProbe(uint8_t) {
  ProbeFrame() = ProbePty()->Receive(12, 500);
  if (!ProbeAnswer().empty()) ProbePty()->Send(ProbeAnswer());
}

inline void ClearRecord() {
  memset(&UpsRecord, 0, sizeof UpsRecord);
  for (auto& v : UpsRecord.values) v = -1;
  for (auto& m : UpsRecord.modules)
    for (auto& r : m.readings) r = -1;
  UpsRecord.Reset = RecordingReset;
}

class TildeTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    Crypt_Init();  // the service's own sum and hex digits
    ClearRecord();
    Resets().clear();
    Tilde_Init();
    savedWait = TildeProbeWait;
    TildeProbeWait = AnswerProbe;
    ProbePty() = &pty;
    ComSlot.port[0] = 0;
    COM_Init(dir.c_str(), "", 0, -1);
    ComOps.ResetStats();
    ASSERT_EQ(ComOps.Open(0, 2400, 0, 8, 1, pty.path().c_str()), 1);
  }
  void TearDown() override {
    COM_CloseAll();
    TildeProbeWait = savedWait;
    ProbePty() = nullptr;
    ScratchTest::TearDown();
  }
  // A successful probe; the UPS's answer chooses the checksum mode. A UPS
  // without checksums is one the driver has not heard sum on this port (a
  // fresh start: the driver links a UPS that summed only with checksums).
  void Link(bool checksum) {
    if (!checksum) Tilde_Init();
    ProbeAnswer() = checksum ? Summed(Data("SIM")) : Data("SIM");
    ASSERT_EQ(Tilde_Probe(0), 1);
    ASSERT_EQ(Tilde_View().checksumMode, checksum ? 1 : 0);
    ComSlot.link[0] = COM_LINK_TILDE;
  }
  void Tick() { Tilde_Poll(0); }
  // The frame the driver wrote last: header, data by its length digits, and
  // the two checksum digits when expected.
  std::string Sent(bool withSum) {
    std::string f = pty.Receive(7, 500);
    if (f.size() < 7) return f;
    int length = std::stoi(f.substr(4, 3));
    size_t total = 7 + length + (withSum ? 2 : 0);
    if (f.size() < total) f += pty.Receive(total - f.size(), 500);
    return f;
  }
  // The mnemonic of a sent query or set frame.
  static std::string Mnemonic(const std::string& frame) {
    if (frame.size() < 10) return frame;
    return frame.compare(7, 3, "SOL") == 0 ? frame.substr(7, 4) : frame.substr(7, 3);
  }
  // One exchange: a send tick, then the answer (if any) and the read tick.
  std::string Exchange(const std::string& answer, bool withSum) {
    Tick();
    std::string f = Sent(withSum);
    if (!answer.empty()) pty.Send(answer);
    Tick();
    return f;
  }
  // Answers the ten identification items with empty data replies.
  void Identify(bool checksum) {
    for (int i = 0; i < 10; ++i) {
      if (i == 8 && !(UpsRecord.capabilities & UPS_CAP_LET)) continue;
      std::string reply = checksum ? Summed(Data("")) : Data("");
      EXPECT_EQ(Mnemonic(Exchange(reply, true)), Tilde_ItemMnemonic(i));
    }
  }
  TestPty pty;
  void (*savedWait)(uint8_t) = nullptr;
};

}  // namespace tildetest
