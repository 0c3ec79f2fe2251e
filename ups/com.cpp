// Serial port driver and link manager.
#include "ups/com.h"

ComSlots ComSlot = {{0, 0}, {0, 0}, {-1, -1}, {0, 0}, {0, 0}};
uint8_t ComPortPresent[256];
uint8_t ComPortSetting;
char ComPathSetting[65];
ComStats ComStat;
ComOpsTable ComOps;
