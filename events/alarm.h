// Alarm processing: once a second the live status word of the UPS record
// is compared with its shown copy; each changed bit becomes the UPS event of
// its beginning or end (log, trap and console broadcast messages, repeating
// broadcasts), switches the load-bank outlets, arms Wake-on-LAN when power
// returns, sets the reaction triggers, and ages the network shutdown
// clients' status records, raising their events. Reached through ReactOps.
#pragma once
#include <cstdint>

constexpr int ALARM_REPEAT_IDS = 64;

// Message id of each status bit's repeating broadcast; MSG_NONE (255) = none.
extern uint8_t AlarmRepeatIds[ALARM_REPEAT_IDS];

void Alarm_Process();
// Removes every pending repeating broadcast.
void Alarm_CancelRepeats();
// Removes all repeating broadcasts and logs system event 9 (the web's "PAUSE_BROAD").
void Alarm_StopRepeats();
// Sets the reaction triggers of the conditions the shown status word holds,
// as their beginnings would: after a resume from hibernation the status
// words are as they were, so no edge comes for a condition that still holds.
void Alarm_JudgeTriggers();
// Sets every repeat id to none (React_Init).
void Alarm_ClearRepeatIds();
// The dispatcher delivered the outlet message with this id: its stored id
// is cleared, so it is never removed later (ids are reused).
void Alarm_OutletDelivered(uint8_t id);

// Outlets (bit j = outlet j + 1) that were sent off, or have an off message
// pending, for a power failure and for a low battery: switched back on when
// the condition ends.
extern uint8_t AlarmPfOutletsOff;
extern uint8_t AlarmBlOutletsOff;
