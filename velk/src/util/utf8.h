// UTF-8 validation for host-supplied text: xuv images, log and dump paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velk {

// Where a buffer stops being UTF-8. The rules are the strict ones: no overlong forms, no
// surrogates, nothing above U+10FFFF.
struct Utf8Error {
  // Length of the prefix that is valid text.
  std::size_t valid_up_to = 0;
  // Length of the maximal invalid prefix of the bad sequence (1 to 3), or 0 when the buffer
  // ends inside a sequence that could still have been completed.
  std::uint8_t error_len = 0;

  bool incomplete() const { return error_len == 0; }
  friend bool operator==(const Utf8Error&, const Utf8Error&) = default;
};

// The first error in `bytes`, or nothing when all of it is UTF-8.
std::optional<Utf8Error> check_utf8(std::span<const std::uint8_t> bytes);
std::optional<Utf8Error> check_utf8(std::string_view text);

// "invalid utf-8 sequence of 1 bytes from index 3" or "incomplete utf-8 byte sequence from
// index 3"; the numbers are decimal.
std::string utf8_error_text(const Utf8Error& error);

// Decodes the code point that starts at `pos` and moves `pos` past it. `text` must have passed
// check_utf8 and `pos` must be the start of a sequence before its end.
char32_t decode_utf8(std::span<const std::uint8_t> text, std::size_t& pos);

}  // namespace velk
