// A monotonic clock the tests move by hand: for its life it is the
// service's monotonic clock (SvcMonoClock).
#pragma once
#include <cstdint>
#include <ctime>

#include "core/svc.h"

class ManualMonoClock {
 public:
  ManualMonoClock() : saved_(SvcMonoClock) {
    now_ = {1000, 0};
    SvcMonoClock = Read;
  }
  ~ManualMonoClock() { SvcMonoClock = saved_; }
  ManualMonoClock(const ManualMonoClock&) = delete;
  ManualMonoClock& operator=(const ManualMonoClock&) = delete;

  // Moves the clock on by ms milliseconds.
  static void Pass(int64_t ms) {
    const int64_t ns = now_.tv_nsec + (ms % 1000) * 1000000;
    now_.tv_sec += static_cast<time_t>(ms / 1000 + ns / 1000000000);
    now_.tv_nsec = static_cast<long>(ns % 1000000000);
  }

 private:
  static void Read(struct timespec* now) { *now = now_; }
  static inline struct timespec now_ = {1000, 0};
  void (*saved_)(struct timespec*);
};
