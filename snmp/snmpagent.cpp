// SNMP agent: engine, sockets, the receive step, decoding with the USM
// checks, and the access rules.
#include "snmp/snmpagent.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <netinet/in.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/crypt.h"
#include "core/helpers.h"
#include "core/netsock.h"
#include "core/svc.h"
#include "core/util.h"
#include "snmp/snmpoid.h"

SnmpAgentSettings SnmpAgentSetting;

SnmpEngine SnmpEngineState;
SnmpMessage SnmpMsg;
SnmpAgentOpsTable SnmpAgentOps;
SnmpObjectHandler SnmpAgentHandler;
void (*SnmpAgentLogText)(int level, const char* text);

namespace {

SnmpVarbind g_varbinds[SNMP_MAX_VARBINDS];
Md5Context g_md5;

int g_sock4 = -1, g_sock6 = -1;
uint8_t g_boundBits;  // bit 0 IPv4, bit 1 IPv6: set on the first successful bind, never cleared

uint8_t g_receiveBuffer[SNMP_RECEIVE_SIZE];
uint8_t g_replyBuffer[SNMP_REPLY_SIZE];

// The other contextName that requests may carry besides "Context Name=".
constexpr char kFixedContext[] = "hb_3926";

void SetOctets(BerOctets* o, uint8_t* buf, uint16_t capacity) { *o = BerOctets{buf, 0, capacity}; }

bool OctetsEqual(const BerOctets& o, const uint8_t* bytes, size_t n) {
  return o.length == n && (n == 0 || memcmp(o.data, bytes, n) == 0);
}

bool OctetsEqualText(const BerOctets& o, const char* text) {
  return OctetsEqual(o, reinterpret_cast<const uint8_t*>(text), strlen(text));
}

void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// Writable pointer to a byte the reader designates inside data.
uint8_t* At(uint8_t* data, const uint8_t* p) { return data + (p - data); }

}  // namespace

// ---- engine ----------------------------------------------------------------

void SnmpAgent_MakeEngineId() {
  static const uint8_t prefix[5] = {0x80, 0x00, 0x7E, 0xD9, 0x03};
  memcpy(SnmpEngineState.id, prefix, 5);
  memset(SnmpEngineState.id + 5, 0, 6);
  for (int i = 0; i < NetInterfaceCount && i < NET_MAX_INTERFACES; i++) {
    static const uint8_t zero[6] = {};
    if (memcmp(NetInterfaces[i].mac, zero, 6) != 0) {
      memcpy(SnmpEngineState.id + 5, NetInterfaces[i].mac, 6);
      break;
    }
  }
}

uint16_t SnmpAgent_NextBoots() {
  char path[300], text[32] = {};
  snprintf(path, sizeof path, "%s/%s", SvcInstallDir, SNMP_BOOTS_FILE);
  long n = UF_FileRead(path, text, sizeof text - 1);
  unsigned long stored = 0;
  if (n > 0) {
    text[n] = 0;
    char* end = nullptr;
    stored = strtoul(text, &end, 10);
    if (end == text) stored = 0;
  }
  // The count stays at its top value rather than wrapping: a wrapped count
  // would repeat the salts of earlier boots.
  uint16_t boots = stored >= 65535 ? 65535 : static_cast<uint16_t>(stored + 1);
  int len = snprintf(text, sizeof text, "%u\n", boots);
  UF_FileReplace(path, text, static_cast<size_t>(len), 0600);
  return boots;
}

static void SaveBoots() {
  char path[300], text[32];
  snprintf(path, sizeof path, "%s/%s", SvcInstallDir, SNMP_BOOTS_FILE);
  int len = snprintf(text, sizeof text, "%u\n", SnmpEngineState.boots);
  UF_FileReplace(path, text, static_cast<size_t>(len), 0600);
}

void SnmpAgent_ClockTick() {
  if (SnmpEngineState.time >= 0x7FFF) {
    SnmpEngineState.time = 0;
    if (SnmpEngineState.boots < 65535) SnmpEngineState.boots++;
    SaveBoots();
  } else {
    SnmpEngineState.time++;
  }
}

bool SnmpAgent_UserHasPasswords(const UsmUser& u) {
  const bool auth = u.authPassword[0] != 0, priv = u.privPassword[0] != 0;
  return u.security == 0 || (u.security == 1 && auth) || (u.security == 2 && auth && priv);
}

// The key of one password; none (zeros) for an empty one, whose user the
// agent does not know.
static void LocalizeKey(uint8_t key[16], const char* password) {
  const uint8_t length = static_cast<uint8_t>(strnlen(password, 16));
  memset(key, 0, 16);
  if (length)
    CryptOps.Usm_PasswordToKeyMd5(&g_md5, key, reinterpret_cast<const uint8_t*>(password), length,
                                  SnmpEngineState.id, SNMP_ENGINE_ID_LENGTH);
}

void SnmpAgent_LocalizeUserKeys() {
  int count = SnmpAgentSetting.userCount < SNMP_USM_USERS ? SnmpAgentSetting.userCount : SNMP_USM_USERS;
  for (int i = 0; i < count; i++) {
    UsmUser& u = SnmpAgentSetting.users[i];
    if (u.security != 0) LocalizeKey(u.authKey, u.authPassword);
    LocalizeKey(u.privKey, u.privPassword);
  }
  SnmpEngineState.currentUser = SNMP_NO_USER;
}

void SnmpAgent_ResetMessage() {
  SnmpMessage& m = SnmpMsg;
  m.version = 0;
  m.pduTag = 0;
  m.requestId = m.errorStatus = m.errorIndex = 0;
  m.varbinds = g_varbinds;
  m.varbindCount = 0;
  m.msgId = m.msgMaxSize = m.msgSecurityModel = 0;
  m.engineBoots = m.engineTime = 0;
  SetOctets(&m.community, m.communityBuf, sizeof m.communityBuf);
  SetOctets(&m.msgFlags, m.flagsBuf, sizeof m.flagsBuf);
  m.flagsBuf[0] = 0;
  m.msgFlags.length = 1;
  SetOctets(&m.engineId, m.engineIdBuf, sizeof m.engineIdBuf);
  SetOctets(&m.userName, m.userNameBuf, sizeof m.userNameBuf);
  SetOctets(&m.authParams, m.authParamsBuf, sizeof m.authParamsBuf);
  SetOctets(&m.privParams, m.privParamsBuf, sizeof m.privParamsBuf);
  SetOctets(&m.contextEngineId, m.contextEngineIdBuf, sizeof m.contextEngineIdBuf);
  SetOctets(&m.contextName, m.contextNameBuf, sizeof m.contextNameBuf);
  m.ownEngineId = BerOctets{SnmpEngineState.id, SNMP_ENGINE_ID_LENGTH, 0};
  m.setUsed = 0;
  m.setOverflow = -1;
  m.replyFlags = 0;
}

void SnmpAgent_Init(SnmpObjectHandler handler) {
  SnmpEngineState.boots = SnmpAgent_NextBoots();
  SnmpEngineState.time = 0;
  SnmpEngineState.salt = SNMP_SALT_START;
  SnmpAgent_MakeEngineId();
  SnmpAgent_LocalizeUserKeys();
  SnmpAgent_ResetMessage();
  SnmpAgentHandler = handler;
  SnmpAgentOps = SnmpAgentOpsTable{
      SnmpAgent_CloseSockets, SnmpAgent_OpenSockets, nullptr,           nullptr,
      SnmpAgent_Receive,      SnmpAgent_LocalizeUserKeys, SnmpOid_Register, SnmpOid_Unregister,
      SnmpOid_Lookup,         SnmpOid_GetNext,        SnmpAgent_ResetMessage,
  };
}

// ---- sockets ---------------------------------------------------------------

// A bound socket; -1 with *error set when the bind fails, -2 when there is
// no socket of that family at all.
static int OpenBound(int family, uint16_t port, int* error) {
  int s = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) return -2;
  int rc;
  if (family == AF_INET) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    rc = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    // IPv6 only, so the IPv4 socket can hold the same port.
    int one = 1;
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_any;
    rc = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  if (rc != 0) {
    *error = errno;
    close(s);
    return -1;
  }
  return s;
}

namespace {

// The last bind failure logged for each family.
NetBindFailure g_bindFailed[2];

// Opens the socket of one family when it is closed: its part of the status
// text, and a line for a bind failure not logged before.
void OpenFamily(int family, int* fd, uint8_t bit, const char* part, char* text, size_t size, uint8_t* bits,
                std::vector<std::string>* failures) {
  if (*fd >= 0) return;
  const uint16_t port = SnmpAgentSetting.listenPort;
  int error = 0;
  int s = OpenBound(family, port, &error);
  if (s == -2) return;
  size_t used = strlen(text);
  snprintf(text + used, size - used, " %s: %s", part, s >= 0 ? "OK" : "NOK");
  if (s >= 0) {
    *fd = s;
    *bits |= bit;
  }
  if (!NetSock_NewBindFailure(&g_bindFailed[bit >> 1], s >= 0, port, error)) return;
  char line[128];
  snprintf(line, sizeof line, "%s: cannot bind port %u: %s", part, port, strerror(error));
  failures->emplace_back(line);
}

}  // namespace

void SnmpAgent_OpenSockets() {
  char text[64] = "";
  uint8_t bits = g_boundBits;
  std::vector<std::string> failures;
  OpenFamily(AF_INET, &g_sock4, 1, "IPv4-SNMP", text, sizeof text, &bits, &failures);
  OpenFamily(AF_INET6, &g_sock6, 2, "IPv6-SNMP", text, sizeof text, &bits, &failures);
  if (text[0] && bits != g_boundBits) {
    g_boundBits = bits;
    if (SnmpAgentLogText) SnmpAgentLogText(0, text);
  }
  // After the status text: each socket that cannot bind, with the port and
  // the reason, as a warning.
  for (const std::string& line : failures)
    if (SnmpAgentLogText) SnmpAgentLogText(2, line.c_str());
}

void SnmpAgent_CloseSockets() {
  CloseFd(&g_sock4);
  CloseFd(&g_sock6);
}

void SnmpAgent_Close() { SnmpAgent_CloseSockets(); }

// ---- decoding --------------------------------------------------------------

bool SnmpAgent_IsConfirmedPdu(uint8_t tag) {
  // Get, GetNext, Set, GetBulk (0xA5) and Inform (0xA6) ask for an answer;
  // Response, Trap, SNMPv2-Trap and Report never do.
  return tag == BER_PDU_GET || tag == BER_PDU_GETNEXT || tag == BER_PDU_SET || tag == 0xA5 || tag == 0xA6;
}

int SnmpAgent_VerifyDigest(const uint8_t* data, uint16_t length) {
  uint8_t u = SnmpEngineState.currentUser;
  if (u >= SNMP_USM_USERS || SnmpMsg.authParams.length != 12) return 0;
  uint8_t mac[16];
  CryptOps.Hmac_Md5(&g_md5, data, length, SnmpAgentSetting.users[u].authKey, mac);
  uint8_t diff = 0;
  for (int i = 0; i < 12; i++) diff |= static_cast<uint8_t>(mac[i] ^ SnmpMsg.authParams.data[i]);
  return diff == 0;
}

int SnmpAgent_DecodePdu(BerReader* r, int mode) {
  SnmpMessage& m = SnmpMsg;
  const bool manager = mode == SNMP_PDU_MANAGER;
  uint8_t tag;
  BerReader pdu;
  if (!Ber_ReadItem(r, &tag, &pdu)) return SNMP_DECODE_MALFORMED;
  m.pduTag = tag;
  if (tag == BER_PDU_TRAP_V1) return SNMP_DECODE_TRAP;
  bool known = (tag >= BER_PDU_GET && tag < BER_PDU_TRAP_V1) || (manager && tag == BER_PDU_REPORT);
  if (!known) return SNMP_DECODE_OTHER_PDU;
  if (Ber_Left(pdu) == 0) return SNMP_DECODE_MALFORMED;
  if (!Ber_ReadInteger(&pdu, &m.requestId) || !Ber_ReadInteger(&pdu, &m.errorStatus))
    return SNMP_DECODE_MALFORMED;
  if (tag == BER_PDU_RESPONSE) {
    if (m.errorStatus >= 1 && m.errorStatus <= 5) return SNMP_DECODE_RESPONSE_ERROR1 + m.errorStatus - 1;
    // The agent answers no Response; a manager reads the answer in full.
    if (!manager) return SNMP_DECODE_RESPONSE;
  }
  BerReader list;
  if (!Ber_ReadInteger(&pdu, &m.errorIndex) || !Ber_ReadTagged(&pdu, BER_SEQUENCE, &list))
    return SNMP_DECODE_MALFORMED;

  // Count first: every varbind is a SEQUENCE inside the list.
  int count = 0;
  for (BerReader c = list; Ber_Left(c) > 0; count++) {
    BerReader vb;
    if (!Ber_ReadTagged(&c, BER_SEQUENCE, &vb)) return SNMP_DECODE_MALFORMED;
  }
  if (count > SNMP_MAX_VARBINDS) return SNMP_DECODE_TOO_MANY_VARBINDS;

  bool set = !manager && tag == BER_PDU_SET;
  for (int i = 0; i < count; i++) {
    SnmpVarbind& v = m.varbinds[i];
    const uint8_t* start = list.pos;
    BerReader vb, name, content;
    uint8_t valueTag;
    Ber_ReadTagged(&list, BER_SEQUENCE, &vb);  // checked by the count
    v.raw = start;
    v.rawLength = static_cast<uint16_t>(list.pos - start);
    v.echo = true;
    v.name = BerOid{0, v.nameBuf};
    if (!Ber_ReadTagged(&vb, BER_OID, &name) ||
        !Ber_DecodeOid(name.pos, &v.name, static_cast<uint16_t>(Ber_Left(name))))
      return SNMP_DECODE_MALFORMED;
    if (!Ber_ReadItem(&vb, &valueTag, &content) || Ber_Left(vb) != 0) return SNMP_DECODE_MALFORMED;
    v.value = BerValue{};
    v.value.tag = valueTag;
    m.varbindCount = static_cast<uint16_t>(i + 1);
    if (!set) continue;
    uint16_t n = static_cast<uint16_t>(Ber_Left(content));
    switch (valueTag) {
      case BER_INTEGER:
      case BER_COUNTER32:
      case BER_GAUGE32:
      case BER_TIMETICKS:
        if (!Ber_DecodeValue(content.pos, &v.value, n)) return SNMP_DECODE_MALFORMED;
        break;
      case BER_OCTET_STRING:
      case BER_IPADDRESS:
        if (m.setUsed + n > SNMP_SET_STORE) {
          // Refused whole later; nothing of it is kept.
          if (m.setOverflow < 0) m.setOverflow = static_cast<int16_t>(i);
          break;
        }
        v.value.octets = BerOctets{m.setStore + m.setUsed, 0, n};
        Ber_DecodeOctets(content.pos, &v.value.octets, n);
        m.setUsed = static_cast<uint8_t>(m.setUsed + n);
        break;
      default:
        break;  // other types are refused by the object handler (wrong type)
    }
  }
  return SNMP_DECODE_OK;
}

int SnmpAgent_DecodeScoped(BerReader* r, int mode) {
  SnmpMessage& m = SnmpMsg;
  BerReader scoped;
  if (!Ber_ReadTagged(r, BER_SEQUENCE, &scoped) || Ber_Left(scoped) == 0) return SNMP_DECODE_MALFORMED;
  if (!Ber_ReadOctets(&scoped, &m.contextEngineId)) return SNMP_DECODE_MALFORMED;
  if (!Ber_ReadOctets(&scoped, &m.contextName)) {
    // A contextName longer than any we accept: the request is refused as an
    // unknown context once its PDU is read.
    BerReader c;
    if (!Ber_ReadTagged(&scoped, BER_OCTET_STRING, &c)) return SNMP_DECODE_MALFORMED;
    int rc = SnmpAgent_DecodePdu(&scoped, mode);
    return rc == SNMP_DECODE_OK ? SNMP_DECODE_BAD_CONTEXT : rc;
  }
  return SnmpAgent_DecodePdu(&scoped, mode);
}

int SnmpAgent_DecodeEnvelope(uint8_t* data, uint16_t avail, uint16_t* used, BerReader* rest) {
  SnmpMessage& m = SnmpMsg;
  SnmpAgent_ResetMessage();
  *used = avail;

  BerReader all = Ber_Reader(data, avail), msg;
  if (!Ber_ReadTagged(&all, BER_SEQUENCE, &msg) || Ber_Left(msg) == 0) return SNMP_DECODE_MALFORMED;
  *used = static_cast<uint16_t>(msg.end - data);
  if (!Ber_ReadInteger(&msg, &m.version)) return SNMP_DECODE_MALFORMED;

  if (m.version == 0) {
    if (!Ber_ReadOctets(&msg, &m.community)) return SNMP_DECODE_MALFORMED;
    if (m.community.length == 0) return SNMP_DECODE_EMPTY_COMMUNITY;
    *rest = msg;
    return SNMP_DECODE_OK;
  }
  if (m.version != 3) {
    m.version = -1;  // SNMPv2c and others are not served
    return SNMP_DECODE_MALFORMED;
  }

  // Header data.
  BerReader hdr;
  if (!Ber_ReadTagged(&msg, BER_SEQUENCE, &hdr) || Ber_Left(hdr) == 0) return SNMP_DECODE_MALFORMED;
  if (!Ber_ReadInteger(&hdr, &m.msgId) || !Ber_ReadInteger(&hdr, &m.msgMaxSize) ||
      !Ber_ReadOctets(&hdr, &m.msgFlags) || m.msgFlags.length != 1 ||
      !Ber_ReadInteger(&hdr, &m.msgSecurityModel))
    return SNMP_DECODE_MALFORMED;
  uint8_t flags = m.flagsBuf[0];
  // RFC 3412: a maximum size below 484, another security model than USM,
  // or privacy without authentication make the message invalid.
  if (m.msgMaxSize < 484 || m.msgSecurityModel != 3) return SNMP_DECODE_MALFORMED;
  if ((flags & SNMP_FLAG_PRIV) && !(flags & SNMP_FLAG_AUTH)) return SNMP_DECODE_MALFORMED;

  // Security parameters: an OCTET STRING wrapping a SEQUENCE.
  BerReader spOctets, sp, authItem, privItem;
  if (!Ber_ReadTagged(&msg, BER_OCTET_STRING, &spOctets) || Ber_Left(spOctets) == 0 ||
      !Ber_ReadTagged(&spOctets, BER_SEQUENCE, &sp) || Ber_Left(sp) == 0)
    return SNMP_DECODE_MALFORMED;
  if (!Ber_ReadOctets(&sp, &m.engineId) || !Ber_ReadInteger(&sp, &m.engineBoots) ||
      !Ber_ReadInteger(&sp, &m.engineTime) || !Ber_ReadOctets(&sp, &m.userName) ||
      !Ber_ReadTagged(&sp, BER_OCTET_STRING, &authItem) || !Ber_ReadTagged(&sp, BER_OCTET_STRING, &privItem))
    return SNMP_DECODE_MALFORMED;
  size_t authLen = Ber_Left(authItem), privLen = Ber_Left(privItem);
  if ((authLen != 0 && authLen != 12) || (privLen != 0 && privLen != 8)) return SNMP_DECODE_MALFORMED;
  // An authenticated message carries a 12-byte digest, an encrypted one an 8-byte salt.
  if ((flags & SNMP_FLAG_AUTH) && authLen != 12) return SNMP_DECODE_MALFORMED;
  if ((flags & SNMP_FLAG_PRIV) && privLen != 8) return SNMP_DECODE_MALFORMED;
  Ber_DecodeOctets(authItem.pos, &m.authParams, static_cast<uint16_t>(authLen));
  Ber_DecodeOctets(privItem.pos, &m.privParams, static_cast<uint16_t>(privLen));
  // The digest is computed with the parameters zeroed.
  if (authLen) memset(At(data, authItem.pos), 0, authLen);
  *rest = msg;
  return SNMP_DECODE_OK;
}

int SnmpAgent_Decrypt(uint8_t* data, BerReader* rest, const uint8_t privKey[16], BerReader* plain) {
  BerReader enc;
  if (!Ber_ReadTagged(rest, BER_OCTET_STRING, &enc)) return SNMP_DECODE_MALFORMED;
  size_t n = Ber_Left(enc);
  if (n == 0 || n % 8 != 0) return SNMP_DECODE_DECRYPTION_ERROR;
  uint8_t iv[8], save[8];
  for (int i = 0; i < 8; i++) iv[i] = static_cast<uint8_t>(SnmpMsg.privParamsBuf[i] ^ privKey[8 + i]);
  uint8_t* p = At(data, enc.pos);
  for (size_t off = 0; off < n; off += 8) {
    memcpy(save, p + off, 8);
    CryptOps.Des_DecryptBlock(p + off, privKey, p + off);
    for (int i = 0; i < 8; i++) p[off + i] ^= iv[i];
    memcpy(iv, save, 8);
  }
  *plain = enc;
  return SNMP_DECODE_OK;
}

int SnmpAgent_DecodeMessage(uint8_t* data, uint16_t avail, uint16_t* used) {
  SnmpMessage& m = SnmpMsg;
  SnmpEngineState.currentUser = SNMP_NO_USER;
  BerReader msg;
  int rc = SnmpAgent_DecodeEnvelope(data, avail, used, &msg);
  if (rc != SNMP_DECODE_OK) return rc;
  if (m.version == 0) return SnmpAgent_DecodePdu(&msg, SNMP_PDU_AGENT);
  uint16_t extent = *used;
  uint8_t flags = m.flagsBuf[0];

  // A whole SNMPv3Message ends with its scoped PDU, an OCTET STRING when
  // encrypted, else a SEQUENCE, and nothing after it. A plain one is read
  // here, before any check that could answer with a Report: a Report,
  // Response or Trap gets no answer at all (RFC 3412 7.2, RFC 3416), so no
  // two agents can be made to answer each other's Reports.
  BerReader rest = msg, scopedData;
  uint8_t dataTag;
  if (!Ber_ReadItem(&rest, &dataTag, &scopedData) || Ber_Left(rest) != 0 ||
      dataTag != ((flags & SNMP_FLAG_PRIV) ? BER_OCTET_STRING : BER_SEQUENCE))
    return SNMP_DECODE_MALFORMED;
  int plainResult = SNMP_DECODE_OK;
  if (!(flags & SNMP_FLAG_PRIV)) {
    BerReader scoped = msg;
    plainResult = SnmpAgent_DecodeScoped(&scoped, SNMP_PDU_AGENT);
    if (plainResult == SNMP_DECODE_MALFORMED) return plainResult;
    if (!SnmpAgent_IsConfirmedPdu(m.pduTag)) return plainResult;
  }

  // Engine check: a message to another engine (a discovery) is answered
  // with our engine id.
  if (!OctetsEqual(m.engineId, SnmpEngineState.id, SNMP_ENGINE_ID_LENGTH)) {
    m.varbindCount = 0;
    return SNMP_DECODE_UNKNOWN_ENGINE;
  }

  // User lookup: the first enabled user of that name.
  int count = SnmpAgentSetting.userCount < SNMP_USM_USERS ? SnmpAgentSetting.userCount : SNMP_USM_USERS;
  int user = -1;
  for (int i = 0; i < count && user < 0; i++) {
    const UsmUser& u = SnmpAgentSetting.users[i];
    if (u.name[0] && u.permission != 0 && SnmpAgent_UserHasPasswords(u) && OctetsEqualText(m.userName, u.name))
      user = i;
  }
  if (user < 0) {
    m.requestId = 1005;
    return SNMP_DECODE_UNKNOWN_USER;
  }
  SnmpEngineState.currentUser = static_cast<uint8_t>(user);
  const UsmUser& u = SnmpAgentSetting.users[user];

  // The security level must be the user's own.
  int level = !(flags & SNMP_FLAG_AUTH) ? 0 : (flags & SNMP_FLAG_PRIV) ? 2 : 1;
  if (level != u.security) return SNMP_DECODE_UNSUPPORTED_LEVEL;

  if ((flags & SNMP_FLAG_AUTH) && !SnmpAgent_VerifyDigest(data, extent)) return SNMP_DECODE_WRONG_DIGEST;

  if (!(flags & SNMP_FLAG_PRIV)) return plainResult;

  // Privacy: CBC-DES over the encrypted PDU, in place.
  BerReader plain;
  rc = SnmpAgent_Decrypt(data, &msg, u.privKey, &plain);
  if (rc != SNMP_DECODE_OK) return rc;
  rc = SnmpAgent_DecodeScoped(&plain, SNMP_PDU_AGENT);
  // Plaintext that does not decode means the wrong key or a damaged message.
  if (rc == SNMP_DECODE_MALFORMED) {
    m.requestId = 0;
    m.varbindCount = 0;
    return SNMP_DECODE_DECRYPTION_ERROR;
  }
  return rc;
}

// ---- access ----------------------------------------------------------------

static bool SourceBytes(const sockaddr* source, int family, const uint8_t** bytes, size_t* n) {
  if (family == AF_INET && source->sa_family == AF_INET) {
    *bytes = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in*>(source)->sin_addr);
    *n = 4;
    return true;
  }
  if (family == AF_INET6 && source->sa_family == AF_INET6) {
    *bytes = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in6*>(source)->sin6_addr);
    *n = 16;
    return true;
  }
  return false;
}

// Permission of the first access entry that matches the community and the
// source (0: none).
static uint8_t V1Permission(const sockaddr* source, int family) {
  const uint8_t* src;
  size_t n;
  if (!SourceBytes(source, family, &src, &n)) return 0;
  for (int i = 0; i < SnmpAgentSetting.accessCount; i++) {
    const SnmpAccessEntry& e = SnmpAgentSetting.access[i];
    if (!OctetsEqual(SnmpMsg.community, reinterpret_cast<const uint8_t*>(e.community),
                     strnlen(e.community, sizeof e.community)))
      continue;
    uint8_t addr[16] = {};
    int ok = family == AF_INET ? Net_PtonV4(addr, e.address) : Net_PtonV6(addr, e.address);
    if (!ok) continue;
    static const uint8_t zero[16] = {};
    if (memcmp(addr, src, n) != 0 && memcmp(addr, zero, n) != 0) continue;
    return e.permission == 1 || e.permission == 2 ? e.permission : 0;
  }
  return 0;
}

int SnmpAgent_IsListedSource(const sockaddr* address) {
  int family = address->sa_family;
  const uint8_t* src;
  size_t n;
  if (!SourceBytes(address, family, &src, &n)) return 0;
  for (int i = 0; i < SnmpAgentSetting.accessCount; i++) {
    uint8_t addr[16] = {};
    const char* text = SnmpAgentSetting.access[i].address;
    int ok = family == AF_INET ? Net_PtonV4(addr, text) : Net_PtonV6(addr, text);
    if (ok && memcmp(addr, src, n) == 0) return 1;
  }
  return 0;
}

// Error replies that refuse the whole PDU echo its varbinds unchanged.
static void RefuseAll(int32_t status) {
  SnmpMsg.errorStatus = status;
  SnmpMsg.errorIndex = 0;
  for (int i = 0; i < SnmpMsg.varbindCount; i++) SnmpMsg.varbinds[i].echo = true;
}

// Serves or refuses the decoded request with the given permission.
static void Serve(int permission, int result) {
  SnmpMessage& m = SnmpMsg;
  if (result == SNMP_DECODE_TOO_MANY_VARBINDS) {
    m.errorStatus = SNMP_ERR_TOO_BIG;
    m.errorIndex = 0;
    m.varbindCount = 0;
  } else if (m.varbindCount > 0) {
    bool allowed = m.pduTag == BER_PDU_SET ? permission == 2 : permission == 1 || permission == 2;
    if (allowed) SnmpAgent_ProcessVarbinds();
    else RefuseAll(SNMP_ERR_GEN_ERR);
  }
  m.pduTag = BER_PDU_RESPONSE;
}

int SnmpAgent_HandleMessage(uint8_t* data, uint16_t avail, uint16_t* used, const sockaddr* source,
                            int family, uint8_t* reply, uint16_t* replyLength) {
  SnmpMessage& m = SnmpMsg;
  *replyLength = 0;
  int result = SnmpAgent_DecodeMessage(data, avail, used);
  if (result < 0) return SNMP_STEP_END;

  if (m.version == 0) {
    if (result != SNMP_DECODE_OK && result != SNMP_DECODE_TOO_MANY_VARBINDS) return SNMP_STEP_NEXT;
    uint8_t permission = V1Permission(source, family);
    if (permission == 0) return SNMP_STEP_END_TURN;
    Serve(permission, result);
  } else {
    if (result == SNMP_DECODE_OK && !OctetsEqualText(m.contextName, SnmpAgentSetting.contextName) &&
        !OctetsEqualText(m.contextName, kFixedContext))
      result = SNMP_DECODE_BAD_CONTEXT;
    // A Report goes only where the message asks for one (RFC 3412 6.4).
    const bool reportable = (m.flagsBuf[0] & SNMP_FLAG_REPORTABLE) != 0;
    switch (result) {
      case SNMP_DECODE_OK:
      case SNMP_DECODE_TOO_MANY_VARBINDS:
        // Authenticated messages must lie inside the time window before
        // anything is processed.
        if ((m.flagsBuf[0] & SNMP_FLAG_AUTH) && !SnmpAgent_InTimeWindow()) {
          if (!reportable) return SNMP_STEP_NEXT;
          SnmpAgent_MakeReport(SNMP_DECODE_OK);
        } else {
          m.replyFlags = m.flagsBuf[0] & (SNMP_FLAG_AUTH | SNMP_FLAG_PRIV);
          Serve(SnmpAgentSetting.users[SnmpEngineState.currentUser].permission, result);
        }
        break;
      case SNMP_DECODE_UNKNOWN_USER:
      case SNMP_DECODE_WRONG_DIGEST:
      case SNMP_DECODE_UNKNOWN_ENGINE:
      case SNMP_DECODE_UNSUPPORTED_LEVEL:
      case SNMP_DECODE_DECRYPTION_ERROR:
      case SNMP_DECODE_BAD_CONTEXT:
        if (!reportable) return SNMP_STEP_NEXT;
        SnmpAgent_MakeReport(result);
        break;
      default:
        return SNMP_STEP_NEXT;  // Trap, Response and other PDUs get no reply
    }
  }
  if (!SnmpAgent_EncodeReply(reply, SNMP_REPLY_SIZE, replyLength)) *replyLength = 0;
  return SNMP_STEP_NEXT;
}

// ---- receive step ----------------------------------------------------------

// One datagram from fd, if any; 0 when the turn must end.
static int ReceiveOn(int fd, int family) {
  sockaddr_storage src{};
  socklen_t srcLen = sizeof src;
  ssize_t n = recvfrom(fd, g_receiveBuffer, sizeof g_receiveBuffer, MSG_DONTWAIT,
                       reinterpret_cast<sockaddr*>(&src), &srcLen);
  if (n <= 0) return 1;
  uint16_t off = 0;
  for (int k = 0; k < 10 && off < n; k++) {
    uint16_t used = 0, replyLength = 0;
    int step = SnmpAgent_HandleMessage(g_receiveBuffer + off, static_cast<uint16_t>(n - off), &used,
                                       reinterpret_cast<sockaddr*>(&src), family, g_replyBuffer,
                                       &replyLength);
    if (replyLength)
      sendto(fd, g_replyBuffer, replyLength, 0, reinterpret_cast<sockaddr*>(&src),
             family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    if (step == SNMP_STEP_END_TURN) return 0;
    if (step == SNMP_STEP_END || used == 0) break;
    off = static_cast<uint16_t>(off + used);
  }
  return 1;
}

int SnmpAgent_PollFill(struct pollfd* fds, int max, int*) {
  int n = 0;
  for (int fd : {g_sock4, g_sock6}) {
    if (fd < 0 || n >= max) continue;
    fds[n++] = pollfd{fd, POLLIN, 0};
  }
  return n;
}

void SnmpAgent_Receive() {
  if (g_sock4 >= 0 && !ReceiveOn(g_sock4, AF_INET)) return;
  if (g_sock6 >= 0) ReceiveOn(g_sock6, AF_INET6);
}
