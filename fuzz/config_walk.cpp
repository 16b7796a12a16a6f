// Any configuration descriptor, parsed into libusb's structs as libusb does: the walks that find
// the HCI interface with its event endpoint and the DFU functional descriptor fail with
// DeviceError, or name what the configuration holds.
#include <cstdlib>

#include "sim/usb/config_parser.h"
#include "velk/src/device/btm/hci.h"
#include "velk/src/device/dfu/dfu_descriptor.h"

namespace {

bool has_setting(std::span<const libusb_interface> interfaces, std::uint8_t number,
                 std::uint8_t cls, std::uint8_t subclass) {
  for (const libusb_interface& interface : interfaces) {
    for (int i = 0; i < interface.num_altsetting; ++i) {
      const libusb_interface_descriptor& s = interface.altsetting[i];
      if (s.bInterfaceNumber == number && s.bInterfaceClass == cls &&
          s.bInterfaceSubClass == subclass)
        return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velk;
  const auto parsed = sim::usb::parse_config(sim::Bytes(data, data + size));
  if (!parsed) return 0;  // libusb refuses it before the library sees it
  const std::span<const libusb_interface> interfaces(parsed->config.interface,
                                                     parsed->config.bNumInterfaces);

  auto hci = btm::find_hci_interface(interfaces);
  if (hci) {
    if (hci->endpoint_number > 0x07 ||
        !has_setting(interfaces, hci->interface_number, btm::kHciInterfaceClass,
                     btm::kHciInterfaceSubClass))
      std::abort();
  } else if (hci.error().kind() != ErrorKind::DeviceError) {
    std::abort();
  }

  auto dfu = dfu::find_dfu_descriptor(interfaces);
  if (dfu) {
    if (!has_setting(interfaces, dfu->interface_number, dfu::kDfuInterfaceClass,
                     dfu::kDfuInterfaceSubClass))
      std::abort();
  } else if (dfu.error().kind() != ErrorKind::DeviceError) {
    std::abort();
  }
  return 0;
}
