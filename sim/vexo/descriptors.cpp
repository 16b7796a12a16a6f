#include "sim/vexo/descriptors.h"

namespace sim::vexo {
namespace {

constexpr std::uint8_t lo(std::uint16_t v) {
  return static_cast<std::uint8_t>(v & 0xFF);
}
constexpr std::uint8_t hi(std::uint16_t v) {
  return static_cast<std::uint8_t>(v >> 8);
}
constexpr std::uint8_t kNoString = 0;

}  // namespace

libusb_device_descriptor identity(std::uint16_t vendor, std::uint16_t product,
                                  std::uint16_t bcd_device, bool with_strings) {
  return make_device_descriptor(
      {.vendor = vendor,
       .product = product,
       .bcd_device = bcd_device,
       .manufacturer_index = with_strings ? kManufacturerString : kNoString,
       .product_index = with_strings ? kProductString : kNoString});
}

Bytes dfu_functional(const DfuFunction& dfu) {
  return {9,
          /*DFU functional*/ 0x21,
          dfu.attributes,
          lo(dfu.detach_timeout_ms),
          hi(dfu.detach_timeout_ms),
          lo(dfu.transfer_size),
          hi(dfu.transfer_size),
          lo(dfu.dfu_version),
          hi(dfu.dfu_version)};
}

Bytes hid_loader_config(const Bytes& report_descriptor) {
  const auto report_descriptor_length = static_cast<std::uint16_t>(report_descriptor.size());
  const Bytes hid_class{9,
                        LIBUSB_DT_HID,
                        /*bcdHID 1.11*/ 0x11,
                        0x01,
                        /*country*/ 0,
                        /*descriptors*/ 1,
                        LIBUSB_DT_REPORT,
                        lo(report_descriptor_length),
                        hi(report_descriptor_length)};
  return build_config({.interfaces = {{.number = 0,
                                       .cls = LIBUSB_CLASS_HID,
                                       .endpoints = {{.address = 0x81, .attributes = kInterrupt},
                                                     {.address = 0x01, .attributes = kInterrupt}},
                                       .extra = hid_class}}});
}

Bytes vendor_report_descriptor(std::initializer_list<ReportSpec> reports) {
  Bytes d{0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
          0x09, 0x01,        // Usage (1)
          0xA1, 0x01,        // Collection (Application)
          0x15, 0x00,        // Logical Minimum (0)
          0x26, 0xFF, 0x00,  // Logical Maximum (255)
          0x75, 0x08};       // Report Size (8 bits)
  for (const ReportSpec& r : reports) {
    d.insert(d.end(), {0x85, r.id,                         // Report ID
                       0x96, lo(r.size), hi(r.size),       // Report Count
                       0x09, 0x01,                         // Usage (1)
                       static_cast<std::uint8_t>(r.kind),  // Input, Output or Feature
                       0x02});                             // (Data, Variable, Absolute)
  }
  d.push_back(0xC0);  // End Collection
  return d;
}

std::vector<std::u16string> maker_strings(std::u16string_view product) {
  return {u"Tavrin Systems", std::u16string(product)};
}

}  // namespace sim::vexo
