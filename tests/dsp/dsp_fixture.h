// A Vexo in DSP mode on the virtual bus with an open loader connection, and the wire as the
// tests read it back: the commands and data reports the host sent, field by field.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "lib/usb/context.h"
#include "sim/bus.h"
#include "sim/vexo/vexo.h"
#include "tests/support/log_capture.h"
#include "tests/support/progress_recorder.h"
#include "velk/src/device/dsp/dsp_device.h"

namespace velk::testing {

using sim::Bytes;
using sim::RequestKind;

// One command report as the loader received it.
struct Command {
  std::uint32_t code, arg1, arg2, arg3;
  friend bool operator==(const Command&, const Command&) = default;
};

inline void PrintTo(const Command& c, std::ostream* os) {
  *os << "{" << c.code << ", 0x" << std::hex << c.arg1 << ", 0x" << c.arg2 << ", 0x" << c.arg3
      << "}";
}

inline std::uint32_t split_word(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at] | b[at + 1] << 8) << 16 |
         static_cast<std::uint32_t>(b[at + 2] | b[at + 3] << 8);
}

class DspTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    progress_calls().clear();
    log_.emplace();
    vexo_ = sim::vexo::Vexo::plug({.mode = sim::vexo::Mode::Dsp});
    auto context = LibraryContext::get();
    ASSERT_TRUE(context);
    auto device = dsp::connect_dsp();
    ASSERT_TRUE(device) << device.error().display();
    device_.emplace(std::move(*device));
    sim::bus().requests().clear();
  }

  void TearDown() override {
    device_.reset();
    EXPECT_TRUE(sim::bus().misuse().empty()) << sim::bus().misuse().front();
    sim::reset();
  }

  dsp::DspDevice& device() { return *device_; }
  Bytes& flash() { return vexo_->dsp_flash(); }
  sim::vexo::DspLoaderFaults& faults() { return vexo_->faults().dsp; }

  // Every feature report the host sent or asked for, in order.
  static std::vector<sim::Request> reports() {
    std::vector<sim::Request> out;
    for (const auto& r : sim::bus().requests().all()) {
      if (r.kind == RequestKind::HidSendFeature || r.kind == RequestKind::HidGetFeature)
        out.push_back(r);
    }
    return out;
  }
  static std::vector<Command> commands() {
    std::vector<Command> out;
    for (const auto& r : sim::bus().requests().of(RequestKind::HidSendFeature)) {
      if (r.data.size() == 18 && r.data[0] == 0x01) {
        out.push_back({split_word(r.data, 2), split_word(r.data, 6), split_word(r.data, 10),
                       split_word(r.data, 14)});
      }
    }
    return out;
  }
  // Data reports sent (kind HidSendFeature) or read (HidGetFeature).
  static std::vector<Bytes> data_reports(RequestKind kind) {
    std::vector<Bytes> out;
    for (const auto& r : sim::bus().requests().of(kind)) {
      if (r.report_id() == 0x02) out.push_back(r.data);
    }
    return out;
  }
  static std::size_t status_reads() {
    std::size_t n = 0;
    for (const auto& r : sim::bus().requests().of(RequestKind::HidGetFeature))
      n += r.report_id() == 0x01;
    return n;
  }

  std::optional<LogCapture> log_;
  std::shared_ptr<sim::vexo::Vexo> vexo_;
  std::optional<dsp::DspDevice> device_;
};

// A recognisable pattern: byte i of a run starting at `seed`.
inline Bytes pattern(std::size_t n, std::uint8_t seed = 0) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
  return out;
}

}  // namespace velk::testing
