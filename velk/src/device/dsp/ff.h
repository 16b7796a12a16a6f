// The FF image: 64-byte record headers that erase, write or checksum DSP flash, turned into an
// ordered list of sections before anything reaches the device.
#pragma once

#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "velk/src/c/error.h"

namespace velk::dsp {

struct EraseSection {
  std::uint32_t address;  // bytes
  std::uint32_t length;   // bytes
  friend bool operator==(const EraseSection&, const EraseSection&) = default;
};

struct WriteSection {
  std::uint32_t address;  // bytes
  std::vector<std::uint8_t> data;
  friend bool operator==(const WriteSection&, const WriteSection&) = default;
};

using FfSection = std::variant<EraseSection, WriteSection>;

inline constexpr std::size_t kFfHeaderLength = 64;

// The sections of an FF image in file order, with contiguous data records merged into one
// WriteSection. The result owns copies of the data.
Result<std::vector<FfSection>> parse_ff(std::span<const std::uint8_t> data);

}  // namespace velk::dsp
