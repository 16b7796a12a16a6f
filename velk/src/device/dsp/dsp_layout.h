// The DSP flash as the loader lays it out: the region table, the protected loader area, and the
// checks of a range against them. Pure: the operations use them on the device, velkctl before it.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "velk/src/c/error.h"
#include "velk/src/device/dsp/ff.h"

namespace velk::dsp {

struct DspRegion {
  std::uint32_t first;
  std::uint32_t last;
  std::uint32_t sector_size;
};

// 4 MiB of flash: small sectors for the loader at the bottom, large ones above.
inline constexpr std::array<DspRegion, 2> kDspRegions{{
    {0x000000, 0x00FFFF, 0x2000},
    {0x010000, 0x3FFFFF, 0x10000},
}};

// The loader lies in the small sectors at the bottom; only a checked loader image may be
// written below this address.
inline constexpr std::uint32_t kProtectedLimit = kDspRegions.front().last + 1;

struct Sector {
  std::uint32_t address;
  std::uint32_t size;
  friend bool operator==(const Sector&, const Sector&) = default;
};

// The sectors that the byte range touches, in address order; empty for a length of 0.
Result<std::vector<Sector>> plan_sectors(std::uint32_t address, std::uint32_t length);

// The sectors an FF section touches, once it is known to stay out of the protected memory and,
// for an erase, to cover whole sectors.
Result<std::vector<Sector>> plan_section(const WriteSection& section);
Result<std::vector<Sector>> plan_section(const EraseSection& section);

// What a direct write must satisfy below the protected limit: only a loader image, and only at
// address 0.
Status check_loader_placement(std::uint32_t address, std::span<const std::uint8_t> data);

}  // namespace velk::dsp
