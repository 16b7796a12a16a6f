#include "velk/src/util/utf8.h"

#include <fmt/format.h>

#include <cstring>

namespace velk {
namespace {

bool is_continuation(std::uint8_t b) {
  return (b & 0xC0) == 0x80;
}

// Skips the run of ASCII bytes at `i`, eight at a time where it can.
std::size_t skip_ascii(std::span<const std::uint8_t> s, std::size_t i) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  while (s.size() - i >= 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, sizeof word);
    if (word & kHighBits) break;
    i += 8;
  }
  while (i < s.size() && s[i] < 0x80) ++i;
  return i;
}

}  // namespace

std::optional<Utf8Error> check_utf8(std::span<const std::uint8_t> s) {
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    if (s[i] < 0x80) {
      i = skip_ascii(s, i);
      continue;
    }
    const std::size_t start = i;
    const std::uint8_t lead = s[i];
    std::size_t width;
    // Allowed range of the second byte; the narrowed ones exclude overlong forms (E0, F0),
    // surrogates (ED) and code points above U+10FFFF (F4).
    std::uint8_t lo = 0x80;
    std::uint8_t hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      width = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      width = 3;
      if (lead == 0xE0) lo = 0xA0;
      if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      width = 4;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;
    } else {
      return Utf8Error{start, 1};
    }
    for (std::size_t k = 1; k < width; ++k) {
      if (start + k >= n) return Utf8Error{start, 0};
      const std::uint8_t b = s[start + k];
      const bool ok = k == 1 ? (b >= lo && b <= hi) : is_continuation(b);
      if (!ok) return Utf8Error{start, static_cast<std::uint8_t>(k)};
    }
    i = start + width;
  }
  return std::nullopt;
}

std::optional<Utf8Error> check_utf8(std::string_view text) {
  return check_utf8(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::string utf8_error_text(const Utf8Error& error) {
  if (error.incomplete()) {
    return fmt::format("incomplete utf-8 byte sequence from index {}", error.valid_up_to);
  }
  return fmt::format("invalid utf-8 sequence of {} bytes from index {}", error.error_len,
                     error.valid_up_to);
}

char32_t decode_utf8(std::span<const std::uint8_t> text, std::size_t& pos) {
  const std::uint8_t lead = text[pos];
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  std::size_t width = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  char32_t cp = lead & (0x7F >> width);
  for (std::size_t k = 1; k < width; ++k) cp = (cp << 6) | (text[pos + k] & 0x3F);
  pos += width;
  return cp;
}

}  // namespace velk
