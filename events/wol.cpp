// Wake-on-LAN.
#include "events/wol.h"

WolSettings WolSetting;
