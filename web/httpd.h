// HTTP and HTTPS server: listeners, connections and TLS (web/httpd.cpp),
// request handling, redirects and errors (web/httpdreq.cpp), templates,
// MIME types and form parsing (web/httpdtpl.cpp). The listener settings
// are keys of the [Web] section of config.ini.
#pragma once
#include <cstdint>
#include <cstdio>
#include <poll.h>

struct ssl_st;
struct ssl_ctx_st;

// Bits of HttpdSettings.listen.
enum HttpdListenFlag : uint8_t {
  HTTPD_LISTEN_HTTP = 1,   // "Enable HTTP="
  HTTPD_LISTEN_HTTPS = 2,  // "Enable HTTPS="
};

struct HttpdSettings {
  uint16_t httpPort;   // "HTTP Port="
  uint16_t httpsPort;  // "HTTPS Port="
  uint8_t listen;      // HttpdListenFlag bits
  uint16_t refresh;    // "Web Refresh=", seconds
  int32_t forceHttps;  // "Force HTTPS=": redirect plain requests for missing files to HTTPS
};
extern HttpdSettings HttpdSetting;

constexpr int HTTPD_CONNECTIONS = 20;
constexpr int HTTPD_BUFFER_SIZE = 2 * 1024 * 1024;  // reply buffer, and bodies below it
constexpr int HTTPD_HEADER_SIZE = 4096;             // header block without its NUL
constexpr int HTTPD_BODY_MAX = 5 * 1024 * 1024;
// A connection that moves no byte either way for this long is closed,
// whatever its state.
constexpr int HTTPD_IDLE_SECONDS = 20;
// A TLS handshake must be complete within this time from the accept.
constexpr int HTTPD_HANDSHAKE_SECONDS = 10;
// A request's header must be complete within this time from the accept
// (from the end of the TLS handshake on HTTPS), or from the end of the
// connection's previous request, however its bytes trickle in.
constexpr int HTTPD_HEADER_SECONDS = 10;
// A body or an answer has this long from its start, and one second more
// for every HTTPD_MIN_RATE bytes it moves, so it must go on moving at that
// rate on average. A burst earns no more than HTTPD_AHEAD_SECONDS ahead of
// the present: a slow link's bytes come a segment at a time (every 3 s at
// the minimum rate), and the lead keeps such a transfer from being counted
// behind between them, but bytes sitting in the kernel's buffers buy no
// time for later.
constexpr int HTTPD_TRANSFER_SECONDS = 20;
constexpr int HTTPD_MIN_RATE = 500;  // bytes a second
constexpr int HTTPD_AHEAD_SECONDS = 2;
// With every slot taken, a connection gives its slot to a new one once it
// is this far behind: behind its rate (a body or an answer), or waiting
// for its header or handshake this long. A new client has that long to
// send its request; a body or an answer that keeps its rate is never that
// far behind. One that waits on keep-alive for its next request gives its
// slot at once.
constexpr int HTTPD_GIVE_WAY_SECONDS = 2;
constexpr int HTTPD_BACKLOG = 128;
constexpr int HTTPD_PATH_SIZE = 256;  // every path the server opens, with its NUL
constexpr int HTTPD_QUERY_PAIRS = 16;
constexpr int HTTPD_EXPR_SIZE = 512;  // longest tag expression that is expanded
constexpr int WEB_FORM_FIELDS = 300;
constexpr int WEB_REPLY_SIZE = 4096;
constexpr const char* WEB_COOKIE_NAME = "QuenchRelayer";

// Connection states.
enum HttpConnState : int {
  HTTP_FREE = 0,
  HTTP_READING = 1,
  HTTP_SENDING = 2,
};

// The request headers the server keeps, in this order.
enum HttpHeader : int {
  HTTP_HDR_HOST = 0,
  HTTP_HDR_ACCEPT,
  HTTP_HDR_COOKIE,
  HTTP_HDR_CONTENT_TYPE,
  HTTP_HDR_CONTENT_LENGTH,
  HTTP_HDR_REFERER,
  HTTP_HDR_USER_AGENT,
  HTTP_HDR_CONNECTION,
  HTTP_HDR_ORIGIN,
  HTTP_HDR_SEC_FETCH_SITE,   // the browser's word on where the request comes from
  HTTP_HDR_FORWARDED_PROTO,  // X-Forwarded-Proto: the scheme a proxy in front was asked with
  HTTP_HEADER_COUNT,
};

// One row of the MIME table.
struct HttpMimeRow {
  const char* extension;  // with its leading dot
  int extensionLength;
  const char* type;
  int typeLength;
  int header;  // 1: the reply carries the 200 header
};

struct HttpConn {
  int slot;
  int state;   // HttpConnState
  int socket;  // -1 when none
  int family;  // AF_INET or AF_INET6
  uint8_t peer[16];
  char buffer[HTTPD_BUFFER_SIZE];
  const HttpMimeRow* mime;
  uint8_t keepAlive;
  // HttpdClock milliseconds of the last activity: the accept, a byte read
  // or written on the socket (TLS records and handshake included), the
  // start of a reply.
  int64_t lastActivity;
  int tls;
  ssl_st* ssl;
  // Bytes of the header block so far; once complete, its length with the blank line.
  int headerCount;
  char header[HTTPD_HEADER_SIZE + 1];
  char* headers[HTTP_HEADER_COUNT];  // into the header block; null when absent
  char* method;
  char* uri;  // target; then the decoded path; for a POST the form name
  int versionMajor, versionMinor;
  int contentLength;
  char* body;  // null while the header is read; the buffer or an allocated block
  int bodyCount;
  char* query;
  char* boundary;
  FILE* file;
  char* page;   // an expanded template being sent (file reads it), freed with the connection
  int pending;  // bytes in the buffer still to send
  // The sockets never block: a TLS handshake in progress is finished by
  // later passes, and a TLS call that must wait says for what.
  uint8_t handshake;  // TLS handshake not yet complete
  uint8_t tlsWantWrite;
  uint8_t tlsFailed;  // a fatal TLS error: no close_notify
  // The time (HttpdClock milliseconds) the connection is due at: while it
  // waits for its handshake or header, when it began to wait (the accept,
  // the end of the handshake or of its previous request); during a body or
  // an answer, its start plus what moved at the minimum rate, at most
  // HTTPD_AHEAD_SECONDS after the last bytes. How far the clock is past it
  // is how far the connection is behind.
  int64_t due;
  uint8_t served;  // a request of it was handled: it waits for its next one
  uint64_t plainBytes;  // bytes moved on a plain socket so far
  // The Host value as sent (with its port), for redirects of form replies.
  char host[HTTPD_PATH_SIZE];
  // The target, Host or Referer holds a control character, or Host is too
  // long: the request is refused.
  uint8_t badHeader;
};

// One posted form field; every pointer points into the request body.
struct WebFormField {
  char* name;
  char* fileName;    // multipart only
  char* valueStart;
  char* valueEnd;    // multipart only: the value's last byte (valueStart - 1 when empty)
};
extern WebFormField WebFormFields[WEB_FORM_FIELDS];
extern int WebFormFieldCount;

struct HttpQueryPair {
  char* name;
  char* value;
};

// The one record through which the page-variable writers and the form
// handlers hand text to the server, with the requesting client's address.
struct WebReplyRecord {
  int clientFamily;
  uint8_t clientAddress[16];  // IPv4 in the first 4 bytes, zeros after
  uint8_t written;
  uint16_t length;  // with the terminating NUL
  char text[WEB_REPLY_SIZE];
};
extern WebReplyRecord WebReply;

// Access level of the current request's session: 0 admin, 1 device, 2 user,
// -1 none (reset for every request).
extern int WebLoginLevel;

// Message-page texts of the last "Message: " reply.
extern char WebErrPath[128];   // button script
extern char WebErrTitle[128];
extern char WebErrMsg[256];

// Page-variable writer and form handler (the device pages').
using WebWriteVarFn = void (*)(FILE* page, const char* name, int pairCount, HttpQueryPair* pairs);
using WebHandleFormFn = void (*)(HttpConn* conn);

struct HttpdOpsTable {
  void (*Start)(int httpPort, int httpsPort, uint8_t httpOn, uint8_t httpsOn);
  void (*Stop)();
  void (*Poll)();
  void (*Tick)();
  void (*ParseForm)(char* body, int length, const char* boundary);
  int (*UrlDecodeCopy)(const char* source, char* destination);
  WebWriteVarFn DevWriteVar;       // may be null
  WebHandleFormFn DevHandleForm;   // may be null
};
extern HttpdOpsTable HttpdOps;

// Clock of the time limits: milliseconds that never step back (the
// monotonic clock). Tests replace it.
extern int64_t (*HttpdClock)();

// ---- web/httpd.cpp: listeners, connections, TLS -------------------------------
void Httpd_Init(const char* installDir, WebWriteVarFn devWriteVar, WebHandleFormFn devHandleForm);
void Httpd_Start(int httpPort, int httpsPort, uint8_t httpOn, uint8_t httpsOn);
void Httpd_Stop();
void Httpd_Shutdown();
void Httpd_Poll();
void Httpd_Tick();
// Accepts one connection into a free slot, or, with every slot taken, into
// the slot of one that gives way (closed for it): first one waiting on
// keep-alive for its next request, then, from the address holding the
// most slots, the one furthest behind, once HTTPD_GIVE_WAY_SECONDS behind;
// none when none gives way (the connection waits in the listen backlog).
HttpConn* Httpd_Accept(int listener, int tls);
int Httpd_ReadRequest(HttpConn* c);
int Httpd_Reply(HttpConn* c, const char* format, ...) __attribute__((format(printf, 2, 3)));
int Httpd_SendPending(HttpConn* c);
// hard: 0 soft (keep-alive keeps the connection), 1 hard, or
// HTTPD_CLOSE_RESET: hard with a reset, for a connection that ran out of
// time or gave its slot to a new one.
constexpr int HTTPD_CLOSE_RESET = 2;
void Httpd_CloseConn(HttpConn* c, int hard);
int Httpd_Listen(int fd);
int Httpd_CloseFd(int fd);
int Httpd_SaveCert(const WebFormField* field);
char* Httpd_CutAt(char* text, const char* pattern);
char* Httpd_NextField(char* text);
char* Httpd_NextWord(char* text);
// Descriptors for the main loop's pause (a Svc_AddPollSource source).
int Httpd_PollFill(struct pollfd* fds, int max, int* busy);

// Module state other parts of the server read.
const char* Httpd_InstallDir();
int Httpd_HttpsPort();  // of the last Httpd_Start
int Httpd_HttpsOn();
HttpConn* Httpd_Connection(int slot);
int Httpd_ListenerFd(int index);  // 0 HTTP IPv4, 1 HTTP IPv6, 2 HTTPS IPv4, 3 HTTPS IPv6
uint8_t Httpd_ListeningSet();     // the set last logged
ssl_ctx_st* Httpd_TlsContext();

// ---- web/httpdreq.cpp: request handling ---------------------------------------
void Httpd_HandleRequest(HttpConn* c);
void Httpd_ServeFile(HttpConn* c, const char* target);
void Httpd_RedirectHttps(HttpConn* c);
void Httpd_SendError(HttpConn* c, int status, const char* reason, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
int Httpd_UrlDecode(const char* source, int length, char* destination, int size, int plus);
void Httpd_NormalizePath(char* path);
const char* Httpd_FixPath(const char* path);

// ---- web/httpdtpl.cpp: templates, MIME, forms ---------------------------------
extern const HttpMimeRow HttpMimeTable[41];
const HttpMimeRow* Httpd_FindMime(const char* path);
// Expands the template into memory: the page (allocated, to be freed, NUL
// after its *size bytes), or null when the template cannot be read or the
// page not be held.
char* Httpd_ExpandTemplate(const char* templatePath, size_t* size, int messagePage, char* query);
int Httpd_SubstArgs(const char* expression, int bound, char* output, int count, const HttpQueryPair* pairs);
int Httpd_Split(char* text, const char* delimiters, int n, char** tokens);
void Httpd_ParseForm(char* body, int length, const char* boundary);
int Httpd_UrlDecodeCopy(const char* source, char* destination);
