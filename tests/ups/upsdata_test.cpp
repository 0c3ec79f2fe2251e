// The UPS record: what a reset clears, keeps and reloads, and the battery
// replacement check.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>

#include "core/cfg.h"
#include "core/crypt.h"
#include "core/svc.h"
#include "support/scratch.h"
#include "ups/upsdata.h"

namespace {

const char kUpsFile[] =
    "[Format]\nVersion=5\n[UPS]\nEnable Battery Low=1\nBattery Low Level=40\nEnable Replace Notify=1\n"
    "Replace Notify Day=30\nLast Battery Replace=20200101\nNext Battery Replace=20230101\n"
    "Load Bank PF Enable2=Yes\nLoad Bank PF Delay2=15\nLoad Bank BL Enable8=Yes\nLoad Bank BL Delay8=90\n[End]\n";

class UpsDataTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    Crypt_Init();
    CfgVersion = 5;
    memset(&UpsRecord, 0, sizeof UpsRecord);
    Scratch_WriteFile(Path("config.ini"), kUpsFile);
    ASSERT_EQ(Cfg_Load(nullptr), 1);  // the record now holds the file's settings
  }
  void TearDown() override {
    memset(&UpsRecord, 0, sizeof UpsRecord);
    ScratchTest::TearDown();
  }

  // What a driver and the alarm processing leave in the record while linked.
  static void FillLinkedState() {
    UpsRecord.capabilities = UPS_CMD_TST | UPS_CAP_BMI;
    UpsRecord.liveStatus = UpsBit(UPS_ST_COMMLOST) | UpsBit(UPS_ST_ACFAIL);
    UpsRecord.shownStatus = UpsBit(UPS_ST_ACFAIL);
    snprintf(UpsRecord.model, sizeof UpsRecord.model, "MODEL-X");
    snprintf(UpsRecord.serial, sizeof UpsRecord.serial, "SN1");
    UpsRecord.moduleType = 3;
    for (int i = 0; i < UPS_VALUE_COUNT; ++i) UpsRecord.values[i] = 1000 + i;
    UpsRecord.values[VAL_ONBATTTIME] = 77;
    UpsRecord.debounce[5] = 3;
    UpsRecord.outletOn = 0x0F;
    UpsRecord.outletCount = 4;
    UpsRecord.replaceDue = 1;
    UpsRecord.replaceReported = 1;
    UpsRecord.pfOutletMsg[2] = 17;
    UpsRecord.blOutletMsg[7] = 42;
    for (UpsPowerModule& m : UpsRecord.modules) {
      m.shownAlarms = 0x10;
      m.liveAlarms = 0x11;
      m.level = 2;
      for (int32_t& r : m.readings) r = 5;
    }
    UpsRecord.worstModuleLevel = 2;
    UpsRecord.eventPaging = 1;
    UpsRecord.modelMatch = 2;
    for (UpsBatteryModule& b : UpsRecord.battModules) b = {1, 2, 3, 4, 5, 6};
  }
};

TEST_F(UpsDataTest, WhatAResetClearsAndWhatItKeeps) {
  struct Row {
    const char* name;
    std::function<long long()> got;
    long long afterReset;     // keep = 0
    long long afterLinkLost;  // keep = 1
  } rows[] = {
      {"capabilities", [] { return (long long)UpsRecord.capabilities; }, 0, (long long)(UPS_CMD_TST | UPS_CAP_BMI)},
      {"live status (bits 46 and 1)", [] { return (long long)UpsRecord.liveStatus; }, 0,
       (long long)(UpsBit(UPS_ST_COMMLOST) | UpsBit(UPS_ST_ACFAIL))},
      {"shown status", [] { return (long long)UpsRecord.shownStatus; }, 0, (long long)UpsBit(UPS_ST_ACFAIL)},
      {"module live alarms", [] { return (long long)UpsRecord.modules[9].liveAlarms; }, 0, 0x11},
      {"module shown alarms", [] { return (long long)UpsRecord.modules[0].shownAlarms; }, 0, 0x10},
      // 255 = none: 0 is a valid message id.
      {"pending power-fail outlet message", [] { return (long long)UpsRecord.pfOutletMsg[2]; }, 255, 17},
      {"pending battery-low outlet message", [] { return (long long)UpsRecord.blOutletMsg[7]; }, 255, 42},
      {"seconds on battery", [] { return (long long)UpsRecord.values[VAL_ONBATTTIME]; }, -1, 77},
      {"replacement due", [] { return (long long)UpsRecord.replaceDue; }, 0, 1},
      {"replacement reported by the UPS", [] { return (long long)UpsRecord.replaceReported; }, 0, 0},
      {"model text", [] { return (long long)strlen(UpsRecord.model); }, 0, 0},
      {"serial text", [] { return (long long)strlen(UpsRecord.serial); }, 0, 0},
      {"module type", [] { return (long long)UpsRecord.moduleType; }, 0, 0},
      {"debounce counter", [] { return (long long)UpsRecord.debounce[5]; }, 0, 0},
      {"outlets on", [] { return (long long)UpsRecord.outletOn; }, 0, 0},
      {"outlet count", [] { return (long long)UpsRecord.outletCount; }, 0, 0},
      {"module level", [] { return (long long)UpsRecord.modules[4].level; }, 0, 0},
      {"worst module level", [] { return (long long)UpsRecord.worstModuleLevel; }, 0, 0},
      {"event paging", [] { return (long long)UpsRecord.eventPaging; }, 0, 0},
      {"model match", [] { return (long long)UpsRecord.modelMatch; }, 0, 0},
      {"[UPS] low-battery level", [] { return (long long)UpsRecord.lowBattLevel; }, 40, 40},
      {"[UPS] notice days", [] { return (long long)UpsRecord.replaceNoticeDays; }, 30, 30},
      {"[UPS] power-fail outlet mask", [] { return (long long)UpsRecord.pfOutletMask; }, 0x02, 0x02},
      {"[UPS] battery-low outlet delay 8", [] { return (long long)UpsRecord.blOutletDelay[7]; }, 90, 90},
  };
  for (int keep : {0, 1}) {
    SCOPED_TRACE(keep ? "keep = 1" : "keep = 0");
    FillLinkedState();
    UpsData_Reset(keep);
    for (const Row& r : rows) EXPECT_EQ(r.got(), keep ? r.afterLinkLost : r.afterReset) << r.name;
    // Every measurement other than the seconds on battery and every
    // module reading is unknown; no battery module is listed.
    for (int i = 0; i < UPS_VALUE_COUNT; ++i) {
      if (i != VAL_ONBATTTIME) {
        EXPECT_EQ(UpsRecord.values[i], -1) << "value " << i;
      }
    }
    for (const UpsPowerModule& m : UpsRecord.modules)
      for (int32_t r : m.readings) EXPECT_EQ(r, -1);
    EXPECT_EQ(UpsRecord.battModules[0].id, -1);
    for (const UpsBatteryModule& b : UpsRecord.battModules)
      EXPECT_TRUE(b.id == -1 && b.voltage == 0 && b.current == 0 && b.temperature == 0 && b.health == 0 && b.charge == 0);
    EXPECT_STREQ(UpsRecord.battLastDate, "20200101");
    EXPECT_STREQ(UpsRecord.battNextDate, "20230101");
    EXPECT_EQ(UpsRecord.Reset, &UpsData_Reset);
    EXPECT_EQ(UpsRecord.CheckBattReplace, &UpsData_CheckBattReplace);
  }
}

TEST_F(UpsDataTest, AtALostLinkTheFileHoldsTheUpsSettings) {
  // Settings in use that differ from config.ini (the file was edited by
  // hand while the daemon ran): the reset takes the file's, dates and all.
  // A file without the [UPS] keys leaves the settings in use as they are.
  const struct {
    const char* file;
    int level, check, delay;
    const char* next;
  } kCases[] = {
      {kUpsFile, 40, 1, 90, "20230101"},
      {"[Format]\nVersion=5\n[UPS]\n[End]\n", 77, 0, 5, "20990101"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.file);
    Scratch_WriteFile(Path("config.ini"), c.file);
    UpsRecord.lowBattLevel = 77;
    UpsRecord.lowBattCheck = 0;
    UpsRecord.blOutletDelay[7] = 5;
    snprintf(UpsRecord.battNextDate, sizeof UpsRecord.battNextDate, "20990101");
    UpsData_Reset(1);
    EXPECT_EQ(UpsRecord.lowBattLevel, c.level);
    EXPECT_EQ(UpsRecord.lowBattCheck, c.check);
    EXPECT_EQ(UpsRecord.blOutletDelay[7], c.delay);
    EXPECT_STREQ(UpsRecord.battNextDate, c.next);
  }
}

TEST_F(UpsDataTest, InitResetsTheRecordAndKeepsTheClock) {
  struct tm now {};
  now.tm_year = 2022 - 1900;
  now.tm_mon = 11;  // December
  now.tm_mday = 15;
  FillLinkedState();
  UpsData_Init(&now);
  EXPECT_EQ(UpsRecord.liveStatus, 0u);
  EXPECT_EQ(UpsRecord.values[VAL_ONBATTTIME], -1);
  EXPECT_STREQ(UpsRecord.battNextDate, "20230101");
  // The check reads the clock record it was given: 21 counted days to go, 30 notice days.
  UpsRecord.CheckBattReplace();
  EXPECT_EQ(UpsRecord.replaceDue, 1);
  now.tm_year = 2022 - 1900;
  now.tm_mon = 0;
  UpsRecord.CheckBattReplace();
  EXPECT_EQ(UpsRecord.replaceDue, 0);
  UpsData_Exit();
}

TEST_F(UpsDataTest, BatteryReplacementCheck) {
  struct Case {
    const char* name;
    uint8_t notice;
    const char* nextDate;
    int year, month, day;  // today
    uint8_t before;
    uint8_t want;
  } cases[] = {
      {"59 counted days before: due", 1, "20300101", 2029, 11, 7, 0, 1},
      {"60 counted days before: due", 1, "20300101", 2029, 11, 6, 0, 1},
      {"65 counted days before: not due", 1, "20300101", 2029, 11, 1, 1, 0},
      {"a date already past: due", 1, "20200101", 2029, 11, 1, 0, 1},
      {"all-zero date never", 1, "00000000", 2029, 11, 1, 1, 0},
      {"empty date never", 1, "", 2029, 11, 1, 1, 0},
      {"year without month never", 1, "2030", 2029, 11, 1, 1, 0},
      {"year 2000 never", 1, "20000101", 2029, 11, 1, 1, 0},
      {"notice off keeps a set flag", 0, "20300101", 2029, 11, 1, 1, 1},
      {"notice off keeps a clear flag", 0, "20200101", 2029, 11, 1, 0, 0},
  };
  struct tm now {};
  UpsData_Init(&now);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpsRecord.replaceNotice = c.notice;
    UpsRecord.replaceNoticeDays = 60;
    snprintf(UpsRecord.battNextDate, sizeof UpsRecord.battNextDate, "%s", c.nextDate);
    now.tm_year = c.year - 1900;
    now.tm_mon = c.month - 1;
    now.tm_mday = c.day;
    UpsRecord.replaceDue = c.before;
    UpsData_CheckBattReplace();
    EXPECT_EQ(UpsRecord.replaceDue, c.want);
  }
}

}  // namespace
