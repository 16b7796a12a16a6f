// Multi-byte fields in the byte orders of the device's formats and protocols: little-endian
// (USB descriptors, HCI and BCCMD, DFU files), big-endian (FF images, loader images, xuv words,
// SQIF lengths). Loads and stores take a position in a buffer the caller has sized.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velk {

constexpr std::uint16_t load_le16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}
// Three bytes, as DFU's bwPollTimeout.
constexpr std::uint32_t load_le24(std::span<const std::uint8_t> bytes, std::size_t at) {
  return load_le16(bytes, at) | std::uint32_t{bytes[at + 2]} << 16;
}
constexpr std::uint32_t load_le32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return load_le16(bytes, at) | std::uint32_t{load_le16(bytes, at + 2)} << 16;
}
constexpr std::uint16_t load_be16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}
constexpr std::uint32_t load_be32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return std::uint32_t{load_be16(bytes, at)} << 16 | load_be16(bytes, at + 2);
}

constexpr void store_le16(std::span<std::uint8_t> bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}
constexpr void store_be16(std::span<std::uint8_t> bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value >> 8);
  bytes[at + 1] = static_cast<std::uint8_t>(value);
}
constexpr void store_be32(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value) {
  store_be16(bytes, at, static_cast<std::uint16_t>(value >> 16));
  store_be16(bytes, at + 2, static_cast<std::uint16_t>(value));
}

inline void append_le16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}
inline void append_le32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  append_le16(out, static_cast<std::uint16_t>(value));
  append_le16(out, static_cast<std::uint16_t>(value >> 16));
}
inline void append_be16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

}  // namespace velk
