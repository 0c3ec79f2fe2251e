// SMS through a GSM modem on a serial port. The modem port, its speed and
// the phone list are the [SMS] section of config.ini.
#pragma once
#include <cstdint>

constexpr int SMS_PHONES = 16;

struct SmsPhone {
  char number[33];  // "SMS Phone" n: digits, optionally starting with "+"
  uint8_t level;    // "Level" n: 0 off, 1..3 lowest event level sent
};

struct SmsSettings {
  uint8_t port;        // "SMS COM Port=": 0 off; n = "/dev/ttyS" n - 1
  uint8_t baud;        // "SMS Baud Rate=": 0..3 = 2400 << n, other values 115200
  uint8_t phoneCount;  // "SMS Num=", 0..16
  SmsPhone phones[SMS_PHONES];
};
extern SmsSettings SmsSetting;
