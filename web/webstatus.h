// Status, summary and identity pages: the device variable groups SUM_
// (summary), UPS_ (status and identity), PRP_C_ (style classes of the
// values) and IMG_STS_ (alarm icons), and the power-module XML rows. They
// only read the UPS record, the settings and the logs.
#pragma once
#include <cstdio>

#include "web/webdev.h"

void WebStatus_SumVar(const WebDevVarCall& call);
void WebStatus_UpsVar(const WebDevVarCall& call);
void WebStatus_PrpVar(const WebDevVarCall& call);
void WebStatus_ImgVar(const WebDevVarCall& call);

// Power-module rows of one item (0..9) for all ten modules, added to the
// reply text (rows that would pass it go to the page first). Items 8 and 9
// leave out the first start rows of set alarms of each module.
void WebDev_WriteModuleRows(FILE* page, int item, int start);
