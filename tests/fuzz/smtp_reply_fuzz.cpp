// Fuzzes what a mail server and the settings feed in. An even first byte:
// the rest is the bytes of SMTP replies, fed in pieces of 1..16 bytes
// (sizes from the second byte on) until each reply ends, as an EHLO reply
// or not; every reply must end on its final line with a code of 0..999 and
// a terminated final line. An odd first byte: the rest splits at the first
// NUL into a phone number and a text (each further 2 bytes one wide
// character), and the PDU built from them must be upper-case hex ended by
// Ctrl-Z with the octet count that AT+CMGS announces.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "events/mail.h"
#include "events/sms.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

void Replies(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  size_t at = 0;
  size_t k = 0;
  // One reader for every reply, begun anew for each, as the mail client
  // keeps it.
  static SmtpReply r;
  while (at < size) {
    r.Begin((k & 1) == 0);
    while (at < size && !r.Done()) {
      size_t piece = 1 + data[(at + k) % size] % 16;
      if (piece > size - at) piece = size - at;
      size_t used = r.Feed(bytes + at, piece);
      Check(used >= 1 && used <= piece);
      at += used;
    }
    if (r.Done()) {
      Check(r.Code() >= 0 && r.Code() <= 999);
      Check(strlen(r.FinalLine()) < 1024);
    }
    ++k;
  }
}

void Pdu(const uint8_t* data, size_t size) {
  const uint8_t* nul = static_cast<const uint8_t*>(memchr(data, 0, size));
  size_t numberLength = nul ? static_cast<size_t>(nul - data) : size;
  std::string number(reinterpret_cast<const char*>(data), numberLength);
  std::vector<wchar_t> text;
  for (size_t i = numberLength + 1; i + 1 < size; i += 2) {
    wchar_t w = static_cast<wchar_t>(data[i] | (data[i + 1] << 8) | ((data[i] & 1) ? 0x10000 : 0));
    if (w == 0) w = 1;
    text.push_back(w);
  }
  text.push_back(0);
  char out[600];
  int octets = Sms_BuildPdu(number.c_str(), text.data(), out, sizeof out);
  size_t n = strlen(out);
  Check(n >= 2 && out[n - 1] == 26);
  for (size_t i = 0; i + 1 < n; ++i) Check(isdigit(static_cast<unsigned char>(out[i])) || (out[i] >= 'A' && out[i] <= 'F'));
  Check((n - 1) % 2 == 0 && octets == static_cast<int>((n - 1 - 2) / 2));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if ((data[0] & 1) == 0) Replies(data + 1, size - 1);
  else Pdu(data + 1, size - 1);
  return 0;
}
