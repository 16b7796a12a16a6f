// The open connection in BTM mode: the handle with the HCI and DFU run-time interfaces claimed,
// and what the transport needs to address them.
#pragma once

#include <cstdint>
#include <utility>

#include "lib/usb/usb.h"
#include "velk/src/device/dfu/dfu_descriptor.h"

namespace velk::btm {

class BtmDevice {
 public:
  // The sequence counter starts at 0 on every new connection.
  BtmDevice(usb::UsbDeviceHandle handle, dfu::DfuFunctionalDescriptor dfu,
            std::uint8_t hci_interface, std::uint8_t event_endpoint)
      : handle_(std::move(handle)),
        dfu_(dfu),
        hci_interface_(hci_interface),
        event_endpoint_(event_endpoint) {}

  BtmDevice(BtmDevice&&) noexcept = default;
  BtmDevice& operator=(BtmDevice&&) = delete;  // the handle cannot be reseated
  BtmDevice(const BtmDevice&) = delete;

  usb::UsbDeviceHandle& handle() { return handle_; }
  // Advanced by every command built, including one that gets no answer.
  std::uint16_t& sequence() { return sequence_; }
  std::uint16_t sequence() const { return sequence_; }
  const dfu::DfuFunctionalDescriptor& dfu() const { return dfu_; }
  std::uint8_t hci_interface() const { return hci_interface_; }
  // The interrupt-IN endpoint's address (number OR 0x80).
  std::uint8_t event_endpoint() const { return event_endpoint_; }

 private:
  usb::UsbDeviceHandle handle_;
  std::uint16_t sequence_ = 0;
  dfu::DfuFunctionalDescriptor dfu_;
  std::uint8_t hci_interface_;
  std::uint8_t event_endpoint_;
};

}  // namespace velk::btm
