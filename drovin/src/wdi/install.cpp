#include "drovin/src/wdi/install.h"

#include <libwdi.h>

#include <string>

#include "drovin/src/log/setup.h"
#include "drovin/src/wdi/libwdi_host.h"
#include "drovin/src/wdi/lossy_utf8.h"
#include "drovin/src/wdi/staging.h"

namespace drovin::wdi {

namespace {

// How long libwdi waits for another installation that is still running.
constexpr UINT32 kPendingInstallTimeoutMs = 5 * 60 * 1000;

// A libwdi call's result, once the lines libwdi logged during the call are in the log.
int logged(int rc) {
  flush_libwdi_log();
  return rc;
}

// libwdi takes its texts as NUL-terminated, non-const strings.
std::expected<std::string, InstallError> c_string(std::string_view text, std::string_view what) {
  if (text.find('\0') != std::string_view::npos) {
    return std::unexpected(InstallError::internal(fmt::format("Invalid {}: {}", what, text)));
  }
  return std::string(text);
}

wdi_device_info device_info(UsbVendor vendor, UsbProduct product, std::string& desc,
                            std::optional<uint8_t> interface_number) {
  wdi_device_info info{};  // next, driver, the IDs and upper_filter null; driver_version 0
  info.vid = vendor.id;
  info.pid = product.id;
  info.is_composite = interface_number ? TRUE : FALSE;
  info.mi = interface_number.value_or(0);
  info.desc = desc.data();
  return info;
}

bool matches(const wdi_device_info& entry, const wdi_device_info& device) {
  return entry.vid == device.vid && entry.pid == device.pid &&
         (entry.is_composite != FALSE) == (device.is_composite != FALSE) && entry.mi == device.mi;
}

// Releases libwdi's device list however the walk ends.
class DeviceList {
 public:
  explicit DeviceList(wdi_device_info* head) : head_(head) {}
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;
  ~DeviceList() { wdi_destroy_list(head_); }

  wdi_device_info* head() const { return head_; }

 private:
  wdi_device_info* head_;
};

}  // namespace

int wdi_log_level_for(log::Level level) {
  switch (level) {
    case log::Level::off:
      return WDI_LOG_LEVEL_NONE;
    case log::Level::critical:
    case log::Level::err:
      return WDI_LOG_LEVEL_ERROR;
    case log::Level::warn:
      return WDI_LOG_LEVEL_WARNING;
    case log::Level::info:
      return WDI_LOG_LEVEL_INFO;
    case log::Level::debug:
    case log::Level::trace:
    case log::Level::n_levels:
      break;
  }
  return WDI_LOG_LEVEL_DEBUG;
}

std::expected<void, InstallError> install_usb_driver(DriverType driver_type, UsbVendor vendor,
                                                     UsbProduct product,
                                                     std::optional<uint8_t> interface_number) {
  auto log = log::wdi_logger();
  std::string staging = staging_directory(vendor.id, product.id);
  std::string inf_name = inf_file_name(staging);
  std::string directory = libwdi_directory(staging);

  if (int rc = logged(wdi_set_log_level(wdi_log_level_for(log::max_level()))); rc != WDI_SUCCESS) {
    return std::unexpected(InstallError::libwdi("wdi_set_log_level", rc));
  }
  log->info("Preparing driver {} for USB device {:04x}:{:04x}", debug_name(driver_type), vendor.id,
            product.id);

  auto vendor_name = c_string(vendor.name, "vendor name");
  if (!vendor_name) return std::unexpected(vendor_name.error());
  auto product_name = c_string(product.name, "product name");
  if (!product_name) return std::unexpected(product_name.error());

  wdi_device_info prepare_info = device_info(vendor, product, *product_name, interface_number);
  wdi_options_prepare_driver prepare_options{};
  prepare_options.driver_type = static_cast<int>(driver_type);
  prepare_options.vendor_name = vendor_name->data();
  prepare_options.device_guid = nullptr;  // libwdi generates one
  prepare_options.disable_cat = FALSE;
  prepare_options.disable_signing = FALSE;
  prepare_options.cert_subject = nullptr;
  prepare_options.use_wcid_driver = FALSE;
  if (int rc = logged(
          wdi_prepare_driver(&prepare_info, directory.data(), inf_name.data(), &prepare_options));
      rc != WDI_SUCCESS) {
    return std::unexpected(InstallError::libwdi("wdi_prepare_driver", rc));
  }

  log->info("Installing {}", product.name);
  // A fresh description and device info: libwdi was free to change the ones it was given.
  std::string install_desc = *product_name;
  wdi_device_info device = device_info(vendor, product, install_desc, interface_number);

  wdi_options_create_list list_options{};
  list_options.list_all = TRUE;
  list_options.list_hubs = TRUE;
  list_options.trim_whitespaces = TRUE;
  wdi_options_install_driver install_options{};
  install_options.hWnd = nullptr;
  install_options.install_filter_driver = FALSE;
  install_options.pending_install_timeout = kPendingInstallTimeoutMs;

  log->trace("Enumerating connected devices");
  wdi_device_info* head = nullptr;
  if (int rc = logged(wdi_create_list(&head, &list_options)); rc != WDI_SUCCESS) {
    return std::unexpected(InstallError::libwdi("wdi_create_list", rc));
  }
  DeviceList list(head);

  bool found = false;
  for (const wdi_device_info* entry = list.head(); entry != nullptr; entry = entry->next) {
    if (entry->is_composite) {
      log->trace("Examining device {:04x}:{:04x}.{}", entry->vid, entry->pid, entry->mi);
    } else {
      log->trace("Examining device {:04x}:{:04x}", entry->vid, entry->pid);
    }
    if (!matches(*entry, device)) continue;

    log->info("Installing Hardware ID: \"{}\", Device ID: \"{}\"", lossy_utf8(entry->hardware_id),
              lossy_utf8(entry->device_id));
    device.device_id = entry->device_id;
    device.hardware_id = entry->hardware_id;
    if (int rc = logged(
            wdi_install_driver(&device, directory.data(), inf_name.data(), &install_options));
        rc != WDI_SUCCESS) {
      return std::unexpected(InstallError::libwdi("wdi_install_driver", rc));
    }
    found = true;
  }

  if (!found) {
    // Windows keeps the package and binds it when the device is plugged in later.
    log->info("Installing driver for a disconnected device");
    if (int rc = logged(
            wdi_install_driver(&device, directory.data(), inf_name.data(), &install_options));
        rc != WDI_SUCCESS) {
      return std::unexpected(InstallError::libwdi("wdi_install_driver", rc));
    }
  }
  return {};
}

}  // namespace drovin::wdi
