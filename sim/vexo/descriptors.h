// The descriptor pieces the model's identities share, built with the bus's descriptor builder.
#pragma once

#include <libusb.h>

#include <cstdint>
#include <initializer_list>
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
// One HID interface with an interrupt IN and an interrupt OUT endpoint, as both loaders have;
// its HID class descriptor announces the report descriptor's length.
Bytes hid_loader_config(const Bytes& report_descriptor);

// One report of a loader: its ID, its main item (input, output or feature) and the number of
// bytes that follow the ID.
struct ReportSpec {
  enum Kind : std::uint8_t { Input = 0x81, Output = 0x91, Feature = 0xB1 };
  std::uint8_t id;
  Kind kind;
  std::uint16_t size;
};
// A report descriptor of the vendor-defined usage page 0xFF00, usage 1, in one application
// collection of byte-sized fields.
Bytes vendor_report_descriptor(std::initializer_list<ReportSpec> reports);
std::vector<std::u16string> maker_strings(std::u16string_view product);

}  // namespace sim::vexo
