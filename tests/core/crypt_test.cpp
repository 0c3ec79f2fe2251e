// Known answers and edge cases of the crypto operation table: ciphers,
// digests, encodings and checksums, all reached through CryptOps.
#include "core/crypt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Hex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::string ToHex(const uint8_t* p, size_t n) {
  std::string s;
  char buf[3];
  for (size_t i = 0; i < n; ++i) {
    snprintf(buf, sizeof buf, "%02x", p[i]);
    s += buf;
  }
  return s;
}

class Crypt : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Crypt_Init(); }
  Md5Context ctx{};

  std::string Md5Hex(const uint8_t* data, size_t n, size_t piece) {
    uint8_t digest[16];
    CryptOps.Md5_Init(&ctx);
    for (size_t off = 0; off < n; off += piece) CryptOps.Md5_Update(&ctx, data + off, std::min(piece, n - off));
    CryptOps.Md5_Final(&ctx, digest);
    return ToHex(digest, 16);
  }
};

// ---------------------------------------------------------------- ciphers

TEST_F(Crypt, DesKnownAnswersBothDirectionsInPlaceAndIgnoringParity) {
  struct Case {
    const char *key, *plain, *cipher;
  } cases[] = {
      {"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},
      {"0e329232ea6d0d73", "8787878787878787", "0000000000000000"},
      {"0123456789abcdef", "4e6f772069732074", "3fa40e8a984d4815"},  // "Now is t"
      {"0101010101010101", "8000000000000000", "95f8a5e5dd31d900"},
      {"8001010101010101", "0000000000000000", "95a8d72813daa94d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    auto key = Hex(c.key), plain = Hex(c.plain), cipher = Hex(c.cipher);
    uint8_t out[8];
    CryptOps.Des_EncryptBlock(plain.data(), key.data(), out);
    EXPECT_EQ(ToHex(out, 8), c.cipher);
    CryptOps.Des_DecryptBlock(cipher.data(), key.data(), out);
    EXPECT_EQ(ToHex(out, 8), c.plain);

    // The lowest bit of each key byte is parity and plays no part.
    auto flipped = key;
    for (auto& b : flipped) b ^= 0x01;
    CryptOps.Des_EncryptBlock(plain.data(), flipped.data(), out);
    EXPECT_EQ(ToHex(out, 8), c.cipher);

    uint8_t buf[8];
    std::memcpy(buf, plain.data(), 8);
    CryptOps.Des_EncryptBlock(buf, key.data(), buf);
    EXPECT_EQ(ToHex(buf, 8), c.cipher);
    CryptOps.Des_DecryptBlock(buf, key.data(), buf);
    EXPECT_EQ(ToHex(buf, 8), c.plain);
  }
}

TEST_F(Crypt, Aes256KnownAnswers) {
  struct Case {
    const char *key, *plain, *cipher;
  } cases[] = {
      // FIPS 197 appendix C.3
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
      // SP 800-38A F.1.5, first block
      {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
       "6bc1bee22e409f96e93d7e117393172a", "f3eed1bdb5d2a03c064b5a7e3db181f8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    auto key = Hex(c.key), block = Hex(c.plain);
    CryptOps.Aes_EncryptBlock(block.data(), key.data());
    EXPECT_EQ(ToHex(block.data(), 16), c.cipher);
    CryptOps.Aes_DecryptBlock(block.data(), key.data());
    EXPECT_EQ(ToHex(block.data(), 16), c.plain);
    EXPECT_EQ(ToHex(key.data(), 32), c.key);
  }
}

// ---------------------------------------------------------------- digests

TEST_F(Crypt, Md5TestSuiteInOneCallAndInPieces) {
  struct Case {
    const char *text, *digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto data = Bytes(c.text);
    for (size_t piece : {size_t(100), size_t(1), size_t(7), size_t(63)})
      EXPECT_EQ(Md5Hex(data.data(), data.size(), piece), c.digest) << "pieces of " << piece;
  }
}

TEST_F(Crypt, HmacMd5KnownAnswers) {
  struct Case {
    std::vector<uint8_t> key, data;
    const char* mac;
  } cases[] = {
      {std::vector<uint8_t>(16, 0x0b), Bytes("Hi There"), "9294727a3638bb1c13f48ef8158bfc9d"},
      // "Jefe" completed with zero bytes: HMAC pads a short key the same way.
      {Bytes(std::string("Jefe") + std::string(12, '\0')), Bytes("what do ya want for nothing?"),
       "750c783e6ab0b503eaa86e310a5db738"},
      {std::vector<uint8_t>(16, 0xaa), std::vector<uint8_t>(50, 0xdd), "56be34521d144c88dbb8c733f0e8b3f6"},
      {std::vector<uint8_t>(16, 0x0c), Bytes("Test With Truncation"), "56461ef2342edc00f9bab995690efd4c"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mac);
    uint8_t mac[16];
    CryptOps.Hmac_Md5(&ctx, c.data.data(), c.data.size(), c.key.data(), mac);
    EXPECT_EQ(ToHex(mac, 16), c.mac);
  }
}

TEST_F(Crypt, PasswordToKeyLocalisesTheMapleSyrupExample) {
  auto password = Bytes("maplesyrup");
  auto engineId = Hex("000000000000000000000002");
  uint8_t key[16];
  CryptOps.Usm_PasswordToKeyMd5(&ctx, key, password.data(), uint8_t(password.size()), engineId.data(),
                                uint16_t(engineId.size()));
  EXPECT_EQ(ToHex(key, 16), "526f5eed9fcce26f8964c2930787d82b");
}

TEST_F(Crypt, PasswordToKeyWithEmptyPasswordGivesAZeroKey) {
  auto engineId = Hex("000000000000000000000002");
  uint8_t key[16];
  std::memset(key, 0x5a, sizeof key);
  CryptOps.Usm_PasswordToKeyMd5(&ctx, key, nullptr, 0, engineId.data(), uint16_t(engineId.size()));
  EXPECT_EQ(ToHex(key, 16), std::string(32, '0'));
}

// ---------------------------------------------------------------- Base64

struct B64Case {
  const char *plain, *text;
};
const B64Case kB64Cases[] = {{"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},
                             {"foo", "Zm9v"},   {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                             {"foobar", "Zm9vYmFy"}};

TEST_F(Crypt, Base64EncodesAndDecodesTheRfcExamples) {
  for (const B64Case& c : kB64Cases) {
    SCOPED_TRACE(c.plain);
    auto plain = Bytes(c.plain);
    char text[16];
    int n = CryptOps.B64_Encode(text, plain.data(), int(plain.size()));
    EXPECT_EQ(std::string(text, size_t(n)), c.text);

    uint8_t out[16];
    int len = int(plain.size());  // exact capacity
    EXPECT_EQ(CryptOps.B64_Decode(c.text, int(strlen(c.text)), out, &len), int(plain.size()));
    EXPECT_EQ(len, int(plain.size()));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), size_t(len)), c.plain);
  }
}

TEST_F(Crypt, Base64DecodeSkipsCharactersOutsideTheAlphabet) {
  const char* texts[] = {"Zm9v\r\nYmFy", " Zm 9vY mFy ", "Zm9v\tYm\xc3\xa9" "Fy", "Zm9v-Y.m!F*y"};
  for (const char* t : texts) {
    SCOPED_TRACE(t);
    uint8_t out[16];
    int len = sizeof out;
    EXPECT_EQ(CryptOps.B64_Decode(t, int(strlen(t)), out, &len), 6);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 6), "foobar");
  }
  // An empty or blank text is a valid empty result, distinct from failure.
  uint8_t out[4];
  int len = sizeof out;
  EXPECT_EQ(CryptOps.B64_Decode(" \r\n", 3, out, &len), 0);
  EXPECT_EQ(len, 0);
}

TEST_F(Crypt, Base64DecodeFailuresLeaveLengthAndCapacityAlone) {
  struct Case {
    const char* text;
    int capacity;
  } cases[] = {
      {"Zm9vYm", 16},     // ends inside a group
      {"Zm9vYmFy", 5},    // last group one byte short
      {"Zm9vYg==", 3},    // padded last group one byte short
      {"QQ==QQ==", 1},    // padding lowers the count for the rest of the call
      {"QQ==QQ==QQ==", 2},
      {"Zm9v", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint8_t out[32];
    std::memset(out, 0xa5, sizeof out);
    int len = c.capacity;
    EXPECT_EQ(CryptOps.B64_Decode(c.text, int(strlen(c.text)), out, &len), -1);
    EXPECT_EQ(len, c.capacity);
    for (size_t i = size_t(c.capacity); i < sizeof out; ++i) ASSERT_EQ(out[i], 0xa5) << "wrote byte " << i;
  }
}

// ---------------------------------------------------------------- radix-64

TEST_F(Crypt, Radix64EncodesLeastSignificantDigitFirst) {
  struct Case {
    std::vector<uint8_t> in;
    const char* text;
  } cases[] = {
      {{}, ""},
      {Bytes("a"), "V/.."},
      {Bytes("ab"), "V74."},
      {Bytes("abc"), "V7qM"},
      {Bytes("abcd"), "V7qMY/.."},
      {{0xff, 0xff, 0xff}, "zzzz"},
      {{0x00, 0x00, 0x00}, "...."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    char text[16];
    int n = CryptOps.Radix64_Encode(text, c.in.data(), int(c.in.size()));
    EXPECT_EQ(std::string(text, size_t(n)), c.text);
  }
}

TEST_F(Crypt, Radix64DigitValuesFollowTheCryptAlphabet) {
  struct Case {
    char c;
    uint8_t value;
  } cases[] = {{'.', 0}, {'/', 1}, {'0', 2}, {'9', 11}, {'A', 12}, {'Z', 37}, {'a', 38}, {'z', 63}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.c);
    std::string text = std::string(1, c.c) + "...";
    uint8_t out[3];
    ASSERT_EQ(CryptOps.Radix64_Decode(out, text.data(), 4, 3), 3);
    EXPECT_EQ(out[0], c.value);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[2], 0);
  }
  // Every 4-character text over the alphabet is the encoding of what it
  // decodes to.
  const char* alphabet = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  uint8_t bytes[48];
  ASSERT_EQ(CryptOps.Radix64_Decode(bytes, alphabet, 64, sizeof bytes), 48);
  char text[64];
  ASSERT_EQ(CryptOps.Radix64_Encode(text, bytes, 48), 64);
  EXPECT_EQ(std::string(text, 64), alphabet);
}

TEST_F(Crypt, Radix64SixteenBytesComeBackWithTwoTrailingZeros) {
  uint8_t in[16];
  for (int i = 0; i < 16; ++i) in[i] = uint8_t(0xf0 + i);
  char text[24];
  ASSERT_EQ(CryptOps.Radix64_Encode(text, in, 16), 24);
  uint8_t out[18];
  ASSERT_EQ(CryptOps.Radix64_Decode(out, text, 24, sizeof out), 18);
  EXPECT_EQ(std::memcmp(out, in, 16), 0);
  EXPECT_EQ(out[16], 0);
  EXPECT_EQ(out[17], 0);
}

TEST_F(Crypt, Radix64DecodeRefusesBadTextAndShortCapacity) {
  struct Case {
    const char* text;
    int capacity;
  } cases[] = {
      {"V7qM=...", 6},   // '=' is no digit
      {"V7q+", 3},       // neither is '+'
      {"V7qMV", 6},      // length not a multiple of 4
      {"V7q", 3},
      {"V7qMV7qM", 5},   // 6 bytes do not fit
      {"V7qM", 0},
      {"V7qM", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint8_t out[16];
    std::memset(out, 0xa5, sizeof out);
    EXPECT_EQ(CryptOps.Radix64_Decode(out, c.text, int(strlen(c.text)), c.capacity), 0);
    for (size_t i = c.capacity > 0 ? size_t(c.capacity) : 0; i < sizeof out; ++i)
      ASSERT_EQ(out[i], 0xa5) << "wrote byte " << i;
  }
}

TEST_F(Crypt, Radix64FromIntWritesSixBitsPerCharacter) {
  struct Case {
    uint32_t value;
    uint8_t count;
    const char* text;
  } cases[] = {
      {0, 8, "........"},        {1, 8, "/......."},  {0xffffffff, 8, "zzzzz1.."},
      {0x636261, 4, "V7qM"},     {63, 1, "z"},        {0xffffffff, 3, "zzz"},
      {0x80000000, 8, ".....0.."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    char out[16];
    std::memset(out, '#', sizeof out);
    CryptOps.Radix64_FromInt(out, c.value, c.count);
    EXPECT_EQ(std::string(out, c.count), std::string(c.text, c.count));
    EXPECT_EQ(out[c.count], '#');
  }
}

// ---------------------------------------------------------------- hexadecimal

TEST_F(Crypt, HexByteToTextBothSlots) {
  for (auto fn : {CryptOps.Hex_ByteToText, CryptOps.Hex_ByteToText2}) {
    char out[3] = "##";
    fn(0xab, out, 0);
    EXPECT_STREQ(out, "ab");
    fn(0xab, out, 1);
    EXPECT_STREQ(out, "AB");
    fn(0x0f, out, 7);
    EXPECT_STREQ(out, "0F");
    fn(0x90, out, 0);
    EXPECT_STREQ(out, "90");
  }
}

TEST_F(Crypt, HexTextToIntStopsAtLimitOrFirstNonDigit) {
  struct Case {
    const char* text;
    uint8_t max;
    uint32_t value;
  } cases[] = {
      {"1aZ", 3, 26},         {"FF", 1, 15},          {"", 8, 0},
      {"ffffffff", 8, 0xffffffff}, {"7fG1", 8, 0x7f}, {"123", 0, 0},
      {"12345", 3, 0x123},    {"123456789", 9, 0x23456789}, {"-1", 8, 0},
      {"aBcD", 4, 0xabcd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(CryptOps.Hex_TextToInt(c.text, c.max), c.value);
  }
}

// ---------------------------------------------------------------- checksums

TEST_F(Crypt, ChecksumsKnownAnswers) {
  struct Case {
    std::vector<uint8_t> data;
    uint16_t modbus, arc;
    uint8_t sum;
  } cases[] = {
      {Bytes("123456789"), 0x4b37, 0xbb3d, 0xdd},
      {{0x01, 0x03, 0x00, 0x00, 0x00, 0x01}, 0x0a84, 0x1184, 0x05},
      {{0x80, 0x80, 0x01}, 0x28d0, 0xe8a1, 0x01},  // the sum wraps
      {{0x00}, 0x40bf, 0x0000, 0x00},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data.size());
    EXPECT_EQ(CryptOps.Crc16_Modbus(c.data.data(), int(c.data.size())), c.modbus);
    EXPECT_EQ(CryptOps.Crc16_Arc(c.data.data(), int(c.data.size())), c.arc);
    EXPECT_EQ(CryptOps.Crypt_Sum8(c.data.data(), int(c.data.size())), c.sum);
  }
}

// A length of 0 (or less) reads nothing: a null pointer must not be touched.
TEST_F(Crypt, ZeroLengthReadsNothing) {
  for (int n : {0, -1}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(CryptOps.Crc16_Modbus(nullptr, n), 0xffff);
    EXPECT_EQ(CryptOps.Crc16_Arc(nullptr, n), 0);
    EXPECT_EQ(CryptOps.Crypt_Sum8(nullptr, n), 0);
    char text[4];
    EXPECT_EQ(CryptOps.B64_Encode(text, nullptr, n), 0);
    EXPECT_EQ(CryptOps.Radix64_Encode(text, nullptr, n), 0);
    uint8_t out[4];
    EXPECT_EQ(CryptOps.Radix64_Decode(out, nullptr, n, sizeof out), 0);
    int len = sizeof out;
    EXPECT_EQ(CryptOps.B64_Decode(nullptr, n, out, &len), 0);
    EXPECT_EQ(len, 0);
  }
  EXPECT_EQ(Md5Hex(nullptr, 0, 1), "d41d8cd98f00b204e9800998ecf8427e");
  uint8_t key[16] = {}, mac[16];
  CryptOps.Hmac_Md5(&ctx, nullptr, 0, key, mac);
  EXPECT_EQ(ToHex(mac, 16), "74e6f7298a9c2d168935f58c001bad88");
}

// ---------------------------------------------------------------- the table

TEST_F(Crypt, InitFillsEverySlotAndTheFixedConfigurationKey) {
  const void* slots[] = {
      reinterpret_cast<const void*>(CryptOps.B64_Decode),      reinterpret_cast<const void*>(CryptOps.B64_Encode),
      reinterpret_cast<const void*>(CryptOps.Crc16_Modbus),    reinterpret_cast<const void*>(CryptOps.Crc16_Arc),
      reinterpret_cast<const void*>(CryptOps.Radix64_FromInt), reinterpret_cast<const void*>(CryptOps.Hex_ByteToText),
      reinterpret_cast<const void*>(CryptOps.Md5_Init),        reinterpret_cast<const void*>(CryptOps.Md5_Update),
      reinterpret_cast<const void*>(CryptOps.Md5_Final),       reinterpret_cast<const void*>(CryptOps.Usm_PasswordToKeyMd5),
      reinterpret_cast<const void*>(CryptOps.Hmac_Md5),        reinterpret_cast<const void*>(CryptOps.Radix64_Encode),
      reinterpret_cast<const void*>(CryptOps.Radix64_Decode),  reinterpret_cast<const void*>(CryptOps.Des_EncryptBlock),
      reinterpret_cast<const void*>(CryptOps.Des_DecryptBlock), reinterpret_cast<const void*>(CryptOps.Aes_EncryptBlock),
      reinterpret_cast<const void*>(CryptOps.Aes_DecryptBlock), reinterpret_cast<const void*>(CryptOps.Crypt_Sum8),
      reinterpret_cast<const void*>(CryptOps.Hex_TextToInt),   reinterpret_cast<const void*>(CryptOps.Hex_ByteToText2),
  };
  for (size_t i = 0; i < sizeof slots / sizeof slots[0]; ++i) EXPECT_NE(slots[i], nullptr) << "slot " << i;

  // Stored "Advanced" passwords can only be read back with the key that
  // wrote them: the key must stay the same from build to build.
  uint8_t block[16] = {};
  CryptOps.Aes_EncryptBlock(block, CryptOps.configKey);
  EXPECT_EQ(ToHex(block, 16), "dc2c1f26feb321eb395cde578a6ea718");
}

}  // namespace
