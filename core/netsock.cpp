// Dual-stack socket slots: an IPv4 and an IPv6 socket in one numbered slot.
#include "core/netsock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

namespace {

NetSockSlot g_slots[NETSOCK_SLOTS];
bool g_ready;

void Prepare() {
  if (g_ready) return;
  for (int i = 0; i < NETSOCK_SLOTS; ++i) g_slots[i] = {-1, 0, -1, -1, 0};
  g_ready = true;
}

NetSockSlot* SlotOf(int slot) {
  Prepare();
  if (slot < 0 || slot >= NETSOCK_SLOTS || g_slots[slot].index < 0) return nullptr;
  return &g_slots[slot];
}

int NetSock_NewSocket(int family, int flags) {
  int type = (flags & NETSOCK_TCP) ? SOCK_STREAM : SOCK_DGRAM;
  int s = socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  int on = 1;
  if (family == AF_INET && (flags & NETSOCK_BROADCAST)) setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  if (family == AF_INET && (flags & NETSOCK_DONTROUTE)) setsockopt(s, SOL_SOCKET, SO_DONTROUTE, &on, sizeof on);
  if (type == SOCK_STREAM && (flags & NETSOCK_KEEPALIVE)) setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  if (type == SOCK_STREAM && (flags & NETSOCK_NODELAY)) setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return s;
}

// Zero-time readiness test of one descriptor (poll has no descriptor limit).
bool Ready(int fd, short events) {
  if (fd < 0) return false;
  struct pollfd p {fd, events, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (events | POLLERR | POLLHUP));
}

int NetSock_SlotReadable(const NetSockSlot& s) {
  if (Ready(s.v4, POLLIN)) return AF_INET;
  if (Ready(s.v6, POLLIN)) return AF_INET6;
  return 0;
}

int NetSock_SlotWritable(const NetSockSlot& s) {
  struct pollfd p[2] = {{s.v4, POLLOUT, 0}, {s.v6, POLLOUT, 0}};
  if (poll(p, 2, 0) <= 0) return 0;
  if (s.v4 >= 0 && (p[0].revents & POLLOUT)) return AF_INET;
  if (s.v6 >= 0 && (p[1].revents & POLLOUT)) return AF_INET6;
  return 0;
}

int NetSock_SlotSend(const NetSockSlot& s, int length, const void* data, int family, const uint8_t* address,
                     uint16_t port, const struct sockaddr* sa) {
  auto portOf = [&](uint16_t saPort) -> uint16_t {
    if (port) return htons(port);
    if (sa) return saPort;
    return htons(s.port);
  };
  if (family == AF_INET) {
    if (s.v4 < 0) return -1;
    if (!sa && !address) return static_cast<int>(send(s.v4, data, static_cast<size_t>(length), 0));
    sockaddr_in to {};
    if (sa) memcpy(&to, sa, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = portOf(sa ? reinterpret_cast<const sockaddr_in*>(sa)->sin_port : 0);
    if (address) memcpy(&to.sin_addr, address, 4);
    return static_cast<int>(sendto(s.v4, data, static_cast<size_t>(length), 0,
                                   reinterpret_cast<sockaddr*>(&to), sizeof to));
  }
  if (family == AF_INET6) {
    if (s.v6 < 0) return -1;
    if (!sa && !address) return static_cast<int>(send(s.v6, data, static_cast<size_t>(length), 0));
    sockaddr_in6 to {};
    if (sa) memcpy(&to, sa, sizeof to);
    to.sin6_family = AF_INET6;
    to.sin6_port = portOf(sa ? reinterpret_cast<const sockaddr_in6*>(sa)->sin6_port : 0);
    if (address) memcpy(&to.sin6_addr, address, 16);
    return static_cast<int>(sendto(s.v6, data, static_cast<size_t>(length), 0,
                                   reinterpret_cast<sockaddr*>(&to), sizeof to));
  }
  if (family == 0) {
    if (!sa) {
      if (address) return -1;
      int fd = s.v4 >= 0 ? s.v4 : s.v6;
      if (fd < 0) return -1;
      return static_cast<int>(send(fd, data, static_cast<size_t>(length), 0));
    }
    if (sa->sa_family == AF_INET && s.v4 >= 0)
      return static_cast<int>(sendto(s.v4, data, static_cast<size_t>(length), 0, sa, sizeof(sockaddr_in)));
    if (sa->sa_family == AF_INET6 && s.v6 >= 0)
      return static_cast<int>(sendto(s.v6, data, static_cast<size_t>(length), 0, sa, sizeof(sockaddr_in6)));
    return -1;
  }
  return -1;
}

int NetSock_SlotReceive(const NetSockSlot& s, int size, void* buffer, int* family, uint8_t* address,
                        uint16_t* port, struct sockaddr_storage* sa) {
  int which = NetSock_SlotReadable(s);
  if (which == 0) return -1;
  int fd = which == AF_INET ? s.v4 : s.v6;
  sockaddr_storage from {};
  socklen_t len = sizeof from;
  ssize_t n = recvfrom(fd, buffer, static_cast<size_t>(size), 0, reinterpret_cast<sockaddr*>(&from), &len);
  if (n < 0) return -1;
  if (family) *family = from.ss_family;
  if (from.ss_family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(&from);
    if (address) memcpy(address, &a->sin_addr, 4);
    if (port) *port = ntohs(a->sin_port);
  } else if (from.ss_family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&from);
    if (address) memcpy(address, &a->sin6_addr, 16);
    if (port) *port = ntohs(a->sin6_port);
  }
  if (sa) *sa = from;
  return static_cast<int>(n);
}

}  // namespace

int NetSock_Open(int flags) {
  Prepare();
  bool tcp = flags & NETSOCK_TCP, udp = flags & NETSOCK_UDP;
  if (tcp == udp) return -1;
  int slot = -1;
  for (int i = 0; i < NETSOCK_SLOTS; ++i)
    if (g_slots[i].index < 0) {
      slot = i;
      break;
    }
  if (slot < 0) return -1;
  NetSockSlot& s = g_slots[slot];
  s = {slot, static_cast<uint16_t>(flags), -1, -1, 0};
  if (flags & NETSOCK_V4) s.v4 = NetSock_NewSocket(AF_INET, flags);
  if (flags & NETSOCK_V6) s.v6 = NetSock_NewSocket(AF_INET6, flags);
  if (s.v4 < 0 && s.v6 < 0) {
    s = {-1, 0, -1, -1, 0};
    return -1;
  }
  return slot;
}

int NetSock_Bind(int slot, uint16_t port) {
  NetSockSlot* s = SlotOf(slot);
  if (!s || s->port != 0) return -1;
  int on = 1;
  bool tcp = s->flags & NETSOCK_TCP;
  if (s->v4 >= 0) {
    setsockopt(s->v4, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s->v4, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    if (tcp && listen(s->v4, 5) != 0) return -1;
  }
  if (s->v6 >= 0) {
    // IPv6 only, so that IPv4 and IPv6 can bind the same port.
    setsockopt(s->v6, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    setsockopt(s->v6, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in6 a {};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_any;
    if (bind(s->v6, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    if (tcp && listen(s->v6, 5) != 0) return -1;
  }
  s->port = port;
  return 0;
}

namespace {
int OpenServer(int flags, uint16_t port) {
  int slot = NetSock_Open(flags);
  if (slot < 0) return -1;
  if (NetSock_Bind(slot, port) != 0) {
    NetSock_Close(slot);
    return -1;
  }
  return slot;
}
}  // namespace

int NetSock_OpenTcpServer(int flags, uint16_t port) {
  return OpenServer((flags & ~NETSOCK_UDP) | NETSOCK_TCP, port);
}

int NetSock_OpenUdpServer(int flags, uint16_t port) {
  return OpenServer((flags & ~NETSOCK_TCP) | NETSOCK_UDP, port);
}

int NetSock_Accept(int slot, int* family, uint8_t* address) {
  NetSockSlot* s = SlotOf(slot);
  if (!s || s->port == 0) return -1;
  int which = NetSock_SlotReadable(*s);
  if (which == 0) return -1;
  int fd = which == AF_INET ? s->v4 : s->v6;
  if (s->flags & NETSOCK_UDP) return fcntl(fd, F_DUPFD_CLOEXEC, 0);
  sockaddr_storage from {};
  socklen_t len = sizeof from;
  int c = accept4(fd, reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC);
  if (c < 0) return -1;
  if (family) *family = from.ss_family;
  if (address) {
    if (from.ss_family == AF_INET) memcpy(address, &reinterpret_cast<sockaddr_in*>(&from)->sin_addr, 4);
    else memcpy(address, &reinterpret_cast<sockaddr_in6*>(&from)->sin6_addr, 16);
  }
  return c;
}

int NetSock_Close(int slot) {
  NetSockSlot* s = SlotOf(slot);
  if (!s) return -1;
  // The slot is freed even when a close fails: the descriptor is gone
  // either way on Linux, and a slot that stayed taken would leak.
  int err = 0;
  if (s->v4 >= 0 && close(s->v4) != 0) err = errno;
  if (s->v6 >= 0 && close(s->v6) != 0 && !err) err = errno;
  *s = {-1, 0, -1, -1, 0};
  return err;
}

int NetSock_GetSocket(int slot, int family) {
  NetSockSlot* s = SlotOf(slot);
  if (!s) return -1;
  if (family == AF_INET) return s->v4;
  if (family == AF_INET6) return s->v6;
  return -1;
}

int NetSock_Readable(int slot) {
  NetSockSlot* s = SlotOf(slot);
  return s ? NetSock_SlotReadable(*s) : 0;
}

int NetSock_Writable(int slot) {
  NetSockSlot* s = SlotOf(slot);
  return s ? NetSock_SlotWritable(*s) : 0;
}

int NetSock_Send(int slot, int length, const void* data, int family, const uint8_t* address, uint16_t port,
                 const struct sockaddr* sockAddress) {
  NetSockSlot* s = SlotOf(slot);
  if (!s) return -1;
  return NetSock_SlotSend(*s, length, data, family, address, port, sockAddress);
}

int NetSock_Receive(int slot, int size, void* buffer, int* family, uint8_t* address, uint16_t* port,
                    struct sockaddr_storage* sockAddress) {
  if (size <= 0) return size;
  NetSockSlot* s = SlotOf(slot);
  if (!s) return -1;
  return NetSock_SlotReceive(*s, size, buffer, family, address, port, sockAddress);
}

bool NetSock_NewBindFailure(NetBindFailure* last, bool bound, int port, int error) {
  if (bound) {
    *last = NetBindFailure{};
    return false;
  }
  if (last->port == port && last->error == error) return false;
  *last = NetBindFailure{port, error};
  return true;
}
