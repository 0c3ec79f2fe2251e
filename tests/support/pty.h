// A pseudo-terminal for serial tests: the test holds the master side and
// plays the device; the code under test opens the slave path. Bytes cross
// the pair through the kernel's buffers, so Send waits until they are
// readable on the slave and Expect waits for what the code wrote.
#pragma once
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

class TestPty {
 public:
  TestPty() {
    int m = -1, s = -1;
    char name[128] = {};
    struct termios raw;
    memset(&raw, 0, sizeof raw);
    cfmakeraw(&raw);
    if (openpty(&m, &s, name, &raw, nullptr) != 0) {
      ADD_FAILURE() << "openpty failed";
      return;
    }
    master_ = m;
    slave_ = s;  // kept open so the line stays up when the code closes its side
    path_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
  }
  ~TestPty() { HangUp(); }
  // Closes both of the test's ends: with the code's descriptor the only one
  // left, the line is hung up.
  void HangUp() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    master_ = slave_ = -1;
  }
  TestPty(const TestPty&) = delete;
  TestPty& operator=(const TestPty&) = delete;

  const std::string& path() const { return path_; }
  int master() const { return master_; }
  int slave() const { return slave_; }

  // Bytes waiting on the slave side (not yet read by the code).
  int Pending() const {
    int n = 0;
    ioctl(slave_, FIONREAD, &n);
    return n;
  }

  // Writes bytes as the device and waits until the slave can read them.
  void Send(std::string_view bytes) {
    int before = Pending();
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) done += n;
      else if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (Pending() < before + static_cast<int>(bytes.size()) && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  }

  // Reads what the code wrote: waits up to timeoutMs for at least `want`
  // bytes (or, with want 0, returns what arrives within the time-out).
  std::string Receive(size_t want, int timeoutMs = 1000) {
    std::string out;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      char buf[512];
      ssize_t n = read(master_, buf, sizeof buf);
      if (n > 0) {
        out.append(buf, n);
        if (want && out.size() >= want) return out;
        continue;
      }
      if (std::chrono::steady_clock::now() >= until) return out;
      struct pollfd p = {master_, POLLIN, 0};
      poll(&p, 1, 5);
    }
  }
  // Whatever the code wrote, after a short settle.
  std::string Drain(int settleMs = 20) { return Receive(0, settleMs); }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};
