// Fuzzes the BER reader and value decoders: walks arbitrary bytes as nested
// items, decodes every primitive, and checks that what decodes re-encodes
// to a value that decodes the same.
#include <cstdlib>
#include <cstring>

#include "snmp/ber.h"

static void Check(bool ok) {
  if (!ok) abort();
}

static void RoundTrip(const BerValue& v) {
  uint8_t out[BER_VALUE_MAX];
  int n = Ber_EncodeValue(&v, out);
  if (n == 0) return;  // e.g. an OID whose first arcs cannot be re-encoded
  BerReader r = Ber_Reader(out, n);
  uint8_t tag;
  BerReader c;
  Check(Ber_ReadItem(&r, &tag, &c) == 1 && tag == v.tag && Ber_Left(r) == 0);
  uint8_t octBuf[512];
  uint32_t subids[BER_OID_MAX];
  BerValue d{};
  d.tag = tag;
  d.octets = {octBuf, 0, sizeof octBuf};
  d.oid = {0, subids};
  Check(Ber_DecodeValue(c.pos, &d, static_cast<uint16_t>(Ber_Left(c))) == 1);
  switch (tag) {
    case BER_OID:
      Check(d.oid.count == v.oid.count &&
            memcmp(d.oid.subids, v.oid.subids, 4 * d.oid.count) == 0);
      break;
    case BER_OCTET_STRING:
    case BER_IPADDRESS:
      Check(d.octets.length == v.octets.length &&
            (d.octets.length == 0 || memcmp(d.octets.data, v.octets.data, d.octets.length) == 0));
      break;
    case BER_NULL:
    case BER_NO_SUCH_OBJECT:
    case BER_NO_SUCH_INSTANCE:
    case BER_END_OF_MIB_VIEW:
      break;
    default:
      Check(d.integer == v.integer);
  }
}

static void Walk(BerReader r, int depth) {
  uint8_t tag;
  BerReader c;
  while (Ber_Left(r) > 0 && Ber_ReadItem(&r, &tag, &c)) {
    Check(c.end == r.pos && c.pos <= c.end);
    if ((tag & 0x20) && depth < 16) {  // constructed: SEQUENCE and the PDUs
      Walk(c, depth + 1);
      continue;
    }
    uint8_t octBuf[64];
    uint32_t subids[BER_OID_MAX];
    BerValue v{};
    v.tag = tag;
    v.octets = {octBuf, 0, sizeof octBuf};
    v.oid = {0, subids};
    if (Ber_DecodeValue(c.pos, &v, static_cast<uint16_t>(Ber_Left(c)))) RoundTrip(v);
    Ber_DecodeInteger(c.pos, static_cast<uint16_t>(Ber_Left(c)));
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65535) return 0;
  // An exact-size copy so any read past the input is caught.
  uint8_t* copy = static_cast<uint8_t*>(malloc(size ? size : 1));
  memcpy(copy, data, size);
  Walk(Ber_Reader(copy, size), 0);
  uint16_t header;
  Ber_DecodeLength(copy, size, &header);
  free(copy);
  return 0;
}
