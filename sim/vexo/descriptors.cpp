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

Bytes hid_loader_config(std::uint16_t report_descriptor_length) {
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

std::vector<std::u16string> maker_strings(std::u16string_view product) {
  return {u"Tavrin Systems", std::u16string(product)};
}

}  // namespace sim::vexo
