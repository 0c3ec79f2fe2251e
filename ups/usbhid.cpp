// USB HID driver over hiddev.
#include "ups/usbhid.h"

UpsProtocolOps UsbHidOps;
