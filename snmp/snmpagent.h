// SNMP agent: sockets, decoding and access control for SNMPv1 communities
// and SNMPv3 users. Its settings are the [SNMP Server] and [USM] sections
// of config.ini.
#pragma once
#include <cstdint>

constexpr int SNMP_ACCESS_ENTRIES = 255;
constexpr int SNMP_USM_USERS = 32;

// One SNMPv1 access-list entry.
struct SnmpAccessEntry {
  char address[52];    // "IP" n: IPv4 or IPv6; all-zero bits admit every source of the family
  char community[17];  // "Community" n
  uint8_t permission;  // "Permission" n: 1 read-only, 2 read-write, else nothing
};

// One SNMPv3 user.
struct UsmUser {
  char name[17];          // "User" n; an empty name never matches
  uint8_t security;       // "Security" n: 0 noAuthNoPriv, 1 authNoPriv, 2 authPriv
  char authPassword[17];  // "Auth" n
  char privPassword[17];  // "Priv" n
  uint8_t permission;     // "Permission" n: 0 disabled, 1 read-only, 2 read-write
  uint8_t authKey[16];    // localised keys, never stored in config.ini
  uint8_t privKey[16];
};

struct SnmpAgentSettings {
  uint16_t listenPort;      // "Listen Port="
  uint8_t accessCount;      // "Number=" of [SNMP Server], 0..255
  char contextName[17];     // "Context Name="
  uint8_t passwordEncrypt;  // "Password Encrypt=" of [USM]
  uint8_t userCount;        // "Number=" of [USM], 0..32
  SnmpAccessEntry access[SNMP_ACCESS_ENTRIES];
  UsmUser users[SNMP_USM_USERS];
};
extern SnmpAgentSettings SnmpAgentSetting;
