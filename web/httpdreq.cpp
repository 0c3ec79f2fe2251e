// Request handling: the method and version rules, the login gate, files
// and templates with their headers, the redirect to HTTPS, form posts and
// the reply-text protocol through which form handlers answer.
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string_view>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/helpers.h"
#include "core/svc.h"
#include "core/util.h"
#include "events/dlog.h"
#include "events/evtlog.h"
#include "ups/com.h"
#include "web/httpd.h"
#include "web/webbatch.h"
#include "web/websess.h"
#include "web/websys.h"

WebReplyRecord WebReply;
int WebLoginLevel;
char WebErrPath[128];
char WebErrTitle[128];
char WebErrMsg[256];

namespace {

constexpr int EVT_WEB_LOGOUT = 3;  // argument: the client's address

// A system event with its string arguments, ended by a null pointer, to the
// event log.
template <typename... Args>
void LogEvent(int code, Args... args) {
  if (EvtLogOps.Add) EvtLogOps.Add(code, args...);
}

bool HasPageExtension(const char* path) {
  static const char* const kExt[] = {".asp", ".xml", ".csv", ".ini"};
  for (const char* e : kExt)
    if (UF_StrCaseStr(path, e)) return true;
  return false;
}

// "/tempage/<name>" is the service's private directory: the name after it,
// or null for a path elsewhere. The first real component of the path
// decides, whatever empty or "." components stand before it; the name may
// hold further separators (and is then served to no one).
const char* TempageName(const char* path) {
  const char* p = path;
  for (;;) {
    while (*p == '/' || *p == '\\') ++p;
    size_t n = strcspn(p, "/\\");
    if (n == 1 && p[0] == '.') {
      p += 1;
      continue;
    }
    if (n != 7 || strncmp(p, "tempage", 7) != 0 || p[7] == 0) return nullptr;
    p += 7;
    while (*p == '/' || *p == '\\') ++p;
    return p;
  }
}

// What "/tempage/" serves from the private directory, by the names its
// writers give their files: what the pages fetch, each to the levels that
// may use its page. Nothing else in the directory (mail spools, the modem
// trace, uploads) is served.
struct TempFile {
  const char* name;
  int maxLevel;  // 0 administrator, 1 device, 2 user
  bool once;     // removed once served
};
const TempFile kTempFiles[] = {
    {WEBBATCH_DOWNLOAD_NAME, 0, true},  // the download copy holds every password
    {COM_TRACE_NAME, 1, false},
    {EVTLOG_PAGE_NAME, 2, false},
    {DLOG_HIST_PAGE_NAME, 2, false},
    {EVTLOG_CSV_NAME, 2, false},
    {DLOG_HIST_CSV_NAME, 2, false},
};

const TempFile* FindTempFile(const char* name) {
  for (const TempFile& t : kTempFiles)
    if (strcmp(name, t.name) == 0) return &t;
  return nullptr;
}

// Starts the 200 answer for a body of length bytes that body (or null for
// none) holds; HEAD sends the header alone.
void StartReply(HttpConn* c, long long length, FILE* body) {
  time_t now = Svc_Now();
  struct tm tm;
  localtime_r(&now, &tm);
  char date[64];
  strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S %Z", &tm);
  bool asp = c->mime == &HttpMimeTable[0];
  Httpd_Reply(c, "HTTP/1.1 %d OK\r\nDate: %s\r\n%sContent-Type: %s\r\nConnection: close\r\nContent-Length: %lld\r\n\r\n",
              200, date, asp ? "Cache-Control: private, no-store, no-cache\r\nPragma: no-cache\r\n" : "",
              c->mime->type, length);
  if (body && strcmp(c->method, "HEAD") == 0) {
    fclose(body);
    body = nullptr;
  }
  c->file = body;
  c->state = HTTP_SENDING;
}

// Sends the open file fd with the 200 header; only a regular file. False
// (fd closed) when nothing could be sent.
bool SendFile(HttpConn* c, int fd) {
  struct stat st;
  FILE* f = nullptr;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) f = fdopen(fd, "rb");
  if (!f) {
    if (fd >= 0) close(fd);
    return false;
  }
  StartReply(c, static_cast<long long>(st.st_size), f);
  return true;
}

// Sends an expanded page from memory, which the connection owns from now
// on; false (the page freed) when it cannot.
bool SendPage(HttpConn* c, char* page, size_t size) {
  FILE* f = size ? fmemopen(page, size, "rb") : nullptr;
  if (size && !f) {
    free(page);
    return false;
  }
  c->page = page;
  StartReply(c, static_cast<long long>(size), f);
  return true;
}

// Refuses a request that would change something for this session with
// 403; the connection closes.
void Refuse(HttpConn* c, const char* text) {
  Httpd_SendError(c, 403, "Forbidden", "%s", text);
  c->keepAlive = 0;
}

const char* const kNoToken =
    "Request refused: it does not carry this session's token; use the link on this server's own page.";

// Whether the query carries the current session's link token
// ("token=..."): a GET that changes something needs it, so that no page
// of another site can have a browser log out or use up the download.
bool HasLinkToken(const HttpConn* c) {
  std::string_view query = c->query ? c->query : "";
  while (!query.empty()) {
    std::string_view pair = query.substr(0, query.find('&'));
    query.remove_prefix(std::min(query.size(), pair.size() + 1));
    if (pair.substr(0, 6) == "token=")
      return WebSess_CheckLinkToken(pair.data() + 6, pair.size() - 6) == 1;
  }
  return false;
}

// A file of the private directory for this session's level; false when it
// is not served.
bool ServeTemporary(HttpConn* c, const char* name) {
  const TempFile* t = FindTempFile(name);
  if (!t || WebLoginLevel < 0 || WebLoginLevel > t->maxLevel) return false;
  if (t->once && strcmp(c->method, "GET") == 0 && !HasLinkToken(c)) {
    Refuse(c, kNoToken);  // answered: the copy stays for the page's own link
    return true;
  }
  char path[HTTPD_PATH_SIZE];
  if (!Svc_TmpPath(path, sizeof path, t->name)[0]) return false;  // not the service's own directory
  // One component below the private directory, never through a link.
  c->mime = Httpd_FindMime(t->name);
  if (!SendFile(c, open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC))) return false;
  // The open file is still sent; the name is gone for everyone.
  if (t->once && strcmp(c->method, "HEAD") != 0) unlink(path);
  return true;
}

// ---- origins ----------------------------------------------------------------

// The origin part of a URL or of an Origin value: "scheme://host[:port]",
// up to the path, query or fragment; the port is the scheme's own when it
// names none. False for anything else.
struct OriginParts {
  std::string_view text;  // the origin part as written
  std::string_view scheme, host;
  long port;
};

long DefaultPort(std::string_view scheme) {
  if (scheme.size() == 4 && UF_StrNCaseCmp(scheme.data(), "http", 4) == 0) return 80;
  if (scheme.size() == 5 && UF_StrNCaseCmp(scheme.data(), "https", 5) == 0) return 443;
  return -1;
}

// host[:port] into parts (brackets of an IPv6 literal kept in the host).
bool SplitAuthority(std::string_view authority, long defaultPort, OriginParts* out) {
  size_t colon = std::string_view::npos;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return false;
      colon = close + 1;
    }
  } else {
    colon = authority.find(':');
  }
  out->host = authority.substr(0, colon);
  out->port = defaultPort;
  if (colon != std::string_view::npos && colon + 1 < authority.size()) {
    std::string_view digits = authority.substr(colon + 1);
    if (digits.size() > 5) return false;
    long port = 0;
    for (char ch : digits) {
      if (ch < '0' || ch > '9') return false;
      port = port * 10 + (ch - '0');
    }
    out->port = port;
  }
  return !out->host.empty() && out->port > 0 && out->port <= 65535;
}

bool ParseOrigin(std::string_view text, OriginParts* out) {
  size_t sep = text.find("://");
  if (sep == std::string_view::npos || sep == 0) return false;
  out->scheme = text.substr(0, sep);
  long port = DefaultPort(out->scheme);
  if (port < 0) return false;
  std::string_view authority = text.substr(sep + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  out->text = text.substr(0, sep + 3 + authority.size());
  return SplitAuthority(authority, port, out);
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && UF_StrNCaseCmp(a.data(), b.data(), a.size()) == 0;
}

// This server as the browser addressed it, and the page the request came
// from, both taken from the request's headers once.
struct RequestSite {
  // The scheme is the listener's, or the one a proxy in front of it names
  // (X-Forwarded-Proto: a page cannot make a browser send that header to
  // another site); host and port come from the Host header, so a port
  // forward or a proxy that passes the Host keeps working.
  bool https;
  bool known;  // false without a Host header: no origin can be its own
  OriginParts own;
  char ownText[HTTPD_PATH_SIZE + 16];  // scheme "://" Host as sent
  // The Referer's origin, when it has one.
  bool hasReferer, refererParsed;
  OriginParts referer;
  // Where redirects lead: the Referer's origin as written when it is this
  // server's, else ownText.
  char base[HTTPD_PATH_SIZE + 16];
};

bool IsOwn(const RequestSite& site, const OriginParts& other) {
  return site.known && SameText(other.scheme, site.own.scheme) && SameText(other.host, site.own.host) &&
         other.port == site.own.port;
}

// The first value of a header that may list several ("https, http").
std::string_view FirstValue(const char* header) {
  std::string_view v = header ? header : "";
  v = v.substr(0, v.find(','));
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
  return v;
}

void TakeSite(const HttpConn* c, RequestSite* site) {
  std::string_view proto = FirstValue(c->headers[HTTP_HDR_FORWARDED_PROTO]);
  site->https = DefaultPort(proto) > 0 ? DefaultPort(proto) == 443 : c->tls != 0;
  site->own.scheme = site->https ? "https" : "http";
  site->known = c->host[0] && SplitAuthority(c->host, DefaultPort(site->own.scheme), &site->own);
  snprintf(site->ownText, sizeof site->ownText, "%s://%s", site->https ? "https" : "http", c->host);
  const char* referer = c->headers[HTTP_HDR_REFERER];
  site->hasReferer = referer != nullptr;
  site->refererParsed = referer && ParseOrigin(referer, &site->referer);
  const std::string_view from = site->referer.text;
  if (site->refererParsed && IsOwn(*site, site->referer) && from.size() < sizeof site->base)
    snprintf(site->base, sizeof site->base, "%.*s", static_cast<int>(from.size()), from.data());
  else
    snprintf(site->base, sizeof site->base, "%s", site->ownText);
}

// The page that caused the request, as the browser names it: its word on
// the site (Sec-Fetch-Site, where sent: another site, or another port or
// scheme of this host, is foreign), then the Origin, or without one the
// Referer: none, or this server's own.
bool FromOwnSite(const HttpConn* c, const RequestSite& site) {
  if (const char* fetch = c->headers[HTTP_HDR_SEC_FETCH_SITE];
      fetch && (UF_StrCaseCmp(fetch, "cross-site") == 0 || UF_StrCaseCmp(fetch, "same-site") == 0))
    return false;
  if (const char* origin = c->headers[HTTP_HDR_ORIGIN]) {
    OriginParts other;
    return ParseOrigin(origin, &other) && IsOwn(site, other);
  }
  return !site.hasReferer || (site.refererParsed && IsOwn(site, site.referer));
}

// What a request changes besides the session's own view of the pages (a
// page's query only chooses what the session sees: a viewer's page, its
// range and sort).
enum class Change { NOTHING, FORM, LOGOUT, DOWNLOAD };

Change ChangeOf(const HttpConn* c, const char* path, const char* tempName) {
  if (strcmp(c->method, "POST") == 0) return Change::FORM;
  if (strcmp(path, "/logout.asp") == 0) return Change::LOGOUT;
  if (strcmp(c->method, "GET") == 0 && tempName) {
    const TempFile* t = FindTempFile(tempName);
    if (t && t->once) return Change::DOWNLOAD;
  }
  return Change::NOTHING;
}

// Copies text into out (size bytes with the NUL), cut before an incomplete
// UTF-8 character.
void CopyCut(char* out, size_t size, const char* text) {
  size_t n = strlen(text);
  if (n >= size) {
    n = size - 1;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  memcpy(out, text, n);
  out[n] = 0;
}

// Cuts text at its first control character (line ends included).
void CutAtControl(char* text) {
  for (unsigned char* p = reinterpret_cast<unsigned char*>(text); *p; ++p) {
    if (*p < 0x20 || *p == 0x7f) {
      *p = 0;
      return;
    }
  }
}

bool StartsWith(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

const char* const kRedirect = "HTTP/1.1 302 Redirect\r\nContent-Type: text/html\r\nConnection: close\r\nLocation: %s%s\r\n\r\n";

// The reply text of the form handler becomes the answer.
void AnswerForm(HttpConn* c, const RequestSite& site) {
  char* text = WebReply.text;
  text[WEB_REPLY_SIZE - 1] = 0;
  const char* base = site.base;

  if (StartsWith(text, "OK")) {
    char* r = strstr(text, "Redirect=");
    if (!r) return;  // no answer
    char* value = r + 9;
    CutAtControl(value);
    Httpd_Reply(c, kRedirect, base, value);
    return;
  }
  if (StartsWith(text, "Set Cookie: ")) {
    char* cookie = text + 12;
    CutAtControl(cookie);
    if (site.https)
      Httpd_Reply(c,
                  "HTTP/1.1 302 Redirect\r\nContent-Type: text/html\r\nConnection: close\r\n"
                  "Set-Cookie: %s; Secure; SameSite=Strict; HttpOnly\r\nLocation: %s%s\r\n\r\n",
                  cookie, base, "/home.asp");
    else
      Httpd_Reply(c,
                  "HTTP/1.1 302 Redirect\r\nContent-Type: text/html\r\nConnection: close\r\n"
                  "Set-Cookie: %s; SameSite=Strict; HttpOnly\r\nLocation: %s%s\r\n\r\n",
                  cookie, base, "/home.asp");
    return;
  }
  if (StartsWith(text, "Message: ")) {
    WebErrTitle[0] = 0;
    WebErrMsg[0] = 0;
    char* after = nullptr;  // just after the last line break cut
    if (char* r = strstr(text, "Redirect=")) {
      char* value = r + 9;
      if (*value) {
        if (char* nl = strchr(value + 1, '\n')) {
          *nl = 0;
          after = nl + 1;
        }
      }
      char script[sizeof WebErrPath + 32];
      snprintf(script, sizeof script, "window.location='%s'", value);
      CopyCut(WebErrPath, sizeof WebErrPath, script);
    } else {
      CopyCut(WebErrPath, sizeof WebErrPath, "window.history.back()");
    }
    if (char* t = strstr(after ? after : text, "Title=")) {
      if (char* nl = strchr(t, '\n')) {
        *nl = 0;
        after = nl + 1;
      }
      CopyCut(WebErrTitle, sizeof WebErrTitle, t + 6);
    }
    if (char* b = strstr(after ? after : text, "Body=")) {
      if (char* nl = strchr(b, '\n')) *nl = 0;
      CopyCut(WebErrMsg, sizeof WebErrMsg, b + 5);
    }
  } else {
    CopyCut(WebErrTitle, sizeof WebErrTitle, "Error Message");
    CopyCut(WebErrMsg, sizeof WebErrMsg, "upsd reply: Not defined.");
    CopyCut(WebErrPath, sizeof WebErrPath, "window.history.back()");
  }
  Httpd_Reply(c, kRedirect, base, "/message.asp");
}

}  // namespace

void Httpd_HandleRequest(HttpConn* c) {
  // Nothing of an earlier request's session carries over.
  WebSess_ClearCurrent();
  WebLoginLevel = -1;

  const char* m = c->method;
  bool get = strcmp(m, "GET") == 0, post = strcmp(m, "POST") == 0;
  bool head = strcmp(m, "HEAD") == 0, put = strcmp(m, "PUT") == 0;
  if (!get && !post && !head && !put) {
    Httpd_SendError(c, 400, "Bad Request", "Can not parse request: [%s]", c->body ? c->body : "");
    return;
  }
  if (c->versionMajor != 1 || c->versionMinor < 0 || c->versionMinor > 1) {
    Httpd_SendError(c, 505, "HTTP version not supported", "%s", "Can't support HTTP version");
    return;
  }
  if (c->badHeader) {
    Httpd_SendError(c, 400, "Bad Request", "%s", "Can not parse request: invalid target or header");
    return;
  }

  if (char* q = strchr(c->uri, '?')) {
    *q = 0;
    c->query = q + 1;
  }
  int len = static_cast<int>(strlen(c->uri));
  Httpd_UrlDecode(c->uri, len, c->uri, len + 1, 0);
  Httpd_NormalizePath(c->uri);
  const char* path = c->uri;
  char* cookie = c->headers[HTTP_HDR_COOKIE];
  const char* dir = Httpd_InstallDir();
  const char* tempName = TempageName(path);
  RequestSite site;
  TakeSite(c, &site);

  // A page of another origin may have the browser send this server's
  // cookie: nothing it asks changes anything, and no form sees it.
  const Change change = ChangeOf(c, path, tempName);
  if (change != Change::NOTHING && !FromOwnSite(c, site)) {
    char text[sizeof site.ownText + 80];
    snprintf(text, sizeof text, "Request refused: it was sent by a page of another origin than %s.", site.ownText);
    Refuse(c, text);
    return;
  }

  // The login gate.
  bool needsLogin = true;
  bool isLogout = change == Change::LOGOUT;
  bool ended = false;  // the cookie names a session that a login ended
  if (!post && !tempName &&
      (strcmp(path, "/message.asp") == 0 || strcmp(path, "/ended.asp") == 0 || !HasPageExtension(path))) {
    if (static_cast<long>(strlen(path)) < 243 - static_cast<long>(strlen(dir))) needsLogin = false;
  } else if (!post) {
    if (cookie) {
      WebLoginLevel = WebSessOps.CheckCookie(cookie, 0);
      if (WebLoginLevel >= 0) needsLogin = false;
    }
    if (isLogout) {
      if (WebLoginLevel >= 0 && !HasLinkToken(c)) {
        Refuse(c, kNoToken);
        return;
      }
      if (cookie) {
        // Only a logout that ends a session is an event: a stale or forged
        // cookie must not be able to fill the log with logouts.
        if (WebLoginLevel >= 0) {
          char address[64] = "";
          Net_Ntop(c->family, c->peer, address);
          LogEvent(EVT_WEB_LOGOUT, address, nullptr);
        }
        WebSessOps.CheckCookie(cookie, 1);
        WebLoginLevel = -1;
      }
      needsLogin = true;
    } else if (needsLogin && cookie && strcmp(path, "/login.asp") != 0) {
      ended = WebSess_WasEnded(cookie) == 1;
    }
  } else if (strcmp(path, "/varno/login") != 0 && cookie) {
    WebLoginLevel = WebSessOps.CheckCookie(cookie, 0);
    ended = WebLoginLevel < 0 && WebSess_WasEnded(cookie) == 1;
  }
  if (ended) {
    // Not the login page without a word: the page that says why.
    Httpd_Reply(c, kRedirect, site.base, "/ended.asp");
    c->keepAlive = 0;
    return;
  }

  char target[HTTPD_PATH_SIZE];
  int n = snprintf(target, sizeof target, "%s/httpd/htdocs%s", dir, needsLogin && !isLogout ? "/login.asp" : path);
  if (n < 0 || n >= static_cast<int>(sizeof target)) {
    // A cut target could name another file.
    Httpd_SendError(c, 400, "Bad Request", "%s", "Can not parse request: target too long");
    return;
  }

  WebReply.clientFamily = c->family;
  memset(WebReply.clientAddress, 0, sizeof WebReply.clientAddress);
  memcpy(WebReply.clientAddress, c->peer, c->family == AF_INET6 ? 16 : 4);

  if (!post) {
    if (put) return;  // no answer
    // The private directory serves only its own table; anything else in it
    // is a missing page. Elsewhere only regular files are served, and a
    // final symbolic link is not followed.
    if (tempName && !needsLogin && ServeTemporary(c, tempName)) return;
    struct stat st;
    if ((tempName && !needsLogin) || lstat(Httpd_FixPath(target), &st) != 0 || !S_ISREG(st.st_mode)) {
      if (HttpdSetting.forceHttps && !site.https && Httpd_HttpsOn()) {
        Httpd_RedirectHttps(c);
        return;
      }
      snprintf(target, sizeof target, "%s/httpd/htdocs/login.asp", dir);
    }
    c->mime = Httpd_FindMime(target);
    Httpd_ServeFile(c, target);
    return;
  }

  c->boundary = nullptr;
  char* type = c->headers[HTTP_HDR_CONTENT_TYPE];
  if (type && UF_StrNCaseCmp(type, "multipart/form-data", 19) == 0) {
    if (char* semi = strchr(type, ';')) c->boundary = semi + 1;
  }
  if (char* slash = strrchr(c->uri, '/')) c->uri = slash + 1;
  WebReply.length = 0;
  WebReply.written = 0;
  WebReply.text[0] = 0;
  WebSys_HandleForm(c);
  AnswerForm(c, site);
  c->keepAlive = 0;  // every form answer closes the connection
}

void Httpd_ServeFile(HttpConn* c, const char* target) {
  bool head = strcmp(c->method, "HEAD") == 0;
  if (!head && (c->mime == &HttpMimeTable[0] || c->mime == &HttpMimeTable[1])) {
    size_t size = 0;
    char* page = Httpd_ExpandTemplate(target, &size, strstr(target, "/message.asp") != nullptr, c->query);
    if (!page || !SendPage(c, page, size))
      Httpd_SendError(c, 500, "Internal Server Error", "can't prepare file %s, ROOT = /httpd/htdocs", target);
    return;
  }
  // No answer when the file cannot be opened.
  SendFile(c, open(Httpd_FixPath(target), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
}

void Httpd_RedirectHttps(HttpConn* c) {
  char tail[HTTPD_PATH_SIZE] = "";
  if (c->query) snprintf(tail, sizeof tail, "/?%s", c->query);
  const char* host = c->headers[HTTP_HDR_HOST] ? c->headers[HTTP_HDR_HOST] : "";
  Httpd_Reply(c,
              "HTTP/1.1 302 Redirect\r\nContent-Type: text/html\r\nConnection: close\r\n"
              "Location: https://%s:%d%s\r\n\r\n",
              host, Httpd_HttpsPort(), tail);
  c->keepAlive = 0;  // as the answer says
}

void Httpd_SendError(HttpConn* c, int status, const char* reason, const char* format, ...) {
  char body[264] = "";
  if (status >= 200 && status != 204 && status != 304) {
    int n = snprintf(body, sizeof body, "Error %d: %s\n", status, reason);
    if (n >= 0 && n < static_cast<int>(sizeof body)) {
      va_list ap;
      va_start(ap, format);
      vsnprintf(body + n, sizeof body - static_cast<size_t>(n), format, ap);
      va_end(ap);
    }
  }
  Httpd_Reply(c, "HTTP/1.1 %d %s\r\nContent-Type: text/plain\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s",
              status, reason, static_cast<int>(strlen(body)), body);
}

namespace {
int HexValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}
}  // namespace

int Httpd_UrlDecode(const char* source, int length, char* destination, int size, int plus) {
  if (size <= 0) return 0;
  int r = 0, w = 0;
  while (r < length && w < size - 1) {
    char ch = source[r];
    int hi, lo;
    if (ch == '%' && r + 2 < length && (hi = HexValue(source[r + 1])) >= 0 && (lo = HexValue(source[r + 2])) >= 0) {
      destination[w++] = static_cast<char>(hi << 4 | lo);
      r += 3;
    } else {
      destination[w++] = ch == '+' && plus ? ' ' : ch;
      ++r;
    }
  }
  destination[w] = 0;
  return w;
}

void Httpd_NormalizePath(char* path) {
  const char* r = path;
  char* w = path;
  while (*r) {
    char ch = *r++;
    *w++ = ch;
    if (ch == '/' || ch == '\\') {
      while (*r == '/' || *r == '\\') ++r;
      while (r[0] == '.' && r[1] == '.') r += 2;
    }
  }
  *w = 0;
}

const char* Httpd_FixPath(const char* path) {
  static char fixed[HTTPD_PATH_SIZE];
  size_t n = strlen(path);
  if (n >= sizeof fixed) {
    fixed[0] = 0;  // never a cut path: nothing opens
    return fixed;
  }
  for (size_t i = 0; i <= n; ++i) fixed[i] = path[i] == '\\' ? '/' : path[i];
  return fixed;
}
