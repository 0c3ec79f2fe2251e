// Alarm processing with the real message queue, a UPS record fixture and
// recording fakes for the event log, the UPS commands and Wake-on-LAN.
#include <gtest/gtest.h>

#include <array>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/msg.h"
#include "events/alarm.h"
#include "events/evtdef.h"
#include "events/mail.h"
#include "events/react.h"
#include "support/events_fakes.h"
#include "snmp/snmppoll.h"
#include "snmp/snmptrap.h"
#include "support/scratch.h"
#include "ups/upsdata.h"

namespace {

constexpr uint64_t B(int bit) { return UpsBit(bit); }

QueuedMessage Trap(int e) { return {0, MSG_TRAP, 1, 6, uint8_t(e), 0}; }
QueuedMessage Wall(int e) { return {0, MSG_WALL, 1, uint8_t(e), 0, 0}; }
QueuedMessage Repeat(int e, uint32_t period) { return {0, MSG_WALL_REPEAT, 1, uint8_t(e), 0, period}; }
// The alarm processing's outlet messages ask for the state of the UPS's condition.
QueuedMessage Outlet(int on, int outlet, uint32_t ticks) {
  return {0, MSG_OUTLET, uint8_t(on), uint8_t(outlet), MSG_OUTLET_FOR_CONDITION, ticks};
}

using Triggers = std::array<uint8_t, REACT_COUNT>;
Triggers CurrentTriggers() {
  Triggers t;
  memcpy(t.data(), ReactCountdown.trigger, REACT_COUNT);
  return t;
}

class AlarmTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    Msg_Init();
    Msg_ResetForTest();
    React_Init(nullptr);
    InstallEventFakes();
    UpsRecord = UpsRecordType{};
    memset(UpsRecord.pfOutletMsg, MSG_NONE, sizeof UpsRecord.pfOutletMsg);
    memset(UpsRecord.blOutletMsg, MSG_NONE, sizeof UpsRecord.blOutletMsg);
    for (int32_t& v : UpsRecord.values) v = -1;
    AlarmPfOutletsOff = AlarmBlOutletsOff = 0;
    EvtUpsEvents = {};
    for (int e = 0; e < 2 * EVT_STATUS_BITS; ++e) EvtUpsEvents.level[e] = 1;
    ReactSetting = ReactSettings{};
    ReactSetting.notifyEnable = 1;
    SnmpTrapReceiverCount = 0;
  }
  void TearDown() override {
    SnmpTrapReceiverCount = 0;
    ScratchTest::TearDown();
  }
  // One second: the live word as the drivers left it, then the alarm step.
  void Second(uint64_t live) {
    UpsRecord.liveStatus = live;
    Alarm_Process();
  }
  // Clears what the fakes and the queue recorded so far.
  void Forget() {
    g_logged.clear();
    g_wolArms.clear();
    Msg_ResetForTest();
  }
};

TEST_F(AlarmTest, StatusEdgesBecomeEventsMessagesAndTriggers) {
  struct Case {
    const char* name;
    uint64_t shown, live;
    std::function<void()> setup;
    std::vector<int> logged;
    std::vector<QueuedMessage> queued;
    Triggers triggers;
    size_t wolArms;
  } cases[] = {
      {"input failure alone", 0, B(1), nullptr, {102}, {Trap(2), Wall(2)}, {0, 0, 0, 0, 0}, 0},
      {"input failure and discharging in one pass: the outlet's off message is posted once",
       0, B(1) | B(37),
       [] {
         UpsRecord.pfOutletMask = 0x02;
         UpsRecord.pfOutletDelay[1] = 30;
       },
       {102, 174}, {Trap(2), Wall(2), Trap(74), Wall(74), Outlet(0, 2, 300)}, {1, 0, 0, 0, 0}, 0},
      {"discharging joins a failed input", B(1), B(1) | B(37), nullptr, {174}, {Trap(74), Wall(74)},
       {1, 0, 0, 0, 0}, 0},
      {"power returns: both ends arm Wake-on-LAN and clear the triggers", B(1) | B(37), 0,
       [] { ReactCountdown.trigger[REACT_POWER_FAIL] = ReactCountdown.trigger[REACT_BATTERY_LOW] = 1; },
       {103, 175}, {Trap(3), Wall(3), Trap(75), Wall(75)}, {0, 0, 0, 0, 0}, 2},
      {"overload begins", 0, B(3), nullptr, {106}, {Trap(6), Wall(6)}, {0, 0, 1, 0, 0}, 0},
      {"overload ends", B(3), 0, [] { ReactCountdown.trigger[REACT_OVERLOAD] = 1; }, {107}, {Trap(7), Wall(7)},
       {0, 0, 0, 0, 0}, 0},
      {"on bypass", 0, B(34), nullptr, {168}, {Trap(68), Wall(68)}, {0, 0, 0, 1, 0}, 0},
      {"bypass output in economy mode is no bypass", B(16), B(16) | B(34),
       [] { UpsRecord.values[VAL_OUTSRC] = 2; }, {}, {}, {0, 0, 0, 0, 0}, 0},
      {"bypass with economy mode beginning in the same pass", 0, B(16) | B(34),
       [] { UpsRecord.values[VAL_OUTSRC] = 2; }, {132, 168}, {Trap(32), Wall(32), Trap(68), Wall(68)},
       {0, 0, 0, 1, 0}, 0},
      {"battery low on battery", B(1) | B(37), B(1) | B(37) | B(28),
       [] {
         UpsRecord.blOutletMask = 0x81;
         UpsRecord.blOutletDelay[0] = 5;
         UpsRecord.blOutletDelay[7] = 0;
       },
       {156}, {Trap(56), Wall(56), Outlet(0, 1, 50), Outlet(0, 8, 0)}, {0, 1, 0, 0, 0}, 0},
      {"battery low on mains sheds its outlets without a trigger", 0, B(28),
       [] { UpsRecord.blOutletMask = 0x04; }, {156}, {Trap(56), Wall(56), Outlet(0, 3, 0)}, {0, 0, 0, 0, 0}, 0},
      {"a level-0 event is silent but its reaction runs", 0, B(3), [] { EvtUpsEvents.level[6] = 0; }, {}, {},
       {0, 0, 1, 0, 0}, 0},
      {"broadcasts off: no console message", 0, B(3), [] { ReactSetting.notifyEnable = 0; }, {106}, {Trap(6)},
       {0, 0, 1, 0, 0}, 0},
      {"bits above 53 raise nothing", 0, B(54) | B(63), nullptr, {}, {}, {0, 0, 0, 0, 0}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    UpsRecord.shownStatus = c.shown;
    if (c.setup) c.setup();
    Second(c.live);
    EXPECT_EQ(LoggedCodes(), c.logged);
    EXPECT_EQ(DelayedMessages(), c.queued);
    EXPECT_EQ(CurrentTriggers(), c.triggers);
    EXPECT_EQ(g_wolArms.size(), c.wolArms);
    for (int reason : g_wolArms) EXPECT_EQ(reason, WOL_ARM_POWER_RESTORE);
    EXPECT_EQ(UpsRecord.shownStatus, c.live);
    TearDown();
  }
  SetUp();
}

TEST_F(AlarmTest, SecondsOnBatteryFollowThePowerFailBits) {
  Second(B(1));
  EXPECT_EQ(UpsRecord.values[VAL_ONBATTTIME], 0);
  UpsRecord.values[VAL_ONBATTTIME] = 42;
  Second(B(1) | B(37));
  EXPECT_EQ(UpsRecord.values[VAL_ONBATTTIME], 0);
  Second(0);
  EXPECT_EQ(UpsRecord.values[VAL_ONBATTTIME], -1);
}

TEST_F(AlarmTest, ABatteryAlreadyLowStartsTheBatteryLowReaction) {
  struct {
    const char* name;
    uint64_t shown, live;
    uint8_t powerFail, batteryLow;
  } cases[] = {
      {"battery low shown before the power fails", B(28), B(28) | B(1) | B(37), 1, 1},
      {"battery low in the same second as the power failure", 0, B(1) | B(28) | B(37), 1, 1},
      {"battery low while only the input failed", B(1), B(1) | B(28), 0, 0},
      {"battery low, then discharging begins", B(1) | B(28), B(1) | B(28) | B(37), 1, 1},
      {"power returns with the battery still low", B(1) | B(28) | B(37), B(28), 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    ReactCountdown.trigger[REACT_POWER_FAIL] = ReactCountdown.trigger[REACT_BATTERY_LOW] = c.shown & B(37) ? 1 : 0;
    UpsRecord.shownStatus = c.shown;
    Second(c.live);
    EXPECT_EQ(ReactCountdown.trigger[REACT_POWER_FAIL], c.powerFail);
    EXPECT_EQ(ReactCountdown.trigger[REACT_BATTERY_LOW], c.batteryLow);
    TearDown();
  }
  SetUp();
}

// After a resume from hibernation the triggers are judged from the shown
// status word: they must be what the same status gives when it begins on a
// daemon that runs (at start every set bit is a beginning; economy mode,
// which gates a bypass only once it is shown, is taken as already shown).
TEST_F(AlarmTest, TriggersJudgedFromTheStatusAreThoseOfAStart) {
  const uint64_t words[] = {
      0, B(1), B(37), B(1) | B(37), B(1) | B(37) | B(28), B(28), B(1) | B(28), B(3), B(34), B(16) | B(34),
      B(1) | B(37) | B(28) | B(3) | B(34), B(46) | B(1) | B(37),
  };
  for (uint64_t word : words) {
    for (int32_t outputSource : {-1, 2}) {
      SCOPED_TRACE(testing::Message() << std::hex << word << " output source " << outputSource);
      SetUp();
      UpsRecord.values[VAL_OUTSRC] = outputSource;
      Second(word & B(UPS_ST_ECONOMIC));
      Second(word);
      const Triggers atStart = CurrentTriggers();
      React_Init(nullptr);
      UpsRecord.shownStatus = word;
      Alarm_JudgeTriggers();
      EXPECT_EQ(CurrentTriggers(), atStart);
      TearDown();
    }
  }
  SetUp();
}

TEST_F(AlarmTest, PowerReturnsBeforeTheOutletDelays) {
  UpsRecord.pfOutletMask = 0x05;  // outlets 1 and 3
  UpsRecord.pfOutletDelay[0] = 60;
  UpsRecord.pfOutletDelay[2] = 120;
  EvtUpsEvents = {};  // silent events: only the outlet messages are queued
  Second(B(1) | B(37));
  ASSERT_EQ(DelayedMessages(), (std::vector<QueuedMessage>{Outlet(0, 1, 600), Outlet(0, 3, 1200)}));
  MsgOps.Tick(100);
  Second(0);
  // The pending off messages are gone and both outlets are sent on.
  EXPECT_EQ(DelayedMessages(), (std::vector<QueuedMessage>{Outlet(1, 1, 1), Outlet(1, 3, 1)}));
  EXPECT_EQ(UpsRecord.pfOutletMsg[0], MSG_NONE);
  EXPECT_EQ(UpsRecord.pfOutletMsg[2], MSG_NONE);
  EXPECT_EQ(AlarmPfOutletsOff, 0);
  // A second end in a row sends nothing more.
  Second(B(1));
  Msg_ResetForTest();
  Second(0);
  EXPECT_TRUE(DelayedMessages().empty());
}

TEST_F(AlarmTest, AnOutletSentOffComesBackOnAndItsIdIsForgotten) {
  EvtUpsEvents = {};
  UpsRecord.pfOutletMask = 0x02;
  UpsRecord.pfOutletDelay[1] = 1;
  Second(B(1) | B(37));
  const uint8_t id = UpsRecord.pfOutletMsg[1];
  ASSERT_NE(id, MSG_NONE);
  MsgOps.Tick(10);
  ASSERT_EQ(MsgOps.Get(), MSG_OUTLET);
  ASSERT_EQ(MsgCurrent.id, id);
  Alarm_OutletDelivered(MsgCurrent.id);  // as the dispatcher does
  EXPECT_EQ(UpsRecord.pfOutletMsg[1], MSG_NONE);

  // A message that now carries the same id is not the outlet's: power
  // returning must leave it alone and still switch the outlet on.
  MsgPostParams = MsgParams{{7, 7, 7, 7}};
  for (int i = 0; i < 250; ++i) MsgOps.Remove(MsgOps.PostDelayed(MSG_TICK_5S, 1000));
  uint8_t other = MsgOps.PostDelayed(MSG_TICK_5S, 1000);
  ASSERT_EQ(other, id);
  Second(0);
  EXPECT_EQ(DelayedMessages(), (std::vector<QueuedMessage>{{0, MSG_TICK_5S, 7, 7, 7, 1000}, Outlet(1, 2, 1)}));
}

TEST_F(AlarmTest, MessageIdZeroIsAPendingMessage) {
  EvtUpsEvents = {};
  // Run the id counter round so that the second off message of the pass
  // (the edge of bit 37 replaces the one of bit 1) gets id 0.
  for (int i = 0; i < 249; ++i) MsgOps.Remove(MsgOps.PostDelayed(MSG_TICK_5S, 1));
  UpsRecord.pfOutletMask = 0x01;
  UpsRecord.pfOutletDelay[0] = 600;
  Second(B(1) | B(37));
  ASSERT_EQ(UpsRecord.pfOutletMsg[0], 0);
  Second(0);
  // The off message with id 0 is removed: the outlet does not go off later.
  EXPECT_EQ(DelayedMessages(), (std::vector<QueuedMessage>{Outlet(1, 1, 1)}));
}

TEST_F(AlarmTest, RepeatingBroadcasts) {
  ReactSetting.notifyPeriod = 30;
  Second(B(3));
  ASSERT_EQ(RepeatingMessages(), (std::vector<QueuedMessage>{Repeat(6, 300)}));
  const uint8_t id = AlarmRepeatIds[3];
  Second(B(3));  // no change: nothing new
  EXPECT_EQ(RepeatingMessages().size(), 1u);
  EXPECT_EQ(AlarmRepeatIds[3], id);
  Second(0);
  EXPECT_TRUE(RepeatingMessages().empty());
  EXPECT_EQ(AlarmRepeatIds[3], MSG_NONE);

  // A silent beginning posts no repeat; its end still removes a stored one.
  EvtUpsEvents.level[2 * 9] = 0;
  Second(B(9));
  EXPECT_TRUE(RepeatingMessages().empty());
  AlarmRepeatIds[9] = MsgOps.PostRepeating(MSG_WALL_REPEAT, 5, MSG_REPEAT_FOREVER);
  Second(0);
  EXPECT_TRUE(RepeatingMessages().empty());
  EXPECT_EQ(AlarmRepeatIds[9], MSG_NONE);

  // Period 0: none; a later period takes effect at the next beginning.
  ReactSetting.notifyPeriod = 0;
  Second(B(0));
  EXPECT_TRUE(RepeatingMessages().empty());
  ReactSetting.notifyPeriod = 2;
  Second(B(0) | B(4));
  EXPECT_EQ(RepeatingMessages(), (std::vector<QueuedMessage>{Repeat(8, 20)}));

  // Cancelling after a resume removes only the alarm's own repeats.
  Second(B(0) | B(4) | B(7));
  uint8_t clock = MsgOps.PostRepeating(MSG_TICK_1S, 10, MSG_REPEAT_FOREVER);
  EXPECT_EQ(RepeatingMessages().size(), 3u);
  Alarm_CancelRepeats();
  ASSERT_EQ(RepeatingMessages().size(), 1u);
  EXPECT_EQ(RepeatingMessages()[0].id, clock);
  for (uint8_t r : AlarmRepeatIds) EXPECT_EQ(r, MSG_NONE);

  // Stopping from the web removes every repeating broadcast and logs event 9.
  MsgOps.PostRepeating(MSG_WALL_REPEAT, 10, MSG_REPEAT_FOREVER);
  g_logged.clear();
  Alarm_StopRepeats();
  ASSERT_EQ(RepeatingMessages().size(), 1u);
  EXPECT_EQ(LoggedCodes(), std::vector<int>{9});
}

TEST_F(AlarmTest, PowerModuleAlarmsSetTheModuleBit) {
  EvtUpsEvents.level[EVT_MODULE_ALARM_BASE + 2 * 3] = 2;
  EvtUpsEvents.level[EVT_MODULE_ALARM_BASE + 2 * 5] = 3;
  EvtUpsEvents.level[EVT_MODULE_ALARM_BASE + 2 * 6] = 1;
  EvtUpsEvents.level[2 * UPS_ST_POWERMODULE] = 2;
  UpsRecord.modules[0].liveAlarms = B(6);            // level 1
  UpsRecord.modules[1].liveAlarms = B(0) | B(5);     // absent: does not count
  Second(0);
  EXPECT_EQ(UpsRecord.modules[0].level, 1);
  EXPECT_EQ(UpsRecord.modules[1].level, 3);
  EXPECT_EQ(UpsRecord.worstModuleLevel, 1);
  EXPECT_FALSE(UpsRecord.liveStatus & B(UPS_ST_POWERMODULE));

  UpsRecord.modules[4].liveAlarms = B(3) | B(6);     // level 2
  Second(UpsRecord.liveStatus);
  EXPECT_EQ(UpsRecord.modules[4].shownAlarms, B(3) | B(6));
  EXPECT_EQ(UpsRecord.worstModuleLevel, 2);
  EXPECT_TRUE(UpsRecord.liveStatus & B(UPS_ST_POWERMODULE));
  EXPECT_TRUE(g_logged.empty());
  // The bit's event follows one second later.
  Alarm_Process();
  EXPECT_EQ(LoggedCodes(), std::vector<int>{100 + 2 * UPS_ST_POWERMODULE});
  UpsRecord.modules[4].liveAlarms = 0;
  Alarm_Process();
  EXPECT_FALSE(UpsRecord.liveStatus & B(UPS_ST_POWERMODULE));
}

// Network shutdown clients: receivers 0 and 2 are clients, receiver 1 is
// a plain trap receiver whose record is left alone.
TEST_F(AlarmTest, ShutdownClientRecordsAgeAndRaiseTheClientEvents) {
  SnmpPoll_Init();
  const char* ips[] = {"192.0.2.2", "192.0.2.3", "2001:db8::2"};
  const uint8_t levels[] = {4, 2, 4};
  for (int j = 0; j < 3; ++j) {
    SnmpTrapReceivers[j] = TrapReceiver{};
    snprintf(SnmpTrapReceivers[j].ip, sizeof SnmpTrapReceivers[j].ip, "%s", ips[j]);
    SnmpTrapReceivers[j].level = levels[j];
  }
  SnmpTrapReceiverCount = 3;
  ShutdownClientStatus& a = SnmpPollClients[0];
  ShutdownClientStatus& b = SnmpPollClients[2];
  snprintf(a.hostName, sizeof a.hostName, "alpha");
  snprintf(b.hostName, sizeof b.hostName, "beta");
  b.touch = 25;
  using Ev = LoggedEvent;

  // The last answer was 30 seconds ago: nothing yet; in the 31st second the
  // client is reported silent.
  for (int s = 0; s < 30; ++s) Alarm_Process();
  EXPECT_EQ(g_logged, (std::vector<Ev>{{28, {"2001:db8::2", "beta"}}}));
  Forget();
  Alarm_Process();
  EXPECT_EQ(g_logged, (std::vector<Ev>{{28, {"192.0.2.2", "alpha"}}}));
  EXPECT_EQ(SnmpPollClients[1].touch, 0);
  EXPECT_EQ(a.status, 0x01);

  // Its next answer: event 29 within the second.
  Forget();
  a.touch = 0;
  Alarm_Process();
  EXPECT_EQ(g_logged, (std::vector<Ev>{{29, {"192.0.2.2", "alpha"}}}));

  // A countdown runs down to 0 and stays there while the flag is set.
  Forget();
  a.countingDown = 1;
  a.countdown = 2;
  Alarm_Process();
  EXPECT_EQ(g_logged, (std::vector<Ev>{{30, {"192.0.2.2", "alpha"}}}));
  EXPECT_EQ(a.countdown, 1);
  Alarm_Process();
  Alarm_Process();
  EXPECT_EQ(a.countdown, 0);
  a.countingDown = 0;
  a.seventhFlag = 1;
  Forget();
  Alarm_Process();
  EXPECT_EQ(g_logged, (std::vector<Ev>{{31, {"192.0.2.2", "alpha"}}, {32, {"192.0.2.2", "alpha"}}}));
  Forget();
  a.seventhFlag = 0;
  a.countingDown = 2;  // only 1 means counting down
  a.countdown = 5;
  Alarm_Process();
  EXPECT_EQ(g_logged, (std::vector<Ev>{{33, {"192.0.2.2", "alpha"}}}));
  EXPECT_EQ(a.countdown, 5);

  // The touch counter stops at its top value.
  b.touch = POLL_TOUCH_FROZEN;
  Alarm_Process();
  EXPECT_EQ(b.touch, POLL_TOUCH_FROZEN);
  EXPECT_EQ(b.status, 0x01);
}

}  // namespace

namespace {

std::vector<std::string> g_alarmMail;
void RecordAlarmMail(int kind, int index, const char* serial, const char* model, ...) {
  va_list ap;
  va_start(ap, model);
  const char* extra = va_arg(ap, const char*);
  va_end(ap);
  g_alarmMail.push_back(std::to_string(kind) + "/" + std::to_string(index) + " " + serial + " " + model +
                        (extra ? " +args" : ""));
}

TEST_F(AlarmTest, BatteryReplacementNoticeIsMailedNotLogged) {
  g_alarmMail.clear();
  MailOps.AddEvent = RecordAlarmMail;
  snprintf(UpsRecord.serial, sizeof UpsRecord.serial, "SIM0012345");
  snprintf(UpsRecord.model, sizeof UpsRecord.model, "SIMUPS 3000");
  Second(B(UPS_ST_BATTREPLACE));
  Second(B(UPS_ST_BATTREPLACE));
  Second(0);
  EXPECT_EQ(g_alarmMail, (std::vector<std::string>{"0/35 SIM0012345 SIMUPS 3000"}));
  // The bit's own events are logged; the notice (system event 35) is not.
  EXPECT_EQ(LoggedCodes(), (std::vector<int>{100 + 2 * UPS_ST_BATTREPLACE, 101 + 2 * UPS_ST_BATTREPLACE}));
  MailOps.AddEvent = nullptr;
}

}  // namespace
