// Data log.
#include "events/dlog.h"

DLogSettings DLogSetting;
