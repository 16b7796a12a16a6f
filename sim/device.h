// A device on the virtual bus. A model answers the traffic of one USB identity; the bus
// (bus.h) turns libusb and hidapi calls into calls of these handlers, in virtual time.
#pragma once

#include <libusb.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

class Bus;

struct ControlSetup {
  std::uint8_t request_type;
  std::uint8_t request;
  std::uint16_t value;
  std::uint16_t index;
  std::uint16_t length;
};

using Bytes = std::vector<std::uint8_t>;

// What hid_enumerate tells about a device's HID function.
struct HidInfo {
  std::wstring manufacturer;
  std::wstring product;
  std::wstring serial_number;
  std::uint16_t usage_page = 0xFF00;
  std::uint16_t usage = 0x0001;
  int interface_number = 0;
};

class Device {
 public:
  virtual ~Device() = default;

  // Identity, read by the bus each time the device is plugged in (re-enumeration may change it).
  virtual libusb_device_descriptor device_descriptor() const = 0;
  // Configuration 0 as its raw bytes (configuration, interface, endpoint and class-specific
  // descriptors in wire order); the bus parses it into libusb's structs.
  virtual Bytes config_descriptor() const = 0;

  // libusb traffic. Results follow libusb: a byte count, or a negative LIBUSB_ERROR_* code.
  virtual int control_in(const ControlSetup&, std::span<std::uint8_t> /*data*/) {
    return LIBUSB_ERROR_PIPE;
  }
  virtual int control_out(const ControlSetup&, std::span<const std::uint8_t> /*data*/) {
    return LIBUSB_ERROR_PIPE;
  }
  // The next pending packet on an interrupt-IN endpoint, or none while nothing is pending;
  // the bus then lets virtual time pass until one is pending or the timeout runs out.
  virtual std::optional<Bytes> interrupt_in(std::uint8_t /*endpoint*/) { return std::nullopt; }
  virtual int claim_interface(int /*number*/) { return LIBUSB_SUCCESS; }
  virtual int release_interface(int /*number*/) { return LIBUSB_SUCCESS; }
  // libusb_reset_device on an open handle.
  virtual int usb_reset() { return LIBUSB_SUCCESS; }
  // The kernel driver that the host binds to an interface when the device is plugged in (a
  // Bluetooth driver, usbhid), or empty when no driver matches it. A program must detach it
  // before it can claim the interface.
  virtual std::string kernel_driver(int /*interface*/) const { return {}; }

  // HID function: a device whose hid() is true is also listed by hid_enumerate.
  virtual bool hid() const { return false; }
  virtual HidInfo hid_info() const { return {}; }
  // The report descriptor, which declares the report IDs and sizes.
  virtual Bytes hid_report_descriptor() const { return {}; }
  // Results follow hidapi: a byte count or -1.
  virtual int hid_write(std::span<const std::uint8_t> /*report*/) { return -1; }
  // The next pending input report as hidapi hands it out, or none while nothing is pending
  // (the bus then lets virtual time pass, as for interrupt_in).
  virtual std::optional<Bytes> hid_read() { return std::nullopt; }
  virtual int hid_send_feature(std::span<const std::uint8_t> /*report*/) { return -1; }
  // Fills the buffer (byte 0 holds the report ID on entry); returns the count including the
  // report-ID byte, as hidapi's Windows back end does.
  virtual int hid_get_feature(std::span<std::uint8_t> /*report*/) { return -1; }

 protected:
  friend class Bus;
  Bus* bus_ = nullptr;  // set while the device is plugged in
};

}  // namespace sim
