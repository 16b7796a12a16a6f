// libusb functions beyond the library's own imports, for preloading into independent clients
// such as dfu-util: every libusb function such a client imports must resolve here, so that
// nothing falls through to the real libusb with one of our objects. Those a DFU client needs
// work; the rest fail with LIBUSB_ERROR_NOT_SUPPORTED.
#include <libusb.h>

#include <algorithm>
#include <cstdarg>

#include "sim/bus.h"
#include "sim/usb/config_parser.h"
#include "sim/usb/objects.h"

using namespace sim;

extern "C" {

const char* LIBUSB_CALL libusb_error_name(int code) {
  switch (code) {
    case LIBUSB_SUCCESS:
      return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
    case LIBUSB_ERROR_IO:
      return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM:
      return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS:
      return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE:
      return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND:
      return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY:
      return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT:
      return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW:
      return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE:
      return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED:
      return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM:
      return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER:
      return "LIBUSB_ERROR_OTHER";
    default:
      return "**UNKNOWN**";
  }
}

const char* LIBUSB_CALL libusb_strerror(int code) {
  return libusb_error_name(code);
}

const struct libusb_version* LIBUSB_CALL libusb_get_version(void) {
  static const libusb_version version{1, 0, 26, 0, "-velk-sim", "virtual device"};
  return &version;
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability) {
  return capability == LIBUSB_CAP_HAS_CAPABILITY ? 1 : 0;
}

int LIBUSB_CALL libusb_set_option(libusb_context* /*ctx*/, enum libusb_option option, ...) {
  // Logging options are accepted and ignored; the simulator keeps its own request log.
  return option == LIBUSB_OPTION_LOG_LEVEL ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_SUPPORTED;
}

void LIBUSB_CALL libusb_set_debug(libusb_context* /*ctx*/, int /*level*/) {}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* dev) {
  auto guard = bus().lock();
  return usb::valid(dev) ? dev->bus_number : 0;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) {
  auto guard = bus().lock();
  return usb::valid(dev) ? dev->address : 0;
}

uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device* dev) {
  auto guard = bus().lock();
  return usb::valid(dev) ? dev->port : 0;
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* port_numbers,
                                        int port_numbers_len) {
  auto guard = bus().lock();
  if (!usb::valid(dev) || port_numbers_len < 1) return LIBUSB_ERROR_OVERFLOW;
  port_numbers[0] = dev->port;
  return 1;
}

int LIBUSB_CALL libusb_get_device_speed(libusb_device* /*dev*/) {
  return LIBUSB_SPEED_FULL;
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* h) {
  auto guard = bus().lock();
  return usb::valid(h) ? h->device : nullptr;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* h, int* config) {
  auto guard = bus().lock();
  if (!usb::valid(h)) return LIBUSB_ERROR_INVALID_PARAM;
  auto parsed = usb::parse_config(h->device->config);
  *config = parsed ? parsed->config.bConfigurationValue : 0;
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* h, int configuration) {
  auto guard = bus().lock();
  if (!usb::valid(h)) return LIBUSB_ERROR_INVALID_PARAM;
  auto parsed = usb::parse_config(h->device->config);
  if (!parsed) return LIBUSB_ERROR_IO;
  if (configuration == -1 || configuration == parsed->config.bConfigurationValue)
    return LIBUSB_SUCCESS;
  return LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* dev,
                                                    libusb_config_descriptor** config) {
  return libusb_get_config_descriptor(dev, 0, config);
}

int LIBUSB_CALL libusb_get_config_descriptor_by_value(libusb_device* dev, uint8_t value,
                                                      libusb_config_descriptor** config) {
  const int r = libusb_get_config_descriptor(dev, 0, config);
  if (r != LIBUSB_SUCCESS) return r;
  if ((*config)->bConfigurationValue == value) return LIBUSB_SUCCESS;
  libusb_free_config_descriptor(*config);
  *config = nullptr;
  return LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle* h, int interface_number,
                                                 int alternate_setting) {
  auto guard = bus().lock();
  if (!usb::valid(h)) return LIBUSB_ERROR_INVALID_PARAM;
  if (bus().attachment(h->device->attachment) == nullptr) return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number < 0 || interface_number >= 256 ||
      !h->claimed.test(static_cast<std::size_t>(interface_number))) {
    return LIBUSB_ERROR_NOT_FOUND;
  }
  auto parsed = usb::parse_config(h->device->config);
  if (!parsed) return LIBUSB_ERROR_IO;
  for (const auto& settings : parsed->settings) {
    for (const auto& s : settings) {
      if (s.bInterfaceNumber == interface_number && s.bAlternateSetting == alternate_setting)
        return LIBUSB_SUCCESS;
    }
  }
  return LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* h, unsigned char /*endpoint*/) {
  auto guard = bus().lock();
  if (!usb::valid(h)) return LIBUSB_ERROR_INVALID_PARAM;
  return bus().attachment(h->device->attachment) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

// The kernel-driver calls as Linux's libusb answers them: an interface claimed through usbfs
// counts as having no kernel driver, and attaching needs a driver that matches.
namespace {

int driver_call_check(libusb_device_handle* h, int interface_number) {
  if (!usb::valid(h)) return LIBUSB_ERROR_INVALID_PARAM;
  if (interface_number < 0 || interface_number >= usb::kMaxInterfaces)
    return LIBUSB_ERROR_INVALID_PARAM;
  if (bus().attachment(h->device->attachment) == nullptr) return LIBUSB_ERROR_NO_DEVICE;
  return LIBUSB_SUCCESS;
}

// Detaching and attaching name an interface the configuration has (the kernel: EINVAL).
int existing_interface_check(libusb_device_handle* h, int interface_number) {
  if (int r = driver_call_check(h, interface_number); r != LIBUSB_SUCCESS) return r;
  return bus().bindings(h->device->attachment)->has(interface_number) ? LIBUSB_SUCCESS
                                                                      : LIBUSB_ERROR_INVALID_PARAM;
}

}  // namespace

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle* h, int interface_number) {
  auto guard = bus().lock();
  if (int r = driver_call_check(h, interface_number); r != LIBUSB_SUCCESS) return r;
  return bus().driver(h->device->attachment, interface_number).empty() ? 0 : 1;
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* h, int interface_number) {
  auto guard = bus().lock();
  if (int r = existing_interface_check(h, interface_number); r != LIBUSB_SUCCESS) return r;
  if (bus().driver(h->device->attachment, interface_number).empty()) return LIBUSB_ERROR_NOT_FOUND;
  bus().bindings(h->device->attachment)->unbind(interface_number);
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle* h, int interface_number) {
  auto guard = bus().lock();
  if (int r = existing_interface_check(h, interface_number); r != LIBUSB_SUCCESS) return r;
  switch (bus().bindings(h->device->attachment)->probe(interface_number)) {
    case Bindings::Probe::Bound:
      return LIBUSB_SUCCESS;
    case Bindings::Probe::Busy:
      return LIBUSB_ERROR_BUSY;
    case Bindings::Probe::NoDriver:
      break;
  }
  return LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* h, uint8_t index,
                                                   unsigned char* data, int length) {
  if (index == 0) return LIBUSB_ERROR_INVALID_PARAM;
  unsigned char raw[255];
  int r = libusb_control_transfer(h, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                  LIBUSB_DT_STRING << 8, 0, raw, sizeof raw, 1000);
  if (r < 4) return r < 0 ? r : LIBUSB_ERROR_IO;
  const uint16_t language = static_cast<uint16_t>(raw[2] | (raw[3] << 8));
  r = libusb_control_transfer(h, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                              static_cast<uint16_t>((LIBUSB_DT_STRING << 8) | index), language, raw,
                              sizeof raw, 1000);
  if (r < 0) return r;
  if (r < 2 || raw[1] != LIBUSB_DT_STRING || raw[0] > r) return LIBUSB_ERROR_IO;
  int n = 0;
  for (int i = 2; i + 1 < raw[0] && n < length - 1; i += 2) {
    data[n++] = (raw[i + 1] != 0 || raw[i] > 0x7F) ? '?' : raw[i];
  }
  if (length > 0) data[n] = 0;
  return n;
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* ctx,
                                                                  uint16_t vendor_id,
                                                                  uint16_t product_id) {
  libusb_device** list = nullptr;
  if (libusb_get_device_list(ctx, &list) < 0) return nullptr;
  libusb_device_handle* h = nullptr;
  for (auto** d = list; *d != nullptr; ++d) {
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(*d, &desc) == 0 && desc.idVendor == vendor_id &&
        desc.idProduct == product_id) {
      if (libusb_open(*d, &h) != 0) h = nullptr;
      break;
    }
  }
  libusb_free_device_list(list, 1);
  return h;
}

int LIBUSB_CALL libusb_get_max_packet_size(libusb_device* /*dev*/, unsigned char /*endpoint*/) {
  return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* /*h*/, unsigned char /*endpoint*/,
                                     unsigned char* /*data*/, int /*length*/, int* actual_length,
                                     unsigned int /*timeout*/) {
  if (actual_length != nullptr) *actual_length = 0;
  return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_handle_events(libusb_context* /*ctx*/) {
  return LIBUSB_ERROR_NOT_SUPPORTED;
}

}  // extern "C"
