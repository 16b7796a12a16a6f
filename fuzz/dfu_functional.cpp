// Input: the interface number, then the class-specific bytes of a DFU interface. Decoding
// succeeds exactly for nine bytes that announce themselves as a DFU functional descriptor, and
// then gives back every field as it stands.
#include <cstdlib>

#include "velk/src/device/dfu/dfu_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velk::dfu;
  if (size < 1) return 0;
  const std::span<const std::uint8_t> extra(data + 1, size - 1);
  auto dfu = decode_dfu_functional(data[0], extra);
  const bool valid = extra.size() == kDfuFunctionalLength && extra[0] == kDfuFunctionalLength &&
                     extra[1] == kDfuFunctionalType;
  if (dfu.has_value() != valid) std::abort();
  if (!dfu) {
    if (dfu.error().kind() != velk::ErrorKind::DeviceError) std::abort();
    return 0;
  }
  const unsigned attributes = (dfu->can_download ? 1u : 0u) | (dfu->can_upload ? 2u : 0u) |
                              (dfu->manifestation_tolerant ? 4u : 0u) |
                              (dfu->will_detach ? 8u : 0u);
  if (dfu->interface_number != data[0] || attributes != (extra[2] & 0x0Fu) ||
      dfu->detach_timeout != (extra[3] | extra[4] << 8) ||
      dfu->transfer_size != (extra[5] | extra[6] << 8) ||
      dfu->dfu_version != (extra[7] | extra[8] << 8))
    std::abort();
  return 0;
}
