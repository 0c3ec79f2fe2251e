// Wake-on-LAN.
#include "events/wol.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

WolSettings WolSetting;
WolOpsTable WolOps;
int32_t WolCountdown[WOL_HOSTS];
uint32_t WolDestAddress = htonl(INADDR_BROADCAST);
uint16_t WolDestPort = WOL_PORT;

namespace {

int g_sock = -1;

void Wol_Close() {
  if (g_sock >= 0) close(g_sock);
  g_sock = -1;
}

void Wol_Open() {
  if (g_sock >= 0) return;
  g_sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (g_sock < 0) return;
  int on = 1;
  if (setsockopt(g_sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) Wol_Close();
}

void Wol_SendMagic(int i) {
  if (g_sock < 0) return;
  uint8_t packet[WOL_PACKET_SIZE];
  Wol_BuildMagic(packet, WolSetting.hosts[i].mac);
  struct sockaddr_in to {};
  to.sin_family = AF_INET;
  to.sin_port = htons(WolDestPort);
  to.sin_addr.s_addr = WolDestAddress;
  // No retry: a lost packet is not sent again.
  (void)sendto(g_sock, packet, sizeof packet, 0, reinterpret_cast<const struct sockaddr*>(&to), sizeof to);
}

void Wol_Tick() {
  // Countdowns wait while the socket is closed.
  if (WolSetting.hostCount == 0 || g_sock < 0) return;
  for (int i = 0; i < WolSetting.hostCount; ++i) {
    if (WolCountdown[i] <= 0) continue;
    if (--WolCountdown[i] == 0) Wol_SendMagic(i);
  }
}

void Wol_Arm(int reason) {
  for (int i = 0; i < WolSetting.hostCount; ++i) {
    const WolHost& h = WolSetting.hosts[i];
    if ((reason == WOL_ARM_STARTUP && h.sysStartup) || (reason == WOL_ARM_POWER_RESTORE && h.powerRestore))
      WolCountdown[i] = h.delay * 60 + 1;
  }
}

}  // namespace

void Wol_BuildMagic(uint8_t out[WOL_PACKET_SIZE], const uint8_t mac[6]) {
  memset(out, 0xFF, 6);
  for (int k = 0; k < 16; ++k) memcpy(out + 6 + 6 * k, mac, 6);
}

void Wol_Init() {
  memset(&WolSetting, 0, sizeof WolSetting);
  memset(WolCountdown, 0, sizeof WolCountdown);
  WolOps = WolOpsTable{Wol_Close, Wol_Open, Wol_Tick, Wol_Arm};
}

void Wol_Exit() {
  if (WolOps.Close) WolOps.Close();
}
