// SMS through a GSM modem on a serial port. The modem port, its speed and
// the phone list are the [SMS] section of config.ini.
//
// The event log puts one event at a time into the SMS slot; Sms_Step, run
// every 100 ms, sends it to each phone whose level it reaches, one short
// step of the AT dialogue per call, on port slot 1: in text mode, or as an
// SMS-SUBMIT PDU with UCS-2 text. The dialogue is traced to
// "SMS_Log.txt" in the private temporary directory.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cwchar>

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

// The one-message slot: filled by the event log while it is empty, emptied
// here when the message has been sent (or dropped).
constexpr int SMS_TEXT = 256;
struct SmsSlotRecord {
  uint8_t pending;
  wchar_t text[SMS_TEXT];  // "hh:mm:ss <event text>"
  uint8_t level;
};
extern SmsSlotRecord SmsSlot;

struct SmsOpsTable {
  // Gives the port to slot 1 (closing it first, UPS detection off), stores
  // port and baud index, and empties the slot.
  void (*SetPort)(uint8_t port, uint8_t baud);
  // One step of the dialogue; pdu: 1 PDU mode (UCS-2), 0 text mode.
  void (*Step)(int pdu);
};
extern SmsOpsTable SmsOps;

// Switches the trace on and applies the configured port and speed.
void Sms_Init(const char* installDir);
void Sms_Exit();

// Line speed of a baud index.
int Sms_BaudRate(uint8_t index);

// The SMS-SUBMIT PDU for number and text as upper-case hex, followed by
// Ctrl-Z, into out (size bytes, terminated); returns the octet count that
// AT+CMGS takes (without the service-centre octet).
int Sms_BuildPdu(const char* number, const wchar_t* text, char* out, size_t size);

// Longest wait for the first bytes of a reply (the wait ends as soon as
// the modem sends); later reads of the same reply wait at most a tenth of
// it.
extern int SmsReadPauseMs;  // 100

// The trace file name under the temporary directory.
constexpr const char* SMS_TRACE_NAME = "SMS_Log.txt";
