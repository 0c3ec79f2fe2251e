// Reaction, schedule and COM port pages: the device variable groups ACT_
// (shutdown reactions, notices, user command, management switch, UPS port),
// WSH_ (weekly schedule rows) and SSH_ (date schedule rows), and the forms
// mgnt_reaction, mgnt_wschedule, mgnt_sschedule and mgnt_comport.
#pragma once

#include "web/webdev.h"

void WebReact_ActVar(const WebDevVarCall& call);
void WebReact_WeeklyVar(const WebDevVarCall& call);
void WebReact_SpecificVar(const WebDevVarCall& call);

void WebReact_ReactionPage(HttpConn* conn);
void WebReact_WeeklyPage(HttpConn* conn);
void WebReact_SpecificPage(HttpConn* conn);
void WebReact_ComPortPage(HttpConn* conn);
