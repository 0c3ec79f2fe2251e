// SMS through a GSM modem: the slot, the stepwise AT dialogue on port slot
// 1, the SMS-SUBMIT PDU and the trace.
#include "events/sms.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>

#include "core/svc.h"
#include "core/util.h"
#include "ups/com.h"

SmsSettings SmsSetting;
SmsSlotRecord SmsSlot;
SmsOpsTable SmsOps;
int SmsReadPauseMs = 100;

namespace {

constexpr uint8_t kSlot = 1;             // the modem's port slot
constexpr int kGiveUpStep = 50;          // a phone whose message is not confirmed by then is given up
constexpr int kPduCharacters = 64;       // UCS-2 characters in one PDU
constexpr int kTextCharacters = 160;     // characters in one text-mode message
constexpr char kCtrlZ = 26;

int g_phone;         // the phone being served
int g_step;          // step of the dialogue with that phone
uint8_t g_traceOn;
FILE* g_trace;
char g_pdu[2 * 200 + 2];  // the PDU of the current phone, hex and Ctrl-Z
// What the modem answered since the message went out, so an "OK" that
// comes in two reads is still seen.
char g_answer[256];
size_t g_answerLength;

// ---- trace -------------------------------------------------------------------

__attribute__((format(printf, 1, 2))) void Trace(const char* format, ...) {
  if (!g_trace) return;
  va_list ap;
  va_start(ap, format);
  vfprintf(g_trace, format, ap);
  va_end(ap);
  fflush(g_trace);
}

void TraceBytes(const char* prefix, const char* bytes, size_t n) {
  if (!g_trace) return;
  fputs(prefix, g_trace);
  for (size_t i = 0; i < n; ++i) fprintf(g_trace, "<%02X>", static_cast<unsigned char>(bytes[i]));
  fputc('\n', g_trace);
  fflush(g_trace);
}

void TraceClose() {
  if (g_trace) fclose(g_trace);
  g_trace = nullptr;
}

void TraceOpen() {
  TraceClose();
  if (!g_traceOn) return;
  char path[320];
  Svc_TmpPath(path, sizeof path, SMS_TRACE_NAME);
  g_trace = UF_FOpenNoFollow(path, "w", 0600);
}

// ---- texts -------------------------------------------------------------------

// The digits of a phone number, with its leading "+" when it has one;
// anything else in the setting is left out.
std::string CleanNumber(const char* number) {
  std::string out;
  const char* p = number;
  if (*p == '+') out += *p++;
  for (; *p; ++p)
    if (*p >= '0' && *p <= '9') out += *p;
  return out;
}

// At most `characters` characters of a wide text in the locale's multibyte
// encoding; control characters (Ctrl-Z would end the message) and
// characters the locale cannot write become '?'.
std::string TextOf(const wchar_t* text, int characters) {
  std::string out;
  mbstate_t st{};
  for (int i = 0; i < characters && i < SMS_TEXT && text[i]; ++i) {
    char mb[MB_LEN_MAX];
    wchar_t w = text[i];
    size_t k = (w < 0x20 || w == 0x7F) ? static_cast<size_t>(-1) : wcrtomb(mb, w, &st);
    if (k == static_cast<size_t>(-1)) {
      st = mbstate_t{};
      out += '?';
    } else {
      out.append(mb, k);
    }
  }
  return out;
}

// ---- port --------------------------------------------------------------------

// Waits until the modem has sent something, at most ms milliseconds: a
// prompt answer ends the wait at once, a slow one still gets the whole time.
void WaitForBytes(int ms) {
  if (ms <= 0) return;
  const int fd = ComSlot.fd[kSlot];
  if (fd < 0) {
    usleep(static_cast<useconds_t>(ms) * 1000);
    return;
  }
  struct pollfd p{fd, POLLIN, 0};
  poll(&p, 1, ms);
}

bool Write(const char* bytes, size_t n) {
  return ComOps.Write && ComOps.Write(kSlot, static_cast<int>(n), reinterpret_cast<const uint8_t*>(bytes)) == 1;
}

// Reads what the modem sends, while it keeps sending, into buffer (size
// bytes, terminated); returns the length.
size_t Sms_ReadReply(char* buffer, size_t size) {
  size_t used = 0;
  for (int round = 0; round < 100 && used + 1 < size; ++round) {
    WaitForBytes(round == 0 ? SmsReadPauseMs : SmsReadPauseMs / 10);
    int n = round == 0 ? 100 : 10;
    if (static_cast<size_t>(n) > size - 1 - used) n = static_cast<int>(size - 1 - used);
    if (!ComOps.Read || !ComOps.Read(kSlot, &n, reinterpret_cast<uint8_t*>(buffer + used)) || n <= 0) break;
    used += static_cast<size_t>(n);
  }
  buffer[used] = 0;
  return used;
}

// "AT": 1 when the modem answers "OK".
int Sms_ProbeModem() {
  if (ComOps.ClearRx) ComOps.ClearRx(kSlot);
  Write("AT\r", 3);
  Trace("Tx: AT\n");
  char reply[65];
  Sms_ReadReply(reply, sizeof reply);
  Trace("Rx: %s\n", reply);
  return reply[0] && strstr(reply, "OK") ? 1 : 0;
}

// ---- dialogue ----------------------------------------------------------------

int PhoneCount() { return SmsSetting.phoneCount > SMS_PHONES ? SMS_PHONES : SmsSetting.phoneCount; }

bool Serves(int i) {
  const SmsPhone& p = SmsSetting.phones[i];
  return p.level >= 1 && p.level <= SmsSlot.level && CleanNumber(p.number).find_first_of("0123456789") != std::string::npos;
}

bool ServesFrom(int first) {
  for (int i = first; i < PhoneCount(); ++i)
    if (Serves(i)) return true;
  return false;
}

void EmptySlot() {
  SmsSlot.pending = 0;
  g_phone = 0;
  g_step = 0;
}

// The message has gone to every phone (or the list changed under it):
// the port and the trace close.
void Finish() {
  if (ComOps.Close) ComOps.Close(kSlot);
  Trace("Close port.\n");
  TraceClose();
  EmptySlot();
}

void Sms_SetPort(uint8_t port, uint8_t baud) {
  if (ComOps.Close) ComOps.Close(kSlot);
  ComSlot.port[kSlot] = port;
  ComSlot.scan[kSlot] = 0;
  ComSlot.detect[kSlot] = 0;
  SmsSetting.port = port;
  SmsSetting.baud = baud;
  TraceClose();
  EmptySlot();
}

void Sms_Step(int pdu) {
  if (!SmsSlot.pending || SmsSetting.port == 0) {
    g_step = 0;
    return;
  }
  const int count = PhoneCount();
  if (count == 0) {
    EmptySlot();
    return;
  }
  // The web may shorten the list while a message is under way.
  if (g_phone >= count) {
    if (g_step > 0) Finish();
    else EmptySlot();
    return;
  }
  if (!Serves(g_phone)) {
    ++g_phone;  // one phone per call
    return;
  }
  const SmsPhone& phone = SmsSetting.phones[g_phone];
  char line[128];
  char reply[256];
  switch (++g_step) {
    case 1:
      TraceOpen();
      if (ComOps.Open && ComOps.Open(kSlot, Sms_BaudRate(SmsSetting.baud), 0, 8, 1, nullptr)) {
        if (ComOps.ClearRx) ComOps.ClearRx(kSlot);
        Trace("Open SMS COM%d OK.\n", SmsSetting.port);
        if (!Sms_ProbeModem()) {
          Trace("Cannot find a GSM modem for SMS.\n");
          TraceClose();
          if (ComOps.Close) ComOps.Close(kSlot);
          EmptySlot();
        }
      } else {
        Trace("Open SMS COM Port%d failed.\n", SmsSetting.port);
        TraceClose();
        EmptySlot();
      }
      break;
    case 2:
      snprintf(line, sizeof line, "AT+CMGF=%d\r", pdu ? 0 : 1);
      Write(line, strlen(line));
      Trace("Tx: %s\n", line);
      break;
    case 3: {
      Sms_ReadReply(reply, sizeof reply);
      Trace("Rx: %s\n", reply);
      std::string number = CleanNumber(phone.number);
      if (pdu) {
        int octets = Sms_BuildPdu(number.c_str(), SmsSlot.text, g_pdu, sizeof g_pdu);
        snprintf(line, sizeof line, "AT+CMGS=%d\r", octets);
      } else {
        snprintf(line, sizeof line, "AT+CMGS=\"%s\"\r", number.c_str());
      }
      Write(line, strlen(line));
      Trace("Tx: %s\n", line);
      break;
    }
    case 4: {
      Sms_ReadReply(reply, sizeof reply);
      Trace("Rx: %s\n", reply);
      g_answerLength = 0;
      g_answer[0] = 0;
      if (pdu) {
        size_t n = strlen(g_pdu);
        Write(g_pdu, n);
        TraceBytes("Tx: ", g_pdu, n);
      } else {
        std::string text = TextOf(SmsSlot.text, kTextCharacters);
        text += kCtrlZ;
        Write(text.data(), text.size());
        text.pop_back();
        Trace("Tx: %s<1A>\n", text.c_str());
      }
      break;
    }
    default: {
      size_t n = Sms_ReadReply(reply, sizeof reply);
      TraceBytes("Rx: ", reply, n);
      // Keep the end of what came before, so "O" + "K" across reads count.
      if (g_answerLength + n >= sizeof g_answer) {
        size_t keep = g_answerLength < 4 ? g_answerLength : 4;
        memmove(g_answer, g_answer + g_answerLength - keep, keep);
        g_answerLength = keep;
      }
      if (n > sizeof g_answer - 1 - g_answerLength) n = sizeof g_answer - 1 - g_answerLength;
      memcpy(g_answer + g_answerLength, reply, n);
      g_answerLength += n;
      g_answer[g_answerLength] = 0;
      if (!memmem(g_answer, g_answerLength, "OK", 2) && g_step < kGiveUpStep) return;
      // Sent, or given up: the next phone starts at AT+CMGS.
      ++g_phone;
      g_step = 0;
      if (ServesFrom(g_phone)) g_step = 2;
      else Finish();
      break;
    }
  }
}

}  // namespace

int Sms_BaudRate(uint8_t index) { return index <= 3 ? 2400 << index : 115200; }

int Sms_BuildPdu(const char* number, const wchar_t* text, char* out, size_t size) {
  if (!out || size == 0) return 0;
  std::string hex = "003100";  // default service centre; SMS-SUBMIT, relative validity, report; reference
  char b[8];
  const char* p = number ? number : "";
  const bool international = *p == '+';
  if (international) ++p;
  std::string digits;
  for (; *p && digits.size() < 20; ++p)
    if (*p >= '0' && *p <= '9') digits += *p;
  snprintf(b, sizeof b, "%02X%s", static_cast<unsigned>(digits.size()), international ? "91" : "81");
  hex += b;
  for (size_t i = 0; i < digits.size(); i += 2) {
    hex += i + 1 < digits.size() ? digits[i + 1] : 'F';
    hex += digits[i];
  }
  hex += "0008A7";  // protocol, UCS-2, 24 hours
  int characters = 0;
  while (text && characters < kPduCharacters && text[characters]) ++characters;
  snprintf(b, sizeof b, "%02X", static_cast<unsigned>(2 * characters));
  hex += b;
  for (int i = 0; i < characters; ++i) {
    uint32_t w = static_cast<uint32_t>(text[i]);
    // UCS-2 has the Basic Multilingual Plane only, and no surrogates.
    if (w > 0xFFFF || (w >= 0xD800 && w <= 0xDFFF)) w = '?';
    snprintf(b, sizeof b, "%04X", static_cast<unsigned>(w));
    hex += b;
  }
  const int octets = static_cast<int>((hex.size() - 2) / 2);
  hex += kCtrlZ;
  snprintf(out, size, "%s", hex.c_str());
  return octets;
}

void Sms_Init(const char* /*installDir*/) {
  g_traceOn = 1;
  SmsOps.SetPort = Sms_SetPort;
  SmsOps.Step = Sms_Step;
  Sms_SetPort(SmsSetting.port, SmsSetting.baud);
}

void Sms_Exit() { TraceClose(); }
