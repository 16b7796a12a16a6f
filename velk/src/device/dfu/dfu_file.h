// The DFU 1.1 firmware file: an image followed by a 16-byte suffix that names the device it is
// for and carries a CRC over everything before it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "velk/src/c/error.h"

namespace velk::dfu {

inline constexpr std::size_t kDfuSuffixLength = 16;
inline constexpr std::uint32_t kDfuCrcPreset = 0xFFFFFFFF;

// The suffix's fields as the file stores them.
struct DfuSuffix {
  std::uint16_t bcd_device;
  std::uint16_t id_product;
  std::uint16_t id_vendor;
  std::uint16_t bcd_dfu;
  std::array<std::uint8_t, 3> signature;
  std::uint8_t length;
  std::uint32_t crc;
};

// The last kDfuSuffixLength bytes of `file`, read but not checked; InvalidImage when the file is
// shorter than a suffix.
Result<DfuSuffix> read_dfu_suffix(std::span<const std::uint8_t> file);

// CRC-32 (reflected 0xEDB88320, preset 0xFFFFFFFF) without the final inversion, as the suffix
// stores it. 0xFFFFFFFF for no bytes. `preceding`, the value over the bytes before these,
// continues it over a file held in pieces.
std::uint32_t dfu_crc(std::span<const std::uint8_t> bytes, std::uint32_t preceding = kDfuCrcPreset);

// Checks the suffix of `file` against the connected DFU-mode device. On success the image to
// download is the file less its last kDfuSuffixLength bytes (possibly empty).
Status check_dfu_file(std::span<const std::uint8_t> file, std::uint16_t id_vendor,
                      std::uint16_t id_product);

// Appends a suffix for the device to an uploaded image, so that the result passes
// check_dfu_file for the same device. For an image in pieces, `image` is the last one and
// `preceding` the dfu_crc of all before it.
void append_dfu_suffix(std::vector<std::uint8_t>& image, std::uint16_t id_vendor,
                       std::uint16_t id_product, std::uint16_t bcd_device,
                       std::uint32_t preceding = kDfuCrcPreset);

}  // namespace velk::dfu
