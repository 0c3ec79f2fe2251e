// HTTP and HTTPS server.
#include "web/httpd.h"

HttpdSettings HttpdSetting;
