#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace drovin::wdi {

// The directory, relative to the current one, that libwdi writes the driver package into,
// e.g. "usb_device_7a11_1300".
std::string staging_directory(uint16_t vendor_id, uint16_t product_id);

// The package's INF file name, e.g. "usb_device_7a11_1300.inf".
std::string inf_file_name(std::string_view staging_directory);

}  // namespace drovin::wdi
