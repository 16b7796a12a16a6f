// The loader's feature reports on the wire: commands, status words and sector transfers,
// against the virtual loader and, where the device must answer oddly, a scripted one.
#include <chrono>

#include "sim/scripted_device.h"
#include "tests/dsp/dsp_fixture.h"
#include "velk/src/device/dsp/crc16.h"
#include "velk/src/device/dsp/dsp_sector.h"

namespace velk::testing {
namespace {

using namespace std::chrono_literals;

using LoaderWire = DspTest;

TEST_F(LoaderWire, EraseCommandBytes) {
  ASSERT_TRUE(dsp::erase_sector(device(), 0x10000, 0x10000));
  const auto sent = sim::bus().requests().of(RequestKind::HidSendFeature);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].data, (Bytes{0x01, 0xAA,              // report 1, command marker
                                 0x00, 0x00, 0x01, 0x00,  // DSP_ERASE, split words
                                 0x01, 0x00, 0x00, 0x00,  // sector address 0x10000
                                 0x01, 0x00, 0x00, 0x00,  // sector size 0x10000
                                 0x00, 0x00, 0x00, 0x00}));
}

TEST_F(LoaderWire, ErasePollsAtOnceThenEveryFiveMillisecondsUntilIdle) {
  std::fill(flash().begin() + 0x20000, flash().begin() + 0x30000, 0x00);
  const auto start = sim::bus().now();
  ASSERT_TRUE(dsp::erase_sector(device(), 0x20000, 0x10000));
  const auto polls = sim::bus().requests().of(RequestKind::HidGetFeature);
  ASSERT_GT(polls.size(), 2u);  // the erase of 64 KiB keeps the loader busy for a while
  EXPECT_EQ(polls.front().time, start);
  EXPECT_EQ(polls[1].time - polls[0].time, 5ms);
  EXPECT_EQ(split_word(polls.back().data, 2), 9u);
  EXPECT_EQ(split_word(polls.front().data, 2), 0x10009u);
  EXPECT_EQ(std::count(flash().begin() + 0x20000, flash().begin() + 0x30000, 0xFF), 0x10000);
  EXPECT_EQ(flash()[0x1FFFF], 0xFF);
  EXPECT_EQ(flash()[0x30000], 0xFF);
}

TEST_F(LoaderWire, TheLoaderErasesOnlyWhatLiesInItsFlash) {
  // Ranges that end, or wrap in 32 bits, past 4 MiB: the model stays in bounds.
  std::fill(flash().begin(), flash().end(), 0x00);
  ASSERT_TRUE(dsp::erase_sector(device(), 0xFFFF0000, 0x20000));
  EXPECT_EQ(std::count(flash().begin(), flash().end(), 0xFF), 0);
  ASSERT_TRUE(dsp::erase_sector(device(), 0x3FF000, 0xFFFFFFFF));
  EXPECT_EQ(std::count(flash().begin(), flash().end(), 0xFF), 0x1000);
}

TEST_F(LoaderWire, BusyForSomeStatusReadsIsWaitedOut) {
  faults().busy_status_reads = 3;
  ASSERT_TRUE(dsp::erase_sector(device(), 0x0, 0x2000));
  EXPECT_GE(status_reads(), 4u);
}

TEST_F(LoaderWire, ALoaderThatStaysBusyTimesOut) {
  faults().busy_status_reads = sim::vexo::VexoFaults::kAlways;
  auto result = dsp::erase_sector(device(), 0x10000, 0x10000);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::Timeout);
  EXPECT_GE(sim::bus().now(), 60s);
}

TEST_F(LoaderWire, SectorWriteIsCommandFourReportsAndAPolledCheck) {
  const Bytes data = pattern(0x2000, 3);
  ASSERT_TRUE(dsp::write_sector(device(), 0x10000, data));
  const auto wire = reports();
  ASSERT_GE(wire.size(), 7u);
  EXPECT_EQ(wire[0].kind, RequestKind::HidSendFeature);
  for (std::size_t i = 1; i <= 4; ++i) {
    EXPECT_EQ(wire[i].kind, RequestKind::HidSendFeature);
    EXPECT_EQ(wire[i].data.size(), 2050u);
    EXPECT_EQ(wire[i].report_id(), 0x02);
    EXPECT_EQ(wire[i].data[1], 0x00);
  }
  EXPECT_EQ(wire[5].kind, RequestKind::HidSendFeature);
  for (std::size_t i = 6; i < wire.size(); ++i) EXPECT_EQ(wire[i].kind, RequestKind::HidGetFeature);
  const auto c = commands();
  ASSERT_EQ(c.size(), 2u);
  const std::uint32_t crc = dsp::swapped_crc16(data);
  EXPECT_EQ(c[0], (Command{3, 0x10000, 0x2000, crc}));   // DSP_WRITE
  EXPECT_EQ(c[1], (Command{11, 0x10000, 0x2000, crc}));  // DSP_WRITE_CHECK
  EXPECT_TRUE(std::equal(data.begin(), data.end(), flash().begin() + 0x10000));
}

TEST_F(LoaderWire, WordsTravelSwappedAndTheCrcCoversTheTravellingOrder) {
  // Memory 21436587 travels as the text 12345678, whose CRC-16/UMTS is 0x95FD.
  const Bytes memory{0x32, 0x31, 0x34, 0x33, 0x36, 0x35, 0x38, 0x37};
  ASSERT_TRUE(dsp::write_sector(device(), 0x20000, memory));
  const auto sent = sim::bus().requests().of(RequestKind::HidSendFeature);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(Bytes(sent[0].data.begin() + 14, sent[0].data.end()), (Bytes{0x00, 0x00, 0xFD, 0x95}));
  EXPECT_EQ(Bytes(sent[1].data.begin(), sent[1].data.begin() + 10),
            (Bytes{0x02, 0x00, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38}));
  EXPECT_EQ(Bytes(sent[2].data.begin() + 14, sent[2].data.end()), (Bytes{0x00, 0x00, 0xFD, 0x95}));
  EXPECT_TRUE(std::equal(memory.begin(), memory.end(), flash().begin() + 0x20000));
}

TEST_F(LoaderWire, AShortWriteIsOneZeroPaddedReport) {
  ASSERT_TRUE(dsp::write_sector(device(), 0x10000, Bytes(100, 0x5A)));
  const auto data = data_reports(RequestKind::HidSendFeature);
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(std::count(data[0].begin() + 2, data[0].begin() + 102, 0x5A), 100);
  EXPECT_EQ(std::count(data[0].begin() + 102, data[0].end(), 0x00), 2050 - 102);
  EXPECT_EQ(flash()[0x10000 + 99], 0x5A);
  EXPECT_EQ(flash()[0x10000 + 100], 0xFF);  // the padding is not written
}

TEST_F(LoaderWire, SectorReadIsOneCommandAndThirtyTwoReportsWithoutPolling) {
  const Bytes content = pattern(0x10000, 9);
  std::copy(content.begin(), content.end(), flash().begin() + 0x30000);
  Bytes out(0x10000, 0);
  ASSERT_TRUE(dsp::read_sector(device(), 0x30000, out));
  EXPECT_EQ(commands(), (std::vector<Command>{{2, 0x30000, 0x10000, 0}}));
  EXPECT_EQ(data_reports(RequestKind::HidGetFeature).size(), 32u);
  EXPECT_EQ(status_reads(), 0u);
  EXPECT_EQ(out, content);
  // On the wire the pairs are swapped.
  const auto first = data_reports(RequestKind::HidGetFeature).front();
  EXPECT_EQ(first[2], content[1]);
  EXPECT_EQ(first[3], content[0]);
}

// ---- The loader's complaints ----

TEST_F(LoaderWire, CrcErrorAtTheCheckLeavesTheFlashAlone) {
  faults().crc_error_on_write_check = 1;
  auto result = dsp::write_sector(device(), 0x10000, pattern(0x2000));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().display(), "device error: command CRC error");
  EXPECT_EQ(flash()[0x10000], 0xFF);
}

TEST_F(LoaderWire, AReportDamagedInTransitIsCaughtByTheCrc) {
  faults().data_reports_before_fault = 2;
  faults().corrupt_data_reports = 1;
  auto result = dsp::write_sector(device(), 0x10000, pattern(0x2000));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().display(), "device error: command CRC error");
  EXPECT_EQ(data_reports(RequestKind::HidSendFeature).size(),
            4u);  // the damage did not stop the sending
  EXPECT_EQ(flash()[0x10000], 0xFF);
}

TEST_F(LoaderWire, ShortDataReports) {
  faults().short_data_reports = 1;
  faults().short_data_length = 2000;
  auto write = dsp::write_sector(device(), 0x10000, pattern(0x2000));
  ASSERT_FALSE(write);
  EXPECT_EQ(write.error().display(), "device error: partial sector write: 0x7d0 != 0x802");
  EXPECT_EQ(data_reports(RequestKind::HidSendFeature).size(), 1u);  // nothing after the short one

  faults().short_data_reports = 1;
  faults().data_reports_before_fault = 1;
  Bytes out(0x2000);
  auto read = dsp::read_sector(device(), 0, out);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().display(), "device error: partial sector read: 0x7d0 < 0x802");
  EXPECT_EQ(data_reports(RequestKind::HidGetFeature).size(), 2u);
}

TEST_F(LoaderWire, FailedFeatureReportsAreHidErrors) {
  faults().send_feature_failures = 1;
  auto send = dsp::erase_sector(device(), 0x10000, 0x10000);
  ASSERT_FALSE(send);
  EXPECT_EQ(send.error().kind(), ErrorKind::HIDAPIError);
  EXPECT_EQ(send.error().hid(), HidError::Write);

  faults().get_feature_failures = 1;
  auto get = dsp::erase_sector(device(), 0x10000, 0x10000);
  ASSERT_FALSE(get);
  EXPECT_EQ(get.error().hid(), HidError::Read);

  sim::bus().advance(100ms);  // until the erase above is over
  faults().get_feature_failures = 1;
  Bytes out(0x2000);
  auto read = dsp::read_sector(device(), 0, out);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().hid(), HidError::Read);
}

TEST_F(LoaderWire, StatusHeaderErrorWinsOverAShortRead) {
  faults().status_header_errors = 1;
  faults().short_status_reads = 1;
  faults().short_status_length = 5;
  auto status = dsp::dsp_status(device());
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().display(), "device error: status header error: 0x2");

  faults().short_status_reads = 1;
  faults().short_status_length = 16;
  status = dsp::dsp_status(device());
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().display(), "device error: partial status read: 0x10 < 0x12");
}

TEST_F(LoaderWire, ReportsOutOfTurnAreRefusedByTheLoader) {
  // Data reports with no transfer announced, or in the other direction than the one announced:
  // a host that breaks the order sees the loader refuse them.
  Bytes report(2050, 0);
  report[0] = 0x02;
  EXPECT_FALSE(device().hid().get_feature_report(report));
  EXPECT_FALSE(device().hid().send_feature_report(report));
  ASSERT_TRUE(dsp::dsp_command(device(), 3, 0x10000, 0x800, 0, false));
  report[0] = 0x02;
  EXPECT_FALSE(device().hid().get_feature_report(report));
}

// ---- Status words from a scripted loader ----

class ScriptedStatus : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    loader_ = std::make_shared<sim::ScriptedDevice>(
        sim::DeviceSpec{.vendor = 0x7A11, .product = 0x0001}, sim::ConfigSpec{});
    loader_->make_hid();
    sim::bus().plug(loader_);
    auto list = hid::hid_devices(0x7A11, 0x0001);
    auto opened = hid::HidDeviceList::open(*list.first());
    ASSERT_TRUE(opened);
    device_.emplace(std::move(*opened));
  }
  void TearDown() override {
    device_.reset();
    sim::reset();
  }
  static Bytes status(std::initializer_list<std::uint8_t> head) {
    Bytes b(18, 0);
    std::copy(head.begin(), head.end(), b.begin());
    return b;
  }
  std::shared_ptr<sim::ScriptedDevice> loader_;
  std::optional<dsp::DspDevice> device_;
};

TEST_F(ScriptedStatus, StatusWordsAreSplitWords) {
  loader_->queue_feature(status({0x01, 0x77, 0x00, 0x00, 0x09, 0x00}));
  loader_->queue_feature(status({0x01, 0x77, 0x01, 0x00, 0x09, 0x00}));
  EXPECT_EQ(dsp::dsp_status(*device_).value(), 9u);
  EXPECT_EQ(dsp::dsp_status(*device_).value(), 0x10009u);
}

TEST_F(ScriptedStatus, PollingTreatsEveryOtherValueAsBusy) {
  loader_->queue_feature(status({0x01, 0x00, 0x01, 0x00, 0x09, 0x00}));  // 0x10009
  loader_->queue_feature(status({0x01, 0x00, 0x00, 0x00, 0x03, 0x00}));  // 3
  loader_->queue_feature(status({0x01, 0x00, 0x00, 0x00, 0x09, 0x00}));
  ASSERT_TRUE(dsp::dsp_command(*device_, 1, 0x10000, 0x10000, 0, true));
  EXPECT_EQ(sim::bus().requests().count(RequestKind::HidGetFeature), 3u);
  EXPECT_EQ(sim::bus().now(), 10ms);

  loader_->queue_feature(status({0x01, 0x00, 0x00, 0x00, 0x0A, 0x00}));
  auto crc = dsp::dsp_command(*device_, 11, 0x10000, 0x10000, 0x1234, true);
  ASSERT_FALSE(crc);
  EXPECT_EQ(crc.error().display(), "device error: command CRC error");
}

TEST_F(ScriptedStatus, HeaderIsJudgedBeforeLength) {
  loader_->queue_feature(Bytes{0x02, 0x00, 0x00});
  auto status = dsp::dsp_status(*device_);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().display(), "device error: status header error: 0x2");
}

TEST_F(ScriptedStatus, ShortCommandWriteIsADeviceError) {
  loader_->queue_send_feature(17);
  auto sent = dsp::reset_dsp(*device_);
  ASSERT_FALSE(sent);
  EXPECT_EQ(sent.error().display(), "device error: partial command write: 0x11 != 0x12");
}

TEST_F(ScriptedStatus, OpeningABusyLoaderFailsAndClosesIt) {
  loader_->queue_feature(status({0x01, 0x00, 0x00, 0x00, 0x03, 0x00}));
  auto context = LibraryContext::get();
  ASSERT_TRUE(context);
  auto opened = dsp::connect_dsp();
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().display(), "device error: device not ready");
  EXPECT_EQ(sim::bus().resources().hid_handles, 1);  // only the fixture's own
}

}  // namespace
}  // namespace velk::testing
