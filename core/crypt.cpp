// The crypto operation table, the configuration key, and the text encodings
// and checksums: Base64, radix-64 with the crypt alphabet, hexadecimal, the
// 8-bit sum and two CRC-16s. No routine reads input beyond the length it
// is given, writes beyond the capacity it is given, or allocates memory.
#include "core/crypt.h"

#include <array>

#include "core/cipher.h"

CryptOpsTable CryptOps;

namespace {

// The configuration key in two read-only halves, joined at start-up.
// Passwords stored in the "Advanced" encoding depend on these bytes: never
// change them.
constexpr uint8_t kConfigKeyLow[16] = {0x02, 0x6a, 0xc1, 0xe8, 0x8a, 0xca, 0xc6, 0xa6,
                                       0xc6, 0x19, 0x93, 0xb2, 0x6e, 0x25, 0xe6, 0x66};
constexpr uint8_t kConfigKeyHigh[16] = {0x36, 0xba, 0x3b, 0x17, 0x31, 0xe2, 0x9b, 0xc0,
                                        0xa7, 0x22, 0xc2, 0x58, 0x4d, 0xa2, 0xb2, 0x02};

// ---------------------------------------------------------------- Base64

constexpr char kB64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kB64Pad = 0xfe;    // '='
constexpr uint8_t kB64Other = 0xff;  // not a digit: skipped
constexpr int kB64First = '+', kB64Last = 'z';

// Digit values for the codes '+' .. 'z', indexed by code minus '+'.
constexpr std::array<uint8_t, kB64Last - kB64First + 1> MakeB64Table() {
  std::array<uint8_t, kB64Last - kB64First + 1> t{};
  for (auto& v : t) v = kB64Other;
  for (int i = 0; i < 64; ++i) t[kB64Alphabet[i] - kB64First] = uint8_t(i);
  t['=' - kB64First] = kB64Pad;
  return t;
}
constexpr auto kB64Decode = MakeB64Table();

int B64_Encode(char* out, const uint8_t* in, int n) {
  int len = 0;
  for (int i = 0; i < n; i += 3) {
    int left = n - i;
    uint8_t b0 = in[i], b1 = left > 1 ? in[i + 1] : 0, b2 = left > 2 ? in[i + 2] : 0;
    out[len] = kB64Alphabet[b0 >> 2];
    out[len + 1] = kB64Alphabet[((b0 << 4) & 63) | b1 >> 4];
    out[len + 2] = left > 1 ? kB64Alphabet[((b1 << 2) & 63) | b2 >> 6] : '=';
    out[len + 3] = left > 2 ? kB64Alphabet[b2 & 63] : '=';
    len += 4;
  }
  return len;
}

// Characters outside the alphabet are skipped; '=' counts as a zero digit
// and lowers the number of bytes a group yields, for the rest of the call.
// A group is written only when every byte it yields fits the capacity.
int B64_Decode(const char* text, int textLen, uint8_t* out, int* outLen) {
  int capacity = *outLen > 0 ? *outLen : 0;
  int written = 0, digits = 0, count = 3;
  uint32_t group = 0;
  for (int i = 0; i < textLen; ++i) {
    int c = static_cast<unsigned char>(text[i]);
    if (c < kB64First || c > kB64Last) continue;
    uint8_t v = kB64Decode[c - kB64First];
    if (v == kB64Other) continue;
    if (v == kB64Pad) {
      v = 0;
      --count;
    }
    group = group << 6 | v;
    if (++digits < 4) continue;
    int yield = 1 + (count > 1) + (count > 2);
    if (written + yield > capacity) return -1;
    out[written++] = uint8_t(group >> 16);
    if (count > 1) out[written++] = uint8_t(group >> 8);
    if (count > 2) out[written++] = uint8_t(group);
    digits = 0;
    group = 0;
  }
  if (digits != 0) return -1;
  *outLen = written;
  return written;
}

// ---------------------------------------------------------------- radix-64

constexpr char kCryptAlphabet[] =
    "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

constexpr std::array<uint8_t, 256> MakeCryptTable() {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = 0xff;
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kCryptAlphabet[i])] = uint8_t(i);
  return t;
}
constexpr auto kCryptDecode = MakeCryptTable();

// Three bytes, read as a little-endian 24-bit number, become four digits,
// least significant first; a short last group is completed with zero bytes.
int Radix64_Encode(char* out, const uint8_t* in, int n) {
  int len = 0;
  for (int i = 0; i < n; i += 3) {
    int left = n - i;
    uint32_t v = in[i] | uint32_t(left > 1 ? in[i + 1] : 0) << 8 |
                 uint32_t(left > 2 ? in[i + 2] : 0) << 16;
    for (int d = 0; d < 4; ++d, v >>= 6) out[len++] = kCryptAlphabet[v & 63];
  }
  return len;
}

int Radix64_Decode(uint8_t* out, const char* text, int n, int capacity) {
  if (n <= 0 || n % 4 != 0 || n / 4 > capacity / 3) return 0;
  for (int i = 0; i < n; i += 4) {
    uint32_t v = 0;
    for (int d = 3; d >= 0; --d) {
      uint8_t digit = kCryptDecode[static_cast<unsigned char>(text[i + d])];
      if (digit == 0xff) return 0;
      v = v << 6 | digit;
    }
    int o = i / 4 * 3;
    out[o] = uint8_t(v);
    out[o + 1] = uint8_t(v >> 8);
    out[o + 2] = uint8_t(v >> 16);
  }
  return n / 4 * 3;
}

void Radix64_FromInt(char* out, uint32_t value, uint8_t count) {
  for (int i = 0; i < count; ++i, value >>= 6) out[i] = kCryptAlphabet[value & 63];
}

// ---------------------------------------------------------------- hexadecimal

void HexByte(uint8_t value, char* out, uint8_t upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  out[0] = digits[value >> 4];
  out[1] = digits[value & 15];
}

void Hex_ByteToText(uint8_t value, char* out, uint8_t upper) { HexByte(value, out, upper); }

void Hex_ByteToText2(uint8_t value, char* out, uint8_t upper) { HexByte(value, out, upper); }

uint32_t Hex_TextToInt(const char* text, uint8_t maxDigits) {
  uint32_t value = 0;
  for (int i = 0; i < maxDigits; ++i) {
    char c = text[i];
    uint32_t digit;
    if (c >= '0' && c <= '9') digit = uint32_t(c - '0');
    else if (c >= 'A' && c <= 'F') digit = uint32_t(c - 'A' + 10);
    else if (c >= 'a' && c <= 'f') digit = uint32_t(c - 'a' + 10);
    else break;
    value = value * 16 + digit;
  }
  return value;
}

// ---------------------------------------------------------------- checksums

uint8_t Crypt_Sum8(const uint8_t* data, int length) {
  uint8_t sum = 0;
  for (int i = 0; i < length; ++i) sum = uint8_t(sum + data[i]);
  return sum;
}

// Low and high bytes of the reflected CRC (polynomial 0xA001) of each byte.
struct Crc16Tables {
  std::array<uint8_t, 256> low, high;
};
constexpr Crc16Tables MakeCrc16Tables() {
  Crc16Tables t{};
  for (int i = 0; i < 256; ++i) {
    uint16_t crc = uint16_t(i);
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    t.low[i] = uint8_t(crc);
    t.high[i] = uint8_t(crc >> 8);
  }
  return t;
}
constexpr Crc16Tables kCrc16 = MakeCrc16Tables();

uint16_t Crc16_Modbus(const uint8_t* data, int length) {
  uint8_t hi = 0xff, lo = 0xff;
  for (int i = 0; i < length; ++i) {
    uint8_t index = data[i] ^ lo;
    lo = hi ^ kCrc16.low[index];
    hi = kCrc16.high[index];
  }
  return uint16_t(hi << 8 | lo);
}

uint16_t Crc16_Arc(const uint8_t* data, int length) {
  uint16_t crc = 0;
  for (int i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
  }
  return crc;
}

}  // namespace

void Crypt_Init() {
  CryptOps.B64_Decode = B64_Decode;
  CryptOps.B64_Encode = B64_Encode;
  CryptOps.Crc16_Modbus = Crc16_Modbus;
  CryptOps.Crc16_Arc = Crc16_Arc;
  CryptOps.Radix64_FromInt = Radix64_FromInt;
  CryptOps.Hex_ByteToText = Hex_ByteToText;
  CryptOps.Md5_Init = Md5_Init;
  CryptOps.Md5_Update = Md5_Update;
  CryptOps.Md5_Final = Md5_Final;
  CryptOps.Usm_PasswordToKeyMd5 = Usm_PasswordToKeyMd5;
  CryptOps.Hmac_Md5 = Hmac_Md5;
  CryptOps.Radix64_Encode = Radix64_Encode;
  CryptOps.Radix64_Decode = Radix64_Decode;
  CryptOps.Des_EncryptBlock = Des_EncryptBlock;
  CryptOps.Des_DecryptBlock = Des_DecryptBlock;
  for (int i = 0; i < 16; ++i) {
    CryptOps.configKey[i] = kConfigKeyLow[i];
    CryptOps.configKey[16 + i] = kConfigKeyHigh[i];
  }
  CryptOps.Aes_EncryptBlock = Aes_EncryptBlock;
  CryptOps.Aes_DecryptBlock = Aes_DecryptBlock;
  CryptOps.Crypt_Sum8 = Crypt_Sum8;
  CryptOps.Hex_TextToInt = Hex_TextToInt;
  CryptOps.Hex_ByteToText2 = Hex_ByteToText2;
}

void Crypt_Exit() {}
