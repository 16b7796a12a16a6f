// The descriptor pieces the model's identities share, built with the bus's descriptor builder.
#pragma once

#include <libusb.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/descriptors.h"
#include "sim/vexo/options.h"

namespace sim::vexo {

// String indexes the maker's firmware fills in; the chip's ROM loader has none.
inline constexpr std::uint8_t kManufacturerString = 1;
inline constexpr std::uint8_t kProductString = 2;

libusb_device_descriptor identity(std::uint16_t vendor, std::uint16_t product,
                                  std::uint16_t bcd_device, bool with_strings);
// The 9-byte class descriptor that follows a DFU interface.
Bytes dfu_functional(const DfuFunction& dfu);
// One HID interface with an interrupt IN and an interrupt OUT endpoint, as both loaders have.
Bytes hid_loader_config(std::uint16_t report_descriptor_length);
std::vector<std::u16string> maker_strings(std::u16string_view product);

}  // namespace sim::vexo
