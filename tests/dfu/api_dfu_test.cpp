// Flashing and dumping the Bluetooth-module firmware through the exported functions, against the
// virtual Vexo: the switch into DFU mode, the transfer, the restart and the dump file.
#include <fmt/format.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "sim/faults.h"
#include "tests/dfu/dfu_fixture.h"
#include "tests/support/api_fixture.h"
#include "velk.h"

namespace velk::testing {
namespace {

using namespace std::chrono_literals;
using sim::vexo::Mode;
using sim::vexo::Vexo;

Bytes read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

[[maybe_unused]] void write_file(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

class DfuApi : public ApiTest {
 protected:
  void SetUp() override {
    ApiTest::SetUp();
    dir_ = std::filesystem::temp_directory_path() /
           ("velk-dfu-api-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    ApiTest::TearDown();
    std::filesystem::remove_all(dir_);
  }

  std::int32_t flash(const Bytes& file, velk_progress_fn progress = record_progress) {
    return velk_flash_btm(handle_, file.data(), static_cast<std::uint32_t>(file.size()), progress);
  }

  // The steps of a switch and a transfer, without enumeration chatter and status polling.
  static std::vector<std::string> steps() {
    std::vector<std::string> out;
    for (const auto& r : sim::bus().requests().all()) {
      std::string step;
      if (r.kind == RequestKind::Open && r.result == 0) step = "open";
      if (r.kind == RequestKind::Reset) step = "usb reset";
      if (r.kind == RequestKind::ControlOut && r.setup.request_type == 0x21 && r.setup.request == 0)
        step = "detach";
      if (r.kind == RequestKind::ControlOut && r.setup.request_type == 0x21 &&
          r.setup.request == kDnload)
        step = "dnload";
      if (r.kind == RequestKind::ControlIn && r.setup.request_type == 0xA1 &&
          r.setup.request == kUpload)
        step = "upload";
      if (!step.empty() && (out.empty() || out.back() != step)) out.push_back(step);
    }
    return out;
  }

  std::filesystem::path dir_;
};

TEST_F(DfuApi, FlashFromBtmModeDetachesDownloadsAndRestartsIntoTheNewFirmware) {
  auto vexo = Vexo::plug();
  open();
  const Bytes image = pattern(3000);

  ASSERT_EQ(flash(dfu_file(image)), 0);

  EXPECT_EQ(steps(), (std::vector<std::string>{"detach", "open", "dnload", "usb reset", "open"}));
  // The loader was a new attachment on the bus, and so is the restarted firmware.
  const auto detach = sim::bus().requests().control(0).front();
  const auto block = sim::bus().requests().control(kDnload).front();
  const auto reset = *sim::bus().requests().last(RequestKind::Reset);
  EXPECT_NE(block.attachment, detach.attachment);
  EXPECT_EQ(reset.attachment, block.attachment);
  EXPECT_GE(sim::bus().now() - reset.time, 5s);
  EXPECT_EQ(vexo->btm_firmware(), image);
  EXPECT_EQ(vexo->mode(), Mode::Btm);
  EXPECT_EQ(velk_status(handle_), 1);
  // 3000 bytes in the loader's 1023-byte blocks.
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 3000}, {1023, 3000}, {2046, 3000}, {3000, 3000}}));
  EXPECT_TRUE(log_->errors().empty());
}

TEST_F(DfuApi, ADumpIsADfuFileThatFlashesBack) {
  auto vexo = Vexo::plug();
  const Bytes firmware = pattern(2500, 5);
  vexo->btm_firmware() = firmware;
  open();
  const auto path = dir_ / "dump.dfu";

  ASSERT_EQ(velk_dump_btm(handle_, path.string().c_str(), record_progress), 0);

  EXPECT_EQ(steps(), (std::vector<std::string>{"detach", "open", "upload", "usb reset", "open"}));
  EXPECT_EQ(vexo->mode(), Mode::Btm);
  EXPECT_EQ(progress_calls().back(), (std::pair<std::uint64_t, std::uint64_t>{2500, 2500}));
  const Bytes dumped = read_file(path);
  ASSERT_EQ(dumped.size(), 2516u);
  EXPECT_EQ(Bytes(dumped.begin(), dumped.begin() + 2500), firmware);
  EXPECT_TRUE(dfu::check_dfu_file(dumped, sim::vexo::kMakerVendor, sim::vexo::kDfuProduct));
  EXPECT_FALSE(std::filesystem::exists(path.string() + ".velk-tmp"));

  vexo->btm_firmware() = pattern(10);
  ASSERT_EQ(flash(dumped, nullptr), 0);  // no progress wanted this time
  EXPECT_EQ(vexo->btm_firmware(), firmware);
  EXPECT_TRUE(log_->errors().empty());
}

TEST_F(DfuApi, ADumpWhoseUploadFailsStillRestartsAndReportsTheUpload) {
  auto vexo = Vexo::plug();
  open();
  sim::bus().faults().add({.match = {.kind = RequestKind::ControlIn, .request = kUpload},
                           .action = sim::Action::stall()});
  const auto path = dir_ / "dump.dfu";

  EXPECT_EQ(velk_dump_btm(handle_, path.string().c_str(), record_progress), -65534);

  EXPECT_EQ(steps(), (std::vector<std::string>{"detach", "open", "upload", "usb reset", "open"}));
  EXPECT_EQ(vexo->mode(), Mode::Btm);
  EXPECT_EQ(log_->errors(), std::vector<std::string>{"libusb error: Pipe error"});
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(DfuApi, AFailedRestartAfterADumpWinsOverTheUploadsFailure) {
  auto vexo = Vexo::plug({.mode = Mode::Dfu});
  open();
  sim::bus().faults().add({.match = {.kind = RequestKind::ControlIn, .request = kUpload},
                           .action = sim::Action::stall()});
  vexo->faults().never_returns = true;

  EXPECT_EQ(velk_dump_btm(handle_, (dir_ / "dump.dfu").string().c_str(), record_progress), -65531);

  EXPECT_EQ(steps(), (std::vector<std::string>{"upload", "usb reset"}));
  EXPECT_EQ(log_->errors(),
            std::vector<std::string>{
                "failed to enumerate devices: exceeded maximum number of retries (300)"});
}

TEST_F(DfuApi, ADumpPathThatIsNotUtf8IsRefusedWithoutTraffic) {
  auto vexo = Vexo::plug();
  open();
  const std::string path = dir_.string() + "/\xFF\xFE.dfu";

  EXPECT_EQ(velk_dump_btm(handle_, path.c_str(), record_progress), -65532);

  EXPECT_TRUE(sim::bus().requests().all().empty());
  EXPECT_EQ(log_->errors(),
            std::vector<std::string>{fmt::format(
                "invalid argument: dump file path: invalid utf-8 sequence of 1 bytes from index {}",
                dir_.string().size() + 1)});
  EXPECT_EQ(vexo->boots(), 0u);
  EXPECT_TRUE(progress_calls().empty());
}

TEST_F(DfuApi, ADumpThatCannotBeWrittenFailsAfterTheRestartAndSaysWhy) {
  auto vexo = Vexo::plug();
  vexo->btm_firmware() = pattern(100);
  open();
  const auto path = dir_ / "no such directory" / "dump.dfu";

  EXPECT_EQ(velk_dump_btm(handle_, path.string().c_str(), record_progress), -65532);

  EXPECT_EQ(vexo->mode(), Mode::Btm);
  EXPECT_EQ(sim::bus().requests().count(RequestKind::Reset), 1u);
  ASSERT_EQ(log_->errors().size(), 1u);
  EXPECT_EQ(log_->errors()[0].rfind("invalid argument: cannot write " + path.string() + ": ", 0),
            0u)
      << log_->errors()[0];
  EXPECT_FALSE(std::filesystem::exists(path));
}

#ifndef _WIN32
TEST_F(DfuApi, ADumpThatFailsHalfwayLeavesTheEarlierFileAsItWas) {
  // A file-size limit makes the write fail part of the way through, as a full disk would.
  const auto path = dir_ / "dump.dfu";
  const Bytes earlier = pattern(64, 1);
  write_file(path, earlier);
  const std::size_t log_size = std::filesystem::file_size(LogCapture::path());
  const rlim_t limit = log_size + (64u << 10);  // room for the log to grow meanwhile
  auto vexo = Vexo::plug();
  vexo->btm_firmware() = pattern(limit + 4096);
  open();

  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit lowered = saved;
  lowered.rlim_cur = limit;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
  const std::int32_t result = velk_dump_btm(handle_, path.string().c_str(), nullptr);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous_handler);

  EXPECT_EQ(result, -65532);
  EXPECT_EQ(read_file(path), earlier);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}),
            1);  // no temporary left over
  EXPECT_EQ(log_->errors(), std::vector<std::string>{"invalid argument: cannot write " +
                                                     path.string() + ": File too large"});
}
#endif

TEST_F(DfuApi, ABadFileFailsAndLeavesTheDeviceInDfuMode) {
  auto vexo = Vexo::plug();
  vexo->btm_firmware() = pattern(40);
  open();
  Bytes file = dfu_file(pattern(700));
  file[100] ^= 0x80;

  EXPECT_EQ(flash(file), -65528);

  EXPECT_EQ(steps(), (std::vector<std::string>{"detach", "open"}));
  EXPECT_EQ(vexo->mode(), Mode::Dfu);
  EXPECT_EQ(velk_status(handle_), 2);
  EXPECT_EQ(vexo->btm_firmware(), pattern(40));
  ASSERT_EQ(log_->errors().size(), 1u);
  EXPECT_EQ(log_->errors()[0].rfind("invalid firmware image: invalid DFU CRC: ", 0), 0u)
      << log_->errors()[0];
}

}  // namespace
}  // namespace velk::testing
