// The service's own block ciphers and digests. Only core/crypt.cpp uses this
// header: it publishes these functions in CryptOps, and every other module
// reaches them through that table.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/crypt.h"

// DES (single block, electronic codebook). The parity bits of the key are
// ignored; in and out may be the same buffer. Not re-entrant: the key
// schedules are static.
void Des_EncryptBlock(const uint8_t in[8], const uint8_t key[8], uint8_t out[8]);
void Des_DecryptBlock(const uint8_t in[8], const uint8_t key[8], uint8_t out[8]);

// AES-256 on one 16-byte block in place.
void Aes_EncryptBlock(uint8_t block[16], const uint8_t key[32]);
void Aes_DecryptBlock(uint8_t block[16], const uint8_t key[32]);

// MD5 over the caller's context; Md5_Final does not clear the context.
void Md5_Init(Md5Context* ctx);
void Md5_Update(Md5Context* ctx, const uint8_t* data, size_t length);
void Md5_Final(Md5Context* ctx, uint8_t digest[16]);

// HMAC-MD5 with a 16-byte key; ctx is the working state. Writes all 16 bytes.
void Hmac_Md5(Md5Context* ctx, const uint8_t* data, size_t length, const uint8_t key[16],
              uint8_t mac[16]);

// SNMPv3 user key localised to an engine id (MD5, one mebibyte of the
// repeated password). An empty password gives a key of 16 zero bytes.
void Usm_PasswordToKeyMd5(Md5Context* ctx, uint8_t key[16], const uint8_t* password,
                          uint8_t passwordLen, const uint8_t* engineId, uint16_t engineIdLen);
