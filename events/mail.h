// Notification mail: the spool files per event level and the SMTP client.
// The mail settings and receivers are the [Mail] section of config.ini.
//
// Every logged event of level 1..3 is appended to "mail_level<L>.txt" in
// the private temporary directory (at most MAIL_SPOOL_MAX bytes: beyond that
// the oldest events go); an event the spool cannot take (a full disk) waits
// in memory until it can or a session mails it from there, at most
// MAIL_PENDING_MAX a level (the oldest beyond go, counted in one record once
// the rest have left memory). Every 5 seconds
// Mail_SendAll starts mailing each level's events to the receivers whose
// level it reaches, in one SMTP session per level (EHLO or HELO, STARTTLS
// and AUTH LOGIN when a password is set, MAIL FROM, RCPT TO per receiver,
// DATA, QUIT) over IPv4 or IPv6. The session never blocks: the main loop
// steps it (Mail_Step) and watches its socket (Mail_PollFill). The events go
// once the server took their message, or refused it for good (logged);
// after any other end of a session they stay (the first of a streak is
// logged), and that level's next try waits 5 s, doubling to 5 min. Levels
// never wait for each other.
#pragma once
#include <cstddef>
#include <cstdint>
#include <poll.h>

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
  // Starts mailing the spool files (the 5-second message).
  void (*SendAll)();
  // Steps the session in progress as far as it goes without waiting (every
  // turn of the main loop).
  void (*Step)();
};
extern MailOpsTable MailOps;

// Clears the settings (port 25) and fills the operations.
void Mail_Init(const char* installDir);
void Mail_Exit();

// Bounds of one session: the connect (over all the server's addresses),
// each reply (also the name lookup and the TLS handshake), and the whole
// session. Tests shorten them.
struct MailTimeouts {
  int connectMs;
  int replyMs;
  int sessionMs;
};
extern MailTimeouts MailTimeout;  // 5000, 10000, 60000

// A spool that grows past MAIL_SPOOL_MAX bytes loses its oldest events,
// down to MAIL_SPOOL_KEEP, with a notice in the event log.
constexpr size_t MAIL_SPOOL_MAX = 1024 * 1024;
constexpr size_t MAIL_SPOOL_KEEP = MAIL_SPOOL_MAX / 4 * 3;
// Events of one level that wait in memory for their spool (each at most
// 333 bytes, so about 65 KiB a level); beyond it the oldest go, with a
// notice once the rest are spooled, mailed or refused.
constexpr int MAIL_PENDING_MAX = 200;

// The common event of the test mail.
constexpr int MAIL_TEST_EVENT = 34;

// The main loop's poll source: the session's socket, with the events it waits for.
int Mail_PollFill(struct pollfd* fds, int max, int* busy);
// 1 while a session is in progress.
int Mail_SessionActive();
// The pause before a level's next try after a failed session (0 after a
// delivery or a refusal), and the reset of every level's pause and failure
// streak (tests).
int64_t Mail_RetryDelayMs(int level);
void Mail_ResetRetry();
// How many receivers take mail of an event level.
int Mail_ReceiversOf(int level);

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
// One client connection at a time, without certificate or host-name checks,
// over the session's non-blocking socket: no call waits.

void SmtpTls_Reset();
void SmtpTls_Free();
// Creates the objects and attaches them to fd; serverName (a host name, or
// null) goes out as SNI. 1 on success, else 0 (the objects are freed).
int SmtpTls_Start(int fd, const char* serverName);
// Takes the handshake as far as it goes: 1 done (the wrapper is then
// active), 0 it waits for the socket (SmtpTls_Want), -1 failed.
int SmtpTls_Handshake();
// Bytes read (> 0), 0 when none are there yet, -1 when the connection
// ended or failed.
int SmtpTls_Read(char* buffer, int size);
// Bytes written (0 when the socket takes none now), -1 on failure.
int SmtpTls_Write(const char* data, size_t length);
// POLLIN or POLLOUT: what the last call that could not go on waits for (0 none).
short SmtpTls_Want();
// Bytes read from the socket and held inside the library.
int SmtpTls_Pending();
int SmtpTls_IsActive();
