// HTTP and HTTPS server: listeners, connections and TLS (web/httpd.cpp),
// request handling, redirects and errors (web/httpdreq.cpp), templates,
// MIME types and form parsing (web/httpdtpl.cpp). The listener settings
// are keys of the [Web] section of config.ini.
#pragma once
#include <cstdint>
#include <cstdio>
#include <ctime>
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
// With every slot taken, a connection that has made no progress for this
// long may give its slot to a new one; one whose body or answer moves
// keeps it.
constexpr int HTTPD_STALL_SECONDS = 4;
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
  // HttpdClock seconds of the last activity: the accept, a byte read or
  // written on the socket (TLS records and handshake included), the start
  // of a reply.
  time_t lastActivity;
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
  // When the connection began to wait for its request: the accept (while
  // a TLS handshake runs, the start of that), the end of the handshake, or
  // the end of the previous request.
  time_t requestStart;
  // The last progress (HttpdClock seconds, and its order among all
  // connections): the connection began to wait for its request (or its
  // handshake), its body or its answer moved, or its answer began. With
  // every slot taken, a new connection takes the slot of the one that has
  // made no progress for longest.
  time_t lastProgress;
  uint64_t progressOrder;
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

// Clock of the idle limit: seconds that never step back (the monotonic
// clock). Tests replace it.
extern time_t (*HttpdClock)();

// ---- web/httpd.cpp: listeners, connections, TLS -------------------------------
void Httpd_Init(const char* installDir, WebWriteVarFn devWriteVar, WebHandleFormFn devHandleForm);
void Httpd_Start(int httpPort, int httpsPort, uint8_t httpOn, uint8_t httpsOn);
void Httpd_Stop();
void Httpd_Shutdown();
void Httpd_Poll();
void Httpd_Tick();
// Accepts one connection into a free slot, or, with every slot taken, into
// the slot of the connection that has made no progress for longest, when
// that is HTTPD_STALL_SECONDS or more (closed for it), whatever its state;
// none when every connection moves.
HttpConn* Httpd_Accept(int listener, int tls);
int Httpd_ReadRequest(HttpConn* c);
int Httpd_Reply(HttpConn* c, const char* format, ...) __attribute__((format(printf, 2, 3)));
int Httpd_SendPending(HttpConn* c);
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
