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

// The flash image: each word big-endian at byte offset 2 × address, gaps filled with zeros.
Result<std::vector<std::uint8_t>> parse_xuv(std::span<const std::uint8_t> data);

}  // namespace velk::sqif
