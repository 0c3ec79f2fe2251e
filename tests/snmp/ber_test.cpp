// BER codec: known encodings in both directions, and malformed input that
// must fail without reading outside the given bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "snmp/ber.h"

using Bytes = std::vector<uint8_t>;

static std::string Hex(const uint8_t* p, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; i++) {
    snprintf(b, sizeof b, "%02X ", p[i]);
    s += b;
  }
  if (!s.empty()) s.pop_back();
  return s;
}
static std::string Hex(const Bytes& v) { return Hex(v.data(), v.size()); }

static std::vector<uint32_t> LongOid() {
  // 1.3 followed by 126 one-byte arcs: a content of exactly 127 bytes.
  std::vector<uint32_t> v{1, 3};
  for (int i = 0; i < 126; i++) v.push_back(static_cast<uint32_t>(i % 100));
  return v;
}

struct ValueVector {
  const char* what;
  uint8_t tag;
  int64_t integer;               // integer-like tags
  std::string octets;            // octet-like tags
  std::vector<uint32_t> oid;     // OBJECT IDENTIFIER
  Bytes encoded;
};

// Every row encodes to exactly these bytes and decodes back to the value.
static const std::vector<ValueVector>& Vectors() {
  static const std::vector<ValueVector> v = {
      {"INTEGER 0", BER_INTEGER, 0, "", {}, {0x02, 0x01, 0x00}},
      {"INTEGER 127", BER_INTEGER, 127, "", {}, {0x02, 0x01, 0x7F}},
      {"INTEGER 128", BER_INTEGER, 128, "", {}, {0x02, 0x02, 0x00, 0x80}},
      {"INTEGER -1", BER_INTEGER, -1, "", {}, {0x02, 0x01, 0xFF}},
      {"INTEGER -128", BER_INTEGER, -128, "", {}, {0x02, 0x01, 0x80}},
      {"INTEGER -129", BER_INTEGER, -129, "", {}, {0x02, 0x02, 0xFF, 0x7F}},
      {"INTEGER -32768", BER_INTEGER, -32768, "", {}, {0x02, 0x02, 0x80, 0x00}},
      {"INTEGER -32769", BER_INTEGER, -32769, "", {}, {0x02, 0x03, 0xFF, 0x7F, 0xFF}},
      {"INTEGER max", BER_INTEGER, 2147483647, "", {}, {0x02, 0x04, 0x7F, 0xFF, 0xFF, 0xFF}},
      {"INTEGER min", BER_INTEGER, -2147483648LL, "", {}, {0x02, 0x04, 0x80, 0x00, 0x00, 0x00}},
      {"Counter32 200", BER_COUNTER32, 200, "", {}, {0x41, 0x02, 0x00, 0xC8}},
      {"Counter32 3e9", BER_COUNTER32, 3000000000LL, "", {}, {0x41, 0x05, 0x00, 0xB2, 0xD0, 0x5E, 0x00}},
      {"TimeTicks max", BER_TIMETICKS, 4294967295LL, "", {}, {0x43, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"Gauge32 2^31", BER_GAUGE32, 2147483648LL, "", {}, {0x42, 0x05, 0x00, 0x80, 0x00, 0x00, 0x00}},
      {"OCTET STRING", BER_OCTET_STRING, 0, "public", {}, {0x04, 0x06, 'p', 'u', 'b', 'l', 'i', 'c'}},
      {"empty OCTET STRING", BER_OCTET_STRING, 0, "", {}, {0x04, 0x00}},
      {"IpAddress", BER_IPADDRESS, 0, std::string("\x7F\0\0\x01", 4), {}, {0x40, 0x04, 0x7F, 0x00, 0x00, 0x01}},
      {"NULL", BER_NULL, 0, "", {}, {0x05, 0x00}},
      {"noSuchObject", BER_NO_SUCH_OBJECT, 0, "", {}, {0x80, 0x00}},
      {"endOfMibView", BER_END_OF_MIB_VIEW, 0, "", {}, {0x82, 0x00}},
      {"sysUpTime.0", BER_OID, 0, "", {1, 3, 6, 1, 2, 1, 1, 3, 0},
       {0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x03, 0x00}},
      {"enterprise 32473", BER_OID, 0, "", {1, 3, 6, 1, 4, 1, 32473},
       {0x06, 0x08, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x81, 0xFD, 0x59}},
      {"arc 2^32-1", BER_OID, 0, "", {1, 3, 4294967295u}, {0x06, 0x06, 0x2B, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F}},
      {"first arc 2", BER_OID, 0, "", {2, 47, 5}, {0x06, 0x02, 0x7F, 0x05}},
  };
  return v;
}

TEST(Ber, ValueVectorsEncodeAndDecode) {
  for (const auto& row : Vectors()) {
    SCOPED_TRACE(row.what);
    std::vector<uint32_t> oidBuf = row.oid;
    BerValue v{};
    v.tag = row.tag;
    v.integer = static_cast<int32_t>(static_cast<uint32_t>(row.integer));
    v.octets = {reinterpret_cast<uint8_t*>(const_cast<char*>(row.octets.data())),
                static_cast<uint16_t>(row.octets.size()), 0};
    v.oid = {static_cast<uint16_t>(oidBuf.size()), oidBuf.data()};
    uint8_t out[BER_VALUE_MAX];
    int n = Ber_EncodeValue(&v, out);
    EXPECT_EQ(Hex(out, n), Hex(row.encoded));

    // The builder writes the same bytes backwards.
    uint8_t buf[64];
    BerBuilder b = Ber_Builder(buf, sizeof buf);
    Ber_PutValue(&b, &v);
    uint16_t len = Ber_Finish(&b);
    EXPECT_EQ(Hex(buf, len), Hex(row.encoded));

    // Decode through the bounded reader from an exact-size heap copy.
    Bytes in = row.encoded;
    BerReader r = Ber_Reader(in.data(), in.size());
    uint8_t tag = 0;
    BerReader c{};
    ASSERT_EQ(Ber_ReadItem(&r, &tag, &c), 1);
    EXPECT_EQ(Ber_Left(r), 0u);
    uint8_t octBuf[16];
    uint32_t subids[BER_OID_MAX];
    BerValue d{};
    d.tag = tag;
    d.octets = {octBuf, 0, sizeof octBuf};
    d.oid = {0, subids};
    ASSERT_EQ(Ber_DecodeValue(c.pos, &d, static_cast<uint16_t>(Ber_Left(c))), 1);
    EXPECT_EQ(d.integer, v.integer);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(octBuf), d.octets.length), row.octets);
    EXPECT_EQ(std::vector<uint32_t>(subids, subids + d.oid.count), row.oid);
  }
}

TEST(Ber, LengthsEncodeAndDecode) {
  struct Row {
    uint16_t length;
    Bytes encoded;
  } rows[] = {
      {0, {0x00}},   {127, {0x7F}},         {128, {0x81, 0x80}},        {255, {0x81, 0xFF}},
      {256, {0x82, 0x01, 0x00}}, {65535, {0x82, 0xFF, 0xFF}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.length);
    uint8_t out[3];
    int n = Ber_EncodeLength(out, row.length);
    EXPECT_EQ(Hex(out, n), Hex(row.encoded));
    uint16_t header = 0;
    EXPECT_EQ(Ber_DecodeLength(row.encoded.data(), row.encoded.size(), &header), row.length);
    EXPECT_EQ(header, row.encoded.size());
  }
  // Long forms that are not the shortest still decode.
  Bytes lax = {0x82, 0x00, 0x05};
  uint16_t header = 0;
  EXPECT_EQ(Ber_DecodeLength(lax.data(), lax.size(), &header), 5);
  EXPECT_EQ(header, 3);
}

TEST(Ber, MalformedLengthsFail) {
  const Bytes rows[] = {
      {},                          // nothing to read
      {0x80},                      // indefinite form
      {0x83, 0x01, 0x00, 0x00},    // three length bytes would be cut to 16 bits
      {0x84, 0x00, 0x00, 0x00, 0x01},
      {0x81},                      // length byte missing
      {0x82, 0x01},                // second length byte missing
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Hex(row));
    Bytes in = row;  // exact-size heap copy: ASan catches any read past it
    uint16_t header = 0;
    EXPECT_EQ(Ber_DecodeLength(in.data(), in.size(), &header), -1);
  }
}

TEST(Ber, DecodeIntegerWidths) {
  struct Row {
    Bytes content;
    int32_t value;
  } rows[] = {
      {{0xFF}, -1},
      {{0x00, 0xFF}, 255},
      {{0xFF, 0x7F}, -129},
      {{0x80, 0x00, 0x00}, -8388608},
      {{0xFF, 0xFF, 0xFF, 0xFF}, -1},
      {{0x01, 0x00, 0x00, 0x00, 0x00}, 0},  // low 32 bits
      {{1, 2, 3, 4, 5, 6, 7, 8, 9}, 0},     // longer than 8: nothing read
      {{}, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Hex(row.content));
    EXPECT_EQ(Ber_DecodeInteger(row.content.data(), static_cast<uint16_t>(row.content.size())), row.value);
  }
}

TEST(Ber, ValuesThatDoNotFitTheirTypeFail) {
  struct Row {
    uint8_t tag;
    Bytes content;
  } rows[] = {
      {BER_INTEGER, {}},
      {BER_INTEGER, {0x00, 0xFF, 0xFF, 0xFF, 0xFF}},   // 2^32-1 is not an Integer32
      {BER_COUNTER32, {0x01, 0x00, 0x00, 0x00, 0x00}}, // 2^32 would be cut
      {BER_TIMETICKS, {1, 2, 3, 4, 5, 6}},
      {BER_NULL, {0x00}},                              // NULL has no content
      {BER_SEQUENCE, {0x02, 0x01, 0x00}},              // never decoded as a value
      {0x46, {0x01}},                                  // Counter64 is outside the subset
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Hex(row.content));
    Bytes in = row.content;
    BerValue v{};
    v.tag = row.tag;
    EXPECT_EQ(Ber_DecodeValue(in.data(), &v, static_cast<uint16_t>(in.size())), 0);
  }
  // An unsigned counter with its leading 00 fits.
  Bytes ok = {0x00, 0xFF, 0xFF, 0xFF, 0xFF};
  BerValue v{};
  v.tag = BER_COUNTER32;
  EXPECT_EQ(Ber_DecodeValue(ok.data(), &v, 5), 1);
  EXPECT_EQ(static_cast<uint32_t>(v.integer), 4294967295u);
}

TEST(Ber, MalformedOidsFail) {
  std::vector<uint8_t> many = {0x2B};
  for (int i = 0; i < 127; i++) many.push_back(0x01);  // 2 + 127 = 129 sub-identifiers
  const struct Row {
    const char* what;
    Bytes content;
  } rows[] = {
      {"empty", {}},
      {"unfinished last arc", {0x2B, 0x06, 0x01, 0x84}},
      {"129 sub-identifiers", many},
      {"multi-byte first arc", {0x81, 0x00, 0x01}},
      {"arc beyond 32 bits", {0x2B, 0x90, 0x80, 0x80, 0x80, 0x00}},
      {"leading 0x80 group", {0x2B, 0x80, 0x01}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Bytes in = row.content;
    uint32_t subids[BER_OID_MAX];
    BerOid oid{0, subids};
    EXPECT_EQ(Ber_DecodeOid(in.data(), &oid, static_cast<uint16_t>(in.size())), 0);
  }
  // 128 sub-identifiers are the most that fit.
  many.pop_back();
  uint32_t subids[BER_OID_MAX];
  BerOid oid{0, subids};
  EXPECT_EQ(Ber_DecodeOid(many.data(), &oid, static_cast<uint16_t>(many.size())), 1);
  EXPECT_EQ(oid.count, 128);
}

TEST(Ber, OidsThatCannotBeEncodedFail) {
  const std::vector<uint32_t> rows[] = {
      {2, 48, 1},  // first byte 128
      {2, 48},
      {1, 40, 1},  // second arc under 1 must be below 40
      {3, 1, 1},   // first arc above 2
      {},
  };
  for (const auto& row : rows) {
    std::vector<uint32_t> s = row;
    BerOid oid{static_cast<uint16_t>(s.size()), s.data()};
    uint8_t out[BER_VALUE_MAX];
    EXPECT_EQ(Ber_EncodeOid(&oid, out), 0);
  }
  BerValue counter64{};
  counter64.tag = 0x46;
  uint8_t out[8];
  EXPECT_EQ(Ber_EncodeValue(&counter64, out), 0);
}

TEST(Ber, OidOf127ContentBytesUsesTheLongForm) {
  std::vector<uint32_t> s = LongOid();
  BerOid oid{static_cast<uint16_t>(s.size()), s.data()};
  uint8_t out[BER_VALUE_MAX];
  int n = Ber_EncodeOid(&oid, out);
  ASSERT_EQ(n, 127 + 4);
  EXPECT_EQ(Hex(out, 4), "06 82 00 7F");
  uint32_t back[BER_OID_MAX];
  BerOid d{0, back};
  ASSERT_EQ(Ber_DecodeOid(out + 4, &d, 127), 1);
  EXPECT_EQ(std::vector<uint32_t>(back, back + d.count), s);
}

TEST(Ber, OctetsNeverExceedTheirCapacity) {
  Bytes content(300, 'x');
  uint8_t small[256];
  BerOctets o{small, 99, sizeof small};
  EXPECT_EQ(Ber_DecodeOctets(content.data(), &o, 300), 0);
  EXPECT_EQ(o.length, 0);  // nothing kept, and no 300 % 256 = 44 byte remnant
  std::vector<uint8_t> big(300);
  BerOctets b{big.data(), 0, 300};
  EXPECT_EQ(Ber_DecodeOctets(content.data(), &b, 300), 1);
  EXPECT_EQ(b.length, 300);
  // A read-only descriptor accepts nothing.
  BerOctets ro{nullptr, 0, 0};
  EXPECT_EQ(Ber_DecodeOctets(content.data(), &ro, 1), 0);

  BerOctets enc{content.data(), 300, 0};
  std::vector<uint8_t> out(310);
  EXPECT_EQ(Ber_EncodeOctets(&enc, out.data(), BER_OCTET_STRING), 304);
  EXPECT_EQ(Hex(out.data(), 4), "04 82 01 2C");
}

TEST(Ber, ReaderKeepsItemsInsideTheirWindow) {
  // SEQUENCE { INTEGER 5, OCTET STRING "ab" } then a trailing byte.
  Bytes msg = {0x30, 0x07, 0x02, 0x01, 0x05, 0x04, 0x02, 'a', 'b', 0xEE};
  BerReader r = Ber_Reader(msg.data(), msg.size());
  BerReader seq{};
  ASSERT_EQ(Ber_ReadTagged(&r, BER_SEQUENCE, &seq), 1);
  EXPECT_EQ(Ber_Left(r), 1u);
  int32_t v = 0;
  ASSERT_EQ(Ber_ReadInteger(&seq, &v), 1);
  EXPECT_EQ(v, 5);
  uint8_t buf[4];
  BerOctets o{buf, 0, sizeof buf};
  ASSERT_EQ(Ber_ReadOctets(&seq, &o), 1);
  EXPECT_EQ(o.length, 2);
  EXPECT_EQ(Ber_Left(seq), 0u);
  uint8_t tag;
  BerReader c{};
  EXPECT_EQ(Ber_ReadItem(&seq, &tag, &c), 0);  // nothing left inside the SEQUENCE

  const struct Row {
    const char* what;
    Bytes bytes;
  } bad[] = {
      {"content past the end", {0x04, 0x05, 'a', 'b'}},
      {"long length past the end", {0x30, 0x82, 0x01, 0x00, 0x02, 0x01, 0x00}},
      {"header only", {0x30}},
      {"length bytes missing", {0x04, 0x82, 0x00}},
      {"indefinite length", {0x30, 0x80, 0x02, 0x01, 0x00, 0x00, 0x00}},
      {"three length bytes", {0x04, 0x83, 0x00, 0x00, 0x01, 'a'}},
  };
  for (const auto& row : bad) {
    SCOPED_TRACE(row.what);
    Bytes in = row.bytes;
    BerReader rr = Ber_Reader(in.data(), in.size());
    EXPECT_EQ(Ber_ReadItem(&rr, &tag, &c), 0);
    EXPECT_EQ(rr.pos, in.data());  // reader unchanged
  }
  // Wrong tag or an integer that does not fit: the reader stays put.
  Bytes wide = {0x02, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
  BerReader rw = Ber_Reader(wide.data(), wide.size());
  EXPECT_EQ(Ber_ReadInteger(&rw, &v), 0);
  EXPECT_EQ(Ber_ReadOctets(&rw, &o), 0);
  EXPECT_EQ(rw.pos, wide.data());
  // An octet string longer than the destination fails rather than being cut.
  Bytes longStr = {0x04, 0x05, 'a', 'b', 'c', 'd', 'e'};
  BerReader rl = Ber_Reader(longStr.data(), longStr.size());
  EXPECT_EQ(Ber_ReadOctets(&rl, &o), 0);
}

TEST(Ber, BuilderWritesBackwardsAndNeverUsesTheFirstByte) {
  // SEQUENCE { INTEGER 1, OCTET STRING "ab" }: fields are put last first.
  uint8_t buf[10];
  BerBuilder b = Ber_Builder(buf, sizeof buf);
  uint16_t mark = Ber_Mark(b);
  const uint8_t ab[] = {'a', 'b'};
  Ber_PutOctets(&b, BER_OCTET_STRING, ab, 2);
  Ber_PutInteger(&b, 1, BER_INTEGER);
  Ber_PutHeader(&b, BER_SEQUENCE, mark);
  uint16_t n = Ber_Finish(&b);
  EXPECT_EQ(Hex(buf, n), "30 07 02 01 01 04 02 61 62");  // 9 bytes = size - 1

  uint8_t tight[9];
  BerBuilder t = Ber_Builder(tight, sizeof tight);
  mark = Ber_Mark(t);
  Ber_PutOctets(&t, BER_OCTET_STRING, ab, 2);
  Ber_PutInteger(&t, 1, BER_INTEGER);
  Ber_PutHeader(&t, BER_SEQUENCE, mark);
  EXPECT_EQ(Ber_Finish(&t), 0);
  EXPECT_FALSE(t.ok);

  // A header's length counts everything since its mark, in the long forms too.
  std::vector<uint8_t> big(400);
  BerBuilder l = Ber_Builder(big.data(), static_cast<uint16_t>(big.size()));
  mark = Ber_Mark(l);
  std::vector<uint8_t> payload(300, 0x55);
  Ber_PutBytes(&l, payload.data(), payload.size());
  Ber_PutHeader(&l, BER_SEQUENCE, mark);
  EXPECT_EQ(Ber_Finish(&l), 304);
  EXPECT_EQ(Hex(big.data(), 4), "30 82 01 2C");
}
