// SNMP agent replies: varbind processing, error statuses, Reports, the time
// window and the encoder with USM privacy and authentication.
#include <cstdlib>
#include <cstring>

#include "core/crypt.h"
#include "snmp/snmpagent.h"

SnmpReportCounters SnmpReportCount;

namespace {

Md5Context g_md5;
uint8_t g_scratch[SNMP_REPLY_SIZE];

// The counters' names (a Report carries one of them).
const uint32_t kUnsupportedSecLevels[] = {1, 3, 6, 1, 6, 3, 15, 1, 1, 1, 0};
const uint32_t kNotInTimeWindows[] = {1, 3, 6, 1, 6, 3, 15, 1, 1, 2, 0};
const uint32_t kUnknownUserNames[] = {1, 3, 6, 1, 6, 3, 15, 1, 1, 3, 0};
const uint32_t kUnknownEngineIds[] = {1, 3, 6, 1, 6, 3, 15, 1, 1, 4, 0};
const uint32_t kWrongDigests[] = {1, 3, 6, 1, 6, 3, 15, 1, 1, 5, 0};
const uint32_t kDecryptionErrors[] = {1, 3, 6, 1, 6, 3, 15, 1, 1, 6, 0};
const uint32_t kUnknownContexts[] = {1, 3, 6, 1, 6, 3, 12, 1, 5, 0};

// An SNMPv2 error status as SNMPv1 states it (RFC 2576 section 4.4).
int32_t ToV1(int32_t status) {
  switch (status) {
    case SNMP_ERR_WRONG_VALUE:
    case SNMP_ERR_WRONG_ENCODING:
    case SNMP_ERR_WRONG_TYPE:
    case SNMP_ERR_WRONG_LENGTH:
    case 12:  // inconsistentValue
      return SNMP_ERR_BAD_VALUE;
    case 6:  // noAccess
    case SNMP_ERR_NOT_WRITABLE:
    case SNMP_ERR_NO_CREATION:
    case 18:  // inconsistentName
    case 16:  // authorizationError
      return SNMP_ERR_NO_SUCH_NAME;
    case SNMP_ERR_RESOURCE_UNAVAILABLE:
    case SNMP_ERR_COMMIT_FAILED:
    case 15:  // undoFailed
      return SNMP_ERR_GEN_ERR;
    default:
      return status;
  }
}

// Refuses the request at varbind index (from 1): the reply carries every
// varbind as it came.
void Fail(int32_t status, int index) {
  SnmpMessage& m = SnmpMsg;
  m.errorStatus = m.version == 0 ? ToV1(status) : status;
  m.errorIndex = index;
  for (int i = 0; i < m.varbindCount; i++) m.varbinds[i].echo = true;
}

// Refuses a SET after some of it was applied: the handler puts back what
// it changed.
void Undo(int index) {
  SnmpAgentHandler(nullptr, SNMP_OBJECT_UNDO);
  Fail(SNMP_ERR_COMMIT_FAILED, index);
}

void PutVarbinds(BerBuilder* b) {
  const SnmpMessage& m = SnmpMsg;
  uint16_t listMark = Ber_Mark(*b);
  for (int i = m.varbindCount - 1; i >= 0; i--) {
    const SnmpVarbind& v = m.varbinds[i];
    if (v.echo && v.raw) {
      Ber_PutBytes(b, v.raw, v.rawLength);
      continue;
    }
    uint16_t mark = Ber_Mark(*b);
    Ber_PutValue(b, &v.value);
    Ber_PutOid(b, v.name.subids, v.name.count);
    Ber_PutHeader(b, BER_SEQUENCE, mark);
  }
  Ber_PutHeader(b, BER_SEQUENCE, listMark);
}

void PutPdu(BerBuilder* b) {
  const SnmpMessage& m = SnmpMsg;
  uint16_t pduMark = Ber_Mark(*b);
  PutVarbinds(b);
  Ber_PutInteger(b, m.errorIndex, BER_INTEGER);
  Ber_PutInteger(b, m.errorStatus, BER_INTEGER);
  Ber_PutInteger(b, m.requestId, BER_INTEGER);
  Ber_PutHeader(b, m.pduTag, pduMark);
}

// One encoding of the message state within limit bytes; its length or 0.
uint16_t EncodeOnce(uint8_t* buffer, uint16_t size, int32_t limit) {
  SnmpMessage& m = SnmpMsg;
  BerBuilder b = Ber_Builder(buffer, size);
  uint16_t length = 0;
  if (m.version == 0) {
    PutPdu(&b);
    Ber_PutOctets(&b, BER_OCTET_STRING, m.community.data, m.community.length);
    Ber_PutInteger(&b, 0, BER_INTEGER);
    Ber_PutHeader(&b, BER_SEQUENCE, 0);
    length = Ber_Finish(&b);
  } else {
    SnmpAgent_PutScopedPdu(&b, SnmpEngineState.id, SNMP_ENGINE_ID_LENGTH);
    uint8_t u = SnmpEngineState.currentUser;
    const UsmUser* user = u < SNMP_USM_USERS ? &SnmpAgentSetting.users[u] : nullptr;
    SnmpUsmOut out{};
    out.msgId = m.msgId;
    out.msgMaxSize = SNMP_REPLY_SIZE;
    out.securityModel = m.msgSecurityModel;
    // Without the message's own user nothing can be secured.
    out.flags = user ? m.replyFlags & (SNMP_FLAG_AUTH | SNMP_FLAG_PRIV) : 0;
    out.userName = m.userName.data;
    out.userNameLength = m.userName.length;
    out.authKey = user ? user->authKey : nullptr;
    out.privKey = user ? user->privKey : nullptr;
    length = SnmpAgent_FinishV3(&b, &out);
  }
  if (length == 0 || length > limit) return 0;
  return length;
}

}  // namespace

// ---- processing ------------------------------------------------------------

void SnmpAgent_ProcessVarbinds() {
  SnmpMessage& m = SnmpMsg;
  m.errorStatus = SNMP_ERR_NONE;
  m.errorIndex = 0;
  if (!SnmpAgentHandler) return Fail(SNMP_ERR_GEN_ERR, 0);
  if (m.pduTag == BER_PDU_SET) {
    // Every varbind is checked before any is applied, so a refused SET
    // changes nothing.
    if (m.setOverflow >= 0) return Fail(SNMP_ERR_RESOURCE_UNAVAILABLE, m.setOverflow + 1);
    for (int i = 0; i < m.varbindCount; i++) {
      int32_t st = SnmpAgentHandler(&m.varbinds[i], SNMP_OBJECT_CHECK);
      if (st != SNMP_ERR_NONE) return Fail(st == SNMP_ERR_NO_SUCH_NAME ? SNMP_ERR_NO_CREATION : st, i + 1);
    }
    for (int i = 0; i < m.varbindCount; i++) {
      int32_t st = SnmpAgentHandler(&m.varbinds[i], SNMP_OBJECT_APPLY);
      if (st != SNMP_ERR_NONE) return Undo(i + 1);
      m.varbinds[i].echo = false;
    }
    // Whole or not at all: a SET whose changes cannot be kept is undone.
    if (m.varbindCount > 0 && SnmpAgentHandler(nullptr, SNMP_OBJECT_COMMIT) != SNMP_ERR_NONE) return Undo(1);
    return;
  }
  for (int i = 0; i < m.varbindCount; i++) {
    SnmpVarbind& v = m.varbinds[i];
    int32_t st = SnmpAgentHandler(&v, SNMP_OBJECT_READ);
    if (st == SNMP_ERR_NONE) {
      v.echo = false;
    } else if (m.version == 3 && st == SNMP_ERR_NO_SUCH_NAME) {
      // SNMPv3 answers a missing object with an exception value.
      v.echo = false;
      v.value = BerValue{};
      v.value.tag = m.pduTag == BER_PDU_GETNEXT ? BER_END_OF_MIB_VIEW : BER_NO_SUCH_OBJECT;
    } else {
      return Fail(st, i + 1);
    }
  }
}

int SnmpAgent_InTimeWindow() {
  const SnmpMessage& m = SnmpMsg;
  if (m.engineBoots != SnmpEngineState.boots) return 0;
  int64_t diff = static_cast<int64_t>(m.engineTime) - SnmpEngineState.time;
  return llabs(diff) <= SNMP_TIME_WINDOW;
}

void SnmpAgent_MakeReport(int result) {
  SnmpMessage& m = SnmpMsg;
  const uint32_t* oid;
  uint16_t count = 11;
  uint32_t* counter;
  uint8_t flags = 0;  // Reports about the security checks go out unauthenticated
  switch (result) {
    case SNMP_DECODE_OK:  // outside the time window: authenticated with the message's user
      oid = kNotInTimeWindows;
      counter = &SnmpReportCount.notInTimeWindows;
      flags = SNMP_FLAG_AUTH;
      break;
    case SNMP_DECODE_UNKNOWN_USER:
      oid = kUnknownUserNames;
      counter = &SnmpReportCount.unknownUserNames;
      break;
    case SNMP_DECODE_UNKNOWN_ENGINE:
      oid = kUnknownEngineIds;
      counter = &SnmpReportCount.unknownEngineIds;
      break;
    case SNMP_DECODE_WRONG_DIGEST:
      oid = kWrongDigests;
      counter = &SnmpReportCount.wrongDigests;
      m.requestId = 0;
      break;
    case SNMP_DECODE_UNSUPPORTED_LEVEL:
      oid = kUnsupportedSecLevels;
      counter = &SnmpReportCount.unsupportedSecLevels;
      m.requestId = 0;
      break;
    case SNMP_DECODE_DECRYPTION_ERROR:
      oid = kDecryptionErrors;
      counter = &SnmpReportCount.decryptionErrors;
      m.requestId = 0;
      break;
    default:  // SNMP_DECODE_BAD_CONTEXT: the message passed the security checks
      oid = kUnknownContexts;
      count = 10;
      counter = &SnmpReportCount.unknownContexts;
      flags = m.flagsBuf[0] & (SNMP_FLAG_AUTH | SNMP_FLAG_PRIV);
      break;
  }
  ++*counter;
  SnmpVarbind& v = m.varbinds[0];
  v.name = BerOid{count, v.nameBuf};
  memcpy(v.nameBuf, oid, count * sizeof(uint32_t));
  v.value = BerValue{};
  v.value.tag = BER_COUNTER32;
  v.value.integer = static_cast<int32_t>(*counter);
  v.echo = false;
  v.raw = nullptr;
  m.varbindCount = 1;
  m.pduTag = BER_PDU_REPORT;
  m.errorStatus = 0;
  m.errorIndex = 0;
  m.replyFlags = flags;
}

// ---- encoding --------------------------------------------------------------

void SnmpAgent_NextSalt(uint8_t salt[8]) {
  uint32_t c = ++SnmpEngineState.salt;
  uint16_t boots = SnmpEngineState.boots;
  salt[0] = static_cast<uint8_t>(boots);
  salt[1] = static_cast<uint8_t>(c);
  salt[2] = static_cast<uint8_t>(boots >> 8);
  salt[3] = static_cast<uint8_t>(c >> 8);
  salt[4] = static_cast<uint8_t>(c >> 16);
  salt[5] = static_cast<uint8_t>(c >> 24);
  salt[6] = 0;
  salt[7] = 0;
}

void SnmpAgent_PutScopedPdu(BerBuilder* b, const uint8_t* contextEngineId, uint16_t length) {
  const SnmpMessage& m = SnmpMsg;
  uint16_t mark = Ber_Mark(*b);
  PutPdu(b);
  Ber_PutOctets(b, BER_OCTET_STRING, m.contextName.data, m.contextName.length);
  Ber_PutOctets(b, BER_OCTET_STRING, contextEngineId, length);
  Ber_PutHeader(b, BER_SEQUENCE, mark);
}

uint16_t SnmpAgent_FinishV3(BerBuilder* b, const SnmpUsmOut* out) {
  if (!b->ok) return 0;
  uint8_t salt[8] = {};
  bool priv = (out->flags & SNMP_FLAG_PRIV) && out->privKey && (out->flags & SNMP_FLAG_AUTH);
  bool auth = (out->flags & SNMP_FLAG_AUTH) && out->authKey;
  if (priv) {
    // Encrypt the scoped PDU, padded with zeros to whole blocks.
    uint16_t n = Ber_Mark(*b);
    uint16_t padded = static_cast<uint16_t>((n + 7u) & ~7u);
    if (padded > sizeof g_scratch) return b->ok = false, 0;
    memcpy(g_scratch, b->buffer + b->pos, n);
    memset(g_scratch + n, 0, padded - n);
    SnmpAgent_NextSalt(salt);
    uint8_t iv[8];
    for (int i = 0; i < 8; i++) iv[i] = static_cast<uint8_t>(salt[i] ^ out->privKey[8 + i]);
    for (uint16_t off = 0; off < padded; off += 8) {
      for (int i = 0; i < 8; i++) g_scratch[off + i] ^= iv[i];
      CryptOps.Des_EncryptBlock(g_scratch + off, out->privKey, g_scratch + off);
      memcpy(iv, g_scratch + off, 8);
    }
    b->pos = static_cast<uint16_t>(b->pos + n);  // drop the plaintext
    Ber_PutOctets(b, BER_OCTET_STRING, g_scratch, padded);
  }
  // Security parameters.
  uint16_t spMark = Ber_Mark(*b);
  Ber_PutOctets(b, BER_OCTET_STRING, salt, priv ? 8 : 0);
  uint16_t authMark = Ber_Mark(*b);
  static const uint8_t zeros[12] = {};
  Ber_PutBytes(b, zeros, auth ? 12 : 0);
  uint16_t authFromEnd = Ber_Mark(*b);
  Ber_PutHeader(b, BER_OCTET_STRING, authMark);
  Ber_PutOctets(b, BER_OCTET_STRING, out->userName, out->userNameLength);
  if (out->engineId) {
    Ber_PutInteger(b, out->engineTime, BER_INTEGER);
    Ber_PutInteger(b, out->engineBoots, BER_INTEGER);
    Ber_PutOctets(b, BER_OCTET_STRING, out->engineId, out->engineIdLength);
  } else {
    Ber_PutInteger(b, SnmpEngineState.time, BER_INTEGER);
    Ber_PutInteger(b, SnmpEngineState.boots, BER_INTEGER);
    Ber_PutOctets(b, BER_OCTET_STRING, SnmpEngineState.id, SNMP_ENGINE_ID_LENGTH);
  }
  Ber_PutHeader(b, BER_SEQUENCE, spMark);
  Ber_PutHeader(b, BER_OCTET_STRING, spMark);
  // Header data: the reportable bit only where the caller asks for it (a
  // request); replies and traps never carry it.
  uint16_t hMark = Ber_Mark(*b);
  uint8_t flags = static_cast<uint8_t>((auth ? SNMP_FLAG_AUTH : 0) | (priv ? SNMP_FLAG_PRIV : 0) |
                                       (out->flags & SNMP_FLAG_REPORTABLE));
  Ber_PutInteger(b, out->securityModel, BER_INTEGER);
  Ber_PutOctets(b, BER_OCTET_STRING, &flags, 1);
  Ber_PutInteger(b, out->msgMaxSize, BER_INTEGER);
  Ber_PutInteger(b, out->msgId, BER_INTEGER);
  Ber_PutHeader(b, BER_SEQUENCE, hMark);
  Ber_PutInteger(b, 3, BER_INTEGER);
  Ber_PutHeader(b, BER_SEQUENCE, 0);
  uint16_t length = Ber_Finish(b);
  if (length == 0) return 0;
  if (auth) {
    uint8_t mac[16];
    CryptOps.Hmac_Md5(&g_md5, b->buffer, length, out->authKey, mac);
    memcpy(b->buffer + (length - authFromEnd), mac, 12);
  }
  return length;
}

int SnmpAgent_EncodeReply(uint8_t* buffer, uint16_t size, uint16_t* length) {
  SnmpMessage& m = SnmpMsg;
  if (m.version != 0 && m.version != 3) return 0;
  int32_t limit = size - 1;
  if (m.version == 3 && m.msgMaxSize < limit) limit = m.msgMaxSize;
  uint16_t n = EncodeOnce(buffer, size, limit);
  if (n == 0 && m.pduTag == BER_PDU_RESPONSE && m.varbindCount > 0) {
    // Too large for the requester: tooBig without varbinds (RFC 3416 4.2).
    m.errorStatus = SNMP_ERR_TOO_BIG;
    m.errorIndex = 0;
    m.varbindCount = 0;
    n = EncodeOnce(buffer, size, limit);
  }
  if (n == 0) return 0;
  *length = n;
  return 1;
}
