// The UPS record and the module that owns it.
#include "ups/upsdata.h"

UpsRecordType UpsRecord;
