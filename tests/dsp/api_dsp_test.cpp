// The three DSP functions through the C interface, against the virtual Vexo: the switch from
// BTM mode through the mode key, the work in DSP mode, and the restart back, only on success.
#include <gtest/gtest.h>

#include "sim/bus.h"
#include "sim/vexo/vexo.h"
#include "tests/dsp/dsp_fixture.h"
#include "tests/support/api_fixture.h"
#include "tests/support/ff_builder.h"
#include "velk.h"

namespace velk::testing {
namespace {

using sim::vexo::Mode;
using sim::vexo::Vexo;

constexpr std::uint32_t DSP_RESET = 6;

// Whether the device was listed under the DSP loader's identity 7a11:0001 at every progress call.
bool g_listed_as_loader = true;

void VELK_CALL record(std::uint64_t done, std::uint64_t total) {
  record_progress(done, total);
  bool loader = false;
  for (const auto& a : sim::bus().attachments()) {
    loader |= a.descriptor.idVendor == 0x7A11 && a.descriptor.idProduct == 0x0001;
  }
  g_listed_as_loader &= loader;
}

class DspApi : public ApiTest {
 protected:
  void SetUp() override {
    ApiTest::SetUp();
    g_listed_as_loader = true;
  }

  static std::vector<std::uint32_t> command_codes() {
    std::vector<std::uint32_t> out;
    for (const auto& r : sim::bus().requests().of(RequestKind::HidSendFeature)) {
      if (r.data.size() == 18 && r.data[0] == 0x01) out.push_back(split_word(r.data, 2));
    }
    return out;
  }

  // The mode-key writes the firmware received: PS set requests for key 0x02AD, with their value.
  std::vector<std::uint16_t> mode_key_writes() const {
    std::vector<std::uint16_t> out;
    for (const auto& m : vexo_->bccmd_requests()) {
      const auto& p = m.payload;
      if (m.type == 2 && m.variable == 0x7003 && p.size() >= 8 && p[0] == 0xAD && p[1] == 0x02) {
        out.push_back(static_cast<std::uint16_t>(p[6] | p[7] << 8));
      }
    }
    return out;
  }
};

TEST_F(DspApi, FlashFromBtmSelectsTheLoaderAppliesTheImageAndRestartsBack) {
  open(Mode::Btm);
  std::fill(vexo_->dsp_flash().begin() + 0x20000, vexo_->dsp_flash().begin() + 0x30000, 0x00);
  const Bytes payload = pattern(0x100, 4);
  const Bytes image = ff_image({ff_erase(0x20000, 0x10000), ff_data(0x20100, payload)});

  ASSERT_EQ(velk_flash_dsp(handle_, image.data(), static_cast<std::uint32_t>(image.size()), record),
            0);

  EXPECT_EQ(mode_key_writes(), std::vector<std::uint16_t>{1});
  EXPECT_TRUE(g_listed_as_loader);
  EXPECT_EQ(progress_calls(),
            (ProgressCalls{{0, 0x10100}, {0x10000, 0x10100}, {0x10100, 0x10100}}));
  EXPECT_EQ(command_codes(), (std::vector<std::uint32_t>{1, 2, 3, 11, DSP_RESET}));
  EXPECT_EQ(vexo_->boots(), 2u);  // into the loader, and back
  EXPECT_EQ(vexo_->mode(), Mode::Btm);
  EXPECT_EQ(velk_status(handle_), 1);
  const Bytes& flash = vexo_->dsp_flash();
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), flash.begin() + 0x20100));
  EXPECT_EQ(std::count(flash.begin() + 0x20000, flash.begin() + 0x20100, 0xFF), 0x100);
  EXPECT_EQ(flash[0x30000], 0xFF);
}

TEST_F(DspApi, WriteThenReadBackThroughTheInterface) {
  open(Mode::Btm);
  const Bytes data = pattern(0x300, 8);
  ASSERT_EQ(velk_write_dsp(handle_, 0x3FFD00, data.data(), 0x300, record), 0);
  EXPECT_EQ(velk_status(handle_), 1);

  progress_calls().clear();
  Bytes back(0x300, 0);
  ASSERT_EQ(velk_read_dsp(handle_, 0x3FFD00, back.data(), 0x300, record), 0);
  EXPECT_EQ(back, data);
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 0x300}, {0x300, 0x300}}));
  EXPECT_EQ(mode_key_writes(), (std::vector<std::uint16_t>{1, 1}));
  EXPECT_EQ(velk_status(handle_), 1);
}

TEST_F(DspApi, ALoaderImageAtZeroIsAccepted) {
  open(Mode::Dsp);  // already in the loader: no switch first
  Bytes image(52, 0);
  image[0] = 0x09;
  image[1] = 0xA4;
  ASSERT_EQ(velk_write_dsp(handle_, 0, image.data(), 52, nullptr), 0);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), vexo_->dsp_flash().begin()));
  EXPECT_TRUE(mode_key_writes().empty());
  EXPECT_EQ(command_codes().back(), DSP_RESET);
}

TEST_F(DspApi, FailuresLeaveTheDeviceInTheLoaderWithoutARestart) {
  open(Mode::Btm);
  const Bytes data(4, 0x42);
  EXPECT_EQ(velk_write_dsp(handle_, 0x2000, data.data(), 4, record), -65528);
  EXPECT_EQ(log_->count("[ERROR] invalid firmware image: invalid loader address: 0x2000"), 1u);
  EXPECT_TRUE(command_codes().empty());
  EXPECT_TRUE(progress_calls().empty());
  EXPECT_EQ(velk_status(handle_), 4);
  EXPECT_EQ(vexo_->mode(), Mode::Dsp);

  // Also after a failure on the wire; the next call then needs no switch.
  vexo_->faults().dsp.crc_error_on_write_check = 1;
  EXPECT_EQ(velk_write_dsp(handle_, 0x10000, data.data(), 4, record), -65530);
  EXPECT_EQ(log_->count("[ERROR] device error: command CRC error"), 1u);
  EXPECT_EQ(velk_status(handle_), 4);

  Bytes buffer(0x200);
  EXPECT_EQ(velk_read_dsp(handle_, 0xFFFFFF00, buffer.data(), 0x200, record), -65528);
  EXPECT_EQ(log_->count("invalid firmware image: firmware image out of bounds: 0xffffff00, 0x200"),
            1u);
  EXPECT_EQ(velk_flash_dsp(handle_, data.data(), 4, record), -65528);  // not an FF image
  const auto codes = command_codes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), DSP_RESET), 0);
  EXPECT_EQ(mode_key_writes(), std::vector<std::uint16_t>{1});
  EXPECT_EQ(vexo_->boots(), 1u);
}

TEST_F(DspApi, EmptyImageAndZeroLengthStillRestart) {
  open(Mode::Dsp);
  ASSERT_EQ(velk_flash_dsp(handle_, nullptr, 0, record), 0);
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 0}}));
  EXPECT_EQ(command_codes(), std::vector<std::uint32_t>{DSP_RESET});
  EXPECT_EQ(velk_status(handle_), 1);
}

TEST_F(DspApi, NullBuffersAreRefusedWithoutTouchingTheDevice) {
  open(Mode::Btm);
  const auto requests = vexo_->bccmd_requests().size();
  EXPECT_EQ(velk_flash_dsp(handle_, nullptr, 4, record), -65532);
  EXPECT_EQ(velk_write_dsp(handle_, 0x10000, nullptr, 4, record), -65532);
  EXPECT_EQ(velk_read_dsp(handle_, 0x10000, nullptr, 4, record), -65532);
  EXPECT_EQ(velk_read_dsp(nullptr, 0x10000, nullptr, 0, record), -65532);
  EXPECT_EQ(vexo_->bccmd_requests().size(), requests);
  EXPECT_EQ(vexo_->mode(), Mode::Btm);
}

}  // namespace
}  // namespace velk::testing
