// The service's ciphers and digests against libcrypto on random inputs.
// libcrypto is linked into this test only, as an independent peer.
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level DES_, AES_ and MD5 calls
#include <gtest/gtest.h>
#include <openssl/aes.h>
#include <openssl/des.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/md5.h>

#include <cstring>
#include <random>
#include <vector>

#include "core/crypt.h"

namespace {

class CryptPeer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Crypt_Init(); }
  std::mt19937 rng{20240611};
  Md5Context ctx{};

  void Fill(uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] = uint8_t(rng());
  }
  std::vector<uint8_t> Random(size_t n) {
    std::vector<uint8_t> v(n);
    Fill(v.data(), n);
    return v;
  }
};

// Lengths around the padding and block boundaries, and beyond 16 bits.
const size_t kLengths[] = {0,   1,   55,  56,  57,   63,    64,    65,    119,   120,
                           127, 128, 129, 1000, 4096, 65535, 65536, 65537, 200003};

TEST_F(CryptPeer, DesEcbMatchesOnRandomKeysAndBlocks) {
  for (int n = 0; n < 5000; ++n) {
    uint8_t key[8], plain[8], ours[8], back[8];
    Fill(key, 8);
    Fill(plain, 8);
    DES_key_schedule ks;
    DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(key), &ks);
    DES_cblock peer;
    DES_ecb_encrypt(reinterpret_cast<const_DES_cblock*>(plain), &peer, &ks, DES_ENCRYPT);
    CryptOps.Des_EncryptBlock(plain, key, ours);
    ASSERT_EQ(std::memcmp(ours, peer, 8), 0) << "block " << n;
    CryptOps.Des_DecryptBlock(ours, key, back);
    ASSERT_EQ(std::memcmp(back, plain, 8), 0) << "block " << n;
    // Decrypting random data must agree too, not only undo our encryption.
    DES_ecb_encrypt(reinterpret_cast<const_DES_cblock*>(plain), &peer, &ks, DES_DECRYPT);
    CryptOps.Des_DecryptBlock(plain, key, ours);
    ASSERT_EQ(std::memcmp(ours, peer, 8), 0) << "block " << n;
  }
}

TEST_F(CryptPeer, Aes256EcbMatchesOnRandomKeysAndBlocks) {
  for (int n = 0; n < 5000; ++n) {
    uint8_t key[32], plain[16], block[16], peer[16];
    Fill(key, 32);
    Fill(plain, 16);
    AES_KEY enc, dec;
    AES_set_encrypt_key(key, 256, &enc);
    AES_set_decrypt_key(key, 256, &dec);
    AES_encrypt(plain, peer, &enc);
    std::memcpy(block, plain, 16);
    CryptOps.Aes_EncryptBlock(block, key);
    ASSERT_EQ(std::memcmp(block, peer, 16), 0) << "block " << n;
    CryptOps.Aes_DecryptBlock(block, key);
    ASSERT_EQ(std::memcmp(block, plain, 16), 0) << "block " << n;
    AES_decrypt(plain, peer, &dec);
    std::memcpy(block, plain, 16);
    CryptOps.Aes_DecryptBlock(block, key);
    ASSERT_EQ(std::memcmp(block, peer, 16), 0) << "block " << n;
  }
}

TEST_F(CryptPeer, Md5MatchesInOneCallAndInRandomPieces) {
  std::vector<size_t> lengths(std::begin(kLengths), std::end(kLengths));
  for (int n = 0; n < 300; ++n) lengths.push_back(rng() % 700);
  for (size_t len : lengths) {
    SCOPED_TRACE(len);
    auto data = Random(len);
    uint8_t peer[16], ours[16];
    MD5(data.data(), len, peer);

    CryptOps.Md5_Init(&ctx);
    CryptOps.Md5_Update(&ctx, data.data(), len);
    CryptOps.Md5_Final(&ctx, ours);
    ASSERT_EQ(std::memcmp(ours, peer, 16), 0) << "one call";

    CryptOps.Md5_Init(&ctx);
    for (size_t off = 0; off < len;) {
      size_t piece = std::min(len - off, size_t(rng() % 150));
      CryptOps.Md5_Update(&ctx, data.data() + off, piece);
      off += piece;
    }
    CryptOps.Md5_Final(&ctx, ours);
    ASSERT_EQ(std::memcmp(ours, peer, 16), 0) << "in pieces";
  }
}

TEST_F(CryptPeer, HmacMd5Matches) {
  std::vector<size_t> lengths(std::begin(kLengths), std::end(kLengths));
  for (int n = 0; n < 300; ++n) lengths.push_back(rng() % 1500);
  for (size_t len : lengths) {
    SCOPED_TRACE(len);
    auto data = Random(len);
    uint8_t key[16], peer[16], ours[16];
    Fill(key, 16);
    unsigned peerLen = 0;
    ASSERT_NE(HMAC(EVP_md5(), key, 16, data.data(), len, peer, &peerLen), nullptr);
    ASSERT_EQ(peerLen, 16u);
    CryptOps.Hmac_Md5(&ctx, data.data(), len, key, ours);
    ASSERT_EQ(std::memcmp(ours, peer, 16), 0);
  }
}

// The user key is MD5 over one mebibyte of the repeated password; the
// localised key is MD5(Ku || engine id || Ku), for engine ids of any length.
TEST_F(CryptPeer, PasswordToKeyMatchesTheDefinition) {
  struct Case {
    size_t password, engineId;
  } cases[] = {{1, 12}, {7, 0}, {8, 5}, {10, 32}, {63, 33}, {64, 64}, {65, 300}, {255, 17}};
  std::vector<uint8_t> stream(1 << 20);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.password << "/" << c.engineId);
    auto password = Random(c.password), engineId = Random(c.engineId);
    for (size_t i = 0; i < stream.size(); ++i) stream[i] = password[i % c.password];
    uint8_t ku[16];
    MD5(stream.data(), stream.size(), ku);
    std::vector<uint8_t> local(ku, ku + 16);
    local.insert(local.end(), engineId.begin(), engineId.end());
    local.insert(local.end(), ku, ku + 16);
    uint8_t peer[16], ours[16];
    MD5(local.data(), local.size(), peer);

    CryptOps.Usm_PasswordToKeyMd5(&ctx, ours, password.data(), uint8_t(c.password), engineId.data(),
                                  uint16_t(c.engineId));
    ASSERT_EQ(std::memcmp(ours, peer, 16), 0);
  }
}

}  // namespace
