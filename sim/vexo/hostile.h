// A hostile chip's answers: a script of bytes, as a fuzzer or a test writes it, that takes the
// place of everything the chip sends the host. The model still hears the host (so restarts and
// mode changes still happen); it no longer speaks.
//
// The script is a sequence of answers. A first byte n of 1 to 0x7F is an answer of n bytes; with
// bit 7 set, the answer is ((n & 0x7F) << 8 | next byte) bytes long. A first byte 0 followed by
// d is silence for d tenths of a second of virtual time. An answer cut short by the end of the
// script holds the bytes that are left; after the end the chip is silent for good.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "sim/device.h"

namespace sim::vexo {

class HostileAnswers {
 public:
  explicit HostileAnswers(std::span<const std::uint8_t> script) : script_(script) {}

  // The next answer, or none while the chip is silent at virtual time `now`.
  std::optional<Bytes> next(std::chrono::nanoseconds now);

 private:
  std::span<const std::uint8_t> script_;
  std::chrono::nanoseconds quiet_until_{0};
};

}  // namespace sim::vexo
