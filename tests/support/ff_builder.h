// FF images for tests, fuzz seeds and benchmarks, record by record: 64-byte headers with
// big-endian fields (end, start in 16-bit words, length, check, marker 0xEE, command) and the
// data of data records.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "velk/src/device/dsp/crc16.h"
#include "velk/src/util/byte_order.h"

namespace velk::testing {

struct FfRecord {
  std::uint8_t command;
  std::uint32_t start;   // word address
  std::uint32_t length;  // bytes for data and CRC records, words for erase records
  std::vector<std::uint8_t> body;
};

// A data record at a byte address.
inline FfRecord ff_data(std::uint32_t byte_address, std::vector<std::uint8_t> body) {
  return {0x14, byte_address / 2, static_cast<std::uint32_t>(body.size()), std::move(body)};
}

// An erase record of a byte range.
inline FfRecord ff_erase(std::uint32_t byte_address, std::uint32_t byte_length) {
  return {0x21, byte_address / 2, byte_length / 2, {}};
}

inline void append_ff(std::vector<std::uint8_t>& out, const FfRecord& r, std::uint16_t check = 0) {
  const std::size_t at = out.size();
  out.resize(at + 64, 0);
  store_be32(out, at + 0, (2 * r.start + r.length) / 2);  // the consistency field, modulo 2^32
  store_be32(out, at + 12, r.start);
  store_be32(out, at + 16, r.length);
  store_be32(out, at + 20, check);
  out[at + 62] = 0xEE;
  out[at + 63] = r.command;
  out.insert(out.end(), r.body.begin(), r.body.end());
}

inline std::vector<std::uint8_t> ff_image(std::initializer_list<FfRecord> records) {
  std::vector<std::uint8_t> out;
  for (const FfRecord& r : records) append_ff(out, r);
  return out;
}

// A data record under the CRC record that covers it (its header and data).
inline void append_ff_checked(std::vector<std::uint8_t>& out, std::uint32_t byte_address,
                              std::vector<std::uint8_t> body) {
  std::vector<std::uint8_t> data;
  append_ff(data, ff_data(byte_address, std::move(body)));
  append_ff(out, {0x15, 0, static_cast<std::uint32_t>(data.size()), {}}, dsp::swapped_crc16(data));
  out.insert(out.end(), data.begin(), data.end());
}

}  // namespace velk::testing
