// Console broadcast: one dated notice line in "<tmp>/TMP_BROAD.DAT", shown
// on the host's terminals by the installed script "command/command.wall",
// which runs beside the main loop, one notice at a time.
// A plain function, called by the dispatcher and the shutdown countdown.
#pragma once
#include <cstdint>

constexpr const char* WALL_FILE = "TMP_BROAD.DAT";
// Seconds a run of the script may take; then it is ended (SIGTERM, SIGKILL
// 2 s later), a level-2 event says so, and the next notice goes out.
constexpr int WALL_BOUND_S = 30;

// Does nothing while "Notify Message Enable=" is off. level is not used;
// text is written as it stands. While the script still shows an earlier
// notice, the line waits (up to 16 lines; the oldest waiting one is dropped
// beyond that) and is written when that run has ended.
void Wall_Broadcast(uint8_t level, const char* text);
