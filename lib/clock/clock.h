// Time as the library sees it. Every sleep and every reading of the monotonic clock goes
// through these two functions. The shipped library links the system clock (clock_system.cpp);
// test builds link the virtual device's clock, so a device's timeline runs in virtual time.
#pragma once

#include <chrono>

namespace velk {

using Nanos = std::chrono::nanoseconds;

void sleep_for(Nanos duration);
Nanos monotonic_now();

}  // namespace velk
