// Notification mail: the spool files, and SMTP sessions against a scripted
// peer on loopback (plain and TLS): the dialogue's rows, the receiver
// filter, the message with dot-stuffing, and the bounds of a failing server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "core/crypt.h"
#include "core/svc.h"
#include "events/evtdef.h"
#include "events/mail.h"
#include "support/events_fakes.h"
#include "support/scratch.h"
#include "web/websys.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

time_t g_now;
time_t FakeClock() { return g_now; }

time_t At(int hour, int minute, int second) {
  struct tm tm {};
  tm.tm_year = 2024 - 1900;
  tm.tm_mon = 2;
  tm.tm_mday = 9;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return timegm(&tm);
}

bool HaveIpv6Loopback() {
  int fd = socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  struct sockaddr_in6 a {};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

// A server context with a fresh self-signed certificate.
SSL_CTX* MakeServerTls() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 3600);
  X509_set_pubkey(x, key);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("peer"), -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509_sign(x, key, EVP_sha256());
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  SSL_CTX_use_certificate(ctx, x);
  SSL_CTX_use_PrivateKey(ctx, key);
  X509_free(x);
  EVP_PKEY_free(key);
  return ctx;
}

// A scripted SMTP server for one connection, or for one connection after
// the other with a script each (the lines of a later one follow a
// "<session>" line). script[0] is the greeting; each further entry answers
// one received line (the DATA block counts as one, recorded as "<data>"
// with its bytes in body and bodies). In an entry, "|" splits the answer
// into writes 30 ms apart (separate TLS records once TLS is up); "<tls>"
// before an answer starts TLS after it; "<close>" hangs up; "<silent>"
// answers nothing until the client hangs up; "<pause>" before an answer
// waits 300 ms first.
class SmtpPeer {
 public:
  SmtpPeer(int family, Lines script, SSL_CTX* tls = nullptr)
      : SmtpPeer(family, std::vector<Lines>{std::move(script)}, tls) {}
  SmtpPeer(int family, std::vector<Lines> sessions, SSL_CTX* tls = nullptr)
      : sessions_(std::move(sessions)), tls_(tls) {
    listen_ = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_storage ss {};
    socklen_t len;
    if (family == AF_INET6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
      a->sin6_family = AF_INET6;
      a->sin6_addr = in6addr_loopback;
      len = sizeof *a;
    } else {
      auto* a = reinterpret_cast<sockaddr_in*>(&ss);
      a->sin_family = AF_INET;
      a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof *a;
    }
    EXPECT_EQ(bind(listen_, reinterpret_cast<sockaddr*>(&ss), len), 0);
    EXPECT_EQ(listen(listen_, 4), 0);
    getsockname(listen_, reinterpret_cast<sockaddr*>(&ss), &len);
    port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                     : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~SmtpPeer() {
    Join();
    close(listen_);
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  uint16_t port() const { return port_; }
  bool accepted = false;
  std::atomic<int> received{0};  // lines taken so far (lines is read after Join)
  Lines lines;       // what the client sent, line by line
  std::string body;  // the last DATA block as it came, terminator included
  Lines bodies;      // every DATA block

 private:
  void Run() {
    for (size_t i = 0; i < sessions_.size(); ++i) {
      if (i > 0) lines.push_back("<session>");
      if (!Serve(sessions_[i])) return;
    }
  }
  bool Serve(const Lines& script) {
    struct pollfd p = {listen_, POLLIN, 0};
    if (poll(&p, 1, 3000) != 1) return false;
    fd_ = accept(listen_, nullptr, nullptr);
    if (fd_ < 0) return false;
    accepted = true;
    struct timeval tv = {5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    size_t next = 0;
    bool data = false;
    bool go = Reply(script[next++]);
    while (go && next < script.size()) {
      std::string got;
      if (!ReadUntil(data ? "\r\n.\r\n" : "\n", &got)) break;
      if (data) {
        body = got;
        bodies.push_back(got);
        lines.push_back("<data>");
      } else {
        while (!got.empty() && (got.back() == '\n' || got.back() == '\r')) got.pop_back();
        lines.push_back(got);
      }
      ++received;
      const std::string& e = script[next++];
      data = e.rfind("354", 0) == 0;
      go = Reply(e);
    }
    // Whatever the client still sends after the script ends.
    std::string rest;
    if (go) {
      while (ReadUntil("\n", &rest)) {
        while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) rest.pop_back();
        lines.push_back(rest);
        rest.clear();
      }
    }
    if (ssl_) SSL_free(ssl_);
    ssl_ = nullptr;
    close(fd_);
    return true;
  }
  int Recv(char* c) { return ssl_ ? SSL_read(ssl_, c, 1) : static_cast<int>(recv(fd_, c, 1, 0)); }
  void Send(const std::string& s) {
    if (ssl_) SSL_write(ssl_, s.data(), static_cast<int>(s.size()));
    else send(fd_, s.data(), s.size(), MSG_NOSIGNAL);
  }
  bool ReadUntil(const std::string& end, std::string* out) {
    char c;
    while (Recv(&c) == 1) {
      *out += c;
      if (out->size() >= end.size() && out->compare(out->size() - end.size(), end.size(), end) == 0) return true;
    }
    return false;
  }
  bool Reply(const std::string& entry) {
    if (entry == "<close>") return false;
    if (entry == "<silent>") {
      char c;
      while (Recv(&c) == 1) {
      }
      return false;
    }
    std::string text = entry;
    if (text.rfind("<pause>", 0) == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      text = text.substr(7);
    }
    bool tls = text.rfind("<tls>", 0) == 0;
    if (tls) text = text.substr(5);
    for (size_t at = 0;;) {
      size_t bar = text.find('|', at);
      Send(text.substr(at, bar == std::string::npos ? std::string::npos : bar - at));
      if (bar == std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      at = bar + 1;
    }
    if (tls) {
      ssl_ = SSL_new(tls_);
      SSL_set_fd(ssl_, fd_);
      if (SSL_accept(ssl_) != 1) return false;
      lines.push_back("<tls>");
    }
    return true;
  }

  std::vector<Lines> sessions_;
  SSL_CTX* tls_;
  SSL* ssl_ = nullptr;
  int listen_ = -1;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

// A loopback port with nothing listening.
uint16_t ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

std::string B64(const std::string& s) {
  char out[128];
  int n = CryptOps.B64_Encode(out, reinterpret_cast<const uint8_t*>(s.data()), static_cast<int>(s.size()));
  return std::string(out, n);
}

class MailTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    setenv("TZ", "UTC", 1);
    tzset();
    setlocale(LC_CTYPE, "C.UTF-8");
    signal(SIGPIPE, SIG_IGN);
    Crypt_Init();
    Mail_Init(dir.c_str());
    savedClock_ = SvcWallClock;
    SvcWallClock = FakeClock;
    g_now = At(14, 5, 7);
    savedTimeout_ = MailTimeout;
    MailTimeout = {2000, 2000, 60000};
    Mail_ResetRetry();
    InstallEventFakes();
    snprintf(SvcSystemInfo.hostName, sizeof SvcSystemInfo.hostName, "ups-host");
    WebSysInfoText = {};
    wcscpy(WebSysInfoText.location, L"Serverraum S\u00fcd");
    wcscpy(WebSysInfoText.contactor, L"Ops Team");
    SetText(0, "Monitoring service started", 1);
    SetText(3, "User logged out from %s", 0);
    SetText(6, "System will shut down in %s", 2);
    SetText(7, "", 1);
    SetText(100 + 2, "Utility power failure", 2);
    SetText(100 + 6, "Output overload", 3);
    EvtCommonEvents.level[8] = 1;  // a level but no text
    snprintf(MailSetting.server, sizeof MailSetting.server, "127.0.0.1");
    snprintf(MailSetting.from, sizeof MailSetting.from, "ups@example.org");
    snprintf(MailSetting.account, sizeof MailSetting.account, "mailer");
    SetReceivers({{"ops@example.org", 1}});
  }
  void TearDown() override {
    for (char*& t : EvtCommonEvents.text) free(t), t = nullptr;
    for (char*& t : EvtUpsEvents.text) free(t), t = nullptr;
    EvtCommonEvents = {};
    EvtUpsEvents = {};
    SvcWallClock = savedClock_;
    MailTimeout = savedTimeout_;
    ScratchTest::TearDown();
  }
  static void SetText(int code, const char* text, uint8_t level) {
    const bool ups = code >= EVT_UPS_BASE;
    char*& slot = ups ? EvtUpsEvents.text[code - EVT_UPS_BASE] : EvtCommonEvents.text[code];
    free(slot);
    slot = strdup(text);
    (ups ? EvtUpsEvents.level[code - EVT_UPS_BASE] : EvtCommonEvents.level[code]) = level;
  }
  static void SetReceivers(const std::vector<std::pair<std::string, int>>& list) {
    MailSetting.receiverCount = static_cast<uint8_t>(list.size());
    for (size_t i = 0; i < list.size(); ++i) {
      snprintf(MailSetting.receivers[i].address, MAIL_TEXT, "%s", list[i].first.c_str());
      MailSetting.receivers[i].level = static_cast<uint8_t>(list[i].second);
    }
  }
  std::string SpoolName(int level) const {
    char path[320];
    Mail_SpoolPath(path, sizeof path, level);
    return path;
  }
  std::string Spool(int level) const { return Scratch_ReadFile(SpoolName(level)); }
  bool HasSpool(int level) const { return fs::exists(fs::symlink_status(SpoolName(level))); }
  // Steps the session as the main loop does (its socket in a poll, then a
  // step) until it ends; returns how long it took, in milliseconds. Each
  // step must return at once: *longestStepMs gets the longest.
  static long Drive(long limitMs = 20000, double* longestStepMs = nullptr) {
    auto t0 = std::chrono::steady_clock::now();
    auto since = [&] {
      return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    };
    while (Mail_SessionActive() && since() < limitMs) {
      struct pollfd fds[4];
      int busy = 0;
      int n = Mail_PollFill(fds, 4, &busy);
      poll(fds, static_cast<nfds_t>(n), busy ? 0 : 10);
      auto s0 = std::chrono::steady_clock::now();
      MailOps.Step();
      double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - s0).count();
      if (longestStepMs && ms > *longestStepMs) *longestStepMs = ms;
    }
    return since();
  }
  // A pass of the 5-second message, stepped to its end.
  static void Pass() {
    Mail_ResetRetry();
    MailOps.SendAll();
    Drive();
  }
  // One event of the level (1..3) into its spool.
  static void AddEventOfLevel(int level) {
    static const struct {
      int kind, index;
    } kEvents[] = {{MAIL_KIND_SYSTEM, 0}, {MAIL_KIND_UPS, 2}, {MAIL_KIND_UPS, 6}};
    MailOps.AddEvent(kEvents[level - 1].kind, kEvents[level - 1].index, "SN1", "M1", static_cast<const char*>(nullptr));
  }
  // One event of the level in its spool, mailed to a peer.
  void MailOneEvent(SmtpPeer& peer, int level = 1) {
    MailSetting.port = peer.port();
    AddEventOfLevel(level);
    Pass();
    peer.Join();
  }
  // What the event log got from the mail module: free-text records as
  // "<level> <text>".
  static Lines Notices() {
    Lines out;
    for (const LoggedEvent& e : g_logged)
      if (e.code == -1) out.push_back(e.args[0] + " " + e.args[1]);
    return out;
  }

 private:
  time_t (*savedClock_)();
  MailTimeouts savedTimeout_;
};

// The text with each "Message-ID: <...>" line's id replaced by "id"; the
// ids, each "<unique part@host name>", go to ids.
std::string MaskIds(const std::string& text, Lines* ids = nullptr) {
  static const std::regex kId("Message-ID: <([^<>@\\s]+@[^<>@\\s]+)>\r\n");
  std::string out;
  auto at = text.cbegin();
  for (std::sregex_iterator it(text.begin(), text.end(), kId), end; it != end; ++it) {
    out.append(at, (*it)[0].first);
    out += "Message-ID: <id>\r\n";
    if (ids) ids->push_back((*it)[1].str());
    at = (*it)[0].second;
  }
  out.append(at, text.cend());
  return out;
}

const char* kGreeting = "220 peer ESMTP\r\n";
const char* kOk = "250 OK\r\n";

// ---- spool files --------------------------------------------------------------

TEST_F(MailTest, SpoolHeaderOnceThenOneBlockPerEvent) {
  MailOps.AddEvent(MAIL_KIND_UPS, 2, "SIM0012345", "SIMUPS 3000", static_cast<const char*>(nullptr));
  g_now = At(14, 5, 9);
  // Arguments go through the event log's filler: a line end in one cannot
  // start a line (or a command) of its own.
  MailOps.AddEvent(MAIL_KIND_SYSTEM, 6, "SIM0012345", "SIMUPS 3000", "30\r\nRCPT TO:<x@y>", "%s",
                   static_cast<const char*>(nullptr));
  Lines ids;
  EXPECT_EQ(MaskIds(Spool(2), &ids),
            "Subject: Brisvane Notification: Utility power failure\r\n"
            "Date: Sat, 09 Mar 2024 14:05:07 +0000\r\n"
            "Message-ID: <id>\r\n\r\n"
            "Host Name: ups-host\r\n"
            "Location: Serverraum S\xc3\xbc" "d, Contactor: Ops Team\r\n"
            "S.N.: SIM0012345\r\n"
            "Model: SIMUPS 3000\r\n"
            "Event level: Warning\r\n"
            "Event time: 03/09/2024 14:05:07\r\n"
            "Event message: Utility power failure\r\n\r\n"
            "Event level: Warning\r\n"
            "Event time: 03/09/2024 14:05:09\r\n"
            "Event message: System will shut down in 30??RCPT TO:<x@y>\r\n\r\n");
  struct stat st;
  ASSERT_EQ(stat(SpoolName(2).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // Another level has a file of its own; empty identity texts leave out their lines.
  MailOps.AddEvent(MAIL_KIND_UPS, 6, "", "", static_cast<const char*>(nullptr));
  EXPECT_EQ(MaskIds(Spool(3), &ids),
            "Subject: Brisvane Notification: Output overload\r\n"
            "Date: Sat, 09 Mar 2024 14:05:09 +0000\r\n"
            "Message-ID: <id>\r\n\r\n"
            "Host Name: ups-host\r\n"
            "Location: Serverraum S\xc3\xbc" "d, Contactor: Ops Team\r\n"
            "Event level: Severity\r\n"
            "Event time: 03/09/2024 14:05:09\r\n"
            "Event message: Output overload\r\n\r\n");
  EXPECT_FALSE(HasSpool(1));
  // Each message has an id of its own, on the host's name.
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_TRUE(ids[0].ends_with("@ups-host")) << ids[0];
}

TEST_F(MailTest, TheDateHeaderIsTheLocalTimeWithItsOffset) {
  const struct {
    const char* tz;
    time_t when;
    const char* date;  // the Date header
    const char* time;  // the event's own time line
  } kCases[] = {
      {"UTC0", At(14, 5, 7), "Sat, 09 Mar 2024 14:05:07 +0000", "03/09/2024 14:05:07"},
      {"IST-5:30", At(14, 5, 7), "Sat, 09 Mar 2024 19:35:07 +0530", "03/09/2024 19:35:07"},
      // The day before, and a summer time that begins the next day.
      {"EST5EDT,M3.2.0,M11.1.0", At(2, 0, 0), "Fri, 08 Mar 2024 21:00:00 -0500", "03/08/2024 21:00:00"},
      {"EST5EDT,M3.2.0,M11.1.0", At(2, 0, 0) + 2 * 86400, "Sun, 10 Mar 2024 22:00:00 -0400", "03/10/2024 22:00:00"},
      {"XST11", At(3, 4, 5) + 23 * 86400, "Sun, 31 Mar 2024 16:04:05 -1100", "03/31/2024 16:04:05"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.tz);
    setenv("TZ", c.tz, 1);
    tzset();
    g_now = c.when;
    MailOps.AddEvent(MAIL_KIND_SYSTEM, 0, "", "", static_cast<const char*>(nullptr));
    const std::string spool = Spool(1);
    EXPECT_NE(spool.find(std::string("\r\nDate: ") + c.date + "\r\nMessage-ID: <"), std::string::npos) << spool;
    EXPECT_NE(spool.find(std::string("\r\nEvent time: ") + c.time + "\r\n"), std::string::npos) << spool;
    remove(SpoolName(1).c_str());
  }
  setenv("TZ", "UTC", 1);
  tzset();
}

// A file-size limit stands in for a full disk: a spool can still be made,
// but a write past the limit stops short and the next one fails.
class FullDisk {
 public:
  explicit FullDisk(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, SIG_IGN);
    Set(bytes);
  }
  ~FullDisk() { setrlimit(RLIMIT_FSIZE, &saved_); }
  void Set(rlim_t bytes) {
    struct rlimit r = saved_;
    r.rlim_cur = bytes;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &r), 0);
  }
  void Free() { setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  struct rlimit saved_;
};

TEST_F(MailTest, EventsTheSpoolCannotTakeAreKeptAndMailedNeverAnEmptyMail) {
  const Lines delivered = {kGreeting, "250 peer\r\n", kOk, kOk, "354 go\r\n", "250 queued\r\n", "221 bye\r\n"};
  {
    // A full disk: nothing of the spool is written, and no empty spool is left.
    FullDisk full(0);
    for (int second : {1, 2, 3}) {
      g_now = At(10, 0, second);
      MailOps.AddEvent(MAIL_KIND_SYSTEM, 6, "", "", std::to_string(second).c_str(), static_cast<const char*>(nullptr));
    }
    EXPECT_FALSE(HasSpool(2));
    // Still full at the pass: the kept events go out from memory.
    SmtpPeer peer(AF_INET, delivered);
    MailSetting.port = peer.port();
    Pass();
    peer.Join();
    ASSERT_EQ(peer.bodies.size(), 1u);
    EXPECT_NE(MaskIds(peer.body).find("\r\nSubject: Brisvane Notification: System will shut down in 1\r\n"
                                      "Date: Sat, 09 Mar 2024 10:00:01 +0000\r\nMessage-ID: <id>\r\n\r\n"),
              std::string::npos)
        << peer.body;
    for (const char* n : {"in 1\r\n", "in 2\r\n", "in 3\r\n"})
      EXPECT_NE(peer.body.find(std::string("Event message: System will shut down ") + n), std::string::npos) << n;
    EXPECT_FALSE(HasSpool(2));
    // Nothing left: the next pass sends nothing.
    SmtpPeer none(AF_INET, delivered);
    MailSetting.port = none.port();
    Pass();
    none.Join();
    EXPECT_FALSE(none.accepted);
  }
  {
    // A write that stops partway is cut back: the spool holds whole events only.
    g_now = At(11, 0, 0);
    MailOps.AddEvent(MAIL_KIND_SYSTEM, 6, "", "", "A", static_cast<const char*>(nullptr));
    const std::string first = Spool(2);
    FullDisk full(first.size() + 30);
    for (const char* name : {"B", "C"}) {
      MailOps.AddEvent(MAIL_KIND_SYSTEM, 6, "", "", name, static_cast<const char*>(nullptr));
      EXPECT_EQ(Spool(2), first);
    }
    // Space again: the kept events follow, in order, under the one header.
    full.Free();
    MailOps.AddEvent(MAIL_KIND_SYSTEM, 6, "", "", "D", static_cast<const char*>(nullptr));
    const std::string spool = Spool(2);
    EXPECT_EQ(spool.rfind(first, 0), 0u);
    size_t at = first.size();
    for (const char* name : {"B", "C", "D"}) {
      const std::string block = std::string("Event level: Warning\r\nEvent time: 03/09/2024 11:00:00\r\n"
                                            "Event message: System will shut down in ") + name + "\r\n\r\n";
      EXPECT_EQ(spool.compare(at, block.size(), block), 0) << name;
      at += block.size();
    }
    EXPECT_EQ(at, spool.size());
    remove(SpoolName(2).c_str());
  }
  {
    // Memory keeps at most MAIL_PENDING_MAX events of a level: the oldest go,
    // named in one record once the rest have left memory, however they go.
    const std::string dropNotice = "0 Mail of level 2 (Warning): its 5 oldest events were dropped (at most " +
                                   std::to_string(MAIL_PENDING_MAX) + " wait in memory)";
    const struct {
      const char* how;
      bool space;  // the disk has room again at the pass
      Lines script;  // the server's, when the pass reaches one
      const char* notice;  // the session's own record, if any
    } kWays[] = {
        {"spooled once there is room", true, {},
         "2 Mail of level 2 (Warning) not delivered: no mail server is set; it is kept and tried again"},
        {"mailed straight from memory", false, delivered, nullptr},
        {"refused straight from memory", false,
         {kGreeting, "250 peer\r\n", kOk, kOk, "354 go\r\n", "554 no\r\n", "221 bye\r\n"},
         "2 Mail of level 2 (Warning) refused by 127.0.0.1: 554 no; its 200 events are not mailed"},
    };
    for (const auto& way : kWays) {
      SCOPED_TRACE(way.how);
      FullDisk full(0);
      for (int i = 0; i < MAIL_PENDING_MAX + 5; ++i)
        MailOps.AddEvent(MAIL_KIND_SYSTEM, 6, "", "", std::to_string(i).c_str(), static_cast<const char*>(nullptr));
      EXPECT_FALSE(HasSpool(2));
      g_logged.clear();
      std::string sent;
      if (way.space) {
        full.Free();
        MailSetting.server[0] = 0;  // the pass writes the spool, and has nowhere to send it
        Pass();
        sent = Spool(2);
        snprintf(MailSetting.server, sizeof MailSetting.server, "127.0.0.1");
      } else {
        SmtpPeer peer(AF_INET, way.script);
        MailSetting.port = peer.port();
        Pass();
        peer.Join();
        ASSERT_EQ(peer.bodies.size(), 1u);
        sent = peer.body;
        EXPECT_FALSE(HasSpool(2));
      }
      EXPECT_NE(sent.find("Subject: Brisvane Notification: System will shut down in 5\r\n"), std::string::npos);
      EXPECT_EQ(sent.find("shut down in 4\r\n"), std::string::npos);
      EXPECT_NE(sent.find("shut down in " + std::to_string(MAIL_PENDING_MAX + 4) + "\r\n"), std::string::npos);
      size_t blocks = 0;
      for (size_t at = sent.find("Event level: "); at != std::string::npos; at = sent.find("Event level: ", at + 1))
        ++blocks;
      EXPECT_EQ(blocks, static_cast<size_t>(MAIL_PENDING_MAX));
      Lines want = {dropNotice};
      if (way.notice) want.insert(want.begin(), way.notice);
      Lines notices = Notices();
      std::sort(notices.begin(), notices.end());
      std::sort(want.begin(), want.end());
      EXPECT_EQ(notices, want);
      remove(SpoolName(2).c_str());
    }
  }
  {
    // At the stop, what waits in memory goes to the spool if it can.
    FullDisk full(0);
    MailOps.AddEvent(MAIL_KIND_SYSTEM, 6, "", "", "E", static_cast<const char*>(nullptr));
    full.Free();
    Mail_Exit();
    EXPECT_NE(Spool(2).find("Event message: System will shut down in E\r\n"), std::string::npos);
  }
}

TEST_F(MailTest, EventsThatAreNotMailed) {
  const struct {
    const char* what;
    int kind, index;
  } kCases[] = {
      {"level 0", MAIL_KIND_SYSTEM, 3}, {"empty text", MAIL_KIND_SYSTEM, 7},  {"no text", MAIL_KIND_SYSTEM, 8},
      {"unknown kind", 2, 0},           {"negative index", MAIL_KIND_SYSTEM, -1},
      {"past the system table", MAIL_KIND_SYSTEM, EVT_SYSTEM_COUNT},
      {"past the UPS table", MAIL_KIND_UPS, EVT_UPS_COUNT},
  };
  for (const auto& c : kCases) {
    MailOps.AddEvent(c.kind, c.index, "SN", "M", "x", static_cast<const char*>(nullptr));
    EXPECT_TRUE(fs::is_empty(tmp)) << c.what;
  }
}

TEST_F(MailTest, PlantedSpoolsAreNotWrittenThrough) {
  // A link at the spool's name: the target stays as it was.
  Scratch_WriteFile(TmpPath("victim"), "victim\n");
  fs::create_symlink(TmpPath("victim"), SpoolName(1));
  MailOps.AddEvent(MAIL_KIND_SYSTEM, 0, "", "", static_cast<const char*>(nullptr));
  EXPECT_EQ(Scratch_ReadFile(TmpPath("victim")), "victim\n");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(SpoolName(1))));
  EXPECT_EQ(Spool(1).rfind("Subject: Brisvane Notification: Monitoring service started\r\n", 0), 0u);

  // A file someone else made beforehand is not appended to.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to plant another user's file";
  Scratch_WriteFile(SpoolName(2), "Subject: planted\r\n");
  ASSERT_EQ(chown(SpoolName(2).c_str(), 65534, 65534), 0);
  MailOps.AddEvent(MAIL_KIND_UPS, 2, "", "", static_cast<const char*>(nullptr));
  EXPECT_EQ(Spool(2).rfind("Subject: Brisvane Notification: Utility power failure\r\n", 0), 0u);
  struct stat st;
  ASSERT_EQ(stat(SpoolName(2).c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, geteuid());
}

TEST_F(MailTest, SpoolsWithoutReceiversAreDropped) {
  for (int index : {0, 2, 6}) MailOps.AddEvent(index == 0 ? MAIL_KIND_SYSTEM : MAIL_KIND_UPS, index, "", "",
                                               static_cast<const char*>(nullptr));
  ASSERT_TRUE(HasSpool(1) && HasSpool(2) && HasSpool(3));
  // A receiver of level 3 wants none of the level-1 and level-2 events.
  SmtpPeer peer(AF_INET, {"<silent>"});
  MailSetting.port = peer.port();
  SetReceivers({{"boss@example.org", 3}, {"off@example.org", 0}});
  MailSetting.receiverCount = 2;
  MailTimeout = {2000, 200, 60000};
  Pass();
  EXPECT_FALSE(HasSpool(1));
  EXPECT_FALSE(HasSpool(2));
  EXPECT_TRUE(HasSpool(3));  // tried (the peer was silent) and kept for a later pass
  peer.Join();
  EXPECT_TRUE(peer.accepted);

  // With no receivers at all, nothing is kept, also while the server
  // waits out its pause.
  MailOps.AddEvent(MAIL_KIND_UPS, 6, "", "", static_cast<const char*>(nullptr));
  MailSetting.receiverCount = 0;
  MailOps.SendAll();
  EXPECT_FALSE(HasSpool(3));
}

// ---- SMTP dialogue -----------------------------------------------------------

// How a session ends for its spool, and what the event log is told.
enum Outcome { kDelivered, kKept, kRefused };

TEST_F(MailTest, DialogueRowsAndWhatTheirEndDoesToTheSpool) {
  const std::string user = "RCPT TO: <ops@example.org>";
  const Lines tlsEhlo = {kGreeting, "250-peer\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n"};
  const struct {
    const char* what;
    int level;
    const char* password;
    Lines script;
    Lines expected;
    Outcome outcome;
    const char* reason;  // in the logged notice
  } kRows[] = {
      {"STARTTLS offered, no password: in clear, no AUTH", 1, "",
       {kGreeting, "250-peer\r\n250-STARTTLS\r\n250 AUTH LOGIN PLAIN\r\n", kOk, kOk, "354 go\r\n",
        "250 queued\r\n", "221 bye\r\n"},
       {"EHLO ups-host", "MAIL FROM: <ups@example.org>", user, "DATA", "<data>", "QUIT"}, kDelivered, ""},
      {"500 then HELO", 2, "",
       {kGreeting, "500 what\r\n", "250 peer\r\n", kOk, kOk, "354 go\r\n", "250 queued\r\n", "221 bye\r\n"},
       {"EHLO ups-host", "HELO ups-host", "MAIL FROM: <ups@example.org>", user, "DATA", "<data>", "QUIT"},
       kDelivered, ""},
      {"LOGIN on the final EHLO line; prompts that are not \"Username:\"", 1, "s3cret",
       {kGreeting, "250-peer\r\n250-SIZE 10000\r\n250 AUTH PLAIN LOGIN\r\n", "334 VXNlciBOYW1lAA==\r\n",
        "334 UGFzc3dvcmQA\r\n", "235 ok\r\n", kOk, kOk, "354 go\r\n", "250 queued\r\n", "221 bye\r\n"},
       {"EHLO ups-host", "AUTH LOGIN", B64("mailer"), B64("s3cret"), "MAIL FROM: <ups@example.org>", user, "DATA",
        "<data>", "QUIT"},
       kDelivered, ""},
      {"replies split across reads, mid-line and between CR and LF", 3, "s3cret",
       {"22|0 pe|er\r|\n", "250-peer\r\n25|0-AUTH LO|GIN\r|\n250 HELP\r\n", "334 x\r\n", "334 y\r\n",
        "235 ok\r\n", kOk, kOk, "354 go\r\n", "250 queued\r\n", "221 bye\r\n"},
       {"EHLO ups-host", "AUTH LOGIN", B64("mailer"), B64("s3cret"), "MAIL FROM: <ups@example.org>", user, "DATA",
        "<data>", "QUIT"},
       kDelivered, ""},
      {"the server hangs up at QUIT: the message went out all the same", 1, "",
       {kGreeting, "250 peer\r\n", kOk, kOk, "354 go\r\n", "250 queued\r\n", "<close>"},
       {"EHLO ups-host", "MAIL FROM: <ups@example.org>", user, "DATA", "<data>", "QUIT"}, kDelivered, ""},
      // Failures that may pass: the spool stays for a later try.
      {"501 three times: two HELO, then RSET", 1, "", {kGreeting, "501 bad\r\n", "501 bad\r\n", "501 bad\r\n"},
       {"EHLO ups-host", "HELO Brisvane", "HELO Brisvane", "RSET"}, kKept, "501 bad"},
      {"greeting other than 220", 2, "", {"554 go away\r\n"}, {"RSET"}, kKept, "554 go away"},
      {"STARTTLS refused for now: the session ends, nothing in clear", 1, "s3cret",
       {tlsEhlo[0], tlsEhlo[1], "454 not now\r\n"}, {"EHLO ups-host", "STARTTLS"}, kKept, "454 not now"},
      {"login refused for now", 3, "s3cret", {kGreeting, "250 AUTH LOGIN\r\n", "454 4.7.0 busy\r\n"},
       {"EHLO ups-host", "AUTH LOGIN", "RSET"}, kKept, "454 4.7.0 busy"},
      {"sender refused for now: closed without RSET", 1, "", {kGreeting, "250 peer\r\n", "451 try later\r\n"},
       {"EHLO ups-host", "MAIL FROM: <ups@example.org>"}, kKept, "451 try later"},
      {"receiver refused for now", 2, "", {kGreeting, "250 peer\r\n", kOk, "452 mailbox full\r\n"},
       {"EHLO ups-host", "MAIL FROM: <ups@example.org>", user}, kKept, "452 mailbox full"},
      {"DATA refused for now", 3, "", {kGreeting, "250 peer\r\n", kOk, kOk, "421 closing\r\n"},
       {"EHLO ups-host", "MAIL FROM: <ups@example.org>", user, "DATA"}, kKept, "421 closing"},
      {"message refused for now", 1, "", {kGreeting, "250 peer\r\n", kOk, kOk, "354 go\r\n", "451 later\r\n"},
       {"EHLO ups-host", "MAIL FROM: <ups@example.org>", user, "DATA", "<data>"}, kKept, "451 later"},
      {"the server hangs up", 2, "", {kGreeting, "<close>"}, {}, kKept, "the server closed the connection"},
      // Refused for good: the spool goes.
      {"STARTTLS refused for good", 3, "s3cret", {tlsEhlo[0], tlsEhlo[1], "530 5.7.0 no TLS for you\r\n"},
       {"EHLO ups-host", "STARTTLS"}, kRefused, "530 5.7.0 no TLS for you"},
      {"AUTH LOGIN refused for good", 2, "s3cret", {kGreeting, "250 AUTH LOGIN\r\n", "504 5.5.4 no LOGIN\r\n"},
       {"EHLO ups-host", "AUTH LOGIN", "RSET"}, kRefused, "504 5.5.4 no LOGIN"},
      {"password refused", 1, "s3cret", {kGreeting, "250 AUTH LOGIN\r\n", "334 a\r\n", "334 b\r\n", "535 no\r\n"},
       {"EHLO ups-host", "AUTH LOGIN", B64("mailer"), B64("s3cret"), "RSET"}, kRefused, "535 no"},
      {"sender refused for good", 2, "", {kGreeting, "250 peer\r\n", "550 5.7.1 sender rejected\r\n"},
       {"EHLO ups-host", "MAIL FROM: <ups@example.org>"}, kRefused, "550 5.7.1 sender rejected"},
      {"the only receiver refused: closed without RSET", 3, "", {kGreeting, "250 peer\r\n", kOk, "550 unknown\r\n"},
       {"EHLO ups-host", "MAIL FROM: <ups@example.org>", user}, kRefused, "every receiver refused: 550 unknown"},
      {"DATA refused for good", 1, "", {kGreeting, "250 peer\r\n", kOk, kOk, "554 no data\r\n"},
       {"EHLO ups-host", "MAIL FROM: <ups@example.org>", user, "DATA"}, kRefused, "554 no data"},
      {"message refused for good", 2, "", {kGreeting, "250 peer\r\n", kOk, kOk, "354 go\r\n", "552 too big\r\n"},
       {"EHLO ups-host", "MAIL FROM: <ups@example.org>", user, "DATA", "<data>"}, kRefused, "552 too big"},
  };
  static const char* const kWords[] = {"", "Information", "Warning", "Severity"};
  static const char* const kTexts[] = {"", "Monitoring service started", "Utility power failure", "Output overload"};
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.what);
    snprintf(MailSetting.password, sizeof MailSetting.password, "%s", row.password);
    g_logged.clear();
    Mail_ResetRetry();
    SmtpPeer peer(AF_INET, row.script);
    MailOneEvent(peer, row.level);
    if (!row.expected.empty()) {
      EXPECT_EQ(peer.lines, row.expected);
    }
    if (row.outcome == kDelivered) {
      EXPECT_NE(peer.body.find(std::string("Event message: ") + kTexts[row.level] + "\r\n"), std::string::npos);
    }
    // Only a failure that may pass keeps the spool; a refusal for good
    // drops it, and both say so in the event log (level 2, not mailed).
    EXPECT_EQ(HasSpool(row.level), row.outcome == kKept);
    const std::string mail = "2 Mail of level " + std::to_string(row.level) + " (" + kWords[row.level] + ")";
    Lines notices;
    if (row.outcome == kKept) notices = {mail + " not delivered to 127.0.0.1: " + row.reason + "; it is kept and tried again"};
    if (row.outcome == kRefused) notices = {mail + " refused by 127.0.0.1: " + row.reason + "; its 1 event is not mailed"};
    EXPECT_EQ(Notices(), notices);
    remove(SpoolName(row.level).c_str());
  }
}

TEST_F(MailTest, StartTlsThenLoginOverTlsWithRepliesSplitAcrossRecords) {
  SSL_CTX* tls = MakeServerTls();
  snprintf(MailSetting.password, sizeof MailSetting.password, "s3cret");
  // Bytes behind the 220 in clear must not be taken for the answer inside TLS.
  SmtpPeer peer(AF_INET,
                {kGreeting, "250-peer\r\n250 STARTTLS\r\n", "<tls>220 go ahead\r\n250 injected\r\n",
                 "250-peer\r\n|250-AUTH |LOGIN PLAIN\r|\n|250 OK\r\n", "334 VXNlciBOYW1lAA==\r\n",
                 "334 UGFzc3dvcmQA\r\n", "235 2.7.0 ok\r\n", kOk, kOk, "354 go\r\n", "250 queued\r\n", "221 bye\r\n"},
                tls);
  MailOneEvent(peer);
  EXPECT_EQ(peer.lines, (Lines{"EHLO ups-host", "STARTTLS", "<tls>", "EHLO ups-host", "AUTH LOGIN", B64("mailer"),
                               B64("s3cret"), "MAIL FROM: <ups@example.org>", "RCPT TO: <ops@example.org>", "DATA",
                               "<data>", "QUIT"}));
  EXPECT_NE(peer.body.find("Event message: Monitoring service started\r\n"), std::string::npos);
  SSL_CTX_free(tls);
}

TEST_F(MailTest, ServerAddresses) {
  const struct {
    const char* server;
    int family;
  } kCases[] = {{"127.0.0.1", AF_INET}, {"::1", AF_INET6}, {"localhost", AF_INET}};
  const bool v6 = HaveIpv6Loopback();
  for (const auto& c : kCases) {
    if (c.family == AF_INET6 && !v6) continue;
    SCOPED_TRACE(c.server);
    snprintf(MailSetting.server, sizeof MailSetting.server, "%s", c.server);
    SmtpPeer peer(c.family, {kGreeting, "250 peer\r\n", kOk, kOk, "354 go\r\n", "250 queued\r\n", "221 bye\r\n"});
    MailOneEvent(peer);
    EXPECT_EQ(peer.lines.size(), 6u);
    EXPECT_FALSE(peer.body.empty());
  }
}

TEST_F(MailTest, MessageForTheLevelsReceiversWithDotStuffing) {
  SetReceivers({{"three@example.org", 3}, {"one@example.org", 1}, {"off@example.org", 0}, {"two@example.org", 2},
                {"alsoone@example.org", 1}});
  // The From fallback: the first 32 bytes of the contact, whole characters.
  MailSetting.from[0] = 0;
  wcscpy(WebSysInfoText.contactor, L"Zoltan S\u00fcd-\u00d6stlich <ops@examp\u00e9");
  MailOps.AddEvent(MAIL_KIND_UPS, 2, "SN", "M", static_cast<const char*>(nullptr));
  // A spool longer than any one buffer, and lines that would end the data early.
  std::string spool = Spool(2);
  for (int i = 0; i < 60; ++i) spool += "Event message: filler line " + std::to_string(i) + "\r\n";
  spool += ".\r\n..two\r\n.\r\nlast\r\n";
  Scratch_WriteFile(SpoolName(2), spool);

  SmtpPeer peer(AF_INET, {kGreeting, "250 peer\r\n", kOk, kOk, kOk, kOk, "354 go\r\n", "250 queued\r\n", "221 bye\r\n"});
  MailSetting.port = peer.port();
  Pass();
  peer.Join();
  // 32 bytes would split the last character: it is left out.
  const std::string from = "Zoltan S\xc3\xbc" "d-\xc3\x96stlich <ops@examp";
  ASSERT_EQ(from.size(), 31u);
  EXPECT_EQ(peer.lines, (Lines{"EHLO ups-host", "MAIL FROM: <" + from + ">", "RCPT TO: <one@example.org>",
                               "RCPT TO: <two@example.org>", "RCPT TO: <alsoone@example.org>", "DATA", "<data>",
                               "QUIT"}));
  std::string stuffed;
  for (size_t at = 0; at < spool.size();) {
    size_t end = spool.find('\n', at);
    std::string line = spool.substr(at, end - at + 1);
    if (line[0] == '.') stuffed += '.';
    stuffed += line;
    at = end + 1;
  }
  EXPECT_EQ(peer.body, "From: " + from + "\r\nTo: one@example.org;two@example.org;alsoone@example.org\r\n" + stuffed +
                           "\r\n.\r\n");
  EXPECT_FALSE(HasSpool(2));
}

TEST_F(MailTest, ManyReceiversAllListedWithinTheLineLimit) {
  std::vector<std::pair<std::string, int>> list;
  Lines script = {kGreeting, "250 peer\r\n", kOk};
  for (int i = 0; i < 40; ++i) {
    char a[MAIL_TEXT];
    snprintf(a, sizeof a, "receiver-number-%02d-with-a-long-name@mail.example.org", i);
    list.push_back({a, 1});
    script.push_back(kOk);
  }
  script.insert(script.end(), {"354 go\r\n", "250 queued\r\n", "221 bye\r\n"});
  SetReceivers(list);
  SmtpPeer peer(AF_INET, script);
  MailOneEvent(peer);
  ASSERT_EQ(peer.lines.size(), 2u + 40u + 3u);
  // The To field, unfolded, names every receiver; no line is over 998 bytes.
  size_t start = peer.body.find("\r\nTo: ") + 2;
  size_t end = peer.body.find("\r\nSubject: ");
  std::string to = peer.body.substr(start, end - start);
  for (size_t at = 0; at < to.size();) {
    size_t eol = to.find("\r\n", at);
    if (eol == std::string::npos) eol = to.size();
    EXPECT_LE(eol - at, 998u);
    at = eol + 2;
  }
  std::string unfolded;
  for (size_t i = 0; i < to.size(); ++i) {
    if (to.compare(i, 3, "\r\n ") == 0) {
      i += 2;
    } else {
      unfolded += to[i];
    }
  }
  std::string expected = "To: ";
  for (size_t i = 0; i < list.size(); ++i) expected += (i ? ";" : "") + list[i].first;
  EXPECT_EQ(unfolded, expected);
}

TEST_F(MailTest, ReceiversRefusedForGoodAreSkipped) {
  const struct {
    const char* what;
    const char* first;   // the answers to the two RCPT TO
    const char* second;
    Outcome outcome;
  } kRows[] = {
      {"the first refused for good: the second still gets it", "550 no such user\r\n", "250 OK\r\n", kDelivered},
      {"the second refused for good", "250 OK\r\n", "553 bad address\r\n", kDelivered},
      {"one refused for now: the whole message waits", "250 OK\r\n", "451 try later\r\n", kKept},
      {"both refused for good: nothing to send, nothing to keep", "550 no\r\n", "553 bad address\r\n", kRefused},
  };
  SetReceivers({{"nobody@example.org", 1}, {"ops@example.org", 1}});
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.what);
    Lines script = {kGreeting, "250 peer\r\n", kOk, row.first, row.second};
    Lines expected = {"EHLO ups-host", "MAIL FROM: <ups@example.org>", "RCPT TO: <nobody@example.org>",
                      "RCPT TO: <ops@example.org>"};
    if (row.outcome == kDelivered) {
      script.insert(script.end(), {"354 go\r\n", "250 queued\r\n", "221 bye\r\n"});
      expected.insert(expected.end(), {"DATA", "<data>", "QUIT"});
    }
    g_logged.clear();
    Mail_ResetRetry();
    SmtpPeer peer(AF_INET, script);
    MailOneEvent(peer);
    EXPECT_EQ(peer.lines, expected);
    EXPECT_EQ(HasSpool(1), row.outcome == kKept);
    if (row.outcome == kRefused) {
      EXPECT_EQ(Notices(), Lines{"2 Mail of level 1 (Information) refused by 127.0.0.1: every receiver refused: 553 "
                                 "bad address; its 1 event is not mailed"});
    }
    remove(SpoolName(1).c_str());
  }
}

TEST_F(MailTest, AFailingServerKeepsTheSpoolsAndNeverHoldsTheLoop) {
  const struct {
    const char* what;
    Lines script;  // empty: nothing listens
    MailTimeouts bounds;
    long atLeastMs, belowMs;  // how long the session lasts
  } kCases[] = {
      {"connection refused", {}, {2000, 2000, 60000}, 0, 1500},
      {"accepts and never answers", {"<silent>"}, {2000, 300, 60000}, 750, 3000},
      {"hangs up after the greeting", {kGreeting, "<close>"}, {2000, 5000, 60000}, 0, 3000},
      {"too slow for the whole-session bound", {"<pause>" + std::string(kGreeting), "<pause>250 peer\r\n", "<silent>"},
       {2000, 5000, 500}, 1350, 4000},
  };
  SetReceivers({{"all@example.org", 1}});
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    for (int index : {0, 2, 6})
      MailOps.AddEvent(index == 0 ? MAIL_KIND_SYSTEM : MAIL_KIND_UPS, index, "", "", static_cast<const char*>(nullptr));
    MailTimeout = c.bounds;
    std::unique_ptr<SmtpPeer> peer;
    if (!c.script.empty()) peer = std::make_unique<SmtpPeer>(AF_INET, std::vector<Lines>(3, c.script));
    MailSetting.port = peer ? peer->port() : ClosedPort();
    Mail_ResetRetry();
    auto t0 = std::chrono::steady_clock::now();
    MailOps.SendAll();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(250));
    double longestStep = 0;
    long ms = Drive(20000, &longestStep);
    EXPECT_GE(ms, c.atLeastMs);
    EXPECT_LT(ms, c.belowMs);
    // No step waits for the server (a wait would last the 300-ms bound or
    // pause at least).
    EXPECT_LT(longestStep, 250.0);
    // Each level was tried in turn; every spool stays, and each level's
    // next try waits 5 s.
    if (peer) {
      EXPECT_EQ(std::count(peer->lines.begin(), peer->lines.end(), "<session>"), 2);
    }
    for (int level : {1, 2, 3}) {
      EXPECT_TRUE(HasSpool(level));
      EXPECT_EQ(Mail_RetryDelayMs(level), 5000);
    }
    MailOps.SendAll();
    EXPECT_FALSE(Mail_SessionActive());
    if (peer) peer->Join();
    for (int level : {1, 2, 3}) remove(SpoolName(level).c_str());
  }
}

TEST_F(MailTest, ConnectIsBounded) {
  // A listener whose queue is full takes no more connections: the SYN goes
  // unanswered, as with a dead host.
  int l = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(l, 0), 0);
  socklen_t len = sizeof a;
  getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
  std::vector<int> fillers;
  for (int i = 0; i < 8; ++i) {
    int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(f);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  MailSetting.port = ntohs(a.sin_port);
  MailTimeout = {400, 5000, 60000};
  MailOps.AddEvent(MAIL_KIND_SYSTEM, 0, "", "", static_cast<const char*>(nullptr));
  MailOps.SendAll();
  double longestStep = 0;
  long ms = Drive(20000, &longestStep);
  EXPECT_GE(ms, 300);
  EXPECT_LT(ms, 3000);
  EXPECT_LT(longestStep, 250.0);
  EXPECT_TRUE(HasSpool(1));
  for (int f : fillers) close(f);
  close(l);
}

struct timespec g_mono;
void FakeMono(struct timespec* now) { *now = g_mono; }

// Replaces the monotonic clock for a test.
class FakeMonoClock {
 public:
  FakeMonoClock() : saved_(SvcMonoClock) {
    SvcMonoClock = FakeMono;
    g_mono = {1000, 0};
  }
  ~FakeMonoClock() { SvcMonoClock = saved_; }
  void Advance(long seconds) { g_mono.tv_sec += seconds; }

 private:
  void (*saved_)(struct timespec*);
};

TEST_F(MailTest, TheNextTryWaitsLongerAfterEachFailureAndTheStreakIsLoggedOnce) {
  FakeMonoClock clock;
  MailSetting.port = ClosedPort();
  MailOps.AddEvent(MAIL_KIND_SYSTEM, 0, "", "", static_cast<const char*>(nullptr));
  // Each failure (here a refused connection) doubles the pause, up to 5 min.
  for (long pause : {5, 10, 20, 40, 80, 160, 300, 300}) {
    SCOPED_TRACE(pause);
    MailOps.SendAll();
    ASSERT_TRUE(Mail_SessionActive());
    Drive();
    EXPECT_EQ(Mail_RetryDelayMs(1), pause * 1000);
    clock.Advance(pause - 1);
    MailOps.SendAll();
    EXPECT_FALSE(Mail_SessionActive());  // still within the pause
    clock.Advance(1);
  }
  // The whole streak of failures is one notice.
  const Lines failing = {
      "2 Mail of level 1 (Information) not delivered to 127.0.0.1: no connection (Connection refused); it is kept "
      "and tried again"};
  EXPECT_EQ(Notices(), failing);
  // A message that goes out ends the pauses, and says so once.
  SmtpPeer peer(AF_INET, {kGreeting, "250 peer\r\n", kOk, kOk, "354 go\r\n", "250 queued\r\n", "221 bye\r\n"});
  MailSetting.port = peer.port();
  MailOps.SendAll();
  Drive();
  peer.Join();
  EXPECT_FALSE(HasSpool(1));
  EXPECT_EQ(Mail_RetryDelayMs(1), 0);
  Lines both = failing;
  both.push_back("2 Mail of level 1 (Information) delivered to 127.0.0.1 again");
  EXPECT_EQ(Notices(), both);
  // The next delivery is nothing to report.
  SmtpPeer next(AF_INET, {kGreeting, "250 peer\r\n", kOk, kOk, "354 go\r\n", "250 queued\r\n", "221 bye\r\n"});
  MailSetting.port = next.port();
  MailOneEvent(next);
  EXPECT_EQ(next.bodies.size(), 1u);
  EXPECT_EQ(Notices(), both);
}

TEST_F(MailTest, EachLevelGoesOnWhateverHappensToTheOthers) {
  FakeMonoClock clock;
  const Lines delivered = {kGreeting, "250 peer\r\n", kOk, kOk, "354 go\r\n", "250 queued\r\n", "221 bye\r\n"};
  for (int level : {1, 2, 3}) AddEventOfLevel(level);
  // In one pass: level 1 fails for now, level 2 goes out, level 3 is refused for good.
  SmtpPeer peer(AF_INET, std::vector<Lines>{{kGreeting, "250 peer\r\n", "451 busy\r\n"},
                                            delivered,
                                            {kGreeting, "250 peer\r\n", "550 not from you\r\n"}});
  MailSetting.port = peer.port();
  MailOps.SendAll();
  Drive();
  peer.Join();
  ASSERT_EQ(peer.bodies.size(), 1u);
  EXPECT_NE(peer.bodies[0].find("Event level: Warning"), std::string::npos);
  EXPECT_TRUE(HasSpool(1));
  EXPECT_FALSE(HasSpool(2));
  EXPECT_FALSE(HasSpool(3));
  EXPECT_EQ(Notices(), (Lines{"2 Mail of level 1 (Information) not delivered to 127.0.0.1: 451 busy; it is kept and "
                              "tried again",
                              "2 Mail of level 3 (Severity) refused by 127.0.0.1: 550 not from you; its 1 event is not "
                              "mailed"}));
  EXPECT_EQ(Mail_RetryDelayMs(1), 5000);
  EXPECT_EQ(Mail_RetryDelayMs(2), 0);
  EXPECT_EQ(Mail_RetryDelayMs(3), 0);

  // Later, while level 1 waits out its pause, the other levels still go.
  for (int level : {2, 3}) AddEventOfLevel(level);
  SmtpPeer later(AF_INET, std::vector<Lines>{delivered, delivered});
  MailSetting.port = later.port();
  clock.Advance(1);
  MailOps.SendAll();
  Drive();
  later.Join();
  EXPECT_EQ(later.bodies.size(), 2u);
  EXPECT_TRUE(HasSpool(1));
  EXPECT_FALSE(HasSpool(2) || HasSpool(3));

  // Level 1 once its pause is over.
  SmtpPeer last(AF_INET, delivered);
  MailSetting.port = last.port();
  clock.Advance(4);
  MailOps.SendAll();
  Drive();
  last.Join();
  ASSERT_EQ(last.bodies.size(), 1u);
  EXPECT_NE(last.body.find("Event message: Monitoring service started"), std::string::npos);
  EXPECT_FALSE(HasSpool(1));
  EXPECT_EQ(Notices().back(), "2 Mail of level 1 (Information) delivered to 127.0.0.1 again");
}

TEST_F(MailTest, EventsThatComeDuringTheSessionStayForTheNextMessage) {
  SetText(100 + 2, "Utility power failure", 1);
  SmtpPeer peer(AF_INET,
                {kGreeting, "250 peer\r\n", kOk, kOk, "354 go\r\n", "<pause>250 queued\r\n", "221 bye\r\n"});
  MailSetting.port = peer.port();
  MailOps.AddEvent(MAIL_KIND_SYSTEM, 0, "SN1", "M1", static_cast<const char*>(nullptr));
  MailOps.SendAll();
  // The message has gone out (the peer holds its answer back); one more
  // event comes before the answer.
  for (int i = 0; i < 2000 && peer.received < 5; ++i) {
    struct pollfd fds[4];
    int busy = 0;
    poll(fds, static_cast<nfds_t>(Mail_PollFill(fds, 4, &busy)), 5);
    MailOps.Step();
  }
  ASSERT_EQ(peer.received, 5);
  g_now = At(15, 0, 0);
  MailOps.AddEvent(MAIL_KIND_UPS, 2, "SN1", "M1", static_cast<const char*>(nullptr));
  Drive();
  peer.Join();
  EXPECT_NE(peer.body.find("Monitoring service started"), std::string::npos);
  EXPECT_EQ(peer.body.find("Utility power failure"), std::string::npos);
  // The spool now holds that event alone, under a header of its own.
  EXPECT_EQ(MaskIds(Spool(1)),
            "Subject: Brisvane Notification: Utility power failure\r\n"
            "Date: Sat, 09 Mar 2024 15:00:00 +0000\r\n"
            "Message-ID: <id>\r\n\r\n"
            "Host Name: ups-host\r\n"
            "Location: Serverraum S\xc3\xbc" "d, Contactor: Ops Team\r\n"
            "S.N.: SN1\r\n"
            "Model: M1\r\n"
            "Event level: Information\r\n"
            "Event time: 03/09/2024 15:00:00\r\n"
            "Event message: Utility power failure\r\n\r\n");
}

TEST_F(MailTest, ASpoolPastItsBoundLosesItsOldestEvents) {
  MailSetting.receiverCount = 0;
  int added = 0;
  std::string counter;
  while (!HasSpool(2) || fs::file_size(SpoolName(2)) < MAIL_SPOOL_MAX - 200 || g_logged.empty()) {
    counter = std::to_string(added++);
    MailOps.AddEvent(MAIL_KIND_SYSTEM, 6, "SN", "M", counter.c_str(), static_cast<const char*>(nullptr));
    ASSERT_LT(added, 30000);
    if (added % 1000 == 0) {
      ASSERT_LE(fs::file_size(SpoolName(2)), MAIL_SPOOL_MAX);
    }
  }
  // Once past the bound, the oldest events went down to three quarters of
  // it, with one notice (level 0: neither mailed nor texted).
  ASSERT_EQ(g_logged.size(), 1u);
  EXPECT_EQ(g_logged[0].code, -1);
  EXPECT_EQ(g_logged[0].args[0], "0");
  EXPECT_NE(g_logged[0].args[1].find("Mail spool of level 2 passed 1024 KiB: its "), std::string::npos);
  const std::string spool = Spool(2);
  EXPECT_LE(spool.size(), MAIL_SPOOL_MAX);
  // The newest is there; the header names the oldest one kept.
  EXPECT_NE(spool.find("Event message: System will shut down in " + counter + "\r\n\r\n"), std::string::npos);
  const size_t first = spool.find("Event message: System will shut down in ");
  const std::string oldest = spool.substr(first + 40, spool.find('\r', first) - first - 40);
  EXPECT_GT(std::stoi(oldest), 1000);
  EXPECT_EQ(MaskIds(spool).rfind("Subject: Brisvane Notification: System will shut down in " + oldest + "\r\n"
                                 "Date: Sat, 09 Mar 2024 14:05:07 +0000\r\nMessage-ID: <id>\r\n\r\n"
                                 "Host Name: ups-host\r\n", 0), 0u);
  EXPECT_EQ(spool.find("Subject:", 1), std::string::npos);
}

// ---- reply reassembly -------------------------------------------------------------

TEST(SmtpReplyTest, FinalLineAndCapabilities) {
  const struct {
    std::string bytes;
    int code;
    uint16_t caps;
    size_t used;  // bytes taken; the rest belongs to the next reply
  } kCases[] = {
      {"250-peer\r\n250-STARTTLS\r\n250-PIPELINING\r\n250-DSN\r\n250 AUTH=LOGIN CRAM-MD5\r\n", 250,
       SMTP_CAP_STARTTLS | SMTP_CAP_PIPELINING | SMTP_CAP_DSN | SMTP_CAP_AUTH | SMTP_CAP_LOGIN | SMTP_CAP_CRAM_MD5,
       std::string::npos},
      {"250-peer\r\n250 auth plain login xoauth2\r\n", 250, SMTP_CAP_AUTH | SMTP_CAP_PLAIN | SMTP_CAP_LOGIN,
       std::string::npos},
      {"250-LOGINS\r\n250-AUTHX LOGIN\r\n250 ETRN\r\n", 250, SMTP_CAP_ETRN, std::string::npos},
      {"250\r\n", 250, 0, std::string::npos},
      {"220 hi\n221 next\r\n", 220, 0, 7},
      {"hello\r\n", 0, 0, std::string::npos},
      {"354-\r\n354 go\r\n", 354, 0, std::string::npos},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.bytes);
    // Whole, and byte by byte.
    for (size_t piece : {c.bytes.size(), size_t{1}}) {
      SmtpReply r;
      r.Begin(true);
      size_t used = 0;
      while (used < c.bytes.size() && !r.Done()) used += r.Feed(c.bytes.data() + used, std::min(piece, c.bytes.size() - used));
      EXPECT_TRUE(r.Done());
      EXPECT_EQ(r.Code(), c.code);
      EXPECT_EQ(r.Capabilities(), c.caps);
      EXPECT_EQ(used, c.used == std::string::npos ? c.bytes.size() : c.used);
    }
  }
  // Not an EHLO reply: no capabilities; an unfinished reply is not done.
  SmtpReply r;
  r.Begin(false);
  r.Feed("250-STARTTLS\r\n250 AUTH LOGIN", 29);
  EXPECT_FALSE(r.Done());
  r.Feed("\r\n", 2);
  EXPECT_TRUE(r.Done());
  EXPECT_EQ(r.Capabilities(), 0);
  // An overlong line is cut, not overrun.
  std::string longLine = "250 " + std::string(5000, 'x') + "\r\n";
  r.Begin(true);
  EXPECT_EQ(r.Feed(longLine.data(), longLine.size()), longLine.size());
  EXPECT_EQ(r.Code(), 250);
  EXPECT_EQ(strlen(r.FinalLine()), 1023u);
}

}  // namespace
