// Login challenge, sessions and form tokens, and the three web accounts
// with the login lock-out settings (keys of the [Web] section of config.ini).
#pragma once
#include <cstdint>
#include <cwchar>

constexpr int WEB_ACCOUNTS = 3;
constexpr int WEB_ACCOUNT_CHARS = 32;

// Account i has access level i: 0 administrator, 1 device, 2 user.
struct WebAccount {
  wchar_t name[WEB_ACCOUNT_CHARS + 1];      // "User" i
  wchar_t password[WEB_ACCOUNT_CHARS + 1];  // "Password" i
  uint16_t failedLogins;
  uint32_t lockLeft;  // seconds of lock-out left
};
extern WebAccount WebAccounts[WEB_ACCOUNTS];

struct WebLockSettings {
  uint16_t enable;       // "Enable Login Lock="
  uint16_t retryLimit;   // "Login Retry="
  uint16_t lockMinutes;  // "Locak Time="
};
extern WebLockSettings WebLock;

// "Password Encrypt=" of [Web]: how config.ini keeps the account passwords.
extern uint8_t WebPasswordEncrypt;
