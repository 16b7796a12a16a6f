#include "velk/src/device/dsp/crc16.h"

#include <fmt/format.h>

#include <array>

#include "velk/src/c/error.h"

namespace velk::dsp {
namespace {

constexpr std::array<std::uint16_t, 256> make_table() {
  std::array<std::uint16_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i << 8;
    for (int k = 0; k < 8; ++k) c = (c & 0x8000) ? (c << 1) ^ 0x8005 : c << 1;
    table[i] = static_cast<std::uint16_t>(c);
  }
  return table;
}

constexpr std::array<std::uint16_t, 256> kTable = make_table();

std::uint16_t step(std::uint16_t crc, std::uint8_t b) {
  return static_cast<std::uint16_t>((crc << 8) ^ kTable[(crc >> 8) ^ b]);
}

}  // namespace

std::uint16_t swapped_crc16(std::span<const std::uint8_t> bytes) {
  if (bytes.size() % 2 != 0) {
    throw InternalFailure(fmt::format("swapped CRC over an odd number of bytes: {}", bytes.size()));
  }
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    crc = step(crc, bytes[i + 1]);
    crc = step(crc, bytes[i]);
  }
  return crc;
}

}  // namespace velk::dsp
