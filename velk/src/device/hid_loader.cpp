#include "velk/src/device/hid_loader.h"

namespace velk {

Result<hid::HidDevice> open_hid_loader(const UsbIdentity& identity) {
  auto list = hid::hid_devices(identity.vendor, identity.product);
  if (list.empty()) {
    return fail(ErrorKind::EnumerationError, "{} device not found", mode_name(identity.mode));
  }
  return hid::HidDeviceList::open(*list.first());
}

}  // namespace velk
