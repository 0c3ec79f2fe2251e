// Notification mail: the spool files per event level and the SMTP client.
// The mail settings and receivers are the [Mail] section of config.ini.
#pragma once
#include <cstdint>

constexpr int MAIL_RECEIVERS = 255;
constexpr int MAIL_TEXT = 65;  // 64 bytes and the terminator

struct MailReceiver {
  char address[MAIL_TEXT];  // "Receiver" n
  uint8_t level;            // "Level" n: 0 off, 1..3 lowest event level mailed
};

struct MailSettings {
  uint8_t receiverCount;                  // "Receive Num=", 0..255
  MailReceiver receivers[MAIL_RECEIVERS];
  char server[MAIL_TEXT];                 // "Server=": IPv4, IPv6 literal or host name
  uint16_t port;                          // "Port=", TCP port
  char account[MAIL_TEXT];                // "Sender=": AUTH LOGIN user name
  char password[MAIL_TEXT];               // "Password=", in clear
  char from[MAIL_TEXT];                   // "Mail Sender=": the from address
  char domain[MAIL_TEXT];                 // "Domain=": EHLO argument; empty = host name
  uint8_t passwordEncrypt;                // "Password Encrypt=": how config.ini keeps the password
};
extern MailSettings MailSetting;
