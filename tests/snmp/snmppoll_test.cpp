// Network shutdown client poller: discovery rounds, the exchange with a
// client played on loopback sockets (answers built and requests read by the
// test-side wire helpers, not the service's codec), the checks that keep
// wrong answers out, the source lookup and the bounds on stored texts.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <sys/un.h>
#include <unistd.h>

#include "core/crypt.h"
#include "core/helpers.h"
#include "snmp/snmpagent.h"
#include "snmp/snmppoll.h"
#include "snmp/snmptrap.h"
#include "snmpwire.h"
#include "support/scratch.h"

using namespace wire;

namespace {

int32_t NoHandler(SnmpVarbind*, uint8_t) { return SNMP_ERR_NO_SUCH_NAME; }

const std::string kAuth = "mq530847", kPriv = "tv817264";
// A 17-byte engine id, as net-snmp's agents have.
const Bytes kEngine = {0x80, 0x00, 0x1F, 0x88, 0x80, 0x7C, 0x92, 0x09, 0x5B,
                       0xEF, 0x9D, 0x1A, 0x6B, 0x00, 0x00, 0x00, 0x00};
const Bytes kOtherEngine = {0x80, 0x00, 0x1F, 0x88, 0x80, 0x01, 0x02, 0x03, 0x04,
                            0x05, 0x06, 0x07, 0x08, 0x00, 0x00, 0x00, 0x00};
const std::string kCol = "1.3.6.1.4.1.32473.2.200.1.";
const std::vector<std::string> kRequested = {kCol + "1.0", kCol + "2.0", kCol + "3.0", kCol + "4.0",
                                             kCol + "5.0", kCol + "6.0", "1.3.6.1.4.1.32473.2.200.3.1.0"};

// A UDP socket on a loopback address: one end of a client.
struct Peer {
  int fd = -1;
  int family;
  uint16_t port = 0;
  explicit Peer(int fam, const char* address = nullptr) : family(fam) {
    fd = socket(family, SOCK_DGRAM, 0);
    sockaddr_storage ss{};
    socklen_t len;
    if (family == AF_INET) {
      auto* a = reinterpret_cast<sockaddr_in*>(&ss);
      a->sin_family = AF_INET;
      inet_pton(AF_INET, address ? address : "127.0.0.1", &a->sin_addr);
      len = sizeof *a;
    } else {
      auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
      a->sin6_family = AF_INET6;
      a->sin6_addr = in6addr_loopback;
      len = sizeof *a;
    }
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&ss), len), 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&ss)->sin_port
                                   : reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  }
  ~Peer() { close(fd); }
  // The next datagram within the wait, and where it came from.
  std::optional<Bytes> Recv(int waitMs = 200) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) return std::nullopt;
    uint8_t buf[4096];
    fromLen = sizeof from;
    ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0) return std::nullopt;
    return Bytes(buf, buf + n);
  }
  void SendTo(const sockaddr_storage& to, socklen_t toLen, const Bytes& b) {
    sendto(fd, b.data(), b.size(), 0, reinterpret_cast<const sockaddr*>(&to), toLen);
  }
  sockaddr_storage from{};
  socklen_t fromLen = 0;
};

// Lets the poller read what arrived on its sockets.
void Pump(int waitMs = 200) {
  pollfd fds[2];
  int n = SnmpPoll_PollFill(fds, 2, nullptr);
  poll(fds, static_cast<nfds_t>(n), waitMs);
  SnmpPoll_Receive();
}

Bytes Report(int32_t msgId, int32_t requestId, int64_t boots, int64_t time, const Bytes& engine = kEngine) {
  V3Request r;
  r.msgId = msgId;
  r.flags = 0;
  r.engineId = engine;
  r.contextEngineId = engine;
  r.boots = boots;
  r.time = time;
  r.pdu = Pdu(0xA8, requestId, {Varbind("1.3.6.1.6.3.15.1.1.4.0", Int(1, 0x41))});
  return BuildV3(r);
}

std::vector<Bytes> StatusVarbinds(const std::string& host = "peerhost") {
  return {Varbind(kCol + "1.0", Oct("Linux 6.1")), Varbind(kCol + "2.0", Oct("c2")),
          Varbind(kCol + "3.0", Int(1)),           Varbind(kCol + "4.0", Int(120)),
          Varbind(kCol + "5.0", Int(2)),           Varbind(kCol + "6.0", Oct(host)),
          Varbind("1.3.6.1.4.1.32473.2.200.3.1.0", Oct("x"))};
}

// The client's authPriv Response, as it would build it.
V3Request Response(int32_t msgId, int32_t requestId, const std::vector<Bytes>& varbinds, const Keys* keys,
                   int32_t errorStatus = 0) {
  V3Request r;
  r.msgId = msgId;
  r.flags = 0x03;
  r.engineId = kEngine;
  r.contextEngineId = kEngine;
  r.boots = 300;
  r.time = 70000;
  r.user = "manager";
  r.keys = keys;
  r.pdu = Pdu(0xA2, requestId, varbinds, errorStatus);
  return r;
}

class SnmpPollTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    Reset();
  }
  // A fresh agent and poller with no receivers (also between cases).
  void Reset() {
    Crypt_Init();
    SnmpAgentSetting = SnmpAgentSettings{};
    SnmpAgent_Init(NoHandler);
    SnmpTrapReceiverCount = 0;
    SnmpPoll_Init();
    SnmpPoll_OpenSockets();
    keys = Localize(kAuth, kPriv, kEngine.data(), kEngine.size());
  }
  void TearDown() override {
    SnmpPoll_CloseSockets();
    SnmpTrapReceiverCount = 0;
    ScratchTest::TearDown();
  }
  TrapReceiver& AddReceiver(const char* ip, uint16_t ncPort, uint8_t level) {
    TrapReceiver& r = SnmpTrapReceivers[SnmpTrapReceiverCount++];
    r = TrapReceiver{};
    snprintf(r.ip, sizeof r.ip, "%s", ip);
    r.ncPort = ncPort;
    r.port = 162;
    r.level = level;
    return r;
  }
  // Discovery and Report for client 0 at peer; the answer comes from
  // `from` (another port of the client). Returns the authenticated request.
  Parsed DiscoverAndReport(Peer& peer, Peer& from, int32_t requestId = 4242) {
    SnmpPoll_CountClients();
    SnmpPoll_SendDiscovery();
    auto d = peer.Recv();
    EXPECT_TRUE(d.has_value());
    if (!d) return Parsed{};
    Parsed disc = Parse(*d);
    from.SendTo(peer.from, peer.fromLen, Report(static_cast<int32_t>(disc.msgId), requestId, 300, 70000));
    Pump();
    auto req = from.Recv();
    EXPECT_TRUE(req.has_value());
    return req ? Parse(*req, &keys) : Parsed{};
  }
  Keys keys;
};

}  // namespace

TEST_F(SnmpPollTest, DiscoveryRoundsAskHalfTheClientsInListOrder) {
  struct Case {
    const char* name;
    std::vector<uint8_t> levels;
    std::vector<const char*> ips;  // empty: every receiver at 127.0.0.1
    int32_t clients;
    std::vector<std::vector<int>> rounds;  // receivers that get a request, per round
  } cases[] = {
      {"one client: every round", {4}, {}, 1, {{0}, {0}, {0}}},
      {"two clients: one a round, in turn", {4, 4}, {}, 2, {{0}, {1}, {0}}},
      {"three clients among five receivers: two a round", {4, 1, 4, 0, 4}, {}, 3, {{0, 2}, {4, 0}, {2, 4}}},
      {"no client: nothing", {1, 2, 3}, {}, 0, {{}, {}}},
      {"an address in no family counts toward the round but goes nowhere",
       {4, 4},
       {"no-such-address", "127.0.0.1"},
       2,
       {{}, {1}, {}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    std::vector<std::unique_ptr<Peer>> peers;
    for (size_t i = 0; i < c.levels.size(); i++) {
      peers.push_back(std::make_unique<Peer>(AF_INET));
      AddReceiver(c.ips.empty() ? "127.0.0.1" : c.ips[i], peers.back()->port, c.levels[i]);
    }
    SnmpPoll_Init();
    EXPECT_EQ(SnmpPollClientCount, c.clients);
    int64_t lastId = -1;
    for (const auto& round : c.rounds) {
      SnmpPoll_SendDiscovery();
      std::vector<std::pair<int64_t, int>> asked;  // msgID, receiver
      for (size_t i = 0; i < peers.size(); i++) {
        auto got = peers[i]->Recv(20);
        if (!got) continue;
        Parsed p = Parse(*got);
        ASSERT_TRUE(p.ok);
        asked.emplace_back(p.msgId, static_cast<int>(i));
        EXPECT_EQ(p.version, 3);
        EXPECT_EQ(p.flags, 0x04);
        EXPECT_EQ(p.maxSize, 4096);
        EXPECT_EQ(p.securityModel, 3);
        EXPECT_TRUE(p.engineId.empty());
        EXPECT_TRUE(p.contextEngineId.empty());
        EXPECT_EQ(p.user, "");
        EXPECT_EQ(p.boots, 0);
        EXPECT_EQ(p.time, 0);
        EXPECT_TRUE(p.authParams.empty());
        EXPECT_TRUE(p.privParams.empty());
        EXPECT_EQ(p.context, "hb_3926");
        EXPECT_EQ(p.pduTag, 0xA0);
        EXPECT_EQ(p.requestId, 1005);
        EXPECT_EQ(p.errorStatus, 0);
        EXPECT_TRUE(p.varbinds.empty());
        EXPECT_EQ(SnmpPollExchanges[i].phase, POLL_PHASE_DISCOVERING);
        EXPECT_EQ(SnmpPollExchanges[i].msgId, p.msgId);
      }
      // In msgID order the requests follow the list from the round-robin
      // position; msgIDs only grow.
      std::sort(asked.begin(), asked.end());
      std::vector<int> order;
      for (const auto& [id, receiver] : asked) {
        EXPECT_GT(id, lastId);
        lastId = id;
        order.push_back(receiver);
      }
      EXPECT_EQ(order, round);
    }
  }
}

TEST_F(SnmpPollTest, ExchangeWithAClientStoresItsAnswer) {
  struct Case {
    const char* name;
    int family;
    const char* ip;
  } cases[] = {{"IPv4", AF_INET, "127.0.0.1"}, {"IPv6, with nothing pending on the IPv4 socket", AF_INET6, "::1"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    Peer peer(c.family), from(c.family);
    AddReceiver(c.ip, peer.port, 4);
    SnmpPollClients[0].touch = 9;
    // The Report answers from another port than NCPort: the request goes
    // back to that port.
    Parsed req = DiscoverAndReport(peer, from);
    ASSERT_TRUE(req.ok);
    EXPECT_TRUE(req.digestOk);
    EXPECT_EQ(req.flags, 0x03);
    EXPECT_EQ(req.user, "manager");
    EXPECT_EQ(req.engineId, kEngine);  // all 17 bytes, in both engine fields
    EXPECT_EQ(req.contextEngineId, kEngine);
    // The client's own boots and time, whole (not their low 8 and 16 bits).
    EXPECT_EQ(req.boots, 300);
    EXPECT_EQ(req.time, 70000);
    EXPECT_EQ(req.maxSize, 4096);
    EXPECT_EQ(req.privParams.size(), 8u);
    EXPECT_EQ(req.context, "");  // as the Report gave it
    EXPECT_EQ(req.pduTag, 0xA0);
    EXPECT_EQ(req.requestId, 4242);
    ASSERT_EQ(req.varbinds.size(), 7u);
    for (size_t i = 0; i < 7; i++) {
      EXPECT_EQ(OidText(req.varbinds[i].name), kRequested[i]);
      bool integer = i >= 2 && i <= 4;
      EXPECT_EQ(req.varbinds[i].tag, integer ? 0x02 : 0x04);
      EXPECT_EQ(req.varbinds[i].content, integer ? Bytes{0} : Bytes{});
    }
    EXPECT_EQ(SnmpPollExchanges[0].phase, POLL_PHASE_REQUESTING);
    EXPECT_EQ(SnmpPollExchanges[0].msgId, req.msgId);
    EXPECT_EQ(SnmpPollClients[0].touch, 9);

    from.SendTo(from.from, from.fromLen,
                BuildV3(Response(static_cast<int32_t>(req.msgId), 4242, StatusVarbinds(), &keys)));
    Pump();
    const ShutdownClientStatus& s = SnmpPollClients[0];
    EXPECT_STREQ(s.os, "Linux 6.1");
    EXPECT_STREQ(s.column2, "c2");
    EXPECT_STREQ(s.hostName, "peerhost");
    EXPECT_EQ(s.countingDown, 1);
    EXPECT_EQ(s.countdown, 120);
    EXPECT_EQ(s.reason, 2);
    EXPECT_EQ(s.seventhFlag, 0);
    EXPECT_EQ(s.touch, 0);
    EXPECT_EQ(SnmpPollExchanges[0].phase, POLL_PHASE_IDLE);

    // The next round starts with a discovery that forgets the engine.
    SnmpPoll_SendDiscovery();
    EXPECT_EQ(SnmpPollClients[0].engineIdLength, 0);
    EXPECT_TRUE(peer.Recv().has_value());
  }
}

TEST_F(SnmpPollTest, AnswersThatDoNotAnswerTheRequestAreIgnored) {
  const Keys wrongKeys = Localize("wrongpass", kPriv, kEngine.data(), kEngine.size());
  const Keys otherEngineKeys = Localize(kAuth, kPriv, kOtherEngine.data(), kOtherEngine.size());
  struct Case {
    const char* name;
    std::function<void(V3Request&)> change;
    int decoded;          // what the decoder makes of it
    bool otherAddress;    // sent from 127.0.0.2, no client's address
  } cases[] = {
      {"wrong digest", [&](V3Request& r) { r.keys = &wrongKeys; }, SNMP_DECODE_WRONG_DIGEST, false},
      {"another engine, authenticated for it",
       [&](V3Request& r) {
         r.engineId = r.contextEngineId = kOtherEngine;
         r.keys = &otherEngineKeys;
       },
       SNMP_DECODE_UNKNOWN_ENGINE, false},
      {"another user", [](V3Request& r) { r.user = "other"; }, SNMP_DECODE_UNKNOWN_USER, false},
      {"unauthenticated", [](V3Request& r) { r.flags = 0; }, SNMP_DECODE_UNSUPPORTED_LEVEL, false},
      {"a stale msgID", [](V3Request& r) { r.msgId -= 1; }, SNMP_POLL_NOT_ASKED, false},
      {"six varbinds",
       [](V3Request& r) {
         std::vector<Bytes> vbs = StatusVarbinds("intruder");
         vbs.pop_back();
         r.pdu = Pdu(0xA2, 4242, vbs);
       },
       SNMP_DECODE_OK, false},
      {"error status 2", [](V3Request& r) { r.pdu = Pdu(0xA2, 4242, StatusVarbinds("intruder"), 2); }, 4, false},
      {"a Report in place of the Response",
       [](V3Request& r) { r.pdu = Pdu(0xA8, 4242, StatusVarbinds("intruder")); }, SNMP_DECODE_OK, false},
      {"from another address", nullptr, SNMP_DECODE_MALFORMED, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    Peer peer(AF_INET), from(AF_INET), stranger(AF_INET, "127.0.0.2");
    AddReceiver("127.0.0.1", peer.port, 4);
    SnmpPollClients[0].touch = 9;
    Parsed req = DiscoverAndReport(peer, from);
    ASSERT_TRUE(req.ok);
    int32_t msgId = static_cast<int32_t>(req.msgId);

    V3Request bad = Response(msgId, 4242, StatusVarbinds("intruder"), &keys);
    if (c.change) c.change(bad);
    Bytes msg = BuildV3(bad);
    // What the decoder says (a copy: decoding writes into the bytes), then
    // the same bytes through the socket.
    Bytes copy = msg;
    uint16_t used = 0;
    EXPECT_EQ(SnmpPoll_DecodeMessage(c.otherAddress ? -1 : 0, copy.data(), static_cast<uint16_t>(copy.size()),
                                     &used),
              c.decoded);
    Peer& sender = c.otherAddress ? stranger : from;
    sender.SendTo(from.from, from.fromLen, msg);
    Pump();
    EXPECT_STREQ(SnmpPollClients[0].hostName, "");
    EXPECT_EQ(SnmpPollClients[0].touch, 9);
    EXPECT_EQ(SnmpPollClients[0].engineIdLength, kEngine.size());
    EXPECT_FALSE(stranger.Recv(20).has_value());

    // The exchange still takes the client's own answer.
    from.SendTo(from.from, from.fromLen, BuildV3(Response(msgId, 4242, StatusVarbinds(), &keys)));
    Pump();
    EXPECT_STREQ(SnmpPollClients[0].hostName, "peerhost");
    EXPECT_EQ(SnmpPollClients[0].touch, 0);
  }
}

TEST_F(SnmpPollTest, DiscoveryAnswersAreTakenOnlyForTheOutstandingDiscovery) {
  Peer peer(AF_INET), from(AF_INET);
  AddReceiver("127.0.0.1", peer.port, 4);
  SnmpPoll_CountClients();
  SnmpPoll_SendDiscovery();
  Parsed disc = Parse(*peer.Recv());
  int32_t msgId = static_cast<int32_t>(disc.msgId);
  struct Case {
    const char* name;
    Bytes message;
    int decoded;
  } cases[] = {
      {"another msgID", Report(msgId + 7, 1005, 1, 1), SNMP_POLL_NOT_ASKED},
      {"no engine id", Report(msgId, 1005, 1, 1, Bytes{}), SNMP_DECODE_UNKNOWN_ENGINE},
      {"an engine id longer than 32 bytes", Report(msgId, 1005, 1, 1, Bytes(33, 0x80)), SNMP_DECODE_MALFORMED},
      {"SNMPv1", V1("public", Pdu(0xA2, 1005, {})), SNMP_DECODE_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes copy = c.message;
    uint16_t used = 0;
    EXPECT_EQ(SnmpPoll_DecodeMessage(0, copy.data(), static_cast<uint16_t>(copy.size()), &used), c.decoded);
    from.SendTo(peer.from, peer.fromLen, c.message);
    Pump();
    EXPECT_FALSE(from.Recv(20).has_value());
    EXPECT_EQ(SnmpPollClients[0].engineIdLength, 0);
  }
  // The right Report still leads to the request; a second copy of it, now
  // that the request is outstanding, leads to nothing more.
  Bytes report = Report(msgId, 1005, 1, 1);
  from.SendTo(peer.from, peer.fromLen, report);
  Pump();
  EXPECT_TRUE(from.Recv().has_value());
  from.SendTo(peer.from, peer.fromLen, report);
  Pump();
  EXPECT_FALSE(from.Recv(20).has_value());
  EXPECT_EQ(SnmpPollExchanges[0].phase, POLL_PHASE_REQUESTING);
}

TEST_F(SnmpPollTest, ReportsGetAtMostTheRoundsOneRequest) {
  // A client (or a spoofed source at its address) that answers everything
  // with Reports gets no more than the round's one authenticated request,
  // and never a Report.
  Peer peer(AF_INET), from(AF_INET);
  AddReceiver("127.0.0.1", peer.port, 4);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    Parsed req = DiscoverAndReport(peer, from);
    ASSERT_TRUE(req.ok);
    EXPECT_EQ(req.pduTag, 0xA0);
    const int32_t discoveryId = static_cast<int32_t>(req.msgId) - 1;
    V3Request refused = Response(static_cast<int32_t>(req.msgId), 4242, {}, &keys);
    refused.flags = 0x01;
    refused.pdu = Pdu(0xA8, 4242, {Varbind("1.3.6.1.6.3.15.1.1.2.0", Int(1, 0x41))});
    const Bytes reports[] = {
        Report(discoveryId, 1005, 300, 70000),            // the discovery's answer again
        Report(static_cast<int32_t>(req.msgId), 4242, 300, 70000),  // an unknown-engine Report to the request
        BuildV3(refused),                                 // notInTimeWindows, authenticated
        Report(discoveryId + 9, 1005, 300, 70000),        // answering nothing asked
    };
    for (int flood = 0; flood < 3; ++flood)
      for (const Bytes& r : reports) {
        from.SendTo(peer.from, peer.fromLen, r);
        Pump(20);
      }
    EXPECT_FALSE(from.Recv(50).has_value());
    EXPECT_FALSE(peer.Recv(50).has_value());
  }
}

TEST_F(SnmpPollTest, SourceLookupComparesFamilyAndAddress) {
  AddReceiver("192.0.2.2", 161, 1);  // not a client
  AddReceiver("192.0.2.2", 161, 4);
  AddReceiver("2001:db8::2", 161, 4);
  AddReceiver("not an address", 161, 4);
  AddReceiver("192.0.2.7", 161, 4);
  struct Case {
    int family;
    const char* address;
    uint16_t port;
    int client;
  } cases[] = {
      {AF_INET, "192.0.2.2", 161, 1},
      {AF_INET, "192.0.2.2", 40000, 1},  // the port is not compared
      {AF_INET6, "2001:db8::2", 161, 2},
      {AF_INET, "192.0.2.7", 161, 4},
      {AF_INET, "192.0.2.9", 161, -1},
      // IPv6 sources whose first four bytes are an IPv4 client's address.
      {AF_INET6, "c000:202::", 161, -1},
      {AF_INET6, "::ffff:192.0.2.2", 161, -1},
      {AF_UNIX, "", 0, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    sockaddr_storage ss{};
    if (c.family == AF_INET) {
      auto* a = reinterpret_cast<sockaddr_in*>(&ss);
      a->sin_family = AF_INET;
      a->sin_port = htons(c.port);
      inet_pton(AF_INET, c.address, &a->sin_addr);
    } else if (c.family == AF_INET6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
      a->sin6_family = AF_INET6;
      a->sin6_port = htons(c.port);
      inet_pton(AF_INET6, c.address, &a->sin6_addr);
    } else {
      ss.ss_family = AF_UNIX;
    }
    EXPECT_EQ(SnmpPoll_FindClientBySource(reinterpret_cast<sockaddr*>(&ss)), c.client);
  }
}

TEST_F(SnmpPollTest, StoredValuesStayInsideTheirFields) {
  const std::string a200(200, 'a'), b128(128, 'b'), h100(100, 'h');
  struct Expect {
    std::string os = "old os", column2 = "old", host = "old host";
    uint8_t countingDown = 0, reason = 0, seventh = 0;
    int32_t countdown = -1;
  };
  struct Case {
    const char* name;
    std::vector<Bytes> varbinds;
    Expect expect;
  } cases[] = {
      {"texts longer than their fields are cut",
       {Varbind(kCol + "1.0", Oct(a200)), Varbind(kCol + "2.0", Oct(std::string(40, 'c'))),
        Varbind(kCol + "6.0", Oct(h100))},
       {std::string(128, 'a'), std::string(16, 'c'), std::string(64, 'h')}},
      {"a cut never splits a UTF-8 character",
       {Varbind(kCol + "6.0", Oct(std::string(63, 'h') + "\xC3\xA9"))},
       {"old os", "old", std::string(63, 'h')}},
      {"values of another type than the column's are not stored",
       {Varbind(kCol + "3.0", Oct("1")), Varbind(kCol + "4.0", Tlv(0x80, {})), Varbind(kCol + "6.0", Int(5)),
        Varbind(kCol + "5.0", Int(9, 0x41)), Varbind(kCol + "1.0", Int(123456789012LL))},
       {}},
      {"integers: columns 3, 5 and 7 keep their low 8 bits, column 4 is whole",
       {Varbind(kCol + "3.0", Int(300)), Varbind(kCol + "4.0", Int(-5)), Varbind(kCol + "5.0", Int(-1)),
        Varbind(kCol + "7.0", Int(1))},
       {"old os", "old", "old host", 44, 255, 1, -5}},
      {"other names are not stored",
       {Varbind(kCol + "6", Oct("short")), Varbind(kCol + "8.0", Oct("eight")),
        Varbind("1.3.6.1.4.1.32473.2.200.3.6.0", Oct("three")), Varbind("1.3.6.1.4.1.32473.2.201.1.6.0", Oct("x")),
        Varbind(kCol + "0.0", Oct("zero"))},
       {}},
      {"texts that outgrow the value store are cut to what is left",
       {Varbind(kCol + "1.0", Oct(b128)), Varbind(kCol + "2.0", Oct(std::string(16, 'c'))),
        Varbind(kCol + "6.0", Oct(std::string(64, 'h'))), Varbind(kCol + "1.0", Oct(std::string(128, 'd')))},
       {std::string(246 - 128 - 16 - 64, 'd'), std::string(16, 'c'), std::string(64, 'h')}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    AddReceiver("127.0.0.1", 161, 4);
    ShutdownClientStatus& s = SnmpPollClients[0];
    snprintf(s.os, sizeof s.os, "old os");
    snprintf(s.column2, sizeof s.column2, "old");
    snprintf(s.hostName, sizeof s.hostName, "old host");
    memcpy(s.engineId, kEngine.data(), kEngine.size());
    s.engineIdLength = static_cast<uint8_t>(kEngine.size());
    SnmpPollExchanges[0] = SnmpPollExchange{POLL_PHASE_REQUESTING, 77};
    Bytes msg = BuildV3(Response(77, 1, c.varbinds, &keys));
    uint16_t used = 0;
    ASSERT_EQ(SnmpPoll_DecodeMessage(0, msg.data(), static_cast<uint16_t>(msg.size()), &used), SNMP_DECODE_OK);
    SnmpPoll_StoreStatus(0);
    EXPECT_EQ(std::string(s.os), c.expect.os);
    EXPECT_EQ(std::string(s.column2), c.expect.column2);
    EXPECT_EQ(std::string(s.hostName), c.expect.host);
    EXPECT_EQ(s.countingDown, c.expect.countingDown);
    EXPECT_EQ(s.countdown, c.expect.countdown);
    EXPECT_EQ(s.reason, c.expect.reason);
    EXPECT_EQ(s.seventhFlag, c.expect.seventh);
  }
}

TEST_F(SnmpPollTest, InitCountsTheClientsAndClearsTheRecords) {
  AddReceiver("192.0.2.2", 161, 4);
  AddReceiver("192.0.2.3", 161, 0);
  AddReceiver("192.0.2.4", 161, 4);
  SnmpPollClients[7].touch = 40;
  snprintf(SnmpPollClients[7].hostName, sizeof SnmpPollClients[7].hostName, "stale");
  SnmpPoll_Init();
  EXPECT_EQ(SnmpPollClientCount, 2);
  for (const ShutdownClientStatus& c : SnmpPollClients) {
    EXPECT_EQ(c.countdown, -1);
    EXPECT_EQ(c.touch, 0);
    EXPECT_STREQ(c.hostName, "");
  }
  SnmpTrapReceivers[1].level = 4;
  SnmpPoll_CountClients();
  EXPECT_EQ(SnmpPollClientCount, 3);
  SnmpPollClients[3].countdown = 50;
  SnmpPoll_ResetCountdowns();
  EXPECT_EQ(SnmpPollClients[3].countdown, -1);
}
