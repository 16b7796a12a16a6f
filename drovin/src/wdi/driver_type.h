#pragma once

#include <string_view>

namespace drovin::wdi {

// libwdi's driver numbers (enum wdi_driver_type).
enum class DriverType : int {
  Winusb = 0,
  Libusb0 = 1,
  Libusbk = 2,
  Cdc = 3,
  User = 4,
  NbDrivers = 5,
};

// The name printed in log lines, e.g. "Libusbk".
std::string_view debug_name(DriverType type);

}  // namespace drovin::wdi
