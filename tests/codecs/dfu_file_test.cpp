#include "velk/src/device/dfu/dfu_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/log_capture.h"

namespace velk::dfu {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kVendor = 0x0A12;
constexpr std::uint16_t kDfuProduct = 0xFFFF;  // DFU-mode IDs are odd

Bytes bytes_of(std::string_view s) {
  return {s.begin(), s.end()};
}

// A file for kVendor/kDfuProduct with a correct CRC, built field by field.
Bytes make_file(const Bytes& image, std::uint16_t product = 0xFFFE, std::uint16_t bcd_dfu = 0x0100,
                Bytes signature = {0x55, 0x46, 0x44}, std::uint8_t length = 16) {
  Bytes f = image;
  f.insert(f.end(), {0xA2, 0x01,  // bcdDevice 0x01a2
                     static_cast<std::uint8_t>(product), static_cast<std::uint8_t>(product >> 8),
                     0x12, 0x0A,  // idVendor
                     static_cast<std::uint8_t>(bcd_dfu), static_cast<std::uint8_t>(bcd_dfu >> 8)});
  f.insert(f.end(), signature.begin(), signature.end());
  f.push_back(length);
  const std::uint32_t crc = dfu_crc(f);
  for (int s = 0; s < 32; s += 8) f.push_back(static_cast<std::uint8_t>(crc >> s));
  return f;
}

std::string failure(const Bytes& file, std::uint16_t vendor = kVendor,
                    std::uint16_t product = kDfuProduct) {
  auto r = check_dfu_file(file, vendor, product);
  if (r) return "ok";
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidImage);
  return r.error().text();
}

TEST(DfuCrc, IsTheUninvertedIsoHdlcCrc) {
  EXPECT_EQ(dfu_crc({}), 0xFFFFFFFFU);
  // The standard CRC-32 check value of "123456789" is 0xCBF43926; the suffix stores its inverse.
  EXPECT_EQ(dfu_crc(bytes_of("123456789")), ~0xCBF43926U);
  EXPECT_EQ(dfu_crc(bytes_of("The quick brown fox jumps over the lazy dog")), ~0x414FA339U);
}

TEST(DfuCrc, ContinuesOverPieces) {
  EXPECT_EQ(dfu_crc(bytes_of("56789"), dfu_crc(bytes_of("1234"))), ~0xCBF43926U);
  EXPECT_EQ(dfu_crc({}, 0x12345678U), 0x12345678U);
}

TEST(DfuFile, LengthBoundary) {
  EXPECT_EQ(failure(Bytes(15, 0)), "firmware image too small");
  EXPECT_EQ(failure({}), "firmware image too small");
  EXPECT_EQ(failure(make_file({})), "ok");  // a suffix alone: an empty image
}

TEST(DfuFile, ProductIdMayHaveBitZeroClearedButNothingElse) {
  // The device shows p + 1 in DFU mode; files naming p and p + 1 fit it, p + 2 does not.
  constexpr std::uint16_t p = 0x1010;
  EXPECT_EQ(failure(make_file({1, 2}, p), kVendor, p + 1), "ok");
  EXPECT_EQ(failure(make_file({1, 2}, p + 1), kVendor, p + 1), "ok");
  EXPECT_EQ(failure(make_file({1, 2}, p + 2), kVendor, p + 1),
            "firmware image does not match the device's ID: 0xa12/0x1013 != 0xa12/0x1011");
  // No wildcard IDs, and the vendor must match exactly.
  EXPECT_EQ(failure(make_file({}, 0xFFFF), kVendor, 0x1011),
            "firmware image does not match the device's ID: 0xa12/0xffff != 0xa12/0x1011");
  EXPECT_EQ(failure(make_file({}), 0x0A13),
            "firmware image does not match the device's ID: 0xa12/0xffff != 0xa13/0xffff");
}

TEST(DfuFile, SuffixFieldsAreCheckedInOrderBeforeTheCrc) {
  EXPECT_EQ(failure(make_file({}, 0xFFFE, 0x011A)), "invalid DFU version: 0x11a");
  EXPECT_EQ(failure(make_file({}, 0xFFFE, 0x0100, {0x44, 0x46, 0x55})),
            "invalid DFU signature: 0x554644");
  EXPECT_EQ(failure(make_file({}, 0xFFFE, 0x0100, {0x55, 0x46, 0x45})),
            "invalid DFU signature: 0x454655");
  EXPECT_EQ(failure(make_file({}, 0xFFFE, 0x0100, {0x55, 0x46, 0x44}, 0x14)),
            "invalid DFU size: 0x14");
  // A wrong ID wins over a wrong version, and a wrong version over a wrong signature.
  EXPECT_EQ(failure(make_file({}, 0x1234, 0x0200, {0, 0, 0})),
            "firmware image does not match the device's ID: 0xa12/0x1235 != 0xa12/0xffff");
  EXPECT_EQ(failure(make_file({}, 0xFFFE, 0x0200, {0, 0, 0}, 0)), "invalid DFU version: 0x200");
}

TEST(DfuFile, AnyChangedImageByteFailsTheCrcWithStoredThenComputed) {
  const Bytes good = make_file(bytes_of("firmware"));
  const std::uint32_t stored = dfu_crc(std::span(good).first(good.size() - 4));
  for (std::size_t i = 0; i < 8; ++i) {
    Bytes bad = good;
    bad[i] ^= 0x01;
    const std::uint32_t computed = dfu_crc(std::span(bad).first(bad.size() - 4));
    EXPECT_EQ(failure(bad), fmt::format("invalid DFU CRC: {:#x} != {:#x}", stored, computed));
  }
  Bytes bad_crc = good;
  bad_crc.back() ^= 0x80;
  EXPECT_NE(failure(bad_crc).find("invalid DFU CRC: "), std::string::npos);
}

TEST(DfuFile, LogsTheReleaseInBareHex) {
  velk::testing::LogCapture log;
  ASSERT_EQ(failure(make_file({})), "ok");
  EXPECT_NE(log.text().find("velk::device::dfu: Parsing firmware release 1a2\n"), std::string::npos)
      << log.text();
}

TEST(DfuSuffix, RoundTripsThroughTheCheck) {
  for (const Bytes& image : {Bytes{}, bytes_of("x"), Bytes(1000, 0xA5)}) {
    Bytes file = image;
    append_dfu_suffix(file, kVendor, kDfuProduct, 0xFFFF);
    ASSERT_EQ(file.size(), image.size() + kDfuSuffixLength);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), file.begin()));
    EXPECT_EQ(failure(file), "ok");
  }
}

TEST(DfuSuffix, EmptyUploadGivesTheExactSuffix) {
  Bytes file;
  append_dfu_suffix(file, 0x0A12, 0x1011, 0xFFFF);
  const Bytes head{0xFF, 0xFF,  // bcdDevice of an upload
                   0x10, 0x10,  // idProduct with bit 0 cleared
                   0x12, 0x0A, 0x00, 0x01, 0x55, 0x46, 0x44, 0x10};
  ASSERT_EQ(file.size(), 16U);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 12), head);
  const std::uint32_t crc = dfu_crc(head);
  EXPECT_EQ(Bytes(file.begin() + 12, file.end()),
            (Bytes{static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8),
                   static_cast<std::uint8_t>(crc >> 16), static_cast<std::uint8_t>(crc >> 24)}));
  EXPECT_EQ(failure(file, 0x0A12, 0x1011), "ok");
}

}  // namespace
}  // namespace velk::dfu
