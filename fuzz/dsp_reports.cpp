// Input: the DSP loader's feature reports (the script format of sim/vexo/hostile.h) that answer
// the status polling of a sector erase and then a read of two data reports. Each ends with
// success or with DeviceError, Timeout or a hidapi failure; the polling gives up within its
// minute (plus one 5 ms pause).
#include <array>
#include <chrono>
#include <cstdlib>

#include "fuzz/hostile_loader.h"
#include "lib/usb/context.h"
#include "velk/src/device/dsp/dsp_device.h"
#include "velk/src/device/dsp/dsp_sector.h"

namespace {

void expect_allowed(const velk::Status& status) {
  if (status) return;
  switch (status.error().kind()) {
    case velk::ErrorKind::DeviceError:
    case velk::ErrorKind::Timeout:
    case velk::ErrorKind::HIDAPIError:
      return;
    default:
      std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velk;
  using namespace std::chrono_literals;
  sim::reset();
  if (!LibraryContext::get()) std::abort();  // starts hidapi
  // The loader's first answer is the ready status that opening it asks for.
  const std::uint8_t ready[] = {18, 1, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  sim::vexo::HostileAnswers opening(ready);
  auto loader = std::make_shared<fuzzing::HostileLoader>(0x7A11, 0x0001, opening);
  sim::bus().plug(loader);
  auto device = dsp::connect_dsp();
  if (!device) std::abort();
  sim::vexo::HostileAnswers script({data, size});
  loader->answer_from(script);
  const auto start = sim::bus().now();
  expect_allowed(dsp::erase_sector(*device, 0x10000, 0x10000));
  if (sim::bus().now() - start > 60s + 5ms) std::abort();
  std::array<std::uint8_t, 4096> sector{};
  expect_allowed(dsp::read_sector(*device, 0x10000, sector));
  return 0;
}
