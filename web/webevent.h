// Event level, download-notice and Wake-on-LAN pages: the device variable
// groups EVT_ (the UPS events with their levels), NOT_ (the download-notice
// delay) and WOL_ (the Wake-on-LAN hosts), and the forms event_iconfig
// (one event's new level, written back to the UPS language file) and
// wol_iconfig (add, edit or delete a host).
#pragma once

#include "web/webdev.h"

void WebEvent_EvtVar(const WebDevVarCall& call);
void WebEvent_NoticeVar(const WebDevVarCall& call);
void WebEvent_WolVar(const WebDevVarCall& call);

void WebEvent_LevelPage(HttpConn* conn);
void WebEvent_WolPage(HttpConn* conn);
