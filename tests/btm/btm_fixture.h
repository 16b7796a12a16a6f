// A bus with a libusb context for BTM tests, and the checks that every test shares: nothing
// the code under test took from libusb is still held, and libusb was used correctly.
#pragma once

#include <gtest/gtest.h>
#include <libusb.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "lib/usb/usb.h"
#include "sim/bus.h"
#include "sim/descriptors.h"
#include "sim/scripted_device.h"
#include "sim/vexo/vexo.h"
#include "tests/support/usb_descriptors.h"
#include "velk/src/device/btm/control.h"

namespace velk::testing {

using sim::Bytes;
using sim::RequestKind;

constexpr std::uint16_t kModeKey = 0x02AD;

class BtmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    ASSERT_EQ(libusb_init(&context_), 0);
    baseline_ = sim::bus().resources();
    sim::bus().requests().clear();
  }

  void TearDown() override {
    libusb_exit(context_);
    EXPECT_TRUE(sim::bus().misuse().empty()) << sim::bus().misuse().front();
  }

  // The one device on the bus, as discovery hands it over.
  usb::UsbDevice only_device() {
    auto list = usb::UsbDeviceList::get(context_);
    EXPECT_TRUE(list);
    EXPECT_EQ(list->size(), 1u);
    return list->at(0);
  }

  std::shared_ptr<sim::vexo::Vexo> plug_vexo(sim::vexo::VexoOptions options = {}) {
    options.mode = sim::vexo::Mode::Btm;
    return sim::vexo::Vexo::plug(options);
  }

  // Connects to the one device and forgets the traffic of connecting.
  btm::BtmDevice connect() {
    auto device = btm::connect_btm(only_device());
    if (!device) throw std::runtime_error(device.error().display());
    sim::bus().requests().clear();
    return std::move(*device);
  }

  // Everything taken from libusb since the test started has been given back.
  void expect_all_released() { EXPECT_EQ(sim::bus().resources(), baseline_); }

  static std::vector<sim::Request> of(RequestKind kind) { return sim::bus().requests().of(kind); }
  static std::vector<RequestKind> traffic() { return sim::bus().requests().kinds(false); }
  static std::vector<int> interfaces(RequestKind kind) {
    std::vector<int> out;
    for (const auto& r : of(kind)) out.push_back(r.interface);
    return out;
  }

  libusb_context* context_ = nullptr;
  sim::Resources baseline_;
};

// A device with the BTM-mode interfaces (HCI 0 with event endpoint 0x81, DFU run-time 1) whose
// answers the test scripts.
inline std::shared_ptr<sim::ScriptedDevice> scripted_btm(
    std::vector<sim::InterfaceSpec> interfaces = {
        {.number = 0,
         .cls = 0xFF,
         .subclass = 0x01,
         .endpoints = {{.address = 0x81, .attributes = sim::kInterrupt}}},
        {.number = 1, .cls = 0xFE, .subclass = 0x01, .extra = dfu_functional(0x0B, 5000)}}) {
  auto device =
      std::make_shared<sim::ScriptedDevice>(sim::DeviceSpec{.vendor = 0x7A11, .product = 0x1300},
                                            sim::ConfigSpec{.interfaces = std::move(interfaces)});
  sim::bus().plug(device);
  return device;
}

}  // namespace velk::testing
