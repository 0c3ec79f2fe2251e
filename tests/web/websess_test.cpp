// Login challenges, sessions and form tokens with the seconds counter as
// clock, and the login form with its lock-out.
#include <openssl/evp.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "core/helpers.h"
#include "support/events_fakes.h"
#include "web/websys.h"
#include "webfixture.h"

using namespace webtest;

namespace {

struct Peer {
  int family;
  uint8_t address[16];
};
const Peer kA{AF_INET, {192, 0, 2, 10}};
const Peer kB{AF_INET, {192, 0, 2, 11}};
// The same 16 bytes as kA, but IPv6.
const Peer kA6{AF_INET6, {192, 0, 2, 10}};

std::string Md5Hex(const std::string& text) {
  unsigned char d[16];
  unsigned int n = 0;
  EVP_Digest(text.data(), text.size(), d, &n, EVP_md5(), nullptr);
  std::string hex;
  char b[3];
  for (unsigned i = 0; i < n; ++i) {
    snprintf(b, sizeof b, "%02x", d[i]);
    hex += b;
  }
  return hex;
}

class Sessions : public WebTest {
 protected:
  const char* Challenge(const Peer& c) { return WebSess_MakeChallenge(c.family, c.address); }
  // Tokens of the session that is current, as the gate leaves it.
  std::string Token() {
    const char* t = WebSess_MakeToken();
    return t ? t : "";
  }
  int Check(const std::string& token) { return WebSess_CheckToken(token.c_str()); }
  // The current session becomes the one with this id.
  void Use(const std::string& id) { WebSess_Validate(id.c_str()); }
};

TEST_F(Sessions, ChallengeLifeCycle) {
  std::string a = Challenge(kA);
  EXPECT_EQ(a.size(), size_t(WEB_CHALLENGE_CHARS));
  // The same client within one second gets the same text; other clients,
  // or the same bytes of the other family, get other texts.
  EXPECT_EQ(Challenge(kA), a);
  EXPECT_NE(Challenge(kB), a);
  EXPECT_NE(Challenge(kA6), a);
  EXPECT_NE(WebSess_FindChallenge(kA.family, kA.address), WebSess_FindChallenge(kA6.family, kA6.address));
  SvcSeconds += 1;
  std::string later = Challenge(kA);
  EXPECT_NE(later, a);
  // Alive for 60 seconds.
  SvcSeconds += 60;
  EXPECT_STREQ(WebSess_GetChallenge(kA.family, kA.address), later.c_str());
  SvcSeconds += 1;
  EXPECT_EQ(WebSess_GetChallenge(kA.family, kA.address), nullptr);
  EXPECT_EQ(WebSess_FindChallenge(kA.family, kA.address), -1);  // freed
}

TEST_F(Sessions, ChallengesDifferAfterARestart) {
  std::string before = Challenge(kA);
  WebSess_Init();
  EXPECT_NE(Challenge(kA), before);
}

TEST_F(Sessions, ResponseCheck) {
  std::string ch = Challenge(kA);
  std::string good = Md5Hex("admin" + std::string("s3cret") + ch);
  std::string upper = good;
  for (char& c : upper) c = static_cast<char>(toupper(c));
  struct Case {
    std::string response;
    int result;
  } cases[] = {
      {good, 1},
      {good + "trailing", 1},  // the first 32 characters count
      {upper, 0},
      {good.substr(0, 31), 0},
      {Md5Hex("admin" + std::string("wrong") + ch), 0},
      {"", 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(WebSess_CheckResponse(c.response.c_str(), "admin", "s3cret", kA.family, kA.address), c.result)
        << c.response;
  // From another client, or after the challenge expired: refused.
  EXPECT_EQ(WebSess_CheckResponse(good.c_str(), "admin", "s3cret", kB.family, kB.address), 0);
  SvcSeconds += 61;
  EXPECT_EQ(WebSess_CheckResponse(good.c_str(), "admin", "s3cret", kA.family, kA.address), 0);
}

TEST_F(Sessions, TokensBelongToTheirSession) {
  WebSess_ClearCurrent();
  EXPECT_EQ(WebSess_MakeToken(), nullptr);  // no session: no token
  EXPECT_EQ(Check(std::string(24, 'A')), 0);
  const std::string admin = WebSess_Create(0), user = WebSess_Create(2);
  Use(user);
  const std::string theirs = Token();
  EXPECT_EQ(theirs.size(), size_t(WEB_ID_CHARS));
  EXPECT_EQ(Check(theirs), 1);
  // Another session's token is refused, whatever the client's address.
  Use(admin);
  EXPECT_EQ(Check(theirs), 0);
  const std::string mine = Token();
  EXPECT_EQ(Check(mine), 1);
  const struct {
    std::string token;
    int want;
  } kCases[] = {
      {mine.substr(0, 23), 0}, {mine + "x", 0}, {"", 0}, {std::string(24, '\0'), 0}, {mine, 1},
  };
  for (const auto& c : kCases) EXPECT_EQ(Check(c.token), c.want) << c.token;
  // The challenge's life does not end a token; the session's does.
  SvcSeconds += 120;
  EXPECT_EQ(Check(mine), 1);
  WebSess_Drop(admin.c_str());
  EXPECT_EQ(Check(mine), 0);
}

TEST_F(Sessions, RecentTokensOfOneSessionAllWork) {
  Use(WebSess_Create(0));
  // Tabs: every page loaded since the oldest of the last ones still posts.
  std::vector<std::string> tokens;
  for (int i = 0; i < WEB_SESSION_TOKENS; ++i) tokens.push_back(Token());
  EXPECT_EQ(std::set<std::string>(tokens.begin(), tokens.end()).size(), tokens.size());
  for (const std::string& t : tokens) EXPECT_EQ(Check(t), 1);
  // One more page: the oldest token is the one that goes.
  const std::string newest = Token();
  EXPECT_EQ(Check(tokens[0]), 0);
  EXPECT_EQ(Check(tokens[1]), 1);
  EXPECT_EQ(Check(newest), 1);
}

TEST_F(Sessions, ReusedEntryKeepsNoTokens) {
  const std::string first = WebSess_Create(0);
  const int entry = WebSess_FindSession(first.c_str());
  const std::string t = Token();
  WebSess_Drop(first.c_str());
  // The next login takes the freed entry.
  Use(WebSess_Create(2));
  EXPECT_EQ(WebCurrentSession, entry);
  EXPECT_EQ(Check(t), 0);
}

TEST_F(Sessions, SessionIdsAreUnpredictable) {
  // Two logins in one second: different ids, neither the encryption of the
  // seconds counter's text alone.
  std::set<std::string> ids;
  for (int i = 0; i < 16; ++i) ids.insert(WebSess_Create(0));
  EXPECT_EQ(ids.size(), 16u);
  uint8_t block[16] = {};
  snprintf(reinterpret_cast<char*>(block), sizeof block, "%d", SvcSeconds);
  CryptOps.Aes_EncryptBlock(block, CryptOps.configKey);
  char plain[25];
  CryptOps.Radix64_Encode(plain, block, 16);
  plain[24] = 0;
  EXPECT_EQ(ids.count(plain), 0u);
}

TEST_F(Sessions, SessionLifeCycle) {
  std::string id = WebSess_Create(1);
  std::string cookie = "QuenchRelayer=" + id;
  WebCurrentSession = -1;
  // Used every 29 minutes, it never expires.
  for (int i = 0; i < 5; ++i) {
    SvcSeconds += 29 * 60;
    EXPECT_EQ(WebSess_CheckCookie(cookie.c_str(), 0), 1);
    EXPECT_NE(WebCurrentSession, -1);
  }
  // Left for 1801 seconds, it is gone.
  SvcSeconds += 1801;
  EXPECT_EQ(WebSess_CheckCookie(cookie.c_str(), 0), -1);
  EXPECT_EQ(WebCurrentSession, -1);
  EXPECT_EQ(WebSess_FindSession(id.c_str()), -1);
}

TEST_F(Sessions, CookieHeaders) {
  std::string stale = WebSess_Create(0);
  SvcSeconds += 1801;
  std::string valid = WebSess_Create(2);
  struct Case {
    std::string header;
    int level;
  } cases[] = {
      {"QuenchRelayer=" + stale + "; QuenchRelayer=" + valid, 2},  // the second counts
      {"other=1; QuenchRelayer=" + valid + "; x=y", 2},
      {"QuenchRelayer=" + valid.substr(0, 23), -1},
      {"QuenchRelayer=", -1},
      {"other=" + valid, -1},
      {"", -1},
  };
  for (const Case& c : cases) {
    WebCurrentSession = 5;
    EXPECT_EQ(WebSess_CheckCookie(c.header.c_str(), 0), c.level) << c.header;
    if (c.level < 0) {
      EXPECT_EQ(WebCurrentSession, -1) << c.header;
    }
  }
}

TEST_F(Sessions, AFullTableEndsTheSessionUnusedLongest) {
  // Sixteen sessions made a second apart, then used in another order: the
  // login that finds them all alive ends the one unused for longest, not
  // entry 0 nor the newest.
  std::vector<std::string> ids;
  for (int i = 0; i < WEB_SESSIONS; ++i, ++SvcSeconds) ids.push_back(WebSess_Create(i % 3));
  for (int i = WEB_SESSIONS - 1; i >= 0; --i, ++SvcSeconds)
    if (i != 9) Use(ids[i]);  // session 9 is left as it was made; 15 is now the longest unused
  std::string newcomer = WebSess_Create(0);
  EXPECT_EQ(WebSess_FindSession(ids[9].c_str()), -1);
  EXPECT_EQ(WebSess_FindSession(newcomer.c_str()), 9);  // its entry
  for (int i = 0; i < WEB_SESSIONS; ++i) {
    if (i != 9) {
      EXPECT_GE(WebSess_FindSession(ids[i].c_str()), 0) << i;
    }
  }
  // The next one: session 15, used first of the others.
  WebSess_Create(0);
  EXPECT_EQ(WebSess_FindSession(ids[15].c_str()), -1);
  // Their cookies name no session, but say that a login ended them.
  for (int i : {9, 15}) {
    const std::string cookie = "QuenchRelayer=" + ids[i];
    EXPECT_EQ(WebSess_CheckCookie(cookie.c_str(), 0), -1);
    EXPECT_EQ(WebSess_WasEnded(cookie.c_str()), 1);
    EXPECT_EQ(WebSess_WasEnded(("other=1; QuenchRelayer=" + ids[0] + "; QuenchRelayer=" + ids[i]).c_str()), 1);
  }
  EXPECT_EQ(WebSess_WasEnded(("QuenchRelayer=" + ids[0]).c_str()), 0);  // alive
  EXPECT_EQ(WebSess_WasEnded(("QuenchRelayer=" + newcomer).c_str()), 0);
  EXPECT_EQ(WebSess_WasEnded("QuenchRelayer=AAAAAAAAAAAAAAAAAAAAAAAA"), 0);
  EXPECT_EQ(WebSess_WasEnded(nullptr), 0);
  // An expired entry is reused before any live session is ended, and that
  // is no session ended for a login.
  SvcSeconds += WEB_SESSION_SECONDS + 1;
  std::string again = WebSess_Create(2);
  EXPECT_EQ(WebSess_WasEnded(("QuenchRelayer=" + ids[9]).c_str()), 0);  // it would have expired by now
}

TEST_F(Sessions, TwoPeopleWorkWhileScriptsLogInAndNeverOut) {
  // Fourteen sessions nobody uses, two people who load a page every few
  // seconds, and scripts that log in and never log out: for a minute two
  // logins a second, then one every two seconds until the idle sessions
  // would have expired. The people keep their sessions; every ended one is
  // told why.
  std::vector<std::string> idle;
  for (int i = 0; i < WEB_SESSIONS - 2; ++i) idle.push_back(WebSess_Create(2));
  ++SvcSeconds;
  const std::string people[] = {WebSess_Create(0), WebSess_Create(1)};
  std::vector<std::string> scripts;
  for (uint32_t second = 0; second < WEB_SESSION_SECONDS - 2; ++second, ++SvcSeconds) {
    for (int n = second < 60 ? 2 : second % 2; n > 0; --n) scripts.push_back(WebSess_Create(2));
    if (second % 3 == 0) Use(people[0]);
    if (second % 5 == 0) Use(people[1]);
  }
  for (const std::string& p : people) EXPECT_GE(WebSess_FindSession(p.c_str()), 0);
  for (const std::string& i : idle) {
    EXPECT_EQ(WebSess_FindSession(i.c_str()), -1);
    EXPECT_EQ(WebSess_WasEnded(("QuenchRelayer=" + i).c_str()), 1);
  }
  // Of the scripts' sessions the newest fourteen are left, the others ended.
  for (size_t i = 0; i < scripts.size(); ++i) {
    const bool kept = i + WEB_SESSIONS - 2 >= scripts.size();
    EXPECT_EQ(WebSess_FindSession(scripts[i].c_str()) >= 0, kept) << i;
    EXPECT_EQ(WebSess_WasEnded(("QuenchRelayer=" + scripts[i]).c_str()), kept ? 0 : 1) << i;
  }
}

TEST_F(Sessions, LinkTokenIsTheSessionsOwn) {
  std::string a = WebSess_Create(0);
  const std::string link = WebSess_LinkToken();
  EXPECT_EQ(link.size(), size_t(WEB_ID_CHARS));
  EXPECT_NE(link, a);  // never the cookie's id: pages show the token
  // The same on every page of the session; the forms' tokens go on apart.
  const std::string form = Token();
  EXPECT_EQ(WebSess_LinkToken(), link);
  EXPECT_EQ(Check(link), 0);
  EXPECT_EQ(WebSess_CheckLinkToken(form.c_str(), form.size()), 0);
  EXPECT_EQ(WebSess_CheckLinkToken(link.c_str(), link.size()), 1);
  EXPECT_EQ(WebSess_CheckLinkToken(link.c_str(), link.size() - 1), 0);
  EXPECT_EQ(WebSess_CheckLinkToken((link + "x").c_str(), link.size() + 1), 0);
  EXPECT_EQ(WebSess_CheckLinkToken(nullptr, 0), 0);
  // Another session's is another token, and only the current one's counts.
  std::string b = WebSess_Create(0);
  EXPECT_NE(std::string(WebSess_LinkToken()), link);
  EXPECT_EQ(WebSess_CheckLinkToken(link.c_str(), link.size()), 0);
  Use(a);
  EXPECT_EQ(WebSess_CheckLinkToken(link.c_str(), link.size()), 1);
  WebCurrentSession = -1;
  EXPECT_EQ(WebSess_LinkToken(), nullptr);
  EXPECT_EQ(WebSess_CheckLinkToken(link.c_str(), link.size()), 0);
  // A reused entry gets a new one.
  WebSess_Drop(a.c_str());
  WebSess_Create(0);
  EXPECT_NE(std::string(WebSess_LinkToken()), link);
}

TEST_F(Sessions, PageValues) {
  // 29 February 2024, 10:00 local time.
  struct tm tm {};
  tm.tm_year = 124;
  tm.tm_mon = 1;
  tm.tm_mday = 29;
  tm.tm_hour = 10;
  tm.tm_isdst = -1;
  static time_t fixed;
  fixed = mktime(&tm);
  auto saved = SvcWallClock;
  SvcWallClock = [] { return fixed; };
  WebSess_Create(0);
  SvcWallClock = saved;
  const int32_t want[38] = {0,  1, 2, 29, 24, 2, 29, 24, 0, 0, 0, 2, 29, 24, 2, 29, 24, 2, 1,
                            24, 2, 29, 24, 1, 1,  24, 12, 31, 24, 2, 29, 24, 2, 29, 24, 0, 1, 0};
  for (int i = 0; i < 38; ++i) EXPECT_EQ(WebSess_GetVar(i), want[i]) << i;
  EXPECT_EQ(WebSess_GetVar(38), 0);
  WebSess_SetVar(37, 7);
  EXPECT_EQ(WebSess_GetVar(37), 7);
  WebCurrentSession = -1;
  EXPECT_EQ(WebSess_GetVar(37), 0);
  WebSess_SetVar(37, 9);  // no current session: nothing
}

// ---- the login form ---------------------------------------------------------------

class Login : public WebTest {
 protected:
  void SetUp() override {
    WebTest::SetUp();
    const wchar_t* names[3] = {L"admin", L"device", L"user"};
    for (int i = 0; i < 3; ++i) {
      memset(&WebAccounts[i], 0, sizeof WebAccounts[i]);
      wcscpy(WebAccounts[i].name, names[i]);
      wcscpy(WebAccounts[i].password, L"brindlex");
    }
    wcscpy(WebAccounts[1].password, L"other-pw");
    WebReply.clientFamily = kA.family;
    memcpy(WebReply.clientAddress, kA.address, 16);
    g_logged.clear();
    EvtLogOps.Add = RecordEvent;
  }
  void TearDown() override {
    EvtLogOps.Add = nullptr;
    WebTest::TearDown();
  }
  // Posts the login form; the reply text.
  std::string Post(const std::string& body) {
    HttpConn* c = Httpd_Connection(HTTPD_CONNECTIONS - 1);
    snprintf(c->buffer, HTTPD_BUFFER_SIZE, "%s", body.c_str());
    c->body = c->buffer;
    c->bodyCount = static_cast<int>(body.size());
    c->boundary = nullptr;
    char form[] = "login";
    c->uri = form;
    WebReply.text[0] = 0;
    WebReply.written = 0;
    WebSys_HandleForm(c);
    c->body = nullptr;
    EXPECT_EQ(WebReply.written, 1);
    return WebReply.text;
  }
  std::string Answer(const char* user, const char* password) {
    const char* ch = WebSess_GetChallenge(kA.family, kA.address);
    return "Username=" + std::string(user) + "&Response=" + Md5Hex(std::string(user) + password + (ch ? ch : ""));
  }
  const std::string kError =
      "Message: Redirect=/login.asp\nTitle=Login Error\nBody=<font color=#FF0000>Please check the account and "
      "password.</font>\n";
  const std::string kLock =
      "Message: Redirect=/login.asp\nTitle=Login Lock\nBody=<font color=#FF0000>The account has been locked.</font>\n";
};

TEST_F(Login, SuccessCreatesTheSession) {
  WebSess_MakeChallenge(kA.family, kA.address);
  WebAccounts[0].failedLogins = 2;
  std::string reply = Post(Answer("admin", "brindlex"));
  ASSERT_EQ(reply.rfind("Set Cookie: QuenchRelayer=", 0), 0u);
  std::string id = reply.substr(26, 24);
  EXPECT_EQ(reply.substr(50), ";path=/");
  int s = WebSess_FindSession(id.c_str());
  ASSERT_GE(s, 0);
  EXPECT_EQ(WebSessions[s].level, 0);
  EXPECT_EQ(WebAccounts[0].failedLogins, 0);
  // Accounts 0 and 2 still have the factory password: the notice mask.
  EXPECT_EQ(WebSess_GetVar(WSV_DEFAULT_PASSWORD), 5);
  // Account 1 logs in with its own password and level.
  std::string r1 = Post(Answer("device", "other-pw"));
  EXPECT_EQ(WebSessions[WebSess_FindSession(r1.substr(26, 24).c_str())].level, 1);
}

TEST_F(Login, Refusals) {
  // Without a challenge.
  EXPECT_EQ(Post(Answer("admin", "brindlex")),
            "Message: Redirect=/login.asp\nTitle=Challenge Not Found\nBody=<font color=#808000>Please refresh the "
            "login page again.</font>\n");
  WebSess_MakeChallenge(kA.family, kA.address);
  EXPECT_EQ(Post(Answer("nobody", "brindlex")), kError);
  EXPECT_EQ(Post(Answer("admin", "wrong")), kError);
  EXPECT_EQ(Post("Username=admin"), "");  // a field missing: no reply
  EXPECT_EQ(Post("UsernameX=admin&Response=" + std::string(32, 'a')), "");  // names match exactly
  EXPECT_EQ(Post(""), "");
  // More than 60 seconds after the challenge.
  std::string late = Answer("admin", "brindlex");
  SvcSeconds += 61;
  EXPECT_NE(Post(late).find("Title=Challenge Not Found"), std::string::npos);
}

TEST_F(Login, EventsNameTheAccountAndTheClient) {
  WebSess_MakeChallenge(kA.family, kA.address);
  WebSess_MakeChallenge(kA6.family, kA6.address);
  struct {
    const char* name;
    const Peer& peer;
    const char* user;      // as posted
    const char* password;  // the response answers the challenge with it
    std::vector<LoggedEvent> logged;
  } cases[] = {
      {"success", kA, "admin", "brindlex", {{2, {"admin", "192.0.2.10"}}}},
      {"success over IPv6", kA6, "device", "other-pw", {{2, {"device", "c000:20a::"}}}},
      {"wrong password", kA, "user", "x", {{37, {"user", "192.0.2.10"}}}},
      // The name of an unknown account is not logged, whatever it holds.
      {"unknown account", kA, "no%0A2 0 01/01/2024 00:00:00 forged", "x", {{39, {"192.0.2.10"}}}},
      {"no response", kA, "admin", nullptr, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_logged.clear();
    WebReply.clientFamily = c.peer.family;
    memcpy(WebReply.clientAddress, c.peer.address, 16);
    const char* ch = WebSess_GetChallenge(c.peer.family, c.peer.address);
    ASSERT_NE(ch, nullptr);
    std::string body = std::string("Username=") + c.user;
    if (c.password) body += "&Response=" + Md5Hex(std::string(c.user) + c.password + ch);
    Post(body);
    EXPECT_EQ(g_logged, c.logged);
  }
  // No challenge kept for this client: answered "Challenge Not Found", and
  // still a failed login (a client that had its entry taken away guesses no
  // password past the count).
  g_logged.clear();
  WebReply.clientFamily = kB.family;
  memcpy(WebReply.clientAddress, kB.address, 16);
  EXPECT_NE(Post("Username=admin&Response=" + std::string(32, '0')).find("Title=Challenge Not Found"),
            std::string::npos);
  EXPECT_EQ(g_logged, (std::vector<LoggedEvent>{{37, {"admin", "192.0.2.11"}}}));
}

TEST_F(Login, AResponseStandsWhileItsChallengeIsLiveThoughStrangersTookItsEntry) {
  WebReply.clientFamily = kA.family;
  memcpy(WebReply.clientAddress, kA.address, 16);
  const std::string ch = WebSess_MakeChallenge(kA.family, kA.address);
  const std::string answer = "Username=admin&Response=" + Md5Hex("admin" + std::string("brindlex") + ch);
  // Every entry goes to other clients, one a second.
  for (int i = 0; i < WEB_CHALLENGES + 4; ++i) {
    uint8_t other[16] = {192, 0, 2, static_cast<uint8_t>(100 + i)};
    WebSess_MakeChallenge(AF_INET, other);
    SvcSeconds += 1;
  }
  ASSERT_EQ(WebSess_GetChallenge(kA.family, kA.address), nullptr);
  EXPECT_EQ(Post(answer).rfind("Set Cookie: ", 0), 0u);
  // Past its 60 seconds it is refused as before.
  const std::string ch2 = WebSess_MakeChallenge(kA.family, kA.address);
  SvcSeconds += WEB_CHALLENGE_SECONDS + 1;
  EXPECT_NE(Post("Username=admin&Response=" + Md5Hex("admin" + std::string("brindlex") + ch2))
                .find("Title=Challenge Not Found"),
            std::string::npos);
}

TEST_F(Login, LockOut) {
  WebLock = {1, 3, 2};
  WebSess_MakeChallenge(kA.family, kA.address);
  EXPECT_EQ(Post(Answer("admin", "x")), kError);
  EXPECT_EQ(Post(Answer("admin", "x")), kError);
  EXPECT_EQ(Post(Answer("admin", "x")), kLock);
  EXPECT_EQ(WebAccounts[0].lockLeft, 120u);
  // Every wrong answer is logged; the third also locks the account.
  const LoggedEvent wrong{37, {"admin", "192.0.2.10"}};
  EXPECT_EQ(g_logged, (std::vector<LoggedEvent>{wrong, wrong, wrong, {38, {"admin"}}}));
  g_logged.clear();
  // Locked: even the right answer is refused, and other accounts are not.
  EXPECT_EQ(Post(Answer("admin", "brindlex")), kLock);
  EXPECT_EQ(Post(Answer("user", "brindlex")).rfind("Set Cookie: ", 0), 0u);
  EXPECT_EQ(WebAccounts[0].failedLogins, 3);
  // The countdown lifts the lock.
  Svc_AccountLockTick(115);
  EXPECT_EQ(Post(Answer("admin", "brindlex")), kLock);
  Svc_AccountLockTick(5);
  // Refused as locked: nothing logged; the user's login was.
  EXPECT_EQ(g_logged, (std::vector<LoggedEvent>{{2, {"user", "192.0.2.10"}}}));
  EXPECT_EQ(Post(Answer("admin", "brindlex")).rfind("Set Cookie: ", 0), 0u);
}

TEST_F(Login, LockSettings) {
  WebSess_MakeChallenge(kA.family, kA.address);
  // Lock off: failures are not counted.
  WebLock = {0, 1, 1};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Post(Answer("admin", "x")), kError);
  EXPECT_EQ(WebAccounts[0].failedLogins, 0);
  // Retry limit 0: every login of an existing user is locked.
  WebLock = {1, 0, 1};
  EXPECT_EQ(Post(Answer("admin", "brindlex")), kLock);
  EXPECT_EQ(Post(Answer("nobody", "brindlex")), kError);
  // A counter above the limit comes back to limit + 1.
  WebLock = {1, 2, 1};
  WebAccounts[1].failedLogins = 1;
  EXPECT_EQ(Post(Answer("device", "x")), kLock);
  WebAccounts[1].failedLogins = 2;
  EXPECT_EQ(Post(Answer("device", "x")), kLock);  // refused as locked: not counted
  EXPECT_EQ(WebAccounts[1].failedLogins, 2);
}

// ---- failed logins in the event log -------------------------------------------------

class FailedLogins : public Login {
 protected:
  void SetUp() override {
    Login::SetUp();
    savedClock_ = SvcWallClock;
    // The wall clock goes with the seconds counter, which starts at 100.
    SvcWallClock = [] { return time_t{1767225600} + SvcSeconds - 100; };
  }
  void TearDown() override {
    SvcWallClock = savedClock_;
    Login::TearDown();
  }
  // One failed login of an unknown account from this client.
  void Fail(const Peer& p, int times = 1) {
    for (int i = 0; i < times; ++i) {
      WebReply.clientFamily = p.family;
      memcpy(WebReply.clientAddress, p.address, 16);
      WebSess_MakeChallenge(p.family, p.address);
      EXPECT_EQ(Post("Username=nobody&Response=" + std::string(32, '0')), kError);
    }
  }
  // The next request, some seconds on.
  static void Later(uint32_t seconds) {
    SvcSeconds += seconds;
    WebSess_ClearCurrent();
  }
  static std::string Clock(int seconds) {
    time_t t = 1767225600 + seconds;
    struct tm tm;
    localtime_r(&t, &tm);
    char out[16];
    strftime(out, sizeof out, "%H:%M:%S", &tm);
    return out;
  }
  static LoggedEvent Count(int n, int from, int to, const std::string& most) {
    return {-1, {"2", std::to_string(n) + " failed login" + (n == 1 ? "" : "s") + " between " + Clock(from) +
                          " and " + Clock(to) + " not logged one by one, most from " + most}};
  }
  std::vector<LoggedEvent> OneByOne(const Peer& p, int n) {
    char where[64];
    Net_Ntop(p.family, p.address, where);
    return std::vector<LoggedEvent>(n, LoggedEvent{39, {where}});
  }
  time_t (*savedClock_)() = nullptr;
};

const Peer kC6{AF_INET6, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5}};

TEST_F(FailedLogins, TheFirstOfAMinuteOneByOneThenTheirCount) {
  Fail(kA, 3);
  Fail(kB, 6);
  Fail(kA, 9);
  Fail(kC6, 2);
  // Five records one by one, the other fifteen only counted so far.
  std::vector<LoggedEvent> expected = OneByOne(kA, 3);
  for (const LoggedEvent& e : OneByOne(kB, 2)) expected.push_back(e);
  EXPECT_EQ(g_logged, expected);
  Later(59);
  EXPECT_EQ(g_logged.size(), 5u);
  // The minute has passed: the next request logs the count, the addresses
  // seen most first.
  Later(1);
  expected.push_back(Count(15, 0, 60, "192.0.2.10 (12), 192.0.2.11 (6), 2001:db8::5 (2)"));
  EXPECT_EQ(g_logged, expected);
  Later(600);
  EXPECT_EQ(g_logged, expected);  // once
}

TEST_F(FailedLogins, AFloodThatGoesOnIsCountedInLongerWindows) {
  Fail(kA, 8);
  Later(60);
  ASSERT_EQ(g_logged.size(), 6u);  // five one by one, one count
  // Within a minute of that: the flood goes on; the next window logs none
  // one by one and lasts two minutes, the one after four, up to ten.
  uint32_t at = 60;
  for (uint32_t length : {120u, 240u, 480u, 600u, 600u, 600u}) {
    SCOPED_TRACE(length);
    Later(30);
    Fail(kB, 4);
    const size_t before = g_logged.size();
    Later(length - 1);
    EXPECT_EQ(g_logged.size(), before);
    Later(1);
    ASSERT_EQ(g_logged.size(), before + 1);
    EXPECT_EQ(g_logged.back(), Count(4, at + 30, at + 30 + length, "192.0.2.11 (4)"));
    at += 30 + length;
  }
  // Quiet for as long as the last window: a new minute logs one by one again.
  Later(WEB_FAILED_WINDOW_MAX_SECONDS);
  const size_t before = g_logged.size();
  Fail(kA, 2);
  EXPECT_EQ(std::vector<LoggedEvent>(g_logged.begin() + before, g_logged.end()), OneByOne(kA, 2));
}

TEST_F(FailedLogins, AnOngoingFloodIsInTheLogEveryTenMinutes) {
  // A failed login every 5 s for six hours: the log says so at least every
  // ten minutes, and stays small (the windows are at most ten minutes).
  std::vector<uint32_t> when;  // seconds of each count record
  for (uint32_t t = 0; t < 6 * 3600; t += 5) {
    const size_t before = g_logged.size();
    Fail(kA);
    Later(5);
    if (g_logged.size() > before && g_logged.back().code == -1) when.push_back(t + 5);
  }
  ASSERT_FALSE(when.empty());
  EXPECT_LE(when.front(), 60u + 5);
  uint32_t longest = 0;
  for (size_t i = 1; i < when.size(); ++i) longest = std::max(longest, when[i] - when[i - 1]);
  EXPECT_LE(longest, 600u + 5);
  EXPECT_LE(when.size(), 6u * 3600 / 600 + 4);
}

TEST_F(FailedLogins, TheLockOutCountsWhatIsNotLogged) {
  WebLock = {1, 3, 2};
  Fail(kB, 5);
  g_logged.clear();
  // Wrong passwords past the minute's records: not logged one by one, but
  // the account is locked on the third as before, and that is logged.
  WebReply.clientFamily = kA.family;
  memcpy(WebReply.clientAddress, kA.address, 16);
  WebSess_MakeChallenge(kA.family, kA.address);
  EXPECT_EQ(Post(Answer("admin", "x")), kError);
  EXPECT_EQ(Post(Answer("admin", "x")), kError);
  EXPECT_EQ(Post(Answer("admin", "x")), kLock);
  EXPECT_EQ(WebAccounts[0].lockLeft, 120u);
  EXPECT_EQ(g_logged, (std::vector<LoggedEvent>{{38, {"admin"}}}));
  Later(60);
  EXPECT_EQ(g_logged.back(), Count(3, 0, 60, "192.0.2.11 (5), 192.0.2.10 (3)"));
}

TEST_F(FailedLogins, AStopLogsTheCountSoFar) {
  Fail(kA, 7);
  Later(20);
  WebSess_Shutdown();
  ASSERT_EQ(g_logged.size(), 6u);
  EXPECT_EQ(g_logged.back(), Count(2, 0, 20, "192.0.2.10 (7)"));
}

TEST_F(FailedLogins, ManyAddressesTheMostFrequentNamedInOneRecord) {
  // The longest IPv6 texts, from more addresses than the tally keeps: the
  // most frequent is named first with its count, and the record stays
  // within an event text.
  Peer heavy{AF_INET6, {}};
  memset(heavy.address, 0xfe, 16);
  Fail(heavy, 40);
  for (int i = 0; i < 100; ++i) {
    Peer p{AF_INET6, {}};
    memset(p.address, 0xff, 16);
    p.address[15] = static_cast<uint8_t>(i);
    Fail(p);
  }
  Later(60);
  const std::string text = g_logged.back().args[1];
  EXPECT_LT(text.size(), size_t(EVTLOG_TEXT_SIZE));
  EXPECT_EQ(text.rfind("135 failed logins between ", 0), 0u) << text;
  EXPECT_NE(text.find("most from fefe:fefe:fefe:fefe:fefe:fefe:fefe:fefe (40), ffff:"), std::string::npos) << text;
  EXPECT_EQ(text.back(), ')');
}

TEST_F(Login, OtherFormsGoToTheDeviceHandler) {
  HttpConn* c = Httpd_Connection(HTTPD_CONNECTIONS - 1);
  char form[] = "ups_control";
  c->uri = form;
  c->body = c->buffer;
  c->buffer[0] = 0;
  c->bodyCount = 0;
  g_formReply = "OK: Redirect=/x";
  WebSys_HandleForm(c);
  c->body = nullptr;
  EXPECT_EQ(g_formSeen, "ups_control");
  EXPECT_STREQ(WebReply.text, "OK: Redirect=/x");
  EXPECT_EQ(WebReply.written, 1);
}

}  // namespace
