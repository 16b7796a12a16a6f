#include "sim/vexo/dsp_mode.h"

#include <algorithm>

#include "sim/vexo/descriptors.h"
#include "sim/vexo/vexo.h"

namespace sim::vexo {
namespace {

// 32-bit fields travel as two little-endian words, the more significant word first.
std::uint32_t split_word_at(std::span<const std::uint8_t> bytes, std::size_t offset) {
  const auto word = [&](std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at] | (bytes[at + 1] << 8));
  };
  return (word(offset) << 16) | word(offset + 2);
}

void put_split_word(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value >> 16);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 24);
  bytes[offset + 2] = static_cast<std::uint8_t>(value);
  bytes[offset + 3] = static_cast<std::uint8_t>(value >> 8);
}

}  // namespace

DspMode::DspMode(Vexo& chip) : ModeModel(chip) {}

libusb_device_descriptor DspMode::device_descriptor() const {
  return identity(kMakerVendor, kDspProduct, chip_.options().bcd_device, /*with_strings*/ true);
}

Bytes DspMode::config_descriptor() const {
  return hid_loader_config(/*report descriptor*/ 41);
}

std::vector<std::u16string> DspMode::strings() const {
  return maker_strings(u"Vexo DSP loader");
}

HidInfo DspMode::hid_info() const {
  HidInfo info;
  info.manufacturer = L"Tavrin Systems";
  info.product = L"Vexo DSP loader";
  return info;
}

int DspMode::hid_send_feature(std::span<const std::uint8_t> report) {
  if (report.size() != kCommandReportSize || report[0] != kCommandReport) return -1;
  if (report[1] != kCommandMarker) return static_cast<int>(report.size());  // not a command
  if (split_word_at(report, 2) == kReset) {
    // The loader puts the mode key back before restarting, so the chip boots its firmware.
    chip_.set_pskey(kModePsKey, {0});
    chip_.restart(std::nullopt, chip_.timings().command_restart);
  }
  return static_cast<int>(report.size());
}

int DspMode::hid_get_feature(std::span<std::uint8_t> report) {
  if (report.empty() || report[0] != kCommandReport) return -1;
  std::uint8_t status[kCommandReportSize] = {kCommandReport};
  put_split_word(status, 2, status_);
  const auto n = std::min(report.size(), kCommandReportSize);
  std::copy_n(status, n, report.begin());
  return static_cast<int>(n);
}

}  // namespace sim::vexo
