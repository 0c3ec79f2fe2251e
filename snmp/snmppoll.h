// Network shutdown client poller: every trap receiver of Level 4 is a
// client on another host, an SNMPv3 agent that reports its own shutdown
// countdown. Every 5 seconds half the clients are asked, each with a fixed
// exchange: engine discovery, then one authPriv GetRequest for the client's
// status objects as user "manager". The answers are kept in one
// ShutdownClientStatus record per receiver; the alarm processing ages them
// and raises the client events.
#pragma once
#include <cstdint>
#include <poll.h>
#include <sys/socket.h>

#include "snmp/snmptrap.h"

constexpr int POLL_CLIENTS = TRAP_RECEIVERS;  // record j belongs to trap receiver j
constexpr int POLL_ENGINE_ID_MAX = 32;        // RFC 3411: an snmpEngineID has 5 to 32 bytes
constexpr int POLL_BUFFER_SIZE = 4096;        // receive and send buffers
constexpr int POLL_VALUE_STORE = 246;         // the text values of one Response
constexpr int POLL_VARBINDS = 7;
constexpr uint16_t POLL_TOUCH_FROZEN = 65535;

// What one client reported, and how long ago.
struct ShutdownClientStatus {
  char os[129];        // column 1: operating system
  char column2[17];    // column 2: stored, shown nowhere
  char hostName[65];   // column 6: argument of the client events
  uint8_t countingDown;  // column 3: 1 while the client counts down to a shutdown
  uint8_t seventhFlag;   // column 7 (never requested, so it stays 0)
  int32_t countdown;     // column 4: seconds, -1 when none; counted down by the alarm processing
  uint8_t reason;        // column 5
  uint16_t touch;        // seconds since the last stored answer, frozen at 65535
  // The client's engine as its discovery answer gave it (length 0 until then).
  uint8_t engineId[POLL_ENGINE_ID_MAX];
  uint8_t engineIdLength;
  int32_t engineBoots, engineTime;
  uint8_t status, reported;  // owned by the alarm processing: bits 0 silent, 1 counting down, 2 seventh flag
};
extern ShutdownClientStatus SnmpPollClients[POLL_CLIENTS];
extern int32_t SnmpPollClientCount;  // receivers of Level 4

// Where each client's exchange stands: an answer is taken only when it is
// the one that client's outstanding message asks for.
enum SnmpPollPhase : uint8_t {
  POLL_PHASE_IDLE = 0,         // nothing outstanding (or the answer was stored)
  POLL_PHASE_DISCOVERING = 1,  // discovery sent, its Report awaited
  POLL_PHASE_REQUESTING = 2,   // authenticated GetRequest sent, its Response awaited
};
struct SnmpPollExchange {
  uint8_t phase;
  int32_t msgId;  // msgID of the outstanding message
};
extern SnmpPollExchange SnmpPollExchanges[POLL_CLIENTS];

// A message from a client's address that answers nothing it was asked
// (another msgID, or no exchange in that phase): dropped.
constexpr int SNMP_POLL_NOT_ASKED = 16;

struct SnmpPollOpsTable {
  void (*CloseSockets)();
  void (*OpenSockets)();
  void (*CountClients)();
  void (*Receive)();
  void (*SendDiscovery)();
  void (*ResetCountdowns)();
};
extern SnmpPollOpsTable SnmpPollOps;

void SnmpPoll_Init();
void SnmpPoll_OpenSockets();
void SnmpPoll_CloseSockets();
void SnmpPoll_Close();
void SnmpPoll_CountClients();
void SnmpPoll_ResetCountdowns();
// One discovery round: half the clients (rounded up), round robin.
void SnmpPoll_SendDiscovery();
// At most one datagram per socket.
void SnmpPoll_Receive();
// Main-loop poll source: the open sockets, so an answer wakes the loop.
int SnmpPoll_PollFill(struct pollfd* fds, int max, int* busy);

// Derives the poller's keys from the fixed passwords against an engine id.
void SnmpPoll_LocalizeKeys(const uint8_t* engineId, uint16_t length);
// The Level-4 receiver whose address is the datagram's source (the family
// and the address bytes; the port is not compared), or -1.
int SnmpPoll_FindClientBySource(const struct sockaddr* source);
// Encodes the request in the message state for a client into buffer
// (*length: in the size, out the message length); 1, or 0 when it does not
// fit.
int SnmpPoll_EncodeRequest(int client, uint8_t* buffer, uint16_t* length);
// Decodes and checks one message from a client (-1: unknown source); the
// SnmpDecodeResult codes, and SNMP_POLL_NOT_ASKED. The buffer is written
// (digest zeroed, scoped PDU decrypted in place).
int SnmpPoll_DecodeMessage(int client, uint8_t* data, uint16_t length, uint16_t* used);
// Copies the values of the decoded Response into the client's record.
void SnmpPoll_StoreStatus(int client);
