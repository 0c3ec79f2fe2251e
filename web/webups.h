// UPS settings and control pages: the device variable groups CFG_ (the
// settings page) and CTL_ (the control page), and the forms dev_iconfig
// (UPS and service-side UPS settings), dev_icontrol (test, outlets,
// audible alarm) and mgnt_control (shutdown countdown, console notices,
// simulated power-failure traps).
#pragma once

#include "web/webdev.h"

void WebUps_CfgVar(const WebDevVarCall& call);
void WebUps_CtlVar(const WebDevVarCall& call);

void WebUps_ConfigPage(HttpConn* conn);
void WebUps_ControlPage(HttpConn* conn);
void WebUps_MgntControlPage(HttpConn* conn);

// The pause after each UBD setting sent (tests replace it).
extern void (*WebUpsSleep)(unsigned seconds);
