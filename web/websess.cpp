// Login challenge, sessions and form tokens.
#include "web/websess.h"

WebAccount WebAccounts[WEB_ACCOUNTS];
WebLockSettings WebLock;
uint8_t WebPasswordEncrypt;
