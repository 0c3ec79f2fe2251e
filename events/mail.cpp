// Notification mail and SMTP client.
#include "events/mail.h"

MailSettings MailSetting;
