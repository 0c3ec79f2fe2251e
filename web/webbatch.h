// Configuration batch and debug pages: the device variable group DBG_ (the
// UPS link statistics and the serial trace state), the form sys_batch
// (download of config.ini, upload of a saved one in its place) and the
// form debug (statistics reset, serial trace on and off).
#pragma once

#include "web/webdev.h"

void WebBatch_DbgVar(const WebDevVarCall& call);

void WebBatch_SysBatchPage(HttpConn* conn);
void WebBatch_DebugPage(HttpConn* conn);

// The download copy of config.ini under the temporary directory, which the
// document root reaches as "/tempage/".
constexpr const char* WEBBATCH_DOWNLOAD_NAME = "config.ini";
