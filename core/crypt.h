// The crypto operation table: the service's own ciphers, digests and text
// encodings, reached by every module through CryptOps, which also carries
// the 32-byte configuration key. Crypt_Init fills it once at start.
#pragma once
#include <cstddef>
#include <cstdint>

// Caller-owned state of one MD5 computation.
struct Md5Context {
  uint32_t countHigh;
  uint32_t countLow;
  uint32_t state[4];
  uint8_t buffer[64];
};

// The encoders write no terminating NUL: callers that need a text add it.
struct CryptOpsTable {
  // Base64 (RFC 4648). Decode: outLen is the capacity on entry and the
  // decoded length on success; returns the decoded length, or -1 on failure
  // (outLen unchanged).
  int (*B64_Decode)(const char* text, int textLen, uint8_t* out, int* outLen);
  int (*B64_Encode)(char* out, const uint8_t* in, int n);
  uint16_t (*Crc16_Modbus)(const uint8_t* data, int length);
  uint16_t (*Crc16_Arc)(const uint8_t* data, int length);
  void (*Radix64_FromInt)(char* out, uint32_t value, uint8_t count);
  void (*Hex_ByteToText)(uint8_t value, char* out, uint8_t upper);
  // The digests absorb any length in full. Password-to-key: a password of
  // 1 to 255 bytes (an empty one gives 16 zero bytes), an engine id of any
  // length. HMAC-MD5 takes a 16-byte key and writes the full 16-byte MAC.
  void (*Md5_Init)(Md5Context* ctx);
  void (*Md5_Update)(Md5Context* ctx, const uint8_t* data, size_t length);
  void (*Md5_Final)(Md5Context* ctx, uint8_t digest[16]);
  void (*Usm_PasswordToKeyMd5)(Md5Context* ctx, uint8_t key[16], const uint8_t* password,
                               uint8_t passwordLen, const uint8_t* engineId, uint16_t engineIdLen);
  void (*Hmac_Md5)(Md5Context* ctx, const uint8_t* data, size_t length, const uint8_t key[16],
                   uint8_t mac[16]);
  // Radix-64 with the crypt alphabet: 4 characters per 3 bytes, no padding.
  int (*Radix64_Encode)(char* out, const uint8_t* in, int n);
  // Writes 3 * (n / 4) bytes; 0 when that exceeds capacity, n is not a
  // multiple of 4 or a character is outside the alphabet.
  int (*Radix64_Decode)(uint8_t* out, const char* text, int n, int capacity);
  void (*Des_EncryptBlock)(const uint8_t in[8], const uint8_t key[8], uint8_t out[8]);
  void (*Des_DecryptBlock)(const uint8_t in[8], const uint8_t key[8], uint8_t out[8]);
  uint8_t configKey[32];
  void (*Aes_EncryptBlock)(uint8_t block[16], const uint8_t key[32]);
  void (*Aes_DecryptBlock)(uint8_t block[16], const uint8_t key[32]);
  uint8_t (*Crypt_Sum8)(const uint8_t* data, int length);
  uint32_t (*Hex_TextToInt)(const char* text, uint8_t maxDigits);
  void (*Hex_ByteToText2)(uint8_t value, char* out, uint8_t upper);
};
extern CryptOpsTable CryptOps;

void Crypt_Init();
void Crypt_Exit();
