#include "velk/src/device/dfu/dfu_descriptor.h"

#include "velk/src/util/byte_order.h"

namespace velk::dfu {

Result<DfuFunctionalDescriptor> decode_dfu_functional(std::uint8_t interface_number,
                                                      std::span<const std::uint8_t> extra) {
  if (extra.size() != kDfuFunctionalLength || extra[0] != kDfuFunctionalLength ||
      extra[1] != kDfuFunctionalType) {
    return fail(ErrorKind::DeviceError, "invalid DFU descriptor");
  }
  const std::uint8_t attributes = extra[2];
  return DfuFunctionalDescriptor{
      .interface_number = interface_number,
      .can_download = (attributes & 0x01) != 0,
      .can_upload = (attributes & 0x02) != 0,
      .manifestation_tolerant = (attributes & 0x04) != 0,
      .will_detach = (attributes & 0x08) != 0,
      .detach_timeout = load_le16(extra, 3),
      .transfer_size = load_le16(extra, 5),
      .dfu_version = load_le16(extra, 7),
  };
}

Result<DfuFunctionalDescriptor> find_dfu_descriptor(std::span<const libusb_interface> interfaces) {
  for (const libusb_interface_descriptor* setting :
       usb::settings_of_class(interfaces, kDfuInterfaceClass, kDfuInterfaceSubClass)) {
    const auto extra = usb::extra(*setting);
    if (!extra.empty()) return decode_dfu_functional(setting->bInterfaceNumber, extra);
  }
  return fail(ErrorKind::DeviceError, "missing DFU descriptor");
}

Result<DfuFunctionalDescriptor> parse_dfu_descriptor(const usb::UsbDevice& device) {
  VELK_TRY_ASSIGN(config, device.config_descriptor(0));
  return find_dfu_descriptor(config.interfaces());
}

}  // namespace velk::dfu
