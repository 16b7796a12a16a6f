// The DSP operations the host calls: flashing an FF image, writing and reading memory. All of
// them work in whole sectors of the DSP flash, laid out by a fixed region table.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "velk/src/c/error.h"
#include "velk/src/device/dsp/dsp_device.h"
#include "velk/src/device/dsp/dsp_layout.h"
#include "velk/src/device/progress.h"

namespace velk::dsp {

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
