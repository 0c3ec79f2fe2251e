// BER codec: the subset of ASN.1 Basic Encoding Rules that SNMP messages
// use (single-byte tags, definite lengths up to 65535, integers of at most
// 32 bits, octet strings, NULL-like items and object identifiers), a bounded
// reader for decoding and a backward builder for encoding. Plain functions,
// no state; every buffer belongs to the caller.
#pragma once
#include <cstddef>
#include <cstdint>

enum BerTag : uint8_t {
  BER_INTEGER = 0x02,
  BER_OCTET_STRING = 0x04,
  BER_NULL = 0x05,
  BER_OID = 0x06,
  BER_SEQUENCE = 0x30,
  BER_IPADDRESS = 0x40,
  BER_COUNTER32 = 0x41,
  BER_GAUGE32 = 0x42,
  BER_TIMETICKS = 0x43,
  BER_NO_SUCH_OBJECT = 0x80,
  BER_NO_SUCH_INSTANCE = 0x81,
  BER_END_OF_MIB_VIEW = 0x82,
  BER_PDU_GET = 0xA0,
  BER_PDU_GETNEXT = 0xA1,
  BER_PDU_RESPONSE = 0xA2,
  BER_PDU_SET = 0xA3,
  BER_PDU_TRAP_V1 = 0xA4,
  BER_PDU_TRAP_V2 = 0xA7,
  BER_PDU_REPORT = 0xA8,
};

constexpr int BER_OID_MAX = 128;  // sub-identifiers an OID buffer holds

// A byte string over a caller's buffer. Decoding copies into data and never
// writes more than capacity bytes; descriptors over read-only data have
// capacity 0 and are only encoded.
struct BerOctets {
  uint8_t* data;
  uint16_t length;
  uint16_t capacity;
};

// An object identifier over a caller's array of BER_OID_MAX sub-identifiers.
struct BerOid {
  uint16_t count;
  uint32_t* subids;
};

// One value: the tag decides which member is meant. integer holds INTEGER
// (signed) and Counter32, Gauge32, TimeTicks (unsigned, same bits).
struct BerValue {
  uint8_t tag;
  int32_t integer;
  BerOctets octets;  // OCTET STRING, IpAddress, SEQUENCE (pre-encoded content)
  BerOid oid;        // OBJECT IDENTIFIER
};

// ---- plain value functions -------------------------------------------------
// Decoders take the content (tag and length already read) and its length.

// Length field at in with avail bytes readable: the length (0..65535) and
// its header size, or -1 when the field is malformed (no bytes, the
// indefinite form 0x80, more than two length bytes, bytes missing).
int32_t Ber_DecodeLength(const uint8_t* in, size_t avail, uint16_t* headerSize);
// Short form below 128, 81 nn up to 255, 82 hi lo above. Returns 1, 2 or 3.
int Ber_EncodeLength(uint8_t* out, uint16_t length);

// Big-endian two's complement of 1 to 4 bytes, the low 32 bits of 5 to 8;
// 0 for an empty or longer content.
int32_t Ber_DecodeInteger(const uint8_t* in, uint16_t length);
// 1 when the content is a valid encoding that fits the tag's 32-bit type:
// INTEGER 1 to 4 bytes; Counter32, Gauge32, TimeTicks 1 to 4 bytes, or 5
// with a leading 00.
int Ber_IntegerFits(const uint8_t* in, uint16_t length, uint8_t tag);
// Tag, length, minimal big-endian content. INTEGER takes the value as
// signed; other tags take its magnitude, with a leading 00 when the top bit
// would be set (an unsigned counter of 200 is 00 C8). Returns 3 to 7.
int Ber_EncodeInteger(int64_t value, uint8_t* out, uint8_t tag);

// Copies length bytes into out->data; 1, or 0 (nothing copied, length 0)
// when they exceed out->capacity.
int Ber_DecodeOctets(const uint8_t* in, BerOctets* out, uint16_t length);
int Ber_EncodeOctets(const BerOctets* in, uint8_t* out, uint8_t tag);

// 1, or 0 for empty content, a first byte of 128 or more, an unfinished or
// over-32-bit sub-identifier, or more than BER_OID_MAX sub-identifiers.
int Ber_DecodeOid(const uint8_t* in, BerOid* out, uint16_t length);
// Bytes written, or 0 for no sub-identifiers or a first byte of 128 or more.
int Ber_EncodeOid(const BerOid* oid, uint8_t* out);

// By the tag already set in out: 1, or 0 for a tag outside the subset, an
// integer that does not fit its type, an octet string over the capacity or
// a failed OID. NULL-like tags must have empty content.
int Ber_DecodeValue(const uint8_t* in, BerValue* out, uint16_t length);
// Bytes written, or 0 for a tag outside the subset.
int Ber_EncodeValue(const BerValue* value, uint8_t* out);

// Largest encoding of one value: an OID of BER_OID_MAX sub-identifiers.
constexpr int BER_VALUE_MAX = 4 + 5 * BER_OID_MAX;

// ---- bounded reader --------------------------------------------------------
// A window [pos, end) into received bytes. Every item read must lie inside
// the window; a constructed item's content becomes a window of its own.
struct BerReader {
  const uint8_t* pos;
  const uint8_t* end;
};
BerReader Ber_Reader(const uint8_t* data, size_t length);
inline size_t Ber_Left(const BerReader& r) { return static_cast<size_t>(r.end - r.pos); }
// Reads one item: tag, length, content window; the reader moves past it.
// 0 (reader unchanged) when the header is malformed or the content runs
// past the window.
int Ber_ReadItem(BerReader* r, uint8_t* tag, BerReader* content);
// Ber_ReadItem that also demands the tag.
int Ber_ReadTagged(BerReader* r, uint8_t tag, BerReader* content);
// An INTEGER item whose value fits in 32 bits (1 to 4 bytes).
int Ber_ReadInteger(BerReader* r, int32_t* value);
// An OCTET STRING item copied into out (0 when over out's capacity).
int Ber_ReadOctets(BerReader* r, BerOctets* out);

// ---- backward builder ------------------------------------------------------
// Messages are built from their innermost part outward, from the end of a
// fixed buffer toward its start. Any step that would use the buffer's first
// byte fails the build, so a message is at most size - 1 bytes long.
struct BerBuilder {
  uint8_t* buffer;
  uint16_t size;
  uint16_t pos;  // index of the first byte written so far (size when empty)
  bool ok;
};
BerBuilder Ber_Builder(uint8_t* buffer, uint16_t size);
// Bytes written so far (the current item's start is taken as this mark).
inline uint16_t Ber_Mark(const BerBuilder& b) { return static_cast<uint16_t>(b.size - b.pos); }
void Ber_PutBytes(BerBuilder* b, const uint8_t* data, size_t n);
// Header of a constructed item whose content began at mark.
void Ber_PutHeader(BerBuilder* b, uint8_t tag, uint16_t mark);
void Ber_PutInteger(BerBuilder* b, int64_t value, uint8_t tag);
void Ber_PutOctets(BerBuilder* b, uint8_t tag, const uint8_t* data, uint16_t length);
void Ber_PutOid(BerBuilder* b, const uint32_t* subids, uint16_t count);
void Ber_PutValue(BerBuilder* b, const BerValue* value);
// Moves the message to the buffer's start; its length, or 0 when the build
// failed.
uint16_t Ber_Finish(BerBuilder* b);
