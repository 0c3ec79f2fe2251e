// USB HID driver over hiddev: its protocol table, filled by UsbHid_Init.
// An empty Probe entry means the driver is not built.
#pragma once
#include "ups/upsdata.h"

extern UpsProtocolOps UsbHidOps;
