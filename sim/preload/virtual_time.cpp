// Sleeping and the monotonic clock of a process that has the simulator preloaded run in
// virtual time, so that the device models' timelines pass as the host sleeps. Other clocks
// stay real.
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "sim/bus.h"

namespace {

using ClockGettime = int (*)(clockid_t, timespec*);
using ClockNanosleep = int (*)(clockid_t, int, const timespec*, timespec*);

bool virtual_clock(clockid_t clock) {
  return clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_RAW ||
         clock == CLOCK_MONOTONIC_COARSE || clock == CLOCK_BOOTTIME;
}

sim::Nanos duration_of(const timespec& t) {
  return std::chrono::seconds(t.tv_sec) + sim::Nanos(t.tv_nsec);
}

bool valid(const timespec* t) {
  return t != nullptr && t->tv_nsec >= 0 && t->tv_nsec < 1'000'000'000;
}

}  // namespace

extern "C" {

int clock_gettime(clockid_t clock, timespec* tp) {
  if (!virtual_clock(clock)) {
    static auto real = reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "clock_gettime"));
    if (real == nullptr) {
      errno = EINVAL;
      return -1;
    }
    return real(clock, tp);
  }
  const auto now = sim::bus().now().count();
  tp->tv_sec = static_cast<time_t>(now / 1'000'000'000);
  tp->tv_nsec = static_cast<long>(now % 1'000'000'000);
  return 0;
}

int nanosleep(const timespec* request, timespec* remaining) {
  if (!valid(request)) {
    errno = EINVAL;
    return -1;
  }
  sim::bus().advance(duration_of(*request));
  if (remaining != nullptr) *remaining = timespec{};
  return 0;
}

int clock_nanosleep(clockid_t clock, int flags, const timespec* request, timespec* remaining) {
  if (!valid(request)) return EINVAL;
  if ((flags & TIMER_ABSTIME) != 0) {
    if (!virtual_clock(clock)) {
      static auto real = reinterpret_cast<ClockNanosleep>(dlsym(RTLD_NEXT, "clock_nanosleep"));
      return real ? real(clock, flags, request, remaining) : EINVAL;
    }
    const auto target = duration_of(*request);
    const auto now = sim::bus().now();
    if (target > now) sim::bus().advance(target - now);
    return 0;
  }
  sim::bus().advance(duration_of(*request));
  if (remaining != nullptr) *remaining = timespec{};
  return 0;
}

int usleep(useconds_t microseconds) {
  sim::bus().advance(std::chrono::microseconds(microseconds));
  return 0;
}

}  // extern "C"
