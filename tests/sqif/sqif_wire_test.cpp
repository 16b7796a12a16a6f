// The loader's wire: the exact command reports, and how the status wait reads the answers.
// Each answer is queued on a scripted loader, so every byte the host sees is the test's own.
#include <chrono>

#include "tests/sqif/sqif_fixture.h"
#include "velk/src/device/sqif/sqif_device.h"

namespace sqif_test {
namespace {

using namespace std::chrono_literals;
using velk::ErrorKind;
using velk::HidError;
namespace sqif = velk::sqif;

// Status report: ID 02, the command it answers, the status.
Bytes status(std::uint8_t command, std::uint8_t value) {
  return {0x02, command, value};
}

class SqifWire : public SqifTest {
 protected:
  void SetUp() override {
    SqifTest::SetUp();
    loader_ = plug_scripted();
    connect();
  }
  sqif::SqifDevice& device() { return *device_; }

  std::shared_ptr<sim::ScriptedDevice> loader_;
};

TEST_F(SqifWire, FixedCommandsAreExactlyTheirFewBytes) {
  loader_->queue_hid_input(status(0, 0));
  loader_->queue_hid_input(status(2, 0));
  loader_->queue_hid_input(status(5, 0));
  EXPECT_TRUE(sqif::sqif_ping(device()));
  ASSERT_TRUE(sqif::sqif_erase(device()));
  ASSERT_TRUE(sqif::sqif_manifest(device()));
  ASSERT_TRUE(sqif::reset_sqif(device()));
  EXPECT_EQ(reports(), (std::vector<Bytes>{
                           {0x01, 0x00},        // ping: report 1, code 0, no payload
                           {0x01, 0x02, 0x00},  // erase: code 2, partition 0
                           {0x01, 0x05, 0x03},  // manifest: code 5, argument 3
                           {0x01, 0x01, 0x01},  // restart: code 1, argument 1
                       }));
  EXPECT_EQ(reads().size(), 3u);  // the restart waits for nothing
  EXPECT_EQ(reads().front().timeout_ms, 1000);
}

TEST_F(SqifWire, WriteCarriesTheChunkBehindItsBigEndianLength) {
  const Bytes full = pattern(1018);
  loader_->queue_hid_input(status(3, 0));
  loader_->queue_hid_input(status(3, 0));
  ASSERT_TRUE(sqif::sqif_write(device(), full));
  ASSERT_TRUE(sqif::sqif_write(device(), Bytes{0xAB}));
  const auto sent = reports();
  ASSERT_EQ(sent.size(), 2u);
  ASSERT_EQ(sent[0].size(), 1022u);
  EXPECT_EQ(Bytes(sent[0].begin(), sent[0].begin() + 4),
            (Bytes{0x01, 0x03, 0x03, 0xFA}));  // 1018 = 0x03FA
  EXPECT_EQ(Bytes(sent[0].begin() + 4, sent[0].end()), full);
  EXPECT_EQ(sent[1], (Bytes{0x01, 0x03, 0x00, 0x01, 0xAB}));
}

TEST_F(SqifWire, A1023ByteReportIsSentAndOneByteMoreIsRefusedBeforeSending) {
  ASSERT_TRUE(sqif::sqif_command(device(), 3, pattern(1019), /*length_prefixed=*/true,
                                 /*wait_for_status=*/false));
  ASSERT_TRUE(sqif::sqif_command(device(), 9, pattern(1021), /*length_prefixed=*/false,
                                 /*wait_for_status=*/false));
  EXPECT_EQ(reports().size(), 2u);
  EXPECT_EQ(reports()[0].size(), 1023u);
  EXPECT_EQ(reports()[1].size(), 1023u);

  for (auto [size, prefixed] : {std::pair{1020u, true}, {1022u, false}}) {
    auto r = sqif::sqif_command(device(), 3, pattern(size), prefixed, /*wait_for_status=*/true);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ErrorKind::InternalError);
    EXPECT_EQ(r.error().text(), "payload too large");
  }
  EXPECT_EQ(reports().size(), 2u);
  EXPECT_TRUE(reads().empty());
}

TEST_F(SqifWire, BusyBacksOffFiveMillisecondsThenReadsAgain) {
  loader_->queue_hid_input(status(3, 1));
  loader_->queue_hid_input(status(3, 0));
  const auto start = sim::bus().now();
  ASSERT_TRUE(sqif::sqif_write(device(), Bytes{1, 2}));
  ASSERT_EQ(reads().size(), 2u);
  EXPECT_EQ(reads()[1].time - reads()[0].time, 5ms);
  EXPECT_EQ(sim::bus().now() - start, 5ms);
}

TEST_F(SqifWire, AnswersToOtherCommandsAndOtherReportsAreSkipped) {
  loader_->queue_hid_input(status(2, 0));        // the erase's, while waiting for a write
  loader_->queue_hid_input({0x03, 0x03, 0x02});  // not a status report, though it says "failed"
  loader_->queue_hid_input(status(3, 0));
  const auto start = sim::bus().now();
  ASSERT_TRUE(sqif::sqif_write(device(), Bytes{1, 2}));
  EXPECT_EQ(reads().size(), 3u);
  EXPECT_EQ(sim::bus().now(), start);  // skipping is no reason to back off
}

TEST_F(SqifWire, ATruncatedStatusReportIsNotTakenForDone) {
  loader_->queue_hid_input({0x02, 0x03});  // its status byte missing
  loader_->queue_hid_input(status(3, 2));
  auto r = sqif::sqif_write(device(), Bytes{1, 2});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "failed command status");
}

TEST_F(SqifWire, SecondsOfSilenceDoNotEndTheWait) {
  loader_->queue_hid_input(status(2, 0), 7s);
  ASSERT_TRUE(sqif::sqif_erase(device()));
  EXPECT_EQ(sim::bus().now(), 7s);
  EXPECT_EQ(reads().size(), 7u);  // six empty reads of 1000 ms; the seventh gets the answer
}

TEST_F(SqifWire, ThirtySecondsWithoutAnAnswerIsATimeout) {
  auto r = sqif::sqif_erase(device());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Timeout);
  EXPECT_EQ(sim::bus().now(), 30s);
}

TEST_F(SqifWire, EveryAnswerRestartsTheSilenceLimit) {
  // A loader that says busy now and then is working, however long it takes in all.
  loader_->queue_hid_input(status(2, 1), 25s);
  loader_->queue_hid_input(status(2, 1), 50s);
  loader_->queue_hid_input(status(2, 0), 75s);
  ASSERT_TRUE(sqif::sqif_erase(device()));
  EXPECT_EQ(sim::bus().now(), 75s);
}

TEST_F(SqifWire, AFloodOfReportsForOtherCommandsEndsTheWait) {
  // 256 left-over reports are waited out; one more means the loader is stuck sending.
  for (int i = 0; i < 256; ++i) loader_->queue_hid_input(status(2, 0));
  loader_->queue_hid_input(status(3, 0));
  ASSERT_TRUE(sqif::sqif_write(device(), Bytes{1, 2}));
  for (int i = 0; i < 257; ++i) loader_->queue_hid_input(status(2, 0));
  loader_->queue_hid_input(status(3, 0));
  sim::bus().requests().clear();
  auto r = sqif::sqif_write(device(), Bytes{1, 2});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(),
            "spurious error: no status among 0x100 reports for other commands");
  EXPECT_EQ(reads().size(), 257u);
}

TEST_F(SqifWire, StatusesOtherThanDoneAndBusyEndTheCommand) {
  struct Case {
    std::uint8_t status;
    const char* text;
  };
  for (const Case& c : {Case{2, "failed command status"}, Case{7, "invalid status: 0x7"},
                        Case{0xFF, "invalid status: 0xff"}}) {
    loader_->queue_hid_input(status(3, c.status));
    loader_->queue_hid_input(status(3, 0));  // never read
    auto r = sqif::sqif_write(device(), Bytes{1, 2});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ErrorKind::DeviceError);
    EXPECT_EQ(r.error().display(), std::string("device error: ") + c.text);
    sim::bus().requests().clear();
    ASSERT_TRUE(sqif::sqif_write(device(), Bytes{1, 2}));  // drains the unread answer
  }
}

TEST_F(SqifWire, AShortWriteIsADeviceErrorWithBothCountsInHex) {
  loader_->queue_hid_write(16);
  auto r = sqif::sqif_write(device(), pattern(1018));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::DeviceError);
  EXPECT_EQ(r.error().text(), "partial HID report write: 0x10 < 0x3fe");
  EXPECT_TRUE(reads().empty());
}

TEST_F(SqifWire, HidapiFailuresKeepTheirKinds) {
  loader_->queue_hid_write(-1);
  auto write = sqif::sqif_erase(device());
  ASSERT_FALSE(write);
  EXPECT_EQ(write.error().kind(), ErrorKind::HIDAPIError);
  EXPECT_EQ(write.error().hid(), HidError::Write);
  EXPECT_TRUE(reads().empty());

  sim::bus().faults().add(
      {.match = {.kind = RequestKind::HidRead}, .action = sim::Action::stall()});
  auto read = sqif::sqif_erase(device());
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().kind(), ErrorKind::HIDAPIError);
  EXPECT_EQ(read.error().hid(), HidError::Read);
}

TEST_F(SqifWire, PingIsTrueOnlyForStatusDone) {
  loader_->queue_hid_input(status(0, 0));
  EXPECT_TRUE(sqif::sqif_ping(device()));
  loader_->queue_hid_input(status(0, 2));
  EXPECT_FALSE(sqif::sqif_ping(device()));
  EXPECT_FALSE(sqif::sqif_ping(device()));  // no answer at all
}

TEST(SqifConnect, NoLoaderOnTheBusIsAnEnumerationError) {
  sim::reset();
  auto context = velk::LibraryContext::get();
  ASSERT_TRUE(context);
  auto device = sqif::connect_sqif();
  ASSERT_FALSE(device);
  EXPECT_EQ(device.error().display(), "failed to enumerate devices: SQIF device not found");
  EXPECT_EQ(sim::bus().resources().hid_enumerations, 0);  // the empty list is freed too
}

}  // namespace
}  // namespace sqif_test
