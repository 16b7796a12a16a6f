#include "velk/src/device/sqif/xuv.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velk::sqif {
namespace {

using Bytes = std::vector<std::uint8_t>;

Result<Bytes> parse(std::string_view text) {
  return parse_xuv(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

Bytes image(std::string_view text) {
  auto r = parse(text);
  if (!r) {
    ADD_FAILURE() << r.error().display();
    return {};
  }
  return *r;
}

std::string failure(std::string_view text) {
  auto r = parse(text);
  if (r) return "ok";
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidImage);
  return r.error().text();
}

TEST(Xuv, WordsAreBigEndianAtTwiceTheirAddress) {
  EXPECT_EQ(image("@0 1234\n@1 5678\n"), (Bytes{0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ(image("@2 ABCD"), (Bytes{0, 0, 0, 0, 0xAB, 0xCD}));
  EXPECT_EQ(image("@000010 1A2B").size(), 0x22U);
  EXPECT_EQ(image("@000010 1A2B")[0x20], 0x1A);
  // Gaps are zero-filled, not erased-flash 0xFF.
  EXPECT_EQ(image("@1 0001\n@5 0002\n"), (Bytes{0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2}));
}

// Both paths of the parse count: plain lines, and those with a "+" or tabs that take the slow one.
TEST(Xuv, LayoutCountsWordsAndGaps) {
  struct Case {
    std::string_view text;
    std::size_t words, gaps, first_offset;
  };
  for (const Case& c : {Case{"", 0, 0, 0}, Case{"@0 1\n@1 2\n", 2, 0, 0},
                        Case{"@2 1\n@3 2\n@8 3\n", 3, 2, 4}, Case{"@+2\t1\n@+8 +3", 2, 2, 4}}) {
    XuvLayout layout;
    ASSERT_TRUE(parse_xuv(
        std::span(reinterpret_cast<const std::uint8_t*>(c.text.data()), c.text.size()), &layout));
    EXPECT_EQ(layout.words, c.words) << c.text;
    EXPECT_EQ(layout.gaps, c.gaps) << c.text;
    EXPECT_EQ(layout.first_offset, c.first_offset) << c.text;
  }
}

TEST(Xuv, LinesAndBlanks) {
  EXPECT_EQ(image(""), Bytes{});
  EXPECT_EQ(image("\n\n  \t\r\n\r\n"), Bytes{});
  EXPECT_EQ(image("@0 1\r\n@1 2\r\n"), (Bytes{0, 1, 0, 2}));
  EXPECT_EQ(image("@0 1\n\n@1 2"), (Bytes{0, 1, 0, 2}));  // last line without a line feed
  // Tab, U+00A0, U+3000 and the other White_Space characters separate tokens.
  EXPECT_EQ(image("\t@0\t1\n@1\xC2\xA0"
                  "2\n@2\xE3\x80\x80"
                  "3\xE2\x80\xAF\n"),
            (Bytes{0, 1, 0, 2, 0, 3}));
  EXPECT_EQ(image("\x0B@0\x0C"
                  "1\xC2\x85\xE1\x9A\x80\n@1\xE2\x80\x8A"
                  "2\xE2\x80\xA8\xE2\x80\xA9\xE2\x81\x9F"),
            (Bytes{0, 1, 0, 2}));
}

TEST(Xuv, NonWhiteSpaceNeighboursAreNotSeparators) {
  // U+200B (zero width space) and U+180E lost White_Space; they belong to the token.
  EXPECT_EQ(failure("@0\xE2\x80\x8B"
                    "1"),
            "invalid line: \"@0\xE2\x80\x8B"
            "1\"");
  EXPECT_EQ(failure("@0 \xE1\xA0\x8E"
                    "1"),
            "invalid value \xE1\xA0\x8E"
            "1: invalid digit found in string");
}

TEST(Xuv, LineShape) {
  EXPECT_EQ(failure("@0 1 2\n"), "invalid line: \"@0 1 2\"");
  EXPECT_EQ(failure("@0\r\n"), "invalid line: \"@0\"");
  // Only one trailing carriage return goes; one before it is part of the quoted line.
  EXPECT_EQ(failure("@0\r\r\n"), "invalid line: \"@0\r\"");
  EXPECT_EQ(failure("0 1234"), "invalid address: 0");
  EXPECT_EQ(failure("1234 @0"), "invalid address: 1234");
}

TEST(Xuv, NumberSyntax) {
  EXPECT_EQ(image("@+1F 0001").size(), 0x40U);
  EXPECT_EQ(image("@0 +ffFF"), (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(image("@0000000000000 1"), (Bytes{0, 1}));  // leading zeros never overflow
  EXPECT_EQ(failure("@0x10 0001"), "invalid address @0x10: invalid digit found in string");
  EXPECT_EQ(failure("@ 0001"), "invalid address @: cannot parse integer from empty string");
  EXPECT_EQ(failure("@+ 0001"), "invalid address @+: cannot parse integer from empty string");
  EXPECT_EQ(failure("@++1 0001"), "invalid address @++1: invalid digit found in string");
  EXPECT_EQ(failure("@-1 0001"), "invalid address @-1: invalid digit found in string");
  EXPECT_EQ(failure("@100000000 0001"),
            "invalid address @100000000: number too large to fit in target type");
  EXPECT_EQ(failure("@0 10000"), "invalid value 10000: number too large to fit in target type");
  EXPECT_EQ(failure("@0 +"), "invalid value +: cannot parse integer from empty string");
  EXPECT_EQ(failure("@0 1_0"), "invalid value 1_0: invalid digit found in string");
  // Digits are read left to right: the first problem met is the one reported.
  EXPECT_EQ(failure("@0 10000g"), "invalid value 10000g: number too large to fit in target type");
  EXPECT_EQ(failure("@0 1g0000"), "invalid value 1g0000: invalid digit found in string");
  // The address is checked before the value.
  EXPECT_EQ(failure("@g zz"), "invalid address @g: invalid digit found in string");
}

TEST(Xuv, AddressesMustIncrease) {
  EXPECT_EQ(failure("@1 0001\n@1 0002\n"), "out of order address: 0x2");
  EXPECT_EQ(failure("@2 0001\n@1 0002\n"), "out of order address: 0x2");
  // The value is checked before the order.
  EXPECT_EQ(failure("@2 0001\n@1 x\n"), "invalid value x: invalid digit found in string");
}

TEST(Xuv, HighAddressesWrapToLowOffsets) {
  // 2 x 0x80000000 wraps to offset 0, 2 x 0x80000001 to 2.
  EXPECT_EQ(image("@80000000 1234\n@80000001 5678"), (Bytes{0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ(failure("@0 1\n@80000000 2"), "out of order address: 0x0");
  EXPECT_EQ(failure("@10 1\n@80000003 2"), "out of order address: 0x6");
}

TEST(Xuv, ImageSizeIsCapped) {
  const std::uint32_t last_word = kMaxXuvImageSize / 2 - 1;
  const auto at_limit = parse(fmt::format("@0 1\n@{:x} abcd\n", last_word));
  ASSERT_TRUE(at_limit) << at_limit.error().display();
  EXPECT_EQ(at_limit->size(), kMaxXuvImageSize);
  EXPECT_EQ(at_limit->back(), 0xCD);

  EXPECT_EQ(failure(fmt::format("@{:x} abcd\n", last_word + 1)),
            fmt::format("image too large: offset {:#x} is beyond the {:#x}-byte limit",
                        kMaxXuvImageSize, kMaxXuvImageSize));
  // The largest offset a 32-bit address can give: no 4 GiB allocation, no size_t wrap.
  EXPECT_EQ(failure("@7fffffff 1"),
            "image too large: offset 0xfffffffe is beyond the 0x4000000-byte limit");
  EXPECT_EQ(failure("@ffffffff 1"),
            "image too large: offset 0xfffffffe is beyond the 0x4000000-byte limit");
}

// Lines of plain ASCII words have a fast path of their own. The same listing with U+00A0 for
// every blank takes the general one, and must give the same image or the same error.
TEST(Xuv, PlainAsciiLinesParseLikeAnyOther) {
  std::uint32_t x = 7;
  const auto below = [&x](std::uint32_t n) {
    x = x * 1103515245U + 12345U;
    return (x >> 8) % n;
  };
  const auto hex = [&](std::uint32_t v, std::uint32_t extra_zeros) {
    const std::string digits = below(2) ? fmt::format("{:x}", v) : fmt::format("{:X}", v);
    return std::string(extra_zeros, '0') + digits;
  };
  for (int round = 0; round < 2000; ++round) {
    std::string ascii;
    std::string general;
    const auto blank = [&] {
      ascii += below(2) ? " " : "\t";
      general += "\xC2\xA0";
    };
    const auto text = [&](const std::string& t) {
      ascii += t;
      general += t;
    };
    std::uint32_t address = below(3);
    for (std::uint32_t line = 0, lines = 1 + below(6); line < lines; ++line) {
      if (below(8) == 0) blank();
      const std::uint32_t shape = below(40);
      // Mostly words at rising addresses, some with leading zeros; now and then a repeated or
      // falling address, one past the image cap, a sign, a bad digit, a number too large, a
      // missing or a third token.
      address += shape == 0 ? 0u - below(3) : shape == 1 ? 0x2000000 : below(3);
      std::string address_token = "@" + hex(address, below(3) == 0 ? below(10) : 0);
      if (shape == 2) address_token.insert(1, "+");
      if (shape == 3) address_token += "g";
      if (shape == 4) address_token = "@";
      if (shape == 5) address_token.erase(0, 1);
      if (shape == 11) address_token = fmt::format("@1{:08x}", address);
      std::string value_token =
          hex(shape == 6 ? 0x10000 + below(5) : below(0x10000), below(3) == 0 ? below(4) : 0);
      if (shape == 7) value_token.insert(0, "+");
      if (shape == 8) value_token += "x";
      text(address_token);
      if (shape != 9) {
        blank();
        text(value_token);
      }
      if (shape == 10) {
        blank();
        text("1");
      }
      if (below(4) == 0) blank();
      if (line + 1 < lines || below(2)) text(below(3) == 0 ? "\r\n" : "\n");
    }
    const auto plain = parse(ascii);
    const auto other = parse(general);
    ASSERT_EQ(plain.has_value(), other.has_value()) << ascii;
    if (plain) {
      ASSERT_EQ(*plain, *other) << ascii;
    } else if (plain.error().text().starts_with("invalid line: ")) {
      ASSERT_TRUE(other.error().text().starts_with("invalid line: ")) << ascii;
    } else {
      ASSERT_EQ(plain.error().text(), other.error().text()) << ascii;
    }
  }
}

TEST(Xuv, WholeBufferMustBeUtf8BeforeAnyLineIsRead) {
  EXPECT_EQ(failure("@0 1\n@1 2 \xFF\n"),
            "invalid xuv file: invalid utf-8 sequence of 1 bytes from index 10");
  EXPECT_EQ(failure("bad line\n\xE2\x82"),
            "invalid xuv file: incomplete utf-8 byte sequence from index 9");
}

}  // namespace
}  // namespace velk::sqif
