#include "velk/src/device/dfu/dfu_file.h"

#include <zlib.h>

#include <algorithm>
#include <array>

#include "velk/src/c/log.h"
#include "velk/src/device/mode.h"
#include "velk/src/util/byte_order.h"

namespace velk::dfu {
namespace {

constexpr std::uint16_t kBcdDfu = 0x0100;
constexpr std::array<std::uint8_t, 3> kSignature{0x55, 0x46, 0x44};  // "UFD" in file order

}  // namespace

std::uint32_t dfu_crc(std::span<const std::uint8_t> bytes, std::uint32_t preceding) {
  // zlib's CRC-32 is the same register with its final inversion; the suffix stores it without.
  // (zlib answers 0 for a null buffer, whatever it continues.)
  if (bytes.empty()) return preceding;
  return ~static_cast<std::uint32_t>(crc32_z(~preceding, bytes.data(), bytes.size()));
}

Status check_dfu_file(std::span<const std::uint8_t> file, std::uint16_t id_vendor,
                      std::uint16_t id_product) {
  if (file.size() < kDfuSuffixLength)
    return fail(ErrorKind::InvalidImage, "firmware image too small");
  // The suffix's fields in file order, each at its offset in the suffix.
  const auto suffix = file.last(kDfuSuffixLength);

  VELK_DEBUG(kDfuLogTarget, "Parsing firmware release {:x}", load_le16(suffix, /*bcdDevice*/ 0));

  // DFU mode shows the odd product ID; a file may name it or its even twin.
  const std::uint16_t file_product = load_le16(suffix, /*idProduct*/ 2) | 0x0001;
  const std::uint16_t file_vendor = load_le16(suffix, /*idVendor*/ 4);
  if (file_vendor != id_vendor || file_product != id_product) {
    return fail(ErrorKind::InvalidImage,
                "firmware image does not match the device's ID: {:#x}/{:#x} != {:#x}/{:#x}",
                file_vendor, file_product, id_vendor, id_product);
  }

  const std::uint16_t bcd_dfu = load_le16(suffix, /*bcdDFU*/ 6);
  if (bcd_dfu != kBcdDfu)
    return fail(ErrorKind::InvalidImage, "invalid DFU version: {:#x}", bcd_dfu);

  const auto signature = suffix.subspan(/*ucDfuSignature*/ 8, kSignature.size());
  if (!std::equal(signature.begin(), signature.end(), kSignature.begin())) {
    return fail(ErrorKind::InvalidImage, "invalid DFU signature: {:#x}", load_le24(signature, 0));
  }

  const std::uint8_t length = suffix[/*bLength*/ 11];
  if (length != kDfuSuffixLength)
    return fail(ErrorKind::InvalidImage, "invalid DFU size: {:#x}", length);

  // The CRC covers everything before itself, the rest of the suffix included.
  const std::uint32_t stored = load_le32(suffix, /*dwCRC*/ 12);
  const std::uint32_t computed = dfu_crc(file.first(file.size() - 4));
  if (stored != computed) {
    return fail(ErrorKind::InvalidImage, "invalid DFU CRC: {:#x} != {:#x}", stored, computed);
  }
  return {};
}

void append_dfu_suffix(std::vector<std::uint8_t>& image, std::uint16_t id_vendor,
                       std::uint16_t id_product, std::uint16_t bcd_device,
                       std::uint32_t preceding) {
  image.reserve(image.size() + kDfuSuffixLength);
  append_le16(image, bcd_device);
  append_le16(image, static_cast<std::uint16_t>(id_product & 0xFFFE));
  append_le16(image, id_vendor);
  append_le16(image, kBcdDfu);
  image.insert(image.end(), kSignature.begin(), kSignature.end());
  image.push_back(static_cast<std::uint8_t>(kDfuSuffixLength));
  append_le32(image, dfu_crc(image, preceding));
}

}  // namespace velk::dfu
