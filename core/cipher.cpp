// Ciphers and digests: DES, AES-256, MD5, HMAC-MD5 and the SNMPv3
// password-to-key function. Everything works on caller buffers and
// allocates nothing.
#include "core/cipher.h"

#include <array>
#include <cstring>

namespace {

// ---------------------------------------------------------------- DES

// The standard's tables, 1-based bit positions counted from the most
// significant bit.
constexpr uint8_t kPc1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                              10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                              63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                              14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
constexpr uint8_t kPc2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10,
                              23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
                              41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
                              44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
// Cumulative left rotation of the key halves before each round.
constexpr uint8_t kTotalRotation[16] = {1, 2, 4, 6, 8, 10, 12, 14, 15, 17, 19, 21, 23, 25, 27, 28};
constexpr uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                            2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};
constexpr uint8_t kSBox[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,
     0,  15, 7,  4, 14, 2,  13, 1,  10, 6,  12, 11, 9,  5,  3, 8,
     4,  1,  14, 8, 13, 6,  2,  11, 15, 12, 9,  7,  3,  10, 5, 0,
     15, 12, 8,  2, 4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6, 13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10,
     3,  13, 4,  7,  15, 2,  8,  14, 12, 0, 1,  10, 6,  9, 11, 5,
     0,  14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,  9,  3, 2,  15,
     13, 8,  10, 1,  3,  15, 4,  2,  11, 6, 7,  12, 0,  5, 14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,
     13, 7,  0,  9,  3, 4,  6,  10, 2,  8,  5,  14, 12, 11, 15, 1,
     13, 6,  4,  9,  8, 15, 3,  0,  11, 1,  2,  12, 5,  10, 14, 7,
     1,  10, 13, 0,  6, 9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3, 0,  6,  9,  10, 1,  2, 8, 5,  11, 12, 4,  15,
     13, 8,  11, 5, 6,  15, 0,  3,  4,  7, 2, 12, 1,  10, 14, 9,
     10, 6,  9,  0, 12, 11, 7,  13, 15, 1, 3, 14, 5,  2,  8,  4,
     3,  15, 0,  6, 10, 1,  13, 8,  9,  4, 5, 11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6,  8,  5,  3,  15, 13, 0, 14, 9,
     14, 11, 2,  12, 4,  7,  13, 1,  5,  0,  15, 10, 3,  9, 8,  6,
     4,  2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,  6,  3, 0,  14,
     11, 8,  12, 7,  1,  14, 2,  13, 6,  15, 0,  9,  10, 4, 5,  3},
    {12, 1,  10, 15, 9, 2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11,
     10, 15, 4,  2,  7, 12, 9,  5,  6,  1,  13, 14, 0,  11, 3,  8,
     9,  14, 15, 5,  2, 8,  12, 3,  7,  0,  4,  10, 1,  13, 11, 6,
     4,  3,  2,  12, 9, 5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0, 8,  13, 3,  12, 9, 7,  5,  10, 6, 1,
     13, 0,  11, 7,  4,  9, 1,  10, 14, 3,  5, 12, 2,  15, 8, 6,
     1,  4,  11, 13, 12, 3, 7,  14, 10, 15, 6, 8,  0,  5,  9, 2,
     6,  11, 13, 8,  1,  4, 10, 7,  9,  5,  0, 15, 14, 2,  3, 12},
    {13, 2,  8,  4, 6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,
     1,  15, 13, 8, 10, 3,  7,  4,  12, 5,  6,  11, 0,  14, 9,  2,
     7,  11, 4,  1, 9,  12, 14, 2,  0,  6,  10, 13, 15, 3,  5,  8,
     2,  1,  14, 7, 4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11}};

constexpr bool SBoxRowsArePermutations() {
  for (const auto& box : kSBox)
    for (int row = 0; row < 4; ++row) {
      unsigned seen = 0;
      for (int col = 0; col < 16; ++col) seen |= 1u << box[row * 16 + col];
      if (seen != 0xffff) return false;
    }
  return true;
}
static_assert(SBoxRowsArePermutations(), "DES S-box row is not a permutation of 0..15");

constexpr uint32_t RotateLeft(uint32_t v, unsigned n) { return (v << n) | (v >> (32 - n)); }
constexpr uint32_t Des_RotateRight(uint32_t v, unsigned n) { return (v >> n) | (v << (32 - n)); }
constexpr uint32_t Des_RotateLeft(uint32_t v, unsigned n) { return RotateLeft(v, n); }

// Round tables: entry i of table k is the output of S-box k+1 for the six
// input bits i (most significant first), moved through P to its place in
// the 32-bit word. The words are kept rotated left by one, the frame in
// which the round function runs.
using DesRoundTables = std::array<std::array<uint32_t, 64>, 8>;
constexpr DesRoundTables MakeDesRoundTables() {
  DesRoundTables t{};
  for (int k = 0; k < 8; ++k)
    for (int i = 0; i < 64; ++i) {
      int row = ((i >> 4) & 2) | (i & 1);
      int col = (i >> 1) & 15;
      int s = kSBox[k][row * 16 + col];
      uint32_t word = 0;
      for (int b = 0; b < 4; ++b) {
        if (!(s & (8 >> b))) continue;
        int from = 4 * k + b + 1;  // 1-based position before P
        for (int j = 0; j < 32; ++j)
          if (kP[j] == from) word |= 1u << (31 - j);
      }
      t[k][i] = RotateLeft(word, 1);
    }
  return t;
}
constexpr DesRoundTables kDesRound = MakeDesRoundTables();

// Cooked key schedules, rebuilt from the key by every block operation.
uint32_t desEncSchedule[32];
uint32_t desDecSchedule[32];

// Packs each round's two 24-bit PC-2 words so that the S-box input groups
// sit where the round function looks for them.
void Des_CookKey(const uint32_t raw[32], uint32_t cooked[32]) {
  for (int i = 0; i < 32; i += 2) {
    uint32_t r0 = raw[i], r1 = raw[i + 1];
    cooked[i] = (r0 & 0xfc0000) << 6 | (r0 & 0xfc0) << 10 | (r1 & 0xfc0000) >> 10 | (r1 & 0xfc0) >> 6;
    cooked[i + 1] = (r0 & 0x3f000) << 12 | (r0 & 0x3f) << 16 | (r1 & 0x3f000) >> 4 | (r1 & 0x3f);
  }
}

// PC-2 by table: each 7-bit group of a rotated 28-bit key half (most
// significant group first) gives its bits of the round's 24-bit PC-2 word.
// The first 24 PC-2 positions select from the left half, the last 24 from
// the right half.
using DesPc2Tables = std::array<std::array<uint32_t, 128>, 4>;
constexpr DesPc2Tables MakeDesPc2Tables(int half) {
  DesPc2Tables t{};
  for (int g = 0; g < 4; ++g)
    for (int v = 0; v < 128; ++v)
      for (int j = 0; j < 24; ++j) {
        int p = kPc2[24 * half + j] - 1 - 28 * half;  // position in the half
        if (p / 7 == g && (v & (1 << (6 - p % 7)))) t[g][v] |= 0x800000u >> j;
      }
  return t;
}
constexpr DesPc2Tables kDesPc2Left = MakeDesPc2Tables(0);
constexpr DesPc2Tables kDesPc2Right = MakeDesPc2Tables(1);

inline uint32_t DesPc2(const DesPc2Tables& t, uint32_t half) {
  return t[0][(half >> 21) & 127] | t[1][(half >> 14) & 127] | t[2][(half >> 7) & 127] | t[3][half & 127];
}
inline uint32_t Rotate28(uint32_t v, unsigned n) { return ((v << n) | (v >> (28 - n))) & 0xfffffff; }

// direction 0 builds the encryption schedule, 1 the decryption schedule
// (the same round keys in reverse order).
void Des_SetKey(const uint8_t key[8], int direction, uint32_t schedule[32]) {
  // The 56 key bits in PC-1 order as two 28-bit halves, first bit highest.
  uint32_t c = 0, d = 0;
  for (int j = 0; j < 56; ++j) {
    int pos = kPc1[j] - 1;
    uint32_t bit = (key[pos >> 3] >> (7 - (pos & 7))) & 1;
    if (j < 28) c |= bit << (27 - j);
    else d |= bit << (55 - j);
  }
  uint32_t raw[32];
  for (int i = 0; i < 16; ++i) {
    int m = direction ? (15 - i) * 2 : i * 2;
    raw[m] = DesPc2(kDesPc2Left, Rotate28(c, kTotalRotation[i]));
    raw[m + 1] = DesPc2(kDesPc2Right, Rotate28(d, kTotalRotation[i]));
  }
  Des_CookKey(raw, schedule);
}

inline uint32_t DesRoundF(uint32_t r, const uint32_t* keys) {
  uint32_t w = Des_RotateRight(r, 4) ^ keys[0];
  uint32_t f = kDesRound[6][w & 0x3f] ^ kDesRound[4][(w >> 8) & 0x3f] ^
               kDesRound[2][(w >> 16) & 0x3f] ^ kDesRound[0][(w >> 24) & 0x3f];
  w = r ^ keys[1];
  f ^= kDesRound[7][w & 0x3f] ^ kDesRound[5][(w >> 8) & 0x3f] ^ kDesRound[3][(w >> 16) & 0x3f] ^
       kDesRound[1][(w >> 24) & 0x3f];
  return f;
}

// One block: words[0] = left half, words[1] = right half, in and out.
void Des_Block(uint32_t words[2], const uint32_t schedule[32]) {
  uint32_t left = words[0], right = words[1], work;
  // Initial permutation as masked swaps.
  work = ((left >> 4) ^ right) & 0x0f0f0f0f;  right ^= work; left ^= work << 4;
  work = ((left >> 16) ^ right) & 0x0000ffff; right ^= work; left ^= work << 16;
  work = ((right >> 2) ^ left) & 0x33333333;  left ^= work;  right ^= work << 2;
  work = ((right >> 8) ^ left) & 0x00ff00ff;  left ^= work;  right ^= work << 8;
  right = Des_RotateLeft(right, 1);
  work = (left ^ right) & 0xaaaaaaaa;         left ^= work;  right ^= work;
  left = Des_RotateLeft(left, 1);

  const uint32_t* keys = schedule;
  for (int round = 0; round < 8; ++round, keys += 4) {
    left ^= DesRoundF(right, keys);
    right ^= DesRoundF(left, keys + 2);
  }

  // Final permutation: the swaps undone in reverse order, halves exchanged.
  right = Des_RotateRight(right, 1);
  work = (left ^ right) & 0xaaaaaaaa;         left ^= work;  right ^= work;
  left = Des_RotateRight(left, 1);
  work = ((left >> 8) ^ right) & 0x00ff00ff;  right ^= work; left ^= work << 8;
  work = ((left >> 2) ^ right) & 0x33333333;  right ^= work; left ^= work << 2;
  work = ((right >> 16) ^ left) & 0x0000ffff; left ^= work;  right ^= work << 16;
  work = ((right >> 4) ^ left) & 0x0f0f0f0f;  left ^= work;  right ^= work << 4;
  words[0] = right;
  words[1] = left;
}

uint32_t LoadBe32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
void StoreBe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

void DesRun(const uint8_t in[8], uint8_t out[8], const uint32_t schedule[32]) {
  uint32_t words[2] = {LoadBe32(in), LoadBe32(in + 4)};
  Des_Block(words, schedule);
  StoreBe32(out, words[0]);
  StoreBe32(out + 4, words[1]);
}

// ---------------------------------------------------------------- AES-256

constexpr uint8_t Aes_Xtime(uint8_t x) { return uint8_t((x << 1) ^ ((x & 0x80) ? 0x1b : 0)); }

// The S-box from its definition: the multiplicative inverse in GF(2^8)
// followed by the affine map.
constexpr uint8_t GfMul(uint8_t a, uint8_t b) {
  uint8_t p = 0;
  for (int i = 0; i < 8; ++i) {
    if (b & 1) p ^= a;
    a = Aes_Xtime(a);
    b >>= 1;
  }
  return p;
}
constexpr uint8_t Rotl8(uint8_t v, int n) { return uint8_t((v << n) | (v >> (8 - n))); }
constexpr std::array<uint8_t, 256> MakeAesSBox() {
  std::array<uint8_t, 256> s{};
  for (int x = 0; x < 256; ++x) {
    uint8_t inv = 0;  // x^254 = x^-1, and 0 for 0
    uint8_t power = uint8_t(x);
    for (int bit = 1; bit < 8; ++bit) {  // 254 = 0b11111110
      power = GfMul(power, power);
      inv = bit == 1 ? power : GfMul(inv, power);
    }
    s[x] = uint8_t(inv ^ Rotl8(inv, 1) ^ Rotl8(inv, 2) ^ Rotl8(inv, 3) ^ Rotl8(inv, 4) ^ 0x63);
  }
  return s;
}
constexpr std::array<uint8_t, 256> MakeAesInvSBox(const std::array<uint8_t, 256>& s) {
  std::array<uint8_t, 256> inv{};
  for (int x = 0; x < 256; ++x) inv[s[x]] = uint8_t(x);
  return inv;
}
constexpr std::array<uint8_t, 256> kAesSBox = MakeAesSBox();
constexpr std::array<uint8_t, 256> kAesInvSBox = MakeAesInvSBox(kAesSBox);
static_assert(kAesSBox[0x00] == 0x63 && kAesSBox[0x01] == 0x7c && kAesSBox[0x53] == 0xed &&
                  kAesSBox[0xff] == 0x16,
              "AES S-box");

struct AesContext {
  uint8_t key[32];     // working key: the pair of round keys in use
  uint8_t enckey[32];  // round keys 0 and 1
  uint8_t deckey[32];  // round key 14 in its first half
};

void Aes_SubBytes(uint8_t* buf) {
  for (int i = 0; i < 16; ++i) buf[i] = kAesSBox[buf[i]];
}
void Aes_InvSubBytes(uint8_t* buf) {
  for (int i = 0; i < 16; ++i) buf[i] = kAesInvSBox[buf[i]];
}
void Aes_AddRoundKey(uint8_t* buf, const uint8_t* key) {
  for (int i = 0; i < 16; ++i) buf[i] ^= key[i];
}
void Aes_AddRoundKeyCopy(uint8_t* buf, const uint8_t* key, uint8_t* copy) {
  for (int i = 0; i < 16; ++i) {
    copy[i] = key[i];
    buf[i] ^= key[i];
    copy[i + 16] = key[i + 16];
  }
}
// Byte 4c + r is row r of column c; row r moves r columns to the left.
void Aes_ShiftRows(uint8_t* buf) {
  uint8_t t[16];
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r) t[4 * c + r] = buf[4 * ((c + r) & 3) + r];
  std::memcpy(buf, t, 16);
}
void Aes_InvShiftRows(uint8_t* buf) {
  uint8_t t[16];
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r) t[4 * ((c + r) & 3) + r] = buf[4 * c + r];
  std::memcpy(buf, t, 16);
}
void Aes_MixColumns(uint8_t* buf) {
  for (int i = 0; i < 16; i += 4) {
    uint8_t a = buf[i], b = buf[i + 1], c = buf[i + 2], d = buf[i + 3];
    uint8_t e = a ^ b ^ c ^ d;
    buf[i] ^= e ^ Aes_Xtime(a ^ b);
    buf[i + 1] ^= e ^ Aes_Xtime(b ^ c);
    buf[i + 2] ^= e ^ Aes_Xtime(c ^ d);
    buf[i + 3] ^= e ^ Aes_Xtime(d ^ a);
  }
}
// The inverse matrix (14 11 13 9) split as the forward mix plus
// 4 * (2e + a + c) on rows 0 and 2 and 4 * (2e + b + d) on rows 1 and 3.
void Aes_InvMixColumns(uint8_t* buf) {
  for (int i = 0; i < 16; i += 4) {
    uint8_t a = buf[i], b = buf[i + 1], c = buf[i + 2], d = buf[i + 3];
    uint8_t e = a ^ b ^ c ^ d;
    uint8_t z = Aes_Xtime(e);
    uint8_t x = e ^ Aes_Xtime(Aes_Xtime(z ^ a ^ c));
    uint8_t y = e ^ Aes_Xtime(Aes_Xtime(z ^ b ^ d));
    buf[i] ^= x ^ Aes_Xtime(a ^ b);
    buf[i + 1] ^= y ^ Aes_Xtime(b ^ c);
    buf[i + 2] ^= x ^ Aes_Xtime(c ^ d);
    buf[i + 3] ^= y ^ Aes_Xtime(d ^ a);
  }
}
// One forward step of the key expansion: the next pair of round keys.
void Aes_ExpandEncKey(uint8_t* k, uint8_t* rc) {
  k[0] ^= kAesSBox[k[29]] ^ *rc;
  k[1] ^= kAesSBox[k[30]];
  k[2] ^= kAesSBox[k[31]];
  k[3] ^= kAesSBox[k[28]];
  *rc = Aes_Xtime(*rc);
  for (int i = 4; i < 16; i += 4)
    for (int j = 0; j < 4; ++j) k[i + j] ^= k[i + j - 4];
  for (int j = 0; j < 4; ++j) k[16 + j] ^= kAesSBox[k[12 + j]];
  for (int i = 20; i < 32; i += 4)
    for (int j = 0; j < 4; ++j) k[i + j] ^= k[i + j - 4];
}
// One backward step: the previous pair of round keys.
void Aes_ExpandDecKey(uint8_t* k, uint8_t* rc) {
  for (int i = 28; i > 16; i -= 4)
    for (int j = 0; j < 4; ++j) k[i + j] ^= k[i + j - 4];
  for (int j = 0; j < 4; ++j) k[16 + j] ^= kAesSBox[k[12 + j]];
  for (int i = 12; i > 0; i -= 4)
    for (int j = 0; j < 4; ++j) k[i + j] ^= k[i + j - 4];
  *rc = uint8_t((*rc >> 1) ^ ((*rc & 1) ? 0x8d : 0));
  k[0] ^= kAesSBox[k[29]] ^ *rc;
  k[1] ^= kAesSBox[k[30]];
  k[2] ^= kAesSBox[k[31]];
  k[3] ^= kAesSBox[k[28]];
}

void Aes_Init(AesContext* ctx, const uint8_t key[32]) {
  std::memcpy(ctx->enckey, key, 32);
  std::memcpy(ctx->deckey, key, 32);
  uint8_t rc = 1;
  for (int i = 0; i < 7; ++i) Aes_ExpandEncKey(ctx->deckey, &rc);
}
void Aes_Done(AesContext* ctx) {
  // Volatile stores: the context is dead afterwards and a plain memset
  // could be dropped.
  volatile uint8_t* p = reinterpret_cast<volatile uint8_t*>(ctx);
  for (size_t i = 0; i < sizeof *ctx; ++i) p[i] = 0;
}
void Aes_EncryptEcb(AesContext* ctx, uint8_t* buf) {
  Aes_AddRoundKeyCopy(buf, ctx->enckey, ctx->key);
  uint8_t rc = 1;
  for (int i = 1; i < 14; ++i) {
    Aes_SubBytes(buf);
    Aes_ShiftRows(buf);
    Aes_MixColumns(buf);
    if (i & 1) {
      Aes_AddRoundKey(buf, ctx->key + 16);
    } else {
      Aes_ExpandEncKey(ctx->key, &rc);
      Aes_AddRoundKey(buf, ctx->key);
    }
  }
  Aes_SubBytes(buf);
  Aes_ShiftRows(buf);
  Aes_ExpandEncKey(ctx->key, &rc);
  Aes_AddRoundKey(buf, ctx->key);
}
void Aes_DecryptEcb(AesContext* ctx, uint8_t* buf) {
  Aes_AddRoundKeyCopy(buf, ctx->deckey, ctx->key);
  Aes_InvShiftRows(buf);
  Aes_InvSubBytes(buf);
  uint8_t rc = 0x80;
  for (int n = 13; n >= 1; --n) {  // round key n
    if (n & 1) {
      Aes_ExpandDecKey(ctx->key, &rc);
      Aes_AddRoundKey(buf, ctx->key + 16);
    } else {
      Aes_AddRoundKey(buf, ctx->key);
    }
    Aes_InvMixColumns(buf);
    Aes_InvShiftRows(buf);
    Aes_InvSubBytes(buf);
  }
  Aes_AddRoundKey(buf, ctx->key);
}

// ---------------------------------------------------------------- MD5

constexpr uint32_t kMd5Sine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr uint32_t Md5F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
constexpr uint32_t Md5G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
constexpr uint32_t Md5H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
constexpr uint32_t Md5I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

template <uint32_t (*F)(uint32_t, uint32_t, uint32_t)>
inline void Md5Step(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, unsigned s,
                    uint32_t t) {
  a = b + RotateLeft(a + F(b, c, d) + x + t, s);
}

void Md5_Decode(uint32_t out[16], const uint8_t in[64]) {
  for (int i = 0; i < 16; ++i)
    out[i] = uint32_t(in[4 * i]) | uint32_t(in[4 * i + 1]) << 8 | uint32_t(in[4 * i + 2]) << 16 |
             uint32_t(in[4 * i + 3]) << 24;
}
void Md5_Encode(uint8_t* out, const uint32_t* in, size_t bytes) {
  for (size_t i = 0; i < bytes / 4; ++i) {
    out[4 * i] = uint8_t(in[i]);
    out[4 * i + 1] = uint8_t(in[i] >> 8);
    out[4 * i + 2] = uint8_t(in[i] >> 16);
    out[4 * i + 3] = uint8_t(in[i] >> 24);
  }
}

void Md5_Transform(uint32_t state[4], const uint8_t block[64]) {
  uint32_t x[16];
  Md5_Decode(x, block);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  const uint32_t* t = kMd5Sine;
  for (int i = 0; i < 16; i += 4, t += 4) {
    Md5Step<Md5F>(a, b, c, d, x[i], 7, t[0]);
    Md5Step<Md5F>(d, a, b, c, x[i + 1], 12, t[1]);
    Md5Step<Md5F>(c, d, a, b, x[i + 2], 17, t[2]);
    Md5Step<Md5F>(b, c, d, a, x[i + 3], 22, t[3]);
  }
  for (int i = 0; i < 16; i += 4, t += 4) {
    Md5Step<Md5G>(a, b, c, d, x[(5 * i + 1) & 15], 5, t[0]);
    Md5Step<Md5G>(d, a, b, c, x[(5 * i + 6) & 15], 9, t[1]);
    Md5Step<Md5G>(c, d, a, b, x[(5 * i + 11) & 15], 14, t[2]);
    Md5Step<Md5G>(b, c, d, a, x[(5 * i + 16) & 15], 20, t[3]);
  }
  for (int i = 0; i < 16; i += 4, t += 4) {
    Md5Step<Md5H>(a, b, c, d, x[(3 * i + 5) & 15], 4, t[0]);
    Md5Step<Md5H>(d, a, b, c, x[(3 * i + 8) & 15], 11, t[1]);
    Md5Step<Md5H>(c, d, a, b, x[(3 * i + 11) & 15], 16, t[2]);
    Md5Step<Md5H>(b, c, d, a, x[(3 * i + 14) & 15], 23, t[3]);
  }
  for (int i = 0; i < 16; i += 4, t += 4) {
    Md5Step<Md5I>(a, b, c, d, x[(7 * i) & 15], 6, t[0]);
    Md5Step<Md5I>(d, a, b, c, x[(7 * i + 7) & 15], 10, t[1]);
    Md5Step<Md5I>(c, d, a, b, x[(7 * i + 14) & 15], 15, t[2]);
    Md5Step<Md5I>(b, c, d, a, x[(7 * i + 21) & 15], 21, t[3]);
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

// ---------------------------------------------------------------- published

void Des_EncryptBlock(const uint8_t in[8], const uint8_t key[8], uint8_t out[8]) {
  Des_SetKey(key, 0, desEncSchedule);
  DesRun(in, out, desEncSchedule);
}

void Des_DecryptBlock(const uint8_t in[8], const uint8_t key[8], uint8_t out[8]) {
  Des_SetKey(key, 1, desDecSchedule);
  DesRun(in, out, desDecSchedule);
}

void Aes_EncryptBlock(uint8_t block[16], const uint8_t key[32]) {
  AesContext ctx;
  Aes_Init(&ctx, key);
  Aes_EncryptEcb(&ctx, block);
  Aes_Done(&ctx);
}

void Aes_DecryptBlock(uint8_t block[16], const uint8_t key[32]) {
  AesContext ctx;
  Aes_Init(&ctx, key);
  Aes_DecryptEcb(&ctx, block);
  Aes_Done(&ctx);
}

void Md5_Init(Md5Context* ctx) {
  ctx->countHigh = 0;
  ctx->countLow = 0;
  ctx->state[0] = 0x67452301;
  ctx->state[1] = 0xefcdab89;
  ctx->state[2] = 0x98badcfe;
  ctx->state[3] = 0x10325476;
}

// Any length is absorbed in full; the bit count is kept modulo 2^64.
void Md5_Update(Md5Context* ctx, const uint8_t* data, size_t length) {
  if (length == 0) return;
  size_t index = (ctx->countLow >> 3) & 63;
  uint64_t bits = (uint64_t(ctx->countHigh) << 32 | ctx->countLow) + (uint64_t(length) << 3);
  ctx->countLow = uint32_t(bits);
  ctx->countHigh = uint32_t(bits >> 32);

  size_t part = 64 - index;
  size_t i = 0;
  if (length >= part) {
    std::memcpy(ctx->buffer + index, data, part);
    Md5_Transform(ctx->state, ctx->buffer);
    for (i = part; length - i >= 64; i += 64) Md5_Transform(ctx->state, data + i);
    index = 0;
  }
  std::memcpy(ctx->buffer + index, data + i, length - i);
}

void Md5_Final(Md5Context* ctx, uint8_t digest[16]) {
  static const uint8_t kPadding[64] = {0x80};
  uint8_t bits[8];
  uint32_t count[2] = {ctx->countLow, ctx->countHigh};
  Md5_Encode(bits, count, 8);
  size_t index = (ctx->countLow >> 3) & 63;
  Md5_Update(ctx, kPadding, index < 56 ? 56 - index : 120 - index);
  Md5_Update(ctx, bits, 8);
  Md5_Encode(digest, ctx->state, 16);
}

void Hmac_Md5(Md5Context* ctx, const uint8_t* data, size_t length, const uint8_t key[16],
              uint8_t mac[16]) {
  uint8_t innerPad[64] = {}, outerPad[64] = {};
  std::memcpy(innerPad, key, 16);
  std::memcpy(outerPad, key, 16);
  for (int i = 0; i < 64; ++i) {
    innerPad[i] ^= 0x36;
    outerPad[i] ^= 0x5c;
  }
  uint8_t inner[16];
  Md5_Init(ctx);
  Md5_Update(ctx, innerPad, 64);
  Md5_Update(ctx, data, length);
  Md5_Final(ctx, inner);
  std::memcpy(mac, inner, 16);
  Md5_Init(ctx);
  Md5_Update(ctx, outerPad, 64);
  Md5_Update(ctx, inner, 16);
  Md5_Final(ctx, mac);
}

void Usm_PasswordToKeyMd5(Md5Context* ctx, uint8_t key[16], const uint8_t* password,
                          uint8_t passwordLen, const uint8_t* engineId, uint16_t engineIdLen) {
  if (passwordLen == 0) {
    // No password to repeat: a defined key instead of a division by zero.
    std::memset(key, 0, 16);
    return;
  }
  // The password repeated over passwordLen + 64 bytes: the 64 bytes that
  // start at any offset below passwordLen continue the repetition.
  uint8_t repeated[255 + 64];
  for (unsigned i = 0; i < passwordLen + 64u; ++i) repeated[i] = password[i % passwordLen];
  unsigned index = 0;  // running counter modulo the password length
  Md5_Init(ctx);
  for (int n = 0; n < 16384; ++n) {  // 16384 * 64 bytes = 1 MiB
    Md5_Update(ctx, repeated + index, 64);
    index = (index + 64) % passwordLen;
  }
  uint8_t ku[16];
  Md5_Final(ctx, ku);
  // Localisation: MD5(Ku || engine id || Ku), fed in pieces so that an
  // engine id of any length is hashed in full.
  Md5_Init(ctx);
  Md5_Update(ctx, ku, 16);
  Md5_Update(ctx, engineId, engineIdLen);
  Md5_Update(ctx, ku, 16);
  Md5_Final(ctx, key);
}
