// The exported functions against the virtual Vexo. Each test starts on an empty bus with the log
// captured and the progress recorder emptied; after it the handle is closed, and every USB and
// HID handle the library opened must have been released.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "sim/bus.h"
#include "sim/vexo/vexo.h"
#include "tests/support/log_capture.h"
#include "tests/support/progress_recorder.h"
#include "velk.h"

namespace velk::testing {

class ApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    progress_calls().clear();
    log_.emplace();
  }
  void TearDown() override {
    if (handle_ != nullptr) velk_close(handle_);
    EXPECT_EQ(sim::bus().resources().hid_handles, 0);
    EXPECT_EQ(sim::bus().resources().usb_handles, 0);
    sim::reset();
  }

  // Plugs in a Vexo in `mode` and opens it.
  void open(sim::vexo::Mode mode) {
    vexo_ = sim::vexo::Vexo::plug({.mode = mode});
    open();
  }
  // Opens the one device on the bus and forgets the traffic of opening it.
  void open() {
    handle_ = velk_open();
    ASSERT_NE(handle_, nullptr);
    sim::bus().requests().clear();
  }

  std::optional<LogCapture> log_;
  std::shared_ptr<sim::vexo::Vexo> vexo_;
  velk_handle handle_ = nullptr;
};

}  // namespace velk::testing
