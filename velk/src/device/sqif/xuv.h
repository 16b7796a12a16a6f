// The xuv text image of the serial flash: lines of "@address value" giving 16-bit words by
// word address, turned into the flat byte image written from flash offset 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "velk/src/c/error.h"

namespace velk::sqif {

// Largest image parse_xuv builds. The serial flash of this device family is far smaller; the
// cap keeps a single high address (which asks for up to 4 GiB of zero fill) from exhausting
// the memory of a 32-bit host process.
inline constexpr std::size_t kMaxXuvImageSize = std::size_t{64} << 20;

// What the lines of an image gave, beside its bytes: for a report on a file.
struct XuvLayout {
  std::size_t words = 0;         // data lines
  std::size_t gaps = 0;          // runs of zero fill between words, or before the first
  std::size_t first_offset = 0;  // byte offset of the first word
};

// The flash image: each word big-endian at byte offset 2 × address, gaps filled with zeros.
Result<std::vector<std::uint8_t>> parse_xuv(std::span<const std::uint8_t> data,
                                            XuvLayout* layout = nullptr);

}  // namespace velk::sqif
