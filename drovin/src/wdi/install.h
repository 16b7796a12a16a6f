#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

#include "drovin/src/log/filter.h"
#include "drovin/src/wdi/driver_type.h"
#include "drovin/src/wdi/install_error.h"

namespace drovin::wdi {

struct UsbVendor {
  uint16_t id;
  std::string_view name;
};

struct UsbProduct {
  uint16_t id;
  std::string_view name;
};

// Prepares the driver package for the device in ./usb_device_<vid>_<pid> and installs it
// for every connected device that matches, or once for the device while it is unplugged
// so that Windows picks the driver when it appears. With an interface number the device is
// one interface of a composite device.
std::expected<void, InstallError> install_usb_driver(DriverType driver_type, UsbVendor vendor,
                                                     UsbProduct product,
                                                     std::optional<uint8_t> interface_number);

// libwdi's log level (enum wdi_log_level) for the log's most verbose level.
int wdi_log_level_for(log::Level level);

}  // namespace drovin::wdi
