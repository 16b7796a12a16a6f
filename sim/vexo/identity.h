// The four faces the chip shows on the bus, one per operation mode. It changes face only by
// restarting: it drops off the bus and comes back under the identity of the mode it booted into.
#pragma once

#include <cstdint>
#include <string_view>

namespace sim::vexo {

enum class Mode : std::uint8_t { Btm, Dfu, Sqif, Dsp };

std::string_view name(Mode mode);

// The maker's vendor ID; the Bluetooth-module firmware uses an even product ID and the DFU boot
// loader the odd one next to it. 0x0001 is reserved for the DSP loader.
inline constexpr std::uint16_t kMakerVendor = 0x7A11;
inline constexpr std::uint16_t kBtmProduct = 0x1300;
inline constexpr std::uint16_t kDfuProduct = 0x1301;
inline constexpr std::uint16_t kDspProduct = 0x0001;
// The serial-flash loader lives in the chip's ROM and shows the chip maker's own identity.
inline constexpr std::uint16_t kChipVendor = 0x0A12;
inline constexpr std::uint16_t kSqifProduct = 0x1012;

// The persistent-store key the boot code reads to choose the mode it starts.
inline constexpr std::uint16_t kModePsKey = 0x02AD;
inline constexpr std::uint16_t kModeKeySqif = 5;
inline constexpr std::uint16_t kModeKeyDsp = 1;

}  // namespace sim::vexo
