// SNMP agent: sockets, decoding and access control for SNMPv1 communities
// and SNMPv3 users. Its settings are the [SNMP Server] and [USM] sections
// of config.ini.
#pragma once
#include <cstdint>
#include <poll.h>
#include <sys/socket.h>

#include "snmp/ber.h"

constexpr int SNMP_ACCESS_ENTRIES = 255;
constexpr int SNMP_USM_USERS = 32;

// The factory secrets, published with the daemon: the SNMPv3 user's
// passwords and the SNMPv1 community.
constexpr char SNMP_FACTORY_AUTH[] = "mq530847";
constexpr char SNMP_FACTORY_PRIV[] = "tv817264";
constexpr char SNMP_FACTORY_COMMUNITY[] = "tambor";

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

// ---- engine ----------------------------------------------------------------

constexpr int SNMP_ENGINE_ID_LENGTH = 11;
constexpr uint8_t SNMP_NO_USER = 255;
constexpr uint32_t SNMP_SALT_START = 55105;

struct SnmpEngine {
  uint8_t id[SNMP_ENGINE_ID_LENGTH];  // 80 00 7E D9 03 and a MAC address
  uint16_t boots;                     // snmpEngineBoots: kept across starts, +1 at each
  uint16_t time;                      // snmpEngineTime: seconds, wraps at 32767 into the next boot
  uint8_t currentUser;                // user of the message being handled, SNMP_NO_USER when none
  // Salt counter of every encrypted message the service sends (replies,
  // traps, polls): one counter, so no two messages under the same key share
  // an IV. Raised before each use.
  uint32_t salt;
};
extern SnmpEngine SnmpEngineState;

// The file beside config.ini that keeps snmpEngineBoots across starts.
constexpr const char* SNMP_BOOTS_FILE = "snmpboots";

// ---- message state ---------------------------------------------------------

constexpr int SNMP_MAX_VARBINDS = 80;
constexpr int SNMP_SET_STORE = 118;     // bytes for the OCTET STRING values of one SetRequest
constexpr int SNMP_VARBIND_TEXT = 520;  // reply text of one varbind
constexpr int SNMP_RECEIVE_SIZE = 2048;
constexpr int SNMP_REPLY_SIZE = 4096;

struct SnmpVarbind {
  BerOid name;     // over nameBuf
  BerValue value;  // for a SetRequest the decoded value; for replies the value to send
  // The varbind as received (its whole SEQUENCE). While echo is set the
  // reply carries these bytes unchanged (error replies, unprocessed varbinds).
  const uint8_t* raw;
  uint16_t rawLength;
  bool echo;
  uint32_t nameBuf[BER_OID_MAX];
  char text[SNMP_VARBIND_TEXT];  // storage for this varbind's reply text
};

// SNMP error statuses (RFC 3416 numbering).
enum SnmpErrorStatus : int32_t {
  SNMP_ERR_NONE = 0,
  SNMP_ERR_TOO_BIG = 1,
  SNMP_ERR_NO_SUCH_NAME = 2,
  SNMP_ERR_BAD_VALUE = 3,
  SNMP_ERR_READ_ONLY = 4,
  SNMP_ERR_GEN_ERR = 5,
  SNMP_ERR_WRONG_TYPE = 7,
  SNMP_ERR_WRONG_LENGTH = 8,
  SNMP_ERR_WRONG_ENCODING = 9,
  SNMP_ERR_WRONG_VALUE = 10,
  SNMP_ERR_NO_CREATION = 11,
  SNMP_ERR_INCONSISTENT_VALUE = 12,
  SNMP_ERR_RESOURCE_UNAVAILABLE = 13,
  SNMP_ERR_COMMIT_FAILED = 14,
  SNMP_ERR_NOT_WRITABLE = 17,
};

// msgFlags bits.
constexpr uint8_t SNMP_FLAG_AUTH = 0x01;
constexpr uint8_t SNMP_FLAG_PRIV = 0x02;
constexpr uint8_t SNMP_FLAG_REPORTABLE = 0x04;

// The one decoded (and to-be-encoded) message, shared with the network
// client poller.
struct SnmpMessage {
  int32_t version;  // 0 SNMPv1, 3 SNMPv3
  uint8_t pduTag;
  int32_t requestId, errorStatus, errorIndex;
  BerOctets community;  // 33 bytes
  SnmpVarbind* varbinds;
  uint16_t varbindCount;
  int32_t msgId, msgMaxSize, msgSecurityModel;
  BerOctets msgFlags;  // 1 byte
  int32_t engineBoots, engineTime;  // msgAuthoritativeEngineBoots / Time as received
  BerOctets engineId;               // msgAuthoritativeEngineID as received (32 bytes)
  BerOctets userName;               // 32 bytes (names above 16 never match)
  BerOctets authParams;             // 12 bytes
  BerOctets privParams;             // 8 bytes
  BerOctets contextEngineId;        // 32 bytes
  BerOctets contextName;            // 16 bytes
  BerOctets ownEngineId;            // over SnmpEngineState.id
  uint8_t setStore[SNMP_SET_STORE];
  uint8_t setUsed;
  // Index of the first varbind whose SET value did not fit the store, or
  // -1: such a SetRequest is refused whole.
  int16_t setOverflow;
  // msgFlags of the reply (auth and priv bits only).
  uint8_t replyFlags;
  // Buffers of the descriptors above.
  uint8_t communityBuf[33], flagsBuf[1], engineIdBuf[32], userNameBuf[32], authParamsBuf[12],
      privParamsBuf[8], contextEngineIdBuf[32], contextNameBuf[16];
};
extern SnmpMessage SnmpMsg;

// Result of SnmpAgent_DecodeMessage (the poller's decoder uses the same codes).
enum SnmpDecodeResult : int {
  SNMP_DECODE_OK = 0,
  SNMP_DECODE_MALFORMED = -1,
  SNMP_DECODE_EMPTY_COMMUNITY = -2,
  SNMP_DECODE_TRAP = 1,
  SNMP_DECODE_OTHER_PDU = 2,
  SNMP_DECODE_RESPONSE_ERROR1 = 3,  // 3..7: a Response with error-status 1..5
  SNMP_DECODE_RESPONSE = 8,
  SNMP_DECODE_UNKNOWN_USER = 9,
  SNMP_DECODE_WRONG_DIGEST = 10,
  SNMP_DECODE_TOO_MANY_VARBINDS = 11,
  SNMP_DECODE_UNKNOWN_ENGINE = 12,
  SNMP_DECODE_UNSUPPORTED_LEVEL = 13,  // security level other than the user's
  SNMP_DECODE_DECRYPTION_ERROR = 14,
  SNMP_DECODE_BAD_CONTEXT = 15,
};

// ---- object handler --------------------------------------------------------

// What the agent asks of the object handler for one varbind.
enum SnmpObjectAction : uint8_t {
  SNMP_OBJECT_READ = 0,   // Get or GetNext (by the message's PDU tag): fill the value
  SNMP_OBJECT_CHECK = 1,  // Set, first pass: may the value be written? Nothing changes
  SNMP_OBJECT_APPLY = 2,  // Set, second pass: write the checked value, fill the reply value
  // Set, once every varbind was applied (varbind null): make the changes
  // last (saved). Any status but SNMP_ERR_NONE refuses the SET, and the
  // agent then asks for the undo.
  SNMP_OBJECT_COMMIT = 3,
  // Set that failed after its first apply (varbind null): put back all
  // that its applies changed.
  SNMP_OBJECT_UNDO = 4,
};
// Returns SNMP_ERR_NONE when served, SNMP_ERR_NO_SUCH_NAME for an unknown
// object (or nothing after it for GetNext), or the RFC 3416 status that
// refuses a SET.
using SnmpObjectHandler = int32_t (*)(SnmpVarbind* varbind, uint8_t action);

// ---- operations ------------------------------------------------------------

struct SnmpAgentOpsTable {
  void (*CloseSockets)();
  void (*OpenSockets)();
  void (*Unused2)();
  void (*Unused3)();
  void (*Receive)();
  void (*LocalizeUserKeys)();
  int (*Register)(const char* text, uint16_t objectId);
  int (*Unregister)(const char* text);
  int32_t (*Lookup)(const uint32_t* subids, uint8_t count);
  int32_t (*GetNext)(const uint32_t* subids, uint8_t count, uint32_t* outSubids, uint8_t* outCount);
  void (*ResetMessage)();
};
extern SnmpAgentOpsTable SnmpAgentOps;

// Logs the sockets' status text (level 0), and the reason a socket cannot
// bind and a SET that could not be saved (level 2), as free-text events;
// set when the event log starts (null: not logged).
extern void (*SnmpAgentLogText)(int level, const char* text);

void SnmpAgent_Init(SnmpObjectHandler handler);
void SnmpAgent_MakeEngineId();
void SnmpAgent_LocalizeUserKeys();
void SnmpAgent_OpenSockets();
void SnmpAgent_CloseSockets();
void SnmpAgent_Close();
void SnmpAgent_Receive();
// Main-loop poll source: the open sockets, so a request wakes the loop.
int SnmpAgent_PollFill(struct pollfd* fds, int max, int* busy);
void SnmpAgent_ResetMessage();
// The engine clock, once a second: snmpEngineTime + 1; at 32767 it becomes
// 0 and snmpEngineBoots + 1 (kept in the boots file).
void SnmpAgent_ClockTick();
// Reads the boots file, raises the count by one and writes it back; the new
// snmpEngineBoots (1 on a fresh install).
uint16_t SnmpAgent_NextBoots();

// Decodes one message at data (avail bytes readable); *used = the bytes it
// occupies. The buffer is written: authentication parameters are zeroed and
// an encrypted scoped PDU is decrypted in place.
int SnmpAgent_DecodeMessage(uint8_t* data, uint16_t avail, uint16_t* used);
int SnmpAgent_VerifyDigest(const uint8_t* data, uint16_t length);

// The pieces of the decoder, shared with the network client poller (which
// reads answers as a manager: its own engine checks and keys).
//
// Resets the message state and reads the outer SEQUENCE, the version and
// the community (SNMPv1) or the header data and security parameters
// (SNMPv3); *used = the bytes the message occupies. On SNMP_DECODE_OK,
// *rest is what follows: the PDU (SNMPv1) or the scoped PDU, plain or
// encrypted (SNMPv3). The received authentication parameters are zeroed in
// data, ready for the digest.
int SnmpAgent_DecodeEnvelope(uint8_t* data, uint16_t avail, uint16_t* used, BerReader* rest);
// Decrypts the encrypted scoped PDU at *rest in place (CBC-DES under
// privKey, the IV from the received salt); *plain is its plaintext.
// SNMP_DECODE_MALFORMED when no OCTET STRING follows,
// SNMP_DECODE_DECRYPTION_ERROR for a length that is not whole blocks.
int SnmpAgent_Decrypt(uint8_t* data, BerReader* rest, const uint8_t privKey[16], BerReader* plain);
// How a PDU is read.
enum SnmpPduMode : int {
  // Requests in full (the values of a SetRequest decoded); a Response stops
  // at its error status (3 to 8); a Report is another PDU (2).
  SNMP_PDU_AGENT = 0,
  // Responses and Reports in full as well, no values decoded (each
  // varbind's raw bytes are kept); a Response with error status 1 to 5
  // gives 3 to 7.
  SNMP_PDU_MANAGER = 1,
};
// The scoped PDU (contextEngineID, contextName, PDU) at *r; a contextName
// too long for its buffer gives SNMP_DECODE_BAD_CONTEXT.
int SnmpAgent_DecodeScoped(BerReader* r, int mode);
int SnmpAgent_DecodePdu(BerReader* r, int mode);
int SnmpAgent_IsListedSource(const struct sockaddr* address);
// Whether a PDU of this tag asks for an answer (Get, GetNext, Set, GetBulk,
// Inform): the others (Response, Trap, SNMPv2-Trap, Report) never get one,
// not even a Report.
bool SnmpAgent_IsConfirmedPdu(uint8_t tag);
// 1 when the user has the passwords its security level needs (authNoPriv
// the authentication one, authPriv both). A user without them is unknown to
// the agent and sends no traps: no key is derived from an empty password.
bool SnmpAgent_UserHasPasswords(const UsmUser& u);

// What the receive step does after one message.
enum SnmpAgentStep : int {
  SNMP_STEP_NEXT = 0,     // go on with the next message of the datagram
  SNMP_STEP_END = 1,      // drop the rest of the datagram
  SNMP_STEP_END_TURN = 2  // no access: drop the rest and leave the other socket for the next turn
};
// Decodes, checks and answers one message from source (family AF_INET or
// AF_INET6: the receiving socket's). *replyLength is the reply to send (0:
// none); *used the bytes the message occupied.
int SnmpAgent_HandleMessage(uint8_t* data, uint16_t avail, uint16_t* used,
                            const struct sockaddr* source, int family, uint8_t* reply,
                            uint16_t* replyLength);

// ---- replies (snmpreply.cpp) -----------------------------------------------

// usmStats and context counters, each raised when its Report is built.
struct SnmpReportCounters {
  uint32_t unsupportedSecLevels, notInTimeWindows, unknownUserNames, unknownEngineIds,
      wrongDigests, decryptionErrors, unknownContexts;
};
extern SnmpReportCounters SnmpReportCount;

constexpr int SNMP_TIME_WINDOW = 150;  // seconds

// Runs the varbinds through the object handler and sets the error status,
// index or exception values. SETs are checked whole before any is applied,
// and a SET whose applies or commit fail is undone whole (commitFailed,
// genErr in SNMPv1).
void SnmpAgent_ProcessVarbinds();
// 1 when the message's engine boots and time lie inside the time window.
int SnmpAgent_InTimeWindow();
// Turns the message into the Report for a decode result (9, 10, 12, 13, 14,
// 15) or for a time-window failure (0).
void SnmpAgent_MakeReport(int result);
// Encodes the message state into buffer; 1 and *length, or 0 when it does
// not fit or the version is neither 0 nor 3. A Response that exceeds the
// requester's limit is sent as tooBig without varbinds.
int SnmpAgent_EncodeReply(uint8_t* buffer, uint16_t size, uint16_t* length);

// The SNMPv3 wrapping that replies and traps share: the builder holds the
// scoped PDU (all it has written); this adds the encryption, the security
// parameters and the header, finishes the message and authenticates it.
// Returns the message length, or 0 when it does not fit.
struct SnmpUsmOut {
  int32_t msgId, msgMaxSize, securityModel;
  uint8_t flags;  // SNMP_FLAG_AUTH, SNMP_FLAG_PRIV, SNMP_FLAG_REPORTABLE (requests only)
  // The authoritative engine: null for our own (replies, traps) with its
  // boots and time; a request to another engine names that engine's.
  const uint8_t* engineId;
  uint16_t engineIdLength;
  int32_t engineBoots, engineTime;
  const uint8_t* userName;
  uint16_t userNameLength;
  const uint8_t* authKey;  // 16 bytes, with SNMP_FLAG_AUTH
  const uint8_t* privKey;  // 16 bytes, with SNMP_FLAG_PRIV
};
uint16_t SnmpAgent_FinishV3(BerBuilder* b, const SnmpUsmOut* out);
// The scoped PDU of the message state: the varbinds, the PDU (tag,
// request-id, error status and index), the contextName and the given
// contextEngineID, written backwards into b.
void SnmpAgent_PutScopedPdu(BerBuilder* b, const uint8_t* contextEngineId, uint16_t length);
// The next salt of the shared counter: boots low, counter low, boots high,
// counter bits 8-15, 16-23, 24-31, 0, 0.
void SnmpAgent_NextSalt(uint8_t salt[8]);

// The object handler given to SnmpAgent_Init.
extern SnmpObjectHandler SnmpAgentHandler;
