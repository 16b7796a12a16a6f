// The block upload against the virtual DFU loader, and the loader's own rules that keep the
// download honest.
#include <array>
#include <chrono>

#include "sim/faults.h"
#include "tests/dfu/dfu_fixture.h"
#include "tests/support/log_capture.h"
#include "velk/src/device/dfu/dfu_transfer.h"

namespace velk::testing {
namespace {

using namespace std::chrono_literals;

class Upload : public DfuTest {
 protected:
  dfu::DfuDevice& connect_holding(const Bytes& firmware, std::uint16_t transfer_size = 256,
                                  std::uint8_t attributes = kCanDnload | kCanUpload |
                                                            kManifestationTolerant) {
    auto& device = connect(loader(transfer_size, attributes));
    vexo_->btm_firmware() = firmware;
    return device;
  }

  // Bytes received per upload request.
  static std::vector<std::size_t> reads() {
    std::vector<std::size_t> out;
    for (const auto& r : control(kUpload)) out.push_back(r.data.size());
    return out;
  }

  static Bytes joined(const dfu::FilePieces& pieces) {
    Bytes out;
    for (const auto& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
    return out;
  }
};

TEST_F(Upload, AnImageThatNeverEndsIsCutOff) {
  // 64 MiB of full blocks and still no short one: the loader is broken.
  auto& device = connect_holding(Bytes((64u << 20) + 2 * 0xFFFF, 0x5A), 0xFFFF);

  auto image = dfu::upload(device, recording_progress());

  ASSERT_FALSE(image);
  EXPECT_EQ(image.error().display(), "device error: upload exceeds 0x4000000 bytes");
}

TEST_F(Upload, ReadsBlocksUntilAShortOneAndAppendsASuffix) {
  const Bytes firmware = pattern(600);
  auto& device = connect_holding(firmware);
  LogCapture log;

  auto image = dfu::upload(device, recording_progress());

  ASSERT_TRUE(image) << image.error().display();
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"Uploading image"}));
  EXPECT_EQ(wire(), (std::vector<Wire>{{kUpload, 0, 256}, {kUpload, 1, 256}, {kUpload, 2, 256}}));
  EXPECT_EQ(reads(), (std::vector<std::size_t>{256, 256, 88}));
  for (const auto& r : control(kUpload)) {
    EXPECT_EQ(r.setup.request_type, 0xA1);
    EXPECT_EQ(r.setup.index, 0);
    EXPECT_EQ(r.timeout_ms, 1000);
  }
  EXPECT_EQ(progress_calls(), (ProgressCalls{{256, 256}, {512, 512}, {600, 600}}));
  const Bytes file = joined(*image);
  ASSERT_EQ(file.size(), 616u);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 600), firmware);
  EXPECT_EQ(Bytes(file.begin() + 600, file.begin() + 606),
            (Bytes{0xFF, 0xFF,     // bcdDevice: no release
                   0x00, 0x13,     // idProduct 0x1300, the DFU identity with bit 0 cleared
                   0x11, 0x7A}));  // idVendor
  EXPECT_TRUE(dfu::check_dfu_file(file, sim::vexo::kMakerVendor, sim::vexo::kDfuProduct));
}

TEST_F(Upload, ALargeImageComesInPiecesWithOneCrcOverAll) {
  const Bytes firmware = pattern((5u << 19) + 1000, 3);  // 2.5 MiB and a short block
  auto& device = connect_holding(firmware, 0xFFFF);

  auto image = dfu::upload(device, recording_progress());

  ASSERT_TRUE(image) << image.error().display();
  EXPECT_GT(image->size(), 2u);
  const Bytes file = joined(*image);
  EXPECT_EQ(Bytes(file.begin(), file.end() - 16), firmware);
  EXPECT_TRUE(dfu::check_dfu_file(file, sim::vexo::kMakerVendor, sim::vexo::kDfuProduct));
}

TEST_F(Upload, AnImageOfWholeBlocksEndsWithAnEmptyRead) {
  auto& device = connect_holding(pattern(512));

  auto image = dfu::upload(device, recording_progress());

  ASSERT_TRUE(image);
  EXPECT_EQ(reads(), (std::vector<std::size_t>{256, 256, 0}));
  EXPECT_EQ(progress_calls(), (ProgressCalls{{256, 256}, {512, 512}, {512, 512}}));
  EXPECT_EQ(joined(*image).size(), 528u);
}

TEST_F(Upload, AnEmptyFirmwareGivesTheSuffixAlone) {
  auto& device = connect_holding({});
  auto image = dfu::upload(device, recording_progress());
  ASSERT_TRUE(image);
  EXPECT_EQ(reads(), (std::vector<std::size_t>{0}));
  const Bytes file = joined(*image);
  EXPECT_EQ(file.size(), 16u);
  EXPECT_TRUE(dfu::check_dfu_file(file, sim::vexo::kMakerVendor, sim::vexo::kDfuProduct));
}

TEST_F(Upload, IsRefusedBeforeAnyRequestWithoutUploadOrWithAZeroTransferSize) {
  {
    auto& device = connect_holding(pattern(600), 256, kCanDnload | kManifestationTolerant);
    auto image = dfu::upload(device, recording_progress());
    ASSERT_FALSE(image);
    EXPECT_EQ(image.error().display(), "device error: upload operation not supported");
  }
  {
    sim::reset();
    // A read of 0 bytes is never short, so this upload would never end.
    auto& device = connect_holding(pattern(600), 0);
    auto image = dfu::upload(device, recording_progress());
    ASSERT_FALSE(image);
    EXPECT_EQ(image.error().kind(), ErrorKind::InternalError);
  }
  EXPECT_TRUE(wire().empty());
  EXPECT_TRUE(progress_calls().empty());
}

TEST_F(Upload, AFailedReadDiscardsTheImage) {
  auto& device = connect_holding(pattern(600));
  sim::bus().faults().add({.match = {.kind = RequestKind::ControlIn, .request = kUpload},
                           .action = sim::Action::stall(),
                           .skip = 1});
  auto image = dfu::upload(device, recording_progress());
  ASSERT_FALSE(image);
  EXPECT_EQ(image.error().display(), "libusb error: Pipe error");
  EXPECT_EQ(progress_calls(), (ProgressCalls{{256, 256}}));
}

TEST_F(Upload, AnUploadedImageDownloadsBackUnchanged) {
  const Bytes firmware = pattern(2000, 9);
  auto& device = connect_holding(firmware, 300);
  auto image = dfu::upload(device, recording_progress());
  ASSERT_TRUE(image);
  vexo_->faults().dfu.manifest_time = 0ns;
  vexo_->btm_firmware() = pattern(50);
  ASSERT_TRUE(dfu::download(device, joined(*image), recording_progress()));
  EXPECT_EQ(vexo_->btm_firmware(), firmware);
}

// The loader holds the host to the DFU rules, so that the download tests above mean something.
class Loader : public DfuTest {
 protected:
  Result<dfu::DfuStatus> status() { return dfu::get_status(*device_, dfu::kDfuRequestTimeout); }
};

TEST_F(Loader, AStatusRequestBeforeThePollTimeoutStallsAndMustBeCleared) {
  auto& device = connect(loader(64));
  vexo_->faults().dfu.busy_polls = 2;
  vexo_->faults().dfu.busy_poll_timeout_ms = 50;
  ASSERT_TRUE(dfu::download_block(device, 0, pattern(64)));
  ASSERT_EQ(status()->state, dfu::DfuState::DFUDnbusy);

  sim::bus().advance(49ms);
  auto early = status();
  ASSERT_FALSE(early);
  EXPECT_EQ(early.error().usb(), UsbError::Pipe);
  auto after = status();  // errSTALLEDPKT in DFUError, cleared by get_status itself
  ASSERT_TRUE(after);
  EXPECT_EQ(after->status, 0x0F);
  EXPECT_EQ(after->state, dfu::DfuState::DFUError);
  EXPECT_EQ(status()->state, dfu::DfuState::DFUIdle);
}

// As strict as a real loader, and as careless: once a download is under way it takes any data
// block as the next one, so only an abort keeps a new download from continuing an old one.
TEST_F(Loader, TakesAnyBlockAsTheNextOnceADownloadIsUnderWay) {
  auto& device = connect(loader(64));
  EXPECT_FALSE(dfu::download_block(device, 0, pattern(65)));
  ASSERT_TRUE(status());  // clears the error
  ASSERT_TRUE(dfu::download_block(device, 0, pattern(64)));
  EXPECT_FALSE(dfu::dfu_abort(device));  // not while the block waits for its status
  ASSERT_TRUE(status());
  ASSERT_TRUE(dfu::download_block(device, 5, pattern(64)));  // a download may start at any number
  ASSERT_EQ(status()->state, dfu::DfuState::DFUDnloadIdle);
  ASSERT_TRUE(dfu::download_block(device, 0, pattern(64, 1)));  // block 0 again: appended
  ASSERT_EQ(status()->state, dfu::DfuState::DFUDnloadIdle);
  ASSERT_TRUE(dfu::manifest(device, 7));
  Bytes both = pattern(64);
  const Bytes second = pattern(64, 1);
  both.insert(both.end(), second.begin(), second.end());
  EXPECT_EQ(vexo_->btm_firmware(), both);

  // An abort in DFUDnloadIdle drops what was received; a download in DFUUploadIdle stalls.
  ASSERT_TRUE(dfu::download_block(device, 0, pattern(64)));
  ASSERT_EQ(status()->state, dfu::DfuState::DFUDnloadIdle);
  EXPECT_TRUE(dfu::dfu_abort(device));
  EXPECT_EQ(status()->state, dfu::DfuState::DFUIdle);
  std::array<std::uint8_t, 64> block{};
  ASSERT_TRUE(dfu::upload_block(device, 0, block));
  EXPECT_FALSE(dfu::download_block(device, 0, pattern(64)));
  EXPECT_EQ(status()->state, dfu::DfuState::DFUError);
}

// Manifestation runs on the loader's clock: a non-tolerant loader that the host resets once the
// poll timeout has passed, without asking again, has written the image, even after a read that
// it stalled while busy (fwupd reads the image back as soon as it sees DFUManifest).
TEST_F(Loader, ManifestationEndsOnTheLoadersOwnClock) {
  for (const bool early_read : {false, true}) {
    SCOPED_TRACE(early_read ? "read during manifestation" : "no request after the status");
    sim::reset();
    auto& device = connect(loader(64, kCanDnload | kCanUpload));
    vexo_->faults().dfu.manifest_time = 100ms;
    vexo_->faults().dfu.manifest_poll_timeout_ms = 100;
    ASSERT_TRUE(dfu::download_block(device, 0, pattern(64)));
    ASSERT_TRUE(status());
    ASSERT_TRUE(dfu::download_block(device, 1, {}));
    ASSERT_EQ(status()->state, dfu::DfuState::DFUManifest);
    std::array<std::uint8_t, 64> block{};
    if (early_read) {
      EXPECT_FALSE(dfu::upload_block(device, 0, block));
    }
    sim::bus().advance(100ms);
    dfu::reset_dfu(device);
    sim::bus().advance(1s);  // the chip restarts
    EXPECT_TRUE(vexo_->firmware_valid());
    EXPECT_EQ(vexo_->btm_firmware(), pattern(64));
    device_.reset();
  }
}

}  // namespace
}  // namespace velk::testing
