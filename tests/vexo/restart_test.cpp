// How the virtual Vexo changes mode: by restarting on the virtual clock, dropping off the bus
// and coming back under the identity of the mode it boots into.
#include <gtest/gtest.h>
#include <hidapi.h>

#include "sim/scenario.h"
#include "sim/vexo/dfu_mode.h"
#include "sim/vexo/scenarios.h"
#include "sim/vexo/vexo.h"
#include "tests/vexo/usb_host.h"

namespace {

using namespace vexo_test;
using namespace std::chrono_literals;
using sim::vexo::Mode;
using sim::vexo::Vexo;
using sim::vexo::VexoOptions;

using Identity = std::pair<std::uint16_t, std::uint16_t>;
using Identities = std::vector<Identity>;
constexpr Identity kBtm{0x7A11, 0x1300};
constexpr Identity kDfu{0x7A11, 0x1301};
constexpr Identity kSqif{0x0A12, 0x1012};
constexpr Identity kDsp{0x7A11, 0x0001};

class Restart : public ::testing::Test {
 protected:
  void SetUp() override { sim::reset(); }
  static void advance(std::chrono::nanoseconds d) { sim::bus().advance(d); }
  libusb_device_handle* open_btm() {
    auto* handle = host.open(0x7A11, 0x1300);
    EXPECT_NE(handle, nullptr);
    return handle;
  }
  void write_mode_key(libusb_device_handle* handle, std::uint16_t value) {
    const Bytes answer =
        UsbHost::exchange(handle, bccmd(kSetReq, 0, kPs, ps_record(0x02AD, 1, {value})));
    ASSERT_EQ(answer.size(), 255u);
    EXPECT_EQ(word(answer, 11), 0);
  }
  UsbHost host;
};

TEST_F(Restart, ColdResetGoesDownAtOnceAndComesBackAfterTheRestartTime) {
  auto vexo = Vexo::plug();
  auto* handle = open_btm();
  EXPECT_EQ(UsbHost::hci(handle, bccmd(kSetReq, 0, kColdReset, Bytes(8, 0))), 22);
  advance(1ms);
  EXPECT_TRUE(host.listed().empty());
  EXPECT_EQ(UsbHost::event(handle).first, LIBUSB_ERROR_NO_DEVICE);
  advance(1999ms);
  EXPECT_TRUE(host.listed().empty());
  advance(1ms);
  EXPECT_EQ(host.listed(), Identities{kBtm});
  EXPECT_EQ(vexo->boots(), 1u);
  // The old handle stays dead; a new one works and finds nothing left over.
  EXPECT_EQ(UsbHost::hci(handle, mode_key_read()), LIBUSB_ERROR_NO_DEVICE);
  auto* again = open_btm();
  EXPECT_EQ(UsbHost::event(again).first, LIBUSB_ERROR_TIMEOUT);
}

TEST_F(Restart, ColdResetBootsWhatTheModeKeySelects) {
  auto vexo = Vexo::plug();
  vexo->set_pskey(0x02AD, {1});  // set behind the firmware's back: no restart of its own
  advance(10s);
  EXPECT_EQ(vexo->boots(), 0u);
  UsbHost::hci(open_btm(), bccmd(kSetReq, 0, kColdReset, Bytes(8, 0)));
  advance(3s);
  EXPECT_EQ(host.listed(), Identities{kDsp});
  EXPECT_EQ(vexo->mode(), Mode::Dsp);
}

TEST_F(Restart, ModeKeyWriteAnswersFirstThenRestartsIntoTheLoader) {
  const std::pair<std::uint16_t, Identity> cases[] = {{5, kSqif}, {1, kDsp}};
  for (const auto& [value, identity] : cases) {
    sim::reset();
    auto vexo = Vexo::plug();
    auto* handle = open_btm();
    write_mode_key(handle, value);
    // Until it goes down the firmware still answers, and the key reads back as written.
    advance(49ms);
    const Bytes read = UsbHost::exchange(handle, mode_key_read());
    ASSERT_EQ(read.size(), 255u);
    EXPECT_EQ(word(read, 19), value);
    advance(1ms);
    EXPECT_TRUE(host.listed().empty());
    advance(2s);
    EXPECT_EQ(host.listed(), Identities{identity});
    EXPECT_TRUE(vexo->hid());
  }
}

TEST_F(Restart, LoadersRestartIntoBtmWithTheModeKeyBackToZero) {
  auto vexo = Vexo::plug({.mode = Mode::Btm});
  write_mode_key(open_btm(), 5);
  advance(3s);
  hid_device* sqif = hid_open(0x0A12, 0x1012, nullptr);
  ASSERT_NE(sqif, nullptr);
  // Ping: 01 00, answered by status report 02 00 00; restart: 01 01 01, not answered.
  std::uint8_t status[3] = {};
  EXPECT_EQ(hid_write(sqif, Bytes{0x01, 0x00}.data(), 2), 2);
  EXPECT_EQ(hid_read_timeout(sqif, status, 3, 1000), 3);
  EXPECT_EQ(Bytes(status, status + 3), (Bytes{0x02, 0x00, 0x00}));
  EXPECT_EQ(hid_write(sqif, Bytes{0x01, 0x01, 0x01}.data(), 3), 3);
  EXPECT_EQ(hid_read_timeout(sqif, status, 3, 0), 0);
  hid_close(sqif);
  advance(3s);
  EXPECT_EQ(host.listed(), Identities{kBtm});
  EXPECT_EQ(vexo->pskey(0x02AD), sim::vexo::Words{0});

  write_mode_key(open_btm(), 1);
  advance(3s);
  hid_device* dsp = hid_open(0x7A11, 0x0001, nullptr);
  ASSERT_NE(dsp, nullptr);
  Bytes report(18, 0);
  report[0] = 0x01;
  EXPECT_EQ(hid_get_feature_report(dsp, report.data(), report.size()), 18);
  // Status 9 (ready) in split-word order: 00 00 09 00.
  EXPECT_EQ(Bytes(report.begin(), report.begin() + 6), (Bytes{0x01, 0x00, 0x00, 0x00, 0x09, 0x00}));
  Bytes reset{0x01, 0xAA, 0x00, 0x00, 0x06, 0x00};
  reset.resize(18);
  EXPECT_EQ(hid_send_feature_report(dsp, reset.data(), reset.size()), 18);
  hid_close(dsp);
  advance(3s);
  EXPECT_EQ(host.listed(), Identities{kBtm});
  EXPECT_EQ(vexo->pskey(0x02AD), sim::vexo::Words{0});
  EXPECT_EQ(vexo->boots(), 4u);
}

TEST_F(Restart, LoadersIgnoreReportsThatAreNotTheirCommands) {
  auto sqif = Vexo::plug({.mode = Mode::Sqif});
  EXPECT_EQ(sqif->hid_write(Bytes{0x02, 0x00}), -1);  // a status report's ID
  EXPECT_EQ(sqif->hid_write(Bytes(1024, 0x01)), -1);  // longer than a report
  sqif->unplug();
  auto dsp = Vexo::plug({.mode = Mode::Dsp});
  Bytes not_a_command(18, 0);
  not_a_command[0] = 0x01;
  not_a_command[4] = 0x06;  // the reset code, but without the 0xAA marker
  EXPECT_EQ(dsp->hid_send_feature(not_a_command), 18);
  EXPECT_EQ(dsp->hid_send_feature(Bytes(17, 0x01)), -1);
  advance(10s);
  EXPECT_TRUE(dsp->on_bus());
  EXPECT_EQ(dsp->boots(), 0u);
}

// hidapi on Linux takes the usage from the report descriptor in sysfs, and a host's usbhid
// holds the HID interface: each loader declares the reports it uses, in a descriptor of the
// length its HID class descriptor announces.
TEST_F(Restart, LoadersDeclareTheirReportsToTheHost) {
  const auto contains = [](const Bytes& bytes, const Bytes& part) {
    return std::search(bytes.begin(), bytes.end(), part.begin(), part.end()) != bytes.end();
  };
  const auto announced_length = [](const Bytes& config) {
    const Bytes hid_class{0x09, 0x21, 0x11, 0x01};
    auto at = std::search(config.begin(), config.end(), hid_class.begin(), hid_class.end());
    return at + 9 <= config.end() ? std::size_t{at[7]} | std::size_t{at[8]} << 8 : 0;
  };
  auto sqif = Vexo::plug({.mode = Mode::Sqif});
  const Bytes sqif_reports = sqif->hid_report_descriptor();
  EXPECT_TRUE(contains(sqif_reports, {0x06, 0x00, 0xFF, 0x09, 0x01}));  // vendor page, usage 1
  // Report ID 1: 1022 output bytes; report ID 2: 2 input bytes.
  EXPECT_TRUE(contains(sqif_reports, {0x85, 0x01, 0x96, 0xFE, 0x03, 0x09, 0x01, 0x91}));
  EXPECT_TRUE(contains(sqif_reports, {0x85, 0x02, 0x96, 0x02, 0x00, 0x09, 0x01, 0x81}));
  EXPECT_EQ(announced_length(sqif->config_descriptor()), sqif_reports.size());
  EXPECT_EQ(sqif->kernel_driver(0), "usbhid");
  sqif->unplug();

  auto dsp = Vexo::plug({.mode = Mode::Dsp});
  const Bytes dsp_reports = dsp->hid_report_descriptor();
  // Feature reports: ID 1 with 17 bytes, ID 2 with 2049.
  EXPECT_TRUE(contains(dsp_reports, {0x85, 0x01, 0x96, 0x11, 0x00, 0x09, 0x01, 0xB1}));
  EXPECT_TRUE(contains(dsp_reports, {0x85, 0x02, 0x96, 0x01, 0x08, 0x09, 0x01, 0xB1}));
  EXPECT_EQ(announced_length(dsp->config_descriptor()), dsp_reports.size());
  EXPECT_EQ(dsp->kernel_driver(0), "usbhid");
}

TEST_F(Restart, PowerCycleInALoaderStaysThereWhileTheKeySelectsIt) {
  auto vexo = Vexo::plug({.mode = Mode::Btm});
  write_mode_key(open_btm(), 5);
  advance(3s);
  vexo->power_cycle();
  advance(3s);
  EXPECT_EQ(host.listed(), Identities{kSqif});
}

TEST_F(Restart, SelfDetachIntoDfuAndUsbResetBack) {
  auto vexo = Vexo::plug();
  auto* handle = open_btm();
  EXPECT_EQ(libusb_control_transfer(handle, 0x21, 0, 5000, 1, nullptr, 0, 100), 0);
  advance(10ms);
  EXPECT_TRUE(host.listed().empty());
  advance(2s);
  ASSERT_EQ(host.listed(), Identities{kDfu});
  const auto interfaces = host.interfaces(0x7A11, 0x1301);
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_EQ(interfaces[0].cls, 0xFE);
  EXPECT_EQ(interfaces[0].subclass, 0x01);
  EXPECT_EQ(interfaces[0].protocol, 0x02);
  EXPECT_EQ(interfaces[0].extra.size(), 9u);

  auto* dfu = host.open(0x7A11, 0x1301);
  ASSERT_NE(dfu, nullptr);
  Bytes status(6, 0xEE);
  EXPECT_EQ(libusb_control_transfer(dfu, 0xA1, 3, 0, 0, status.data(), 6, 1000), 6);
  EXPECT_EQ(status, (Bytes{0x00, 0x00, 0x00, 0x00, 0x02, 0x00}));  // OK, DFUIdle

  EXPECT_EQ(libusb_reset_device(dfu), LIBUSB_ERROR_NOT_FOUND);
  advance(3s);
  EXPECT_EQ(host.listed(), Identities{kBtm});
}

TEST_F(Restart, DetachWithoutSelfDetachWaitsForAUsbResetWithinTheTimeout) {
  VexoOptions options;
  options.runtime_dfu.attributes = sim::vexo::kCanDnload | sim::vexo::kCanUpload;
  auto vexo = Vexo::plug(options);
  auto* handle = open_btm();
  EXPECT_EQ(host.interfaces(0x7A11, 0x1300)[1].extra[2], 0x03);

  EXPECT_EQ(libusb_control_transfer(handle, 0x21, 0, 1000, 1, nullptr, 0, 100), 0);
  advance(5s);
  EXPECT_EQ(host.listed(), Identities{kBtm});  // it does not leave by itself
  // The detach timeout has run out: the reset is an ordinary one.
  EXPECT_EQ(libusb_reset_device(handle), 0);
  advance(5s);
  EXPECT_EQ(host.listed(), Identities{kBtm});

  EXPECT_EQ(libusb_control_transfer(handle, 0x21, 0, 1000, 1, nullptr, 0, 100), 0);
  Bytes state(1);
  EXPECT_EQ(libusb_control_transfer(handle, 0xA1, 5, 0, 1, state.data(), 1, 100), 1);
  EXPECT_EQ(state[0], 1);  // appDETACH
  advance(999ms);
  EXPECT_EQ(libusb_reset_device(handle), LIBUSB_ERROR_NOT_FOUND);
  advance(3s);
  EXPECT_EQ(host.listed(), Identities{kDfu});
}

TEST_F(Restart, ALaterRestartReplacesOneNotYetDone) {
  auto vexo = Vexo::plug();
  auto* handle = open_btm();
  write_mode_key(handle, 5);
  vexo->set_pskey(0x02AD, {0});
  UsbHost::hci(handle, bccmd(kSetReq, 0, kColdReset, Bytes(8, 0)));
  advance(10s);
  EXPECT_EQ(host.listed(), Identities{kBtm});
  EXPECT_EQ(vexo->boots(), 1u);
}

TEST_F(Restart, UnplugAbandonsARestartUnderWay) {
  auto vexo = Vexo::plug();
  UsbHost::hci(open_btm(), bccmd(kSetReq, 0, kColdReset, Bytes(8, 0)));
  advance(1s);
  vexo->unplug();
  advance(10s);
  EXPECT_TRUE(host.listed().empty());
  vexo->plug_in();
  EXPECT_EQ(host.listed(), Identities{kBtm});
}

TEST_F(Restart, ScenariosPlugTheirDevices) {
  sim::vexo::register_scenarios();
  const std::pair<const char*, Identities> cases[] = {{"vexo", {kBtm}},
                                                      {"vexo-dfu", {kDfu}},
                                                      {"vexo-sqif", {kSqif}},
                                                      {"vexo-dsp", {kDsp}},
                                                      {"two", {kBtm, kBtm}},
                                                      {"none", {}},
                                                      {"vexo-no-self-detach", {kBtm}},
                                                      {"vexo-dfu-firmware", {kDfu}}};
  for (const auto& [name, identities] : cases) {
    sim::reset();
    ASSERT_TRUE(sim::load_scenario(name)) << name;
    EXPECT_EQ(host.listed(), identities) << name;
    EXPECT_EQ(sim::vexo::plugged_vexos().size(), identities.size()) << name;
  }
}

TEST_F(Restart, DeviceOwnedOnlyByTheBusComesBack) {
  sim::vexo::register_scenarios();
  ASSERT_TRUE(sim::load_scenario("vexo"));
  UsbHost::hci(open_btm(), bccmd(kSetReq, 0, kColdReset, Bytes(8, 0)));
  advance(3s);
  EXPECT_EQ(host.listed(), Identities{kBtm});
}

TEST_F(Restart, TwoDevicesKeepTheirOwnStores) {
  auto first = Vexo::plug();
  auto second = Vexo::plug();
  auto* handle = open_btm();  // the first listed
  write_mode_key(handle, 3);
  EXPECT_EQ(first->pskey(0x02AD), sim::vexo::Words{3});
  EXPECT_EQ(second->pskey(0x02AD), sim::vexo::Words{0});
}

}  // namespace
