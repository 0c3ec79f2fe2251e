// Console broadcast. The script runs beside the loop; notices that come
// while it runs wait in a short queue, so that each run shows its own line
// in the fixed notice file. A run that does not end is ended after its
// bound, and the next notice goes out.
#include "events/wall.h"

#include <array>
#include <cstdio>
#include <ctime>

#include "core/svc.h"
#include "core/util.h"
#include "events/react.h"

namespace {

constexpr int kLine = 512;
constexpr int kQueue = 16;  // notices waiting for the script; the oldest goes first when full
static_assert(WALL_BOUND_S == 30, "the overrun event names the bound");

std::array<std::array<char, kLine>, kQueue> g_waiting;
int g_head, g_count;
bool g_running;

void StartNext();

void ScriptEnded() {
  g_running = false;
  StartNext();
}

// Writes the oldest waiting notice and starts the script for it.
void StartNext() {
  while (!g_running && g_count > 0) {
    const char* line = g_waiting[g_head].data();
    // A fixed name: never written through a link.
    char path[300];
    Svc_TmpPath(path, sizeof path, WALL_FILE);
    if (FILE* f = UF_FOpenNoFollow(path, "w", 0644)) {
      fprintf(f, "%s\n", line);
      fclose(f);
    }
    g_head = (g_head + 1) % kQueue;
    --g_count;
    char command[300];
    snprintf(command, sizeof command, "%s/command/command.wall", SvcInstallDir);
    // A script that does not end would hold every later notice.
    g_running = Svc_StartScript(command, "Can't run the command.wall!", ScriptEnded, WALL_BOUND_S,
                                "The command.wall did not end within 30 s and was stopped") == 1;
  }
}

}  // namespace

void Wall_Broadcast(uint8_t level, const char* text) {
  (void)level;
  if (!ReactSetting.notifyEnable) return;
  time_t now = Svc_Now();
  struct tm tm {};
  localtime_r(&now, &tm);
  if (g_count == kQueue) {
    g_head = (g_head + 1) % kQueue;
    --g_count;
  }
  char* line = g_waiting[(g_head + g_count) % kQueue].data();
  snprintf(line, kLine, "%02d/%02d/%04d %02d:%02d:%02d <%s>: %s", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900,
           tm.tm_hour, tm.tm_min, tm.tm_sec, SVC_PRODUCT, text ? text : "");
  ++g_count;
  StartNext();
}
