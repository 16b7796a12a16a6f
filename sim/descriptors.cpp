#include "sim/descriptors.h"

#include <algorithm>
#include <set>

namespace sim {

namespace {

constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kGetConfiguration = 0x08;
constexpr std::size_t kConfigurationValue = 5;  // bConfigurationValue in the configuration

void put16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

int copy_out(std::span<std::uint8_t> data, const Bytes& bytes) {
  const std::size_t n = std::min(data.size(), bytes.size());
  std::copy_n(bytes.begin(), n, data.begin());
  return static_cast<int>(n);
}

}  // namespace

libusb_device_descriptor make_device_descriptor(const DeviceSpec& s) {
  libusb_device_descriptor d{};
  d.bLength = LIBUSB_DT_DEVICE_SIZE;
  d.bDescriptorType = LIBUSB_DT_DEVICE;
  d.bcdUSB = s.bcd_usb;
  d.bDeviceClass = s.cls;
  d.bDeviceSubClass = s.subclass;
  d.bDeviceProtocol = s.protocol;
  d.bMaxPacketSize0 = s.max_packet0;
  d.idVendor = s.vendor;
  d.idProduct = s.product;
  d.bcdDevice = s.bcd_device;
  d.iManufacturer = s.manufacturer_index;
  d.iProduct = s.product_index;
  d.iSerialNumber = s.serial_index;
  d.bNumConfigurations = 1;
  return d;
}

Bytes device_descriptor_bytes(const libusb_device_descriptor& d) {
  Bytes out{LIBUSB_DT_DEVICE_SIZE, LIBUSB_DT_DEVICE};
  put16(out, d.bcdUSB);
  out.insert(out.end(), {d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol, d.bMaxPacketSize0});
  put16(out, d.idVendor);
  put16(out, d.idProduct);
  put16(out, d.bcdDevice);
  out.insert(out.end(), {d.iManufacturer, d.iProduct, d.iSerialNumber, d.bNumConfigurations});
  return out;
}

Bytes build_config(const ConfigSpec& spec) {
  std::set<std::uint8_t> numbers;
  for (const auto& i : spec.interfaces) numbers.insert(i.number);

  Bytes out{LIBUSB_DT_CONFIG_SIZE,
            LIBUSB_DT_CONFIG,
            0,
            0,
            static_cast<std::uint8_t>(numbers.size()),
            spec.value,
            0,
            spec.attributes,
            spec.max_power};
  // Room for a typical configuration up front. Besides saving reallocations, this keeps GCC 12
  // at -O3 from warning falsely about the growth of a vector built from a list (PR 107852).
  out.reserve(256);
  out.insert(out.end(), spec.extra.begin(), spec.extra.end());
  for (const auto& i : spec.interfaces) {
    out.insert(out.end(), {LIBUSB_DT_INTERFACE_SIZE, LIBUSB_DT_INTERFACE, i.number, i.alternate,
                           static_cast<std::uint8_t>(i.endpoints.size()), i.cls, i.subclass,
                           i.protocol, i.string_index});
    out.insert(out.end(), i.extra.begin(), i.extra.end());
    for (const auto& e : i.endpoints) {
      out.insert(out.end(), {LIBUSB_DT_ENDPOINT_SIZE, LIBUSB_DT_ENDPOINT, e.address, e.attributes});
      put16(out, e.max_packet);
      out.push_back(e.interval);
      out.insert(out.end(), e.extra.begin(), e.extra.end());
    }
  }
  out[2] = static_cast<std::uint8_t>(out.size() & 0xFF);
  out[3] = static_cast<std::uint8_t>(out.size() >> 8);
  return out;
}

Bytes string_descriptor(std::u16string_view text) {
  Bytes out{static_cast<std::uint8_t>(2 + 2 * text.size()), LIBUSB_DT_STRING};
  for (char16_t c : text) put16(out, static_cast<std::uint16_t>(c));
  return out;
}

Bytes language_descriptor(std::span<const std::uint16_t> languages) {
  Bytes out{static_cast<std::uint8_t>(2 + 2 * languages.size()), LIBUSB_DT_STRING};
  for (auto l : languages) put16(out, l);
  return out;
}

std::optional<int> standard_request(const ControlSetup& setup, std::span<std::uint8_t> data,
                                    const libusb_device_descriptor& device, const Bytes& config,
                                    std::span<const std::u16string> strings) {
  if (setup.request_type != 0x80) return std::nullopt;
  auto out = data.first(std::min<std::size_t>(data.size(), setup.length));
  // The host configured the device as it joined the bus.
  if (setup.request == kGetConfiguration && config.size() > kConfigurationValue)
    return copy_out(out, Bytes{config[kConfigurationValue]});
  if (setup.request != kGetDescriptor) return std::nullopt;
  const std::uint8_t type = static_cast<std::uint8_t>(setup.value >> 8);
  const std::uint8_t index = static_cast<std::uint8_t>(setup.value & 0xFF);
  switch (type) {
    case LIBUSB_DT_DEVICE:
      return copy_out(out, device_descriptor_bytes(device));
    case LIBUSB_DT_CONFIG:
      if (index != 0) return LIBUSB_ERROR_PIPE;
      return copy_out(out, config);
    case LIBUSB_DT_STRING:
      if (index == 0) {
        const std::uint16_t english = 0x0409;
        return copy_out(out, language_descriptor(std::span(&english, 1)));
      }
      if (index > strings.size()) return LIBUSB_ERROR_PIPE;
      return copy_out(out, string_descriptor(strings[index - 1]));
    default:
      return LIBUSB_ERROR_PIPE;
  }
}

}  // namespace sim
