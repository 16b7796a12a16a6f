// The BCCMD command frame and the checks of the answering event, byte by byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <random>
#include <vector>

#include "tests/support/bccmd_frames.h"
#include "velk/src/device/btm/bccmd.h"
#include "velk/src/device/btm/pskey.h"

namespace velk::btm {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes built(const HciBuffer& buffer, std::size_t length) {
  return Bytes(buffer.begin(), buffer.begin() + length);
}

TEST(BuildBccmd, EmptyPayloadIsPaddedToEightBytes) {
  std::uint16_t sequence = 0x1234;
  HciBuffer buffer;
  buffer.fill(0xAA);  // stale bytes must not leak into the padding
  auto length = build_bccmd(sequence, BccmdType::SetReq, 0x4001, {}, buffer);
  ASSERT_TRUE(length);
  EXPECT_EQ(built(buffer, *length),
            (Bytes{
                0x00, 0xFC,                    // HCI opcode 0xFC00
                0x13,                          // parameter length 8 + 11
                0xC2,                          // channel 2, both top bits
                0x02, 0x00,                    // SetReq
                0x09, 0x00,                    // 9 words: five header words and four payload words
                0x34, 0x12,                    // sequence before the build
                0x01, 0x40,                    // Cold_Reset
                0x00, 0x00,                    // status
                0,    0,    0, 0, 0, 0, 0, 0,  // padding
            }));
  EXPECT_EQ(sequence, 0x1235);
}

TEST(BuildBccmd, OddPayloadIsPaddedToWholeWords) {
  std::uint16_t sequence = 7;
  HciBuffer buffer;
  buffer.fill(0xAA);
  const Bytes payload{1, 2, 3, 4, 5, 6, 7, 8, 9};
  auto length = build_bccmd(sequence, BccmdType::GetReq, 0x7003, payload, buffer);
  ASSERT_TRUE(length);
  EXPECT_EQ(built(buffer, *length),
            (Bytes{
                0x00, 0xFC,                          // opcode
                0x15,                                // parameter length 10 + 11
                0xC2,                                // channel marker
                0x00, 0x00,                          // GetReq
                0x0A, 0x00,                          // 10 words
                0x07, 0x00,                          // sequence
                0x03, 0x70,                          // PS
                0x00, 0x00,                          // status
                1,    2,    3, 4, 5, 6, 7, 8, 9, 0,  // payload and one pad byte
            }));
}

TEST(BuildBccmd, LargestPayloadFillsTheWholeBuffer) {
  std::uint16_t sequence = 0;
  HciBuffer buffer;
  const Bytes payload(242, 0x5A);
  auto length = build_bccmd(sequence, BccmdType::GetReq, 0x7003, payload, buffer);
  ASSERT_TRUE(length);
  EXPECT_EQ(*length, 256u);
  EXPECT_EQ(buffer[2], 0xFD);  // parameter length 242 + 11
  EXPECT_EQ(buffer[6], 0x7E);  // 126 words
  EXPECT_EQ(buffer[7], 0x00);
  EXPECT_EQ(buffer[14], 0x5A);
  EXPECT_EQ(buffer[255], 0x5A);
}

TEST(BuildBccmd, OverlongPayloadIsRefusedAndKeepsTheCounter) {
  std::uint16_t sequence = 41;
  HciBuffer buffer;
  buffer.fill(0xAA);
  const Bytes payload(243, 0);
  auto length = build_bccmd(sequence, BccmdType::SetReq, 0x7003, payload, buffer);
  ASSERT_FALSE(length);
  EXPECT_EQ(length.error().kind(), ErrorKind::InternalError);
  EXPECT_EQ(length.error().text(), "payload too large: 0xf3 > 0xf2");
  EXPECT_EQ(sequence, 41);
  EXPECT_EQ(buffer[0], 0xAA);  // nothing written
}

TEST(BuildBccmd, ConsecutiveBuildsCountUpAndWrapAtSixteenBits) {
  std::uint16_t sequence = 0xFFFE;
  HciBuffer buffer;
  std::vector<std::uint16_t> sent;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(build_bccmd(sequence, BccmdType::GetReq, 0x7003, {}, buffer));
    sent.push_back(static_cast<std::uint16_t>(buffer[8] | (buffer[9] << 8)));
  }
  EXPECT_EQ(sent, (std::vector<std::uint16_t>{0xFFFE, 0xFFFF, 0x0000}));
  EXPECT_EQ(sequence, 1);
}

// The sequence number of the request the answers below belong to.
constexpr std::uint16_t kSequence = 0x0099;

// A well-formed answer to `variable` with `payload_bytes` payload bytes of 0x11.
Bytes response(std::uint16_t variable, std::size_t payload_bytes) {
  return testing::bccmd_event(
      {testing::kBccmdGetResp, kSequence, variable, Bytes(payload_bytes, 0x11)});
}

std::string failure(std::uint16_t variable, const Bytes& received,
                    ErrorKind kind = ErrorKind::DeviceError) {
  auto payload = parse_bccmd_response(variable, kSequence, received);
  if (payload) return "accepted";
  EXPECT_EQ(payload.error().kind(), kind) << payload.error().display();
  return payload.error().text();
}

TEST(ParseBccmdResponse, ValidAnswerYieldsThePayloadFromByteThirteen) {
  Bytes r = response(0x7003, 242);
  ASSERT_EQ(r.size(), 255u);
  r[13] = 0xAB;
  auto payload = parse_bccmd_response(0x7003, kSequence, r);
  ASSERT_TRUE(payload);
  EXPECT_EQ(payload->size(), 242u);
  EXPECT_EQ(payload->data(), r.data() + 13);
  EXPECT_EQ((*payload)[0], 0xAB);
}

// An answer with another sequence number is a late one to an earlier request: skipped like an
// event of another channel, whatever else it says.
TEST(ParseBccmdResponse, AnswerWithAnotherSequenceNumberIsSpurious) {
  Bytes r = response(0x7003, 8);
  r[7] = 0x98;
  EXPECT_EQ(failure(0x7003, r, ErrorKind::SpuriousError),
            "stale answer with sequence 0x98 != 0x99");
  r[7] = 0x99;
  r[8] = 0x01;
  EXPECT_EQ(failure(0x7003, r, ErrorKind::SpuriousError),
            "stale answer with sequence 0x199 != 0x99");
}

TEST(ParseBccmdResponse, EachCheckHasItsMessage) {
  EXPECT_EQ(failure(0x7003, Bytes{0xFF, 0x00}), "HCIEXT response too short: 0x2");
  EXPECT_EQ(failure(0x7003, Bytes{0x0E, 0x04, 0x00, 0x01}, ErrorKind::SpuriousError),
            "Spurious message with channel ID 0x0");
  EXPECT_EQ(failure(0x7003, Bytes{0xFF, 0x01, 0xC2}), "BCCMD response too short: 0x3");
  // One byte of a valid answer changed.
  struct Change {
    std::size_t at;
    std::uint8_t value;
    const char* text;
  };
  for (const Change& c : std::initializer_list<Change>{
           {0, 0x0E, "invalid header: 0xe != 0xff"},
           {1, 0x30, "invalid HCI length: 0x32 != 0x15"},
           // channel 2 without the top bit: passes the channel test, not the marker
           {2, 0x42, "invalid packet marker: 0x42"},
           {3, 0x02, "response operation not GetResp: 0x2"},
           {5, 0x0A, "invalid message length: 0x17 != 0x15"},
       }) {
    Bytes r = response(0x7003, 8);
    r[c.at] = c.value;
    EXPECT_EQ(failure(0x7003, r), c.text) << "byte " << c.at;
  }
  EXPECT_EQ(failure(0x7003, response(0x500C, 8)), "invalid variable ID: 0x500c != 0x7003");
  EXPECT_EQ(failure(0x7003, testing::bccmd_event({testing::kBccmdGetResp, kSequence, 0x7003,
                                                  Bytes(8, 0x11), 0x0103})),
            "invalid status: 0x103");
  EXPECT_EQ(failure(0x7003, response(0x7003, 0)), "payload too small: 0x0");
  EXPECT_EQ(failure(0x7003, response(0x7003, 6)), "payload too small: 0x6");
}

TEST(ParseBccmdResponse, ChecksRunInTheirOrder) {
  // Short and of another channel: length wins.
  EXPECT_EQ(failure(0x7003, Bytes{0x0E, 0x04}), "HCIEXT response too short: 0x2");
  // Too short for BCCMD and with a wrong event code: the channel test comes first, then length.
  EXPECT_EQ(failure(0x7003, Bytes{0x0E, 0x04, 0x01}, ErrorKind::SpuriousError),
            "Spurious message with channel ID 0x1");
  EXPECT_EQ(failure(0x7003, Bytes{0x0E, 0x04, 0xC2, 0x01}), "BCCMD response too short: 0x4");
  // Everything wrong past the channel: the event code is reported.
  {
    Bytes r = response(0x500C, 8);
    r[0] = 0x0E;
    r[1] = 0;
    r[2] = 0x82;
    r[3] = 0;
    r[11] = 1;
    EXPECT_EQ(failure(0x7003, r), "invalid header: 0xe != 0xff");
  }
  // Wrong variable and wrong status: the variable is reported.
  {
    Bytes r = response(0x500C, 8);
    r[11] = 1;
    EXPECT_EQ(failure(0x7003, r), "invalid variable ID: 0x500c != 0x7003");
  }
  // A 20-byte event cannot have a valid word count, whatever it says.
  {
    Bytes r{0xFF, 0x12, 0xC2, 0x01, 0x00, 0x08, 0x00};
    r.resize(20, 0);
    EXPECT_EQ(failure(0x7003, r), "invalid message length: 0x13 != 0x14");
  }
}

TEST(ParseBccmdResponse, ChannelTestLooksOnlyAtTheLowSixBits) {
  // Channel 2 with other top bits is not spurious; it fails on the marker instead.
  EXPECT_EQ(failure(0x7003, Bytes{0xFF, 0x01, 0x02}), "BCCMD response too short: 0x3");
  // The whole byte is reported, not the masked channel.
  EXPECT_EQ(failure(0x7003, Bytes{0xFF, 0x01, 0xC3}, ErrorKind::SpuriousError),
            "Spurious message with channel ID 0xc3");
}

// Whatever arrives on the event endpoint, the checks read only what was received and pass on
// only payloads that the PS decoding can take apart within bounds.
TEST(ParseBccmdResponse, ArbitraryEventsStayWithinTheirBytes) {
  std::mt19937 random(20261208);
  std::array<std::uint16_t, 4> value{};
  auto exercise = [&](const Bytes& event) {
    // A copy of exactly the received size, so a read past it is caught by the sanitizers.
    const Bytes received(event);
    auto payload = parse_bccmd_response(0x7003, kSequence, received);
    if (!payload) return;
    ASSERT_GE(payload->size(), 8u);
    ASSERT_EQ(payload->data() + payload->size(), received.data() + received.size());
    auto words = unpack_ps_value(0x02AD, *payload, value);
    if (words) {
      ASSERT_LE(*words, value.size());
    }
  };
  for (std::size_t n = 0; n <= 256; ++n) {
    for (int round = 0; round < 20; ++round) {
      Bytes event(n);
      for (auto& b : event) b = static_cast<std::uint8_t>(random());
      exercise(event);
    }
  }
  // Every single-byte change of a valid answer, with its key and length words in play.
  Bytes valid = response(0x7003, 14);
  valid[13] = 0xAD;
  valid[14] = 0x02;
  valid[15] = 0x01;
  for (std::size_t at = 0; at < valid.size(); ++at) {
    for (int v = 0; v < 256; ++v) {
      Bytes event = valid;
      event[at] = static_cast<std::uint8_t>(v);
      exercise(event);
    }
  }
}

}  // namespace
}  // namespace velk::btm
