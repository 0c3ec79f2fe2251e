// SMS through a GSM modem.
#include "events/sms.h"

SmsSettings SmsSetting;
