// Input: the SQIF loader's input reports (the script format of sim/vexo/hostile.h) that answer
// one erase. The wait ends with success or with DeviceError, SpuriousError, Timeout or a hidapi
// failure, never later than its five-minute ceiling plus one read and one back-off.
#include <chrono>
#include <cstdlib>

#include "fuzz/hostile_loader.h"
#include "lib/usb/context.h"
#include "velk/src/device/sqif/sqif_device.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velk;
  using namespace std::chrono_literals;
  sim::reset();
  if (!LibraryContext::get()) std::abort();  // starts hidapi
  sim::vexo::HostileAnswers script({data, size});
  sim::bus().plug(std::make_shared<fuzzing::HostileLoader>(0x0A12, 0x1012, script));
  auto device = sqif::connect_sqif();
  if (!device) std::abort();

  const auto start = sim::bus().now();
  auto erased = sqif::sqif_erase(*device);
  if (sim::bus().now() - start > 5min + 1s + 5ms) std::abort();
  if (!erased) {
    switch (erased.error().kind()) {
      case ErrorKind::DeviceError:
      case ErrorKind::SpuriousError:
      case ErrorKind::Timeout:
      case ErrorKind::HIDAPIError:
        break;
      default:
        std::abort();
    }
  }
  return 0;
}
