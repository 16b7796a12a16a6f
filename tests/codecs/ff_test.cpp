#include "velk/src/device/dsp/ff.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/log_capture.h"
#include "velk/src/device/dsp/crc16.h"
#include "velk/src/util/byte_order.h"

namespace velk::dsp {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Record {
  std::uint8_t command;
  std::uint32_t start;   // words
  std::uint32_t length;  // bytes for data and CRC records, words for erase records
  Bytes body = {};       // data of a data record
  std::uint32_t check = 0;
  std::uint8_t marker = 0xEE;
  // By default the consistency field is what the rule asks for.
  std::uint32_t end = (start * 2U + length) / 2;
};

// A 64-byte header; the bytes the parser must ignore hold a pattern instead of zeros.
Bytes encode(const Record& r) {
  Bytes b(kFfHeaderLength, 0xA5);
  store_be32(b, 0, r.end);
  store_be32(b, 12, r.start);
  store_be32(b, 16, r.length);
  store_be32(b, 20, r.check);
  b[62] = r.marker;
  b[63] = r.command;
  b.insert(b.end(), r.body.begin(), r.body.end());
  return b;
}

Bytes file(std::initializer_list<Record> records) {
  Bytes out;
  for (const Record& r : records) {
    const Bytes b = encode(r);
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

Record data(std::uint32_t start, Bytes body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  return Record{0x14, start, n, std::move(body)};
}

Record erase(std::uint32_t start, std::uint32_t words) {
  return Record{0x21, start, words};
}

Record crc_over(const Bytes& covered, std::uint32_t junk_high = 0) {
  return Record{0x15,
                0,
                static_cast<std::uint32_t>(covered.size()),
                {},
                (junk_high << 16) | swapped_crc16(covered)};
}

std::vector<FfSection> sections(const Bytes& f) {
  auto r = parse_ff(f);
  if (!r) {
    ADD_FAILURE() << r.error().display();
    return {};
  }
  return std::move(*r);
}

std::string failure(const Bytes& f) {
  auto r = parse_ff(f);
  if (r) return "ok";
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidImage);
  return r.error().text();
}

// Bit-at-a-time CRC-16/UMTS, optionally over pairwise swapped bytes.
std::uint16_t reference_crc16(const Bytes& b, bool swapped) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < b.size(); ++i) {
    crc ^= static_cast<std::uint16_t>(b[swapped ? i ^ 1 : i] << 8);
    for (int k = 0; k < 8; ++k) {
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x8005 : crc << 1);
    }
  }
  return crc;
}

TEST(SwappedCrc16, CheckValues) {
  EXPECT_EQ(swapped_crc16({}), 0);
  // "12345678" fed pairwise swapped; CRC-16/UMTS of "12345678" is 0x95FD.
  EXPECT_EQ(swapped_crc16(Bytes{0x32, 0x31, 0x34, 0x33, 0x36, 0x35, 0x38, 0x37}), 0x95FD);
  // The reference below is the catalogued CRC-16/UMTS.
  EXPECT_EQ(reference_crc16({'1', '2', '3', '4', '5', '6', '7', '8', '9'}, false), 0xFEE8);
}

TEST(SwappedCrc16, MatchesBitwiseDefinition) {
  // Every length up to 512 covers each tail the many-bytes-at-a-time loop can leave; a full DSP
  // sector and a run that starts at an odd address cover the long runs.
  Bytes b;
  std::uint32_t x = 12345;
  for (int i = 0; i < 0x10000 + 2; ++i) {
    x = x * 1103515245U + 12345U;
    b.push_back(static_cast<std::uint8_t>(x >> 16));
    if (b.size() % 2 == 0 && b.size() <= 512) {
      ASSERT_EQ(swapped_crc16(b), reference_crc16(b, true)) << b.size();
    }
  }
  const Bytes sector(b.begin(), b.begin() + 0x10000);
  EXPECT_EQ(swapped_crc16(sector), reference_crc16(sector, true));
  const Bytes odd_start(b.begin() + 1, b.end() - 1);
  EXPECT_EQ(swapped_crc16(std::span(b).subspan(1, odd_start.size())),
            reference_crc16(odd_start, true));
}

TEST(SwappedCrc16, OddLengthIsABug) {
  EXPECT_THROW((void)swapped_crc16(Bytes{1, 2, 3}), InternalFailure);
}

TEST(Ff, EmptyFileAndLeftovers) {
  EXPECT_TRUE(sections({}).empty());
  EXPECT_EQ(failure(Bytes(1, 0)), "invalid FF block at offset 0x0");
  EXPECT_EQ(failure(Bytes(63, 0)), "invalid FF block at offset 0x0");
  Bytes f = file({erase(0x8000, 0x10)});
  f.resize(f.size() + 10);
  EXPECT_EQ(failure(f), "invalid FF block at offset 0x40");
}

TEST(Ff, DataRecordGivesAWriteSectionAtTwiceTheWordAddress) {
  EXPECT_EQ(sections(file({data(0x8000, {1, 2, 3, 4})})),
            (std::vector<FfSection>{WriteSection{0x10000, {1, 2, 3, 4}}}));
}

TEST(Ff, EraseRecordCountsWords) {
  EXPECT_EQ(sections(file({erase(0x8000, 0x8000)})),
            (std::vector<FfSection>{EraseSection{0x10000, 0x10000}}));
}

TEST(Ff, ContiguousWritesCoalesce) {
  velk::testing::LogCapture log;
  EXPECT_EQ(sections(file({data(0x8000, {1, 2, 3, 4}), data(0x8002, {5, 6, 7, 8})})),
            (std::vector<FfSection>{WriteSection{0x10000, {1, 2, 3, 4, 5, 6, 7, 8}}}));
  EXPECT_NE(log.text().find("velk::device::dsp: Coalescing writes: 0x10000,0x4 with 0x10004,0x4\n"),
            std::string::npos)
      << log.text();
  // A gap, or an erase in between, keeps writes apart; a section is sized for its own run only.
  const auto apart = sections(file({data(0x8000, {1, 2, 3, 4}), data(0x8003, {5, 6})}));
  ASSERT_EQ(apart.size(), 2U);
  EXPECT_EQ(std::get<WriteSection>(apart[0]).data.capacity(), 4U);
  EXPECT_EQ(sections(file({data(0x8000, {1, 2}), erase(0x8001, 1), data(0x8001, {3, 4})})).size(),
            3U);
}

TEST(Ff, CrcRecordChecksTheFollowingRecordsAndKeepsARunTogether) {
  const Bytes covered = file({data(0x8002, {5, 6}), data(0x8003, {7, 8})});
  Bytes f = file({data(0x8000, {1, 2, 3, 4}), crc_over(covered, 0xBEEF)});
  f.insert(f.end(), covered.begin(), covered.end());
  const auto run = sections(f);
  EXPECT_EQ(run, (std::vector<FfSection>{WriteSection{0x10000, {1, 2, 3, 4, 5, 6, 7, 8}}}));
  // Sized for the whole run at its first record, so appending never moved it.
  ASSERT_EQ(run.size(), 1U);
  EXPECT_EQ(std::get<WriteSection>(run[0]).data.capacity(), 8U);

  // One changed byte inside the covered records.
  Bytes bad = f;
  bad.back() ^= 0x10;
  Bytes bad_covered(bad.end() - static_cast<std::ptrdiff_t>(covered.size()), bad.end());
  EXPECT_EQ(failure(bad), fmt::format("invalid FF CRC: {:#x} != {:#x}", swapped_crc16(bad_covered),
                                      swapped_crc16(covered)));
}

TEST(Ff, EmptyCrcRecordNeedsAZeroCheck) {
  EXPECT_EQ(failure(file({Record{0x15, 0, 0, {}, 0xFFFF0000}})), "ok");
  EXPECT_EQ(failure(file({Record{0x15, 0, 0, {}, 0x0001}})), "invalid FF CRC: 0x0 != 0x1");
}

TEST(Ff, ZeroLengthDataRecords) {
  EXPECT_EQ(sections(file({data(0x10, {})})), (std::vector<FfSection>{WriteSection{0x20, {}}}));
  EXPECT_EQ(sections(file({data(0x10, {1, 2}), data(0x11, {})})),
            (std::vector<FfSection>{WriteSection{0x20, {1, 2}}}));
}

TEST(Ff, HeaderRejections) {
  Record bad_marker = data(0x8000, {1, 2});
  bad_marker.marker = 0xEF;
  EXPECT_EQ(failure(file({bad_marker})),
            "corrupt FF image: 0xef != 0xee || 0x8001 != 0x10000 + 0x2 / 2");
  Record bad_end = erase(0x8000, 0x8000);
  bad_end.end = 0xC001;
  EXPECT_EQ(failure(file({bad_end})),
            "corrupt FF image: 0xee != 0xee || 0xc001 != 0x10000 + 0x8000 / 2");
  // The rule holds for every command, even an unknown one, and is checked first.
  Record unknown{0x16, 1, 0};
  EXPECT_EQ(failure(file({unknown})), "unknown command: 0x16");
  unknown.end = 0;
  EXPECT_EQ(failure(file({unknown})), "corrupt FF image: 0xee != 0xee || 0x0 != 0x2 + 0x0 / 2");
}

TEST(Ff, OddLengthIsRejectedBeforeTheBodyIsRead) {
  // No body at all follows: the length is judged first.
  EXPECT_EQ(failure(file({Record{0x14, 0x8000, 3}})), "invalid FF length: 0x3");
  EXPECT_EQ(failure(file({Record{0x15, 0x8000, 0xFFFFFFFF}})), "invalid FF length: 0xffffffff");
}

TEST(Ff, BodiesRunningPastTheEnd) {
  Bytes f = file({erase(0x8000, 1), data(0x8000, {1, 2, 3, 4})});
  f.pop_back();
  EXPECT_EQ(failure(f), "unexpected FF EOF at offset 0x40");
  EXPECT_EQ(failure(file({crc_over(Bytes(2, 0))})), "unexpected FF EOF at offset 0x0");
}

TEST(Ff, LengthsNearFourGigabytesAreEofNotWrap) {
  // p + 64 + length would wrap a 32-bit size_t back inside the buffer.
  for (std::uint32_t length : {0xFFFFFFFEU, 0xFFFFFFC0U, 0x80000000U}) {
    Bytes f = file({erase(0x8000, 1), Record{0x14, 0x1234, length}});
    f.resize(f.size() + 64, 0);
    EXPECT_EQ(failure(f), "unexpected FF EOF at offset 0x40") << length;
    f = file({erase(0x8000, 1), Record{0x15, 0x1234, length}});
    EXPECT_EQ(failure(f), "unexpected FF EOF at offset 0x40") << length;
  }
}

TEST(Ff, AddressArithmeticWrapsAt32Bits) {
  // 2 x 0x80000002 wraps to 4; the consistency value follows the wrapped sum.
  EXPECT_EQ(sections(file({data(0x80000002, {1, 2})})),
            (std::vector<FfSection>{WriteSection{4, {1, 2}}}));
  // 0xFFFFFFFE + 4 wraps to 2, so end must be 1.
  Record r = data(0xFFFFFFFF, {1, 2, 3, 4});
  ASSERT_EQ(r.end, 1U);
  EXPECT_EQ(sections(file({r})), (std::vector<FfSection>{WriteSection{0xFFFFFFFE, {1, 2, 3, 4}}}));
  // Erase lengths are words and wrap too.
  EXPECT_EQ(sections(file({erase(0x8000, 0x80000001)})),
            (std::vector<FfSection>{EraseSection{0x10000, 2}}));
  // A run ending exactly at 2^32 does not merge with one starting at 0.
  EXPECT_EQ(sections(file({data(0x7FFFFFFE, {1, 2, 3, 4}), data(0, {5, 6})})).size(), 2U);
}

}  // namespace
}  // namespace velk::dsp
