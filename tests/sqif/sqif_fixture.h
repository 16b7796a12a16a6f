// What the SQIF tests share: the loader on the virtual bus (a scripted one for exact wire
// answers, or the Vexo model), the connection to it, the reports it was sent, recorded
// progress and xuv text built from image bytes.
#pragma once

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "lib/usb/context.h"
#include "sim/bus.h"
#include "sim/scripted_device.h"
#include "sim/vexo/vexo.h"
#include "tests/support/progress_recorder.h"
#include "velk/src/device/sqif/sqif_device.h"

namespace sqif_test {

using sim::Bytes;
using sim::RequestKind;
using velk::testing::progress_calls;
using velk::testing::ProgressCalls;
using velk::testing::record_progress;

// Distinct bytes, so a chunk written at the wrong offset shows.
inline Bytes pattern(std::size_t size) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  return out;
}

// One "@word-address value" line per 16-bit word, high byte first; the size must be even.
inline std::string xuv_for(const Bytes& image) {
  std::string text;
  for (std::size_t i = 0; i + 1 < image.size(); i += 2) {
    text += fmt::format("@{:06x} {:02x}{:02x}\n", i / 2, image[i], image[i + 1]);
  }
  return text;
}

inline std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class SqifTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    progress_calls().clear();
    // Starts hidapi, as opening a handle does.
    auto context = velk::LibraryContext::get();
    ASSERT_TRUE(context) << context.error().display();
  }

  void TearDown() override {
    device_.reset();
    EXPECT_TRUE(sim::bus().misuse().empty()) << sim::bus().misuse().front();
    EXPECT_EQ(sim::bus().resources().hid_handles, 0);
    sim::reset();
  }

  // A loader whose answers the test queues itself.
  std::shared_ptr<sim::ScriptedDevice> plug_scripted() {
    auto loader = std::make_shared<sim::ScriptedDevice>(
        sim::DeviceSpec{.vendor = 0x0A12, .product = 0x1012}, sim::ConfigSpec{});
    loader->make_hid();
    sim::bus().plug(loader);
    return loader;
  }

  std::shared_ptr<sim::vexo::Vexo> plug_vexo() {
    return sim::vexo::Vexo::plug({.mode = sim::vexo::Mode::Sqif});
  }

  // Opens the one loader on the bus and forgets the traffic of opening it.
  velk::sqif::SqifDevice& connect() {
    auto device = velk::sqif::connect_sqif();
    if (!device) throw std::runtime_error(device.error().display());
    device_.emplace(std::move(*device));
    sim::bus().requests().clear();
    return *device_;
  }

  // The command reports, in the order sent.
  static std::vector<Bytes> reports() {
    std::vector<Bytes> out;
    for (const auto& r : sim::bus().requests().of(RequestKind::HidWrite)) out.push_back(r.data);
    return out;
  }
  static std::vector<sim::Request> reads() {
    return sim::bus().requests().of(RequestKind::HidRead);
  }

  std::optional<velk::sqif::SqifDevice> device_;
};

}  // namespace sqif_test
