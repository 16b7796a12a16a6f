#include "lib/usb/usb.h"

#include <limits>

namespace velk::usb {

Result<std::size_t> check(int code) {
  if (code < 0) return std::unexpected<Error>(usb_error_from_code(code));
  return static_cast<std::size_t>(code);
}

std::vector<const libusb_interface_descriptor*> settings_of_class(
    std::span<const libusb_interface> interfaces, std::uint8_t interface_class,
    std::uint8_t interface_subclass) {
  std::vector<const libusb_interface_descriptor*> found;
  for (const libusb_interface& interface : interfaces) {
    for (const libusb_interface_descriptor& setting : settings(interface)) {
      if (setting.bInterfaceClass == interface_class &&
          setting.bInterfaceSubClass == interface_subclass) {
        found.push_back(&setting);
      }
    }
  }
  return found;
}

ConfigDescriptor::~ConfigDescriptor() {
  if (descriptor_ != nullptr) libusb_free_config_descriptor(descriptor_);
}

UsbDevice::UsbDevice(libusb_device* device) : device_(libusb_ref_device(device)) {}

UsbDevice::~UsbDevice() {
  if (device_ != nullptr) libusb_unref_device(device_);
}

Result<libusb_device_descriptor> UsbDevice::device_descriptor() const {
  libusb_device_descriptor descriptor{};
  VELK_TRY(check(libusb_get_device_descriptor(device_, &descriptor)));
  return descriptor;
}

Result<ConfigDescriptor> UsbDevice::config_descriptor(std::uint8_t index) const {
  libusb_config_descriptor* descriptor = nullptr;
  VELK_TRY(check(libusb_get_config_descriptor(device_, index, &descriptor)));
  return ConfigDescriptor(descriptor);
}

Result<UsbDeviceHandle> UsbDevice::open() const {
  libusb_device_handle* handle = nullptr;
  VELK_TRY(check(libusb_open(device_, &handle)));
  UsbDeviceHandle owned(handle);
  // A kernel driver bound to an interface we claim (Linux) is detached by the claim and bound
  // again when we release it. Windows has no such call and needs none.
  if (int code = libusb_set_auto_detach_kernel_driver(handle, 1);
      code < 0 && code != LIBUSB_ERROR_NOT_SUPPORTED) {
    return std::unexpected<Error>(usb_error_from_code(code));
  }
  return owned;
}

Result<UsbDeviceList> UsbDeviceList::get(libusb_context* context) {
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(context, &list);
  if (count < 0) return std::unexpected<Error>(usb_error_from_code(static_cast<int>(count)));
  return UsbDeviceList(list, static_cast<std::size_t>(count));
}

UsbDeviceList::~UsbDeviceList() {
  if (list_ != nullptr) libusb_free_device_list(list_, 1);
}

UsbDeviceHandle::~UsbDeviceHandle() {
  if (handle_ == nullptr) return;
  for (std::size_t number = 0; number < claimed_.size(); ++number) {
    if (claimed_.test(number)) (void)libusb_release_interface(handle_, static_cast<int>(number));
  }
  libusb_close(handle_);
}

Status UsbDeviceHandle::claim_interface(std::uint8_t number) {
  VELK_TRY(check(libusb_claim_interface(handle_, number)));
  claimed_.set(number);
  return {};
}

Status UsbDeviceHandle::reset() {
  VELK_TRY(check(libusb_reset_device(handle_)));
  return {};
}

namespace {

// libusb takes 16-bit lengths; our buffers never come near that.
std::uint16_t length16(std::size_t size) {
  if (size > std::numeric_limits<std::uint16_t>::max())
    throw InternalFailure("control transfer too long");
  return static_cast<std::uint16_t>(size);
}

int length_int(std::size_t size) {
  if (size > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    throw InternalFailure("transfer too long");
  return static_cast<int>(size);
}

}  // namespace

Result<std::size_t> UsbDeviceHandle::read_control(std::uint8_t request_type, std::uint8_t request,
                                                  std::uint16_t value, std::uint16_t index,
                                                  std::span<std::uint8_t> buffer,
                                                  std::chrono::milliseconds timeout) {
  if ((request_type & 0x80) == 0) return std::unexpected<Error>(UsbError::InvalidParam);
  return check(libusb_control_transfer(handle_, request_type, request, value, index, buffer.data(),
                                       length16(buffer.size()), libusb_timeout(timeout)));
}

Result<std::size_t> UsbDeviceHandle::write_control(std::uint8_t request_type, std::uint8_t request,
                                                   std::uint16_t value, std::uint16_t index,
                                                   std::span<const std::uint8_t> data,
                                                   std::chrono::milliseconds timeout) {
  if ((request_type & 0x80) != 0) return std::unexpected<Error>(UsbError::InvalidParam);
  // libusb's signature is not const-correct; an OUT transfer only reads the buffer.
  return check(libusb_control_transfer(handle_, request_type, request, value, index,
                                       const_cast<std::uint8_t*>(data.data()),
                                       length16(data.size()), libusb_timeout(timeout)));
}

Result<std::size_t> UsbDeviceHandle::read_interrupt(std::uint8_t endpoint,
                                                    std::span<std::uint8_t> buffer,
                                                    std::chrono::milliseconds timeout) {
  if ((endpoint & 0x80) == 0) return std::unexpected<Error>(UsbError::InvalidParam);
  int transferred = 0;
  int code = libusb_interrupt_transfer(handle_, endpoint, buffer.data(), length_int(buffer.size()),
                                       &transferred, libusb_timeout(timeout));
  // An interrupted transfer that delivered data still delivered it; a timeout never counts.
  if (code == 0 || (code == LIBUSB_ERROR_INTERRUPTED && transferred > 0)) {
    return static_cast<std::size_t>(transferred);
  }
  return std::unexpected<Error>(usb_error_from_code(code));
}

}  // namespace velk::usb
