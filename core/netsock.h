// Dual-stack socket slots: an IPv4 and an IPv6 socket of the same kind in
// one numbered slot. Plain functions over 16 static slots.
#pragma once
#include <cstdint>
#include <sys/socket.h>

constexpr int NETSOCK_SLOTS = 16;
enum NetSockFlag : int {
  NETSOCK_TCP = 0x01,
  NETSOCK_UDP = 0x02,
  NETSOCK_V4 = 0x04,
  NETSOCK_V6 = 0x08,
  NETSOCK_BROADCAST = 0x10,
  NETSOCK_KEEPALIVE = 0x20,
  NETSOCK_NODELAY = 0x40,
  NETSOCK_DONTROUTE = 0x80,
};

struct NetSockSlot {
  int32_t index;  // -1 free
  uint16_t flags;
  int32_t v4;
  int32_t v6;
  uint16_t port;
};

int NetSock_Open(int flags);
int NetSock_Bind(int slot, uint16_t port);
int NetSock_OpenTcpServer(int flags, uint16_t port);
int NetSock_OpenUdpServer(int flags, uint16_t port);
int NetSock_Accept(int slot, int* family, uint8_t* address);
int NetSock_Close(int slot);
int NetSock_GetSocket(int slot, int family);
int NetSock_Readable(int slot);
int NetSock_Writable(int slot);
int NetSock_Send(int slot, int length, const void* data, int family, const uint8_t* address,
                 uint16_t port, const struct sockaddr* sockAddress);
int NetSock_Receive(int slot, int size, void* buffer, int* family, uint8_t* address,
                    uint16_t* port, struct sockaddr_storage* sockAddress);

// The last bind failure reported for one listening socket (port and errno):
// a port that stays taken is reported once, not at every retry.
struct NetBindFailure {
  int port, error;
};
// Keeps the outcome of one attempt to open a socket on port (bound, or the
// errno of its failure) in *last: true when it failed otherwise than the
// failure reported last, which the caller then reports.
bool NetSock_NewBindFailure(NetBindFailure* last, bool bound, int port, int error);
