// The DSP operations the host calls: flashing an FF image, writing and reading memory. All of
// them work in whole sectors of the DSP flash, laid out by a fixed region table.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "velk/src/c/error.h"
#include "velk/src/device/dsp/dsp_device.h"
#include "velk/src/device/progress.h"

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

// Below this address lies the loader; only a checked loader image may be written there.
inline constexpr std::uint32_t kProtectedLimit = 0x10000;

struct Sector {
  std::uint32_t address;
  std::uint32_t size;
  friend bool operator==(const Sector&, const Sector&) = default;
};

// The sectors that the byte range touches, in address order; empty for a length of 0.
Result<std::vector<Sector>> plan_sectors(std::uint32_t address, std::uint32_t length);

// Applies the erase and write sections of an FF image in file order. Progress counts the bytes
// of all sections.
Status flash_ff(DspDevice& device, std::span<const std::uint8_t> image, const Progress& progress);

// Writes the bytes at `address`, rewriting only the sectors whose bytes change. Below 0x10000
// only a loader image at address 0 is accepted.
Status write_dsp(DspDevice& device, std::uint32_t address, std::span<const std::uint8_t> data,
                 const Progress& progress);

// Reads destination.size() bytes from `address`.
Status read_dsp(DspDevice& device, std::uint32_t address, std::span<std::uint8_t> destination,
                const Progress& progress);

}  // namespace velk::dsp
