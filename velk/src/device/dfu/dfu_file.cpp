#include "velk/src/device/dfu/dfu_file.h"

#include <zlib.h>

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

Result<DfuSuffix> read_dfu_suffix(std::span<const std::uint8_t> file) {
  if (file.size() < kDfuSuffixLength)
    return fail(ErrorKind::InvalidImage, "firmware image too small");
  // The suffix's fields in file order, each at its offset in the suffix.
  const auto suffix = file.last(kDfuSuffixLength);
  return DfuSuffix{.bcd_device = load_le16(suffix, 0),
                   .id_product = load_le16(suffix, 2),
                   .id_vendor = load_le16(suffix, 4),
                   .bcd_dfu = load_le16(suffix, 6),
                   .signature = {suffix[8], suffix[9], suffix[10]},
                   .length = suffix[11],
                   .crc = load_le32(suffix, 12)};
}

Status check_dfu_file(std::span<const std::uint8_t> file, std::uint16_t id_vendor,
                      std::uint16_t id_product) {
  VELK_TRY_ASSIGN(suffix, read_dfu_suffix(file));
  VELK_DEBUG(kDfuLogTarget, "Parsing firmware release {:x}", suffix.bcd_device);

  // DFU mode shows the odd product ID; a file may name it or its even twin.
  const std::uint16_t file_product = suffix.id_product | 0x0001;
  if (suffix.id_vendor != id_vendor || file_product != id_product) {
    return fail(ErrorKind::InvalidImage,
                "firmware image does not match the device's ID: {:#x}/{:#x} != {:#x}/{:#x}",
                suffix.id_vendor, file_product, id_vendor, id_product);
  }
  if (suffix.bcd_dfu != kBcdDfu)
    return fail(ErrorKind::InvalidImage, "invalid DFU version: {:#x}", suffix.bcd_dfu);
  if (suffix.signature != kSignature) {
    return fail(ErrorKind::InvalidImage, "invalid DFU signature: {:#x}",
                load_le24(suffix.signature, 0));
  }
  if (suffix.length != kDfuSuffixLength)
    return fail(ErrorKind::InvalidImage, "invalid DFU size: {:#x}", suffix.length);

  // The CRC covers everything before itself, the rest of the suffix included.
  const std::uint32_t computed = dfu_crc(file.first(file.size() - 4));
  if (suffix.crc != computed) {
    return fail(ErrorKind::InvalidImage, "invalid DFU CRC: {:#x} != {:#x}", suffix.crc, computed);
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
