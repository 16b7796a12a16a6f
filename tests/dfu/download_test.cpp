// The block download and the manifestation against the virtual DFU loader.
#include <array>
#include <chrono>

#include "sim/faults.h"
#include "tests/dfu/dfu_fixture.h"
#include "tests/support/log_capture.h"
#include "velk/src/device/dfu/dfu_transfer.h"

namespace velk::testing {
namespace {

using namespace std::chrono_literals;

std::string failure(const Status& status) {
  return status ? "ok" : status.error().display();
}

class Download : public DfuTest {
 protected:
  // Most tests are about the blocks; a loader that writes at once keeps manifestation short.
  dfu::DfuDevice& connect_instant(std::uint16_t transfer_size) {
    auto& device = connect(loader(transfer_size));
    vexo_->faults().dfu.manifest_time = 0ns;
    return device;
  }
};

TEST_F(Download, CutsTheImageIntoTransferSizeBlocksThenSendsTheEmptyOne) {
  auto& device = connect_instant(256);
  const Bytes image = pattern(1000);
  LogCapture log;

  ASSERT_EQ(failure(dfu::download(device, dfu_file(image), recording_progress())), "ok");

  EXPECT_EQ(wire(), (std::vector<Wire>{{kDnload, 0, 256},
                                       {kGetStatus, 0, 6},
                                       {kDnload, 1, 256},
                                       {kGetStatus, 0, 6},
                                       {kDnload, 2, 256},
                                       {kGetStatus, 0, 6},
                                       {kDnload, 3, 232},
                                       {kGetStatus, 0, 6},
                                       {kDnload, 4, 0},
                                       {kGetStatus, 0, 6}}));
  for (const auto& r : sim::bus().requests().all()) {
    EXPECT_EQ(r.setup.request_type, r.kind == RequestKind::ControlOut ? 0x21 : 0xA1);
    EXPECT_EQ(r.setup.index, 0);  // the loader's DFU interface
    EXPECT_EQ(r.timeout_ms, 1000);
  }
  const auto blocks = control(kDnload);
  EXPECT_EQ(blocks.at(1).data, Bytes(image.begin() + 256, image.begin() + 512));
  EXPECT_EQ(blocks.at(3).data, Bytes(image.begin() + 768, image.end()));
  EXPECT_EQ(progress_calls(),
            (ProgressCalls{{0, 1000}, {256, 1000}, {512, 1000}, {768, 1000}, {1000, 1000}}));
  EXPECT_EQ(vexo_->btm_firmware(), image);
  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{"Downloading image", "Parsing firmware release 102",
                                      "Downloading image blocks", "Entering manifestation phase",
                                      "Device entered manifestation stage, polling"}));
}

// A loader not seen idle since a transfer began is asked where it is before the first block,
// and brought back to DFUIdle: an abort from the middle of a download or an upload, a clear
// from an error. Seen idle, it is asked nothing more.
TEST_F(Download, ALoaderLeftMidTransferIsBroughtBackToIdleFirst) {
  constexpr std::uint8_t kAbort = 6;
  const Bytes image = pattern(300);
  const Bytes left_over = pattern(256, 9);
  struct Row {
    const char* left_in;
    std::vector<Wire> first;  // the requests before the new image's block 0
  };
  const Row rows[] = {
      {"DFUDnloadIdle", {{kGetStatus, 0, 6}, {kAbort, 0, 0}}},
      {"DFUUploadIdle", {{kGetStatus, 0, 6}, {kAbort, 0, 0}}},
      {"DFUError", {{kGetStatus, 0, 6}, {kClrStatus, 0, 0}}},
      {"DFUIdle", {{kGetStatus, 0, 6}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.left_in);
    if (&row != rows) {  // each row on a loader of its own
      TearDown();
      SetUp();
    }
    auto& device = connect_instant(256);
    const std::string state = row.left_in;
    std::array<std::uint8_t, 256> block{};
    if (state == "DFUDnloadIdle") {
      ASSERT_TRUE(dfu::download_block(device, 0, left_over));
      ASSERT_TRUE(dfu::get_status(device, dfu::kDfuRequestTimeout));
    } else if (state == "DFUUploadIdle") {
      vexo_->btm_firmware() = pattern(1000);
      ASSERT_TRUE(dfu::upload_block(device, 0, block));
    } else if (state == "DFUError") {
      ASSERT_FALSE(dfu::download_block(device, 0, pattern(257)));  // stalled: errSTALLEDPKT
    }
    device.set_known_idle(false);  // as after any transfer that did not end
    sim::bus().requests().clear();

    ASSERT_EQ(failure(dfu::download(device, dfu_file(image), recording_progress())), "ok");

    std::vector<Wire> expected = row.first;
    expected.push_back({kDnload, 0, 256});
    auto sent = wire();
    sent.resize(expected.size());
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(vexo_->btm_firmware(), image);
  }
}

TEST_F(Download, AnImageOfWholeBlocksNeedsNoEmptyDataBlock) {
  auto& device = connect_instant(256);
  const Bytes image = pattern(512, 3);

  ASSERT_EQ(failure(dfu::download(device, dfu_file(image), recording_progress())), "ok");

  EXPECT_EQ(wire(), (std::vector<Wire>{{kDnload, 0, 256},
                                       {kGetStatus, 0, 6},
                                       {kDnload, 1, 256},
                                       {kGetStatus, 0, 6},
                                       {kDnload, 2, 0},
                                       {kGetStatus, 0, 6}}));
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 512}, {256, 512}, {512, 512}}));
  EXPECT_EQ(vexo_->btm_firmware(), image);
}

TEST_F(Download, AnEmptyImageGoesStraightToManifestationWithBlockOne) {
  auto& device = connect_instant(256);

  const auto result = dfu::download(device, dfu_file({}), recording_progress());

  EXPECT_EQ(wire(), (std::vector<Wire>{{kDnload, 1, 0}}));
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 0}}));
  // The loader, like any DFU 1.1 loader, will not manifest an image it never received.
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().usb(), UsbError::Pipe);
}

TEST_F(Download, ABusyBlockIsPolledAfterEachPollTimeout) {
  // bwPollTimeout 0 asks again at once; 1000 arrives as the bytes E8 03 00.
  for (std::uint32_t poll_ms : {40u, 0u, 1000u}) {
    SCOPED_TRACE(poll_ms);
    sim::reset();
    auto& device = connect_instant(256);
    vexo_->faults().dfu.busy_polls = 3;
    vexo_->faults().dfu.busy_poll_timeout_ms = poll_ms;

    ASSERT_EQ(failure(dfu::download(device, dfu_file(pattern(100)), recording_progress())), "ok");

    EXPECT_EQ(wire(), (std::vector<Wire>{{kDnload, 0, 100},
                                         {kGetStatus, 0, 6},
                                         {kGetStatus, 0, 6},
                                         {kGetStatus, 0, 6},
                                         {kGetStatus, 0, 6},
                                         {kDnload, 1, 0},
                                         {kGetStatus, 0, 6}}));
    const auto polls = control(kGetStatus);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(polls.at(i).data.at(4), 4);  // DFUDnbusy
      EXPECT_EQ(polls.at(i + 1).time - polls.at(i).time, std::chrono::milliseconds(poll_ms));
    }
    EXPECT_EQ(polls.at(3).data.at(4), 5);  // DFUDnloadIdle
    if (poll_ms == 1000) {
      EXPECT_EQ(Bytes(polls[0].data.begin() + 1, polls[0].data.begin() + 4),
                (Bytes{0xE8, 0x03, 0x00}));
    }
    device_.reset();
  }
}

TEST_F(Download, ALoaderBusyWithOneBlockForAMinuteHasHung) {
  auto& device = connect_instant(256);
  vexo_->faults().dfu.busy_polls = 1'000'000;
  vexo_->faults().dfu.busy_poll_timeout_ms = 1000;

  EXPECT_EQ(failure(dfu::download(device, dfu_file(pattern(100)), recording_progress())),
            "timeout: DFU block download timed out");
  EXPECT_EQ(control(kGetStatus).size(), 61u);  // one a second, then it gives up
  device_.reset();
}

TEST_F(Download, APollTimeoutPastTheMinuteEndsTheWaitAtOnce) {
  // bwPollTimeout can say 4.6 hours; a loader may not be asked earlier, so the host gives up.
  auto& device = connect_instant(256);
  vexo_->faults().dfu.busy_polls = 1;
  vexo_->faults().dfu.busy_poll_timeout_ms = 0xFFFFFF;
  const auto start = sim::bus().now();
  EXPECT_EQ(failure(dfu::download(device, dfu_file(pattern(100)), recording_progress())),
            "timeout: DFU block download timed out");
  EXPECT_EQ(sim::bus().now(), start);
  EXPECT_EQ(control(kGetStatus).size(), 1u);
  device_.reset();
}

TEST_F(Download, AnErrorStatusAfterABlockIsClearedThenReported) {
  auto& device = connect_instant(256);
  vexo_->faults().dfu.error_at_block = 1;
  LogCapture log;

  const auto result = dfu::download(device, dfu_file(pattern(700)), recording_progress());

  EXPECT_EQ(failure(result), "device error: failed block download: 0xa");
  EXPECT_EQ(wire(), (std::vector<Wire>{{kDnload, 0, 256},
                                       {kGetStatus, 0, 6},
                                       {kDnload, 1, 256},
                                       {kGetStatus, 0, 6},
                                       {kClrStatus, 0, 0}}));
  EXPECT_EQ(control(kClrStatus).at(0).setup.request_type, 0x21);
  EXPECT_EQ(control(kClrStatus).at(0).timeout_ms, 1000);
  // Warnings carry no target in the log line.
  const auto records = log.records();
  EXPECT_NE(std::find(records.begin(), records.end(), "WARN : Status = 0xa, clearing"),
            records.end())
      << ::testing::PrintToString(records);
  EXPECT_EQ(log.messages("Clearing status").size(), 1u);
  EXPECT_EQ(progress_calls().back(), (std::pair<std::uint64_t, std::uint64_t>{512, 700}));

  // The clear left the loader idle and without an error to report.
  auto status = dfu::get_status(device, dfu::kDfuRequestTimeout);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->status, 0);
  EXPECT_EQ(status->state, dfu::DfuState::DFUIdle);
}

TEST_F(Download, AnUnexpectedStateAfterABlockEndsTheDownloadByName) {
  auto& device = connect_instant(256);
  vexo_->faults().dfu.wrong_state_at_block = 0;  // DFUIdle

  EXPECT_EQ(failure(dfu::download(device, dfu_file(pattern(700)), recording_progress())),
            "device error: invalid state during download: DFUIdle");
  EXPECT_EQ(wire(), (std::vector<Wire>{{kDnload, 0, 256}, {kGetStatus, 0, 6}}));
}

TEST_F(Download, TransportAndStatusFaultsEndTheDownloadAtTheirBlock) {
  {
    auto& device = connect_instant(256);
    vexo_->faults().dfu.stall_at_block = 1;
    const auto result = dfu::download(device, dfu_file(pattern(700)), recording_progress());
    EXPECT_EQ(failure(result), "libusb error: Pipe error");
    EXPECT_EQ(wire(),
              (std::vector<Wire>{{kDnload, 0, 256}, {kGetStatus, 0, 6}, {kDnload, 1, 256}}));
  }
  {
    sim::reset();
    auto& device = connect_instant(256);
    vexo_->faults().dfu.short_status = 1;
    EXPECT_EQ(failure(dfu::download(device, dfu_file(pattern(700)), recording_progress())),
              "device error: invalid GetStatus response: 0x5");
  }
  {
    sim::reset();
    auto& device = connect_instant(256);
    vexo_->faults().dfu.invalid_state = 1;
    EXPECT_EQ(failure(dfu::download(device, dfu_file(pattern(700)), recording_progress())),
              "device error: invalid state: 0xb");
  }
  {
    sim::reset();
    auto& device = connect_instant(256);
    sim::bus().faults().add({.match = {.kind = RequestKind::ControlOut, .request = kDnload},
                             .action = sim::Action::short_transfer(128)});
    EXPECT_EQ(failure(dfu::download(device, dfu_file(pattern(700)), recording_progress())),
              "device error: partial FW chunk write: 0x80 < 0x100");
    EXPECT_EQ(wire().size(), 1u);  // no status request for a block that did not arrive whole
  }
}

TEST_F(Download, NothingIsSentWhenTheDeviceOrTheFileDoesNotFit) {
  {
    auto& device = connect(loader(256, kCanUpload | kManifestationTolerant));
    // Refused before the file is even looked at.
    EXPECT_EQ(failure(dfu::download(device, Bytes{1, 2, 3}, recording_progress())),
              "device error: download operation not supported");
  }
  {
    sim::reset();
    auto& device = connect(loader(256));
    Bytes file = dfu_file(pattern(300));
    file[10] ^= 0x01;
    EXPECT_EQ(dfu::download(device, file, recording_progress()).error().kind(),
              ErrorKind::InvalidImage);
  }
  EXPECT_TRUE(wire().empty());
  EXPECT_TRUE(progress_calls().empty());
}

TEST_F(Download, AZeroTransferSizeIsRefusedBeforeAnyBlock) {
  auto& device = connect(loader(0));
  const auto result = dfu::download(device, dfu_file(pattern(300)), recording_progress());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::InternalError);
  EXPECT_TRUE(wire().empty());
}

class Manifestation : public DfuTest {};

TEST_F(Manifestation, PollsAtTheLoadersPaceAndTheImageArrivesAtTheEnd) {
  auto& device = connect(loader(256));
  vexo_->faults().dfu.manifest_time = 300ms;
  vexo_->faults().dfu.manifest_poll_timeout_ms = 100;
  const Bytes before = vexo_->btm_firmware();
  const Bytes image = pattern(300);

  ASSERT_EQ(failure(dfu::download(device, dfu_file(image), recording_progress())), "ok");

  const auto polls = control(kGetStatus);
  ASSERT_EQ(polls.size(), 2u + 4u);  // two blocks, then four during manifestation
  for (std::size_t i = 2; i < 5; ++i) {
    EXPECT_EQ(polls[i].data.at(4), 7);  // DFUManifest
    EXPECT_EQ(polls[i + 1].time - polls[i].time, 100ms);
  }
  EXPECT_EQ(polls[5].data.at(4), 2);  // DFUIdle
  EXPECT_EQ(vexo_->btm_firmware(), image);
}

TEST_F(Manifestation, ANonTolerantLoaderWaitingForResetHasFinished) {
  auto& device = connect(loader(256, kCanDnload | kCanUpload));
  vexo_->faults().dfu.manifest_time = 0ns;
  ASSERT_EQ(failure(dfu::download(device, dfu_file(pattern(10)), recording_progress())), "ok");
  EXPECT_EQ(control(kGetStatus).back().data.at(4), 8);  // DFUManifestWaitReset
  EXPECT_EQ(vexo_->btm_firmware(), pattern(10));
}

TEST_F(Manifestation, StatusTimeoutsAreRetriedAtOnce) {
  auto& device = connect(loader(256));
  vexo_->faults().dfu.manifest_time = 0ns;
  vexo_->faults().dfu.manifest_status_timeouts = 2;
  LogCapture log;

  ASSERT_EQ(failure(dfu::download(device, dfu_file(pattern(10)), recording_progress())), "ok");

  EXPECT_EQ(log.messages("Manifestation still in progress").size(), 2u);
  const auto polls = control(kGetStatus);
  ASSERT_EQ(polls.size(), 4u);
  EXPECT_EQ(polls[1].result, LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(polls[2].result, LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(polls[3].time - polls[2].time, 0s);  // no sleep after a timed-out request
}

TEST_F(Manifestation, EndsWithATimeoutAfterSixtySeconds) {
  // Silent or forever busy: either way the host gives up after 60 s.
  for (bool silent : {true, false}) {
    SCOPED_TRACE(silent);
    sim::reset();
    auto& device = connect(loader(256));
    vexo_->faults().dfu.manifest_never_ends = true;
    vexo_->faults().dfu.manifest_poll_timeout_ms = 100;
    if (silent) vexo_->faults().dfu.manifest_status_timeouts = sim::vexo::VexoFaults::kAlways;

    const auto result = dfu::download(device, dfu_file(pattern(10)), recording_progress());

    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), ErrorKind::Timeout);
    EXPECT_EQ(result.error().text(), "DFU manifest stage timed out");
    const auto started = control(kDnload).back().time;
    EXPECT_EQ(sim::bus().now() - started, 60s);
    EXPECT_EQ(control(kGetStatus).size(), 1u + (silent ? 60u : 600u));
    EXPECT_TRUE(vexo_->btm_firmware().empty());
    device_.reset();
  }
}

}  // namespace
}  // namespace velk::testing
