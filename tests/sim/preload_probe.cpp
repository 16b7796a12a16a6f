// Linked against the real libusb and hidapi, run with the simulator preloaded: every call must
// land in the simulator, and sleeping must pass virtual time only. Exit status 0 on success.
//   preload_probe none   expects an empty bus
//   preload_probe vexo   expects exactly one device of vendor 0x7A11
#include <hidapi/hidapi.h>
#include <libusb.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int failures = 0;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "preload_probe: %s\n", what);
    ++failures;
  }
}

long long monotonic_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string scenario = argc > 1 ? argv[1] : "none";

  // Without the simulator in front, the sleeps below would be real: stop here.
  if (std::strcmp(libusb_get_version()->describe, "virtual device") != 0) {
    std::fprintf(stderr, "preload_probe: libusb is not the simulator's\n");
    return 1;
  }

  // An hour of sleep passes in virtual time only; the wall clock stays real.
  const long long before = monotonic_ns();
  timespec hour{3600, 0};
  nanosleep(&hour, nullptr);
  usleep(1000);
  check(monotonic_ns() - before == 3600'000'000'000LL + 1'000'000LL,
        "sleeps did not advance the virtual clock");
  timespec wall{};
  clock_gettime(CLOCK_REALTIME, &wall);
  check(wall.tv_sec > 1'600'000'000, "the real-time clock is not the real one");

  libusb_context* ctx = nullptr;
  check(libusb_init(&ctx) == 0, "libusb_init failed");
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx, &list);
  int ours = 0;
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == 0x7A11) ++ours;
  }
  if (n >= 0) libusb_free_device_list(list, 1);
  libusb_exit(ctx);

  if (scenario == "none") {
    check(n == 0, "the empty scenario has devices");
    check(hid_enumerate(0, 0) == nullptr, "the empty scenario has HID devices");
  } else {
    check(ours == 1, "expected exactly one device of vendor 0x7A11");
  }
  return failures == 0 ? 0 : 1;
}
