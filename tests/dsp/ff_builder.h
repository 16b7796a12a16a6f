// FF images for the operation tests, record by record: 64-byte headers with big-endian fields
// (end, start in 16-bit words, length, marker 0xEE, command) and the data of data records.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace velk::testing {

struct FfRecord {
  std::uint8_t command;
  std::uint32_t start;   // word address
  std::uint32_t length;  // bytes for data records, words for erase records
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

inline std::vector<std::uint8_t> ff_image(std::initializer_list<FfRecord> records) {
  std::vector<std::uint8_t> out;
  const auto put = [&out](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
  };
  for (const FfRecord& r : records) {
    const std::size_t at = out.size();
    out.resize(at + 64, 0);
    put(at + 0, (2 * r.start + r.length) / 2);  // the consistency field, modulo 2^32
    put(at + 12, r.start);
    put(at + 16, r.length);
    out[at + 62] = 0xEE;
    out[at + 63] = r.command;
    out.insert(out.end(), r.body.begin(), r.body.end());
  }
  return out;
}

}  // namespace velk::testing
