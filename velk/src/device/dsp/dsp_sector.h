// Sector transfers of the DSP loader: a command on feature report 1, then the sector's bytes in
// 2048-byte data reports on feature report 2, with every 16-bit word's bytes swapped in transit.
#pragma once

#include <cstdint>
#include <span>

#include "velk/src/c/error.h"
#include "velk/src/device/dsp/dsp_device.h"

namespace velk::dsp {

constexpr std::uint8_t kDataReportId = 0x02;
constexpr std::size_t kDataReportLength = 2050;  // report ID, pad byte, 2048 data bytes
constexpr std::size_t kDataChunk = 2048;

// Reads destination.size() bytes from the DSP flash at `address`. Sector sizes are multiples
// of 2048; a shorter tail takes only the front of its last report.
Status read_sector(DspDevice& device, std::uint32_t address, std::span<std::uint8_t> destination);

// Writes the bytes at `address` and has the loader check them against their CRC. The count
// must be even (the flash is written in 16-bit words) and fit in 32 bits.
Status write_sector(DspDevice& device, std::uint32_t address, std::span<const std::uint8_t> data);

// Erases one sector and waits until the loader is idle again.
Status erase_sector(DspDevice& device, std::uint32_t address, std::uint32_t size);

}  // namespace velk::dsp
