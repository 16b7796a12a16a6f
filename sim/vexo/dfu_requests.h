// The class requests of the USB DFU 1.1 specification, as the run-time DFU interface and the
// boot loader's DFU interface receive them.
#pragma once

#include <cstdint>

namespace sim::vexo::dfu_request {

inline constexpr std::uint8_t kOutRequestType = 0x21;  // Out, class, interface
inline constexpr std::uint8_t kInRequestType = 0xA1;   // In, class, interface

inline constexpr std::uint8_t kDetach = 0;
inline constexpr std::uint8_t kDnload = 1;
inline constexpr std::uint8_t kUpload = 2;
inline constexpr std::uint8_t kGetStatus = 3;
inline constexpr std::uint8_t kClrStatus = 4;
inline constexpr std::uint8_t kGetState = 5;
inline constexpr std::uint8_t kAbort = 6;

}  // namespace sim::vexo::dfu_request
