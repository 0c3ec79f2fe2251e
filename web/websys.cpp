// System page variables and forms.
#include "web/websys.h"

WebSysInfo WebSysInfoText;
int32_t WebSysManageable;
