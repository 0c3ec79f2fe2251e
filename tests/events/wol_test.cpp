// Wake-on-LAN: the magic packet, arming and the countdowns, with the
// packets sent to a receiver on the loopback instead of the broadcast address.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "events/wol.h"

namespace {

class WolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Every packet of these tests goes to the loopback receiver.
    rx_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(rx_, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(rx_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(rx_, reinterpret_cast<sockaddr*>(&a), &len);
    WolDestAddress = htonl(INADDR_LOOPBACK);
    WolDestPort = ntohs(a.sin_port);
    Wol_Init();
  }
  void TearDown() override {
    Wol_Exit();
    WolDestAddress = htonl(INADDR_BROADCAST);
    WolDestPort = WOL_PORT;
    close(rx_);
  }
  static void Host(int i, uint8_t delay, uint8_t restore, uint8_t startup, uint8_t last) {
    WolHost& h = WolSetting.hosts[i];
    h = WolHost{};
    const uint8_t mac[6] = {0x00, 0x1B, 0x21, 0xAB, 0xCD, last};
    memcpy(h.mac, mac, 6);
    h.delay = delay;
    h.powerRestore = restore;
    h.sysStartup = startup;
    if (WolSetting.hostCount < i + 1) WolSetting.hostCount = static_cast<uint8_t>(i + 1);
  }
  // The last MAC byte of every packet received so far.
  std::vector<int> Received() {
    std::vector<int> out;
    uint8_t buf[512];
    ssize_t n;
    while ((n = recv(rx_, buf, sizeof buf, 0)) > 0) {
      EXPECT_EQ(n, WOL_PACKET_SIZE);
      out.push_back(buf[WOL_PACKET_SIZE - 1]);
    }
    return out;
  }
  // Ticks until a packet arrives; the number of ticks, or -1.
  int TicksUntilPacket(int most) {
    for (int t = 1; t <= most; ++t) {
      WolOps.Tick();
      if (!Received().empty()) return t;
    }
    return -1;
  }
  int rx_ = -1;
};

TEST(WolPacket, SixFfThenTheMacSixteenTimes) {
  const uint8_t mac[6] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB};
  uint8_t p[WOL_PACKET_SIZE];
  Wol_BuildMagic(p, mac);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(p[i], 0xFF);
  for (int k = 0; k < 16; ++k)
    for (int i = 0; i < 6; ++i) EXPECT_EQ(p[6 + 6 * k + i], mac[i]) << k << "/" << i;
}

TEST(WolDefaults, TheLimitedBroadcastAddressAndPort) {
  EXPECT_EQ(WolDestAddress, htonl(INADDR_BROADCAST));
  EXPECT_EQ(WolDestPort, 23240);
}

TEST_F(WolTest, PacketBytesOnTheWire) {
  Host(0, 0, 0, 1, 0x5E);
  WolOps.Open();
  WolOps.Arm(WOL_ARM_STARTUP);
  WolOps.Tick();
  uint8_t buf[512];
  ssize_t n = recv(rx_, buf, sizeof buf, 0);
  ASSERT_EQ(n, WOL_PACKET_SIZE);
  uint8_t want[WOL_PACKET_SIZE];
  Wol_BuildMagic(want, WolSetting.hosts[0].mac);
  EXPECT_EQ(memcmp(buf, want, sizeof want), 0);
}

TEST_F(WolTest, DelaysInMinutesPlusOneSecond) {
  Host(0, 2, 1, 0, 1);
  WolOps.Open();
  WolOps.Arm(WOL_ARM_POWER_RESTORE);
  EXPECT_EQ(WolCountdown[0], 121);
  EXPECT_EQ(TicksUntilPacket(200), 121);
  // Sent once.
  for (int i = 0; i < 200; ++i) WolOps.Tick();
  EXPECT_TRUE(Received().empty());
}

TEST_F(WolTest, ArmingByReason) {
  Host(0, 0, 1, 0, 0xA0);  // power restore only
  Host(1, 0, 0, 1, 0xA1);  // service start only
  Host(2, 0, 1, 1, 0xA2);  // both
  Host(3, 0, 0, 0, 0xA3);  // neither
  WolOps.Open();
  WolOps.Arm(WOL_ARM_STARTUP);
  WolOps.Tick();
  EXPECT_EQ(Received(), (std::vector<int>{0xA1, 0xA2}));
  WolOps.Arm(WOL_ARM_POWER_RESTORE);
  WolOps.Tick();
  EXPECT_EQ(Received(), (std::vector<int>{0xA0, 0xA2}));
}

TEST_F(WolTest, ArmingAgainRestartsTheCountdown) {
  Host(0, 1, 1, 1, 7);
  WolOps.Open();
  WolOps.Arm(WOL_ARM_POWER_RESTORE);
  for (int i = 0; i < 30; ++i) WolOps.Tick();
  WolOps.Arm(WOL_ARM_STARTUP);  // whichever arming comes last sets it
  EXPECT_EQ(TicksUntilPacket(100), 61);
  for (int i = 0; i < 100; ++i) WolOps.Tick();
  EXPECT_TRUE(Received().empty());
}

TEST_F(WolTest, CountdownsWaitForTheSocket) {
  Host(0, 0, 0, 1, 9);
  WolOps.Arm(WOL_ARM_STARTUP);
  for (int i = 0; i < 10; ++i) WolOps.Tick();  // closed: nothing counts down
  EXPECT_EQ(WolCountdown[0], 1);
  WolOps.Open();
  EXPECT_EQ(TicksUntilPacket(5), 1);
  WolOps.Close();
  WolOps.Close();  // closing twice is harmless
}

TEST_F(WolTest, NoHostsNoWork) {
  Host(0, 0, 1, 1, 9);
  WolSetting.hostCount = 0;
  WolOps.Open();
  WolOps.Arm(WOL_ARM_STARTUP);
  EXPECT_EQ(WolCountdown[0], 0);
  WolOps.Tick();
  EXPECT_TRUE(Received().empty());
}

TEST_F(WolTest, InitClearsHostsAndCountdowns) {
  Host(4, 3, 1, 1, 9);
  WolOps.Arm(WOL_ARM_STARTUP);
  Wol_Init();
  EXPECT_EQ(WolSetting.hostCount, 0);
  EXPECT_EQ(WolCountdown[4], 0);
}

}  // namespace
