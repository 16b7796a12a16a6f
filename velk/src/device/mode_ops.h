// What each operation mode gives the connection, in one shape: its USB identity, how it opens the
// device listed under that identity, how an open connection tells that it still answers, and how
// the device is restarted from the mode. Each mode's folder declares one such set of operations;
// the connection keeps them in one table indexed by OperationMode.
#pragma once

#include <concepts>
#include <utility>

#include "lib/usb/usb.h"
#include "velk/src/c/error.h"
#include "velk/src/device/identity.h"

namespace velk {

// A device the enumeration found, with its descriptor. The libusb-side openers consume the
// reference; the HID-side openers release it and enumerate HID devices by their identity.
struct FoundDevice {
  usb::UsbDevice device;
  libusb_device_descriptor descriptor;
};

// The operations of one mode:
//   Device    the open connection object, owned by the connection while it is in the mode;
//   kIdentity the USB identity the mode shows (identity.h);
//   open      opens the found device as the mode's connection object;
//   answers   whether the device still answers on the open connection; any failure is false;
//   restart   the command that makes the device leave the mode by restarting. A failure is
//             returned only where the mode reports one.
template <class Ops>
concept ModeOps = requires(FoundDevice found, typename Ops::Device& device) {
                    { Ops::kIdentity } -> std::convertible_to<UsbIdentity>;
                    { Ops::open(std::move(found)) } -> std::same_as<Result<typename Ops::Device>>;
                    { Ops::answers(device) } -> std::same_as<bool>;
                    { Ops::restart(device) } -> std::same_as<Status>;
                  };

}  // namespace velk
