#include "velk/src/device/btm/hci.h"

#include "velk/src/c/log.h"

namespace velk::btm {

Result<HciInterface> find_hci_interface(std::span<const libusb_interface> interfaces) {
  for (const libusb_interface_descriptor* setting :
       usb::settings_of_class(interfaces, kHciInterfaceClass, kHciInterfaceSubClass)) {
    for (const libusb_endpoint_descriptor& endpoint : usb::endpoints(*setting)) {
      if (usb::transfer_type(endpoint) == usb::kTransferInterrupt && usb::endpoint_is_in(endpoint))
        return HciInterface{setting->bInterfaceNumber, usb::endpoint_number(endpoint)};
    }
  }
  return fail(ErrorKind::DeviceError, "missing BTM interface");
}

Result<HciInterface> find_hci_interface(const usb::ConfigDescriptor& config) {
  return find_hci_interface(config.interfaces());
}

// HCI commands go to the device as class requests, with the interface in the index.
constexpr std::uint8_t kHciCommandRequestType = usb::request_type(
    usb::Direction::Out, usb::RequestType::Class, usb::Recipient::Device);  // 0x20
constexpr std::uint8_t kHciCommandRequest = 0;
constexpr std::uint16_t kHciCommandValue = 0;

Result<std::size_t> send_hci_command(BtmDevice& device, std::span<const std::uint8_t> packet) {
  return device.handle().write_control(
      /*request_type=*/kHciCommandRequestType, /*request=*/kHciCommandRequest,
      /*value=*/kHciCommandValue, /*index=*/device.hci_interface(), packet, kHciTimeout);
}

Result<std::size_t> read_hci_event(BtmDevice& device, std::span<std::uint8_t> buffer) {
  return device.handle().read_interrupt(device.event_endpoint(), buffer, kHciTimeout);
}

bool too_many_events(std::size_t count, Nanos start) {
  return count >= kMaxUnwantedEvents || monotonic_now() - start >= kUnwantedEventsWindow;
}

Status flush_events(BtmDevice& device) {
  HciBuffer buffer{};
  const Nanos start = monotonic_now();
  for (std::size_t flushed = 0;; ++flushed) {
    if (too_many_events(flushed, start))
      return fail(ErrorKind::DeviceError, "events still coming after {:#x} flushed", flushed);
    auto received = read_hci_event(device, buffer);
    if (!received) return {};  // normally the timeout: nothing more is pending
    VELK_TRACE(kBtmLogTarget, "Flushed {}", log::Dump{buffer.data(), *received});
  }
}

}  // namespace velk::btm
