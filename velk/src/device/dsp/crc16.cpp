#include "velk/src/device/dsp/crc16.h"

#include <fmt/format.h>

#include <array>

#include "velk/src/c/error.h"

namespace velk::dsp {
namespace {

// Slicing by 16: kTables[k][v] is the register after byte v followed by k zero bytes, so one step
// folds sixteen bytes with sixteen independent look-ups instead of a chain of sixteen.
constexpr std::size_t kSlice = 16;
using Tables = std::array<std::array<std::uint16_t, 256>, kSlice>;

constexpr Tables make_tables() {
  Tables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i << 8;
    for (int k = 0; k < 8; ++k) c = (c & 0x8000) ? (c << 1) ^ 0x8005 : c << 1;
    t[0][i] = static_cast<std::uint16_t>(c);
  }
  for (std::size_t k = 1; k < kSlice; ++k) {
    for (std::size_t i = 0; i < 256; ++i) {
      const std::uint16_t prev = t[k - 1][i];
      t[k][i] = static_cast<std::uint16_t>((prev << 8) ^ t[0][prev >> 8]);
    }
  }
  return t;
}

constexpr Tables kTables = make_tables();

std::uint16_t step(std::uint16_t crc, std::uint8_t b) {
  return static_cast<std::uint16_t>((crc << 8) ^ kTables[0][(crc >> 8) ^ b]);
}

// Sixteen bytes of the run, fed pairwise swapped: p[1] p[0] p[3] p[2] ... The register only
// reaches the first two bytes fed.
std::uint16_t step16(std::uint16_t crc, const std::uint8_t* p) {
  const auto& t = kTables;
  return static_cast<std::uint16_t>(
      t[15][p[1] ^ (crc >> 8)] ^ t[14][p[0] ^ (crc & 0xFF)] ^ t[13][p[3]] ^ t[12][p[2]] ^
      t[11][p[5]] ^ t[10][p[4]] ^ t[9][p[7]] ^ t[8][p[6]] ^ t[7][p[9]] ^ t[6][p[8]] ^ t[5][p[11]] ^
      t[4][p[10]] ^ t[3][p[13]] ^ t[2][p[12]] ^ t[1][p[15]] ^ t[0][p[14]]);
}

}  // namespace

std::uint16_t swapped_crc16(std::span<const std::uint8_t> bytes) {
  if (bytes.size() % 2 != 0) {
    throw InternalFailure(fmt::format("swapped CRC over an odd number of bytes: {}", bytes.size()));
  }
  std::uint16_t crc = 0;
  const std::uint8_t* p = bytes.data();
  std::size_t left = bytes.size();
  for (; left >= kSlice; left -= kSlice, p += kSlice) crc = step16(crc, p);
  for (; left > 0; left -= 2, p += 2) {
    crc = step(crc, p[1]);
    crc = step(crc, p[0]);
  }
  return crc;
}

}  // namespace velk::dsp
