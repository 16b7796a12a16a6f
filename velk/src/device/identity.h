// The device's USB identities, one per operation mode: the vendor ID and the rule its product
// ID follows. The connection recognises the mode by them; the HID loaders are opened by them.
#pragma once

#include <array>
#include <cstdint>

#include "velk/src/device/mode.h"

namespace velk {

inline constexpr std::uint16_t kTavrinVendor = 0x7A11;
inline constexpr std::uint16_t kLoaderVendor = 0x0A12;  // the chip maker's, shown by SQIF mode

enum class ProductRule : std::uint8_t { Exactly, Odd, Even };

struct UsbIdentity {
  OperationMode mode;
  std::uint16_t vendor;
  ProductRule rule;
  std::uint16_t product = 0;  // the product ID under ProductRule::Exactly

  constexpr bool matches(std::uint16_t vendor_id, std::uint16_t product_id) const {
    if (vendor_id != vendor) return false;
    switch (rule) {
      case ProductRule::Exactly:
        return product_id == product;
      case ProductRule::Odd:
        return (product_id & 1) != 0;
      case ProductRule::Even:
        return (product_id & 1) == 0;
    }
    return false;
  }
};

inline constexpr UsbIdentity kBtmIdentity{OperationMode::BTM, kTavrinVendor, ProductRule::Even};
inline constexpr UsbIdentity kDfuIdentity{OperationMode::DFU, kTavrinVendor, ProductRule::Odd};
inline constexpr UsbIdentity kSqifIdentity{OperationMode::SQIF, kLoaderVendor, ProductRule::Exactly,
                                           0x1012};
inline constexpr UsbIdentity kDspIdentity{OperationMode::DSP, kTavrinVendor, ProductRule::Exactly,
                                          0x0001};

// Tested in this order: the DSP loader's product ID is odd, yet not DFU.
inline constexpr std::array<UsbIdentity, 4> kIdentities{{
    kDspIdentity,
    kDfuIdentity,
    kBtmIdentity,
    kSqifIdentity,
}};

// The mode whose identity the IDs show; NA for any other device.
constexpr OperationMode mode_of(std::uint16_t vendor_id, std::uint16_t product_id) {
  for (const UsbIdentity& identity : kIdentities) {
    if (identity.matches(vendor_id, product_id)) return identity.mode;
  }
  return OperationMode::NA;
}

}  // namespace velk
