// Any feature report 1 as the DSP loader returns it: decoding fails with DeviceError, or the
// report has its ID and all 18 bytes, and the status is bytes 2-5 in split-word order.
#include <cstdlib>

#include "velk/src/device/dsp/dsp_device.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velk;
  auto status = dsp::decode_status_report({data, size});
  if (!status) {
    if (status.error().kind() != ErrorKind::DeviceError) std::abort();
    return 0;
  }
  if (size < 18 || data[0] != 0x01) std::abort();
  const std::uint32_t expected =
      static_cast<std::uint32_t>(data[2] | data[3] << 8) << 16 | (data[4] | data[5] << 8);
  if (*status != expected) std::abort();
  return 0;
}
