// Process life cycle and main loop.
#include "core/svc.h"

#include <cstdio>
#include <cstring>

char SvcInstallDir[256] = UPSD_INSTALL_DIR;
char SvcTmpDir[256] = "/tmp";

void Svc_SetDirs(const char* installDir, const char* tmpDir) {
  if (installDir) snprintf(SvcInstallDir, sizeof SvcInstallDir, "%s", installDir);
  if (tmpDir) snprintf(SvcTmpDir, sizeof SvcTmpDir, "%s", tmpDir);
}

const char* Svc_TmpPath(char* out, unsigned size, const char* name) {
  snprintf(out, size, "%s/%s", SvcTmpDir, name);
  return out;
}

int Svc_Main(int, char**) { return 0; }
