// Console broadcast.
#include "events/wall.h"

#include <cstdio>
#include <ctime>

#include "core/svc.h"
#include "core/util.h"
#include "events/evtdef.h"
#include "events/evtlog.h"
#include "events/react.h"

void Wall_Broadcast(uint8_t level, const char* text) {
  (void)level;
  if (!ReactSetting.notifyEnable) return;
  time_t now = Svc_Now();
  struct tm tm {};
  localtime_r(&now, &tm);
  char line[512];
  snprintf(line, sizeof line, "%02d/%02d/%04d %02d:%02d:%02d <%s>: %s", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900,
           tm.tm_hour, tm.tm_min, tm.tm_sec, SVC_PRODUCT, text ? text : "");

  // A fixed name in a shared directory: never through a planted link.
  char path[300];
  Svc_TmpPath(path, sizeof path, WALL_FILE);
  if (FILE* f = UF_FOpenNoFollow(path, "w", 0644)) {
    fprintf(f, "%s\n", line);
    fclose(f);
  }

  char command[300];
  snprintf(command, sizeof command, "%s/command/command.wall", SvcInstallDir);
  if (!Svc_RunScript(command) && EvtLogOps.Add) EvtLogOps.Add(EVT_FREE_TEXT, 3, "Can't run the command.wall!");
}
