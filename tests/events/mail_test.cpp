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
#include <string>
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

// A scripted SMTP server for one connection. script[0] is the greeting;
// each further entry answers one received line (the DATA block counts as
// one, recorded as "<data>" with its bytes in body). In an entry, "|" splits
// the answer into writes 30 ms apart (separate TLS records once TLS is up);
// "<tls>" before an answer starts TLS after it; "<close>" hangs up;
// "<silent>" answers nothing until the client hangs up; "<pause>" before an
// answer waits 300 ms first.
class SmtpPeer {
 public:
  SmtpPeer(int family, Lines script, SSL_CTX* tls = nullptr) : script_(std::move(script)), tls_(tls) {
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
  std::string body;  // the DATA block as it came, terminator included

 private:
  void Run() {
    struct pollfd p = {listen_, POLLIN, 0};
    if (poll(&p, 1, 3000) != 1) return;
    fd_ = accept(listen_, nullptr, nullptr);
    if (fd_ < 0) return;
    accepted = true;
    struct timeval tv = {5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    size_t next = 0;
    bool data = false;
    bool go = Reply(script_[next++]);
    while (go && next < script_.size()) {
      std::string got;
      if (!ReadUntil(data ? "\r\n.\r\n" : "\n", &got)) break;
      if (data) {
        body = got;
        lines.push_back("<data>");
      } else {
        while (!got.empty() && (got.back() == '\n' || got.back() == '\r')) got.pop_back();
        lines.push_back(got);
      }
      ++received;
      const std::string& e = script_[next++];
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
    close(fd_);
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

  Lines script_;
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
  // One level-1 event in the spool, mailed to a peer; returns what it got.
  void MailOneEvent(SmtpPeer& peer) {
    MailSetting.port = peer.port();
    MailOps.AddEvent(MAIL_KIND_SYSTEM, 0, "SN1", "M1", static_cast<const char*>(nullptr));
    Pass();
    peer.Join();
  }

 private:
  time_t (*savedClock_)();
  MailTimeouts savedTimeout_;
};

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
  EXPECT_EQ(Spool(2),
            "Subject: Brisvane Notification: Utility power failure\r\n"
            "Date: 03/09/2024\r\n\r\n"
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
  EXPECT_EQ(Spool(3),
            "Subject: Brisvane Notification: Output overload\r\n"
            "Date: 03/09/2024\r\n\r\n"
            "Host Name: ups-host\r\n"
            "Location: Serverraum S\xc3\xbc" "d, Contactor: Ops Team\r\n"
            "Event level: Severity\r\n"
            "Event time: 03/09/2024 14:05:09\r\n"
            "Event message: Output overload\r\n\r\n");
  EXPECT_FALSE(HasSpool(1));
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

TEST_F(MailTest, DialogueRows) {
  const std::string user = "RCPT TO: <ops@example.org>";
  const struct {
    const char* what;
    const char* password;
    Lines script;
    Lines expected;
    bool delivered;
  } kRows[] = {
      {"STARTTLS offered, no password: in clear, no AUTH",
       "",
       {kGreeting, "250-peer\r\n250-STARTTLS\r\n250 AUTH LOGIN PLAIN\r\n", kOk, kOk, "354 go\r\n", "250 queued\r\n",
        "221 bye\r\n"},
       {"EHLO ups-host", "MAIL FROM: <ups@example.org>", user, "DATA", "<data>", "QUIT"},
       true},
      {"501 three times: two HELO, then RSET",
       "",
       {kGreeting, "501 bad\r\n", "501 bad\r\n", "501 bad\r\n"},
       {"EHLO ups-host", "HELO Brisvane", "HELO Brisvane", "RSET"},
       false},
      {"500 then HELO",
       "",
       {kGreeting, "500 what\r\n", "250 peer\r\n", kOk, kOk, "354 go\r\n", "250 queued\r\n", "221 bye\r\n"},
       {"EHLO ups-host", "HELO ups-host", "MAIL FROM: <ups@example.org>", user, "DATA", "<data>", "QUIT"},
       true},
      {"LOGIN on the final EHLO line; prompts that are not \"Username:\"",
       "s3cret",
       {kGreeting, "250-peer\r\n250-SIZE 10000\r\n250 AUTH PLAIN LOGIN\r\n", "334 VXNlciBOYW1lAA==\r\n",
        "334 UGFzc3dvcmQA\r\n", "235 ok\r\n", kOk, kOk, "354 go\r\n", "250 queued\r\n", "221 bye\r\n"},
       {"EHLO ups-host", "AUTH LOGIN", B64("mailer"), B64("s3cret"), "MAIL FROM: <ups@example.org>", user, "DATA",
        "<data>", "QUIT"},
       true},
      {"replies split across reads, mid-line and between CR and LF",
       "s3cret",
       {"22|0 pe|er\r|\n", "250-peer\r\n25|0-AUTH LO|GIN\r|\n250 HELP\r\n", "334 x\r\n", "334 y\r\n", "235 ok\r\n",
        kOk, kOk, "354 go\r\n", "250 queued\r\n", "221 bye\r\n"},
       {"EHLO ups-host", "AUTH LOGIN", B64("mailer"), B64("s3cret"), "MAIL FROM: <ups@example.org>", user, "DATA",
        "<data>", "QUIT"},
       true},
      {"STARTTLS refused: the session ends, nothing in clear",
       "s3cret",
       {kGreeting, "250-peer\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n", "454 not now\r\n"},
       {"EHLO ups-host", "STARTTLS"},
       false},
      {"greeting other than 220", "", {"554 go away\r\n"}, {"RSET"}, false},
      {"login refused", "s3cret", {kGreeting, "250 AUTH LOGIN\r\n", "334 a\r\n", "334 b\r\n", "535 no\r\n"},
       {"EHLO ups-host", "AUTH LOGIN", B64("mailer"), B64("s3cret"), "RSET"}, false},
      {"the only receiver refused: closed without RSET", "", {kGreeting, "250 peer\r\n", kOk, "550 unknown\r\n"},
       {"EHLO ups-host", "MAIL FROM: <ups@example.org>", user}, false},
      {"sender refused: closed without RSET", "", {kGreeting, "250 peer\r\n", "451 try later\r\n"},
       {"EHLO ups-host", "MAIL FROM: <ups@example.org>"}, false},
      {"message refused", "", {kGreeting, "250 peer\r\n", kOk, kOk, "354 go\r\n", "552 too big\r\n"},
       {"EHLO ups-host", "MAIL FROM: <ups@example.org>", user, "DATA", "<data>"}, false},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.what);
    snprintf(MailSetting.password, sizeof MailSetting.password, "%s", row.password);
    SmtpPeer peer(AF_INET, row.script);
    MailOneEvent(peer);
    EXPECT_EQ(peer.lines, row.expected);
    if (row.delivered) {
      EXPECT_NE(peer.body.find("Event message: Monitoring service started\r\n"), std::string::npos);
    }
    // Only a message the server took removes the spool.
    EXPECT_EQ(HasSpool(1), !row.delivered);
    remove(SpoolName(1).c_str());
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
    bool delivered;
  } kRows[] = {
      {"the first refused for good: the second still gets it", "550 no such user\r\n", "250 OK\r\n", true},
      {"the second refused for good", "250 OK\r\n", "553 bad address\r\n", true},
      {"one refused for now: the whole message waits", "250 OK\r\n", "451 try later\r\n", false},
      {"both refused for good: nothing to send", "550 no\r\n", "550 no\r\n", false},
  };
  SetReceivers({{"nobody@example.org", 1}, {"ops@example.org", 1}});
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.what);
    Lines script = {kGreeting, "250 peer\r\n", kOk, row.first, row.second};
    Lines expected = {"EHLO ups-host", "MAIL FROM: <ups@example.org>", "RCPT TO: <nobody@example.org>",
                      "RCPT TO: <ops@example.org>"};
    if (row.delivered) {
      script.insert(script.end(), {"354 go\r\n", "250 queued\r\n", "221 bye\r\n"});
      expected.insert(expected.end(), {"DATA", "<data>", "QUIT"});
    }
    SmtpPeer peer(AF_INET, script);
    MailOneEvent(peer);
    EXPECT_EQ(peer.lines, expected);
    EXPECT_EQ(HasSpool(1), !row.delivered);
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
      {"accepts and never answers", {"<silent>"}, {2000, 300, 60000}, 250, 3000},
      {"hangs up after the greeting", {kGreeting, "<close>"}, {2000, 5000, 60000}, 0, 3000},
      {"too slow for the whole-session bound", {"<pause>" + std::string(kGreeting), "<pause>250 peer\r\n", "<silent>"},
       {2000, 5000, 500}, 450, 3000},
  };
  SetReceivers({{"all@example.org", 1}});
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    for (int index : {0, 2, 6})
      MailOps.AddEvent(index == 0 ? MAIL_KIND_SYSTEM : MAIL_KIND_UPS, index, "", "", static_cast<const char*>(nullptr));
    MailTimeout = c.bounds;
    std::unique_ptr<SmtpPeer> peer;
    if (!c.script.empty()) peer = std::make_unique<SmtpPeer>(AF_INET, c.script);
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
    // Every spool stays; the other levels wait for the next try, which
    // waits 5 s.
    EXPECT_TRUE(HasSpool(1));
    EXPECT_TRUE(HasSpool(2));
    EXPECT_TRUE(HasSpool(3));
    EXPECT_EQ(Mail_RetryDelayMs(), 5000);
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

TEST_F(MailTest, TheNextTryWaitsLongerAfterEachFailure) {
  void (*saved)(struct timespec*) = SvcMonoClock;
  SvcMonoClock = FakeMono;
  g_mono = {1000, 0};
  MailSetting.port = ClosedPort();
  MailOps.AddEvent(MAIL_KIND_SYSTEM, 0, "", "", static_cast<const char*>(nullptr));
  // Each failure (here a refused connection) doubles the pause, up to 5 min.
  for (long pause : {5, 10, 20, 40, 80, 160, 300, 300}) {
    SCOPED_TRACE(pause);
    MailOps.SendAll();
    ASSERT_TRUE(Mail_SessionActive());
    Drive();
    EXPECT_EQ(Mail_RetryDelayMs(), pause * 1000);
    g_mono.tv_sec += pause - 1;
    MailOps.SendAll();
    EXPECT_FALSE(Mail_SessionActive());  // still within the pause
    g_mono.tv_sec += 1;
  }
  // A message that goes out ends the pauses.
  SmtpPeer peer(AF_INET, {kGreeting, "250 peer\r\n", kOk, kOk, "354 go\r\n", "250 queued\r\n", "221 bye\r\n"});
  MailSetting.port = peer.port();
  MailOps.SendAll();
  Drive();
  peer.Join();
  EXPECT_FALSE(HasSpool(1));
  EXPECT_EQ(Mail_RetryDelayMs(), 0);
  SvcMonoClock = saved;
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
  EXPECT_EQ(Spool(1),
            "Subject: Brisvane Notification: Utility power failure\r\n"
            "Date: 03/09/2024\r\n\r\n"
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
  EXPECT_EQ(spool.rfind("Subject: Brisvane Notification: System will shut down in " + oldest + "\r\n"
                        "Date: 03/09/2024\r\n\r\nHost Name: ups-host\r\n", 0), 0u);
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
