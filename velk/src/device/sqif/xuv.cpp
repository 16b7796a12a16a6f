#include "velk/src/device/sqif/xuv.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "velk/src/util/utf8.h"

namespace velk::sqif {
namespace {

// The characters with the Unicode White_Space property.
constexpr bool is_white_space(char32_t c) {
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

constexpr int hex_digit(char c) {
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

// Puts a word at `offset`, at or past the image's end, with zero fill before it.
void add_word(std::vector<std::uint8_t>& image, std::uint32_t offset, std::uint16_t value,
              XuvLayout* layout) {
  if (layout != nullptr) {
    if (layout->words++ == 0) layout->first_offset = offset;
    if (offset > image.size()) ++layout->gaps;
  }
  if (offset > image.size()) image.resize(offset);
  image.push_back(static_cast<std::uint8_t>(value >> 8));
  image.push_back(static_cast<std::uint8_t>(value));
}

Status parse_line(std::span<const std::uint8_t> line, std::vector<std::uint8_t>& image,
                  XuvLayout* layout) {
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
  add_word(image, offset, static_cast<std::uint16_t>(*value), layout);
  return {};
}

// The fast path. Nearly every line of a listing is "@address value" in ASCII, which one pass over
// its bytes parses; every other line (a "+", a long number, non-ASCII text, a wrong token count,
// a bad digit, a word out of order or past the cap) goes to parse_line, which alone reports errors.

enum ByteClass : std::uint8_t { kToken, kSpace, kLineFeed, kNonAscii };

constexpr std::array<std::uint8_t, 256> make_byte_classes() {
  std::array<std::uint8_t, 256> classes{};
  for (std::size_t b = 0; b < 256; ++b) {
    classes[b] = b >= 0x80 ? kNonAscii : is_white_space(static_cast<char32_t>(b)) ? kSpace : kToken;
  }
  classes['\n'] = kLineFeed;
  return classes;
}
constexpr std::array<std::uint8_t, 256> kByteClass = make_byte_classes();

constexpr std::array<std::uint8_t, 256> make_hex_values() {
  std::array<std::uint8_t, 256> values{};
  for (std::size_t b = 0; b < 256; ++b) {
    const int d = hex_digit(static_cast<char>(b));
    values[b] = d < 0 ? 0xFF : static_cast<std::uint8_t>(d);
  }
  return values;
}
constexpr std::array<std::uint8_t, 256> kHexValue = make_hex_values();

struct PlainLine {
  enum Kind { kWord, kBlank, kOther } kind = kOther;
  const std::uint8_t* next = nullptr;  // past the line feed
  std::uint32_t offset = 0;
  std::uint16_t value = 0;
};

// 1 to max_digits hexadecimal digits at p that end their token; p moves past them.
bool plain_hex(const std::uint8_t*& p, const std::uint8_t* end, std::ptrdiff_t max_digits,
               std::uint32_t& out) {
  const std::uint8_t* const start = p;
  const std::uint8_t* const stop = end - p > max_digits ? p + max_digits : end;
  std::uint32_t value = 0;
  for (; p < stop && kHexValue[*p] <= 0xF; ++p) value = (value << 4) | kHexValue[*p];
  if (p == start || (p < end && kByteClass[*p] == kToken)) return false;
  out = value;
  return true;
}

// The line that starts at p, up to end.
PlainLine plain_line(const std::uint8_t* p, const std::uint8_t* end) {
  const auto skip_spaces = [&] {
    while (p < end && kByteClass[*p] == kSpace) ++p;
  };
  const auto at_line_end = [&] { return p == end || *p == '\n'; };
  PlainLine line;
  skip_spaces();
  if (at_line_end()) {
    line.kind = PlainLine::kBlank;
  } else {
    std::uint32_t address = 0;
    std::uint32_t value = 0;
    if (*p != '@' || !plain_hex(++p, end, 8, address)) return line;
    skip_spaces();
    if (at_line_end() || !plain_hex(p, end, 4, value)) return line;
    skip_spaces();
    if (!at_line_end()) return line;
    line = {PlainLine::kWord, nullptr, address * 2U, static_cast<std::uint16_t>(value)};
  }
  line.next = p == end ? p : p + 1;
  return line;
}

// The image size the last line asks for, so that the image is allocated once; nothing when that
// line is not a plain word within the cap (the parse then finds out why).
std::size_t expected_size(std::span<const std::uint8_t> d) {
  std::size_t end = d.size();
  while (end > 0 && (kByteClass[d[end - 1]] == kSpace || kByteClass[d[end - 1]] == kLineFeed))
    --end;
  std::size_t start = end;
  while (start > 0 && d[start - 1] != '\n') --start;
  const PlainLine last = plain_line(d.data() + start, d.data() + end);
  if (last.kind != PlainLine::kWord || std::uint64_t{last.offset} + 2 > kMaxXuvImageSize) return 0;
  return last.offset + std::size_t{2};
}

}  // namespace

Result<std::vector<std::uint8_t>> parse_xuv(std::span<const std::uint8_t> data, XuvLayout* layout) {
  if (auto bad = check_utf8(data)) {
    return fail(ErrorKind::InvalidImage, "invalid xuv file: {}", utf8_error_text(*bad));
  }
  std::vector<std::uint8_t> image;
  image.reserve(expected_size(data));
  std::size_t pos = 0;
  const std::uint8_t* const end = data.data() + data.size();
  while (pos < data.size()) {
    const PlainLine plain = plain_line(data.data() + pos, end);
    if (plain.kind == PlainLine::kBlank ||
        (plain.kind == PlainLine::kWord && plain.offset >= image.size() &&
         std::uint64_t{plain.offset} + 2 <= kMaxXuvImageSize)) {
      if (plain.kind == PlainLine::kWord) add_word(image, plain.offset, plain.value, layout);
      pos = static_cast<std::size_t>(plain.next - data.data());
      continue;
    }
    const void* lf = std::memchr(data.data() + pos, '\n', data.size() - pos);
    const std::size_t eol =
        lf ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - data.data())
           : data.size();
    std::span<const std::uint8_t> line = data.subspan(pos, eol - pos);
    if (!line.empty() && line.back() == '\r') line = line.first(line.size() - 1);
    VELK_TRY(parse_line(line, image, layout));
    pos = eol + 1;  // past the line feed; past the end for a last line without one
  }
  return image;
}

}  // namespace velk::sqif
