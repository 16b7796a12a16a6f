// Operations cut short and tried again, as a service engineer does on a bad day: whatever was left
// behind on the device (a loader in the middle of a transfer, a late answer, a device that left
// and came back), the next operation either does exactly its work or fails; it never reports
// success over a wrong image.
#include <fmt/format.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>

#include "sim/bus.h"
#include "sim/faults.h"
#include "sim/vexo/dfu_mode.h"
#include "sim/vexo/sqif_mode.h"
#include "tests/dfu/dfu_fixture.h"
#include "tests/sqif/sqif_fixture.h"
#include "tests/support/api_fixture.h"
#include "tests/support/ff_builder.h"

namespace velk::testing {
namespace {

using namespace std::chrono_literals;
using sim::Action;
using sim::vexo::Mode;
using sim::vexo::Vexo;
using sqif_test::xuv_for;

// How an operation is cut short at progress call k.
enum class Cut {
  Transfer,  // the next data transfer after the call fails on the wire (times out)
  Callback,  // the host's callback fails (throws); the host closes the handle
  Unplug,    // the cable is pulled before the next data transfer; plugged in again, it restarts
};
// How the host tries again.
enum class Retry { SameHandle, Reopened };

const char* name(Cut cut) {
  switch (cut) {
    case Cut::Transfer:
      return "Transfer";
    case Cut::Callback:
      return "Callback";
    case Cut::Unplug:
      return "Unplug";
  }
  return "?";
}

// What the callback does at call number g_cut_at; it only counts calls before and after.
struct CutPlan {
  Cut cut = Cut::Transfer;
  RequestKind kind{};                   // the data transfer that is cut
  std::optional<std::uint8_t> request;  // its bRequest, for control transfers
  unsigned at = 0;                      // the progress call after which it happens
  unsigned calls = 0;
  bool armed = false;
};
CutPlan g_plan;

void VELK_CALL cutting_progress(std::uint64_t, std::uint64_t) {
  if (!g_plan.armed || g_plan.calls++ != g_plan.at) return;
  g_plan.armed = false;
  switch (g_plan.cut) {
    case Cut::Transfer:
      sim::bus().faults().add(
          {.match = {.kind = g_plan.kind, .request = g_plan.request}, .action = Action::timeout()});
      break;
    case Cut::Unplug:
      sim::bus().faults().add(
          {.match = {.kind = g_plan.kind, .request = g_plan.request}, .action = Action::unplug()});
      break;
    case Cut::Callback:
      throw std::runtime_error("the host's callback failed");
  }
}

Bytes read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The loader takes 256-byte blocks: a 1000-byte image is blocks of 256, 256, 256 and 232.
constexpr std::uint16_t kBlock = 256;
constexpr std::size_t kImageSize = 1000;

class Integrity : public ApiTest {
 protected:
  void SetUp() override {
    ApiTest::SetUp();
    g_plan = {};
    vexo_ =
        Vexo::create({.loader_dfu = {.attributes = sim::vexo::kCanDnload | sim::vexo::kCanUpload |
                                                   sim::vexo::kManifestationTolerant,
                                     .transfer_size = kBlock}});
    vexo_->btm_firmware() = pattern(kImageSize, 1);
  }

  // Ends one row of a table as the end of a test would.
  void finish() {
    TearDown();
    handle_ = nullptr;
  }

  // Runs `operation` with the cut armed; it must fail.
  template <class Operation>
  void cut_short(CutPlan plan, Operation&& operation) {
    g_plan = plan;
    g_plan.armed = true;
    ASSERT_NE(operation(), 0);
    ASSERT_FALSE(g_plan.armed) << "the cut never came";
    sim::bus().faults().clear();
    // Plugged in again, the chip starts afresh, in the mode it selects at boot.
    if (plan.cut == Cut::Unplug) vexo_->power_cycle();
  }

  void retry_on(Retry retry) {
    if (retry == Retry::SameHandle) return;
    velk_close(handle_);
    handle_ = nullptr;
    sim::bus().advance(5s);  // the host takes its time; a restarted device is back by now
    handle_ = velk_open();
    ASSERT_NE(handle_, nullptr);
  }

  std::int32_t flash_btm(const Bytes& image, velk_progress_fn progress = nullptr) {
    const Bytes file = dfu_file(image);
    return velk_flash_btm(handle_, file.data(), static_cast<std::uint32_t>(file.size()), progress);
  }
  std::int32_t dump_btm(const std::filesystem::path& path, velk_progress_fn progress = nullptr) {
    return velk_dump_btm(handle_, path.string().c_str(), progress);
  }
};

// Every cut point of a 4-block download (the fifth call is the final empty request), every way
// of cutting, both ways of trying again: the next flash leaves exactly the new image.
TEST_F(Integrity, AFlashCutShortAndFlashedAgainLeavesExactlyTheNewImage) {
  for (Cut cut : {Cut::Transfer, Cut::Callback, Cut::Unplug}) {
    for (Retry retry : {Retry::SameHandle, Retry::Reopened}) {
      // A failed callback poisons the handle: the host can only close it.
      if (cut == Cut::Callback && retry == Retry::SameHandle) continue;
      for (unsigned k = 0; k <= 4; ++k) {
        SCOPED_TRACE(fmt::format("{} at call {}, {}", name(cut), k,
                                 retry == Retry::SameHandle ? "same handle" : "reopened"));
        SetUp();
        [&] {  // an assertion ends the row, not the table
          vexo_->plug_in();
          open();
          ASSERT_NO_FATAL_FAILURE(
              cut_short({.cut = cut, .kind = RequestKind::ControlOut, .request = 1, .at = k},
                        [&] { return flash_btm(pattern(kImageSize, 7), cutting_progress); }));
          ASSERT_NO_FATAL_FAILURE(retry_on(retry));
          const Bytes image = pattern(kImageSize, 42);
          EXPECT_EQ(flash_btm(image), 0);
          EXPECT_EQ(vexo_->btm_firmware(), image);
          EXPECT_EQ(vexo_->mode(), Mode::Btm);
          EXPECT_EQ(velk_status(handle_), 1);
        }();
        finish();
      }
    }
  }
}

// A dump cut short after block k: the next dump writes exactly the firmware, and a flash after
// it is not refused by a loader left in the middle of an upload.
TEST_F(Integrity, ADumpCutShortAndRunAgainWritesExactlyTheFirmware) {
  const auto dir =
      std::filesystem::temp_directory_path() /
      fmt::format("velk-integrity-{}", ::testing::UnitTest::GetInstance()->random_seed());
  std::filesystem::create_directories(dir);
  for (Cut cut : {Cut::Transfer, Cut::Callback, Cut::Unplug}) {
    for (Retry retry : {Retry::SameHandle, Retry::Reopened}) {
      if (cut == Cut::Callback && retry == Retry::SameHandle) continue;
      for (unsigned k = 0; k < 3; ++k) {
        for (bool then_flash : {false, true}) {
          SCOPED_TRACE(fmt::format("{} after block {}, {}, then {}", name(cut), k,
                                   retry == Retry::SameHandle ? "same handle" : "reopened",
                                   then_flash ? "a flash" : "a dump"));
          SetUp();
          [&] {  // an assertion ends the row, not the table
            vexo_->plug_in();
            open();
            const Bytes firmware = vexo_->btm_firmware();
            ASSERT_NO_FATAL_FAILURE(
                cut_short({.cut = cut, .kind = RequestKind::ControlIn, .request = 2, .at = k},
                          [&] { return dump_btm(dir / "cut.dfu", cutting_progress); }));
            EXPECT_FALSE(std::filesystem::exists(dir / "cut.dfu"));
            ASSERT_NO_FATAL_FAILURE(retry_on(retry));
            if (then_flash) {
              const Bytes image = pattern(kImageSize, 42);
              EXPECT_EQ(flash_btm(image), 0);
              EXPECT_EQ(vexo_->btm_firmware(), image);
            } else {
              ASSERT_EQ(dump_btm(dir / "dump.dfu"), 0);
              Bytes expected = firmware;  // and the suffix of a dump, which names no release
              dfu::append_dfu_suffix(expected, sim::vexo::kMakerVendor, sim::vexo::kDfuProduct,
                                     0xFFFF);
              EXPECT_EQ(read_file(dir / "dump.dfu"), expected);
            }
            EXPECT_EQ(vexo_->mode(), Mode::Btm);
          }();
          finish();
        }
      }
    }
  }
  std::filesystem::remove_all(dir);
}

// SQIF and DSP: a flash cut at chunk or sector k and run again leaves exactly the image.
TEST_F(Integrity, SqifAndDspFlashesCutShortAndRunAgainLeaveExactlyTheImage) {
  const Bytes sqif_image = pattern(3000, 9);  // three chunks of 1018 bytes at most
  const std::string xuv = xuv_for(sqif_image);
  const Bytes dsp_data = pattern(0x18000, 3);  // two sectors
  const Bytes ff = ff_image({ff_erase(0x20000, 0x20000), ff_data(0x20000, dsp_data)});
  for (Mode mode : {Mode::Sqif, Mode::Dsp}) {
    for (Cut cut : {Cut::Transfer, Cut::Callback, Cut::Unplug}) {
      for (Retry retry : {Retry::SameHandle, Retry::Reopened}) {
        if (cut == Cut::Callback && retry == Retry::SameHandle) continue;
        for (unsigned k = 0; k < (mode == Mode::Sqif ? 3u : 2u); ++k) {
          SCOPED_TRACE(fmt::format("{} {} at call {}, {}", mode == Mode::Sqif ? "SQIF" : "DSP",
                                   name(cut), k,
                                   retry == Retry::SameHandle ? "same handle" : "reopened"));
          SetUp();
          [&] {  // an assertion ends the row, not the table
            vexo_->plug_in();
            open();
            auto flash = [&](velk_progress_fn progress) {
              return mode == Mode::Sqif
                         ? velk_flash_sqif(handle_,
                                           reinterpret_cast<const std::uint8_t*>(xuv.data()),
                                           static_cast<std::uint32_t>(xuv.size()), progress)
                         : velk_flash_dsp(handle_, ff.data(), static_cast<std::uint32_t>(ff.size()),
                                          progress);
            };
            const RequestKind data =
                mode == Mode::Sqif ? RequestKind::HidWrite : RequestKind::HidSendFeature;
            ASSERT_NO_FATAL_FAILURE(
                cut_short({.cut = cut, .kind = data, .request = std::nullopt, .at = k},
                          [&] { return flash(cutting_progress); }));
            ASSERT_NO_FATAL_FAILURE(retry_on(retry));
            EXPECT_EQ(flash(nullptr), 0);
            if (mode == Mode::Sqif) {
              const Bytes& memory = vexo_->sqif_flash();
              ASSERT_GT(memory.size(), sqif_image.size());
              EXPECT_TRUE(std::equal(sqif_image.begin(), sqif_image.end(), memory.begin()));
              EXPECT_EQ(memory.at(sqif_image.size()), sim::vexo::SqifMode::kErased);
            } else {
              const Bytes& memory = vexo_->dsp_flash();
              EXPECT_TRUE(std::equal(dsp_data.begin(), dsp_data.end(), memory.begin() + 0x20000));
              EXPECT_EQ(memory.at(0x20000 + dsp_data.size()), 0xFF);
            }
            EXPECT_EQ(vexo_->mode(), Mode::Btm);
          }();
          finish();
        }
      }
    }
  }
}

// A device whose firmware an interrupted download left invalid starts as its loader: it is
// found there, flashed, and comes back running the new firmware.
TEST_F(Integrity, ADfuOnlyDeviceIsFoundFlashedAndComesBackInBtmMode) {
  vexo_->firmware_valid() = false;
  vexo_->power_cycle();
  sim::bus().advance(5s);
  ASSERT_EQ(vexo_->mode(), Mode::Dfu);
  open();
  EXPECT_EQ(velk_status(handle_), 2);
  const Bytes image = pattern(kImageSize, 42);
  EXPECT_EQ(flash_btm(image), 0);
  EXPECT_EQ(vexo_->btm_firmware(), image);
  EXPECT_EQ(vexo_->mode(), Mode::Btm);
  EXPECT_EQ(velk_status(handle_), 1);
}

// An answer that came after its exchange gave up is not taken for the next command's.
TEST_F(Integrity, ALateBccmdAnswerIsNotTakenForTheNextCommands) {
  constexpr std::uint16_t kKeyA = 0x0100;
  constexpr std::uint16_t kKeyB = 0x0200;
  constexpr std::uint16_t kMissing = 0x0300;
  struct Row {
    const char* what;
    std::function<std::int32_t(velk_handle)> late;  // the command whose answer comes late
    std::function<std::int32_t(velk_handle)> next;
    std::int32_t result;
    std::optional<std::vector<std::uint16_t>> key_b;  // what key B holds afterwards
  };
  auto read = [](std::uint16_t key) {
    return [key](velk_handle h) {
      std::array<std::uint16_t, 4> value{};
      const std::int32_t n = velk_read_pskey(h, key, value.data(), 4);
      // A read of key B must bring B's value: 0x0B0B.
      if (key == kKeyB && n == 1 && value[0] != 0x0B0B) return -1;
      return n;
    };
  };
  auto write = [](std::uint16_t key, std::uint16_t v) {
    return [key, v](velk_handle h) { return velk_write_pskey(h, key, &v, 1); };
  };
  const Row rows[] = {
      {"a read of another key", read(kKeyA), read(kKeyB), 1, std::vector<std::uint16_t>{0x0B0B}},
      {"a clear", read(kKeyA), [](velk_handle h) { return velk_clear_pskey(h, kKeyB); }, 0,
       std::nullopt},
      {"a write after a refused read", read(kMissing), write(kKeyB, 0x0BBB), 0,
       std::vector<std::uint16_t>{0x0BBB}},
      {"a read after a write", write(kKeyA, 0x0AAA), read(kKeyB), 1,
       std::vector<std::uint16_t>{0x0B0B}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    SetUp();
    [&] {  // an assertion ends the row, not the table
      vexo_->set_pskey(kKeyA, {0x0A0A});
      vexo_->set_pskey(kKeyB, {0x0B0B});
      vexo_->plug_in();
      open();
      vexo_->faults().late_responses = 1;
      EXPECT_EQ(row.late(handle_), -65534);  // its read timed out
      sim::bus().advance(1s);                // meanwhile the answer came
      EXPECT_EQ(row.next(handle_), row.result);
      EXPECT_EQ(vexo_->pskey(kKeyB), row.key_b);
    }();
    finish();
  }
}

}  // namespace
}  // namespace velk::testing
