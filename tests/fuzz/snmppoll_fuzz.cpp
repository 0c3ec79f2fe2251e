// Fuzzes the network shutdown client poller's reading of a client's
// answers. The first input byte chooses the form of the rest:
//   even: a whole datagram from the client's address, decoded and, when it
//         is a complete Response, stored; the client's exchange is set to
//         expect it (the msgID it carries, discovery or request by its user
//         name), so the checks behind the msgID are reached;
//   odd:  a plaintext scoped PDU that the target wraps into an authPriv
//         message under the client's keys, so the decoder reaches the PDU,
//         the values and the storing past the digest and the decryption.
// The client's engine id is the one the seed corpus was captured against
// (snmppoll_corpus.py: net-snmp's snmpd with engineID "fuzzpeer0001").
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/crypt.h"
#include "core/svc.h"
#include "snmp/ber.h"
#include "snmp/snmpagent.h"
#include "snmp/snmppoll.h"
#include "snmp/snmptrap.h"

namespace {

const uint8_t kEngine[] = {0x80, 0x00, 0x1F, 0x88, 0x04, 'f', 'u', 'z', 'z', 'p', 'e', 'e', 'r', '0', '0', '0', '1'};
uint8_t g_authKey[16], g_privKey[16];

int32_t NoHandler(SnmpVarbind*, uint8_t) { return SNMP_ERR_NO_SUCH_NAME; }

// The wrapped form runs on stand-ins for DES and HMAC-MD5, which took four
// fifths of its time (DES builds its key schedule for every block). The
// poller's own work (the digest check, the CBC chain, the lengths, the PDU)
// is the same whichever cipher hands it the plaintext; the real cipher and
// digest still decode the raw form's captured authPriv responses.
CryptOpsTable g_realCrypto, g_wrapCrypto;
void SameBlock(const uint8_t in[8], const uint8_t*, uint8_t out[8]) {
  if (out != in) memmove(out, in, 8);
}
void KeyAsDigest(Md5Context*, const uint8_t*, size_t, const uint8_t key[16], uint8_t mac[16]) {
  memcpy(mac, key, 16);
}

void SetEngine() {
  ShutdownClientStatus& c = SnmpPollClients[0];
  memset(c.engineId, 0, sizeof c.engineId);
  memcpy(c.engineId, kEngine, sizeof kEngine);
  c.engineIdLength = sizeof kEngine;
}

// Every text field is terminated inside its buffer.
void CheckRecord() {
  const ShutdownClientStatus& c = SnmpPollClients[0];
  if (!memchr(c.os, 0, sizeof c.os) || !memchr(c.column2, 0, sizeof c.column2) ||
      !memchr(c.hostName, 0, sizeof c.hostName) || c.engineIdLength > POLL_ENGINE_ID_MAX)
    abort();
}

// Decodes one message of the client as the receive step does.
void Decode(uint8_t* data, size_t size) {
  uint16_t used = 0;
  int rc = SnmpPoll_DecodeMessage(0, data, static_cast<uint16_t>(size), &used);
  if (used > size) abort();
  const SnmpMessage& m = SnmpMsg;
  if (rc == SNMP_DECODE_OK && m.version == 3 && m.userName.length && m.pduTag == BER_PDU_RESPONSE &&
      m.varbindCount >= POLL_VARBINDS)
    SnmpPoll_StoreStatus(0);
  CheckRecord();
}

void RawDatagram(const uint8_t* data, size_t size) {
  // Exact-size copies (the decoder writes into them): any read past the
  // datagram is caught.
  uint8_t* peek = static_cast<uint8_t*>(malloc(size ? size : 1));
  uint8_t* buf = static_cast<uint8_t*>(malloc(size ? size : 1));
  memcpy(peek, data, size);
  memcpy(buf, data, size);
  BerReader rest;
  uint16_t used = 0;
  SetEngine();
  SnmpPollExchanges[0] = SnmpPollExchange{};
  if (SnmpAgent_DecodeEnvelope(peek, static_cast<uint16_t>(size), &used, &rest) == SNMP_DECODE_OK &&
      SnmpMsg.version == 3)
    SnmpPollExchanges[0] = SnmpPollExchange{
        static_cast<uint8_t>(SnmpMsg.userName.length ? POLL_PHASE_REQUESTING : POLL_PHASE_DISCOVERING),
        SnmpMsg.msgId};
  Decode(buf, size);
  free(peek);
  free(buf);
}

void WrappedScopedPdu(const uint8_t* data, size_t size) {
  static uint8_t out[POLL_BUFFER_SIZE];
  BerBuilder b = Ber_Builder(out, sizeof out);
  Ber_PutBytes(&b, data, size);
  static const uint8_t user[] = {'m', 'a', 'n', 'a', 'g', 'e', 'r'};
  SnmpUsmOut usm{};
  usm.msgId = 77;
  usm.msgMaxSize = POLL_BUFFER_SIZE;
  usm.securityModel = 3;
  usm.flags = SNMP_FLAG_AUTH | SNMP_FLAG_PRIV;
  usm.userName = user;
  usm.userNameLength = sizeof user;
  usm.engineId = kEngine;
  usm.engineIdLength = sizeof kEngine;
  usm.engineBoots = 3;
  usm.engineTime = 1200;
  usm.authKey = g_authKey;
  usm.privKey = g_privKey;
  uint16_t n = SnmpAgent_FinishV3(&b, &usm);
  if (n == 0) return;
  uint8_t* buf = static_cast<uint8_t*>(malloc(n));
  memcpy(buf, out, n);
  SetEngine();
  SnmpPollExchanges[0] = SnmpPollExchange{POLL_PHASE_REQUESTING, 77};
  Decode(buf, n);
  free(buf);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static char dir[] = "snmppoll-fuzz-XXXXXX";
  if (!mkdtemp(dir)) abort();
  Svc_SetDirs(dir, dir);
  setlocale(LC_CTYPE, "C.UTF-8");
  Crypt_Init();
  SnmpAgent_Init(NoHandler);
  SnmpTrapReceivers[0] = TrapReceiver{};
  snprintf(SnmpTrapReceivers[0].ip, sizeof SnmpTrapReceivers[0].ip, "192.0.2.2");
  SnmpTrapReceivers[0].ncPort = 161;
  SnmpTrapReceivers[0].level = TRAP_LEVEL_SHUTDOWN_CLIENT;
  SnmpTrapReceiverCount = 1;
  SnmpPoll_Init();
  // The client's keys, for the wrapped form; the poller derives its own.
  Md5Context md5;
  CryptOps.Usm_PasswordToKeyMd5(&md5, g_authKey, reinterpret_cast<const uint8_t*>("mq530847"), 8, kEngine,
                                sizeof kEngine);
  CryptOps.Usm_PasswordToKeyMd5(&md5, g_privKey, reinterpret_cast<const uint8_t*>("tv817264"), 8, kEngine,
                                sizeof kEngine);
  g_realCrypto = g_wrapCrypto = CryptOps;
  g_wrapCrypto.Des_EncryptBlock = g_wrapCrypto.Des_DecryptBlock = SameBlock;
  g_wrapCrypto.Hmac_Md5 = KeyAsDigest;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  data++;
  size--;
  if (size > POLL_BUFFER_SIZE) size = POLL_BUFFER_SIZE;
  if (mode % 2 == 0) {
    RawDatagram(data, size);
  } else {
    CryptOps = g_wrapCrypto;
    WrappedScopedPdu(data, size);
    CryptOps = g_realCrypto;
  }
  return 0;
}
