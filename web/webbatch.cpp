// Configuration batch and debug pages: the DBG_ variables and the sys_batch
// and debug forms. The download copy of config.ini and the serial trace lie
// in the temporary directory, which the browser reaches as "/tempage/".
#include "web/webbatch.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "core/cfg.h"
#include "core/svc.h"
#include "core/util.h"
#include "ups/com.h"
#include "web/websess.h"
#include "web/websys.h"

namespace {

// Entries of the DBG_ group, in stored order.
enum DbgEntry {
  DBG_ENTRY_TX_OK,
  DBG_ENTRY_TX_ERR,
  DBG_ENTRY_RX_OK,
  DBG_ENTRY_RX_TIMEOUT,
  DBG_ENTRY_RX_CSERR,
  DBG_ENTRY_RX_OVERFLOW,
  DBG_ENTRY_RX_PARSEERR,
  DBG_ENTRY_COM_LOG,
  DBG_ENTRY_COM_FILE,
};

const char* const kUploaded =
    "Message: Redirect=/en/sys_batch.asp\nTitle=Information\nBody=<font color=#008000>Upload successfully.</font>\n";
const char* const kCopyFailed =
    "Message: Redirect=/en/sys_batch.asp\nTitle=Error\nBody=<font color=#F00000>The configuration could not be "
    "copied for download.</font>\n";
const char* const kUploadFailed =
    "Message: Redirect=/en/sys_batch.asp\nTitle=Error\nBody=<font color=#800000>File format mismatched or "
    "error.</font>\n";

// Copies config.ini to the download name. The copy goes to a fresh file
// and is then renamed over the name: a link at the name is replaced, never
// followed, and the copy, which holds the configuration's passwords, is
// readable by the service only (and served once, to an administrator).
// False when there is no copy to fetch.
bool CopyConfigForDownload() {
  char source[320], target[320], temp[330];
  snprintf(source, sizeof source, "%s/config.ini", SvcInstallDir);
  if (!Svc_TmpPath(target, sizeof target, WEBBATCH_DOWNLOAD_NAME)[0]) return false;  // not the service's own
  snprintf(temp, sizeof temp, "%s.tmp", target);
  const int fd = UF_OpenNoFollow(temp, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  close(fd);
  // A missing config.ini would give an empty copy: no copy at all.
  if (UF_FileCopy(temp, source, nullptr) > 0 && rename(temp, target) == 0) return true;
  unlink(temp);
  return false;
}

// Imports the uploaded part UL_F_SYSTEM: 1 when it was taken and saved, -1
// when taken but config.ini could not be written, 0 when not taken.
int ImportUpload() {
  const int f = WebDev_FirstField("UL_F_SYSTEM");
  if (f < 0) return 0;
  const WebFormField& field = WebFormFields[f];
  // Only a file part knows its last byte; it must lie after the first.
  if (!field.valueStart || !field.valueEnd || field.valueEnd <= field.valueStart) return 0;
  return Cfg_ImportUpload(field.valueStart, static_cast<size_t>(field.valueEnd - field.valueStart + 1));
}

}  // namespace

void WebBatch_DbgVar(const WebDevVarCall& call) {
  const ComStats& s = ComStat;
  switch (call.entry) {
    case DBG_ENTRY_TX_OK: WebDev_SetText("%d", static_cast<int>(s.txOk)); break;
    case DBG_ENTRY_TX_ERR: WebDev_SetText("%d", s.txErr); break;
    case DBG_ENTRY_RX_OK: WebDev_SetText("%d", static_cast<int>(s.rxOk)); break;
    case DBG_ENTRY_RX_TIMEOUT: WebDev_SetText("%d", s.rxTimeout); break;
    case DBG_ENTRY_RX_CSERR: WebDev_SetText("%d", s.rxCsErr); break;
    case DBG_ENTRY_RX_OVERFLOW: WebDev_SetText("%d", s.rxOverflow); break;
    case DBG_ENTRY_RX_PARSEERR: WebDev_SetText("%d", s.rxParseErr); break;
    case DBG_ENTRY_COM_LOG: WebDev_SetText("%s", COM_TraceActive() ? "Recording" : "Stop"); break;
    case DBG_ENTRY_COM_FILE:
      WebDev_SetText("<a href='/tempage/comm_data.txt' class='uline'>comm_data.txt</a>");
      break;
    default: break;
  }
}

void WebBatch_SysBatchPage(HttpConn*) {
  static const char* const kButtons[] = {"DL_SYSTEM", "UL_SYSTEM"};
  switch (WebDev_Button(kButtons, 2)) {
    case 0:
      // The copy is served once, to the link that carries the session's
      // token: no page of another site can use it up.
      if (CopyConfigForDownload())
        WebDev_SetText("OK: Redirect=/tempage/%s?token=%s", WEBBATCH_DOWNLOAD_NAME,
                       WebSess_LinkToken() ? WebSess_LinkToken() : "");
      else
        WebDev_SetText("%s", kCopyFailed);
      break;
    case 1: {
      // A configuration taken but not saved is not reported as uploaded.
      const int imported = ImportUpload();
      // Taken but not saved: the settings go back to what config.ini holds.
      if (imported < 0) WebSys_SettingsSaved(false);
      WebDev_SetText("%s", imported > 0 ? kUploaded : imported < 0 ? WEBDEV_NOT_SAVED : kUploadFailed);
      break;
    }
    default: break;  // no button: no reply
  }
}

void WebBatch_DebugPage(HttpConn*) {
  static const char* const kKeys[] = {"DBG_REFRESH", "DBG_CLEAR", "DBG_HOME", "DBG_STARTLOG", "DBG_STOPLOG"};
  const char* target = "/debug.asp";
  const int key = WebDev_Button(kKeys, 5);
  // The frame has checked the level. The switches (clearing the counters,
  // starting and stopping the trace) also take the session's form token;
  // Refresh and Summary change nothing.
  if ((key == 1 || key == 3 || key == 4) && !WebSys_FormAllowed({WEB_LEVEL_ANYONE, true, "/debug.asp"})) return;
  switch (key) {
    case 0: break;
    case 1:
      if (ComOps.ResetStats) ComOps.ResetStats();
      break;
    case 2: target = "/home.asp"; break;
    case 3:
      if (ComOps.SetTrace) ComOps.SetTrace(1);
      break;
    case 4:
      if (ComOps.SetTrace) ComOps.SetTrace(0);
      break;
    default: return;  // no matching field: no reply
  }
  WebDev_SetText("OK: Redirect=%s", target);
}
