// Tilde reply parser: one case per reply type, the flag-position tables,
// the group items of the power modules and the debounce thresholds.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "answers.h"
#include "core/crypt.h"
#include "tilde_fixture.h"
#include "ups/tilde.h"

using namespace tildetest;

namespace {

void Parse(const std::string& mnemonic, const std::string& data, bool checksum = true) {
  std::string sent = (mnemonic.size() == 4 ? "~00P004" : "~00P003") + mnemonic;
  std::string reply = Data(data);
  Tilde_ParseFrame(reinterpret_cast<const uint8_t*>(sent.data()), static_cast<int>(sent.size()),
                   reinterpret_cast<const uint8_t*>(reply.data()), static_cast<int>(reply.size()), checksum);
}

uint64_t Bits(std::initializer_list<int> bits) {
  uint64_t m = 0;
  for (int b : bits) m |= UpsBit(b);
  return m;
}
uint64_t Range(int first, int last) {
  uint64_t m = 0;
  for (int b = first; b <= last; ++b) m |= UpsBit(b);
  return m;
}
std::vector<int32_t> Values(int first, int last) {
  return std::vector<int32_t>(UpsRecord.values + first, UpsRecord.values + last + 1);
}
std::vector<int32_t> Seq(int first, int count) {
  std::vector<int32_t> v;
  for (int i = 0; i < count; ++i) v.push_back(first + i);
  return v;
}
// count fields, all empty except the ones given.
std::string FieldsWith(int count, std::initializer_list<std::pair<int, const char*>> set) {
  std::vector<std::string> f(count);
  for (const auto& [i, text] : set) f[i] = text;
  std::string s;
  for (int i = 0; i < count; ++i) s += (i ? ";" : "") + f[i];
  return s;
}
std::string Numbers(int first, int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += (i ? ";" : "") + std::to_string(first + i);
  return s;
}

class TildeParseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Crypt_Init();  // the service's own sum and hex digits
    ClearRecord();
    Tilde_Init();
  }
};

struct ParseCase {
  const char* name;
  std::function<void()> prepare;
  const char* mnemonic;
  std::string data;
  std::function<void()> check;
};

TEST_F(TildeParseTest, EachReplyFillsItsFields) {
  const std::string sdc("\x01\x00\x3B\x01\x00\x00\xFF\xFF\x00\x00\x10\x00", 12);
  const ParseCase cases[] = {
      {"MOD listed model", [] {}, "MOD", "krv516qt6051488XYZ;3", [] {
         EXPECT_STREQ(UpsRecord.model, "krv516qt6051488XYZ");
         EXPECT_EQ(UpsRecord.moduleType, 3);
         EXPECT_EQ(UpsRecord.modelMatch, 2);
         EXPECT_EQ(UpsRecord.capabilities, Range(52, 60));
       }},
      {"MOD other type 3", [] {}, "MOD", "ABC;3", [] { EXPECT_EQ(UpsRecord.modelMatch, 1); }},
      {"MOD type 4", [] { UpsRecord.modelMatch = 2; }, "MOD", "ABC;4", [] {
         EXPECT_EQ(UpsRecord.modelMatch, 0);
         EXPECT_EQ(UpsRecord.capabilities, Range(52, 60));
       }},
      {"MOD without type", [] { UpsRecord.moduleType = 3; UpsRecord.modelMatch = 2; }, "MOD", "ABC", [] {
         EXPECT_STREQ(UpsRecord.model, "ABC");
         EXPECT_EQ(UpsRecord.moduleType, 3);
         EXPECT_EQ(UpsRecord.modelMatch, 2);
       }},
      {"MOD empty and long", [] {}, "MOD", ";2", [] {
         EXPECT_STREQ(UpsRecord.model, "(Empty)");
         EXPECT_EQ(UpsRecord.moduleType, 2);
         EXPECT_EQ(UpsRecord.capabilities, 0u);
       }},
      {"MOD cut to 32", [] {}, "MOD", std::string(40, 'M'), [] { EXPECT_EQ(strlen(UpsRecord.model), 32u); }},
      {"AVL", [] {}, "AVL", "1010000000000000000001111", [] {
         EXPECT_EQ(UpsRecord.capabilities, Bits({0, 2, 21, 7, 35, 45, 48, 50, 51}));
       }},
      {"RAT", [] { UpsRecord.values[26] = 7; }, "RAT", "230;0;230;500;3000;2700;" + Numbers(6, 20) + ";99", [] {
         EXPECT_EQ(UpsRecord.values[VAL_RATFREQ], 500);  // taken from the output frequency
         EXPECT_EQ(UpsRecord.values[VAL_RATVA], 3000);
         EXPECT_EQ(Values(6, 25), Seq(6, 20));
         EXPECT_EQ(UpsRecord.values[26], 7);
         EXPECT_EQ(UpsRecord.capabilities, UPS_CAP_BT1);
       }},
      {"RAT without BT1 field 21", [] {}, "RAT", FieldsWith(26, {{20, "220"}, {22, "10"}, {23, "5"}, {24, "1"}}), [] {
         EXPECT_EQ(UpsRecord.values[21], -1);
         EXPECT_EQ(UpsRecord.capabilities, UPS_CMD_BT2);
       }},
      {"VER cut to 16", [] {}, "VER", "FW-0123456789ABCDEF", [] { EXPECT_STREQ(UpsRecord.firmware, "FW-0123456789ABC"); }},
      {"SER", [] {}, "SER", "SN;42", [] { EXPECT_STREQ(UpsRecord.serial, "SN;42"); }},
      {"LET", [] {}, "LET", "4", [] { EXPECT_EQ(UpsRecord.outletCount, 4); }},
      {"LET empty", [] { UpsRecord.outletCount = 2; }, "LET", "", [] { EXPECT_EQ(UpsRecord.outletCount, 2); }},
      {"STB of 60 fields", [] { UpsRecord.values[VAL_ONBATTTIME] = 77; }, "STB", Numbers(100, 60), [] {
         std::vector<int32_t> expect = Seq(100, 18);
         expect[3] = 77;  // the on-battery time belongs to the service
         expect[2] = 1;   // a positive charger reading means charging
         EXPECT_EQ(Values(26, 43), expect);
         EXPECT_EQ(UpsRecord.values[44], -1);
         EXPECT_EQ(UpsRecord.capabilities, UPS_CMD_EBP);
       }},
      {"STB clears what it does not report", [] { UpsRecord.values[VAL_BATTVOLT] = 5; }, "STB", "0", [] {
         EXPECT_EQ(UpsRecord.values[VAL_BATTVOLT], -1);
         EXPECT_EQ(UpsRecord.capabilities, 0u);
       }},
      {"STI", [] {}, "STI", Numbers(1, 17), [] {
         EXPECT_EQ(Values(44, 59), Seq(1, 16));
         EXPECT_EQ(UpsRecord.values[60], -1);
       }},
      {"STO", [] {}, "STO", "0;" + Numbers(1, 21), [] {
         std::vector<int32_t> expect = {0};
         for (int i = 1; i <= 20; ++i) expect.push_back(i);
         EXPECT_EQ(Values(60, 80), expect);
         EXPECT_EQ(UpsRecord.values[81], -1);
       }},
      {"STP", [] {}, "STP", Numbers(1, 15), [] { EXPECT_EQ(Values(81, 95), Seq(1, 15)); }},
      {"TSR", [] {}, "TSR", "4", [] { EXPECT_EQ(UpsRecord.values[VAL_TESTRESULT], 4); }},
      {"settings", [] {}, "VSN", "2", [] { EXPECT_EQ(UpsRecord.values[VAL_VSN], 2); }},
      {"ATT", [] {}, "ATT", "12", [] { EXPECT_EQ(UpsRecord.values[VAL_ATT], 12); }},
      {"ARB", [] {}, "ARB", "13", [] { EXPECT_EQ(UpsRecord.values[VAL_ARB], 13); }},
      {"UBD", [] {}, "UBD", "14", [] { EXPECT_EQ(UpsRecord.values[VAL_UBD], 14); }},
      {"TXF", [] {}, "TXF", "15", [] { EXPECT_EQ(UpsRecord.values[VAL_TXF], 15); }},
      {"BT2", [] {}, "BT2", "16", [] { EXPECT_EQ(UpsRecord.values[VAL_BT2], 16); }},
      {"empty setting", [] { UpsRecord.values[VAL_ATT] = 3; }, "ATT", "", [] { EXPECT_EQ(UpsRecord.values[VAL_ATT], 3); }},
      {"TXV", [] {}, "TXV", "160;280", [] { EXPECT_EQ(Values(7, 8), (std::vector<int32_t>{160, 280})); }},
      {"BT1", [] {}, "BT1", "220;230", [] { EXPECT_EQ(Values(20, 21), (std::vector<int32_t>{220, 230})); }},
      {"BTV", [] {}, "BTV", "30;240", [] { EXPECT_EQ(Values(116, 117), (std::vector<int32_t>{30, 240})); }},
      {"AEL of 10 fields", [] {}, "AEL", Numbers(1, 10), [] {
         EXPECT_EQ(Values(118, 123), Seq(1, 6));
         EXPECT_EQ(UpsRecord.values[117], -1);
       }},
      {"SDC raw words", [] {}, "SDC", sdc, [] {
         EXPECT_EQ(Values(103, 108), (std::vector<int32_t>{1, 0x013B, 0, 0xFFFF, 0, 16}));
       }},
      {"SDC too short", [] {}, "SDC", sdc.substr(0, 11), [] { EXPECT_EQ(UpsRecord.values[103], -1); }},
      {"IDC raw words", [] {}, "IDC", std::string("\x02\x01\x00\x80", 4), [] {
         EXPECT_EQ(Values(109, 110), (std::vector<int32_t>{0x0102, 0x8000}));
       }},
      {"BRD", [] {}, "BRD", "20240101;20270315", [] {
         EXPECT_STREQ(UpsRecord.battLastDate, "20240101");
         EXPECT_STREQ(UpsRecord.battNextDate, "20270315");
       }},
      {"BRD too short", [] {}, "BRD", "20240101;2027031", [] { EXPECT_STREQ(UpsRecord.battLastDate, ""); }},
      {"SOL3 on", [] { UpsRecord.outletOn = 1; }, "SOL3", "1", [] { EXPECT_EQ(UpsRecord.outletOn, 5); }},
      {"SOL1 off", [] { UpsRecord.outletOn = 5; }, "SOL1", "0", [] { EXPECT_EQ(UpsRecord.outletOn, 4); }},
      {"BCT breaker open", [] {}, "BCT", "250;260;0;0;0", [] {
         EXPECT_EQ(Values(111, 115), (std::vector<int32_t>{250, 260, 0, 0, 0}));
         EXPECT_TRUE(UpsRecord.liveStatus & UpsBit(UPS_ST_BATTCAB_BREAKER));
       }},
      {"BCT breaker closed", [] { UpsRecord.liveStatus = UpsBit(45); }, "BCT", "1;2;3;4;1", [] {
         EXPECT_FALSE(UpsRecord.liveStatus & UpsBit(UPS_ST_BATTCAB_BREAKER));
       }},
      {"BCT short", [] { UpsRecord.liveStatus = UpsBit(45); UpsRecord.values[114] = 9; }, "BCT", "1;2", [] {
         EXPECT_TRUE(UpsRecord.liveStatus & UpsBit(UPS_ST_BATTCAB_BREAKER));
         EXPECT_EQ(UpsRecord.values[114], -1);
       }},
      {"BPA", [] { UpsRecord.liveStatus = Bits({41, 42}); }, "BPA", "1;0;;1;x", [] {
         EXPECT_EQ(UpsRecord.liveStatus, Bits({40, 42, 43}));
       }},
      {"CPU and TME store nothing", [] {}, "CPU", "1;2;3", [] {
         EXPECT_EQ(UpsRecord.capabilities, 0u);
         EXPECT_EQ(UpsRecord.values[0], -1);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClearRecord();
    c.prepare();
    Parse(c.mnemonic, c.data);
    c.check();
  }
}

TEST_F(TildeParseTest, FlagPositionTablesGiveTheirCapabilities) {
  Parse("AL1", std::string(30, '1'));
  EXPECT_EQ(UpsRecord.capabilities, Bits({8, 48, 6, 5, 4, 3, 50, 49, 47, 16, 14, 13, 18}));
  ClearRecord();
  Parse("AL2", std::string(30, '1'));
  EXPECT_EQ(UpsRecord.capabilities, Bits({19, 46, 45, 44, 21, 22, 23, 34, 24, 25, 26, 27, 29, 43}) | Range(52, 59));
  ClearRecord();
  Parse("AL3", std::string(35, '1'));
  EXPECT_EQ(UpsRecord.capabilities, Bits({61, 62, 60, 12, 10, 9, 7, 2, 1, 0, 17, 15, 42, 63, 30, 31, 32, 33, 41, 35, 40}));
  // One position at a time: the position, not the count, picks the bit.
  const struct {
    const char* item;
    int position;
    int bit;
  } single[] = {{"AL1", 4, 8}, {"AL1", 24, 18}, {"AL2", 0, 19}, {"AL2", 24, 59}, {"AL3", 9, 0}, {"AL3", 28, 40},
                {"AL3", 14, 63}, {"AL1", 0, -1}, {"AL3", 21, -1}};
  for (const auto& s : single) {
    SCOPED_TRACE(std::string(s.item) + " " + std::to_string(s.position));
    ClearRecord();
    std::string flags(s.position + 1, '0');
    flags[s.position] = '1';
    Parse(s.item, flags);
    EXPECT_EQ(UpsRecord.capabilities, s.bit < 0 ? 0 : UpsBit(s.bit));
  }
}

TEST_F(TildeParseTest, PowerModuleGroups) {
  Parse("PMA", "1;50;3;70;;80;11;5;0;9");
  EXPECT_EQ(UpsRecord.modules[0].readings[0], 50);
  EXPECT_EQ(UpsRecord.modules[0].liveAlarms & 1, 0u);
  EXPECT_EQ(UpsRecord.modules[2].readings[0], 80);  // an empty module field keeps module 3
  EXPECT_EQ(UpsRecord.modules[1].liveAlarms & 1, 1u);
  EXPECT_EQ(UpsRecord.modules[1].readings[0], -1);
  for (int m = 3; m < 10; ++m) EXPECT_EQ(UpsRecord.modules[m].liveAlarms & 1, 1u) << m;

  Parse("PMS", "2;193;4;0");
  EXPECT_EQ(UpsRecord.modules[1].liveAlarms & Range(1, 3), Bits({2, 3}));
  EXPECT_EQ(UpsRecord.modules[3].liveAlarms & Range(1, 3), Bits({1}));

  Parse("PFS", "1;255;135;2;0;24");
  EXPECT_EQ(UpsRecord.modules[0].liveAlarms & (Range(4, 16) | UpsBit(34)), Range(4, 14) | UpsBit(16));
  EXPECT_EQ(UpsRecord.modules[1].liveAlarms & (Range(4, 16) | UpsBit(34)), Bits({15, 34}));

  Parse("PIS", "1;15;255;192");
  EXPECT_EQ(UpsRecord.modules[0].liveAlarms & Range(17, 32), Range(17, 20) | Range(24, 32));

  UpsRecord.modules[1].liveAlarms |= UpsBit(33);
  Parse("PCS", "1;1;2;0");
  EXPECT_TRUE(UpsRecord.modules[0].liveAlarms & UpsBit(33));
  EXPECT_FALSE(UpsRecord.modules[1].liveAlarms & UpsBit(33));

  UpsRecord.modules[1].readings[2] = 5;
  Parse("PMT", "1;30;99;40;41;42;43");
  EXPECT_EQ(std::vector<int32_t>(UpsRecord.modules[0].readings + 1, UpsRecord.modules[0].readings + 6),
            (std::vector<int32_t>{30, 40, 41, 42, 43}));
  EXPECT_EQ(UpsRecord.modules[1].readings[2], -1);

  Parse("PIV", "1;2300;2310;2320;9;1;2;3;8;;2290");
  EXPECT_EQ(std::vector<int32_t>(UpsRecord.modules[0].readings + 6, UpsRecord.modules[0].readings + 9),
            (std::vector<int32_t>{2300, 2310, 2320}));
  EXPECT_EQ(UpsRecord.modules[8].readings[6], -1);  // PIV serves modules 1-8 only
  EXPECT_EQ(UpsRecord.modules[7].readings[6], -1);
  EXPECT_EQ(UpsRecord.modules[7].readings[7], 2290);
}

TEST_F(TildeParseTest, BatteryModules) {
  Parse("BMI", "0;1;480");
  EXPECT_EQ(UpsRecord.battModules[0].id, 0);  // only a leading 1 fills the list
  Parse("BMI", "1;1;480;12;250;100;95;2;490;;;99;80");
  const UpsBatteryModule& a = UpsRecord.battModules[0];
  const UpsBatteryModule& b = UpsRecord.battModules[1];
  EXPECT_EQ((std::vector<int32_t>{a.id, a.voltage, a.current, a.temperature, a.health, a.charge}),
            (std::vector<int32_t>{1, 480, 12, 250, 100, 95}));
  EXPECT_EQ((std::vector<int32_t>{b.id, b.voltage, b.current, b.temperature, b.health, b.charge}),
            (std::vector<int32_t>{2, 490, -1, -1, 99, 80}));
  EXPECT_EQ(UpsRecord.battModules[2].id, -1);
  // More modules than the list holds: the parse ends at the eleventh.
  std::string many = "1";
  for (int m = 0; m < 12; ++m) many += ";" + Numbers(m * 10 + 1, 6);
  Parse("BMI", many);
  EXPECT_EQ(UpsRecord.battModules[9].id, 91);
  EXPECT_EQ(UpsRecord.battModules[9].charge, 96);
  EXPECT_EQ(UpsRecord.CheckBattReplace, nullptr);  // nothing written past the list
  EXPECT_EQ(UpsRecord.Reset, RecordingReset);
}

TEST_F(TildeParseTest, EventLogPagingQueuesTheNextPage) {
  auto queued = [] {
    const std::vector<std::string> frames = QueuedFrames(*Tilde_View().queue);
    return frames.empty() ? std::string() : frames.front();
  };
  UpsRecord.values[VAL_AEL] = 45;
  UpsRecord.eventPaging = 1;
  Parse("EVT", "x");
  EXPECT_EQ(queued(), "~00P008EVT21;20");
  Tilde_Reset();
  UpsRecord.eventPage = 20;
  Parse("EVT", "x");
  EXPECT_EQ(queued(), "~00P007EVT41;5");
  Tilde_Reset();
  Parse("EVT", "x");
  EXPECT_EQ(queued(), "");
  EXPECT_EQ(UpsRecord.eventPaging, 0);
  UpsRecord.eventPage = 0;
  Parse("ELS", "x");
  EXPECT_EQ(queued(), "~00P004ELS2");
  Tilde_Reset();
  UpsRecord.eventPage = 22;
  UpsRecord.eventPaging = 1;
  Parse("ELS", "x");
  EXPECT_EQ(queued(), "");
  EXPECT_EQ(UpsRecord.eventPaging, 0);
}

TEST_F(TildeParseTest, RepliesToOtherFramesOrCutShortChangeNothing) {
  UpsRecordType before;
  memcpy(&before, &UpsRecord, sizeof before);
  auto parse = [](const std::string& sent, const std::string& reply) {
    Tilde_ParseFrame(reinterpret_cast<const uint8_t*>(sent.data()), static_cast<int>(sent.size()),
                     reinterpret_cast<const uint8_t*>(reply.data()), static_cast<int>(reply.size()), 1);
  };
  parse("~00S004TST3", Data("2"));         // no item named TST
  parse("~00P00", Data("2"));              // sent frame too short
  parse("~00P003STB", "~00D010abc");       // length beyond the bytes given
  parse("~00P003STB", "~00D9x1abc");       // length not digits
  parse("~00P003STB", "~00A");
  EXPECT_EQ(memcmp(&before, &UpsRecord, sizeof before), 0);
}

struct DebounceCase {
  const char* name;
  bool checksum;
  const char* mnemonic;
  std::vector<std::string> replies;
  int bit;
  std::string states;  // the bit after each reply
};

TEST_F(TildeParseTest, StatusBitsHoldForTheirDebounceCount) {
  const std::string ac1 = "0;1", ac0 = "0;0";
  const DebounceCase cases[] = {
      {"STA sets at 2, clears at 2", true, "STA", {ac1, ac1, ac1, ac0, ac0}, 1, "01110"},
      {"STA without checksum takes 4", false, "STA", {ac1, ac1, ac1, ac1, ac0, ac0, ac0, ac0}, 1, "00011110"},
      {"STA empty field leaves the bit", true, "STA", {ac1, ac1, "0;", "0"}, 1, "0111"},
      {"STA field 19 inverted", true, "STA", {FieldsWith(20, {{19, "0"}}), FieldsWith(20, {{19, "0"}})}, 19, "01"},
      {"STA late fields map to 49-54", true, "STA", {FieldsWith(33, {{27, "1"}, {32, "1"}}), FieldsWith(33, {{27, "1"}})},
       49, "01"},
      {"STA position 32 is bit 54", true, "STA", {FieldsWith(33, {{32, "1"}}), FieldsWith(33, {{32, "1"}})}, 54, "01"},
      {"battery low at 4 with checksum", true, "STB", {"0;1", "0;1", "0;1", "0;1", "0;0"}, 28, "00010"},
      {"battery low at 6 without", false, "STB", {"0;1", "0;1", "0;1", "0;1", "0;1", "0;1"}, 28, "000001"},
      {"depleted keeps low", true, "STB", {"0;1", "0;1", "0;1", "0;1", "0;2"}, 28, "00011"},
      {"own low-charge check", true, "STB",
       {FieldsWith(18, {{1, "0"}, {9, "15"}}), FieldsWith(18, {{1, "0"}, {9, "15"}}),
        FieldsWith(18, {{1, "0"}, {9, "15"}}), FieldsWith(18, {{1, "0"}, {9, "15"}}),
        FieldsWith(18, {{1, "0"}, {9, "25"}})},
       28, "00010"},
      {"discharging at once with checksum", true, "STB", {"0;0;3", FieldsWith(18, {{2, "0"}, {17, "0"}})}, 37, "10"},
      {"discharging at 3 without", false, "STB", {"0;0;3", "0;0;3", "0;0;3"}, 37, "001"},
      {"charger reading means charging", true, "STB", {FieldsWith(18, {{2, "0"}, {17, "5"}}),
                                                        FieldsWith(18, {{2, "0"}, {17, "5"}})}, 36, "01"},
      {"no charger, state 0 means charging", true, "STB", {"0;0;0", "0;0;0"}, 36, "01"},
      {"weak battery", true, "STB", {"1", "1", "0"}, 27, "010"},
      {"replacement reported", true, "STB", {"2", "2", "0"}, 30, "010"},
      {"on battery", true, "STO", {"1", "1", "0", "1", "1"}, 33, "01001"},
      {"bypass keeps the battery count", true, "STO", {"1", "1", "2", "1"}, 33, "0101"},
      {"bypass", true, "STO", {"2", "2"}, 34, "01"},
      {"buck", false, "STO", {"3", "3", "3", "3"}, 39, "0001"},
      {"boost", true, "STO", {"4", "4"}, 38, "01"},
      {"source 5", true, "STO", {"5", "5"}, 35, "01"},
      {"testing", true, "TSR", {"2", "2", "1", "2"}, 31, "0100"},
      {"test failed", true, "TSR", {"3", "5", "6"}, 32, "010"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClearRecord();
    UpsRecord.lowBattCheck = 1;
    UpsRecord.lowBattLevel = 20;
    std::string states;
    for (const auto& r : c.replies) {
      Parse(c.mnemonic, r, c.checksum);
      states += (UpsRecord.liveStatus & UpsBit(c.bit)) ? '1' : '0';
    }
    EXPECT_EQ(states, c.states);
  }
}

TEST_F(TildeParseTest, OutputSourceCounterOfBit5AndTheReplacementFlag) {
  // Source 7 counts bit 5's counter without setting the bit; STA then sets it at once.
  Parse("STO", "7");
  Parse("STO", "7");
  EXPECT_FALSE(UpsRecord.liveStatus & UpsBit(UPS_ST_OUTPUTOFF));
  Parse("STA", "0;0;0;0;0;1");
  EXPECT_TRUE(UpsRecord.liveStatus & UpsBit(UPS_ST_OUTPUTOFF));
  // The due flag of the record alone also shows as bit 30.
  ClearRecord();
  UpsRecord.replaceDue = 1;
  Parse("STB", "0");
  EXPECT_TRUE(UpsRecord.liveStatus & UpsBit(UPS_ST_BATTREPLACE));
  EXPECT_EQ(UpsRecord.replaceReported, 0);
  // GRE capability from STA field 31, except on module type 6.
  ClearRecord();
  Parse("STA", std::string(31, ';') + "0");
  EXPECT_EQ(UpsRecord.capabilities, UPS_CMD_GRE);
  ClearRecord();
  UpsRecord.moduleType = 6;
  Parse("STA", std::string(31, ';') + "0");
  EXPECT_EQ(UpsRecord.capabilities, 0u);
}

}  // namespace
