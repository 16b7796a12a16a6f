// The library's clock in test builds: sleeping lets virtual time pass, so the device models'
// timelines (restarts, erases, re-enumeration) run during the sleep, instantly.
#include "lib/clock/clock.h"

#include "sim/bus.h"

namespace velk {

void sleep_for(Nanos duration) {
  sim::bus().advance(duration);
}

Nanos monotonic_now() {
  return sim::bus().now();
}

}  // namespace velk
