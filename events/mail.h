// Notification mail: the spool files per event level and the SMTP client.
// The mail settings and receivers are the [Mail] section of config.ini.
//
// Every logged event of level 1..3 is appended to "/tmp/mail_level<L>.txt";
// every 5 seconds Mail_SendAll mails each spool to the receivers whose level
// it reaches, in one SMTP session per level (EHLO or HELO, STARTTLS and
// AUTH LOGIN when a password is set, MAIL FROM, RCPT TO per receiver, DATA,
// QUIT) over IPv4 or IPv6, and removes it.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int MAIL_RECEIVERS = 255;
constexpr int MAIL_TEXT = 65;  // 64 bytes and the terminator

struct MailReceiver {
  char address[MAIL_TEXT];  // "Receiver" n
  uint8_t level;            // "Level" n: 0 off, 1..3 lowest event level mailed
};

struct MailSettings {
  uint8_t receiverCount;                  // "Receive Num=", 0..255
  MailReceiver receivers[MAIL_RECEIVERS];
  char server[MAIL_TEXT];                 // "Server=": IPv4, IPv6 literal or host name
  uint16_t port;                          // "Port=", TCP port
  char account[MAIL_TEXT];                // "Sender=": AUTH LOGIN user name
  char password[MAIL_TEXT];               // "Password=", in clear
  char from[MAIL_TEXT];                   // "Mail Sender=": the from address
  char domain[MAIL_TEXT];                 // "Domain=": EHLO argument; empty = host name
  uint8_t passwordEncrypt;                // "Password Encrypt=": how config.ini keeps the password
};
extern MailSettings MailSetting;

// Kinds of Mail_AddEvent: an entry of the common (system) event table or of
// the UPS event table.
enum MailEventKind : int { MAIL_KIND_SYSTEM = 0, MAIL_KIND_UPS = 1 };

struct MailOpsTable {
  // kind, table index, the UPS serial-number and model texts, then up to six
  // const char* arguments ended by a null pointer (they fill the "%s" places
  // of the event's text). Events of level 0 or without text are not mailed.
  void (*AddEvent)(int kind, int index, const char* serial, const char* model, ...);
  // Mails the spool files (the 5-second message).
  void (*SendAll)();
};
extern MailOpsTable MailOps;

// Clears the settings (port 25) and fills the operations.
void Mail_Init(const char* installDir);
void Mail_Exit();

// Bounds of one session: the connect, and each reply (the TLS handshake
// and every write too). Tests shorten them.
struct MailTimeouts {
  int connectMs;
  int replyMs;
};
extern MailTimeouts MailTimeout;  // 5000, 10000

// "<SvcTmpDir>/mail_level<level>.txt".
void Mail_SpoolPath(char* out, size_t size, int level);

// ---- parts of the SMTP client, exposed for tests ----------------------------

// Capability bits from EHLO replies.
enum SmtpCapability : uint16_t {
  SMTP_CAP_STARTTLS = 0x0001,
  SMTP_CAP_DSN = 0x0002,
  SMTP_CAP_PIPELINING = 0x0004,
  SMTP_CAP_AUTH = 0x0008,
  SMTP_CAP_PLAIN = 0x0010,
  SMTP_CAP_CRAM_MD5 = 0x0020,
  SMTP_CAP_DIGEST_MD5 = 0x0040,
  SMTP_CAP_SCRAM_SHA1 = 0x0080,
  SMTP_CAP_GSSAPI = 0x0100,
  SMTP_CAP_EXTERNAL = 0x0200,
  SMTP_CAP_LOGIN = 0x0400,
  SMTP_CAP_NTLM = 0x0800,
  SMTP_CAP_ETRN = 0x1000,
};

// Reassembles one reply from the bytes as they arrive, in pieces of any
// size: lines end at LF (a CR before it is dropped); "ddd-" lines continue
// the reply, any other line ends it. A line longer than the buffer is cut.
// With ehlo set, every line's keyword (from its fifth character) adds its
// capability bits.
class SmtpReply {
 public:
  void Begin(bool ehlo);
  // Takes bytes up to the end of the reply; returns how many it used (the
  // rest belongs to the next reply).
  size_t Feed(const char* data, size_t n);
  bool Done() const { return done_; }
  int Code() const { return code_; }   // the final line's leading number; 0 when it has none
  uint16_t Capabilities() const { return caps_; }
  const char* FinalLine() const { return final_; }  // the final line without its line end

 private:
  void EndLine();
  char line_[1024] = {};
  size_t len_ = 0;
  char final_[1024] = {};
  bool done_ = false;
  bool ehlo_ = false;
  int code_ = 0;
  uint16_t caps_ = 0;
};

// The capability bits of one EHLO reply line (keyword from the fifth character).
uint16_t Smtp_LineCapabilities(const char* line);

// ---- TLS wrapper of the SMTP client (smtptls.cpp) ---------------------------
// One client connection at a time, without certificate or host-name checks.
// The socket is non-blocking; every call waits at most until its deadline
// (monotonic clock, milliseconds).

void SmtpTls_Reset();
int SmtpTls_Create();
void SmtpTls_Free();
// Handshake on fd; serverName (a host name, or null) goes out as SNI. 1 on
// success (the wrapper is then active), else 0 and the objects are freed.
int SmtpTls_Start(int fd, const char* serverName, int64_t deadlineMs);
// Bytes read (> 0), 0 when nothing arrived before the deadline, -1 when the
// connection ended or failed.
int SmtpTls_Read(int fd, char* buffer, int size, int64_t deadlineMs);
// 1 when every byte was written before the deadline, else 0.
int SmtpTls_WriteAll(int fd, const char* data, size_t length, int64_t deadlineMs);
int SmtpTls_IsActive();
void SmtpTls_SetActive(int on);

// Monotonic milliseconds, and a wait for fd until the deadline: 1 ready,
// 0 time-out, -1 error.
int64_t Smtp_NowMs();
int Smtp_Wait(int fd, short events, int64_t deadlineMs);
