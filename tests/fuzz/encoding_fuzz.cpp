// Fuzzes the Base64 and radix-64 decoders: the first input byte is the
// output capacity, the rest the text. The output buffer is exactly that
// large, so a write past the capacity trips the sanitizer. Also checks that
// encoding any bytes decodes back to them.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/crypt.h"

namespace {
void Check(bool ok) {
  if (!ok) abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (Crypt_Init(), true);
  (void)ready;
  if (size < 1 || size > 4096) return 0;
  const int capacity = data[0];
  const char* text = reinterpret_cast<const char*>(data + 1);
  const int n = int(size - 1);
  auto out = std::make_unique<uint8_t[]>(size_t(capacity));

  int len = capacity;
  int r = CryptOps.B64_Decode(text, n, out.get(), &len);
  if (r < 0) Check(r == -1 && len == capacity);
  else Check(r == len && len <= capacity);

  r = CryptOps.Radix64_Decode(out.get(), text, n, capacity);
  if (r != 0) {
    // A text over the crypt alphabet is the encoding of what it decodes to.
    Check(r == n / 4 * 3 && r <= capacity);
    auto again = std::make_unique<char[]>(size_t(n));
    Check(CryptOps.Radix64_Encode(again.get(), out.get(), r) == n);
    Check(memcmp(again.get(), text, size_t(n)) == 0);
  }

  // Encoding the whole input decodes back to it (radix-64 adds zero bytes
  // up to a multiple of 3).
  const int whole = int(size);
  const int textLen = 4 * ((whole + 2) / 3);
  auto encoded = std::make_unique<char[]>(size_t(textLen));
  auto decoded = std::make_unique<uint8_t[]>(size_t(textLen));
  Check(CryptOps.B64_Encode(encoded.get(), data, whole) == textLen);
  len = whole;
  Check(CryptOps.B64_Decode(encoded.get(), textLen, decoded.get(), &len) == whole);
  Check(memcmp(decoded.get(), data, size) == 0);
  Check(CryptOps.Radix64_Encode(encoded.get(), data, whole) == textLen);
  const int padded = textLen / 4 * 3;
  Check(CryptOps.Radix64_Decode(decoded.get(), encoded.get(), textLen, padded) == padded);
  Check(memcmp(decoded.get(), data, size) == 0);
  for (int i = whole; i < padded; ++i) Check(decoded[size_t(i)] == 0);
  return 0;
}
