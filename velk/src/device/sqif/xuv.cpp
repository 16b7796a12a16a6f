#include "velk/src/device/sqif/xuv.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "velk/src/util/byte_order.h"
#include "velk/src/util/utf8.h"

namespace velk::sqif {
namespace {

// The characters with the Unicode White_Space property.
bool is_white_space(char32_t c) {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  if (c < 0x85) return false;
  if (c >= 0x2000 && c <= 0x200A) return true;
  constexpr std::array<char32_t, 8> kOthers{0x85,   0xA0,   0x1680, 0x2028,
                                            0x2029, 0x202F, 0x205F, 0x3000};
  return std::find(kOthers.begin(), kOthers.end(), c) != kOthers.end();
}

// A data line has two tokens; the third is only kept to know that there are too many.
struct Tokens {
  std::array<std::string_view, 3> token;
  std::size_t count = 0;
};

Tokens split(std::span<const std::uint8_t> line) {
  Tokens out;
  std::size_t pos = 0;
  std::size_t token_start = 0;
  bool in_token = false;
  while (pos < line.size() && out.count < 3) {
    const std::size_t at = pos;
    const char32_t c = decode_utf8(line, pos);
    if (is_white_space(c)) {
      if (in_token) {
        out.token[out.count++] = {reinterpret_cast<const char*>(line.data()) + token_start,
                                  at - token_start};
        in_token = false;
      }
    } else if (!in_token) {
      in_token = true;
      token_start = at;
    }
  }
  if (in_token && out.count < 3) {
    out.token[out.count++] = {reinterpret_cast<const char*>(line.data()) + token_start,
                              line.size() - token_start};
  }
  return out;
}

enum class NumberError { Empty, InvalidDigit, TooLarge };

std::string_view text(NumberError e) {
  switch (e) {
    case NumberError::Empty:
      return "cannot parse integer from empty string";
    case NumberError::InvalidDigit:
      return "invalid digit found in string";
    case NumberError::TooLarge:
      return "number too large to fit in target type";
  }
  return {};
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Hexadecimal with one optional leading "+". Digits are taken left to right, so whichever of a
// bad digit or an overflow comes first is the one reported.
std::expected<std::uint32_t, NumberError> parse_hex(std::string_view s, std::uint32_t max) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::unexpected(NumberError::Empty);
  std::uint64_t value = 0;
  for (char c : s) {
    const int d = hex_digit(c);
    if (d < 0) return std::unexpected(NumberError::InvalidDigit);
    value = value * 16 + static_cast<std::uint64_t>(d);
    if (value > max) return std::unexpected(NumberError::TooLarge);
  }
  return static_cast<std::uint32_t>(value);
}

Status parse_line(std::span<const std::uint8_t> line, std::vector<std::uint8_t>& image) {
  const Tokens t = split(line);
  if (t.count == 0) return {};
  if (t.count != 2) {
    return fail(ErrorKind::InvalidImage, "invalid line: \"{}\"",
                std::string_view(reinterpret_cast<const char*>(line.data()), line.size()));
  }
  const std::string_view address_token = t.token[0];
  const std::string_view value_token = t.token[1];
  if (address_token.front() != '@') {
    return fail(ErrorKind::InvalidImage, "invalid address: {}", address_token);
  }
  const auto address = parse_hex(address_token.substr(1), 0xFFFFFFFFU);
  if (!address) {
    return fail(ErrorKind::InvalidImage, "invalid address {}: {}", address_token,
                text(address.error()));
  }
  // Wraps for addresses of 2^31 and above, as on the 32-bit device.
  const std::uint32_t offset = *address * 2U;
  const auto value = parse_hex(value_token, 0xFFFFU);
  if (!value) {
    return fail(ErrorKind::InvalidImage, "invalid value {}: {}", value_token, text(value.error()));
  }
  if (offset < image.size())
    return fail(ErrorKind::InvalidImage, "out of order address: {:#x}", offset);
  if (std::uint64_t{offset} + 2 > kMaxXuvImageSize) {
    return fail(ErrorKind::InvalidImage,
                "image too large: offset {:#x} is beyond the {:#x}-byte limit", offset,
                kMaxXuvImageSize);
  }
  image.resize(offset);
  append_be16(image, static_cast<std::uint16_t>(*value));
  return {};
}

}  // namespace

Result<std::vector<std::uint8_t>> parse_xuv(std::span<const std::uint8_t> data) {
  if (auto bad = check_utf8(data)) {
    return fail(ErrorKind::InvalidImage, "invalid xuv file: {}", utf8_error_text(*bad));
  }
  std::vector<std::uint8_t> image;
  std::size_t pos = 0;
  while (pos < data.size()) {
    const void* lf = std::memchr(data.data() + pos, '\n', data.size() - pos);
    const std::size_t eol =
        lf ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - data.data())
           : data.size();
    std::span<const std::uint8_t> line = data.subspan(pos, eol - pos);
    if (!line.empty() && line.back() == '\r') line = line.first(line.size() - 1);
    VELK_TRY(parse_line(line, image));
    pos = eol + 1;  // past the line feed; past the end for a last line without one
  }
  return image;
}

}  // namespace velk::sqif
