// Throughput of the service's MD5 and DES beside libcrypto's on the same
// input in the same run, and the time of one SNMPv3 password-to-key.
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level DES_ and MD5 calls
#include <openssl/des.h>
#include <openssl/md5.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "core/crypt.h"

namespace {

using Clock = std::chrono::steady_clock;
volatile uint8_t sink;

// Runs fn until at least minSeconds have passed; returns calls per second.
template <class F>
double Rate(F fn, double minSeconds = 0.5) {
  long calls = 0;
  auto start = Clock::now();
  double elapsed = 0;
  do {
    for (int i = 0; i < 16; ++i) fn();
    calls += 16;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < minSeconds);
  return calls / elapsed;
}

void Row(const char* what, double ours, double peer, const char* unit) {
  printf("  %-34s %10.1f %s   libcrypto %10.1f %s   ratio %.2f\n", what, ours, unit, peer, unit, ours / peer);
}

}  // namespace

int main() {
  Crypt_Init();
  std::mt19937 rng(1);
  std::vector<uint8_t> data(1 << 20);
  for (auto& b : data) b = uint8_t(rng());
  const double mib = double(data.size()) / (1 << 20);

  printf("MD5 over 1 MiB of random data\n");
  Md5Context ctx;
  uint8_t ours[16], peer[16];
  double oursRate = Rate([&] {
    CryptOps.Md5_Init(&ctx);
    CryptOps.Md5_Update(&ctx, data.data(), data.size());
    CryptOps.Md5_Final(&ctx, ours);
    sink = ours[0];
  });
  double peerRate = Rate([&] {
    MD5(data.data(), data.size(), peer);
    sink = peer[0];
  });
  Row("MD5", oursRate * mib, peerRate * mib, "MiB/s");
  printf("  same digest: %s\n", memcmp(ours, peer, 16) ? "NO" : "yes");

  printf("DES-ECB over 64 KiB of random data, key schedule built for every block\n");
  const size_t blocks = 8192;
  uint8_t key[8];
  for (auto& b : key) b = uint8_t(rng());
  std::vector<uint8_t> outOurs(blocks * 8), outPeer(blocks * 8);
  oursRate = Rate([&] {
    for (size_t i = 0; i < blocks; ++i) CryptOps.Des_EncryptBlock(&data[8 * i], key, &outOurs[8 * i]);
    sink = outOurs[0];
  });
  peerRate = Rate([&] {
    for (size_t i = 0; i < blocks; ++i) {
      DES_key_schedule ks;
      DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(key), &ks);
      DES_ecb_encrypt(reinterpret_cast<const_DES_cblock*>(&data[8 * i]),
                      reinterpret_cast<DES_cblock*>(&outPeer[8 * i]), &ks, DES_ENCRYPT);
    }
    sink = outPeer[0];
  });
  const double kib64 = blocks * 8.0 / (1 << 20);
  Row("DES encrypt (schedule per block)", oursRate * kib64, peerRate * kib64, "MiB/s");
  DES_key_schedule cached;
  DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(key), &cached);
  double cachedRate = Rate([&] {
    for (size_t i = 0; i < blocks; ++i)
      DES_ecb_encrypt(reinterpret_cast<const_DES_cblock*>(&data[8 * i]),
                      reinterpret_cast<DES_cblock*>(&outPeer[8 * i]), &cached, DES_ENCRYPT);
    sink = outPeer[0];
  });
  printf("  %-34s %10s         libcrypto %10.1f MiB/s\n", "DES encrypt (schedule kept)", "", cachedRate * kib64);
  printf("  same ciphertext: %s\n", outOurs == outPeer ? "yes" : "NO");

  printf("SNMPv3 password-to-key (1 MiB of MD5, 12-byte engine id)\n");
  const uint8_t password[] = "maplesyrup";
  const uint8_t engineId[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
  double keyRate = Rate(
      [&] {
        CryptOps.Usm_PasswordToKeyMd5(&ctx, ours, password, 10, engineId, sizeof engineId);
        sink = ours[0];
      },
      1.0);
  printf("  %-34s %10.3f ms per key\n", "Usm_PasswordToKeyMd5", 1000.0 / keyRate);
  return 0;
}
