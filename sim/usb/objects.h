// The objects behind libusb's opaque pointers. Only the libusb front end and the bus see them.
#pragma once

#include <libusb.h>

#include <bitset>
#include <cstdint>

#include "sim/device.h"

struct libusb_context {
  int magic = 0;
};

// One libusb device: a counted reference to one attachment. It keeps the identity read at
// plug time, so descriptors stay readable after the device is gone, as with libusb's cache.
struct libusb_device {
  std::uint64_t attachment = 0;
  std::uint8_t bus_number = 0;
  std::uint8_t port = 0;
  std::uint8_t address = 0;
  libusb_device_descriptor descriptor{};
  sim::Bytes config;
  int refs = 1;       // everyone's: the front end while plugged, open handles, the caller
  int user_refs = 0;  // the caller's share, to catch an unreference too many
};

struct libusb_device_handle {
  libusb_device* device = nullptr;  // holds a reference
  std::bitset<256> claimed;  // libusb's own note of the claims, kept after the device is gone
  // libusb_set_auto_detach_kernel_driver: claims detach a bound kernel driver, releases give
  // the interface back to it.
  bool auto_detach = false;
};

namespace sim::usb {

// Whether the pointers are objects that the front end handed out and that are still alive.
bool valid(libusb_device* device);
bool valid(libusb_device_handle* handle);

// libusb handles interface numbers below 32 only (USB_MAXINTERFACES in its sources).
inline constexpr int kMaxInterfaces = 32;

}  // namespace sim::usb
