// History pages: the device variable groups LOG_ (event-log viewer), DATA_
// (data-log viewer) and HCG_ (history settings), and the forms hist_log,
// hist_data and hist_config. The viewers keep their choices in the
// session's page values and write the table their frame loads while the
// page is expanded.
#pragma once

#include "web/webdev.h"

void WebHist_LogVar(const WebDevVarCall& call);
void WebHist_DataVar(const WebDevVarCall& call);
void WebHist_ConfigVar(const WebDevVarCall& call);

void WebHist_LogPage(HttpConn* conn);
void WebHist_DataPage(HttpConn* conn);
void WebHist_ConfigPage(HttpConn* conn);
