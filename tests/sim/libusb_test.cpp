// The simulator's libusb functions keep libusb's contracts: reference counting, re-plugging
// as a new device, handles that die with their device, descriptor parsing, and transfers that
// wait in virtual time.
#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <memory>

#include "sim/bus.h"
#include "sim/scripted_device.h"

using namespace std::chrono_literals;
using sim::RequestKind;

namespace {

// A DFU-capable shape: a vendor interface with an interrupt-In endpoint, and a DFU run-time
// interface whose functional descriptor travels as the interface's extra bytes.
const sim::Bytes kDfuFunctional{0x09, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x04, 0x10, 0x01};

sim::ConfigSpec two_interfaces() {
  return {.interfaces = {
              {.number = 0,
               .cls = 0xFF,
               .subclass = 0x01,
               .endpoints = {{.address = 0x81, .attributes = sim::kInterrupt, .max_packet = 16},
                             {.address = 0x02, .attributes = sim::kBulk}}},
              {.number = 1, .alternate = 0, .cls = 0xFE, .subclass = 0x01, .extra = kDfuFunctional},
              {.number = 1, .alternate = 1, .cls = 0xFE, .subclass = 0x01},
          }};
}

std::shared_ptr<sim::ScriptedDevice> make_device(std::uint16_t product = 0x1300) {
  return std::make_shared<sim::ScriptedDevice>(
      sim::DeviceSpec{.vendor = 0x7A11, .product = product}, two_interfaces());
}

class LibusbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    ASSERT_EQ(libusb_init(&ctx_), 0);
    baseline_ = sim::bus().resources();
  }
  void TearDown() override {
    libusb_exit(ctx_);
    EXPECT_TRUE(sim::bus().misuse().empty()) << sim::bus().misuse().front();
  }

  // The single device on the bus, referenced by the caller.
  libusb_device* only_device() {
    libusb_device** list = nullptr;
    EXPECT_EQ(libusb_get_device_list(ctx_, &list), 1);
    libusb_device* dev = libusb_ref_device(list[0]);
    libusb_free_device_list(list, 1);
    return dev;
  }

  libusb_device_handle* open_only() {
    libusb_device* dev = only_device();
    libusb_device_handle* h = nullptr;
    EXPECT_EQ(libusb_open(dev, &h), 0);
    libusb_unref_device(dev);
    return h;
  }

  libusb_context* ctx_ = nullptr;
  sim::Resources baseline_;
};

TEST_F(LibusbTest, DeviceListIsASnapshotWithCountedReferences) {
  auto a = make_device(0x1300);
  auto b = make_device(0x1302);
  sim::bus().plug(a);
  sim::bus().plug(b);

  libusb_device** list = nullptr;
  ASSERT_EQ(libusb_get_device_list(ctx_, &list), 2);
  EXPECT_EQ(list[2], nullptr);
  EXPECT_EQ(sim::bus().resources().device_refs, baseline_.device_refs + 2);

  // Unplugging after the snapshot does not change the list, and the device stays readable.
  sim::bus().unplug(*b);
  libusb_device_descriptor d{};
  ASSERT_EQ(libusb_get_device_descriptor(list[1], &d), 0);
  EXPECT_EQ(d.idProduct, 0x1302);
  libusb_device_handle* h = nullptr;
  EXPECT_EQ(libusb_open(list[1], &h), LIBUSB_ERROR_NO_DEVICE);

  libusb_device* kept = libusb_ref_device(list[0]);
  libusb_free_device_list(list, 1);
  EXPECT_EQ(sim::bus().resources().device_refs, baseline_.device_refs + 1);
  ASSERT_EQ(libusb_get_device_descriptor(kept, &d), 0);
  EXPECT_EQ(d.idProduct, 0x1300);
  libusb_unref_device(kept);
  EXPECT_EQ(sim::bus().resources(), baseline_);
}

TEST_F(LibusbTest, FreeingAListWithoutUnreferencingKeepsTheReferences) {
  sim::bus().plug(make_device());
  libusb_device** list = nullptr;
  ASSERT_EQ(libusb_get_device_list(ctx_, &list), 1);
  libusb_device* dev = list[0];
  libusb_free_device_list(list, 0);
  EXPECT_EQ(sim::bus().resources().device_lists, baseline_.device_lists);
  EXPECT_EQ(sim::bus().resources().device_refs, baseline_.device_refs + 1);
  libusb_unref_device(dev);
  EXPECT_EQ(sim::bus().resources(), baseline_);
}

TEST_F(LibusbTest, OneUnreferenceTooManyIsCaught) {
  sim::bus().plug(make_device());
  libusb_device* dev = only_device();
  libusb_unref_device(dev);
  libusb_unref_device(dev);
  ASSERT_EQ(sim::bus().misuse().size(), 1u);
  sim::reset();  // the misuse was the point here
}

TEST_F(LibusbTest, ReplugIsANewDeviceAndOldHandlesStayDead) {
  auto dev = make_device();
  sim::bus().plug(dev);
  libusb_device* first = only_device();
  libusb_device_handle* h = nullptr;
  ASSERT_EQ(libusb_open(first, &h), 0);
  ASSERT_EQ(libusb_claim_interface(h, 0), 0);
  const auto first_attachment = sim::bus().requests().last(RequestKind::Open)->attachment;

  sim::bus().replug(*dev, 1s);
  sim::bus().advance(1s);
  ASSERT_TRUE(sim::bus().plugged(*dev));

  std::uint8_t buf[4];
  EXPECT_EQ(libusb_control_transfer(h, 0xC0, 1, 0, 0, buf, 4, 100), LIBUSB_ERROR_NO_DEVICE);
  int n = -1;
  EXPECT_EQ(libusb_interrupt_transfer(h, 0x81, buf, 4, &n, 100), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(libusb_claim_interface(h, 1), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(libusb_reset_device(h), LIBUSB_ERROR_NO_DEVICE);
  libusb_close(h);

  libusb_device* second = only_device();
  EXPECT_NE(second, first);
  ASSERT_EQ(libusb_open(second, &h), 0);
  EXPECT_NE(sim::bus().requests().last(RequestKind::Open)->attachment, first_attachment);
  // The new handle starts with nothing claimed.
  EXPECT_EQ(libusb_release_interface(h, 0), LIBUSB_ERROR_NOT_FOUND);
  libusb_close(h);
  libusb_unref_device(first);
  libusb_unref_device(second);
  EXPECT_EQ(sim::bus().resources(), baseline_);
}

TEST_F(LibusbTest, ClaimChecksTheConfigurationAndOtherHandles) {
  auto dev = make_device();
  sim::bus().plug(dev);
  libusb_device_handle* h = open_only();
  libusb_device_handle* other = open_only();
  EXPECT_EQ(libusb_claim_interface(h, 2), LIBUSB_ERROR_NOT_FOUND);
  EXPECT_EQ(libusb_claim_interface(h, 1), 0);
  EXPECT_EQ(libusb_claim_interface(h, 1), 0);  // again through the same handle: no-op
  EXPECT_EQ(libusb_claim_interface(other, 1), LIBUSB_ERROR_BUSY);
  dev->claim_results[0] = LIBUSB_ERROR_ACCESS;
  EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_ACCESS);
  EXPECT_EQ(libusb_release_interface(h, 0),
            LIBUSB_ERROR_NOT_FOUND);  // the failed claim left nothing
  EXPECT_EQ(libusb_release_interface(h, 1), 0);
  EXPECT_EQ(libusb_release_interface(h, 1), LIBUSB_ERROR_NOT_FOUND);
  EXPECT_EQ(dev->claims, (std::vector<int>{1, 0}));
  EXPECT_EQ(dev->releases, (std::vector<int>{1}));
  EXPECT_EQ(libusb_claim_interface(h, 1), 0);
  libusb_close(h);
  EXPECT_EQ(libusb_claim_interface(other, 1), 0);  // closing the handle gave it back
  libusb_close(other);
  EXPECT_EQ(sim::bus().resources(), baseline_);
}

// As Linux's libusb: interface numbers stop at 31; a kernel driver holds its interface until a
// handle that detaches drivers automatically claims it, and gets it back on release.
TEST_F(LibusbTest, KernelDriversHoldInterfacesUntilAClaimDetachesThem) {
  struct DriverBound : sim::ScriptedDevice {
    using ScriptedDevice::ScriptedDevice;
    std::string kernel_driver(int number) const override { return number == 0 ? "btusb" : ""; }
  };
  sim::bus().plug(std::make_shared<DriverBound>(sim::DeviceSpec{.vendor = 0x7A11, .product = 1},
                                                two_interfaces()));
  const std::uint64_t id = sim::bus().attachments().at(0).id;
  libusb_device_handle* h = open_only();
  EXPECT_EQ(libusb_claim_interface(h, 32), LIBUSB_ERROR_INVALID_PARAM);
  EXPECT_EQ(libusb_release_interface(h, 32), LIBUSB_ERROR_INVALID_PARAM);

  EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_BUSY);
  EXPECT_EQ(libusb_claim_interface(h, 1), 0);  // no driver wanted that one
  EXPECT_EQ(libusb_release_interface(h, 1), 0);
  EXPECT_EQ(sim::bus().driver(id, 1), "");

  EXPECT_EQ(libusb_set_auto_detach_kernel_driver(h, 1), 0);
  EXPECT_EQ(libusb_claim_interface(h, 0), 0);
  EXPECT_EQ(sim::bus().driver(id, 0), "");
  EXPECT_EQ(libusb_release_interface(h, 0), 0);
  EXPECT_EQ(sim::bus().driver(id, 0), "btusb");
  libusb_close(h);
  EXPECT_EQ(sim::bus().resources(), baseline_);
}

TEST_F(LibusbTest, ConfigDescriptorIsParsedLikeLibusb) {
  sim::bus().plug(make_device());
  libusb_device* dev = only_device();
  libusb_config_descriptor* config = nullptr;
  EXPECT_EQ(libusb_get_config_descriptor(dev, 1, &config), LIBUSB_ERROR_NOT_FOUND);
  ASSERT_EQ(libusb_get_config_descriptor(dev, 0, &config), 0);
  ASSERT_EQ(config->bNumInterfaces, 2);

  const libusb_interface& vendor = config->interface[0];
  ASSERT_EQ(vendor.num_altsetting, 1);
  const libusb_interface_descriptor& v = vendor.altsetting[0];
  EXPECT_EQ(v.bInterfaceClass, 0xFF);
  EXPECT_EQ(v.bInterfaceSubClass, 0x01);
  ASSERT_EQ(v.bNumEndpoints, 2);
  EXPECT_EQ(v.endpoint[0].bEndpointAddress, 0x81);
  EXPECT_EQ(v.endpoint[0].bmAttributes & 0x03, LIBUSB_TRANSFER_TYPE_INTERRUPT);
  EXPECT_EQ(v.endpoint[0].wMaxPacketSize, 16);
  EXPECT_EQ(v.endpoint[1].bEndpointAddress, 0x02);
  EXPECT_EQ(v.extra_length, 0);

  // Alternate settings of one interface number are grouped; the functional descriptor is the
  // extra of the setting it follows.
  const libusb_interface& dfu = config->interface[1];
  ASSERT_EQ(dfu.num_altsetting, 2);
  EXPECT_EQ(dfu.altsetting[0].bInterfaceNumber, 1);
  ASSERT_EQ(dfu.altsetting[0].extra_length, static_cast<int>(kDfuFunctional.size()));
  EXPECT_EQ(
      sim::Bytes(dfu.altsetting[0].extra, dfu.altsetting[0].extra + dfu.altsetting[0].extra_length),
      kDfuFunctional);
  EXPECT_EQ(dfu.altsetting[1].bAlternateSetting, 1);
  EXPECT_EQ(dfu.altsetting[1].extra_length, 0);

  EXPECT_EQ(sim::bus().resources().config_descriptors, baseline_.config_descriptors + 1);
  libusb_free_config_descriptor(config);
  libusb_unref_device(dev);
  EXPECT_EQ(sim::bus().resources(), baseline_);
}

TEST_F(LibusbTest, ControlTransfersHonourDirectionAndLength) {
  auto dev = make_device();
  dev->queue_control_in(sim::Bytes{1, 2, 3, 4, 5, 6});
  sim::bus().plug(dev);
  libusb_device_handle* h = open_only();

  std::uint8_t buf[8] = {};
  // The device has six bytes to say but the host asked for four.
  EXPECT_EQ(libusb_control_transfer(h, 0xA1, 3, 0, 1, buf, 4, 1000), 4);
  EXPECT_EQ(buf[3], 4);
  EXPECT_EQ(buf[4], 0);

  std::uint8_t out[3] = {9, 8, 7};
  EXPECT_EQ(libusb_control_transfer(h, 0x21, 1, 2, 1, out, 3, 1000), 3);
  ASSERT_EQ(dev->control_out_data.size(), 1u);
  EXPECT_EQ(dev->control_out_data[0], (sim::Bytes{9, 8, 7}));

  // Nothing scripted: the device stalls a class request but knows its own descriptors.
  EXPECT_EQ(libusb_control_transfer(h, 0xA1, 3, 0, 1, buf, 6, 1000), LIBUSB_ERROR_PIPE);
  EXPECT_EQ(libusb_control_transfer(h, 0x80, 0x06, 0x0100, 0, buf, 8, 1000), 8);
  EXPECT_EQ(buf[1], LIBUSB_DT_DEVICE);

  const auto& log = sim::bus().requests();
  auto writes = log.of(RequestKind::ControlOut);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].setup.request_type, 0x21);
  EXPECT_EQ(writes[0].setup.value, 2);
  EXPECT_EQ(writes[0].data, (sim::Bytes{9, 8, 7}));
  EXPECT_EQ(log.of(RequestKind::ControlIn).front().data, (sim::Bytes{1, 2, 3, 4}));
  libusb_close(h);
}

TEST_F(LibusbTest, InterruptReadWaitsInVirtualTimeForAPacket) {
  auto dev = make_device();
  dev->queue_interrupt(0x81, {0x0E, 0x04, 0x01}, 30ms);
  sim::bus().plug(dev);
  libusb_device_handle* h = open_only();

  std::uint8_t buf[16];
  int n = -1;
  EXPECT_EQ(libusb_interrupt_transfer(h, 0x81, buf, 16, &n, 100), 0);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(sim::bus().now(), 30ms);  // returned as soon as the packet was there

  // Nothing pending: the whole timeout passes.
  EXPECT_EQ(libusb_interrupt_transfer(h, 0x81, buf, 16, &n, 100), LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(sim::bus().now(), 130ms);
  libusb_close(h);
}

TEST_F(LibusbTest, InterruptReadRunsEventsThatMakeAPacketPending) {
  auto dev = make_device();
  sim::bus().plug(dev);
  libusb_device_handle* h = open_only();
  sim::bus().after(70ms, [&] { dev->queue_interrupt(0x81, {0xAA}); });
  std::uint8_t buf[4];
  int n = 0;
  EXPECT_EQ(libusb_interrupt_transfer(h, 0x81, buf, 4, &n, 100), 0);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(sim::bus().now(), 70ms);
  libusb_close(h);
}

TEST_F(LibusbTest, UnboundedInterruptReadWaitsForFarEventsButNotForever) {
  auto dev = make_device();
  sim::bus().plug(dev);
  libusb_device_handle* h = open_only();
  dev->queue_interrupt(0x81, {1}, 5min);
  std::uint8_t buf[4];
  int n = 0;
  EXPECT_EQ(libusb_interrupt_transfer(h, 0x81, buf, 4, &n, 0), 0);
  EXPECT_EQ(sim::bus().now(), 5min);
  // Nothing will ever come: give up after the cap rather than hang.
  EXPECT_EQ(libusb_interrupt_transfer(h, 0x81, buf, 4, &n, 0), LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(sim::bus().now(), 5min + sim::kUnboundedWaitCap);
  libusb_close(h);
}

TEST_F(LibusbTest, InterruptReadEndsWhenTheDeviceGoesAway) {
  auto dev = make_device();
  sim::bus().plug(dev);
  libusb_device_handle* h = open_only();
  sim::bus().after(40ms, [&] { sim::bus().unplug(*dev); });
  std::uint8_t buf[4];
  int n = 0;
  EXPECT_EQ(libusb_interrupt_transfer(h, 0x81, buf, 4, &n, 1000), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(sim::bus().now(), 40ms);
  libusb_close(h);
}

TEST_F(LibusbTest, InterruptReadOfALargerPacketOverflows) {
  auto dev = make_device();
  dev->queue_interrupt(0x81, {1, 2, 3, 4, 5});
  sim::bus().plug(dev);
  libusb_device_handle* h = open_only();
  std::uint8_t buf[4];
  int n = 0;
  EXPECT_EQ(libusb_interrupt_transfer(h, 0x81, buf, 4, &n, 100), LIBUSB_ERROR_OVERFLOW);
  EXPECT_EQ(n, 4);
  // An endpoint the device does not have.
  EXPECT_EQ(libusb_interrupt_transfer(h, 0x83, buf, 4, &n, 100), LIBUSB_ERROR_IO);
  libusb_close(h);
}

}  // namespace
