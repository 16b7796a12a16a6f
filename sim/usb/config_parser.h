// Raw configuration bytes into libusb's descriptor structs, the way libusb parses them:
// class-specific descriptors become the `extra` bytes of the configuration, interface or
// endpoint that they follow, and consecutive interface descriptors with the same number are
// the alternate settings of one interface.
#pragma once

#include <libusb.h>

#include <memory>
#include <set>
#include <vector>

#include "sim/device.h"

namespace sim::usb {

// Owns everything a libusb_config_descriptor points into.
struct ParsedConfig {
  libusb_config_descriptor config{};
  Bytes raw;
  std::vector<libusb_interface> interfaces;
  std::vector<std::vector<libusb_interface_descriptor>> settings;
  std::vector<std::vector<libusb_endpoint_descriptor>> endpoints;  // one vector per setting
};

// Null when the bytes are not a well-formed configuration (libusb: LIBUSB_ERROR_IO).
std::unique_ptr<ParsedConfig> parse_config(const Bytes& raw);

// The interface numbers a configuration offers, and its endpoint addresses.
std::set<int> interface_numbers(const Bytes& raw);
std::set<std::uint8_t> endpoint_addresses(const Bytes& raw);

}  // namespace sim::usb
