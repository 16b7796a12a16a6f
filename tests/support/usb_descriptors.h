// Descriptors for the tests of the code that reads them: a configuration written by the
// simulator's descriptor builder and parsed the way libusb parses it, and the DFU functional
// descriptor.
#pragma once

#include <libusb.h>

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "sim/descriptors.h"
#include "sim/usb/config_parser.h"

namespace velk::testing {

// The 9 class-specific bytes of a DFU 1.1 functional descriptor.
inline sim::Bytes dfu_functional(std::uint8_t attributes, std::uint16_t detach_timeout,
                                 std::uint16_t transfer_size = 1024) {
  const auto lo = [](std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFF); };
  const auto hi = [](std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); };
  return {0x09,
          0x21,
          attributes,
          lo(detach_timeout),
          hi(detach_timeout),
          lo(transfer_size),
          hi(transfer_size),
          0x10,
          0x01};
}

// A configuration as libusb_get_config_descriptor hands it over. Consecutive settings with the
// same interface number are that interface's alternate settings, numbered in order.
class Config {
 public:
  explicit Config(std::vector<sim::InterfaceSpec> settings = {}) {
    for (std::size_t i = 1; i < settings.size(); ++i) {
      if (settings[i].number == settings[i - 1].number) {
        settings[i].alternate = static_cast<std::uint8_t>(settings[i - 1].alternate + 1);
      }
    }
    parsed_ = sim::usb::parse_config(sim::build_config({.interfaces = std::move(settings)}));
    if (!parsed_) throw std::invalid_argument("not a well-formed configuration");
  }

  std::span<const libusb_interface> interfaces() const { return parsed_->interfaces; }

 private:
  std::unique_ptr<sim::usb::ParsedConfig> parsed_;
};

}  // namespace velk::testing
