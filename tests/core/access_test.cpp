// The libusb and hidapi access layer against scripted devices on the virtual bus.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>

#include "lib/hid/src/manager/hid.h"
#include "lib/usb/usb.h"
#include "sim/bus.h"
#include "sim/scripted_device.h"

namespace velk {
namespace {

using namespace std::chrono_literals;
using sim::RequestKind;

class Access : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    ASSERT_EQ(libusb_init(&context_), 0);
    device_ = std::make_shared<sim::ScriptedDevice>(
        sim::DeviceSpec{.vendor = 0x7A11, .product = 0x1300},
        sim::ConfigSpec{
            .interfaces = {{.number = 0, .endpoints = {{.address = 0x81}, {.address = 0x02}}},
                           {.number = 1},
                           {.number = 3}}});
    sim::bus().plug(device_);
  }
  void TearDown() override {
    libusb_exit(context_);
    sim::reset();
  }

  usb::UsbDeviceHandle open() {
    auto list = usb::UsbDeviceList::get(context_);
    EXPECT_TRUE(list);
    EXPECT_EQ(list->size(), 1u);
    auto handle = list->at(0).open();
    EXPECT_TRUE(handle);
    sim::bus().requests().clear();
    return std::move(*handle);
  }

  libusb_context* context_ = nullptr;
  std::shared_ptr<sim::ScriptedDevice> device_;
};

TEST_F(Access, DirectionChecksSendNothing) {
  auto handle = open();
  std::uint8_t buffer[4] = {};
  EXPECT_EQ(handle.read_control(0x21, 0, 0, 0, buffer, 1s).error().usb(), UsbError::InvalidParam);
  EXPECT_EQ(handle.write_control(0xA1, 0, 0, 0, buffer, 1s).error().usb(), UsbError::InvalidParam);
  EXPECT_EQ(handle.read_interrupt(0x02, buffer, 1s).error().usb(), UsbError::InvalidParam);
  EXPECT_TRUE(sim::bus().requests().all().empty());
}

TEST_F(Access, FailuresMapToTheirKinds) {
  auto handle = open();
  std::uint8_t buffer[4] = {};
  for (int code : {-1, -4, -9, -12, -99}) {
    sim::bus().faults().add(
        {.match = {.kind = RequestKind::ControlOut}, .action = sim::Action::error(code)});
    auto r = handle.write_control(0x20, 0, 0, 0, buffer, 100ms);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().usb(), usb_error_from_code(code));
  }
  sim::bus().faults().add(
      {.match = {.kind = RequestKind::ControlOut}, .action = sim::Action::error(-99)});
  EXPECT_EQ(handle.write_control(0x20, 0, 0, 0, buffer, 1s).error().display(),
            "libusb error: Other error");
  sim::bus().faults().add(
      {.match = {.kind = RequestKind::ControlIn}, .action = sim::Action::stall()});
  EXPECT_EQ(handle.read_control(0xA1, 3, 0, 0, buffer, 1s).error().usb(), UsbError::Pipe);
}

TEST_F(Access, InterruptReadKeepsDataOfAnInterruptedTransferButNotOfATimeout) {
  auto handle = open();
  std::uint8_t buffer[16] = {};
  device_->queue_interrupt(0x81, {1, 2, 3, 4, 5, 6, 7, 8});
  sim::bus().faults().add(
      {.match = {.kind = RequestKind::InterruptIn}, .action = sim::Action::interrupted_after(5)});
  auto got = handle.read_interrupt(0x81, buffer, 100ms);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, 5u);

  device_->queue_interrupt(0x81, {1, 2, 3, 4, 5, 6, 7, 8});
  sim::bus().faults().add(
      {.match = {.kind = RequestKind::InterruptIn}, .action = sim::Action::timeout_after(5)});
  EXPECT_EQ(handle.read_interrupt(0x81, buffer, 100ms).error().usb(), UsbError::Timeout);

  device_->queue_interrupt(0x81, {1, 2, 3});
  sim::bus().faults().add(
      {.match = {.kind = RequestKind::InterruptIn}, .action = sim::Action::interrupted_after(0)});
  EXPECT_EQ(handle.read_interrupt(0x81, buffer, 100ms).error().usb(), UsbError::Interrupted);
}

TEST_F(Access, TimeoutsReachLibusbInMilliseconds) {
  auto handle = open();
  std::uint8_t buffer[4] = {};
  EXPECT_EQ(handle.read_interrupt(0x81, buffer, 100ms).error().usb(), UsbError::Timeout);
  EXPECT_EQ(sim::bus().requests().last(RequestKind::InterruptIn)->timeout_ms, 100);
  EXPECT_EQ(sim::bus().now(), 100ms);  // the wait ran on the virtual clock
  (void)handle.write_control(0x20, 0, 0, 0, buffer, 1s);
  EXPECT_EQ(sim::bus().requests().last(RequestKind::ControlOut)->timeout_ms, 1000);
  // Out of libusb's range: the largest limit, and never 0, which libusb takes as no limit.
  EXPECT_EQ(usb::libusb_timeout(std::chrono::hours(24 * 365 * 200)), UINT_MAX);
  EXPECT_EQ(usb::libusb_timeout(0ms), 1u);
  EXPECT_EQ(usb::libusb_timeout(-5ms), 1u);
}

TEST_F(Access, ClaimedInterfacesAreReleasedOnceInAscendingOrderThenClosed) {
  {
    auto handle = open();
    EXPECT_TRUE(handle.claim_interface(3));
    EXPECT_TRUE(handle.claim_interface(1));
    EXPECT_TRUE(handle.claim_interface(1));
    device_->claim_results[0] = LIBUSB_ERROR_BUSY;
    EXPECT_EQ(handle.claim_interface(0).error().usb(), UsbError::Busy);
    sim::bus().requests().clear();
  }
  EXPECT_EQ(device_->releases, (std::vector<int>{1, 3}));  // not 0, whose claim failed
  EXPECT_EQ(
      sim::bus().requests().kinds(),
      (std::vector<RequestKind>{RequestKind::Release, RequestKind::Release, RequestKind::Close}));
  EXPECT_EQ(sim::bus().resources(), sim::Resources{.usb_contexts = 1});
}

TEST_F(Access, ConfigDescriptorWalkMasksEndpointNumbersToThreeBits) {
  auto list = usb::UsbDeviceList::get(context_);
  ASSERT_TRUE(list);
  auto config = list->at(0).config_descriptor(0);
  ASSERT_TRUE(config);
  auto interfaces = config->interfaces();
  ASSERT_EQ(interfaces.size(), 3u);
  auto eps = usb::endpoints(usb::settings(interfaces[0])[0]);
  ASSERT_EQ(eps.size(), 2u);
  EXPECT_TRUE(usb::endpoint_is_in(eps[0]));
  EXPECT_EQ(usb::endpoint_number(eps[0]), 1);
  EXPECT_FALSE(usb::endpoint_is_in(eps[1]));
  EXPECT_EQ(usb::transfer_type(eps[0]), usb::kTransferInterrupt);
  libusb_endpoint_descriptor wide{};
  wide.bEndpointAddress = 0x8F;
  EXPECT_EQ(usb::endpoint_number(wide), 7);
}

TEST_F(Access, RequestTypesAreBuiltFromTheirParts) {
  using usb::Direction, usb::RequestType, usb::Recipient;
  EXPECT_EQ(usb::request_type(Direction::Out, RequestType::Class, Recipient::Device), 0x20);
  EXPECT_EQ(usb::request_type(Direction::Out, RequestType::Class, Recipient::Interface), 0x21);
  EXPECT_EQ(usb::request_type(Direction::In, RequestType::Class, Recipient::Interface), 0xA1);
  EXPECT_EQ(usb::request_type(Direction::In, RequestType::Reserved, Recipient::Other), 0xE3);
}

TEST_F(Access, HidCallsMapFailuresAndPassCountsThrough) {
  auto hid_dev = std::make_shared<sim::ScriptedDevice>(
      sim::DeviceSpec{.vendor = 0x0A12, .product = 0x1012}, sim::ConfigSpec{});
  hid_dev->make_hid();
  sim::bus().plug(hid_dev);
  ASSERT_EQ(hid_init(), 0);
  auto list = hid::hid_devices(0x0A12, 0x1012);
  ASSERT_FALSE(list.empty());
  EXPECT_TRUE(hid::hid_devices(0x0A12, 0x1013).empty());
  auto device = hid::HidDeviceList::open(*list.first());
  ASSERT_TRUE(device);
  const std::uint8_t report[] = {1, 0};
  hid_dev->queue_hid_write(-1);
  EXPECT_EQ(device->write(report).error().display(), "hidapi error: Write error.");
  hid_dev->queue_hid_write(1);
  EXPECT_EQ(*device->write(report), 1u);  // a short count is the caller's to judge
  std::uint8_t in[3] = {};
  EXPECT_EQ(*device->read_timeout(in, 1s), 0u);  // nothing arrived
  std::uint8_t feature[18] = {1};
  hid_dev->queue_feature(-1);
  EXPECT_EQ(device->get_feature_report(feature).error().hid(), HidError::Read);

  hid_device_info gone{};
  gone.path = const_cast<char*>("no-such-path");
  EXPECT_EQ(hid::HidDeviceList::open(gone).error().display(), "hidapi error: Device not found.");
  hid_exit();
}

}  // namespace
}  // namespace velk
