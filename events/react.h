// Shutdown reactions and countdowns: power failure, battery low, overload,
// bypass and scheduled shutdown, each with an enable setting and a delay,
// the user command and the smart-shutdown trap lead time. The settings of
// the [Shutdown] and [Reaction] sections of config.ini live here.
#pragma once
#include <cstdint>
#include <cwchar>

constexpr int REACT_COUNT = 5;

// Reaction index r: the order of the enable and delay settings.
enum ReactIndex : int {
  REACT_POWER_FAIL = 0,
  REACT_BATTERY_LOW = 1,
  REACT_OVERLOAD = 2,
  REACT_BYPASS = 3,
  REACT_SCHEDULE = 4,
};

// "Type=": what the end of a countdown does to the host.
enum ReactShutdownType : uint8_t {
  REACT_TYPE_SHUTDOWN = 0,
  REACT_TYPE_POWEROFF = 1,
  REACT_TYPE_HIBERNATE = 2,
};

constexpr int REACT_COMMAND_CHARS = 256;

struct ReactSettings {
  uint8_t type;                    // "Type=", ReactShutdownType
  int32_t upsDelay;                // "UPS Delay=", seconds sent with the delayed shutdown
  uint8_t enable[REACT_COUNT];     // "Power Fail Enable=" ... "Schedule Shutdown Enable="
  int32_t delay[REACT_COUNT];      // "Power Fail Delay=" ... "Schedule Shutdown Delay=", seconds
  uint8_t notifyEnable;            // "Notify Message Enable="
  uint16_t notifyPeriod;           // "Notify Message Period=", seconds; 0 no repeat
  uint8_t commandEnable;           // "Execute Command Enable="
  int32_t commandBefore;           // "Execute Command Before=", seconds
  wchar_t commandFile[REACT_COMMAND_CHARS + 1];  // "Execute Command File="
  uint8_t smartTrapEnable;         // "Send Smart Shutdown Trap Enable="
  int32_t smartTrapBefore;         // "Send Smart Shutdown Trap Before=", seconds
};
extern ReactSettings ReactSetting;
