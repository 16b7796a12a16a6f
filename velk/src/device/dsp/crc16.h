// The checksum of FF CRC records and of DSP sector writes.
#pragma once

#include <cstdint>
#include <span>

namespace velk::dsp {

// CRC-16/UMTS (polynomial 0x8005, initial 0, unreflected, no final XOR) over the bytes taken
// in swapped pairs: b0 b1 b2 b3 is fed as b1 b0 b3 b2. 0 for no bytes. The DSP works in 16-bit
// words, so a run of odd length is a caller bug and throws InternalFailure.
std::uint16_t swapped_crc16(std::span<const std::uint8_t> bytes);

}  // namespace velk::dsp
