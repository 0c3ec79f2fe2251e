// Network shutdown client poller: discovery rounds, the authenticated
// request, reading and checking the answers, and storing what they report.
// Messages are built and read in the agent's message state with the
// agent's encoder and decoder pieces.
#include "snmp/snmppoll.h"

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <cstring>
#include <initializer_list>
#include <netinet/in.h>
#include <unistd.h>

#include "core/crypt.h"
#include "core/helpers.h"
#include "snmp/ber.h"
#include "snmp/snmpagent.h"

ShutdownClientStatus SnmpPollClients[POLL_CLIENTS];
int32_t SnmpPollClientCount;
SnmpPollExchange SnmpPollExchanges[POLL_CLIENTS];
SnmpPollOpsTable SnmpPollOps;

namespace {

int g_sock4 = -1, g_sock6 = -1;
int32_t g_index;  // round-robin position in the trap list
int32_t g_msgId;  // msgID of the next message

// The fixed credentials every client knows.
constexpr char kUser[] = "manager";
constexpr char kAuthPassword[] = "mq530847";
constexpr char kPrivPassword[] = "tv817264";
constexpr char kDiscoveryContext[] = "hb_3926";
constexpr int32_t kDiscoveryRequestId = 1005;

Md5Context g_md5;
uint8_t g_authKey[16], g_privKey[16];
// The engine id the keys were last derived against.
uint8_t g_keyEngine[POLL_ENGINE_ID_MAX];
uint16_t g_keyEngineLength;
bool g_keysValid;

uint8_t g_receive[POLL_BUFFER_SIZE];
uint8_t g_send[POLL_BUFFER_SIZE];
uint8_t g_values[POLL_VALUE_STORE];

// The client's status objects: 1.3.6.1.4.1.32473.2.200.<group>.<column>.0.
const uint32_t kPrefix[] = {1, 3, 6, 1, 4, 1, 32473, 2, 200};
constexpr int kPrefixLength = 9;
struct Requested {
  uint32_t group, column;
  uint8_t tag;  // of the placeholder value
};
constexpr Requested kRequested[POLL_VARBINDS] = {
    {1, 1, BER_OCTET_STRING}, {1, 2, BER_OCTET_STRING}, {1, 3, BER_INTEGER}, {1, 4, BER_INTEGER},
    {1, 5, BER_INTEGER},      {1, 6, BER_OCTET_STRING}, {3, 1, BER_OCTET_STRING},
};

bool IsClient(int j) {
  return j >= 0 && j < SnmpTrapReceiverCount && SnmpTrapReceivers[j].level == TRAP_LEVEL_SHUTDOWN_CLIENT;
}

int32_t NextMsgId() {
  int32_t id = g_msgId;
  g_msgId = g_msgId == INT32_MAX ? 0 : g_msgId + 1;
  return id;
}

void SetText(BerOctets* o, const void* text, size_t n) {
  n = std::min<size_t>(n, o->capacity);
  memcpy(o->data, text, n);
  o->length = static_cast<uint16_t>(n);
}

bool TextEquals(const BerOctets& o, const char* text) {
  size_t n = strlen(text);
  return o.length == n && memcmp(o.data, text, n) == 0;
}

// The column (1 to 7) a status object's name gives, or 0 for any other name.
int Column(const BerOid& name) {
  if (name.count < 12) return 0;
  for (int i = 0; i < kPrefixLength; i++)
    if (name.subids[i] != kPrefix[i]) return 0;
  if (name.subids[9] != 1 || name.subids[10] < 1 || name.subids[10] > 7) return 0;
  return static_cast<int>(name.subids[10]);
}

// Room for the text of a column in the record (0: not a text column).
size_t TextRoom(int column) {
  const ShutdownClientStatus& c = SnmpPollClients[0];
  switch (column) {
    case 1:
      return sizeof c.os - 1;
    case 2:
      return sizeof c.column2 - 1;
    case 6:
      return sizeof c.hostName - 1;
    default:
      return 0;
  }
}

// A text cut to at most n bytes ends before a UTF-8 character that would
// not fit whole.
size_t CutUtf8(const uint8_t* text, size_t length, size_t n) {
  if (n >= length) return length;
  while (n > 0 && (text[n] & 0xC0) == 0x80) n--;
  return n;
}

void StoreText(char* field, size_t size, const BerValue& value) {
  if (value.tag != BER_OCTET_STRING) return;
  size_t n = std::min<size_t>(value.octets.length, size - 1);
  if (n) memcpy(field, value.octets.data, n);
  field[n] = 0;
}

// The values of a decoded Response's varbinds: integers into the varbinds,
// texts into the value store, each cut to what its record field holds (and
// to what the store has left), so no value overflows and none is left over
// from an earlier message. A value that does not decode gets tag 0 and is
// not stored.
void DecodeValues() {
  SnmpMessage& m = SnmpMsg;
  uint16_t used = 0;
  for (int i = 0; i < m.varbindCount; i++) {
    SnmpVarbind& v = m.varbinds[i];
    BerReader r = Ber_Reader(v.raw, v.rawLength), vb, name, content;
    uint8_t tag = 0;
    v.value = BerValue{};
    if (!Ber_ReadTagged(&r, BER_SEQUENCE, &vb) || !Ber_ReadTagged(&vb, BER_OID, &name) ||
        !Ber_ReadItem(&vb, &tag, &content))
      continue;
    v.value.tag = tag;
    uint16_t n = static_cast<uint16_t>(Ber_Left(content));
    switch (tag) {
      case BER_INTEGER:
      case BER_COUNTER32:
      case BER_GAUGE32:
      case BER_TIMETICKS:
        if (!Ber_DecodeValue(content.pos, &v.value, n)) v.value.tag = 0;
        break;
      case BER_OCTET_STRING: {
        size_t take = std::min<size_t>({n, TextRoom(Column(v.name)), sizeof g_values - used});
        take = CutUtf8(content.pos, n, take);
        v.value.octets = BerOctets{g_values + used, 0, static_cast<uint16_t>(take)};
        Ber_DecodeOctets(content.pos, &v.value.octets, static_cast<uint16_t>(take));
        used = static_cast<uint16_t>(used + take);
        break;
      }
      default:
        break;  // exception values and other types are not stored
    }
  }
}

// The keys for a client's engine, derived only when the engine changed.
void KeysFor(const uint8_t* engineId, uint16_t length) {
  if (g_keysValid && length == g_keyEngineLength && memcmp(engineId, g_keyEngine, length) == 0) return;
  SnmpPoll_LocalizeKeys(engineId, length);
}

void SendTo(int fd, const sockaddr* to, socklen_t toLength, uint16_t length) {
  if (fd >= 0 && length) sendto(fd, g_send, length, 0, to, toLength);
}

// The discovery request to trap receiver j at its IP and NCPort.
void Discover(int j) {
  SnmpMessage& m = SnmpMsg;
  ShutdownClientStatus& c = SnmpPollClients[j];
  SnmpAgent_ResetMessage();
  m.version = 3;
  m.pduTag = BER_PDU_GET;
  m.requestId = kDiscoveryRequestId;
  m.errorStatus = m.errorIndex = 0;
  m.varbindCount = 0;
  m.msgId = NextMsgId();
  m.msgMaxSize = POLL_BUFFER_SIZE;
  m.flagsBuf[0] = SNMP_FLAG_REPORTABLE;
  m.msgSecurityModel = 3;
  SetText(&m.contextName, kDiscoveryContext, strlen(kDiscoveryContext));
  // Each round learns the engine anew: nothing of the last one is reused.
  memset(c.engineId, 0, sizeof c.engineId);
  c.engineIdLength = 0;
  c.engineBoots = c.engineTime = 0;
  SnmpPollExchanges[j] = SnmpPollExchange{POLL_PHASE_DISCOVERING, m.msgId};

  uint16_t length = sizeof g_send;
  if (!SnmpPoll_EncodeRequest(j, g_send, &length)) return;
  const TrapReceiver& r = SnmpTrapReceivers[j];
  sockaddr_in to4{};
  sockaddr_in6 to6{};
  if (Net_PtonV4(reinterpret_cast<uint8_t*>(&to4.sin_addr), r.ip)) {
    to4.sin_family = AF_INET;
    to4.sin_port = htons(r.ncPort);
    SendTo(g_sock4, reinterpret_cast<sockaddr*>(&to4), sizeof to4, length);
  } else if (Net_PtonV6(reinterpret_cast<uint8_t*>(&to6.sin6_addr), r.ip)) {
    to6.sin6_family = AF_INET6;
    to6.sin6_port = htons(r.ncPort);
    SendTo(g_sock6, reinterpret_cast<sockaddr*>(&to6), sizeof to6, length);
  }
}

// The authenticated GetRequest that follows a client's discovery answer,
// back to where the answer came from.
void Request(int j, int fd, const sockaddr* to, socklen_t toLength) {
  SnmpMessage& m = SnmpMsg;
  const ShutdownClientStatus& c = SnmpPollClients[j];
  int32_t requestId = m.requestId;
  uint8_t context[sizeof m.contextNameBuf];
  uint16_t contextLength = m.contextName.length;
  memcpy(context, m.contextNameBuf, contextLength);

  SnmpAgent_ResetMessage();
  m.version = 3;
  m.pduTag = BER_PDU_GET;
  m.requestId = requestId;
  m.errorStatus = m.errorIndex = 0;
  m.msgId = NextMsgId();
  m.msgMaxSize = POLL_BUFFER_SIZE;
  m.flagsBuf[0] = SNMP_FLAG_AUTH | SNMP_FLAG_PRIV;
  m.msgSecurityModel = 3;
  SetText(&m.userName, kUser, strlen(kUser));
  SetText(&m.contextEngineId, c.engineId, c.engineIdLength);
  SetText(&m.contextName, context, contextLength);
  for (int i = 0; i < POLL_VARBINDS; i++) {
    SnmpVarbind& v = m.varbinds[i];
    memcpy(v.nameBuf, kPrefix, sizeof kPrefix);
    v.nameBuf[9] = kRequested[i].group;
    v.nameBuf[10] = kRequested[i].column;
    v.nameBuf[11] = 0;
    v.name = BerOid{12, v.nameBuf};
    v.value = BerValue{};
    v.value.tag = kRequested[i].tag;
    v.value.octets = BerOctets{g_values, 0, 0};
    v.raw = nullptr;
    v.rawLength = 0;
    v.echo = false;
  }
  m.varbindCount = POLL_VARBINDS;
  SnmpPollExchanges[j] = SnmpPollExchange{POLL_PHASE_REQUESTING, m.msgId};

  uint16_t length = sizeof g_send;
  if (SnmpPoll_EncodeRequest(j, g_send, &length)) SendTo(fd, to, toLength, length);
}

void ReceiveOn(int fd) {
  sockaddr_storage src{};
  socklen_t srcLength = sizeof src;
  ssize_t n = recvfrom(fd, g_receive, sizeof g_receive, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&src),
                       &srcLength);
  if (n <= 0) return;
  int client = SnmpPoll_FindClientBySource(reinterpret_cast<sockaddr*>(&src));
  uint16_t used = 0;
  if (SnmpPoll_DecodeMessage(client, g_receive, static_cast<uint16_t>(n), &used) != SNMP_DECODE_OK) return;
  const SnmpMessage& m = SnmpMsg;
  if (m.version != 3) return;  // an SNMPv1 message answers nothing the poller asks
  if (m.userName.length == 0) {
    Request(client, fd, reinterpret_cast<sockaddr*>(&src), srcLength);
    return;
  }
  if (m.pduTag != BER_PDU_RESPONSE || m.varbindCount < POLL_VARBINDS) return;
  SnmpPoll_StoreStatus(client);
  SnmpPollClients[client].touch = 0;
  SnmpPollExchanges[client].phase = POLL_PHASE_IDLE;
}

}  // namespace

// ---- life cycle ------------------------------------------------------------

void SnmpPoll_Init() {
  SnmpPollClientCount = 0;
  for (ShutdownClientStatus& c : SnmpPollClients) {
    c = ShutdownClientStatus{};
    c.countdown = -1;
  }
  for (SnmpPollExchange& x : SnmpPollExchanges) x = SnmpPollExchange{};
  g_index = 0;
  g_msgId = 0;
  g_keysValid = false;
  SnmpPoll_CountClients();
  SnmpPollOps = SnmpPollOpsTable{SnmpPoll_CloseSockets, SnmpPoll_OpenSockets,  SnmpPoll_CountClients,
                                 SnmpPoll_Receive,      SnmpPoll_SendDiscovery, SnmpPoll_ResetCountdowns};
}

void SnmpPoll_OpenSockets() {
  if (g_sock4 < 0) g_sock4 = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (g_sock6 < 0) g_sock6 = socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

void SnmpPoll_CloseSockets() {
  for (int* fd : {&g_sock4, &g_sock6}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void SnmpPoll_Close() { SnmpPoll_CloseSockets(); }

void SnmpPoll_CountClients() {
  int32_t n = 0;
  for (int j = 0; j < SnmpTrapReceiverCount; j++)
    if (IsClient(j)) n++;
  SnmpPollClientCount = n;
}

void SnmpPoll_ResetCountdowns() {
  for (ShutdownClientStatus& c : SnmpPollClients) c.countdown = -1;
}

int SnmpPoll_PollFill(struct pollfd* fds, int max, int*) {
  int n = 0;
  for (int fd : {g_sock4, g_sock6}) {
    if (fd < 0 || n >= max) continue;
    fds[n++] = pollfd{fd, POLLIN, 0};
  }
  return n;
}

// ---- rounds ----------------------------------------------------------------

void SnmpPoll_SendDiscovery() {
  const int receivers = SnmpTrapReceiverCount;
  if (SnmpPollClientCount <= 0 || receivers == 0) return;
  const int32_t quota = (SnmpPollClientCount + 1) / 2;
  int32_t sent = 0;
  for (int32_t p = g_index; p < 2 * receivers; p++) {
    int j = p % receivers;
    if (!IsClient(j)) continue;
    Discover(j);  // counts toward the quota whether or not it went out
    if (++sent == quota) {
      g_index = p + 1;
      break;
    }
  }
  g_index %= receivers;
}

void SnmpPoll_Receive() {
  if (g_sock4 >= 0) ReceiveOn(g_sock4);
  if (g_sock6 >= 0) ReceiveOn(g_sock6);
}

// ---- messages --------------------------------------------------------------

void SnmpPoll_LocalizeKeys(const uint8_t* engineId, uint16_t length) {
  g_keysValid = false;
  if (length > POLL_ENGINE_ID_MAX) return;
  CryptOps.Usm_PasswordToKeyMd5(&g_md5, g_authKey, reinterpret_cast<const uint8_t*>(kAuthPassword),
                                static_cast<uint8_t>(strlen(kAuthPassword)), engineId, length);
  CryptOps.Usm_PasswordToKeyMd5(&g_md5, g_privKey, reinterpret_cast<const uint8_t*>(kPrivPassword),
                                static_cast<uint8_t>(strlen(kPrivPassword)), engineId, length);
  if (length) memcpy(g_keyEngine, engineId, length);
  g_keyEngineLength = length;
  g_keysValid = true;
}

int SnmpPoll_FindClientBySource(const struct sockaddr* source) {
  const uint8_t* bytes;
  size_t n;
  if (source->sa_family == AF_INET) {
    bytes = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in*>(source)->sin_addr);
    n = 4;
  } else if (source->sa_family == AF_INET6) {
    bytes = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in6*>(source)->sin6_addr);
    n = 16;
  } else {
    return -1;
  }
  for (int j = 0; j < SnmpTrapReceiverCount; j++) {
    if (!IsClient(j)) continue;
    uint8_t address[16];
    const char* ip = SnmpTrapReceivers[j].ip;
    // Each receiver's address is of one family; it matches only a source of that family.
    bool v4 = Net_PtonV4(address, ip);
    if (!v4 && !Net_PtonV6(address, ip)) continue;
    if ((v4 ? 4u : 16u) == n && memcmp(address, bytes, n) == 0) return j;
  }
  return -1;
}

int SnmpPoll_EncodeRequest(int client, uint8_t* buffer, uint16_t* length) {
  if (client < 0 || client >= POLL_CLIENTS) return 0;
  const SnmpMessage& m = SnmpMsg;
  const ShutdownClientStatus& c = SnmpPollClients[client];
  BerBuilder b = Ber_Builder(buffer, std::min<uint16_t>(*length, POLL_BUFFER_SIZE));
  SnmpAgent_PutScopedPdu(&b, m.contextEngineId.data, m.contextEngineId.length);
  if (m.contextEngineId.length) KeysFor(m.contextEngineId.data, m.contextEngineId.length);
  SnmpUsmOut out{};
  out.msgId = m.msgId;
  out.msgMaxSize = m.msgMaxSize;
  out.securityModel = m.msgSecurityModel;
  out.flags = m.flagsBuf[0];
  out.userName = m.userName.data;
  out.userNameLength = m.userName.length;
  // The client is the authoritative engine of the request.
  out.engineId = m.contextEngineId.data;
  out.engineIdLength = m.contextEngineId.length;
  out.engineBoots = c.engineBoots;
  out.engineTime = c.engineTime;
  bool keys = m.contextEngineId.length && g_keysValid;
  out.authKey = keys ? g_authKey : nullptr;
  out.privKey = keys ? g_privKey : nullptr;
  if ((out.flags & (SNMP_FLAG_AUTH | SNMP_FLAG_PRIV)) && !keys) return 0;
  uint16_t n = SnmpAgent_FinishV3(&b, &out);
  if (n == 0) return 0;
  *length = n;
  return 1;
}

int SnmpPoll_DecodeMessage(int client, uint8_t* data, uint16_t length, uint16_t* used) {
  *used = length;
  if (client < 0 || client >= POLL_CLIENTS) return SNMP_DECODE_MALFORMED;
  SnmpMessage& m = SnmpMsg;
  BerReader rest;
  int rc = SnmpAgent_DecodeEnvelope(data, length, used, &rest);
  if (rc != SNMP_DECODE_OK) return rc;
  if (m.version == 0) return SnmpAgent_DecodePdu(&rest, SNMP_PDU_MANAGER);

  ShutdownClientStatus& c = SnmpPollClients[client];
  const SnmpPollExchange& x = SnmpPollExchanges[client];
  const uint8_t flags = m.flagsBuf[0];

  if (m.userName.length == 0) {
    // The answer to a discovery: plain, and it names the client's engine.
    if (flags & (SNMP_FLAG_AUTH | SNMP_FLAG_PRIV)) return SNMP_DECODE_UNSUPPORTED_LEVEL;
    rc = SnmpAgent_DecodeScoped(&rest, SNMP_PDU_MANAGER);
    if (rc != SNMP_DECODE_OK) return rc;
    if (x.phase != POLL_PHASE_DISCOVERING || m.msgId != x.msgId) return SNMP_POLL_NOT_ASKED;
    if (m.engineId.length == 0) return SNMP_DECODE_UNKNOWN_ENGINE;
    memcpy(c.engineId, m.engineId.data, m.engineId.length);
    c.engineIdLength = static_cast<uint8_t>(m.engineId.length);
    c.engineBoots = m.engineBoots;
    c.engineTime = m.engineTime;
    return SNMP_DECODE_OK;
  }

  // The answer to the authenticated request: from the engine this round
  // discovered, as our user, and with a digest under that engine's key.
  if (x.phase != POLL_PHASE_REQUESTING || m.msgId != x.msgId) return SNMP_POLL_NOT_ASKED;
  if (!TextEquals(m.userName, kUser)) return SNMP_DECODE_UNKNOWN_USER;
  if (!(flags & SNMP_FLAG_AUTH)) return SNMP_DECODE_UNSUPPORTED_LEVEL;
  if (c.engineIdLength == 0 || m.engineId.length != c.engineIdLength ||
      memcmp(m.engineId.data, c.engineId, c.engineIdLength) != 0)
    return SNMP_DECODE_UNKNOWN_ENGINE;
  KeysFor(c.engineId, c.engineIdLength);
  if (!g_keysValid) return SNMP_DECODE_WRONG_DIGEST;
  uint8_t mac[16];
  CryptOps.Hmac_Md5(&g_md5, data, *used, g_authKey, mac);
  uint8_t diff = 0;
  for (int i = 0; i < 12; i++) diff |= static_cast<uint8_t>(mac[i] ^ m.authParams.data[i]);
  if (diff != 0) return SNMP_DECODE_WRONG_DIGEST;
  c.engineBoots = m.engineBoots;
  c.engineTime = m.engineTime;

  if (flags & SNMP_FLAG_PRIV) {
    BerReader plain;
    rc = SnmpAgent_Decrypt(data, &rest, g_privKey, &plain);
    if (rc != SNMP_DECODE_OK) return rc;
    rc = SnmpAgent_DecodeScoped(&plain, SNMP_PDU_MANAGER);
    if (rc == SNMP_DECODE_MALFORMED) return SNMP_DECODE_DECRYPTION_ERROR;
  } else {
    rc = SnmpAgent_DecodeScoped(&rest, SNMP_PDU_MANAGER);
  }
  if (rc != SNMP_DECODE_OK) return rc;
  if (m.pduTag == BER_PDU_RESPONSE) DecodeValues();
  return SNMP_DECODE_OK;
}

void SnmpPoll_StoreStatus(int client) {
  if (client < 0 || client >= POLL_CLIENTS) return;
  const SnmpMessage& m = SnmpMsg;
  ShutdownClientStatus& c = SnmpPollClients[client];
  for (int i = 0; i < m.varbindCount; i++) {
    const SnmpVarbind& v = m.varbinds[i];
    const BerValue& value = v.value;
    if (value.tag == BER_NO_SUCH_OBJECT) continue;
    const bool integer = value.tag == BER_INTEGER;
    switch (Column(v.name)) {
      case 1:
        StoreText(c.os, sizeof c.os, value);
        break;
      case 2:
        StoreText(c.column2, sizeof c.column2, value);
        break;
      case 6:
        StoreText(c.hostName, sizeof c.hostName, value);
        break;
      case 3:
        if (integer) c.countingDown = static_cast<uint8_t>(value.integer);
        break;
      case 4:
        if (integer) c.countdown = value.integer;
        break;
      case 5:
        if (integer) c.reason = static_cast<uint8_t>(value.integer);
        break;
      case 7:
        if (integer) c.seventhFlag = static_cast<uint8_t>(value.integer);
        break;
      default:
        break;
    }
  }
}
