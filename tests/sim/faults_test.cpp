// Injected faults fire on the requests they match, as often as told, with libusb's and
// hidapi's own ways of failing.
#include <gtest/gtest.h>
#include <hidapi/hidapi.h>
#include <libusb.h>

#include <chrono>
#include <memory>

#include "sim/bus.h"
#include "sim/scripted_device.h"

using namespace std::chrono_literals;
using sim::Action;
using sim::RequestKind;

namespace {

class FaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    device_ = std::make_shared<sim::ScriptedDevice>(
        sim::DeviceSpec{.vendor = 0x7A11, .product = 0x1300},
        sim::ConfigSpec{
            .interfaces = {{.number = 0, .endpoints = {{.address = 0x81}}}, {.number = 1}}});
    sim::bus().plug(device_);
    ASSERT_EQ(libusb_init(&ctx_), 0);
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(ctx_, &list), 1);
    ASSERT_EQ(libusb_open(list[0], &handle_), 0);
    libusb_free_device_list(list, 1);
    sim::bus().requests().clear();
  }
  void TearDown() override {
    libusb_close(handle_);
    libusb_exit(ctx_);
  }

  void arm(RequestKind kind, Action action, int skip = 0, int times = 1) {
    sim::bus().faults().add(
        {.match = {.kind = kind}, .action = action, .skip = skip, .times = times});
  }

  int write(std::uint8_t request) {
    std::uint8_t data[4] = {1, 2, 3, 4};
    return libusb_control_transfer(handle_, 0x21, request, 0, 1, data, 4, 1000);
  }

  std::shared_ptr<sim::ScriptedDevice> device_;
  libusb_context* ctx_ = nullptr;
  libusb_device_handle* handle_ = nullptr;
};

TEST_F(FaultsTest, StallMatchesItsRequestAfterSkippingAndFiresOnce) {
  sim::bus().faults().add({.match = {.kind = RequestKind::ControlOut, .request = 1},
                           .action = Action::stall(),
                           .skip = 2});
  EXPECT_EQ(write(2), 4);  // another bRequest does not count
  EXPECT_EQ(write(1), 4);
  EXPECT_EQ(write(1), 4);
  EXPECT_EQ(write(1), LIBUSB_ERROR_PIPE);
  EXPECT_EQ(write(1), 4);
  EXPECT_EQ(sim::bus().faults().fired(), 1);
  EXPECT_EQ(sim::bus().faults().pending(), 0u);
  // The stalled request never reached the device, and the log says why it failed.
  EXPECT_EQ(device_->control_out_data.size(), 4u);
  auto writes = sim::bus().requests().control(1);
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_TRUE(writes[2].faulted);
  EXPECT_EQ(writes[2].result, LIBUSB_ERROR_PIPE);
}

TEST_F(FaultsTest, RepeatedAndPermanentFaults) {
  arm(RequestKind::ControlOut, Action::error(-99), 0, 2);
  EXPECT_EQ(write(0), -99);
  EXPECT_EQ(write(0), -99);
  EXPECT_EQ(write(0), 4);
  arm(RequestKind::Claim, Action::error(LIBUSB_ERROR_ACCESS), 0, -1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(libusb_claim_interface(handle_, 0), LIBUSB_ERROR_ACCESS);
  sim::bus().faults().clear();
  EXPECT_EQ(libusb_claim_interface(handle_, 0), 0);
}

TEST_F(FaultsTest, FaultForAnotherDeviceDoesNotFire) {
  auto other = std::make_shared<sim::ScriptedDevice>(sim::DeviceSpec{.vendor = 1, .product = 2},
                                                     sim::ConfigSpec{});
  sim::bus().faults().add({.match = {.kind = RequestKind::ControlOut, .device = other.get()},
                           .action = Action::stall()});
  EXPECT_EQ(write(0), 4);
  EXPECT_EQ(sim::bus().faults().pending(), 1u);
}

TEST_F(FaultsTest, TimeoutTakesTheWholeTimeout) {
  arm(RequestKind::ControlOut, Action::timeout());
  EXPECT_EQ(write(0), LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(sim::bus().now(), 1000ms);
  EXPECT_TRUE(device_->control_out_data.empty());
}

TEST_F(FaultsTest, ShortControlReadLeavesTheRestOfTheBufferAlone) {
  device_->queue_control_in(sim::Bytes{1, 2, 3, 4, 5, 6});
  arm(RequestKind::ControlIn, Action::short_transfer(2));
  std::uint8_t buf[6] = {};
  EXPECT_EQ(libusb_control_transfer(handle_, 0xA1, 3, 0, 0, buf, 6, 1000), 2);
  EXPECT_EQ(buf[1], 2);
  EXPECT_EQ(buf[2], 0);
}

TEST_F(FaultsTest, ShortControlWriteDeliversOnlyTheCut) {
  arm(RequestKind::ControlOut, Action::short_transfer(3));
  EXPECT_EQ(write(0), 3);
  ASSERT_EQ(device_->control_out_data.size(), 1u);
  EXPECT_EQ(device_->control_out_data[0], (sim::Bytes{1, 2, 3}));
}

TEST_F(FaultsTest, InterruptedAfterBytesReportsThemWithInterrupted) {
  device_->queue_interrupt(0x81, {1, 2, 3, 4, 5, 6, 7, 8}, 20ms);
  arm(RequestKind::InterruptIn, Action::interrupted_after(5));
  std::uint8_t buf[16];
  int n = 0;
  EXPECT_EQ(libusb_interrupt_transfer(handle_, 0x81, buf, 16, &n, 100), LIBUSB_ERROR_INTERRUPTED);
  EXPECT_EQ(n, 5);
  EXPECT_EQ(buf[4], 5);
  EXPECT_EQ(sim::bus().now(), 20ms);
}

TEST_F(FaultsTest, InterruptedBeforeAnyByteEndsAtOnceAndKeepsThePacket) {
  device_->queue_interrupt(0x81, {1, 2, 3}, 20ms);
  arm(RequestKind::InterruptIn, Action::interrupted_after(0));
  std::uint8_t buf[16];
  int n = -1;
  EXPECT_EQ(libusb_interrupt_transfer(handle_, 0x81, buf, 16, &n, 100), LIBUSB_ERROR_INTERRUPTED);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(sim::bus().now(), 0ms);
  EXPECT_EQ(libusb_interrupt_transfer(handle_, 0x81, buf, 16, &n, 100), 0);
  EXPECT_EQ(n, 3);
}

TEST_F(FaultsTest, TimeoutAfterBytesReportsThemWithTimeoutAtTheDeadline) {
  device_->queue_interrupt(0x81, {1, 2, 3, 4, 5, 6, 7, 8}, 20ms);
  arm(RequestKind::InterruptIn, Action::timeout_after(5));
  std::uint8_t buf[16];
  int n = 0;
  EXPECT_EQ(libusb_interrupt_transfer(handle_, 0x81, buf, 16, &n, 100), LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(n, 5);
  EXPECT_EQ(sim::bus().now(), 100ms);
  auto r = sim::bus().requests().last(RequestKind::InterruptIn);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->transferred, 5);
  EXPECT_EQ(r->result, LIBUSB_ERROR_TIMEOUT);
}

TEST_F(FaultsTest, TimeoutFaultOnAnInterruptReadTransfersNothing) {
  device_->queue_interrupt(0x81, {1});
  arm(RequestKind::InterruptIn, Action::timeout());
  std::uint8_t buf[4];
  int n = -1;
  EXPECT_EQ(libusb_interrupt_transfer(handle_, 0x81, buf, 4, &n, 100), LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(n, 0);
  // The packet is still there for the next read.
  EXPECT_EQ(libusb_interrupt_transfer(handle_, 0x81, buf, 4, &n, 100), 0);
  EXPECT_EQ(n, 1);
}

TEST_F(FaultsTest, UnplugMidTransferAndComeBackAsANewDevice) {
  arm(RequestKind::ControlOut, Action::unplug(3s));
  EXPECT_EQ(write(0), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_FALSE(sim::bus().plugged(*device_));
  EXPECT_EQ(write(0), LIBUSB_ERROR_NO_DEVICE);
  sim::bus().advance(3s);
  EXPECT_TRUE(sim::bus().plugged(*device_));
  EXPECT_EQ(write(0), LIBUSB_ERROR_NO_DEVICE);  // the old handle belongs to the old device
}

TEST_F(FaultsTest, EnumerationAndOpeningFail) {
  arm(RequestKind::GetDeviceList, Action::error(LIBUSB_ERROR_NO_MEM));
  libusb_device** list = nullptr;
  EXPECT_EQ(libusb_get_device_list(ctx_, &list), LIBUSB_ERROR_NO_MEM);
  ASSERT_EQ(libusb_get_device_list(ctx_, &list), 1);
  arm(RequestKind::DeviceDescriptor, Action::error(LIBUSB_ERROR_IO));
  libusb_device_descriptor d{};
  EXPECT_EQ(libusb_get_device_descriptor(list[0], &d), LIBUSB_ERROR_IO);
  EXPECT_EQ(libusb_get_device_descriptor(list[0], &d), 0);
  arm(RequestKind::Open, Action::error(LIBUSB_ERROR_ACCESS));
  libusb_device_handle* h = nullptr;
  EXPECT_EQ(libusb_open(list[0], &h), LIBUSB_ERROR_ACCESS);
  arm(RequestKind::Reset, Action::error(LIBUSB_ERROR_NOT_FOUND));
  EXPECT_EQ(libusb_reset_device(handle_), LIBUSB_ERROR_NOT_FOUND);
  EXPECT_EQ(device_->resets, 0);
  libusb_free_device_list(list, 1);
}

TEST_F(FaultsTest, LibraryInitialisationFails) {
  arm(RequestKind::UsbInit, Action::error(LIBUSB_ERROR_NOT_SUPPORTED));
  arm(RequestKind::HidInit, Action::error(-1));
  libusb_context* ctx = nullptr;
  EXPECT_EQ(libusb_init(&ctx), LIBUSB_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(hid_init(), -1);
  EXPECT_EQ(hid_init(), 0);
  EXPECT_EQ(hid_exit(), 0);
}

class HidFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    model_ = std::make_shared<sim::ScriptedDevice>(
        sim::DeviceSpec{.vendor = 0x7A11, .product = 0x0001},
        sim::ConfigSpec{.interfaces = {{.number = 0, .cls = 3}}});
    model_->make_hid();
    sim::bus().plug(model_);
    dev_ = hid_open(0x7A11, 0x0001, nullptr);
    ASSERT_NE(dev_, nullptr);
  }
  void TearDown() override { hid_close(dev_); }

  std::shared_ptr<sim::ScriptedDevice> model_;
  hid_device* dev_ = nullptr;
};

TEST_F(HidFaultsTest, FeatureReportFaultsMatchTheReportId) {
  sim::bus().faults().add(
      {.match = {.kind = RequestKind::HidGetFeature, .report_id = 2}, .action = Action::stall()});
  model_->queue_feature(sim::Bytes{0x01, 0xAA});
  model_->queue_feature(sim::Bytes(2050, 0x55));
  unsigned char small[19] = {0x01};
  EXPECT_EQ(hid_get_feature_report(dev_, small, sizeof small), 2);
  std::vector<unsigned char> big(2050);
  big[0] = 0x02;
  EXPECT_EQ(hid_get_feature_report(dev_, big.data(), big.size()), -1);
  EXPECT_EQ(hid_get_feature_report(dev_, big.data(), big.size()), 2050);
}

TEST_F(HidFaultsTest, ShortFeatureReportCountsFromTheReportIdByte) {
  sim::bus().faults().add(
      {.match = {.kind = RequestKind::HidGetFeature}, .action = Action::short_transfer(10)});
  model_->queue_feature(sim::Bytes(19, 0x77));
  unsigned char buf[19] = {0x01};
  EXPECT_EQ(hid_get_feature_report(dev_, buf, sizeof buf), 10);
  EXPECT_EQ(buf[10], 0);
}

TEST_F(HidFaultsTest, ReadTimeoutFaultReturnsNothingAfterTheTimeout) {
  model_->queue_hid_input({1, 2, 3});
  sim::bus().faults().add({.match = {.kind = RequestKind::HidRead}, .action = Action::timeout()});
  unsigned char buf[3];
  EXPECT_EQ(hid_read_timeout(dev_, buf, 3, 1000), 0);
  EXPECT_EQ(sim::bus().now(), 1000ms);
  EXPECT_EQ(hid_read_timeout(dev_, buf, 3, 1000), 3);
}

// hidapi knows only counts: a transfer cut after some bytes returns them, and a read cut by a
// timeout returns them once its timeout has passed.
TEST_F(HidFaultsTest, CutTransfersReturnTheBytesThatMoved) {
  sim::bus().faults().add(
      {.match = {.kind = RequestKind::HidWrite}, .action = Action::interrupted_after(2)});
  sim::bus().faults().add(
      {.match = {.kind = RequestKind::HidRead}, .action = Action::timeout_after(1)});
  const unsigned char report[] = {0, 1, 2};
  EXPECT_EQ(hid_write(dev_, report, 3), 2);
  EXPECT_EQ(model_->hid_writes, (std::vector<sim::Bytes>{{0, 1}}));
  model_->queue_hid_input({7, 8, 9});
  unsigned char buf[3] = {};
  EXPECT_EQ(hid_read_timeout(dev_, buf, 3, 1000), 1);
  EXPECT_EQ(buf[0], 7);
  EXPECT_EQ(sim::bus().now(), 1000ms);
}

TEST_F(HidFaultsTest, WriteFaultsFail) {
  sim::bus().faults().add({.match = {.kind = RequestKind::HidWrite}, .action = Action::stall()});
  sim::bus().faults().add(
      {.match = {.kind = RequestKind::HidSendFeature}, .action = Action::unplug()});
  const unsigned char report[] = {0, 1, 2};
  EXPECT_EQ(hid_write(dev_, report, 3), -1);
  EXPECT_EQ(hid_send_feature_report(dev_, report, 3), -1);
  EXPECT_FALSE(sim::bus().plugged(*model_));
  EXPECT_TRUE(model_->hid_writes.empty());
  EXPECT_TRUE(model_->features_sent.empty());
}

}  // namespace
