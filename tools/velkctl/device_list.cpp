#include "device_list.h"

#include "lib/usb/context.h"
#include "lib/usb/usb.h"
#include "velk/src/device/identity.h"

namespace velkctl {

velk::Result<std::vector<ListedDevice>> list_devices() {
  VELK_TRY_ASSIGN(context, velk::LibraryContext::get());
  VELK_TRY_ASSIGN(list, velk::usb::UsbDeviceList::get(context->usb()));
  std::vector<ListedDevice> found;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const velk::usb::UsbDevice device = list.at(i);
    const auto descriptor = device.device_descriptor();
    if (!descriptor) continue;
    const velk::OperationMode mode = velk::mode_of(descriptor->idVendor, descriptor->idProduct);
    if (mode == velk::OperationMode::NA) continue;
    ListedDevice listed{mode, descriptor->idVendor, descriptor->idProduct, device.bus_number(), {},
                        {}};
    for (std::uint8_t port : device.port_path())
      listed.ports += (listed.ports.empty() ? "" : ".") + std::to_string(port);
    // Opening claims nothing: it only shows whether this user may reach the device.
    if (auto handle = device.open(); !handle) {
      listed.open_error = handle.error().display();
      listed.access_denied = handle.error().kind() == velk::ErrorKind::LIBUSBError &&
                             handle.error().usb() == velk::UsbError::Access;
    }
    found.push_back(std::move(listed));
  }
  return found;
}

}  // namespace velkctl
