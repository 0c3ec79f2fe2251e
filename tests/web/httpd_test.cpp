// Transport: reading requests over several reads, the header and body
// limits, keep-alive, the time limits and rates, which connection gives
// way to a new one, TLS without blocking, and the certificate writer.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "webfixture.h"

using namespace webtest;

namespace {

int g_bodyCount;
std::string g_bodyEdges;  // first and last body byte
void RecordBody(HttpConn* c) {
  g_bodyCount = c->bodyCount;
  g_bodyEdges = c->bodyCount ? std::string{c->body[0], c->body[c->bodyCount - 1]} : "";
  snprintf(WebReply.text, sizeof WebReply.text, "OK: Redirect=/done");
}

long ElapsedMs(const struct timespec& from, clockid_t clock = CLOCK_MONOTONIC) {
  struct timespec now;
  clock_gettime(clock, &now);
  return (now.tv_sec - from.tv_sec) * 1000 + (now.tv_nsec - from.tv_nsec) / 1000000;
}

class Transport : public WebTest {
 protected:
  // A client of the address with a small receive window: a large reply
  // cannot all sit in the buffers.
  int SmallWindowClient(const struct sockaddr_in& a) {
    int k = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;
    setsockopt(k, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    connect(k, reinterpret_cast<const struct sockaddr*>(&a), sizeof a);
    fcntl(k, F_SETFL, O_NONBLOCK);
    clients.push_back(k);
    return k;
  }
  // A client of the test listener from a loopback address of its own, not
  // yet taken by the server.
  int From(const char* source) {
    int k = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in own {};
    own.sin_family = AF_INET;
    inet_pton(AF_INET, source, &own.sin_addr);
    bind(k, reinterpret_cast<struct sockaddr*>(&own), sizeof own);
    struct sockaddr_in a {};
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<struct sockaddr*>(&a), &len);
    connect(k, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
    fcntl(k, F_SETFL, O_NONBLOCK);
    clients.push_back(k);
    return k;
  }
};

// A loopback address with a port that nothing uses now.
struct sockaddr_in FreeLoopbackPort() {
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(probe, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
  getsockname(probe, reinterpret_cast<struct sockaddr*>(&a), &len);
  close(probe);
  return a;
}

TEST_F(Transport, HeaderSplitOverReads) {
  // Every cut of the request, the blank line's four bytes included.
  std::string req = "GET /style.css HTTP/1.1\r\nHost: h\r\n\r\n";
  for (size_t cut : {size_t(1), size_t(16), req.size() - 4, req.size() - 3, req.size() - 2, req.size() - 1}) {
    SCOPED_TRACE(cut);
    int c = Client();
    SendAll(c, req.substr(0, cut));
    Received r = Pump(c, 20);
    EXPECT_EQ(r.data, "");
    SendAll(c, req.substr(cut));
    r = Pump(c, 300, r);
    EXPECT_EQ(BodyOf(r.data), "body{}");
  }
}

TEST_F(Transport, HeaderBlockLimit) {
  // A blank line that ends at byte 4096 is read; 4096 bytes without one
  // close the connection without an answer.
  std::string head = "GET /style.css HTTP/1.1\r\nX: ";
  std::string full = head + std::string(HTTPD_HEADER_SIZE - head.size() - 4, 'x') + "\r\n\r\n";
  ASSERT_EQ(full.size(), size_t(HTTPD_HEADER_SIZE));
  EXPECT_EQ(BodyOf(Ask(full).data), "body{}");

  std::string endless = head + std::string(HTTPD_HEADER_SIZE - head.size(), 'x');
  Received r = Ask(endless + "\r\n\r\n");
  EXPECT_TRUE(r.closed);
  EXPECT_EQ(r.data, "");
}

TEST_F(Transport, BodyLengths) {
  HttpdOps.DevHandleForm = RecordBody;
  struct Case {
    const char* name;
    long length;  // Content-Length, -1 none
    long sent;
    bool answered;
  } cases[] = {
      {"no Content-Length: the bytes after the blank line", -1, 7, true},
      {"in the connection buffer", 1000, 1000, true},
      {"just above the buffer: allocated", HTTPD_BUFFER_SIZE, HTTPD_BUFFER_SIZE, true},
      {"the limit", HTTPD_BODY_MAX, HTTPD_BODY_MAX, true},
      {"one over the limit", HTTPD_BODY_MAX + 1L, 0, false},
      {"a number beyond any limit", 99999999999999L, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_bodyCount = -1;
    std::string body(static_cast<size_t>(c.sent), 'b');
    if (!body.empty()) {
      body.front() = '<';
      body.back() = '>';
    }
    int k = Client();
    std::string req = "POST /dev HTTP/1.1\r\nHost: h\r\n";
    if (c.length >= 0) req += "Content-Length: " + std::to_string(c.length) + "\r\n";
    SendAll(k, req + "\r\n" + body);
    Received r = Pump(k, 2000);
    if (!c.answered) {
      EXPECT_TRUE(r.closed);
      EXPECT_EQ(r.data, "");
      EXPECT_EQ(g_bodyCount, -1);
      continue;
    }
    EXPECT_EQ(HeaderOf(r.data, "Location"), "http://h/done");
    EXPECT_EQ(g_bodyCount, c.sent);
    EXPECT_EQ(g_bodyEdges, "<>");
  }
}

TEST_F(Transport, KeepAliveMatchesTheWholeValue) {
  struct Case {
    const char* header;
    bool kept;
  } cases[] = {
      {"Connection: Keep-Alive\r\n", true},
      {"Connection: keep-alive\r\n", true},
      {"connection: KEEP-ALIVE\r\n", true},
      {"Connection: keep-alive, Upgrade\r\n", false},
      {"Connection: close\r\n", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    int k = Client();
    std::string req = std::string("GET /style.css HTTP/1.1\r\n") + c.header + "\r\n";
    SendAll(k, req);
    Received r = Pump(k, c.kept ? 50 : 300);
    EXPECT_EQ(BodyOf(r.data), "body{}");
    EXPECT_EQ(r.closed, !c.kept);
    if (!c.kept) continue;
    // The next request on the same connection is answered.
    SendAll(k, req);
    Received again = Pump(k, 50);
    EXPECT_EQ(BodyOf(again.data), "body{}");
    close(k);
    Pump(k, 5);
  }
}

TEST_F(Transport, HeaderDeadlineAndIdleLimit) {
  // The header must be complete 10 s after the accept (or the end of the
  // previous request) however its bytes trickle in; a body that has sent
  // almost nothing has 20 s from the end of its header. Each is reset.
  int quiet = Client();
  int trickle = Client();
  int body = Client();
  int kept = Client();
  SendAll(body, "POST /f HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc");
  SendAll(kept, "GET /style.css HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n");
  EXPECT_EQ(BodyOf(Pump(kept, 100).data), "body{}");
  for (int second = 1; second <= 9; ++second) {
    SendAll(trickle, "G");
    g_now += 1;
    for (int c : {quiet, trickle, body, kept}) EXPECT_FALSE(Pump(c, 5).closed) << second;
  }
  g_now += 1;
  Httpd_Tick();
  for (int c : {quiet, trickle, kept}) {
    Received r = Pump(c, 20);
    EXPECT_TRUE(r.reset);
    EXPECT_EQ(r.data, "");
  }
  g_now += HTTPD_TRANSFER_SECONDS - HTTPD_HEADER_SECONDS - 1;
  EXPECT_FALSE(Pump(body, 5).closed);
  g_now += 1;
  EXPECT_TRUE(Pump(body, 20).reset);
  for (int slot = 0; slot < 4; ++slot) EXPECT_EQ(Httpd_Connection(slot)->state, HTTP_FREE);
}

TEST_F(Transport, BodiesKeepTheMinimumRate) {
  // A body has 20 s from the end of its header and 1 s more for every 500
  // bytes; a burst earns at most 2 s ahead. The clock moves a second at a
  // time, and the bytes of a second follow the server's pass at its start.
  HttpdOps.DevHandleForm = RecordBody;
  struct Case {
    const char* name;
    int burst;      // body bytes right after the header
    int perSecond;  // then body bytes every second
    int length;     // Content-Length
    int resetAt;    // seconds after the header the connection is reset; 0 never
  } cases[] = {
      {"nothing comes: the start", 0, 0, 1000000, 20},
      {"half the rate: the time grows with what comes", 0, HTTPD_MIN_RATE / 2, 1000000, 39},
      {"a burst, then a byte a second: it earned 2 s", 100000, 1, 1000000, 23},
      {"the rate for longer than the start: answered", 0, HTTPD_MIN_RATE, 45 * HTTPD_MIN_RATE, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_bodyCount = -1;
    int k = Client();
    SendAll(k, "POST /dev HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(c.length) + "\r\n\r\n" +
                   std::string(static_cast<size_t>(c.burst), 'b'));
    Received r = Pump(k, 20);
    int sent = c.burst, second = 0;
    while (!r.closed && second < 60) {
      g_now += 1;
      ++second;
      r = Pump(k, 5, r);
      if (r.closed) break;
      const int n = std::min(c.perSecond, c.length - sent);
      SendAll(k, std::string(static_cast<size_t>(n), 'b'));
      sent += n;
      r = Pump(k, n ? 20 : 5, r);
    }
    if (c.resetAt) {
      EXPECT_TRUE(r.reset);
      EXPECT_EQ(second, c.resetAt);
      EXPECT_EQ(g_bodyCount, -1);
    } else {
      EXPECT_EQ(HeaderOf(r.data, "Location"), "http://h/done");
      EXPECT_EQ(g_bodyCount, c.length);
    }
    close(k);
    std::replace(clients.begin(), clients.end(), k, -1);
    Pump(k, 5);
  }
}

TEST_F(Transport, ReaderThatNeverReadsHoldsNothing) {
  // A large reply to a client that does not read: every pass returns at
  // once, another client is served meanwhile, and the idle limit ends it.
  Scratch_WriteFile(Path("httpd/htdocs/big.bin"), std::string(32 << 20, 'z'));
  int stuck = Client();
  SendAll(stuck, "GET /big.bin HTTP/1.1\r\n\r\n");
  // No pass waits for the client (wall time: a loaded machine may delay a
  // pass, never by seconds) nor copies more than a share of the reply
  // (processor time).
  long longestWall = 0, longestCpu = 0;
  for (int i = 0; i < 50; ++i) {
    struct timespec wall, cpu;
    clock_gettime(CLOCK_MONOTONIC, &wall);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    Httpd_Poll();
    longestCpu = std::max(longestCpu, ElapsedMs(cpu, CLOCK_THREAD_CPUTIME_ID));
    longestWall = std::max(longestWall, ElapsedMs(wall));
  }
  EXPECT_LT(longestCpu, 100);
  EXPECT_LT(longestWall, 2000);
  EXPECT_EQ(Httpd_Connection(0)->state, HTTP_SENDING);
  EXPECT_EQ(BodyOf(Ask("GET /style.css HTTP/1.1\r\n\r\n").data), "body{}");
  g_now += HTTPD_IDLE_SECONDS;
  Httpd_Tick();
  Httpd_Poll();
  EXPECT_EQ(Httpd_Connection(0)->state, HTTP_FREE);
}

TEST_F(Transport, WhoGivesWayToANewConnection) {
  // With every slot taken: a connection waiting on keep-alive gives way at
  // once; then, of those HTTPD_GIVE_WAY_SECONDS behind, the address holding
  // the most slots, its furthest behind first. The slot's holder is reset.
  fcntl(listener, F_SETFL, O_NONBLOCK);
  HttpdOps.DevHandleForm = RecordBody;
  auto take = [&](const char* source) {
    int k = From(source);
    EXPECT_NE(Httpd_Accept(listener, 0), nullptr) << source;
    return k;
  };
  int kept = take("127.0.0.4");
  SendAll(kept, "GET /style.css HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_EQ(BodyOf(Pump(kept, 100).data), "body{}");
  std::vector<int> bodies, early, late;
  for (int i = 0; i < 5; ++i) early.push_back(take("127.0.0.3"));  // send nothing
  for (int i = 0; i < 4; ++i) {
    bodies.push_back(take("127.0.0.2"));  // bodies that send nothing
    SendAll(bodies.back(), "POST /dev HTTP/1.1\r\nContent-Length: 100\r\n\r\n");
    Pump(bodies.back(), 5);
  }
  g_now += 1;
  for (int i = 0; i < 10; ++i) late.push_back(take("127.0.0.3"));
  // The table is full; the kept connection gives way though just answered.
  From("127.0.0.1");
  EXPECT_NE(Httpd_Accept(listener, 0), nullptr);
  EXPECT_TRUE(Pump(kept, 20).reset);
  // No other one is far enough behind: the next waits in the backlog.
  From("127.0.0.1");
  EXPECT_EQ(Httpd_Accept(listener, 0), nullptr);
  // Now all are: 127.0.0.3 gives its five that came first, then one more;
  // the bodies of 127.0.0.2, as far behind as the first five, stay.
  g_now += HTTPD_GIVE_WAY_SECONDS;
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    ASSERT_NE(Httpd_Accept(listener, 0), nullptr);
    From("127.0.0.1");
  }
  for (int k : early) EXPECT_TRUE(Pump(k, 20).reset);
  int lateReset = 0;
  for (int k : late) lateReset += Pump(k, 5).reset;
  EXPECT_EQ(lateReset, 1);
  for (int k : bodies) EXPECT_FALSE(Pump(k, 5).closed);
}

TEST_F(Transport, MovingConnectionsKeepTheirSlots) {
  // A body that comes at the minimum rate and a download read at 8 kB/s,
  // for longer than their 20-s start, while a new connection comes every
  // second and takes the slot of one that is behind.
  HttpdOps.DevHandleForm = RecordBody;
  Scratch_WriteFile(Path("httpd/htdocs/big.bin"), std::string(8 << 20, 'z'));
  fcntl(listener, F_SETFL, O_NONBLOCK);
  const int seconds = 30;
  int upload = Client();
  SendAll(upload, "POST /dev HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(seconds * HTTPD_MIN_RATE) +
                      "\r\n\r\n");
  struct sockaddr_in a {};
  socklen_t len = sizeof a;
  getsockname(listener, reinterpret_cast<struct sockaddr*>(&a), &len);
  int download = SmallWindowClient(a);
  ASSERT_NE(Httpd_Accept(listener, 0), nullptr);
  SendAll(download, "GET /big.bin HTTP/1.1\r\n\r\n");
  while (static_cast<int>(clients.size()) < HTTPD_CONNECTIONS) Client();
  int secondsWithBytes = 0;
  int accepted = 0;
  Received r;
  for (int second = 1; second <= seconds; ++second) {
    g_now += 1;
    SendAll(upload, std::string(HTTPD_MIN_RATE, 'b'));
    r = Pump(upload, 5, r);
    char buf[8192];
    if (recv(download, buf, sizeof buf, 0) > 0) ++secondsWithBytes;
    clients.push_back(ConnectTo(listener));
    if (Httpd_Accept(listener, 0)) ++accepted;
  }
  EXPECT_GE(accepted, 20);
  r = Pump(upload, 300, r);
  EXPECT_EQ(HeaderOf(r.data, "Location"), "http://h/done");
  EXPECT_EQ(g_bodyCount, seconds * HTTPD_MIN_RATE);
  EXPECT_EQ(Httpd_Connection(1)->state, HTTP_SENDING);
  EXPECT_EQ(secondsWithBytes, seconds);
}

TEST_F(Transport, StalledDownloadsGiveWayOnlyOnceStalled) {
  // Twenty clients that never read their large replies hold every slot in
  // the sending state: while their replies have just moved, a new
  // connection waits in the backlog, and the listener is not watched
  // meanwhile (it would wake the loop at once).
  Scratch_WriteFile(Path("httpd/htdocs/big.bin"), std::string(16 << 20, 'z'));
  struct sockaddr_in a = FreeLoopbackPort();
  Httpd_Start(ntohs(a.sin_port), 0, 1, 0);
  const int l = Httpd_ListenerFd(0);
  ASSERT_GE(l, 0);
  auto watched = [&] {
    struct pollfd fds[64];
    int busy = 0;
    int n = Httpd_PollFill(fds, 64, &busy);
    return std::any_of(fds, fds + n, [&](const pollfd& p) { return p.fd == l; });
  };
  EXPECT_TRUE(watched());
  std::vector<int> readers;
  for (int i = 0; i < HTTPD_CONNECTIONS; ++i) {
    int k = SmallWindowClient(a);
    readers.push_back(k);
    SendAll(k, "GET /big.bin HTTP/1.1\r\n\r\n");
    for (int pass = 0; pass < 50 && Httpd_Connection(i)->state != HTTP_SENDING; ++pass) Pump(k, 2);
    ASSERT_EQ(Httpd_Connection(i)->state, HTTP_SENDING) << i;
  }
  EXPECT_FALSE(watched());
  int late = ConnectTo(l);
  clients.push_back(late);
  SendAll(late, "GET /style.css HTTP/1.1\r\n\r\n");
  Received r = Pump(late, 100);
  EXPECT_EQ(r.data, "");
  EXPECT_FALSE(r.closed);
  // A slot that frees takes it.
  // (Closed with its reply unread: the server's next send fails.)
  close(readers[4]);
  std::replace(clients.begin(), clients.end(), readers[4], -1);
  Received got;
  for (int pass = 0; pass < 500 && !got.closed; ++pass) got = Pump(late, 2, got);
  EXPECT_EQ(BodyOf(got.data), "body{}");
  EXPECT_TRUE(watched());
  // Every slot sending again; once nothing has moved for a while (the
  // lead the filled buffers earned, then the margin), one gives way.
  readers[4] = SmallWindowClient(a);
  SendAll(readers[4], "GET /big.bin HTTP/1.1\r\n\r\n");
  for (int pass = 0; pass < 50 && Httpd_Connection(4)->state != HTTP_SENDING; ++pass) Pump(readers[4], 2);
  ASSERT_EQ(Httpd_Connection(4)->state, HTTP_SENDING);
  EXPECT_FALSE(watched());
  g_now += HTTPD_AHEAD_SECONDS + HTTPD_GIVE_WAY_SECONDS - 1;
  EXPECT_FALSE(watched());
  g_now += 1;
  EXPECT_TRUE(watched());
  int next = ConnectTo(l);
  clients.push_back(next);
  SendAll(next, "GET /style.css HTTP/1.1\r\n\r\n");
  got = {};
  for (int pass = 0; pass < 500 && !got.closed; ++pass) got = Pump(next, 2, got);
  EXPECT_EQ(BodyOf(got.data), "body{}");
  // The slot it took (and gave back when done) is one download's.
  int sending = 0;
  for (int i = 0; i < HTTPD_CONNECTIONS; ++i) sending += Httpd_Connection(i)->state == HTTP_SENDING;
  EXPECT_EQ(sending, HTTPD_CONNECTIONS - 1);
}

TEST_F(Transport, PeerAddressAndFamily) {
  listener6 = MakeListener(AF_INET6);
  int c6 = Client(listener6);
  SendAll(c6, "GET /style.css HTTP/1.1\r\n\r\n");
  Pump(c6, 300);
  EXPECT_EQ(WebReply.clientFamily, AF_INET6);
  uint8_t loop6[16] = {};
  loop6[15] = 1;
  EXPECT_EQ(memcmp(WebReply.clientAddress, loop6, 16), 0);
  Ask("GET /style.css HTTP/1.1\r\n\r\n");
  EXPECT_EQ(WebReply.clientFamily, AF_INET);
  uint8_t loop4[16] = {127, 0, 0, 1};
  EXPECT_EQ(memcmp(WebReply.clientAddress, loop4, 16), 0);
}

TEST_F(Transport, DescriptorZeroIsAConnection) {
  int k = ConnectTo(listener);
  clients.push_back(k);
  int saved = dup(0);
  close(0);
  HttpConn* c = Httpd_Accept(listener, 0);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->socket, 0);
  SendAll(k, "GET /style.css HTTP/1.1\r\n\r\n");
  Received r = Pump(k, 300);
  EXPECT_EQ(BodyOf(r.data), "body{}");
  EXPECT_TRUE(r.closed);
  EXPECT_EQ(c->state, HTTP_FREE);
  dup2(saved, 0);
  close(saved);
}

TEST_F(Transport, CloseFd) {
  int k = Client();
  int fd = Httpd_Connection(0)->socket;
  EXPECT_EQ(Httpd_CloseFd(fd), 1);
  EXPECT_EQ(Httpd_Connection(0)->state, HTTP_FREE);
  EXPECT_TRUE(Pump(k, 20).closed);
  EXPECT_EQ(Httpd_CloseFd(fd), 0);
}

TEST_F(Transport, RestartBindsThePortAgainAtOnce) {
  struct sockaddr_in a = FreeLoopbackPort();
  const int port = ntohs(a.sin_port);
  Httpd_Start(port, 0, 1, 0);
  int l = Httpd_ListenerFd(0);
  ASSERT_GE(l, 0);
  // A request served and closed by the server: its side waits in TIME_WAIT.
  int k = ConnectTo(l);
  clients.push_back(k);
  SendAll(k, "GET /style.css HTTP/1.1\r\nHost: h\r\n\r\n");
  Received r = Pump(k, 1000);
  ASSERT_TRUE(r.closed);
  EXPECT_EQ(BodyOf(r.data), "body{}");
  Httpd_Stop();
  Httpd_Start(port, 0, 1, 0);
  EXPECT_GE(Httpd_ListenerFd(0), 0);
  // A port that another socket listens on is still refused.
  Httpd_Stop();
  int other = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);  // past the TIME_WAIT too
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(other, reinterpret_cast<struct sockaddr*>(&a), sizeof a), 0);
  listen(other, 1);
  Httpd_Start(port, 0, 1, 0);
  EXPECT_EQ(Httpd_ListenerFd(0), -1);
  close(other);
}

TEST(HeaderText, Helpers) {
  char a[] = "GET / HTTP/1.1\r\nHost: x\r\n";
  char* rest = Httpd_CutAt(a, "\r\n");
  EXPECT_STREQ(a, "GET / HTTP/1.1");
  EXPECT_STREQ(rest, "Host: x\r\n");
  char* target = Httpd_NextField(a);
  EXPECT_STREQ(a, "GET");
  char* version = Httpd_NextWord(target);
  EXPECT_STREQ(target, "/");
  EXPECT_STREQ(version, "HTTP/1.1");
  char h[] = "Content-Type:   text/html; x";
  EXPECT_STREQ(Httpd_NextField(h), "text/html; x");
  EXPECT_STREQ(h, "Content-Type");
  char empty[] = "";
  EXPECT_EQ(Httpd_CutAt(empty, "\r\n"), nullptr);
  EXPECT_EQ(Httpd_NextField(empty), nullptr);
  char word[] = "GET";
  char* end = Httpd_NextWord(word);
  ASSERT_NE(end, nullptr);
  EXPECT_STREQ(end, "");  // the end of the text, not none
}

// ---- TLS ----------------------------------------------------------------------

std::string MakePem(bool matchingKey = true) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  EVP_PKEY* other = EVP_EC_gen("P-256");
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 3600);
  X509_set_pubkey(x, key);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("test"), -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509_sign(x, key, EVP_sha256());
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, x);
  PEM_write_bio_PrivateKey(bio, matchingKey ? key : other, nullptr, nullptr, 0, nullptr, nullptr);
  char* data;
  long n = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<size_t>(n));
  BIO_free(bio);
  X509_free(x);
  EVP_PKEY_free(key);
  EVP_PKEY_free(other);
  return pem;
}

class Tls : public WebTest {
 protected:
  void SetUp() override {
    WebTest::SetUp();
    Scratch_WriteFile(Path("httpd/cert_web.pem"), MakePem());
    Httpd_Start(0, 0, 0, 0);  // the TLS context, no listener
    ASSERT_NE(Httpd_TlsContext(), nullptr);
    client = SSL_CTX_new(TLS_client_method());
  }
  void TearDown() override {
    SSL_CTX_free(client);
    WebTest::TearDown();
  }
  // Drives a client TLS step until it is done, running server passes between.
  bool Step(SSL* ssl, int (*op)(SSL*), int ms = 1000) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    while (ElapsedMs(t) < ms) {
      int r = op(ssl);
      if (r == 1) return true;
      int e = SSL_get_error(ssl, r);
      if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return false;
      Httpd_Poll();
      struct pollfd p = {SSL_get_fd(ssl), POLLIN, 0};
      poll(&p, 1, 1);
    }
    return false;
  }
  std::string ReadAll(SSL* ssl, int ms = 1000) {
    std::string out;
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    char buf[4096];
    while (ElapsedMs(t) < ms) {
      int r = SSL_read(ssl, buf, sizeof buf);
      if (r > 0) {
        out.append(buf, static_cast<size_t>(r));
        continue;
      }
      int e = SSL_get_error(ssl, r);
      if (e != SSL_ERROR_WANT_READ) break;  // close_notify or the socket's end
      Httpd_Poll();
      struct pollfd p = {SSL_get_fd(ssl), POLLIN, 0};
      poll(&p, 1, 1);
    }
    ERR_clear_error();
    return out;
  }
  SSL_CTX* client = nullptr;
};

TEST_F(Tls, SilentClientDoesNotHoldTheServer) {
  int silent = ConnectTo(listener);
  clients.push_back(silent);
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  HttpConn* c = Httpd_Accept(listener, 1);
  EXPECT_LT(ElapsedMs(t), 50);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->handshake, 1);
  // A plain client is answered while the handshake waits.
  EXPECT_EQ(BodyOf(Ask("GET /style.css HTTP/1.1\r\n\r\n").data), "body{}");
  // The silent one is dropped at the idle limit.
  g_now += HTTPD_IDLE_SECONDS;
  Httpd_Poll();
  EXPECT_EQ(c->state, HTTP_FREE);
}

TEST_F(Tls, HandshakeHasItsOwnTimeAndTheHeaderBeginsAfterIt) {
  // A slow handshake does not eat into the header's time.
  int k = ConnectTo(listener);
  clients.push_back(k);
  HttpConn* c = Httpd_Accept(listener, 1);
  ASSERT_NE(c, nullptr);
  g_now += HTTPD_HANDSHAKE_SECONDS - 1;
  SSL* ssl = SSL_new(client);
  SSL_set_fd(ssl, k);
  ASSERT_TRUE(Step(ssl, SSL_connect));
  g_now += HTTPD_HEADER_SECONDS - 1;
  Httpd_Tick();
  ASSERT_EQ(c->state, HTTP_READING);
  std::string req = "GET /style.css HTTP/1.1\r\nHost: h\r\n\r\n";
  SSL_write(ssl, req.data(), static_cast<int>(req.size()));
  EXPECT_EQ(BodyOf(ReadAll(ssl)), "body{}");
  SSL_free(ssl);
  // A handshake that is not done in its time is closed.
  int silent = ConnectTo(listener);
  clients.push_back(silent);
  c = Httpd_Accept(listener, 1);
  ASSERT_NE(c, nullptr);
  g_now += HTTPD_HANDSHAKE_SECONDS - 1;
  Httpd_Tick();
  EXPECT_EQ(c->state, HTTP_READING);
  g_now += 1;
  Httpd_Tick();
  EXPECT_EQ(c->state, HTTP_FREE);
}

TEST_F(Tls, RequestOverTls) {
  int k = ConnectTo(listener);
  clients.push_back(k);
  ASSERT_NE(Httpd_Accept(listener, 1), nullptr);
  SSL* ssl = SSL_new(client);
  SSL_set_fd(ssl, k);
  ASSERT_TRUE(Step(ssl, SSL_connect));
  EXPECT_EQ(SSL_version(ssl), TLS1_2_VERSION);
  // Header and body in one record larger than one header read: the rest
  // waits inside the TLS library, where no descriptor shows it.
  HttpdOps.DevHandleForm = RecordBody;
  std::string body(3000, 'q');
  std::string head = "POST /dev HTTP/1.1\r\nHost: h\r\nX: " + std::string(3000, 'x') +
                     "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  std::string req = head + body;
  ASSERT_EQ(SSL_write(ssl, req.data(), static_cast<int>(req.size())), static_cast<int>(req.size()));
  std::string reply = ReadAll(ssl);
  EXPECT_EQ(StatusOf(reply), "HTTP/1.1 302 Redirect");
  EXPECT_EQ(HeaderOf(reply, "Location"), "https://h/done");
  EXPECT_EQ(g_bodyCount, 3000);
  // A normal end says close_notify.
  EXPECT_EQ(SSL_get_shutdown(ssl) & SSL_RECEIVED_SHUTDOWN, SSL_RECEIVED_SHUTDOWN);
  SSL_free(ssl);
}

TEST_F(Tls, DecryptedBytesKeepTheLoopBusy) {
  int k = ConnectTo(listener);
  clients.push_back(k);
  HttpConn* c = Httpd_Accept(listener, 1);
  SSL* ssl = SSL_new(client);
  SSL_set_fd(ssl, k);
  ASSERT_TRUE(Step(ssl, SSL_connect));
  // One record: a header, then more body than the first read takes.
  std::string req = "POST /dev HTTP/1.1\r\nX: " + std::string(3000, 'x') + "\r\nContent-Length: 3000\r\n\r\n" +
                    std::string(3000, 'b');
  SSL_write(ssl, req.data(), static_cast<int>(req.size()));
  struct pollfd wait = {k, POLLIN, 0};
  for (int i = 0; i < 200 && c->headerCount == 0; ++i) {
    poll(&wait, 1, 1);
    struct pollfd own = {c->socket, POLLIN, 0};
    if (poll(&own, 1, 5) == 1) Httpd_ReadRequest(c);
  }
  ASSERT_NE(c->body, nullptr);
  ASSERT_LT(c->bodyCount, 3000);
  struct pollfd fds[32];
  int busy = 0;
  Httpd_PollFill(fds, 32, &busy);
  EXPECT_EQ(busy, 1);
  SSL_free(ssl);
}

TEST_F(Tls, FailedHandshakeClosesTheConnection) {
  int k = ConnectTo(listener);
  clients.push_back(k);
  HttpConn* c = Httpd_Accept(listener, 1);
  ASSERT_NE(c, nullptr);
  SendAll(k, "GET / HTTP/1.1\r\n\r\n");  // plain text to a TLS port
  EXPECT_TRUE(Pump(k, 300).closed);
  EXPECT_EQ(c->state, HTTP_FREE);
}

// ---- the certificate writer -----------------------------------------------------

class Cert : public WebTest {};

TEST_F(Cert, UploadIsCheckedBeforeItReplacesTheFile) {
  std::string path = Path("httpd/cert_web.pem");
  Scratch_WriteFile(path, "OLD");
  struct Case {
    const char* name;
    std::string value;
    int result;
  } cases[] = {
      {"not a certificate", "hello", 0},
      {"a key that does not belong to the certificate", MakePem(false), 0},
      {"too long", MakePem() + std::string(20001, '\n'), 0},
      {"certificate and key", MakePem(), 1},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    WebFormField f{nullptr, nullptr, c.value.data(), c.value.data() + c.value.size() - 1};
    EXPECT_EQ(Httpd_SaveCert(&f), c.result);
    if (c.result) {
      EXPECT_EQ(Scratch_ReadFile(path), c.value);
      struct stat st;
      stat(path.c_str(), &st);
      EXPECT_EQ(st.st_mode & 0777, 0600u);
    } else {
      EXPECT_EQ(Scratch_ReadFile(path), "OLD");
    }
  }
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

}  // namespace
