// Request handling: the login gate, method and version rules, file and
// template answers, redirects, the reply-text protocol and path decoding.
#include <sys/stat.h>

#include <filesystem>


#include "support/events_fakes.h"
#include "webfixture.h"

using namespace webtest;

namespace {

class Request : public WebTest {
 protected:
  // A session for level: its Cookie header, and the query of its links
  // that change something.
  std::pair<std::string, std::string> LoginWithLink(int level) {
    std::string cookie = Login(level);
    return {cookie, std::string("?token=") + WebSess_LinkToken()};
  }
};

TEST_F(Request, LoginGate) {
  Page("data.csv", "a,b");
  Page("config.ini", "[End]");
  Page("upper.ASP", "UPPER");
  Scratch_WriteFile(TmpPath("iframe_log.htm"), "DOWNLOAD");
  std::string cookie = Login(2);
  struct Case {
    const char* path;
    bool withCookie;
    const char* body;
  } cases[] = {
      {"/style.css", false, "body{}"},           // no page extension: free
      {"/home.asp", false, "LOGIN "},            // a page without a session
      {"/home.asp", true, "HOME"},
      {"/upper.ASP", false, "LOGIN "},           // the extension test ignores case
      {"/upper.ASP", true, "UPPER"},
      {"/home%2Easp", false, "LOGIN "},          // decoded before the gate
      {"/data.csv", false, "LOGIN "},
      {"/data.csv", true, "a,b"},
      {"/config.ini", false, "LOGIN "},
      {"/message.asp", false, "T= M= P="},       // the message page is free
      {"/tempage/iframe_log.htm", false, "LOGIN "},  // the private directory needs a session
      {"/./tempage/iframe_log.htm", false, "LOGIN "},
      {"//tempage/iframe_log.htm", false, "LOGIN "},
      {"/tempage/iframe_log.htm", true, "DOWNLOAD"},
      {"/tempage", true, "LOGIN "},              // a directory
      {"/", false, "LOGIN "},
      {"/missing.txt", false, "LOGIN "},         // no 404: the login page
      {"/../../../etc/hostname", true, "LOGIN "},
      {"/..%2F..%2Fetc/hostname", false, "LOGIN "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + (c.withCookie ? " with session" : ""));
    Received r = Ask(std::string("GET ") + c.path + " HTTP/1.1\r\nHost: h\r\n" + (c.withCookie ? cookie : "") + "\r\n");
    EXPECT_EQ(StatusOf(r.data), "HTTP/1.1 200 OK");
    std::string body = BodyOf(r.data);
    EXPECT_EQ(body.substr(0, strlen(c.body)), c.body);
    if (std::string(c.body) == "LOGIN ") {
      EXPECT_EQ(body.size(), 6u + WEB_CHALLENGE_CHARS);
    }
  }
}

TEST_F(Request, PrivateDirectoryServesItsOwnFilesToTheirLevels) {
  // What the pages fetch, the download copy of config.ini among them, and
  // what another local user or module may have left there.
  for (const char* name : {"config.ini", "comm_data.txt", "event_log.csv", "iframe_data.htm", "mail_level2.txt",
                           "config_tmp.ini", "SMS_Log.txt", "tmp_web_9.asp"})
    Scratch_WriteFile(TmpPath(name), std::string("FILE ") + name);
  Scratch_WriteFile(TmpPath("secret"), "SECRET");
  mkdir(TmpPath("sub").c_str(), 0700);
  Scratch_WriteFile(TmpPath("sub/hist_data.csv"), "SECRET");
  symlink(TmpPath("secret").c_str(), TmpPath("iframe_log.htm").c_str());  // a link is not followed
  mkfifo(TmpPath("hist_data.csv").c_str(), 0600);                          // only regular files
  symlink(tmp.c_str(), TmpPath("x").c_str());                              // nor a directory link
  const auto [admin, link] = LoginWithLink(0);
  const std::string levels[] = {admin, Login(1), Login(2)};
  struct Case {
    const char* path;
    int highest;  // the highest level served; -1 none
  } cases[] = {
      {"/tempage/comm_data.txt", 1},     {"/tempage/event_log.csv", 2},    {"/tempage/iframe_data.htm", 2},
      {"/tempage/mail_level2.txt", -1},  {"/tempage/config_tmp.ini", -1},  {"/tempage/SMS_Log.txt", -1},
      {"/tempage/tmp_web_9.asp", -1},    {"/tempage/secret", -1},          {"/tempage/iframe_log.htm", -1},
      {"/tempage/hist_data.csv", -1},    {"/tempage/sub/hist_data.csv", -1}, {"/tempage/x/comm_data.txt", -1},
      {"/tempage/x/../config.ini", -1},
  };
  for (const Case& c : cases) {
    for (int level = 2; level >= 0; --level) {
      SCOPED_TRACE(std::string(c.path) + " level " + std::to_string(level));
      std::string body = BodyOf(Ask(std::string("GET ") + c.path + " HTTP/1.1\r\n" + levels[level] + "\r\n").data);
      if (level <= c.highest)
        EXPECT_EQ(body, std::string("FILE ") + (strrchr(c.path, '/') + 1));
      else
        EXPECT_EQ(body.substr(0, 6), "LOGIN ");
    }
  }
  // The download copy: the administrator's, and only once.
  for (int level : {2, 1}) {
    std::string body = BodyOf(Ask("GET /tempage/config.ini HTTP/1.1\r\n" + levels[level] + "\r\n").data);
    EXPECT_EQ(body.substr(0, 6), "LOGIN ") << level;
  }
  Received head = Ask("HEAD /tempage/config.ini HTTP/1.1\r\n" + levels[0] + "\r\n");
  EXPECT_EQ(StatusOf(head.data), "HTTP/1.1 200 OK");
  EXPECT_EQ(BodyOf(Ask("GET /tempage/config.ini" + link + " HTTP/1.1\r\n" + admin + "\r\n").data), "FILE config.ini");
  EXPECT_FALSE(std::filesystem::exists(TmpPath("config.ini")));
  EXPECT_EQ(BodyOf(Ask("GET /tempage/config.ini" + link + " HTTP/1.1\r\n" + admin + "\r\n").data).substr(0, 6),
            "LOGIN ");
  EXPECT_EQ(Scratch_ReadFile(TmpPath("secret")), "SECRET");
}

TEST_F(Request, SessionIsPerRequest) {
  std::string cookie = Login(1);
  Ask("GET /home.asp HTTP/1.1\r\n" + cookie + "\r\n");
  // A later request with an unknown cookie, or none, has no session.
  for (const char* extra : {"Cookie: QuenchRelayer=AAAAAAAAAAAAAAAAAAAAAAAA\r\n", ""}) {
    WebCurrentSession = 0;
    WebLoginLevel = 0;
    Received r = Ask(std::string("GET /home.asp HTTP/1.1\r\n") + extra + "\r\n");
    EXPECT_EQ(BodyOf(r.data).substr(0, 6), "LOGIN ");
    EXPECT_EQ(WebCurrentSession, -1);
    EXPECT_EQ(WebLoginLevel, -1);
  }
}

TEST_F(Request, LogoutDropsEverySessionNamed) {
  const char* first = WebSess_Create(0);
  std::string a = first;
  std::string link = WebSess_LinkToken();
  std::string b = WebSess_Create(1);
  Received r = Ask("GET /logout.asp?token=" + link + " HTTP/1.1\r\nCookie: QuenchRelayer=" + a +
                   "; QuenchRelayer=" + b + "\r\n\r\n");
  EXPECT_EQ(BodyOf(r.data), "BYE");
  EXPECT_EQ(WebSess_FindSession(a.c_str()), -1);
  EXPECT_EQ(WebSess_FindSession(b.c_str()), -1);
  EXPECT_EQ(WebCurrentSession, -1);
  EXPECT_EQ(WebLoginLevel, -1);
}

std::string Logout(const std::pair<std::string, std::string>& session) {
  return "GET /logout.asp" + session.second + " HTTP/1.1\r\n" + session.first + "\r\n";
}

TEST_F(Request, LogoutIsLoggedWithTheClientAddress) {
  g_logged.clear();
  EvtLogOps.Add = RecordEvent;
  listener6 = MakeListener(AF_INET6);
  struct {
    const char* name;
    int from;  // listener
    std::string request;
    std::vector<LoggedEvent> logged;
  } cases[] = {
      {"logout with a session", listener, Logout(LoginWithLink(0)), {{3, {"127.0.0.1"}}}},
      {"logout over IPv6", listener6, Logout(LoginWithLink(1)), {{3, {"::1"}}}},
      {"logout without a cookie", listener, "GET /logout.asp HTTP/1.1\r\n\r\n", {}},
      {"logout with a cookie that names no session", listener,
       "GET /logout.asp HTTP/1.1\r\nCookie: QuenchRelayer=AAAAAAAAAAAAAAAAAAAAAAAA\r\n\r\n", {}},
      {"another page with a session", listener, "GET /home.asp HTTP/1.1\r\n" + Login(0) + "\r\n", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_logged.clear();
    int client = Client(c.from);
    SendAll(client, c.request);
    Received r = Pump(client, 300);
    EXPECT_EQ(StatusOf(r.data), "HTTP/1.1 200 OK");
    EXPECT_EQ(g_logged, c.logged);
  }
  EvtLogOps.Add = nullptr;
}

TEST_F(Request, MethodAndVersionRules) {
  struct Case {
    const char* request;
    const char* status;  // null: closed without an answer
    const char* body;
  } cases[] = {
      {"get / HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", "Error 400: Bad Request\nCan not parse request: []"},
      {"DELETE / HTTP/1.1\r\nContent-Length: 2\r\n\r\nxy", "HTTP/1.1 400 Bad Request",
       "Error 400: Bad Request\nCan not parse request: [xy]"},
      {"GET / HTTP/2.0\r\n\r\n", "HTTP/1.1 505 HTTP version not supported",
       "Error 505: HTTP version not supported\nCan't support HTTP version"},
      {"GET / HTTP/1.2\r\n\r\n", "HTTP/1.1 505 HTTP version not supported", nullptr},
      {"GET / FTP/1.1\r\n\r\n", "HTTP/1.1 505 HTTP version not supported", nullptr},
      {"GET / HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK", nullptr},
      {"GET /\r\n\r\n", "HTTP/1.1 505 HTTP version not supported", nullptr},  // no version: 0.0
      {"GET\r\n\r\n", nullptr, nullptr},    // no blank after the method
      {"\r\n\r\n", nullptr, nullptr},       // empty request line
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    Received r = Ask(c.request);
    if (!c.status) {
      EXPECT_TRUE(r.closed);
      EXPECT_EQ(r.data, "");
      continue;
    }
    EXPECT_EQ(StatusOf(r.data), c.status);
    if (c.body) {
      EXPECT_EQ(BodyOf(r.data), c.body);
      EXPECT_EQ(HeaderOf(r.data, "Content-Length"), std::to_string(strlen(c.body)));
      EXPECT_EQ(HeaderOf(r.data, "Content-Type"), "text/plain");
    }
  }
}

TEST_F(Request, PutGetsNoAnswer) {
  Received r = Ask("PUT /home.asp HTTP/1.1\r\n\r\n", 100);
  EXPECT_EQ(r.data, "");
  EXPECT_FALSE(r.closed);
  EXPECT_EQ(Httpd_Connection(0)->state, HTTP_READING);
}

int g_formCalls;
void CountingForm(HttpConn* c) {
  ++g_formCalls;
  FakeDevForm(c);
}

TEST_F(Request, UnansweredRequestIsNotHandledAgain) {
  // A form reply without a page to go to gets no answer; what the client
  // sends next is a new request, and the form is not run again.
  HttpdOps.DevHandleForm = CountingForm;
  g_formCalls = 0;
  g_formReply = "OK";
  int c = Client();
  SendAll(c, "POST /f HTTP/1.1\r\nContent-Length: 3\r\n\r\na=b");
  EXPECT_EQ(Pump(c, 50).data, "");
  SendAll(c, "GET /style.css HTTP/1.1\r\n\r\n");
  Received r = Pump(c, 300);
  EXPECT_EQ(BodyOf(r.data), "body{}");
  EXPECT_EQ(g_formCalls, 1);
}

TEST_F(Request, FileAndTemplateHeaders) {
  Received css = Ask("GET /style.css HTTP/1.1\r\n\r\n");
  EXPECT_EQ(HeaderOf(css.data, "Content-Type"), "text/css");
  EXPECT_EQ(HeaderOf(css.data, "Content-Length"), "6");
  EXPECT_EQ(HeaderOf(css.data, "Connection"), "close");
  EXPECT_EQ(HeaderOf(css.data, "Cache-Control"), "");
  EXPECT_NE(HeaderOf(css.data, "Date"), "");

  Received page = Ask("GET /message.asp HTTP/1.1\r\n\r\n");
  EXPECT_EQ(HeaderOf(page.data, "Content-Type"), "text/html");
  EXPECT_EQ(HeaderOf(page.data, "Cache-Control"), "private, no-store, no-cache");
  EXPECT_EQ(HeaderOf(page.data, "Pragma"), "no-cache");
  EXPECT_EQ(HeaderOf(page.data, "Content-Length"), std::to_string(BodyOf(page.data).size()));

  // HEAD of a template: the raw template's size and no body.
  std::string raw = Scratch_ReadFile(Path("httpd/htdocs/message.asp"));
  Received head = Ask("HEAD /message.asp HTTP/1.1\r\n\r\n");
  EXPECT_EQ(StatusOf(head.data), "HTTP/1.1 200 OK");
  EXPECT_EQ(HeaderOf(head.data, "Content-Length"), std::to_string(raw.size()));
  EXPECT_EQ(HeaderOf(head.data, "Cache-Control"), "private, no-store, no-cache");
  EXPECT_EQ(BodyOf(head.data), "");
  EXPECT_TRUE(head.closed);

  // Temporary pages are gone once sent.
  for (const auto& e : std::filesystem::directory_iterator(tmp))
    EXPECT_EQ(e.path().filename().string().rfind("tmp_web_", 0), std::string::npos) << e.path();
}

TEST_F(Request, PagesNeedNoPrivateDirectory) {
  // Pages are made in memory: with no private directory, or a full disk,
  // the login page, the summary and the message page are still answered.
  unlink(Path("httpd/htdocs/tempage").c_str());
  Svc_SetDirs(nullptr, Path("gone").c_str());
  snprintf(WebErrTitle, sizeof WebErrTitle, "Error");
  snprintf(WebErrMsg, sizeof WebErrMsg, "not saved");
  snprintf(WebErrPath, sizeof WebErrPath, "window.history.back()");
  EXPECT_EQ(BodyOf(Ask("GET /message.asp HTTP/1.1\r\n\r\n").data), "T=Error M=not saved P=window.history.back()");
  EXPECT_EQ(BodyOf(Ask("GET /home.asp HTTP/1.1\r\n" + Login(2) + "\r\n").data), "HOME");
  Received login = Ask("GET /login.asp HTTP/1.1\r\n\r\n");
  EXPECT_EQ(BodyOf(login.data).size(), 6u + WEB_CHALLENGE_CHARS);
  EXPECT_EQ(HeaderOf(login.data, "Content-Length"), std::to_string(6 + WEB_CHALLENGE_CHARS));
  // A page larger than the connection's buffer is sent whole, and an empty one.
  Page("big.asp", std::string(HTTPD_BUFFER_SIZE + 100, 'b') + "<% DEV_END %>");
  Page("empty.asp", "");
  std::string cookie = Login(0);
  int k = Client();
  SendAll(k, "GET /big.asp HTTP/1.1\r\n" + cookie + "\r\n");
  Received big = Pump(k, 3000);
  EXPECT_EQ(BodyOf(big.data), std::string(HTTPD_BUFFER_SIZE + 100, 'b') + "[DEV_END]");
  Received empty = Ask("GET /empty.asp HTTP/1.1\r\n" + cookie + "\r\n");
  EXPECT_EQ(HeaderOf(empty.data, "Content-Length"), "0");
  EXPECT_TRUE(empty.closed);
}

TEST_F(Request, FormsRefuseAnotherOrigin) {
  // The page that sent a form, as its Origin says or without one its
  // Referer, must be this server's: the scheme of the connection, host and
  // port of the Host header (the scheme's port when it names none).
  g_formReply = "OK: Redirect=/done";
  struct Case {
    const char* headers;
    bool refused;
  } cases[] = {
      {"Host: ups.example:8080\r\n", false},  // neither header: curl, scripts
      {"Host: ups.example:8080\r\nOrigin: http://ups.example:8080\r\n", false},
      {"Host: ups.example:8080\r\nOrigin: HTTP://UPS.Example:8080\r\n", false},
      {"Host: ups.example:8080\r\nOrigin: http://ups.example:8081\r\n", true},  // another port of the host
      {"Host: ups.example:8080\r\nOrigin: https://ups.example:8080\r\n", true},
      {"Host: ups.example:8080\r\nOrigin: http://evil.example:8080\r\n", true},
      {"Host: ups.example:8080\r\nOrigin: http://ups.example\r\n", true},        // port 80
      {"Host: ups.example:8080\r\nOrigin: http://ups.example:8080x\r\n", true},
      {"Host: ups.example:8080\r\nOrigin: null\r\n", true},                       // an opaque origin
      {"Host: ups.example:8080\r\nOrigin: \r\n", true},
      {"Host: ups.example:8080\r\nReferer: http://ups.example:8080/en/page.asp?a=b\r\n", false},
      {"Host: ups.example:8080\r\nReferer: http://ups.example:8080\r\n", false},
      {"Host: ups.example:8080\r\nReferer: http://ups.example:8081/en/page.asp\r\n", true},
      {"Host: ups.example:8080\r\nReferer: http://user@ups.example:8080/\r\n", true},
      {"Host: ups.example:8080\r\nReferer: nowhere\r\n", true},
      // The Origin decides over the Referer.
      {"Host: ups.example:8080\r\nOrigin: http://ups.example:8080\r\nReferer: http://evil.example/\r\n", false},
      {"Host: ups.example:8080\r\nOrigin: http://evil.example\r\nReferer: http://ups.example:8080/\r\n", true},
      {"Host: ups.example\r\nOrigin: http://ups.example:80\r\n", false},
      {"Host: ups.example:80\r\nOrigin: http://ups.example\r\n", false},
      {"Host: [2001:db8::1]:8080\r\nOrigin: http://[2001:DB8::1]:8080\r\n", false},
      {"Host: [2001:db8::1]:8080\r\nOrigin: http://[2001:db8::1]:80800\r\n", true},
      {"Host: [2001:db8::1]\r\nOrigin: http://[2001:db8::1\r\n", true},
      {"Origin: http://ups.example\r\n", true},  // no Host: no origin of its own to match
      // Behind a proxy that ends HTTPS and names the scheme it was asked with.
      {"Host: ups.example:8443\r\nX-Forwarded-Proto: https\r\nOrigin: https://ups.example:8443\r\n", false},
      {"Host: ups.example\r\nX-Forwarded-Proto: HTTPS, http\r\nOrigin: https://ups.example\r\n", false},
      {"Host: ups.example:8080\r\nX-Forwarded-Proto: https\r\nOrigin: http://ups.example:8080\r\n", true},
      {"Host: ups.example:8080\r\nX-Forwarded-Proto: gopher\r\nOrigin: http://ups.example:8080\r\n", false},
      {"Host: ups.example\r\nX-Forwarded-Proto: https\r\nOrigin: https://ups.example:8443\r\n", true},  // port dropped
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.headers);
    g_formSeen.clear();
    Received r = Ask(std::string("POST /en/dev_form HTTP/1.1\r\n") + c.headers + "Content-Length: 3\r\n\r\na=b");
    if (c.refused) {
      EXPECT_EQ(StatusOf(r.data), "HTTP/1.1 403 Forbidden");
      EXPECT_EQ(BodyOf(r.data).find("Error 403: Forbidden\nRequest refused: it was sent by a page of another origin"),
                0u);
      EXPECT_EQ(g_formSeen, "");  // the form never saw it
    } else {
      EXPECT_EQ(StatusOf(r.data), "HTTP/1.1 302 Redirect");
      EXPECT_EQ(g_formSeen, "dev_form");
    }
    EXPECT_TRUE(r.closed);
  }
  // The refusal names the origin this server took for its own.
  Received r = Ask("POST /f HTTP/1.1\r\nHost: ups.example:8080\r\nOrigin: null\r\nContent-Length: 0\r\n\r\n");
  EXPECT_NE(BodyOf(r.data).find("another origin than http://ups.example:8080."), std::string::npos);
}

TEST_F(Request, OnlyRequestsThatChangeSomethingAskTheOrigin) {
  Scratch_WriteFile(TmpPath("config.ini"), "FILE config.ini");
  Scratch_WriteFile(TmpPath("iframe_log.htm"), "FILE iframe_log.htm");
  Page("en/page.asp", "PAGE");
  const auto [cookie, link] = LoginWithLink(0);
  const char* session = cookie.c_str() + strlen("Cookie: QuenchRelayer=");
  struct Case {
    std::string request;
    bool refused;
  } cases[] = {
      {"POST /en/dev_form", true},
      {"POST /varno/login", true},  // a login from there makes no session either
      {"GET /logout.asp" + link, true},
      {"HEAD /logout.asp" + link, true},
      {"GET /tempage/config.ini" + link, true},  // served once: removed
      {"HEAD /tempage/config.ini", false},
      {"GET /tempage/iframe_log.htm", false},
      {"GET /home.asp", false},
      {"GET /en/page.asp", false},
      // A query only chooses what the session's own pages show.
      {"GET /en/page.asp?DATA_SELBY=1&DATA_FROM=01%2F02%2F2031", false},
      {"GET /login.asp", false},
      {"GET /style.css?v=2", false},
  };
  // Where the page came from, as the browser says: another port of the
  // host, another site, or a page that sent no Referer (an image with
  // referrerpolicy="no-referrer") but is marked by the browser.
  for (const char* from : {"Referer: http://evil.example/x.html\r\n", "Origin: http://h:81\r\n",
                           "Sec-Fetch-Site: same-site\r\n", "Sec-Fetch-Site: cross-site\r\n",
                           "Sec-Fetch-Site: CROSS-SITE\r\nOrigin: http://h\r\n"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.request + " " + from);
      g_formSeen.clear();
      Received r = Ask(c.request + " HTTP/1.1\r\nHost: h\r\n" + from + cookie + "Content-Length: 0\r\n\r\n");
      EXPECT_EQ(StatusOf(r.data), c.refused ? "HTTP/1.1 403 Forbidden" : "HTTP/1.1 200 OK");
      EXPECT_EQ(g_formSeen, "");
    }
  }
  // Nothing changed: the session lives, the download copy is there. The
  // browser's own word for this server's pages, or for an address typed
  // in, lets the link through.
  EXPECT_GE(WebSess_FindSession(session), 0);
  EXPECT_EQ(Scratch_ReadFile(TmpPath("config.ini")), "FILE config.ini");
  EXPECT_EQ(BodyOf(Ask("GET /tempage/config.ini" + link + " HTTP/1.1\r\nHost: h\r\nSec-Fetch-Site: none\r\n" +
                       cookie + "\r\n")
                       .data),
            "FILE config.ini");
  EXPECT_EQ(BodyOf(Ask("GET /logout.asp" + link + " HTTP/1.1\r\nHost: h\r\nSec-Fetch-Site: same-origin\r\n"
                       "Referer: http://h/home.asp\r\n" + cookie + "\r\n")
                       .data),
            "BYE");
  EXPECT_EQ(WebSess_FindSession(session), -1);
}

TEST_F(Request, GetsThatChangeSomethingNeedTheSessionsLinkToken) {
  // Logging out and the one-time download, asked by a client that sends no
  // header naming the page it came from: only the link of the session's
  // own pages, with its token, does either.
  Scratch_WriteFile(TmpPath("config.ini"), "FILE config.ini");
  const auto [admin, link] = LoginWithLink(0);
  const auto [other, otherLink] = LoginWithLink(0);
  const std::string token = link.substr(strlen("?token="));
  struct Case {
    const char* name;
    std::string query;
  } refused[] = {
      {"no query", ""},
      {"no token", "?a=b"},
      {"an empty token", "?token="},
      {"another session's", otherLink},
      {"the token cut", "?token=" + token.substr(0, WEB_ID_CHARS - 1)},
      {"the token and more", "?token=" + token + "x"},
      {"the session's id", "?token=" + admin.substr(strlen("Cookie: QuenchRelayer="), WEB_ID_CHARS)},
  };
  for (const char* target : {"/logout.asp", "/tempage/config.ini"}) {
    for (const Case& c : refused) {
      SCOPED_TRACE(std::string(target) + ": " + c.name);
      Received r = Ask(std::string("GET ") + target + c.query + " HTTP/1.1\r\nHost: h\r\n" + admin + "\r\n");
      EXPECT_EQ(StatusOf(r.data), "HTTP/1.1 403 Forbidden");
      EXPECT_NE(BodyOf(r.data).find("does not carry this session's token"), std::string::npos);
      EXPECT_TRUE(r.closed);
    }
  }
  EXPECT_EQ(Scratch_ReadFile(TmpPath("config.ini")), "FILE config.ini");
  // The token among other pairs; each link works for its own session.
  EXPECT_EQ(BodyOf(Ask("GET /tempage/config.ini?x=1&token=" + token + " HTTP/1.1\r\n" + admin + "\r\n").data),
            "FILE config.ini");
  EXPECT_EQ(BodyOf(Ask("GET /logout.asp" + otherLink + " HTTP/1.1\r\n" + other + "\r\n").data), "BYE");
  EXPECT_GE(WebSess_FindSession(admin.c_str() + strlen("Cookie: QuenchRelayer=")), 0);
  // Without a live session there is nothing to protect: the logout page.
  EXPECT_EQ(BodyOf(Ask("GET /logout.asp HTTP/1.1\r\n" + other + "\r\n").data), "BYE");
  EXPECT_EQ(BodyOf(Ask("GET /logout.asp HTTP/1.1\r\n\r\n").data), "BYE");
}

TEST_F(Request, SessionEndedForALoginIsToldWhy) {
  Page("ended.asp", "ENDED");
  g_formReply = "OK: Redirect=/done";
  const std::string idle = Login(2);
  SvcSeconds += 5;
  std::vector<std::string> others;
  for (int i = 1; i < WEB_SESSIONS; ++i) others.push_back(Login(1));
  SvcSeconds += 5;
  for (const std::string& o : others) Ask("GET /home.asp HTTP/1.1\r\n" + o + "\r\n");
  const std::string newcomer = Login(0);  // the table was full: the idle one made room
  // Its next page, form post or file: the page that says why.
  for (const char* request : {"GET /home.asp", "GET /en/x.asp?a=1", "HEAD /home.asp", "POST /en/dev_form",
                              "GET /tempage/iframe_log.htm"}) {
    SCOPED_TRACE(request);
    g_formSeen.clear();
    Received r = Ask(std::string(request) + " HTTP/1.1\r\nHost: ups.example:8080\r\n" + idle +
                     "Content-Length: 0\r\n\r\n");
    EXPECT_EQ(StatusOf(r.data), "HTTP/1.1 302 Redirect");
    EXPECT_EQ(HeaderOf(r.data, "Location"), "http://ups.example:8080/ended.asp");
    EXPECT_EQ(g_formSeen, "");
    EXPECT_TRUE(r.closed);
  }
  // The page itself needs no session; the login page and the login form
  // are as always, and the newcomer and the others work.
  EXPECT_EQ(BodyOf(Ask("GET /ended.asp HTTP/1.1\r\n" + idle + "\r\n").data), "ENDED");
  EXPECT_EQ(BodyOf(Ask("GET /login.asp HTTP/1.1\r\n" + idle + "\r\n").data).substr(0, 6), "LOGIN ");
  Received login = Ask("POST /varno/login HTTP/1.1\r\nHost: h\r\n" + idle + "Content-Length: 0\r\n\r\n");
  EXPECT_EQ(HeaderOf(login.data, "Location"), "http://h/message.asp");  // the login form's own answer
  for (const std::string& c : {newcomer, others.front(), others.back()})
    EXPECT_EQ(BodyOf(Ask("GET /home.asp HTTP/1.1\r\n" + c + "\r\n").data), "HOME");
  // Once it would have expired anyway, a plain login page.
  SvcSeconds += WEB_SESSION_SECONDS;
  EXPECT_EQ(BodyOf(Ask("GET /home.asp HTTP/1.1\r\n" + idle + "\r\n").data).substr(0, 6), "LOGIN ");
}

TEST_F(Request, FormReplies) {
  struct Case {
    const char* name;
    const char* reply;
    const char* headers;
    const char* status;     // null: no answer
    const char* location;
    const char* cookie;
    const char* message;    // the message page afterwards
  } cases[] = {
      {"OK with redirect, no Referer: this connection's host and port", "OK: Redirect=/en/x.asp",
       "Host: ups.example:8080\r\n", "HTTP/1.1 302 Redirect", "http://ups.example:8080/en/x.asp", nullptr, nullptr},
      {"bracketed IPv6 host keeps its port", "OK: Redirect=/en/x.asp", "Host: [2001:db8::1]:8443\r\n",
       "HTTP/1.1 302 Redirect", "http://[2001:db8::1]:8443/en/x.asp", nullptr, nullptr},
      {"OK with this server's Referer: its scheme and host as written", "OK: Redirect=/en/x.asp\nmore",
       "Host: r.example:81\r\nReferer: HTTP://R.example:81/en/page.asp?x=1\r\n", "HTTP/1.1 302 Redirect",
       "HTTP://R.example:81/en/x.asp", nullptr, nullptr},
      {"another origin's Referer, with this server's Origin: this connection's", "OK: Redirect=/y",
       "Host: h\r\nOrigin: http://h\r\nReferer: http://elsewhere.example/\r\n", "HTTP/1.1 302 Redirect",
       "http://h/y", nullptr, nullptr},
      {"OK without Redirect= is not answered", "OK", "Host: h\r\n", nullptr, nullptr, nullptr, nullptr},
      {"Set Cookie", "Set Cookie: QuenchRelayer=abc;path=/", "Host: h\r\n", "HTTP/1.1 302 Redirect", "http://h/home.asp",
       "QuenchRelayer=abc;path=/; SameSite=Strict; HttpOnly", nullptr},
      {"Set Cookie behind a proxy that ends HTTPS: its scheme, a secure cookie", "Set Cookie: QuenchRelayer=abc;path=/",
       "Host: p.example:9443\r\nX-Forwarded-Proto: https\r\nReferer: https://p.example:9443/login.asp\r\n",
       "HTTP/1.1 302 Redirect", "https://p.example:9443/home.asp",
       "QuenchRelayer=abc;path=/; Secure; SameSite=Strict; HttpOnly", nullptr},
      {"OK behind that proxy without a Referer", "OK: Redirect=/en/x.asp",
       "Host: p.example:9443\r\nX-Forwarded-Proto: https\r\n", "HTTP/1.1 302 Redirect",
       "https://p.example:9443/en/x.asp", nullptr, nullptr},
      {"Message with redirect", "Message: Redirect=/en/a.asp\nTitle=T1\nBody=<b>100%s done</b>\n", "Host: h\r\n",
       "HTTP/1.1 302 Redirect", "http://h/message.asp", nullptr,
       "T=T1 M=<b>100%s done</b> P=window.location=&#39;/en/a.asp&#39;"},  // escaped for its attribute
      {"Message without redirect", "Message: Title=T2\nBody=B2\n", "Host: h\r\n", "HTTP/1.1 302 Redirect",
       "http://h/message.asp", nullptr, "T=T2 M=B2 P=window.history.back()"},
      {"no reply", "", "Host: h\r\n", "HTTP/1.1 302 Redirect", "http://h/message.asp", nullptr,
       "T=Error Message M=upsd reply: Not defined. P=window.history.back()"},
      {"unknown reply", "Done.", "Host: h\r\n", "HTTP/1.1 302 Redirect", "http://h/message.asp", nullptr,
       "T=Error Message M=upsd reply: Not defined. P=window.history.back()"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_formReply = c.reply;
    Received r = Ask(std::string("POST /en/dev_form HTTP/1.1\r\n") + c.headers + "Content-Length: 3\r\n\r\na=b",
                     c.status ? 300 : 100);
    EXPECT_EQ(g_formSeen, "dev_form");
    if (!c.status) {
      EXPECT_EQ(r.data, "");
      continue;
    }
    EXPECT_EQ(StatusOf(r.data), c.status);
    EXPECT_EQ(HeaderOf(r.data, "Location"), c.location);
    EXPECT_EQ(HeaderOf(r.data, "Connection"), "close");
    EXPECT_EQ(HeaderOf(r.data, "Set-Cookie"), c.cookie ? c.cookie : "");
    EXPECT_TRUE(r.closed);
    if (c.message) {
      EXPECT_EQ(BodyOf(Ask("GET /message.asp HTTP/1.1\r\n\r\n").data), c.message);
    }
  }
}

TEST_F(Request, FormAnswerClosesKeptAliveConnection) {
  g_formReply = "OK: Redirect=/x";
  Received r = Ask("POST /f HTTP/1.1\r\nConnection: Keep-Alive\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(StatusOf(r.data), "HTTP/1.1 302 Redirect");
  EXPECT_TRUE(r.closed);
}

TEST_F(Request, ControlCharactersInRedirectSourcesAreRefused) {
  g_formReply = "OK: Redirect=/x";
  const char* requests[] = {
      "POST /f HTTP/1.1\r\nHost: a\nSet-Cookie: evil=1\r\nContent-Length: 0\r\n\r\n",
      "POST /f HTTP/1.1\r\nHost: h\r\nReferer: http://a\rSet-Cookie: evil=1/x\r\nContent-Length: 0\r\n\r\n",
      "GET /?a\nSet-Cookie:evil=1 HTTP/1.1\r\nHost: h\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: h\x01x\r\n\r\n",
  };
  for (const char* req : requests) {
    SCOPED_TRACE(req);
    g_formSeen.clear();
    Received r = Ask(req);
    EXPECT_EQ(StatusOf(r.data), "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(r.data.find("evil"), std::string::npos);
    EXPECT_EQ(g_formSeen, "");
  }
}

TEST_F(Request, OverlongTargetIsRefusedNotCut) {
  // With a session the gate lets a long page path through; the file it
  // names cannot be opened whole, and a cut name could be another file.
  std::string cookie = Login(0);
  std::string path = "/" + std::string(300 - dir.size(), 'a') + ".asp";
  Received r = Ask("GET " + path + " HTTP/1.1\r\n" + cookie + "\r\n");
  EXPECT_EQ(StatusOf(r.data), "HTTP/1.1 400 Bad Request");
  // Without one it gets the login page.
  Received login = Ask("GET " + path + " HTTP/1.1\r\n\r\n");
  EXPECT_EQ(BodyOf(login.data).substr(0, 6), "LOGIN ");
}

TEST_F(Request, RedirectToHttps) {
  // Force HTTPS with HTTPS off: a missing page is the login page.
  HttpdSetting.forceHttps = 1;
  Httpd_Start(0, 8443, 0, 0);  // no listener opens; the HTTPS port is kept
  Received off = Ask("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(BodyOf(off.data).substr(0, 6), "LOGIN ");
  // A kept-alive request (PUT: read, left unanswered) redirected by hand.
  struct Case {
    const char* target;
    const char* host;
    const char* location;
  } cases[] = {
      {"/x?lang=1", "[2001:db8::1]:80", "https://[2001:db8::1]:8443/?lang=1"},
      {"/x", "ups.example:8080", "https://ups.example:8443"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    int k = Client();
    SendAll(k, std::string("PUT ") + c.target + " HTTP/1.1\r\nHost: " + c.host + "\r\nConnection: keep-alive\r\n\r\n");
    Pump(k, 30);
    HttpConn* conn = Httpd_Connection(0);
    ASSERT_EQ(conn->state, HTTP_READING);
    ASSERT_EQ(conn->keepAlive, 1);
    Httpd_RedirectHttps(conn);
    EXPECT_EQ(conn->keepAlive, 0);
    Received r = Pump(k, 300);
    EXPECT_EQ(StatusOf(r.data), "HTTP/1.1 302 Redirect");
    EXPECT_EQ(HeaderOf(r.data, "Location"), c.location);
    EXPECT_TRUE(r.closed);  // as its Connection: close says
  }
}

TEST(RequestText, UrlDecode) {
  struct Case {
    const char* in;
    int size;
    int plus;
    const char* out;
  } cases[] = {
      {"a%2Fb%2fc", 64, 0, "a/b/c"},  // either case
      {"a+b", 64, 0, "a+b"},
      {"a+b", 64, 1, "a b"},
      {"%zz%4", 64, 0, "%zz%4"},      // not an escape
      {"%41%42%43", 3, 0, "AB"},      // bounded by the destination
      {"%00x", 64, 0, ""},
  };
  for (const Case& c : cases) {
    char out[64];
    int n = Httpd_UrlDecode(c.in, static_cast<int>(strlen(c.in)), out, c.size, c.plus);
    EXPECT_STREQ(out, c.out) << c.in;
    EXPECT_EQ(n, c.in == std::string("%00x") ? 2 : static_cast<int>(strlen(c.out))) << c.in;
  }
}

TEST(RequestText, NormalizePath) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"/a/../b", "/a//b"},
      {"/../../x", "///x"},
      {"//a///b", "/a/b"},
      {"/a\\..\\b", "/a\\\\b"},
      {"/..../x", "//x"},
      {"/a..b/c", "/a..b/c"},
      {"/...", "/."},
      {"/", "/"},
      {"", ""},
  };
  for (const Case& c : cases) {
    char buf[64];
    snprintf(buf, sizeof buf, "%s", c.in);
    Httpd_NormalizePath(buf);
    EXPECT_STREQ(buf, c.out) << c.in;
  }
}

TEST(RequestText, FixPath) {
  EXPECT_STREQ(Httpd_FixPath("a\\b\\c"), "a/b/c");
  EXPECT_STREQ(Httpd_FixPath(std::string(300, 'x').c_str()), "");  // never cut
}

}  // namespace
