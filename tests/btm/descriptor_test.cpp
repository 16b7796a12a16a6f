// Finding the HCI interface and the DFU functional descriptor in a configuration.
#include <gtest/gtest.h>
#include <libusb.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "tests/support/usb_descriptors.h"
#include "velk/src/device/btm/hci.h"
#include "velk/src/device/dfu/dfu_descriptor.h"

namespace velk {
namespace {

using testing::Config;
using testing::dfu_functional;

// One interface setting with endpoints given as (address, transfer type).
sim::InterfaceSpec setting(std::uint8_t number, std::uint8_t cls, std::uint8_t subclass,
                           std::vector<std::pair<std::uint8_t, std::uint8_t>> endpoints = {},
                           sim::Bytes extra = {}) {
  sim::InterfaceSpec s{
      .number = number, .cls = cls, .subclass = subclass, .extra = std::move(extra)};
  for (const auto& [address, type] : endpoints) {
    s.endpoints.push_back({.address = address, .attributes = type});
  }
  return s;
}

const sim::Bytes kDfuFunctional = dfu_functional(0x0B, 5000);  // wTransferSize 1024

// The device in BTM mode: HCI on interface 0 (control-only setting first, as on the chip), the
// DFU run-time interface on 2.
Config btm_config() {
  return Config({
      setting(0, 0xFF, 0x01, {{0x82, sim::kBulk}, {0x02, sim::kBulk}}),
      setting(0, 0xFF, 0x01, {{0x02, sim::kBulk}, {0x81, sim::kInterrupt}}),
      setting(1, 0xE0, 0x01, {{0x83, sim::kIsochronous}}),
      setting(2, 0xFE, 0x01, {}, kDfuFunctional),
  });
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
  Config c({setting(3, 0xFF, 0x01, {{0x8D, sim::kInterrupt}})});
  auto hci = btm::find_hci_interface(c.interfaces());
  ASSERT_TRUE(hci);
  EXPECT_EQ(hci->interface_number, 3);
  EXPECT_EQ(hci->endpoint_number, 5);
  EXPECT_EQ(hci->event_endpoint(), 0x85);
}

TEST(FindHciInterface, PassesOverSettingsWithoutAnInterruptIn) {
  Config c({
      setting(0, 0xFF, 0x01,
              {{0x01, sim::kInterrupt}, {0x81, sim::kBulk}}),  // OUT interrupt, IN bulk
      setting(1, 0xFF, 0x02, {{0x82, sim::kInterrupt}}),       // wrong subclass
      setting(4, 0xFF, 0x01, {{0x83, sim::kInterrupt}}),
  });
  auto hci = btm::find_hci_interface(c.interfaces());
  ASSERT_TRUE(hci);
  EXPECT_EQ(hci->interface_number, 4);
  EXPECT_EQ(hci->endpoint_number, 3);
}

TEST(FindHciInterface, BulkOnlyVendorInterfaceIsMissing) {
  Config c({setting(0, 0xFF, 0x01, {{0x81, sim::kBulk}, {0x01, sim::kBulk}}),
            setting(1, 0xFE, 0x01, {}, kDfuFunctional)});
  auto hci = btm::find_hci_interface(c.interfaces());
  ASSERT_FALSE(hci);
  EXPECT_EQ(hci.error().kind(), ErrorKind::DeviceError);
  EXPECT_EQ(hci.error().text(), "missing BTM interface");
}

TEST(FindHciInterface, EmptyConfigurationIsMissing) {
  EXPECT_EQ(btm::find_hci_interface(Config().interfaces()).error().text(), "missing BTM interface");
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
  auto dfu = dfu::decode_dfu_functional(7, dfu_functional(0x04, 5000));
  ASSERT_TRUE(dfu);
  EXPECT_FALSE(dfu->can_download);
  EXPECT_FALSE(dfu->can_upload);
  EXPECT_TRUE(dfu->manifestation_tolerant);
  EXPECT_FALSE(dfu->will_detach);
  EXPECT_EQ(dfu->interface_number, 7);
}

TEST(DfuDescriptor, SettingWithoutExtraBytesIsPassedOver) {
  Config c({
      setting(0, 0xFE, 0x01),
      setting(1, 0xFE, 0x02, {}, {0x03, 0x24, 0x00}),  // not DFU: subclass 2
      setting(5, 0xFE, 0x01, {}, kDfuFunctional),
  });
  auto dfu = dfu::find_dfu_descriptor(c.interfaces());
  ASSERT_TRUE(dfu);
  EXPECT_EQ(dfu->interface_number, 5);
}

TEST(DfuDescriptor, MalformedFirstDescriptorEndsTheSearch) {
  sim::Bytes seven(kDfuFunctional.begin(), kDfuFunctional.begin() + 7);
  seven[0] = 7;
  Config c({
      setting(0, 0xFE, 0x01, {}, seven),
      setting(1, 0xFE, 0x01, {}, kDfuFunctional),  // valid, but never reached
  });
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
  Config c({setting(0, 0xFF, 0x01, {{0x81, sim::kInterrupt}})});
  auto dfu = dfu::find_dfu_descriptor(c.interfaces());
  ASSERT_FALSE(dfu);
  EXPECT_EQ(dfu.error().kind(), ErrorKind::DeviceError);
  EXPECT_EQ(dfu.error().text(), "missing DFU descriptor");
}

}  // namespace
}  // namespace velk
