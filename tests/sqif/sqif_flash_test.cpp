// Flashing an image through the Vexo's loader: the command sequence, the chunks and progress,
// what ends up on the flash, and how the loader's faults reach the caller.
#include "velk/src/device/sqif/sqif_flash.h"

#include <chrono>

#include "sim/vexo/sqif_mode.h"
#include "tests/sqif/sqif_fixture.h"
#include "velk/src/device/progress.h"

namespace sqif_test {
namespace {

using namespace std::chrono_literals;
using sim::vexo::SqifMode;
using sim::vexo::VexoFaults;
using velk::ErrorKind;
namespace sqif = velk::sqif;

const Bytes kErase{0x01, 0x02, 0x00};
const Bytes kManifest{0x01, 0x05, 0x03};

class SqifFlash : public SqifTest {
 protected:
  void SetUp() override {
    SqifTest::SetUp();
    vexo_ = plug_vexo();
    connect();
  }

  velk::Status flash(const std::string& xuv) {
    return sqif::flash_sqif(*device_, bytes_of(xuv), velk::Progress(&record_progress));
  }
  velk::Status flash_image(const Bytes& image) {
    return sqif::flash_image(*device_, image, velk::Progress(&record_progress));
  }
  // The lengths of the reports sent, which show how the image was cut.
  static std::vector<std::size_t> report_sizes() {
    std::vector<std::size_t> out;
    for (const Bytes& r : reports()) out.push_back(r.size());
    return out;
  }
  // Whether the flash holds `image` from offset 0 and is erased behind it.
  ::testing::AssertionResult flash_holds(const Bytes& image) {
    const Bytes& flash = vexo_->sqif_flash();
    if (flash.size() != SqifMode::kFlashSize)
      return ::testing::AssertionFailure() << "flash size " << flash.size();
    if (!std::equal(image.begin(), image.end(), flash.begin()))
      return ::testing::AssertionFailure() << "image differs";
    const auto rest = std::find_if(flash.begin() + static_cast<std::ptrdiff_t>(image.size()),
                                   flash.end(), [](std::uint8_t b) { return b != 0xFF; });
    if (rest != flash.end())
      return ::testing::AssertionFailure() << "written at " << (rest - flash.begin());
    return ::testing::AssertionSuccess();
  }

  std::shared_ptr<sim::vexo::Vexo> vexo_;
};

TEST_F(SqifFlash, EmptyImageIsEraseAndManifestWithProgressZeroOfZero) {
  ASSERT_TRUE(flash("\n  \r\n"));
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 0}}));
  EXPECT_EQ(reports(), (std::vector<Bytes>{kErase, kManifest}));
  EXPECT_TRUE(flash_holds({}));
}

TEST_F(SqifFlash, ImageGoesOutIn1018ByteChunksWithProgressAfterEach) {
  const Bytes image = pattern(2000);
  ASSERT_TRUE(flash(xuv_for(image)));
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 2000}, {1018, 2000}, {2000, 2000}}));
  // erase, 4 + 1018, 4 + 982, manifest
  EXPECT_EQ(report_sizes(), (std::vector<std::size_t>{3, 1022, 986, 3}));
  const Bytes last_chunk = reports()[2];
  EXPECT_EQ(Bytes(last_chunk.begin(), last_chunk.begin() + 4),
            (Bytes{0x01, 0x03, 0x03, 0xD6}));  // 982
  EXPECT_TRUE(flash_holds(image));
}

TEST_F(SqifFlash, ChunkBoundariesOneByteEitherSide) {
  ASSERT_TRUE(flash_image(pattern(1018)));
  EXPECT_EQ(report_sizes(), (std::vector<std::size_t>{3, 1022, 3}));
  sim::bus().requests().clear();
  progress_calls().clear();
  const Bytes odd = pattern(1019);  // only a binary image can be odd; xuv words come in pairs
  ASSERT_TRUE(flash_image(odd));
  EXPECT_EQ(report_sizes(), (std::vector<std::size_t>{3, 1022, 5, 3}));
  EXPECT_EQ(reports()[2], (Bytes{0x01, 0x03, 0x00, 0x01, odd[1018]}));
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 1019}, {1018, 1019}, {1019, 1019}}));
  EXPECT_TRUE(flash_holds(odd));
}

TEST_F(SqifFlash, XuvGapsAreWrittenAsZerosNotLeftErased) {
  ASSERT_TRUE(flash("@0 1234\r\n@2 5678"));
  EXPECT_TRUE(flash_holds({0x12, 0x34, 0x00, 0x00, 0x56, 0x78}));
}

TEST_F(SqifFlash, EraseKeepsTheHostBackingOffWhileTheLoaderIsBusy) {
  const auto start = sim::bus().now();
  ASSERT_TRUE(flash(""));
  std::size_t busy = 0;
  const auto all = reads();
  for (std::size_t i = 0; i + 1 < all.size(); ++i) {
    if (all[i].data != Bytes{0x02, 0x02, 0x01}) continue;
    ++busy;
    EXPECT_EQ(all[i + 1].time - all[i].time, 5ms);
  }
  EXPECT_EQ(busy, 20u);  // 100 ms of erase in 5 ms steps
  EXPECT_GE(sim::bus().now() - start, SqifMode::kEraseTime);
}

TEST_F(SqifFlash, MalformedXuvSendsNothingAndReportsNoProgress) {
  auto r = flash("@0 1234\n@0 1 2\n");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidImage);
  EXPECT_EQ(r.error().text(), "invalid line: \"@0 1 2\"");
  EXPECT_TRUE(sim::bus().requests().all().empty());
  EXPECT_TRUE(progress_calls().empty());
}

TEST_F(SqifFlash, FirstFailureEndsTheFlashAndKeepsWhatWasWritten) {
  vexo_->faults().sqif.fail_command = SqifMode::kManifest;
  const Bytes image = pattern(3000);
  auto r = flash(xuv_for(image));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(), "device error: failed command status");
  EXPECT_EQ(progress_calls().back(), (std::pair<std::uint64_t, std::uint64_t>{3000, 3000}));
  EXPECT_TRUE(flash_holds(image));

  sim::bus().requests().clear();
  progress_calls().clear();
  vexo_->faults().sqif.fail_command = SqifMode::kWrite;
  r = flash(xuv_for(image));
  ASSERT_FALSE(r);
  EXPECT_EQ(report_sizes(), (std::vector<std::size_t>{3, 1022}));  // no second chunk, no manifest
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 3000}}));
}

TEST_F(SqifFlash, LoaderNoiseDoesNotDisturbAFlash) {
  auto& faults = vexo_->faults().sqif;
  faults.busy_reads = 7;
  faults.foreign_statuses = VexoFaults::kAlways;
  faults.silence = 12s;
  const Bytes image = pattern(4096);
  ASSERT_TRUE(flash(xuv_for(image)));
  EXPECT_TRUE(flash_holds(image));
  EXPECT_EQ(faults.busy_reads, 0u);
  EXPECT_GE(sim::bus().now(), 12s);
}

TEST_F(SqifFlash, LoaderFaultsReachTheCallerAsTheirErrors) {
  auto& faults = vexo_->faults().sqif;
  const auto first_error = [&] {
    sim::bus().faults().clear();
    auto r = flash(xuv_for(pattern(100)));
    EXPECT_FALSE(r);
    return r ? std::string("success") : r.error().display();
  };

  faults.invalid_statuses = 1;
  EXPECT_EQ(first_error(), "device error: invalid status: 0x7");
  faults.short_writes = 1;
  faults.short_write_bytes = 1;
  EXPECT_EQ(first_error(), "device error: partial HID report write: 0x1 < 0x3");
  faults.read_errors = 1;
  EXPECT_EQ(first_error(), "hidapi error: Read error.");
  faults.silence = 31s;
  EXPECT_EQ(first_error().rfind("timeout: ", 0), 0u);
  // A loader that answered late is still there.
  EXPECT_TRUE(sqif::sqif_ping(*device_));
}

TEST_F(SqifFlash, LoaderRefusesWritesBeforeTheEraseAndPastTheEndOfTheFlash) {
  auto before = sqif::sqif_write(*device_, Bytes{1, 2});
  ASSERT_FALSE(before);
  EXPECT_EQ(before.error().text(), "failed command status");
  EXPECT_TRUE(vexo_->sqif_flash().empty());

  Bytes image(SqifMode::kFlashSize + 1, 0x00);
  auto past = flash_image(image);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().text(), "failed command status");
  const std::uint64_t whole_chunks = SqifMode::kFlashSize / 1018 * 1018;
  EXPECT_EQ(progress_calls().back().first, whole_chunks);  // the chunk across the end failed
  image.resize(whole_chunks);
  EXPECT_TRUE(flash_holds(image));
}

}  // namespace
}  // namespace sqif_test
