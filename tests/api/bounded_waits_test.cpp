// A device that never lets go: it floods events, stays busy or never answers our command. Each
// call ends with its code and one error record within its bound, and the same handle works
// again once the device behaves.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "sim/bus.h"
#include "sim/vexo/vexo.h"
#include "tests/support/api_fixture.h"
#include "velk.h"
#include "velk/src/device/dfu/dfu_file.h"

namespace {

using namespace std::chrono_literals;
using sim::vexo::Mode;
using sim::vexo::Vexo;
using sim::vexo::VexoFaults;

class BoundedWaits : public velk::testing::ApiTest {
 protected:
  // Opens a Vexo in `mode` holding a key to read back; the log starts after the open.
  void open(Mode mode) {
    vexo_ = Vexo::plug({.mode = mode});
    vexo_->set_pskey(0x0100, {0xCAFE});
    ApiTest::open();
    log_.emplace();
  }

  // The key written at open, read back through the handle.
  bool reads_back() {
    std::uint16_t word = 0;
    return velk_read_pskey(handle_, 0x0100, &word, 1) == 1 && word == 0xCAFE;
  }
};

TEST_F(BoundedWaits, FloodOfEventsEndsAnExchangeAsSpurious) {
  open(Mode::Btm);
  vexo_->faults().event_flood = true;
  std::uint16_t word = 0;
  EXPECT_EQ(velk_read_pskey(handle_, 0x0100, &word, 1), -65529);
  EXPECT_EQ(log_->errors(),
            std::vector<std::string>{
                "spurious error: no BCCMD response among 0x100 events of other channels"});
  EXPECT_EQ(log_->count("invalid bccmd response: "), 256u);
  EXPECT_EQ(sim::bus().requests().count(sim::RequestKind::InterruptIn), 256u);

  vexo_->faults().event_flood = false;
  EXPECT_TRUE(reads_back());
  EXPECT_EQ(vexo_->boots(), 0u);
}

TEST_F(BoundedWaits, FloodOfEventsAtConnectFailsEachAttempt) {
  open(Mode::Btm);
  vexo_->faults().event_flood = true;
  const auto start = sim::bus().now();
  EXPECT_EQ(velk_reset(handle_), -65531);
  // Each attempt flushes 256 events at most, none of which waits: 5 s, then 300 one-second
  // attempts.
  EXPECT_EQ(sim::bus().now() - start, 305s);
  EXPECT_EQ(log_->count("Failed to switch mode: device error: events still coming after 0x100 "
                        "flushed"),
            300u);
  EXPECT_EQ(log_->errors(),
            std::vector<std::string>{
                "failed to enumerate devices: exceeded maximum number of retries (300)"});

  vexo_->faults().event_flood = false;
  EXPECT_TRUE(reads_back());
}

TEST_F(BoundedWaits, LoaderBusyForEverEndsTheFlashAfterFiveMinutes) {
  open(Mode::Sqif);
  vexo_->faults().sqif.busy_reads = VexoFaults::kAlways;
  const std::string xuv = "@000000 1234\n";
  const auto* image = reinterpret_cast<const std::uint8_t*>(xuv.data());
  const auto start = sim::bus().now();
  EXPECT_EQ(velk_flash_sqif(handle_, image, static_cast<std::uint32_t>(xuv.size()), nullptr),
            -65527);
  EXPECT_GE(sim::bus().now() - start, 300s);
  EXPECT_LT(sim::bus().now() - start, 301s);
  EXPECT_EQ(log_->errors(),
            std::vector<std::string>{"timeout: SQIF command 0x2 still busy after 5 minutes"});
  EXPECT_EQ(velk_status(handle_), 0);  // the loader is still busy: a ping gets no done

  vexo_->faults().sqif.busy_reads = 0;
  EXPECT_EQ(velk_status(handle_), 3);
  EXPECT_EQ(velk_flash_sqif(handle_, image, static_cast<std::uint32_t>(xuv.size()), nullptr), 0);
  EXPECT_EQ(vexo_->sqif_flash().at(0), 0x12);
  EXPECT_TRUE(reads_back());
}

TEST_F(BoundedWaits, DspLoaderBusyForEverEndsTheWriteAfterAMinute) {
  open(Mode::Dsp);
  vexo_->faults().dsp.busy_status_reads = VexoFaults::kAlways;
  const std::uint8_t data[4] = {1, 2, 3, 4};
  const auto start = sim::bus().now();
  EXPECT_EQ(velk_write_dsp(handle_, 0x20000, data, 4, nullptr), -65527);
  EXPECT_GE(sim::bus().now() - start, 60s);
  EXPECT_LT(sim::bus().now() - start, 61s);
  EXPECT_EQ(log_->errors().size(), 1u);

  vexo_->faults().dsp.busy_status_reads = 0;
  EXPECT_EQ(velk_write_dsp(handle_, 0x20000, data, 4, nullptr), 0);
  std::uint8_t back[4] = {};
  EXPECT_EQ(velk_read_dsp(handle_, 0x20000, back, 4, nullptr), 0);
  EXPECT_EQ(back[3], 4);
}

TEST_F(BoundedWaits, ManifestationWithoutEndTimesOutAndARestartRecovers) {
  open(Mode::Dfu);
  vexo_->faults().dfu.manifest_never_ends = true;
  std::vector<std::uint8_t> file(64, 0x5A);
  velk::dfu::append_dfu_suffix(file, sim::vexo::kMakerVendor, sim::vexo::kDfuProduct, 0x0102);
  const auto flash = [&] {
    return velk_flash_btm(handle_, file.data(), static_cast<std::uint32_t>(file.size()), nullptr);
  };

  EXPECT_EQ(flash(), -65527);
  EXPECT_EQ(log_->errors(), std::vector<std::string>{"timeout: DFU manifest stage timed out"});

  // The loader is left in manifestation; a restart brings the device back, and it flashes.
  vexo_->faults().dfu.manifest_never_ends = false;
  EXPECT_EQ(velk_reset(handle_), 0);
  EXPECT_EQ(flash(), 0);
  EXPECT_EQ(vexo_->btm_firmware(), std::vector<std::uint8_t>(64, 0x5A));
}

}  // namespace
