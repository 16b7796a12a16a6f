// The device's operation modes, numbered as velk_status reports them.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace velk {

enum class OperationMode : std::uint8_t { NA = 0, BTM = 1, DFU = 2, SQIF = 3, DSP = 4 };

constexpr std::string_view mode_name(OperationMode mode) {
  constexpr std::array<std::string_view, 5> kNames{"NA", "BTM", "DFU", "SQIF", "DSP"};
  return kNames.at(static_cast<std::size_t>(mode));
}

// The log targets of the device code: the connection's, and each mode's.
inline constexpr std::string_view kDeviceLogTarget = "velk::device";
inline constexpr std::string_view kBtmLogTarget = "velk::device::btm";
inline constexpr std::string_view kDfuLogTarget = "velk::device::dfu";
inline constexpr std::string_view kSqifLogTarget = "velk::device::sqif";
inline constexpr std::string_view kDspLogTarget = "velk::device::dsp";

}  // namespace velk
