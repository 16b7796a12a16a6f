#include "velk/src/device/dsp/loader_image.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/log_capture.h"

namespace velk::dsp {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put_be16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 8);
  b[at + 1] = static_cast<std::uint8_t>(v);
}

// n bytes of type `type` with `headers` header entries; links are set by the test.
Bytes image(std::size_t n, std::uint16_t type = 0x09A5, std::uint16_t headers = 0) {
  Bytes b(n, 0x5A);
  put_be16(b, 0, type);
  put_be16(b, 28, headers);
  return b;
}

// Checks the image and returns what it logged, or "ok".
std::string verdict(const Bytes& b) {
  velk::testing::LogCapture log;
  const bool ok = check_loader_image(b);
  const std::string text = log.text();
  if (ok) return text.empty() ? "ok" : "ok but logged " + text;
  const auto at = text.find("[ERROR] ");
  return at == std::string::npos ? "rejected silently" : text.substr(at + 8);
}

TEST(LoaderImage, SmallestImageHasItsEndLinkRightAfterTheHeader) {
  for (std::uint16_t type : {0x09A4, 0x09A5, 0x09A6}) {
    Bytes b = image(52, type);
    put_be16(b, 30, 0);  // 30 = 52 - 22
    EXPECT_EQ(verdict(b), "ok") << type;
  }
}

TEST(LoaderImage, Rejections) {
  EXPECT_EQ(verdict(Bytes(51, 0)), "Image too small: 0x33\n");
  Bytes b = image(52, 0x09A7);
  put_be16(b, 30, 0);
  EXPECT_EQ(verdict(b), "Unsupported image type: 0x9a7\n");

  // A zero link anywhere but 22 bytes before the end.
  b = image(60);
  put_be16(b, 30, 0);
  EXPECT_EQ(verdict(b), "Link list ended prematurely\n");
  // ... or after that point: 30 + 10 = 40 lies past 60 - 22.
  put_be16(b, 30, 1);
  put_be16(b, 40, 0);
  EXPECT_EQ(verdict(b), "Link list ended prematurely\n");

  // The first link jumps past the end.
  b = image(52);
  put_be16(b, 30, 1);  // ((2 + 10) & ~7) + 2 = 10 bytes on: 40, then on past 52
  put_be16(b, 40, 100);
  EXPECT_EQ(verdict(b), "Unexpected EOF\n");
}

TEST(LoaderImage, FollowsHeaderEntriesAndLinks) {
  // One header entry: the chain starts at 34; a link of 3 moves ((6 + 10) & ~7) + 2 = 18 bytes.
  Bytes b = image(74, 0x09A4, 1);
  put_be16(b, 34, 3);
  put_be16(b, 52, 0);  // 52 = 74 - 22
  EXPECT_EQ(verdict(b), "ok");
  // The same chain in an image one byte longer misses the end by one.
  b.push_back(0);
  put_be16(b, 53, 0);
  EXPECT_EQ(verdict(b), "Link list ended prematurely\n");
}

TEST(LoaderImage, LinkWordCutByTheEnd) {
  // The chain lands on the last byte: only half a link word is left.
  Bytes b = image(53, 0x09A5, 1);
  put_be16(b, 34, 3);  // 34 + 18 = 52 = n - 1
  EXPECT_EQ(verdict(b), "Unexpected EOF\n");
}

TEST(LoaderImage, LargestHeaderCountAndLinksStayInBounds) {
  Bytes b = image(64, 0x09A6, 0xFFFF);
  EXPECT_EQ(verdict(b), "Unexpected EOF\n");
  b = image(64);
  put_be16(b, 30, 0xFFFF);
  EXPECT_EQ(verdict(b), "Unexpected EOF\n");
}

}  // namespace
}  // namespace velk::dsp
