// Input: the device's idVendor and idProduct (little-endian, 4 bytes), then the DFU file.
// A file that passes must be rebuilt byte for byte by append_dfu_suffix when its product ID
// is the even one.
#include <cstdlib>
#include <vector>

#include "velk/src/device/dfu/dfu_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velk::dfu;
  if (size < 4) return 0;
  const auto vendor = static_cast<std::uint16_t>(data[0] | (data[1] << 8));
  const auto product = static_cast<std::uint16_t>(data[2] | (data[3] << 8));
  const std::span<const std::uint8_t> file(data + 4, size - 4);
  auto checked = check_dfu_file(file, vendor, product);
  if (!checked) {
    if (checked.error().kind() != velk::ErrorKind::InvalidImage) std::abort();
    return 0;
  }
  const std::uint8_t* suffix = file.data() + file.size() - kDfuSuffixLength;
  if ((suffix[2] & 1) == 0) {
    std::vector<std::uint8_t> rebuilt(file.begin(), file.end() - kDfuSuffixLength);
    append_dfu_suffix(rebuilt, vendor, product,
                      static_cast<std::uint16_t>(suffix[0] | (suffix[1] << 8)));
    if (!std::equal(rebuilt.begin(), rebuilt.end(), file.begin(), file.end())) std::abort();
  }
  return 0;
}
