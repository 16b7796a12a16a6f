#include "velk/src/device/dsp/loader_image.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>

#include "velk/src/c/log.h"
#include "velk/src/device/mode.h"
#include "velk/src/util/byte_order.h"

namespace velk::dsp {
namespace {

constexpr std::size_t kMinLength = 52;
constexpr std::array<std::uint16_t, 3> kImageTypes{0x09A4, 0x09A5, 0x09A6};
// The terminating zero link sits this far before the end: the image's trailer follows it.
constexpr std::size_t kTrailerLength = 22;

}  // namespace

std::optional<std::string> loader_image_problem(std::span<const std::uint8_t> data) {
  const std::size_t n = data.size();
  if (n < kMinLength) return fmt::format("Image too small: {:#x}", n);
  const std::uint16_t type = load_be16(data, /*type*/ 0);
  if (std::find(kImageTypes.begin(), kImageTypes.end(), type) == kImageTypes.end()) {
    return fmt::format("Unsupported image type: {:#x}", type);
  }
  // The header's count of 4-byte entries at 28, the entries from 30, then the chain of blocks.
  // 64-bit so that a walk near the end of a 4 GiB buffer cannot wrap on a 32-bit host.
  std::uint64_t q = 30 + 4 * std::uint64_t{load_be16(data, /*header count*/ 28)};
  while (q < n) {
    if (n - q < 2) break;
    const std::uint16_t link = load_be16(data, static_cast<std::size_t>(q));
    if (link == 0) {
      if (q == n - kTrailerLength) return std::nullopt;
      return "Link list ended prematurely";
    }
    q += ((2 * static_cast<std::uint64_t>(link) + 10) & ~std::uint64_t{7}) + 2;
  }
  return "Unexpected EOF";
}

bool check_loader_image(std::span<const std::uint8_t> data) {
  const std::optional<std::string> problem = loader_image_problem(data);
  if (problem) VELK_ERROR(kDspLogTarget, "{}", *problem);
  return !problem;
}

}  // namespace velk::dsp
