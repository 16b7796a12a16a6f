// velk_flash_sqif through the C interface against the Vexo: the way into SQIF mode from each
// mode, the flash, and the restart back into the firmware that only a finished flash earns.
#include <chrono>

#include "sim/vexo/sqif_mode.h"
#include "tests/sqif/sqif_fixture.h"
#include "tests/support/api_fixture.h"
#include "velk.h"

namespace sqif_test {
namespace {

using namespace std::chrono_literals;
using sim::vexo::Mode;
using sim::vexo::SqifMode;
using sim::vexo::Vexo;

constexpr std::uint16_t kModeKey = 0x02AD;
const Bytes kErase{0x01, 0x02, 0x00};
const Bytes kManifest{0x01, 0x05, 0x03};
const Bytes kRestart{0x01, 0x01, 0x01};

class SqifApi : public velk::testing::ApiTest {
 protected:
  std::int32_t flash(const std::string& xuv, velk_progress_fn progress = &record_progress) {
    return velk_flash_sqif(handle_, reinterpret_cast<const std::uint8_t*>(xuv.data()),
                           static_cast<std::uint32_t>(xuv.size()), progress);
  }

  // The SQIF command reports, in order.
  static std::vector<Bytes> reports() {
    std::vector<Bytes> out;
    for (const auto& r : sim::bus().requests().of(RequestKind::HidWrite)) out.push_back(r.data);
    return out;
  }

  // Whether the firmware was told to select SQIF mode: a PS set of the mode key to 5.
  bool mode_key_set_to_sqif() const {
    for (const auto& m : vexo_->bccmd_requests()) {
      const bool ps_set = m.type == 2 && m.variable == 0x7003 && m.payload.size() >= 8;
      if (ps_set && (m.payload[0] | m.payload[1] << 8) == kModeKey &&
          (m.payload[6] | m.payload[7] << 8) == 5)
        return true;
    }
    return false;
  }

  bool flash_holds(const Bytes& image) const {
    const Bytes& flash = vexo_->sqif_flash();
    return flash.size() == SqifMode::kFlashSize &&
           std::equal(image.begin(), image.end(), flash.begin()) && flash[image.size()] == 0xFF;
  }
};

TEST_F(SqifApi, FlashFromBtmSelectsSqifFlashesAndRestartsIntoTheFirmware) {
  open(Mode::Btm);
  const Bytes image = pattern(3000);
  ASSERT_EQ(flash(xuv_for(image)), 0);

  // Into the loader through the mode key; the loader found under the chip maker's identity.
  EXPECT_TRUE(mode_key_set_to_sqif());
  EXPECT_EQ(log_->count("Switching to SQIF"), 1u);
  EXPECT_EQ(log_->count("velk::device::sqif: Connected to the device in SQIF mode"), 1u);
  // Erase, three chunks, manifest, restart; then, after the 5 s pause, the reconnection's
  // ping of the old connection, which finds the loader gone.
  const auto writes = sim::bus().requests().of(RequestKind::HidWrite);
  ASSERT_EQ(writes.size(), 7u);
  EXPECT_EQ(writes[0].data, kErase);
  EXPECT_EQ(writes[1].data.size(), 1022u);
  EXPECT_EQ(writes[3].data.size(), 4u + 3000 - 2 * 1018);
  EXPECT_EQ(writes[4].data, kManifest);
  EXPECT_EQ(writes[5].data, kRestart);
  EXPECT_EQ(writes[6].data, (Bytes{0x01, 0x00}));
  EXPECT_EQ(writes[6].result, -1);
  EXPECT_GE(writes[6].time - writes[5].time, 5s);
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 3000}, {1018, 3000}, {2036, 3000}, {3000, 3000}}));
  EXPECT_EQ(log_->count("Erasing partition 0"), 1u);
  EXPECT_EQ(log_->count("Writing firmware"), 1u);
  EXPECT_EQ(log_->count("Manifesting firmware"), 1u);

  // Back in the firmware, with the mode key put back by the loader and the image kept.
  EXPECT_EQ(vexo_->mode(), Mode::Btm);
  EXPECT_EQ(vexo_->boots(), 2u);
  EXPECT_EQ(vexo_->pskey(kModeKey), (std::vector<std::uint16_t>{0}));
  EXPECT_EQ(velk_status(handle_), 1);
  EXPECT_TRUE(flash_holds(image));
  EXPECT_GE(sim::bus().now(), 5s);
  EXPECT_TRUE(log_->errors().empty());
}

TEST_F(SqifApi, MalformedImageStopsInSqifModeBeforeAnyCommand) {
  open(Mode::Btm);
  EXPECT_EQ(flash("@0 1234\nnot an address\n"), -65528);
  EXPECT_EQ(vexo_->mode(), Mode::Sqif);
  EXPECT_TRUE(reports().empty());
  EXPECT_TRUE(progress_calls().empty());
  EXPECT_EQ(log_->errors(),
            std::vector<std::string>{"invalid firmware image: invalid line: \"not an address\""});
  EXPECT_EQ(velk_status(handle_), 3);
  EXPECT_TRUE(vexo_->sqif_flash().empty());  // not even erased
}

TEST_F(SqifApi, FlashFromDfuRestartsIntoTheFirmwareFirst) {
  open(Mode::Dfu);
  const Bytes image = pattern(64);
  ASSERT_EQ(flash(xuv_for(image), nullptr), 0);  // a host without a progress callback is served too

  // The DFU loader is left by a USB reset; only the firmware can select the SQIF loader.
  const auto usb_resets = sim::bus().requests().of(RequestKind::Reset);
  ASSERT_EQ(usb_resets.size(), 1u);
  const auto first_hid = sim::bus().requests().of(RequestKind::HidWrite).front();
  EXPECT_LT(usb_resets[0].time, first_hid.time);
  EXPECT_TRUE(mode_key_set_to_sqif());
  EXPECT_EQ(vexo_->boots(), 3u);  // into the firmware, into the loader, back into the firmware
  EXPECT_EQ(vexo_->mode(), Mode::Btm);
  EXPECT_TRUE(flash_holds(image));
}

TEST_F(SqifApi, FlashFromSqifNeedsNoSwitch) {
  open(Mode::Sqif);
  ASSERT_EQ(flash(xuv_for(pattern(8))), 0);
  EXPECT_FALSE(mode_key_set_to_sqif());
  EXPECT_EQ(reports().front(), kErase);
  EXPECT_EQ(vexo_->mode(), Mode::Btm);
}

TEST_F(SqifApi, FailedFlashLeavesTheLoaderRunningUntilTheNextOperation) {
  open(Mode::Btm);
  vexo_->faults().sqif.fail_command = SqifMode::kManifest;
  const Bytes image = pattern(100);
  EXPECT_EQ(flash(xuv_for(image)), -65530);
  EXPECT_EQ(log_->errors(), std::vector<std::string>{"device error: failed command status"});
  EXPECT_EQ(reports().back(), kManifest);  // no restart followed
  EXPECT_EQ(vexo_->mode(), Mode::Sqif);
  EXPECT_EQ(velk_status(handle_), 3);

  vexo_->faults().sqif.fail_command.reset();
  EXPECT_EQ(velk_reset(handle_), 0);
  EXPECT_EQ(velk_status(handle_), 1);
  EXPECT_TRUE(flash_holds(image));
}

TEST_F(SqifApi, NullImageWithALengthIsRefusedWithoutTouchingTheDevice) {
  open(Mode::Btm);
  EXPECT_EQ(velk_flash_sqif(handle_, nullptr, 10, &record_progress), -65532);
  EXPECT_TRUE(sim::bus().requests().all().empty());
  EXPECT_EQ(vexo_->mode(), Mode::Btm);
}

}  // namespace
}  // namespace sqif_test
