// A HID loader for the targets that fuzz one protocol step: it takes every report the host
// sends and answers only from a hostile script (sim/vexo/hostile.h). Lighter than a Vexo, whose
// model would erase and copy megabytes of flash for every input.
#pragma once

#include <algorithm>
#include <memory>

#include "sim/bus.h"
#include "sim/scripted_device.h"
#include "sim/vexo/hostile.h"

namespace velk::fuzzing {

class HostileLoader : public sim::ScriptedDevice {
 public:
  HostileLoader(std::uint16_t vendor, std::uint16_t product, sim::vexo::HostileAnswers& script)
      : ScriptedDevice(sim::DeviceSpec{.vendor = vendor, .product = product}, sim::ConfigSpec{}),
        script_(&script) {
    make_hid();
  }
  void answer_from(sim::vexo::HostileAnswers& script) { script_ = &script; }

  std::optional<sim::Bytes> hid_read() override { return script_->next(sim::bus().now()); }
  int hid_get_feature(std::span<std::uint8_t> report) override {
    auto answer = script_->next(sim::bus().now());
    if (!answer) return -1;
    const std::size_t n = std::min(answer->size(), report.size());
    std::copy_n(answer->begin(), n, report.begin());
    return static_cast<int>(n);
  }

 private:
  sim::vexo::HostileAnswers* script_;
};

}  // namespace velk::fuzzing
