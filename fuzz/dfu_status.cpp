// Any answer to DFU_GETSTATUS: decoding fails with DeviceError, or the answer had all six
// bytes and names one of the eleven states, and the poll timeout is its three bytes in ms.
#include <cstdlib>

#include "velk/src/device/dfu/dfu_device.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velk;
  auto status = dfu::decode_dfu_status({data, size});
  if (!status) {
    if (status.error().kind() != ErrorKind::DeviceError) std::abort();
    return 0;
  }
  if (size < dfu::kDfuStatusLength || status->status != data[0] ||
      static_cast<std::uint8_t>(status->state) != data[4] ||
      status->state > dfu::DfuState::DFUError)
    std::abort();
  const std::uint32_t millis = data[1] | data[2] << 8 | data[3] << 16;
  if (status->poll_timeout.count() != millis) std::abort();
  (void)dfu::state_name(status->state);
  return 0;
}
