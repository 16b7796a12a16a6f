// drovin: installs the libusbK driver for the Vexo's normal and DFU identities, so that the
// velk library can reach the device through libusb in both modes. Run once per machine.

#include <fmt/format.h>

#include <array>
#include <cstdio>
#include <exception>
#include <optional>

#include "drovin/src/log/setup.h"
#include "drovin/src/wdi/install.h"
#include "drovin/src/wdi/libwdi_host.h"

namespace {

struct DeviceRow {
  drovin::wdi::UsbVendor vendor;
  drovin::wdi::UsbProduct product;
};

constexpr drovin::wdi::UsbVendor kTavrin{0x7A11, "Tavrin Systems, Inc."};

// In this order: a failure of the normal identity stops the run before the DFU identity.
constexpr std::array<DeviceRow, 2> kDevices{{
    {kTavrin, {0x1300, "Vexo"}},
    {kTavrin, {0x1301, "Vexo (DFU)"}},
}};

int fail(const std::string& message) {
  fmt::print(stderr, "ERROR: {}\n", message);
  return 1;
}

}  // namespace

int main() {
#ifdef DROVIN_TEST_BUILD
  std::fputs("drovin TEST BUILD: " DROVIN_TEST_BUILD "\n", stderr);
  std::fflush(stderr);
#endif
  try {
    drovin::log::init_from_environment();
    drovin::wdi::LibwdiLogForwarding libwdi_log;
    for (const auto& row : kDevices) {
      auto installed = drovin::wdi::install_usb_driver(drovin::wdi::DriverType::Libusbk, row.vendor,
                                                       row.product, std::nullopt);
      if (!installed) return fail(installed.error().display());
    }
    return 0;
  } catch (const std::exception& e) {
    // Only the log set-up and allocation can throw; report it like any other failure.
    return fail(drovin::wdi::InstallError::internal(e.what()).display());
  }
}
