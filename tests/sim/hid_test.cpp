// The simulator's hidapi functions: enumeration, byte counts with the report-ID byte, reads
// that wait in virtual time, and devices that vanish under an open handle.
#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include <chrono>
#include <memory>
#include <string>

#include "sim/bus.h"
#include "sim/scripted_device.h"

using namespace std::chrono_literals;
using sim::RequestKind;

namespace {

std::shared_ptr<sim::ScriptedDevice> make_hid(std::uint16_t vendor = 0x7A11,
                                              std::uint16_t product = 0x0001) {
  auto dev = std::make_shared<sim::ScriptedDevice>(
      sim::DeviceSpec{.vendor = vendor, .product = product},
      sim::ConfigSpec{.interfaces = {{.number = 0, .cls = 3}}});
  dev->make_hid({.manufacturer = L"Maker", .product = L"Loader", .serial_number = L"0042"});
  return dev;
}

class HidTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    baseline_ = sim::bus().resources();
  }
  void TearDown() override {
    EXPECT_EQ(sim::bus().resources(), baseline_);
    EXPECT_TRUE(sim::bus().misuse().empty()) << sim::bus().misuse().front();
  }

  hid_device* open_first(std::uint16_t vendor, std::uint16_t product) {
    hid_device_info* list = hid_enumerate(vendor, product);
    if (list == nullptr) return nullptr;
    hid_device* dev = hid_open_path(list->path);
    hid_free_enumeration(list);
    return dev;
  }

  sim::Resources baseline_;
};

TEST_F(HidTest, EnumerationFiltersByIdsWithZeroMatchingAny) {
  sim::bus().plug(make_hid(0x7A11, 0x0001));
  sim::bus().plug(make_hid(0x0A12, 0x1012));
  // A device without a HID function is on the USB bus but not in HID enumerations.
  sim::bus().plug(std::make_shared<sim::ScriptedDevice>(
      sim::DeviceSpec{.vendor = 0x7A11, .product = 0x0002}, sim::ConfigSpec{}));
  auto count = [](hid_device_info* list) {
    int n = 0;
    for (auto* i = list; i != nullptr; i = i->next) ++n;
    hid_free_enumeration(list);
    return n;
  };
  EXPECT_EQ(count(hid_enumerate(0, 0)), 2);
  EXPECT_EQ(count(hid_enumerate(0x7A11, 0)), 1);
  EXPECT_EQ(count(hid_enumerate(0x0A12, 0x1012)), 1);
  EXPECT_EQ(hid_enumerate(0x0A12, 0x9999), nullptr);

  hid_device_info* list = hid_enumerate(0x0A12, 0x1012);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(std::wstring(list->manufacturer_string), L"Maker");
  EXPECT_EQ(list->product_id, 0x1012);
  hid_free_enumeration(list);
}

TEST_F(HidTest, WriteCountsTheReportIdByteAndReachesTheModel) {
  auto model = make_hid(0x0A12, 0x1012);
  sim::bus().plug(model);
  hid_device* dev = open_first(0x0A12, 0x1012);
  ASSERT_NE(dev, nullptr);
  const unsigned char report[] = {0x00, 0x11, 0x22, 0x33};
  EXPECT_EQ(hid_write(dev, report, sizeof report), 4);
  ASSERT_EQ(model->hid_writes.size(), 1u);
  EXPECT_EQ(model->hid_writes[0], (sim::Bytes{0x00, 0x11, 0x22, 0x33}));
  EXPECT_EQ(sim::bus().requests().last(RequestKind::HidWrite)->data, model->hid_writes[0]);
  hid_close(dev);
}

TEST_F(HidTest, ReadTimeoutWaitsInVirtualTimeAndReturnsZeroWhenNothingCame) {
  auto model = make_hid(0x0A12, 0x1012);
  model->queue_hid_input({0x01, 0x02, 0x03}, 250ms);
  sim::bus().plug(model);
  hid_device* dev = open_first(0x0A12, 0x1012);
  ASSERT_NE(dev, nullptr);
  unsigned char buf[8];
  EXPECT_EQ(hid_read_timeout(dev, buf, sizeof buf, 100), 0);
  EXPECT_EQ(sim::bus().now(), 100ms);
  EXPECT_EQ(hid_read_timeout(dev, buf, sizeof buf, 1000), 3);
  EXPECT_EQ(sim::bus().now(), 250ms);
  EXPECT_EQ(buf[2], 0x03);
  // Non-blocking: a look, no time passes.
  hid_set_nonblocking(dev, 1);
  EXPECT_EQ(hid_read(dev, buf, sizeof buf), 0);
  EXPECT_EQ(sim::bus().now(), 250ms);
  hid_close(dev);
}

TEST_F(HidTest, FeatureReportsCountTheReportIdByte) {
  auto model = make_hid();
  model->queue_feature(sim::Bytes{0x01, 0xAA, 0xBB});
  sim::bus().plug(model);
  hid_device* dev = open_first(0x7A11, 0x0001);
  ASSERT_NE(dev, nullptr);

  unsigned char buf[19] = {0x01};
  EXPECT_EQ(hid_get_feature_report(dev, buf, sizeof buf), 3);  // ID + two data bytes
  EXPECT_EQ(buf[0], 0x01);
  EXPECT_EQ(buf[2], 0xBB);
  // Nothing more scripted: the model fails and hidapi says -1.
  EXPECT_EQ(hid_get_feature_report(dev, buf, sizeof buf), -1);

  const unsigned char out[] = {0x02, 0x10, 0x20};
  EXPECT_EQ(hid_send_feature_report(dev, out, sizeof out), 3);
  ASSERT_EQ(model->features_sent.size(), 1u);
  EXPECT_EQ(model->features_sent[0][0], 0x02);
  auto sent = sim::bus().requests().last(RequestKind::HidSendFeature);
  ASSERT_NE(sent, nullptr);
  EXPECT_EQ(sent->report_id(), 0x02);
  hid_close(dev);
}

TEST_F(HidTest, UnpluggedDeviceFailsEveryCallButCloses) {
  auto model = make_hid();
  model->queue_hid_input({1}, 1s);
  sim::bus().plug(model);
  hid_device_info* list = hid_enumerate(0x7A11, 0x0001);
  ASSERT_NE(list, nullptr);
  const std::string old_path = list->path;
  hid_free_enumeration(list);
  hid_device* dev = hid_open_path(old_path.c_str());
  ASSERT_NE(dev, nullptr);
  sim::bus().after(10ms, [&] { sim::bus().unplug(*model); });
  unsigned char buf[4] = {0x01};
  EXPECT_EQ(hid_read_timeout(dev, buf, sizeof buf, 1000), -1);
  EXPECT_EQ(sim::bus().now(), 10ms);
  EXPECT_EQ(hid_write(dev, buf, 1), -1);
  EXPECT_EQ(hid_get_feature_report(dev, buf, sizeof buf), -1);
  EXPECT_NE(std::wstring(hid_error(dev)), L"Success");
  // Plugged in again it is a new device: the old handle stays dead, a stale path finds nothing.
  hid_device_info* before = hid_enumerate(0, 0);
  EXPECT_EQ(before, nullptr);
  sim::bus().plug(model);
  EXPECT_EQ(hid_write(dev, buf, 1), -1);
  EXPECT_EQ(hid_open_path(old_path.c_str()), nullptr);
  hid_close(dev);
}

TEST_F(HidTest, OpenPathOfAnUnknownDeviceFails) {
  EXPECT_EQ(hid_open_path("sim:hid:nothing"), nullptr);
  EXPECT_EQ(hid_open(0x7A11, 0x0001, nullptr), nullptr);
  auto model = make_hid();
  sim::bus().plug(model);
  hid_device* dev = hid_open(0x7A11, 0x0001, L"0042");
  ASSERT_NE(dev, nullptr);
  wchar_t text[4];
  EXPECT_EQ(hid_get_product_string(dev, text, 4), 0);
  EXPECT_EQ(std::wstring(text), L"Loa");  // cut to fit, terminated
  hid_close(dev);
  EXPECT_EQ(hid_open(0x7A11, 0x0001, L"9999"), nullptr);
}

}  // namespace
