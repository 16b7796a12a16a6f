// The device in SQIF mode: the serial-flash loader, spoken to with HID output reports
// (commands) and input reports (statuses).
#pragma once

#include <cstdint>
#include <span>

#include "lib/hid/src/manager/hid.h"
#include "lib/usb/context.h"

namespace velk::sqif {

constexpr std::uint16_t kVendorId = 0x0A12;
constexpr std::uint16_t kProductId = 0x1012;

class SqifDevice {
 public:
  explicit SqifDevice(hid::HidDevice device) : device_(std::move(device)) {}
  hid::HidDevice& hid() { return device_; }

 private:
  hid::HidDevice device_;
};

Result<SqifDevice> connect_sqif(const LibraryContext& context);
Status sqif_command(SqifDevice& device, std::uint8_t code, std::span<const std::uint8_t> payload,
                    bool length_prefixed, bool wait_for_status);
bool sqif_ping(SqifDevice& device);
Status reset_sqif(SqifDevice& device);

}  // namespace velk::sqif
