// USB descriptors from plain structs: what a device model returns from device_descriptor() and
// config_descriptor(), and the answers to the standard GET_DESCRIPTOR request.
//
//   sim::ConfigSpec config{.interfaces = {
//       {.number = 0, .cls = 0xFF, .subclass = 0x01,
//        .endpoints = {{.address = 0x81, .attributes = sim::kInterrupt, .max_packet = 16}}},
//       {.number = 1, .cls = 0xFE, .subclass = 0x01, .extra = dfu_functional}}};
//   sim::Bytes raw = sim::build_config(config);
#pragma once

#include <libusb.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "sim/device.h"

namespace sim {

// bmAttributes transfer types.
inline constexpr std::uint8_t kControl = 0x00;
inline constexpr std::uint8_t kIsochronous = 0x01;
inline constexpr std::uint8_t kBulk = 0x02;
inline constexpr std::uint8_t kInterrupt = 0x03;

struct EndpointSpec {
  std::uint8_t address = 0x81;  // bit 7 set: In
  std::uint8_t attributes = kInterrupt;
  std::uint16_t max_packet = 64;
  std::uint8_t interval = 1;
  Bytes extra{};  // class-specific descriptors that follow the endpoint
};

struct InterfaceSpec {
  std::uint8_t number = 0;
  std::uint8_t alternate = 0;
  std::uint8_t cls = 0xFF;
  std::uint8_t subclass = 0;
  std::uint8_t protocol = 0;
  std::uint8_t string_index = 0;
  std::vector<EndpointSpec> endpoints{};
  Bytes extra{};  // class-specific descriptors between the interface and its endpoints
};

struct ConfigSpec {
  std::uint8_t value = 1;
  std::uint8_t attributes = 0x80;  // bus powered
  std::uint8_t max_power = 50;     // 100 mA
  std::vector<InterfaceSpec> interfaces{};
  Bytes extra{};  // class-specific descriptors between the configuration and the first interface
};

struct DeviceSpec {
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  std::uint16_t bcd_device = 0x0100;
  std::uint16_t bcd_usb = 0x0200;
  std::uint8_t cls = 0;
  std::uint8_t subclass = 0;
  std::uint8_t protocol = 0;
  std::uint8_t max_packet0 = 64;
  std::uint8_t manufacturer_index = 0;
  std::uint8_t product_index = 0;
  std::uint8_t serial_index = 0;
};

libusb_device_descriptor make_device_descriptor(const DeviceSpec& spec);
// The 18 wire bytes of a device descriptor.
Bytes device_descriptor_bytes(const libusb_device_descriptor& descriptor);
// Configuration, interface, endpoint and extra descriptors in wire order; wTotalLength and
// bNumInterfaces (distinct interface numbers) are filled in.
Bytes build_config(const ConfigSpec& spec);
// A string descriptor (UTF-16LE); index 0 is the language list, normally {0x0409}.
Bytes string_descriptor(std::u16string_view text);
Bytes language_descriptor(std::span<const std::uint16_t> languages);

// Answers GET_DESCRIPTOR (device, configuration, string) and GET_CONFIGURATION the way a
// device's control endpoint does, truncated to wLength. None for any other request, so a model can
// fall back to it:
//   if (auto n = sim::standard_request(setup, data, device_descriptor(), config_descriptor(),
//   strings)) return *n;
// strings[i] is string index i + 1.
std::optional<int> standard_request(const ControlSetup& setup, std::span<std::uint8_t> data,
                                    const libusb_device_descriptor& device, const Bytes& config,
                                    std::span<const std::u16string> strings = {});

}  // namespace sim
