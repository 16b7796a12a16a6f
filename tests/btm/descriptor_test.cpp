// Finding the HCI interface and the DFU functional descriptor in a configuration.
#include <gtest/gtest.h>
#include <libusb.h>

#include <cstdint>
#include <deque>
#include <vector>

#include "velk/src/device/btm/hci.h"
#include "velk/src/device/dfu/dfu_descriptor.h"

namespace velk {
namespace {

constexpr std::uint8_t kInterrupt = LIBUSB_TRANSFER_TYPE_INTERRUPT;
constexpr std::uint8_t kBulk = LIBUSB_TRANSFER_TYPE_BULK;

// A configuration assembled from libusb's own structs, as libusb_get_config_descriptor gives it.
class Config {
 public:
  struct Endpoint {
    std::uint8_t address;
    std::uint8_t attributes;
  };

  // Adds an interface with one alternate setting per call of setting() after it.
  Config& interface() {
    settings_.emplace_back();
    return *this;
  }
  Config& setting(std::uint8_t number, std::uint8_t cls, std::uint8_t subclass,
                  std::vector<Endpoint> eps = {}, std::vector<std::uint8_t> extra = {}) {
    auto& ep_store = endpoints_.emplace_back();
    for (const Endpoint& e : eps) {
      libusb_endpoint_descriptor d{};
      d.bLength = LIBUSB_DT_ENDPOINT_SIZE;
      d.bDescriptorType = LIBUSB_DT_ENDPOINT;
      d.bEndpointAddress = e.address;
      d.bmAttributes = e.attributes;
      d.wMaxPacketSize = 64;
      ep_store.push_back(d);
    }
    auto& extra_store = extras_.emplace_back(std::move(extra));
    libusb_interface_descriptor s{};
    s.bLength = LIBUSB_DT_INTERFACE_SIZE;
    s.bDescriptorType = LIBUSB_DT_INTERFACE;
    s.bInterfaceNumber = number;
    s.bAlternateSetting = static_cast<std::uint8_t>(settings_.back().size());
    s.bNumEndpoints = static_cast<std::uint8_t>(ep_store.size());
    s.bInterfaceClass = cls;
    s.bInterfaceSubClass = subclass;
    s.endpoint = ep_store.empty() ? nullptr : ep_store.data();
    s.extra = extra_store.empty() ? nullptr : extra_store.data();
    s.extra_length = static_cast<int>(extra_store.size());
    settings_.back().push_back(s);
    return *this;
  }

  std::span<const libusb_interface> interfaces() {
    interfaces_.clear();
    for (auto& s : settings_)
      interfaces_.push_back(libusb_interface{s.data(), static_cast<int>(s.size())});
    return interfaces_;
  }

 private:
  // deques keep the addresses that the structs point at stable
  std::deque<std::vector<libusb_interface_descriptor>> settings_;
  std::deque<std::vector<libusb_endpoint_descriptor>> endpoints_;
  std::deque<std::vector<std::uint8_t>> extras_;
  std::vector<libusb_interface> interfaces_;
};

const std::vector<std::uint8_t> kDfuFunctional{
    0x09,        // bLength
    0x21,        // DFU functional
    0x0B,        // can download, can upload, will detach
    0x88, 0x13,  // wDetachTimeOut 5000 ms
    0x00, 0x04,  // wTransferSize 1024
    0x10, 0x01,  // bcdDFUVersion 1.10
};

// The device in BTM mode: HCI on interface 0 (control-only setting first, as on the chip), the
// DFU run-time interface on 2.
Config btm_config() {
  Config c;
  c.interface()
      .setting(0, 0xFF, 0x01, {{0x82, kBulk}, {0x02, kBulk}})
      .setting(0, 0xFF, 0x01, {{0x02, kBulk}, {0x81, kInterrupt}});
  c.interface().setting(1, 0xE0, 0x01, {{0x83, LIBUSB_TRANSFER_TYPE_ISOCHRONOUS}});
  c.interface().setting(2, 0xFE, 0x01, {}, kDfuFunctional);
  return c;
}

TEST(FindHciInterface, TakesTheFirstInterruptInOfTheVendorSetting) {
  Config c = btm_config();
  auto hci = btm::find_hci_interface(c.interfaces());
  ASSERT_TRUE(hci);
  EXPECT_EQ(hci->interface_number, 0);
  EXPECT_EQ(hci->endpoint_number, 1);
  EXPECT_EQ(hci->event_endpoint(), 0x81);
}

TEST(FindHciInterface, EndpointNumberKeepsThreeBits) {
  Config c;
  c.interface().setting(3, 0xFF, 0x01, {{0x8D, kInterrupt}});
  auto hci = btm::find_hci_interface(c.interfaces());
  ASSERT_TRUE(hci);
  EXPECT_EQ(hci->interface_number, 3);
  EXPECT_EQ(hci->endpoint_number, 5);
  EXPECT_EQ(hci->event_endpoint(), 0x85);
}

TEST(FindHciInterface, PassesOverSettingsWithoutAnInterruptIn) {
  Config c;
  c.interface().setting(0, 0xFF, 0x01,
                        {{0x01, kInterrupt}, {0x81, kBulk}});  // OUT interrupt, IN bulk
  c.interface().setting(1, 0xFF, 0x02, {{0x82, kInterrupt}});  // wrong subclass
  c.interface().setting(4, 0xFF, 0x01, {{0x83, kInterrupt}});
  auto hci = btm::find_hci_interface(c.interfaces());
  ASSERT_TRUE(hci);
  EXPECT_EQ(hci->interface_number, 4);
  EXPECT_EQ(hci->endpoint_number, 3);
}

TEST(FindHciInterface, BulkOnlyVendorInterfaceIsMissing) {
  Config c;
  c.interface().setting(0, 0xFF, 0x01, {{0x81, kBulk}, {0x01, kBulk}});
  c.interface().setting(1, 0xFE, 0x01, {}, kDfuFunctional);
  auto hci = btm::find_hci_interface(c.interfaces());
  ASSERT_FALSE(hci);
  EXPECT_EQ(hci.error().kind(), ErrorKind::DeviceError);
  EXPECT_EQ(hci.error().text(), "missing BTM interface");
}

TEST(FindHciInterface, EmptyConfigurationIsMissing) {
  Config c;
  EXPECT_EQ(btm::find_hci_interface(c.interfaces()).error().text(), "missing BTM interface");
}

TEST(DfuDescriptor, DecodesEveryField) {
  Config c = btm_config();
  auto dfu = dfu::find_dfu_descriptor(c.interfaces());
  ASSERT_TRUE(dfu);
  EXPECT_EQ(dfu->interface_number, 2);
  EXPECT_TRUE(dfu->can_download);
  EXPECT_TRUE(dfu->can_upload);
  EXPECT_FALSE(dfu->manifestation_tolerant);
  EXPECT_TRUE(dfu->will_detach);
  EXPECT_EQ(dfu->detach_timeout, 5000);
  EXPECT_EQ(dfu->transfer_size, 1024);
  EXPECT_EQ(dfu->dfu_version, 0x0110);
}

TEST(DfuDescriptor, EachAttributeBitIsItsOwn) {
  std::vector<std::uint8_t> bytes = kDfuFunctional;
  bytes[2] = 0x04;
  auto dfu = dfu::decode_dfu_functional(7, bytes);
  ASSERT_TRUE(dfu);
  EXPECT_FALSE(dfu->can_download);
  EXPECT_FALSE(dfu->can_upload);
  EXPECT_TRUE(dfu->manifestation_tolerant);
  EXPECT_FALSE(dfu->will_detach);
  EXPECT_EQ(dfu->interface_number, 7);
}

TEST(DfuDescriptor, SettingWithoutExtraBytesIsPassedOver) {
  Config c;
  c.interface().setting(0, 0xFE, 0x01);
  c.interface().setting(1, 0xFE, 0x02, {}, {1, 2, 3});  // not DFU: subclass 2
  c.interface().setting(5, 0xFE, 0x01, {}, kDfuFunctional);
  auto dfu = dfu::find_dfu_descriptor(c.interfaces());
  ASSERT_TRUE(dfu);
  EXPECT_EQ(dfu->interface_number, 5);
}

TEST(DfuDescriptor, MalformedFirstDescriptorEndsTheSearch) {
  std::vector<std::uint8_t> seven(kDfuFunctional.begin(), kDfuFunctional.begin() + 7);
  Config c;
  c.interface().setting(0, 0xFE, 0x01, {}, seven);
  c.interface().setting(1, 0xFE, 0x01, {}, kDfuFunctional);  // valid, but never reached
  auto dfu = dfu::find_dfu_descriptor(c.interfaces());
  ASSERT_FALSE(dfu);
  EXPECT_EQ(dfu.error().kind(), ErrorKind::DeviceError);
  EXPECT_EQ(dfu.error().text(), "invalid DFU descriptor");
}

TEST(DfuDescriptor, LengthAndTypeBytesAreChecked) {
  auto with = [](std::size_t at, std::uint8_t value) {
    std::vector<std::uint8_t> bytes = kDfuFunctional;
    bytes[at] = value;
    return dfu::decode_dfu_functional(0, bytes);
  };
  EXPECT_EQ(with(0, 0x0A).error().text(), "invalid DFU descriptor");
  EXPECT_EQ(with(1, 0x24).error().text(), "invalid DFU descriptor");
  std::vector<std::uint8_t> ten = kDfuFunctional;
  ten.push_back(0);
  EXPECT_EQ(dfu::decode_dfu_functional(0, ten).error().text(), "invalid DFU descriptor");
}

TEST(DfuDescriptor, NoDfuInterfaceIsMissing) {
  Config c;
  c.interface().setting(0, 0xFF, 0x01, {{0x81, kInterrupt}});
  auto dfu = dfu::find_dfu_descriptor(c.interfaces());
  ASSERT_FALSE(dfu);
  EXPECT_EQ(dfu.error().kind(), ErrorKind::DeviceError);
  EXPECT_EQ(dfu.error().text(), "missing DFU descriptor");
}

}  // namespace
}  // namespace velk
