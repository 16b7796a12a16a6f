// A virtual Vexo in DFU mode with an open DfuDevice on it, DFU files for it, and the recorded
// progress calls and DFU requests that the engine tests assert.
#pragma once

#include <gtest/gtest.h>
#include <libusb.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "lib/usb/usb.h"
#include "sim/bus.h"
#include "sim/vexo/dfu_mode.h"
#include "sim/vexo/vexo.h"
#include "tests/support/progress_recorder.h"
#include "velk/src/device/dfu/dfu_device.h"
#include "velk/src/device/dfu/dfu_file.h"

namespace velk::testing {

using sim::Bytes;
using sim::RequestKind;
using sim::vexo::kCanDnload;
using sim::vexo::kCanUpload;
using sim::vexo::kManifestationTolerant;

// DFU class requests as they appear on the wire.
constexpr std::uint8_t kDnload = 1;
constexpr std::uint8_t kUpload = 2;
constexpr std::uint8_t kGetStatus = 3;
constexpr std::uint8_t kClrStatus = 4;

// `size` image bytes in a pattern that shows a shifted or repeated block.
inline Bytes pattern(std::size_t size, std::uint8_t seed = 0) {
  Bytes image(size);
  for (std::size_t i = 0; i < size; ++i)
    image[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
  return image;
}

// A DFU file for the virtual Vexo's boot loader: the image and a suffix naming its DFU identity.
inline Bytes dfu_file(const Bytes& image) {
  Bytes file = image;
  dfu::append_dfu_suffix(file, sim::vexo::kMakerVendor, sim::vexo::kDfuProduct, 0x0102);
  return file;
}

// A Vexo whose DFU loader moves `transfer_size` bytes per block and has these attributes.
inline sim::vexo::VexoOptions loader(std::uint16_t transfer_size,
                                     std::uint8_t attributes = kCanDnload | kCanUpload |
                                                               kManifestationTolerant) {
  sim::vexo::VexoOptions options;
  options.loader_dfu.transfer_size = transfer_size;
  options.loader_dfu.attributes = attributes;
  return options;
}

// One DFU request as the tests compare it: bRequest, wValue and the bytes moved.
struct Wire {
  std::uint8_t request;
  std::uint16_t value;
  std::size_t length;
  bool operator==(const Wire&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const Wire& w) {
  return os << "{" << int(w.request) << ", " << w.value << ", " << w.length << "}";
}

class DfuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    progress_calls().clear();
    ASSERT_EQ(libusb_init(&context_), 0);
  }

  void TearDown() override {
    device_.reset();
    libusb_exit(context_);
    EXPECT_TRUE(sim::bus().misuse().empty()) << sim::bus().misuse().front();
  }

  // Plugs a Vexo into the bus in DFU mode, opens it and forgets the traffic of opening.
  dfu::DfuDevice& connect(sim::vexo::VexoOptions options = {}) {
    options.mode = sim::vexo::Mode::Dfu;
    vexo_ = sim::vexo::Vexo::plug(options);
    auto list = usb::UsbDeviceList::get(context_);
    if (!list || list->size() != 1) throw std::runtime_error("expected one device on the bus");
    auto descriptor = list->at(0).device_descriptor();
    auto device = dfu::connect_dfu(list->at(0), *descriptor);
    if (!device) throw std::runtime_error(device.error().display());
    device_ = std::make_unique<dfu::DfuDevice>(std::move(*device));
    sim::bus().requests().clear();
    return *device_;
  }

  // The DFU requests since connecting, in order.
  static std::vector<Wire> wire() {
    std::vector<Wire> out;
    for (const auto& r : sim::bus().requests().all()) {
      if (r.kind != RequestKind::ControlIn && r.kind != RequestKind::ControlOut) continue;
      out.push_back({r.setup.request, r.setup.value,
                     r.kind == RequestKind::ControlOut ? r.data.size()
                                                       : static_cast<std::size_t>(r.setup.length)});
    }
    return out;
  }
  static std::vector<sim::Request> control(std::uint8_t request) {
    return sim::bus().requests().control(request);
  }

  libusb_context* context_ = nullptr;
  std::shared_ptr<sim::vexo::Vexo> vexo_;
  std::unique_ptr<dfu::DfuDevice> device_;
};

}  // namespace velk::testing
