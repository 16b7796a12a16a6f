// The PS record carried by every persistent-store request and answer.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "velk/src/device/btm/pskey.h"

namespace velk::btm {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes head(const PsRecord& record, std::size_t n) {
  return Bytes(record.begin(), record.begin() + n);
}

bool zero_from(const PsRecord& record, std::size_t offset) {
  for (std::size_t i = offset; i < record.size(); ++i) {
    if (record[i] != 0) return false;
  }
  return true;
}

TEST(PsRecord, ReadAsksForTheLargestValue) {
  const PsRecord record = pack_ps_read(0x02AD);
  EXPECT_EQ(head(record, 6), (Bytes{
                                 0xAD, 0x02,  // key
                                 0x76, 0x00,  // 118 words
                                 0x00, 0x00,  // stores
                             }));
  EXPECT_TRUE(zero_from(record, 6));
}

TEST(PsRecord, WriteCarriesTheWordsLittleEndian) {
  const std::array<std::uint16_t, 2> words{0x1234, 0xBEEF};
  auto record = pack_ps_write(0x0001, words);
  ASSERT_TRUE(record);
  EXPECT_EQ(head(*record, 10), (Bytes{
                                   0x01, 0x00,  // key
                                   0x02, 0x00,  // two words
                                   0x00, 0x00,  // stores
                                   0x34, 0x12,  // first word
                                   0xEF, 0xBE,  // second word
                               }));
  EXPECT_TRUE(zero_from(*record, 10));
}

TEST(PsRecord, WriteOfNothingIsAnEmptyRecord) {
  auto record = pack_ps_write(0x0042, {});
  ASSERT_TRUE(record);
  EXPECT_EQ(head(*record, 6), (Bytes{0x42, 0x00, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_TRUE(zero_from(*record, 6));
}

TEST(PsRecord, WriteLimitIs118Words) {
  std::vector<std::uint16_t> words(118, 0xFFFF);
  auto full = pack_ps_write(0x0002, words);
  ASSERT_TRUE(full);
  EXPECT_EQ((*full)[2], 118);
  EXPECT_EQ((*full)[241], 0xFF);  // the last word reaches the end of the record

  words.push_back(0);
  auto over = pack_ps_write(0x0002, words);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(over.error().text(), "supplied buffer too large: 0xee > 0xec");
}

TEST(PsRecord, ClearCarriesOnlyTheKey) {
  const PsRecord record = pack_ps_clear(0x1F2E);
  EXPECT_EQ(head(record, 2), (Bytes{0x2E, 0x1F}));
  EXPECT_TRUE(zero_from(record, 2));
}

// An answer payload: key, length word, stores, then the data words.
Bytes answer(std::uint16_t key, std::uint16_t length, const std::vector<std::uint16_t>& data,
             std::size_t size) {
  Bytes p{static_cast<std::uint8_t>(key),
          static_cast<std::uint8_t>(key >> 8),
          static_cast<std::uint8_t>(length),
          static_cast<std::uint8_t>(length >> 8),
          0x07,
          0x00};
  for (std::uint16_t w : data) {
    p.push_back(static_cast<std::uint8_t>(w));
    p.push_back(static_cast<std::uint8_t>(w >> 8));
  }
  p.resize(size, 0xEE);
  return p;
}

TEST(PsValue, StoresTheAnnouncedWordsOnly) {
  const Bytes p = answer(0x0002, 2, {0xA1B2, 0x0003}, 242);
  std::array<std::uint16_t, 4> buffer{9, 9, 9, 9};
  auto n = unpack_ps_value(0x0002, p, buffer);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 2u);
  EXPECT_EQ(buffer, (std::array<std::uint16_t, 4>{0xA1B2, 0x0003, 9, 9}));
}

TEST(PsValue, ShortAnswerHoldingTheWholeValueIsAccepted) {
  const Bytes p = answer(0x0002, 1, {0x0005}, 8);
  std::array<std::uint16_t, 1> buffer{};
  auto n = unpack_ps_value(0x0002, p, buffer);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 1u);
  EXPECT_EQ(buffer[0], 5);
}

TEST(PsValue, EmptyValueFitsAnyBuffer) {
  const Bytes p = answer(0x0002, 0, {}, 242);
  auto n = unpack_ps_value(0x0002, p, std::span<std::uint16_t>());
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 0u);
}

TEST(PsValue, TooSmallBufferIsLeftUntouched) {
  const Bytes p = answer(0x0002, 3, {1, 2, 3}, 242);
  std::array<std::uint16_t, 1> buffer{0x7777};
  auto n = unpack_ps_value(0x0002, p, buffer);
  ASSERT_FALSE(n);
  EXPECT_EQ(n.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(n.error().text(), "supplied buffer too small: 0x3 > 0x1");
  EXPECT_EQ(buffer[0], 0x7777);
}

TEST(PsValue, WrongKeyOrOverlongLengthIsADeviceError) {
  std::array<std::uint16_t, 118> buffer{};
  auto wrong_key = unpack_ps_value(0x0002, answer(0x0001, 1, {1}, 242), buffer);
  ASSERT_FALSE(wrong_key);
  EXPECT_EQ(wrong_key.error().kind(), ErrorKind::DeviceError);
  EXPECT_EQ(wrong_key.error().text(), "invalid PSKey ID: 0x1 != 0x2");

  auto too_long = unpack_ps_value(0x0002, answer(0x0002, 119, {}, 242), buffer);
  ASSERT_FALSE(too_long);
  EXPECT_EQ(too_long.error().kind(), ErrorKind::DeviceError);
  EXPECT_EQ(too_long.error().text(), "invalid PSKey length: 0xf4 > 0xf2");

  // One word more than a short answer holds.
  auto short_answer = check_ps_response(0x0002, answer(0x0002, 2, {1}, 8));
  ASSERT_FALSE(short_answer);
  EXPECT_EQ(short_answer.error().text(), "invalid PSKey length: 0xa > 0x8");
}

TEST(PsValue, KeyIsCheckedBeforeLength) {
  auto both = check_ps_response(0x0002, answer(0x0003, 0xFFFF, {}, 242));
  ASSERT_FALSE(both);
  EXPECT_EQ(both.error().text(), "invalid PSKey ID: 0x3 != 0x2");
}

TEST(PsValue, RoundTripThroughAWriteRecord) {
  const std::vector<std::uint16_t> words{0x0000, 0xFFFF, 0x8001, 0x00FF, 0xFF00};
  auto record = pack_ps_write(0x0123, words);
  ASSERT_TRUE(record);
  std::vector<std::uint16_t> back(words.size());
  auto n = unpack_ps_value(0x0123, *record, back);
  ASSERT_TRUE(n);
  EXPECT_EQ(back, words);
}

}  // namespace
}  // namespace velk::btm
