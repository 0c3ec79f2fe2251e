// Shared fixture of the web server tests: a scratch installation with a
// document root, the server initialised on it with a fake clock, and
// loopback clients whose connections the server takes from a test listener.
#pragma once
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "core/crypt.h"
#include "core/svc.h"
#include "support/scratch.h"
#include "web/httpd.h"
#include "web/websess.h"

namespace webtest {

inline time_t g_now = 1000;
// The server's clock counts milliseconds; the tests step it in seconds.
inline int64_t FakeClock() { return static_cast<int64_t>(g_now) * 1000; }

inline std::string g_formSeen;     // form name the device handler was given
inline std::string g_formReply;    // reply text the device handler leaves
inline void FakeDevForm(HttpConn* c) {
  g_formSeen = c->uri;
  snprintf(WebReply.text, sizeof WebReply.text, "%s", g_formReply.c_str());
  WebReply.length = static_cast<uint16_t>(strlen(WebReply.text) + 1);
}
// The device writer answers DEV_* names with "[name]".
inline void FakeDevVar(FILE* page, const char* name, int, HttpQueryPair*) {
  snprintf(WebReply.text, sizeof WebReply.text, "[%s]", name);
  WebReply.length = static_cast<uint16_t>(strlen(WebReply.text) + 1);
  WebReply.written = 1;
  fputs(WebReply.text, page);
}

inline int MakeListener(int family = AF_INET) {
  int s = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (family == AF_INET6) {
    struct sockaddr_in6 a {};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    bind(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
  } else {
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
  }
  listen(s, 64);
  return s;
}

inline int ConnectTo(int listener) {
  struct sockaddr_storage a;
  socklen_t len = sizeof a;
  getsockname(listener, reinterpret_cast<struct sockaddr*>(&a), &len);
  int s = socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  connect(s, reinterpret_cast<struct sockaddr*>(&a), len);
  fcntl(s, F_SETFL, O_NONBLOCK);
  return s;
}

inline void SendAll(int s, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(s, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else {
      Httpd_Poll();  // let the server drain its side
      struct pollfd p = {s, POLLOUT, 0};
      poll(&p, 1, 2);
    }
  }
}

// What a client received, and whether the server closed the connection.
struct Received {
  std::string data;
  bool closed = false;
  bool reset = false;  // closed with a reset
};

// Runs the server's passes for up to ms milliseconds, collecting what the
// client receives; stops early once the server has closed the connection.
inline Received Pump(int client, int ms, Received r = {}) {
  struct timespec start, now;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    Httpd_Poll();
    char buf[65536];
    for (;;) {
      ssize_t n = recv(client, buf, sizeof buf, 0);
      if (n > 0) {
        r.data.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) r.closed = true;
      if (n < 0 && errno == ECONNRESET) r.closed = r.reset = true;
      break;
    }
    if (r.closed) return r;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (elapsed >= ms) return r;
    struct pollfd p = {client, POLLIN, 0};
    poll(&p, 1, 1);
  }
}

inline std::string HeaderOf(const std::string& reply, const std::string& name) {
  std::string key = "\r\n" + name + ": ";
  size_t at = reply.find(key);
  if (at == std::string::npos) return "";
  size_t from = at + key.size();
  return reply.substr(from, reply.find("\r\n", from) - from);
}

inline std::string BodyOf(const std::string& reply) {
  size_t at = reply.find("\r\n\r\n");
  return at == std::string::npos ? "" : reply.substr(at + 4);
}

inline std::string StatusOf(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }

class WebTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    signal(SIGPIPE, SIG_IGN);
    Crypt_Init();
    mkdir(Path("httpd").c_str(), 0755);
    mkdir(Path("httpd/htdocs").c_str(), 0755);
    symlink(tmp.c_str(), Path("httpd/htdocs/tempage").c_str());
    Page("login.asp", "LOGIN <% LIN_CHALLENGE_VALUE %>");
    Page("home.asp", "HOME");
    Page("logout.asp", "BYE");
    Page("message.asp", "T=<% ERR_TITLE %> M=<% ERR_MSG %> P=<% ERR_PATH %>");
    Page("style.css", "body{}");
    HttpdClock = FakeClock;
    g_now = 1000;
    SvcSeconds = 100;
    Httpd_Init(dir.c_str(), FakeDevVar, FakeDevForm);
    HttpdSetting.forceHttps = 0;
    WebLock = {0, 5, 10};
    g_formSeen.clear();
    g_formReply.clear();
    listener = MakeListener();
  }
  void TearDown() override {
    for (int c : clients) close(c);
    Httpd_Stop();
    close(listener);
    if (listener6 >= 0) close(listener6);
    ScratchTest::TearDown();
  }
  void Page(const std::string& rel, const std::string& text) { Scratch_WriteFile(Path("httpd/htdocs/" + rel), text); }

  // A client connected and taken by the server.
  int Client(int from = -1) {
    int l = from >= 0 ? from : listener;
    int c = ConnectTo(l);
    clients.push_back(c);
    EXPECT_NE(Httpd_Accept(l, 0), nullptr);
    return c;
  }
  // One request on a new connection; the server's answer.
  Received Ask(const std::string& request, int ms = 300) {
    int c = Client();
    SendAll(c, request);
    return Pump(c, ms);
  }
  // A session for level, and its Cookie header.
  std::string Login(int level) {
    return std::string("Cookie: QuenchRelayer=") + WebSess_Create(level) + "\r\n";
  }

  int listener = -1;
  int listener6 = -1;
  std::vector<int> clients;
};

}  // namespace webtest
