// The virtual Vexo's own faults: each switch changes exactly what it names, for as many answers
// or restarts as it is armed for.
#include <gtest/gtest.h>

#include "sim/vexo/btm_mode.h"
#include "sim/vexo/vexo.h"
#include "tests/vexo/usb_host.h"

namespace {

using namespace vexo_test;
using namespace std::chrono_literals;
using sim::vexo::Mode;
using sim::vexo::Vexo;
using sim::vexo::VexoFaults;

class Faults : public OpenVexo {
 protected:
  Bytes read_mode_key(std::uint16_t sequence = 0) {
    return UsbHost::exchange(handle, mode_key_read(sequence));
  }
  bool listed_as(std::uint16_t product) {
    const auto listed = host.listed();
    return listed.size() == 1 && listed[0].second == product;
  }
};

TEST_F(Faults, WrongVariableIdForTheNextAnswersOnly) {
  vexo->faults().wrong_variable_id = 2;
  EXPECT_EQ(word(read_mode_key(), 9), 0x7004);
  EXPECT_EQ(word(read_mode_key(), 9), 0x7004);
  EXPECT_EQ(word(read_mode_key(), 9), kPs);
}

TEST_F(Faults, WrongKeyInThePsRecord) {
  vexo->faults().wrong_ps_key = 1;
  const Bytes answer = read_mode_key();
  EXPECT_EQ(word(answer, 9), kPs);
  EXPECT_EQ(word(answer, 13), 0x02AE);
  // The write it answers wrongly still happens.
  vexo->faults().wrong_ps_key = 1;
  const Bytes clear =
      UsbHost::exchange(handle, bccmd(kSetReq, 0, kPsClrStores, ps_record(0x0010, 0)));
  EXPECT_EQ(word(clear, 13), 0x0011);
}

TEST_F(Faults, ErrorStatusAlwaysUntilSwitchedOff) {
  vexo->faults().error_status = VexoFaults::kAlways;
  vexo->faults().error_status_value = 0x0005;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(word(read_mode_key(), 11), 5);
  vexo->faults().error_status = 0;
  EXPECT_EQ(word(read_mode_key(), 11), 0);
}

TEST_F(Faults, LostResponseStillCarriesOutTheRequest) {
  vexo->faults().lost_responses = 1;
  const Bytes write = bccmd(kSetReq, 0, kPs, ps_record(0x0033, 1, {0x4444}));
  EXPECT_EQ(UsbHost::hci(handle, write), 256);
  EXPECT_EQ(UsbHost::event(handle).first, LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(vexo->pskey(0x0033), sim::vexo::Words{0x4444});
  EXPECT_EQ(read_mode_key().size(), 255u);
}

TEST_F(Faults, SpuriousCommandStatusComesBeforeTheAnswer) {
  vexo->faults().spurious_events = 1;
  EXPECT_EQ(UsbHost::hci(handle, mode_key_read(9)), 256);
  EXPECT_EQ(UsbHost::event(handle).second, (Bytes{0x0F, 0x04, 0x00, 0x01, 0x00, 0xFC}));
  const Bytes answer = UsbHost::event(handle).second;
  ASSERT_EQ(answer.size(), 255u);
  EXPECT_EQ(word(answer, 7), 9);
  EXPECT_EQ(read_mode_key().size(), 255u);  // only one answer was preceded
}

TEST_F(Faults, StaleEventsWaitAtEveryStartInBtmMode) {
  vexo->faults().stale_events = 3;
  vexo->power_cycle();
  sim::bus().advance(3s);
  handle = host.open(0x7A11, 0x1300);
  ASSERT_NE(handle, nullptr);
  for (int i = 0; i < 3; ++i) {
    const auto [rc, stale] = UsbHost::event(handle);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(stale.size(), 255u);
    EXPECT_EQ(word(stale, 9), kPs);
    EXPECT_NE(word(stale, 13), 0x02AD);  // an answer to a question nobody asks now
  }
  EXPECT_EQ(UsbHost::event(handle).first, LIBUSB_ERROR_TIMEOUT);
}

TEST_F(Faults, SlowRestart) {
  vexo->faults().slow_restart = 10s;
  UsbHost::hci(handle, bccmd(kSetReq, 0, kColdReset, Bytes(8, 0)));
  sim::bus().advance(11s);
  EXPECT_TRUE(host.listed().empty());
  sim::bus().advance(1s + 1ms);
  EXPECT_TRUE(listed_as(0x1300));
}

TEST_F(Faults, TimingsAreChangedOnThePluggedDevice) {
  vexo->timings().restart = 100ms;
  vexo->timings().command_restart = 0ms;
  UsbHost::hci(handle, bccmd(kSetReq, 0, kColdReset, Bytes(8, 0)));
  sim::bus().advance(0ms);
  EXPECT_TRUE(host.listed().empty());
  sim::bus().advance(100ms);
  EXPECT_TRUE(listed_as(0x1300));
}

TEST_F(Faults, NeverReturnsOnlyOnce) {
  vexo->faults().never_returns = true;
  UsbHost::hci(handle, bccmd(kSetReq, 0, kColdReset, Bytes(8, 0)));
  sim::bus().advance(1h);
  EXPECT_TRUE(host.listed().empty());
  vexo->power_cycle();
  sim::bus().advance(3s);
  EXPECT_TRUE(listed_as(0x1300));
}

TEST_F(Faults, ReturnsInAnotherModeThanTheKeySelects) {
  vexo->faults().returns_in = Mode::Dfu;
  UsbHost::hci(handle, bccmd(kSetReq, 0, kColdReset, Bytes(8, 0)));
  sim::bus().advance(3s);
  EXPECT_TRUE(listed_as(0x1301));
  EXPECT_EQ(vexo->faults().returns_in, std::nullopt);
}

TEST_F(Faults, IdentityWithoutTheRunTimeDfuInterfaceOrTheEventEndpoint) {
  vexo->unplug();
  vexo->faults().no_runtime_dfu = true;
  vexo->faults().no_event_endpoint = true;
  vexo->plug_in();
  const auto interfaces = host.interfaces(0x7A11, 0x1300);
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_EQ(interfaces[0].cls, 0xFF);
  EXPECT_EQ(interfaces[0].endpoints,
            (std::vector<std::pair<int, int>>{{0x82, LIBUSB_TRANSFER_TYPE_BULK},
                                              {0x02, LIBUSB_TRANSFER_TYPE_BULK}}));
  handle = host.open(0x7A11, 0x1300);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(libusb_claim_interface(handle, 1), LIBUSB_ERROR_NOT_FOUND);
}

}  // namespace
