#include "velk/src/device/dfu/dfu_file.h"

#include <array>

#include "velk/src/c/log.h"

namespace velk::dfu {
namespace {

constexpr std::string_view kTarget = "velk::device::dfu";

// Suffix fields, as offsets from the end of the file.
constexpr std::size_t kBcdDeviceFromEnd = 16;
constexpr std::size_t kIdProductFromEnd = 14;
constexpr std::size_t kIdVendorFromEnd = 12;
constexpr std::size_t kBcdDfuFromEnd = 10;
constexpr std::size_t kSignatureFromEnd = 8;
constexpr std::size_t kLengthFromEnd = 5;
constexpr std::size_t kCrcFromEnd = 4;

constexpr std::uint16_t kBcdDfu = 0x0100;
constexpr std::array<std::uint8_t, 3> kSignature{0x55, 0x46, 0x44};  // "UFD" in file order

constexpr std::array<std::uint32_t, 256> make_crc_table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320U : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = make_crc_table();

std::uint16_t le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void put_le16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

}  // namespace

std::uint32_t dfu_crc(std::span<const std::uint8_t> bytes) {
  std::uint32_t crc = 0xFFFFFFFFU;
  for (std::uint8_t b : bytes) crc = kCrcTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return crc;
}

Status check_dfu_file(std::span<const std::uint8_t> file, std::uint16_t id_vendor,
                      std::uint16_t id_product) {
  const std::size_t n = file.size();
  if (n < kDfuSuffixLength) return fail(ErrorKind::InvalidImage, "firmware image too small");
  const std::uint8_t* end = file.data() + n;

  VELK_DEBUG(kTarget, "Parsing firmware release {:x}", le16(end - kBcdDeviceFromEnd));

  // DFU mode shows the odd product ID; a file may name it or its even twin.
  const std::uint16_t file_vendor = le16(end - kIdVendorFromEnd);
  const std::uint16_t file_product = le16(end - kIdProductFromEnd) | 0x0001;
  if (file_vendor != id_vendor || file_product != id_product) {
    return fail(ErrorKind::InvalidImage,
                "firmware image does not match the device's ID: {:#x}/{:#x} != {:#x}/{:#x}",
                file_vendor, file_product, id_vendor, id_product);
  }

  const std::uint16_t bcd_dfu = le16(end - kBcdDfuFromEnd);
  if (bcd_dfu != kBcdDfu)
    return fail(ErrorKind::InvalidImage, "invalid DFU version: {:#x}", bcd_dfu);

  const std::uint8_t* sig = end - kSignatureFromEnd;
  if (sig[0] != kSignature[0] || sig[1] != kSignature[1] || sig[2] != kSignature[2]) {
    const std::uint32_t value = sig[0] | (sig[1] << 8) | (sig[2] << 16);
    return fail(ErrorKind::InvalidImage, "invalid DFU signature: {:#x}", value);
  }

  const std::uint8_t length = *(end - kLengthFromEnd);
  if (length != kDfuSuffixLength)
    return fail(ErrorKind::InvalidImage, "invalid DFU size: {:#x}", length);

  const std::uint32_t stored = le32(end - kCrcFromEnd);
  const std::uint32_t computed = dfu_crc(file.first(n - kCrcFromEnd));
  if (stored != computed) {
    return fail(ErrorKind::InvalidImage, "invalid DFU CRC: {:#x} != {:#x}", stored, computed);
  }
  return {};
}

void append_dfu_suffix(std::vector<std::uint8_t>& image, std::uint16_t id_vendor,
                       std::uint16_t id_product, std::uint16_t bcd_device) {
  image.reserve(image.size() + kDfuSuffixLength);
  put_le16(image, bcd_device);
  put_le16(image, static_cast<std::uint16_t>(id_product & 0xFFFE));
  put_le16(image, id_vendor);
  put_le16(image, kBcdDfu);
  image.insert(image.end(), kSignature.begin(), kSignature.end());
  image.push_back(static_cast<std::uint8_t>(kDfuSuffixLength));
  const std::uint32_t crc = dfu_crc(image);
  for (int shift = 0; shift < 32; shift += 8)
    image.push_back(static_cast<std::uint8_t>(crc >> shift));
}

}  // namespace velk::dfu
