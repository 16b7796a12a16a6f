// The DFU functional descriptor: what the boot loader and the run-time interface promise about
// detaching and block transfers.
#pragma once

#include <libusb.h>

#include <cstdint>
#include <span>

#include "lib/usb/usb.h"
#include "velk/src/c/error.h"

namespace velk::dfu {

struct DfuFunctionalDescriptor {
  std::uint8_t interface_number;  // the setting the descriptor was found in
  bool can_download;
  bool can_upload;
  bool manifestation_tolerant;
  bool will_detach;
  std::uint16_t detach_timeout;  // milliseconds, sent as the DFU_DETACH value
  std::uint16_t transfer_size;   // bytes per download or upload block
  std::uint16_t dfu_version;     // BCD; stored, not used
};

// The class and subclass of a DFU interface, run-time or boot loader alike.
constexpr std::uint8_t kDfuInterfaceClass = 0xFE;
constexpr std::uint8_t kDfuInterfaceSubClass = 0x01;
constexpr std::uint8_t kDfuFunctionalLength = 9;
constexpr std::uint8_t kDfuFunctionalType = 0x21;

// Decodes the class-specific bytes of a DFU interface setting.
Result<DfuFunctionalDescriptor> decode_dfu_functional(std::uint8_t interface_number,
                                                      std::span<const std::uint8_t> extra);

// Finds the first DFU setting with class-specific bytes and decodes them; a malformed first
// descriptor is an error, not a reason to look further.
Result<DfuFunctionalDescriptor> find_dfu_descriptor(std::span<const libusb_interface> interfaces);

// The same over configuration 0 of the device.
Result<DfuFunctionalDescriptor> parse_dfu_descriptor(const usb::UsbDevice& device);

}  // namespace velk::dfu
