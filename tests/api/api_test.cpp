// The exported functions end to end, against the virtual Vexo in virtual time.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "sim/bus.h"
#include "sim/scripted_device.h"
#include "sim/vexo/vexo.h"
#include "tests/support/api_fixture.h"
#include "velk.h"
#include "velk/src/c/guard.h"

namespace {

using namespace std::chrono_literals;
using sim::RequestKind;
using sim::vexo::Mode;
using sim::vexo::Vexo;

constexpr std::uint16_t kModeKey = 0x02AD;

class Api : public velk::testing::ApiTest {
 protected:
  // Opens what is on the bus, keeping the traffic of opening; null when that fails.
  velk_handle try_open() {
    handle_ = velk_open();
    return handle_;
  }
};

TEST_F(Api, OpenWithNoDeviceFailsAfterOneAttemptWithoutSleeping) {
  EXPECT_EQ(try_open(), nullptr);
  EXPECT_EQ(sim::bus().now(), 0ns);
  EXPECT_EQ(log_->count("velk::device: Enumerating devices (0/1)"), 1u);
  EXPECT_EQ(log_->errors(),
            std::vector<std::string>{
                "failed to enumerate devices: exceeded maximum number of retries (1)"});
}

TEST_F(Api, OpenRefusesTwoDevicesWhateverTheirModes) {
  Vexo::plug({.mode = Mode::Btm});
  Vexo::plug({.mode = Mode::Sqif});
  EXPECT_EQ(try_open(), nullptr);
  EXPECT_EQ(log_->errors(),
            std::vector<std::string>{
                "failed to enumerate devices: more than one Tavrin device connected"});
}

TEST_F(Api, OpenIgnoresOtherProductsOfTheChipMaker) {
  // 0x0A12:0x1013 is another product of the chip maker, not ours: alone it is no device, and
  // beside a Vexo it does not count as a second one.
  sim::bus().plug(std::make_shared<sim::ScriptedDevice>(
      sim::DeviceSpec{.vendor = 0x0A12, .product = 0x1013}, sim::ConfigSpec{}));
  EXPECT_EQ(try_open(), nullptr);
  Vexo::plug({.mode = Mode::Btm});
  ASSERT_NE(try_open(), nullptr);
  EXPECT_EQ(velk_status(handle_), 1);
}

TEST_F(Api, OpenFailureOfAFoundDeviceIsOnlyInTheDebugLog) {
  auto vexo = Vexo::create({.mode = Mode::Btm});
  vexo->set_pskey(kModeKey, {5});
  vexo->plug_in();
  EXPECT_EQ(try_open(), nullptr);
  EXPECT_EQ(
      log_->count("velk::device: Failed to switch mode: device error: firmware not operational"),
      1u);
  EXPECT_EQ(log_->errors(),
            std::vector<std::string>{
                "failed to enumerate devices: exceeded maximum number of retries (1)"});
  EXPECT_EQ(sim::bus().resources().usb_handles, 0);  // nothing stays open
}

TEST_F(Api, OpenFindsEachModeByItsIdentity) {
  for (auto [mode, number] :
       {std::pair{Mode::Btm, 1}, {Mode::Dfu, 2}, {Mode::Sqif, 3}, {Mode::Dsp, 4}}) {
    sim::reset();
    Vexo::plug({.mode = mode});
    velk_handle h = velk_open();
    ASSERT_NE(h, nullptr) << static_cast<int>(mode);
    EXPECT_EQ(velk_status(h), number);
    velk_close(h);
  }
}

TEST_F(Api, DspLoaderIsOpenedThroughHidNotLibusb) {
  Vexo::plug({.mode = Mode::Dsp});
  ASSERT_NE(try_open(), nullptr);
  EXPECT_EQ(sim::bus().requests().count(RequestKind::Open), 0u);
  EXPECT_EQ(sim::bus().requests().count(RequestKind::HidOpen), 1u);
}

TEST_F(Api, PsKeysRoundTripAndTwoReadsNeedNoRestart) {
  auto vexo = Vexo::plug();
  ASSERT_NE(try_open(), nullptr);
  const std::uint16_t words[] = {0x1234, 0xBEEF, 0x0001};
  EXPECT_EQ(velk_write_pskey(handle_, 0x0022, words, 3), 0);
  EXPECT_EQ(vexo->pskey(0x0022), (std::vector<std::uint16_t>{0x1234, 0xBEEF, 0x0001}));
  std::uint16_t buffer[8] = {};
  EXPECT_EQ(velk_read_pskey(handle_, 0x0022, buffer, 8), 3);
  EXPECT_EQ(velk_read_pskey(handle_, 0x0022, buffer, 8), 3);
  EXPECT_EQ(buffer[1], 0xBEEF);
  EXPECT_EQ(velk_clear_pskey(handle_, 0x0022), 0);
  EXPECT_EQ(vexo->pskey(0x0022), std::nullopt);
  EXPECT_EQ(vexo->boots(), 0u);
  EXPECT_LT(sim::bus().now(), 5s);
  EXPECT_EQ(sim::bus().requests().count(RequestKind::Reset), 0u);
  EXPECT_TRUE(log_->errors().empty());
}

TEST_F(Api, PsKeyErrorsReachTheHostAsCodesWithOneLogRecord) {
  auto vexo = Vexo::plug();
  vexo->set_pskey(0x0100, {1, 2, 3});
  ASSERT_NE(try_open(), nullptr);
  std::uint16_t buffer[1] = {0xAAAA};
  EXPECT_EQ(velk_read_pskey(handle_, 0x0100, buffer, 1), -65532);
  EXPECT_EQ(buffer[0], 0xAAAA);
  std::vector<std::uint16_t> too_long(119, 7);
  EXPECT_EQ(velk_write_pskey(handle_, 0x0100, too_long.data(), 119), -65532);
  vexo->faults().lost_responses = 1;
  EXPECT_EQ(velk_read_pskey(handle_, 0x0100, buffer, 1), -65534);
  EXPECT_EQ(log_->errors(),
            (std::vector<std::string>{"invalid argument: supplied buffer too small: 0x3 > 0x1",
                                      "invalid argument: supplied buffer too large: 0xee > 0xec",
                                      "libusb error: Operation timed out"}));
}

TEST_F(Api, ReadFromDfuModeRestartsIntoBtmFirst) {
  auto vexo = Vexo::plug({.mode = Mode::Dfu});
  vexo->set_pskey(0x0003, {42});
  ASSERT_NE(try_open(), nullptr);
  std::uint16_t word = 0;
  EXPECT_EQ(velk_read_pskey(handle_, 0x0003, &word, 1), 1);
  EXPECT_EQ(word, 42);
  EXPECT_EQ(vexo->mode(), Mode::Btm);
  EXPECT_GE(sim::bus().now(), 5s + 1s);
  EXPECT_EQ(sim::bus().requests().count(RequestKind::Reset), 1u);  // the USB reset leaves DFU mode
}

TEST_F(Api, ResetFromEachModeComesBackInBtm) {
  for (Mode mode : {Mode::Btm, Mode::Dfu, Mode::Sqif, Mode::Dsp}) {
    sim::reset();
    auto vexo = Vexo::plug({.mode = mode});
    velk_handle h = velk_open();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(velk_reset(h), 0) << sim::vexo::name(mode);
    EXPECT_EQ(velk_status(h), 1);
    EXPECT_EQ(vexo->boots(), 1u);
    velk_close(h);
  }
}

TEST_F(Api, WaitGivesUpAfterThreeHundredAttempts) {
  auto vexo = Vexo::plug();
  ASSERT_NE(try_open(), nullptr);
  vexo->faults().never_returns = true;
  EXPECT_EQ(velk_reset(handle_), -65531);
  EXPECT_GE(sim::bus().now(), 5s + 300s);
  EXPECT_EQ(log_->count("Enumerating devices (299/300)"), 1u);
  EXPECT_EQ(log_->errors(),
            std::vector<std::string>{
                "failed to enumerate devices: exceeded maximum number of retries (300)"});
  EXPECT_EQ(velk_status(handle_), 0);
}

TEST_F(Api, RestartIntoTheWrongModeIsADeviceError) {
  auto vexo = Vexo::plug({.mode = Mode::Sqif});
  ASSERT_NE(try_open(), nullptr);
  vexo->faults().returns_in = Mode::Dfu;
  std::uint16_t word = 0;
  EXPECT_EQ(velk_read_pskey(handle_, kModeKey, &word, 1), -65530);
  EXPECT_EQ(log_->errors(),
            std::vector<std::string>{"device error: device did not re-enumerate in BTM mode"});
  EXPECT_EQ(velk_status(handle_), 2);
}

TEST_F(Api, StatusReportsZeroForAnUnselectedModeKeyAndKeepsTheConnection) {
  auto vexo = Vexo::plug();
  ASSERT_NE(try_open(), nullptr);
  vexo->set_pskey(kModeKey, {5});
  EXPECT_EQ(velk_status(handle_), 0);
  vexo->set_pskey(kModeKey, {3});
  EXPECT_EQ(velk_status(handle_), 1);  // still the same connection: nothing was enumerated
  EXPECT_EQ(sim::bus().requests().count(RequestKind::Open), 1u);
  EXPECT_TRUE(log_->errors().empty());
}

TEST_F(Api, StatusOfAVanishedDeviceIsZero) {
  auto vexo = Vexo::plug();
  ASSERT_NE(try_open(), nullptr);
  vexo->unplug();
  EXPECT_EQ(velk_status(handle_), 0);
}

TEST_F(Api, CloseReleasesEverythingAndSendsNothing) {
  Vexo::plug();
  ASSERT_NE(try_open(), nullptr);
  sim::bus().requests().clear();
  velk_close(handle_);
  handle_ = nullptr;
  EXPECT_EQ(
      sim::bus().requests().kinds(false),
      (std::vector<RequestKind>{RequestKind::Release, RequestKind::Release, RequestKind::Close}));
  EXPECT_EQ(sim::bus().resources().usb_handles, 0);
}

TEST_F(Api, NullArgumentsAreRefusedWithoutTouchingTheDevice) {
  Vexo::plug();
  ASSERT_NE(try_open(), nullptr);
  sim::bus().requests().clear();
  EXPECT_EQ(velk_status(nullptr), -65532);
  EXPECT_EQ(velk_reset(nullptr), -65532);
  EXPECT_EQ(velk_read_pskey(handle_, 1, nullptr, 4), -65532);
  EXPECT_EQ(velk_write_pskey(handle_, 1, nullptr, 4), -65532);
  EXPECT_EQ(velk_dump_btm(handle_, nullptr, nullptr), -65532);
  EXPECT_EQ(velk_dump_btm(handle_, "bad-\xff.dfu", nullptr), -65532);
  velk_close(nullptr);
  EXPECT_TRUE(sim::bus().requests().all().empty());
  // A zero-length read with no buffer is a valid question about an empty key.
  EXPECT_EQ(velk_read_pskey(handle_, 0x7777, nullptr, 0), -65530);  // the device has no such key
}

TEST_F(Api, InternalFailureUnderTheLockPoisonsTheHandle) {
  Vexo::plug();
  ASSERT_NE(try_open(), nullptr);
  EXPECT_EQ(velk::with_handle(handle_,
                              [](velk::DeviceConnection&) -> velk::Result<std::int32_t> {
                                throw velk::InternalFailure("broken invariant");
                              }),
            -65535);
  EXPECT_EQ(velk_status(handle_), -65535);
  std::uint16_t word = 0;
  EXPECT_EQ(velk_read_pskey(handle_, kModeKey, &word, 1), -65535);
  EXPECT_EQ(velk::guarded([]() -> std::int32_t { throw 42; }), -65535);
  EXPECT_EQ(log_->errors(), std::vector<std::string>(4, "Caught exception: Any"));
  // Beside each, at debug level, what failed.
  EXPECT_EQ(log_->messages("Exception text: "),
            (std::vector<std::string>{
                "Exception text: broken invariant", "Exception text: poisoned handle",
                "Exception text: poisoned handle", "Exception text: unknown"}));
}

TEST_F(Api, CallsOnOneHandleFromSeveralThreadsTakeTurns) {
  auto vexo = Vexo::plug();
  ASSERT_NE(try_open(), nullptr);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        std::uint16_t value = static_cast<std::uint16_t>(t * 100 + i);
        std::uint16_t back = 0;
        if (velk_write_pskey(handle_, static_cast<std::uint16_t>(0x10 + t), &value, 1) != 0)
          ++failures;
        if (velk_read_pskey(handle_, static_cast<std::uint16_t>(0x10 + t), &back, 1) != 1 ||
            back != value)
          ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
}

}  // namespace
