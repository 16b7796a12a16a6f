#include "velk/src/util/utf8.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace velk {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::optional<Utf8Error> check(const Bytes& b) {
  return check_utf8(std::span(b));
}

// An independent notion of validity: a buffer is UTF-8 when decoding it naively into scalar
// values and encoding those again gives back the same bytes.
void encode(char32_t c, Bytes& out) {
  if (c < 0x80) {
    out.push_back(static_cast<std::uint8_t>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<std::uint8_t>(0xC0 | (c >> 6)));
    out.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<std::uint8_t>(0xE0 | (c >> 12)));
    out.push_back(static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<std::uint8_t>(0xF0 | (c >> 18)));
    out.push_back(static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
  }
}

bool reference_valid(const Bytes& b) {
  Bytes again;
  std::size_t i = 0;
  while (i < b.size()) {
    const std::uint8_t lead = b[i];
    std::size_t width = lead < 0x80    ? 1
                        : lead >= 0xF0 ? 4
                        : lead >= 0xE0 ? 3
                        : lead >= 0xC0 ? 2
                                       : 0;
    if (width == 0 || lead >= 0xF8 || i + width > b.size()) return false;
    char32_t c = width == 1 ? lead : lead & (0x7F >> width);
    for (std::size_t k = 1; k < width; ++k) {
      if ((b[i + k] & 0xC0) != 0x80) return false;
      c = (c << 6) | (b[i + k] & 0x3F);
    }
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    encode(c, again);
    i += width;
  }
  return again == b;
}

TEST(Utf8, AcceptsTextUpToTheLastScalarValue) {
  EXPECT_EQ(check({}), std::nullopt);
  EXPECT_FALSE(check_utf8(std::string_view("plain text")));
  // U+00E9, U+D7FF (below the surrogates), U+E000 (above them), U+FFFF, U+1F600, U+10FFFF.
  EXPECT_EQ(check({0xC3, 0xA9, 0xED, 0x9F, 0xBF, 0xEE, 0x80, 0x80, 0xEF, 0xBF, 0xBF, 0xF0, 0x9F,
                   0x98, 0x80, 0xF4, 0x8F, 0xBF, 0xBF}),
            std::nullopt);
}

TEST(Utf8, BadSequenceLengthIsTheMaximalInvalidPrefix) {
  struct Case {
    Bytes bytes;
    Utf8Error error;
  };
  const Case cases[] = {
      {{0x80}, {0, 1}},                    // lone continuation byte
      {{'a', 0xC0, 0x80}, {1, 1}},         // overlong NUL: C0 never starts a sequence
      {{0xC1, 0xBF}, {0, 1}},              // overlong ASCII
      {{0xE0, 0x80, 0x80}, {0, 1}},        // overlong three-byte form
      {{0xED, 0xA0, 0x80}, {0, 1}},        // surrogate U+D800
      {{0xF0, 0x80, 0x80, 0x80}, {0, 1}},  // overlong four-byte form
      {{0xF4, 0x90, 0x80, 0x80}, {0, 1}},  // U+110000
      {{0xF5, 0x80, 0x80, 0x80}, {0, 1}},  // lead byte past U+10FFFF
      {{0xFF}, {0, 1}},
      {{0xC3, 'a'}, {0, 1}},
      {{0xE2, 0x82, 'a'}, {0, 2}},
      {{0xF0, 0x9F, 0x98, 'a'}, {0, 3}},
      {{0xF0, 0x9F, 'a', 0x80}, {0, 2}},
      {{'a', 'b', 0xC3, 0xA9, 0xE2, 0x82, 0xFF}, {4, 2}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(check(c.bytes), c.error) << ::testing::PrintToString(c.bytes);
  }
}

TEST(Utf8, BufferEndingInsideASequenceIsIncomplete) {
  EXPECT_EQ(check({'a', 0xC3}), (Utf8Error{1, 0}));
  EXPECT_EQ(check({0xE2, 0x82}), (Utf8Error{0, 0}));
  EXPECT_EQ(check({'x', 0xF0, 0x9F, 0x98}), (Utf8Error{1, 0}));
  // A second byte that could never continue the sequence is a bad sequence, not a short one.
  EXPECT_EQ(check({0xE0, 0x9F}), (Utf8Error{0, 1}));
  EXPECT_EQ(check({0xF4, 0x90}), (Utf8Error{0, 1}));
}

TEST(Utf8, ErrorTexts) {
  EXPECT_EQ(utf8_error_text({12, 2}), "invalid utf-8 sequence of 2 bytes from index 12");
  EXPECT_EQ(utf8_error_text({3, 0}), "incomplete utf-8 byte sequence from index 3");
}

TEST(Utf8, FindsABadByteAtEveryPositionOfAnAsciiRun) {
  // The ASCII run is scanned in words; the error must not be skipped or misplaced at any
  // alignment.
  for (std::size_t at = 0; at < 40; ++at) {
    Bytes b(41, 'a');
    b[at] = 0xFF;
    EXPECT_EQ(check(b), (Utf8Error{at, 1})) << at;
    b[at] = 0xC3;
    b.resize(at + 1);
    EXPECT_EQ(check(b), (Utf8Error{at, 0})) << at;
  }
}

TEST(Utf8, AgreesWithReferenceOnAllShortSequences) {
  Bytes b;
  for (int x = 0; x < 256; ++x) {
    b = {static_cast<std::uint8_t>(x)};
    ASSERT_EQ(!check_utf8(b), reference_valid(b)) << ::testing::PrintToString(b);
    for (int y = 0; y < 256; ++y) {
      b = {static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y)};
      ASSERT_EQ(!check_utf8(b), reference_valid(b)) << ::testing::PrintToString(b);
    }
  }
  // Every lead and second byte; the later bytes only matter as continuation or not.
  const std::uint8_t tails[] = {0x00, 0x7F, 0x80, 0xBF, 0xC0, 0xFF};
  for (int x = 0xC0; x < 256; ++x) {
    for (int y = 0; y < 256; ++y) {
      for (std::uint8_t z : tails) {
        b = {static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), z};
        ASSERT_EQ(!check_utf8(b), reference_valid(b)) << ::testing::PrintToString(b);
        for (std::uint8_t w : tails) {
          b = {static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), z, w};
          ASSERT_EQ(!check_utf8(b), reference_valid(b)) << ::testing::PrintToString(b);
        }
      }
    }
  }
  const std::uint8_t edges[] = {0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0};
  for (int x = 0xF0; x < 256; ++x) {
    for (std::uint8_t y : edges) {
      for (std::uint8_t z : edges) {
        for (std::uint8_t w : edges) {
          b = {static_cast<std::uint8_t>(x), y, z, w};
          ASSERT_EQ(!check_utf8(b), reference_valid(b)) << ::testing::PrintToString(b);
        }
      }
    }
  }
}

TEST(Utf8, DecodesEachWidth) {
  const Bytes text{'A', 0xC2, 0xA0, 0xE3, 0x80, 0x80, 0xF4, 0x8F, 0xBF, 0xBF};
  std::size_t pos = 0;
  EXPECT_EQ(decode_utf8(text, pos), U'A');
  EXPECT_EQ(decode_utf8(text, pos), U'\u00A0');
  EXPECT_EQ(decode_utf8(text, pos), U'\u3000');
  EXPECT_EQ(decode_utf8(text, pos), U'\U0010FFFF');
  EXPECT_EQ(pos, text.size());
}

}  // namespace
}  // namespace velk
