// A typed wrapper over hidapi: owned enumerations and devices, failures as HidError kinds.
// Byte counts are returned as hidapi gives them; callers judge short counts.
#pragma once

#include <hidapi/hidapi.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "velk/src/c/error.h"

namespace velk::hid {

// hidapi's process-wide initialisation, with the flag that guards against a second one.
class HidManager {
 public:
  static Status init();
};

class HidDevice {
 public:
  explicit HidDevice(hid_device* device) : device_(device) {}
  ~HidDevice();
  HidDevice(HidDevice&& other) noexcept : device_(std::exchange(other.device_, nullptr)) {}
  HidDevice& operator=(HidDevice&&) = delete;
  HidDevice(const HidDevice&) = delete;

  Result<std::size_t> write(std::span<const std::uint8_t> data);
  // 0 means that no report arrived within the timeout; a negative timeout does not wait.
  Result<std::size_t> read_timeout(std::span<std::uint8_t> buffer,
                                   std::chrono::milliseconds timeout);
  Result<std::size_t> send_feature_report(std::span<const std::uint8_t> data);
  // The report ID goes in the first byte of the buffer.
  Result<std::size_t> get_feature_report(std::span<std::uint8_t> buffer);

 private:
  hid_device* device_;
};

// The list hid_enumerate returns, freed on drop.
class HidDeviceList {
 public:
  ~HidDeviceList();
  HidDeviceList(HidDeviceList&& other) noexcept : head_(std::exchange(other.head_, nullptr)) {}
  HidDeviceList& operator=(HidDeviceList&&) = delete;
  HidDeviceList(const HidDeviceList&) = delete;

  bool empty() const { return head_ == nullptr; }
  const hid_device_info* first() const { return head_; }
  static Result<HidDevice> open(const hid_device_info& entry);

 private:
  friend HidDeviceList hid_devices(std::optional<std::uint16_t>, std::optional<std::uint16_t>);
  explicit HidDeviceList(hid_device_info* head) : head_(head) {}
  hid_device_info* head_;
};

// The HID devices with the given IDs; an absent ID matches any.
HidDeviceList hid_devices(std::optional<std::uint16_t> vendor_id,
                          std::optional<std::uint16_t> product_id);

}  // namespace velk::hid
