// Test-side SNMP wire helpers: builds requests forward, TLV by TLV (apart
// from the service's backward builder), secures SNMPv3 requests with the
// crypto table, and takes replies and traps apart.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/crypt.h"
#include "snmp/ber.h"

namespace wire {

using Bytes = std::vector<uint8_t>;
using Oid = std::vector<uint32_t>;

inline Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string S(const Bytes& b) { return std::string(b.begin(), b.end()); }

inline std::string Hex(const Bytes& v) {
  std::string s;
  char b[4];
  for (uint8_t c : v) {
    snprintf(b, sizeof b, "%02X ", c);
    s += b;
  }
  if (!s.empty()) s.pop_back();
  return s;
}

inline Bytes Len(size_t n) {
  if (n < 128) return {static_cast<uint8_t>(n)};
  if (n < 256) return {0x81, static_cast<uint8_t>(n)};
  return {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
}

inline Bytes Tlv(uint8_t tag, const Bytes& content) {
  Bytes out{tag};
  Bytes l = Len(content.size());
  out.insert(out.end(), l.begin(), l.end());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

template <typename... T>
Bytes Cat(const T&... parts) {
  Bytes out;
  (out.insert(out.end(), parts.begin(), parts.end()), ...);
  return out;
}

template <typename... T>
Bytes Seq(const T&... parts) {
  return Tlv(0x30, Cat(parts...));
}

inline Bytes Int(int64_t v, uint8_t tag = 0x02) {
  Bytes c;
  // Minimal two's complement (unsigned types get a leading 00 when needed).
  for (int n = 1; n <= 8; n++) {
    int64_t lo = -(int64_t(1) << (8 * n - 1)), hi = (int64_t(1) << (8 * n - 1)) - 1;
    if (v >= lo && v <= hi) {
      for (int i = n - 1; i >= 0; i--) c.push_back(static_cast<uint8_t>(v >> (8 * i)));
      break;
    }
  }
  return Tlv(tag, c);
}

inline Bytes Oct(const Bytes& b) { return Tlv(0x04, b); }
inline Bytes Oct(const std::string& s) { return Tlv(0x04, B(s)); }
inline Bytes Null() { return {0x05, 0x00}; }

inline Bytes OidBytes(const Oid& o) {
  Bytes c{static_cast<uint8_t>(40 * o[0] + o[1])};
  for (size_t i = 2; i < o.size(); i++) {
    uint32_t v = o[i];
    Bytes g;
    do {
      g.insert(g.begin(), static_cast<uint8_t>((v & 0x7F) | (g.empty() ? 0 : 0x80)));
      v >>= 7;
    } while (v);
    c.insert(c.end(), g.begin(), g.end());
  }
  return Tlv(0x06, c);
}

inline Oid ParseOid(const std::string& text) {
  Oid o;
  size_t p = 0;
  while (p <= text.size()) {
    size_t q = text.find('.', p);
    if (q == std::string::npos) q = text.size();
    o.push_back(static_cast<uint32_t>(std::stoul(text.substr(p, q - p))));
    p = q + 1;
  }
  return o;
}

inline std::string OidText(const Oid& o) {
  std::string s;
  for (size_t i = 0; i < o.size(); i++) s += (i ? "." : "") + std::to_string(o[i]);
  return s;
}

inline Bytes Varbind(const std::string& oid, const Bytes& value = Null()) {
  return Seq(OidBytes(ParseOid(oid)), value);
}

inline Bytes Pdu(uint8_t tag, int32_t requestId, const std::vector<Bytes>& varbinds, int32_t es = 0,
                 int32_t ei = 0) {
  Bytes list;
  for (const auto& v : varbinds) list.insert(list.end(), v.begin(), v.end());
  return Tlv(tag, Cat(Int(requestId), Int(es), Int(ei), Tlv(0x30, list)));
}

inline Bytes V1(const std::string& community, const Bytes& pdu, int version = 0) {
  return Seq(Int(version), Oct(community), pdu);
}

// Keys of one SNMPv3 user, localised to an engine id.
struct Keys {
  uint8_t auth[16] = {};
  uint8_t priv[16] = {};
};
inline Keys Localize(const std::string& authPass, const std::string& privPass, const uint8_t* engineId,
                     size_t engineIdLen) {
  Keys k;
  Md5Context ctx;
  CryptOps.Usm_PasswordToKeyMd5(&ctx, k.auth, reinterpret_cast<const uint8_t*>(authPass.data()),
                                static_cast<uint8_t>(authPass.size()), engineId,
                                static_cast<uint16_t>(engineIdLen));
  CryptOps.Usm_PasswordToKeyMd5(&ctx, k.priv, reinterpret_cast<const uint8_t*>(privPass.data()),
                                static_cast<uint8_t>(privPass.size()), engineId,
                                static_cast<uint16_t>(engineIdLen));
  return k;
}

inline void CbcDes(uint8_t* data, size_t n, const uint8_t key[16], const uint8_t salt[8], bool encrypt) {
  uint8_t iv[8], save[8];
  for (int i = 0; i < 8; i++) iv[i] = salt[i] ^ key[8 + i];
  for (size_t off = 0; off + 8 <= n; off += 8) {
    if (encrypt) {
      for (int i = 0; i < 8; i++) data[off + i] ^= iv[i];
      CryptOps.Des_EncryptBlock(data + off, key, data + off);
      memcpy(iv, data + off, 8);
    } else {
      memcpy(save, data + off, 8);
      CryptOps.Des_DecryptBlock(data + off, key, data + off);
      for (int i = 0; i < 8; i++) data[off + i] ^= iv[i];
      memcpy(iv, save, 8);
    }
  }
}

struct V3Request {
  int32_t msgId = 77;
  int32_t maxSize = 65507;
  uint8_t flags = 0x04;  // reportable
  int32_t securityModel = 3;
  Bytes engineId;
  int64_t boots = 0, time = 0;
  std::string user;
  const Keys* keys = nullptr;  // needed for auth and priv
  std::string context;
  Bytes contextEngineId;
  Bytes pdu;
  Bytes salt = {0, 0, 0, 1, 0, 0, 0, 2};
  // Overrides for malformed requests (unset: computed from the flags).
  std::optional<Bytes> authParams, privParams, flagBytes;
  bool rawEncrypted = false;  // pdu already holds the encrypted OCTET STRING content
};

inline Bytes BuildV3(const V3Request& r) {
  bool auth = r.flags & 0x01, priv = r.flags & 0x02;
  Bytes scoped = Seq(Oct(r.contextEngineId), Oct(r.context), r.pdu);
  Bytes scopedField;
  if (priv && r.keys) {
    Bytes plain = r.rawEncrypted ? r.pdu : scoped;
    if (!r.rawEncrypted) {
      while (plain.size() % 8) plain.push_back(0);
      CbcDes(plain.data(), plain.size(), r.keys->priv, r.salt.data(), true);
    }
    scopedField = Oct(plain);
  } else {
    scopedField = scoped;
  }
  Bytes authParams = r.authParams ? *r.authParams : auth ? Bytes(12, 0) : Bytes{};
  Bytes privParams = r.privParams ? *r.privParams : priv ? r.salt : Bytes{};
  Bytes sp = Seq(Oct(r.engineId), Int(r.boots), Int(r.time), Oct(r.user), Oct(authParams), Oct(privParams));
  Bytes flags = r.flagBytes ? *r.flagBytes : Bytes{r.flags};
  Bytes header = Seq(Int(r.msgId), Int(r.maxSize), Oct(flags), Int(r.securityModel));
  Bytes msg = Seq(Int(3), header, Oct(sp), scopedField);
  if (auth && r.keys && authParams.size() == 12 && !r.authParams) {
    // The zeroed parameters are the only 12 zero bytes after the user name.
    Bytes pattern = Cat(Oct(r.user), Bytes{0x04, 0x0C});
    auto it = std::search(msg.begin(), msg.end(), pattern.begin(), pattern.end());
    size_t at = static_cast<size_t>(it - msg.begin()) + pattern.size();
    uint8_t mac[16];
    Md5Context ctx;
    CryptOps.Hmac_Md5(&ctx, msg.data(), msg.size(), r.keys->auth, mac);
    memcpy(msg.data() + at, mac, 12);
  }
  return msg;
}

// ---- taking messages apart -------------------------------------------------

struct Vb {
  Oid name;
  uint8_t tag = 0;
  Bytes content;
  int64_t Integer() const {
    int64_t v = (!content.empty() && (content[0] & 0x80) && tag == 0x02) ? -1 : 0;
    for (uint8_t c : content) v = (v << 8) | c;
    return v;
  }
  std::string Text() const { return S(content); }
};

struct Parsed {
  bool ok = false;
  int64_t version = -1;
  std::string community;
  // SNMPv3
  int64_t msgId = 0, maxSize = 0, securityModel = 0;
  uint8_t flags = 0;
  Bytes engineId;
  int64_t boots = 0, time = 0;
  std::string user;
  Bytes authParams, privParams, contextEngineId;
  std::string context;
  bool digestOk = false;
  // PDU
  uint8_t pduTag = 0;
  int64_t requestId = 0, errorStatus = 0, errorIndex = 0;
  std::vector<Vb> varbinds;
  // Trap-PDU (SNMPv1)
  Oid enterprise;
  Bytes agentAddr;
  int64_t generic = 0, specific = 0, timestamp = 0;
};

inline bool ReadInt(BerReader* r, int64_t* v, uint8_t tag = 0x02) {
  BerReader c;
  if (!Ber_ReadTagged(r, tag, &c)) return false;
  int64_t x = (Ber_Left(c) && (c.pos[0] & 0x80) && tag == 0x02) ? -1 : 0;
  for (const uint8_t* p = c.pos; p < c.end; p++) x = (x << 8) | *p;
  *v = x;
  return true;
}
inline bool ReadOct(BerReader* r, Bytes* v) {
  BerReader c;
  if (!Ber_ReadTagged(r, 0x04, &c)) return false;
  v->assign(c.pos, c.end);
  return true;
}
inline bool ReadOidItem(BerReader* r, Oid* o) {
  BerReader c;
  if (!Ber_ReadTagged(r, 0x06, &c)) return false;
  uint32_t buf[BER_OID_MAX];
  BerOid oid{0, buf};
  if (!Ber_DecodeOid(c.pos, &oid, static_cast<uint16_t>(Ber_Left(c)))) return false;
  o->assign(buf, buf + oid.count);
  return true;
}

inline bool ParsePdu(BerReader* r, Parsed* p) {
  BerReader pdu;
  if (!Ber_ReadItem(r, &p->pduTag, &pdu)) return false;
  if (p->pduTag == 0xA4) {
    BerReader addr;
    uint8_t t;
    if (!ReadOidItem(&pdu, &p->enterprise) || !Ber_ReadItem(&pdu, &t, &addr) || t != 0x40) return false;
    p->agentAddr.assign(addr.pos, addr.end);
    if (!ReadInt(&pdu, &p->generic) || !ReadInt(&pdu, &p->specific) || !ReadInt(&pdu, &p->timestamp, 0x43))
      return false;
  } else if (!ReadInt(&pdu, &p->requestId) || !ReadInt(&pdu, &p->errorStatus) ||
             !ReadInt(&pdu, &p->errorIndex)) {
    return false;
  }
  BerReader list;
  if (!Ber_ReadTagged(&pdu, 0x30, &list)) return false;
  while (Ber_Left(list)) {
    BerReader vb, c;
    Vb v;
    if (!Ber_ReadTagged(&list, 0x30, &vb) || !ReadOidItem(&vb, &v.name) || !Ber_ReadItem(&vb, &v.tag, &c))
      return false;
    v.content.assign(c.pos, c.end);
    p->varbinds.push_back(v);
  }
  return true;
}

// keys: to check the digest and decrypt (may be null).
inline Parsed Parse(Bytes msg, const Keys* keys = nullptr) {
  Parsed p;
  BerReader all = Ber_Reader(msg.data(), msg.size()), m;
  if (!Ber_ReadTagged(&all, 0x30, &m) || !ReadInt(&m, &p.version)) return p;
  if (p.version != 3) {
    Bytes c;
    if (!ReadOct(&m, &c)) return p;
    p.community = S(c);
    p.ok = ParsePdu(&m, &p);
    return p;
  }
  BerReader h, spo, sp;
  Bytes flags;
  if (!Ber_ReadTagged(&m, 0x30, &h) || !ReadInt(&h, &p.msgId) || !ReadInt(&h, &p.maxSize) ||
      !ReadOct(&h, &flags) || flags.size() != 1 || !ReadInt(&h, &p.securityModel))
    return p;
  p.flags = flags[0];
  Bytes user;
  if (!Ber_ReadTagged(&m, 0x04, &spo) || !Ber_ReadTagged(&spo, 0x30, &sp) || !ReadOct(&sp, &p.engineId) ||
      !ReadInt(&sp, &p.boots) || !ReadInt(&sp, &p.time) || !ReadOct(&sp, &user))
    return p;
  p.user = S(user);
  BerReader authItem;
  if (!Ber_ReadTagged(&sp, 0x04, &authItem) || !ReadOct(&sp, &p.privParams)) return p;
  p.authParams.assign(authItem.pos, authItem.end);
  if (keys && p.authParams.size() == 12) {
    Bytes copy = msg;
    memset(copy.data() + (authItem.pos - msg.data()), 0, 12);
    uint8_t mac[16];
    Md5Context ctx;
    CryptOps.Hmac_Md5(&ctx, copy.data(), copy.size(), keys->auth, mac);
    p.digestOk = memcmp(mac, p.authParams.data(), 12) == 0;
  }
  BerReader scopedArea = m;
  Bytes plain;
  if (p.flags & 0x02) {
    Bytes enc;
    if (!keys || !ReadOct(&m, &enc) || p.privParams.size() != 8) return p;
    CbcDes(enc.data(), enc.size(), keys->priv, p.privParams.data(), false);
    plain = enc;
    scopedArea = Ber_Reader(plain.data(), plain.size());
  }
  BerReader scoped;
  Bytes ctx;
  if (!Ber_ReadTagged(&scopedArea, 0x30, &scoped) || !ReadOct(&scoped, &p.contextEngineId) ||
      !ReadOct(&scoped, &ctx))
    return p;
  p.context = S(ctx);
  p.ok = ParsePdu(&scoped, &p);
  return p;
}

}  // namespace wire
