// What the two loaders spoken to through HID share: SQIF and DSP mode each hold an open hidapi
// device, as a type of its own, found under the mode's USB identity.
#pragma once

#include <utility>

#include "lib/hid/src/manager/hid.h"
#include "velk/src/c/error.h"
#include "velk/src/device/identity.h"
#include "velk/src/device/mode.h"

namespace velk {

template <OperationMode kMode>
class HidLoader {
 public:
  explicit HidLoader(hid::HidDevice device) : device_(std::move(device)) {}
  hid::HidDevice& hid() { return device_; }

 private:
  hid::HidDevice device_;
};

// Opens the first HID device with the identity's IDs; hidapi must have been started
// (LibraryContext). Without one it is an EnumerationError, "<mode> device not found".
Result<hid::HidDevice> open_hid_loader(const UsbIdentity& identity);

}  // namespace velk
