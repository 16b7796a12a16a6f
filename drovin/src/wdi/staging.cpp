#include "drovin/src/wdi/staging.h"

#include <fmt/format.h>

namespace drovin::wdi {

std::string staging_directory(uint16_t vendor_id, uint16_t product_id) {
  return fmt::format("usb_device_{:04x}_{:04x}", vendor_id, product_id);
}

std::string inf_file_name(std::string_view staging_directory) {
  return fmt::format("{}.inf", staging_directory);
}

}  // namespace drovin::wdi
