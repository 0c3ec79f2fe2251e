// Caret-framed serial protocol driver (9600 baud): its protocol table,
// filled by Caret_Init. An empty Probe entry means the driver is not built.
#pragma once
#include "ups/upsdata.h"

extern UpsProtocolOps CaretOps;
