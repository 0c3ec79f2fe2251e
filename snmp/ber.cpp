// BER codec (X.690 subset for SNMP).
#include "snmp/ber.h"

#include <cstring>

// ---- lengths ---------------------------------------------------------------

int32_t Ber_DecodeLength(const uint8_t* in, size_t avail, uint16_t* headerSize) {
  if (avail < 1) return -1;
  uint8_t first = in[0];
  if (first < 0x80) {
    *headerSize = 1;
    return first;
  }
  // Long form: 1 or 2 length bytes. The indefinite form (0x80) and lengths
  // of three or more bytes are outside the subset (nothing here exceeds 16
  // bits), so they are malformed rather than silently cut.
  unsigned n = first & 0x7F;
  if (n < 1 || n > 2 || avail < 1 + n) return -1;
  uint32_t length = 0;
  for (unsigned i = 0; i < n; i++) length = (length << 8) | in[1 + i];
  *headerSize = static_cast<uint16_t>(1 + n);
  return static_cast<int32_t>(length);
}

int Ber_EncodeLength(uint8_t* out, uint16_t length) {
  if (length < 128) {
    out[0] = static_cast<uint8_t>(length);
    return 1;
  }
  if (length < 256) {
    out[0] = 0x81;
    out[1] = static_cast<uint8_t>(length);
    return 2;
  }
  out[0] = 0x82;
  out[1] = static_cast<uint8_t>(length >> 8);
  out[2] = static_cast<uint8_t>(length);
  return 3;
}

// ---- integers --------------------------------------------------------------

int32_t Ber_DecodeInteger(const uint8_t* in, uint16_t length) {
  if (length == 0 || length > 8) return 0;
  uint32_t acc = 0;
  for (uint16_t i = 0; i < length; i++) acc = (acc << 8) | in[i];
  if (length < 4 && (in[0] & 0x80)) acc |= ~0u << (8 * length);  // sign-extend
  return static_cast<int32_t>(acc);
}

int Ber_IntegerFits(const uint8_t* in, uint16_t length, uint8_t tag) {
  if (length == 0) return 0;
  if (tag == BER_INTEGER) return length <= 4;
  if (length <= 4) return 1;
  return length == 5 && in[0] == 0x00;
}

int Ber_EncodeInteger(int64_t value, uint8_t* out, uint8_t tag) {
  uint8_t content[5];
  int n;
  if (tag == BER_INTEGER && value < 0) {
    // Shortest two's complement: -128 is 80, -129 FF 7F, -32768 80 00.
    if (value >= -128) n = 1;
    else if (value >= -32768) n = 2;
    else if (value >= -8388608) n = 3;
    else n = 4;
    uint32_t bits = static_cast<uint32_t>(value);
    for (int i = 0; i < n; i++) content[i] = static_cast<uint8_t>(bits >> (8 * (n - 1 - i)));
  } else {
    uint64_t m = value < 0 ? static_cast<uint64_t>(-value) : static_cast<uint64_t>(value);
    if (m <= 0x7F) n = 1;
    else if (m <= 0x7FFF) n = 2;
    else if (m <= 0x7FFFFF) n = 3;
    else if (m <= 0x7FFFFFFF) n = 4;
    else n = 5;
    uint32_t bits = static_cast<uint32_t>(m);
    if (n == 5) {
      content[0] = 0x00;
      for (int i = 0; i < 4; i++) content[1 + i] = static_cast<uint8_t>(bits >> (8 * (3 - i)));
    } else {
      for (int i = 0; i < n; i++) content[i] = static_cast<uint8_t>(bits >> (8 * (n - 1 - i)));
    }
  }
  out[0] = tag;
  out[1] = static_cast<uint8_t>(n);
  memcpy(out + 2, content, n);
  return 2 + n;
}

// ---- octet strings ---------------------------------------------------------

int Ber_DecodeOctets(const uint8_t* in, BerOctets* out, uint16_t length) {
  if (length > out->capacity) {
    out->length = 0;
    return 0;
  }
  if (length) memcpy(out->data, in, length);
  out->length = length;
  return 1;
}

int Ber_EncodeOctets(const BerOctets* in, uint8_t* out, uint8_t tag) {
  out[0] = tag;
  int h = Ber_EncodeLength(out + 1, in->length);
  if (in->length) memcpy(out + 1 + h, in->data, in->length);
  return 1 + h + in->length;
}

// ---- object identifiers ----------------------------------------------------

int Ber_DecodeOid(const uint8_t* in, BerOid* out, uint16_t length) {
  out->count = 0;
  if (length == 0) return 0;
  uint8_t first = in[0];
  // The first two arcs share one byte (40 * X + Y, X at most 2); a
  // multi-byte first sub-identifier is outside the subset.
  if (first & 0x80) return 0;
  uint32_t x = first < 80 ? first / 40u : 2u;
  out->subids[0] = x;
  out->subids[1] = first - 40u * x;
  uint16_t count = 2;
  uint32_t acc = 0;
  bool pending = false;
  for (uint16_t i = 1; i < length; i++) {
    uint8_t b = in[i];
    if (!pending && b == 0x80) return 0;  // leading 0x80: not minimal, X.690 8.19.2
    if (acc > (0xFFFFFFFFu >> 7)) return 0;  // sub-identifier beyond 32 bits
    acc = (acc << 7) | (b & 0x7F);
    pending = true;
    if (!(b & 0x80)) {
      if (count >= BER_OID_MAX) return 0;
      out->subids[count++] = acc;
      acc = 0;
      pending = false;
    }
  }
  if (pending) return 0;  // last sub-identifier unfinished
  out->count = count;
  return 1;
}

// Encodes the OID content (without tag and length) into out; its size, or
// 0 when the OID cannot be encoded.
static int EncodeOidContent(const uint32_t* subids, uint16_t count, uint8_t* out) {
  if (count == 0) return 0;
  uint64_t first = 40ull * subids[0] + (count > 1 ? subids[1] : 0);
  // X.690: the first arc is 0, 1 or 2, the second below 40 under 0 and 1.
  if (subids[0] > 2 || (count > 1 && subids[0] < 2 && subids[1] >= 40) || first >= 128) return 0;
  int n = 0;
  out[n++] = static_cast<uint8_t>(first);
  for (uint16_t i = 2; i < count; i++) {
    uint32_t v = subids[i];
    uint8_t groups[5];
    int g = 0;
    do {
      groups[g++] = static_cast<uint8_t>(v & 0x7F);
      v >>= 7;
    } while (v);
    while (g > 1) out[n++] = static_cast<uint8_t>(groups[--g] | 0x80);
    out[n++] = groups[0];
  }
  return n;
}

int Ber_EncodeOid(const BerOid* oid, uint8_t* out) {
  if (oid->count > BER_OID_MAX) return 0;
  uint8_t content[5 * BER_OID_MAX];
  int n = EncodeOidContent(oid->subids, oid->count, content);
  if (n == 0) return 0;
  out[0] = BER_OID;
  int h;
  if (n <= 126) {
    out[1] = static_cast<uint8_t>(n);
    h = 1;
  } else {
    out[1] = 0x82;
    out[2] = static_cast<uint8_t>(n >> 8);
    out[3] = static_cast<uint8_t>(n);
    h = 3;
  }
  memcpy(out + 1 + h, content, n);
  return 1 + h + n;
}

// ---- values ----------------------------------------------------------------

int Ber_DecodeValue(const uint8_t* in, BerValue* out, uint16_t length) {
  switch (out->tag) {
    case BER_INTEGER:
    case BER_COUNTER32:
    case BER_GAUGE32:
    case BER_TIMETICKS:
      if (!Ber_IntegerFits(in, length, out->tag)) return 0;
      out->integer = Ber_DecodeInteger(in, length);
      return 1;
    case BER_NULL:
    case BER_NO_SUCH_OBJECT:
    case BER_NO_SUCH_INSTANCE:
    case BER_END_OF_MIB_VIEW:
      return length == 0;
    case BER_OCTET_STRING:
    case BER_IPADDRESS:
      return Ber_DecodeOctets(in, &out->octets, length);
    case BER_OID:
      return Ber_DecodeOid(in, &out->oid, length);
    default:
      return 0;
  }
}

int Ber_EncodeValue(const BerValue* value, uint8_t* out) {
  switch (value->tag) {
    case BER_INTEGER:
      return Ber_EncodeInteger(value->integer, out, BER_INTEGER);
    case BER_COUNTER32:
    case BER_GAUGE32:
    case BER_TIMETICKS:
      return Ber_EncodeInteger(static_cast<uint32_t>(value->integer), out, value->tag);
    case BER_OCTET_STRING:
    case BER_SEQUENCE:
    case BER_IPADDRESS:
      return Ber_EncodeOctets(&value->octets, out, value->tag);
    case BER_NULL:
    case BER_NO_SUCH_OBJECT:
    case BER_NO_SUCH_INSTANCE:
    case BER_END_OF_MIB_VIEW:
      out[0] = value->tag;
      out[1] = 0x00;
      return 2;
    case BER_OID:
      return Ber_EncodeOid(&value->oid, out);
    default:
      return 0;
  }
}

// ---- bounded reader --------------------------------------------------------

BerReader Ber_Reader(const uint8_t* data, size_t length) { return BerReader{data, data + length}; }

int Ber_ReadItem(BerReader* r, uint8_t* tag, BerReader* content) {
  size_t left = Ber_Left(*r);
  if (left < 2) return 0;
  uint16_t header = 0;
  int32_t length = Ber_DecodeLength(r->pos + 1, left - 1, &header);
  if (length < 0 || static_cast<size_t>(length) > left - 1 - header) return 0;
  *tag = r->pos[0];
  content->pos = r->pos + 1 + header;
  content->end = content->pos + length;
  r->pos = content->end;
  return 1;
}

int Ber_ReadTagged(BerReader* r, uint8_t tag, BerReader* content) {
  BerReader save = *r;
  uint8_t got;
  if (!Ber_ReadItem(r, &got, content)) return 0;
  if (got != tag) {
    *r = save;
    return 0;
  }
  return 1;
}

int Ber_ReadInteger(BerReader* r, int32_t* value) {
  BerReader save = *r, c;
  if (!Ber_ReadTagged(r, BER_INTEGER, &c)) return 0;
  uint16_t n = static_cast<uint16_t>(Ber_Left(c));
  if (!Ber_IntegerFits(c.pos, n, BER_INTEGER)) {
    *r = save;
    return 0;
  }
  *value = Ber_DecodeInteger(c.pos, n);
  return 1;
}

int Ber_ReadOctets(BerReader* r, BerOctets* out) {
  BerReader save = *r, c;
  if (!Ber_ReadTagged(r, BER_OCTET_STRING, &c) ||
      !Ber_DecodeOctets(c.pos, out, static_cast<uint16_t>(Ber_Left(c)))) {
    *r = save;
    return 0;
  }
  return 1;
}

// ---- backward builder ------------------------------------------------------

BerBuilder Ber_Builder(uint8_t* buffer, uint16_t size) { return BerBuilder{buffer, size, size, size >= 2}; }

void Ber_PutBytes(BerBuilder* b, const uint8_t* data, size_t n) {
  if (!b->ok) return;
  // The first byte of the buffer is never used.
  if (n > static_cast<size_t>(b->pos) - 1) {
    b->ok = false;
    return;
  }
  b->pos = static_cast<uint16_t>(b->pos - n);
  if (n) memmove(b->buffer + b->pos, data, n);
}

void Ber_PutHeader(BerBuilder* b, uint8_t tag, uint16_t mark) {
  if (!b->ok) return;
  uint32_t length = Ber_Mark(*b) - mark;
  if (length > 0xFFFF) {
    b->ok = false;
    return;
  }
  uint8_t header[4];
  header[0] = tag;
  int h = Ber_EncodeLength(header + 1, static_cast<uint16_t>(length));
  Ber_PutBytes(b, header, 1 + h);
}

void Ber_PutInteger(BerBuilder* b, int64_t value, uint8_t tag) {
  uint8_t scratch[8];
  Ber_PutBytes(b, scratch, Ber_EncodeInteger(value, scratch, tag));
}

void Ber_PutOctets(BerBuilder* b, uint8_t tag, const uint8_t* data, uint16_t length) {
  uint16_t mark = Ber_Mark(*b);
  Ber_PutBytes(b, data, length);
  Ber_PutHeader(b, tag, mark);
}

void Ber_PutOid(BerBuilder* b, const uint32_t* subids, uint16_t count) {
  uint8_t scratch[BER_VALUE_MAX];
  BerOid oid{count, const_cast<uint32_t*>(subids)};
  int n = Ber_EncodeOid(&oid, scratch);
  if (n == 0) {
    b->ok = false;
    return;
  }
  Ber_PutBytes(b, scratch, n);
}

void Ber_PutValue(BerBuilder* b, const BerValue* value) {
  if (value->tag == BER_OCTET_STRING || value->tag == BER_IPADDRESS || value->tag == BER_SEQUENCE) {
    Ber_PutOctets(b, value->tag, value->octets.data, value->octets.length);
    return;
  }
  uint8_t scratch[BER_VALUE_MAX];
  int n = Ber_EncodeValue(value, scratch);
  if (n == 0) {
    b->ok = false;
    return;
  }
  Ber_PutBytes(b, scratch, n);
}

uint16_t Ber_Finish(BerBuilder* b) {
  if (!b->ok) return 0;
  uint16_t n = Ber_Mark(*b);
  memmove(b->buffer, b->buffer + b->pos, n);
  b->pos = b->size;
  return n;
}
