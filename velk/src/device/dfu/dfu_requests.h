// The class requests of the USB DFU 1.1 specification as the library sends them: on the DFU
// interface, to the run-time interface in BTM mode and to the loader in DFU mode.
#pragma once

#include <chrono>
#include <cstdint>

#include "lib/usb/usb.h"

namespace velk::dfu {

inline constexpr std::uint8_t kDfuRequestOut =
    usb::request_type(usb::Direction::Out, usb::RequestType::Class, usb::Recipient::Interface);
inline constexpr std::uint8_t kDfuRequestIn =
    usb::request_type(usb::Direction::In, usb::RequestType::Class, usb::Recipient::Interface);
static_assert(kDfuRequestOut == 0x21 && kDfuRequestIn == 0xA1);

// Request numbers; DFU_GETSTATE (5) is not used.
enum DfuRequest : std::uint8_t {
  DFU_DETACH = 0,
  DFU_DNLOAD = 1,
  DFU_UPLOAD = 2,
  DFU_GETSTATUS = 3,
  DFU_CLRSTATUS = 4,
  DFU_ABORT = 6,
};

// Every request to the loader, DFU_GETSTATUS included, waits at most this long.
inline constexpr std::chrono::milliseconds kDfuRequestTimeout = std::chrono::seconds(1);
// DFU_DETACH to the run-time interface: the firmware may restart before it answers.
inline constexpr std::chrono::milliseconds kDfuDetachTimeout{100};

}  // namespace velk::dfu
