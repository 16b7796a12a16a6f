#include "lib/clock/clock.h"

#ifdef _WIN32
#include <thread>
#else
#include <cerrno>
#include <ctime>
#endif

namespace velk {

#ifdef _WIN32

void sleep_for(Nanos duration) {
  std::this_thread::sleep_for(duration);
}

Nanos monotonic_now() {
  return std::chrono::steady_clock::now().time_since_epoch();
}

#else

// Plain POSIX calls, so that a preloaded virtual device can stand in for them.
void sleep_for(Nanos duration) {
  if (duration <= Nanos::zero()) return;
  timespec rest{static_cast<time_t>(duration.count() / 1'000'000'000),
                static_cast<long>(duration.count() % 1'000'000'000)};
  while (::nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

Nanos monotonic_now() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return std::chrono::seconds(now.tv_sec) + Nanos(now.tv_nsec);
}

#endif

}  // namespace velk
