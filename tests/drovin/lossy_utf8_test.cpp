#include "drovin/src/wdi/lossy_utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace drovin::wdi {
namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

std::string bytes(std::initializer_list<unsigned char> list) {
  return std::string(list.begin(), list.end());
}

TEST(LossyUtf8, WellFormedTextIsKept) {
  EXPECT_EQ(lossy_utf8(R"(USB\VID_7A11&PID_1300\5&2C8A1F3&0&2)"),
            R"(USB\VID_7A11&PID_1300\5&2C8A1F3&0&2)");
  std::string mixed = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // é, €, an emoji
  EXPECT_EQ(lossy_utf8(mixed), mixed);
  EXPECT_EQ(lossy_utf8(static_cast<const char*>(nullptr)), "");
}

TEST(LossyUtf8, EachMaximalBadSequenceBecomesOneReplacement) {
  EXPECT_EQ(lossy_utf8(bytes({'a', 0xFF, 'b'})), "a" + R + "b");
  EXPECT_EQ(lossy_utf8(bytes({0x80, 0xBF})), R + R);                 // lone continuations
  EXPECT_EQ(lossy_utf8(bytes({0xE2, 0x82, 'x'})), R + "x");          // cut three-byte sequence
  EXPECT_EQ(lossy_utf8(bytes({'x', 0xF0, 0x9F, 0x98})), "x" + R);    // cut at the end
  EXPECT_EQ(lossy_utf8(bytes({0xC3, 0xC3, 0xA9})), R + "\xC3\xA9");  // restart at a lead byte
}

TEST(LossyUtf8, OverlongSurrogateAndOutOfRangeFormsAreRejected) {
  EXPECT_EQ(lossy_utf8(bytes({0xC0, 0x80})), R + R);
  EXPECT_EQ(lossy_utf8(bytes({0xE0, 0x80, 0x80})), R + R + R);
  EXPECT_EQ(lossy_utf8(bytes({0xED, 0xA0, 0x80})), R + R + R);  // UTF-16 surrogate
  EXPECT_EQ(lossy_utf8(bytes({0xF4, 0x90, 0x80, 0x80})), R + R + R + R);
  EXPECT_EQ(lossy_utf8(bytes({0xF4, 0x8F, 0xBF, 0xBF})), bytes({0xF4, 0x8F, 0xBF, 0xBF}));
}

}  // namespace
}  // namespace drovin::wdi
