// A typed wrapper over libusb: owned lists, devices, descriptors and handles, failures as
// UsbError kinds, timeouts as std::chrono durations, and the transfer direction checked before any
// traffic.
#pragma once

#include <libusb.h>

#include <algorithm>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "velk/src/c/error.h"

namespace velk::usb {

// A transfer timeout in libusb's unsigned milliseconds. libusb takes 0 as no limit at all, which
// no caller here means: a timeout under 1 ms becomes 1 ms, one beyond the range the largest.
constexpr unsigned int libusb_timeout(std::chrono::milliseconds timeout) {
  return static_cast<unsigned int>(std::clamp<std::chrono::milliseconds::rep>(
      timeout.count(), 1, std::numeric_limits<unsigned int>::max()));
}

// Maps a libusb return code: negative codes fail with their kind, others are the count.
Result<std::size_t> check(int code);

enum class Direction : std::uint8_t { Out = 0, In = 1 };
enum class RequestType : std::uint8_t { Standard = 0, Class = 1, Vendor = 2, Reserved = 3 };
enum class Recipient : std::uint8_t { Device = 0, Interface = 1, Endpoint = 2, Other = 3 };

constexpr std::uint8_t request_type(Direction direction, RequestType type, Recipient recipient) {
  return static_cast<std::uint8_t>((direction == Direction::In ? 0x80 : 0) |
                                   (static_cast<std::uint8_t>(type) << 5) |
                                   static_cast<std::uint8_t>(recipient));
}

// An owned configuration descriptor, walked as interfaces, their alternate settings and their
// endpoints with libusb's own structs.
class ConfigDescriptor {
 public:
  explicit ConfigDescriptor(libusb_config_descriptor* descriptor) : descriptor_(descriptor) {}
  ~ConfigDescriptor();
  ConfigDescriptor(ConfigDescriptor&& other) noexcept
      : descriptor_(std::exchange(other.descriptor_, nullptr)) {}
  ConfigDescriptor& operator=(ConfigDescriptor&&) = delete;
  ConfigDescriptor(const ConfigDescriptor&) = delete;

  std::span<const libusb_interface> interfaces() const {
    return {descriptor_->interface, descriptor_->bNumInterfaces};
  }

 private:
  libusb_config_descriptor* descriptor_;
};

inline std::span<const libusb_interface_descriptor> settings(const libusb_interface& interface) {
  return {interface.altsetting, static_cast<std::size_t>(interface.num_altsetting)};
}
// The settings, of every interface, with this class and subclass, in descriptor order.
std::vector<const libusb_interface_descriptor*> settings_of_class(
    std::span<const libusb_interface> interfaces, std::uint8_t interface_class,
    std::uint8_t interface_subclass);
inline std::span<const libusb_endpoint_descriptor> endpoints(
    const libusb_interface_descriptor& setting) {
  return {setting.endpoint, setting.bNumEndpoints};
}
inline std::span<const std::uint8_t> extra(const libusb_interface_descriptor& setting) {
  if (setting.extra == nullptr || setting.extra_length <= 0) return {};
  return {setting.extra, static_cast<std::size_t>(setting.extra_length)};
}
// The device's endpoint numbers fit three bits.
constexpr std::uint8_t endpoint_number(const libusb_endpoint_descriptor& e) {
  return e.bEndpointAddress & 0x07;
}
constexpr bool endpoint_is_in(const libusb_endpoint_descriptor& e) {
  return (e.bEndpointAddress & 0x80) != 0;
}
constexpr std::uint8_t transfer_type(const libusb_endpoint_descriptor& e) {
  return e.bmAttributes & 0x03;
}
constexpr std::uint8_t kTransferInterrupt = 3;

class UsbDeviceHandle;

// One counted libusb device reference.
class UsbDevice {
 public:
  explicit UsbDevice(libusb_device* device);  // adds a reference
  ~UsbDevice();
  UsbDevice(UsbDevice&& other) noexcept : device_(std::exchange(other.device_, nullptr)) {}
  UsbDevice& operator=(UsbDevice&&) = delete;
  UsbDevice(const UsbDevice&) = delete;

  Result<libusb_device_descriptor> device_descriptor() const;
  Result<ConfigDescriptor> config_descriptor(std::uint8_t index) const;
  // Opens the device with kernel drivers detached automatically from the interfaces it claims.
  Result<UsbDeviceHandle> open() const;
  // Where it is plugged in: the bus and the port numbers from the root hub on. Inline, so that
  // only a program that asks links these libusb functions.
  std::uint8_t bus_number() const { return libusb_get_bus_number(device_); }
  std::vector<std::uint8_t> port_path() const {
    std::uint8_t ports[8];  // USB allows at most 7 tiers below the root
    const int n = libusb_get_port_numbers(device_, ports, sizeof ports);
    return n > 0 ? std::vector<std::uint8_t>(ports, ports + n) : std::vector<std::uint8_t>{};
  }

 private:
  libusb_device* device_;
};

// The devices on the bus at the time of the call, freed with their references on drop.
class UsbDeviceList {
 public:
  static Result<UsbDeviceList> get(libusb_context* context);
  ~UsbDeviceList();
  UsbDeviceList(UsbDeviceList&& other) noexcept
      : list_(std::exchange(other.list_, nullptr)), count_(other.count_) {}
  UsbDeviceList& operator=(UsbDeviceList&&) = delete;
  UsbDeviceList(const UsbDeviceList&) = delete;

  std::size_t size() const { return count_; }
  UsbDevice at(std::size_t i) const { return UsbDevice(list_[i]); }

 private:
  UsbDeviceList(libusb_device** list, std::size_t count) : list_(list), count_(count) {}
  libusb_device** list_;
  std::size_t count_;
};

// An open device with the interfaces claimed through it. On drop the claimed interfaces are
// released in ascending order, then the device is closed.
class UsbDeviceHandle {
 public:
  explicit UsbDeviceHandle(libusb_device_handle* handle) : handle_(handle) {}
  ~UsbDeviceHandle();
  UsbDeviceHandle(UsbDeviceHandle&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)), claimed_(other.claimed_) {}
  UsbDeviceHandle& operator=(UsbDeviceHandle&&) = delete;
  UsbDeviceHandle(const UsbDeviceHandle&) = delete;

  Status claim_interface(std::uint8_t number);
  Status reset();
  Result<std::size_t> read_control(std::uint8_t request_type, std::uint8_t request,
                                   std::uint16_t value, std::uint16_t index,
                                   std::span<std::uint8_t> buffer,
                                   std::chrono::milliseconds timeout);
  Result<std::size_t> write_control(std::uint8_t request_type, std::uint8_t request,
                                    std::uint16_t value, std::uint16_t index,
                                    std::span<const std::uint8_t> data,
                                    std::chrono::milliseconds timeout);
  Result<std::size_t> read_interrupt(std::uint8_t endpoint, std::span<std::uint8_t> buffer,
                                     std::chrono::milliseconds timeout);

 private:
  libusb_device_handle* handle_;
  std::bitset<256> claimed_;
};

}  // namespace velk::usb
