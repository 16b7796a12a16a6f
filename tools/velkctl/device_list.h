// `velkctl list`: the attached devices with one of the Vexo's identities, found through the
// library's own access layer and identity table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "velk/src/c/error.h"
#include "velk/src/device/mode.h"

namespace velkctl {

struct ListedDevice {
  velk::OperationMode mode;
  std::uint16_t vendor;
  std::uint16_t product;
  std::uint8_t bus;
  std::string ports;       // "1.4.2"
  std::string open_error;  // why it cannot be opened, or empty
  bool access_denied = false;
};

velk::Result<std::vector<ListedDevice>> list_devices();

}  // namespace velkctl
