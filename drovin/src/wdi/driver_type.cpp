#include "drovin/src/wdi/driver_type.h"

namespace drovin::wdi {

std::string_view debug_name(DriverType type) {
  switch (type) {
    case DriverType::Winusb:
      return "Winusb";
    case DriverType::Libusb0:
      return "Libusb0";
    case DriverType::Libusbk:
      return "Libusbk";
    case DriverType::Cdc:
      return "Cdc";
    case DriverType::User:
      return "User";
    case DriverType::NbDrivers:
      return "NbDrivers";
  }
  return "Unknown";
}

}  // namespace drovin::wdi
