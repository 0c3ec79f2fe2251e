// Dual-stack socket slots on loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>

#include "core/netsock.h"

namespace {

uint16_t FreeUdpPort() {
  int s = socket(AF_INET6, SOCK_DGRAM, 0);
  int off = 0;
  setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  sockaddr_in6 a {};
  a.sin6_family = AF_INET6;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin6_port);
}

TEST(NetSock, SlotLimitsAndFlags) {
  EXPECT_EQ(NetSock_Open(NETSOCK_TCP | NETSOCK_UDP | NETSOCK_V4), -1);
  EXPECT_EQ(NetSock_Open(NETSOCK_V4), -1);
  int slots[NETSOCK_SLOTS];
  for (int i = 0; i < NETSOCK_SLOTS; ++i) {
    slots[i] = NetSock_Open(NETSOCK_UDP | NETSOCK_V4);
    ASSERT_GE(slots[i], 0);
  }
  EXPECT_EQ(NetSock_Open(NETSOCK_UDP | NETSOCK_V4), -1);  // the seventeenth
  for (int s : slots) EXPECT_EQ(NetSock_Close(s), 0);
  EXPECT_EQ(NetSock_Close(slots[0]), -1);  // already free
  EXPECT_EQ(NetSock_GetSocket(slots[0], AF_INET), -1);
}

TEST(NetSock, BothFamiliesShareAPortAndExchangeDatagrams) {
  uint16_t port = FreeUdpPort();
  int server = NetSock_OpenUdpServer(NETSOCK_V4 | NETSOCK_V6, port);
  ASSERT_GE(server, 0);
  EXPECT_EQ(NetSock_Bind(server, port), -1);  // already bound
  int client = NetSock_Open(NETSOCK_UDP | NETSOCK_V4 | NETSOCK_V6);
  ASSERT_GE(client, 0);
  const uint8_t lo4[4] = {127, 0, 0, 1};
  uint8_t lo6[16] = {};
  lo6[15] = 1;
  ASSERT_EQ(NetSock_Send(client, 5, "hello", AF_INET6, lo6, port, nullptr), 5);
  usleep(20000);
  EXPECT_EQ(NetSock_Readable(server), AF_INET6);
  // A UDP slot's accept hands out a duplicate without reading.
  int dup = NetSock_Accept(server, nullptr, nullptr);
  EXPECT_GE(dup, 0);
  close(dup);
  char buf[16];
  int family = 0;
  uint8_t from[16];
  uint16_t fromPort = 0;
  ASSERT_EQ(NetSock_Receive(server, sizeof buf, buf, &family, from, &fromPort, nullptr), 5);
  EXPECT_EQ(family, AF_INET6);
  EXPECT_EQ(0, memcmp(buf, "hello", 5));
  ASSERT_EQ(NetSock_Send(client, 2, "v4", AF_INET, lo4, port, nullptr), 2);
  usleep(20000);
  ASSERT_EQ(NetSock_Receive(server, sizeof buf, buf, &family, from, &fromPort, nullptr), 2);
  EXPECT_EQ(family, AF_INET);
  EXPECT_EQ(NetSock_Receive(server, 0, buf, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(NetSock_Receive(server, sizeof buf, buf, nullptr, nullptr, nullptr, nullptr), -1);  // nothing
  NetSock_Close(client);
  NetSock_Close(server);
}

TEST(NetSock, SendNeedsTheFamilysSocket) {
  int s = NetSock_Open(NETSOCK_UDP | NETSOCK_V6);
  ASSERT_GE(s, 0);
  const uint8_t lo4[4] = {127, 0, 0, 1};
  EXPECT_EQ(NetSock_Send(s, 1, "x", AF_INET, lo4, 9, nullptr), -1);
  EXPECT_EQ(NetSock_Send(s, 1, "x", 0, lo4, 9, nullptr), -1);  // address without socket address
  EXPECT_EQ(NetSock_Send(s, 1, "x", 7, lo4, 9, nullptr), -1);
  NetSock_Close(s);
}

TEST(NetSock, TcpAccept) {
  uint16_t port = FreeUdpPort();
  int server = NetSock_OpenTcpServer(NETSOCK_V4 | NETSOCK_V6 | NETSOCK_NODELAY, port);
  ASSERT_GE(server, 0);
  EXPECT_EQ(NetSock_Accept(server, nullptr, nullptr), -1);  // nothing waiting
  int c = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  usleep(20000);
  int family = 0;
  uint8_t addr[16];
  int conn = NetSock_Accept(server, &family, addr);
  ASSERT_GE(conn, 0);
  EXPECT_EQ(family, AF_INET);
  EXPECT_EQ(addr[0], 127);
  close(conn);
  close(c);
  NetSock_Close(server);
}

}  // namespace
